#include "maint/archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "common/log.h"

namespace {
constexpr const char *TAG = "backup";
constexpr size_t CHUNK = 64 * 1024;

int add_path(struct archive *a, const std::string &base, const std::string &rel);

int add_file_data(struct archive *a, const std::string &full) {
    int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[CHUNK];
    ssize_t n;
    int rc = 0;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        if (archive_write_data(a, buf, size_t(n)) < 0) {
            rc = -1;
            break;
        }
    close(fd);
    return n < 0 ? -1 : rc;
}

int add_folder(struct archive *a, const std::string &base, const std::string &rel) {
    DIR *dir = opendir((base + "/" + rel).c_str());
    if (!dir) return -1;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto &name : names)
        if (add_path(a, base, rel + "/" + name) < 0) return -1;
    return 0;
}

int add_path(struct archive *a, const std::string &base, const std::string &rel) {
    std::string full = base + "/" + rel;
    struct stat st;
    if (lstat(full.c_str(), &st) < 0) return 0;  // a missing file leaves its part out
    struct archive_entry *entry = archive_entry_new();
    archive_entry_set_pathname(entry, rel.c_str());
    archive_entry_copy_stat(entry, &st);
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
        target[n < 0 ? 0 : n] = '\0';
        archive_entry_set_symlink(entry, target);
    }
    int rc = archive_write_header(a, entry) == ARCHIVE_OK ? 0 : -1;
    archive_entry_free(entry);
    if (rc < 0) return -1;
    if (S_ISREG(st.st_mode)) return add_file_data(a, full);
    if (S_ISDIR(st.st_mode)) return add_folder(a, base, rel);
    return 0;
}
}  // namespace

int archive_write_targz(const std::string &archive_path, const std::string &base_dir,
                        const std::vector<std::string> &entries) {
    std::string tmp = archive_path + ".new";
    struct archive *a = archive_write_new();
    archive_write_add_filter_gzip(a);
    archive_write_set_format_pax_restricted(a);
    if (archive_write_open_filename(a, tmp.c_str()) != ARCHIVE_OK) {
        log_message(TAG, "Could not create %s: %s", tmp.c_str(), archive_error_string(a));
        archive_write_free(a);
        return -1;
    }
    int rc = 0;
    for (const auto &rel : entries)
        if (add_path(a, base_dir, rel) < 0) {
            log_message(TAG, "Could not archive %s: %s", rel.c_str(), archive_error_string(a));
            rc = -1;
            break;
        }
    if (archive_write_close(a) != ARCHIVE_OK) rc = -1;
    archive_write_free(a);
    if (rc == 0 && rename(tmp.c_str(), archive_path.c_str()) < 0) rc = -1;
    if (rc < 0) unlink(tmp.c_str());
    return rc;
}
