#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "common/clock.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "count/track_buffer.h"
#include "params/param.h"
#include "report/datamanager_post.h"
#include "report/ov_reporting.h"
#include "report/webreport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {
int fixed_random() {
    return 1000;
}  // mod (jitter + 1) picks a known part of the jitter

TEST(RetrySchedule, WaitsFollowBaseJitterAndShift) {
    struct Case {
        int base, k;
        time_t wait;
    } cases[] = {
        // Forced schedule: base 660, jitter 220 (1000 % 221 = 116), shift at most 3.
        {0, -1, 0},
        {0, 0, 660},
        {0, 1, 116},
        {0, 2, 660 + 116},
        {3600, 5, 660 * 8 + 116},
        {3600, 9, 660 * 8 + 116},
        // Base 600: jitter 200 (1000 % 201 = 196); shift is bit_length(5) = 3.
        {600, 0, 600},
        {600, 1, 196},
        {600, 3, 1200 + 196},
        {600, 5, 4800 + 196},
        {600, 40, 4800 + 196},
    };
    for (const auto &c : cases) {
        OvReporting r;
        ov_reporting_init(&r, c.base);
        EXPECT_EQ(ov_reporting_next(&r, c.k, 1000000, fixed_random) - 1000000, c.wait)
            << "base " << c.base << " k " << c.k;
    }
    OvReporting r;
    ov_reporting_init(&r, 600);
    EXPECT_EQ(r.jitter, 200);
    EXPECT_EQ(r.max_shift, 3);
}

TEST(PostClient, MalformedArgumentsGetTheirTexts) {
    struct Case {
        const char *args, *reply;
    } cases[] = {
        {"&name=&pass=", "Syntax error! (no url)"},
        {"&cmethod=POST&url=http://127.0.0.1:1/x", "Syntax error (no post data)!"},
        {"&cmethod=post&url=http://127.0.0.1:1/x", "Syntax error (no post data)!"},
        {"&proxy=p&proxyport=1&url=http://127.0.0.1:1/x", "Incomplete proxy settings!"},
        {"&url=ftp://host/x", "Bad url!"},
        {"&url=127.0.0.1/x", "Bad url!"},
        {"&url=http://127.0.0.1:1/x", "Open failed!"},  // nothing listens on port 1
    };
    for (const auto &c : cases) {
        std::string reply;
        datamanager_post(c.args, 5, &reply);
        EXPECT_EQ(reply, c.reply) << c.args;
    }
}

TEST(VersionReply, MajorAndMinor) {
    int major = 0, minor = 0;
    ASSERT_TRUE(webreport_parse_version("{\"version\":\"3.12\"}", &major, &minor));
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 12);
    ASSERT_TRUE(webreport_parse_version("{\"version\":\"4\"}", &major, &minor));
    EXPECT_EQ(major, 4);
    EXPECT_EQ(minor, -1);
    EXPECT_FALSE(webreport_parse_version("{\"version\":\"x\"}", &major, &minor));
    EXPECT_FALSE(webreport_parse_version("Open failed!", &major, &minor));
}

