// The endpoint layer behind the real HTTP service on loopback: digest logins made with
// pwdgrp.cgi, the access matrix, binary and streamed replies, denials, body limits, static
// files, a parameter-archive restore round trip, nonce counts, HEAD, state changes asked by
// other sites, and connections closed by the client or left idle.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "archive_util.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "params/param.h"
#include "platform/json/json_print.h"
#include "web/web.h"

namespace {

constexpr size_t kBodyLimit = 256 * 1024;
constexpr const char *kPassword = "pw with spaces & symbols";

std::string g_root;
std::string g_base;  // "http://host:port"
std::atomic<int32_t> g_exit_request{0};

const char *ping(void *, const char *, int *length) {
    *length = 4;
    return "pong";
}

std::atomic<int> g_clears{0};
const char *clear_data(void *, const char *, int *length) {
    ++g_clears;
    *length = 2;
    return "ok";
}

const char *binary(void *, const char *, int *length) {
    static std::string bytes = [] {
        std::string b;
        for (int i = 0; i < 70000; ++i) b += static_cast<char>(i % 7 == 0 ? 0 : i % 251);
        return b;
    }();
    *length = static_cast<int>(bytes.size());
    return bytes.data();
}

void tracks(GDataOutputStream *out, void *, GHashTable *params) {
    const char *count = static_cast<const char *>(g_hash_table_lookup(params, "count"));
    long long n = count ? atoll(count) : 0;
    JsonPrinter *p = json_print_init(web_libjson_printer, out);
    json_print_args(p, JSON_ARRAY_BEGIN, JSON_END);
    for (long long i = 0; i < n; ++i) {
        json_print_args(p, JSON_OBJECT_BEGIN, JSON_KEY, "id", JSON_INT, i, JSON_OBJECT_END,
                        JSON_END);
    }
    json_print_args(p, JSON_ARRAY_END, JSON_END);
    json_print_free(p);
}

void write_file(const std::string &path, const std::string &content, mode_t mode = 0644) {
    file_mkdir_p(path.substr(0, path.rfind('/')));
    ASSERT_EQ(file_write_atomic(path, content.data(), content.size(), mode), 0) << path;
}

void add_user(const std::string &user, const std::string &sgrp) {
    char *pwd = curl_easy_escape(nullptr, kPassword, 0);
    SpawnOptions opts;
    opts.capture_output = true;
    opts.env = {"QUERY_STRING=action=add&user=" + user + "&pwd=" + pwd + "&grp=users&sgrp=" + sgrp};
    curl_free(pwd);
    SpawnResult r = spawn_run({PWDGRP_CGI}, opts);
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_NE(r.output.find("Created"), std::string::npos) << r.output;
}

class WebHttpEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        log_set_stderr(getenv("MEVO_TEST_VERBOSE") != nullptr);
        char tmpl[] = "/tmp/mevo-webhttp-XXXXXX";
        g_root = mkdtemp(tmpl);
        setenv("MEVO_ROOT", g_root.c_str(), 1);
        setenv("MEVO_HTTP", "127.0.0.1:0", 1);
        setenv("MEVO_HTTP_TIMEOUT", "1", 1);  // idle and silent connections end within seconds
        setenv("MEVO_HTTP_MAX_BODY", std::to_string(kBodyLimit).c_str(), 1);
        mevo_root_reset_for_tests();
        std::string bin = g_root + "/usr/bin";  // the root's tools, where mevo looks for them
        write_file(bin + "/setupctl",
                   "#!/bin/sh\n"
                   "echo \"$*\" >> \"$MEVO_ROOT/setupctl.log\"\n"
                   "if [ \"$1\" = --nosync ] && [ \"$2\" = setparams ]; then\n"
                   "  cp \"$3\" \"$MEVO_ROOT/applied.txt\"\n"
                   "fi\n",
                   0755);
        std::string pkg = mevo_package_dir();
        write_file(pkg + "/html/index.html", "<html>mevo</html>");
        write_file(pkg + "/secret.conf", "outside the web folder");
        file_mkdir_p(pkg + "/localdata");
        symlink((pkg + "/secret.conf").c_str(), (pkg + "/html/escape.html").c_str());
        file_mkdir_p(g_root + "/tmp");

