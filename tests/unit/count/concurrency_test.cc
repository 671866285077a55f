// Threads as in the application: the main thread appends and counts while the HTTP and
// uploader threads list and clear.
#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "count/reports.h"
#include "count/track_buffer.h"
#include "count_fixture.h"
#include "platform/json/json_print.h"

using namespace count_test;

namespace {

class CountThreads : public CountEnv {};

int collect(void *user, const char *bytes, size_t n) {
    static_cast<std::string *>(user)->append(bytes, n);
    return 0;
}

TEST_F(CountThreads, ListingsWhileAppendingStaySortedAndInsideTheirWindow) {
    track_buffer *tb = track_buffer_init(500);
    ASSERT_TRUE(tb && tb->ready);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 1500; i++) {
            track_record r{};
            r.t_start = i;
            r.t_end = i + 0.5;
            r.trackid = i + 1;
            track_buffer_add(tb, &r);
            if (i % 100 == 0) track_buffer_sync(tb);
        }
        stop = true;
    });
    int listings = 0;
    std::vector<char> buf(1 << 16);
    while (!stop || listings < 20) {
        double s = listings % 1500, e = s + 200;
        std::string out;
        JsonPrinter *p = json_print_init(collect, &out);
        ASSERT_EQ(track_buffer_print_json_document(tb, p, s, e), JSON_PRINT_OK);
        json_print_free(p);
        nlohmann::json j = nlohmann::json::parse(out);
        double previous = -1;
        for (const auto &t : j["ended"]["tracks"]) {
            double v = t["time_end"].get<double>();
            EXPECT_GE(v, s);
            EXPECT_LE(v, e);
            EXPECT_GT(v, previous);
            previous = v;
        }
        int n = track_buffer_rows(tb, buf.data(), buf.size(), s, e);
        nlohmann::json rows = nlohmann::json::parse("{" + std::string(buf.data(), size_t(n)) + "}");
        for (const auto &row : rows["data"]) {
            EXPECT_GT(row[1].get<double>(), s);
            EXPECT_LE(row[1].get<double>(), e);
        }
        listings++;
    }
    writer.join();
    EXPECT_EQ(track_buffer_count(tb), 500);
    track_buffer_free(tb);
}

TEST_F(CountThreads, ClearDataWhileCountingAndTicking) {
    time_t t = local(2026, 12, 6, 10);
    at(t);
    auto c = open_store();
    ASSERT_TRUE(c);
    std::atomic<bool> stop{false};
    std::thread http([&] {
        int n = 0;
        while (!stop && n < 6) {
            const char *reply = nullptr;
            count_clear_data(c.get(), n++ % 2 ? "&date=20261206" : "", &reply);
            EXPECT_STREQ(reply, "OK");
        }
    });
    for (int i = 0; i < 60; i++) {
        cntdata_count(c.get(), i % 18, t);
        cntdata_tick(c.get());
    }
    stop = true;
    http.join();
    EXPECT_EQ(read(tmp_file()).size(), 678528u);
    EXPECT_EQ(read(flash_file()).size(), 678528u);
    cntdata_destroy(c.get());
}

}  // namespace
