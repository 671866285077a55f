#include "app/capture.h"

#include <cstdio>
#include <cstdlib>

#include "common/clock.h"
#include "platform/capture/capture_native.h"

Capture *_cap_open(int width, int height, int fps, int pt) {
    auto *cap = new Capture{};
    cap->handle = capture_open_native(width, height);
    if (!cap->handle) {
        std::fprintf(stderr, "capture_open_native failed\n");
        std::exit(0);
    }
    cap->width = width;
    cap->height = height;
    cap->pixel_type = pt;
    cap->fps = fps;
    capture_start_native(cap->handle);
    cap->closed = 0;
    // Checked in every build type (assert() is compiled out with NDEBUG).
    if (pt != PT_GREY) {
        std::fprintf(stderr, "capture: assertion \"pt == PT_GREY\" failed\n");
        std::abort();
    }
    return cap;
}

const uint8_t *cap_grab(Capture *cap) {
    clock_gettimeofday(&cap->last_grab);
    const uint8_t *frame = capture_get_image_native(cap->handle);
    // Offline, the frame's own time is "now" (the capture service has just moved the clock).
    if (frame && clock_mode() == CLOCK_MODE_SOURCE)
        capture_frame_time_native(cap->handle, &cap->last_grab);
    return frame;
}

const uint8_t *cap_frame_data(Capture *, const uint8_t *frame) {
    return frame;
}

void cap_frame_time(const Capture *cap, const uint8_t *, int32_t *sec, int32_t *usec) {
    *sec = int32_t(cap->last_grab.tv_sec);
    *usec = int32_t(cap->last_grab.tv_usec);
}

void cap_stats(const Capture *cap, CaptureNativeStats *stats) {
    capture_stats_native(cap ? cap->handle : nullptr, stats);
}

int cap_release(Capture *, const uint8_t *) {
    return 0;
}

void cap_destroy(Capture *cap) {
    if (!cap || cap->closed) return;
    cap->closed = 1;
    // Stopping the stream here keeps its threads from running into a process that is tearing
    // itself down.
    capture_close_native(cap->handle);
    cap->handle = nullptr;
}

void cap_free(Capture *cap) {
    cap_destroy(cap);
    delete cap;
}
