#include "platform/json/json_print.h"

#include <yajl/yajl_gen.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr int kMaxDecimals = 17;
// Sign, 309 integer digits of DBL_MAX, point, decimals, NUL.
constexpr size_t kDoubleTextSize = 2 + 309 + 1 + kMaxDecimals + 1;

}  // namespace

struct JsonPrinter {
    yajl_gen gen = nullptr;
    JsonPrintCallback callback = nullptr;
    void *user = nullptr;
    bool callback_failed = false;  // set by the yajl print hook, read after each token
};

namespace {

void print_hook(void *ctx, const char *str, size_t len) {
    auto *p = static_cast<JsonPrinter *>(ctx);
    if (p->callback(p->user, str, len) != 0) p->callback_failed = true;
}

// JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(const char *s) {
    if (*s == '-') ++s;
    if (*s == '0') {
        ++s;
    } else if (*s >= '1' && *s <= '9') {
        while (*s >= '0' && *s <= '9') ++s;
    } else {
        return false;
    }
    if (*s == '.') {
        ++s;
        if (!(*s >= '0' && *s <= '9')) return false;
        while (*s >= '0' && *s <= '9') ++s;
    }
    if (*s == 'e' || *s == 'E') {
        ++s;
        if (*s == '+' || *s == '-') ++s;
        if (!(*s >= '0' && *s <= '9')) return false;
        while (*s >= '0' && *s <= '9') ++s;
    }
    return *s == '\0';
}

int map_status(yajl_gen_status st) {
    switch (st) {
        case yajl_gen_status_ok:
            return JSON_PRINT_OK;
        case yajl_gen_invalid_string:
        case yajl_gen_invalid_number:
            return JSON_PRINT_ERR_ARG;
        default:
            return JSON_PRINT_ERR_STATE;
    }
}

yajl_gen_status print_string(yajl_gen g, const char *s, size_t len) {
    if (s == nullptr) return yajl_gen_null(g);
    return yajl_gen_string(g, reinterpret_cast<const unsigned char *>(s), len);
}

yajl_gen_status print_double(yajl_gen g, double v, int decimals) {
    if (!std::isfinite(v)) return yajl_gen_null(g);
    char text[kDoubleTextSize];
    int n = std::snprintf(text, sizeof text, "%.*f", decimals, v);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) return yajl_gen_invalid_number;
    return yajl_gen_number(g, text, static_cast<size_t>(n));
}

// Prints one tagged token; returns a JSON_PRINT_* code, or 1 at JSON_END.
int print_token(JsonPrinter *p, int tag, va_list *ap) {
    yajl_gen g = p->gen;
    yajl_gen_status st;
    switch (tag) {
        case JSON_END:
            return 1;
        case JSON_OBJECT_BEGIN:
            st = yajl_gen_map_open(g);
            break;
        case JSON_OBJECT_END:
            st = yajl_gen_map_close(g);
            break;
        case JSON_ARRAY_BEGIN:
            st = yajl_gen_array_open(g);
            break;
        case JSON_ARRAY_END:
            st = yajl_gen_array_close(g);
            break;
        case JSON_KEY: {
            const char *key = va_arg(*ap, const char *);
            if (key == nullptr) return JSON_PRINT_ERR_ARG;
            st = print_string(g, key, std::strlen(key));
            break;
        }
        case JSON_STRING: {
            const char *s = va_arg(*ap, const char *);
            st = print_string(g, s, s ? std::strlen(s) : 0);
            break;
        }
        case JSON_STRING_LEN: {
            const char *s = va_arg(*ap, const char *);
            size_t len = va_arg(*ap, size_t);
            if (s == nullptr && len != 0) return JSON_PRINT_ERR_ARG;
            st = s ? print_string(g, s, len) : yajl_gen_string(g, nullptr, 0);
            break;
        }
        case JSON_INT:
            st = yajl_gen_integer(g, va_arg(*ap, long long));
            break;
        case JSON_DOUBLE: {
            double v = va_arg(*ap, double);
            int decimals = va_arg(*ap, int);
            if (decimals < 0 || decimals > kMaxDecimals) return JSON_PRINT_ERR_ARG;
            st = print_double(g, v, decimals);
            break;
        }
        case JSON_NUMBER: {
            const char *s = va_arg(*ap, const char *);
            if (s == nullptr || !is_json_number(s)) return JSON_PRINT_ERR_ARG;
            st = yajl_gen_number(g, s, std::strlen(s));
            break;
        }
        case JSON_TRUE:
            st = yajl_gen_bool(g, 1);
            break;
        case JSON_FALSE:
            st = yajl_gen_bool(g, 0);
            break;
        case JSON_NULL:
            st = yajl_gen_null(g);
            break;
        default:
            return JSON_PRINT_ERR_ARG;
    }
    return map_status(st);
}

}  // namespace

JsonPrinter *json_print_init(JsonPrintCallback callback, void *user) {
    if (callback == nullptr) return nullptr;
    auto *p = new (std::nothrow) JsonPrinter;
    if (p == nullptr) return nullptr;
    p->gen = yajl_gen_alloc(nullptr);
    if (p->gen == nullptr) {
        delete p;
        return nullptr;
    }
    p->callback = callback;
    p->user = user;
    yajl_gen_config(p->gen, yajl_gen_print_callback, print_hook, p);
    yajl_gen_config(p->gen, yajl_gen_validate_utf8, 1);
    return p;
}

int json_print_pretty(JsonPrinter *printer, int enable) {
    if (printer == nullptr) return -1;
    yajl_gen_config(printer->gen, yajl_gen_beautify, enable ? 1 : 0);
    if (enable) yajl_gen_config(printer->gen, yajl_gen_indent_string, "  ");
    return 0;
}

int json_print_args(JsonPrinter *printer, ...) {
    if (printer == nullptr) return JSON_PRINT_ERR_ARG;
    va_list ap;
    va_start(ap, printer);
    printer->callback_failed = false;
    int rc = JSON_PRINT_OK;
    for (;;) {
        int tag = va_arg(ap, int);
        rc = print_token(printer, tag, &ap);
        if (rc != JSON_PRINT_OK) break;
    }
    va_end(ap);
    if (rc == 1) rc = JSON_PRINT_OK;
    if (rc == JSON_PRINT_OK && printer->callback_failed) rc = JSON_PRINT_ERR_CALLBACK;
    return rc;
}

void json_print_free(JsonPrinter *printer) {
    if (printer == nullptr) return;
    yajl_gen_free(printer->gen);
    delete printer;
}
