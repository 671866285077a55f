// Which periodic duties the frame loop runs on frame n (frames count from 1).
// Pure; any thread.
#pragma once

#include <cstdint>

enum FrameDuty : unsigned {
    // n % 100 == 0: two-hour no-count test, frame-rate measurement, resolution poll.
    FRAME_DUTY_FPS = 1u << 0,
    // n % 100 == 1 and counting enabled: count-store tick, then the schedule check.
    FRAME_DUTY_TICK = 1u << 1,
    // n % 1000 == 0: sanity check.
    FRAME_DUTY_SANITY = 1u << 2,
};

inline constexpr int32_t FRAME_DUTY_PERIOD = 100;
inline constexpr int32_t FRAME_SANITY_PERIOD = 1000;

// Bit set of FrameDuty for frame `n`. The parameter-change test and the watchdog kick run on
// every frame and are not part of the set.
unsigned frame_duties_for(int32_t n, bool counting_enabled);
