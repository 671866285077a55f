// The capture layer, the resolution reader, the frame loop's duties and the forced exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "app/capture.h"
#include "app/capture_mode_check.h"
#include "app/capture_stats.h"
#include "app/forced_exit.h"
#include "app/mevo.h"
#include "common/clock.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "params/param.h"
#include "platform/capture/synthetic.h"

namespace fs = std::filesystem;

namespace {
struct TempRoot {
    std::string path;
    TempRoot() {
        char tmpl[] = "/tmp/mevo-app-XXXXXX";
        path = mkdtemp(tmpl);
        setenv("MEVO_ROOT", path.c_str(), 1);
        mevo_root_reset_for_tests();
    }
    ~TempRoot() {
        unsetenv("MEVO_ROOT");
        mevo_root_reset_for_tests();
        fs::remove_all(path);
    }
};

const char *g_param_value = "";
char g_resolution[32];
const char *fake_param(const char *) {
    return g_param_value;
}

// The capture raises SIGTERM at the end of a source; the application's handler would set the
// exit request. Here the handler points at the app under test.
std::atomic<int32_t> *g_exit_target = nullptr;
void on_term(int) {
    if (g_exit_target) g_exit_target->store(1);
}

class LoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("MEVO_SOURCE", "synthetic:walkers", 1);
        unsetenv("MEVO_SOURCE_LOOP");
        capture_mode_set_param_reader(fake_param);
        g_param_value = "640x360";
        g_exit_target = &app.exit_request;
        old_handler = signal(SIGTERM, on_term);
        log_set_stderr(getenv("TEST_VERBOSE") != nullptr);
    }
    void TearDown() override {
        cap_free(app.cap);
        signal(SIGTERM, old_handler);
        g_exit_target = nullptr;
        capture_mode_set_param_reader(nullptr);
        unsetenv("MEVO_CLOCK");
        clock_reset();
        log_set_stderr(true);
    }
    void open(int w, int h) {
        app.width = w;
        app.height = h;
        // The camera resolution matches the capture size, so the resolution poll writes nothing.
        snprintf(g_resolution, sizeof g_resolution, "%dx%d", w, h);
        g_param_value = g_resolution;
        app.cap = _cap_open(w, h, MEVO_CAPTURE_FPS, PT_GREY);
        image_setup_auto_stride(&app.frame_image, PIXEL_GRAY8, 1, w, h, IMAGE_PLANAR,
                                IMAGE_ORIGIN_TOP);
        app.frame_image.stride = w;
        gettimeofday(&app.fps_reference, nullptr);
    }
    MevoApp app;
    void (*old_handler)(int) = SIG_DFL;
};
}  // namespace

