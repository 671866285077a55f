#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "detect/lbp.h"
#include "detect_test_util.h"

namespace {

using detect_test::Box;
using detect_test::boxes_of;
using detect_test::Grey;
using detect_test::load_model;
using detect_test::LoadedDetector;
using mevo_test::feature_constant;
using mevo_test::feature_for_code;
using mevo_test::ModelDesc;
using mevo_test::ModelStage;
using mevo_test::stage_requiring;

ModelStage always_pass() {
    return stage_requiring(0, {feature_constant(0, 0, 1)}, 1);
}

ModelDesc accept_all(int side) {
    ModelDesc m;
    m.width = side;
    m.height = side;
    return m;
}

TEST(CascadeEval, CountsPassedStagesAndHonoursCumulative) {
    ModelDesc m;
    m.width = 4;
    m.height = 4;
    m.stages.push_back(stage_requiring(0, {feature_for_code(1, 1, 0x11, 5)}, 5));  // th 4
    ModelStage second;
    second.threshold = 7;
    second.features = {feature_for_code(2, 2, 0x22, 5)};
    m.stages.push_back(second);
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), m), 0);
    Detector *d = ld.get();
    Grey lbp(10, 10, 0);
    Grey grey(10, 10);
    detector_prepare(d, lbp->stride, d->descriptor.stride);
    const DetectRect w{3, 6, 2, 5};
    EXPECT_EQ(cascade_eval(lbp.get(), grey.get(), w, d), 0);
    lbp.at(4, 3) = 0x11;
    EXPECT_EQ(cascade_eval(lbp.get(), grey.get(), w, d), 1);
    lbp.at(5, 4) = 0x22;
    EXPECT_EQ(cascade_eval(lbp.get(), grey.get(), w, d), 1);  // 5 is not above 7
    d->cumulative = 1;
    EXPECT_EQ(cascade_eval(lbp.get(), grey.get(), w, d), 2);  // 5 + 5 is
    d->type[1] = 7;
    EXPECT_EQ(cascade_eval(lbp.get(), grey.get(), w, d), 1);  // unknown type rejects
}

TEST(CascadeEval, NoStagesAcceptsEverything) {
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), accept_all(5)), 0);
    Grey lbp(8, 8, 0);
    detector_prepare(ld.get(), lbp->stride, ld.d.descriptor.stride);
    EXPECT_EQ(cascade_eval(lbp.get(), lbp.get(), DetectRect{0, 4, 0, 4}, ld.get()), 0);
}

TEST(GradientCodes, NormalisedByBrightnessAndCapacity) {
    Grey img(2, 2, 0);
    img.at(0, 1) = 10;
    img.at(1, 1) = 10;
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(gradient_codes(out, img.get(), 4), 2);
    EXPECT_EQ(out[0], 0);                   // no horizontal change
    EXPECT_EQ(out[1], 20 * 4 * 256 / 121);  // 256 * 80 / (2 * 20 + 80 + 1)
    EXPECT_EQ(gradient_codes(out, img.get(), 1), 0);
    // Same picture, brighter: same codes.
    Grey bright(2, 2, 100);
    bright.at(0, 1) = 110;
    bright.at(1, 1) = 110;
    uint8_t out2[2];
    gradient_codes(out2, bright.get(), 2);
    EXPECT_EQ(out2[0], 0);
    EXPECT_EQ(out2[1], 80 * 256 / (2 * 420 + 80 + 1));

    Grey big(5, 4, 50);
    std::vector<uint8_t> codes(64, 0xAA);
    EXPECT_EQ(gradient_codes(codes.data(), big.get(), 64), 2 * 4 * 3);
    EXPECT_EQ(gradient_codes(codes.data(), big.get(), 7), 6);
}

