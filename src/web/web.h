// HTTP endpoint layer: one registry of named API endpoints served through the platform HTTP
// service, with access levels checked against the caller's privilege (taken from the request
// path), plus small helpers for handlers.
//
// Threads: web_init and the registration functions run on the main thread during start-up;
// all handlers run on the HTTP loop thread, one request at a time. Registration and lookup are
// serialised by a lock, so endpoints may be registered while requests are already served.
#pragma once

#include <gio/gio.h>
#include <glib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Returns the reply bytes and stores their count in *length. The memory stays owned by the
// handler (static buffer, mapped file, buffer in user_data); it may contain NUL bytes.
// `args` is the query after the API name, starting with its '&' ("" when there is none).
using WebBufferHandler = const char *(*)(void *user_data, const char *args, int *length);

// Writes the reply body itself. `params` is the request's decoded query table (char * keys and
// values, owned by the HTTP service); read it with g_hash_table_lookup.
using WebStreamHandler = void (*)(GDataOutputStream *out, void *user_data, GHashTable *params);

// Access levels of an endpoint.
enum WebAccessLevel {
    WEB_ACCESS_VIEWER = 0,    // everybody
    WEB_ACCESS_OPERATOR = 1,  // operator or administrator paths
    WEB_ACCESS_ADMIN = 2,     // administrator path only
    WEB_ACCESS_BY_NAME = 3,   // decided by the operator and administrator name lists
};

// Caller privilege, from the request path.
enum WebPrivilege { WEB_PRIV_VIEWER = 0, WEB_PRIV_OPERATOR = 1, WEB_PRIV_ADMIN = 2 };

// Starts the layer: stores `exit_request` (written 1 to ask for a restart), ignores SIGPIPE,
// creates the marker file /tmp/mevo-web-running, starts the HTTP service and the GLib main loop
// on a thread of its own. Returns 0, or -1 when the service or the thread cannot start (the
// exit request is then set to 1).
int web_init(std::atomic<int32_t> *exit_request);

// Registers an endpoint. `name` and `content_type` are copied. `content_type` is placed after
// "Content-Type: " and may carry further header lines ("...\r\nContent-Disposition: ...").
// `level` is a WebAccessLevel. The first registration of a name wins.
void web_register(const char *name, WebBufferHandler h, void *user_data, const char *content_type,
                  int level);
void web_register_stream(const char *name, WebStreamHandler h, void *user_data,
                         const char *content_type, int level);

// Output callback for json_print_init: `stream` is the handler's GDataOutputStream. Returns 0,
// or -2 when any byte could not be written (logged once until a call succeeds again).
int web_libjson_printer(void *stream, const char *bytes, size_t length);

// Maps `path` read-only and returns it as a reply body with its size in *length; the mapping
// lives until the next call. On failure returns the text "Open failed!", "Stat failed!" or
// "Mmap failed" with its length instead. HTTP loop thread only.
const char *web_reply_file(const char *path, int *length);

// Decodes %XX (either case) and '+' (to a space) in place. A '%' at the end of the string, or
// followed by only one character, ends the string there.
void web_unescape_query(char *s);

// Writes a printf-formatted message to `out`; with a null stream logs that it was skipped.
void web_error_text(GDataOutputStream *out, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// The same, preceded by "Content-Type: text/html\r\nStatus: 200 OK\r\n\r\n".
void web_error_html(GDataOutputStream *out, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Access decision for an endpoint of `level` and `name` asked with `privilege`.
// Returns 1 when allowed, 0 when refused, -1 for an unknown level (refused).
int web_access_allowed(int level, const char *name, int privilege);

// Privilege of a request path: 2 when it contains "apiadmin", else 1 with "apioperator", else 0.
int web_privilege_from_path(const char *path);

// The privilege (WebPrivilege) of the request being handled on the calling thread;
// WEB_PRIV_VIEWER outside a request. For handlers whose reply depends on the caller.
int web_request_privilege(void);

// One request as the HTTP service hands it over. `body` may contain NUL bytes.
struct WebRequest {
    const char *path;
    const char *method;
    const char *query;  // raw (still escaped) query string, "" when none
    const char *body;   // request body or null
    size_t body_length;
    GHashTable *params;  // decoded query parameters, may be null
    // Why the request seems to come from another site's page, null when it does not: a
    // request that changes state is then refused with 403 (see web_changes_state).
    const char *foreign_origin = nullptr;
};

// Whether endpoint `name` called with argument string `args` changes state: the operator and
// administrator name lists, the ground-truth edits, and events.json with "&save=".
bool web_changes_state(const char *name, const char *args);

// The request callback: writes a CGI-style header block and the body to `out`.
// HTTP loop thread (tests may call it directly).
void web_handle_request(const WebRequest *request, GOutputStream *out);

// Stops serving the application's endpoints: waits for the request in progress, then answers
// every later one with 503 "Restarting". The shutdown calls it before it frees what handlers
// read (tracker, track buffer, count store), since the HTTP thread outlives them.
void web_quiesce(void);

// Tests: forget every registered endpoint.
void web_registry_reset_for_tests();

// The authenticated user of the request being handled ("" outside a request). HTTP thread.
const char *web_request_user(void);
