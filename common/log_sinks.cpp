#include "common/log_sinks.h"

#include "common/log_sources.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/core/null_deleter.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>
#include <boost/smart_ptr/make_shared_object.hpp>

#include <iostream>
#include <utility>

namespace common::logging {

namespace sinks = boost::log::sinks;

using FileSink = sinks::synchronous_sink<sinks::text_file_backend>;
using StreamSink = sinks::synchronous_sink<sinks::basic_text_ostream_backend<char>>;

struct LoggerGroup::FileSinkWrapper {
    boost::shared_ptr<FileSink> sink;
};

struct LoggerGroup::StreamSinkWrapper {
    boost::shared_ptr<StreamSink> sink;
};

LoggerGroup::LoggerGroup() = default;

LoggerGroup::~LoggerGroup() = default;

std::unique_ptr<LoggerGroup::FileSinkWrapper> LoggerGroup::createFileSink(
    const boost::filesystem::path& folder, const std::string& name, SinkOptions&& options) {
    if (!options.enabled) {
        return nullptr;
    }
    // A "%" in the base name stands for itself, not for a field of the file
    // name pattern. The file back end formats only the file name, so the
    // folder is taken as it is (escaping it would name another folder).
    std::string escaped_name = name;
    boost::algorithm::replace_all(escaped_name, "%", "%%");
    const boost::filesystem::path pattern =
        folder / (escaped_name + "_log-%Y-%m-%d_%H-%M-%S.log");

    // Appending: a file opened again under the same name (a rotation within
    // the same second, another process with the same names) must not lose
    // what is already there.
    auto backend = boost::make_shared<sinks::text_file_backend>(
        boost::log::keywords::file_name = pattern,
        boost::log::keywords::rotation_size = FILE_ROTATION_SIZE,
        boost::log::keywords::auto_flush = true,
        boost::log::keywords::open_mode = std::ios_base::out | std::ios_base::app);
    auto sink = boost::make_shared<FileSink>(backend);
    sink->set_formatter(CreateLogFormatters(options.formatter_settings));
    SinkFiltersUtils<FileSink>::SetFiltersForSink(sink, std::move(options.severities),
                                                  std::move(options.custom_traces));
    // Registered only once formatted and filtered, so that no record slips
    // through in between.
    boost::log::core::get()->add_sink(sink);
    return std::unique_ptr<FileSinkWrapper>(new FileSinkWrapper{sink});
}

std::unique_ptr<LoggerGroup::StreamSinkWrapper> LoggerGroup::createStreamSink(
    SinkOptions&& options, std::ostream* stream) {
    if (!options.enabled) {
        return nullptr;
    }
    auto backend = boost::make_shared<sinks::basic_text_ostream_backend<char>>();
    backend->auto_flush(true);
    auto sink = boost::make_shared<StreamSink>(backend);
    sink->set_formatter(CreateLogFormatters(options.formatter_settings));
    // std::cerr and std::cout belong to the runtime: never deleted.
    sink->locked_backend()->add_stream(boost::shared_ptr<std::ostream>(stream, boost::null_deleter()));
    SinkFiltersUtils<StreamSink>::SetFiltersForSink(sink, std::move(options.severities),
                                                    std::move(options.custom_traces));
    boost::log::core::get()->add_sink(sink);
    return std::unique_ptr<StreamSinkWrapper>(new StreamSinkWrapper{sink});
}

namespace {

// Applies new options to a sink that already exists and returns true; returns
// false when there is none. A disabled sink gets a reject filter: left attached
// with its old filter it would go on writing what the options no longer ask for.
template <typename SinkT, typename WrapperT>
bool refreshSink(const std::unique_ptr<WrapperT>& slot, SinkOptions& options) {
    if (!slot) {
        return false;
    }
    if (options.enabled) {
        SinkFiltersUtils<SinkT>::SetFiltersForSink(slot->sink, std::move(options.severities),
                                                   std::move(options.custom_traces));
    } else {
        slot->sink->set_filter(DefineRejectFilter());
    }
    return true;
}

}  // namespace

void LoggerGroup::updateFileSink(Loggers which, const boost::filesystem::path& folder,
                                 const std::string& name, SinkOptions&& options) {
    std::unique_ptr<FileSinkWrapper>* slot = nullptr;
    if (which == Loggers::verbose_file) {
        slot = &m_verbose_file_sink;
    } else if (which == Loggers::main_file) {
        slot = &m_main_file_sink;
    } else {
        SL_LOG(error) << "Failed to update file sink - received wrong logger type";
        return;
    }
    if (!refreshSink<FileSink>(*slot, options) && options.enabled) {
        *slot = createFileSink(folder, name, std::move(options));
    }
}

void LoggerGroup::updateStreamSink(Loggers which, SinkOptions&& options) {
    std::unique_ptr<StreamSinkWrapper>* slot = nullptr;
    std::ostream* stream = nullptr;
    if (which == Loggers::standard_error) {
        slot = &m_stderr_sink;
        stream = &std::cerr;
    } else if (which == Loggers::standard_output) {
        slot = &m_stdout_sink;
        stream = &std::cout;
    } else {
        SL_LOG(error) << "Failed to update stream sink - received wrong logger type";
        return;
    }
    if (!refreshSink<StreamSink>(*slot, options) && options.enabled) {
        *slot = createStreamSink(std::move(options), stream);
    }
}

void LoggerGroup::updateSeverityFilters(LoggerOptions&& options) {
    m_options = options;
    boost::log::core::get()->set_filter(DefineGlobalFilter(options));
    auto& sink_options = options.sink_options;
    updateFileSink(Loggers::main_file, options.log_folder, options.file_name,
                   std::move(sink_options[static_cast<std::size_t>(Loggers::main_file)]));
    updateFileSink(Loggers::verbose_file, options.log_folder, options.verbose_file_name,
                   std::move(sink_options[static_cast<std::size_t>(Loggers::verbose_file)]));
    updateStreamSink(Loggers::standard_error,
                     std::move(sink_options[static_cast<std::size_t>(Loggers::standard_error)]));
    updateStreamSink(Loggers::standard_output,
                     std::move(sink_options[static_cast<std::size_t>(Loggers::standard_output)]));
    if (isLoggingActive()) {
        EnableLogging();
    } else {
        DisableLogging();
    }
}

void LoggerGroup::SetLoggerOptions(LoggerOptions&& options) {
    removeSink(m_main_file_sink);
    removeSink(m_stderr_sink);
    removeSink(m_stdout_sink);
    removeSink(m_verbose_file_sink);
    m_options = options;
    boost::log::add_common_attributes();
    boost::log::core::get()->set_filter(DefineGlobalFilter(options));

    auto& sink_options = options.sink_options;
    m_main_file_sink =
        createFileSink(options.log_folder, options.file_name,
                       std::move(sink_options[static_cast<std::size_t>(Loggers::main_file)]));
    m_stderr_sink = createStreamSink(
        std::move(sink_options[static_cast<std::size_t>(Loggers::standard_error)]), &std::cerr);
    m_stdout_sink = createStreamSink(
        std::move(sink_options[static_cast<std::size_t>(Loggers::standard_output)]), &std::cout);
    m_verbose_file_sink =
        createFileSink(options.log_folder, options.verbose_file_name,
                       std::move(sink_options[static_cast<std::size_t>(Loggers::verbose_file)]));

    if (!m_options.log_folder.empty() && !boost::filesystem::exists(m_options.log_folder)) {
        boost::filesystem::create_directories(m_options.log_folder);
    }

    if (isLoggingActive()) {
        EnableLogging();
    } else {
        DisableLogging();
    }
}

LoggerOptions LoggerGroup::GetLoggerOptions() const { return m_options; }

void LoggerGroup::AddSeverity(attributes::SeverityLevel level, std::vector<Loggers>& loggers) {
    LoggerOptions options = GetLoggerOptions();
    LoggerOptionsUtils::AddSeverity(options, level, loggers);
    updateSeverityFilters(std::move(options));
}

void LoggerGroup::RemoveSeverity(attributes::SeverityLevel level,
                                 boost::optional<std::vector<Loggers>>& loggers) {
    LoggerOptions options = GetLoggerOptions();
    LoggerOptionsUtils::RemoveSeverity(options, level, loggers);
    updateSeverityFilters(std::move(options));
}

void LoggerGroup::AddCustomTrace(const std::string& name, std::vector<Loggers>& loggers) {
    LoggerOptions options = GetLoggerOptions();
    LoggerOptionsUtils::AddCustomTrace(options, name, loggers);
    updateSeverityFilters(std::move(options));
}

void LoggerGroup::RemoveCustomTrace(std::string& name,
                                    boost::optional<std::vector<Loggers>>& loggers) {
    LoggerOptions options = GetLoggerOptions();
    LoggerOptionsUtils::RemoveCustomTrace(options, name, loggers);
    updateSeverityFilters(std::move(options));
}

void LoggerGroup::EnableLogging() { boost::log::core::get()->set_logging_enabled(true); }

void LoggerGroup::DisableLogging() { boost::log::core::get()->set_logging_enabled(false); }

bool LoggerGroup::isLoggingActive() const {
    const auto enabled = [this](Loggers which) {
        return m_options.sink_options[static_cast<std::size_t>(which)].enabled;
    };
    return (m_main_file_sink && enabled(Loggers::main_file)) ||
           (m_stderr_sink && enabled(Loggers::standard_error)) ||
           (m_stdout_sink && enabled(Loggers::standard_output)) ||
           (m_verbose_file_sink && enabled(Loggers::verbose_file));
}

void LoggerGroup::RemoveSinks() {
    removeSink(m_main_file_sink);
    removeSink(m_stderr_sink);
    removeSink(m_stdout_sink);
    removeSink(m_verbose_file_sink);
    boost::log::core::get()->set_filter(DefineRejectFilter());
}

template <typename WrapperT>
void LoggerGroup::removeSink(std::unique_ptr<WrapperT>& slot) {
    if (!slot) {
        return;
    }
    boost::log::core::get()->remove_sink(slot->sink);
    slot.reset();
}

}  // namespace common::logging
