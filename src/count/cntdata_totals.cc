// Daily running totals: for each of the last day_count local days, the sum of all counts of all
// types from the day the totals were (re)started up to the day before.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "common/paths.h"
#include "count/cntdata.h"
#include "count/count_files.h"

namespace {

constexpr int32_t TOTALS_EMPTY = -1;
constexpr int64_t TOTALS_HOLD_SECONDS = 79200;  // brought forward only after 22:00 UTC

int32_t record_index(const cntdata_totals *t, int64_t noon) {
    int64_t r = (noon / CNTDATA_DAY) % t->day_count;
    return int32_t(r < 0 ? r + t->day_count : r);
}

void read_record(cntdata_totals *t, int64_t noon, int32_t *time, int32_t *total) {
    std::lock_guard<std::mutex> guard(t->lock);
    int32_t d = record_index(t, noon);
    *time = t->days[2 * d];
    *total = t->days[2 * d + 1];
}

void write_record(cntdata_totals *t, int64_t noon, int32_t total) {
    std::lock_guard<std::mutex> guard(t->lock);
    int32_t d = record_index(t, noon);
    t->days[2 * d] = int32_t(noon);
    t->days[2 * d + 1] = total;
}

int local_yday(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return tm.tm_year * 400 + tm.tm_yday;
}

// Local noon of the date `t` falls on, keeping that date's daylight-saving flag.
time_t local_noon(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    tm.tm_hour = 12;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    return mktime(&tm);
}

}  // namespace

cntdata_totals *cntdata_totals_new(const char *tmp_path, const char *sync_path) {
    cntdata_totals *t = new (std::nothrow) cntdata_totals;
    if (!t) return nullptr;
    t->tmp_path = tmp_path;
    t->sync_path = sync_path;
    return t;
}

cntdata_totals *cntdata_totals_defaults(void) {
    return cntdata_totals_new(mevo_path(CNTDATA_TOTALS_TMP_PATH).c_str(),
                              mevo_path(CNTDATA_TOTALS_SYNC_PATH).c_str());
}

void cntdata_totals_close(cntdata_totals *t) {
    if (!t || !t->map) return;
    msync(t->map, size_t(t->file_length), MS_SYNC);
    munmap(t->map, size_t(t->file_length));
    t->map = nullptr;
    t->header = nullptr;
    t->days = nullptr;
}

void cntdata_totals_free(cntdata_totals *t) {
    if (!t) return;
    cntdata_totals_close(t);
    delete t;
}

int cntdata_totals_init(cntdata_totals *t, int32_t day_count) {
    log_message(CNTDATA_TOTALS_TAG, "cntdata_totals_init");
    if (day_count <= 0) return -1;
    cntdata_totals_close(t);
    t->day_count = day_count;
    t->record_size = 8;
    t->file_length = day_count * 8 + 4;
    bool created = false;
    if (count_files_prepare(t->tmp_path, t->sync_path, size_t(t->file_length), CNTDATA_TOTALS_TAG,
                            &created) < 0) {
        return -1;
    }
    if (created) log_message(CNTDATA_TOTALS_TAG, "totals init: creating new file");
    int fd = open(t->tmp_path.c_str(), O_RDWR | O_CREAT | O_SYNC | O_CLOEXEC, 0664);
    if (fd < 0) {
        log_message(CNTDATA_TOTALS_TAG, "open");
        return -1;
    }
    void *map = mmap(nullptr, size_t(t->file_length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        log_message(CNTDATA_TOTALS_TAG, "mmap");
        return -1;
    }
    t->map = map;
    t->header = static_cast<int32_t *>(map);
    t->days = t->header + 1;
    time_t now = clock_now();
    int64_t too_old = int64_t(now) - now % CNTDATA_DAY - int64_t(day_count) * CNTDATA_DAY;
    if (created || *t->header < too_old) *t->header = TOTALS_EMPTY;
    log_message(CNTDATA_TOTALS_TAG, "cntdata_totals_init done, syncing");
    return 0;
}

int cntdata_totals_sync(cntdata_totals *t, const cntdata *c) {
    if (!t || !t->map) return -1;
    msync(t->map, size_t(t->file_length), MS_SYNC);
    int64_t h = *t->header;
    time_t now = clock_now();
    if (h >= 0 && (h - h % CNTDATA_DAY) + TOTALS_HOLD_SECONDS >= now) return 0;
    log_message(CNTDATA_TOTALS_TAG, "syncing totals");
    if (h < 0) {
        h = local_noon(now - time_t(t->day_count - 1) * CNTDATA_DAY);
        write_record(t, h, 0);
        *t->header = int32_t(h);
    }
    std::vector<int32_t> sums(size_t(c->type_count));
    // Bounded: the local date of h reaches today's within one year of days, also when the
    // clock was set back.
    for (int guard = 0; local_yday(h) != local_yday(now) && guard < 400; guard++) {
        cntdata_day_sum(c, h, sums.data());
        int32_t s = 0;
        for (int32_t v : sums) s += v;
        int32_t r, v;
        read_record(t, h, &r, &v);
        int64_t previous = h;
        h += CNTDATA_DAY;
        bool previous_valid = std::llabs(int64_t(r) - previous) <= CNTDATA_DAY;
        write_record(t, h, previous_valid ? s + v : s);
        *t->header = int32_t(h);
    }
    msync(t->map, size_t(t->file_length), MS_SYNC);
    int fd = open(t->sync_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror("sync open totals");
        log_message(CNTDATA_TOTALS_TAG, "sync open");
        return -1;
    }
    int rc = 0;
    if (pwrite(fd, t->map, size_t(t->file_length), 0) != t->file_length) {
        perror("write");
        log_message(CNTDATA_TOTALS_TAG, "sync write");
        rc = -1;
    }
    close(fd);
    return rc;
}