// A 4 x 4 window: gradient codes (18) and LBP interior (4) of the crop, then one 2 x 2 gradient
// pair from the first halved copy; every other copy is too small to add anything.
TEST(WindowDescriptor, LaysOutCodesOfTheCropAndItsHalvings) {
    ModelDesc m;
    m.width = 4;
    m.height = 4;
    m.stages.push_back(stage_requiring(1, {feature_constant(1, 1, 1)}, 1));
    for (bool flipped : {false, true}) {
        SCOPED_TRACE(flipped);
        LoadedDetector ld;
        ASSERT_EQ(load_model(ld.get(), m), 0);
        Detector *d = ld.get();
        d->flip_up_down = flipped;
        d->flip_left_right = flipped;
        Grey grey(12, 9);
        std::mt19937 rng(5);
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 12; ++x) grey.at(x, y) = static_cast<uint8_t>(rng());
        window_descriptor(d, grey.get(), DetectRect{5, 8, 3, 6});
        EXPECT_EQ(d->descriptor.width, 24 + 2);
        EXPECT_EQ(d->descriptor.height, 3);
        EXPECT_EQ(d->crop.width, 4);
        EXPECT_EQ(d->window_lbp.height, 4);

        Grey crop(4, 4);  // the window, turned when both flags are set
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                crop.at(x, y) = flipped ? grey.at(5 + 3 - x, 3 + 3 - y) : grey.at(5 + x, 3 + y);
        std::vector<uint8_t> expected(18);
        ASSERT_EQ(gradient_codes(expected.data(), crop.get(), 19), 18);
        for (int y = 1; y <= 2; ++y)
            for (int x = 1; x <= 2; ++x)
                expected.push_back(mevo_test::reference_lbp_code(&crop.at(x, y), crop->stride));
        image_halve(crop.get());
        uint8_t pair[2];
        ASSERT_EQ(gradient_codes(pair, crop.get(), 3), 2);
        expected.push_back(pair[0]);
        expected.push_back(pair[1]);
        const uint8_t *row1 = d->descriptor.data + d->descriptor.stride + 1;
        EXPECT_EQ(std::vector<uint8_t>(row1, row1 + 24), expected);

        // A type-1 stage reads the descriptor at (x, y): (1, 1) is the first gradient code.
        detector_prepare(d, 16, d->descriptor.stride);
        d->detectorFeat[0].table[expected[0]] = 0;
        Grey lbp(12, 9, 0);
        const DetectRect w{5, 8, 3, 6};
        EXPECT_EQ(cascade_eval(lbp.get(), grey.get(), w, d), 0);
        for (int code = 0; code < 256; ++code)
            d->detectorFeat[0].table[code] = code == expected[0] ? 1 : 0;
        EXPECT_EQ(cascade_eval(lbp.get(), grey.get(), w, d), 1);
    }
}

TEST(LevelScans, GridAndCoarseFinePositionsOn100x80) {
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), accept_all(20)), 0);
    Detector *d = ld.get();
    ASSERT_EQ(scan_window_step(d), 1);
    Grey lbp(100, 80, 0);
    std::vector<Detection> out(6000);

    const int grid = scan_grid(out.data(), 6000, lbp.get(), lbp.get(), d, 1);
    ASSERT_EQ(grid, 60 * 80);
    std::set<int> tops, lefts;
    for (int i = 0; i < grid; ++i) {
        tops.insert(out[i].top);
        lefts.insert(out[i].left);
        EXPECT_EQ(out[i].right - out[i].left, 19);
        EXPECT_EQ(out[i].weight, 1);
    }
    EXPECT_EQ(*tops.begin(), 0);
    EXPECT_EQ(*tops.rbegin(), 59);
    EXPECT_EQ(*lefts.rbegin(), 79);

    // Coarse rows 1, 4, ..., 58 and columns 1, 4, ..., 76; with no stages every coarse window
    // is refined and its nine neighbours accepted, each position once.
    const int ms = scan_stepMS(out.data(), 6000, lbp.get(), lbp.get(), d, 1);
    ASSERT_EQ(ms, 20 * 26 * 9);
    std::set<std::pair<int, int>> seen;
    for (int i = 0; i < ms; ++i) seen.insert({out[i].left, out[i].top});
    EXPECT_EQ(static_cast<int>(seen.size()), ms);
    EXPECT_EQ(seen.begin()->first, 0);
    EXPECT_EQ(seen.rbegin()->first, 77);
    int max_top = 0;
    for (const auto &p : seen) max_top = std::max(max_top, p.second);
    EXPECT_EQ(max_top, 59);
}

