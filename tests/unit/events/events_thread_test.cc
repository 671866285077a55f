// The trigger thread reading a real tracker while the main thread steps it (run under TSan).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "events/events.h"
#include "params/param.h"
#include "track/tracker.h"

namespace fs = std::filesystem;

namespace {
int read_tracks(void *ctx, EventTrackView *out, int max) {
    auto *tracker = static_cast<Tracker *>(ctx);
    auto guard = tracker_guard(tracker);
    int n = 0;
    for (int i = 0; i < tracker->track_count && n < max; ++i) {
        const Track *t = tracker->tracks[i];
        out[n++] = {t->id, t->gender_sum, t->age_sum, t->weight_sum};
    }
    return n;
}
}  // namespace

TEST(EventsThread, ATrackedManRaisesTheMaleEvent) {
    char tmpl[] = "/tmp/mevo-events-thread-XXXXXX";
    std::string root = mkdtemp(tmpl);
    setenv("MEVO_ROOT", root.c_str(), 1);
    setenv("MEVO_EVENTS_PERIOD_MS", "5", 1);
    mevo_root_reset_for_tests();
    log_set_stderr(false);
    std::string pkg = mevo_package_dir();
    file_mkdir_p(pkg + "/host");
    file_mkdir_p(pkg + "/localdata");
    file_mkdir_p(root + "/etc");
    ASSERT_EQ(file_copy(MEVO_SOURCE_DIR "/package/param.conf.default", pkg + "/param.conf.default"),
              0);
    ASSERT_EQ(file_copy(MEVO_SOURCE_DIR "/package/host/camera-profile.conf",
                        pkg + "/host/camera-profile.conf"),
              0);
    ov_param_reset_for_tests();
    ASSERT_EQ(ov_param_init(nullptr), 0);
    ASSERT_EQ(ov_param_set_ex("Counter.EventsEnabled", "1", 0), 0);
    ASSERT_EQ(ov_event_init("mevo"), 0);

    Tracker *tracker = tracker_new(1.0, 1920.0, 1.0, 1080.0, 12692.0, 75.0, 6000.0, 40.0, 10.0);
    std::atomic<int32_t> counting{1};
    ASSERT_EQ(events_init(read_tracks, tracker, &counting), 0);
    Track *lost[TRACKER_MAX_TRACKS];
    for (int i = 0; i < 60; ++i) {
        Measurement m{300.0 + 4 * i, 400.0, std::log(60.0), 0, 0, 0, 1.0, 35.0, 1.0};
        const Measurement *ms[] = {&m};
        int n = tracker_step(tracker, ms, 1, lost, 1000.0 + i * 0.1);
        for (int k = 0; k < n; ++k) track_free(lost[k]);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    events_close();
    tracker_free(tracker);

    std::ifstream in(root + "/var/log/events.jsonl");
    std::string line, sent;
    while (std::getline(in, line))
        if (line.find("\"type\":\"event\"") != std::string::npos) sent += line + "\n";
    EXPECT_NE(sent.find("Demographics-male"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("Demographics-female"), std::string::npos) << sent;
    ov_param_reset_for_tests();
    fs::remove_all(root);
    unsetenv("MEVO_ROOT");
    mevo_root_reset_for_tests();
}
