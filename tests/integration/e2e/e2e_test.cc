// End to end: the real mevo on the synthetic "people" scene in offline clock mode, with a
// cascade that finds the scene's faces and a classifier that knows each person's gender and
// age. The whole chain is checked exactly: every person counted once, by gender and age band,
// in the 15-minute slot in which their track ended, nothing else counted; the track-buffer
// records; "day.xml", "week.xml", "live-sum.json" and "tracks-ended.json" over HTTP. A counting
// schedule switches counting off while two people are in view and on again a minute later:
// their tracks end while counting is off and are never counted.
#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "count/cntdata.h"
#include "count/track_buffer.h"
#include "digest_get.h"
#include "params/param.h"
#include "run_util.h"
#include "scene_models.h"

namespace {

constexpr int kW = 640, kH = 360;  // capture size: the scene's own
constexpr int kLevel = 1;          // the scene's 48-pixel faces are found one octave down
constexpr const char *kUser = "eve";
constexpr const char *kPassword = "p3ople-Pass";

// Source time of frame 0: Sunday 2026-01-04 23:58:20 UTC. The schedule (in UTC) counts on
// Sunday until 23:59 and on Monday from 00:00 to 00:01; the main loop checks it every 100
// frames, on scene frames 0, 100, ...: counting goes off after frame 400 (23:59:00) and on
// again after frame 1000 (Monday 00:00:00), and off for good after frame 1600, the scene being
// empty by then.
constexpr time_t kStart = 1767571100;
constexpr int kOffFrame = 400, kOnFrame = 1000;
constexpr int kFps = 10;
constexpr double kFrameS = 1.0 / kFps;

constexpr int kTypes = CNTDATA_TYPES;
using Counts = std::array<int, kTypes>;

// Short count type names, in type order: "men tot", "women tot", "men0-14" .. "women75-".
std::vector<std::string> type_names() {
    std::vector<std::string> names = {"men tot", "women tot"};
    for (const char *who : {"men", "women"}) {
        names.push_back(std::string(who) + "0-14");
        for (int k = 0; k < 6; ++k)
            names.push_back(std::string(who) + std::to_string(15 + 10 * k) + "-" +
                            std::to_string(24 + 10 * k));
        names.push_back(std::string(who) + "75-");
    }
    return names;
}

time_t frame_time(int frame) {
    return kStart + frame / kFps;
}

time_t slot_of(time_t t) {
    return t - t % CNTDATA_INTERVAL;
}

// Whether a person's visit ends while counting is on: they are counted when their track ends.
bool counted(const SyntheticWalker &w) {
    return w.last_frame < kOffFrame || w.last_frame > kOnFrame;
}

// What the count store must hold: slot time -> counts per type.
std::map<time_t, Counts> expected_slots(const SyntheticScene *scene) {
    std::map<time_t, Counts> slots;
    for (int i = 0; i < scene->walker_count; ++i) {
        const SyntheticWalker &w = scene->walkers[i];
        if (!counted(w)) continue;
        Counts &c = slots.try_emplace(slot_of(frame_time(w.last_frame)), Counts{}).first->second;
        const bool man = w.gender == 'M';
        c[man ? 0 : 1] += 1;
        c[(man ? 2 : 10) + e2e::count_band(w.age)] += 1;
    }
    return slots;
}

using testrun::Response;

// Text between `open` and the next `close` at or after `from`, or "" (pos = npos) if absent.
std::string between(const std::string &text, const std::string &open, const std::string &close,
                    size_t *pos) {
    size_t start = text.find(open, *pos);
    size_t end = start == std::string::npos ? start : text.find(close, start + open.size());
    if (end == std::string::npos) {
        *pos = std::string::npos;
        return {};
    }
    *pos = end + close.size();
    return text.substr(start + open.size(), end - start - open.size());
}

// Values of each graph of a chart: gid -> (xid -> value).
std::map<std::string, std::map<std::string, int>> chart_values(const std::string &xml) {
    std::map<std::string, std::map<std::string, int>> graphs;
    size_t pos = xml.find("<graphs>");
    while (pos != std::string::npos) {
        size_t at = pos;
        const std::string gid = between(xml, "<graph gid=\"", "\"", &at);
        if (at == std::string::npos) break;
        const std::string body = between(xml, ">", "</graph>", &at);
        if (at == std::string::npos) break;
        auto &values = graphs[gid];
        for (size_t v = 0; v != std::string::npos;) {
            const std::string xid = between(body, "<value xid=\"", "\">", &v);
            if (v == std::string::npos) break;
            values[xid] = std::atoi(between(body, "", "</value>", &v).c_str());
        }
        pos = at;
    }
    return graphs;
}

// The scene's models, built once for the whole test program.
struct Models {
    std::string cascade, classifier;
};

const Models &scene_models() {
    static const Models models = [] {
        // One thread: the scan's output order, and with it the grouping, stays the same.
        omp_set_num_threads(1);
        Models m;
        const SyntheticScene *scene = synthetic_scene_people();
        m.cascade = mevo_test::model_bytes(e2e::scene_cascade(scene, kW, kH, kLevel));
        m.classifier = e2e::scene_classifier(scene, kW, kH);
        return m;
    }();
    return models;
}

// The models fit the scene on frames they were not built from: every person in view is found
// where they are, nothing else is, and each face gets the person's gender and (nearly always)
// age band. The application's counts rest on this.
TEST(PeopleModels, FindEveryFaceAndGiveItsGenderAndBand) {
    const SyntheticScene *scene = synthetic_scene_people();
    const Models &m = scene_models();
    ASSERT_FALSE(m.classifier.empty());
    char path[] = "/tmp/mevo-e2e-cascade-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    bool written = ::write(fd, m.cascade.data(), m.cascade.size()) == ssize_t(m.cascade.size());
    close(fd);
    ASSERT_TRUE(written);
    Detector detector = {};
    ASSERT_EQ(detector_load(&detector, path), 0);
    std::remove(path);
    detector_set_options(&detector, 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
    ClassifierModel model;
    ASSERT_EQ(
        classifier_model_from_bytes(&model, m.classifier.data(), m.classifier.size(), nullptr),
        CLASSIFIER_MODEL_OK);
    e2e::ClassifierCheck c = e2e::scene_classifier_check(scene, kW, kH, &detector, model);
    EXPECT_GT(c.visible, 300);
    EXPECT_EQ(c.faces, c.visible);
    EXPECT_EQ(c.unmatched, 0);
    EXPECT_EQ(c.wrong_gender, 0);
    EXPECT_LE(c.wrong_band * 50, c.faces);  // at most 2 %: a track's mean age is what counts
    EXPECT_LE(c.max_age_off, 10);
    detector_free(&detector, 1);
}

class PeopleScenario : public ::testing::Test {
  protected:
    testrun::Root root{"e2e"};
    std::string log = root.path + "/run.log";
    std::string classifier_path = root.path + "/classifier.dat";
    std::string base;

    void SetUp() override {
        const Models &m = scene_models();
        ASSERT_FALSE(m.classifier.empty());
        ASSERT_TRUE(root.lay_out());
        // The scene cascade is the only detector.
        const std::string models = root.package() + "/modules/lbpdetect/stable/";
        ASSERT_TRUE(write_file(models + "face16.dat", m.cascade));
        std::remove((models + "face20.dat").c_str());
        std::remove((models + "face25.dat").c_str());
        ASSERT_TRUE(write_file(classifier_path, m.classifier));

        SpawnResult r = root.add_admin(kUser, kPassword);
        ASSERT_EQ(r.status, 0) << r.output;
        // The first start names the counter (a synced write) and restarts after one frame.
        testrun::Child first = run(root.path + "/first.log");
        ASSERT_TRUE(first.wait_for(120));
        ASSERT_TRUE(first.exited_with(0)) << testrun::read_file(root.path + "/first.log");
        std::remove((root.path + "/tmp/mevo-http.addr").c_str());
        for (auto [name, value] : std::vector<std::pair<const char *, const char *>>{
                 {"root.Image.I0.Appearance.Resolution", "640x360"},
                 {"mevo.Camera0Width", "640"},
                 {"mevo.Camera0Height", "360"},
                 {"mevo.Detector0MinRect", "30"},  // see e2e::SCENE_MIN_RECT
                 {"mevo.Schedule0StopSu", "23:59"},
                 {"mevo.Schedule0StartMo", "00:00"},
                 {"mevo.Schedule0StopMo", "00:01"},
             }) {
            SpawnOptions so;
            so.capture_output = true;
            so.merge_stderr = true;
            so.env = {"MEVO_ROOT=" + root.path};
            SpawnResult set =
                spawn_run({root.path + "/usr/bin/setupctl", "--nosync", "set", name, value}, so);
            ASSERT_EQ(set.status, 0) << name << ": " << set.output;
        }
    }

    static bool write_file(const std::string &path, const std::string &bytes) {
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f) return false;
        bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return std::fclose(f) == 0 && ok;
    }

    testrun::Child run(const std::string &to, std::vector<std::string> extra = {}) {
        std::vector<std::string> env = {
            "MEVO_ROOT=" + root.path,
            "MEVO_CLOCK=source",
            "MEVO_HTTP=127.0.0.1:0",
            "MEVO_SOURCE=synthetic:people",
            "MEVO_SOURCE_START=" + std::to_string(kStart),
            "MEVO_CLASSIFIER_FILE=" + classifier_path,
            "TZ=UTC",
            "OMP_NUM_THREADS=1",
        };
        // Later entries win: putenv replaces the earlier value.
        env.insert(env.end(), extra.begin(), extra.end());
        return testrun::Child({root.package() + "/mevo"}, env, to, root.package());
    }

    Response get(const std::string &api) {
        return testrun::digest_get(base + "/local/mevo/apiadmin?" + api, kUser, kPassword);
    }
};

TEST_F(PeopleScenario, EveryPersonCountedOnceInTheRightBandAndSlotExceptWhileScheduledOff) {
    const SyntheticScene *scene = synthetic_scene_people();
    const std::map<time_t, Counts> slots = expected_slots(scene);
    const time_t sunday_slot = slot_of(frame_time(0)), monday_slot = slot_of(frame_time(kOnFrame));
    // The scene and the schedule give what this test is about: counts in two slots (of two
    // days), a track ending near no slot boundary, people ending in the off time.
    ASSERT_EQ(slots.size(), 2u);
    ASSERT_TRUE(slots.count(sunday_slot) && slots.count(monday_slot));
    int off_people = 0;
    for (int i = 0; i < scene->walker_count; ++i) {
        const SyntheticWalker &w = scene->walkers[i];
        off_people += !counted(w);
        ASSERT_EQ(slot_of(frame_time(w.last_frame)), slot_of(frame_time(w.last_frame + 30)));
    }
    ASSERT_EQ(off_people, 2);

    testrun::Child mevo = run(log);
    // Counting goes off, on and off again; by then everyone has left and been handled.
    std::string missing;
    bool done = false;
    for (int i = 0; i < 3000 && !done; ++i) {
        done = testrun::find_in_order(
                   testrun::read_file(log),
                   {"mevo: Before main loop", "disabling according to schedule",
                    "enabling according to schedule", "disabling according to schedule"},
                   0, &missing) != std::string::npos;
        if (!done && mevo.wait_for(0.1)) break;
    }
    ASSERT_TRUE(done) << "missing '" << missing << "' in\n" << testrun::read_file(log);
    std::string addr = testrun::read_file(root.path + "/tmp/mevo-http.addr");
    while (!addr.empty() && (addr.back() == '\n' || addr.back() == '\r')) addr.pop_back();
    ASSERT_FALSE(addr.empty());
    base = "http://" + addr;
    const std::vector<std::string> names = type_names();
    const Counts &monday = slots.at(monday_slot);
    const Counts &sunday = slots.at(sunday_slot);

    // Today (Monday): its one slot with counts, and the same totals in the live summary.
    Response day = get("day.xml");
    ASSERT_EQ(day.status, 200) << day.body;
    auto day_graphs = chart_values(day.body);
    ASSERT_EQ(day_graphs.size(), size_t(kTypes)) << day.body;
    for (int t = 0; t < kTypes; ++t) {
        SCOPED_TRACE(names[size_t(t)]);
        const auto &values = day_graphs[names[size_t(t)]];
        ASSERT_FALSE(values.empty()) << day.body;
        for (const auto &[xid, v] : values) EXPECT_EQ(v, xid == "00:00" ? monday[size_t(t)] : 0);
    }
    Response sum = get("live-sum.json");
    ASSERT_EQ(sum.status, 200);
    auto live = nlohmann::json::parse(sum.body, nullptr, false);
    ASSERT_TRUE(live.is_object()) << sum.body;
    for (int t = 0; t < kTypes; ++t)
        EXPECT_EQ(live.value(names[size_t(t)], -1), monday[size_t(t)]) << names[size_t(t)];
    EXPECT_EQ(live.value("samples", -1), monday[0] + monday[1]);
    // Yesterday (Sunday) is the last of the week chart's days.
    Response week = get("week.xml");
    ASSERT_EQ(week.status, 200);
    auto week_graphs = chart_values(week.body);
    ASSERT_EQ(week_graphs.size(), size_t(kTypes)) << week.body;
    for (int t = 0; t < kTypes; ++t) {
        const auto &values = week_graphs[names[size_t(t)]];
        ASSERT_EQ(values.count("Jan 4"), 1u) << week.body;
        EXPECT_EQ(values.at("Jan 4"), sunday[size_t(t)]) << names[size_t(t)];
    }
    // The ended tracks of the last day as the live page lists them.
    Response ended = get("tracks-ended.json&time=86400");
    ASSERT_EQ(ended.status, 200);
    auto ended_doc = nlohmann::json::parse(ended.body, nullptr, false);
    ASSERT_TRUE(ended_doc.is_object()) << ended.body;
    const auto listed = ended_doc["ended"]["tracks"];

    kill(mevo.pid, SIGTERM);
    ASSERT_TRUE(mevo.wait_for(120));
    EXPECT_TRUE(mevo.exited_with(0));
    const std::string text = testrun::read_file(log);
    EXPECT_EQ(text.find("Parameters updated"), std::string::npos);
    EXPECT_EQ(text.find("end of synthetic source"), std::string::npos);  // stopped while running

    // The count store: exactly the expected slots, and nothing anywhere else.
    cntdata counts;
    int32_t ids[kTypes];
    for (int i = 0; i < kTypes; ++i) ids[i] = CNTDATA_TYPE_ID_BASE + i;
    const std::string tmp = root.path + "/tmp/count.buf";
    const std::string flash = root.package() + "/localdata/count.buf";
    ASSERT_EQ(cntdata_open(&counts, CNTDATA_SLOTS, CNTDATA_INTERVAL, kTypes, ids, nullptr, nullptr,
                           nullptr, tmp.c_str(), flash.c_str()),
              0);
    Counts all{}, expected_all{};
    for (int s = 0; s < CNTDATA_SLOTS; ++s) {
        const int32_t *slot = counts.map + size_t(s) * (kTypes + 1);
        for (int t = 0; t < kTypes; ++t) all[size_t(t)] += slot[1 + t];
    }
    for (const auto &[when, c] : slots) {
        SCOPED_TRACE(testing::Message() << "slot " << when);
        const int32_t *slot = cntdata_slot_for(&counts, when);
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot_of(slot[0]), when);  // stamped last within its own interval
        for (int t = 0; t < kTypes; ++t) {
            EXPECT_EQ(slot[1 + t], c[size_t(t)]) << names[size_t(t)];
            expected_all[size_t(t)] += c[size_t(t)];
        }
    }
    EXPECT_EQ(all, expected_all);
    cntdata_destroy(&counts);

