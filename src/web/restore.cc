// Parameter-archive restore: an administrator uploads a tar.gz made by "backup_params" as a
// multipart form; it is unpacked into /tmp/backup, secrets are migrated, the event rules and the
// parameters are applied and the application is asked to restart.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "web/web.h"
#include "web/web_internal.h"

namespace {

constexpr const char *kTag = "modules/platforms/VekaKorvex6/web";
constexpr const char *kBackupDir = "/tmp/backup";
constexpr const char *kSyncLog = "/tmp/synclog";
constexpr const char *kParamBackupFile = "parambackup.txt";
constexpr const char *kEventsBackupFile = "eventsbackup.json";
constexpr const char *kSecretsBackupFile = "params.meta";
constexpr const char *kSecretNames[] = {"Environment.SysPwd", "WebReportUpload.Pass",
                                        "Httppost.Pass", "Counter.SlavePass"};
constexpr const char *kRestartPage =
    "<html><head><meta http-equiv=\"Refresh\" content=\"30; url=index.html\"></head><body>"
    "<pre>Restarting services, redirecting in 30 seconds..</pre></body></html>";

const char *find_bytes(const char *hay, size_t hay_len, const char *needle, size_t needle_len) {
    if (needle_len == 0 || hay_len < needle_len) return nullptr;
    return static_cast<const char *>(memmem(hay, hay_len, needle, needle_len));
}

// Removes the unpacked archive whatever happens: it holds parameters in clear text.
struct BackupDirGuard {
    std::string dir;
    ~BackupDirGuard() { file_remove_tree(dir); }
};

// The (alphabetically last) regular file in `dir` whose name contains ".txt".
std::string find_parameter_file(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return "";
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.find(".txt") == std::string::npos) continue;
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            names.push_back(name);
        }
    }
    closedir(d);
    if (names.empty()) return "";
    std::sort(names.begin(), names.end());
    return dir + "/" + names.back();
}

void restore_events(const std::string &dir) {
    std::string rules;
    std::string target = mevo_package_dir() + "/events.json";
    if (file_read_all(dir + "/" + kEventsBackupFile, rules) != 0 ||
        file_write_atomic(target, rules.data(), rules.size()) != 0) {
        log_message(kTag,
                    "Could not restore events. This could be due to the archive being of an "
                    "older version!");
    }
}

// "Environment.SysPwd" -> "Environment0SysPwd", the key form of the backup file.
std::string flattened(const char *name) {
    std::string key = name;
    size_t dot = key.find('.');
    if (dot != std::string::npos) key[dot] = '0';
    return key;
}

void migrate_secrets(const std::string &dir) {
    std::string text;
    file_read_all(dir + "/" + kParamBackupFile, text);
    for (const char *name : kSecretNames) {
        std::string key = flattened(name);
        log_message(kTag, "Executing %s", ("lookup of " + key + " in " + kParamBackupFile).c_str());
        std::string value = web_backup_value(text, key);
        if (value.empty()) continue;
        log_message(kTag, "Migrating parameter %s to secrets.", name);
        web_restore_secret_set(name, value.c_str());
    }
    web_restore_secrets_load((dir + "/" + kSecretsBackupFile).c_str());
    web_restore_secrets_save();
}

bool apply_parameters(const std::string &param_file) {
    std::vector<std::string> setparams = {"setupctl", "--nosync", "setparams", param_file};
    log_message(kTag, "Executing: '%s'", ("setupctl --nosync setparams " + param_file).c_str());
    SpawnResult r = spawn_run(setparams);
    if (r.status != 0) {
        log_message(kTag, "setupctl setparams failed (status %d)", r.status);
        return false;
    }
    SpawnOptions capture;
    capture.capture_output = true;
    capture.merge_stderr = true;
    SpawnResult sync = spawn_run({"setupctl", "sync"}, capture);
    file_write_atomic(mevo_path(kSyncLog), sync.output.data(), sync.output.size());
    if (sync.status != 0) log_message(kTag, "setupctl sync failed (status %d)", sync.status);
    return true;
}

}  // namespace

