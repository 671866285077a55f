#include "track/tracker_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tracker_fixture.h"

namespace {

int append(void *user, const char *bytes, size_t length) {
    static_cast<std::string *>(user)->append(bytes, length);
    return 0;
}

int refuse(void *, const char *, size_t) {
    return 1;
}

// A live track with chosen attribute sums; `id` 0 makes it tentative.
Track *add_track(Tracker *tr, int id, double gender_sum, double age_sum, double weight_sum) {
    const Measurement m = face(500.0, 300.0, 80.0);
    Track *t = track_new(&m, 1700000000.123456, &tr->config.noise);
    t->id = id;
    t->time_end = 1700000012.5;
    t->observations = 8;
    t->boxsize_sum = 8 * 80.4;
    t->gender_sum = gender_sum;
    t->age_sum = age_sum;
    t->weight_sum = weight_sum;
    t->gender_last = -1.0;
    t->age_last = 33.5;
    t->last_z = std::log(91.6);
    tr->tracks[tr->track_count++] = t;
    return t;
}

TEST(TrackerJson, EmptyTrackerGivesAnEmptyList) {
    TrackerPtr tr = startup_tracker();
    std::string out;
    ASSERT_EQ(tracker_write_live_json(tr.get(), append, &out), JSON_PRINT_OK);
    EXPECT_EQ(nlohmann::json::parse(out), nlohmann::json::parse(R"({"live":{"tracks":[]}})"));
    EXPECT_NE(out.find('\n'), std::string::npos) << "pretty layout expected";
}

TEST(TrackerJson, ListsConfirmedTracksInOrderWithTheirAverages) {
    TrackerPtr tr = startup_tracker();
    add_track(tr.get(), 3, 8.0, 8 * 41.9, 8.0);
    add_track(tr.get(), 0, 8.0, 8 * 20.0, 8.0);  // tentative: not listed
    add_track(tr.get(), 4, 0.0, 8 * 27.0, 8.0);  // undecided faces only: listed as -1
    std::string out;
    ASSERT_EQ(tracker_write_live_json(tr.get(), append, &out), JSON_PRINT_OK);
    const nlohmann::json doc = nlohmann::json::parse(out);
    const nlohmann::json &tracks = doc.at("live").at("tracks");
    ASSERT_EQ(tracks.size(), 2u);
    const nlohmann::json &first = tracks[0];
    EXPECT_EQ(first.size(), 8u);
    EXPECT_EQ(first.at("gender_average"), 1);
    EXPECT_EQ(first.at("age_average"), 41);  // truncated, not rounded
    EXPECT_EQ(first.at("boxsize_average"), 80);
    EXPECT_EQ(first.at("gender_last"), -1);
    EXPECT_EQ(first.at("age_last"), 34);
    EXPECT_EQ(first.at("boxsize_last"), 92);
    EXPECT_EQ(tracks[1].at("gender_average"), -1);
    EXPECT_EQ(tracks[1].at("age_average"), 27);
    // Times keep microseconds: printed with six decimals, in the member order of the reply.
    EXPECT_NE(out.find("\"time_start\": 1700000000.123456"), std::string::npos) << out;
    EXPECT_NE(out.find("\"time_end\": 1700000012.500000"), std::string::npos) << out;
    EXPECT_LT(out.find("\"time_start\""), out.find("\"time_end\""));
    EXPECT_LT(out.find("\"time_end\""), out.find("\"gender_average\""));
    EXPECT_LT(out.find("\"boxsize_average\""), out.find("\"gender_last\""));
    EXPECT_LT(out.find("\"age_last\""), out.find("\"boxsize_last\""));
}

TEST(TrackerJson, MemberGoesIntoTheCallersObject) {
    // The combined reply writes "live" first and another member after it.
    TrackerPtr tr = startup_tracker();
    add_track(tr.get(), 1, 1.0, 30.0, 1.0);
    std::string out;
    JsonPrinter *p = json_print_init(append, &out);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(json_print_args(p, JSON_OBJECT_BEGIN, JSON_END), JSON_PRINT_OK);
    ASSERT_EQ(tracker_print_live_json(tr.get(), p), JSON_PRINT_OK);
    ASSERT_EQ(json_print_args(p, JSON_KEY, "ended", JSON_OBJECT_BEGIN, JSON_OBJECT_END,
                              JSON_OBJECT_END, JSON_END),
              JSON_PRINT_OK);
    json_print_free(p);
    const nlohmann::json doc = nlohmann::json::parse(out);
    EXPECT_EQ(doc.at("live").at("tracks").size(), 1u);
    EXPECT_TRUE(doc.contains("ended"));
}

TEST(TrackerJson, OutputFailureIsReported) {
    TrackerPtr tr = startup_tracker();
    add_track(tr.get(), 1, 1.0, 30.0, 1.0);
    EXPECT_EQ(tracker_write_live_json(tr.get(), refuse, nullptr), JSON_PRINT_ERR_CALLBACK);
    EXPECT_EQ(tr->track_count, 1);  // printing never changes the tracker
}

}  // namespace