        add_user("vera", "viewer");
        add_user("otto", "viewer:operator");
        add_user("ada", "viewer:operator:admin:ptz");
        add_user("nora", "");  // a login without any web group

        ASSERT_EQ(web_init(&g_exit_request), 0);
        web_register("ping", ping, nullptr, "text/plain", WEB_ACCESS_VIEWER);
        web_register("op.json", ping, nullptr, "text/plain", WEB_ACCESS_OPERATOR);
        web_register("admin.json", ping, nullptr, "text/plain", WEB_ACCESS_ADMIN);
        web_register("restart", ping, nullptr, "text/plain", WEB_ACCESS_BY_NAME);
        web_register("anonymize", ping, nullptr, "text/plain", WEB_ACCESS_BY_NAME);
        web_register("clear-data", clear_data, nullptr, "text/plain", WEB_ACCESS_BY_NAME);
        web_register("bin", binary, nullptr, "application/octet-stream", WEB_ACCESS_VIEWER);
        web_register_stream("tracks.json", tracks, nullptr, "application/json", WEB_ACCESS_VIEWER);
        std::string addr;
        ASSERT_EQ(file_read_all(mevo_path("/tmp/mevo-http.addr"), addr), 0);
        g_base = "http://" + addr;
        curl_global_init(CURL_GLOBAL_DEFAULT);
    }
    void TearDown() override {
        curl_global_cleanup();
        // The service thread runs until the process ends; its files go with the root.
        file_remove_tree(g_root);
    }
};

struct Response {
    long status = 0;
    std::string body;
    std::string headers;
};

size_t append(char *data, size_t size, size_t n, void *user) {
    static_cast<std::string *>(user)->append(data, size * n);
    return size * n;
}

struct Upload {
    std::string raw;        // raw POST body when `multipart` is empty
    std::string multipart;  // file content sent as a multipart form part "file"
};

Response fetch(const std::string &path, const char *user, const char *password = kPassword,
               const Upload *upload = nullptr, const std::vector<std::string> &extra = {},
               bool head = false) {
    Response r;
    CURL *c = curl_easy_init();
    curl_slist *headers = nullptr;
    for (const std::string &h : extra) headers = curl_slist_append(headers, h.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    if (head) curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(c, CURLOPT_URL, (g_base + path).c_str());
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, append);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 20L);
    if (user != nullptr) {
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_DIGEST);
        curl_easy_setopt(c, CURLOPT_USERNAME, user);
        curl_easy_setopt(c, CURLOPT_PASSWORD, password);
    }
    curl_mime *mime = nullptr;
    if (upload != nullptr && !upload->multipart.empty()) {
        mime = curl_mime_init(c);
        curl_mimepart *part = curl_mime_addpart(mime);
        curl_mime_name(part, "file");
        curl_mime_filename(part, "backup.tar.gz");
        curl_mime_type(part, "application/gzip");
        curl_mime_data(part, upload->multipart.data(), upload->multipart.size());
        curl_easy_setopt(c, CURLOPT_MIMEPOST, mime);
    } else if (upload != nullptr) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, upload->raw.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(upload->raw.size()));
    }
    CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    curl_mime_free(mime);
    curl_easy_cleanup(c);
    curl_slist_free_all(headers);
    return r;
}

