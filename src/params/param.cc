// Parameter layer core: name mapping, get/set under one lock, per-thread result buffers,
// change flag, status list, start-up and the service account.
#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "params/param.h"
#include "params/param_internal.h"
#include "platform/param/vk_parameter.h"
#include "web/web.h"

namespace {

constexpr const char *kTag = "param";
constexpr const char *kAppName = "mevo";
constexpr const char *kAppGroup = "root.mevo.";
constexpr const char *kRootPrefix = "root.";
constexpr const char *kSecretsFile = "/usr/local/packages/mevo/localdata/params.meta";
constexpr const char *kPwdgrpCgi = "/usr/html/veka-cgi/pwdgrp.cgi";
// Left in /tmp when the parameter database was rebuilt, so that every start until the next
// reboot still says so (the rebuild itself is followed by a restart).
constexpr const char *kRebuiltMarker = "/tmp/mevo-params-rebuilt";
constexpr const char *kRebuiltKey = "PARAM_DB_REBUILT";
constexpr const char *kRebuiltMessage =
    "The parameter database was damaged: it was kept aside and the settings were reset to "
    "their defaults";
constexpr size_t kPasswordLength = 20;
constexpr const char *kPasswordAlphabet =
    "abcdefghijklmnopqrstuvxyzABCDEFGHIJKLMNOPQRSTUVXYZ0123456789";

constexpr const char *kSecretNames[] = {"Environment.SysPwd",   "Counter.SlavePass",
                                        "WebReportUpload.Pass", "WebReportUpload.ProxyPass",
                                        "Httppost.Pass",        "Counter.OccCoCounterCred"};

struct StatusSlot {
    const char *key;
    const char *message;
};

struct LayerState {
    std::mutex lock;  // ov_param_lock: every get, set, secrets save, status change
    VkParameter *vk = nullptr;
    ov_secret_store *secrets = nullptr;
    int64_t serial_seen = -1;
    StatusSlot status[OV_STATUS_SLOTS] = {};
    std::string sys_account;
    std::string sys_pwd;
};

LayerState g_state;
std::atomic<int> g_params_changed{0};

pthread_key_t ov_param_get_buf_key;
pthread_once_t g_key_once = PTHREAD_ONCE_INIT;
bool g_key_ok = false;

void create_buf_key() {
    if (pthread_key_create(&ov_param_get_buf_key, free) != 0) {
        log_message(kTag, "pthread_key_create(&ov_param_get_buf_key,free) failed\n");
        return;
    }
    g_key_ok = true;
}

// The calling thread's result buffer, or null when none can be had.
char *thread_buffer() {
    pthread_once(&g_key_once, create_buf_key);
    if (!g_key_ok) return nullptr;
    auto *buf = static_cast<char *>(pthread_getspecific(ov_param_get_buf_key));
    if (!buf) {
        buf = static_cast<char *>(malloc(OV_PARAM_RESULT_SIZE));
        if (!buf || pthread_setspecific(ov_param_get_buf_key, buf) != 0) {
            free(buf);
            return nullptr;
        }
    }
    return buf;
}

ov_secret_store *secrets_locked() {
    if (!g_state.secrets) g_state.secrets = ov_secret_store_new();
    return g_state.secrets;
}

int save_secrets_locked() {
    ov_secret_store *store = secrets_locked();
    if (!store) return -1;
    return ov_secret_store_save(store, ov_param_secrets_path().c_str());
}

// Service value of an already mapped name; false when unknown or on failure.
bool vk_get_locked(const std::string &mapped, std::string &out) {
    if (!g_state.vk) return false;
    GError *error = nullptr;
    char *v = vk_parameter_get(g_state.vk, mapped.c_str(), &error);
    if (!v) {
        if (error) g_error_free(error);
        return false;
    }
    out = v;
    g_free(v);
    return true;
}

void change_callback(const char *name, const char *value, void *) {
    log_message(kTag, "Veka reports that %s has been set to %s succesfully.", name, value);
}

// Uniform index in [0, n) from the kernel's random source; the password guards an
// administrator account, so it must not be predictable from the start time.
size_t random_index(size_t n) {
    const unsigned limit = 256u - (256u % static_cast<unsigned>(n));
    for (;;) {
        unsigned char b;
        if (getrandom(&b, 1, 0) == 1 && b < limit) return b % n;
    }
}

std::string make_password() {
    std::string pwd;
    size_t n = strlen(kPasswordAlphabet);
    for (size_t i = 0; i < kPasswordLength; ++i) pwd += kPasswordAlphabet[random_index(n)];
    return pwd;
}

// Runs the user-management CGI with `query`; true when its output holds `expect`.
bool run_pwdgrp(const std::string &query, const char *expect) {
    SpawnOptions opts;
    opts.env.push_back("QUERY_STRING=" + query);
    opts.env.push_back("REQUEST_METHOD=GET");
    opts.capture_output = true;
    SpawnResult r = spawn_run({mevo_path(kPwdgrpCgi)}, opts);
    return r.status >= 0 && r.output.find(expect) != std::string::npos;
}

void setup_service_account(ov_param_pwd_check_fn pwd_check) {
    std::string account = ov_param_get("Environment.SysAccount");
    std::string pwd = ov_param_get("Environment.SysPwd");
    if (account == OV_SERVICE_ACCOUNT && !pwd.empty()) {
        // A password restored from a backup or left from before a reset may no longer be the
        // account's: keeping it would hand out credentials that do not log in.
        if (!pwd_check || pwd_check(account.c_str(), pwd.c_str()) == 0) {
            log_message(kTag, "Keep old password");
            return;
        }
        log_message(kTag, "The stored password of %s does not log in", account.c_str());
    }
    log_message(kTag, "Create new password");
    pwd = make_password();
    bool removed = run_pwdgrp(std::string("action=remove&user=") + OV_SERVICE_ACCOUNT, "Removed");
    log_message(kTag, "Attempted to delete old user %s", removed ? "succeeded" : "failed");
    bool created = run_pwdgrp(std::string("action=add&user=") + OV_SERVICE_ACCOUNT + "&pwd=" + pwd +
                                  "&grp=users&sgrp=viewer:operator:admin:ptz&comment=",
                              "Created");
    if (!created) {
        log_message(kTag, "Attempted to create new user %s", "failed");
        return;
    }
    log_message(kTag, "Attempted to create new user %s", "succeeded");
    ov_param_set_ex("Environment.SysPwd", pwd.c_str(), 0);
    ov_param_set_ex("Environment.SysAccount", OV_SERVICE_ACCOUNT, 0);
    ov_param_secrets_save();
}

// A secrets file that cannot be read is kept aside before anything overwrites it.
void load_secrets_at_start() {
    std::string path = ov_param_secrets_path();
    std::lock_guard<std::mutex> lock(g_state.lock);
    ov_secret_store *store = secrets_locked();
    if (file_exists(path) && ov_secret_store_load(store, path.c_str()) != 0)
        file_copy(path, path + ".unreadable");
    for (const char *name : kSecretNames)
        if (!ov_secret_store_get(store, name)) ov_secret_store_set(store, name, "");
}

VkParameter *open_service() {
    GError *error = nullptr;
    VkParameter *vk = vk_parameter_new(kAppName, &error);
    if (!vk && error && error->code == VK_PARAMETER_ERROR_DAMAGED) {
        // Once: a database that is not one would otherwise make every start fail the same way.
        log_message(kTag, "Could not initiate vkparameter: %s (%d)", error->message, error->code);
        g_error_free(error);
        error = nullptr;
        std::string kept = vk_parameter_set_aside_damaged();
        if (!kept.empty()) {
            log_message(kTag, "Parameter database damaged: kept as %s, building a new one",
                        kept.c_str());
            file_mkdir_p(mevo_path("/tmp"));
            file_write_atomic(mevo_path(kRebuiltMarker), kept.data(), kept.size());
            vk = vk_parameter_new(kAppName, &error);
        }
    }
    if (!vk) {
        log_message(kTag, "Could not initiate vkparameter: %s (%d)",
                    error ? error->message : "unknown", error ? error->code : 0);
    }
    if (error) g_error_free(error);
    return vk;
}

// Secrets found in the parameter service (put there by an older restore) move to the secrets
// store, unless it holds a value already, and leave the service.
void purge_stored_secrets(VkParameter *vk) {
    for (const char *name : kSecretNames) {
        std::string mapped;
        ov_param_map_name(name, mapped);
        GError *error = nullptr;
        char *value = vk_parameter_get(vk, mapped.c_str(), &error);
        if (error) g_error_free(error);
        if (!value) continue;
        log_message(kTag, "Moving %s out of the parameter store into the secrets", name);
        {
            std::lock_guard<std::mutex> lock(g_state.lock);
            ov_secret_store *store = secrets_locked();
            const char *cur = store ? ov_secret_store_get(store, name) : nullptr;
            if (store && (!cur || !*cur)) ov_secret_store_set(store, name, value);
            save_secrets_locked();
        }
        g_free(value);
        error = nullptr;
        if (!vk_parameter_remove(vk, mapped.c_str(), &error)) {
            log_message(kTag, "Could not remove %s: %s", mapped.c_str(),
                        error ? error->message : "unknown");
            if (error) g_error_free(error);
        }
    }
}

void connect_service() {
    VkParameter *vk = open_service();
    if (!vk) return;
    GError *error = nullptr;
    purge_stored_secrets(vk);
    char **names = vk_parameter_list(vk, kAppName, &error);
    if (!names || !names[0]) {
        log_message(kTag, "Could not get param list");
        if (error) g_error_free(error);
        error = nullptr;
    } else {
        for (char **n = names; *n; ++n) {
            if (!vk_parameter_register_callback(vk, *n, change_callback, nullptr, &error)) {
                log_message(kTag, "Param change callback registering failed for %s: %s (%d)", *n,
                            error ? error->message : "unknown", error ? error->code : 0);
                if (error) g_error_free(error);
                error = nullptr;
            }
        }
    }
    g_strfreev(names);
    int64_t serial = vk_parameter_change_serial(vk, &error);
    if (error) g_error_free(error);
    std::lock_guard<std::mutex> lock(g_state.lock);
    g_state.vk = vk;
    g_state.serial_seen = serial;
}

const char *buffer_reply(std::string &holder, std::string text, int *length) {
    holder = std::move(text);
    *length = static_cast<int>(holder.size());
    return holder.c_str();
}

const char *h_params_json(void *, const char *args, int *length) {
    static std::string reply;
    const char *variable = nullptr;
    std::string var;
    if (args) {
        const char *p = strstr(args, "&variable=");
        if (p) {
            p += strlen("&variable=");
            size_t n = strcspn(p, "&");
            if (n <= 30) {
                var.assign(p, n);
                variable = var.c_str();
            }
        }
    }
    return buffer_reply(reply, ov_param_settings_document(variable), length);
}
const char *h_setparams(void *, const char *args, int *length) {
    static std::string reply;
    return buffer_reply(reply, ov_param_setparams(args, 1), length);
}
const char *h_nosyncsetparams(void *, const char *args, int *length) {
    static std::string reply;
    return buffer_reply(reply, ov_param_setparams(args, 0), length);
}
const char *h_factory_defaults(void *, const char *, int *length) {
    static std::string reply;
    return buffer_reply(reply, ov_param_factory_defaults(), length);
}
const char *h_errors_json(void *, const char *, int *length) {
    static std::string reply;
    return buffer_reply(reply, ov_param_errors_json(), length);
}
const char *h_rhos_json(void *, const char *, int *length) {
    static std::string reply;
    return buffer_reply(reply, ov_param_rhos_json(), length);
}

}  // namespace

