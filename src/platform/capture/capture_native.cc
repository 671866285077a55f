// Capture service stand-in: GStreamer pipelines ending in an appsink that delivers GRAY8
// frames of the asked size, or the synthetic scenes of synthetic.h.
#include "platform/capture/capture_native.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/pbutils/missing-plugins.h>
#include <gst/video/video.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "platform/capture/capture_internal.h"
#include "platform/capture/synthetic.h"

namespace {
constexpr const char *kTag = "capture";
constexpr const char *kDefaultSource = "synthetic:walkers";
constexpr GstClockTime kStateTimeout = 15 * GST_SECOND;
constexpr GstClockTime kPullSlice = 200 * GST_MSECOND;
constexpr int64_t kNoFrameLimitUs = 30LL * 1000000;  // a file silent this long has failed
constexpr int kEndedPollMs = 100;                    // pace of calls after the end (no spinning)
constexpr int kMaxDimension = 16384;
// A live source (camera, stream) that fails is reconnected, never the end of the run. Meanwhile
// the caller gets empty frames at this pace, so that tracks end and the loop's duties go on.
constexpr int64_t kFillerIntervalUs = 200000;
constexpr int64_t kSilentFillerUs = 1000000;         // silence while up before empty frames begin
constexpr int64_t kStallLimitUs = 5LL * 1000000;     // silence while up that counts as an outage
constexpr int64_t kConnectLimitUs = 10LL * 1000000;  // an attempt without a frame has failed
constexpr int kBackoffFirstS = 1, kBackoffMaxS = 30;

enum SourceKind { SOURCE_SYNTHETIC, SOURCE_URI, SOURCE_RTSP, SOURCE_V4L2 };
enum LinkState { LINK_UP, LINK_CONNECTING, LINK_DOWN };

int64_t wall_us() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
}

void sleep_until_us(int64_t target) {
    int64_t now = wall_us();
    if (target > now) std::this_thread::sleep_for(std::chrono::microseconds(target - now));
}

bool env_flag(const char *name) {
    const char *v = std::getenv(name);
    return v && std::strcmp(v, "1") == 0;
}

bool has_prefix(const std::string &s, const char *prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool is_rtsp(const std::string &s) {
    return has_prefix(s, "rtsp://") || has_prefix(s, "rtspt://") || has_prefix(s, "rtspu://") ||
           has_prefix(s, "rtsps://");
}

bool is_uri(const std::string &s) {
    return has_prefix(s, "file://") || is_rtsp(s) || has_prefix(s, "http://") ||
           has_prefix(s, "https://");
}

// The source as logs may show it: a password in the URI becomes "***".
std::string redacted(const std::string &source) {
    size_t scheme = source.find("://");
    if (scheme == std::string::npos) return source;
    size_t host = source.find_first_of("/?#", scheme + 3);
    size_t at = source.rfind('@', host == std::string::npos ? std::string::npos : host);
    if (at == std::string::npos || at < scheme + 3) return source;
    size_t colon = source.find(':', scheme + 3);
    if (colon == std::string::npos || colon > at) return source;
    return source.substr(0, colon + 1) + "***" + source.substr(at);
}

std::once_flag g_gst_once;

void ensure_gst() {
    std::call_once(g_gst_once, [] { gst_init(nullptr, nullptr); });
}

// The capture whose newest frame snapshots take; guarded by g_active_lock.
std::mutex g_active_lock;
CaptureNative *g_active = nullptr;
}  // namespace

struct CaptureNative {
    int width = 0, height = 0;
    SourceKind kind = SOURCE_SYNTHETIC;
    std::string source;                 // the one being played
    std::vector<std::string> playlist;  // a folder's video files, played in name order
    size_t play_index = 0;
    bool loop = false;
    bool offline = false;   // MEVO_CLOCK=source: stamp frames with source time, no pacing
    bool snapshot = false;  // private one-frame reader of a snapshot: no signal, no clock
    int64_t start_us = 0;
    bool started = false;
    bool ended = false;

