// Parameter-archive restore: an administrator uploads a tar.gz made by "backup_params" as a
// multipart form. It is unpacked into a private /tmp/backup (regular files and folders only,
// within size limits), everything in it is checked, and only then are the secrets, the event
// rules and the parameters applied and the application asked to restart. A failure at any
// point leaves all three as they were.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "params/param.h"
#include "web/web.h"
#include "web/web_internal.h"

namespace {

constexpr const char *kTag = "modules/platforms/VekaKorvex6/web";
constexpr const char *kBackupDir = "/tmp/backup";
constexpr const char *kSyncLog = "/tmp/synclog";
constexpr const char *kEventsBackupFile = "eventsbackup.json";
constexpr const char *kSecretsBackupFile = "params.meta";
constexpr const char *kAppPrefix = "root.mevo.";
constexpr const char *kRestartPage =
    "<html><head><meta http-equiv=\"Refresh\" content=\"30; url=index.html\"></head><body>"
    "<pre>Restarting services, redirecting in 30 seconds..</pre></body></html>";
constexpr const char *kInvalidArchive = "Invalid archive!";
constexpr const char *kNotApplied = "Failed to extract file!";

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
    return names.back();
}

// "root.mevo.Httppost0Pass" -> "Httppost.Pass".
std::string program_name(const std::string &stored) {
    std::string name = stored.substr(strlen(kAppPrefix));
    size_t zero = name.find('0');
    if (zero != std::string::npos) name[zero] = '.';
    return name;
}

// The value as the older restore's sed expression took it: leading blanks dropped.
std::string migrated_value(const std::string &value) {
    size_t begin = value.find_first_not_of(" \t\r\f\v");
    return begin == std::string::npos ? "" : value.substr(begin);
}

// What a restore will apply, fully checked before anything is changed.
struct RestorePlan {
    std::string param_path;  // the parameter file, rewritten without secrets
    std::string params;      // its new content
    bool have_rules = false;
    std::string rules;
    ov_secret_store *secrets = nullptr;  // the whole new secrets store
    ~RestorePlan() { ov_secret_store_free(secrets); }
};

// Splits the parameter dump: secrets go to `plan.secrets` (an older backup kept them as
// parameters), everything else stays in `plan.params`. False when a line is not NAME="VALUE".
bool stage_parameters(const std::string &text, RestorePlan &plan) {
    size_t pos = 0;
    int number = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol == std::string::npos ? eol : eol - pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::string name, value;
        if (!web_parse_dump_line(line, name, value)) {
            log_message(kTag, "Parameter file line %d is not NAME=\"VALUE\"", number);
            return false;
        }
        if (!ov_param_is_secret_stored_name(name)) {
            plan.params += line + "\n";
            continue;
        }
        std::string secret = program_name(name);
        log_message(kTag, "Executing %s", ("lookup of " + name + " in the parameter file").c_str());
        std::string v = migrated_value(value);
        if (v.empty()) continue;
        log_message(kTag, "Migrating parameter %s to secrets.", secret.c_str());
        ov_secret_store_set(plan.secrets, secret.c_str(), v.c_str());
    }
    return true;
}

// Checks every part of the unpacked archive in `dir` and fills `plan`; false (logged) when the
// archive must not be applied.
bool stage_restore(int dir_fd, const std::string &dir, const std::string &param_name,
                   RestorePlan &plan) {
    std::string text;
    if (web_read_member(dir_fd, param_name, kRestoreMaxFileBytes, text) != 0) {
        log_message(kTag, "Cannot read %s", param_name.c_str());
        return false;
    }
    plan.param_path = dir + "/" + param_name;
    plan.secrets = ov_param_secrets_copy();
    if (plan.secrets == nullptr || !stage_parameters(text, plan)) return false;
    int rc = web_read_member(dir_fd, kEventsBackupFile, kRestoreMaxFileBytes, plan.rules);
    if (rc == 0) {
        std::string verdict = web_restore_rules_verdict(plan.rules);
        if (verdict != "OK") {
            log_message(kTag, "The archive's event rules are not valid: %s", verdict.c_str());
            return false;
        }
        plan.have_rules = true;
    } else if (rc > 0) {
        log_message(kTag,
                    "Could not restore events. This could be due to the archive being of an "
                    "older version!");
    } else {
        return false;
    }
    std::string meta;
    rc = web_read_member(dir_fd, kSecretsBackupFile, kRestoreMaxFileBytes, meta);
    if (rc < 0) return false;
    if (rc == 0 && ov_secret_store_load_text(plan.secrets, meta, kSecretsBackupFile) != 0) {
        log_message(kTag, "The archive's secrets cannot be read");
        return false;
    }
    return true;
}

