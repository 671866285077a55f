// The synthetic scenes: deterministic frames whose pixels match the published ground truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/capture/synthetic.h"

namespace {
bool overlaps(const SynthRect &a, const SynthRect &b) {
    return a.left <= b.right && b.left <= a.right && a.top <= b.bottom && b.top <= a.bottom;
}
}  // namespace

TEST(SyntheticWalkers, SceneShape) {
    const SyntheticScene *s = synthetic_scene_walkers();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(synthetic_scene_find("walkers"), s);
    EXPECT_EQ(synthetic_scene_find("nosuch"), nullptr);
    EXPECT_EQ(synthetic_scene_find(nullptr), nullptr);
    EXPECT_EQ(s->frame_interval_us, 100000);
    EXPECT_EQ(s->frame_count, 240);
    ASSERT_GE(s->walker_count, 4);
    int max_together = 0;
    for (int f = 0; f < s->frame_count; ++f) {
        int visible = 0;
        for (int i = 0; i < s->walker_count; ++i) {
            SynthRect r;
            visible += synthetic_walker_box(s, i, f, s->width, s->height, &r);
        }
        max_together = std::max(max_together, visible);
    }
    EXPECT_GE(max_together, 2);  // some walkers share the screen
    for (int i = 0; i < s->walker_count; ++i) {
        const SyntheticWalker &w = s->walkers[i];
        EXPECT_EQ(w.id, i + 1);
        EXPECT_TRUE(w.gender == 'M' || w.gender == 'F');
        EXPECT_GE(w.first_frame, 0);
        EXPECT_LT(w.last_frame, s->frame_count);
    }
}

// For several output sizes (same aspect, other aspects, odd sizes): boxes stay inside the
// frame and never overlap, and every pixel is either the face pattern cell the ground truth
// says (the walker's own pattern where it has one) or the background.
TEST(SyntheticScenes, GroundTruthMatchesThePixels) {
    struct Case {
        const SyntheticScene *scene;
        int last_frame, frame_step;
    } scenes[] = {
        {synthetic_scene_walkers(), 239, 7},
        // The people are in view up to frame 1170; the tail after it is empty.
        {synthetic_scene_people(), 1300, 29},
    };
    struct Size {
        int w, h;
    } sizes[] = {{640, 360}, {1280, 720}, {320, 240}, {333, 177}};
    for (const Case &c : scenes) {
        const SyntheticScene *s = c.scene;
        for (const Size &size : sizes) {
            SCOPED_TRACE(testing::Message() << s->name << " " << size.w << "x" << size.h);
            std::vector<uint8_t> frame(size_t(size.w) * size.h);
            for (int f = 0; f <= c.last_frame; f += c.frame_step) {
                SCOPED_TRACE(f);
                synthetic_render(s, f, size.w, size.h, frame.data());
                std::vector<SynthRect> boxes;
                std::vector<int> owners;
                for (int i = 0; i < s->walker_count; ++i) {
                    SynthRect r;
                    if (!synthetic_walker_box(s, i, f, size.w, size.h, &r)) continue;
                    ASSERT_GE(r.left, 0);
                    ASSERT_GE(r.top, 0);
                    ASSERT_LT(r.right, size.w);
                    ASSERT_LT(r.bottom, size.h);
                    ASSERT_EQ(r.right - r.left, r.bottom - r.top);  // square faces
                    for (const SynthRect &o : boxes) ASSERT_FALSE(overlaps(r, o));
                    boxes.push_back(r);
                    owners.push_back(i);
                }
                // Scene area: the letterboxed region; outside it the border is black.
                double scale = std::min(double(size.w) / s->width, double(size.h) / s->height);
                int aw = int(s->width * scale + 0.5), ah = int(s->height * scale + 0.5);
                int ox = (size.w - aw) / 2, oy = (size.h - ah) / 2;
                int mismatches = 0;
                for (int y = 0; y < size.h; ++y) {
                    for (int x = 0; x < size.w; ++x) {
                        uint8_t expected;
                        int in = -1;
                        for (size_t b = 0; b < boxes.size(); ++b)
                            if (x >= boxes[b].left && x <= boxes[b].right && y >= boxes[b].top &&
                                y <= boxes[b].bottom)
                                in = int(b);
                        if (in >= 0) {
                            const SynthRect &b = boxes[size_t(in)];
                            int side = b.right - b.left + 1;
                            expected = synthetic_walker_pattern(
                                s, owners[size_t(in)])[(y - b.top) * SYNTH_FACE_CELLS / side]
                                                      [(x - b.left) * SYNTH_FACE_CELLS / side];
                        } else if (x >= ox && x < ox + aw && y >= oy && y < oy + ah) {
                            expected = synthetic_scene_background(s, x, y, size.w);
                        } else {
                            expected = 0;
                        }
                        mismatches += frame[size_t(y) * size.w + x] != expected;
                    }
                }
                ASSERT_EQ(mismatches, 0);
            }
        }
    }
}

