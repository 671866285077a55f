#include "count/count_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
constexpr size_t JSON_NAME_LIMIT = 498;  // no escape starts at this output position or later
}

void count_text_printf(CountText *t, const char *fmt, ...) {
    if (t->len >= t->cap) {
        t->overflow = true;
        return;
    }
    size_t room = t->cap - t->len;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(t->buf + t->len, room, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (size_t(n) >= room) {
        // vsnprintf kept room - 1 characters and a NUL; the reply keeps the whole room.
        t->len = t->cap;
        t->overflow = true;
    } else {
        t->len += size_t(n);
    }
}

void count_text_put(CountText *t, const char *s) {
    count_text_printf(t, "%s", s);
}

bool count_arg_value(const char *args, const char *key, std::string &value) {
    if (!args) return false;
    const char *p = strstr(args, key);
    if (!p) return false;
    p += strlen(key);
    const char *end = strchr(p, '&');
    value.assign(p, end ? size_t(end - p) : strlen(p));
    return true;
}

std::string count_timestamp(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%.4d%.2d%.2d%.2d%.2d%.2d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string count_json_name(const char *name) {
    std::string out;
    if (!name) return out;
    for (const char *p = name; *p; p++) {
        unsigned char ch = static_cast<unsigned char>(*p);
        char piece[8];
        if (ch == '"' || ch == '/' || ch == '\\') {
            snprintf(piece, sizeof piece, "\\%c", ch);
        } else if (ch < 0x20) {
            snprintf(piece, sizeof piece, "\\u%04x", ch);
        } else {
            piece[0] = char(ch);
            piece[1] = '\0';
        }
        if (out.size() + strlen(piece) > JSON_NAME_LIMIT + 1 || out.size() >= JSON_NAME_LIMIT)
            break;
        out += piece;
    }
    return out;
}

std::string count_xml_escape(const char *s) {
    std::string out;
    if (!s) return out;
    for (; *s; s++) {
        switch (*s) {
            case '"':
                out += "&quot;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '\'':
                out += "&#39;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += *s;
        }
    }
    return out;
}
