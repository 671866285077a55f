// Last resort for an exit that hangs: a helper process kills this process with SIGKILL when it
// has not ended `delay_ms` after arming. The helper can only ever signal this process (it holds
// a pidfd of it, or checks that this process is still its parent), ends by itself as soon as
// this process has ended, and runs no shell. When it fires it appends
// "Forced MEVO to close at DATE\n" to `log_path` (a root path such as /tmp/mevo_force_close.log).
// Main thread.
#pragma once

inline constexpr int FORCED_EXIT_DELAY_MS = 10000;

// Returns 0, or -1 when the helper could not be started (logged).
int forced_exit_arm(int delay_ms, const char *log_path);

// Stops an armed helper (tests, or an exit path that must survive). No effect when none is armed.
void forced_exit_cancel(void);
