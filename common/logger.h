#pragma once

// The system's logging front door: severity levels, the six named loggers and
// the log-site macros. Including this header does not pull in Boost.Log's
// logger templates; they are compiled once, in logger.cpp. Code that needs
// the logger type itself or the attribute keywords includes
// "common/log_sources.h".
//
// Writing a record:
//
//     SL_LOG(warning) << "queue full: " << size;
//     SL_LOG_SEV(custom, common::logging::attributes::SeverityLevel::trace) << text;
//
// The message expression is evaluated only when some sink takes the record.
// The record carries the attribute "Function": the pretty signature of the
// enclosing function.

#include <boost/log/attributes/attribute_name.hpp>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace common::logging {

namespace attributes {

// Ordered from least to most severe.
enum class SeverityLevel : std::uint8_t {
    trace = 0,
    verbose = 1,
    message = 2,
    info = 3,
    warning = 4,
    error = 5,
};

// The level's text; "unknown" for values above error. The text is static.
const char* to_string(SeverityLevel level);

// The level whose text equals `name` exactly. Throws std::runtime_error
// "unable to find severity for string: <name>" for any other text.
SeverityLevel get_severity_by_name(const std::string& name);

// Writes to_string(level).
std::ostream& operator<<(std::ostream& out, SeverityLevel level);

namespace names {
// The attribute name "Function", made on first use. Thread-safe.
boost::log::attribute_name function();
}  // namespace names

}  // namespace attributes

// The logger type of all six named loggers: a multi-threaded composite
// severity-and-channel logger. Defined in "common/log_sources.h".
class BoostLoggerWrapper;

// The six process-wide named loggers. get() returns the one logger of the
// tag, made on first use (thread-safe) and kept in Boost.Log's global logger
// storage; construct_logger() makes a new one with the tag's channel and
// default severity.
#define SL_DECLARE_NAMED_LOGGER(tag_name, level)                                   \
    struct tag_name {                                                              \
        using logger_type = BoostLoggerWrapper;                                    \
        static constexpr attributes::SeverityLevel default_severity = level;       \
        static constexpr const char* channel = #tag_name;                          \
        enum registration_line_t { registration_line = __LINE__ };                 \
        static const char* registration_file() { return __FILE__; }                \
        static logger_type construct_logger();                                     \
        static logger_type& get();                                                 \
    }

SL_DECLARE_NAMED_LOGGER(error, attributes::SeverityLevel::error);
SL_DECLARE_NAMED_LOGGER(warning, attributes::SeverityLevel::warning);
SL_DECLARE_NAMED_LOGGER(info, attributes::SeverityLevel::info);
SL_DECLARE_NAMED_LOGGER(message, attributes::SeverityLevel::message);
SL_DECLARE_NAMED_LOGGER(verbose, attributes::SeverityLevel::verbose);
SL_DECLARE_NAMED_LOGGER(custom, attributes::SeverityLevel::trace);

#undef SL_DECLARE_NAMED_LOGGER

using LoggerGetter = BoostLoggerWrapper& (*)();

// True when a record opened on the logger with its default severity would be
// taken by some sink right now. Costs one filter evaluation.
bool would_log(LoggerGetter logger);

namespace detail {

// One log record in the making (see SL_LOG). Opening applies the core and
// sink filters; when nothing takes the record, the site is false and the
// message is never built. push() hands the record to the logging core; a
// site destroyed without push() (an exception escaped the message
// expression) drops its record.
class LogSite {
public:
    LogSite(LoggerGetter logger, attributes::SeverityLevel severity, const char* function);
    // Opens the record with the logger's default severity.
    LogSite(LoggerGetter logger, const char* function);
    ~LogSite();

    LogSite(const LogSite&) = delete;
    LogSite& operator=(const LogSite&) = delete;

    explicit operator bool() const { return m_open; }

    // REQUIRES: the site is open.
    std::ostream& stream();

    void push();

private:
    void open(LoggerGetter logger, const attributes::SeverityLevel* severity,
              const char* function);

    bool m_open = false;
    BoostLoggerWrapper* m_logger = nullptr;
    // The Boost.Log record and its stream live here, so that log sites need
    // no Boost.Log templates.
    alignas(std::max_align_t) unsigned char m_storage[512];
};

}  // namespace detail

}  // namespace common::logging

// Opens a record on the named logger `tag_name` (error, warning, info,
// message, verbose or custom) with the given severity and evaluates the
// streamed message only when a sink takes the record.
#define SL_LOG_SEV(tag_name, severity_level)                                                 \
    for (::common::logging::detail::LogSite sl_log_site_(&::common::logging::tag_name::get, \
                                                         (severity_level),                  \
                                                         __PRETTY_FUNCTION__);              \
         sl_log_site_; sl_log_site_.push())                                                 \
    sl_log_site_.stream()

// The same with the severity of the logger's own name (trace for custom).
#define SL_LOG(tag_name) SL_LOG_SEV(tag_name, ::common::logging::tag_name::default_severity)