// ---- names ----

bool ov_param_is_secret(const char *name) {
    if (!name) return false;
    for (const char *s : kSecretNames)
        if (strcmp(s, name) == 0) return true;
    return false;
}

bool ov_param_map_name(const char *name, std::string &out) {
    out.clear();
    if (!name || strlen(name) > OV_PARAM_NAME_MAX) return false;
    if (strncmp(name, kRootPrefix, strlen(kRootPrefix)) == 0) {
        out = name;
        return true;
    }
    const char *dot = strchr(name, '.');
    if (!dot || dot == name) return false;
    out = kAppGroup;
    out.append(name, dot - name);
    out += '0';
    out += dot + 1;
    return true;
}

// ---- get / set ----

const char *ov_param_get(const char *name) {
    char *buf = thread_buffer();
    if (!buf) return "";
    buf[0] = '\0';
    if (!name) return buf;
    std::lock_guard<std::mutex> lock(g_state.lock);
    if (ov_param_is_secret(name)) {
        const char *v = g_state.secrets ? ov_secret_store_get(g_state.secrets, name) : nullptr;
        if (v) g_strlcpy(buf, v, OV_PARAM_RESULT_SIZE);
        return buf;
    }
    std::string mapped, value;
    if (!ov_param_map_name(name, mapped)) return buf;
    if (vk_get_locked(mapped, value)) g_strlcpy(buf, value.c_str(), OV_PARAM_RESULT_SIZE);
    return buf;
}

