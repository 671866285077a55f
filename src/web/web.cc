#include "web/web.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/paths.h"
#include "platform/http/vk_http.h"
#include "web/web_internal.h"

namespace {

constexpr const char *kTag = "modules/platforms/VekaKorvex6/web";
constexpr const char *kMarkerFile = "/tmp/mevo-web-running";
constexpr const char *kDenyHeader =
    "HTTP/1.1 204 No Content\r\nContent-Type: text/plain\r\nCache-Control: no-store\r\n"
    "Pragma: no-cache\r\nConnection: close\r\n\r\n";
constexpr auto kLoopStartWait = std::chrono::seconds(1);

constexpr const char *kOperatorList[] = {
    "setparams",     "nosyncsetparams",  "update_zoom.json", "init_zoom.json", "clear-data",
    "reset-push",    "factory-defaults", "backup",           "restart",        "reboot",
    "generate-logs", "show-logs",        "backup_params",    "copy_params",    "restore_params",
    "cancel-count",  "inc-in",           "inc-out",          "modify-history"};
// State changes outside the two lists: the ground-truth recorder's edits.
constexpr const char *kOtherChanges[] = {"truth_save_track", "truth_update_track"};
constexpr const char *kForeignHeader =
    "Content-Type: text/plain\r\nStatus: 403 Forbidden\r\nCache-Control: no-store\r\n\r\n";
constexpr const char *kAdminList[] = {"anonymize",    "anonymize_reset", "rhos.json",
                                      "proxy-cntpos", "proxy-alive",     "proxy-ip",
                                      "proxy-params", "proxy-image"};

struct Endpoint {
    std::string name;
    WebBufferHandler buffer_handler = nullptr;
    WebStreamHandler stream_handler = nullptr;
    void *user_data = nullptr;
    std::string content_type;
    int level = 0;
};

// Registration runs on the main thread while the loop thread may already serve requests, so
// both sides take this lock; a lookup copies the entry and calls the handler unlocked.
std::mutex g_registry_lock;
std::vector<Endpoint> g_registry;

std::atomic<int32_t> *g_exit_request = nullptr;
VkHttpHandler *g_http = nullptr;
GMainLoop *g_loop = nullptr;
std::atomic<bool> g_json_error_logged{false};
// Held while a request is handled; web_quiesce takes it to wait for the one in progress.
std::mutex g_serving_lock;
bool g_closed = false;  // guarded by g_serving_lock
constexpr const char *kClosedReply =
    "Content-Type: text/plain\r\nStatus: 503 Service Unavailable\r\n\r\nRestarting\n";

// The privilege of the request the HTTP thread is handling, for handlers whose reply depends
// on it (a backup holds secrets only for administrators).
thread_local int t_request_privilege = WEB_PRIV_VIEWER;

std::mutex g_reply_file_lock;
void *g_reply_map = MAP_FAILED;
size_t g_reply_map_length = 0;

bool in_list(const char *name, const char *const *list, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (strcmp(name, list[i]) == 0) return true;
    }
    return false;
}

void put(GDataOutputStream *out, const char *data, size_t len) {
    if (len == 0) return;
    g_output_stream_write_all(G_OUTPUT_STREAM(out), data, len, nullptr, nullptr, nullptr);
}

void put_text(GDataOutputStream *out, const char *text) {
    put(out, text, strlen(text));
}

void vprint(GDataOutputStream *out, const char *fmt, va_list ap) {
    gchar *text = g_strdup_vprintf(fmt, ap);
    put_text(out, text);
    g_free(text);
}