// A temporary root with a parameter store, and the test server as a child process.
class ReportServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mevo-report-XXXXXX";
        root_ = mkdtemp(tmpl);
        setenv("MEVO_ROOT", root_.c_str(), 1);
        mevo_root_reset_for_tests();
        for (const char *d : {"/tmp", "/etc", "/var/log", "/usr/local/packages/mevo/localdata"})
            file_mkdir_p(mevo_path(d));
        // The store is seeded from the package's defaults and the host camera profile.
        std::string pkg = mevo_package_dir();
        file_mkdir_p(pkg + "/host");
        ASSERT_EQ(
            file_copy(MEVO_SOURCE_DIR "/package/param.conf.default", pkg + "/param.conf.default"),
            0);
        ASSERT_EQ(file_copy(MEVO_SOURCE_DIR "/package/host/camera-profile.conf",
                            pkg + "/host/camera-profile.conf"),
                  0);
        log_set_stderr(false);
        ov_param_reset_for_tests();
        ASSERT_EQ(ov_param_init(nullptr), 0);
        set("WebReportUpload.Enabled", "1");
        set("WebReportUpload.Version", "2");
        set("WebReportUpload.User", "user");
        set("WebReportUpload.Pass", "se\"cret");
        set("WebReportUpload.WaitTimeSend", "600");
        set("Counter.Name", "door");
    }
    void TearDown() override {
        stop_server();
        ov_param_reset_for_tests();
        fs::remove_all(root_);
        unsetenv("MEVO_ROOT");
        mevo_root_reset_for_tests();
    }
    void set(const char *name, const char *value) { ov_param_set_ex(name, value, 0); }

    void start_server(std::vector<std::string> extra = {}, bool tls = false) {
        std::string port_file = root_ + "/port";
        unlink(port_file.c_str());  // a restarted server writes its new port
        std::vector<std::string> argv = {REPORT_SERVER, "--port-file", port_file, "--record",
                                         root_ + "/received.jsonl"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (tls) {
            SpawnOptions quiet;
            quiet.capture_output = true;
            quiet.merge_stderr = true;
            auto r = spawn_run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                "-keyout", root_ + "/key.pem", "-out", root_ + "/cert.pem", "-days",
                                "1", "-subj", "/CN=127.0.0.1"},
                               quiet);
            ASSERT_EQ(r.status, 0) << r.output;
            argv.insert(argv.end(),
                        {"--tls-cert", root_ + "/cert.pem", "--tls-key", root_ + "/key.pem"});
        }
        server_ = spawn_detached(argv);
        ASSERT_GT(server_, 0);
        for (int i = 0; i < 100 && !file_exists(port_file); ++i) std::this_thread::sleep_for(50ms);
        std::string port;
        ASSERT_EQ(file_read_all(port_file, port), 0);
        url_ = std::string(tls ? "https" : "http") +
               "://127.0.0.1:" + std::to_string(atoi(port.c_str()));
        set("WebReportUpload.Url", url_.c_str());
    }
    void stop_server() {
        if (server_ > 0) {
            kill(server_, SIGKILL);
            waitpid(server_, nullptr, 0);
            server_ = -1;
        }
    }
    void control(const std::string &query) {
        std::string reply;
        datamanager_post("&url=" + url_ + "/control?" + query, 5, &reply);
        ASSERT_EQ(reply, "ok");
    }
    std::vector<std::string> received(const char *method) {
        std::vector<std::string> docs;
        std::ifstream in(root_ + "/received.jsonl");
        std::string line;
        std::string plain = std::string("\"method\":\"") + method + "\"";
        std::string encrypted = std::string("\"method\":\"") + method + " encrypted\"";
        while (std::getline(in, line))
            if (line.find(plain) != std::string::npos || line.find(encrypted) != std::string::npos)
                docs.push_back(line);
        return docs;
    }

    std::string root_, url_;
    pid_t server_ = -1;
};

int buffer_rows(void *ctx, char *out, size_t cap, double start, double end) {
    return track_buffer_rows(static_cast<track_buffer *>(ctx), out, cap, start, end);
}

void add_track(track_buffer *tb, double t_end, int id) {
    track_record r{t_end - 1, t_end, 1, 30, 40, id};
    track_buffer_add(tb, &r);
    track_buffer_sync(tb);
}
}  // namespace

