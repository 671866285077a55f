// Multi-face tracker: predicts every track to the frame time, matches the frame's measurements
// to tracks by a globally optimal assignment on Gaussian likelihoods inside a chi-square gate
// (confirmed tracks first, then tentative ones), confirms tracks seen often enough, starts
// tentative tracks from the measurements nobody took, and hands back the tracks it has lost.
// Measurements, units and box conventions: see track.h.
//
// Call contract: tracker_step once per processed frame, in frame order, also when the frame
// has no measurements, because prediction without measurements is what ends tracks.
//
// Threads: tracker_new, tracker_step, tracker_free_tracks and tracker_free run on the main loop
// thread. Other threads (HTTP replies, the event thread, the recorder's endpoints) may read the
// live tracks only while holding the tracker's lock for their whole walk over `tracks`; the
// step and tracker_free_tracks take that lock themselves. The main thread reads without it and
// must not hold it while calling the step (the lock is not recursive).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "track/assignment.h"
#include "track/track.h"

inline constexpr int TRACKER_MAX_TRACKS = 100;
inline constexpr int TRACKER_LIMIT_HIT = -1;  // tracker_step: the track limit stopped new tracks
// The loss volume is this factor times r_xy^2 * r_z: a track whose three innovation variances
// multiply to more than that has gone unseen too long.
inline constexpr double TRACKER_LOSS_VOLUME_FACTOR = 216.0;

// Every tuning constant of a tracker, by name.
struct TrackerConfig {
    double x_low, x_high;  // image area (pixels); only the middles are used, for closeness
    double y_low, y_high;
    TrackNoise noise;
    TrackConfirmRule confirm;
    double loss_volume;  // gate volume above which a track is lost
};

// The configuration tracker_new builds: the given ranges and noise, TRACK_CONFIRM_DEFAULT, and a
// loss volume of TRACKER_LOSS_VOLUME_FACTOR * r_xy^2 * r_z.
TrackerConfig tracker_config(double x_low, double x_high, double y_low, double y_high, double q_xy,
                             double r_xy, double p11_xy, double q_z, double r_z);

struct Tracker {
    int32_t last_id;                    // highest id given so far; never reset
    int32_t track_count;                // the first track_count entries of `tracks` are live
    Track *tracks[TRACKER_MAX_TRACKS];  // creation order, lost tracks squeezed out
    TrackerConfig config;
    int32_t limit_hits;  // steps that hit the track limit

    // Internal state; not for readers.
    std::mutex lock;
    bool clock_went_back;  // the previous step saw a frame time before a prediction time
    // Tracks lost in a step that hit the track limit, handed over by the next step that does
    // not, so a finished visit is never dropped.
    int32_t pending_count;
    Track *pending[TRACKER_MAX_TRACKS];
    Assignment assignment;
    std::vector<int> confirmed, tentative, unassigned, seeds, matched;
    std::vector<unsigned char> taken;
};

// A tracker with no tracks. With the start-up values: x 1..1920, y 1..1080, q_xy 12692.0,
// r_xy 75.0, p11_xy 6000.0, q_z 40.0, r_z 10.0. Returns null when out of memory.
Tracker *tracker_new(double x_low, double x_high, double y_low, double y_high, double q_xy,
                     double r_xy, double p11_xy, double q_z, double r_z);
Tracker *tracker_new_config(const TrackerConfig *config);

// One frame. `measurements[0..m)` point at the frame's faces (not kept after the call); `t` is
// the frame's capture time. Lost tracks are written to `lost`, which must hold
// TRACKER_MAX_TRACKS pointers; their ownership passes to the caller, who releases each with
// track_free. Returns the number of lost tracks, or TRACKER_LIMIT_HIT when the new tracks
// would exceed TRACKER_MAX_TRACKS: then no track is created in this frame (the message
// "Too many tracks. Maximum is 100" goes to standard error), nothing is handed over, and the
// tracks lost in this frame are handed over by the next step instead. A frame time that is not
// finite leaves the tracker untouched (logged, returns 0).
int tracker_step(Tracker *tracker, const Measurement *const *measurements, int m, Track **lost,
                 double t);

// The earliest time at which a track not yet handed over was last measured: every track still
// to be handed back ends at this time or later. +infinity when there is none. Main thread.
double tracker_earliest_open_end(const Tracker *tracker);

// Releases every live track (and any lost track not yet handed over). Takes the lock.
void tracker_free_tracks(Tracker *tracker);

// tracker_free_tracks, then the tracker itself (null is allowed).
void tracker_free(Tracker *tracker);

// The readers' lock. Hold it for a whole walk over `track_count`, `tracks` and track fields.
void tracker_lock(Tracker *tracker);
void tracker_unlock(Tracker *tracker);
// Takes the lock only if it is free (the live endpoints answer "BUSY" otherwise).
bool tracker_try_lock(Tracker *tracker);

// RAII forms: `auto guard = tracker_guard(t);` or
// `auto guard = tracker_try_guard(t); if (!guard.owns_lock()) ... busy`.
inline std::unique_lock<std::mutex> tracker_guard(Tracker *tracker) {
    return std::unique_lock<std::mutex>(tracker->lock);
}
inline std::unique_lock<std::mutex> tracker_try_guard(Tracker *tracker) {
    return std::unique_lock<std::mutex>(tracker->lock, std::try_to_lock);
}
