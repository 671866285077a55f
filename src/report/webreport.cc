#include "report/webreport.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/json_text.h"
#include "common/log.h"
#include "params/param.h"
#include "report/datamanager_post.h"

namespace {
constexpr const char *TAG = "webreport_demo.c";
constexpr const char *DAYS[7] = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};
constexpr int VERSION_TIMEOUT_S = 20;
constexpr int QUERY_TIMEOUT_S = 20;
constexpr int UPLOAD_TIMEOUT_S = 60;
constexpr int SETTINGS_TIMEOUT_S = 10;

std::string param(const char *name) {
    return ov_param_get(name);
}

std::string proxy_args(const WebReportConfig &cfg) {
    if (!cfg.proxy_enabled) return {};
    return "&proxy=" + cfg.proxy + "&proxyport=" + cfg.proxy_port + "&proxyname=" + cfg.proxy_user +
           "&proxypass=" + cfg.proxy_pass + "&proxyextras=" + cfg.proxy_extras;
}

int schedule_enable(const char *day) {
    char name[30];
    snprintf(name, sizeof name, "Schedule.Enable%s", day);
    std::string value = param(name);
    char *end = nullptr;
    errno = 0;
    long v = strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno) {
        log_message(TAG, "error:  Schedule, non-number found (%s)!\n", value.c_str());
        return 1;
    }
    return int(v);
}

// A reply that is a number as a whole (leading/trailing blanks allowed).
bool parse_number(const std::string &reply, double *value) {
    const char *s = reply.c_str();
    char *end = nullptr;
    errno = 0;
    double v = strtod(s, &end);
    // "nan" and "inf" parse too, but are no time and would break the next document.
    if (end == s || errno || !std::isfinite(v)) return false;
    while (*end == ' ' || *end == '\n' || *end == '\r' || *end == '\t') ++end;
    if (*end != '\0') return false;
    *value = v;
    return true;
}

bool ask_version(const WebReportConfig &cfg, const WebReportSources &src, WebReportServer *server) {
    std::string args =
        "&name=&pass=" + proxy_args(cfg) + "&url=" + cfg.url + "/api/?method=version.get";
    if (args.size() >= WEBREPORT_ARGS_MAX) {
        log_message(TAG, "wr: too long url (time query)\n");
        args.resize(WEBREPORT_ARGS_MAX - 1);
    }
    std::string reply;
    datamanager_post(args, VERSION_TIMEOUT_S, &reply, src.cancel);
    if (!webreport_parse_version(reply, &server->major, &server->minor)) {
        log_message(TAG, "Found no webreport version");
        return false;
    }
    log_message(TAG, "Data Manager version: %d, minor: %d\n", server->major, server->minor);
    server->accepts = server->major >= 4 || (server->major == 3 && server->minor >= 1);
    if (!server->accepts) {
        log_message(TAG, "Web Report: The version of Web Report is too old, can't send.");
        server->too_old = true;
    }
    return server->accepts;
}

bool ask_last_saved(const WebReportConfig &cfg, const WebReportSources &src, double *last) {
    std::string identity = webreport_identity(cfg);
    if (identity.empty()) return false;
    std::string reply;
    datamanager_post(webreport_enciphered_args(cfg, "demographics.getLastSavedDataTime", identity),
                     QUERY_TIMEOUT_S, &reply, src.cancel);
    log_message(TAG, "response [get time]: %s\n", reply.c_str());
    if (!parse_number(reply, last)) {
        log_message(TAG, "error: non-number found!\n");
        return false;
    }
    return true;
}

// Seconds to add to UTC for the standard time of a POSIX zone ("CET-1CEST,M3.5.0,M10.5.0/3"
// gives 3600), plus 3600 when the zone names a daylight saving time. 0 for an unreadable zone.
int posix_tz_utc_offset(const std::string &tz) {
    const char *p = tz.c_str();
    if (*p == ':') return 0;  // a zone file name carries no offset
    if (*p == '<') {
        while (*p && *p != '>') ++p;
        if (*p) ++p;
    } else {
        while (isalpha(static_cast<unsigned char>(*p))) ++p;
    }
    int sign = 1;
    if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1 : 1;
    if (!isdigit(static_cast<unsigned char>(*p))) return 0;
    int seconds = 0, unit = 3600;
    while (unit >= 1) {
        int v = 0;
        while (isdigit(static_cast<unsigned char>(*p))) v = v * 10 + (*p++ - '0');
        seconds += v * unit;
        if (*p != ':') break;
        ++p;
        unit /= 60;
    }
    // POSIX offsets are west of Greenwich: "CET-1" is one hour ahead of UTC.
    int offset = -sign * seconds;
    bool has_dst = *p == '<' || isalpha(static_cast<unsigned char>(*p));
    return offset + (has_dst ? 3600 : 0);
}

struct Uploader {
    WebReportSources src;
    std::atomic<int32_t> *exit_request = nullptr;
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
};
Uploader *g_uploader = nullptr;

bool exit_requested(const Uploader *u) {
    return u->exit_request->load() != 0;
}

