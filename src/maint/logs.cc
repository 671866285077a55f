#include "maint/logs.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "maint/archive.h"
#include "params/param.h"
#include "platform/capture/capture_native.h"
#include "web/web.h"

namespace {
constexpr const char *LOG_TAG = "log";
constexpr const char *BACKUP_TAG = "backup";
constexpr const char *LOG_DIR = "/var/log";
constexpr const char *LEGACY_LOG = "/var/log/messages";
constexpr const char *ANON_LOCK = "/usr/local/packages/mevo/anon.lock";
constexpr int SEPARATE_LOGS_FIRMWARE[4] = {5, 60, OV_VERSION_ANY, OV_VERSION_ANY};
constexpr const char *BANNER_RULE = " ===========================================";

bool legacy_logging() {
    int fw[4];
    ov_param_get_firmware_version(fw);
    return ov_version_compare(fw, SEPARATE_LOGS_FIRMWARE) == 1 &&
           file_exists(mevo_path(LEGACY_LOG));
}

// Names in /var/log containing "log", in descending collation order; -1 when unreadable.
int log_files(std::vector<std::string> *names, bool descending) {
    DIR *dir = opendir(mevo_path(LOG_DIR).c_str());
    if (!dir) return -1;
    while (struct dirent *e = readdir(dir))
        if (strstr(e->d_name, "log") && e->d_type != DT_DIR) names->push_back(e->d_name);
    closedir(dir);
    std::sort(names->begin(), names->end(),
              [descending](const std::string &a, const std::string &b) {
                  return descending ? strcoll(a.c_str(), b.c_str()) > 0
                                    : strcoll(a.c_str(), b.c_str()) < 0;
              });
    return 0;
}

std::string title_of(const std::string &name) {
    std::string title = name.substr(0, name.find('.'));
    if (!title.empty()) title[0] = char(toupper((unsigned char)title[0]));
    return title;
}

bool write_text(const std::string &path, const std::string &text) {
    return file_write_atomic(path, text.data(), text.size()) == 0;
}

std::string command_output(const std::vector<std::string> &argv) {
    SpawnOptions opts;
    opts.capture_output = true;
    return spawn_run(argv, opts).output;
}

// A parameter group as the root's setupctl dumps it; false (logged) when the tool cannot be
// run or fails, so that no archive is ever built from an empty dump.
bool dump_group(const char *group, std::string &out) {
    std::string setupctl = mevo_tool_path("setupctl");
    SpawnOptions opts;
    opts.capture_output = true;
    SpawnResult r = spawn_run({setupctl, "getgroup", group}, opts);
    if (r.status != 0) {
        log_message(
            BACKUP_TAG,
            r.status < 0 ? "Cannot run %s: no backup made" : "%s getgroup failed: no backup made",
            setupctl.c_str());
        return false;
    }
    out += r.output;
    return true;
}

// Dump lines whose name is the stored form of a secret (put there by an older restore).
std::string without_secrets(const std::string &dump) {
    std::string out;
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t end = dump.find('\n', pos);
        std::string line = dump.substr(pos, end == std::string::npos ? end : end - pos + 1);
        pos = end == std::string::npos ? dump.size() : end + 1;
        if (!ov_param_is_secret_stored_name(line.substr(0, line.find('=')))) out += line;
    }
    return out;
}

// Lines of a parameter dump that contain none of `excluded`.
std::string filter_lines(const std::string &dump, const std::vector<const char *> &excluded) {
    std::string out;
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t end = dump.find('\n', pos);
        std::string line = dump.substr(pos, end == std::string::npos ? end : end - pos + 1);
        pos = end == std::string::npos ? dump.size() : end + 1;
        bool keep = std::none_of(excluded.begin(), excluded.end(),
                                 [&](const char *x) { return line.find(x) != std::string::npos; });
        if (keep) out += line;
    }
    return out;
}

std::string local_date_text() {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Z %Y\n", &tm);
    return buf;
}

std::string package_listing() {
    std::string root = mevo_path("/usr/local/packages");
    std::string out;
    DIR *dir = opendir(root.c_str());
    if (!dir) return out;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        struct stat st;
        if (lstat((root + "/" + e->d_name).c_str(), &st) < 0) continue;
        char line[512];
        snprintf(line, sizeof line, "%c%03o %10lld %s\n", S_ISDIR(st.st_mode) ? 'd' : '-',
                 st.st_mode & 0777, (long long)st.st_size, e->d_name);
        out += line;
    }
    closedir(dir);
    return out;
}

