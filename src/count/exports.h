// Count exports: the stored interval counters as CSV, JSON or count-data XML for one or more
// days at the store's interval or a coarser resolution.
//
// Arguments (the query after the endpoint name, starting with '&'):
//   date=ITEM[,ITEM...]  YYYYMMDD, YYYYMMDD-YYYYMMDD, today, yesterday, all...   (default: all)
//   res=N[s|m|h]         seconds per bucket, a multiple of the store's interval (default: it)
//   callback=NAME        JSONP wrapper (JSON only)
// Error replies: "Too much data chosen.", "illegal argument", "out of memory".
//
// Threads: HTTP loop thread only (the handlers share module buffers). The store's mapping is
// read without its lock.
#pragma once

#include <cstddef>
#include <ctime>
#include <vector>

#include "count/cntdata.h"

inline constexpr size_t EXPORT_BYTES_PER_DAY = 122880;

enum ExportKind { EXPORT_CSV = 0, EXPORT_JSON = 1, EXPORT_XML = 2 };

// Caches the serial number (parameter layer) and allocates the export buffer sized for the
// whole store. Returns 0, or -1 (the export endpoints then reply "out of memory").
int export_init(const cntdata *c);
// Frees the export buffers and the serial copy.
void export_cleanup(void);

// Builds an export reply into out[0..cap) from the store, the argument string, the counter
// name and the serial number; "now" comes from clock_now(). Returns the reply: `out` with its
// length, or a static error text with its length. out may be null (then "out of memory"
// after the argument checks).
const char *export_build(ExportKind kind, const cntdata *c, const char *args,
                         const char *counter_name, const char *serial, char *out, size_t cap,
                         int *length);

// The days an argument string selects, as export_build walks them: each a time inside its
// day, in request order, "all" expanded. For callers that fetch the data of those days before
// building the export. Returns 0, or -1 for an argument error.
int export_selected_days(const cntdata *c, const char *args, std::vector<time_t> *days);

// Buffer handlers for the web layer (user data: cntdata *).
const char *export_csv(void *user_data, const char *args, int *length);
const char *export_json(void *user_data, const char *args, int *length);
const char *export_xml(void *user_data, const char *args, int *length);
