// Writes gzip-compressed tar archives in process (libarchive), so no file name ever reaches a
// shell command.
#pragma once

#include <string>
#include <vector>

// Archives `entries` (paths relative to `base_dir`; folders are added with their contents,
// links are stored as links, never followed) into `archive_path`, replaced atomically.
// Returns 0, or -1 with the reason logged under "backup".
int archive_write_targz(const std::string &archive_path, const std::string &base_dir,
                        const std::vector<std::string> &entries);
