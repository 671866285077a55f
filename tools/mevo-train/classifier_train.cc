// Classifier table training. Faces are framed like the detector's positives (utk_face_box),
// normalised with face_normalize and coded with lbp_code_map exactly as at run time; every
// feature is one (position, code) pair, so a model is one weight per table entry:
//   gender: L2-regularised logistic regression (man = 1), quantised against the gender divisor;
//   age:    Huber (robust) linear regression in years, quantised against the age divisor and
//           the age bias;
//   face:   logistic regression of faces against non-face patches over the D = 32 positions.
// Intercepts are spread over the positions (exactly one code per position is active).
// Validation: the faces-utk split of is_validation_name, scored with classify_patch over each
// face and its eight jitter boxes, as the frame pipeline averages them.
#include "classifier_train.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
constexpr int SAMPLES_PER_FACE = 2;  // one plain, one mirrored, each jittered
constexpr double GENDER_L2 = 2e-3;
constexpr double AGE_L2 = 2e-3;
constexpr double FACE_L2 = 2e-4;
constexpr double AGE_HUBER = 4.0;   // years
constexpr int JITTER_DIVISOR = 16;  // jitter boxes move by width / 16, as add_jitter_boxes does

// The classifier reads the patch row by row without padding: stride = width.
void create_patch(Image *patch) {
    image_create_with_stride(patch, PIXEL_GRAY8, 1, CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE,
                             CLASSIFIER_PATCH_SIZE, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
}

// Codes of one patch in table order (resolutions 50, 40, 32; x outer, y inner).
using Codes = std::vector<uint8_t>;

bool patch_codes(const Image *img, Box b, bool mirror, Image *patch, uint8_t *out) {
    if (face_normalize(patch, img, b.left, b.right, b.top, b.bottom) != 0) return false;
    if (mirror) image_mirror_horizontal(patch);
    uint8_t map[CLASSIFIER_PATCH_SIZE * CLASSIFIER_PATCH_SIZE];
    int j = 0;
    for (int d : {CLASSIFIER_D50, CLASSIFIER_D40, CLASSIFIER_D32}) {
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

// Random non-face boxes from the negative pictures (square, 24 px up to the picture's side).
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

double sigmoid(double z) {
    return 1.0 / (1.0 + std::exp(-z));
}

// One SGD pass per epoch over `order`; `grad` gives the loss derivative by the prediction.
template <class Grad>
void sgd(const std::vector<uint8_t> &codes, int first, int count, std::vector<float> *w,
         double *bias, double l2, double lr0, int epochs, Rng &rng, size_t samples, Grad grad) {
    std::vector<size_t> order(samples);
    std::iota(order.begin(), order.end(), size_t(0));
    // The result is the mean of the weights at the end of the later epochs (less SGD noise).
    std::vector<double> mean_w(w->size(), 0.0);
    double mean_b = 0;
    int averaged = 0;
    for (int e = 0; e < epochs; ++e) {
        for (size_t i = samples; i > 1; --i)
            std::swap(order[i - 1], order[size_t(rng.below(int(i)))]);
        double lr = lr0 / (1.0 + 0.5 * e);
        for (size_t s : order) {
            const uint8_t *c = codes.data() + s * POSITIONS + first;
            double z = *bias;
            for (int j = 0; j < count; ++j) z += (*w)[size_t(j) * CODES + c[j]];
            double g = grad(s, z);
            *bias -= lr * count * g * 0.01;
            for (int j = 0; j < count; ++j) {
                float &wj = (*w)[size_t(j) * CODES + c[j]];
                wj -= float(lr * (g + l2 * wj));
            }
        }
        if (2 * e >= epochs) {
            for (size_t k = 0; k < w->size(); ++k) mean_w[k] += (*w)[k];
            mean_b += *bias;
            ++averaged;
        }
    }
    for (size_t k = 0; k < w->size(); ++k) (*w)[k] = float(mean_w[k] / averaged);
    *bias = mean_b / averaged;
}

// Table entries: weight plus the position's share of the intercept, times the scale.
size_t quantise(const std::vector<float> &w, double intercept, int count, double scale,
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
    } else if (name == "--epochs") {
        o.epochs = atoi(value);
    } else {
        return false;
    }
    return true;
}

int classifier_train(const ClassifierTrainOptions &o) {
    std::vector<Face> train, val;
    for (auto &n : utk_subset(list_images(o.data_dir + "/faces-utk"), 0)) {
        Face f{o.data_dir + "/faces-utk/" + n, 0, 0};
        int g = 0;
        if (!utk_labels(n, &f.age, &g)) continue;
        f.gender = g == 0 ? 1 : 0;
        (is_validation_name(n) ? val : train).push_back(f);
    }
    if (o.max_utk > 0 && train.size() > size_t(o.max_utk)) {
        // Spread the subset over all ages: the names begin with the age.
        std::stable_sort(train.begin(), train.end(), [](const Face &a, const Face &b) {
            return name_hash(a.path) < name_hash(b.path);
        });
        train.resize(size_t(o.max_utk));
    }
    fprintf(stderr, "classifier: %zu training faces, %zu validation faces\n", train.size(),
            val.size());
    if (train.size() < 100 || val.empty()) {
        fprintf(stderr, "mevo-train: too few labelled faces under %s\n", o.data_dir.c_str());
        return 1;
    }
    // Face code samples: each face twice (plain, mirrored), shifted by up to one jitter step and
    // scaled by up to 6 %, so the tables suit all nine boxes the pipeline averages.
    const size_t nf = train.size() * SAMPLES_PER_FACE;
    std::vector<uint8_t> codes(nf * POSITIONS);
    std::vector<char> ok(nf, 0);
#pragma omp parallel
    {
        Image patch{};
        create_patch(&patch);
#pragma omp for schedule(dynamic, 64)
        for (size_t i = 0; i < train.size(); ++i) {
            Image img{};
            std::string err;
            if (imageio_read_grey(train[i].path, &img, &err) != 0) continue;
            Box b = utk_face_box(img.width, img.height);
            int side = b.right - b.left + 1, d = std::max(1, side / JITTER_DIVISOR);
            Rng rng(o.seed * 7919u + i);
            for (int k = 0; k < SAMPLES_PER_FACE; ++k) {
                int grow = int(std::lround(rng.uniform(-0.06, 0.06) * side / 2));
                int dx = int(std::lround(rng.uniform(-d, d))),
                    dy = int(std::lround(rng.uniform(-d, d)));
                Box j{b.left + dx - grow, b.right + dx + grow, b.top + dy - grow,
                      b.bottom + dy + grow};
                size_t s = i * SAMPLES_PER_FACE + size_t(k);
                ok[s] = patch_codes(&img, j, k == 1, &patch, codes.data() + s * POSITIONS);
            }
            image_free(&img);
        }
        image_free(&patch);
    }
    std::vector<double> gender_y(nf), age_y(nf);
    for (size_t s = 0; s < nf; ++s) {
        gender_y[s] = train[s / SAMPLES_PER_FACE].gender;
        age_y[s] = ok[s] ? train[s / SAMPLES_PER_FACE].age : -1;
    }
    Rng rng(o.seed);
    // Gender.
    std::vector<float> gw(size_t(POSITIONS) * CODES, 0.f);
    double gb = 0;
    sgd(codes, 0, POSITIONS, &gw, &gb, GENDER_L2, 3e-4, o.epochs, rng, nf,
        [&](size_t s, double z) { return ok[s] ? sigmoid(z) - gender_y[s] : 0.0; });
    // Age (Huber loss).
    std::vector<float> aw(size_t(POSITIONS) * CODES, 0.f);
    double ab = 33;
    sgd(codes, 0, POSITIONS, &aw, &ab, AGE_L2, 1.5e-4, o.epochs, rng, nf, [&](size_t s, double z) {
        return ok[s] ? std::clamp(z - age_y[s], -AGE_HUBER, AGE_HUBER) : 0.0;
    });
    {
        double mae = 0, acc = 0;
        size_t cnt = 0;
        for (size_t s = 0; s < nf; ++s) {
            if (!ok[s]) continue;
            const uint8_t *c = codes.data() + s * POSITIONS;
            double za = ab, zg = gb;
            for (int j = 0; j < POSITIONS; ++j) {
                za += aw[size_t(j) * CODES + c[j]];
                zg += gw[size_t(j) * CODES + c[j]];
            }
            mae += std::fabs(za - age_y[s]);
            acc += (zg > 0) == (gender_y[s] > 0.5);
            ++cnt;
        }
        fprintf(stderr, "classifier: training fit: age MAE %.2f, gender accuracy %.2f%%\n",
                mae / double(cnt), 100.0 * acc / double(cnt));
    }
    // Face against non-face patches, D = 32 positions only.
    std::vector<uint8_t> fcodes;
    negative_codes(o, nf, rng, &fcodes);
    size_t nneg = fcodes.size() / POSITIONS;
    std::vector<uint8_t> both(codes);
    both.insert(both.end(), fcodes.begin(), fcodes.end());
    std::vector<float> fw(size_t(FACE_POSITIONS) * CODES, 0.f);
    double fb = 0;
    sgd(both, FACE_FIRST, FACE_POSITIONS, &fw, &fb, FACE_L2, 5e-4, o.epochs, rng, nf + nneg,
        [&](size_t s, double z) {
            if (s < nf) return ok[s] ? sigmoid(z) - 1.0 : 0.0;
            return sigmoid(z);
        });
    fprintf(stderr, "classifier: %zu non-face patches; intercepts gender %.3f age %.2f face %.3f\n",
            nneg, gb, ab, fb);
    std::vector<int16_t> gt(CLASSIFIER_TABLE_ENTRIES), at(CLASSIFIER_TABLE_ENTRIES),
        ft(CLASSIFIER_FACE_ENTRIES);
    size_t clipped = quantise(gw, gb, POSITIONS, CLASSIFIER_DEFAULT_GENDER_DIVISOR, gt.data());
    clipped += quantise(aw, ab - CLASSIFIER_DEFAULT_AGE_BIAS / CLASSIFIER_DEFAULT_AGE_DIVISOR,
                        POSITIONS, CLASSIFIER_DEFAULT_AGE_DIVISOR, at.data());
    clipped += quantise(fw, fb - CLASSIFIER_DEFAULT_FACE_BIAS / CLASSIFIER_DEFAULT_FACE_SCALE,
                        FACE_POSITIONS, CLASSIFIER_DEFAULT_FACE_SCALE, ft.data());
    if (clipped) fprintf(stderr, "classifier: %zu entries clipped to the int16 range\n", clipped);
    ClassifierModel m;
    m.face_scale = CLASSIFIER_DEFAULT_FACE_SCALE;
    m.gender_table = gt.data();
    m.age_divisor = CLASSIFIER_DEFAULT_AGE_DIVISOR;
    m.face_table = ft.data();
    m.face_bias = CLASSIFIER_DEFAULT_FACE_BIAS;
    m.age_table = at.data();
    m.age_bias = CLASSIFIER_DEFAULT_AGE_BIAS;
    m.gender_divisor = CLASSIFIER_DEFAULT_GENDER_DIVISOR;
    std::string bytes = classifier_model_serialize(m);
    std::string tmp = o.out_path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "wb");
    bool good = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f) good = fclose(f) == 0 && good;
    if (!good || rename(tmp.c_str(), o.out_path.c_str()) != 0) {
        fprintf(stderr, "mevo-train: cannot write %s\n", o.out_path.c_str());
        return 1;
    }
    std::vector<std::string> val_paths;
    for (auto &f : val) val_paths.push_back(f.path);
    ClassifierScores sc = classifier_evaluate(val_paths, m);
    print_classifier_scores(stdout, sc);
    return 0;
}

}  // namespace mevo_train
