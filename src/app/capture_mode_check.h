// The camera's configured image resolution (log tag "capture_mode_check"). Main thread.
#pragma once

// Reads "root.Image.I0.Appearance.Resolution" ("WxH"). Sets *width x *height to it, or to
// 1920 x 1080 after logging "failed to read resolution, trying 1920x1080\n" when it is missing
// or malformed. Always returns 0.
int read_resolution(int *width, int *height);

// As read_resolution, but returns 1 when the parameter was read and 0 when the defaults were used.
int read_resolution_checked(int *width, int *height);

// Tests: read parameters through `reader` instead of the parameter layer (null restores it).
typedef const char *(*capture_param_reader_fn)(const char *name);
void capture_mode_set_param_reader(capture_param_reader_fn reader);
