#include "track/track.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "track/kalman_1d.h"
#include "tracker_fixture.h"

namespace {

const TrackNoise NOISE = {Q_XY, R_XY, P11_XY, Q_Z, R_Z};

TEST(Kalman1d, PredictAndUpdateFollowTheConstantVelocityModel) {
    kalman_1d f = {4.0, 1.0, 0.0, 2.0, 3.0, 5.0, 1.0};
    kalman_1d_predict(&f, 0.5);
    EXPECT_DOUBLE_EQ(f.pos, 1.5);
    EXPECT_DOUBLE_EQ(f.vel, 3.0);
    EXPECT_DOUBLE_EQ(f.p11, 6.0);     // 5 + 4 * 0.25
    EXPECT_DOUBLE_EQ(f.p01, 3.75);    // 1 + 0.5 * 5 + 4 * 0.125 / 2
    EXPECT_DOUBLE_EQ(f.p00, 4.3125);  // 2 + 0.25 * 5 + 2 * 0.5 * 1 + 4 * 0.0625 / 4
    EXPECT_DOUBLE_EQ(kalman_1d_innovation_variance(&f), 5.3125);

    kalman_1d_update(&f, 2.5);
    const double k0 = 4.3125 / 5.3125, k1 = 3.75 / 5.3125;
    EXPECT_DOUBLE_EQ(f.pos, 1.5 + k0);
    EXPECT_DOUBLE_EQ(f.vel, 3.0 + k1);
    EXPECT_DOUBLE_EQ(f.p11, 6.0 - 3.75 * k1);
    EXPECT_DOUBLE_EQ(f.p01, 3.75 - k0 * 3.75);
    EXPECT_DOUBLE_EQ(f.p00, 4.3125 - 4.3125 * k0);
}

TEST(Track, NewTrackTakesPositionButNoAttributesFromItsMeasurement) {
    Measurement m = face(300.0, 200.0, 64.0, 1.0, 41.0);
    m.vx = 12.0;
    TrackPtr t(track_new(&m, 50.0, &NOISE));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->id, 0);
    EXPECT_DOUBLE_EQ(track_x(t.get()), 300.0);
    EXPECT_DOUBLE_EQ(track_y(t.get()), 200.0);
    EXPECT_DOUBLE_EQ(t->fx.vel, 12.0);
    EXPECT_DOUBLE_EQ(t->fx.p00, R_XY);
    EXPECT_DOUBLE_EQ(t->fx.p11, P11_XY);
    EXPECT_DOUBLE_EQ(t->fz.p00, Q_Z);  // the size filter's unusual seeding
    EXPECT_DOUBLE_EQ(t->fz.p11, R_Z);
    EXPECT_EQ(t->observations, 0);
    EXPECT_EQ(t->weight_sum, 0.0);
    EXPECT_EQ(t->gender_sum, 0.0);
    EXPECT_EQ(t->age_sum, 0.0);
    EXPECT_EQ(t->boxsize_sum, 0.0);
    EXPECT_EQ(t->gender_last, 0.0);
    EXPECT_TRUE(std::isinf(t->closest_x));
    EXPECT_DOUBLE_EQ(t->time_start, 50.0);
    EXPECT_DOUBLE_EQ(t->time_end, 50.0);
    EXPECT_DOUBLE_EQ(t->time_predicted, 50.0);

    track_predict(t.get(), 50.1);
    const Measurement second = face(304.0, 201.0, 70.0, -1.0, 35.0);
    track_update(t.get(), &second, 50.1);
    EXPECT_EQ(t->observations, 1);
    EXPECT_DOUBLE_EQ(t->weight_sum, 1.0);
    EXPECT_DOUBLE_EQ(t->gender_sum, -1.0);
    EXPECT_DOUBLE_EQ(t->age_sum, 35.0);
    EXPECT_NEAR(t->boxsize_sum, 70.0, 1e-9);
    EXPECT_DOUBLE_EQ(t->last_x, 304.0);
    EXPECT_DOUBLE_EQ(t->first_x, 300.0);
    EXPECT_DOUBLE_EQ(t->time_end, 50.1);
    EXPECT_DOUBLE_EQ(t->gender_last, -1.0);
}

