#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "detect/detection.h"

namespace {

// Coordinates are averaged in 1/64 pixel so that repeated merges keep their fraction.
constexpr int kFixedShift = 6;
constexpr int32_t kFixedOne = 1 << kFixedShift;

// Below this width a jitter step of width / 16 would be 0 or 1 anyway.
constexpr int32_t kJitterMinWidthForScaledStep = 32;
constexpr int32_t kJitterStepDivisor = 16;

struct Shift {
    int dx;
    int dy;
};
// The eight neighbours of a face box; they cancel out when merged back into the face.
constexpr Shift kJitterShifts[DETECTION_JITTER_BOXES] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0},
                                                         {1, 0},   {-1, 1}, {0, 1},  {1, 1}};

double box_area(const Detection &r) {
    return static_cast<double>(r.right - r.left) * static_cast<double>(r.bottom - r.top);
}

// True when the intersection covers more than half of the smaller box.
bool boxes_overlap(const Detection &a, const Detection &b) {
    const double ih = static_cast<double>(std::min(a.bottom, b.bottom) - std::max(a.top, b.top));
    const double iw = static_cast<double>(std::min(a.right, b.right) - std::max(a.left, b.left));
    const double inter = std::max(0.0, ih) * std::max(0.0, iw);
    return std::min(box_area(a), box_area(b)) < 2.0 * inter;
}

// Weighted mean; the products are formed in 64 bits so that large weights cannot overflow, the
// quotient truncates toward zero like the 32-bit division it replaces.
int32_t weighted_mean(int32_t wa, int32_t a, int32_t wb, int32_t b, int32_t w) {
    const int64_t sum = static_cast<int64_t>(wa) * a + static_cast<int64_t>(wb) * b;
    return static_cast<int32_t>(sum / w);
}

void merge_into(Detection &keep, Detection &gone) {
    const int32_t w = keep.weight + gone.weight;
    const int32_t side =
        weighted_mean(gone.weight, gone.right - gone.left, keep.weight, keep.right - keep.left, w);
    keep.left = weighted_mean(gone.weight, gone.left, keep.weight, keep.left, w);
    keep.top = weighted_mean(gone.weight, gone.top, keep.weight, keep.top, w);
    keep.right = keep.left + side;
    keep.bottom = keep.top + side;
    keep.weight = w;
    keep.gender += gone.gender;
    keep.face_score += gone.face_score;
    keep.age += gone.age;
    keep.votes += 1;
    gone.weight = -1;
}

int find_partner(const Detection *records, int count, int i) {
    for (int j = i + 1; j < count; ++j) {
        if (records[j].weight >= 0 && boxes_overlap(records[i], records[j])) return j;
    }
    return -1;
}

}  // namespace

int detection_compare_weight_desc(const void *a, const void *b) {
    const int32_t wa = static_cast<const Detection *>(a)->weight;
    const int32_t wb = static_cast<const Detection *>(b)->weight;
    return (wb > wa) - (wb < wa);
}

int detection_compare_width_desc(const void *a, const void *b) {
    const Detection *da = static_cast<const Detection *>(a);
    const Detection *db = static_cast<const Detection *>(b);
    const int64_t wa = static_cast<int64_t>(da->right) - da->left;
    const int64_t wb = static_cast<int64_t>(db->right) - db->left;
    return (wb > wa) - (wb < wa);
}

void detections_sort_by_weight(Detection *records, int count) {
    if (count > 1) std::qsort(records, count, sizeof(Detection), detection_compare_weight_desc);
}

void detections_sort_by_width(Detection *records, int count) {
    if (count > 1) std::qsort(records, count, sizeof(Detection), detection_compare_width_desc);
}

int group_detections(Detection *records, int count) {
    if (records == nullptr || count <= 0) return 0;
    for (int i = 0; i < count; ++i) {
        records[i].left *= kFixedOne;
        records[i].right *= kFixedOne;
        records[i].top *= kFixedOne;
        records[i].bottom *= kFixedOne;
    }
    int i = 0;
    while (i < count - 1) {
        if (records[i].weight < 0) {
            ++i;
            continue;
        }
        const int j = find_partner(records, count, i);
        if (j < 0) {
            ++i;
            continue;
        }
        merge_into(records[i], records[j]);
    }
    for (int k = 0; k < count; ++k) {
        records[k].left >>= kFixedShift;
        records[k].right >>= kFixedShift;
        records[k].top >>= kFixedShift;
        records[k].bottom >>= kFixedShift;
    }
    detections_sort_by_weight(records, count);
    int survivors = 0;
    while (survivors < count && records[survivors].weight > 0) ++survivors;
    return survivors;
}

int add_jitter_boxes(Detection *records, int count, int capacity) {
    if (records == nullptr || count <= 0) return 0;
    int total = count;
    for (int i = 0; i < count; ++i) {
        if (total >= capacity) break;
        const Detection face = records[i];
        const int32_t width = face.right - face.left + 1;
        const int32_t d = width >= kJitterMinWidthForScaledStep ? width / kJitterStepDivisor : 1;
        for (int s = 0; s < DETECTION_JITTER_BOXES && total < capacity; ++s) {
            Detection box;
            std::memset(&box, 0, sizeof box);
            box.left = face.left + kJitterShifts[s].dx * d;
            box.right = face.right + kJitterShifts[s].dx * d;
            box.top = face.top + kJitterShifts[s].dy * d;
            box.bottom = face.bottom + kJitterShifts[s].dy * d;
            records[total++] = box;
        }
    }
    for (int k = 0; k < total; ++k) {
        records[k].weight = 1;
        records[k].gender = 0;
    }
    return total;
}
