#pragma once

// Per-class tracing. A class takes part by inheriting TraceDomain<itself> as a
// non-public base; each traced operation then opens a scope:
//
//     class ReadBuffer : private common::diagnostics::tracing::TraceDomain<ReadBuffer> {
//         void push() { auto trace = create_trace("push"); trace.message("queued"); }
//     };
//
// A domain is named after its class ("strandlink::ReadBuffer"); its
// high-frequency twin ("hftrace::strandlink::ReadBuffer") is for hot paths and
// is switched on only by an exact configuration entry. Which domains write,
// and where, is decided once per domain at its first use, from the file named
// by ZEB_BASECALL_TRACE_CONFIG or the domains file of the set-up (context()).
// Lines are formatted on the calling thread and written by one background
// thread, "tracing".

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <typeinfo>

namespace common {

// A base that makes its derived class neither copyable nor movable.
template <typename T>
class copy_and_move_disabled {
protected:
    copy_and_move_disabled() = default;
    ~copy_and_move_disabled() = default;

public:
    copy_and_move_disabled(const copy_and_move_disabled&) = delete;
    copy_and_move_disabled& operator=(const copy_and_move_disabled&) = delete;
    copy_and_move_disabled(copy_and_move_disabled&&) = delete;
    copy_and_move_disabled& operator=(copy_and_move_disabled&&) = delete;
};

}  // namespace common

namespace common::diagnostics::tracing {

// Where a domain's lines go. The comments give the configuration keywords.
enum class TraceMode : std::int32_t {
    none = 0,         // nothing is written
    verbose_log = 1,  // "verbose_log": records of the verbose logger
    trace_file = 2,   // "trace_file": the current trace file
    std_out = 3,      // "stdout"
    std_err = 4,      // "stderr"
    win_dbg_out = 5,  // "win_dbg_out": formatted, then dropped
    custom = 6,       // "custom": the writer installed by the set-up
    exclude = 7,      // "exclude": configuration only, never a context's mode
};

namespace details {

// A domain whose name starts with this is a high-frequency domain.
inline constexpr char HFTRACE_PREFIX[] = "hftrace::";

// The per-domain sink. Thread-safe; always held by std::shared_ptr.
class TraceContext {
public:
    virtual void write_entry(const std::string& name) = 0;
    virtual void write_exit(const std::string& name) = 0;
    virtual void write_exit(const std::string& name, std::chrono::nanoseconds duration) = 0;
    virtual void write_message(const std::string& name, const std::string& text) = 0;
    // Calls `text` only when the context writes at all.
    virtual void write_message(const std::string& name, std::function<std::string()> text) = 0;
    virtual void write_message(const std::string& name, const std::string& text,
                               std::chrono::nanoseconds duration) = 0;
    // False for the shared context of disabled domains.
    virtual bool is_active() const = 0;
    virtual ~TraceContext() = default;
};

// The context for a domain, as the trace configuration now says: a new
// enabled context, or the one shared context that writes nothing.
std::shared_ptr<TraceContext> create_trace_context(std::string domain_name);

// The qualified class name for a type's mangled name, without "class " or
// "struct ".
std::string trace_domain_name(const char* mangled_name);

}  // namespace details

// One trace scope: writes its entry line when made and its exit line when
// destroyed, also when left by an exception. Belongs to the thread that made
// it. Made by the create_* operations of TraceDomain.
class Trace {
public:
    Trace(std::shared_ptr<details::TraceContext> context, std::string name, bool timed);
    ~Trace();

    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;
    Trace(Trace&&) = delete;
    Trace& operator=(Trace&&) = delete;

    void message(const std::string& text);
    // `text` is called only when the domain writes.
    void message(std::function<std::string()> text);
    // With the time since the scope was made, for a timed scope.
    void timed_message(const std::string& text);

private:
    std::shared_ptr<details::TraceContext> m_trace_context;
    std::string m_scope_name;
    bool m_timed;
    std::chrono::steady_clock::time_point m_start_time;
};

// The trace domain of T (and its high-frequency twin). No data: inherit it as
// a non-public base. All operations are thread-safe.
template <typename T>
class TraceDomain {
public:
    static std::string domain_name() { return details::trace_domain_name(typeid(T).name()); }

    static std::shared_ptr<details::TraceContext> get_trace_context() {
        // Deliberately never destroyed: objects that outlive this static at
        // process exit may still trace from their destructors.
        static const auto* context =
                new std::shared_ptr<details::TraceContext>(details::create_trace_context(domain_name()));
        return *context;
    }

    static std::string hftrace_domain_name() { return details::HFTRACE_PREFIX + domain_name(); }

    static std::shared_ptr<details::TraceContext> get_hftrace_context() {
        static const auto* context = new std::shared_ptr<details::TraceContext>(
                details::create_trace_context(hftrace_domain_name()));
        return *context;
    }

    static Trace create_trace(std::string name) {
        return Trace(get_trace_context(), std::move(name), false);
    }

    static Trace create_timed_trace(std::string name) {
        return Trace(get_trace_context(), std::move(name), true);
    }

    static Trace create_hftrace(std::string name) {
        return Trace(get_hftrace_context(), std::move(name), false);
    }

    // One message line on the high-frequency domain; `text` is called only
    // when that domain writes.
    static void write_hftrace(const std::string& name, std::function<std::string()> text) {
        get_hftrace_context()->write_message(name, std::move(text));
    }
};

// The same domain for classes that reach it through a public base of their
// own; the domain operations stay accessible to the derived class only.
template <typename T>
class TraceDomainHelper : protected TraceDomain<T> {};

// Returns when every trace line handed over before the call has been
// written. Must not be called from a custom trace writer.
void flush();

// The process-wide trace set-up. The setters return the builder for
// chaining; initialise() acts once per process. Setters are not
// thread-safe among themselves.
class AbstractContextBuilder : private common::copy_and_move_disabled<AbstractContextBuilder> {
public:
    // Receives the lines of domains in mode "custom".
    virtual AbstractContextBuilder& with_custom_trace_writer(
            std::function<void(const std::string&)> writer) = 0;
    // A configuration file read at initialise() when no configuration
    // entries exist yet.
    virtual AbstractContextBuilder& with_trace_domains_file(std::string path) = 0;
    // The folder of the trace files; ZEB_BASECALL_TRACE_FOLDER wins over it.
    virtual AbstractContextBuilder& using_trace_output_folder(std::string folder) = 0;
    // Negative ids are ignored.
    virtual AbstractContextBuilder& with_trace_file_unique_id(int id) = 0;
    // Accepted only when made of ASCII letters, digits, '.', '_' and '-'.
    virtual AbstractContextBuilder& with_trace_file_unique_id(std::string id) = 0;
    virtual void initialise() = 0;

protected:
    AbstractContextBuilder() = default;
    ~AbstractContextBuilder() = default;
};

AbstractContextBuilder& context();

namespace testability {
// These change the trace configuration; they affect only domains first used
// afterwards. Thread-safe.
void set_default_trace_mode(TraceMode mode);
// Replaces the configuration by comma-separated domains in the default mode.
void set_enabled_trace_domains(const std::string& domains);
void configure_trace_domains(std::istream& stream);
// An empty path changes nothing; an unreadable one empties the configuration.
void configure_trace_domains(const std::string& path);
bool environment_config_exists();
// Installs the writer of mode "custom" and makes that mode the default.
void set_custom_trace_writer(std::function<void(const std::string&)> writer);
// The mode the configuration gives `domain`, exclusions not applied.
TraceMode get_domain_trace_mode(const std::string& domain);
}  // namespace testability

}  // namespace common::diagnostics::tracing
