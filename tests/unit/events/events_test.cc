#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "events/events.h"

namespace fs = std::filesystem;

namespace {
class EventsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mevo-events-XXXXXX";
        root_ = mkdtemp(tmpl);
        setenv("MEVO_ROOT", root_.c_str(), 1);
        mevo_root_reset_for_tests();
        file_mkdir_p(mevo_package_dir());
        log_set_stderr(false);
    }
    void TearDown() override {
        fs::remove_all(root_);
        unsetenv("MEVO_ROOT");
        mevo_root_reset_for_tests();
    }
    // The events.jsonl lines of sent events, as their topic1 values.
    std::vector<std::string> sent_topics() {
        std::vector<std::string> topics;
        std::ifstream in(root_ + "/var/log/events.jsonl");
        std::string line;
        while (std::getline(in, line)) {
            auto j = nlohmann::json::parse(line);
            if (j["type"] == "event") topics.push_back(j["topics"]["tnsveka:topic1"]);
        }
        return topics;
    }
    std::string root_;
};

std::string load_error(const std::string &text) {
    EventRules rules;
    return std::to_string(events_load_text(&rules, text.data(), text.size()));
}

EventTrackView person(int id, double gender_mean, double age, int observations = 10) {
    return {id, gender_mean * observations, age * observations, double(observations)};
}
}  // namespace

TEST_F(EventsTest, DefaultRulesLoadInOrderAndAreValidJson) {
    const char *text = events_default_text();
    EXPECT_TRUE(nlohmann::json::accept(text));
    EXPECT_NE(text[strlen(text) - 1], '\n');
    EventRules rules;
    ASSERT_EQ(events_load_text(&rules, text, strlen(text)), 4);
    std::vector<std::string> names;
    for (auto &r : rules.rules) names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{"male", "female", "any_0_30", "any_31_plus"}));
    EXPECT_EQ(rules.rules[0].gender, 1);
    EXPECT_EQ(rules.rules[1].gender, -1);
    EXPECT_EQ(rules.rules[3].min_age, 31);
    EXPECT_EQ(rules.rules[3].t_max, -99);
}

TEST_F(EventsTest, LoaderRejectsBadFiles) {
    std::string many = "{";
    for (int i = 0; i < 120; ++i) many += "\"k" + std::to_string(i) + "\":1,";
    many += "\"end\":1}";
    struct Case {
        const char *why;
        std::string text;
    } cases[] = {
        {"malformed", "{\"a\":{\"gender\":\"male\"]}"},
        {"truncated", "{\"a\":{\"gender\":\"male\""},
        {"too many tokens", many},
        {"rule in a rule", "{\"a\":{\"b\":{\"gender\":\"male\"}}}"},
        {"unknown rule key", "{\"a\":{\"colour\":1}}"},
        {"unknown global key", "{\"colour\":1,\"a\":{\"t_min\":1}}"},
        {"unknown gender", "{\"a\":{\"gender\":\"robot\"}}"},
        {"not an object", "[1,2]"},
    };
    for (const auto &c : cases) EXPECT_EQ(load_error(c.text), "-1") << c.why;
}

TEST_F(EventsTest, BadNumbersBecomeMinus99WithoutFailing) {
    EventRules rules;
    std::string text =
        "{\"fallback\":\"x\",\"r\":{\"t_min\":\"5s\",\"min_age\":\"\",\"max_age\":-99,"
        "\"event_order\":\"7\",\"json_version\":3}}";
    ASSERT_EQ(events_load_text(&rules, text.data(), text.size()), 1);
    EXPECT_EQ(rules.fallback, -99);
    EXPECT_EQ(rules.rules[0].t_min, -99);
    EXPECT_EQ(rules.rules[0].min_age, -99);
    EXPECT_EQ(rules.rules[0].max_age, -99);
    EXPECT_EQ(rules.rules[0].event_order, 7);
}

TEST_F(EventsTest, RulesSortByEventOrderKeepingFileOrderForTies) {
    EventRules rules;
    std::string text =
        "{\"c\":{\"event_order\":2},\"a\":{\"event_order\":1},\"b\":{\"event_order\":2},\"d\":{}}";
    ASSERT_EQ(events_load_text(&rules, text.data(), text.size()), 4);
    std::string order;
    for (auto &r : rules.rules) order += r.name;
    EXPECT_EQ(order, "acbd");
}

TEST_F(EventsTest, ValidationMessages) {
    struct Case {
        const char *text;
        const char *verdict;
    } cases[] = {
        {"{\"a\":{\"t_min\":1}}", "OK"},
        {"{\"a\":{\"t_min\":1,\n  }}", "ERROR: Invalid use of comma"},
        {"{\"a\":{\"t_min\":1}", "ERROR: Incomplete json"},
        {"{\"a\" 1}", "ERROR: Invalid json"},
        {"{\"a\":{\"t_min\":1}}}", "ERROR: Invalid json"},
    };
    for (const auto &c : cases) EXPECT_STREQ(events_validate(c.text, strlen(c.text)), c.verdict);
}

