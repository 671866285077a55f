// libFuzzer target: arbitrary bytes as a detector model file. A file the loader accepts must be
// safe to prepare, turn and scan (every feature read stays inside its image), and a rejected one
// must leave nothing allocated.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "detect/detector.h"
#include "detect/scan.h"
#include "image/image.h"

namespace {

constexpr int kFrameWidth = 40;
constexpr int kFrameHeight = 30;
constexpr int kCapacity = 64;

const std::string &model_path() {
    static const std::string path =
        "/tmp/mevo-fuzz-detect-" + std::to_string(static_cast<long>(getpid())) + ".dat";
    return path;
}

void fill_frame(Image *frame, const uint8_t *data, size_t size) {
    for (int y = 0; y < frame->height; ++y)
        for (int x = 0; x < frame->width; ++x)
            image_row(frame, y)[x] =
                size == 0 ? 0 : static_cast<uint8_t>(data[(y * 31 + x * 7) % size] ^ (x * y));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = std::fopen(model_path().c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    Detector d{};
    if (detector_load(&d, model_path().c_str()) != 0) return 0;

    // The last byte picks the options, so the corpus covers every scan path.
    const uint8_t pick = size > 0 ? data[size - 1] : 0;
    if (pick & 1) {
        d.flip_up_down = DETECTOR_FLIP_ON;
        d.flip_left_right = DETECTOR_FLIP_ON;
        detector_rotate_180(&d);
    }
    detector_set_options(&d, pick & 2, (pick >> 2) % 3, (pick >> 4) % 3);
    Image frame{};
    if (image_create(&frame, PIXEL_GRAY8, 1, kFrameWidth, kFrameHeight, IMAGE_INTERLEAVED,
                     IMAGE_ORIGIN_TOP) == IMAGE_OK) {
        fill_frame(&frame, data, size);
        Detection out[kCapacity];
        lbp_detect(out, kCapacity, &frame, &d, 1, nullptr, nullptr, 0);
        image_free(&frame);
    }
    static FILE *sink = std::fopen("/dev/null", "w");
    if (sink != nullptr) detector_print(&d, sink);
    detector_free(&d, 1);
    return 0;
}
