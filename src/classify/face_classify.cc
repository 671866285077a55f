#include "classify/face_classify.h"

#include <algorithm>
#include <cstdio>

#include "classify/classifier.h"

namespace {

constexpr int kFracBits = 11;
constexpr int kOne = 1 << kFracBits;  // 2048
constexpr int kFracMask = kOne - 1;

struct Rect {
    int left, right, top, bottom;
};

bool rect_inside(const Image *frame, const Rect &r) {
    // right < left or bottom < top cannot come from grouping, but would make a negative-sized
    // copy; refuse it with the rest.
    return r.left >= 0 && r.top >= 0 && r.right < frame->width && r.bottom < frame->height &&
           r.left <= r.right && r.top <= r.bottom;
}

// Bilinear resampling of `src` onto `dst` in 11-bit fixed point. The neighbour index is
// clamped to the source only for one-pixel-wide or -high sources, where its weight is 0 anyway.
void resample_fixed11(const Image &src, Image *dst) {
    const int ws = src.width, hs = src.height;
    const int wd = dst->width, hd = dst->height;
    const int sx = ((ws - 1) * kOne) / (wd - 1);
    const int sy = ((hs - 1) * kOne) / (hd - 1);
    for (int i = 0; i < hd - 1; ++i) {
        const int y = i * sy;
        const int r = y >> kFracBits;
        const int fy = y & kFracMask;
        const uint8_t *row0 = image_row(&src, r);
        const uint8_t *row1 = image_row(&src, std::min(r + 1, hs - 1));
        uint8_t *out = image_row(dst, i);
        for (int k = 0; k < wd - 1; ++k) {
            const int x = k * sx;
            const int cx = x >> kFracBits;
            const int fx = x - cx * kOne;
            const int cx1 = std::min(cx + 1, ws - 1);
            const int top = row0[cx] * (kOne - fx) + fx * row0[cx1];
            const int bottom = row1[cx] * (kOne - fx) + fx * row1[cx1];
            out[k] = uint8_t(((kOne - fy) * top + fy * bottom) >> (2 * kFracBits));
        }
        out[wd - 1] = uint8_t(((kOne - fy) * row0[ws - 1] + fy * row1[ws - 1]) >> kFracBits);
    }
    const uint8_t *last = image_row(&src, hs - 1);
    uint8_t *out = image_row(dst, hd - 1);
    for (int k = 0; k < wd - 1; ++k) {
        const int x = k * sx;
        const int cx = x >> kFracBits;
        const int fx = x - cx * kOne;
        const int cx1 = std::min(cx + 1, ws - 1);
        out[k] = uint8_t((last[cx] * (kOne - fx) + fx * last[cx1]) >> kFracBits);
    }
    out[wd - 1] = last[ws - 1];
}

// face_normalize on a caller-supplied scratch image whose allocation holds the rectangle.
int normalize_into(Image *patch, const Image *frame, const Rect &r, Image *scratch) {
    if (!rect_inside(frame, r)) return 1;
    if (patch->width < 2 || patch->height < 2) return 1;
    scratch->width = scratch->full_width;
    scratch->height = scratch->full_height;
    if (image_crop(scratch, frame, r.left, r.right, r.top, r.bottom) != IMAGE_OK) return 1;
    while (2 * patch->width < scratch->width && 2 * patch->height < scratch->height) {
        if (image_halve(scratch) != IMAGE_OK) return 1;
    }
    resample_fixed11(*scratch, patch);
    return 0;
}

int create_gray(Image *image, int width, int height) {
    return image_create(image, PIXEL_GRAY8, 1, width, height, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
}

Rect face_rect(const Detection &d, const Image *frame, bool half_turn) {
    if (!half_turn) return {d.left, d.right, d.top, d.bottom};
    const int w = frame->width, h = frame->height;
    return {w - 1 - d.right, w - 1 - d.left, h - 1 - d.bottom, h - 1 - d.top};
}

}  // namespace

int face_normalize(Image *patch, const Image *frame, int left, int right, int top, int bottom) {
    if (!patch || !frame) return 1;
    const Rect r{left, right, top, bottom};
    if (!rect_inside(frame, r)) return 1;
    ScopedImage scratch;
    if (create_gray(scratch.get(), right - left + 1, bottom - top + 1) != IMAGE_OK) return 1;
    return normalize_into(patch, frame, r, scratch.get());
}

int classify_faces(const Image *frame, Detection *faces, int count, const int16_t *gender_table,
                   double age_divisor, int16_t gender_bias, const int16_t *face_table,
                   int16_t face_bias, const int16_t *age_table, int16_t age_bias,
                   int32_t flip_up_down, int32_t flip_left_right) {
    const bool half_turn = detector_flip_is_half_turn(flip_up_down, flip_left_right);
    // One scratch image large enough for every face that will be cut, instead of one per face.
    int max_w = 1, max_h = 1;
    for (int i = 0; i < count; ++i) {
        const Rect r = face_rect(faces[i], frame, half_turn);
        if (!rect_inside(frame, r)) continue;
        max_w = std::max(max_w, r.right - r.left + 1);
        max_h = std::max(max_h, r.bottom - r.top + 1);
    }
    ScopedImage patch, scratch;
    if (image_create_with_stride(patch.get(), PIXEL_GRAY8, 1, CLASSIFIER_PATCH_SIZE,
                                 CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE, IMAGE_INTERLEAVED,
                                 IMAGE_ORIGIN_TOP) != IMAGE_OK ||
        create_gray(scratch.get(), max_w, max_h) != IMAGE_OK) {
        std::fputs("ajajajhoppla\n", stderr);
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        Detection &face = faces[i];
        const Rect r = face_rect(face, frame, half_turn);
        if (normalize_into(patch.get(), frame, r, scratch.get()) != 0) {
            std::fputs("Skipping object\n", stderr);
            continue;
        }
        if (half_turn) {
            image_mirror_vertical(patch.get());
            image_mirror_horizontal(patch.get());
        }
        int32_t gender = 0, face_sum = 0, age_sum = 0;
        if (classify_patch(patch->data, CLASSIFIER_PATCH_SIZE, CLASSIFIER_PATCH_SIZE, gender_table,
                           gender_bias, &gender, face_table, face_bias, &face_sum, age_table,
                           age_bias, &age_sum) != 0) {
            continue;  // no tables: leave the outputs as the caller set them
        }
        face.gender = gender;
        face.face_score = face_sum;
        face.age = classifier_age_from_sum(age_sum, age_divisor);
    }
    return 0;
}

int classify_faces_with_model(const Image *frame, Detection *faces, int count,
                              const ClassifierModel &model, int16_t gender_bias,
                              int32_t flip_up_down, int32_t flip_left_right) {
    return classify_faces(frame, faces, count, model.gender_table, model.age_divisor, gender_bias,
                          model.face_table, model.face_bias, model.age_table, model.age_bias,
                          flip_up_down, flip_left_right);
}
