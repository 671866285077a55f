#include "platform/events/vk_event.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/fileutil.h"
#include "common/json_text.h"
#include "common/paths.h"

struct KeyValue {
    std::string key;
    std::string name_space;  // empty: none
    VkEventValueType type;
    std::string text;  // the value already rendered as JSON
    bool is_data = false;
};

struct VkEventKeyValueSet {
    std::vector<KeyValue> items;
};

struct VkEvent {
    std::vector<KeyValue> items;
};

struct VkEventHandler {
    std::string app;
    std::mutex lock;
    guint next_id = 1;
    std::map<guint, std::vector<KeyValue>> declarations;
};

namespace {
GQuark vk_event_quark() {
    return g_quark_from_static_string("vk-event");
}

std::string render_value(const void *value, VkEventValueType type) {
    char buf[64];
    switch (type) {
        case VK_EVENT_VALUE_INT:
            snprintf(buf, sizeof buf, "%" PRId32, *static_cast<const int32_t *>(value));
            return buf;
        case VK_EVENT_VALUE_DOUBLE:
            snprintf(buf, sizeof buf, "%.17g", *static_cast<const double *>(value));
            return buf;
        case VK_EVENT_VALUE_STRING:
            return json_quoted(static_cast<const char *>(value));
        case VK_EVENT_VALUE_BOOL:
            return *static_cast<const int32_t *>(value) ? "true" : "false";
    }
    return "null";
}

std::string render_items(const std::vector<KeyValue> &items, bool data) {
    std::string out = "{";
    bool first = true;
    for (const auto &kv : items) {
        if (kv.is_data != data) continue;
        std::string name = kv.name_space.empty() ? kv.key : kv.name_space + ":" + kv.key;
        out += (first ? "" : ",") + json_quoted(name) + ":" + kv.text;
        first = false;
    }
    return out + "}";
}

// One line per call, appended with O_APPEND so concurrent writers never interleave.
gboolean append_line(const std::string &line, GError **error) {
    std::string path = vk_event_log_path();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        g_set_error(error, vk_event_quark(), 1, "cannot open %s", path.c_str());
        return FALSE;
    }
    std::string full = line + "\n";
    bool ok = write(fd, full.data(), full.size()) == ssize_t(full.size());
    close(fd);
    if (!ok) g_set_error(error, vk_event_quark(), 2, "cannot write %s", path.c_str());
    return ok;
}
}  // namespace

const char *vk_event_log_path(void) {
    static const std::string path = mevo_path("/var/log/events.jsonl");
    return path.c_str();
}

VkEventHandler *vk_event_handler_new(const char *app_name, GError **error) {
    if (!app_name || !*app_name) {
        g_set_error(error, vk_event_quark(), 3, "no application name");
        return nullptr;
    }
    file_mkdir_p(mevo_path("/var/log"));
    auto *handler = new VkEventHandler;
    handler->app = app_name;
    return handler;
}

void vk_event_handler_free(VkEventHandler *handler) {
    delete handler;
}

VkEventKeyValueSet *vk_event_key_value_set_new(void) {
    return new VkEventKeyValueSet;
}

void vk_event_key_value_set_free(VkEventKeyValueSet *set) {
    delete set;
}

gboolean vk_event_key_value_set_add(VkEventKeyValueSet *set, const char *key,
                                    const char *name_space, const void *value,
                                    VkEventValueType type, GError **error) {
    if (!set || !key || !value || type < VK_EVENT_VALUE_INT || type > VK_EVENT_VALUE_BOOL) {
        g_set_error(error, vk_event_quark(), 4, "invalid key or value");
        return FALSE;
    }
    set->items.push_back({key, name_space ? name_space : "", type, render_value(value, type)});
    return TRUE;
}

gboolean vk_event_key_value_set_mark_as_data(VkEventKeyValueSet *set, const char *key,
                                             const char *name_space, GError **error) {
    std::string ns = name_space ? name_space : "";
    for (auto &kv : set->items) {
        if (kv.key == key && kv.name_space == ns) {
            kv.is_data = true;
            return TRUE;
        }
    }
    g_set_error(error, vk_event_quark(), 5, "no key %s", key);
    return FALSE;
}

gboolean vk_event_handler_declare(VkEventHandler *handler, VkEventKeyValueSet *set,
                                  gboolean stateless, guint *declaration_id, GError **error) {
    if (!handler || !set || !declaration_id) {
        g_set_error(error, vk_event_quark(), 6, "invalid declaration");
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(handler->lock);
    guint id = handler->next_id++;
    handler->declarations[id] = set->items;
    std::string line = "{\"type\":\"declare\",\"app\":" + json_quoted(handler->app) +
                       ",\"id\":" + std::to_string(id) +
                       ",\"stateless\":" + (stateless ? "true" : "false") +
                       ",\"topics\":" + render_items(set->items, false) +
                       ",\"data\":" + render_items(set->items, true) + "}";
    if (!append_line(line, error)) return FALSE;
    *declaration_id = id;
    return TRUE;
}

VkEvent *vk_event_new(VkEventKeyValueSet *set, GError **error) {
    if (!set) {
        g_set_error(error, vk_event_quark(), 7, "no key-value set");
        return nullptr;
    }
    auto *event = new VkEvent;
    event->items = set->items;
    for (auto &kv : event->items) kv.is_data = true;
    return event;
}

void vk_event_free(VkEvent *event) {
    delete event;
}

gboolean vk_event_handler_send_event(VkEventHandler *handler, guint declaration_id, VkEvent *event,
                                     GError **error) {
    if (!handler || !event) {
        g_set_error(error, vk_event_quark(), 8, "invalid event");
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(handler->lock);
    auto it = handler->declarations.find(declaration_id);
    if (it == handler->declarations.end()) {
        g_set_error(error, vk_event_quark(), 9, "event %u was never declared", declaration_id);
        return FALSE;
    }
    std::string line = "{\"type\":\"event\",\"app\":" + json_quoted(handler->app) +
                       ",\"id\":" + std::to_string(declaration_id) +
                       ",\"time\":" + std::to_string(clock_now()) +
                       ",\"topics\":" + render_items(it->second, false) +
                       ",\"data\":" + render_items(event->items, true) + "}";
    return append_line(line, error);
}