// Everyone in the people scene has a face of their own; genders, ages and the frames in which
// people are in view are what end-to-end tests rely on.
TEST(SyntheticPeople, DistinctFacesAcrossBandsWithOverlapsAndAnEmptyTail) {
    const SyntheticScene *s = synthetic_scene_people();
    ASSERT_EQ(synthetic_scene_find("people"), s);
    EXPECT_EQ(s->frame_interval_us, 100000);
    EXPECT_EQ(s->frame_count, 20000);
    ASSERT_EQ(s->walker_count, 9);
    int men = 0, women = 0, last_seen = 0;
    for (int i = 0; i < s->walker_count; ++i) {
        const SyntheticWalker &w = s->walkers[i];
        EXPECT_EQ(w.id, i + 1);
        ASSERT_NE(w.pattern, nullptr);
        men += w.gender == 'M';
        women += w.gender == 'F';
        last_seen = std::max(last_seen, w.last_frame);
        for (int j = 0; j < i; ++j)
            EXPECT_NE(std::memcmp(w.pattern, s->walkers[j].pattern,
                                  sizeof(uint8_t[SYNTH_FACE_CELLS][SYNTH_FACE_CELLS])),
                      0)
                << "people " << j + 1 << " and " << i + 1 << " look alike";
    }
    EXPECT_EQ(men + women, s->walker_count);
    EXPECT_GE(men, 3);
    EXPECT_GE(women, 3);
    EXPECT_EQ(last_seen, 1170);
    // Who is in view at the frames a schedule test switches at.
    auto in_view = [&](int frame) {
        std::vector<int> ids;
        SynthRect r;
        for (int i = 0; i < s->walker_count; ++i)
            if (synthetic_walker_box(s, i, frame, 640, 360, &r)) ids.push_back(s->walkers[i].id);
        return ids;
    };
    EXPECT_EQ(in_view(400), (std::vector<int>{5, 6}));
    EXPECT_TRUE(in_view(700).empty());
    EXPECT_EQ(in_view(1000), (std::vector<int>{7}));
    EXPECT_EQ(in_view(1060), (std::vector<int>{7, 8, 9}));
    EXPECT_TRUE(in_view(1171).empty());
}

TEST(SyntheticWalkers, DeterministicAndMoving) {
    const SyntheticScene *s = synthetic_scene_walkers();
    std::vector<uint8_t> a(640 * 360), b(640 * 360), c(640 * 360);
    synthetic_render(s, 42, 640, 360, a.data());
    synthetic_render(s, 42, 640, 360, b.data());
    synthetic_render(s, 43, 640, 360, c.data());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    // Walker 1 moves right and grows between its first and last frame.
    SynthRect first, last;
    ASSERT_TRUE(synthetic_walker_box(s, 0, s->walkers[0].first_frame, 640, 360, &first));
    ASSERT_TRUE(synthetic_walker_box(s, 0, s->walkers[0].last_frame, 640, 360, &last));
    EXPECT_LT(first.left, last.left);
    EXPECT_EQ(first.right - first.left + 1, s->walkers[0].size0);
    EXPECT_EQ(last.right - last.left + 1, s->walkers[0].size1);
    SynthRect r;
    EXPECT_FALSE(synthetic_walker_box(s, 0, s->walkers[0].last_frame + 1, 640, 360, &r));
    EXPECT_FALSE(synthetic_walker_box(s, 99, 0, 640, 360, &r));
    // A frame past the end shows the empty scene.
    synthetic_render(s, s->frame_count + 5, 640, 360, a.data());
    EXPECT_EQ(a[size_t(100) * 640 + 80], synthetic_background(80, 100, 640));
}
