// Parameter access layer: the one way the program reads and writes its configuration.
//
// Program names are "Group.Key" (stored in the service group root.mevo as "Group0Key"); names
// beginning with "root." are the camera's own parameters and pass unchanged. Password-like
// parameters never reach the service: they live in the secrets store, saved scrambled to
// localdata/params.meta.
//
// Threads: every function may be called from any thread after ov_param_init() (main, HTTP,
// event and uploader threads all do). One lock (ov_param_lock) serialises parameter access.
// Texts returned by ov_param_get() live in a per-thread buffer and stay valid until the same
// thread's next ov_param_get(). Cached property texts are process-lifetime static storage.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// ---- status codes and sizes ----
inline constexpr int OV_PARAM_OK = 0;
inline constexpr int OV_PARAM_FAILED = 1;
inline constexpr int OV_PARAM_UNCHANGED = 26;

inline constexpr size_t OV_PARAM_NAME_MAX = 511;       // longest name accepted (characters)
inline constexpr size_t OV_PARAM_RESULT_SIZE = 10240;  // per-thread result buffer (bytes)
inline constexpr size_t OV_SECRET_FIELD_SIZE = 128;    // name and value field of a secret record
inline constexpr size_t OV_SECRET_RECORD_SIZE = 256;   // name field + value field
inline constexpr size_t OV_CIPHER_KEY_SIZE = 21;

inline constexpr const char *OV_SERVICE_ACCOUNT = "VekaAnalytics";

// ---- start-up ----

// Optional check of the service account's password (maintenance); returns 0 when it passes.
// A stored password that fails it is replaced by a new one at start-up.
typedef int (*ov_param_pwd_check_fn)(const char *account, const char *password);

// Loads the secrets file, connects to the parameter service (a damaged database is set aside
// once and rebuilt from the defaults, with a status message), registers the parameter endpoints
// with the web layer (web_register, so web_init must have run), empties the status list and
// makes sure the service account exists. `pwd_check` may be null (no check).
// Returns 0, or -1 when the parameter service could not be reached (the layer then answers
// every get with "" and fails every set, as on the camera). Call once, on the main thread.
int ov_param_init(ov_param_pwd_check_fn pwd_check);

// Tests: drop all layer state (store, status list, caches, service handle) so that
// ov_param_init() can run again, e.g. after changing MEVO_ROOT. Not thread-safe.
void ov_param_reset_for_tests(void);

// ---- get / set ----

// Maps a program name to the service name: "Counter.Name" -> "root.mevo.Counter0Name",
// "root.X" unchanged. Returns false (and leaves `out` empty) for a name without '.'.
bool ov_param_map_name(const char *name, std::string &out);

// Current value, never null: "" for an invalid or unknown name and on service failure.
const char *ov_param_get(const char *name);

// Stores `value`: OV_PARAM_OK, OV_PARAM_UNCHANGED (already equal) or OV_PARAM_FAILED.
// sync = 1 also saves the secrets file and marks a parameter change (the app restarts).
// The name "sync" with value "1" and sync = 1 only saves and marks the change.
int ov_param_set_ex(const char *name, const char *value, int sync);

// ov_param_set_ex(name, value, 1).
int ov_param_set(const char *name, const char *value);

// 1 when a parameter change was marked since the last call (and clears the mark), else 0.
int ov_param_changed(void);

// Marks a parameter change (the main loop restarts the application), e.g. after a restore.
void ov_param_mark_changed(void);

// ---- status messages shown by the web interface (10 slots) ----

// Adds (key, message) unless a slot already holds the same message; dropped when full.
// Both texts must be string literals or otherwise outlive the process (pointers are kept).
void ov_param_status_set(const char *key, const char *message);
// Empties every slot whose message equals `message`.
void ov_param_status_clear(const char *message);
// Number of occupied slots (for tests and "params.json").
int ov_param_status_count(void);

// ---- secrets store ----
//
// A map from program name ("WebReportUpload.Pass") to a value of at most 127 characters.
// The layer owns one (the process store, guarded by ov_param_lock); maintenance code may
// create scratch stores of its own. A scratch store is not thread-safe.
struct ov_secret_store;

ov_secret_store *ov_secret_store_new(void);
void ov_secret_store_free(ov_secret_store *store);
// Loads records from a secrets file into the store (existing entries with the same name are
// replaced). Returns 0, or -1 when the file is missing or not valid (the store is unchanged).
int ov_secret_store_load(ov_secret_store *store, const char *path);
// The same from a secrets file's content (Base64 of the enciphered records); all or nothing.
int ov_secret_store_load_text(ov_secret_store *store, const std::string &text, const char *origin);
// Writes the whole store to `path` (replaced atomically). Returns 0 or -1.
int ov_secret_store_save(const ov_secret_store *store, const char *path);
// Sets a value (cut to 127 characters). Returns 0, or -1 for an empty or too long name.
int ov_secret_store_set(ov_secret_store *store, const char *name, const char *value);
// Stored value or null when the name is not in the store. Valid until the next change.
const char *ov_secret_store_get(const ov_secret_store *store, const char *name);
// Removes every entry.
void ov_secret_store_clear(ov_secret_store *store);

