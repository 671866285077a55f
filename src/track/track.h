// One followed face: three Kalman filters (centre x, centre y, log width z) plus the counters and
// attribute sums the counting needs when the track ends.
//
// Units and coordinates: x and y are the centre of the face box in pixels of the frame given to
// the detector, computed from the inclusive corner rectangle as (left + right) / 2 and
// (top + bottom) / 2; z is ln(right - left), the natural log of the width without the +1 of the
// inclusive rectangle. Times are seconds since the Unix epoch (double, microsecond resolution);
// velocities are per second.
//
// Ownership: track_new allocates, track_free releases. While a track is live it belongs to its
// tracker; once the tracker hands it back as lost it belongs to the caller.
// Threads: no locking here; see tracker.h for who may read a live track.
#pragma once

#include <cstdint>

#include "track/kalman_1d.h"

// One face of a frame, as handed to the tracker: nine doubles in this order.
struct Measurement {
    double x;   // box centre, pixels
    double y;   // box centre, pixels
    double z;   // ln(width in pixels)
    double vx;  // initial velocities of a track started from this measurement
    double vy;  //   (pixels per second, ln-units per second); the pipeline uses 0
    double vz;
    double gender_flag;  // +1 man, -1 woman, 0 undecided
    double age_value;    // years, 0..100
    double attr_weight;  // weight of this face in the attribute sums (1.0)
};
static_assert(sizeof(Measurement) == 9 * sizeof(double), "nine packed doubles");

// Noise model of a new track's filters.
struct TrackNoise {
    double q_xy;    // process-noise intensity of x and y (pixels^2 / s^3)
    double r_xy;    // measurement-noise variance of x and y (pixels^2)
    double p11_xy;  // initial velocity variance of x and y ((pixels / s)^2)
    double q_z;     // process-noise intensity of z; also the initial position variance of z
    double r_z;     // measurement-noise variance of z; also the initial velocity variance of z
};

// When a tentative track counts as a real face: enough observations for its age, and a
// position estimate that has moved away from where it started.
struct TrackConfirmRule {
    int32_t obs_1;       // more than obs_1 observations and
    double ratio_1;      //   more than trunc(0.5 + predictions * ratio_1), or
    int32_t obs_2;       // more than obs_2 observations and
    double ratio_2;      //   more than trunc(0.5 + predictions * ratio_2);
    double min_travel2;  // and squared travel from the first measurement above this (pixels^2)
};

inline constexpr TrackConfirmRule TRACK_CONFIRM_DEFAULT = {5, 0.5, 15, 0.25, 0.0};

// 0.9999 quantile of chi-square with 3 degrees of freedom: a measurement whose normalised
// squared distance is at most this lies inside the validation gate.
inline constexpr double TRACK_GATE_CHI2 = 21.1075134662;

struct Track {
    kalman_1d fx, fy, fz;
    int32_t observations;         // measurements assigned after creation
    int32_t predictions;          // prediction steps, including those clamped to dt = 0
    double closest_x, closest_y;  // smallest |estimate - image centre| seen (start +infinity)
    int32_t closest_x_at, closest_y_at;  // `predictions` when each minimum was reached
    double time_predicted;               // time of the last prediction (creation time at first)
    double time_start;                   // creation time
    double time_end;  // time of the last assigned measurement (creation time at first)
    double first_x, first_y, first_z;  // the creating measurement
    int32_t id;                        // 0 while tentative, 1, 2, 3 ... once confirmed
    double last_x, last_y, last_z;     // the newest measurement (the creating one at first)
    double gender_last, age_last;      // of the newest assigned measurement (0 before)
    // Sums over the assigned measurements; the creating measurement is not included, so a
    // track's averages come only from faces that were matched to it.
    double weight_sum, gender_sum, age_sum;
    double boxsize_sum;  // sum of face widths e^z, pixels
};

// A tentative track started at time `t` from `m`. Returns null when out of memory.
Track *track_new(const Measurement *m, double t, const TrackNoise *noise);

// Predicts the three filters to time `t` and counts the step. A `t` earlier than
// `time_predicted` (the wall clock stepped back) is not predicted backwards: dt is taken as 0,
// `time_predicted` becomes `t`, and the function returns 1 so the caller can report it;
// otherwise it returns 0.
int track_predict(Track *track, double t);

// Normalised squared distance between `m` and the prediction, summed over x, y and z.
double track_gate_distance2(const Track *track, const Measurement *m);

// True when track_gate_distance2 <= TRACK_GATE_CHI2 (the boundary is inside).
bool track_in_gate(const Track *track, const Measurement *m);

// Product of the three normal densities of `m` around the prediction.
double track_likelihood(const Track *track, const Measurement *m);

// Assigns `m`, taken at time `t`, to the track.
void track_update(Track *track, const Measurement *m, double t);

// Product of the three innovation variances; grows while the track goes unseen.
double track_gate_volume(const Track *track);

// Confirmation test, meant for a tentative track right after an update.
bool track_is_confirmed(const Track *track, const TrackConfirmRule *rule);

// Estimated centre (pixels).
inline double track_x(const Track *track) {
    return track->fx.pos;
}
inline double track_y(const Track *track) {
    return track->fy.pos;
}

// Releases the track (null is allowed).
void track_free(Track *track);
