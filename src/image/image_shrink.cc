// Grey 5-to-4 shrink in place. Full 5x5 blocks are reduced with fixed taps at output positions
// 0, 1.25, 2.5 and 3.75; the rows below the last block row and the bottom-right corner of an
// image whose height is a multiple of 5 are sampled bilinearly in eighths of a pixel. Every
// write lands at or before every position still to be read (output row i <= input row 1.25 i),
// so no scratch image is needed.
#include <algorithm>
#include <cstdint>

#include "image/image.h"
#include "image/image_internal.h"

namespace {

constexpr int kBlockIn = 5;
constexpr int kBlockOut = 4;
constexpr int kEighthsPerOutput = 10;  // 1.25 input pixels per output pixel, in eighths

// The four block taps of five samples.
inline void reduce5(const int in[kBlockIn], int out[kBlockOut]) {
    out[0] = in[0];
    out[1] = (3 * in[1] + in[2]) >> 2;
    out[2] = (in[2] + in[3]) >> 1;
    out[3] = (in[3] + 3 * in[4]) >> 2;
}

// How many input columns of the block the wanted output columns read: o0 reads c0, o1 reads up
// to c2, o2 up to c3, o3 up to c4.
inline int columns_needed(int outputs) {
    static constexpr int kNeeded[kBlockOut + 1] = {0, 1, 3, 4, 5};
    return kNeeded[outputs];
}

// Block (m, k): input columns 5m.. (only `in_cols` of them exist), rows 5k..5k+4; writes the
// first `out_cols` output columns of output rows 4k..4k+3. All reads happen before the writes.
void shrink_block(Image *image, int m, int k, int in_cols, int out_cols) {
    int rows[kBlockIn][kBlockOut];
    for (int r = 0; r < kBlockIn; ++r) {
        const uint8_t *src = image_row(image, kBlockIn * k + r) + kBlockIn * m;
        int c[kBlockIn] = {0, 0, 0, 0, 0};
        for (int i = 0; i < in_cols; ++i) c[i] = src[i];
        reduce5(c, rows[r]);
    }
    for (int col = 0; col < out_cols; ++col) {
        int column[kBlockIn];
        int reduced[kBlockOut];
        for (int r = 0; r < kBlockIn; ++r) column[r] = rows[r][col];
        reduce5(column, reduced);
        for (int r = 0; r < kBlockOut; ++r)
            image_row(image, kBlockOut * k + r)[kBlockOut * m + col] =
                static_cast<uint8_t>(reduced[r]);
    }
}

// The full blocks of block row k, a chunk of blocks at a time: the five input rows of a chunk
// are reduced horizontally into a small buffer before any of its four output rows is written,
// and later chunks only read columns to the right of everything written so far.
void shrink_full_blocks(Image *image, int k, int blocks) {
    constexpr int kChunkBlocks = 64;
    uint8_t reduced[kBlockIn][kChunkBlocks * kBlockOut];
    for (int first = 0; first < blocks; first += kChunkBlocks) {
        const int count = std::min(kChunkBlocks, blocks - first);
        for (int r = 0; r < kBlockIn; ++r) {
            const uint8_t *src = image_row(image, kBlockIn * k + r) + kBlockIn * first;
            uint8_t *dst = reduced[r];
            for (int b = 0; b < count; ++b, src += kBlockIn, dst += kBlockOut) {
                dst[0] = src[0];
                dst[1] = static_cast<uint8_t>((3 * src[1] + src[2]) >> 2);
                dst[2] = static_cast<uint8_t>((src[2] + src[3]) >> 1);
                dst[3] = static_cast<uint8_t>((src[3] + 3 * src[4]) >> 2);
            }
        }
        const int columns = count * kBlockOut;
        uint8_t *out[kBlockOut];
        for (int r = 0; r < kBlockOut; ++r)
            out[r] = image_row(image, kBlockOut * k + r) + kBlockOut * first;
        for (int x = 0; x < columns; ++x) {
            out[0][x] = reduced[0][x];
            out[1][x] = static_cast<uint8_t>((3 * reduced[1][x] + reduced[2][x]) >> 2);
            out[2][x] = static_cast<uint8_t>((reduced[2][x] + reduced[3][x]) >> 1);
            out[3][x] = static_cast<uint8_t>((reduced[3][x] + 3 * reduced[4][x]) >> 2);
        }
    }
}

// Output (j, i) sampled from the buffer's current state at (1.25 j, 1.25 i), in eighths.
inline uint8_t sample_eighths(const Image *image, int width, int height, int j, int i) {
    const int sx = kEighthsPerOutput * j;
    const int sy = kEighthsPerOutput * i;
    const int x0 = std::min(sx >> 3, width - 1);
    const int y0 = std::min(sy >> 3, height - 1);
    const int fx = sx & 7;
    const int fy = sy & 7;
    const int x1 = std::min(x0 + 1, width - 1);
    const int y1 = std::min(y0 + 1, height - 1);
    const uint8_t *r0 = image_row(image, y0);
    const uint8_t *r1 = image_row(image, y1);
    const int top = (8 - fx) * r0[x0] + fx * r0[x1];
    const int bottom = (8 - fx) * r1[x0] + fx * r1[x1];
    return static_cast<uint8_t>(((8 - fy) * top + fy * bottom) >> 6);
}

void sample_region(Image *image, int width, int height, int row_from, int row_to, int col_from,
                   int col_to) {
    for (int i = std::max(row_from, 0); i < row_to; ++i)
        for (int j = std::max(col_from, 0); j < col_to; ++j)
            image_row(image, i)[j] = sample_eighths(image, width, height, j, i);
}

}  // namespace

int image_shrink_125(Image *image) {
    if (!image || !image->data) return IMAGE_ERR_INVALID;
    if (image_refuse_non_gray(image)) return IMAGE_ERR_NOT_GRAY;
    const int width = image->width;
    const int height = image->height;
    const int new_width = static_cast<int>((8 * static_cast<int64_t>(width) + 1) / 10);
    const int new_height = static_cast<int>((8 * static_cast<int64_t>(height) + 1) / 10);
    const int block_rows = height / kBlockIn;
    const int block_cols = width / kBlockIn;
    const int edge_in_cols = width - kBlockIn * block_cols;
    const int edge_out_cols = new_width - kBlockOut * block_cols;

    bool last_row_full_only = false;
    for (int k = 0; k < block_rows; ++k) {
        shrink_full_blocks(image, k, block_cols);
        // A block row ending on the image's last row leaves its right edge to the corner pass.
        if (kBlockIn * k + kBlockIn - 1 == height - 1) {
            last_row_full_only = true;
        } else if (edge_out_cols > 0) {
            shrink_block(image, block_cols, k,
                         std::min(edge_in_cols, columns_needed(edge_out_cols)), edge_out_cols);
        }
    }
    sample_region(image, width, height, kBlockOut * block_rows, new_height, 0, new_width);
    if (last_row_full_only)
        sample_region(image, width, height, kBlockOut * block_rows - kBlockOut, new_height,
                      kBlockOut * block_cols - kBlockOut, new_width);
    image->width = new_width;
    image->height = new_height;
    return IMAGE_OK;
}
