#include "platform/http/origin.h"

#include <glib.h>

namespace {

int default_port(const char *scheme) {
    if (g_ascii_strcasecmp(scheme, "https") == 0) return 443;
    return 80;
}

// True when `url` (scheme://host[:port]...) names the authority `host` (a Host header, whose
// missing port is the default of the URL's scheme: a TLS proxy in front keeps working).
bool names_host(const char *url, const char *host) {
    GUri *u = g_uri_parse(url, G_URI_FLAGS_NONE, nullptr);
    if (u == nullptr) return false;
    std::string authority = std::string("http://") + host;
    GUri *h = g_uri_parse(authority.c_str(), G_URI_FLAGS_NONE, nullptr);
    bool same = false;
    const char *scheme = g_uri_get_scheme(u);
    if (h != nullptr && g_uri_get_host(u) != nullptr && g_uri_get_host(h) != nullptr &&
        (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0)) {
        int url_port = g_uri_get_port(u) >= 0 ? g_uri_get_port(u) : default_port(scheme);
        int host_port = g_uri_get_port(h) >= 0 ? g_uri_get_port(h) : default_port(scheme);
        same =
            g_ascii_strcasecmp(g_uri_get_host(u), g_uri_get_host(h)) == 0 && url_port == host_port;
    }
    if (h != nullptr) g_uri_unref(h);
    g_uri_unref(u);
    return same;
}

}  // namespace

std::string vk_http_foreign_origin(const char *host, const char *sec_fetch_site, const char *origin,
                                   const char *referer) {
    if (sec_fetch_site != nullptr) {
        if (g_ascii_strcasecmp(sec_fetch_site, "same-origin") == 0 ||
            g_ascii_strcasecmp(sec_fetch_site, "none") == 0) {
            return "";
        }
        return std::string("Sec-Fetch-Site ") + sec_fetch_site;
    }
    const char *name = origin ? "Origin" : "Referer";
    const char *url = origin ? origin : referer;
    if (url == nullptr) return "";
    if (host != nullptr && names_host(url, host)) return "";
    return std::string(name) + " " + url + (host ? "" : " without a Host header");
}
