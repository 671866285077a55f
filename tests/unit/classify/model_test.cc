// The model file: layout, refusal of wrong-size and truncated files, the embedded model.
#include "classify/classifier_model.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/spawn.h"

namespace {

class ModelFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/classify-model-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_set_stderr(false);
        unsetenv(CLASSIFIER_MODEL_ENV);
    }
    void TearDown() override {
        unsetenv(CLASSIFIER_MODEL_ENV);
        log_set_stderr(true);
        file_remove_tree(dir_);
    }
    std::string write(const std::string &name, const std::string &bytes) {
        const std::string path = dir_ + "/" + name;
        EXPECT_EQ(file_write_atomic(path, bytes.data(), bytes.size()), 0);
        return path;
    }
    std::string dir_;
};

// A model whose every item differs from its neighbours', to catch a misplaced offset.
std::string patterned_model(std::vector<int16_t> &g, std::vector<int16_t> &f,
                            std::vector<int16_t> &a) {
    g.resize(CLASSIFIER_TABLE_ENTRIES);
    a.resize(CLASSIFIER_TABLE_ENTRIES);
    f.resize(CLASSIFIER_FACE_ENTRIES);
    for (size_t i = 0; i < g.size(); ++i) g[i] = int16_t(i * 7 + 1);
    for (size_t i = 0; i < a.size(); ++i) a[i] = int16_t(i * 13 + 3);
    for (size_t i = 0; i < f.size(); ++i) f[i] = int16_t(i * 5 + 2);
    ClassifierModel m;
    m.face_scale = 1.5;
    m.gender_table = g.data();
    m.age_divisor = 2.5;
    m.face_table = f.data();
    m.face_bias = -4;
    m.age_table = a.data();
    m.age_bias = 1234;
    m.gender_divisor = 3.5;
    return classifier_model_serialize(m);
}

TEST_F(ModelFile, LoadsEveryItemFromItsPlace) {
    std::vector<int16_t> g, f, a;
    const std::string bytes = patterned_model(g, f, a);
    ASSERT_EQ(bytes.size(), CLASSIFIER_MODEL_FILE_SIZE);
    const std::string path = write("m.dat", bytes);
    ClassifierModel m;
    std::string error;
    ASSERT_EQ(classifier_model_load(&m, path.c_str(), &error), CLASSIFIER_MODEL_OK) << error;
    EXPECT_EQ(m.face_scale, 1.5);
    EXPECT_EQ(m.age_divisor, 2.5);
    EXPECT_EQ(m.gender_divisor, 3.5);
    EXPECT_EQ(m.face_bias, -4);
    EXPECT_EQ(m.age_bias, 1234);
    for (size_t i : {size_t(0), size_t(1), size_t(CLASSIFIER_TABLE_ENTRIES - 1)}) {
        EXPECT_EQ(m.gender_table[i], g[i]);
        EXPECT_EQ(m.age_table[i], a[i]);
    }
    EXPECT_EQ(m.face_table[0], f[0]);
    EXPECT_EQ(m.face_table[CLASSIFIER_FACE_ENTRIES - 1], f.back());
    EXPECT_FALSE(classifier_is_untrained(m));
    EXPECT_EQ(m.source, path);
    classifier_model_free(&m);
    classifier_model_free(&m);  // a cleared record may be freed again
}

