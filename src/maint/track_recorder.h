// Ground-truth recorder: with Debug.Truth set and an SD card present, keeps face pictures of
// the most recent tracks in five rotating slots under /tmp/tmp_tracks, copies a slot to the SD
// card on request and stores the true gender and age entered for it, so the classifier can be
// checked against what people saw.
//
// Threads: start, record and stop on the main loop thread (the record step reads the tracker
// right after its own step, without the readers' lock); the three endpoints on the HTTP
// thread. One mutex serialises the record step with the endpoints' slot work.
#pragma once

#include <cstdint>

#include "image/image.h"
#include "track/tracker.h"

inline constexpr int RECORDER_SLOTS = 5;
inline constexpr const char *RECORDER_TMP_ROOT = "/tmp/tmp_tracks/";
inline constexpr const char *RECORDER_PERMANENT_ROOT = "/var/spool/storage/SD_DISK/faces/";
inline constexpr const char *RECORDER_SD_PROBE = "/var/spool/storage/SD_DISK/klasdjklasdljasldkla";
inline constexpr int RECORDER_MAX_PICTURES = 20;
inline constexpr int RECORDER_MIN_ID = 100000;  // permanent ids are at least this large

// The snapshot written as track_N.struct (host byte order, read back only by the recorder).
#pragma pack(push, 1)
struct RecordedTrack {
    int32_t version;  // RECORDED_TRACK_VERSION
    int32_t id;
    double weight_sum, gender_sum, age_sum;
    double last_x, last_y, last_z;
    double gender_last, age_last;
    double time_start, time_end;
};
#pragma pack(pop)
inline constexpr int32_t RECORDED_TRACK_VERSION = 1;

// Decides activation (once), and when active prepares the folders, the web links and the
// endpoints. Returns 1 when recording, 0 when not.
int track_recorder_start(Tracker *tracker);
// After each tracker step: pictures of the tracks updated at frame time `t`.
void track_recorder_record(const Image *frame, double t);
void track_recorder_stop(void);
bool track_recorder_active(void);

const char *truth_all_tracks_handler(void *user_data, const char *args, int *length);
const char *truth_save_track_handler(void *user_data, const char *args, int *length);
const char *truth_update_track_handler(void *user_data, const char *args, int *length);

// Tests: forget the activation decision.
void track_recorder_reset_for_tests(void);
