// The capture stand-in: synthetic and file sources, offline timestamps, looping, the end of a
// source, and the JPEG snapshot stream.
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

// jpeglib.h needs size_t and FILE first.
#include <jpeglib.h>

#include "common/clock.h"
#include "common/log.h"
#include "platform/capture/capture_native.h"
#include "platform/capture/synthetic.h"

namespace fs = std::filesystem;

namespace {
std::atomic<int> g_terms{0};
void on_term(int) {
    g_terms.fetch_add(1);
}

constexpr long long kStart = 1767600000LL;

int64_t us_of(const struct timeval &tv) {
    return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
}

class CaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        old = signal(SIGTERM, on_term);
        g_terms = 0;
        setenv("MEVO_CLOCK", "source", 1);
        setenv("MEVO_SOURCE_START", std::to_string(kStart).c_str(), 1);
        unsetenv("MEVO_SOURCE_LOOP");
        clock_reset();
        log_set_stderr(getenv("TEST_VERBOSE") != nullptr);
        char tmpl[] = "/tmp/mevo-capture-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override {
        signal(SIGTERM, old);
        unsetenv("MEVO_CLOCK");
        unsetenv("MEVO_SOURCE");
        unsetenv("MEVO_SOURCE_START");
        unsetenv("MEVO_SOURCE_LOOP");
        clock_reset();
        log_set_stderr(true);
        fs::remove_all(dir);
    }
    void (*old)(int) = SIG_DFL;
    std::string dir;
};

// A 2-second 10 fps MJPEG AVI of a plain 4:3 picture ("white" or "black"), made with
// GStreamer; "" when the plugins for it are missing.
std::string make_clip(const std::string &dir, const std::string &name = "clip.avi",
                      const char *pattern = "white") {
    gst_init(nullptr, nullptr);
    std::string path = dir + "/" + name;
    std::string desc = "videotestsrc num-buffers=20 pattern=" + std::string(pattern) +
                       " ! video/x-raw,width=160,height=120,"
                       "framerate=10/1 ! jpegenc ! avimux ! filesink location=" +
                       path;
    GError *err = nullptr;
    GstElement *p = gst_parse_launch(desc.c_str(), &err);
    if (!p) {
        if (err) g_error_free(err);
        return "";
    }
    if (err) g_error_free(err);
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstBus *bus = gst_element_get_bus(p);
    GstMessage *msg = gst_bus_timed_pop_filtered(
        bus, 20 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
    if (msg) gst_message_unref(msg);
    gst_object_unref(bus);
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
    return ok && fs::file_size(path) > 0 ? path : "";
}

bool jpeg_size(const void *data, size_t size, int *w, int *h) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, static_cast<const unsigned char *>(data), (unsigned long)size);
    bool ok = jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK;
    *w = int(cinfo.image_width);
    *h = int(cinfo.image_height);
    jpeg_destroy_decompress(&cinfo);
    return ok;
}
}  // namespace

TEST_F(CaptureTest, SyntheticOfflineFramesMatchTheSceneAndEndWithSigterm) {
    setenv("MEVO_SOURCE", "synthetic:walkers", 1);
    const SyntheticScene *scene = synthetic_scene_walkers();
    CaptureNative *c = capture_open_native(320, 180);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(capture_start_native(c), 0);
    std::vector<uint8_t> expected(320 * 180);
    for (int f = 0; f < scene->frame_count; ++f) {
        const uint8_t *img = capture_get_image_native(c);
        ASSERT_NE(img, nullptr) << f;
        struct timeval tv;
        capture_frame_time_native(c, &tv);
        ASSERT_EQ(us_of(tv), kStart * 1000000 + int64_t(f) * scene->frame_interval_us);
        ASSERT_EQ(clock_now_us(), us_of(tv));  // offline: the process clock follows the frames
        if (f % 40 == 0) {
            synthetic_render(scene, f, 320, 180, expected.data());
            ASSERT_EQ(std::memcmp(img, expected.data(), expected.size()), 0) << f;
        }
    }
    EXPECT_EQ(g_terms.load(), 0);
    EXPECT_EQ(capture_get_image_native(c), nullptr);
    EXPECT_EQ(g_terms.load(), 1);
    EXPECT_EQ(capture_get_image_native(c), nullptr);  // stays ended, signals once
    EXPECT_EQ(g_terms.load(), 1);
    capture_close_native(c);
}

