// The frame pipeline's counting, the counting schedule and holidays, and the live endpoints.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include <climits>
#include <random>
#include <vector>
#include "app/frame_pipeline.h"
#include "app/live_endpoints.h"
#include "app/mevo.h"
#include "app/schedule.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "count/cntdata.h"
#include "count/track_buffer.h"
#include "params/param.h"
#include "support/model_writer.h"
#include "track/track.h"
#include "track/tracker.h"

namespace {

// A fresh root with the package's parameter defaults, in UTC so local times are plain.
class AppRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mevo-pipeline-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        setenv("MEVO_ROOT", root_.c_str(), 1);
        setenv("TZ", "UTC", 1);
        tzset();
        mevo_root_reset_for_tests();
        std::string pkg = mevo_package_dir();
        ASSERT_EQ(file_mkdir_p(pkg + "/localdata"), 0);
        ASSERT_EQ(file_mkdir_p(pkg + "/host"), 0);
        ASSERT_EQ(file_mkdir_p(root_ + "/tmp"), 0);
        ASSERT_EQ(
            file_copy(MEVO_TEST_PACKAGE_DIR "/param.conf.default", pkg + "/param.conf.default"), 0);
        ASSERT_EQ(file_copy(MEVO_TEST_PACKAGE_DIR "/host/camera-profile.conf",
                            pkg + "/host/camera-profile.conf"),
                  0);
        log_set_stderr(getenv("TEST_VERBOSE") != nullptr);
        ov_param_reset_for_tests();
        ASSERT_EQ(ov_param_init(nullptr), 0);
    }
    void TearDown() override {
        ov_param_reset_for_tests();
        std::filesystem::remove_all(root_);
        unsetenv("MEVO_ROOT");
        mevo_root_reset_for_tests();
        log_set_stderr(true);
    }
    void set(const char *name, const char *value) {
        ASSERT_NE(ov_param_set_ex(name, value, 0), OV_PARAM_FAILED) << name;
    }
    std::string root_;
};

time_t utc(int year, int month, int day, int hour, int minute) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return timegm(&t);
}

std::string reply_of(const char *(*handler)(void *, const char *, int *), void *user,
                     const char *args) {
    int len = -1;
    const char *body = handler(user, args, &len);
    return std::string(body, size_t(len));
}

Track *make_track(int id, double gender_sum, double age_sum, double weight_sum) {
    Measurement m = {100, 100, std::log(40.0), 0, 0, 0, 0, 30, 1};
    TrackNoise noise = {12692.0, 75.0, 6000.0, 40.0, 10.0};
    Track *t = track_new(&m, 1767600000.0, &noise);
    t->id = id;
    t->gender_sum = gender_sum;
    t->age_sum = age_sum;
    t->weight_sum = weight_sum;
    t->observations = 4;
    t->boxsize_sum = 4 * 41.0;
    t->time_end = 1767600002.5;
    return t;
}

// ---- pipeline ----

TEST(Pipeline, AgeBandBoundaries) {
    struct {
        int age, band;
    } cases[] = {{-5, 0}, {0, 0},  {14, 0}, {15, 1}, {24, 1}, {25, 2}, {44, 3},
                 {54, 4}, {64, 5}, {65, 6}, {74, 6}, {75, 7}, {120, 7}};
    for (auto c : cases) EXPECT_EQ(age_band(c.age), c.band) << c.age;
}

