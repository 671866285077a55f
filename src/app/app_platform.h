// Platform start-up and supervision as far as this build has them. Main thread unless noted.
#pragma once

#include <atomic>
#include <cstdint>

// The platform start-up, in order: system log, watchdog thread, web layer, parameter layer,
// event service, SIGINT/SIGTERM as an exit request of 1 ("Time to exit"), core-dump counter,
// firmware check. Returns 0.
int app_platform_init(const char *program, std::atomic<int32_t> *exit_request);

// The signal handler's target; null until app_platform_init. Async-signal-safe to store to.
std::atomic<int32_t> *app_platform_exit_request(void);

// Watchdog heartbeat (touches /tmp/watchme).
void app_watchdog_kick(void);

// Sanity check of clock, time sync and image orientation (status messages); 0 or -1.
int app_sanity_check(void);
