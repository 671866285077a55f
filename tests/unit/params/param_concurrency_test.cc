#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "param_fixture.h"

namespace {

class ParamThreads : public ParamRoot {};

// Each thread reads its own parameter while the others do the same; a result text is only
// ever overwritten by the thread's own next get.
TEST_F(ParamThreads, ConcurrentGetsEachSeeTheirOwnValue) {
    ASSERT_EQ(ov_param_init(nullptr), 0);
    const std::vector<std::pair<const char *, std::string>> params = {
        {"Counter.Name", "OVDefaultName"},
        {"root.Brand.ProdNbr", "KT45"},
        {"Detector.Roi", "0x1279x0x719"},
        {"Schedule.StopSa", "24:00"},
    };
    constexpr int kRounds = 300;
    std::atomic<int> mismatches{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (const auto &[name, want] : params) {
        threads.emplace_back([&, name = name, want = want] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                const char *v = ov_param_get(name);
                std::this_thread::yield();  // let another thread's get run in between
                if (want != v) ++mismatches;
            }
        });
    }
    go = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// Writers and readers together: every read returns one of the values ever written.
TEST_F(ParamThreads, SetsAndGetsInterleaveSafely) {
    ASSERT_EQ(ov_param_init(nullptr), 0);
    constexpr int kRounds = 100;
    std::atomic<int> bad{0};
    std::thread writer([&] {
        for (int i = 0; i < kRounds; ++i)
            ov_param_set_ex("Detector.MinRect", (i % 2) ? "31" : "32", 0);
    });
    std::thread secret_writer([&] {
        for (int i = 0; i < kRounds; ++i)
            ov_param_set_ex("Httppost.Pass", (i % 2) ? "aa" : "bb", 1);
    });
    std::thread reader([&] {
        for (int i = 0; i < kRounds; ++i) {
            std::string v = ov_param_get("Detector.MinRect");
            std::string s = ov_param_get("Httppost.Pass");
            if (v != "20" && v != "31" && v != "32") ++bad;
            if (s != "" && s != "aa" && s != "bb") ++bad;
            ov_param_status_set("K", "threaded");
            ov_param_status_clear("threaded");
            ov_param_changed();
        }
    });
    writer.join();
    secret_writer.join();
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
