// A reporting server for tests and trials: answers the uploader's API, deciphers what it is
// sent with the same key, records every call as a JSON line, and can be told to misbehave.
// It keeps, per camera (serial number), the rows of every accepted upload and answers the
// newest t_end it has stored as the last saved time, so an uploader resuming after that time
// neither repeats nor skips a track. With --store the rows also go to a file (one JSON line
// per upload: {"camera":..., "rows":[...]}) that is read back at start, so a restarted server
// knows what it holds.
//
//   mevo-report-server [--listen HOST:PORT] [--port-file FILE] [--record FILE] [--store FILE]
//                      [--tls-cert PEM --tls-key PEM] [--version X.Y] [--last-saved T]
//                      [--settings-flag N] [--mode normal|error|upper-ok|slow|silent]
//                      [--delay SECONDS]
// --last-saved is the answer for a camera that has stored nothing newer. GET
// /control?mode=...&version=...&last_saved=...&settings_flag=... changes them at run time
// (last_saved there also replaces what every camera has stored as its newest time).
#include <glib.h>
#include <libsoup/soup.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "params/param.h"

namespace {
struct Server {
    std::string version = "4.0";
    std::string mode = "normal";
    double last_saved = 0;
    int settings_flag = 0;
    int delay = 2;
    std::string record_path;
    std::string store_path;
    std::map<std::string, double> newest;  // camera serial -> newest stored t_end
};
Server g_server;

std::string decipher(const std::string &base64) {
    gsize len = 0;
    guchar *raw = g_base64_decode(base64.c_str(), &len);
    ov_cipher_apply(raw, len);
    std::string plain(reinterpret_cast<char *>(raw), len);
    g_free(raw);
    return plain;
}

// Splits "user##pass##name##serial##document" into its four identity fields and the rest.
std::vector<std::string> split_payload(const std::string &plain, std::string *document) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (fields.size() < 4) {
        size_t sep = plain.find("##", pos);
        if (sep == std::string::npos) {
            fields.push_back(plain.substr(pos));
            pos = plain.size();
            break;
        }
        fields.push_back(plain.substr(pos, sep - pos));
        pos = sep + 2;
    }
    *document = pos < plain.size() ? plain.substr(pos) : "";
    return fields;
}

void record(const std::string &method, const std::vector<std::string> &identity,
            const std::string &document) {
    if (g_server.record_path.empty()) return;
    std::string line = "{\"method\":\"" + json_escape(method) + "\",\"identity\":[";
    for (size_t i = 0; i < identity.size(); ++i)
        line += (i ? ",\"" : "\"") + json_escape(identity[i]) + "\"";
    line += "],\"document\":\"" + json_escape(document) + "\"}\n";
    FILE *f = fopen(g_server.record_path.c_str(), "a");
    if (!f) return;
    fputs(line.c_str(), f);
    fclose(f);
}

double last_saved_for(const std::string &camera) {
    auto it = g_server.newest.find(camera);
    return it == g_server.newest.end() ? g_server.last_saved
                                       : std::max(it->second, g_server.last_saved);
}

// The rows of an upload document ("data": [[t_start, t_end, ...], ...]); false when the
// document is no JSON object or its rows are malformed.
bool document_rows(const std::string &document, nlohmann::json *rows) {
    nlohmann::json doc = nlohmann::json::parse(document, nullptr, false);
    if (!doc.is_object()) return false;
    *rows = doc.value("data", nlohmann::json::array());
    if (!rows->is_array()) return false;
    for (const auto &row : *rows)
        if (!row.is_array() || row.size() < 2 || !row[1].is_number()) return false;
    return true;
}

void keep_rows(const std::string &camera, const nlohmann::json &rows) {
    for (const auto &row : rows) {
        double t_end = row[1].get<double>();
        auto it = g_server.newest.find(camera);
        if (it == g_server.newest.end() || t_end > it->second) g_server.newest[camera] = t_end;
    }
}

// Stores an accepted upload; false (nothing stored) when it cannot be read or written.
bool store_upload(const std::string &camera, const std::string &document) {
    nlohmann::json rows;
    if (!document_rows(document, &rows)) return false;
    if (!g_server.store_path.empty() && !rows.empty()) {
        nlohmann::json line = {{"camera", camera}, {"rows", rows}};
        FILE *f = fopen(g_server.store_path.c_str(), "a");
        if (!f) return false;
        std::string text = line.dump() + "\n";
        bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
        if (fclose(f) != 0 || !ok) return false;
    }
    keep_rows(camera, rows);
    return true;
}

void load_store() {
    std::ifstream in(g_server.store_path);
    std::string line;
    while (std::getline(in, line)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_object() || !j["camera"].is_string() || !j["rows"].is_array()) continue;
        keep_rows(j["camera"].get<std::string>(), j["rows"]);
    }
}

std::string answer(const std::string &method, const std::vector<std::string> &identity,
                   const std::string &document) {
    char buf[64];
    std::string camera = identity.size() == 4 ? identity[3] : "";
    if (method == "version.get") return "{\"version\":\"" + g_server.version + "\"}";
    if (method == "demographics.getLastSavedDataTime") {
        snprintf(buf, sizeof buf, "%.6f", last_saved_for(camera));
        return buf;
    }
    if (method == "demographics.getSettingsFlag") return std::to_string(g_server.settings_flag);
    if (g_server.mode == "upper-ok") return "OK";
    if (method == "demographics.add" && !store_upload(camera, document)) return "error: bad data";
    return "ok";
}