void print(GDataOutputStream *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void print(GDataOutputStream *out, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprint(out, fmt, ap);
    va_end(ap);
}

void add_endpoint(Endpoint &&e) {
    try {
        std::lock_guard<std::mutex> lock(g_registry_lock);
        g_registry.push_back(std::move(e));
    } catch (const std::bad_alloc &) {
        log_message(kTag, "Failed to allocate new web page struct, out of memory?");
    }
}

bool find_endpoint(const std::string &name, Endpoint &found) {
    std::lock_guard<std::mutex> lock(g_registry_lock);
    for (const Endpoint &e : g_registry) {
        if (e.name == name) {
            found = e;
            return true;
        }
    }
    return false;
}

void deny(GDataOutputStream *out, const std::string &name, const char *decoded,
          const WebRequest *r) {
    put_text(out, kDenyHeader);
    print(out, "Request failed! api name is %s \n query_decoded:%s \n path: %s \n method: %s \n",
          name.c_str(), decoded, r->path, r->method);
}

// A logged-in browser resends its credentials with whatever page asks: a state change must
// come from the camera's own pages (or from a tool that names no page at all).
bool refused_as_foreign(GDataOutputStream *out, const char *name, const WebRequest *r) {
    if (r->foreign_origin == nullptr) return false;
    log_message(kTag, "Refusing %s from another site: %s", name, r->foreign_origin);
    put_text(out, kForeignHeader);
    print(out, "Request refused: %s comes from another site (%s)\n", name, r->foreign_origin);
    return true;
}

void dispatch(GDataOutputStream *out, const WebRequest *r, int privilege) {
    char *decoded = g_uri_unescape_string(r->query ? r->query : "", nullptr);
    if (decoded == nullptr) {
        put_text(out, kDenyHeader);
        put_text(out, "Request failed! Invalid API data.");
        return;
    }
    std::string name;
    const char *args = "";
    try {
        web_split_query(decoded, name, &args);
    } catch (const std::bad_alloc &) {
        put_text(out, "Content-Type: text/plain\r\nStatus: 500 OK\r\n\r\n");
        put_text(out, "Request failed! Api name malloc failed.");
        g_free(decoded);
        return;
    }
    Endpoint e;
    if (!find_endpoint(name, e)) {
        deny(out, name, decoded, r);
        g_free(decoded);
        return;
    }
    int allowed = web_access_allowed(e.level, e.name.c_str(), privilege);
    if (allowed < 0) {
        log_message(kTag, "Unkown authorization for API denied.. (%d)", e.level);
    } else if (allowed == 0) {
        log_message(kTag, "Try to reach privileged page with .api, denying");
    }
    if (allowed <= 0) {
        deny(out, name, decoded, r);
        g_free(decoded);
        return;
    }
    if (web_changes_state(name.c_str(), args) && refused_as_foreign(out, name.c_str(), r)) {
        g_free(decoded);
        return;
    }
    print(out, "Content-Type: %s\r\n\r\n", e.content_type.c_str());
    if (e.buffer_handler != nullptr) {
        int length = 0;
        const char *reply = e.buffer_handler(e.user_data, args, &length);
        if (reply != nullptr && length > 0) put(out, reply, static_cast<size_t>(length));
    } else {
        e.stream_handler(out, e.user_data, r->params);
    }
    g_free(decoded);
}

// The login of the request being handled, for the pages' "logged in as".
thread_local const char *t_request_user = nullptr;

void http_callback(const VkHttpRequest *req, GOutputStream *out, void *) {
    WebRequest r{req->path,        req->method, req->query,         req->body,
                 req->body_length, req->params, req->foreign_origin};
    t_request_user = req->user;
    web_handle_request(&r, out);
    t_request_user = nullptr;
}

void touch(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_message(kTag, "cannot create %s: %s", path.c_str(), strerror(errno));
        return;
    }
    futimens(fd, nullptr);
    close(fd);
}

void request_restart() {
    if (g_exit_request != nullptr) g_exit_request->store(1);
}

}  // namespace

int web_privilege_from_path(const char *path) {
    if (path == nullptr) return WEB_PRIV_VIEWER;
    if (strstr(path, "apiadmin") != nullptr) return WEB_PRIV_ADMIN;
    if (strstr(path, "apioperator") != nullptr) return WEB_PRIV_OPERATOR;
    return WEB_PRIV_VIEWER;
}

bool web_changes_state(const char *name, const char *args) {
    if (in_list(name, kOperatorList, std::size(kOperatorList)) ||
        in_list(name, kAdminList, std::size(kAdminList)) ||
        in_list(name, kOtherChanges, std::size(kOtherChanges))) {
        return true;
    }
    return strcmp(name, "events.json") == 0 && args != nullptr && strstr(args, "&save=") != nullptr;
}