    // synthetic
    const SyntheticScene *scene = nullptr;
    int64_t synth_index = 0;
    int64_t synth_wall_start_us = 0;

    // GStreamer
    GstElement *pipeline = nullptr;
    GstElement *convert = nullptr;
    GstElement *sink = nullptr;
    GstElement *rtp_queue = nullptr;  // an RTSP source's video stream enters here
    GstElement *rtsp_src = nullptr;
    gulong probe_id = 0;  // the sink's frame counter
    bool live = false;
    bool missing_plugin = false;   // the source needs an element that is not installed
    GstClockTime pass_offset = 0;  // presentation time carried over from earlier loop passes
    GstClockTime pass_end = 0;     // end of the latest frame of this pass
    int64_t pass_frames = 0;

    // Frame handed out last (front) and the one being filled (back). The snapshot reader copies
    // the front under `lock`; the swap takes the same lock.
    mutable std::mutex lock;
    std::vector<uint8_t> front, back;
    bool have_frame = false;
    struct timeval frame_time = {0, 0};

    // A live source's link: up, reconnecting, or down until the next attempt (back-off).
    LinkState link = LINK_CONNECTING;
    int64_t attempt_at_us = 0;  // wall time of the next attempt while down
    int backoff_s = kBackoffFirstS;
    int64_t progress_us = 0;    // wall time of the last frame or attempt
    int64_t down_since_us = 0;  // wall time the source stopped delivering; 0 while up
    int64_t last_filler_us = 0;
    int64_t last_source_us = 0;  // stamp of the last real frame (offline filler times)
    uint32_t outages = 0;

    // Frames the source produced (counted where they reach the sink, before it drops any), real
    // frames handed out, and empty frames handed out while the source was down.
    std::atomic<uint64_t> delivered{0};
    uint64_t processed = 0, fillers = 0;
};

