// Query handling, access rules, upload framing and archive safety of the endpoint layer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "archive_util.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "web/web.h"
#include "web/web_internal.h"

namespace {

TEST(WebUnescape, Table) {
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"a+b%20c", "a b c"}, {"%41%6a%6A", "Ajj"}, {"abc%", "abc"},
        {"abc%4", "abc"},     {"x%zzy", "x%zzy"},   {"", ""},
        {"%2B+%2b", "+ +"},   {"100%25", "100%"},   {"a%0Ab", "a\nb"},
    };
    for (const Case &c : cases) {
        std::string s = c.in;
        web_unescape_query(s.data());
        EXPECT_STREQ(s.c_str(), c.out) << c.in;
    }
    web_unescape_query(nullptr);
}

TEST(WebSplitQuery, Table) {
    struct Case {
        const char *query;
        const char *name;
        const char *args;
    } cases[] = {
        {"fps.json", "fps.json", ""},
        {"fps.json&a=1&b=2", "fps.json", "&a=1&b=2"},
        {"fps.json=&a=1", "fps.json", "&a=1"},
        {"fps.json=", "fps.json", ""},
        {"&a=1", "", "&a=1"},
        {"", "", ""},
        {"x==&y", "x=", "&y"},
    };
    for (const Case &c : cases) {
        std::string name;
        const char *args = nullptr;
        web_split_query(c.query, name, &args);
        EXPECT_EQ(name, c.name) << c.query;
        EXPECT_STREQ(args, c.args) << c.query;
    }
}

TEST(WebAccess, Matrix) {
    struct Case {
        int level;
        const char *name;
        int allowed_for[3];  // viewer, operator, admin
    } cases[] = {
        {WEB_ACCESS_VIEWER, "fps.json", {1, 1, 1}},
        {WEB_ACCESS_OPERATOR, "x", {0, 1, 1}},
        {WEB_ACCESS_ADMIN, "x", {0, 0, 1}},
        {WEB_ACCESS_BY_NAME, "restart", {0, 1, 1}},
        {WEB_ACCESS_BY_NAME, "modify-history", {0, 1, 1}},
        {WEB_ACCESS_BY_NAME, "anonymize", {0, 0, 1}},
        {WEB_ACCESS_BY_NAME, "proxy-image", {0, 0, 1}},
        {WEB_ACCESS_BY_NAME, "params.json", {1, 1, 1}},
        {WEB_ACCESS_BY_NAME, "Restart", {1, 1, 1}},  // names are case-sensitive
        {4, "x", {-1, -1, -1}},
        {-1, "x", {-1, -1, -1}},
    };
    for (const Case &c : cases) {
        for (int p = 0; p < 3; ++p) {
            EXPECT_EQ(web_access_allowed(c.level, c.name, p), c.allowed_for[p])
                << "level " << c.level << " name " << c.name << " privilege " << p;
        }
    }
}

TEST(WebAccess, PrivilegeFromPath) {
    EXPECT_EQ(web_privilege_from_path("/local/mevo/api"), WEB_PRIV_VIEWER);
    EXPECT_EQ(web_privilege_from_path("/local/mevo/apioperator"), WEB_PRIV_OPERATOR);
    EXPECT_EQ(web_privilege_from_path("/local/mevo/apiadmin"), WEB_PRIV_ADMIN);
    EXPECT_EQ(web_privilege_from_path("/local/mevo/apiadmin/restore_backup"), WEB_PRIV_ADMIN);
    EXPECT_EQ(web_privilege_from_path(nullptr), WEB_PRIV_VIEWER);
}