TEST_F(ModelFile, RefusesWrongSizeTruncatedAndNonsense) {
    const std::string good = classifier_model_neutral_bytes();
    std::string zero_divisor = good;
    std::fill(zero_divisor.end() - 8, zero_divisor.end(), '\0');  // gender_divisor = 0
    const struct {
        const char *name;
        std::string bytes;
        int want;
    } cases[] = {
        {"truncated", good.substr(0, good.size() - 1), CLASSIFIER_MODEL_ESIZE},
        {"half", good.substr(0, good.size() / 2), CLASSIFIER_MODEL_ESIZE},
        {"empty", "", CLASSIFIER_MODEL_ESIZE},
        {"longer", good + "x", CLASSIFIER_MODEL_ESIZE},
        {"zero-divisor", zero_divisor, CLASSIFIER_MODEL_EVALUE},
    };
    for (const auto &c : cases) {
        const std::string path = write(c.name, c.bytes);
        ClassifierModel m;
        m.face_bias = 77;  // a refused load leaves the record alone
        std::string error;
        EXPECT_EQ(classifier_model_load(&m, path.c_str(), &error), c.want) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_EQ(m.face_bias, 77) << c.name;
    }
    ClassifierModel m;
    std::string error;
    EXPECT_EQ(classifier_model_load(&m, (dir_ + "/missing").c_str(), &error), CLASSIFIER_MODEL_EIO);
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST_F(ModelFile, NeutralModelIsUntrainedWithDefaultScalars) {
    const std::string bytes = classifier_model_neutral_bytes();
    std::vector<int16_t> aligned(bytes.size() / 2);
    std::memcpy(aligned.data(), bytes.data(), bytes.size());
    ClassifierModel m;
    ASSERT_EQ(classifier_model_from_bytes(&m, aligned.data(), bytes.size(), nullptr), 0);
    EXPECT_TRUE(classifier_is_untrained(m));
    EXPECT_EQ(m.face_scale, CLASSIFIER_DEFAULT_FACE_SCALE);
    EXPECT_EQ(m.age_divisor, CLASSIFIER_DEFAULT_AGE_DIVISOR);
    EXPECT_EQ(m.gender_divisor, CLASSIFIER_DEFAULT_GENDER_DIVISOR);
    EXPECT_EQ(m.face_bias, 5);
    EXPECT_EQ(m.age_bias, 32767);
    // One non-zero entry anywhere makes it trained; the last age entry is the farthest.
    const size_t last_age = (CLASSIFIER_MODEL_FILE_SIZE - 8 - 2) / 2 - 1;
    aligned[last_age] = 1;
    ASSERT_EQ(classifier_model_from_bytes(&m, aligned.data(), bytes.size(), nullptr), 0);
    EXPECT_FALSE(classifier_is_untrained(m));
}

TEST_F(ModelFile, EmbeddedModelIsUsable) {
    ClassifierModel m;
    std::string error;
    ASSERT_EQ(classifier_model_builtin(&m, &error), CLASSIFIER_MODEL_OK) << error;
    EXPECT_EQ(m.source, "built-in");
    EXPECT_GT(m.age_divisor, 0.0);
    ASSERT_NE(m.age_table, nullptr);
    ASSERT_EQ(classifier_model_open(&m), CLASSIFIER_MODEL_OK);
    EXPECT_EQ(m.source, "built-in");
    classifier_model_free(&m);
}

TEST_F(ModelFile, EnvironmentSelectsAFileAndRefusalHasNoFallback) {
    std::vector<int16_t> g, f, a;
    const std::string good = write("good.dat", patterned_model(g, f, a));
    const std::string bad = write("bad.dat", std::string(1000, '\0'));
    ClassifierModel m;
    setenv(CLASSIFIER_MODEL_ENV, good.c_str(), 1);
    ASSERT_EQ(classifier_model_open(&m), CLASSIFIER_MODEL_OK);
    EXPECT_EQ(m.source, good);
    EXPECT_EQ(m.age_bias, 1234);
    setenv(CLASSIFIER_MODEL_ENV, bad.c_str(), 1);
    EXPECT_EQ(classifier_model_open(&m), CLASSIFIER_MODEL_ESIZE);
    EXPECT_EQ(m.source, good);  // the model already open stays as it was
    classifier_model_free(&m);
}

TEST_F(ModelFile, BuildCheckRefusesWrongSizeFiles) {
    const std::string neutral = dir_ + "/neutral.dat";
    SpawnOptions opts;
    opts.capture_output = true;
    opts.merge_stderr = true;
    EXPECT_EQ(spawn_run({CLASSIFIER_MODEL_TOOL, "neutral", neutral}, opts).status, 0);
    EXPECT_EQ(file_size(neutral), (long long)CLASSIFIER_MODEL_FILE_SIZE);
    EXPECT_EQ(spawn_run({CLASSIFIER_MODEL_TOOL, "check", neutral}, opts).status, 0);
    std::string bytes;
    ASSERT_EQ(file_read_all(neutral, bytes), 0);
    const std::string cut = write("cut.dat", bytes.substr(0, bytes.size() - 2));
    const SpawnResult r = spawn_run({CLASSIFIER_MODEL_TOOL, "check", cut}, opts);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("refusing to embed classifier model"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("wrong size or truncated"), std::string::npos) << r.output;
}

}  // namespace
