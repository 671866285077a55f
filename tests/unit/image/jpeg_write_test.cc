#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "image/image.h"
#include "image_test_util.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char pattern[] = "/tmp/mevo-image-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
};

struct Decoded {
    int width = 0, height = 0, components = 0;
    std::vector<uint8_t> pixels;  // top-down, interleaved
};

// Decodes to the file's own colour space (grey, RGB or YCbCr), so each test compares in the
// space it wrote.
bool decode_jpeg(const fs::path &path, J_COLOR_SPACE out_space, Decoded *out) {
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) return false;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = out_space;
    jpeg_start_decompress(&cinfo);
    out->width = static_cast<int>(cinfo.output_width);
    out->height = static_cast<int>(cinfo.output_height);
    out->components = cinfo.output_components;
    const size_t row_bytes = static_cast<size_t>(out->width) * out->components;
    out->pixels.assign(row_bytes * out->height, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out->pixels.data() + cinfo.output_scanline * row_bytes;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    fclose(file);
    return true;
}

// Smooth, distinct channels: JPEG keeps them within a few levels, and a swapped channel or a
// flipped row order shows up as a difference of tens of levels.
uint8_t channel_value(int c, int x, int y) {
    switch (c) {
        case 0:
            return static_cast<uint8_t>(40 + 4 * x);
        case 1:
            return static_cast<uint8_t>(30 + 5 * y);
        default:
            return static_cast<uint8_t>(220 - 2 * x - 2 * y);
    }
}

constexpr int kWidth = 37;  // not a multiple of 8 or 16: exercises the edge padding
constexpr int kHeight = 21;
constexpr int kMaxError = 12;
constexpr double kMaxMeanError = 3.0;

// Expected decoded value of picture row y (top-down) for component c.
using Expected = int (*)(int c, int x, int y);

void expect_close(const Decoded &d, int components, Expected expected, const std::string &name) {
    ASSERT_EQ(d.width, kWidth) << name;
    ASSERT_EQ(d.height, kHeight) << name;
    ASSERT_EQ(d.components, components) << name;
    int worst = 0;
    double total = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            for (int c = 0; c < components; ++c) {
                int got = d.pixels[(y * kWidth + x) * components + c];
                int error = std::abs(got - expected(c, x, y));
                worst = std::max(worst, error);
                total += error;
            }
        }
    }
    EXPECT_LE(worst, kMaxError) << name;
    EXPECT_LE(total / (kWidth * kHeight * components), kMaxMeanError) << name;
}

int expected_rgb(int c, int x, int y) {
    return channel_value(c, x, y);
}
int expected_grey(int, int x, int y) {
    return channel_value(0, x, y) / 2 + channel_value(1, x, y) / 2;
}

// Stores picture row y at memory row y (origin top) or height-1-y (origin bottom).
int memory_row(const Image *image, int y) {
    return image->origin == IMAGE_ORIGIN_BOTTOM ? image->height - 1 - y : y;
}

// Writes an interleaved pixel of the given format from 8-bit R, G, B.
void put_pixel(int format, uint8_t *p, int r, int g, int b) {
    switch (format) {
        case PIXEL_RGB24:
            p[0] = r, p[1] = g, p[2] = b;
            break;
        case PIXEL_BGR24:
            p[0] = b, p[1] = g, p[2] = r;
            break;
        case PIXEL_YCBCR:  // the test treats the three values as Y, Cb, Cr directly
            p[0] = r, p[1] = g, p[2] = b;
            break;
        case PIXEL_RGB565:
        case PIXEL_BGR565: {
            int low = format == PIXEL_RGB565 ? r : b, high = format == PIXEL_RGB565 ? b : r;
            int word = (low >> 3) | ((g >> 2) << 5) | ((high >> 3) << 11);
            p[0] = word & 0xff, p[1] = word >> 8;
            break;
        }
        case PIXEL_XRGB32:
            p[0] = 0xaa, p[1] = r, p[2] = g, p[3] = b;
            break;
        case PIXEL_XBGR32:
            p[0] = 0xaa, p[1] = b, p[2] = g, p[3] = r;
            break;
        case PIXEL_RGBX32:
            p[0] = r, p[1] = g, p[2] = b, p[3] = 0xaa;
            break;
        case PIXEL_BGRX32:
            p[0] = b, p[1] = g, p[2] = r, p[3] = 0xaa;
            break;
        case PIXEL_RGB444:
        case PIXEL_BGR444: {
            int first = format == PIXEL_RGB444 ? r : b, last = format == PIXEL_RGB444 ? b : r;
            p[0] = (first >> 4) | (g & 0xf0), p[1] = last >> 4;
            break;
        }
    }
}

