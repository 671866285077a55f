// Keeps the HTTP service's client connections in check. libsoup 3.2 never closes a keep-alive
// connection that the client closed between two requests (the socket stays in CLOSE-WAIT), has
// no timeouts of its own, and its listener stops accepting for good after one failed accept
// (out of descriptors). This watches every connection through the server's public signals:
//  - a connection between requests whose client closed it is closed at once;
//  - a connection idle between requests, slow to send its request headers, or making no
//    progress reading a body or writing a reply, is closed after its timeout;
//  - at most `max_connections` are open: a new one first closes the longest idle, and is
//    refused with 503 when none is idle, so the process's descriptors stay for its other work;
//  - when the listener stopped accepting, it is set up again once descriptors are free.
// Everything runs on the thread that runs the server's main context (the caller's
// thread-default context when created).
#pragma once

#include <libsoup/soup.h>

#include <cstddef>

struct VkHttpLimits {
    size_t max_connections;
    gint64 header_timeout_us;  // from accepting / the end of the previous reply to the headers
    gint64 idle_timeout_us;    // between two requests on a keep-alive connection
    gint64 io_timeout_us;      // without progress while a body is read or a reply written
};

struct VkHttpConnections;

// `listener` is the server's listening socket (kept referenced).
VkHttpConnections *vk_http_connections_new(SoupServer *server, GSocket *listener,
                                           const VkHttpLimits &limits);
// Call before the server disconnects its clients.
void vk_http_connections_free(VkHttpConnections *c);

// Open client connections (for logs and tests).
size_t vk_http_connections_count(const VkHttpConnections *c);

// Ends `msg`'s connection without reading the rest of its request body: writes the reply that
// libsoup holds for it (status, headers, body) with "Connection: close", then lingers briefly
// discarding what the client still sends, so that it reads the reply instead of a reset.
// For a reply decided before the body was read; call from a "got-headers" handler.
void vk_http_connections_refuse_body(VkHttpConnections *c, SoupServerMessage *msg);
