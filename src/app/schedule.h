// Counting schedule (log tag "mevo") and holidays (log tag "holiday_schedule"): one time
// window per weekday and up to 50 holiday dates on which nothing is counted.
//
// Times are local (the process time zone); minutes count from local midnight. Read once at
// start-up on the main thread; the check runs on the main thread every 100 frames.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

inline constexpr int SCHEDULE_DAYS = 7;
inline constexpr int32_t SCHEDULE_DAY_OFF = -1;      // start minute of a day without counting
inline constexpr int32_t SCHEDULE_WHOLE_DAY = 1441;  // default stop: one past the last minute
inline constexpr int HOLIDAYS_MAX = 50;
inline constexpr size_t HOLIDAYS_TEXT_MAX = 550;
inline constexpr const char *SCHEDULE_STATUS_KEY = "SCHEDULEERROR";
inline constexpr const char *SCHEDULE_STATUS_TEXT = "Outside counting schedule. Counter disabled.";

// Day names in tm_wday order (0 = Sunday).
extern const char *const schedule_day_names[SCHEDULE_DAYS];

struct WeekSchedule {
    int32_t start[SCHEDULE_DAYS];  // minute of day, or SCHEDULE_DAY_OFF
    int32_t stop[SCHEDULE_DAYS];   // first minute outside the window
};

struct HolidayList {
    struct tm dates[HOLIDAYS_MAX];  // day, month 0..11, year - 1900; time 0, isdst -1
    int count;
};

// Every day open all day (start 0, stop 1441).
void schedule_defaults(WeekSchedule *s);

// Reads Schedule.Enable/Start/Stop of every day from the parameters and logs the result.
void schedule_read(WeekSchedule *s);

// Parses "MM-DD-YYYY,MM-DD-YYYY;" (at most HOLIDAYS_TEXT_MAX characters are used, at most
// HOLIDAYS_MAX dates kept). Returns 0; -1 for null text; -2 when an entry has no '-'; -3 when
// neither ',' nor ';' follows. On failure the dates parsed so far stay in the list.
int holidays_parse(const char *text, HolidayList *list);

// Sorts the dates and drops those before the local day of `now`. Returns the new count.
int holidays_prune(HolidayList *list, time_t now);

// "MM-DD-YYYY,...,MM-DD-YYYY;" or "" for an empty list, into out (NUL-terminated).
void holidays_format(const HolidayList *list, char *out, size_t size);

// True when the local date of `now` is one of the listed dates.
bool holidays_is_today(const HolidayList *list, time_t now);

// True when `now` lies inside the day's window and is not a holiday.
bool schedule_allows(const WeekSchedule *s, const HolidayList *holidays, time_t now);

// Start-up: schedule read, holiday parse, prune and rewrite of Schedule.Holidays (without
// sync, so the rewrite does not restart the application).
void schedule_startup(WeekSchedule *s, HolidayList *holidays, time_t now);

// The periodic check: switches *enabled and the status message when the answer changed.
void schedule_check(const WeekSchedule *s, const HolidayList *holidays,
                    std::atomic<int32_t> *enabled, time_t now);
