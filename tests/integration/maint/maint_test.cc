#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "maint/logs.h"
#include "maint/privacy.h"
#include "params/param.h"
#include "platform/http/userdb.h"
#include "web/web.h"

namespace fs = std::filesystem;

namespace {
// Every file of a .tar.gz reply, by path.
std::map<std::string, std::string> untar(const char *data, int length) {
    std::map<std::string, std::string> files;
    struct archive *a = archive_read_new();
    archive_read_support_filter_gzip(a);
    archive_read_support_format_tar(a);
    if (archive_read_open_memory(a, data, size_t(length)) != ARCHIVE_OK) {
        archive_read_free(a);
        return files;
    }
    struct archive_entry *entry;
    while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
        std::string content;
        char buf[4096];
        la_ssize_t n;
        while ((n = archive_read_data(a, buf, sizeof buf)) > 0) content.append(buf, size_t(n));
        files[archive_entry_pathname(entry)] = content;
    }
    archive_read_free(a);
    return files;
}

// The body of `api` called through the web layer on `path` (".../apioperator", ".../apiadmin"),
// so that the handler sees the caller's privilege as in a real request.
std::string call_as(const char *path, const char *api) {
    web_registry_reset_for_tests();
    web_register("backup_params", backup_params_handler, nullptr, "application/octet-stream",
                 WEB_ACCESS_BY_NAME);
    web_register("copy_params", copy_params_handler, nullptr, "application/octet-stream",
                 WEB_ACCESS_BY_NAME);
    GOutputStream *mem = g_memory_output_stream_new_resizable();
    WebRequest r{path, "GET", api, nullptr, 0, nullptr};
    web_handle_request(&r, mem);
    g_output_stream_close(mem, nullptr, nullptr);
    auto *bytes =
        static_cast<const char *>(g_memory_output_stream_get_data(G_MEMORY_OUTPUT_STREAM(mem)));
    std::string reply(bytes, g_memory_output_stream_get_data_size(G_MEMORY_OUTPUT_STREAM(mem)));
    g_object_unref(mem);
    size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

std::map<std::string, std::string> archive_as(const char *path, const char *api) {
    std::string body = call_as(path, api);
    return untar(body.data(), int(body.size()));
}

constexpr const char *kAdminPath = "/local/mevo/apiadmin";
constexpr const char *kOperatorPath = "/local/mevo/apioperator";

class MaintTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mevo-maint-XXXXXX";
        root_ = mkdtemp(tmpl);
        SpawnOptions quiet;
        quiet.capture_output = true;
        quiet.merge_stderr = true;
        auto r = spawn_run({MEVO_SOURCE_DIR "/scripts/mkroot", root_, MEVO_BUILD_DIR}, quiet);
        ASSERT_EQ(r.status, 0) << r.output;
        setenv("MEVO_ROOT", root_.c_str(), 1);
        setenv("PATH", (root_ + "/usr/bin:" + getenv("PATH")).c_str(), 1);
        setenv("MEVO_ANON_LOCK_PAUSE_S", "0", 1);
        mevo_root_reset_for_tests();
        log_set_stderr(false);
        ov_param_reset_for_tests();
        ASSERT_EQ(ov_param_init(nullptr), 0);
    }
    void TearDown() override {
        ov_param_reset_for_tests();
        fs::remove_all(root_);
        unsetenv("MEVO_ROOT");
        mevo_root_reset_for_tests();
    }
    void add_user(const std::string &user, const std::string &pwd, const std::string &groups) {
        SpawnOptions opts;
        opts.capture_output = true;
        opts.env = {"QUERY_STRING=action=add&user=" + user + "&pwd=" + pwd +
                    "&grp=users&sgrp=" + groups};
        ASSERT_EQ(spawn_run({root_ + "/usr/html/veka-cgi/pwdgrp.cgi"}, opts).status, 0);
    }
    bool password_is(const std::string &user, const std::string &pwd) {
        std::string ha1;
        return userdb_lookup_ha1(user, ha1) == 0 && ha1 == userdb_ha1(user, USERDB_REALM, pwd);
    }
    void write(const std::string &abs, const std::string &text) {
        file_mkdir_p(fs::path(mevo_path(abs)).parent_path());
        ASSERT_EQ(file_write_atomic(mevo_path(abs), text.data(), text.size()), 0);
    }
    std::string root_;
};
}  // namespace

