#include "classify/classifier_model.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The file is read into native integers without conversion, as on the camera.
static_assert(std::endian::native == std::endian::little, "model files are little-endian");

namespace {

constexpr size_t kTableBytes = size_t(CLASSIFIER_TABLE_ENTRIES) * sizeof(int16_t);
constexpr size_t kFaceBytes = size_t(CLASSIFIER_FACE_ENTRIES) * sizeof(int16_t);

// Offsets of the items in the file layout.
constexpr size_t kOffFaceScale = 0;
constexpr size_t kOffGender = kOffFaceScale + sizeof(double);
constexpr size_t kOffAgeDivisor = kOffGender + kTableBytes;
constexpr size_t kOffFace = kOffAgeDivisor + sizeof(double);
constexpr size_t kOffFaceBias = kOffFace + kFaceBytes;
constexpr size_t kOffAge = kOffFaceBias + sizeof(int16_t);
constexpr size_t kOffAgeBias = kOffAge + kTableBytes;
constexpr size_t kOffGenderDivisor = kOffAgeBias + sizeof(int16_t);
static_assert(kOffGenderDivisor + sizeof(double) == CLASSIFIER_MODEL_FILE_SIZE);
static_assert(kOffGender % 2 == 0 && kOffFace % 2 == 0 && kOffAge % 2 == 0);

template <typename T>
T read_at(const unsigned char *p, size_t off) {
    T v;
    std::memcpy(&v, p + off, sizeof v);
    return v;
}

template <typename T>
void write_at(std::string &out, size_t off, const T &v) {
    std::memcpy(out.data() + off, &v, sizeof v);
}

bool positive_finite(double v) {
    return std::isfinite(v) && v > 0.0;
}

void set_error(std::string *error, const std::string &text) {
    if (error) *error = text;
}

}  // namespace

int classifier_model_from_bytes(ClassifierModel *model, const void *data, size_t len,
                                std::string *error) {
    if (!model || !data) {
        set_error(error, "no model data");
        return CLASSIFIER_MODEL_EIO;
    }
    if (len != CLASSIFIER_MODEL_FILE_SIZE) {
        set_error(error, "size " + std::to_string(len) + " bytes, expected " +
                             std::to_string(CLASSIFIER_MODEL_FILE_SIZE) +
                             " (wrong size or truncated)");
        return CLASSIFIER_MODEL_ESIZE;
    }
    if (reinterpret_cast<uintptr_t>(data) % alignof(int16_t) != 0) {
        set_error(error, "model data not 2-byte aligned");
        return CLASSIFIER_MODEL_EIO;
    }
    const auto *p = static_cast<const unsigned char *>(data);
    ClassifierModel m;
    m.face_scale = read_at<double>(p, kOffFaceScale);
    m.gender_table = reinterpret_cast<const int16_t *>(p + kOffGender);
    m.age_divisor = read_at<double>(p, kOffAgeDivisor);
    m.face_table = reinterpret_cast<const int16_t *>(p + kOffFace);
    m.face_bias = read_at<int16_t>(p, kOffFaceBias);
    m.age_table = reinterpret_cast<const int16_t *>(p + kOffAge);
    m.age_bias = read_at<int16_t>(p, kOffAgeBias);
    m.gender_divisor = read_at<double>(p, kOffGenderDivisor);
    // A zero or non-finite divisor or scale would turn every age, gender or threshold into
    // nonsense (or an undefined conversion); such a file is not a model.
    if (!positive_finite(m.face_scale) || !positive_finite(m.age_divisor) ||
        !positive_finite(m.gender_divisor)) {
        set_error(error, "face scale, age divisor and gender divisor must be positive numbers");
        return CLASSIFIER_MODEL_EVALUE;
    }
    *model = std::move(m);
    return CLASSIFIER_MODEL_OK;
}

int classifier_model_load(ClassifierModel *model, const char *path, std::string *error) {
    if (!model || !path) {
        set_error(error, "no model file named");
        return CLASSIFIER_MODEL_EIO;
    }
    FILE *f = std::fopen(path, "rb");
    if (!f) {
        set_error(error, std::string("cannot open: ") + std::strerror(errno));
        return CLASSIFIER_MODEL_EIO;
    }
    // One byte more than a model, so that a longer file shows as such.
    const size_t want = CLASSIFIER_MODEL_FILE_SIZE + 1;
    void *buf = std::malloc(want);
    if (!buf) {
        std::fclose(f);
        set_error(error, "out of memory");
        return CLASSIFIER_MODEL_ENOMEM;
    }
    const size_t got = std::fread(buf, 1, want, f);
    const bool read_error = std::ferror(f) != 0;
    std::fclose(f);
    if (read_error) {
        std::free(buf);
        set_error(error, "read error");
        return CLASSIFIER_MODEL_EIO;
    }
    ClassifierModel m;
    const int rc = classifier_model_from_bytes(&m, buf, got, error);
    if (rc != CLASSIFIER_MODEL_OK) {
        std::free(buf);
        return rc;
    }
    classifier_model_free(model);
    m.storage = buf;
    m.source = path;
    *model = std::move(m);
    return CLASSIFIER_MODEL_OK;
}

std::string classifier_model_serialize(const ClassifierModel &model) {
    std::string out(CLASSIFIER_MODEL_FILE_SIZE, '\0');
    write_at(out, kOffFaceScale, model.face_scale);
    if (model.gender_table) std::memcpy(out.data() + kOffGender, model.gender_table, kTableBytes);
    write_at(out, kOffAgeDivisor, model.age_divisor);
    if (model.face_table) std::memcpy(out.data() + kOffFace, model.face_table, kFaceBytes);
    write_at(out, kOffFaceBias, model.face_bias);
    if (model.age_table) std::memcpy(out.data() + kOffAge, model.age_table, kTableBytes);
    write_at(out, kOffAgeBias, model.age_bias);
    write_at(out, kOffGenderDivisor, model.gender_divisor);
    return out;
}

std::string classifier_model_neutral_bytes() {
    ClassifierModel neutral;
    neutral.face_scale = CLASSIFIER_DEFAULT_FACE_SCALE;
    neutral.age_divisor = CLASSIFIER_DEFAULT_AGE_DIVISOR;
    neutral.face_bias = CLASSIFIER_DEFAULT_FACE_BIAS;
    neutral.age_bias = CLASSIFIER_DEFAULT_AGE_BIAS;
    neutral.gender_divisor = CLASSIFIER_DEFAULT_GENDER_DIVISOR;
    return classifier_model_serialize(neutral);  // null tables serialise as zeros
}

bool classifier_is_untrained(const ClassifierModel &model) {
    auto all_zero = [](const int16_t *t, size_t n) {
        if (!t) return true;
        for (size_t i = 0; i < n; ++i) {
            if (t[i] != 0) return false;
        }
        return true;
    };
    return all_zero(model.gender_table, CLASSIFIER_TABLE_ENTRIES) &&
           all_zero(model.face_table, CLASSIFIER_FACE_ENTRIES) &&
           all_zero(model.age_table, CLASSIFIER_TABLE_ENTRIES);
}

void classifier_model_free(ClassifierModel *model) {
    if (!model) return;
    std::free(model->storage);
    *model = ClassifierModel{};
}
