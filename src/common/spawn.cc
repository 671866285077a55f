#include "common/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"

extern char **environ;

namespace {
constexpr const char *TAG = "spawn";

struct CStrings {
    std::vector<std::string> store;
    std::vector<char *> ptrs;
    char **get() {
        ptrs.clear();
        for (auto &s : store) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
        return ptrs.data();
    }
};

CStrings build_env(const std::vector<std::string> &extra) {
    CStrings env;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const auto &x : extra)
            if (x.compare(0, name.size() + 1, name + "=") == 0) overridden = true;
        if (!overridden) env.store.push_back(entry);
    }
    for (const auto &x : extra) env.store.push_back(x);
    return env;
}

int decode_status(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return -1;
}

// Starts the child with optional pipes; fills the parent's ends.
pid_t start(const std::vector<std::string> &argv, const SpawnOptions &opts, int *out_fd,
            int *in_fd, bool own_group) {
    if (argv.empty()) return -1;
    CStrings args;
    args.store = argv;
    CStrings env = build_env(opts.env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (own_group) {
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
    }
    int out_pipe[2] = {-1, -1}, in_pipe[2] = {-1, -1};
    if (out_fd && pipe2(out_pipe, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
        if (opts.merge_stderr) posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDERR_FILENO);
    }
    if (in_fd && pipe2(in_pipe, O_CLOEXEC) == 0)
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
    if (!opts.workdir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, opts.workdir.c_str());

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, &attr, args.get(), env.get());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (out_pipe[1] >= 0) close(out_pipe[1]);
    if (in_pipe[0] >= 0) close(in_pipe[0]);
    if (rc != 0) {
        log_message(TAG, "cannot start '%s': %s", argv[0].c_str(), strerror(rc));
        if (out_pipe[0] >= 0) close(out_pipe[0]);
        if (in_pipe[1] >= 0) close(in_pipe[1]);
        return -1;
    }
    if (out_fd) *out_fd = out_pipe[0];
    if (in_fd) *in_fd = in_pipe[1];
    return pid;
}
}  // namespace

SpawnResult spawn_run(const std::vector<std::string> &argv, const SpawnOptions &opts) {
    SpawnResult result;
    int out_fd = -1, in_fd = -1;
    bool want_input = !opts.input.empty();
    pid_t pid = start(argv, opts, opts.capture_output ? &out_fd : nullptr,
                      want_input ? &in_fd : nullptr, false);
    if (pid < 0) return result;
    if (in_fd >= 0) {
        // Inputs are small (parameter lists); a child that stops reading gets EPIPE, not us.
        const char *p = opts.input.data();
        size_t left = opts.input.size();
        while (left > 0) {
            ssize_t n = write(in_fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            p += n;
            left -= size_t(n);
        }
        close(in_fd);
    }
    if (out_fd >= 0) {
        char buf[4096];
        for (;;) {
            ssize_t n = read(out_fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            result.output.append(buf, size_t(n));
        }
        close(out_fd);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.status = decode_status(wstatus);
    return result;
}

int spawn_detached(const std::vector<std::string> &argv, const SpawnOptions &opts) {
    return start(argv, opts, nullptr, nullptr, true);
}
