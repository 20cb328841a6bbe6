#include "common/log_format.h"

#include "common/log_sources.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/expressions/formatters/date_time.hpp>
#include <boost/log/expressions/formatters/stream.hpp>
#include <boost/log/expressions/formatters/wrap_formatter.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/phoenix/operator.hpp>
#include <boost/log/support/date_time.hpp>

#include <array>
#include <cstddef>
#include <string>
#include <utility>

namespace common::logging {

namespace expressions::detail {

std::string shorten_pretty_function(std::string text) {
    std::size_t cut = text.find('(');
    if (cut == std::string::npos) {
        return text;
    }
    for (const char* ends_name : {"{anonymous}", "<lambda("}) {
        const std::size_t found = text.find(ends_name);
        if (found < cut) {
            cut = found;
        }
    }
    text.erase(cut);

    const std::size_t open = text.find('<');
    const std::size_t close = text.rfind('>');
    if (open != std::string::npos && close != std::string::npos) {
        if (close > open) {
            text.erase(open + 1, close - open - 1);
        } else {
            text.erase(open + 1);
        }
    }

    const std::size_t blank = text.rfind(' ');
    if (blank != std::string::npos) {
        text.erase(0, blank + 1);
    }
    return text;
}

void format_pretty_function(const boost::log::record_view& record,
                            boost::log::formatting_ostream& stream) {
    const auto function =
        boost::log::extract<std::string>(attributes::names::function(), record.attribute_values());
    if (!function) {
        return;
    }
    stream << shorten_pretty_function(function.get());
}

}  // namespace expressions::detail

namespace {

namespace expr = boost::log::expressions;

enum Part : int { TIMESTAMP = 0, CHANNEL, SEVERITY, FUNCTION, THREAD_ID, PART_COUNT };

// The key bit of a part: time stamp 16, channel 8, severity 4, function 2,
// thread id 1.
constexpr unsigned part_bit(int part) { return 1u << (PART_COUNT - 1 - part); }

template <int P, typename Expr>
auto add_part(const Expr& e) {
    if constexpr (P == TIMESTAMP) {
        return e << expr::format_date_time<boost::posix_time::ptime>("TimeStamp",
                                                                     "%Y-%m-%d %H:%M:%S.%f ");
    } else if constexpr (P == CHANNEL) {
        return e << "[zeb/" << attributes::log_channel << "] ";
    } else if constexpr (P == SEVERITY) {
        return e << "{" << attributes::severity << "} ";
    } else if constexpr (P == FUNCTION) {
        return e << expr::wrap_formatter(&expressions::detail::format_pretty_function) << ": ";
    } else {
        return e << "(thread: " << attributes::thread_id << ") ";
    }
}

template <unsigned Key, int P, typename Expr>
boost::log::formatter build_layout(const Expr& e) {
    if constexpr (P == PART_COUNT) {
        return boost::log::formatter(e << expr::smessage);
    } else if constexpr ((Key & part_bit(P)) != 0) {
        return build_layout<Key, P + 1>(add_part<P>(e));
    } else {
        return build_layout<Key, P + 1>(e);
    }
}

template <unsigned Key>
boost::log::formatter make_layout() {
    return build_layout<Key, 0>(expr::stream);
}

using LayoutMaker = boost::log::formatter (*)();

template <std::size_t... Keys>
constexpr std::array<LayoutMaker, sizeof...(Keys)> make_layout_table(std::index_sequence<Keys...>) {
    return {{&make_layout<static_cast<unsigned>(Keys)>...}};
}

constexpr auto LAYOUTS = make_layout_table(std::make_index_sequence<1u << PART_COUNT>());

}  // namespace

boost::log::formatter CreateLogFormatters(const FormatterSettings& settings) {
    unsigned key = 0;
    key |= settings.show_timestamp ? part_bit(TIMESTAMP) : 0u;
    key |= settings.show_channel ? part_bit(CHANNEL) : 0u;
    key |= settings.show_severity ? part_bit(SEVERITY) : 0u;
    key |= settings.show_function ? part_bit(FUNCTION) : 0u;
    key |= settings.show_thread_id ? part_bit(THREAD_ID) : 0u;
    return LAYOUTS[key]();
}

}  // namespace common::logging