int ov_param_set_ex(const char *name, const char *value, int sync) {
    if (!name || !value) return OV_PARAM_FAILED;
    std::lock_guard<std::mutex> lock(g_state.lock);
    if (ov_param_is_secret(name)) {
        ov_secret_store *store = secrets_locked();
        if (!store) return OV_PARAM_FAILED;
        const char *cur = ov_secret_store_get(store, name);
        // Compared as it would be stored, so re-sending a long secret is no change.
        std::string stored_form(value, strnlen(value, OV_SECRET_FIELD_SIZE - 1));
        if (cur && stored_form == cur) {
            log_message(kTag, "secret %s was unchanged", name);
            return OV_PARAM_UNCHANGED;
        }
        if (ov_secret_store_set(store, name, value) != 0) return OV_PARAM_FAILED;
        if (sync) {
            save_secrets_locked();
            g_params_changed.store(1);
        }
        return OV_PARAM_OK;
    }
    if (!g_state.vk) {
        log_message(kTag, "Tried to use ov_param_set_ex without vkparam inited.");
        g_params_changed.store(1);
        return OV_PARAM_FAILED;
    }
    if (sync && strcmp(name, "sync") == 0 && strcmp(value, "1") == 0) {
        save_secrets_locked();
        g_params_changed.store(1);
        return OV_PARAM_OK;
    }
    std::string mapped, current;
    if (!ov_param_map_name(name, mapped)) return OV_PARAM_FAILED;
    if (ov_param_is_secret_stored_name(mapped)) {
        log_message(kTag, "Refusing to store the secret %s as a parameter", mapped.c_str());
        return OV_PARAM_FAILED;
    }
    if (vk_get_locked(mapped, current) && current == value) {
        log_message(kTag, "%s was unchanged", mapped.c_str());
        return OV_PARAM_UNCHANGED;
    }
    log_message(kTag, "Setting %s", mapped.c_str());
    GError *error = nullptr;
    if (!vk_parameter_set(g_state.vk, mapped.c_str(), value, FALSE, &error)) {
        log_message(kTag, "Could not set %s in //vk_parameter_set: %s (%d)", mapped.c_str(),
                    error ? error->message : "unknown", error ? error->code : 0);
        if (error) g_error_free(error);
        return OV_PARAM_FAILED;
    }
    if (!vk_get_locked(mapped, current) || current != value) {
        log_message(kTag, "Could not set parameter %s", mapped.c_str());
        return OV_PARAM_FAILED;
    }
    if (sync) {
        save_secrets_locked();
        g_params_changed.store(1);
    }
    return OV_PARAM_OK;
}

