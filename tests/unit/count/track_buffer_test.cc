#include "count/track_buffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <nlohmann/json.hpp>

#include "count_fixture.h"
#include "platform/json/json_print.h"

using namespace count_test;

namespace {

class TrackBufferTest : public CountEnv {
  protected:
    std::string flash() const { return mevo_path(TRACK_BUFFER_FLASH_PATH); }
    std::string mirror() const { return mevo_path(TRACK_BUFFER_MIRROR_PATH); }
};

track_record rec(double t_end, int id, double duration = 2.5) {
    track_record r{};
    r.t_start = t_end - duration;
    r.t_end = t_end;
    r.gender = id % 2 ? 1 : -1;
    r.age = int8_t(20 + id % 50);
    r.avg_boxsize = int16_t(40 + id % 30);
    r.trackid = id;
    return r;
}

std::vector<int32_t> header_of(const std::string &image) {
    std::vector<int32_t> h(3);
    memcpy(h.data(), image.data(), 12);
    return h;
}

int collect(void *user, const char *bytes, size_t n) {
    static_cast<std::string *>(user)->append(bytes, n);
    return 0;
}

// The "ended" document for [s, e] parsed, and the listed t_end values.
std::vector<double> listed(track_buffer *tb, double s, double e, nlohmann::json *doc = nullptr) {
    std::string out;
    JsonPrinter *p = json_print_init(collect, &out);
    EXPECT_EQ(track_buffer_print_json_document(tb, p, s, e), JSON_PRINT_OK);
    json_print_free(p);
    nlohmann::json j = nlohmann::json::parse(out);
    std::vector<double> v;
    for (const auto &t : j["ended"]["tracks"]) v.push_back(t["time_end"].get<double>());
    if (doc) *doc = j;
    return v;
}

std::string rows(track_buffer *tb, double s, double e, size_t cap = 1 << 20) {
    std::vector<char> buf(cap);
    int n = track_buffer_rows(tb, buf.data(), cap, s, e);
    return std::string(buf.data(), size_t(n));
}

TEST_F(TrackBufferTest, FreshStartCreatesBothFilesEmpty) {
    track_buffer *tb = track_buffer_init(TRACK_BUFFER_CAPACITY);
    ASSERT_TRUE(tb && tb->ready);
    for (const std::string &p : {flash(), mirror()}) {
        std::string image = read(p);
        ASSERT_EQ(image.size(), 480012u) << p;
        EXPECT_EQ(header_of(image), (std::vector<int32_t>{20000, 0, 0}));
        EXPECT_EQ(image.find_first_not_of('\0', 12), std::string::npos);
    }
    EXPECT_EQ(track_buffer_count(tb), 0);
    int lo, hi;
    ASSERT_EQ(track_buffer_find(tb, 5.0, &lo, &hi), 0);
    EXPECT_EQ(lo, 19999);
    EXPECT_EQ(hi, 19999);
    EXPECT_EQ(rows(tb, 100.0, 200.0),
              "\"utc_time_start\": 100.000000,\"utc_time_end\": 100.000000,\"data_struct\": "
              "[\"t_start\",\"t_end\",\"gender\",\"age\",\"avg_boxsize\",\"trackid\"],"
              "\"data\": []");
    track_buffer_free(tb);
}

TEST_F(TrackBufferTest, RingWrapsAfterCapacityAndOverwritesTheOldest) {
    track_buffer *tb = track_buffer_init(TRACK_BUFFER_CAPACITY);
    ASSERT_TRUE(tb && tb->ready);
    for (int i = 0; i < 20000; i++) {
        track_record r = rec(1000.0 + i, i + 1);
        track_buffer_add(tb, &r);
    }
    EXPECT_EQ(tb->header[1], 0);
    EXPECT_EQ(tb->header[2], 1);
    track_record r = rec(50000.0, 20001);
    track_buffer_add(tb, &r);
    track_buffer_sync(tb);
    std::string image = read(flash());
    EXPECT_EQ(header_of(image), (std::vector<int32_t>{20000, 1, 1}));
    track_record slot0;
    memcpy(&slot0, image.data() + 12, 24);
    EXPECT_EQ(slot0.trackid, 20001);
    EXPECT_EQ(read(mirror()), image);
    track_record oldest;
    ASSERT_EQ(track_buffer_get(tb, 0, &oldest), 0);
    EXPECT_EQ(oldest.trackid, 2);
    // The window across the wrap point lists slots 19998, 19999 and 0.
    EXPECT_EQ(listed(tb, 20998.0, 50000.0), (std::vector<double>{20998.0, 20999.0, 50000.0}));
    // Everything: 20000 records, oldest first, still sorted.
    std::vector<double> all = listed(tb, 0.0, 1e9);
    ASSERT_EQ(all.size(), 20000u);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    EXPECT_EQ(all.front(), 1001.0);
    track_buffer_free(tb);
}

// A wrapped ring of 8 slots: index 3, so the oldest is slot 3.
//   slot:  3   4   5   6   7   0   1   2
//   t_end: 10  20  20  30  40  40  50  60
class SmallRing : public TrackBufferTest {
  protected:
    track_buffer *tb = nullptr;
    void SetUp() override {
        TrackBufferTest::SetUp();
        tb = track_buffer_init(8);
        ASSERT_TRUE(tb && tb->ready);
        double ends[] = {1, 2, 3, 10, 20, 20, 30, 40, 40, 50, 60};
        int id = 1;
        for (double e : ends) {
            track_record r = rec(e, id++);
            track_buffer_add(tb, &r);
        }
    }
    void TearDown() override {
        track_buffer_free(tb);
        TrackBufferTest::TearDown();
    }
};

TEST_F(SmallRing, FindReturnsTheRunOrTheNeighbours) {
    struct Case {
        double x;
        int lower, upper;
    } cases[] = {
        {20, 4, 5},  // run of equal times
        {40, 7, 0},  // run crossing from the last slot to slot 0
        {25, 5, 6},  // between: newest below, oldest above
        {5, 3, 3},   // before the oldest
        {99, 2, 2},  // after the newest
        {10, 3, 3},  // exactly the oldest
    };
    for (const Case &c : cases) {
        int lo = -1, hi = -1;
        ASSERT_EQ(track_buffer_find(tb, c.x, &lo, &hi), 0);
        EXPECT_EQ(lo, c.lower) << "x=" << c.x;
        EXPECT_EQ(hi, c.upper) << "x=" << c.x;
    }
}

TEST_F(SmallRing, LiveListingHasInclusiveEndsAndExactWindows) {
    using V = std::vector<double>;
    EXPECT_EQ(listed(tb, 20, 40), (V{20, 20, 30, 40, 40}));
    EXPECT_EQ(listed(tb, 21, 39), (V{30}));
    EXPECT_EQ(listed(tb, 0, 1000), (V{10, 20, 20, 30, 40, 40, 50, 60}));
    EXPECT_EQ(listed(tb, 61, 70), V{}) << "start after the newest";
    EXPECT_EQ(listed(tb, 1, 5), V{}) << "window before the oldest";
    EXPECT_EQ(listed(tb, 31, 39), V{}) << "gap between records";
    EXPECT_EQ(listed(tb, 40, 30), V{}) << "end before start";
    nlohmann::json doc;
    listed(tb, 50, 50, &doc);
    EXPECT_EQ(doc["ended"]["time_start"], 50.0);
    const auto &t = doc["ended"]["tracks"][0];
    EXPECT_EQ(t["time_start"], 47.5);
    EXPECT_EQ(t["gender_average"], -1);
    EXPECT_EQ(t["age_average"], 30);
    EXPECT_EQ(t["boxsize_average"], 40 + 10 % 30);
    EXPECT_FALSE(t.contains("trackid"));
}

TEST_F(SmallRing, UploaderRowsHaveAnExclusiveStart) {
    const std::string head =
        "\"data_struct\": [\"t_start\",\"t_end\",\"gender\",\"age\",\"avg_boxsize\",\"trackid\"],"
        "\"data\": [";
    EXPECT_EQ(rows(tb, 20, 40),
              "\"utc_time_start\": 30.000000,\"utc_time_end\": 40.000000," + head +
                  "[27.500000,30.000000,1,27,47,7],[37.500000,40.000000,-1,28,48,8],"
                  "[37.500000,40.000000,1,29,49,9]]");
    // Everything already sent: start and end both at s.
    EXPECT_EQ(rows(tb, 60, 100),
              "\"utc_time_start\": 60.000000,\"utc_time_end\": 60.000000," + head + "]");
    // First upload of a wrapped ring: all eight.
    nlohmann::json j = nlohmann::json::parse("{" + rows(tb, 0, 100) + "}");
    EXPECT_EQ(j["data"].size(), 8u);
    EXPECT_EQ(j["utc_time_start"], 10.0);
    EXPECT_EQ(j["utc_time_end"], 60.0);
    EXPECT_EQ(j["data"][7][5], 11);
}

TEST_F(SmallRing, RowsThatDoNotFitAreLeftOutWholeAndResumeNextTime) {
    std::string full = rows(tb, 0, 100);
    std::string cut = rows(tb, 0, 100, full.size() - 5);
    nlohmann::json j = nlohmann::json::parse("{" + cut + "}");
    ASSERT_EQ(j["data"].size(), 7u);
    EXPECT_EQ(j["utc_time_end"], 50.0);
    nlohmann::json rest = nlohmann::json::parse("{" + rows(tb, 50, 100) + "}");
    ASSERT_EQ(rest["data"].size(), 1u);
    EXPECT_EQ(rest["data"][0][1], 60.0);
}

// An uploader that resumes after the "utc_time_end" of its last upload receives every record
// exactly once, though records arrive with their end times out of order and some only after
// an upload passed their end time while they were still being followed.
TEST_F(TrackBufferTest, UploadsResumedAfterTheirEndSendEveryRecordOnce) {
    track_buffer *tb = track_buffer_init(TRACK_BUFFER_CAPACITY);
    ASSERT_TRUE(tb && tb->ready);
    struct Step {
        std::vector<double> appended;  // t_end of the records the frame loop adds
        double settled;                // earliest end of a track still followed
        double now;                    // upload time
    } steps[] = {
        {{}, 105, 110},  // nothing stored yet: a person seen until 105 is still followed
        {{105, 101, 130}, 129.5, 131},  // inverted pair; 130 waits for the track of 129.5
        {{}, 129.5, 141},               // nothing new to send: the end stays where it was
        {{129.5}, 135, 136},            // the followed track ends, before the one of 130
        {{150, 150, 150}, 150, 151},    // one more track of that frame is still followed
        {{150}, 1e300, 160},
    };
    std::map<double, int> received;
    double last_saved = 0;
    int id = 0;
    for (const Step &st : steps) {
        for (double t : st.appended) {
            track_record r = rec(t, ++id);
            track_buffer_add(tb, &r);
        }
        track_buffer_settle(tb, st.settled);
        nlohmann::json j = nlohmann::json::parse("{" + rows(tb, last_saved, st.now) + "}");
        double newest = last_saved;
        for (const auto &row : j["data"]) {
            received[row[1].get<double>()]++;
            newest = std::max(newest, row[1].get<double>());
        }
        EXPECT_EQ(j["utc_time_end"].get<double>(), newest) << "now " << st.now;
        EXPECT_LE(j["utc_time_end"].get<double>(), st.now);
        last_saved = newest;  // what a server that keeps its newest t_end answers
    }
    EXPECT_EQ(received,
              (std::map<double, int>{{101, 1}, {105, 1}, {129.5, 1}, {130, 1}, {150, 4}}));
    track_buffer_free(tb);
}

TEST_F(TrackBufferTest, ShortFlashFileIsExtendedAndItsRecordsKept) {
    file_mkdir_p(root + "/usr/local/packages/mevo/localdata");
    std::string image(12 + 10000 * 24, '\0');
    int32_t h[3] = {10000, 10000 - 1, 0};
    memcpy(image.data(), h, 12);
    for (int i = 0; i < 9999; i++) {
        track_record r = rec(100.0 + i, i + 1);
        memcpy(image.data() + 12 + 24 * i, &r, 24);
    }
    file_write_atomic(flash(), image.data(), image.size());
    track_buffer *tb = track_buffer_init(TRACK_BUFFER_CAPACITY);
    ASSERT_TRUE(tb && tb->ready);
    std::string now = read(flash());
    ASSERT_EQ(now.size(), 480012u);
    EXPECT_EQ(header_of(now), (std::vector<int32_t>{20000, 9999, 0}));
    EXPECT_EQ(now.compare(12, 9999 * 24, image, 12, 9999 * 24), 0);
    EXPECT_EQ(read(mirror()), now);
    EXPECT_EQ(track_buffer_count(tb), 9999);
    track_buffer_free(tb);
}

TEST_F(TrackBufferTest, DamagedHeaderIsNormalised) {
    struct Case {
        int32_t length, index, wrapped;
        std::vector<int32_t> expect;
    } cases[] = {
        {20000, -5, 0, {20000, 0, 0}},
        {20000, 25000, 1, {20000, 19999, 1}},
        {77, 12, 7, {20000, 12, 0}},
    };
    for (const Case &c : cases) {
        file_remove_tree(root + "/usr");
        file_remove_tree(root + "/tmp");
        file_mkdir_p(root + "/usr/local/packages/mevo/localdata");
        std::string image(480012, '\0');
        int32_t h[3] = {c.length, c.index, c.wrapped};
        memcpy(image.data(), h, 12);
        file_write_atomic(flash(), image.data(), image.size());
        track_buffer *tb = track_buffer_init(TRACK_BUFFER_CAPACITY);
        ASSERT_TRUE(tb && tb->ready);
        track_buffer_sync(tb);
        EXPECT_EQ(header_of(read(flash())), c.expect);
        EXPECT_EQ(header_of(read(mirror())), c.expect);
        track_buffer_free(tb);
    }
}

TEST_F(TrackBufferTest, MissingFlashFileIsRestoredFromTheMirror) {
    track_buffer *tb = track_buffer_init(TRACK_BUFFER_CAPACITY);
    ASSERT_TRUE(tb && tb->ready);
    for (int i = 0; i < 5; i++) {
        track_record r = rec(10.0 * (i + 1), i + 1);
        track_buffer_add(tb, &r);
    }
    track_buffer_sync(tb);
    track_buffer_free(tb);
    unlink(flash().c_str());
    tb = track_buffer_init(TRACK_BUFFER_CAPACITY);
    ASSERT_TRUE(tb && tb->ready);
    EXPECT_EQ(track_buffer_count(tb), 5);
    EXPECT_EQ(listed(tb, 20, 30), (std::vector<double>{20, 30}));
    track_buffer_free(tb);
}

TEST_F(TrackBufferTest, NotReadyBufferDoesNothing) {
    // The flash path's folder is a file: nothing can be created there.
    std::string blocker = root + "/blocker";
    file_write_atomic(blocker, "x", 1);
    track_buffer *tb =
        track_buffer_init_at(16, (blocker + "/tb.buf").c_str(), (root + "/m.buf").c_str());
    ASSERT_NE(tb, nullptr);
    EXPECT_FALSE(tb->ready);
    track_record r = rec(10, 1);
    track_buffer_add(tb, &r);
    track_buffer_sync(tb);
    EXPECT_EQ(track_buffer_count(tb), 0);
    EXPECT_EQ(listed(tb, 0, 100), std::vector<double>{});
    int lo, hi;
    EXPECT_LT(track_buffer_find(tb, 1, &lo, &hi), 0);
    track_buffer_free(tb);
}

}  // namespace
