#include "wider.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/scan.h"
#include "image_io.h"

#ifdef MEVO_EVAL_OPENCV
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#endif

namespace mevo_eval {

namespace {

// Detector.ClusterScore values of our curve; OpenCV's minNeighbors run 0 .. 8.
constexpr int OUR_THRESHOLDS[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                  13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
                                  26, 27, 28, 29, 30, 31, 32, 40, 48, 56, 64};
constexpr int CV_THRESHOLDS[] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
constexpr int WANTED_MIN_WIDTH = 20;  // the product's faces: at least 20 px wide
constexpr int HEAVY_OCCLUSION = 2;
// The usual overlap for a hit, and a looser one that forgives a framing unlike the annotation.
constexpr double MATCH_IOUS[] = {0.5, 0.3};
constexpr int IOUS = int(std::size(MATCH_IOUS));
// Overlap for measuring how a detector frames the faces it finds.
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
using PerThreshold = std::vector<std::vector<Found>>;

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

// Recall and false positives per threshold, at each matching overlap.
struct Curve {
    explicit Curve(size_t points) {
        for (int m = 0; m < IOUS; ++m) {
            all_found[m].assign(points, 0);
            wanted_found[m].assign(points, 0);
            fp[m].assign(points, 0);
        }
    }
    std::vector<long> all_found[IOUS], wanted_found[IOUS], fp[IOUS];
    long all = 0, wanted = 0, images = 0;

    double recall(int m, size_t k) const {
        return wanted ? double(wanted_found[m][k]) / double(wanted) : 0;
    }
    double recall_all(int m, size_t k) const {
        return all ? double(all_found[m][k]) / double(all) : 0;
    }
    double fp_rate(int m, size_t k) const { return images ? double(fp[m][k]) / double(images) : 0; }

    // A detection on a face not counted (too small, invalid) is neither a hit nor a false
    // positive; neither is a second detection on a face already found.
    void add(const Truth &t, const PerThreshold &per_k) {
        for (int m = 0; m < IOUS; ++m)
            for (size_t k = 0; k < per_k.size(); ++k) add_point(t, per_k[k], m, k);
        all += long(t.faces.size());
        for (auto &g : t.faces) wanted += g.wanted;
        ++images;
    }