void fill_interleaved(Image *image) {
    for (int y = 0; y < image->height; ++y) {
        uint8_t *row = image_row(image, memory_row(image, y));
        for (int x = 0; x < image->width; ++x)
            put_pixel(image->format, row + x * image->bytes_per_pixel, channel_value(0, x, y),
                      channel_value(1, x, y), channel_value(2, x, y));
    }
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(JpegWrite, GreyImagesDecodeToTheirPixelsInBothOrigins) {
    TempDir dir;
    for (int origin : {IMAGE_ORIGIN_TOP, IMAGE_ORIGIN_BOTTOM}) {
        ScopedImage img;
        ASSERT_EQ(
            image_create_with_stride(img.get(), PIXEL_GRAY8, 1, kWidth, kHeight, 48, 0, origin),
            IMAGE_OK);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                image_row(img.get(), memory_row(img.get(), y))[x] =
                    static_cast<uint8_t>(expected_grey(0, x, y));
        const fs::path path = dir.path / ("grey" + std::to_string(origin) + ".jpg");
        ASSERT_EQ(jpeg_write_file(img.get(), path.c_str(), 95), IMAGE_OK);
        Decoded d;
        ASSERT_TRUE(decode_jpeg(path, JCS_GRAYSCALE, &d));
        expect_close(d, 1, expected_grey, "grey origin " + std::to_string(origin));
    }
}

TEST(JpegWrite, ColourFormatsDecodeToTheirRgbPixels) {
    struct {
        const char *name;
        int format;
        int tolerance_shift;  // packed formats lose low bits before JPEG sees them
    } const cases[] = {
        {"rgb", PIXEL_RGB24, 0},     {"bgr", PIXEL_BGR24, 0},   {"rgb565", PIXEL_RGB565, 3},
        {"bgr565", PIXEL_BGR565, 3}, {"xrgb", PIXEL_XRGB32, 0}, {"xbgr", PIXEL_XBGR32, 0},
        {"rgbx", PIXEL_RGBX32, 0},   {"bgrx", PIXEL_BGRX32, 0}, {"rgb444", PIXEL_RGB444, 4},
        {"bgr444", PIXEL_BGR444, 4},
    };
    TempDir dir;
    for (const auto &c : cases) {
        for (int origin : {IMAGE_ORIGIN_TOP, IMAGE_ORIGIN_BOTTOM}) {
            ScopedImage img;
            ASSERT_EQ(image_create(img.get(), c.format, 3, kWidth, kHeight, 0, origin), IMAGE_OK);
            fill_interleaved(img.get());
            const std::string name = std::string(c.name) + " origin " + std::to_string(origin);
            const fs::path path = dir.path / (name + ".jpg");
            ASSERT_EQ(jpeg_write_file(img.get(), path.c_str(), 95), IMAGE_OK) << name;
            Decoded d;
            ASSERT_TRUE(decode_jpeg(path, JCS_RGB, &d)) << name;
            if (c.tolerance_shift == 0) {
                expect_close(d, 3, expected_rgb, name);
                continue;
            }
            // Packed channels keep only their high bits; compare against the widened value.
            ASSERT_EQ(d.width, kWidth);
            int worst = 0;
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x)
                    for (int ch = 0; ch < 3; ++ch)
                        worst = std::max(worst, std::abs(d.pixels[(y * kWidth + x) * 3 + ch] -
                                                         channel_value(ch, x, y)));
            EXPECT_LE(worst, kMaxError + (1 << c.tolerance_shift)) << name;
        }
    }
}

