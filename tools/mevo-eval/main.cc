// mevo-eval: figures for the shipped models on a labelled folder.
//   mevo-eval [--models DIR] [--limit N] [--skip N] [--cascade FILE.xml]... [--upscale F,...]
//             [--frame LABEL=DX,DY,SW,SH]... WIDER_FOLDER
//   mevo-eval [--limit N] UTK_FOLDER
//   mevo-eval --walks [--models DIR] [--negatives DIR] [--limit N] [--seed N] [--size WxH]
//             [--fps F] [--walk-seconds S] [--cluster-score N] [--list] UTK_FOLDER
// A folder laid out like wider-val/: detection, see wider.h. Built as mevo-eval-opencv (only
// when OpenCV is found; never part of the application) OpenCV's classic frontal face cascades
// run beside ours (--cascade replaces that list).
// A folder laid out like faces-utk/ (labels in the file names): gender accuracy, age MAE and
// age-band accuracy on the validation split the trainer never uses, on the known face square.
// --walks: the validation faces walk through scenes, through the application's frame pipeline
// and tracker, and the people it counts are scored; see walks.h.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "classifier_eval.h"
#include "classify/classifier_model.h"
#include "train_common.h"
#include "walks.h"
#include "wider.h"

namespace {

// A comma-separated list of enlargement factors, each within 1 .. 4.
bool parse_upscales(const char *text, std::vector<double> *out) {
    out->clear();
    for (const char *p = text; *p;) {
        char *end = nullptr;
        double f = strtod(p, &end);
        if (end == p || !(f >= 1.0 && f <= 4.0)) return false;
        out->push_back(f);
        p = *end == ',' ? end + 1 : end;
        if (*end != ',' && *end != 0) return false;
    }
    return !out->empty();
}

bool parse_labelled_framing(const char *text, mevo_eval::WiderOptions *o) {
    const char *eq = strchr(text, '=');
    mevo_eval::Framing f;
    if (!eq || eq == text || !mevo_eval::parse_framing(eq + 1, &f)) return false;
    o->framings.emplace_back(std::string(text, size_t(eq - text)), f);
    return true;
}

std::vector<std::string> validation_paths(const std::string &dir, int limit) {
    std::vector<std::string> paths;
    for (auto &n : mevo_train::list_images(dir))
        if (mevo_train::is_validation_name(n)) paths.push_back(dir + "/" + n);
    if (limit > 0 && paths.size() > size_t(limit)) {
        std::vector<std::string> spread;  // every k-th, so all ages stay in
        size_t step = paths.size() / size_t(limit);
        for (size_t i = 0; i < paths.size() && spread.size() < size_t(limit); i += step)
            spread.push_back(paths[i]);
        paths = spread;
    }
    return paths;
}

int eval_utk(const std::string &dir, int limit) {
    std::vector<std::string> paths = validation_paths(dir, limit);
    ClassifierModel m;
    if (classifier_model_open(&m) != 0) return 1;
    printf("Classifier (%s) on the validation split of %s, face square and its 8 jitter boxes\n\n",
           m.source.c_str(), dir.c_str());
    mevo_train::print_classifier_scores(stdout, mevo_train::classifier_evaluate(paths, m));
    classifier_model_free(&m);
    return 0;
}

bool file_exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

struct Options {
    mevo_eval::WiderOptions wider;
    mevo_eval::WalksOptions walks;
    bool run_walks = false;
    bool cascades_given = false;
    int limit = 0;
    std::string dir;
};

// One option with its value; false when it is unknown or its value is bad.
bool parse_option(const std::string &a, const char *v, Options *o) {
    if (a == "--models") {
        o->wider.models = o->walks.models = v;
    } else if (a == "--limit") {
        o->limit = atoi(v);
    } else if (a == "--skip") {
        o->wider.skip = std::max(0, atoi(v));
    } else if (a == "--cascade") {
        if (!o->cascades_given) o->wider.cascades.clear();
        o->cascades_given = true;
        o->wider.cascades.push_back(v);
    } else if (a == "--upscale") {
        return parse_upscales(v, &o->wider.upscales);
    } else if (a == "--frame") {
        return parse_labelled_framing(v, &o->wider);
    } else if (a == "--negatives") {
        o->walks.negatives = v;
    } else if (a == "--seed") {
        o->walks.seed = strtoull(v, nullptr, 10);
    } else if (a == "--size") {
        return sscanf(v, "%dx%d", &o->walks.width, &o->walks.height) == 2 && o->walks.width >= 64 &&
               o->walks.height >= 64;
    } else if (a == "--fps") {
        o->walks.fps = atof(v);
        return o->walks.fps >= 1 && o->walks.fps <= 60;
    } else if (a == "--walk-seconds") {
        o->walks.walk_seconds = atof(v);
        return o->walks.walk_seconds > 0 && o->walks.walk_seconds <= 30;
    } else if (a == "--cluster-score") {
        o->walks.cluster_score = atoi(v);
    } else {
        return false;
    }
    return true;
}

bool parse_args(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--walks") {
            o->run_walks = true;
        } else if (a == "--list") {
            o->walks.list = true;
        } else if (a[0] != '-') {
            if (!o->dir.empty()) return false;
            o->dir = a;
        } else if (i + 1 >= argc || !parse_option(a, argv[++i], o)) {
            return false;
        }
    }
    return !o->dir.empty();
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    o.wider.models = o.walks.models = MEVO_SOURCE_PACKAGE_DIR "/modules/lbpdetect/stable";
    o.wider.cascades = mevo_eval::default_cascades();
    if (!parse_args(argc, argv, &o)) {
        fprintf(
            stderr,
            "usage: %s [--models DIR] [--limit N] [--skip N] [--cascade FILE.xml]... "
            "[--upscale F,...] [--frame LABEL=DX,DY,SW,SH]... WIDER_FOLDER\n"
            "       %s [--limit N] UTK_FOLDER\n"
            "       %s --walks [--models DIR] [--negatives DIR] [--limit N] [--seed N] "
            "[--size WxH] [--fps F] [--walk-seconds S] [--cluster-score N] [--list] UTK_FOLDER\n",
            argv[0], argv[0], argv[0]);
        return 2;
    }
    if (o.run_walks) {
        if (o.walks.negatives.empty()) o.walks.negatives = o.dir + "/../negatives";
        o.walks.faces = validation_paths(o.dir, o.limit > 0 ? o.limit : 300);
        return mevo_eval::eval_walks(o.walks);
    }
    o.wider.limit = o.limit;
    if (file_exists(o.dir + "/faces_bbx_gt.txt")) return mevo_eval::eval_wider(o.dir, o.wider);
    if (!mevo_train::list_images(o.dir).empty()) return eval_utk(o.dir, o.limit);
    fprintf(stderr, "mevo-eval: %s holds neither faces_bbx_gt.txt nor labelled pictures\n",
            o.dir.c_str());
    return 1;
}
