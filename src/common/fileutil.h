// In-process file helpers, so that no path ever reaches a shell. All return 0 on success and
// -1 on failure with errno set (and the failure logged under `tag` "fileutil").
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Copies `src` to `dst` (created or truncated, mode of the source), flushed before returning.
int file_copy(const std::string &src, const std::string &dst);

// Creates `path` and every missing parent, like `mkdir -p`.
int file_mkdir_p(const std::string &path, mode_t mode = 0755);

// Removes a file, an empty or non-empty folder tree, or a link (never following it).
// A path that does not exist is not an error.
int file_remove_tree(const std::string &path);

// Writes `len` bytes as the whole new content of `path`: a temporary file next to it is
// written, flushed and synced, then renamed over it, so a crash leaves the old or the new file.
int file_write_atomic(const std::string &path, const void *data, size_t len, mode_t mode = 0644);

// Reads a whole file into `out`.
int file_read_all(const std::string &path, std::string &out);

// True when `path` exists (any type).
bool file_exists(const std::string &path);

// Size in bytes, or -1 when it cannot be read.
long long file_size(const std::string &path);
