#include "common/trace.h"

#include <boost/core/demangle.hpp>

namespace common::diagnostics::tracing {

namespace details {

std::string trace_domain_name(const char* mangled_name) {
    std::string name = boost::core::demangle(mangled_name);
    for (const std::string keyword : {"class ", "struct "}) {
        for (auto pos = name.find(keyword); pos != std::string::npos; pos = name.find(keyword)) {
            name.erase(pos, keyword.size());
        }
    }
    return name;
}

}  // namespace details

Trace::Trace(std::shared_ptr<details::TraceContext> context, std::string name, bool timed)
        : m_trace_context(std::move(context)),
          m_scope_name(std::move(name)),
          m_timed(timed),
          m_start_time() {
    if (m_timed) {
        m_start_time = std::chrono::steady_clock::now();
    }
    m_trace_context->write_entry(m_scope_name);
}

Trace::~Trace() {
    if (m_timed) {
        m_trace_context->write_exit(m_scope_name, std::chrono::steady_clock::now() - m_start_time);
    } else {
        m_trace_context->write_exit(m_scope_name);
    }
}

void Trace::message(const std::string& text) { m_trace_context->write_message(m_scope_name, text); }

void Trace::message(std::function<std::string()> text) {
    m_trace_context->write_message(m_scope_name, std::move(text));
}

void Trace::timed_message(const std::string& text) {
    if (m_timed) {
        m_trace_context->write_message(m_scope_name, text,
                                       std::chrono::steady_clock::now() - m_start_time);
    } else {
        m_trace_context->write_message(m_scope_name, text);
    }
}

}  // namespace common::diagnostics::tracing
