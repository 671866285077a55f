// Request handling through web_handle_request with an in-memory reply stream.
#include <gtest/gtest.h>

#include <string>

#include "common/log.h"
#include "platform/http/vk_http.h"
#include "platform/json/json_print.h"
#include "web/web.h"

namespace {

struct Seen {
    std::string args;
    int calls = 0;
};

const char *echo_args(void *user_data, const char *args, int *length) {
    auto *seen = static_cast<Seen *>(user_data);
    seen->args = args;
    seen->calls++;
    static const char kReply[] = "ok";
    *length = 2;
    return kReply;
}

const char *binary_reply(void *, const char *, int *length) {
    static const char kBytes[] = {'a', '\0', 'b', '\0', '\0', 'c'};
    *length = sizeof kBytes;
    return kBytes;
}

const char *empty_reply(void *, const char *, int *length) {
    *length = 0;
    return nullptr;
}

void stream_json(GDataOutputStream *out, void *, GHashTable *params) {
    const char *who =
        params ? static_cast<const char *>(g_hash_table_lookup(params, "who")) : nullptr;
    JsonPrinter *p = json_print_init(web_libjson_printer, out);
    json_print_args(p, JSON_OBJECT_BEGIN, JSON_KEY, "who", JSON_STRING, who, JSON_KEY, "n",
                    JSON_INT, 3LL, JSON_OBJECT_END, JSON_END);
    json_print_free(p);
}

class Dispatch : public ::testing::Test {
  protected:
    Seen seen;
    void SetUp() override {
        log_set_stderr(false);
        web_registry_reset_for_tests();
        web_register("echo", echo_args, &seen, "text/plain", WEB_ACCESS_VIEWER);
        web_register("bin", binary_reply, nullptr, "application/octet-stream", WEB_ACCESS_VIEWER);
        web_register("empty", empty_reply, nullptr, "text/plain", WEB_ACCESS_VIEWER);
        web_register("restart", echo_args, &seen, "text/plain", WEB_ACCESS_BY_NAME);
        web_register("anonymize", echo_args, &seen, "text/plain", WEB_ACCESS_BY_NAME);
        web_register("odd", echo_args, &seen, "text/plain", 7);
        web_register("dl", echo_args, &seen,
                     "application/octet-stream\r\nContent-Disposition: attachment; "
                     "filename=\"x.tar.gz\"",
                     WEB_ACCESS_VIEWER);
        web_register_stream("s.json", stream_json, nullptr, "application/json", WEB_ACCESS_VIEWER);
    }
    void TearDown() override { web_registry_reset_for_tests(); }

