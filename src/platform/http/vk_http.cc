#include "platform/http/vk_http.h"

#include <libsoup/soup.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "platform/http/connections.h"
#include "platform/http/digest_nonces.h"
#include "platform/http/origin.h"
#include "platform/http/userdb.h"

namespace {

constexpr const char *kTag = "vk_http";
constexpr const char *kAppPrefix = "/local/mevo";
constexpr const char *kUserKey = "mevo-user";
constexpr const char *kAddressFile = "/tmp/mevo-http.addr";
constexpr const char *kDiagnosticHeader = "X-Mevo-Diagnostic";
constexpr size_t kMaxDiagnosticLength = 512;
// Connections: a few browsers' worth, and never more than a quarter of the process's
// descriptors, so that the count store, capture and logs always find theirs.
constexpr size_t kMaxConnections = 64;
constexpr size_t kMinConnections = 4;
constexpr gint64 kHeaderTimeoutSeconds = 10;
constexpr gint64 kIdleTimeoutSeconds = 15;
constexpr gint64 kIoTimeoutSeconds = 30;

enum class Route { kApiViewer, kApiOperator, kApiAdmin, kRestore, kStatic, kAppRoot };

Route route_of(std::string_view path) {
    if (path == "/local/mevo/api") return Route::kApiViewer;
    if (path == "/local/mevo/apioperator") return Route::kApiOperator;
    if (path == "/local/mevo/apiadmin") return Route::kApiAdmin;
    if (path == "/local/mevo/apiadmin/restore_backup") return Route::kRestore;
    if (path == "/local/mevo") return Route::kAppRoot;
    return Route::kStatic;
}

int required_level(Route r) {
    switch (r) {
        case Route::kApiOperator:
            return USERDB_LEVEL_OPERATOR;
        case Route::kApiAdmin:
        case Route::kRestore:
            return USERDB_LEVEL_ADMIN;
        default:
            return USERDB_LEVEL_VIEWER;
    }
}

// The methods a route answers, as an Allow header lists them. HEAD is for pages only: on an
// API path it would run the endpoint (a restart, a clear) and throw the reply away.
const char *allowed_methods(Route r) {
    switch (r) {
        case Route::kRestore:
            return "POST";
        case Route::kStatic:
        case Route::kAppRoot:
            return "GET, HEAD";
        default:
            return "GET";
    }
}

bool method_allowed(Route r, const char *method) {
    gchar **names = g_strsplit(allowed_methods(r), ", ", -1);
    bool found = g_strv_contains(names, method);
    g_strfreev(names);
    return found;
}

// Endpoint paths: what reaches the application rather than a file.
bool is_endpoint(Route r) {
    return r == Route::kApiViewer || r == Route::kApiOperator || r == Route::kApiAdmin ||
           r == Route::kRestore;
}

void reply_text(SoupServerMessage *msg, unsigned status, const char *text) {
    soup_server_message_set_status(msg, status, nullptr);
    soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_COPY, text, strlen(text));
}

const char *message_path(SoupServerMessage *msg) {
    return g_uri_get_path(soup_server_message_get_uri(msg));
}

}  // namespace

struct VkHttpHandler {
    SoupServer *server = nullptr;
    VkDigestNonces *nonces = nullptr;
    VkHttpConnections *connections = nullptr;
    VkHttpRequestCallback callback = nullptr;
    void *user_data = nullptr;
    size_t max_body = VK_HTTP_DEFAULT_MAX_BODY;
    std::string address;
};

namespace {

// ---- HTTP Digest (RFC 7616 with MD5, qop "auth" or none) ----
// Done here rather than by libsoup's digest domain, whose check of the "uri" field fails for
// request targets with percent escapes (any query with a space or '&' in a value).

std::string md5_hex(const std::string &text) {
    gchar *hex = g_compute_checksum_for_string(G_CHECKSUM_MD5, text.c_str(),
                                               static_cast<gssize>(text.size()));
    std::string out = hex;
    g_free(hex);
    return out;
}

void challenge(VkHttpHandler *h, SoupServerMessage *msg, bool stale) {
    std::string value = std::string("Digest realm=\"") + USERDB_REALM + "\", nonce=\"" +
                        vk_digest_nonce_issue(h->nonces, g_get_monotonic_time()) +
                        "\", qop=\"auth\", algorithm=MD5" + (stale ? ", stale=true" : "");
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "WWW-Authenticate",
                                 value.c_str());
    reply_text(msg, SOUP_STATUS_UNAUTHORIZED, "Unauthorized\n");
}

