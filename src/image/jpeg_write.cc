// JPEG files of an image's view, written with the IJG (6b) interface of libjpeg-turbo.
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "image/image.h"
#include "image/image_internal.h"

namespace {

constexpr int kMaxComponents = 3;
constexpr int kRawRowsPerCall = DCTSIZE;  // one iMCU row at 1x1 sampling
constexpr int kRawWidthAlign = 2 * DCTSIZE;

// How the image's bytes become JPEG input.
struct JpegPlan {
    J_COLOR_SPACE color_space;
    int components;
    bool convert_rows;             // packed or BGR pixels are rewritten as R, G, B first
    bool raw_planes;               // planar: each plane is one component
    int plane_of[kMaxComponents];  // component -> plane index (planar BGR is stored B, G, R)
};

bool is_rgb_writable(int format) {
    return format == PIXEL_RGB24 || format == PIXEL_BGR24 ||
           (format >= PIXEL_RGB565 && format <= PIXEL_BGR444);
}

// Fills `plan` or prints why the image cannot be written and returns the status.
int plan_jpeg(const Image *image, JpegPlan *plan) {
    if (image->format == PIXEL_GRAY8) {
        *plan = {JCS_GRAYSCALE, 1, false, false, {0, 0, 0}};
    } else if (image->format == PIXEL_YCBCR) {
        *plan = {JCS_YCbCr, 3, false, false, {0, 1, 2}};
    } else if (is_rgb_writable(image->format)) {
        *plan = {JCS_RGB, 3, image->format != PIXEL_RGB24, false, {0, 1, 2}};
    } else {
        fputs("Wrong image type\n", stdout);
        return IMAGE_ERR_NOT_WRITABLE;
    }
    if (image->planar == IMAGE_PLANAR) {
        // Planes hold whole bytes per channel; packed pixels have no planar form.
        if (image->format != PIXEL_GRAY8 && image->format != PIXEL_YCBCR &&
            image->format != PIXEL_RGB24 && image->format != PIXEL_BGR24) {
            fputs("Wrong image type\n", stdout);
            return IMAGE_ERR_NOT_WRITABLE;
        }
        plan->raw_planes = true;
        plan->convert_rows = false;
        if (image->format == PIXEL_BGR24) {
            plan->plane_of[0] = 2;
            plan->plane_of[2] = 0;
        }
    } else if (image->planar != IMAGE_INTERLEAVED) {
        printf("JPEG: Unknown dataOrder %d\n", image->planar);
        return IMAGE_ERR_INVALID;
    }
    if (image->origin != IMAGE_ORIGIN_TOP && image->origin != IMAGE_ORIGIN_BOTTOM) {
        fputs("JPEG: wrong image origin\n", stdout);
        return IMAGE_ERR_INVALID;
    }
    return IMAGE_OK;
}

// Memory row of the view holding picture row `row` (the file is always top-down).
inline const uint8_t *picture_row(const Image *image, int row) {
    return image_row(image, image->origin == IMAGE_ORIGIN_BOTTOM ? image->height - 1 - row : row);
}

void convert_row_to_rgb(const Image *image, const uint8_t *in, uint8_t *out) {
    for (int x = 0; x < image->width; ++x, in += image->bytes_per_pixel, out += 3) {
        Rgba c = pixel_decode(image->format, in);
        out[0] = static_cast<uint8_t>(c.r);
        out[1] = static_cast<uint8_t>(c.g);
        out[2] = static_cast<uint8_t>(c.b);
    }
}

struct ErrorTrap {
    jpeg_error_mgr manager;  // first, so the library's err pointer is the trap's address
    jmp_buf jump;
};

[[noreturn]] void on_jpeg_error(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    longjmp(reinterpret_cast<ErrorTrap *>(cinfo->err)->jump, 1);
}

void write_scanlines(jpeg_compress_struct *cinfo, const Image *image, const JpegPlan &plan,
                     uint8_t *row_buffer) {
    for (int row = 0; row < image->height; ++row) {
        const uint8_t *in = picture_row(image, row);
        if (plan.convert_rows) {
            convert_row_to_rgb(image, in, row_buffer);
            in = row_buffer;
        }
        // The library only reads the rows it is given.
        JSAMPROW line = const_cast<JSAMPROW>(in);
        jpeg_write_scanlines(cinfo, &line, 1);
    }
}

// Raw input must cover whole 8x8 blocks, so every row is copied into a padded buffer with
// its last pixel repeated, and rows past the bottom repeat the last row.
void write_raw_planes(jpeg_compress_struct *cinfo, const Image *image, const JpegPlan &plan,
                      uint8_t *scratch, int padded_width) {
    const ptrdiff_t plane_bytes = static_cast<ptrdiff_t>(image->stride) * image->full_height;
    JSAMPROW rows[kMaxComponents][kRawRowsPerCall];
    JSAMPARRAY planes[kMaxComponents];
    for (int c = 0; c < plan.components; ++c) {
        for (int r = 0; r < kRawRowsPerCall; ++r)
            rows[c][r] = scratch + (c * kRawRowsPerCall + r) * static_cast<ptrdiff_t>(padded_width);
        planes[c] = rows[c];
    }
    for (int top = 0; top < image->height; top += kRawRowsPerCall) {
        for (int c = 0; c < plan.components; ++c) {
            for (int r = 0; r < kRawRowsPerCall; ++r) {
                int row = top + r < image->height ? top + r : image->height - 1;
                const uint8_t *in = picture_row(image, row) + plan.plane_of[c] * plane_bytes;
                memcpy(rows[c][r], in, image->width);
                memset(rows[c][r] + image->width, in[image->width - 1],
                       padded_width - image->width);
            }
        }
        jpeg_write_raw_data(cinfo, planes, kRawRowsPerCall);
    }
}

void configure(jpeg_compress_struct *cinfo, const Image *image, const JpegPlan &plan, int quality) {
    cinfo->image_width = static_cast<JDIMENSION>(image->width);
    cinfo->image_height = static_cast<JDIMENSION>(image->height);
    cinfo->input_components = plan.components;
    cinfo->in_color_space = plan.color_space;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    if (plan.raw_planes) {
        // Raw data skips colour conversion, so the file keeps the planes' colour space, and
        // full-resolution planes mean no subsampling.
        jpeg_set_colorspace(cinfo, plan.color_space);
        for (int c = 0; c < cinfo->num_components; ++c) {
            cinfo->comp_info[c].h_samp_factor = 1;
            cinfo->comp_info[c].v_samp_factor = 1;
        }
        cinfo->raw_data_in = TRUE;
    }
}

// Everything the library may abort out of; holds no objects with destructors.
int compress(FILE *file, const Image *image, const JpegPlan &plan, int quality, uint8_t *scratch,
             int padded_width) {
    jpeg_compress_struct cinfo;
    ErrorTrap trap;
    cinfo.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = on_jpeg_error;
    if (setjmp(trap.jump)) {
        jpeg_destroy_compress(&cinfo);
        return IMAGE_ERR_NOT_GRAY;  // 1: the library reported an error
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    configure(&cinfo, image, plan, quality);
    jpeg_start_compress(&cinfo, TRUE);
    if (plan.raw_planes)
        write_raw_planes(&cinfo, image, plan, scratch, padded_width);
    else
        write_scanlines(&cinfo, image, plan, scratch);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return IMAGE_OK;
}

}  // namespace

int jpeg_write_file(const Image *image, const char *path, int quality) {
    if (!image || !path || !image->data || !image_valid(image)) return IMAGE_ERR_INVALID;
    JpegPlan plan{};
    int status = plan_jpeg(image, &plan);
    if (status != IMAGE_OK) return status;
    // An empty picture is refused before the file is touched rather than by the library.
    if (image->width <= 0 || image->height <= 0) return IMAGE_ERR_INVALID;

    const int padded_width = (image->width + kRawWidthAlign - 1) / kRawWidthAlign * kRawWidthAlign;
    const size_t scratch_bytes =
        plan.raw_planes ? static_cast<size_t>(plan.components) * kRawRowsPerCall * padded_width
                        : static_cast<size_t>(image->width) * 3;
    std::vector<uint8_t> scratch(scratch_bytes);

    FILE *file = fopen(path, "wb");
    if (!file) {
        printf("JPEG: cannot open %s\n", path);
        return IMAGE_ERR_OPEN;
    }
    status = compress(file, image, plan, quality, scratch.data(), padded_width);
    if (fclose(file) != 0 && status == IMAGE_OK) status = IMAGE_ERR_NOT_GRAY;
    if (status != IMAGE_OK) unlink(path);  // no truncated picture left behind
    return status;
}
