// Host stand-in for the camera's event service. Declarations and sent events are appended as
// JSON lines to var/log/events.jsonl under the root, where a real consumer (an MQTT bridge, a
// test) can follow them. Every call is thread-safe.
#pragma once

#include <glib.h>

#include <cstdint>

enum VkEventValueType {
    VK_EVENT_VALUE_INT = 1,
    VK_EVENT_VALUE_DOUBLE = 2,
    VK_EVENT_VALUE_STRING = 3,
    VK_EVENT_VALUE_BOOL = 4,
};

struct VkEventHandler;
struct VkEventKeyValueSet;
struct VkEvent;

// Where the lines go: mevo_path("/var/log/events.jsonl").
const char *vk_event_log_path(void);

VkEventHandler *vk_event_handler_new(const char *app_name, GError **error);
void vk_event_handler_free(VkEventHandler *handler);

VkEventKeyValueSet *vk_event_key_value_set_new(void);
void vk_event_key_value_set_free(VkEventKeyValueSet *set);
// `name_space` may be null. `value` points at an int32, double, NUL-terminated text or
// int32 boolean according to `type`.
gboolean vk_event_key_value_set_add(VkEventKeyValueSet *set, const char *key,
                                    const char *name_space, const void *value,
                                    VkEventValueType type, GError **error);
// Marks `key` as data (changes with every event) rather than as a source or topic.
gboolean vk_event_key_value_set_mark_as_data(VkEventKeyValueSet *set, const char *key,
                                             const char *name_space, GError **error);

// Declares an event of the set's topics; stores its id. The set is copied.
gboolean vk_event_handler_declare(VkEventHandler *handler, VkEventKeyValueSet *set,
                                  gboolean stateless, guint *declaration_id, GError **error);

// An event instance carrying the data keys of `set` (copied).
VkEvent *vk_event_new(VkEventKeyValueSet *set, GError **error);
void vk_event_free(VkEvent *event);

gboolean vk_event_handler_send_event(VkEventHandler *handler, guint declaration_id, VkEvent *event,
                                     GError **error);
