// Dropped frames owned up to (log tag "capture"): frames the source delivered, frames the loop
// processed and the difference, since start and over the last 100 processed frames. The loop
// feeds it once per frame; it logs every 100 processed frames, keeps a status message while
// too many frames are dropped ("counts may be low") and another while the source is down, and
// answers "capture-stats.json" from the HTTP thread.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/capture/capture_native.h"

inline constexpr int CAPTURE_STATS_WINDOW = 100;
// Share of the window's frames dropped above which the status message is shown.
inline constexpr double CAPTURE_STATS_DROP_WARN = 0.2;

struct CaptureCounts {
    uint64_t delivered = 0, processed = 0, dropped = 0;
};

struct CaptureReport {
    bool source_up = true;
    CaptureCounts since_start, last_100;
    uint64_t empty_frames = 0;  // handed to the loop while the source was down
    uint32_t outages = 0;
    int64_t down_seconds = 0;  // length of the current outage; 0 while up
};

struct CaptureStats {
    // Main thread only.
    uint64_t delivered_at[CAPTURE_STATS_WINDOW] = {};  // delivered count at processed frame k
    uint64_t last_processed = 0;
    bool warned_drops = false, warned_down = false;
    // The latest report, for the HTTP thread.
    mutable std::mutex lock;
    CaptureReport published;
};

// Main thread, once per grabbed frame, with the capture's counters.
void capture_stats_update(CaptureStats *stats, const CaptureNativeStats &native);

// Any thread.
CaptureReport capture_stats_read(const CaptureStats *stats);

// "capture-stats.json" (user data: a CaptureStats): {"source_up": true, "since_start":
// {"delivered": N, "processed": N, "dropped": N}, "last_100": {...}, "empty_frames": N,
// "outages": N, "down_seconds": N}.
const char *capture_stats_json_handler(void *user_data, const char *args, int *length);
