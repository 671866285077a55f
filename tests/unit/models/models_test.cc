// The shipped detector and classifier files against real faces: every face picture is put on a
// plain background at two sizes and must be found by the application's scan (step type 2,
// octave pyramid) with the window it was framed for; the classifier must get the gender of
// most held-out faces right.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "classify/classifier.h"
#include "classify/classifier_model.h"
#include "classify/face_classify.h"
#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/scan.h"
#include "image_io.h"

namespace {

const std::string kModelDir = std::string(MEVO_SOURCE_PACKAGE_DIR) + "/modules/lbpdetect/stable";
const std::string kUtkDir = std::string(MEVO_SHARED_DATA_DIR) + "/faces-utk";

bool dir_exists(const std::string &d) {
    struct stat st;
    return stat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A spread of faces-utk names (every step-th in sorted order, so all ages appear) from the
// validation split of the trainer (FNV-1a of the name, bucket 0 of 5), which it never trained on.
std::vector<std::string> held_out_faces(size_t count) {
    std::vector<std::string> names;
    DIR *d = opendir(kUtkDir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() < 5 || n.compare(n.size() - 4, 4, ".jpg") != 0) continue;
        uint32_t h = 2166136261u;
        for (unsigned char c : n) h = (h ^ c) * 16777619u;
        if (h % 5 == 0) names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    std::vector<std::string> picked;
    size_t step = std::max<size_t>(1, names.size() / count);
    for (size_t i = 0; i < names.size() && picked.size() < count; i += step)
        picked.push_back(names[i]);
    return picked;
}

struct Detectors {
    Detector d[3]{};
    int count = 0;
    ~Detectors() { detector_free(d, count); }
};

void load_shipped(Detectors *dets) {
    for (const char *name : {"face16.dat", "face20.dat", "face25.dat"}) {
        std::string path = kModelDir + "/" + name;
        ASSERT_EQ(detector_load(&dets->d[dets->count], path.c_str()), 0) << path;
        EXPECT_GT(dets->d[dets->count].nCasc, 5) << path;
        detector_set_options(&dets->d[dets->count], 0, DETECTOR_SCALE_OCTAVE, DETECTOR_STEP_MS);
        ++dets->count;
    }
}

TEST(ShippedModels, DetectorFilesLoadWithTheirWindowSizes) {
    Detectors dets;
    load_shipped(&dets);
    ASSERT_EQ(dets.count, 3);
    EXPECT_EQ(dets.d[0].width, 16);
    EXPECT_EQ(dets.d[1].width, 20);
    EXPECT_EQ(dets.d[2].width, 25);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(dets.d[i].width, dets.d[i].height);
        EXPECT_STREQ(dets.d[i].objClass, "face");
        for (int s = 0; s < dets.d[i].nCasc; ++s) EXPECT_EQ(dets.d[i].type[s], DETECTOR_STAGE_LBP);
    }
}

TEST(ShippedModels, ClassifierFileLoadsAndIsTrained) {
    ClassifierModel m;
    std::string err;
    ASSERT_EQ(classifier_model_load(&m, (kModelDir + "/classifier.dat").c_str(), &err),
              CLASSIFIER_MODEL_OK)
        << err;
    EXPECT_FALSE(classifier_is_untrained(m));
    EXPECT_DOUBLE_EQ(m.gender_divisor, CLASSIFIER_DEFAULT_GENDER_DIVISOR);
    EXPECT_DOUBLE_EQ(m.age_divisor, CLASSIFIER_DEFAULT_AGE_DIVISOR);
    EXPECT_EQ(m.age_bias, CLASSIFIER_DEFAULT_AGE_BIAS);
    classifier_model_free(&m);
}

// Does a grouped detection cover the face square (IoU above 0.4)?
bool found(const Detection *d, int n, int left, int right, int top, int bottom) {
    for (int i = 0; i < n; ++i) {
        int iw = std::min(d[i].right, right) - std::max(d[i].left, left) + 1;
        int ih = std::min(d[i].bottom, bottom) - std::max(d[i].top, top) + 1;
        if (iw <= 0 || ih <= 0) continue;
        double inter = double(iw) * ih;
        double a = double(d[i].right - d[i].left + 1) * (d[i].bottom - d[i].top + 1);
        double b = double(right - left + 1) * (bottom - top + 1);
        if (inter / (a + b - inter) > 0.4) return true;
    }
    return false;
}

TEST(ShippedModels, ScanFindsRealFaces) {
    if (!dir_exists(kUtkDir)) GTEST_SKIP() << "no shared data at " << kUtkDir;
    Detectors dets;
    load_shipped(&dets);
    auto names = held_out_faces(30);
    ASSERT_GE(names.size(), 20u);
    std::vector<Detection> out(DETECTION_CAPACITY);
    int hits = 0, tried = 0, false_groups = 0;
    for (const auto &n : names) {
        Image face{};
        std::string err;
        ASSERT_EQ(imageio_read_grey(kUtkDir + "/" + n, &face, &err), 0) << err;
        // The 200 x 200 picture in the middle of a 400 x 400 mid-grey frame; its brow-to-chin
        // square is 150 px wide (the trainer's framing).
        Image frame{};
        ASSERT_EQ(
            image_create(&frame, PIXEL_GRAY8, 1, 400, 400, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP), 0);
        for (int y = 0; y < 400; ++y) memset(image_row(&frame, y), 128, 400);
        for (int y = 0; y < face.height; ++y)
            memcpy(image_row(&frame, 100 + y) + 100, image_row(&face, y), size_t(face.width));
        int raw = lbp_detect(out.data(), int(out.size()), &frame, dets.d, dets.count, nullptr,
                             nullptr, 0);
        int groups = group_detections(out.data(), std::max(raw, 0));
        ++tried;
        bool ok = found(out.data(), groups, 125, 274, 130, 279);
        hits += ok;
        false_groups += groups - (ok ? 1 : 0);
        image_free(&frame);
        image_free(&face);
    }
    EXPECT_GE(hits * 10, tried * 7) << hits << " of " << tried << " faces found";
    // The shipped cascades also accept parts of faces (eyes, mouth) at finer pyramid levels:
    // about 50 other groups per frame today. This bound only catches a model that got worse.
    EXPECT_LE(false_groups, 80 * tried) << "groups away from the face";
}

TEST(ShippedModels, ClassifierGetsMostGendersRight) {
    if (!dir_exists(kUtkDir)) GTEST_SKIP() << "no shared data at " << kUtkDir;
    ClassifierModel m;
    std::string err;
    ASSERT_EQ(classifier_model_load(&m, (kModelDir + "/classifier.dat").c_str(), &err), 0) << err;
    auto names = held_out_faces(60);
    Image patch{};
    ASSERT_EQ(image_create_with_stride(&patch, PIXEL_GRAY8, 1, 50, 50, 50, IMAGE_INTERLEAVED,
                                       IMAGE_ORIGIN_TOP),
              0);
    int right = 0, total = 0;
    double age_error = 0;
    for (const auto &n : names) {
        int age = 0, gender = 0;
        if (sscanf(n.c_str(), "%d_%d_", &age, &gender) != 2) continue;
        Image face{};
        ASSERT_EQ(imageio_read_grey(kUtkDir + "/" + n, &face, &err), 0) << err;
        ASSERT_EQ(face_normalize(&patch, &face, 25, 174, 30, 179), 0);
        int32_t g = 0, f = 0, a = 0;
        classify_patch(patch.data, 50, 50, m.gender_table, 0, &g, m.face_table, m.face_bias, &f,
                       m.age_table, m.age_bias, &a);
        right += (gender_to_percent(g, m.gender_divisor) > 0) == (gender == 0);
        age_error += std::abs(classifier_age_from_sum(a, m.age_divisor) - age);
        ++total;
        image_free(&face);
    }
    image_free(&patch);
    classifier_model_free(&m);
    ASSERT_GT(total, 40);
    EXPECT_GE(right * 100, total * 70) << right << " of " << total;
    EXPECT_LE(age_error / total, 15.0);
}

}  // namespace