// The event rules file as it was, to put back when a later step fails.
struct RulesBackup {
    bool existed = false;
    std::string text;
};

bool apply_rules(const RestorePlan &plan, RulesBackup &old) {
    if (!plan.have_rules) return true;
    std::string target = mevo_package_dir() + "/events.json";
    old.existed = file_read_all(target, old.text) == 0;
    return file_write_atomic(target, plan.rules.data(), plan.rules.size()) == 0;
}

void undo_rules(const RestorePlan &plan, const RulesBackup &old) {
    if (!plan.have_rules) return;
    std::string target = mevo_package_dir() + "/events.json";
    if (old.existed)
        file_write_atomic(target, old.text.data(), old.text.size());
    else
        file_remove_tree(target);
}

// Logs each line a tool wrote, so that skipped parameters are named in the log.
void log_tool_output(const std::string &output) {
    size_t pos = 0;
    while (pos < output.size()) {
        size_t eol = output.find('\n', pos);
        std::string line = output.substr(pos, eol == std::string::npos ? eol : eol - pos);
        pos = eol == std::string::npos ? output.size() : eol + 1;
        if (!line.empty()) log_message(kTag, "setupctl: %s", line.c_str());
    }
}

// setupctl applies the whole file or nothing.
bool apply_parameters(const RestorePlan &plan) {
    if (file_write_atomic(plan.param_path, plan.params.data(), plan.params.size(), 0600) != 0)
        return false;
    std::string setupctl = mevo_tool_path("setupctl");
    log_message(kTag, "Executing: '%s'",
                ("setupctl --nosync setparams " + plan.param_path).c_str());
    SpawnOptions capture;
    capture.capture_output = true;
    capture.merge_stderr = true;
    SpawnResult r = spawn_run({setupctl, "--nosync", "setparams", plan.param_path}, capture);
    log_tool_output(r.output);
    if (r.status != 0) {
        log_message(kTag, r.status < 0 ? "Cannot start %s" : "%s setparams failed (status %d)",
                    setupctl.c_str(), r.status);
        return false;
    }
    SpawnResult sync = spawn_run({setupctl, "sync"}, capture);
    file_write_atomic(mevo_path(kSyncLog), sync.output.data(), sync.output.size());
    if (sync.status != 0) log_message(kTag, "setupctl sync failed (status %d)", sync.status);
    return true;
}

// Applies a checked plan: rules, secrets, then parameters; a failure puts back what was
// already changed.
bool apply_restore(RestorePlan &plan) {
    RulesBackup old_rules;
    if (!apply_rules(plan, old_rules)) {
        undo_rules(plan, old_rules);
        return false;
    }
    if (ov_param_secrets_swap(&plan.secrets) != 0) {  // plan.secrets now holds the old store
        undo_rules(plan, old_rules);
        return false;
    }
    if (!apply_parameters(plan)) {
        ov_param_secrets_swap(&plan.secrets);
        undo_rules(plan, old_rules);
        return false;
    }
    return true;
}

// Extraction state: limits over the whole archive.
struct ExtractBudget {
    size_t members = 0;
    int64_t total = 0;
};

// True when `entry` may be unpacked: a regular file or a folder with a safe name, not a link
// of either kind, within the member count and its size limit.
bool member_allowed(struct archive_entry *entry, const char *name, ExtractBudget &budget) {
    if (++budget.members > kRestoreMaxMembers) {
        log_message(kTag, "refusing archive: more than %zu members", kRestoreMaxMembers);
        return false;
    }
    mode_t type = archive_entry_filetype(entry);
    if (name == nullptr || !web_archive_name_safe(name) || archive_entry_hardlink(entry) ||
        archive_entry_symlink(entry) || (type != AE_IFREG && type != AE_IFDIR)) {
        log_message(kTag, "refusing archive member '%s'", name ? name : "(null)");
        return false;
    }
    if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > kRestoreMaxFileBytes) {
        log_message(kTag, "refusing archive member '%s': larger than %lld bytes", name,
                    static_cast<long long>(kRestoreMaxFileBytes));
        return false;
    }
    return true;
}