TEST(WebHttp, AccessMatrix) {
    struct Case {
        const char *user;
        const char *password;
        long api, apioperator, apiadmin;
    } cases[] = {
        {nullptr, nullptr, 401, 401, 401},   {"ada", "wrong", 401, 401, 401},
        {"ghost", kPassword, 401, 401, 401}, {"nora", kPassword, 403, 403, 403},
        {"vera", kPassword, 200, 403, 403},  {"otto", kPassword, 200, 200, 403},
        {"ada", kPassword, 200, 200, 200},
    };
    for (const Case &c : cases) {
        const char *who = c.user ? c.user : "(none)";
        Response api = fetch("/local/mevo/api?ping", c.user, c.password);
        EXPECT_EQ(api.status, c.api) << who;
        if (api.status == 200) {
            EXPECT_EQ(api.body, "pong");
        }
        EXPECT_EQ(fetch("/local/mevo/apioperator?ping", c.user, c.password).status, c.apioperator)
            << who;
        EXPECT_EQ(fetch("/local/mevo/apiadmin?ping", c.user, c.password).status, c.apiadmin) << who;
        EXPECT_EQ(fetch("/local/mevo/", c.user, c.password).status, c.api == 200 ? 200 : c.api)
            << who;
    }
}

std::string md5(const std::string &text) {
    gchar *hex = g_compute_checksum_for_string(G_CHECKSUM_MD5, text.c_str(), -1);
    std::string out = hex;
    g_free(hex);
    return out;
}

// Sends GET `path` with a digest computed by hand for `signed_uri` and `nonce`.
Response get_with_digest(const std::string &path, const std::string &signed_uri,
                         const std::string &nonce, const char *user = "ada",
                         const std::string &nc = "00000001") {
    std::string ha1 = md5(std::string(user) + ":mevo:" + kPassword);
    std::string ha2 = md5("GET:" + signed_uri);
    std::string response = md5(ha1 + ":" + nonce + ":" + nc + ":abc:auth:" + ha2);
    std::string header = std::string("Authorization: Digest username=\"") + user +
                         "\", realm=\"mevo\", nonce=\"" + nonce + "\", uri=\"" + signed_uri +
                         "\", qop=auth, nc=" + nc + ", cnonce=\"abc\", response=\"" + response +
                         "\"";
    Response r;
    CURL *c = curl_easy_init();
    curl_slist *headers = curl_slist_append(nullptr, header.c_str());
    curl_easy_setopt(c, CURLOPT_URL, (g_base + path).c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, append);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
    if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return r;
}

TEST(WebHttp, DigestIsBoundToNonceAndTarget) {
    Response challenge = fetch("/local/mevo/api?ping", nullptr);
    ASSERT_EQ(challenge.status, 401);
    size_t at = challenge.headers.find("nonce=\"");
    ASSERT_NE(at, std::string::npos) << challenge.headers;
    std::string nonce =
        challenge.headers.substr(at + 7, challenge.headers.find('"', at + 7) - at - 7);
    EXPECT_EQ(get_with_digest("/local/mevo/api?ping", "/local/mevo/api?ping", nonce).status, 200);
    // A login signed for the viewer path cannot be replayed against the admin path.
    EXPECT_EQ(get_with_digest("/local/mevo/apiadmin?ping", "/local/mevo/api?ping", nonce).status,
              401);
    // A nonce not issued by this process (e.g. before a restart) is refused as stale, so a
    // browser retries with the new nonce instead of asking for the password again.
    std::string forged = nonce;
    forged.back() = forged.back() == '0' ? '1' : '0';
    Response r = get_with_digest("/local/mevo/api?ping", "/local/mevo/api?ping", forged);
    EXPECT_EQ(r.status, 401);
    EXPECT_NE(r.headers.find("stale=true"), std::string::npos) << r.headers;
    r = get_with_digest("/local/mevo/api?ping", "/local/mevo/api?ping", "1234");
    EXPECT_EQ(r.status, 401);
    // A wrong password is never called stale.
    r = get_with_digest("/local/mevo/api?ping", "/local/mevo/api?ping", nonce, "nobody");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.headers.find("stale=true"), std::string::npos);
}