namespace {
void end_of_source(CaptureNative *c, const char *why) {
    if (c->ended) return;
    c->ended = true;
    if (c->snapshot) return;
    log_message(kTag, "%s; ending the run", why);
    raise(SIGTERM);
}

void publish_frame(CaptureNative *c, int64_t source_us, bool filler = false) {
    if (filler) {
        ++c->fillers;
    } else {
        ++c->processed;
        c->last_source_us = source_us;
    }
    struct timeval tv;
    if (c->offline) {
        tv.tv_sec = time_t(source_us / 1000000);
        tv.tv_usec = suseconds_t(source_us % 1000000);
        if (!c->snapshot) clock_set_source_time(&tv);
    } else {
        gettimeofday(&tv, nullptr);
    }
    std::lock_guard<std::mutex> guard(c->lock);
    c->front.swap(c->back);
    c->frame_time = tv;
    c->have_frame = true;
}

// ---- synthetic ----

const uint8_t *synthetic_next(CaptureNative *c) {
    int64_t count = c->scene->frame_count;
    if (!c->loop && c->synth_index >= count) {
        end_of_source(c, "end of synthetic source");
        return nullptr;
    }
    int64_t interval = c->scene->frame_interval_us;
    if (!c->offline) {
        if (c->synth_index == 0) c->synth_wall_start_us = wall_us();
        // Like a camera, the scene runs on in real time: frames the caller was too slow for
        // are dropped (and counted as delivered).
        int64_t due = (wall_us() - c->synth_wall_start_us) / interval;
        if (due > c->synth_index) {
            if (!c->loop) due = std::min(due, count - 1);
            c->delivered.fetch_add(uint64_t(due - c->synth_index));
            c->synth_index = due;
        }
        sleep_until_us(c->synth_wall_start_us + c->synth_index * interval);
    }
    c->delivered.fetch_add(1);
    synthetic_render(c->scene, int(c->synth_index % count), c->width, c->height, c->back.data());
    publish_frame(c, c->start_us + c->synth_index * interval);
    ++c->synth_index;
    return c->front.data();
}

// ---- GStreamer ----

void on_pad_added(GstElement *, GstPad *pad, gpointer data) {
    auto *c = static_cast<CaptureNative *>(data);
    GstCaps *caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    bool video = false;
    if (caps && gst_caps_get_size(caps) > 0) {
        const char *name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
        video = name && std::strncmp(name, "video/", 6) == 0;
    }
    if (caps) gst_caps_unref(caps);
    if (!video) return;
    GstPad *sinkpad = gst_element_get_static_pad(c->convert, "sink");
    if (!gst_pad_is_linked(sinkpad) && gst_pad_link(pad, sinkpad) != GST_PAD_LINK_OK)
        log_message(kTag, "could not link the decoded video to the converter");
    gst_object_unref(sinkpad);
}

// An RTSP source's pads: the first video stream goes to the decoder; audio and data are left
// unlinked.
void on_rtsp_pad_added(GstElement *, GstPad *pad, gpointer data) {
    auto *c = static_cast<CaptureNative *>(data);
    GstCaps *caps = gst_pad_query_caps(pad, nullptr);
    const char *media = nullptr;
    if (caps && gst_caps_get_size(caps) > 0)
        media = gst_structure_get_string(gst_caps_get_structure(caps, 0), "media");
    bool video = media && std::strcmp(media, "video") == 0;
    if (caps) gst_caps_unref(caps);
    if (!video) return;
    GstPad *sinkpad = gst_element_get_static_pad(c->rtp_queue, "sink");
    if (!gst_pad_is_linked(sinkpad) && gst_pad_link(pad, sinkpad) != GST_PAD_LINK_OK)
        log_message(kTag, "could not link the RTSP video stream to the decoder");
    gst_object_unref(sinkpad);
}

// Counts every frame that reaches the sink, before the sink drops the ones nobody took.
GstPadProbeReturn count_delivered(GstPad *, GstPadProbeInfo *, gpointer data) {
    static_cast<CaptureNative *>(data)->delivered.fetch_add(1);
    return GST_PAD_PROBE_OK;
}

// A source that needs an element that is not installed says which one, once per message.
void log_missing_plugin(CaptureNative *c, GstMessage *msg) {
    gchar *what = gst_missing_plugin_message_get_description(msg);
    gchar *detail = gst_missing_plugin_message_get_installer_detail(msg);
    log_message(kTag,
                "cannot decode '%s': GStreamer element missing: %s (%s); install the packages "
                "scripts/deps lists (e.g. gstreamer1.0-libav, gstreamer1.0-plugins-bad)",
                redacted(c->source).c_str(), what ? what : "unknown", detail ? detail : "");
    g_free(what);
    g_free(detail);
    c->missing_plugin = true;
}

// Logs and returns true when the bus holds an error (the messages are consumed).
bool bus_error(CaptureNative *c) {
    GstBus *bus = gst_element_get_bus(c->pipeline);
    bool failed = false;
    while (GstMessage *msg =
               gst_bus_pop_filtered(bus, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_ELEMENT))) {
        if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ELEMENT) {
            if (gst_is_missing_plugin_message(msg)) log_missing_plugin(c, msg);
            gst_message_unref(msg);
            continue;
        }
        GError *err = nullptr;
        gchar *debug = nullptr;
        gst_message_parse_error(msg, &err, &debug);
        log_message(kTag, "source '%s': %s", redacted(c->source).c_str(),
                    err ? err->message : "error");
        if (err) g_error_free(err);
        g_free(debug);
        gst_message_unref(msg);
        failed = true;
    }
    gst_object_unref(bus);
    return failed;
}

GstElement *make(const char *factory) {
    GstElement *e = gst_element_factory_make(factory, nullptr);
    if (!e) log_message(kTag, "GStreamer element '%s' is not installed", factory);
    return e;
}