TEST_F(ReportServerTest, UploadsEverythingThenOnlyWhatIsNewAndIdentifies) {
    start_server();
    track_buffer *tb = track_buffer_init(100);
    ASSERT_TRUE(tb && tb->ready);
    add_track(tb, 100.5, 1);
    add_track(tb, 200.25, 2);
    WebReportSources src;
    src.rows = buffer_rows;
    src.rows_ctx = tb;
    WebReportServer server;
    ASSERT_TRUE(webreport_pass(src, &server));
    EXPECT_EQ(server.major, 4);
    char first[4096], second[4096];
    int n1 = track_buffer_rows(tb, first, sizeof first, 0, 1e12);
    add_track(tb, 300.0, 3);
    ASSERT_TRUE(webreport_pass(src, &server));

    // Each upload carries exactly what the track buffer writes for the window after the
    // server's last saved time.
    int n2 = track_buffer_rows(tb, second, sizeof second, 200.25, 1e12);
    auto adds = received("demographics.add");
    ASSERT_EQ(adds.size(), 2u);
    auto doc = [](const std::string &line) {
        return nlohmann::json::parse(line)["document"].get<std::string>();
    };
    std::string rows1(first, size_t(n1)), rows2(second, size_t(n2));
    EXPECT_NE(doc(adds[0]).find(rows1.substr(rows1.find("\"data_struct\""))), std::string::npos);
    EXPECT_NE(doc(adds[1]).find(rows2.substr(rows2.find("\"data_struct\""))), std::string::npos);
    EXPECT_EQ(doc(adds[1]).find("100.5"), std::string::npos);  // already saved
    EXPECT_TRUE(nlohmann::json::accept(doc(adds[0])));
    for (const auto &line : adds) EXPECT_NE(line.find(" encrypted\""), std::string::npos);

    // The identity deciphers to user, password, camera name and serial; a quote in the
    // password stays a valid JSON string inside the document.
    auto identity = nlohmann::json::parse(adds[0])["identity"];
    EXPECT_EQ(identity[0], "user");
    EXPECT_EQ(identity[1], "se\"cret");
    EXPECT_EQ(identity[2], "door demographics");
    EXPECT_EQ(identity[3], ov_param_get_serial());
    EXPECT_EQ(nlohmann::json::parse(doc(adds[0]))["pass"], "se\"cret");
    EXPECT_EQ(received("demographics.getLastSavedDataTime").size(), 2u);
    track_buffer_free(tb);
}

TEST_F(ReportServerTest, ServerVersionsAndUploadReplies) {
    start_server({"--version", "3.0"});
    WebReportSources src;
    WebReportServer old_server;
    EXPECT_FALSE(webreport_pass(src, &old_server));
    EXPECT_TRUE(old_server.too_old);
    EXPECT_TRUE(received("demographics.add").empty());

    for (const char *version : {"3.1", "4.2"}) {
        control(std::string("version=") + version);
        WebReportServer server;
        EXPECT_TRUE(webreport_pass(src, &server)) << version;
    }
    control("mode=upper-ok");
    WebReportServer server;
    EXPECT_FALSE(webreport_pass(src, &server));
    control("mode=error");
    EXPECT_FALSE(webreport_pass(src, &server));
}

TEST_F(ReportServerTest, HttpsNeedsATrustedCertificateOrInsecureMode) {
    start_server({}, true);
    WebReportSources src;
    WebReportServer refused;
    EXPECT_FALSE(webreport_pass(src, &refused));
    EXPECT_EQ(refused.major, -1);
    set("WebReportUpload.AllowInsecure", "1");
    WebReportServer accepted;
    EXPECT_TRUE(webreport_pass(src, &accepted));
}