std::string unescaped(const char *text) {
    char *u = g_uri_unescape_string(text, nullptr);
    std::string out = u ? u : text;
    g_free(u);
    return out;
}

// The request target the client signed must be this request's (compared unescaped, as
// clients and libsoup differ in which characters they escape).
bool same_target(SoupServerMessage *msg, const char *digest_uri) {
    GUri *uri = soup_server_message_get_uri(msg);
    std::string target = g_uri_get_path(uri);
    if (const char *q = g_uri_get_query(uri)) target += std::string("?") + q;
    return unescaped(target.c_str()) == unescaped(digest_uri);
}

// Returns the authenticated user name, or "" (with *stale set when only the nonce expired).
std::string digest_user(VkHttpHandler *h, SoupServerMessage *msg, bool *stale) {
    *stale = false;
    const char *auth =
        soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Authorization");
    if (auth == nullptr || g_ascii_strncasecmp(auth, "Digest ", 7) != 0) return "";
    GHashTable *p = soup_header_parse_param_list(auth + 7);
    auto get = [p](const char *k) {
        auto *v = static_cast<const char *>(g_hash_table_lookup(p, k));
        return std::string(v ? v : "");
    };
    std::string user = get("username"), nonce = get("nonce"), uri = get("uri");
    std::string response = get("response"), qop = get("qop"), algorithm = get("algorithm");
    std::string nc = get("nc");
    std::string ha1;
    // qop "auth" is required: without it there is no nonce count, and a request could be
    // replayed for the nonce's whole life.
    bool ok = !user.empty() && get("realm") == USERDB_REALM && !uri.empty() &&
              (algorithm.empty() || g_ascii_strcasecmp(algorithm.c_str(), "MD5") == 0) &&
              qop == "auth" && same_target(msg, uri.c_str()) && userdb_lookup_ha1(user, ha1) == 0;
    if (ok) {
        std::string ha2 = md5_hex(std::string(soup_server_message_get_method(msg)) + ":" + uri);
        std::string expected =
            md5_hex(ha1 + ":" + nonce + ":" + nc + ":" + get("cnonce") + ":" + qop + ":" + ha2);
        ok = g_ascii_strcasecmp(expected.c_str(), response.c_str()) == 0;
    }
    g_hash_table_destroy(p);
    if (!ok) return "";
    // Right password on a nonce we no longer honour (expired, issued before a restart, or
    // its count already used): "stale" lets a browser retry at once with a fresh nonce
    // instead of asking for the password; a replayed capture cannot answer the new nonce.
    if (vk_digest_nonce_use(h->nonces, nonce, nc, g_get_monotonic_time()) !=
        VkNonceUse::kAccepted) {
        *stale = true;
        return "";
    }
    return user;
}

// Whether the request announces a body (that libsoup would read before replying).
bool has_body(SoupServerMessage *msg) {
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(msg);
    switch (soup_message_headers_get_encoding(headers)) {
        case SOUP_ENCODING_CONTENT_LENGTH:
            return soup_message_headers_get_content_length(headers) > 0;
        case SOUP_ENCODING_NONE:
            return false;
        default:
            return true;
    }
}

