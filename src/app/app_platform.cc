#include "app/app_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "app/supervision.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "events/events.h"
#include "maint/privacy.h"
#include "params/param.h"
#include "web/web.h"

namespace {
constexpr const char *TAG = "platform";
std::atomic<std::atomic<int32_t> *> g_exit_request{nullptr};
int g_signal_pipe[2] = {-1, -1};

constexpr char EXIT_LINE[] = "platform: Time to exit\n";

void on_exit_signal(int) {
    // Only async-signal-safe work here: the store, the log line written straight to standard
    // error (so it precedes the shutdown's lines), and a byte that wakes the syslog copy.
    std::atomic<int32_t> *target = g_exit_request.load();
    if (target) target->store(1);
    ssize_t n = write(STDERR_FILENO, EXIT_LINE, sizeof EXIT_LINE - 1);
    char byte = 1;
    n = write(g_signal_pipe[1], &byte, 1);
    (void)n;
}

// The system log copy, made outside the handler, where syslog may take locks.
void signal_log_loop() {
    char byte;
    while (read(g_signal_pipe[0], &byte, 1) > 0) syslog(LOG_WARNING, "%s", EXIT_LINE);
}

void install_exit_signals() {
    if (pipe2(g_signal_pipe, O_CLOEXEC) == 0) std::thread(signal_log_loop).detach();
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_exit_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void log_dump_count() {
    int dumps = 0;
    std::string text;
    if (file_read_all(mevo_path(DUMP_COUNTER_FILE), text) == 0) sscanf(text.c_str(), "%d", &dumps);
    log_message(TAG, "Number of core dumps made: %d.", dumps);
}
}  // namespace

int app_platform_init(const char *program, std::atomic<int32_t> *exit_request) {
    const char *slash = program ? std::strrchr(program, '/') : nullptr;
    log_open(slash ? slash + 1 : (program ? program : "mevo"));
    watchdog_start();
    web_init(exit_request);
    ov_param_init(privacy_account_password_check);
    ov_event_init("mevo");
    g_exit_request.store(exit_request);
    supervision_set_exit_request(exit_request);
    install_exit_signals();
    log_dump_count();
    // The camera's stream-profile script and CGI copy have no counterpart on a host.
    if (atoi(ov_param_get("Misc.StreamProfileEnabled")) != 0)
        log_message(TAG, "Stream profile creation skipped: no camera stream service on this host");
    // The privacy mode's endpoints are registered by the main start-up (privacy_init).
    supervision_firmware_check();
    return 0;
}

std::atomic<int32_t> *app_platform_exit_request(void) {
    return g_exit_request.load();
}

void app_watchdog_kick(void) {
    watchdog_kick();
}

int app_sanity_check(void) {
    return supervision_sanity_check();
}
