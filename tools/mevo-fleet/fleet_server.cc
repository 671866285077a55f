#include "fleet_server.h"

#include <glib-unix.h>
#include <libsoup/soup.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "common/fileutil.h"
#include "common/log.h"
#include "fleet_reports.h"
#include "fleet_store.h"
#include "fleet_upload.h"
#include "platform/http/userdb.h"

namespace {
constexpr const char *TAG = "mevo-fleet";
constexpr goffset MAX_BODY = 8 << 20;  // an upload document is at most 2 MiB before Base64

struct Fleet {
    FleetConfig cfg;
    std::unique_ptr<FleetStore> store;
};

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    size_t b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

const char *query_value(GHashTable *query, const char *key) {
    return query ? static_cast<const char *>(g_hash_table_lookup(query, key)) : nullptr;
}

void reply(SoupServerMessage *msg, int status, const std::string &body,
           const char *type = "text/plain; charset=UTF-8") {
    soup_server_message_set_status(msg, guint(status), nullptr);
    soup_server_message_set_response(msg, type, SOUP_MEMORY_COPY, body.data(), body.size());
}

// The HA1 of `user` in `realm` from an htdigest file; empty when absent.
std::string lookup_ha1(const std::string &path, const std::string &user, const char *realm) {
    std::string text;
    if (path.empty() || file_read_all(path, text) < 0) return {};
    for (const UserdbUser &u : userdb_parse_users(text))
        if (u.name == user && u.realm == realm) return u.ha1;
    return {};
}

bool same_text(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t k = 0; k < a.size(); ++k) diff |= static_cast<unsigned char>(a[k] ^ b[k]);
    return diff == 0;
}

bool uploader_allowed(const Fleet &f, const FleetIdentity &id) {
    if (id.user.empty()) return false;
    std::string ha1 = lookup_ha1(f.cfg.uploaders, id.user, FLEET_UPLOAD_REALM);
    return !ha1.empty() && same_text(ha1, userdb_ha1(id.user, FLEET_UPLOAD_REALM, id.pass));
}

std::string seconds_text(int64_t us) {
    char buf[32];
    snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(us / 1000000),
             static_cast<long long>(us % 1000000));
    return buf;
}

void handle_upload(Fleet *f, SoupServerMessage *msg, const FleetIdentity &id,
                   const std::string &document) {
    FleetUpload upload;
    int skipped = 0;
    std::string why;
    if (!fleet_parse_upload(document, &upload, &skipped, &why)) {
        log_message(TAG, "upload of %s refused: %s", id.serial.c_str(), why.c_str());
        return reply(msg, 400, "error: " + why);
    }
    if (upload.serial.empty()) upload.serial = id.serial;
    if (upload.serial != id.serial) return reply(msg, 400, "error: serial differs from identity");
    if (upload.name.empty()) upload.name = fleet_counter_name(id.camera_name);
    int64_t stored = 0;
    if (f->store->add_upload(upload, int64_t(time(nullptr)), &stored) < 0) {
        log_message(TAG, "upload of %s not stored: %s", id.serial.c_str(),
                    f->store->error().c_str());
        return reply(msg, 500, "error: storage");
    }
    if (skipped)
        log_message(TAG, "upload of %s: %d malformed rows skipped", id.serial.c_str(), skipped);
    reply(
        msg, 200,
        "ok " + std::to_string(stored) + " of " + std::to_string(upload.visits.size()) + " stored");
}

void handle_api(Fleet *f, SoupServerMessage *msg, GHashTable *query) {
    const char *method = query_value(query, "method");
    if (!method) return reply(msg, 400, "error: no method");
    if (strcmp(method, "version.get") == 0)
        return reply(msg, 200, std::string("{\"version\":\"") + FLEET_SERVER_VERSION + "\"}");
    SoupMessageBody *request = soup_server_message_get_request_body(msg);
    std::string body(request->data ? request->data : "", size_t(request->length));
    std::string plain, document;
    FleetIdentity id;
    if (!fleet_decipher(body, &plain) || !fleet_split_identity(plain, &id, &document))
        return reply(msg, 400, "error: bad payload");
    if (!uploader_allowed(*f, id)) {
        log_message(TAG, "refused account '%s' of camera %s", id.user.c_str(), id.serial.c_str());
        return reply(msg, 403, "error: unknown account");
    }
    const std::string m = method;
    if (m == "demographics.getLastSavedDataTime") {
        int64_t last = 0;
        if (f->store->last_end_us(id.serial, &last) < 0) return reply(msg, 500, "error: storage");
        return reply(msg, 200, seconds_text(last));
    }
    if (m == "demographics.getSettingsFlag") {
        bool stored = false;
        if (f->store->has_settings(id.serial, &stored) < 0)
            return reply(msg, 500, "error: storage");
        return reply(msg, 200, stored ? "0" : "1");
    }
    if (m == "demographics.settings") {
        if (f->store->save_settings(id.serial, fleet_counter_name(id.camera_name), document,
                                    int64_t(time(nullptr))) < 0)
            return reply(msg, 500, "error: storage");
        return reply(msg, 200, "ok");
    }
    if (m == "demographics.add") return handle_upload(f, msg, id, document);
    reply(msg, 400, "error: unknown method");
}