// Settles the request from its headers: "" to go on, or sets the refusal on `msg`.
bool refused_from_headers(VkHttpHandler *h, SoupServerMessage *msg, Route route) {
    bool stale = false;
    std::string user = digest_user(h, msg, &stale);
    if (user.empty()) {
        challenge(h, msg, stale);
        return true;
    }
    g_object_set_data_full(G_OBJECT(msg), kUserKey, g_strdup(user.c_str()), g_free);
    if (userdb_user_level(user) < required_level(route)) {
        reply_text(msg, SOUP_STATUS_FORBIDDEN, "Forbidden\n");
        return true;
    }
    if (!method_allowed(route, soup_server_message_get_method(msg))) {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow",
                                     allowed_methods(route));
        reply_text(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "Method not allowed\n");
        return true;
    }
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(msg);
    SoupEncoding enc = soup_message_headers_get_encoding(headers);
    if (enc == SOUP_ENCODING_CHUNKED || enc == SOUP_ENCODING_EOF) {
        reply_text(msg, SOUP_STATUS_LENGTH_REQUIRED, "Request body needs a Content-Length\n");
        return true;
    }
    if (enc == SOUP_ENCODING_CONTENT_LENGTH &&
        static_cast<guint64>(soup_message_headers_get_content_length(headers)) > h->max_body) {
        char text[96];
        snprintf(text, sizeof text, "Request body too large (limit %zu bytes)\n", h->max_body);
        reply_text(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, text);
        return true;
    }
    return false;
}

// Runs once the request headers are in, before any body is read: authentication, group,
// method and body size are settled here. A refused request's body is never read: the
// connection is answered and closed instead (libsoup would read, and keep, all of it first).
void early_handler(SoupServer *, SoupServerMessage *msg, const char *, GHashTable *,
                   gpointer data) {
    auto *h = static_cast<VkHttpHandler *>(data);
    Route route = route_of(message_path(msg));
    if (refused_from_headers(h, msg, route) && has_body(msg)) {
        vk_http_connections_refuse_body(h->connections, msg);
    }
}

const char *content_type_for(const std::string &path) {
    static const struct {
        const char *ext;
        const char *type;
    } kTypes[] = {{".html", "text/html; charset=UTF-8"},
                  {".htm", "text/html; charset=UTF-8"},
                  {".css", "text/css"},
                  {".js", "application/javascript"},
                  {".json", "application/json"},
                  {".png", "image/png"},
                  {".jpg", "image/jpeg"},
                  {".jpeg", "image/jpeg"},
                  {".gif", "image/gif"},
                  {".svg", "image/svg+xml"},
                  {".ico", "image/x-icon"},
                  {".txt", "text/plain; charset=UTF-8"}};
    for (const auto &t : kTypes) {
        size_t n = strlen(t.ext);
        if (path.size() > n && path.compare(path.size() - n, n, t.ext) == 0) return t.type;
    }
    return "application/octet-stream";
}

// Folders outside html/ that the ground-truth recorder links into the pages: camera pictures.
constexpr const char *kPictureRoots[] = {"/tmp/tmp_tracks", "/var/spool/storage/SD_DISK/faces"};
// Written by the privacy script while the mode is on: the picture (below html/) to show instead.
constexpr const char *kPrivacyModeFile = "/etc/privacy-mode";

bool real_path_under(const char *file_real, const std::string &dir) {
    char dir_real[PATH_MAX];
    if (realpath(dir.c_str(), dir_real) == nullptr) return false;
    std::string prefix = std::string(dir_real) + "/";
    return strncmp(file_real, prefix.c_str(), prefix.size()) == 0;
}

struct StaticFile {
    std::string path;             // real path, "" when refused
    bool camera_picture = false;  // reached through a recorder link
};

// Maps the encoded URL path below /local/mevo/ to a file in the package's html folder (or in
// a recorder picture folder linked from it), refusing malformed paths and paths that leave
// those folders (also through a symbolic link).
StaticFile static_file_for(const char *path) {
    std::string_view rest(path);
    rest.remove_prefix(strlen(kAppPrefix) + 1);
    char *decoded = g_uri_unescape_segment(rest.data(), rest.data() + rest.size(), "/");
    if (decoded == nullptr) return {};
    std::string rel(decoded);
    g_free(decoded);
    if (rel.find('\0') != std::string::npos) return {};
    size_t start = 0;
    while (start <= rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) end = rel.size();
        std::string_view seg(rel.data() + start, end - start);
        if (seg == ".." || seg == ".") return {};
        start = end + 1;
    }
    if (rel.empty() || rel.back() == '/') rel += "index.html";
    std::string root = mevo_package_dir() + "/html";
    char file_real[PATH_MAX];
    if (realpath((root + "/" + rel).c_str(), file_real) == nullptr) return {};
    if (real_path_under(file_real, root)) return {file_real, false};
    for (const char *pictures : kPictureRoots)
        if (real_path_under(file_real, mevo_path(pictures))) return {file_real, true};
    return {};
}