TEST(WebHttp, ANonceCountIsAcceptedOnceAndOnlyUpwards) {
    Response challenge = fetch("/local/mevo/api?ping", nullptr);
    size_t at = challenge.headers.find("nonce=\"");
    ASSERT_NE(at, std::string::npos) << challenge.headers;
    std::string nonce =
        challenge.headers.substr(at + 7, challenge.headers.find('"', at + 7) - at - 7);
    const std::string uri = "/local/mevo/api?ping";
    struct Step {
        const char *nc;
        long status;
    } steps[] = {{"00000001", 200}, {"00000001", 401}, {"00000003", 200},
                 {"00000002", 401}, {"00000003", 401}, {"00000004", 200}};
    for (const Step &s : steps) {
        Response r = get_with_digest(uri, uri, nonce, "ada", s.nc);
        EXPECT_EQ(r.status, s.status) << "nc " << s.nc;
        if (r.status == 401) {  // a browser retries on the fresh nonce without asking
            EXPECT_NE(r.headers.find("stale=true"), std::string::npos) << r.headers;
        }
    }
}

TEST(WebHttp, HeadIsForPagesOnly) {
    Response r = fetch("/local/mevo/apioperator?clear-data", "ada", kPassword, nullptr, {}, true);
    EXPECT_EQ(r.status, 405);
    EXPECT_NE(r.headers.find("Allow: GET"), std::string::npos) << r.headers;
    EXPECT_EQ(g_clears.load(), 0);
    EXPECT_EQ(fetch("/local/mevo/", "vera", kPassword, nullptr, {}, true).status, 200);
}

TEST(WebHttp, StateChangesFromOtherSitesAreRefused) {
    std::string own = g_base;  // "http://127.0.0.1:port"
    struct Case {
        std::vector<std::string> headers;
        long status;
    } cases[] = {
        {{"Origin: http://evil.example"}, 403},
        {{"Referer: http://evil.example/page.html"}, 403},
        {{"Origin: null"}, 403},
        {{"Sec-Fetch-Site: cross-site", "Origin: " + own}, 403},
        {{"Origin: " + own.substr(0, own.rfind(':')) + ":1"}, 403},  // another port
        {{}, 200},
        {{"Origin: " + own}, 200},
        {{"Referer: " + own + "/local/mevo/index.html"}, 200},
        {{"Sec-Fetch-Site: same-origin", "Referer: http://evil.example/"}, 200},
    };
    for (const Case &c : cases) {
        int before = g_clears.load();
        Response r = fetch("/local/mevo/apioperator?clear-data&date=1", "otto", kPassword, nullptr,
                           c.headers);
        std::string what = c.headers.empty() ? "(none)" : c.headers[0];
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_EQ(g_clears.load() - before, c.status == 200 ? 1 : 0) << what;
    }
    // Reading is not a state change: a link from another page still works.
    EXPECT_EQ(
        fetch("/local/mevo/api?ping", "vera", kPassword, nullptr, {"Referer: http://evil.example/"})
            .status,
        200);
}