// ---- fleet pages and reports ----

bool group_serials(const Fleet &f, const std::string &group, std::vector<std::string> *serials) {
    for (const auto &[name, serial] : f.cfg.groups)
        if (name == group) serials->push_back(serial);
    return !serials->empty();
}

void handle_export(Fleet *f, SoupServerMessage *msg, GHashTable *query, ExportKind kind) {
    FleetReportScope scope;
    scope.timezone = f->cfg.timezone;
    if (const char *camera = query_value(query, "camera")) {
        std::vector<FleetCamera> cameras;
        if (f->store->cameras(&cameras) < 0) return reply(msg, 500, "error: storage");
        const FleetCamera *found = nullptr;
        for (const FleetCamera &c : cameras)
            if (c.serial == camera) found = &c;
        if (!found) return reply(msg, 404, "unknown camera");
        scope.serials = {found->serial};
        scope.serial_field = found->serial;
        scope.name_field = found->name;
        if (!found->timezone.empty()) scope.timezone = found->timezone;
    } else if (const char *group = query_value(query, "group")) {
        if (!group_serials(*f, group, &scope.serials)) return reply(msg, 404, "unknown group");
        scope.name_field = group;
    } else {
        scope.name_field = "all cameras";
    }
    if (const char *tz = query_value(query, "tz")) scope.timezone = tz;
    const char *raw = g_uri_get_query(soup_server_message_get_uri(msg));
    std::string body;
    int status =
        fleet_export(f->store.get(), kind, scope, std::string("&") + (raw ? raw : ""), &body);
    if (status == 500) return reply(msg, 500, "error: storage");
    reply(msg, status, body);
}

void handle_cameras(Fleet *f, SoupServerMessage *msg, GHashTable *query, bool stale_only) {
    FleetReportConfig rc;
    rc.timezone = f->cfg.timezone;
    rc.stale_seconds = f->cfg.stale_hours * 3600;
    if (const char *hours = query_value(query, "hours")) rc.stale_seconds = atoi(hours) * 3600;
    std::string body;
    if (fleet_cameras_json(f->store.get(), rc, f->cfg.groups, int64_t(time(nullptr)), stale_only,
                           &body) != 200)
        return reply(msg, 500, "error: storage");
    reply(msg, 200, body, "application/json");
}

const char *content_type(const std::string &name) {
    auto ends = [&name](const char *ext) {
        size_t n = strlen(ext);
        return name.size() >= n && name.compare(name.size() - n, n, ext) == 0;
    };
    if (ends(".html")) return "text/html; charset=UTF-8";
    if (ends(".css")) return "text/css";
    if (ends(".js")) return "text/javascript";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

void handle_file(Fleet *f, SoupServerMessage *msg, const std::string &name) {
    bool safe = !name.empty() && name.find("..") == std::string::npos && name[0] != '/';
    for (char ch : name)
        safe = safe && (g_ascii_isalnum(ch) || ch == '.' || ch == '-' || ch == '_' || ch == '/');
    std::string text;
    if (!safe || f->cfg.html.empty() || file_read_all(f->cfg.html + "/" + name, text) < 0)
        return reply(msg, 404, "not found");
    reply(msg, 200, text, content_type(name));
}

void handle(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *query,
            gpointer data) {
    auto *f = static_cast<Fleet *>(data);
    const std::string p = path;
    if (p == "/api" || p == "/api/") return handle_api(f, msg, query);
    if (p == "/" || p == "/fleet") {
        soup_server_message_set_redirect(msg, SOUP_STATUS_FOUND, "/fleet/");
        return;
    }
    if (p == "/fleet/api/cameras.json") return handle_cameras(f, msg, query, false);
    if (p == "/fleet/api/stale.json") return handle_cameras(f, msg, query, true);
    if (p == "/fleet/api/export-csv") return handle_export(f, msg, query, EXPORT_CSV);
    if (p == "/fleet/api/export-json") return handle_export(f, msg, query, EXPORT_JSON);
    if (p == "/fleet/") return handle_file(f, msg, "index.html");
    if (p.rfind("/fleet/", 0) == 0) return handle_file(f, msg, p.substr(7));
    reply(msg, 404, "not found");
}

char *digest_password(SoupAuthDomain *, SoupServerMessage *, const char *user, gpointer data) {
    auto *f = static_cast<Fleet *>(data);
    std::string ha1 = lookup_ha1(f->cfg.users, user, FLEET_REALM);
    return ha1.empty() ? nullptr : g_strdup(ha1.c_str());
}

// Refuses an oversized body from its headers, before it is read.
void check_length(SoupServerMessage *msg, gpointer) {
    SoupMessageHeaders *h = soup_server_message_get_request_headers(msg);
    if (soup_message_headers_get_content_length(h) > MAX_BODY)
        soup_server_message_set_status(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
}

void request_started(SoupServer *, SoupServerMessage *msg, gpointer) {
    g_signal_connect(msg, "got-headers", G_CALLBACK(check_length), nullptr);
}

gboolean quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

int fail(const char *what, GError *error) {
    log_message(TAG, "%s: %s", what, error ? error->message : "");
    if (error) g_error_free(error);
    return 1;
}

int write_port_file(const std::string &path, int port) {
    std::string text = std::to_string(port) + "\n";
    return file_write_atomic(path, text.data(), text.size());
}
}  // namespace

int fleet_config_set(FleetConfig *cfg, const std::string &key, const std::string &value) {
    std::string *field = key == "listen"      ? &cfg->listen
                         : key == "database"  ? &cfg->database
                         : key == "users"     ? &cfg->users
                         : key == "uploaders" ? &cfg->uploaders
                         : key == "html"      ? &cfg->html
                         : key == "timezone"  ? &cfg->timezone
                         : key == "tls_cert"  ? &cfg->tls_cert
                         : key == "tls_key"   ? &cfg->tls_key
                         : key == "port_file" ? &cfg->port_file
                                              : nullptr;
    if (field) {
        *field = value;
    } else if (key == "stale_hours") {
        cfg->stale_hours = atoi(value.c_str());
    } else if (key.rfind("group.", 0) == 0 && key.size() > 6) {
        std::stringstream serials(value);
        std::string serial;
        while (std::getline(serials, serial, ','))
            if (!trim(serial).empty()) cfg->groups.emplace_back(key.substr(6), trim(serial));
    } else {
        return -1;
    }
    return 0;
}

int fleet_config_read(const std::string &path, FleetConfig *cfg, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return -1;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        size_t eq = line.find('=');
        std::string key = eq == std::string::npos ? "" : trim(line.substr(0, eq));
        if (key.empty() || fleet_config_set(cfg, key, trim(line.substr(eq + 1))) < 0) {
            *error = path + ":" + std::to_string(number) + ": expected a known key = value";
            return -1;
        }
    }
    return 0;
}

