#include "common/log_options.h"

#include <gtest/gtest.h>

#include <boost/log/attributes/attribute_value_set.hpp>
#include <boost/log/attributes/constant.hpp>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace logging = common::logging;
using logging::Loggers;
using logging::LoggerOptions;
using logging::LoggerOptionsUtils;
using logging::attributes::SeverityLevel;

boost::log::attribute_value_set record(std::optional<SeverityLevel> severity,
                                       std::optional<std::string> channel) {
    boost::log::attribute_value_set values;
    if (severity) {
        values.insert("Severity", boost::log::attributes::make_constant(*severity).get_value());
    }
    if (channel) {
        values.insert("Channel", boost::log::attributes::make_constant(*channel).get_value());
    }
    return values;
}

TEST(LogFilters, DecideByListForLevelsAndByChannelForTrace) {
    LoggerOptions options;
    options.sink_options[0].severities = {SeverityLevel::info};  // disabled, still counts
    options.sink_options[3].severities = {SeverityLevel::error, SeverityLevel::info};
    options.sink_options[3].custom_traces = {"chan"};

    std::map<std::string, boost::log::filter> filters;
    filters["severity"] = logging::DefineSeverityFilter({SeverityLevel::warning, SeverityLevel::trace});
    filters["two-part"] = logging::DefineSeverityFilter({SeverityLevel::warning, SeverityLevel::trace},
                                                        {"chan"});
    filters["two-part no traces"] = logging::DefineSeverityFilter({SeverityLevel::warning}, {});
    filters["global"] = logging::DefineGlobalFilter(options);
    filters["global empty"] = logging::DefineGlobalFilter(LoggerOptions());
    filters["reject"] = logging::DefineRejectFilter();

    struct Case {
        std::string filter;
        std::optional<SeverityLevel> severity;
        std::optional<std::string> channel;
        bool passes;
    };
    const auto trace = SeverityLevel::trace;
    const std::vector<Case> cases = {
        {"severity", SeverityLevel::warning, "warning", true},
        {"severity", SeverityLevel::error, "error", false},
        {"severity", trace, "other", true},  // trace in the list counts here
        {"severity", std::nullopt, "warning", false},
        {"two-part", SeverityLevel::warning, std::nullopt, true},
        {"two-part", SeverityLevel::info, "chan", false},
        {"two-part", trace, "chan", true},
        {"two-part", trace, "other", false},  // the list's trace does not count
        {"two-part", trace, "Chan", false},
        {"two-part", trace, std::nullopt, true},  // no channel passes the channel test
        {"two-part", std::nullopt, "chan", false},
        {"two-part no traces", trace, "custom", false},
        {"two-part no traces", trace, std::nullopt, true},
        {"global", SeverityLevel::info, "info", true},
        {"global", SeverityLevel::error, "error", true},
        {"global", SeverityLevel::warning, "warning", false},
        {"global", trace, "chan", true},
        {"global", trace, "custom", false},
        {"global empty", SeverityLevel::error, "error", false},
        {"global empty", trace, "custom", false},
        {"reject", SeverityLevel::error, "error", false},
        {"reject", trace, std::nullopt, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(filters.at(c.filter)(record(c.severity, c.channel)), c.passes)
            << c.filter << " severity "
            << (c.severity ? logging::attributes::to_string(*c.severity) : "none") << " channel "
            << c.channel.value_or("none");
    }
}

TEST(LoggerOptionsUtils, AddSeverityEnablesOnlyWhenItAddsSomething) {
    LoggerOptions options;
    options.sink_options[1].severities = {SeverityLevel::error};  // listed but disabled
    LoggerOptionsUtils::AddSeverity(options, SeverityLevel::error,
                                    {Loggers::standard_error, Loggers::main_file});
    EXPECT_FALSE(options.sink_options[1].enabled);
    EXPECT_EQ(options.sink_options[1].severities, std::vector<SeverityLevel>{SeverityLevel::error});
    EXPECT_TRUE(options.sink_options[0].enabled);
    EXPECT_EQ(options.sink_options[0].severities, std::vector<SeverityLevel>{SeverityLevel::error});

    LoggerOptionsUtils::AddSeverity(options, SeverityLevel::info, {Loggers::main_file});
    EXPECT_EQ(options.sink_options[0].severities,
              (std::vector<SeverityLevel>{SeverityLevel::error, SeverityLevel::info}));
    EXPECT_FALSE(options.sink_options[2].enabled);
    EXPECT_FALSE(options.sink_options[3].enabled);
}

TEST(LoggerOptionsUtils, RemovingTheLastEntryDisablesTheSink) {
    LoggerOptions options;
    for (auto& sink : options.sink_options) {
        sink.enabled = true;
        sink.severities = {SeverityLevel::warning, SeverityLevel::info, SeverityLevel::warning};
    }
    options.sink_options[2].custom_traces = {"chan"};

    // No list: all four slots.
    LoggerOptionsUtils::RemoveSeverity(options, SeverityLevel::info, boost::none);
    for (const auto& sink : options.sink_options) {
        EXPECT_EQ(sink.severities,
                  (std::vector<SeverityLevel>{SeverityLevel::warning, SeverityLevel::warning}));
        EXPECT_TRUE(sink.enabled);
    }
    // An empty list: no slot.
    LoggerOptionsUtils::RemoveSeverity(options, SeverityLevel::warning, std::vector<Loggers>{});
    EXPECT_FALSE(options.sink_options[0].severities.empty());

    LoggerOptionsUtils::RemoveSeverity(options, SeverityLevel::warning,
                                       std::vector<Loggers>{Loggers::main_file,
                                                            Loggers::standard_output});
    EXPECT_TRUE(options.sink_options[0].severities.empty());
    EXPECT_FALSE(options.sink_options[0].enabled);
    EXPECT_TRUE(options.sink_options[2].enabled);  // custom traces left
    EXPECT_TRUE(options.sink_options[1].enabled);

    boost::optional<std::vector<Loggers>> output{std::vector<Loggers>{Loggers::standard_output}};
    LoggerOptionsUtils::RemoveCustomTrace(options, "chan", output);
    EXPECT_FALSE(options.sink_options[2].enabled);

    // Removing something absent still disables a slot that has nothing left.
    options.sink_options[0].enabled = true;
    LoggerOptionsUtils::RemoveSeverity(options, SeverityLevel::error,
                                       std::vector<Loggers>{Loggers::main_file});
    EXPECT_FALSE(options.sink_options[0].enabled);
}

TEST(LoggerOptionsUtils, CustomTracesAreAddedOncePerSlot) {
    LoggerOptions options;
    LoggerOptionsUtils::AddCustomTrace(options, "chan", {Loggers::verbose_file});
    EXPECT_TRUE(options.sink_options[3].enabled);
    options.sink_options[3].enabled = false;
    LoggerOptionsUtils::AddCustomTrace(options, "chan", {Loggers::verbose_file});
    EXPECT_FALSE(options.sink_options[3].enabled);
    EXPECT_EQ(options.sink_options[3].custom_traces, std::unordered_set<std::string>{"chan"});

    boost::optional<std::vector<Loggers>> all;
    LoggerOptionsUtils::RemoveCustomTrace(options, "chan", all);
    EXPECT_TRUE(options.sink_options[3].custom_traces.empty());
}

TEST(LoggerOptionsUtils, OutOfRangeLoggersFailWithoutChangingAnything) {
    const auto bad = static_cast<Loggers>(4);
    const auto negative = static_cast<Loggers>(-1);
    LoggerOptions options;
    EXPECT_THROW(LoggerOptionsUtils::AddSeverity(options, SeverityLevel::error,
                                                 {Loggers::main_file, bad}),
                 std::out_of_range);
    EXPECT_THROW(LoggerOptionsUtils::AddCustomTrace(options, "x", {negative}), std::out_of_range);
    for (const auto& sink : options.sink_options) {
        EXPECT_FALSE(sink.enabled);
        EXPECT_TRUE(sink.severities.empty());
        EXPECT_TRUE(sink.custom_traces.empty());
    }
    options.sink_options[0].severities = {SeverityLevel::error};
    EXPECT_THROW(LoggerOptionsUtils::RemoveSeverity(options, SeverityLevel::error,
                                                    std::vector<Loggers>{Loggers::main_file, bad}),
                 std::out_of_range);
    EXPECT_EQ(options.sink_options[0].severities.size(), 1u);
    boost::optional<std::vector<Loggers>> list{std::vector<Loggers>{bad}};
    EXPECT_THROW(LoggerOptionsUtils::RemoveCustomTrace(options, "x", list), std::out_of_range);
}

}  // namespace
