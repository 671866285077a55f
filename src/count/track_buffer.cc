#include "count/track_buffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"

namespace {

constexpr int RECORD = int(sizeof(track_record));
constexpr size_t COPY_BLOCK = 4096;

enum HeaderWord { H_LENGTH = 0, H_INDEX = 1, H_WRAPPED = 2 };

// Copies a to b only when b does not exist yet (b is created exclusively).
int copy_if_missing(const std::string &a, const std::string &b) {
    int in = open(a.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    int out = open(b.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        int saved = errno;
        close(in);
        errno = saved;
        return -1;
    }
    char buf[COPY_BLOCK];
    int rc = 0;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            rc = n < 0 ? -1 : 0;
            break;
        }
        ssize_t done = 0;
        while (done < n) {
            ssize_t w = write(out, buf + done, size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) break;
            done += w;
        }
        if (done < n) {
            rc = -1;
            break;
        }
    }
    int saved = errno;
    close(in);
    close(out);
    errno = saved;
    return rc;
}

int read_word(int fd, int word) {
    int32_t v = 0;
    if (pread(fd, &v, sizeof v, off_t(word) * 4) != ssize_t(sizeof v)) return 0;
    return v;
}

// Returns -1 when done, else the number of the record that could not be written.
int write_zero_records(int fd, int from, int n) {
    if (from >= n) return -1;
    std::vector<char> zeros(size_t(n - from) * RECORD, 0);
    size_t done = 0;
    off_t base = TRACK_BUFFER_HEADER_BYTES + off_t(from) * RECORD;
    while (done < zeros.size()) {
        ssize_t w = pwrite(fd, zeros.data() + done, zeros.size() - done, base + off_t(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return from + int(done / RECORD);
        done += size_t(w);
    }
    return -1;
}

int records_in(int fd) {
    struct stat st;
    if (fstat(fd, &st) < 0 || st.st_size <= TRACK_BUFFER_HEADER_BYTES) return 0;
    return int((st.st_size - TRACK_BUFFER_HEADER_BYTES) / RECORD);
}

// Header then zero records up to n; the failure texts name the copy.
bool lay_out_file(int fd, const int32_t words[3], int used, int n, bool backup) {
    static const char *const names[3] = {"length", "index", "wrapped"};
    for (int w = 0; w < 3; w++) {
        if (pwrite(fd, &words[w], 4, off_t(w) * 4) != 4) {
            log_message(TRACK_BUFFER_TAG, "failed to initiate/reset %s (%s)\n",
                        backup ? "backup file" : "file", names[w]);
            return false;
        }
    }
    int failed_at = write_zero_records(fd, used, n);
    if (failed_at >= 0) {
        log_message(TRACK_BUFFER_TAG, "failed to initiate/reset backup file %d / %d\n", failed_at,
                    n);
        return false;
    }
    return true;
}

void *map_file(int fd, size_t length) {
    void *m = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return m == MAP_FAILED ? nullptr : m;
}

unsigned char *slot_of(unsigned char *records, int k) {
    return records + size_t(k) * RECORD;
}

track_record load(const track_buffer *tb, int slot) {
    track_record r;
    memcpy(&r, tb->records + size_t(slot) * RECORD, RECORD);
    return r;
}

// The ring read oldest to newest; `i` positions after the oldest.
struct Ring {
    int length, index, count;
    bool wrapped;
    int slot(int i) const { return wrapped ? (index + i) % length : i; }
};

Ring ring_of(const track_buffer *tb) {
    Ring r;
    r.length = tb->header[H_LENGTH];
    r.index = tb->header[H_INDEX];
    r.wrapped = tb->header[H_WRAPPED] == 1;
    r.count = r.wrapped ? r.length : r.index;
    return r;
}

double t_end_at(const track_buffer *tb, const Ring &r, int i) {
    return load(tb, r.slot(i)).t_end;
}

// First position whose t_end is >= x (strict = false) or > x (strict = true).
int bisect(const track_buffer *tb, const Ring &r, double x, bool strict) {
    int lo = 0, hi = r.count;
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        double v = t_end_at(tb, r, mid);
        bool before = strict ? !(v > x) : (v < x);
        if (before)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void unmap_both(track_buffer *tb) {
    if (tb->header) {
        msync(tb->header, tb->map_length, MS_SYNC);
        munmap(tb->header, tb->map_length);
        log_message(TRACK_BUFFER_TAG, "track buffer memory map closed\n");
    }
    if (tb->mirror_header) {
        msync(tb->mirror_header, tb->map_length, MS_SYNC);
        munmap(tb->mirror_header, tb->map_length);
        log_message(TRACK_BUFFER_TAG, "track buffer memory map backup closed\n");
    }
    tb->header = tb->mirror_header = nullptr;
    tb->records = tb->mirror_records = nullptr;
    tb->ready = false;
}

bool open_both(track_buffer *tb, int n, const std::string &flash, const std::string &mirror) {
    log_message(TRACK_BUFFER_TAG, "track buffer file: %s", flash.c_str());
    log_message(TRACK_BUFFER_TAG, "size per track in bytes %d", RECORD);
    for (const std::string &p : {flash, mirror}) {
        size_t slash = p.rfind('/');
        if (slash != std::string::npos && slash > 0) file_mkdir_p(p.substr(0, slash));
    }
    int probe = open(flash.c_str(), O_RDWR | O_CLOEXEC);
    if (probe < 0) {
        log_message(TRACK_BUFFER_TAG, "track buffer file %s not found trying to copy %s",
                    flash.c_str(), mirror.c_str());
        if (copy_if_missing(mirror, flash) == 0)
            log_message(TRACK_BUFFER_TAG, "track buffer file copy successful\n");
        else
            log_message(TRACK_BUFFER_TAG, "track buffer file copy failed\n");
    } else {
        close(probe);
    }
    int fd = open(flash.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0) {
        int e = errno;
        log_message(TRACK_BUFFER_TAG, "creation failed %d", fd);
        log_message(TRACK_BUFFER_TAG, "error no is : %d\n", e);
        log_message(TRACK_BUFFER_TAG, "error description is : %s\n", strerror(e));
        return false;
    }
    copy_if_missing(flash, mirror);
    int mfd = open(mirror.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    if (mfd < 0) {
        log_message(TRACK_BUFFER_TAG, "creation failed %d", mfd);
        close(fd);
        return false;
    }

    int32_t words[3] = {read_word(fd, H_LENGTH), read_word(fd, H_INDEX), read_word(fd, H_WRAPPED)};
    if (words[H_LENGTH] != n)
        log_message(TRACK_BUFFER_TAG, "number of tracks in file is %d and new will be %d",
                    words[H_LENGTH], n);
    words[H_LENGTH] = n;
    log_message(TRACK_BUFFER_TAG, "from file. length %d, index %d and wrapped %d", words[0],
                words[1], words[2]);
    int existing = records_in(fd);
    int used = std::min(existing, n);
    log_message(TRACK_BUFFER_TAG, "tracks in buff at start used: %d", used);

    bool ok = lay_out_file(fd, words, used, n, false);
    if (ok) log_message(TRACK_BUFFER_TAG, "created file");
    ok = ok && lay_out_file(mfd, words, std::min(records_in(mfd), n), n, true);
    if (ok) log_message(TRACK_BUFFER_TAG, "created backup file");

    void *flash_map = ok ? map_file(fd, tb->map_length) : nullptr;
    if (ok && !flash_map) log_message(TRACK_BUFFER_TAG, "track mmap failed with (%d)\n", errno);
    if (flash_map) log_message(TRACK_BUFFER_TAG, "track buffer memory map opened\n");
    void *mirror_map = flash_map ? map_file(mfd, tb->map_length) : nullptr;
    if (flash_map && !mirror_map)
        log_message(TRACK_BUFFER_TAG, "track backup mmap failed with (%d)\n", errno);
    if (mirror_map) log_message(TRACK_BUFFER_TAG, "track buffer backup memory map opened\n");
    close(fd);
    close(mfd);
    if (!mirror_map) {
        if (flash_map) munmap(flash_map, tb->map_length);
        return false;
    }
    tb->header = static_cast<int32_t *>(flash_map);
    tb->records = static_cast<unsigned char *>(flash_map) + TRACK_BUFFER_HEADER_BYTES;
    tb->mirror_header = static_cast<int32_t *>(mirror_map);
    tb->mirror_records = static_cast<unsigned char *>(mirror_map) + TRACK_BUFFER_HEADER_BYTES;

    // A damaged header must never point outside the ring; the mirror gets the repaired words.
    int32_t *h = tb->header;
    h[H_LENGTH] = n;
    if (h[H_INDEX] < 0) h[H_INDEX] = 0;
    if (h[H_INDEX] >= n) h[H_INDEX] = n - 1;
    if (h[H_WRAPPED] != 0 && h[H_WRAPPED] != 1) h[H_WRAPPED] = 0;
    memcpy(tb->mirror_header, h, TRACK_BUFFER_HEADER_BYTES);
    log_message(TRACK_BUFFER_TAG, "three,ok : %d %d %d", h[0], h[1], h[2]);
    memcpy(tb->mirror_records, tb->records, size_t(used) * RECORD);
    msync(tb->header, tb->map_length, MS_SYNC);
    msync(tb->mirror_header, tb->map_length, MS_SYNC);
    return true;
}

void fmt_append(std::string &s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void fmt_append(std::string &s, const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0) s.append(buf, size_t(std::min(n, int(sizeof buf) - 1)));
}

const char *const DATA_STRUCT =
    "\"data_struct\": [\"t_start\",\"t_end\",\"gender\",\"age\",\"avg_boxsize\",\"trackid\"],";

}  // namespace

track_buffer *track_buffer_init_at(int capacity, const char *flash_path, const char *mirror_path) {
    track_buffer *tb = new (std::nothrow) track_buffer;
    if (!tb) return nullptr;
    if (capacity <= 0) return tb;
    std::lock_guard<std::mutex> guard(tb->lock);
    tb->map_length = TRACK_BUFFER_HEADER_BYTES + size_t(capacity) * RECORD;
    if (open_both(tb, capacity, flash_path, mirror_path)) {
        tb->synced = true;
        tb->ready = true;
    }
    return tb;
}

track_buffer *track_buffer_init(int capacity) {
    return track_buffer_init_at(capacity, mevo_path(TRACK_BUFFER_FLASH_PATH).c_str(),
                                mevo_path(TRACK_BUFFER_MIRROR_PATH).c_str());
}

void track_buffer_add(track_buffer *tb, const track_record *record) {
    if (!tb || !record) return;
    std::lock_guard<std::mutex> guard(tb->lock);
    if (!tb->ready) return;
    int32_t *h = tb->header;
    int k = h[H_INDEX];
    memset(slot_of(tb->records, k), 0, RECORD);
    memset(slot_of(tb->mirror_records, k), 0, RECORD);
    memcpy(slot_of(tb->records, k), record, RECORD);
    memcpy(slot_of(tb->mirror_records, k), record, RECORD);
    if (k + 1 == h[H_LENGTH]) {
        h[H_WRAPPED] = 1;
        h[H_INDEX] = 0;
    } else {
        h[H_INDEX] = k + 1;
    }
    tb->synced = false;
    memcpy(tb->mirror_header, h, TRACK_BUFFER_HEADER_BYTES);
}

void track_buffer_sync(track_buffer *tb) {
    if (!tb) return;
    std::lock_guard<std::mutex> guard(tb->lock);
    if (!tb->ready || tb->synced) return;
    msync(tb->header, tb->map_length, MS_SYNC);
    msync(tb->mirror_header, tb->map_length, MS_SYNC);
    tb->synced = true;
}

void track_buffer_log_last(track_buffer *tb, int n) {
    if (!tb) return;
    std::lock_guard<std::mutex> guard(tb->lock);
    if (!tb->ready || n <= 0) return;
    Ring r = ring_of(tb);
    int k = std::min(n, r.count);
    for (int i = r.count - k; i < r.count; i++) {
        int slot = r.slot(i);
        track_record rec = load(tb, slot);
        log_message(TRACK_BUFFER_TAG,
                    "[%d] tstart: %f tend: %f age: %d gender: %d boxsize: %d track num: %d\n", slot,
                    rec.t_start, rec.t_end, rec.age, rec.gender, rec.avg_boxsize, rec.trackid);
    }
}

int track_buffer_find(track_buffer *tb, double x, int *lower, int *upper) {
    if (!tb) return -1;
    std::lock_guard<std::mutex> guard(tb->lock);
    if (!tb->ready) return -1;
    Ring r = ring_of(tb);
    if (r.count == 0) {
        *lower = *upper = r.length - 1;
        return 0;
    }
    int first_ge = bisect(tb, r, x, false);
    int first_gt = bisect(tb, r, x, true);
    if (first_ge < first_gt) {  // records ending exactly at x
        *lower = r.slot(first_ge);
        *upper = r.slot(first_gt - 1);
    } else if (first_ge == 0) {
        *lower = *upper = r.slot(0);
    } else if (first_ge == r.count) {
        *lower = *upper = r.slot(r.count - 1);
    } else {
        *lower = r.slot(first_ge - 1);
        *upper = r.slot(first_ge);
    }
    return 0;
}

int track_buffer_count(track_buffer *tb) {
    if (!tb) return 0;
    std::lock_guard<std::mutex> guard(tb->lock);
    return tb->ready ? ring_of(tb).count : 0;
}

int track_buffer_get(track_buffer *tb, int i, track_record *out) {
    if (!tb) return -1;
    std::lock_guard<std::mutex> guard(tb->lock);
    if (!tb->ready) return -1;
    Ring r = ring_of(tb);
    if (i < 0 || i >= r.count) return -1;
    *out = load(tb, r.slot(i));
    return 0;
}

void track_buffer_settle(track_buffer *tb, double horizon) {
    if (!tb) return;
    std::lock_guard<std::mutex> guard(tb->lock);
    tb->settled = horizon;
}

namespace {
struct Row {
    double t_end;
    std::string text;  // "[...]" without separator
};

// The records of the upload window in ring order.
std::vector<Row> window_rows(const track_buffer *tb, double start, double end) {
    std::vector<Row> rows;
    if (!tb->ready) return rows;
    Ring r = ring_of(tb);
    for (int i = 0; i < r.count; i++) {
        track_record rec = load(tb, r.slot(i));
        if (!(rec.t_end > start && rec.t_end <= end && rec.t_end < tb->settled)) continue;
        Row row{rec.t_end, {}};
        fmt_append(row.text, "[%f,%f,%d,%d,%d,%d]", rec.t_start, rec.t_end, rec.gender, rec.age,
                   rec.avg_boxsize, rec.trackid);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string rows_head(double first, double last) {
    std::string head;
    fmt_append(head, "\"utc_time_start\": %f,", first);
    fmt_append(head, "\"utc_time_end\": %f,", last);
    return head + DATA_STRUCT + "\"data\": [";
}

// The distinct end times of the rows, ascending.
std::vector<double> end_times(const std::vector<Row> &rows) {
    std::vector<double> ends;
    for (const Row &row : rows) ends.push_back(row.t_end);
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    return ends;
}

// The fragment with the rows that end at or before `cutoff`; an empty data list keeps the
// start: the server's last saved time must never pass a track that is still to come.
std::string rows_fragment(const std::vector<Row> &rows, double start, double cutoff) {
    std::string body;
    double first = start, last = start;
    for (const Row &row : rows) {
        if (row.t_end > cutoff) continue;
        if (body.empty()) first = row.t_end;
        last = std::max(last, row.t_end);
        body += (body.empty() ? "" : ",") + row.text;
    }
    return rows_head(first, last) + body + "]";
}
}  // namespace

int track_buffer_rows(track_buffer *tb, char *out, size_t capacity, double start, double end) {
    if (!out || capacity == 0) return 0;
    out[0] = '\0';
    if (!tb) return 0;
    std::lock_guard<std::mutex> guard(tb->lock);
    std::vector<Row> rows = window_rows(tb, start, end);
    std::vector<double> ends = end_times(rows);
    // Rows that do not fit are dropped from the latest end time down, ties together: first by
    // their sizes, then exactly (the head's numbers may be wider or narrower).
    std::vector<size_t> size_by_end(ends.size(), 0);
    for (const Row &row : rows)
        size_by_end[size_t(std::lower_bound(ends.begin(), ends.end(), row.t_end) - ends.begin())] +=
            row.text.size() + 1;
    size_t used = rows_head(start, start).size() + 1;
    for (size_t k = 0; k < ends.size(); k++) {
        used += size_by_end[k];
        if (used >= capacity) {
            ends.resize(k);
            break;
        }
    }
    std::string text = rows_fragment(rows, start, ends.empty() ? start : ends.back());
    while (text.size() >= capacity && !ends.empty()) {
        ends.pop_back();
        text = rows_fragment(rows, start, ends.empty() ? start : ends.back());
    }
    size_t n = std::min(text.size(), capacity - 1);
    memcpy(out, text.data(), n);
    out[n] = '\0';
    return int(n);
}

void track_buffer_free(track_buffer *tb) {
    if (!tb) return;
    {
        std::lock_guard<std::mutex> guard(tb->lock);
        unmap_both(tb);
    }
    delete tb;
}
