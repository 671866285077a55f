#include "count/reports.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "count/count_text.h"

namespace {

constexpr const char *MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int WEEK_DAYS = 7;

struct tm local_tm(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return tm;
}

std::string type_key(const char *const *table, int i) {
    if (table && table[i]) return table[i];
    return "type" + std::to_string(i);
}

void put_label_head(CountText *t, const char *chart, const char *counter_name) {
    count_text_put(t,
                   "  <labels>\n    <label lid=\"0\">\n      <x>0</x>\n      <y>0</y>\n      "
                   "<align>center</align>\n      <text_size>16</text_size>\n      "
                   "<text><![CDATA[<b>VEKA Audience Profiler</b>]]></text>\n    </label>\n    "
                   "<label lid=\"1\">\n      <x>0</x>\n      <y>22</y>\n      "
                   "<align>center</align>\n      <text_size>14</text_size>\n      ");
    count_text_printf(t, "<text><![CDATA[%s chart for %s]]></text>\n", chart, counter_name);
    count_text_put(t,
                   "    </label>\n    <label lid=\"2\">\n      <x>0</x>\n      <y>45</y>\n      "
                   "<align>center</align>\n      <text_size>12</text_size>\n      <text>\n");
}

void put_label_tail(CountText *t) {
    count_text_put(t, "      </text>\n    </label>\n  </labels>\n");
}

void put_jsonp_open(CountText *t, const char *args, std::string &callback, bool &has_callback) {
    has_callback = count_arg_value(args, "callback=", callback);
    if (has_callback) count_text_printf(t, "%s(", callback.c_str());
}

// Today's counts: `today` unless the day has changed since the last count or tick (with
// counting disabled nothing refreshes it), then the ring's sum for the new day.
std::vector<int32_t> today_counts(const cntdata *c, time_t now) {
    std::vector<int32_t> v(size_t(c->type_count), 0);
    if (int64_t(now) > int64_t(c->today_end) || !c->today)
        cntdata_day_sum(c, now, v.data());
    else
        v.assign(c->today, c->today + c->type_count);
    return v;
}

struct SevenDays {
    std::vector<time_t> days;                // eight local midnights, oldest first
    std::vector<std::vector<int32_t>> sums;  // per day
    std::vector<int32_t> all;                // over the eight days
};

SevenDays last_eight_days(const cntdata *c, time_t now) {
    SevenDays s;
    time_t t0 = cntdata_day_start(now);
    s.all.assign(size_t(c->type_count), 0);
    for (int k = -WEEK_DAYS; k <= 0; k++) {
        time_t day = cntdata_day_shift(t0, k);
        std::vector<int32_t> sum(size_t(c->type_count));
        cntdata_day_sum(c, day, sum.data());
        for (int32_t i = 0; i < c->type_count; i++) s.all[size_t(i)] += sum[size_t(i)];
        s.days.push_back(day);
        s.sums.push_back(std::move(sum));
    }
    return s;
}

void put_date(CountText *t, const char *fmt, time_t day) {
    struct tm tm = local_tm(day);
    count_text_printf(t, fmt, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

int32_t samples_of(const std::vector<int32_t> &v) {
    return (v.size() > 0 ? v[0] : 0) + (v.size() > 1 ? v[1] : 0);
}

void put_count_block(CountText *t, const cntdata *c, const std::vector<int32_t> &v) {
    for (int32_t i = 0; i < c->type_count; i++)
        count_text_printf(t, "%s\"%s\":%d", i == 0 ? "" : ",",
                          type_key(c->typedesc_short, i).c_str(), v[size_t(i)]);
    count_text_printf(t, ",\"samples\":%d", samples_of(v));
}

// Age bands are shares of all people of the block, shown only when their gender occurs.
void put_percent_block(CountText *t, const cntdata *c, const std::vector<int32_t> &v) {
    int32_t men = v.size() > 0 ? v[0] : 0, women = v.size() > 1 ? v[1] : 0;
    int32_t n = men + women;
    for (int32_t i = 0; i < c->type_count; i++) {
        double pct = 0.0;
        bool shown = i < 2 ? n >= 1 : (i < 10 ? men >= 1 : women >= 1);
        if (shown && n != 0) pct = 100.0 * double(v[size_t(i)]) / double(n);
        count_text_printf(t, "%s\"%s\":%f", i == 0 ? "" : ",",
                          type_key(c->typedesc_short, i).c_str(), pct);
    }
    count_text_printf(t, ",\"samples\":%d", n);
}

bool all_digits(const std::string &s) {
    for (char ch : s)
        if (!isdigit(static_cast<unsigned char>(ch))) return false;
    return true;
}

int days_in_month(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// YYYYMMDD as that date's local midnight; false for anything that is not a calendar date.
bool parse_clear_date(const std::string &value, time_t *out) {
    if (value.size() != 8 || !all_digits(value)) return false;
    int year = std::stoi(value.substr(0, 4));
    int month = std::stoi(value.substr(4, 2));
    int day = std::stoi(value.substr(6, 2));
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month))
        return false;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_isdst = 0;
    time_t t = mktime(&tm);
    if (t == time_t(-1)) return false;
    // mktime with the flag 0 lands at 01:00 on a summer date; the day is cleared from midnight.
    *out = cntdata_day_start(t);
    return *out > 0;
}

}  // namespace

int count_report_day_xml(const cntdata *c, const char *args, const char *name, char *out,
                         size_t cap) {
    CountText t{out, cap};
    time_t now = clock_now();
    struct tm today = local_tm(now);
    int step = c->interval;
    count_text_put(&t, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<chart>\n");
    if (args && strstr(args, "&labels")) {
        put_label_head(&t, "Day", name);
        count_text_printf(&t, "        <![CDATA[<b>%s %d, %d</b>]]>\n", MONTHS[today.tm_mon],
                          today.tm_mday, today.tm_year + 1900);
        put_label_tail(&t);
    }
    count_text_put(&t, "  <series>\n");
    int minute_step = step / 60 > 0 ? step / 60 : 1;
    for (int h = 0; h < 24; h++)
        for (int m = 0; m < 60; m += minute_step)
            count_text_printf(&t, "    <value xid=\"%.2d:%.2d\">%.2d:%.2d</value>\n", h, m, h, m);
    count_text_put(&t, "    <value xid=\"24:00\">24:00</value>\n  </series>\n");
    count_text_put(&t, "  <graphs>\n");
    time_t midnight = cntdata_day_start(now);
    for (int32_t i = 0; i < c->type_count; i++) {
        if (c->typedesc_short[i] && c->typedesc[i])
            count_text_printf(&t, "    <graph gid=\"%s\" title=\"%s\">\n", c->typedesc_short[i],
                              c->typedesc[i]);
        else
            count_text_printf(&t, "    <graph gid=\"type%d\" title=\"type%d\">\n", i, i);
        // Ends with the running interval and one following point.
        for (time_t s = midnight;; s += step) {
            struct tm tm = local_tm(s);
            const int32_t *slot = cntdata_slot_for(c, s);
            count_text_printf(&t, "      <value xid=\"%.2d:%.2d\">%d</value>\n", tm.tm_hour,
                              tm.tm_min, slot ? slot[1 + i] : 0);
            if (s >= now) break;
        }
        count_text_put(&t, "    </graph>\n");
    }
    count_text_put(&t, "  </graphs>\n</chart>\n");
    return int(t.len);
}

int count_report_week_xml(const cntdata *c, const char *args, const char *name, char *out,
                          size_t cap) {
    CountText t{out, cap};
    time_t now = clock_now();
    count_text_put(&t, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<chart>\n");
    if (args && strstr(args, "&labels")) {
        struct tm a = local_tm(now), b = local_tm(now - CNTDATA_DAY);
        put_label_head(&t, "Week", name);
        count_text_printf(&t, "        <![CDATA[<b>%s %d, %d - %s %d, %d</b>]]>\n",
                          MONTHS[a.tm_mon], a.tm_mday, a.tm_year + 1900, MONTHS[b.tm_mon],
                          b.tm_mday, b.tm_year + 1900);
        put_label_tail(&t);
    }
    std::vector<struct tm> days;
    std::vector<std::vector<int32_t>> sums;
    for (int k = WEEK_DAYS; k >= 1; k--) {
        time_t d = now - time_t(k) * CNTDATA_DAY;
        days.push_back(local_tm(d));
        std::vector<int32_t> sum(size_t(c->type_count));
        cntdata_day_sum(c, d, sum.data());
        sums.push_back(std::move(sum));
    }
    count_text_put(&t, "  <series>\n");
    for (const struct tm &d : days)
        count_text_printf(&t, "    <value xid=\"%s %d\">%s %d</value>\n", MONTHS[d.tm_mon],
                          d.tm_mday, MONTHS[d.tm_mon], d.tm_mday);
    count_text_put(&t, "  </series>\n  <graphs>\n");
    for (int32_t i = 0; i < c->type_count; i++) {
        count_text_printf(&t, "    <graph gid=\"%s\" title=\"%s\">\n",
                          type_key(c->typedesc_short, i).c_str(), type_key(c->typedesc, i).c_str());
        for (size_t k = 0; k < days.size(); k++)
            count_text_printf(&t, "      <value xid=\"%s %d\">%d</value>\n", MONTHS[days[k].tm_mon],
                              days[k].tm_mday, sums[k][size_t(i)]);
        count_text_put(&t, "    </graph>\n");
    }
    count_text_put(&t, "  </graphs>\n</chart>\n");
    return int(t.len);
}

int count_report_live_sum(const cntdata *c, const char *args, const char *name, const char *serial,
                          char *out, size_t cap) {
    CountText t{out, cap};
    time_t now = clock_now();
    std::string callback;
    bool has_callback = false;
    put_jsonp_open(&t, args, callback, has_callback);
    count_text_printf(&t, "{\n  \"serial\":\"%s\",\n  \"name\":\"%s\",\n  \"timestamp\":\"%s\"",
                      count_json_name(serial).c_str(), count_json_name(name).c_str(),
                      count_timestamp(now).c_str());
    std::vector<int32_t> v = today_counts(c, now);
    for (int32_t i = 0; i < c->type_count; i++)
        count_text_printf(&t, ",\n  \"%s\":%d", type_key(c->typedesc_short, i).c_str(),
                          v[size_t(i)]);
    count_text_printf(&t, ",\n  \"samples\":%d", samples_of(v));
    count_text_put(&t, "\n}");
    if (has_callback) count_text_put(&t, ")");
    return int(t.len);
}

int count_report_last7(const cntdata *c, const char *args, const char *name, char *out,
                       size_t cap) {
    CountText t{out, cap};
    time_t now = clock_now();
    std::string callback;
    bool has_callback = false;
    put_jsonp_open(&t, args, callback, has_callback);
    count_text_printf(&t, "{\n  \"name\": \"%s\",\n  \"timestamp\" : \"%s\",\n  \"dayslist\" : [",
                      count_json_name(name).c_str(), count_timestamp(now).c_str());
    SevenDays s = last_eight_days(c, now);
    for (size_t k = 0; k < s.days.size(); k++)
        put_date(&t, k + 1 < s.days.size() ? "\"%.4d%.2d%.2d\"," : "\"%.4d%.2d%.2d\"],\n",
                 s.days[k]);
    count_text_put(&t, "  \"data\" : {\n");
    count_text_put(&t, "    \"alldays\" : {");
    put_count_block(&t, c, s.all);
    count_text_put(&t, "},\n");
    for (size_t k = 0; k < s.days.size(); k++) {
        count_text_put(&t, k == 0 ? "" : ",\n");
        put_date(&t, "    \"%.4d%.2d%.2d\": {", s.days[k]);
        put_count_block(&t, c, s.sums[k]);
        count_text_put(&t, "}");
    }
    count_text_put(&t, "\n  }\n}\n");
    if (has_callback) count_text_put(&t, ")\n");
    return int(t.len);
}

int count_report_last7percent(const cntdata *c, const char *args, const char *name, char *out,
                              size_t cap) {
    CountText t{out, cap};
    time_t now = clock_now();
    std::string callback;
    bool has_callback = false;
    put_jsonp_open(&t, args, callback, has_callback);
    count_text_printf(&t, "{\n  \"name\": \"%s\",\n  \"timestamp\" : \"%s\",\n  \"data\" : {\n",
                      count_json_name(name).c_str(), count_timestamp(now).c_str());
    SevenDays s = last_eight_days(c, now);
    count_text_put(&t, "    \"alldays\" : {");
    put_percent_block(&t, c, s.all);
    count_text_put(&t, "},\n");
    for (size_t k = 0; k < s.days.size(); k++) {
        count_text_put(&t, k == 0 ? "" : ",\n");
        put_date(&t, "    \"%.4d%.2d%.2d\": {", s.days[k]);
        put_percent_block(&t, c, s.sums[k]);
        count_text_put(&t, "}");
    }
    count_text_put(&t, "\n  }\n}\n");
    if (has_callback) count_text_put(&t, ")\n");
    return int(t.len);
}

int count_report_list_cnt(const cntdata *c, char *out, size_t cap) {
    CountText t{out, cap};
    time_t now = clock_now();
    count_text_printf(&t, "{\n\"timestamp\" : \"%s\",\n\"days\" : [", count_timestamp(now).c_str());
    int64_t n = int64_t(c->slot_count) * c->interval / CNTDATA_DAY;
    time_t first_day = (now - now % CNTDATA_DAY) - time_t(n) * CNTDATA_DAY;
    bool any = false;
    for (int64_t d = 0; d <= n; d++) {
        time_t day = first_day + time_t(d) * CNTDATA_DAY;
        for (time_t s = day; s < day + CNTDATA_DAY; s += c->interval) {
            if (!cntdata_slot_for(c, s)) continue;
            count_text_put(&t, any ? ", " : "");
            put_date(&t, "\"%.4d%.2d%.2d\"", s);
            any = true;
            break;
        }
    }
    count_text_put(&t, "]\n}\n");
    return int(t.len);
}

int count_clear_data(cntdata *c, const char *args, const char **reply) {
    log_message(CNTDATA_TAG, "Start clearing count data.");
    std::string value;
    time_t date = 0;
    if (count_arg_value(args, "date=", value) && !parse_clear_date(value, &date)) {
        log_message(CNTDATA_TAG, "clear-data: malformed date: '%s'", value.c_str());
        *reply = COUNT_CLEAR_MALFORMED;
        return 0;
    }
    int rc;
    {
        std::lock_guard<std::mutex> guard(c->lock);
        rc = cntdata_clear(c, date);
    }
    log_message(CNTDATA_TAG, "Done clearing count data. - Restarting");
    *reply = "OK";
    return rc < 0 ? -1 : 1;
}
