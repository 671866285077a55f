// One-dimensional constant-velocity Kalman filter driven by white acceleration noise. The tracker
// runs three of them per track: horizontal centre x, vertical centre y (image pixels) and the
// size coordinate z = ln(face width in pixels). Time steps are in seconds.
//
// Plain data, no allocation, no locking: a filter belongs to the track that holds it.
#pragma once

struct kalman_1d {
    double q;    // process-noise intensity (variance of the acceleration per second)
    double r;    // measurement-noise variance
    double pos;  // position estimate
    double p00;  // position variance
    double vel;  // velocity estimate (units per second)
    double p11;  // velocity variance
    double p01;  // position-velocity covariance
};

// Moves the state `dt` seconds ahead. `dt` is expected to be >= 0 (the track clamps it).
void kalman_1d_predict(kalman_1d *f, double dt);

// Folds in one measured position `value`.
void kalman_1d_update(kalman_1d *f, double value);

// Variance of the difference between a measurement and the predicted position: p00 + r.
double kalman_1d_innovation_variance(const kalman_1d *f);
