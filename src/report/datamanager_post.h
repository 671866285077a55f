// The uploader's HTTP client. It takes the same argument string the camera's curl command line
// was built from ("&name=&pass=&cmethod=POST&data=...&url=...", optional proxy arguments and
// "&insecure=") and performs the request in process with libcurl, so no value ever reaches a
// shell. Thread-safe: several threads may post at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

enum DmPostStatus {
    DM_POST_OK = 0,        // `reply` holds the response body
    DM_POST_BAD_ARGS = 1,  // `reply` holds one of the syntax error texts
    DM_POST_FAILED = 2,    // the request failed; `reply` holds the failure text
};

// Sends the request described by `args` with a whole-transfer timeout in seconds. On every
// outcome `reply` holds the text the caller acts on: the body, or one of "Syntax error! (no
// url)", "Syntax error (no post data)!", "Incomplete proxy settings!", "Bad url!",
// "Open failed!" (no response body: connection, TLS or HTTP error) or "Mmap failed" (an empty
// body). The request line is kept in /tmp/curl_latest.txt with passwords masked, and the
// transfer's error text in /tmp/curl_msg.txt.
// A non-zero `*cancel` (e.g. the exit request) aborts a transfer in progress within a second.
DmPostStatus datamanager_post(const std::string &args, int timeout_seconds, std::string *reply,
                              const std::atomic<int32_t> *cancel = nullptr);

// The value of "&key=" in `args` (up to the next '&'), and whether it is present at all.
bool dm_post_arg(const std::string &args, const char *key, std::string *value);
