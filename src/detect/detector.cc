#include "detect/detector.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Closes the file on every path out of the loader.
struct FileCloser {
    FILE *f;
    ~FileCloser() {
        if (f != nullptr) std::fclose(f);
    }
};

void release_detector(Detector *d) {
    std::free(d->detectorFeat);
    image_free(&d->crop);
    image_free(&d->work);
    image_free(&d->window_lbp);
    image_free(&d->descriptor);
    std::memset(d, 0, sizeof *d);
}

// Every failure after the record was cleared: message, nothing left allocated.
int load_failure(Detector *d, const char *message) {
    std::fputs(message, stderr);
    release_detector(d);
    return 1;
}

bool read_i32(FILE *f, int32_t *out) {
    return std::fread(out, sizeof *out, 1, f) == 1;
}

bool read_i32_array(FILE *f, int32_t *out, int32_t n) {
    return std::fread(out, sizeof *out, static_cast<size_t>(n), f) == static_cast<size_t>(n);
}

// Bytes between the read position and the end of the file, or -1 when unknown.
long long bytes_left(FILE *f) {
    struct stat st;
    const long pos = std::ftell(f);
    if (pos < 0 || fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size) - pos;
}

int create_grey(Image *image, int width, int height) {
    return image_create(image, PIXEL_GRAY8, 1, width, height, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
}

bool allocate_scratch(Detector *d) {
    return create_grey(&d->crop, d->width, d->height) == IMAGE_OK &&
           create_grey(&d->work, d->width, d->height) == IMAGE_OK &&
           create_grey(&d->window_lbp, d->width, d->height) == IMAGE_OK &&
           create_grey(&d->descriptor, DETECTOR_DESCRIPTOR_WIDTH, DETECTOR_DESCRIPTOR_HEIGHT) ==
               IMAGE_OK;
}

// Stage feature ranges must lie inside the feature array.
bool stage_ranges_valid(const Detector *d) {
    for (int i = 0; i < d->nCasc; ++i) {
        const int64_t first = d->startInd[i];
        if (first < 0 || first + d->nDetFeat[i] > d->nFeat) return false;
    }
    return true;
}

// Features of stages that read pixels must stay inside the image they read: the window for
// type 0, the descriptor buffer for type 1 (other types reject every window and read nothing).
bool feature_positions_valid(const Detector *d) {
    for (int i = 0; i < d->nCasc; ++i) {
        int32_t limit_x;
        int32_t limit_y;
        if (d->type[i] == DETECTOR_STAGE_LBP) {
            limit_x = d->width;
            limit_y = d->height;
        } else if (d->type[i] == DETECTOR_STAGE_DESCRIPTOR) {
            limit_x = d->descriptor.full_width;
            limit_y = d->descriptor.full_height;
        } else {
            continue;
        }
        const DetectorFeature *f = d->detectorFeat + d->startInd[i];
        for (int k = 0; k < d->nDetFeat[i]; ++k) {
            if (f[k].x < 0 || f[k].x >= limit_x || f[k].y < 0 || f[k].y >= limit_y) return false;
        }
    }
    return true;
}

// A feature has one offset, computed with the LBP stride for stages of type < 1 and the
// descriptor stride otherwise; a feature listed by stages of both kinds would be read with the
// wrong one by some of them.
bool feature_strides_consistent(const Detector *d) {
    constexpr uint8_t kLbp = 1;
    constexpr uint8_t kDescriptor = 2;
    std::vector<uint8_t> used(static_cast<size_t>(d->nFeat), 0);
    for (int i = 0; i < d->nCasc; ++i) {
        const uint8_t kind = d->type[i] < DETECTOR_STAGE_DESCRIPTOR ? kLbp : kDescriptor;
        for (int k = 0; k < d->nDetFeat[i]; ++k) {
            uint8_t &u = used[static_cast<size_t>(d->startInd[i] + k)];
            u |= kind;
            if (u == (kLbp | kDescriptor)) return false;
        }
    }
    return true;
}

int load_stages(Detector *d, FILE *f) {
    if (!read_i32_array(f, d->startInd, d->nCasc))
        return load_failure(d, "Could not read startInd\n");
    if (!read_i32_array(f, d->nDetFeat, d->nCasc))
        return load_failure(d, "Could not read nDetFeat\n");
    if (!read_i32_array(f, d->th, d->nCasc)) return load_failure(d, "Could not read th\n");
    if (!read_i32_array(f, d->type, d->nCasc)) return load_failure(d, "Could not read type\n");

    int64_t total = 0;
    for (int i = 0; i < d->nCasc; ++i) {
        if (d->nDetFeat[i] < 0) return load_failure(d, "Negative feature count in a stage\n");
        total += d->nDetFeat[i];
    }
    // A file cannot announce more features than it holds; checking first keeps a corrupt count
    // from turning into a huge allocation.
    const long long left = bytes_left(f);
    if (total > INT32_MAX ||
        (left >= 0 && total > left / static_cast<long long>(sizeof(DetectorFeature))))
        return load_failure(d, "Could not read detectorFeat\n");
    d->nFeat = static_cast<int32_t>(total);
    if (!stage_ranges_valid(d))
        return load_failure(d, "Stage feature range outside the features\n");

    d->detectorFeat = static_cast<DetectorFeature *>(
        std::calloc(total > 0 ? static_cast<size_t>(total) : 1, sizeof(DetectorFeature)));
    if (d->detectorFeat == nullptr) return load_failure(d, "Could allocate memory\n");
    if (std::fread(d->detectorFeat, sizeof(DetectorFeature), static_cast<size_t>(total), f) !=
        static_cast<size_t>(total))
        return load_failure(d, "Could not read detectorFeat\n");
    if (!feature_positions_valid(d)) return load_failure(d, "Feature position outside its image\n");
    if (!feature_strides_consistent(d))
        return load_failure(d, "Feature shared by LBP and descriptor stages\n");
    return 0;
}

constexpr uint8_t reverse_bits8(unsigned v) {
    unsigned r = 0;
    for (int b = 0; b < 8; ++b) {
        if (v & (1u << b)) r |= 1u << (7 - b);
    }
    return static_cast<uint8_t>(r);
}

}  // namespace

