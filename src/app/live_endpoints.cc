#include "app/live_endpoints.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/frame_pipeline.h"
#include "common/clock.h"
#include "common/log.h"
#include "count/track_buffer.h"
#include "params/param.h"
#include "platform/json/json_print.h"
#include "track/tracker.h"
#include "track/tracker_json.h"
#include "web/web.h"

namespace {
constexpr const char *kTag = "mevo";
constexpr const char *kAnonTag = "anon";
constexpr size_t kVariableMax = 256;  // longest JSONP/variable name taken from a query
constexpr const char *kPrinterFailed = "Failed (%d) to init json printer for web stream";

// A reply in a fixed buffer: a header, whole items, and a closing text that always fits.
// An item that would not leave room for the closer is dropped with everything after it, so a
// cut reply is still valid JSON.
class ReplyBuffer {
  public:
    ReplyBuffer(char *buf, size_t cap, const char *closer)
        : buf_(buf), cap_(cap), reserve_(std::strlen(closer) + 1), closer_(closer) {
        buf_[0] = '\0';
    }
    // Appends the formatted text whole, or nothing (and refuses every later item).
    bool add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (full_) return false;
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(buf_ + used_, cap_ - used_, fmt, ap);
        va_end(ap);
        if (n < 0 || used_ + size_t(n) + reserve_ > cap_) {
            buf_[used_] = '\0';
            full_ = true;
            return false;
        }
        used_ += size_t(n);
        return true;
    }
    // Removes `n` trailing characters (the separator after the last item).
    void drop(size_t n) {
        used_ = n <= used_ ? used_ - n : 0;
        buf_[used_] = '\0';
    }
    const char *finish(int *length) {
        full_ = false;
        reserve_ = 1;
        add("%s", closer_);
        *length = int(used_);
        return buf_;
    }

  private:
    char *buf_;
    size_t cap_;
    size_t used_ = 0;
    size_t reserve_;
    const char *closer_;
    bool full_ = false;
};

int rounded(double v) {
    return int(0.5 + v);
}

struct LiveScale {
    double sx = 1.0, sy = 1.0;
    int view_w = 0, view_h = 0;
};

double ratio(int view, int camera) {
    return camera > 0 ? double(view) / double(camera) : 1.0;
}

LiveScale live_scale() {
    LiveScale s;
    s.view_w = std::atoi(ov_param_get("Liveview.Width"));
    s.view_h = std::atoi(ov_param_get("Liveview.Height"));
    s.sx = ratio(s.view_w, std::atoi(ov_param_get("Camera.Width")));
    s.sy = ratio(s.view_h, std::atoi(ov_param_get("Camera.Height")));
    return s;
}

// The value of "&key=" in `args`, up to the next '&'; false when absent. `rest` (optional)
// receives the text after the value.
bool query_item(const char *args, const char *key, std::string *value, const char **rest) {
    std::string needle = std::string("&") + key + "=";
    const char *p = args ? std::strstr(args, needle.c_str()) : nullptr;
    if (!p) return false;
    p += needle.size();
    const char *end = std::strchr(p, '&');
    if (!end) end = p + std::strlen(p);
    // The name is pasted into script text: keep only a leading identifier.
    const char *q = p;
    while (q < end && size_t(q - p) < kVariableMax &&
           (std::isalnum((unsigned char)*q) || *q == '_' || *q == '$' || *q == '.'))
        ++q;
    value->assign(p, size_t(q - p));
    if (rest) *rest = end;
    return true;
}

// ---- low-resolution preview ----
// The preview character of black: every sample is (grey >> 3) + 35.
constexpr int LOWRES_BLANK = 35;
std::mutex g_lowres_lock;
std::vector<char> g_lowres_text;  // NUL-terminated
int g_lowres_w = 0, g_lowres_h = 0;
std::atomic<int> g_rotated{-1};  // -1 until first asked

int lowres_divisor(int width) {
    if (width <= 320) return 5;
    if (width <= 640) return 10;
    return 20;
}