// Sleeps until `when` on the monotonic clock (steps of at most 15 s), leaving at once when
// the exit is requested. The data clock would not do: offline it follows the recording.
void wait_until(Uploader *u, std::chrono::steady_clock::time_point when) {
    std::unique_lock<std::mutex> guard(u->lock);
    while (!exit_requested(u)) {
        auto left = when - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return;
        auto step = std::min<std::chrono::steady_clock::duration>(
            left, std::chrono::seconds(WEBREPORT_SLEEP_STEP_S));
        u->wake.wait_for(guard, step, [u] { return exit_requested(u); });
    }
}

void uploader_loop(Uploader *u) {
    log_message(TAG, "webrepo running!\n");
    WebReportServer server;
    int attempt = -1;
    while (!exit_requested(u)) {
        OvReporting schedule;
        ov_reporting_init(&schedule, atoi(ov_param_get("WebReportUpload.WaitTimeSend")));
        time_t wait = ov_reporting_next(&schedule, attempt, 0, u->src.random);
        time_t wall = time(nullptr);
        log_message(TAG, "Next send attempt: %zu (in %d seconds)", size_t(wall + wait), int(wait));
        wait_until(u, std::chrono::steady_clock::now() + std::chrono::seconds(wait));
        if (exit_requested(u)) break;
        bool ok = webreport_pass(u->src, &server);
        if (server.too_old) break;
        attempt = ok ? 0 : std::max(attempt, 0) + 1;
    }
}
}  // namespace

WebReportConfig webreport_read_config(void) {
    WebReportConfig cfg;
    cfg.enabled = param("WebReportUpload.Enabled").compare(0, 1, "1") == 0;
    cfg.wait_time = atoi(ov_param_get("WebReportUpload.WaitTimeSend"));
    std::string version = param("WebReportUpload.Version");
    cfg.version = version.empty() ? 0 : atoi(version.c_str());
    cfg.url = param("WebReportUpload.Url");
    if (!cfg.url.empty() && cfg.url.rfind("https://", 0) != 0 && cfg.url.rfind("http://", 0) != 0)
        cfg.url = "https://" + cfg.url;
    cfg.user = param("WebReportUpload.User");
    cfg.pass = param("WebReportUpload.Pass");
    cfg.serial = ov_param_get_serial();
    std::string name = param("Counter.Name");
    cfg.camera_name = name.empty() ? "" : name + " demographics";
    cfg.timezone = param("root.Time.POSIXTimeZone");
    cfg.proxy_enabled = atoi(ov_param_get("WebReportUpload.ProxyEnabled")) != 0;
    cfg.proxy = param("WebReportUpload.Proxy");
    cfg.proxy_port = param("WebReportUpload.ProxyPort");
    cfg.proxy_user = param("WebReportUpload.ProxyUser");
    cfg.proxy_pass = param("WebReportUpload.ProxyPass");
    cfg.proxy_extras = param("WebReportUpload.ProxyExtras");
    for (int d = 0; d < 7; ++d) {
        char name_buf[30];
        cfg.day_enabled[d] = schedule_enable(DAYS[d]);
        snprintf(name_buf, sizeof name_buf, "Schedule.Start%s", DAYS[d]);
        cfg.day_open[d] = param(name_buf);
        snprintf(name_buf, sizeof name_buf, "Schedule.Stop%s", DAYS[d]);
        cfg.day_close[d] = param(name_buf);
    }
    return cfg;
}

bool webreport_config_complete(const WebReportConfig &cfg) {
    return !cfg.serial.empty() && !cfg.camera_name.empty() && !cfg.url.empty() &&
           !cfg.user.empty() && !cfg.pass.empty() && cfg.version != 0;
}

std::string webreport_identity(const WebReportConfig &cfg) {
    std::string identity = cfg.user + "##" + cfg.pass + "##" + cfg.camera_name + "##" + cfg.serial;
    if (identity.size() >= WEBREPORT_IDENTITY_MAX) {
        log_message(TAG, "create_wr_post: out of memory\n");
        return {};
    }
    return identity;
}

std::string webreport_enciphered_args(const WebReportConfig &cfg, const std::string &method_url,
                                      const std::string &payload) {
    return "&name=&pass=&cmethod=POST" + proxy_args(cfg) + "&data=" + ov_payload_encode(payload) +
           "&url=" + cfg.url + "/api/?method=" + method_url + "&encrypted=true";
}

bool webreport_parse_version(const std::string &reply, int *major, int *minor) {
    const char *key = "version\":\"";
    size_t pos = reply.find(key);
    if (pos == std::string::npos) return false;
    const char *p = reply.c_str() + pos + strlen(key);
    if (*p < '0' || *p > '9') return false;
    char *end = nullptr;
    *major = int(strtol(p, &end, 10));
    *minor = -1;
    if (*end == '.' && end[1] >= '0' && end[1] <= '9') *minor = int(strtol(end + 1, nullptr, 10));
    return true;
}

