// Image record: layout derivation, validation, creation and release.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/image.h"
#include "image/image_internal.h"

namespace {

constexpr int kRowAlignment = 4;

// Bytes per channel and per pixel that a format implies; channels only matter for the formats
// whose channel count is free (and for 0-3, 8, 9, where validation then checks the table).
void derive_pixel_size(int format, int channels, int32_t *bytes_per_channel,
                       int32_t *bytes_per_pixel) {
    switch (format) {
        case PIXEL_N32:
        case PIXEL_N32_ALT:
            *bytes_per_channel = 4;
            *bytes_per_pixel = 4 * channels;
            return;
        case PIXEL_N64:
            *bytes_per_channel = 8;
            *bytes_per_pixel = 8 * channels;
            return;
        case PIXEL_N16:
            *bytes_per_channel = 2;
            *bytes_per_pixel = 2 * channels;
            return;
        case PIXEL_PACKED16_A:
        case PIXEL_PACKED16_B:
        case PIXEL_RGB565:
        case PIXEL_BGR565:
        case PIXEL_RGB444:
        case PIXEL_BGR444:
            *bytes_per_channel = 0;
            *bytes_per_pixel = 2;
            return;
        case PIXEL_XRGB32:
        case PIXEL_XBGR32:
        case PIXEL_RGBX32:
        case PIXEL_BGRX32:
            *bytes_per_channel = 0;
            *bytes_per_pixel = 4;
            return;
        default:  // the 8-bit formats
            *bytes_per_channel = 1;
            *bytes_per_pixel = channels;
            return;
    }
}

bool has_layout(const Image *image, int channels, int bytes_per_pixel, int bytes_per_channel) {
    return image->channels == channels && image->bytes_per_pixel == bytes_per_pixel &&
           image->bytes_per_channel == bytes_per_channel;
}

bool format_layout_valid(const Image *image) {
    switch (image->format) {
        case PIXEL_RGB24:
        case PIXEL_BGR24:
            return has_layout(image, 3, 3, 1);
        case PIXEL_RGBA32:
        case PIXEL_BGRA32:
            return has_layout(image, 4, 4, 1);
        case PIXEL_XRGB32:
        case PIXEL_XBGR32:
        case PIXEL_RGBX32:
        case PIXEL_BGRX32:
            return has_layout(image, 3, 4, 0);
        case PIXEL_PACKED16_A:
        case PIXEL_PACKED16_B:
        case PIXEL_RGB565:
        case PIXEL_BGR565:
        case PIXEL_RGB444:
        case PIXEL_BGR444:
            return has_layout(image, 3, 2, 0);
        case PIXEL_GRAY8:
            return has_layout(image, 1, 1, 1);
        case PIXEL_YCBCR:
            return image->channels == 3;
        default:
            // Free channel count; at least one, or the byte sizes become meaningless.
            return image->channels >= 1;
    }
}

int64_t row_bytes(const Image *image) {
    return static_cast<int64_t>(image->width) * (image->planar ? 1 : image->bytes_per_pixel);
}

int64_t storage_bytes(const Image *image) {
    int64_t bytes = static_cast<int64_t>(image->stride) * image->height;
    return image->planar ? bytes * image->channels : bytes;
}

int allocate_storage(Image *image) {
    int64_t bytes = storage_bytes(image);
    if (bytes < 0 || static_cast<uint64_t>(bytes) > SIZE_MAX) return IMAGE_ERR_NO_MEMORY;
    // calloc(0) may return null; one byte keeps "allocated" distinguishable from "failed".
    void *storage = calloc(bytes > 0 ? static_cast<size_t>(bytes) : 1, 1);
    if (!storage) return IMAGE_ERR_NO_MEMORY;
    image->base = static_cast<uint8_t *>(storage);
    image->data = image->base;
    return IMAGE_OK;
}

int64_t auto_stride(int format, int channels, int width, int planar) {
    int32_t bytes_per_channel = 0;
    int32_t bytes_per_pixel = 0;
    derive_pixel_size(format, channels, &bytes_per_channel, &bytes_per_pixel);
    int64_t bytes = static_cast<int64_t>(width) * bytes_per_pixel;
    if (planar && channels > 0) bytes /= channels;
    return (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
}

}  // namespace

bool image_valid(const Image *image) {
    if (image->format < 0 || image->format > PIXEL_FORMAT_MAX) return false;
    if (image->planar < IMAGE_INTERLEAVED || image->planar > IMAGE_PLANAR_420) return false;
    if (image->origin != IMAGE_ORIGIN_TOP && image->origin != IMAGE_ORIGIN_BOTTOM &&
        image->origin != IMAGE_ORIGIN_OTHER)
        return false;
    if (image->width < 0 || image->width > image->full_width) return false;
    if (image->height < 0 || image->height > image->full_height) return false;
    if (!format_layout_valid(image)) return false;
    return image->stride >= row_bytes(image);
}

int image_setup(Image *image, int format, int channels, int width, int height, int stride,
                int planar, int origin) {
    if (!image) return IMAGE_ERR_INVALID;
    *image = Image{};
    image->format = format;
    image->channels = channels;
    image->planar = planar;
    image->origin = origin;
    image->width = image->full_width = width;
    image->height = image->full_height = height;
    image->stride = stride;
    derive_pixel_size(format, channels, &image->bytes_per_channel, &image->bytes_per_pixel);
    return image_valid(image) ? IMAGE_OK : IMAGE_ERR_INVALID;
}

int image_setup_auto_stride(Image *image, int format, int channels, int width, int height,
                            int planar, int origin) {
    int64_t stride = auto_stride(format, channels, width, planar);
    if (stride > INT32_MAX) stride = -1;  // too wide for the record: fails validation
    return image_setup(image, format, channels, width, height, static_cast<int>(stride), planar,
                       origin);
}

int image_create(Image *image, int format, int channels, int width, int height, int planar,
                 int origin) {
    int status = image_setup_auto_stride(image, format, channels, width, height, planar, origin);
    if (status != IMAGE_OK) return status;
    return allocate_storage(image);
}

int image_create_with_stride(Image *image, int format, int channels, int width, int height,
                             int stride, int planar, int origin) {
    int status = image_setup(image, format, channels, width, height, stride, planar, origin);
    if (status != IMAGE_OK) return status;
    return allocate_storage(image);
}

int image_free(Image *image) {
    if (!image) return IMAGE_OK;
    free(image->base ? image->base : image->data);
    image->base = nullptr;
    image->data = nullptr;
    return IMAGE_OK;
}
