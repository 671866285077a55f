#include "detect/scan.h"

#include <omp.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "detect/lbp.h"

// ThreadSanitizer cannot see the synchronisation inside the OpenMP runtime (libgomp is not built
// for it): its thread pool hand-over and its critical-section lock. Under TSan the same points are
// announced explicitly, so the sanitizer checks our accesses against the real ordering instead of
// reporting the runtime's own hand-overs as races.
#if defined(__SANITIZE_THREAD__)
#define MEVO_DETECT_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MEVO_DETECT_TSAN 1
#endif
#endif
#ifdef MEVO_DETECT_TSAN
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#endif

namespace {

#ifdef MEVO_DETECT_TSAN
// Stand for the unnamed critical section's lock and for the runtime's hand-over of a parallel
// region to its threads and back.
char critical_sync;
char region_sync;
inline void sync_acquire(void *addr) {
    __tsan_acquire(addr);
}
inline void sync_release(void *addr) {
    __tsan_release(addr);
}
#else
inline void sync_acquire(void *) {}
inline void sync_release(void *) {}
#endif

void *critical_lock() {
#ifdef MEVO_DETECT_TSAN
    return &critical_sync;
#else
    return nullptr;
#endif
}

void *region_handover() {
#ifdef MEVO_DETECT_TSAN
    return &region_sync;
#else
    return nullptr;
#endif
}

// Windows at or above this size step by a sixteenth of their larger side.
constexpr int kSmallWindow = 32;
constexpr int kStepDivisor = 16;
constexpr int kFixed8One = 256;   // 8.8 fixed point
constexpr int kCoarseFactor = 3;  // scan_stepMS coarse grid, in window steps
// A coarse window that fails no earlier than this many stages before the end is refined.
constexpr int kRefineStages = 3;
constexpr double kCubeRootOf2 = 1.25992104989487;
constexpr double kShrink125 = 1.25;

struct Offset {
    int dx;
    int dy;
};
// Refinement order around a promising coarse window.
constexpr Offset kRefinements[9] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 0},
                                    {0, 1},   {1, -1}, {1, 0},  {1, 1}};

Detection make_detection(int left, int top, int w, int h) {
    Detection d;
    std::memset(&d, 0, sizeof d);
    d.left = left;
    d.right = left + w - 1;
    d.top = top;
    d.bottom = top + h - 1;
    d.weight = 1;
    return d;
}

DetectRect window_at(const Detector *d, int left, int top) {
    return DetectRect{left, left + d->width - 1, top, top + d->height - 1};
}

// Sums wrap like the 32-bit registers they model, so a hostile table cannot cause undefined
// behaviour; trained tables stay far from the limits.
inline uint32_t stage_sum(const uint8_t *window, const DetectorFeature *f, int n) {
    uint32_t sum = 0;
    for (int k = 0; k < n; ++k) sum += static_cast<uint32_t>(f[k].table[window[f[k].o]]);
    return sum;
}

inline bool stage_passes(uint32_t sum, int32_t threshold) {
    return static_cast<int32_t>(sum) > threshold;
}

// Stages from `first` on, once a type-1 stage is reached: the descriptor lives in the detector's
// shared scratch images, so the caller holds the critical section. Type-0 stages keep reading
// the LBP window (a model lists its type-1 stages last; this keeps a model that does not from
// reading the descriptor at LBP offsets).
int descriptor_stages(const uint8_t *lbp_window, const Image *grey, const DetectRect &window,
                      Detector *d, int first, uint32_t sum) {
    window_descriptor(d, grey, window);
    const uint8_t *descriptor = d->descriptor.data;
    for (int i = first; i < d->nCasc; ++i) {
        const uint8_t *base;
        if (d->type[i] == DETECTOR_STAGE_LBP) {
            base = lbp_window;
        } else if (d->type[i] == DETECTOR_STAGE_DESCRIPTOR) {
            base = descriptor;
        } else {
            return i;
        }
        if (!d->cumulative) sum = 0;
        sum += stage_sum(base, d->detectorFeat + d->startInd[i], d->nDetFeat[i]);
        if (!stage_passes(sum, d->th[i])) return i;
    }
    return d->nCasc;
}

