#include "strandlink/client.h"

#include <exception>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "common/logger.h"
#include "common/thread_name.h"

namespace strandlink {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The end of the reconnect period. On the steady clock: a jump of the wall
// clock must neither end nor stretch it.
SteadyClock::time_point calculate_reconnect_timeout_time(std::chrono::seconds reconnect_timeout) {
    const auto deadline = SteadyClock::now() + reconnect_timeout;
    common::diagnostics::tracing::TraceDomain<ReadProcessingProtocol>::get_trace_context()->write_message(
            "calculate_reconnect_timeout_time",
            "retry until (ms): " +
                    std::to_string(
                            std::chrono::duration_cast<std::chrono::milliseconds>(deadline.time_since_epoch())
                                    .count()));
    return deadline;
}

}  // namespace

std::string to_string(ClientQueueReadsResult result) {
    switch (result) {
    case ClientQueueReadsResult::success: return "success";
    case ClientQueueReadsResult::not_accepting_reads: return "not_accepting_reads";
    case ClientQueueReadsResult::queue_full: return "queue_full";
    }
    throw std::runtime_error("unrecognised PassReadResult");
}

std::ostream& operator<<(std::ostream& out, ClientQueueReadsResult result) { return out << to_string(result); }

ClientQueueReadsResult to_client_result(BufferQueueReadsResult result) {
    switch (result) {
    case BufferQueueReadsResult::queued: return ClientQueueReadsResult::success;
    case BufferQueueReadsResult::timed_out_waiting: return ClientQueueReadsResult::queue_full;
    case BufferQueueReadsResult::not_accepting: return ClientQueueReadsResult::not_accepting_reads;
    }
    throw std::runtime_error("Unrecognised BufferQueueReadsResult value");
}

Client::Client(std::uint64_t block_size, std::uint64_t max_input_queue_size, std::uint64_t max_read_failures,
               bool enable_moves, Callback callback)
        : m_connection_protocol(std::make_shared<ConnectionProtocol>(m_client_connection_state)),
          m_read_buffer(std::make_shared<ReadBuffer>()),
          m_read_processing_protocol(std::make_shared<ReadProcessingProtocol>()),
          m_callback(callback),
          m_max_input_queue_size(max_input_queue_size),
          m_block_size(block_size),
          m_max_read_failures(max_read_failures) {
    auto trace = create_trace("Client");
    m_read_processing_protocol->set_enable_moves(enable_moves);
}

Client::~Client() {
    auto trace = create_trace("~Client");
    join_worker_thread();
}

void Client::connect(const std::string& address, std::uint32_t query_timeout_ms, std::uint32_t file_load_timeout_s,
                     ipc_tools::ConnectionInfo info) {
    auto trace = create_trace("connect");
    m_connection_info = std::move(info);
    m_file_load_timeout_s = file_load_timeout_s;
    m_connection_protocol->set_connection_params(address, query_timeout_ms);
    if (start_worker_thread()) {
        m_connected_flag.wait();
    }
}

bool Client::start_worker_thread() {
    auto trace = create_trace("start_worker_thread");
    // The configured buffer is in place before reads are accepted: a read
    // passed while the worker starts must not land in a buffer that is then
    // replaced.
    std::shared_ptr<ReadBuffer> buffer;
    try {
        buffer = create_read_buffer();
    } catch (const std::exception& e) {
        // A limit the buffer refuses (a block size of 0): connect never
        // throws; the attempt ends as a failed one, with the buffer's text.
        const ErrorState error{ConnectionError::failed, e.what()};
        m_client_connection_state.set_status(ClientStatus::preparing_connection);
        m_client_connection_state.set_error(error);
        SL_LOG(error) << "Connection error. " << to_string(error);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_read_buffer_mutex);
        m_read_buffer = std::move(buffer);
    }
    m_accept_data.exchange(true);
    m_worker_thread = std::thread(&Client::worker_loop, this);
    return true;
}

std::shared_ptr<ReadBuffer> Client::create_read_buffer() const {
    auto buffer = std::make_shared<ReadBuffer>();
    buffer->set_block_size(m_block_size);
    buffer->set_max_input_queue_size(m_max_input_queue_size);
    buffer->set_max_read_failures(m_max_read_failures);
    return buffer;
}

