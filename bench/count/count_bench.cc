// Count store and export costs: a count (with its msync of the whole mapping), a tick, a full
// 93-day CSV export at 15 minutes, and the uploader's rows for a full 20000-record ring.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "count/cntdata.h"
#include "count/exports.h"
#include "count/track_buffer.h"

namespace {

constexpr time_t NOW = 1796548020;  // 2026-12-06 10:07 Stockholm

struct Root {
    std::string path;
    Root() {
        char tmpl[] = "/tmp/mevo-count-bench-XXXXXX";
        path = mkdtemp(tmpl);
        setenv("MEVO_ROOT", path.c_str(), 1);
        setenv("TZ", "Europe/Stockholm", 1);
        tzset();
        mevo_root_reset_for_tests();
        log_set_stderr(false);
    }
    ~Root() { file_remove_tree(path); }
};

std::unique_ptr<cntdata> open_store() {
    auto c = std::make_unique<cntdata>();
    clock_set_fixed(int64_t(NOW) * 1000000);
    cntdata_extended_init(c.get(), nullptr, nullptr, nullptr);
    return c;
}

void BM_Count(benchmark::State &state) {
    Root root;
    auto c = open_store();
    for (auto _ : state) cntdata_count(c.get(), 3, NOW);
    cntdata_destroy(c.get());
}
BENCHMARK(BM_Count)->Unit(benchmark::kMicrosecond);

void BM_Tick(benchmark::State &state) {
    Root root;
    auto c = open_store();
    for (auto _ : state) cntdata_tick(c.get());
    cntdata_destroy(c.get());
}
BENCHMARK(BM_Tick)->Unit(benchmark::kMicrosecond);

// Every slot of the ring holds data, so every day of the export is full.
void BM_ExportCsv(benchmark::State &state, const char *args) {
    Root root;
    auto c = open_store();
    for (int32_t k = 0; k < c->slot_count; k++) {
        time_t t = NOW - time_t(k) * c->interval;
        int32_t *slot = c->map + ((t / c->interval) % c->slot_count) * (c->type_count + 1);
        slot[0] = int32_t(t);
        for (int32_t i = 0; i < c->type_count; i++) slot[1 + i] = (k + i) % 7;
    }
    std::vector<char> buf(93 * EXPORT_BYTES_PER_DAY);
    int length = 0;
    for (auto _ : state) {
        const char *out = export_build(EXPORT_CSV, c.get(), args, "Entrance", "ACCC8E000001",
                                       buf.data(), buf.size(), &length);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * length);
    cntdata_destroy(c.get());
}
BENCHMARK_CAPTURE(BM_ExportCsv, full_93_days, "")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExportCsv, one_day, "&date=20261205")->Unit(benchmark::kMillisecond);

void BM_TrackBufferRows(benchmark::State &state) {
    Root root;
    track_buffer *tb = track_buffer_init(TRACK_BUFFER_CAPACITY);
    for (int i = 0; i < TRACK_BUFFER_CAPACITY + 123; i++) {
        track_record r{};
        r.t_start = 1.7e9 + i;
        r.t_end = r.t_start + 3.25;
        r.gender = i % 2 ? 1 : -1;
        r.age = int8_t(i % 90);
        r.avg_boxsize = int16_t(40 + i % 60);
        r.trackid = i + 1;
        track_buffer_add(tb, &r);
    }
    std::vector<char> buf(2 << 20);
    int n = 0;
    for (auto _ : state) {
        n = track_buffer_rows(tb, buf.data(), buf.size(), 0, 2e9);
        benchmark::DoNotOptimize(n);
    }
    state.counters["bytes"] = n;
    track_buffer_free(tb);
}
BENCHMARK(BM_TrackBufferRows)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
