// Code maps, table sums and the output mappings of the classifier.
#include "classify/classifier.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int kP = CLASSIFIER_PATCH_SIZE;

std::vector<uint8_t> random_patch(uint32_t seed, int w = kP, int h = kP) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pix(0, 255);
    std::vector<uint8_t> p(size_t(w) * h);
    for (auto &v : p) v = uint8_t(pix(rng));
    return p;
}

std::vector<int16_t> random_table(std::mt19937 &rng, size_t n) {
    std::uniform_int_distribution<int> val(-32768, 32767);
    std::vector<int16_t> t(n);
    for (auto &v : t) v = int16_t(val(rng));
    return t;
}

// Code from explicit source columns (left, centre, right) and rows (above, centre, below).
uint8_t code_at(const std::vector<uint8_t> &s, std::array<int, 3> cols, std::array<int, 3> rows) {
    const uint8_t v = s[rows[1] * kP + cols[1]];
    int code = 0, bit = 0x80;
    for (int dx = 0; dx < 3; ++dx) {
        for (int dy = 0; dy < 3; ++dy) {
            if (dx == 1 && dy == 1) continue;
            if (s[rows[dy] * kP + cols[dx]] > v) code |= bit;
            bit >>= 1;
        }
    }
    return uint8_t(code);
}

TEST(LbpCodeMap, BrighterNeighboursSetBitsEqualOnesDoNot) {
    std::vector<uint8_t> src(kP * kP, 100);
    std::vector<uint8_t> codes(kP * kP, 0xAA);
    src[10 * kP + 10] = 99;  // all eight neighbours brighter
    src[20 * kP + 20] = 101;
    src[19 * kP + 19] = 102;  // only its top-left neighbour brighter; the others are equal
    lbp_code_map(src.data(), kP, kP, codes.data(), kP, kP);
    EXPECT_EQ(codes[10 * kP + 10], 255);
    EXPECT_EQ(codes[20 * kP + 20], 0x80);
    EXPECT_EQ(codes[30 * kP + 30], 0);
    // Neighbours of the dark pixel see one darker neighbour: no bit for it.
    EXPECT_EQ(codes[10 * kP + 11], 0);
    for (int k = 0; k < kP; ++k) {
        EXPECT_EQ(codes[k], 0);                  // top row
        EXPECT_EQ(codes[(kP - 1) * kP + k], 0);  // bottom row
        EXPECT_EQ(codes[k * kP], 0);             // left column
        EXPECT_EQ(codes[k * kP + kP - 1], 0);    // right column
    }
}

TEST(LbpCodeMap, BitOrderRunsColumnByColumn) {
    // One brighter neighbour at a time: (dx, dy) -> bit.
    const struct {
        int dx, dy, bit;
    } cases[] = {{-1, -1, 0x80}, {-1, 0, 0x40}, {-1, 1, 0x20}, {0, -1, 0x10},
                 {0, 1, 0x08},   {1, -1, 0x04}, {1, 0, 0x02},  {1, 1, 0x01}};
    for (const auto &c : cases) {
        std::vector<uint8_t> src(kP * kP, 50);
        std::vector<uint8_t> codes(kP * kP);
        src[(25 + c.dy) * kP + 25 + c.dx] = 51;
        lbp_code_map(src.data(), kP, kP, codes.data(), kP, kP);
        EXPECT_EQ(codes[25 * kP + 25], c.bit) << "dx " << c.dx << " dy " << c.dy;
    }
}

TEST(LbpCodeMap, SampledResolutionsReadRoundedColumnsAndRows) {
    // Destination (x, y) must read exactly these source columns / rows (x - 1, x, x + 1).
    const struct {
        int d, x, y;
        std::array<int, 3> cols, rows;
    } cases[] = {
        {40, 1, 1, {0, 1, 3}, {0, 1, 3}},         {40, 38, 1, {46, 48, 49}, {0, 1, 3}},
        {40, 2, 38, {1, 3, 4}, {46, 48, 49}},     {32, 1, 1, {0, 2, 3}, {0, 2, 3}},
        {32, 30, 30, {46, 47, 49}, {46, 47, 49}}, {32, 1, 30, {0, 2, 3}, {46, 47, 49}},
    };
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        const auto src = random_patch(seed);
        for (const auto &c : cases) {
            std::vector<uint8_t> codes(size_t(c.d) * c.d);
            lbp_code_map(src.data(), kP, kP, codes.data(), c.d, c.d);
            EXPECT_EQ(codes[c.y * c.d + c.x], code_at(src, c.cols, c.rows))
                << "D " << c.d << " at " << c.x << "," << c.y << " seed " << seed;
        }
    }
}

