#include "app/mevo.h"
#include "app/supervision.h"

#include <omp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app_platform.h"
#include "app/application_mevo.h"
#include "app/capture.h"
#include "app/capture_mode_check.h"
#include "app/forced_exit.h"
#include "app/frame_duties.h"
#include "app/frame_pipeline.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/paths.h"
#include "params/param.h"
#include "platform/reboot/reboot.h"

std::atomic<int32_t> schedule_enabled{1};

namespace {
constexpr const char *kTag = "mevo";
constexpr const char *kBrand = "Veka";
constexpr size_t kCounterNameMax = 99;
constexpr int kJsonBufferSize = 3322500;
constexpr int kDefaultCameraWidth = 1920;
constexpr int kDefaultCameraHeight = 1080;
constexpr const char *kForceCloseLog = "/tmp/mevo_force_close.log";

int param_int(const char *name) {
    return std::atoi(ov_param_get(name));
}

double elapsed_s(const struct timeval &from, const struct timeval &to) {
    return double(to.tv_sec - from.tv_sec) + double(to.tv_usec - from.tv_usec) / 1e6;
}

// ---- start-up steps ----

void set_default_counter_name() {
    if (!counter_name_is_default(ov_param_get("Counter.Name"))) return;
    log_message(kTag, "Setting default counter name\n");
    char name[kCounterNameMax + 1];
    std::snprintf(name, sizeof name, "%s-%s", kBrand, ov_param_get_serial());
    // A synced write: the application restarts after its first frame with the new name.
    if (ov_param_set("Counter.Name", name) == OV_PARAM_FAILED)
        log_message(kTag, "failed setting template counter name\n");
}

void read_counting_enabled(MevoApp *app) {
    int full = 0;
    app->counting_enabled = counting_enabled_from(ov_param_get("Counter.Enabled"), &full);
    std::printf("is_enabled=%d\n", full);
    if (!app->counting_enabled)
        ov_param_status_set("ENABLEDERROR", "VEKA Audience Profiler is disabled.");
    log_message(kTag, "mevo enabled: %d\n", int(app->counting_enabled));
    log_message(kTag, "json buffer size: %d\n", kJsonBufferSize);
}

uint8_t decide_image_flip() {
    const char *model = ov_param_get_model();
    if (!model || std::strncmp(model, "KT90", 4) != 0) return IMG_FLIP_NONE;
    int firmware[4];
    const int reference[4] = {8, 30, OV_VERSION_ANY, OV_VERSION_ANY};
    ov_param_get_firmware_version(firmware);
    // 1: the reference is the greater one, so the firmware is older than 8.30.
    return ov_version_compare(firmware, reference) == 1 ? IMG_FLIP_BOTH : IMG_FLIP_NONE;
}

// W x H from Camera.Width/Height; a missing or non-positive size would make the capture fail
// on every start, so the image resolution stands in for it.
void read_capture_size(MevoApp *app, int res_w, int res_h) {
    app->width = param_int("Camera.Width");
    app->height = param_int("Camera.Height");
    if (app->width <= 0 || app->height <= 0) {
        app->width = res_w > 0 ? res_w : kDefaultCameraWidth;
        app->height = res_h > 0 ? res_h : kDefaultCameraHeight;
        log_message(kTag, "Camera.Width/Camera.Height not set, capturing at %dx%d\n", app->width,
                    app->height);
    }
    int setup_w = param_int("Setup.Width");
    log_message(kTag, "%d, %d\n", app->width, app->height);
    log_message(kTag, "capture / setup width ratio %f\n", double(app->width) / setup_w);
}

void read_detection_region(MevoApp *app) {
    app->roi_valid =
        detection_region_parse(ov_param_get("Detector.Roi"), app->width, app->height,
                               param_int("Setup.Width"), param_int("Setup.Height"), &app->roi);
    if (!app->roi_valid) log_message(kTag, "Could not parse roi, falling back to full image");
    app->backend_roi = detection_region_flip(app->roi, app->image_flip, app->width, app->height);
    log_message(kTag, "roi: %d %d %d %d", app->roi.left, app->roi.right, app->roi.top,
                app->roi.bottom);
    log_message(kTag, "backend_roi: %d %d %d %d", app->backend_roi.left, app->backend_roi.right,
                app->backend_roi.top, app->backend_roi.bottom);
}

void open_capture(MevoApp *app) {
    log_message(kTag, "Before cap_open.\n");
    app->cap = _cap_open(app->width, app->height, MEVO_CAPTURE_FPS, PT_GREY);
    log_message(kTag, "After cap_open.\n");
    image_setup_auto_stride(&app->frame_image, PIXEL_GRAY8, 1, app->width, app->height,
                            IMAGE_PLANAR, IMAGE_ORIGIN_TOP);
    // Captured rows are exactly W bytes; the automatic stride rounds up to 4.
    app->frame_image.stride = app->width;
    int det_w = app->roi_valid ? app->roi.right - app->roi.left + 1 : app->width;
    if (image_create(&app->detection_image, PIXEL_GRAY8, 1, det_w, app->height, IMAGE_PLANAR,
                     IMAGE_ORIGIN_TOP) != IMAGE_OK)
        log_message(kTag, "could not allocate the detection image %dx%d", det_w, app->height);
}

void compute_scale_levels(MevoApp *app) {
    detector_scale_levels(app->detector_widths, app->detector_count, app->min_rect,
                          &app->biggest_det_scale, &app->start_shift);
    for (int i = 0; i < app->start_shift; ++i)
        log_message(kTag, "Skipping detector scale level due to param");
    log_message(kTag, "biggestDetScale: %d startShift: %d\n", app->biggest_det_scale,
                app->start_shift);
}

void omp_test_call() {
    log_message(kTag, "Before omp test call.\n");
#pragma omp parallel
    log_message(kTag, "Hello, I am the thread number %d\n", omp_get_thread_num());
}

// ---- loop duties ----

void no_count_test(MevoApp *app) {
    if (clock_now() - app->last_count_time > NO_COUNT_RESTART_S) {
        log_message(kTag, "No counts for 2h, restarting..");
        app->exit_request.store(EXIT_REQUEST_RESTART);
    }
}

void measure_fps(MevoApp *app) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    float seconds = float(elapsed_s(app->fps_reference, now));
    float fps = seconds > 0.0f ? float(FRAME_DUTY_PERIOD) / seconds : 0.0f;
    app->fps.store(fps);
    app->fps_reference = now;
    log_message(kTag, "frame %d: %.2f fps\n", app->frame_number, double(fps));
}

