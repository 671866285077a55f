// A simulated scene: people walk straight or curved paths through the image with measurement
// noise and missed detections; every person must end as exactly one lost confirmed track.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "track/tracker.h"
#include "tracker_fixture.h"

namespace {

struct Person {
    double enter, leave;  // seconds after the scene start
    bool curved;
    // Straight: start (x0, y0) and velocity (vx, vy) in px/s. Curved: centre (x0, y0), radius
    // vx, angular speed vy (rad/s), starting angle `phase`.
    double x0, y0, vx, vy, phase;
    double width_start, width_end;  // pixels
    double gender;                  // +1 / -1
    double age;
};

struct Position {
    double x, y, width;
};

Position where(const Person &p, double s) {
    const double u = s - p.enter;
    const double share = u / (p.leave - p.enter);
    const double width = p.width_start + (p.width_end - p.width_start) * share;
    if (!p.curved) return {p.x0 + p.vx * u, p.y0 + p.vy * u, width};
    const double angle = p.phase + p.vy * u;
    return {p.x0 + p.vx * std::cos(angle), p.y0 + p.vx * std::sin(angle), width};
}

// Lanes keep people apart; a lane is reused only after its previous walker has left.
const std::vector<Person> SCENE = {
    {0.5, 6.0, false, 100, 200, 250, 0, 0, 70, 90, 1, 34},
    {1.0, 7.5, false, 1800, 500, -220, 10, 0, 110, 80, -1, 22},
    {2.0, 9.0, true, 960, 1600, 900, 0.12, 4.3, 60, 100, 1, 58},  // arc across the upper middle
    {4.0, 10.0, false, 200, 950, 260, -5, 0, 120, 120, -1, 71},
    {8.0, 14.0, true, 300, 300, 250, 0.35, -1.4, 75, 75, -1, 12},  // quarter circle
    {11.0, 16.0, false, 1700, 250, -280, 20, 0, 90, 60, 1, 45},
    {12.0, 19.0, false, 100, 800, 240, -30, 0, 85, 95, 1, 29},
    {17.0, 22.0, true, 1400, 700, 300, -0.4, 0.5, 65, 85, -1, 39},
};

struct SceneResult {
    std::vector<TrackPtr> lost;
    int limit_hits = 0;
};

SceneResult run_scene(unsigned seed, double fps, double miss_share) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> pixel_noise(0.0, 4.0);
    std::normal_distribution<double> log_noise(0.0, 0.03);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    TrackerPtr tr = startup_tracker();
    SceneResult result;
    std::vector<int> missed_in_row(SCENE.size(), 0);
    const double start = 1.7e9;
    const int frames = static_cast<int>(26.0 * fps);
    for (int frame = 0; frame < frames; ++frame) {
        const double s = frame / fps;
        std::vector<Measurement> faces;
        for (size_t i = 0; i < SCENE.size(); ++i) {
            const Person &p = SCENE[i];
            if (s < p.enter || s > p.leave) continue;
            // Detector misses, never more than two frames in a row.
            if (missed_in_row[i] < 2 && unit(rng) < miss_share) {
                ++missed_in_row[i];
                continue;
            }
            missed_in_row[i] = 0;
            const Position pos = where(p, s);
            // Now and then the classifier gets the gender wrong or is undecided.
            const double g = unit(rng) < 0.15 ? (unit(rng) < 0.5 ? 0.0 : -p.gender) : p.gender;
            faces.push_back(Measurement{pos.x + pixel_noise(rng), pos.y + pixel_noise(rng),
                                        std::log(pos.width) + log_noise(rng), 0, 0, 0, g,
                                        p.age + pixel_noise(rng), 1.0});
        }
        if (step(tr.get(), faces, start + s, &result.lost) < 0) ++result.limit_hits;
    }
    EXPECT_EQ(tr->track_count, 0) << "every track ends once the scene is empty";
    for (TrackPtr &t : result.lost) t->time_end -= start, t->time_start -= start;
    return result;
}

// Index of the person whose path passes closest to the track's last measurement at its end.
int owner(const Track &t, double *distance) {
    int best = -1;
    *distance = 1e18;
    for (size_t i = 0; i < SCENE.size(); ++i) {
        const Person &p = SCENE[i];
        if (t.time_end < p.enter - 1e-6 || t.time_end > p.leave + 1e-6) continue;
        const Position pos = where(p, t.time_end);
        const double d = std::hypot(pos.x - t.last_x, pos.y - t.last_y);
        if (d < *distance) {
            *distance = d;
            best = static_cast<int>(i);
        }
    }
    return best;
}

TEST(TrackerScene, EachPersonEndsAsExactlyOneConfirmedTrack) {
    struct Case {
        unsigned seed;
        double fps;
        double miss_share;
    } cases[] = {{1, 10.0, 0.0}, {2, 10.0, 0.15}, {3, 10.0, 0.25}, {4, 8.0, 0.15}, {5, 10.0, 0.2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "seed " << c.seed << " fps " << c.fps);
        SceneResult r = run_scene(c.seed, c.fps, c.miss_share);
        EXPECT_EQ(r.limit_hits, 0);
        std::vector<int> per_person(SCENE.size(), 0);
        std::vector<int> ids;
        for (const TrackPtr &t : r.lost) {
            if (t->id == 0) continue;
            double distance;
            const int who = owner(*t, &distance);
            ASSERT_GE(who, 0) << "confirmed track ending when nobody is in view";
            EXPECT_LT(distance, 25.0);
            ++per_person[who];
            ids.push_back(t->id);
            // The attributes come from this person's faces.
            const Person &p = SCENE[who];
            EXPECT_EQ(t->gender_sum > 0 ? 1.0 : -1.0, p.gender) << "person " << who;
            EXPECT_NEAR(t->age_sum / t->weight_sum, p.age, 3.0) << "person " << who;
            EXPECT_GE(t->observations, 6);
            EXPECT_LT(t->time_start, p.enter + 1.0) << "person " << who << " found late";
        }
        for (size_t i = 0; i < SCENE.size(); ++i) EXPECT_EQ(per_person[i], 1) << "person " << i;
        std::sort(ids.begin(), ids.end());
        for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], static_cast<int>(i) + 1);
    }
}

}  // namespace
