#include "count/cntdata.h"

#include <unistd.h>

#include <cstring>
#include <numeric>

#include "count_fixture.h"

using namespace count_test;

namespace {

constexpr int SLOT_BYTES = 76;

class CntdataTest : public CountEnv {};

int32_t header_of(const std::string &totals) {
    int32_t h;
    memcpy(&h, totals.data(), 4);
    return h;
}

std::pair<int32_t, int32_t> day_record(const std::string &totals, int64_t noon) {
    int32_t d = int32_t((noon / 86400) % 93);
    int32_t r[2];
    memcpy(r, totals.data() + 4 + 8 * d, 8);
    return {r[0], r[1]};
}

TEST_F(CntdataTest, FreshStartCreatesZeroFilesAndBringsTotalsToToday) {
    time_t now = local(2026, 12, 6, 10, 7);
    at(now);
    cntdata_totals *totals = cntdata_totals_defaults();
    auto c = open_store(CNTDATA_SLOTS, CNTDATA_INTERVAL, CNTDATA_TYPES, totals);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->slot_size, 76);
    EXPECT_EQ(c->file_size, 678528);
    for (const std::string &p : {tmp_file(), flash_file()}) {
        std::string image = read(p);
        ASSERT_EQ(image.size(), 678528u) << p;
        EXPECT_EQ(image, std::string(678528, '\0')) << p;
    }
    std::string t = read(totals_tmp());
    ASSERT_EQ(t.size(), 748u);
    EXPECT_EQ(read(totals_flash()), t);
    // The empty totals start at noon 92 days back (summer time) and are brought to today at
    // once in steps of 24 h, so in winter the record times sit at 11:00.
    time_t noon = local(2026, 12, 6, 12);
    EXPECT_EQ(header_of(t), noon - 3600);
    EXPECT_EQ(day_record(t, noon), std::make_pair(int32_t(noon - 3600), 0));
    EXPECT_EQ(day_record(t, local(2026, 9, 5, 12)).first, local(2026, 9, 5, 12));
    cntdata_destroy(c.get());
    cntdata_totals_free(totals);
}

TEST_F(CntdataTest, CountUpdatesTodayAndSlotAndReachesFlashAfterTheInterval) {
    time_t now = local(2026, 12, 6, 10, 7, 30);
    at(now);
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 5, now);
    EXPECT_EQ(c->today[5], 1);
    const int32_t *slot = cntdata_slot_for(c.get(), now);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot[0], now);
    EXPECT_EQ(slot[1 + 5], 1);
    int k = int((now / 900) % CNTDATA_SLOTS);
    EXPECT_EQ(slot_of(read(flash_file()), k, 18)[6], 0) << "the running interval stays off flash";

    at(local(2026, 12, 6, 10, 15, 3));
    cntdata_tick(c.get());
    std::vector<int32_t> flash = slot_of(read(flash_file()), k, 18);
    EXPECT_EQ(flash[0], now);
    EXPECT_EQ(flash[6], 1);
    // The tick stamped the new interval even though nobody was counted in it.
    const int32_t *stamped = cntdata_slot_for(c.get(), local(2026, 12, 6, 10, 15, 3));
    ASSERT_NE(stamped, nullptr);
    EXPECT_EQ(std::accumulate(stamped + 1, stamped + 19, 0), 0);
    cntdata_destroy(c.get());
}

TEST_F(CntdataTest, SlotFromTheLastRoundOfTheRingIsZeroedBeforeReuse) {
    time_t old = local(2026, 9, 1, 10, 0, 10);
    at(old);
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 0, old);
    cntdata_count(c.get(), 0, old);
    time_t later = old + time_t(CNTDATA_SLOTS) * 900;  // same slot, 93 days on
    at(later);
    EXPECT_EQ(cntdata_slot_for(c.get(), later), nullptr) << "old data is not data of today";
    cntdata_count(c.get(), 0, later);
    const int32_t *slot = cntdata_slot_for(c.get(), later);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot[1], 1);
    EXPECT_EQ(cntdata_slot_for(c.get(), old), nullptr);
    cntdata_destroy(c.get());
}

// One count of type 0 in every interval of three local days around `day`.
void fill_days(cntdata *c, time_t day) {
    time_t from = cntdata_day_start(cntdata_day_shift(day, -1));
    time_t to = cntdata_day_end(cntdata_day_shift(day, 1));
    for (time_t t = from; t < to; t += 900) {
        at(t + 1);
        cntdata_count(c, 0, t + 1);
    }
}

struct DstCase {
    const char *tz;
    int y, m, d;
    int intervals;
};