std::string source_uri(const std::string &source) {
    if (is_uri(source)) return source;
    gchar *u = gst_filename_to_uri(source.c_str(), nullptr);
    std::string uri = u ? u : "";
    g_free(u);
    return uri;
}

// rtsp:// lets the source pick the transport (UDP first); rtspt:// is TCP only and rtspu://
// UDP only. Credentials in the URI are used for the server's authentication.
GstElement *make_rtsp_source(CaptureNative *c, GstElement **decode) {
    GstElement *src = make("rtspsrc");
    c->rtp_queue = make("queue");
    *decode = make("decodebin");
    if (!src || !c->rtp_queue || !*decode) return src;
    g_object_set(src, "location", c->source.c_str(), "latency", guint(200), nullptr);
    // Offline every frame counts: the compressed stream waits here, unbounded, for a consumer
    // slower than real time. Live, the sink drops what the consumer does not take.
    if (c->offline)
        g_object_set(c->rtp_queue, "max-size-buffers", guint(0), "max-size-bytes", guint(0),
                     "max-size-time", guint64(0), nullptr);
    g_signal_connect(src, "pad-added", G_CALLBACK(on_rtsp_pad_added), c);
    return src;
}

bool build_pipeline(CaptureNative *c) {
    ensure_gst();
    c->pipeline = gst_pipeline_new("mevo-capture");
    c->rtp_queue = nullptr;
    GstElement *src = nullptr, *decode = nullptr;
    if (c->kind == SOURCE_V4L2) {
        src = make("v4l2src");
        decode = make("decodebin");
        if (src) g_object_set(src, "device", c->source.c_str() + 5, nullptr);
        c->live = true;
    } else if (c->kind == SOURCE_RTSP) {
        src = make_rtsp_source(c, &decode);
        c->live = true;
    } else {
        src = make("uridecodebin");
        if (src) g_object_set(src, "uri", source_uri(c->source).c_str(), nullptr);
    }
    c->convert = make("videoconvert");
    GstElement *scale = make("videoscale");
    GstElement *filter = make("capsfilter");
    c->sink = make("appsink");
    bool needs_decode = c->kind != SOURCE_URI;
    if (!src || !c->convert || !scale || !filter || !c->sink || (needs_decode && !decode) ||
        (c->kind == SOURCE_RTSP && !c->rtp_queue)) {
        for (GstElement *e : {src, decode, c->rtp_queue, c->convert, scale, filter, c->sink})
            if (e) gst_object_unref(e);
        c->convert = c->sink = c->rtp_queue = nullptr;
        return false;
    }
    GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "GRAY8", "width",
                                        G_TYPE_INT, c->width, "height", G_TYPE_INT, c->height,
                                        "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    // Offline: every frame, as fast as it is consumed. Otherwise a file plays at its own pace
    // and, like a camera, the newest frame wins when the consumer is slower.
    bool paced = !c->offline && !c->live;
    g_object_set(c->sink, "sync", gboolean(paced), "max-buffers", guint(c->offline ? 4 : 1), "drop",
                 gboolean(!c->offline), "emit-signals", FALSE, nullptr);
    GstPad *sinkpad = gst_element_get_static_pad(c->sink, "sink");
    c->probe_id =
        gst_pad_add_probe(sinkpad, GST_PAD_PROBE_TYPE_BUFFER, count_delivered, c, nullptr);
    gst_object_unref(sinkpad);
    c->rtsp_src = c->kind == SOURCE_RTSP ? src : nullptr;

    gst_bin_add_many(GST_BIN(c->pipeline), src, c->convert, scale, filter, c->sink, nullptr);
    if (decode) gst_bin_add(GST_BIN(c->pipeline), decode);
    if (c->rtp_queue) gst_bin_add(GST_BIN(c->pipeline), c->rtp_queue);
    if (c->kind == SOURCE_V4L2 && !gst_element_link(src, decode)) return false;
    if (c->kind == SOURCE_RTSP && !gst_element_link(c->rtp_queue, decode)) return false;
    g_signal_connect(decode ? decode : src, "pad-added", G_CALLBACK(on_pad_added), c);
    return gst_element_link_many(c->convert, scale, filter, c->sink, nullptr);
}

