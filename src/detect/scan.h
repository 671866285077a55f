// Multi-scale cascade scan: an image pyramid built in place, the LBP code image of every level,
// each detector's window slid over it, integer table lookups per feature. Accepted windows come
// out as raw Detection records (detect/detection.h) with weight 1 and every other field 0.
//
// Windows and rectangles are inclusive (left, right, top, bottom) pixel bounds. Scan functions
// run on the calling thread except scan_stepMS, which divides its rows among the threads of an
// OpenMP parallel region (the runtime's default team; omp_set_num_threads changes it). Workers
// only read the images and the detector and collect their windows in lists of their own, joined
// in row order, so the output does not depend on the number of threads or their timing; type-1
// stages, which use the detector's scratch images, run in the region's single unnamed critical
// section. Never run two scans at once on the same detectors.
#pragma once

#include <cstdint>

#include "detect/detection.h"
#include "detect/detector.h"
#include "image/image.h"

struct DetectRect {
    int32_t left;
    int32_t right;
    int32_t top;
    int32_t bottom;
};

// Most raw detections one lbp_detect call writes, whatever capacity it is given.
inline constexpr int DETECT_MAX_DETECTIONS = DETECTION_CAPACITY;

// Window step of step types 0 and 2: 1 below a 32-pixel window, else the larger side / 16.
int scan_window_step(const Detector *detector);
// Window step of step type 1 in 8.8 fixed point: (larger side * 256) / 16, 1 if not positive.
int scan_window_step8(const Detector *detector);

// Number of stages the window at (window.left, window.top) passes (its size is the detector's);
// the window is accepted when the result equals nCasc. Offsets must be prepared for `lbp`'s
// stride (detector_prepare). `grey` is the frame the LBP image was made from (type-1 stages).
int cascade_eval(const Image *lbp, const Image *grey, const DetectRect &window, Detector *detector);

// Descriptor of type-1 stages for the window, built in the detector's scratch images; the
// descriptor buffer's width becomes the bytes written + 2, its height 3.
void window_descriptor(Detector *detector, const Image *grey, const DetectRect &window);

// Gradient-magnitude codes of a grey image, brightness-normalised, two bytes per 2 x 2 block
// (horizontal, vertical), at most capacity - 1 bytes. Returns the number of bytes written.
int gradient_codes(uint8_t *output, const Image *image, int capacity);

// Level scans; each prepares the detector for the LBP image's stride and returns the number of
// detections written to output (at most capacity). `step` is scan_window_step (scan_window_step8
// for scan_step8). Windows in LBP image coordinates.
int scan_grid(Detection *output, int capacity, const Image *lbp, const Image *grey,
              Detector *detector, int step);
int scan_step8(Detection *output, int capacity, const Image *lbp, const Image *grey,
               Detector *detector, int step8);
// Coarse grid of three steps with a 3 x 3 refinement around every window that fails at most the
// last three stages. With both flip flags > 0 the grid runs from the opposite corner and results
// are reflected (W - 1 - right, ..., H - 1 - top) into the upright picture's coordinates.
int scan_stepMS(Detection *output, int capacity, const Image *lbp, const Image *grey,
                Detector *detector, int step);

// Scans `frame` (PIXEL_GRAY8) with `count` detectors and writes raw detections in frame
// coordinates; returns their number (0 when the frame is not grey, -1 on an unknown step type).
// The first detector's options (cumulative, scale type, step type) are copied to the others.
// class_name (may be null) keeps detectors whose objClass matches it ignoring case. region (may
// be null) limits the scan to that rectangle (clamped to the frame; an empty one finds nothing).
// start_shift halvings are done before the first level. The frame's pixels are used as scratch
// and are not restored; its width, height and stride are.
int lbp_detect(Detection *detections, int capacity, Image *frame, Detector *detectors, int count,
               const char *class_name, const DetectRect *region, int start_shift);
