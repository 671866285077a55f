// Track buffer: the most recent ended tracks (20000 in the application), one 24-byte record
// each, in a ring kept in a memory-mapped file on flash and mirrored into a second mapped file
// under /tmp.
//
// File layout (host byte order): int32 length (capacity), int32 index (next slot written),
// int32 wrapped (0 until the ring was filled once), then `length` records of 24 bytes.
// Records are appended in order of their end time, so the ring read from the oldest record
// (slot `index` when wrapped, else slot 0) to the newest is sorted by `t_end`; the window
// searches bisect it.
//
// Threads: append and sync on the main thread; listings on the HTTP and uploader threads. One
// lock per object guards every operation (a listing holds it while it writes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

inline constexpr int TRACK_BUFFER_CAPACITY = 20000;
inline constexpr int TRACK_BUFFER_HEADER_BYTES = 12;
inline constexpr const char *TRACK_BUFFER_FLASH_PATH =
    "/usr/local/packages/mevo/localdata/track_buffer.buf";
inline constexpr const char *TRACK_BUFFER_MIRROR_PATH = "/tmp/track_buffer.buf";
inline constexpr const char *TRACK_BUFFER_TAG = "modules/platforms/cntdata_demo";

#pragma pack(push, 1)
struct track_record {
    double t_start;       // UTC seconds with microseconds: frame that created the track
    double t_end;         // UTC seconds: last frame with an assigned measurement
    int8_t gender;        // 1 man, -1 woman
    int8_t age;           // years, 0..100
    int16_t avg_boxsize;  // mean face width in pixels
    int32_t trackid;      // tracker's track number
};
#pragma pack(pop)
static_assert(sizeof(track_record) == 24, "stored record layout");

struct track_buffer {
    bool ready = false;
    bool synced = false;
    size_t map_length = 0;
    int32_t *header = nullptr;         // flash mapping: length, index, wrapped
    unsigned char *records = nullptr;  // flash mapping records
    int32_t *mirror_header = nullptr;
    unsigned char *mirror_records = nullptr;
    // Every track that ends before this time is in the ring; tracks still followed end at it
    // or later (set by the frame loop, +infinity while nothing is followed).
    double settled = __builtin_inf();
    std::mutex lock;
};

// Prepares and maps both files (the fixed paths under the root). Always returns an object
// (null only when out of memory); when a step failed it is not ready and every operation on it
// does nothing or lists nothing.
track_buffer *track_buffer_init(int capacity);
track_buffer *track_buffer_init_at(int capacity, const char *flash_path, const char *mirror_path);

// Appends one record (the oldest is overwritten when the ring is full).
void track_buffer_add(track_buffer *tb, const track_record *record);

// Flushes both mappings (MS_SYNC) when something was appended since the last flush.
void track_buffer_sync(track_buffer *tb);

// Logs the newest n records, oldest first.
void track_buffer_log_last(track_buffer *tb, int n);

// Bisection for time x over the ring (see the .cc for the exact rule). Returns 0, or -1 for a
// not-ready buffer. An empty buffer gives length - 1 for both.
int track_buffer_find(track_buffer *tb, double x, int *lower, int *upper);

// Number of stored records and the record `i` positions after the oldest (0 = oldest).
// Returns 0, or -1 when i is out of range. For tests and tools.
int track_buffer_count(track_buffer *tb);
int track_buffer_get(track_buffer *tb, int i, track_record *out);

struct JsonPrinter;
// Writes the member "ended": {"time_start", "time_end", "tracks": [...]} listing every record
// with start <= t_end <= end (seconds). The caller has an object open.
int track_buffer_print_json(track_buffer *tb, JsonPrinter *printer, double start, double end);
// The whole document {"ended": ...} as served by "tracks-ended.json".
int track_buffer_print_json_document(track_buffer *tb, JsonPrinter *printer, double start,
                                     double end);

// Tells the buffer that every track still to be appended ends at `horizon` or later.
void track_buffer_settle(track_buffer *tb, double horizon);

// Writes the report uploader's fragment ("utc_time_start", "utc_time_end", "data_struct",
// "data") into `out` (NUL-terminated, at most capacity - 1 characters) for the records with
// start < t_end <= end that end before the settled horizon, in ring order. The whole ring is
// walked, so end times out of order cannot hide a record. "utc_time_end" is the largest t_end
// of the rows written (the start when there are none), so an upload resumed after it sends no
// row twice and, all earlier records being present, skips none. Rows that do not fit are left
// out by end time: the rows kept are all those ending up to some time. Returns the number of
// characters written.
int track_buffer_rows(track_buffer *tb, char *out, size_t capacity, double start, double end);

// Flushes and unmaps both files and frees the object (null allowed).
void track_buffer_free(track_buffer *tb);
