// The pattern cascade over a full-HD frame: the pattern at several places and octave sizes is
// found at each of them, in frame coordinates, and nowhere else.
#include <gtest/gtest.h>

#include "detect_test_util.h"

namespace {

using namespace detect_test;

TEST(FrameSearch, FindsEveryPlacementInFullHd) {
    const std::vector<uint8_t> pattern = make_pattern();
    LoadedDetector face;
    ASSERT_EQ(load_model(face.get(), pattern_model(pattern)), 0);
    detector_set_options(face.get(), 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
    Grey frame(1920, 1080);
    draw_hd_frame(frame.get(), pattern);
    std::vector<Detection> out(DETECTION_CAPACITY);
    const int n =
        lbp_detect(out.data(), DETECTION_CAPACITY, frame.get(), face.get(), 1, nullptr, nullptr, 0);
    std::vector<Box> expected;
    for (const Placement &p : hd_placements()) expected.push_back(expected_box(p));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(boxes_of(out.data(), n), expected);
}

}  // namespace
