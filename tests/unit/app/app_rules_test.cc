// Count types, the frame-duty schedule and the start-up decisions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/application_mevo.h"
#include "app/frame_duties.h"
#include "app/startup_rules.h"

TEST(CountTypes, IdentifiersAndDescriptions) {
    ASSERT_EQ(count_types_build(), 0);
    const char *longs[COUNT_TYPES] = {"Men tot",         "Women tot",       "Men age 0-14",
                                      "Men age 15-24",   "Men age 25-34",   "Men age 35-44",
                                      "Men age 45-54",   "Men age 55-64",   "Men age 65-74",
                                      "Men age 75-",     "Women age 0-14",  "Women age 15-24",
                                      "Women age 25-34", "Women age 35-44", "Women age 45-54",
                                      "Women age 55-64", "Women age 65-74", "Women age 75-"};
    const char *shorts[COUNT_TYPES] = {
        "men tot",    "women tot",  "men0-14",    "men15-24",   "men25-34",   "men35-44",
        "men45-54",   "men55-64",   "men65-74",   "men75-",     "women0-14",  "women15-24",
        "women25-34", "women35-44", "women45-54", "women55-64", "women65-74", "women75-"};
    for (int i = 0; i < COUNT_TYPES; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(count_type_ids[i], 300 + i);
        ASSERT_NE(typedesc[i], nullptr);
        ASSERT_NE(typedesc_short[i], nullptr);
        EXPECT_STREQ(typedesc[i], longs[i]);
        EXPECT_STREQ(typedesc_short[i], shorts[i]);
    }
    // A second build replaces the tables instead of leaking or duplicating them.
    ASSERT_EQ(count_types_build(), 0);
    EXPECT_STREQ(typedesc[17], "Women age 75-");
    count_types_free();
    EXPECT_EQ(typedesc[0], nullptr);
}

