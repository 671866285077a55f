// Where a request comes from, for refusing state changes that another site's page asks a
// logged-in browser to make (browsers resend cached Digest credentials to any page's requests).
#pragma once

#include <string>

// The reason (e.g. "Origin http://evil.example") when the request names another origin than
// the one it was sent to, `host` being its Host header; "" when it does not. Checked in order,
// the first present decides: Sec-Fetch-Site (set by the browser itself, pages cannot change
// it), Origin, Referer. A request with none of them (command-line tools, scripts) is not
// foreign. Any argument may be null.
std::string vk_http_foreign_origin(const char *host, const char *sec_fetch_site, const char *origin,
                                   const char *referer);
