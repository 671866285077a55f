// mevo-eval: figures for the shipped models on a labelled folder, in one table.
//   mevo-eval [--models DIR] [--limit N] [--skip N] [--cascade FILE.xml] [--cv-upscale F,...]
//             [--frame-ours DX,DY,SW,SH] [--frame-cv DX,DY,SW,SH] FOLDER
// FOLDER laid out like wider-val/ (faces_bbx_gt.txt in the WIDER format and images/): detection
// recall and false positives per image for a range of Detector.ClusterScore values, over all
// faces and over the faces at least 20 px wide that are valid and not heavily occluded; time
// per image; the median framing of the faces found relative to the boxes. --skip and --limit
// choose the images. A --frame-* re-framing (centre shift and size in box widths, e.g. the
// medians measured on other images) adds a second curve with every box re-framed that way, so
// a detector is not penalised for framing faces differently from the annotation.
// FOLDER laid out like faces-utk/ (labels in the file names): gender accuracy, age MAE and
// age-band accuracy on the validation split the trainer never uses.
// Built as mevo-eval-opencv (only when OpenCV is found; never part of the application) it also
// runs OpenCV's LBP cascade (--cascade) on the same images with the same number of threads,
// side by side, its curve over minNeighbors; --cv-upscale runs it once per factor with each
// picture enlarged by it first, since its window (45 px for the frontal face cascade) misses
// smaller faces.
#include <omp.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
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

// Support thresholds of the curves: Detector.ClusterScore for ours, minNeighbors for OpenCV.
constexpr int CURVE_THRESHOLDS[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                    13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
                                    26, 27, 28, 29, 30, 31, 32, 40, 48, 56, 64};
constexpr int CURVE_POINTS = int(std::size(CURVE_THRESHOLDS));
constexpr int WANTED_MIN_WIDTH = 20;  // the product's faces: at least 20 px wide
constexpr int HEAVY_OCCLUSION = 2;
constexpr double MATCH_IOU = 0.4;
// Looser overlap for measuring how a detector frames the faces it finds.
constexpr double FRAMING_IOU = 0.3;

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

// A fixed re-framing of a detector's boxes into the annotation's framing, relative to the box
// width: centre moved by (dx, dy) widths, new width sw and height sh widths. Identity by default.
struct Framing {
    double dx = 0, dy = 0, sw = 1, sh = 1;
    bool identity() const { return dx == 0 && dy == 0 && sw == 1 && sh == 1; }
};

bool parse_framing(const char *text, Framing *f) {
    return sscanf(text, "%lf,%lf,%lf,%lf", &f->dx, &f->dy, &f->sw, &f->sh) == 4 && f->sw > 0 &&
           f->sh > 0;
}

Found reframe(const Found &d, const Framing &f) {
    if (f.identity()) return d;
    double w = d.right - d.left + 1;
    double cx = (d.left + d.right + 1) / 2.0 + f.dx * w,
           cy = (d.top + d.bottom + 1) / 2.0 + f.dy * w;
    double nw = f.sw * w, nh = f.sh * w;
    int left = int(std::lround(cx - nw / 2)), top = int(std::lround(cy - nh / 2));
    return {left, left + std::max(1, int(std::lround(nw))) - 1, top,
            top + std::max(1, int(std::lround(nh))) - 1, d.support};
}

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

struct MatchPair {
    double v;
    size_t d, g;
};

// Greedy one-to-one matching of detections and faces, best overlap first.
std::vector<MatchPair> match(const Truth &t, const std::vector<Found> &found, double min_iou) {
    std::vector<MatchPair> pairs, kept;
    for (size_t i = 0; i < found.size(); ++i)
        for (size_t j = 0; j < t.faces.size(); ++j) {
            double v = iou(found[i], t.faces[j]);
            if (v >= min_iou) pairs.push_back({v, i, j});
        }
    std::sort(pairs.begin(), pairs.end(),
              [](const MatchPair &a, const MatchPair &b) { return a.v > b.v; });
    std::vector<char> face_used(t.faces.size(), 0), det_used(found.size(), 0);
    for (auto &p : pairs) {
        if (face_used[p.g] || det_used[p.d]) continue;
        face_used[p.g] = det_used[p.d] = 1;
        kept.push_back(p);
    }
    return kept;
}

