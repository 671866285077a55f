// mevo-fleet against the uploader's own code: the protocol as mevo speaks it, the reports in
// the camera's export formats, and fifty cameras uploading at once through server outages
// and re-sends, on SQLite and on PostgreSQL.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "app/frame_pipeline.h"
#include "common/paths.h"
#include "digest_get.h"
#include "fleet_fixture.h"
#include "fleet_pg.h"
#include "fleet_store.h"

namespace {
using fleettest::FleetProcess;
using fleettest::SimCamera;
using fleettest::TempDir;

constexpr time_t DAY0 = 1796083200;  // 2026-12-01 00:00:00 UTC

track_record visit(double t_end, int gender, int age, int trackid) {
    track_record r = {};
    r.t_start = t_end - 12.5;
    r.t_end = t_end;
    r.gender = int8_t(gender);
    r.age = int8_t(age);
    r.avg_boxsize = 44;
    r.trackid = trackid;
    return r;
}

// The uploader's POST client keeps its request line under the root's tmp/.
void use_root(const std::string &dir) {
    setenv("MEVO_ROOT", dir.c_str(), 1);
    mevo_root_reset_for_tests();
}

testrun::Response report(const FleetProcess &f, const std::string &what) {
    return testrun::digest_get(f.url() + "/fleet/api/" + what, fleettest::REPORT_USER,
                               fleettest::REPORT_PASS);
}

class FleetSqlite : public ::testing::Test {
  protected:
    TempDir dir{"proto"};
    FleetProcess fleet{dir.path, "sqlite:" + dir.path + "/fleet.db"};
    void SetUp() override {
        use_root(dir.path);
        fleet.options = {"--group.front", "CAM-A,CAM-B"};
        ASSERT_TRUE(fleet.start()) << fleet.log();
    }
};

TEST_F(FleetSqlite, AnswersTheUploaderAsMevoSpeaksIt) {
    // The version query carries no account, and the server's version lets mevo upload.
    std::string reply;
    datamanager_post("&name=&pass=&url=" + fleet.url() + "/api/?method=version.get", 20, &reply);
    int major = 0, minor = 0;
    ASSERT_TRUE(webreport_parse_version(reply, &major, &minor)) << reply;
    EXPECT_TRUE(major >= 4 || (major == 3 && minor >= 1));

    SimCamera cam(dir.path, "CAM-A", fleet.url());
    ASSERT_TRUE(cam.ready());
    WebReportSources none;
    // Settings are asked for until they are stored.
    std::string flag;
    auto settings_flag = [&] {
        datamanager_post(webreport_enciphered_args(cam.config(), "demographics.getSettingsFlag",
                                                   webreport_identity(cam.config())),
                         20, &flag);
        return flag;
    };
    EXPECT_EQ(settings_flag(), "1");
    datamanager_post(webreport_enciphered_args(
                         cam.config(), "demographics.settings",
                         webreport_identity(cam.config()) + "##{\"Counter\":{\"Name\":\"door\"}}"),
                     10, &reply);
    EXPECT_EQ(reply, "ok");
    EXPECT_EQ(settings_flag(), "0");

    double last = -1;
    ASSERT_TRUE(cam.last_saved(&last));
    EXPECT_EQ(last, 0.0);
    cam.add(visit(DAY0 + 8 * 3600 + 600.25, 1, 30, 1));
    cam.add(visit(DAY0 + 8 * 3600 + 1200.5, -1, 20, 2));
    cam.add(visit(DAY0 + 9 * 3600 + 300.125, 1, 70, 3));
    const double now = DAY0 + 10 * 3600;
    EXPECT_EQ(cam.upload(0, now), "ok 3 of 3 stored");
    ASSERT_TRUE(cam.last_saved(&last));
    EXPECT_DOUBLE_EQ(last, DAY0 + 9 * 3600 + 300.125);  // the newest stored visit end
    // A re-sent window is a no-op; so is an empty one (the old uploader sends start = end =
    // since, the new one the window's start), and the last saved time stays.
    EXPECT_EQ(cam.upload(0, now), "ok 0 of 3 stored");
    EXPECT_EQ(cam.upload(last, now), "ok 0 of 0 stored");
    ASSERT_TRUE(cam.last_saved(&last));
    EXPECT_DOUBLE_EQ(last, DAY0 + 9 * 3600 + 300.125);
    cam.add(visit(DAY0 + 9 * 3600 + 900, -1, 80, 4));
    EXPECT_TRUE(cam.pass(now));
    ASSERT_TRUE(cam.last_saved(&last));
    EXPECT_DOUBLE_EQ(last, DAY0 + 9 * 3600 + 900);

    // Refused: an unknown account or a wrong password, and a body that is no payload. mevo's
    // client reports an HTTP error as "Open failed!", which never counts as success.
    SimCamera intruder(dir.path, "CAM-X", fleet.url());
    intruder.config().pass = "guess";
    intruder.add(visit(DAY0 + 3600, 1, 30, 1));
    EXPECT_EQ(intruder.upload(0, now), "Open failed!");
    EXPECT_FALSE(intruder.last_saved(&last));
    datamanager_post("&name=&pass=&cmethod=POST&data=not*base64&url=" + fleet.url() +
                         "/api/?method=demographics.add&encrypted=true",
                     20, &reply);
    EXPECT_EQ(reply, "Open failed!");
    testrun::Response cams = report(fleet, "cameras.json");
    ASSERT_EQ(cams.status, 200);
    auto list = nlohmann::json::parse(cams.body)["cameras"];
    ASSERT_EQ(list.size(), 1u) << cams.body;
    EXPECT_EQ(list[0]["serial"], "CAM-A");
    EXPECT_EQ(list[0]["name"], "door CAM-A");
    EXPECT_EQ(list[0]["group"], "front");
    EXPECT_TRUE(list[0]["settings"].get<bool>());
    EXPECT_NEAR(list[0]["last_saved"].get<double>(), DAY0 + 9 * 3600 + 900, 1e-6);
    EXPECT_TRUE(fleet.stop(SIGTERM)) << fleet.log();
}

// Expected export texts are built from the camera's column names.
std::string csv_header() {
    std::string h =
        "Interval start,Interval stop,Camera serial number,Counter name,Men tot,"
        "Women tot";
    for (const char *who : {"Men", "Women"}) {
        h += std::string(",") + who + " age 0-14";
        for (int k = 0; k < 6; ++k)
            h += std::string(",") + who + " age " + std::to_string(15 + 10 * k) + "-" +
                 std::to_string(24 + 10 * k);
        h += std::string(",") + who + " age 75-";
    }
    return h + "\n";
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);) out.push_back(line);
    return out;
}

