#include "testing/test_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <zmq.hpp>

namespace {

using namespace std::chrono_literals;
using ipc_tools::Message;
using ipc_tools::MessageType;
using test_server::Reply;
using test_server::TestServer;

// Long enough never to be reached on a loaded machine; only a broken server
// waits this long.
constexpr auto GENEROUS_WAIT = 10s;

// A bare REQ client, so that the server is tested without the request broker.
class RawClient {
public:
    explicit RawClient(const std::string& endpoint) : m_socket(m_context, zmq::socket_type::req) {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.connect(endpoint);
    }

    void send(Message&& message) {
        zmq::message_t frame;
        message.transfer_to_zmq(frame);
        m_socket.send(frame, zmq::send_flags::none);
    }

    void send_bytes(const std::string& bytes) {
        m_socket.send(zmq::buffer(bytes), zmq::send_flags::none);
    }

    // The reply frame, or nothing when none came within `wait`.
    std::optional<zmq::message_t> receive(std::chrono::milliseconds wait = GENEROUS_WAIT) {
        zmq::pollitem_t item{m_socket.handle(), 0, ZMQ_POLLIN, 0};
        zmq::poll(&item, 1, wait);
        if ((item.revents & ZMQ_POLLIN) == 0) {
            return std::nullopt;
        }
        zmq::message_t frame;
        if (!m_socket.recv(frame, zmq::recv_flags::none)) {
            return std::nullopt;
        }
        return frame;
    }

    MessageType receive_type() {
        auto frame = receive();
        if (!frame) {
            return MessageType::UNSET;
        }
        return Message(std::move(*frame)).get_type();
    }

private:
    zmq::context_t m_context{1};
    zmq::socket_t m_socket;
};

Message ping(const std::string& client_id = "0") {
    return Message(MessageType::HEARTBEAT_PING, client_id, 0, "");
}

class TestServerTransports : public ::testing::TestWithParam<std::string> {
protected:
    std::string bind_endpoint() const {
        return GetParam() == "ipc" ? test_server::make_ipc_endpoint() : "tcp://127.0.0.1:*";
    }
};

TEST_P(TestServerTransports, echoes_heartbeats_and_records_the_request) {
    TestServer server(bind_endpoint());
    server.start();
    RawClient client(server.endpoint());

    client.send(Message(MessageType::HEARTBEAT_PING, "client-7", 5, "hello"));
    EXPECT_EQ(client.receive_type(), MessageType::HEARTBEAT_ECHO);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].type, MessageType::HEARTBEAT_PING);
    EXPECT_TRUE(requests[0].parsed);
    EXPECT_EQ(requests[0].client_id, "client-7");
    EXPECT_EQ(requests[0].value, 5u);
    EXPECT_EQ(requests[0].text, "hello");
}

INSTANTIATE_TEST_SUITE_P(Transports, TestServerTransports, ::testing::Values("tcp", "ipc"));

TEST(TestServer, reports_the_bound_endpoint_and_port) {
    TestServer tcp;
    tcp.start();
    EXPECT_EQ(tcp.endpoint().rfind("tcp://127.0.0.1:", 0), 0u) << tcp.endpoint();
    EXPECT_GT(tcp.port(), 0);
    EXPECT_EQ(tcp.endpoint(), "tcp://127.0.0.1:" + std::to_string(tcp.port()));

    const std::string ipc = test_server::make_ipc_endpoint();
    EXPECT_NE(ipc, test_server::make_ipc_endpoint());
    TestServer local(ipc);
    local.start();
    EXPECT_EQ(local.endpoint(), ipc);
    EXPECT_EQ(local.port(), 0);
}

TEST(TestServer, default_handlers_answer_disconnect_and_refuse_the_rest) {
    TestServer server;
    server.start();
    RawClient client(server.endpoint());

    client.send(Message(MessageType::DISCONNECT, "id", 0, ""));
    EXPECT_EQ(client.receive_type(), MessageType::DISCONNECTED);

    client.send(Message(MessageType::LOAD_CONFIG, "", 0, "cfg"));
    auto frame = client.receive();
    ASSERT_TRUE(frame);
    Message reply(std::move(*frame));
    EXPECT_EQ(reply.get_type(), MessageType::BAD_REQUEST);
    EXPECT_EQ(ipc_tools::get_simple_message_text(reply), "unsupported request: LOAD_CONFIG");
}

