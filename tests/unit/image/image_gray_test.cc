#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "image/image.h"
#include "image_test_util.h"

namespace {

TEST(GrayOperations, RefuseOtherFormatsAndLeaveTheImageUntouched) {
    const std::pair<const char *, std::function<int(Image *)>> ops[] = {
        {"halve", image_halve},
        {"halve scalar", image_halve_scalar},
        {"mirror horizontal", image_mirror_horizontal},
        {"mirror vertical", image_mirror_vertical},
        {"shrink 1.25", image_shrink_125},
        {"crop", [](Image *img) { return image_crop(img, img, 0, 1, 0, 1); }},
    };
    for (const auto &[name, op] : ops) {
        ScopedImage img;
        ASSERT_EQ(image_create(img.get(), PIXEL_RGB24, 3, 6, 6, 0, 0), IMAGE_OK);
        for (int i = 0; i < img->stride * 6; ++i) img->data[i] = static_cast<uint8_t>(i);
        const Image before = img.image;
        testing::internal::CaptureStderr();
        EXPECT_EQ(op(img.get()), IMAGE_ERR_NOT_GRAY) << name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not gray scale image\n") << name;
        EXPECT_EQ(memcmp(&before, &img.image, sizeof before), 0) << name;
        for (int i = 0; i < img->stride * 6; ++i)
            ASSERT_EQ(img->data[i], static_cast<uint8_t>(i)) << name;

        EXPECT_EQ(op(nullptr), IMAGE_ERR_INVALID) << name;
        Image no_pixels;
        ASSERT_EQ(image_setup_auto_stride(&no_pixels, PIXEL_GRAY8, 1, 4, 4, 0, 0), IMAGE_OK);
        EXPECT_EQ(op(&no_pixels), IMAGE_ERR_INVALID) << name;
    }
}

TEST(ImageToGray, AveragesTheFirstThreeChannels) {
    struct {
        int format, channels;
        std::vector<uint8_t> pixel;
        int expected;
    } const cases[] = {
        {PIXEL_RGB24, 3, {10, 20, 31}, 20},
        {PIXEL_BGR24, 3, {31, 20, 10}, 20},
        // Four-byte pixels step by four bytes; alpha and ignored bytes do not count.
        {PIXEL_RGBA32, 4, {10, 20, 31, 0}, 20},
        {PIXEL_RGBX32, 3, {10, 20, 31, 200}, 20},
        {PIXEL_XRGB32, 3, {200, 10, 20, 31}, 20},
        // The fill bits are fixed: 565 word 0xFFFF widens to 251, 253, 251; 0x0000 to 3, 1, 3.
        {PIXEL_RGB565, 3, {0xff, 0xff}, 251},
        {PIXEL_RGB565, 3, {0x00, 0x00}, 2},
        // 444: R = 0xf -> 0xf7, G = 0 -> 0x07, B = 0 -> 0x07.
        {PIXEL_RGB444, 3, {0x0f, 0x00}, (0xf7 + 7 + 7) / 3},
        {PIXEL_YCBCR, 3, {90, 200, 10}, 90},
        {PIXEL_N8, 5, {10, 20, 31, 250, 250}, 20},
    };
    for (const auto &c : cases) {
        ScopedImage src;
        ASSERT_EQ(image_create(src.get(), c.format, c.channels, 3, 2, 0, 0), IMAGE_OK);
        const size_t bpp = c.pixel.size();
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                memcpy(image_row(src.get(), y) + x * bpp, c.pixel.data(), bpp);
        ScopedImage dst;
        ASSERT_EQ(image_create(dst.get(), PIXEL_GRAY8, 1, 8, 8, 0, 0), IMAGE_OK);
        ASSERT_EQ(image_to_gray(dst.get(), src.get()), IMAGE_OK) << c.format;
        EXPECT_EQ(dst->width, 3);
        EXPECT_EQ(dst->height, 2);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) EXPECT_EQ(pixel(dst.get(), x, y), c.expected) << c.format;
        EXPECT_EQ(pixel(dst.get(), 3, 0), 0) << "wrote past the view";
    }
}

