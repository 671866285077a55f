// Shared helpers for the tracker suites: a tracker with the start-up constants and a step
// wrapper that keeps the lost tracks until the test ends.
#pragma once

#include <cmath>
#include <memory>
#include <vector>

#include "track/tracker.h"

inline constexpr double X_LOW = 1.0, X_HIGH = 1920.0, Y_LOW = 1.0, Y_HIGH = 1080.0;
inline constexpr double Q_XY = 12692.0, R_XY = 75.0, P11_XY = 6000.0, Q_Z = 40.0, R_Z = 10.0;

inline Measurement face(double x, double y, double width, double gender = 1.0, double age = 30.0) {
    return Measurement{x, y, std::log(width), 0.0, 0.0, 0.0, gender, age, 1.0};
}

struct TrackDeleter {
    void operator()(Track *t) const { track_free(t); }
};
using TrackPtr = std::unique_ptr<Track, TrackDeleter>;

struct TrackerDeleter {
    void operator()(Tracker *t) const { tracker_free(t); }
};
using TrackerPtr = std::unique_ptr<Tracker, TrackerDeleter>;

inline TrackerPtr startup_tracker() {
    return TrackerPtr(tracker_new(X_LOW, X_HIGH, Y_LOW, Y_HIGH, Q_XY, R_XY, P11_XY, Q_Z, R_Z));
}

// Steps `tracker` with `faces` at time `t`; the lost tracks of this step are appended to
// `lost` (owned there). Returns tracker_step's result.
inline int step(Tracker *tracker, const std::vector<Measurement> &faces, double t,
                std::vector<TrackPtr> *lost) {
    std::vector<const Measurement *> pointers;
    for (const Measurement &m : faces) pointers.push_back(&m);
    Track *out[TRACKER_MAX_TRACKS];
    const int n = tracker_step(tracker, pointers.data(), static_cast<int>(pointers.size()), out, t);
    for (int i = 0; i < n; ++i) lost->emplace_back(out[i]);
    return n;
}
