#pragma once

// Record layouts of the log sinks: which of the optional parts (time stamp,
// channel, severity, function, thread id) precede the message.

#include <boost/log/core/record_view.hpp>
#include <boost/log/expressions/formatter.hpp>
#include <boost/log/utility/formatting_ostream.hpp>

#include <string>

namespace common::logging {

struct FormatterSettings {
    bool show_timestamp = true;
    bool show_channel = false;
    bool show_severity = true;
    bool show_function = true;
    bool show_thread_id = false;
};

// The formatter that writes the parts switched on in `settings`, in the order
// time stamp, channel, severity, function, thread id, then the message. The
// settings are read once: the 32 layouts are prebuilt, so the formatter makes
// no per-record decision. Thread-safe.
boost::log::formatter CreateLogFormatters(const FormatterSettings& settings);

namespace expressions::detail {

// Writes the record's "Function" attribute shortened to a qualified name
// (nothing when the record has none).
void format_pretty_function(const boost::log::record_view& record,
                            boost::log::formatting_ostream& stream);

// The shortening itself: the text up to the first "(", template arguments
// emptied, return type dropped. "{anonymous}" and "<lambda(" (how g++ spells
// an anonymous namespace and a lambda) end the name like the first "(", so
// that such signatures shorten as they do for other compilers.
std::string shorten_pretty_function(std::string text);

}  // namespace expressions::detail

}  // namespace common::logging