// Straightforward reference: every position's code from the sampling formula, then the sums.
void reference_sums(const std::vector<uint8_t> &patch, const std::vector<int16_t> &g,
                    const std::vector<int16_t> &f, const std::vector<int16_t> &a, int16_t gb,
                    int16_t fb, int16_t ab, int32_t out[3]) {
    int64_t gs = gb, fs = fb, as = ab;
    int base = 0;
    for (int d : {50, 40, 32}) {
        auto xs = [d](int k) { return (2 * k * (kP - 1) + (d - 1)) / (2 * (d - 1)); };
        for (int x = 1; x <= d - 2; ++x) {
            for (int y = 1; y <= d - 2; ++y) {
                const uint8_t code =
                    code_at(patch, {xs(x - 1), xs(x), xs(x + 1)}, {xs(y - 1), xs(y), xs(y + 1)});
                const int pos = ((x - 1) * (d - 2) + (y - 1)) * 256 + code;
                gs += g[size_t(base + pos)];
                as += a[size_t(base + pos)];
                if (d == 32) fs += f[size_t(pos)];
            }
        }
        base += (d - 2) * (d - 2) * 256;
    }
    out[0] = int32_t(gs);
    out[1] = int32_t(fs);
    out[2] = int32_t(as);
}

TEST(ClassifyPatch, EqualsReferenceSumOnRandomTablesAndPatches) {
    for (uint32_t seed : {11u, 12u, 13u}) {
        std::mt19937 rng(seed);
        const auto g = random_table(rng, CLASSIFIER_TABLE_ENTRIES);
        const auto f = random_table(rng, CLASSIFIER_FACE_ENTRIES);
        const auto a = random_table(rng, CLASSIFIER_TABLE_ENTRIES);
        const int16_t gb = int16_t(rng()), fb = int16_t(rng()), ab = int16_t(rng());
        for (uint32_t pseed : {seed * 100, seed * 100 + 1}) {
            const auto patch = random_patch(pseed);
            int32_t want[3];
            reference_sums(patch, g, f, a, gb, fb, ab, want);
            int32_t gs = 1, fs = 2, as = 3;
            ASSERT_EQ(classify_patch(patch.data(), kP, kP, g.data(), gb, &gs, f.data(), fb, &fs,
                                     a.data(), ab, &as),
                      0);
            EXPECT_EQ(gs, want[0]) << "seed " << seed << " patch " << pseed;
            EXPECT_EQ(fs, want[1]) << "seed " << seed << " patch " << pseed;
            EXPECT_EQ(as, want[2]) << "seed " << seed << " patch " << pseed;
        }
    }
}

TEST(ClassifyPatch, UniformPatchSumsCodeZeroEntriesAndBiases) {
    std::vector<int16_t> g(CLASSIFIER_TABLE_ENTRIES, 0), a(CLASSIFIER_TABLE_ENTRIES, 0);
    std::vector<int16_t> f(CLASSIFIER_FACE_ENTRIES, 0);
    // Code 0 of every position selects +1 (gender), -1 (age) and +2 (face); other codes 1000.
    for (size_t i = 0; i < g.size(); ++i) {
        g[i] = i % 256 == 0 ? 1 : 1000;
        a[i] = i % 256 == 0 ? -1 : 1000;
    }
    for (size_t i = 0; i < f.size(); ++i) f[i] = i % 256 == 0 ? 2 : 1000;
    const std::vector<uint8_t> patch(kP * kP, 77);
    int32_t gs, fs, as;
    ASSERT_EQ(classify_patch(patch.data(), kP, kP, g.data(), -7, &gs, f.data(), 5, &fs, a.data(),
                             32767, &as),
              0);
    EXPECT_EQ(gs, -7 + 4648);
    EXPECT_EQ(fs, 5 + 2 * 900);
    EXPECT_EQ(as, 32767 - 4648);
}

