#include "platform/http/userdb.h"

#include <glib.h>

#include "common/fileutil.h"
#include "common/paths.h"

namespace {

constexpr size_t kMaxNameLength = 32;

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::string_view line : split(text, '\n')) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.front() != '#') lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::string userdb_users_path() {
    return mevo_path("/etc/htdigest");
}
std::string userdb_group_path() {
    return mevo_path("/etc/group");
}

std::vector<UserdbUser> userdb_parse_users(std::string_view text) {
    std::vector<UserdbUser> users;
    for (std::string_view line : lines_of(text)) {
        auto f = split(line, ':');
        if (f.size() != 3 || f[0].empty() || f[2].empty()) continue;
        users.push_back({std::string(f[0]), std::string(f[1]), std::string(f[2])});
    }
    return users;
}

std::string userdb_format_users(const std::vector<UserdbUser> &users) {
    std::string out;
    for (const UserdbUser &u : users) out += u.name + ":" + u.realm + ":" + u.ha1 + "\n";
    return out;
}

std::vector<UserdbGroup> userdb_parse_groups(std::string_view text) {
    std::vector<UserdbGroup> groups;
    for (std::string_view line : lines_of(text)) {
        auto f = split(line, ':');
        if (f.size() != 4 || f[0].empty()) continue;
        UserdbGroup g{std::string(f[0]), std::string(f[1]), std::string(f[2]), {}};
        if (!f[3].empty()) {
            for (std::string_view m : split(f[3], ',')) {
                if (!m.empty()) g.members.emplace_back(m);
            }
        }
        groups.push_back(std::move(g));
    }
    return groups;
}

std::string userdb_format_groups(const std::vector<UserdbGroup> &groups) {
    std::string out;
    for (const UserdbGroup &g : groups) {
        out += g.name + ":" + g.password + ":" + g.gid + ":";
        for (size_t i = 0; i < g.members.size(); ++i) {
            if (i > 0) out += ",";
            out += g.members[i];
        }
        out += "\n";
    }
    return out;
}

std::string userdb_ha1(const std::string &user, const std::string &realm,
                       const std::string &password) {
    std::string text = user + ":" + realm + ":" + password;
    gchar *hex = g_compute_checksum_for_string(G_CHECKSUM_MD5, text.c_str(),
                                               static_cast<gssize>(text.size()));
    std::string ha1 = hex ? hex : "";
    g_free(hex);
    return ha1;
}

int userdb_lookup_ha1(const std::string &user, std::string &ha1) {
    std::string text;
    if (file_read_all(userdb_users_path(), text) != 0) return -1;
    for (const UserdbUser &u : userdb_parse_users(text)) {
        if (u.name == user && u.realm == USERDB_REALM) {
            ha1 = u.ha1;
            return 0;
        }
    }
    return -1;
}

int userdb_user_level(const std::string &user) {
    std::string text;
    if (file_read_all(userdb_group_path(), text) != 0) return USERDB_LEVEL_NONE;
    int level = USERDB_LEVEL_NONE;
    for (const UserdbGroup &g : userdb_parse_groups(text)) {
        int group_level = g.name == "admin"      ? USERDB_LEVEL_ADMIN
                          : g.name == "operator" ? USERDB_LEVEL_OPERATOR
                          : g.name == "viewer"   ? USERDB_LEVEL_VIEWER
                                                 : USERDB_LEVEL_NONE;
        if (group_level <= level) continue;
        for (const std::string &m : g.members) {
            if (m == user) level = group_level;
        }
    }
    return level;
}

int userdb_group_members(const std::string &group, std::vector<std::string> &members) {
    std::string text;
    if (file_read_all(userdb_group_path(), text) != 0) return -1;
    for (const UserdbGroup &g : userdb_parse_groups(text)) {
        if (g.name == group) {
            members = g.members;
            return 0;
        }
    }
    return -1;
}

bool userdb_valid_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    if (name.front() == '-' || name.front() == '.') return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}