TEST(TestServer, handlers_replace_defaults_per_type_and_for_any_type) {
    TestServer server;
    server.on(MessageType::LOAD_CONFIG, test_server::always(MessageType::LOADING));
    server.on_any([](const test_server::Request& request) {
        // Echo the value back, so the test sees the handler read the request.
        return Reply::simple(MessageType::SUCCESS, request.record.text, request.record.value + 1);
    });
    server.start();
    RawClient client(server.endpoint());

    client.send(Message(MessageType::LOAD_CONFIG, "", 0, "cfg"));
    EXPECT_EQ(client.receive_type(), MessageType::LOADING);

    client.send(Message(MessageType::LOAD_BED, "", 41, "x.bed"));
    auto frame = client.receive();
    ASSERT_TRUE(frame);
    Message reply(std::move(*frame));
    EXPECT_EQ(reply.get_type(), MessageType::SUCCESS);
    EXPECT_EQ(ipc_tools::get_simple_message_text(reply), "x.bed");
    EXPECT_EQ(reply.get_message_data()->content_as_SimpleReplyData()->value(), 42u);

    // Heartbeats keep their own handler until the handlers are reset.
    client.send(ping());
    EXPECT_EQ(client.receive_type(), MessageType::HEARTBEAT_ECHO);
    server.on(MessageType::HEARTBEAT_PING, test_server::always(MessageType::CONNECTED));
    client.send(ping());
    EXPECT_EQ(client.receive_type(), MessageType::CONNECTED);
    server.reset_handlers();
    client.send(ping());
    EXPECT_EQ(client.receive_type(), MessageType::HEARTBEAT_ECHO);
}

TEST(TestServer, silence_leaves_the_client_waiting_and_a_late_reply_still_arrives) {
    TestServer server;
    server.on(MessageType::LOAD_CONFIG, [](const test_server::Request&) { return Reply::silence(); });
    server.on(MessageType::LOAD_BED, [](const test_server::Request&) {
        return Reply::simple(MessageType::SUCCESS).delayed_by(50ms);
    });
    server.start();

    RawClient silent(server.endpoint());
    silent.send(Message(MessageType::LOAD_CONFIG, "", 0, "cfg"));
    ASSERT_TRUE(server.wait_for_requests(1, GENEROUS_WAIT));
    EXPECT_FALSE(silent.receive(100ms));

    RawClient late(server.endpoint());
    late.send(Message(MessageType::LOAD_BED, "", 0, "x.bed"));
    EXPECT_EQ(late.receive_type(), MessageType::SUCCESS);
}

TEST(TestServer, delayed_replies_do_not_hold_up_other_clients) {
    TestServer server;
    server.on(MessageType::LOAD_CONFIG, [](const test_server::Request&) {
        return Reply::simple(MessageType::SUCCESS).delayed_by(1h);
    });
    server.start();

    RawClient slow(server.endpoint());
    slow.send(Message(MessageType::LOAD_CONFIG, "", 0, "cfg"));
    ASSERT_TRUE(server.wait_for_requests(1, GENEROUS_WAIT));

    RawClient fast(server.endpoint());
    fast.send(ping());
    EXPECT_EQ(fast.receive_type(), MessageType::HEARTBEAT_ECHO);
    // Stopping drops the reply that is not due yet.
    server.stop();
}

TEST(TestServer, sends_raw_frames_unchanged) {
    TestServer server;
    const std::string bytes("\x01\x02\0\x03xyz", 7);
    server.on(MessageType::HEARTBEAT_PING, [&](const test_server::Request&) { return Reply::raw(bytes); });
    server.start();
    RawClient client(server.endpoint());

    client.send(ping());
    auto frame = client.receive();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->to_string(), bytes);
}

TEST(TestServer, frames_that_are_not_messages_go_to_their_own_handlers) {
    struct Case {
        const char* name;
        std::string bytes;
        MessageType recorded;
    };
    const std::vector<Case> cases{
        {"too short", std::string("0021", 4), MessageType::UNSET},
        {"foreign identifier", std::string("\x08\0\0\0" "0022", 8), MessageType::INVALID_PROTOCOL},
        {"root outside the frame", std::string("\x40\0\0\0" "0021", 8), MessageType::UNSET},
    };
    TestServer server;
    server.on(MessageType::UNSET, test_server::always(MessageType::REQUEST_FAILED, "unparsed"));
    server.on(MessageType::INVALID_PROTOCOL, test_server::always(MessageType::REQUEST_FAILED, "foreign"));
    server.start();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.clear_requests();
        RawClient client(server.endpoint());
        client.send_bytes(c.bytes);
        EXPECT_EQ(client.receive_type(), MessageType::REQUEST_FAILED);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].type, c.recorded);
        EXPECT_FALSE(requests[0].parsed);
        EXPECT_EQ(requests[0].frame_size, c.bytes.size());
    }
}

TEST(TestServer, a_throwing_handler_answers_bad_request) {
    TestServer server;
    server.on(MessageType::LOAD_CONFIG,
              [](const test_server::Request&) -> Reply { throw std::runtime_error("boom"); });
    server.start();
    RawClient client(server.endpoint());

    client.send(Message(MessageType::LOAD_CONFIG, "", 0, "cfg"));
    auto frame = client.receive();
    ASSERT_TRUE(frame);
    Message reply(std::move(*frame));
    EXPECT_EQ(reply.get_type(), MessageType::BAD_REQUEST);
    EXPECT_EQ(ipc_tools::get_simple_message_text(reply), "test server handler failed: boom");
}

