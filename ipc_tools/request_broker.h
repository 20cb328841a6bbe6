#pragma once

// The request/reply exchange with the basecall server over one ZeroMQ REQ
// socket: address normalisation, (re)connection proven by a heartbeat ping,
// one request at a time with a bounded wait for the reply, and the
// classification of failures into the exception classes below.

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include <zmq.h>
#include <zmq.hpp>

#include "common/trace.h"
#include "ipc_tools/ipc_tools.h"

namespace ipc_tools {

// No usable reply in time, an error flagged on the socket while waiting,
// failed first contact, or a server that no longer knows the client
// (CLIENT_NOT_RECOGNISED, treated as a server restart).
class TimeoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The reply frame could not be parsed, or was not a message of the protocol.
class BadReply : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The server answered BAD_REQUEST.
class BadRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The server answered with a type the caller did not expect (a heartbeat not
// answered by HEARTBEAT_ECHO, or an unexpected reply to a one-shot query).
class InvalidResponse : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "num events: <n>. zmq::pollitem_t: socket[<ptr>], fd[<fd>], events[<e>],
// revents[<r>]", for traces of poll results.
std::string poll_result_as_string(int num_events, zmq_pollitem_t item);

// One REQ socket to the server and the exchanges on it.
//
// Calling order: prepare_connection, then any number of send_request and
// ping_server_if_quiet calls. After a TimeoutError (or a ZeroMQ error out of
// the wait) the socket still owes the lost reply: call prepare_connection
// again before the next request. The broker never reconnects by itself.
//
// Not thread-safe: one owner serialises all calls. Every broker has its own
// ZeroMQ context, so brokers share nothing.
class RequestBroker : public common::diagnostics::tracing::TraceDomain<RequestBroker> {
public:
    // Uses a new ZeroMQ context (get_process_zmq_context). Throws zmq::error_t
    // when the context cannot be made.
    RequestBroker();
    explicit RequestBroker(std::shared_ptr<zmq::context_t> context);
    // Closes the socket without lingering: an unsent request is dropped.
    virtual ~RequestBroker();

    RequestBroker(const RequestBroker&) = delete;
    RequestBroker& operator=(const RequestBroker&) = delete;

    // Stores the normalised address and the time-out of one poll, opens a new
    // socket and pings the server with client id "0". Throws TimeoutError
    // "Failed to establish connection with address: <address>" when the ping
    // fails in any way; zmq::error_t when the socket cannot be made or
    // connected.
    void prepare_connection(const std::string& address, unsigned int timeout_ms);

    // Sends `request` (its frame passes to ZeroMQ without a copy, so it is
    // empty afterwards) and waits for the reply: at most four polls of the
    // time-out each. On return `reply` holds the server's answer, which may
    // still be an error reply for the caller to judge (INVALID_CONFIG...).
    // Throws TimeoutError, BadReply, BadRequest, std::system_error (socket
    // not ready) or zmq::error_t.
    // REQUIRES: prepare_connection was called; request is not empty or UNSET.
    void send_request(Message& request, Message& reply);

    // send_request in two steps, so that the caller can work while the
    // request is on the wire: post_request hands `request` to the socket
    // (throws as send_request does for the send), await_reply waits for the
    // reply and judges it as send_request does. Each post is followed by one
    // await before anything else is sent.
    void post_request(Message& request);
    void await_reply(Message& reply);

    // Pings the server with `client_id` when no request went out for one
    // second or more; otherwise does nothing. Throws as send_request, and
    // InvalidResponse when the ping is not answered by HEARTBEAT_ECHO.
    void ping_server_if_quiet(const std::string& client_id);

    // Replaces the socket by a new one connected to the stored address.
    void reset();

    // The endpoint for an address: "ipc://", "inproc://" and "tcp://"
    // addresses unchanged, other addresses with a ':' behind "tcp://", a bare
    // port (or "") behind "tcp://localhost:".
    static std::string generate_server_address(std::string address);

    // True when `now` is one second or more after `last_send`: the rule of
    // ping_server_if_quiet.
    static bool is_quiet(std::chrono::steady_clock::time_point now,
                         std::chrono::steady_clock::time_point last_send);

    // When the last request (or ping) was handed to the socket; the clock's
    // epoch before the first.
    std::chrono::steady_clock::time_point last_send_time() const { return m_last_send_time; }

    // Moves the moment of the last send, so that tests of the quiet rule need
    // not wait for the clock.
    void set_last_send_time_for_testing(std::chrono::steady_clock::time_point time) {
        m_last_send_time = time;
    }

private:
    void do_ping_server(const std::string& client_id);
    void fetch_and_validate_reply(const std::string& request_name, Message& reply);

    std::shared_ptr<zmq::context_t> m_context;
    std::unique_ptr<zmq::socket_t> m_socket;
    std::string m_server_address;
    std::uint32_t m_timeout_ms = 0;
    std::chrono::steady_clock::time_point m_last_send_time{};
    // The type name of the request last posted, for the texts of its reply.
    std::string m_posted_request_name;
};

}  // namespace ipc_tools
