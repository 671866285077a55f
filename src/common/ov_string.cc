#include "common/ov_string.h"

#include <cstdio>
#include <cstdlib>

#include "common/log.h"

namespace {

constexpr const char *kTag = "ov_string";
constexpr const char *kUnavailable = "?";

// Makes room for `need` characters plus the NUL.
bool ensure_capacity(OvNumber2String *n2s, size_t need) {
    if (need < n2s->capacity) return true;
    auto *grown = static_cast<char *>(std::realloc(n2s->buffer, need + 1));
    if (grown == nullptr) {
        log_message(kTag, "Failed to reallocate memory for number2string!");
        return false;
    }
    n2s->buffer = grown;
    n2s->capacity = need + 1;
    return true;
}

}  // namespace

OvNumber2String *ov_number2string_new(int size_hint) {
    size_t capacity =
        size_hint <= 0 ? OV_NUMBER2STRING_DEFAULT_SIZE : static_cast<size_t>(size_hint) + 1;
    auto *n2s = static_cast<OvNumber2String *>(std::malloc(sizeof(OvNumber2String)));
    char *buffer = static_cast<char *>(std::malloc(capacity));
    if (n2s == nullptr || buffer == nullptr) {
        std::free(n2s);
        std::free(buffer);
        log_message(kTag, "Failed to allocate memory for number2string!");
        return nullptr;
    }
    buffer[0] = '\0';
    *n2s = OvNumber2String{buffer, capacity};
    return n2s;
}

void ov_number2string_free(OvNumber2String *n2s) {
    if (n2s == nullptr) {
        log_message(kTag, "Trying to free number2string in null-pointer!");
        return;
    }
    std::free(n2s->buffer);
    std::free(n2s);
}

// The needed length is taken from snprintf itself: counting digits of the integer part misses
// the carry of rounding (9.996 with two decimals prints "10.00") and would overrun the buffer.
const char *ov_number2string_int(OvNumber2String *n2s, int value) {
    if (n2s == nullptr) return kUnavailable;
    int need = std::snprintf(nullptr, 0, "%d", value);
    if (need < 0 || !ensure_capacity(n2s, static_cast<size_t>(need))) return kUnavailable;
    std::snprintf(n2s->buffer, n2s->capacity, "%d", value);
    return n2s->buffer;
}

const char *ov_number2string_double(OvNumber2String *n2s, double value, int decimals) {
    if (n2s == nullptr) return kUnavailable;
    int need = std::snprintf(nullptr, 0, "%.*f", decimals, value);
    if (need < 0 || !ensure_capacity(n2s, static_cast<size_t>(need))) return kUnavailable;
    std::snprintf(n2s->buffer, n2s->capacity, "%.*f", decimals, value);
    return n2s->buffer;
}
