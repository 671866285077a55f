// Model files for running the application on a synthetic scene with known ground truth: a
// detector cascade that finds the scene's faces and a classifier whose tables give every person
// of the scene their own gender and age. Both are learnt from the scene's rendered frames with
// the program's own halving, LBP codes and face normalisation, so they fit what the frame
// pipeline computes on those frames.
//
// Frames are rendered at out_w x out_h (the capture size the application is run with). The
// scene's faces (about 48 pixels) are found one octave down, where they fill the 24-pixel
// window. Single-threaded; the builders take a few seconds.
#pragma once

#include <string>

#include "classify/classifier_model.h"
#include "classify/frame_faces.h"
#include "detect/detector.h"
#include "platform/capture/synthetic.h"
#include "support/model_writer.h"

namespace e2e {

inline constexpr int SCENE_WINDOW = 24;  // detector window, pixels (square)

// The counting age bands, 0-14, 15-24, ..., 65-74, 75-: band of an age in years.
inline constexpr int COUNT_BANDS = 8;
int count_band(int age);

// Age divisor of the trained classifier: an age sum of 100 per year.
inline constexpr double SCENE_AGE_DIVISOR = 100.0;

// A cascade learnt from windows around every face of the scene, taken from frames halved
// `level` times (as the scan's octave pyramid does) at the face centre and one pixel around it.
mevo_test::ModelDesc scene_cascade(const SyntheticScene *scene, int out_w, int out_h, int level);

// Detector.MinRect for the scene: above the window, so the scan skips the full-size octave
// (where no face of the scene is) and runs four times faster.
inline constexpr int SCENE_MIN_RECT = 30;

// The frame pipeline's face settings for the scene cascade: the start shift that
// SCENE_MIN_RECT gives, SCENE_MIN_RECT and no gender bias.
FrameFacesConfig scene_faces_config(const Detector *detector);

// Trains a classifier (file layout of classify/classifier_model.h) on the scene's faces: boxes
// of the size the detector reports, a few pixels off each face in the frames, normalised as the
// pipeline does, each an example whose targets are the person's gender (a raw gender sum of
// about +-80 percent) and age. Returns an empty string when the scene has no faces.
std::string scene_classifier(const SyntheticScene *scene, int out_w, int out_h);

// How the trained classifier does on frames it was not trained on (every face the pipeline
// finds, classified as the pipeline does: mean gender score and mean age of the box group).
struct ClassifierCheck {
    int visible = 0;    // people in view over the frames checked
    int faces = 0;      // faces matched to a person
    int unmatched = 0;  // faces that match nobody (false detections)
    int wrong_gender = 0;
    int wrong_band = 0;   // age outside the person's count band
    int max_age_off = 0;  // largest |age - true age|
};
ClassifierCheck scene_classifier_check(const SyntheticScene *scene, int out_w, int out_h,
                                       Detector *detector, const ClassifierModel &model);

}  // namespace e2e
