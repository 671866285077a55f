#include "detect/lbp.h"

#include <cstdint>
#include <cstdio>

#if defined(MEVO_NO_SIMD)
// Scalar build for side-by-side measurements.
#elif defined(__SSE2__)
#include <emmintrin.h>
#define MEVO_LBP_SSE2 1
#elif defined(__ARM_NEON) || defined(__ARM_NEON__)
#include <arm_neon.h>
#define MEVO_LBP_NEON 1
#endif

namespace {

constexpr int kVector = 16;  // pixels per 128-bit step

int check_images(Image *dst, const Image *src) {
    if (dst == nullptr || src == nullptr) return IMAGE_ERR_INVALID;
    if (src->format != PIXEL_GRAY8 || dst->format != PIXEL_GRAY8) {
        std::fputs("Not gray scale image\n", stderr);
        return IMAGE_ERR_NOT_GRAY;
    }
    if (src->width < 0 || src->height < 0 || dst->full_width < src->width ||
        dst->full_height < src->height || dst->stride < src->width)
        return IMAGE_ERR_INVALID;
    return IMAGE_OK;
}

inline uint8_t code_at(const uint8_t *up, const uint8_t *mid, const uint8_t *down, int x) {
    const uint8_t c = mid[x];
    return static_cast<uint8_t>((up[x - 1] > c) << 7 | (up[x] > c) << 6 | (up[x + 1] > c) << 5 |
                                (mid[x - 1] > c) << 4 | (mid[x + 1] > c) << 3 |
                                (down[x - 1] > c) << 2 | (down[x] > c) << 1 | (down[x + 1] > c));
}

void scalar_span(uint8_t *out, const uint8_t *up, const uint8_t *mid, const uint8_t *down,
                 int x_begin, int x_end) {
    for (int x = x_begin; x < x_end; ++x) out[x] = code_at(up, mid, down, x);
}

#if MEVO_LBP_SSE2
// SSE2 has only signed byte compares: flipping the top bit turns unsigned order into signed.
inline __m128i bit_if_greater(const uint8_t *p, __m128i centre_s, __m128i bias, uint8_t bit) {
    const __m128i n = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), bias);
    return _mm_and_si128(_mm_cmpgt_epi8(n, centre_s), _mm_set1_epi8(static_cast<char>(bit)));
}

// Returns the first column not yet computed.
int vector_span(uint8_t *out, const uint8_t *up, const uint8_t *mid, const uint8_t *down,
                int x_begin, int x_end) {
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    int x = x_begin;
    for (; x + kVector <= x_end; x += kVector) {
        const __m128i c =
            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(mid + x)), bias);
        __m128i code = bit_if_greater(up + x - 1, c, bias, 128);
        code = _mm_or_si128(code, bit_if_greater(up + x, c, bias, 64));
        code = _mm_or_si128(code, bit_if_greater(up + x + 1, c, bias, 32));
        code = _mm_or_si128(code, bit_if_greater(mid + x - 1, c, bias, 16));
        code = _mm_or_si128(code, bit_if_greater(mid + x + 1, c, bias, 8));
        code = _mm_or_si128(code, bit_if_greater(down + x - 1, c, bias, 4));
        code = _mm_or_si128(code, bit_if_greater(down + x, c, bias, 2));
        code = _mm_or_si128(code, bit_if_greater(down + x + 1, c, bias, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), code);
    }
    return x;
}
#elif MEVO_LBP_NEON
inline uint8x16_t bit_if_greater(const uint8_t *p, uint8x16_t c, uint8_t bit) {
    return vandq_u8(vcgtq_u8(vld1q_u8(p), c), vdupq_n_u8(bit));
}

int vector_span(uint8_t *out, const uint8_t *up, const uint8_t *mid, const uint8_t *down,
                int x_begin, int x_end) {
    int x = x_begin;
    for (; x + kVector <= x_end; x += kVector) {
        const uint8x16_t c = vld1q_u8(mid + x);
        uint8x16_t code = bit_if_greater(up + x - 1, c, 128);
        code = vorrq_u8(code, bit_if_greater(up + x, c, 64));
        code = vorrq_u8(code, bit_if_greater(up + x + 1, c, 32));
        code = vorrq_u8(code, bit_if_greater(mid + x - 1, c, 16));
        code = vorrq_u8(code, bit_if_greater(mid + x + 1, c, 8));
        code = vorrq_u8(code, bit_if_greater(down + x - 1, c, 4));
        code = vorrq_u8(code, bit_if_greater(down + x, c, 2));
        code = vorrq_u8(code, bit_if_greater(down + x + 1, c, 1));
        vst1q_u8(out + x, code);
    }
    return x;
}
#else
int vector_span(uint8_t *, const uint8_t *, const uint8_t *, const uint8_t *, int x_begin, int) {
    return x_begin;
}
#endif

template <bool kUseVector>
int transform(Image *dst, const Image *src) {
    const int status = check_images(dst, src);
    if (status != IMAGE_OK) return status;
    dst->width = src->width;
    dst->height = src->height;
    const int w = src->width;
    const int h = src->height;
    // Interior columns 1 .. w - 2; the vector loads reach x - 1 .. x + 16, all inside the row.
    for (int y = 1; y + 1 < h; ++y) {
        const uint8_t *up = image_row(src, y - 1);
        const uint8_t *mid = image_row(src, y);
        const uint8_t *down = image_row(src, y + 1);
        uint8_t *out = image_row(dst, y);
        int x = 1;
        if constexpr (kUseVector) x = vector_span(out, up, mid, down, 1, w - 1);
        scalar_span(out, up, mid, down, x, w - 1);
    }
    return IMAGE_OK;
}

}  // namespace

int lbp_transform(Image *dst, const Image *src) {
    return transform<true>(dst, src);
}

int lbp_transform_scalar(Image *dst, const Image *src) {
    return transform<false>(dst, src);
}

const char *lbp_transform_simd_name(void) {
#if MEVO_LBP_SSE2
    return "sse2";
#elif MEVO_LBP_NEON
    return "neon";
#else
    return "scalar";
#endif
}