TEST(FrameDuties, ScheduleByFrameNumber) {
    struct Case {
        int32_t n;
        bool counting;
        unsigned expected;
    } cases[] = {
        {1, true, FRAME_DUTY_TICK},
        {1, false, 0},
        {2, true, 0},
        {99, true, 0},
        {100, true, FRAME_DUTY_FPS},
        {100, false, FRAME_DUTY_FPS},
        {101, true, FRAME_DUTY_TICK},
        {101, false, 0},
        {201, true, FRAME_DUTY_TICK},
        {999, true, 0},
        {1000, true, FRAME_DUTY_FPS | FRAME_DUTY_SANITY},
        {1000, false, FRAME_DUTY_FPS | FRAME_DUTY_SANITY},
        {1001, true, FRAME_DUTY_TICK},
        {2000, false, FRAME_DUTY_FPS | FRAME_DUTY_SANITY},
        {2147483000, true, FRAME_DUTY_FPS | FRAME_DUTY_SANITY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(frame_duties_for(c.n, c.counting), c.expected);
    }
}

TEST(DetectionRegion, ParseScaleAndValidity) {
    struct Case {
        const char *text;
        int w, h, setup_w, setup_h;
        bool valid;
        AppRect rect;
    } cases[] = {
        {"100x500x50x300", 1920, 1080, 1920, 1080, true, {100, 500, 50, 300}},
        // Setup space of 960x540 scaled by 2 on both axes.
        {"100x500x50x300", 1920, 1080, 960, 540, true, {200, 1000, 100, 600}},
        // (int)(0.5 + v * ratio): 3 * 2/3 = 2, 5 * 2/3 = 3.33 -> 3, 7 * 2/3 = 4.67 -> 5.
        {"3x7x5x7", 640, 480, 960, 720, true, {2, 5, 3, 5}},
        {"0x0x0x0", 1920, 1080, 1920, 1080, false, {0, 0, 0, 0}},
        {"500x100x50x300", 1920, 1080, 1920, 1080, false, {500, 100, 50, 300}},
        {"0x1920x0x1079", 1920, 1080, 1920, 1080, false, {0, 1920, 0, 1079}},  // right == W
        {"0x1919x0x1079", 1920, 1080, 1920, 1080, true, {0, 1919, 0, 1079}},
        {"-2x100x0x100", 1920, 1080, 1920, 1080, false, {-1, 100, 0, 100}},
        {"10x20x30", 1920, 1080, 1920, 1080, false, {10, 20, 30, 0}},
        {"", 1920, 1080, 1920, 1080, false, {0, 0, 0, 0}},
        {"10x20x30x40", 1920, 1080, 0, 1080, false, {0, 0, 0, 0}},  // no setup space
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        AppRect r;
        EXPECT_EQ(detection_region_parse(c.text, c.w, c.h, c.setup_w, c.setup_h, &r), c.valid);
        EXPECT_EQ(std::vector<int>({r.left, r.right, r.top, r.bottom}),
                  std::vector<int>({c.rect.left, c.rect.right, c.rect.top, c.rect.bottom}));
    }
    AppRect r;
    EXPECT_FALSE(detection_region_parse(nullptr, 10, 10, 10, 10, &r));
}

TEST(DetectionRegion, FlipMirrorsRowsAndColumns) {
    AppRect roi = {100, 299, 10, 59};
    AppRect same = detection_region_flip(roi, IMG_FLIP_NONE, 640, 480);
    EXPECT_EQ(same.left, 100);
    EXPECT_EQ(same.bottom, 59);
    AppRect both = detection_region_flip(roi, IMG_FLIP_BOTH, 640, 480);
    EXPECT_EQ(std::vector<int>({both.left, both.right, both.top, both.bottom}),
              std::vector<int>({340, 539, 420, 469}));
    AppRect rows = detection_region_flip(roi, 0x0f, 640, 480);
    EXPECT_EQ(std::vector<int>({rows.left, rows.right, rows.top, rows.bottom}),
              std::vector<int>({100, 299, 420, 469}));
}

TEST(DetectorScaleLevels, SkipsOctavesNarrowerThanTheSmallestFace) {
    struct Case {
        std::vector<int> widths;
        int min_rect, biggest, shift;
    } cases[] = {
        {{}, 0, -1, 3},  // no detector: every octave is skipped
        {{}, -1, -1, 0},
        {{16, 20, 25}, 0, 100, 0},   // 25 << 2
        {{16, 20, 25}, 30, 100, 1},  // 25 < 30, 50 and 100 are not
        {{16, 20, 25}, 60, 100, 2},
        {{16, 20, 25}, 101, 100, 3},
        {{20}, 40, 80, 1},  // 40 is not greater than 20 << 1
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.min_rect);
        int biggest = 0, shift = 0;
        detector_scale_levels(c.widths.data(), int(c.widths.size()), c.min_rect, &biggest, &shift);
        EXPECT_EQ(biggest, c.biggest);
        EXPECT_EQ(shift, c.shift);
    }
}

TEST(StartupRules, CounterNameEnabledBitAndGenderBias) {
    EXPECT_TRUE(counter_name_is_default("OVDefaultName"));
    EXPECT_TRUE(counter_name_is_default("OVDefaultName-2"));
    EXPECT_FALSE(counter_name_is_default("Shop OVDefaultName"));
    EXPECT_FALSE(counter_name_is_default("OVDefault"));
    EXPECT_FALSE(counter_name_is_default(""));

    int full = -1;
    EXPECT_TRUE(counting_enabled_from("3", &full));
    EXPECT_EQ(full, 3);
    EXPECT_FALSE(counting_enabled_from("2", &full));
    EXPECT_TRUE(counting_enabled_from("1", nullptr));
    EXPECT_FALSE(counting_enabled_from("", &full));
    EXPECT_EQ(full, 0);

    EXPECT_EQ(gender_bias_from("300"), 300);
    EXPECT_EQ(gender_bias_from("-5"), -5);
    EXPECT_EQ(gender_bias_from("65535"), -1);  // low 16 bits, signed
    EXPECT_EQ(gender_bias_from("65537"), 1);
}
