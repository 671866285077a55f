// Web handlers of the reports and exports: the module buffers, the counter name and the serial
// number from the parameter layer. Kept apart from the text builders so that those link
// without the parameter layer.
#include <cstdlib>
#include <cstring>
#include <string>

#include "count/exports.h"
#include "count/reports.h"
#include "params/param.h"

namespace {

char g_reply[COUNT_REPORT_BUFFER_SIZE];
char *g_export_buffer = nullptr;
size_t g_export_size = 0;
char *g_xml_buffer = nullptr;
char *g_serial = nullptr;

const char *reply_of(int n, int *length) {
    *length = n;
    return g_reply;
}

std::string counter_name() {
    return ov_param_get("Counter.Name");
}

const char *handle(ExportKind kind, void *user_data, const char *args, int *length) {
    auto *c = static_cast<const cntdata *>(user_data);
    char *buf = g_export_buffer;
    if (kind == EXPORT_XML) {
        if (!g_xml_buffer && g_export_size > 0)
            g_xml_buffer = static_cast<char *>(malloc(g_export_size));
        buf = g_xml_buffer;
    }
    std::string name = ov_param_get("Counter.Name");
    return export_build(kind, c, args, name.c_str(), g_serial ? g_serial : "", buf,
                        buf ? g_export_size : 0, length);
}

}  // namespace

// ---- handlers ----

const char *count_handle_day_xml(void *user_data, const char *args, int *length) {
    auto *c = static_cast<const cntdata *>(user_data);
    return reply_of(count_report_day_xml(c, args, counter_name().c_str(), g_reply, sizeof g_reply),
                    length);
}

const char *count_handle_week_xml(void *user_data, const char *args, int *length) {
    auto *c = static_cast<const cntdata *>(user_data);
    return reply_of(count_report_week_xml(c, args, counter_name().c_str(), g_reply, sizeof g_reply),
                    length);
}

const char *count_handle_live_sum(void *user_data, const char *args, int *length) {
    auto *c = static_cast<const cntdata *>(user_data);
    return reply_of(count_report_live_sum(c, args, counter_name().c_str(), ov_param_get_serial(),
                                          g_reply, sizeof g_reply),
                    length);
}

const char *count_handle_last7(void *user_data, const char *args, int *length) {
    auto *c = static_cast<const cntdata *>(user_data);
    return reply_of(count_report_last7(c, args, counter_name().c_str(), g_reply, sizeof g_reply),
                    length);
}

const char *count_handle_last7percent(void *user_data, const char *args, int *length) {
    auto *c = static_cast<const cntdata *>(user_data);
    return reply_of(
        count_report_last7percent(c, args, counter_name().c_str(), g_reply, sizeof g_reply),
        length);
}

const char *count_handle_list_cnt(void *user_data, const char *, int *length) {
    auto *c = static_cast<const cntdata *>(user_data);
    return reply_of(count_report_list_cnt(c, g_reply, sizeof g_reply), length);
}

const char *count_handle_clear_data(void *user_data, const char *args, int *length) {
    auto *c = static_cast<cntdata *>(user_data);
    const char *reply = COUNT_CLEAR_MALFORMED;
    // The store was rebuilt or a day cleared: the application restarts to start clean.
    if (count_clear_data(c, args, &reply) != 0) ov_param_mark_changed();
    *length = int(strlen(reply));
    return reply;
}

int export_init(const cntdata *c) {
    export_cleanup();
    const char *serial = ov_param_get_serial();
    g_serial = strdup(serial ? serial : "");
    int64_t days = int64_t(c->slot_count) * c->interval / CNTDATA_DAY;
    g_export_size = size_t(days > 0 ? days : 1) * EXPORT_BYTES_PER_DAY;
    g_export_buffer = static_cast<char *>(malloc(g_export_size));
    if (!g_serial || !g_export_buffer) {
        export_cleanup();
        return -1;
    }
    return 0;
}

void export_cleanup(void) {
    free(g_export_buffer);
    free(g_xml_buffer);
    free(g_serial);
    g_export_buffer = nullptr;
    g_xml_buffer = nullptr;
    g_serial = nullptr;
    g_export_size = 0;
}

const char *export_csv(void *user_data, const char *args, int *length) {
    return handle(EXPORT_CSV, user_data, args, length);
}

const char *export_json(void *user_data, const char *args, int *length) {
    return handle(EXPORT_JSON, user_data, args, length);
}

const char *export_xml(void *user_data, const char *args, int *length) {
    return handle(EXPORT_XML, user_data, args, length);
}
