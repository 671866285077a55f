// The classifier's model data: three signed 16-bit tables and their scalars.
//
// Model file (little-endian, no header, exactly CLASSIFIER_MODEL_FILE_SIZE bytes), in order:
//   offset        bytes      item
//   0             8          face_scale       double, scale of the face threshold
//   8             2379776    gender_table     1189888 x int16
//   2379784       8          age_divisor      double, age sum -> years
//   2379792       460800     face_table       230400 x int16 (the D = 32 positions only)
//   2840592       2          face_bias        int16
//   2840594       2379776    age_table        1189888 x int16
//   5220370       2          age_bias         int16
//   5220372       8          gender_divisor   double, gender sum -> logistic argument
// Table indices: classify/classifier.h. The three doubles must be positive and finite.
//
// The program embeds one model at build time: the CMake cache variable MEVO_CLASSIFIER_FILE
// when set, else package/modules/lbpdetect/stable/classifier.dat when present, else a neutral
// model generated during the build (all table entries 0, default scalars and biases), which
// classifier_is_untrained() reports. The build refuses a file of the wrong size. At run time
// the environment variable MEVO_CLASSIFIER_FILE (a host path, used as given) loads a model file
// instead of the embedded one, to try a retrained model without rebuilding.
//
// Open and free on one thread (start-up, shutdown); an open model is read-only and may be read
// by any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "classify/classifier.h"

inline constexpr size_t CLASSIFIER_MODEL_FILE_SIZE =
    3 * sizeof(double) + 2 * sizeof(int16_t) +
    (2 * size_t(CLASSIFIER_TABLE_ENTRIES) + size_t(CLASSIFIER_FACE_ENTRIES)) * sizeof(int16_t);
static_assert(CLASSIFIER_MODEL_FILE_SIZE == 5220380);

// Scalars of the neutral model (and of the shipped model unless retrained).
inline constexpr double CLASSIFIER_DEFAULT_FACE_SCALE = 7533.853928;
inline constexpr double CLASSIFIER_DEFAULT_AGE_DIVISOR = 1077.178407;
inline constexpr int16_t CLASSIFIER_DEFAULT_FACE_BIAS = 5;
inline constexpr int16_t CLASSIFIER_DEFAULT_AGE_BIAS = 32767;
inline constexpr double CLASSIFIER_DEFAULT_GENDER_DIVISOR = 9013.929798;

// Environment variable naming a model file to load instead of the embedded one.
inline constexpr const char *CLASSIFIER_MODEL_ENV = "MEVO_CLASSIFIER_FILE";

// Status codes.
inline constexpr int CLASSIFIER_MODEL_OK = 0;
inline constexpr int CLASSIFIER_MODEL_EIO = 1;     // cannot open or read the file
inline constexpr int CLASSIFIER_MODEL_ESIZE = 2;   // wrong size or truncated
inline constexpr int CLASSIFIER_MODEL_EVALUE = 3;  // a scalar is not a positive finite number
inline constexpr int CLASSIFIER_MODEL_ENOMEM = 4;  // no memory for the tables

struct ClassifierModel {
    double face_scale = 0;
    const int16_t *gender_table = nullptr;  // CLASSIFIER_TABLE_ENTRIES entries
    double age_divisor = 0;
    const int16_t *face_table = nullptr;  // CLASSIFIER_FACE_ENTRIES entries
    int16_t face_bias = 0;
    const int16_t *age_table = nullptr;  // CLASSIFIER_TABLE_ENTRIES entries
    int16_t age_bias = 0;
    double gender_divisor = 0;
    void *storage = nullptr;  // owned bytes when loaded from a file; null for the embedded model
    std::string source;       // "built-in" or the file path, for log lines
};

// Takes a model from `len` bytes in the file layout. The tables point into `data`, which must
// stay alive and be 2-byte aligned. On failure `error` (when not null) says why.
int classifier_model_from_bytes(ClassifierModel *model, const void *data, size_t len,
                                std::string *error);

// Loads a model file into storage owned by `model`. Refuses a file of the wrong size.
int classifier_model_load(ClassifierModel *model, const char *path, std::string *error);

// Serialises `model` in the file layout (for tools and tests).
std::string classifier_model_serialize(const ClassifierModel &model);

// An all-zero model with the default scalars and biases, in file layout.
std::string classifier_model_neutral_bytes();

// True when every table entry is 0: the outputs then do not depend on the face.
bool classifier_is_untrained(const ClassifierModel &model);

// Releases owned storage and clears the record. A cleared record may be freed again.
void classifier_model_free(ClassifierModel *model);

// The model embedded at build time (tables point into the program's read-only data).
int classifier_model_builtin(ClassifierModel *model, std::string *error);

// The model the program runs with: the file named by MEVO_CLASSIFIER_FILE when that is set and
// not empty (a file that fails is refused, with no fallback), else the embedded model. Logs
// (tag "classifier") which model it took, every refusal, and when the model is untrained.
int classifier_model_open(ClassifierModel *model);
