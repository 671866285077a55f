// The per-frame face step shared by the application's frame pipeline and the mevo-classify
// tool: detection, grouping, the width cut, jitter boxes, classification, the percent mapping
// and the averaging over each face's boxes. One function, so the tool measures exactly what the
// camera computes.
//
// Rectangles are inclusive (left, right, top, bottom) in pixels of the detection image (the
// region crop when a region is given). Nothing is allocated here beyond what lbp_detect and
// classify_faces allocate per call. Call from one thread (the frame loop); the detectors must
// not be scanned by anyone else meanwhile.
#pragma once

#include <cstdint>

#include "classify/classifier_model.h"
#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/scan.h"
#include "image/image.h"

struct FrameFacesConfig {
    int32_t start_shift = 0;  // octaves the scan skips (from Detector.MinRect and the windows)
    int32_t min_rect = 0;     // Detector.MinRect: faces with right - left below it are dropped
    int16_t gender_bias = 0;  // Classifier.GenderBias, low 16 bits
};

// Runs, in order:
//  1. detection image = crop of `region` out of `frame` (region not null) or grey copy of it;
//  2. lbp_detect with the detectors and start shift, then group_detections;
//  3. sort the faces by width (right - left), widest first, keep those at least min_rect wide;
//  4. gender = face_score = age = 0, votes = 1, hits = weight;
//  5. add_jitter_boxes up to `capacity`;
//  6. detection image rebuilt (the scan used it as scratch), classify_faces with `model`, the
//     gender bias and the flip flags of the first detector;
//  7. gender replaced by gender_to_percent(gender, model.gender_divisor);
//  8. group_detections again, then gender and age divided by votes (truncating toward zero):
//     the mean gender score (-100 .. 100) and mean age; face_score stays the sum.
// Returns the number of faces at the front of `detections` (>= 0), or -1 when the detection
// image cannot hold the frame or region. `detection_image` is a grey image whose allocation
// (full_width x full_height) holds the frame or region; `detections` has room for `capacity`
// records (DETECTION_CAPACITY in the application).
int frame_faces_find(const Image *frame, const DetectRect *region, Image *detection_image,
                     Detector *detectors, int detector_count, const ClassifierModel &model,
                     const FrameFacesConfig &config, Detection *detections, int capacity);

// Octaves the scan may skip because even the widest window, doubled per octave, is narrower
// than min_rect: for s = 0, 1, 2 the widest window so far becomes the largest of itself and
// every detector's width << s, and the shift grows by one while min_rect is above it. With no
// detectors every octave is skipped when min_rect >= 0.
int32_t frame_faces_start_shift(const Detector *detectors, int detector_count, int32_t min_rect);

// Moves `count` faces by (dx, dy) pixels, e.g. from region to camera coordinates.
void frame_faces_offset(Detection *faces, int count, int32_t dx, int32_t dy);
