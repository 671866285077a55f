#include "track/tracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/log.h"
#include "tracker_fixture.h"

namespace {

constexpr double T0 = 1.7e9;  // a realistic epoch time, so precision issues would show

int count_occurrences(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

TEST(Tracker, NewTrackerHasTheStartupConstants) {
    TrackerPtr tr = startup_tracker();
    ASSERT_TRUE(tr);
    EXPECT_EQ(tr->track_count, 0);
    EXPECT_EQ(tr->last_id, 0);
    EXPECT_DOUBLE_EQ(tr->config.loss_volume, 12150000.0);
    EXPECT_EQ(tr->config.confirm.obs_1, 5);
    EXPECT_EQ(tr->config.confirm.obs_2, 15);
    EXPECT_EQ(tr->config.confirm.min_travel2, 0.0);
}

// Frames without a measurement until a track is lost, after `updates` frames with one.
TEST(Tracker, UnseenTracksAreLostAfterAFewFrames) {
    struct Case {
        double dt;
        int updates;
        int lost_on_frame;
    } cases[] = {{0.1, 0, 3}, {0.5, 0, 1}, {0.1, 20, 9}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "dt " << c.dt << " updates " << c.updates);
        TrackerPtr tr = startup_tracker();
        std::vector<TrackPtr> lost;
        double t = T0;
        Measurement m = face(500.0, 400.0, 80.0);
        ASSERT_EQ(step(tr.get(), {m}, t, &lost), 0);
        for (int i = 0; i < c.updates; ++i) {
            t += c.dt;
            m.x += 3.0;
            ASSERT_EQ(step(tr.get(), {m}, t, &lost), 0);
        }
        ASSERT_EQ(tr->track_count, 1);
        EXPECT_EQ(tr->tracks[0]->observations, c.updates);
        int frame = 0;
        while (lost.empty() && frame < 50) {
            t += c.dt;
            ++frame;
            step(tr.get(), {}, t, &lost);
        }
        EXPECT_EQ(frame, c.lost_on_frame);
        ASSERT_EQ(lost.size(), 1u);
        EXPECT_EQ(tr->track_count, 0);
        EXPECT_EQ(lost[0]->predictions, c.updates + c.lost_on_frame);
        EXPECT_EQ(lost[0]->id, c.updates >= 6 ? 1 : 0);
    }
}

TEST(Tracker, MovingFaceIsConfirmedAtItsSixthUpdate) {
    TrackerPtr tr = startup_tracker();
    std::vector<TrackPtr> lost;
    Measurement m = face(400.0, 300.0, 90.0, -1.0, 52.0);
    double t = T0;
    step(tr.get(), {m}, t, &lost);
    for (int update = 1; update <= 6; ++update) {
        t += 0.1;
        m.x += 8.0;
        step(tr.get(), {m}, t, &lost);
        ASSERT_EQ(tr->track_count, 1);
        EXPECT_EQ(tr->tracks[0]->id, update == 6 ? 1 : 0) << "update " << update;
    }
    const Track *track = tr->tracks[0];
    EXPECT_EQ(track->observations, 6);
    EXPECT_DOUBLE_EQ(track->weight_sum, 6.0);  // the creating face is not in the sums
    EXPECT_DOUBLE_EQ(track->gender_sum, -6.0);
    EXPECT_DOUBLE_EQ(track->age_sum, 6 * 52.0);
    EXPECT_NEAR(track->boxsize_sum, 6 * 90.0, 1e-9);
    EXPECT_TRUE(lost.empty());
}

TEST(Tracker, StillFaceOnItsFirstPositionStaysTentative) {
    // The estimate never leaves the first measurement, so the travel test keeps it tentative.
    TrackerPtr tr = startup_tracker();
    std::vector<TrackPtr> lost;
    const Measurement m = face(400.0, 300.0, 90.0);
    for (int i = 0; i < 30; ++i) step(tr.get(), {m}, T0 + 0.1 * i, &lost);
    ASSERT_EQ(tr->track_count, 1);
    EXPECT_EQ(tr->tracks[0]->id, 0);
    EXPECT_EQ(tr->last_id, 0);
}

// Builds a tracker holding one tentative and one confirmed track, the tentative one first
// in the list, both created at T0.
struct TwoTracks {
    TrackerPtr tr = startup_tracker();
    Track *tentative;
    Track *confirmed;
    TwoTracks(double tentative_x, double confirmed_x) {
        const TrackNoise noise = tr->config.noise;
        const Measurement a = face(tentative_x, 300.0, 80.0);
        const Measurement b = face(confirmed_x, 300.0, 80.0);
        tentative = track_new(&a, T0, &noise);
        confirmed = track_new(&b, T0, &noise);
        confirmed->id = tr->last_id = 7;
        tr->tracks[0] = tentative;
        tr->tracks[1] = confirmed;
        tr->track_count = 2;
    }
};

TEST(Tracker, ConfirmedTrackHasPriorityOverTentativeOne) {
    // The measurement sits on the tentative track and 12 px from the confirmed one; both gate
    // it, and the confirmed track takes it.
    TwoTracks s(500.0, 512.0);
    std::vector<TrackPtr> lost;
    step(s.tr.get(), {face(500.0, 300.0, 80.0)}, T0 + 0.1, &lost);
    EXPECT_EQ(s.confirmed->observations, 1);
    EXPECT_EQ(s.tentative->observations, 0);
    EXPECT_EQ(s.tr->track_count, 2);  // taken, so no new track
}

TEST(Tracker, BetterMeasurementGoesToConfirmedTrackOtherToTentative) {
    TwoTracks s(530.0, 500.0);
    std::vector<TrackPtr> lost;
    // Listed in the worse order on purpose.
    step(s.tr.get(), {face(526.0, 300.0, 80.0), face(503.0, 300.0, 80.0)}, T0 + 0.1, &lost);
    EXPECT_EQ(s.confirmed->observations, 1);
    EXPECT_DOUBLE_EQ(s.confirmed->last_x, 503.0);
    EXPECT_EQ(s.tentative->observations, 1);
    EXPECT_DOUBLE_EQ(s.tentative->last_x, 526.0);
    EXPECT_EQ(s.tr->track_count, 2);
}

TEST(Tracker, MeasurementNoTrackTakesStartsATrack) {
    TwoTracks s(200.0, 500.0);
    std::vector<TrackPtr> lost;
    step(s.tr.get(), {face(503.0, 300.0, 80.0), face(1500.0, 900.0, 60.0)}, T0 + 0.1, &lost);
    ASSERT_EQ(s.tr->track_count, 3);
    const Track *fresh = s.tr->tracks[2];
    EXPECT_DOUBLE_EQ(fresh->first_x, 1500.0);
    EXPECT_DOUBLE_EQ(fresh->time_start, T0 + 0.1);
    EXPECT_EQ(fresh->predictions, 0);
    EXPECT_EQ(s.tentative->predictions, 1);  // predicted although nothing matched it
}

TEST(Tracker, IdsGoToConfirmedTracksInOrderOfConfirmation) {
    TrackerPtr tr = startup_tracker();
    std::vector<TrackPtr> lost;
    double t = T0;
    // A one-frame false face: tentative, lost, consumes no id.
    step(tr.get(), {face(1500.0, 200.0, 50.0)}, t, &lost);
    // Person B appears one frame before person A, so B is confirmed first.
    Measurement a = face(300.0, 500.0, 100.0), b = face(1000.0, 500.0, 100.0);
    for (int frame = 1; frame <= 12; ++frame) {
        t += 0.1;
        a.x += 5.0;
        b.x -= 5.0;
        std::vector<Measurement> faces = {b};
        if (frame >= 2) faces.insert(faces.begin(), a);
        step(tr.get(), faces, t, &lost);
    }
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0]->id, 0);
    ASSERT_EQ(tr->track_count, 2);
    EXPECT_EQ(tr->last_id, 2);
    // List order is creation order; ids follow confirmation.
    EXPECT_NEAR(tr->tracks[0]->first_x, 995.0, 1e-9);
    EXPECT_EQ(tr->tracks[0]->id, 1);
    EXPECT_EQ(tr->tracks[1]->id, 2);
}

