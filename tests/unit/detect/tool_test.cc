// The tools' image reader and the mevo-detect command run as a user would run it.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/fileutil.h"
#include "common/spawn.h"
#include "detect_test_util.h"
#include "image_io.h"

namespace {

using detect_test::Grey;

class TempDir : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mevo-detect-tool-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { file_remove_tree(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    void write(const std::string &name, const std::string &bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    std::string dir_;
};

using ImageIo = TempDir;

void expect_pixels(const Image *img, int w, int h, const std::vector<uint8_t> &pixels) {
    ASSERT_EQ(img->format, PIXEL_GRAY8);
    ASSERT_EQ(img->width, w);
    ASSERT_EQ(img->height, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            EXPECT_EQ(image_row(img, y)[x], pixels[static_cast<size_t>(y * w + x)])
                << x << "," << y;
}

TEST_F(ImageIo, ReadsPgmVariants) {
    struct Case {
        const char *name;
        std::string bytes;
        std::vector<uint8_t> pixels;
    } cases[] = {
        {"binary",
         std::string("P5\n# made by hand\n3 2\n255\n") + std::string("\x00\x10\xff\x01\x02\x03", 6),
         {0, 16, 255, 1, 2, 3}},
        {"text", "P2 3 2 15\n0 15 5\n# row two\n1 2 3\n", {0, 255, 85, 17, 34, 51}},
        {"wide",
         std::string("P5 3 2 65535\n") +
             std::string("\x00\x00\xff\xff\x80\x00\x00\xff\x01\x00\x7f\xff", 12),
         {0, 255, 128, 1, 1, 127}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write("a.pgm", c.bytes);
        ScopedImage img;
        std::string error;
        ASSERT_EQ(imageio_read_grey(path("a.pgm"), img.get(), &error), 0) << error;
        expect_pixels(img.get(), 3, 2, c.pixels);
    }
}

TEST_F(ImageIo, RefusesBadFilesWithAReason) {
    struct Case {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"unknown", "hello world"},
        {"truncated pgm", "P5\n4 4\n255\nab"},
        {"huge pgm", "P5\n100000 100000\n255\n"},
        {"pgm without size", "P5\n"},
        {"pgm over maxval", "P2 2 1 10\n3 11\n"},
        {"broken png", std::string("\x89PNG\r\n\x1a\n", 8) + "garbage"},
        {"broken jpeg", std::string("\xff\xd8\xff\xe0", 4) + "garbage"},
        {"empty", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write("bad", c.bytes);
        Image img{};
        std::string error;
        EXPECT_EQ(imageio_read_grey(path("bad"), &img, &error), -1);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(img.base, nullptr);
    }
    Image img{};
    std::string error;
    EXPECT_EQ(imageio_read_grey(path("missing.png"), &img, &error), -1);
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST_F(ImageIo, ReadsPngAndJpegAsGrey) {
    // PNG: a grey picture comes back exactly; an RGB one as its luminance.
    const uint8_t grey_px[6] = {0, 50, 100, 150, 200, 250};
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = 3;
    png.height = 2;
    png.format = PNG_FORMAT_GRAY;
    ASSERT_TRUE(png_image_write_to_file(&png, path("g.png").c_str(), 0, grey_px, 3, nullptr));
    ScopedImage img;
    std::string error;
    ASSERT_EQ(imageio_read_grey(path("g.png"), img.get(), &error), 0) << error;
    expect_pixels(img.get(), 3, 2, {0, 50, 100, 150, 200, 250});

    const uint8_t rgb_px[6] = {255, 255, 255, 0, 0, 0};
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = 2;
    png.height = 1;
    png.format = PNG_FORMAT_RGB;
    ASSERT_TRUE(png_image_write_to_file(&png, path("c.png").c_str(), 0, rgb_px, 6, nullptr));
    ScopedImage colour;
    ASSERT_EQ(imageio_read_grey(path("c.png"), colour.get(), &error), 0) << error;
    expect_pixels(colour.get(), 2, 1, {255, 0});

    // JPEG (lossy): a flat grey picture with one darker half survives within a few levels.
    Grey src(32, 16, 200);
    for (int y = 0; y < 16; ++y)
        for (int x = 16; x < 32; ++x) src.at(x, y) = 40;
    ASSERT_EQ(jpeg_write_file(src.get(), path("p.jpg").c_str(), 95), 0);
    ScopedImage jpg;
    ASSERT_EQ(imageio_read_grey(path("p.jpg"), jpg.get(), &error), 0) << error;
    ASSERT_EQ(jpg->width, 32);
    ASSERT_EQ(jpg->height, 16);
    EXPECT_NEAR(image_row(jpg.get(), 8)[4], 200, 4);
    EXPECT_NEAR(image_row(jpg.get(), 8)[28], 40, 4);
}

TEST_F(ImageIo, PgmWriteReadsBack) {
    Grey src(5, 3, 9);
    src.at(4, 2) = 250;
    std::string error;
    ASSERT_EQ(imageio_write_pgm(path("w.pgm"), src.get(), &error), 0) << error;
    ScopedImage back;
    ASSERT_EQ(imageio_read_grey(path("w.pgm"), back.get(), &error), 0) << error;
    EXPECT_EQ(back->width, 5);
    EXPECT_EQ(image_row(back.get(), 2)[4], 250);
    EXPECT_EQ(image_row(back.get(), 0)[0], 9);
}

class MevoDetectTool : public TempDir {
  protected:
    void SetUp() override {
        TempDir::SetUp();
        pattern_ = detect_test::make_pattern();
        ASSERT_EQ(mevo_test::model_write(path("face.dat"), detect_test::pattern_model(pattern_)),
                  0);
    }
    SpawnResult run(std::vector<std::string> args) {
        args.insert(args.begin(), MEVO_DETECT_TOOL);
        SpawnOptions opts;
        opts.capture_output = true;
        opts.env = {"MEVO_ROOT=" + dir_};  // no package models in there
        return spawn_run(args, opts);
    }
    std::string picture(const std::string &name) {
        Grey frame(200, 150);
        detect_test::place_pattern(frame.get(), pattern_, 37, 51, 1);
        detect_test::place_pattern(frame.get(), pattern_, 100, 40, 2);
        std::string error;
        EXPECT_EQ(imageio_write_pgm(path(name), frame.get(), &error), 0);
        return path(name);
    }
    std::vector<uint8_t> pattern_;
};

TEST_F(MevoDetectTool, PrintsFacesPerImageAndDraws) {
    const std::string img = picture("two.pgm");
    const SpawnResult r = run({"--model", path("face.dat"), "--min-rect", "19", "--cluster-score",
                               "0", "--threads", "2", "--draw", path("out"), img, img});
    ASSERT_EQ(r.status, 0) << r.output;
    // Widest first; the doubled pattern maps to 2 * p + 1 at octave 1.
    const std::string block = img + " 2\n101 139 41 79 1\n37 56 51 70 1\n";
    EXPECT_EQ(r.output, block + block);
    EXPECT_TRUE(file_exists(path("out/two.jpg")));
    EXPECT_TRUE(file_exists(path("out/two-2.jpg")));
}

TEST_F(MevoDetectTool, MinRectAndClusterScoreFilter) {
    const std::string img = picture("two.pgm");
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{"--min-rect", "20", "--cluster-score", "0"}, " 1\n101 139 41 79 1\n"},
        {{"--min-rect", "19", "--cluster-score", "1"}, " 0\n"},
        {{"--min-rect", "100"}, " 0\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"--model", path("face.dat")});
        args.push_back(img);
        const SpawnResult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, img + c.expected);
    }
}

TEST_F(MevoDetectTool, ReadsAListAndReportsBadInput) {
    const std::string img = picture("one.pgm");
    write("list.txt", "# images\n" + img + "\n\n" + path("missing.jpg") + "\n");
    write("garbage.png", "not a picture");
    const SpawnResult r = run({"--model", path("face.dat"), "--cluster-score", "-1", "--list",
                               path("list.txt"), path("garbage.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, img + " 1\n101 139 41 79 1\n");
}

TEST_F(MevoDetectTool, UsageErrorsExitWithTwo) {
    const std::string img = picture("one.pgm");
    write("bad.dat", "not a model");
    std::vector<std::vector<std::string>> cases = {
        {"--model", path("bad.dat"), img},  // the model does not load
        {"--model", path("face.dat")},      // no image
        {"--model", path("face.dat"), "--min-rect", "x1", img},
        {"--model", path("face.dat"), "--threads", "0", img},
        {"--model", path("face.dat"), "--bogus", img},
        {"--model"},
    };
    // Without --model the tool falls back to the source tree's package models, when it has them.
    if (!file_exists(std::string(MEVO_SOURCE_PACKAGE_DIR) + "/modules/lbpdetect/stable/face20.dat"))
        cases.push_back({img});
    for (const auto &args : cases) {
        const SpawnResult r = run(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.output, "");
    }
}

}  // namespace
