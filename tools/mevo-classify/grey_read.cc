#include "grey_read.h"

#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Largest side accepted, so a corrupt header cannot ask for gigabytes.
constexpr int kMaxSide = 16384;

struct FileCloser {
    void operator()(FILE *f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

int create_grey(Image *out, int w, int h, std::string *error) {
    if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide) {
        *error = "unsupported image size " + std::to_string(w) + "x" + std::to_string(h);
        return -1;
    }
    if (image_create(out, PIXEL_GRAY8, 1, w, h, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP) != 0) {
        *error = "out of memory";
        return -1;
    }
    return 0;
}

struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpeg_fail(j_common_ptr cinfo) {
    auto *err = reinterpret_cast<JpegError *>(cinfo->err);
    cinfo->err->format_message(cinfo, err->message);
    longjmp(err->jump, 1);
}

// Plain C state only between setjmp and longjmp, so nothing with a destructor is skipped.
int read_jpeg(FILE *f, Image *out, std::string *error) {
    jpeg_decompress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_fail;
    err.message[0] = '\0';
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        image_free(out);
        *error = std::string("JPEG: ") + err.message;
        return -1;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&cinfo);
    if (create_grey(out, int(cinfo.output_width), int(cinfo.output_height), error) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return -1;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = image_row(out, int(cinfo.output_scanline));
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
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        *error = std::string("PNG: ") + png.message;
        return -1;
    }
    png.format = PNG_FORMAT_GRAY;
    if (create_grey(out, int(png.width), int(png.height), error) != 0) {
        png_image_free(&png);
        return -1;
    }
    if (!png_image_finish_read(&png, nullptr, out->data, out->stride, nullptr)) {
        *error = std::string("PNG: ") + png.message;
        image_free(out);
        return -1;
    }
    return 0;
}

// Binary PGM (P5) with a maximum value up to 255; '#' comments in the header.
int read_pgm(FILE *f, Image *out, std::string *error) {
    auto next_number = [f](int *value) {
        int c = std::fgetc(f);
        while (c != EOF) {
            if (c == '#') {
                while (c != EOF && c != '\n') c = std::fgetc(f);
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                c = std::fgetc(f);
            } else {
                break;
            }
        }
        long v = 0;
        bool any = false;
        while (c >= '0' && c <= '9') {
            v = v * 10 + (c - '0');
            if (v > 1000000) return false;
            any = true;
            c = std::fgetc(f);
        }
        *value = int(v);
        return any;  // the single whitespace after the last header number is consumed here
    };
    if (std::fgetc(f) != 'P' || std::fgetc(f) != '5') {
        *error = "PGM: only binary (P5) files are supported";
        return -1;
    }
    int w = 0, h = 0, maxval = 0;
    if (!next_number(&w) || !next_number(&h) || !next_number(&maxval)) {
        *error = "PGM: bad header";
        return -1;
    }
    if (maxval <= 0 || maxval > 255) {
        *error = "PGM: only 8-bit files are supported";
        return -1;
    }
    if (create_grey(out, w, h, error) != 0) return -1;
    for (int y = 0; y < h; ++y) {
        if (std::fread(image_row(out, y), 1, size_t(w), f) != size_t(w)) {
            image_free(out);
            *error = "PGM: file is truncated";
            return -1;
        }
    }
    return 0;
}

}  // namespace

int grey_read_file(const std::string &path, Image *out, std::string *error) {
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return -1;
    }
    unsigned char magic[8] = {};
    const size_t n = std::fread(magic, 1, sizeof magic, f.get());
    std::rewind(f.get());
    if (n >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) {
        return read_jpeg(f.get(), out, error);
    }
    if (n >= 8 && png_sig_cmp(magic, 0, 8) == 0) return read_png(path, out, error);
    if (n >= 2 && magic[0] == 'P' && magic[1] == '5') return read_pgm(f.get(), out, error);
    *error = "not a JPEG, PNG or binary PGM file";
    return -1;
}
