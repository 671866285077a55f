#include "count/cntdata.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/clock.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "count/count_files.h"

namespace {

int32_t ring_mod(int64_t v, int32_t n) {
    int64_t r = v % n;
    return int32_t(r < 0 ? r + n : r);
}

int32_t *slot_ptr(const cntdata *c, int32_t index) {
    return c->map + int64_t(index) * (c->slot_size / 4);
}

int32_t slot_index(const cntdata *c, time_t t) {
    return ring_mod(t / c->interval, c->slot_count);
}

bool slot_valid_for(const int32_t *slot, time_t t, int32_t interval) {
    int64_t diff = int64_t(slot[0]) - int64_t(t);
    return diff <= interval && diff >= -int64_t(interval);
}

// Slot access for writing: a slot still holding another interval's data is zeroed before it is
// restamped. Counts first, time last: a process killed in between leaves a slot that is still
// invalid for the new interval and is zeroed again by the next write.
int32_t *slot_for_writing(cntdata *c, time_t t) {
    int32_t *slot = slot_ptr(c, slot_index(c, t));
    if (!slot_valid_for(slot, t, c->interval)) {
        for (int32_t i = 0; i < c->type_count; i++) slot[1 + i] = 0;
    }
    slot[0] = int32_t(t);
    return slot;
}

[[noreturn]] void die(const char *what, const char *path) {
    if (path)
        fprintf(stderr, "%s %s: %s\n", what, path, strerror(errno));
    else
        fprintf(stderr, "%s: %s\n", what, strerror(errno));
    exit(1);
}

void free_arrays(cntdata *c) {
    delete[] c->ntypes;
    delete[] c->typedesc;
    delete[] c->typedesc_short;
    delete[] c->today;
    c->ntypes = nullptr;
    c->typedesc = nullptr;
    c->typedesc_short = nullptr;
    c->today = nullptr;
}

void unmap_store(cntdata *c) {
    if (c->map) {
        msync(c->map, size_t(c->file_size), MS_SYNC);
        munmap(c->map, size_t(c->file_size));
        c->map = nullptr;
    }
}

// Day change rule: `today` is recomputed once now has passed the end of the stored day, and
// also when now lies before that day's start: a clock set back (or, offline, a store opened at
// the wall-clock time before the recording's first frame) would otherwise keep adding the
// counts of one day to another's.
void refresh_today(cntdata *c, time_t now) {
    if (int64_t(c->today_end) >= int64_t(now) &&
        int64_t(now) >= int64_t(cntdata_day_start(time_t(c->today_end) - 1)))
        return;
    c->today_end = int32_t(cntdata_day_end(now));
    cntdata_day_sum(c, now, c->today);
}

int write_flash_slot(int fd, const cntdata *c, int32_t index) {
    off_t offset = off_t(index) * c->slot_size;
    ssize_t n = pwrite(fd, slot_ptr(c, index), size_t(c->slot_size), offset);
    if (n != c->slot_size) {
        perror("write");
        log_message(CNTDATA_SYNC_TAG, "sync write");
        return -1;
    }
    return 0;
}

// Writes to flash every slot but the running interval's that differs there.
void flash_catch_up(cntdata *c, time_t now) {
    std::string disk;
    if (file_read_all(c->sync_path, disk) < 0 || disk.size() != size_t(c->file_size)) return;
    msync(c->map, size_t(c->file_size), MS_SYNC);
    int32_t running = slot_index(c, now);
    int fd = -1;
    for (int32_t k = 0; k < c->slot_count; k++) {
        if (k == running) continue;
        size_t offset = size_t(k) * size_t(c->slot_size);
        if (memcmp(disk.data() + offset, slot_ptr(c, k), size_t(c->slot_size)) == 0) continue;
        if (fd < 0) fd = open(c->sync_path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            perror("sync open");
            log_message(CNTDATA_SYNC_TAG, "sync open %s", c->sync_path.c_str());
            return;
        }
        if (write_flash_slot(fd, c, k) < 0) break;
    }
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

// ---- local days ----

time_t cntdata_day_start(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    tm.tm_hour = 0;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

time_t cntdata_day_shift(time_t t, int days) {
    struct tm tm;
    localtime_r(&t, &tm);
    tm.tm_mday += days;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

time_t cntdata_day_end(time_t t) {
    return cntdata_day_start(cntdata_day_shift(t, 1));
}

// ---- readers ----

const int32_t *cntdata_slot_for(const cntdata *c, time_t t) {
    if (!c->map) return nullptr;
    const int32_t *slot = slot_ptr(c, slot_index(c, t));
    return slot_valid_for(slot, t, c->interval) ? slot : nullptr;
}

void cntdata_day_sum(const cntdata *c, time_t t, int32_t *out) {
    for (int32_t i = 0; i < c->type_count; i++) out[i] = 0;
    time_t a = cntdata_day_start(t);
    time_t b = cntdata_day_end(t);
    for (time_t s = a; s < b; s += c->interval) {
        const int32_t *slot = cntdata_slot_for(c, s);
        if (!slot) continue;
        for (int32_t i = 0; i < c->type_count; i++) out[i] += slot[1 + i];
    }
}

time_t cntdata_oldest_slot_time(const cntdata *c) {
    if (!c->map) return 0;
    int32_t oldest = 0;
    for (int32_t k = 0; k < c->slot_count; k++) {
        int32_t t = slot_ptr(c, k)[0];
        if (t > 0 && (oldest == 0 || t < oldest)) oldest = t;
    }
    return oldest;
}

// ---- synchronisation ----

int cntdata_sync(cntdata *c) {
    if (!c->map) return -1;
    msync(c->map, size_t(c->file_size), MS_SYNC);
    time_t now = clock_now();
    int32_t target = ring_mod(now / c->interval - 1, c->slot_count);
    if (target != c->last_synced) {
        int fd = open(c->sync_path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            perror("sync open");
            log_message(CNTDATA_SYNC_TAG, "sync open %s", c->sync_path.c_str());
            return -1;
        }
        while (c->last_synced != target) {
            int32_t next = (c->last_synced + 1) % c->slot_count;
            if (write_flash_slot(fd, c, next) < 0) {
                close(fd);
                return -1;
            }
            c->last_synced = next;
        }
        close(fd);
    }
    if (c->totals) cntdata_totals_sync(c->totals, c);
    return 0;
}

// ---- initialisation ----

int cntdata_open(cntdata *c, int32_t slot_count, int32_t interval, int32_t type_count,
                 const int32_t *ids, const char *const *typedesc, const char *const *typedesc_short,
                 cntdata_totals *totals, const char *tmp_path, const char *sync_path) {
    if (slot_count <= 0 || interval <= 0 || type_count <= 0) {
        errno = EINVAL;
        return -1;
    }
    log_message(CNTDATA_SYNC_TAG, "TMP: %s SYNC: %s", tmp_path, sync_path);
    c->slot_count = slot_count;
    c->interval = interval;
    c->tmp_path = tmp_path;
    c->sync_path = sync_path;
    c->type_count = type_count;
    c->totals = totals;
    c->ntypes = new (std::nothrow) int32_t[size_t(type_count)];
    c->typedesc = new (std::nothrow) const char *[size_t(type_count)];
    c->typedesc_short = new (std::nothrow) const char *[size_t(type_count)];
    c->today = new (std::nothrow) int32_t[size_t(type_count)]();
    if (!c->ntypes || !c->typedesc || !c->typedesc_short || !c->today) {
        log_message(CNTDATA_SYNC_TAG, "%s:%d malloced failed of c->ntypes", CNTDATA_SYNC_TAG,
                    __LINE__);
        free_arrays(c);
        return -1;
    }
    for (int32_t i = 0; i < type_count; i++) {
        c->ntypes[i] = ids ? ids[i] : CNTDATA_TYPE_ID_BASE + i;
        c->typedesc[i] = typedesc ? typedesc[i] : nullptr;
        c->typedesc_short[i] = typedesc_short ? typedesc_short[i] : nullptr;
    }
    c->slot_size = (type_count + 1) * 4;
    c->file_size = slot_count * c->slot_size;
    c->today_end = 0;

    if (count_files_prepare(c->tmp_path, c->sync_path, size_t(c->file_size), CNTDATA_SYNC_TAG,
                            nullptr) < 0) {
        free_arrays(c);
        return -1;
    }
    int fd = open(c->tmp_path.c_str(), O_RDWR | O_CREAT | O_SYNC | O_CLOEXEC, 0664);
    if (fd < 0) {
        perror("open");
        free_arrays(c);
        return -1;
    }
    void *map = mmap(nullptr, size_t(c->file_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        perror("mmap");
        close(fd);
        free_arrays(c);
        return -1;
    }
    c->map = static_cast<int32_t *>(map);

    time_t now = clock_now();
    // Every completed interval that flash does not hold as the working copy does goes there
    // now: the process may have been away longer than one interval, and a reboot keeps only
    // flash.
    c->last_synced = ring_mod(now / interval - 1, slot_count);
    flash_catch_up(c, now);
    {
        // The totals are initialised below; the first synchronisation covers only the ring.
        cntdata_totals *saved = c->totals;
        c->totals = nullptr;
        cntdata_sync(c);
        c->totals = saved;
    }
    close(fd);
    refresh_today(c, now);

    if (c->totals) {
        if (cntdata_totals_init(c->totals, slot_count * interval / CNTDATA_DAY) < 0) {
            unmap_store(c);
            free_arrays(c);
            return -1;
        }
        cntdata_totals_sync(c->totals, c);
    }
    return 0;
}

void cntdata_init(cntdata *c, int32_t slot_count, int32_t interval, int32_t type_count,
                  const int32_t *ids, const char *const *typedesc,
                  const char *const *typedesc_short, cntdata_totals *totals, const char *tmp_path,
                  const char *sync_path) {
    if (cntdata_open(c, slot_count, interval, type_count, ids, typedesc, typedesc_short, totals,
                     tmp_path, sync_path) < 0) {
        die("cntdata_init", nullptr);
    }
}

void cntdata_extended_init(cntdata *c, const char *const *typedesc,
                           const char *const *typedesc_short, cntdata_totals *totals) {
    log_message(CNTDATA_SYNC_TAG, "Lets do extended init!");
    int32_t ids[CNTDATA_TYPES];
    for (int32_t i = 0; i < CNTDATA_TYPES; i++) ids[i] = CNTDATA_TYPE_ID_BASE + i;
    std::string tmp = mevo_path(CNTDATA_TMP_PATH);
    std::string sync = mevo_path(CNTDATA_SYNC_PATH);
    cntdata_init(c, CNTDATA_SLOTS, CNTDATA_INTERVAL, CNTDATA_TYPES, ids, typedesc, typedesc_short,
                 totals, tmp.c_str(), sync.c_str());
    log_message(CNTDATA_SYNC_TAG, "Done with extended init");
}

// ---- counting ----

void cntdata_count(cntdata *c, int type, time_t now) {
    cntdata_count_types(c, &type, 1, now);
}

void cntdata_count_types(cntdata *c, const int *types, int n, time_t now) {
    std::lock_guard<std::mutex> guard(c->lock);
    if (!c->map) return;
    for (int k = 0; k < n; k++)
        if (types[k] < 0 || types[k] >= c->type_count) return;
    refresh_today(c, now);
    int32_t *slot = slot_for_writing(c, now);
    // All counts of one person land before the one flush: no flush, and so no kill seen
    // between them in the files, holds one without the other.
    for (int k = 0; k < n; k++) {
        c->today[types[k]] += 1;
        slot[1 + types[k]] += 1;
    }
    cntdata_sync(c);
}

void cntdata_tick(cntdata *c) {
    std::lock_guard<std::mutex> guard(c->lock);
    if (!c->map) return;
    time_t now = clock_now();
    slot_for_writing(c, now);
    cntdata_sync(c);
    refresh_today(c, now);
}

// ---- clearing ----

int cntdata_clear(cntdata *c, time_t date) {
    if (date == 0) {
        log_message(CNTDATA_SYNC_TAG, "Clearing all countdata...");
        int32_t slot_count = c->slot_count, interval = c->interval, type_count = c->type_count;
        std::vector<int32_t> ids(c->ntypes, c->ntypes + type_count);
        std::vector<const char *> desc(c->typedesc, c->typedesc + type_count);
        std::vector<const char *> desc_short(c->typedesc_short, c->typedesc_short + type_count);
        std::string tmp = c->tmp_path, sync = c->sync_path;
        unmap_store(c);
        free_arrays(c);
        if (c->totals) cntdata_totals_close(c->totals);
        unlink(tmp.c_str());
        unlink(sync.c_str());
        return cntdata_open(c, slot_count, interval, type_count, ids.data(), desc.data(),
                            desc_short.data(), c->totals, tmp.c_str(), sync.c_str());
    }
    if (!c->map || date < 0) return -1;
    time_t t0 = cntdata_day_start(date);
    time_t t1 = cntdata_day_end(t0);
    // The cleared slots also go to flash; otherwise the day's counts would come back from the
    // flash copy after the next reboot.
    int fd = open(c->sync_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror("sync open");
        log_message(CNTDATA_SYNC_TAG, "sync open %s", c->sync_path.c_str());
    }
    int rc = fd < 0 ? -1 : 0;
    for (time_t s = t0; s < t1; s += c->interval) {
        int32_t index = slot_index(c, s);
        int32_t *slot = slot_ptr(c, index);
        if (slot[0] <= 0 || !slot_valid_for(slot, s, c->interval)) continue;
        for (int32_t i = 0; i < c->type_count; i++) slot[1 + i] = 0;
        if (fd >= 0 && write_flash_slot(fd, c, index) < 0) rc = -1;
    }
    msync(c->map, size_t(c->file_size), MS_SYNC);
    if (fd >= 0) close(fd);
    // A cleared today must not keep its old running counts until the next day change.
    if (t0 == cntdata_day_start(clock_now()) && c->today) cntdata_day_sum(c, t0, c->today);
    return rc;
}

// ---- teardown ----

void cntdata_destroy(cntdata *c) {
    unmap_store(c);
    free_arrays(c);
    if (c->totals) cntdata_totals_close(c->totals);
}
