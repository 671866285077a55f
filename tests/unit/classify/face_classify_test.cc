// Face normalisation (halving pre-pass, 11-bit resampler, bounds) and classify_faces.
#include "classify/face_classify.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "classify/classifier.h"

namespace {

constexpr int kP = CLASSIFIER_PATCH_SIZE;

struct Frame {
    ScopedImage img;
    Frame(int w, int h, uint32_t seed) {
        EXPECT_EQ(
            image_create(img.get(), PIXEL_GRAY8, 1, w, h, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP), 0);
        std::mt19937 rng(seed);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) image_row(img.get(), y)[x] = uint8_t(rng());
        }
    }
    int at(int x, int y) { return image_row(img.get(), y)[x]; }
};

struct Patch {
    ScopedImage img;
    explicit Patch(int side = kP) {
        EXPECT_EQ(image_create_with_stride(img.get(), PIXEL_GRAY8, 1, side, side, side,
                                           IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP),
                  0);
    }
    int at(int x, int y) { return image_row(img.get(), y)[x]; }
    std::vector<uint8_t> pixels() { return {img->data, img->data + kP * kP}; }
};

TEST(FaceNormalize, FiftyByFiftyIsCopiedPixelForPixel) {
    Frame f(80, 60, 1);
    Patch p;
    ASSERT_EQ(face_normalize(p.img.get(), f.img.get(), 10, 59, 5, 54), 0);
    for (int y = 0; y < kP; ++y) {
        for (int x = 0; x < kP; ++x) ASSERT_EQ(p.at(x, y), f.at(10 + x, 5 + y)) << x << "," << y;
    }
}

TEST(FaceNormalize, HundredAndOneIsHalvedOnceThenCopied) {
    Frame f(120, 110, 2);
    Patch p;
    ASSERT_EQ(face_normalize(p.img.get(), f.img.get(), 3, 103, 4, 104), 0);
    for (int y = 0; y < kP; ++y) {
        for (int x = 0; x < kP; ++x) {
            const int l = 3 + 2 * x, t = 4 + 2 * y;
            const int mean =
                (f.at(l, t) + f.at(l + 1, t) + f.at(l, t + 1) + f.at(l + 1, t + 1)) >> 2;
            ASSERT_EQ(p.at(x, y), mean) << x << "," << y;
        }
    }
}

// One output pixel of the 11-bit resampler at source position (X, Y) in 1/2048 pixels.
int bilinear11(Frame &f, int ox, int oy, int X, int Y) {
    const int cx = X >> 11, fx = X & 2047, r = Y >> 11, fy = Y & 2047;
    const int top = f.at(ox + cx, oy + r) * (2048 - fx) + fx * f.at(ox + cx + 1, oy + r);
    const int bot = f.at(ox + cx, oy + r + 1) * (2048 - fx) + fx * f.at(ox + cx + 1, oy + r + 1);
    return ((2048 - fy) * top + fy * bot) >> 22;
}

TEST(FaceNormalize, HundredIsNotHalvedAndStepsBy4137) {
    Frame f(130, 120, 3);
    Patch p;
    const int ox = 7, oy = 9;
    ASSERT_EQ(face_normalize(p.img.get(), f.img.get(), ox, ox + 99, oy, oy + 99), 0);
    const int step = 4137;  // 99 * 2048 / 49
    for (int i : {0, 1, 2, 17, 48}) {
        for (int k : {0, 1, 5, 30, 48}) {
            EXPECT_EQ(p.at(k, i), bilinear11(f, ox, oy, k * step, i * step)) << k << "," << i;
        }
    }
    // Last column: only the last source column, weighted by rows.
    const int fy = (1 * step) & 2047, r = (1 * step) >> 11;
    EXPECT_EQ(p.at(49, 1),
              ((2048 - fy) * f.at(ox + 99, oy + r) + fy * f.at(ox + 99, oy + r + 1)) >> 11);
    // Last row: only the last source row, weighted by columns; the corner is the source corner.
    const int fx = (3 * step) & 2047, c = (3 * step) >> 11;
    EXPECT_EQ(p.at(3, 49),
              (f.at(ox + c, oy + 99) * (2048 - fx) + fx * f.at(ox + c + 1, oy + 99)) >> 11);
    EXPECT_EQ(p.at(49, 49), f.at(ox + 99, oy + 99));
}

TEST(FaceNormalize, TwoHundredIsHalvedOnceThenResampledLikeAHundred) {
    Frame f(210, 205, 4);
    Patch big;
    ASSERT_EQ(face_normalize(big.img.get(), f.img.get(), 5, 204, 2, 201), 0);
    // The same face halved by hand and normalised as a 100 x 100 frame.
    Frame half(100, 100, 0);
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 100; ++x) {
            const int l = 5 + 2 * x, t = 2 + 2 * y;
            image_row(half.img.get(), y)[x] =
                uint8_t((f.at(l, t) + f.at(l + 1, t) + f.at(l, t + 1) + f.at(l + 1, t + 1)) >> 2);
        }
    }
    Patch small;
    ASSERT_EQ(face_normalize(small.img.get(), half.img.get(), 0, 99, 0, 99), 0);
    EXPECT_EQ(big.pixels(), small.pixels());
}

