// Camera properties, version comparison, per-model knowledge and zoom.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "params/param.h"
#include "params/param_internal.h"

namespace {

constexpr const char *kTag = "param";
constexpr const char *kPrivacyLockFile = "/usr/local/packages/mevo/anon.lock";
constexpr int kDefaultWidth = 1920;
constexpr int kDefaultHeight = 1080;

// Host digital and optical zoom positions (0..9999) live in these camera parameters.
constexpr const char *kDigitalZoomParam = "root.PTZ.Digital.Zoom";
constexpr const char *kOpticalZoomParam = "root.PTZ.Optical.Zoom";

// A text read once successfully and then kept for the life of the process.
struct CachedText {
    std::mutex mutex;
    bool valid = false;
    std::string value;
};

CachedText g_serial, g_hwid, g_model;
std::mutex g_fw_mutex;
bool g_fw_valid = false;
int g_fw[4] = {0, 0, 0, 0};
int g_fw_rc = -1;
std::mutex g_port_mutex;
int g_port = -1;

const char *cached(CachedText &c, const char *param, const char *fail_msg, bool log_model) {
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.valid) {
        std::string v = ov_param_get(param);
        if (v.empty()) {
            log_message(kTag, "%s", fail_msg);
            return "";
        }
        c.value = v;
        c.valid = true;
        if (log_model) log_message(kTag, "param_get model: %s\n", c.value.c_str());
    }
    return c.value.c_str();
}

// Per-model configuration. `model` is matched as a prefix of root.Brand.ProdNbr; a row with a
// hardware id matches only that id.
struct ModelRow {
    const char *model;
    const char *hardware_id;  // null: any
    bool old_generation;
    bool optical_zoom;
    bool ptz_zoom;
    bool dzoom_supported;
    int dzoom_min;
    int dzoom_step;
    double dzoom_max_factor;
    const char *lens;
    double lens_lambda;
    double ccdw;
    const char *widescreen_roi;  // setup coordinates "LxRxTxB", "" for none
    bool firmware_check;         // firmware 6.15.1 unsupported
};

constexpr ModelRow kModels[] = {
    // Host camera profile: fixed box camera, digital zoom only.
    {"KT45", nullptr, false, false, false, true, 0, 100, 4.0, "2.8mm", 0.42, 5.6, "", false},
    // Fixed mini dome of the older generation (mounted upside down on early firmware).
    {"KT90", nullptr, true, false, false, false, 0, 1, 1.0, "2.0mm", 0.45, 4.8, "", false},
    // Varifocal bullet with optical zoom.
    {"KT31", nullptr, false, true, false, true, 0, 50, 3.0, "3-9mm", 0.40, 5.6, "0x1279x90x629",
     true},
    {"KT33", nullptr, false, true, false, true, 0, 50, 3.0, "3-9mm", 0.40, 5.6, "0x1279x90x629",
     true},
    // PTZ dome.
    {"KT212", nullptr, false, false, true, false, 0, 1, 1.0, "4.7-94mm", 0.38, 6.2, "", false},
    // Older box camera; hardware revision 5B1 has no digital zoom.
    {"KT44", "5B1", true, false, false, false, 0, 1, 1.0, "2.8mm", 0.42, 5.6, "", true},
    {"KT44", nullptr, false, false, false, true, 1000, 100, 2.0, "2.8mm", 0.42, 5.6, "", true},
};

constexpr ModelRow kUnknownModel = {"", nullptr, false, false, false, false, 0,
                                    1,  1.0,     "",    0.0,   0.0,   "",    false};

std::string effective_model() {
    std::string fake = ov_param_get("Counter.FakeModel");
    return fake.empty() ? std::string(ov_param_get_model()) : fake;
}

const ModelRow &row_for(const std::string &model, const std::string &hwid) {
    for (const auto &r : kModels) {
        if (model.compare(0, strlen(r.model), r.model) != 0) continue;
        if (r.hardware_id && hwid != r.hardware_id) continue;
        return r;
    }
    return kUnknownModel;
}

const ModelRow &current_row() {
    return row_for(effective_model(), ov_param_get_hardware_id());
}

int read_zoom(const char *param) {
    std::string v = ov_param_get(param);
    if (v.empty()) return -1;
    char *end = nullptr;
    long z = strtol(v.c_str(), &end, 10);
    if (end == v.c_str() || z < 0 || z > OV_ZOOM_MAX) return -1;
    return static_cast<int>(z);
}

}  // namespace