TEST(ImageToGray, CopiesGreyRowsAndAveragesPlanes) {
    ScopedImage src;
    make_gray(src, 5, 3, 12, [](int x, int y) { return static_cast<uint8_t>(10 * y + x); });
    ScopedImage dst;
    make_gray(dst, 9, 9, 16, [](int, int) { return 0; });
    ASSERT_EQ(image_to_gray(dst.get(), src.get()), IMAGE_OK);
    EXPECT_EQ(dst->width, 5);
    EXPECT_EQ(dst->height, 3);
    EXPECT_EQ(view_pixels(dst.get()), view_pixels(src.get()));
    EXPECT_EQ(pixel(dst.get(), 5, 0), 0);

    ScopedImage planar;
    ASSERT_EQ(image_create(planar.get(), PIXEL_RGB24, 3, 2, 2, 1, 0), IMAGE_OK);
    const int plane = planar->stride * planar->full_height;
    for (int y = 0; y < 2; ++y) {
        image_row(planar.get(), y)[0] = 10;
        image_row(planar.get(), y)[plane] = 20;
        image_row(planar.get(), y)[2 * plane] = 31;
    }
    ASSERT_EQ(image_to_gray(dst.get(), planar.get()), IMAGE_OK);
    EXPECT_EQ(pixel(dst.get(), 0, 0), 20);
    EXPECT_EQ(pixel(dst.get(), 0, 1), 20);
}

TEST(ImageToGray, RefusesDestinationsThatCannotHoldTheResult) {
    ScopedImage src;
    make_gray(src, 8, 8, 8, [](int, int) { return 1; });
    ScopedImage small, colour, wide;
    make_gray(small, 8, 7, 8, [](int, int) { return 0; });
    ASSERT_EQ(image_create(colour.get(), PIXEL_RGB24, 3, 8, 8, 0, 0), IMAGE_OK);
    EXPECT_EQ(image_to_gray(small.get(), src.get()), IMAGE_ERR_INVALID);
    EXPECT_EQ(image_to_gray(colour.get(), src.get()), IMAGE_ERR_INVALID);
    EXPECT_EQ(image_to_gray(nullptr, src.get()), IMAGE_ERR_INVALID);
    EXPECT_EQ(image_to_gray(small.get(), nullptr), IMAGE_ERR_INVALID);
    ASSERT_EQ(image_create(wide.get(), PIXEL_N16, 3, 2, 2, 0, 0), IMAGE_OK);
    EXPECT_EQ(image_to_gray(colour.get(), wide.get()), IMAGE_ERR_UNSUPPORTED);
}

TEST(ImageCrop, CopiesTheInclusiveRectangleToTheDestinationStride) {
    ScopedImage src;
    make_gray(src, 9, 7, 12, [](int x, int y) { return static_cast<uint8_t>(16 * y + x); });
    ScopedImage dst;
    make_gray(dst, 9, 7, 20, [](int, int) { return 0; });
    ASSERT_EQ(image_crop(dst.get(), src.get(), 2, 6, 1, 5), IMAGE_OK);
    EXPECT_EQ(dst->width, 5);
    EXPECT_EQ(dst->height, 5);
    EXPECT_EQ(dst->stride, 20);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(pixel(dst.get(), x, y), 16 * (y + 1) + x + 2);
    EXPECT_EQ(pixel(dst.get(), 5, 0), 0);
}

TEST(ImageCrop, WorksInPlace) {
    ScopedImage img;
    make_gray(img, 9, 7, 12, [](int x, int y) { return static_cast<uint8_t>(16 * y + x); });
    ASSERT_EQ(image_crop(img.get(), img.get(), 1, 8, 0, 3), IMAGE_OK);
    EXPECT_EQ(img->width, 8);
    EXPECT_EQ(img->height, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) EXPECT_EQ(pixel(img.get(), x, y), 16 * y + x + 1);
}

TEST(ImageCrop, RefusesRectanglesOutsideTheSourceOrTooLargeForTheDestination) {
    ScopedImage src, dst;
    make_gray(src, 9, 7, 12, [](int, int) { return 1; });
    make_gray(dst, 4, 4, 4, [](int, int) { return 0; });
    const int rects[][4] = {
        {-1, 2, 0, 2}, {0, 9, 0, 2}, {0, 2, -1, 2}, {0, 2, 0, 7},
        {3, 2, 0, 2},  {0, 2, 3, 2}, {0, 4, 0, 2},  // five columns do not fit a four-wide
                                                    // destination
    };
    for (const auto &r : rects) {
        EXPECT_EQ(image_crop(dst.get(), src.get(), r[0], r[1], r[2], r[3]), IMAGE_ERR_INVALID)
            << r[0] << "," << r[1] << "," << r[2] << "," << r[3];
        EXPECT_EQ(dst->width, 4);
        EXPECT_EQ(pixel(dst.get(), 0, 0), 0);
    }
}

