#include "common/log_options.h"
#include "common/log_sinks.h"
#include "common/utils.h"

#include <mutex>
#include <utility>

namespace common::logging {

// Used by the first SetDefaultLogOptions or SetDefaultTesselLogOptions of the
// process.
std::once_flag is_initialised_flag;

namespace {

using attributes::SeverityLevel;

FormatterSettings parts(bool timestamp, bool channel, bool severity, bool function,
                        bool thread_id) {
    FormatterSettings settings;
    settings.show_timestamp = timestamp;
    settings.show_channel = channel;
    settings.show_severity = severity;
    settings.show_function = function;
    settings.show_thread_id = thread_id;
    return settings;
}

SinkOptions sink(bool enabled, std::vector<SeverityLevel> severities, FormatterSettings settings) {
    SinkOptions options;
    options.enabled = enabled;
    options.severities = std::move(severities);
    options.formatter_settings = settings;
    return options;
}

SinkOptions& at(LoggerOptions& options, Loggers which) {
    return options.sink_options[static_cast<std::size_t>(which)];
}

LoggerOptions default_log_options() {
    LoggerOptions options;
    at(options, Loggers::main_file) = sink(false, {}, parts(true, false, true, true, false));
    at(options, Loggers::standard_error) =
        sink(true, {SeverityLevel::warning, SeverityLevel::error}, parts(false, true, false, true, false));
    at(options, Loggers::standard_output) =
        sink(true, {SeverityLevel::message}, parts(false, false, false, false, false));
    at(options, Loggers::verbose_file) = sink(false, {}, parts(true, false, true, true, false));
    return options;
}

LoggerGroup& group() {
    auto& instance = Singleton<LoggerGroup>::s_instance;
    if (!instance) {
        instance = std::make_unique<LoggerGroup>();
    }
    return *instance;
}

}  // namespace

LoggerOptions LoggerOptionsUtils::GetDefaultInitData() {
    const FormatterSettings file_parts = parts(true, true, false, true, true);
    const FormatterSettings stream_parts = parts(false, true, false, true, true);
    LoggerOptions options;
    at(options, Loggers::main_file) = sink(false, {}, file_parts);
    at(options, Loggers::standard_error) =
        sink(true, {SeverityLevel::error, SeverityLevel::warning}, stream_parts);
    at(options, Loggers::standard_output) =
        sink(true, {SeverityLevel::info, SeverityLevel::message}, stream_parts);
    at(options, Loggers::verbose_file) = sink(false, {}, file_parts);
    options.file_name = "core";
    options.verbose_file_name = "core_verbose";
    return options;
}

LoggerOptions LoggerOptionsUtils::GetDefaultTesselLogOptions(bool quiet, bool verbose_logging,
                                                             const std::string& custom_trace_list) {
    LoggerOptions options;
    at(options, Loggers::main_file) =
        sink(true,
             {SeverityLevel::message, SeverityLevel::info, SeverityLevel::warning,
              SeverityLevel::error},
             parts(true, true, false, false, false));
    at(options, Loggers::standard_error) =
        sink(true, {SeverityLevel::warning, SeverityLevel::error},
             parts(false, true, false, true, false));
    at(options, Loggers::standard_output) =
        quiet ? sink(false, {}, parts(false, false, false, false, false))
              : sink(true, {SeverityLevel::message}, parts(false, false, false, false, false));

    std::unordered_set<std::string> custom_traces;
    if (!custom_trace_list.empty()) {
        for (std::string& entry : kelp::shared::split(custom_trace_list, ',')) {
            custom_traces.insert(std::move(entry));
        }
    }
    const bool verbose_enabled = verbose_logging || !custom_traces.empty();
    SinkOptions& verbose = at(options, Loggers::verbose_file);
    verbose = sink(verbose_enabled,
                   verbose_logging ? std::vector<SeverityLevel>{SeverityLevel::verbose,
                                                                SeverityLevel::message,
                                                                SeverityLevel::info,
                                                                SeverityLevel::warning,
                                                                SeverityLevel::error}
                                   : std::vector<SeverityLevel>{},
                   verbose_enabled ? parts(true, true, true, true, false)
                                   : parts(true, false, true, true, false));
    verbose.custom_traces = std::move(custom_traces);
    return options;
}

void LoggerOptionsUtils::SetDefaultLogOptions() {
    // Installing inside call_once makes a concurrent caller wait until the
    // defaults are in place instead of returning before any sink exists.
    std::call_once(is_initialised_flag, [] { group().SetLoggerOptions(default_log_options()); });
}

void LoggerOptionsUtils::SetDefaultTesselLogOptions(const std::string& log_folder,
                                                    const std::string& file_name,
                                                    const std::string& verbose_file_name,
                                                    bool quiet, bool verbose_logging,
                                                    const std::string& custom_trace_list) {
    std::call_once(is_initialised_flag, [] {});
    LoggerOptions options = GetDefaultTesselLogOptions(quiet, verbose_logging, custom_trace_list);
    options.log_folder = log_folder;
    options.file_name = file_name;
    options.verbose_file_name = verbose_file_name;
    group().SetLoggerOptions(std::move(options));
}

void LoggerOptionsUtils::DisableAllLogs() { group().DisableLogging(); }

}  // namespace common::logging
