#include "classify/classifier.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int kStatusInvalid = 5;
constexpr int kMaxSide = CLASSIFIER_PATCH_SIZE;
constexpr double kPercentLow = 0.00001;
constexpr double kPercentHigh = 0.99999;
constexpr double kProbabilityFloor = 0.00001;

struct Resolution {
    int size;
    int base;
};
constexpr std::array<Resolution, 3> kResolutions = {{{CLASSIFIER_D50, CLASSIFIER_BASE_D50},
                                                     {CLASSIFIER_D40, CLASSIFIER_BASE_D40},
                                                     {CLASSIFIER_D32, CLASSIFIER_BASE_D32}}};

// Source index sampled by destination index k: k (src - 1) / (dst - 1) rounded half up.
inline int sample_index(int k, int src, int dst) {
    const unsigned num = 2u * unsigned(k) * unsigned(src - 1) + unsigned(dst - 1);
    return int(num / (2u * unsigned(dst - 1)));
}

// Codes of the interior at one-to-one sampling; the common case and the one worth keeping lean.
void code_map_identity(const uint8_t *s, int w, int h, uint8_t *d) {
    for (int y = 1; y < h - 1; ++y) {
        const uint8_t *up = s + (y - 1) * w;
        const uint8_t *mid = s + y * w;
        const uint8_t *down = s + (y + 1) * w;
        uint8_t *out = d + y * w;
        for (int x = 1; x < w - 1; ++x) {
            const uint8_t v = mid[x];
            out[x] = uint8_t((up[x - 1] > v) << 7 | (mid[x - 1] > v) << 6 | (down[x - 1] > v) << 5 |
                             (up[x] > v) << 4 | (down[x] > v) << 3 | (up[x + 1] > v) << 2 |
                             (mid[x + 1] > v) << 1 | (down[x + 1] > v));
        }
    }
}

void code_map_sampled(const uint8_t *s, int sw, int sh, uint8_t *d, int dw, int dh) {
    // Row offsets and columns of the source, one per destination index.
    int rows[kMaxSide * 8];
    int cols[kMaxSide * 8];
    const int max_dst = int(sizeof(rows) / sizeof(rows[0]));
    if (dw > max_dst || dh > max_dst) {
        // Larger maps than any model uses: sample on the fly (slow, but correct).
        for (int y = 1; y < dh - 1; ++y) {
            for (int x = 1; x < dw - 1; ++x) {
                auto at = [&](int xx, int yy) {
                    return s[sample_index(yy, sh, dh) * sw + sample_index(xx, sw, dw)];
                };
                const uint8_t v = at(x, y);
                d[y * dw + x] = uint8_t((at(x - 1, y - 1) > v) << 7 | (at(x - 1, y) > v) << 6 |
                                        (at(x - 1, y + 1) > v) << 5 | (at(x, y - 1) > v) << 4 |
                                        (at(x, y + 1) > v) << 3 | (at(x + 1, y - 1) > v) << 2 |
                                        (at(x + 1, y) > v) << 1 | (at(x + 1, y + 1) > v));
            }
        }
        return;
    }
    for (int k = 0; k < dw; ++k) cols[k] = sample_index(k, sw, dw);
    for (int k = 0; k < dh; ++k) rows[k] = sample_index(k, sh, dh) * sw;
    for (int y = 1; y < dh - 1; ++y) {
        const uint8_t *up = s + rows[y - 1];
        const uint8_t *mid = s + rows[y];
        const uint8_t *down = s + rows[y + 1];
        uint8_t *out = d + y * dw;
        for (int x = 1; x < dw - 1; ++x) {
            const int l = cols[x - 1], c = cols[x], r = cols[x + 1];
            const uint8_t v = mid[c];
            out[x] = uint8_t((up[l] > v) << 7 | (mid[l] > v) << 6 | (down[l] > v) << 5 |
                             (up[c] > v) << 4 | (down[c] > v) << 3 | (up[r] > v) << 2 |
                             (mid[r] > v) << 1 | (down[r] > v));
        }
    }
}

void clear_border(uint8_t *d, int w, int h) {
    std::fill(d, d + w, 0);
    std::fill(d + (h - 1) * w, d + h * w, 0);
    for (int y = 1; y < h - 1; ++y) {
        d[y * w] = 0;
        d[y * w + w - 1] = 0;
    }
}

}  // namespace

