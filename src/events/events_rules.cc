// Rules file parsing and validation.
#define JSMN_STATIC
#define JSMN_PARENT_LINKS
#define JSMN_STRICT
#include <jsmn.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "events/events.h"

namespace {
constexpr const char *TAG = "events.c";

const char DEFAULT_RULES[] =
    "{\n    \"json_version\":1,\n"
    "    \"male\":{\n        \"event_order\":1,\n        \"gender\":\"male\",\n"
    "        \"min_age\":0,\n        \"max_age\":100,\n        \"t_min\":0\n    },\n"
    "    \"female\":{\n        \"event_order\":2,\n        \"gender\":\"female\",\n"
    "        \"min_age\":0,\n        \"max_age\":100,\n        \"t_min\":0\n    },\n"
    "    \"any_0_30\":{\n        \"event_order\":3,\n        \"gender\":\"any\",\n"
    "        \"min_age\":0,\n        \"max_age\":30,\n        \"t_min\":0\n    },\n"
    "    \"any_31_plus\":{\n        \"event_order\":4,\n        \"gender\":\"any\",\n"
    "        \"min_age\":31,\n        \"max_age\":100,\n        \"t_min\":0\n    }\n}";

enum TokenizeResult { TOKENS_OK, TOKENS_TOO_MANY, TOKENS_INVALID, TOKENS_INCOMPLETE };

TokenizeResult tokenize(const char *text, size_t len, jsmntok_t *tokens, int *count) {
    jsmn_parser parser;
    jsmn_init(&parser);
    int n = jsmn_parse(&parser, text, len, tokens, EVENTS_MAX_TOKENS);
    if (n == JSMN_ERROR_NOMEM) return TOKENS_TOO_MANY;
    if (n == JSMN_ERROR_PART) return TOKENS_INCOMPLETE;
    // A valid file is one object of key/value pairs: root + 2 per pair, always odd.
    if (n < 0 || n % 2 == 0 || tokens[0].type != JSMN_OBJECT) return TOKENS_INVALID;
    *count = n;
    return TOKENS_OK;
}

std::string token_text(const char *text, const jsmntok_t &tok) {
    size_t len = size_t(tok.end - tok.start);
    return std::string(text + tok.start, std::min(len, EVENTS_NAME_MAX));
}

// Base-10 integer; no digits, trailing characters or -99 itself mark an invalid value.
int parse_value(const std::string &value, const char *key) {
    errno = 0;
    char *end = nullptr;
    long v = strtol(value.c_str(), &end, 10);
    bool bad = end == value.c_str() || *end != '\0' || errno != 0 || v == EVENTS_INVALID_VALUE ||
               v < INT32_MIN || v > INT32_MAX;
    if (bad) {
        printf("ERROR: Invalid json value for parameter \"%s\": %s\n", key, value.c_str());
        return EVENTS_INVALID_VALUE;
    }
    return int(v);
}

bool set_rule_field(EventRule *rule, const std::string &key, const std::string &value) {
    if (key == "t_min") {
        rule->t_min = parse_value(value, "t_min");
    } else if (key == "t_max") {
        rule->t_max = parse_value(value, "t_max");
    } else if (key == "event_order") {
        rule->event_order = parse_value(value, "event_order");
    } else if (key == "min_age") {
        rule->min_age = parse_value(value, "min_age");
    } else if (key == "max_age") {
        rule->max_age = parse_value(value, "max_age");
    } else if (key == "gender") {
        if (value == "male") {
            rule->gender = 1;
        } else if (value == "female") {
            rule->gender = -1;
        } else if (value == "any") {
            rule->gender = 0;
        } else {
            rule->gender = EVENTS_INVALID_VALUE;
            log_message(TAG, "ERROR: Unknown gender in event");
            return false;
        }
    } else if (key != "json_version") {
        log_message(TAG, "ERROR: Unknown event data parameter: %s", key.c_str());
        return false;
    }
    return true;
}

bool set_global_field(EventRules *rules, const std::string &key, const std::string &value) {
    if (key == "fallback") {
        rules->fallback = parse_value(value, "fallback");
    } else if (key != "json_version") {
        log_message(TAG, "ERROR: Unknown global event data parameter: %s", key.c_str());
        return false;
    }
    return true;
}

void sort_and_log(EventRules *rules) {
    // Adjacent swaps keep rules of equal order in file order.
    std::stable_sort(
        rules->rules.begin(), rules->rules.end(),
        [](const EventRule &a, const EventRule &b) { return a.event_order < b.event_order; });
    int i = 0;
    for (const auto &r : rules->rules)
        log_message(TAG,
                    "Event %d, event-order: %d, %s: t-max: %d, t-min: %d, gender: %d, "
                    "min-age: %d, max-age: %d\n",
                    i++, r.event_order, r.name.c_str(), r.t_max, r.t_min, r.gender, r.min_age,
                    r.max_age);
}

// Walks the key/value pairs; a key's parent says whether it is global or inside a rule.
bool walk_pairs(EventRules *rules, const char *text, const jsmntok_t *tok, int count) {
    std::vector<int> rule_of_object(size_t(count), -1);
    for (int i = 1; i + 1 < count; i += 2) {
        const jsmntok_t &key = tok[i];
        const jsmntok_t &value = tok[i + 1];
        bool top_level = key.parent == 0;
        if (key.type != JSMN_STRING) {
            log_message(TAG, "ERROR: Invalid json string");
            return false;
        }
        std::string key_text = token_text(text, key);
        if (value.type == JSMN_OBJECT || value.type == JSMN_ARRAY) {
            if (!top_level || value.type == JSMN_ARRAY) {
                log_message(TAG, "ERROR: Max json depth supported is 2");
                return false;
            }
            EventRule rule;
            rule.name = key_text;
            rules->rules.push_back(rule);
            rule_of_object[size_t(i + 1)] = int(rules->rules.size()) - 1;
            continue;
        }
        std::string value_text = token_text(text, value);
        bool ok = top_level
                      ? set_global_field(rules, key_text, value_text)
                      : set_rule_field(&rules->rules[size_t(rule_of_object[size_t(key.parent)])],
                                       key_text, value_text);
        if (!ok) return false;
    }
    return true;
}
}  // namespace

