// Registration on one thread while requests are served on others must never expose a
// half-grown registry: every lookup of an already registered name finds it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "web/web.h"

namespace {

const char *reply_name(void *user_data, const char *, int *length) {
    const auto *name = static_cast<const std::string *>(user_data);
    *length = static_cast<int>(name->size());
    return name->data();
}

TEST(WebRegistryConcurrency, LookupsDuringRegistration) {
    log_set_stderr(false);
    web_registry_reset_for_tests();
    constexpr int kEndpoints = 400;
    std::vector<std::string> names;
    for (int i = 0; i < kEndpoints; ++i) names.push_back("ep" + std::to_string(i));
    std::atomic<int> registered{0};
    std::atomic<int> wrong{0};

    std::thread writer([&] {
        for (int i = 0; i < kEndpoints; ++i) {
            web_register(names[i].c_str(), reply_name, &names[i], "text/plain", WEB_ACCESS_VIEWER);
            registered.store(i + 1);
        }
    });
    auto reader = [&](int seed) {
        for (int round = 0; round < 2000; ++round) {
            int have = registered.load();
            if (have == 0) continue;
            int i = (round * 7 + seed) % have;
            GOutputStream *mem = g_memory_output_stream_new_resizable();
            WebRequest r{"/local/mevo/api", "GET", names[i].c_str(), nullptr, 0, nullptr};
            web_handle_request(&r, mem);
            g_output_stream_close(mem, nullptr, nullptr);
            auto *m = G_MEMORY_OUTPUT_STREAM(mem);
            std::string out(static_cast<const char *>(g_memory_output_stream_get_data(m)),
                            g_memory_output_stream_get_data_size(m));
            if (out != "Content-Type: text/plain\r\n\r\n" + names[i]) wrong++;
            g_object_unref(mem);
        }
    };
    std::thread r1(reader, 1), r2(reader, 2);
    writer.join();
    r1.join();
    r2.join();
    EXPECT_EQ(wrong.load(), 0);
    web_registry_reset_for_tests();
}

}  // namespace