int open_descriptors() {
    int n = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

// Each client connection is kept alive by curl and then closed by it: the service must close
// its end too, whatever the reply was.
TEST(WebHttp, ConnectionsClosedByTheClientAreFreed) {
    int start = open_descriptors();
    const char *paths[] = {"/local/mevo/api?ping", "/local/mevo/", "/local/mevo/api?ping"};
    const int kConnections = 10000;
    for (int i = 0; i < kConnections; ++i) {
        int kind = i % 3;
        Response r = fetch(paths[kind], kind == 0 ? nullptr : "vera");
        ASSERT_EQ(r.status, kind == 0 ? 401 : 200) << "connection " << i;
    }
    int now = open_descriptors();
    for (int wait = 0; wait < 200 && now > start + 5; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        now = open_descriptors();
    }
    EXPECT_LE(now, start + 5);
}

TEST(WebHttp, IdleAndSilentConnectionsAreClosedAfterTheTimeout) {
    int start = open_descriptors();
    std::string addr = g_base.substr(7);
    std::string host = addr.substr(0, addr.rfind(':'));
    int port = atoi(addr.substr(addr.rfind(':') + 1).c_str());
    std::vector<int> silent;
    for (int i = 0; i < 3; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        if (i == 0) {  // a request started and never finished
            const char part[] = "GET /local/mevo/ HTTP/1.1\r\nHost: x\r\n";
            ASSERT_GT(send(fd, part, sizeof part - 1, 0), 0);
        }
        silent.push_back(fd);
    }
    // The service closes its ends: each socket reads the end of the stream (or the 503).
    for (int fd : silent) {
        timeval tv{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[256];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
        }
        EXPECT_EQ(n, 0) << "still open after 30 s";
        close(fd);
    }
    EXPECT_LE(open_descriptors(), start + 5);
}

TEST(WebHttp, EndpointLevelsAndNameLists) {
    struct Case {
        const char *path;
        const char *user;
        long status;
    } cases[] = {
        {"/local/mevo/api?restart", "ada", 204},
        {"/local/mevo/apioperator?restart", "otto", 200},
        {"/local/mevo/apioperator?anonymize", "ada", 204},
        {"/local/mevo/apiadmin?anonymize", "ada", 200},
        {"/local/mevo/api?op.json", "ada", 204},
        {"/local/mevo/apioperator?op.json", "otto", 200},
        {"/local/mevo/apioperator?admin.json", "ada", 204},
        {"/local/mevo/apiadmin?admin.json", "ada", 200},
    };
    for (const Case &c : cases) {
        Response r = fetch(c.path, c.user);
        EXPECT_EQ(r.status, c.status) << c.path;
        EXPECT_EQ(r.body, c.status == 200 ? "pong" : "") << c.path;
    }
}

TEST(WebHttp, DenialCarriesTheDiagnosticHeader) {
    Response r = fetch("/local/mevo/api?nosuch%26x=1&y=2", "vera");
    EXPECT_EQ(r.status, 204);
    EXPECT_TRUE(r.body.empty());
    EXPECT_NE(r.headers.find("X-Mevo-Diagnostic: Request failed! api name is nosuch"),
              std::string::npos)
        << r.headers;
    EXPECT_NE(r.headers.find("Cache-Control: no-store"), std::string::npos);
    // Escaped characters in the query (space, '&', '/') must not break the digest login.
    r = fetch("/local/mevo/api?ping&t=a%20b%2Fc%26d", "vera");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "pong");
    // A malformed escape is refused by the service before the application sees it.
    EXPECT_EQ(fetch("/local/mevo/api?bad%zz", "vera").status, 400);
}

TEST(WebHttp, BinaryBufferArrivesWhole) {
    int len = 0;
    const char *expected = binary(nullptr, "", &len);
    Response r = fetch("/local/mevo/api?bin", "vera");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body, std::string(expected, static_cast<size_t>(len)));
    EXPECT_NE(r.headers.find("Content-Type: application/octet-stream"), std::string::npos);
}

TEST(WebHttp, StreamReply) {
    Response r = fetch("/local/mevo/api?tracks.json&count=3", "vera");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "[{\"id\":0},{\"id\":1},{\"id\":2}]");
    r = fetch("/local/mevo/api?tracks.json&count=5000", "vera");
    EXPECT_EQ(r.body.substr(r.body.size() - 13), ",{\"id\":4999}]");
}