TEST(JpegWrite, YcbcrIsWrittenAsYcbcr) {
    TempDir dir;
    ScopedImage img;
    ASSERT_EQ(image_create(img.get(), PIXEL_YCBCR, 3, kWidth, kHeight, 0, 0), IMAGE_OK);
    fill_interleaved(img.get());
    const fs::path path = dir.path / "ycc.jpg";
    ASSERT_EQ(jpeg_write_file(img.get(), path.c_str(), 95), IMAGE_OK);
    Decoded d;
    ASSERT_TRUE(decode_jpeg(path, JCS_YCbCr, &d));
    // Default chroma subsampling smooths Cb and Cr; the smooth test pattern survives it.
    expect_close(d, 3, expected_rgb, "ycbcr");
}

TEST(JpegWrite, PlanarImagesAreWrittenPlaneByPlane) {
    struct {
        const char *name;
        int format, channels;
        J_COLOR_SPACE space;
    } const cases[] = {
        {"grey", PIXEL_GRAY8, 1, JCS_GRAYSCALE},
        {"rgb", PIXEL_RGB24, 3, JCS_RGB},
        {"bgr", PIXEL_BGR24, 3, JCS_RGB},
        {"ycbcr", PIXEL_YCBCR, 3, JCS_YCbCr},
    };
    TempDir dir;
    for (const auto &c : cases) {
        for (int origin : {IMAGE_ORIGIN_TOP, IMAGE_ORIGIN_BOTTOM}) {
            ScopedImage img;
            ASSERT_EQ(image_create(img.get(), c.format, c.channels, kWidth, kHeight, 1, origin),
                      IMAGE_OK);
            const int plane = img->stride * img->full_height;
            for (int y = 0; y < kHeight; ++y) {
                uint8_t *row = image_row(img.get(), memory_row(img.get(), y));
                for (int x = 0; x < kWidth; ++x) {
                    if (c.channels == 1) {
                        row[x] = static_cast<uint8_t>(expected_grey(0, x, y));
                        continue;
                    }
                    for (int ch = 0; ch < 3; ++ch) {
                        int stored = c.format == PIXEL_BGR24 ? 2 - ch : ch;
                        row[stored * plane + x] = channel_value(ch, x, y);
                    }
                }
            }
            const std::string name =
                std::string("planar ") + c.name + " origin " + std::to_string(origin);
            const fs::path path = dir.path / (name + ".jpg");
            ASSERT_EQ(jpeg_write_file(img.get(), path.c_str(), 95), IMAGE_OK) << name;
            Decoded d;
            ASSERT_TRUE(decode_jpeg(path, c.space, &d)) << name;
            expect_close(d, c.channels, c.channels == 1 ? expected_grey : expected_rgb, name);
        }
    }
}

TEST(JpegWrite, DefaultQualityIsEighty) {
    TempDir dir;
    ScopedImage img;
    ASSERT_EQ(image_create(img.get(), PIXEL_RGB24, 3, kWidth, kHeight, 0, 0), IMAGE_OK);
    fill_interleaved(img.get());
    ASSERT_EQ(jpeg_write_file(img.get(), (dir.path / "default.jpg").c_str()), IMAGE_OK);
    ASSERT_EQ(jpeg_write_file(img.get(), (dir.path / "q80.jpg").c_str(), 80), IMAGE_OK);
    ASSERT_EQ(jpeg_write_file(img.get(), (dir.path / "q30.jpg").c_str(), 30), IMAGE_OK);
    EXPECT_EQ(read_file(dir.path / "default.jpg"), read_file(dir.path / "q80.jpg"));
    EXPECT_NE(read_file(dir.path / "default.jpg"), read_file(dir.path / "q30.jpg"));
}

