#include <glib.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "param_fixture.h"
#include "platform/param/vk_parameter.h"

namespace {

struct MapCase {
    const char *name;
    bool ok;
    const char *mapped;
};

TEST(ParamNames, MapsProgramNamesToTheApplicationGroup) {
    const MapCase cases[] = {
        {"Counter.Name", true, "root.mevo.Counter0Name"},
        {"root.Brand.ProdNbr", true, "root.Brand.ProdNbr"},
        {"Schedule.Start.Mo", true, "root.mevo.Schedule0Start.Mo"},  // only the first dot
        {"Enabled", false, ""},
        {".Name", false, ""},
        {"", false, ""},
    };
    for (const auto &c : cases) {
        std::string out = "junk";
        EXPECT_EQ(ov_param_map_name(c.name, out), c.ok) << c.name;
        EXPECT_EQ(out, c.mapped) << c.name;
    }
    std::string long_name = "Counter." + std::string(OV_PARAM_NAME_MAX, 'x');
    std::string out;
    EXPECT_FALSE(ov_param_map_name(long_name.c_str(), out)) << "a cut name could alias another";
}

TEST(ParamVersion, ComparesPartByPartWithWildcards) {
    const int A = OV_VERSION_ANY;
    struct Case {
        int a[4], b[4], want;
    } cases[] = {
        {{8, 30, 0, 0}, {8, 30, 0, 0}, 0}, {{8, 20, 5, 0}, {8, 30, A, A}, 1},
        {{9, 0, 0, 0}, {8, 30, A, A}, -1}, {{8, 30, 7, 1}, {8, 30, A, A}, 0},
        {{6, 15, 1, 9}, {6, 15, 1, A}, 0}, {{6, 15, 2, 0}, {6, 15, 1, A}, -1},
        {{A, 1, 0, 0}, {5, 9, 9, 9}, 0},   {{5, 50, 0, 0}, {5, 60, A, A}, 1},
        {{1, 2, 3, 4}, {1, 2, 3, 5}, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ov_version_compare(c.a, c.b), c.want)
            << c.a[0] << "." << c.a[1] << "." << c.a[2] << "." << c.a[3];
}

TEST(ParamVersion, ParsesUpToFourParts) {
    struct Case {
        const char *text;
        int rc;
        int want[4];
    } cases[] = {
        {"9.80.3", 0, {9, 80, 3, 0}},
        {"..6.15.1.22", 0, {6, 15, 1, 22}},
        {"8.30", 0, {8, 30, 0, 0}},
        {"1.2.3.4.5", 0, {1, 2, 3, 4}},
        {"10.2.1_beta", 0, {10, 2, 1, 0}},
        {"beta", -1, {0, 0, 0, 0}},
        {"", -1, {0, 0, 0, 0}},
    };
    log_set_stderr(false);
    for (const auto &c : cases) {
        int v[4] = {7, 7, 7, 7};
        EXPECT_EQ(ov_version_parse(c.text, v), c.rc) << c.text;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(v[i], c.want[i]) << c.text << " part " << i;
    }
}

TEST(ParamCipher, IsItsOwnInverseAndKeepsLength) {
    std::string plain = "WebReportUpload.Pass and some longer text \x01\x02\xff";
    std::vector<unsigned char> buf(plain.begin(), plain.end());
    ov_cipher_apply(buf.data(), buf.size());
    EXPECT_NE(std::string(buf.begin(), buf.end()), plain);
    ov_cipher_apply(buf.data(), buf.size());
    EXPECT_EQ(std::string(buf.begin(), buf.end()), plain);

    std::string enc = ov_payload_encode("abc");
    gsize n = 0;
    guchar *raw = g_base64_decode(enc.c_str(), &n);
    ASSERT_EQ(n, 3u);
    ov_cipher_apply(raw, n);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(raw), n), "abc");
    g_free(raw);
}

