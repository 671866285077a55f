// The fleet server as a child process, and cameras that upload to it with the uploader's own
// code: the track buffer's rows, the upload document, the enciphered requests and the POST
// client of mevo.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/spawn.h"
#include "count/track_buffer.h"
#include "report/datamanager_post.h"
#include "report/webreport.h"

namespace fleettest {

inline constexpr const char *UPLOAD_USER = "shop";
inline constexpr const char *UPLOAD_PASS = "up-load#1";
inline constexpr const char *REPORT_USER = "ana";
inline constexpr const char *REPORT_PASS = "rep0rt";

inline std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A temporary folder removed at the end.
struct TempDir {
    std::string path;
    explicit TempDir(const char *tag) {
        std::string tmpl = std::string("/tmp/mevo-fleet-") + tag + "-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        path = mkdtemp(buf.data());
        std::filesystem::create_directories(path + "/tmp");
    }
    ~TempDir() {
        if (getenv("FLEET_KEEP")) return;
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// mevo-fleet on 127.0.0.1: the first start picks a free port, restarts keep it.
class FleetProcess {
  public:
    FleetProcess(std::string dir, std::string database)
        : dir_(std::move(dir)), database_(std::move(database)) {
        add_account("upload", UPLOAD_USER, UPLOAD_PASS);
        add_account("report", REPORT_USER, REPORT_PASS);
    }
    ~FleetProcess() { stop(SIGKILL); }

    void add_account(const char *kind, const char *user, const char *pass) {
        SpawnOptions o;
        o.input = std::string(pass) + "\n";
        spawn_run({MEVO_FLEET_BIN, "passwd", dir_ + (kind[0] == 'u' ? "/uploaders" : "/users"),
                   kind, user},
                  o);
    }
    // Extra "--key value" options for every start.
    std::vector<std::string> options;

    bool start() {
        std::string port_file = dir_ + "/port";
        std::remove(port_file.c_str());
        std::vector<std::string> argv = {MEVO_FLEET_BIN,
                                         "--database",
                                         database_,
                                         "--listen",
                                         "127.0.0.1:" + std::to_string(port_),
                                         "--port-file",
                                         port_file,
                                         "--users",
                                         dir_ + "/users",
                                         "--uploaders",
                                         dir_ + "/uploaders"};
        argv.insert(argv.end(), options.begin(), options.end());
        pid_ = fork();
        if (pid_ == 0) {
            FILE *f = freopen((dir_ + "/fleet.log").c_str(), "a", stderr);
            (void)f;
            std::vector<char *> args;
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        for (int i = 0; i < 3000; ++i) {
            std::string text = read_text(port_file);
            if (!text.empty() && text.back() == '\n') {
                port_ = std::atoi(text.c_str());
                return true;
            }
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Ends the server (SIGKILL for an outage, SIGTERM for a clean stop); true when it exited 0.
    bool stop(int sig) {
        if (pid_ <= 0) return false;
        kill(pid_, sig);
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string log() const { return read_text(dir_ + "/fleet.log"); }

  private:
    std::string dir_, database_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// One camera: its own track buffer file, its identity, and one upload pass as the uploader
// does it (last saved time, then the rows after it).
class SimCamera {
  public:
    SimCamera(const std::string &dir, const std::string &serial, const std::string &url) {
        cfg_.enabled = true;
        cfg_.version = WEBREPORT_PROTOCOL_VERSION;
        cfg_.url = url;
        cfg_.user = UPLOAD_USER;
        cfg_.pass = UPLOAD_PASS;
        cfg_.serial = serial;
        cfg_.camera_name = "door " + serial + " demographics";
        cfg_.timezone = "UTC0";
        for (int d = 0; d < 7; ++d) {
            cfg_.day_enabled[d] = 1;
            cfg_.day_open[d] = "00:00";
            cfg_.day_close[d] = "24:00";
        }
        std::string base = dir + "/" + serial;
        tb_ = track_buffer_init_at(TRACK_BUFFER_CAPACITY, (base + ".buf").c_str(),
                                   (base + ".mirror").c_str());
    }
    ~SimCamera() { track_buffer_free(tb_); }
    bool ready() const { return tb_ && tb_->ready; }
    WebReportConfig &config() { return cfg_; }
    void add(const track_record &r) { track_buffer_add(tb_, &r); }

    // The server's last saved time; false when the call failed.
    bool last_saved(double *t) const {
        std::string reply;
        datamanager_post(webreport_enciphered_args(cfg_, "demographics.getLastSavedDataTime",
                                                   webreport_identity(cfg_)),
                         20, &reply);
        char *end = nullptr;
        *t = strtod(reply.c_str(), &end);
        return end != reply.c_str() && *end == '\0';
    }
    // Uploads the rows after `since` (up to now); the reply.
    std::string upload(double since, double now) const {
        WebReportSources src;
        src.rows = rows;
        src.rows_ctx = tb_;
        std::string doc = webreport_upload_document(cfg_, src, since, now);
        std::string reply;
        datamanager_post(webreport_enciphered_args(cfg_, "demographics.add",
                                                   webreport_identity(cfg_) + "##" + doc),
                         60, &reply);
        return reply;
    }
    // One whole pass; true when the upload was taken ("ok...").
    bool pass(double now) const {
        double since = 0;
        if (!last_saved(&since)) return false;
        return upload(since, now).compare(0, 2, "ok") == 0;
    }

  private:
    static int rows(void *ctx, char *out, size_t cap, double start, double end) {
        return track_buffer_rows(static_cast<track_buffer *>(ctx), out, cap, start, end);
    }
    WebReportConfig cfg_;
    track_buffer *tb_ = nullptr;
};

}  // namespace fleettest