void respond(SoupServerMessage *msg, int status, const std::string &body) {
    soup_server_message_set_status(msg, status, nullptr);
    soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_COPY, body.data(), body.size());
}

struct Delayed {
    SoupServerMessage *msg;
    std::string body;
};

gboolean finish_delayed(gpointer data) {
    auto *d = static_cast<Delayed *>(data);
    respond(d->msg, 200, d->body);
    soup_server_message_unpause(d->msg);
    g_object_unref(d->msg);
    delete d;
    return G_SOURCE_REMOVE;
}

void handle_control(SoupServerMessage *msg, GHashTable *query) {
    auto get = [query](const char *key) -> const char * {
        return query ? static_cast<const char *>(g_hash_table_lookup(query, key)) : nullptr;
    };
    if (const char *v = get("mode")) g_server.mode = v;
    if (const char *v = get("version")) g_server.version = v;
    if (const char *v = get("last_saved")) {
        g_server.last_saved = atof(v);
        for (auto &[camera, newest] : g_server.newest) newest = g_server.last_saved;
    }
    if (const char *v = get("settings_flag")) g_server.settings_flag = atoi(v);
    respond(msg, 200, "ok");
}

void handle_api(SoupServerMessage *msg, GHashTable *query) {
    const char *method =
        query ? static_cast<const char *>(g_hash_table_lookup(query, "method")) : nullptr;
    if (!method) return respond(msg, 400, "no method");
    SoupMessageBody *request = soup_server_message_get_request_body(msg);
    std::string body(request->data ? request->data : "", size_t(request->length));
    std::string document;
    std::vector<std::string> identity;
    if (!body.empty()) identity = split_payload(decipher(body), &document);
    const char *encrypted =
        query ? static_cast<const char *>(g_hash_table_lookup(query, "encrypted")) : nullptr;
    record(std::string(method) + (encrypted && strcmp(encrypted, "true") == 0 ? " encrypted" : ""),
           identity, document);

    if (g_server.mode == "error") return respond(msg, 500, "internal error");
    std::string reply = answer(method, identity, document);
    if (g_server.mode == "slow" || g_server.mode == "silent") {
        soup_server_message_pause(msg);
        if (g_server.mode == "silent") return;  // never answered
        g_object_ref(msg);
        g_timeout_add_seconds(guint(g_server.delay), finish_delayed, new Delayed{msg, reply});
        return;
    }
    respond(msg, 200, reply);
}

void handle(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *query, gpointer) {
    if (strcmp(path, "/control") == 0) return handle_control(msg, query);
    if (strcmp(path, "/api/") == 0 || strcmp(path, "/api") == 0) return handle_api(msg, query);
    respond(msg, 404, "not found");
}

int fail(const char *what, GError *error) {
    fprintf(stderr, "mevo-report-server: %s: %s\n", what, error ? error->message : "");
    if (error) g_error_free(error);
    return 1;
}
}  // namespace

int main(int argc, char **argv) {
    std::string listen = "127.0.0.1:0", port_file, cert, key;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i], val = argv[i + 1];
        if (opt == "--listen")
            listen = val;
        else if (opt == "--port-file")
            port_file = val;
        else if (opt == "--record")
            g_server.record_path = val;
        else if (opt == "--store")
            g_server.store_path = val;
        else if (opt == "--tls-cert")
            cert = val;
        else if (opt == "--tls-key")
            key = val;
        else if (opt == "--version")
            g_server.version = val;
        else if (opt == "--last-saved")
            g_server.last_saved = atof(val.c_str());
        else if (opt == "--settings-flag")
            g_server.settings_flag = atoi(val.c_str());
        else if (opt == "--mode")
            g_server.mode = val;
        else if (opt == "--delay")
            g_server.delay = atoi(val.c_str());
        else {
            fprintf(stderr, "mevo-report-server: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (!g_server.store_path.empty()) load_store();
    GError *error = nullptr;
    SoupServer *server = soup_server_new("server-header", "mevo-report-server", nullptr);
    if (!cert.empty()) {
        GTlsCertificate *tls = g_tls_certificate_new_from_files(cert.c_str(), key.c_str(), &error);
        if (!tls) return fail("cannot load the certificate", error);
        g_object_set(server, "tls-certificate", tls, nullptr);
        g_object_unref(tls);
    }
    soup_server_add_handler(server, nullptr, handle, nullptr, nullptr);
    size_t colon = listen.rfind(':');
    GInetAddress *inet = g_inet_address_new_from_string(listen.substr(0, colon).c_str());
    if (!inet) return fail("bad listen address", nullptr);
    GSocketAddress *addr =
        g_inet_socket_address_new(inet, guint16(atoi(listen.c_str() + colon + 1)));
    g_object_unref(inet);
    auto options = cert.empty() ? SoupServerListenOptions(0) : SOUP_SERVER_LISTEN_HTTPS;
    if (!soup_server_listen(server, addr, options, &error)) return fail("cannot listen", error);
    g_object_unref(addr);

    GSList *uris = soup_server_get_uris(server);
    int port = uris ? g_uri_get_port(static_cast<GUri *>(uris->data)) : 0;
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    printf("listening on port %d\n", port);
    fflush(stdout);
    if (!port_file.empty()) {
        std::string tmp = port_file + ".new";
        FILE *f = fopen(tmp.c_str(), "w");
        if (!f) return fail("cannot write the port file", nullptr);
        fprintf(f, "%d\n", port);
        fclose(f);
        rename(tmp.c_str(), port_file.c_str());
    }
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
    return 0;
}