TEST(ParamItems, SplitsTheArgumentString) {
    auto items = ov_param_parse_items("&==Counter.Name=a=b&&noequals&Detector.Roi=&x.y=1");
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].key, "Counter.Name");
    EXPECT_EQ(items[0].value, "a=b");
    EXPECT_EQ(items[1].key, "Detector.Roi");
    EXPECT_EQ(items[1].value, "");
    EXPECT_EQ(items[2].key, "x.y");
    EXPECT_EQ(items[2].value, "1");
    EXPECT_TRUE(ov_param_parse_items("").empty());
}

TEST(ParamCredentials, RestoresMaskedItemsByAddress) {
    struct Case {
        const char *new_cred, *old_cred, *new_addr, *old_addr;
        int rc;
        const char *out;
    } cases[] = {
        {"a;b", "x;y", "h1;h2", "h1;h2", 0, ""},                       // nothing masked
        {"****;new", "p1;p2", "h1?q=1;h2", "h1?q=0;h2", 1, "p1;new"},  // matched without query
        {"****;****", "p1;p2", "h2;h1", "h1;h2", 1, "p2;p1"},          // reordered addresses
        {"****", "p1;p2", "h3", "h1;h2", 1, "****"},                   // unknown address kept
        {"****;x", "p1", "h1", "h1", -1, ""},                          // new lists uneven
        {"****", "p1;p2", "h1", "h1", -1, ""},                         // old lists uneven
        {"a;;****", "k;l;m", "h1;;h3", "h0;h2;h3", 1, "a;;m"},         // empty items keep place
    };
    log_set_stderr(false);
    for (const auto &c : cases) {
        std::string out = "junk";
        EXPECT_EQ(ov_param_restore_credentials(c.new_cred, c.old_cred, c.new_addr, c.old_addr, out),
                  c.rc)
            << c.new_cred;
        EXPECT_EQ(out, c.out) << c.new_cred;
    }
    EXPECT_EQ(ov_param_mask_credentials(""), "");
    EXPECT_EQ(ov_param_mask_credentials("a;;bc"), "****;;****");
}

// ---- with a store ----

class ParamLayer : public ParamRoot {
  protected:
    void SetUp() override {
        ParamRoot::SetUp();
        ASSERT_EQ(ov_param_init(nullptr), 0);
        ov_param_changed();  // start from a clean flag
    }
};

TEST_F(ParamLayer, GetsSeededAndCameraValues) {
    EXPECT_STREQ(ov_param_get("Counter.Name"), "OVDefaultName");
    EXPECT_STREQ(ov_param_get("root.Brand.ProdNbr"), "KT45");
    EXPECT_STREQ(ov_param_get("Enabled"), "");
    EXPECT_STREQ(ov_param_get("Counter.NoSuchKey"), "");
    EXPECT_STREQ(ov_param_get(nullptr), "");
}

TEST_F(ParamLayer, SetReportsStoredUnchangedAndFailure) {
    EXPECT_EQ(ov_param_set_ex("Detector.MinRect", "33", 0), OV_PARAM_OK);
    EXPECT_STREQ(ov_param_get("Detector.MinRect"), "33");
    EXPECT_EQ(ov_param_changed(), 0) << "a write without sync is no change";

    EXPECT_EQ(ov_param_set_ex("Detector.MinRect", "33", 1), OV_PARAM_UNCHANGED);
    EXPECT_EQ(ov_param_changed(), 0) << "an unchanged value never marks a change";

    EXPECT_EQ(ov_param_set("Detector.MinRect", "34"), OV_PARAM_OK);
    EXPECT_EQ(ov_param_changed(), 1);
    EXPECT_EQ(ov_param_changed(), 0) << "the test clears the flag";

    EXPECT_EQ(ov_param_set_ex("NoDot", "1", 1), OV_PARAM_FAILED);
    EXPECT_EQ(ov_param_set_ex("root.Brand.NoSuchThing", "1", 1), OV_PARAM_FAILED);
    EXPECT_EQ(ov_param_set_ex("Counter.Name", nullptr, 1), OV_PARAM_FAILED);
    EXPECT_EQ(ov_param_changed(), 0);
    EXPECT_EQ(ov_param_set_ex("root.Image.I0.Appearance.Rotation", "180", 0), OV_PARAM_OK);
    EXPECT_STREQ(ov_param_get("root.Image.I0.Appearance.Rotation"), "180");
}