void lbp_code_map(const uint8_t *src, int src_width, int src_height, uint8_t *dst, int dst_width,
                  int dst_height) {
    if (dst_width <= 0 || dst_height <= 0) return;
    if (dst_width < 3 || dst_height < 3 || src_width < 1 || src_height < 1) {
        std::fill(dst, dst + dst_width * dst_height, 0);
        return;
    }
    clear_border(dst, dst_width, dst_height);
    if (src_width == dst_width && src_height == dst_height) {
        code_map_identity(src, src_width, src_height, dst);
    } else {
        code_map_sampled(src, src_width, src_height, dst, dst_width, dst_height);
    }
}

int classify_patch(const uint8_t *patch, int width, int height, const int16_t *gender_table,
                   int16_t gender_bias, int32_t *gender_sum, const int16_t *face_table,
                   int16_t face_bias, int32_t *face_sum, const int16_t *age_table, int16_t age_bias,
                   int32_t *age_sum) {
    if (!patch || !gender_table || !face_table || !age_table || !gender_sum || !face_sum ||
        !age_sum || width < 2 || height < 2) {
        return kStatusInvalid;
    }
    // One buffer for all three resolutions: the largest map is 50 x 50.
    uint8_t codes[kMaxSide * kMaxSide];
    int32_t gender = gender_bias;
    int32_t face = face_bias;
    int32_t age = age_bias;
    for (const Resolution &res : kResolutions) {
        const int d = res.size;
        const int inner = d - 2;
        lbp_code_map(patch, width, height, codes, d, d);
        const int16_t *g = gender_table + res.base;
        const int16_t *a = age_table + res.base;
        const bool with_face = d == CLASSIFIER_D32;
        for (int x = 1; x <= inner; ++x) {
            for (int y = 1; y <= inner; ++y) {
                const int block = ((x - 1) * inner + (y - 1)) * CLASSIFIER_CODES;
                const int code = codes[y * d + x];
                gender += g[block + code];
                age += a[block + code];
                if (with_face) face += face_table[block + code];
            }
        }
    }
    *gender_sum = gender;
    *face_sum = face;
    *age_sum = age;
    return 0;
}

int gender_to_percent(int32_t sum, double divisor) {
    const double s = 1.0 / (1.0 + std::exp(-double(sum) / divisor));
    if (s < kPercentLow) return -CLASSIFIER_GENDER_PERCENT_MAX;
    if (s > kPercentHigh) return CLASSIFIER_GENDER_PERCENT_MAX;
    if (!(s >= 0.0 && s <= 1.0)) return 0;  // NaN from a zero divisor with a zero sum
    return int(0.5 + 200.0 * s) - CLASSIFIER_GENDER_PERCENT_MAX;
}

int32_t face_threshold_from_probability(double probability, double scale) {
    if (probability > 0.0 && probability < 1.0) {
        const double t = -std::log(1.0 / probability - 1.0) * scale;
        // A denormal probability makes 1/p infinite; keep the conversion defined.
        if (std::isnan(t)) return 0;
        if (t <= double(CLASSIFIER_THRESHOLD_ALL)) return CLASSIFIER_THRESHOLD_ALL;
        if (t >= double(CLASSIFIER_THRESHOLD_NONE)) return CLASSIFIER_THRESHOLD_NONE;
        return int32_t(t);
    }
    return probability < kProbabilityFloor ? CLASSIFIER_THRESHOLD_ALL : CLASSIFIER_THRESHOLD_NONE;
}

int32_t classifier_age_from_sum(int32_t age_sum, double divisor) {
    if (!(divisor > 0.0) || !std::isfinite(divisor)) return 0;
    // Clamping before the conversion keeps it defined; truncation then matches trunc-then-clamp.
    const double years = std::clamp(double(age_sum) / divisor, 0.0, double(CLASSIFIER_AGE_MAX));
    return int32_t(years);
}

int16_t classifier_gender_bias_from_text(const char *text) {
    if (!text) return 0;
    const long value = std::strtol(text, nullptr, 10);
    return int16_t(uint16_t(static_cast<unsigned long>(value) & 0xFFFFu));
}

double classifier_gender_flag(int32_t mean_gender) {
    if (mean_gender > 0) return 1.0;
    if (mean_gender < 0) return -1.0;
    return 0.0;
}

double classifier_age_value(int32_t mean_age, int32_t mean_gender,
                            const ClassifierAgeOffsets &offsets) {
    double value = double(mean_age) + double(offsets.all);
    if (mean_gender > 0) value += double(offsets.male);
    if (mean_gender < 0) value += double(offsets.female);
    return std::clamp(value, 0.0, double(CLASSIFIER_AGE_MAX));
}
