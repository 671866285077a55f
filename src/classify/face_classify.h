// Cutting faces out of the grey frame, normalising them to the 50 x 50 patch the classifier's
// tables were built for, and classifying them.
//
// Rectangles are inclusive pixel bounds in the order left, right, top, bottom, in pixels of the
// frame given (the region crop when a region is configured). Frames and patches are
// PIXEL_GRAY8 Image records (image/image.h). Diagnostics go to standard error.
//
// Threads: no shared state; one call works on its own patch and scratch images. Call from the
// frame loop; the frame must not change during the call.
#pragma once

#include <cstdint>

#include "classify/classifier_model.h"
#include "detect/detection.h"
#include "image/image.h"

// Fills the already allocated grey `patch` (its width x height is the target size, at least
// 2 x 2; 50 x 50 for the classifier) from the rectangle of `frame`:
//   1. reject the rectangle unless 0 <= left <= right < W and 0 <= top <= bottom < H;
//   2. copy it into a temporary image;
//   3. halve the temporary while it is more than twice the target in both directions;
//   4. resample it bilinearly in 11-bit fixed point (steps (Ws - 1) * 2048 / (Wd - 1), no
//      rounding term; the last column and row come from the last source column and row).
// Returns 0, or 1 when the rectangle is rejected or a step fails.
int face_normalize(Image *patch, const Image *frame, int left, int right, int top, int bottom);

// Classifies the `count` records of `faces` in array order. For each: the rectangle (turned by
// 180 degrees within the frame when both flip flags are > 0) is normalised into a 50 x 50 patch,
// which is then turned back upright; a face that cannot be normalised prints "Skipping object\n"
// and keeps its outputs. Otherwise `gender` = gender sum, `face_score` = face sum, `age` =
// trunc(age sum / age_divisor) clamped to 0 .. 100. The records' rectangles are not changed.
// Returns 0, or 1 (after "ajajajhoppla\n", no record touched) when the work images cannot be
// allocated. The tables are laid out as in classify/classifier.h.
int classify_faces(const Image *frame, Detection *faces, int count, const int16_t *gender_table,
                   double age_divisor, int16_t gender_bias, const int16_t *face_table,
                   int16_t face_bias, const int16_t *age_table, int16_t age_bias,
                   int32_t flip_up_down, int32_t flip_left_right);

// classify_faces with the tables, divisor and biases of `model`.
int classify_faces_with_model(const Image *frame, Detection *faces, int count,
                              const ClassifierModel &model, int16_t gender_bias,
                              int32_t flip_up_down, int32_t flip_left_right);
