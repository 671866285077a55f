// pwdgrp.cgi: the host's user management for the HTTP service, called like the camera's CGI
// with its arguments in QUERY_STRING:
//   action=add&user=NAME&pwd=PASSWORD&grp=users&sgrp=viewer:operator:admin[&comment=...]
//   action=update&user=NAME[&pwd=PASSWORD][&grp=..][&sgrp=..]
//   action=remove&user=NAME
// It edits the users file (htdigest) and the group file of the root (MEVO_ROOT), each written
// atomically, under a lock so concurrent calls do not lose each other's changes. Prints a CGI
// reply with "Created account NAME.", "Modified account NAME." or "Removed account NAME." and
// exits 0; on failure prints "Error: ..." and exits 1. It refuses to run without MEVO_ROOT.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/fileutil.h"
#include "common/paths.h"
#include "platform/http/userdb.h"

namespace {

constexpr const char *kLockFile = "/etc/.pwdgrp.lock";
constexpr size_t kMaxPasswordLength = 64;
constexpr int kFirstGid = 1000;

struct DefaultGroup {
    const char *name;
    const char *gid;
};
constexpr DefaultGroup kDefaultGroups[] = {
    {"users", "100"}, {"viewer", "1001"}, {"operator", "1002"}, {"admin", "1003"}, {"ptz", "1004"}};

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string form_decode(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() + 0 && hex_value(s[i + 1]) >= 0 &&
                   hex_value(s[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::map<std::string, std::string> parse_query(const char *qs) {
    std::map<std::string, std::string> args;
    std::string q = qs ? qs : "";
    size_t start = 0;
    while (start <= q.size()) {
        size_t end = q.find('&', start);
        if (end == std::string::npos) end = q.size();
        std::string item = q.substr(start, end - start);
        size_t eq = item.find('=');
        if (!item.empty()) {
            std::string key = form_decode(item.substr(0, eq));
            std::string value = eq == std::string::npos ? "" : form_decode(item.substr(eq + 1));
            args.emplace(key, value);  // the first occurrence wins
        }
        start = end + 1;
    }
    return args;
}

int reply(bool ok, const std::string &text) {
    std::printf("Content-Type: text/plain\r\n\r\n%s%s\n", ok ? "" : "Error: ", text.c_str());
    return ok ? 0 : 1;
}

bool valid_password(const std::string &pwd) {
    if (pwd.empty() || pwd.size() > kMaxPasswordLength) return false;
    return std::none_of(pwd.begin(), pwd.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// "users" + "viewer:operator:admin" -> the distinct, valid group names.
bool wanted_groups(const std::string &grp, const std::string &sgrp,
                   std::vector<std::string> &groups) {
    std::string all = grp + ":" + sgrp;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        std::string g = all.substr(start, end - start);
        start = end + 1;
        if (g.empty()) continue;
        if (!userdb_valid_name(g)) return false;
        if (std::find(groups.begin(), groups.end(), g) == groups.end()) groups.push_back(g);
    }
    return true;
}

std::vector<UserdbGroup> load_groups() {
    std::string text;
    std::vector<UserdbGroup> groups;
    if (file_exists(userdb_group_path()) && file_read_all(userdb_group_path(), text) == 0) {
        groups = userdb_parse_groups(text);
    }
    for (const DefaultGroup &d : kDefaultGroups) {
        bool present = std::any_of(groups.begin(), groups.end(),
                                   [&](const UserdbGroup &g) { return g.name == d.name; });
        if (!present) groups.push_back({d.name, "x", d.gid, {}});
    }
    return groups;
}

std::string next_gid(const std::vector<UserdbGroup> &groups) {
    int gid = kFirstGid;
    for (const UserdbGroup &g : groups) gid = std::max(gid, std::atoi(g.gid.c_str()) + 1);
    return std::to_string(gid);
}

// Makes `user` a member of exactly `wanted` (creating missing groups).
void set_membership(std::vector<UserdbGroup> &groups, const std::string &user,
                    const std::vector<std::string> &wanted) {
    for (UserdbGroup &g : groups) {
        auto &m = g.members;
        m.erase(std::remove(m.begin(), m.end(), user), m.end());
        if (std::find(wanted.begin(), wanted.end(), g.name) != wanted.end()) m.push_back(user);
    }
    for (const std::string &w : wanted) {
        bool present = std::any_of(groups.begin(), groups.end(),
                                   [&](const UserdbGroup &g) { return g.name == w; });
        if (!present) groups.push_back({w, "x", next_gid(groups), {user}});
    }
}

std::vector<UserdbUser> load_users() {
    std::string text;
    if (file_exists(userdb_users_path()) && file_read_all(userdb_users_path(), text) == 0) {
        return userdb_parse_users(text);
    }
    return {};
}

int save(const std::vector<UserdbUser> &users, const std::vector<UserdbGroup> &groups) {
    std::string u = userdb_format_users(users);
    std::string g = userdb_format_groups(groups);
    if (file_write_atomic(userdb_users_path(), u.data(), u.size(), 0600) != 0) return -1;
    return file_write_atomic(userdb_group_path(), g.data(), g.size(), 0644);
}

int run(const std::map<std::string, std::string> &args) {
    auto get = [&](const char *k) {
        auto it = args.find(k);
        return it == args.end() ? std::string() : it->second;
    };
    std::string action = get("action"), user = get("user"), pwd = get("pwd");
    if (!userdb_valid_name(user)) return reply(false, "invalid user name");
    bool has_groups = args.count("grp") || args.count("sgrp");
    std::vector<std::string> groups;
    if (!wanted_groups(get("grp"), get("sgrp"), groups)) return reply(false, "invalid group name");

    std::vector<UserdbUser> users = load_users();
    std::vector<UserdbGroup> group_list = load_groups();
    auto found = std::find_if(users.begin(), users.end(),
                              [&](const UserdbUser &u) { return u.name == user; });
    if (action == "add") {
        if (found != users.end()) return reply(false, "account " + user + " already exists");
        if (!valid_password(pwd)) return reply(false, "invalid password");
        users.push_back({user, USERDB_REALM, userdb_ha1(user, USERDB_REALM, pwd)});
        set_membership(group_list, user, groups);
        if (save(users, group_list) != 0) return reply(false, "cannot write the account files");
        return reply(true, "Created account " + user + ".");
    }
    if (action == "update") {
        if (found == users.end()) return reply(false, "no account " + user);
        if (args.count("pwd")) {
            if (!valid_password(pwd)) return reply(false, "invalid password");
            *found = {user, USERDB_REALM, userdb_ha1(user, USERDB_REALM, pwd)};
        }
        if (has_groups) set_membership(group_list, user, groups);
        if (save(users, group_list) != 0) return reply(false, "cannot write the account files");
        return reply(true, "Modified account " + user + ".");
    }
    if (action == "remove") {
        if (found == users.end()) return reply(false, "no account " + user);
        users.erase(found);
        set_membership(group_list, user, {});
        if (save(users, group_list) != 0) return reply(false, "cannot write the account files");
        return reply(true, "Removed account " + user + ".");
    }
    return reply(false, "unknown action");
}

}  // namespace

int main() {
    // A host tool: without a root it would edit the machine's own /etc/group.
    if (mevo_root().empty()) return reply(false, "MEVO_ROOT is not set");
    std::string lock_path = mevo_path(kLockFile);
    file_mkdir_p(lock_path.substr(0, lock_path.rfind('/')));
    int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) return reply(false, "cannot lock the account files");
    int rc = run(parse_query(getenv("QUERY_STRING")));
    close(lock);
    return rc;
}
