// The image record shared by capture, detection, classification and the recorder, and the
// operations on it.
//
// An `Image` describes a pixel layout and points into pixel storage that it may or may not own.
// Coordinates are (x, y) = (column, row) in pixels; row 0 is the first row in memory (for
// origin IMAGE_ORIGIN_BOTTOM that is the bottom row of the picture). Rectangles are inclusive
// (left, right, top, bottom). Sizes are in pixels, strides in bytes.
//
// Ownership: storage allocated by image_create / image_create_with_stride belongs to the record
// and is released by image_free. A record set up with image_setup / image_setup_auto_stride owns
// nothing; the caller points `data` and `base` at its own pixels and must not call image_free
// unless it wants those pixels released with free().
//
// Threads: no operation locks. An image may be read by several threads at once (the detector's
// parallel scan) but must not be modified while it is read.
//
// Status codes: 0 success; 1 grey-only operation given another format (also a JPEG library
// error); 2 out of memory; 4 JPEG file cannot be opened; 5 invalid argument; 6 format not
// writable as JPEG; 10 invalid or unsupported image in a resampling call.
#pragma once

#include <cstdint>

// Pixel formats (the `format` field). PIXEL_GRAY8 is the only format detection and
// classification accept.
enum : int32_t {
    PIXEL_RGB24 = 0,        // R, G, B
    PIXEL_BGR24 = 1,        // B, G, R
    PIXEL_RGBA32 = 2,       // R, G, B, A (alpha last)
    PIXEL_BGRA32 = 3,       // B, G, R, A
    PIXEL_N8 = 4,           // n 8-bit channels
    PIXEL_N32 = 5,          // n 32-bit channels
    PIXEL_N32_ALT = 6,      // n 32-bit channels (second variant)
    PIXEL_N64 = 7,          // n 64-bit channels
    PIXEL_YCBCR = 8,        // Y, Cb, Cr; planar 2 / 3 hold it as 4:2:2 / 4:2:0 planes
    PIXEL_GRAY8 = 9,        // 8-bit grey
    PIXEL_PACKED16_A = 10,  // 16-bit packed RGB variants without resampling support
    PIXEL_PACKED16_B = 11,
    PIXEL_RGB565 = 12,  // little-endian word: bits 0-4 R, 5-10 G, 11-15 B
    PIXEL_BGR565 = 13,  // as RGB565 with R and B exchanged (bits 11-15 R)
    PIXEL_XRGB32 = 14,  // ignored byte, R, G, B
    PIXEL_XBGR32 = 15,  // ignored byte, B, G, R
    PIXEL_RGBX32 = 16,  // R, G, B, ignored byte
    PIXEL_BGRX32 = 17,  // B, G, R, ignored byte
    PIXEL_RGB444 = 18,  // byte 0: low nibble R, high nibble G; byte 1: low nibble B
    PIXEL_BGR444 = 19,  // as RGB444 with R and B exchanged
    PIXEL_N16 = 20,     // n 16-bit channels
    PIXEL_FORMAT_MAX = 20,
};

// Layouts (the `planar` field).
enum : int32_t {
    IMAGE_INTERLEAVED = 0,
    IMAGE_PLANAR = 1,  // one plane per channel, each stride x full_height bytes, in order
    IMAGE_PLANAR_422 = 2,
    IMAGE_PLANAR_420 = 3,
};

// Row order (the `origin` field). Validation also accepts IMAGE_ORIGIN_OTHER.
enum : int32_t {
    IMAGE_ORIGIN_TOP = 0,
    IMAGE_ORIGIN_BOTTOM = 1,
    IMAGE_ORIGIN_OTHER = 4,
};

enum : int {
    IMAGE_OK = 0,
    IMAGE_ERR_NOT_GRAY = 1,  // also: the JPEG library reported an error
    IMAGE_ERR_NO_MEMORY = 2,
    IMAGE_ERR_OPEN = 4,  // JPEG file cannot be opened
    IMAGE_ERR_INVALID = 5,
    IMAGE_ERR_NOT_WRITABLE = 6,  // format cannot be written as JPEG
    IMAGE_ERR_UNSUPPORTED = 10,
};

// Resampling filters; only bilinear is implemented.
enum : int { IMAGE_FILTER_BILINEAR = 2 };

inline constexpr int JPEG_DEFAULT_QUALITY = 80;

// Thirteen fields in this order; on the 32-bit target every field is 32 bits wide.
struct Image {
    int32_t format;             // PIXEL_*
    int32_t channels;           // colour channels
    int32_t bytes_per_channel;  // 0 for packed formats whose channels are not byte-aligned
    int32_t bytes_per_pixel;    // within a row (for planar images: within one plane)
    int32_t planar;             // IMAGE_INTERLEAVED, IMAGE_PLANAR, ...
    int32_t origin;             // IMAGE_ORIGIN_*
    int32_t width;              // current view, pixels
    int32_t height;
    int32_t full_width;  // allocation, pixels
    int32_t full_height;
    int32_t stride;  // bytes per row
    uint8_t *data;   // first pixel of the current view
    uint8_t *base;   // start of the pixel storage (owned when created by image_create*)
};
static_assert(sizeof(void *) != 4 || sizeof(Image) == 13 * 4, "Image must stay 13 words");