// While the privacy mode is on, camera pictures are answered with the privacy picture.
std::string privacy_picture() {
    std::string picture;
    if (file_read_all(mevo_path(kPrivacyModeFile), picture) != 0) return "";
    while (!picture.empty() && (picture.back() == '\n' || picture.back() == ' '))
        picture.pop_back();
    if (picture.empty() || picture.find("..") != std::string::npos) return "";
    return mevo_package_dir() + "/html/" + picture;
}

void serve_static(SoupServerMessage *msg) {
    StaticFile file = static_file_for(message_path(msg));
    if (file.camera_picture) {
        std::string replacement = privacy_picture();
        if (!replacement.empty()) file.path = replacement;
    }
    std::string content;
    if (file.path.empty() || !g_file_test(file.path.c_str(), G_FILE_TEST_IS_REGULAR) ||
        file_read_all(file.path, content) != 0) {
        reply_text(msg, SOUP_STATUS_NOT_FOUND, "Not found\n");
        return;
    }
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_server_message_set_response(msg, content_type_for(file.path), SOUP_MEMORY_COPY,
                                     content.data(), content.size());
}

// Header values may not carry control characters; the diagnostic is for people only.
std::string header_safe(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, kMaxDiagnosticLength)) {
        auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u >= 0x7f) ? ' ' : c;
    }
    return out;
}

void apply_reply(SoupServerMessage *msg, const VkHttpReply &reply) {
    SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
    std::string_view extra(reply.extra_headers);
    while (!extra.empty()) {
        size_t eol = extra.find("\r\n");
        std::string_view line = extra.substr(0, eol);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            std::string name(line.substr(0, colon));
            std::string value(line.substr(colon + 1));
            value.erase(0, value.find_first_not_of(" \t"));
            soup_message_headers_append(headers, name.c_str(), value.c_str());
        }
        if (eol == std::string_view::npos) break;
        extra.remove_prefix(eol + 2);
    }
    soup_server_message_set_status(msg, reply.status, nullptr);
    // HTTP forbids a body with 204 and 304; the text is kept visible as a header.
    if (reply.status == SOUP_STATUS_NO_CONTENT || reply.status == SOUP_STATUS_NOT_MODIFIED) {
        if (!reply.body.empty()) {
            soup_message_headers_replace(headers, kDiagnosticHeader,
                                         header_safe(reply.body).c_str());
        }
        return;
    }
    soup_server_message_set_response(
        msg, reply.content_type.empty() ? nullptr : reply.content_type.c_str(), SOUP_MEMORY_COPY,
        reply.body.data(), reply.body.size());
}

