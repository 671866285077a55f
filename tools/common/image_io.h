// Still-image reading for the command-line tools: JPEG, PNG and PGM files (recognised by their
// first bytes, not their names) are read as one 8-bit grey image. Colour pictures become their
// luminance (libjpeg's and libpng's own grey conversion), as a camera's Y plane would be.
// Thread-safe: no shared state.
#pragma once

#include <string>

#include "image/image.h"

// Largest width or height accepted, so a corrupt header cannot ask for gigabytes.
inline constexpr int IMAGEIO_MAX_SIDE = 16384;

// Fills `out` (created with image_create; the caller frees it with image_free) with the file's
// pixels as PIXEL_GRAY8, top row first. Returns 0, or -1 with `error` saying why (nothing is
// left allocated then). PGM: binary (P5) or text (P2), maximum value up to 65535 (scaled to 255).
int imageio_read_grey(const std::string &path, Image *out, std::string *error);

// Writes a grey image as binary PGM (P5). Returns 0, or -1 with `error` set.
int imageio_write_pgm(const std::string &path, const Image *image, std::string *error);