  private:
    void add_point(const Truth &t, const std::vector<Found> &kept, int m, size_t k) {
        std::vector<char> det_used(kept.size(), 0);
        for (auto &p : match(t, kept, MATCH_IOUS[m])) {
            det_used[p.d] = 1;
            ++all_found[m][k];
            wanted_found[m][k] += t.faces[p.g].wanted;
        }
        for (size_t i = 0; i < kept.size(); ++i) {
            if (det_used[i]) continue;
            bool near_face = false;
            for (auto &g : t.faces) near_face |= iou(kept[i], g) >= MATCH_IOUS[m];
            fp[m][k] += !near_face;
        }
    }
};

// How a detector frames the wanted faces it finds (IoU >= 0.3): the face box's centre offset
// and size relative to the detection's width. The medians give a Framing.
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
};

// One way of running a detector: the picture enlarged by `upscale` first (boxes mapped back),
// its boxes as found and, when a framing is given for it, re-framed.
struct Column {
    Column(double upscale_, const Framing &framing_, size_t points)
        : upscale(upscale_), framing(framing_), plain(points), reframed(points) {}
    double upscale;
    Framing framing;
    Curve plain, reframed;
    FramingSamples samples;
    double seconds = 0;
};

// A detector under test. `scan` returns the boxes of one picture (already enlarged by the
// caller when asked) kept at each threshold, in that picture's pixels.
struct Side {
    std::string label, title, knob;
    std::vector<int> thresholds;
    std::vector<Column> columns;
    std::function<PerThreshold(const Image &)> scan;
};

PerThreshold reframed(const PerThreshold &per_k, const Framing &f) {
    PerThreshold out(per_k.size());
    for (size_t k = 0; k < per_k.size(); ++k)
        for (auto &d : per_k[k]) out[k].push_back(reframe(d, f));
    return out;
}

PerThreshold scaled_back(PerThreshold per_k, double upscale) {
    if (upscale == 1.0) return per_k;
    for (auto &list : per_k)
        for (auto &d : list) {
            int l = int(std::lround(d.left / upscale)), t = int(std::lround(d.top / upscale));
            int w = std::max(1, int(std::lround((d.right - d.left + 1) / upscale)));
            int h = std::max(1, int(std::lround((d.bottom - d.top + 1) / upscale)));
            d = {l, l + w - 1, t, t + h - 1, d.support};
        }
    return per_k;
}

// The picture enlarged by `f` (bilinear, as our own resampling does it for both detectors).
bool enlarged(const Image &src, double f, Image *out) {
    int w = int(std::lround(src.width * f)), h = int(std::lround(src.height * f));
    return image_resize(&src, out, w, h, IMAGE_FILTER_BILINEAR) == IMAGE_OK;
}

void run_side(Side &side, const Image &picture, const Truth &t) {
    for (Column &c : side.columns) {
        Image scaled{};
        const Image *input = &picture;
        if (c.upscale != 1.0) {
            if (!enlarged(picture, c.upscale, &scaled)) continue;
            input = &scaled;
        }
        auto t0 = std::chrono::steady_clock::now();
        PerThreshold per_k = side.scan(*input);
        c.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (input == &scaled) image_free(&scaled);
        per_k = scaled_back(std::move(per_k), c.upscale);
        c.plain.add(t, per_k);
        // Framing measured on the loosest threshold with grouping (1), after any re-framing.
        size_t loose = std::min<size_t>(1, per_k.size() - 1);
        if (!c.framing.identity()) {
            PerThreshold r = reframed(per_k, c.framing);
            c.reframed.add(t, r);
            c.samples.add(t, r[loose]);
        } else {
            c.samples.add(t, per_k[loose]);
        }
    }
}

Side our_side(const std::string &models, Detector *dets, int count) {
    Side s;
    s.label = "ours";
    s.title = "mevo LBP cascades (" + models + "/face16/20/25.dat, octave pyramid, step type 2)";
    s.knob = "Detector.ClusterScore";
    s.thresholds.assign(std::begin(OUR_THRESHOLDS), std::end(OUR_THRESHOLDS));
    auto out = std::make_shared<std::vector<Detection>>(DETECTION_CAPACITY);
    std::vector<int> th = s.thresholds;
    s.scan = [dets, count, out, th](const Image &picture) {
        Image work{};  // the scan uses its picture as scratch
        PerThreshold per_k(th.size());
        if (image_create(&work, PIXEL_GRAY8, 1, picture.width, picture.height, IMAGE_PLANAR,
                         IMAGE_ORIGIN_TOP) != IMAGE_OK ||
            image_to_gray(&work, &picture) != IMAGE_OK)
            return per_k;
        int raw =
            lbp_detect(out->data(), int(out->size()), &work, dets, count, nullptr, nullptr, 0);
        int groups = group_detections(out->data(), std::max(raw, 0));
        image_free(&work);
        for (size_t k = 0; k < th.size(); ++k)
            for (int i = 0; i < groups; ++i) {
                const Detection &d = (*out)[size_t(i)];
                if (d.weight > th[k])
                    per_k[k].push_back({d.left, d.right, d.top, d.bottom, d.weight});
            }
        return per_k;
    };
    return s;
}

#ifdef MEVO_EVAL_OPENCV
// OpenCV's raw windows (scale factor 1.1), then its own grouping for every minNeighbors value:
// 0 keeps the raw windows, k > 0 keeps the clusters of more than k windows.
bool opencv_side(const std::string &file, Side *s) {
    auto cascade = std::make_shared<cv::CascadeClassifier>();
    if (!cascade->load(file)) return false;
    std::string base = file.substr(file.find_last_of('/') + 1);
    s->label = base.substr(0, base.rfind(".xml"));
    s->title = "OpenCV " + base + " (scale factor 1.1)";
    s->knob = "minNeighbors";
    s->thresholds.assign(std::begin(CV_THRESHOLDS), std::end(CV_THRESHOLDS));
    std::vector<int> th = s->thresholds;
    s->scan = [cascade, th](const Image &picture) {
        cv::Mat mat(picture.height, picture.width, CV_8UC1, picture.data, size_t(picture.stride));
        std::vector<cv::Rect> rects;
        cascade->detectMultiScale(mat, rects, 1.1, 0, 0, cv::Size(), cv::Size());
        PerThreshold per_k(th.size());
        for (size_t k = 0; k < th.size(); ++k) {
            std::vector<cv::Rect> grouped = rects;
            if (th[k] > 0) cv::groupRectangles(grouped, th[k], 0.2);
            for (auto &r : grouped)
                per_k[k].push_back({r.x, r.x + r.width - 1, r.y, r.y + r.height - 1, th[k] + 1});
        }
        return per_k;
    };
    return true;
}
#endif

std::string framing_text(const Framing &f) {
    char b[160];
    snprintf(b, sizeof b, "%.3f,%.3f,%.3f,%.3f", f.dx, f.dy, f.sw, f.sh);
    return b;
}

void print_curve(const Side &s, const Column &c, const Curve &curve, bool is_reframed) {
    printf(
        "\n%s, picture x%.2f, boxes %s (%ld images, %ld faces, %ld wanted; %.1f ms per image)\n\n",
        s.title.c_str(), c.upscale,
        is_reframed ? ("re-framed by " + framing_text(c.framing)).c_str() : "as found",
        curve.images, curve.all, curve.wanted,
        curve.images ? 1000 * c.seconds / double(curve.images) : 0.0);
    printf(
        "| %s | recall >= 20 px, IoU 0.5 | FP per image, IoU 0.5 | recall >= 20 px, IoU 0.3 | "
        "FP per image, IoU 0.3 | recall all faces, IoU 0.5 |\n|---|---|---|---|---|---|\n",
        s.knob.c_str());
    for (size_t k = 0; k < s.thresholds.size(); ++k)
        printf("| %d | %.3f | %.2f | %.3f | %.2f | %.3f |\n", s.thresholds[k], curve.recall(0, k),
               curve.fp_rate(0, k), curve.recall(1, k), curve.fp_rate(1, k),
               curve.recall_all(0, k));
}

// Our best recall at no more false positives per image than `fp`; -1 when none is that low.
size_t best_at(const Curve &ours, int m, double fp) {
    size_t best = size_t(-1);
    for (size_t k = 0; k < ours.fp[m].size(); ++k)
        if (ours.fp_rate(m, k) <= fp + 1e-9 &&
            (best == size_t(-1) || ours.recall(m, k) > ours.recall(m, best)))
            best = k;
    return best;
}

// For every point of another detector's curve, ours at no more false positives: like for like
// (same enlargement, both as found or both re-framed).
void print_dominance(const Side &ours, const Side &other, size_t col, bool is_reframed) {
    const Curve &a = is_reframed ? ours.columns[col].reframed : ours.columns[col].plain;
    const Curve &b = is_reframed ? other.columns[col].reframed : other.columns[col].plain;
    for (int m = 0; m < IOUS; ++m) {
        int below = 0;
        printf(
            "\nIoU %.1f, x%.2f, %s: %s against ours\n\n| %s | %s | ours at <= its FP | "
            "ours at or above |\n|---|---|---|---|\n",
            MATCH_IOUS[m], ours.columns[col].upscale, is_reframed ? "re-framed" : "as found",
            other.label.c_str(), other.knob.c_str(), other.label.c_str());
        for (size_t k = 0; k < other.thresholds.size(); ++k) {
            size_t j = best_at(a, m, b.fp_rate(m, k));
            bool ok = j != size_t(-1) && a.recall(m, j) >= b.recall(m, k) - 1e-9;
            below += !ok;
            if (j == size_t(-1))
                printf("| %d | %.3f @ %.2f | none | no |\n", other.thresholds[k], b.recall(m, k),
                       b.fp_rate(m, k));
            else
                printf("| %d | %.3f @ %.2f | %.3f @ %.2f (%d) | %s |\n", other.thresholds[k],
                       b.recall(m, k), b.fp_rate(m, k), a.recall(m, j), a.fp_rate(m, j),
                       ours.thresholds[j], ok ? "yes" : "no");
        }
        printf(
            "\n%s points where ours is below: %d of %zu; scan time %.1f against %.1f ms (%.1fx)\n",
            other.label.c_str(), below, other.thresholds.size(),
            1000 * ours.columns[col].seconds / double(std::max(1L, a.images)),
            1000 * other.columns[col].seconds / double(std::max(1L, b.images)),
            ours.columns[col].seconds > 0 ? other.columns[col].seconds / ours.columns[col].seconds
                                          : 0.0);
    }
}

void print_side(const Side &s) {
    for (const Column &c : s.columns) {
        printf(
            "\n%s x%.2f framing of %zu wanted faces found with IoU >= %.1f (medians, in box "
            "widths, after any re-framing): %.3f,%.3f,%.3f,%.3f (centre dx, dy, width, "
            "height)\n",
            s.label.c_str(), c.upscale, c.samples.dx.size(), FRAMING_IOU,
            FramingSamples::median(c.samples.dx), FramingSamples::median(c.samples.dy),
            FramingSamples::median(c.samples.sw), FramingSamples::median(c.samples.sh));
        print_curve(s, c, c.plain, false);
        if (!c.framing.identity()) print_curve(s, c, c.reframed, true);
    }
}

int load_ours(const std::string &models, Detector *dets) {
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
    return count;
}

void add_columns(Side *s, const WiderOptions &o) {
    Framing f;
    for (auto &[label, framing] : o.framings)
        if (label == s->label) f = framing;
    for (double u : o.upscales) s->columns.emplace_back(u, f, s->thresholds.size());
}

}  // namespace

