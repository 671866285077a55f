// JPEG snapshot stream of the capture stand-in: one grey frame, scaled and JPEG-encoded.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "common/log.h"
#include "platform/capture/capture_internal.h"
#include "platform/capture/capture_native.h"

namespace {
constexpr const char *kTag = "capture";
constexpr int kDefaultWidth = 320;
constexpr int kDefaultHeight = 240;
constexpr int kMaxSnapshotSide = 4096;
constexpr int kJpegQuality = 85;

// Reads "resolution=WxH" (or the "resoultion" spelling some callers use) from a query string.
void parse_options(const char *options, int *width, int *height) {
    std::string opts = options ? options : "";
    size_t pos = 0;
    while (pos <= opts.size()) {
        size_t amp = opts.find('&', pos);
        std::string item =
            opts.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        for (const char *key : {"resolution=", "resoultion="}) {
            if (item.rfind(key, 0) != 0) continue;
            int w = 0, h = 0;
            char tail = 0;
            if (std::sscanf(item.c_str() + std::strlen(key), "%dx%d%c", &w, &h, &tail) == 2 &&
                w > 0 && h > 0 && w <= kMaxSnapshotSide && h <= kMaxSnapshotSide) {
                *width = w;
                *height = h;
            }
        }
        if (amp == std::string::npos) break;
        pos = amp + 1;
    }
}

// Nearest-neighbour scaling that keeps the aspect ratio, black borders around.
std::vector<uint8_t> fit(const std::vector<uint8_t> &src, int sw, int sh, int dw, int dh) {
    std::vector<uint8_t> dst(size_t(dw) * dh, 0);
    double scale = std::min(double(dw) / sw, double(dh) / sh);
    int aw = std::max(1, std::min(dw, int(sw * scale + 0.5)));
    int ah = std::max(1, std::min(dh, int(sh * scale + 0.5)));
    int ox = (dw - aw) / 2, oy = (dh - ah) / 2;
    for (int y = 0; y < ah; ++y) {
        int sy = std::min(sh - 1, int((y + 0.5) * sh / ah));
        for (int x = 0; x < aw; ++x) {
            int sx = std::min(sw - 1, int((x + 0.5) * sw / aw));
            dst[size_t(y + oy) * dw + x + ox] = src[size_t(sy) * sw + sx];
        }
    }
    return dst;
}

bool encode_jpeg(const std::vector<uint8_t> &grey, int width, int height,
                 std::vector<unsigned char> &out) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *mem = nullptr;
    unsigned long mem_size = 0;
    jpeg_mem_dest(&cinfo, &mem, &mem_size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, kJpegQuality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&grey[size_t(cinfo.next_scanline) * width]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    bool ok = mem && mem_size > 0;
    if (ok) out.assign(mem, mem + mem_size);
    std::free(mem);
    return ok;
}
}  // namespace

struct CaptureStream {
    int width = kDefaultWidth;
    int height = kDefaultHeight;
};

struct CaptureFrame {
    std::vector<unsigned char> bytes;
};

CaptureStream *capture_open_stream(const char *media_type, const char *options) {
    if (!media_type || std::strcmp(media_type, "image/jpeg") != 0) {
        log_message(kTag, "snapshot stream: unsupported media type '%s'",
                    media_type ? media_type : "");
        return nullptr;
    }
    auto *s = new CaptureStream;
    parse_options(options, &s->width, &s->height);
    return s;
}

CaptureFrame *capture_get_frame(CaptureStream *stream) {
    if (!stream) return nullptr;
    std::vector<uint8_t> pixels;
    int w = 0, h = 0;
    if (!capture_native_copy_latest(pixels, w, h)) {
        // No capture running in this process: read one frame from the source ourselves.
        const char *source = std::getenv("MEVO_SOURCE");
        if (!source || !*source) source = "synthetic:walkers";
        CaptureNative *c = capture_native_open_source(source, stream->width, stream->height, true);
        const uint8_t *img = c ? capture_get_image_native(c) : nullptr;
        if (img) {
            w = stream->width;
            h = stream->height;
            pixels.assign(img, img + size_t(w) * h);
        }
        capture_close_native(c);
        if (!img) return nullptr;
    }
    if (w != stream->width || h != stream->height)
        pixels = fit(pixels, w, h, stream->width, stream->height);
    auto *frame = new CaptureFrame;
    if (!encode_jpeg(pixels, stream->width, stream->height, frame->bytes)) {
        delete frame;
        return nullptr;
    }
    return frame;
}

const void *capture_frame_data(const CaptureFrame *frame) {
    return frame ? frame->bytes.data() : nullptr;
}

size_t capture_frame_size(const CaptureFrame *frame) {
    return frame ? frame->bytes.size() : 0;
}

void capture_frame_free(CaptureFrame *frame) {
    delete frame;
}

void capture_close_stream(CaptureStream *stream) {
    delete stream;
}
