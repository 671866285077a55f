// Grey conversion, crop and mirroring.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "image/image_internal.h"

bool image_refuse_non_gray(const Image *image) {
    if (image->format == PIXEL_GRAY8) return false;
    fputs("Not gray scale image\n", stderr);
    return true;
}

bool pixel_format_is_rgb_like(int format) {
    return (format >= PIXEL_RGB24 && format <= PIXEL_BGRA32) || format == PIXEL_GRAY8 ||
           (format >= PIXEL_RGB565 && format <= PIXEL_BGR444);
}

bool pixel_format_has_alpha(int format) {
    return format == PIXEL_RGBA32 || format == PIXEL_BGRA32;
}

namespace {

bool fits_gray_destination(const Image *dst, int width, int height) {
    return dst->format == PIXEL_GRAY8 && dst->data && width <= dst->full_width &&
           height <= dst->full_height && dst->stride >= width;
}

// Mean of the first three 8-bit channels, which may sit in one pixel or in three planes.
void average_three(uint8_t *out, const uint8_t *c0, const uint8_t *c1, const uint8_t *c2, int width,
                   int step) {
    for (int x = 0; x < width; ++x, c0 += step, c1 += step, c2 += step)
        out[x] = static_cast<uint8_t>((*c0 + *c1 + *c2) / 3);
}

void decode_row_to_gray(uint8_t *out, const uint8_t *in, int width, int format, int step) {
    for (int x = 0; x < width; ++x, in += step) {
        Rgba c = pixel_decode(format, in);
        out[x] = static_cast<uint8_t>((c.r + c.g + c.b) / 3);
    }
}

// Which source rows carry what: kCopy takes the first byte of each pixel (grey, Y of YCbCr,
// one-channel data), kThree averages three 8-bit channels, kDecode unpacks packed RGB.
enum class GrayMethod { kCopy, kThree, kDecode, kUnsupported };

GrayMethod gray_method(const Image *src) {
    bool eight_bit = src->bytes_per_channel == 1;
    if (src->format == PIXEL_GRAY8 || src->format == PIXEL_YCBCR) return GrayMethod::kCopy;
    if (src->format >= PIXEL_RGB565 && src->format <= PIXEL_BGR444)
        return src->planar ? GrayMethod::kUnsupported : GrayMethod::kDecode;
    if (eight_bit && (src->format <= PIXEL_N8)) {
        if (src->channels >= 3) return GrayMethod::kThree;
        if (src->channels == 1) return GrayMethod::kCopy;
    }
    return GrayMethod::kUnsupported;
}

}  // namespace

int image_to_gray(Image *dst, const Image *src) {
    if (!dst || !src || !src->data) return IMAGE_ERR_INVALID;
    GrayMethod method = gray_method(src);
    if (method == GrayMethod::kUnsupported) return IMAGE_ERR_UNSUPPORTED;
    if (src->format != PIXEL_YCBCR && src->planar > IMAGE_PLANAR) return IMAGE_ERR_UNSUPPORTED;
    if (!fits_gray_destination(dst, src->width, src->height)) return IMAGE_ERR_INVALID;

    const int width = src->width;
    const int height = src->height;
    const bool planar = src->planar != IMAGE_INTERLEAVED;
    const ptrdiff_t plane = static_cast<ptrdiff_t>(src->stride) * src->full_height;
    const int step = planar ? 1 : src->bytes_per_pixel;
    for (int y = 0; y < height; ++y) {
        const uint8_t *in = image_row(src, y);
        uint8_t *out = image_row(dst, y);
        switch (method) {
            case GrayMethod::kCopy:
                if (step == 1)
                    memmove(out, in, width);
                else
                    for (int x = 0; x < width; ++x) out[x] = in[x * step];
                break;
            case GrayMethod::kThree:
                if (planar)
                    average_three(out, in, in + plane, in + 2 * plane, width, 1);
                else
                    average_three(out, in, in + 1, in + 2, width, step);
                break;
            case GrayMethod::kDecode:
                decode_row_to_gray(out, in, width, src->format, step);
                break;
            case GrayMethod::kUnsupported:
                break;
        }
    }
    dst->width = width;
    dst->height = height;
    return IMAGE_OK;
}

int image_crop(Image *dst, const Image *src, int left, int right, int top, int bottom) {
    if (!dst || !src || !src->data) return IMAGE_ERR_INVALID;
    if (image_refuse_non_gray(src)) return IMAGE_ERR_NOT_GRAY;
    bool inside = left >= 0 && top >= 0 && left <= right && top <= bottom && right < src->width &&
                  bottom < src->height;
    if (!inside) return IMAGE_ERR_INVALID;
    const int width = right - left + 1;
    const int height = bottom - top + 1;
    if (!fits_gray_destination(dst, width, height)) return IMAGE_ERR_INVALID;
    // Rows move towards the start, so top-to-bottom order is safe when dst is src.
    for (int y = 0; y < height; ++y)
        memmove(image_row(dst, y), image_row(src, top + y) + left, width);
    dst->width = width;
    dst->height = height;
    return IMAGE_OK;
}

int image_mirror_horizontal(Image *image) {
    if (!image || !image->data) return IMAGE_ERR_INVALID;
    if (image_refuse_non_gray(image)) return IMAGE_ERR_NOT_GRAY;
    for (int y = 0; y < image->height; ++y) {
        uint8_t *row = image_row(image, y);
        std::reverse(row, row + image->width);
    }
    return IMAGE_OK;
}

int image_mirror_vertical(Image *image) {
    if (!image || !image->data) return IMAGE_ERR_INVALID;
    if (image_refuse_non_gray(image)) return IMAGE_ERR_NOT_GRAY;
    for (int y = 0; y < image->height / 2; ++y)
        std::swap_ranges(image_row(image, y), image_row(image, y) + image->width,
                         image_row(image, image->height - 1 - y));
    return IMAGE_OK;
}
