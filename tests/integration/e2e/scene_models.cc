#include "scene_models.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "classify/classifier.h"
#include "classify/face_classify.h"
#include "detect/detection.h"
#include "image/image.h"

namespace e2e {
namespace {

constexpr int kFrameStep = 2;  // training frames: every 2nd frame a person is in view
constexpr int kCheckStep = 4;  // checking frames: every 4th, between the training frames
constexpr int kCheckOffset = 1;
constexpr int kBoxesPerFace = 6;            // training boxes per face and frame
constexpr int kFaceBox = 2 * SCENE_WINDOW;  // side of a found face, one octave down
constexpr int kBoxShift = 4;          // training boxes lie up to this many pixels off the face
constexpr int kBoxGrow = 4;           // and are up to this many pixels wider or narrower
constexpr int kCascadeFrameStep = 2;  // cascade examples: every 2nd frame of a visit
constexpr double kCascadeMinMatch = 0.9;
constexpr int kQuickStep = 4;  // the quick stage looks at every 4th position each way
constexpr double kQuickMinMatch = 0.8;
constexpr double kGenderTarget = 20000.0;  // raw gender sum: about +-80 after the percent map
constexpr int kEpochs = 8;
constexpr int kPositions = 48 * 48 + 38 * 38 + 30 * 30;  // interior positions of the 3 maps

// One rendered frame as a grey image over its own pixels.
struct Frame {
    std::vector<uint8_t> pixels;
    Image image = {};
    Frame(const SyntheticScene *scene, int index, int w, int h) : pixels(size_t(w) * h) {
        synthetic_render(scene, index, w, h, pixels.data());
        image_setup_auto_stride(&image, PIXEL_GRAY8, 1, w, h, IMAGE_PLANAR, IMAGE_ORIGIN_TOP);
        image.stride = w;
        image.data = image.base = pixels.data();
    }
    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;
};

// Frames (sorted, unique) in which someone is in view, every `step` frames of each person's
// visit starting `offset` frames after it begins.
std::vector<int> visit_frames(const SyntheticScene *scene, int step, int offset) {
    std::set<int> frames;
    for (int i = 0; i < scene->walker_count; ++i) {
        const SyntheticWalker &w = scene->walkers[i];
        for (int f = w.first_frame + offset; f <= w.last_frame; f += step) frames.insert(f);
    }
    return {frames.begin(), frames.end()};
}

// The person whose face box holds the centre of `box` well inside, or -1.
int person_at(const SyntheticScene *scene, int frame, int w, int h, const Detection &box) {
    const double cx = (box.left + box.right) / 2.0, cy = (box.top + box.bottom) / 2.0;
    for (int i = 0; i < scene->walker_count; ++i) {
        SynthRect r;
        if (!synthetic_walker_box(scene, i, frame, w, h, &r)) continue;
        const double side = r.right - r.left + 1;
        if (std::abs(cx - (r.left + r.right) / 2.0) <= side / 3 &&
            std::abs(cy - (r.top + r.bottom) / 2.0) <= side / 3)
            return i;
    }
    return -1;
}

// Table index of every interior position of the three code maps, in the classifier's order,
// without the code; and the matching offset into the D x D code map.
struct Positions {
    std::vector<int32_t> base;
    std::vector<int32_t> map;  // D * y + x within the map of its resolution
    std::vector<int8_t> res;   // 0, 1, 2 for D = 50, 40, 32
    Positions() {
        const int sizes[3] = {CLASSIFIER_D50, CLASSIFIER_D40, CLASSIFIER_D32};
        const int bases[3] = {CLASSIFIER_BASE_D50, CLASSIFIER_BASE_D40, CLASSIFIER_BASE_D32};
        for (int r = 0; r < 3; ++r) {
            const int d = sizes[r], inner = d - 2;
            for (int x = 1; x <= inner; ++x)
                for (int y = 1; y <= inner; ++y) {
                    base.push_back(bases[r] + ((x - 1) * inner + (y - 1)) * CLASSIFIER_CODES);
                    map.push_back(d * y + x);
                    res.push_back(int8_t(r));
                }
        }
    }
};

// The codes of a normalised patch at every position (kPositions bytes appended to `out`).
void patch_codes(const Positions &pos, const uint8_t *patch, std::vector<uint8_t> *out) {
    const int sizes[3] = {CLASSIFIER_D50, CLASSIFIER_D40, CLASSIFIER_D32};
    static thread_local std::vector<uint8_t> maps[3];
    for (int r = 0; r < 3; ++r) {
        maps[r].assign(size_t(sizes[r]) * sizes[r], 0);
        lbp_code_map(patch, CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE, maps[r].data(), sizes[r],
                     sizes[r]);
    }
    for (size_t k = 0; k < pos.base.size(); ++k) out->push_back(maps[pos.res[k]][pos.map[k]]);
}

// Faces of one frame as the pipeline finds and classifies them with `model`; -1 on failure.
int find_faces(const Frame &frame, Image *detection_image, Detector *detector,
               const ClassifierModel &model, std::vector<Detection> *dets) {
    return frame_faces_find(&frame.image, nullptr, detection_image, detector, 1, model,
                            scene_faces_config(detector), dets->data(), int(dets->size()));
}

int16_t to_int16(double v) {
    return int16_t(std::clamp(std::lround(v), long(std::numeric_limits<int16_t>::min()),
                              long(std::numeric_limits<int16_t>::max())));
}

}  // namespace

int count_band(int age) {
    constexpr int kTops[COUNT_BANDS - 1] = {14, 24, 34, 44, 54, 64, 74};
    int band = 0;
    while (band < COUNT_BANDS - 1 && age > kTops[band]) ++band;
    return band;
}

FrameFacesConfig scene_faces_config(const Detector *detector) {
    FrameFacesConfig c;
    c.start_shift = frame_faces_start_shift(detector, 1, SCENE_MIN_RECT);
    c.min_rect = SCENE_MIN_RECT;
    c.gender_bias = 0;
    return c;
}

mevo_test::ModelDesc scene_cascade(const SyntheticScene *scene, int out_w, int out_h, int level) {
    std::vector<std::vector<uint8_t>> levels;  // keep every halved frame alive for the samples
    std::vector<mevo_test::PatternSample> samples;
    const int scale = 1 << level;
    std::vector<int> frames = visit_frames(scene, kCascadeFrameStep, 0);
    levels.reserve(frames.size());
    for (int f : frames) {
        Frame frame(scene, f, out_w, out_h);
        for (int l = 0; l < level; ++l) image_halve(&frame.image);
        const int lw = frame.image.width, lh = frame.image.height;
        levels.emplace_back(size_t(lw) * lh);
        std::vector<uint8_t> &px = levels.back();
        for (int y = 0; y < lh; ++y)
            std::copy_n(frame.pixels.data() + size_t(y) * frame.image.stride, lw,
                        px.data() + size_t(y) * lw);
        for (int i = 0; i < scene->walker_count; ++i) {
            SynthRect r;
            if (!synthetic_walker_box(scene, i, f, out_w, out_h, &r)) continue;
            const double cx = (r.left + r.right + 1) / 2.0 / scale;
            const double cy = (r.top + r.bottom + 1) / 2.0 / scale;
            const int left = int(std::lround(cx - SCENE_WINDOW / 2.0));
            const int top = int(std::lround(cy - SCENE_WINDOW / 2.0));
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int x = left + dx, y = top + dy;
                    if (x < 0 || y < 0 || x + SCENE_WINDOW > lw || y + SCENE_WINDOW > lh) continue;
                    samples.push_back({px.data() + size_t(y) * lw + x, lw});
                }
        }
    }
    // A quick first stage on a sparse grid of positions turns the noise away after a few
    // lookups; the exact stages then look at every position.
    mevo_test::PatternCascadeOptions quick;
    quick.texture_stages = 0;
    quick.stages = 1;
    quick.step = kQuickStep;
    quick.max_hamming = 1;
    quick.min_match = kQuickMinMatch;
    mevo_test::PatternCascadeOptions exact;
    exact.texture_stages = 0;
    exact.max_hamming = 1;
    exact.min_match = kCascadeMinMatch;
    mevo_test::ModelDesc desc =
        mevo_test::cascade_for_samples(samples, SCENE_WINDOW, SCENE_WINDOW, exact);
    desc.stages.insert(
        desc.stages.begin(),
        mevo_test::cascade_for_samples(samples, SCENE_WINDOW, SCENE_WINDOW, quick).stages[0]);
    return desc;
}

