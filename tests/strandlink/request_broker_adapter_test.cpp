#include "strandlink/request_broker_adapter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "common/contract.h"
#include "testing/test_server.h"

namespace strandlink {

// Reaches the adapter's translation and its broker, so that failures the
// test server cannot provoke (a full send queue, memory exhaustion) are
// tested too.
struct RequestBrokerAdapterTestAccess {
    template <class F>
    static bool invoke(RequestBrokerAdapter& adapter, const F& call) {
        return adapter.invoke(call);
    }
    static ipc_tools::RequestBroker& broker(RequestBrokerAdapter& adapter) { return adapter.m_request_broker; }
};

}  // namespace strandlink

namespace {

using namespace std::chrono_literals;
using ipc_tools::Message;
using ipc_tools::MessageType;
using strandlink::ConnectionError;
using strandlink::RequestBrokerAdapter;
using strandlink::RequestBrokerAdapterTestAccess;
using test_server::Reply;
using test_server::TestServer;

constexpr unsigned LIVE_TIMEOUT_MS = 5000;
constexpr unsigned SHORT_TIMEOUT_MS = 30;

Message load_config() { return Message(MessageType::LOAD_CONFIG, "", 0, "cfg"); }

bool send(RequestBrokerAdapter& adapter) {
    Message request = load_config();
    Message reply;
    return adapter.send_request(request, reply);
}

void expect_error(const RequestBrokerAdapter& adapter, ConnectionError code, const std::string& message) {
    EXPECT_EQ(adapter.error_state().code, code) << adapter.error_state().message;
    EXPECT_EQ(adapter.error_state().message, message);
}

void expect_cleared(const RequestBrokerAdapter& adapter) {
    expect_error(adapter, ConnectionError::no_error, "");
}

// First contact with a short poll time-out can miss on a busy machine.
void prepare_with_short_timeout(RequestBrokerAdapter& adapter, const std::string& endpoint) {
    for (int attempt = 0; attempt < 100 && !adapter.prepare_connection(endpoint, SHORT_TIMEOUT_MS); ++attempt) {
    }
    ASSERT_EQ(adapter.error_state().code, ConnectionError::no_error);
}

TEST(RequestBrokerAdapter, replies_that_fail_become_their_codes_and_a_success_clears_them) {
    struct Case {
        const char* name;
        std::function<Reply()> reply;
        ConnectionError code;
        std::string message;
    };
    const std::vector<Case> cases{
            {"bad request", [] { return Reply::simple(MessageType::BAD_REQUEST, "no such config"); },
             ConnectionError::bad_request, "Bad request message: LOAD_CONFIG. no such config"},
            {"client not recognised", [] { return Reply::simple(MessageType::CLIENT_NOT_RECOGNISED); },
             ConnectionError::timed_out, "Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart."},
            {"not a message", [] { return Reply::raw("0021"); }, ConnectionError::bad_reply,
             "Could not interpret message from server for request: LOAD_CONFIG. Reply: UNSET"},
            {"corrupt", [] { return Reply::raw(std::string("\x40\0\0\0" "0021", 8)); }, ConnectionError::bad_reply,
             "Error parsing reply from server for request: LOAD_CONFIG. Invalid MessageData in Message."},
    };
    TestServer server;
    server.on(MessageType::LOAD_CONFIG, [&cases](const test_server::Request& request) {
        // The case number travels in the request's value: no shared state.
        return request.record.value < cases.size() ? cases[request.record.value].reply()
                                                   : Reply::simple(MessageType::SUCCESS);
    });
    server.start();
    RequestBrokerAdapter adapter;
    ASSERT_TRUE(adapter.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS));
    expect_cleared(adapter);

    for (std::size_t current = 0; current <= cases.size(); ++current) {
        Message request(MessageType::LOAD_CONFIG, "", static_cast<unsigned>(current), "cfg");
        Message reply;
        const bool sent = adapter.send_request(request, reply);
        if (current == cases.size()) {
            EXPECT_TRUE(sent);
            EXPECT_EQ(reply.get_type(), MessageType::SUCCESS);
            expect_cleared(adapter);
            break;
        }
        SCOPED_TRACE(cases[current].name);
        EXPECT_FALSE(sent);
        expect_error(adapter, cases[current].code, cases[current].message);
    }
}

