// The application: start-up, the frame loop and shutdown (log tag "mevo").
//
// One MevoApp lives for the whole process (mevo_main owns it); other modules get pointers to
// its parts. Everything here runs on the main thread except where a field says otherwise.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#include "app/capture_stats.h"
#include "app/frame_pipeline.h"
#include "app/schedule.h"
#include "app/startup_rules.h"
#include "classify/classifier_model.h"
#include "detect/detector.h"
#include "image/image.h"

struct Capture;
struct Tracker;
struct track_buffer;
struct cntdata;

inline constexpr int32_t EXIT_REQUEST_RUN = 0;
inline constexpr int32_t EXIT_REQUEST_RESTART = 1;  // leave the loop; the host starts us again
inline constexpr int32_t EXIT_REQUEST_REBOOT = 2;   // leave the loop, then reboot the camera

inline constexpr int MEVO_CAPTURE_FPS = 30;
inline constexpr time_t NO_COUNT_RESTART_S = 7200;
inline constexpr int MEVO_MAX_DETECTORS = 3;

// 1 while the counting schedule allows counting; written by the schedule check.
extern std::atomic<int32_t> schedule_enabled;

struct MevoApp {
    // 0 run, 1 restart, 2 reboot. Written by any thread (signal handler, HTTP handlers,
    // uploader); read by the loop once per frame.
    std::atomic<int32_t> exit_request{EXIT_REQUEST_RUN};
    bool counting_enabled = false;
    int32_t frame_number = 0;  // 1 for the first frame
    time_t last_count_time = 0;
    std::atomic<float> fps{0.0f};           // over the last 100 frames; read by the HTTP thread
    struct timeval fps_reference = {0, 0};  // real time of the previous measurement
    struct timeval start_time = {0, 0};

    int width = 0, height = 0;  // capture size W x H
    AppRect roi = {0, 0, 0, 0};
    AppRect backend_roi = {0, 0, 0, 0};
    bool roi_valid = false;
    uint8_t image_flip = IMG_FLIP_NONE;

    Detector detectors[MEVO_MAX_DETECTORS] = {};  // packed in load order
    int detector_count = 0;
    int detector_widths[MEVO_MAX_DETECTORS] = {0, 0, 0};
    int32_t biggest_det_scale = -1;
    int32_t start_shift = 0;
    int32_t cluster_score = 0;
    int32_t min_rect = 0;
    int32_t age_offset = 0, age_offset_male = 0, age_offset_female = 0;
    int16_t gender_bias = 0;
    double face_threshold = 0.0;          // Classifier.FaceThreshold as read (a probability)
    int32_t face_threshold_internal = 0;  // the same as a face-score sum limit
    ClassifierModel classifier = {};
    bool classifier_open = false;

    WeekSchedule schedule = {};
    HolidayList holidays = {};

    Tracker *tracker = nullptr;
    track_buffer *tracks = nullptr;
    cntdata *counts = nullptr;  // the count store (owned by application_mevo)
    PipelineState pipeline;     // per-frame storage, allocated once at start-up

    Capture *cap = nullptr;
    CaptureStats capture_stats;  // delivered / processed / dropped frames, "capture-stats.json"
    Image frame_image = {};      // points at the captured frame's pixels (no storage)
    Image detection_image = {};  // the part of the frame the detector scans (allocated)
};

// The whole program: options ("-d"), start-up, loop, shutdown. Always returns 0.
int mevo_main(int argc, char **argv);

// The phases, for tests. mevo_startup returns 0 (failures are logged and start-up goes on, or
// the process exits when it cannot work at all).
int mevo_startup(MevoApp *app, const char *program);
void mevo_loop_run(MevoApp *app);
// One frame: grab, pipeline, commit, periodic duties, parameter test, release, watchdog kick.
// Returns false when the capture delivered no frame.
bool mevo_frame_step(MevoApp *app);
void mevo_shutdown(MevoApp *app);