TEST(Tracker, ClosenessRecordsNearestApproachToImageCentre) {
    TrackerPtr tr = startup_tracker();
    std::vector<TrackPtr> lost;
    Measurement m = face(900.0, 540.5, 80.0);
    double t = T0;
    step(tr.get(), {m}, t, &lost);
    for (int i = 0; i < 30; ++i) {
        t += 0.1;
        m.x += 10.0;  // crosses the centre 960.5 near the sixth step
        step(tr.get(), {m}, t, &lost);
    }
    const Track *track = tr->tracks[0];
    EXPECT_LT(track->closest_x, 10.0);
    EXPECT_GE(track->closest_x_at, 5);
    EXPECT_LE(track->closest_x_at, 8);
    EXPECT_LT(track->closest_y, 1.0);
}

TEST(Tracker, FrameTimeGoingBackIsNotPredictedBackwardsAndLoggedOncePerRun) {
    log_set_stderr(true);
    TrackerPtr tr = startup_tracker();
    std::vector<TrackPtr> lost;
    Measurement m = face(500.0, 400.0, 80.0);
    m.vx = 100.0;
    step(tr.get(), {m}, T0, &lost);
    testing::internal::CaptureStderr();
    step(tr.get(), {}, T0 - 5.0, &lost);  // clock stepped back: run starts
    step(tr.get(), {}, T0 - 6.0, &lost);  // same run
    const double x_after = track_x(tr->tracks[0]);
    step(tr.get(), {m}, T0 - 5.9, &lost);  // forward again from the new clock
    step(tr.get(), {m}, T0 - 7.0, &lost);  // a second run
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_occurrences(err, "not predicted backwards"), 2) << err;
    EXPECT_DOUBLE_EQ(x_after, 500.0);  // a negative dt would have moved it 500 px left
    ASSERT_EQ(tr->track_count, 1);
    EXPECT_EQ(tr->tracks[0]->predictions, 4);
    EXPECT_TRUE(lost.empty());
}

