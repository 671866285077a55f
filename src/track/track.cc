#include "track/track.h"

#include <cmath>
#include <limits>
#include <new>

namespace {

constexpr double TWO_PI = 6.283185307179586;

double normal_density(double value, double estimate, double variance) {
    const double d = value - estimate;
    return std::exp(-d * d / (2.0 * variance)) / std::sqrt(TWO_PI * variance);
}

double squared_distance(const kalman_1d &f, double value) {
    const double d = f.pos - value;
    return d * d / kalman_1d_innovation_variance(&f);
}

}  // namespace

Track *track_new(const Measurement *m, double t, const TrackNoise *noise) {
    Track *track = new (std::nothrow) Track{};
    if (!track) return nullptr;
    track->fx = {noise->q_xy, noise->r_xy, m->x, noise->r_xy, m->vx, noise->p11_xy, 0.0};
    track->fy = {noise->q_xy, noise->r_xy, m->y, noise->r_xy, m->vy, noise->p11_xy, 0.0};
    // The size filter is seeded from its own noise constants: q_z as the position variance and
    // r_z as the velocity variance. The tuning of the loss volume depends on this start.
    track->fz = {noise->q_z, noise->r_z, m->z, noise->q_z, m->vz, noise->r_z, 0.0};
    track->closest_x = std::numeric_limits<double>::infinity();
    track->closest_y = std::numeric_limits<double>::infinity();
    track->time_predicted = t;
    track->time_start = t;
    track->time_end = t;
    track->first_x = track->last_x = m->x;
    track->first_y = track->last_y = m->y;
    track->first_z = track->last_z = m->z;
    return track;
}

int track_predict(Track *track, double t) {
    double dt = t - track->time_predicted;
    const int went_back = dt < 0.0 ? 1 : 0;
    if (went_back) dt = 0.0;
    kalman_1d_predict(&track->fx, dt);
    kalman_1d_predict(&track->fy, dt);
    kalman_1d_predict(&track->fz, dt);
    // Follow the new clock, so the next frame is predicted from here rather than stalling
    // until the old time is reached again.
    track->time_predicted = t;
    track->predictions += 1;
    return went_back;
}

double track_gate_distance2(const Track *track, const Measurement *m) {
    return squared_distance(track->fx, m->x) + squared_distance(track->fy, m->y) +
           squared_distance(track->fz, m->z);
}

bool track_in_gate(const Track *track, const Measurement *m) {
    return track_gate_distance2(track, m) <= TRACK_GATE_CHI2;
}

double track_likelihood(const Track *track, const Measurement *m) {
    return normal_density(m->x, track->fx.pos, kalman_1d_innovation_variance(&track->fx)) *
           normal_density(m->y, track->fy.pos, kalman_1d_innovation_variance(&track->fy)) *
           normal_density(m->z, track->fz.pos, kalman_1d_innovation_variance(&track->fz));
}

void track_update(Track *track, const Measurement *m, double t) {
    kalman_1d_update(&track->fx, m->x);
    kalman_1d_update(&track->fy, m->y);
    kalman_1d_update(&track->fz, m->z);
    track->observations += 1;
    track->last_x = m->x;
    track->last_y = m->y;
    track->last_z = m->z;
    track->boxsize_sum += std::exp(m->z);
    track->gender_last = m->gender_flag;
    track->time_end = t;
    track->age_last = m->age_value;
    track->gender_sum += m->gender_flag * m->attr_weight;
    track->weight_sum += m->attr_weight;
    track->age_sum += m->age_value * m->attr_weight;
}

double track_gate_volume(const Track *track) {
    return kalman_1d_innovation_variance(&track->fx) * kalman_1d_innovation_variance(&track->fy) *
           kalman_1d_innovation_variance(&track->fz);
}

bool track_is_confirmed(const Track *track, const TrackConfirmRule *rule) {
    const int32_t obs = track->observations;
    const bool seen_often =
        (obs > rule->obs_1 &&
         obs > static_cast<int32_t>(0.5 + track->predictions * rule->ratio_1)) ||
        (obs > rule->obs_2 && obs > static_cast<int32_t>(0.5 + track->predictions * rule->ratio_2));
    if (!seen_often) return false;
    const double dx = track->first_x - track->fx.pos;
    const double dy = track->first_y - track->fy.pos;
    return dx * dx + dy * dy > rule->min_travel2;
}

void track_free(Track *track) {
    delete track;
}
