#include "app/forced_exit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/log.h"
#include "common/paths.h"

namespace {
constexpr int kParentPollMs = 100;
pid_t g_helper = -1;

int pidfd_open_of(pid_t pid) {
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

int pidfd_kill(int pidfd) {
#ifdef SYS_pidfd_send_signal
    return int(syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
#else
    (void)pidfd;
    errno = ENOSYS;
    return -1;
#endif
}

// Async-signal-safe decimal formatting (the helper runs after fork in a threaded process).
size_t put_number(char *out, long long v) {
    char tmp[24];
    size_t n = 0;
    if (v == 0) tmp[n++] = '0';
    while (v > 0 && n < sizeof tmp) {
        tmp[n++] = char('0' + v % 10);
        v /= 10;
    }
    for (size_t i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
    return n;
}

void write_force_log(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[96];
    const char prefix[] = "Forced MEVO to close at ";
    size_t len = sizeof prefix - 1;
    std::memcpy(line, prefix, len);
    len += put_number(line + len, (long long)time(nullptr));
    line[len++] = '\n';
    ssize_t ignored = write(fd, line, len);
    (void)ignored;
    close(fd);
}

// The helper: wait for the parent to end or the delay to pass. Only async-signal-safe calls.
[[noreturn]] void helper_main(pid_t parent, int pidfd, int delay_ms, const char *log_path) {
    if (pidfd >= 0) {
        struct pollfd pfd = {pidfd, POLLIN, 0};
        int r;
        do r = poll(&pfd, 1, delay_ms);
        while (r < 0 && errno == EINTR);
        if (r == 0 && pidfd_kill(pidfd) == 0) write_force_log(log_path);
        _exit(0);
    }
    for (int waited = 0; waited < delay_ms; waited += kParentPollMs) {
        if (getppid() != parent) _exit(0);
        struct timespec ts = {0, kParentPollMs * 1000000L};
        nanosleep(&ts, nullptr);
    }
    // Still our parent, so the process id cannot have been reused.
    if (getppid() == parent && kill(parent, SIGKILL) == 0) write_force_log(log_path);
    _exit(0);
}
}  // namespace

int forced_exit_arm(int delay_ms, const char *log_path) {
    forced_exit_cancel();
    // Everything the helper needs is prepared before fork.
    static std::string path;
    path = mevo_path(log_path ? log_path : "/tmp/mevo_force_close.log");
    pid_t parent = getpid();
    int pidfd = pidfd_open_of(parent);
    pid_t pid = fork();
    if (pid < 0) {
        log_message("mevo", "could not arm the forced exit: %s", strerror(errno));
        if (pidfd >= 0) close(pidfd);
        return -1;
    }
    if (pid == 0) helper_main(parent, pidfd, delay_ms, path.c_str());
    if (pidfd >= 0) close(pidfd);
    g_helper = pid;
    return 0;
}

void forced_exit_cancel(void) {
    if (g_helper <= 0) return;
    kill(g_helper, SIGKILL);
    waitpid(g_helper, nullptr, 0);
    g_helper = -1;
}
