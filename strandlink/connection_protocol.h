#pragma once

// One connect attempt of a client engine with the basecall server: make
// contact, have the server load the basecall model set, the alignment index
// and the BED file, register with CONNECT and learn the server's GPU names
// from its internal state; and DISCONNECT at the end. The engine's status
// moves through each step; a failed step leaves the status where it is and
// its reason in error_state().

#include <chrono>
#include <cstdint>
#include <string>

#include "common/trace.h"
#include "ipc_tools/connected_info.h"
#include "ipc_tools/connection_info.h"
#include "ipc_tools/ipc_tools.h"
#include "strandlink/client_connection_state.h"
#include "strandlink/request_broker_adapter.h"

namespace strandlink {

// What the server told of the loaded configuration; empty or false until a
// model set has been loaded.
struct ConfigDetails {
    std::string config_name;
    std::string model_version_id;
    bool duplex = false;
};

class AbstractConnectionProtocol {
public:
    virtual ~AbstractConnectionProtocol() = default;
    virtual void set_connection_params(const std::string& address, std::uint32_t query_timeout_ms) = 0;
    // The adapter to carry the connection's read traffic, or null when the
    // attempt failed (error_state() says why). The adapter stays owned by
    // the protocol and valid until the next attempt.
    virtual RequestBrokerAdapter* establish_server_connection(const ipc_tools::ConnectionInfo& info,
                                                              std::uint32_t file_load_timeout_s) = 0;
    virtual const ConfigDetails& get_config_details() const = 0;
    virtual const ipc_tools::ConnectedInfo& get_connected_info() const = 0;
    virtual const std::string& get_alignment_file_header() const = 0;
    virtual const ErrorState& error_state() const = 0;
    virtual void disconnect_from_server() const = 0;
};

// Not thread-safe: the engine's worker thread makes the attempts and the
// DISCONNECT; callers read the accessors once the engine's connect has
// returned. Nothing is thrown for a refusal or a failed exchange.
class ConnectionProtocol : public AbstractConnectionProtocol,
                           private common::diagnostics::tracing::TraceDomain<ConnectionProtocol> {
public:
    explicit ConnectionProtocol(ClientConnectionState& connection_state);
    ConnectionProtocol(const ConnectionProtocol&) = delete;
    ConnectionProtocol& operator=(const ConnectionProtocol&) = delete;

    void set_connection_params(const std::string& address, std::uint32_t query_timeout_ms) override;
    RequestBrokerAdapter* establish_server_connection(const ipc_tools::ConnectionInfo& info,
                                                      std::uint32_t file_load_timeout_s) override;
    const ConfigDetails& get_config_details() const override { return m_config_details; }
    const ipc_tools::ConnectedInfo& get_connected_info() const override { return m_connected_info; }
    const std::string& get_alignment_file_header() const override { return m_alignment_file_header; }
    const ErrorState& error_state() const override { return m_error_state; }
    // Failures are logged; no state changes.
    void disconnect_from_server() const override;

    // The pause between two requests of a load that the server answers with
    // LOADING (500 ms unless changed).
    void set_load_retry_interval(std::chrono::milliseconds interval) { m_load_retry_interval = interval; }

private:
    bool prepare_connection();
    bool load_config();
    bool load_alignment_index();
    bool load_bed_file();
    bool connect();
    bool load_file_on_server(ipc_tools::MessageType request_type, const std::string& text,
                             std::uint32_t timeout_s);
    bool try_load_on_server(ipc_tools::MessageType request_type, const std::string& text);
    bool retrieve_config_details(const std::string& config_name);
    bool retrieve_alignment_file_header(const std::string& align_ref);
    bool try_get_server_internal_state(std::string& state);
    // The connection string of the stored ConnectionInfo (which also makes
    // its paths canonical), or false with the error state set.
    bool build_connection_string(std::string& text);
    // Passes the pair to the adapter; on failure copies its error state.
    bool send_request(ipc_tools::Message& request, ipc_tools::Message& reply);
    bool fail(ErrorState error);

    ClientConnectionState& m_connection_state;
    ErrorState m_error_state;
    // Mutable: DISCONNECT is an exchange, though it changes nothing the
    // protocol reports.
    mutable RequestBrokerAdapter m_request_broker;
    std::string m_server_address;
    std::uint32_t m_query_timeout_ms = 0;
    ConfigDetails m_config_details;
    ipc_tools::ConnectedInfo m_connected_info;
    std::string m_alignment_file_header;
    ipc_tools::ConnectionInfo m_connection_info;
    std::uint32_t m_file_load_timeout_s = 0;
    std::chrono::milliseconds m_load_retry_interval{500};
};

// The error of a refused CONNECT.
ErrorState create_connect_error_state(ipc_tools::MessageType reply_type, const ipc_tools::ConnectionInfo& info);
// The error of a refused load request; the message is the server's text.
ErrorState create_load_request_error_state(ipc_tools::MessageType request_type, ipc_tools::MessageType reply_type,
                                           const std::string& reply_text);
// The wire value of a client priority: 2 - priority below 3, else itself.
std::uint32_t wire_priority(int priority);

// Sets info.gpu_device_names to the names of the devices under
// "ServerInformation" / "CUDA Devices" of the state JSON, sorted, unique and
// joined with "|". A text that is not JSON, or lacks either member, gives no
// names. Members of "CUDA Devices" that are not objects with a string
// "name" (such as "num devices") are skipped. A "ServerInformation" or "CUDA
// Devices" that is not an object gives {bad_reply, why} (names cleared);
// otherwise {no_error, ""}.
ErrorState add_server_state_data(ipc_tools::ConnectedInfo& info, const std::string& state);
// The "ServerInformation" member of the state JSON written back as compact
// JSON; false, `result` untouched, when the text has no such member.
bool parse_info_from_full_server_state(const std::string& state, std::string& result);

}  // namespace strandlink
