// Small helpers for the image tests: filled grey images and pixel access.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "image/image.h"

inline uint8_t &pixel(Image *image, int x, int y) {
    return image_row(image, y)[x];
}

// Grey image of the given size and stride, pixels from `value(x, y)`; padding bytes hold 0xEE
// so that writes outside the view show up.
template <typename F>
void make_gray(ScopedImage &img, int width, int height, int stride, F value) {
    ASSERT_EQ(image_create_with_stride(img.get(), PIXEL_GRAY8, 1, width, height, stride, 0, 0),
              IMAGE_OK);
    for (int y = 0; y < height; ++y) {
        uint8_t *row = image_row(img.get(), y);
        for (int x = 0; x < stride; ++x) row[x] = x < width ? value(x, y) : 0xEE;
    }
}

inline std::vector<uint8_t> view_pixels(const Image *image) {
    std::vector<uint8_t> out;
    for (int y = 0; y < image->height; ++y)
        out.insert(out.end(), image_row(image, y), image_row(image, y) + image->width);
    return out;
}
