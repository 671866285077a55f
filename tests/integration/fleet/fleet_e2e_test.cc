// End to end: the real mevo counts the synthetic people scene in offline clock mode and
// uploads its visits to mevo-fleet; the fleet's export of that camera is the camera's own
// export, byte for byte, for the same days and resolution.
//
// The uploader waits by the data's clock, which in offline mode runs on the recording's
// (past) time while its first wait was set by the wall clock before the first frame; so the
// scene is counted in a first run and uploaded by the first pass of a second, wall-clock run
// (the pass every start makes at once).
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <omp.h>

#include <nlohmann/json.hpp>

#include "digest_get.h"
#include "fleet_fixture.h"
#include "fleet_store.h"
#include "params/param.h"
#include "run_util.h"
#include "scene_models.h"

namespace {
constexpr int kW = 640, kH = 360, kLevel = 1;
constexpr const char *kUser = "eve";
constexpr const char *kPassword = "p3ople-Pass";
// Sunday 2026-01-04 23:58:20 UTC: the people cross midnight, none near an interval boundary.
constexpr time_t kStart = 1767571100;
constexpr int kPeople = 9;

class FleetEndToEnd : public ::testing::Test {
  protected:
    testrun::Root root{"fleet-e2e"};
    fleettest::TempDir dir{"e2e"};
    std::string classifier_path = root.path + "/classifier.dat";
    std::string base;

    void SetUp() override {
        omp_set_num_threads(1);
        const SyntheticScene *scene = synthetic_scene_people();
        ASSERT_TRUE(root.lay_out());
        const std::string models = root.package() + "/modules/lbpdetect/stable/";
        ASSERT_TRUE(write(models + "face16.dat",
                          mevo_test::model_bytes(e2e::scene_cascade(scene, kW, kH, kLevel))));
        std::remove((models + "face20.dat").c_str());
        std::remove((models + "face25.dat").c_str());
        std::string classifier = e2e::scene_classifier(scene, kW, kH);
        ASSERT_FALSE(classifier.empty());
        ASSERT_TRUE(write(classifier_path, classifier));
        ASSERT_EQ(root.add_admin(kUser, kPassword).status, 0);
        testrun::Child first = run(root.path + "/first.log", true);
        ASSERT_TRUE(first.wait_for(120));
        ASSERT_TRUE(first.exited_with(0)) << testrun::read_file(root.path + "/first.log");
    }

    static bool write(const std::string &path, const std::string &bytes) {
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f) return false;
        bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return std::fclose(f) == 0 && ok;
    }

    void configure(const std::string &url) {
        for (auto [name, value] : std::vector<std::pair<std::string, std::string>>{
                 {"root.Image.I0.Appearance.Resolution", "640x360"},
                 {"mevo.Camera0Width", "640"},
                 {"mevo.Camera0Height", "360"},
                 {"mevo.Detector0MinRect", "30"},
                 // The fleet reads the camera's days in the zone the camera reports.
                 {"root.Time.POSIXTimeZone", "UTC0"},
                 {"mevo.WebReportUpload0Enabled", "1"},
                 {"mevo.WebReportUpload0Url", url},
                 {"mevo.WebReportUpload0User", fleettest::UPLOAD_USER},
             }) {
            SpawnOptions so;
            so.capture_output = true;
            so.merge_stderr = true;
            so.env = {"MEVO_ROOT=" + root.path};
            SpawnResult set =
                spawn_run({root.path + "/usr/bin/setupctl", "--nosync", "set", name, value}, so);
            ASSERT_EQ(set.status, 0) << name << ": " << set.output;
        }
        // The password is a secret: it lives in the package's secrets file, not the store.
        const std::string secrets = root.package() + "/localdata/params.meta";
        ov_secret_store *store = ov_secret_store_new();
        ov_secret_store_load(store, secrets.c_str());
        ov_secret_store_set(store, "WebReportUpload.Pass", fleettest::UPLOAD_PASS);
        ASSERT_EQ(ov_secret_store_save(store, secrets.c_str()), 0);
        ov_secret_store_free(store);
    }

