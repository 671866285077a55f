// Test fixture of the parameter layer: a fresh root per test with the package's defaults and
// host camera profile, and a fake web registry that keeps the registered handlers.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "params/param.h"
#include "params/param_internal.h"

struct FakeEndpoint {
    const char *(*handler)(void *, const char *, int *);
    std::string content_type;
    int level;
};
// Filled by the fake web_register of fake_web.cc.
std::map<std::string, FakeEndpoint> &fake_endpoints();

// Calls a registered buffer endpoint and returns its reply.
inline std::string call_endpoint(const std::string &name, const char *args) {
    auto it = fake_endpoints().find(name);
    if (it == fake_endpoints().end()) return "<not registered>";
    int len = -1;
    const char *body = it->second.handler(nullptr, args, &len);
    return std::string(body, len);
}

class ParamRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mevo-params-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        setenv("MEVO_ROOT", root_.c_str(), 1);
        mevo_root_reset_for_tests();
        pkg_ = mevo_package_dir();
        ASSERT_EQ(file_mkdir_p(pkg_ + "/localdata"), 0);
        ASSERT_EQ(file_mkdir_p(pkg_ + "/host"), 0);
        ASSERT_EQ(
            file_copy(MEVO_TEST_PACKAGE_DIR "/param.conf.default", pkg_ + "/param.conf.default"),
            0);
        ASSERT_EQ(file_copy(MEVO_TEST_PACKAGE_DIR "/host/camera-profile.conf",
                            pkg_ + "/host/camera-profile.conf"),
                  0);
        log_set_stderr(false);
        ov_param_reset_for_tests();
        fake_endpoints().clear();
    }

    void TearDown() override {
        ov_param_reset_for_tests();
        file_remove_tree(root_);
        unsetenv("MEVO_ROOT");
        mevo_root_reset_for_tests();
    }

    // Simulates an application restart: all layer state dropped, start-up run again.
    int restart() {
        ov_param_reset_for_tests();
        fake_endpoints().clear();
        return ov_param_init(nullptr);
    }

    // A user-management CGI that answers like the camera's.
    void install_fake_pwdgrp() {
        std::string dir = mevo_path("/usr/html/veka-cgi");
        ASSERT_EQ(file_mkdir_p(dir), 0);
        std::string script =
            "#!/bin/sh\n"
            "echo \"$QUERY_STRING\" >> \"$(dirname \"$0\")/calls.log\"\n"
            "case \"$QUERY_STRING\" in\n"
            "  action=remove*) echo \"Removed account\" ;;\n"
            "  action=add*) echo \"Created account\" ;;\n"
            "esac\n";
        ASSERT_EQ(file_write_atomic(dir + "/pwdgrp.cgi", script.data(), script.size(), 0755), 0);
    }

    std::string root_;
    std::string pkg_;
};