TEST(TestServer, serves_many_clients_and_counts_by_type) {
    TestServer server;
    server.start();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(std::make_unique<RawClient>(server.endpoint()));
        clients.back()->send(ping(std::to_string(i)));
    }
    for (auto& client : clients) {
        EXPECT_EQ(client->receive_type(), MessageType::HEARTBEAT_ECHO);
    }
    clients[0]->send(Message(MessageType::DISCONNECT, "0", 0, ""));
    EXPECT_EQ(clients[0]->receive_type(), MessageType::DISCONNECTED);

    EXPECT_EQ(server.request_count(), 6u);
    EXPECT_EQ(server.request_count(MessageType::HEARTBEAT_PING), 5u);
    EXPECT_EQ(server.request_count(MessageType::DISCONNECT), 1u);
    EXPECT_TRUE(server.wait_for_requests(6, 0ms));
    EXPECT_FALSE(server.wait_for_requests(7, 10ms));
}

TEST(TestServer, restarts_on_the_same_endpoint) {
    const std::string endpoint = test_server::make_ipc_endpoint();
    TestServer server(endpoint);
    server.start();
    EXPECT_TRUE(server.running());
    server.stop();
    EXPECT_FALSE(server.running());
    server.stop();  // a second stop does nothing

    server.start();
    RawClient client(endpoint);
    client.send(ping());
    EXPECT_EQ(client.receive_type(), MessageType::HEARTBEAT_ECHO);
    // Requests seen before the restart are kept until cleared.
    EXPECT_EQ(server.request_count(), 1u);
}

TEST(TestServer, maps_type_names_back_to_types) {
    EXPECT_EQ(test_server::message_type_from_string("LOAD_CONFIG"), MessageType::LOAD_CONFIG);
    EXPECT_EQ(test_server::message_type_from_string("NO_MORE_DATA"), MessageType::NO_MORE_DATA);
    EXPECT_EQ(test_server::message_type_from_string("UNSET"), MessageType::UNSET);
    EXPECT_FALSE(test_server::message_type_from_string("load_config"));
    EXPECT_FALSE(test_server::message_type_from_string("<unknown>"));
}

TEST(TestServer, scripted_rules_set_handlers) {
    TestServer server;
    server.apply_rule("LOAD_CONFIG=LOADING");
    server.apply_rule("LOAD_BED=REQUEST_FAILED:no file: x.bed, ask a@b@5");
    server.apply_rule("CONNECT=INVALID_CONFIG:why@20");
    server.apply_rule("HEARTBEAT_PING=silence");
    server.apply_rule("*=SUCCESS");
    server.start();

    struct Case {
        Message request;
        MessageType reply;
        std::string text;
    };
    std::vector<Case> cases;
    cases.push_back({Message(MessageType::LOAD_CONFIG, "", 0, "c"), MessageType::LOADING, ""});
    cases.push_back({Message(MessageType::LOAD_BED, "", 0, "b"), MessageType::REQUEST_FAILED,
                     "no file: x.bed, ask a@b"});
    cases.push_back({Message(MessageType::CONNECT, "", 0, ""), MessageType::INVALID_CONFIG, "why"});
    cases.push_back({Message(MessageType::GET_INDICES, "", 0, ""), MessageType::SUCCESS, ""});
    for (Case& c : cases) {
        SCOPED_TRACE(ipc_tools::message_type_as_string(c.request.get_type()));
        RawClient client(server.endpoint());
        client.send(std::move(c.request));
        auto frame = client.receive();
        ASSERT_TRUE(frame);
        Message reply(std::move(*frame));
        EXPECT_EQ(reply.get_type(), c.reply);
        EXPECT_EQ(ipc_tools::get_simple_message_text(reply), c.text);
    }
    RawClient silent(server.endpoint());
    silent.send(ping());
    EXPECT_FALSE(silent.receive(100ms));
}

TEST(TestServer, refuses_malformed_rules) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"LOAD_CONFIG", "expected REQUEST=REPLY"},
        {"LOAD_KONFIG=LOADING", "unknown request type 'LOAD_KONFIG'"},
        {"LOAD_CONFIG=LOADED", "unknown reply type 'LOADED'"},
        {"LOAD_CONFIG=", "unknown reply type ''"},
        {"LOAD_CONFIG=RETURN_CONFIGS", "'RETURN_CONFIGS' is not a simple message"},
        {"LOAD_CONFIG=LOADING@1234567890", "delay too long"},
        {"LOAD_CONFIG#0=silence", "expected a request number from 1 after '#'"},
        {"LOAD_CONFIG#x=silence", "expected a request number from 1 after '#'"},
        {"LOAD_CONFIG=late@", "expected late@MS"},
        {"LOAD_CONFIG=late@5x", "expected late@MS"},
        {"LOAD_CONFIG=raw:\\x4", "'\\x' must be followed by two hexadecimal digits"},
    };
    TestServer server;
    for (const auto& [rule, why] : cases) {
        try {
            server.apply_rule(rule);
            ADD_FAILURE() << "accepted " << rule;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "bad rule '" + rule + "': " + why);
        }
    }
}

}  // namespace
