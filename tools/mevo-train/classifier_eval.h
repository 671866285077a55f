// Classifier figures on faces-utk style pictures (labels in the file names), computed the way
// the frame pipeline does: each face's brow-to-chin square (utk_face_box) and its eight jitter
// boxes are normalised and scored with classify_patch, the percent gender and the age are
// averaged over the nine boxes (integer division, as after grouping). Single-threaded.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "classify/classifier_model.h"

namespace mevo_train {

constexpr int GENDER_AGE_GROUPS = 5;  // see gender_age_group

struct ClassifierScores {
    size_t faces = 0;              // labelled pictures scored
    double gender_accuracy = 0;    // share with the sign of the mean percent right (0 counts wrong)
    double age_mae = 0;            // years
    double age_band_accuracy = 0;  // same band of the eight count bands
    double face_positive = 0;      // share whose mean face sum is above 0 (probability 0.5)
    double seconds_per_face = 0;
    // Gender accuracy by age group (see gender_age_group); faces per group.
    double gender_accuracy_by_group[GENDER_AGE_GROUPS] = {};
    size_t faces_by_group[GENDER_AGE_GROUPS] = {};
};

// Age groups of the gender breakdown, 0 .. 4: 0-2, 3-12, 13-19, 20-59, 60 and over. Children's
// gender is much harder to see, so the total depends on how many of them a data set holds.
int gender_age_group(int age);

// Band index 0 .. 7 of an age in years: under 15, 15-24, 25-34, 35-44, 45-54, 55-64, 65-74,
// 75 and over.
int age_band(int age);

ClassifierScores classifier_evaluate(const std::vector<std::string> &paths,
                                     const ClassifierModel &model);
void print_classifier_scores(FILE *out, const ClassifierScores &s);

}  // namespace mevo_train
