// setupctl and the parameter layer work on one store, at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/fileutil.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "param_fixture.h"
#include "params/param_internal.h"
#include "platform/param/vk_parameter.h"

namespace {

class SetupctlStore : public ParamRoot {
  protected:
    void SetUp() override {
        ParamRoot::SetUp();
        ASSERT_EQ(ov_param_init(nullptr), 0);
        ov_param_changed();
    }

    SpawnResult setupctl(std::vector<std::string> args) {
        args.insert(args.begin(), MEVO_SETUPCTL_PATH);
        SpawnOptions opts;
        opts.env.push_back("MEVO_ROOT=" + root_);
        opts.capture_output = true;
        return spawn_run(args, opts);
    }
};

TEST_F(SetupctlStore, GetgroupDumpsWhatTheLayerStores) {
    ASSERT_EQ(ov_param_set_ex("Counter.Name", "Shop \"A\" = 1", 0), OV_PARAM_OK);
    SpawnResult r = setupctl({"--nocgi", "getgroup", "root.mevo"});
    ASSERT_EQ(r.status, 0);
    std::vector<std::pair<std::string, std::string>> stored;
    ASSERT_TRUE(ov_param_list_group(stored));
    std::ostringstream want;
    for (const auto &[name, value] : stored) want << name << "=\"" << value << "\"\n";
    EXPECT_EQ(r.output, want.str());
    EXPECT_NE(r.output.find("root.mevo.Counter0Name=\"Shop \"A\" = 1\"\n"), std::string::npos);
    EXPECT_EQ(r.output.find("Pass"), std::string::npos) << "secrets stay out of the service";

    EXPECT_EQ(setupctl({"getgroup", "mevo"}).output, r.output);
    EXPECT_EQ(setupctl({"getgroup", "root.NoSuchGroup"}).status, 1);
    SpawnResult t = setupctl({"getgroup", "root.Time"});
    EXPECT_NE(t.output.find("root.Time.POSIXTimeZone="), std::string::npos);
}

TEST_F(SetupctlStore, SyncedWritesOfAnotherProcessMarkAChange) {
    ASSERT_EQ(setupctl({"--nosync", "set", "root.mevo.Detector0MinRect", "41"}).status, 0);
    EXPECT_STREQ(ov_param_get("Detector.MinRect"), "41");
    EXPECT_EQ(ov_param_changed(), 0) << "a write without sync is seen but is no change";

    ASSERT_EQ(setupctl({"sync"}).status, 0);
    EXPECT_EQ(ov_param_changed(), 1);
    EXPECT_EQ(ov_param_changed(), 0);

    ASSERT_EQ(setupctl({"set", "mevo.Counter0Name", "From shell"}).status, 0);
    EXPECT_STREQ(ov_param_get("Counter.Name"), "From shell");
    EXPECT_EQ(ov_param_changed(), 1);

    SpawnResult g = setupctl({"get", "root.mevo.Counter0Name"});
    EXPECT_EQ(g.output, "From shell\n");
    EXPECT_EQ(setupctl({"set", "root.Brand.NoSuch", "1"}).status, 1);
    EXPECT_EQ(setupctl({"frobnicate"}).status, 1);
}

TEST_F(SetupctlStore, SetparamsFileRestoresADump) {
    ASSERT_EQ(ov_param_set_ex("Counter.Name", "Original \"quoted\"", 0), OV_PARAM_OK);
    ASSERT_EQ(ov_param_set_ex("Schedule.Holidays", "12-24-2026,12-25-2026;", 0), OV_PARAM_OK);
    SpawnResult dump = setupctl({"getgroup", "root.mevo"});
    ASSERT_EQ(dump.status, 0);
    std::string file = root_ + "/parambackup.txt";
    ASSERT_EQ(file_write_atomic(file, dump.output.data(), dump.output.size()), 0);

    ASSERT_EQ(ov_param_set_ex("Counter.Name", "Changed", 0), OV_PARAM_OK);
    ASSERT_EQ(ov_param_set_ex("Schedule.Holidays", "", 0), OV_PARAM_OK);
    ASSERT_EQ(setupctl({"--nosync", "setparams", file}).status, 0);
    EXPECT_STREQ(ov_param_get("Counter.Name"), "Original \"quoted\"");
    EXPECT_STREQ(ov_param_get("Schedule.Holidays"), "12-24-2026,12-25-2026;");
    EXPECT_EQ(ov_param_changed(), 0);
    ASSERT_EQ(setupctl({"setparams", file}).status, 0);
    EXPECT_EQ(ov_param_changed(), 1);
}

TEST_F(SetupctlStore, ToolAndApplicationWriteAtTheSameTime) {
    constexpr int kRounds = 40;
    std::atomic<int> failures{0};
    std::thread app([&] {
        for (int i = 0; i < kRounds; ++i)
            if (ov_param_set_ex("Detector.ClusterScore", std::to_string(i).c_str(), 0) ==
                OV_PARAM_FAILED)
                ++failures;
    });
    for (int i = 0; i < 10; ++i)
        if (setupctl({"--nosync", "set", "root.mevo.Liveview0Width", std::to_string(600 + i)})
                .status != 0)
            ++failures;
    app.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_STREQ(ov_param_get("Liveview.Width"), "609");
    EXPECT_STREQ(ov_param_get("Detector.ClusterScore"), std::to_string(kRounds - 1).c_str());
}

// A restore file is applied whole or not at all; camera parameters this camera lacks are
// skipped with one line each.
TEST_F(SetupctlStore, SetparamsIsAllOrNothingAndSkipsUnknownCameraParameters) {
    std::string file = root_ + "/restore.txt";
    std::string good = "root.mevo.Counter0Name=\"restored\"\nroot.Other.Model.Knob=\"7\"\n";
    ASSERT_EQ(file_write_atomic(file, good.data(), good.size()), 0);
    SpawnResult r = setupctl({"--nosync", "setparams", file});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("skipped root.Other.Model.Knob"), std::string::npos) << r.output;
    EXPECT_STREQ(ov_param_get("Counter.Name"), "restored");
    std::string bad = "root.mevo.Counter0Name=\"half\"\nnot a parameter line\n";
    ASSERT_EQ(file_write_atomic(file, bad.data(), bad.size()), 0);
    EXPECT_NE(setupctl({"--nosync", "setparams", file}).status, 0);
    EXPECT_STREQ(ov_param_get("Counter.Name"), "restored");
}