TEST(ReadResolution, ParsesOrFallsBackWithOneLogLine) {
    capture_mode_set_param_reader(fake_param);
    struct Case {
        const char *value;
        int w, h;
        bool logged;
    } cases[] = {
        {"1280x720", 1280, 720, false}, {"640x480 extra", 640, 480, false},
        {"1280", 1920, 1080, true},     {"", 1920, 1080, true},
        {"x720", 1920, 1080, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        g_param_value = c.value;
        int w = 0, h = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(read_resolution(&w, &h), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
        const std::string line =
            "capture_mode_check: failed to read resolution, trying 1920x1080\n";
        EXPECT_EQ(err, c.logged ? line : "");
    }
    capture_mode_set_param_reader(nullptr);
}

TEST(CaptureOpen, UnopenableSourceExitsWithStatusZero) {
    setenv("MEVO_SOURCE", "/nonexistent/clip.avi", 1);
    EXPECT_EXIT(_cap_open(320, 240, 30, PT_GREY), ::testing::ExitedWithCode(0),
                "capture_open_native failed");
    setenv("MEVO_SOURCE", "synthetic:nosuchscene", 1);
    EXPECT_EXIT(_cap_open(320, 240, 30, PT_GREY), ::testing::ExitedWithCode(0),
                "capture_open_native failed");
}

TEST(CaptureOpen, PixelTypeOtherThanGreyStops) {
    setenv("MEVO_SOURCE", "synthetic:walkers", 1);
    EXPECT_DEATH(_cap_open(320, 240, 30, 3), "pt == PT_GREY");
}

TEST_F(LoopTest, GrabsCarryTheirOwnRequestTimes) {
    open(320, 180);
    const uint8_t *f1 = cap_grab(app.cap);
    int32_t s1, u1, s2, u2;
    cap_frame_time(app.cap, f1, &s1, &u1);
    struct timeval between;
    gettimeofday(&between, nullptr);
    const uint8_t *f2 = cap_grab(app.cap);
    cap_frame_time(app.cap, f2, &s2, &u2);
    ASSERT_NE(f1, nullptr);
    ASSERT_NE(f2, nullptr);
    int64_t t1 = int64_t(s1) * 1000000 + u1, t2 = int64_t(s2) * 1000000 + u2;
    int64_t tb = int64_t(between.tv_sec) * 1000000 + between.tv_usec;
    EXPECT_LE(t1, tb);  // taken before the second request...
    EXPECT_GE(t2, tb);  // ...which took its own time before waiting for the frame
    EXPECT_LT(t1, t2);
    EXPECT_EQ(cap_frame_data(app.cap, f2), f2);
    EXPECT_EQ(cap_release(app.cap, f2), 0);
    cap_destroy(app.cap);
    EXPECT_EQ(app.cap->closed, 1);
    cap_destroy(app.cap);  // a second destroy is harmless
}

TEST_F(LoopTest, OfflineRunNumbersFramesMeasuresFpsAndEndsAtTheSourceEnd) {
    setenv("MEVO_CLOCK", "source", 1);
    setenv("MEVO_SOURCE_START", "1767600000", 1);
    clock_reset();
    open(320, 180);
    app.counting_enabled = true;
    const SyntheticScene *scene = synthetic_scene_walkers();

    int frames = 0;
    float fps_at_99 = -1;
    while (app.exit_request.load() == 0) {
        bool got = mevo_frame_step(&app);
        if (got) ++frames;
        if (app.frame_number == 99) fps_at_99 = app.fps.load();
        if (got) {
            // The frame's time is the source time; the process clock follows it.
            int64_t expected =
                1767600000LL * 1000000 + int64_t(app.frame_number - 1) * scene->frame_interval_us;
            EXPECT_EQ(clock_now_us(), expected);
        }
        ASSERT_LE(frames, scene->frame_count);
    }
    EXPECT_EQ(frames, scene->frame_count);
    EXPECT_EQ(app.frame_number, scene->frame_count);
    EXPECT_EQ(fps_at_99, 0.0f);       // nothing measured before frame 100
    EXPECT_GT(app.fps.load(), 0.0f);  // frames 100 and 200 measured
    // Offline the two-hour rule is anchored at the first frame's source time.
    EXPECT_EQ(app.last_count_time, 1767600000);
    // Offline nothing is dropped.
    CaptureReport stats = capture_stats_read(&app.capture_stats);
    EXPECT_EQ(stats.since_start.delivered, uint64_t(scene->frame_count));
    EXPECT_EQ(stats.since_start.dropped, 0u);
    EXPECT_EQ(stats.last_100.processed, 100u);
    unsetenv("MEVO_SOURCE_START");
}

TEST_F(LoopTest, ResolutionUnlikeTheCaptureRestartsAndFramesKeepTheCaptureSize) {
    setenv("MEVO_CLOCK", "source", 1);
    clock_reset();
    open(640, 360);
    // The resolution changed (the store may already hold it, written without sync).
    g_param_value = "1280x720";
    for (int i = 0; i < 99; ++i) ASSERT_TRUE(mevo_frame_step(&app));
    EXPECT_EQ(app.exit_request.load(), 0);  // polled on multiples of 100
    ASSERT_TRUE(mevo_frame_step(&app));
    EXPECT_EQ(app.exit_request.load(), EXIT_REQUEST_RESTART);
    EXPECT_EQ(app.width, 640);
    EXPECT_EQ(app.height, 360);
}

// Frames delivered, processed and dropped, since start and over the last 100 processed frames;
// the status message while more than the set share is dropped and while the source is down.
TEST(CaptureStats, CountsDropsOverTheWindowAndRaisesAndClearsTheStatus) {
    CaptureStats stats;
    CaptureNativeStats n = {};
    n.source_up = true;
    int base = ov_param_status_count();
    // 150 frames processed of 300 delivered (every other one dropped) ...
    for (int i = 0; i < 150; ++i) {
        n.delivered += 2;
        ++n.processed;
        capture_stats_update(&stats, n);
    }
    CaptureReport r = capture_stats_read(&stats);
    EXPECT_EQ(r.since_start.delivered, 300u);
    EXPECT_EQ(r.since_start.processed, 150u);
    EXPECT_EQ(r.since_start.dropped, 150u);
    EXPECT_EQ(r.last_100.delivered, 200u);
    EXPECT_EQ(r.last_100.processed, 100u);
    EXPECT_EQ(r.last_100.dropped, 100u);
    EXPECT_EQ(ov_param_status_count(), base + 1);  // raised at frame 100
    // ... then 150 without drops: at frame 300 the window is clean, the message goes, the
    // total stays.
    for (int i = 0; i < 150; ++i) {
        ++n.delivered;
        ++n.processed;
        capture_stats_update(&stats, n);
    }
    r = capture_stats_read(&stats);
    EXPECT_EQ(r.last_100.delivered, 100u);
    EXPECT_EQ(r.last_100.dropped, 0u);
    EXPECT_EQ(r.since_start.dropped, 150u);
    EXPECT_EQ(ov_param_status_count(), base);
    // An outage: empty frames only, the source down; the window does not move.
    n.source_up = false;
    n.down_since_us = int64_t(time(nullptr)) * 1000000;
    n.fillers = 5;
    n.outages = 1;
    capture_stats_update(&stats, n);
    EXPECT_EQ(ov_param_status_count(), base + 1);
    int length = 0;
    const char *json = capture_stats_json_handler(&stats, "", &length);
    EXPECT_EQ(std::string(json, size_t(length)),
              "{\"source_up\": false, \"since_start\": {\"delivered\": 450, \"processed\": 300, "
              "\"dropped\": 150}, \"last_100\": {\"delivered\": 100, \"processed\": 100, "
              "\"dropped\": 0}, \"empty_frames\": 5, \"outages\": 1, \"down_seconds\": 0}\n");
    n.source_up = true;
    n.down_since_us = 0;
    capture_stats_update(&stats, n);
    EXPECT_EQ(ov_param_status_count(), base);
}

TEST_F(LoopTest, TwoHoursWithoutCountsRequestARestartAtTheNextHundredthFrame) {
    // Opened in offline mode so frames come without pacing; then the clock is pinned.
    setenv("MEVO_CLOCK", "source", 1);
    clock_reset();
    open(160, 90);
    clock_set_fixed(1767600000LL * 1000000);
    app.last_count_time = clock_now() - NO_COUNT_RESTART_S;  // exactly two hours: not yet
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(mevo_frame_step(&app));
    EXPECT_EQ(app.exit_request.load(), 0);
    clock_advance(1000000);
    for (int i = 0; i < 99; ++i) ASSERT_TRUE(mevo_frame_step(&app));
    EXPECT_EQ(app.exit_request.load(), 0);  // only tested on multiples of 100
    ASSERT_TRUE(mevo_frame_step(&app));
    EXPECT_EQ(app.frame_number, 200);
    EXPECT_EQ(app.exit_request.load(), EXIT_REQUEST_RESTART);
}

// Runs `body` in a child process and returns its wait status.
template <typename F>
int in_child(F body) {
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(ForcedExit, KillsAHangingProcessOnlyWhenArmedAndNotCancelled) {
    TempRoot root;
    file_mkdir_p(root.path + "/tmp");
    const std::string log = root.path + "/tmp/mevo_force_close.log";

    int hung = in_child([] {
        forced_exit_arm(200, "/tmp/mevo_force_close.log");
        std::this_thread::sleep_for(std::chrono::seconds(20));
    });
    ASSERT_TRUE(WIFSIGNALED(hung));
    EXPECT_EQ(WTERMSIG(hung), SIGKILL);
    std::string text;
    // The helper writes its line right after the kill: wait for the whole line, not only for
    // the file (it exists as soon as the helper opens it).
    for (int i = 0; i < 100; ++i) {
        if (file_read_all(log, text) == 0 && !text.empty() && text.back() == '\n') break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(text.rfind("Forced MEVO to close at ", 0), 0u) << text;
    fs::remove(log);

    int cancelled = in_child([] {
        forced_exit_arm(200, "/tmp/mevo_force_close.log");
        forced_exit_cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        _exit(5);
    });
    ASSERT_TRUE(WIFEXITED(cancelled));
    EXPECT_EQ(WEXITSTATUS(cancelled), 5);

    int exited = in_child([] {
        forced_exit_arm(300, "/tmp/mevo_force_close.log");
        _exit(7);
    });
    ASSERT_TRUE(WIFEXITED(exited));
    EXPECT_EQ(WEXITSTATUS(exited), 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_FALSE(file_exists(log));  // the helper left with the process it watched
}
