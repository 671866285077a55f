// Shared fixture of the count tests: a private root, a pinned clock and a chosen time zone.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "count/cntdata.h"

namespace count_test {

inline void set_tz(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
}

// Local wall time in the process time zone (daylight-saving flag left to mktime).
inline time_t local(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    struct tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

inline void at(time_t t) {
    clock_set_fixed(int64_t(t) * 1000000);
}

// The application's 18 count types.
struct Types {
    std::vector<std::string> long_names, short_names;
    std::vector<const char *> desc, desc_short;
    std::vector<int32_t> ids;
    Types() {
        long_names = {"Men tot", "Women tot"};
        short_names = {"men tot", "women tot"};
        for (const char *g : {"Men", "Women"}) {
            std::string lower = g[0] == 'M' ? "men" : "women";
            long_names.push_back(std::string(g) + " age 0-14");
            short_names.push_back(lower + "0-14");
            for (int k = 0; k < 6; k++) {
                std::string band = std::to_string(15 + 10 * k) + "-" + std::to_string(24 + 10 * k);
                long_names.push_back(std::string(g) + " age " + band);
                short_names.push_back(lower + band);
            }
            long_names.push_back(std::string(g) + " age 75-");
            short_names.push_back(lower + "75-");
        }
        for (int i = 0; i < 18; i++) {
            desc.push_back(long_names[size_t(i)].c_str());
            desc_short.push_back(short_names[size_t(i)].c_str());
            ids.push_back(300 + i);
        }
    }
};

class CountEnv : public ::testing::Test {
  protected:
    std::string root;

    void SetUp() override {
        char tmpl[] = "/tmp/mevo-count-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        setenv("MEVO_ROOT", root.c_str(), 1);
        mevo_root_reset_for_tests();
        log_set_stderr(false);
        set_tz("Europe/Stockholm");
    }

    void TearDown() override {
        clock_reset();
        file_remove_tree(root);
    }

    std::string tmp_file() const { return mevo_path(CNTDATA_TMP_PATH); }
    std::string flash_file() const { return mevo_path(CNTDATA_SYNC_PATH); }
    std::string totals_tmp() const { return mevo_path(CNTDATA_TOTALS_TMP_PATH); }
    std::string totals_flash() const { return mevo_path(CNTDATA_TOTALS_SYNC_PATH); }

    // A store with explicit configuration at the fixed paths; null on failure.
    std::unique_ptr<cntdata> open_store(int32_t slots = CNTDATA_SLOTS,
                                        int32_t interval = CNTDATA_INTERVAL,
                                        int32_t types = CNTDATA_TYPES,
                                        cntdata_totals *totals = nullptr) {
        static Types t;
        auto c = std::make_unique<cntdata>();
        int rc =
            cntdata_open(c.get(), slots, interval, types, t.ids.data(), t.desc.data(),
                         t.desc_short.data(), totals, tmp_file().c_str(), flash_file().c_str());
        if (rc < 0) return nullptr;
        return c;
    }

    static std::string read(const std::string &path) {
        std::string s;
        file_read_all(path, s);
        return s;
    }

    // Slot k of a count file image.
    static std::vector<int32_t> slot_of(const std::string &image, int k, int types) {
        std::vector<int32_t> v(size_t(types + 1));
        memcpy(v.data(), image.data() + size_t(k) * (types + 1) * 4, v.size() * 4);
        return v;
    }
};

}  // namespace count_test
