// Bilinear resampling in 14-bit fixed point, with pixel format conversion on the way.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/image.h"
#include "image/image_internal.h"

namespace {

constexpr int kFracBits = 14;
constexpr int64_t kOne = int64_t{1} << kFracBits;
constexpr int64_t kHalf = kOne / 2;
constexpr int kMinBorderWeight = 820;  // 0.05: below this a border pixel is left unscaled
constexpr int64_t kMinDeterminant = 127;
constexpr int kMaxChannels = 4;

// Where one destination column (or row) samples the source.
struct Tap {
    int index;      // first neighbour
    int frac;       // weight of the second neighbour, 14-bit
    bool inside;    // sample position within -0.5 .. size - 0.5
    bool has_next;  // second neighbour lies inside the source
};

std::vector<Tap> make_taps(int dst_size, int src_size, int64_t scale) {
    std::vector<Tap> taps(dst_size);
    const int64_t limit = (static_cast<int64_t>(src_size) << kFracBits) - kHalf;
    for (int i = 0; i < dst_size; ++i) {
        const int64_t pos = i * scale;  // no half-pixel offset: destination 0 samples source 0
        Tap &t = taps[i];
        t.inside = pos >= -kHalf && pos < limit;
        t.index = static_cast<int>(pos >> kFracBits);
        t.frac = static_cast<int>(pos & (kOne - 1));
        t.has_next = t.index + 1 < src_size;
    }
    return taps;
}

bool resample_supported(const Image *image) {
    return image_valid(image) && image->data && image->planar == IMAGE_INTERLEAVED &&
           pixel_format_is_rgb_like(image->format);
}

inline int to_byte(int64_t sum) {
    return static_cast<int>(std::clamp<int64_t>((sum + kHalf) >> kFracBits, 0, 255));
}

// Accumulates the four weighted neighbours of (x tap, y tap) into acc[0..channels).
template <bool kGray>
void accumulate(const Image *src, const Tap &tx, const Tap &ty, int channels,
                int64_t acc[kMaxChannels]) {
    const int64_t fx = tx.frac, fy = ty.frac;
    const int64_t weights[4] = {((kOne - fx) * (kOne - fy)) >> kFracBits,
                                (fx * (kOne - fy)) >> kFracBits, ((kOne - fx) * fy) >> kFracBits,
                                (fx * fy) >> kFracBits};
    int64_t total = 0;
    bool skipped = false;
    for (int n = 0; n < 4; ++n) {
        const bool right = n & 1, below = n & 2;
        if ((right && !tx.has_next) || (below && !ty.has_next)) {
            skipped = true;
            continue;
        }
        const uint8_t *p =
            image_row(src, ty.index + below) + (tx.index + right) * src->bytes_per_pixel;
        total += weights[n];
        if constexpr (kGray) {
            acc[0] += weights[n] * p[0];
        } else {
            Rgba c = pixel_decode(src->format, p);
            const int values[kMaxChannels] = {c.r, c.g, c.b, c.a};
            for (int ch = 0; ch < channels; ++ch) acc[ch] += weights[n] * values[ch];
        }
    }
    // At the border the missing neighbours' share is given to the ones present.
    if (skipped && total >= kMinBorderWeight)
        for (int ch = 0; ch < channels; ++ch) acc[ch] = acc[ch] * kOne / total;
}

// The common grey case with all four neighbours present, in 32-bit arithmetic: weights are at
// most 2^14 in total, so the sum stays below 2^22.
inline uint8_t gray_interior(const Image *src, const Tap &tx, const Tap &ty) {
    const int32_t fx = tx.frac, fy = ty.frac, one = static_cast<int32_t>(kOne);
    const uint8_t *top = image_row(src, ty.index) + tx.index;
    const uint8_t *bottom = top + src->stride;
    const int32_t sum = (((one - fx) * (one - fy)) >> kFracBits) * top[0] +
                        ((fx * (one - fy)) >> kFracBits) * top[1] +
                        (((one - fx) * fy) >> kFracBits) * bottom[0] +
                        ((fx * fy) >> kFracBits) * bottom[1];
    return static_cast<uint8_t>(std::min((sum + static_cast<int32_t>(kHalf)) >> kFracBits, 255));
}

template <bool kGray>
void resample_rows(const Image *src, Image *dst, const std::vector<Tap> &cols,
                   const std::vector<Tap> &rows) {
    const bool src_alpha = pixel_format_has_alpha(src->format);
    const bool dst_alpha = pixel_format_has_alpha(dst->format);
    const bool composite = src_alpha && !dst_alpha;
    const int channels = kGray ? 1 : (src_alpha ? 4 : 3);
    const bool flip = (src->origin == IMAGE_ORIGIN_BOTTOM) != (dst->origin == IMAGE_ORIGIN_BOTTOM);
    const int bpp = dst->bytes_per_pixel;

    for (int y = 0; y < dst->height; ++y) {
        uint8_t *out = image_row(dst, flip ? dst->height - 1 - y : y);
        // Opaque destinations under a translucent source start black.
        if (composite) memset(out, 0, static_cast<size_t>(dst->width) * bpp);
        for (int x = 0; x < dst->width; ++x, out += bpp) {
            if (!rows[y].inside || !cols[x].inside) {
                if (!src_alpha) memset(out, 0, bpp);
                continue;
            }
            if constexpr (kGray) {
                if (cols[x].has_next && rows[y].has_next) {
                    *out = gray_interior(src, cols[x], rows[y]);
                    continue;
                }
            }
            int64_t acc[kMaxChannels] = {0, 0, 0, 0};
            accumulate<kGray>(src, cols[x], rows[y], channels, acc);
            if constexpr (kGray) {
                *out = static_cast<uint8_t>(to_byte(acc[0]));
                continue;
            }
            Rgba c{to_byte(acc[0]), to_byte(acc[1]), to_byte(acc[2]), 255};
            if (src_alpha) c.a = to_byte(acc[3]);
            if (composite) {
                // Onto the cleared (black) destination: (0 x (255 - a) + a x value) / 255.
                c.r = c.a * c.r / 255;
                c.g = c.a * c.g / 255;
                c.b = c.a * c.b / 255;
                c.a = 255;
            }
            pixel_encode(dst->format, c, out);
        }
    }
}

}  // namespace

