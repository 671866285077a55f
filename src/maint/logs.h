// Support downloads: the application's log text, a diagnostic archive, and parameter archives
// for backup and for copying settings to another camera. Buffer handlers of the web layer
// (HTTP loop thread, one request at a time; every file is rebuilt per request).
#pragma once

inline constexpr const char *LOGS_MESSAGES_FILE = "/tmp/messsages";
inline constexpr const char *LOGS_GENLOG_DIR = "/tmp/genlog";
inline constexpr const char *LOGS_GENLOG_ARCHIVE = "/tmp/genlog.tgz";
// The parameter archives are built in a private folder made from this template and removed
// after the reply (they may hold secrets).
inline constexpr const char *BACKUP_WORK_DIR_TEMPLATE = "/tmp/mevo-backup-XXXXXX";
inline constexpr const char *PRODUCT_NAME = "VEKA Audience Profiler";
inline constexpr const char *PRODUCT_VERSION = "1.6.2";
inline constexpr const char *PRODUCT_BUILD_DATE = "2018-10-03";

// "show-logs": the log text (one legacy file, or every *log* file of /var/log with banners).
const char *logs_show_handler(void *user_data, const char *args, int *length);
// "generate-logs": /tmp/genlog.tgz.
const char *logs_generate_handler(void *user_data, const char *args, int *length);
// "backup_params": parameters, event rules and (for administrators only) secrets of this
// camera. Length 0 when the archive cannot be built (setupctl cannot be run, for example).
const char *backup_params_handler(void *user_data, const char *args, int *length);
// "copy_params": the same without the camera-specific values and the system password; the
// secrets, again, only for administrators.
const char *copy_params_handler(void *user_data, const char *args, int *length);