    // The track buffer: one record per person in the order their tracks ended, with their
    // gender, age band, times and face size; the same records in "tracks-ended.json". People in
    // view when counting went off are followed no further: their tracks end in the off time,
    // are stored and never counted.
    EXPECT_NE(text.find("Ignoring counts since schedule dissables counter"), std::string::npos);
    track_buffer *tb = track_buffer_init_at(
        TRACK_BUFFER_CAPACITY, (root.package() + "/localdata/track_buffer.buf").c_str(),
        (root.path + "/tmp/track_buffer.buf").c_str());
    ASSERT_TRUE(tb && tb->ready);
    auto seen_until = [](const SyntheticWalker &w) {
        return counted(w) ? w.last_frame : kOffFrame;
    };
    auto seen_from = [](const SyntheticWalker &w) {
        return w.first_frame > kOffFrame && w.first_frame <= kOnFrame ? kOnFrame + 1
                                                                      : w.first_frame;
    };
    std::vector<const SyntheticWalker *> people;
    for (int i = 0; i < scene->walker_count; ++i) people.push_back(&scene->walkers[i]);
    std::stable_sort(people.begin(), people.end(),
                     [&](const SyntheticWalker *a, const SyntheticWalker *b) {
                         return seen_until(*a) < seen_until(*b);
                     });
    ASSERT_EQ(track_buffer_count(tb), int(people.size()));
    ASSERT_EQ(listed.size(), people.size()) << ended.body;
    std::vector<int> ids_seen;
    for (size_t k = 0; k < people.size(); ++k) {
        const SyntheticWalker &w = *people[k];
        SCOPED_TRACE(testing::Message() << "person " << w.id);
        track_record r;
        ASSERT_EQ(track_buffer_get(tb, int(k), &r), 0);
        EXPECT_EQ(r.gender, w.gender == 'M' ? 1 : -1);
        EXPECT_EQ(e2e::count_band(r.age), e2e::count_band(w.age)) << "age " << int(r.age);
        // Followed from the first frame they were in view while counting was on, to the last.
        const double first = double(kStart) + seen_from(w) * kFrameS;
        const double last = double(kStart) + seen_until(w) * kFrameS;
        EXPECT_NEAR(r.t_start, first, 0.35);
        EXPECT_NEAR(r.t_end, last, 0.35);
        EXPECT_NEAR(r.avg_boxsize, (w.size0 + w.size1) / 2.0, 3.0);
        EXPECT_GT(r.trackid, 0);
        for (int id : ids_seen) EXPECT_NE(id, r.trackid);
        ids_seen.push_back(r.trackid);
        const auto &j = listed[k];
        EXPECT_NEAR(j["time_start"].get<double>(), r.t_start, 1e-5);
        EXPECT_NEAR(j["time_end"].get<double>(), r.t_end, 1e-5);
        EXPECT_EQ(j["gender_average"].get<int>(), r.gender);
        EXPECT_EQ(j["age_average"].get<int>(), r.age);
        EXPECT_EQ(j["boxsize_average"].get<int>(), r.avg_boxsize);
    }
    track_buffer_free(tb);
}