// Refused images leave an existing file as it was and print the reason on standard output.
TEST(JpegWrite, RefusalsReportAndWriteNothing) {
    struct {
        const char *name;
        int format, channels, planar, origin;
        int status;
        const char *message;
    } const cases[] = {
        {"ycbcr 4:2:0", PIXEL_YCBCR, 3, 3, 0, IMAGE_ERR_INVALID, "JPEG: Unknown dataOrder 3\n"},
        {"ycbcr 4:2:2", PIXEL_YCBCR, 3, 2, 0, IMAGE_ERR_INVALID, "JPEG: Unknown dataOrder 2\n"},
        {"rgba", PIXEL_RGBA32, 4, 0, 0, IMAGE_ERR_NOT_WRITABLE, "Wrong image type\n"},
        {"n8", PIXEL_N8, 3, 0, 0, IMAGE_ERR_NOT_WRITABLE, "Wrong image type\n"},
        {"packed16", PIXEL_PACKED16_A, 3, 0, 0, IMAGE_ERR_NOT_WRITABLE, "Wrong image type\n"},
        {"planar rgbx", PIXEL_RGBX32, 3, 1, 0, IMAGE_ERR_NOT_WRITABLE, "Wrong image type\n"},
        {"origin 4", PIXEL_GRAY8, 1, 0, 4, IMAGE_ERR_INVALID, "JPEG: wrong image origin\n"},
    };
    TempDir dir;
    const fs::path path = dir.path / "keep.jpg";
    for (const auto &c : cases) {
        { std::ofstream(path) << "previous"; }
        ScopedImage img;
        ASSERT_EQ(image_create(img.get(), c.format, c.channels, 16, 16, c.planar, c.origin),
                  IMAGE_OK)
            << c.name;
        testing::internal::CaptureStdout();
        EXPECT_EQ(jpeg_write_file(img.get(), path.c_str(), 80), c.status) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message) << c.name;
        EXPECT_EQ(read_file(path), "previous") << c.name;
    }
    ScopedImage empty;
    ASSERT_EQ(image_create(empty.get(), PIXEL_GRAY8, 1, 0, 0, 0, 0), IMAGE_OK);
    EXPECT_EQ(jpeg_write_file(empty.get(), path.c_str(), 80), IMAGE_ERR_INVALID);
    EXPECT_EQ(jpeg_write_file(nullptr, path.c_str(), 80), IMAGE_ERR_INVALID);
    EXPECT_EQ(read_file(path), "previous");
}

TEST(JpegWrite, UnopenablePathReportsAndReturnsFour) {
    TempDir dir;
    ScopedImage img;
    make_gray(img, 8, 8, 8, [](int, int) { return 5; });
    const fs::path path = dir.path / "missing" / "face.jpg";
    testing::internal::CaptureStdout();
    EXPECT_EQ(jpeg_write_file(img.get(), path.c_str(), 80), IMAGE_ERR_OPEN);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "JPEG: cannot open " + path.string() + "\n");
    EXPECT_FALSE(fs::exists(path));
}

// A picture wider than the format allows makes the library fail mid-way: status 1 and no
// partial file.
TEST(JpegWrite, LibraryErrorsReturnOneAndRemoveThePartialFile) {
    TempDir dir;
    Image wide;
    ASSERT_EQ(image_setup_auto_stride(&wide, PIXEL_GRAY8, 1, 70000, 1, 0, 0), IMAGE_OK);
    std::vector<uint8_t> pixels(static_cast<size_t>(wide.stride));
    wide.data = pixels.data();
    const fs::path path = dir.path / "wide.jpg";
    testing::internal::CaptureStderr();
    EXPECT_EQ(jpeg_write_file(&wide, path.c_str(), 80), IMAGE_ERR_NOT_GRAY);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::exists(path));
}

}  // namespace
