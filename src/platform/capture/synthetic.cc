#include "platform/capture/synthetic.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

// clang-format off
const uint8_t synthetic_face_pattern[SYNTH_FACE_CELLS][SYNTH_FACE_CELLS] = {
    { 60,  60,  60,  60,  60,  60,  60,  60,  60,  60,  60,  60},
    { 60,  60, 190, 190, 190, 190, 190, 190, 190, 190,  60,  60},
    { 60, 190, 190, 190, 190, 190, 190, 190, 190, 190, 190,  60},
    { 60, 190,  70,  70,  70, 190, 190,  70,  70,  70, 190,  60},
    { 60, 190, 190, 190, 190, 190, 190, 190, 190, 190, 190,  60},
    { 60, 190, 200,  40, 200, 190, 190, 200,  40, 200, 190,  60},
    { 60, 190, 190, 190, 190, 160, 160, 190, 190, 190, 190,  60},
    { 60, 190, 190, 190, 190, 130, 130, 190, 190, 190, 190,  60},
    { 60, 190, 190, 190, 190, 190, 190, 190, 190, 190, 190,  60},
    { 60, 190, 190,  80,  80,  80,  80,  80,  80, 190, 190,  60},
    { 60,  60, 190, 190, 190, 190, 190, 190, 190, 190,  60,  60},
    { 60,  60,  60, 190, 190, 190, 190, 190, 190,  60,  60,  60},
};