int web_extract_boundary(const char *buf, size_t len, std::string &boundary) {
    size_t limit = std::min(len, kRestoreScanLimit);
    for (size_t i = 0; i + 1 < limit; ++i) {
        bool line_start = i == 0 || (i >= 2 && buf[i - 2] == '\r' && buf[i - 1] == '\n');
        if (!line_start || buf[i] != '-' || buf[i + 1] != '-') continue;
        const char *eol = find_bytes(buf + i, limit - i, "\r\n", 2);
        if (eol == nullptr) break;
        size_t line_len = static_cast<size_t>(eol - (buf + i));
        if (line_len > kMaxBoundaryLine) continue;
        boundary.assign(buf + i, line_len);
        if (boundary.size() > 4 && boundary.compare(boundary.size() - 2, 2, "--") == 0) {
            boundary.resize(boundary.size() - 2);
        }
        if (boundary.size() <= 2) continue;  // "--" alone names no boundary
        return 0;
    }
    return -1;
}

int web_extract_frame(const char *buf, size_t len, const std::string &boundary, size_t *offset,
                      size_t *length) {
    size_t limit = std::min(len, kRestoreHeaderLimit);
    std::string open_line = boundary + "\r\n";
    const char *start = find_bytes(buf, limit, open_line.data(), open_line.size());
    if (start == nullptr) return WEB_FRAME_INCOMPLETE;
    size_t from = static_cast<size_t>(start - buf) + open_line.size();
    if (from > limit) return WEB_FRAME_INCOMPLETE;
    const char *headers_end = find_bytes(buf + from, limit - from, "\r\n\r\n", 4);
    if (headers_end == nullptr) return WEB_FRAME_INCOMPLETE;
    size_t body = static_cast<size_t>(headers_end - buf) + 4;
    if (len - body < 2 || static_cast<unsigned char>(buf[body]) != 0x1F ||
        static_cast<unsigned char>(buf[body + 1]) != 0x8B) {
        return WEB_FRAME_NOT_GZIP;
    }
    std::string close_mark = "\r\n" + boundary;
    const char *end = find_bytes(buf + body, len - body, close_mark.data(), close_mark.size());
    if (end == nullptr) return WEB_FRAME_UNFINISHED;
    *offset = body;
    *length = static_cast<size_t>(end - (buf + body));
    return WEB_FRAME_OK;
}

