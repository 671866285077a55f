// Face candidates: the record that carries a face from the scan through classification to the
// tracker, the overlap grouping that turns clusters of raw windows into faces, and the jitter
// boxes the classifier is run on.
//
// Coordinates are inclusive pixel bounds in the order left, right, top, bottom (width = right -
// left + 1), in pixels of the detection image. None of these functions allocate or lock; call
// them from one thread at a time per array (the frame loop).
#pragma once

#include <cstdint>

// Sixteen signed 32-bit words; the layout is shared with stored and exchanged data, keep it.
struct Detection {
    int32_t left;
    int32_t right;
    int32_t top;
    int32_t bottom;
    int32_t weight;      // 1 for a raw detection or jitter box, merged sum, -1 when absorbed
    int32_t gender;      // classifier output, summed by grouping
    int32_t face_score;  // classifier output, summed by grouping
    int32_t age;         // classifier output, summed by grouping
    int32_t votes;       // records merged into this one (counting itself when set to 1 first)
    int32_t spare[6];    // always zero
    int32_t hits;        // weight after the first grouping: raw detections behind the face
};
static_assert(sizeof(Detection) == 16 * sizeof(int32_t), "Detection is sixteen int32 words");

// Size of the frame loop's detection array (raw detections, faces and jitter boxes).
inline constexpr int DETECTION_CAPACITY = 20000;

// Jitter boxes appended per face by add_jitter_boxes.
inline constexpr int DETECTION_JITTER_BOXES = 8;

// Merges overlapping records in place (a record absorbs a later one when their intersection
// covers more than half of the smaller box; merged boxes are square with the weighted mean
// width), sorts the array by weight, largest first, and returns the number of leading records
// with weight > 0. Absorbed records get weight -1 and end up behind the survivors. Every record
// must enter with weight >= 1. The result depends on the input order. count <= 0 returns 0.
int group_detections(Detection *records, int count);

// Appends eight shifted copies of each of the first `count` records while fewer than
// `capacity` records are in the array (shift d = width / 16 for widths of at least 32 pixels,
// else 1), then sets weight = 1 and gender = 0 in every record. Returns the new count.
int add_jitter_boxes(Detection *records, int count, int capacity);

// qsort-compatible orders on Detection records. Ties keep no defined order.
int detection_compare_weight_desc(const void *a, const void *b);  // by weight, largest first
int detection_compare_width_desc(const void *a, const void *b);   // by right - left, widest first

// Sorts `count` records with the orders above (count <= 0 does nothing).
void detections_sort_by_weight(Detection *records, int count);
void detections_sort_by_width(Detection *records, int count);

// Flip flags of a Detector (its `flip_up_down` and `flip_left_right` fields, detect/detector.h).
// The start-up sets both to DETECTOR_FLIP_ON on a camera whose image is mounted upside down; the
// scan and the classifier treat the image as turned by 180 degrees only when both are > 0.
inline constexpr int32_t DETECTOR_FLIP_OFF = 0;
inline constexpr int32_t DETECTOR_FLIP_ON = 1;
inline bool detector_flip_is_half_turn(int32_t flip_up_down, int32_t flip_left_right) {
    return flip_up_down > 0 && flip_left_right > 0;
}