void app_handler(SoupServer *, SoupServerMessage *msg, const char *, GHashTable *query,
                 gpointer data) {
    auto *h = static_cast<VkHttpHandler *>(data);
    auto *user = static_cast<const char *>(g_object_get_data(G_OBJECT(msg), kUserKey));
    if (user == nullptr) {  // the early handler did not pass this request
        reply_text(msg, SOUP_STATUS_UNAUTHORIZED, "Unauthorized\n");
        return;
    }
    const char *path = message_path(msg);
    Route route = route_of(path);
    if (route == Route::kAppRoot) {
        soup_server_message_set_redirect(msg, SOUP_STATUS_MOVED_PERMANENTLY, "/local/mevo/");
        return;
    }
    if (!is_endpoint(route)) {
        serve_static(msg);
        return;
    }
    GBytes *body = soup_message_body_flatten(soup_server_message_get_request_body(msg));
    gsize body_len = 0;
    const void *body_data = g_bytes_get_data(body, &body_len);
    GHashTable *params =
        query ? g_hash_table_ref(query) : g_hash_table_new(g_str_hash, g_str_equal);
    const char *raw_query = g_uri_get_query(soup_server_message_get_uri(msg));
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(msg);
    std::string foreign =
        vk_http_foreign_origin(soup_message_headers_get_one(headers, "Host"),
                               soup_message_headers_get_one(headers, "Sec-Fetch-Site"),
                               soup_message_headers_get_one(headers, "Origin"),
                               soup_message_headers_get_one(headers, "Referer"));
    VkHttpRequest req{path,
                      soup_server_message_get_method(msg),
                      raw_query ? raw_query : "",
                      body_len ? static_cast<const char *>(body_data) : nullptr,
                      body_len,
                      params,
                      user,
                      foreign.empty() ? nullptr : foreign.c_str()};
    GOutputStream *out = g_memory_output_stream_new_resizable();
    h->callback(&req, out, h->user_data);
    g_output_stream_close(out, nullptr, nullptr);
    auto *mem = G_MEMORY_OUTPUT_STREAM(out);
    VkHttpReply reply;
    if (vk_http_parse_reply(static_cast<const char *>(g_memory_output_stream_get_data(mem)),
                            g_memory_output_stream_get_data_size(mem), reply) != 0) {
        log_message(kTag, "handler for %s wrote no complete header", path);
        reply_text(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, "Handler wrote no reply header\n");
    } else {
        apply_reply(msg, reply);
    }
    g_object_unref(out);
    g_hash_table_unref(params);
    g_bytes_unref(body);
}

// Splits "host:port" ("[v6]:port" too); false when malformed.
bool parse_address(const std::string &text, std::string &host, guint16 &port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    char *end = nullptr;
    errno = 0;
    long p = strtol(text.c_str() + colon + 1, &end, 10);
    if (errno != 0 || *end != '\0' || end == text.c_str() + colon + 1 || p < 0 || p > 65535) {
        return false;
    }
    port = static_cast<guint16>(p);
    return true;
}

size_t max_body_from_env() {
    const char *v = getenv("MEVO_HTTP_MAX_BODY");
    if (v == nullptr || *v == '\0') return VK_HTTP_DEFAULT_MAX_BODY;
    char *end = nullptr;
    unsigned long long n = strtoull(v, &end, 10);
    if (*end != '\0' || n == 0) return VK_HTTP_DEFAULT_MAX_BODY;
    return static_cast<size_t>(n);
}

// MEVO_HTTP_TIMEOUT (seconds) shortens the timeouts for tests: header and idle wait that
// long, a stalled body or reply twice that.
VkHttpLimits limits() {
    VkHttpLimits l{};
    struct rlimit files {};
    size_t quarter = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                         ? static_cast<size_t>(files.rlim_cur / 4)
                         : kMaxConnections;
    l.max_connections = std::clamp(quarter, kMinConnections, kMaxConnections);
    l.header_timeout_us = kHeaderTimeoutSeconds * G_USEC_PER_SEC;
    l.idle_timeout_us = kIdleTimeoutSeconds * G_USEC_PER_SEC;
    l.io_timeout_us = kIoTimeoutSeconds * G_USEC_PER_SEC;
    const char *v = getenv("MEVO_HTTP_TIMEOUT");
    double seconds = v ? g_ascii_strtod(v, nullptr) : 0;
    if (seconds > 0) {
        auto us = static_cast<gint64>(seconds * G_USEC_PER_SEC);
        l.header_timeout_us = l.idle_timeout_us = us;
        l.io_timeout_us = 2 * us;
    }
    return l;
}

