#include "app/mevo.h"
#include "app/supervision.h"

#include <omp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app_platform.h"
#include "app/application_mevo.h"
#include "app/capture.h"
#include "app/capture_mode_check.h"
#include "app/forced_exit.h"
#include "app/frame_duties.h"
#include "app/frame_pipeline.h"
#include "app/live_endpoints.h"
#include "app/schedule.h"
#include "app/supervision.h"
#include "app/viewer_endpoints.h"
#include "classify/classifier.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/paths.h"
#include "count/cntdata.h"
#include "count/exports.h"
#include "count/reports.h"
#include "count/track_buffer.h"
#include "events/events.h"
#include "maint/logs.h"
#include "maint/privacy.h"
#include "maint/track_recorder.h"
#include "params/param.h"
#include "platform/reboot/reboot.h"
#include "report/webreport.h"
#include "track/tracker.h"
#include "web/web.h"

std::atomic<int32_t> schedule_enabled{1};

namespace {
constexpr const char *kTag = "mevo";
constexpr const char *kBrand = "Veka";
constexpr size_t kCounterNameMax = 99;
constexpr int kJsonBufferSize = 3322500;
constexpr int kDefaultCameraWidth = 1920;
constexpr int kDefaultCameraHeight = 1080;
constexpr const char *kForceCloseLog = "/tmp/mevo_force_close.log";
constexpr const char *kDetectorFiles[MEVO_MAX_DETECTORS] = {"face16.dat", "face20.dat",
                                                            "face25.dat"};
constexpr size_t kContentTypeSize = 150;
constexpr int kTrackBufferLogLast = 10;
constexpr int kSettingsAttempts = 3;
// Tracker tuning: image area, position/size noise and initial velocity variance.
constexpr double kTrackXLow = 1.0, kTrackXHigh = 1920.0;
constexpr double kTrackYLow = 1.0, kTrackYHigh = 1080.0;
constexpr double kTrackQxy = 12692.0, kTrackRxy = 75.0, kTrackP11xy = 6000.0;
constexpr double kTrackQz = 40.0, kTrackRz = 10.0;

// The endpoints' user data that must outlive start-up.
LiveTrackSources g_live_sources = {nullptr, nullptr};
WebReportSources g_report_sources;
char g_logs_content_type[kContentTypeSize];
char g_backup_content_type[kContentTypeSize];
char g_copy_content_type[kContentTypeSize];

int param_int(const char *name) {
    return std::atoi(ov_param_get(name));
}

double elapsed_s(const struct timeval &from, const struct timeval &to) {
    return double(to.tv_sec - from.tv_sec) + double(to.tv_usec - from.tv_usec) / 1e6;
}

// ---- start-up steps ----

void load_detectors(MevoApp *app) {
    std::printf("Detector init\n");
    std::string dir = mevo_package_dir() + "/modules/lbpdetect/stable/";
    app->detector_count = 0;
    for (const char *file : kDetectorFiles) {
        std::string path = dir + file;
        std::printf("Reading in detector: %s\n", path.c_str());
        Detector *slot = &app->detectors[app->detector_count];
        if (detector_load(slot, path.c_str()) != 0) {
            log_message(kTag, "Detector Read failed: %s.", path.c_str());
            continue;  // the slot stays free for the next file
        }
        detector_print(slot, stderr);
        app->detector_widths[app->detector_count] = slot->width;
        ++app->detector_count;
    }
    for (int i = 0; i < app->detector_count; ++i)
        detector_set_options(&app->detectors[i], app->detectors[i].cumulative,
                             app->detectors[i].scale_type, DETECTOR_STEP_MS);
}

void register_content_types() {
    const char *serial = ov_param_get_serial();
    std::snprintf(g_logs_content_type, kContentTypeSize,
                  "application/x-tgz\r\nContent-Disposition: attachment; "
                  "filename=\"demographics-%s-logs.tgz\"",
                  serial);
    std::snprintf(g_backup_content_type, kContentTypeSize,
                  "application/octet-stream\r\nContent-Disposition: attachment; "
                  "filename=\"demographics-%s-params.tar.gz\"",
                  serial);
    std::snprintf(g_copy_content_type, kContentTypeSize,
                  "application/octet-stream\r\nContent-Disposition: attachment; "
                  "filename=\"demographics-%s-params-copy.tar.gz\"",
                  serial);
}

// Endpoints 1 to 23, in this order.
void register_main_endpoints(MevoApp *app) {
    constexpr int kByName = WEB_ACCESS_BY_NAME;
    constexpr const char *kUtf8 = "text/plain; charset=UTF-8";
    constexpr const char *kXml = "application/xml; charset=UTF-8";
    constexpr const char *kHtmlUtf8 = "text/html; charset=UTF-8";
    void *counts = app->counts;
    register_content_types();
    web_register("export-csv", export_csv, counts, kUtf8, kByName);
    web_register("export-json", export_json, counts, kUtf8, kByName);
    web_register("export-xml", export_xml, counts, kXml, kByName);
    web_register("live-sum.json", count_handle_live_sum, counts, kUtf8, kByName);
    web_register("last7.json", count_handle_last7, counts, kUtf8, kByName);
    web_register("last7percent.json", count_handle_last7percent, counts, kUtf8, kByName);
    web_register("list-cnt.json", count_handle_list_cnt, counts, "text/plain", kByName);
    web_register("day.xml", count_handle_day_xml, counts, kXml, kByName);
    web_register("week.xml", count_handle_week_xml, counts, kXml, kByName);
    web_register("clear-data", count_handle_clear_data, counts, "text/plain", kByName);
    web_register("fps.json", fps_json_handler, &app->fps, "text/plain", kByName);
    web_register("capture-stats.json", capture_stats_json_handler, &app->capture_stats,
                 "application/json", WEB_ACCESS_VIEWER);
    web_register("reboot", supervision_reboot_handler, nullptr, "text/html", kByName);
    web_register("restart", supervision_restart_handler, nullptr, "text/html", kByName);
    web_register("show-logs", logs_show_handler, nullptr, kUtf8, kByName);
    web_register("generate-logs", logs_generate_handler, nullptr, g_logs_content_type, kByName);
    web_register("ping", ping_handler, nullptr, kUtf8, kByName);
    web_register("anonymize", anonymize_handler, nullptr, kHtmlUtf8, kByName);
    web_register("lowres.json", lowres_json_handler, nullptr, kUtf8, kByName);
    web_register("anonymize_reset", anonymize_reset_handler, nullptr, kHtmlUtf8, kByName);
    web_register("update_zoom.json", update_zoom_json_handler, nullptr, "text_plain", kByName);
    web_register("init_zoom.json", init_zoom_json_handler, nullptr, "text_plain", kByName);
    web_register("backup_params", backup_params_handler, nullptr, g_backup_content_type, kByName);
    web_register("copy_params", copy_params_handler, nullptr, g_copy_content_type, kByName);
}

void open_classifier(MevoApp *app) {
    app->classifier_open = classifier_model_open(&app->classifier) == CLASSIFIER_MODEL_OK;
    if (!app->classifier_open) log_message(kTag, "no classifier model: faces are not classified");
    app->face_threshold_internal = face_threshold_from_probability(
        app->face_threshold,
        app->classifier_open ? app->classifier.face_scale : CLASSIFIER_DEFAULT_FACE_SCALE);
}

// The event thread's view of the live tracks: copied under the tracker's lock.
int copy_event_tracks(void *ctx, EventTrackView *out, int max) {
    auto *tracker = static_cast<Tracker *>(ctx);
    if (!tracker) return 0;
    auto guard = tracker_guard(tracker);
    int n = 0;
    for (int i = 0; i < tracker->track_count && n < max; ++i) {
        const Track *t = tracker->tracks[i];
        out[n++] = {t->id, t->gender_sum, t->age_sum, t->weight_sum};
    }
    return n;
}

int report_rows(void *ctx, char *out, size_t capacity, double start, double end) {
    return track_buffer_rows(static_cast<track_buffer *>(ctx), out, capacity, start, end);
}

std::string report_settings() {
    return ov_param_settings_document(nullptr);
}

void send_settings_attempts(MevoApp *app) {
    log_message(kTag, "Send settings to DM attempts\n");
    for (int attempt = 0; attempt < kSettingsAttempts; ++attempt) {
        if (app->exit_request.load() != EXIT_REQUEST_RUN) return;
        int flag = 0;
        if (webreport_get_settings_flag(g_report_sources, &flag) == 0) {
            log_message(kTag, "get settings flag (%d)\n", flag);
            if (flag > 0 && webreport_send_settings(g_report_sources) == 0) {
                log_message(kTag, "Settings sent\n");
                continue;
            }
        }
        sleep(1);
    }
}

void start_tracking(MevoApp *app) {
    app->tracker = tracker_new(kTrackXLow, kTrackXHigh, kTrackYLow, kTrackYHigh, kTrackQxy,
                               kTrackRxy, kTrackP11xy, kTrackQz, kTrackRz);
    track_recorder_start(app->tracker);
    web_register("viz.json", viz_json_handler, app->tracker, "text/plain", WEB_ACCESS_BY_NAME);
    web_register_stream("tracks-live.json", tracks_live_json_handler, app->tracker, "text/plain",
                        WEB_ACCESS_VIEWER);
    events_init(copy_event_tracks, app->tracker, &schedule_enabled);
    web_register("events.json", events_json_handler, nullptr, "text/plain", WEB_ACCESS_BY_NAME);
}

void start_track_buffer(MevoApp *app) {
    log_message(kTag, "Before track buffer\n");
    app->tracks = track_buffer_init(TRACK_BUFFER_CAPACITY);
    if (!app->tracks || !app->tracks->ready)
        log_message(kTag, "Track buffer initialization failed\n");
    track_buffer_log_last(app->tracks, kTrackBufferLogLast);
    g_live_sources = {app->tracks, app->tracker};
    web_register_stream("tracks-ended.json", tracks_ended_json_handler, app->tracks, "text/plain",
                        WEB_ACCESS_VIEWER);
    web_register_stream("tracks-live-and-ended.json", tracks_live_and_ended_json_handler,
                        &g_live_sources, "text/plain", WEB_ACCESS_VIEWER);
}

void start_uploader(MevoApp *app) {
    log_message(kTag, "Webrepo init\n");
    g_report_sources.rows = report_rows;
    g_report_sources.rows_ctx = app->tracks;
    g_report_sources.settings = report_settings;
    g_report_sources.cancel = &app->exit_request;
    webreport_start(g_report_sources, &app->exit_request);
}

void flip_detectors(MevoApp *app) {
    for (int i = 0; i < app->detector_count; ++i) {
        app->detectors[i].flip_up_down = DETECTOR_FLIP_ON;
        app->detectors[i].flip_left_right = DETECTOR_FLIP_ON;
        detector_rotate_180(&app->detectors[i]);
    }
}

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
    // Each ov_param_get() overwrites the previous text, and the order in which arguments are
    // evaluated is open: read the numbers first, then copy the region text.
    int setup_w = param_int("Setup.Width");
    int setup_h = param_int("Setup.Height");
    std::string roi_text = ov_param_get("Detector.Roi");
    app->roi_valid = detection_region_parse(roi_text.c_str(), app->width, app->height, setup_w,
                                            setup_h, &app->roi);
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

// Camera.Width/Height follow the image resolution, and a changed resolution restarts the
// application to capture at the new size. W x H stay the capture's until then: everything that
// reads a frame uses them. The restart is asked for here, not left to the synced write, which
// restarts nothing when the store already holds the value (written earlier without sync).
void poll_resolution(MevoApp *app) {
    int w = 0, h = 0;
    read_resolution(&w, &h);
    if (w == app->width && h == app->height) return;
    char text[16];
    std::snprintf(text, sizeof text, "%d", w);
    ov_param_set_ex("Camera.Width", text, 1);
    std::snprintf(text, sizeof text, "%d", h);
    ov_param_set_ex("Camera.Height", text, 1);
    log_message(kTag, "resolution %dx%d differs from the capture's %dx%d, restarting\n", w, h,
                app->width, app->height);
    app->exit_request.store(EXIT_REQUEST_RESTART);
}

void run_periodic_duties(MevoApp *app) {
    unsigned duties = frame_duties_for(app->frame_number, app->counting_enabled);
    if (duties & FRAME_DUTY_FPS) {
        no_count_test(app);
        measure_fps(app);
        poll_resolution(app);
    }
    if (duties & FRAME_DUTY_TICK) {
        if (app->counts) cntdata_tick(app->counts);
        schedule_check(&app->schedule, &app->holidays, &schedule_enabled, clock_now());
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

    app->counts = application_counts();
    pipeline_state_init(&app->pipeline);

    std::printf("Export init\n");
    if (!app->counts || export_init(app->counts) < 0)
        log_message(kTag, "** error: export_init() failed");
    ov_param_dzoom_init();
    load_detectors(app);

    set_default_counter_name();
    register_main_endpoints(app);
    app_watchdog_kick();
    read_counting_enabled(app);
    schedule_startup(&app->schedule, &app->holidays, clock_now());
    schedule_enabled.store(1);
    app->image_flip = decide_image_flip();
    int res_w = 0, res_h = 0;
    read_resolution(&res_w, &res_h);
    read_capture_size(app, res_w, res_h);
    app->age_offset = param_int("Detector.AgeOffset");
    app->age_offset_male = param_int("Detector.AgeOffsetMale");
    app->age_offset_female = param_int("Detector.AgeOffsetFemale");
    log_message(kTag, "Before anongui init.\n");
    privacy_init(lowres_json_handler);
    viewer_endpoints_register();
    log_message(kTag, "After anongui init.\n");
    read_detection_region(app);
    open_capture(app);
    app->cluster_score = param_int("Detector.ClusterScore");
    app_watchdog_kick();
    app->min_rect = param_int("Detector.MinRect");
    compute_scale_levels(app);
    app->gender_bias = gender_bias_from(ov_param_get("Classifier.GenderBias"));
    app->face_threshold = std::atof(ov_param_get("Classifier.FaceThreshold"));
    open_classifier(app);
    web_register("gender-live.json", gender_live_json_handler, &app->pipeline.gender_live,
                 "text/plain; charset=UTF-8", WEB_ACCESS_BY_NAME);
    log_message(kTag, "Before sanity check.\n");
    if (app_sanity_check() != 0) log_message(kTag, "sanity check failed\n");
    omp_test_call();
    log_message(kTag, "Before localtime calls\n");
    time_t start = app->start_time.tv_sec;
    struct tm scratch;
    localtime_r(&start, &scratch);
    localtime_r(&start, &scratch);
    start_tracking(app);
    start_track_buffer(app);
    start_uploader(app);
    log_message(
        kTag, "mirrored: %d, rot180: %d\n",
        int(std::strcmp(ov_param_get("root.Image.I0.Appearance.MirrorEnabled"), "yes") == 0),
        int(std::strcmp(ov_param_get("root.Image.I0.Appearance.Rotation"), "180") == 0));
    send_settings_attempts(app);
    if (app->image_flip == IMG_FLIP_BOTH) {
        flip_detectors(app);
        log_message(kTag, "KT90 model detected (image up-down left-right adjustement).\n");
    }
    log_message(kTag, "Before main loop\n");
    app_watchdog_kick();
    return 0;
}

bool mevo_frame_step(MevoApp *app) {
    const uint8_t *frame = cap_grab(app->cap);
    if (!frame) return false;
    CaptureNativeStats native;
    cap_stats(app->cap, &native);
    capture_stats_update(&app->capture_stats, native);
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

    lowres_update(frame, app->width, app->height, app->frame_image.stride, lowres_camera_rotated());
    if (app->counting_enabled && schedule_enabled.load())
        frame_pipeline_run(app, &current);
    else if (app->counting_enabled)
        frame_pipeline_idle(app, &current);
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
    web_quiesce();  // no handler may run on what the steps below free
    log_message(kTag, "track rec destroy\n");
    track_recorder_stop();
    log_message(kTag, "killing mevo in 10 secs\n");
    forced_exit_arm(FORCED_EXIT_DELAY_MS, kForceCloseLog);
    events_close();
    log_message(kTag, "tracker destroy");
    if (app->tracker) tracker_free_tracks(app->tracker);
    log_message(kTag, "trackbuffer destroy");
    // The endpoints keep their pointer; the listing of a freed buffer must not be reached.
    g_live_sources = {nullptr, app->tracker};
    track_buffer_free(app->tracks);
    app->tracks = nullptr;
    log_message(kTag, "gender_info destroy");
    {
        std::lock_guard<std::mutex> guard(app->pipeline.gender_live.lock);
        app->pipeline.gender_live.count = 0;
    }
    log_message(kTag, "cntdata destroy");
    application_counts_destroy();
    app->counts = nullptr;
    log_message(kTag, "cap destroy");
    cap_destroy(app->cap);
    image_free(&app->detection_image);
    log_message(kTag, "detector destroy");
    detector_free(app->detectors, app->detector_count);
    app->detector_count = 0;
    log_message(kTag, "export_cleanup\n");
    export_cleanup();
    log_message(kTag, "webreport_cleanup\n");
    webreport_cleanup();
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
