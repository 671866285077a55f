#include "classifier_eval.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "classify/classifier.h"
#include "classify/face_classify.h"
#include "image_io.h"
#include "train_common.h"

namespace mevo_train {

namespace {
constexpr int JITTER_DIVISOR = 16;  // add_jitter_boxes moves boxes by width / 16
}

// The counting bands: 0-14, 15-24, 25-34, ..., 65-74, 75+.
int age_band(int age) {
    static const int limits[] = {15, 25, 35, 45, 55, 65, 75};
    int b = 0;
    while (b < 7 && age >= limits[b]) ++b;
    return b;
}

int gender_age_group(int age) {
    static const int limits[GENDER_AGE_GROUPS - 1] = {3, 13, 20, 60};
    int g = 0;
    while (g < GENDER_AGE_GROUPS - 1 && age >= limits[g]) ++g;
    return g;
}

ClassifierScores classifier_evaluate(const std::vector<std::string> &paths,
                                     const ClassifierModel &m) {
    ClassifierScores sc;
    Image patch{};
    image_create_with_stride(&patch, PIXEL_GRAY8, 1, CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE,
                             CLASSIFIER_PATCH_SIZE, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
    size_t gender_ok = 0, band_ok = 0, face_ok = 0, group_ok[GENDER_AGE_GROUPS] = {};
    double abs_err = 0, seconds = 0;
    for (const std::string &path : paths) {
        std::string name = path.substr(path.find_last_of('/') + 1);
        int age = 0, gender = 0;
        if (!utk_labels(name, &age, &gender)) continue;
        Image img{};
        std::string err;
        if (imageio_read_grey(path, &img, &err) != 0) continue;
        auto t0 = std::chrono::steady_clock::now();
        Box b = utk_face_box(img.width, img.height);
        int d = std::max(1, (b.right - b.left + 1) / JITTER_DIVISOR);
        long gsum = 0, asum = 0, fsum = 0;
        int boxes = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                if (face_normalize(&patch, &img, b.left + dx * d, b.right + dx * d, b.top + dy * d,
                                   b.bottom + dy * d) != 0)
                    continue;
                int32_t g = 0, fs = 0, a = 0;
                classify_patch(patch.data, CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE,
                               m.gender_table, 0, &g, m.face_table, m.face_bias, &fs, m.age_table,
                               m.age_bias, &a);
                gsum += gender_to_percent(g, m.gender_divisor);
                asum += classifier_age_from_sum(a, m.age_divisor);
                fsum += fs;
                ++boxes;
            }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        image_free(&img);
        if (boxes == 0) continue;
        long g = gsum / boxes, a = asum / boxes;
        ++sc.faces;
        bool right = g != 0 && (g > 0) == (gender == 0);  // file names: 0 = man
        const int group = gender_age_group(age);
        gender_ok += right;
        group_ok[group] += right;
        ++sc.faces_by_group[group];
        abs_err += std::fabs(double(a) - age);
        band_ok += age_band(int(a)) == age_band(age);
        face_ok += fsum > 0;
    }
    image_free(&patch);
    if (sc.faces) {
        double n = double(sc.faces);
        sc.gender_accuracy = gender_ok / n;
        sc.age_mae = abs_err / n;
        sc.age_band_accuracy = band_ok / n;
        sc.face_positive = face_ok / n;
        sc.seconds_per_face = seconds / n;
        for (int k = 0; k < GENDER_AGE_GROUPS; ++k)
            if (sc.faces_by_group[k])
                sc.gender_accuracy_by_group[k] = group_ok[k] / double(sc.faces_by_group[k]);
    }
    return sc;
}

void print_classifier_scores(FILE *out, const ClassifierScores &s) {
    fprintf(out,
            "| faces | gender accuracy | age MAE (years) | age-band accuracy | face score > 0 | "
            "ms per face (9 boxes) |\n|---|---|---|---|---|---|\n"
            "| %zu | %.2f%% | %.2f | %.2f%% | %.2f%% | %.3f |\n",
            s.faces, 100 * s.gender_accuracy, s.age_mae, 100 * s.age_band_accuracy,
            100 * s.face_positive, 1000 * s.seconds_per_face);
    fprintf(out,
            "\n| gender accuracy by age | 0-2 | 3-12 | 13-19 | 20-59 | 60+ |\n"
            "|---|---|---|---|---|---|\n| faces |");
    for (size_t n : s.faces_by_group) fprintf(out, " %zu |", n);
    fprintf(out, "\n| accuracy |");
    for (double a : s.gender_accuracy_by_group) fprintf(out, " %.2f%% |", 100 * a);
    fprintf(out, "\n");
}

}  // namespace mevo_train