void ov_param_reset_cached_properties_for_tests(void) {
    for (CachedText *c : {&g_serial, &g_hwid, &g_model}) {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->valid = false;
        c->value.clear();
    }
    {
        std::lock_guard<std::mutex> lock(g_port_mutex);
        g_port = -1;
    }
    std::lock_guard<std::mutex> lock(g_fw_mutex);
    g_fw_valid = false;
}

const char *ov_param_get_serial(void) {
    return cached(g_serial, "root.Properties.System.SerialNumber", "param_get serial failed\n",
                  false);
}

const char *ov_param_get_hardware_id(void) {
    return cached(g_hwid, "root.Properties.System.HardwareID", "param_get hardware id failed\n",
                  false);
}

const char *ov_param_get_model(void) {
    return cached(g_model, "root.Brand.ProdNbr", "param_get model failed\n", true);
}

int ov_version_parse(const char *text, int out[4]) {
    for (int i = 0; i < 4; ++i) out[i] = 0;
    if (!text) return -1;
    const char *p = text;
    while (*p == '.') ++p;
    int n = 0;
    while (n < 4 && *p >= '0' && *p <= '9') {
        char *end = nullptr;
        long v = strtol(p, &end, 10);
        out[n++] = v > 1000000 ? 1000000 : static_cast<int>(v);
        p = end;
        if (*p != '.') break;
        ++p;
    }
    if (n == 0) {
        log_message(kTag, "Invalid version format!");
        return -1;
    }
    return 0;
}

int ov_version_compare(const int a[4], const int b[4]) {
    for (int i = 0; i < 4; ++i) {
        if (a[i] == OV_VERSION_ANY || b[i] == OV_VERSION_ANY) return 0;
        if (a[i] > b[i]) return -1;
        if (a[i] < b[i]) return 1;
    }
    return 0;
}

int ov_param_get_firmware_version(int version[4]) {
    std::lock_guard<std::mutex> lock(g_fw_mutex);
    if (!g_fw_valid) {
        std::string text = ov_param_get("root.Properties.Firmware.Version");
        if (text.empty()) {
            for (int i = 0; i < 4; ++i) version[i] = 0;
            return -1;  // not cached: the service may answer later
        }
        g_fw_rc = ov_version_parse(text.c_str(), g_fw);
        g_fw_valid = true;
    }
    for (int i = 0; i < 4; ++i) version[i] = g_fw[i];
    return g_fw_rc;
}

int ov_param_get_http_port(void) {
    std::lock_guard<std::mutex> lock(g_port_mutex);
    int &port = g_port;
    if (port > 0) return port;
    std::string v = ov_param_get("root.System.BoaPort");
    char *end = nullptr;
    long p = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || p <= 0 || p > 65535) {
        log_message(kTag, "param_get boa port failed");
        return -1;
    }
    log_message(kTag, "param_get boa port: %s\n", v.c_str());
    port = static_cast<int>(p);
    return port;
}

std::string ov_param_get_ip(void) {
    return ov_param_get("root.Network.eth0.IPAddress");
}
std::string ov_param_get_friendly_name(void) {
    return ov_param_get("root.Network.Bonjour.FriendlyName");
}
int ov_param_set_friendly_name(const char *name) {
    return ov_param_set_ex("root.Network.Bonjour.FriendlyName", name, 0) == OV_PARAM_FAILED ? -1
                                                                                            : 0;
}
std::string ov_param_get_capture_mode(void) {
    return ov_param_get("root.ImageSource.I0.Sensor.CaptureMode");
}
int ov_param_set_capture_mode(const char *mode) {
    return ov_param_set_ex("root.ImageSource.I0.Sensor.CaptureMode", mode, 0) == OV_PARAM_FAILED
               ? -1
               : 0;
}
std::string ov_param_get_exposure_priority(void) {
    return ov_param_get("root.ImageSource.I0.ExposurePriorityNormal");
}
int ov_param_set_exposure_priority(const char *value) {
    return ov_param_set_ex("root.ImageSource.I0.ExposurePriorityNormal", value, 0) ==
                   OV_PARAM_FAILED
               ? -1
               : 0;
}

