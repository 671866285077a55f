// What real cameras send, end to end with the real program: the same people counted from an
// H.264 MP4 and from loopback RTSP (TCP, and UDP behind a login) as from the MJPEG AVI; an RTSP
// outage in a live run survived by one process; an offline run whose start-up reads the
// recording's date, not the machine's.
//
// The synthetic scene's recording always runs (our own cascade and classifier for it); the
// sample clips of ../shared/data/video run when they are there.
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "common/spawn.h"
#include "count/track_buffer.h"
#include "digest_get.h"
#include "platform/capture/synthetic.h"
#include "run_util.h"

namespace fs = std::filesystem;

namespace {
constexpr const char *kUser = "eve";
constexpr const char *kPassword = "p3ople-Pass";
constexpr const char *kRtspUser = "cam";
constexpr const char *kRtspPassword = "s3cret-pw";
// Synthetic recording: the people scene's first 560 frames (10 fps), six people and then an
// empty picture, so that everyone's track has ended before the recording does.
constexpr int kSceneFrames = 560;
constexpr int kSceneW = 640, kSceneH = 360;
constexpr long long kStart = 1767600000LL;  // Monday 2026-01-05 08:00:00 UTC

const std::string kBuild = MEVO_BUILD_DIR;

std::string build_tool(const std::string &rel) {
    return kBuild + "/" + rel;
}

// Runs a GStreamer pipeline description to its end; false on an error or after 10 minutes.
bool run_pipeline(GstElement *p) {
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstBus *bus = gst_element_get_bus(p);
    GstMessage *msg = gst_bus_timed_pop_filtered(
        bus, 600 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
    if (msg) gst_message_unref(msg);
    gst_object_unref(bus);
    gst_element_set_state(p, GST_STATE_NULL);
    return ok;
}

GstElement *parse(const std::string &desc) {
    gst_init(nullptr, nullptr);
    GError *err = nullptr;
    GstElement *p = gst_parse_launch(desc.c_str(), &err);
    if (err) {
        ADD_FAILURE() << desc << ": " << err->message;
        g_error_free(err);
    }
    return p;
}

// The synthetic recording, uncompressed in Matroska. The scene's cascade knows its faces by
// exact grey levels (flat skin, sharp edges), which lossy coding blurs; it is therefore kept
// lossless here and in its H.264 encoding.
bool write_scene_raw(const std::string &path) {
    GstElement *p = parse("appsrc name=src format=time ! matroskamux ! filesink location=" + path);
    if (!p) return false;
    GstElement *src = gst_bin_get_by_name(GST_BIN(p), "src");
    GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "GRAY8", "width",
                                        G_TYPE_INT, kSceneW, "height", G_TYPE_INT, kSceneH,
                                        "framerate", GST_TYPE_FRACTION, 10, 1, nullptr);
    g_object_set(src, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_element_set_state(p, GST_STATE_PLAYING);
    const SyntheticScene *scene = synthetic_scene_people();
    for (int i = 0; i < kSceneFrames; ++i) {
        GstBuffer *buf = gst_buffer_new_allocate(nullptr, size_t(kSceneW) * kSceneH, nullptr);
        GstMapInfo map;
        gst_buffer_map(buf, &map, GST_MAP_WRITE);
        synthetic_render(scene, i, kSceneW, kSceneH, map.data);
        gst_buffer_unmap(buf, &map);
        GST_BUFFER_PTS(buf) = GstClockTime(i) * GST_SECOND / 10;
        GST_BUFFER_DURATION(buf) = GST_SECOND / 10;
        gst_app_src_push_buffer(GST_APP_SRC(src), buf);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    gst_object_unref(src);
    bool ok = run_pipeline(p);
    gst_object_unref(p);
    return ok;
}

// The files one after the other as one H.264 MP4 (no B-frames, a key frame every 2 s, so that
// an RTSP client can start soon); quantizer 0 is lossless.
bool write_h264(const std::vector<std::string> &files, const std::string &path, int quantizer) {
    std::string desc =
        "concat name=c ! videoconvert ! x264enc speed-preset=veryfast bframes=0 "
        "key-int-max=24 pass=quant quantizer=" +
        std::to_string(quantizer) + " ! h264parse ! mp4mux ! filesink location=" + path;
    for (const std::string &file : files)
        desc += " filesrc location=" + file +
                " ! decodebin ! videoconvert ! video/x-raw,format=I420 ! c.";
    GstElement *p = parse(desc);
    if (!p) return false;
    bool ok = run_pipeline(p);
    gst_object_unref(p);
    return ok;
}

// The loopback RTSP server on a file; `port` 0 picks one (read back into `port`).
struct RtspServer {
    pid_t pid = -1;
    int port = 0;
    RtspServer(const std::string &file, int want_port, bool login) {
        int out[2];
        if (pipe(out) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            std::string p = std::to_string(want_port);
            std::string bin = build_tool("tests/integration/stream/rtsp-test-server");
            if (login)
                execl(bin.c_str(), bin.c_str(), file.c_str(), p.c_str(), kRtspUser, kRtspPassword,
                      nullptr);
            else
                execl(bin.c_str(), bin.c_str(), file.c_str(), p.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        char line[64] = {0};
        FILE *f = fdopen(out[0], "r");
        if (f && std::fgets(line, sizeof line, f)) std::sscanf(line, "port %d", &port);
        if (f) std::fclose(f);
    }
    void kill_now() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~RtspServer() { kill_now(); }
};

std::string rtsp_uri(const char *scheme, int port, bool login) {
    std::string auth = login ? std::string(kRtspUser) + ":" + kRtspPassword + "@" : "";
    return std::string(scheme) + "://" + auth + "127.0.0.1:" + std::to_string(port) + "/clip";
}

// A root for one run of the program, on the synthetic scene's models or the shipped ones.
struct RunRoot {
    testrun::Root root{"stream"};
    std::string classifier;
    bool ok = false;

    RunRoot(bool scene_models, const std::vector<std::pair<std::string, std::string>> &params) {
        if (!root.lay_out()) return;
        std::vector<std::pair<std::string, std::string>> all = {
            {"mevo.Counter0Name", "stream-test"}};  // no naming restart at the first frame
        if (scene_models) {
            const std::string models = root.package() + "/modules/lbpdetect/stable";
            SpawnOptions so;
            so.capture_output = true;
            so.merge_stderr = true;
            if (spawn_run({build_tool("tests/integration/e2e/scene-models"), models}, so).status)
                return;
            fs::remove(models + "/face20.dat");
            fs::remove(models + "/face25.dat");
            classifier = models + "/classifier.dat";
            all.insert(all.end(), {{"root.Image.I0.Appearance.Resolution", "640x360"},
                                   {"mevo.Camera0Width", "640"},
                                   {"mevo.Camera0Height", "360"},
                                   {"mevo.Detector0MinRect", "30"}});
        }
        all.insert(all.end(), params.begin(), params.end());
        for (const auto &[name, value] : all)
            if (setupctl({"set", name, value}).status != 0) return;
        ok = root.add_admin(kUser, kPassword).status == 0;
    }

    SpawnResult setupctl(const std::vector<std::string> &args) const {
        SpawnOptions so;
        so.capture_output = true;
        so.env = {"MEVO_ROOT=" + root.path};
        std::vector<std::string> argv = {root.path + "/usr/bin/setupctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return spawn_run(argv, so);
    }

    std::unique_ptr<testrun::Child> start(const std::string &source, bool offline) const {
        std::vector<std::string> env = {"MEVO_ROOT=" + root.path, "MEVO_HTTP=127.0.0.1:0",
                                        "MEVO_SOURCE=" + source, "TZ=UTC", "OMP_NUM_THREADS=1"};
        if (offline)
            env.insert(env.end(),
                       {"MEVO_CLOCK=source", "MEVO_SOURCE_START=" + std::to_string(kStart)});
        if (!classifier.empty()) env.push_back("MEVO_CLASSIFIER_FILE=" + classifier);
        return std::make_unique<testrun::Child>(std::vector<std::string>{root.package() + "/mevo"},
                                                env, log(), root.package());
    }

    std::string log() const { return root.path + "/run.log"; }

    // The counted people's genders, in the order their tracks ended ("MFM...").
    std::string genders() const {
        track_buffer *tb = track_buffer_init_at(
            TRACK_BUFFER_CAPACITY, (root.package() + "/localdata/track_buffer.buf").c_str(),
            (root.path + "/tmp/track_buffer.buf").c_str());
        std::string out;
        if (!tb || !tb->ready) return "unreadable";
        for (int i = 0; i < track_buffer_count(tb); ++i) {
            track_record r;
            if (track_buffer_get(tb, i, &r) == 0) out += r.gender > 0 ? 'M' : 'F';
        }
        track_buffer_free(tb);
        return out;
    }

    testrun::Response get(const std::string &api) const {
        std::string addr = testrun::read_file(root.path + "/tmp/mevo-http.addr");
        while (!addr.empty() && (addr.back() == '\n' || addr.back() == '\r')) addr.pop_back();
        return testrun::digest_get("http://" + addr + "/local/mevo/api?" + api, kUser, kPassword);
    }
};

std::string sorted(std::string s) {
    std::sort(s.begin(), s.end());
    return s;
}

struct Leg {
    const char *name;
    std::string source;
};

// Runs every leg at once in offline mode (each its own root) and returns the genders counted.
std::vector<std::string> count_legs(const std::vector<Leg> &legs, bool scene_models) {
    std::vector<std::unique_ptr<RunRoot>> setups;
    std::vector<std::unique_ptr<testrun::Child>> runs;
    for (const Leg &leg : legs) {
        setups.push_back(std::make_unique<RunRoot>(
            scene_models, std::vector<std::pair<std::string, std::string>>{}));
        EXPECT_TRUE(setups.back()->ok) << leg.name;
        runs.push_back(setups.back()->start(leg.source, true));
    }
    std::vector<std::string> out;
    for (size_t i = 0; i < legs.size(); ++i) {
        SCOPED_TRACE(legs[i].name);
        const bool ended = runs[i]->wait_for(900);
        EXPECT_TRUE(ended && runs[i]->exited_with(0)) << testrun::read_file(setups[i]->log());
        const std::string log = testrun::read_file(setups[i]->log());
        EXPECT_NE(log.find("end of capture source"), std::string::npos) << log;
        EXPECT_EQ(log.find("Parameters updated"), std::string::npos) << log;
        out.push_back(setups[i]->genders());
        if (out.back().empty())
            ADD_FAILURE() << "nobody counted; log end:\n"
                          << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
    }
    return out;
}

void expect_same_people(const std::vector<Leg> &legs, const std::vector<std::string> &found,
                        size_t at_least) {
    ASSERT_EQ(found.size(), legs.size());
    EXPECT_GE(found[0].size(), at_least) << legs[0].name << ": " << found[0];
    for (size_t i = 1; i < legs.size(); ++i)
        EXPECT_EQ(sorted(found[i]), sorted(found[0]))
            << legs[i].name << " against " << legs[0].name;
}

class Stream : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/mevo-stream-src-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(dir); }

    // The synthetic recording uncompressed and as lossless H.264 MP4.
    void scene_files(std::string *raw, std::string *mp4) {
        *raw = dir + "/scene.mkv";
        *mp4 = dir + "/scene.mp4";
        ASSERT_TRUE(write_scene_raw(*raw));
        ASSERT_TRUE(write_h264({*raw}, *mp4, 0));
    }
};

TEST_F(Stream, SceneCountsTheSamePeopleFromRawH264AndRtspOverTcpAndUdp) {
    std::string avi, mp4;
    scene_files(&avi, &mp4);
    RtspServer open_server(mp4, 0, false), login_server(mp4, 0, true);
    ASSERT_GT(open_server.port, 0);
    ASSERT_GT(login_server.port, 0);
    const std::vector<Leg> legs = {
        {"uncompressed", avi},
        {"H.264 MP4", mp4},
        {"RTSP over TCP", rtsp_uri("rtspt", open_server.port, false)},
        {"RTSP over UDP with a login", rtsp_uri("rtspu", login_server.port, true)},
    };
    std::vector<std::string> found = count_legs(legs, true);
    // The scene's six people, with their genders.
    expect_same_people(legs, found, 6);
    EXPECT_EQ(sorted(found[0]), "FFFMMM");
}

TEST_F(Stream, SampleClipCountsTheSamePeopleFromMjpegH264AndRtsp) {
    const std::string clip = MEVO_SOURCE_DIR "/../shared/data/video/face-demographics-walking.avi";
    if (!fs::exists(clip)) GTEST_SKIP() << "no sample clip at " << clip;
    // As scripts/count-clips does: the clip, then five seconds of empty picture, so that people
    // still in view at its end are counted.
    const std::string folder = dir + "/clip", tail = dir + "/tail.avi";
    fs::create_directory(folder);
    GstElement *p = parse(
        "videotestsrc num-buffers=60 pattern=solid-color foreground-color="
        "0xff808080 ! video/x-raw,width=480,height=270,framerate=12/1 ! "
        "jpegenc ! avimux ! filesink location=" +
        tail);
    ASSERT_TRUE(p && run_pipeline(p));
    gst_object_unref(p);
    fs::create_symlink(fs::canonical(clip), folder + "/1-clip.avi");
    fs::create_symlink(tail, folder + "/2-tail.avi");
    const std::string mp4 = dir + "/clip.mp4";
    ASSERT_TRUE(write_h264({clip, tail}, mp4, 18));
    RtspServer server(mp4, 0, false);
    ASSERT_GT(server.port, 0);
    const std::vector<Leg> legs = {
        {"MJPEG AVI", folder},
        {"H.264 MP4", mp4},
        {"RTSP over TCP", rtsp_uri("rtspt", server.port, false)},
        {"RTSP over UDP", rtsp_uri("rtspu", server.port, false)},
    };
    expect_same_people(legs, count_legs(legs, false), 2);
}

int live_people(const RunRoot &s) {
    testrun::Response r = s.get("live-sum.json");
    auto doc = nlohmann::json::parse(r.body, nullptr, false);
    if (r.status != 200 || !doc.is_object()) return -1;
    return doc.value("men tot", 0) + doc.value("women tot", 0);
}

nlohmann::json capture_stats(const RunRoot &s) {
    testrun::Response r = s.get("capture-stats.json");
    return r.status == 200 ? nlohmann::json::parse(r.body, nullptr, false) : nlohmann::json();
}

template <typename F>
bool wait_until(double seconds, F done) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

// A live run on RTSP whose server dies for a while and comes back: the same process counts on,
// with a status message meanwhile.
TEST_F(Stream, RtspOutageInALiveRunIsSurvivedByTheSameProcess) {
    constexpr int kOutageS = 15;
    std::string avi, mp4;
    scene_files(&avi, &mp4);
    auto server = std::make_unique<RtspServer>(mp4, 0, false);
    const int port = server->port;
    ASSERT_GT(port, 0);
    RunRoot s(true, {});
    ASSERT_TRUE(s.ok);
    auto run = s.start(rtsp_uri("rtspt", port, false), false);
    ASSERT_TRUE(testrun::wait_for_text(s.log(), "mevo: Before main loop", 120))
        << testrun::read_file(s.log());
    int before = 0;
    ASSERT_TRUE(wait_until(120, [&] { return (before = live_people(s)) >= 2; }))
        << before << "\n"
        << testrun::read_file(s.log());
    nlohmann::json up = capture_stats(s);
    ASSERT_TRUE(up.is_object());
    EXPECT_EQ(up["source_up"], true);
    EXPECT_GT(up["since_start"]["delivered"].get<long long>(), 0);
    EXPECT_GE(up["since_start"]["delivered"].get<long long>(),
              up["since_start"]["processed"].get<long long>() +
                  up["since_start"]["dropped"].get<long long>() - 1);

    server->kill_now();
    const auto down_at = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait_until(30, [&] {
        return s.get("errors.json").body.find("not delivering") != std::string::npos;
    })) << s.get("errors.json").body;
    EXPECT_EQ(capture_stats(s)["source_up"], false);
    std::this_thread::sleep_until(down_at + std::chrono::seconds(kOutageS));
    EXPECT_FALSE(run->wait_for(0));
    server = std::make_unique<RtspServer>(mp4, port, false);
    ASSERT_EQ(server->port, port);

    ASSERT_TRUE(testrun::wait_for_text(s.log(), "is back after", 90))
        << testrun::read_file(s.log());
    int after = 0;
    EXPECT_TRUE(wait_until(120, [&] { return (after = live_people(s)) > before; }))
        << before << " then " << after;
    EXPECT_EQ(s.get("errors.json").body.find("not delivering"), std::string::npos);
    EXPECT_EQ(capture_stats(s)["source_up"], true);
    EXPECT_FALSE(run->wait_for(0));  // one process throughout

    kill(run->pid, SIGTERM);
    ASSERT_TRUE(run->wait_for(120));
    EXPECT_TRUE(run->exited_with(0));
    const std::string log = testrun::read_file(s.log());
    EXPECT_EQ(log.find("reboot requested"), std::string::npos) << log;
    EXPECT_NE(log.find("frames over the last 100"), std::string::npos);
    size_t first = log.find("mevo: Before main loop");
    EXPECT_EQ(log.find("mevo: Before main loop", first + 1), std::string::npos);
}

// Offline, start-up reads the recording's date: its day, listed as a holiday, stays listed and
// nobody is counted; the totals file is laid out for the recording's days.
TEST_F(Stream, OfflineStartUpFollowsTheRecordingsDate) {
    std::string avi, mp4;
    scene_files(&avi, &mp4);
    const std::string holidays = "01-05-2026,12-25-2026;";
    RunRoot s(true, {{"mevo.Schedule0Holidays", holidays}});
    ASSERT_TRUE(s.ok);
    auto run = s.start(avi, true);
    ASSERT_TRUE(run->wait_for(600));
    EXPECT_TRUE(run->exited_with(0)) << testrun::read_file(s.log());
    SpawnResult got = s.setupctl({"get", "mevo.Schedule0Holidays"});
    EXPECT_NE(got.output.find(holidays), std::string::npos) << got.output;
    EXPECT_EQ(s.genders(), "");
    const std::string totals = testrun::read_file(s.root.path + "/tmp/totals.buf");
    ASSERT_GE(totals.size(), 4u);
    int32_t header = 0;
    std::memcpy(&header, totals.data(), 4);
    EXPECT_GT(header, 0);
    EXPECT_LE(header, kStart + 86400) << "totals laid out for the machine's date";
}

}  // namespace
