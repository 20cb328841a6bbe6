#include "ipc_tools/request_broker.h"

#include <cerrno>
#include <sstream>
#include <system_error>
#include <utility>

#include "common/contract.h"
#include "common/logger.h"

namespace ipc_tools {

namespace {

// A request still unanswered after this many polls beyond the first is
// given up.
constexpr int EXTRA_POLLS = 3;

constexpr std::chrono::nanoseconds QUIET_PERIOD{1'000'000'000};

std::string to_string_zmq_error(int error) {
    return "errno[" + std::to_string(error) + "] : " + zmq_strerror(error);
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

std::string poll_result_as_string(int num_events, zmq_pollitem_t item) {
    std::ostringstream out;
    out << "num events: " << num_events << ". "
        << "zmq::pollitem_t: socket[" << item.socket << "], "
        << "fd[" << item.fd << "], "
        << "events[" << item.events << "], "
        << "revents[" << item.revents << "]";
    return out.str();
}

RequestBroker::RequestBroker() : RequestBroker(get_process_zmq_context()) {}

RequestBroker::RequestBroker(std::shared_ptr<zmq::context_t> context)
    : m_context(std::move(context)) {}

// Members go in reverse order: the socket closes before its context is
// released, so the context's termination does not wait for it.
RequestBroker::~RequestBroker() = default;

std::string RequestBroker::generate_server_address(std::string address) {
    auto trace = create_trace("generate_server_address");
    // An address that already names its transport is used as it is; putting
    // "tcp://" in front of "tcp://host:port" would make it unusable.
    if (starts_with(address, "ipc://") || starts_with(address, "inproc://") ||
        starts_with(address, "tcp://")) {
        return address;
    }
    if (address.find(':') != std::string::npos) {
        return "tcp://" + address;
    }
    return "tcp://localhost:" + address;
}

bool RequestBroker::is_quiet(std::chrono::steady_clock::time_point now,
                             std::chrono::steady_clock::time_point last_send) {
    return now - last_send >= QUIET_PERIOD;
}

void RequestBroker::prepare_connection(const std::string& address, unsigned int timeout_ms) {
    auto trace = create_trace("prepare_connection");
    m_server_address = generate_server_address(address);
    m_timeout_ms = timeout_ms;
    reset();
    try {
        do_ping_server("0");
    } catch (const std::exception&) {
        const std::string text = "Failed to establish connection with address: " + m_server_address;
        trace.message(text);
        throw TimeoutError(text);
    }
}

void RequestBroker::reset() {
    auto trace = create_trace("reset");
    auto socket = std::make_unique<zmq::socket_t>(*m_context, zmq::socket_type::req);
    // The old socket (and any reply it still owed) goes only now that the new
    // one exists.
    m_socket = std::move(socket);
    m_socket->set(zmq::sockopt::linger, 0);
    trace.message("connecting with string: " + m_server_address);
    // ZeroMQ connects in the background; only the ping proves the server.
    m_socket->connect(m_server_address);
}

void RequestBroker::ping_server_if_quiet(const std::string& client_id) {
    if (is_quiet(std::chrono::steady_clock::now(), m_last_send_time)) {
        do_ping_server(client_id);
    }
}

void RequestBroker::do_ping_server(const std::string& client_id) {
    auto trace = create_hftrace("do_ping_server");
    Message ping(HEARTBEAT_PING, client_id, 0, "");
    Message reply;
    send_request(ping, reply);
    if (reply.get_type() == HEARTBEAT_ECHO) {
        return;
    }
    const std::string received = message_type_as_string(reply.get_type());
    get_trace_context()->write_message("do_ping_server", "invalid response: " + received);
    throw InvalidResponse("invalid response from server, expected: HEARTBEAT_ECHO, received: " +
                          received);
}

void RequestBroker::send_request(Message& request, Message& reply) {
    post_request(request);
    await_reply(reply);
}

void RequestBroker::post_request(Message& request) {
    CONTRACT_CHECK(m_socket.get() != nullptr, "null socket");
    CONTRACT_CHECK(!request.empty() && request.get_type() != UNSET, "invalid request");

    auto trace = create_hftrace("send_request");
    m_posted_request_name = message_type_as_string(request.get_type());
    trace.message(m_posted_request_name);

    zmq::message_t frame;
    request.transfer_to_zmq(frame);

    // Taken before the send: a failed send counts as activity too.
    m_last_send_time = std::chrono::steady_clock::now();
    while (zmq_msg_send(frame.handle(), m_socket->handle(), 0) < 0) {
        const int error = zmq_errno();
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN) {
            get_trace_context()->write_message(
                "send_request", "Client zmq_msg_send failed. " + to_string_zmq_error(error));
            throw std::system_error(error, std::system_category(), "Client zmq_msg_send failed");
        }
        throw zmq::error_t();
    }
}

void RequestBroker::await_reply(Message& reply) {
    CONTRACT_CHECK(m_socket.get() != nullptr, "null socket");
    const std::string& request_name = m_posted_request_name;
    zmq_pollitem_t item{m_socket->handle(), 0, ZMQ_POLLIN, 0};
    int remaining_polls = EXTRA_POLLS;
    int result = 0;
    for (;;) {
        item.revents = 0;
        result = zmq_poll(&item, 1, static_cast<long>(m_timeout_ms));
        if (result < 0) {
            const zmq::error_t error;
            if (error.num() == EINTR) {
                continue;  // an interrupted poll does not count
            }
            get_trace_context()->write_message(
                "send_request", "zmq::poll exception. " + to_string_zmq_error(error.num()));
            throw error;
        }
        write_hftrace("send_request", [&] { return poll_result_as_string(result, item); });
        if (remaining_polls == 0) {
            break;
        }
        --remaining_polls;
        if ((item.revents & ZMQ_POLLIN) != 0 && result > 0 && (item.revents & ZMQ_POLLERR) == 0) {
            break;
        }
    }

    const auto fail = [](const std::string& trace_text, const std::string& error_text) {
        get_trace_context()->write_message("send_request", trace_text);
        throw TimeoutError(error_text);
    };
    if ((item.revents & ZMQ_POLLIN) == 0) {
        const std::string text = "Timeout waiting for reply to request: " + request_name;
        fail(text, text);
    }
    if (result == 0) {
        fail(poll_result_as_string(0, item) + " Polling ambiguity waiting for reply to request: " +
                 request_name,
             "Timeout waiting for reply to request {zero events}: " + request_name);
    }
    if ((item.revents & ZMQ_POLLERR) != 0) {
        fail(poll_result_as_string(result, item) + " Error on socket waiting for reply to request: " +
                 request_name,
             "Timeout waiting for reply to request {error on socket}: " + request_name);
    }
    fetch_and_validate_reply(request_name, reply);
}

void RequestBroker::fetch_and_validate_reply(const std::string& request_name, Message& reply) {
    auto trace = create_hftrace("fetch_and_validate_reply");
    trace.message(request_name);

    zmq::message_t frame;
    while (zmq_msg_recv(frame.handle(), m_socket->handle(), ZMQ_DONTWAIT) < 0) {
        const int error = zmq_errno();
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN) {
            get_trace_context()->write_message(
                "fetch_and_validate_reply",
                "Client zmq_msg_recv failed. " + to_string_zmq_error(error));
            throw std::system_error(error, std::system_category(), "Client zmq_msg_recv failed");
        }
        throw zmq::error_t();
    }

    const auto trace_failure = [](const std::string& text) {
        get_trace_context()->write_message("fetch_and_validate_reply", text);
    };

    try {
        reply = Message(std::move(frame));
    } catch (const std::exception& e) {
        const std::string text =
            "Error parsing reply from server for request: " + request_name + ". " + e.what();
        trace_failure(text);
        throw BadReply(text);
    }
    const MessageType reply_type = reply.get_type();
    trace.message(message_type_as_string(reply_type));

    switch (reply_type) {
        case UNSET:
        case INVALID_PROTOCOL: {
            const std::string text = "Could not interpret message from server for request: " +
                                     request_name + ". Reply: " +
                                     message_type_as_string(reply_type);
            trace_failure(text);
            throw BadReply(text);
        }
        case BAD_REQUEST: {
            // The server's reason is optional on the wire; an absent text
            // reads as empty and is never read past the frame.
            const std::string text =
                "Bad request message: " + request_name + ". " + get_simple_message_text(reply);
            trace_failure(text);
            throw BadRequest(text);
        }
        case CLIENT_NOT_RECOGNISED: {
            const std::string text =
                "Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart.";
            trace_failure(text);
            common::logging::detail::LogSite site(
                &common::logging::info::get,
                "void ipc_tools::RequestBroker::fetch_and_validate_reply(const std::string &, "
                "ipc_tools::Message &)");
            if (site) {
                site.stream() << text;
                site.push();
            }
            throw TimeoutError(text);
        }
        default:
            return;
    }
}

}  // namespace ipc_tools
