#include "count/reports.h"

#include <nlohmann/json.hpp>

#include "count_fixture.h"

using namespace count_test;

namespace {

constexpr const char *NAME = "Shop \"A\"";
constexpr const char *SERIAL = "ACCC8E000001";

// A store of hourly intervals with the two total types, in Stockholm time:
//   Nov 29 23:30  1 woman
//   Dec  5 12:00  3 men
//   Dec  6 00:10  2 men, 01:20 1 woman, 02:30 1 man      (now: Dec 6 02:30)
class ReportsTest : public CountEnv {
  protected:
    std::unique_ptr<cntdata> c;

    void SetUp() override {
        CountEnv::SetUp();
        at(local(2026, 11, 29, 23, 30));
        c = open_store(24 * 93, 3600, 2);
        ASSERT_TRUE(c);
        count_at(local(2026, 11, 29, 23, 30), 1, 1);
        count_at(local(2026, 12, 5, 12, 0), 0, 3);
        count_at(local(2026, 12, 6, 0, 10), 0, 2);
        count_at(local(2026, 12, 6, 1, 20), 1, 1);
        count_at(local(2026, 12, 6, 2, 30), 0, 1);
    }
    void TearDown() override {
        if (c) cntdata_destroy(c.get());
        CountEnv::TearDown();
    }
    void count_at(time_t t, int type, int n) {
        at(t);
        for (int i = 0; i < n; i++) cntdata_count(c.get(), type, t);
    }
    template <typename F>
    std::string run(F f) {
        std::vector<char> buf(COUNT_REPORT_BUFFER_SIZE);
        int n = f(buf.data(), buf.size());
        return std::string(buf.data(), size_t(n));
    }
};

std::string hour_series() {
    std::string s = "  <series>\n";
    char line[64];
    for (int h = 0; h < 24; h++) {
        snprintf(line, sizeof line, "    <value xid=\"%02d:00\">%02d:00</value>\n", h, h);
        s += line;
    }
    return s + "    <value xid=\"24:00\">24:00</value>\n  </series>\n";
}

std::string labels(const char *chart, const char *date_line) {
    return std::string(
               "  <labels>\n    <label lid=\"0\">\n      <x>0</x>\n      <y>0</y>\n      "
               "<align>center</align>\n      <text_size>16</text_size>\n      <text><![CDATA[<b>"
               "VEKA Audience Profiler</b>]]></text>\n    </label>\n    <label lid=\"1\">\n      "
               "<x>0</x>\n      <y>22</y>\n      <align>center</align>\n      "
               "<text_size>14</text_size>\n      <text><![CDATA[") +
           chart +
           " chart for Shop \"A\"]]></text>\n    </label>\n    <label lid=\"2\">\n      "
           "<x>0</x>\n      <y>45</y>\n      <align>center</align>\n      "
           "<text_size>12</text_size>\n      <text>\n        <![CDATA[<b>" +
           date_line + "</b>]]>\n      </text>\n    </label>\n  </labels>\n";
}

TEST_F(ReportsTest, DayChartEndsOnePointAfterTheRunningInterval) {
    const std::string graphs =
        "  <graphs>\n"
        "    <graph gid=\"men tot\" title=\"Men tot\">\n"
        "      <value xid=\"00:00\">2</value>\n      <value xid=\"01:00\">0</value>\n"
        "      <value xid=\"02:00\">1</value>\n      <value xid=\"03:00\">0</value>\n"
        "    </graph>\n"
        "    <graph gid=\"women tot\" title=\"Women tot\">\n"
        "      <value xid=\"00:00\">0</value>\n      <value xid=\"01:00\">1</value>\n"
        "      <value xid=\"02:00\">0</value>\n      <value xid=\"03:00\">0</value>\n"
        "    </graph>\n"
        "  </graphs>\n</chart>\n";
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<chart>\n";
    EXPECT_EQ(run([&](char *b, size_t n) { return count_report_day_xml(c.get(), "", NAME, b, n); }),
              head + hour_series() + graphs);
    EXPECT_EQ(run([&](char *b, size_t n) {
                  return count_report_day_xml(c.get(), "&labels", NAME, b, n);
              }),
              head + labels("Day", "Dec 6, 2026") + hour_series() + graphs);
}

TEST_F(ReportsTest, WeekChartShowsTheSevenDaysBeforeToday) {
    std::string days[] = {"Nov 29", "Nov 30", "Dec 1", "Dec 2", "Dec 3", "Dec 4", "Dec 5"};
    int men[] = {0, 0, 0, 0, 0, 0, 3}, women[] = {1, 0, 0, 0, 0, 0, 0};
    std::string expect = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<chart>\n" +
                         labels("Week", "Dec 6, 2026 - Dec 5, 2026") + "  <series>\n";
    for (const std::string &d : days) expect += "    <value xid=\"" + d + "\">" + d + "</value>\n";
    expect += "  </series>\n  <graphs>\n";
    const char *gids[] = {"men tot", "women tot"}, *titles[] = {"Men tot", "Women tot"};
    for (int g = 0; g < 2; g++) {
        expect += std::string("    <graph gid=\"") + gids[g] + "\" title=\"" + titles[g] + "\">\n";
        for (int k = 0; k < 7; k++)
            expect += "      <value xid=\"" + days[k] + "\">" +
                      std::to_string(g == 0 ? men[k] : women[k]) + "</value>\n";
        expect += "    </graph>\n";
    }
    expect += "  </graphs>\n</chart>\n";
    EXPECT_EQ(run([&](char *b, size_t n) {
                  return count_report_week_xml(c.get(), "&labels", NAME, b, n);
              }),
              expect);
}

TEST_F(ReportsTest, LiveSumWithAndWithoutCallback) {
    const std::string body =
        "{\n  \"serial\":\"ACCC8E000001\",\n  \"name\":\"Shop \\\"A\\\"\",\n  "
        "\"timestamp\":\"20261206023000\",\n  \"men tot\":3,\n  \"women tot\":1,\n  "
        "\"samples\":4\n}";
    EXPECT_EQ(run([&](char *b, size_t n) {
                  return count_report_live_sum(c.get(), "", NAME, SERIAL, b, n);
              }),
              body);
    EXPECT_EQ(run([&](char *b, size_t n) {
                  return count_report_live_sum(c.get(), "&callback=cb&x=1", NAME, SERIAL, b, n);
              }),
              "cb(" + body + ")");
    // Next day with nothing counted yet (no tick ran): every type 0.
    at(local(2026, 12, 7, 8, 0));
    nlohmann::json j = nlohmann::json::parse(run(
        [&](char *b, size_t n) { return count_report_live_sum(c.get(), "", NAME, SERIAL, b, n); }));
    EXPECT_EQ(j["men tot"], 0);
    EXPECT_EQ(j["samples"], 0);
    EXPECT_EQ(j["name"], NAME);
}

TEST_F(ReportsTest, LastSevenDaysInCountsAndPercent) {
    std::string dates[] = {"20261129", "20261130", "20261201", "20261202",
                           "20261203", "20261204", "20261205", "20261206"};
    int men[] = {0, 0, 0, 0, 0, 0, 3, 3}, women[] = {1, 0, 0, 0, 0, 0, 0, 1};
    std::string counts =
        "{\n  \"name\": \"Shop \\\"A\\\"\",\n  \"timestamp\" : "
        "\"20261206023000\",\n  \"dayslist\" : [";
    for (int k = 0; k < 8; k++) counts += "\"" + dates[k] + (k < 7 ? "\"," : "\"],\n");
    counts += "  \"data\" : {\n    \"alldays\" : {\"men tot\":6,\"women tot\":2,\"samples\":8},\n";
    std::string percent =
        "{\n  \"name\": \"Shop \\\"A\\\"\",\n  \"timestamp\" : \"20261206023000\",\n  \"data\" : "
        "{\n    \"alldays\" : {\"men tot\":75.000000,\"women tot\":25.000000,\"samples\":8},\n";
    for (int k = 0; k < 8; k++) {
        int n = men[k] + women[k];
        char buf[160];
        snprintf(buf, sizeof buf, "%s    \"%s\": {\"men tot\":%d,\"women tot\":%d,\"samples\":%d}",
                 k ? ",\n" : "", dates[k].c_str(), men[k], women[k], n);
        counts += buf;
        snprintf(buf, sizeof buf, "%s    \"%s\": {\"men tot\":%f,\"women tot\":%f,\"samples\":%d}",
                 k ? ",\n" : "", dates[k].c_str(), n ? 100.0 * men[k] / n : 0.0,
                 n ? 100.0 * women[k] / n : 0.0, n);
        percent += buf;
    }
    counts += "\n  }\n}\n";
    percent += "\n  }\n}\n";
    EXPECT_EQ(run([&](char *b, size_t n) { return count_report_last7(c.get(), "", NAME, b, n); }),
              counts);
    EXPECT_EQ(run([&](char *b, size_t n) {
                  return count_report_last7(c.get(), "&callback=f", NAME, b, n);
              }),
              "f(" + counts + ")\n");
    EXPECT_EQ(
        run([&](char *b, size_t n) { return count_report_last7percent(c.get(), "", NAME, b, n); }),
        percent);
    EXPECT_NO_THROW(nlohmann::json::parse(counts));
    EXPECT_NO_THROW(nlohmann::json::parse(percent));
}

TEST_F(ReportsTest, ListOfDaysWithData) {
    EXPECT_EQ(run([&](char *b, size_t n) { return count_report_list_cnt(c.get(), b, n); }),
              "{\n\"timestamp\" : \"20261206023000\",\n\"days\" : [\"20261129\", \"20261205\", "
              "\"20261206\"]\n}\n");
}

TEST_F(ReportsTest, OverlongReplyIsCutAtTheBufferSize) {
    std::vector<char> buf(100);
    EXPECT_EQ(count_report_day_xml(c.get(), "", NAME, buf.data(), buf.size()), 100);
}

TEST_F(ReportsTest, ClearDataRejectsMalformedDatesWithoutTouchingData) {
    std::string before = read(tmp_file());
    for (const char *args : {"&date=2026120", "&date=202612050", "&date=2026120a", "&date=20261340",
                             "&date=20260230", "&date="}) {
        const char *reply = nullptr;
        EXPECT_EQ(count_clear_data(c.get(), args, &reply), 0) << args;
        EXPECT_STREQ(reply, "clear-data: malformed date");
        EXPECT_EQ(strlen(reply), 26u);
    }
    EXPECT_EQ(read(tmp_file()), before);
    EXPECT_EQ(read(flash_file()).size(), before.size());

    const char *reply = nullptr;
    EXPECT_EQ(count_clear_data(c.get(), "&date=20261205", &reply), 1);
    EXPECT_STREQ(reply, "OK");
    int32_t sums[2];
    cntdata_day_sum(c.get(), local(2026, 12, 5, 12), sums);
    EXPECT_EQ(sums[0], 0);
    cntdata_day_sum(c.get(), local(2026, 12, 6, 12), sums);
    EXPECT_EQ(sums[0], 3);

    EXPECT_EQ(count_clear_data(c.get(), "", &reply), 1);
    cntdata_day_sum(c.get(), local(2026, 12, 6, 12), sums);
    EXPECT_EQ(sums[0], 0);
}

TEST_F(CountEnv, ClearingASummerDateStartsAtLocalMidnight) {
    time_t t = local(2026, 7, 10, 0, 20);
    at(t);
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 0, t);
    const char *reply = nullptr;
    EXPECT_EQ(count_clear_data(c.get(), "&date=20260710", &reply), 1);
    int32_t sums[18];
    cntdata_day_sum(c.get(), t, sums);
    EXPECT_EQ(sums[0], 0);
    cntdata_destroy(c.get());
}

