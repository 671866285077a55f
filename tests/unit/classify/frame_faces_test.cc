// The shared per-frame face step on a frame with one known face.
#include "classify/frame_faces.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "classify/classifier.h"
#include "classify/face_classify.h"
#include "support/model_writer.h"

namespace {

constexpr int kSide = 20;  // detector window and pattern size
constexpr int kW = 96, kH = 80;
constexpr int kFaceX = 30, kFaceY = 25;
constexpr uint8_t kBackground = 128;

struct GreyImage {
    ScopedImage img;
    GreyImage(int w, int h) {
        EXPECT_EQ(
            image_create(img.get(), PIXEL_GRAY8, 1, w, h, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP),
            IMAGE_OK);
    }
};

struct RandomModel {
    std::vector<int16_t> g, f, a;
    ClassifierModel model;
    explicit RandomModel(uint32_t seed)
        : g(CLASSIFIER_TABLE_ENTRIES), f(CLASSIFIER_FACE_ENTRIES), a(CLASSIFIER_TABLE_ENTRIES) {
        std::mt19937 rng(seed);
        for (auto &v : g) v = int16_t(int(rng() % 61) - 30);
        for (auto &v : f) v = int16_t(int(rng() % 61) - 30);
        for (auto &v : a) v = int16_t(rng() % 41);
        model.face_scale = CLASSIFIER_DEFAULT_FACE_SCALE;
        model.gender_table = g.data();
        model.age_divisor = CLASSIFIER_DEFAULT_AGE_DIVISOR;
        model.face_table = f.data();
        model.face_bias = CLASSIFIER_DEFAULT_FACE_BIAS;
        model.age_table = a.data();
        model.age_bias = 0;
        model.gender_divisor = 2000.0;  // spreads the percentages over the range
    }
};

class FrameFaces : public ::testing::Test {
  protected:
    void SetUp() override {
        std::mt19937 rng(5);
        std::vector<uint8_t> pattern(kSide * kSide);
        for (auto &v : pattern) v = uint8_t(30 + rng() % 196);
        for (int y = 0; y < kH; ++y) std::fill_n(image_row(frame_.img.get(), y), kW, kBackground);
        for (int y = 0; y < kSide; ++y) {
            std::copy_n(&pattern[size_t(y * kSide)], kSide,
                        image_row(frame_.img.get(), kFaceY + y) + kFaceX);
        }
        const std::string path = "/tmp/classify_frame_faces_" + std::to_string(getpid()) + ".dat";
        ASSERT_EQ(mevo_test::model_write(
                      path, mevo_test::cascade_for_pattern(pattern.data(), kSide, kSide, kSide)),
                  0);
        ASSERT_EQ(detector_load(&detector_, path.c_str()), 0);
        std::remove(path.c_str());
        detector_set_options(&detector_, 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
        dets_.resize(DETECTION_CAPACITY);
    }
    void TearDown() override { detector_free(&detector_, 1); }

    int find(const ClassifierModel &model, const FrameFacesConfig &config,
             const DetectRect *region = nullptr) {
        return frame_faces_find(frame_.img.get(), region, detection_.img.get(), &detector_, 1,
                                model, config, dets_.data(), DETECTION_CAPACITY);
    }

    GreyImage frame_{kW, kH};
    GreyImage detection_{kW, kH};
    Detector detector_{};
    std::vector<Detection> dets_;
};

TEST_F(FrameFaces, OneFaceAveragedOverItsNineBoxes) {
    RandomModel m(3);
    FrameFacesConfig config;
    config.gender_bias = 100;
    const int k = find(m.model, config);
    ASSERT_EQ(k, 1);
    const Detection &face = dets_[0];
    // Merging the nine boxes one by one truncates each running mean, so the face may move by a
    // pixel towards smaller coordinates; its size is kept.
    EXPECT_NEAR(face.left, kFaceX, 1);
    EXPECT_NEAR(face.top, kFaceY, 1);
    EXPECT_EQ(face.right - face.left, kSide - 1);
    EXPECT_EQ(face.bottom - face.top, kSide - 1);
    EXPECT_EQ(face.votes, 9);
    EXPECT_GE(face.hits, 1);

    // The same nine boxes classified one by one and averaged by hand.
    std::vector<Detection> boxes;
    for (int dy : {-1, 0, 1}) {
        for (int dx : {-1, 0, 1}) {
            Detection b{};
            b.left = kFaceX + dx;
            b.right = kFaceX + kSide - 1 + dx;
            b.top = kFaceY + dy;
            b.bottom = kFaceY + kSide - 1 + dy;
            boxes.push_back(b);
        }
    }
    ASSERT_EQ(classify_faces_with_model(frame_.img.get(), boxes.data(), 9, m.model, 100, 0, 0), 0);
    int32_t gender = 0, age = 0, score = 0;
    for (const Detection &b : boxes) {
        gender += gender_to_percent(b.gender, m.model.gender_divisor);
        age += b.age;
        score += b.face_score;
    }
    EXPECT_EQ(face.gender, gender / 9);
    EXPECT_EQ(face.age, age / 9);
    EXPECT_EQ(face.face_score, score);
    EXPECT_GE(face.gender, -100);
    EXPECT_LE(face.gender, 100);
}

TEST_F(FrameFaces, UntrainedModelGivesTheBiasEverywhere) {
    const std::vector<int16_t> zeros(CLASSIFIER_TABLE_ENTRIES, 0);
    ClassifierModel m;
    m.face_scale = CLASSIFIER_DEFAULT_FACE_SCALE;
    m.gender_table = m.face_table = m.age_table = zeros.data();
    m.age_divisor = CLASSIFIER_DEFAULT_AGE_DIVISOR;
    m.gender_divisor = CLASSIFIER_DEFAULT_GENDER_DIVISOR;
    m.face_bias = CLASSIFIER_DEFAULT_FACE_BIAS;
    m.age_bias = CLASSIFIER_DEFAULT_AGE_BIAS;
    FrameFacesConfig config;
    config.gender_bias = classifier_gender_bias_from_text("70000");
    ASSERT_EQ(find(m, config), 1);
    EXPECT_EQ(dets_[0].gender, gender_to_percent(4464, CLASSIFIER_DEFAULT_GENDER_DIVISOR));
    EXPECT_EQ(dets_[0].age, 30);
    EXPECT_EQ(dets_[0].face_score, 9 * CLASSIFIER_DEFAULT_FACE_BIAS);
}

TEST_F(FrameFaces, MinRectCutsOnRightMinusLeft) {
    RandomModel m(4);
    FrameFacesConfig config;
    config.min_rect = kSide - 1;  // right - left of a 20-pixel face
    EXPECT_EQ(find(m.model, config), 1);
    config.min_rect = kSide;
    EXPECT_EQ(find(m.model, config), 0);
}

TEST_F(FrameFaces, RegionResultsAreTheFrameResultsMovedByTheRegion) {
    RandomModel m(5);
    ASSERT_EQ(find(m.model, FrameFacesConfig{}), 1);
    const Detection whole = dets_[0];
    const DetectRect region{20, 79, 15, 70};
    const int k = find(m.model, FrameFacesConfig{}, &region);
    ASSERT_EQ(k, 1);
    EXPECT_EQ(dets_[0].left, whole.left - region.left);
    EXPECT_EQ(dets_[0].top, whole.top - region.top);
    EXPECT_EQ(dets_[0].gender, whole.gender);  // the crop holds the same pixels
    EXPECT_EQ(dets_[0].age, whole.age);
    EXPECT_EQ(dets_[0].face_score, whole.face_score);
    frame_faces_offset(dets_.data(), k, region.left, region.top);
    EXPECT_EQ(dets_[0].left, whole.left);
    EXPECT_EQ(dets_[0].right, whole.right);
    EXPECT_EQ(dets_[0].top, whole.top);
    EXPECT_EQ(dets_[0].bottom, whole.bottom);
}

TEST_F(FrameFaces, NoDetectorsNoFaces) {
    RandomModel m(6);
    EXPECT_EQ(frame_faces_find(frame_.img.get(), nullptr, detection_.img.get(), &detector_, 0,
                               m.model, FrameFacesConfig{}, dets_.data(), DETECTION_CAPACITY),
              0);
}

TEST_F(FrameFaces, DetectionImageTooSmallIsAnError) {
    RandomModel m(7);
    GreyImage small(40, 40);
    EXPECT_EQ(frame_faces_find(frame_.img.get(), nullptr, small.img.get(), &detector_, 1, m.model,
                               FrameFacesConfig{}, dets_.data(), DETECTION_CAPACITY),
              -1);
}

}  // namespace

namespace {

TEST(FrameFacesStartShift, SkipsOctavesWhoseWidestWindowIsTooNarrow) {
    Detector d[3] = {};
    d[0].width = 16;
    d[1].width = 20;
    d[2].width = 25;
    const struct {
        int count;
        int32_t min_rect, want;
    } cases[] = {{3, 20, 0},  {3, 25, 0},  {3, 26, 1}, {3, 50, 1}, {3, 51, 2},
                 {3, 100, 2}, {3, 101, 3}, {1, 20, 1}, {0, 0, 3},  {0, -1, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(frame_faces_start_shift(d, c.count, c.min_rect), c.want)
            << c.count << " detectors, min " << c.min_rect;
    }
}

}  // namespace
