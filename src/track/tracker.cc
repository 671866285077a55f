#include "track/tracker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include "common/log.h"

namespace {

constexpr const char *LOG_TAG = "tracker";
constexpr double FORBIDDEN = std::numeric_limits<double>::infinity();

// Builds and solves one association: `rows` are track indices, `columns` measurement indices,
// followed by one zero-cost dummy column per row so that every track may stay unmatched. The
// zero-cost dummy rows that would let a measurement stay unclaimed are left out: an
// assignment that only has to place the rows has the same optimum, for far less work.
// Afterwards `matched[r]` is the index into `columns` given to row r, or -1. Returns false
// only if the solver fails (out of memory).
bool associate(Tracker *tr, const std::vector<int> &rows, const Measurement *const *measurements,
               const std::vector<int> &columns, std::vector<int> *matched) {
    const int row_count = static_cast<int>(rows.size());
    const int col_count = static_cast<int>(columns.size());
    matched->assign(row_count, -1);
    if (row_count == 0 || col_count == 0) return true;
    Assignment *a = &tr->assignment;
    if (assignment_init_rect(a, row_count, col_count + row_count) != ASSIGNMENT_OK) return false;
    for (int r = 0; r < row_count; ++r) {
        const Track *track = tr->tracks[rows[r]];
        for (int c = 0; c < col_count; ++c) {
            const Measurement *m = measurements[columns[c]];
            assignment_cost(a, r, c) =
                track_in_gate(track, m) ? -track_likelihood(track, m) : FORBIDDEN;
        }
    }
    if (assignment_solve(a) != ASSIGNMENT_OK) return false;
    for (int r = 0; r < row_count; ++r) {
        const int c = a->result[r];
        if (c < col_count) (*matched)[r] = c;
    }
    return true;
}

// Measurements in `columns` that no row took, in measurement order.
void collect_unmatched(const std::vector<int> &columns, const std::vector<int> &matched,
                       std::vector<unsigned char> *taken, std::vector<int> *out) {
    taken->assign(columns.size(), 0);
    for (int c : matched) {
        if (c >= 0) (*taken)[c] = 1;
    }
    out->clear();
    for (size_t c = 0; c < columns.size(); ++c) {
        if (!(*taken)[c]) out->push_back(columns[c]);
    }
}

void predict_all(Tracker *tr, double t) {
    bool went_back = false;
    double latest = t;
    for (int i = 0; i < tr->track_count; ++i) {
        const double before = tr->tracks[i]->time_predicted;
        if (track_predict(tr->tracks[i], t)) {
            went_back = true;
            latest = std::max(latest, before);
        }
    }
    // One line per run of steps with the clock behind the tracks, not one per frame.
    if (went_back && !tr->clock_went_back) {
        log_message(LOG_TAG,
                    "Frame time %.6f is %.6f s before the last prediction; tracks are not "
                    "predicted backwards",
                    t, latest - t);
    }
    tr->clock_went_back = went_back;
}

void split_by_state(Tracker *tr) {
    tr->confirmed.clear();
    tr->tentative.clear();
    for (int i = 0; i < tr->track_count; ++i) {
        (tr->tracks[i]->id != 0 ? tr->confirmed : tr->tentative).push_back(i);
    }
}

void update_closeness(const Tracker *tr, Track *track) {
    const double cx = (tr->config.x_low + tr->config.x_high) / 2.0;
    const double cy = (tr->config.y_low + tr->config.y_high) / 2.0;
    const double dx = std::abs(cx - track_x(track));
    const double dy = std::abs(cy - track_y(track));
    if (dx < track->closest_x) {
        track->closest_x = dx;
        track->closest_x_at = track->predictions;
    }
    if (dy < track->closest_y) {
        track->closest_y = dy;
        track->closest_y_at = track->predictions;
    }
}

// Moves lost tracks to tr->pending (in list order) and squeezes them out of the list.
void remove_lost(Tracker *tr) {
    int kept = 0;
    for (int i = 0; i < tr->track_count; ++i) {
        Track *track = tr->tracks[i];
        const bool lost = track_gate_volume(track) > tr->config.loss_volume;
        update_closeness(tr, track);
        if (lost) {
            tr->pending[tr->pending_count++] = track;
        } else {
            tr->tracks[kept++] = track;
        }
    }
    for (int i = kept; i < tr->track_count; ++i) tr->tracks[i] = nullptr;
    tr->track_count = kept;
}

int hand_over_lost(Tracker *tr, Track **lost) {
    const int count = tr->pending_count;
    std::copy(tr->pending, tr->pending + count, lost);
    tr->pending_count = 0;
    return count;
}

void create_seeds(Tracker *tr, const Measurement *const *measurements, double t) {
    for (int index : tr->seeds) {
        Track *track = track_new(measurements[index], t, &tr->config.noise);
        if (!track) {
            log_message(LOG_TAG, "Out of memory for a new track");
            continue;
        }
        tr->tracks[tr->track_count++] = track;
    }
}

// The association half of a frame: predict, match confirmed tracks first, then tentative ones;
// leaves the measurements nobody took in tr->seeds.
bool associate_frame(Tracker *tr, const Measurement *const *measurements, int m, double t) {
    predict_all(tr, t);
    split_by_state(tr);

    std::vector<int> &all = tr->seeds;  // reused as scratch before it holds the seeds
    all.clear();
    for (int i = 0; i < m; ++i) all.push_back(i);
    std::vector<int> &matched = tr->matched;
    if (!associate(tr, tr->confirmed, measurements, all, &matched)) return false;
    for (size_t r = 0; r < tr->confirmed.size(); ++r) {
        if (matched[r] >= 0)
            track_update(tr->tracks[tr->confirmed[r]], measurements[matched[r]], t);
    }
    collect_unmatched(all, matched, &tr->taken, &tr->unassigned);

    if (!associate(tr, tr->tentative, measurements, tr->unassigned, &matched)) {
        return false;
    }
    for (size_t r = 0; r < tr->tentative.size(); ++r) {
        if (matched[r] < 0) continue;
        Track *track = tr->tracks[tr->tentative[r]];
        track_update(track, measurements[tr->unassigned[matched[r]]], t);
        if (track_is_confirmed(track, &tr->config.confirm)) track->id = ++tr->last_id;
    }
    collect_unmatched(tr->unassigned, matched, &tr->taken, &tr->seeds);
    return true;
}

}  // namespace