// Copies the crop less its first `skip_cols` columns and `skip_rows` rows into the work image.
bool copy_shifted(Image *work, const Image *crop, int skip_cols, int skip_rows) {
    if (crop->width - skip_cols <= 0 || crop->height - skip_rows <= 0) return false;
    work->width = work->full_width;
    work->height = work->full_height;
    return image_crop(work, crop, skip_cols, crop->width - 1, skip_rows, crop->height - 1) ==
           IMAGE_OK;
}

// Appends the interior (rows 1 .. h - 2, columns 1 .. w - 2) of an LBP image.
int append_interior(uint8_t *out, int pos, int limit, const Image *lbp) {
    for (int y = 1; y + 1 < lbp->height && pos < limit; ++y) {
        const uint8_t *row = image_row(lbp, y);
        const int n = std::min(lbp->width - 2, limit - pos);
        if (n <= 0) break;
        std::memcpy(out + pos, row + 1, static_cast<size_t>(n));
        pos += n;
    }
    return pos;
}

int append_codes(uint8_t *out, int pos, int limit, Detector *d, const Image *source) {
    pos += gradient_codes(out + pos, source, limit - pos);
    lbp_transform(&d->window_lbp, source);
    return append_interior(out, pos, limit, &d->window_lbp);
}

int clamp_capacity(int capacity) {
    return std::min(capacity, DETECT_MAX_DETECTIONS);
}

}  // namespace

int scan_window_step(const Detector *d) {
    const int side = std::max(d->width, d->height);
    return side < kSmallWindow ? 1 : side / kStepDivisor;
}

int scan_window_step8(const Detector *d) {
    const int side = std::max(d->width, d->height);
    return side <= 0 ? 1 : side * kFixed8One / kStepDivisor;
}

int cascade_eval(const Image *lbp, const Image *grey, const DetectRect &window, Detector *d) {
    const uint8_t *lbp_window = image_row(lbp, window.top) + window.left;
    uint32_t sum = 0;
    for (int i = 0; i < d->nCasc; ++i) {
        if (d->type[i] == DETECTOR_STAGE_DESCRIPTOR) {
            int passed;
#pragma omp critical
            {
                sync_acquire(critical_lock());
                passed = descriptor_stages(lbp_window, grey, window, d, i, sum);
                sync_release(critical_lock());
            }
            return passed;
        }
        if (d->type[i] != DETECTOR_STAGE_LBP) return i;
        if (!d->cumulative) sum = 0;
        sum += stage_sum(lbp_window, d->detectorFeat + d->startInd[i], d->nDetFeat[i]);
        if (!stage_passes(sum, d->th[i])) return i;
    }
    return d->nCasc;
}

int gradient_codes(uint8_t *output, const Image *image, int capacity) {
    const int w = image->width;
    const int h = image->height;
    int64_t total = 0;
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = image_row(image, y);
        for (int x = 0; x < w; ++x) total += row[x];
    }
    const int64_t n = static_cast<int64_t>(w) * h;
    int j = 0;
    for (int r = 1; r < h; ++r) {
        const uint8_t *above = image_row(image, r - 1);
        const uint8_t *row = image_row(image, r);
        for (int c = 0; c + 1 < w; ++c) {
            if (j >= capacity - 1) return j;
            const int gx = (row[c + 1] + above[c + 1]) - (row[c] + above[c]);
            const int gy = (row[c] + row[c + 1]) - (above[c] + above[c + 1]);
            // 256 |g| / (|g| + 2 mean): independent of the window's brightness, below 256.
            const int64_t mx = n * (gx < 0 ? -gx : gx);
            const int64_t my = n * (gy < 0 ? -gy : gy);
            output[j] = static_cast<uint8_t>((mx * 256) / (2 * total + mx + 1));
            output[j + 1] = static_cast<uint8_t>((my * 256) / (2 * total + my + 1));
            j += 2;
        }
    }
    return j;
}

