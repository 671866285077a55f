#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "detect_test_util.h"

namespace {

using detect_test::load_model;
using detect_test::LoadedDetector;
using mevo_test::feature_constant;
using mevo_test::feature_for_code;
using mevo_test::ModelDesc;
using mevo_test::ModelFeature;
using mevo_test::RawModel;

ModelDesc two_stage_model() {
    ModelDesc m;
    m.obj_class = "face";
    m.width = 20;
    m.height = 24;
    m.stages.push_back(mevo_test::stage_requiring(
        0, {feature_for_code(3, 4, 0x10), feature_constant(19, 23, 2)}, 3));
    m.stages.push_back(mevo_test::stage_requiring(1, {feature_for_code(7, 2, 0x22, 5)}, 1));
    m.stages[1].features[0].stored_offset = 12345;  // must be ignored
    return m;
}

int load_bytes(Detector *d, const std::string &bytes) {
    const std::string path = detect_test::temp_model_path();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return -1;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    const int status = detector_load(d, path.c_str());
    std::remove(path.c_str());
    return status;
}

bool all_zero(const Detector &d) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&d);
    for (size_t i = 0; i < sizeof d; ++i)
        if (p[i] != 0) return false;
    return true;
}

TEST(DetectorLoad, ReadsEveryField) {
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), two_stage_model()), 0);
    const Detector &d = ld.d;
    EXPECT_STREQ(d.objClass, "face");
    EXPECT_EQ(d.nCasc, 2);
    EXPECT_EQ(d.width, 20);
    EXPECT_EQ(d.height, 24);
    EXPECT_EQ(d.startInd[0], 0);
    EXPECT_EQ(d.startInd[1], 2);
    EXPECT_EQ(d.nDetFeat[0], 2);
    EXPECT_EQ(d.nDetFeat[1], 1);
    EXPECT_EQ(d.th[0], 2);
    EXPECT_EQ(d.th[1], 0);
    EXPECT_EQ(d.type[0], 0);
    EXPECT_EQ(d.type[1], 1);
    ASSERT_NE(d.detectorFeat, nullptr);
    EXPECT_EQ(d.detectorFeat[0].x, 3);
    EXPECT_EQ(d.detectorFeat[0].y, 4);
    EXPECT_EQ(d.detectorFeat[0].table[0x10], 1);
    EXPECT_EQ(d.detectorFeat[2].table[0x22], 5);
    EXPECT_EQ(d.lbp_stride, -1);
    EXPECT_EQ(d.descriptor_stride, -1);
    EXPECT_EQ(d.flip_up_down, 0);
    EXPECT_EQ(d.flip_left_right, 0);
    EXPECT_EQ(d.cumulative, 0);
    EXPECT_EQ(d.scale_type, 0);
    EXPECT_EQ(d.step_type, 0);
    EXPECT_EQ(d.crop.width, 20);
    EXPECT_EQ(d.crop.height, 24);
    EXPECT_EQ(d.window_lbp.format, PIXEL_GRAY8);
    EXPECT_EQ(d.descriptor.width, DETECTOR_DESCRIPTOR_WIDTH);
    EXPECT_EQ(d.descriptor.height, DETECTOR_DESCRIPTOR_HEIGHT);
    EXPECT_EQ(d.descriptor.stride % 4, 0);
}

TEST(DetectorLoad, NineteenCharacterClassAndZeroStages) {
    ModelDesc m;
    m.obj_class = std::string(19, 'x');
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), m), 0);
    EXPECT_EQ(std::string(ld.d.objClass), m.obj_class);
    EXPECT_EQ(ld.d.nCasc, 0);
    EXPECT_EQ(ld.d.detectorFeat, nullptr);
    EXPECT_NE(ld.d.crop.data, nullptr);
}

TEST(DetectorLoad, MissingFileAndWrongMagicAreSilentAndLeaveRecord) {
    Detector d;
    std::memset(&d, 0x5a, sizeof d);
    Detector before;
    std::memcpy(&before, &d, sizeof d);

    testing::internal::CaptureStderr();
    EXPECT_EQ(detector_load(&d, "/nonexistent/model.dat"), 1);
    RawModel raw = mevo_test::model_to_raw(two_stage_model());
    raw.magic = 0x2E2E5C61;
    EXPECT_EQ(load_model(&d, raw), 1);
    EXPECT_EQ(load_bytes(&d, std::string("\x60\x5c\x2e", 3)), 1);  // magic cut short
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(std::memcmp(&d, &before, sizeof d), 0);
}

