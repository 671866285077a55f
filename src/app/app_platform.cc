#include "app/app_platform.h"

#include <signal.h>

#include <cstring>

#include "common/log.h"
#include "params/param.h"

namespace {
std::atomic<std::atomic<int32_t> *> g_exit_request{nullptr};

void on_exit_signal(int) {
    // Only an atomic store: this runs on whichever thread the signal lands.
    std::atomic<int32_t> *target = g_exit_request.load();
    if (target) target->store(1);
}

void install_exit_signals() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_exit_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}
}  // namespace

int app_platform_init(const char *program, std::atomic<int32_t> *exit_request) {
    const char *slash = program ? std::strrchr(program, '/') : nullptr;
    log_open(slash ? slash + 1 : (program ? program : "mevo"));
    // HOOK(supervision): the watchdog thread starts here, before anything else.
    // HOOK(web): web_init(exit_request) starts the HTTP layer here.
    ov_param_init(nullptr);
    // HOOK(events): event service start-up for "mevo".
    g_exit_request.store(exit_request);
    install_exit_signals();
    // HOOK(supervision): core-dump counter, stream profile, privacy mode and firmware check.
    return 0;
}

std::atomic<int32_t> *app_platform_exit_request(void) {
    return g_exit_request.load();
}

void app_watchdog_kick(void) {}

int app_sanity_check(void) {
    return 0;
}
