// Shared pieces of the model trainer: data-set listing, the face framing used for both models,
// the validation split and a small deterministic random generator.
//
// Framing (one definition for detector positives and classifier faces): the detector's square
// window covers the face from the brows to the chin and from cheek to cheek, as the
// faces-utk pictures (200 x 200, aligned) show it: utk_face_box. A faces-caltech crop (36 x 36)
// is looser (hair and neck); caltech_face_box is the same square inside it. Both are given in
// pixels of the source picture, inclusive, left/right/top/bottom. Single-threaded helpers; no
// shared state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"

namespace mevo_train {

struct Box {
    int left;
    int right;
    int top;
    int bottom;
};

// The face square inside a 200 x 200 faces-utk picture (scaled for other sizes).
Box utk_face_box(int width, int height);
// The face square inside a 36 x 36 faces-caltech crop (scaled for other sizes).
Box caltech_face_box(int width, int height);

// Deterministic generator (splitmix64): the same seed gives the same models on every machine.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t next();
    double uniform();                    // [0, 1)
    double uniform(double a, double b);  // [a, b)
    int below(int n);                    // 0 .. n - 1
};

// FNV-1a of the file name: the validation split must not depend on listing order.
uint32_t name_hash(const std::string &name);
// True for the ~1/5 of faces-utk files that form the validation split (never trained on).
bool is_validation_name(const std::string &name);

// Sorted file names (not paths) of the regular files in `dir` ending in .jpg/.png/.pgm.
std::vector<std::string> list_images(const std::string &dir);

// At most `limit` names (all when limit <= 0) chosen by name hash, so a subset spans all ages
// (the names begin with the age); returned sorted.
std::vector<std::string> utk_subset(std::vector<std::string> names, int limit);

// faces-utk labels from a name AGE_GENDER_RACE_DATETIME.jpg; false when a field is missing.
bool utk_labels(const std::string &name, int *age, int *gender);

// Grey picture with an `pad`-pixel border of replicated edge pixels around `src`, so boxes that
// reach slightly outside the picture can still be normalised.
int pad_replicate(const Image *src, int pad, Image *out);

bool dir_exists(const std::string &dir);

}  // namespace mevo_train