TEST_F(MaintTest, ShowLogsByFirmwareLayout) {
    write("/var/log/messages", "legacy text\n");
    write("/var/log/mevo.log", "mevo line\n");
    write("/var/log/mevo.log.1", "older mevo line\n");
    write("/var/log/system.log", "system line\n");
    int len = 0;

    ov_param_set_ex("root.Properties.Firmware.Version", "5.50.1", 0);
    ov_param_reset_for_tests();  // the firmware version is cached once read
    ASSERT_EQ(ov_param_init(nullptr), 0);
    const char *reply = logs_show_handler(nullptr, "", &len);
    EXPECT_EQ(std::string(reply, size_t(len)), "legacy text\n");

    ov_param_set_ex("root.Properties.Firmware.Version", "5.60.0", 0);
    ov_param_reset_for_tests();
    ASSERT_EQ(ov_param_init(nullptr), 0);
    reply = logs_show_handler(nullptr, "", &len);
    std::string rule = " ===========================================";
    // Descending name order; the two mevo files share one banner.
    EXPECT_EQ(std::string(reply, size_t(len)), rule + "\n    System\n" + rule +
                                                   "\n\nsystem line\n" + rule + "\n    Mevo\n" +
                                                   rule + "\n\nolder mevo line\nmevo line\n");
}

TEST_F(MaintTest, BackupKeepsTheNameCopyDropsCameraValuesAndSystemPassword) {
    ov_param_set_ex("Counter.Name", "entrance", 0);
    ov_param_set_ex("Environment.SysPwd", "topsecret", 1);
    ov_param_set_ex("WebReportUpload.Pass", "upload-pw", 1);
    write("/usr/local/packages/mevo/events.json", "{\"r\":{}}");

    auto backup = archive_as(kAdminPath, "backup_params");
    ASSERT_EQ(backup.count("parambackup.txt"), 1u);
    EXPECT_NE(backup["parambackup.txt"].find("Counter0Name=\"entrance\""), std::string::npos);
    EXPECT_EQ(backup["parambackup.txt"].find("0SysPwd"), std::string::npos);
    EXPECT_NE(backup["parambackup.txt"].find("root.Time."), std::string::npos);
    EXPECT_EQ(backup["eventsbackup.json"], "{\"r\":{}}");
    ASSERT_EQ(backup.count("params.meta"), 1u);
    // Nothing of the archive stays in /tmp.
    for (const auto &e : fs::directory_iterator(mevo_path("/tmp")))
        EXPECT_EQ(e.path().filename().string().find("backup"), std::string::npos) << e.path();

    auto copy = archive_as(kAdminPath, "copy_params");
    EXPECT_EQ(copy["parambackup.txt"].find("Counter0Name"), std::string::npos);
    EXPECT_EQ(copy["parambackup.txt"].find("Environment0"), std::string::npos);
    EXPECT_NE(copy["parambackup.txt"].find("Detector0MinRect"), std::string::npos);
    // The secrets copy keeps the upload password but not the system password.
    std::string meta = root_ + "/copy.meta";
    ASSERT_EQ(file_write_atomic(meta, copy["params.meta"].data(), copy["params.meta"].size()), 0);
    ov_secret_store *store = ov_secret_store_new();
    ASSERT_EQ(ov_secret_store_load(store, meta.c_str()), 0);
    EXPECT_STREQ(ov_secret_store_get(store, "Environment.SysPwd"), "");
    EXPECT_STREQ(ov_secret_store_get(store, "WebReportUpload.Pass"), "upload-pw");
    ov_secret_store_free(store);
}

// An operator's archives carry no secrets file, and no secret in the dump either, even when
// an older restore left one in the parameter store.
TEST_F(MaintTest, OperatorArchivesHoldNoSecret) {
    ov_param_set_ex("Environment.SysPwd", "topsecret", 1);
    ov_param_set_ex("WebReportUpload.Pass", "upload-pw", 1);
    SpawnOptions quiet;
    quiet.capture_output = true;
    ASSERT_EQ(
        spawn_run({root_ + "/usr/bin/setupctl", "set", "root.mevo.Httppost0Pass", "stale-clear-pw"},
                  quiet)
            .status,
        0);
    for (const char *api : {"backup_params", "copy_params"}) {
        auto files = archive_as(kOperatorPath, api);
        ASSERT_EQ(files.count("parambackup.txt"), 1u) << api;
        EXPECT_EQ(files.count("params.meta"), 0u) << api;
        for (const auto &[name, content] : files)
            for (const char *secret : {"topsecret", "upload-pw", "stale-clear-pw", "Httppost0Pass"})
                EXPECT_EQ(content.find(secret), std::string::npos) << api << " " << name;
    }
}

