// frame_cost STAGE WIDTH HEIGHT FRAMES [PACKAGE_DIR]: runs FRAMES frames of one stage with the
// package's three cascades and its classifier on the synthetic walkers scene (frame 200, three
// walkers), for instruction counts read from outside (perf stat, callgrind, qemu's log). The
// run with FRAMES = 0 costs the set-up alone, so (count(N) - count(0)) / N is one frame's cost.
//   scan   lbp_detect: the LBP transforms of the pyramid and the cascade scan
//   frame  the loop's work: detection, grouping, classification, tracking, counting
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/frame_pipeline.h"
#include "classify/classifier_model.h"
#include "classify/frame_faces.h"
#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/scan.h"
#include "platform/capture/synthetic.h"
#include "track/tracker.h"

namespace {

constexpr int kDetectors = 3;
constexpr const char *kCascades[kDetectors] = {"face16.dat", "face20.dat", "face25.dat"};

struct Models {
    Detector detectors[kDetectors] = {};
    ClassifierModel model;
    bool ok = true;

    explicit Models(const std::string &package) {
        const std::string dir = package + "/modules/lbpdetect/stable/";
        for (int i = 0; i < kDetectors; ++i) {
            ok = ok && detector_load(&detectors[i], (dir + kCascades[i]).c_str()) == 0;
            detector_set_options(&detectors[i], 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
        }
        std::string error;
        ok = ok && classifier_model_load(&model, (dir + "classifier.dat").c_str(), &error) ==
                       CLASSIFIER_MODEL_OK;
    }
    ~Models() {
        detector_free(detectors, kDetectors);
        classifier_model_free(&model);
    }
};

// Returns the faces (or raw windows) of the last frame.
int run_scan(Models &m, Image *frame, Image *work, std::vector<Detection> &dets, int frames) {
    int n = 0;
    for (int i = 0; i < frames; ++i) {
        image_to_gray(work, frame);
        n = lbp_detect(dets.data(), DETECTION_CAPACITY, work, m.detectors, kDetectors, nullptr,
                       nullptr, 0);
    }
    return n;
}

int run_frames(Models &m, Image *frame, Image *work, std::vector<Detection> &dets, int frames) {
    Tracker *tracker =
        tracker_new(1, frame->width, 1, frame->height, 12692.0, 75.0, 6000.0, 40.0, 10.0);
    Measurement meas[PIPELINE_MAX_MEASUREMENTS];
    const Measurement *ptrs[PIPELINE_MAX_MEASUREMENTS];
    for (int i = 0; i < PIPELINE_MAX_MEASUREMENTS; ++i) ptrs[i] = &meas[i];
    Track *ended[TRACKER_MAX_TRACKS];
    Tallies tallies;
    const FrameFacesConfig config;
    const ClassifierAgeOffsets offsets = {0, 0, 0};
    int k = 0;
    for (int i = 0; i < frames; ++i) {
        k = frame_faces_find(frame, nullptr, work, m.detectors, kDetectors, m.model, config,
                             dets.data(), DETECTION_CAPACITY);
        const int mm = faces_to_measurements(dets.data(), k < 0 ? 0 : k, 0, offsets, meas,
                                             PIPELINE_MAX_MEASUREMENTS);
        const int l = tracker_step(tracker, ptrs, mm, ended, 1767600000.0 + i * 0.1);
        for (int j = 0; j < l; ++j) ended_track_handle(ended[j], &tallies, nullptr);
        tallies_commit(&tallies, nullptr, true, 1767600000);
    }
    tracker_free(tracker);
    return k;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 5 || (std::strcmp(argv[1], "scan") != 0 && std::strcmp(argv[1], "frame") != 0)) {
        std::fprintf(stderr, "usage: frame_cost scan|frame WIDTH HEIGHT FRAMES [PACKAGE_DIR]\n");
        return 2;
    }
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]), frames = std::atoi(argv[4]);
    Models models(argc > 5 ? argv[5] : MEVO_PACKAGE_DIR);
    if (!models.ok || w < 32 || h < 32 || frames < 0) {
        std::fprintf(stderr, "frame_cost: bad size or models not loaded\n");
        return 1;
    }
    std::vector<uint8_t> pixels(size_t(w) * h);
    synthetic_render(synthetic_scene_walkers(), 200, w, h, pixels.data());
    Image frame = {}, work = {};
    image_setup_auto_stride(&frame, PIXEL_GRAY8, 1, w, h, IMAGE_PLANAR, IMAGE_ORIGIN_TOP);
    frame.stride = w;
    frame.data = frame.base = pixels.data();
    image_create(&work, PIXEL_GRAY8, 1, w, h, IMAGE_PLANAR, IMAGE_ORIGIN_TOP);
    std::vector<Detection> dets(DETECTION_CAPACITY);
    const bool scan = std::strcmp(argv[1], "scan") == 0;
    const int found = scan ? run_scan(models, &frame, &work, dets, frames)
                           : run_frames(models, &frame, &work, dets, frames);
    std::printf("frame_cost: %s %dx%d %d frames, %d %s in the last\n", argv[1], w, h, frames, found,
                scan ? "windows" : "faces");
    image_free(&work);
    return 0;
}
