// Every absolute path the program uses (package directory, /tmp, /var/log, the SD card, /etc)
// goes through mevo_path(), which puts it under the root directory named by MEVO_ROOT. On the
// camera MEVO_ROOT is unset and paths are used as they are; on a host each run (and each test)
// gets a root of its own, so nothing is ever written outside it.
#pragma once

#include <string>
#include <string_view>

// The root prefix: the value of MEVO_ROOT without a trailing '/', made absolute against the
// working directory of the first call (the program later changes to its package directory),
// or "" when unset. Read once.
const std::string &mevo_root();

// `abs` is an absolute camera path such as "/tmp/count.buf"; returns it under the root.
// A relative path is returned unchanged.
std::string mevo_path(std::string_view abs);

// The package directory, "/usr/local/packages/mevo" under the root.
std::string mevo_package_dir();

// The root's own command-line tool `name` ("setupctl"): /usr/bin/NAME under the root. Used
// instead of a PATH search so that a program started without the root's tools on its PATH
// (by hand, by a service manager) still runs the root's tools and never another copy.
std::string mevo_tool_path(std::string_view name);

inline constexpr const char *MEVO_PACKAGE_PATH = "/usr/local/packages/mevo";

// For tests: forget the cached root so the next call reads MEVO_ROOT again.
void mevo_root_reset_for_tests();
