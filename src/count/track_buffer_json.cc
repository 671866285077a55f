// JSON listing of the track buffer for the live endpoints.
#include <algorithm>
#include <cstring>

#include "common/log.h"
#include "count/track_buffer.h"
#include "platform/json/json_print.h"

namespace {

constexpr int TIME_DECIMALS = 6;
constexpr int RECORD = int(sizeof(track_record));

int count_of(const track_buffer *tb) {
    return tb->header[2] == 1 ? tb->header[0] : tb->header[1];
}

track_record at(const track_buffer *tb, int i) {
    int length = tb->header[0];
    int slot = tb->header[2] == 1 ? (tb->header[1] + i) % length : i;
    track_record r;
    memcpy(&r, tb->records + size_t(slot) * RECORD, RECORD);
    return r;
}

// First position (0 = oldest) whose t_end is >= x, or > x when strict.
int bisect(const track_buffer *tb, double x, bool strict) {
    int lo = 0, hi = count_of(tb);
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        double v = at(tb, mid).t_end;
        if (strict ? !(v > x) : (v < x))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

int print_record(JsonPrinter *p, const track_record &r) {
    return json_print_args(p, JSON_OBJECT_BEGIN, JSON_KEY, "time_start", JSON_DOUBLE, r.t_start,
                           TIME_DECIMALS, JSON_KEY, "time_end", JSON_DOUBLE, r.t_end, TIME_DECIMALS,
                           JSON_KEY, "gender_average", JSON_INT, (long long)r.gender, JSON_KEY,
                           "age_average", JSON_INT, (long long)r.age, JSON_KEY, "boxsize_average",
                           JSON_INT, (long long)r.avg_boxsize, JSON_OBJECT_END, JSON_END);
}

}  // namespace

int track_buffer_print_json(track_buffer *tb, JsonPrinter *printer, double start, double end) {
    int rc = json_print_args(printer, JSON_KEY, "ended", JSON_OBJECT_BEGIN, JSON_KEY, "time_start",
                             JSON_DOUBLE, start, TIME_DECIMALS, JSON_KEY, "time_end", JSON_DOUBLE,
                             end, TIME_DECIMALS, JSON_KEY, "tracks", JSON_ARRAY_BEGIN, JSON_END);
    if (tb) {
        // Search and walk under one hold of the lock, so the listed slots cannot be
        // overwritten in between. Both window ends are inclusive.
        std::lock_guard<std::mutex> guard(tb->lock);
        if (tb->ready && start <= end) {
            int first = bisect(tb, start, false);
            int last = bisect(tb, end, true) - 1;
            for (int i = first; i <= last; i++) {
                int r = print_record(printer, at(tb, i));
                if (r != JSON_PRINT_OK && rc == JSON_PRINT_OK) rc = r;
            }
        }
    }
    int r = json_print_args(printer, JSON_ARRAY_END, JSON_OBJECT_END, JSON_END);
    return rc != JSON_PRINT_OK ? rc : r;
}

int track_buffer_print_json_document(track_buffer *tb, JsonPrinter *printer, double start,
                                     double end) {
    int rc = json_print_args(printer, JSON_OBJECT_BEGIN, JSON_END);
    int r = track_buffer_print_json(tb, printer, start, end);
    int r2 = json_print_args(printer, JSON_OBJECT_END, JSON_END);
    return rc != JSON_PRINT_OK ? rc : (r != JSON_PRINT_OK ? r : r2);
}
