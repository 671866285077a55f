// mevo-train: trains the shipped face models from the shared data folder.
//   mevo-train detector --data DIR --window N --out FILE [--seed S] [--stages N] [--utk N]
//                       [--negatives N] [--resume FILE] [--parts N]
//   mevo-train classifier --data DIR --out FILE [--seed S] [--utk N] [--epochs N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "classifier_train.h"
#include "detector_train.h"
#include "train_common.h"

namespace {

void usage() {
    fprintf(stderr,
            "usage: mevo-train detector --data DIR --window N --out FILE [--seed S] [--stages N]"
            " [--utk N] [--negatives N] [--resume FILE] [--parts N]\n"
            "       mevo-train classifier --data DIR --out FILE [--seed S] [--utk N]"
            " [--epochs N]\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    std::string cmd = argv[1];
    mevo_train::DetectorTrainOptions d;
    mevo_train::ClassifierTrainOptions c;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        const char *v = argv[++i];
        if (a == "--data") {
            d.data_dir = c.data_dir = v;
        } else if (a == "--out") {
            d.out_path = c.out_path = v;
        } else if (a == "--window") {
            d.window = atoi(v);
        } else if (a == "--seed") {
            d.seed = c.seed = strtoull(v, nullptr, 10);
        } else if (a == "--stages") {
            d.max_stages = atoi(v);
        } else if (a == "--utk") {
            d.max_utk = c.max_utk = atoi(v);
        } else if (a == "--negatives") {
            d.negatives_per_stage = atoi(v);
        } else if (a == "--resume") {
            d.resume_path = v;
        } else if (a == "--parts") {
            d.part_pictures = atoi(v);
        } else if (a == "--epochs") {
            c.epochs = atoi(v);
        } else {
            usage();
            return 2;
        }
    }
    if (d.data_dir.empty() || d.out_path.empty()) {
        usage();
        return 2;
    }
    if (!mevo_train::dir_exists(d.data_dir + "/faces-utk")) {
        fprintf(stderr, "mevo-train: no training data under %s\n", d.data_dir.c_str());
        return 1;
    }
    if (cmd == "detector") return mevo_train::detector_train(d);
    if (cmd == "classifier") return mevo_train::classifier_train(c);
    usage();
    return 2;
}
