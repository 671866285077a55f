#include "app/application_mevo.h"

#include <cstdio>
#include <cstdlib>

#include "common/log.h"
#include "count/cntdata.h"

char *typedesc[COUNT_TYPES];
char *typedesc_short[COUNT_TYPES];
int32_t count_type_ids[COUNT_TYPES];

namespace {
constexpr const char *kTag = "application_mevo";
constexpr int kFirstBandTop = 14;   // first age band is 0-14
constexpr int kMiddleBands = 6;     // 15-24 ... 65-74
constexpr int kLastBandStart = 75;  // last band is 75-

std::atomic<int32_t> *g_exit_request = nullptr;
cntdata g_counts;
cntdata_totals *g_totals = nullptr;
bool g_counts_open = false;

// Band b (0..7) of one gender: 0 = "0-14", 1..6 = "15+10k-24+10k", 7 = "75-".
void describe_band(char *out, const char *word, const char *age_word, int band) {
    if (band == 0)
        std::snprintf(out, COUNT_TYPE_DESC_SIZE, "%s%s0-%d", word, age_word, kFirstBandTop);
    else if (band <= kMiddleBands)
        std::snprintf(out, COUNT_TYPE_DESC_SIZE, "%s%s%d-%d", word, age_word, 15 + 10 * (band - 1),
                      24 + 10 * (band - 1));
    else
        std::snprintf(out, COUNT_TYPE_DESC_SIZE, "%s%s%d-", word, age_word, kLastBandStart);
}

void fill(void) {
    std::snprintf(typedesc[0], COUNT_TYPE_DESC_SIZE, "Men tot");
    std::snprintf(typedesc_short[0], COUNT_TYPE_DESC_SIZE, "men tot");
    std::snprintf(typedesc[1], COUNT_TYPE_DESC_SIZE, "Women tot");
    std::snprintf(typedesc_short[1], COUNT_TYPE_DESC_SIZE, "women tot");
    for (int band = 0; band < 8; ++band) {
        describe_band(typedesc[2 + band], "Men", " age ", band);
        describe_band(typedesc_short[2 + band], "men", "", band);
        describe_band(typedesc[10 + band], "Women", " age ", band);
        describe_band(typedesc_short[10 + band], "women", "", band);
    }
    for (int i = 0; i < COUNT_TYPES; ++i) count_type_ids[i] = COUNT_TYPE_ID_BASE + i;
}
}  // namespace

int count_types_build(void) {
    count_types_free();
    for (int i = 0; i < COUNT_TYPES; ++i) {
        typedesc[i] = static_cast<char *>(std::calloc(1, COUNT_TYPE_DESC_SIZE));
        typedesc_short[i] = static_cast<char *>(std::calloc(1, COUNT_TYPE_DESC_SIZE));
        if (!typedesc[i] || !typedesc_short[i]) {
            log_message(kTag, "Could not allocate memory for typedesc.");
            count_types_free();
            return -1;
        }
    }
    fill();
    return 0;
}

void count_types_free(void) {
    for (int i = 0; i < COUNT_TYPES; ++i) {
        std::free(typedesc[i]);
        std::free(typedesc_short[i]);
        typedesc[i] = typedesc_short[i] = nullptr;
    }
}

int application_init(std::atomic<int32_t> *exit_request) {
    g_exit_request = exit_request;
    int status = count_types_build();
    // The store borrows the descriptions, so it starts only when they were built. It exits
    // the process when its files cannot be prepared (the host starts us again).
    if (status == 0 && !g_counts_open) {
        g_totals = cntdata_totals_defaults();
        cntdata_extended_init(&g_counts, typedesc, typedesc_short, g_totals);
        g_counts_open = true;
    }
    return status;
}

cntdata *application_counts(void) {
    return g_counts_open ? &g_counts : nullptr;
}

void application_counts_destroy(void) {
    if (!g_counts_open) return;
    cntdata_destroy(&g_counts);
    g_counts_open = false;
    // The totals object stays: the destroyed store no longer maps it, and a late report on the
    // HTTP thread must not find it freed.
}

std::atomic<int32_t> *application_exit_request(void) {
    return g_exit_request;
}

void application_free(void) {
    count_types_free();
}
