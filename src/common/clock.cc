#include "common/clock.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"

namespace {
std::atomic<int> g_mode{-1};
std::atomic<int64_t> g_pinned_us{0};  // source or fixed time; 0 = not yet reported

int64_t wall_us() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
}

int mode_from_env() {
    const char *env = std::getenv("MEVO_CLOCK");
    return (env && std::strcmp(env, "source") == 0) ? CLOCK_MODE_SOURCE : CLOCK_MODE_WALL;
}
}  // namespace

ClockMode clock_mode(void) {
    int mode = g_mode.load();
    if (mode < 0) {
        int expected = -1;
        g_mode.compare_exchange_strong(expected, mode_from_env());
        mode = g_mode.load();
    }
    return ClockMode(mode);
}

int64_t clock_source_start_us(void) {
    const char *v = std::getenv("MEVO_SOURCE_START");
    long long secs = CLOCK_SOURCE_START_DEFAULT;
    if (v && *v) {
        char *end = nullptr;
        errno = 0;
        long long parsed = std::strtoll(v, &end, 10);
        if (errno == 0 && end && *end == '\0' && parsed >= 0)
            secs = parsed;
        else
            log_message("clock", "MEVO_SOURCE_START '%s' is not epoch seconds, using %lld", v,
                        secs);
    }
    return int64_t(secs) * 1000000;
}

int64_t clock_now_us(void) {
    ClockMode mode = clock_mode();
    if (mode == CLOCK_MODE_WALL) return wall_us();
    int64_t pinned = g_pinned_us.load();
    if (pinned) return pinned;
    if (mode == CLOCK_MODE_FIXED) return wall_us();
    // Source mode before the first frame: the recording's start, never the machine's date.
    int64_t expected = 0;
    g_pinned_us.compare_exchange_strong(expected, clock_source_start_us());
    return g_pinned_us.load();
}

time_t clock_now(void) {
    return time_t(clock_now_us() / 1000000);
}

void clock_gettimeofday(struct timeval *tv) {
    int64_t us = clock_now_us();
    tv->tv_sec = time_t(us / 1000000);
    tv->tv_usec = suseconds_t(us % 1000000);
}

void clock_set_source_time(const struct timeval *tv) {
    if (clock_mode() != CLOCK_MODE_SOURCE) return;
    g_pinned_us.store(int64_t(tv->tv_sec) * 1000000 + tv->tv_usec);
}

void clock_set_fixed(int64_t us) {
    g_pinned_us.store(us);
    g_mode.store(CLOCK_MODE_FIXED);
}

void clock_advance(int64_t us) {
    g_pinned_us.fetch_add(us);
}

void clock_reset(void) {
    g_pinned_us.store(0);
    g_mode.store(mode_from_env());
}
