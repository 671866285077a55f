// Streaming JSON printer: a thin layer over yajl's generator. Output goes straight to a print
// callback token by token, so a track list of any length is written without building it in
// memory first.
//
// Call style: json_print_args() takes a list of type tags, each followed by its value(s), and
// ends with JSON_END. Example:
//
//   json_print_args(p, JSON_OBJECT_BEGIN,
//                      JSON_KEY, "id", JSON_INT, (long long)track_id,
//                      JSON_KEY, "age", JSON_DOUBLE, 31.5, 1,        // value, decimals
//                      JSON_KEY, "rect", JSON_ARRAY_BEGIN,
//                          JSON_INT, 10LL, JSON_INT, 20LL, JSON_INT, 5LL, JSON_INT, 9LL,
//                      JSON_ARRAY_END,
//                      JSON_KEY, "name", JSON_STRING, "a \"quoted\" text",
//                   JSON_OBJECT_END, JSON_END);
//
// Tags and the values that follow them (varargs are promoted, so pass exactly these types):
//   JSON_OBJECT_BEGIN, JSON_OBJECT_END, JSON_ARRAY_BEGIN, JSON_ARRAY_END   (no value)
//   JSON_KEY         const char *      object key (NUL-terminated)
//   JSON_STRING      const char *      string value (NUL-terminated; null prints null)
//   JSON_STRING_LEN  const char *, size_t   string value of the given length
//   JSON_INT         long long          integer value
//   JSON_DOUBLE      double, int        value and number of decimals (0..17); NaN/Inf print null
//   JSON_NUMBER      const char *      number already formatted as text (e.g. by ov_string);
//                                      written as is, so it must be a valid JSON number
//   JSON_TRUE, JSON_FALSE, JSON_NULL   (no value)
//   JSON_END         ends the list (required)
// A list may hold any part of a document; the document may be spread over many calls.
//
// Thread: a printer belongs to one thread at a time (no locking inside).
#pragma once

#include <cstddef>

// Receives the output bytes; returns 0 on success, any other value on failure. The bytes are
// not NUL-terminated.
using JsonPrintCallback = int (*)(void *user, const char *bytes, size_t length);

enum JsonPrintTag {
    JSON_END = 0,
    JSON_OBJECT_BEGIN,
    JSON_OBJECT_END,
    JSON_ARRAY_BEGIN,
    JSON_ARRAY_END,
    JSON_KEY,
    JSON_STRING,
    JSON_STRING_LEN,
    JSON_INT,
    JSON_DOUBLE,
    JSON_NUMBER,
    JSON_TRUE,
    JSON_FALSE,
    JSON_NULL,
};

// Return codes of json_print_args.
inline constexpr int JSON_PRINT_OK = 0;
inline constexpr int JSON_PRINT_ERR_STATE = -1;     // token not allowed here (e.g. value as key)
inline constexpr int JSON_PRINT_ERR_CALLBACK = -2;  // the print callback reported a failure
inline constexpr int JSON_PRINT_ERR_ARG = -3;       // unknown tag, bad length or bad number text

struct JsonPrinter;

// Creates a printer writing to `callback(user, ...)`. Returns null when out of memory.
JsonPrinter *json_print_init(JsonPrintCallback callback, void *user);

// Switches indented output on (non-zero) or off; call before the first token.
// Returns 0, or -1 for a null printer.
int json_print_pretty(JsonPrinter *printer, int enable);

// Prints the tagged list ending with JSON_END. Stops at the first error and returns one of the
// codes above; a callback failure is reported but the remaining tokens are still printed, so
// the generator's state stays consistent.
int json_print_args(JsonPrinter *printer, ...);

// Frees the printer (null is allowed). Does not close anything the callback writes to.
void json_print_free(JsonPrinter *printer);
