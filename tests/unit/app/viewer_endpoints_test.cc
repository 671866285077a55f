// The camera's clock as the pages read it: the date is the camera's local one, not UTC's; the
// login is escaped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "app/viewer_endpoints.h"

namespace {
class ZoneGuard {
  public:
    explicit ZoneGuard(const char *tz) {
        const char *old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};
}  // namespace

TEST(CameraTime, DateTimeAndZoneAreTheCamerasLocalOnes) {
    struct Case {
        const char *tz;
        time_t epoch;
        const char *user;
        const char *expected;
    };
    // 2025-12-10 23:00 UTC is already the 11th in Central Europe; in summer the offset is 2 h.
    const Case cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1765407600, "ann",
         "{\"epoch\":1765407600,\"date\":\"20251211\",\"time\":\"00:00:00\",\"weekday\":4,"
         "\"zone\":\"CET\",\"utc_offset\":3600,\"user\":\"ann\",\"role\":\"viewer\"}\n"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1752000000, "ann",
         "{\"epoch\":1752000000,\"date\":\"20250708\",\"time\":\"20:40:00\",\"weekday\":2,"
         "\"zone\":\"CEST\",\"utc_offset\":7200,\"user\":\"ann\",\"role\":\"viewer\"}\n"},
        {"UTC0", 1765407600, "a\"b",
         "{\"epoch\":1765407600,\"date\":\"20251210\",\"time\":\"23:00:00\",\"weekday\":3,"
         "\"zone\":\"UTC\",\"utc_offset\":0,\"user\":\"a\\\"b\",\"role\":\"viewer\"}\n"},
    };
    for (const Case &c : cases) {
        ZoneGuard zone(c.tz);
        EXPECT_EQ(camera_time_document(c.epoch, c.user, "viewer"), c.expected) << c.tz;
    }
}
