#pragma once

// What the logger group should build (the option records), which records
// reach which sink (the filters), the option edits, and the preset option
// sets with the operations that install them.

#include "common/log_format.h"
#include "common/logger.h"

#include <boost/filesystem/path.hpp>
#include <boost/log/expressions/filter.hpp>
#include <boost/optional/optional.hpp>
#include <boost/smart_ptr/shared_ptr.hpp>

#include <array>
#include <string>
#include <unordered_set>
#include <vector>

namespace common::logging {

// The four sink slots of the logger group. No other values exist; the
// option edits reject any other index with std::out_of_range.
enum class Loggers : int {
    main_file = 0,        // file named LoggerOptions::file_name
    standard_error = 1,   // std::cerr
    standard_output = 2,  // std::cout
    verbose_file = 3,     // file named LoggerOptions::verbose_file_name
};

constexpr std::size_t NUM_LOGGERS = 4;

// The wishes for one sink.
struct SinkOptions {
    // Severities the sink accepts. Records of severity trace are chosen by
    // custom_traces instead whenever custom_traces is not empty.
    std::vector<attributes::SeverityLevel> severities;
    // Channels whose trace records the sink accepts.
    std::unordered_set<std::string> custom_traces;
    FormatterSettings formatter_settings;
    bool enabled = false;
};

// The wishes for the whole logger group.
struct LoggerOptions {
    std::array<SinkOptions, NUM_LOGGERS> sink_options;  // indexed by Loggers
    boost::filesystem::path log_folder;  // empty: the current directory, nothing created
    std::string file_name;
    std::string verbose_file_name;
};

// Passes records that have a severity found in the list.
boost::log::filter DefineSeverityFilter(std::vector<attributes::SeverityLevel>&& severities);
// Passes non-trace records whose severity is in the list, and trace records
// whose channel is in the set (or that have no channel).
boost::log::filter DefineSeverityFilter(std::vector<attributes::SeverityLevel>&& severities,
                                        std::unordered_set<std::string>&& custom_traces);
// The two-part filter over the union of all four sinks' lists (enabled or
// not): the core filter.
boost::log::filter DefineGlobalFilter(const LoggerOptions& options);
// Passes nothing.
boost::log::filter DefineRejectFilter();

// Sets a sink's filter from its options: the two-part filter when there are
// custom traces, else the severity filter. An empty sink pointer is ignored.
// Instantiated for the two sink types of the logger group.
template <typename SinkT>
struct SinkFiltersUtils {
    static void SetFiltersForSink(boost::shared_ptr<SinkT> sink,
                                  std::vector<attributes::SeverityLevel>&& severities,
                                  std::unordered_set<std::string>&& custom_traces);
};

struct LoggerOptionsUtils {
    // Option edits. Each takes the slots to edit; an index that is not a
    // Loggers value throws std::out_of_range before anything is changed.

    // On each slot: appends the level and enables the sink, unless the level
    // is already listed (then the slot is left as it is).
    static void AddSeverity(LoggerOptions& options, attributes::SeverityLevel level,
                            const std::vector<Loggers>& loggers);
    // On the listed slots (all four when none is given): removes the level;
    // a sink left with no severities and no custom traces is disabled.
    static void RemoveSeverity(LoggerOptions& options, attributes::SeverityLevel level,
                               const boost::optional<std::vector<Loggers>>& loggers);
    static void AddCustomTrace(LoggerOptions& options, const std::string& name,
                               const std::vector<Loggers>& loggers);
    static void RemoveCustomTrace(LoggerOptions& options, const std::string& name,
                                  boost::optional<std::vector<Loggers>>& loggers);

    // Preset option sets.

    // All sinks off except: standard error for error and warning, standard
    // output for info and message; file names "core" and "core_verbose".
    static LoggerOptions GetDefaultInitData();
    // Main file for message..error; standard error for warning and error;
    // standard output for message unless quiet; the verbose file for
    // verbose..error when verbose_logging, and for the comma-separated
    // custom traces (empty entries kept, no trimming).
    static LoggerOptions GetDefaultTesselLogOptions(bool quiet, bool verbose_logging,
                                                    const std::string& custom_trace_list);

    // Installing options in the process-wide logger group.

    // Installs the defaults (warnings and errors on standard error with
    // channel and function, messages alone on standard output) the first
    // time it is called in the process; later calls change nothing. A caller
    // racing the first one returns only once the defaults are installed.
    static void SetDefaultLogOptions();
    // Installs GetDefaultTesselLogOptions with the given folder and names, on
    // every call; afterwards SetDefaultLogOptions changes nothing. Must not
    // race with the other installers.
    static void SetDefaultTesselLogOptions(const std::string& log_folder,
                                           const std::string& file_name,
                                           const std::string& verbose_file_name, bool quiet,
                                           bool verbose_logging,
                                           const std::string& custom_trace_list);
    // Switches the logging core off; sinks and options stay.
    static void DisableAllLogs();
};

}  // namespace common::logging