// Camera.Width/Height follow the image resolution; the new size is used from the next start.
void poll_resolution(MevoApp *app) {
    int w = 0, h = 0;
    if (!read_resolution_checked(&w, &h)) return;
    if (w == app->width && h == app->height) return;
    char text[16];
    std::snprintf(text, sizeof text, "%d", w);
    ov_param_set_ex("Camera.Width", text, 0);
    std::snprintf(text, sizeof text, "%d", h);
    ov_param_set_ex("Camera.Height", text, 0);
}

void run_periodic_duties(MevoApp *app) {
    unsigned duties = frame_duties_for(app->frame_number, app->counting_enabled);
    if (duties & FRAME_DUTY_FPS) {
        no_count_test(app);
        measure_fps(app);
        poll_resolution(app);
    }
    if (duties & FRAME_DUTY_TICK) {
        // HOOK(count store): the count store's tick runs here.
        // HOOK(schedule): the schedule check runs here and may change schedule_enabled.
    }
    if ((duties & FRAME_DUTY_SANITY) && app_sanity_check() != 0)
        log_message(kTag, "sanity check failed\n");
}
}  // namespace

int mevo_startup(MevoApp *app, const char *program) {
    app->exit_request.store(EXIT_REQUEST_RUN);
    gettimeofday(&app->start_time, nullptr);
    app->fps_reference = app->start_time;
    app->last_count_time = clock_now();

    std::string package = mevo_package_dir();
    if (chdir(package.c_str()) != 0)
        log_message(kTag, "could not chdir to '%s': %s\n", package.c_str(), strerror(errno));

    log_message(kTag, "Platform init\n");
    std::printf("Platform init\n");
    app_platform_init(program, &app->exit_request);

    std::printf("Application init\n");
    if (application_init(&app->exit_request) != 0)
        log_message(kTag, "** error: application_init() failed");

    // HOOK(exports): "Export init\n" and export_init. HOOK(params): digital-zoom start-up.
    // HOOK(detector): "Detector init\n", the three face models, step type 2; fills
    // app->detector_count and app->detector_widths.

    set_default_counter_name();
    // HOOK(web): endpoints 1 to 23.
    app_watchdog_kick();
    read_counting_enabled(app);
    // HOOK(schedule): weekly schedule and holidays are read, logged and pruned here.
    schedule_enabled.store(1);
    app->image_flip = decide_image_flip();
    int res_w = 0, res_h = 0;
    read_resolution(&res_w, &res_h);
    read_capture_size(app, res_w, res_h);
    app->age_offset = param_int("Detector.AgeOffset");
    app->age_offset_male = param_int("Detector.AgeOffsetMale");
    app->age_offset_female = param_int("Detector.AgeOffsetFemale");
    // HOOK(privacy): "Before anongui init.\n", privacy-mode start-up, "After anongui init.\n".
    read_detection_region(app);
    open_capture(app);
    app->cluster_score = param_int("Detector.ClusterScore");
    app_watchdog_kick();
    app->min_rect = param_int("Detector.MinRect");
    compute_scale_levels(app);
    // HOOK(classifier): the face threshold from this probability (face_threshold_from_
    // probability) is computed where the classifier lands.
    app->gender_bias = gender_bias_from(ov_param_get("Classifier.GenderBias"));
    app->face_threshold = std::atof(ov_param_get("Classifier.FaceThreshold"));
    // HOOK(web): endpoint 24 "gender-live.json".
    log_message(kTag, "Before sanity check.\n");
    if (app_sanity_check() != 0) log_message(kTag, "sanity check failed\n");
    omp_test_call();
    log_message(kTag, "Before localtime calls\n");
    time_t start = app->start_time.tv_sec;
    struct tm scratch;
    localtime_r(&start, &scratch);
    localtime_r(&start, &scratch);
    // HOOK(tracker): tracker_new and the ground-truth recorder.
    // HOOK(web, events): endpoints 25, 26, event module start-up, endpoint 27.
    // HOOK(track buffer): "Before track buffer\n", track_buffer_init(20000), endpoints 28, 29.
    // HOOK(uploader): "Webrepo init\n" and the report uploader.
    log_message(
        kTag, "mirrored: %d, rot180: %d\n",
        int(std::strcmp(ov_param_get("root.Image.I0.Appearance.MirrorEnabled"), "yes") == 0),
        int(std::strcmp(ov_param_get("root.Image.I0.Appearance.Rotation"), "180") == 0));
    // HOOK(uploader): "Send settings to DM attempts\n" and the three attempts.
    // HOOK(detector): flip the loaded detectors when image_flip is IMG_FLIP_BOTH.
    if (app->image_flip == IMG_FLIP_BOTH)
        log_message(kTag, "KT90 model detected (image up-down left-right adjustement).\n");
    log_message(kTag, "Before main loop\n");
    app_watchdog_kick();
    return 0;
}