TEST(Tracker, FrameWithoutAFiniteTimeIsSkipped) {
    TrackerPtr tr = startup_tracker();
    std::vector<TrackPtr> lost;
    step(tr.get(), {face(500.0, 400.0, 80.0)}, T0, &lost);
    testing::internal::CaptureStderr();
    EXPECT_EQ(step(tr.get(), {face(900.0, 400.0, 80.0)}, std::nan(""), &lost), 0);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(tr->track_count, 1);
    EXPECT_EQ(tr->tracks[0]->predictions, 0);
    // The track still ends normally afterwards.
    for (int i = 1; i <= 3; ++i) step(tr.get(), {}, T0 + 0.1 * i, &lost);
    EXPECT_EQ(lost.size(), 1u);
}

// A 10 x 10 grid of faces far apart fills the tracker to its limit.
std::vector<Measurement> grid(int skip = -1) {
    std::vector<Measurement> faces;
    for (int i = 0; i < TRACKER_MAX_TRACKS; ++i) {
        if (i == skip) continue;
        faces.push_back(face(50.0 + 180.0 * (i % 10), 50.0 + 100.0 * (i / 10), 40.0));
    }
    return faces;
}

TEST(Tracker, TrackLimitStopsNewTracksAndKeepsTheLostOnesForTheNextFrame) {
    TrackerPtr tr = startup_tracker();
    std::vector<TrackPtr> lost;
    double t = T0;
    ASSERT_EQ(step(tr.get(), grid(), t, &lost), 0);
    ASSERT_EQ(tr->track_count, TRACKER_MAX_TRACKS);
    // Face 0 disappears; two newcomers arrive in the frame where its track is lost.
    for (int frame = 1; frame <= 2; ++frame) ASSERT_EQ(step(tr.get(), grid(0), t += 0.1, &lost), 0);
    std::vector<Measurement> crowded = grid(0);
    crowded.push_back(face(1900.0, 1070.0, 40.0));
    crowded.push_back(face(1900.0, 1000.0, 40.0));
    testing::internal::CaptureStderr();
    EXPECT_EQ(step(tr.get(), crowded, t += 0.1, &lost), TRACKER_LIMIT_HIT);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Too many tracks. Maximum is 100\n"),
              std::string::npos);
    EXPECT_EQ(tr->track_count, TRACKER_MAX_TRACKS - 1);
    EXPECT_EQ(tr->limit_hits, 1);
    EXPECT_TRUE(lost.empty());
    // The next ordinary frame hands the lost track over instead of it vanishing.
    EXPECT_EQ(step(tr.get(), grid(0), t += 0.1, &lost), 1);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_DOUBLE_EQ(lost[0]->first_x, 50.0);
    EXPECT_DOUBLE_EQ(lost[0]->first_y, 50.0);
}

TEST(Tracker, FreeTracksReleasesLiveAndPendingTracks) {
    // Leak checkers catch a track left behind, including one lost at the limit.
    TrackerPtr tr = startup_tracker();
    std::vector<TrackPtr> lost;
    double t = T0;
    step(tr.get(), grid(), t, &lost);
    for (int frame = 1; frame <= 2; ++frame) step(tr.get(), grid(0), t += 0.1, &lost);
    std::vector<Measurement> crowded = grid(0);
    crowded.push_back(face(1900.0, 1070.0, 40.0));
    crowded.push_back(face(1900.0, 1000.0, 40.0));
    testing::internal::CaptureStderr();
    ASSERT_EQ(step(tr.get(), crowded, t += 0.1, &lost), TRACKER_LIMIT_HIT);
    testing::internal::GetCapturedStderr();
    tracker_free_tracks(tr.get());
    EXPECT_EQ(tr->track_count, 0);
    // Still usable; nothing is handed over from before.
    EXPECT_EQ(step(tr.get(), {}, t += 0.1, &lost), 0);
    EXPECT_TRUE(lost.empty());
}

}  // namespace
