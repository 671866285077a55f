#include "app/schedule.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/log.h"
#include "params/param.h"

const char *const schedule_day_names[SCHEDULE_DAYS] = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};

namespace {
constexpr const char *kTag = "mevo";
constexpr const char *kHolidayTag = "holiday_schedule";
constexpr size_t kNameSize = 30;
constexpr int kMinutesPerHour = 60;

bool read_time(const char *key_format, const char *day, int32_t *minutes) {
    char name[kNameSize];
    std::snprintf(name, sizeof name, key_format, day);
    int h = 0, m = 0;
    if (std::sscanf(ov_param_get(name), "%d:%d", &h, &m) != 2) return false;
    *minutes = kMinutesPerHour * h + m;
    return true;
}

void log_schedule(const WeekSchedule *s) {
    for (int d = 0; d < SCHEDULE_DAYS; ++d) {
        if (s->start[d] < 0)
            log_message(kTag, "%s: disabled\n", schedule_day_names[d]);
        else
            log_message(kTag, "%s: {%.2d:%.2d - %.2d:%.2d}\n", schedule_day_names[d],
                        s->start[d] / 60, s->start[d] % 60, s->stop[d] / 60, s->stop[d] % 60);
    }
}

time_t local_midnight(time_t now) {
    struct tm day;
    localtime_r(&now, &day);
    day.tm_hour = day.tm_min = day.tm_sec = 0;
    day.tm_isdst = -1;
    return mktime(&day);
}

time_t date_time(struct tm date) {
    return mktime(&date);  // a copy: mktime normalises its argument
}

void add_date(HolidayList *list, int month, int day, int year) {
    struct tm &d = list->dates[list->count++];
    std::memset(&d, 0, sizeof d);
    d.tm_mday = day;
    d.tm_mon = month - 1;
    d.tm_year = year - 1900;
    d.tm_isdst = -1;
}
}  // namespace

void schedule_defaults(WeekSchedule *s) {
    for (int d = 0; d < SCHEDULE_DAYS; ++d) {
        s->start[d] = 0;
        s->stop[d] = SCHEDULE_WHOLE_DAY;
    }
}

void schedule_read(WeekSchedule *s) {
    schedule_defaults(s);
    for (int d = 0; d < SCHEDULE_DAYS; ++d) {
        const char *day = schedule_day_names[d];
        char name[kNameSize];
        std::snprintf(name, sizeof name, "Schedule.Enable%s", day);
        if (std::strcmp(ov_param_get(name), "1") != 0) {
            s->start[d] = SCHEDULE_DAY_OFF;
            continue;
        }
        int32_t start = 0, stop = 0;
        if (!read_time("Schedule.Start%s", day, &start)) {
            log_message(kTag, "could not parse schedule properly\n");
            continue;
        }
        s->start[d] = start;
        if (read_time("Schedule.Stop%s", day, &stop)) {
            s->stop[d] = stop;
        } else {
            log_message(kTag, "could not parse schedule properly\n");
            s->start[d] = 0;
            s->stop[d] = SCHEDULE_WHOLE_DAY;
        }
    }
    log_schedule(s);
}

int holidays_parse(const char *text, HolidayList *list) {
    list->count = 0;
    if (!text) {
        log_message(kHolidayTag, "Cant get Schedule Holidays\n");
        return -1;
    }
    std::string copy(text, strnlen(text, HOLIDAYS_TEXT_MAX));
    if (copy.empty()) {
        log_message(kHolidayTag, "No holidays");
        return 0;
    }
    const char *p = copy.c_str();
    while (list->count < HOLIDAYS_MAX) {
        const char *dash = std::strchr(p, '-');
        const char *comma = std::strchr(p, ',');
        const char *semi = std::strchr(p, ';');
        if (!dash) return -2;
        if (!comma && !semi) return -3;
        int month = std::atoi(p);
        int day = std::atoi(dash + 1);
        const char *dash2 = std::strchr(dash + 1, '-');
        int year = dash2 ? std::atoi(dash2 + 1) : 0;
        add_date(list, month, day, year);
        if (!comma) break;
        p = comma + 1;
    }
    return 0;
}

int holidays_prune(HolidayList *list, time_t now) {
    time_t today = local_midnight(now);
    std::sort(list->dates, list->dates + list->count,
              [](const struct tm &a, const struct tm &b) { return date_time(a) < date_time(b); });
    int kept = 0;
    for (int i = 0; i < list->count; ++i)
        if (date_time(list->dates[i]) >= today) list->dates[kept++] = list->dates[i];
    list->count = kept;
    return kept;
}

void holidays_format(const HolidayList *list, char *out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    size_t used = 0;
    for (int i = 0; i < list->count && used < size; ++i) {
        const struct tm &d = list->dates[i];
        int n = std::snprintf(out + used, size - used, "%.2d-%.2d-%.4d,", d.tm_mon + 1, d.tm_mday,
                              d.tm_year + 1900);
        if (n < 0 || size_t(n) >= size - used) {
            out[used] = '\0';  // keep only whole dates
            break;
        }
        used += size_t(n);
    }
    if (used > 0) out[used - 1] = ';';
}

bool holidays_is_today(const HolidayList *list, time_t now) {
    struct tm today;
    localtime_r(&now, &today);
    for (int i = 0; i < list->count; ++i) {
        const struct tm &d = list->dates[i];
        if (d.tm_year == today.tm_year && d.tm_mon == today.tm_mon && d.tm_mday == today.tm_mday)
            return true;
    }
    return false;
}

bool schedule_allows(const WeekSchedule *s, const HolidayList *holidays, time_t now) {
    struct tm local;
    localtime_r(&now, &local);
    int w = local.tm_wday;
    int t = kMinutesPerHour * local.tm_hour + local.tm_min;
    if (s->start[w] < 0 || t < s->start[w] || t >= s->stop[w]) return false;
    return !holidays_is_today(holidays, now);
}

void schedule_startup(WeekSchedule *s, HolidayList *holidays, time_t now) {
    schedule_read(s);
    if (holidays_parse(ov_param_get("Schedule.Holidays"), holidays) != 0) {
        log_message(kHolidayTag, "Could not parse holidays");
        return;
    }
    holidays_prune(holidays, now);
    char text[HOLIDAYS_MAX * 11 + 1];
    holidays_format(holidays, text, sizeof text);
    ov_param_set_ex("Schedule.Holidays", text, 0);
}

void schedule_check(const WeekSchedule *s, const HolidayList *holidays,
                    std::atomic<int32_t> *enabled, time_t now) {
    bool inside = schedule_allows(s, holidays, now);
    if (!inside && enabled->load() == 1) {
        struct tm local;
        localtime_r(&now, &local);
        int w = local.tm_wday;
        log_message(kTag, "disabling according to schedule\n");
        log_message(kTag, "Start: %d\n", s->start[w]);
        log_message(kTag, "Stop : %d\n", s->stop[w]);
        log_message(kTag, "Time : %d\n", kMinutesPerHour * local.tm_hour + local.tm_min);
        ov_param_status_set(SCHEDULE_STATUS_KEY, SCHEDULE_STATUS_TEXT);
        enabled->store(0);
    } else if (inside && enabled->load() == 0) {
        log_message(kTag, "enabling according to schedule\n");
        ov_param_status_clear(SCHEDULE_STATUS_TEXT);
        enabled->store(1);
    }
}