// A detection on a face not counted (too small, invalid) is neither a hit nor a false positive;
// neither is a second detection on a face already found.
// `per_k[k]` are the detections kept at the k-th threshold.
void score_curve(const Truth &t, const std::vector<std::vector<Found>> &per_k, Curve *c) {
    for (int k = 0; k < CURVE_POINTS; ++k) {
        const std::vector<Found> &kept = per_k[size_t(k)];
        std::vector<char> det_used(kept.size(), 0);
        for (auto &p : match(t, kept, MATCH_IOU)) {
            det_used[p.d] = 1;
            ++c->all_found[k];
            c->wanted_found[k] += t.faces[p.g].wanted;
        }
        for (size_t i = 0; i < kept.size(); ++i) {
            if (det_used[i]) continue;
            bool near_face = false;
            for (auto &g : t.faces) near_face |= iou(kept[i], g) >= MATCH_IOU;
            c->fp[k] += !near_face;
        }
    }
    c->all += long(t.faces.size());
    for (auto &g : t.faces) c->wanted += g.wanted;
    ++c->images;
}

// How a detector frames the wanted faces it finds (IoU >= 0.3): the face box's centre offset
// and size relative to the detection's width, measured after any re-framing (then it is what
// is left to correct). The medians give a Framing.
struct FramingSamples {
    std::vector<double> dx, dy, sw, sh;
    void add(const Truth &t, const std::vector<Found> &found) {
        for (auto &p : match(t, found, FRAMING_IOU)) {
            const GtFace &g = t.faces[p.g];
            if (!g.wanted) continue;
            const Found &d = found[p.d];
            double w = d.right - d.left + 1;
            dx.push_back(((g.x + g.w / 2.0) - (d.left + d.right + 1) / 2.0) / w);
            dy.push_back(((g.y + g.h / 2.0) - (d.top + d.bottom + 1) / 2.0) / w);
            sw.push_back(g.w / w);
            sh.push_back(g.h / w);
        }
    }
    static double median(std::vector<double> v) {
        if (v.empty()) return 0;
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        return v[v.size() / 2];
    }
    void print(const char *name) const {
        printf(
            "%s framing of %zu wanted faces found with IoU >= %.1f (medians, in box widths): "
            "%.3f,%.3f,%.3f,%.3f (centre dx, dy, width, height)\n",
            name, dx.size(), FRAMING_IOU, median(dx), median(dy), median(sw), median(sh));
    }
};

// The detections kept at every threshold (support above it), re-framed.
std::vector<std::vector<Found>> per_threshold(const std::vector<Found> &found, const Framing &f) {
    std::vector<std::vector<Found>> per_k(CURVE_POINTS);
    for (int k = 0; k < CURVE_POINTS; ++k)
        for (auto &d : found)
            if (d.support > CURVE_THRESHOLDS[k]) per_k[size_t(k)].push_back(reframe(d, f));
    return per_k;
}

void print_curve(const std::string &name, const char *knob, const Curve &c) {
    printf(
        "\n%s (%ld images, %ld faces, %ld faces >= 20 px valid and not heavily occluded; "
        "%.1f ms per image)\n\n",
        name.c_str(), c.images, c.all, c.wanted,
        c.images ? 1000 * c.seconds / double(c.images) : 0.0);
    printf("| %s | recall, all faces | recall, faces >= 20 px | false positives per image |\n",
           knob);
    printf("|---|---|---|---|\n");
    for (int k = 0; k < CURVE_POINTS; ++k)
        printf("| %d | %.3f | %.3f | %.2f |\n", CURVE_THRESHOLDS[k],
               c.all ? double(c.all_found[k]) / double(c.all) : 0,
               c.wanted ? double(c.wanted_found[k]) / double(c.wanted) : 0,
               c.images ? double(c.fp[k]) / double(c.images) : 0);
}

std::string framing_text(const Framing &f) {
    char b[160];
    snprintf(b, sizeof b, ", boxes re-framed by %.3f,%.3f,%.3f,%.3f", f.dx, f.dy, f.sw, f.sh);
    return b;
}

