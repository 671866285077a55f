// mevo-host: the application host of a camera, for a host machine. Starts mevo from the package
// directory of a root, starts it again whenever it exits, appends its output to
// var/log/mevo.log, and turns a reboot request (platform_reboot) into a simulated camera reboot:
// the root's tmp/ is emptied before the next start. It never reboots the machine.
//
//   mevo-host [--root DIR] [--once] [--program PATH] [--restart-delay MS] [-- ARGS...]
//
// --root DIR          the root (default: $MEVO_ROOT); exported to mevo as MEVO_ROOT
// --once              run mevo once (a pending reboot is still simulated), exit with its status
// --program PATH      run PATH instead of <package>/mevo
// --restart-delay MS  pause before a restart (default 1000); doubled while mevo keeps exiting
//                     within 10 s of its start, up to 30 s
// SIGTERM/SIGINT: mevo gets SIGTERM, SIGKILL after 15 s, then mevo-host exits with status 0.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/fileutil.h"
#include "common/paths.h"
#include "platform/reboot/reboot.h"

namespace {
constexpr int kPollMs = 50;
constexpr int kStopGraceMs = 15000;    // SIGTERM to SIGKILL when stopping
constexpr int kRebootGraceMs = 15000;  // a rebooting camera does not wait longer for a process
constexpr int kQuickExitMs = 10000;    // runs shorter than this back the restart delay off
constexpr int kMaxRestartDelayMs = 30000;

std::atomic<int> g_stop{0};

void on_stop(int) {
    g_stop.store(1);
}

struct Options {
    std::string root;
    std::string program;
    bool once = false;
    int restart_delay_ms = 1000;
    std::vector<std::string> args;
};

std::string log_path() {
    return mevo_path("/var/log/mevo.log");
}

// Own messages go to standard error and into mevo.log, so the log tells the whole story.
void host_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void host_log(const char *fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    std::fprintf(stderr, "mevo-host: %s\n", text);
    FILE *f = std::fopen(log_path().c_str(), "a");
    if (f) {
        std::fprintf(f, "mevo-host: %s\n", text);
        std::fclose(f);
    }
}

long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleep_ms(int ms) {
    for (int slept = 0; slept < ms && !g_stop.load(); slept += kPollMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kPollMs, ms - slept)));
}

int usage() {
    std::fprintf(stderr,
                 "usage: mevo-host [--root DIR] [--once] [--program PATH] [--restart-delay MS] "
                 "[-- ARGS...]\n");
    return 2;
}

bool parse(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--root") {
            if (!value(o.root)) return false;
        } else if (a == "--program") {
            if (!value(o.program)) return false;
        } else if (a == "--once") {
            o.once = true;
        } else if (a == "--restart-delay") {
            if (!value(v)) return false;
            char *end = nullptr;
            long ms = std::strtol(v.c_str(), &end, 10);
            if (!end || *end || ms < 0 || ms > INT_MAX) return false;
            o.restart_delay_ms = int(ms);
        } else if (a == "--") {
            for (++i; i < argc; ++i) o.args.push_back(argv[i]);
        } else {
            return false;
        }
    }
    return true;
}

// Empties tmp/ (not the folder itself: it may be a mount point). Links are removed, not
// followed, so nothing outside the root is touched.
void wipe_tmp() {
    std::string tmp = mevo_path("/tmp");
    DIR *dir = opendir(tmp.c_str());
    if (!dir) {
        file_mkdir_p(tmp, 01777);
        return;
    }
    std::vector<std::string> entries;
    while (struct dirent *e = readdir(dir))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
            entries.push_back(e->d_name);
    closedir(dir);
    for (const std::string &name : entries)
        if (file_remove_tree(tmp + "/" + name) != 0)
            host_log("could not remove tmp/%s: %s", name.c_str(), strerror(errno));
}

void simulate_reboot() {
    host_log("reboot requested: simulating a camera reboot (emptying tmp/)");
    wipe_tmp();
    platform_reboot_clear();
}

