// Runs the real mevo in a fresh root on the synthetic scene in offline clock mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_util.h"

namespace {
const std::vector<std::string> kShutdown = {
    "mevo: track rec destroy",
    "mevo: killing mevo in 10 secs",
    "mevo: tracker destroy",
    "mevo: trackbuffer destroy",
    "mevo: gender_info destroy",
    "mevo: cntdata destroy",
    "mevo: cap destroy",
    "mevo: detector destroy",
    "mevo: export_cleanup",
    "mevo: webreport_cleanup",
    "mevo: Exiting.",
};

class AppLoop : public ::testing::Test {
  protected:
    testrun::Root root{"apploop"};
    std::string log = root.path + "/run.log";

    void SetUp() override {
        ASSERT_TRUE(root.lay_out());
        // A first start in a new root gives the counter its name (a synced parameter write),
        // which restarts the application after its first frame, as on a new camera.
        testrun::Child first = run({"MEVO_SOURCE=synthetic:walkers"}, root.path + "/first.log");
        ASSERT_TRUE(first.wait_for(60));
        ASSERT_TRUE(first.exited_with(0)) << testrun::read_file(root.path + "/first.log");
    }

    testrun::Child run(std::vector<std::string> env, const std::string &to) {
        env.push_back("MEVO_ROOT=" + root.path);
        env.push_back("MEVO_CLOCK=source");
        env.push_back("MEVO_HTTP=127.0.0.1:0");  // tests run side by side: never a fixed port
        return testrun::Child({root.package() + "/mevo"}, env, to, root.package());
    }
};
}  // namespace

TEST_F(AppLoop, RunsTheSceneMeasuresFpsAndShutsDownAtItsEnd) {
    testrun::Child mevo = run({"MEVO_SOURCE=synthetic:walkers"}, log);
    ASSERT_TRUE(mevo.wait_for(600));  // real cascades under sanitizers are slow
    std::string text = testrun::read_file(log);
    EXPECT_TRUE(mevo.exited_with(0)) << text;

    // 240 frames: the frame rate is measured at frames 100 and 200 only.
    std::string missing;
    size_t loop_start = text.find("mevo: Before main loop");
    ASSERT_NE(loop_start, std::string::npos) << text;
    size_t after = testrun::find_in_order(
        text, {"mevo: frame 100: ", " fps", "mevo: frame 200: ", "end of synthetic source"},
        loop_start, &missing);
    ASSERT_NE(after, std::string::npos) << "missing '" << missing << "' in\n" << text;
    EXPECT_EQ(text.find("mevo: frame 300: "), std::string::npos);
    EXPECT_EQ(text.find("Parameters updated"), std::string::npos) << text;
    EXPECT_NE(testrun::find_in_order(text, kShutdown, after, &missing), std::string::npos)
        << "missing '" << missing << "' in\n"
        << text;
    EXPECT_EQ(text.find("reboot requested"), std::string::npos);
}

TEST_F(AppLoop, SigtermMidRunEndsThroughTheSameShutdown) {
    testrun::Child mevo = run({"MEVO_SOURCE=synthetic:walkers", "MEVO_SOURCE_LOOP=1"}, log);
    ASSERT_TRUE(testrun::wait_for_text(log, "mevo: frame 100: ", 300)) << testrun::read_file(log);
    kill(mevo.pid, SIGTERM);
    ASSERT_TRUE(mevo.wait_for(60));
    std::string text = testrun::read_file(log);
    EXPECT_TRUE(mevo.exited_with(0)) << text;
    std::string missing;
    size_t loop_start = text.find("mevo: frame 100: ");
    EXPECT_NE(testrun::find_in_order(text, kShutdown, loop_start, &missing), std::string::npos)
        << "missing '" << missing << "' in\n"
        << text;
    EXPECT_EQ(text.find("end of synthetic source"), std::string::npos);
}

TEST_F(AppLoop, ANewImageResolutionBecomesTheCaptureSizeThroughARestart) {
    testrun::Child set({root.path + "/usr/bin/setupctl", "--nosync", "set",
                        "root.Image.I0.Appearance.Resolution", "640x360"},
                       {"MEVO_ROOT=" + root.path}, root.path + "/setupctl.log", root.path);
    ASSERT_TRUE(set.wait_for(30));
    ASSERT_TRUE(set.exited_with(0)) << testrun::read_file(root.path + "/setupctl.log");

    testrun::Child mevo = run({"MEVO_SOURCE=synthetic:walkers"}, log);
    ASSERT_TRUE(mevo.wait_for(600));
    std::string text = testrun::read_file(log);
    EXPECT_TRUE(mevo.exited_with(0)) << text;
    std::string missing;
    EXPECT_NE(testrun::find_in_order(text,
                                     {"opening 'synthetic:walkers' at 1280x720",
                                      "mevo: frame 100: ", "Parameters updated, restarting"},
                                     0, &missing),
              std::string::npos)
        << "missing '" << missing << "' in\n"
        << text;
    EXPECT_EQ(text.find("mevo: frame 200: "), std::string::npos);

    std::string again_log = root.path + "/again.log";
    testrun::Child again = run({"MEVO_SOURCE=synthetic:walkers"}, again_log);
    ASSERT_TRUE(again.wait_for(600));
    text = testrun::read_file(again_log);
    EXPECT_TRUE(again.exited_with(0)) << text;
    EXPECT_NE(text.find("opening 'synthetic:walkers' at 640x360"), std::string::npos) << text;
    EXPECT_EQ(text.find("Parameters updated"), std::string::npos) << text;
}