struct WiderOptions {
    std::string models, cascade;
    int limit = 0, skip = 0;
    Framing ours, cv;
    // OpenCV runs once per factor, its picture enlarged by it first (finds smaller faces).
    std::vector<double> cv_upscales{1.0};
};

// One detector's results on the images: curves with the detector's own framing and, when one
// is given, with the fixed re-framing; framing statistics.
struct Side {
    Curve plain, reframed;
    FramingSamples framing;
    void add(const Truth &t, const std::vector<Found> &found, const Framing &f) {
        score_curve(t, per_threshold(found, Framing{}), &plain);
        std::vector<Found> boxes;
        for (auto &d : found) boxes.push_back(reframe(d, f));
        if (!f.identity()) score_curve(t, per_threshold(found, f), &reframed);
        framing.add(t, boxes);
    }
    void print(const std::string &name, const char *knob, const Framing &f) {
        print_curve(name, knob, plain);
        if (!f.identity()) {
            reframed.seconds = plain.seconds;
            print_curve(name + framing_text(f), knob, reframed);
        }
    }
};

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

#ifdef MEVO_EVAL_OPENCV
std::string upscale_text(double f) {
    char b[32];
    snprintf(b, sizeof b, "%.2f", f);
    return b;
}

// OpenCV's raw windows on the picture enlarged by `upscale`, then its own grouping for every
// minNeighbors value, boxes mapped back to picture pixels.
void run_opencv(cv::CascadeClassifier &cascade, const cv::Mat &picture, double upscale,
                const Framing &framing, const Truth &t, Side *side) {
    std::vector<cv::Rect> rects;
    auto c0 = std::chrono::steady_clock::now();
    cv::Mat scanned = picture;
    if (upscale != 1.0)
        cv::resize(picture, scanned, cv::Size(), upscale, upscale, cv::INTER_LINEAR);
    cascade.detectMultiScale(scanned, rects, 1.1, 0, 0, cv::Size(), cv::Size());
    side->plain.seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - c0).count();
    // minNeighbors k as detectMultiScale applies it: 0 keeps the raw windows, k > 0 keeps the
    // clusters of more than k windows.
    std::vector<std::vector<Found>> per_k(CURVE_POINTS), reframed(CURVE_POINTS);
    std::vector<Found> framing_input;
    for (int k = 0; k < CURVE_POINTS; ++k) {
        int mn = CURVE_THRESHOLDS[k];
        std::vector<cv::Rect> grouped = rects;
        if (mn > 0) cv::groupRectangles(grouped, mn, 0.2);
        for (auto &r : grouped) {
            int l = int(std::lround(r.x / upscale)), tp = int(std::lround(r.y / upscale));
            Found d{l, l + std::max(1, int(std::lround(r.width / upscale))) - 1, tp,
                    tp + std::max(1, int(std::lround(r.height / upscale))) - 1, mn + 1};
            per_k[size_t(k)].push_back(d);
            reframed[size_t(k)].push_back(reframe(d, framing));
            if (mn == 1) framing_input.push_back(reframed[size_t(k)].back());
        }
    }
    score_curve(t, per_k, &side->plain);
    if (!framing.identity()) score_curve(t, reframed, &side->reframed);
    side->framing.add(t, framing_input);
}
#endif