void window_descriptor(Detector *d, const Image *grey, const DetectRect &window) {
    Image *crop = &d->crop;
    crop->width = crop->full_width;
    crop->height = crop->full_height;
    image_crop(crop, grey, window.left, window.right, window.top, window.bottom);
    if (d->flip_up_down) image_mirror_vertical(crop);
    if (d->flip_left_right) image_mirror_horizontal(crop);

    Image *desc = &d->descriptor;
    const int limit = desc->stride >= 3 ? desc->stride - 2 : 0;
    uint8_t *out = desc->data + desc->stride + 1;  // row 1, column 1
    int pos = append_codes(out, 0, limit, d, crop);
    while (crop->width != 0 && crop->height != 0 && pos < limit) {
        for (int skip_cols = 0; skip_cols < 2; ++skip_cols) {
            for (int skip_rows = 0; skip_rows < 2; ++skip_rows) {
                if (!copy_shifted(&d->work, crop, skip_cols, skip_rows)) continue;
                image_halve(&d->work);
                pos = append_codes(out, pos, limit, d, &d->work);
            }
        }
        image_halve(crop);
    }
    desc->width = pos + 2;
    desc->height = DETECTOR_DESCRIPTOR_HEIGHT;
    crop->width = d->width;
    crop->height = d->height;
    d->window_lbp.width = d->width;
    d->window_lbp.height = d->height;
    d->work.width = d->width;
    d->work.height = d->height;
}

int scan_grid(Detection *output, int capacity, const Image *lbp, const Image *grey, Detector *d,
              int step) {
    detector_prepare(d, lbp->stride, d->descriptor.stride);
    if (step < 1) step = 1;
    int count = 0;
    for (int top = 0; top < lbp->height - d->height && count < capacity; top += step) {
        for (int left = 0; left < lbp->width - d->width && count < capacity; left += step) {
            if (cascade_eval(lbp, grey, window_at(d, left, top), d) == d->nCasc)
                output[count++] = make_detection(left, top, d->width, d->height);
        }
    }
    return count;
}

int scan_step8(Detection *output, int capacity, const Image *lbp, const Image *grey, Detector *d,
               int step8) {
    detector_prepare(d, lbp->stride, d->descriptor.stride);
    if (step8 < 1) step8 = 1;
    int count = 0;
    for (int64_t y = 0; (y >> 8) < lbp->height - d->height && count < capacity; y += step8) {
        const int top = static_cast<int>(y >> 8);
        for (int64_t x = 0; (x >> 8) < lbp->width - d->width && count < capacity; x += step8) {
            const int left = static_cast<int>(x >> 8);
            if (cascade_eval(lbp, grey, window_at(d, left, top), d) == d->nCasc)
                output[count++] = make_detection(left, top, d->width, d->height);
        }
    }
    return count;
}