TEST(Pipeline, FacesBecomeMeasurementsWithFlagClampedAgeAndClusterCut) {
    Detection faces[4] = {};
    auto face = [](Detection &d, int l, int r, int gender, int age, int hits) {
        d.left = l;
        d.right = r;
        d.top = 10;
        d.bottom = 10 + (r - l);
        d.gender = gender;
        d.age = age;
        d.hits = hits;
    };
    face(faces[0], 100, 140, 0, 30, 3);   // undecided: only the common offset
    face(faces[1], 200, 220, 40, -8, 3);  // man, age below 0 after offsets
    face(faces[2], 300, 330, -40, 115, 3);
    face(faces[3], 400, 430, 50, 30, 2);  // hits not above the cluster score
    ClassifierAgeOffsets offsets = {5, 2, 10};
    Measurement out[PIPELINE_MAX_MEASUREMENTS];
    ASSERT_EQ(faces_to_measurements(faces, 4, 2, offsets, out, PIPELINE_MAX_MEASUREMENTS), 3);
    EXPECT_DOUBLE_EQ(out[0].x, 120.0);
    EXPECT_DOUBLE_EQ(out[0].y, 30.0);
    EXPECT_DOUBLE_EQ(out[0].z, std::log(40.0));
    EXPECT_DOUBLE_EQ(out[0].gender_flag, 0.0);
    EXPECT_DOUBLE_EQ(out[0].age_value, 35.0);
    EXPECT_DOUBLE_EQ(out[1].gender_flag, 1.0);
    EXPECT_DOUBLE_EQ(out[1].age_value, 0.0);
    EXPECT_DOUBLE_EQ(out[2].gender_flag, -1.0);
    EXPECT_DOUBLE_EQ(out[2].age_value, 100.0);
    EXPECT_DOUBLE_EQ(out[2].attr_weight, 1.0);
    // Never more than the capacity.
    EXPECT_EQ(faces_to_measurements(faces, 4, 0, offsets, out, 2), 2);
}

TEST_F(AppRoot, EndedTracksAreCountedOnlyWhenConfirmedAndStored) {
    track_buffer *tb = track_buffer_init(100);
    ASSERT_TRUE(tb && tb->ready);
    Tallies tallies;
    EXPECT_FALSE(ended_track_handle(make_track(0, 5, 100, 4), &tallies, tb));  // tentative
    EXPECT_FALSE(ended_track_handle(make_track(3, 5, 100, 0), &tallies, tb));  // no attributes
    EXPECT_TRUE(ended_track_handle(make_track(4, 0.0, 4 * 30.0, 4), &tallies, tb));
    EXPECT_TRUE(ended_track_handle(make_track(5, 2.0, 4 * 70.9, 4), &tallies, tb));
    EXPECT_EQ(tallies.women[age_band(30)], 1);  // gender sum 0 counts as a woman
    EXPECT_EQ(tallies.men[age_band(70)], 1);
    int total = 0;
    for (int b = 0; b < AGE_BANDS; ++b) total += tallies.men[b] + tallies.women[b];
    EXPECT_EQ(total, 2);
    ASSERT_EQ(track_buffer_count(tb), 2);
    track_record r;
    ASSERT_EQ(track_buffer_get(tb, 1, &r), 0);
    EXPECT_EQ(r.trackid, 5);
    EXPECT_EQ(r.gender, 1);
    EXPECT_EQ(r.age, 70);
    EXPECT_EQ(r.avg_boxsize, 41);
    EXPECT_DOUBLE_EQ(r.t_start, 1767600000.0);
    EXPECT_DOUBLE_EQ(r.t_end, 1767600002.5);
    track_buffer_free(tb);
}

TEST_F(AppRoot, TalliesCommitIntoTotalAndBandAndSkipScheduleOffTracksForGood) {
    cntdata counts;
    int32_t ids[CNTDATA_TYPES];
    for (int i = 0; i < CNTDATA_TYPES; ++i) ids[i] = 300 + i;
    std::string tmp = root_ + "/tmp/count.buf", flash = root_ + "/count.buf";
    ASSERT_EQ(cntdata_open(&counts, CNTDATA_SLOTS, CNTDATA_INTERVAL, CNTDATA_TYPES, ids, nullptr,
                           nullptr, nullptr, tmp.c_str(), flash.c_str()),
              0);
    const time_t now = utc(2026, 12, 7, 10, 5);
    Tallies t;
    t.men[2] = 2;
    t.women[7] = 1;
    EXPECT_EQ(tallies_commit(&t, &counts, true, now), 3);
    EXPECT_EQ(tallies_commit(&t, &counts, true, now), 0);  // nothing new
    // Two more people end while the schedule is off: marked committed, never counted.
    t.men[0] += 1;
    t.women[7] += 1;
    EXPECT_EQ(tallies_commit(&t, &counts, false, now), 0);
    EXPECT_EQ(tallies_commit(&t, &counts, true, now + 60), 0);
    t.women[1] += 1;
    EXPECT_EQ(tallies_commit(&t, &counts, true, now + 120), 1);
    const int32_t *slot = cntdata_slot_for(&counts, now);
    ASSERT_NE(slot, nullptr);
    const int32_t expect[CNTDATA_TYPES] = {2, 2, 0, 0, 2, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < CNTDATA_TYPES; ++i) EXPECT_EQ(slot[1 + i], expect[i]) << "type " << i;
    // A tally below its committed part is corruption.
    t.men[2] = 1;
    EXPECT_EQ(tallies_commit(&t, &counts, true, now), -1);
    cntdata_destroy(&counts);
}

