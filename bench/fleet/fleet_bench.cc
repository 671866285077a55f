// Fleet store figures: ingest rate (visits per second, uploads of 2,000 visits in one
// transaction each, as the server stores them) up to 10^6 visits, then the latency of the
// reports over them (median of 7), on SQLite and on a throw-away PostgreSQL server.
//
//   fleet_bench [VISITS]        (default 1000000; 500 cameras)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fleet_pg.h"
#include "fleet_reports.h"
#include "fleet_store.h"

namespace {
constexpr int PER_UPLOAD = 2000;
constexpr int64_t DAY0 = 1796083200;  // 2026-12-01 00:00 UTC

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

double median_ms(const std::function<void()> &f) {
    std::vector<double> t;
    for (int i = 0; i < 7; ++i) {
        auto start = std::chrono::steady_clock::now();
        f();
        t.push_back(seconds_since(start) * 1000);
    }
    std::sort(t.begin(), t.end());
    return t[3];
}

void run(const char *engine, const std::string &uri, int64_t visits) {
    std::string error;
    auto store = fleet_store_open(uri, &error);
    if (!store) {
        printf("%s: %s\n", engine, error.c_str());
        return;
    }
    const int cameras = 500;
    const int uploads = int(visits / PER_UPLOAD);
    auto start = std::chrono::steady_clock::now();
    for (int u = 0; u < uploads; ++u) {
        FleetUpload up;
        int cam = u % cameras, round = u / cameras;
        up.serial = "CAM" + std::to_string(cam);
        up.name = "door " + std::to_string(cam);
        up.timezone = "UTC0";
        for (int k = 0; k < PER_UPLOAD; ++k) {
            int64_t end = (DAY0 + int64_t(round * PER_UPLOAD + k) * 20) * 1000000 + cam;
            up.visits.push_back({end - 9000000, end, k % 3 ? 1 : -1, (k * 7) % 90, 40, k + 1});
        }
        int64_t stored = 0;
        if (store->add_upload(up, DAY0, &stored) < 0) {
            printf("%s: %s\n", engine, store->error().c_str());
            return;
        }
    }
    double ingest = seconds_since(start);
    // A re-sent upload (all rows already there): what an outage's repeats cost.
    FleetUpload again;
    again.serial = "CAM0";
    for (int k = 0; k < PER_UPLOAD; ++k) {
        int64_t end = DAY0 * 1000000 + int64_t(k) * 20000000;
        again.visits.push_back({end - 9000000, end, k % 3 ? 1 : -1, (k * 7) % 90, 40, k + 1});
    }
    double resend = median_ms([&] {
        int64_t stored = 0;
        store->add_upload(again, DAY0, &stored);
    });
    FleetReportScope one{{"CAM7"}, "CAM7", "door 7", "UTC0"};
    FleetReportScope all{{}, "", "all cameras", "UTC0"};
    std::string body;
    double camera_day = median_ms(
        [&] { fleet_export(store.get(), EXPORT_CSV, one, "&date=20261201&res=15m", &body); });
    double camera_week = median_ms([&] {
        fleet_export(store.get(), EXPORT_CSV, one, "&date=20261201-20261207&res=1h", &body);
    });
    double fleet_day = median_ms(
        [&] { fleet_export(store.get(), EXPORT_CSV, all, "&date=20261201&res=1h", &body); });
    double fleet_week = median_ms([&] {
        fleet_export(store.get(), EXPORT_JSON, all, "&date=20261201-20261207&res=24h", &body);
    });
    FleetReportConfig rc;
    double listing =
        median_ms([&] { fleet_cameras_json(store.get(), rc, {}, DAY0 + 43200, false, &body); });
    int64_t n = 0;
    store->visit_count(&n);
    printf("| %s | %lld | %.0f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", engine,
           static_cast<long long>(n), double(uploads) * PER_UPLOAD / ingest, resend, camera_day,
           camera_week, fleet_day, fleet_week, listing);
    fflush(stdout);
}
}  // namespace

int main(int argc, char **argv) {
    int64_t visits = argc > 1 ? atoll(argv[1]) : 1000000;
    printf(
        "| engine | visits | ingest visits/s | re-sent upload ms | camera day 15m ms | "
        "camera week 1h ms | fleet day 1h ms | fleet week 24h JSON ms | cameras.json ms |\n"
        "|---|---|---|---|---|---|---|---|---|\n");
    std::string dir = std::filesystem::temp_directory_path() / "mevo-fleet-bench.db";
    std::filesystem::remove(dir);
    std::filesystem::remove(dir + "-wal");
    std::filesystem::remove(dir + "-shm");
    run("SQLite", "sqlite:" + dir, visits);
    std::filesystem::remove(dir);
    std::filesystem::remove(dir + "-wal");
    std::filesystem::remove(dir + "-shm");
    fleettest::PgInstance pg;
    if (!pg.ok()) {
        printf("PostgreSQL: %s\n", pg.why().c_str());
        return 0;
    }
    pg.create_database("bench");
    run("PostgreSQL", "postgresql:" + pg.conninfo("bench"), visits);
    return 0;
}
