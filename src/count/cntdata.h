// Count data store: per-interval counters of the last 93 days in a memory-mapped ring file
// (working copy under /tmp, mirrored slot by slot to a flash copy), the daily running totals,
// and the local-day helpers used by the reports and exports.
//
// Files (host byte order, fixed size, no header):
//   count file   slot_count slots of (type_count + 1) int32: slot time (UTC s), then one count
//                per type. Slot of time t = (t / interval) mod slot_count.
//   totals file  int32 header (noon of the newest completed day, -1 = empty), then day_count
//                records of (int32 noon time, int32 running total).
//
// Threads: cntdata_count, cntdata_tick and cntdata_destroy run on the main thread; the clear
// runs on the HTTP thread with `lock` held by the caller. Count and tick take `lock` themselves
// (the tick too, so a clear that remaps the file never runs under it). Readers (reports,
// exports) read `map` and `today` without the lock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

inline constexpr int32_t CNTDATA_SLOTS = 8928;  // 93 days x 96 intervals
inline constexpr int32_t CNTDATA_INTERVAL = 900;
inline constexpr int32_t CNTDATA_TYPES = 18;
inline constexpr int32_t CNTDATA_TYPE_ID_BASE = 300;
inline constexpr int32_t CNTDATA_DAY = 86400;

inline constexpr const char *CNTDATA_TMP_PATH = "/tmp/count.buf";
inline constexpr const char *CNTDATA_SYNC_PATH = "/usr/local/packages/mevo/localdata/count.buf";
inline constexpr const char *CNTDATA_TOTALS_TMP_PATH = "/tmp/totals.buf";
inline constexpr const char *CNTDATA_TOTALS_SYNC_PATH =
    "/usr/local/packages/mevo/localdata/totals.buf";

// Log tags of the three parts of the store.
inline constexpr const char *CNTDATA_SYNC_TAG = "modules/platforms/VekaKorvex6/cntdata_sync";
inline constexpr const char *CNTDATA_TOTALS_TAG =
    "modules/platforms/VekaKorvex6/cntdata_totals_sync";
inline constexpr const char *CNTDATA_TAG = "modules/platforms/cntdata";

struct cntdata_totals {
    std::mutex lock;  // guards each day record read or write
    int32_t day_count = 0;
    int32_t record_size = 8;
    int32_t file_length = 0;  // day_count * 8 + 4
    int32_t *header = nullptr;
    int32_t *days = nullptr;  // day_count pairs (noon time, running total)
    void *map = nullptr;
    std::string tmp_path;   // working copy
    std::string sync_path;  // flash copy
};

struct cntdata {
    int32_t slot_count = 0;
    int32_t interval = 0;
    std::string tmp_path;   // working file
    std::string sync_path;  // flash file
    int32_t type_count = 0;
    int32_t *ntypes = nullptr;              // type identifier per type index (owned)
    const char **typedesc = nullptr;        // owned array of borrowed strings (entries may be null)
    const char **typedesc_short = nullptr;  // likewise
    int32_t today_end = 0;                  // start of the next local day
    int32_t *today = nullptr;               // counts of the current local day per type (owned)
    int32_t *map = nullptr;                 // shared mapping of the working file
    int32_t slot_size = 0;                  // bytes per slot
    int32_t file_size = 0;                  // bytes of each count file
    int32_t last_synced = 0;                // newest slot already written to the flash file
    std::mutex lock;                        // serialises count, tick and clear
    cntdata_totals *totals = nullptr;       // not owned
};

// ---- local-day helpers (process time zone) ----
time_t cntdata_day_start(time_t t);            // local midnight of t's date
time_t cntdata_day_shift(time_t t, int days);  // same local time, `days` calendar days later
time_t cntdata_day_end(time_t t);              // start of the next local day

// ---- store ----

// Builds the store, prepares both files, maps the working file, synchronises once, computes
// `today` and (when `totals` is given) initialises and synchronises the totals. `ids`, the
// description tables and the paths are copied; the description strings are borrowed and must
// outlive the store (a null table gives null entries). On any failure it prints the reason
// and exits the process with status 1 (the host starts it again).
void cntdata_init(cntdata *c, int32_t slot_count, int32_t interval, int32_t type_count,
                  const int32_t *ids, const char *const *typedesc,
                  const char *const *typedesc_short, cntdata_totals *totals, const char *tmp_path,
                  const char *sync_path);

// The same, returning -1 instead of exiting (tests and the clear).
int cntdata_open(cntdata *c, int32_t slot_count, int32_t interval, int32_t type_count,
                 const int32_t *ids, const char *const *typedesc, const char *const *typedesc_short,
                 cntdata_totals *totals, const char *tmp_path, const char *sync_path);

// The application's entry: 8928 slots of 900 s, 18 types with identifiers 300..317, the fixed
// count file paths under the root (mevo_path). Logs around the call.
void cntdata_extended_init(cntdata *c, const char *const *typedesc,
                           const char *const *typedesc_short, cntdata_totals *totals);

// Counts one person of type index `type` at `now` (UTC s). Main thread.
void cntdata_count(cntdata *c, int type, time_t now);

// Counts one person into several types at once (their gender total and age band), written
// together and flushed once. Nothing is counted when a type is out of range. Main thread.
void cntdata_count_types(cntdata *c, const int *types, int n, time_t now);

// Stamps the running interval, synchronises and refreshes `today` at a day change.
void cntdata_tick(cntdata *c);

// Sums of all valid slots of the local day containing t, per type (out has type_count
// entries). 23- and 25-hour days are summed over their real length.
void cntdata_day_sum(const cntdata *c, time_t t, int32_t *out);

// The slot for time t when it holds data for t (|slot time - t| <= interval), else null.
// Entry 0 is the slot time, entries 1..type_count the counts.
const int32_t *cntdata_slot_for(const cntdata *c, time_t t);

// The smallest positive slot time of the ring, or 0 when no slot was ever written.
time_t cntdata_oldest_slot_time(const cntdata *c);

// Flushes the mapping and copies every completed interval not yet on flash. Returns 0, or -1
// when the flash file could not be written (retried by the next call).
int cntdata_sync(cntdata *c);

// date 0: clears everything (both copies rebuilt all zero). Otherwise clears the local day that
// contains `date` in the working copy and on flash. The caller holds c->lock. Returns 0 or -1.
int cntdata_clear(cntdata *c, time_t date);

// Flushes and unmaps the store and the totals mapping; frees the owned arrays.
void cntdata_destroy(cntdata *c);

// ---- daily running totals ----

// A totals object using the given working and flash paths (copied). Returns null when out of
// memory. cntdata_totals_defaults() uses the fixed paths under the root.
cntdata_totals *cntdata_totals_new(const char *tmp_path, const char *sync_path);
cntdata_totals *cntdata_totals_defaults(void);
void cntdata_totals_free(cntdata_totals *t);

// Prepares and maps the totals files for `day_count` days. Returns 0 or -1.
int cntdata_totals_init(cntdata_totals *t, int32_t day_count);

// Brings the running totals forward to today and writes them to flash. Returns 0 or -1.
int cntdata_totals_sync(cntdata_totals *t, const cntdata *c);

// Flushes and unmaps the totals mapping (the files stay).
void cntdata_totals_close(cntdata_totals *t);
