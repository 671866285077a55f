// Visitor-profile rules: a small JSON file of rules (gender, age range, hold-off) and a
// trigger thread that raises one camera event per rule whenever the number of people in view
// who match the rule rises.
//
// Threads: events_init/events_close on the main thread; the trigger thread reads live tracks
// only through the EventTrackReader given at init (which must hold the tracker's lock while it
// copies); events_json_handler runs on the HTTP thread and touches only the file and a scratch
// rules set, never the running rules.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

inline constexpr int EVENTS_MAX_TOKENS = 200;
inline constexpr size_t EVENTS_NAME_MAX = 255;
inline constexpr size_t EVENTS_REPLY_SIZE = 10000;
inline constexpr int EVENTS_INVALID_VALUE = -99;
inline constexpr int EVENTS_TRIGGER_PERIOD_MS = 150;
inline constexpr const char *EVENTS_FILE = "/usr/local/packages/mevo/events.json";
inline constexpr const char *EVENTS_HANDLER_NAME = "Demographics";

struct EventRule {
    std::string name;
    int last_count = 0;
    int t_min = 0;
    int t_max = -99;
    int event_order = INT32_MAX;
    int gender = 0;  // 1 male, -1 female, 0 any
    int min_age = 0;
    int max_age = 100;
    bool declared = false;
    unsigned declaration_id = 0;
};

struct EventRules {
    int fallback = 0;
    time_t holdoff_until = 0;  // no rule triggers before this time (seconds since the epoch)
    std::string handler_name = EVENTS_HANDLER_NAME;
    std::vector<EventRule> rules;  // sorted by event_order
};

// The attributes of one live track the trigger needs (sums as the tracker keeps them).
struct EventTrackView {
    int id;  // positive once the track is confirmed
    double gender_sum;
    double age_sum;
    double weight_sum;
};

// Copies up to `max` live tracks into `out` under the tracker's lock; returns how many.
using EventTrackReader = int (*)(void *ctx, EventTrackView *out, int max);

// The default rules file, byte for byte.
const char *events_default_text(void);

// Parses `text` into `rules` (replacing its rules). Returns the rule count, or -1 with the
// reason logged.
int events_load_text(EventRules *rules, const char *text, size_t len);

// Validation for the endpoint: "OK" or the error message.
const char *events_validate(const char *text, size_t len);

// The topic value of a rule: "Demographics-" + the name in camel case without spaces.
std::string events_topic_value(const std::string &handler_name, const std::string &rule_name);

// One evaluation of every rule against the live tracks at time `now`; sends the camera
// events of the rules that trigger. Returns how many triggered.
int events_trigger_pass(EventRules *rules, const EventTrackView *tracks, int count, time_t now);

// Camera-event glue: start the event service for `app_name`; declare a rule's event; send it.
int ov_event_init(const char *app_name);
int ov_event_declare(EventRule *rule, const char *prefix);
int ov_event_send(const EventRule *rule);

// Loads (or restores) the rules file, declares the events and starts the trigger thread when
// Counter.EventsEnabled is 1. `counting_enabled` is the schedule's flag (1 = counting).
int events_init(EventTrackReader reader, void *reader_ctx,
                const std::atomic<int32_t> *counting_enabled);
void events_close(void);

// "events.json" buffer handler (arguments "&default=", "&json=", "&save=").
const char *events_json_handler(void *user_data, const char *args, int *length);