// Every malformed file is a read failure: status 1, its message, the record cleared (and, under
// the sanitizers, nothing leaked).
TEST(DetectorLoad, RejectsMalformedFiles) {
    struct Case {
        const char *name;
        void (*edit)(RawModel &);
        const char *message;
    } cases[] = {
        {"class name of 20", [](RawModel &r) { r.n_char = 20; },
         "Too long name for object class.\n"},
        {"negative class name", [](RawModel &r) { r.n_char = -1; },
         "Negative length of object class name\n"},
        {"negative stages", [](RawModel &r) { r.n_casc = -1; },
         "Number of stages outside 0 .. 100\n"},
        {"101 stages", [](RawModel &r) { r.n_casc = 101; }, "Number of stages outside 0 .. 100\n"},
        {"zero width", [](RawModel &r) { r.width = 0; }, "Detector window size out of range\n"},
        {"huge height", [](RawModel &r) { r.height = 1 << 20; },
         "Detector window size out of range\n"},
        {"negative feature count",
         [](RawModel &r) {
             r.n_det_feat[0] = -1;
             r.n_det_feat[1] = 4;
         },
         "Negative feature count in a stage\n"},
        {"range past the end", [](RawModel &r) { r.start_ind[1] = 2 + 1; },
         "Stage feature range outside the features\n"},
        {"negative start", [](RawModel &r) { r.start_ind[0] = -1; },
         "Stage feature range outside the features\n"},
        {"feature count beyond the file", [](RawModel &r) { r.n_det_feat[1] = 1000000; },
         "Could not read detectorFeat\n"},
        {"type-0 x at the width", [](RawModel &r) { r.features[0].x = 20; },
         "Feature position outside its image\n"},
        {"type-0 y negative", [](RawModel &r) { r.features[1].y = -1; },
         "Feature position outside its image\n"},
        {"type-0 y at the height", [](RawModel &r) { r.features[1].y = 24; },
         "Feature position outside its image\n"},
        {"type-1 row outside the descriptor", [](RawModel &r) { r.features[2].y = 3; },
         "Feature position outside its image\n"},
        {"feature shared by a type-0 and a type-1 stage",
         [](RawModel &r) {
             r.start_ind[1] = 0;  // the type-1 stage reuses the type-0 stage's first feature
             r.features[0].x = 1;
             r.features[0].y = 1;
         },
         "Feature shared by LBP and descriptor stages\n"},
        {"feature shared with a stage of unknown type",
         [](RawModel &r) {
             r.type[1] = 5;
             r.start_ind[1] = 1;
         },
         "Feature shared by LBP and descriptor stages\n"},
        {"type-1 column outside the descriptor",
         [](RawModel &r) { r.features[2].x = DETECTOR_DESCRIPTOR_WIDTH; },
         "Feature position outside its image\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RawModel raw = mevo_test::model_to_raw(two_stage_model());
        c.edit(raw);
        Detector d;
        std::memset(&d, 0x5a, sizeof d);
        testing::internal::CaptureStderr();
        EXPECT_EQ(load_model(&d, raw), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_TRUE(all_zero(d));
    }
}

TEST(DetectorLoad, AcceptsFeaturesAtTheEdges) {
    ModelDesc m;
    m.width = 20;
    m.height = 24;
    m.stages.push_back(
        mevo_test::stage_requiring(0,
                                   {feature_constant(0, 0, 1), feature_constant(19, 0, 1),
                                    feature_constant(0, 23, 1), feature_constant(19, 23, 1)},
                                   4));
    m.stages.push_back(mevo_test::stage_requiring(
        1, {feature_constant(DETECTOR_DESCRIPTOR_WIDTH - 1, 2, 1), feature_constant(0, 0, 1)}, 2));
    LoadedDetector ld;
    EXPECT_EQ(load_model(ld.get(), m), 0);
}

TEST(DetectorLoad, StagesMayShareFeatures) {
    RawModel raw = mevo_test::model_to_raw(two_stage_model());
    raw.type[1] = 0;
    raw.start_ind[1] = 0;  // second stage reuses the first feature
    raw.features[2].x = 0;
    LoadedDetector ld;
    EXPECT_EQ(load_model(ld.get(), raw), 0);
}

// A stage of unknown type rejects every window and reads nothing, so its positions are not
// checked; preparing their offsets must still be safe.
TEST(DetectorLoad, UnknownStageTypeLoadsAndRejects) {
    RawModel raw = mevo_test::model_to_raw(two_stage_model());
    raw.type[1] = 7;
    raw.features[2].x = 1 << 26;
    raw.features[2].y = 1 << 30;
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), raw), 0);
    detector_prepare(ld.get(), 1920, ld.d.descriptor.stride);
    detect_test::Grey lbp(30, 30, 0);
    ld.d.th[0] = -1;  // let every window pass the first stage
    detector_prepare(ld.get(), lbp->stride, ld.d.descriptor.stride);
    EXPECT_EQ(cascade_eval(lbp.get(), lbp.get(), DetectRect{0, 19, 0, 23}, ld.get()), 1);
}

