// mevo-train: trains the shipped face models from the shared data folder.
//   mevo-train detector --data DIR --window N --out FILE [--seed S] [--stages N] [--utk N]
//                       [--negatives N] [--resume FILE] [--parts N] [--hit-rate R]
//                       [--false-rate R] [--max-features N] [--survivors N]
//                       [--roll DEG]
//   mevo-train classifier --data DIR --out FILE [--seed S] [--utk N] [--iterations N]
//                         [--samples N] [--grids LIST] [--gender-l2 LIST] [--age-l2 LIST]
//                         [--face-l2 LIST] [--huber YEARS] [--framing MIN,MAX,RAISE]
//                         [--holdout 0|1]
// The options are described in detector_train.h and classifier_train.h.
#include <cstdio>
#include <string>

#include "classifier_train.h"
#include "detector_train.h"
#include "train_common.h"

namespace {

void usage() {
    fprintf(stderr,
            "usage: mevo-train detector --data DIR --window N --out FILE [--seed S] [--stages N]\n"
            "           [--utk N] [--negatives N] [--resume FILE] [--parts N] [--hit-rate R]\n"
            "           [--false-rate R] [--max-features N] [--survivors N]\n"
            "           [--roll DEG]\n"
            "       mevo-train classifier --data DIR --out FILE [--seed S] [--utk N]\n"
            "           [--iterations N] [--samples N] [--grids LIST] [--gender-l2 LIST]\n"
            "           [--age-l2 LIST] [--face-l2 LIST] [--huber YEARS]\n"
            "           [--framing MIN,MAX,RAISE] [--holdout 0|1]\n");
}

// Each command parses its own options, so the two trainers evolve independently.
template <typename Options, typename Apply>
bool parse_options(int argc, char **argv, Options &options, Apply apply) {
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc || !apply(options, argv[i], argv[i + 1])) return false;
    }
    return !options.data_dir.empty() && !options.out_path.empty();
}

bool has_data(const std::string &dir) {
    if (mevo_train::dir_exists(dir + "/faces-utk")) return true;
    fprintf(stderr, "mevo-train: no training data under %s\n", dir.c_str());
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    std::string cmd = argc >= 2 ? argv[1] : "";
    if (cmd == "detector") {
        mevo_train::DetectorTrainOptions d;
        if (!parse_options(argc, argv, d, mevo_train::detector_option)) {
            usage();
            return 2;
        }
        return has_data(d.data_dir) ? mevo_train::detector_train(d) : 1;
    }
    if (cmd == "classifier") {
        mevo_train::ClassifierTrainOptions c;
        if (!parse_options(argc, argv, c, mevo_train::classifier_option)) {
            usage();
            return 2;
        }
        return has_data(c.data_dir) ? mevo_train::classifier_train(c) : 1;
    }
    usage();
    return 2;
}
