#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/image.h"
#include "image_test_util.h"

namespace {

std::vector<std::vector<int>> rows_of(const Image *image) {
    std::vector<std::vector<int>> rows;
    for (int y = 0; y < image->height; ++y)
        rows.emplace_back(image_row(image, y), image_row(image, y) + image->width);
    return rows;
}

// Worked by hand: no half-pixel offset, so destination column x samples source column x / 2;
// the last column and row fall at 1.5, outside the source (-0.5 .. 1.5), and become 0.
// Every sum lands on .5 and truncates after the +8192 rounding term.
TEST(ImageResize, BilinearUpscaleOfTwoByTwo) {
    ScopedImage src, dst;
    const int in[2][2] = {{0, 100}, {200, 40}};
    make_gray(src, 2, 2, 4, [&](int x, int y) { return static_cast<uint8_t>(in[y][x]); });
    ASSERT_EQ(image_resize(src.get(), dst.get(), 4, 4, IMAGE_FILTER_BILINEAR), IMAGE_OK);
    EXPECT_EQ(dst->format, PIXEL_GRAY8);
    EXPECT_EQ(dst->width, 4);
    EXPECT_EQ(dst->height, 4);
    const std::vector<std::vector<int>> expected = {
        {0, 50, 100, 0}, {100, 85, 70, 0}, {200, 120, 40, 0}, {0, 0, 0, 0}};
    EXPECT_EQ(rows_of(dst.get()), expected);
}

// Column 3 samples 2.25: its right neighbour is missing, the one present carries weight
// 0.75 and is rescaled to full weight (30, not 23).
TEST(ImageResize, BorderWeightsAreRescaled) {
    ScopedImage src, dst;
    const int in[3] = {10, 20, 30};
    make_gray(src, 3, 1, 4, [&](int x, int) { return static_cast<uint8_t>(in[x]); });
    ASSERT_EQ(image_resize(src.get(), dst.get(), 4, 1, IMAGE_FILTER_BILINEAR), IMAGE_OK);
    const std::vector<std::vector<int>> expected = {{10, 18, 25, 30}};
    EXPECT_EQ(rows_of(dst.get()), expected);
}

TEST(ImageResize, IntegerDownscalePicksSourcePixels) {
    ScopedImage src, dst;
    make_gray(src, 8, 6, 8, [](int x, int y) { return static_cast<uint8_t>(30 * y + x); });
    ASSERT_EQ(image_resize(src.get(), dst.get(), 4, 3, IMAGE_FILTER_BILINEAR), IMAGE_OK);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(pixel(dst.get(), x, y), 30 * 2 * y + 2 * x);
}

TEST(ImageResize, RefusesScalesTooLargeToInvert) {
    ScopedImage src;
    make_gray(src, 10, 10, 12, [](int, int) { return 9; });
    ScopedImage ok, refused;
    ASSERT_EQ(image_resize(src.get(), ok.get(), 110, 110, IMAGE_FILTER_BILINEAR), IMAGE_OK);
    testing::internal::CaptureStderr();
    EXPECT_EQ(image_resize(src.get(), refused.get(), 120, 120, IMAGE_FILTER_BILINEAR),
              IMAGE_ERR_INVALID);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: Rotation matrix must not be singular\n");
    EXPECT_EQ(refused->data, nullptr);
    EXPECT_EQ(refused->base, nullptr);
}

TEST(ImageResize, RefusesUnsupportedImagesAndArguments) {
    struct {
        const char *name;
        int format, channels, planar;
    } const unsupported[] = {
        {"ycbcr", PIXEL_YCBCR, 3, 0},
        {"packed16 a", PIXEL_PACKED16_A, 3, 0},
        {"n8", PIXEL_N8, 3, 0},
        {"n32", PIXEL_N32, 1, 0},
        {"n16", PIXEL_N16, 2, 0},
        {"planar rgb", PIXEL_RGB24, 3, 1},
        {"planar grey", PIXEL_GRAY8, 1, 1},
    };
    for (const auto &c : unsupported) {
        ScopedImage src, dst;
        ASSERT_EQ(image_create(src.get(), c.format, c.channels, 8, 8, c.planar, 0), IMAGE_OK);
        EXPECT_EQ(image_resize(src.get(), dst.get(), 4, 4, IMAGE_FILTER_BILINEAR),
                  IMAGE_ERR_UNSUPPORTED)
            << c.name;
        EXPECT_EQ(dst->data, nullptr) << c.name;
    }
    ScopedImage src, dst;
    make_gray(src, 8, 8, 8, [](int, int) { return 1; });
    EXPECT_EQ(image_resize(src.get(), dst.get(), 0, 4, IMAGE_FILTER_BILINEAR), IMAGE_ERR_INVALID);
    EXPECT_EQ(image_resize(src.get(), dst.get(), 4, 4, 1), IMAGE_ERR_INVALID);
    EXPECT_EQ(image_resize(nullptr, dst.get(), 4, 4, IMAGE_FILTER_BILINEAR), IMAGE_ERR_INVALID);
    EXPECT_EQ(image_resize(src.get(), src.get(), 4, 4, IMAGE_FILTER_BILINEAR), IMAGE_ERR_INVALID);
    EXPECT_EQ(dst->data, nullptr);
}

// Same-size resampling samples every source pixel exactly, which isolates the conversion.
struct ConversionCase {
    const char *name;
    int src_format, src_channels;
    std::vector<uint8_t> src_pixel;
    int dst_format, dst_channels;
    std::vector<uint8_t> dst_pixel;
};

TEST(ImageResample, ConvertsPixelFormatsWhileWriting) {
    const ConversionCase cases[] = {
        {"rgb to grey", PIXEL_RGB24, 3, {10, 20, 31}, PIXEL_GRAY8, 1, {20}},
        {"bgr to rgb", PIXEL_BGR24, 3, {1, 2, 3}, PIXEL_RGB24, 3, {3, 2, 1}},
        {"grey to rgb", PIXEL_GRAY8, 1, {77}, PIXEL_RGB24, 3, {77, 77, 77}},
        // 565 widening fills the low bits with 011 / 01.
        {"565 to rgb", PIXEL_RGB565, 3, {0x1f, 0x00}, PIXEL_RGB24, 3, {251, 1, 3}},
        {"bgr565 to rgb", PIXEL_BGR565, 3, {0x1f, 0x00}, PIXEL_RGB24, 3, {3, 1, 251}},
        {"rgb to 565", PIXEL_RGB24, 3, {255, 4, 8}, PIXEL_RGB565, 3, {0x3f, 0x08}},
        {"444 to rgb", PIXEL_RGB444, 3, {0xa5, 0x03}, PIXEL_RGB24, 3, {0x57, 0xa7, 0x37}},
        {"xrgb to bgrx", PIXEL_XRGB32, 3, {9, 1, 2, 3}, PIXEL_BGRX32, 3, {3, 2, 1, 0}},
        // Alpha composited onto black: 128 x 200 / 255 = 100.
        {"rgba onto rgb", PIXEL_RGBA32, 4, {200, 255, 0, 128}, PIXEL_RGB24, 3, {100, 128, 0}},
        {"bgra to rgba keeps alpha", PIXEL_BGRA32, 4, {1, 2, 3, 4}, PIXEL_RGBA32, 4, {3, 2, 1, 4}},
    };
    for (const auto &c : cases) {
        ScopedImage src, dst;
        ASSERT_EQ(image_create(src.get(), c.src_format, c.src_channels, 3, 2, 0, 0), IMAGE_OK);
        ASSERT_EQ(image_create(dst.get(), c.dst_format, c.dst_channels, 3, 2, 0, 0), IMAGE_OK);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                memcpy(image_row(src.get(), y) + x * src->bytes_per_pixel, c.src_pixel.data(),
                       c.src_pixel.size());
        ASSERT_EQ(image_resample(src.get(), dst.get(), IMAGE_FILTER_BILINEAR), IMAGE_OK) << c.name;
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 3; ++x) {
                const uint8_t *p = image_row(dst.get(), y) + x * dst->bytes_per_pixel;
                EXPECT_EQ(std::vector<uint8_t>(p, p + c.dst_pixel.size()), c.dst_pixel)
                    << c.name << " at " << x << "," << y;
            }
        }
    }
}

