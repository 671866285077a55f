#include "platform/http/connections.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/log.h"

namespace {

constexpr const char *kTag = "vk_http";
constexpr gint64 kSweepPeriodMinUs = 50 * 1000;
constexpr gint64 kSweepPeriodMaxUs = G_USEC_PER_SEC;
constexpr guint kRelistenDelayMs = 500;
// A refused upload is drained this long (or this much) so the client reads the refusal.
constexpr gint64 kLingerUs = 2 * G_USEC_PER_SEC;
constexpr size_t kLingerMaxBytes = 1u << 20;
constexpr size_t kMaxLingering = 16;
constexpr char kBusyReply[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n"
    "Retry-After: 1\r\nConnection: close\r\n\r\nBusy\n";

enum class Phase { kHeaders, kBusy, kIdle };

void unref_later(GMainContext *context, gpointer object);

}  // namespace

struct VkHttpConnection {
    VkHttpConnections *owner = nullptr;
    GSocket *socket = nullptr;         // referenced
    SoupServerMessage *msg = nullptr;  // referenced: the current request, or the last one
    Phase phase = Phase::kHeaders;
    gint64 deadline = 0;  // monotonic microseconds
    gint64 idle_since = 0;
    GSource *eof_watch = nullptr;  // while idle
};

struct VkHttpLingering {
    GIOStream *stream = nullptr;
    GSource *watch = nullptr;
    gint64 deadline = 0;
    size_t discarded = 0;
};

struct VkHttpConnections {
    SoupServer *server = nullptr;
    GSocket *listener = nullptr;
    GMainContext *context = nullptr;
    VkHttpLimits limits{};
    std::unordered_map<GSocket *, std::unique_ptr<VkHttpConnection>> open;
    std::vector<VkHttpLingering *> lingering;
    GSource *sweep = nullptr;
    GSource *accept_watch = nullptr;
    GSource *relisten = nullptr;
    gulong started_id = 0, finished_id = 0, aborted_id = 0;
    bool refusal_logged = false;
};

namespace {

using Conn = VkHttpConnection;

void attach(VkHttpConnections *c, GSource *source, int priority, GSourceFunc fn, gpointer data) {
    g_source_set_priority(source, priority);
    g_source_set_callback(source, fn, data, nullptr);
    g_source_attach(source, c->context);
}

void destroy_source(GSource *&source) {
    if (source == nullptr) return;
    g_source_destroy(source);
    g_source_unref(source);
    source = nullptr;
}

// Stops following `conn` and frees its record; the connection itself is left to libsoup.
// `defer_unref` when called while `conn->msg` is emitting a signal.
void forget(VkHttpConnections *c, Conn *conn, bool defer_unref) {
    destroy_source(conn->eof_watch);
    g_signal_handlers_disconnect_by_data(conn->msg, conn);
    if (defer_unref) {
        unref_later(c->context, conn->msg);
    } else {
        g_object_unref(conn->msg);
    }
    GSocket *socket = conn->socket;
    c->open.erase(socket);  // frees conn
    g_object_unref(socket);
}

// Takes the connection away from libsoup (which then forgets it) and returns its stream.
GIOStream *steal(VkHttpConnections *c, Conn *conn) {
    SoupServerMessage *msg = SOUP_SERVER_MESSAGE(g_object_ref(conn->msg));
    forget(c, conn, false);
    GIOStream *stream = soup_server_message_steal_connection(msg);
    g_object_unref(msg);
    return stream;
}

void close_stream(GIOStream *stream) {
    if (stream == nullptr) return;
    g_io_stream_close(stream, nullptr, nullptr);
    g_object_unref(stream);
}

void close_conn(VkHttpConnections *c, Conn *conn) {
    close_stream(steal(c, conn));
}

Conn *find(VkHttpConnections *c, SoupServerMessage *msg) {
    GSocket *socket = soup_server_message_get_socket(msg);
    auto it = socket ? c->open.find(socket) : c->open.end();
    return it == c->open.end() ? nullptr : it->second.get();
}

bool close_longest_idle(VkHttpConnections *c) {
    Conn *oldest = nullptr;
    for (auto &entry : c->open) {
        Conn *conn = entry.second.get();
        if (conn->phase == Phase::kIdle && (!oldest || conn->idle_since < oldest->idle_since)) {
            oldest = conn;
        }
    }
    if (oldest == nullptr) return false;
    close_conn(c, oldest);
    return true;
}

void close_all_idle(VkHttpConnections *c) {
    while (close_longest_idle(c)) {
    }
}

// Before any byte is read: libsoup then reads the end of the stream and closes the connection.
void refuse_connection(VkHttpConnections *c, GSocket *socket) {
    int fd = g_socket_get_fd(socket);
    (void)!send(fd, kBusyReply, sizeof kBusyReply - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    shutdown(fd, SHUT_RD);
    if (!c->refusal_logged) {
        log_message(kTag, "refusing connections: %zu open (limit)", c->open.size());
        c->refusal_logged = true;
    }
}

// Signals of a followed message.

void on_got_headers(SoupServerMessage *, gpointer data) {
    auto *conn = static_cast<Conn *>(data);
    conn->phase = Phase::kBusy;
    conn->deadline = g_get_monotonic_time() + conn->owner->limits.io_timeout_us;
}

void progressed(Conn *conn) {
    if (conn->phase == Phase::kBusy) {
        conn->deadline = g_get_monotonic_time() + conn->owner->limits.io_timeout_us;
    }
}
void on_got_chunk(SoupServerMessage *, GBytes *, gpointer data) {
    progressed(static_cast<Conn *>(data));
}
void on_wrote_headers(SoupServerMessage *, gpointer data) {
    progressed(static_cast<Conn *>(data));
}
void on_wrote_body_data(SoupServerMessage *, guint, gpointer data) {
    progressed(static_cast<Conn *>(data));
}

void on_disconnected(SoupServerMessage *, gpointer data) {
    auto *conn = static_cast<Conn *>(data);
    forget(conn->owner, conn, true);
}

void follow(Conn *conn, SoupServerMessage *msg) {
    conn->msg = SOUP_SERVER_MESSAGE(g_object_ref(msg));
    conn->phase = Phase::kHeaders;
    conn->deadline = g_get_monotonic_time() + conn->owner->limits.header_timeout_us;
    g_signal_connect(msg, "got-headers", G_CALLBACK(on_got_headers), conn);
    g_signal_connect(msg, "got-chunk", G_CALLBACK(on_got_chunk), conn);
    g_signal_connect(msg, "wrote-headers", G_CALLBACK(on_wrote_headers), conn);
    g_signal_connect(msg, "wrote-body-data", G_CALLBACK(on_wrote_body_data), conn);
    g_signal_connect(msg, "disconnected", G_CALLBACK(on_disconnected), conn);
}

// Signals of the server.

void on_request_started(SoupServer *, SoupServerMessage *msg, gpointer data) {
    auto *c = static_cast<VkHttpConnections *>(data);
    GSocket *socket = soup_server_message_get_socket(msg);
    if (socket == nullptr) return;
    Conn *conn = find(c, msg);
    if (conn != nullptr) {  // the next request on a kept-alive connection
        destroy_source(conn->eof_watch);
        g_signal_handlers_disconnect_by_data(conn->msg, conn);
        g_object_unref(conn->msg);
        follow(conn, msg);
        return;
    }
    if (c->open.size() >= c->limits.max_connections && !close_longest_idle(c)) {
        refuse_connection(c, socket);
        return;
    }
    if (c->open.size() + 1 < c->limits.max_connections) c->refusal_logged = false;
    auto fresh = std::make_unique<Conn>();
    fresh->owner = c;
    fresh->socket = G_SOCKET(g_object_ref(socket));
    conn = fresh.get();
    c->open.emplace(socket, std::move(fresh));
    follow(conn, msg);
}

// Between two requests the client's end of the stream must be seen here first: libsoup, left
// to read it itself, would keep the connection open for ever. So this watch runs before
// libsoup's (higher priority), and lets data through to it by standing aside.
gboolean on_idle_readable(GSocket *socket, GIOCondition, gpointer data) {
    auto *conn = static_cast<Conn *>(data);
    char byte;
    ssize_t n = recv(g_socket_get_fd(socket), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return G_SOURCE_CONTINUE;
    }
    if (n > 0) {  // the next request: libsoup reads it and reports it as started
        g_source_unref(conn->eof_watch);
        conn->eof_watch = nullptr;
        return G_SOURCE_REMOVE;
    }
    close_conn(conn->owner, conn);  // closed or reset by the client
    return G_SOURCE_REMOVE;
}

void on_request_done(SoupServer *, SoupServerMessage *msg, gpointer data) {
    auto *c = static_cast<VkHttpConnections *>(data);
    Conn *conn = find(c, msg);
    if (conn == nullptr || conn->msg != msg) return;
    gint64 now = g_get_monotonic_time();
    conn->phase = Phase::kIdle;
    conn->idle_since = now;
    conn->deadline = now + c->limits.idle_timeout_us;
    // If libsoup closes the connection next, "disconnected" drops this watch again.
    destroy_source(conn->eof_watch);
    conn->eof_watch =
        g_socket_create_source(conn->socket, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
    attach(c, conn->eof_watch, G_PRIORITY_HIGH, G_SOURCE_FUNC(on_idle_readable), conn);
}

// Lingering close of a refused upload.

void end_lingering(VkHttpConnections *c, VkHttpLingering *l) {
    destroy_source(l->watch);
    close_stream(l->stream);
    for (auto it = c->lingering.begin(); it != c->lingering.end(); ++it) {
        if (*it == l) {
            c->lingering.erase(it);
            break;
        }
    }
    delete l;
}

struct LingerArg {
    VkHttpConnections *c;
    VkHttpLingering *l;
};

gboolean on_linger_readable(GSocket *socket, GIOCondition, gpointer data) {
    auto *arg = static_cast<LingerArg *>(data);
    char buf[4096];
    ssize_t n = recv(g_socket_get_fd(socket), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return G_SOURCE_CONTINUE;
    }
    if (n > 0) arg->l->discarded += static_cast<size_t>(n);
    if (n > 0 && arg->l->discarded < kLingerMaxBytes) return G_SOURCE_CONTINUE;
    end_lingering(arg->c, arg->l);
    return G_SOURCE_REMOVE;
}

std::string reply_text_of(SoupServerMessage *msg) {
    unsigned status = soup_server_message_get_status(msg);
    const char *reason = soup_server_message_get_reason_phrase(msg);
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " +
                      (reason ? reason : soup_status_get_phrase(status)) + "\r\n";
    soup_message_headers_foreach(
        soup_server_message_get_response_headers(msg),
        [](const char *name, const char *value, gpointer user) {
            if (g_ascii_strcasecmp(name, "Content-Length") == 0) return;
            if (g_ascii_strcasecmp(name, "Connection") == 0) return;
            auto *text = static_cast<std::string *>(user);
            *text += std::string(name) + ": " + value + "\r\n";
        },
        &out);
    GBytes *body = soup_message_body_flatten(soup_server_message_get_response_body(msg));
    gsize length = 0;
    const char *data = static_cast<const char *>(g_bytes_get_data(body, &length));
    out += "Content-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
    out.append(data ? data : "", length);
    g_bytes_unref(body);
    return out;
}

// Sweeps and listener recovery.

gboolean on_sweep(gpointer data) {
    auto *c = static_cast<VkHttpConnections *>(data);
    gint64 now = g_get_monotonic_time();
    std::vector<GSocket *> expired;
    for (auto &entry : c->open) {
        if (entry.second->deadline <= now) expired.push_back(entry.first);
    }
    for (GSocket *socket : expired) {
        auto it = c->open.find(socket);
        if (it != c->open.end()) close_conn(c, it->second.get());
    }
    std::vector<VkHttpLingering *> done;
    for (VkHttpLingering *l : c->lingering) {
        if (l->deadline <= now) done.push_back(l);
    }
    for (VkHttpLingering *l : done) end_lingering(c, l);
    return G_SOURCE_CONTINUE;
}

void watch_listener(VkHttpConnections *c);

gboolean on_relisten(gpointer data) {
    auto *c = static_cast<VkHttpConnections *>(data);
    int probe = dup(g_socket_get_fd(c->listener));
    if (probe < 0) return G_SOURCE_CONTINUE;  // still no descriptor to accept with
    close(probe);
    GError *err = nullptr;
    if (!soup_server_listen_socket(c->server, c->listener, static_cast<SoupServerListenOptions>(0),
                                   &err)) {
        log_message(kTag, "cannot listen again: %s", err->message);
        g_error_free(err);
        return G_SOURCE_CONTINUE;
    }
    log_message(kTag, "accepting connections again");
    g_source_unref(c->relisten);
    c->relisten = nullptr;
    watch_listener(c);
    return G_SOURCE_REMOVE;
}

// libsoup accepts at default priority; this watch, below it, only runs when a connection
// waits that libsoup did not take: its listener gave up after a failed accept.
gboolean on_unaccepted(GSocket *, GIOCondition, gpointer data) {
    auto *c = static_cast<VkHttpConnections *>(data);
    log_message(kTag, "the listener stopped accepting (out of descriptors?); %zu connections open",
                c->open.size());
    close_all_idle(c);
    g_source_unref(c->accept_watch);
    c->accept_watch = nullptr;
    c->relisten = g_timeout_source_new(kRelistenDelayMs);
    attach(c, c->relisten, G_PRIORITY_DEFAULT, on_relisten, c);
    return G_SOURCE_REMOVE;
}

void watch_listener(VkHttpConnections *c) {
    c->accept_watch = g_socket_create_source(c->listener, G_IO_IN, nullptr);
    attach(c, c->accept_watch, G_PRIORITY_LOW, G_SOURCE_FUNC(on_unaccepted), c);
}

gboolean unref_now(gpointer object) {
    g_object_unref(object);
    return G_SOURCE_REMOVE;
}

void unref_later(GMainContext *context, gpointer object) {
    GSource *idle = g_idle_source_new();
    g_source_set_callback(idle, unref_now, object, nullptr);
    g_source_attach(idle, context);
    g_source_unref(idle);
}

}  // namespace

VkHttpConnections *vk_http_connections_new(SoupServer *server, GSocket *listener,
                                           const VkHttpLimits &limits) {
    auto *c = new VkHttpConnections;
    c->server = server;
    c->listener = G_SOCKET(g_object_ref(listener));
    c->context = g_main_context_ref_thread_default();
    c->limits = limits;
    c->started_id = g_signal_connect(server, "request-started", G_CALLBACK(on_request_started), c);
    c->finished_id = g_signal_connect(server, "request-finished", G_CALLBACK(on_request_done), c);
    c->aborted_id = g_signal_connect(server, "request-aborted", G_CALLBACK(on_request_done), c);
    gint64 shortest = std::min(
        {limits.header_timeout_us, limits.idle_timeout_us, limits.io_timeout_us, kLingerUs});
    gint64 period = std::clamp(shortest / 4, kSweepPeriodMinUs, kSweepPeriodMaxUs);
    c->sweep = g_timeout_source_new(static_cast<guint>(period / 1000));
    attach(c, c->sweep, G_PRIORITY_HIGH, on_sweep, c);
    watch_listener(c);
    return c;
}

void vk_http_connections_free(VkHttpConnections *c) {
    if (c == nullptr) return;
    g_signal_handler_disconnect(c->server, c->started_id);
    g_signal_handler_disconnect(c->server, c->finished_id);
    g_signal_handler_disconnect(c->server, c->aborted_id);
    destroy_source(c->sweep);
    destroy_source(c->accept_watch);
    destroy_source(c->relisten);
    while (!c->open.empty()) forget(c, c->open.begin()->second.get(), false);
    while (!c->lingering.empty()) end_lingering(c, c->lingering.back());
    g_object_unref(c->listener);
    g_main_context_unref(c->context);
    delete c;
}

size_t vk_http_connections_count(const VkHttpConnections *c) {
    return c ? c->open.size() + c->lingering.size() : 0;
}

void vk_http_connections_refuse_body(VkHttpConnections *c, SoupServerMessage *msg) {
    std::string reply = reply_text_of(msg);
    GSocket *socket = soup_server_message_get_socket(msg);
    if (socket == nullptr) return;
    g_object_ref(socket);
    Conn *conn = find(c, msg);
    GIOStream *stream = conn ? steal(c, conn) : soup_server_message_steal_connection(msg);
    if (stream == nullptr) {
        g_object_unref(socket);
        return;
    }
    int fd = g_socket_get_fd(socket);
    // A refusal is small: it fits the socket buffer of a connection that sent only headers.
    (void)!send(fd, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    if (c->lingering.size() >= kMaxLingering) {
        close_stream(stream);
        g_object_unref(socket);
        return;
    }
    auto *l = new VkHttpLingering;
    l->stream = stream;
    l->deadline = g_get_monotonic_time() + kLingerUs;
    c->lingering.push_back(l);
    l->watch = g_socket_create_source(socket, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
    g_source_set_priority(l->watch, G_PRIORITY_DEFAULT);
    g_source_set_callback(l->watch, G_SOURCE_FUNC(on_linger_readable), new LingerArg{c, l},
                          [](gpointer p) { delete static_cast<LingerArg *>(p); });
    g_source_attach(l->watch, c->context);
    g_object_unref(socket);
}