namespace {

struct MsGrid {
    int rows;  // K
    int first_top;
    int first_left;
    int columns;
    int direction;  // +1 upright, -1 from the opposite corner
    int coarse;     // S
};

MsGrid ms_grid(const Image *lbp, const Detector *d, int step, bool reflected) {
    MsGrid g;
    g.coarse = kCoarseFactor * step;
    const int free_rows = lbp->height - d->height;
    const int free_cols = lbp->width - d->width;
    g.rows = std::max(0, (g.coarse + free_rows - 3) / g.coarse);
    g.columns = std::max(0, (g.coarse + free_cols - 3) / g.coarse);
    g.direction = reflected ? -1 : 1;
    g.first_top = reflected ? free_rows - 2 : 1;
    g.first_left = reflected ? free_cols - 2 : 1;
    return g;
}

// Evaluates the coarse windows of rows [row_begin, row_end) and their refinements, appending
// at most `capacity` detections to `found` (this thread's own list).
void ms_rows(const MsGrid &g, int row_begin, int row_end, std::vector<Detection> &found,
             int capacity, const Image *lbp, const Image *grey, Detector *d, bool reflected) {
    const int W = lbp->width;
    const int H = lbp->height;
    for (int k = row_begin; k < row_end; ++k) {
        const int top = g.first_top + g.direction * g.coarse * k;
        for (int j = 0; j < g.columns; ++j) {
            const int left = g.first_left + g.direction * g.coarse * j;
            if (cascade_eval(lbp, grey, window_at(d, left, top), d) < d->nCasc - kRefineStages)
                continue;
            for (const Offset &o : kRefinements) {
                const DetectRect w = window_at(d, left + o.dx, top + o.dy);
                if (cascade_eval(lbp, grey, w, d) != d->nCasc) continue;
                Detection det = make_detection(w.left, w.top, d->width, d->height);
                if (reflected) {
                    det.left = W - 1 - w.right;
                    det.right = W - 1 - w.left;
                    det.top = H - 1 - w.bottom;
                    det.bottom = H - 1 - w.top;
                }
                if (int(found.size()) < capacity) found.push_back(det);
            }
        }
    }
}

}  // namespace

namespace {

struct MsJob {
    const MsGrid *grid;
    std::vector<Detection> *parts;  // one list per thread, joined in thread order afterwards
    int capacity;
    int *threads;  // size of the team that ran
    const Image *lbp;
    const Image *grey;
    Detector *detector;
    bool reflected;
};

// One thread's contiguous block of coarse rows, the first K mod T threads taking one more.
__attribute__((noinline)) void ms_thread(const MsJob *job, int t, int threads) {
    sync_acquire(region_handover());
    const int rows = job->grid->rows;
    const int q = rows / threads;
    const int r = rows % threads;
    const int begin = t * q + std::min(t, r);
    const int end = begin + q + (t < r ? 1 : 0);
    std::vector<Detection> &found = job->parts[t];
    found.clear();
    ms_rows(*job->grid, begin, end, found, job->capacity, job->lbp, job->grey, job->detector,
            job->reflected);
    if (t == 0) *job->threads = threads;
    sync_release(region_handover());
}

// The region holds no access of ours, only the runtime's hand-over of `job`, which TSan cannot
// follow; it is therefore left uninstrumented. ms_thread, which does the work, is instrumented.
#ifdef MEVO_DETECT_TSAN
__attribute__((no_sanitize_thread))
#endif
void ms_parallel(const MsJob *job, int max_threads) {
#pragma omp parallel default(none) shared(job) num_threads(max_threads)
    ms_thread(job, omp_get_thread_num(), omp_get_num_threads());
}

}  // namespace

int scan_stepMS(Detection *output, int capacity, const Image *lbp, const Image *grey, Detector *d,
                int step) {
    detector_prepare(d, lbp->stride, d->descriptor.stride);
    if (step < 1) step = 1;
    if (capacity <= 0) return 0;
    const bool reflected = detector_flip_is_half_turn(d->flip_up_down, d->flip_left_right);
    const MsGrid g = ms_grid(lbp, d, step, reflected);
    // Threads collect into lists of their own that are joined in row order, so the result is
    // the same whatever the team size and timing: a recording gives the same faces every run.
    // The lists keep their memory between frames (one set per calling thread).
    static thread_local std::vector<std::vector<Detection>> parts;
    const int max_threads = std::max(1, omp_get_max_threads());
    if (int(parts.size()) < max_threads) parts.resize(size_t(max_threads));
    int threads = 1;
    const MsJob job{&g, parts.data(), capacity, &threads, lbp, grey, d, reflected};
    sync_release(region_handover());
    ms_parallel(&job, max_threads);
    sync_acquire(region_handover());
    int count = 0;
    for (int t = 0; t < threads && count < capacity; ++t) {
        const int take = std::min(int(parts[size_t(t)].size()), capacity - count);
        std::copy_n(parts[size_t(t)].begin(), take, output + count);
        count += take;
    }
    return count;
}