int detector_load(Detector *d, const char *path) {
    if (d == nullptr || path == nullptr) return 1;
    FileCloser file{std::fopen(path, "rb")};
    FILE *f = file.f;
    if (f == nullptr) return 1;
    uint32_t magic = 0;
    if (std::fread(&magic, sizeof magic, 1, f) != 1 || magic != DETECTOR_MAGIC) return 1;

    std::memset(d, 0, sizeof *d);
    int32_t n_char = 0;
    if (!read_i32(f, &n_char)) return load_failure(d, "Could not read nChar\n");
    if (n_char >= DETECTOR_CLASS_SIZE) return load_failure(d, "Too long name for object class.\n");
    if (n_char < 0) return load_failure(d, "Negative length of object class name\n");
    if (std::fread(d->objClass, 1, static_cast<size_t>(n_char), f) != static_cast<size_t>(n_char))
        return load_failure(d, "Could not read objClass\n");
    if (!read_i32(f, &d->nCasc)) return load_failure(d, "Could not read nCasc\n");
    if (d->nCasc < 0 || d->nCasc > DETECTOR_MAX_STAGES)
        return load_failure(d, "Number of stages outside 0 .. 100\n");
    if (!read_i32(f, &d->width)) return load_failure(d, "Could not read width\n");
    if (!read_i32(f, &d->height)) return load_failure(d, "Could not read height\n");
    if (d->width < 1 || d->width > DETECTOR_MAX_WINDOW || d->height < 1 ||
        d->height > DETECTOR_MAX_WINDOW)
        return load_failure(d, "Detector window size out of range\n");
    if (!allocate_scratch(d)) return load_failure(d, "Could allocate memory\n");

    if (d->nCasc > 0 && load_stages(d, f) != 0) return 1;
    d->cumulative = 0;
    d->scale_type = DETECTOR_SCALE_OCTAVE;
    d->step_type = DETECTOR_STEP_GRID;
    d->lbp_stride = -1;
    d->descriptor_stride = -1;
    return 0;
}

void detector_set_options(Detector *d, int cumulative, int scale_type, int step_type) {
    d->cumulative = cumulative != 0 ? 1 : 0;
    d->scale_type = scale_type;
    d->step_type = step_type;
}

void detector_prepare(Detector *d, int lbp_stride, int descriptor_stride) {
    if (d->lbp_stride == lbp_stride && d->descriptor_stride == descriptor_stride) return;
    d->lbp_stride = lbp_stride;
    d->descriptor_stride = descriptor_stride;
    for (int i = 0; i < d->nCasc; ++i) {
        const int32_t stride =
            d->type[i] < DETECTOR_STAGE_DESCRIPTOR ? lbp_stride : descriptor_stride;
        DetectorFeature *f = d->detectorFeat + d->startInd[i];
        // Stages of unknown type are not validated (they reject every window and read nothing):
        // their offsets may be garbage, so they wrap instead of overflowing.
        for (int k = 0; k < d->nDetFeat[i]; ++k)
            f[k].o =
                static_cast<int32_t>(static_cast<uint32_t>(f[k].x) +
                                     static_cast<uint32_t>(f[k].y) * static_cast<uint32_t>(stride));
    }
}

void detector_rotate_180(Detector *d) {
    const bool both = detector_flip_is_half_turn(d->flip_up_down, d->flip_left_right);
    for (int i = 0; i < d->nCasc; ++i) {
        if (d->type[i] != DETECTOR_STAGE_LBP) continue;
        DetectorFeature *f = d->detectorFeat + d->startInd[i];
        for (int k = 0; k < d->nDetFeat[i]; ++k) {
            if (d->flip_up_down != 0) f[k].y = d->height - 1 - f[k].y;
            if (d->flip_left_right != 0) f[k].x = d->width - 1 - f[k].x;
            if (both) {
                // A half turn maps each neighbour to the opposite one, which reverses the bits.
                int32_t old[DETECTOR_TABLE_SIZE];
                std::memcpy(old, f[k].table, sizeof old);
                for (unsigned c = 0; c < DETECTOR_TABLE_SIZE; ++c)
                    f[k].table[c] = old[reverse_bits8(c)];
            }
        }
    }
    // Positions changed: force new offsets at the next preparation.
    d->lbp_stride = -1;
    d->descriptor_stride = -1;
}

void detector_print(const Detector *d, FILE *stream) {
    std::fprintf(stream, "%s\n", d->objClass);
    std::fprintf(stream, "%d %d %d\n", d->nCasc, d->width, d->height);
    for (int i = 0; i < d->nCasc; ++i) std::fprintf(stream, "%d ", d->nDetFeat[i]);
    std::fprintf(stream, "\n");
    for (int i = 0; i < d->nCasc; ++i) std::fprintf(stream, "%d ", d->type[i]);
    std::fprintf(stream, "\n");
}

void detector_free(Detector *detectors, int count) {
    if (detectors == nullptr) return;
    for (int i = 0; i < count; ++i) {
        Detector *d = &detectors[i];
        std::free(d->detectorFeat);
        d->detectorFeat = nullptr;
        d->nFeat = 0;
        image_free(&d->crop);
        image_free(&d->work);
        image_free(&d->window_lbp);
        image_free(&d->descriptor);
    }
}
