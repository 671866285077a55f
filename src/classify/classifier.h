// Gender, face-likeness and age from one normalised grey face patch.
//
// The model is a sum of per-position lookup tables over 8-bit local binary pattern codes taken
// at three resolutions of the patch (50, 40 and 32 pixels square). Every interior position of
// every resolution owns 256 signed 16-bit entries, one per code; a score is its bias plus the
// entries its codes select. The tables live in classify/classifier_model.h.
//
// Table index of code c at interior position (x, y) (x = column, y = row, both 1 .. D - 2) of
// resolution D: CLASSIFIER_BASE_D + ((x - 1) * (D - 2) + (y - 1)) * 256 + c, i.e. positions are
// column-major within a resolution and the resolutions follow each other as 50, 40, 32.
// The face table holds only the D = 32 block, indexed without the base.
//
// All functions are pure: no allocation, no locks; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>

// Side of the normalised face patch in pixels; the tables are built for it.
inline constexpr int CLASSIFIER_PATCH_SIZE = 50;

// The three code-map resolutions and where each one's block starts in the gender and age tables.
inline constexpr int CLASSIFIER_CODES = 256;
inline constexpr int CLASSIFIER_D50 = 50;
inline constexpr int CLASSIFIER_D40 = 40;
inline constexpr int CLASSIFIER_D32 = 32;
inline constexpr int CLASSIFIER_BASE_D50 = 0;
inline constexpr int CLASSIFIER_BASE_D40 = 48 * 48 * CLASSIFIER_CODES;  // 589824
inline constexpr int CLASSIFIER_BASE_D32 =
    CLASSIFIER_BASE_D40 + 38 * 38 * CLASSIFIER_CODES;  // 959488

// Entries of the gender and the age table (all three resolutions) and of the face table (D = 32).
inline constexpr int CLASSIFIER_TABLE_ENTRIES = CLASSIFIER_BASE_D32 + 30 * 30 * CLASSIFIER_CODES;
inline constexpr int CLASSIFIER_FACE_ENTRIES = 30 * 30 * CLASSIFIER_CODES;
static_assert(CLASSIFIER_TABLE_ENTRIES == 1189888);
static_assert(CLASSIFIER_FACE_ENTRIES == 230400);

// Limits of the mapped outputs.
inline constexpr int CLASSIFIER_AGE_MAX = 100;
inline constexpr int CLASSIFIER_GENDER_PERCENT_MAX = 100;
inline constexpr int32_t CLASSIFIER_THRESHOLD_ALL = -2147483647;  // every face passes
inline constexpr int32_t CLASSIFIER_THRESHOLD_NONE = 2147483647;  // no face passes

// Fills the `dst_width` x `dst_height` code map from the `src_width` x `src_height` source
// (both stored row by row without padding). Destination column k reads source column
// (2k(Ws - 1) + (Wd - 1)) / (2(Wd - 1)), k (Ws - 1) / (Wd - 1) rounded half up, rows likewise;
// equal sizes sample one to one. Interior code bits are set where the sampled neighbour is
// strictly brighter than the centre, most significant first in the neighbour order (-1,-1),
// (-1,0), (-1,+1), (0,-1), (0,+1), (+1,-1), (+1,0), (+1,+1) as (dx, dy), dy = -1 the row above.
// The border rows and columns are 0. Sizes below 3 give a map of zeros without sampling.
void lbp_code_map(const uint8_t *src, int src_width, int src_height, uint8_t *dst, int dst_width,
                  int dst_height);

// Scores one patch of `width` x `height` pixels (row by row, stride = width; 50 x 50 for the
// shipped tables). Each sum starts at its bias (sign-extended) and adds the selected entries:
// gender and age over all three resolutions, face over D = 32 only. Returns 0, or 5 when a
// pointer is null or a size is below 2 (the sums are then left untouched).
int classify_patch(const uint8_t *patch, int width, int height, const int16_t *gender_table,
                   int16_t gender_bias, int32_t *gender_sum, const int16_t *face_table,
                   int16_t face_bias, int32_t *face_sum, const int16_t *age_table, int16_t age_bias,
                   int32_t *age_sum);

// Gender sum -> -100 .. 100 (positive = man): s = 1 / (1 + exp(-sum / divisor));
// -100 below 1e-5, 100 above 0.99999, else trunc(0.5 + 200 s) - 100.
int gender_to_percent(int32_t sum, double divisor);

// Face threshold from a probability: trunc(logit(p) * scale) for 0 < p < 1, clamped to the
// int32 range; CLASSIFIER_THRESHOLD_ALL for p < 1e-5 otherwise, else CLASSIFIER_THRESHOLD_NONE.
int32_t face_threshold_from_probability(double probability, double scale);

// Age in years from an age sum: trunc(sum / divisor) clamped to 0 .. CLASSIFIER_AGE_MAX.
// A divisor that is not a positive finite number gives 0.
int32_t classifier_age_from_sum(int32_t age_sum, double divisor);

// The configured gender bias: `text` read as a base-10 integer (strtol), its low 16 bits taken
// as a signed 16-bit value (70000 acts as 4464). Null or unparsable text gives 0, as strtol does.
int16_t classifier_gender_bias_from_text(const char *text);

// Age offsets in years, read as integers at start-up.
struct ClassifierAgeOffsets {
    int32_t all;     // added to every face
    int32_t male;    // added when the mean gender score is > 0
    int32_t female;  // added when the mean gender score is < 0
};

// Tracker attributes of a face from its mean gender score (-100 .. 100) and mean age.
// gender flag: 1.0, -1.0 or 0.0 by the sign of the score.
double classifier_gender_flag(int32_t mean_gender);
// age + offsets.all (+ male or female offset by the sign of the gender score, none for 0),
// clamped to 0.0 .. 100.0.
double classifier_age_value(int32_t mean_age, int32_t mean_gender,
                            const ClassifierAgeOffsets &offsets);
