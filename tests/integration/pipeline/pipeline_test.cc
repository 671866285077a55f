// Runs the real mevo in a fresh root on the synthetic walkers in offline clock mode and reads
// its live, count and track endpoints over HTTP with Digest authentication.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "digest_get.h"
#include "run_util.h"

namespace {
constexpr const char *kUser = "ada";
constexpr const char *kPassword = "walk3rs-Pass";

using testrun::Response;

class Pipeline : public ::testing::Test {
  protected:
    testrun::Root root{"pipeline"};
    std::string log = root.path + "/run.log";
    std::string base;

    void SetUp() override {
        ASSERT_TRUE(root.lay_out());
        SpawnResult r = root.add_admin(kUser, kPassword);
        ASSERT_EQ(r.status, 0) << r.output;
        // The first start names the counter (a synced write): it restarts after one frame.
        testrun::Child first = run({"MEVO_SOURCE=synthetic:walkers"}, root.path + "/first.log");
        ASSERT_TRUE(first.wait_for(60));
        ASSERT_TRUE(first.exited_with(0)) << testrun::read_file(root.path + "/first.log");
        std::remove((root.path + "/tmp/mevo-http.addr").c_str());
    }

    testrun::Child run(std::vector<std::string> env, const std::string &to) {
        env.push_back("MEVO_ROOT=" + root.path);
        env.push_back("MEVO_CLOCK=source");
        env.push_back("MEVO_HTTP=127.0.0.1:0");
        return testrun::Child({root.package() + "/mevo"}, env, to, root.package());
    }

    Response get(const std::string &api) {
        return testrun::digest_get(base + "/local/mevo/apiadmin?" + api, kUser, kPassword);
    }
};

nlohmann::json parse(const Response &r) {
    return nlohmann::json::parse(r.body, nullptr, false);
}
}  // namespace

TEST_F(Pipeline, ServesLiveCountAndTrackEndpointsWhileRunningAndShutsDownInOrder) {
    testrun::Child mevo = run({"MEVO_SOURCE=synthetic:walkers", "MEVO_SOURCE_LOOP=1"}, log);
    ASSERT_TRUE(testrun::wait_for_text(log, "mevo: frame 100: ", 300)) << testrun::read_file(log);
    std::string addr = testrun::read_file(root.path + "/tmp/mevo-http.addr");
    ASSERT_FALSE(addr.empty()) << testrun::read_file(log);
    while (!addr.empty() && (addr.back() == '\n' || addr.back() == '\r')) addr.pop_back();
    base = "http://" + addr;

    Response fps = get("fps.json&variable=fps");
    EXPECT_EQ(fps.status, 200);
    EXPECT_EQ(fps.body.rfind("var fps = {\n\t\"fps\":", 0), 0u) << fps.body;

    Response lowres = get("lowres.json");
    ASSERT_EQ(lowres.status, 200);
    auto preview = parse(lowres);
    ASSERT_TRUE(preview.is_object()) << lowres.body;
    // The default capture is 1280 x 720: one character per 20 x 20 pixels.
    EXPECT_EQ(preview["width"], 64);
    EXPECT_EQ(preview["height"], 36);
    EXPECT_EQ(preview["data0"].get<std::string>().size(), 64u * 36u);

    for (const char *api : {"gender-live.json", "viz.json", "live-sum.json"}) {
        Response r = get(api);
        EXPECT_EQ(r.status, 200) << api;
        EXPECT_TRUE(parse(r).is_object()) << api << ": " << r.body;
    }
    Response ended = get("tracks-ended.json&time=abc");
    EXPECT_EQ(ended.status, 200);
    EXPECT_TRUE(parse(ended).contains("ended")) << ended.body;
    Response both = get("tracks-live-and-ended.json&time=60");
    auto both_doc = parse(both);
    EXPECT_TRUE(both_doc.contains("live") && both_doc.contains("ended")) << both.body;
    Response day = get("day.xml");
    EXPECT_EQ(day.status, 200);
    EXPECT_NE(day.headers.find("application/xml; charset=UTF-8"), std::string::npos) << day.headers;
    Response zoom = get("update_zoom.json&dZoom=10000");
    EXPECT_EQ(zoom.body, "{\n\t\"zoom\":\"FAILED\"\n}\n");

    kill(mevo.pid, SIGTERM);
    ASSERT_TRUE(mevo.wait_for(60));
    EXPECT_TRUE(mevo.exited_with(0));
    std::string text = testrun::read_file(log);
    EXPECT_NE(text.find("[tracks-ended] Malformed time-parameter: abc"), std::string::npos);
    std::string missing;
    EXPECT_NE(testrun::find_in_order(
                  text,
                  {"mevo: Before main loop", "mevo: track rec destroy", "mevo: tracker destroy",
                   "mevo: trackbuffer destroy", "mevo: cntdata destroy", "mevo: Exiting."},
                  0, &missing),
              std::string::npos)
        << "missing '" << missing << "' in\n"
        << text;
}