std::string scene_classifier(const SyntheticScene *scene, int out_w, int out_h) {
    const Positions pos;
    std::vector<uint8_t> codes;
    std::vector<double> gender_target, age_target;
    Image patch = {};
    image_create(&patch, PIXEL_GRAY8, 1, CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE, IMAGE_PLANAR,
                 IMAGE_ORIGIN_TOP);
    std::vector<uint8_t> patch_px(size_t(CLASSIFIER_PATCH_SIZE) * CLASSIFIER_PATCH_SIZE);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> shift(-kBoxShift, kBoxShift);
    std::uniform_int_distribution<int> grow(-kBoxGrow, kBoxGrow);
    for (int f : visit_frames(scene, kFrameStep, 0)) {
        Frame frame(scene, f, out_w, out_h);
        for (int i = 0; i < scene->walker_count; ++i) {
            SynthRect r;
            if (!synthetic_walker_box(scene, i, f, out_w, out_h, &r)) continue;
            const SyntheticWalker &w = scene->walkers[i];
            // Boxes as the detector and the jitter around it give them: about the window's
            // size at its level, a few pixels off the face in any direction.
            for (int b = 0; b < kBoxesPerFace; ++b) {
                const int side = kFaceBox + grow(rng);
                const int left = (r.left + r.right + 1) / 2 - side / 2 + shift(rng);
                const int top = (r.top + r.bottom + 1) / 2 - side / 2 + shift(rng);
                if (face_normalize(&patch, &frame.image, left, left + side - 1, top,
                                   top + side - 1) != 0)
                    continue;
                for (int y = 0; y < CLASSIFIER_PATCH_SIZE; ++y)
                    std::copy_n(patch.data + size_t(y) * patch.stride, CLASSIFIER_PATCH_SIZE,
                                patch_px.data() + size_t(y) * CLASSIFIER_PATCH_SIZE);
                patch_codes(pos, patch_px.data(), &codes);
                gender_target.push_back(w.gender == 'M' ? kGenderTarget : -kGenderTarget);
                age_target.push_back(w.age * SCENE_AGE_DIVISOR);
            }
        }
    }
    image_free(&patch);
    const size_t n = gender_target.size();
    if (n == 0) return {};

    // Normalised least mean squares on the one-hot code features, one intercept each. Gender
    // and age weights of an entry sit side by side: one cache line per lookup.
    std::vector<std::array<float, 2>> weight(CLASSIFIER_TABLE_ENTRIES, {0.0f, 0.0f});
    double gender_bias = 0.0, age_bias = 0.0;
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    const double rate = 0.5 / (kPositions + 1);
    for (int epoch = 0; epoch < kEpochs; ++epoch) {
        std::shuffle(order.begin(), order.end(), rng);
        for (size_t s : order) {
            const uint8_t *c = codes.data() + s * kPositions;
            double g = gender_bias, a = age_bias;
            for (int k = 0; k < kPositions; ++k) {
                const std::array<float, 2> &e = weight[size_t(pos.base[k] + c[k])];
                g += e[0];
                a += e[1];
            }
            const float dg = float(rate * (gender_target[s] - g));
            const float da = float(rate * (age_target[s] - a));
            for (int k = 0; k < kPositions; ++k) {
                std::array<float, 2> &e = weight[size_t(pos.base[k] + c[k])];
                e[0] += dg;
                e[1] += da;
            }
            gender_bias += dg;
            age_bias += da;
        }
    }

    std::vector<int16_t> gender16(CLASSIFIER_TABLE_ENTRIES), age16(CLASSIFIER_TABLE_ENTRIES);
    std::vector<int16_t> face16(CLASSIFIER_FACE_ENTRIES, 0);
    for (int i = 0; i < CLASSIFIER_TABLE_ENTRIES; ++i) {
        // Every patch has exactly one code at the first position: the intercepts go there.
        const bool first = i < CLASSIFIER_CODES;
        gender16[size_t(i)] = to_int16(weight[size_t(i)][0] + (first ? gender_bias : 0.0));
        age16[size_t(i)] = to_int16(weight[size_t(i)][1] + (first ? age_bias : 0.0));
    }
    ClassifierModel model;
    model.face_scale = CLASSIFIER_DEFAULT_FACE_SCALE;
    model.gender_table = gender16.data();
    model.age_divisor = SCENE_AGE_DIVISOR;
    model.face_table = face16.data();
    model.face_bias = CLASSIFIER_DEFAULT_FACE_BIAS;
    model.age_table = age16.data();
    model.age_bias = 0;
    model.gender_divisor = CLASSIFIER_DEFAULT_GENDER_DIVISOR;
    return classifier_model_serialize(model);
}

