#include "common/logger.h"

#include "common/log_sources.h"

#include <gtest/gtest.h>

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using common::logging::attributes::SeverityLevel;
namespace logging = common::logging;

struct Collected {
    std::string channel;
    SeverityLevel severity;
    std::string function;
    std::string message;
};

// Reads the values while the record is being consumed: the severity value
// of a logger is read from the logging thread's state, which the next record
// overwrites.
class CollectingBackend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    void consume(const boost::log::record_view& record) {
        const auto& values = record.attribute_values();
        records.push_back(
            {boost::log::extract_or_default<std::string>("Channel", values, std::string("?")),
             boost::log::extract_or_default<SeverityLevel>("Severity", values,
                                                           static_cast<SeverityLevel>(99)),
             boost::log::extract_or_default<std::string>("Function", values, std::string("?")),
             boost::log::extract_or_default<std::string>("Message", values, std::string("?"))});
    }
    std::vector<Collected> records;
};

using CollectingSink = boost::log::sinks::synchronous_sink<CollectingBackend>;

// Collects every record that reaches the core (or those a filter lets in).
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto core = boost::log::core::get();
        core->reset_filter();
        core->set_logging_enabled(true);
        m_backend = boost::make_shared<CollectingBackend>();
        m_sink = boost::make_shared<CollectingSink>(m_backend);
        core->add_sink(m_sink);
    }
    void TearDown() override { boost::log::core::get()->remove_sink(m_sink); }

    std::vector<Collected> collected() { return m_sink->locked_backend()->records; }

    boost::shared_ptr<CollectingBackend> m_backend;
    boost::shared_ptr<CollectingSink> m_sink;
};

TEST(SeverityLevel, TextsAndNamesRoundTrip) {
    const std::vector<std::pair<unsigned, std::string>> cases = {
        {0, "trace"}, {1, "verbose"}, {2, "message"},  {3, "info"},
        {4, "warning"}, {5, "error"}, {6, "unknown"}, {255, "unknown"},
    };
    for (const auto& [value, text] : cases) {
        const auto level = static_cast<SeverityLevel>(value);
        EXPECT_STREQ(logging::attributes::to_string(level), text.c_str()) << value;
        if (value <= 5) {
            EXPECT_EQ(logging::attributes::get_severity_by_name(text), level);
        }
    }
}

TEST(SeverityLevel, UnknownNamesThrowWithTheNameUnchanged) {
    for (const std::string name : {"Error", " error", "error ", "", "unknown"}) {
        try {
            logging::attributes::get_severity_by_name(name);
            ADD_FAILURE() << "no exception for '" << name << "'";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "unable to find severity for string: " + name);
        }
    }
}

TEST_F(LoggerTest, EachNamedLoggerWritesItsChannelAndLevel) {
    SL_LOG(error) << "e";
    SL_LOG(warning) << "w";
    SL_LOG(info) << "i";
    SL_LOG(message) << "m";
    SL_LOG(verbose) << "v";
    SL_LOG(custom) << "c";
    SL_LOG_SEV(custom, SeverityLevel::warning) << "cw";

    const std::string function = __PRETTY_FUNCTION__;
    const std::vector<std::pair<std::string, SeverityLevel>> expected = {
        {"error", SeverityLevel::error},     {"warning", SeverityLevel::warning},
        {"info", SeverityLevel::info},       {"message", SeverityLevel::message},
        {"verbose", SeverityLevel::verbose}, {"custom", SeverityLevel::trace},
        {"custom", SeverityLevel::warning},
    };
    const std::vector<std::string> messages = {"e", "w", "i", "m", "v", "c", "cw"};
    const auto records = collected();
    ASSERT_EQ(records.size(), expected.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].channel, expected[i].first) << i;
        EXPECT_EQ(records[i].severity, expected[i].second) << i;
        EXPECT_EQ(records[i].message, messages[i]) << i;
        EXPECT_EQ(records[i].function, function) << i;
    }
}

TEST_F(LoggerTest, LoggersOpenedWithoutSeverityUseTheirDefault) {
    auto& logger = logging::custom::get();
    auto record = logger.open_record();
    ASSERT_TRUE(record);
    EXPECT_EQ(boost::log::extract<SeverityLevel>("Severity", record.attribute_values()).get(),
              SeverityLevel::trace);
    EXPECT_EQ(boost::log::extract<std::string>("Channel", record.attribute_values()).get(), "custom");
}

TEST_F(LoggerTest, MessageIsNotBuiltWhenNoSinkTakesTheRecord) {
    m_sink->set_filter([](const boost::log::attribute_value_set& values) {
        return boost::log::extract<SeverityLevel>("Severity", values).get() != SeverityLevel::info;
    });
    int evaluations = 0;
    const auto build = [&evaluations] {
        ++evaluations;
        return std::string("built");
    };
    SL_LOG(info) << build();
    EXPECT_EQ(evaluations, 0);
    EXPECT_FALSE(logging::would_log(&logging::info::get));
    SL_LOG(warning) << build();
    EXPECT_EQ(evaluations, 1);
    EXPECT_TRUE(logging::would_log(&logging::warning::get));
    ASSERT_EQ(collected().size(), 1u);
}

TEST_F(LoggerTest, ExceptionWhileStreamingDropsTheRecord) {
    const auto fail = []() -> std::string { throw std::runtime_error("broken"); };
    EXPECT_THROW(SL_LOG(error) << "before " << fail(), std::runtime_error);
    EXPECT_TRUE(collected().empty());
    SL_LOG(error) << "after";
    ASSERT_EQ(collected().size(), 1u);
    EXPECT_EQ(collected()[0].message, "after");
}

TEST_F(LoggerTest, FunctionIsTheSignatureOfTheEnclosingLambda) {
    std::string lambda_function;
    [&lambda_function] {
        lambda_function = __PRETTY_FUNCTION__;
        SL_LOG(warning) << "inside";
    }();
    ASSERT_EQ(collected().size(), 1u);
    EXPECT_EQ(collected()[0].function, lambda_function);
}

TEST(NamedLoggers, ThreadsShareOneLoggerPerTag) {
    logging::BoostLoggerWrapper* seen[2] = {nullptr, nullptr};
    std::thread first([&seen] { seen[0] = &logging::warning::get(); });
    std::thread second([&seen] { seen[1] = &logging::warning::get(); });
    first.join();
    second.join();
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], &logging::warning::get());
    EXPECT_NE(static_cast<void*>(&logging::warning::get()), static_cast<void*>(&logging::error::get()));
}

TEST(NamedLoggers, FunctionAttributeNameIsFunction) {
    EXPECT_EQ(logging::attributes::names::function().string(), "Function");
    EXPECT_EQ(logging::attributes::names::function(), logging::attributes::names::function());
}

}  // namespace
