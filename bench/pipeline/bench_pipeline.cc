// The whole per-frame pipeline and its stages on the synthetic walkers scene rendered at
// 1920 x 1080 and 640 x 480: capture (rendering a frame), detection (lbp_detect with three
// cascades of a trained model's size), grouping, classification (the jitter boxes of every
// face), tracking (the walkers' true boxes as measurements), counting (ended tracks into the
// tallies and the commit), and the whole frame as the application runs it.
//
// The cascades are synthetic (the model writer's format, 20 stages of 3 to 41 features, each
// stage passing about half of the windows that reach it); the classifier is the package's model
// file when present, else the embedded one.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/frame_pipeline.h"
#include "classify/classifier_model.h"
#include "classify/face_classify.h"
#include "classify/frame_faces.h"
#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/scan.h"
#include "platform/capture/synthetic.h"
#include "support/model_writer.h"
#include "track/tracker.h"

namespace {
constexpr int kStages = 20;
constexpr int kDetectors = 3;
constexpr int kWindows[kDetectors] = {16, 20, 25};
constexpr int kSizes[2][2] = {{1920, 1080}, {640, 480}};

mevo_test::ModelDesc synthetic_cascade(int window, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pos(1, window - 2);
    std::uniform_int_distribution<int> score(0, 255);
    mevo_test::ModelDesc m;
    m.width = m.height = window;
    for (int s = 0; s < kStages; ++s) {
        mevo_test::ModelStage stage;
        int n = 3 + 2 * s;
        for (int f = 0; f < n; ++f) {
            mevo_test::ModelFeature feat;
            feat.x = pos(rng);
            feat.y = pos(rng);
            for (int32_t &t : feat.table) t = score(rng);
            stage.features.push_back(feat);
        }
        stage.threshold = int32_t(n * 127.5);  // the median sum: about half pass
        m.stages.push_back(stage);
    }
    return m;
}

struct Fixture {
    int w, h;
    std::vector<uint8_t> frame;
    Image frame_image = {};
    Image detection_image = {};
    Detector detectors[kDetectors] = {};
    ClassifierModel model;
    std::vector<Detection> dets = std::vector<Detection>(DETECTION_CAPACITY);

