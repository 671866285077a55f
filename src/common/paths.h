// Every absolute path the program uses (package directory, /tmp, /var/log, the SD card, /etc)
// goes through mevo_path(), which puts it under the root directory named by MEVO_ROOT. On the
// camera MEVO_ROOT is unset and paths are used as they are; on a host each run (and each test)
// gets a root of its own, so nothing is ever written outside it.
#pragma once

#include <string>
#include <string_view>

// The root prefix: the value of MEVO_ROOT without a trailing '/', or "" when unset. Read once.
const std::string &mevo_root();

// `abs` is an absolute camera path such as "/tmp/count.buf"; returns it under the root.
// A relative path is returned unchanged.
std::string mevo_path(std::string_view abs);

// The package directory, "/usr/local/packages/mevo" under the root.
std::string mevo_package_dir();

inline constexpr const char *MEVO_PACKAGE_PATH = "/usr/local/packages/mevo";

// For tests: forget the cached root so the next call reads MEVO_ROOT again.
void mevo_root_reset_for_tests();
