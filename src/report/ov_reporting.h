// Retry schedule of the report uploader: a base period after a success, a random wait within
// the jitter after the first failure, then exponentially longer waits (capped) plus jitter.
#pragma once

#include <ctime>

inline constexpr int REPORTING_FORCED_BASE = 660;
inline constexpr int REPORTING_FORCED_JITTER = 220;
inline constexpr int REPORTING_FORCED_MAX_SHIFT = 3;
inline constexpr int REPORTING_BASE_LIMIT = 3600;        // bases at or above this are forced
inline constexpr int REPORTING_MAX_BACKOFF_SPAN = 7200;  // seconds the shifts aim to stay under

struct OvReporting {
    int base;
    int jitter;
    int max_shift;
};

// Random source for the jitter (rand() by default); tests inject their own.
using ReportingRandom = int (*)(void);

// Builds the schedule from the base period in seconds (forcing 660/220/3 outside 1..3599).
void ov_reporting_init(OvReporting *r, int base_seconds);

// Next attempt time for attempt index `k` (consecutive unsuccessful passes since the last
// success; negative before the very first pass, which runs at once).
time_t ov_reporting_next(const OvReporting *r, int k, time_t now, ReportingRandom random);
