// Count reports: the chart XML and JSON summaries built from the count data store, and the
// "clear-data" command.
//
// The builders are pure text functions (store + arguments + counter name/serial -> text) and
// read "now" from clock_now(); they write at most `cap` bytes (not NUL-terminated) and return
// the length. The handlers are the web layer's buffer handlers (user data = the cntdata
// store); they share one 256 KiB reply buffer and read the counter name and serial number
// from the parameter layer. HTTP loop thread only.
#pragma once

#include <cstddef>

#include "count/cntdata.h"

inline constexpr size_t COUNT_REPORT_BUFFER_SIZE = 262144;
inline constexpr const char *COUNT_CLEAR_MALFORMED = "clear-data: malformed date";

// "day.xml": args may contain "&labels".
int count_report_day_xml(const cntdata *c, const char *args, const char *counter_name, char *out,
                         size_t cap);
// "week.xml": the seven days before today.
int count_report_week_xml(const cntdata *c, const char *args, const char *counter_name, char *out,
                          size_t cap);
// "live-sum.json": today's totals; args may carry "callback=".
int count_report_live_sum(const cntdata *c, const char *args, const char *counter_name,
                          const char *serial, char *out, size_t cap);
// "last7.json" and "last7percent.json": the seven days before today and today.
int count_report_last7(const cntdata *c, const char *args, const char *counter_name, char *out,
                       size_t cap);
int count_report_last7percent(const cntdata *c, const char *args, const char *counter_name,
                              char *out, size_t cap);
// "list-cnt.json": the dates that hold data.
int count_report_list_cnt(const cntdata *c, char *out, size_t cap);

// "clear-data": clears all ("date=" absent) or the local day "date=YYYYMMDD" under c->lock.
// Returns 1 when data were cleared (the application must restart), 0 for a malformed date
// (nothing changed), -1 when the clear failed. *reply is "OK" or "clear-data: malformed date".
int count_clear_data(cntdata *c, const char *args, const char **reply);

// Buffer handlers for the web layer (user data: cntdata *).
const char *count_handle_day_xml(void *user_data, const char *args, int *length);
const char *count_handle_week_xml(void *user_data, const char *args, int *length);
const char *count_handle_live_sum(void *user_data, const char *args, int *length);
const char *count_handle_last7(void *user_data, const char *args, int *length);
const char *count_handle_last7percent(void *user_data, const char *args, int *length);
const char *count_handle_list_cnt(void *user_data, const char *args, int *length);
// Also marks a parameter change (ov_param_mark_changed) so the main loop restarts.
const char *count_handle_clear_data(void *user_data, const char *args, int *length);
