#include "common/log_sinks.h"

#include <gtest/gtest.h>

#include <boost/log/core/core.hpp>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

// Log sites with a name that the function part shows.
namespace log_sinks_probe {
void write_info(const std::string& text) { SL_LOG(info) << text; }
void write_warning(const std::string& text) { SL_LOG(warning) << text; }
void write_message(const std::string& text) { SL_LOG(message) << text; }
}  // namespace log_sinks_probe

namespace {

namespace fs = std::filesystem;
namespace logging = common::logging;
using logging::LoggerGroup;
using logging::LoggerOptions;
using logging::Loggers;
using logging::attributes::SeverityLevel;

logging::FormatterSettings parts(bool timestamp, bool channel, bool severity, bool function) {
    logging::FormatterSettings settings;
    settings.show_timestamp = timestamp;
    settings.show_channel = channel;
    settings.show_severity = severity;
    settings.show_function = function;
    settings.show_thread_id = false;
    return settings;
}

logging::SinkOptions& slot(LoggerOptions& options, Loggers which) {
    return options.sink_options[static_cast<std::size_t>(which)];
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A temporary folder for log files, standard error and standard output
// captured, and the logging core left clean.
class LogSinksTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/log_sinks_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_folder = pattern;
        m_cerr = std::cerr.rdbuf(m_stderr.rdbuf());
        m_cout = std::cout.rdbuf(m_stdout.rdbuf());
    }
    void TearDown() override {
        m_group.RemoveSinks();
        auto core = boost::log::core::get();
        core->reset_filter();
        core->set_logging_enabled(true);
        std::cerr.rdbuf(m_cerr);
        std::cout.rdbuf(m_cout);
        fs::remove_all(m_folder);
    }

    static std::vector<fs::path> files_in(const fs::path& folder) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    static std::string all_text(const fs::path& folder) {
        std::string text;
        for (const fs::path& file : files_in(folder)) {
            text += read_file(file);
        }
        return text;
    }

    LoggerOptions main_file_options(std::vector<SeverityLevel> severities,
                                    logging::FormatterSettings settings) const {
        LoggerOptions options;
        options.log_folder = (m_folder / "logs").string();
        options.file_name = "core";
        slot(options, Loggers::main_file).enabled = true;
        slot(options, Loggers::main_file).severities = std::move(severities);
        slot(options, Loggers::main_file).formatter_settings = settings;
        return options;
    }

    fs::path m_folder;
    LoggerGroup m_group;
    std::ostringstream m_stderr;
    std::ostringstream m_stdout;
    std::streambuf* m_cerr = nullptr;
    std::streambuf* m_cout = nullptr;
};

TEST_F(LogSinksTest, FileSinkWritesIntoANewFolderUnderATimeStampedName) {
    LoggerOptions options = main_file_options({SeverityLevel::info}, parts(false, false, true, true));
    options.log_folder = (m_folder / "a" / "b").string();
    m_group.SetLoggerOptions(std::move(options));
    EXPECT_TRUE(fs::is_directory(m_folder / "a" / "b"));
    EXPECT_TRUE(m_group.isLoggingActive());
    EXPECT_TRUE(boost::log::core::get()->get_logging_enabled());

    log_sinks_probe::write_info("hello");
    log_sinks_probe::write_warning("not taken");

    const auto files = files_in(m_folder / "a" / "b");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                                 std::regex(R"(core_log-\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log)")))
        << files[0];
    EXPECT_EQ(read_file(files[0]), "{info} log_sinks_probe::write_info: hello\n");
}

TEST_F(LogSinksTest, PercentInFolderAndNameStandsForItself) {
    LoggerOptions options = main_file_options({SeverityLevel::info}, parts(false, false, false, false));
    options.log_folder = (m_folder / "x%y").string();
    options.file_name = "a%b";
    m_group.SetLoggerOptions(std::move(options));
    log_sinks_probe::write_info("text");

    const auto files = files_in(m_folder / "x%y");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string().substr(0, 8), "a%b_log-");
    EXPECT_EQ(read_file(files[0]), "text\n");
}

