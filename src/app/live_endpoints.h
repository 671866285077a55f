// Live result endpoints (log tag "mevo"; the preview "anon"): the faces of the latest frame,
// the tracker's tracks, the ended tracks, the frame rate, the digital zoom and a coarse text
// preview of the camera image.
//
// Handlers run on the HTTP thread, one request at a time; each buffer family has one static
// reply buffer. Rectangles are camera pixels scaled to the live view (Liveview.Width /
// Camera.Width, Liveview.Height / Camera.Height, read per request). A reply that would exceed
// its buffer is cut after the last complete item and still closes its array and object.
#pragma once

#include <gio/gio.h>
#include <glib.h>

#include <cstddef>
#include <cstdint>

#include "image/image.h"

struct Tracker;
struct track_buffer;

inline constexpr size_t LIVE_VIZ_REPLY_SIZE = 15000;
inline constexpr size_t LIVE_GENDER_REPLY_SIZE = 400;
inline constexpr size_t LIVE_FPS_REPLY_SIZE = 512;
inline constexpr size_t LIVE_ZOOM_REPLY_SIZE = 100;
inline constexpr size_t LOWRES_REPLY_SIZE = 500000;
inline constexpr int LOWRES_LATEST = 1338;
inline constexpr double TRACKS_WINDOW_DEFAULT_S = 900.0;

// User data of "tracks-live-and-ended.json".
struct LiveTrackSources {
    track_buffer *tracks;
    Tracker *tracker;
};

// Buffer handlers. fps: user data is a std::atomic<float>; gender-live: a GenderLive; viz: the
// tracker.
const char *fps_json_handler(void *user_data, const char *args, int *length);
const char *gender_live_json_handler(void *user_data, const char *args, int *length);
const char *viz_json_handler(void *user_data, const char *args, int *length);
const char *init_zoom_json_handler(void *user_data, const char *args, int *length);
const char *update_zoom_json_handler(void *user_data, const char *args, int *length);
const char *lowres_json_handler(void *user_data, const char *args, int *length);
const char *ping_handler(void *user_data, const char *args, int *length);

// Stream handlers: tracks-live (user data: tracker), tracks-ended (track buffer),
// tracks-live-and-ended (LiveTrackSources).
void tracks_live_json_handler(GDataOutputStream *out, void *user_data, GHashTable *params);
void tracks_ended_json_handler(GDataOutputStream *out, void *user_data, GHashTable *params);
void tracks_live_and_ended_json_handler(GDataOutputStream *out, void *user_data,
                                        GHashTable *params);

// The "time" query value as a window length in seconds: a number, else 900 (the malformed
// value is logged with `endpoint`). Null gives 900 without a log line.
double tracks_window_seconds(const char *value, const char *endpoint);

// The preview of one frame (main thread): W x H grey pixels with rows of `stride` bytes,
// read backwards when the camera is mounted rotated. Stored under a small lock.
void lowres_update(const uint8_t *pixels, int width, int height, int stride, bool rotated);
// Whether the camera image is mounted rotated by 180 degrees (computed once, then cached).
bool lowres_camera_rotated(void);
// Tests: forget the preview and the cached orientation.
void lowres_reset_for_tests(void);
