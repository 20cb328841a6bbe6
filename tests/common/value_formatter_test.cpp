#include "common/value_formatter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using common::ValueFormatter;

TEST(ValueFormatter, ReplacementTextsWinOnlyWhenSet) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    ValueFormatter f;
    EXPECT_EQ(f.Format(nan), std::to_string(nan));
    f.nan_text = "0";
    EXPECT_EQ(f.Format(nan), "0");

    f.pos_inf_text = "0";
    EXPECT_EQ(f.Format(inf), "0");
    // A negative infinity needs its own text.
    EXPECT_EQ(f.Format(-inf), std::to_string(-inf));
    f.neg_inf_text = "-big";
    EXPECT_EQ(f.Format(-inf), "-big");
    EXPECT_EQ(f.Format(static_cast<float>(-inf)), "-big");
}

TEST(ValueFormatter, PrecisionAndNotation) {
    struct Case {
        double value;
        int precision;
        bool fixed;
        const char* expected;
    };
    const Case cases[] = {
        {1.5, -1, false, "1.500000"},
        {1.5, 2, true, "1.50"},
        {1.5, 2, false, "1.5"},
        {1234.5678, 2, false, "1.2e+03"},
        {1234.5678, 2, true, "1234.57"},
        {0.0, 0, true, "0"},
    };
    for (const auto& c : cases) {
        ValueFormatter f;
        f.double_precision = c.precision;
        f.fixed = c.fixed;
        EXPECT_EQ(f.Format(c.value), c.expected) << c.value << " p=" << c.precision;
    }
    ValueFormatter f;
    EXPECT_EQ(f.Format(1.5f), "1.500000");
}

TEST(ValueFormatter, FloatAndDoublePrecisionsAreIndependent) {
    ValueFormatter f;
    f.float_precision = 3;
    EXPECT_EQ(f.Format(0.25f), "0.25");
    EXPECT_EQ(f.Format(0.25), "0.250000");
}

TEST(ValueFormatter, StringsAndTruthValues) {
    ValueFormatter f;
    EXPECT_EQ(f.Format(std::string()), "");
    f.empty_text = "-";
    EXPECT_EQ(f.Format(std::string()), "-");
    EXPECT_EQ(f.Format(std::string("abc")), "abc");
    EXPECT_EQ(f.Format(true), "1");
    EXPECT_EQ(f.Format(false), "0");
    f.true_text = "TRUE";
    EXPECT_EQ(f.Format(true), "TRUE");
    EXPECT_EQ(f.Format(false), "0");
}

}  // namespace