int eval_wider(const std::string &dir, const WiderOptions &o) {
    std::vector<Truth> truth;
    if (!read_wider(dir, &truth)) {
        fprintf(stderr, "mevo-eval: cannot read %s/faces_bbx_gt.txt\n", dir.c_str());
        return 1;
    }
    truth.erase(truth.begin(), truth.begin() + long(std::min(truth.size(), size_t(o.skip))));
    if (o.limit > 0 && truth.size() > size_t(o.limit)) truth.resize(size_t(o.limit));
    Detector dets[3]{};
    int count = 0;
    for (const char *n : {"face16.dat", "face20.dat", "face25.dat"}) {
        std::string p = o.models + "/" + n;
        if (detector_load(&dets[count], p.c_str()) == 0) {
            detector_set_options(&dets[count], 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
            ++count;
        } else {
            fprintf(stderr, "mevo-eval: cannot load %s\n", p.c_str());
        }
    }
    if (count == 0) return 1;
    const int threads = omp_get_max_threads();
#ifdef MEVO_EVAL_OPENCV
    // Both scans get the same threads: OpenCV's parallel loops and our OpenMP region.
    cv::setNumThreads(threads);
    cv::CascadeClassifier cv_cascade;
    bool use_cv = !o.cascade.empty() && cv_cascade.load(o.cascade);
    if (!o.cascade.empty() && !use_cv)
        fprintf(stderr, "mevo-eval: cannot load %s\n", o.cascade.c_str());
    std::vector<Side> cv_sides(use_cv ? o.cv_upscales.size() : 0);
#else
    if (!o.cascade.empty()) fprintf(stderr, "mevo-eval: built without OpenCV, --cascade ignored\n");
#endif
    Side ours;
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
        ours.plain.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::vector<Found> found;
        for (int i = 0; i < groups; ++i)
            found.push_back({out[i].left, out[i].right, out[i].top, out[i].bottom, out[i].weight});
        ours.add(t, found, o.ours);
#ifdef MEVO_EVAL_OPENCV
        for (size_t u = 0; u < cv_sides.size(); ++u)
            run_opencv(cv_cascade, copy, o.cv_upscales[u], o.cv, t, &cv_sides[u]);
#endif
        image_free(&img);
    }
    detector_free(dets, count);
    printf(
        "Detection on %s, images %d .. %ld, %d threads (a face counts as found when a box "
        "overlaps it with IoU >= %.1f)\n",
        dir.c_str(), o.skip, o.skip + ours.plain.images - 1, threads, MATCH_IOU);
    ours.framing.print("mevo (all groups)");
#ifdef MEVO_EVAL_OPENCV
    for (size_t u = 0; u < cv_sides.size(); ++u)
        cv_sides[u].framing.print(
            ("OpenCV x" + upscale_text(o.cv_upscales[u]) + " (minNeighbors 1)").c_str());
#endif
    ours.print("mevo LBP cascades (face16/20/25.dat, octave pyramid, step type 2)",
               "Detector.ClusterScore", o.ours);
#ifdef MEVO_EVAL_OPENCV
    for (size_t u = 0; u < cv_sides.size(); ++u)
        cv_sides[u].print("OpenCV " + o.cascade + " (scale factor 1.1, picture enlarged x" +
                              upscale_text(o.cv_upscales[u]) + ")",
                          "minNeighbors", o.cv);
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
    WiderOptions o;
    o.models = MEVO_SOURCE_PACKAGE_DIR "/modules/lbpdetect/stable";
    std::string dir;
    bool bad = false;
    for (int i = 1; i < argc && !bad; ++i) {
        std::string a = argv[i];
        if (a[0] != '-') {
            bad = !dir.empty();
            dir = a;
            continue;
        }
        const char *v = i + 1 < argc ? argv[++i] : nullptr;
        if (!v) {
            bad = true;
        } else if (a == "--models") {
            o.models = v;
        } else if (a == "--limit") {
            o.limit = atoi(v);
        } else if (a == "--skip") {
            o.skip = std::max(0, atoi(v));
        } else if (a == "--cascade") {
            o.cascade = v;
        } else if (a == "--cv-upscale") {
            bad = !parse_upscales(v, &o.cv_upscales);
        } else if (a == "--frame-ours") {
            bad = !parse_framing(v, &o.ours);
        } else if (a == "--frame-cv") {
            bad = !parse_framing(v, &o.cv);
        } else {
            bad = true;
        }
    }
    if (bad || dir.empty()) {
        fprintf(stderr,
                "usage: %s [--models DIR] [--limit N] [--skip N] [--cascade FILE.xml] "
                "[--cv-upscale F,...] [--frame-ours DX,DY,SW,SH] [--frame-cv DX,DY,SW,SH] FOLDER\n",
                argv[0]);
        return 2;
    }
    if (file_exists(dir + "/faces_bbx_gt.txt")) return eval_wider(dir, o);
    if (!mevo_train::list_images(dir).empty()) return eval_utk(dir, o.limit);
    fprintf(stderr, "mevo-eval: %s holds neither faces_bbx_gt.txt nor labelled pictures\n",
            dir.c_str());
    return 1;
}
