#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "detect/lbp.h"
#include "detect_test_util.h"

namespace {

using detect_test::Grey;

TEST(LbpTransform, FlatImageGivesZero) {
    Grey src(37, 9, 77);
    Grey dst(37, 9, 0);
    ASSERT_EQ(lbp_transform(dst.get(), src.get()), 0);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 37; ++x) EXPECT_EQ(dst.at(x, y), 0);
}

// One neighbour of a centre pixel is made brighter, then darker, then equal.
TEST(LbpTransform, EachNeighbourSetsItsBitOnlyWhenStrictlyBrighter) {
    const struct {
        int dx, dy, bit;
    } neighbours[8] = {{-1, -1, 128}, {0, -1, 64}, {1, -1, 32}, {-1, 0, 16},
                       {1, 0, 8},     {-1, 1, 4},  {0, 1, 2},   {1, 1, 1}};
    const int cx = 17;  // inside the first vector block of a 40-pixel row
    const int cy = 2;
    for (auto transform : {lbp_transform, lbp_transform_scalar}) {
        for (const auto &n : neighbours) {
            for (int delta : {1, -1, 0}) {
                Grey src(40, 5, 100);
                Grey dst(40, 5, 0);
                src.at(cx + n.dx, cy + n.dy) = static_cast<uint8_t>(100 + delta);
                ASSERT_EQ(transform(dst.get(), src.get()), 0);
                EXPECT_EQ(dst.at(cx, cy), delta > 0 ? n.bit : 0) << n.bit << " " << delta;
            }
        }
        Grey src(40, 5, 200);
        Grey dst(40, 5, 0);
        src.at(cx, cy) = 3;
        ASSERT_EQ(transform(dst.get(), src.get()), 0);
        EXPECT_EQ(dst.at(cx, cy), 255);
    }
}

TEST(LbpTransform, LeavesBorderAndTakesSourceSize) {
    Grey src(21, 6, 0);
    std::mt19937 rng(3);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 21; ++x) src.at(x, y) = static_cast<uint8_t>(rng());
    Grey dst(30, 10, 0xEE);
    ASSERT_EQ(lbp_transform(dst.get(), src.get()), 0);
    EXPECT_EQ(dst->width, 21);
    EXPECT_EQ(dst->height, 6);
    for (int x = 0; x < 21; ++x) {
        EXPECT_EQ(dst.at(x, 0), 0xEE);
        EXPECT_EQ(dst.at(x, 5), 0xEE);
    }
    for (int y = 0; y < 6; ++y) {
        EXPECT_EQ(dst.at(0, y), 0xEE);
        EXPECT_EQ(dst.at(20, y), 0xEE);
    }
    for (int y = 1; y < 5; ++y)
        for (int x = 1; x < 20; ++x)
            EXPECT_EQ(dst.at(x, y), mevo_test::reference_lbp_code(&src.at(x, y), src->stride));
}

TEST(LbpTransform, RefusesOtherFormatsAndSmallDestinations) {
    Grey src(20, 20);
    ScopedImage rgb;
    ASSERT_EQ(image_create(rgb.get(), PIXEL_RGB24, 3, 20, 20, 0, 0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lbp_transform(rgb.get(), src.get()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not gray scale image\n");
    Grey small(19, 20);
    EXPECT_EQ(lbp_transform(small.get(), src.get()), 5);
}

// The vector path must equal the scalar path bit for bit, tails and odd strides included. It
// proves nothing unless the target's vector unit is compiled in, so that comes first.
TEST(LbpTransform, VectorPathMatchesScalarOnRandomImages) {
    ASSERT_STREQ(lbp_transform_simd_name(), MEVO_SIMD_EXPECTED);
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> size(1, 83);
    std::uniform_int_distribution<int> pad(0, 13);
    for (int round = 0; round < 300; ++round) {
        const int w = size(rng);
        const int h = size(rng);
        const int src_stride = w + pad(rng);
        const int dst_stride = w + pad(rng);
        ScopedImage src, a, b;
        ASSERT_EQ(image_create_with_stride(src.get(), PIXEL_GRAY8, 1, w, h, src_stride, 0, 0), 0);
        ASSERT_EQ(image_create_with_stride(a.get(), PIXEL_GRAY8, 1, w, h, dst_stride, 0, 0), 0);
        ASSERT_EQ(image_create_with_stride(b.get(), PIXEL_GRAY8, 1, w, h, dst_stride, 0, 0), 0);
        // Few distinct values make equal neighbours common.
        const int levels = round % 3 == 0 ? 3 : 256;
        for (int i = 0; i < src_stride * h; ++i)
            src->data[i] = static_cast<uint8_t>(rng() % levels);
        ASSERT_EQ(lbp_transform(a.get(), src.get()), 0);
        ASSERT_EQ(lbp_transform_scalar(b.get(), src.get()), 0);
        for (int y = 0; y < h; ++y)
            ASSERT_EQ(std::memcmp(image_row(a.get(), y), image_row(b.get(), y), w), 0)
                << "w " << w << " h " << h << " row " << y << " (" << lbp_transform_simd_name()
                << ")";
    }
}

}  // namespace
