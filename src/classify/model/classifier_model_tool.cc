// Build helper for the classifier model file.
//   classifier_model_tool neutral OUT   writes the untrained model (all table entries 0)
//   classifier_model_tool check FILE    exits 1 with a message when FILE is not a usable model
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "classify/classifier_model.h"
#include "common/fileutil.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: classifier_model_tool neutral OUT | check FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) return usage();
    const std::string command = argv[1];
    if (command == "neutral") {
        const std::string bytes = classifier_model_neutral_bytes();
        if (file_write_atomic(argv[2], bytes.data(), bytes.size()) != 0) {
            std::fprintf(stderr, "cannot write %s: %s\n", argv[2], std::strerror(errno));
            return 1;
        }
        return 0;
    }
    if (command == "check") {
        ClassifierModel model;
        std::string error;
        if (classifier_model_load(&model, argv[2], &error) != CLASSIFIER_MODEL_OK) {
            std::fprintf(stderr, "refusing to embed classifier model %s: %s\n", argv[2],
                         error.c_str());
            return 1;
        }
        classifier_model_free(&model);
        return 0;
    }
    return usage();
}
