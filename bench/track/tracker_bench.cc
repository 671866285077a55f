// tracker_step cost: the worst frame the pipeline can produce (96 faces against a full tracker
// of 100 tracks) and the typical frames of 0 to 10 faces, each with its own steady tracks.
#include <benchmark/benchmark.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "track/tracker.h"

namespace {

constexpr int MAX_MEASUREMENTS = 96;
constexpr double FRAME_DT = 0.1;

Tracker *startup_tracker() {
    return tracker_new(1.0, 1920.0, 1.0, 1080.0, 12692.0, 75.0, 6000.0, 40.0, 10.0);
}

Measurement face_at(double x, double y) {
    return Measurement{x, y, std::log(48.0), 0.0, 0.0, 0.0, 1.0, 30.0, 1.0};
}

// Grid positions 10 x 10, 190 px x 105 px apart: close enough that neighbours share gates.
double grid_x(int i) {
    return 40.0 + 190.0 * (i % 10);
}
double grid_y(int i) {
    return 30.0 + 105.0 * (i / 10);
}

// A full tracker: 100 confirmed tracks that have followed slowly drifting faces for a while.
std::vector<Track> full_tracker_state() {
    Tracker *tr = startup_tracker();
    std::vector<Measurement> faces(TRACKER_MAX_TRACKS);
    std::vector<const Measurement *> ptrs;
    for (Measurement &m : faces) ptrs.push_back(&m);
    Track *lost[TRACKER_MAX_TRACKS];
    for (int frame = 0; frame < 20; ++frame) {
        for (int i = 0; i < TRACKER_MAX_TRACKS; ++i) {
            faces[i] = face_at(grid_x(i) + 2.0 * frame, grid_y(i) + (i % 3));
        }
        tracker_step(tr, ptrs.data(), TRACKER_MAX_TRACKS, lost, 1000.0 + frame * FRAME_DT);
    }
    std::vector<Track> state;
    for (int i = 0; i < tr->track_count; ++i) state.push_back(*tr->tracks[i]);
    tracker_free(tr);
    return state;
}

void restore(Tracker *tr, const std::vector<Track> &state) {
    tracker_free_tracks(tr);
    for (const Track &t : state) tr->tracks[tr->track_count++] = new Track(t);
}

void BM_TrackerStepFull(benchmark::State &bench) {
    const std::vector<Track> state = full_tracker_state();
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 3.0);
    std::vector<Measurement> faces;
    for (int i = 0; i < MAX_MEASUREMENTS; ++i) {
        faces.push_back(face_at(grid_x(i) + 40.0 + noise(rng), grid_y(i) + noise(rng)));
    }
    std::vector<const Measurement *> ptrs;
    for (const Measurement &m : faces) ptrs.push_back(&m);
    Tracker *tr = startup_tracker();
    tr->last_id = TRACKER_MAX_TRACKS;
    Track *lost[TRACKER_MAX_TRACKS];
    for (auto _ : bench) {
        bench.PauseTiming();
        restore(tr, state);
        bench.ResumeTiming();
        benchmark::DoNotOptimize(
            tracker_step(tr, ptrs.data(), MAX_MEASUREMENTS, lost, 1000.0 + 20 * FRAME_DT));
    }
    if (tr->track_count != TRACKER_MAX_TRACKS) bench.SkipWithError("tracks were lost or added");
    tracker_free(tr);
}
BENCHMARK(BM_TrackerStepFull)->Unit(benchmark::kMicrosecond);

// m people walking back and forth, each followed by its own track (steady state).
void BM_TrackerStepTypical(benchmark::State &bench) {
    const int m = static_cast<int>(bench.range(0));
    Tracker *tr = startup_tracker();
    std::vector<Measurement> faces(m);
    std::vector<const Measurement *> ptrs;
    for (Measurement &f : faces) ptrs.push_back(&f);
    Track *lost[TRACKER_MAX_TRACKS];
    double t = 1000.0;
    int frame = 0;
    auto next_frame = [&] {
        for (int i = 0; i < m; ++i) {
            faces[i] = face_at(grid_x(i * 10) + 300.0 * std::sin(0.05 * frame + i),
                               grid_y(i * 10) + 20.0 * std::cos(0.05 * frame));
        }
        ++frame;
        t += FRAME_DT;
        return tracker_step(tr, ptrs.data(), m, lost, t);
    };
    for (int warm = 0; warm < 20; ++warm) next_frame();
    int lost_total = 0;
    for (auto _ : bench) {
        const int n = next_frame();
        for (int i = 0; i < n; ++i) track_free(lost[i]);
        lost_total += n;
    }
    if (tr->track_count != m || lost_total != 0) bench.SkipWithError("scene was not steady");
    tracker_free(tr);
}
BENCHMARK(BM_TrackerStepTypical)->Arg(0)->Arg(1)->Arg(5)->Arg(10)->Unit(benchmark::kMicrosecond);

// The first association of the worst frame, solved alone in two shapes with the same optimum:
// the square matrix with zero-cost dummy rows and columns (100 tracks + 96 dummy rows against
// 96 measurements + 100 dummy columns), and the rectangle the tracker builds (100 track rows
// against 96 measurements + 100 dummy columns). Each track gates its own face and, now and
// then, a neighbour's.
void fill_worst_frame(Assignment *a, bool square) {
    constexpr int TRACKS = TRACKER_MAX_TRACKS;
    constexpr int COLS = MAX_MEASUREMENTS + TRACKS;
    if (square) {
        assignment_init(a, COLS);
    } else {
        assignment_init_rect(a, TRACKS, COLS);
    }
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int r = 0; r < TRACKS; ++r) {
        for (int c = 0; c < MAX_MEASUREMENTS; ++c) {
            const bool gated = c == r || (std::abs(c - r) == 1 && unit(rng) < 0.3);
            assignment_cost(a, r, c) =
                gated ? -unit(rng) * 1e-6 : std::numeric_limits<double>::infinity();
        }
    }
}

void BM_AssignmentWorstFrame(benchmark::State &bench) {
    const bool square = bench.range(0) == 1;
    bench.SetLabel(square ? "square 196x196" : "rectangle 100x196");
    Assignment a;
    fill_worst_frame(&a, square);
    double total = 0.0;
    for (auto _ : bench) {
        // Solving resets the working arrays and leaves the costs alone, so runs are identical.
        benchmark::DoNotOptimize(assignment_solve(&a));
        total = assignment_total(&a);
    }
    bench.counters["total_cost_e6"] = total * 1e6;
}
BENCHMARK(BM_AssignmentWorstFrame)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
