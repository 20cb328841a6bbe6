#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <iostream>

#include "common/logger.h"
#include "common/trace_internal.h"
#include "common/utils.h"

namespace common::diagnostics::tracing {

namespace details {

namespace {

constexpr char TESSEL_TRACE_FOLDER[] = "ZEB_BASECALL_TRACE_FOLDER";

// The context of an enabled domain: formats each line on the calling thread
// and hands it to the background output.
class EnabledTraceContext : public TraceContext {
public:
    EnabledTraceContext(std::string domain_prefix, TraceMode mode)
            : m_domain_prefix(std::move(domain_prefix)), m_trace_mode(mode) {}

    void write_entry(const std::string& name) override {
        auto& output = ActiveTraceContext::instance();
        std::ostringstream stream;
        output.decorate_message_stream(stream, output.enter_tag(), m_domain_prefix + name);
        output.post_message(m_trace_mode, stream.str());
    }

    void write_exit(const std::string& name) override {
        auto& output = ActiveTraceContext::instance();
        std::ostringstream stream;
        output.decorate_message_stream(stream, output.leave_tag(), m_domain_prefix + name);
        output.post_message(m_trace_mode, stream.str());
    }

    void write_exit(const std::string& name, std::chrono::nanoseconds duration) override {
        auto& output = ActiveTraceContext::instance();
        std::ostringstream stream;
        output.decorate_message_stream(stream, output.leave_tag(), m_domain_prefix + name)
                << " " << create_timestamp(duration);
        output.post_message(m_trace_mode, stream.str());
    }

    void write_message(const std::string& name, const std::string& text) override {
        auto& output = ActiveTraceContext::instance();
        std::ostringstream stream;
        output.decorate_message_stream(stream, output.trace_tag(), m_domain_prefix + name)
                << " " << text;
        output.post_message(m_trace_mode, stream.str());
    }

    void write_message(const std::string& name, std::function<std::string()> text) override {
        auto& output = ActiveTraceContext::instance();
        const std::string scope = m_domain_prefix + name;
        const std::string made = text();
        std::ostringstream stream;
        output.decorate_message_stream(stream, output.trace_tag(), scope) << " " << made;
        output.post_message(m_trace_mode, stream.str());
    }

    void write_message(const std::string& name, const std::string& text,
                       std::chrono::nanoseconds duration) override {
        auto& output = ActiveTraceContext::instance();
        std::ostringstream stream;
        output.decorate_message_stream(stream, output.trace_tag(), m_domain_prefix + name)
                << " " << text << " " << create_timestamp(duration);
        output.post_message(m_trace_mode, stream.str());
    }

