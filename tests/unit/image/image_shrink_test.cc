#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "image/image.h"
#include "image_test_util.h"

namespace {

// The four taps of one five-sample run: output positions 0, 1.25, 2.5, 3.75.
int tap(const int c[5], int which) {
    switch (which) {
        case 0:
            return c[0];
        case 1:
            return (3 * c[1] + c[2]) >> 2;
        case 2:
            return (c[2] + c[3]) >> 1;
        default:
            return (c[3] + 3 * c[4]) >> 2;
    }
}

// Independent, out-of-place statement of the 5-to-4 shrink for images of at least 25 x 25,
// where every position the in-place version samples still holds its input pixel.
std::vector<uint8_t> reference_shrink(const std::vector<uint8_t> &in, int w, int h) {
    const int nw = (8 * w + 1) / 10, nh = (8 * h + 1) / 10;
    const int block_rows = h / 5, block_cols = w / 5;
    const bool corner_resampled = h % 5 == 0;
    auto at = [&](int x, int y) { return static_cast<int>(in[y * w + x]); };
    auto eighths = [&](int j, int i) {
        int sx = 10 * j, sy = 10 * i;
        int x0 = std::min(sx >> 3, w - 1), y0 = std::min(sy >> 3, h - 1);
        int fx = sx & 7, fy = sy & 7;
        int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
        int top = (8 - fx) * at(x0, y0) + fx * at(x1, y0);
        int bottom = (8 - fx) * at(x0, y1) + fx * at(x1, y1);
        return ((8 - fy) * top + fy * bottom) >> 6;
    };
    std::vector<uint8_t> out(static_cast<size_t>(nw) * nh);
    for (int i = 0; i < nh; ++i) {
        for (int j = 0; j < nw; ++j) {
            int value;
            bool in_corner = corner_resampled && i >= 4 * block_rows - 4 && j >= 4 * block_cols - 4;
            if (i >= 4 * block_rows || in_corner) {
                value = eighths(j, i);
            } else {
                int k = i / 4, m = j / 4;
                int reduced[5];
                for (int r = 0; r < 5; ++r) {
                    int c[5] = {0, 0, 0, 0, 0};
                    for (int q = 0; q < 5 && 5 * m + q < w; ++q) c[q] = at(5 * m + q, 5 * k + r);
                    reduced[r] = tap(c, j % 4);
                }
                value = tap(reduced, i % 4);
            }
            out[i * nw + j] = static_cast<uint8_t>(value);
        }
    }
    return out;
}

TEST(ImageShrink125, MatchesTheBlockAndEighthPixelRulesOnLargerImages) {
    std::mt19937 rng(777);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int w : {25, 26, 27, 28, 29, 30, 33, 64}) {
        for (int h : {25, 27, 29, 30, 41}) {
            std::vector<uint8_t> in(static_cast<size_t>(w) * h);
            for (uint8_t &p : in) p = static_cast<uint8_t>(byte(rng));
            ScopedImage img;
            make_gray(img, w, h, w + 5, [&](int x, int y) { return in[y * w + x]; });
            ASSERT_EQ(image_shrink_125(img.get()), IMAGE_OK);
            const std::string where = std::to_string(w) + "x" + std::to_string(h);
            ASSERT_EQ(img->width, (8 * w + 1) / 10) << where;
            ASSERT_EQ(img->height, (8 * h + 1) / 10) << where;
            EXPECT_EQ(img->stride, w + 5);
            EXPECT_EQ(view_pixels(img.get()), reference_shrink(in, w, h)) << where;
        }
    }
}

TEST(ImageShrink125, TenByTenBecomesEightByEightWithBlockTaps) {
    ScopedImage img;
    const int top_row[5] = {0, 40, 80, 120, 160};
    make_gray(img, 10, 10, 12, [&](int x, int y) {
        return static_cast<uint8_t>(y == 0 && x < 5 ? top_row[x] : 7 * x + 3 * y);
    });
    ASSERT_EQ(image_shrink_125(img.get()), IMAGE_OK);
    EXPECT_EQ(img->width, 8);
    EXPECT_EQ(img->height, 8);
    const int expected[4] = {0, 50, 100, 150};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(pixel(img.get(), x, 0), expected[x]) << x;
    for (int y = 0; y < 10; ++y) EXPECT_EQ(pixel(img.get(), 10, y), 0xEE) << "padding " << y;
}

// Constant images stay constant whatever path a pixel takes, so every size shows the output
// size and that nothing outside the view (or the allocation) is touched.
TEST(ImageShrink125, KeepsConstantImagesConstantAtEverySmallSize) {
    for (int w = 1; w <= 31; ++w) {
        for (int h = 1; h <= 31; ++h) {
            ScopedImage img;
            make_gray(img, w, h, w + 1, [](int, int) { return 77; });
            ASSERT_EQ(image_shrink_125(img.get()), IMAGE_OK);
            const int nw = (8 * w + 1) / 10, nh = (8 * h + 1) / 10;
            ASSERT_EQ(img->width, nw);
            ASSERT_EQ(img->height, nh);
            for (int y = 0; y < nh; ++y)
                for (int x = 0; x < nw; ++x)
                    ASSERT_EQ(pixel(img.get(), x, y), 77)
                        << w << "x" << h << " at " << x << "," << y;
            for (int y = 0; y < h; ++y) ASSERT_EQ(pixel(img.get(), w, y), 0xEE);
        }
    }
}

}  // namespace
