// Deterministic synthetic video sources with known ground truth, for tests and demos that must
// not depend on a camera or a video file. A scene is a fixed list of "walkers": face patterns
// that move along straight lines (and grow, as people walking towards a camera do) over a
// fixed number of frames at a fixed frame rate.
//
// Scene coordinates: pixels of the scene's native size (e.g. 640 x 360). A frame rendered at
// another size is the scene scaled by s = min(out_w / scene_w, out_h / scene_h) and centred,
// with black borders where the aspect ratios differ (as the GStreamer sources letterbox).
//
// The face pattern: a 12 x 12 grid of grey levels (synthetic_face_pattern, row-major, row 0 at
// the top) drawn as a square of `size` pixels; output pixel (x, y) of a face box takes cell
// ((y - top) * 12 / size, (x - left) * 12 / size). Levels: 60 hair and border, 190 skin,
// 70 eyebrows, 200/40 eye white/pupil, 160/130 nose, 80 mouth. A detector cascade for tests
// can be trained on exactly this pattern. A walker may carry a pattern of its own (same grid,
// same levels plus 110 for a moustache), so that a classifier can tell people apart; the
// "walkers" scene uses the shared pattern for everyone.
//
// Background: synthetic_scene_background(scene, x, y, out_w) inside the scene area (the smooth
// synthetic_background unless the scene has its own), 0 in the borders.
// Faces of one scene never overlap and never leave the scene area (the unit tests check it).
//
// Everything here is pure and thread-safe.
#pragma once

#include <cstdint>

inline constexpr int SYNTH_FACE_CELLS = 12;
extern const uint8_t synthetic_face_pattern[SYNTH_FACE_CELLS][SYNTH_FACE_CELLS];

// Inclusive pixel bounds in the order used everywhere in this program.
struct SynthRect {
    int32_t left, right, top, bottom;
};

struct SyntheticWalker {
    int id;            // ground-truth person id, unique in the scene, from 1
    char gender;       // 'M' or 'F' (ground truth for end-to-end tests)
    int age;           // years (ground truth)
    int first_frame;   // first frame in which the face is visible (frames count from 0)
    int last_frame;    // last such frame, inclusive
    double x0, y0;     // face centre at first_frame, scene coordinates
    double x1, y1;     // face centre at last_frame; linear in between
    int size0, size1;  // face width = height in scene pixels at first/last frame
    // The walker's own face pattern, or null for synthetic_face_pattern.
    const uint8_t (*pattern)[SYNTH_FACE_CELLS];
};

struct SyntheticScene {
    const char *name;       // "walkers" for "synthetic:walkers"
    int width, height;      // native scene size in pixels
    int frame_interval_us;  // 100000 = 10 frames per second
    int frame_count;        // frames 0 .. frame_count - 1
    const SyntheticWalker *walkers;
    int walker_count;
    // Grey level of output pixel (x, y) behind the faces, or null for synthetic_background.
    uint8_t (*background)(int x, int y, int out_w);
};

// The "walkers" scene: 640 x 360, 10 fps, 240 frames (24 s), six walkers, up to two at a time.
const SyntheticScene *synthetic_scene_walkers(void);

// The "people" scene: 640 x 360, 10 fps, 20000 frames (2000 s), on a background of fine grey
// noise (a detector that knows faces by their codes cannot mistake it for the flat skin of a
// face). Nine people, each with a face pattern of its own and ages across the count bands, cross
// the view within frames 5 .. 1170, up to three at a time, with nobody in view in frames 481 .. 899
// and from frame 1171 on: a long empty tail, so that a test in offline clock mode can place the
// source start (e.g. a counting schedule that switches off at frame 400 and on at frame 1000) and
// still query the running application after the last person has left.
const SyntheticScene *synthetic_scene_people(void);

// Scene by name (the text after "synthetic:"), or null when there is none of that name.
const SyntheticScene *synthetic_scene_find(const char *name);

// Box of walker `index` in `frame` for a rendering of out_w x out_h pixels. Returns false when
// the walker is not visible in that frame (the box is then left unchanged).
bool synthetic_walker_box(const SyntheticScene *scene, int index, int frame, int out_w, int out_h,
                          SynthRect *box);

// Face pattern of walker `index` (its own or the shared one); null for a bad index.
const uint8_t (*synthetic_walker_pattern(const SyntheticScene *scene, int index))[SYNTH_FACE_CELLS];

// Background grey level of output pixel (x, y) inside the scene area.
uint8_t synthetic_background(int x, int y, int out_w);

// The scene's background at output pixel (x, y) inside the scene area.
uint8_t synthetic_scene_background(const SyntheticScene *scene, int x, int y, int out_w);

// Renders `frame` into `out` (out_w * out_h bytes, rows of out_w bytes). Frames outside
// 0 .. frame_count - 1 show the empty background.
void synthetic_render(const SyntheticScene *scene, int frame, int out_w, int out_h, uint8_t *out);
