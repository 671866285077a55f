// Users and groups of the host HTTP service, kept as two text files under the root:
//   /etc/htdigest  one user per line, "user:realm:HA1" with HA1 = hex MD5 of "user:realm:password"
//                  (the htdigest format, so a password is never stored in clear)
//   /etc/group     one group per line, "name:x:gid:member1,member2" (the /etc/group format);
//                  the groups "viewer", "operator" and "admin" give the HTTP access levels.
// The files are re-read on every lookup, so pwdgrp.cgi changes take effect at once.
// Thread-safe (no shared state).
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr const char *USERDB_REALM = "mevo";

// Access levels given by group membership; a user in none of the groups has USERDB_LEVEL_NONE.
inline constexpr int USERDB_LEVEL_NONE = -1;
inline constexpr int USERDB_LEVEL_VIEWER = 0;
inline constexpr int USERDB_LEVEL_OPERATOR = 1;
inline constexpr int USERDB_LEVEL_ADMIN = 2;

struct UserdbUser {
    std::string name;
    std::string realm;
    std::string ha1;
};

struct UserdbGroup {
    std::string name;
    std::string password;  // "x"
    std::string gid;
    std::vector<std::string> members;
};

std::string userdb_users_path();  // mevo_path("/etc/htdigest")
std::string userdb_group_path();  // mevo_path("/etc/group")

// Parsing and writing of the two formats. Malformed lines are skipped when parsing.
std::vector<UserdbUser> userdb_parse_users(std::string_view text);
std::string userdb_format_users(const std::vector<UserdbUser> &users);
std::vector<UserdbGroup> userdb_parse_groups(std::string_view text);
std::string userdb_format_groups(const std::vector<UserdbGroup> &groups);

// Hex MD5 of "user:realm:password".
std::string userdb_ha1(const std::string &user, const std::string &realm,
                       const std::string &password);

// HA1 of `user` in USERDB_REALM from the users file; 0 when found, -1 otherwise.
int userdb_lookup_ha1(const std::string &user, std::string &ha1);

// Highest level of `user` from the group file.
int userdb_user_level(const std::string &user);

// Members of `group`; 0 when the group exists, -1 otherwise (or when the file is unreadable).
int userdb_group_members(const std::string &group, std::vector<std::string> &members);

// A user or group name we accept: 1..32 of [A-Za-z0-9._-], not starting with '-' or '.'.
bool userdb_valid_name(std::string_view name);
