#include "ipc_tools/connection_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace ipc_tools::connection_string;
using Items = std::map<std::string, std::string>;

TEST(GetKvpsTest, GrammarTable) {
    struct Case {
        std::string text;
        std::optional<Items> expected;
    };
    const std::vector<Case> cases = {
            {"", Items{}},
            {"a=1", std::nullopt},
            {">", std::nullopt},
            {">a", std::nullopt},
            {">a=1", Items{{"a", "1"}}},
            {">a=1>", Items{{"a", "1"}}},
            {">a=1>b=2", Items{{"a", "1"}, {"b", "2"}}},
            {">a=1>>b=2", std::nullopt},
            {">a=1>>", std::nullopt},
            {">=1", std::nullopt},
            {">a=1>=2", std::nullopt},
            {">a=1>b", std::nullopt},
            {">a=1>a=2", Items{{"a", "2"}}},
            {">a=x=y", Items{{"a", "x=y"}}},
            {">a=", Items{{"a", ""}}},
            {"> a = b ", Items{{" a ", " b "}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text: '" + c.text + "'");
        EXPECT_EQ(get_kvps(c.text), c.expected);
    }
}

TEST(CreateKvpTest, WritesItemsThatReadBack) {
    EXPECT_EQ(create_kvp<unsigned int>("timeout_interval", 500u), ">timeout_interval=500");
    EXPECT_EQ(create_kvp<unsigned int>("n", UINT_MAX), ">n=4294967295");
    EXPECT_EQ(create_kvp<std::string>("client_name", ""), ">client_name=");
    EXPECT_EQ(create_kvp<std::string>("opt", "-x map-ont =1"), ">opt=-x map-ont =1");
    const std::string text = create_kvp<std::string>("a", "x=y") + create_kvp<unsigned int>("b", 7u);
    EXPECT_EQ(get_kvps(text), (Items{{"a", "x=y"}, {"b", "7"}}));
}

TEST(CreateKvpTest, RefusesPairsThatWouldInjectItems) {
    // A '>' in a value would end the item early and give the server a key of
    // the value's choosing.
    EXPECT_THROW(create_kvp<std::string>("client_name", "me>align_ref=/etc/passwd"),
                 std::runtime_error);
    EXPECT_THROW(create_kvp<std::string>("a", ">"), std::runtime_error);
    EXPECT_THROW(create_kvp<std::string>("", "v"), std::runtime_error);
    EXPECT_THROW(create_kvp<std::string>("a=b", "v"), std::runtime_error);
    EXPECT_THROW(create_kvp<unsigned int>("a>b", 1u), std::runtime_error);
    try {
        create_kvp<std::string>("barcode_kits", "K1>K2");
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("barcode_kits"), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("K1>K2"), std::string::npos);
    }
}

TEST(ParseValueTest, UnsignedMustReadWholeAndInRange) {
    struct Case {
        std::string text;
        bool ok;
        unsigned int value;
    };
    const std::vector<Case> cases = {
            {"0", true, 0},          {"500", true, 500},        {"  42", true, 42},
            {"+7", true, 7},         {"4294967295", true, UINT_MAX},
            {"4294967296", false, 0}, {"-1", false, 0},         {" -1", false, 0},
            {"abc", false, 0},       {"", false, 0},            {"12abc", false, 0},
            {"12 ", false, 0},       {"1.5", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text: '" + c.text + "'");
        unsigned int value = 99;
        EXPECT_EQ(parse_value(c.text, value), c.ok);
        EXPECT_EQ(value, c.ok ? c.value : 99u);
    }
}

TEST(ParseValueTest, OtherTypes) {
    bool flag = false;
    EXPECT_TRUE(parse_value(std::string("1"), flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(parse_value(std::string("0"), flag));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(parse_value(std::string("true"), flag));
    EXPECT_FALSE(parse_value(std::string("2"), flag));

    unsigned long long big = 0;
    EXPECT_TRUE(parse_value(std::string("18446744073709551615"), big));
    EXPECT_EQ(big, ULLONG_MAX);
    EXPECT_FALSE(parse_value(std::string("18446744073709551616"), big));
    EXPECT_FALSE(parse_value(std::string("-5"), big));

    int number = 0;
    EXPECT_TRUE(parse_value(std::string("-5"), number));
    EXPECT_EQ(number, -5);
    EXPECT_FALSE(parse_value(std::string("2147483648"), number));

    long long wide = 0;
    EXPECT_TRUE(parse_value(std::string("-9223372036854775808"), wide));
    EXPECT_EQ(wide, LLONG_MIN);

    double real = 0;
    EXPECT_TRUE(parse_value(std::string("1.250000"), real));
    EXPECT_DOUBLE_EQ(real, 1.25);
    EXPECT_FALSE(parse_value(std::string("1.2.3"), real));
    float single = 0;
    EXPECT_TRUE(parse_value(std::string("-0.5"), single));
    EXPECT_FLOAT_EQ(single, -0.5f);
    EXPECT_FALSE(parse_value(std::string("1e60"), single));
}

}  // namespace
