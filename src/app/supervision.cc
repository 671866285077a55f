#include "app/supervision.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/clock.h"
#include "common/log.h"
#include "params/param.h"

namespace {
constexpr const char *TAG = "platform";
constexpr int DEVNULL_COPIES = 12;

constexpr const char *RESTART_REPLY =
    "<html><head><meta http-equiv=\"Refresh\" content=\"30; url=index.html\"></head><body><pre>"
    "Restarting services, redirecting in 30 seconds..</pre></body></html>";
constexpr const char *REBOOT_REPLY =
    "<html><head><meta http-equiv=\"Refresh\" content=\"0; url=web_restart.html\"></head><body>"
    "<pre>Restarting camera.</pre></body></html>";

constexpr const char *MSG_SANE =
    "Sanity check failed. Could be that this model is not fully supported.";
constexpr const char *MSG_TIME = "The time set on the camera is likley wrong. Please verify.";
constexpr const char *MSG_NTP =
    "The camera is not configured to use NTP. This is highly recommended to make sure your time "
    "settings are correct.";
constexpr const char *MSG_ROTATED =
    "The image has been rotated or mirrored. This has no effect for the VEKA Audience Profiler "
    "but will display the image wrong.";
constexpr const char *MSG_FIRMWARE =
    "This firmware version is not supported. Please change firmware to a supported verison.";

// Models of our list whose firmware 6.15.1 is known not to work.
constexpr const char *BAD_FIRMWARE_MODELS[] = {"KT61", "KT62", "KT64"};
constexpr int BAD_FIRMWARE[4] = {6, 15, 1, OV_VERSION_ANY};

std::atomic<int32_t> *g_exit_request = nullptr;

void request_exit(int32_t value) {
    if (g_exit_request) g_exit_request->store(value);
}

time_t build_day_start() {
    struct tm tm = {};
    sscanf(SUPERVISION_BUILD_DATE, "%d-%d-%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

int fail_sanity() {
    ov_param_status_set("ERROR_SANE_CHECK", MSG_SANE);
    return -1;
}
}  // namespace

void supervision_detach(void) {
    pid_t pid = fork();
    if (pid < 0) exit(1);
    if (pid > 0) exit(0);
    if (setsid() < 0) exit(1);
    pid = fork();
    if (pid < 0) exit(1);
    if (pid > 0) exit(0);
    for (long fd = sysconf(_SC_OPEN_MAX); fd >= 0; --fd) close(int(fd));
    for (int k = 0; k < DEVNULL_COPIES; ++k)
        if (open("/dev/null", O_RDWR) < 0) exit(k);
}

void supervision_set_exit_request(std::atomic<int32_t> *exit_request) {
    g_exit_request = exit_request;
}

const char *supervision_restart_handler(void *, const char *, int *length) {
    request_exit(1);
    *length = int(strlen(RESTART_REPLY));
    return RESTART_REPLY;
}

const char *supervision_reboot_handler(void *, const char *, int *length) {
    request_exit(2);
    *length = int(strlen(REBOOT_REPLY));
    return REBOOT_REPLY;
}

int supervision_sanity_check(void) {
    ov_param_status_clear(MSG_SANE);
    if (clock_now() < build_day_start())
        ov_param_status_set("ERROR_TIME_IS_WRONG", MSG_TIME);
    else
        ov_param_status_clear(MSG_TIME);

    std::string source = ov_param_get("root.Time.SyncSource");
    if (source.empty()) return fail_sanity();
    bool no_servers =
        !*ov_param_get("root.Time.NTP.VolatileServer") && !*ov_param_get("root.Time.NTP.Server");
    if (no_servers || source != "NTP") {
        if (!ov_param_remote_service_enabled())
            ov_param_status_set("ERROR_NO_NTP", MSG_NTP);
        else
            ov_param_status_clear(MSG_NTP);
    } else {
        ov_param_status_clear(MSG_NTP);
    }

    std::string rotation = ov_param_get("root.Image.I0.Appearance.Rotation");
    if (rotation.empty()) return fail_sanity();
    std::string mirror = ov_param_get("root.Image.I0.Appearance.MirrorEnabled");
    if (mirror.empty()) return fail_sanity();
    if (mirror != "no" || rotation != "0")
        ov_param_status_set("ERROR_IMAGE_IS_ROTATED", MSG_ROTATED);
    else
        ov_param_status_clear(MSG_ROTATED);
    return 0;
}

void supervision_firmware_check(void) {
    std::string model = ov_param_get_model();
    int version[4];
    if (ov_param_get_firmware_version(version) != 0) return;
    for (const char *bad : BAD_FIRMWARE_MODELS) {
        if (model != bad || ov_version_compare(version, BAD_FIRMWARE) != 0) continue;
        ov_param_status_set("INVALID_FIRMWARE_VERSION", MSG_FIRMWARE);
        ov_param_set_ex("Counter.Enabled", "0", 0);
    }
}