// True for the six names kept as secrets.
bool ov_param_is_secret(const char *name);

// Path of the process store's file: <package>/localdata/params.meta under the root.
std::string ov_param_secrets_path(void);
// Process store, under ov_param_lock: set one secret (no file save), load a secrets file into
// it (e.g. a restored archive's params.meta), save it to ov_param_secrets_path().
int ov_param_secret_set(const char *name, const char *value);
int ov_param_secrets_load(const char *path);
int ov_param_secrets_save(void);

// A copy of the process store (null when it cannot be made); the caller frees it.
ov_secret_store *ov_param_secrets_copy(void);
// Makes *store the process store and saves it; *store then holds the previous one (for the
// caller to free or to swap back). On a failed save nothing changes. Returns 0 or -1.
int ov_param_secrets_swap(ov_secret_store **store);
// True when a full service name ("root.mevo.Httppost0Pass") is the stored form of a secret:
// such a name must never be written to the service or shown.
bool ov_param_is_secret_stored_name(std::string_view stored);

// ---- payload cipher (secrets file, upload payloads) ----

// Enciphers/deciphers `len` bytes in place with the fixed key (same operation both ways).
void ov_cipher_apply(unsigned char *data, size_t len);
// Cipher then standard Base64 (RFC 4648 with '=' padding).
std::string ov_payload_encode(std::string_view plain);

// ---- camera properties (cached after the first successful read) ----

const char *ov_param_get_serial(void);       // root.Properties.System.SerialNumber, "" on failure
const char *ov_param_get_hardware_id(void);  // root.Properties.System.HardwareID
const char *ov_param_get_model(void);        // root.Brand.ProdNbr (or Counter.FakeModel)
// Firmware version as {major, minor, patch, build}; missing parts are 0. Returns 0, or -1
// (all four set to 0) when the version has no digits.
int ov_param_get_firmware_version(int version[4]);
int ov_param_get_http_port(void);   // root.System.BoaPort, -1 on failure
std::string ov_param_get_ip(void);  // root.Network.eth0.IPAddress
std::string ov_param_get_friendly_name(void);
int ov_param_set_friendly_name(const char *name);
std::string ov_param_get_capture_mode(void);  // root.ImageSource.I0.Sensor.CaptureMode
int ov_param_set_capture_mode(const char *mode);
std::string ov_param_get_exposure_priority(void);  // root.ImageSource.I0.ExposurePriorityNormal
int ov_param_set_exposure_priority(const char *value);
// Seconds since boot (first field of /proc/uptime), or -1 on failure.
double ov_param_get_uptime(void);
// Image resolution of source 0 in pixels. Returns 0; on failure -1 with 1920 x 1080 set.
int ov_param_get_resolution(int *width, int *height);
bool ov_param_remote_service_enabled(void);  // root.RemoteService.Enabled == "yes"
bool ov_param_privacy_locked(void);          // <package>/anon.lock exists
// The service account's name and password as copied at start-up ("" when unset).
std::string ov_param_sys_account(void);
std::string ov_param_sys_password(void);
// The service account's current password (changed by the privacy lock, for example).
std::string ov_param_service_password(void);

// ---- version comparison ----

inline constexpr int OV_VERSION_ANY = -2;  // wildcard part
// Parts compared from major to build; a wildcard on either side ends with 0. Returns -1 when
// a's first differing part is greater, 1 when b's is greater, 0 when equal.
int ov_version_compare(const int a[4], const int b[4]);
// Reads up to four dot-separated integers (leading dots skipped); missing parts are 0.
// Returns 0, or -1 when there are no digits.
int ov_version_parse(const char *text, int out[4]);

// ---- per-model knowledge and zoom ----

bool ov_param_model_is_old(void);  // older camera generation
bool ov_param_model_has_optical_zoom(void);
bool ov_param_model_has_ptz_zoom(void);
// True for the models whose firmware 6.15.1 is not supported (the start-up firmware check).
bool ov_param_model_in_firmware_check_list(const char *model);
// Lens description and numbers shown by "params.json".
const char *ov_param_model_lens(void);
double ov_param_model_lens_lambda(void);
double ov_param_model_ccdw(void);
// Default detection region for wide-screen capture ("left,right,top,bottom"), "" for none.
const char *ov_param_model_widescreen_roi(void);

inline constexpr int OV_ZOOM_MAX = 9999;
// Digital-zoom start-up: decides Counter.DigitalZoomSupported and Counter.DigitalZoomMin.
int ov_param_dzoom_init(void);
// Zoom positions 0..9999; -1 on failure.
int ov_param_get_optical_zoom(void);
int ov_param_get_digital_zoom(void);
int ov_param_get_212_zoom(void);
// Applies a digital zoom position (capped to 0..9999, rounded to the model's step) and
// stores it in Counter.DigitalZoom. Returns 0 or -1.
int ov_param_set_zoom(int zoom);
// Magnification for a digital zoom position (1.0 at 0).
double ov_param_get_dzoom_factor(int zoom);

// ---- documents ----

// The parameter group as the "params.json" document (secrets masked), optionally prefixed
// with "var NAME = ". Also the settings document the report uploader sends.
std::string ov_param_settings_document(const char *variable);