double ov_param_get_uptime(void) {
    // The kernel's own file: not under the root.
    FILE *f = fopen("/proc/uptime", "r");
    if (!f) {
        log_message(kTag, "ov_param_get_uptime(): popen\n");
        return -1;
    }
    double up = -1;
    if (fscanf(f, "%lf", &up) != 1) {
        log_message(kTag, "ov_param_get_uptime(): fgets\n");
        up = -1;
    }
    fclose(f);
    return up;
}

int ov_param_get_resolution(int *width, int *height) {
    char name[64];
    snprintf(name, sizeof name, "root.Image.I%d.Appearance.Resolution", 0);
    int w = 0, h = 0;
    if (sscanf(ov_param_get(name), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
        *width = w;
        *height = h;
        return 0;
    }
    log_message(kTag, "failed to read resolution, trying 1920x1080\n");
    *width = kDefaultWidth;
    *height = kDefaultHeight;
    return -1;
}

bool ov_param_remote_service_enabled(void) {
    return strcmp(ov_param_get("root.RemoteService.Enabled"), "yes") == 0;
}

bool ov_param_privacy_locked(void) {
    return file_exists(mevo_path(kPrivacyLockFile));
}

// ---- per-model ----

bool ov_param_model_is_old(void) {
    std::string fake_old = ov_param_get("Counter.FakeOldModel");
    if (!fake_old.empty()) return atoi(fake_old.c_str()) != 0;
    return current_row().old_generation;
}
bool ov_param_model_has_optical_zoom(void) {
    return current_row().optical_zoom;
}
bool ov_param_model_has_ptz_zoom(void) {
    return current_row().ptz_zoom;
}
bool ov_param_model_in_firmware_check_list(const char *model) {
    if (!model) return false;
    for (const auto &r : kModels)
        if (r.firmware_check && strncmp(model, r.model, strlen(r.model)) == 0) return true;
    return false;
}
const char *ov_param_model_lens(void) {
    return current_row().lens;
}
double ov_param_model_lens_lambda(void) {
    return current_row().lens_lambda;
}
double ov_param_model_ccdw(void) {
    return current_row().ccdw;
}
const char *ov_param_model_widescreen_roi(void) {
    return current_row().widescreen_roi;
}

// ---- zoom ----

int ov_param_dzoom_init(void) {
    const ModelRow &r = current_row();
    ov_param_set_ex("Counter.DigitalZoomSupported", r.dzoom_supported ? "1" : "0", 0);
    ov_param_set_ex("Counter.DigitalZoomMin", std::to_string(r.dzoom_min).c_str(), 0);
    return 0;
}

int ov_param_get_optical_zoom(void) {
    return current_row().optical_zoom ? read_zoom(kOpticalZoomParam) : -1;
}
int ov_param_get_212_zoom(void) {
    return current_row().ptz_zoom ? read_zoom(kOpticalZoomParam) : -1;
}
int ov_param_get_digital_zoom(void) {
    return read_zoom(kDigitalZoomParam);
}

int ov_param_set_zoom(int zoom) {
    if (zoom < 0 || zoom > OV_ZOOM_MAX) {
        log_message(kTag, "ov_param_set_zoom(): zoom should be [0, 9999], capping..\n");
        zoom = zoom < 0 ? 0 : OV_ZOOM_MAX;
    }
    const ModelRow &r = current_row();
    int step = r.dzoom_step > 0 ? r.dzoom_step : 1;
    int applied = static_cast<int>(std::lround(static_cast<double>(zoom) / step)) * step;
    if (applied > OV_ZOOM_MAX) applied -= step;
    if (applied < r.dzoom_min && applied != 0) applied = r.dzoom_min;
    if (applied != zoom)
        log_message(kTag, "Tried to set dzoom to: %d but it was set to: %d due to step limitations",
                    zoom, applied);
    std::string text = std::to_string(applied);
    if (ov_param_set_ex(kDigitalZoomParam, text.c_str(), 0) == OV_PARAM_FAILED) return -1;
    log_message(kTag, "Updating Counter.DigitalZoom to: %d", applied);
    return ov_param_set_ex("Counter.DigitalZoom", text.c_str(), 0) == OV_PARAM_FAILED ? -1 : 0;
}

double ov_param_get_dzoom_factor(int zoom) {
    const ModelRow &r = current_row();
    if (zoom <= 0 || !r.dzoom_supported) return 1.0;
    if (zoom > OV_ZOOM_MAX) zoom = OV_ZOOM_MAX;
    return 1.0 + (r.dzoom_max_factor - 1.0) * zoom / OV_ZOOM_MAX;
}