class CntdataDst : public CntdataTest, public ::testing::WithParamInterface<DstCase> {};

TEST_P(CntdataDst, DaySumCoversTheRealLengthOfTheDay) {
    const DstCase &p = GetParam();
    set_tz(p.tz);
    time_t day = local(p.y, p.m, p.d, 12);
    at(day);
    auto c = open_store();
    ASSERT_TRUE(c);
    fill_days(c.get(), day);
    int32_t sums[18];
    cntdata_day_sum(c.get(), day, sums);
    EXPECT_EQ(sums[0], p.intervals);
    EXPECT_EQ(sums[1], 0);
    cntdata_day_sum(c.get(), cntdata_day_shift(day, 1), sums);
    EXPECT_EQ(sums[0], 96);
    cntdata_destroy(c.get());
}

INSTANTIATE_TEST_SUITE_P(Days, CntdataDst,
                         ::testing::Values(DstCase{"Europe/Stockholm", 2026, 3, 29, 92},
                                           DstCase{"Europe/Stockholm", 2026, 10, 25, 100},
                                           DstCase{"Europe/Stockholm", 2026, 6, 10, 96},
                                           DstCase{"America/New_York", 2026, 3, 8, 92},
                                           DstCase{"America/New_York", 2026, 11, 1, 100}));

TEST_F(CntdataTest, LocalDayHelpersFollowDaylightSaving) {
    set_tz("America/New_York");
    time_t t = local(2026, 11, 1, 15);
    EXPECT_EQ(cntdata_day_start(t), local(2026, 11, 1, 0));
    EXPECT_EQ(cntdata_day_end(t) - cntdata_day_start(t), 25 * 3600);
    EXPECT_EQ(cntdata_day_shift(local(2026, 3, 7, 10), 1), local(2026, 3, 8, 10));
    EXPECT_EQ(cntdata_day_shift(local(2026, 3, 1, 10), -1), local(2026, 2, 28, 10));
}

TEST_F(CntdataTest, WrongSizeFilesAreReplacedAndMissingCopiesRestored) {
    at(local(2026, 12, 6, 10));
    file_mkdir_p(root + "/tmp");
    file_mkdir_p(root + "/usr/local/packages/mevo/localdata");
    // Wrong size on both: both replaced by zero files.
    std::string junk(1000, 'x');
    file_write_atomic(tmp_file(), junk.data(), junk.size());
    file_write_atomic(flash_file(), junk.data(), junk.size());
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 3, clock_now());
    at(local(2026, 12, 6, 10, 20));
    cntdata_tick(c.get());
    cntdata_destroy(c.get());
    EXPECT_EQ(read(flash_file()).size(), 678528u);

    // Flash copy truncated: restored from the working copy, byte for byte.
    ASSERT_EQ(truncate(flash_file().c_str(), 100), 0);
    c = open_store();
    ASSERT_TRUE(c);
    cntdata_destroy(c.get());
    EXPECT_EQ(read(flash_file()), read(tmp_file()));

    // Working copy missing (reboot): rebuilt from flash with the synced slot.
    unlink(tmp_file().c_str());
    c = open_store();
    ASSERT_TRUE(c);
    const int32_t *slot = cntdata_slot_for(c.get(), local(2026, 12, 6, 10));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot[1 + 3], 1);
    cntdata_destroy(c.get());

    // A different type count discards the stored counts.
    c = open_store(CNTDATA_SLOTS, CNTDATA_INTERVAL, 4);
    ASSERT_TRUE(c);
    EXPECT_EQ(read(tmp_file()), std::string(size_t(CNTDATA_SLOTS) * 20, '\0'));
    cntdata_destroy(c.get());
}

TEST_F(CntdataTest, RestartResendsTheTwoNewestCompletedIntervals) {
    time_t t = local(2026, 12, 6, 10, 1);
    at(t);
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 2, t);
    cntdata_destroy(c.get());  // stopped before the interval ended: not on flash yet
    int k = int((t / 900) % CNTDATA_SLOTS);
    EXPECT_EQ(slot_of(read(flash_file()), k, 18)[3], 0);
    at(local(2026, 12, 6, 10, 31));  // restart two intervals later
    c = open_store();
    ASSERT_TRUE(c);
    EXPECT_EQ(slot_of(read(flash_file()), k, 18)[3], 1);
    cntdata_destroy(c.get());
}

