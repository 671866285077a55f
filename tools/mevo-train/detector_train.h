// Boosted cascade training for one detector window size (mevo-train detector).
#pragma once

#include <cstdint>
#include <string>

namespace mevo_train {

struct DetectorTrainOptions {
    std::string data_dir;  // holds faces-caltech/, faces-utk/, negatives/, negatives-small/
    std::string out_path;  // the model file, rewritten after every stage
    int window = 20;       // window width and height in pixels
    uint64_t seed = 1;
    int max_stages = 20;
    int max_utk = 8000;  // faces-utk training pictures used (0: all)
    int negatives_per_stage = 12000;
    double stage_hit_rate = 0.995;  // on held-back positives
    double stage_false_rate = 0.5;  // on the mined negatives
    int max_features_per_stage = 60;
    // Stages to keep from an existing model file before training more (empty: start afresh).
    std::string resume_path;
    // faces-utk training pictures whose windows away from the face (IoU below 0.3 with the
    // face square: parts of the face, hair, background) join the negatives. 0: none.
    int part_pictures = 0;
    // Largest sideways head tilt (degrees) of two extra samples per face; 0: upright faces only.
    double roll_degrees = 0;
    // Most negative windows still accepted by the cascade that are kept (4 bytes each) so the
    // next stage only tests its own features on them; with more, or 0, every stage rescans all
    // negative pictures with the whole cascade. Same models either way, only the time differs.
    size_t max_survivors = size_t(1) << 27;
};

// Applies one command-line option ("--window", "20") to the options; false when unknown.
bool detector_option(DetectorTrainOptions &options, const std::string &name, const char *value);

// Trains and writes the model. Returns 0, or 1 with a message on standard error.
int detector_train(const DetectorTrainOptions &options);

}  // namespace mevo_train
