#include "common/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
std::atomic<bool> g_to_stderr{true};
}

void log_open(const char *ident) { openlog(ident, LOG_PID, LOG_USER); }

void log_set_stderr(bool enabled) { g_to_stderr.store(enabled); }

void log_message(const char *tag, const char *fmt, ...) {
    char format[LOG_FORMAT_MAX];
    snprintf(format, sizeof format, "%s: %s", tag, fmt);

    char line[4096];
    va_list args;
    va_start(args, fmt);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);

    syslog(LOG_WARNING, "%s", line);
    if (g_to_stderr.load()) {
        size_t len = strlen(line);
        // Many callers end their formats with "\n"; stderr gets exactly one.
        fprintf(stderr, "%s%s", line, (len && line[len - 1] == '\n') ? "" : "\n");
    }
}