TEST_F(CntdataTest, ClearingOneDayReachesFlashAndLeavesOtherDays) {
    time_t yesterday = local(2026, 12, 5, 12);
    at(yesterday);
    cntdata_totals *totals = cntdata_totals_defaults();
    auto c = open_store(CNTDATA_SLOTS, CNTDATA_INTERVAL, CNTDATA_TYPES, totals);
    ASSERT_TRUE(c);
    fill_days(c.get(), yesterday);  // Dec 4, 5 and 6
    at(local(2026, 12, 7, 9));
    cntdata_tick(c.get());
    std::string totals_before = read(totals_tmp());
    {
        std::lock_guard<std::mutex> guard(c->lock);
        ASSERT_EQ(cntdata_clear(c.get(), local(2026, 12, 5, 0)), 0);
    }
    int32_t sums[18];
    cntdata_day_sum(c.get(), yesterday, sums);
    EXPECT_EQ(sums[0], 0);
    cntdata_day_sum(c.get(), local(2026, 12, 4, 12), sums);
    EXPECT_EQ(sums[0], 96);
    cntdata_day_sum(c.get(), local(2026, 12, 6, 12), sums);
    EXPECT_EQ(sums[0], 96);
    EXPECT_EQ(read(totals_tmp()), totals_before);
    cntdata_destroy(c.get());

    // After a reboot the cleared day stays cleared.
    unlink(tmp_file().c_str());
    c = open_store(CNTDATA_SLOTS, CNTDATA_INTERVAL, CNTDATA_TYPES, totals);
    ASSERT_TRUE(c);
    cntdata_day_sum(c.get(), yesterday, sums);
    EXPECT_EQ(sums[0], 0);
    cntdata_day_sum(c.get(), local(2026, 12, 6, 12), sums);
    EXPECT_EQ(sums[0], 96);
    cntdata_destroy(c.get());
    cntdata_totals_free(totals);
}

TEST_F(CntdataTest, ClearingAllRebuildsBothCopiesEmpty) {
    time_t t = local(2026, 12, 6, 10);
    at(t);
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 1, t);
    at(t + 1800);
    cntdata_tick(c.get());
    {
        std::lock_guard<std::mutex> guard(c->lock);
        ASSERT_EQ(cntdata_clear(c.get(), 0), 0);
    }
    EXPECT_EQ(c->today[1], 0);
    EXPECT_EQ(cntdata_slot_for(c.get(), t), nullptr);
    std::string flash = read(flash_file());
    EXPECT_EQ(flash, std::string(678528, '\0'));
    cntdata_count(c.get(), 1, t + 1800);  // still usable after the rebuild
    EXPECT_EQ(c->today[1], 1);
    cntdata_destroy(c.get());
}

TEST_F(CntdataTest, RunningTotalsSumAllTypesOfEachDay) {
    at(local(2026, 12, 1, 9));
    cntdata_totals *totals = cntdata_totals_defaults();
    auto c = open_store(CNTDATA_SLOTS, CNTDATA_INTERVAL, CNTDATA_TYPES, totals);
    ASSERT_TRUE(c);
    // Dec 1: 2 people (4 counts), Dec 2: 1 person (2 counts).
    for (int i = 0; i < 2; i++) {
        cntdata_count(c.get(), 0, clock_now());
        cntdata_count(c.get(), 3, clock_now());
    }
    at(local(2026, 12, 2, 9));
    cntdata_count(c.get(), 1, clock_now());
    cntdata_count(c.get(), 12, clock_now());
    at(local(2026, 12, 3, 9));
    cntdata_tick(c.get());
    std::string t = read(totals_flash());
    EXPECT_EQ(header_of(t), local(2026, 12, 3, 11));
    EXPECT_EQ(day_record(t, local(2026, 12, 1, 12)).second, 0);
    EXPECT_EQ(day_record(t, local(2026, 12, 2, 12)).second, 4);
    EXPECT_EQ(day_record(t, local(2026, 12, 3, 12)).second, 6);
    cntdata_destroy(c.get());
    cntdata_totals_free(totals);
}

// A clock set back past midnight (or an offline run whose store was opened at the wall-clock
// time, later than the recording) leaves the stored day: today is that earlier day's counts.
TEST_F(CntdataTest, ClockSetBackToAnEarlierDayRecomputesToday) {
    at(local(2026, 12, 7, 9, 0));
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 4, clock_now());
    EXPECT_EQ(c->today[4], 1);
    at(local(2026, 12, 6, 9, 0));
    cntdata_count(c.get(), 5, clock_now());
    EXPECT_EQ(c->today[4], 0);  // the 7th's count is not the 6th's
    EXPECT_EQ(c->today[5], 1);
    at(local(2026, 12, 6, 23, 59));
    cntdata_tick(c.get());  // the same day: kept
    EXPECT_EQ(c->today[5], 1);
    cntdata_destroy(c.get());
}