bool compute_rotated() {
    const char *rotation = ov_param_get("root.Image.I0.Appearance.Rotation");
    const char *model = ov_param_get_model();
    bool old_kt90 = false;
    if (model && std::strncmp(model, "KT90", 4) == 0) {
        int firmware[4];
        const int reference[4] = {8, 30, OV_VERSION_ANY, OV_VERSION_ANY};
        ov_param_get_firmware_version(firmware);
        old_kt90 = ov_version_compare(firmware, reference) == 1;
    }
    // Older KT90 firmware reports the mounting the other way round.
    return std::strncmp(rotation, old_kt90 ? "0" : "180", old_kt90 ? 1 : 3) == 0;
}
}  // namespace

const char *fps_json_handler(void *user_data, const char *args, int *length) {
    static char reply[LIVE_FPS_REPLY_SIZE];
    const auto *fps = static_cast<const std::atomic<float> *>(user_data);
    std::string variable;
    int n = 0;
    if (query_item(args, "variable", &variable, nullptr))
        n = std::snprintf(reply, sizeof reply, "var %s = ", variable.c_str());
    n += std::snprintf(reply + n, sizeof reply - size_t(n), "{\n\t\"fps\":%.2f\n}\n",
                       double(fps ? fps->load() : 0.0f));
    *length = int(std::strlen(reply));
    return reply;
}

const char *gender_live_json_handler(void *user_data, const char *, int *length) {
    static char reply[LIVE_GENDER_REPLY_SIZE];
    auto *live = static_cast<GenderLive *>(user_data);
    std::unique_lock<std::mutex> guard(live->lock, std::try_to_lock);
    if (!guard.owns_lock()) {
        std::snprintf(reply, sizeof reply, "{\"status\": \"BUSY\"}");
        *length = int(std::strlen(reply));
        return reply;
    }
    LiveScale s = live_scale();
    ReplyBuffer out(reply, sizeof reply, "]}\n");
    out.add("{ \"status\": \"OK\", \"detections\" : [\n");
    int written = 0;
    for (int i = 0; i < live->count; ++i) {
        const Detection &f = live->faces[i];
        if (!out.add(
                "{\n\t\"rect\" : [%d, %d, %d, %d],\n\t\"gender\"  : %d,\n\t\"age\"  : %d\n},\n",
                rounded(f.left * s.sx), rounded(f.right * s.sx), rounded(f.top * s.sy),
                rounded(f.bottom * s.sy), f.gender, f.age))
            break;
        ++written;
    }
    if (written > 0) out.drop(2);
    return out.finish(length);
}

const char *viz_json_handler(void *user_data, const char *, int *length) {
    static char reply[LIVE_VIZ_REPLY_SIZE];
    auto *tracker = static_cast<Tracker *>(user_data);
    LiveScale s = live_scale();
    ReplyBuffer out(reply, sizeof reply, "]}\n");
    out.add("{ \"status\": \"OK\", \"width\": %d, \"height\": %d, \"detections\" : [\n", s.view_w,
            s.view_h);
    int written = 0;
    if (tracker) {
        auto guard = tracker_guard(tracker);
        for (int i = 0; i < tracker->track_count; ++i) {
            const Track *t = tracker->tracks[i];
            double h = std::exp(t->last_z) / 2.0;
            int gender = -1, age = 0;
            if (t->weight_sum != 0.0) {
                gender = t->gender_sum / t->weight_sum > 0 ? 1 : -1;
                age = int(t->age_sum / t->weight_sum + 0.5);
            }
            if (!out.add("{\n\t\"rect\" : [%d, %d, %d, %d],\n\t\"observations\"  : %d,\n\t"
                         "\"predictions\"  : %d,\n\t\"seconds\"  : %f,\n\t\"id\"  : %d,\n\t"
                         "\"gender\"  : %d,\n\t\"age\"  : %d\n},\n",
                         rounded((t->last_x - h) * s.sx), rounded((t->last_x + h) * s.sx),
                         rounded((t->last_y - h) * s.sy), rounded((t->last_y + h) * s.sy),
                         t->observations, t->predictions, t->time_predicted - t->time_start, t->id,
                         gender, age))
                break;
            ++written;
        }
    }
    if (written > 0) out.drop(2);
    return out.finish(length);
}