bool mevo_frame_step(MevoApp *app) {
    const uint8_t *frame = cap_grab(app->cap);
    if (!frame) return false;
    ++app->frame_number;
    // Offline, the two-hour rule counts from the first frame's source time, not the wall clock.
    if (app->frame_number == 1 && clock_mode() == CLOCK_MODE_SOURCE)
        app->last_count_time = clock_now();

    app->frame_image.data = app->frame_image.base = const_cast<uint8_t *>(frame);
    AppFrame current = {&app->frame_image, {0, 0}, app->frame_number};
    int32_t sec = 0, usec = 0;
    cap_frame_time(app->cap, frame, &sec, &usec);
    current.time.tv_sec = sec;
    current.time.tv_usec = usec;

    // HOOK(live endpoints): the low-resolution preview is updated from the frame here.
    if (app->counting_enabled && schedule_enabled.load()) frame_pipeline_run(app, &current);
    if (commit_tallies(app) > 0) app->last_count_time = clock_now();

    run_periodic_duties(app);
    if (ov_param_changed()) {
        log_message(kTag, "Parameters updated, restarting...\n");
        app->exit_request.store(EXIT_REQUEST_RESTART);
    }
    cap_release(app->cap, frame);
    app_watchdog_kick();
    return true;
}

void mevo_loop_run(MevoApp *app) {
    while (app->exit_request.load() == EXIT_REQUEST_RUN) mevo_frame_step(app);
}

void mevo_shutdown(MevoApp *app) {
    log_message(kTag, "track rec destroy\n");
    // HOOK(recorder): stop the ground-truth recorder.
    log_message(kTag, "killing mevo in 10 secs\n");
    forced_exit_arm(FORCED_EXIT_DELAY_MS, kForceCloseLog);
    // HOOK(events): stop the event module.
    log_message(kTag, "tracker destroy");
    // HOOK(tracker): tracker_free_tracks.
    log_message(kTag, "trackbuffer destroy");
    // HOOK(track buffer): track_buffer_free.
    log_message(kTag, "gender_info destroy");
    // HOOK(pipeline): gender_live count = 0.
    log_message(kTag, "cntdata destroy");
    // HOOK(count store): destroy the count store.
    log_message(kTag, "cap destroy");
    cap_destroy(app->cap);
    image_free(&app->detection_image);
    log_message(kTag, "detector destroy");
    // HOOK(detector): detector_free on the loaded detectors.
    log_message(kTag, "export_cleanup\n");
    // HOOK(exports): export cleanup.
    log_message(kTag, "webreport_cleanup\n");
    // HOOK(uploader): report uploader cleanup.
    // The count type descriptions stay: the HTTP thread may still answer a report until exit.
    log_message(kTag, "Exiting.");
    if (app->exit_request.load() == EXIT_REQUEST_REBOOT) {
        log_message(kTag, "reboot requested");
        platform_reboot();
    }
}

int mevo_main(int argc, char **argv) {
    // Progress lines on standard output interleave with the log on standard error.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    static MevoApp app;
    int opt;
    while ((opt = getopt(argc, argv, "d")) != -1) {
        if (opt == 'd') {
            log_message(kTag, "Starting as daemon");
            supervision_detach();
            break;
        }
    }
    mevo_startup(&app, argc > 0 ? argv[0] : "mevo");
    if (app.exit_request.load() == EXIT_REQUEST_RUN) mevo_loop_run(&app);
    mevo_shutdown(&app);
    return 0;
}