TEST(ImageResample, FlipsRowsBetweenOrigins) {
    ScopedImage src, dst;
    ASSERT_EQ(image_create(src.get(), PIXEL_GRAY8, 1, 2, 3, 0, IMAGE_ORIGIN_BOTTOM), IMAGE_OK);
    ASSERT_EQ(image_create(dst.get(), PIXEL_GRAY8, 1, 2, 3, 0, IMAGE_ORIGIN_TOP), IMAGE_OK);
    for (int y = 0; y < 3; ++y) memset(image_row(src.get(), y), 10 * (y + 1), 2);
    ASSERT_EQ(image_resample(src.get(), dst.get(), IMAGE_FILTER_BILINEAR), IMAGE_OK);
    EXPECT_EQ(pixel(dst.get(), 0, 0), 30);
    EXPECT_EQ(pixel(dst.get(), 1, 2), 10);
}

}  // namespace

namespace {

// The grey-to-grey fast path and the general converting path must agree: grey written as RGB
// carries the same value in every channel.
TEST(ImageResample, GreyFastPathMatchesTheGeneralPath) {
    std::mt19937 rng(99);
    const int sizes[][4] = {{37, 23, 50, 31}, {64, 48, 17, 13}, {5, 7, 9, 11}, {100, 3, 33, 8}};
    for (const auto &s : sizes) {
        ScopedImage src, grey, rgb;
        make_gray(src, s[0], s[1], s[0] + 3, [&](int, int) { return static_cast<uint8_t>(rng()); });
        ASSERT_EQ(image_create(grey.get(), PIXEL_GRAY8, 1, s[2], s[3], 0, 0), IMAGE_OK);
        ASSERT_EQ(image_create(rgb.get(), PIXEL_RGB24, 3, s[2], s[3], 0, 0), IMAGE_OK);
        ASSERT_EQ(image_resample(src.get(), grey.get(), IMAGE_FILTER_BILINEAR), IMAGE_OK);
        ASSERT_EQ(image_resample(src.get(), rgb.get(), IMAGE_FILTER_BILINEAR), IMAGE_OK);
        for (int y = 0; y < s[3]; ++y)
            for (int x = 0; x < s[2]; ++x)
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(image_row(rgb.get(), y)[3 * x + c], pixel(grey.get(), x, y))
                        << s[0] << "x" << s[1] << " -> " << s[2] << "x" << s[3] << " at " << x
                        << "," << y;
    }
}

}  // namespace
