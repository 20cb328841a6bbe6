#pragma once

// Boost.Log side of the named loggers: the logger type and the attribute
// keywords that formats and filters read. Heavy to compile; log sites only
// need "common/logger.h".

#include "common/logger.h"

#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/detail/light_rw_mutex.hpp>
#include <boost/log/expressions/keyword.hpp>
#include <boost/log/sources/basic_logger.hpp>
#include <boost/log/sources/channel_feature.hpp>
#include <boost/log/sources/features.hpp>
#include <boost/log/sources/severity_feature.hpp>
#include <boost/log/sources/threading_models.hpp>
#include <boost/log/utility/strictest_lock.hpp>

#include <string>

namespace common::logging {

class BoostLoggerWrapper
    : public boost::log::sources::basic_composite_logger<
          char, BoostLoggerWrapper,
          boost::log::sources::multi_thread_model<boost::log::aux::light_rw_mutex>,
          boost::log::sources::features<boost::log::sources::severity<attributes::SeverityLevel>,
                                        boost::log::sources::channel<std::string>>> {
    BOOST_LOG_FORWARD_LOGGER_MEMBERS(BoostLoggerWrapper)
};

namespace attributes {

namespace tag {
struct severity : boost::log::expressions::keyword_descriptor {
    using value_type = SeverityLevel;
    static boost::log::attribute_name get_name() { return boost::log::attribute_name("Severity"); }
};
struct log_channel : boost::log::expressions::keyword_descriptor {
    using value_type = std::string;
    static boost::log::attribute_name get_name() { return boost::log::attribute_name("Channel"); }
};
struct thread_id : boost::log::expressions::keyword_descriptor {
    using value_type = boost::log::attributes::current_thread_id::value_type;
    static boost::log::attribute_name get_name() { return boost::log::attribute_name("ThreadID"); }
};
struct function : boost::log::expressions::keyword_descriptor {
    using value_type = std::string;
    static boost::log::attribute_name get_name() { return names::function(); }
};
}  // namespace tag

inline const boost::log::expressions::attribute_keyword<tag::severity> severity = {};
inline const boost::log::expressions::attribute_keyword<tag::log_channel> log_channel = {};
inline const boost::log::expressions::attribute_keyword<tag::thread_id> thread_id = {};
inline const boost::log::expressions::attribute_keyword<tag::function> function = {};

}  // namespace attributes

}  // namespace common::logging
