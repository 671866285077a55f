// Report uploader: a background thread that periodically sends the ended tracks, with the
// counter's identity and weekly schedule, to a reporting server, backing off on failure.
//
// Server API (every call a GET or POST to <url>/api/?method=NAME):
//   version.get                       -> {"version":"MAJOR.MINOR"}
//   demographics.getLastSavedDataTime -> seconds since the epoch of the newest saved track
//   demographics.getSettingsFlag      -> integer; positive asks for the settings
//   demographics.settings             -> the settings document
//   demographics.add                  -> "ok..." on success
// Enciphered calls POST "&encrypted=true" with a body that is the Base64 of the enciphered
// payload: the identity "user##pass##camera name##serial", followed for settings and add by
// "##" and the JSON document.
//
// Threads: start/cleanup/settings calls on the main thread; one uploader thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "report/ov_reporting.h"

inline constexpr size_t WEBREPORT_DOCUMENT_MAX = 2097152;
inline constexpr size_t WEBREPORT_IDENTITY_MAX = 10240;
inline constexpr size_t WEBREPORT_ARGS_MAX = 1000;
inline constexpr int WEBREPORT_SLEEP_STEP_S = 15;
inline constexpr int WEBREPORT_PROTOCOL_VERSION = 2;

// Writes the ended-track rows for the window (start, end] into `out` (at most `capacity`
// bytes) as a JSON fragment; returns the characters written. The track buffer's rows
// function has this shape.
using WebReportRowsFn = int (*)(void *ctx, char *out, size_t capacity, double start, double end);
// The settings document (parameters as JSON with secrets masked).
using WebReportSettingsFn = std::string (*)(void);

struct WebReportSources {
    WebReportRowsFn rows = nullptr;
    void *rows_ctx = nullptr;
    WebReportSettingsFn settings = nullptr;
    ReportingRandom random = nullptr;              // jitter source; rand() when null
    const std::atomic<int32_t> *cancel = nullptr;  // non-zero aborts a request in progress
};

// The configuration re-read before every attempt.
struct WebReportConfig {
    bool enabled = false;
    int wait_time = 0;
    int version = 0;
    std::string url, user, pass, serial, camera_name, timezone;
    bool proxy_enabled = false;
    std::string proxy, proxy_port, proxy_user, proxy_pass, proxy_extras;
    int day_enabled[7] = {};
    std::string day_open[7], day_close[7];
};

WebReportConfig webreport_read_config(void);
// True when the fields a request needs are present.
bool webreport_config_complete(const WebReportConfig &cfg);

// "user##pass##camera name##serial"; empty when it would exceed WEBREPORT_IDENTITY_MAX.
std::string webreport_identity(const WebReportConfig &cfg);
// The POST client's argument string for an enciphered call of `method_url` (the part after
// "/api/?method=") carrying `payload` (plain; enciphered and encoded here).
std::string webreport_enciphered_args(const WebReportConfig &cfg, const std::string &method_url,
                                      const std::string &payload);
// Parses "version":"MAJOR.MINOR" out of a reply; false when absent.
bool webreport_parse_version(const std::string &reply, int *major, int *minor);
// The upload document for the tracks after `since` up to `now`.
std::string webreport_upload_document(const WebReportConfig &cfg, const WebReportSources &src,
                                      double since, double now);

// One pass of the thread's work (version discovery, last saved time, upload). Returns true
// when the upload succeeded. `server_major`/`server_minor` carry what is known between passes;
// `too_old` is set when the server can never accept uploads.
struct WebReportServer {
    int major = -1;
    int minor = -1;
    bool accepts = false;
    bool too_old = false;
};
bool webreport_pass(const WebReportSources &src, WebReportServer *server);

// Starts the uploader thread; it runs until *exit_request is non-zero or the server is too old.
int webreport_start(const WebReportSources &src, std::atomic<int32_t> *exit_request);
// Sets the exit request to 1 if it is 0, wakes and joins the thread.
void webreport_cleanup(void);

// Asks the server whether it wants the settings: 0 with *flag set, -3 when the protocol
// version is not 2, -1 on failure.
int webreport_get_settings_flag(const WebReportSources &src, int *flag);
// Sends the settings document; 0 on success, -1 on failure.
int webreport_send_settings(const WebReportSources &src);