void add_logs(const std::string &genlog) {
    if (legacy_logging()) {
        log_message(LOG_TAG, "Using single log file in package.");
        for (const char *name : {"messages", "messages.old"}) {
            std::string from = mevo_path(std::string(LOG_DIR) + "/" + name);
            if (file_exists(from) && link(from.c_str(), (genlog + "/" + name).c_str()) < 0)
                log_message(LOG_TAG, "Could not link %s to %s", from.c_str(), genlog.c_str());
        }
        return;
    }
    log_message(LOG_TAG, "Using individual .log-files in package.");
    std::vector<std::string> names;
    if (log_files(&names, false) < 0) {
        log_message(LOG_TAG, "Log_generate received scandir error: %s", strerror(errno));
        return;
    }
    for (const auto &name : names) {
        std::string from = mevo_path(std::string(LOG_DIR) + "/" + name);
        if (link(from.c_str(), (genlog + "/" + name).c_str()) < 0)
            log_message(LOG_TAG, "Could not link %s to %s", from.c_str(), genlog.c_str());
    }
}

void add_snapshot(const std::string &genlog) {
    if (file_exists(mevo_path(ANON_LOCK))) {
        if (!write_text(genlog + "/image_not_availible.txt",
                        "The camera is anonymized and no image is thus availible.\n"))
            log_message(LOG_TAG, "Could not create file for genlog img not availible");
        return;
    }
    bool good = false;
    if (CaptureStream *stream = capture_open_stream("image/jpeg", "fps=5&resoultion=320x240")) {
        if (CaptureFrame *frame = capture_get_frame(stream)) {
            good = capture_frame_size(frame) > 0 &&
                   file_write_atomic(genlog + "/image.jpg", capture_frame_data(frame),
                                     capture_frame_size(frame)) == 0;
            capture_frame_free(frame);
        }
        capture_close_stream(stream);
    }
    write_text(genlog + "/image_status", good ? "good\n" : "failed\n");
}

const char *serve(const char *path, int *length) {
    static std::string kept;
    kept = mevo_path(path);
    return web_reply_file(kept.c_str(), length);
}

// A private folder (0700) for one parameter archive, removed with everything in it when the
// reply has been mapped: the archive may hold secrets.
struct BackupWorkDir {
    std::string path;
    BackupWorkDir() {
        std::string tmpl = mevo_path(BACKUP_WORK_DIR_TEMPLATE);
        if (mkdtemp(tmpl.data()) != nullptr) path = tmpl;
    }
    ~BackupWorkDir() {
        if (!path.empty()) file_remove_tree(path);
    }
};

// Builds the parameter archive from a dump and, when given, a secrets store.
const char *serve_param_archive(const std::string &dump, const ov_secret_store *secrets,
                                int *length) {
    *length = 0;
    BackupWorkDir work;
    if (work.path.empty()) {
        log_message(BACKUP_TAG, "Cannot create a folder for the backup: %s", strerror(errno));
        return "";
    }
    std::vector<std::string> members = {"parambackup.txt", "eventsbackup.json"};
    if (file_write_atomic(work.path + "/parambackup.txt", dump.data(), dump.size(), 0600) != 0)
        return "";
    file_copy(mevo_path("/usr/local/packages/mevo/events.json"), work.path + "/eventsbackup.json");
    if (secrets) {
        if (ov_secret_store_save(secrets, (work.path + "/params.meta").c_str()) != 0) return "";
        members.push_back("params.meta");
    }
    std::string archive = work.path + "/mevo-parambackup.tar.gz";
    if (archive_write_targz(archive, work.path, members) < 0) return "";
    // The mapping outlives the folder's removal; the layer copies it after we return.
    return web_reply_file(archive.c_str(), length);
}

// Secrets leave the camera only in an administrator's archive: below that, a backup would
// hand out the service account's password (which logs in as an administrator).
bool caller_gets_secrets() {
    return web_request_privilege() == WEB_PRIV_ADMIN;
}
}  // namespace

