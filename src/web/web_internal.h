// Pieces of the endpoint layer exposed for unit tests and fuzzers. Not for other modules.
#pragma once

#include <gio/gio.h>

#include <cstddef>
#include <cstdint>
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

// Restore limits. A parameter archive holds three files of a few kilobytes; the limits leave
// a wide margin and still keep a crafted archive from filling /tmp (RAM on the camera).
inline constexpr size_t kRestoreMaxMembers = 64;
inline constexpr int64_t kRestoreMaxFileBytes = 1 << 20;
inline constexpr int64_t kRestoreMaxTotalBytes = 2 << 20;

// Extracts the gzip-compressed tar archive in `data` into `dir` (which must exist). Only
// regular files and folders with relative names without ".." are unpacked; any other member
// (symbolic or hard link, device, FIFO, socket), more than kRestoreMaxMembers members, a file
// over kRestoreMaxFileBytes or a total over kRestoreMaxTotalBytes refuses the whole archive
// (returning -1, logged). Returns 0 on success.
int web_extract_archive(const void *data, size_t length, const std::string &dir);

// Reads the regular file `name` of the folder `dir_fd` into `out` without following a link
// and without blocking on a FIFO. Returns 0, 1 when it does not exist, -1 when it is not a
// regular file, is larger than `max_bytes` or cannot be read.
int web_read_member(int dir_fd, const std::string &name, int64_t max_bytes, std::string &out);

// One line of a parameter dump: NAME="VALUE" with the value up to the last quote of the line.
// The name is made a full service name ("mevo.X" -> "root.mevo.X"). False when malformed.
bool web_parse_dump_line(std::string line, std::string &name, std::string &value);

// Runs the parameter-archive restore on `body` and writes the reply to `out`.
void web_restore_upload(GDataOutputStream *out, const char *body, size_t length);

// Links to the other modules used by the restore (kept in one place).
// "OK" when `text` is a valid event rules file, else the reason.
std::string web_restore_rules_verdict(const std::string &text);
void web_restore_request_restart();