ErrorState Client::run_connections(const std::shared_ptr<ReadBuffer>& read_buffer, bool& last_attempt_connected) {
    ErrorState error;
    auto deadline = calculate_reconnect_timeout_time(std::chrono::seconds(m_reconnect_timeout_s.load()));
    for (;;) {
        RequestBrokerAdapter* adapter =
                m_connection_protocol->establish_server_connection(m_connection_info, m_file_load_timeout_s);
        last_attempt_connected = adapter != nullptr;
        {
            // The protocol rewrites what it learned at every attempt, on this
            // thread; the application's threads read these copies instead.
            ConfigDetails config = m_connection_protocol->get_config_details();
            std::string header = m_connection_protocol->get_alignment_file_header();
            std::lock_guard<std::mutex> lock(m_connected_info_mutex);
            m_config_details = std::move(config);
            m_alignment_file_header = std::move(header);
        }
        if (adapter != nullptr) {
            const ipc_tools::ConnectedInfo connected = m_connection_protocol->get_connected_info();
            {
                std::lock_guard<std::mutex> lock(m_connected_info_mutex);
                m_connected_info = connected;
            }
            read_buffer->set_connection_id(connected.client_uid);
            m_read_processing_protocol->set_connection_id(connected.client_uid);
            auto trace = create_trace("worker_loop");
            trace.message("connected");
            trace.message("server version: " + connected.server_version);
            trace.message("server minimap version: " + connected.minimap_version);
            m_connected_flag.count_down();
            error = m_read_processing_protocol->process_reads(read_buffer.get(), adapter);
            trace.message(to_string(error));
            deadline = calculate_reconnect_timeout_time(std::chrono::seconds(m_reconnect_timeout_s.load()));
        } else {
            error = m_connection_protocol->error_state();
        }
        // Only a time-out is worth another attempt, and none once a join was
        // asked for: disconnect must not wait out the reconnect period.
        if (error.code != ConnectionError::timed_out || SteadyClock::now() >= deadline ||
            m_join_requested.load()) {
            return error;
        }
    }
}

void Client::worker_loop() {
    kelp::util::set_thread_name("client_worker");
    auto trace = create_trace("worker_loop");
    std::shared_ptr<ReadBuffer> read_buffer = get_read_buffer();

    ErrorState error;
    bool last_attempt_connected = false;
    try {
        // The application's callback is inside too: whatever it throws ends
        // the attempt, not the process.
        if (m_callback != nullptr) {
            m_callback();
        }
        error = run_connections(read_buffer, last_attempt_connected);
    } catch (const std::exception& e) {
        // Nothing may leave the worker thread: any failure ends the
        // connection through the usual exit path.
        error = {ConnectionError::failed, e.what()};
    } catch (...) {
        error = {ConnectionError::failed, "unknown exception"};
    }

    m_accept_data.exchange(false);
    read_buffer->set_no_more_data();
    if (error.code != ConnectionError::no_error) {
        // The connection has ended for good: every read still waiting or at
        // the server goes back to the application unprocessed, before the
        // error status tells it to collect them. An application that stops
        // the worker itself (disconnect, finish_by) drops what is held.
        const std::uint64_t handed_back = read_buffer->hand_back_unfinished_reads();
        if (handed_back > 0) {
            m_reads_handed_back_at_end.store(handed_back);
            SL_LOG(warning) << "The connection has ended: " << handed_back
                            << " reads not yet called are handed back unprocessed.";
        }
    }
    if (error.code != ConnectionError::no_error &&
        m_client_connection_state.get_status() == ClientStatus::disconnected) {
        // A failure before the first step of an attempt: the error status
        // is reached only through an attempt.
        m_client_connection_state.set_status(ClientStatus::preparing_connection);
    }
    if (error.code != ConnectionError::no_error) {
        m_client_connection_state.set_error(error);
        SL_LOG(error) << "Connection error. " << to_string(error);
    }
    if (last_attempt_connected &&
        m_client_connection_state.get_error_state().code != ConnectionError::timed_out) {
        m_connection_protocol->disconnect_from_server();
    }
    if (m_client_connection_state.get_status() != ClientStatus::error) {
        m_client_connection_state.set_status(ClientStatus::disconnected);
    }
    trace.message(to_string(m_client_connection_state.get_error_state()));
    read_buffer->set_no_more_data();
    read_buffer.reset();
    m_connected_flag.count_down();
}

void Client::join_worker_thread() {
    auto trace = create_trace("join_worker_thread");
    m_join_requested.exchange(true);
    m_accept_data.exchange(false);
    get_read_buffer()->set_no_more_data();
    m_read_processing_protocol->stop();
    // One joins, any other caller waits for that join: two threads that both
    // saw the worker joinable would otherwise join it twice, and the second
    // would never return.
    std::lock_guard<std::mutex> lock(m_join_mutex);
    if (m_worker_thread.joinable()) {
        m_worker_thread.join();
    }
}

void Client::close_admission() {
    m_accept_data.exchange(false);
    get_read_buffer()->set_no_more_data();
}

