#include "maint/privacy.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "params/param.h"
#include "platform/http/userdb.h"

namespace {
constexpr const char *TAG = "anon";
constexpr const char *PASSWORD_ALPHABET =
    "0123456789qwertyuiopasdfghjklzxcvbnmQWERTYUIOPASDFGHJKLZXCVBNM";
constexpr int DEFAULT_LOCK_PAUSE_S = 4;
constexpr const char *SYSTEM_ACCOUNTS[] = {"sdk",    "wwwaov", "wwwaovp", "wwwao", "wwwaop",
                                           "wwwov",  "wwwovp", "wwwop",   "wwwo",  "wwwav",
                                           "wwwavp", "wwwap",  "wwwa",    "wwwvp", "wwwv"};

char g_reply[ANON_REPLY_SIZE];

const char *status_reply(int *length, const char *status, const char *message) {
    int n = message ? snprintf(g_reply, sizeof g_reply, "{\"status\":\"%s\",\"message\":\"%s\"}",
                               status, message)
                    : snprintf(g_reply, sizeof g_reply, "{\"status\":\"%s\"}", status);
    *length = n < int(sizeof g_reply) ? n : int(sizeof g_reply) - 1;
    return g_reply;
}

// The camera's CGI needed a pause between account changes; tests shorten it.
void lock_pause() {
    const char *env = getenv("MEVO_ANON_LOCK_PAUSE_S");
    int seconds = env ? atoi(env) : DEFAULT_LOCK_PAUSE_S;
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

bool is_person(const std::string &name, const std::string &sys_account) {
    return !privacy_is_system_account(name) && name != sys_account;
}

bool has_operator_person(const std::string &sys_account) {
    std::vector<std::string> members;
    if (userdb_group_members("operator", members) != 0) {
        log_message(TAG, "Failed to read operator group: %s", strerror(errno ? errno : ENOENT));
        return false;
    }
    for (const auto &m : members)
        if (is_person(m, sys_account)) return true;
    return false;
}

int run_script(const char *mode, const char *picture) {
    std::string dir = mevo_path(ANON_SCRIPT_DIR);
    return spawn_run({dir + "/privacy.sh", mode, dir, picture}).status;
}

bool lock_accounts(const std::string &sys_account) {
    std::vector<std::string> admins;
    if (userdb_group_members("admin", admins) != 0) {
        log_message(TAG, "Failed to read admin group: %s", strerror(errno ? errno : ENOENT));
        return false;
    }
    for (const auto &account : admins) {
        if (privacy_is_system_account(account)) continue;
        std::string password = privacy_random_password();
        SpawnOptions opts;
        opts.env = {"QUERY_STRING=action=update&user=" + account + "&pwd=" + password};
        opts.capture_output = true;
        bool ok = spawn_run({mevo_path(PWDGRP_CGI)}, opts).status == 0;
        lock_pause();
        log_message(TAG, "Locking account %s: %s", account.c_str(), ok ? "ok" : "failed");
        if (!ok) return false;
        if (account == sys_account) ov_param_set_ex("Environment.SysPwd", password.c_str(), 0);
    }
    ov_param_secrets_save();
    return true;
}

const char *soft(int *length) {
    log_message(TAG, "Running anonymizer..");
    int rc = run_script("on", ANON_PICTURE);
    if (rc != 0) {
        log_message(TAG, "Anonymization failed, return code: %d", rc);
        return status_reply(length, "OV_FAIL", "Could not anonimize");
    }
    int fd =
        open(mevo_path(ANON_LOCK_FILE).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0244);
    if (fd < 0) {
        log_message(TAG, "Failed to write anonymization lock file");
        return status_reply(length, "OV_FAIL", "Could not anonimize");
    }
    close(fd);
    return status_reply(length, "OV_OK", nullptr);
}
}  // namespace

bool privacy_is_system_account(const std::string &name) {
    for (const char *s : SYSTEM_ACCOUNTS)
        if (name == s) return true;
    return false;
}

std::string privacy_random_password(void) {
    // Drawn from the kernel's generator: a time-seeded rand() would let anyone who knows the
    // minute of the lock guess the new administrator passwords.
    unsigned char bytes[ANON_PASSWORD_LENGTH];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) got += size_t(n);
    }
    size_t alphabet = strlen(PASSWORD_ALPHABET);
    std::string password;
    for (unsigned char b : bytes) password += PASSWORD_ALPHABET[b % alphabet];
    return password;
}

int privacy_account_password_check(const char *account, const char *password) {
    std::string ha1;
    if (!account || !password || userdb_lookup_ha1(account, ha1) != 0) return -1;
    return ha1 == userdb_ha1(account, USERDB_REALM, password) ? 0 : -1;
}

const char *anonymize_handler(void *, const char *args, int *length) {
    if (!args || !*args) return status_reply(length, "OV_FAIL", "Missing 'type' variable");
    const char *p = strstr(args, "type=");
    std::string type;
    if (p) {
        p += strlen("type=");
        const char *end = strchr(p, '&');
        type = end ? std::string(p, end) : std::string(p);
    }
    if (type == "hard") {
        std::string sys_account = ov_param_get("Environment.SysAccount");
        if (!has_operator_person(sys_account))
            return status_reply(length, "OV_FAIL", "no_operators");
        if (!lock_accounts(sys_account))
            return status_reply(length, "OV_FAIL", "Could not lock accounts");
        return soft(length);
    }
    if (type == "soft") return soft(length);
    return status_reply(length, "OV_FAIL", nullptr);
}

const char *anonymize_reset_handler(void *, const char *, int *length) {
    log_message(TAG, "Resetting from anon to normal mode");
    int rc = run_script("off", "dummy_path");
    const char *status = "OV_OK";
    if (rc != 0) {
        log_message(TAG, "Anonymization failed, return code: %d", rc);
        status = "OV_FAIL";
    } else {
        unlink(mevo_path(ANON_LOCK_FILE).c_str());
    }
    int n = snprintf(g_reply, sizeof g_reply, "{\n\t\"status\":\"%s\"\n}\n", status);
    *length = n;
    return g_reply;
}

const char *fgbg_handler(void *, const char *, int *length) {
    static char reply[FGBG_REPLY_SIZE];
    int n =
        snprintf(reply, sizeof reply,
                 "{\n\t\"width\":%d,\n\t\"height\":%d,\n\t\"data0\":\"%s\",\n\t\"latest\":%d\n}\n",
                 0, 0, "", 1337);
    *length = n;
    return reply;
}

void privacy_init(WebBufferHandler lowres) {
    const char *html = "text/html; charset=UTF-8";
    const char *plain = "text/plain; charset=UTF-8";
    web_register("anonymize", anonymize_handler, nullptr, html, WEB_ACCESS_BY_NAME);
    web_register("anonymize_reset", anonymize_reset_handler, nullptr, html, WEB_ACCESS_BY_NAME);
    if (lowres) web_register("lowres.json", lowres, nullptr, plain, WEB_ACCESS_BY_NAME);
    web_register("fgbg.json", fgbg_handler, nullptr, plain, WEB_ACCESS_BY_NAME);
}