const char *logs_show_handler(void *, const char *, int *length) {
    if (legacy_logging()) {
        log_message(LOG_TAG, "Legacy logging scheme.");
        return serve(LEGACY_LOG, length);
    }
    static std::string reply;
    std::vector<std::string> names;
    if (log_files(&names, true) < 0) {
        reply = strerror(errno);
        *length = int(reply.size());
        return reply.c_str();
    }
    if (names.empty()) {
        log_message(LOG_TAG, "No log files could be found.");
        reply = "No log files could be found.";
        *length = int(reply.size());
        return reply.c_str();
    }
    std::string text, previous_title;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string title = title_of(names[i]);
        if (i == 0 || title != previous_title)
            text += std::string(BANNER_RULE) + "\n    " + title + "\n" + BANNER_RULE + "\n\n";
        previous_title = title;
        std::string content;
        if (file_read_all(mevo_path(std::string(LOG_DIR) + "/" + names[i]), content) == 0)
            text += content;
    }
    write_text(mevo_path(LOGS_MESSAGES_FILE), text);
    return serve(LOGS_MESSAGES_FILE, length);
}

const char *logs_generate_handler(void *, const char *, int *length) {
    std::string genlog = mevo_path(LOGS_GENLOG_DIR);
    file_remove_tree(genlog);
    file_mkdir_p(genlog);
    write_text(genlog + "/date", local_date_text());
    write_text(genlog + "/df", command_output({"df"}));
    write_text(genlog + "/running_processes", command_output({"ps"}));
    write_text(genlog + "/allparams",
               without_secrets(command_output({mevo_tool_path("setupctl"), "getgroup", "root"})));
    add_logs(genlog);
    file_copy(mevo_path("/usr/local/packages/mevo/localdata/count.buf"), genlog + "/count.buf");
    file_copy(mevo_path("/usr/local/packages/mevo/conf/mevo.conf"), genlog + "/params.conf");
    write_text(genlog + "/ls_of_usr_local_packages", package_listing());
    file_copy(mevo_path("/tmp/mevo_force_close.log"), genlog + "/mevo_force_close.log");
    file_copy(mevo_path("/tmp/mevo_latest_messages"), genlog + "/mevo_latest_messages");
    add_snapshot(genlog);
    write_text(genlog + "/version",
               std::string(PRODUCT_NAME) + "\n" + PRODUCT_VERSION + "-\n" + PRODUCT_BUILD_DATE);
    if (archive_write_targz(mevo_path(LOGS_GENLOG_ARCHIVE), mevo_path("/tmp"), {"genlog"}) < 0) {
        *length = 0;
        return "";
    }
    return serve(LOGS_GENLOG_ARCHIVE, length);
}

const char *backup_params_handler(void *, const char *, int *length) {
    log_message(BACKUP_TAG, "Performing backup!");
    *length = 0;
    std::string mevo, time_group;
    if (!dump_group("root.mevo", mevo) || !dump_group("root.Time", time_group)) return "";
    std::string dump = without_secrets(filter_lines(mevo, {"0SysPwd"})) + time_group;
    ov_secret_store *secrets = nullptr;
    if (caller_gets_secrets()) {
        secrets = ov_secret_store_new();
        ov_secret_store_load(secrets, ov_param_secrets_path().c_str());
    }
    const char *reply = serve_param_archive(dump, secrets, length);
    ov_secret_store_free(secrets);
    return reply;
}

const char *copy_params_handler(void *, const char *, int *length) {
    *length = 0;
    std::string mevo;
    if (!dump_group("root.mevo", mevo)) return "";
    std::string dump = without_secrets(
        filter_lines(mevo, {"Counter0Name", "Counter0OccName", "Environment0", "Build0"}));
    ov_secret_store *scratch = nullptr;
    if (caller_gets_secrets()) {
        scratch = ov_secret_store_new();
        if (ov_secret_store_load(scratch, ov_param_secrets_path().c_str()) == 0) {
            ov_secret_store_set(scratch, "Environment.SysPwd", "");
        } else {
            ov_secret_store_free(scratch);
            scratch = nullptr;
        }
    }
    const char *reply = serve_param_archive(dump, scratch, length);
    ov_secret_store_free(scratch);
    return reply;
}
