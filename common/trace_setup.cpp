#include <atomic>
#include <fstream>

#include "common/logger.h"
#include "common/trace_internal.h"

namespace {

using common::diagnostics::tracing::AbstractContextBuilder;
using common::diagnostics::tracing::TraceMode;

bool is_portable_id(const std::string& id) {
    // What a portable file name allows in the middle of "A<id>a.txt".
    for (char c : id) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '.' && c != '_' && c != '-') {
            return false;
        }
    }
    return true;
}

}  // namespace

// The one trace set-up of the process (see common::diagnostics::tracing::context()).
class ContextBuilder : public AbstractContextBuilder {
public:
    ContextBuilder() = default;
    ~ContextBuilder() = default;

    AbstractContextBuilder& with_custom_trace_writer(
            std::function<void(const std::string&)> writer) override {
        m_custom_trace_writer = std::move(writer);
        return *this;
    }

    AbstractContextBuilder& with_trace_domains_file(std::string path) override {
        m_trace_domains_file = std::move(path);
        return *this;
    }

    AbstractContextBuilder& using_trace_output_folder(std::string folder) override {
        m_trace_output_folder = std::move(folder);
        return *this;
    }

    AbstractContextBuilder& with_trace_file_unique_id(int id) override {
        if (id >= 0) {
            m_trace_file_unique_id = std::to_string(id);
        }
        return *this;
    }

    AbstractContextBuilder& with_trace_file_unique_id(std::string id) override {
        if (is_portable_id(id)) {
            m_trace_file_unique_id = std::move(id);
        }
        return *this;
    }

    void initialise() override {
        using namespace common::diagnostics::tracing::details;
        if (m_initialised.exchange(true)) {
            return;
        }
        auto& output = ActiveTraceContext::instance();
        output.set_custom_writer(m_custom_trace_writer);
        output.set_file_tracing_info(m_trace_output_folder, m_trace_file_unique_id);

        auto& configuration = TraceConfiguration::instance();
        configuration.set_default_trace_mode(m_default_trace_mode);
        if (m_trace_domains_file.empty()) {
            return;
        }
        std::ifstream file(m_trace_domains_file);
        if (!file.is_open()) {
            SL_LOG(info) << "Could not read trace configuration file: " << m_trace_domains_file;
            return;
        }
        configuration.configure_if_empty(file);
    }

private:
    TraceMode m_default_trace_mode = TraceMode::verbose_log;
    std::function<void(const std::string&)> m_custom_trace_writer = [](const std::string&) {};
    std::string m_trace_domains_file;
    std::string m_trace_output_folder;
    std::string m_trace_file_unique_id;
    std::atomic<bool> m_initialised{false};
};

namespace common::diagnostics::tracing {

AbstractContextBuilder& context() {
    // Never destroyed, like the rest of tracing: a client destroyed late in
    // process exit may still reach it.
    static ContextBuilder* builder = new ContextBuilder();
    return *builder;
}

namespace testability {

void set_custom_trace_writer(std::function<void(const std::string&)> writer) {
    details::ActiveTraceContext::instance().set_custom_writer(std::move(writer));
    details::TraceConfiguration::instance().set_default_trace_mode(TraceMode::custom);
}

}  // namespace testability

}  // namespace common::diagnostics::tracing