TEST(LevelScans, Step8UsesFixedPointPositions) {
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), accept_all(40)), 0);
    ASSERT_EQ(scan_window_step8(ld.get()), 640);
    EXPECT_EQ(scan_window_step(ld.get()), 2);
    Grey lbp(60, 50, 0);
    std::vector<Detection> out(100);
    const int n = scan_step8(out.data(), 100, lbp.get(), lbp.get(), ld.get(), 640);
    std::set<int> tops, lefts;
    for (int i = 0; i < n; ++i) {
        tops.insert(out[i].top);
        lefts.insert(out[i].left);
    }
    EXPECT_EQ(tops, (std::set<int>{0, 2, 5, 7}));
    EXPECT_EQ(lefts, (std::set<int>{0, 2, 5, 7, 10, 12, 15, 17}));
    EXPECT_EQ(n, 32);
}

TEST(LevelScans, TooSmallImageAndFullOutput) {
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), accept_all(20)), 0);
    std::vector<Detection> out(20);
    Grey tiny(22, 22, 0);  // W - w = 2: no coarse column
    EXPECT_EQ(scan_stepMS(out.data(), 20, tiny.get(), tiny.get(), ld.get(), 1), 0);
    Grey lbp(100, 80, 0);
    EXPECT_EQ(scan_stepMS(out.data(), 7, lbp.get(), lbp.get(), ld.get(), 1), 7);
    EXPECT_EQ(scan_grid(out.data(), 7, lbp.get(), lbp.get(), ld.get(), 1), 7);
    EXPECT_EQ(scan_stepMS(out.data(), 0, lbp.get(), lbp.get(), ld.get(), 1), 0);
}

// Stages 0 .. nCasc - 1 pass everywhere except `key_stage`, which needs one code at one spot.
ModelDesc keyed_model(int n_stages, int key_stage) {
    ModelDesc m;
    m.width = 20;
    m.height = 20;
    for (int i = 0; i < n_stages; ++i)
        m.stages.push_back(i == key_stage ? stage_requiring(0, {feature_for_code(5, 6, 0x5A)}, 1)
                                          : always_pass());
    return m;
}

// The only matching window is (2, 2), a refinement of the coarse window (1, 1).
TEST(LevelScans, RefinesOnlyWithinThreeStagesOfTheEnd) {
    Grey lbp(100, 80, 0);
    lbp.at(2 + 5, 2 + 6) = 0x5A;
    struct Case {
        int stages, key, found;
    } cases[] = {{4, 1, 1}, {4, 0, 0}, {6, 3, 1}, {6, 2, 0}, {2, 0, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.stages << " stages, key " << c.key);
        LoadedDetector ld;
        ASSERT_EQ(load_model(ld.get(), keyed_model(c.stages, c.key)), 0);
        std::vector<Detection> out(10);
        const int n = scan_stepMS(out.data(), 10, lbp.get(), lbp.get(), ld.get(), 1);
        ASSERT_EQ(n, c.found);
        if (n == 1) {
            EXPECT_EQ(boxes_of(out.data(), 1)[0], (Box{2, 21, 2, 21}));
        }
    }
}

TEST(LevelScans, UpsideDownTraversalReflectsResults) {
    Grey lbp(101, 81, 0);
    lbp.at(1 + 5, 1 + 6) = 0x5A;  // matches the window at the top-left corner (1, 1)
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), keyed_model(1, 0)), 0);
    std::vector<Detection> out(10);
    ASSERT_EQ(scan_stepMS(out.data(), 10, lbp.get(), lbp.get(), ld.get(), 1), 1);
    EXPECT_EQ(boxes_of(out.data(), 1)[0], (Box{1, 20, 1, 20}));

    ld.d.flip_up_down = DETECTOR_FLIP_ON;
    ld.d.flip_left_right = DETECTOR_FLIP_ON;
    ASSERT_EQ(scan_stepMS(out.data(), 10, lbp.get(), lbp.get(), ld.get(), 1), 1);
    EXPECT_EQ(boxes_of(out.data(), 1)[0],
              (Box{101 - 1 - 20, 101 - 1 - 1, 81 - 1 - 20, 81 - 1 - 1}));

    ld.d.flip_left_right = DETECTOR_FLIP_OFF;  // one flag: upright traversal
    ASSERT_EQ(scan_stepMS(out.data(), 10, lbp.get(), lbp.get(), ld.get(), 1), 1);
    EXPECT_EQ(boxes_of(out.data(), 1)[0], (Box{1, 20, 1, 20}));
}

}  // namespace
