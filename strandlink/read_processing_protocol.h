#pragma once

// The data exchange of one server connection: queued reads go to the server
// as raw-signal blocks or read batches, called reads come back and are
// assembled into the submitted reads, the end of data is announced once per
// connection, and heartbeats keep a quiet connection alive.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/trace.h"
#include "ipc_tools/ipc_tools.h"
#include "strandlink/client_connection_state.h"

namespace interfaces {
struct ReadHolder;
}

namespace strandlink {

class ReadBuffer;
class RequestBrokerAdapter;

class AbstractReadProcessingProtocol {
public:
    virtual ~AbstractReadProcessingProtocol() = default;
    // Runs the read traffic until stop() or an error; returns {no_error, ""}
    // when stopped.
    virtual ErrorState process_reads(ReadBuffer* read_buffer, RequestBrokerAdapter* request_broker) = 0;
    // Thread-safe. Permanent: a later process_reads returns at once.
    virtual void stop() = 0;
    // Before each process_reads, with the id of the new connection.
    virtual void set_connection_id(std::string connection_id) = 0;
    virtual void set_enable_moves(bool enable_moves) = 0;
    // Thread-safe: no more reads will come; NO_MORE_DATA goes out once the
    // input queue is empty, once per connection.
    virtual void set_no_more_data() = 0;
};

// Writes a returned read into `read`, the submitted read it belongs to: a
// whole read (sub tag 0) in one block that passed every check of
// ReadProcessingProtocol (so that this cannot refuse it). Throws only
// std::bad_alloc; writing it again after a failure gives the same read.
void fill_checked_whole_read(const tessel_ipc::ReadBlockData& block, interfaces::ReadHolder& read);

class ReadProcessingProtocol : public AbstractReadProcessingProtocol,
                               private common::diagnostics::tracing::TraceDomain<ReadProcessingProtocol> {
public:
    enum class Result : std::int32_t {
        made_progress = 0,
        error_stop = 1,
        nothing_to_do = 2,
    };

    ReadProcessingProtocol();
    ~ReadProcessingProtocol() override;
    ReadProcessingProtocol(const ReadProcessingProtocol&) = delete;
    ReadProcessingProtocol& operator=(const ReadProcessingProtocol&) = delete;

    // REQUIRES: a connection id was set; both pointers valid.
    ErrorState process_reads(ReadBuffer* read_buffer, RequestBrokerAdapter* request_broker) override;
    void stop() override;
    void set_connection_id(std::string connection_id) override;
    void set_enable_moves(bool enable_moves) override;
    void set_no_more_data() override;

    bool keep_alive() const;

private:
    Result push_into_server(RequestBrokerAdapter* request_broker);
    Result pull_from_server(RequestBrokerAdapter* request_broker);
    bool send_no_more_data(RequestBrokerAdapter* request_broker);
    // Assembles one returned read into its submitted read (or a stored sub
    // read) and returns it; null with m_error_state set on failure.
    interfaces::ReadHolder* process_read_message(RequestBrokerAdapter* request_broker,
                                                 const tessel_ipc::ReadBlockData* block);
    // The checks of process_read_message before anything is written: the
    // submitted read the block belongs to, or null with m_error_state set.
    // A read in one block passes only when assemble_read cannot refuse it.
    // `in_place`: the read is asked for to be filled in place (see
    // ReadBuffer::get_submitted_read_to_fill_in_place).
    interfaces::ReadHolder* check_returned_read(const tessel_ipc::ReadBlockData* block, bool in_place = false);
    // The rest of process_read_message, for a block that passed the checks;
    // fetches the read's further blocks through `request_broker` (unused for
    // a read in one block).
    interfaces::ReadHolder* assemble_read(RequestBrokerAdapter* request_broker, const tessel_ipc::ReadBlockData* block,
                                          interfaces::ReadHolder* submitted);
    // The error for a read that cannot be assembled from what the server sent.
    interfaces::ReadHolder* malformed(const std::string& message);
    interfaces::ReadHolder* malformed_probabilities(const std::string& tag_text, std::uint64_t probabilities,
                                                    std::uint64_t sequence_length, std::uint64_t channels);

    // A completed batch of reads in one block each, checked whole, waits
    // here to be retrieved while the next request is on the wire: with one
    // request in flight, the wire would otherwise idle meanwhile. Whatever
    // is sent next is chosen as if it had been retrieved already, so the
    // requests are the same either way.
    void keep_pending_batch(ipc_tools::Message reply, std::vector<interfaces::ReadHolder*> submitted,
                            std::uint64_t whole_reads);
    // Retrieves the pending batch, if any. A batch of whole reads leaves
    // with its reply, and the thread that collects the reads fills them (see
    // PendingFill); a batch with sub reads is assembled here.
    void retrieve_pending_batch();
    // The submitted reads that are not in the pending batch.
    std::uint64_t num_submitted_reads_left() const;
    // send_request with the pending batch retrieved while the request is
    // on the wire (and also when the request could not be sent).
    bool exchange(RequestBrokerAdapter* request_broker, ipc_tools::Message& request, ipc_tools::Message& reply);

    ipc_tools::Message m_pending_reply;
    std::vector<interfaces::ReadHolder*> m_pending_reads;
    // The reads of the pending batch that leave the submitted reads when it
    // is retrieved: those returned whole, not as sub reads.
    std::uint64_t m_pending_whole_reads = 0;

    ErrorState m_error_state;
    ReadBuffer* m_read_buffer = nullptr;
    bool m_enable_moves = false;
    std::string m_connection_id;
    mutable std::mutex m_mutex;
    bool m_stop = false;
    std::atomic<bool> m_no_more_data_requested{false};
    std::atomic<bool> m_sent_no_more_data{false};
    // Set when the last failure came from the exchange itself (time-out,
    // socket), not from what the server sent; such a failure keeps its own
    // code when it happens inside a batch.
    bool m_exchange_failed = false;
};

}  // namespace strandlink