int web_access_allowed(int level, const char *name, int privilege) {
    switch (level) {
        case WEB_ACCESS_VIEWER:
            return 1;
        case WEB_ACCESS_OPERATOR:
            return privilege == WEB_PRIV_OPERATOR || privilege == WEB_PRIV_ADMIN;
        case WEB_ACCESS_ADMIN:
            return privilege == WEB_PRIV_ADMIN;
        case WEB_ACCESS_BY_NAME: {
            bool admin = in_list(name, kAdminList, std::size(kAdminList));
            bool operator_ = in_list(name, kOperatorList, std::size(kOperatorList));
            if (admin) return privilege == WEB_PRIV_ADMIN;
            if (operator_) return privilege == WEB_PRIV_OPERATOR || privilege == WEB_PRIV_ADMIN;
            return 1;
        }
        default:
            return -1;
    }
}

void web_split_query(const char *query, std::string &name, const char **args) {
    const char *amp = strchr(query, '&');
    if (amp == nullptr) {
        name.assign(query);
        *args = query + strlen(query);
    } else {
        name.assign(query, static_cast<size_t>(amp - query));
        *args = amp;
    }
    if (!name.empty() && name.back() == '=') name.pop_back();
}

void web_unescape_query(char *s) {
    if (s == nullptr) return;
    char *w = s;
    for (const char *r = s; *r != '\0'; ++r) {
        if (*r == '+') {
            *w++ = ' ';
        } else if (*r == '%') {
            if (r[1] == '\0' || r[2] == '\0') break;
            int hi = g_ascii_xdigit_value(r[1]);
            int lo = g_ascii_xdigit_value(r[2]);
            if (hi < 0 || lo < 0) {
                *w++ = *r;  // not an escape: keep the percent sign as it is
                continue;
            }
            *w++ = static_cast<char>(hi * 16 + lo);
            r += 2;
        } else {
            *w++ = *r;
        }
    }
    *w = '\0';
}

void web_handle_request(const WebRequest *r, GOutputStream *raw) {
    GDataOutputStream *out = g_data_output_stream_new(raw);
    g_filter_output_stream_set_close_base_stream(G_FILTER_OUTPUT_STREAM(out), FALSE);
    int privilege = web_privilege_from_path(r->path);
    t_request_privilege = privilege;
    std::lock_guard<std::mutex> serving(g_serving_lock);
    if (g_closed) {
        put_text(out, kClosedReply);
    } else if (r->path != nullptr && strstr(r->path, "restore_backup") != nullptr) {
        if (privilege == WEB_PRIV_ADMIN) {
            if (!refused_as_foreign(out, "restore_backup", r))
                web_restore_upload(out, r->body, r->body ? r->body_length : 0);
        } else {
            log_message(kTag, "Try to reach privileged page with .api, denying");
            put_text(out, kDenyHeader);
        }
    } else {
        dispatch(out, r, privilege);
    }
    t_request_privilege = WEB_PRIV_VIEWER;
    g_object_unref(out);
}

int web_request_privilege(void) {
    return t_request_privilege;
}

void web_register(const char *name, WebBufferHandler h, void *user_data, const char *content_type,
                  int level) {
    if (name == nullptr || h == nullptr) return;
    Endpoint e;
    try {
        e = Endpoint{name, h, nullptr, user_data, content_type ? content_type : "", level};
    } catch (const std::bad_alloc &) {
        log_message(kTag, "Failed to allocate new web page struct, out of memory?");
        return;
    }
    add_endpoint(std::move(e));
}

void web_register_stream(const char *name, WebStreamHandler h, void *user_data,
                         const char *content_type, int level) {
    if (name == nullptr || h == nullptr) return;
    Endpoint e;
    try {
        e = Endpoint{name, nullptr, h, user_data, content_type ? content_type : "", level};
    } catch (const std::bad_alloc &) {
        log_message(kTag, "Failed to allocate new web page struct, out of memory?");
        return;
    }
    add_endpoint(std::move(e));
}