TEST_F(ParamLayer, SyncItemOnlySavesAndMarks) {
    EXPECT_EQ(ov_param_set_ex("sync", "1", 1), OV_PARAM_OK);
    EXPECT_EQ(ov_param_changed(), 1);
    EXPECT_TRUE(file_exists(ov_param_secrets_path()));
}

TEST_F(ParamLayer, WithoutServiceEveryGetIsEmptyAndEverySetFails) {
    ov_param_reset_for_tests();  // no init: no service handle
    EXPECT_STREQ(ov_param_get("Counter.Name"), "");
    EXPECT_EQ(ov_param_set_ex("Counter.Name", "x", 0), OV_PARAM_FAILED);
    EXPECT_EQ(ov_param_changed(), 1) << "a failed set without service asks for a restart";
}

TEST_F(ParamLayer, SecretsNeverReachTheService) {
    EXPECT_EQ(ov_param_set("WebReportUpload.Pass", "hunter2"), OV_PARAM_OK);
    EXPECT_EQ(ov_param_changed(), 1);
    EXPECT_STREQ(ov_param_get("WebReportUpload.Pass"), "hunter2");
    GError *error = nullptr;
    VkParameter *vk = vk_parameter_new("mevo", &error);
    ASSERT_NE(vk, nullptr);
    char *v = vk_parameter_get(vk, "root.mevo.WebReportUpload0Pass", &error);
    EXPECT_EQ(v, nullptr);
    g_clear_error(&error);
    vk_parameter_free(vk);
    EXPECT_EQ(ov_param_set_ex("WebReportUpload.Pass", "hunter2", 1), OV_PARAM_UNCHANGED);
    EXPECT_EQ(ov_param_changed(), 0);
}

TEST_F(ParamLayer, SecretsFileSurvivesRestartByteForByte) {
    ASSERT_EQ(ov_param_set("Counter.SlavePass", "s1;s2"), OV_PARAM_OK);
    ASSERT_EQ(ov_param_set("Httppost.Pass", "p\"w/d"), OV_PARAM_OK);
    std::string before;
    ASSERT_EQ(file_read_all(ov_param_secrets_path(), before), 0);
    ASSERT_EQ(before.size() % 4, 0u);

    ASSERT_EQ(restart(), 0);
    EXPECT_STREQ(ov_param_get("Counter.SlavePass"), "s1;s2");
    EXPECT_STREQ(ov_param_get("Httppost.Pass"), "p\"w/d");
    EXPECT_STREQ(ov_param_get("Environment.SysPwd"), "");
    ASSERT_EQ(ov_param_secrets_save(), 0);
    std::string after;
    ASSERT_EQ(file_read_all(ov_param_secrets_path(), after), 0);
    EXPECT_EQ(after, before);

    gsize n = 0;
    g_free(g_base64_decode(after.c_str(), &n));
    EXPECT_EQ(n, 6 * OV_SECRET_RECORD_SIZE) << "the six secret names, one record each";
}

TEST_F(ParamLayer, LongSecretIsCutTo127Characters) {
    std::string long_value(200, 'k');
    long_value[126] = 'Z';
    ASSERT_EQ(ov_param_set("WebReportUpload.ProxyPass", long_value.c_str()), OV_PARAM_OK);
    EXPECT_EQ(std::string(ov_param_get("WebReportUpload.ProxyPass")), long_value.substr(0, 127));
    ov_param_changed();
    EXPECT_EQ(ov_param_set("WebReportUpload.ProxyPass", long_value.c_str()), OV_PARAM_UNCHANGED)
        << "sending the same long secret again is no change";
    EXPECT_EQ(ov_param_changed(), 0);
    ASSERT_EQ(restart(), 0);
    EXPECT_EQ(std::string(ov_param_get("WebReportUpload.ProxyPass")), long_value.substr(0, 127));
}