const char *events_default_text(void) {
    return DEFAULT_RULES;
}

int events_load_text(EventRules *rules, const char *text, size_t len) {
    rules->rules.clear();
    jsmntok_t tokens[EVENTS_MAX_TOKENS];
    int count = 0;
    switch (tokenize(text, len, tokens, &count)) {
        case TOKENS_TOO_MANY:
            log_message(TAG, "ERROR: json is longer than allocated tokens");
            return -1;
        case TOKENS_INCOMPLETE:
            log_message(TAG, "ERROR: Incomplete json string");
            return -1;
        case TOKENS_INVALID:
            log_message(TAG, "ERROR: Invalid json string");
            return -1;
        case TOKENS_OK:
            break;
    }
    if (!walk_pairs(rules, text, tokens, count)) {
        rules->rules.clear();
        return -1;
    }
    sort_and_log(rules);
    return int(rules->rules.size());
}

const char *events_validate(const char *text, size_t len) {
    jsmntok_t tokens[EVENTS_MAX_TOKENS];
    int count = 0;
    switch (tokenize(text, len, tokens, &count)) {
        case TOKENS_TOO_MANY:
            return "ERROR: json is longer than allocated tokens";
        case TOKENS_INCOMPLETE:
            return "ERROR: Incomplete json";
        case TOKENS_INVALID:
            return "ERROR: Invalid json";
        case TOKENS_OK:
            break;
    }
    for (size_t i = 0; i < len; ++i) {
        if (text[i] != ',') continue;
        size_t j = i + 1;
        while (j < len && (unsigned char)text[j] < '!') ++j;
        if (j < len && text[j] == '}') return "ERROR: Invalid use of comma";
    }
    return "OK";
}

std::string events_topic_value(const std::string &handler_name, const std::string &rule_name) {
    std::string out = handler_name + "-";
    bool upper_next = false;
    for (char c : rule_name) {
        if (c == ' ') {
            upper_next = true;
            continue;
        }
        out += upper_next ? char(toupper((unsigned char)c)) : c;
        upper_next = false;
    }
    return out;
}