    bool is_active() const override { return true; }

private:
    std::string m_domain_prefix;
    TraceMode m_trace_mode;
};

std::string folder_from_environment() {
    const char* folder = std::getenv(TESSEL_TRACE_FOLDER);
    return folder != nullptr ? folder : "";
}

}  // namespace

std::string create_timestamp(std::chrono::nanoseconds duration) {
    const std::int64_t n = duration.count();
    const std::int64_t milliseconds = n / 1000000;
    const std::int64_t microseconds = n / 1000 - 1000 * milliseconds;
    std::ostringstream stream;
    stream << milliseconds << "." << std::setw(3) << std::setfill('0') << microseconds << "ms ";
    return stream.str();
}

std::shared_ptr<TraceContext> create_trace_context(std::string domain_name) {
    auto& configuration = TraceConfiguration::instance();
    const TraceMode mode = configuration.resolve_trace_mode(domain_name);
    if (mode == TraceMode::none) {
        return configuration.disabled_context();
    }
    if (mode == TraceMode::verbose_log && !common::logging::would_log(&common::logging::verbose::get)) {
        return configuration.disabled_context();
    }
    return std::make_shared<EnabledTraceContext>(domain_name + "::", mode);
}

ActiveTraceContext& ActiveTraceContext::instance() {
    // Never destroyed (see the class comment); the worker is stopped at exit.
    static ActiveTraceContext* output = [] {
        auto* made = new ActiveTraceContext();
        std::atexit(&ActiveTraceContext::shut_down_at_exit);
        return made;
    }();
    return *output;
}

ActiveTraceContext::ActiveTraceContext()
        : m_trace_folder(folder_from_environment()),
          m_custom_writer([](const std::string&) {}),
          m_stdout_writer([](const std::string& line) { std::cout << line << std::endl; }),
          m_stderr_writer([](const std::string& line) { std::cerr << line << std::endl; }),
          m_boost_writer([](const std::string& line) { SL_LOG(verbose) << line; }),
          m_trace_file_writer([this](const std::string& line) { write_to_trace_file(line); }),
          m_win_dbg_out_writer([](const std::string&) {}),
          m_active_object("tracing") {}

void ActiveTraceContext::shut_down_at_exit() {
    ActiveTraceContext& output = instance();
    // Writes every line queued so far, then stops the worker.
    output.m_active_object.join();
    output.m_shut_down.store(true, std::memory_order_release);
}

std::ostringstream& ActiveTraceContext::decorate_message_stream(std::ostringstream& stream,
                                                                const std::string& tag,
                                                                const std::string& scope) {
    const auto handle = reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(pthread_self()));
    stream << create_timestamp(std::chrono::steady_clock::now().time_since_epoch()) << " "
           << "thread:0x" << std::hex << handle << std::dec << " " << scope << " " << tag;
    return stream;
}

void ActiveTraceContext::post_message(TraceMode mode, const std::string& line) {
    if (m_shut_down.load(std::memory_order_acquire)) {
        // Process exit has stopped the worker: write on this thread instead.
        std::lock_guard<std::mutex> lock(m_late_write_mutex);
        write_line(mode, line);
        return;
    }
    m_active_object.send([this, mode, line] { write_line(mode, line); });
}

void ActiveTraceContext::write_line(TraceMode mode, const std::string& line) {
    // The worker must survive a failing writer: one lost line is better
    // than losing every later one.
    try {
        switch (mode) {
        case TraceMode::verbose_log: m_boost_writer(line); break;
        case TraceMode::trace_file: m_trace_file_writer(line); break;
        case TraceMode::std_out: m_stdout_writer(line); break;
        case TraceMode::std_err: m_stderr_writer(line); break;
        case TraceMode::win_dbg_out: m_win_dbg_out_writer(line); break;
        case TraceMode::custom: m_custom_writer(line); break;
        default: break;
        }
    } catch (const std::exception& e) {
        SL_LOG(error) << "trace line dropped: " << e.what();
    } catch (...) {
        // A custom writer may throw anything; an exception escaping here
        // would end the only worker and every later line would be lost.
        SL_LOG(error) << "trace line dropped: unknown error";
    }
}

void ActiveTraceContext::set_custom_writer(Writer writer) {
    if (!writer) {
        // An empty writer would fail on every line; keep the lines going nowhere.
        writer = [](const std::string&) {};
    }
    m_active_object.send([this, writer = std::move(writer)]() mutable {
        m_custom_writer = std::move(writer);
    });
}

void ActiveTraceContext::set_file_tracing_info(std::string folder, std::string unique_id) {
    m_active_object.send([this, folder = std::move(folder), unique_id = std::move(unique_id)] {
        if (m_trace_folder.empty()) {
            m_trace_folder = folder;
        }
        if (!unique_id.empty()) {
            m_unique_id_suffix = "_" + unique_id;
        }
    });
}

void ActiveTraceContext::flush() {
    if (m_shut_down.load(std::memory_order_acquire)) {
        return;  // lines are written synchronously now
    }
    m_active_object.flush();
}

std::string ActiveTraceContext::make_trace_file_prefix() const {
    const std::time_t now = std::time(nullptr);
    const struct tm utc = common::gmtime_threadsafe(&now);
    char stamp[64] = {};
    std::strftime(stamp, sizeof(stamp), "%F_T%H-%M-%S", &utc);
    return common::executable_path().stem().string() + m_unique_id_suffix + "_" + stamp + "_";
}

void ActiveTraceContext::write_to_trace_file(const std::string& line) {
    if (m_trace_file.is_open()) {
        if (m_trace_file.fail()) {
            set_next_trace_ofstream();
        } else {
            const auto position = static_cast<std::uint64_t>(
                    static_cast<std::streamoff>(m_trace_file.tellp()));
            if (position >= m_max_trace_file_size) {
                set_next_trace_ofstream();
            }
        }
    }
    if (!m_trace_file.is_open()) {
        m_trace_file_prefix = make_trace_file_prefix();
        set_next_trace_ofstream();
    }
    if (m_trace_file.is_open()) {
        m_trace_file << line << '\n';
        m_trace_file.flush();
    }
}

void ActiveTraceContext::set_next_trace_ofstream() {
    if (m_trace_file.is_open()) {
        m_trace_file.close();
    }
    if (m_trace_folder.empty()) {
        return;
    }
    const std::string name =
            m_trace_file_prefix + std::to_string(m_trace_file_index) + m_trace_file_extension;
    ++m_trace_file_index;
    m_trace_file.clear();
    m_trace_file.open(std::filesystem::path(m_trace_folder) / name, std::ios::out | std::ios::app);
}

}  // namespace details

void flush() { details::ActiveTraceContext::instance().flush(); }

}  // namespace common::diagnostics::tracing