TEST_F(CountEnv, DayChartAtFiveMinutesPastMidnightHasTwoPoints) {
    at(local(2026, 12, 6, 0, 5));
    auto c = open_store();
    ASSERT_TRUE(c);
    std::vector<char> buf(COUNT_REPORT_BUFFER_SIZE);
    std::string s(buf.data(),
                  size_t(count_report_day_xml(c.get(), "", "n", buf.data(), buf.size())));
    auto occurrences = [&](const std::string &needle) {
        size_t n = 0;
        for (size_t p = s.find(needle); p != std::string::npos; p = s.find(needle, p + 1)) n++;
        return n;
    };
    EXPECT_EQ(occurrences("<value xid=\"") - occurrences("\">0</value>"), 97u);
    EXPECT_EQ(occurrences("\">0</value>"), 18u * 2);
    EXPECT_EQ(occurrences("<labels>"), 0u);
    cntdata_destroy(c.get());
}

TEST_F(CountEnv, PercentBlockWithoutWomenShowsZeroForTheirBands) {
    at(local(2026, 12, 6, 10));
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 0, clock_now());
    cntdata_count(c.get(), 4, clock_now());
    std::vector<char> buf(COUNT_REPORT_BUFFER_SIZE);
    std::string s(buf.data(),
                  size_t(count_report_last7percent(c.get(), "", "a/b\\c", buf.data(), buf.size())));
    nlohmann::json j = nlohmann::json::parse(s);
    EXPECT_EQ(j["name"], "a/b\\c");
    const auto &today = j["data"]["20261206"];
    EXPECT_EQ(today["men tot"], 100.0);
    EXPECT_EQ(today["men25-34"], 100.0);
    EXPECT_EQ(today["women tot"], 0.0);
    EXPECT_EQ(today["women15-24"], 0.0);
    EXPECT_EQ(today["samples"], 1);
    EXPECT_NE(s.find("\"women75-\":0.000000"), std::string::npos);
    cntdata_destroy(c.get());
}

}  // namespace

