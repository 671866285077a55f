// Detector model: a boosted cascade of stages over 8-bit local-binary-pattern codes, loaded from
// a `.dat` model file.
//
// File layout (32-bit little-endian words, read as native integers): magic 0x2E2E5C60, nChar,
// nChar bytes of class name (no terminator), nCasc, width, height, then nCasc words each of
// startInd, nDetFeat, th and type, then the features (DetectorFeature, 1036 bytes each). A file
// with nCasc = 0 ends after height.
//
// Threads: load, rotate, print and free run on one thread while no scan is running;
// detector_prepare runs at the start of each scan before workers start, so workers only read.
#pragma once

#include <cstdint>
#include <cstdio>

#include "detect/detection.h"
#include "image/image.h"

inline constexpr uint32_t DETECTOR_MAGIC = 0x2E2E5C60;
inline constexpr int DETECTOR_MAX_STAGES = 100;
inline constexpr int DETECTOR_CLASS_SIZE = 20;  // objClass bytes, terminator included
inline constexpr int DETECTOR_TABLE_SIZE = 256;
// Largest window side a model may declare; larger windows are refused as malformed (faces that
// large are found at coarser pyramid levels with a smaller window).
inline constexpr int DETECTOR_MAX_WINDOW = 1024;
// The per-window descriptor buffer of type-1 stages: width x height bytes.
inline constexpr int DETECTOR_DESCRIPTOR_WIDTH = 20000;
inline constexpr int DETECTOR_DESCRIPTOR_HEIGHT = 3;

// Stage types.
enum : int32_t {
    DETECTOR_STAGE_LBP = 0,         // features read the LBP image of the frame
    DETECTOR_STAGE_DESCRIPTOR = 1,  // features read the per-window descriptor
};

// Scan options (first detector of an array governs the scan).
enum : int32_t { DETECTOR_STEP_GRID = 0, DETECTOR_STEP_8 = 1, DETECTOR_STEP_MS = 2 };
enum : int32_t {
    DETECTOR_SCALE_OCTAVE = 0,    // halve per level
    DETECTOR_SCALE_BILIN = 1,     // divide by the cube root of 2, bilinear
    DETECTOR_SCALE_BILIN125 = 2,  // divide by 1.25, 5-to-4 block shrink
};

// One feature: 259 int32 words as in the file.
struct DetectorFeature {
    int32_t table[DETECTOR_TABLE_SIZE];  // score added to the stage sum, by code
    int32_t x;                           // column in the window (or in the descriptor)
    int32_t y;                           // row
    int32_t o;  // x + y * stride for the stage's image; recomputed by detector_prepare
};
static_assert(sizeof(DetectorFeature) == 1036, "feature records are 1036 bytes");

struct Detector {
    char objClass[DETECTOR_CLASS_SIZE];  // class name, zero-filled and terminated
    int32_t nCasc;                       // stages, 0 .. DETECTOR_MAX_STAGES
    int32_t width;                       // window size in pixels
    int32_t height;
    int32_t startInd[DETECTOR_MAX_STAGES];  // first feature of each stage
    int32_t nDetFeat[DETECTOR_MAX_STAGES];  // features per stage
    int32_t th[DETECTOR_MAX_STAGES];        // a stage passes when its sum is strictly greater
    int32_t type[DETECTOR_MAX_STAGES];      // DETECTOR_STAGE_*
    DetectorFeature *detectorFeat;          // owned; null when nCasc is 0
    int32_t nFeat;                          // number of records in detectorFeat
    // Scratch images of type-1 stages (grey, top-left origin, owned).
    Image crop;                 // the window cut from the frame (width x height)
    Image work;                 // shifted and halved copies of the crop (width x height)
    Image window_lbp;           // LBP codes of the crop (width x height)
    Image descriptor;           // DETECTOR_DESCRIPTOR_WIDTH x DETECTOR_DESCRIPTOR_HEIGHT
    int32_t lbp_stride;         // stride the offsets were computed for; -1 after loading
    int32_t descriptor_stride;  // likewise for type-1 stages
    int32_t flip_up_down;       // DETECTOR_FLIP_ON on a camera mounted upside down
    int32_t flip_left_right;
    uint8_t cumulative;  // stage sums carry over from stage to stage
    int32_t scale_type;  // DETECTOR_SCALE_*
    int32_t step_type;   // DETECTOR_STEP_*
};

// Fills `detector` from the model file at `path`. Returns 0, or 1 on any failure: a missing file
// or a wrong magic silently (the record untouched), anything else with a message on standard
// error (the record cleared, nothing left allocated). Besides short reads the file is refused
// when nChar is not in 0 .. 19, nCasc not in 0 .. 100, the window not in 1 ..
// DETECTOR_MAX_WINDOW, a stage's feature range leaves the feature array, or a feature of a
// type-0 stage lies outside the window (of a type-1 stage outside the descriptor buffer).
// The record must not hold a loaded detector (free it first).
int detector_load(Detector *detector, const char *path);

// Stores the scan options; cumulative is stored as 0 or 1.
void detector_set_options(Detector *detector, int cumulative, int scale_type, int step_type);

// Recomputes every feature offset when either stride differs from the cached one.
void detector_prepare(Detector *detector, int lbp_stride, int descriptor_stride);

// Turns the type-0 features by the flip flags (set them first): y -> height - 1 - y when the
// up-down flag is set, x -> width - 1 - x when the left-right flag is set, and with both > 0 the
// table is re-indexed by the bit-reversed code. Offsets are redone at the next preparation.
void detector_rotate_180(Detector *detector);

// Text dump: class name; nCasc width height; features per stage; stage types.
void detector_print(const Detector *detector, FILE *stream);

// Frees the features and scratch images of `count` consecutive records.
void detector_free(Detector *detectors, int count);
