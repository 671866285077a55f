// Privacy mode: hides the camera's image behind a privacy picture (through the package's
// privacy script) and, in its "hard" form, gives every administrator account but the camera's
// own system accounts a new random password. A lock file marks the mode as active.
// Handlers run on the HTTP loop thread.
#pragma once

#include <string>
#include <vector>

#include "web/web.h"

inline constexpr const char *ANON_LOCK_FILE = "/usr/local/packages/mevo/anon.lock";
inline constexpr const char *ANON_SCRIPT_DIR = "/usr/local/packages/mevo/modules/anon-gui/anon";
inline constexpr const char *ANON_PICTURE = "demographics/images/privacy.png";
inline constexpr const char *PWDGRP_CGI = "/usr/html/veka-cgi/pwdgrp.cgi";
inline constexpr int ANON_PASSWORD_LENGTH = 10;
inline constexpr size_t ANON_REPLY_SIZE = 300;
inline constexpr size_t FGBG_REPLY_SIZE = 5000;

// Registers "anonymize", "anonymize_reset", "lowres.json" (served by `lowres`) and
// "fgbg.json". Main thread, start-up.
void privacy_init(WebBufferHandler lowres);

// True for the camera's own accounts that are never locked.
bool privacy_is_system_account(const std::string &name);
// A random password of ANON_PASSWORD_LENGTH letters and digits.
std::string privacy_random_password(void);

// The service account check handed to the parameter layer: 0 when `password` logs `account`
// in (the user database holds it with that password), -1 otherwise.
int privacy_account_password_check(const char *account, const char *password);

const char *anonymize_handler(void *user_data, const char *args, int *length);
const char *anonymize_reset_handler(void *user_data, const char *args, int *length);
const char *fgbg_handler(void *user_data, const char *args, int *length);