TEST_F(FleetSqlite, ReportsInTheCameraFormatsForACameraAGroupAndAll) {
    SimCamera a(dir.path, "CAM-A", fleet.url()), b(dir.path, "CAM-B", fleet.url()),
        c(dir.path, "CAM-C", fleet.url());
    a.add(visit(DAY0 + 8 * 3600 + 600, 1, 30, 1));    // 08:10 man 25-34
    a.add(visit(DAY0 + 8 * 3600 + 1200, -1, 20, 2));  // 08:20 woman 15-24
    a.add(visit(DAY0 + 9 * 3600 + 300, 1, 70, 3));    // 09:05 man 65-74
    b.add(visit(DAY0 + 8 * 3600 + 2400, -1, 80, 1));  // 08:40 woman 75-
    c.add(visit(DAY0 + 23 * 3600 + 3000, 1, 10, 1));  // 23:50 man 0-14, not in the group
    for (SimCamera *cam : {&a, &b, &c}) ASSERT_TRUE(cam->pass(DAY0 + 86400));

    testrun::Response r = report(fleet, "export-csv?camera=CAM-A&date=20261201&res=1h");
    ASSERT_EQ(r.status, 200) << r.body;
    std::vector<std::string> rows = lines(r.body);
    ASSERT_EQ(rows.size(), 25u) << r.body;
    EXPECT_EQ(rows[0] + "\n", csv_header());
    const std::string zeros16 = ",0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";
    EXPECT_EQ(rows[1], "2026-12-01 00:00:00,2026-12-01 01:00:00,CAM-A,door CAM-A,0,0" + zeros16);
    EXPECT_EQ(rows[9],
              "2026-12-01 08:00:00,2026-12-01 09:00:00,CAM-A,door CAM-A,1,1,"
              "0,0,1,0,0,0,0,0,0,1,0,0,0,0,0,0");
    EXPECT_EQ(rows[10],
              "2026-12-01 09:00:00,2026-12-01 10:00:00,CAM-A,door CAM-A,1,0,"
              "0,0,0,0,0,0,1,0,0,0,0,0,0,0,0,0");
    // The camera's own time zone by default; another one on request.
    r = report(fleet, "export-csv?camera=CAM-A&date=20261201&res=1h&tz=CET-1");
    ASSERT_EQ(r.status, 200);
    rows = lines(r.body);
    ASSERT_EQ(rows.size(), 25u);
    EXPECT_EQ(rows[10].substr(0, 61),
              "2026-12-01 09:00:00,2026-12-01 10:00:00,CAM-A,door CAM-A,1,1,");

    // A group and the whole fleet, one row a day.
    r = report(fleet, "export-csv?group=front&date=20261201&res=24h");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body, csv_header() +
                          "2026-12-01 00:00:00,2026-12-02 00:00:00,,front,2,2,"
                          "0,0,1,0,0,0,1,0,0,1,0,0,0,0,0,1\n");
    r = report(fleet, "export-json?date=20261201&res=24h&callback=cb");
    ASSERT_EQ(r.status, 200);
    ASSERT_EQ(r.body.substr(0, 3), "cb(");
    auto json = nlohmann::json::parse(r.body.substr(3, r.body.size() - 5), nullptr, false);
    ASSERT_TRUE(json.is_object()) << r.body;
    EXPECT_EQ(json["counter"]["name"], "all cameras");
    EXPECT_EQ(json["counter"]["delta"], 86400);
    EXPECT_EQ(json["counter"]["types"]["women75-"], 317);
    EXPECT_EQ(json["data"]["20261202000000"],
              nlohmann::json({3, 2, 1, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1}));

    // The camera's argument errors, and what is not there.
    struct Case {
        const char *query;
        long status;
        const char *body;
    } cases[] = {
        {"export-csv?camera=CAM-A&date=someday", 400, "illegal argument"},
        {"export-csv?camera=CAM-A&date=20261201&res=1x", 400, "illegal argument"},
        {"export-csv?date=all&res=300", 400, "Too much data chosen."},
        {"export-csv?camera=NOPE", 404, "unknown camera"},
        {"export-json?group=nope", 404, "unknown group"},
        {"export-csv?camera=CAM-A&date=20261205-20261201", 200, ""},
    };
    for (const Case &k : cases) {
        r = report(fleet, k.query);
        EXPECT_EQ(r.status, k.status) << k.query;
        EXPECT_EQ(r.body, k.body) << k.query;
    }
    testrun::Response anonymous = testrun::digest_get(fleet.url() + "/fleet/api/cameras.json",
                                                      fleettest::REPORT_USER, "wrong");
    EXPECT_EQ(anonymous.status, 401);
    // Cameras that have not uploaded for a day: none yet; all of them when a day is 0 hours.
    r = report(fleet, "stale.json");
    ASSERT_EQ(r.status, 200);
    EXPECT_TRUE(nlohmann::json::parse(r.body)["cameras"].empty()) << r.body;
    r = report(fleet, "stale.json?hours=0");
    EXPECT_EQ(nlohmann::json::parse(r.body)["cameras"].size(), 3u) << r.body;
    r = testrun::digest_get(fleet.url() + "/fleet/", fleettest::REPORT_USER,
                            fleettest::REPORT_PASS);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<html"), std::string::npos);
}

