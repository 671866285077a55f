#include "app/viewer_endpoints.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/clock.h"
#include "params/param.h"
#include "platform/capture/capture_native.h"
#include "platform/http/userdb.h"
#include "web/web.h"

namespace {
constexpr int kMaxSide = 1920;

int side(const char *key, int fallback) {
    int v = std::atoi(ov_param_get(key));
    return v > 0 && v <= kMaxSide ? v : fallback;
}
}  // namespace

const char *snapshot_jpg_handler(void *, const char *, int *length) {
    // One request at a time on the HTTP thread: the reply stays valid until the next one.
    static std::vector<unsigned char> reply;
    reply.clear();
    *length = 0;
    if (ov_param_privacy_locked()) return nullptr;
    char options[64];
    std::snprintf(options, sizeof options, "resolution=%dx%d", side("Liveview.Width", 640),
                  side("Liveview.Height", 360));
    CaptureStream *stream = capture_open_stream("image/jpeg", options);
    if (!stream) return nullptr;
    if (CaptureFrame *frame = capture_get_frame(stream)) {
        const auto *bytes = static_cast<const unsigned char *>(capture_frame_data(frame));
        reply.assign(bytes, bytes + capture_frame_size(frame));
        capture_frame_free(frame);
    }
    capture_close_stream(stream);
    *length = int(reply.size());
    return reinterpret_cast<const char *>(reply.data());
}

std::string camera_time_document(time_t now, const char *user, const char *role) {
    struct tm local;
    localtime_r(&now, &local);
    char date[16], time_of_day[16];
    std::strftime(date, sizeof date, "%Y%m%d", &local);
    std::strftime(time_of_day, sizeof time_of_day, "%H:%M:%S", &local);
    char doc[256];
    std::snprintf(doc, sizeof doc,
                  "{\"epoch\":%lld,\"date\":\"%s\",\"time\":\"%s\",\"weekday\":%d,"
                  "\"zone\":\"%s\",\"utc_offset\":%ld,\"user\":\"",
                  static_cast<long long>(now), date, time_of_day, local.tm_wday,
                  local.tm_zone ? local.tm_zone : "", static_cast<long>(local.tm_gmtoff));
    std::string out = doc;
    for (const char *p = user ? user : ""; *p; ++p) {
        // Login names are plain, but a quote or control character must not break the reply.
        unsigned char ch = static_cast<unsigned char>(*p);
        if (ch == '"' || ch == '\\') out += '\\';
        if (ch >= 0x20) out += char(ch);
    }
    return out + "\",\"role\":\"" + role + "\"}\n";
}

// The pages ask for the role here rather than by probing the higher paths, whose refusals
// would show as errors in the browser's console.
static const char *role_of(const char *user) {
    switch (userdb_user_level(user)) {
        case USERDB_LEVEL_ADMIN:
            return "admin";
        case USERDB_LEVEL_OPERATOR:
            return "operator";
        default:
            return "viewer";
    }
}

const char *camera_time_json_handler(void *, const char *, int *length) {
    static std::string reply;
    const char *user = web_request_user();
    reply = camera_time_document(clock_now(), user, role_of(user));
    *length = int(reply.size());
    return reply.c_str();
}

void viewer_endpoints_register(void) {
    web_register("snapshot.jpg", snapshot_jpg_handler, nullptr,
                 "image/jpeg\r\nCache-Control: no-store", WEB_ACCESS_BY_NAME);
    web_register("camera-time.json", camera_time_json_handler, nullptr,
                 "application/json; charset=UTF-8\r\nCache-Control: no-store", WEB_ACCESS_BY_NAME);
}
