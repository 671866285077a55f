// mevo-host: restarts, the simulated reboot, a clean stop, and a run of the real mevo.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "run_util.h"

namespace fs = std::filesystem;

namespace {
int count_lines(const std::string &text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}
}  // namespace

TEST(MevoHost, RestartsOnExitSimulatesRebootAndStopsCleanly) {
    testrun::Root root("host");
    ASSERT_TRUE(root.lay_out());
    // Something a previous boot left in tmp/, and data that a reboot must keep.
    std::ofstream(root.path + "/tmp/before-boot") << "x";
    std::ofstream(root.package() + "/localdata/keep.buf") << "data";
    std::string out = root.path + "/host.out";
    testrun::Child host({MEVO_HOST_BINARY, "--root", root.path, "--program", FAKE_APP_BINARY,
                         "--restart-delay", "20"},
                        {}, out, "");
    std::string starts = root.path + "/var/starts";
    ASSERT_TRUE(testrun::wait_for_text(starts, "3 ", 30)) << testrun::read_file(out);

    // Run from the package directory each time.
    EXPECT_NE(testrun::read_file(starts).find("1 " + fs::canonical(root.package()).string()),
              std::string::npos);
    // The reboot after start 2 emptied tmp/ before start 3: only start 3's file is there.
    EXPECT_FALSE(fs::exists(root.path + "/tmp/before-boot"));
    EXPECT_FALSE(fs::exists(root.path + "/tmp/start-1"));
    EXPECT_FALSE(fs::exists(root.path + "/tmp/start-2"));
    EXPECT_TRUE(fs::exists(root.path + "/tmp/start-3"));
    EXPECT_TRUE(fs::is_directory(root.path + "/tmp"));
    EXPECT_TRUE(fs::exists(root.package() + "/localdata/keep.buf"));
    EXPECT_FALSE(fs::exists(root.path + "/var/run/mevo-reboot-request"));

    kill(host.pid, SIGTERM);
    ASSERT_TRUE(host.wait_for(20));
    EXPECT_TRUE(host.exited_with(0));
    EXPECT_EQ(testrun::read_file(root.path + "/var/stopped"), "SIGTERM\n");
    EXPECT_EQ(count_lines(testrun::read_file(starts)), 3);  // not restarted after the stop

    std::string log = testrun::read_file(root.path + "/var/log/mevo.log");
    std::string missing;
    EXPECT_NE(
        testrun::find_in_order(log,
                               {"fake app start 1", "exited with status 3", "fake app start 2",
                                "reboot requested", "fake app start 3", "mevo-host: stopped"},
                               0, &missing),
        std::string::npos)
        << "missing '" << missing << "' in\n"
        << log;
}

TEST(MevoHost, OnceRunsTheRealMevoAndReturnsItsStatus) {
    testrun::Root root("hostonce");
    ASSERT_TRUE(root.lay_out());
    std::string out = root.path + "/host.out";
    testrun::Child host(
        {MEVO_HOST_BINARY, "--root", root.path, "--once"},
        {"MEVO_SOURCE=synthetic:walkers", "MEVO_CLOCK=source", "MEVO_HTTP=127.0.0.1:0"}, out, "");
    ASSERT_TRUE(host.wait_for(600));
    EXPECT_TRUE(host.exited_with(0)) << testrun::read_file(out);
    std::string log = testrun::read_file(root.path + "/var/log/mevo.log");
    EXPECT_NE(
        testrun::find_in_order(log, {"mevo-host: started mevo", "mevo: Platform init",
                                     "mevo: Exiting.", "mevo-host: mevo exited with status 0"}),
        std::string::npos)
        << log;
}

TEST(MevoHost, RefusesToRunWithoutARoot) {
    testrun::Root root("hostnoroot");
    std::string out = root.path + "/host.out";
    testrun::Child host({MEVO_HOST_BINARY, "--bogus"}, {}, out, "");
    ASSERT_TRUE(host.wait_for(10));
    EXPECT_TRUE(host.exited_with(2));
    testrun::Child missing({MEVO_HOST_BINARY, "--root", root.path + "/nonexistent"}, {}, out, "");
    ASSERT_TRUE(missing.wait_for(10));
    EXPECT_TRUE(missing.exited_with(1));
}
