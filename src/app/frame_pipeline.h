// The per-frame pipeline boundary: the frame loop hands every captured frame here while
// counting is enabled and the schedule allows it, and commits the tallies after every frame.
// Main thread.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "image/image.h"

struct MevoApp;

struct AppFrame {
    const Image *image;   // the captured frame, 8-bit grey, W x H; valid for this frame only
    struct timeval time;  // grab time (source time in offline clock mode)
    int32_t number;       // frame number, from 1
};

// Detection, classification, tracking and ended-track handling for one frame. Returns 0.
int frame_pipeline_run(MevoApp *app, const AppFrame *frame);

// Commits the per-band tallies to the count store. Returns the number of people counted
// since the previous commit (0 when nothing new was counted).
int commit_tallies(MevoApp *app);