TrackerConfig tracker_config(double x_low, double x_high, double y_low, double y_high, double q_xy,
                             double r_xy, double p11_xy, double q_z, double r_z) {
    TrackerConfig c{};
    c.x_low = x_low;
    c.x_high = x_high;
    c.y_low = y_low;
    c.y_high = y_high;
    c.noise = {q_xy, r_xy, p11_xy, q_z, r_z};
    c.confirm = TRACK_CONFIRM_DEFAULT;
    c.loss_volume = TRACKER_LOSS_VOLUME_FACTOR * r_xy * r_xy * r_z;
    return c;
}

Tracker *tracker_new(double x_low, double x_high, double y_low, double y_high, double q_xy,
                     double r_xy, double p11_xy, double q_z, double r_z) {
    const TrackerConfig c =
        tracker_config(x_low, x_high, y_low, y_high, q_xy, r_xy, p11_xy, q_z, r_z);
    return tracker_new_config(&c);
}

Tracker *tracker_new_config(const TrackerConfig *config) {
    Tracker *tr = new (std::nothrow) Tracker{};
    if (!tr) return nullptr;
    tr->config = *config;
    try {
        // Room for the usual frame, so steps do not allocate in the common case.
        tr->confirmed.reserve(TRACKER_MAX_TRACKS);
        tr->tentative.reserve(TRACKER_MAX_TRACKS);
        tr->unassigned.reserve(TRACKER_MAX_TRACKS);
        tr->seeds.reserve(TRACKER_MAX_TRACKS);
        tr->matched.reserve(TRACKER_MAX_TRACKS);
        tr->taken.reserve(TRACKER_MAX_TRACKS);
    } catch (const std::bad_alloc &) {
        delete tr;
        return nullptr;
    }
    return tr;
}

int tracker_step(Tracker *tr, const Measurement *const *measurements, int m, Track **lost,
                 double t) {
    std::lock_guard<std::mutex> guard(tr->lock);
    if (!std::isfinite(t)) {
        // One bad time would poison every filter and keep its tracks from ever being lost.
        log_message(LOG_TAG, "Frame time is not a finite number; frame skipped");
        return 0;
    }
    if (m < 0 || !measurements) m = 0;
    try {
        if (!associate_frame(tr, measurements, m, t)) {
            log_message(LOG_TAG, "Out of memory for the assignment; frame not associated");
            tr->seeds.clear();
        }
    } catch (const std::bad_alloc &) {
        log_message(LOG_TAG, "Out of memory for the assignment; frame not associated");
        tr->seeds.clear();
    }
    remove_lost(tr);
    if (tr->track_count + static_cast<int>(tr->seeds.size()) > TRACKER_MAX_TRACKS) {
        fprintf(stderr, "Too many tracks. Maximum is %d\n", TRACKER_MAX_TRACKS);
        tr->limit_hits += 1;
        return TRACKER_LIMIT_HIT;
    }
    create_seeds(tr, measurements, t);
    return hand_over_lost(tr, lost);
}

double tracker_earliest_open_end(const Tracker *tr) {
    double earliest = std::numeric_limits<double>::infinity();
    for (int i = 0; i < tr->track_count; ++i)
        earliest = std::min(earliest, tr->tracks[i]->time_end);
    for (int i = 0; i < tr->pending_count; ++i)
        earliest = std::min(earliest, tr->pending[i]->time_end);
    return earliest;
}

void tracker_free_tracks(Tracker *tr) {
    std::lock_guard<std::mutex> guard(tr->lock);
    for (int i = 0; i < tr->track_count; ++i) {
        track_free(tr->tracks[i]);
        tr->tracks[i] = nullptr;
    }
    tr->track_count = 0;
    for (int i = 0; i < tr->pending_count; ++i) track_free(tr->pending[i]);
    tr->pending_count = 0;
}

void tracker_free(Tracker *tr) {
    if (!tr) return;
    tracker_free_tracks(tr);
    delete tr;
}

void tracker_lock(Tracker *tr) {
    tr->lock.lock();
}
void tracker_unlock(Tracker *tr) {
    tr->lock.unlock();
}
bool tracker_try_lock(Tracker *tr) {
    return tr->lock.try_lock();
}