TEST_F(EventsTest, TopicValuesAreCamelCasedWithoutSpaces) {
    EXPECT_EQ(events_topic_value("Demographics", "any_0_30"), "Demographics-any_0_30");
    EXPECT_EQ(events_topic_value("Demographics", "young men"), "Demographics-youngMen");
    EXPECT_EQ(events_topic_value("Demographics", "a  b c"), "Demographics-aBC");
}

TEST_F(EventsTest, TriggerFollowsRisesHoldOffAndGenderZeroAsFemale) {
    ASSERT_EQ(ov_event_init("mevo"), 0);
    EventRules rules;
    std::string text =
        "{\"male\":{\"gender\":\"male\",\"t_min\":0,\"event_order\":1},"
        "\"women\":{\"gender\":\"female\",\"t_min\":10,\"event_order\":2},"
        "\"young men\":{\"gender\":\"male\",\"max_age\":30,\"event_order\":3}}";
    ASSERT_EQ(events_load_text(&rules, text.data(), text.size()), 3);
    for (auto &r : rules.rules) ASSERT_EQ(ov_event_declare(&r, "Demographics"), 0);

    EventTrackView man1 = person(1, 50, 40), man2 = person(2, 60, 25);
    EventTrackView tentative = person(0, 50, 40), neutral = person(3, 0, 40);
    time_t t = 1000;
    // Two men one after the other: "male" fires twice; a tentative track never counts.
    EXPECT_EQ(events_trigger_pass(&rules, &man1, 1, t), 1);
    EXPECT_EQ(events_trigger_pass(&rules, nullptr, 0, ++t), 0);
    EventTrackView second[] = {man2, tentative};
    EXPECT_EQ(events_trigger_pass(&rules, second, 2, ++t), 1);
    // "male" set the hold-off to now (t_min 0), which holds the later rules of the same pass;
    // their rise is kept and fires on the next pass.
    EXPECT_EQ(events_trigger_pass(&rules, second, 2, ++t), 1);

    // A mean gender of exactly 0 is a woman; "women" holds every rule off for 10 s.
    EXPECT_EQ(events_trigger_pass(&rules, &neutral, 1, ++t), 1);
    time_t hold_end = t + 10;
    EXPECT_EQ(events_trigger_pass(&rules, &man1, 1, ++t), 0);  // rise during hold-off
    EXPECT_EQ(events_trigger_pass(&rules, &man1, 1, hold_end), 0);
    EXPECT_EQ(events_trigger_pass(&rules, &man1, 1, hold_end + 1), 1);  // fires once after

    EXPECT_EQ(sent_topics(), (std::vector<std::string>{"Demographics-male", "Demographics-male",
                                                       "Demographics-youngMen",
                                                       "Demographics-women", "Demographics-male"}));
}

TEST_F(EventsTest, EndpointRepliesAndNeverTouchesRunningRules) {
    int len = 0;
    std::string path = mevo_path(EVENTS_FILE);
    std::string r = events_json_handler(nullptr, "", &len);
    EXPECT_EQ(r, "{\"json\":\"\",\"status\":\"NO_FILE\"}");
    EXPECT_EQ(size_t(len), r.size());

    r = events_json_handler(nullptr, "&default=yes&json={bad", &len);
    auto j = nlohmann::json::parse(r);
    EXPECT_EQ(j["status"], "OK");
    EXPECT_EQ(j["json"].size(), 5u);

    r = events_json_handler(nullptr, "&json={\"a\":{\"t_min\":1,}}", &len);
    EXPECT_EQ(r, "{\"status\":\"JSON_ERROR\", \"msg\":\"ERROR: Invalid use of comma\"}");
    r = events_json_handler(nullptr, "&json={\"a\":{\"x\":1}}&save=yes", &len);
    EXPECT_EQ(r, "{\"status\":\"SETUP_ERROR\", \"msg\":\"\"}");
    EXPECT_FALSE(file_exists(path));

    std::string rules = "{\"a\":{\"t_min\":1},\"b\":{}}";
    r = events_json_handler(nullptr, ("&json=" + rules).c_str(), &len);
    EXPECT_EQ(r, "{\"status\":\"OK\", \"msg\":\"2\"}");
    EXPECT_FALSE(file_exists(path));  // validated only
    r = events_json_handler(nullptr, ("&json=" + rules + "&save=yes").c_str(), &len);
    EXPECT_EQ(r, "{\"status\":\"OK\", \"msg\":\"2\"}");
    std::string saved;
    ASSERT_EQ(file_read_all(path, saved), 0);
    EXPECT_EQ(saved, rules);
    r = events_json_handler(nullptr, "", &len);
    EXPECT_EQ(nlohmann::json::parse(r)["default"], "no");
}

TEST_F(EventsTest, InitReplacesABadFileWithTheDefault) {
    std::string path = mevo_path(EVENTS_FILE);
    const char *nested = "{\"a\":{\"b\":{}}}";
    ASSERT_EQ(file_write_atomic(path, nested, strlen(nested)), 0);
    EXPECT_EQ(events_init(nullptr, nullptr, nullptr), 0);
    events_close();
    std::string now;
    ASSERT_EQ(file_read_all(path, now), 0);
    EXPECT_EQ(now, events_default_text());
}