void web_quiesce(void) {
    std::lock_guard<std::mutex> serving(g_serving_lock);
    g_closed = true;
}

void web_registry_reset_for_tests() {
    std::lock_guard<std::mutex> lock(g_registry_lock);
    g_registry.clear();
}

int web_libjson_printer(void *stream, const char *bytes, size_t length) {
    g_assert(stream != nullptr);
    GOutputStream *out = G_OUTPUT_STREAM(stream);
    bool failed = false;
    size_t done = 0;
    while (done < length) {
        gsize written = 0;
        GError *err = nullptr;
        if (g_output_stream_write_all(out, bytes + done, length - done, &written, nullptr, &err)) {
            break;
        }
        if (!failed && !g_json_error_logged.exchange(true)) {
            log_message(kTag, "Failed to write API-output: %s", err ? err->message : "?");
        }
        failed = true;
        if (err) g_error_free(err);
        done += written + 1;  // skip the byte that failed and go on with the rest
    }
    if (failed) return -2;
    g_json_error_logged.store(false);
    return 0;
}

const char *web_reply_file(const char *path, int *length) {
    std::lock_guard<std::mutex> lock(g_reply_file_lock);
    if (g_reply_map != MAP_FAILED) {
        munmap(g_reply_map, g_reply_map_length);
        g_reply_map = MAP_FAILED;
        g_reply_map_length = 0;
    }
    static const char kOpenFailed[] = "Open failed!";
    static const char kStatFailed[] = "Stat failed!";
    static const char kMmapFailed[] = "Mmap failed";
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *length = sizeof kOpenFailed - 1;
        return kOpenFailed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size > INT32_MAX) {
        close(fd);
        *length = sizeof kStatFailed - 1;
        return kStatFailed;
    }
    if (st.st_size == 0) {  // nothing to map: an empty file is an empty reply
        close(fd);
        *length = 0;
        return "";
    }
    void *map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        *length = sizeof kMmapFailed - 1;
        return kMmapFailed;
    }
    g_reply_map = map;
    g_reply_map_length = static_cast<size_t>(st.st_size);
    *length = static_cast<int>(st.st_size);
    return static_cast<const char *>(map);
}

void web_error_text(GDataOutputStream *out, const char *fmt, ...) {
    if (out == nullptr) {
        log_message(kTag, "OutputStream was NULL, skipping...");
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vprint(out, fmt, ap);
    va_end(ap);
}

void web_error_html(GDataOutputStream *out, const char *fmt, ...) {
    if (out == nullptr) {
        log_message(kTag, "OutputStream was NULL, skipping...");
        return;
    }
    print(out, "Content-Type: text/html\r\nStatus: %s\r\n\r\n", "200 OK");
    va_list ap;
    va_start(ap, fmt);
    vprint(out, fmt, ap);
    va_end(ap);
}

int web_init(std::atomic<int32_t> *exit_request) {
    g_exit_request = exit_request;
    signal(SIGPIPE, SIG_IGN);
    web_registry_reset_for_tests();  // a fresh registry; endpoints are registered after init
    log_message(kTag, "web init");
    touch(mevo_path(kMarkerFile));
    g_http = vk_http_handler_new(http_callback, nullptr);
    if (g_http == nullptr) {
        log_message(kTag, "web_init(): cannot start the HTTP service");
        request_restart();
        return -1;
    }
    g_loop = g_main_loop_new(nullptr, FALSE);
    log_message(kTag, "creating web api request thread");
    try {
        std::thread([loop = g_loop] { g_main_loop_run(loop); }).detach();
    } catch (const std::system_error &) {
        log_message(kTag, "web_init(): pthread_create() failed\n");
        request_restart();
        return -1;
    }
    // Wait (at most a second) for the loop to run, so start-up logs a meaningful status.
    auto deadline = std::chrono::steady_clock::now() + kLoopStartWait;
    while (!g_main_loop_is_running(g_loop) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    log_message(kTag, "g_loop_thread started, g-loop status: %d", g_main_loop_is_running(g_loop));
    return 0;
}

const char *web_request_user(void) {
    return t_request_user ? t_request_user : "";
}
