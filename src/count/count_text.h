// Bounded text builder for the report and export replies. Internal to the count module.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

struct CountText {
    char *buf;
    size_t cap;             // bytes available
    size_t len = 0;         // never passes cap
    bool overflow = false;  // an append did not fit (the text was cut)
};

// printf-style append; a text that does not fit is cut at the buffer end and marks overflow.
void count_text_printf(CountText *t, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void count_text_put(CountText *t, const char *s);

// Value of `key` ("date=", "callback=", ...) in an argument string: the text after the key up to
// the next '&' or the end. Returns false when the key does not occur.
bool count_arg_value(const char *args, const char *key, std::string &value);

// Local time "%.4d%.2d%.2d%.2d%.2d%.2d" of t.
std::string count_timestamp(time_t t);

// Counter name escaped for a JSON string: a backslash before '"', '/' and '\'; control
// characters as \u00XX; at most 499 characters, an escape never split.
std::string count_json_name(const char *name);

// '"' -> &quot;, '&' -> &amp;, '\'' -> &#39;, '<' -> &lt;, '>' -> &gt;.
std::string count_xml_escape(const char *s);
