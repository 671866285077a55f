// mevo-train detector on a small generated data folder: training must give the same model file
// byte for byte whatever the thread count and whether accepted negatives are kept between
// stages or rescanned, and the cascade must find a new face like the ones it learnt while
// rejecting most of a new scene.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/lbp.h"
#include "detect/scan.h"
#include "image_io.h"

namespace {

// A 36 x 36 crop framed like the faces-caltech ones: light skin, dark eyes, brows and mouth,
// with brightness, position and noise varying per face.
Image face_crop(std::mt19937 &rng) {
    Image img{};
    image_create(&img, PIXEL_GRAY8, 1, 36, 36, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
    std::uniform_int_distribution<int> noise(-3, 3), shift(-1, 1), tone(150, 210);
    const int skin = tone(rng), dx = shift(rng), dy = shift(rng);
    for (int y = 0; y < 36; ++y) {
        uint8_t *row = image_row(&img, y);
        for (int x = 0; x < 36; ++x) {
            const int fx = x - dx, fy = y - dy;
            int v = (fx < 6 || fx > 29 || fy < 4) ? 60 : skin;  // hair and background
            if (fy >= 12 && fy <= 15 && ((fx >= 10 && fx <= 14) || (fx >= 21 && fx <= 25)))
                v = 40;                                                                 // eyes
            if (fy == 10 && ((fx >= 9 && fx <= 15) || (fx >= 20 && fx <= 26))) v = 70;  // brows
            if (fy >= 24 && fy <= 25 && fx >= 13 && fx <= 22) v = 50;                   // mouth
            row[x] = uint8_t(std::clamp(v + noise(rng), 0, 255));
        }
    }
    return img;
}

// Scenes without faces: a shaded background with blocks of varied size and tone, and noise.
Image clutter(std::mt19937 &rng, int w, int h) {
    Image img{};
    image_create(&img, PIXEL_GRAY8, 1, w, h, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
    std::uniform_int_distribution<int> grey(0, 255), size(3, 30), noise(-3, 3);
    const int base = grey(rng) / 2 + 64;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image_row(&img, y)[x] = uint8_t(std::clamp(base + (x - y) / 4 + noise(rng), 0, 255));
    for (int k = 0; k < 40; ++k) {
        const int bw = size(rng), bh = size(rng), v = grey(rng);
        const int left = grey(rng) % w, top = grey(rng) % h;
        for (int y = top; y < std::min(h, top + bh); ++y)
            for (int x = left; x < std::min(w, left + bw); ++x)
                image_row(&img, y)[x] = uint8_t(std::clamp(v + noise(rng), 0, 255));
    }
    return img;
}

void write_pgm(const std::string &path, Image *img) {
    std::string err;
    ASSERT_EQ(imageio_write_pgm(path, img, &err), 0) << err;
    image_free(img);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class DetectorTraining : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/mevo-train-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        for (const char *sub : {"/faces-caltech", "/faces-utk", "/negatives"})
            ASSERT_EQ(mkdir((root_ + sub).c_str(), 0755), 0);
        std::mt19937 rng(7);
        for (int i = 0; i < 1200; ++i) {
            Image f = face_crop(rng);
            write_pgm(root_ + "/faces-caltech/face" + std::to_string(1000 + i) + ".pgm", &f);
        }
        for (int i = 0; i < 12; ++i) {
            Image n = clutter(rng, 160, 120);
            write_pgm(root_ + "/negatives/scene" + std::to_string(10 + i) + ".pgm", &n);
        }
    }
    static void TearDownTestSuite() {
        if (!root_.empty() && !getenv("KEEP")) std::system(("rm -rf '" + root_ + "'").c_str());
    }

    // Runs the trainer; returns its exit status.
    static int train(const std::string &out, int threads, const std::string &survivors) {
        const std::string cmd =
            "OMP_NUM_THREADS=" + std::to_string(threads) + " '" + MEVO_TRAIN_TOOL +
            "' detector --data '" + root_ +
            "' --window 16 --stages 12 --negatives 1500 --roll 15 --survivors " + survivors +
            " --out '" + out + "' 2>'" + out + ".log'";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string root_;
};

std::string DetectorTraining::root_;

TEST_F(DetectorTraining, SameModelWithAnyThreadCountAndWithOrWithoutKeptNegatives) {
    const std::string kept = root_ + "/kept.dat", rescanned = root_ + "/rescanned.dat",
                      one_thread = root_ + "/one-thread.dat";
    ASSERT_EQ(train(kept, 2, "100000000"), 0) << read_file(kept + ".log");
    ASSERT_EQ(train(rescanned, 2, "0"), 0) << read_file(rescanned + ".log");
    ASSERT_EQ(train(one_thread, 1, "100000000"), 0) << read_file(one_thread + ".log");
    const std::string model = read_file(kept);
    ASSERT_FALSE(model.empty());
    EXPECT_EQ(model, read_file(rescanned));
    EXPECT_EQ(model, read_file(one_thread));

    Detector d{};
    ASSERT_EQ(detector_load(&d, kept.c_str()), 0);
    EXPECT_GE(d.nCasc, 3) << read_file(kept + ".log");

    // A new face on a new scene is found, and the cascade accepts few of the scene's other
    // windows (a cascade that learnt nothing accepts them all). The crop is
    // shrunk so its face square (27 of 36 pixels) fits the 16-pixel window.
    std::mt19937 rng(99);
    Image scene = clutter(rng, 96, 96);
    Image face = face_crop(rng);
    Image small{};
    ASSERT_EQ(image_resize(&face, &small, 21, 21, IMAGE_FILTER_BILINEAR), 0);
    const double face_x = 30 + 18.0 * 21 / 36, face_y = 40 + 19.0 * 21 / 36;
    int found_on_face = 0, found_elsewhere = 0;
    {
        Image lbp{};
        image_create(&lbp, PIXEL_GRAY8, 1, 96, 96, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
        for (int y = 0; y < 21; ++y)
            std::copy(image_row(&small, y), image_row(&small, y) + 21,
                      image_row(&scene, 40 + y) + 30);
        ASSERT_EQ(lbp_transform(&lbp, &scene), 0);
        std::vector<Detection> out(96 * 96);
        const int n = scan_grid(out.data(), int(out.size()), &lbp, &lbp, &d, 1);
        for (int i = 0; i < n; ++i) {
            const bool on_face =
                std::abs(out[i].left + 8 - face_x) <= 4 && std::abs(out[i].top + 8 - face_y) <= 4;
            (on_face ? found_on_face : found_elsewhere)++;
        }
        image_free(&lbp);
    }
    EXPECT_GT(found_on_face, 0);
    EXPECT_LT(found_elsewhere, 80 * 80 / 50);
    image_free(&small);
    image_free(&face);
    image_free(&scene);
    detector_free(&d, 1);
}

}  // namespace
