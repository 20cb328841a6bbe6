#include "common/log_options.h"

#include "common/log_sources.h"

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace common::logging {

namespace {

using attributes::SeverityLevel;

bool HasSeverity(const std::vector<SeverityLevel>& severities,
                 const boost::log::value_ref<SeverityLevel>& severity) {
    if (!severity) {
        return false;
    }
    return std::find(severities.begin(), severities.end(), severity.get()) != severities.end();
}

bool Contains(const std::unordered_set<std::string>& channels,
              const boost::log::value_ref<std::string>& channel) {
    if (!channel) {
        return true;
    }
    return channels.count(channel.get()) > 0;
}

bool RejectAllRecords() { return false; }

boost::log::value_ref<SeverityLevel> severity_of(const boost::log::attribute_value_set& values) {
    return boost::log::extract<SeverityLevel>(attributes::tag::severity::get_name(), values);
}

boost::log::value_ref<std::string> channel_of(const boost::log::attribute_value_set& values) {
    return boost::log::extract<std::string>(attributes::tag::log_channel::get_name(), values);
}

struct SeverityRule {
    std::vector<SeverityLevel> severities;

    bool operator()(const boost::log::attribute_value_set& values) const {
        return HasSeverity(severities, severity_of(values));
    }
};

struct TwoPartRule {
    std::vector<SeverityLevel> severities;
    std::unordered_set<std::string> custom_traces;

    bool operator()(const boost::log::attribute_value_set& values) const {
        const boost::log::value_ref<SeverityLevel> severity = severity_of(values);
        if (!severity) {
            return false;
        }
        if (severity.get() != SeverityLevel::trace) {
            return HasSeverity(severities, severity);
        }
        return Contains(custom_traces, channel_of(values));
    }
};

struct RejectRule {
    bool operator()(const boost::log::attribute_value_set&) const { return RejectAllRecords(); }
};

SinkOptions& slot(LoggerOptions& options, Loggers which) {
    const auto index = static_cast<int>(which);
    if (index < 0 || index >= static_cast<int>(NUM_LOGGERS)) {
        throw std::out_of_range("invalid Loggers value: " + std::to_string(index));
    }
    return options.sink_options[static_cast<std::size_t>(index)];
}

// Checks every index before any slot is edited, so a bad list changes nothing.
void check_loggers(LoggerOptions& options, const std::vector<Loggers>& loggers) {
    for (const Loggers which : loggers) {
        slot(options, which);
    }
}

std::vector<Loggers> chosen_or_all(const boost::optional<std::vector<Loggers>>& loggers) {
    if (loggers) {
        return *loggers;
    }
    return {Loggers::main_file, Loggers::standard_error, Loggers::standard_output,
            Loggers::verbose_file};
}

void disable_if_unused(SinkOptions& sink) {
    if (sink.severities.empty() && sink.custom_traces.empty()) {
        sink.enabled = false;
    }
}

}  // namespace

boost::log::filter DefineSeverityFilter(std::vector<SeverityLevel>&& severities) {
    return boost::log::filter(SeverityRule{std::move(severities)});
}

boost::log::filter DefineSeverityFilter(std::vector<SeverityLevel>&& severities,
                                        std::unordered_set<std::string>&& custom_traces) {
    return boost::log::filter(TwoPartRule{std::move(severities), std::move(custom_traces)});
}

boost::log::filter DefineGlobalFilter(const LoggerOptions& options) {
    std::vector<SeverityLevel> severities;
    std::unordered_set<std::string> custom_traces;
    for (const SinkOptions& sink : options.sink_options) {
        for (const SeverityLevel level : sink.severities) {
            if (std::find(severities.begin(), severities.end(), level) == severities.end()) {
                severities.push_back(level);
            }
        }
        custom_traces.insert(sink.custom_traces.begin(), sink.custom_traces.end());
    }
    return DefineSeverityFilter(std::move(severities), std::move(custom_traces));
}

boost::log::filter DefineRejectFilter() { return boost::log::filter(RejectRule{}); }

template <typename SinkT>
void SinkFiltersUtils<SinkT>::SetFiltersForSink(boost::shared_ptr<SinkT> sink,
                                                std::vector<SeverityLevel>&& severities,
                                                std::unordered_set<std::string>&& custom_traces) {
    if (!sink) {
        return;
    }
    if (!custom_traces.empty()) {
        sink->set_filter(DefineSeverityFilter(std::move(severities), std::move(custom_traces)));
    } else {
        sink->set_filter(DefineSeverityFilter(std::move(severities)));
    }
}

template struct SinkFiltersUtils<boost::log::sinks::synchronous_sink<boost::log::sinks::text_file_backend>>;
template struct SinkFiltersUtils<
    boost::log::sinks::synchronous_sink<boost::log::sinks::basic_text_ostream_backend<char>>>;

void LoggerOptionsUtils::AddSeverity(LoggerOptions& options, SeverityLevel level,
                                     const std::vector<Loggers>& loggers) {
    check_loggers(options, loggers);
    for (const Loggers which : loggers) {
        SinkOptions& sink = slot(options, which);
        if (std::find(sink.severities.begin(), sink.severities.end(), level) ==
            sink.severities.end()) {
            sink.enabled = true;
            sink.severities.push_back(level);
        }
    }
}

void LoggerOptionsUtils::RemoveSeverity(LoggerOptions& options, SeverityLevel level,
                                        const boost::optional<std::vector<Loggers>>& loggers) {
    const std::vector<Loggers> chosen = chosen_or_all(loggers);
    check_loggers(options, chosen);
    for (const Loggers which : chosen) {
        SinkOptions& sink = slot(options, which);
        sink.severities.erase(std::remove(sink.severities.begin(), sink.severities.end(), level),
                              sink.severities.end());
        disable_if_unused(sink);
    }
}

void LoggerOptionsUtils::AddCustomTrace(LoggerOptions& options, const std::string& name,
                                        const std::vector<Loggers>& loggers) {
    check_loggers(options, loggers);
    for (const Loggers which : loggers) {
        SinkOptions& sink = slot(options, which);
        if (sink.custom_traces.count(name) == 0) {
            sink.enabled = true;
            sink.custom_traces.insert(name);
        }
    }
}

void LoggerOptionsUtils::RemoveCustomTrace(LoggerOptions& options, const std::string& name,
                                           boost::optional<std::vector<Loggers>>& loggers) {
    const std::vector<Loggers> chosen = chosen_or_all(loggers);
    check_loggers(options, chosen);
    for (const Loggers which : chosen) {
        SinkOptions& sink = slot(options, which);
        sink.custom_traces.erase(name);
        disable_if_unused(sink);
    }
}

}  // namespace common::logging
