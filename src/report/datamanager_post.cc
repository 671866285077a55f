#include "report/datamanager_post.h"

#include <curl/curl.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "params/param.h"

namespace {
constexpr const char *TAG = "datamanager_post.c";
constexpr const char *CA_BUNDLE = "/usr/local/packages/mevo/cacert.pem";
constexpr const char *LATEST_FILE = "/tmp/curl_latest.txt";
constexpr const char *MESSAGE_FILE = "/tmp/curl_msg.txt";
constexpr long MAX_REDIRECTS = 10;

std::mutex g_seq_lock;
int g_seq = 0;

struct PostArgs {
    std::string name, pass, method, data, url;
    std::string proxy, proxy_port, proxy_user, proxy_pass, proxy_extras;
    bool has_data = false, has_proxy = false, insecure = false;
};

bool starts_with_ci(const std::string &s, const char *prefix) {
    return strncasecmp(s.c_str(), prefix, strlen(prefix)) == 0;
}

const char *parse_args(const std::string &args, PostArgs *p) {
    // The URL comes last and keeps its own query ("&encrypted=true"), so it runs to the end.
    size_t url_at = args.find("&url=");
    if (url_at != std::string::npos) p->url = args.substr(url_at + strlen("&url="));
    if (p->url.empty()) return "Syntax error! (no url)";
    dm_post_arg(args, "name", &p->name);
    dm_post_arg(args, "pass", &p->pass);
    dm_post_arg(args, "cmethod", &p->method);
    p->has_data = dm_post_arg(args, "data", &p->data);
    if (starts_with_ci(p->method, "POST") && !p->has_data) return "Syntax error (no post data)!";
    p->has_proxy = dm_post_arg(args, "proxy", &p->proxy) && !p->proxy.empty();
    if (p->has_proxy) {
        bool complete = dm_post_arg(args, "proxyport", &p->proxy_port) &&
                        dm_post_arg(args, "proxyname", &p->proxy_user) &&
                        dm_post_arg(args, "proxypass", &p->proxy_pass) &&
                        dm_post_arg(args, "proxyextras", &p->proxy_extras);
        if (!complete) return "Incomplete proxy settings!";
    }
    std::string ignored;
    p->insecure = dm_post_arg(args, "insecure", &ignored) ||
                  strcmp(ov_param_get("WebReportUpload.AllowInsecure"), "1") == 0;
    if (!starts_with_ci(p->url, "http://") && !starts_with_ci(p->url, "https://"))
        return "Bad url!";
    return nullptr;
}

// The extras were extra curl options on the camera; the ones that matter for a proxy map onto
// libcurl options, anything else is logged and ignored rather than passed anywhere.
void apply_proxy_extras(CURL *curl, const std::string &extras) {
    size_t pos = 0;
    while (pos < extras.size()) {
        size_t end = extras.find(' ', pos);
        std::string word = extras.substr(pos, end == std::string::npos ? end : end - pos);
        pos = end == std::string::npos ? extras.size() : end + 1;
        if (word.empty()) continue;
        if (word == "--proxy-anyauth") {
            curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
        } else if (word == "--proxy-basic") {
            curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
        } else if (word == "--proxy-digest") {
            curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_DIGEST);
        } else if (word == "--proxy-ntlm") {
            curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_NTLM);
        } else if (word == "--proxytunnel" || word == "-p") {
            curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
        } else if (word == "--proxy-insecure") {
            curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
        } else {
            log_message(TAG, "Ignoring unsupported proxy extra '%s'", word.c_str());
        }
    }
}

int check_cancel(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto *cancel = static_cast<const std::atomic<int32_t> *>(user);
    return cancel && cancel->load() != 0;
}

size_t collect(char *data, size_t size, size_t count, void *user) {
    static_cast<std::string *>(user)->append(data, size * count);
    return size * count;
}

// What /tmp/curl_latest.txt keeps: the request without any password.
std::string describe(const PostArgs &p, int timeout) {
    std::string line = "POST client: -L -f --anyauth -m " + std::to_string(timeout);
    if (p.insecure) line += " --insecure";
    if (!p.name.empty()) line += " --user \"" + p.name + ":****\"";
    if (p.has_data) line += " --data (" + std::to_string(p.data.size()) + " bytes)";
    if (p.has_proxy) {
        line += " --proxy \"" + p.proxy + ":" + p.proxy_port + "\"";
        if (!p.proxy_user.empty()) line += " --proxy-user \"" + p.proxy_user + ":****\"";
        if (!p.proxy_extras.empty()) line += " \"" + p.proxy_extras + "\"";
    }
    return line + " \"" + p.url + "\"\n";
}

void configure(CURL *curl, const PostArgs &p, int timeout, std::string *body, char *error) {
    curl_easy_setopt(curl, CURLOPT_URL, p.url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, long(timeout));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    if (!p.name.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, p.name.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, p.pass.c_str());
    }
    if (p.has_data) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, p.data.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(p.data.size()));
    }
    std::string ca = mevo_path(CA_BUNDLE);
    if (file_exists(ca)) curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    if (p.insecure) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (p.has_proxy) {
        curl_easy_setopt(curl, CURLOPT_PROXY, p.proxy.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXYPORT, atol(p.proxy_port.c_str()));
        if (!p.proxy_user.empty()) {
            curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, p.proxy_user.c_str());
            curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, p.proxy_pass.c_str());
        }
        apply_proxy_extras(curl, p.proxy_extras);
    }
}
}  // namespace

bool dm_post_arg(const std::string &args, const char *key, std::string *value) {
    std::string needle = std::string("&") + key + "=";
    size_t pos = args.find(needle);
    if (pos == std::string::npos) return false;
    pos += needle.size();
    size_t end = args.find('&', pos);
    *value = args.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    return true;
}

DmPostStatus datamanager_post(const std::string &args, int timeout_seconds, std::string *reply,
                              const std::atomic<int32_t> *cancel) {
    PostArgs p;
    if (const char *syntax = parse_args(args, &p)) {
        *reply = syntax;
        return DM_POST_BAD_ARGS;
    }
    {
        std::lock_guard<std::mutex> guard(g_seq_lock);
        ++g_seq;
        std::string line = describe(p, timeout_seconds);
        file_write_atomic(mevo_path(LATEST_FILE), line.data(), line.size(), 0600);
    }
    static std::once_flag curl_global;
    std::call_once(curl_global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    CURL *curl = curl_easy_init();
    if (!curl) {
        *reply = "Error creating POST data!";
        return DM_POST_FAILED;
    }
    std::string body;
    char error[CURL_ERROR_SIZE] = "";
    configure(curl, p, timeout_seconds, &body, error);
    if (cancel) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, check_cancel);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, cancel);
    }
    CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);

    std::string message =
        rc == CURLE_OK ? "" : std::string(*error ? error : curl_easy_strerror(rc));
    file_write_atomic(mevo_path(MESSAGE_FILE), message.data(), message.size(), 0600);
    if (rc != CURLE_OK) {
        log_message(TAG, "request to '%s' failed: %s", p.url.c_str(), message.c_str());
        *reply = "Open failed!";
        return DM_POST_FAILED;
    }
    if (body.empty()) {
        *reply = "Mmap failed";
        return DM_POST_FAILED;
    }
    *reply = std::move(body);
    return DM_POST_OK;
}
