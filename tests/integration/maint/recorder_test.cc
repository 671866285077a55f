#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "maint/track_recorder.h"
#include "params/param.h"
#include "web/web.h"

namespace fs = std::filesystem;

namespace {
class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mevo-recorder-XXXXXX";
        root_ = mkdtemp(tmpl);
        setenv("MEVO_ROOT", root_.c_str(), 1);
        mevo_root_reset_for_tests();
        for (const char *d : {"/tmp", "/etc", "/usr/local/packages/mevo/localdata"})
            file_mkdir_p(mevo_path(d));
        log_set_stderr(false);
        ov_param_reset_for_tests();
        web_registry_reset_for_tests();
        track_recorder_reset_for_tests();
        ASSERT_EQ(ov_param_init(nullptr), 0);
        tracker_ = tracker_new(1.0, 640.0, 1.0, 480.0, 12692.0, 75.0, 6000.0, 40.0, 10.0);
        ASSERT_EQ(
            image_create(&frame_, PIXEL_GRAY8, 1, 640, 480, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP),
            IMAGE_OK);
        memset(frame_.data, 128, size_t(frame_.stride) * 480);
    }
    void TearDown() override {
        track_recorder_reset_for_tests();
        tracker_free(tracker_);
        image_free(&frame_);
        ov_param_reset_for_tests();
        fs::remove_all(root_);
        unsetenv("MEVO_ROOT");
        mevo_root_reset_for_tests();
    }
    void sd_card() { file_mkdir_p(mevo_path("/var/spool/storage/SD_DISK")); }

    // One face of `width` pixels moving right by a pixel a frame, seen at `fps` for `frames`.
    void walk(int frames, double fps, double width, double t0 = 1000.0) {
        Track *lost[TRACKER_MAX_TRACKS];
        for (int i = 0; i < frames; ++i) {
            Measurement m{200.0 + i, 200.0, std::log(width), 0, 0, 0, 1.0, 30.0, 1.0};
            const Measurement *ms[] = {&m};
            double t = t0 + i / fps;
            int n = tracker_step(tracker_, ms, 1, lost, t);
            for (int k = 0; k < n; ++k) track_free(lost[k]);
            track_recorder_record(&frame_, t);
        }
    }
    int pictures(int slot) {
        int n = 0;
        for (auto &e : fs::directory_iterator(mevo_path(RECORDER_TMP_ROOT) + std::to_string(slot)))
            n += e.path().extension() == ".jpg";
        return n;
    }
    std::string call(WebBufferHandler h, const char *args) {
        int len = 0;
        const char *r = h(nullptr, args, &len);
        return std::string(r, size_t(len));
    }
    std::string root_;
    Tracker *tracker_ = nullptr;
    Image frame_{};
};
}  // namespace

TEST_F(RecorderTest, OffWithoutDebugTruthOrSdCard) {
    sd_card();
    EXPECT_EQ(track_recorder_start(tracker_), 0);  // Debug.Truth is 0
    track_recorder_reset_for_tests();
    ov_param_set_ex("Debug.Truth", "1", 0);
    fs::remove_all(mevo_path("/var/spool"));
    EXPECT_EQ(track_recorder_start(tracker_), 0);  // no card
    walk(10, 10, 40);
    EXPECT_FALSE(fs::exists(mevo_path(RECORDER_TMP_ROOT)));
}

TEST_F(RecorderTest, PicturesFollowTheLimitsAndSlotsSaveOnce) {
    sd_card();
    ov_param_set_ex("Debug.Truth", "2", 0);
    ASSERT_EQ(track_recorder_start(tracker_), 1);
    walk(30, 15, 40);               // 30 frames within 2 s
    int slot = 1 % RECORDER_SLOTS;  // the first confirmed track has id 1
    EXPECT_EQ(pictures(slot), 3);
    std::string all = call(truth_all_tracks_handler, "");
    EXPECT_NE(all.find("{\"id\":1,\"permanent\":0,"), std::string::npos) << all;
    EXPECT_NE(all.find("\"images\":3}"), std::string::npos);

    std::string saved = call(truth_save_track_handler, "&id=1");
    ASSERT_EQ(saved.rfind("{ \"id\": ", 0), 0u) << saved;
    int perm = atoi(saved.c_str() + strlen("{ \"id\": "));
    EXPECT_GE(perm, RECORDER_MIN_ID);
    EXPECT_EQ(call(truth_save_track_handler, "&id=6"), "{\"error\":\"already exists\"}");
    std::string dir = mevo_path(RECORDER_PERMANENT_ROOT) + std::to_string(perm);
    EXPECT_TRUE(fs::exists(dir + "/track_1.jpg"));

    std::string update = "&id=" + std::to_string(perm) + "&action=update&age=41&gender=female";
    EXPECT_EQ(call(truth_update_track_handler, update.c_str()), "{\"status\": \"ok\"}");
    std::string truth;
    ASSERT_EQ(file_read_all(dir + "/truth.json", truth), 0);
    EXPECT_EQ(truth, "{\"age\":41,\"gender\": \"female\"}");
    std::string del = "&id=" + std::to_string(perm) + "&action=delete";
    EXPECT_EQ(call(truth_update_track_handler, del.c_str()), "{\"status\": \"ok\"}");
    EXPECT_FALSE(fs::exists(dir));
}

TEST_F(RecorderTest, BadRequestsChangeNothing) {
    sd_card();
    ov_param_set_ex("Debug.Truth", "1", 0);
    ASSERT_EQ(track_recorder_start(tracker_), 1);
    struct Case {
        WebBufferHandler handler;
        const char *args, *reply;
    } cases[] = {
        {truth_save_track_handler, "", "No id."},
        {truth_save_track_handler, "&id=abc", "No id."},
        {truth_save_track_handler, "&id=-5", "No id."},
        {truth_update_track_handler, "&id=123456", "no action"},
        {truth_update_track_handler, "&id=99999&action=delete", "Bad id"},
        {truth_update_track_handler, "&id=../../etc&action=delete", "Bad id"},
        {truth_update_track_handler, "&id=99999999999999&action=delete", "Bad id"},
        {truth_update_track_handler, "&id=123456&action=update&age=30", "missing info"},
        {truth_update_track_handler, "&id=123456&action=update&gender=male", "missing info"},
    };
    for (const auto &c : cases) EXPECT_EQ(call(c.handler, c.args), c.reply) << c.args;
    // Small faces give snapshots but no pictures.
    walk(12, 10, 10);
    EXPECT_EQ(pictures(1), 0);
    EXPECT_TRUE(fs::exists(mevo_path(RECORDER_TMP_ROOT) + "1/track_1.struct"));
}
