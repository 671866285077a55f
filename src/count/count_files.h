// Working/flash file pairs of the count store and the totals: both copies are kept at one fixed
// size. Internal to the count module.
#pragma once

#include <cstddef>
#include <string>

// Deletes either copy when its size is not `size`; creates a zero-filled flash copy when both
// are missing (`*created` set to true when non-null); restores a missing working copy from the
// flash copy and a missing flash copy from the working copy. Every file is written next to its
// final name and renamed into place, so a process killed at any moment never leaves a copy of
// the wrong size behind. Missing parent folders are created. Returns 0, or -1 (printed).
int count_files_prepare(const std::string &tmp_path, const std::string &sync_path, size_t size,
                        const char *tag, bool *created);

// Copies src to dst through a temporary file and a rename. Returns 0 or -1.
int count_file_copy_atomic(const std::string &src, const std::string &dst);
