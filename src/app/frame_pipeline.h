// The per-frame pipeline boundary: the frame loop hands every captured frame here while
// counting is enabled and the schedule allows it, and commits the tallies after every frame.
//
// Per frame: the face step (crop of the detection region, scan, grouping, width cut, jitter
// boxes, classification, averaging), faces to camera coordinates, measurements for the
// tracker, the tracker step, the ended tracks counted into per-band tallies and appended to
// the track buffer, and the classified faces published for "gender-live.json".
//
// Threads: everything here runs on the main thread, except the readers of GenderLive (the HTTP
// thread, under its lock; the pipeline only try-locks it so the loop never waits).
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ctime>
#include <mutex>

#include "classify/classifier.h"
#include "detect/detection.h"
#include "image/image.h"
#include "track/track.h"

struct MevoApp;
struct cntdata;
struct track_buffer;

inline constexpr int PIPELINE_MAX_MEASUREMENTS = 96;  // faces handed to the tracker per frame
inline constexpr int PIPELINE_MAX_ENDED = 100;        // tracks one tracker step may end
inline constexpr int GENDER_LIVE_MAX = 200;           // faces published per frame
inline constexpr int AGE_BANDS = 8;
inline constexpr int COUNT_TYPE_MEN_TOTAL = 0;
inline constexpr int COUNT_TYPE_WOMEN_TOTAL = 1;
inline constexpr int COUNT_TYPE_MEN_BAND0 = 2;
inline constexpr int COUNT_TYPE_WOMEN_BAND0 = 10;

struct AppFrame {
    const Image *image;   // the captured frame, 8-bit grey, W x H; valid for this frame only
    struct timeval time;  // grab time (source time in offline clock mode)
    int32_t number;       // frame number, from 1
};

// The classified faces of the most recent processed frame, in camera pixels; gender is the
// mean gender score (-100 .. 100), age the mean age without the configured offsets.
struct GenderLive {
    std::mutex lock;
    Detection faces[GENDER_LIVE_MAX];
    int count = 0;
};

// People counted per age band since start, and the part already in the count store.
struct Tallies {
    int32_t men[AGE_BANDS] = {};
    int32_t women[AGE_BANDS] = {};
    int32_t committed[2 * AGE_BANDS] = {};  // men bands first, then women
};

struct PipelineState {
    Detection *detections = nullptr;  // DETECTION_CAPACITY records
    Measurement measurements[PIPELINE_MAX_MEASUREMENTS] = {};
    const Measurement *measurement_ptrs[PIPELINE_MAX_MEASUREMENTS] = {};
    Track *ended[PIPELINE_MAX_ENDED] = {};
    Tallies tallies;
    GenderLive gender_live;
};

// Allocates the detection array. Returns 0, or -1 when out of memory (logged).
int pipeline_state_init(PipelineState *state);
void pipeline_state_free(PipelineState *state);

// Age band of an age in years: <= 14 -> 0, <= 24 -> 1, ... <= 74 -> 6, else 7.
int age_band(int age);

// Detection, classification, tracking and ended-track handling for one frame. Returns the
// number of faces found (>= 0), or -1 when the frame could not be scanned.
int frame_pipeline_run(MevoApp *app, const AppFrame *frame);

// A frame while the schedule keeps counting off: nothing is detected, but the tracker is
// stepped without faces, so the tracks of people who were in view end in the off time and go
// through the ended-track handling as usual (commit_tallies then never counts them). Left
// standing until counting resumes, they would end then and be counted, or take over a new
// person's face after the gap. Returns the number of tracks that ended.
int frame_pipeline_idle(MevoApp *app, const AppFrame *frame);

// Fills measurements from `count` faces in camera coordinates: only faces with hits above
// `cluster_score`, at most `capacity`. Returns how many were written.
int faces_to_measurements(const Detection *faces, int count, int32_t cluster_score,
                          const ClassifierAgeOffsets &offsets, Measurement *out, int capacity);

// One ended track: counted into the tallies and appended to `tracks` (may be null) when it was
// confirmed and has attributes, then released. Returns true when it was counted.
bool ended_track_handle(Track *track, Tallies *tallies, track_buffer *tracks);

// Copies the faces whose face_score is above `threshold` (at most GENDER_LIVE_MAX) into
// `live` when its lock is free. Returns false when it was busy (nothing published).
bool gender_live_publish(GenderLive *live, const Detection *faces, int count, int32_t threshold);

// Moves new tallies into the count store at time `now`. While the schedule disables counting
// the new tallies are marked committed without counting. Returns the number of people counted,
// or -1 when a tally went backwards (nothing counted then). `counts` may be null (nothing is
// stored but the committed part still follows).
int tallies_commit(Tallies *tallies, cntdata *counts, bool schedule_on, time_t now);

// The loop's commit: tallies_commit at the current time; a tally that went backwards is memory
// corruption, so the camera is rebooted. Returns the number of people counted.
int commit_tallies(MevoApp *app);
