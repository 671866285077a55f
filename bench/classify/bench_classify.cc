// Classification cost: one box (normalisation + table sums) and one face with its eight jitter
// boxes, for face sizes that take the three normalisation paths (copy, resample, halve first).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "classify/classifier.h"
#include "classify/face_classify.h"
#include "detect/detection.h"
#include "image/image.h"

namespace {

constexpr int kFrameW = 640, kFrameH = 480;

struct Model {
    std::vector<int16_t> g, f, a;
    Model() : g(CLASSIFIER_TABLE_ENTRIES), f(CLASSIFIER_FACE_ENTRIES), a(CLASSIFIER_TABLE_ENTRIES) {
        std::mt19937 rng(1);
        for (auto &v : g) v = int16_t(rng());
        for (auto &v : f) v = int16_t(rng());
        for (auto &v : a) v = int16_t(rng() % 64);
    }
};

const Model &model() {
    static const Model m;
    return m;
}

struct Frame {
    ScopedImage img;
    Frame() {
        image_create(img.get(), PIXEL_GRAY8, 1, kFrameW, kFrameH, IMAGE_INTERLEAVED,
                     IMAGE_ORIGIN_TOP);
        std::mt19937 rng(2);
        for (int y = 0; y < kFrameH; ++y) {
            for (int x = 0; x < kFrameW; ++x) image_row(img.get(), y)[x] = uint8_t(rng());
        }
    }
};

Detection box(int left, int top, int side) {
    Detection d{};
    d.left = left;
    d.right = left + side - 1;
    d.top = top;
    d.bottom = top + side - 1;
    d.weight = 1;
    return d;
}

void classify(benchmark::State &state, std::vector<Detection> &faces, const Frame &frame) {
    const Model &m = model();
    std::vector<Detection> work = faces;
    for (auto _ : state) {
        work = faces;
        classify_faces(&frame.img.image, work.data(), int(work.size()), m.g.data(), 1077.178407, 0,
                       m.f.data(), 5, m.a.data(), 32767, 0, 0);
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(faces.size()));
}

// One box of side state.range(0).
void BM_classify_faces_one_box(benchmark::State &state) {
    static const Frame frame;
    std::vector<Detection> faces = {box(100, 100, int(state.range(0)))};
    classify(state, faces, frame);
}
BENCHMARK(BM_classify_faces_one_box)->Arg(50)->Arg(100)->Arg(200);

// One face and its eight jitter boxes, as the frame pipeline classifies it.
void BM_classify_faces_jitter_group(benchmark::State &state) {
    static const Frame frame;
    std::vector<Detection> faces(DETECTION_JITTER_BOXES + 1);
    faces[0] = box(100, 100, int(state.range(0)));
    faces.resize(size_t(add_jitter_boxes(faces.data(), 1, int(faces.size()))));
    classify(state, faces, frame);
}
BENCHMARK(BM_classify_faces_jitter_group)->Arg(50)->Arg(100)->Arg(200);

// The table sums alone on a ready patch.
void BM_classify_patch(benchmark::State &state) {
    const Model &m = model();
    std::vector<uint8_t> patch(CLASSIFIER_PATCH_SIZE * CLASSIFIER_PATCH_SIZE);
    std::mt19937 rng(3);
    for (auto &v : patch) v = uint8_t(rng());
    for (auto _ : state) {
        int32_t g, f, a;
        classify_patch(patch.data(), CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE, m.g.data(), 0,
                       &g, m.f.data(), 5, &f, m.a.data(), 32767, &a);
        benchmark::DoNotOptimize(g + f + a);
    }
}
BENCHMARK(BM_classify_patch);

// Experiment: gender and age entries interleaved in one table, so each position's pair shares a
// cache line. Same sums; measured beside BM_classify_patch to see what the layout would buy.
void BM_classify_patch_interleaved(benchmark::State &state) {
    const Model &m = model();
    static std::vector<int16_t> ga;
    if (ga.empty()) {
        ga.resize(2 * size_t(CLASSIFIER_TABLE_ENTRIES));
        for (size_t i = 0; i < size_t(CLASSIFIER_TABLE_ENTRIES); ++i) {
            ga[2 * i] = m.g[i];
            ga[2 * i + 1] = m.a[i];
        }
    }
    std::vector<uint8_t> patch(CLASSIFIER_PATCH_SIZE * CLASSIFIER_PATCH_SIZE);
    std::mt19937 rng(3);
    for (auto &v : patch) v = uint8_t(rng());
    uint8_t codes[CLASSIFIER_PATCH_SIZE * CLASSIFIER_PATCH_SIZE];
    const int bases[3] = {CLASSIFIER_BASE_D50, CLASSIFIER_BASE_D40, CLASSIFIER_BASE_D32};
    const int sizes[3] = {CLASSIFIER_D50, CLASSIFIER_D40, CLASSIFIER_D32};
    for (auto _ : state) {
        int32_t g = 0, f = 5, a = 32767;
        for (int r = 0; r < 3; ++r) {
            const int d = sizes[r], inner = d - 2;
            lbp_code_map(patch.data(), CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE, codes, d, d);
            for (int x = 1; x <= inner; ++x) {
                for (int y = 1; y <= inner; ++y) {
                    const int idx = ((x - 1) * inner + (y - 1)) * 256 + codes[y * d + x];
                    const int16_t *pair = &ga[2 * size_t(bases[r] + idx)];
                    g += pair[0];
                    a += pair[1];
                    if (d == CLASSIFIER_D32) f += m.f[size_t(idx)];
                }
            }
        }
        benchmark::DoNotOptimize(g + f + a);
    }
}
BENCHMARK(BM_classify_patch_interleaved);

// The code maps alone (three resolutions), to show what the lookups cost beside them.
void BM_lbp_code_maps(benchmark::State &state) {
    std::vector<uint8_t> patch(CLASSIFIER_PATCH_SIZE * CLASSIFIER_PATCH_SIZE);
    std::mt19937 rng(4);
    for (auto &v : patch) v = uint8_t(rng());
    uint8_t codes[CLASSIFIER_PATCH_SIZE * CLASSIFIER_PATCH_SIZE];
    for (auto _ : state) {
        for (int d : {CLASSIFIER_D50, CLASSIFIER_D40, CLASSIFIER_D32}) {
            lbp_code_map(patch.data(), CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE, codes, d, d);
            benchmark::DoNotOptimize(codes[d + 1]);
        }
    }
}
BENCHMARK(BM_lbp_code_maps);

}  // namespace

BENCHMARK_MAIN();
