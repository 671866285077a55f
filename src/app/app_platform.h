// Platform start-up and supervision as far as this build has them. Main thread unless noted.
#pragma once

#include <atomic>
#include <cstdint>

// Opens the system log as `program`, starts the parameter layer and turns SIGINT and SIGTERM
// into an exit request of 1. (Watchdog thread, web layer and event service join here as they
// land.) Returns 0.
int app_platform_init(const char *program, std::atomic<int32_t> *exit_request);

// The signal handler's target; null until app_platform_init. Async-signal-safe to store to.
std::atomic<int32_t> *app_platform_exit_request(void);

// Watchdog heartbeat. PLACEHOLDER: does nothing until the watchdog lands.
void app_watchdog_kick(void);

// Sanity check of clock, time sync and image orientation. PLACEHOLDER: returns 0 until the
// supervision work lands.
int app_sanity_check(void);
