// HTTP GET with a Digest login, for the tests that talk to a running mevo.
#pragma once

#include <curl/curl.h>

#include <string>

namespace testrun {

struct Response {
    long status = 0;  // 0 when the request failed
    std::string headers, body;
};

inline size_t append_to_string(char *data, size_t size, size_t n, void *out) {
    static_cast<std::string *>(out)->append(data, size * n);
    return size * n;
}

inline Response digest_get(const std::string &url, const char *user, const char *password) {
    Response r;
    CURL *c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append_to_string);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, append_to_string);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_DIGEST);
    curl_easy_setopt(c, CURLOPT_USERNAME, user);
    curl_easy_setopt(c, CURLOPT_PASSWORD, password);
    if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_cleanup(c);
    return r;
}

}  // namespace testrun