bool gst_open(CaptureNative *c) {
    if (!build_pipeline(c)) {
        log_message(kTag, "could not build a pipeline for '%s'", redacted(c->source).c_str());
        return false;
    }
    GstStateChangeReturn r = gst_element_set_state(c->pipeline, GST_STATE_PAUSED);
    if (r == GST_STATE_CHANGE_ASYNC)
        r = gst_element_get_state(c->pipeline, nullptr, nullptr, kStateTimeout);
    if (r == GST_STATE_CHANGE_NO_PREROLL) c->live = true;
    if (r == GST_STATE_CHANGE_FAILURE || r == GST_STATE_CHANGE_ASYNC || bus_error(c)) {
        if (r == GST_STATE_CHANGE_ASYNC)
            log_message(kTag, "source '%s' did not deliver in time", redacted(c->source).c_str());
        bus_error(c);
        return false;
    }
    return true;
}

// Stopping an RTSP client can wait on a server that has gone (its teardown, its TCP timeout):
// that is done on a thread of its own, after cutting every link from the pipeline back to `c`,
// so that neither the loop nor the shutdown waits for it.
void rtsp_free_detached(CaptureNative *c) {
    GstElement *pipeline = c->pipeline;
    GstIterator *it = gst_bin_iterate_recurse(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        g_signal_handlers_disconnect_by_data(g_value_get_object(&item), c);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    GstPad *sinkpad = gst_element_get_static_pad(c->sink, "sink");
    gst_pad_remove_probe(sinkpad, c->probe_id);
    gst_object_unref(sinkpad);
    std::thread([pipeline] {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    }).detach();
}

void gst_free(CaptureNative *c) {
    if (!c->pipeline) return;
    if (c->rtsp_src) {
        rtsp_free_detached(c);
    } else {
        gst_element_set_state(c->pipeline, GST_STATE_NULL);
        gst_object_unref(c->pipeline);
    }
    c->pipeline = nullptr;
    c->rtsp_src = nullptr;
    c->convert = c->sink = c->rtp_queue = nullptr;
}

GstClockTime frame_duration(GstCaps *caps) {
    gint num = 0, den = 1;
    if (caps && gst_caps_get_size(caps) > 0 &&
        gst_structure_get_fraction(gst_caps_get_structure(caps, 0), "framerate", &num, &den) &&
        num > 0 && den > 0)
        return gst_util_uint64_scale(GST_SECOND, guint64(den), guint64(num));
    return GST_SECOND / 30;
}

// Copies the sample's rows into the back buffer; returns its presentation time in this pass.
GstClockTime copy_sample(CaptureNative *c, GstSample *sample) {
    GstBuffer *buf = gst_sample_get_buffer(sample);
    GstCaps *caps = gst_sample_get_caps(sample);
    GstClockTime dur = frame_duration(caps);
    GstClockTime pts = GST_BUFFER_PTS_IS_VALID(buf) ? GST_BUFFER_PTS(buf) : c->pass_frames * dur;
    if (GST_BUFFER_DURATION_IS_VALID(buf)) dur = GST_BUFFER_DURATION(buf);
    c->pass_end = std::max(c->pass_end, pts + dur);
    ++c->pass_frames;

    GstVideoInfo info;
    GstVideoFrame vf;
    std::fill(c->back.begin(), c->back.end(), 0);
    if (caps && gst_video_info_from_caps(&info, caps) &&
        gst_video_frame_map(&vf, &info, buf, GST_MAP_READ)) {
        int rows = std::min(c->height, int(GST_VIDEO_FRAME_HEIGHT(&vf)));
        int cols = std::min(c->width, int(GST_VIDEO_FRAME_WIDTH(&vf)));
        int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&vf, 0);
        auto *data = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&vf, 0));
        for (int y = 0; y < rows; ++y)
            std::memcpy(&c->back[size_t(y) * c->width], data + size_t(y) * stride, size_t(cols));
        gst_video_frame_unmap(&vf);
    }
    return pts;
}