TEST(ClassifyPatch, RefusesMissingTables) {
    const std::vector<uint8_t> patch(kP * kP, 0);
    const int16_t t[1] = {0};
    int32_t gs = 9, fs = 9, as = 9;
    EXPECT_NE(classify_patch(patch.data(), kP, kP, nullptr, 0, &gs, t, 0, &fs, t, 0, &as), 0);
    EXPECT_EQ(gs, 9);
}

TEST(GenderToPercent, Limits) {
    const double d = 9013.929798;
    const struct {
        int32_t sum;
        int want;
    } cases[] = {
        {0, 0},
        {int32_t(20 * d), 100},
        {int32_t(-20 * d), -100},
        {9903, 50},  // s = 0.75
        {-9903, -50},
        {INT32_MAX, 100},
        {INT32_MIN, -100},
        {int32_t(10 * d), 100},    // s = 0.9999546: rounds to 100 below the cut
        {int32_t(-12 * d), -100},  // s < 1e-5
    };
    for (const auto &c : cases) EXPECT_EQ(gender_to_percent(c.sum, d), c.want) << c.sum;
}

TEST(FaceThreshold, FromProbability) {
    const double scale = 7533.853928;
    const struct {
        double p;
        int32_t want;
    } cases[] = {
        {0.5, 0},
        {0.0, CLASSIFIER_THRESHOLD_ALL},
        {-0.3, CLASSIFIER_THRESHOLD_ALL},
        {1.0, CLASSIFIER_THRESHOLD_NONE},
        {7.0, CLASSIFIER_THRESHOLD_NONE},
        {1.0 / (1.0 + std::exp(-1.0)), 7533},  // logit 1
        {1.0 / (1.0 + std::exp(1.0)), -7533},
        {1e-320, CLASSIFIER_THRESHOLD_ALL},  // 1/p overflows to infinity
        {std::nan(""), CLASSIFIER_THRESHOLD_NONE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(face_threshold_from_probability(c.p, scale), c.want) << c.p;
}

TEST(GenderBias, KeepsTheLowSixteenBits) {
    const struct {
        const char *text;
        int16_t want;
    } cases[] = {{"70000", 4464},   {"0", 0},     {"-5", -5}, {"32767", 32767},
                 {"32768", -32768}, {"65536", 0}, {"abc", 0}, {"-70000", -4464}};
    for (const auto &c : cases)
        EXPECT_EQ(classifier_gender_bias_from_text(c.text), c.want) << c.text;
    EXPECT_EQ(classifier_gender_bias_from_text(nullptr), 0);
}

TEST(Age, FromSumIsTruncatedAndClamped) {
    const double d = 1077.178407;
    EXPECT_EQ(classifier_age_from_sum(32767, d), 30);
    EXPECT_EQ(classifier_age_from_sum(-1, d), 0);
    EXPECT_EQ(classifier_age_from_sum(-200000, d), 0);
    EXPECT_EQ(classifier_age_from_sum(int32_t(100 * d) + 5000, d), 100);
    EXPECT_EQ(classifier_age_from_sum(INT32_MAX, d), 100);
    EXPECT_EQ(classifier_age_from_sum(int32_t(99.9 * d), d), 99);
    EXPECT_EQ(classifier_age_from_sum(1000, 0.0), 0);
}

TEST(Age, ValueWithOffsetsIsClamped) {
    const ClassifierAgeOffsets offsets{3, 5, -2};
    const struct {
        int32_t age, gender;
        double want;
    } cases[] = {
        {95, 40, 100.0},                                 // 95 + 3 + 5 clamped
        {40, 1, 48.0},   {40, -1, 41.0}, {40, 0, 43.0},  // undecided: only the common offset
        {0, -100, 1.0},
    };
    for (const auto &c : cases) {
        EXPECT_DOUBLE_EQ(classifier_age_value(c.age, c.gender, offsets), c.want) << c.age;
    }
    EXPECT_DOUBLE_EQ(classifier_age_value(0, -1, {-3, 0, 0}), 0.0);
    EXPECT_DOUBLE_EQ(classifier_age_value(120, 0, {0, 0, 0}), 100.0);
    EXPECT_DOUBLE_EQ(classifier_gender_flag(0), 0.0);
    EXPECT_DOUBLE_EQ(classifier_gender_flag(7), 1.0);
    EXPECT_DOUBLE_EQ(classifier_gender_flag(-7), -1.0);
}

}  // namespace