namespace {
// Paths are laid out so that faces on screen at the same time stay in separate bands.
const SyntheticWalker kWalkers[] = {
    // id gender age first last    x0     y0     x1     y1   size0 size1 pattern
    {1, 'M', 34,   0,  59,  80.0, 100.0, 560.0, 100.0,  48,  56, nullptr},
    {2, 'F', 27,  30, 109, 600.0, 250.0,  60.0, 250.0,  64,  64, nullptr},
    {3, 'M', 61,  80, 159, 200.0,  90.0, 420.0, 160.0,  40,  90, nullptr},
    {4, 'F',  8, 140, 199, 620.0, 300.0,  40.0, 300.0,  36,  36, nullptr},
    {5, 'M', 45, 170, 235, 100.0, 180.0, 540.0, 160.0,  70,  70, nullptr},
    {6, 'F', 52, 190, 239, 560.0,  70.0, 300.0,  70.0,  50,  50, nullptr},
};
// clang-format on

constexpr int kWalkersFrameIntervalUs = 100000;
constexpr int kWalkersFrames = 240;

const SyntheticScene kWalkersScene = {
    "walkers",
    640,
    360,
    kWalkersFrameIntervalUs,
    kWalkersFrames,
    kWalkers,
    int(sizeof kWalkers / sizeof kWalkers[0]),
    nullptr,
};

// Faces of the "people" scene, one character per cell: '#' hair and border, '.' skin,
// '-' eyebrow, 'o' eye white, '*' pupil, 'n' nose, 'N' nostril, 'm' mouth, 'b' moustache.
// Men wear a moustache, women hair down the sides; eyebrows, gaze, nose and mouth differ from
// person to person, so that their local binary pattern codes differ.
using FaceText = const char *[SYNTH_FACE_CELLS];
constexpr FaceText kPeopleFaces[] = {
    {"############", "##........##", "#..........#", "#.---..---.#", "#..........#", "#.o*o..o*o.#",
     "#....nn....#", "#....NN....#", "#...bbbb...#", "#..mmmmmm..#", "##........##",
     "###......###"},
    {"############", "##........##", "##........##", "##.--..--.##", "##........##", "##*oo..*oo##",
     "##...nn...##", "##........##", "##........##", "##..mmmm..##", "##........##",
     "###......###"},
    {"############", "##........##", "#..........#", "#.---..---.#", "#.---..---.#", "#.oo*..oo*.#",
     "#....nn....#", "#...NNNN...#", "#..bbbbbb..#", "#..m....m..#", "##..mmmm..##",
     "###......###"},
    {"############", "##........##", "##-......-##", "##.--..--.##", "##........##", "##o*o..o*o##",
     "##...nn...##", "##...nn...##", "##...NN...##", "##..mmmm..##", "##..mmmm..##",
     "###......###"},
    {"############", "##........##", "#..........#", "#..-....-..#", "#..........#", "#-*oo--*oo-#",
     "#....nn....#", "#....NN....#", "#...bbbb...#", "#..mmmmmm..#", "##.m....m.##",
     "###......###"},
    {"############", "##........##", "##........##", "##........##", "##ooo..ooo##", "##o*o..o*o##",
     "##........##", "##...nn...##", "##........##", "##...mm...##", "##........##",
     "###......###"},
    {"############", "##........##", "##........##", "##---..---##", "##........##", "##oo*--oo*##",
     "##........##", "##...NN...##", "##........##", "##mmmmmmmm##", "##........##",
     "###......###"},
    {"############", "##........##", "##........##", "##---..---##", "##---..---##", "##o*o..o*o##",
     "##...nn...##", "##...NN...##", "##.m....m.##", "##..mmmm..##", "##.m....m.##",
     "###......###"},
    {"############", "#..........#", "#..........#", "#.-....-...#", "#..-....-..#", "#.*oo..*oo.#",
     "#...nnnn...#", "#...NNNN...#", "#.bbbbbbbb.#", "#...mmmm...#", "##........##",
     "###......###"},
};
constexpr int kPeopleCount = int(sizeof kPeopleFaces / sizeof kPeopleFaces[0]);

constexpr bool faces_are_square() {
    for (const FaceText &face : kPeopleFaces)
        for (const char *row : face)
            if (std::char_traits<char>::length(row) != size_t(SYNTH_FACE_CELLS)) return false;
    return true;
}
static_assert(faces_are_square(), "every face row has one character per cell");

constexpr uint8_t face_level(char c) {
    switch (c) {
        case '#':
            return 60;
        case '-':
            return 70;
        case 'o':
            return 200;
        case '*':
            return 40;
        case 'n':
            return 160;
        case 'N':
            return 130;
        case 'm':
            return 80;
        case 'b':
            return 110;
        default:
            return 190;
    }
}

using FaceCells = uint8_t[SYNTH_FACE_CELLS][SYNTH_FACE_CELLS];
struct PeoplePatterns {
    FaceCells faces[kPeopleCount];
};

constexpr PeoplePatterns people_patterns() {
    PeoplePatterns p{};
    for (int i = 0; i < kPeopleCount; ++i)
        for (int y = 0; y < SYNTH_FACE_CELLS; ++y)
            for (int x = 0; x < SYNTH_FACE_CELLS; ++x)
                p.faces[i][y][x] = face_level(kPeopleFaces[i][y][x]);
    return p;
}
constexpr PeoplePatterns kPeoplePatterns = people_patterns();

// Frame i of the scene is at source time start + i / 10 s. People 1-4 come and go in frames
// 5 .. 320; people 5 and 6 are in view at frame 400 and leave by frame 480; person 7 comes in
// at frame 900 and is still in view after frame 1000; people 8 and 9 follow; from frame 1171
// on the view stays empty. Rows of people on screen together are at least 60 pixels apart.
// clang-format off
const SyntheticWalker kPeople[] = {
    // id gender age first  last    x0     y0     x1     y1   size0 size1 pattern
    {1, 'M', 30,    5,  125,  40.0,  80.0, 600.0,  80.0,  48,  48, kPeoplePatterns.faces[0]},
    {2, 'F', 20,   40,  170, 600.0, 200.0,  40.0, 200.0,  48,  50, kPeoplePatterns.faces[1]},
    {3, 'M', 70,  150,  280,  40.0, 300.0, 600.0, 290.0,  48,  48, kPeoplePatterns.faces[2]},
    {4, 'F', 50,  190,  320, 600.0, 140.0,  40.0, 140.0,  50,  48, kPeoplePatterns.faces[3]},
    {5, 'M', 40,  330,  480,  40.0,  90.0, 600.0,  90.0,  48,  48, kPeoplePatterns.faces[4]},
    {6, 'F',  7,  360,  450, 600.0, 260.0,  40.0, 260.0,  46,  46, kPeoplePatterns.faces[5]},
    {7, 'F', 40,  900, 1080,  40.0, 180.0, 600.0, 180.0,  48,  48, kPeoplePatterns.faces[6]},
    {8, 'F', 60, 1010, 1130, 600.0,  80.0,  40.0,  80.0,  48,  48, kPeoplePatterns.faces[7]},
    {9, 'M', 85, 1040, 1170,  40.0, 290.0, 600.0, 290.0,  48,  48, kPeoplePatterns.faces[8]},
};
// clang-format on
static_assert(sizeof kPeople / sizeof kPeople[0] == kPeopleCount);

constexpr int kPeopleFrames = 20000;

// Fine noise, 100 .. 160, from a hash of the pixel position.
uint8_t noise_background(int x, int y, int) {
    uint32_t h = uint32_t(x) * 0x9E3779B1u ^ uint32_t(y) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return uint8_t(100 + h % 61);
}

const SyntheticScene kPeopleScene = {
    "people",      640,     360,          kWalkersFrameIntervalUs,
    kPeopleFrames, kPeople, kPeopleCount, noise_background,
};

// Placement of the scene in an output frame: scale and the top-left corner of its area.
struct Placement {
    double scale;
    int left, top, width, height;
};

Placement place(const SyntheticScene *scene, int out_w, int out_h) {
    Placement p;
    p.scale = std::min(double(out_w) / scene->width, double(out_h) / scene->height);
    p.width = std::min(out_w, int(std::lround(scene->width * p.scale)));
    p.height = std::min(out_h, int(std::lround(scene->height * p.scale)));
    p.left = (out_w - p.width) / 2;
    p.top = (out_h - p.height) / 2;
    return p;
}
}  // namespace

