// LBP transform (vector against scalar) and the full multi-scale scan on 1920x1080 and 640x480
// frames with one and two OpenMP threads. The cascade is synthetic but of a trained model's size
// (20 stages, 3 to 41 features per stage); each stage's threshold is set so that about half of the
// windows reaching it on the benchmark frame pass, which gives the early-exit profile of a real
// cascade (most windows leave after one or two stages).
#include <benchmark/benchmark.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/lbp.h"
#include "detect/scan.h"
#include "image/image.h"
#include "support/model_writer.h"

namespace {

constexpr int kWindow = 20;
constexpr int kStages = 20;
constexpr double kStagePassRate = 0.5;

// Smooth shapes with some noise, so LBP codes and stage sums vary as on a camera picture.
void fill_scene(Image *img, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-12, 12);
    for (int y = 0; y < img->height; ++y) {
        uint8_t *row = image_row(img, y);
        for (int x = 0; x < img->width; ++x) {
            const double v = 128 + 50 * std::sin(x / 23.0 + std::cos(y / 41.0) * 3) *
                                       std::cos(y / 17.0 + x / 97.0);
            row[x] = static_cast<uint8_t>(std::clamp(static_cast<int>(v) + noise(rng), 0, 255));
        }
    }
}

ScopedImage *make_grey(int w, int h, unsigned seed) {
    auto *img = new ScopedImage;
    image_create(img->get(), PIXEL_GRAY8, 1, w, h, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
    fill_scene(img->get(), seed);
    return img;
}

mevo_test::ModelDesc synthetic_cascade() {
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> pos(0, kWindow - 1);
    std::uniform_int_distribution<int> score(0, 255);
    mevo_test::ModelDesc m;
    m.width = kWindow;
    m.height = kWindow;
    for (int s = 0; s < kStages; ++s) {
        mevo_test::ModelStage stage;
        for (int f = 0; f < 3 + 2 * s; ++f) {
            mevo_test::ModelFeature feat;
            feat.x = pos(rng);
            feat.y = pos(rng);
            for (int32_t &t : feat.table) t = score(rng);
            stage.features.push_back(feat);
        }
        m.stages.push_back(stage);
    }
    return m;
}

int64_t stage_sum(const Detector &d, int stage, const Image *lbp, int left, int top) {
    int64_t sum = 0;
    for (int k = 0; k < d.nDetFeat[stage]; ++k) {
        const DetectorFeature &f = d.detectorFeat[d.startInd[stage] + k];
        sum += f.table[image_row(lbp, top + f.y)[left + f.x]];
    }
    return sum;
}

// Thresholds that let about kStagePassRate of the windows reaching each stage through.
void calibrate(Detector *d, const Image *grey) {
    ScopedImage lbp;
    image_create(lbp.get(), PIXEL_GRAY8, 1, grey->width, grey->height, 0, 0);
    lbp_transform(lbp.get(), grey);
    std::vector<std::pair<int, int>> alive;
    for (int top = 1; top + kWindow + 1 < grey->height; top += 3)
        for (int left = 1; left + kWindow + 1 < grey->width; left += 3)
            alive.push_back({left, top});
    for (int s = 0; s < d->nCasc; ++s) {
        std::vector<int64_t> sums;
        for (const auto &w : alive) sums.push_back(stage_sum(*d, s, lbp.get(), w.first, w.second));
        if (sums.empty()) {
            d->th[s] = 0;
            continue;
        }
        std::vector<int64_t> sorted = sums;
        const size_t cut = static_cast<size_t>((1.0 - kStagePassRate) * (sorted.size() - 1));
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(cut), sorted.end());
        d->th[s] = static_cast<int32_t>(sorted[cut]);
        std::vector<std::pair<int, int>> next;
        for (size_t i = 0; i < alive.size(); ++i)
            if (sums[i] > d->th[s]) next.push_back(alive[i]);
        alive.swap(next);
    }
}

struct Fixture {
    Detector detector{};
    ScopedImage *hd = nullptr;
    ScopedImage *vga = nullptr;
    Fixture() {
        hd = make_grey(1920, 1080, 1);
        vga = make_grey(640, 480, 2);
        const std::string path = "/tmp/mevo-bench-detect-" + std::to_string(getpid()) + ".dat";
        mevo_test::model_write(path, synthetic_cascade());
        if (detector_load(&detector, path.c_str()) != 0) std::abort();
        std::remove(path.c_str());
        calibrate(&detector, vga->get());
        detector_set_options(&detector, 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
    }
    const Image *frame(int width) { return width == 1920 ? hd->get() : vga->get(); }
};

Fixture &fixture() {
    static Fixture *f = new Fixture;  // lives for the whole run
    return *f;
}

template <int (*Transform)(Image *, const Image *)>
void BM_LbpTransform(benchmark::State &state) {
    const Image *src = fixture().frame(static_cast<int>(state.range(0)));
    ScopedImage dst;
    image_create(dst.get(), PIXEL_GRAY8, 1, src->width, src->height, 0, 0);
    for (auto _ : state) {
        Transform(dst.get(), src);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * src->width * src->height);
}
BENCHMARK_TEMPLATE(BM_LbpTransform, lbp_transform)
    ->Name("BM_LbpTransform/simd")
    ->Arg(1920)
    ->Arg(640);
BENCHMARK_TEMPLATE(BM_LbpTransform, lbp_transform_scalar)
    ->Name("BM_LbpTransform/scalar")
    ->Arg(1920)
    ->Arg(640);

// Args: frame width (1920 or 640), OpenMP threads.
void BM_LbpDetect(benchmark::State &state) {
    Fixture &fx = fixture();
    const Image *src = fx.frame(static_cast<int>(state.range(0)));
    omp_set_num_threads(static_cast<int>(state.range(1)));
    ScopedImage work;
    image_create(work.get(), PIXEL_GRAY8, 1, src->width, src->height, 0, 0);
    std::vector<Detection> out(DETECTION_CAPACITY);
    int found = 0;
    for (auto _ : state) {
        state.PauseTiming();
        image_to_gray(work.get(), src);  // the scan uses its frame as scratch
        state.ResumeTiming();
        found = lbp_detect(out.data(), DETECTION_CAPACITY, work.get(), &fx.detector, 1, nullptr,
                           nullptr, 0);
    }
    state.counters["raw_detections"] = found;
}
BENCHMARK(BM_LbpDetect)
    ->ArgNames({"width", "threads"})
    ->Args({1920, 1})
    ->Args({1920, 2})
    ->Args({640, 1})
    ->Args({640, 2})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()  // CPU of all threads, so the two-thread overhead shows
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