// ---- fifty cameras ----

constexpr int CAMERAS = 50;
constexpr int VISITS = 2000;

// Visit k of camera c: ends every 15 s or so from 06:00, any gender and age.
track_record sim_visit(int c, int k) {
    double t_end = DAY0 + 6 * 3600 + k * 15.0 + c * 0.013 + (k % 7) * 0.000123;
    return visit(t_end, (k * 31 + c) % 3 == 0 ? -1 : 1, (k * 7 + c * 3) % 95, k + 1);
}

struct Outcome {
    std::atomic<int> passes{0}, failures{0}, resends{0};
};

// The camera's loop: visits end in bursts; after each burst a pass, now and then from an
// earlier start (a camera that lost what the server told it), until the server holds all.
void run_camera(SimCamera *cam, int c, Outcome *out) {
    std::mt19937 rng(unsigned(c) * 7919u + 1u);
    int added = 0;
    bool resent = false;
    const double final_end = sim_visit(c, VISITS - 1).t_end;
    for (int round = 0; round < 100000; ++round) {
        int burst = std::uniform_int_distribution<int>(50, 400)(rng);
        for (; burst > 0 && added < VISITS; --burst) cam->add(sim_visit(c, added++));
        const double now = sim_visit(c, added - 1).t_end + 1;
        double since = 0;
        bool ok = cam->last_saved(&since);
        if (ok && since >= final_end - 1e-3 && added == VISITS && resent) return;
        if (ok) {
            int dice = std::uniform_int_distribution<int>(0, 99)(rng);
            if (dice < 5)
                since = 0;
            else if (dice < 25)
                since = std::max(0.0, since - std::uniform_real_distribution<double>(1, 4000)(rng));
            // Every camera sends all of its visits once more when it has sent the last.
            if (added == VISITS && !resent) since = 0;
            if (dice < 25 || (added == VISITS && !resent)) out->resends++;
            ok = cam->upload(since, now).compare(0, 2, "ok") == 0;
            if (ok && added == VISITS) resent = true;
        }
        (ok ? out->passes : out->failures)++;
        if (!ok)
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 120)(rng)));
    }
}