// A database that is not one is kept aside and rebuilt from the defaults, with a status
// message, and the layer then works.
class DamagedStore : public ParamRoot {};

TEST_F(DamagedStore, IsKeptAsideAndRebuiltOnce) {
    struct Case {
        const char *what;
        std::string content;
    } cases[] = {
        {"random bytes", std::string(8192, '\x5a')},
        {"cut short", "SQLite format 3" + std::string(1, '\0') + std::string(200, '\x01')},
        {"empty", ""},
    };
    for (const Case &c : cases) {
        TearDown();
        SetUp();
        ASSERT_EQ(file_mkdir_p(mevo_path("/etc")), 0);
        ASSERT_EQ(file_write_atomic(vk_parameter_db_path(), c.content.data(), c.content.size()), 0);
        EXPECT_EQ(ov_param_init(nullptr), 0) << c.what;
        EXPECT_STREQ(ov_param_get("Counter.Enabled"), "1") << c.what;
        EXPECT_EQ(ov_param_set_ex("Counter.Name", "after", 0), OV_PARAM_OK) << c.what;
        bool kept = false;
        for (const auto &e : std::filesystem::directory_iterator(mevo_path("/etc")))
            kept |= e.path().filename().string().find(".damaged-") != std::string::npos;
        // An empty file is simply a new database: nothing to keep.
        EXPECT_EQ(kept, !c.content.empty()) << c.what;
        bool shown = false;
        for (const auto &[key, message] : ov_param_status_snapshot())
            shown |= key == "PARAM_DB_REBUILT";
        EXPECT_EQ(shown, !c.content.empty()) << c.what;
    }
}

}  // namespace

#ifdef MEVO_PWDGRP_PATH
// Start-up makes the service account through the host's user-management CGI.
TEST_F(SetupctlStore, ServiceAccountLandsInTheUsersFile) {
    std::string cgi = mevo_path("/usr/html/veka-cgi/pwdgrp.cgi");
    ASSERT_EQ(file_mkdir_p(mevo_path("/usr/html/veka-cgi")), 0);
    ASSERT_EQ(file_copy(MEVO_PWDGRP_PATH, cgi), 0);
    ov_param_reset_for_tests();
    ASSERT_EQ(ov_param_init(nullptr), 0);
    EXPECT_STREQ(ov_param_get("Environment.SysAccount"), "VekaAnalytics");
    EXPECT_EQ(strlen(ov_param_get("Environment.SysPwd")), 20u);
    std::string users, groups;
    ASSERT_EQ(file_read_all(mevo_path("/etc/htdigest"), users), 0);
    ASSERT_EQ(file_read_all(mevo_path("/etc/group"), groups), 0);
    EXPECT_NE(users.find("VekaAnalytics:"), std::string::npos);
    EXPECT_NE(groups.find("VekaAnalytics"), std::string::npos);
    EXPECT_EQ(ov_param_status_count(), 0);
}
#endif
