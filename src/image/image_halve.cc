// 2x2 box halving of a grey image in place. Output pixel (x, y) only reads input rows 2y, 2y+1
// and columns 2x, 2x+1, which lie at or after it in memory, so a left-to-right, top-to-bottom
// sweep never reads a pixel it has already overwritten.
#include <cstdint>

#include "image/image.h"
#include "image/image_internal.h"

#if defined(MEVO_NO_SIMD)
// Scalar build for side-by-side measurements.
#elif defined(__SSE2__)
#include <emmintrin.h>
#define MEVO_HALVE_SSE2 1
#elif defined(__ARM_NEON) || defined(__ARM_NEON__)
#include <arm_neon.h>
#define MEVO_HALVE_NEON 1
#endif
#if defined(MEVO_HALVE_SSE2) || defined(MEVO_HALVE_NEON)
#define MEVO_HALVE_SIMD 1
#endif

namespace {

constexpr int kSimdOutputPixels = 16;

inline uint8_t mean4(const uint8_t *top, const uint8_t *bottom, int x) {
    return static_cast<uint8_t>((top[2 * x] + top[2 * x + 1] + bottom[2 * x] + bottom[2 * x + 1]) >>
                                2);
}

void halve_row_scalar(uint8_t *out, const uint8_t *top, const uint8_t *bottom, int from, int to) {
    for (int x = from; x < to; ++x) out[x] = mean4(top, bottom, x);
}

#if defined(MEVO_HALVE_SSE2)
// Sums of horizontal byte pairs of 16 input bytes, as eight 16-bit lanes.
inline __m128i pair_sums(__m128i v) {
    const __m128i low_bytes = _mm_set1_epi16(0x00ff);
    return _mm_add_epi16(_mm_and_si128(v, low_bytes), _mm_srli_epi16(v, 8));
}

// 16 output pixels from 32 bytes of each input row; both loads happen before the store, so
// the in-place overlap on row 0 is harmless.
inline void halve_step(uint8_t *out, const uint8_t *top, const uint8_t *bottom) {
    __m128i t0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top));
    __m128i t1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top + 16));
    __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bottom));
    __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bottom + 16));
    __m128i s0 = _mm_srli_epi16(_mm_add_epi16(pair_sums(t0), pair_sums(b0)), 2);
    __m128i s1 = _mm_srli_epi16(_mm_add_epi16(pair_sums(t1), pair_sums(b1)), 2);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(s0, s1));
}
#elif defined(MEVO_HALVE_NEON)
inline void halve_step(uint8_t *out, const uint8_t *top, const uint8_t *bottom) {
    uint16x8_t s0 = vpadalq_u8(vpaddlq_u8(vld1q_u8(top)), vld1q_u8(bottom));
    uint16x8_t s1 = vpadalq_u8(vpaddlq_u8(vld1q_u8(top + 16)), vld1q_u8(bottom + 16));
    vst1q_u8(out, vcombine_u8(vshrn_n_u16(s0, 2), vshrn_n_u16(s1, 2)));
}
#endif

enum class HalvePath { kScalar, kSimd };

int halve(Image *image, HalvePath path) {
    if (!image || !image->data) return IMAGE_ERR_INVALID;
    if (image_refuse_non_gray(image)) return IMAGE_ERR_NOT_GRAY;
    const int out_width = image->width / 2;
    const int out_height = image->height / 2;
    for (int y = 0; y < out_height; ++y) {
        const uint8_t *top = image_row(image, 2 * y);
        const uint8_t *bottom = image_row(image, 2 * y + 1);
        uint8_t *out = image_row(image, y);
        int x = 0;
#if defined(MEVO_HALVE_SIMD)
        if (path == HalvePath::kSimd)
            for (; x + kSimdOutputPixels <= out_width; x += kSimdOutputPixels)
                halve_step(out + x, top + 2 * x, bottom + 2 * x);
#else
        (void)path;
#endif
        halve_row_scalar(out, top, bottom, x, out_width);
    }
    image->width = out_width;
    image->height = out_height;
    return IMAGE_OK;
}

}  // namespace

int image_halve(Image *image) {
    return halve(image, HalvePath::kSimd);
}

int image_halve_scalar(Image *image) {
    return halve(image, HalvePath::kScalar);
}

const char *image_halve_simd_name(void) {
#if defined(MEVO_HALVE_SSE2)
    return "sse2";
#elif defined(MEVO_HALVE_NEON)
    return "neon";
#else
    return "scalar";
#endif
}