TEST_F(ReportServerTest, SettingsFlagAndSettingsUpload) {
    start_server({"--settings-flag", "1"});
    WebReportSources src;
    src.settings = [] { return std::string("{\"Counter.Name\":\"door\"}"); };
    int flag = -1;
    ASSERT_EQ(webreport_get_settings_flag(src, &flag), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(webreport_send_settings(src), 0);
    auto settings = received("demographics.settings");
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_NE(settings[0].find("Counter.Name"), std::string::npos);
    set("WebReportUpload.Version", "1");
    EXPECT_EQ(webreport_get_settings_flag(src, &flag), -3);
}

TEST_F(ReportServerTest, ASilentServerHoldsOnlyTheUploaderAndExitStopsIt) {
    start_server({"--mode", "silent"});
    WebReportSources src;
    std::atomic<int32_t> exit_request{0};
    ASSERT_EQ(webreport_start(src, &exit_request), 0);
    std::this_thread::sleep_for(300ms);  // the first pass is now waiting on the server
    auto begin = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    // The main thread is free meanwhile; cleanup returns once the request times out at most.
    std::thread stopper([&] {
        webreport_cleanup();
        done = true;
    });
    stopper.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(exit_request.load(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

TEST(UploadDocument, UtcOffsetFollowsTheCameraZone) {
    struct Case {
        const char *zone;
        int offset;
    } cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", 7200},  // one hour east, plus the daylight hour
        {"UTC0", 0},
        {"EST5EDT,M3.2.0,M11.1.0", -14400},
        {"<+0530>-5:30", 19800},
        {"<-03>3", -10800},
    };
    setenv("TZ", "Asia/Tokyo", 1);  // the process's own zone must not matter
    tzset();
    for (const Case &c : cases) {
        WebReportConfig cfg;
        cfg.timezone = c.zone;
        auto doc = nlohmann::json::parse(webreport_upload_document(cfg, WebReportSources{}, 0, 1));
        EXPECT_EQ(doc["timezone"], c.zone);
        EXPECT_EQ(doc["utc_offset"], c.offset) << c.zone;
    }
    unsetenv("TZ");
    tzset();
}

// The server answers the newest t_end it stored for the camera, also after a restart, so an
// empty upload does not move it and no track is skipped or sent twice.
TEST_F(ReportServerTest, LastSavedTimeIsTheNewestStoredTrackAcrossServerRestarts) {
    std::vector<std::string> store = {"--store", root_ + "/store.jsonl"};
    start_server(store);
    track_buffer *tb = track_buffer_init(100);
    ASSERT_TRUE(tb && tb->ready);
    WebReportSources src;
    src.rows = buffer_rows;
    src.rows_ctx = tb;
    WebReportServer server;
    ASSERT_TRUE(webreport_pass(src, &server));  // nothing to send yet
    const double now = double(clock_now());
    add_track(tb, now - 30, 1);  // ended before that upload, appended after it
    ASSERT_TRUE(webreport_pass(src, &server));
    stop_server();
    start_server(store);
    add_track(tb, now - 20, 2);
    add_track(tb, now - 25, 3);  // ends out of order
    WebReportServer restarted;
    ASSERT_TRUE(webreport_pass(src, &restarted));
    ASSERT_TRUE(webreport_pass(src, &restarted));  // nothing new

    std::map<int, int> sent;
    std::ifstream in(root_ + "/store.jsonl");
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json stored = nlohmann::json::parse(line);
        for (const auto &row : stored["rows"]) sent[row[5].get<int>()]++;
    }
    EXPECT_EQ(sent, (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}));
    auto adds = received("demographics.add");
    ASSERT_EQ(adds.size(), 4u);
    auto last =
        nlohmann::json::parse(nlohmann::json::parse(adds[3])["document"].get<std::string>());
    EXPECT_TRUE(last["data"].empty());
    EXPECT_DOUBLE_EQ(last["utc_time_end"].get<double>(), now - 20);  // the start it was given
    track_buffer_free(tb);
}

TEST_F(ReportServerTest, ALastSavedTimeThatIsNoFiniteNumberFailsThePass) {
    start_server();
    WebReportSources src;
    for (const char *bad : {"nan", "inf", "-inf"}) {
        control(std::string("last_saved=") + bad);
        WebReportServer server;
        EXPECT_FALSE(webreport_pass(src, &server)) << bad;
    }
    EXPECT_TRUE(received("demographics.add").empty());
}

// Offline the data clock follows the recording; the waits between attempts run on real time.
TEST_F(ReportServerTest, AttemptsKeepTheirPeriodWhileTheDataClockStands) {
    start_server();
    set("WebReportUpload.WaitTimeSend", "1");
    clock_set_fixed(int64_t(1767600000) * 1000000);
    WebReportSources src;
    std::atomic<int32_t> exit_request{0};
    ASSERT_EQ(webreport_start(src, &exit_request), 0);
    auto begin = std::chrono::steady_clock::now();
    while (received("demographics.add").size() < 4 &&
           std::chrono::steady_clock::now() - begin < 60s)
        std::this_thread::sleep_for(100ms);
    webreport_cleanup();
    clock_reset();
    EXPECT_GE(received("demographics.add").size(), 4u);
    // A first pass at once, then one a second: about three seconds, far from a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
}
