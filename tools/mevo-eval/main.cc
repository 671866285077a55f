// mevo-eval: figures for the shipped models on a labelled folder, in one table.
//   mevo-eval [--models DIR] [--limit N] [--cascade FILE.xml] FOLDER
// FOLDER laid out like wider-val/ (faces_bbx_gt.txt in the WIDER format and images/): detection
// recall and false positives per image for every Detector.ClusterScore from 0 to 8, over all
// faces and over the faces at least 20 px wide that are valid and not heavily occluded; time
// per image. FOLDER laid out like faces-utk/ (labels in the file names): gender accuracy, age
// MAE and age-band accuracy on the validation split the trainer never uses.
// Built as mevo-eval-opencv (only when OpenCV is found; never part of the application) it also
// runs OpenCV's LBP cascade (--cascade) on the same images, side by side, its curve over
// minNeighbors.
#include <omp.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "classifier_eval.h"
#include "classify/classifier_model.h"
#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/scan.h"
#include "image_io.h"
#include "train_common.h"

#ifdef MEVO_EVAL_OPENCV
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#endif

namespace {

constexpr int CURVE_POINTS = 9;       // thresholds 0 .. 8
constexpr int WANTED_MIN_WIDTH = 20;  // the product's faces: at least 20 px wide
constexpr int HEAVY_OCCLUSION = 2;
constexpr double MATCH_IOU = 0.4;

struct GtFace {
    int x, y, w, h;
    bool wanted;  // >= 20 px wide, valid, not heavily occluded
};
struct Truth {
    std::string path;
    std::vector<GtFace> faces;
};
struct Found {
    int left, right, top, bottom;
    int support;  // raw windows behind the group (hits) or OpenCV's neighbours
};

bool read_wider(const std::string &dir, std::vector<Truth> *out) {
    FILE *f = fopen((dir + "/faces_bbx_gt.txt").c_str(), "r");
    if (!f) return false;
    char name[1024];
    while (fscanf(f, "%1023s", name) == 1) {
        int n = 0;
        if (fscanf(f, "%d", &n) != 1) break;
        Truth t{dir + "/images/" + name, {}};
        // An image without faces still has one all-zero line.
        for (int i = 0; i < std::max(n, 1); ++i) {
            int v[10];
            for (int &x : v)
                if (fscanf(f, "%d", &x) != 1) x = 0;
            if (n == 0) continue;
            // x y w h blur expression illumination invalid occlusion pose
            t.faces.push_back({v[0], v[1], v[2], v[3],
                               v[2] >= WANTED_MIN_WIDTH && v[7] == 0 && v[8] < HEAVY_OCCLUSION});
        }
        out->push_back(t);
    }
    fclose(f);
    return !out->empty();
}

double iou(const Found &d, const GtFace &g) {
    int l = std::max(d.left, g.x), r = std::min(d.right, g.x + g.w - 1);
    int t = std::max(d.top, g.y), b = std::min(d.bottom, g.y + g.h - 1);
    if (r < l || b < t) return 0;
    double inter = double(r - l + 1) * (b - t + 1);
    double a = double(d.right - d.left + 1) * (d.bottom - d.top + 1) + double(g.w) * g.h;
    return inter / (a - inter);
}

struct Curve {
    long all_found[CURVE_POINTS] = {}, wanted_found[CURVE_POINTS] = {}, fp[CURVE_POINTS] = {};
    long all = 0, wanted = 0, images = 0;
    double seconds = 0;
};

// Greedy matching, best IoU first. A detection on a face not counted (too small, invalid) is
// neither a hit nor a false positive.
// `per_k[k]` are the detections kept at threshold k.
void score_curve(const Truth &t, const std::vector<std::vector<Found>> &per_k, Curve *c) {
    for (int k = 0; k < CURVE_POINTS; ++k) {
        std::vector<const Found *> kept;
        for (auto &d : per_k[size_t(k)]) kept.push_back(&d);
        std::vector<char> face_used(t.faces.size(), 0), det_used(kept.size(), 0);
        struct Pair {
            double v;
            size_t d, g;
        };
        std::vector<Pair> pairs;
        for (size_t i = 0; i < kept.size(); ++i)
            for (size_t j = 0; j < t.faces.size(); ++j) {
                double v = iou(*kept[i], t.faces[j]);
                if (v >= MATCH_IOU) pairs.push_back({v, i, j});
            }
        std::sort(pairs.begin(), pairs.end(),
                  [](const Pair &a, const Pair &b) { return a.v > b.v; });
        for (auto &p : pairs) {
            if (face_used[p.g] || det_used[p.d]) continue;
            face_used[p.g] = det_used[p.d] = 1;
            ++c->all_found[k];
            c->wanted_found[k] += t.faces[p.g].wanted;
        }
        for (size_t i = 0; i < kept.size(); ++i) {
            if (det_used[i]) continue;
            bool near_face = false;
            for (auto &g : t.faces) near_face |= iou(*kept[i], g) >= MATCH_IOU;
            c->fp[k] += !near_face;
        }
    }
    c->all += long(t.faces.size());
    for (auto &g : t.faces) c->wanted += g.wanted;
    ++c->images;
}

// Threshold k keeps the detections whose support is above k (Detector.ClusterScore).
void score(const Truth &t, const std::vector<Found> &found, Curve *c) {
    std::vector<std::vector<Found>> per_k(CURVE_POINTS);
    for (int k = 0; k < CURVE_POINTS; ++k)
        for (auto &d : found)
            if (d.support > k) per_k[size_t(k)].push_back(d);
    score_curve(t, per_k, c);
}

void print_curve(const char *name, const char *knob, const Curve &c) {
    printf(
        "\n%s (%ld images, %ld faces, %ld faces >= 20 px valid and not heavily occluded; "
        "%.1f ms per image)\n\n",
        name, c.images, c.all, c.wanted, c.images ? 1000 * c.seconds / double(c.images) : 0.0);
    printf("| %s | recall, all faces | recall, faces >= 20 px | false positives per image |\n",
           knob);
    printf("|---|---|---|---|\n");
    for (int k = 0; k < CURVE_POINTS; ++k)
        printf("| %d | %.3f | %.3f | %.2f |\n", k,
               c.all ? double(c.all_found[k]) / double(c.all) : 0,
               c.wanted ? double(c.wanted_found[k]) / double(c.wanted) : 0,
               c.images ? double(c.fp[k]) / double(c.images) : 0);
}

int eval_wider(const std::string &dir, const std::string &models, int limit,
               const std::string &cascade) {
    std::vector<Truth> truth;
    if (!read_wider(dir, &truth)) {
        fprintf(stderr, "mevo-eval: cannot read %s/faces_bbx_gt.txt\n", dir.c_str());
        return 1;
    }
    if (limit > 0 && truth.size() > size_t(limit)) truth.resize(size_t(limit));
    Detector dets[3]{};
    int count = 0;
    for (const char *n : {"face16.dat", "face20.dat", "face25.dat"}) {
        std::string p = models + "/" + n;
        if (detector_load(&dets[count], p.c_str()) == 0) {
            detector_set_options(&dets[count], 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
            ++count;
        } else {
            fprintf(stderr, "mevo-eval: cannot load %s\n", p.c_str());
        }
    }
    if (count == 0) return 1;
#ifdef MEVO_EVAL_OPENCV
    cv::CascadeClassifier cv_cascade;
    bool use_cv = !cascade.empty() && cv_cascade.load(cascade);
    if (!cascade.empty() && !use_cv)
        fprintf(stderr, "mevo-eval: cannot load %s\n", cascade.c_str());
    Curve cv_curve;
#else
    if (!cascade.empty()) fprintf(stderr, "mevo-eval: built without OpenCV, --cascade ignored\n");
#endif
    Curve ours;
    std::vector<Detection> out(DETECTION_CAPACITY);
    for (const Truth &t : truth) {
        Image img{};
        std::string err;
        if (imageio_read_grey(t.path, &img, &err) != 0) {
            fprintf(stderr, "mevo-eval: %s\n", err.c_str());
            continue;
        }
#ifdef MEVO_EVAL_OPENCV
        cv::Mat mat(img.height, img.width, CV_8UC1, img.data, size_t(img.stride));
        cv::Mat copy = mat.clone();  // the scan below uses the frame as scratch
#endif
        auto t0 = std::chrono::steady_clock::now();
        int raw = lbp_detect(out.data(), int(out.size()), &img, dets, count, nullptr, nullptr, 0);
        int groups = group_detections(out.data(), std::max(raw, 0));
        ours.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::vector<Found> found;
        for (int i = 0; i < groups; ++i)
            found.push_back({out[i].left, out[i].right, out[i].top, out[i].bottom, out[i].weight});
        score(t, found, &ours);
#ifdef MEVO_EVAL_OPENCV
        if (use_cv) {
            std::vector<cv::Rect> rects;
            auto c0 = std::chrono::steady_clock::now();
            // Raw windows once, then OpenCV's own grouping for every minNeighbors value.
            cv_cascade.detectMultiScale(copy, rects, 1.1, 0, 0, cv::Size(), cv::Size());
            cv_curve.seconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - c0).count();
            // minNeighbors k as detectMultiScale applies it: 0 keeps the raw windows, k > 0
            // keeps the clusters of more than k windows.
            std::vector<std::vector<Found>> per_k(CURVE_POINTS);
            for (int k = 0; k < CURVE_POINTS; ++k) {
                std::vector<cv::Rect> grouped = rects;
                if (k > 0) cv::groupRectangles(grouped, k, 0.2);
                for (auto &r : grouped)
                    per_k[size_t(k)].push_back(
                        {r.x, r.x + r.width - 1, r.y, r.y + r.height - 1, k + 1});
            }
            score_curve(t, per_k, &cv_curve);
        }
#endif
        image_free(&img);
    }
    detector_free(dets, count);
    printf("Detection on %s (a face counts as found when a box overlaps it with IoU >= %.1f)\n",
           dir.c_str(), MATCH_IOU);
    print_curve("mevo LBP cascades (face16/20/25.dat, octave pyramid, step type 2)",
                "Detector.ClusterScore", ours);
#ifdef MEVO_EVAL_OPENCV
    if (use_cv)
        print_curve(("OpenCV " + cascade + " (scale 1.1)").c_str(), "minNeighbors", cv_curve);
#endif
    return 0;
}

int eval_utk(const std::string &dir, int limit) {
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

}  // namespace

int main(int argc, char **argv) {
    std::string models = MEVO_SOURCE_PACKAGE_DIR "/modules/lbpdetect/stable", cascade, dir;
    int limit = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--models" || a == "--limit" || a == "--cascade") && i + 1 < argc) {
            const char *v = argv[++i];
            if (a == "--models") models = v;
            if (a == "--limit") limit = atoi(v);
            if (a == "--cascade") cascade = v;
        } else if (a[0] != '-' && dir.empty()) {
            dir = a;
        } else {
            dir.clear();
            break;
        }
    }
    if (dir.empty()) {
        fprintf(stderr, "usage: %s [--models DIR] [--limit N] [--cascade FILE.xml] FOLDER\n",
                argv[0]);
        return 2;
    }
    if (file_exists(dir + "/faces_bbx_gt.txt")) return eval_wider(dir, models, limit, cascade);
    if (!mevo_train::list_images(dir).empty()) return eval_utk(dir, limit);
    fprintf(stderr, "mevo-eval: %s holds neither faces_bbx_gt.txt nor labelled pictures\n",
            dir.c_str());
    return 1;
}
