#include "common/fileutil.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/log.h"

namespace {
constexpr const char *TAG = "fileutil";
constexpr size_t COPY_CHUNK = 64 * 1024;

int write_fully(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        data += n;
        len -= size_t(n);
    }
    return 0;
}

int fail(const char *what, const std::string &path) {
    int saved = errno;
    log_message(TAG, "%s '%s': %s", what, path.c_str(), strerror(saved));
    errno = saved;
    return -1;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return ::remove(path) == 0 || errno == ENOENT ? 0 : -1;
}
}  // namespace

int file_copy(const std::string &src, const std::string &dst) {
    int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail("cannot open", src);
    struct stat st;
    fstat(in, &st);
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        close(in);
        return fail("cannot create", dst);
    }
    std::vector<char> buf(COPY_CHUNK);
    int rc = 0;
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            rc = fail("cannot read", src);
            break;
        }
        if (n == 0) break;
        if (write_fully(out, buf.data(), size_t(n)) < 0) {
            rc = fail("cannot write", dst);
            break;
        }
    }
    if (rc == 0 && fsync(out) < 0) rc = fail("cannot sync", dst);
    close(in);
    if (close(out) < 0 && rc == 0) rc = fail("cannot close", dst);
    return rc;
}

int file_mkdir_p(const std::string &path, mode_t mode) {
    if (path.empty()) return 0;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), mode) < 0 && errno != EEXIST) return fail("cannot mkdir", partial);
    }
    struct stat st;
    if (stat(path.c_str(), &st) < 0 || !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return fail("not a folder", path);
    }
    return 0;
}

int file_remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) < 0) return errno == ENOENT ? 0 : fail("cannot stat", path);
    if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 ? 0 : fail("cannot remove", path);
    // FTW_PHYS: links are removed, never followed out of the tree.
    if (nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) < 0)
        return fail("cannot remove", path);
    return 0;
}

int file_write_atomic(const std::string &path, const void *data, size_t len, mode_t mode) {
    std::string tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return fail("cannot create", tmp);
    if (write_fully(fd, static_cast<const char *>(data), len) < 0 || fsync(fd) < 0) {
        fail("cannot write", tmp);
        close(fd);
        ::unlink(tmp.c_str());
        return -1;
    }
    if (close(fd) < 0) return fail("cannot close", tmp);
    if (rename(tmp.c_str(), path.c_str()) < 0) {
        fail("cannot rename over", path);
        ::unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

int file_read_all(const std::string &path, std::string &out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    out.clear();
    char buf[COPY_CHUNK];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        if (n == 0) break;
        out.append(buf, size_t(n));
    }
    close(fd);
    return 0;
}

bool file_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

long long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}
