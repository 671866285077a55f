// Small fixtures shared by the detector tests: grey frames, a textured test pattern placed at a
// given size, and models written to a temporary file and loaded.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/scan.h"
#include "image/image.h"
#include "support/model_writer.h"

namespace detect_test {

inline constexpr int kPatternSide = 20;
inline constexpr uint8_t kBackground = 128;

// A grey image owned by the test.
struct Grey {
    ScopedImage img;
    Grey(int w, int h, uint8_t fill = kBackground) {
        EXPECT_EQ(
            image_create(img.get(), PIXEL_GRAY8, 1, w, h, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP),
            IMAGE_OK);
        for (int y = 0; y < h; ++y) std::fill_n(image_row(img.get(), y), w, fill);
    }
    Image *get() { return img.get(); }
    Image *operator->() { return img.get(); }
    uint8_t &at(int x, int y) { return image_row(img.get(), y)[x]; }
};

// Random texture, values 30 .. 225 so it differs from the flat background.
inline std::vector<uint8_t> make_pattern(unsigned seed = 7, int side = kPatternSide) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(30, 225);
    std::vector<uint8_t> p(static_cast<size_t>(side * side));
    for (uint8_t &v : p) v = static_cast<uint8_t>(value(rng));
    return p;
}

// Draws the pattern with every pixel repeated scale x scale times at (x, y).
inline void place_pattern(Image *frame, const std::vector<uint8_t> &pattern, int x, int y,
                          int scale, int side = kPatternSide) {
    for (int py = 0; py < side * scale; ++py)
        for (int px = 0; px < side * scale; ++px)
            image_row(frame, y + py)[x + px] =
                pattern[static_cast<size_t>((py / scale) * side + px / scale)];
}

inline std::string temp_model_path() {
    static int serial = 0;
    char name[128];
    std::snprintf(name, sizeof name, "/tmp/mevo_detect_test_%d_%d.dat", static_cast<int>(getpid()),
                  serial++);
    return name;
}

// Writes the description to a temporary file and loads it; the file is removed again.
inline int load_model(Detector *d, const mevo_test::RawModel &raw) {
    const std::string path = temp_model_path();
    if (mevo_test::model_write(path, raw) != 0) return -1;
    const int status = detector_load(d, path.c_str());
    std::remove(path.c_str());
    return status;
}
inline int load_model(Detector *d, const mevo_test::ModelDesc &desc) {
    return load_model(d, mevo_test::model_to_raw(desc));
}

// A detector freed at the end of the scope.
struct LoadedDetector {
    Detector d{};
    ~LoadedDetector() { detector_free(&d, 1); }
    Detector *get() { return &d; }
};

inline mevo_test::ModelDesc pattern_model(const std::vector<uint8_t> &pattern,
                                          int side = kPatternSide) {
    return mevo_test::cascade_for_pattern(pattern.data(), side, side, side);
}

using Box = std::tuple<int, int, int, int>;  // left, right, top, bottom

inline std::vector<Box> boxes_of(const Detection *d, int n) {
    std::vector<Box> out;
    for (int i = 0; i < n; ++i) out.emplace_back(d[i].left, d[i].right, d[i].top, d[i].bottom);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace detect_test

namespace detect_test {

// Where the big-frame tests put the pattern: position and octave of its size (side 20 << level),
// positions on multiples of 2^level so the in-place halvings give the pattern back exactly.
struct Placement {
    int x, y, level;
};
inline const std::vector<Placement> &hd_placements() {
    static const std::vector<Placement> p = {
        {101, 203, 0},  {1897, 1057, 0}, {600, 302, 1},
        {1200, 500, 2}, {1600, 104, 3},  {320, 640, 4},
    };
    return p;
}

// Box the octave scan reports for a placement: level coordinates p map to p * 2^n + 2^(n-1).
inline Box expected_box(const Placement &p) {
    const int unit = 1 << p.level;
    const int half = p.level > 0 ? unit / 2 : 0;
    return Box{p.x + half, p.x + (kPatternSide - 1) * unit + half, p.y + half,
               p.y + (kPatternSide - 1) * unit + half};
}

inline void draw_hd_frame(Image *frame, const std::vector<uint8_t> &pattern) {
    for (const Placement &p : hd_placements())
        place_pattern(frame, pattern, p.x, p.y, 1 << p.level);
}

}  // namespace detect_test
