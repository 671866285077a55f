// A process counting in a loop is killed with SIGKILL at random moments. Afterwards the files
// must have their exact sizes, every completed interval must be intact in the working copy and
// on flash, and after a simulated reboot (the root's tmp/ wiped) the flash copy must serve.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "count/cntdata.h"

namespace {

constexpr int STEP = 60;  // seconds between counts: 15 counts per interval
constexpr int TYPES = CNTDATA_TYPES;
constexpr int SLOT_INTS = TYPES + 1;
constexpr int ROUNDS = 8;

void at(time_t t) {
    clock_set_fixed(int64_t(t) * 1000000);
}

time_t count_time(time_t base, long i) {
    return base + time_t(i) * STEP;
}

// Expected counts per interval number for the counts 0..last.
std::map<int64_t, std::vector<int32_t>> expected(time_t base, long last) {
    std::map<int64_t, std::vector<int32_t>> m;
    for (long i = 0; i <= last; i++) {
        auto &v = m[count_time(base, i) / 900];
        v.resize(TYPES);
        v[size_t(i % TYPES)]++;
    }
    return m;
}

std::vector<int32_t> slot_in(const std::string &image, int64_t interval) {
    std::vector<int32_t> v(SLOT_INTS);
    size_t k = size_t(interval % CNTDATA_SLOTS);
    memcpy(v.data(), image.data() + k * SLOT_INTS * 4, SLOT_INTS * 4);
    return v;
}

std::vector<int32_t> counts_of(const std::vector<int32_t> &slot) {
    return std::vector<int32_t>(slot.begin() + 1, slot.end());
}

class CountCrash : public ::testing::Test {
  protected:
    std::string root;
    void SetUp() override {
        setenv("TZ", "Europe/Stockholm", 1);
        tzset();
        log_set_stderr(false);
    }
    void new_root() {
        if (!root.empty()) file_remove_tree(root);
        char tmpl[] = "/tmp/mevo-count-crash-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        setenv("MEVO_ROOT", root.c_str(), 1);
        mevo_root_reset_for_tests();
    }
    void TearDown() override {
        clock_reset();
        if (!root.empty()) file_remove_tree(root);
    }
    static std::string read(const std::string &p) {
        std::string s;
        file_read_all(p, s);
        return s;
    }
};

[[noreturn]] void count_forever(time_t base, std::atomic<long> *progress) {
    at(base);
    cntdata_totals *totals = cntdata_totals_defaults();
    auto c = std::make_unique<cntdata>();
    cntdata_extended_init(c.get(), nullptr, nullptr, totals);
    for (long i = 0; i < 1000000; i++) {
        time_t t = count_time(base, i);
        at(t);
        cntdata_count(c.get(), int(i % TYPES), t);
        progress->store(i);
        if (i % 7 == 0) cntdata_tick(c.get());
    }
    _exit(0);
}

TEST_F(CountCrash, KillDuringCountingLosesAtMostTheRunningInterval) {
    void *shared = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto *progress = new (shared) std::atomic<long>(-1);
    std::mt19937 rng(20261206);
    const time_t base = 1796540400;  // 2026-12-06 09:00 local
    for (int round = 0; round < ROUNDS; round++) {
        new_root();
        progress->store(-1);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) count_forever(base, progress);
        // Odd rounds let the start-up finish first, so most kills land inside the counting.
        if (round % 2 == 1)
            for (int wait = 0; wait < 2000 && progress->load() < 0; wait++) usleep(1000);
        usleep(useconds_t(std::uniform_int_distribution<int>(0, 1200000)(rng)));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        long done = progress->load();
        SCOPED_TRACE("round " + std::to_string(round) + ", last count " + std::to_string(done));

        std::string tmp = mevo_path(CNTDATA_TMP_PATH), flash = mevo_path(CNTDATA_SYNC_PATH);
        for (const std::string &p : {tmp, flash}) {
            long long size = file_size(p);
            EXPECT_TRUE(size == -1 || size == 678528) << p << " " << size;
        }
        for (const char *p : {CNTDATA_TOTALS_TMP_PATH, CNTDATA_TOTALS_SYNC_PATH}) {
            long long size = file_size(mevo_path(p));
            EXPECT_TRUE(size == -1 || size == 748) << p << " " << size;
        }
        if (done < 0) continue;

        const int64_t running = count_time(base, done) / 900;
        auto upto_done = expected(base, done), upto_next = expected(base, done + 1);
        std::string work = read(tmp), disk = read(flash);
        ASSERT_EQ(work.size(), 678528u);
        ASSERT_EQ(disk.size(), 678528u);
        for (const auto &[interval, counts] : upto_done) {
            if (interval < running) {
                EXPECT_EQ(counts_of(slot_in(work, interval)), counts) << interval;
                EXPECT_EQ(counts_of(slot_in(disk, interval)), counts) << "flash " << interval;
            } else {
                // The running interval: at most the count in progress is missing or present.
                std::vector<int32_t> have = counts_of(slot_in(work, interval));
                const std::vector<int32_t> &hi = upto_next[interval];
                for (int ty = 0; ty < TYPES; ty++) {
                    EXPECT_GE(have[size_t(ty)], counts[size_t(ty)]);
                    EXPECT_LE(have[size_t(ty)], hi[size_t(ty)]);
                }
                // It reaches flash only once complete, i.e. when the next count (done + 1,
                // killed before it was recorded) already fell into a later interval.
                std::vector<int32_t> on_flash = slot_in(disk, interval);
                if (on_flash[0] != 0) {
                    EXPECT_EQ(counts_of(on_flash), counts) << "running interval on flash";
                    EXPECT_GT(count_time(base, done + 1) / 900, interval);
                }
            }
        }

        // Restart: the working copy is used as it is.
        at(count_time(base, done + 1));
        {
            auto c = std::make_unique<cntdata>();
            ASSERT_EQ(cntdata_open(c.get(), CNTDATA_SLOTS, CNTDATA_INTERVAL, TYPES, nullptr,
                                   nullptr, nullptr, nullptr, tmp.c_str(), flash.c_str()),
                      0);
            for (const auto &[interval, counts] : upto_done)
                if (interval < running) {
                    const int32_t *slot = cntdata_slot_for(c.get(), interval * 900);
                    ASSERT_NE(slot, nullptr);
                    EXPECT_EQ(std::vector<int32_t>(slot + 1, slot + 1 + TYPES), counts);
                }
            cntdata_destroy(c.get());
        }

        // Reboot: tmp/ is lost; the flash copy holds every completed interval.
        file_remove_tree(root + "/tmp");
        {
            auto c = std::make_unique<cntdata>();
            ASSERT_EQ(cntdata_open(c.get(), CNTDATA_SLOTS, CNTDATA_INTERVAL, TYPES, nullptr,
                                   nullptr, nullptr, nullptr, tmp.c_str(), flash.c_str()),
                      0);
            for (const auto &[interval, counts] : upto_done)
                if (interval < running) {
                    const int32_t *slot = cntdata_slot_for(c.get(), interval * 900);
                    ASSERT_NE(slot, nullptr) << interval;
                    EXPECT_EQ(std::vector<int32_t>(slot + 1, slot + 1 + TYPES), counts);
                }
            EXPECT_EQ(read(tmp).size(), 678528u);
            cntdata_destroy(c.get());
        }
    }
    munmap(shared, sizeof(std::atomic<long>));
}

