#include "app/frame_duties.h"

unsigned frame_duties_for(int32_t n, bool counting_enabled) {
    unsigned duties = 0;
    if (n % FRAME_DUTY_PERIOD == 0)
        duties |= FRAME_DUTY_FPS;
    else if (n % FRAME_DUTY_PERIOD == 1 && counting_enabled)
        duties |= FRAME_DUTY_TICK;
    if (n % FRAME_SANITY_PERIOD == 0) duties |= FRAME_DUTY_SANITY;
    return duties;
}
