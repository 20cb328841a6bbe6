#include "common/state_context.h"

#include <gtest/gtest.h>

#include <boost/any.hpp>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/concrete_state_logger.h"

namespace {

using common::diagnostics::state::ChildSection;
using common::diagnostics::state::StateLogger;
using common::diagnostics::state::StateProvider;
using common::diagnostics::state::StateRecord;
using common::diagnostics::state::context::register_provider;
using common::diagnostics::state::context::RegisteredProviderToken;
using common::diagnostics::state::context::StateLogging;

// A provider that logs one value per type and, if asked, throws afterwards.
class FakeProvider : public StateProvider {
public:
    enum class Throws { nothing, std_exception, other };

    explicit FakeProvider(std::string value, Throws throws = Throws::nothing)
            : m_value(std::move(value)), m_throws(throws) {}

    void report_state(StateLogger& logger) const override {
        logger.log("value", m_value.c_str());
        auto child = logger.create_child_section("child");
        logger.log("flag", true);
        if (m_throws == Throws::std_exception) {
            throw std::runtime_error("report failed");
        }
        if (m_throws == Throws::other) {
            throw 7;
        }
    }

private:
    std::string m_value;
    Throws m_throws;
};

std::string address_of(const StateProvider& provider) {
    return std::to_string(reinterpret_cast<std::uintptr_t>(&provider));
}

// "<kind><name>" per record, e.g. "(Strandlink", "=value", ")Strandlink".
std::vector<std::string> shape(const std::vector<StateRecord>& records) {
    std::vector<std::string> out;
    for (const auto& record : records) {
        switch (record.kind) {
        case StateRecord::section_begin: out.push_back("(" + record.name); break;
        case StateRecord::section_end: out.push_back(")" + record.name); break;
        default: out.push_back("=" + record.name); break;
        }
    }
    return out;
}

std::vector<std::string> sections(const std::vector<StateRecord>& records) {
    std::vector<std::string> names;
    int depth = 0;
    for (const auto& record : records) {
        if (record.kind == StateRecord::section_begin && depth++ == 0) {
            names.push_back(record.name);
        } else if (record.kind == StateRecord::section_end) {
            --depth;
        }
    }
    return names;
}

TEST(ConcreteStateLoggerTest, RecordsValuesOfEachTypeAndSections) {
    std::vector<StateRecord> records;
    common::diagnostics::state::detail::ConcreteStateLogger logger(records);
    logger.log("text", "chars");
    logger.log("string", std::string("string"));
    logger.log("bool", false);
    logger.log("signed", -5LL);
    logger.log("unsigned", 5ULL);
    {
        auto section = logger.create_child_section("section");
        logger.log("double", 1.5);
    }
    ASSERT_EQ(shape(records), (std::vector<std::string>{"=text", "=string", "=bool", "=signed",
                                                        "=unsigned", "(section", "=double",
                                                        ")section"}));
    EXPECT_EQ(boost::any_cast<std::string>(records[0].value), "chars");
    EXPECT_EQ(boost::any_cast<bool>(records[2].value), false);
    EXPECT_EQ(boost::any_cast<long long>(records[3].value), -5);
    EXPECT_EQ(boost::any_cast<unsigned long long>(records[4].value), 5u);
    EXPECT_TRUE(records[5].value.empty());
    EXPECT_EQ(boost::any_cast<double>(records[6].value), 1.5);
}

// Each test starts from the registry as it is; names are unique per test.
TEST(StateLoggingTest, SectionsByNameThenRegistrationOrder) {
    FakeProvider a("a"), b("b"), c("c");
    const auto before = StateLogging::context().get_state().size();
    {
        auto token_lower = register_provider(&c, "sectionsOrder_lower");
        auto token_upper = register_provider(&a, "SectionsOrder_Upper");
        auto token_b = register_provider(&b, "SectionsOrder_Upper");

        const auto records = StateLogging::context().get_state();
        std::vector<std::string> mine;
        for (const auto& name : sections(records)) {
            if (name.find("ectionsOrder_") != std::string::npos) {
                mine.push_back(name);
            }
        }
        EXPECT_EQ(mine, (std::vector<std::string>{"SectionsOrder_Upper_" + address_of(a),
                                                  "SectionsOrder_Upper_" + address_of(b),
                                                  "sectionsOrder_lower"}));
        token_b = RegisteredProviderToken();  // unregisters b
        const auto after = sections(StateLogging::context().get_state());
        EXPECT_NE(std::find(after.begin(), after.end(), "SectionsOrder_Upper"), after.end())
                << "a single provider reports under the plain name again";
    }
    EXPECT_EQ(StateLogging::context().get_state().size(), before);
}

TEST(StateLoggingTest, SameProviderTwiceReportsTwice) {
    FakeProvider a("a");
    auto first = register_provider(&a, "Twice");
    auto second = register_provider(&a, "Twice");
    const auto names = sections(StateLogging::context().get_state());
    EXPECT_EQ(std::count(names.begin(), names.end(), "Twice_" + address_of(a)), 2);
}

TEST(StateLoggingTest, ThrowingProvidersYieldAnErrorRecordInTheirSection) {
    struct Case {
        FakeProvider::Throws throws;
        const char* name;
        const char* text;
    };
    const Case cases[] = {
            {FakeProvider::Throws::std_exception, "exception reporting state", "report failed"},
            {FakeProvider::Throws::other, "error reporting state", "unknown"},
    };
    for (const auto& c : cases) {
        FakeProvider thrower("t", c.throws);
        FakeProvider next("n");
        auto token = register_provider(&thrower, "Throwing_1");
        auto token_next = register_provider(&next, "Throwing_2");
        const auto records = StateLogging::context().get_state();
        std::vector<StateRecord> mine;
        bool inside = false;
        for (const auto& record : records) {
            if (record.kind == StateRecord::section_begin && record.name.rfind("Throwing_", 0) == 0) {
                inside = true;
            }
            if (inside) {
                mine.push_back(record);
            }
            if (record.kind == StateRecord::section_end && record.name == "Throwing_2") {
                inside = false;
            }
        }
        ASSERT_EQ(shape(mine), (std::vector<std::string>{"(Throwing_1", "=value", "(child", "=flag",
                                                         ")child", "=" + std::string(c.name),
                                                         ")Throwing_1", "(Throwing_2", "=value",
                                                         "(child", "=flag", ")child",
                                                         ")Throwing_2"}));
        EXPECT_EQ(boost::any_cast<std::string>(mine[5].value), c.text);
    }
}

TEST(StateLoggingTest, TokensUnregisterOnceAndMoveAssignmentReleasesTheOld) {
    FakeProvider a("a"), b("b");
    auto count = [](const std::string& name) {
        const auto names = sections(StateLogging::context().get_state());
        return std::count(names.begin(), names.end(), name);
    };
    {
        RegisteredProviderToken outer;
        {
            auto token = register_provider(&a, "Moved");
            RegisteredProviderToken moved(std::move(token));
            outer = std::move(moved);
        }  // the moved-from tokens unregister nothing
        EXPECT_EQ(count("Moved"), 1);

        // Assigning over a live registration unregisters it first.
        outer = register_provider(&b, "Replacement");
        EXPECT_EQ(count("Moved"), 0);
        EXPECT_EQ(count("Replacement"), 1);
    }
    EXPECT_EQ(count("Replacement"), 0);
}

TEST(StateLoggingTest, NullProviderIsRefused) {
    EXPECT_THROW(register_provider(nullptr, "Null"), std::invalid_argument);
    const auto names = sections(StateLogging::context().get_state());
    EXPECT_EQ(std::count(names.begin(), names.end(), "Null"), 0);
}

TEST(StateLoggingTest, RequestStateHandsRecordsToTheFormatter) {
    FakeProvider a("payload");
    auto token = register_provider(&a, "Requested");
    const std::string text = common::diagnostics::state::context::request_state(
            [](const std::vector<StateRecord>& records) {
                return std::to_string(records.size()) + " records";
            });
    EXPECT_EQ(text, "6 records");
    EXPECT_THROW(common::diagnostics::state::context::request_state({}), std::bad_function_call);
}

TEST(StateLoggingTest, RegistrationsFromManyThreadsWhileReporting) {
    std::vector<FakeProvider> providers(8, FakeProvider("x"));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < providers.size(); ++i) {
        threads.emplace_back([&providers, i] {
            for (int round = 0; round < 50; ++round) {
                auto token = register_provider(&providers[i], "Concurrent");
                StateLogging::context().get_state();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto names = sections(StateLogging::context().get_state());
    for (const auto& name : names) {
        EXPECT_EQ(name.rfind("Concurrent", 0), std::string::npos) << name;
    }
}

}  // namespace
