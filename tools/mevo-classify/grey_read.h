// Reads a still image (JPEG, PNG or binary PGM, chosen by its first bytes) as 8-bit grey.
// Local to this tool until a shared image reader exists for the tools.
#pragma once

#include <string>

#include "image/image.h"

// Fills `out` (created here with image_create; free it with image_free) with the file's pixels
// converted to PIXEL_GRAY8. Returns 0, or -1 with `error` saying why.
int grey_read_file(const std::string &path, Image *out, std::string *error);
