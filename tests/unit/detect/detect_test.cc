#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "detect_test_util.h"

namespace {

using detect_test::Box;
using detect_test::boxes_of;
using detect_test::Grey;
using detect_test::load_model;
using detect_test::LoadedDetector;
using detect_test::make_pattern;
using detect_test::pattern_model;
using detect_test::place_pattern;

class LbpDetect : public testing::Test {
  protected:
    void SetUp() override {
        pattern_ = make_pattern();
        ASSERT_EQ(load_model(face_.get(), pattern_model(pattern_)), 0);
        detector_set_options(face_.get(), 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
    }
    std::vector<Box> detect(Image *frame, const DetectRect *region = nullptr, int shift = 0,
                            int capacity = 100) {
        std::vector<Detection> out(static_cast<size_t>(capacity));
        const int n =
            lbp_detect(out.data(), capacity, frame, face_.get(), 1, nullptr, region, shift);
        EXPECT_GE(n, 0);
        return boxes_of(out.data(), n < 0 ? 0 : n);
    }
    std::vector<uint8_t> pattern_;
    LoadedDetector face_;
};

TEST_F(LbpDetect, FindsPatternAtItsPlaceAndNowhereElse) {
    Grey frame(160, 120);
    place_pattern(frame.get(), pattern_, 37, 51, 1);
    EXPECT_EQ(detect(frame.get()), (std::vector<Box>{{37, 56, 51, 70}}));
    EXPECT_EQ(frame->width, 160);
    EXPECT_EQ(frame->height, 120);
    Grey empty(160, 120);
    EXPECT_TRUE(detect(empty.get()).empty());
}

TEST_F(LbpDetect, OctaveLevelTwoMapsToFrameCoordinates) {
    // At level 2 the pattern sits at 10 .. 29, reported as 10 * 4 + 2 .. 29 * 4 + 2.
    for (int shift : {0, 2}) {
        Grey frame(160, 160);
        place_pattern(frame.get(), pattern_, 40, 40, 4);
        EXPECT_EQ(detect(frame.get(), nullptr, shift), (std::vector<Box>{{42, 118, 42, 118}}))
            << "start shift " << shift;
    }
}

TEST_F(LbpDetect, FrameNoLargerThanWindowFindsNothingAndIsOnlyHalved) {
    Grey frame(20, 33);
    std::mt19937 rng(1);
    for (int i = 0; i < frame->stride * 33; ++i) frame->data[i] = static_cast<uint8_t>(rng());
    std::vector<uint8_t> before(frame->data, frame->data + frame->stride * 33);
    EXPECT_TRUE(detect(frame.get()).empty());
    EXPECT_EQ(std::vector<uint8_t>(frame->data, frame->data + frame->stride * 33), before);

    Grey big(41, 60);
    for (int i = 0; i < big->stride * 60; ++i) big->data[i] = static_cast<uint8_t>(rng());
    Grey copy(41, 60);
    std::memcpy(copy->data, big->data, static_cast<size_t>(big->stride) * 60);
    image_halve(copy.get());
    EXPECT_TRUE(detect(big.get(), nullptr, 1).empty());  // 20 x 30 after the shift
    EXPECT_EQ(big->width, 41);
    EXPECT_EQ(big->height, 60);
    for (int y = 0; y < 30; ++y)
        EXPECT_EQ(std::memcmp(image_row(big.get(), y), image_row(copy.get(), y), 20), 0) << y;
}

TEST_F(LbpDetect, RegionIsClampedAndResultsCarryItsOffset) {
    struct Case {
        DetectRect region;
        std::vector<Box> expected;
    } cases[] = {
        {{-10, 500, 30, 1000}, {{60, 79, 70, 89}}},
        {{50, 120, 60, 110}, {{60, 79, 70, 89}}},
        {{100, 199, 0, 149}, {}},  // pattern outside the region
        {{300, 400, 0, 10}, {}},   // region outside the frame
        {{70, 60, 0, 149}, {}},    // empty region
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.region.left << " " << c.region.right << " "
                                        << c.region.top << " " << c.region.bottom);
        Grey frame(200, 150);
        place_pattern(frame.get(), pattern_, 60, 70, 1);
        EXPECT_EQ(detect(frame.get(), &c.region), c.expected);
        EXPECT_EQ(frame->width, 200);
        EXPECT_EQ(frame->height, 150);
    }
}

TEST_F(LbpDetect, UpsideDownCameraReportsUprightCoordinates) {
    Grey upright(120, 100);
    place_pattern(upright.get(), pattern_, 37, 41, 1);
    Grey turned(120, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 120; ++x) turned.at(x, y) = upright.at(119 - x, 99 - y);
    face_.d.flip_up_down = DETECTOR_FLIP_ON;
    face_.d.flip_left_right = DETECTOR_FLIP_ON;
    detector_rotate_180(face_.get());
    EXPECT_EQ(detect(turned.get()), (std::vector<Box>{{37, 56, 41, 60}}));
}

TEST_F(LbpDetect, OtherScaleTypesMapByTheirFactor) {
    for (int scale : {DETECTOR_SCALE_BILIN, DETECTOR_SCALE_BILIN125}) {
        SCOPED_TRACE(scale);
        face_.d.scale_type = scale;
        Grey frame(130, 101);
        const int stride = frame->stride;
        place_pattern(frame.get(), pattern_, 30, 40, 1);
        EXPECT_EQ(detect(frame.get()), (std::vector<Box>{{30, 49, 40, 59}}));
        EXPECT_EQ(frame->stride, stride);
        EXPECT_EQ(frame->width, 130);
    }
}

TEST_F(LbpDetect, FailuresAndOptions) {
    Grey frame(120, 100);
    place_pattern(frame.get(), pattern_, 30, 40, 1);
    std::vector<Detection> out(10);

    face_.d.step_type = 9;
    testing::internal::CaptureStdout();
    EXPECT_EQ(lbp_detect(out.data(), 10, frame.get(), face_.get(), 1, nullptr, nullptr, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown step type: 9\n");
    EXPECT_EQ(frame->width, 120);

    face_.d.step_type = DETECTOR_STEP_MS;
    face_.d.scale_type = 5;
    place_pattern(frame.get(), pattern_, 30, 40, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lbp_detect(out.data(), 10, frame.get(), face_.get(), 1, nullptr, nullptr, 0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown scale_type: 5\n");

    ScopedImage rgb;
    ASSERT_EQ(image_create(rgb.get(), PIXEL_RGB24, 3, 50, 50, 0, 0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lbp_detect(out.data(), 10, rgb.get(), face_.get(), 1, nullptr, nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not gray scale image\n");
}

// The first detector's options govern; the class filter ignores case.
TEST_F(LbpDetect, ClassFilterAndSharedOptions) {
    Detector pair[2]{};
    mevo_test::ModelDesc face = pattern_model(pattern_);
    face.obj_class = "Face";
    mevo_test::ModelDesc car;  // no stages: accepts every window
    car.obj_class = "car";
    ASSERT_EQ(load_model(&pair[0], face), 0);
    ASSERT_EQ(load_model(&pair[1], car), 0);
    detector_set_options(&pair[0], 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
    Grey frame(120, 100);
    place_pattern(frame.get(), pattern_, 30, 40, 1);
    std::vector<Detection> out(5000);
    const int n = lbp_detect(out.data(), 5000, frame.get(), pair, 2, "FACE", nullptr, 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(pair[1].step_type, DETECTOR_STEP_MS);
    EXPECT_GT(lbp_detect(out.data(), 5000, frame.get(), pair, 2, nullptr, nullptr, 0), 100);
    EXPECT_EQ(lbp_detect(out.data(), 5000, frame.get(), pair, 2, "person", nullptr, 0), 0);
    detector_free(pair, 2);
}

TEST(LbpDetectCapacity, StopsAtCapacityAndNeverPastTheArrayLimit) {
    LoadedDetector all;
    mevo_test::ModelDesc m;
    ASSERT_EQ(load_model(all.get(), m), 0);
    all.d.step_type = DETECTOR_STEP_MS;
    Grey frame(300, 300);
    std::vector<Detection> out(30000);
    EXPECT_EQ(lbp_detect(out.data(), 7, frame.get(), all.get(), 1, nullptr, nullptr, 0), 7);
    EXPECT_EQ(lbp_detect(out.data(), 0, frame.get(), all.get(), 1, nullptr, nullptr, 0), 0);
    EXPECT_EQ(lbp_detect(out.data(), 30000, frame.get(), all.get(), 1, nullptr, nullptr, 0),
              DETECTION_CAPACITY);
}

}  // namespace
