// Builds detector model files for tests and benchmarks from a small description, so each test
// makes exactly the cascade it needs. Two levels:
//  - ModelDesc: stages with thresholds and features; stage feature ranges are laid out one
//    after the other. Enough for every well-formed model.
//  - RawModel: every header word of the file, for files that must be malformed on purpose.
// Integers are written little-endian (the byte order of the files).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace mevo_test {

inline constexpr uint32_t kModelMagic = 0x2E2E5C60;
inline constexpr int kModelTableSize = 256;

struct ModelFeature {
    int32_t x = 0;  // column in the window (type 0) or in the descriptor (type 1)
    int32_t y = 0;  // row
    std::array<int32_t, kModelTableSize> table{};  // score per 8-bit code
    int32_t stored_offset = 0;                     // the file's offset word (loaders ignore it)
};

struct ModelStage {
    int32_t type = 0;       // 0: LBP image, 1: window descriptor
    int32_t threshold = 0;  // the stage passes when its sum is strictly greater
    std::vector<ModelFeature> features;
};

struct ModelDesc {
    std::string obj_class = "face";
    int32_t width = 20;
    int32_t height = 20;
    std::vector<ModelStage> stages;
};

// Every word of a model file, written as it stands (no consistency is enforced).
struct RawModel {
    uint32_t magic = kModelMagic;
    int32_t n_char = 0;
    std::string obj_class;  // n_char bytes are written from it (zero-padded if shorter)
    int32_t n_casc = 0;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<int32_t> start_ind, n_det_feat, th, type;  // written as given, each in turn
    std::vector<ModelFeature> features;
};

// Feature whose table gives `score` for `code` and 0 for every other code.
ModelFeature feature_for_code(int32_t x, int32_t y, uint8_t code, int32_t score = 1);

// Feature whose table gives `score` for every code within `max_hamming` differing bits of
// `code` (0: the code itself only).
ModelFeature feature_near_code(int32_t x, int32_t y, uint8_t code, int max_hamming,
                               int32_t score = 1);

// Feature with the same score for every code (a stage of such features always gives one sum).
ModelFeature feature_constant(int32_t x, int32_t y, int32_t score);

// Stage that passes when at least `min_hits` of its features score (each scoring 1).
ModelStage stage_requiring(int32_t type, std::vector<ModelFeature> features, int32_t min_hits);

RawModel model_to_raw(const ModelDesc &desc);
std::string model_bytes(const RawModel &raw);
std::string model_bytes(const ModelDesc &desc);

// Writes the file; returns 0 on success, -1 on failure.
int model_write(const std::string &path, const RawModel &raw);
int model_write(const std::string &path, const ModelDesc &desc);

// LBP code of the pixel at p (3 x 3 neighbourhood, bit set when the neighbour is strictly
// brighter; top-left 128, top 64, top-right 32, left 16, right 8, bottom-left 4, bottom 2,
// bottom-right 1). An independent reference for tests.
uint8_t reference_lbp_code(const uint8_t *p, int stride);

struct PatternCascadeOptions {
    // Leading stages that pass any window textured enough: each scores a position whose code is
    // not 0 (flat areas give 0) and needs `texture_min_match` of its positions. The scan refines
    // around a coarse window only when it passes all but the last three stages, so a pattern found
    // by its exact codes needs a lenient start that a window one or two pixels off still passes.
    int texture_stages = 1;
    double texture_min_match = 0.5;
    int stages = 3;          // exact stages; their features are dealt round-robin
    int max_hamming = 0;     // codes accepted per position in the exact stages (bits that differ)
    double min_match = 1.0;  // share of an exact stage's features that must score
    int step = 1;            // use every step-th interior position in both directions
    std::string obj_class = "face";
};

// A cascade whose window is width x height and which accepts the grey pattern `grey` (the
// window's pixels, row stride `stride`): features at the interior positions (1 .. width - 2,
// 1 .. height - 2, whose codes depend on the window's pixels only), scoring for the code the
// pattern has there. With the defaults it accepts that pattern exactly and, in practice,
// nothing else.
ModelDesc cascade_for_pattern(const uint8_t *grey, int stride, int width, int height,
                              const PatternCascadeOptions &opts = {});

// One example window of the object: its top-left grey pixel and the row stride.
struct PatternSample {
    const uint8_t *grey;
    int stride;
};

// As cascade_for_pattern, learnt from several examples of the same object (e.g. one face drawn
// at a few sizes and sub-pixel offsets): an exact-stage feature scores for every code any example
// has at its position (each widened by max_hamming).
ModelDesc cascade_for_samples(const std::vector<PatternSample> &samples, int width, int height,
                              const PatternCascadeOptions &opts = {});

}  // namespace mevo_test
