// The whole per-frame pipeline and its stages at 1920 x 1080 and 640 x 480, with the shipped
// trained models: capture (rendering a synthetic frame, the host's capture stand-in), detection
// (lbp_detect with the package's three cascades), grouping (of the raw windows the scan gave),
// classification (the jitter boxes of every face found), tracking (the synthetic walkers' true
// boxes as measurements), counting (ended tracks into the tallies and the commit), and the whole
// frame as the application runs it.
//
// Detection, grouping, classification and the whole frame work on a real group photograph (ten
// people facing the camera, from ../shared/data/wider-val) resized to the frame size, so the
// cascades show their real early-exit profile and the classifier real faces. Without the data
// they use the synthetic walkers scene and the label says so.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/frame_pipeline.h"
#include "classify/classifier_model.h"
#include "classify/face_classify.h"
#include "classify/frame_faces.h"
#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/scan.h"
#include "image_io.h"
#include "platform/capture/synthetic.h"
#include "track/tracker.h"

namespace {
constexpr int kDetectors = 3;
constexpr const char *kCascades[kDetectors] = {"face16.dat", "face20.dat", "face25.dat"};
constexpr const char *kPhoto =
    MEVO_DATA_DIR "/wider-val/images/19--Couple/19_Couple_Couple_19_836.jpg";
constexpr int kSizes[2][2] = {{1920, 1080}, {640, 480}};

struct Fixture {
    int w, h;
    std::vector<uint8_t> frame;
    Image frame_image = {};
    Image detection_image = {};
    Detector detectors[kDetectors] = {};
    ClassifierModel model;
    std::vector<Detection> dets = std::vector<Detection>(DETECTION_CAPACITY);

    bool photo = false;          // the real picture, else the synthetic scene
    std::vector<uint8_t> scene;  // what detection sees: the photo or a walkers frame

    Fixture(int width, int height) : w(width), h(height), frame(size_t(width) * height) {
        const std::string models = MEVO_PACKAGE_DIR "/modules/lbpdetect/stable/";
        for (int i = 0; i < kDetectors; ++i) {
            if (detector_load(&detectors[i], (models + kCascades[i]).c_str()) != 0)
                std::fprintf(stderr, "bench_pipeline: cannot load %s\n", kCascades[i]);
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
        scene = frame;
        load_photo();
    }
    // The photo resized to the frame size into `scene`; false (scene left synthetic) without it.
    void load_photo() {
        Image original = {}, sized = {};
        std::string error;
        if (imageio_read_grey(kPhoto, &original, &error) != 0) return;
        if (image_create(&sized, PIXEL_GRAY8, 1, w, h, IMAGE_PLANAR, IMAGE_ORIGIN_TOP) ==
                IMAGE_OK &&
            image_resize(&original, &sized, w, h, IMAGE_FILTER_BILINEAR) == IMAGE_OK) {
            for (int y = 0; y < h; ++y)
                std::copy_n(image_row(&sized, y), w, scene.begin() + ptrdiff_t(y) * w);
            photo = true;
        }
        image_free(&sized);
        image_free(&original);
    }
    void show_scene() { frame = scene; }
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

void label(benchmark::State &state, bool scene = false) {
    int i = int(state.range(0));
    std::string text = std::to_string(kSizes[i][0]) + "x" + std::to_string(kSizes[i][1]);
    if (scene) text += fixture(i).photo ? " photo" : " synthetic (no data)";
    state.SetLabel(text);
}

// The raw windows and the faces of the scene, as the loop's first grouping leaves them.
std::vector<Detection> raw_detections(Fixture &f) {
    f.show_scene();
    image_to_gray(&f.detection_image, &f.frame_image);
    int n = lbp_detect(f.dets.data(), DETECTION_CAPACITY, &f.detection_image, f.detectors,
                       kDetectors, nullptr, nullptr, 0);
    return std::vector<Detection>(f.dets.begin(), f.dets.begin() + std::max(n, 0));
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
    f.show_scene();
    int raw = 0;
    for (auto _ : state) {
        image_to_gray(&f.detection_image, &f.frame_image);
        raw = lbp_detect(f.dets.data(), DETECTION_CAPACITY, &f.detection_image, f.detectors,
                         kDetectors, nullptr, nullptr, 0);
    }
    state.counters["raw"] = raw;
    label(state, true);
}

void BM_Grouping(benchmark::State &state) {
    Fixture &f = fixture(int(state.range(0)));
    const std::vector<Detection> raw = raw_detections(f);
    std::vector<Detection> work(raw.size());
    int faces = 0;
    for (auto _ : state) {
        std::copy(raw.begin(), raw.end(), work.begin());
        faces = group_detections(work.data(), int(work.size()));
    }
    state.counters["raw"] = double(raw.size());
    state.counters["faces"] = faces;
    label(state, true);
}

// Every face the loop would classify (grouped, at least Detector.MinRect's default 20 pixels
// wide) with its eight jitter boxes.
void BM_Classification(benchmark::State &state) {
    Fixture &f = fixture(int(state.range(0)));
    std::vector<Detection> boxes = raw_detections(f);
    int k = group_detections(boxes.data(), int(boxes.size()));
    k = int(std::partition(boxes.begin(), boxes.begin() + k,
                           [](const Detection &d) { return d.right - d.left + 1 >= 20; }) -
            boxes.begin());
    boxes.resize(size_t(k) * 9);
    k = add_jitter_boxes(boxes.data(), k, int(boxes.size()));
    std::vector<Detection> work(boxes.begin(), boxes.begin() + k);
    for (auto _ : state) {
        std::copy(boxes.begin(), boxes.begin() + k, work.begin());
        classify_faces_with_model(&f.frame_image, work.data(), k, f.model, 0, 0, 0);
    }
    state.counters["boxes"] = k;
    label(state, true);
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
    f.show_scene();
    for (auto _ : state) {
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
    label(state, true);
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
