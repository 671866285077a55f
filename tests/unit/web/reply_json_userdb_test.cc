// The CGI reply parser of the HTTP service, the JSON printer and the user/group file formats.
#include <gtest/gtest.h>

#include <string>

#include "platform/http/userdb.h"
#include "platform/http/vk_http.h"
#include "platform/json/json_print.h"

namespace {

TEST(VkHttpReply, ParsesCgiHeaderBlocks) {
    struct Case {
        std::string raw;
        int rc;
        unsigned status;
        std::string type, extra, body;
    } cases[] = {
        {"Content-Type: text/plain\r\n\r\nhi", 0, 200, "text/plain", "", "hi"},
        {"Content-Type: text/plain\r\nStatus: 500 OK\r\n\r\nRequest failed!", 0, 500, "text/plain",
         "", "Request failed!"},
        {"HTTP/1.1 204 No Content\r\nContent-Type: text/plain\r\nCache-Control: no-store\r\n\r\n"
         "why",
         0, 204, "text/plain", "Cache-Control: no-store\r\n", "why"},
        {"Content-Type: a/b\r\nContent-Disposition: attachment\r\n\r\n\0\1", 0, 200, "a/b",
         "Content-Disposition: attachment\r\n", std::string("\0\1", 2)},
        {"Content-Type: text/plain\r\n", -1, 0, "", "", ""},
        {"Status: 99\r\n\r\n", -1, 0, "", "", ""},
    };
    for (const Case &c : cases) {
        VkHttpReply r;
        std::string raw = c.raw;
        if (c.body.size() == 2 && c.body[0] == '\0') raw += std::string("\0\1", 2);
        ASSERT_EQ(vk_http_parse_reply(raw.data(), raw.size(), r), c.rc) << c.raw;
        if (c.rc != 0) continue;
        EXPECT_EQ(r.status, c.status) << c.raw;
        EXPECT_EQ(r.content_type, c.type);
        EXPECT_EQ(r.extra_headers, c.extra);
        EXPECT_EQ(r.body, c.body);
    }
}

int collect(void *user, const char *bytes, size_t len) {
    static_cast<std::string *>(user)->append(bytes, len);
    return 0;
}

int failing(void *, const char *, size_t) {
    return -1;
}

TEST(JsonPrint, WritesTaggedLists) {
    std::string out;
    JsonPrinter *p = json_print_init(collect, &out);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(json_print_args(p, JSON_OBJECT_BEGIN, JSON_KEY, "id", JSON_INT, -12LL, JSON_KEY,
                              "age", JSON_DOUBLE, 31.25, 1, JSON_KEY, "rect", JSON_ARRAY_BEGIN,
                              JSON_NUMBER, "1", JSON_NUMBER, "-2.5e3", JSON_ARRAY_END, JSON_END),
              JSON_PRINT_OK);
    EXPECT_EQ(json_print_args(p, JSON_KEY, "s", JSON_STRING_LEN, "a\0b", size_t{3}, JSON_KEY, "t",
                              JSON_TRUE, JSON_KEY, "n", JSON_NULL, JSON_KEY, "nan", JSON_DOUBLE,
                              0.0 / 0.0, 2, JSON_OBJECT_END, JSON_END),
              JSON_PRINT_OK);
    EXPECT_EQ(out,
              "{\"id\":-12,\"age\":31.2,\"rect\":[1,-2.5e3],\"s\":\"a\\u0000b\",\"t\":true,"
              "\"n\":null,\"nan\":null}");
    json_print_free(p);
}

TEST(JsonPrint, RejectsMisuse) {
    std::string out;
    JsonPrinter *p = json_print_init(collect, &out);
    EXPECT_EQ(json_print_args(p, JSON_OBJECT_BEGIN, JSON_INT, 1LL, JSON_END), JSON_PRINT_ERR_STATE);
    json_print_free(p);
    p = json_print_init(collect, &out);
    EXPECT_EQ(json_print_args(p, JSON_ARRAY_BEGIN, JSON_NUMBER, "1e", JSON_END),
              JSON_PRINT_ERR_ARG);
    EXPECT_EQ(json_print_args(p, JSON_STRING, "\xff\xfe", JSON_END), JSON_PRINT_ERR_ARG);
    EXPECT_EQ(json_print_args(p, 999, JSON_END), JSON_PRINT_ERR_ARG);
    json_print_free(p);
    p = json_print_init(failing, nullptr);
    EXPECT_EQ(json_print_args(p, JSON_ARRAY_BEGIN, JSON_ARRAY_END, JSON_END),
              JSON_PRINT_ERR_CALLBACK);
    json_print_free(p);
    EXPECT_EQ(json_print_init(nullptr, nullptr), nullptr);
}

TEST(JsonPrint, PrettyOutputIsIndented) {
    std::string out;
    JsonPrinter *p = json_print_init(collect, &out);
    json_print_pretty(p, 1);
    json_print_args(p, JSON_OBJECT_BEGIN, JSON_KEY, "a", JSON_ARRAY_BEGIN, JSON_INT, 1LL,
                    JSON_ARRAY_END, JSON_OBJECT_END, JSON_END);
    json_print_free(p);
    EXPECT_EQ(out, "{\n  \"a\": [\n    1\n  ]\n}\n");
}

TEST(Userdb, FormatsRoundTripAndSkipMalformedLines) {
    auto users = userdb_parse_users("a:mevo:abc\n# comment\nbroken\nb:mevo:def\r\n:mevo:x\n");
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[1].ha1, "def");
    EXPECT_EQ(userdb_format_users(users), "a:mevo:abc\nb:mevo:def\n");
    auto groups = userdb_parse_groups("viewer:x:1001:a,b\nadmin:x:1003:\nbad:line\n");
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].members, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(groups[1].members.empty());
    EXPECT_EQ(userdb_format_groups(groups), "viewer:x:1001:a,b\nadmin:x:1003:\n");
    // RFC 2617 example: Mufasa / testrealm@host.com / Circle Of Life.
    EXPECT_EQ(userdb_ha1("Mufasa", "testrealm@host.com", "Circle Of Life"),
              "939e7578ed9e3c518a452acee763bce9");
    EXPECT_TRUE(userdb_valid_name("VekaAnalytics"));
    EXPECT_FALSE(userdb_valid_name("-rf"));
    EXPECT_FALSE(userdb_valid_name("a:b"));
    EXPECT_FALSE(userdb_valid_name(""));
}

}  // namespace
