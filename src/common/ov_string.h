// Number-to-text buffer: turns numbers into text in one reusable buffer that grows when a longer
// text is needed, for writers that hand numbers to the JSON printer as text.
// Threads: no locking; each writer owns its buffer.
#pragma once

#include <cstddef>

inline constexpr size_t OV_NUMBER2STRING_DEFAULT_SIZE = 21;

struct OvNumber2String {
    char *buffer;
    size_t capacity;  // bytes, including room for the terminating NUL
};

// A buffer of size_hint + 1 bytes (OV_NUMBER2STRING_DEFAULT_SIZE when size_hint <= 0).
// Returns null (logged) when out of memory.
OvNumber2String *ov_number2string_new(int size_hint);
// Null is logged and ignored.
void ov_number2string_free(OvNumber2String *n2s);

// printf "%d" / "%.*f" into the buffer. The returned text stays valid until the next call on
// the same buffer; "?" when the buffer could not grow. Negative `decimals` mean 6, as in printf.
const char *ov_number2string_int(OvNumber2String *n2s, int value);
const char *ov_number2string_double(OvNumber2String *n2s, double value, int decimals);
