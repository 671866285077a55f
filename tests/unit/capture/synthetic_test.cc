// The synthetic scenes: deterministic frames whose pixels match the published ground truth.
#include <gtest/gtest.h>

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
// says or the background.
TEST(SyntheticWalkers, GroundTruthMatchesThePixels) {
    const SyntheticScene *s = synthetic_scene_walkers();
    struct Size {
        int w, h;
    } sizes[] = {{640, 360}, {1280, 720}, {320, 240}, {333, 177}};
    for (const Size &size : sizes) {
        SCOPED_TRACE(testing::Message() << size.w << "x" << size.h);
        std::vector<uint8_t> frame(size_t(size.w) * size.h);
        for (int f = 0; f < s->frame_count; f += 7) {
            SCOPED_TRACE(f);
            synthetic_render(s, f, size.w, size.h, frame.data());
            std::vector<SynthRect> boxes;
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
            }
            // Scene area: the letterboxed region; outside it the border is black.
            double scale = std::min(double(size.w) / s->width, double(size.h) / s->height);
            int aw = int(s->width * scale + 0.5), ah = int(s->height * scale + 0.5);
            int ox = (size.w - aw) / 2, oy = (size.h - ah) / 2;
            int mismatches = 0;
            for (int y = 0; y < size.h; ++y) {
                for (int x = 0; x < size.w; ++x) {
                    uint8_t expected;
                    const SynthRect *in = nullptr;
                    for (const SynthRect &b : boxes)
                        if (x >= b.left && x <= b.right && y >= b.top && y <= b.bottom) in = &b;
                    if (in) {
                        int side = in->right - in->left + 1;
                        expected = synthetic_face_pattern[(y - in->top) * SYNTH_FACE_CELLS / side]
                                                         [(x - in->left) * SYNTH_FACE_CELLS / side];
                    } else if (x >= ox && x < ox + aw && y >= oy && y < oy + ah) {
                        expected = synthetic_background(x, y, size.w);
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