ClassifierCheck scene_classifier_check(const SyntheticScene *scene, int out_w, int out_h,
                                       Detector *detector, const ClassifierModel &model) {
    ClassifierCheck check;
    std::vector<Detection> dets(DETECTION_CAPACITY);
    Image detection_image = {};
    image_create(&detection_image, PIXEL_GRAY8, 1, out_w, out_h, IMAGE_PLANAR, IMAGE_ORIGIN_TOP);
    for (int f : visit_frames(scene, kCheckStep, kCheckOffset)) {
        Frame frame(scene, f, out_w, out_h);
        for (int i = 0; i < scene->walker_count; ++i) {
            SynthRect r;
            check.visible += synthetic_walker_box(scene, i, f, out_w, out_h, &r);
        }
        int faces = find_faces(frame, &detection_image, detector, model, &dets);
        for (int i = 0; i < faces; ++i) {
            const Detection &d = dets[size_t(i)];
            const int who = person_at(scene, f, out_w, out_h, d);
            if (who < 0) {
                ++check.unmatched;
                continue;
            }
            const SyntheticWalker &w = scene->walkers[who];
            ++check.faces;
            if ((d.gender > 0) != (w.gender == 'M') || d.gender == 0) ++check.wrong_gender;
            if (count_band(d.age) != count_band(w.age)) ++check.wrong_band;
            check.max_age_off = std::max(check.max_age_off, std::abs(d.age - w.age));
        }
    }
    image_free(&detection_image);
    return check;
}

}  // namespace e2e