// Copies the member's data; the file's extent (holes included) and the archive's total are
// limited, so a small compressed upload cannot fill /tmp (RAM on the camera).
bool copy_member_data(struct archive *in, struct archive *out, const char *name,
                      ExtractBudget &budget) {
    const void *block;
    size_t size;
    la_int64_t offset;
    int r;
    while ((r = archive_read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK) {
        int64_t end = offset + static_cast<int64_t>(size);
        budget.total += static_cast<int64_t>(size);
        if (end > kRestoreMaxFileBytes || budget.total > kRestoreMaxTotalBytes) {
            log_message(kTag, "refusing archive: '%s' goes over the size limits", name);
            return false;
        }
        if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK) return false;
    }
    return r == ARCHIVE_EOF && archive_write_finish_entry(out) == ARCHIVE_OK;
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

int web_extract_archive(const void *data, size_t length, const std::string &dir) {
    struct archive *in = archive_read_new();
    struct archive *out = archive_write_disk_new();
    archive_read_support_filter_gzip(in);
    archive_read_support_format_tar(in);
    // Owners, modes beyond the umask, attributes and ACLs are never restored. Member names are
    // checked to be relative before they are put below `dir` (which makes them absolute).
    archive_write_disk_set_options(
        out, ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    int rc = 0;
    if (archive_read_open_memory(in, data, length) != ARCHIVE_OK) {
        log_message(kTag, "cannot read archive: %s", archive_error_string(in));
        rc = -1;
    }
    ExtractBudget budget;
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
        const std::string name = raw_name ? raw_name : "";
        if (!member_allowed(entry, raw_name ? name.c_str() : nullptr, budget)) {
            rc = -1;
            break;
        }
        archive_entry_set_pathname(entry, (dir + "/" + name).c_str());
        archive_entry_set_perm(entry, archive_entry_filetype(entry) == AE_IFDIR ? 0700 : 0600);
        if (archive_write_header(out, entry) != ARCHIVE_OK) {
            log_message(kTag, "cannot extract '%s': %s", name.c_str(), archive_error_string(out));
            rc = -1;
            break;
        }
        if (!copy_member_data(in, out, name.c_str(), budget)) {
            log_message(kTag, "cannot extract '%s'", name.c_str());
            rc = -1;
        }
    }
    archive_read_free(in);
    archive_write_free(out);
    return rc;
}

int web_read_member(int dir_fd, const std::string &name, int64_t max_bytes, std::string &out) {
    out.clear();
    // No link is followed and a FIFO does not block the HTTP thread: only a regular file of
    // the folder itself is read.
    int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 1 : -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > max_bytes) {
        log_message(kTag, "refusing to read '%s': not a regular file within %lld bytes",
                    name.c_str(), static_cast<long long>(max_bytes));
        close(fd);
        return -1;
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        if (static_cast<int64_t>(out.size()) > max_bytes) break;
    }
    close(fd);
    return n < 0 || static_cast<int64_t>(out.size()) > max_bytes ? -1 : 0;
}

bool web_parse_dump_line(std::string line, std::string &name, std::string &value) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    size_t q1 = line.find('"', eq);
    size_t q2 = line.rfind('"');
    if (q1 == std::string::npos || q2 == q1) return false;
    name = line.substr(0, eq);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    size_t start = name.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    name.erase(0, start);
    if (name != "root" && name.rfind("root.", 0) != 0) name = "root." + name;
    value = line.substr(q1 + 1, q2 - q1 - 1);
    return true;
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
    // Made fresh and private: an existing folder of that name may belong to someone else.
    if (mkdir(guard.dir.c_str(), 0700) != 0) {
        log_message(kTag, "Failed to create backup folder: %s", strerror(errno));
        web_error_html(out, "Failed to extract file!");
        return;
    }
    log_message(kTag, "Untaring temp-restore-params-file.tar.gz to /tmp/backup");
    if (web_extract_archive(body + offset, size, guard.dir) != 0) {
        web_error_html(out, "Failed to untar archive...");
        return;
    }
    std::string param_name = find_parameter_file(guard.dir);
    if (param_name.empty()) {
        log_message(kTag, "Could not find a text file in /tmp/backup");
        web_error_html(out, "%s", kInvalidArchive);
        return;
    }
    int dir_fd = open(guard.dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    RestorePlan plan;
    bool staged = dir_fd >= 0 && stage_restore(dir_fd, guard.dir, param_name, plan);
    if (dir_fd >= 0) close(dir_fd);
    if (!staged) {
        log_message(kTag, "Nothing was restored");
        web_error_html(out, "%s", kInvalidArchive);
        return;
    }
    if (!apply_restore(plan)) {
        log_message(kTag, "Nothing was restored");
        web_error_html(out, "%s", kNotApplied);
        return;
    }
    log_message(kTag, "Restore completed!");
    web_error_html(out, "%s", kRestartPage);
    web_restore_request_restart();
}
