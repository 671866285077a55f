// The restore's calls into the event rules and the main loop, kept apart so those
// dependencies are in one file.
#include "events/events.h"
#include "params/param.h"
#include "web/web_internal.h"

std::string web_restore_rules_verdict(const std::string &text) {
    return events_validate(text.data(), text.size());
}

// A marked parameter change makes the main loop restart the application.
void web_restore_request_restart() {
    ov_param_mark_changed();
}