namespace {

bool class_selected(const Detector *d, const char *class_name) {
    return class_name == nullptr || strcasecmp(d->objClass, class_name) == 0;
}

int smallest_window(const Detector *detectors, int count) {
    int a = detectors[0].width < detectors[0].height ? detectors[0].width : detectors[0].height;
    for (int i = 1; i < count; ++i)
        a = std::min(a, std::min(detectors[i].width, detectors[i].height));
    return a;
}

// Runs every selected detector over one level; -1 on an unknown step type.
int scan_level(Detection *out, int capacity, const Image *lbp, const Image *grey,
               Detector *detectors, int count, const char *class_name) {
    int found = 0;
    for (int i = 0; i < count; ++i) {
        Detector *d = &detectors[i];
        if (!class_selected(d, class_name)) continue;
        Detection *next = out + found;
        const int room = capacity - found;
        switch (d->step_type) {
            case DETECTOR_STEP_GRID:
                found += scan_grid(next, room, lbp, grey, d, scan_window_step(d));
                break;
            case DETECTOR_STEP_8:
                found += scan_step8(next, room, lbp, grey, d, scan_window_step8(d));
                break;
            case DETECTOR_STEP_MS:
                found += scan_stepMS(next, room, lbp, grey, d, scan_window_step(d));
                break;
            default:
                std::printf("Unknown step type: %d\n", d->step_type);
                return -1;
        }
    }
    return found;
}

void scale_coordinates(Detection *dets, int n, double factor) {
    for (int i = 0; i < n; ++i) {
        dets[i].left = static_cast<int32_t>(dets[i].left * factor);
        dets[i].right = static_cast<int32_t>(dets[i].right * factor);
        dets[i].top = static_cast<int32_t>(dets[i].top * factor);
        dets[i].bottom = static_cast<int32_t>(dets[i].bottom * factor);
    }
}

// Octave level n: pixel p of the level covers frame pixels p * 2^n .. p * 2^n + 2^n - 1; the
// mapped coordinate is the middle one.
void octave_coordinates(Detection *dets, int n, int level) {
    const int32_t half = level > 0 ? (1 << (level - 1)) : 0;
    for (int i = 0; i < n; ++i) {
        dets[i].left = (dets[i].left << level) + half;
        dets[i].right = (dets[i].right << level) + half;
        dets[i].top = (dets[i].top << level) + half;
        dets[i].bottom = (dets[i].bottom << level) + half;
    }
}

// Resamples the frame by 1 / the cube root of 2 into its own buffer; false when it cannot.
bool shrink_bilinear(Image *frame, int64_t buffer_bytes) {
    const int w = static_cast<int>(frame->width / kCubeRootOf2);
    const int h = static_cast<int>(frame->height / kCubeRootOf2);
    if (w <= 0 || h <= 0) {
        frame->width = w > 0 ? w : 0;
        frame->height = h > 0 ? h : 0;
        return true;
    }
    ScopedImage small;
    if (image_resize(frame, small.get(), w, h, IMAGE_FILTER_BILINEAR) != IMAGE_OK) return false;
    if (static_cast<int64_t>(small->stride) * h > buffer_bytes) return false;
    std::memcpy(frame->data, small->data, static_cast<size_t>(small->stride) * h);
    frame->stride = small->stride;
    frame->width = w;
    frame->height = h;
    return true;
}

// Moves the region to the top-left of the frame's buffer and makes it the frame's view. Rows move
// up and left only, so copying them in ascending order never overwrites a row still to be read.
void take_region(Image *frame, const DetectRect &r) {
    const int w = r.right - r.left + 1;
    const int h = r.bottom - r.top + 1;
    for (int y = 0; y < h; ++y)
        std::memmove(image_row(frame, y), image_row(frame, r.top + y) + r.left,
                     static_cast<size_t>(w));
    frame->width = w;
    frame->height = h;
}

struct FrameGeometry {
    int32_t width, height, stride;
};

}  // namespace