void carry_pass_time(CaptureNative *c) {
    c->pass_offset += c->pass_end;
    c->pass_end = 0;
    c->pass_frames = 0;
}

bool restart_pass(CaptureNative *c) {
    if (c->pass_frames == 0) return false;  // a source without frames would loop forever
    carry_pass_time(c);
    return gst_element_seek_simple(c->pipeline, GST_FORMAT_TIME,
                                   GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0);
}

// Moves a folder source on to its next file (the first again when looping); time keeps
// running across files. False when there is no next file or it cannot be opened.
bool play_next_file(CaptureNative *c) {
    if (c->playlist.size() < 2) return false;
    if (c->play_index + 1 >= c->playlist.size() && !c->loop) return false;
    carry_pass_time(c);
    gst_free(c);
    c->play_index = (c->play_index + 1) % c->playlist.size();
    c->source = c->playlist[c->play_index];
    log_message(kTag, "playing '%s'", c->source.c_str());
    if (!gst_open(c)) return false;
    return gst_element_set_state(c->pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

bool is_video_file(const std::filesystem::path &p) {
    static const char *const kExtensions[] = {".avi", ".mp4",   ".mkv", ".webm",
                                              ".mov", ".mjpeg", ".ts"};
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char ch) { return char(std::tolower(ch)); });
    for (const char *e : kExtensions)
        if (ext == e) return true;
    return false;
}

// A folder source plays its video files one after the other; returns false when it has none.
bool load_playlist(CaptureNative *c) {
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(c->source, ec))
        if (entry.is_regular_file(ec) && is_video_file(entry.path()))
            c->playlist.push_back(entry.path().string());
    std::sort(c->playlist.begin(), c->playlist.end());
    if (c->playlist.empty()) {
        log_message(kTag, "source folder '%s' holds no video file", c->source.c_str());
        return false;
    }
    c->source = c->playlist[0];
    return true;
}

bool is_directory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- a live source's outages ----

// An empty frame while the source is silent, at most one per filler interval.
const uint8_t *filler_frame(CaptureNative *c) {
    sleep_until_us(c->last_filler_us + kFillerIntervalUs);
    int64_t now = wall_us();
    c->last_filler_us = now;
    std::fill(c->back.begin(), c->back.end(), 0);
    int64_t silent = c->progress_us ? now - c->progress_us : 0;
    publish_frame(c, c->last_source_us ? c->last_source_us + silent : c->start_us, true);
    return c->front.data();
}

void link_down(CaptureNative *c, const char *why) {
    int64_t now = wall_us();
    if (!c->down_since_us) {
        c->down_since_us = now;
        ++c->outages;
    }
    gst_free(c);
    c->link = LINK_DOWN;
    c->attempt_at_us = now + int64_t(c->backoff_s) * 1000000;
    log_message(kTag, "source '%s' is down (%s); next attempt in %d s", redacted(c->source).c_str(),
                why, c->backoff_s);
    c->backoff_s = std::min(c->backoff_s * 2, kBackoffMaxS);
}

