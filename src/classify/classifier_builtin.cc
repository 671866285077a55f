#include <cstdlib>

#include "classify/classifier_model.h"
#include "common/log.h"

// Bytes of the model file chosen at build time, placed by classifier_embed.S.
extern "C" const unsigned char mevo_classifier_model_begin[];
extern "C" const unsigned char mevo_classifier_model_end[];

namespace {
constexpr const char *kTag = "classifier";
}

int classifier_model_builtin(ClassifierModel *model, std::string *error) {
    const size_t len = size_t(mevo_classifier_model_end - mevo_classifier_model_begin);
    ClassifierModel m;
    const int rc = classifier_model_from_bytes(&m, mevo_classifier_model_begin, len, error);
    if (rc != CLASSIFIER_MODEL_OK) return rc;
    m.source = "built-in";
    classifier_model_free(model);
    *model = std::move(m);
    return CLASSIFIER_MODEL_OK;
}

int classifier_model_open(ClassifierModel *model) {
    std::string error;
    const char *path = std::getenv(CLASSIFIER_MODEL_ENV);
    int rc;
    if (path && *path) {
        rc = classifier_model_load(model, path, &error);
        if (rc != CLASSIFIER_MODEL_OK) {
            log_message(kTag, "refusing classifier model %s: %s", path, error.c_str());
            return rc;
        }
    } else {
        rc = classifier_model_builtin(model, &error);
        if (rc != CLASSIFIER_MODEL_OK) {
            log_message(kTag, "built-in classifier model unusable: %s", error.c_str());
            return rc;
        }
    }
    log_message(kTag, "classifier model: %s", model->source.c_str());
    if (classifier_is_untrained(*model)) {
        log_message(kTag,
                    "classifier model is untrained (all table entries 0): every face gets the "
                    "same gender score and age");
    }
    return CLASSIFIER_MODEL_OK;
}
