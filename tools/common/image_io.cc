#include "image_io.h"

#include <jpeglib.h>
#include <png.h>

#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
    void operator()(FILE *f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

int fail(std::string *error, const std::string &why) {
    *error = why;
    return -1;
}

int create_grey(Image *out, long w, long h, std::string *error) {
    if (w <= 0 || h <= 0 || w > IMAGEIO_MAX_SIDE || h > IMAGEIO_MAX_SIDE)
        return fail(error, "unsupported image size " + std::to_string(w) + "x" + std::to_string(h));
    if (image_create(out, PIXEL_GRAY8, 1, static_cast<int>(w), static_cast<int>(h),
                     IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP) != IMAGE_OK)
        return fail(error, "out of memory");
    return 0;
}

// libjpeg reports errors by calling error_exit, which must not return: jump back to the reader.
struct JpegErrorJump {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jpeg_error_jump(j_common_ptr cinfo) {
    JpegErrorJump *e = reinterpret_cast<JpegErrorJump *>(cinfo->err);
    cinfo->err->format_message(cinfo, e->message);
    longjmp(e->jump, 1);
}

// Only plain C objects live between setjmp and longjmp, so the jump skips no destructor.
int read_jpeg(FILE *f, Image *out, char *message) {
    jpeg_decompress_struct cinfo;
    JpegErrorJump err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_error_jump;
    err.message[0] = '\0';
    if (setjmp(err.jump) != 0) {
        jpeg_destroy_decompress(&cinfo);
        image_free(out);
        std::snprintf(message, JMSG_LENGTH_MAX, "JPEG: %.190s", err.message);
        return -1;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&cinfo);
    const long w = static_cast<long>(cinfo.output_width);
    const long h = static_cast<long>(cinfo.output_height);
    if (w <= 0 || h <= 0 || w > IMAGEIO_MAX_SIDE || h > IMAGEIO_MAX_SIDE ||
        image_create(out, PIXEL_GRAY8, 1, static_cast<int>(w), static_cast<int>(h),
                     IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP) != IMAGE_OK) {
        jpeg_destroy_decompress(&cinfo);
        std::snprintf(message, JMSG_LENGTH_MAX, "JPEG: unsupported image size %ldx%ld", w, h);
        return -1;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = image_row(out, static_cast<int>(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return 0;
}

int read_png(const std::string &path, Image *out, std::string *error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str()))
        return fail(error, std::string("PNG: ") + png.message);
    png.format = PNG_FORMAT_GRAY;
    if (create_grey(out, static_cast<long>(png.width), static_cast<long>(png.height), error) != 0) {
        png_image_free(&png);
        return -1;
    }
    if (!png_image_finish_read(&png, nullptr, out->data, out->stride, nullptr)) {
        image_free(out);
        const std::string why = std::string("PNG: ") + png.message;
        png_image_free(&png);
        return fail(error, why);
    }
    png_image_free(&png);
    return 0;
}

// Next header number of a PGM file, skipping white space and '#' comments; -1 when none.
long pgm_number(FILE *f) {
    int c = std::fgetc(f);
    while (c != EOF && (std::isspace(c) || c == '#')) {
        if (c == '#') {
            while (c != EOF && c != '\n') c = std::fgetc(f);
        }
        c = std::fgetc(f);
    }
    if (c == EOF || !std::isdigit(c)) return -1;
    long v = 0;
    while (c != EOF && std::isdigit(c)) {
        if (v > 100000000) return -1;
        v = v * 10 + (c - '0');
        c = std::fgetc(f);
    }
    // Exactly one white-space byte ends the header's last number; it has been consumed.
    return v;
}

int read_pgm(FILE *f, Image *out, std::string *error) {
    char magic[2];
    if (std::fread(magic, 1, 2, f) != 2) return fail(error, "PGM: cannot read the header");
    const bool binary = magic[1] == '5';
    const long w = pgm_number(f);
    const long h = pgm_number(f);
    const long maxval = pgm_number(f);
    if (w < 0 || h < 0 || maxval <= 0 || maxval > 65535) return fail(error, "PGM: bad header");
    if (create_grey(out, w, h, error) != 0) return -1;
    const bool wide = maxval > 255;
    for (long y = 0; y < h; ++y) {
        uint8_t *row = image_row(out, static_cast<int>(y));
        for (long x = 0; x < w; ++x) {
            long v;
            if (!binary) {
                v = pgm_number(f);
            } else if (wide) {
                const int hi = std::fgetc(f);
                const int lo = std::fgetc(f);
                v = (hi == EOF || lo == EOF) ? -1 : (hi << 8 | lo);
            } else {
                const int b = std::fgetc(f);
                v = b == EOF ? -1 : b;
            }
            if (v < 0 || v > maxval) {
                image_free(out);
                return fail(error, "PGM: pixel data truncated or out of range");
            }
            row[x] = static_cast<uint8_t>(maxval == 255 ? v : (v * 255 + maxval / 2) / maxval);
        }
    }
    return 0;
}

}  // namespace

int imageio_read_grey(const std::string &path, Image *out, std::string *error) {
    *out = Image{};
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) return fail(error, std::string("cannot open: ") + std::strerror(errno));
    unsigned char head[8] = {0};
    const size_t got = std::fread(head, 1, sizeof head, f.get());
    std::rewind(f.get());
    if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
        char message[JMSG_LENGTH_MAX + 8];
        if (read_jpeg(f.get(), out, message) != 0) return fail(error, message);
        return 0;
    }
    if (got == 8 && png_sig_cmp(head, 0, 8) == 0) {
        f.reset();
        return read_png(path, out, error);
    }
    if (got >= 2 && head[0] == 'P' && (head[1] == '5' || head[1] == '2'))
        return read_pgm(f.get(), out, error);
    return fail(error, "not a JPEG, PNG or PGM (P2/P5) file");
}

int imageio_write_pgm(const std::string &path, const Image *image, std::string *error) {
    if (image->format != PIXEL_GRAY8) return fail(error, "not a grey image");
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return fail(error, std::string("cannot create: ") + std::strerror(errno));
    bool ok = std::fprintf(f.get(), "P5\n%d %d\n255\n", image->width, image->height) > 0;
    for (int y = 0; ok && y < image->height; ++y)
        ok = std::fwrite(image_row(image, y), 1, static_cast<size_t>(image->width), f.get()) ==
             static_cast<size_t>(image->width);
    if (std::fclose(f.release()) != 0) ok = false;
    return ok ? 0 : fail(error, "write failed");
}
