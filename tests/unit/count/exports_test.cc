#include "count/exports.h"

#include <nlohmann/json.hpp>

#include "count_fixture.h"

using namespace count_test;

namespace {

constexpr const char *NAME = "Shop \"A\"";
constexpr const char *SERIAL = "ACCC8E000001";
constexpr size_t BIG = 93 * EXPORT_BYTES_PER_DAY;

std::string build(ExportKind kind, const cntdata *c, const char *args, size_t cap = BIG,
                  const char *name = NAME) {
    std::vector<char> buf(cap);
    int n = -1;
    const char *reply =
        export_build(kind, c, args, name, SERIAL, cap ? buf.data() : nullptr, cap, &n);
    return std::string(reply, size_t(n));
}

size_t count_of(const std::string &s, const std::string &needle) {
    size_t n = 0;
    for (size_t p = s.find(needle); p != std::string::npos; p = s.find(needle, p + 1)) n++;
    return n;
}

std::vector<std::string> lines_of(const std::string &s) {
    std::vector<std::string> v;
    size_t p = 0;
    while (p < s.size()) {
        size_t e = s.find('\n', p);
        v.push_back(s.substr(p, e - p));
        p = e == std::string::npos ? s.size() : e + 1;
    }
    return v;
}

// Hourly store with the two total types (Stockholm):
//   Dec 5 12:00  3 men;  Dec 6 00:10 2 men, 01:20 1 woman, 02:30 1 man   (now: Dec 6 02:30)
class SmallExport : public CountEnv {
  protected:
    std::unique_ptr<cntdata> c;
    void SetUp() override {
        CountEnv::SetUp();
        at(local(2026, 12, 5, 12));
        c = open_store(24 * 93, 3600, 2);
        ASSERT_TRUE(c);
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
};

const std::string CSV_HEAD =
    "Interval start,Interval stop,Camera serial number,Counter name,Men tot,Women tot\n";
const std::string CSV_NAME = "ACCC8E000001,\"Shop \"\"A\"\"\"";

TEST_F(SmallExport, CsvOfTodayEndsWithTheRunningBucket) {
    EXPECT_EQ(build(EXPORT_CSV, c.get(), "&date=today"),
              CSV_HEAD + "2026-12-06 00:00:00,2026-12-06 01:00:00," + CSV_NAME + ",2,0\n" +
                  "2026-12-06 01:00:00,2026-12-06 02:00:00," + CSV_NAME + ",0,1\n" +
                  "2026-12-06 02:00:00,2026-12-06 03:00:00," + CSV_NAME + ",1,0\n");
    EXPECT_EQ(build(EXPORT_CSV, c.get(), "&date=20261205&res=24h"),
              CSV_HEAD + "2026-12-05 00:00:00,2026-12-06 00:00:00," + CSV_NAME + ",3,0\n");
}

TEST_F(SmallExport, CsvDateListKeepsListOrderAndDropsRepeats) {
    std::vector<std::string> rows = lines_of(build(EXPORT_CSV, c.get(), "&date=today,yesterday"));
    ASSERT_EQ(rows.size(), 1u + 3 + 24);
    EXPECT_EQ(rows[1].substr(0, 19), "2026-12-06 00:00:00");
    EXPECT_EQ(rows[4].substr(0, 19), "2026-12-05 00:00:00");
    EXPECT_EQ(rows[16], "2026-12-05 12:00:00,2026-12-05 13:00:00," + CSV_NAME + ",3,0");
    EXPECT_EQ(lines_of(build(EXPORT_CSV, c.get(), "&date=yesterday,yesterday")).size(), 1u + 24);
    // Days before the oldest stored slot (Dec 5) are skipped.
    EXPECT_EQ(lines_of(build(EXPORT_CSV, c.get(), "&date=20261201-20261205")).size(), 1u + 24);
}

TEST_F(SmallExport, JsonWithCallback) {
    EXPECT_EQ(build(EXPORT_JSON, c.get(), "&date=20261205&res=24h&callback=cb"),
              "cb({\n\t\"counter\" : {\n\t\t\"name\" : \"Shop \\\"A\\\"\",\n\t\t\"serial\" : "
              "\"ACCC8E000001\",\n\t\t\"delta\" : 86400,\n\t\t\"types\" : {\n\t\t\t\"men tot\" : "
              "300,\n\t\t\t\"women tot\" : 301\n\t\t}\n\t},\n\t\"data\" : {\n\t\t"
              "\"20261206000000\" : [3,0]\n\t}\n})\n");
    // Today's later buckets are written with zero counts.
    nlohmann::json j = nlohmann::json::parse(build(EXPORT_JSON, c.get(), "&date=today"));
    EXPECT_EQ(j["data"].size(), 24u);
    EXPECT_EQ(j["data"]["20261206010000"], nlohmann::json::array({2, 0}));
    EXPECT_EQ(j["data"]["20261207000000"], nlohmann::json::array({0, 0}));
    EXPECT_EQ(j["counter"]["delta"], 3600);
}

TEST_F(SmallExport, XmlOfOneDay) {
    time_t t0 = local(2026, 12, 5, 0);
    EXPECT_EQ(build(EXPORT_XML, c.get(), "&date=20261205&res=24h"),
              "<?xml version=\"1.0\" ?>\n<!DOCTYPE countdata SYSTEM \"appdata.dtd\">\n\n"
              "<countdata version=\"2\">\n\t<typedesc>\n\t\t<type typeid=\"300\">Men tot</type>\n"
              "\t\t<type typeid=\"301\">Women tot</type>\n\t</typedesc>\n"
              "\t<cntset name=\"Shop &quot;A&quot;\" starttime=\"" +
                  std::to_string(t0) +
                  "\" delta=\"86400\" date=\"2026-12-05\">\n\t\t<cntgroup endtime=\"" +
                  std::to_string(t0 + 86400) +
                  "\" time=\"00:00\">\n\t\t\t<cnt typeid=\"300\">3</cnt>\n\t\t\t<cnt "
                  "typeid=\"301\">0</cnt>\n\t\t</cntgroup>\n\t</cntset>\n</countdata>\n");
}

TEST_F(SmallExport, XmlBucketSumsDoNotWrapAt16Bits) {
    int32_t *slot = const_cast<int32_t *>(cntdata_slot_for(c.get(), local(2026, 12, 5, 12)));
    ASSERT_NE(slot, nullptr);
    slot[1] = 40000;
    std::string s = build(EXPORT_XML, c.get(), "&date=20261205&res=24h");
    EXPECT_NE(s.find("<cnt typeid=\"300\">40000</cnt>"), std::string::npos) << s;
}

TEST_F(SmallExport, NothingSelectedGivesEmptyCsvAndBareFrames) {
    for (const char *args : {"&date=20261205-20261201", "&date=20270101", "&date=20200101"}) {
        EXPECT_EQ(build(EXPORT_CSV, c.get(), args), "") << args;
        nlohmann::json j = nlohmann::json::parse(build(EXPORT_JSON, c.get(), args));
        EXPECT_TRUE(j["data"].empty()) << args;
        EXPECT_EQ(count_of(build(EXPORT_XML, c.get(), args), "<cntset"), 0u) << args;
    }
}

class ExportArgs : public CountEnv {
  protected:
    std::unique_ptr<cntdata> c;
    void SetUp() override {
        CountEnv::SetUp();
        at(local(2026, 11, 1, 10));
        c = open_store();
        ASSERT_TRUE(c);
        cntdata_count(c.get(), 0, clock_now());
        at(local(2026, 12, 6, 10, 7));
        cntdata_tick(c.get());
    }
    void TearDown() override {
        if (c) cntdata_destroy(c.get());
        CountEnv::TearDown();
    }
};

TEST_F(ExportArgs, ErrorRepliesComeInTheirOrder) {
    struct Case {
        const char *args;
        const char *reply;  // null: a normal export
    } cases[] = {
        {"&date=today&res=1x", "illegal argument"},
        {"&date=someday", "illegal argument"},
        {"&date=20261340", "illegal argument"},
        {"&date=2026120", "illegal argument"},
        {"&date=today&res=", "illegal argument"},
        {"&date=today&res=1h30", "illegal argument"},
        {"&date=today&res=1000", "illegal argument"},
        {"&date=today&res=300", "illegal argument"},
        {"&date=today&res=99999999999", "illegal argument"},
        {"&res=300", "Too much data chosen."},
        {"&date=today,yesterday&res=300", "Too much data chosen."},
        {"&date=all&res=5m", "Too much data chosen."},
        {"&date=20261201-20261202&res=30m", nullptr},
        {"&date=today&res=1H", nullptr},
        {"&date=today&res=900s", nullptr},
        {"&date=today&res=0", nullptr},
        {"&date=allofit&res=1h", nullptr},
    };
    for (const Case &k : cases) {
        for (ExportKind kind : {EXPORT_CSV, EXPORT_JSON, EXPORT_XML}) {
            std::string reply = build(kind, c.get(), k.args);
            if (k.reply)
                EXPECT_EQ(reply, k.reply) << k.args;
            else
                EXPECT_TRUE(reply != "illegal argument" && reply != "Too much data chosen." &&
                            reply != "out of memory")
                    << k.args << " -> " << reply;
        }
    }
    EXPECT_EQ(build(EXPORT_CSV, c.get(), "&date=today", 0), "out of memory");
    EXPECT_EQ(build(EXPORT_CSV, c.get(), "&date=today", 500), "out of memory");
    EXPECT_EQ(build(EXPORT_XML, c.get(), "&date=today", 1000), "out of memory");
}

TEST_F(ExportArgs, FullCsvCoversEveryStoredDayUpToTheRunningInterval) {
    std::vector<std::string> rows = lines_of(build(EXPORT_CSV, c.get(), ""));
    ASSERT_GT(rows.size(), 2u);
    EXPECT_EQ(rows.back().substr(0, 39), "2026-12-06 10:00:00,2026-12-06 10:15:00");
    EXPECT_EQ(rows[1].substr(0, 19), "2026-09-04 00:00:00");
    // Sep 4 .. Dec 5 in full, plus today's 41 quarter hours up to 10:15.
    EXPECT_EQ(rows.size(), 1u + 93 * 96 + 41 + 1 /* Oct 25 has 25 h */ * 4);
    EXPECT_EQ(count_of(build(EXPORT_CSV, c.get(), "&date=20261101"), ",1,0,0"), 1u);
}

TEST_F(ExportArgs, XmlOfANormalDayHas96Groups) {
    std::string s = build(EXPORT_XML, c.get(), "&date=20261101");
    EXPECT_EQ(count_of(s, "<cntgroup "), 96u);
    EXPECT_NE(s.find("time=\"00:15\""), std::string::npos);
    EXPECT_NE(s.find("time=\"23:45\""), std::string::npos);
    EXPECT_EQ(count_of(s, "time=\"00:00\""), 1u);
    EXPECT_NE(s.find("time=\"00:00\"", s.rfind("<cntgroup ")), std::string::npos);
    EXPECT_EQ(lines_of(build(EXPORT_CSV, c.get(), "&date=20261201-20261205")).size(), 1u + 5 * 96);
    EXPECT_EQ(count_of(s, "\t\t\t<cnt typeid="), 96u * 18);
}

TEST_F(ExportArgs, CsvCounterNameFieldStaysOneQuotedField) {
    std::string longname = std::string(120, 'x') + ",y";
    std::string row =
        lines_of(build(EXPORT_CSV, c.get(), "&date=today&res=1h", BIG, longname.c_str()))[1];
    size_t start = row.find(",ACCC8E000001,") + 14;
    std::string field = row.substr(start, row.find("\",", start) + 1 - start);
    EXPECT_EQ(field.size(), 99u);
    EXPECT_EQ(field.front(), '"');
    EXPECT_EQ(field.back(), '"');
}

// One count of type 0 in every interval of the three days around a change day.
struct DstDay {
    const char *tz;
    int y, m, d;
    int hours;
};

class ExportDst : public CountEnv, public ::testing::WithParamInterface<DstDay> {
  protected:
    std::unique_ptr<cntdata> c;
    std::string date;
    void SetUp() override {
        CountEnv::SetUp();
        const DstDay &p = GetParam();
        set_tz(p.tz);
        time_t day = local(p.y, p.m, p.d, 12);
        at(day);
        c = open_store();
        ASSERT_TRUE(c);
        // Filled directly in the mapping: the counting path is covered elsewhere.
        time_t from = cntdata_day_start(cntdata_day_shift(day, -1));
        time_t to = cntdata_day_end(cntdata_day_shift(day, 1));
        for (time_t t = from; t < to; t += 900) {
            int32_t *slot = c->map + ((t / 900) % CNTDATA_SLOTS) * 19;
            slot[0] = int32_t(t);
            slot[1] = 1;
        }
        at(local(p.y, p.m, p.d + 5, 12));
        char buf[16];
        snprintf(buf, sizeof buf, "%04d%02d%02d", p.y, p.m, p.d);
        date = buf;
    }
    void TearDown() override {
        if (c) cntdata_destroy(c.get());
        CountEnv::TearDown();
    }
    std::string get(ExportKind kind, const std::string &res) {
        return build(kind, c.get(), ("&date=" + date + "&res=" + res).c_str());
    }
};

int sum_first_type_csv(const std::vector<std::string> &rows) {
    int sum = 0;
    for (size_t i = 1; i < rows.size(); i++) {
        size_t p = rows[i].find(",\"Shop");
        p = rows[i].find("\",", p) + 2;
        sum += atoi(rows[i].c_str() + p);
    }
    return sum;
}

TEST_P(ExportDst, CsvHourlyAndDailyFollowTheRealDayLength) {
    const DstDay &p = GetParam();
    std::vector<std::string> hourly = lines_of(get(EXPORT_CSV, "1h"));
    EXPECT_EQ(hourly.size(), 1u + size_t(p.hours));
    EXPECT_EQ(sum_first_type_csv(hourly), p.hours * 4);
    std::vector<std::string> daily = lines_of(get(EXPORT_CSV, "24h"));
    ASSERT_EQ(daily.size(), 2u);
    EXPECT_EQ(daily[1].substr(0, 40), date.substr(0, 4) + "-" + date.substr(4, 2) + "-" +
                                          date.substr(6, 2) + " 00:00:00," +
                                          lines_of(get(EXPORT_CSV, "1h")).back().substr(20, 20));
    EXPECT_EQ(sum_first_type_csv(daily), p.hours * 4);
    EXPECT_EQ(count_of(get(EXPORT_XML, "1h"), "<cntgroup "), size_t(p.hours));
    std::string xml_day = get(EXPORT_XML, "24h");
    EXPECT_EQ(count_of(xml_day, "<cntgroup "), 1u);
    EXPECT_NE(xml_day.find(">" + std::to_string(p.hours * 4) + "</cnt>"), std::string::npos);
}

TEST_P(ExportDst, JsonMergesTheRepeatedHour) {
    const DstDay &p = GetParam();
    for (const char *res : {"1h", "15m", "24h"}) {
        nlohmann::json j = nlohmann::json::parse(get(EXPORT_JSON, res));
        int total = 0;
        std::string previous;
        for (const auto &[key, value] : j["data"].items()) {
            EXPECT_GT(key, previous) << "bucket ends are unique and increasing";
            previous = key;
            total += value[0].get<int>();
        }
        EXPECT_EQ(total, p.hours * 4) << res;
        if (std::string(res) == "1h") {
            EXPECT_EQ(j["data"].size(), size_t(std::min(p.hours, 24)));
        }
    }
    if (p.hours == 25) {
        // The hour after the change holds both passes of the repeated clock hour.
        nlohmann::json j = nlohmann::json::parse(get(EXPORT_JSON, "1h"));
        std::string key = date + (std::string(p.tz) == "America/New_York" ? "020000" : "030000");
        EXPECT_EQ(j["data"][key][0], 8);
        nlohmann::json q = nlohmann::json::parse(get(EXPORT_JSON, "15m"));
        EXPECT_EQ(q["data"].size(), 96u);
        std::string quarter =
            date + (std::string(p.tz) == "America/New_York" ? "011500" : "021500");
        EXPECT_EQ(q["data"][quarter][0], 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Days, ExportDst,
                         ::testing::Values(DstDay{"Europe/Stockholm", 2026, 3, 29, 23},
                                           DstDay{"Europe/Stockholm", 2026, 10, 25, 25},
                                           DstDay{"America/New_York", 2026, 3, 8, 23},
                                           DstDay{"America/New_York", 2026, 11, 1, 25},
                                           DstDay{"America/New_York", 2026, 6, 10, 24}));

}  // namespace