TEST_F(CaptureTest, SyntheticLoopKeepsTimeRunning) {
    setenv("MEVO_SOURCE", "synthetic:walkers", 1);
    setenv("MEVO_SOURCE_LOOP", "1", 1);
    const SyntheticScene *scene = synthetic_scene_walkers();
    CaptureNative *c = capture_open_native(64, 36);
    ASSERT_NE(c, nullptr);
    capture_start_native(c);
    std::vector<uint8_t> first;
    struct timeval tv;
    for (int f = 0; f <= scene->frame_count; ++f) {
        const uint8_t *img = capture_get_image_native(c);
        ASSERT_NE(img, nullptr) << f;
        if (f == 0) first.assign(img, img + 64 * 36);
        if (f == scene->frame_count) {
            EXPECT_EQ(std::memcmp(img, first.data(), first.size()), 0);  // the scene again
        }
    }
    capture_frame_time_native(c, &tv);
    EXPECT_EQ(us_of(tv), kStart * 1000000 + int64_t(scene->frame_count) * scene->frame_interval_us);
    EXPECT_EQ(g_terms.load(), 0);
    capture_close_native(c);
}

TEST_F(CaptureTest, WallClockSyntheticIsPacedAndStampedWithTheWallClock) {
    unsetenv("MEVO_CLOCK");
    clock_reset();
    setenv("MEVO_SOURCE", "synthetic:walkers", 1);
    CaptureNative *c = capture_open_native(64, 36);
    ASSERT_NE(c, nullptr);
    struct timeval before, t0, t2;
    gettimeofday(&before, nullptr);
    ASSERT_NE(capture_get_image_native(c), nullptr);
    capture_frame_time_native(c, &t0);
    ASSERT_NE(capture_get_image_native(c), nullptr);
    ASSERT_NE(capture_get_image_native(c), nullptr);
    capture_frame_time_native(c, &t2);
    EXPECT_GE(us_of(t0), us_of(before));
    EXPECT_GE(us_of(t2) - us_of(t0), 2 * 100000 - 5000);  // 10 frames per second
    // A consumer slower than the scene gets the newest frame; the others count as dropped.
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    ASSERT_NE(capture_get_image_native(c), nullptr);
    CaptureNativeStats stats;
    capture_stats_native(c, &stats);
    EXPECT_EQ(stats.processed, 4u);
    EXPECT_GE(stats.delivered, stats.processed + 3);
    EXPECT_TRUE(stats.source_up);
    capture_close_native(c);
}

TEST_F(CaptureTest, UnopenableSourcesGiveNull) {
    for (const char *src :
         {"synthetic:nosuch", "/nonexistent/file.avi", "file:///nonexistent.avi"}) {
        SCOPED_TRACE(src);
        setenv("MEVO_SOURCE", src, 1);
        EXPECT_EQ(capture_open_native(64, 48), nullptr);
    }
    setenv("MEVO_SOURCE", "synthetic:walkers", 1);
    EXPECT_EQ(capture_open_native(0, 48), nullptr);
    EXPECT_EQ(capture_open_native(64, -1), nullptr);
    EXPECT_EQ(g_terms.load(), 0);
}

TEST_F(CaptureTest, FileSourceIsScaledLetterboxedAndTimedBySourceTime) {
    std::string clip = make_clip(dir);
    if (clip.empty()) GTEST_SKIP() << "GStreamer cannot write an MJPEG AVI here (plugins missing)";
    for (bool loop : {false, true}) {
        SCOPED_TRACE(loop);
        setenv("MEVO_SOURCE", clip.c_str(), 1);
        if (loop) setenv("MEVO_SOURCE_LOOP", "1", 1);
        g_terms = 0;
        // 4:3 picture into a 16:9 frame: 40-pixel black borders left and right.
        CaptureNative *c = capture_open_native(320, 180);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(capture_start_native(c), 0);
        int frames = 0;
        int64_t previous = -1;
        int wanted = loop ? 45 : 1000;
        while (frames < wanted) {
            const uint8_t *img = capture_get_image_native(c);
            if (!img) break;
            struct timeval tv;
            capture_frame_time_native(c, &tv);
            int64_t t = us_of(tv);
            if (frames == 0) {
                EXPECT_EQ(t, kStart * 1000000);
            }
            EXPECT_GT(t, previous);
            if (!loop) {
                EXPECT_EQ(t, kStart * 1000000 + int64_t(frames) * 100000);
            }
            previous = t;
            EXPECT_GT(img[90 * 320 + 160], 200);  // white picture
            EXPECT_LT(img[90 * 320 + 10], 30);    // border
            EXPECT_LT(img[90 * 320 + 310], 30);
            ++frames;
        }
        if (loop) {
            EXPECT_EQ(frames, 45);  // past the clip's 20 frames
            EXPECT_EQ(g_terms.load(), 0);
            EXPECT_GE(previous, kStart * 1000000 + 44 * 100000);
        } else {
            EXPECT_EQ(frames, 20);
            EXPECT_EQ(g_terms.load(), 1);  // the end of the file ends the run
        }
        capture_close_native(c);
    }
}

