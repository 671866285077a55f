// Event service glue, the trigger thread and the "events.json" endpoint.
#include "events/events.h"

#include <glib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/clock.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "params/param.h"
#include "platform/events/vk_event.h"

namespace {
constexpr const char *TAG = "events.c";
constexpr const char *GLUE_TAG = "ov_event";
constexpr const char *NAMESPACE = "tnsveka";
constexpr int MAX_LIVE_TRACKS = 100;

VkEventHandler *g_handler = nullptr;
std::string g_app_name;

struct TriggerState {
    EventRules rules;
    EventTrackReader reader = nullptr;
    void *reader_ctx = nullptr;
    const std::atomic<int32_t> *counting_enabled = nullptr;
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
};
TriggerState *g_state = nullptr;

// Tests shorten the period with MEVO_EVENTS_PERIOD_MS; the product uses the default.
std::chrono::milliseconds trigger_period() {
    const char *env = getenv("MEVO_EVENTS_PERIOD_MS");
    int ms = env ? atoi(env) : 0;
    return std::chrono::milliseconds(ms > 0 ? ms : EVENTS_TRIGGER_PERIOD_MS);
}

VkEventKeyValueSet *timestamp_set(bool with_topics, const std::string &topic1) {
    VkEventKeyValueSet *set = vk_event_key_value_set_new();
    int32_t now = int32_t(clock_now());
    GError *error = nullptr;
    bool ok =
        vk_event_key_value_set_add(set, "timestamp", nullptr, &now, VK_EVENT_VALUE_INT, &error) &&
        vk_event_key_value_set_mark_as_data(set, "timestamp", nullptr, &error);
    if (ok && with_topics) {
        ok = vk_event_key_value_set_add(set, "topic0", NAMESPACE, "DeviceAppHost",
                                        VK_EVENT_VALUE_STRING, &error) &&
             vk_event_key_value_set_add(set, "topic1", NAMESPACE, topic1.c_str(),
                                        VK_EVENT_VALUE_STRING, &error);
    }
    if (!ok) {
        log_message(GLUE_TAG, "Failed to generate set for event: %s",
                    error ? error->message : "NO ERROR SET");
        g_clear_error(&error);
        vk_event_key_value_set_free(set);
        return nullptr;
    }
    return set;
}

int count_matching(const EventRule &rule, const EventTrackView *tracks, int count) {
    int matching = 0;
    for (int i = 0; i < count; ++i) {
        const EventTrackView &t = tracks[i];
        if (t.id <= 0 || t.weight_sum <= 0) continue;
        int gender = t.gender_sum / t.weight_sum > 0 ? 1 : -1;
        int age = int(t.age_sum / t.weight_sum + 0.5);
        if (rule.gender != 0 && gender != rule.gender) continue;
        if (age < rule.min_age || age > rule.max_age) continue;
        ++matching;
    }
    return matching;
}

void trigger_loop(TriggerState *state) {
    EventTrackView tracks[MAX_LIVE_TRACKS];
    auto period = trigger_period();
    std::unique_lock<std::mutex> guard(state->lock);
    while (!state->stop) {
        guard.unlock();
        bool counting = state->counting_enabled == nullptr || state->counting_enabled->load();
        if (counting && !state->rules.rules.empty()) {
            int n = state->reader(state->reader_ctx, tracks, MAX_LIVE_TRACKS);
            events_trigger_pass(&state->rules, tracks, n, clock_now());
        }
        guard.lock();
        state->wake.wait_for(guard, period, [state] { return state->stop; });
    }
}

std::string arg_value(const char *args, const char *key) {
    std::string needle = std::string("&") + key + "=";
    const char *p = args ? strstr(args, needle.c_str()) : nullptr;
    if (!p) return {};
    p += needle.size();
    const char *end = strchr(p, '&');
    return end ? std::string(p, end) : std::string(p);
}

bool has_arg(const char *args, const char *key) {
    std::string needle = std::string("&") + key + "=";
    return args && strstr(args, needle.c_str());
}

char g_reply[EVENTS_REPLY_SIZE];

const char *reply(int *length, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
const char *reply(int *length, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(g_reply, sizeof g_reply, fmt, ap);
    va_end(ap);
    if (n < 0 || size_t(n) >= sizeof g_reply) {
        // A cut reply would be broken JSON: answer with a short, valid one instead.
        n = snprintf(g_reply, sizeof g_reply, "{\"status\":\"%s\", \"msg\":\"%s\"}", "JSON_ERROR",
                     "ERROR: json is longer than the reply buffer");
    }
    *length = n;
    return g_reply;
}
}  // namespace

int ov_event_init(const char *app_name) {
    GError *error = nullptr;
    g_handler = vk_event_handler_new(app_name, &error);
    g_clear_error(&error);
    if (!g_handler) {
        log_message(GLUE_TAG, "Failed to create event handler!");
        return -1;
    }
    g_app_name = app_name;
    log_message(GLUE_TAG, "Initialization of events was successful!");
    return 0;
}

int ov_event_declare(EventRule *rule, const char *prefix) {
    log_message(GLUE_TAG, "Registering event %s-%s", prefix, rule->name.c_str());
    if (!g_handler) {
        log_message(GLUE_TAG, "Failed to properly instanciate object!");
        return -1;
    }
    VkEventKeyValueSet *set = timestamp_set(true, events_topic_value(prefix, rule->name));
    if (!set) return -1;
    GError *error = nullptr;
    guint id = 0;
    bool ok = vk_event_handler_declare(g_handler, set, TRUE, &id, &error);
    vk_event_key_value_set_free(set);
    if (!ok) {
        log_message(GLUE_TAG, "Failed to declare event: %s", error ? error->message : "");
        g_clear_error(&error);
        return -1;
    }
    rule->declared = true;
    rule->declaration_id = id;
    return 0;
}

int ov_event_send(const EventRule *rule) {
    VkEventKeyValueSet *set = timestamp_set(false, "");
    if (!set) {
        log_message(GLUE_TAG, "Failed generating set");
        return -1;
    }
    GError *error = nullptr;
    VkEvent *event = vk_event_new(set, &error);
    vk_event_key_value_set_free(set);
    bool ok = event && g_handler && rule->declared &&
              vk_event_handler_send_event(g_handler, rule->declaration_id, event, &error);
    if (event) vk_event_free(event);
    if (!ok) {
        log_message(GLUE_TAG, "Failed to send event: %s.",
                    error ? error->message : "event not declared");
        g_clear_error(&error);
        return -1;
    }
    return 0;
}

int events_trigger_pass(EventRules *rules, const EventTrackView *tracks, int count, time_t now) {
    int triggered = 0;
    for (auto &rule : rules->rules) {
        int matching = count_matching(rule, tracks, count);
        if (now > rules->holdoff_until) {
            if (matching > rule.last_count) {
                log_message(TAG, "Trigger on event: %s (cnt: %d)", rule.name.c_str(), matching);
                ov_event_send(&rule);
                rules->holdoff_until = now + rule.t_min;
                ++triggered;
            }
            rule.last_count = matching;
        } else if (matching < rule.last_count) {
            // Only drops are remembered during the hold-off, so a rise still fires after it.
            rule.last_count = matching;
        }
    }
    return triggered;
}

int events_init(EventTrackReader reader, void *reader_ctx,
                const std::atomic<int32_t> *counting_enabled) {
    auto *state = new TriggerState;
    state->reader = reader;
    state->reader_ctx = reader_ctx;
    state->counting_enabled = counting_enabled;

    std::string path = mevo_path(EVENTS_FILE);
    std::string text;
    int rules = file_read_all(path, text) == 0
                    ? events_load_text(&state->rules, text.data(), text.size())
                    : -1;
    if (rules < 1) {
        log_message(TAG, "Invalid event file configuration, overwriting with default");
        const char *def = events_default_text();
        file_write_atomic(path, def, strlen(def));
        events_load_text(&state->rules, def, strlen(def));
    }
    g_state = state;
    if (atoi(ov_param_get("Counter.EventsEnabled")) != 1) {
        log_message(TAG, "Events disabled");
        return 0;
    }
    for (auto &rule : state->rules.rules)
        ov_event_declare(&rule, state->rules.handler_name.c_str());
    if (state->rules.rules.empty() || !reader) {
        log_message(TAG, "No events was set up");
        return 0;
    }
    state->thread = std::thread(trigger_loop, state);
    log_message(TAG, "event_init success");
    return 0;
}

void events_close(void) {
    log_message(TAG, "Events closing\n");
    TriggerState *state = g_state;
    if (!state) return;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->stop = true;
    }
    // Waking the thread replaces a fixed two-second wait: it leaves within one pass.
    state->wake.notify_all();
    if (state->thread.joinable()) state->thread.join();
    g_state = nullptr;
    delete state;
}