// The uploader against a recording server that fails, stalls, restarts and recovers, while the
// scene passes again and again, across one restart of mevo and one simulated reboot: every
// stored track reaches the server exactly once.
TEST_F(PeopleScenario, EveryStoredTrackIsUploadedOnceThroughOutagesRestartsAndAReboot) {
    const std::string store = root.path + "/server-store.jsonl";
    const std::string calls = root.path + "/server-calls.jsonl";
    const std::string port_file = root.path + "/server-port";
    pid_t server = -1;
    auto start_server = [&](std::vector<std::string> mode) {
        std::remove(port_file.c_str());
        std::vector<std::string> argv = {REPORT_SERVER, "--port-file", port_file, "--store",
                                         store,         "--record",    calls};
        argv.insert(argv.end(), mode.begin(), mode.end());
        server = spawn_detached(argv);
        ASSERT_GT(server, 0);
        for (int i = 0; i < 200 && testrun::read_file(port_file).empty(); ++i) usleep(50000);
    };
    auto stop_server = [&] {
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
    };
    start_server({});
    const std::string port = testrun::read_file(port_file);
    ASSERT_FALSE(port.empty());
    // The port must stay the same over server restarts: ask for it again.
    const std::string listen = "127.0.0.1:" + std::to_string(std::atoi(port.c_str()));
    stop_server();
    auto restart_server = [&](std::vector<std::string> mode) {
        mode.insert(mode.begin(), {"--listen", listen});
        start_server(mode);
    };
    for (auto [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"mevo.WebReportUpload0Enabled", "1"},
             {"mevo.Counter0Name", "door"},
             {"mevo.WebReportUpload0Version", "2"},
             {"mevo.WebReportUpload0User", "u"},
             {"mevo.WebReportUpload0WaitTimeSend", "2"},
             {"mevo.WebReportUpload0Url", "http://" + listen},
             {"mevo.Schedule0StopSu", "24:00"},
             {"mevo.Schedule0StopMo", "24:00"},
         }) {
        SpawnOptions so;
        so.capture_output = true;
        so.merge_stderr = true;
        so.env = {"MEVO_ROOT=" + root.path};
        SpawnResult set =
            spawn_run({root.path + "/usr/bin/setupctl", "--nosync", "set", name, value}, so);
        ASSERT_EQ(set.status, 0) << name << ": " << set.output;
    }
    {
        // The password is a secret: it lives in the secrets file, not the parameter store.
        const std::string meta = root.package() + "/localdata/params.meta";
        ov_secret_store *secrets = ov_secret_store_new();
        ov_secret_store_load(secrets, meta.c_str());
        ov_secret_store_set(secrets, "WebReportUpload.Pass", "p");
        ASSERT_EQ(ov_secret_store_save(secrets, meta.c_str()), 0);
        ov_secret_store_free(secrets);
    }
    auto phase = [](double seconds) { usleep(useconds_t(seconds * 1e6)); };
    auto mevo_run = [&](long start_offset, const std::function<void()> &during) {
        testrun::Child mevo = run(
            log,
            {"MEVO_SOURCE_LOOP=1", "MEVO_SOURCE_START=" + std::to_string(kStart + start_offset)});
        ASSERT_TRUE(testrun::wait_for_text(log, "webrepo running", 120));
        during();
        kill(mevo.pid, SIGTERM);
        ASSERT_TRUE(mevo.wait_for(120));
    };
    restart_server({});
    mevo_run(0, [&] {
        phase(6);
        stop_server();
        restart_server({"--mode", "error"});
        phase(4);
        stop_server();
        restart_server({"--mode", "slow", "--delay", "3"});
        phase(6);
        stop_server();
        phase(3);  // nobody listens
        restart_server({});
        phase(5);
    });
    mevo_run(100000, [&] { phase(6); });  // a restart: /tmp kept
    std::filesystem::remove_all(root.path + "/tmp");
    std::filesystem::create_directories(root.path + "/tmp");
    mevo_run(200000, [&] { phase(6); });  // a reboot: /tmp lost
    stop_server();

    std::map<std::pair<int, double>, int> received;  // (track id, t_end) -> times received
    double newest = 0;
    std::ifstream in(store);
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json stored = nlohmann::json::parse(line);
        for (const auto &row : stored["rows"]) {
            received[{row[5].get<int>(), row[1].get<double>()}]++;
            newest = std::max(newest, row[1].get<double>());
        }
    }
    track_buffer *tb = track_buffer_init_at(
        TRACK_BUFFER_CAPACITY, (root.package() + "/localdata/track_buffer.buf").c_str(),
        (root.path + "/tmp/track_buffer.buf").c_str());
    ASSERT_TRUE(tb && tb->ready);
    const int stored = track_buffer_count(tb);
    int due = 0;
    for (int k = 0; k < stored; ++k) {
        track_record r;
        ASSERT_EQ(track_buffer_get(tb, k, &r), 0);
        auto it = received.find({r.trackid, r.t_end});
        if (r.t_end > newest) {
            EXPECT_EQ(it, received.end()) << "track " << r.trackid;
            continue;
        }
        ++due;
        ASSERT_NE(it, received.end()) << "track " << r.trackid << " never received";
        EXPECT_EQ(it->second, 1) << "track " << r.trackid;
        received.erase(it);
    }
    track_buffer_free(tb);
    EXPECT_TRUE(received.empty()) << received.size() << " rows not in the track buffer";
    // Three runs of the looping scene: tracks in each, all but the last few sent.
    auto upload_lines = [&] {
        std::string text = testrun::read_file(log), out;
        std::istringstream lines(text);
        for (std::string l; std::getline(lines, l);)
            if (l.find("webreport") != std::string::npos ||
                l.find("datamanager") != std::string::npos)
                out += l + "\n";
        return out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
    };
    EXPECT_GT(due, 5) << upload_lines();
    EXPECT_GE(due + 10, stored);
}

}  // namespace