int ov_param_set(const char *name, const char *value) {
    return ov_param_set_ex(name, value, 1);
}

int ov_param_changed(void) {
    if (g_params_changed.exchange(0)) return 1;
    // Synced writes by other processes (setupctl) count as changes too.
    std::lock_guard<std::mutex> lock(g_state.lock);
    if (!g_state.vk) return 0;
    GError *error = nullptr;
    int64_t serial = vk_parameter_change_serial(g_state.vk, &error);
    if (error) g_error_free(error);
    if (serial < 0 || serial == g_state.serial_seen) return 0;
    g_state.serial_seen = serial;
    return 1;
}

void ov_param_mark_changed(void) {
    g_params_changed.store(1);
}

// ---- status list ----

void ov_param_status_set(const char *key, const char *message) {
    if (!key || !message) return;
    log_message(kTag, "%s", key);
    std::lock_guard<std::mutex> lock(g_state.lock);
    StatusSlot *free_slot = nullptr;
    for (auto &s : g_state.status) {
        if (s.key && strcmp(s.message, message) == 0) return;
        if (!s.key && !free_slot) free_slot = &s;
    }
    if (free_slot) *free_slot = {key, message};
}

void ov_param_status_clear(const char *message) {
    if (!message) return;
    std::lock_guard<std::mutex> lock(g_state.lock);
    for (auto &s : g_state.status)
        if (s.key && strcmp(s.message, message) == 0) s = {nullptr, nullptr};
}

