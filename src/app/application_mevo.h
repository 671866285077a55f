// The count types shared by the count store, the reports and the exports, and the application
// start-up that builds them (log tag "application_mevo").
//
// Type i (0..17) has the identifier 300 + i: 0 men total, 1 women total, 2..9 men by age band
// (0-14, 15-24, ..., 65-74, 75-), 10..17 women by the same bands. Each description lives in a
// buffer of COUNT_TYPE_DESC_SIZE bytes allocated by application_init. They live until the process
// exits (the HTTP thread reads them until then); only tests release them. Written on the main
// thread at start-up, read-only afterwards.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr int COUNT_TYPES = 18;
inline constexpr int COUNT_TYPE_ID_BASE = 300;
inline constexpr size_t COUNT_TYPE_DESC_SIZE = 50;
inline constexpr int COUNT_INTERVAL_SLOTS = 8928;  // 93 days of 15-minute intervals
inline constexpr int COUNT_INTERVAL_SECONDS = 900;

// Long ("Men age 15-24") and short ("men15-24") descriptions; null until application_init.
extern char *typedesc[COUNT_TYPES];
extern char *typedesc_short[COUNT_TYPES];
// Identifiers 300..317.
extern int32_t count_type_ids[COUNT_TYPES];

// Fills both description tables. Returns 0, or -1 after logging
// "Could not allocate memory for typedesc." (nothing stays allocated then).
int count_types_build(void);
void count_types_free(void);

// Remembers `exit_request`, builds the descriptions and starts the count store (8928 slots of
// 900 s, 18 types, daily totals; files under the root). Returns 0, or -1
// when the descriptions could not be built.
int application_init(std::atomic<int32_t> *exit_request);
struct cntdata;
// The count store started by application_init (null before, or when it did not start).
cntdata *application_counts(void);
// Flushes and closes the count store (shutdown).
void application_counts_destroy(void);
// The exit-request word given to application_init (null before).
std::atomic<int32_t> *application_exit_request(void);
// Tests: releases the descriptions.
void application_free(void);
