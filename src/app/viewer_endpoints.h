// Endpoints the web pages need beyond the camera's own API: a JPEG snapshot of the camera's
// picture (withheld in privacy mode) and the camera's clock, so pages show and ask for the
// camera's dates whatever zone the browser is in. Handlers run on the HTTP thread.
#pragma once

#include <ctime>
#include <string>

// "snapshot.jpg": the newest frame as JPEG at the live-view size (Liveview.Width x Height);
// an empty reply in privacy mode or when no frame can be had.
const char *snapshot_jpg_handler(void *user_data, const char *args, int *length);

// "camera-time.json": {"epoch", "date" (YYYYMMDD), "time" (HH:MM:SS), "weekday" (0 = Sunday),
// "zone" (abbreviation), "utc_offset" (seconds east of UTC), "user" (the caller's login), "role"
// (viewer, operator or admin)} of the camera's clock in the zone the counts are kept in.
const char *camera_time_json_handler(void *user_data, const char *args, int *length);
std::string camera_time_document(time_t now, const char *user, const char *role);

// Registers both (viewer level). Main thread, start-up.
void viewer_endpoints_register(void);
