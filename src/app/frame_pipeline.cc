#include "app/frame_pipeline.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <new>

#include "app/mevo.h"
#include "classify/frame_faces.h"
#include "common/clock.h"
#include "common/log.h"
#include "count/cntdata.h"
#include "count/track_buffer.h"
#include "maint/track_recorder.h"
#include "platform/reboot/reboot.h"
#include "track/tracker.h"

static_assert(PIPELINE_MAX_ENDED == TRACKER_MAX_TRACKS, "tracker_step fills up to 100 pointers");

namespace {
constexpr const char *kTag = "mevo";
constexpr const char *kCountTag = "application_mevo";
constexpr int kRebootWaitS = 10;
// Upper age of bands 0..6; band 7 is everything above.
constexpr int kBandTop[AGE_BANDS - 1] = {14, 24, 34, 44, 54, 64, 74};

double frame_seconds(const struct timeval &tv) {
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

void handle_ended_tracks(MevoApp *app, int lost) {
    PipelineState &st = app->pipeline;
    if (lost <= 0) return;
    log_message(kTag, "[LOST TRACK] lost_count %d\n", lost);
    for (int i = 0; i < lost; ++i) ended_track_handle(st.ended[i], &st.tallies, app->tracks);
    if (app->tracks) track_buffer_sync(app->tracks);
}

// After every step: the uploader may send the stored tracks that end before any track still
// followed could, and must hold back the rest.
void settle_track_buffer(MevoApp *app) {
    if (app->tracks && app->tracker)
        track_buffer_settle(app->tracks, tracker_earliest_open_end(app->tracker));
}
}  // namespace

int pipeline_state_init(PipelineState *state) {
    if (state->detections) return 0;
    state->detections = new (std::nothrow) Detection[DETECTION_CAPACITY];
    if (!state->detections) {
        log_message(kTag, "could not allocate the detection array");
        return -1;
    }
    for (int i = 0; i < PIPELINE_MAX_MEASUREMENTS; ++i)
        state->measurement_ptrs[i] = &state->measurements[i];
    return 0;
}

void pipeline_state_free(PipelineState *state) {
    delete[] state->detections;
    state->detections = nullptr;
}

int age_band(int age) {
    for (int band = 0; band < AGE_BANDS - 1; ++band)
        if (age <= kBandTop[band]) return band;
    return AGE_BANDS - 1;
}

int faces_to_measurements(const Detection *faces, int count, int32_t cluster_score,
                          const ClassifierAgeOffsets &offsets, Measurement *out, int capacity) {
    int m = 0;
    for (int i = 0; i < count && m < capacity; ++i) {
        const Detection &f = faces[i];
        if (f.hits <= cluster_score) continue;
        Measurement &meas = out[m++];
        meas.x = (f.left + f.right) / 2.0;
        meas.y = (f.top + f.bottom) / 2.0;
        meas.z = std::log(double(f.right - f.left));
        meas.vx = meas.vy = meas.vz = 0.0;
        meas.gender_flag = classifier_gender_flag(f.gender);
        meas.age_value = classifier_age_value(f.age, f.gender, offsets);
        meas.attr_weight = 1.0;
    }
    return m;
}

bool ended_track_handle(Track *track, Tallies *tallies, track_buffer *tracks) {
    bool counted = false;
    if (track->id > 0 && track->weight_sum > 0.0) {
        int age = int(track->age_sum / track->weight_sum);
        int band = age_band(age);
        int8_t gender;
        if (track->gender_sum > 0.0) {
            tallies->men[band] += 1;
            gender = 1;
        } else {
            tallies->women[band] += 1;
            gender = -1;
        }
        track_record record = {};
        record.t_start = track->time_start;
        record.t_end = track->time_end;
        record.gender = gender;
        record.age = int8_t(age);
        record.avg_boxsize = track->observations > 0
                                 ? int16_t(int(track->boxsize_sum / track->observations + 0.5))
                                 : int16_t(0);
        record.trackid = track->id;
        if (tracks) track_buffer_add(tracks, &record);
        counted = true;
    }
    track_free(track);
    return counted;
}

bool gender_live_publish(GenderLive *live, const Detection *faces, int count, int32_t threshold) {
    std::unique_lock<std::mutex> guard(live->lock, std::try_to_lock);
    if (!guard.owns_lock()) return false;
    int n = 0;
    for (int i = 0; i < count && n < GENDER_LIVE_MAX; ++i)
        if (faces[i].face_score > threshold) live->faces[n++] = faces[i];
    live->count = n;
    return true;
}

int frame_pipeline_run(MevoApp *app, const AppFrame *frame) {
    PipelineState &st = app->pipeline;
    if (!st.detections) return -1;
    DetectRect region = {app->backend_roi.left, app->backend_roi.right, app->backend_roi.top,
                         app->backend_roi.bottom};
    FrameFacesConfig config;
    config.start_shift = app->start_shift;
    config.min_rect = app->min_rect;
    config.gender_bias = app->gender_bias;
    int faces = -1;
    if (app->classifier_open)
        faces = frame_faces_find(frame->image, app->roi_valid ? &region : nullptr,
                                 &app->detection_image, app->detectors, app->detector_count,
                                 app->classifier, config, st.detections, DETECTION_CAPACITY);
    if (faces < 0) faces = 0;  // still step the tracker: prediction is what ends tracks
    if (app->roi_valid) frame_faces_offset(st.detections, faces, app->roi.left, app->roi.top);

    ClassifierAgeOffsets offsets = {app->age_offset, app->age_offset_male, app->age_offset_female};
    int m = faces_to_measurements(st.detections, faces, app->cluster_score, offsets,
                                  st.measurements, PIPELINE_MAX_MEASUREMENTS);
    double t = frame_seconds(frame->time);
    int lost = app->tracker ? tracker_step(app->tracker, st.measurement_ptrs, m, st.ended, t) : 0;
    track_recorder_record(frame->image, t);
    handle_ended_tracks(app, lost);
    settle_track_buffer(app);
    gender_live_publish(&st.gender_live, st.detections, faces, app->face_threshold_internal);
    return faces;
}

int frame_pipeline_idle(MevoApp *app, const AppFrame *frame) {
    PipelineState &st = app->pipeline;
    if (!app->tracker) return 0;
    int lost =
        tracker_step(app->tracker, st.measurement_ptrs, 0, st.ended, frame_seconds(frame->time));
    handle_ended_tracks(app, lost);
    settle_track_buffer(app);
    return lost > 0 ? lost : 0;
}

int tallies_commit(Tallies *tallies, cntdata *counts, bool schedule_on, time_t now) {
    int32_t *c = tallies->committed;
    for (int b = 0; b < AGE_BANDS; ++b)
        if (tallies->men[b] < c[b] || tallies->women[b] < c[AGE_BANDS + b]) return -1;
    if (!schedule_on) {
        for (int b = 0; b < AGE_BANDS; ++b) {
            if (c[b] < tallies->men[b] || c[AGE_BANDS + b] < tallies->women[b]) {
                log_message(kCountTag, "Ignoring counts since schedule dissables counter\n");
                c[b] = tallies->men[b];
                c[AGE_BANDS + b] = tallies->women[b];
            }
        }
        return 0;
    }
    int counted = 0;
    for (int b = 0; b < AGE_BANDS; ++b) {
        while (c[b] < tallies->men[b]) {
            c[b] += 1;
            const int types[2] = {COUNT_TYPE_MEN_TOTAL, COUNT_TYPE_MEN_BAND0 + b};
            if (counts) cntdata_count_types(counts, types, 2, now);
            ++counted;
        }
        while (c[AGE_BANDS + b] < tallies->women[b]) {
            c[AGE_BANDS + b] += 1;
            const int types[2] = {COUNT_TYPE_WOMEN_TOTAL, COUNT_TYPE_WOMEN_BAND0 + b};
            if (counts) cntdata_count_types(counts, types, 2, now);
            ++counted;
        }
    }
    return counted;
}

int commit_tallies(MevoApp *app) {
    int counted = tallies_commit(&app->pipeline.tallies, app->counts, schedule_enabled.load() != 0,
                                 clock_now());
    if (counted < 0) {
        // Tallies only grow; a smaller one means our memory is corrupted.
        log_message(kCountTag, "tally went backwards, rebooting\n");
        platform_reboot();
        sleep(kRebootWaitS);
        std::exit(0);
    }
    return counted;
}
