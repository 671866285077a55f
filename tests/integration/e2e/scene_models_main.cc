// scene-models DIR: writes the model files of the synthetic "people" scene, for runs of the
// application on that scene outside the C++ tests (the browser tests), so that what those runs
// find and count does not depend on how the shipped cascades take the scene's drawn faces:
//   DIR/face16.dat       the scene cascade (the only detector to install)
//   DIR/classifier.dat   its classifier (load it with MEVO_CLASSIFIER_FILE)
// Run the application at 640 x 360 with Detector MinRect 30 (printed on success).
#include <omp.h>

#include <cstdio>
#include <string>

#include "scene_models.h"

namespace {

bool write_file(const std::string &path, const std::string &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: scene-models DIR\n");
        return 2;
    }
    constexpr int kW = 640, kH = 360, kLevel = 1;  // the scene's size; faces one octave down
    omp_set_num_threads(1);                        // the same models on every machine
    const SyntheticScene *scene = synthetic_scene_people();
    const std::string dir = argv[1];
    const std::string cascade = mevo_test::model_bytes(e2e::scene_cascade(scene, kW, kH, kLevel));
    const std::string classifier = e2e::scene_classifier(scene, kW, kH);
    if (classifier.empty() || !write_file(dir + "/face16.dat", cascade) ||
        !write_file(dir + "/classifier.dat", classifier)) {
        std::fprintf(stderr, "scene-models: cannot write the models into %s\n", dir.c_str());
        return 1;
    }
    std::printf("width %d height %d minrect %d\n", kW, kH, e2e::SCENE_MIN_RECT);
    return 0;
}