void link_attempt(CaptureNative *c) {
    c->progress_us = wall_us();
    c->link = LINK_CONNECTING;
    if (!build_pipeline(c) ||
        gst_element_set_state(c->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        if (c->pipeline) bus_error(c);
        link_down(c, "could not start it");
    }
}

void link_up(CaptureNative *c) {
    if (c->down_since_us)
        log_message(kTag, "source '%s' is back after %.0f s", redacted(c->source).c_str(),
                    double(wall_us() - c->down_since_us) / 1e6);
    c->link = LINK_UP;
    c->down_since_us = 0;
    c->backoff_s = kBackoffFirstS;
}

// A live source never ends the run: when it fails, stalls or ends it is reconnected with
// back-off while the caller gets empty frames. Offline, the end of the stream ends the run as
// a file's end does.
const uint8_t *live_next(CaptureNative *c) {
    for (;;) {
        if (c->link == LINK_DOWN) {
            if (wall_us() < c->attempt_at_us) return filler_frame(c);
            link_attempt(c);
            if (c->link == LINK_DOWN) return filler_frame(c);
        }
        GstAppSink *sink = GST_APP_SINK(c->sink);
        if (GstSample *sample = gst_app_sink_try_pull_sample(sink, kPullSlice)) {
            if (c->link != LINK_UP) link_up(c);
            GstClockTime pts = copy_sample(c, sample);
            gst_sample_unref(sample);
            c->progress_us = wall_us();
            publish_frame(c, c->start_us + int64_t((c->pass_offset + pts) / GST_USECOND));
            return c->front.data();
        }
        if (bus_error(c)) {
            link_down(c, "stream error");
            continue;
        }
        if (gst_app_sink_is_eos(sink)) {
            if (c->offline) {
                end_of_source(c, "end of capture source");
                return nullptr;
            }
            link_down(c, "the stream ended");
            continue;
        }
        int64_t silent = wall_us() - c->progress_us;
        if (c->offline && c->link == LINK_UP && silent > kStallLimitUs) {
            // A recording played over RTSP whose end did not come through as such.
            end_of_source(c, "end of capture source (no frame for 5 s)");
            return nullptr;
        }
        if (silent > (c->link == LINK_UP ? kStallLimitUs : kConnectLimitUs)) {
            link_down(c, "no frame");
            continue;
        }
        if (c->link != LINK_UP || silent > kSilentFillerUs) return filler_frame(c);
    }
}

const uint8_t *gst_next(CaptureNative *c) {
    if (c->live && !c->snapshot) return live_next(c);
    GstAppSink *sink = GST_APP_SINK(c->sink);
    int64_t waited_since = wall_us();
    for (;;) {
        if (GstSample *sample = gst_app_sink_try_pull_sample(sink, kPullSlice)) {
            GstClockTime pts = copy_sample(c, sample);
            gst_sample_unref(sample);
            publish_frame(c, c->start_us + int64_t((c->pass_offset + pts) / GST_USECOND));
            return c->front.data();
        }
        if (bus_error(c)) {
            end_of_source(c, "capture source failed");
            return nullptr;
        }
        if (gst_app_sink_is_eos(sink)) {
            if (play_next_file(c)) {
                sink = GST_APP_SINK(c->sink);
                waited_since = wall_us();
                continue;
            }
            if (c->loop && restart_pass(c)) {
                waited_since = wall_us();
                continue;
            }
            end_of_source(c, "end of capture source");
            return nullptr;
        }
        if (wall_us() - waited_since > kNoFrameLimitUs) {
            end_of_source(c, "no frame from the capture source for 30 s");
            return nullptr;
        }
    }
}
}  // namespace

