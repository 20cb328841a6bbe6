#pragma once

// The engine behind one connection of the public client: the connection
// state, the connection protocol, the read buffer and the read processing
// protocol, driven by one worker thread that connects, runs the read traffic
// for as long as the connection lasts, reconnects after a time-out for a
// bounded time, and settles the final status on its way out.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/concurrency.h"
#include "common/state_logger.h"
#include "common/trace.h"
#include "data_model/interfaces/read_holder.h"
#include "ipc_tools/connected_info.h"
#include "ipc_tools/connection_info.h"
#include "strandlink/client_connection_state.h"
#include "strandlink/connection_protocol.h"
#include "strandlink/read_buffer.h"
#include "strandlink/read_processing_protocol.h"

namespace strandlink {

enum class ClientQueueReadsResult : std::int32_t {
    success = 0,
    not_accepting_reads = 1,
    queue_full = 2,
};

// "success", "not_accepting_reads", "queue_full"; any other value throws
// std::runtime_error "unrecognised PassReadResult".
std::string to_string(ClientQueueReadsResult result);
std::ostream& operator<<(std::ostream& out, ClientQueueReadsResult result);

// The read buffer's admission result as the client's. Throws
// std::runtime_error "Unrecognised BufferQueueReadsResult value" for a value
// outside the enumeration.
ClientQueueReadsResult to_client_result(BufferQueueReadsResult result);

// Thread-safe for the application's threads. connect() once per engine;
// finish_by, disconnect and the destructor join the worker (from any number
// of threads at once) and are never called from it. When the connection
// ends for good with an error, every read not yet called is handed back
// unprocessed, to be collected with get_completed_reads.
class Client : private common::diagnostics::tracing::TraceDomain<Client>,
               public common::diagnostics::state::StateProvider {
public:
    using Callback = void (*)();

    Client(std::uint64_t block_size, std::uint64_t max_input_queue_size, std::uint64_t max_read_failures,
           bool enable_moves, Callback callback);
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Starts the worker and blocks until its first attempt connected or the
    // worker gave up; the connection state tells which.
    void connect(const std::string& address, std::uint32_t query_timeout_ms, std::uint32_t file_load_timeout_s,
                 ipc_tools::ConnectionInfo info);

    ClientQueueReadsResult pass_read(interfaces::ReadHolder& read, std::uint64_t wait_ms);
    ClientQueueReadsResult pass_reads(interfaces::ReadList& reads, std::uint64_t wait_ms);

    std::uint64_t num_completed_reads() const;
    std::uint64_t num_buffered_samples() const;
    // Appends the finished reads to `reads`; the priority has no effect.
    void get_completed_reads(interfaces::ReadList& reads, interfaces::ReadPriority priority);
    // Gives back reads from get_completed_reads that the caller could not
    // take after all: they are handed out first next time. Never throws.
    void return_completed_reads(interfaces::ReadList& reads) noexcept;

    // The application's end of data: admission closes, then the end is
    // announced to the server once the queued reads have gone.
    void set_no_more_data();
    // Ends the data, waits up to `timeout_s` seconds (0: no bound) for every
    // read to come back, then stops the worker. True when all came back
    // called (reads the server lost excepted): false when reads were still
    // out, or were handed back unprocessed because the connection failed.
    bool finish_by(std::uint64_t timeout_s);
    void disconnect();

    bool connection_status_is_active() const;
    ClientConnectionState& get_connection_state() { return m_client_connection_state; }
    const ClientConnectionState& get_connection_state() const { return m_client_connection_state; }
    ConfigDetails get_basecalling_config() const;
    std::string get_alignment_sam_header() const;
    ipc_tools::ConnectedInfo get_connected_info();

    void set_reconnect_timeout(std::chrono::seconds reconnect_timeout);
    // Substitutes for tests; before connect.
    void set_connection_protocol(std::shared_ptr<AbstractConnectionProtocol> protocol);
    void set_read_processing_protocol(std::shared_ptr<AbstractReadProcessingProtocol> protocol);

    std::shared_ptr<ReadBuffer> get_read_buffer();
    std::shared_ptr<const ReadBuffer> get_read_buffer() const;

    void report_state(common::diagnostics::state::StateLogger& logger) const override;

private:
    // False, with the error status set, when the buffer refused its limits:
    // no worker was started.
    bool start_worker_thread();
    void worker_loop();
    // One run of the connect / process / reconnect loop; the error that ended it.
    ErrorState run_connections(const std::shared_ptr<ReadBuffer>& read_buffer, bool& last_attempt_connected);
    void join_worker_thread();
    std::shared_ptr<ReadBuffer> create_read_buffer() const;
    // Admission closes before the end of data is announced, so that no read
    // can be queued after NO_MORE_DATA has gone out.
    void close_admission();

    ClientConnectionState m_client_connection_state;
    std::shared_ptr<AbstractConnectionProtocol> m_connection_protocol;
    mutable std::mutex m_read_buffer_mutex;
    std::shared_ptr<ReadBuffer> m_read_buffer;
    std::shared_ptr<AbstractReadProcessingProtocol> m_read_processing_protocol;
    Callback m_callback;
    std::thread m_worker_thread;
    std::atomic<bool> m_accept_data{false};
    corvid::utils::concurrency::Flag m_connected_flag;
    ipc_tools::ConnectionInfo m_connection_info;
    std::uint32_t m_file_load_timeout_s = 0;
    std::atomic<std::chrono::seconds::rep> m_reconnect_timeout_s{300};
    std::uint64_t m_max_input_queue_size;
    std::uint64_t m_block_size;
    std::uint64_t m_max_read_failures;
    // Guards m_connected_info, m_config_details and m_alignment_file_header:
    // the worker writes them at every attempt, application threads read them.
    mutable std::mutex m_connected_info_mutex;
    ipc_tools::ConnectedInfo m_connected_info;
    ConfigDetails m_config_details;
    std::string m_alignment_file_header;
    // Set once a join was asked for: no further connect attempt starts.
    std::atomic<bool> m_join_requested{false};
    // Held while the worker is joined, so that only one caller joins it.
    std::mutex m_join_mutex;
    // Reads handed back unprocessed when the connection ended for good.
    std::atomic<std::uint64_t> m_reads_handed_back_at_end{0};
};

}  // namespace strandlink
