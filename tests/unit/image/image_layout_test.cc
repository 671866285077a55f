#include <gtest/gtest.h>

#include <cstring>

#include "image/image.h"

namespace {

struct SetupCase {
    const char *name;
    int format, channels, width, height, stride, planar, origin;
    int status;
};

TEST(ImageSetup, ValidatesLayouts) {
    const SetupCase cases[] = {
        {"grey", PIXEL_GRAY8, 1, 10, 5, 12, 0, 0, IMAGE_OK},
        {"rgb", PIXEL_RGB24, 3, 10, 5, 30, 0, 0, IMAGE_OK},
        {"origin 4 accepted", PIXEL_GRAY8, 1, 10, 5, 10, 0, 4, IMAGE_OK},
        {"bottom-up", PIXEL_GRAY8, 1, 10, 5, 10, 0, 1, IMAGE_OK},
        {"n channels", PIXEL_N8, 5, 10, 5, 50, 0, 0, IMAGE_OK},
        {"planar stride counts one byte", PIXEL_RGB24, 3, 10, 5, 10, 1, 0, IMAGE_OK},
        {"ycbcr 4:2:0", PIXEL_YCBCR, 3, 10, 6, 12, 3, 0, IMAGE_OK},
        {"packed 565", PIXEL_RGB565, 3, 10, 5, 20, 0, 0, IMAGE_OK},
        {"packed x888", PIXEL_XRGB32, 3, 10, 5, 40, 0, 0, IMAGE_OK},
        {"empty", PIXEL_GRAY8, 1, 0, 0, 0, 0, 0, IMAGE_OK},
        {"rgb with 4 channels", PIXEL_RGB24, 4, 10, 5, 40, 0, 0, IMAGE_ERR_INVALID},
        {"rgba with 3 channels", PIXEL_RGBA32, 3, 10, 5, 40, 0, 0, IMAGE_ERR_INVALID},
        {"grey with 3 channels", PIXEL_GRAY8, 3, 10, 5, 40, 0, 0, IMAGE_ERR_INVALID},
        {"x888 with 4 channels", PIXEL_XRGB32, 4, 10, 5, 40, 0, 0, IMAGE_ERR_INVALID},
        {"ycbcr with 1 channel", PIXEL_YCBCR, 1, 10, 5, 40, 0, 0, IMAGE_ERR_INVALID},
        {"format below range", -1, 1, 10, 5, 40, 0, 0, IMAGE_ERR_INVALID},
        {"format above range", 21, 1, 10, 5, 40, 0, 0, IMAGE_ERR_INVALID},
        {"planar above range", PIXEL_GRAY8, 1, 10, 5, 40, 4, 0, IMAGE_ERR_INVALID},
        {"origin 2", PIXEL_GRAY8, 1, 10, 5, 40, 0, 2, IMAGE_ERR_INVALID},
        {"stride too small", PIXEL_RGB24, 3, 10, 5, 29, 0, 0, IMAGE_ERR_INVALID},
        {"negative width", PIXEL_GRAY8, 1, -1, 5, 40, 0, 0, IMAGE_ERR_INVALID},
        {"negative height", PIXEL_GRAY8, 1, 10, -5, 40, 0, 0, IMAGE_ERR_INVALID},
        // A channel count of zero or less would make byte sizes zero or negative.
        {"n channels zero", PIXEL_N8, 0, 10, 5, 40, 0, 0, IMAGE_ERR_INVALID},
        {"wide negative channels", PIXEL_N32, -2, 10, 5, 0, 0, 0, IMAGE_ERR_INVALID},
    };
    for (const SetupCase &c : cases) {
        Image image;
        memset(&image, 0x5a, sizeof image);
        EXPECT_EQ(image_setup(&image, c.format, c.channels, c.width, c.height, c.stride, c.planar,
                              c.origin),
                  c.status)
            << c.name;
        if (c.status == IMAGE_OK) {
            EXPECT_EQ(image.data, nullptr) << c.name;
            EXPECT_EQ(image.base, nullptr) << c.name;
            EXPECT_EQ(image.full_width, c.width) << c.name;
            EXPECT_EQ(image.full_height, c.height) << c.name;
        }
    }
    EXPECT_EQ(image_setup(nullptr, PIXEL_GRAY8, 1, 1, 1, 4, 0, 0), IMAGE_ERR_INVALID);
}

TEST(ImageSetup, DerivesPixelSizesFromTheFormat) {
    struct {
        int format, channels, bytes_per_channel, bytes_per_pixel;
    } const cases[] = {
        {PIXEL_RGB24, 3, 1, 3},  {PIXEL_BGRA32, 4, 1, 4},   {PIXEL_N8, 7, 1, 7},
        {PIXEL_N32, 2, 4, 8},    {PIXEL_N32_ALT, 3, 4, 12}, {PIXEL_N64, 2, 8, 16},
        {PIXEL_YCBCR, 3, 1, 3},  {PIXEL_GRAY8, 1, 1, 1},    {PIXEL_RGB565, 3, 0, 2},
        {PIXEL_RGBX32, 3, 0, 4}, {PIXEL_BGR444, 3, 0, 2},   {PIXEL_N16, 3, 2, 6},
    };
    for (const auto &c : cases) {
        Image image;
        ASSERT_EQ(image_setup_auto_stride(&image, c.format, c.channels, 7, 3, 0, 0), IMAGE_OK)
            << c.format;
        EXPECT_EQ(image.bytes_per_channel, c.bytes_per_channel) << c.format;
        EXPECT_EQ(image.bytes_per_pixel, c.bytes_per_pixel) << c.format;
        EXPECT_EQ(image.stride, (7 * c.bytes_per_pixel + 3) / 4 * 4) << c.format;
    }
}

TEST(ImageCreate, RoundsStrideToWordsAndZeroFills) {
    ScopedImage img;
    ASSERT_EQ(image_create(img.get(), PIXEL_GRAY8, 1, 101, 7, 0, 0), IMAGE_OK);
    EXPECT_EQ(img->stride, 104);
    ASSERT_NE(img->data, nullptr);
    EXPECT_EQ(img->data, img->base);
    for (int i = 0; i < 104 * 7; ++i) ASSERT_EQ(img->data[i], 0) << i;
}

TEST(ImageCreate, PlanarStorageHoldsOnePlanePerChannel) {
    ScopedImage img;
    ASSERT_EQ(image_create(img.get(), PIXEL_RGB24, 3, 10, 4, 1, 0), IMAGE_OK);
    EXPECT_EQ(img->stride, 12);  // 10 x 3 / 3, rounded up to 4
    // All three planes must be addressable (the sanitizer build catches a short allocation).
    memset(img->data, 7, 12 * 4 * 3);
    EXPECT_EQ(img->data[12 * 4 * 3 - 1], 7);
}

TEST(ImageCreate, WithStrideKeepsTheStrideAndRefusesInvalidLayouts) {
    ScopedImage img;
    ASSERT_EQ(image_create_with_stride(img.get(), PIXEL_RGB24, 3, 5, 2, 64, 0, 0), IMAGE_OK);
    EXPECT_EQ(img->stride, 64);
    memset(img->data, 1, 64 * 2);

    ScopedImage bad;
    EXPECT_EQ(image_create_with_stride(bad.get(), PIXEL_RGB24, 3, 5, 2, 14, 0, 0),
              IMAGE_ERR_INVALID);
    EXPECT_EQ(bad->data, nullptr);
    EXPECT_EQ(image_create(nullptr, PIXEL_GRAY8, 1, 1, 1, 0, 0), IMAGE_ERR_INVALID);
}

TEST(ImageFree, ReleasesOwnedStorageAndToleratesRepeatsAndNull) {
    Image image;
    ASSERT_EQ(image_create(&image, PIXEL_GRAY8, 1, 16, 16, 0, 0), IMAGE_OK);
    EXPECT_EQ(image_free(&image), IMAGE_OK);
    EXPECT_EQ(image.data, nullptr);
    EXPECT_EQ(image.base, nullptr);
    EXPECT_EQ(image.width, 16);  // sizes stay
    EXPECT_EQ(image_free(&image), IMAGE_OK);
    EXPECT_EQ(image_free(nullptr), IMAGE_OK);

    // Storage handed in through data alone is released through data.
    ASSERT_EQ(image_setup_auto_stride(&image, PIXEL_GRAY8, 1, 4, 4, 0, 0), IMAGE_OK);
    image.data = static_cast<uint8_t *>(malloc(16));
    EXPECT_EQ(image_free(&image), IMAGE_OK);
    EXPECT_EQ(image.data, nullptr);
}

}  // namespace