ClientQueueReadsResult Client::pass_read(interfaces::ReadHolder& read, std::uint64_t wait_ms) {
    auto trace = create_hftrace("pass_read");
    if (!m_accept_data.load() || m_client_connection_state.get_status() == ClientStatus::error) {
        return ClientQueueReadsResult::not_accepting_reads;
    }
    return to_client_result(get_read_buffer()->queue_read(read, wait_ms));
}

ClientQueueReadsResult Client::pass_reads(interfaces::ReadList& reads, std::uint64_t wait_ms) {
    auto trace = create_hftrace("pass_reads");
    if (!m_accept_data.load() || m_client_connection_state.get_status() == ClientStatus::error) {
        return ClientQueueReadsResult::not_accepting_reads;
    }
    return to_client_result(get_read_buffer()->queue_reads(reads, wait_ms));
}

std::uint64_t Client::num_completed_reads() const { return get_read_buffer()->num_reads_out(); }

std::uint64_t Client::num_buffered_samples() const { return get_read_buffer()->num_samples_in_queued_reads(); }

void Client::get_completed_reads(interfaces::ReadList& reads, interfaces::ReadPriority) {
    get_read_buffer()->get_reads_out(reads);
}

void Client::return_completed_reads(interfaces::ReadList& reads) noexcept {
    get_read_buffer()->return_reads_out(reads);
}

void Client::set_no_more_data() {
    auto trace = create_trace("set_no_more_data");
    close_admission();
    m_read_processing_protocol->set_no_more_data();
}

bool Client::finish_by(std::uint64_t timeout_s) {
    auto trace = create_trace("finish_by");
    set_no_more_data();
    std::shared_ptr<ReadBuffer> read_buffer = get_read_buffer();
    const float bound = static_cast<float>(timeout_s) * 10.0f;
    for (std::uint64_t pass = 1;; ++pass) {
        if (read_buffer->all_reads_processed()) {
            break;
        }
        const ClientStatus status = m_client_connection_state.get_status();
        if (status == ClientStatus::disconnected || status == ClientStatus::error) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (timeout_s != 0 && static_cast<float>(pass) > bound) {
            break;
        }
    }
    join_worker_thread();
    // Reads handed back unprocessed when the connection failed did not come
    // back called.
    return read_buffer->all_reads_processed() && m_reads_handed_back_at_end.load() == 0;
}

void Client::disconnect() {
    auto trace = create_trace("disconnect");
    join_worker_thread();
    m_client_connection_state.set_status_if(ClientStatus::error, ClientStatus::disconnected);
}

bool Client::connection_status_is_active() const {
    const ClientStatus status = m_client_connection_state.get_status();
    return status != ClientStatus::disconnected && status != ClientStatus::error;
}

ConfigDetails Client::get_basecalling_config() const {
    std::lock_guard<std::mutex> lock(m_connected_info_mutex);
    return m_config_details;
}

std::string Client::get_alignment_sam_header() const {
    std::lock_guard<std::mutex> lock(m_connected_info_mutex);
    return m_alignment_file_header;
}

ipc_tools::ConnectedInfo Client::get_connected_info() {
    std::lock_guard<std::mutex> lock(m_connected_info_mutex);
    return m_connected_info;
}

void Client::set_reconnect_timeout(std::chrono::seconds reconnect_timeout) {
    get_trace_context()->write_message("set_reconnect_timeout", std::to_string(reconnect_timeout.count()));
    m_reconnect_timeout_s.store(reconnect_timeout.count());
}

void Client::set_connection_protocol(std::shared_ptr<AbstractConnectionProtocol> protocol) {
    m_connection_protocol = std::move(protocol);
}

void Client::set_read_processing_protocol(std::shared_ptr<AbstractReadProcessingProtocol> protocol) {
    m_read_processing_protocol = std::move(protocol);
}

std::shared_ptr<ReadBuffer> Client::get_read_buffer() {
    std::lock_guard<std::mutex> lock(m_read_buffer_mutex);
    return m_read_buffer;
}

std::shared_ptr<const ReadBuffer> Client::get_read_buffer() const {
    std::lock_guard<std::mutex> lock(m_read_buffer_mutex);
    return m_read_buffer;
}

void Client::report_state(common::diagnostics::state::StateLogger& logger) const {
    logger.log("m_client_connection_state", to_string(m_client_connection_state.get_status()));
    logger.log("m_accept_data", m_accept_data.load());
    logger.log("m_max_read_failures", static_cast<unsigned long long>(m_max_read_failures));
    auto section = logger.create_child_section("ReadBuffer");
    get_read_buffer()->report_state(logger);
}

}  // namespace strandlink
