// Placeholder while the layer is written: every call fails ("not yet implemented").
#include "params/param.h"

#include "common/log.h"

namespace {
int nyi(const char *what) {
    log_message("param", "%s: not yet implemented", what);
    return -1;
}
}  // namespace

int ov_param_init(ov_param_pwd_check_fn) {
    return nyi("ov_param_init");
}
void ov_param_reset_for_tests(void) {}
bool ov_param_map_name(const char *, std::string &out) {
    out.clear();
    return false;
}
const char *ov_param_get(const char *) {
    return "";
}
int ov_param_set_ex(const char *, const char *, int) {
    nyi("ov_param_set_ex");
    return OV_PARAM_FAILED;
}
int ov_param_set(const char *name, const char *value) {
    return ov_param_set_ex(name, value, 1);
}
int ov_param_changed(void) {
    return 0;
}
void ov_param_mark_changed(void) {}
void ov_param_status_set(const char *, const char *) {}
void ov_param_status_clear(const char *) {}
int ov_param_status_count(void) {
    return 0;
}
struct ov_secret_store {};
ov_secret_store *ov_secret_store_new(void) {
    return nullptr;
}
void ov_secret_store_free(ov_secret_store *) {}
int ov_secret_store_load(ov_secret_store *, const char *) {
    return nyi("secrets");
}
int ov_secret_store_save(const ov_secret_store *, const char *) {
    return nyi("secrets");
}
int ov_secret_store_set(ov_secret_store *, const char *, const char *) {
    return nyi("secrets");
}
const char *ov_secret_store_get(const ov_secret_store *, const char *) {
    return nullptr;
}
void ov_secret_store_clear(ov_secret_store *) {}
bool ov_param_is_secret(const char *) {
    return false;
}
std::string ov_param_secrets_path(void) {
    return "";
}
int ov_param_secret_set(const char *, const char *) {
    return nyi("secrets");
}
int ov_param_secrets_load(const char *) {
    return nyi("secrets");
}
int ov_param_secrets_save(void) {
    return nyi("secrets");
}
void ov_cipher_apply(unsigned char *, size_t) {
    nyi("cipher");
}
std::string ov_payload_encode(std::string_view) {
    return "";
}
const char *ov_param_get_serial(void) {
    return "";
}
const char *ov_param_get_hardware_id(void) {
    return "";
}
const char *ov_param_get_model(void) {
    return "";
}
int ov_param_get_firmware_version(int v[4]) {
    v[0] = v[1] = v[2] = v[3] = 0;
    return nyi("firmware");
}
int ov_param_get_http_port(void) {
    return -1;
}
std::string ov_param_get_ip(void) {
    return "";
}
std::string ov_param_get_friendly_name(void) {
    return "";
}
int ov_param_set_friendly_name(const char *) {
    return nyi("friendly name");
}
std::string ov_param_get_capture_mode(void) {
    return "";
}
int ov_param_set_capture_mode(const char *) {
    return nyi("capture mode");
}
std::string ov_param_get_exposure_priority(void) {
    return "";
}
int ov_param_set_exposure_priority(const char *) {
    return nyi("exposure");
}
double ov_param_get_uptime(void) {
    return -1;
}
int ov_param_get_resolution(int *w, int *h) {
    *w = 1920;
    *h = 1080;
    return -1;
}
bool ov_param_remote_service_enabled(void) {
    return false;
}
bool ov_param_privacy_locked(void) {
    return false;
}
std::string ov_param_sys_account(void) {
    return "";
}
std::string ov_param_sys_password(void) {
    return "";
}
int ov_version_compare(const int *, const int *) {
    return 0;
}
int ov_version_parse(const char *, int out[4]) {
    out[0] = out[1] = out[2] = out[3] = 0;
    return -1;
}
bool ov_param_model_is_old(void) {
    return false;
}
bool ov_param_model_has_optical_zoom(void) {
    return false;
}
bool ov_param_model_has_ptz_zoom(void) {
    return false;
}
bool ov_param_model_in_firmware_check_list(const char *) {
    return false;
}
const char *ov_param_model_lens(void) {
    return "";
}
double ov_param_model_lens_lambda(void) {
    return 0;
}
double ov_param_model_ccdw(void) {
    return 0;
}
const char *ov_param_model_widescreen_roi(void) {
    return "";
}
int ov_param_dzoom_init(void) {
    return nyi("zoom");
}
int ov_param_get_optical_zoom(void) {
    return -1;
}
int ov_param_get_digital_zoom(void) {
    return -1;
}
int ov_param_get_212_zoom(void) {
    return -1;
}
int ov_param_set_zoom(int) {
    return nyi("zoom");
}
double ov_param_get_dzoom_factor(int) {
    return 1.0;
}
std::string ov_param_settings_document(const char *) {
    return "{}";
}