    testrun::Child run(const std::string &log, bool offline) {
        std::remove((root.path + "/tmp/mevo-http.addr").c_str());  // the previous run's
        std::vector<std::string> env = {
            "MEVO_ROOT=" + root.path,
            "MEVO_HTTP=127.0.0.1:0",
            "MEVO_SOURCE=synthetic:people",
            "MEVO_CLASSIFIER_FILE=" + classifier_path,
            "TZ=UTC",
            "OMP_NUM_THREADS=1",
        };
        if (offline) {
            env.push_back("MEVO_CLOCK=source");
            env.push_back("MEVO_SOURCE_START=" + std::to_string(kStart));
        }
        return testrun::Child({root.package() + "/mevo"}, env, log, root.package());
    }

    bool connect(testrun::Child &mevo, const std::string &log) {
        std::string addr;
        for (int i = 0; i < 1200 && addr.empty(); ++i) {
            addr = testrun::read_file(root.path + "/tmp/mevo-http.addr");
            while (!addr.empty() && (addr.back() == '\n' || addr.back() == '\r')) addr.pop_back();
            if (addr.empty() && mevo.wait_for(0.1)) return false;
        }
        base = "http://" + addr;
        return !addr.empty() && testrun::wait_for_text(log, "Before main loop", 60);
    }

    testrun::Response camera(const std::string &api) {
        return testrun::digest_get(base + "/local/mevo/apiadmin?" + api, kUser, kPassword);
    }
};

TEST_F(FleetEndToEnd, TheFleetsExportOfACameraIsTheCamerasOwn) {
    const std::string db = dir.path + "/fleet.db";
    fleettest::FleetProcess fleet(dir.path, "sqlite:" + db);
    ASSERT_TRUE(fleet.start()) << fleet.log();
    configure(fleet.url());

    // Counting: until the camera lists every person's ended track.
    const std::string log1 = root.path + "/count.log";
    testrun::Child counting = run(log1, true);
    ASSERT_TRUE(connect(counting, log1)) << testrun::read_file(log1);
    size_t ended = 0;
    std::string listing;
    for (int i = 0; i < 1200 && ended < size_t(kPeople); ++i) {
        listing = camera("tracks-ended.json&time=86400").body;
        auto doc = nlohmann::json::parse(listing, nullptr, false);
        if (doc.is_object()) ended = doc["ended"]["tracks"].size();
        if (ended < size_t(kPeople)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(ended, size_t(kPeople)) << listing;
    kill(counting.pid, SIGTERM);
    ASSERT_TRUE(counting.wait_for(120));

    // Uploading: the next start's first pass sends everything after the fleet's last time.
    const std::string log2 = root.path + "/upload.log";
    testrun::Child uploading = run(log2, false);
    ASSERT_TRUE(connect(uploading, log2)) << testrun::read_file(log2);
    std::string error;
    auto store = fleet_store_open("sqlite:" + db, &error);
    ASSERT_TRUE(store) << error;
    int64_t stored = 0;
    for (int i = 0; i < 600 && stored < kPeople; ++i) {
        ASSERT_EQ(store->visit_count(&stored), 0);
        if (stored < kPeople) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(stored, kPeople) << testrun::read_file(log2) << fleet.log();
    std::vector<FleetCamera> cameras;
    ASSERT_EQ(store->cameras(&cameras), 0);
    ASSERT_EQ(cameras.size(), 1u);

    for (const char *res : {"15m", "1h", "24h"}) {
        SCOPED_TRACE(res);
        const std::string args = std::string("&date=20260104,20260105&res=") + res;
        testrun::Response own = camera("export-csv" + args);
        testrun::Response fleet_csv = testrun::digest_get(
            fleet.url() + "/fleet/api/export-csv?camera=" + cameras[0].serial + args,
            fleettest::REPORT_USER, fleettest::REPORT_PASS);
        ASSERT_EQ(own.status, 200);
        ASSERT_EQ(fleet_csv.status, 200);
        EXPECT_EQ(fleet_csv.body, own.body);
        // Both days hold people: the comparison is not one of empty tables.
        int people = 0;
        std::stringstream rows(own.body);
        std::string row;
        std::getline(rows, row);
        while (std::getline(rows, row)) {
            std::vector<std::string> cells;
            std::stringstream cs(row);
            for (std::string cell; std::getline(cs, cell, ',');) cells.push_back(cell);
            ASSERT_GE(cells.size(), 6u) << row;
            people += std::stoi(cells[4]) + std::stoi(cells[5]);
        }
        EXPECT_EQ(people, kPeople);
    }
    kill(uploading.pid, SIGTERM);
    EXPECT_TRUE(uploading.wait_for(120));
    EXPECT_TRUE(fleet.stop(SIGTERM)) << fleet.log();
}

}  // namespace
