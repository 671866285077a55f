// Snapshots taken on another thread while the main loop grabs frames.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "common/clock.h"
#include "common/log.h"
#include "platform/capture/capture_native.h"

TEST(CaptureConcurrency, SnapshotsWhileGrabbing) {
    setenv("MEVO_CLOCK", "source", 1);
    setenv("MEVO_SOURCE", "synthetic:walkers", 1);
    setenv("MEVO_SOURCE_LOOP", "1", 1);
    clock_reset();
    log_set_stderr(false);
    CaptureNative *c = capture_open_native(320, 180);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(capture_get_image_native(c), nullptr);

    std::atomic<bool> done{false};
    std::atomic<int> snapshots{0}, failures{0};
    std::thread http([&] {
        while (!done.load()) {
            CaptureStream *s = capture_open_stream("image/jpeg", "resolution=160x90");
            CaptureFrame *f = capture_get_frame(s);
            if (f && capture_frame_size(f) > 2)
                snapshots.fetch_add(1);
            else
                failures.fetch_add(1);
            capture_frame_free(f);
            capture_close_stream(s);
        }
    });
    uint64_t sum = 0;
    for (int i = 0; i < 600; ++i) {
        const uint8_t *img = capture_get_image_native(c);
        ASSERT_NE(img, nullptr);
        for (int k = 0; k < 320 * 180; k += 97) sum += img[k];
    }
    done = true;
    http.join();
    capture_close_native(c);
    EXPECT_GT(sum, 0u);
    EXPECT_GT(snapshots.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    unsetenv("MEVO_SOURCE_LOOP");
    unsetenv("MEVO_CLOCK");
    clock_reset();
}
