// Readers on other threads walk the live tracks under the tracker's lock while the main thread
// steps the tracker; under ThreadSanitizer any unguarded access shows up as a race.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "track/tracker.h"
#include "tracker_fixture.h"

namespace {

// What the event thread does every pass: confirmed tracks with their attribute averages.
struct Snapshot {
    int tracks = 0, confirmed = 0;
    bool consistent = true;
};

Snapshot walk(Tracker *tr) {
    Snapshot s;
    s.tracks = tr->track_count;
    for (int i = 0; i < tr->track_count; ++i) {
        const Track *t = tr->tracks[i];
        if (t == nullptr || t->observations < 0 || t->predictions < t->observations) {
            s.consistent = false;
        }
        if (t != nullptr && t->id > 0) {
            ++s.confirmed;
            if (!(t->weight_sum > 0) || std::isnan(t->age_sum / t->weight_sum))
                s.consistent = false;
        }
    }
    return s;
}

TEST(TrackerConcurrency, ReadersSeeConsistentTracksWhileTheLoopSteps) {
    TrackerPtr tr = startup_tracker();
    std::atomic<bool> stop{false};
    std::atomic<int> walks{0}, busy{0}, bad{0};

    // A blocking reader (event thread) and a try-lock reader (live endpoint answering BUSY).
    std::thread blocking([&] {
        while (!stop.load()) {
            auto guard = tracker_guard(tr.get());
            if (!walk(tr.get()).consistent) ++bad;
            ++walks;
        }
    });
    std::thread trying([&] {
        while (!stop.load()) {
            if (!tracker_try_lock(tr.get())) {
                ++busy;
                std::this_thread::yield();
                continue;
            }
            if (!walk(tr.get()).consistent) ++bad;
            tracker_unlock(tr.get());
            ++walks;
        }
    });

    std::vector<TrackPtr> lost;
    double t = 1.7e9;
    // Keep stepping until the readers have really run alongside (steps take microseconds).
    constexpr int MIN_FRAMES = 600, MIN_WALKS = 200, MAX_FRAMES = 2000000;
    for (int frame = 0; frame < MAX_FRAMES && (frame < MIN_FRAMES || walks.load() < MIN_WALKS);
         ++frame) {
        std::vector<Measurement> faces;
        // Groups of faces that come and go, so tracks are created, confirmed and lost.
        for (int k = 0; k < 8; ++k) {
            if ((frame / 40 + k) % 3 == 0) continue;
            faces.push_back(face(120.0 + 220.0 * k + 2.0 * (frame % 40), 300.0 + 60.0 * (k % 4),
                                 80.0, k % 2 ? 1.0 : -1.0, 20.0 + k));
        }
        step(tr.get(), faces, t += 0.1, &lost);
        lost.clear();  // released here, outside the tracker, as the pipeline does
    }
    tracker_free_tracks(tr.get());
    stop = true;
    blocking.join();
    trying.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GE(walks.load(), MIN_WALKS);
    EXPECT_GT(tr->last_id, 8);
}

}  // namespace