pid_t start_child(const Options &o) {
    std::string package = mevo_package_dir();
    std::string program = o.program.empty() ? package + "/mevo" : o.program;
    std::vector<std::string> args = {program};
    args.insert(args.end(), o.args.begin(), o.args.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string log = log_path();

    pid_t pid = fork();
    if (pid != 0) return pid;
    // Child: default signal handling, output to the log, run from the package directory.
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (fd > STDERR_FILENO) close(fd);
    }
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) {
        dup2(devnull, STDIN_FILENO);
        if (devnull > STDERR_FILENO) close(devnull);
    }
    if (chdir(package.c_str()) != 0) {
        std::fprintf(stderr, "mevo-host: cannot enter %s: %s\n", package.c_str(), strerror(errno));
        _exit(127);
    }
    execv(argv[0], argv.data());
    std::fprintf(stderr, "mevo-host: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

std::string describe(int status) {
    char text[64];
    if (WIFEXITED(status))
        std::snprintf(text, sizeof text, "exited with status %d", WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        std::snprintf(text, sizeof text, "was killed by signal %d", WTERMSIG(status));
    else
        std::snprintf(text, sizeof text, "ended (status 0x%x)", status);
    return text;
}

// Waits for the child; forwards a stop and enforces the grace periods. Returns its wait status.
int wait_child(pid_t pid) {
    long long term_sent_at = -1, reboot_seen_at = -1;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return 0;
        long long now = now_ms();
        if (g_stop.load() && term_sent_at < 0) {
            kill(pid, SIGTERM);
            term_sent_at = now;
        }
        if (reboot_seen_at < 0 && platform_reboot_requested()) reboot_seen_at = now;
        bool stop_overdue = term_sent_at >= 0 && now - term_sent_at > kStopGraceMs;
        bool reboot_overdue = reboot_seen_at >= 0 && now - reboot_seen_at > kRebootGraceMs;
        if (stop_overdue || reboot_overdue) {
            host_log("mevo did not exit in time: killing it");
            kill(pid, SIGKILL);
            term_sent_at = reboot_seen_at = LLONG_MAX / 2;  // once
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}
}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, o)) return usage();
    if (o.root.empty()) {
        const char *env = std::getenv("MEVO_ROOT");
        if (!env || !*env) {
            std::fprintf(stderr, "mevo-host: give --root DIR or set MEVO_ROOT\n");
            return usage();
        }
        o.root = env;
    }
    char resolved[PATH_MAX];
    if (!realpath(o.root.c_str(), resolved)) {
        std::fprintf(stderr, "mevo-host: root %s: %s\n", o.root.c_str(), strerror(errno));
        return 1;
    }
    setenv("MEVO_ROOT", resolved, 1);
    mevo_root_reset_for_tests();  // the root is now fixed for this process and its children
    // The camera's tools (setupctl) are found on PATH, as on the camera.
    const char *path = std::getenv("PATH");
    std::string tools = std::string(resolved) + "/usr/bin";
    setenv("PATH", (tools + (path && *path ? std::string(":") + path : "")).c_str(), 1);
    file_mkdir_p(mevo_path("/var/log"));

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    // A request left from before this start is honoured: the "camera" was going to reboot.
    if (platform_reboot_requested()) simulate_reboot();

    int delay = o.restart_delay_ms;
    for (;;) {
        long long started = now_ms();
        pid_t pid = start_child(o);
        if (pid < 0) {
            host_log("cannot start mevo: %s", strerror(errno));
            return 1;
        }
        host_log("started mevo (pid %d) in %s", int(pid), resolved);
        int status = wait_child(pid);
        host_log("mevo %s", describe(status).c_str());
        if (platform_reboot_requested()) simulate_reboot();
        if (o.once) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        if (g_stop.load()) break;
        // A process that keeps dying right after its start is restarted ever more slowly.
        bool quick = now_ms() - started < kQuickExitMs;
        int pause = quick ? delay : o.restart_delay_ms;
        delay = quick ? std::max(o.restart_delay_ms, std::min(delay * 2, kMaxRestartDelayMs))
                      : o.restart_delay_ms;
        sleep_ms(pause);
        if (g_stop.load()) break;
    }
    host_log("stopped");
    return 0;
}
