// The program's one logging function. Each line goes to the system log at warning priority as
// "TAG: text" and is copied to standard error, so the host's mevo.log holds it too.
#pragma once

#include <cstddef>

// Largest assembled format ("TAG: " + fmt); longer formats are cut.
inline constexpr size_t LOG_FORMAT_MAX = 504;

// Opens the system log with `ident` (the program's name). Safe to skip: syslog opens lazily.
void log_open(const char *ident);

// `tag` names the module ("mevo", "param", "platform", ...); `fmt` is printf-style.
void log_message(const char *tag, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Tests: silence the copy to standard error (the system log still gets the line).
void log_set_stderr(bool enabled);
