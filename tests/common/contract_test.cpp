#include "common/contract.h"

#include "common/log_format.h"
#include "common/log_options.h"

#include <gtest/gtest.h>

#include <boost/core/null_deleter.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using common::contract::ContractViolationPolicy;
using common::contract::set_contract_violation_policy;
namespace testability = common::contract::testability;

using TextSink = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;

// Captures standard error and the records of the logging core (as the
// default standard-error sink shows them: channel, function, message), and
// restores the policy afterwards.
class ContractTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous_policy = set_contract_violation_policy(ContractViolationPolicy::terminate);
        testability::clear_violation_flag();
        m_cerr = std::cerr.rdbuf(m_stderr.rdbuf());

        auto core = boost::log::core::get();
        core->reset_filter();
        core->set_logging_enabled(true);
        auto backend = boost::make_shared<boost::log::sinks::text_ostream_backend>();
        backend->add_stream(boost::shared_ptr<std::ostream>(&m_log, boost::null_deleter()));
        m_sink = boost::make_shared<TextSink>(backend);
        common::logging::FormatterSettings settings;
        settings.show_timestamp = false;
        settings.show_severity = false;
        settings.show_channel = true;
        m_sink->set_formatter(common::logging::CreateLogFormatters(settings));
        core->add_sink(m_sink);
    }
    void TearDown() override {
        boost::log::core::get()->remove_sink(m_sink);
        std::cerr.rdbuf(m_cerr);
        set_contract_violation_policy(m_previous_policy);
        testability::clear_violation_flag();
    }

    // Runs a violation and reports whether it escaped as an exception that
    // only a catch-all handler stops.
    static bool violation_escapes_as_foreign_exception(std::string_view condition,
                                                       std::string_view message,
                                                       std::string_view file, int line) {
        try {
            try {
                common::contract::detail::contract_failed(condition, message, file, line);
            } catch (const std::exception&) {
                return false;
            }
        } catch (...) {
            return true;
        }
        return false;
    }

    ContractViolationPolicy m_previous_policy{};
    std::ostringstream m_stderr;
    std::ostringstream m_log;
    std::streambuf* m_cerr = nullptr;
    boost::shared_ptr<TextSink> m_sink;
};

TEST_F(ContractTest, ThrowViolationLogsTheRecordAndWritesNothingElse) {
    set_contract_violation_policy(ContractViolationPolicy::throw_violation);
    EXPECT_TRUE(violation_escapes_as_foreign_exception("x > 0", "x must be positive",
                                                       "common/widget", 42));
    // The handler's signature has the anonymous namespace before its own
    // name, so the function part is empty.
    EXPECT_EQ(m_log.str(),
              "[zeb/error] : \nContract violation. x must be positive\ncommon/widget:42 \"x > 0\"\n");
    EXPECT_EQ(m_stderr.str(), "");
    EXPECT_FALSE(testability::contract_violation_occured());
}

TEST_F(ContractTest, ReportAndThrowWritesTheViolationTextToStandardError) {
    struct Case {
        std::string condition, message, file;
        int line;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"a == b", "values differ", "ipc_tools/ipc_tools", 7,
         "values differ\nipc_tools/ipc_tools:7 \"a == b\""},
        {"ok", "", "f", 1, "\nf:1 \"ok\""},
        {"s != \"x\"", "m", "f", -12, "m\nf:-12 \"s != \"x\"\""},
    };
    set_contract_violation_policy(ContractViolationPolicy::report_and_throw);
    for (const Case& c : cases) {
        m_stderr.str("");
        m_log.str("");
        EXPECT_TRUE(violation_escapes_as_foreign_exception(c.condition, c.message, c.file, c.line));
        EXPECT_EQ(m_stderr.str(), "\nContract violation. " + c.text + "\n");
        EXPECT_EQ(m_log.str(), "[zeb/error] : \nContract violation. " + c.text + "\n");
    }
}

TEST_F(ContractTest, ViolationFlagIsSetOnlyByReportAndThrow) {
    EXPECT_FALSE(testability::contract_violation_occured());
    set_contract_violation_policy(ContractViolationPolicy::throw_violation);
    violation_escapes_as_foreign_exception("c", "m", "f", 1);
    EXPECT_FALSE(testability::contract_violation_occured());

    set_contract_violation_policy(ContractViolationPolicy::report_and_throw);
    violation_escapes_as_foreign_exception("c", "m", "f", 1);
    EXPECT_TRUE(testability::contract_violation_occured());

    set_contract_violation_policy(ContractViolationPolicy::throw_violation);
    violation_escapes_as_foreign_exception("c", "m", "f", 1);
    EXPECT_TRUE(testability::contract_violation_occured());

    testability::clear_violation_flag();
    EXPECT_FALSE(testability::contract_violation_occured());
}

TEST_F(ContractTest, CheckPassesConditionTextFileAndLineAndBuildsMessageOnlyOnFailure) {
    set_contract_violation_policy(ContractViolationPolicy::throw_violation);
    int built = 0;
    const auto message = [&built] {
        ++built;
        return std::string("built message");
    };
    const int value = 3;
    CONTRACT_CHECK(value == 3, message());
    EXPECT_EQ(built, 0);

    int line = 0;
    try {
        line = __LINE__ + 1;
        CONTRACT_CHECK(value > 3 && value != 7, message());
        FAIL() << "the check did not fire";
    } catch (...) {
    }
    EXPECT_EQ(built, 1);
    EXPECT_EQ(m_log.str(), "[zeb/error] : \nContract violation. built message\n" +
                               std::string(__FILE__) + ":" + std::to_string(line) +
                               " \"value > 3 && value != 7\"\n");
}

class ContractDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ContractDeathTest, PolicyStartsAsTerminateAndSetReturnsThePrevious) {
    EXPECT_EXIT(
        {
            const bool first =
                set_contract_violation_policy(ContractViolationPolicy::throw_violation) ==
                ContractViolationPolicy::terminate;
            const bool second =
                set_contract_violation_policy(static_cast<ContractViolationPolicy>(17)) ==
                ContractViolationPolicy::throw_violation;
            const bool third = set_contract_violation_policy(ContractViolationPolicy::terminate) ==
                               static_cast<ContractViolationPolicy>(17);
            std::exit(first && second && third && !testability::contract_violation_occured() ? 0
                                                                                             : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ContractDeathTest, DefaultPolicyLogsToStandardErrorAndAborts) {
    EXPECT_EXIT(
        {
            common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
            CONTRACT_CHECK(1 + 1 == 3, "arithmetic is broken");
        },
        ::testing::KilledBySignal(SIGABRT),
        "\\[zeb/error\\] : \nContract violation\\. arithmetic is broken\n[^\n]*contract_test\\.cpp:"
        "[0-9]+ \"1 \\+ 1 == 3\"\n");
}

TEST_F(ContractDeathTest, UnknownPolicyTerminatesInsteadOfReturning) {
    EXPECT_EXIT(
        {
            common::logging::LoggerOptionsUtils::SetDefaultLogOptions();
            set_contract_violation_policy(static_cast<ContractViolationPolicy>(3));
            common::contract::detail::contract_failed("cond", "unknown policy", "f", 5);
            std::exit(0);  // returning to the check site would be the fault
        },
        ::testing::KilledBySignal(SIGABRT),
        "\\[zeb/error\\] : \nContract violation\\. unknown policy\nf:5 \"cond\"\n");
}

}  // namespace
