#include "common/ov_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "common/log.h"

namespace {

TEST(Number2String, SizesAndGrowth) {
    log_set_stderr(false);
    OvNumber2String *n = ov_number2string_new(0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->capacity, 21u);
    char *before = n->buffer;
    EXPECT_STREQ(ov_number2string_int(n, INT_MIN), "-2147483648");
    EXPECT_EQ(n->buffer, before);  // fits, no reallocation
    EXPECT_EQ(n->capacity, 21u);
    std::string big = ov_number2string_double(n, 1e30, 3);
    EXPECT_EQ(big, "1000000000000000019884624838656.000");
    EXPECT_EQ(n->capacity, big.size() + 1);
    ov_number2string_free(n);

    n = ov_number2string_new(4);
    EXPECT_EQ(n->capacity, 5u);
    ov_number2string_free(n);
    ov_number2string_free(nullptr);  // logged, no crash
}

TEST(Number2String, Formats) {
    OvNumber2String *n = ov_number2string_new(1);
    ASSERT_NE(n, nullptr);
    struct Case {
        double v;
        int decimals;
        const char *text;
    } cases[] = {{-0.5, 2, "-0.50"},
                 {9.996, 2, "10.00"},
                 {-9.996, 2, "-10.00"},
                 {0.0, 0, "0"},
                 {123.456, 1, "123.5"}};
    for (const Case &c : cases) EXPECT_STREQ(ov_number2string_double(n, c.v, c.decimals), c.text);
    EXPECT_STREQ(ov_number2string_int(n, 0), "0");
    EXPECT_STREQ(ov_number2string_int(n, -42), "-42");
    ov_number2string_free(n);
}

// Rounding that adds a digit must not overrun a buffer sized exactly for the unrounded text.
TEST(Number2String, RoundingCarryFitsExactBuffer) {
    OvNumber2String *n = ov_number2string_new(4);  // 5 bytes: "9.99" fits, "10.00" does not
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(ov_number2string_double(n, 9.996, 2), "10.00");
    EXPECT_GE(n->capacity, 6u);
    ov_number2string_free(n);
}

}  // namespace
