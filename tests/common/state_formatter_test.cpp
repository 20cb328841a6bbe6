#include "common/state_formatter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/state_context.h"

namespace {

using common::diagnostics::state::IndentationFormatter;
using common::diagnostics::state::JsonFormatter;
using common::diagnostics::state::StateLogger;
using common::diagnostics::state::StateProvider;
using common::diagnostics::state::StateRecord;

StateRecord begin(std::string name) { return {StateRecord::section_begin, std::move(name), {}}; }
StateRecord end(std::string name) { return {StateRecord::section_end, std::move(name), {}}; }
StateRecord entry(std::string name, boost::any value) {
    return {StateRecord::entry, std::move(name), std::move(value)};
}

TEST(StateFormatterTest, IndentedAndJsonTextOfWellFormedLists) {
    struct Case {
        const char* label;
        std::vector<StateRecord> records;
        std::string indented;
        std::string json;
    };
    const Case cases[] = {
            {"empty", {}, "\n", "\n{}"},
            {"one section, one string",
             {begin("Strandlink"), entry("status", std::string("connected")), end("Strandlink")},
             "\nStrandlink\n    status: connected\n",
             "\n{\n    \"Strandlink\": {\n        \"status\": \"connected\"\n    }\n}"},
            {"nested sections and every value type",
             {begin("outer"), entry("signed", -3LL), begin("inner"), entry("unsigned", 7ULL),
              entry("real", 1.5), entry("yes", true), entry("no", false), entry("nothing", {}),
              end("inner"), end("outer")},
             "\nouter\n    signed: -3\n    inner\n        unsigned: 7\n        real: 1.500000\n"
             "        yes: true\n        no: false\n        nothing: \n",
             "\n{\n    \"outer\": {\n        \"signed\": -3,\n        \"inner\": {\n"
             "            \"unsigned\": 7,\n            \"real\": 1.5,\n            \"yes\": true,\n"
             "            \"no\": false,\n            \"nothing\": null\n        }\n    }\n}"},
            {"repeated name keeps the first position and the last value",
             {begin("s"), entry("a", 1LL), entry("b", 2LL), entry("a", 3LL), end("s")},
             "\ns\n    a: 1\n    b: 2\n    a: 3\n",
             "\n{\n    \"s\": {\n        \"a\": 3,\n        \"b\": 2\n    }\n}"},
            {"unknown record kinds are skipped",
             {begin("s"), {static_cast<StateRecord::Kind>(3), "odd", std::string("x")}, end("s")},
             "\ns\n", "\n{\n    \"s\": {}\n}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IndentationFormatter()(c.records), c.indented) << c.label;
        EXPECT_EQ(JsonFormatter()(c.records), c.json) << c.label;
    }
}

TEST(StateFormatterTest, MalformedListsFailWithEachFormattersMessage) {
    struct Case {
        const char* label;
        std::vector<StateRecord> records;
        const char* indented_error;  // null: the indented text is produced
    };
    const Case cases[] = {
            {"end without begin", {entry("a", 1LL), end("s")},
             "Malformed StateTable detected while formatting."},
            {"begin left open", {begin("s"), entry("a", 1LL)}, nullptr},
            {"nested begin left open", {begin("s"), begin("t"), end("t")}, nullptr},
    };
    for (const auto& c : cases) {
        try {
            JsonFormatter()(c.records);
            ADD_FAILURE() << c.label << ": JSON accepted a malformed list";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "malformed state_table") << c.label;
        }
        if (c.indented_error == nullptr) {
            EXPECT_NO_THROW(IndentationFormatter()(c.records)) << c.label;
        } else {
            try {
                IndentationFormatter()(c.records);
                ADD_FAILURE() << c.label << ": indented text accepted a malformed list";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), c.indented_error) << c.label;
            }
        }
    }
}

TEST(StateFormatterTest, ValuesOfOtherTypesAreRefused) {
    const std::vector<StateRecord> records = {entry("bad", 5)};  // an int, not a long long
    const std::string expected =
            std::string("invalid type held as state record value: ") + typeid(int).name();
    for (int json = 0; json < 2; ++json) {
        try {
            json ? JsonFormatter()(records) : IndentationFormatter()(records);
            ADD_FAILURE() << "accepted an int value";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), expected);
        }
    }
}

TEST(StateFormatterTest, JsonSurvivesInvalidUtf8AndNonFiniteNumbers) {
    const std::vector<StateRecord> records = {
            entry("bytes", std::string("ok\xff\xfe")),
            entry("nan", std::numeric_limits<double>::quiet_NaN()),
            entry("inf", std::numeric_limits<double>::infinity()),
    };
    std::string text;
    ASSERT_NO_THROW(text = JsonFormatter()(records));
    EXPECT_EQ(text, "\n{\n    \"bytes\": \"ok\xEF\xBF\xBD\xEF\xBF\xBD\",\n    \"nan\": null,\n"
                    "    \"inf\": null\n}");
}

// Several providers under one name, reported end to end through the registry.
class Counter : public StateProvider {
public:
    explicit Counter(long long count) : m_count(count) {}
    void report_state(StateLogger& logger) const override {
        logger.log("count", m_count);
        auto buffer = logger.create_child_section("buffer");
        logger.log("queued", static_cast<unsigned long long>(m_count * 2));
    }

private:
    long long m_count;
};

TEST(StateFormatterTest, ReportOfSeveralProvidersOfOneName) {
    Counter first(1), second(2);
    auto token_first = common::diagnostics::state::context::register_provider(&first, "Engine");
    auto token_second = common::diagnostics::state::context::register_provider(&second, "Engine");
    const std::string a = std::to_string(reinterpret_cast<std::uintptr_t>(&first));
    const std::string b = std::to_string(reinterpret_cast<std::uintptr_t>(&second));

    const std::string json = common::diagnostics::state::context::request_state(JsonFormatter());
    EXPECT_NE(json.find("\n    \"Engine_" + a +
                        "\": {\n        \"count\": 1,\n        \"buffer\": {\n"
                        "            \"queued\": 2\n        }\n    },\n    \"Engine_" +
                        b + "\": {\n        \"count\": 2,"),
              std::string::npos)
            << json;

    const std::string indented =
            common::diagnostics::state::context::request_state(IndentationFormatter());
    EXPECT_NE(indented.find("Engine_" + a + "\n    count: 1\n    buffer\n        queued: 2\nEngine_" +
                            b + "\n    count: 2\n    buffer\n        queued: 4\n"),
              std::string::npos)
            << indented;
}

}  // namespace