TEST(WebHttp, StaticFilesStayInsideTheHtmlFolder) {
    Response r = fetch("/local/mevo/", "vera");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<html>mevo</html>");
    for (const char *path :
         {"/local/mevo/../secret.conf", "/local/mevo/%2e%2e/secret.conf", "/local/mevo/escape.html",
          "/local/mevo/..%2fsecret.conf", "/local/mevo/nothing.html"}) {
        r = fetch(path, "ada");
        EXPECT_TRUE(r.status == 404 || r.status == 400) << path << " " << r.status;
        EXPECT_EQ(r.body.find("outside"), std::string::npos) << path;
    }
}

TEST(WebHttp, RecorderPicturesAreServedAndHiddenInPrivacyMode) {
    std::string pkg = mevo_package_dir();
    write_file(mevo_path("/tmp/tmp_tracks/1/track_1.jpg"), "camera picture");
    write_file(pkg + "/html/demographics/images/privacy.png", "privacy picture");
    file_mkdir_p(pkg + "/html/demographics");
    symlink(mevo_path("/tmp/tmp_tracks/").c_str(),
            (pkg + "/html/demographics/temporary_tracks").c_str());
    Response r = fetch("/local/mevo/demographics/temporary_tracks/1/track_1.jpg", "vera");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "camera picture");

    write_file(mevo_path("/etc/privacy-mode"), "demographics/images/privacy.png\n");
    r = fetch("/local/mevo/demographics/temporary_tracks/1/track_1.jpg", "vera");
    EXPECT_EQ(r.body, "privacy picture");
    EXPECT_EQ(fetch("/local/mevo/", "vera").body, "<html>mevo</html>");  // pages stay
    file_remove_tree(mevo_path("/etc/privacy-mode"));
    EXPECT_EQ(fetch("/local/mevo/demographics/temporary_tracks/1/track_1.jpg", "vera").body,
              "camera picture");
}

TEST(WebHttp, OversizedBodiesAreRefusedAfterAuthentication) {
    Upload big{std::string(kBodyLimit + 1, 'x'), ""};
    EXPECT_EQ(fetch("/local/mevo/apiadmin/restore_backup", "ada", kPassword, &big).status, 413);
    Response api = fetch("/local/mevo/apiadmin?ping", "ada", kPassword, &big);
    EXPECT_EQ(api.status, 405);  // endpoints are GET only
    EXPECT_NE(api.headers.find("Allow: GET"), std::string::npos) << api.headers;
    EXPECT_EQ(fetch("/local/mevo/apiadmin/restore_backup", "otto", kPassword, &big).status, 403);
    EXPECT_EQ(fetch("/local/mevo/apiadmin/restore_backup", nullptr, nullptr, &big).status, 401);
    EXPECT_EQ(fetch("/local/mevo/apiadmin/restore_backup", "ada").status, 405);  // GET
}

TEST(WebHttp, RestoreRejectsWhatIsNotAnArchive) {
    Upload zip{"", "PK\x03\x04 not gzip"};
    Response r = fetch("/local/mevo/apiadmin/restore_backup", "ada", kPassword, &zip);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "File must be of format tar.gz");
    Upload evil{"", make_tar_gz({tar_file("p.txt", "x"), tar_file("../../escaped", "x")})};
    r = fetch("/local/mevo/apiadmin/restore_backup", "ada", kPassword, &evil);
    EXPECT_EQ(r.body, "Failed to untar archive...");
    EXPECT_FALSE(file_exists(g_root + "/escaped"));
    Upload no_text{"", make_tar_gz({tar_file("eventsbackup.json", "{}")})};
    r = fetch("/local/mevo/apiadmin/restore_backup", "ada", kPassword, &no_text);
    EXPECT_EQ(r.body, "Invalid archive!");
    EXPECT_FALSE(file_exists(mevo_path("/tmp/backup")));
    EXPECT_FALSE(file_exists(g_root + "/applied.txt"));
}

