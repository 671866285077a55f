// Pieces of the endpoint layer exposed for unit tests and fuzzers. Not for other modules.
#pragma once

#include <gio/gio.h>

#include <cstddef>
#include <string>
#include <string_view>

// Upload examination limits: the boundary must be found in the first kRestoreScanLimit bytes
// and the part headers must end within the first kRestoreHeaderLimit bytes.
inline constexpr size_t kRestoreScanLimit = 4059;
inline constexpr size_t kRestoreHeaderLimit = 4055;
// "--" plus the longest boundary multipart allows (70 characters).
inline constexpr size_t kMaxBoundaryLine = 72;

// Splits an unescaped query into the API name (before the first '&', one trailing '='
// removed) and the argument string (the rest starting with that '&', or "" without one).
// `args` points into `query`.
void web_split_query(const char *query, std::string &name, const char **args);

// Finds the multipart boundary line ("--" at a line start, up to its CRLF, a closing "--"
// suffix dropped) within the scan limit. Returns 0 and the line without CRLF, or -1.
int web_extract_boundary(const char *buf, size_t len, std::string &boundary);

enum WebFrameStatus {
    WEB_FRAME_OK = 0,
    WEB_FRAME_INCOMPLETE = 1,  // boundary or end of the part headers not found
    WEB_FRAME_NOT_GZIP = 2,    // the part body does not start with 0x1F 0x8B
    WEB_FRAME_UNFINISHED = 3,  // no boundary after the part body
};

// Locates the body of the first part delimited by `boundary`: [*offset, *offset + *length).
int web_extract_frame(const char *buf, size_t len, const std::string &boundary, size_t *offset,
                      size_t *length);

// True when an archive member name may be created below the extraction folder: relative, no
// ".." component, not empty.
bool web_archive_name_safe(std::string_view name);

// True when a symbolic link at `name` pointing to `target` stays inside the folder.
bool web_archive_link_safe(std::string_view name, std::string_view target);

// Extracts the gzip-compressed tar archive in `data` into `dir` (which must exist). Refuses
// the whole archive (returning -1, logged) at the first unsafe member: absolute names, "..",
// links leaving the folder, device files. Returns 0 on success.
int web_extract_archive(const void *data, size_t length, const std::string &dir);

// The value that `sed -n 's/^.*KEY="\s*\(.*\)"/\1/p'` prints for the first matching line of
// `text`, or "" when no line matches.
std::string web_backup_value(std::string_view text, std::string_view key);

// Runs the parameter-archive restore on `body` and writes the reply to `out`.
void web_restore_upload(GDataOutputStream *out, const char *body, size_t length);

// Links to the parameter layer used by the restore (kept in one place).
int web_restore_secret_set(const char *name, const char *value);
int web_restore_secrets_load(const char *path);
int web_restore_secrets_save();
void web_restore_request_restart();