TEST(WebMultipart, BoundaryExtraction) {
    struct Case {
        std::string body;
        int rc;
        std::string boundary;
    } cases[] = {
        {"--abc\r\nX", 0, "--abc"},
        {"preamble\r\n--abc\r\nX", 0, "--abc"},
        {"x--abc\r\n", -1, ""},       // not at a line start
        {"--abc--\r\n", 0, "--abc"},  // closing suffix dropped
        {"--abc", -1, ""},            // no line end
        {"--\r\n", -1, ""},           // empty boundary
        {"--" + std::string(70, 'b') + "\r\n", 0, "--" + std::string(70, 'b')},
        {"--" + std::string(71, 'b') + "\r\n--ok\r\n", 0, "--ok"},  // too long: skipped
        {std::string(kRestoreScanLimit, 'x') + "\r\n--late\r\n", -1, ""},
        {"", -1, ""},
    };
    for (const Case &c : cases) {
        std::string b;
        EXPECT_EQ(web_extract_boundary(c.body.data(), c.body.size(), b), c.rc) << c.body;
        if (c.rc == 0) {
            EXPECT_EQ(b, c.boundary);
        }
    }
}

TEST(WebMultipart, FrameExtraction) {
    std::string gz = std::string("\x1f\x8b\x08\x00", 4) + std::string("\0\r\n--ab\0z", 9);
    std::string full = make_multipart("XyZ", gz);
    struct Case {
        const char *what;
        std::string body;
        int rc;
    } cases[] = {
        {"complete", full, WEB_FRAME_OK},
        {"not gzip", make_multipart("XyZ", "PK\x03\x04zip"), WEB_FRAME_NOT_GZIP},
        {"empty part", make_multipart("XyZ", ""), WEB_FRAME_NOT_GZIP},
        {"no closing boundary", full.substr(0, full.size() - 12), WEB_FRAME_UNFINISHED},
        {"headers never end", "--XyZ\r\nContent-Type: a\r\n", WEB_FRAME_INCOMPLETE},
        {"headers beyond the limit",
         "--XyZ\r\nX: " + std::string(kRestoreHeaderLimit, 'h') + "\r\n\r\n\x1f\x8b\r\n--XyZ--",
         WEB_FRAME_INCOMPLETE},
    };
    for (const Case &c : cases) {
        size_t off = 0, len = 0;
        EXPECT_EQ(web_extract_frame(c.body.data(), c.body.size(), "--XyZ", &off, &len), c.rc)
            << c.what;
        if (c.rc == WEB_FRAME_OK) {
            EXPECT_EQ(c.body.substr(off, len), gz) << c.what;
        }
    }
}

TEST(WebArchive, NameSafety) {
    EXPECT_TRUE(web_archive_name_safe("parambackup.txt"));
    EXPECT_TRUE(web_archive_name_safe("a/b/c..d"));
    EXPECT_FALSE(web_archive_name_safe("/etc/passwd"));
    EXPECT_FALSE(web_archive_name_safe("../x"));
    EXPECT_FALSE(web_archive_name_safe("a/../../x"));
    EXPECT_FALSE(web_archive_name_safe("a/.."));
    EXPECT_FALSE(web_archive_name_safe(""));
}

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/mevo-webtest-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { file_remove_tree(path); }
};

TEST(WebArchive, ExtractsSafeArchivesAndRefusesEscapes) {
    log_set_stderr(false);
    struct Case {
        const char *what;
        std::vector<TarMember> members;
        int rc;
    } cases[] = {
        {"plain files",
         {tar_file("p.txt", "a=1"), tar_special("sub/", AE_IFDIR), tar_file("sub/e.json", "{}")},
         0},
        {"inner symlink", {tar_file("p.txt", "a"), tar_symlink("l", "p.txt")}, -1},
        {"inner hardlink", {tar_file("p.txt", "a"), tar_hardlink("h", "p.txt")}, -1},
        {"device", {tar_special("d", AE_IFCHR)}, -1},
        {"file over the limit",
         {tar_file("p.txt", std::string(size_t(kRestoreMaxFileBytes) + 1, 'x'))},
         -1},
        {"total over the limit",
         {tar_file("a.txt", std::string(size_t(kRestoreMaxFileBytes) - 10, 'x')),
          tar_file("b.txt", std::string(size_t(kRestoreMaxFileBytes) - 10, 'x')),
          tar_file("c.txt", std::string(size_t(kRestoreMaxFileBytes) - 10, 'x'))},
         -1},
        {"absolute name", {tar_file("/tmp/evil", "x")}, -1},
        {"dot-dot name", {tar_file("../evil", "x")}, -1},
        {"symlink out", {tar_symlink("l", "../../etc")}, -1},
        {"absolute symlink", {tar_symlink("l", "/etc")}, -1},
        {"hardlink out", {tar_hardlink("h", "/etc/passwd")}, -1},
        {"fifo", {tar_special("f", AE_IFIFO)}, -1},
        {"link chain out of the folder",
         {tar_file("p.txt", "a"), tar_symlink("a", "."), tar_symlink("b", "a/.."),
          tar_symlink("c", "b/.."), tar_symlink("eventsbackup.json", "c/../../../etc/passwd")},
         -1},
    };
    for (const Case &c : cases) {
        TempDir dir;
        std::string tgz = make_tar_gz(c.members);
        EXPECT_EQ(web_extract_archive(tgz.data(), tgz.size(), dir.path), c.rc) << c.what;
        if (c.rc == 0) {
            std::string content;
            ASSERT_EQ(file_read_all(dir.path + "/p.txt", content), 0) << c.what;
        }
    }
    TempDir dir;
    const char garbage[] = "\x1f\x8bnot really gzip";
    EXPECT_EQ(web_extract_archive(garbage, sizeof garbage, dir.path), -1);
}

