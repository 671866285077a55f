// The parameter endpoints behind the real web layer: registration, access levels, replies.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <string>

#include "param_fixture.h"
#include "web/web.h"

// The fixture clears a fake registry; here the real one is used.
std::map<std::string, FakeEndpoint> &fake_endpoints() {
    static std::map<std::string, FakeEndpoint> unused;
    return unused;
}

namespace {

class ParamWeb : public ParamRoot {
  protected:
    void SetUp() override {
        ParamRoot::SetUp();
        web_registry_reset_for_tests();
        ASSERT_EQ(ov_param_init(nullptr), 0);
        ov_param_changed();
    }
    void TearDown() override {
        web_registry_reset_for_tests();
        ParamRoot::TearDown();
    }

    // The whole reply (header block and body) for `query` on `path`.
    static std::string request(const char *path, const char *query) {
        GOutputStream *out = g_memory_output_stream_new_resizable();
        WebRequest req{path, "GET", query, nullptr, 0, nullptr};
        web_handle_request(&req, out);
        g_output_stream_close(out, nullptr, nullptr);
        auto *mem = G_MEMORY_OUTPUT_STREAM(out);
        std::string reply(static_cast<const char *>(g_memory_output_stream_get_data(mem)),
                          g_memory_output_stream_get_data_size(mem));
        g_object_unref(out);
        return reply;
    }
};

TEST_F(ParamWeb, OperatorsSetParametersViewersCannot) {
    std::string denied = request("/local/mevo/api", "setparams&Counter.Name=Viewer");
    EXPECT_NE(denied.find("204 No Content"), std::string::npos);
    EXPECT_STREQ(ov_param_get("Counter.Name"), "OVDefaultName");

    std::string ok = request("/local/mevo/apioperator", "setparams&Counter.Name=Front%20door");
    EXPECT_NE(ok.find("Content-Type: text/plain\r\n\r\nOK\n"), std::string::npos) << ok;
    EXPECT_STREQ(ov_param_get("Counter.Name"), "Front door");
    EXPECT_EQ(ov_param_changed(), 1);
}

TEST_F(ParamWeb, OnlyAdministratorsReadTheServiceAccount) {
    EXPECT_NE(request("/local/mevo/apioperator", "rhos.json").find("204 No Content"),
              std::string::npos);
    std::string admin = request("/local/mevo/apiadmin", "rhos.json");
    EXPECT_NE(admin.find("Content-Type: text/plain\r\n\r\n"), std::string::npos);
}

TEST_F(ParamWeb, ViewersSeeMaskedParameters) {
    ASSERT_EQ(ov_param_set("WebReportUpload.Pass", "s3cret"), OV_PARAM_OK);
    std::string reply = request("/local/mevo/api", "params.json&variable=p");
    EXPECT_NE(reply.find("Content-Type: text/plain; charset=UTF-8\r\n\r\nvar p = {"),
              std::string::npos);
    EXPECT_EQ(reply.find("s3cret"), std::string::npos);
    EXPECT_NE(reply.find("\"Pass\": \"****\""), std::string::npos);
    std::string errors = request("/local/mevo/api", "errors.json");
    EXPECT_NE(errors.find("\"SYS_PWD_ERROR\""), std::string::npos);
}

}  // namespace
