#pragma once

// Inside of the tracing implementation, shared by its source files only:
// the configuration table and the background trace output.

#include <atomic>
#include <fstream>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

#include "common/active_object.h"
#include "common/trace.h"

namespace common::diagnostics::tracing::details {

// The process-wide table of trace domain entries. Made on first use, when
// the file named by ZEB_BASECALL_TRACE_CONFIG is read. Thread-safe: a client
// may be set up while another client's threads make their domain contexts.
class TraceConfiguration {
public:
    static TraceConfiguration& instance();

    // Reads configuration lines to the end of the stream and adds them.
    void configure_trace_domains_impl(std::istream& stream);
    void add_trace_domain_mode(std::string domain, TraceMode mode);
    // The mode the entries give a domain, exclusions not applied.
    TraceMode get_domain_trace_mode(const std::string& domain) const;
    // Exclusions applied: none for excluded domains.
    TraceMode resolve_trace_mode(const std::string& domain) const;

    void clear();
    bool empty() const;
    TraceMode default_trace_mode() const;
    void set_default_trace_mode(TraceMode mode);
    // Clears the table and adds the lines of the stream, as one change.
    void replace(std::istream& stream);
    // Reads the stream only when the table is still empty, as one change.
    void configure_if_empty(std::istream& stream);
    // Clears the table and adds the comma-separated domains in the default mode.
    void replace_with_domains(const std::string& domains);

    const std::shared_ptr<TraceContext>& disabled_context() const { return m_disabled_context; }

private:
    TraceConfiguration();

    void add_locked(std::string domain, TraceMode mode);
    void add_lines_locked(std::istream& stream);
    void clear_locked();
    TraceMode lookup_locked(const std::string& domain) const;

    mutable std::mutex m_mutex;
    std::map<std::string, TraceMode, std::greater<std::string>> m_prefix_modes;
    std::map<std::string, TraceMode, std::greater<std::string>> m_domain_modes;
    std::set<std::string, std::greater<std::string>> m_excluded_prefixes;
    std::set<std::string, std::greater<std::string>> m_excluded_domains;
    TraceMode m_default_trace_mode = TraceMode::verbose_log;
    std::shared_ptr<TraceContext> m_disabled_context;
};

// The stamp of a duration: milliseconds, '.', three digits of microseconds,
// "ms ".
std::string create_timestamp(std::chrono::nanoseconds duration);

// The process-wide trace output: every line is written by one background
// worker, "tracing", in the order lines were handed over. Made on first use
// and never destroyed, so that late objects can still trace during process
// exit; at exit the worker writes what is queued and stops, and lines that
// come later are written directly on the calling thread.
class ActiveTraceContext {
public:
    using Writer = std::function<void(const std::string&)>;

    static ActiveTraceContext& instance();

    void post_message(TraceMode mode, const std::string& line);
    std::ostringstream& decorate_message_stream(std::ostringstream& stream, const std::string& tag,
                                                const std::string& scope);
    void set_custom_writer(Writer writer);
    void set_file_tracing_info(std::string folder, std::string unique_id);
    void flush();

    const std::string& enter_tag() const { return m_enter_tag; }
    const std::string& leave_tag() const { return m_leave_tag; }
    const std::string& trace_tag() const { return m_trace_tag; }

private:
    ActiveTraceContext();
    ~ActiveTraceContext() = delete;

    static void shut_down_at_exit();

    void write_line(TraceMode mode, const std::string& line);
    void write_to_trace_file(const std::string& line);
    void set_next_trace_ofstream();
    std::string make_trace_file_prefix() const;

    const std::string m_enter_tag = "[ENTER] ";
    const std::string m_leave_tag = "[LEAVE] ";
    const std::string m_trace_tag = "[TRACE] ";
    const std::string m_trace_file_extension = ".trace";
    const std::uint64_t m_max_trace_file_size = 7340032;

    // Touched only by tasks on the worker (or, after shut-down, under
    // m_late_write_mutex).
    std::uint64_t m_trace_file_index = 0;
    std::ofstream m_trace_file;
    std::string m_trace_folder;
    std::string m_unique_id_suffix;
    std::string m_trace_file_prefix;
    Writer m_custom_writer;
    Writer m_stdout_writer;
    Writer m_stderr_writer;
    Writer m_boost_writer;
    Writer m_trace_file_writer;
    Writer m_win_dbg_out_writer;

    std::atomic<bool> m_shut_down{false};
    std::mutex m_late_write_mutex;

    ActiveObject m_active_object;
};

}  // namespace common::diagnostics::tracing::details
