#include "track/tracker_json.h"

#include <cmath>
#include <limits>

#include "common/log.h"
#include "common/ov_string.h"

namespace {

constexpr const char *LOG_TAG = "tracker";
constexpr int TIME_DECIMALS = 6;

struct LiveTrackRow {
    double time_start, time_end;
    int gender_average, age_average, boxsize_average;
    int gender_last, age_last, boxsize_last;
};

// Truncation toward zero that stays defined for values an int cannot hold.
int trunc_to_int(double v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    if (v <= static_cast<double>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(v);
}

LiveTrackRow row_of(const Track *t) {
    LiveTrackRow r;
    r.time_start = t->time_start;
    r.time_end = t->time_end;
    // Undecided faces only (sum exactly 0) count as -1, as the counting does.
    r.gender_average = t->gender_sum > 0 ? 1 : -1;
    r.age_average = trunc_to_int(t->age_sum / t->weight_sum);
    r.boxsize_average = trunc_to_int(t->boxsize_sum / t->observations + 0.5);
    r.gender_last = trunc_to_int(t->gender_last);
    r.age_last = trunc_to_int(t->age_last + 0.5);
    r.boxsize_last = trunc_to_int(std::exp(t->last_z) + 0.5);
    return r;
}

int snapshot(Tracker *tracker, LiveTrackRow *rows) {
    auto guard = tracker_guard(tracker);
    int count = 0;
    for (int i = 0; i < tracker->track_count; ++i) {
        if (tracker->tracks[i]->id > 0) rows[count++] = row_of(tracker->tracks[i]);
    }
    return count;
}

int print_time(JsonPrinter *printer, OvNumber2String *n2s, const char *key, double value) {
    const char *text = n2s ? ov_number2string_double(n2s, value, TIME_DECIMALS) : "?";
    // "?" is not a JSON number; as a string it keeps the reply parseable.
    if (text[0] == '?') return json_print_args(printer, JSON_KEY, key, JSON_STRING, "?", JSON_END);
    return json_print_args(printer, JSON_KEY, key, JSON_NUMBER, text, JSON_END);
}

int print_row(JsonPrinter *printer, OvNumber2String *n2s, const LiveTrackRow &r) {
    int rc = json_print_args(printer, JSON_OBJECT_BEGIN, JSON_END);
    if (rc == JSON_PRINT_OK) rc = print_time(printer, n2s, "time_start", r.time_start);
    if (rc == JSON_PRINT_OK) rc = print_time(printer, n2s, "time_end", r.time_end);
    if (rc != JSON_PRINT_OK) return rc;
    return json_print_args(
        printer, JSON_KEY, "gender_average", JSON_INT, static_cast<long long>(r.gender_average),
        JSON_KEY, "age_average", JSON_INT, static_cast<long long>(r.age_average), JSON_KEY,
        "boxsize_average", JSON_INT, static_cast<long long>(r.boxsize_average), JSON_KEY,
        "gender_last", JSON_INT, static_cast<long long>(r.gender_last), JSON_KEY, "age_last",
        JSON_INT, static_cast<long long>(r.age_last), JSON_KEY, "boxsize_last", JSON_INT,
        static_cast<long long>(r.boxsize_last), JSON_OBJECT_END, JSON_END);
}

}  // namespace

int tracker_print_live_json(Tracker *tracker, JsonPrinter *printer) {
    LiveTrackRow rows[TRACKER_MAX_TRACKS];
    const int count = snapshot(tracker, rows);
    OvNumber2String *n2s = ov_number2string_new(0);
    int rc = json_print_args(printer, JSON_KEY, "live", JSON_OBJECT_BEGIN, JSON_KEY, "tracks",
                             JSON_ARRAY_BEGIN, JSON_END);
    for (int i = 0; i < count && rc == JSON_PRINT_OK; ++i) rc = print_row(printer, n2s, rows[i]);
    if (rc == JSON_PRINT_OK)
        rc = json_print_args(printer, JSON_ARRAY_END, JSON_OBJECT_END, JSON_END);
    if (n2s) ov_number2string_free(n2s);
    return rc;
}

int tracker_write_live_json(Tracker *tracker, JsonPrintCallback callback, void *user) {
    JsonPrinter *printer = json_print_init(callback, user);
    if (!printer) {
        log_message(LOG_TAG, "Failed (%d) to init json printer for web stream", -1);
        return -1;
    }
    json_print_pretty(printer, 1);
    int rc = json_print_args(printer, JSON_OBJECT_BEGIN, JSON_END);
    if (rc == JSON_PRINT_OK) rc = tracker_print_live_json(tracker, printer);
    if (rc == JSON_PRINT_OK) rc = json_print_args(printer, JSON_OBJECT_END, JSON_END);
    json_print_free(printer);
    return rc;
}