// Without the root's tools on PATH the backup still uses the root's setupctl; without any
// setupctl it fails with an empty reply instead of an archive with an empty dump.
TEST_F(MaintTest, BackupUsesTheRootsToolAndFailsWithoutIt) {
    std::string saved_path = getenv("PATH");
    setenv("PATH", "/usr/bin:/bin", 1);
    auto files = archive_as(kAdminPath, "backup_params");
    EXPECT_NE(files["parambackup.txt"].find("root.mevo.Counter0Name="), std::string::npos);
    fs::rename(root_ + "/usr/bin/setupctl", root_ + "/setupctl.away");
    EXPECT_EQ(call_as(kAdminPath, "backup_params"), "");
    EXPECT_EQ(call_as(kOperatorPath, "copy_params"), "");
    fs::rename(root_ + "/setupctl.away", root_ + "/usr/bin/setupctl");
    setenv("PATH", saved_path.c_str(), 1);
}

TEST_F(MaintTest, DiagnosticArchiveHoldsLogsAndTheNoticeInPrivacyMode) {
    write("/var/log/mevo.log", "mevo line\n");
    write(ANON_LOCK_FILE, "");
    int len = 0;
    const char *reply = logs_generate_handler(nullptr, "", &len);
    auto files = untar(reply, len);
    for (const char *name : {"genlog/date", "genlog/allparams", "genlog/mevo.log", "genlog/version",
                             "genlog/image_not_availible.txt"})
        EXPECT_EQ(files.count(name), 1u) << name;
    EXPECT_EQ(files.count("genlog/image.jpg"), 0u);
    EXPECT_EQ(files["genlog/version"], "VEKA Audience Profiler\n1.6.2-\n2018-10-03");
    EXPECT_NE(files["genlog/allparams"].find("root.mevo."), std::string::npos);
}

TEST_F(MaintTest, HardPrivacyNeedsAnOperatorAndLocksOnlyPeople) {
    // The parameter layer's start-up made the application's own account (an operator and
    // administrator), which is not a person who could still use the camera.
    std::string svc = ov_param_get("Environment.SysAccount");
    ASSERT_EQ(svc, OV_SERVICE_ACCOUNT);
    std::string svc_pw = ov_param_get("Environment.SysPwd");
    add_user("owner", "ownerpw", "viewer:admin");
    add_user("wwwa", "systempw", "viewer:operator:admin");
    int len = 0;
    std::string reply = anonymize_handler(nullptr, "&type=hard", &len);
    EXPECT_EQ(reply, "{\"status\":\"OV_FAIL\",\"message\":\"no_operators\"}");
    EXPECT_TRUE(password_is("owner", "ownerpw"));
    EXPECT_FALSE(file_exists(mevo_path(ANON_LOCK_FILE)));

    add_user("staff", "staffpw", "viewer:operator");
    reply = anonymize_handler(nullptr, "&type=hard", &len);
    EXPECT_EQ(reply, "{\"status\":\"OV_OK\"}");
    EXPECT_FALSE(password_is("owner", "ownerpw"));  // locked with a new password
    EXPECT_TRUE(password_is("wwwa", "systempw"));   // system accounts are never locked
    EXPECT_TRUE(password_is("staff", "staffpw"));   // not an administrator
    // The application keeps its own account's new password as a secret.
    EXPECT_FALSE(password_is(svc, svc_pw));
    EXPECT_TRUE(password_is(svc, ov_param_get("Environment.SysPwd")));
    EXPECT_TRUE(file_exists(mevo_path(ANON_LOCK_FILE)));
    EXPECT_TRUE(file_exists(mevo_path("/etc/privacy-mode")));

    reply = anonymize_reset_handler(nullptr, "", &len);
    EXPECT_EQ(reply, "{\n\t\"status\":\"OV_OK\"\n}\n");
    EXPECT_FALSE(file_exists(mevo_path(ANON_LOCK_FILE)));
    EXPECT_FALSE(file_exists(mevo_path("/etc/privacy-mode")));
}

TEST_F(MaintTest, AnonymizeArguments) {
    int len = 0;
    EXPECT_STREQ(anonymize_handler(nullptr, "", &len),
                 "{\"status\":\"OV_FAIL\",\"message\":\"Missing 'type' variable\"}");
    EXPECT_STREQ(anonymize_handler(nullptr, "&type=loud", &len), "{\"status\":\"OV_FAIL\"}");
    EXPECT_STREQ(anonymize_handler(nullptr, "&type=soft", &len), "{\"status\":\"OV_OK\"}");
    std::string password = privacy_random_password();
    EXPECT_EQ(password.size(), 10u);
    EXPECT_NE(password, privacy_random_password());
}
