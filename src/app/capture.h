// Frame capture for the main loop: one grey frame at a time from the capture service, with the
// time at which it was requested. Module tag "capture_demographics".
//
// Frames are width x height bytes of 8-bit grey, rows of `width` bytes, owned by the capture
// service and valid until the next grab. The time of a frame is the wall clock taken just before
// it was requested; in offline clock mode (MEVO_CLOCK=source) it is the frame's source time.
// Main thread only.
#pragma once

#include <sys/time.h>

#include <cstdint>

struct CaptureNative;
struct CaptureNativeStats;

inline constexpr int32_t PT_GREY = 0;

struct Capture {
    CaptureNative *handle;
    int32_t width, height;
    int32_t pixel_type;  // PT_GREY
    int32_t closed;      // 0 while open, 1 after cap_destroy
    struct timeval last_grab;
    int32_t fps;  // requested rate; stored only, the service delivers at its own pace
};

// Opens and starts the stream. When the service cannot open it, writes
// "capture_open_native failed\n" to standard error and exits the process with status 0 (the
// application host starts it again). Asserts pixel_type == PT_GREY. Never returns null.
Capture *_cap_open(int width, int height, int fps, int pixel_type);

// Next frame (waits for it), or null at the end of the source or on a source error (the
// capture service has then raised SIGTERM, so the exit request is set).
const uint8_t *cap_grab(Capture *cap);

// The frame's pixels (the frame itself).
const uint8_t *cap_frame_data(Capture *cap, const uint8_t *frame);

// Time of the last grab as seconds and microseconds.
void cap_frame_time(const Capture *cap, const uint8_t *frame, int32_t *sec, int32_t *usec);

// The capture service's frame counters (delivered, processed, empty frames, outages).
void cap_stats(const Capture *cap, CaptureNativeStats *stats);

// Releases a frame: nothing to free (the service owns the buffer). Returns 0.
int cap_release(Capture *cap, const uint8_t *frame);

// Marks the capture closed and stops the stream. The object itself stays allocated.
void cap_destroy(Capture *cap);

// Releases the object after cap_destroy (tests; the program keeps it until it exits).
void cap_free(Capture *cap);
