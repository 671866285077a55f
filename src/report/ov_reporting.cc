#include "report/ov_reporting.h"

#include <algorithm>
#include <cstdlib>

#include "common/log.h"

namespace {
int bit_length(int v) {
    int bits = 0;
    for (; v > 0; v >>= 1) ++bits;
    return bits;
}
}  // namespace

void ov_reporting_init(OvReporting *r, int base_seconds) {
    if (base_seconds <= 0 || base_seconds >= REPORTING_BASE_LIMIT) {
        log_message("ov_reporting", "Forcing base_delay %d", REPORTING_FORCED_BASE);
        *r = {REPORTING_FORCED_BASE, REPORTING_FORCED_JITTER, REPORTING_FORCED_MAX_SHIFT};
        return;
    }
    r->base = base_seconds;
    r->jitter = base_seconds / 3;
    int quotient = ((REPORTING_MAX_BACKOFF_SPAN - r->jitter) / base_seconds) / 2;
    r->max_shift = bit_length(quotient);
}

time_t ov_reporting_next(const OvReporting *r, int k, time_t now, ReportingRandom random) {
    if (!random) random = rand;
    if (k < 0) return now;
    if (k == 0) return now + r->base;
    time_t wait = random() % (r->jitter + 1);
    if (k >= 2) wait += time_t(r->base) << std::min(r->max_shift, k - 2);
    return now + wait;
}
