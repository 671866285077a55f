#include "app/startup_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char *kDefaultNamePrefix = "OVDefaultName";
constexpr int kScaleLevels = 3;

int32_t scaled(int value, double ratio) {
    return int32_t(0.5 + value * ratio);
}
}  // namespace

bool detection_region_parse(const char *text, int width, int height, int setup_w, int setup_h,
                            AppRect *roi) {
    *roi = AppRect{0, 0, 0, 0};
    if (!text || !*text || setup_w <= 0 || setup_h <= 0) return false;
    int l = 0, r = 0, t = 0, b = 0;
    int parsed = std::sscanf(text, "%dx%dx%dx%d", &l, &r, &t, &b);
    double rx = double(width) / setup_w;
    double ry = double(height) / setup_h;
    roi->left = scaled(l, rx);
    roi->right = scaled(r, rx);
    roi->top = scaled(t, ry);
    roi->bottom = scaled(b, ry);
    return parsed == 4 && roi->left < roi->right && roi->top < roi->bottom && roi->left >= 0 &&
           roi->top >= 0 && roi->right < width && roi->bottom < height;
}

AppRect detection_region_flip(const AppRect &roi, uint8_t flip, int width, int height) {
    AppRect out = roi;
    if (flip & 0x0f) {
        out.top = height - 1 - roi.bottom;
        out.bottom = height - 1 - roi.top;
    }
    if (flip & 0xf0) {
        out.left = width - 1 - roi.right;
        out.right = width - 1 - roi.left;
    }
    return out;
}

void detector_scale_levels(const int *window_widths, int count, int min_rect, int *biggest_scale,
                           int *start_shift) {
    *biggest_scale = -1;
    *start_shift = 0;
    for (int s = 0; s < kScaleLevels; ++s) {
        for (int i = 0; i < count; ++i)
            if ((window_widths[i] << s) > *biggest_scale) *biggest_scale = window_widths[i] << s;
        if (min_rect > *biggest_scale) ++*start_shift;
    }
}

bool counter_name_is_default(const char *name) {
    return name && std::strncmp(name, kDefaultNamePrefix, std::strlen(kDefaultNamePrefix)) == 0;
}

bool counting_enabled_from(const char *value, int *full_value) {
    int v = value ? std::atoi(value) : 0;
    if (full_value) *full_value = v;
    return (v & 1) != 0;
}

int16_t gender_bias_from(const char *value) {
    long v = value ? std::strtol(value, nullptr, 10) : 0;
    return int16_t(uint16_t(uint32_t(v) & 0xffffu));
}