    std::string request(const char *path, const char *query, GHashTable *params = nullptr) {
        GOutputStream *mem = g_memory_output_stream_new_resizable();
        WebRequest r{path, "GET", query, nullptr, 0, params};
        web_handle_request(&r, mem);
        g_output_stream_close(mem, nullptr, nullptr);
        auto *m = G_MEMORY_OUTPUT_STREAM(mem);
        std::string out(static_cast<const char *>(g_memory_output_stream_get_data(m)),
                        g_memory_output_stream_get_data_size(m));
        g_object_unref(mem);
        return out;
    }
};

constexpr const char *kDeny =
    "HTTP/1.1 204 No Content\r\nContent-Type: text/plain\r\nCache-Control: no-store\r\n"
    "Pragma: no-cache\r\nConnection: close\r\n\r\n";

TEST_F(Dispatch, ArgumentStringsReachTheHandler) {
    struct Case {
        const char *query;
        const char *args;
    } cases[] = {
        {"echo", ""},
        {"echo&a=1&b=2", "&a=1&b=2"},
        {"echo=&a=1", "&a=1"},
        {"echo&t=a%20b", "&t=a b"},  // the whole query is unescaped before the split
    };
    for (const Case &c : cases) {
        EXPECT_EQ(request("/local/mevo/api", c.query), "Content-Type: text/plain\r\n\r\nok");
        EXPECT_EQ(seen.args, c.args) << c.query;
    }
}

TEST_F(Dispatch, DenialsCarryTheDiagnostic) {
    EXPECT_EQ(request("/local/mevo/api", "nosuch&x=1"),
              std::string(kDeny) +
                  "Request failed! api name is nosuch \n query_decoded:nosuch&x=1 \n path: "
                  "/local/mevo/api \n method: GET \n");
    EXPECT_EQ(request("/local/mevo/api", "bad%zz"),
              std::string(kDeny) + "Request failed! Invalid API data.");
    EXPECT_EQ(request("/local/mevo/api", "nul%00"),
              std::string(kDeny) + "Request failed! Invalid API data.");
}

TEST_F(Dispatch, AccessByPath) {
    struct Case {
        const char *path;
        const char *query;
        bool served;
    } cases[] = {
        {"/local/mevo/api", "restart", false},
        {"/local/mevo/apioperator", "restart", true},
        {"/local/mevo/apiadmin", "restart", true},
        {"/local/mevo/apioperator", "anonymize", false},
        {"/local/mevo/apiadmin", "anonymize", true},
        {"/local/mevo/apiadmin", "odd", false},  // unknown level
    };
    for (const Case &c : cases) {
        seen.calls = 0;
        std::string reply = request(c.path, c.query);
        EXPECT_EQ(seen.calls, c.served ? 1 : 0) << c.path << " " << c.query;
        EXPECT_EQ(reply.rfind(kDeny, 0) == 0, !c.served) << c.path << " " << c.query;
    }
}

TEST_F(Dispatch, BuffersAreCopiedWhole) {
    EXPECT_EQ(request("/local/mevo/api", "bin"),
              std::string("Content-Type: application/octet-stream\r\n\r\na\0b\0\0c", 48));
    EXPECT_EQ(request("/local/mevo/api", "empty"), "Content-Type: text/plain\r\n\r\n");
    VkHttpReply reply;
    std::string dl = request("/local/mevo/api", "dl");
    ASSERT_EQ(vk_http_parse_reply(dl.data(), dl.size(), reply), 0);
    EXPECT_EQ(reply.content_type, "application/octet-stream");
    EXPECT_EQ(reply.extra_headers, "Content-Disposition: attachment; filename=\"x.tar.gz\"\r\n");
}

TEST_F(Dispatch, StreamHandlerGetsParameters) {
    GHashTable *params = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(params, const_cast<char *>("who"), const_cast<char *>("a\"b"));
    EXPECT_EQ(request("/local/mevo/api", "s.json&who=x", params),
              "Content-Type: application/json\r\n\r\n{\"who\":\"a\\\"b\",\"n\":3}");
    g_hash_table_unref(params);
}

TEST_F(Dispatch, FirstRegistrationWins) {
    Seen other;
    web_register("echo", echo_args, &other, "text/html", WEB_ACCESS_VIEWER);
    EXPECT_EQ(request("/local/mevo/api", "echo"), "Content-Type: text/plain\r\n\r\nok");
    EXPECT_EQ(other.calls, 0);
}

TEST_F(Dispatch, RestoreNeedsTheAdminPath) {
    GOutputStream *mem = g_memory_output_stream_new_resizable();
    WebRequest r{"/local/mevo/apioperator/restore_backup", "POST", "", "x", 1, nullptr};
    web_handle_request(&r, mem);
    g_output_stream_close(mem, nullptr, nullptr);
    std::string out(
        static_cast<const char *>(g_memory_output_stream_get_data(G_MEMORY_OUTPUT_STREAM(mem))),
        g_memory_output_stream_get_data_size(G_MEMORY_OUTPUT_STREAM(mem)));
    g_object_unref(mem);
    EXPECT_EQ(out, kDeny);
}

TEST(WebReplyFile, MapsFilesAndReportsFailures) {
    char path[] = "/tmp/mevo-replyfile-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "ab\0cd", 5), 5);
    close(fd);
    int len = -1;
    const char *body = web_reply_file(path, &len);
    EXPECT_EQ(std::string(body, static_cast<size_t>(len)), std::string("ab\0cd", 5));
    ASSERT_EQ(truncate(path, 0), 0);
    body = web_reply_file(path, &len);
    EXPECT_EQ(len, 0);
    unlink(path);
    body = web_reply_file(path, &len);
    EXPECT_EQ(std::string(body, static_cast<size_t>(len)), "Open failed!");
}

// An output stream that refuses every write.
GOutputStream *closed_stream() {
    GOutputStream *mem = g_memory_output_stream_new_resizable();
    g_output_stream_close(mem, nullptr, nullptr);
    return mem;
}

TEST(WebJsonSink, ReportsWriteFailures) {
    log_set_stderr(false);
    GOutputStream *bad = closed_stream();
    EXPECT_EQ(web_libjson_printer(bad, "abc", 3), -2);
    g_object_unref(bad);
    GOutputStream *good = g_memory_output_stream_new_resizable();
    EXPECT_EQ(web_libjson_printer(good, "abc", 3), 0);
    EXPECT_EQ(g_memory_output_stream_get_data_size(G_MEMORY_OUTPUT_STREAM(good)), 3u);
    g_object_unref(good);
}

TEST(WebErrorText, WritesOrSkips) {
    log_set_stderr(false);
    GOutputStream *mem = g_memory_output_stream_new_resizable();
    GDataOutputStream *out = g_data_output_stream_new(mem);
    web_error_html(out, "bad %d", 7);
    web_error_text(out, " and %s", "worse");
    web_error_text(nullptr, "lost");
    auto *m = G_MEMORY_OUTPUT_STREAM(mem);
    std::string text(static_cast<const char *>(g_memory_output_stream_get_data(m)),
                     g_memory_output_stream_get_data_size(m));
    EXPECT_EQ(text, "Content-Type: text/html\r\nStatus: 200 OK\r\n\r\nbad 7 and worse");
    g_object_unref(out);
    g_object_unref(mem);
}

}  // namespace
