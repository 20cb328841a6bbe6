#include "common/log_options.h"
#include "common/log_sinks.h"

#include <gtest/gtest.h>

#include <boost/log/core/core.hpp>

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace log_defaults_probe {
void write_warning(const std::string& text) { SL_LOG(warning) << text; }
}  // namespace log_defaults_probe

namespace {

namespace logging = common::logging;
using logging::LoggerOptions;
using logging::LoggerOptionsUtils;
using logging::SinkOptions;
using logging::attributes::SeverityLevel;

// "on|off", the severities in order, the sorted custom traces and the layout
// key (time stamp 16, channel 8, severity 4, function 2, thread id 1).
std::string describe(const SinkOptions& sink) {
    std::string text = sink.enabled ? "on" : "off";
    text += " [";
    for (const SeverityLevel level : sink.severities) {
        text += std::string(logging::attributes::to_string(level)) + " ";
    }
    text += "] {";
    std::set<std::string> traces(sink.custom_traces.begin(), sink.custom_traces.end());
    for (const std::string& trace : traces) {
        text += "'" + trace + "' ";
    }
    const auto& f = sink.formatter_settings;
    const int key = (f.show_timestamp ? 16 : 0) + (f.show_channel ? 8 : 0) +
                    (f.show_severity ? 4 : 0) + (f.show_function ? 2 : 0) +
                    (f.show_thread_id ? 1 : 0);
    return text + "} " + std::to_string(key);
}

std::vector<std::string> describe(const LoggerOptions& options) {
    std::vector<std::string> slots;
    for (const SinkOptions& sink : options.sink_options) {
        slots.push_back(describe(sink));
    }
    slots.push_back("folder '" + options.log_folder.string() + "' names '" + options.file_name +
                    "' '" + options.verbose_file_name + "'");
    return slots;
}

TEST(DefaultLogOptions, PresetsHoldTheirSinks) {
    struct Case {
        std::string name;
        LoggerOptions options;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"init data",
         LoggerOptionsUtils::GetDefaultInitData(),
         {"off [] {} 27", "on [error warning ] {} 11", "on [info message ] {} 11", "off [] {} 27",
          "folder '' names 'core' 'core_verbose'"}},
        {"tessel",
         LoggerOptionsUtils::GetDefaultTesselLogOptions(false, false, ""),
         {"on [message info warning error ] {} 24", "on [warning error ] {} 10",
          "on [message ] {} 0", "off [] {} 22", "folder '' names '' ''"}},
        {"tessel quiet verbose",
         LoggerOptionsUtils::GetDefaultTesselLogOptions(true, true, ""),
         {"on [message info warning error ] {} 24", "on [warning error ] {} 10", "off [] {} 0",
          "on [verbose message info warning error ] {} 30", "folder '' names '' ''"}},
        {"tessel traces",
         LoggerOptionsUtils::GetDefaultTesselLogOptions(false, false, ",a,, b,a"),
         {"on [message info warning error ] {} 24", "on [warning error ] {} 10",
          "on [message ] {} 0", "on [] {'' ' b' 'a' } 30", "folder '' names '' ''"}},
        {"tessel trailing comma",
         LoggerOptionsUtils::GetDefaultTesselLogOptions(false, true, "x,"),
         {"on [message info warning error ] {} 24", "on [warning error ] {} 10",
          "on [message ] {} 0", "on [verbose message info warning error ] {'' 'x' } 30",
          "folder '' names '' ''"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(describe(c.options), c.expected) << c.name;
    }
}

// Installing the defaults is once per process, so each of these runs in a
// child process of its own and reports through its exit code.
class DefaultLogOptionsProcess : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

#define CHILD_CHECK(condition)                                          \
    do {                                                                \
        if (!(condition)) {                                             \
            std::fprintf(stderr, "check failed: %s\n", #condition);     \
            std::exit(1);                                               \
        }                                                               \
    } while (false)

struct CapturedStreams {
    CapturedStreams() {
        cerr = std::cerr.rdbuf(err.rdbuf());
        cout = std::cout.rdbuf(out.rdbuf());
    }
    ~CapturedStreams() {
        std::cerr.rdbuf(cerr);
        std::cout.rdbuf(cout);
    }
    std::ostringstream err;
    std::ostringstream out;
    std::streambuf* cerr;
    std::streambuf* cout;
};

TEST_F(DefaultLogOptionsProcess, DefaultsShowMessagesAndWarningsOnceInstalled) {
    EXPECT_EXIT(
        {
            CapturedStreams streams;
            LoggerOptionsUtils::SetDefaultLogOptions();
            // Levels no default sink shows are refused when the record is
            // opened, so their messages are never built.
            CHILD_CHECK(!logging::would_log(&logging::info::get));
            CHILD_CHECK(!logging::would_log(&logging::verbose::get));
            CHILD_CHECK(!logging::would_log(&logging::custom::get));
            CHILD_CHECK(logging::would_log(&logging::message::get));
            CHILD_CHECK(logging::would_log(&logging::warning::get));
            CHILD_CHECK(logging::would_log(&logging::error::get));
            SL_LOG(info) << "info";
            SL_LOG(verbose) << "verbose";
            SL_LOG(custom) << "trace";
            SL_LOG(message) << "plain text";
            log_defaults_probe::write_warning("watch out");
            SL_LOG(error) << "bad";
            CHILD_CHECK(streams.out.str() == "plain text\n");
            CHILD_CHECK(streams.err.str() ==
                        "[zeb/warning] log_defaults_probe::write_warning: watch out\n"
                        "[zeb/error] : bad\n");

            // Neither removing the sinks nor switching logging off lets a
            // second call install again.
            auto& group = *common::Singleton<logging::LoggerGroup>::s_instance;
            group.RemoveSinks();
            LoggerOptionsUtils::DisableAllLogs();
            LoggerOptionsUtils::SetDefaultLogOptions();
            CHILD_CHECK(!group.isLoggingActive());
            CHILD_CHECK(!boost::log::core::get()->get_logging_enabled());
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DefaultLogOptionsProcess, DisableAllLogsFirstDoesNotStopTheDefaults) {
    EXPECT_EXIT(
        {
            CapturedStreams streams;
            LoggerOptionsUtils::DisableAllLogs();
            CHILD_CHECK(!boost::log::core::get()->get_logging_enabled());
            LoggerOptionsUtils::SetDefaultLogOptions();
            CHILD_CHECK(boost::log::core::get()->get_logging_enabled());
            SL_LOG(message) << "visible";
            CHILD_CHECK(streams.out.str() == "visible\n");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DefaultLogOptionsProcess, TesselOptionsInstallEveryTimeAndBlockTheDefaults) {
    char pattern[] = "/tmp/log_defaults_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path folder = std::filesystem::path(pattern) / "logs";
    EXPECT_EXIT(
        {
            CapturedStreams streams;
            LoggerOptionsUtils::SetDefaultTesselLogOptions(folder.string(), "run", "run_verbose",
                                                           true, false, "");
            LoggerOptionsUtils::SetDefaultLogOptions();
            const LoggerOptions options =
                common::Singleton<logging::LoggerGroup>::s_instance->GetLoggerOptions();
            CHILD_CHECK(options.file_name == "run");
            CHILD_CHECK(!options.sink_options[2].enabled);  // quiet, not the defaults
            SL_LOG(message) << "to the file";
            CHILD_CHECK(streams.out.str().empty());
            CHILD_CHECK(std::filesystem::is_directory(folder));

            // A second call installs again.
            LoggerOptionsUtils::SetDefaultTesselLogOptions(folder.string(), "run", "run_verbose",
                                                           false, false, "");
            SL_LOG(message) << "now shown";
            CHILD_CHECK(streams.out.str() == "now shown\n");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    std::filesystem::remove_all(pattern);
}

TEST_F(DefaultLogOptionsProcess, ConcurrentCallersReturnOnlyOnceInstalled) {
    EXPECT_EXIT(
        {
            CapturedStreams streams;
            constexpr int THREADS = 8;
            std::atomic<int> waiting{THREADS};
            std::atomic<int> ready_on_return{0};
            std::vector<std::thread> threads;
            for (int i = 0; i < THREADS; ++i) {
                threads.emplace_back([&waiting, &ready_on_return] {
                    waiting.fetch_sub(1);
                    while (waiting.load() > 0) {
                        std::this_thread::yield();
                    }
                    LoggerOptionsUtils::SetDefaultLogOptions();
                    const auto& group = common::Singleton<logging::LoggerGroup>::s_instance;
                    if (group && group->isLoggingActive()) {
                        ready_on_return.fetch_add(1);
                    }
                    SL_LOG(message) << "x";
                });
            }
            for (auto& thread : threads) {
                thread.join();
            }
            CHILD_CHECK(ready_on_return.load() == THREADS);
            std::string expected;
            for (int i = 0; i < THREADS; ++i) {
                expected += "x\n";
            }
            CHILD_CHECK(streams.out.str() == expected);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