std::string webreport_upload_document(const WebReportConfig &cfg, const WebReportSources &src,
                                      double since, double now) {
    int utc_offset = posix_tz_utc_offset(cfg.timezone);
    char head[4096];
    snprintf(head, sizeof head,
             "{\"user\": \"%s\",\"pass\": \"%s\",\"version\": %d,\"camera_name\": \"%s\","
             "\"camera_serial\": \"%s\",\"timezone\": \"%s\",\"utc_offset\": %d,"
             "\"product\": \"%s\",\"protocol\": %d,",
             json_escape(cfg.user).c_str(), json_escape(cfg.pass).c_str(), cfg.version,
             json_escape(cfg.camera_name).c_str(), json_escape(cfg.serial).c_str(),
             json_escape(cfg.timezone).c_str(), utc_offset, "Demographics", 1);
    std::string doc = head;
    doc += "\"day_enabled\": [";
    for (int d = 0; d < 7; ++d) doc += (d ? "," : "") + std::to_string(cfg.day_enabled[d]);
    doc += "],\"day_open\": [";
    for (int d = 0; d < 7; ++d) doc += (d ? ",\"" : "\"") + json_escape(cfg.day_open[d]) + "\"";
    doc += "],\"day_close\": [";
    for (int d = 0; d < 7; ++d) doc += (d ? ",\"" : "\"") + json_escape(cfg.day_close[d]) + "\"";
    doc += "],";
    if (src.rows && doc.size() + 2 < WEBREPORT_DOCUMENT_MAX) {
        std::vector<char> rows(WEBREPORT_DOCUMENT_MAX - doc.size() - 1);
        int n = src.rows(src.rows_ctx, rows.data(), rows.size(), since, now);
        if (n > 0) doc.append(rows.data(), size_t(n));
    }
    if (doc.back() == ',') doc.pop_back();  // no rows source: the object still closes cleanly
    return doc + "}";
}

bool webreport_pass(const WebReportSources &src, WebReportServer *server) {
    WebReportConfig cfg = webreport_read_config();
    if (!cfg.enabled || !webreport_config_complete(cfg)) return false;
    if (server->major < 0 && !ask_version(cfg, src, server)) return false;
    if (!server->accepts) return false;
    if (cfg.version != WEBREPORT_PROTOCOL_VERSION) return false;

    double last_saved = 0;
    if (!ask_last_saved(cfg, src, &last_saved)) return false;
    std::string identity = webreport_identity(cfg);
    if (identity.empty()) return false;
    double now = double(clock_now_us()) / 1e6;
    std::string doc = webreport_upload_document(cfg, src, last_saved, now);
    std::string reply;
    datamanager_post(webreport_enciphered_args(cfg, "demographics.add", identity + "##" + doc),
                     UPLOAD_TIMEOUT_S, &reply, src.cancel);
    bool ok = reply.compare(0, 2, "ok") == 0;
    if (!ok)
        log_message(TAG, "Unable to contact WebReport (url: '%s', response: '%s')\n",
                    cfg.url.c_str(), reply.c_str());
    log_message(TAG, ok ? "send data ok\n" : "send data failed\n");
    return ok;
}

int webreport_start(const WebReportSources &src, std::atomic<int32_t> *exit_request) {
    if (g_uploader) return -1;
    g_uploader = new Uploader;
    g_uploader->src = src;
    g_uploader->src.cancel = exit_request;
    g_uploader->exit_request = exit_request;
    g_uploader->thread = std::thread(uploader_loop, g_uploader);
    return 0;
}

void webreport_cleanup(void) {
    Uploader *u = g_uploader;
    if (!u) return;
    {
        std::lock_guard<std::mutex> guard(u->lock);
        int32_t running = 0;
        u->exit_request->compare_exchange_strong(running, 1);
    }
    u->wake.notify_all();
    if (u->thread.joinable()) u->thread.join();
    g_uploader = nullptr;
    delete u;
}

int webreport_get_settings_flag(const WebReportSources &, int *flag) {
    WebReportConfig cfg = webreport_read_config();
    if (cfg.version != WEBREPORT_PROTOCOL_VERSION) return -3;
    std::string identity = webreport_identity(cfg);
    if (identity.empty() || cfg.url.empty()) return -1;
    std::string reply;
    datamanager_post(webreport_enciphered_args(cfg, "demographics.getSettingsFlag", identity),
                     QUERY_TIMEOUT_S, &reply);
    log_message(TAG, "response [get flag]: %s\n", reply.c_str());
    double value = 0;
    if (!parse_number(reply, &value) || reply.find('.') != std::string::npos) {
        log_message(TAG, "error: non-number found!\n");
        return -1;
    }
    *flag = int(value);
    return 0;
}

int webreport_send_settings(const WebReportSources &src) {
    WebReportConfig cfg = webreport_read_config();
    std::string identity = webreport_identity(cfg);
    if (identity.empty() || cfg.url.empty() || !src.settings) return -1;
    std::string reply;
    datamanager_post(
        webreport_enciphered_args(cfg, "demographics.settings", identity + "##" + src.settings()),
        SETTINGS_TIMEOUT_S, &reply);
    return reply.compare(0, 2, "ok") == 0 ? 0 : -1;
}
