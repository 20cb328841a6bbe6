#pragma once

// The status of one engine's connection to the basecall server, the error
// that ended the last connection, and the notification of every status change
// to at most one handler, on a thread of its own.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "common/active_object.h"
#include "common/trace.h"

namespace strandlink {

enum class ClientStatus : std::int32_t {
    disconnected = 0,
    preparing_connection = 1,
    loading_config = 2,
    loading_alignment_index = 3,
    loading_bed_file = 4,
    connecting = 5,
    connected = 6,
    error = 7,
};

enum class ConnectionError : std::int32_t {
    no_error = 0,
    bad_request = 1,
    bad_reply = 2,
    timed_out = 3,
    invalid_response = 4,
    basecall_config_unavailable = 5,
    barcode_kit_unavailable = 6,
    align_index_unavailable = 7,
    bed_file_unavailable = 8,
    invalid_aligner_options = 9,
    file_load_timeout = 10,
    failed = 11,
};

// A connection error with its reason. {no_error, ""} is the cleared value.
struct ErrorState {
    ConnectionError code = ConnectionError::no_error;
    std::string message;
};

// The names of the values; a value outside the enumeration throws
// std::runtime_error "unrecognised ClientStatus value" (or ConnectionError).
std::string to_string(ClientStatus status);
std::string to_string(ConnectionError error);
// "[" + code name + "] " + message.
std::string to_string(const ErrorState& error);
std::ostream& operator<<(std::ostream& out, ClientStatus status);
std::ostream& operator<<(std::ostream& out, ConnectionError error);
std::ostream& operator<<(std::ostream& out, const ErrorState& error);

// "State transition '<from>' to '<to>'".
std::string transition_description(ClientStatus from, ClientStatus to);

// The status after one change, with the error at that moment. Handed out only
// as std::shared_ptr, which destroys the implementation.
class ClientConnectionStateSnapshot {
public:
    virtual const ClientStatus& get_status() const = 0;
    virtual const ErrorState& get_error_state() const = 0;

protected:
    ~ClientConnectionStateSnapshot() = default;
};

class ClientConnectionStateSnapshotImpl final : public ClientConnectionStateSnapshot {
public:
    ClientConnectionStateSnapshotImpl(ClientStatus status, ErrorState error)
            : m_status(status), m_error_state(std::move(error)) {}
    const ClientStatus& get_status() const override { return m_status; }
    const ErrorState& get_error_state() const override { return m_error_state; }

private:
    const ClientStatus m_status;
    const ErrorState m_error_state;
};

// Thread-safe. Status changes outside the table of allowed changes are
// contract violations. Handlers run one at a time, in the order of the
// changes, on the thread "conn_state_ntfy", without the state's lock held.
class ClientConnectionState
        : private common::diagnostics::tracing::TraceDomain<ClientConnectionState> {
public:
    using ChangeHandler = std::function<void(ClientStatus old_status,
                                             std::shared_ptr<ClientConnectionStateSnapshot>)>;

    ClientConnectionState();
    ClientConnectionState(const ClientConnectionState&) = delete;
    ClientConnectionState& operator=(const ClientConnectionState&) = delete;

    // REQUIRES: no handler registered yet. Changes made before registration
    // are never reported. A handler that throws ends the deliveries.
    void register_change_handler(ChangeHandler handler);

    // Clears the error and moves to `next_status`. REQUIRES: not error.
    void set_status(ClientStatus next_status);
    // The same, only when the status is `expected_status`; false otherwise,
    // and nothing changes. REQUIRES: `next_status` is not error.
    bool set_status_if(ClientStatus expected_status, ClientStatus next_status);
    // Stores the error and moves to error.
    void set_error(const ErrorState& error);

    ClientStatus get_status() const;
    ErrorState get_error_state() const;
    std::shared_ptr<ClientConnectionStateSnapshot> create_snapshot() const;

private:
    // REQUIRES: m_mutex held.
    void update_status(ClientStatus next_status);

    mutable std::mutex m_mutex;
    ClientStatus m_status = ClientStatus::disconnected;
    ErrorState m_error_state;
    ChangeHandler m_change_handler;
    // Last, so that it is destroyed first: queued notifications still run
    // while the handler exists.
    common::ActiveObject m_notifier;
};

}  // namespace strandlink