int image_resample(const Image *src, Image *dst, int filter) {
    if (!src || !dst || filter != IMAGE_FILTER_BILINEAR) return IMAGE_ERR_INVALID;
    if (!resample_supported(src) || !resample_supported(dst)) return IMAGE_ERR_UNSUPPORTED;
    if (dst->width <= 0 || dst->height <= 0) return IMAGE_ERR_INVALID;
    if (src->data == dst->data) return IMAGE_ERR_INVALID;  // sampling would read its own output

    const int64_t sx = (static_cast<int64_t>(src->width) << kFracBits) / dst->width;
    const int64_t sy = (static_cast<int64_t>(src->height) << kFracBits) / dst->height;
    const int64_t determinant = ((sx >> 3) * (sy >> 3)) >> 8;
    if (determinant >= -kMinDeterminant && determinant <= kMinDeterminant) {
        fputs("ERROR: Rotation matrix must not be singular\n", stderr);
        return IMAGE_ERR_INVALID;
    }
    const std::vector<Tap> cols = make_taps(dst->width, src->width, sx);
    const std::vector<Tap> rows = make_taps(dst->height, src->height, sy);
    if (src->format == PIXEL_GRAY8 && dst->format == PIXEL_GRAY8)
        resample_rows<true>(src, dst, cols, rows);
    else
        resample_rows<false>(src, dst, cols, rows);
    return IMAGE_OK;
}

int image_resize(const Image *src, Image *dst, int new_width, int new_height, int filter) {
    if (!src || !dst || src == dst) return IMAGE_ERR_INVALID;
    if (!resample_supported(src)) return IMAGE_ERR_UNSUPPORTED;
    if (new_width <= 0 || new_height <= 0 || filter != IMAGE_FILTER_BILINEAR)
        return IMAGE_ERR_INVALID;
    int status = image_create(dst, src->format, src->channels, new_width, new_height, src->planar,
                              src->origin);
    if (status == IMAGE_OK) status = image_resample(src, dst, filter);
    if (status != IMAGE_OK) image_free(dst);
    return status;
}
