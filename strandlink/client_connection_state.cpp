#include "strandlink/client_connection_state.h"

#include <map>
#include <ostream>
#include <set>
#include <stdexcept>

#include "common/contract.h"
#include "common/logger.h"

namespace strandlink {

namespace {

using Transitions = std::map<ClientStatus, std::set<ClientStatus>>;

// Which statuses may follow each status. Any status of the connect sequence
// may restart it at preparing_connection; error is left only for
// disconnected.
const Transitions state_machine = {
        {ClientStatus::disconnected, {ClientStatus::preparing_connection}},
        {ClientStatus::preparing_connection,
         {ClientStatus::loading_config, ClientStatus::preparing_connection, ClientStatus::disconnected,
          ClientStatus::error}},
        {ClientStatus::loading_config,
         {ClientStatus::loading_alignment_index, ClientStatus::preparing_connection,
          ClientStatus::disconnected, ClientStatus::error}},
        {ClientStatus::loading_alignment_index,
         {ClientStatus::loading_bed_file, ClientStatus::preparing_connection, ClientStatus::disconnected,
          ClientStatus::error}},
        {ClientStatus::loading_bed_file,
         {ClientStatus::connecting, ClientStatus::preparing_connection, ClientStatus::disconnected,
          ClientStatus::error}},
        {ClientStatus::connecting,
         {ClientStatus::connected, ClientStatus::preparing_connection, ClientStatus::disconnected,
          ClientStatus::error}},
        {ClientStatus::connected,
         {ClientStatus::preparing_connection, ClientStatus::disconnected, ClientStatus::error}},
        {ClientStatus::error, {ClientStatus::disconnected}},
};

bool transition_allowed(ClientStatus from, ClientStatus to) {
    auto it = state_machine.find(from);
    return it != state_machine.end() && it->second.count(to) > 0;
}

}  // namespace

std::string to_string(ClientStatus status) {
    switch (status) {
    case ClientStatus::disconnected: return "disconnected";
    case ClientStatus::preparing_connection: return "preparing_connection";
    case ClientStatus::loading_config: return "loading_config";
    case ClientStatus::loading_alignment_index: return "loading_alignment_index";
    case ClientStatus::loading_bed_file: return "loading_bed_file";
    case ClientStatus::connecting: return "connecting";
    case ClientStatus::connected: return "connected";
    case ClientStatus::error: return "error";
    }
    throw std::runtime_error("unrecognised ClientStatus value");
}

std::string to_string(ConnectionError error) {
    switch (error) {
    case ConnectionError::no_error: return "no_error";
    case ConnectionError::bad_request: return "bad_request";
    case ConnectionError::bad_reply: return "bad_reply";
    case ConnectionError::timed_out: return "timed_out";
    case ConnectionError::invalid_response: return "invalid_response";
    case ConnectionError::basecall_config_unavailable: return "basecall_config_unavailable";
    case ConnectionError::barcode_kit_unavailable: return "barcode_kit_unavailable";
    case ConnectionError::align_index_unavailable: return "align_index_unavailable";
    case ConnectionError::bed_file_unavailable: return "bed_file_unavailable";
    case ConnectionError::invalid_aligner_options: return "invalid_aligner_options";
    case ConnectionError::file_load_timeout: return "file_load_timeout";
    case ConnectionError::failed: return "failed";
    }
    throw std::runtime_error("unrecognised ConnectionError value");
}

std::string to_string(const ErrorState& error) {
    return "[" + to_string(error.code) + "] " + error.message;
}

std::ostream& operator<<(std::ostream& out, ClientStatus status) { return out << to_string(status); }
std::ostream& operator<<(std::ostream& out, ConnectionError error) { return out << to_string(error); }
std::ostream& operator<<(std::ostream& out, const ErrorState& error) { return out << to_string(error); }

std::string transition_description(ClientStatus from, ClientStatus to) {
    return "State transition '" + to_string(from) + "' to '" + to_string(to) + "'";
}

ClientConnectionState::ClientConnectionState()
        : m_notifier("conn_state_ntfy", [](const std::exception& e) {
              get_trace_context()->write_message("operator()_exception_handler", e.what());
              SL_LOG(error) << "Exception thrown in external client state change handler: " << e.what();
          }) {
    auto trace = create_trace("ClientConnectionState");
    trace.message(to_string(m_status));
}

void ClientConnectionState::register_change_handler(ChangeHandler handler) {
    auto trace = create_trace("register_change_handler");
    std::lock_guard<std::mutex> lock(m_mutex);
    CONTRACT_CHECK(!m_change_handler, "A connection state change handler may only be registered once.");
    m_change_handler = std::move(handler);
}

void ClientConnectionState::set_status(ClientStatus next_status) {
    CONTRACT_CHECK(next_status != ClientStatus::error, "set_status cannot be used to set an error state");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error_state = ErrorState{};
    update_status(next_status);
}

bool ClientConnectionState::set_status_if(ClientStatus expected_status, ClientStatus next_status) {
    CONTRACT_CHECK(next_status != ClientStatus::error, "set_status_if cannot be used to set an error state");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_status != expected_status) {
        return false;
    }
    m_error_state = ErrorState{};
    update_status(next_status);
    return true;
}

void ClientConnectionState::set_error(const ErrorState& error) {
    get_trace_context()->write_message("set_error", to_string(error));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error_state = error;
    update_status(ClientStatus::error);
}

ClientStatus ClientConnectionState::get_status() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status;
}

ErrorState ClientConnectionState::get_error_state() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error_state;
}

std::shared_ptr<ClientConnectionStateSnapshot> ClientConnectionState::create_snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::make_shared<ClientConnectionStateSnapshotImpl>(m_status, m_error_state);
}

void ClientConnectionState::update_status(ClientStatus next_status) {
    if (!transition_allowed(m_status, next_status)) {
        common::contract::detail::contract_failed("state_machine[m_status].count(next_status) > 0",
                                                  transition_description(m_status, next_status), __FILE__,
                                                  __LINE__);
    }
    get_trace_context()->write_message("update_status", to_string(next_status));
    const ClientStatus old_status = m_status;
    m_status = next_status;
    if (!m_change_handler) {
        return;
    }
    std::shared_ptr<ClientConnectionStateSnapshot> snapshot =
            std::make_shared<ClientConnectionStateSnapshotImpl>(next_status, m_error_state);
    // Posted under the lock, to one queue with one thread: handlers see the
    // changes one at a time and in the order they happened.
    m_notifier.send([this, old_status, snapshot] {
        get_trace_context()->write_message("state_change_notifier",
                                           to_string(old_status) + " to " + to_string(snapshot->get_status()));
        m_change_handler(old_status, snapshot);
    });
}

}  // namespace strandlink
