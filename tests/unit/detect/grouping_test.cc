#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "detect/detection.h"

namespace {

Detection box(int left, int right, int top, int bottom, int weight = 1) {
    Detection d;
    std::memset(&d, 0, sizeof d);
    d.left = left;
    d.right = right;
    d.top = top;
    d.bottom = bottom;
    d.weight = weight;
    return d;
}

TEST(GroupDetections, MergesOverlappingPairIntoWeightedSquare) {
    Detection r[2] = {box(0, 19, 0, 19), box(2, 21, 2, 21)};
    r[0].votes = 1;
    r[0].gender = 3;
    r[1].gender = 4;
    r[0].face_score = 10;
    r[1].face_score = -2;
    r[1].age = 30;
    ASSERT_EQ(group_detections(r, 2), 1);
    EXPECT_EQ(r[0].left, 1);
    EXPECT_EQ(r[0].right, 20);
    EXPECT_EQ(r[0].top, 1);
    EXPECT_EQ(r[0].bottom, 20);
    EXPECT_EQ(r[0].weight, 2);
    EXPECT_EQ(r[0].votes, 2);
    EXPECT_EQ(r[0].gender, 7);
    EXPECT_EQ(r[0].face_score, 8);
    EXPECT_EQ(r[0].age, 30);
    EXPECT_EQ(r[1].weight, -1);
}

TEST(GroupDetections, OverlapMustExceedHalfOfTheSmallerBox) {
    struct Case {
        Detection a, b;
        int groups;
    } cases[] = {
        {box(0, 10, 0, 10), box(10, 20, 10, 20), 2},  // corner contact only
        {box(0, 10, 0, 10), box(0, 10, 5, 15), 2},    // exactly half
        {box(0, 10, 0, 10), box(0, 10, 4, 14), 1},    // more than half
        {box(0, 10, 0, 10), box(30, 40, 0, 10), 2},   // apart
        {box(0, 40, 0, 40), box(5, 14, 5, 14), 1},    // small box inside a big one
    };
    for (const Case &c : cases) {
        Detection r[2] = {c.a, c.b};
        EXPECT_EQ(group_detections(r, 2), c.groups)
            << c.b.left << "," << c.b.right << "," << c.b.top << "," << c.b.bottom;
    }
}

TEST(GroupDetections, UnmergedBoxKeepsShapeMergedBoxIsSquare) {
    Detection lone[2] = {box(0, 29, 0, 9), box(100, 109, 100, 109)};
    ASSERT_EQ(group_detections(lone, 2), 2);
    const Detection &wide = lone[0].left == 0 ? lone[0] : lone[1];
    EXPECT_EQ(wide.right - wide.left, 29);
    EXPECT_EQ(wide.bottom - wide.top, 9);

    Detection pair[2] = {box(0, 29, 0, 9), box(0, 29, 1, 10)};
    ASSERT_EQ(group_detections(pair, 2), 1);
    EXPECT_EQ(pair[0].right - pair[0].left, pair[0].bottom - pair[0].top);
    EXPECT_EQ(pair[0].right - pair[0].left, 29);
}

TEST(GroupDetections, SortsByWeightAndPutsAbsorbedLast) {
    // A cluster of three, a single, and a cluster of two given out of order.
    Detection r[6] = {box(200, 219, 0, 19), box(0, 19, 0, 19),    box(1, 20, 1, 20),
                      box(100, 119, 0, 19), box(101, 120, 0, 19), box(0, 19, 1, 20)};
    ASSERT_EQ(group_detections(r, 6), 3);
    EXPECT_EQ(r[0].weight, 3);
    EXPECT_EQ(r[1].weight, 2);
    EXPECT_EQ(r[2].weight, 1);
    EXPECT_EQ(r[2].left, 200);
    for (int i = 3; i < 6; ++i) EXPECT_EQ(r[i].weight, -1);
}

TEST(GroupDetections, MergedWeightsAreWeighted) {
    Detection r[2] = {box(0, 19, 0, 19, 3), box(4, 23, 4, 23, 1)};
    ASSERT_EQ(group_detections(r, 2), 1);
    EXPECT_EQ(r[0].left, 1);  // (3 * 0 + 1 * 4) / 4
    EXPECT_EQ(r[0].top, 1);
    EXPECT_EQ(r[0].right, 20);
    EXPECT_EQ(r[0].weight, 4);
}

TEST(GroupDetections, EmptyInputChangesNothing) {
    Detection r = box(1, 2, 3, 4);
    EXPECT_EQ(group_detections(&r, 0), 0);
    EXPECT_EQ(group_detections(&r, -3), 0);
    EXPECT_EQ(r.left, 1);
    EXPECT_EQ(r.bottom, 4);
    Detection one = box(5, 24, 5, 24);
    EXPECT_EQ(group_detections(&one, 1), 1);
    EXPECT_EQ(one.left, 5);
    EXPECT_EQ(one.bottom, 24);
}

TEST(AddJitterBoxes, StepFollowsWidth) {
    struct Case {
        int width, step;
    } cases[] = {{40, 2}, {31, 1}, {32, 2}, {20, 1}, {64, 4}};
    for (const Case &c : cases) {
        std::vector<Detection> r(9);
        r[0] = box(100, 100 + c.width - 1, 50, 50 + c.width - 1);
        ASSERT_EQ(add_jitter_boxes(r.data(), 1, 9), 9);
        const int d = c.step;
        const int expected[8][2] = {{-d, -d}, {0, -d}, {d, -d}, {-d, 0},
                                    {d, 0},   {-d, d}, {0, d},  {d, d}};
        for (int k = 0; k < 8; ++k) {
            SCOPED_TRACE(testing::Message() << "width " << c.width << " box " << k);
            EXPECT_EQ(r[k + 1].left, 100 + expected[k][0]);
            EXPECT_EQ(r[k + 1].right, 100 + c.width - 1 + expected[k][0]);
            EXPECT_EQ(r[k + 1].top, 50 + expected[k][1]);
            EXPECT_EQ(r[k + 1].bottom, 50 + c.width - 1 + expected[k][1]);
        }
    }
}

TEST(AddJitterBoxes, CapacityLimitsCopies) {
    std::vector<Detection> r(5);
    r[0] = box(0, 39, 0, 39);
    r[1] = box(100, 139, 0, 39);
    ASSERT_EQ(add_jitter_boxes(r.data(), 2, 5), 5);
    EXPECT_EQ(r[2].left, -2);
    EXPECT_EQ(r[2].top, -2);
    EXPECT_EQ(r[3].left, 0);
    EXPECT_EQ(r[3].top, -2);
    EXPECT_EQ(r[4].left, 2);
    EXPECT_EQ(r[4].top, -2);

    Detection full[2] = {box(0, 9, 0, 9), box(20, 29, 0, 9)};
    EXPECT_EQ(add_jitter_boxes(full, 2, 2), 2);
}

TEST(AddJitterBoxes, ResetsWeightAndGenderKeepsOtherFields) {
    std::vector<Detection> r(9);
    r[0] = box(10, 29, 10, 29, 5);
    r[0].gender = 9;
    r[0].hits = 5;
    r[0].votes = 1;
    ASSERT_EQ(add_jitter_boxes(r.data(), 1, 9), 9);
    for (const Detection &d : r) {
        EXPECT_EQ(d.weight, 1);
        EXPECT_EQ(d.gender, 0);
    }
    EXPECT_EQ(r[0].hits, 5);
    EXPECT_EQ(r[1].hits, 0);
    EXPECT_EQ(r[1].votes, 0);
}

TEST(AddJitterBoxes, FaceAbsorbsItsCopiesAndKeepsHits) {
    const int n = 2;
    std::vector<Detection> r(n * 9);
    r[0] = box(100, 139, 60, 99);
    r[1] = box(300, 330, 60, 90);
    for (int i = 0; i < n; ++i) {
        r[i].votes = 1;
        r[i].hits = 7 + i;
    }
    const int total = add_jitter_boxes(r.data(), n, static_cast<int>(r.size()));
    ASSERT_EQ(total, n * 9);
    for (int i = 0; i < total; ++i) r[i].age = 10;
    ASSERT_EQ(group_detections(r.data(), total), n);
    for (int i = 0; i < n; ++i) {
        const Detection &f = r[i];
        EXPECT_EQ(f.weight, 9);
        EXPECT_EQ(f.votes, 9);
        EXPECT_EQ(f.age, 90);
        if (f.left >= 300 - 1) {
            EXPECT_EQ(f.hits, 8);
            EXPECT_NEAR(f.left, 300, 1);
            EXPECT_NEAR(f.right, 330, 1);
        } else {
            // The eight shifts cancel up to the truncation of each running mean.
            EXPECT_EQ(f.hits, 7);
            EXPECT_NEAR(f.left, 100, 1);
            EXPECT_NEAR(f.top, 60, 1);
            EXPECT_NEAR(f.right, 139, 1);
        }
    }
}

TEST(DetectionOrders, WeightAndWidthDescending) {
    Detection r[4] = {box(0, 9, 0, 9, 2), box(0, 39, 0, 9, 5), box(0, 19, 0, 9, -1),
                      box(0, 29, 0, 9, 3)};
    detections_sort_by_weight(r, 4);
    EXPECT_EQ(r[0].weight, 5);
    EXPECT_EQ(r[1].weight, 3);
    EXPECT_EQ(r[2].weight, 2);
    EXPECT_EQ(r[3].weight, -1);
    detections_sort_by_width(r, 4);
    EXPECT_EQ(r[0].right, 39);
    EXPECT_EQ(r[1].right, 29);
    EXPECT_EQ(r[2].right, 19);
    EXPECT_EQ(r[3].right, 9);
    EXPECT_EQ(detection_compare_weight_desc(&r[0], &r[0]), 0);
}

}  // namespace
