// mevo-classify: runs the camera's per-frame face step on still images and prints the faces.
//
//   mevo-classify [--model FILE]... [--classifier FILE] [--min-rect N] [--gender-bias N]
//                 IMAGE...
//
// For each image: "PATH COUNT", then one line per face:
// "left right top bottom gender face_score age hits" (gender: mean score -100 .. 100, positive
// = man; face_score: summed over the face's boxes; age: mean age before the configured offsets;
// hits: raw detections behind the face).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "classify/classifier.h"
#include "classify/classifier_model.h"
#include "classify/frame_faces.h"
#include "common/log.h"
#include "common/paths.h"
#include "detect/detector.h"
#include "image_io.h"

namespace {

constexpr int kMaxDetectors = 3;
constexpr const char *kDetectorFiles[kMaxDetectors] = {"face16.dat", "face20.dat", "face25.dat"};
constexpr const char *kModelSubdir = "/modules/lbpdetect/stable/";
constexpr int32_t kDefaultMinRect = 20;  // Detector.MinRect's factory default

struct Options {
    std::vector<std::string> models;
    std::string classifier;
    int32_t min_rect = kDefaultMinRect;
    int16_t gender_bias = 0;
    std::vector<std::string> images;
};

void usage(FILE *out) {
    std::fprintf(
        out,
        "usage: mevo-classify [--model FILE]... [--classifier FILE] [--min-rect N]\n"
        "                     [--gender-bias N] IMAGE...\n"
        "Finds and classifies faces in JPEG, PNG or binary PGM images as the camera does.\n"
        "  --model FILE       detector model (up to %d; default: face16/20/25.dat of the\n"
        "                     package under MEVO_ROOT, else of the source tree)\n"
        "  --classifier FILE  classifier model file (default: the built-in model, or\n"
        "                     $%s)\n"
        "  --min-rect N       narrowest face kept, pixels (default %d)\n"
        "  --gender-bias N    classifier gender bias, low 16 bits used (default 0)\n"
        "Output per image: PATH COUNT, then per face:\n"
        "  left right top bottom gender face_score age hits\n",
        kMaxDetectors, CLASSIFIER_MODEL_ENV, kDefaultMinRect);
}

bool parse_int(const char *text, int32_t *out) {
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    *out = int32_t(v);
    return true;
}

// Returns 0 to run, 1 on a usage error, 2 after --help.
int parse_args(int argc, char **argv, Options *opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char **out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mevo-classify: %s needs a value\n", arg.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char *v = nullptr;
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 2;
        } else if (arg == "--model") {
            if (!value(&v)) return 1;
            opt->models.push_back(v);
        } else if (arg == "--classifier") {
            if (!value(&v)) return 1;
            opt->classifier = v;
        } else if (arg == "--min-rect") {
            if (!value(&v) || !parse_int(v, &opt->min_rect)) {
                std::fprintf(stderr, "mevo-classify: --min-rect needs an integer\n");
                return 1;
            }
        } else if (arg == "--gender-bias") {
            if (!value(&v)) return 1;
            opt->gender_bias = classifier_gender_bias_from_text(v);
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "mevo-classify: unknown option %s\n", arg.c_str());
            return 1;
        } else {
            opt->images.push_back(arg);
        }
    }
    if (opt->models.size() > size_t(kMaxDetectors)) {
        std::fprintf(stderr, "mevo-classify: at most %d detector models\n", kMaxDetectors);
        return 1;
    }
    if (opt->images.empty()) {
        usage(stderr);
        return 1;
    }
    return 0;
}

std::vector<std::string> default_models() {
    const std::string dir =
        mevo_root().empty() ? std::string(MEVO_SOURCE_PACKAGE_DIR) : mevo_package_dir();
    std::vector<std::string> paths;
    for (const char *name : kDetectorFiles) paths.push_back(dir + kModelSubdir + name);
    return paths;
}

// Loads what loads, like the camera; returns the number of detectors.
int load_detectors(const std::vector<std::string> &paths, Detector *detectors) {
    int count = 0;
    for (const std::string &path : paths) {
        if (detector_load(&detectors[count], path.c_str()) != 0) {
            std::fprintf(stderr, "mevo-classify: cannot load detector %s\n", path.c_str());
            continue;
        }
        detector_set_options(&detectors[count], 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
        ++count;
    }
    return count;
}

int open_classifier(const Options &opt, ClassifierModel *model) {
    if (opt.classifier.empty()) return classifier_model_open(model);
    std::string error;
    if (classifier_model_load(model, opt.classifier.c_str(), &error) != CLASSIFIER_MODEL_OK) {
        std::fprintf(stderr, "mevo-classify: refusing classifier model %s: %s\n",
                     opt.classifier.c_str(), error.c_str());
        return -1;
    }
    if (classifier_is_untrained(*model)) {
        std::fprintf(stderr, "mevo-classify: classifier model %s is untrained\n",
                     opt.classifier.c_str());
    }
    return 0;
}

// Classifies one image; prints its lines. Returns 0, or -1 when it cannot be read.
int classify_image(const std::string &path, Detector *detectors, int detector_count,
                   const ClassifierModel &model, const FrameFacesConfig &config,
                   std::vector<Detection> &detections) {
    ScopedImage frame;
    std::string error;
    if (imageio_read_grey(path, frame.get(), &error) != 0) {
        std::fprintf(stderr, "mevo-classify: %s: %s\n", path.c_str(), error.c_str());
        return -1;
    }
    ScopedImage detection_image;
    if (image_create(detection_image.get(), PIXEL_GRAY8, 1, frame->width, frame->height,
                     IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP) != IMAGE_OK) {
        std::fprintf(stderr, "mevo-classify: %s: out of memory\n", path.c_str());
        return -1;
    }
    const int k =
        frame_faces_find(frame.get(), nullptr, detection_image.get(), detectors, detector_count,
                         model, config, detections.data(), int(detections.size()));
    if (k < 0) {
        std::fprintf(stderr, "mevo-classify: %s: cannot build the detection image\n", path.c_str());
        return -1;
    }
    std::printf("%s %d\n", path.c_str(), k);
    for (int i = 0; i < k; ++i) {
        const Detection &d = detections[size_t(i)];
        std::printf("%d %d %d %d %d %d %d %d\n", d.left, d.right, d.top, d.bottom, d.gender,
                    d.face_score, d.age, d.hits);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    const int parsed = parse_args(argc, argv, &opt);
    if (parsed != 0) return parsed == 2 ? 0 : 2;
    log_open("mevo-classify");

    Detector detectors[kMaxDetectors] = {};
    const int detector_count =
        load_detectors(opt.models.empty() ? default_models() : opt.models, detectors);
    if (detector_count == 0) {
        std::fprintf(stderr, "mevo-classify: no detector model loaded\n");
        return 1;
    }
    ClassifierModel model;
    if (open_classifier(opt, &model) != 0) {
        detector_free(detectors, detector_count);
        return 1;
    }
    FrameFacesConfig config;
    config.min_rect = opt.min_rect;
    config.gender_bias = opt.gender_bias;
    config.start_shift = frame_faces_start_shift(detectors, detector_count, opt.min_rect);

    std::vector<Detection> detections(DETECTION_CAPACITY);
    int failures = 0;
    for (const std::string &path : opt.images) {
        if (classify_image(path, detectors, detector_count, model, config, detections) != 0) {
            ++failures;
        }
        std::fflush(stdout);
    }
    classifier_model_free(&model);
    detector_free(detectors, detector_count);
    return failures == 0 ? 0 : 1;
}