TEST(WebHttp, RestoreRoundTrip) {
    // A secrets file as the parameter layer writes it, for the archive's params.meta.
    std::string meta_path = g_root + "/meta.tmp";
    ov_secret_store *scratch = ov_secret_store_new();
    ov_secret_store_set(scratch, "Httppost.Pass", "from-meta");
    ASSERT_EQ(ov_secret_store_save(scratch, meta_path.c_str()), 0);
    ov_secret_store_free(scratch);
    std::string meta;
    ASSERT_EQ(file_read_all(meta_path, meta), 0);

    const std::string params =
        "root.mevo.Counter0Name=\"shop entrance\"\n"
        "root.mevo.Environment0SysPwd=\"s3cret\"\n";
    const std::string rules = "{\"rules\":[]}";
    Upload archive{
        "", make_tar_gz({tar_file("parambackup.txt", params), tar_file("eventsbackup.json", rules),
                         tar_file("params.meta", meta)})};
    ov_param_changed();  // clear any earlier mark
    Response r = fetch("/local/mevo/apiadmin/restore_backup", "ada", kPassword, &archive);
    ASSERT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("Restarting services, redirecting in 30 seconds.."), std::string::npos)
        << r.body;
    EXPECT_NE(r.headers.find("text/html"), std::string::npos);

    std::string applied, log, events;
    ASSERT_EQ(file_read_all(g_root + "/applied.txt", applied), 0);
    // The clear password of the older format went to the secrets, not to the parameters.
    EXPECT_EQ(applied, "root.mevo.Counter0Name=\"shop entrance\"\n");
    ASSERT_EQ(file_read_all(g_root + "/setupctl.log", log), 0);
    EXPECT_EQ(log, "--nosync setparams " + mevo_path("/tmp/backup/parambackup.txt") + "\nsync\n");
    ASSERT_EQ(file_read_all(mevo_package_dir() + "/events.json", events), 0);
    EXPECT_EQ(events, rules);
    EXPECT_FALSE(file_exists(mevo_path("/tmp/backup")));
    EXPECT_EQ(ov_param_changed(), 1);

    ov_secret_store *saved = ov_secret_store_new();
    ASSERT_EQ(ov_secret_store_load(saved, ov_param_secrets_path().c_str()), 0);
    ASSERT_NE(ov_secret_store_get(saved, "Environment.SysPwd"), nullptr);
    EXPECT_STREQ(ov_secret_store_get(saved, "Environment.SysPwd"), "s3cret");
    ASSERT_NE(ov_secret_store_get(saved, "Httppost.Pass"), nullptr);
    EXPECT_STREQ(ov_secret_store_get(saved, "Httppost.Pass"), "from-meta");
    ov_secret_store_free(saved);
}

TEST(WebHttp, PwdgrpUpdateAndRemoveTakeEffectAtOnce) {
    SpawnOptions opts;
    opts.capture_output = true;
    opts.env = {"QUERY_STRING=action=add&user=temp&pwd=one&grp=users&sgrp=viewer"};
    ASSERT_EQ(spawn_run({PWDGRP_CGI}, opts).status, 0);
    EXPECT_EQ(fetch("/local/mevo/api?ping", "temp", "one").status, 200);
    opts.env = {"QUERY_STRING=action=update&user=temp&pwd=two"};
    ASSERT_EQ(spawn_run({PWDGRP_CGI}, opts).status, 0);
    EXPECT_EQ(fetch("/local/mevo/api?ping", "temp", "one").status, 401);
    EXPECT_EQ(fetch("/local/mevo/api?ping", "temp", "two").status, 200);
    opts.env = {"QUERY_STRING=action=remove&user=temp"};
    SpawnResult r = spawn_run({PWDGRP_CGI}, opts);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Removed"), std::string::npos);
    EXPECT_EQ(fetch("/local/mevo/api?ping", "temp", "two").status, 401);
    r = spawn_run({PWDGRP_CGI}, opts);
    EXPECT_NE(r.status, 0);
}

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new WebHttpEnvironment);
    return RUN_ALL_TESTS();
}