TEST_F(ParamLayer, DamagedSecretsFilesNeverLoseStoredSecrets) {
    ov_secret_store *store = ov_secret_store_new();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(ov_secret_store_set(store, "Httppost.Pass", "keep-me"), 0);

    std::vector<unsigned char> record(OV_SECRET_RECORD_SIZE, 0);
    memcpy(record.data(), "Httppost.Pass", 13);
    memcpy(record.data() + 128, "evil", 4);
    ov_cipher_apply(record.data(), record.size());
    gchar *one = g_base64_encode(record.data(), record.size());
    gchar *short_one = g_base64_encode(record.data(), 100);
    const std::string bad_texts[] = {
        "not base64 at all!",
        std::string(one) + "@@@@",
        std::string(one).substr(0, strlen(one) - 1),  // truncated
        std::string(short_one),                       // 100 bytes: not whole records
        std::string(one) + "AAAA",                    // 259 bytes
    };
    g_free(one);
    g_free(short_one);
    for (const auto &text : bad_texts) {
        EXPECT_EQ(ov_secret_store_load_text(store, text, "test"), -1) << text;
        EXPECT_STREQ(ov_secret_store_get(store, "Httppost.Pass"), "keep-me") << text;
        EXPECT_EQ(ov_secret_store_size(store), 1u);
    }
    EXPECT_EQ(ov_secret_store_load(store, (root_ + "/missing").c_str()), -1);
    EXPECT_STREQ(ov_secret_store_get(store, "Httppost.Pass"), "keep-me");
    ov_secret_store_free(store);

    // The application's own file: an unreadable one is kept aside, not silently lost.
    std::string path = ov_param_secrets_path();
    ASSERT_EQ(file_write_atomic(path, "garbage!", 8), 0);
    ASSERT_EQ(restart(), 0);
    std::string kept;
    EXPECT_EQ(file_read_all(path + ".unreadable", kept), 0);
    EXPECT_EQ(kept, "garbage!");
}

TEST_F(ParamLayer, SecretRecordsWithoutTerminatorsAreCut) {
    std::vector<unsigned char> record(OV_SECRET_RECORD_SIZE, 'A');
    ov_cipher_apply(record.data(), record.size());
    gchar *b64 = g_base64_encode(record.data(), record.size());
    ov_secret_store *store = ov_secret_store_new();
    EXPECT_EQ(ov_secret_store_load_text(store, b64, "test"), 0);
    std::string name(127, 'A');
    ASSERT_NE(ov_secret_store_get(store, name.c_str()), nullptr);
    EXPECT_EQ(strlen(ov_secret_store_get(store, name.c_str())), 127u);
    g_free(b64);
    ov_secret_store_free(store);
}

