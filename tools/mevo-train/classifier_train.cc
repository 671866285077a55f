// Classifier table training. Faces are framed like the detector's positives (utk_face_box),
// normalised with face_normalize and coded with lbp_code_map exactly as at run time. The run-time
// model is one weight per (position, code) table entry, but 1.19 M free weights per table overfit
// ~31k samples badly. So each entry is trained as a sum of tied weights ("views"): a weight per
// (coarse cell, code) shared by all positions of a cell of a coarse grid over each resolution
// (the classic LBP cell histogram), the same on a finer grid, and a per-(position, code) residual
// with a much stronger penalty. The sum is expanded into the tables afterwards.
//   gender: L2-regularised logistic regression (man = 1), quantised against the gender divisor;
//   age:    Huber (robust) linear regression in years, quantised against the age divisor and
//           the age bias;
//   face:   logistic regression of faces against non-face patches over the D = 32 positions.
// All three are fitted full-batch with L-BFGS (deterministic: every parallel loop writes fixed
// slots and sums in a fixed order). Intercepts are spread over the positions (exactly one code
// per position is active).
// Validation: the faces-utk split of is_validation_name, scored with classify_patch over each
// face and its eight jitter boxes, as the frame pipeline averages them.
#include "classifier_train.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <numeric>
#include <vector>

#include "classifier_eval.h"
#include "classify/classifier.h"
#include "classify/classifier_model.h"
#include "classify/face_classify.h"
#include "detect/detection.h"
#include "image_io.h"
#include "train_common.h"