bool parse_framing(const char *text, Framing *f) {
    return sscanf(text, "%lf,%lf,%lf,%lf", &f->dx, &f->dy, &f->sw, &f->sh) == 4 && f->sw > 0 &&
           f->sh > 0;
}

std::vector<std::string> default_cascades() {
    std::vector<std::string> found;
    for (const char *dir : {"/usr/share/opencv4", "/usr/share/opencv"})
        for (const char *f : {"lbpcascades/lbpcascade_frontalface.xml",
                              "haarcascades/haarcascade_frontalface_default.xml",
                              "lbpcascades/lbpcascade_frontalface_improved.xml"}) {
            std::string p = std::string(dir) + "/" + f;
            if (FILE *fp = fopen(p.c_str(), "r")) {
                fclose(fp);
                found.push_back(p);
            }
        }
    return found;
}

int eval_wider(const std::string &dir, const WiderOptions &o) {
    std::vector<Truth> truth;
    if (!read_wider(dir, &truth)) {
        fprintf(stderr, "mevo-eval: cannot read %s/faces_bbx_gt.txt\n", dir.c_str());
        return 1;
    }
    truth.erase(truth.begin(), truth.begin() + long(std::min(truth.size(), size_t(o.skip))));
    if (o.limit > 0 && truth.size() > size_t(o.limit)) truth.resize(size_t(o.limit));
    Detector dets[3]{};
    int count = load_ours(o.models, dets);
    if (count == 0) return 1;
    const int threads = omp_get_max_threads();
    std::vector<Side> sides;
    sides.push_back(our_side(o.models, dets, count));
#ifdef MEVO_EVAL_OPENCV
    cv::setNumThreads(threads);  // both scans get the same threads
    for (const std::string &file : o.cascades) {
        Side s;
        if (opencv_side(file, &s))
            sides.push_back(std::move(s));
        else
            fprintf(stderr, "mevo-eval: cannot load %s\n", file.c_str());
    }
#else
    if (!o.cascades.empty())
        fprintf(stderr, "mevo-eval: built without OpenCV, only our cascades are measured\n");
#endif
    for (Side &s : sides) add_columns(&s, o);
    for (const Truth &t : truth) {
        Image img{};
        std::string err;
        if (imageio_read_grey(t.path, &img, &err) != 0) {
            fprintf(stderr, "mevo-eval: %s\n", err.c_str());
            continue;
        }
        for (Side &s : sides) run_side(s, img, t);
        image_free(&img);
    }
    detector_free(dets, count);
    printf(
        "Detection on %s, images %d .. %ld, %d threads for every detector; a face counts as "
        "found when a box overlaps it with IoU >= 0.5 (or 0.3); wanted faces: >= 20 px wide, "
        "valid, not heavily occluded\n",
        dir.c_str(), o.skip, o.skip + sides[0].columns[0].plain.images - 1, threads);
    for (const Side &s : sides) print_side(s);
    for (size_t i = 1; i < sides.size(); ++i)
        for (size_t c = 0; c < sides[0].columns.size(); ++c) {
            print_dominance(sides[0], sides[i], c, false);
            if (!sides[0].columns[c].framing.identity() && !sides[i].columns[c].framing.identity())
                print_dominance(sides[0], sides[i], c, true);
        }
    return 0;
}

}  // namespace mevo_eval
