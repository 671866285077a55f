#include "common/paths.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

namespace {
std::mutex g_root_lock;
std::string g_root;
bool g_root_read = false;
}  // namespace

const std::string &mevo_root() {
    std::lock_guard<std::mutex> guard(g_root_lock);
    if (!g_root_read) {
        const char *env = std::getenv("MEVO_ROOT");
        g_root = env ? env : "";
        char cwd[PATH_MAX];
        if (!g_root.empty() && g_root.front() != '/' && getcwd(cwd, sizeof cwd))
            g_root = std::string(cwd) + "/" + g_root;
        while (!g_root.empty() && g_root.back() == '/') g_root.pop_back();
        g_root_read = true;
    }
    return g_root;
}

std::string mevo_path(std::string_view abs) {
    if (abs.empty() || abs.front() != '/') return std::string(abs);
    return mevo_root() + std::string(abs);
}

std::string mevo_tool_path(std::string_view name) {
    return mevo_path("/usr/bin/" + std::string(name));
}

std::string mevo_package_dir() {
    return mevo_path(MEVO_PACKAGE_PATH);
}

void mevo_root_reset_for_tests() {
    std::lock_guard<std::mutex> guard(g_root_lock);
    g_root_read = false;
}