namespace mevo_train {

namespace {

constexpr int POSITIONS = 48 * 48 + 38 * 38 + 30 * 30;  // 4648
constexpr int FACE_POSITIONS = 30 * 30;
constexpr int FACE_FIRST = 48 * 48 + 38 * 38;  // first D = 32 position
constexpr int CODES = CLASSIFIER_CODES;
constexpr int RESOLUTIONS[] = {CLASSIFIER_D50, CLASSIFIER_D40, CLASSIFIER_D32};
constexpr int JITTER_DIVISOR = 16;  // jitter boxes move by width / 16, as add_jitter_boxes does
constexpr int FORWARD_CHUNKS = 8;   // fixed, so sums do not depend on the thread count
constexpr int LBFGS_HISTORY = 8;
constexpr double MAX_GRID = 48;  // cells per side: the largest resolution has 48 x 48 positions
constexpr double ARMIJO_C1 = 1e-4;
constexpr int MAX_BACKTRACKS = 30;
constexpr uint32_t INNER_BUCKETS = 5;  // holdout: 1 in 5 training pictures

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The classifier reads the patch row by row without padding: stride = width.
void create_patch(Image *patch) {
    image_create_with_stride(patch, PIXEL_GRAY8, 1, CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE,
                             CLASSIFIER_PATCH_SIZE, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
}

// Codes of one patch in table order (resolutions 50, 40, 32; x outer, y inner), POSITIONS bytes.
bool patch_codes(const Image *img, Box b, bool mirror, Image *patch, uint8_t *out) {
    if (face_normalize(patch, img, b.left, b.right, b.top, b.bottom) != 0) return false;
    if (mirror) image_mirror_horizontal(patch);
    uint8_t map[CLASSIFIER_PATCH_SIZE * CLASSIFIER_PATCH_SIZE];
    int j = 0;
    for (int d : RESOLUTIONS) {
        lbp_code_map(patch->data, CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE, map, d, d);
        for (int x = 1; x <= d - 2; ++x)
            for (int y = 1; y <= d - 2; ++y) out[j++] = map[y * d + x];
    }
    return true;
}

struct Face {
    std::string path;
    int age;
    int gender;  // 1 man, 0 woman
};

// Codes of n samples over `count` consecutive positions, stored position-major
// (codes[j * n + s]): the fitting loops run over positions, each touching one 256-entry block.
struct CodeColumns {
    size_t n = 0;
    int count = 0;
    std::vector<uint8_t> codes;
    const uint8_t *column(int j) const { return codes.data() + size_t(j) * n; }
};

// Random non-face boxes from the negative pictures (square, 24 px up to the picture's side),
// sample-major (POSITIONS codes each).
void negative_codes(const ClassifierTrainOptions &o, size_t want, Rng &rng,
                    std::vector<uint8_t> *out) {
    std::vector<std::string> paths;
    for (const char *sub : {"negatives", "negatives-small"})
        for (auto &n : list_images(o.data_dir + "/" + sub))
            paths.push_back(o.data_dir + "/" + sub + "/" + n);
    if (paths.empty()) return;
    Image patch{};
    create_patch(&patch);
    std::vector<uint8_t> codes(POSITIONS);
    size_t per_big = std::max<size_t>(1, want / 2 / 274 + 1);
    for (size_t i = 0; i < paths.size() && out->size() / POSITIONS < want; ++i) {
        Image img{};
        std::string err;
        if (imageio_read_grey(paths[i], &img, &err) != 0) continue;
        int side_max = std::min(img.width, img.height);
        size_t n = side_max > 100 ? per_big : 1;
        for (size_t k = 0; k < n; ++k) {
            int side = side_max > 100 ? 24 + rng.below(side_max - 24) : side_max;
            int left = rng.below(img.width - side + 1), top = rng.below(img.height - side + 1);
            Box b{left, left + side - 1, top, top + side - 1};
            if (patch_codes(&img, b, rng.below(2) == 1, &patch, codes.data()))
                out->insert(out->end(), codes.begin(), codes.end());
        }
        image_free(&img);
    }
    image_free(&patch);
}

// Cell of table position `j` (0 .. POSITIONS - 1) in a grid of `grid` x `grid` cells per
// resolution (0: one cell per position), numbered across the resolutions.
int position_cell(int j, int grid) {
    int base_position = 0, base_cell = 0;
    for (int d : RESOLUTIONS) {
        int n = d - 2;
        int g = grid <= 0 ? n : std::min(grid, n);
        if (j < base_position + n * n) {
            int k = j - base_position, x = k / n, y = k % n;
            return base_cell + (x * g / n) * g + y * g / n;
        }
        base_position += n * n;
        base_cell += g * g;
    }
    return -1;
}

// One tied view over the problem's positions: members[b] lists the (relative) positions whose
// entries share block b's 256 weights.
struct View {
    std::vector<int> block;  // per relative position
    std::vector<std::vector<int>> members;
    double l2 = 0;
    size_t offset = 0;  // first parameter
};

std::vector<View> make_views(const std::vector<int> &grids, const ViewPenalties &l2, int first,
                             int count) {
    std::vector<View> views;
    size_t offset = 0;
    for (size_t v = 0; v < grids.size(); ++v) {
        View view;
        view.l2 = l2[v];
        view.offset = offset;
        std::vector<int> renumber;  // cells of other resolutions are absent from the face range
        for (int j = 0; j < count; ++j) {
            int cell = position_cell(first + j, grids[v]);
            if (size_t(cell) >= renumber.size()) renumber.resize(size_t(cell) + 1, -1);
            if (renumber[size_t(cell)] < 0) {
                renumber[size_t(cell)] = int(view.members.size());
                view.members.emplace_back();
            }
            view.block.push_back(renumber[size_t(cell)]);
            view.members[size_t(view.block.back())].push_back(j);
        }
        offset += view.members.size() * CODES;
        views.push_back(std::move(view));
    }
    return views;
}

enum class Loss { LOGISTIC, HUBER };

// A convex fitting problem: minimise mean loss(z_s, y_s) over samples of weight 1 plus the
// views' L2 penalties, where z_s = bias + sum over positions of table[j][code_s(j)].
struct Problem {
    const CodeColumns *x = nullptr;
    std::vector<double> y;
    std::vector<char> use;  // samples that could be normalised
    Loss loss = Loss::LOGISTIC;
    double huber = 1;
    std::vector<View> views;
    size_t parameters() const {
        const View &last = views.back();
        return last.offset + last.members.size() * CODES + 1;  // + bias
    }
};

double softplus(double z) {
    return z > 0 ? z + std::log1p(std::exp(-z)) : std::log1p(std::exp(z));
}

double sigmoid(double z) {
    return 1.0 / (1.0 + std::exp(-z));
}

// Table entries (without bias) from the views' weights: count x 256.
void expand(const Problem &p, const std::vector<double> &w, std::vector<double> *table) {
    int count = p.x->count;
    table->assign(size_t(count) * CODES, 0.0);
#pragma omp parallel for schedule(static)
    for (int j = 0; j < count; ++j) {
        double *t = table->data() + size_t(j) * CODES;
        for (const View &v : p.views) {
            const double *vw = w.data() + v.offset + size_t(v.block[size_t(j)]) * CODES;
            for (int c = 0; c < CODES; ++c) t[c] += vw[c];
        }
    }
}

// Scores z_s of every sample from expanded table entries and a bias.
void forward(const CodeColumns &x, const std::vector<double> &table, double bias,
             std::vector<double> *z) {
    std::vector<std::vector<double>> part(FORWARD_CHUNKS, std::vector<double>(x.n, 0.0));
#pragma omp parallel for schedule(dynamic, 1)
    for (int k = 0; k < FORWARD_CHUNKS; ++k) {
        double *zp = part[size_t(k)].data();
        for (int j = k * x.count / FORWARD_CHUNKS; j < (k + 1) * x.count / FORWARD_CHUNKS; ++j) {
            const uint8_t *col = x.column(j);
            const double *t = table.data() + size_t(j) * CODES;
            for (size_t s = 0; s < x.n; ++s) zp[s] += t[col[s]];
        }
    }
    z->assign(x.n, bias);
    for (int k = 0; k < FORWARD_CHUNKS; ++k)
        for (size_t s = 0; s < x.n; ++s) (*z)[s] += part[size_t(k)][s];
}

// Objective value and gradient at parameters w.
struct Evaluator {
    const Problem &p;
    std::vector<double> table, z, dz, hist;
    size_t used = 0;
    explicit Evaluator(const Problem &problem) : p(problem) {
        for (char u : p.use) used += u != 0;
    }

    double operator()(const std::vector<double> &w, std::vector<double> *grad) {
        expand(p, w, &table);
        forward(*p.x, table, w.back(), &z);
        const size_t n = p.x->n;
        dz.assign(n, 0.0);
        double loss = 0, dbias = 0, inv = 1.0 / double(std::max<size_t>(used, 1));
        for (size_t s = 0; s < n; ++s) {
            if (!p.use[s]) continue;
            double l, d;
            if (p.loss == Loss::LOGISTIC) {
                l = softplus(z[s]) - p.y[s] * z[s];
                d = sigmoid(z[s]) - p.y[s];
            } else {
                double r = z[s] - p.y[s], a = std::fabs(r);
                l = a <= p.huber ? 0.5 * r * r : p.huber * (a - 0.5 * p.huber);
                d = std::clamp(r, -p.huber, p.huber);
            }
            loss += l * inv;
            dz[s] = d * inv;
            dbias += dz[s];
        }
        // Per-position gradient of the table entries, then summed into each view's blocks.
        const int count = p.x->count;
        hist.assign(size_t(count) * CODES, 0.0);
#pragma omp parallel for schedule(static)
        for (int j = 0; j < count; ++j) {
            const uint8_t *col = p.x->column(j);
            double *h = hist.data() + size_t(j) * CODES;
            for (size_t s = 0; s < n; ++s) h[col[s]] += dz[s];
        }
        grad->assign(w.size(), 0.0);
        double penalty = 0;
        for (const View &v : p.views) {
            const int blocks = int(v.members.size());
#pragma omp parallel for schedule(dynamic, 4)
            for (int b = 0; b < blocks; ++b) {
                double *g = grad->data() + v.offset + size_t(b) * CODES;
                const double *vw = w.data() + v.offset + size_t(b) * CODES;
                for (int j : v.members[size_t(b)]) {
                    const double *h = hist.data() + size_t(j) * CODES;
                    for (int c = 0; c < CODES; ++c) g[c] += h[c];
                }
                for (int c = 0; c < CODES; ++c) g[c] += v.l2 * vw[c];
            }
            for (size_t i = v.offset; i < v.offset + v.members.size() * CODES; ++i)
                penalty += 0.5 * v.l2 * w[i] * w[i];
        }
        grad->back() = dbias;
        return loss + penalty;
    }
};

double dot(const std::vector<double> &a, const std::vector<double> &b) {
    double s = 0;
    for (size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

// Limited-memory BFGS with Armijo backtracking; the problems are smooth and convex.
void lbfgs(Evaluator &f, std::vector<double> *w, int iterations, const char *what) {
    auto t0 = std::chrono::steady_clock::now();
    std::vector<double> g, gn, d, wn;
    double fx = f(*w, &g);
    std::deque<std::vector<double>> ss, ys;
    std::deque<double> rho;
    for (int it = 0; it < iterations; ++it) {
        // Two-loop recursion: d = -H g.
        d = g;
        std::vector<double> alpha(ss.size());
        for (size_t k = ss.size(); k-- > 0;) {
            alpha[k] = rho[k] * dot(ss[k], d);
            for (size_t i = 0; i < d.size(); ++i) d[i] -= alpha[k] * ys[k][i];
        }
        double gamma = ss.empty() ? 1.0 / std::sqrt(std::max(dot(g, g), 1e-300))
                                  : dot(ss.back(), ys.back()) / dot(ys.back(), ys.back());
        for (double &v : d) v *= gamma;
        for (size_t k = 0; k < ss.size(); ++k) {
            double beta = rho[k] * dot(ys[k], d);
            for (size_t i = 0; i < d.size(); ++i) d[i] += (alpha[k] - beta) * ss[k][i];
        }
        for (double &v : d) v = -v;
        double slope = dot(g, d);
        if (slope >= 0) {  // not a descent direction: restart from the gradient
            ss.clear();
            ys.clear();
            rho.clear();
            d = g;
            double scale = -1.0 / std::sqrt(std::max(dot(g, g), 1e-300));
            for (double &v : d) v *= scale;
            slope = dot(g, d);
        }
        double step = 1, fn = 0;
        int tries = 0;
        for (;; ++tries) {
            wn = *w;
            for (size_t i = 0; i < wn.size(); ++i) wn[i] += step * d[i];
            fn = f(wn, &gn);
            if (fn <= fx + ARMIJO_C1 * step * slope || tries >= MAX_BACKTRACKS) break;
            step *= 0.5;
        }
        if (tries >= MAX_BACKTRACKS && fn > fx) break;  // no progress possible
        std::vector<double> s(wn.size()), yv(wn.size());
        for (size_t i = 0; i < wn.size(); ++i) {
            s[i] = wn[i] - (*w)[i];
            yv[i] = gn[i] - g[i];
        }
        double sy = dot(s, yv);
        if (sy > 1e-12 * dot(yv, yv)) {
            if (ss.size() == LBFGS_HISTORY) {
                ss.pop_front();
                ys.pop_front();
                rho.pop_front();
            }
            ss.push_back(std::move(s));
            ys.push_back(std::move(yv));
            rho.push_back(1.0 / sy);
        }
        w->swap(wn);
        g.swap(gn);
        fx = fn;
        if (it % 25 == 0 || it + 1 == iterations)
            fprintf(stderr, "classifier: %s iteration %d objective %.6f (%.0f s)\n", what, it, fx,
                    seconds_since(t0));
    }
}

// Fits the problem; returns the expanded table entries (count x 256) and the intercept.
void fit(const Problem &p, double bias0, int iterations, const char *what,
         std::vector<double> *table, double *bias) {
    std::vector<double> w(p.parameters(), 0.0);
    w.back() = bias0;
    Evaluator f(p);
    lbfgs(f, &w, iterations, what);
    expand(p, w, table);
    *bias = w.back();
}

// Table entries: weight plus the position's share of the intercept, times the scale.
size_t quantise(const std::vector<double> &w, double intercept, int count, double scale,
                int16_t *out) {
    size_t clipped = 0;
    for (int j = 0; j < count; ++j)
        for (int c = 0; c < CODES; ++c) {
            double v = std::round((w[size_t(j) * CODES + c] + intercept / count) * scale);
            if (v > 32767 || v < -32768) ++clipped;
            out[size_t(j) * CODES + c] = int16_t(std::clamp(v, -32768.0, 32767.0));
        }
    return clipped;
}

template <typename T>
bool parse_list(const char *text, std::vector<T> *out) {
    std::vector<T> values;
    const char *p = text;
    while (*p) {
        char *end = nullptr;
        double v = strtod(p, &end);
        if (end == p || !std::isfinite(v) || v < 0) return false;
        values.push_back(T(v));
        p = end;
        if (*p == ',')
            ++p;
        else if (*p)
            return false;
    }
    if (values.empty()) return false;
    *out = values;
    return true;
}

bool parse_positive_int(const char *text, int *out) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || *end || v <= 0 || v > 1000000) return false;
    *out = int(v);
    return true;
}

// Faces-utk pictures by split. In holdout mode the scored set is an inner split of the training
// pictures, so penalties can be chosen without the validation split.
bool load_faces(const ClassifierTrainOptions &o, std::vector<Face> *train,
                std::vector<Face> *scored) {
    for (auto &n : list_images(o.data_dir + "/faces-utk")) {
        Face f{o.data_dir + "/faces-utk/" + n, 0, 0};
        int g = 0;
        if (!utk_labels(n, &f.age, &g)) continue;
        f.gender = g == 0 ? 1 : 0;
        bool val = is_validation_name(n);
        bool inner = !val && (name_hash(n) / 5) % INNER_BUCKETS == 0;
        if (o.holdout) {
            if (!val) (inner ? scored : train)->push_back(f);
        } else {
            (val ? scored : train)->push_back(f);
        }
    }
    if (o.max_utk > 0 && train->size() > size_t(o.max_utk)) {
        // Spread the subset over all ages: the names begin with the age.
        std::stable_sort(train->begin(), train->end(), [](const Face &a, const Face &b) {
            return name_hash(a.path) < name_hash(b.path);
        });
        train->resize(size_t(o.max_utk));
    }
    fprintf(stderr, "classifier: %zu training faces, %zu %s faces\n", train->size(), scored->size(),
            o.holdout ? "held-out training" : "validation");
    if (train->size() < 100 || scored->empty()) {
        fprintf(stderr, "mevo-train: too few labelled faces under %s\n", o.data_dir.c_str());
        return false;
    }
    return true;
}

// Face code samples, position-major: each face samples_per_face times, shifted by up to one
// jitter step, scaled and raised within the options' framing range, odd samples mirrored, so the
// tables suit all nine boxes the pipeline averages. ok[s] marks samples that could be normalised.
void face_samples(const ClassifierTrainOptions &o, const std::vector<Face> &train, CodeColumns *x,
                  std::vector<char> *ok) {
    const int per = o.samples_per_face;
    x->n = train.size() * size_t(per);
    x->count = POSITIONS;
    x->codes.assign(x->n * POSITIONS, 0);
    ok->assign(x->n, 0);
#pragma omp parallel
    {
        Image patch{};
        create_patch(&patch);
        std::vector<uint8_t> codes(POSITIONS);
#pragma omp for schedule(dynamic, 64)
        for (size_t i = 0; i < train.size(); ++i) {
            Image img{};
            std::string err;
            if (imageio_read_grey(train[i].path, &img, &err) != 0) continue;
            Box b = utk_face_box(img.width, img.height);
            int side = b.right - b.left + 1, d = std::max(1, side / JITTER_DIVISOR);
            Rng rng(o.seed * 7919u + i);
            for (int k = 0; k < per; ++k) {
                double scale = rng.uniform(o.frame_scale_min, o.frame_scale_max);
                int grow = int(std::lround((scale - 1) * side / 2));
                int dx = int(std::lround(rng.uniform(-d, d)));
                double shift_y = rng.uniform(-d, d);
                int dy = int(std::lround(shift_y - rng.uniform(0, o.frame_raise) * side));
                Box j{b.left + dx - grow, b.right + dx + grow, b.top + dy - grow,
                      b.bottom + dy + grow};
                size_t s = i * size_t(per) + size_t(k);
                if (!patch_codes(&img, j, k % 2 == 1, &patch, codes.data())) continue;
                (*ok)[s] = 1;
                for (int p = 0; p < POSITIONS; ++p)
                    x->codes[size_t(p) * x->n + s] = codes[size_t(p)];
            }
            image_free(&img);
        }
        image_free(&patch);
    }
}

void print_training_fit(const CodeColumns &x, const std::vector<char> &ok,
                        const std::vector<double> &gender_y, const std::vector<double> &age_y,
                        const std::vector<double> &gt, double gb, const std::vector<double> &at,
                        double ab) {
    std::vector<double> zg, za;
    forward(x, gt, gb, &zg);
    forward(x, at, ab, &za);
    double mae = 0, acc = 0;
    size_t cnt = 0;
    for (size_t s = 0; s < x.n; ++s) {
        if (!ok[s]) continue;
        mae += std::fabs(za[s] - age_y[s]);
        acc += (zg[s] > 0) == (gender_y[s] > 0.5);
        ++cnt;
    }
    fprintf(stderr,
            "classifier: training fit (single boxes): age MAE %.2f, gender accuracy %.2f%%\n",
            mae / double(std::max<size_t>(cnt, 1)), 100.0 * acc / double(std::max<size_t>(cnt, 1)));
}

// Face table problem: the D = 32 columns of the faces against non-face patches.
void face_problem_samples(const CodeColumns &faces, const std::vector<char> &ok,
                          const std::vector<uint8_t> &neg, CodeColumns *x, std::vector<double> *y,
                          std::vector<char> *use) {
    size_t nneg = neg.size() / POSITIONS;
    x->n = faces.n + nneg;
    x->count = FACE_POSITIONS;
    x->codes.assign(x->n * FACE_POSITIONS, 0);
    for (int j = 0; j < FACE_POSITIONS; ++j) {
        uint8_t *col = x->codes.data() + size_t(j) * x->n;
        memcpy(col, faces.column(FACE_FIRST + j), faces.n);
        for (size_t s = 0; s < nneg; ++s)
            col[faces.n + s] = neg[s * POSITIONS + FACE_FIRST + size_t(j)];
    }
    y->assign(x->n, 0.0);
    std::fill(y->begin(), y->begin() + long(faces.n), 1.0);
    use->assign(x->n, 1);
    std::copy(ok.begin(), ok.end(), use->begin());
}

bool write_model(const ClassifierModel &m, const std::string &path) {
    std::string bytes = classifier_model_serialize(m);
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "wb");
    bool good = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f) good = fclose(f) == 0 && good;
    if (!good || rename(tmp.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "mevo-train: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool classifier_option(ClassifierTrainOptions &o, const std::string &name, const char *value) {
    if (name == "--data") {
        o.data_dir = value;
    } else if (name == "--out") {
        o.out_path = value;
    } else if (name == "--seed") {
        o.seed = strtoull(value, nullptr, 10);
    } else if (name == "--utk") {
        o.max_utk = atoi(value);
    } else if (name == "--iterations") {
        return parse_positive_int(value, &o.iterations);
    } else if (name == "--samples") {
        return parse_positive_int(value, &o.samples_per_face);
    } else if (name == "--grids") {
        std::vector<double> v;  // read as numbers first: a huge value must not overflow an int
        if (!parse_list(value, &v)) return false;
        for (double g : v)
            if (g > MAX_GRID || g != std::floor(g)) return false;
        o.grids.assign(v.begin(), v.end());
    } else if (name == "--gender-l2") {
        return parse_list(value, &o.gender_l2);
    } else if (name == "--age-l2") {
        return parse_list(value, &o.age_l2);
    } else if (name == "--face-l2") {
        return parse_list(value, &o.face_l2);
    } else if (name == "--huber") {
        std::vector<double> v;
        if (!parse_list(value, &v) || v.size() != 1 || v[0] <= 0) return false;
        o.age_huber = v[0];
    } else if (name == "--framing") {
        // MIN_SCALE,MAX_SCALE,RAISE: box size relative to the face square, and the most the
        // box centre moves up, in box widths.
        std::vector<double> v;
        if (!parse_list(value, &v) || v.size() != 3 || v[0] <= 0 || v[1] < v[0] || v[2] > 0.5)
            return false;
        o.frame_scale_min = v[0];
        o.frame_scale_max = v[1];
        o.frame_raise = v[2];
    } else if (name == "--holdout") {
        o.holdout = strcmp(value, "0") != 0;
    } else {
        return false;
    }
    return true;
}

int classifier_train(const ClassifierTrainOptions &o) {
    const size_t views = o.grids.size();
    if (o.gender_l2.size() != views || o.age_l2.size() != views || o.face_l2.size() != views) {
        fprintf(stderr, "mevo-train: give one penalty per grid (%zu)\n", views);
        return 1;
    }
    auto t0 = std::chrono::steady_clock::now();
    std::vector<Face> train, scored;
    if (!load_faces(o, &train, &scored)) return 1;
    CodeColumns x;
    std::vector<char> ok;
    face_samples(o, train, &x, &ok);
    fprintf(stderr, "classifier: %zu samples coded (%.0f s)\n", x.n, seconds_since(t0));
    const size_t per = size_t(o.samples_per_face);
    std::vector<double> gender_y(x.n), age_y(x.n);
    double men = 0, age_sum = 0, used = 0;
    for (size_t s = 0; s < x.n; ++s) {
        gender_y[s] = train[s / per].gender;
        age_y[s] = train[s / per].age;
        if (!ok[s]) continue;
        men += gender_y[s];
        age_sum += age_y[s];
        ++used;
    }
    used = std::max(used, 1.0);
    double man_share = std::clamp(men / used, 0.01, 0.99);

    Problem gp;
    gp.x = &x;
    gp.y = gender_y;
    gp.use = ok;
    gp.loss = Loss::LOGISTIC;
    gp.views = make_views(o.grids, o.gender_l2, 0, POSITIONS);
    std::vector<double> gt, at, ft;
    double gb = 0, ab = 0, fb = 0;
    fit(gp, std::log(man_share / (1 - man_share)), o.iterations, "gender", &gt, &gb);
    fprintf(stderr, "classifier: gender fitted (%.0f s)\n", seconds_since(t0));

    Problem ap = gp;
    ap.y = age_y;
    ap.loss = Loss::HUBER;
    ap.huber = o.age_huber;
    ap.views = make_views(o.grids, o.age_l2, 0, POSITIONS);
    fit(ap, age_sum / used, o.iterations, "age", &at, &ab);
    fprintf(stderr, "classifier: age fitted (%.0f s)\n", seconds_since(t0));
    print_training_fit(x, ok, gender_y, age_y, gt, gb, at, ab);

    // Face against non-face patches, D = 32 positions only.
    Rng rng(o.seed);
    std::vector<uint8_t> neg;
    negative_codes(o, x.n, rng, &neg);
    CodeColumns fx;
    Problem fp;
    face_problem_samples(x, ok, neg, &fx, &fp.y, &fp.use);
    fp.x = &fx;
    fp.loss = Loss::LOGISTIC;
    fp.views = make_views(o.grids, o.face_l2, FACE_FIRST, FACE_POSITIONS);
    fit(fp, 0.0, o.iterations, "face", &ft, &fb);
    fprintf(
        stderr,
        "classifier: %zu non-face patches; intercepts gender %.3f age %.2f face %.3f (%.0f s)\n",
        neg.size() / POSITIONS, gb, ab, fb, seconds_since(t0));

    std::vector<int16_t> gq(CLASSIFIER_TABLE_ENTRIES), aq(CLASSIFIER_TABLE_ENTRIES),
        fq(CLASSIFIER_FACE_ENTRIES);
    size_t clipped = quantise(gt, gb, POSITIONS, CLASSIFIER_DEFAULT_GENDER_DIVISOR, gq.data());
    clipped += quantise(at, ab - CLASSIFIER_DEFAULT_AGE_BIAS / CLASSIFIER_DEFAULT_AGE_DIVISOR,
                        POSITIONS, CLASSIFIER_DEFAULT_AGE_DIVISOR, aq.data());
    clipped += quantise(ft, fb - CLASSIFIER_DEFAULT_FACE_BIAS / CLASSIFIER_DEFAULT_FACE_SCALE,
                        FACE_POSITIONS, CLASSIFIER_DEFAULT_FACE_SCALE, fq.data());
    fprintf(stderr, "classifier: %zu entries clipped to the int16 range\n", clipped);
    ClassifierModel m;
    m.face_scale = CLASSIFIER_DEFAULT_FACE_SCALE;
    m.gender_table = gq.data();
    m.age_divisor = CLASSIFIER_DEFAULT_AGE_DIVISOR;
    m.face_table = fq.data();
    m.face_bias = CLASSIFIER_DEFAULT_FACE_BIAS;
    m.age_table = aq.data();
    m.age_bias = CLASSIFIER_DEFAULT_AGE_BIAS;
    m.gender_divisor = CLASSIFIER_DEFAULT_GENDER_DIVISOR;
    if (!write_model(m, o.out_path)) return 1;
    std::vector<std::string> paths;
    for (auto &f : scored) paths.push_back(f.path);
    fprintf(stdout, "%s:\n", o.holdout ? "held-out training pictures" : "validation");
    print_classifier_scores(stdout, classifier_evaluate(paths, m));
    fprintf(stderr, "classifier: done (%.0f s)\n", seconds_since(t0));
    return 0;
}

}  // namespace mevo_train
