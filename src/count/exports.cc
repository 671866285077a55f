#include "count/exports.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "count/count_text.h"

namespace {

constexpr const char *TAG = "modules/platforms/cntdata_export";
constexpr const char *TOO_MUCH = "Too much data chosen.";
constexpr const char *ILLEGAL = "illegal argument";
constexpr const char *NO_MEMORY = "out of memory";
constexpr int MULTI_DAY_MIN_RES = 900;
constexpr int CSV_MAX_ROWS = 10001;
constexpr size_t NAME_MAX_INSIDE = 496;
constexpr size_t CSV_FIELD_MAX = 99;
constexpr int HOUR = 3600;
constexpr time_t ALL_DAYS_MARK = 1;

struct tm local_tm(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return tm;
}

bool is_dst(time_t t) {
    return local_tm(t).tm_isdst > 0;
}

int local_date_key(time_t t) {
    struct tm tm = local_tm(t);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

std::string type_name(const char *const *table, int i) {
    if (table && table[i]) return table[i];
    return "type" + std::to_string(i);
}

// ---- arguments ----

struct Selection {
    bool all = false;
    std::vector<time_t> days;
    int res = 0;  // as parsed
    bool illegal = false;
};

int days_in_month(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

struct Civil {
    int y, m, d;
};

bool parse_yyyymmdd(const std::string &s, Civil *out) {
    if (s.size() != 8) return false;
    for (char ch : s)
        if (!isdigit(static_cast<unsigned char>(ch))) return false;
    Civil c{atoi(s.substr(0, 4).c_str()), atoi(s.substr(4, 2).c_str()),
            atoi(s.substr(6, 2).c_str())};
    if (c.y < 1900 || c.m < 1 || c.m > 12 || c.d < 1 || c.d > days_in_month(c.y, c.m)) return false;
    *out = c;
    return true;
}

// 00:00:00 local time with the daylight-saving flag 0, as the date arguments are converted.
time_t civil_time(const Civil &c) {
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = c.y - 1900;
    tm.tm_mon = c.m - 1;
    tm.tm_mday = c.d;
    tm.tm_isdst = 0;
    return mktime(&tm);
}

Civil next_day(Civil c) {
    if (++c.d > days_in_month(c.y, c.m)) {
        c.d = 1;
        if (++c.m > 12) {
            c.m = 1;
            c.y++;
        }
    }
    return c;
}

bool after(const Civil &a, const Civil &b) {
    return a.y * 10000 + a.m * 100 + a.d > b.y * 10000 + b.m * 100 + b.d;
}

struct DateContext {
    const cntdata *c;
    time_t now;
    Civil today;
    int oldest_key;  // local date of the oldest slot, 0 when there is none
};

void add_day(Selection &sel, const cntdata *c, time_t t) {
    for (time_t have : sel.days)
        if (have == t) return;
    if (sel.days.size() < size_t(c->slot_count)) sel.days.push_back(t);
}

void add_numeric(Selection &sel, const DateContext &dc, const Civil &day) {
    if (after(day, dc.today)) return;
    if (dc.oldest_key && day.y * 10000 + day.m * 100 + day.d < dc.oldest_key) return;
    time_t t = civil_time(day);
    if (t == time_t(-1)) return;
    add_day(sel, dc.c, t);
}

// Returns false for an item that is none of the accepted forms.
bool parse_date_item(Selection &sel, const DateContext &dc, const std::string &item) {
    if (item == "today") {
        add_day(sel, dc.c, dc.now);
        return true;
    }
    if (item == "yesterday") {
        struct tm tm = local_tm(cntdata_day_shift(dc.now, -1));
        tm.tm_hour = 12;
        tm.tm_min = 0;
        tm.tm_sec = 0;
        tm.tm_isdst = -1;
        add_day(sel, dc.c, mktime(&tm));
        return true;
    }
    Civil a, b;
    if (parse_yyyymmdd(item, &a)) {
        add_numeric(sel, dc, a);
        return true;
    }
    if (item.size() == 17 && item[8] == '-' && parse_yyyymmdd(item.substr(0, 8), &a) &&
        parse_yyyymmdd(item.substr(9), &b)) {
        if (after(a, dc.today) || after(b, dc.today) || after(a, b)) return true;
        for (Civil d = a;; d = next_day(d)) {
            add_numeric(sel, dc, d);
            if (!after(b, d)) break;
        }
        return true;
    }
    return false;
}

bool parse_dates(Selection &sel, const cntdata *c, time_t now, const std::string &value) {
    struct tm tm = local_tm(now);
    time_t oldest = cntdata_oldest_slot_time(c);
    DateContext dc{c, now, Civil{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday},
                   oldest > 0 ? local_date_key(oldest) : 0};
    size_t pos = 0;
    for (;;) {
        size_t comma = value.find(',', pos);
        std::string item = value.substr(pos, comma == std::string::npos ? comma : comma - pos);
        if (item.compare(0, 3, "all") == 0) {
            sel.all = true;
            sel.days.assign(1, ALL_DAYS_MARK);
            return true;
        }
        if (!parse_date_item(sel, dc, item)) return false;
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

// Digits and at most one unit letter; the value is kept even when the text is illegal, as the
// "too much data" check looks at it first.
bool parse_res(const std::string &v, int interval, int64_t limit, int *res) {
    if (v.empty() || !isdigit(static_cast<unsigned char>(v[0]))) return false;
    int64_t number = 0;
    size_t i = 0;
    for (; i < v.size() && isdigit(static_cast<unsigned char>(v[i])); i++) {
        number = number * 10 + (v[i] - '0');
        if (number > INT_MAX) return false;
    }
    int64_t unit = 1;
    bool ok = true;
    if (i < v.size()) {
        switch (tolower(static_cast<unsigned char>(v[i]))) {
            case 's':
                unit = 1;
                break;
            case 'm':
                unit = 60;
                break;
            case 'h':
                unit = HOUR;
                break;
            default:
                ok = false;
        }
        if (i + 1 != v.size()) ok = false;
    }
    int64_t value = number * unit;
    if (value > INT_MAX) return false;
    *res = int(value);
    // A bucket longer than the whole ring is refused: it could only repeat empty data.
    return ok && value % interval == 0 && value <= limit;
}

// ---- bucket walk ----

struct WalkLimits {
    bool stop_at_now = false;  // CSV: the running bucket is the last of today
    time_t now = 0;
    int *rows_left = nullptr;
};

template <typename Emit>
void walk_day(const cntdata *c, time_t t0, int res, bool merge_repeated_hour,
              const WalkLimits &limits, std::vector<long long> &sums, Emit emit) {
    const int s = c->interval;
    time_t e = t0 + res;
    if (res == CNTDATA_DAY) {
        int hour = local_tm(t0 + CNTDATA_DAY).tm_hour;
        if (hour == 23) e += HOUR;
        if (hour == 1) e -= HOUR;
    }
    const int t0_date = local_date_key(t0);
    const time_t give_up = t0 + 3 * time_t(CNTDATA_DAY) + res;  // also for odd intervals
    int merge_left = 0;
    sums.assign(size_t(c->type_count), 0);
    for (time_t t = t0; t <= give_up;) {
        // The repeated hour at the end of daylight-saving time is added to the buckets of
        // the standard-time hour of the same local clock time, so no bucket end repeats.
        if (merge_repeated_hour && res != CNTDATA_DAY && HOUR % s == 0 && is_dst(t) &&
            !is_dst(t + HOUR)) {
            t += HOUR;
            e += HOUR;
            merge_left = HOUR / s;
        }
        const int32_t *slot = cntdata_slot_for(c, t);
        if (slot)
            for (int32_t i = 0; i < c->type_count; i++) sums[size_t(i)] += slot[1 + i];
        if (merge_left > 0) {
            const int32_t *early = cntdata_slot_for(c, t - HOUR);
            if (early)
                for (int32_t i = 0; i < c->type_count; i++) sums[size_t(i)] += early[1 + i];
            merge_left--;
        }
        t += s;
        if (t != e) continue;
        time_t start = res == CNTDATA_DAY ? t0 : e - res;
        if (!emit(start, e, sums)) return;
        sums.assign(size_t(c->type_count), 0);
        bool day_done = local_date_key(e) > t0_date;
        bool reached_now = limits.stop_at_now && e >= limits.now;
        if (limits.rows_left && --*limits.rows_left <= 0) return;
        e = t + res;
        if (day_done || reached_now) return;
    }
}

// ---- writers ----

struct Request {
    ExportKind kind;
    const cntdata *c;
    time_t now;
    int res_parsed;
    int res;  // bucket length
    std::string name;
    std::string serial;
    std::string callback;
    bool has_callback;
};

void put_local(CountText *t, time_t v) {
    struct tm tm = local_tm(v);
    count_text_printf(t, "%d-%.2d-%.2d %.2d:%.2d:%.2d", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// Counter name as one CSV field, never longer than 99 characters and never left with an open
// quote.
std::string csv_name(const std::string &name) {
    bool quote = name.find_first_of(",\"\r\n") != std::string::npos ||
                 (!name.empty() && (name.front() == ' ' || name.back() == ' '));
    if (!quote) return name.substr(0, CSV_FIELD_MAX);
    std::string inside;
    for (char ch : name) {
        size_t piece = ch == '"' ? 2 : 1;
        if (inside.size() + piece > std::min(NAME_MAX_INSIDE, CSV_FIELD_MAX - 2)) break;
        inside += ch;
        if (ch == '"') inside += '"';
    }
    return "\"" + inside + "\"";
}

// Counter name inside a JSON string: quotes and backslashes escaped, controls as \u00XX.
std::string json_export_name(const std::string &name) {
    std::string out;
    size_t taken = 0;
    for (char ch : name) {
        if (taken++ >= NAME_MAX_INSIDE) break;
        unsigned char u = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (u < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

void csv_header(CountText *t, const cntdata *c) {
    count_text_put(t, "Interval start,Interval stop,Camera serial number,Counter name");
    for (int32_t i = 0; i < c->type_count; i++)
        count_text_printf(t, ",%s", type_name(c->typedesc, i).c_str());
    count_text_put(t, "\n");
}

bool csv_day(CountText *t, const Request &r, time_t given, int *rows_left) {
    if (*rows_left <= 0) return true;
    time_t t0 = cntdata_day_start(given);
    std::string field = csv_name(r.name);
    std::vector<long long> sums;
    WalkLimits limits{true, r.now, rows_left};
    walk_day(r.c, t0, r.res, false, limits, sums,
             [&](time_t start, time_t end, const std::vector<long long> &v) {
                 put_local(t, start);
                 count_text_put(t, ",");
                 put_local(t, end);
                 count_text_printf(t, ",%s,%s", r.serial.c_str(), field.c_str());
                 for (long long x : v) count_text_printf(t, ",%lld", x);
                 count_text_put(t, "\n");
                 return !t->overflow;
             });
    return !t->overflow;
}

bool json_day(CountText *t, const Request &r, time_t given, bool *first_bucket) {
    time_t t0 = cntdata_day_start(given);
    std::vector<long long> sums;
    walk_day(r.c, t0, r.res, true, WalkLimits{}, sums,
             [&](time_t, time_t end, const std::vector<long long> &v) {
                 struct tm tm = local_tm(end);
                 count_text_put(t, *first_bucket ? "" : ",\n");
                 *first_bucket = false;
                 count_text_printf(t, "\t\t\"%d%.2d%.2d%.2d%.2d%.2d\" : [", tm.tm_year + 1900,
                                   tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
                 for (size_t i = 0; i < v.size(); i++)
                     count_text_printf(t, i == 0 ? "%lld" : ",%lld", v[i]);
                 count_text_put(t, "]");
                 return !t->overflow;
             });
    return !t->overflow;
}

bool xml_day(CountText *t, const Request &r, time_t given) {
    size_t needed = size_t(345600 / r.c->interval + 14);
    fprintf(stderr, "mkxml: buflen = %u\n", unsigned(t->cap - t->len));
    if (t->cap - t->len < needed) return false;
    time_t t0 = cntdata_day_start(given);
    char date[32];
    struct tm tm0 = local_tm(t0);
    strftime(date, sizeof date, "%Y-%m-%d", &tm0);
    count_text_printf(t, "\t<cntset name=\"%s\" starttime=\"%ld\" delta=\"%d\" date=\"%s\">\n",
                      count_xml_escape(r.name.c_str()).c_str(), long(t0), r.res, date);
    std::vector<long long> sums;
    walk_day(
        r.c, t0, r.res, false, WalkLimits{}, sums,
        [&](time_t, time_t end, const std::vector<long long> &v) {
            char hm[16];
            struct tm tm = local_tm(end);
            strftime(hm, sizeof hm, "%R", &tm);
            count_text_printf(t, "\t\t<cntgroup endtime=\"%ld\" time=\"%s\">\n", long(end), hm);
            for (size_t i = 0; i < v.size(); i++)
                count_text_printf(t, "\t\t\t<cnt typeid=\"%d\">%lld</cnt>\n", r.c->ntypes[i], v[i]);
            count_text_put(t, "\t\t</cntgroup>\n");
            return !t->overflow;
        });
    count_text_put(t, "\t</cntset>\n");
    return !t->overflow;
}

// The days of the whole ring, each given by a time near its local midnight.
std::vector<time_t> all_days(const cntdata *c, time_t now) {
    auto to_midnight = [](time_t t) {
        int h = local_tm(t).tm_hour;
        return h <= 12 ? t - time_t(HOUR) * h : t + time_t(HOUR) * (24 - h);
    };
    std::vector<time_t> days;
    int64_t max_days = int64_t(c->slot_count) * c->interval / CNTDATA_DAY + 1;
    time_t t = to_midnight(now - time_t(c->slot_count) * c->interval);
    for (int64_t i = 0; i < max_days && t < now; i++) {
        days.push_back(t);
        t = to_midnight(t + CNTDATA_DAY);
    }
    return days;
}

bool write_body(CountText *t, const Request &r, const std::vector<time_t> &days) {
    switch (r.kind) {
        case EXPORT_CSV: {
            if (days.empty()) return true;
            csv_header(t, r.c);
            int rows_left = CSV_MAX_ROWS;
            for (time_t d : days)
                if (!csv_day(t, r, d, &rows_left)) return false;
            return !t->overflow;
        }
        case EXPORT_JSON: {
            if (r.has_callback) {
                if (r.callback.size() + 1 >= t->cap)
                    count_text_printf(t, "no room: %d %d\n", int(r.callback.size()), int(t->cap));
                else
                    count_text_printf(t, "%s(", r.callback.c_str());
            }
            count_text_printf(t,
                              "{\n\t\"counter\" : {\n\t\t\"name\" : \"%s\",\n\t\t\"serial\" : "
                              "\"%s\",\n\t\t\"delta\" : %d,\n",
                              json_export_name(r.name).c_str(), json_export_name(r.serial).c_str(),
                              r.res_parsed);
            count_text_put(t, "\t\t\"types\" : {\n");
            for (int32_t i = 0; i < r.c->type_count; i++) {
                std::string key = count_xml_escape(type_name(r.c->typedesc_short, i).c_str());
                if (i + 1 < r.c->type_count)
                    count_text_printf(t, "\t\t\t\"%s\" : %d,\n", key.c_str(), r.c->ntypes[i]);
                else
                    count_text_printf(t, "\t\t\t\"%s\" : %d\n\t\t}\n", key.c_str(), r.c->ntypes[i]);
            }
            count_text_put(t, "\t},\n\t\"data\" : {\n");
            bool first_bucket = true;
            for (time_t d : days)
                if (!json_day(t, r, d, &first_bucket)) return false;
            count_text_put(t, "\n\t}\n}");
            count_text_put(t, r.has_callback ? ")\n" : "\n");
            return !t->overflow;
        }
        case EXPORT_XML: {
            fprintf(stderr, "mkxml: buflen = %u\n", unsigned(t->cap - t->len));
            count_text_put(t,
                           "<?xml version=\"1.0\" ?>\n<!DOCTYPE countdata SYSTEM "
                           "\"appdata.dtd\">\n\n<countdata version=\"2\">\n\t<typedesc>\n");
            for (int32_t i = 0; i < r.c->type_count; i++)
                count_text_printf(t, "\t\t<type typeid=\"%u\">%s</type>\n",
                                  unsigned(uint16_t(r.c->ntypes[i])),
                                  type_name(r.c->typedesc, i).c_str());
            count_text_put(t, "\t</typedesc>\n");
            for (time_t d : days)
                if (!xml_day(t, r, d)) return false;
            fprintf(stderr, "mkxml: buflen = %u\n", unsigned(t->cap - t->len));
            count_text_put(t, "</countdata>\n");
            if (!t->overflow) fprintf(stderr, "OK\n\n");
            return !t->overflow;
        }
    }
    return false;
}

// The "date=" argument, or all days without it.
bool select_dates(Selection &sel, const cntdata *c, time_t now, const char *args) {
    std::string value;
    if (count_arg_value(args, "date=", value)) return parse_dates(sel, c, now, value);
    sel.all = true;
    sel.days.assign(1, ALL_DAYS_MARK);
    return true;
}

const char *error_reply(const char *text, int *length) {
    *length = int(strlen(text));
    return text;
}

}  // namespace

const char *export_build(ExportKind kind, const cntdata *c, const char *args,
                         const char *counter_name, const char *serial, char *out, size_t cap,
                         int *length) {
    time_t now = clock_now();
    Selection sel;
    sel.res = c->interval;
    std::string value;
    bool ok = select_dates(sel, c, now, args);
    if (ok && count_arg_value(args, "res=", value))
        ok = parse_res(value, c->interval, int64_t(c->slot_count) * c->interval, &sel.res);
    bool several = sel.all || sel.days.size() > 1;
    if (!sel.days.empty() && several && sel.res < MULTI_DAY_MIN_RES)
        return error_reply(TOO_MUCH, length);
    if (!ok) return error_reply(ILLEGAL, length);
    if (!out || !c->map) return error_reply(NO_MEMORY, length);

    Request r;
    r.kind = kind;
    r.c = c;
    r.now = now;
    r.res_parsed = sel.res;
    r.res = (sel.res < c->interval || sel.res % c->interval != 0) ? c->interval : sel.res;
    r.name = counter_name ? counter_name : "";
    r.serial = serial ? serial : "";
    r.has_callback = kind == EXPORT_JSON && count_arg_value(args, "callback=", r.callback);

    std::vector<time_t> days = sel.all ? all_days(c, now) : sel.days;
    CountText t{out, cap};
    if (!write_body(&t, r, days)) {
        log_message(TAG, "export does not fit into %zu bytes", cap);
        return error_reply(NO_MEMORY, length);
    }
    *length = int(t.len);
    return out;
}

int export_selected_days(const cntdata *c, const char *args, std::vector<time_t> *days) {
    time_t now = clock_now();
    Selection sel;
    if (!select_dates(sel, c, now, args)) return -1;
    *days = sel.all ? all_days(c, now) : sel.days;
    return 0;
}
