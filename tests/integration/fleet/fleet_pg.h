// A throw-away PostgreSQL server for the fleet tests and benchmark: initdb and pg_ctl in a
// temporary folder, listening only on a Unix socket in that folder. As root it runs as the
// "postgres" (or "nobody") account, since the server refuses to run as root.
#pragma once

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fleettest {

// The newest installed server's bin folder, or "" when the server package is absent.
inline std::string pg_bin_dir() {
    std::string best;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        std::string bin = e.path().string() + "/bin";
        if (access((bin + "/initdb").c_str(), X_OK) == 0 &&
            access((bin + "/pg_ctl").c_str(), X_OK) == 0 && bin > best)
            best = bin;
    }
    return best;
}

class PgInstance {
  public:
    // Starts the server; ok() tells whether it runs, why() what failed.
    PgInstance() {
        bin_ = pg_bin_dir();
        if (bin_.empty()) {
            why_ = "the PostgreSQL server is not installed (package postgresql)";
            return;
        }
        char tmpl[] = "/tmp/mevo-fleet-pg-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        dir_ = tmpl;
        if (getuid() == 0) {
            const passwd *pw = getpwnam("postgres");
            if (!pw) pw = getpwnam("nobody");
            if (!pw) {
                why_ = "running as root without a postgres or nobody account";
                return;
            }
            uid_ = pw->pw_uid;
            gid_ = pw->pw_gid;
            if (chown(dir_.c_str(), uid_, gid_) != 0) return;
        }
        chmod(dir_.c_str(), 0700);
        const std::string data = dir_ + "/data";
        if (run({bin_ + "/initdb", "-D", data, "-U", "postgres", "-A", "trust", "-E", "UTF8",
                 "--no-sync", "--no-instructions"}) != 0) {
            why_ = "initdb failed (see " + dir_ + "/server.log)";
            return;
        }
        const std::string opts = "-c listen_addresses='' -c unix_socket_directories='" + dir_ +
                                 "' -c fsync=off -c max_connections=40 -p " + std::to_string(port_);
        if (run({bin_ + "/pg_ctl", "-D", data, "-l", dir_ + "/server.log", "-o", opts, "-w", "-t",
                 "120", "start"}) != 0) {
            why_ = "pg_ctl start failed (see " + dir_ + "/server.log)";
            return;
        }
        started_ = true;
    }
    ~PgInstance() {
        if (started_)
            run({bin_ + "/pg_ctl", "-D", dir_ + "/data", "-m", "immediate", "-w", "stop"});
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }
    bool ok() const { return started_; }
    const std::string &why() const { return why_; }
    // A libpq connection string for a database of the server.
    std::string conninfo(const std::string &db = "postgres") const {
        return "host=" + dir_ + " port=" + std::to_string(port_) + " user=postgres dbname=" + db;
    }
    // Creates an empty database.
    bool create_database(const std::string &name) const {
        return run({bin_ + "/createdb", "-h", dir_, "-p", std::to_string(port_), "-U", "postgres",
                    name}) == 0;
    }

  private:
    int run(const std::vector<std::string> &argv) const {
        pid_t pid = fork();
        if (pid == 0) {
            if (getuid() == 0 && (setgid(gid_) != 0 || setuid(uid_) != 0)) _exit(126);
            std::string log = dir_ + "/server.log";
            FILE *f = freopen(log.c_str(), "a", stdout);
            if (f) dup2(fileno(stdout), 2);
            std::vector<char *> args;
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string bin_, dir_, why_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    // Only a socket file name in our own folder, so any number does.
    int port_ = 5432;
    bool started_ = false;
};

}  // namespace fleettest
