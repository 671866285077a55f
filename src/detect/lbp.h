// 3 x 3 local-binary-pattern codes of a grey image.
//
// For every pixel with 1 <= x <= W - 2 and 1 <= y <= H - 2 the code sums the bit of each
// neighbour that is strictly brighter than the centre: top-left 128, top 64, top-right 32,
// left 16, right 8, bottom-left 4, bottom 2, bottom-right 1. Border pixels of the destination
// are not written. The destination takes the source's width and height and must be a grey image
// at least that large (full_width, full_height); its stride is its own.
// Returns 0, 1 when either image is not PIXEL_GRAY8, 5 when the destination is too small.
// Thread-safe for distinct destinations.
#pragma once

#include "image/image.h"

// The vectorised transform (SSE2 on x86-64, NEON on ARM, chosen when compiled; the scalar code
// elsewhere). 16 pixels per step, scalar tail.
int lbp_transform(Image *dst, const Image *src);

// The plain per-pixel transform; bit-identical to lbp_transform.
int lbp_transform_scalar(Image *dst, const Image *src);

// Name of the compiled-in vector path: "sse2", "neon" or "scalar".
const char *lbp_transform_simd_name(void);