TEST_F(ParamLayer, SetparamsRepliesAndMarksChanges) {
    struct Case {
        const char *endpoint;
        const char *args;
        const char *reply;
        int changed;
    } cases[] = {
        {"setparams", "", "need arguments", 0},
        {"setparams", "&Counter.Name", "need arguments", 0},
        {"setparams", "&WebReportUpload.Pass=****", "No params were changed.\n", 0},
        {"setparams", "&Counter.Name=Shop 1&Detector.MinRect=24", "OK\n", 1},
        {"setparams", "&Counter.Name=Shop 1", "No params were changed.\n", 0},
        {"nosyncsetparams", "&Counter.Name=Shop 2", "OK\n", 0},
        {"setparams", "&NoDot=1&root.Brand.Bogus=2", "No params were changed.\n", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(call_endpoint(c.endpoint, c.args), c.reply) << c.args;
        EXPECT_EQ(ov_param_changed(), c.changed) << c.args;
    }
    EXPECT_STREQ(ov_param_get("Counter.Name"), "Shop 2");
    EXPECT_STREQ(ov_param_get("Detector.MinRect"), "24");
}

TEST_F(ParamLayer, SetparamsKeepsMaskedPasswords) {
    ASSERT_EQ(ov_param_set("WebReportUpload.Pass", "real"), OV_PARAM_OK);
    ASSERT_EQ(ov_param_set("WebReportUpload.ProxyPass", "proxyreal"), OV_PARAM_OK);
    EXPECT_EQ(
        call_endpoint("setparams", "&WebReportUpload.Pass=****&WebReportUpload.ProxyPass=****"),
        "No params were changed.\n");
    EXPECT_STREQ(ov_param_get("WebReportUpload.Pass"), "real");
    EXPECT_STREQ(ov_param_get("WebReportUpload.ProxyPass"), "proxyreal");
    EXPECT_EQ(call_endpoint("setparams", "&WebReportUpload.Pass=new"), "OK\n");
    EXPECT_STREQ(ov_param_get("WebReportUpload.Pass"), "new");
}

TEST_F(ParamLayer, SetparamsRestoresMaskedCredentialLists) {
    ASSERT_EQ(ov_param_set_ex("Counter.SlaveAddress", "10.0.0.1?port=80;10.0.0.2", 0), OV_PARAM_OK);
    ASSERT_EQ(ov_param_set_ex("Counter.SlavePass", "pw1;pw2", 0), OV_PARAM_OK);
    ov_param_changed();
    // The page shows "****;****", the user adds a third counter and moves the first.
    EXPECT_EQ(call_endpoint("setparams",
                            "&Counter.SlaveAddress=10.0.0.2;10.0.0.3;10.0.0.1?port=81"
                            "&Counter.SlavePass=****;pw3;****"),
              "OK\n");
    EXPECT_STREQ(ov_param_get("Counter.SlavePass"), "pw2;pw3;pw1");
    EXPECT_EQ(ov_param_changed(), 1);

    // Uneven lists: nothing is restored, the masked list stays as sent.
    EXPECT_EQ(call_endpoint("nosyncsetparams", "&Counter.SlavePass=****"), "OK\n");
    EXPECT_STREQ(ov_param_get("Counter.SlavePass"), "****");
}

TEST_F(ParamLayer, StatusListDeduplicatesAndHoldsTen) {
    static const char *const kMessages[] = {"m0", "m1", "m2", "m3", "m4", "m5",
                                            "m6", "m7", "m8", "m9", "m10"};
    for (const auto &s : ov_param_status_snapshot()) ov_param_status_clear(s.second.c_str());
    ASSERT_EQ(ov_param_status_count(), 0);
    ov_param_status_set("K0", "m0");
    ov_param_status_set("OTHER", "m0");  // same text: listed once
    EXPECT_EQ(ov_param_status_count(), 1);
    for (const char *m : kMessages) ov_param_status_set("K", m);
    EXPECT_EQ(ov_param_status_count(), 10);
    auto slots = ov_param_status_snapshot();
    for (const auto &s : slots) EXPECT_NE(s.second, "m10") << "the 11th message is dropped";
    ov_param_status_clear("m3");
    EXPECT_EQ(ov_param_status_count(), 9);
    ov_param_status_set("K", "m10");  // takes the freed slot
    slots = ov_param_status_snapshot();
    ASSERT_EQ(slots.size(), 10u);
    EXPECT_EQ(slots[3].second, "m10");
}

TEST_F(ParamLayer, ErrorsJsonListsStatusInSlotOrder) {
    ov_param_status_set("SCHEDULEERROR", "Outside counting schedule. Counter disabled.");
    ov_param_status_set("ENABLEDERROR", "VEKA Audience Profiler is \"disabled\".");
    std::string reply = call_endpoint("errors.json", "");
    ASSERT_EQ(reply.back(), '\n');
    auto doc = nlohmann::json::parse(reply);
    EXPECT_EQ(doc["errors"]["SCHEDULEERROR"], "Outside counting schedule. Counter disabled.");
    EXPECT_EQ(doc["errors"]["ENABLEDERROR"], "VEKA Audience Profiler is \"disabled\".");
    EXPECT_EQ(reply.find("\"SCHEDULEERROR\"") < reply.find("\"ENABLEDERROR\""), true);
    EXPECT_EQ(fake_endpoints()["errors.json"].content_type, "text/plain; charset=UTF-8");
    EXPECT_EQ(fake_endpoints()["errors.json"].level, 3);
}

TEST_F(ParamLayer, ParamsJsonMasksSecrets) {
    ASSERT_EQ(ov_param_set("WebReportUpload.Pass", "topsecret1"), OV_PARAM_OK);
    ASSERT_EQ(ov_param_set("Counter.OccCoCounterCred", "c1;;c3"), OV_PARAM_OK);
    ASSERT_EQ(ov_param_set("Counter.Name", "Shop \"North\" / 1"), OV_PARAM_OK);
    ov_param_status_set("ERROR_NO_NTP", "No NTP");
    std::string reply = call_endpoint("params.json", "&variable=params&x=1");
    ASSERT_EQ(reply.rfind("var params = ", 0), 0u);
    EXPECT_EQ(reply.find("topsecret1"), std::string::npos);
    EXPECT_EQ(reply.find("c3"), std::string::npos);
    auto doc = nlohmann::json::parse(reply.substr(strlen("var params = ")));
    EXPECT_EQ(doc["WebReportUpload"]["Pass"], "****");
    EXPECT_EQ(doc["WebReportUpload"]["ProxyPass"], "");
    EXPECT_EQ(doc["Environment"]["SysPwd"], "");
    EXPECT_EQ(doc["Counter"]["OccCoCounterCred"], "****;;****");
    EXPECT_EQ(doc["Counter"]["SlavePass"], "");
    EXPECT_EQ(doc["Counter"]["Name"], "Shop \"North\" / 1");
    EXPECT_EQ(doc["Detector"]["MinRect"], "20");
    EXPECT_EQ(doc["Build"]["Name"], "VEKA Audience Profiler");
    EXPECT_EQ(doc["Static"]["Width"], 1280);
    EXPECT_EQ(doc["Static"]["ModelName"], "KT45");
    EXPECT_EQ(doc["Static"]["Serial"], "ACCC8E1F2A3B");
    EXPECT_EQ(doc["Static"]["CaptureModeResolution"], "1280x720");
    EXPECT_EQ(doc["Static"]["Anonymous"], 0);
    EXPECT_EQ(doc["Errors"]["ERROR_NO_NTP"], "No NTP");

    // A variable name longer than 30 characters is not used.
    reply = call_endpoint("params.json", ("&variable=" + std::string(31, 'v')).c_str());
    EXPECT_EQ(reply.rfind("{", 0), 0u);
}

TEST_F(ParamLayer, FactoryDefaultsRestoresDefaultsAndDropsSecrets) {
    ASSERT_EQ(ov_param_set("Counter.Name", "Shop"), OV_PARAM_OK);
    ASSERT_EQ(ov_param_set("Httppost.Pass", "x"), OV_PARAM_OK);
    std::string events = pkg_ + "/events.json";
    ASSERT_EQ(file_write_atomic(events, "[]", 2), 0);
    ov_param_changed();

    EXPECT_EQ(call_endpoint("factory-defaults", ""), "OK\n");
    EXPECT_STREQ(ov_param_get("Counter.Name"), "OVDefaultName");
    EXPECT_STREQ(ov_param_get("Httppost.Pass"), "");
    EXPECT_FALSE(file_exists(ov_param_secrets_path()));
    EXPECT_FALSE(file_exists(events));
    EXPECT_EQ(ov_param_changed(), 1);
}

TEST_F(ParamLayer, FactoryDefaultsReaderToleratesOddLines) {
    std::string defaults =
        "\r\n"
        "Counter0Name = \"Plain\"   type = \"string\"\r\n"
        "NoGroup=\"1\"\n"
        "Detector0MinRect=noquotes\n"
        "Classifier0FaceThreshold=\"0.7\"type=\"double\"   \n";
    ASSERT_EQ(file_write_atomic(pkg_ + "/param.conf.default", defaults.data(), defaults.size()), 0);
    EXPECT_EQ(ov_param_factory_defaults(), "OK\n");
    EXPECT_STREQ(ov_param_get("Counter.Name"), "Plain");
    EXPECT_STREQ(ov_param_get("Detector.MinRect"), "20");
    EXPECT_STREQ(ov_param_get("Classifier.FaceThreshold"), "0.7");
}

TEST_F(ParamLayer, DefaultsListEveryKeyWithTheNameMarker) {
    std::vector<std::pair<std::string, std::string>> group;
    ASSERT_TRUE(ov_param_list_group(group));
    EXPECT_GE(group.size(), 60u);
    for (const char *key :
         {"Counter.Enabled", "Camera.Width", "Setup.Height", "Detector.Roi", "Liveview.Width",
          "Classifier.GenderBias", "Schedule.EnableSa", "Schedule.Holidays",
          "WebReportUpload.WaitTimeSend", "Environment.SysAccount", "Misc.StreamProfileEnabled",
          "Debug.Truth", "Counter.DigitalZoomMin"}) {
        std::string mapped;
        ASSERT_TRUE(ov_param_map_name(key, mapped));
        bool found = false;
        for (const auto &p : group) found |= p.first == mapped;
        EXPECT_TRUE(found) << key;
    }
    EXPECT_EQ(std::string(ov_param_get("Counter.Name")).rfind("OVDefaultName", 0), 0u);
}

TEST_F(ParamLayer, ServiceAccountIsCreatedOnceAndServedToAdmins) {
    install_fake_pwdgrp();
    ASSERT_EQ(restart(), 0);
    std::string pwd = ov_param_get("Environment.SysPwd");
    ASSERT_EQ(pwd.size(), 20u);
    EXPECT_EQ(pwd.find_first_not_of("abcdefghijklmnopqrstuvxyzABCDEFGHIJKLMNOPQRSTUVXYZ0123456789"),
              std::string::npos);
    EXPECT_STREQ(ov_param_get("Environment.SysAccount"), "VekaAnalytics");
    EXPECT_EQ(call_endpoint("rhos.json", ""),
              "{\"user\": \"VekaAnalytics\",\"password\": \"" + pwd + "\"}");
    EXPECT_EQ(fake_endpoints()["rhos.json"].level, 3);
    EXPECT_EQ(ov_param_status_count(), 0);

    std::string calls;
    ASSERT_EQ(file_read_all(mevo_path("/usr/html/veka-cgi/calls.log"), calls), 0);
    EXPECT_NE(calls.find("action=remove&user=VekaAnalytics"), std::string::npos);
    EXPECT_NE(calls.find("action=add&user=VekaAnalytics&pwd=" + pwd), std::string::npos);

    ASSERT_EQ(restart(), 0);
    EXPECT_EQ(std::string(ov_param_get("Environment.SysPwd")), pwd) << "kept across restarts";
}

TEST_F(ParamLayer, MissingServiceAccountIsReported) {
    // No user-management CGI in this root: the account cannot be made.
    EXPECT_EQ(call_endpoint("rhos.json", ""), "");
    auto slots = ov_param_status_snapshot();
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].first, "SYS_PWD_ERROR");
}

