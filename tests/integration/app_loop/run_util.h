// Helpers for tests that run the real programs: a temporary root laid out by scripts/mkroot,
// child processes with their output in a file, waiting with a deadline.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/spawn.h"

namespace testrun {

inline std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Root {
    std::string path;
    explicit Root(const char *tag) {
        std::string tmpl = std::string("/tmp/mevo-") + tag + "-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        path = mkdtemp(buf.data());
    }
    ~Root() { std::filesystem::remove_all(path); }
    // Lays the root out with the repository's scripts/mkroot from the build tree.
    bool lay_out() const {
        SpawnOptions o;
        o.capture_output = true;
        o.merge_stderr = true;
        SpawnResult r =
            spawn_run({"bash", MEVO_SOURCE_DIR "/scripts/mkroot", path, MEVO_BUILD_DIR}, o);
        return r.status == 0;
    }
    std::string package() const { return path + "/usr/local/packages/mevo"; }
    // Adds a web user in every group through the root's user-management CGI.
    SpawnResult add_admin(const std::string &user, const std::string &password) const {
        SpawnOptions o;
        o.capture_output = true;
        o.env = {"MEVO_ROOT=" + path, "QUERY_STRING=action=add&user=" + user + "&pwd=" + password +
                                          "&grp=users&sgrp=viewer:operator:admin:ptz"};
        return spawn_run({path + "/usr/html/veka-cgi/pwdgrp.cgi"}, o);
    }
};

// A child process whose standard output and error go to `log`.
struct Child {
    pid_t pid = -1;
    int status = -1;

    Child(const std::vector<std::string> &argv, const std::vector<std::string> &env,
          const std::string &log, const std::string &workdir) {
        pid = fork();
        if (pid != 0) return;
        for (const std::string &e : env) putenv(strdup(e.c_str()));
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ~Child() {
        if (pid > 0 && status < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // True when it ended within `seconds`; `status` then holds its wait status.
    bool wait_for(double seconds) {
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(seconds * 1000));
        while (std::chrono::steady_clock::now() < deadline) {
            int st = 0;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                status = st;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool exited_with(int code) const {
        return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
    }
};

// Waits until `path` contains `text`.
inline bool wait_for_text(const std::string &path, const std::string &text, double seconds) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline) {
        if (read_file(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Position of each text in `log`, searched in order from the previous one; npos when missing.
inline size_t find_in_order(const std::string &log, const std::vector<std::string> &texts,
                            size_t from = 0, std::string *missing = nullptr) {
    size_t pos = from;
    for (const std::string &t : texts) {
        size_t at = log.find(t, pos);
        if (at == std::string::npos) {
            if (missing) *missing = t;
            return std::string::npos;
        }
        pos = at + t.size();
    }
    return pos;
}

}  // namespace testrun