int ov_param_status_count(void) {
    std::lock_guard<std::mutex> lock(g_state.lock);
    int n = 0;
    for (const auto &s : g_state.status) n += s.key != nullptr;
    return n;
}

std::vector<std::pair<std::string, std::string>> ov_param_status_snapshot(void) {
    std::lock_guard<std::mutex> lock(g_state.lock);
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto &s : g_state.status)
        if (s.key) out.emplace_back(s.key, s.message);
    return out;
}

// ---- secrets of the process store ----

std::string ov_param_secrets_path(void) {
    return mevo_path(kSecretsFile);
}

int ov_param_secret_set(const char *name, const char *value) {
    std::lock_guard<std::mutex> lock(g_state.lock);
    ov_secret_store *store = secrets_locked();
    return store ? ov_secret_store_set(store, name, value) : -1;
}

int ov_param_secrets_load(const char *path) {
    std::lock_guard<std::mutex> lock(g_state.lock);
    ov_secret_store *store = secrets_locked();
    return store ? ov_secret_store_load(store, path) : -1;
}

int ov_param_secrets_save(void) {
    std::lock_guard<std::mutex> lock(g_state.lock);
    return save_secrets_locked();
}

// Empties the store and removes its file ("factory-defaults").
void ov_param_secrets_delete_all(void) {
    std::lock_guard<std::mutex> lock(g_state.lock);
    if (g_state.secrets) ov_secret_store_clear(g_state.secrets);
    file_remove_tree(ov_param_secrets_path());
}

bool ov_param_list_group(std::vector<std::pair<std::string, std::string>> &out) {
    out.clear();
    std::lock_guard<std::mutex> lock(g_state.lock);
    if (!g_state.vk) return false;
    GError *error = nullptr;
    char **names = vk_parameter_list(g_state.vk, kAppName, &error);
    if (!names) {
        if (error) g_error_free(error);
        return false;
    }
    std::string value;
    for (char **n = names; *n; ++n)
        if (vk_get_locked(*n, value)) out.emplace_back(*n, value);
    g_strfreev(names);
    return true;
}

std::string ov_param_sys_account(void) {
    std::lock_guard<std::mutex> lock(g_state.lock);
    return g_state.sys_account;
}

std::string ov_param_sys_password(void) {
    std::lock_guard<std::mutex> lock(g_state.lock);
    return g_state.sys_pwd;
}

std::string ov_param_service_password(void) {
    return ov_param_get("Environment.SysPwd");
}

