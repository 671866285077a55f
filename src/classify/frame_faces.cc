#include "classify/frame_faces.h"

#include <algorithm>

#include "classify/classifier.h"
#include "classify/face_classify.h"

namespace {

int build_detection_image(const Image *frame, const DetectRect *region, Image *out) {
    out->width = out->full_width;
    out->height = out->full_height;
    if (region) {
        return image_crop(out, frame, region->left, region->right, region->top, region->bottom);
    }
    return image_to_gray(out, frame);
}

// Index of the first face narrower than min_rect in faces sorted widest first.
int cut_narrow(const Detection *faces, int count, int32_t min_rect) {
    int k = 0;
    while (k < count && faces[k].right - faces[k].left >= min_rect) ++k;
    return k;
}

void reset_attributes(Detection *faces, int count) {
    for (int i = 0; i < count; ++i) {
        faces[i].gender = 0;
        faces[i].face_score = 0;
        faces[i].age = 0;
        faces[i].votes = 1;
        faces[i].hits = faces[i].weight;
    }
}

void average_over_votes(Detection *faces, int count) {
    for (int i = 0; i < count; ++i) {
        // A jitter box left alone by the second grouping carries votes 0; it stands for itself.
        const int32_t votes = faces[i].votes > 0 ? faces[i].votes : 1;
        faces[i].gender /= votes;
        faces[i].age /= votes;
    }
}

}  // namespace

int frame_faces_find(const Image *frame, const DetectRect *region, Image *detection_image,
                     Detector *detectors, int detector_count, const ClassifierModel &model,
                     const FrameFacesConfig &config, Detection *detections, int capacity) {
    if (build_detection_image(frame, region, detection_image) != IMAGE_OK) return -1;
    int raw = 0;
    if (detector_count > 0 && capacity > 0) {
        raw = lbp_detect(detections, capacity, detection_image, detectors, detector_count, nullptr,
                         nullptr, config.start_shift);
        if (raw < 0) raw = 0;
    }
    int k = group_detections(detections, raw);
    detections_sort_by_width(detections, k);
    k = cut_narrow(detections, k, config.min_rect);
    reset_attributes(detections, k);
    k = add_jitter_boxes(detections, k, capacity);
    if (k == 0) return 0;

    if (build_detection_image(frame, region, detection_image) != IMAGE_OK) return -1;
    classify_faces_with_model(detection_image, detections, k, model, config.gender_bias,
                              detectors[0].flip_up_down, detectors[0].flip_left_right);
    for (int i = 0; i < k; ++i) {
        detections[i].gender = gender_to_percent(detections[i].gender, model.gender_divisor);
    }
    k = group_detections(detections, k);
    average_over_votes(detections, k);
    return k;
}

int32_t frame_faces_start_shift(const Detector *detectors, int detector_count, int32_t min_rect) {
    constexpr int kSkippableOctaves = 3;
    int64_t biggest = -1;
    int32_t shift = 0;
    for (int s = 0; s < kSkippableOctaves; ++s) {
        for (int i = 0; i < detector_count; ++i) {
            biggest = std::max<int64_t>(biggest, int64_t(detectors[i].width) << s);
        }
        if (min_rect > biggest) ++shift;
    }
    return shift;
}

void frame_faces_offset(Detection *faces, int count, int32_t dx, int32_t dy) {
    for (int i = 0; i < count; ++i) {
        faces[i].left += dx;
        faces[i].right += dx;
        faces[i].top += dy;
        faces[i].bottom += dy;
    }
}