const SyntheticScene *synthetic_scene_walkers(void) {
    return &kWalkersScene;
}

const SyntheticScene *synthetic_scene_people(void) {
    return &kPeopleScene;
}

const SyntheticScene *synthetic_scene_find(const char *name) {
    if (!name) return nullptr;
    for (const SyntheticScene *scene : {&kWalkersScene, &kPeopleScene})
        if (std::strcmp(name, scene->name) == 0) return scene;
    return nullptr;
}

const uint8_t (*synthetic_walker_pattern(const SyntheticScene *scene,
                                         int index))[SYNTH_FACE_CELLS] {
    if (!scene || index < 0 || index >= scene->walker_count) return nullptr;
    const uint8_t(*own)[SYNTH_FACE_CELLS] = scene->walkers[index].pattern;
    return own ? own : synthetic_face_pattern;
}

bool synthetic_walker_box(const SyntheticScene *scene, int index, int frame, int out_w, int out_h,
                          SynthRect *box) {
    if (!scene || index < 0 || index >= scene->walker_count || out_w <= 0 || out_h <= 0)
        return false;
    const SyntheticWalker &w = scene->walkers[index];
    if (frame < w.first_frame || frame > w.last_frame) return false;
    double t = w.last_frame > w.first_frame
                   ? double(frame - w.first_frame) / (w.last_frame - w.first_frame)
                   : 0.0;
    double cx = w.x0 + t * (w.x1 - w.x0);
    double cy = w.y0 + t * (w.y1 - w.y0);
    double size = w.size0 + t * (w.size1 - w.size0);
    Placement p = place(scene, out_w, out_h);
    int side = std::max(1, int(std::lround(size * p.scale)));
    box->left = int32_t(std::lround(p.left + cx * p.scale - side / 2.0));
    box->top = int32_t(std::lround(p.top + cy * p.scale - side / 2.0));
    box->right = box->left + side - 1;
    box->bottom = box->top + side - 1;
    return true;
}

uint8_t synthetic_background(int x, int y, int out_w) {
    // A gentle horizontal ramp with a faint checkerboard: texture for the detector to reject,
    // far from the face pattern's contrasts.
    int ramp = out_w > 0 ? x * 48 / out_w : 0;
    int check = ((x / 16 + y / 16) & 1) * 8;
    return uint8_t(96 + ramp + check);
}

uint8_t synthetic_scene_background(const SyntheticScene *scene, int x, int y, int out_w) {
    return scene && scene->background ? scene->background(x, y, out_w)
                                      : synthetic_background(x, y, out_w);
}

void synthetic_render(const SyntheticScene *scene, int frame, int out_w, int out_h, uint8_t *out) {
    if (!scene || out_w <= 0 || out_h <= 0 || !out) return;
    std::memset(out, 0, size_t(out_w) * size_t(out_h));
    Placement p = place(scene, out_w, out_h);
    for (int y = p.top; y < p.top + p.height; ++y) {
        uint8_t *row = out + size_t(y) * out_w;
        for (int x = p.left; x < p.left + p.width; ++x)
            row[x] = synthetic_scene_background(scene, x, y, out_w);
    }
    for (int i = 0; i < scene->walker_count; ++i) {
        SynthRect box;
        if (!synthetic_walker_box(scene, i, frame, out_w, out_h, &box)) continue;
        int side = box.right - box.left + 1;
        const uint8_t(*pattern)[SYNTH_FACE_CELLS] = synthetic_walker_pattern(scene, i);
        for (int y = std::max(0, int(box.top)); y <= std::min(out_h - 1, int(box.bottom)); ++y) {
            const uint8_t *cells = pattern[(y - box.top) * SYNTH_FACE_CELLS / side];
            uint8_t *row = out + size_t(y) * out_w;
            for (int x = std::max(0, int(box.left)); x <= std::min(out_w - 1, int(box.right)); ++x)
                row[x] = cells[(x - box.left) * SYNTH_FACE_CELLS / side];
        }
    }
}