const char *init_zoom_json_handler(void *, const char *, int *length) {
    static char reply[LIVE_ZOOM_REPLY_SIZE];
    ov_param_set_ex("root.PTZ.ImageSource.I0.PTZEnabled", "true", 0);
    ov_param_set_ex("root.PTZ.Various.V1.Locked", "false", 0);
    ov_param_set_ex("root.PTZ.Various.V1.ReturnToOverview", "0", 0);
    ov_param_set_ex("root.PTZ.Various.V1.ZoomEnabled", "true", 0);
    ov_param_set_zoom(std::atoi(ov_param_get("Counter.DigitalZoom")));
    const int result = 0;  // the stored zoom is applied best effort
    log_message(kTag, "d_zoom_init returned %d", result);
    std::snprintf(reply, sizeof reply, "{\n\t\"zoom_init\":\"%s\"\n}\n",
                  result == 0 ? "OK" : "FAILED");
    *length = int(std::strlen(reply));
    return reply;
}

const char *update_zoom_json_handler(void *, const char *args, int *length) {
    static char reply[LIVE_ZOOM_REPLY_SIZE];
    std::string variable;
    const char *rest = args ? args : "";
    bool has_variable = query_item(args, "variable", &variable, &rest);
    if (!has_variable && *rest == '&') ++rest;
    if (*rest == '&') ++rest;
    int zoom = -1;
    if (std::sscanf(rest, "dZoom=%d", &zoom) != 1) {
        log_message(kTag, "scanf fail");
        zoom = -1;
    }
    bool ok = zoom >= 0 && zoom <= OV_ZOOM_MAX && ov_param_set_zoom(zoom) == 0;
    ReplyBuffer out(reply, sizeof reply, "");
    if (has_variable) out.add("var %s = ", variable.c_str());
    out.add("{\n\t\"zoom\":\"%s\"\n}\n", ok ? "OK" : "FAILED");
    return out.finish(length);
}

const char *ping_handler(void *, const char *, int *length) {
    static const char reply[] = "OK\n";
    *length = int(sizeof reply - 1);
    return reply;
}

double tracks_window_seconds(const char *value, const char *endpoint) {
    if (!value) return TRACKS_WINDOW_DEFAULT_S;
    char *end = nullptr;
    double t = std::strtod(value, &end);
    if (end == value || *end != '\0' || !std::isfinite(t)) {
        log_message(kTag, "[%s] Malformed time-parameter: %s", endpoint, value);
        return TRACKS_WINDOW_DEFAULT_S;
    }
    return t;
}

namespace {
double now_seconds() {
    struct timeval tv;
    clock_gettimeofday(&tv);
    return double(tv.tv_sec) + double(tv.tv_usec) / 1000000.0;
}

const char *param_of(GHashTable *params, const char *key) {
    return params ? static_cast<const char *>(g_hash_table_lookup(params, key)) : nullptr;
}

JsonPrinter *open_printer(GDataOutputStream *out) {
    JsonPrinter *printer = json_print_init(web_libjson_printer, out);
    if (!printer) {
        log_message(kTag, kPrinterFailed, -1);
        return nullptr;
    }
    json_print_pretty(printer, 1);
    return printer;
}
}  // namespace

void tracks_live_json_handler(GDataOutputStream *out, void *user_data, GHashTable *) {
    tracker_write_live_json(static_cast<Tracker *>(user_data), web_libjson_printer, out);
}

