#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/supervision.h"
#include "common/log.h"
#include "common/paths.h"
#include "platform/reboot/reboot.h"

namespace {
constexpr const char *TAG = "watchdog";
constexpr const char KICK[] = "Kick!";

int env_seconds(const char *name, int fallback) {
    const char *v = getenv(name);
    int n = v ? atoi(v) : 0;
    return n > 0 ? n : fallback;
}

bool heartbeat_fresh(const std::string &path, int period) {
    struct stat st;
    if (stat(path.c_str(), &st) < 0) return false;
    return time(nullptr) - st.st_mtime <= period;
}

void watchdog_loop(int period, int grace) {
    log_message(TAG, "Starting watchdog");
    watchdog_kick();
    std::string path = mevo_path(WATCHDOG_FILE);
    do {
        std::this_thread::sleep_for(std::chrono::seconds(period));
    } while (heartbeat_fresh(path, period));
    log_message(TAG, "Watchdog not kicked. Rebooting in 10 s...\n");
    std::this_thread::sleep_for(std::chrono::seconds(grace));
    platform_reboot();
    std::this_thread::sleep_for(std::chrono::seconds(grace));
    // The loop is stuck, so no orderly shutdown can be expected.
    _exit(0);
}
}  // namespace

void watchdog_kick(void) {
    static const std::string path = mevo_path(WATCHDOG_FILE);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n = write(fd, KICK, sizeof KICK - 1);
    (void)n;
    close(fd);
}

void watchdog_start(void) {
    int period = env_seconds("MEVO_WATCHDOG_PERIOD_S", WATCHDOG_PERIOD_S);
    int grace = env_seconds("MEVO_WATCHDOG_GRACE_S", WATCHDOG_GRACE_S);
    std::thread(watchdog_loop, period, grace).detach();
}
