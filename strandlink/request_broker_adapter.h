#pragma once

// The engine's error model over the request broker: every call answers true
// or false, and after false error_state() says what went wrong as a
// ConnectionError code with a message. Nothing the broker throws leaves the
// adapter; only timed_out makes the engine try a new connection.

#include <exception>
#include <string>
#include <system_error>

#include <zmq.hpp>

#include "common/trace.h"
#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/request_broker.h"
#include "strandlink/client_connection_state.h"

namespace strandlink {

// Not thread-safe: the client's worker thread makes every call. Owns its
// broker, socket and ZeroMQ context for its whole life.
class RequestBrokerAdapter : private common::diagnostics::tracing::TraceDomain<RequestBrokerAdapter> {
public:
    RequestBrokerAdapter();
    RequestBrokerAdapter(const RequestBrokerAdapter&) = delete;
    RequestBrokerAdapter& operator=(const RequestBrokerAdapter&) = delete;

    // Opens a new socket to `address` and pings the server. Must come first,
    // and again after a timed_out send (the old socket still owes a reply).
    bool prepare_connection(const std::string& address, unsigned int timeout_ms);
    // Sends `request` (emptied) and fills `reply` with the server's answer,
    // which may still be of a type the caller has to refuse.
    bool send_request(ipc_tools::Message& request, ipc_tools::Message& reply);
    // send_request in two steps, with the caller's work between them while
    // the request is on the wire. After a successful post, await_reply must
    // come before anything else is sent.
    bool post_request(ipc_tools::Message& request);
    bool await_reply(ipc_tools::Message& reply);
    // Pings with `client_id` when the connection was quiet for a second;
    // true when nothing had to be sent.
    bool ping_server_if_quiet(const std::string& client_id);

    // The outcome of the last call: {no_error, ""} after a success. Valid and
    // unchanged until the next call.
    const ErrorState& error_state() const { return m_error_state; }

private:
    friend struct RequestBrokerAdapterTestAccess;

    // Runs `call`, translating whatever it throws into m_error_state.
    template <class F>
    bool invoke(const F& call);

    ipc_tools::RequestBroker m_request_broker;
    ErrorState m_error_state;
};

template <class F>
inline bool RequestBrokerAdapter::invoke(const F& call) {
    m_error_state = ErrorState{};
    try {
        call();
        return true;
    } catch (const ipc_tools::BadReply& e) {
        m_error_state = {ConnectionError::bad_reply, e.what()};
    } catch (const ipc_tools::BadRequest& e) {
        m_error_state = {ConnectionError::bad_request, e.what()};
    } catch (const ipc_tools::TimeoutError& e) {
        m_error_state = {ConnectionError::timed_out, e.what()};
    } catch (const ipc_tools::InvalidResponse& e) {
        m_error_state = {ConnectionError::invalid_response, e.what()};
    } catch (const std::system_error& e) {
        m_error_state = {ConnectionError::failed, "std::system_error[" + std::string(e.code().category().name()) +
                                                          ":" + std::to_string(e.code().value()) +
                                                          "] : " + e.what()};
    } catch (const zmq::error_t& e) {
        m_error_state = {ConnectionError::failed, std::string("zmq::error_t : ") + e.what()};
    } catch (const std::exception& e) {
        // Memory exhaustion and the like: the worker thread must survive it
        // and end the connection, not the process.
        m_error_state = {ConnectionError::failed, e.what()};
    } catch (...) {
        // A contract violation under a policy that raises, or anything else
        // that is not a std::exception.
        m_error_state = {ConnectionError::failed, "unknown exception"};
    }
    write_hftrace("invoke", [this] { return to_string(m_error_state); });
    return false;
}

}  // namespace strandlink