TEST_F(CaptureTest, FolderSourcePlaysItsClipsInNameOrderWithTimeRunningOn) {
    std::string clips = dir + "/clips";
    fs::create_directory(clips);
    std::ofstream(clips + "/notes.txt") << "not a video";
    if (make_clip(clips, "b.avi", "black").empty() || make_clip(clips, "a.avi", "white").empty())
        GTEST_SKIP() << "GStreamer cannot write an MJPEG AVI here (plugins missing)";
    for (bool loop : {false, true}) {
        SCOPED_TRACE(loop);
        setenv("MEVO_SOURCE", clips.c_str(), 1);
        if (loop) setenv("MEVO_SOURCE_LOOP", "1", 1);
        g_terms = 0;
        CaptureNative *c = capture_open_native(160, 120);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(capture_start_native(c), 0);
        int frames = 0, wanted = loop ? 50 : 1000;
        for (; frames < wanted; ++frames) {
            const uint8_t *img = capture_get_image_native(c);
            if (!img) break;
            struct timeval tv;
            capture_frame_time_native(c, &tv);
            EXPECT_EQ(us_of(tv), kStart * 1000000 + int64_t(frames) * 100000);
            bool white_clip = frames % 40 < 20;  // a.avi, then b.avi
            if (white_clip)
                EXPECT_GT(img[60 * 160 + 80], 200) << frames;
            else
                EXPECT_LT(img[60 * 160 + 80], 30) << frames;
        }
        EXPECT_EQ(frames, loop ? 50 : 40);
        EXPECT_EQ(g_terms.load(), loop ? 0 : 1);
        capture_close_native(c);
    }
    fs::remove_all(clips + "/a.avi");
    fs::remove_all(clips + "/b.avi");
    setenv("MEVO_SOURCE", clips.c_str(), 1);
    EXPECT_EQ(capture_open_native(160, 120), nullptr);  // a folder without videos
}

TEST_F(CaptureTest, SnapshotStreamGivesAJpegOfTheAskedSize) {
    setenv("MEVO_SOURCE", "synthetic:walkers", 1);
    EXPECT_EQ(capture_open_stream("image/png", ""), nullptr);
    // Without a running capture the snapshot reads its own frame.
    CaptureStream *s = capture_open_stream("image/jpeg", "fps=5&resoultion=320x240");
    ASSERT_NE(s, nullptr);
    CaptureFrame *f = capture_get_frame(s);
    ASSERT_NE(f, nullptr);
    auto *bytes = static_cast<const unsigned char *>(capture_frame_data(f));
    ASSERT_GT(capture_frame_size(f), 4u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);
    int w = 0, h = 0;
    ASSERT_TRUE(jpeg_size(bytes, capture_frame_size(f), &w, &h));
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    capture_frame_free(f);
    capture_close_stream(s);

    // With a running capture the snapshot is its newest frame; options without a size.
    CaptureNative *c = capture_open_native(640, 360);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(capture_get_image_native(c), nullptr);
    s = capture_open_stream("image/jpeg", "resolution=160x90");
    f = capture_get_frame(s);
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(jpeg_size(capture_frame_data(f), capture_frame_size(f), &w, &h));
    EXPECT_EQ(w, 160);
    EXPECT_EQ(h, 90);
    capture_frame_free(f);
    capture_close_stream(s);
    s = capture_open_stream("image/jpeg", "fps=5");
    f = capture_get_frame(s);
    ASSERT_TRUE(jpeg_size(capture_frame_data(f), capture_frame_size(f), &w, &h));
    EXPECT_EQ(w, 320);  // default size
    capture_frame_free(f);
    capture_close_stream(s);
    capture_close_native(c);
    EXPECT_EQ(g_terms.load(), 0);
}