// One face pattern walks across otherwise flat frames, then leaves: the whole chain from the
// scan to the count store counts it exactly once, in the band and gender of its track record.
TEST_F(AppRoot, AWalkingFaceIsCountedOnceAfterItsTrackEnds) {
    constexpr int kW = 160, kH = 120, kSide = 20;
    std::mt19937 rng(5);
    std::vector<uint8_t> pattern(kSide * kSide);
    for (auto &v : pattern) v = uint8_t(30 + rng() % 196);
    std::string model = root_ + "/face.dat";
    ASSERT_EQ(mevo_test::model_write(
                  model, mevo_test::cascade_for_pattern(pattern.data(), kSide, kSide, kSide)),
              0);
    static MevoApp app;
    app.width = kW;
    app.height = kH;
    ASSERT_EQ(detector_load(&app.detectors[0], model.c_str()), 0);
    detector_set_options(&app.detectors[0], 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
    app.detector_count = 1;
    std::string error;
    ASSERT_EQ(classifier_model_builtin(&app.classifier, &error), CLASSIFIER_MODEL_OK);
    app.classifier_open = true;
    app.face_threshold_internal = INT32_MIN;
    app.tracker = tracker_new(1, 1920, 1, 1080, 12692.0, 75.0, 6000.0, 40.0, 10.0);
    app.tracks = track_buffer_init(100);
    cntdata counts;
    int32_t ids[CNTDATA_TYPES];
    for (int i = 0; i < CNTDATA_TYPES; ++i) ids[i] = 300 + i;
    std::string tmp = root_ + "/tmp/count.buf", flash = root_ + "/count.buf";
    ASSERT_EQ(cntdata_open(&counts, CNTDATA_SLOTS, CNTDATA_INTERVAL, CNTDATA_TYPES, ids, nullptr,
                           nullptr, nullptr, tmp.c_str(), flash.c_str()),
              0);
    app.counts = &counts;
    ASSERT_EQ(pipeline_state_init(&app.pipeline), 0);
    ASSERT_EQ(
        image_create(&app.detection_image, PIXEL_GRAY8, 1, kW, kH, IMAGE_PLANAR, IMAGE_ORIGIN_TOP),
        IMAGE_OK);
    std::vector<uint8_t> pixels(size_t(kW) * kH);
    Image frame = {};
    image_setup_auto_stride(&frame, PIXEL_GRAY8, 1, kW, kH, IMAGE_PLANAR, IMAGE_ORIGIN_TOP);
    frame.stride = kW;
    frame.data = frame.base = pixels.data();

    int found = 0, counted = 0;
    const time_t t0 = 1767600000;
    for (int n = 1; n <= 400 && counted == 0; ++n) {
        std::fill(pixels.begin(), pixels.end(), uint8_t(128));
        bool visible = n <= 40;
        if (visible) {
            int x = 10 + 3 * n, y = 40;
            for (int r = 0; r < kSide; ++r)
                std::copy_n(&pattern[size_t(r) * kSide], kSide, &pixels[size_t(y + r) * kW + x]);
        }
        AppFrame f = {&frame, {t0 + n / 10, (n % 10) * 100000}, n};
        int faces = frame_pipeline_run(&app, &f);
        if (visible && faces == 1) ++found;
        if (!visible) {
            EXPECT_EQ(faces, 0) << n;
        }
        int c = tallies_commit(&app.pipeline.tallies, &counts, true, t0);
        ASSERT_GE(c, 0);
        counted += c;
    }
    EXPECT_GE(found, 35);  // found in (nearly) every frame it was in
    ASSERT_EQ(counted, 1);
    ASSERT_EQ(track_buffer_count(app.tracks), 1);
    track_record r;
    ASSERT_EQ(track_buffer_get(app.tracks, 0, &r), 0);
    EXPECT_EQ(r.trackid, 1);
    EXPECT_NEAR(r.avg_boxsize, kSide, 2);
    const int32_t *slot = cntdata_slot_for(&counts, t0);
    ASSERT_NE(slot, nullptr);
    int band = age_band(r.age);
    int total_type = r.gender > 0 ? COUNT_TYPE_MEN_TOTAL : COUNT_TYPE_WOMEN_TOTAL;
    int band_type = (r.gender > 0 ? COUNT_TYPE_MEN_BAND0 : COUNT_TYPE_WOMEN_BAND0) + band;
    for (int i = 0; i < CNTDATA_TYPES; ++i)
        EXPECT_EQ(slot[1 + i], (i == total_type || i == band_type) ? 1 : 0) << "type " << i;

    tracker_free(app.tracker);
    track_buffer_free(app.tracks);
    cntdata_destroy(&counts);
    detector_free(app.detectors, 1);
    image_free(&app.detection_image);
    pipeline_state_free(&app.pipeline);
    classifier_model_free(&app.classifier);
}

// While the schedule keeps counting off the tracker is still stepped, without faces: a person
// in view when counting went off has their track end in the off time, stored and never
// counted, and a face seen after counting resumes starts a track of its own.
TEST_F(AppRoot, TracksEndWhileScheduledOffAndAreNeverCounted) {
    static MevoApp app;
    app.tracker = tracker_new(1, 1920, 1, 1080, 12692.0, 75.0, 6000.0, 40.0, 10.0);
    app.tracks = track_buffer_init(100);
    ASSERT_TRUE(app.tracks && app.tracks->ready);
    ASSERT_EQ(pipeline_state_init(&app.pipeline), 0);
    const double t0 = 1767600000.0;
    Measurement m = {300, 200, std::log(48.0), 0, 0, 0, 1, 30, 1};
    const Measurement *mp = &m;
    Track *lost[TRACKER_MAX_TRACKS];
    int n = 0;
    for (; n < 20; ++n) {
        m.x = 300 + 4 * n;
        ASSERT_EQ(tracker_step(app.tracker, &mp, 1, lost, t0 + 0.1 * n), 0);
    }
    ASSERT_EQ(app.tracker->track_count, 1);
    ASSERT_GT(app.tracker->tracks[0]->id, 0);
    auto frame_at = [](double t, int number) {
        AppFrame f = {nullptr, {time_t(t), suseconds_t((t - double(time_t(t))) * 1e6)}, number};
        return f;
    };
    int ended = 0;
    for (int k = 0; k < 50 && app.tracker->track_count > 0; ++k, ++n) {
        AppFrame f = frame_at(t0 + 0.1 * n, n + 1);
        ended += frame_pipeline_idle(&app, &f);
    }
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(app.tracker->track_count, 0);
    EXPECT_EQ(app.pipeline.tallies.men[age_band(30)], 1);
    EXPECT_EQ(track_buffer_count(app.tracks), 1);
    EXPECT_EQ(tallies_commit(&app.pipeline.tallies, nullptr, false, time_t(t0) + 5), 0);
    EXPECT_EQ(tallies_commit(&app.pipeline.tallies, nullptr, true, time_t(t0) + 60), 0);
    // Counting resumes a minute later: a face elsewhere is a new, tentative track.
    m.x = 900;
    ASSERT_EQ(tracker_step(app.tracker, &mp, 1, lost, t0 + 60.0), 0);
    ASSERT_EQ(app.tracker->track_count, 1);
    EXPECT_EQ(app.tracker->tracks[0]->id, 0);

    tracker_free(app.tracker);
    app.tracker = nullptr;
    track_buffer_free(app.tracks);
    app.tracks = nullptr;
    pipeline_state_free(&app.pipeline);
}

TEST(Pipeline, PublishKeepsFacesAboveThresholdAndSkipsWhenBusy) {
    static GenderLive live;
    Detection faces[3] = {};
    faces[0].face_score = 10;
    faces[1].face_score = 5;
    faces[2].face_score = 11;
    faces[2].age = 42;
    EXPECT_TRUE(gender_live_publish(&live, faces, 3, 5));
    ASSERT_EQ(live.count, 2);
    EXPECT_EQ(live.faces[1].age, 42);
    live.lock.lock();
    EXPECT_FALSE(gender_live_publish(&live, faces, 0, 5));
    live.lock.unlock();
    EXPECT_EQ(live.count, 2);  // the busy frame changed nothing
}

// ---- schedule and holidays ----

TEST_F(AppRoot, WeekdayWindowsAndTheirEdges) {
    set("Schedule.StartMo", "08:00");
    set("Schedule.StopMo", "17:30");
    set("Schedule.StartTu", "18:00");  // a night window is not supported: all day outside
    set("Schedule.StopTu", "06:00");
    set("Schedule.EnableWe", "yes");  // only "1" enables
    set("Schedule.StartTh", "abc");   // unparsable: the whole day
    WeekSchedule s;
    schedule_read(&s);
    EXPECT_EQ(s.start[1], 480);
    EXPECT_EQ(s.stop[1], 1050);
    EXPECT_EQ(s.start[3], SCHEDULE_DAY_OFF);
    EXPECT_EQ(s.start[4], 0);
    EXPECT_EQ(s.stop[4], SCHEDULE_WHOLE_DAY);
    HolidayList none = {};
    struct {
        int day, hour, minute;
        bool inside;
    } cases[] = {
        {7, 7, 59, false}, {7, 8, 0, true},    {7, 17, 29, true}, {7, 17, 30, false},
        {8, 5, 0, false},  {8, 12, 0, false},  {8, 19, 0, false}, {9, 12, 0, false},
        {10, 0, 0, true},  {10, 23, 59, true},
    };
    for (auto c : cases)
        EXPECT_EQ(schedule_allows(&s, &none, utc(2026, 12, c.day, c.hour, c.minute)), c.inside)
            << "Dec " << c.day << " " << c.hour << ":" << c.minute;
}

TEST_F(AppRoot, HolidaysParsedPrunedAndRewritten) {
    const time_t now = utc(2026, 12, 10, 9, 0);
    WeekSchedule s;
    HolidayList h;
    set("Schedule.Holidays", "12-24-2026;");
    schedule_startup(&s, &h, now);
    EXPECT_EQ(h.count, 1);
    EXPECT_STREQ(ov_param_get("Schedule.Holidays"), "12-24-2026;");

    set("Schedule.Holidays", "12-25-2026,12-09-2026,12-10-2026;");
    schedule_startup(&s, &h, now);
    ASSERT_EQ(h.count, 2);  // yesterday is gone, today stays; sorted
    EXPECT_STREQ(ov_param_get("Schedule.Holidays"), "12-10-2026,12-25-2026;");
    EXPECT_TRUE(holidays_is_today(&h, now));
    EXPECT_FALSE(schedule_allows(&s, &h, now));
    EXPECT_FALSE(ov_param_changed());  // the rewrite does not restart the application

    std::string sixty;
    for (int i = 0; i < 60; ++i) sixty += "01-" + std::to_string(1 + i % 28) + "-2030,";
    sixty.back() = ';';
    HolidayList many;
    EXPECT_EQ(holidays_parse(sixty.c_str(), &many), 0);
    EXPECT_EQ(many.count, HOLIDAYS_MAX);

    HolidayList bad;
    EXPECT_EQ(holidays_parse("12-24-2026,garbage", &bad), -2);
    EXPECT_EQ(bad.count, 1);  // the leading date stays
    EXPECT_EQ(holidays_parse("12-24-2026", &bad), -3);
    EXPECT_EQ(holidays_parse(nullptr, &bad), -1);
    EXPECT_EQ(holidays_parse("", &bad), 0);
    EXPECT_EQ(bad.count, 0);
}

TEST_F(AppRoot, ScheduleCheckSwitchesAndKeepsOneStatusMessage) {
    set("Schedule.StartMo", "08:00");
    set("Schedule.StopMo", "17:30");
    WeekSchedule s;
    schedule_read(&s);
    HolidayList none = {};
    std::atomic<int32_t> enabled{1};
    const int before = ov_param_status_count();
    schedule_check(&s, &none, &enabled, utc(2026, 12, 7, 7, 0));
    EXPECT_EQ(enabled.load(), 0);
    EXPECT_EQ(ov_param_status_count(), before + 1);
    schedule_check(&s, &none, &enabled, utc(2026, 12, 7, 7, 30));
    EXPECT_EQ(ov_param_status_count(), before + 1);
    schedule_check(&s, &none, &enabled, utc(2026, 12, 7, 9, 0));
    EXPECT_EQ(enabled.load(), 1);
    EXPECT_EQ(ov_param_status_count(), before);
    schedule_check(&s, &none, &enabled, utc(2026, 12, 7, 18, 0));
    EXPECT_EQ(enabled.load(), 0);
    EXPECT_EQ(ov_param_status_count(), before + 1);
}

// ---- live endpoints ----

TEST_F(AppRoot, GenderLiveRepliesEmptyScaledBusyAndCutAsValidJson) {
    set("Camera.Width", "1920");
    set("Camera.Height", "1080");
    set("Liveview.Width", "640");
    set("Liveview.Height", "360");
    static GenderLive live;
    live.count = 0;
    EXPECT_EQ(reply_of(gender_live_json_handler, &live, ""),
              "{ \"status\": \"OK\", \"detections\" : [\n]}\n");
    Detection f = {};
    f.left = 960;
    f.right = 1000;
    f.top = 540;
    f.bottom = 580;
    f.gender = -37;
    f.age = 28;
    live.faces[0] = f;
    live.count = 1;
    EXPECT_EQ(reply_of(gender_live_json_handler, &live, ""),
              "{ \"status\": \"OK\", \"detections\" : [\n{\n\t\"rect\" : [320, 333, 180, 193],\n"
              "\t\"gender\"  : -37,\n\t\"age\"  : 28\n}]}\n");
    live.lock.lock();
    EXPECT_EQ(reply_of(gender_live_json_handler, &live, ""), "{\"status\": \"BUSY\"}");
    live.lock.unlock();

    for (int i = 0; i < 20; ++i) live.faces[i] = f;
    live.count = 20;
    std::string cut = reply_of(gender_live_json_handler, &live, "");
    EXPECT_LE(cut.size(), LIVE_GENDER_REPLY_SIZE);
    auto doc = nlohmann::json::parse(cut);  // throws (fails) when the cut is not valid JSON
    EXPECT_GT(doc["detections"].size(), 0u);
    EXPECT_LT(doc["detections"].size(), 20u);
}

TEST_F(AppRoot, VizOfAnEmptyAndOfALiveTracker) {
    set("Camera.Width", "1920");
    set("Camera.Height", "1080");
    Tracker *tracker = tracker_new(1, 1920, 1, 1080, 12692.0, 75.0, 6000.0, 40.0, 10.0);
    EXPECT_EQ(reply_of(viz_json_handler, tracker, ""),
              "{ \"status\": \"OK\", \"width\": 640, \"height\": 360, \"detections\" : [\n]}\n");
    Measurement m = {980, 560, std::log(40.0), 0, 0, 0, 1, 30, 1};
    const Measurement *mp = &m;
    Track *lost[TRACKER_MAX_TRACKS];
    ASSERT_GE(tracker_step(tracker, &mp, 1, lost, 1767600000.0), 0);
    auto doc = nlohmann::json::parse(reply_of(viz_json_handler, tracker, ""));
    ASSERT_EQ(doc["detections"].size(), 1u);
    EXPECT_EQ(doc["detections"][0]["rect"], nlohmann::json({320, 333, 180, 193}));
    EXPECT_EQ(doc["detections"][0]["id"], 0);  // tentative
    tracker_free(tracker);
}

TEST_F(AppRoot, SmallRepliesFpsZoomAndTimeWindow) {
    std::atomic<float> fps{29.97f};
    EXPECT_EQ(reply_of(fps_json_handler, &fps, "&variable=fps"),
              "var fps = {\n\t\"fps\":29.97\n}\n");
    EXPECT_EQ(reply_of(fps_json_handler, &fps, ""), "{\n\t\"fps\":29.97\n}\n");
    // A name is cut at the first character that does not belong in a script identifier.
    EXPECT_EQ(reply_of(fps_json_handler, &fps, "&variable=a;alert(1)"),
              "var a = {\n\t\"fps\":29.97\n}\n");
    EXPECT_EQ(reply_of(update_zoom_json_handler, nullptr, "&dZoom=10000"),
              "{\n\t\"zoom\":\"FAILED\"\n}\n");
    EXPECT_EQ(reply_of(update_zoom_json_handler, nullptr, "&variable=z&dZoom=-1"),
              "var z = {\n\t\"zoom\":\"FAILED\"\n}\n");
    EXPECT_EQ(reply_of(update_zoom_json_handler, nullptr, ""), "{\n\t\"zoom\":\"FAILED\"\n}\n");
    EXPECT_DOUBLE_EQ(tracks_window_seconds("60", "tracks-ended"), 60.0);
    EXPECT_DOUBLE_EQ(tracks_window_seconds("abc", "tracks-ended"), 900.0);
    EXPECT_DOUBLE_EQ(tracks_window_seconds("60s", "tracks-ended"), 900.0);
    EXPECT_DOUBLE_EQ(tracks_window_seconds(nullptr, "tracks-ended"), 900.0);
}

TEST(LowRes, PreviewSizeCharactersAndRotation) {
    lowres_reset_for_tests();
    const int w = 1920, h = 1080;
    std::vector<uint8_t> frame(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) frame[size_t(y) * w + x] = uint8_t((x / 20 + y / 20) * 2);
    lowres_update(frame.data(), w, h, w, false);
    auto doc = nlohmann::json::parse(reply_of(lowres_json_handler, nullptr, ""));
    EXPECT_EQ(doc["width"], 96);
    EXPECT_EQ(doc["height"], 54);
    EXPECT_EQ(doc["latest"], 1338);
    std::string text = doc["data0"];
    ASSERT_EQ(text.size(), 96u * 54u);
    EXPECT_EQ(text[0], '#');                                     // pixel 0 >> 3 = 0
    EXPECT_EQ(text[1], char(((2 >> 3) + 35)));                   // column 20
    EXPECT_EQ(text[95 + 53 * 96], char((296 % 256 >> 3) + 35));  // (95 + 53) * 2 wraps
    lowres_update(frame.data(), w, h, w, true);
    doc = nlohmann::json::parse(reply_of(lowres_json_handler, nullptr, ""));
    std::string turned = doc["data0"];
    EXPECT_EQ(turned[0], char((frame[size_t(h - 1) * w + w - 1] >> 3) + 35));
    std::string jsonp = reply_of(lowres_json_handler, nullptr, "&callback=cb");
    EXPECT_EQ(jsonp.rfind("cb({", 0), 0u);
    EXPECT_EQ(jsonp.back(), ')');
    lowres_update(frame.data(), 0, 0, 0, false);  // kept
    EXPECT_EQ(nlohmann::json::parse(reply_of(lowres_json_handler, nullptr, ""))["width"], 96);
}

// A viewer's preview in privacy mode has the usual form but no picture of the scene; leaving
// the mode shows the scene again.
TEST_F(AppRoot, PrivacyModeBlanksThePreviewUntilItIsUndone) {
    lowres_reset_for_tests();
    const int w = 640, h = 360;
    std::vector<uint8_t> frame(size_t(w) * h);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 7);
    lowres_update(frame.data(), w, h, w, false);
    const std::string seen =
        nlohmann::json::parse(reply_of(lowres_json_handler, nullptr, ""))["data0"];
    ASSERT_NE(seen.find_first_not_of(seen[0]), std::string::npos);  // the scene shows
    const std::string lock = mevo_package_dir() + "/anon.lock";
    ASSERT_EQ(file_write_atomic(lock, "", 0), 0);
    auto hidden = nlohmann::json::parse(reply_of(lowres_json_handler, nullptr, ""));
    EXPECT_EQ(hidden["width"], 64);
    EXPECT_EQ(hidden["height"], 36);
    EXPECT_EQ(hidden["data0"], std::string(seen.size(), '#'));
    std::remove(lock.c_str());
    EXPECT_EQ(nlohmann::json::parse(reply_of(lowres_json_handler, nullptr, ""))["data0"], seen);
}

}  // namespace