int fleet_server_run(const FleetConfig &cfg) {
    Fleet fleet;
    fleet.cfg = cfg;
    std::string error;
    fleet.store = fleet_store_open(cfg.database, &error);
    if (!fleet.store) {
        log_message(TAG, "cannot open the database %s: %s", cfg.database.c_str(), error.c_str());
        return 1;
    }
    GError *gerror = nullptr;
    SoupServer *server = soup_server_new("server-header", "mevo-fleet", nullptr);
    if (!cfg.tls_cert.empty()) {
        GTlsCertificate *tls =
            g_tls_certificate_new_from_files(cfg.tls_cert.c_str(), cfg.tls_key.c_str(), &gerror);
        if (!tls) return fail("cannot load the certificate", gerror);
        g_object_set(server, "tls-certificate", tls, nullptr);
        g_object_unref(tls);
    }
    SoupAuthDomain *domain = soup_auth_domain_digest_new("realm", FLEET_REALM, nullptr);
    soup_auth_domain_add_path(domain, "/fleet");
    soup_auth_domain_digest_set_auth_callback(domain, digest_password, &fleet, nullptr);
    soup_server_add_auth_domain(server, domain);
    g_object_unref(domain);
    g_signal_connect(server, "request-started", G_CALLBACK(request_started), nullptr);
    soup_server_add_handler(server, nullptr, handle, &fleet, nullptr);

    size_t colon = cfg.listen.rfind(':');
    GInetAddress *inet = colon == std::string::npos
                             ? nullptr
                             : g_inet_address_new_from_string(cfg.listen.substr(0, colon).c_str());
    if (!inet) return fail("bad listen address (HOST:PORT with a numeric host)", nullptr);
    GSocketAddress *addr =
        g_inet_socket_address_new(inet, guint16(atoi(cfg.listen.c_str() + colon + 1)));
    g_object_unref(inet);
    auto options = cfg.tls_cert.empty() ? SoupServerListenOptions(0) : SOUP_SERVER_LISTEN_HTTPS;
    gboolean listening = soup_server_listen(server, addr, options, &gerror);
    g_object_unref(addr);
    if (!listening) return fail("cannot listen", gerror);

    GSList *uris = soup_server_get_uris(server);
    int port = uris ? g_uri_get_port(static_cast<GUri *>(uris->data)) : 0;
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    log_message(TAG, "listening on port %d (%s database)", port, fleet.store->engine());
    if (!cfg.port_file.empty() && write_port_file(cfg.port_file, port) < 0)
        return fail("cannot write the port file", nullptr);

    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, quit, loop);
    g_unix_signal_add(SIGINT, quit, loop);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    soup_server_disconnect(server);
    g_object_unref(server);
    log_message(TAG, "stopped");
    return 0;
}