TEST(DetectorLoad, TruncatedFilesNameTheMissingField) {
    const std::string full = mevo_test::model_bytes(two_stage_model());
    // Header offsets: magic 0, nChar 4, class 8 (4 bytes), nCasc 12, width 16, height 20,
    // startInd 24, nDetFeat 32, th 40, type 48, features 56.
    struct Case {
        size_t length;
        const char *message;
    } cases[] = {
        {4, "Could not read nChar\n"},     {10, "Could not read objClass\n"},
        {12, "Could not read nCasc\n"},    {18, "Could not read width\n"},
        {20, "Could not read height\n"},   {28, "Could not read startInd\n"},
        {36, "Could not read nDetFeat\n"}, {44, "Could not read th\n"},
        {52, "Could not read type\n"},     {56 + 1036 * 2 + 100, "Could not read detectorFeat\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        Detector d;
        testing::internal::CaptureStderr();
        EXPECT_EQ(load_bytes(&d, full.substr(0, c.length)), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
    Detector d;
    EXPECT_EQ(load_bytes(&d, full), 0);
    detector_free(&d, 1);
}

TEST(DetectorPrepare, RecomputesOnlyWhenAStrideChanges) {
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), two_stage_model()), 0);
    Detector *d = ld.get();
    detector_prepare(d, 100, 20000);
    EXPECT_EQ(d->detectorFeat[0].o, 3 + 4 * 100);
    EXPECT_EQ(d->detectorFeat[1].o, 19 + 23 * 100);
    EXPECT_EQ(d->detectorFeat[2].o, 7 + 2 * 20000);

    d->detectorFeat[0].o = -7;
    detector_prepare(d, 100, 20000);
    EXPECT_EQ(d->detectorFeat[0].o, -7);

    detector_prepare(d, 64, 20000);
    EXPECT_EQ(d->detectorFeat[0].o, 3 + 4 * 64);
    EXPECT_EQ(d->detectorFeat[1].o, 19 + 23 * 64);
    EXPECT_EQ(d->detectorFeat[2].o, 7 + 2 * 20000);
    detector_prepare(d, 64, 1000);
    EXPECT_EQ(d->detectorFeat[2].o, 7 + 2 * 1000);
}

TEST(DetectorRotate, HalfTurnMovesType0FeaturesAndReversesCodes) {
    LoadedDetector ld;
    ModelDesc m = two_stage_model();
    m.stages[0].features[0] = feature_for_code(3, 4, 0x01, 9);  // reads 0x01 before the turn
    ASSERT_EQ(load_model(ld.get(), m), 0);
    Detector *d = ld.get();
    d->flip_up_down = DETECTOR_FLIP_ON;
    d->flip_left_right = DETECTOR_FLIP_ON;
    detector_rotate_180(d);
    const DetectorFeature &f = d->detectorFeat[0];
    EXPECT_EQ(f.x, 20 - 1 - 3);
    EXPECT_EQ(f.y, 24 - 1 - 4);
    EXPECT_EQ(f.table[0x80], 9);  // only the top-left neighbour brighter reads the old 0x01
    EXPECT_EQ(f.table[0x01], 0);
    EXPECT_EQ(d->detectorFeat[1].x, 0);  // (19, 23) -> (0, 0)
    EXPECT_EQ(d->detectorFeat[1].y, 0);
    // Type-1 features are left alone.
    EXPECT_EQ(d->detectorFeat[2].x, 7);
    EXPECT_EQ(d->detectorFeat[2].table[0x22], 5);

    for (int code = 0; code < 256; ++code) {
        int reversed = 0;
        for (int b = 0; b < 8; ++b)
            if (code & (1 << b)) reversed |= 1 << (7 - b);
        EXPECT_EQ(f.table[code], reversed == 0x01 ? 9 : 0) << code;
    }
}

TEST(DetectorRotate, OneFlagMirrorsPositionOnly) {
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), two_stage_model()), 0);
    Detector *d = ld.get();
    d->flip_up_down = DETECTOR_FLIP_ON;
    detector_rotate_180(d);
    EXPECT_EQ(d->detectorFeat[0].x, 3);
    EXPECT_EQ(d->detectorFeat[0].y, 24 - 1 - 4);
    EXPECT_EQ(d->detectorFeat[0].table[0x10], 1);
}

TEST(DetectorPrint, DumpsHeaderCountsAndTypes) {
    LoadedDetector ld;
    ASSERT_EQ(load_model(ld.get(), two_stage_model()), 0);
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    ASSERT_NE(f, nullptr);
    detector_print(ld.get(), f);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, len), "face\n2 20 24\n2 1 \n0 1 \n");
    std::free(buf);
}

TEST(DetectorOptions, CumulativeIsStoredAsZeroOrOne) {
    Detector d{};
    detector_set_options(&d, 7, DETECTOR_SCALE_BILIN, DETECTOR_STEP_MS);
    EXPECT_EQ(d.cumulative, 1);
    EXPECT_EQ(d.scale_type, DETECTOR_SCALE_BILIN);
    EXPECT_EQ(d.step_type, DETECTOR_STEP_MS);
}

}  // namespace