TEST(Track, GateBoundaryIsInside) {
    // Make the normalised distance exactly the gate value: x offset 4 and a variance picked
    // so that 16 / S rounds to the constant; y and z sit on the estimate.
    Measurement m = face(100.0, 100.0, 50.0);
    TrackPtr t(track_new(&m, 0.0, &NOISE));
    t->fx.r = 0.0;
    double s = 16.0 / TRACK_GATE_CHI2;
    for (int i = 0; i < 64 && 16.0 / s != TRACK_GATE_CHI2; ++i) {
        s = std::nextafter(s, 16.0 / s > TRACK_GATE_CHI2 ? 1e9 : 0.0);
    }
    t->fx.p00 = s;
    Measurement on_boundary = m;
    on_boundary.x = 104.0;
    ASSERT_EQ(track_gate_distance2(t.get(), &on_boundary), TRACK_GATE_CHI2);
    EXPECT_TRUE(track_in_gate(t.get(), &on_boundary));
    Measurement outside = on_boundary;
    outside.x = std::nextafter(104.0, 200.0);
    EXPECT_FALSE(track_in_gate(t.get(), &outside));
}

TEST(Track, LikelihoodIsTheProductOfThreeNormalDensities) {
    Measurement m = face(100.0, 100.0, 50.0);
    TrackPtr t(track_new(&m, 0.0, &NOISE));
    const double sx = R_XY + R_XY, sz = Q_Z + R_Z;
    const double peak =
        1.0 / std::sqrt(2 * M_PI * sx) / std::sqrt(2 * M_PI * sx) / std::sqrt(2 * M_PI * sz);
    EXPECT_NEAR(track_likelihood(t.get(), &m), peak, peak * 1e-12);
    Measurement off = m;
    off.x += std::sqrt(sx);  // one standard deviation: factor e^-0.5
    EXPECT_NEAR(track_likelihood(t.get(), &off), peak * std::exp(-0.5), peak * 1e-12);
    EXPECT_NEAR(track_gate_volume(t.get()), sx * sx * sz, 1e-6);
}

TEST(Track, ConfirmationRule) {
    struct Case {
        int observations, predictions;
        bool moved;
        bool confirmed;
    } cases[] = {
        {6, 6, true, true},     // 6 > 5 and 6 > trunc(0.5 + 3)
        {5, 5, true, false},    // not more than 5 observations
        {6, 10, true, true},    // 6 > trunc(5.5) = 5
        {6, 11, true, false},   // 6 > trunc(6.0) fails, 6 <= 15
        {16, 62, true, false},  // 16 > trunc(16.0) fails
        {16, 61, true, true},   // 16 > trunc(15.75) = 15 by the second clause
        {6, 6, false, false},   // estimate still on the first measurement
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.observations << "/" << c.predictions);
        Measurement m = face(100.0, 100.0, 50.0);
        TrackPtr t(track_new(&m, 0.0, &NOISE));
        t->observations = c.observations;
        t->predictions = c.predictions;
        if (c.moved) t->fx.pos += 0.001;
        EXPECT_EQ(track_is_confirmed(t.get(), &TRACK_CONFIRM_DEFAULT), c.confirmed);
    }
    TrackConfirmRule far = TRACK_CONFIRM_DEFAULT;
    far.min_travel2 = 25.0;
    Measurement m = face(100.0, 100.0, 50.0);
    TrackPtr t(track_new(&m, 0.0, &NOISE));
    t->observations = t->predictions = 6;
    t->fx.pos += 5.0;  // exactly 25: strict comparison keeps it tentative
    EXPECT_FALSE(track_is_confirmed(t.get(), &far));
    t->fx.pos += 0.01;
    EXPECT_TRUE(track_is_confirmed(t.get(), &far));
}

TEST(Track, PredictionBackwardsInTimeIsClampedToZero) {
    Measurement m = face(100.0, 100.0, 50.0);
    m.vx = 40.0;
    TrackPtr t(track_new(&m, 10.0, &NOISE));
    const kalman_1d before = t->fx;
    EXPECT_EQ(track_predict(t.get(), 9.5), 1);
    EXPECT_EQ(t->predictions, 1);
    EXPECT_DOUBLE_EQ(t->time_predicted, 9.5);
    EXPECT_DOUBLE_EQ(t->fx.pos, before.pos);
    EXPECT_DOUBLE_EQ(t->fx.p00, before.p00);
    EXPECT_EQ(track_predict(t.get(), 9.6), 0);
    EXPECT_NEAR(t->fx.pos, before.pos + 4.0, 1e-9);  // 0.1 s from the new time, not 0.4 s back
}

}  // namespace