TEST_F(ParamLayer, ReadsCameraProperties) {
    EXPECT_STREQ(ov_param_get_serial(), "ACCC8E1F2A3B");
    EXPECT_STREQ(ov_param_get_hardware_id(), "7A1");
    EXPECT_STREQ(ov_param_get_model(), "KT45");
    int v[4];
    EXPECT_EQ(ov_param_get_firmware_version(v), 0);
    EXPECT_EQ(v[0], 9);
    EXPECT_EQ(v[1], 80);
    EXPECT_EQ(v[2], 3);
    EXPECT_EQ(v[3], 0);
    EXPECT_EQ(ov_param_get_http_port(), 8080);
    EXPECT_EQ(ov_param_get_ip(), "127.0.0.1");
    int w = 0, h = 0;
    EXPECT_EQ(ov_param_get_resolution(&w, &h), 0);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
    EXPECT_FALSE(ov_param_remote_service_enabled());
    EXPECT_FALSE(ov_param_privacy_locked());
    ASSERT_EQ(file_write_atomic(pkg_ + "/anon.lock", "", 0), 0);
    EXPECT_TRUE(ov_param_privacy_locked());
    EXPECT_GT(ov_param_get_uptime(), 0.0);

    EXPECT_EQ(ov_param_set_ex("root.Image.I0.Appearance.Resolution", "wide", 0), OV_PARAM_OK);
    EXPECT_EQ(ov_param_get_resolution(&w, &h), -1);
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 1080);
    EXPECT_EQ(ov_param_set_capture_mode("2"), 0);
    EXPECT_EQ(ov_param_get_capture_mode(), "2");
}