int listen_on(VkHttpHandler *h, const std::string &listen_address) {
    std::string host;
    guint16 port = 0;
    if (!parse_address(listen_address, host, port)) {
        log_message(kTag, "bad listen address '%s' (want host:port)", listen_address.c_str());
        return -1;
    }
    GSocketAddress *addr = g_inet_socket_address_new_from_string(host.c_str(), port);
    if (addr == nullptr) {
        log_message(kTag, "bad listen host '%s'", host.c_str());
        return -1;
    }
    GError *err = nullptr;
    gboolean ok =
        soup_server_listen(h->server, addr, static_cast<SoupServerListenOptions>(0), &err);
    g_object_unref(addr);
    if (!ok) {
        log_message(kTag, "cannot listen on %s: %s", listen_address.c_str(), err->message);
        g_error_free(err);
        return -1;
    }
    GSList *uris = soup_server_get_uris(h->server);
    int actual = uris ? g_uri_get_port(static_cast<GUri *>(uris->data)) : port;
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    bool v6 = host.find(':') != std::string::npos;
    h->address = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(actual);
    std::string file = mevo_path(kAddressFile);
    file_mkdir_p(file.substr(0, file.rfind('/')));
    if (file_write_atomic(file, h->address.data(), h->address.size()) != 0) {
        log_message(kTag, "cannot write %s", file.c_str());
    }
    log_message(kTag, "listening on http://%s%s/", h->address.c_str(), kAppPrefix);
    return 0;
}

}  // namespace

int vk_http_parse_reply(const char *data, size_t length, VkHttpReply &reply) {
    std::string_view all(data ? data : "", data ? length : 0);
    size_t end = all.find("\r\n\r\n");
    if (end == std::string_view::npos) return -1;
    reply = VkHttpReply{};
    reply.body.assign(all.substr(end + 4));
    std::string_view head = all.substr(0, end);
    bool first = true;
    while (true) {
        size_t eol = head.find("\r\n");
        std::string_view line = head.substr(0, eol);
        if (first && line.substr(0, 5) == "HTTP/") {
            size_t sp = line.find(' ');
            reply.status =
                sp == std::string_view::npos
                    ? 0
                    : static_cast<unsigned>(atoi(std::string(line.substr(sp + 1)).c_str()));
        } else if (line.size() > 7 && g_ascii_strncasecmp(line.data(), "Status:", 7) == 0) {
            reply.status = static_cast<unsigned>(atoi(std::string(line.substr(7)).c_str()));
        } else if (line.size() > 13 && g_ascii_strncasecmp(line.data(), "Content-Type:", 13) == 0) {
            std::string_view v = line.substr(13);
            while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
            reply.content_type.assign(v);
        } else if (!line.empty() && line.find(':') != std::string_view::npos) {
            reply.extra_headers.append(line);
            reply.extra_headers.append("\r\n");
        }
        first = false;
        if (eol == std::string_view::npos) break;
        head.remove_prefix(eol + 2);
    }
    if (reply.status < 100 || reply.status > 599) return -1;
    return 0;
}

VkHttpHandler *vk_http_handler_new(VkHttpRequestCallback callback, void *user_data) {
    if (callback == nullptr) return nullptr;
    auto *h = new VkHttpHandler;
    h->callback = callback;
    h->user_data = user_data;
    h->max_body = max_body_from_env();
    h->nonces = vk_digest_nonces_new();
    if (h->nonces == nullptr) {
        delete h;
        return nullptr;
    }
    h->server = soup_server_new("server-header", "mevo", nullptr);
    soup_server_add_early_handler(h->server, kAppPrefix, early_handler, h, nullptr);
    soup_server_add_handler(h->server, kAppPrefix, app_handler, h, nullptr);
    const char *env = getenv("MEVO_HTTP");
    std::string listen_address = (env && *env) ? env : VK_HTTP_DEFAULT_ADDRESS;
    if (listen_on(h, listen_address) != 0) {
        vk_http_handler_free(h);
        return nullptr;
    }
    GSList *listeners = soup_server_get_listeners(h->server);
    h->connections = vk_http_connections_new(h->server, G_SOCKET(listeners->data), limits());
    g_slist_free(listeners);
    return h;
}

void vk_http_handler_free(VkHttpHandler *handler) {
    if (handler == nullptr) return;
    vk_http_connections_free(handler->connections);
    if (handler->server) {
        soup_server_disconnect(handler->server);
        g_object_unref(handler->server);
    }
    vk_digest_nonces_free(handler->nonces);
    delete handler;
}

size_t vk_http_handler_connections(const VkHttpHandler *handler) {
    return handler ? vk_http_connections_count(handler->connections) : 0;
}

std::string vk_http_handler_address(const VkHttpHandler *handler) {
    return handler ? handler->address : std::string();
}
