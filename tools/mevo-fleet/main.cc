// mevo-fleet: the reporting server for a fleet of mevo cameras.
//
//   mevo-fleet [--config FILE] [--KEY VALUE ...]   (KEY: any configuration key, e.g. --listen,
//                                                   --database, --users, --uploaders)
//   mevo-fleet passwd FILE upload|report USER     (password on standard input)
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

#include "common/fileutil.h"
#include "fleet_server.h"
#include "platform/http/userdb.h"

namespace {
int usage() {
    fprintf(stderr,
            "usage: mevo-fleet [--config FILE] [--KEY VALUE ...]  (KEY: listen, database, users,\n"
            "         uploaders, html, timezone, tls-cert, tls-key, port-file, stale-hours)\n"
            "       mevo-fleet passwd FILE upload|report USER   (password on standard input)\n");
    return 2;
}

// Adds or replaces USER in an htdigest file for the upload or the report realm.
int passwd(const std::string &path, const std::string &kind, const std::string &user) {
    const char *realm = kind == "upload"   ? FLEET_UPLOAD_REALM
                        : kind == "report" ? FLEET_REALM
                                           : nullptr;
    if (!realm || !userdb_valid_name(user)) return usage();
    std::string password;
    if (!std::getline(std::cin, password) || password.empty()) {
        fprintf(stderr, "mevo-fleet: no password on standard input\n");
        return 1;
    }
    std::string text;
    file_read_all(path, text);
    std::vector<UserdbUser> users = userdb_parse_users(text);
    std::erase_if(users, [&](const UserdbUser &u) { return u.name == user && u.realm == realm; });
    users.push_back({user, realm, userdb_ha1(user, realm, password)});
    std::string out = userdb_format_users(users);
    if (file_write_atomic(path, out.data(), out.size(), 0600) < 0) {
        perror(path.c_str());
        return 1;
    }
    return 0;
}
}  // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::string(argv[1]) == "passwd")
        return argc == 5 ? passwd(argv[2], argv[3], argv[4]) : usage();
    FleetConfig cfg;
#ifdef MEVO_FLEET_HTML
    cfg.html = MEVO_FLEET_HTML;
#endif
    // Options are the configuration keys ("--port-file" sets port_file); later ones win.
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i], value = argv[i + 1], error;
        if (opt.rfind("--", 0) != 0) return usage();
        std::string key = opt.substr(2);
        std::replace(key.begin(), key.end(), '-', '_');
        if (key == "config" ? fleet_config_read(value, &cfg, &error) < 0
                            : fleet_config_set(&cfg, key, value) < 0) {
            fprintf(stderr, "mevo-fleet: %s\n",
                    error.empty() ? ("unknown option " + opt).c_str() : error.c_str());
            return 2;
        }
    }
    if (argc % 2 == 0) return usage();
    return fleet_server_run(cfg);
}