int lbp_detect(Detection *detections, int capacity, Image *frame, Detector *detectors, int count,
               const char *class_name, const DetectRect *region, int start_shift) {
    for (int i = 1; i < count; ++i) {
        detectors[i].cumulative = detectors[0].cumulative;
        detectors[i].scale_type = detectors[0].scale_type;
        detectors[i].step_type = detectors[0].step_type;
    }
    if (frame == nullptr || frame->format != PIXEL_GRAY8) {
        std::fputs("Not gray scale image\n", stderr);
        return 0;
    }
    const FrameGeometry entry{frame->width, frame->height, frame->stride};
    const int64_t buffer_bytes = static_cast<int64_t>(entry.stride) * entry.height;
    auto finish = [&](int result) {
        frame->width = entry.width;
        frame->height = entry.height;
        frame->stride = entry.stride;
        return result;
    };

    DetectRect clamped{0, entry.width - 1, 0, entry.height - 1};
    if (region != nullptr) {
        clamped.left = std::max(region->left, 0);
        clamped.top = std::max(region->top, 0);
        clamped.right = std::min(region->right, entry.width - 1);
        clamped.bottom = std::min(region->bottom, entry.height - 1);
        // A region that misses the frame leaves nothing to scan.
        if (clamped.right < clamped.left || clamped.bottom < clamped.top) return finish(0);
        take_region(frame, clamped);
    }
    for (int i = 0; i < start_shift; ++i) image_halve(frame);
    if (count <= 0 || detectors == nullptr) return finish(0);

    ScopedImage lbp;
    if (image_create(lbp.get(), PIXEL_GRAY8, 1, frame->width, frame->height, IMAGE_INTERLEAVED,
                     IMAGE_ORIGIN_TOP) != IMAGE_OK)
        return finish(0);
    const int smallest = smallest_window(detectors, count);
    capacity = clamp_capacity(capacity);
    if (smallest >= std::min(frame->width, frame->height) || capacity <= 0) return finish(0);

    const int scale_type = detectors[0].scale_type;
    int level = std::max(start_shift, 0);
    double factor = static_cast<double>(int64_t{1} << std::min(level, 62));
    int found = 0;
    do {
        lbp_transform(lbp.get(), frame);
        const int added = scan_level(detections + found, capacity - found, lbp.get(), frame,
                                     detectors, count, class_name);
        if (added < 0) return finish(-1);
        Detection *fresh = detections + found;
        found += added;
        bool next_level = true;
        switch (scale_type) {
            case DETECTOR_SCALE_OCTAVE:
                octave_coordinates(fresh, added, level);
                ++level;
                image_halve(frame);
                break;
            case DETECTOR_SCALE_BILIN:
                scale_coordinates(fresh, added, factor);
                next_level = shrink_bilinear(frame, buffer_bytes);
                factor *= kCubeRootOf2;
                break;
            case DETECTOR_SCALE_BILIN125:
                scale_coordinates(fresh, added, factor);
                image_shrink_125(frame);
                factor *= kShrink125;
                break;
            default:
                std::fprintf(stderr, "Unknown scale_type: %d\n", scale_type);
                next_level = false;
                break;
        }
        if (!next_level) break;
    } while (std::min(frame->width, frame->height) > smallest && found < capacity);

    if (region != nullptr) {
        for (int i = 0; i < found; ++i) {
            detections[i].left += clamped.left;
            detections[i].right += clamped.left;
            detections[i].top += clamped.top;
            detections[i].bottom += clamped.top;
        }
    }
    return finish(found);
}
