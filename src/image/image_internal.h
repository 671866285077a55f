// Helpers shared by the image module's source files; not part of the public interface.
#pragma once

#include "image/image.h"

// The layout rules every image must satisfy (format table, sizes, stride).
bool image_valid(const Image *image);
