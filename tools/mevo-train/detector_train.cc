// Cascade training: lookup-table weak learners over the LBP code at one window position,
// chosen by Real AdaBoost with integer-quantised scores; each stage's threshold keeps
// stage_hit_rate of held-back positives and its negatives are mined with the cascade built so
// far, using the project's own LBP transform and scan, so what is trained is what runs.
#include "detector_train.h"

#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <unordered_set>
#include <vector>

#include "classify/face_classify.h"
#include "detect/detector.h"
#include "detect/lbp.h"
#include "detect/scan.h"
#include "image_io.h"
#include "train_common.h"

namespace mevo_train {

namespace {

constexpr int CODES = 256;
constexpr int SCORE_SCALE = 32;        // table entries are round(SCORE_SCALE * real score)
constexpr double SCORE_LIMIT = 4.0;    // real scores are clipped to +-SCORE_LIMIT
constexpr int SOURCE_PAD = 16;         // replicated border so jittered boxes stay inside
constexpr double SHIFT_JITTER = 1.5;   // window pixels
constexpr double SCALE_JITTER = 1.12;  // neighbouring windows differ by 1.25
constexpr int NEG_SCALES = 4;          // negatives resampled by 2^(-k/4) before the octaves

// Window code samples: count x (window x window) LBP codes, row by row.
struct Samples {
    int dim = 0;
    std::vector<uint8_t> codes;
    size_t count() const { return dim ? codes.size() / size_t(dim) : 0; }
    const uint8_t *at(size_t i) const { return codes.data() + i * size_t(dim); }
};

struct Stage {
    int32_t threshold = 0;
    std::vector<int> positions;  // y * window + x
    std::vector<std::array<int32_t, CODES>> tables;
};

// One jittered positive: the face square (centre cx, cy and side in source pixels) with one LBP
// pixel of margin normalised to (w + 2)^2, optionally mirrored and contrast-changed, its LBP
// codes cut to the window.
bool window_codes(const Image *src, double cx, double cy, double side, bool mirror, double contrast,
                  double offset, int w, Image *patch, Image *lbp, uint8_t *out) {
    double ext = side * (w + 2) / w;
    int left = int(std::lround(cx - ext / 2)), top = int(std::lround(cy - ext / 2));
    int size = std::max(int(std::lround(ext)), w + 2);
    int right = left + size - 1, bottom = top + size - 1;
    if (left < 0 || top < 0 || right >= src->width || bottom >= src->height) return false;
    patch->width = patch->height = w + 2;
    if (face_normalize(patch, src, left, right, top, bottom) != 0) return false;
    if (contrast != 1.0 || offset != 0.0) {
        for (int y = 0; y < patch->height; ++y) {
            uint8_t *row = image_row(patch, y);
            for (int x = 0; x < patch->width; ++x) {
                double v = (row[x] - 128.0) * contrast + 128.0 + offset;
                row[x] = uint8_t(std::clamp(std::lround(v), 0L, 255L));
            }
        }
    }
    if (mirror) image_mirror_horizontal(patch);
    if (lbp_transform(lbp, patch) != 0) return false;
    for (int y = 0; y < w; ++y) memcpy(out + y * w, image_row(lbp, y + 1) + 1, size_t(w));
    return true;
}

struct FaceSource {
    std::string path;
    bool utk;
    bool validation;
};

std::vector<FaceSource> face_sources(const DetectorTrainOptions &o) {
    std::vector<FaceSource> s;
    for (auto &n : list_images(o.data_dir + "/faces-caltech"))
        s.push_back({o.data_dir + "/faces-caltech/" + n, false, name_hash(n) % 5 == 1});
    for (auto &n : utk_subset(list_images(o.data_dir + "/faces-utk"), o.max_utk)) {
        if (is_validation_name(n)) continue;  // kept for the classifier's validation figures
        s.push_back({o.data_dir + "/faces-utk/" + n, true, name_hash(n) % 5 == 1});
    }
    return s;
}

// A size x size picture of `src` turned by `degrees` about (cx, cy), which becomes its centre
// (bilinear, edge pixels repeated): a face with its head tilted sideways.
void rolled_crop(const Image *src, double cx, double cy, double degrees, int size, Image *out) {
    image_create(out, PIXEL_GRAY8, 1, size, size, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
    const double a = degrees * M_PI / 180, c = std::cos(a), s = std::sin(a);
    auto at = [&](int x, int y) {
        return double(
            image_row(src, std::clamp(y, 0, src->height - 1))[std::clamp(x, 0, src->width - 1)]);
    };
    for (int v = 0; v < size; ++v) {
        uint8_t *row = image_row(out, v);
        for (int u = 0; u < size; ++u) {
            const double du = u + 0.5 - size / 2.0, dv = v + 0.5 - size / 2.0;
            const double x = cx + du * c - dv * s - 0.5, y = cy + du * s + dv * c - 0.5;
            const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
            const double fx = x - x0, fy = y - y0;
            const double top = at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx;
            const double bottom = at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx;
            row[u] = uint8_t(std::lround(top * (1 - fy) + bottom * fy));
        }
    }
}

// Two samples per face (plain and mirrored), each with its own jitter, and with roll_degrees
// two more turned by up to that much; training and threshold-setting (held-back) positives
// split by file name.
void make_positives(const DetectorTrainOptions &o, Samples *train, Samples *held) {
    const int w = o.window, dim = w * w;
    auto sources = face_sources(o);
    const int per = o.roll_degrees > 0 ? 4 : 2;
    std::vector<uint8_t> codes(sources.size() * per * size_t(dim));
    std::vector<char> ok(sources.size() * per, 0);
#pragma omp parallel
    {
        Image patch{}, lbp{};
        image_create(&patch, PIXEL_GRAY8, 1, w + 2, w + 2, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
        image_create(&lbp, PIXEL_GRAY8, 1, w + 2, w + 2, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
#pragma omp for schedule(dynamic, 64)
        for (size_t i = 0; i < sources.size(); ++i) {
            Image img{}, padded{};
            std::string err;
            if (imageio_read_grey(sources[i].path, &img, &err) != 0) continue;
            int pad = SOURCE_PAD * std::max(1, img.width / 36);
            if (pad_replicate(&img, pad, &padded) == 0) {
                Box b = sources[i].utk ? utk_face_box(img.width, img.height)
                                       : caltech_face_box(img.width, img.height);
                Rng rng(o.seed * 1000003u + i);
                for (int k = 0; k < per; ++k) {
                    double side0 = b.right - b.left + 1;
                    double scale = std::exp(rng.uniform(-1, 1) * std::log(SCALE_JITTER));
                    double side = side0 * scale;
                    double px = side / w;  // source pixels per window pixel
                    double cx = pad + (b.left + b.right + 1) / 2.0 +
                                rng.uniform(-SHIFT_JITTER, SHIFT_JITTER) * px;
                    double cy = pad + (b.top + b.bottom + 1) / 2.0 +
                                rng.uniform(-SHIFT_JITTER, SHIFT_JITTER) * px;
                    double contrast = rng.uniform(0.7, 1.3), offset = rng.uniform(-20, 20);
                    size_t slot = i * per + size_t(k);
                    uint8_t *out = codes.data() + slot * size_t(dim);
                    if (k < 2) {
                        ok[slot] = window_codes(&padded, cx, cy, side, k == 1, contrast, offset, w,
                                                &patch, &lbp, out);
                        continue;
                    }
                    Image rolled{};
                    const int size = int(std::ceil(side * (w + 2) / w)) + 4;
                    rolled_crop(&padded, cx, cy, rng.uniform(-1, 1) * o.roll_degrees, size,
                                &rolled);
                    ok[slot] = window_codes(&rolled, size / 2.0, size / 2.0, side, k == 3, contrast,
                                            offset, w, &patch, &lbp, out);
                    image_free(&rolled);
                }
            }
            image_free(&padded);
            image_free(&img);
        }
        image_free(&patch);
        image_free(&lbp);
    }
    train->dim = held->dim = dim;
    for (size_t slot = 0; slot < ok.size(); ++slot) {
        if (!ok[slot]) continue;
        Samples *dst = sources[slot / per].validation ? held : train;
        const uint8_t *c = codes.data() + slot * size_t(dim);
        dst->codes.insert(dst->codes.end(), c, c + dim);
    }
}

// An LBP image to mine negatives from; windows overlapping `face` (level pixels) by IoU 0.3 or
// more are not negatives (face pictures used for their non-face parts).
struct Level {
    Image lbp{};
    DetectRect face{-1, -2, -1, -2};
};

bool overlaps_face(const Detection &d, const DetectRect &f) {
    int l = std::max(d.left, f.left), r = std::min(d.right, f.right);
    int t = std::max(d.top, f.top), b = std::min(d.bottom, f.bottom);
    if (r < l || b < t) return false;
    double inter = double(r - l + 1) * (b - t + 1);
    double a = double(d.right - d.left + 1) * (d.bottom - d.top + 1) +
               double(f.right - f.left + 1) * (f.bottom - f.top + 1);
    return inter / (a - inter) >= 0.3;
}

// Scan with the cascade, dropping windows on the face square. Returns the count kept.
int scan_level(Detection *out, int capacity, Level &level, Detector *det) {
    int n = scan_grid(out, capacity, &level.lbp, &level.lbp, det, 1);
    if (level.face.right < level.face.left) return n;
    int kept = 0;
    for (int i = 0; i < n; ++i)
        if (!overlaps_face(out[i], level.face)) out[kept++] = out[i];
    return kept;
}

// LBP images of every negative picture at every scale the scan could meet (octaves of four
// intermediate resamplings), computed once.
std::vector<Level> negative_levels(const DetectorTrainOptions &o) {
    std::vector<std::string> paths;
    for (const char *sub : {"negatives", "negatives-small"})
        for (auto &n : list_images(o.data_dir + "/" + sub))
            paths.push_back(o.data_dir + "/" + sub + "/" + n);
    const size_t plain = paths.size();
    if (o.part_pictures > 0) {
        // Pictures the positives do not use (the subset is taken from the other end).
        auto names = list_images(o.data_dir + "/faces-utk");
        std::vector<std::string> rest;
        auto used = utk_subset(names, o.max_utk);
        for (auto &n : names)
            if (!is_validation_name(n) && !std::binary_search(used.begin(), used.end(), n))
                rest.push_back(n);
        for (auto &n : utk_subset(rest, o.part_pictures))
            paths.push_back(o.data_dir + "/faces-utk/" + n);
    }
    std::vector<std::vector<Level>> per(paths.size());
    const int w = o.window;
#pragma omp parallel for schedule(dynamic, 16)
    for (size_t i = 0; i < paths.size(); ++i) {
        Image img{};
        std::string err;
        if (imageio_read_grey(paths[i], &img, &err) != 0) continue;
        Box fb = i >= plain ? utk_face_box(img.width, img.height) : Box{-1, -2, -1, -2};
        for (int s = 0; s < NEG_SCALES; ++s) {
            double f = std::pow(2.0, -s / double(NEG_SCALES));
            int nw = int(img.width * f), nh = int(img.height * f);
            if (std::min(nw, nh) < w + 2) break;
            Image level{};
            if (s == 0) {
                image_create(&level, PIXEL_GRAY8, 1, nw, nh, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
                image_crop(&level, &img, 0, nw - 1, 0, nh - 1);
            } else if (image_resize(&img, &level, nw, nh, IMAGE_FILTER_BILINEAR) != 0) {
                continue;
            }
            double scale = f;
            while (std::min(level.width, level.height) >= w + 2) {
                Level l;
                image_create(&l.lbp, PIXEL_GRAY8, 1, level.width, level.height, IMAGE_INTERLEAVED,
                             IMAGE_ORIGIN_TOP);
                lbp_transform(&l.lbp, &level);
                if (fb.right >= fb.left)
                    l.face = {int(fb.left * scale), int(fb.right * scale), int(fb.top * scale),
                              int(fb.bottom * scale)};
                per[i].push_back(l);
                image_halve(&level);
                scale /= 2;
            }
            image_free(&level);
        }
        image_free(&img);
    }
    std::vector<Level> all;
    for (auto &v : per) all.insert(all.end(), v.begin(), v.end());
    return all;
}

int write_model(const std::string &path, int w, const std::vector<Stage> &stages) {
    std::string bytes;
    auto put = [&](int32_t v) {
        uint32_t u = uint32_t(v);
        for (int k = 0; k < 4; ++k) bytes.push_back(char((u >> (8 * k)) & 0xFF));
    };
    const std::string name = "face";
    put(int32_t(DETECTOR_MAGIC));
    put(int32_t(name.size()));
    bytes += name;
    put(int32_t(stages.size()));
    put(w);
    put(w);
    int start = 0;
    for (auto &s : stages) {
        put(start);
        start += int(s.positions.size());
    }
    for (auto &s : stages) put(int32_t(s.positions.size()));
    for (auto &s : stages) put(s.threshold);
    for (size_t i = 0; i < stages.size(); ++i) put(DETECTOR_STAGE_LBP);
    for (auto &s : stages) {
        for (size_t f = 0; f < s.positions.size(); ++f) {
            for (int c = 0; c < CODES; ++c) put(s.tables[f][c]);
            int x = s.positions[f] % w, y = s.positions[f] / w;
            put(x);
            put(y);
            put(x + y * w);
        }
    }
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f) return -1;
    bool good = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    good = fclose(f) == 0 && good;
    if (!good || rename(tmp.c_str(), path.c_str()) != 0) return -1;
    return 0;
}

int32_t stage_sum(const Stage &s, const uint8_t *codes) {
    int32_t sum = 0;
    for (size_t f = 0; f < s.positions.size(); ++f) sum += s.tables[f][codes[s.positions[f]]];
    return sum;
}

// Keeps the samples the stage accepts (sum strictly above its threshold).
void filter(Samples *s, const Stage &stage) {
    Samples kept;
    kept.dim = s->dim;
    for (size_t i = 0; i < s->count(); ++i)
        if (stage_sum(stage, s->at(i)) > stage.threshold)
            kept.codes.insert(kept.codes.end(), s->at(i), s->at(i) + s->dim);
    *s = std::move(kept);
}

// Windows the cascade built so far accepts on each level (top * level width + left, in scan
// order). Kept while they are few enough (max_survivors), so that each later stage only tests its
// own features on them instead of rescanning every negative picture with the whole cascade.
struct Survivors {
    bool valid = false;
    size_t stages = 0;  // length of the cascade they passed
    std::vector<std::vector<uint32_t>> at;
};

bool stage_accepts(const Stage &s, const Image &lbp, int w, uint32_t window) {
    const int left = int(window % uint32_t(lbp.width)), top = int(window / uint32_t(lbp.width));
    int32_t sum = 0;
    for (size_t f = 0; f < s.positions.size(); ++f) {
        const int x = s.positions[f] % w, y = s.positions[f] / w;
        sum += s.tables[f][image_row(&lbp, top + y)[left + x]];
    }
    return sum > s.threshold;
}

// Narrows the survivors down to the windows the newest stage also accepts.
void filter_survivors(Survivors &sv, const std::vector<Level> &levels, const Stage &last, int w) {
#pragma omp parallel for schedule(dynamic, 8)
    for (size_t i = 0; i < levels.size(); ++i) {
        auto &v = sv.at[i];
        v.erase(std::remove_if(
                    v.begin(), v.end(),
                    [&](uint32_t win) { return !stage_accepts(last, levels[i].lbp, w, win); }),
                v.end());
    }
    sv.stages++;
}

// Scans every level with the model file's cascade (scan_grid, the project's exhaustive scan) and
// records what it accepts as the survivors. False when the model cannot be loaded.
bool scan_survivors(const std::string &model_path, std::vector<Level> &levels, size_t stages,
                    Survivors &sv) {
    const int threads = omp_get_max_threads();
    std::vector<Detector> dets(static_cast<size_t>(threads));
    for (auto &d : dets) {
        memset(&d, 0, sizeof d);
        if (detector_load(&d, model_path.c_str()) != 0) return false;
    }
    const int w = dets[0].width;
    size_t max_windows = 0;
    for (auto &l : levels)
        max_windows = std::max(max_windows, size_t(std::max(0, l.lbp.width - w)) *
                                                size_t(std::max(0, l.lbp.height - w)));
    std::vector<std::vector<Detection>> buf(size_t(threads),
                                            std::vector<Detection>(max_windows + 1));
    sv.at.assign(levels.size(), {});
#pragma omp parallel for schedule(dynamic, 8)
    for (size_t i = 0; i < levels.size(); ++i) {
        int t = omp_get_thread_num();
        const Detection *d = buf[size_t(t)].data();
        int n =
            scan_level(buf[size_t(t)].data(), int(max_windows + 1), levels[i], &dets[size_t(t)]);
        sv.at[i].resize(size_t(n));
        for (int k = 0; k < n; ++k)
            sv.at[i][size_t(k)] =
                uint32_t(d[k].top) * uint32_t(levels[i].lbp.width) + uint32_t(d[k].left);
    }
    detector_free(dets.data(), int(dets.size()));
    sv.valid = true;
    sv.stages = stages;
    return true;
}

// Ranks (in scan order over all levels) of `want` windows drawn uniformly from `total`.
std::vector<size_t> draw_ranks(size_t total, int want, Rng &rng) {
    std::vector<size_t> ranks;
    if (total <= size_t(want)) {
        ranks.resize(total);
        std::iota(ranks.begin(), ranks.end(), size_t(0));
        return ranks;
    }
    std::unordered_set<size_t> chosen;
    for (size_t j = total - size_t(want); j < total; ++j) {  // Floyd's sampling
        size_t r = size_t(rng.next() % (j + 1));
        if (!chosen.insert(r).second) chosen.insert(j);
    }
    ranks.assign(chosen.begin(), chosen.end());
    std::sort(ranks.begin(), ranks.end());
    return ranks;
}

// Mines negatives_per_stage windows that the cascade `stages` (also written to the output path)
// accepts, spread uniformly over all accepted windows of all negative levels. Returns the number of
// accepted windows in total (the cascade's false positives on the negatives); 0 when the model file
// cannot be loaded.
size_t mine_negatives(const DetectorTrainOptions &o, const std::vector<Stage> &stages,
                      std::vector<Level> &levels, Rng &rng, Samples *out, size_t *windows_total,
                      Survivors &sv) {
    const int w = o.window;
    if (sv.valid && sv.stages + 1 == stages.size())
        filter_survivors(sv, levels, stages.back(), w);
    else if (!scan_survivors(o.out_path, levels, stages.size(), sv))
        return 0;
    std::vector<size_t> first(levels.size() + 1, 0);
    *windows_total = 0;
    for (size_t i = 0; i < levels.size(); ++i) {
        first[i + 1] = first[i] + sv.at[i].size();
        *windows_total += size_t(std::max(0, levels[i].lbp.width - w)) *
                          size_t(std::max(0, levels[i].lbp.height - w));
    }
    const size_t total = first.back();
    std::vector<size_t> ranks = draw_ranks(total, o.negatives_per_stage, rng);
    out->dim = w * w;
    out->codes.clear();
    out->codes.reserve(ranks.size() * size_t(w * w));
    for (size_t i = 0, r = 0; i < levels.size(); ++i) {
        for (; r < ranks.size() && ranks[r] < first[i + 1]; ++r) {
            const uint32_t win = sv.at[i][ranks[r] - first[i]];
            const int left = int(win % uint32_t(levels[i].lbp.width));
            const int top = int(win / uint32_t(levels[i].lbp.width));
            for (int y = 0; y < w; ++y) {
                const uint8_t *row = image_row(&levels[i].lbp, top + y) + left;
                out->codes.insert(out->codes.end(), row, row + w);
            }
        }
    }
    if (total > o.max_survivors) sv = Survivors{};  // too many to keep: the next stage rescans
    return total;
}

// Real AdaBoost over position lookup tables until the stage meets its rates.
Stage boost_stage(const DetectorTrainOptions &o, int stage_index, const Samples &pos,
                  const Samples &neg, const Samples &held, double *false_rate) {
    const int dim = pos.dim;
    const size_t np = pos.count(), nn = neg.count(), n = np + nn;
    std::vector<const uint8_t *> code(n);
    std::vector<double> label(n), weight(n), score(n, 0.0);
    for (size_t i = 0; i < np; ++i) code[i] = pos.at(i), label[i] = 1;
    for (size_t i = 0; i < nn; ++i) code[np + i] = neg.at(i), label[np + i] = -1;
    const int min_features = std::min(2 + stage_index, 8);
    const int max_features = std::min(o.max_features_per_stage, 6 + 6 * stage_index);
    const double eps = 0.1 / double(n);
    Stage stage;
    std::vector<double> hp(size_t(dim) * CODES), hn(size_t(dim) * CODES);
    std::vector<int32_t> held_sum(held.count(), 0), neg_sum(nn, 0);
    *false_rate = 1.0;
    for (int t = 0; t < max_features; ++t) {
        double sp = 0, sn = 0;
        for (size_t i = 0; i < n; ++i) {
            weight[i] = std::exp(-label[i] * score[i]);
            (label[i] > 0 ? sp : sn) += weight[i];
        }
        for (size_t i = 0; i < n; ++i) weight[i] *= 0.5 / (label[i] > 0 ? sp : sn);
        std::vector<double> z(static_cast<size_t>(dim));
#pragma omp parallel for schedule(static)
        for (int p = 0; p < dim; ++p) {
            double *a = &hp[size_t(p) * CODES], *b = &hn[size_t(p) * CODES];
            std::fill(a, a + CODES, 0.0);
            std::fill(b, b + CODES, 0.0);
            for (size_t i = 0; i < np; ++i) a[code[i][p]] += weight[i];
            for (size_t i = np; i < n; ++i) b[code[i][p]] += weight[i];
            double zz = 0;
            for (int c = 0; c < CODES; ++c) zz += std::sqrt((a[c] + eps) * (b[c] + eps));
            z[size_t(p)] = zz;
        }
        int best = int(std::min_element(z.begin(), z.end()) - z.begin());
        std::array<int32_t, CODES> table{};
        for (int c = 0; c < CODES; ++c) {
            double a = hp[size_t(best) * CODES + c], b = hn[size_t(best) * CODES + c];
            double h = std::clamp(0.5 * std::log((a + eps) / (b + eps)), -SCORE_LIMIT, SCORE_LIMIT);
            table[c] = int32_t(std::lround(h * SCORE_SCALE));
        }
        stage.positions.push_back(best);
        stage.tables.push_back(table);
        for (size_t i = 0; i < n; ++i) score[i] += table[code[i][best]] / double(SCORE_SCALE);
        for (size_t i = 0; i < held.count(); ++i) held_sum[i] += table[held.at(i)[best]];
        for (size_t i = 0; i < nn; ++i) neg_sum[i] += table[neg.at(i)[best]];
        std::vector<int32_t> sorted = held_sum;
        std::sort(sorted.begin(), sorted.end());
        size_t m = size_t(std::floor(double(sorted.size()) * (1.0 - o.stage_hit_rate)));
        stage.threshold = sorted.empty() ? 0 : sorted[std::min(m, sorted.size() - 1)] - 1;
        size_t fp = 0;
        for (int32_t s : neg_sum) fp += s > stage.threshold;
        *false_rate = nn ? double(fp) / double(nn) : 0.0;
        if (t + 1 >= min_features && *false_rate <= o.stage_false_rate) break;
    }
    return stage;
}

}  // namespace

bool detector_option(DetectorTrainOptions &o, const std::string &name, const char *value) {
    if (name == "--data") {
        o.data_dir = value;
    } else if (name == "--out") {
        o.out_path = value;
    } else if (name == "--window") {
        o.window = atoi(value);
    } else if (name == "--seed") {
        o.seed = strtoull(value, nullptr, 10);
    } else if (name == "--stages") {
        o.max_stages = atoi(value);
    } else if (name == "--utk") {
        o.max_utk = atoi(value);
    } else if (name == "--negatives") {
        o.negatives_per_stage = atoi(value);
    } else if (name == "--resume") {
        o.resume_path = value;
    } else if (name == "--parts") {
        o.part_pictures = atoi(value);
    } else if (name == "--hit-rate") {
        o.stage_hit_rate = atof(value);
    } else if (name == "--false-rate") {
        o.stage_false_rate = atof(value);
    } else if (name == "--max-features") {
        o.max_features_per_stage = atoi(value);
    } else if (name == "--roll") {
        o.roll_degrees = atof(value);
    } else if (name == "--survivors") {
        o.max_survivors = strtoull(value, nullptr, 10);
    } else {
        return false;
    }
    return true;
}

int detector_train(const DetectorTrainOptions &o) {
    const int w = o.window;
    if (w < 8 || w > 64) {
        fprintf(stderr, "mevo-train: window %d outside 8 .. 64\n", w);
        return 1;
    }
    if (!(o.stage_hit_rate > 0 && o.stage_hit_rate <= 1) ||
        !(o.stage_false_rate > 0 && o.stage_false_rate <= 1) || o.max_features_per_stage < 1 ||
        o.negatives_per_stage < 1) {
        fprintf(stderr,
                "mevo-train: stage rates must lie in (0, 1], feature and negative "
                "counts must be positive\n");
        return 1;
    }
    if (!(o.roll_degrees >= 0 && o.roll_degrees <= 90)) {
        fprintf(stderr, "mevo-train: --roll %g outside 0 .. 90 degrees\n", o.roll_degrees);
        return 1;
    }
    Samples pos, held;
    make_positives(o, &pos, &held);
    fprintf(stderr, "window %d: %zu training positives, %zu held-back positives\n", w, pos.count(),
            held.count());
    if (pos.count() < 100 || held.count() < 100) {
        fprintf(stderr, "mevo-train: too few face pictures under %s\n", o.data_dir.c_str());
        return 1;
    }
    std::vector<Level> levels = negative_levels(o);
    fprintf(stderr, "window %d: %zu negative LBP levels\n", w, levels.size());
    if (levels.empty()) {
        fprintf(stderr, "mevo-train: no negative pictures under %s\n", o.data_dir.c_str());
        return 1;
    }
    std::vector<Stage> stages;
    Rng rng(o.seed);
    int rc = 0;
    size_t held_start = held.count();
    if (!o.resume_path.empty()) {
        Detector d;
        memset(&d, 0, sizeof d);
        if (detector_load(&d, o.resume_path.c_str()) != 0 || d.width != w || d.height != w) {
            fprintf(stderr, "mevo-train: cannot resume from %s\n", o.resume_path.c_str());
            return 1;
        }
        for (int i = 0; i < d.nCasc; ++i) {
            Stage st;
            st.threshold = d.th[i];
            for (int f = d.startInd[i]; f < d.startInd[i] + d.nDetFeat[i]; ++f) {
                const DetectorFeature &df = d.detectorFeat[f];
                st.positions.push_back(df.y * w + df.x);
                std::array<int32_t, CODES> t{};
                std::copy(df.table, df.table + CODES, t.begin());
                st.tables.push_back(t);
            }
            filter(&pos, st);
            filter(&held, st);
            stages.push_back(st);
        }
        detector_free(&d, 1);
        for (size_t i = 0; i < stages.size(); ++i) rng.next();  // keep later draws distinct
        fprintf(stderr, "resumed %zu stages, %zu positives left\n", stages.size(), pos.count());
    }
    Survivors survivors;
    for (int s = int(stages.size()); s < o.max_stages; ++s) {
        if (write_model(o.out_path, w, stages) != 0) {
            fprintf(stderr, "mevo-train: cannot write %s\n", o.out_path.c_str());
            rc = 1;
            break;
        }
        Samples neg;
        size_t windows = 0;
        size_t accepted = mine_negatives(o, stages, levels, rng, &neg, &windows, survivors);
        fprintf(stderr, "stage %d: cascade accepts %zu of %zu negative windows (%.3g)\n", s,
                accepted, windows, windows ? double(accepted) / double(windows) : 0.0);
        if (neg.count() < size_t(std::max(50, o.negatives_per_stage / 50))) break;
        double fr = 1;
        Stage st = boost_stage(o, s, pos, neg, held, &fr);
        stages.push_back(st);
        filter(&pos, st);
        filter(&held, st);
        fprintf(stderr,
                "stage %d: %zu features, threshold %d, stage false rate %.3f, held-back hit "
                "rate so far %.4f\n",
                s, st.positions.size(), st.threshold, fr,
                double(held.count()) / double(held_start));
    }
    if (rc == 0 && write_model(o.out_path, w, stages) != 0) rc = 1;
    for (auto &l : levels) image_free(&l.lbp);
    return rc;
}

}  // namespace mevo_train