namespace {

struct ChartDay {
    const char *tz;
    int y, m, d;
    int points;          // values per graph at 10:00 (running interval and one more)
    const char *absent;  // a clock time that does not exist that day, or ""
    int repeated;        // occurrences of the repeated quarter "02:15"
};

class DayChartDst : public CountEnv, public ::testing::WithParamInterface<ChartDay> {};

TEST_P(DayChartDst, StartsAtLocalMidnightAndFollowsTheClock) {
    const ChartDay &p = GetParam();
    set_tz(p.tz);
    time_t now = local(p.y, p.m, p.d, 10, 0);
    at(now);
    auto c = open_store(CNTDATA_SLOTS, CNTDATA_INTERVAL, 1);
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 0, now - 1800);  // 09:30
    std::vector<char> buf(COUNT_REPORT_BUFFER_SIZE);
    std::string s(buf.data(),
                  size_t(count_report_day_xml(c.get(), "", "n", buf.data(), buf.size())));
    std::string graph = s.substr(s.find("<graphs>"));
    size_t values = 0;
    for (size_t q = graph.find("<value"); q != std::string::npos; q = graph.find("<value", q + 1))
        values++;
    EXPECT_EQ(values, size_t(p.points));
    EXPECT_EQ(graph.find("<value xid=\""), graph.find("<value xid=\"00:00\">0</value>"));
    EXPECT_NE(graph.find("<value xid=\"09:30\">1</value>"), std::string::npos);
    EXPECT_NE(graph.find("<value xid=\"10:00\">0</value>\n    </graph>"), std::string::npos);
    if (*p.absent) {
        EXPECT_EQ(graph.find(std::string("xid=\"") + p.absent), std::string::npos);
    }
    size_t repeated = 0;
    for (size_t q = graph.find("xid=\"02:15\""); q != std::string::npos;
         q = graph.find("xid=\"02:15\"", q + 1))
        repeated++;
    EXPECT_EQ(repeated, size_t(p.repeated));
    cntdata_destroy(c.get());
}

INSTANTIATE_TEST_SUITE_P(Days, DayChartDst,
                         ::testing::Values(ChartDay{"Europe/Stockholm", 2026, 3, 29, 37, "02:", 0},
                                           ChartDay{"Europe/Stockholm", 2026, 10, 25, 45, "", 2},
                                           ChartDay{"America/New_York", 2026, 3, 8, 37, "02:", 0},
                                           ChartDay{"America/New_York", 2026, 11, 1, 45, "", 1},
                                           ChartDay{"Europe/Stockholm", 2026, 6, 10, 41, "", 1}));

TEST_F(CountEnv, ListOfDaysParsesAsJson) {
    at(local(2026, 12, 6, 10));
    auto c = open_store();
    ASSERT_TRUE(c);
    cntdata_count(c.get(), 0, clock_now());
    std::vector<char> buf(COUNT_REPORT_BUFFER_SIZE);
    nlohmann::json j = nlohmann::json::parse(
        std::string(buf.data(), size_t(count_report_list_cnt(c.get(), buf.data(), buf.size()))));
    EXPECT_EQ(j["days"], nlohmann::json::array({"20261206"}));
    cntdata_destroy(c.get());
}

}  // namespace
