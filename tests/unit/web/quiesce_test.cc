// After web_quiesce no handler runs: the shutdown frees what handlers read.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "web/web.h"

namespace {
std::atomic<int> g_calls{0};

const char *counted(void *, const char *, int *length) {
    ++g_calls;
    *length = 2;
    return "ok";
}

std::string request(const char *query) {
    GOutputStream *mem = g_memory_output_stream_new_resizable();
    WebRequest r{"/local/mevo/api", "GET", query, nullptr, 0, nullptr};
    web_handle_request(&r, mem);
    g_output_stream_close(mem, nullptr, nullptr);
    auto *m = G_MEMORY_OUTPUT_STREAM(mem);
    std::string out(static_cast<const char *>(g_memory_output_stream_get_data(m)),
                    g_memory_output_stream_get_data_size(m));
    g_object_unref(mem);
    return out;
}
}  // namespace

TEST(WebQuiesce, LaterRequestsGetRestartingAndNoHandlerRuns) {
    web_register("count.json", counted, nullptr, "text/plain", WEB_ACCESS_VIEWER);
    EXPECT_NE(request("count.json").find("ok"), std::string::npos);
    EXPECT_EQ(g_calls.load(), 1);
    web_quiesce();
    std::string reply = request("count.json");
    EXPECT_NE(reply.find("Status: 503"), std::string::npos) << reply;
    EXPECT_EQ(g_calls.load(), 1);
}