// Writing through a symbolic link the archive itself made is refused, so a chain of links
// cannot lead a later member out of the folder.
TEST(WebArchive, NoWritingThroughSymlink) {
    TempDir dir;
    std::string tgz = make_tar_gz({tar_symlink("d", "."), tar_file("d/x.txt", "data")});
    EXPECT_EQ(web_extract_archive(tgz.data(), tgz.size(), dir.path), -1);
    EXPECT_FALSE(file_exists(dir.path + "/x.txt"));
}

TEST(WebArchive, TooManyMembers) {
    TempDir dir;
    std::vector<TarMember> members;
    for (size_t i = 0; i <= kRestoreMaxMembers; ++i)
        members.push_back(tar_file("f" + std::to_string(i) + ".txt", "x"));
    std::string tgz = make_tar_gz(members);
    EXPECT_EQ(web_extract_archive(tgz.data(), tgz.size(), dir.path), -1);
    members.pop_back();
    tgz = make_tar_gz(members);
    EXPECT_EQ(web_extract_archive(tgz.data(), tgz.size(), dir.path), 0);
}

// Members are read without following a link and without waiting on a FIFO.
TEST(WebArchive, ReadsOnlyRegularFiles) {
    TempDir dir;
    ASSERT_EQ(file_write_atomic(dir.path + "/p.txt", "a=\"1\"", 5), 0);
    ASSERT_EQ(symlink("p.txt", (dir.path + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir.path + "/fifo").c_str(), 0600), 0);
    int fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    std::string out;
    EXPECT_EQ(web_read_member(fd, "p.txt", 100, out), 0);
    EXPECT_EQ(out, "a=\"1\"");
    EXPECT_EQ(web_read_member(fd, "p.txt", 4, out), -1);
    EXPECT_EQ(web_read_member(fd, "link", 100, out), -1);
    EXPECT_EQ(web_read_member(fd, "fifo", 100, out), -1);
    EXPECT_EQ(web_read_member(fd, "missing", 100, out), 1);
    close(fd);
}

TEST(WebDumpLine, ParsesNameAndQuotedValue) {
    struct Case {
        const char *line;
        bool ok;
        const char *name;
        const char *value;
    } cases[] = {
        {"root.mevo.Counter0Name=\"shop\"", true, "root.mevo.Counter0Name", "shop"},
        {"mevo.A0B=\"say \"hi\"\"\r", true, "root.mevo.A0B", "say \"hi\""},
        {"  root.Time.X = \"\"", true, "root.Time.X", ""},
        {"root.mevo.A0B=unquoted", false, "", ""},
        {"=\"x\"", false, "", ""},
        {"root.mevo.A0B=\"open", false, "", ""},
    };
    for (const Case &c : cases) {
        std::string name, value;
        EXPECT_EQ(web_parse_dump_line(c.line, name, value), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(name, c.name) << c.line;
            EXPECT_EQ(value, c.value) << c.line;
        }
    }
}

}  // namespace