bool ov_param_is_secret_stored_name(std::string_view stored) {
    for (const char *name : kSecretNames) {
        std::string mapped;
        ov_param_map_name(name, mapped);
        if (stored == mapped) return true;
    }
    return false;
}

ov_secret_store *ov_param_secrets_copy(void) {
    std::lock_guard<std::mutex> lock(g_state.lock);
    ov_secret_store *copy = ov_secret_store_new();
    ov_secret_store *store = secrets_locked();
    if (copy && store && ov_secret_store_size(store) > 0 &&
        ov_secret_store_load_text(copy, ov_secret_store_serialize(store), "secrets") != 0) {
        ov_secret_store_free(copy);
        return nullptr;
    }
    return copy;
}

int ov_param_secrets_swap(ov_secret_store **store) {
    if (!store || !*store) return -1;
    std::lock_guard<std::mutex> lock(g_state.lock);
    std::swap(g_state.secrets, *store);
    if (save_secrets_locked() == 0) return 0;
    std::swap(g_state.secrets, *store);
    return -1;
}

// ---- start-up ----

int ov_param_init(ov_param_pwd_check_fn pwd_check) {
    load_secrets_at_start();
    pthread_once(&g_key_once, create_buf_key);
    connect_service();
    web_register("params.json", h_params_json, nullptr, "text/plain; charset=UTF-8",
                 WEB_ACCESS_BY_NAME);
    web_register("setparams", h_setparams, nullptr, "text/plain", WEB_ACCESS_BY_NAME);
    web_register("nosyncsetparams", h_nosyncsetparams, nullptr, "text/plain", WEB_ACCESS_BY_NAME);
    web_register("factory-defaults", h_factory_defaults, nullptr, "text/plain", WEB_ACCESS_BY_NAME);
    web_register("errors.json", h_errors_json, nullptr, "text/plain; charset=UTF-8",
                 WEB_ACCESS_BY_NAME);
    {
        std::lock_guard<std::mutex> lock(g_state.lock);
        for (auto &s : g_state.status) s = {nullptr, nullptr};
    }
    bool have_service;
    {
        std::lock_guard<std::mutex> lock(g_state.lock);
        have_service = g_state.vk != nullptr;
    }
    if (have_service) setup_service_account(pwd_check);
    if (file_exists(mevo_path(kRebuiltMarker))) ov_param_status_set(kRebuiltKey, kRebuiltMessage);
    web_register("rhos.json", h_rhos_json, nullptr, "text/plain", WEB_ACCESS_BY_NAME);

    std::string pwd = ov_param_get("Environment.SysPwd");
    std::string account = ov_param_get("Environment.SysAccount");
    {
        std::lock_guard<std::mutex> lock(g_state.lock);
        g_state.sys_pwd = pwd;
        g_state.sys_account = account;
    }
    if (!pwd.empty() && !account.empty()) {
        if (pwd_check && pwd_check(account.c_str(), pwd.c_str()) != 0)
            ov_param_status_set("SYS_PWD_ERROR",
                                "Failed to get system admin account. This can be solved by "
                                "restarting the app");
    } else {
        log_message(kTag, "Admin credentials: not set");
        log_message(kTag, "SYS_PWD_ERROR");
        ov_param_status_set(
            "SYS_PWD_ERROR",
            "Failed to get system admin account. This can be solved by restarting the app");
    }
    return have_service ? 0 : -1;
}

void ov_param_reset_for_tests(void) {
    {
        std::lock_guard<std::mutex> lock(g_state.lock);
        vk_parameter_free(g_state.vk);
        g_state.vk = nullptr;
        ov_secret_store_free(g_state.secrets);
        g_state.secrets = nullptr;
        g_state.serial_seen = -1;
        for (auto &s : g_state.status) s = {nullptr, nullptr};
        g_state.sys_account.clear();
        g_state.sys_pwd.clear();
        g_params_changed.store(0);
    }
    // Outside the parameter lock: a cached property takes its own lock first, then that one.
    ov_param_reset_cached_properties_for_tests();
}
