// Start-up decisions of the application, kept pure so they can be tested on their own.
// Rectangles are inclusive pixel bounds in the order left, right, top, bottom.
#pragma once

#include <cstdint>

struct AppRect {
    int32_t left, right, top, bottom;
};

inline constexpr uint8_t IMG_FLIP_NONE = 0;
inline constexpr uint8_t IMG_FLIP_BOTH = 255;  // low nibble: flip rows; high nibble: columns

// `Detector.Roi` text "LxRxTxB" in setup coordinates, scaled to the W x H camera image by
// W / setup_w and H / setup_h (each rounded as (int)(0.5 + v * ratio)). Returns true when all
// four numbers parsed and the region lies inside the image with left < right and top < bottom.
// `roi` receives the scaled numbers even when the region is not valid.
bool detection_region_parse(const char *text, int width, int height, int setup_w, int setup_h,
                            AppRect *roi);

// The region as seen in a sensor image flipped by `flip` (see IMG_FLIP_*).
AppRect detection_region_flip(const AppRect &roi, uint8_t flip, int width, int height);

// Detector scale levels: for shift s = 0, 1, 2 the widest detector window shifted left by s is
// compared with `min_rect`; every level narrower than the smallest wanted face adds one to
// *start_shift. *biggest_scale ends as the widest window << 2 (or -1 with no detectors).
void detector_scale_levels(const int *window_widths, int count, int min_rect, int *biggest_scale,
                           int *start_shift);

// True when `name` begins with "OVDefaultName" (the counter still has its template name).
bool counter_name_is_default(const char *name);

// Counting is enabled by bit 0 of Counter.Enabled's integer value.
bool counting_enabled_from(const char *value, int *full_value);

// Low 16 bits of Classifier.GenderBias as a signed 16-bit value.
int16_t gender_bias_from(const char *value);
