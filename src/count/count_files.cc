#include "count/count_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "common/fileutil.h"
#include "common/log.h"

namespace {

std::string parent_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

void remove_if_wrong_size(const std::string &path, size_t size, const char *tag) {
    long long have = file_size(path);
    if (have >= 0 && static_cast<unsigned long long>(have) != size) {
        // What it held is lost; say so, or a vanished interval has no trace.
        log_message(tag, "%s has %lld bytes instead of %zu: recreated", path.c_str(), have, size);
        unlink(path.c_str());
    }
}

}  // namespace

int count_file_copy_atomic(const std::string &src, const std::string &dst) {
    std::string part = dst + ".part";
    if (file_copy(src, part) < 0) {
        unlink(part.c_str());
        return -1;
    }
    if (rename(part.c_str(), dst.c_str()) < 0) {
        unlink(part.c_str());
        return -1;
    }
    return 0;
}

int count_files_prepare(const std::string &tmp_path, const std::string &sync_path, size_t size,
                        const char *tag, bool *created) {
    if (created) *created = false;
    for (const std::string &path : {tmp_path, sync_path}) {
        std::string dir = parent_of(path);
        if (!dir.empty() && file_mkdir_p(dir) < 0) return -1;
    }
    remove_if_wrong_size(tmp_path, size, tag);
    remove_if_wrong_size(sync_path, size, tag);
    if (!file_exists(tmp_path)) {
        if (!file_exists(sync_path)) {
            std::vector<char> zeros(size, 0);
            if (file_write_atomic(sync_path, zeros.data(), zeros.size(), 0664) < 0) {
                perror("open create");
                fprintf(stderr, "%s\n", sync_path.c_str());
                return -1;
            }
            if (created) *created = true;
        }
        if (count_file_copy_atomic(sync_path, tmp_path) < 0) {
            log_message(tag, "cp %s %s failed", sync_path.c_str(), tmp_path.c_str());
            return -1;
        }
    }
    if (!file_exists(sync_path)) {
        if (count_file_copy_atomic(tmp_path, sync_path) < 0) {
            log_message(tag, "cp %s %s failed", tmp_path.c_str(), sync_path.c_str());
            return -1;
        }
    }
    return 0;
}