TEST(ImageMirror, SwapsColumnsAndRowsWithinTheView) {
    for (int width : {1, 4, 7}) {
        for (int height : {1, 4, 5}) {
            ScopedImage h, v;
            auto value = [](int x, int y) { return static_cast<uint8_t>(20 * y + x); };
            make_gray(h, width, height, 12, value);
            make_gray(v, width, height, 12, value);
            ASSERT_EQ(image_mirror_horizontal(h.get()), IMAGE_OK);
            ASSERT_EQ(image_mirror_vertical(v.get()), IMAGE_OK);
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    EXPECT_EQ(pixel(h.get(), x, y), value(width - 1 - x, y));
                    EXPECT_EQ(pixel(v.get(), x, y), value(x, height - 1 - y));
                }
                EXPECT_EQ(pixel(h.get(), width, y), 0xEE);
                EXPECT_EQ(pixel(v.get(), width, y), 0xEE);
            }
        }
    }
}

TEST(ImageHalve, AveragesTwoByTwoBlocksAndDropsAnOddEdge) {
    ScopedImage img;
    const uint8_t rows[3][5] = {{1, 2, 3, 4, 99}, {5, 7, 8, 9, 99}, {99, 99, 99, 99, 99}};
    make_gray(img, 5, 3, 8, [&](int x, int y) { return rows[y][x]; });
    ASSERT_EQ(image_halve(img.get()), IMAGE_OK);
    EXPECT_EQ(img->width, 2);
    EXPECT_EQ(img->height, 1);
    EXPECT_EQ(img->stride, 8);
    EXPECT_EQ(pixel(img.get(), 0, 0), (1 + 2 + 5 + 7) >> 2);
    EXPECT_EQ(pixel(img.get(), 1, 0), (3 + 4 + 8 + 9) >> 2);
}

TEST(ImageHalve, OneRowOnlyHalvesTheSizes) {
    ScopedImage img;
    make_gray(img, 6, 1, 8, [](int x, int) { return static_cast<uint8_t>(x); });
    ASSERT_EQ(image_halve(img.get()), IMAGE_OK);
    EXPECT_EQ(img->width, 3);
    EXPECT_EQ(img->height, 0);
    for (int x = 0; x < 6; ++x) EXPECT_EQ(pixel(img.get(), x, 0), x);
}

// The SIMD path must be bit-identical to the scalar one (and to the definition) on sizes that
// leave every kind of remainder after the 16-pixel steps. It proves nothing unless the target's
// vector unit is compiled in, so that comes first.
TEST(ImageHalve, SimdMatchesScalarOnRandomImages) {
    ASSERT_STREQ(image_halve_simd_name(), MEVO_SIMD_EXPECTED);
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    const int sizes[][2] = {{1, 1},  {2, 2},   {31, 3},  {32, 2},   {33, 5},   {63, 7},
                            {65, 9}, {97, 11}, {128, 4}, {255, 33}, {513, 17}, {1921, 3}};
    for (const auto &size : sizes) {
        for (int extra_stride : {0, 3, 17}) {
            const int width = size[0], height = size[1], stride = width + extra_stride;
            std::vector<uint8_t> pixels(static_cast<size_t>(stride) * height);
            for (uint8_t &p : pixels) p = static_cast<uint8_t>(byte(rng));
            ScopedImage simd, scalar;
            make_gray(simd, width, height, stride,
                      [&](int x, int y) { return pixels[y * stride + x]; });
            make_gray(scalar, width, height, stride,
                      [&](int x, int y) { return pixels[y * stride + x]; });
            ASSERT_EQ(image_halve(simd.get()), IMAGE_OK);
            ASSERT_EQ(image_halve_scalar(scalar.get()), IMAGE_OK);
            const std::string where = std::to_string(width) + "x" + std::to_string(height) +
                                      " stride " + std::to_string(stride);
            ASSERT_EQ(simd->width, width / 2) << where;
            ASSERT_EQ(simd->height, height / 2) << where;
            ASSERT_EQ(view_pixels(simd.get()), view_pixels(scalar.get())) << where;
            for (int y = 0; y < height / 2; ++y) {
                for (int x = 0; x < width / 2; ++x) {
                    auto in = [&](int xx, int yy) { return pixels[yy * stride + xx]; };
                    int mean = (in(2 * x, 2 * y) + in(2 * x + 1, 2 * y) + in(2 * x, 2 * y + 1) +
                                in(2 * x + 1, 2 * y + 1)) >>
                               2;
                    ASSERT_EQ(pixel(simd.get(), x, y), mean) << where << " at " << x << "," << y;
                }
            }
        }
    }
}

}  // namespace