void fifty_cameras(const std::string &database, const std::string &dir_path) {
    use_root(dir_path);
    FleetProcess fleet(dir_path, database);
    ASSERT_TRUE(fleet.start()) << fleet.log();
    std::vector<std::unique_ptr<SimCamera>> cams;
    for (int c = 0; c < CAMERAS; ++c) {
        char serial[16];
        snprintf(serial, sizeof serial, "SIM%03d", c);
        cams.push_back(std::make_unique<SimCamera>(dir_path, serial, fleet.url()));
        ASSERT_TRUE(cams.back()->ready());
    }
    Outcome outcome;
    std::atomic<int> running{CAMERAS};
    std::vector<std::thread> threads;
    for (int c = 0; c < CAMERAS; ++c)
        threads.emplace_back([&, c] {
            run_camera(cams[size_t(c)].get(), c, &outcome);
            running--;
        });
    // Outages: the server is killed mid-request and comes back on the same port.
    int outages = 0;
    std::mt19937 rng(42);
    while (running > 0) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(300, 700)(rng)));
        if (running == 0 || outages >= 4) continue;
        fleet.stop(SIGKILL);
        outages++;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ASSERT_TRUE(fleet.start()) << fleet.log();
    }
    for (auto &t : threads) t.join();
    EXPECT_GT(outages, 0);
    EXPECT_GT(outcome.failures.load(), 0);
    EXPECT_GT(outcome.resends.load(), CAMERAS);
    EXPECT_TRUE(fleet.stop(SIGTERM)) << fleet.log();

    // Every visit once, with its gender and band, and each camera's newest end as last saved.
    std::string error;
    auto store = fleet_store_open(database, &error);
    ASSERT_TRUE(store) << error;
    int64_t total = 0;
    ASSERT_EQ(store->visit_count(&total), 0);
    EXPECT_EQ(total, int64_t(CAMERAS) * VISITS);
    std::vector<FleetCamera> listed;
    ASSERT_EQ(store->cameras(&listed), 0);
    ASSERT_EQ(listed.size(), size_t(CAMERAS));
    std::map<std::pair<int, int>, int64_t> sent, stored;
    for (int c = 0; c < CAMERAS; ++c) {
        EXPECT_EQ(listed[size_t(c)].last_end_us, std::llround(sim_visit(c, VISITS - 1).t_end * 1e6))
            << listed[size_t(c)].serial;
        for (int k = 0; k < VISITS; ++k) {
            track_record r = sim_visit(c, k);
            sent[{r.gender, age_band(r.age)}]++;
        }
    }
    std::vector<FleetSlotCount> counts;
    ASSERT_EQ(store->slot_counts({}, DAY0, DAY0 + 86400, 86400, &counts), 0);
    for (const FleetSlotCount &k : counts) stored[{k.gender, k.band}] += k.count;
    EXPECT_EQ(stored, sent);
}

TEST(FleetLoad, FiftyCamerasThroughOutagesAndResendsStoreEveryVisitOnceOnSqlite) {
    TempDir dir("load");
    fifty_cameras("sqlite:" + dir.path + "/fleet.db", dir.path);
}

TEST(FleetLoad, FiftyCamerasThroughOutagesAndResendsStoreEveryVisitOnceOnPostgresql) {
    fleettest::PgInstance pg;
    if (!pg.ok()) GTEST_SKIP() << "PostgreSQL leg skipped: " << pg.why();
    ASSERT_TRUE(pg.create_database("fleet"));
    TempDir dir("load-pg");
    fifty_cameras("postgresql:" + pg.conninfo("fleet"), dir.path);
}

}  // namespace