void tracks_ended_json_handler(GDataOutputStream *out, void *user_data, GHashTable *params) {
    double window = tracks_window_seconds(param_of(params, "time"), "tracks-ended");
    double now = now_seconds();
    JsonPrinter *printer = open_printer(out);
    if (!printer) return;
    track_buffer_print_json_document(static_cast<track_buffer *>(user_data), printer, now - window,
                                     now);
    json_print_free(printer);
}

void tracks_live_and_ended_json_handler(GDataOutputStream *out, void *user_data,
                                        GHashTable *params) {
    auto *src = static_cast<LiveTrackSources *>(user_data);
    double window = tracks_window_seconds(param_of(params, "time"), "tracks-live-and-ended");
    double now = now_seconds();
    JsonPrinter *printer = open_printer(out);
    if (!printer) return;
    json_print_args(printer, JSON_OBJECT_BEGIN, JSON_END);
    tracker_print_live_json(src->tracker, printer);
    track_buffer_print_json(src->tracks, printer, now - window, now);
    json_print_args(printer, JSON_OBJECT_END, JSON_END);
    json_print_free(printer);
}

// ---- preview ----

bool lowres_camera_rotated(void) {
    int cached = g_rotated.load();
    if (cached < 0) {
        cached = compute_rotated() ? 1 : 0;
        g_rotated.store(cached);
    }
    return cached == 1;
}

void lowres_update(const uint8_t *pixels, int width, int height, int stride, bool rotated) {
    if (width <= 0 || height <= 0 || !pixels) {
        log_message(kAnonTag, "Skipping 0x0 image,");
        return;
    }
    int div = lowres_divisor(width);
    int o = width / div, m = height / div;
    if (o <= 0 || m <= 0) return;  // too small for one preview cell
    int r = width / (width / o), t = height / (height / m);
    int col_step = width / r, row_step = height / t;
    std::lock_guard<std::mutex> guard(g_lowres_lock);
    // Sized once per resolution, so the loop does not allocate per frame.
    g_lowres_text.resize(size_t(r) * size_t(t) + 1);
    char *p = g_lowres_text.data();
    // Exactly r x t samples, so the text always matches the width and height it is sent with.
    for (int j = 0; j < t; ++j) {
        int y = rotated ? height - 1 - j * row_step : j * row_step;
        const uint8_t *row = pixels + size_t(y) * size_t(stride);
        for (int i = 0; i < r; ++i) {
            int x = rotated ? width - 1 - i * col_step : i * col_step;
            *p++ = char((row[x] >> 3) + 35);
        }
    }
    *p = '\0';
    g_lowres_w = r;
    g_lowres_h = t;
}

const char *lowres_json_handler(void *, const char *args, int *length) {
    static std::vector<char> reply(LOWRES_REPLY_SIZE);
    std::string callback;
    bool jsonp = query_item(args, "callback", &callback, nullptr);
    // In privacy mode the preview keeps its form but shows one uniform grey, no picture.
    static std::string blank;
    const bool hidden = ov_param_privacy_locked();
    std::lock_guard<std::mutex> guard(g_lowres_lock);
    const char *text = g_lowres_text.empty() ? "" : g_lowres_text.data();
    if (hidden) {
        blank.assign(strlen(text), char(LOWRES_BLANK));
        text = blank.c_str();
    }
    int n = std::snprintf(reply.data(), reply.size(),
                          "%s%s{\n\t\"width\":%d,\n\t\"height\":%d,\n\t\"data0\":\"%s\",\n\t"
                          "\"latest\":%d\n}\n%s",
                          jsonp ? callback.c_str() : "", jsonp ? "(" : "", g_lowres_w, g_lowres_h,
                          text, LOWRES_LATEST, jsonp ? ")" : "");
    *length = n < 0 ? 0 : int(std::min(size_t(n), reply.size() - 1));
    return reply.data();
}

void lowres_reset_for_tests(void) {
    std::lock_guard<std::mutex> guard(g_lowres_lock);
    g_lowres_text.clear();
    g_lowres_w = g_lowres_h = 0;
    g_rotated.store(-1);
}
