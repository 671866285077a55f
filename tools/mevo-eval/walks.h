// Per-person figures: every labelled face walks through a scene and the people the application
// counts are scored, as the product reports them.
//
// One walk per face picture (faces-utk layout, labels in the file name), one after another on
// one clock: a picture of `negatives` fills the frame (a new one per walk) for a lead-in, the
// face picture then crosses it for `walk_seconds` (pasted with a soft oval edge, its face
// square moving and growing or shrinking, mirrored or not, the whole frame's light drifting,
// sensor noise on every frame), and the empty scene stays a second more so the tracker loses
// the track. Every frame goes through the application's own frame pipeline
// (frame_pipeline_run: detection, grouping, classification, measurements, the tracker, the
// ended-track handling into the track buffer) with the factory settings. Everything drawn comes
// from a generator seeded by (seed, walk), so a run is reproducible.
//
// Scored: each counted track (a track-buffer record) belongs to the walk whose face its
// measurements lay on in most of its frames, or to no face (a false visitor). Per walk: counted
// once, missed, counted more than once (tracks at the same time on one face, or one after the
// other); per counted person: gender, age error, age band; all by age group. Beside it the
// single boxes the pipeline handed to the tracker on the face, and the known face square of the
// same pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mevo_eval {

struct WalksOptions {
    std::string models;              // folder of face16/20/25.dat
    std::string negatives;           // scene pictures
    std::vector<std::string> faces;  // labelled face pictures, one walk each
    uint64_t seed = 1;
    int width = 640, height = 360;  // frame size
    double fps = 12;                // frames per second of the clock the tracker sees
    double walk_seconds = 2;        // face in view
    double lead_seconds = 0.5;      // empty scene before the face
    double gap_seconds = 1;         // empty scene after it
    int cluster_score = 2;          // Detector.ClusterScore (factory 2)
    int min_rect = 20;              // Detector.MinRect (factory 20)
    bool list = false;              // also list the walks not counted once, and false visitors
};

// Prints the tables; returns 0, or 1 when the models, scenes or faces cannot be read.
int eval_walks(const WalksOptions &options);

}  // namespace mevo_eval
