#include "app/capture_stats.h"

#include <sys/time.h>

#include <cinttypes>
#include <cstdio>

#include "common/log.h"
#include "params/param.h"

namespace {
constexpr const char *kTag = "capture";
constexpr const char *kDropKey = "CAPTURE_FRAMES_DROPPED";
constexpr const char *kDropText =
    "Frames are dropped: the video source delivers more frames than are processed; counts may "
    "be low.";
constexpr const char *kDownKey = "CAPTURE_SOURCE_DOWN";
constexpr const char *kDownText =
    "The video source is not delivering frames; reconnecting. Nobody is counted meanwhile.";

CaptureCounts counts(uint64_t delivered, uint64_t processed) {
    // The sink may hold a frame the loop has not taken yet.
    if (delivered < processed) delivered = processed;
    return {delivered, processed, delivered - processed};
}

void set_status(bool on, bool *shown, const char *key, const char *text) {
    if (on == *shown) return;
    *shown = on;
    if (on)
        ov_param_status_set(key, text);
    else
        ov_param_status_clear(text);
}

void log_window(const CaptureReport &r) {
    log_message(kTag,
                "frames over the last %" PRIu64 ": delivered %" PRIu64 ", processed %" PRIu64
                ", dropped %" PRIu64 "; since start: delivered %" PRIu64 ", processed %" PRIu64
                ", dropped %" PRIu64,
                r.last_100.processed, r.last_100.delivered, r.last_100.processed,
                r.last_100.dropped, r.since_start.delivered, r.since_start.processed,
                r.since_start.dropped);
}

int64_t wall_s() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec;
}
}  // namespace

void capture_stats_update(CaptureStats *s, const CaptureNativeStats &n) {
    CaptureReport r = capture_stats_read(s);
    bool new_frame = n.processed > s->last_processed;
    if (new_frame) {
        // delivered_at[k % W] holds the delivered count at processed frame k; the slot about to
        // be overwritten is the one W frames back, where the window starts.
        size_t slot = size_t(n.processed % CAPTURE_STATS_WINDOW);
        uint64_t window_start = n.processed > CAPTURE_STATS_WINDOW ? s->delivered_at[slot] : 0;
        s->delivered_at[slot] = n.delivered;
        s->last_processed = n.processed;
        uint64_t in_window =
            n.processed < CAPTURE_STATS_WINDOW ? n.processed : CAPTURE_STATS_WINDOW;
        r.last_100 = counts(n.delivered - window_start, in_window);
    }
    r.since_start = counts(n.delivered, n.processed);
    r.source_up = n.source_up;
    r.empty_frames = n.fillers;
    r.outages = n.outages;
    r.down_seconds = n.down_since_us ? wall_s() - n.down_since_us / 1000000 : 0;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->published = r;
    }
    set_status(n.down_since_us != 0, &s->warned_down, kDownKey, kDownText);
    if (new_frame && n.processed % CAPTURE_STATS_WINDOW == 0) {
        log_window(r);
        bool dropping = double(r.last_100.dropped) > CAPTURE_STATS_DROP_WARN * r.last_100.delivered;
        set_status(dropping, &s->warned_drops, kDropKey, kDropText);
    }
}

CaptureReport capture_stats_read(const CaptureStats *s) {
    std::lock_guard<std::mutex> guard(s->lock);
    return s->published;
}

const char *capture_stats_json_handler(void *user_data, const char *, int *length) {
    static thread_local char reply[512];
    CaptureReport r = capture_stats_read(static_cast<const CaptureStats *>(user_data));
    auto part = [](const CaptureCounts &c, char *out, size_t size) {
        std::snprintf(out, size,
                      "{\"delivered\": %" PRIu64 ", \"processed\": %" PRIu64
                      ", \"dropped\": %" PRIu64 "}",
                      c.delivered, c.processed, c.dropped);
    };
    char since[160], last[160];
    part(r.since_start, since, sizeof since);
    part(r.last_100, last, sizeof last);
    int n = std::snprintf(reply, sizeof reply,
                          "{\"source_up\": %s, \"since_start\": %s, \"last_100\": %s, "
                          "\"empty_frames\": %" PRIu64
                          ", \"outages\": %u, \"down_seconds\": %" PRId64 "}\n",
                          r.source_up ? "true" : "false", since, last, r.empty_frames,
                          unsigned(r.outages), r.down_seconds);
    *length = n;
    return reply;
}