bool web_archive_name_safe(std::string_view name) {
    if (name.empty() || name.front() == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return name.find('\0') == std::string_view::npos;
}

bool web_archive_link_safe(std::string_view name, std::string_view target) {
    if (target.empty() || target.front() == '/') return false;
    // Depth of the folder holding the link, then walk the target lexically.
    int depth = 0;
    std::string_view dir =
        name.substr(0, name.rfind('/') == std::string_view::npos ? 0 : name.rfind('/'));
    size_t start = 0;
    while (!dir.empty() && start <= dir.size()) {
        size_t end = dir.find('/', start);
        if (end == std::string_view::npos) end = dir.size();
        std::string_view seg = dir.substr(start, end - start);
        if (!seg.empty() && seg != ".") ++depth;
        start = end + 1;
    }
    start = 0;
    while (start <= target.size()) {
        size_t end = target.find('/', start);
        if (end == std::string_view::npos) end = target.size();
        std::string_view seg = target.substr(start, end - start);
        if (seg == "..") {
            if (--depth < 0) return false;
        } else if (!seg.empty() && seg != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return true;
}

int web_extract_archive(const void *data, size_t length, const std::string &dir) {
    struct archive *in = archive_read_new();
    struct archive *out = archive_write_disk_new();
    archive_read_support_filter_gzip(in);
    archive_read_support_format_tar(in);
    archive_write_disk_set_options(
        out, ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    int rc = 0;
    if (archive_read_open_memory(in, data, length) != ARCHIVE_OK) {
        log_message(kTag, "cannot read archive: %s", archive_error_string(in));
        rc = -1;
    }
    struct archive_entry *entry = nullptr;
    while (rc == 0) {
        int r = archive_read_next_header(in, &entry);
        if (r == ARCHIVE_EOF) break;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
            log_message(kTag, "cannot read archive: %s", archive_error_string(in));
            rc = -1;
            break;
        }
        // Copied: setting the new path below frees the entry's own text.
        const char *raw_name = archive_entry_pathname(entry);
        const std::string name_copy = raw_name ? raw_name : "";
        const char *name = raw_name ? name_copy.c_str() : nullptr;
        const char *raw_hardlink = archive_entry_hardlink(entry);
        const std::string hardlink_copy = raw_hardlink ? raw_hardlink : "";
        const char *hardlink = raw_hardlink ? hardlink_copy.c_str() : nullptr;
        const char *symlink = archive_entry_symlink(entry);
        mode_t type = archive_entry_filetype(entry);
        bool ok = name != nullptr && web_archive_name_safe(name);
        if (ok && hardlink != nullptr) ok = web_archive_name_safe(hardlink);
        if (ok && type == AE_IFLNK) ok = symlink != nullptr && web_archive_link_safe(name, symlink);
        if (ok && hardlink == nullptr)
            ok = type == AE_IFREG || type == AE_IFDIR || type == AE_IFLNK;
        if (!ok) {
            log_message(kTag, "refusing archive member '%s'", name ? name : "(null)");
            rc = -1;
            break;
        }
        archive_entry_set_pathname(entry, (dir + "/" + name).c_str());
        if (hardlink != nullptr) archive_entry_set_hardlink(entry, (dir + "/" + hardlink).c_str());
        if (archive_write_header(out, entry) != ARCHIVE_OK) {
            log_message(kTag, "cannot extract '%s': %s", name, archive_error_string(out));
            rc = -1;
            break;
        }
        const void *block;
        size_t size;
        la_int64_t offset;
        while ((r = archive_read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK) {
            if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK) {
                r = ARCHIVE_FATAL;
                break;
            }
        }
        if (r != ARCHIVE_EOF || archive_write_finish_entry(out) != ARCHIVE_OK) {
            log_message(kTag, "cannot extract '%s'", name);
            rc = -1;
        }
    }
    archive_read_free(in);
    archive_write_free(out);
    return rc;
}

std::string web_backup_value(std::string_view text, std::string_view key) {
    std::string pattern = std::string(key) + "=\"";
    size_t line_start = 0;
    while (line_start < text.size()) {
        size_t eol = text.find('\n', line_start);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(line_start, eol - line_start);
        line_start = eol + 1;
        // Greedy "^.*KEY=\"": the last occurrence that still has a closing quote after it.
        size_t close = line.rfind('"');
        size_t pos = line.rfind(pattern);
        while (pos != std::string_view::npos && pos + pattern.size() > close) {
            pos = pos == 0 ? std::string_view::npos : line.rfind(pattern, pos - 1);
        }
        if (pos == std::string_view::npos || close == std::string_view::npos) continue;
        size_t begin = pos + pattern.size();
        while (begin < close && (line[begin] == ' ' || line[begin] == '\t' || line[begin] == '\r' ||
                                 line[begin] == '\f' || line[begin] == '\v')) {
            ++begin;
        }
        return std::string(line.substr(begin, close - begin));
    }
    return "";
}

void web_restore_upload(GDataOutputStream *out, const char *body, size_t length) {
    log_message(kTag, "Restoring stuff");
    if (body == nullptr) length = 0;
    std::string boundary;
    if (web_extract_boundary(body, length, boundary) != 0) {
        log_message(kTag, "Reached end of extract_boundary: should not happen!\n");
        web_error_html(out, "Could not extract a boundary string!");
        return;
    }
    size_t offset = 0, size = 0;
    switch (web_extract_frame(body, length, boundary, &offset, &size)) {
        case WEB_FRAME_INCOMPLETE:
            web_error_html(out, "Could not find a complete frame in query!");
            return;
        case WEB_FRAME_NOT_GZIP:
            web_error_html(out, "File must be of format tar.gz");
            return;
        case WEB_FRAME_UNFINISHED:
            log_message(kTag, "File was right format!");
            web_error_html(out, "Frame was not finished...");
            return;
        default:
            log_message(kTag, "File was right format!");
    }
    BackupDirGuard guard{mevo_path(kBackupDir)};
    file_remove_tree(guard.dir);
    if (mkdir(guard.dir.c_str(), 0700) != 0 && errno != EEXIST) {
        log_message(kTag, "Failed to create backup folder: %s", strerror(errno));
        web_error_html(out, "Failed to extract file!");
        return;
    }
    log_message(kTag, "Untaring temp-restore-params-file.tar.gz to /tmp/backup");
    if (web_extract_archive(body + offset, size, guard.dir) != 0) {
        web_error_html(out, "Failed to untar archive...");
        return;
    }
    std::string param_file = find_parameter_file(guard.dir);
    if (param_file.empty()) {
        log_message(kTag, "Could not find a text file in /tmp/backup");
        web_error_html(out, "Invalid archive!");
        return;
    }
    restore_events(guard.dir);
    migrate_secrets(guard.dir);
    if (!apply_parameters(param_file)) {
        web_error_html(out, "Failed to apply parameters!");
        return;
    }
    log_message(kTag, "Restore completed!");
    web_error_html(out, "%s", kRestartPage);
    web_restore_request_restart();
}