// One person is two counts: the gender total and the age band. The child counts people as fast
// as it can and is killed at random moments; in the working copy and on flash every gender's
// total must equal the sum of its bands in every slot, so no kill is seen between the two.
[[noreturn]] void count_people_forever(time_t base, std::atomic<long> *progress) {
    at(base);
    auto c = std::make_unique<cntdata>();
    cntdata_extended_init(c.get(), nullptr, nullptr, nullptr);
    for (long i = 0; i < 100000000; i++) {
        time_t t = base + time_t(i) * 7;
        at(t);
        const bool man = i % 3 != 0;
        const int types[2] = {man ? 0 : 1, (man ? 2 : 10) + int(i % 8)};
        cntdata_count_types(c.get(), types, 2, t);
        progress->store(i);
    }
    _exit(0);
}

TEST_F(CountCrash, AKillNeverSplitsOnePersonsTwoCounts) {
    void *shared = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto *progress = new (shared) std::atomic<long>(-1);
    std::mt19937 rng(20261210);
    for (int round = 0; round < ROUNDS; round++) {
        new_root();
        progress->store(-1);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) count_people_forever(1796540400, progress);
        for (int wait = 0; wait < 5000 && progress->load() < 0; wait++) usleep(1000);
        usleep(useconds_t(std::uniform_int_distribution<int>(0, 400000)(rng)));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        waitpid(pid, nullptr, 0);
        SCOPED_TRACE("round " + std::to_string(round) + ", people " +
                     std::to_string(progress->load() + 1));
        ASSERT_GE(progress->load(), 0);
        long people = 0;
        for (const char *path : {CNTDATA_TMP_PATH, CNTDATA_SYNC_PATH}) {
            std::string image = read(mevo_path(path));
            ASSERT_EQ(image.size(), 678528u) << path;
            for (int k = 0; k < CNTDATA_SLOTS; k++) {
                std::vector<int32_t> n = counts_of(slot_in(image, k));
                int32_t men = 0, women = 0;
                for (int b = 0; b < 8; b++) {
                    men += n[size_t(2 + b)];
                    women += n[size_t(10 + b)];
                }
                ASSERT_EQ(n[0], men) << path << " slot " << k;
                ASSERT_EQ(n[1], women) << path << " slot " << k;
                if (path == CNTDATA_TMP_PATH) people += men + women;
            }
        }
        // The person in progress may or may not be counted, but whole.
        EXPECT_GE(people, progress->load() + 1);
        EXPECT_LE(people, progress->load() + 2);
    }
    munmap(shared, sizeof(std::atomic<long>));
}

}  // namespace
