// The parallel row split must not change what is found, nor its order (grouping depends on the
// order): the same frame scanned with one, two and three OpenMP threads gives the same raw
// detections in the same order, hence the same faces.
#include <gtest/gtest.h>
#include <omp.h>

#include "detect_test_util.h"

namespace {

using namespace detect_test;

using Boxes = std::vector<Box>;

// Raw detections in output order, and the faces grouped from them as the pipeline does.
std::pair<Boxes, Boxes> scan_with_threads(int threads, const std::vector<uint8_t> &pattern) {
    // A lenient second detector gives many raw hits from every thread's rows.
    mevo_test::PatternCascadeOptions loose;
    loose.texture_min_match = 0.3;
    loose.step = 2;
    loose.stages = 1;
    loose.min_match = 0.1;
    Detector pair[2]{};
    EXPECT_EQ(load_model(&pair[0], pattern_model(pattern)), 0);
    EXPECT_EQ(
        load_model(&pair[1], mevo_test::cascade_for_pattern(pattern.data(), kPatternSide,
                                                            kPatternSide, kPatternSide, loose)),
        0);
    detector_set_options(&pair[0], 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
    Grey frame(1920, 1080);
    draw_hd_frame(frame.get(), pattern);
    std::vector<Detection> out(DETECTION_CAPACITY);
    omp_set_num_threads(threads);
    const int n =
        lbp_detect(out.data(), DETECTION_CAPACITY, frame.get(), pair, 2, nullptr, nullptr, 0);
    detector_free(pair, 2);
    Boxes raw;
    for (int i = 0; i < n; ++i)
        raw.emplace_back(out[i].left, out[i].right, out[i].top, out[i].bottom);
    const int g = group_detections(out.data(), n);
    return {raw, boxes_of(out.data(), g)};
}

TEST(DetectConcurrency, ThreadCountChangesNeitherTheDetectionsNorTheirOrder) {
    const std::vector<uint8_t> pattern = make_pattern();
    const auto [raw1, faces1] = scan_with_threads(1, pattern);
    EXPECT_LT(raw1.size(), size_t(DETECTION_CAPACITY));  // a full array would hide a difference
    EXPECT_GT(raw1.size(), 100u);
    EXPECT_FALSE(faces1.empty());
    for (int threads : {2, 3}) {
        SCOPED_TRACE(threads);
        const auto [raw, faces] = scan_with_threads(threads, pattern);
        EXPECT_EQ(raw, raw1);
        EXPECT_EQ(faces, faces1);
    }
}

}  // namespace