TEST_F(LogSinksTest, EmptyFolderMeansTheCurrentDirectory) {
    const fs::path previous = fs::current_path();
    fs::current_path(m_folder);
    LoggerOptions options = main_file_options({SeverityLevel::info}, parts(false, false, false, false));
    options.log_folder.clear();
    m_group.SetLoggerOptions(std::move(options));
    log_sinks_probe::write_info("here");
    m_group.RemoveSinks();
    fs::current_path(previous);

    const auto files = files_in(m_folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(read_file(files[0]), "here\n");
}

TEST_F(LogSinksTest, AllSinksDisabledSwitchesLoggingOffButCreatesTheFolder) {
    LoggerOptions options;
    options.log_folder = (m_folder / "made" / "anyway").string();
    slot(options, Loggers::standard_error).severities = {SeverityLevel::error};
    m_group.SetLoggerOptions(std::move(options));
    EXPECT_TRUE(fs::is_directory(m_folder / "made" / "anyway"));
    EXPECT_TRUE(files_in(m_folder / "made" / "anyway").empty());
    EXPECT_FALSE(m_group.isLoggingActive());
    EXPECT_FALSE(boost::log::core::get()->get_logging_enabled());
    SL_LOG(error) << "nowhere";
    EXPECT_EQ(m_stderr.str(), "");
}

TEST_F(LogSinksTest, StreamSinksWriteTheirOwnLayouts) {
    LoggerOptions options;
    slot(options, Loggers::standard_error) = {
        {SeverityLevel::warning, SeverityLevel::error}, {}, parts(false, true, false, true), true};
    slot(options, Loggers::standard_output) = {{SeverityLevel::message}, {}, parts(false, false, false, false), true};
    m_group.SetLoggerOptions(std::move(options));

    log_sinks_probe::write_message("plain output");
    log_sinks_probe::write_warning("careful");
    log_sinks_probe::write_info("dropped");
    EXPECT_EQ(m_stdout.str(), "plain output\n");
    EXPECT_EQ(m_stderr.str(), "[zeb/warning] log_sinks_probe::write_warning: careful\n");
}

TEST_F(LogSinksTest, UpdateChangesOnlyFiltersAndADisabledSinkStopsWriting) {
    m_group.SetLoggerOptions(main_file_options({SeverityLevel::info}, parts(false, false, true, false)));
    log_sinks_probe::write_info("one");

    // New name, folder and layout are ignored for the existing sink.
    LoggerOptions update = main_file_options({SeverityLevel::warning}, parts(true, true, true, true));
    update.file_name = "other";
    update.log_folder = (m_folder / "elsewhere").string();
    slot(update, Loggers::standard_output) = {{SeverityLevel::message}, {}, parts(false, false, false, false), true};
    m_group.updateSeverityFilters(LoggerOptions(update));
    log_sinks_probe::write_info("two");
    log_sinks_probe::write_warning("three");
    EXPECT_FALSE(fs::exists(m_folder / "elsewhere"));
    EXPECT_EQ(all_text(m_folder / "logs"), "{info} one\n{warning} three\n");

    // Disabled: its severities still widen the core filter, but the sink
    // must not go on writing with its old filter.
    slot(update, Loggers::main_file).enabled = false;
    m_group.updateSeverityFilters(LoggerOptions(update));
    EXPECT_TRUE(m_group.isLoggingActive());  // standard output still counts
    log_sinks_probe::write_warning("four");
    log_sinks_probe::write_message("to stdout");
    EXPECT_EQ(all_text(m_folder / "logs"), "{info} one\n{warning} three\n");
    EXPECT_EQ(m_stdout.str(), "to stdout\n");

    slot(update, Loggers::main_file).enabled = true;
    m_group.updateSeverityFilters(LoggerOptions(update));
    log_sinks_probe::write_warning("five");
    EXPECT_EQ(all_text(m_folder / "logs"), "{info} one\n{warning} three\n{warning} five\n");
}

TEST_F(LogSinksTest, OptionEditsReachTheSinks) {
    m_group.SetLoggerOptions(main_file_options({SeverityLevel::info}, parts(false, false, false, false)));
    std::vector<Loggers> main_file{Loggers::main_file};
    m_group.AddSeverity(SeverityLevel::warning, main_file);
    log_sinks_probe::write_warning("w1");
    boost::optional<std::vector<Loggers>> all;
    m_group.RemoveSeverity(SeverityLevel::info, all);
    log_sinks_probe::write_info("i1");
    m_group.RemoveSeverity(SeverityLevel::warning, all);
    EXPECT_FALSE(m_group.GetLoggerOptions().sink_options[0].enabled);
    EXPECT_FALSE(m_group.isLoggingActive());
    EXPECT_FALSE(boost::log::core::get()->get_logging_enabled());
    log_sinks_probe::write_warning("w2");
    EXPECT_EQ(all_text(m_folder / "logs"), "w1\n");
}

TEST_F(LogSinksTest, RemoveSinksStopsEveryRecord) {
    LoggerOptions options = main_file_options({SeverityLevel::info, SeverityLevel::error},
                                              parts(false, false, false, false));
    slot(options, Loggers::standard_error) = {{SeverityLevel::error}, {}, parts(false, false, false, false), true};
    m_group.SetLoggerOptions(std::move(options));
    m_group.RemoveSinks();
    EXPECT_FALSE(m_group.isLoggingActive());
    SL_LOG(error) << "gone";
    log_sinks_probe::write_info("gone too");
    EXPECT_EQ(m_stderr.str(), "");
    EXPECT_EQ(all_text(m_folder / "logs"), "");
}

TEST_F(LogSinksTest, RotationKeepsEveryRecord) {
    m_group.SetLoggerOptions(main_file_options({SeverityLevel::info}, parts(false, false, false, false)));
    const std::string line(999, 'r');
    const int count = 5600;  // about 5.6 MB, past one rotation
    for (int i = 0; i < count; ++i) {
        log_sinks_probe::write_info(line);
    }
    m_group.RemoveSinks();

    const auto files = files_in(m_folder / "logs");
    ASSERT_FALSE(files.empty());
    std::size_t lines = 0;
    for (const fs::path& file : files) {
        const std::string text = read_file(file);
        lines += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }
    // A rotation within the same second reopens the same name: appending
    // keeps what was written before.
    EXPECT_EQ(lines, static_cast<std::size_t>(count));
    if (files.size() > 1) {
        // The writes spanned a second: the first file was closed because the
        // next record would not have fitted.
        EXPECT_GT(fs::file_size(files[0]) + line.size() + 1, LoggerGroup::FILE_ROTATION_SIZE);
    }
}

TEST_F(LogSinksTest, ASecondGroupWithTheSameNamesAppends) {
    m_group.SetLoggerOptions(main_file_options({SeverityLevel::info}, parts(false, false, false, false)));
    log_sinks_probe::write_info("first");
    m_group.RemoveSinks();
    {
        LoggerGroup second;
        second.SetLoggerOptions(main_file_options({SeverityLevel::info}, parts(false, false, false, false)));
        log_sinks_probe::write_info("second");
        second.RemoveSinks();
    }
    const std::string text = all_text(m_folder / "logs");
    EXPECT_NE(text.find("first\n"), std::string::npos) << text;
    EXPECT_NE(text.find("second\n"), std::string::npos) << text;
}

}  // namespace