TEST(RequestBrokerAdapter, silence_times_out_and_the_owed_reply_fails_the_next_send_until_prepared_again) {
    TestServer server;
    server.on(MessageType::LOAD_CONFIG, [](const test_server::Request&) { return Reply::silence(); });
    server.start();
    RequestBrokerAdapter adapter;
    prepare_with_short_timeout(adapter, server.endpoint());

    EXPECT_FALSE(send(adapter));
    expect_error(adapter, ConnectionError::timed_out, "Timeout waiting for reply to request: LOAD_CONFIG");
    // The REQ socket still owes a reply: ZeroMQ refuses the send.
    EXPECT_FALSE(send(adapter));
    EXPECT_EQ(adapter.error_state().code, ConnectionError::failed);
    EXPECT_EQ(adapter.error_state().message.rfind("zmq::error_t : ", 0), 0u) << adapter.error_state().message;

    EXPECT_TRUE(adapter.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS));
    expect_cleared(adapter);
}

TEST(RequestBrokerAdapter, prepare_connection_where_nothing_listens_times_out) {
    const std::string endpoint = test_server::make_ipc_endpoint();
    RequestBrokerAdapter adapter;
    EXPECT_FALSE(adapter.prepare_connection(endpoint, SHORT_TIMEOUT_MS));
    expect_error(adapter, ConnectionError::timed_out, "Failed to establish connection with address: " + endpoint);
}

TEST(RequestBrokerAdapter, pings_only_when_quiet_and_refuses_a_wrong_echo) {
    TestServer server;
    server.on(MessageType::HEARTBEAT_PING, [](const test_server::Request& request) {
        return request.record.client_id == "0" ? Reply::simple(MessageType::HEARTBEAT_ECHO)
                                                : Reply::simple(MessageType::CONNECTED);
    });
    server.start();
    RequestBrokerAdapter adapter;
    ASSERT_TRUE(adapter.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS));
    auto& broker = RequestBrokerAdapterTestAccess::broker(adapter);

    // Not quiet yet: nothing is sent.
    broker.set_last_send_time_for_testing(std::chrono::steady_clock::now() + 1h);
    EXPECT_TRUE(adapter.ping_server_if_quiet("client-1"));
    expect_cleared(adapter);
    EXPECT_EQ(server.request_count(MessageType::HEARTBEAT_PING), 1u);

    broker.set_last_send_time_for_testing(std::chrono::steady_clock::now() - 1s);
    EXPECT_FALSE(adapter.ping_server_if_quiet("client-1"));
    expect_error(adapter, ConnectionError::invalid_response,
                 "invalid response from server, expected: HEARTBEAT_ECHO, received: CONNECTED");
    EXPECT_EQ(server.request_count(MessageType::HEARTBEAT_PING), 2u);
}

TEST(RequestBrokerAdapter, failures_outside_the_broker_classes_are_failed_and_never_escape) {
    RequestBrokerAdapter adapter;
    const std::system_error eagain(EAGAIN, std::system_category(), "Client zmq_msg_send failed");
    struct Case {
        const char* name;
        std::function<void()> call;
        std::string message;
    };
    const std::vector<Case> cases{
            {"socket not ready", [&] { throw eagain; },
             "std::system_error[system:" + std::to_string(EAGAIN) + "] : " + eagain.what()},
            {"memory exhausted", [] { throw std::bad_alloc(); }, std::bad_alloc().what()},
            {"not a std::exception", [] { throw 42; }, "unknown exception"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(RequestBrokerAdapterTestAccess::invoke(adapter, c.call));
        expect_error(adapter, ConnectionError::failed, c.message);
    }
    // Its text begins as the broker's own and ends with the system's text.
    EXPECT_EQ(std::string(eagain.what()).rfind("Client zmq_msg_send failed", 0), 0u);

    // A contract violation under a policy that raises: sending before the
    // socket exists.
    const auto previous = common::contract::set_contract_violation_policy(
            common::contract::ContractViolationPolicy::throw_violation);
    const bool sent = send(adapter);
    common::contract::set_contract_violation_policy(previous);
    EXPECT_FALSE(sent);
    expect_error(adapter, ConnectionError::failed, "unknown exception");
}

}  // namespace