    Fixture(int width, int height) : w(width), h(height), frame(size_t(width) * height) {
        for (int i = 0; i < kDetectors; ++i) {
            std::string path = "/tmp/bench_pipeline_" + std::to_string(getpid()) + ".dat";
            mevo_test::model_write(path, synthetic_cascade(kWindows[i], 17 + i));
            detector_load(&detectors[i], path.c_str());
            std::remove(path.c_str());
            detector_set_options(&detectors[i], 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
        }
        std::string error;
        const char *pkg = MEVO_PACKAGE_DIR "/modules/lbpdetect/stable/classifier.dat";
        if (classifier_model_load(&model, pkg, &error) != CLASSIFIER_MODEL_OK)
            classifier_model_builtin(&model, &error);
        image_setup_auto_stride(&frame_image, PIXEL_GRAY8, 1, w, h, IMAGE_PLANAR, IMAGE_ORIGIN_TOP);
        frame_image.stride = w;
        frame_image.data = frame_image.base = frame.data();
        image_create(&detection_image, PIXEL_GRAY8, 1, w, h, IMAGE_PLANAR, IMAGE_ORIGIN_TOP);
        render(200);  // a frame with three walkers
    }
    ~Fixture() {
        detector_free(detectors, kDetectors);
        image_free(&detection_image);
        classifier_model_free(&model);
    }
    void render(int n) { synthetic_render(synthetic_scene_walkers(), n, w, h, frame.data()); }
    int walker_boxes(int n, Detection *out) {
        const SyntheticScene *scene = synthetic_scene_walkers();
        int k = 0;
        for (int i = 0; i < scene->walker_count; ++i) {
            SynthRect r;
            if (!synthetic_walker_box(scene, i, n, w, h, &r)) continue;
            out[k] = {};
            out[k].left = r.left;
            out[k].right = r.right;
            out[k].top = r.top;
            out[k].bottom = r.bottom;
            out[k].weight = out[k].hits = out[k].votes = 1;
            ++k;
        }
        return k;
    }
};

Fixture &fixture(int index) {
    static Fixture *f[2] = {nullptr, nullptr};
    if (!f[index]) f[index] = new Fixture(kSizes[index][0], kSizes[index][1]);
    return *f[index];
}

void label(benchmark::State &state) {
    int i = int(state.range(0));
    state.SetLabel(std::to_string(kSizes[i][0]) + "x" + std::to_string(kSizes[i][1]));
}

void BM_Capture(benchmark::State &state) {
    Fixture &f = fixture(int(state.range(0)));
    int n = 0;
    for (auto _ : state) {
        f.render(n++ % 240);
        benchmark::DoNotOptimize(f.frame.data());
    }
    label(state);
}

void BM_Detection(benchmark::State &state) {
    Fixture &f = fixture(int(state.range(0)));
    int raw = 0;
    for (auto _ : state) {
        image_to_gray(&f.detection_image, &f.frame_image);
        raw = lbp_detect(f.dets.data(), DETECTION_CAPACITY, &f.detection_image, f.detectors,
                         kDetectors, nullptr, nullptr, 0);
    }
    state.counters["raw"] = raw;
    label(state);
}

// The synthetic cascades pass no window of the scene, so grouping gets what a trained cascade
// gives around a face: a cluster of windows shifted by up to 3 pixels at two sizes per walker.
void BM_Grouping(benchmark::State &state) {
    Fixture &f = fixture(int(state.range(0)));
    Detection walkers[16];
    int k = f.walker_boxes(200, walkers);
    std::vector<Detection> raw;
    for (int i = 0; i < k; ++i)
        for (int grow = 0; grow <= 4; grow += 4)
            for (int dy = -3; dy <= 3; dy += 2)
                for (int dx = -3; dx <= 3; dx += 2) {
                    Detection d = walkers[i];
                    d.left += dx;
                    d.right += dx + grow;
                    d.top += dy;
                    d.bottom += dy + grow;
                    raw.push_back(d);
                }
    std::vector<Detection> work(raw.size());
    int faces = 0;
    for (auto _ : state) {
        std::copy(raw.begin(), raw.end(), work.begin());
        faces = group_detections(work.data(), int(work.size()));
    }
    state.counters["raw"] = double(raw.size());
    state.counters["faces"] = faces;
    label(state);
}

void BM_Classification(benchmark::State &state) {
    Fixture &f = fixture(int(state.range(0)));
    Detection boxes[64];
    int k = f.walker_boxes(200, boxes);  // three walkers in view
    k = add_jitter_boxes(boxes, k, 64);
    std::vector<Detection> work(boxes, boxes + k);
    for (auto _ : state) {
        std::copy(boxes, boxes + k, work.begin());
        classify_faces_with_model(&f.frame_image, work.data(), k, f.model, 0, 0, 0);
    }
    state.counters["boxes"] = k;
    label(state);
}

void BM_Tracking(benchmark::State &state) {
    Fixture &f = fixture(int(state.range(0)));
    Tracker *tracker = tracker_new(1, 1920, 1, 1080, 12692.0, 75.0, 6000.0, 40.0, 10.0);
    Measurement m[16];
    const Measurement *mp[16];
    Track *lost[TRACKER_MAX_TRACKS];
    Detection boxes[16];
    int n = 0;
    for (auto _ : state) {
        int frame = n % 240;
        int k = f.walker_boxes(frame, boxes);
        for (int i = 0; i < k; ++i) {
            const Detection &b = boxes[i];
            m[i] = {(b.left + b.right) / 2.0,
                    (b.top + b.bottom) / 2.0,
                    std::log(double(b.right - b.left)),
                    0,
                    0,
                    0,
                    1,
                    30,
                    1};
            mp[i] = &m[i];
        }
        int l = tracker_step(tracker, mp, k, lost, 1767600000.0 + n * 0.1);
        for (int i = 0; i < l; ++i) track_free(lost[i]);
        ++n;
    }
    tracker_free(tracker);
    label(state);
}

void BM_Counting(benchmark::State &state) {
    Tallies tallies;
    TrackNoise noise = {12692.0, 75.0, 6000.0, 40.0, 10.0};
    Measurement m = {100, 100, std::log(40.0), 0, 0, 0, 1, 30, 1};
    int n = 0;
    for (auto _ : state) {
        Track *t = track_new(&m, 1767600000.0, &noise);
        t->id = ++n;
        t->weight_sum = 4;
        t->gender_sum = (n & 1) ? 4 : -4;
        t->age_sum = 4.0 * (n % 90);
        t->observations = 4;
        ended_track_handle(t, &tallies, nullptr);
        tallies_commit(&tallies, nullptr, true, 1767600000);
    }
    label(state);
}

void BM_WholeFrame(benchmark::State &state) {
    Fixture &f = fixture(int(state.range(0)));
    Tracker *tracker = tracker_new(1, 1920, 1, 1080, 12692.0, 75.0, 6000.0, 40.0, 10.0);
    Measurement m[PIPELINE_MAX_MEASUREMENTS];
    const Measurement *mp[PIPELINE_MAX_MEASUREMENTS];
    for (int i = 0; i < PIPELINE_MAX_MEASUREMENTS; ++i) mp[i] = &m[i];
    Track *lost[TRACKER_MAX_TRACKS];
    Tallies tallies;
    FrameFacesConfig config;
    ClassifierAgeOffsets offsets = {0, 0, 0};
    int n = 0;
    for (auto _ : state) {
        f.render(n % 240);
        int k = frame_faces_find(&f.frame_image, nullptr, &f.detection_image, f.detectors,
                                 kDetectors, f.model, config, f.dets.data(), DETECTION_CAPACITY);
        int mm = faces_to_measurements(f.dets.data(), k < 0 ? 0 : k, 0, offsets, m,
                                       PIPELINE_MAX_MEASUREMENTS);
        int l = tracker_step(tracker, mp, mm, lost, 1767600000.0 + n * 0.1);
        for (int i = 0; i < l; ++i) ended_track_handle(lost[i], &tallies, nullptr);
        tallies_commit(&tallies, nullptr, true, 1767600000);
        ++n;
    }
    tracker_free(tracker);
    state.counters["fps"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    label(state);
}
}  // namespace

BENCHMARK(BM_Capture)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Detection)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Grouping)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Classification)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tracking)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Counting)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WholeFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
