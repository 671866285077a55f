// Gender, face and age table training for the built-in classifier (mevo-train classifier).
#pragma once

#include <cstdint>
#include <string>

namespace mevo_train {

struct ClassifierTrainOptions {
    std::string data_dir;  // holds faces-utk/ and negatives/
    std::string out_path;  // classifier model file (classify/classifier_model.h layout)
    uint64_t seed = 1;
    int max_utk = 0;  // faces-utk training pictures used (0: all)
    int epochs = 10;
};

// Applies one command-line option ("--epochs", "10") to the options; false when unknown.
bool classifier_option(ClassifierTrainOptions &options, const std::string &name, const char *value);

// Trains and writes the model; prints validation figures. Returns 0, or 1 with a message.
int classifier_train(const ClassifierTrainOptions &options);

}  // namespace mevo_train