CaptureNative *capture_native_open_source(const char *source, int width, int height,
                                          bool snapshot) {
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) {
        log_message(kTag, "invalid capture size %dx%d", width, height);
        return nullptr;
    }
    auto *c = new CaptureNative;
    c->width = width;
    c->height = height;
    c->source = source;
    c->snapshot = snapshot;
    c->loop = snapshot || env_flag("MEVO_SOURCE_LOOP");
    c->offline = clock_mode() == CLOCK_MODE_SOURCE;
    c->start_us = clock_source_start_us();
    size_t bytes = size_t(width) * size_t(height);
    c->front.assign(bytes, 0);
    c->back.assign(bytes, 0);

    bool ok = false;
    if (has_prefix(c->source, "synthetic:")) {
        c->kind = SOURCE_SYNTHETIC;
        c->scene = synthetic_scene_find(c->source.c_str() + 10);
        if (!c->scene) log_message(kTag, "unknown synthetic scene '%s'", c->source.c_str() + 10);
        ok = c->scene != nullptr;
    } else if (has_prefix(c->source, "v4l2:")) {
        c->kind = SOURCE_V4L2;
        ok = gst_open(c);
    } else if (is_rtsp(c->source)) {
        c->kind = SOURCE_RTSP;
        ok = gst_open(c);
    } else {
        c->kind = SOURCE_URI;
        if (is_directory(c->source))
            ok = load_playlist(c) && gst_open(c);
        else if (!is_uri(c->source) && access(c->source.c_str(), R_OK) != 0)
            log_message(kTag, "cannot read source file '%s': %s", c->source.c_str(),
                        strerror(errno));
        else
            ok = gst_open(c);
    }
    if (!ok) {
        gst_free(c);
        delete c;
        return nullptr;
    }
    if (!snapshot) {
        std::lock_guard<std::mutex> guard(g_active_lock);
        g_active = c;
    }
    return c;
}

CaptureNative *capture_open_native(int width, int height) {
    const char *source = std::getenv("MEVO_SOURCE");
    if (!source || !*source) source = kDefaultSource;
    log_message(kTag, "opening '%s' at %dx%d%s", redacted(source).c_str(), width, height,
                env_flag("MEVO_SOURCE_LOOP") ? ", looping" : "");
    return capture_native_open_source(source, width, height, false);
}

int capture_start_native(CaptureNative *c) {
    if (!c) return -1;
    if (c->started) return 0;
    c->started = true;
    c->progress_us = wall_us();
    if (!c->pipeline) return 0;
    if (gst_element_set_state(c->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        bus_error(c);
        return -1;
    }
    return 0;
}

const uint8_t *capture_get_image_native(CaptureNative *c) {
    if (!c) return nullptr;
    if (!c->started && capture_start_native(c) != 0) end_of_source(c, "capture source failed");
    if (c->ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kEndedPollMs));
        return nullptr;
    }
    return c->kind == SOURCE_SYNTHETIC ? synthetic_next(c) : gst_next(c);
}

void capture_frame_time_native(const CaptureNative *c, struct timeval *tv) {
    if (!c) {
        tv->tv_sec = 0;
        tv->tv_usec = 0;
        return;
    }
    std::lock_guard<std::mutex> guard(c->lock);
    *tv = c->frame_time;
}

void capture_close_native(CaptureNative *c) {
    if (!c) return;
    {
        std::lock_guard<std::mutex> guard(g_active_lock);
        if (g_active == c) g_active = nullptr;
    }
    gst_free(c);
    delete c;
}

void capture_stats_native(const CaptureNative *c, CaptureNativeStats *out) {
    *out = {};
    if (!c) return;
    out->delivered = c->delivered.load();
    // Offline nothing is dropped: frames counted at the sink are still queued for the caller.
    // Live, the sink holds at most one frame not yet taken.
    if (c->offline)
        out->delivered = c->processed;
    else if (c->kind != SOURCE_SYNTHETIC && out->delivered > c->processed)
        --out->delivered;
    out->processed = c->processed;
    out->fillers = c->fillers;
    out->source_up = !c->live || c->link == LINK_UP;
    out->down_since_us = c->down_since_us;
    out->outages = c->outages;
}

bool capture_native_copy_latest(std::vector<uint8_t> &pixels, int &width, int &height) {
    std::lock_guard<std::mutex> guard(g_active_lock);
    if (!g_active) return false;
    std::lock_guard<std::mutex> frame_guard(g_active->lock);
    if (!g_active->have_frame) return false;
    pixels = g_active->front;
    width = g_active->width;
    height = g_active->height;
    return true;
}