// Clears `image`, stores the layout (width/height also as full size), derives bytes per channel
// and pixel from the format and validates. Leaves data and base null. 5 when invalid or null.
int image_setup(Image *image, int format, int channels, int width, int height, int stride,
                int planar, int origin);

// As image_setup with stride = width x bytes_per_pixel (/ channels when planar), rounded up to a
// multiple of 4 so rows start word-aligned. No storage.
int image_setup_auto_stride(Image *image, int format, int channels, int width, int height,
                            int planar, int origin);

// image_setup_auto_stride plus zero-filled storage of stride x height bytes (x channels when
// planar). 2 when the allocation fails (data and base stay null).
int image_create(Image *image, int format, int channels, int width, int height, int planar,
                 int origin);

// image_setup with the given stride plus the same allocation as image_create.
int image_create_with_stride(Image *image, int format, int channels, int width, int height,
                             int stride, int planar, int origin);

// Frees base (or data when base is null) and nulls both; sizes stay. A null image is accepted.
int image_free(Image *image);

// Copies (grey source) or converts the source's view into `dst`, which must be a grey image
// large enough for it (full_width/full_height); dst takes the source's width and height.
// Colour pixels (RGB/BGR with or without alpha, packed RGB, interleaved or planar) become
// (R + G + B) / 3, YCbCr gives its Y. Strides of both are honoured. 5 when dst is not grey or
// too small, 10 for sources without three 8-bit colour channels.
int image_to_gray(Image *dst, const Image *src);

// Grey only: copies the inclusive rectangle of `src` to rows 0.. of `dst` (at dst's stride) and
// sets dst's width and height to the rectangle's. dst may be src (crop in place). 5 when the
// rectangle is not inside src's view or does not fit dst.
int image_crop(Image *dst, const Image *src, int left, int right, int top, int bottom);

// Grey only, in place: each output pixel is the truncated mean of its 2x2 input block; width and
// height are halved (an odd last column or row is dropped). Stride and storage are kept.
// Uses the processor's 128-bit SIMD unit (SSE2 / NEON) when built for one.
int image_halve(Image *image);
// The same result computed without SIMD (kept for platforms without it and for comparison).
int image_halve_scalar(Image *image);
// The vector unit image_halve uses: "sse2", "neon" or "scalar".
const char *image_halve_simd_name(void);

// Grey only, in place: swap columns x and W-1-x / rows y and H-1-y.
int image_mirror_horizontal(Image *image);
int image_mirror_vertical(Image *image);

// Grey only, in place: shrinks to (8W + 1) / 10 x (8H + 1) / 10 (a 5x5 block becomes 4x4).
int image_shrink_125(Image *image);

// Creates `dst` (image_create; any storage dst held before is not freed) with the source's
// format, channels, planar and origin at new_width x new_height and resamples the source into
// it. On failure dst's storage is freed and the status returned (10 unsupported source, 5 bad
// size/filter or a scale too large to invert). Only IMAGE_FILTER_BILINEAR is supported.
int image_resize(const Image *src, Image *dst, int new_width, int new_height, int filter);

// Resamples the source's view into the existing destination's view (its size and format),
// converting pixel formats on the way (packed RGB, RGB/BGR, alpha composited onto black, grey).
// Supported formats: 0-3, 9 and 12-19, interleaved only (10 otherwise).
int image_resample(const Image *src, Image *dst, int filter);

// Writes the view as a JPEG file, always top-down. Grey, YCbCr, RGB/BGR and packed RGB formats;
// interleaved or planar (IMAGE_PLANAR). 4 cannot open, 5 unknown layout/origin, 6 format not
// writable, 1 library error. Nothing is created when the image is refused.
int jpeg_write_file(const Image *image, const char *path, int quality = JPEG_DEFAULT_QUALITY);

// First byte of row y of the view (memory order).
inline uint8_t *image_row(const Image *image, int y) {
    return image->data + static_cast<intptr_t>(y) * image->stride;
}

// Owns an Image for a scope (tests, scratch images): frees it on destruction.
struct ScopedImage {
    Image image{};
    ScopedImage() = default;
    ScopedImage(const ScopedImage &) = delete;
    ScopedImage &operator=(const ScopedImage &) = delete;
    ~ScopedImage() { image_free(&image); }
    Image *operator->() { return &image; }
    Image *get() { return &image; }
};
