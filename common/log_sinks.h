#pragma once

// The owner of every output of the system's logging: up to four sinks (two
// rotating log files, standard error, standard output), the logging core's
// filter and its on/off switch.

#include "common/log_options.h"
#include "common/logger.h"

#include <boost/filesystem/path.hpp>
#include <boost/optional/optional.hpp>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace common {

// Process-wide instance holder. The instance is destroyed at process exit.
template <typename T>
struct Singleton {
    static inline std::unique_ptr<T> s_instance;
};

}  // namespace common

namespace common::logging {

// Not thread-safe: one thread at a time may change the group. Records may be
// logged from any thread meanwhile.
class LoggerGroup {
public:
    // Both log files start a new file once this many bytes were written.
    static constexpr std::uint64_t FILE_ROTATION_SIZE = 5242880;

    struct FileSinkWrapper;
    struct StreamSinkWrapper;

    LoggerGroup();
    // Leaves the sinks attached to the logging core.
    ~LoggerGroup();

    LoggerGroup(const LoggerGroup&) = delete;
    LoggerGroup& operator=(const LoggerGroup&) = delete;

    // Rebuilds every sink from the options and creates a missing log folder
    // (with its parents). Throws boost::filesystem::filesystem_error when the
    // folder cannot be examined or created.
    void SetLoggerOptions(LoggerOptions&& options);
    LoggerOptions GetLoggerOptions() const;

    // Option edits (see LoggerOptionsUtils) applied with updateSeverityFilters.
    void AddSeverity(attributes::SeverityLevel level, std::vector<Loggers>& loggers);
    void RemoveSeverity(attributes::SeverityLevel level,
                        boost::optional<std::vector<Loggers>>& loggers);
    void AddCustomTrace(const std::string& name, std::vector<Loggers>& loggers);
    void RemoveCustomTrace(std::string& name, boost::optional<std::vector<Loggers>>& loggers);

    // Applies options to the existing sinks without rebuilding them: only
    // their filters change. Enabled slots without a sink get one; a sink
    // whose slot is now disabled stops taking records.
    void updateSeverityFilters(LoggerOptions&& options);

    void EnableLogging();
    void DisableLogging();
    // True when some slot holds a sink and is enabled in the options.
    bool isLoggingActive() const;
    // Detaches all sinks; no record passes until options are applied again.
    void RemoveSinks();

private:
    std::unique_ptr<FileSinkWrapper> createFileSink(const boost::filesystem::path& folder,
                                                    const std::string& name,
                                                    SinkOptions&& options);
    std::unique_ptr<StreamSinkWrapper> createStreamSink(SinkOptions&& options,
                                                        std::ostream* stream);
    void updateFileSink(Loggers which, const boost::filesystem::path& folder,
                        const std::string& name, SinkOptions&& options);
    void updateStreamSink(Loggers which, SinkOptions&& options);
    template <typename WrapperT>
    void removeSink(std::unique_ptr<WrapperT>& slot);

    std::unique_ptr<FileSinkWrapper> m_main_file_sink;
    std::unique_ptr<StreamSinkWrapper> m_stderr_sink;
    std::unique_ptr<StreamSinkWrapper> m_stdout_sink;
    std::unique_ptr<FileSinkWrapper> m_verbose_file_sink;
    LoggerOptions m_options;
};

}  // namespace common::logging
