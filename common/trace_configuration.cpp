#include <cstdlib>
#include <fstream>
#include <istream>
#include <locale>
#include <sstream>
#include <vector>

#include "common/logger.h"
#include "common/trace_internal.h"

namespace common::diagnostics::tracing {

namespace details {

namespace {

constexpr char TESSEL_TRACE_CONFIG[] = "ZEB_BASECALL_TRACE_CONFIG";

// The context of every disabled domain: writes nothing, never calls a text
// function.
class DisabledTraceContext : public TraceContext {
public:
    void write_entry(const std::string&) override {}
    void write_exit(const std::string&) override {}
    void write_exit(const std::string&, std::chrono::nanoseconds) override {}
    void write_message(const std::string&, const std::string&) override {}
    void write_message(const std::string&, std::function<std::string()>) override {}
    void write_message(const std::string&, const std::string&, std::chrono::nanoseconds) override {}
    bool is_active() const override { return false; }
};

bool is_space(char c) { return std::isspace(c, std::locale()); }

std::string trim_spaces(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space(text[begin])) {
        ++begin;
    }
    while (end > begin && is_space(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::string> split_at_spaces(const std::string& text) {
    std::vector<std::string> tokens;
    std::string token;
    for (char c : text) {
        if (is_space(c)) {
            if (!token.empty()) {
                tokens.push_back(std::move(token));
                token.clear();
            }
        } else {
            token.push_back(c);
        }
    }
    if (!token.empty()) {
        tokens.push_back(std::move(token));
    }
    return tokens;
}

bool parse_mode_keyword(const std::string& word, TraceMode& mode) {
    static const std::pair<const char*, TraceMode> keywords[] = {
            {"verbose_log", TraceMode::verbose_log}, {"trace_file", TraceMode::trace_file},
            {"stdout", TraceMode::std_out},          {"stderr", TraceMode::std_err},
            {"win_dbg_out", TraceMode::win_dbg_out}, {"custom", TraceMode::custom},
            {"exclude", TraceMode::exclude},
    };
    for (const auto& keyword : keywords) {
        if (word == keyword.first) {
            mode = keyword.second;
            return true;
        }
    }
    return false;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TraceConfiguration& TraceConfiguration::instance() {
    // Never destroyed: domains may be first used by objects destroyed late in
    // process exit.
    static TraceConfiguration* configuration = new TraceConfiguration();
    return *configuration;
}

TraceConfiguration::TraceConfiguration()
        : m_disabled_context(std::make_shared<DisabledTraceContext>()) {
    const char* path = std::getenv(TESSEL_TRACE_CONFIG);
    if (path != nullptr) {
        std::ifstream file(path);
        if (file.is_open()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            add_lines_locked(file);
        }
    }
}

void TraceConfiguration::configure_trace_domains_impl(std::istream& stream) {
    std::lock_guard<std::mutex> lock(m_mutex);
    add_lines_locked(stream);
}

void TraceConfiguration::add_lines_locked(std::istream& stream) {
    std::string line;
    while (std::getline(stream, line)) {
        const std::vector<std::string> tokens = split_at_spaces(trim_spaces(line));
        if (tokens.empty() || tokens[0][0] == '#') {
            continue;
        }
        TraceMode mode = m_default_trace_mode;
        if (tokens.size() >= 2 && tokens[1][0] != '#') {
            if (!parse_mode_keyword(tokens[1], mode)) {
                continue;
            }
        } else if (mode == TraceMode::none) {
            continue;
        }
        add_locked(tokens[0], mode);
    }
}

void TraceConfiguration::add_trace_domain_mode(std::string domain, TraceMode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    add_locked(std::move(domain), mode);
}

void TraceConfiguration::add_locked(std::string domain, TraceMode mode) {
    const bool prefix = !domain.empty() && domain.back() == '*';
    if (prefix) {
        domain.pop_back();
    }
    if (mode == TraceMode::exclude) {
        (prefix ? m_excluded_prefixes : m_excluded_domains).insert(std::move(domain));
    } else {
        // emplace keeps an existing entry: the first entry for a name wins.
        (prefix ? m_prefix_modes : m_domain_modes).emplace(std::move(domain), mode);
    }
}

TraceMode TraceConfiguration::get_domain_trace_mode(const std::string& domain) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return lookup_locked(domain);
}

TraceMode TraceConfiguration::lookup_locked(const std::string& domain) const {
    const auto exact = m_domain_modes.find(domain);
    if (exact != m_domain_modes.end() && exact->second != TraceMode::none) {
        return exact->second;
    }
    if (starts_with(domain, HFTRACE_PREFIX)) {
        return TraceMode::none;
    }
    // Descending order puts the longer of two nested prefixes first.
    for (const auto& entry : m_prefix_modes) {
        if (starts_with(domain, entry.first)) {
            return entry.second;
        }
    }
    return TraceMode::none;
}

TraceMode TraceConfiguration::resolve_trace_mode(const std::string& domain) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& prefix : m_excluded_prefixes) {
        if (starts_with(domain, prefix)) {
            return TraceMode::none;
        }
    }
    if (m_excluded_domains.count(domain) != 0) {
        return TraceMode::none;
    }
    return lookup_locked(domain);
}

void TraceConfiguration::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    clear_locked();
}

void TraceConfiguration::clear_locked() {
    m_prefix_modes.clear();
    m_domain_modes.clear();
    m_excluded_prefixes.clear();
    m_excluded_domains.clear();
}

bool TraceConfiguration::empty() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_prefix_modes.empty() && m_domain_modes.empty() && m_excluded_prefixes.empty() &&
           m_excluded_domains.empty();
}

TraceMode TraceConfiguration::default_trace_mode() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_default_trace_mode;
}

void TraceConfiguration::set_default_trace_mode(TraceMode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_default_trace_mode = mode;
}

void TraceConfiguration::replace(std::istream& stream) {
    std::lock_guard<std::mutex> lock(m_mutex);
    clear_locked();
    add_lines_locked(stream);
}

void TraceConfiguration::configure_if_empty(std::istream& stream) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_prefix_modes.empty() && m_domain_modes.empty() && m_excluded_prefixes.empty() &&
        m_excluded_domains.empty()) {
        add_lines_locked(stream);
    }
}

void TraceConfiguration::replace_with_domains(const std::string& domains) {
    std::lock_guard<std::mutex> lock(m_mutex);
    clear_locked();
    std::string part;
    std::istringstream parts(domains);
    while (std::getline(parts, part, ',')) {
        part = trim_spaces(part);
        if (!part.empty()) {
            add_locked(part, m_default_trace_mode);
        }
    }
}

}  // namespace details

namespace testability {

using details::TraceConfiguration;

void set_default_trace_mode(TraceMode mode) { TraceConfiguration::instance().set_default_trace_mode(mode); }

void set_enabled_trace_domains(const std::string& domains) {
    TraceConfiguration::instance().replace_with_domains(domains);
}

void configure_trace_domains(std::istream& stream) { TraceConfiguration::instance().replace(stream); }

void configure_trace_domains(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::ifstream file(path);
    if (!file.is_open()) {
        SL_LOG(info) << "Could not read trace configuration file: " << path;
    }
    TraceConfiguration::instance().replace(file);
}

bool environment_config_exists() { return std::getenv(details::TESSEL_TRACE_CONFIG) != nullptr; }

TraceMode get_domain_trace_mode(const std::string& domain) {
    return TraceConfiguration::instance().get_domain_trace_mode(domain);
}

}  // namespace testability

}  // namespace common::diagnostics::tracing
