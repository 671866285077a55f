// The one source of "now" for everything that stamps or buckets data: frame times, the count
// store, the track buffer, reports, exports, the schedule and events. By default it is the wall
// clock. With MEVO_CLOCK=source it follows the frame timestamps of a recorded source (the
// capture calls clock_set_source_time() for every frame), so a video processed faster than real
// time still counts into the intervals of the recording. Tests pin it with clock_set_fixed().
// Watchdog, retry waits and HTTP timeouts measure real durations and do not use this clock.
// Thread-safe: the time is kept in one atomic word.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ctime>

enum ClockMode { CLOCK_MODE_WALL = 0, CLOCK_MODE_SOURCE = 1, CLOCK_MODE_FIXED = 2 };

// Current time in whole seconds (UTC).
time_t clock_now(void);

// Current time with microseconds, like gettimeofday().
void clock_gettimeofday(struct timeval *tv);

// Microseconds since the epoch.
int64_t clock_now_us(void);

// Mode from MEVO_CLOCK ("source" selects CLOCK_MODE_SOURCE); read on first use.
ClockMode clock_mode(void);

// Source mode: the capture reports each frame's timestamp. Ignored in the other modes.
// Before the first report, source mode answers with the source's start time, so that every
// start-up read of "now" (holiday prune, schedule, totals, sync, track buffer) is already on the
// recording's time line.
void clock_set_source_time(const struct timeval *tv);

// Epoch seconds of a recorded source's first frame: MEVO_SOURCE_START, or
// CLOCK_SOURCE_START_DEFAULT (Monday 2026-01-05 08:00:00 UTC) when it is unset or not a
// non-negative integer (logged).
inline constexpr long long CLOCK_SOURCE_START_DEFAULT = 1767600000LL;
int64_t clock_source_start_us(void);

// Tests: pin the clock at `us` microseconds since the epoch (switches to CLOCK_MODE_FIXED),
// advance it, or go back to the mode of the environment.
void clock_set_fixed(int64_t us);
void clock_advance(int64_t us);
void clock_reset(void);
