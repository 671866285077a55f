// Gender, face and age table training for the built-in classifier (mevo-train classifier).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mevo_train {

// Penalty of each tied view (see `grids`), one value per view, in the order of `grids`.
using ViewPenalties = std::vector<double>;

struct ClassifierTrainOptions {
    std::string data_dir;  // holds faces-utk/ and negatives/
    std::string out_path;  // classifier model file (classify/classifier_model.h layout)
    uint64_t seed = 1;
    int max_utk = 0;           // faces-utk training pictures used (0: all)
    int iterations = 150;      // L-BFGS iterations per table
    int samples_per_face = 4;  // jittered samples per training picture (odd ones mirrored)
    // Weight views summed into every table entry: cells per side of each resolution's grid
    // (entries of all positions in one cell share the view's weight); 0 = one cell per position.
    std::vector<int> grids = {3, 6, 12, 24, 0};
    ViewPenalties gender_l2 = {1e-4, 1e-4, 1e-3, 3e-3, 3e-2};
    ViewPenalties age_l2 = {1e-4, 1e-4, 1e-3, 3e-3, 3e-2};
    ViewPenalties face_l2 = {1e-6, 1e-6, 1e-5, 1e-4, 1e-3};
    // Training boxes: the face square scaled by a factor within [frame_scale_min,
    // frame_scale_max] and its centre raised by up to frame_raise box widths, on top of a shift of
    // up to one jitter step (width / 16) each way. The range reaches below 1 and upwards because
    // grouped detections of faces with some context around them come out smaller than the face
    // square and a little higher (median 0.83 of its width, centre 0.04 widths up).
    double frame_scale_min = 0.86;
    double frame_scale_max = 1.06;
    double frame_raise = 0.03;
    double age_huber = 4.0;  // years; the age loss is quadratic below, linear above
    // Score an inner split of the training pictures instead of the validation split (to choose
    // the penalties without looking at validation); those pictures are then not trained on.
    bool holdout = false;
};

// Applies one command-line option ("--iterations", "150") to the options; false when unknown
// or malformed.
bool classifier_option(ClassifierTrainOptions &options, const std::string &name, const char *value);

// Trains and writes the model; prints training and validation figures. Returns 0, or 1 with a
// message.
int classifier_train(const ClassifierTrainOptions &options);

}  // namespace mevo_train
