#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/supervision.h"
#include "common/clock.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "params/param.h"
#include "platform/reboot/reboot.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {
class SupervisionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mevo-supervision-XXXXXX";
        root_ = mkdtemp(tmpl);
        setenv("MEVO_ROOT", root_.c_str(), 1);
        mevo_root_reset_for_tests();
        for (const char *d : {"/tmp", "/etc", "/var/run", "/usr/local/packages/mevo/localdata"})
            file_mkdir_p(mevo_path(d));
        std::string pkg = mevo_package_dir();
        file_mkdir_p(pkg + "/host");
        ASSERT_EQ(
            file_copy(MEVO_SOURCE_DIR "/package/param.conf.default", pkg + "/param.conf.default"),
            0);
        ASSERT_EQ(file_copy(MEVO_SOURCE_DIR "/package/host/camera-profile.conf",
                            pkg + "/host/camera-profile.conf"),
                  0);
        log_set_stderr(false);
        ov_param_reset_for_tests();
        ASSERT_EQ(ov_param_init(nullptr), 0);
    }
    void TearDown() override {
        clock_reset();
        ov_param_reset_for_tests();
        fs::remove_all(root_);
        unsetenv("MEVO_ROOT");
        mevo_root_reset_for_tests();
    }
    std::string root_;
};

const char *call(const char *(*h)(void *, const char *, int *), int *len) {
    return h(nullptr, "", len);
}
}  // namespace

TEST_F(SupervisionTest, RestartAndRebootRequestTheirExits) {
    std::atomic<int32_t> exit_request{0};
    supervision_set_exit_request(&exit_request);
    int len = 0;
    std::string restart = call(supervision_restart_handler, &len);
    EXPECT_EQ(size_t(len), restart.size());
    EXPECT_NE(restart.find("Restarting services, redirecting in 30 seconds.."), std::string::npos);
    EXPECT_EQ(exit_request.load(), 1);
    std::string reboot = call(supervision_reboot_handler, &len);
    EXPECT_NE(reboot.find("url=web_restart.html"), std::string::npos);
    EXPECT_EQ(exit_request.load(), 2);
}

TEST_F(SupervisionTest, SanityCheckSetsAndClearsItsMessages) {
    // Without pwdgrp.cgi in this root the layer reports the missing service account.
    const int base = ov_param_status_count();
    ASSERT_EQ(supervision_sanity_check(), 0);  // the host profile is sane
    EXPECT_EQ(ov_param_status_count(), base);

    clock_set_fixed(int64_t(1500000000) * 1000000);  // 2017: before the build date
    ov_param_set_ex("root.Image.I0.Appearance.Rotation", "180", 0);
    ov_param_set_ex("root.Time.SyncSource", "None", 0);
    ASSERT_EQ(supervision_sanity_check(), 0);
    EXPECT_EQ(ov_param_status_count(), base + 3);  // time, NTP, rotation
    ASSERT_EQ(supervision_sanity_check(), 0);
    EXPECT_EQ(ov_param_status_count(), base + 3);  // no duplicates

    // Remote service "yes" clears the NTP message even without NTP.
    ov_param_set_ex("root.RemoteService.Enabled", "yes", 0);
    clock_reset();
    ov_param_set_ex("root.Image.I0.Appearance.Rotation", "0", 0);
    ASSERT_EQ(supervision_sanity_check(), 0);
    EXPECT_EQ(ov_param_status_count(), base + 0);

    ov_param_set_ex("root.Image.I0.Appearance.MirrorEnabled", "yes", 0);
    ASSERT_EQ(supervision_sanity_check(), 0);
    EXPECT_EQ(ov_param_status_count(), base + 1);

    ov_param_set_ex("root.Time.SyncSource", "", 0);
    EXPECT_EQ(supervision_sanity_check(), -1);
    EXPECT_EQ(ov_param_status_count(), base + 2);  // the failure message joins
}

TEST_F(SupervisionTest, KnownBadFirmwareDisablesCounting) {
    const int base = ov_param_status_count();
    ov_param_set_ex("Counter.Enabled", "1", 0);
    supervision_firmware_check();  // the host profile's model is not on the list
    EXPECT_STREQ(ov_param_get("Counter.Enabled"), "1");

    ov_param_set_ex("root.Brand.ProdNbr", "KT62", 0);
    ov_param_set_ex("root.Properties.Firmware.Version", "6.15.1.7", 0);
    ov_param_reset_for_tests();  // model and firmware are cached once read
    ASSERT_EQ(ov_param_init(nullptr), 0);
    supervision_firmware_check();
    EXPECT_STREQ(ov_param_get("Counter.Enabled"), "0");
    EXPECT_EQ(ov_param_status_count(), base + 1);
    EXPECT_EQ(ov_param_changed(), 0);  // not a synced write: no restart for it
}

TEST_F(SupervisionTest, StalledHeartbeatEndsInASimulatedReboot) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("MEVO_WATCHDOG_PERIOD_S", "1", 1);
        setenv("MEVO_WATCHDOG_GRACE_S", "1", 1);
        watchdog_start();
        for (;;) pause();  // a loop that never kicks again
    }
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(WIFEXITED(status)) << "the watchdog did not end the process";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(platform_reboot_requested());
    std::string kick;
    ASSERT_EQ(file_read_all(mevo_path(WATCHDOG_FILE), kick), 0);
    EXPECT_EQ(kick, "Kick!");
}

TEST_F(SupervisionTest, KickedHeartbeatKeepsRunning) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("MEVO_WATCHDOG_PERIOD_S", "1", 1);
        watchdog_start();
        for (int i = 0; i < 40; ++i) {
            watchdog_kick();
            std::this_thread::sleep_for(100ms);
        }
        _exit(7);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_FALSE(platform_reboot_requested());
}
