#include "app/capture_mode_check.h"

#include <cstdio>

#include "common/log.h"
#include "params/param.h"

namespace {
constexpr int kDefaultWidth = 1920;
constexpr int kDefaultHeight = 1080;
constexpr int kKeySize = 64;
capture_param_reader_fn g_reader = nullptr;

const char *param_get(const char *name) {
    return g_reader ? g_reader(name) : ov_param_get(name);
}
}  // namespace

void capture_mode_set_param_reader(capture_param_reader_fn reader) {
    g_reader = reader;
}

int read_resolution_checked(int *width, int *height) {
    *width = kDefaultWidth;
    *height = kDefaultHeight;
    char key[kKeySize];
    std::snprintf(key, sizeof key, "root.Image.I%d.Appearance.Resolution", 0);
    const char *value = param_get(key);
    int w = 0, h = 0;
    if (value && std::sscanf(value, "%dx%d", &w, &h) == 2) {
        *width = w;
        *height = h;
        return 1;
    }
    log_message("capture_mode_check", "failed to read resolution, trying 1920x1080\n");
    return 0;
}

int read_resolution(int *width, int *height) {
    read_resolution_checked(width, height);
    return 0;
}