TEST_F(CntdataTest, DayChangeRecomputesToday) {
    at(local(2026, 12, 6, 23, 50));
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 4, clock_now());
    EXPECT_EQ(c->today[4], 1);
    at(local(2026, 12, 7, 0, 5));
    cntdata_tick(c.get());
    EXPECT_EQ(c->today[4], 0);
    cntdata_destroy(c.get());
    // A restart recomputes today from the ring.
    at(local(2026, 12, 6, 23, 55));
    c = open_store();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->today[4], 1);
    cntdata_destroy(c.get());
}

TEST_F(CntdataTest, UnwritableFlashIsRetriedBySomeLaterSync) {
    time_t t = local(2026, 12, 6, 10, 1);
    at(t);
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 0, t);
    std::string saved = flash_file() + ".away";
    ASSERT_EQ(rename(flash_file().c_str(), saved.c_str()), 0);
    at(t + 900);
    EXPECT_LT(cntdata_sync(c.get()), 0);
    ASSERT_EQ(rename(saved.c_str(), flash_file().c_str()), 0);
    EXPECT_EQ(cntdata_sync(c.get()), 0);
    int k = int((t / 900) % CNTDATA_SLOTS);
    EXPECT_EQ(slot_of(read(flash_file()), k, 18)[1], 1);
    cntdata_destroy(c.get());
}

}  // namespace

namespace {
// A working copy that counted five intervals the flash copy never received (the process was
// away for more than half an hour before this start): one start brings all five to flash.
TEST_F(CntdataTest, StartBringsEveryCompletedIntervalMissingOnFlashToFlash) {
    const time_t now = local(2026, 12, 6, 10, 7);
    at(now - 6 * CNTDATA_INTERVAL);
    {
        auto c = open_store();
        ASSERT_TRUE(c);
        for (int back = 5; back >= 1; back--) cntdata_count(c.get(), back, now - back * 900);
        cntdata_destroy(c.get());
    }
    std::string zero(678528, '\0');
    ASSERT_EQ(file_write_atomic(flash_file(), zero.data(), zero.size()), 0);
    at(now);
    auto c = open_store();
    ASSERT_TRUE(c);
    std::string disk = read(flash_file()), work = read(tmp_file());
    for (int back = 1; back <= 5; back++) {
        int k = int((now - back * 900) / 900 % CNTDATA_SLOTS);
        EXPECT_EQ(slot_of(disk, k, CNTDATA_TYPES), slot_of(work, k, CNTDATA_TYPES)) << back;
        EXPECT_EQ(slot_of(disk, k, CNTDATA_TYPES)[size_t(1 + back)], 1) << back;
    }
    cntdata_destroy(c.get());
}

TEST_F(CntdataTest, ACountFileOfTheWrongSizeIsRecreatedWithALogLine) {
    at(local(2026, 12, 6, 10, 7));
    std::string half(678528 / 2, '\1');
    ASSERT_EQ(file_mkdir_p(root + "/tmp"), 0);
    ASSERT_EQ(file_write_atomic(tmp_file(), half.data(), half.size()), 0);
    log_set_stderr(true);
    testing::internal::CaptureStderr();
    auto c = open_store();
    std::string logged = testing::internal::GetCapturedStderr();
    log_set_stderr(false);
    ASSERT_TRUE(c);
    EXPECT_NE(logged.find(tmp_file() + " has 339264 bytes instead of 678528: recreated"),
              std::string::npos)
        << logged;
    EXPECT_EQ(read(tmp_file()).size(), 678528u);
    cntdata_destroy(c.get());
}

TEST_F(CntdataTest, OnePersonsCountsGoTogetherOrNotAtAll) {
    const time_t now = local(2026, 12, 6, 10, 7);
    at(now);
    auto c = open_store();
    const int person[2] = {0, 2 + 3}, bad[2] = {1, 18};
    cntdata_count_types(c.get(), person, 2, now);
    cntdata_count_types(c.get(), bad, 2, now);  // out of range: neither is counted
    const int32_t *slot = cntdata_slot_for(c.get(), now);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot[1 + 0], 1);
    EXPECT_EQ(slot[1 + 5], 1);
    EXPECT_EQ(slot[1 + 1], 0);
    EXPECT_EQ(c->today[0] + c->today[5] + c->today[1], 2);
    cntdata_destroy(c.get());
}
}  // namespace
