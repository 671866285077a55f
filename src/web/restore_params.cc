// The restore's calls into the parameter layer, kept apart so the dependency is in one file.
#include "params/param.h"
#include "web/web_internal.h"

int web_restore_secret_set(const char *name, const char *value) {
    return ov_param_secret_set(name, value);
}

int web_restore_secrets_load(const char *path) {
    return ov_param_secrets_load(path);
}

int web_restore_secrets_save() {
    return ov_param_secrets_save();
}

// A marked parameter change makes the main loop restart the application.
void web_restore_request_restart() {
    ov_param_mark_changed();
}