TEST(FaceNormalize, RectangleMustLieInsideTheFrame) {
    Frame f(64, 48, 5);
    Patch p;
    const struct {
        int l, r, t, b, want;
    } cases[] = {
        {14, 63, 0, 47, 0},  // right = W - 1, bottom = H - 1
        {14, 64, 0, 47, 1},  // right = W
        {14, 63, 0, 48, 1},  // bottom = H
        {-1, 48, 0, 40, 1}, {0, 48, -1, 40, 1}, {30, 20, 0, 40, 1},  // right < left
        {0, 40, 30, 20, 1},                                          // bottom < top
        {5, 5, 5, 5, 0},  // a single pixel still normalises
    };
    for (const auto &c : cases) {
        EXPECT_EQ(face_normalize(p.img.get(), f.img.get(), c.l, c.r, c.t, c.b), c.want)
            << c.l << " " << c.r << " " << c.t << " " << c.b;
    }
}

// Tables that make each sum a fingerprint of the patch.
struct Tables {
    std::vector<int16_t> g, f, a;
    explicit Tables(uint32_t seed)
        : g(CLASSIFIER_TABLE_ENTRIES), f(CLASSIFIER_FACE_ENTRIES), a(CLASSIFIER_TABLE_ENTRIES) {
        std::mt19937 rng(seed);
        for (auto &v : g) v = int16_t(rng() % 2001) - 1000;
        for (auto &v : f) v = int16_t(rng() % 2001) - 1000;
        for (auto &v : a) v = int16_t(rng() % 201);
    }
    int32_t gender_of(const std::vector<uint8_t> &patch) {
        int32_t gs, fs, as;
        classify_patch(patch.data(), kP, kP, g.data(), 0, &gs, f.data(), 0, &fs, a.data(), 0, &as);
        return gs;
    }
};

std::vector<uint8_t> crop(Frame &f, int l, int t, bool turned) {
    std::vector<uint8_t> out(kP * kP);
    for (int y = 0; y < kP; ++y) {
        for (int x = 0; x < kP; ++x) {
            const int sx = turned ? kP - 1 - x : x, sy = turned ? kP - 1 - y : y;
            out[size_t(y * kP + x)] = uint8_t(f.at(l + sx, t + sy));
        }
    }
    return out;
}

Detection face(int l, int r, int t, int b) {
    Detection d{};
    d.left = l;
    d.right = r;
    d.top = t;
    d.bottom = b;
    d.weight = 1;
    d.votes = 1;
    return d;
}

TEST(ClassifyFaces, BothFlipFlagsTurnTheFaceAndOnlyBoth) {
    Frame f(100, 80, 6);
    Tables t(7);
    const int32_t upright = t.gender_of(crop(f, 0, 0, false));
    const int32_t turned = t.gender_of(crop(f, 50, 30, true));  // bottom-right, half turn
    ASSERT_NE(upright, turned);
    const struct {
        int32_t ud, lr, want;
    } cases[] = {{0, 0, upright}, {1, 0, upright}, {0, 1, upright}, {1, 1, turned}, {2, 5, turned}};
    for (const auto &c : cases) {
        Detection d = face(0, 49, 0, 49);
        ASSERT_EQ(classify_faces(f.img.get(), &d, 1, t.g.data(), 1.0, 0, t.f.data(), 0, t.a.data(),
                                 0, c.ud, c.lr),
                  0);
        EXPECT_EQ(d.gender, c.want) << "flags " << c.ud << "," << c.lr;
        EXPECT_EQ(d.left, 0);  // the record's own rectangle stays
        EXPECT_EQ(d.bottom, 49);
    }
}

TEST(ClassifyFaces, WritesEveryFaceAndSkipsThoseOutsideTheFrame) {
    Frame f(120, 90, 8);
    Tables t(9);
    Detection d[3] = {face(0, 49, 0, 49), face(100, 149, 0, 49), face(30, 89, 20, 79)};
    d[1].gender = 11;  // outside: keeps what the caller set
    d[1].face_score = 12;
    d[1].age = 13;
    ASSERT_EQ(
        classify_faces(f.img.get(), d, 3, t.g.data(), 1e9, 0, t.f.data(), 0, t.a.data(), 0, 0, 0),
        0);
    EXPECT_EQ(d[0].gender, t.gender_of(crop(f, 0, 0, false)));
    EXPECT_EQ(d[1].gender, 11);
    EXPECT_EQ(d[1].face_score, 12);
    EXPECT_EQ(d[1].age, 13);
    EXPECT_NE(d[2].gender, 0);
}

TEST(ClassifyFaces, BiasesDivisorAndAgeClamp) {
    Frame f(60, 60, 10);
    const std::vector<int16_t> zeros(CLASSIFIER_TABLE_ENTRIES, 0);
    const int16_t bias = classifier_gender_bias_from_text("70000");
    const struct {
        int16_t age_bias;
        double divisor;
        int32_t want_age;
    } cases[] = {{32767, 1077.178407, 30}, {-5, 1.0, 0}, {32767, 100.0, 100}, {10000, 100.0, 100}};
    for (const auto &c : cases) {
        Detection d = face(5, 54, 5, 54);
        ASSERT_EQ(classify_faces(f.img.get(), &d, 1, zeros.data(), c.divisor, bias, zeros.data(), 5,
                                 zeros.data(), c.age_bias, 0, 0),
                  0);
        EXPECT_EQ(d.gender, 4464);  // 70000 acts as 70000 - 65536
        EXPECT_EQ(d.face_score, 5);
        EXPECT_EQ(d.age, c.want_age) << c.age_bias << " / " << c.divisor;
    }
}

}  // namespace