TEST_F(ParamLayer, PerModelTablesFollowTheFakeModel) {
    EXPECT_FALSE(ov_param_model_is_old());
    EXPECT_EQ(ov_param_dzoom_init(), 0);
    EXPECT_STREQ(ov_param_get("Counter.DigitalZoomSupported"), "1");
    ASSERT_EQ(ov_param_set_ex("Counter.FakeModel", "KT90", 0), OV_PARAM_OK);
    EXPECT_TRUE(ov_param_model_is_old());
    EXPECT_EQ(ov_param_dzoom_init(), 0);
    EXPECT_STREQ(ov_param_get("Counter.DigitalZoomSupported"), "0");
    ASSERT_EQ(ov_param_set_ex("Counter.FakeOldModel", "0", 0), OV_PARAM_OK);
    EXPECT_FALSE(ov_param_model_is_old());
    EXPECT_TRUE(ov_param_model_in_firmware_check_list("KT31"));
    EXPECT_FALSE(ov_param_model_in_firmware_check_list("KT45"));
}

TEST_F(ParamLayer, DigitalZoomIsCappedAndRoundedToTheStep) {
    struct Case {
        int asked, applied;
    } cases[] = {{1234, 1200}, {10000, 9900}, {-5, 0}, {9999, 9900}, {50, 100}, {0, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(ov_param_set_zoom(c.asked), 0) << c.asked;
        EXPECT_EQ(ov_param_get_digital_zoom(), c.applied) << c.asked;
        EXPECT_EQ(atoi(ov_param_get("Counter.DigitalZoom")), c.applied) << c.asked;
    }
    EXPECT_EQ(ov_param_changed(), 0) << "moving the zoom does not restart the application";
    EXPECT_DOUBLE_EQ(ov_param_get_dzoom_factor(0), 1.0);
    EXPECT_DOUBLE_EQ(ov_param_get_dzoom_factor(9999), 4.0);
    EXPECT_EQ(ov_param_get_optical_zoom(), -1) << "the host profile has no optical zoom";
}

TEST_F(ParamLayer, RestorePathHelpersUseTheProcessStore) {
    ov_secret_store *scratch = ov_secret_store_new();
    ov_secret_store_set(scratch, "Counter.SlavePass", "from-backup");
    std::string backup = root_ + "/backup.meta";
    ASSERT_EQ(ov_secret_store_save(scratch, backup.c_str()), 0);
    ov_secret_store_free(scratch);

    EXPECT_EQ(ov_param_secret_set("Httppost.Pass", "migrated"), 0);
    EXPECT_EQ(ov_param_secrets_load(backup.c_str()), 0);
    EXPECT_EQ(ov_param_secrets_save(), 0);
    ASSERT_EQ(restart(), 0);
    EXPECT_STREQ(ov_param_get("Httppost.Pass"), "migrated");
    EXPECT_STREQ(ov_param_get("Counter.SlavePass"), "from-backup");
}

}  // namespace
