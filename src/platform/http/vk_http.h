// Host stand-in for the camera's HTTP handler service: a libsoup server in the GLib main loop.
//
// Paths (all need HTTP Digest authentication, MD5 with qop "auth", realm USERDB_REALM, users
// and groups from userdb.h, edited by pwdgrp.cgi; nonces live 300 s and each nonce count is
// accepted once and only above the last one, else 401 with "stale=true"):
//   /local/mevo/api?QUERY                   groups viewer, operator or admin
//   /local/mevo/apioperator?QUERY           operator or admin
//   /local/mevo/apiadmin?QUERY              admin
//   /local/mevo/apiadmin/restore_backup     admin, POST only
//   /local/mevo/<file>                      viewer..admin: static file from the package's html/
//                                           ("/local/mevo/" serves index.html; no "..", no
//                                           symbolic links leaving the folder)
// A missing or wrong login gets 401, a user below the path's group 403, before the application
// sees anything. Request bodies above the limit get 413 (411 without a Content-Length), also
// before the body is read: such a refusal closes the connection without reading the body.
// Methods: GET on API paths, POST on restore_backup, GET and HEAD on pages; any other gets 405
// with an Allow header (HEAD never runs an endpoint). A malformed URL escape gets 400.
//
// Connections (connections.h): keep-alive, closed when the client closes them, after 15 s
// idle, 10 s without complete request headers or 30 s without progress on a body or reply
// (MEVO_HTTP_TIMEOUT=seconds shortens all three for tests); at most 64 open, and at most a
// quarter of RLIMIT_NOFILE, so the web service cannot take the descriptors of the rest.
//
// The application callback writes a CGI-style reply into `out`: header lines ("Status: 403 ..",
// "Content-Type: ..", any other "Name: value" line, or a leading "HTTP/1.1 204 No Content" status
// line), a blank line, then the body. The service turns that into the HTTP response. HTTP does
// not allow a body with 204, so a 204 reply's text is sent in the header X-Mevo-Diagnostic
// (control characters blanked, at most 512 bytes).
//
// Threads: vk_http_handler_new attaches the server to the thread-default main context of the
// caller (the global default context when none is pushed); requests are served, one at a time,
// by whichever thread runs that context. vk_http_handler_free must be called on that thread or
// when the loop has stopped.
#pragma once

#include <gio/gio.h>
#include <glib.h>

#include <cstddef>
#include <string>

struct VkHttpRequest {
    const char *path;    // URL path, e.g. "/local/mevo/apiadmin"
    const char *method;  // "GET", "POST", ...
    const char *query;   // raw (still escaped) query string, "" when none
    const char *body;    // request body, may contain NUL bytes; null when empty
    size_t body_length;
    GHashTable *params;  // decoded query parameters (char * -> char *), never null
    const char *user;    // authenticated user name
    // Why the request seems to come from another site's page (Sec-Fetch-Site, Origin or
    // Referer naming another origin than the camera's), null when it does not.
    const char *foreign_origin;
};

using VkHttpRequestCallback = void (*)(const VkHttpRequest *request, GOutputStream *out,
                                       void *user_data);

struct VkHttpHandler;

inline constexpr const char *VK_HTTP_DEFAULT_ADDRESS = "127.0.0.1:8080";
inline constexpr size_t VK_HTTP_DEFAULT_MAX_BODY = 4u << 20;  // bytes

// Listens on MEVO_HTTP ("host:port", default VK_HTTP_DEFAULT_ADDRESS; port 0 picks a free port)
// and writes the address actually used as "host:port" to /tmp/mevo-http.addr under the root.
// MEVO_HTTP_MAX_BODY overrides the request body limit (bytes). Returns null on failure (logged).
VkHttpHandler *vk_http_handler_new(VkHttpRequestCallback callback, void *user_data);
void vk_http_handler_free(VkHttpHandler *handler);

// Open client connections (for tests).
size_t vk_http_handler_connections(const VkHttpHandler *handler);

// The "host:port" the handler listens on.
std::string vk_http_handler_address(const VkHttpHandler *handler);

// A parsed CGI-style reply (exposed for tests).
struct VkHttpReply {
    unsigned status = 200;
    std::string content_type;
    std::string extra_headers;  // further "Name: value\r\n" lines, in order
    std::string body;
};

// Parses `data` as header block + body. Returns 0, or -1 when there is no complete header block.
int vk_http_parse_reply(const char *data, size_t length, VkHttpReply &reply);