const char *events_json_handler(void *, const char *args, int *length) {
    std::string path = mevo_path(EVENTS_FILE);
    if (arg_value(args, "default") == "yes")
        return reply(length, "{\"json\":%s,\"status\":\"%s\"}", events_default_text(), "OK");

    if (!has_arg(args, "json")) {
        std::string current;
        if (file_read_all(path, current) != 0) {
            log_message(TAG, "No json event file, skipping events");
            return reply(length, "{\"json\":\"\",\"status\":\"%s\"}", "NO_FILE");
        }
        bool is_default = current == events_default_text();
        return reply(length, "{\"json\":%s,\"status\":\"%s\",\"default\":\"%s\"}", current.c_str(),
                     "OK", is_default ? "yes" : "no");
    }

    std::string json = arg_value(args, "json");
    const char *verdict = events_validate(json.data(), json.size());
    if (strcmp(verdict, "OK") != 0)
        return reply(length, "{\"status\":\"%s\", \"msg\":\"%s\"}", "JSON_ERROR", verdict);

    EventRules scratch;
    int count = events_load_text(&scratch, json.data(), json.size());
    if (count < 0) return reply(length, "{\"status\":\"%s\", \"msg\":\"%s\"}", "SETUP_ERROR", "");
    if (arg_value(args, "save") == "yes" && file_write_atomic(path, json.data(), json.size()) != 0)
        return reply(length, "{\"status\":\"%s\", \"msg\":\"%d\"}", "CANT_WRITE_FILE", count);
    return reply(length, "{\"status\":\"%s\", \"msg\":\"%d\"}", "OK", count);
}
