// Supervision: detaching, the "restart" and "reboot" endpoints, the watchdog and the sanity
// check of the camera's clock, time synchronisation and image orientation.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr const char *SUPERVISION_BUILD_DATE = "2018-10-03";  // earliest plausible time
inline constexpr const char *WATCHDOG_FILE = "/tmp/watchme";
inline constexpr const char *DUMP_COUNTER_FILE = "/tmp/dumpcnt.dat";
inline constexpr int WATCHDOG_PERIOD_S = 60;
inline constexpr int WATCHDOG_GRACE_S = 10;

// Detaches from the terminal: fork, setsid, fork again, every descriptor closed and 0..11
// opened on /dev/null. Only the grandchild returns; the parents exit 0, a failure exits 1 (or
// k when the k-th /dev/null open fails).
void supervision_detach(void);

// Stores the exit request the two endpoints write. Main thread, at start-up.
void supervision_set_exit_request(std::atomic<int32_t> *exit_request);

// "restart": exit request 1; "reboot": exit request 2 (the shutdown then reboots the camera).
// Buffer handlers of the web layer; user data unused.
const char *supervision_restart_handler(void *user_data, const char *args, int *length);
const char *supervision_reboot_handler(void *user_data, const char *args, int *length);

// Sanity check: status messages for a wrong clock, missing NTP and a rotated or mirrored
// image. Returns 0, or -1 when the camera's parameters could not be read.
int supervision_sanity_check(void);

// The firmware check of the platform start-up: known-bad firmware on the models of our list
// disables counting (without restarting) and sets a status message.
void supervision_firmware_check(void);

// The watchdog: a thread that reboots the camera when the heartbeat file was not touched for
// longer than the period. Tests shorten the period with MEVO_WATCHDOG_PERIOD_S and the grace
// waits with MEVO_WATCHDOG_GRACE_S.
void watchdog_start(void);
void watchdog_kick(void);
