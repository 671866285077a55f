// mevo-classify on still images: reading JPEG, PNG and PGM, the output lines, refusals.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "classify/classifier_model.h"
#include "common/fileutil.h"
#include "common/spawn.h"
#include "image/image.h"
#include "support/model_writer.h"

namespace {

constexpr int kSide = 20;
constexpr int kW = 80, kH = 64;
constexpr int kFaceX = 31, kFaceY = 22;

class Tool : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/classify-tool-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::mt19937 rng(21);
        std::vector<uint8_t> pattern(kSide * kSide);
        for (auto &v : pattern) v = uint8_t(30 + rng() % 196);
        pixels_.assign(size_t(kW * kH), 128);
        for (int y = 0; y < kSide; ++y) {
            for (int x = 0; x < kSide; ++x) {
                pixels_[size_t((kFaceY + y) * kW + kFaceX + x)] = pattern[size_t(y * kSide + x)];
            }
        }
        model_ = dir_ + "/face20.dat";
        ASSERT_EQ(mevo_test::model_write(
                      model_, mevo_test::cascade_for_pattern(pattern.data(), kSide, kSide, kSide)),
                  0);
    }
    void TearDown() override { file_remove_tree(dir_); }

    std::string write_pgm(const std::string &name) {
        std::string bytes =
            "P5\n# test frame\n" + std::to_string(kW) + " " + std::to_string(kH) + "\n255\n";
        bytes.append(pixels_.begin(), pixels_.end());
        return write(name, bytes);
    }
    std::string write(const std::string &name, const std::string &bytes) {
        const std::string path = dir_ + "/" + name;
        EXPECT_EQ(file_write_atomic(path, bytes.data(), bytes.size()), 0);
        return path;
    }
    SpawnResult run(std::vector<std::string> args) {
        args.insert(args.begin(), MEVO_CLASSIFY_TOOL);
        SpawnOptions opts;
        opts.capture_output = true;
        opts.env = {"MEVO_ROOT=" + dir_, std::string(CLASSIFIER_MODEL_ENV) + "="};
        return spawn_run(args, opts);
    }

    std::string dir_, model_;
    std::vector<uint8_t> pixels_;
};

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST_F(Tool, PrintsEachImageAndItsFaces) {
    const std::string pgm = write_pgm("frame.pgm");
    const std::string png = dir_ + "/frame.png";
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    img.width = kW;
    img.height = kH;
    img.format = PNG_FORMAT_GRAY;
    ASSERT_TRUE(png_image_write_to_file(&img, png.c_str(), 0, pixels_.data(), kW, nullptr));

    const SpawnResult r = run({"--model", model_, "--min-rect", "10", pgm, png});
    ASSERT_EQ(r.status, 0) << r.output;
    const auto out = lines(r.output);
    ASSERT_EQ(out.size(), 4u) << r.output;
    EXPECT_EQ(out[0], pgm + " 1");
    EXPECT_EQ(out[2], png + " 1");
    EXPECT_EQ(out[1], out[3]);  // lossless formats give the same face
    int l, rt, t, b, gender, score, age, hits;
    ASSERT_EQ(std::sscanf(out[1].c_str(), "%d %d %d %d %d %d %d %d", &l, &rt, &t, &b, &gender,
                          &score, &age, &hits),
              8);
    EXPECT_NEAR(l, kFaceX, 1);
    EXPECT_NEAR(t, kFaceY, 1);
    EXPECT_EQ(rt - l, kSide - 1);
    EXPECT_EQ(b - t, kSide - 1);
    EXPECT_GE(hits, 1);
    // The built-in model here is the neutral one unless a trained model was embedded.
    EXPECT_GE(gender, -100);
    EXPECT_LE(gender, 100);
    EXPECT_GE(age, 0);
    EXPECT_LE(age, 100);
}

TEST_F(Tool, MinRectAndJpegInput) {
    const std::string pgm = write_pgm("frame.pgm");
    SpawnResult r = run({"--model", model_, "--min-rect", "40", pgm});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.output, pgm + " 0\n");

    ScopedImage img;
    ASSERT_EQ(image_create(img.get(), PIXEL_GRAY8, 1, kW, kH, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP),
              0);
    for (int y = 0; y < kH; ++y) {
        std::copy_n(&pixels_[size_t(y * kW)], kW, image_row(img.get(), y));
    }
    const std::string jpg = dir_ + "/frame.jpg";
    ASSERT_EQ(jpeg_write_file(img.get(), jpg.c_str(), 95), 0);
    r = run({"--model", model_, jpg});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.output).at(0).rfind(jpg + " ", 0), 0u) << r.output;
}

TEST_F(Tool, RefusesUnreadableInputsAndModels) {
    const std::string pgm = write_pgm("frame.pgm");
    const std::string junk = write("junk.jpg", "not an image");
    std::string truncated_pgm = "P5\n80 64\n255\n" + std::string(100, '\0');
    const std::string cut = write("cut.pgm", truncated_pgm);
    // A bad image is reported and counted; the others are still processed.
    SpawnResult r = run({"--model", model_, "--min-rect", "10", junk, pgm, cut});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, pgm + " 1\n" + lines(r.output).at(1) + "\n");

    const std::string bad_model = write("bad-classifier.dat", std::string(4096, '\0'));
    r = run({"--model", model_, "--min-rect", "10", "--classifier", bad_model, pgm});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "");

    r = run({"--model", dir_ + "/missing.dat", pgm});  // no detector at all
    EXPECT_EQ(r.status, 1);
    r = run({"--min-rect", "x", pgm});
    EXPECT_EQ(r.status, 2);
}

TEST_F(Tool, ClassifierFileIsUsed) {
    // A model whose age table adds 1 everywhere: every box is 4648 / 1.0 -> clamped to 100.
    std::vector<int16_t> zeros(CLASSIFIER_TABLE_ENTRIES, 0), ones(CLASSIFIER_TABLE_ENTRIES, 1);
    ClassifierModel m;
    m.face_scale = 1.0;
    m.gender_table = zeros.data();
    m.age_divisor = 1.0;
    m.face_table = zeros.data();
    m.face_bias = 7;
    m.age_table = ones.data();
    m.age_bias = 0;
    m.gender_divisor = 1.0;
    const std::string file = write("classifier.dat", classifier_model_serialize(m));
    const SpawnResult r =
        run({"--model", model_, "--min-rect", "10", "--classifier", file, write_pgm("f.pgm")});
    ASSERT_EQ(r.status, 0) << r.output;
    int l, rt, t, b, gender, score, age, hits;
    ASSERT_EQ(std::sscanf(lines(r.output).at(1).c_str(), "%d %d %d %d %d %d %d %d", &l, &rt, &t, &b,
                          &gender, &score, &age, &hits),
              8);
    EXPECT_EQ(age, 100);
    EXPECT_EQ(score, 9 * 7);
    EXPECT_EQ(gender, 0);
}

}  // namespace
