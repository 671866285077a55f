// The real mevo under mevo-host: a SIGTERM restarts the application, the "reboot" endpoint
// ends in a simulated camera reboot that wipes tmp/ and keeps the flash copies.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "run_util.h"

namespace {
size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Process ids whose program is `exe`.
std::vector<pid_t> pids_of(const std::string &exe) {
    std::vector<pid_t> pids;
    DIR *proc = opendir("/proc");
    while (struct dirent *e = proc ? readdir(proc) : nullptr) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0) continue;
        std::string cmd = testrun::read_file("/proc/" + std::string(e->d_name) + "/cmdline");
        if (cmd.c_str() == exe) pids.push_back(pid);
    }
    if (proc) closedir(proc);
    return pids;
}

class SupervisedRun : public ::testing::Test {
  protected:
    testrun::Root root{"supervised"};
    std::string log() { return testrun::read_file(root.path + "/var/log/mevo.log"); }

    void SetUp() override {
        ASSERT_TRUE(root.lay_out());
        std::vector<std::string> env = {"MEVO_ROOT=" + root.path, "MEVO_CLOCK=source",
                                        "MEVO_SOURCE=synthetic:walkers", "MEVO_HTTP=127.0.0.1:0"};
        // The first start names the counter (a synced write) and restarts after one frame.
        testrun::Child first({root.package() + "/mevo"}, env, root.path + "/first.log",
                             root.package());
        ASSERT_TRUE(first.wait_for(60));
        SpawnOptions user;
        user.capture_output = true;
        user.env = {"MEVO_ROOT=" + root.path,
                    "QUERY_STRING=action=add&user=op&pwd=oppw&grp=users&sgrp=viewer:operator"};
        ASSERT_EQ(spawn_run({root.path + "/usr/html/veka-cgi/pwdgrp.cgi"}, user).status, 0);
    }

    bool wait_for_starts(size_t starts, double seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(int(seconds));
        while (std::chrono::steady_clock::now() < deadline) {
            if (occurrences(log(), "mevo: Before main loop") >= starts &&
                !testrun::read_file(root.path + "/tmp/mevo-http.addr").empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};
}  // namespace

TEST_F(SupervisedRun, SigtermRestartsAndRebootEndpointWipesTmpKeepingFlash) {
    std::vector<std::string> env = {"MEVO_CLOCK=source", "MEVO_SOURCE=synthetic:walkers",
                                    "MEVO_SOURCE_LOOP=1", "MEVO_HTTP=127.0.0.1:0"};
    testrun::Child host(
        {root.path + "/usr/bin/mevo-host", "--root", root.path, "--restart-delay", "100"}, env,
        root.path + "/host.log", root.path);
    ASSERT_TRUE(wait_for_starts(1, 60)) << log();

    // SIGTERM: "Time to exit", the full shutdown, exit, and mevo-host starts it again.
    std::string exe = root.package() + "/mevo";
    auto pids = pids_of(exe);
    ASSERT_EQ(pids.size(), 1u);
    kill(pids[0], SIGTERM);
    ASSERT_TRUE(wait_for_starts(2, 60)) << log();
    std::string text = log();
    std::string missing;
    EXPECT_NE(testrun::find_in_order(text,
                                     {"platform: Time to exit", "mevo: cntdata destroy",
                                      "mevo: Exiting.", "mevo: Before main loop"},
                                     0, &missing),
              std::string::npos)
        << "missing " << missing << "\n"
        << text;

    // "reboot" over HTTP: the reply arrives, the shutdown runs, tmp/ is wiped, flash kept.
    std::ofstream(root.path + "/tmp/marker") << "before reboot";
    std::string flash = root.package() + "/localdata/count.buf";
    ASSERT_TRUE(std::filesystem::exists(flash));
    std::string addr = testrun::read_file(root.path + "/tmp/mevo-http.addr");
    while (!addr.empty() && (addr.back() == '\n' || addr.back() == ' ')) addr.pop_back();
    SpawnOptions quiet;
    quiet.capture_output = true;
    SpawnResult reply = spawn_run({"curl", "-s", "--digest", "-u", "op:oppw",
                                   "http://" + addr + "/local/mevo/apioperator?reboot"},
                                  quiet);
    EXPECT_NE(reply.output.find("Restarting camera."), std::string::npos) << reply.output;
    ASSERT_TRUE(wait_for_starts(3, 90)) << log();
    EXPECT_FALSE(std::filesystem::exists(root.path + "/tmp/marker"));
    EXPECT_TRUE(std::filesystem::exists(flash));
    EXPECT_NE(log().find("mevo: reboot requested"), std::string::npos);

    kill(host.pid, SIGTERM);
    ASSERT_TRUE(host.wait_for(60));
    EXPECT_TRUE(host.exited_with(0));
}
