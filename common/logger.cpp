#include "common/logger.h"

#include "common/log_sources.h"

#include <boost/log/attributes/constant.hpp>
#include <boost/log/core/record.hpp>
#include <boost/log/keywords/channel.hpp>
#include <boost/log/keywords/severity.hpp>
#include <boost/log/sources/global_logger_storage.hpp>
#include <boost/log/sources/record_ostream.hpp>

#include <exception>
#include <new>
#include <ostream>
#include <stdexcept>
#include <utility>

namespace common::logging {

namespace attributes {

namespace {
constexpr const char* SEVERITY_TEXTS[] = {"trace", "verbose", "message", "info", "warning", "error"};
}  // namespace

const char* to_string(SeverityLevel level) {
    const auto index = static_cast<unsigned>(level);
    if (index > static_cast<unsigned>(SeverityLevel::error)) {
        return "unknown";
    }
    return SEVERITY_TEXTS[index];
}

SeverityLevel get_severity_by_name(const std::string& name) {
    static constexpr SeverityLevel order[] = {SeverityLevel::error,   SeverityLevel::warning,
                                              SeverityLevel::message, SeverityLevel::info,
                                              SeverityLevel::verbose, SeverityLevel::trace};
    for (const SeverityLevel level : order) {
        if (name == to_string(level)) {
            return level;
        }
    }
    throw std::runtime_error("unable to find severity for string: " + name);
}

std::ostream& operator<<(std::ostream& out, SeverityLevel level) { return out << to_string(level); }

namespace names {
boost::log::attribute_name function() {
    static const boost::log::attribute_name name("Function");
    return name;
}
}  // namespace names

}  // namespace attributes

#define SL_DEFINE_NAMED_LOGGER(tag_name)                                                   \
    BoostLoggerWrapper tag_name::construct_logger() {                                      \
        return BoostLoggerWrapper(boost::log::keywords::severity = tag_name::default_severity, \
                                  boost::log::keywords::channel = std::string(#tag_name)); \
    }                                                                                      \
    BoostLoggerWrapper& tag_name::get() {                                                  \
        return boost::log::sources::aux::logger_singleton<tag_name>::get();                \
    }

SL_DEFINE_NAMED_LOGGER(error)
SL_DEFINE_NAMED_LOGGER(warning)
SL_DEFINE_NAMED_LOGGER(info)
SL_DEFINE_NAMED_LOGGER(message)
SL_DEFINE_NAMED_LOGGER(verbose)
SL_DEFINE_NAMED_LOGGER(custom)

#undef SL_DEFINE_NAMED_LOGGER

bool would_log(LoggerGetter logger) {
    return static_cast<bool>(logger().open_record());
}

namespace detail {

namespace {

struct OpenRecord {
    explicit OpenRecord(boost::log::record&& rec) : record(std::move(rec)), stream(record) {}
    boost::log::record record;
    boost::log::record_ostream stream;
};

}  // namespace

LogSite::LogSite(LoggerGetter logger, attributes::SeverityLevel severity, const char* function) {
    open(logger, &severity, function);
}

LogSite::LogSite(LoggerGetter logger, const char* function) { open(logger, nullptr, function); }

void LogSite::open(LoggerGetter logger, const attributes::SeverityLevel* severity,
                   const char* function) {
    static_assert(sizeof(OpenRecord) <= sizeof(m_storage), "LogSite storage too small");
    static_assert(alignof(OpenRecord) <= alignof(std::max_align_t), "LogSite storage misaligned");
    m_logger = &logger();
    boost::log::record rec = severity != nullptr
                                 ? m_logger->open_record(boost::log::keywords::severity = *severity)
                                 : m_logger->open_record();
    if (!rec) {
        return;
    }
    rec.attribute_values().insert(
        attributes::names::function(),
        boost::log::attributes::make_constant(std::string(function)).get_value());
    new (m_storage) OpenRecord(std::move(rec));
    m_open = true;
}

LogSite::~LogSite() {
    if (m_open) {
        // Not pushed: the message expression threw, so the record is dropped.
        std::launder(reinterpret_cast<OpenRecord*>(m_storage))->~OpenRecord();
    }
}

std::ostream& LogSite::stream() {
    return std::launder(reinterpret_cast<OpenRecord*>(m_storage))->stream.stream();
}

void LogSite::push() {
    if (!m_open) {
        return;
    }
    auto* open_record = std::launder(reinterpret_cast<OpenRecord*>(m_storage));
    open_record->stream.flush();
    open_record->stream.detach_from_record();
    boost::log::record rec = std::move(open_record->record);
    open_record->~OpenRecord();
    m_open = false;
    m_logger->push_record(std::move(rec));
}

}  // namespace detail

}  // namespace common::logging
