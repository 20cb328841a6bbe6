#include "ipc_tools/request_broker.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>

#include "common/contract.h"
#include "common/log_sources.h"
#include "testing/test_server.h"

namespace {

using namespace std::chrono_literals;
using ipc_tools::Message;
using ipc_tools::MessageType;
using ipc_tools::RequestBroker;
using test_server::Reply;
using test_server::TestServer;

// Poll time-out for exchanges that are expected to succeed: never reached
// unless the test fails.
constexpr unsigned LIVE_TIMEOUT_MS = 5000;
// Poll time-out for exchanges that are expected to time out.
// Poll time-out for exchanges that are expected to time out.
constexpr unsigned SHORT_TIMEOUT_MS = 50;

Message load_config(const std::string& name = "cfg") {
    return Message(MessageType::LOAD_CONFIG, "", 0, name);
}

// A frame with the protocol's identifier whose content tag names a table
// that is not there.
Message reply_without_table() {
    flatbuffers::FlatBufferBuilder builder;
    const auto root = tessel_ipc::CreateMessageData(builder, &ipc_tools::current_version(), 0,
                                                    tessel_ipc::Content_SimpleReplyData, 0);
    builder.Finish(root, tessel_ipc::MessageDataIdentifier());
    return Message(builder);
}

// First contact with a short time-out can fail on a busy machine; only the
// time-out of the requests that follow matters to the callers.
void prepare_with_short_timeout(RequestBroker& broker, const std::string& endpoint) {
    for (int attempt = 1;; ++attempt) {
        try {
            broker.prepare_connection(endpoint, SHORT_TIMEOUT_MS);
            return;
        } catch (const ipc_tools::TimeoutError&) {
            if (attempt == 100) {
                throw;
            }
        }
    }
}

std::string error_text(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no exception>";
}

TEST(RequestBrokerAddress, is_normalised_to_an_endpoint) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"5555", "tcp://localhost:5555"},
        {"host:5555", "tcp://host:5555"},
        {"127.0.0.1:5555", "tcp://127.0.0.1:5555"},
        {"", "tcp://localhost:"},
        {"inproc://x", "inproc://x"},
        {"ipc:///tmp/s", "ipc:///tmp/s"},
        // A tcp:// address is already an endpoint; another "tcp://" in front
        // would make it unusable.
        {"tcp://host:5555", "tcp://host:5555"},
        // Other schemes still count as host:port.
        {"udp://host:5555", "tcp://udp://host:5555"},
    };
    for (const auto& [address, endpoint] : cases) {
        EXPECT_EQ(RequestBroker::generate_server_address(address), endpoint) << address;
    }
}

TEST(RequestBrokerQuiet, starts_one_second_after_the_last_send) {
    const std::chrono::steady_clock::time_point last_send{std::chrono::seconds(100)};
    const std::vector<std::pair<std::int64_t, bool>> cases{
        {0, false}, {999'999'999, false}, {1'000'000'000, true}, {5'000'000'000, true}};
    for (const auto& [elapsed_ns, quiet] : cases) {
        EXPECT_EQ(RequestBroker::is_quiet(last_send + std::chrono::nanoseconds(elapsed_ns), last_send),
                  quiet)
            << elapsed_ns;
    }
    // A new broker has never sent: it is quiet.
    EXPECT_TRUE(RequestBroker::is_quiet(std::chrono::steady_clock::now(),
                                        RequestBroker().last_send_time()));
}

TEST(RequestBrokerPollText, names_every_field_of_the_poll_item) {
    zmq_pollitem_t item{nullptr, 7, ZMQ_POLLIN, ZMQ_POLLIN | ZMQ_POLLERR};
    EXPECT_EQ(ipc_tools::poll_result_as_string(1, item),
              "num events: 1. zmq::pollitem_t: socket[0], fd[7], events[1], revents[5]");
}

class RequestBrokerTransports : public ::testing::TestWithParam<std::string> {};

TEST_P(RequestBrokerTransports, prepares_with_a_ping_and_exchanges_requests) {
    TestServer server(GetParam() == "ipc" ? test_server::make_ipc_endpoint() : "tcp://127.0.0.1:*");
    server.on(MessageType::LOAD_CONFIG, test_server::always(MessageType::SUCCESS, "loaded"));
    server.start();
    // A bare host:port, as users give it.
    const std::string address = GetParam() == "ipc" ? server.endpoint()
                                                    : "127.0.0.1:" + std::to_string(server.port());

    RequestBroker broker;
    broker.prepare_connection(address, LIVE_TIMEOUT_MS);
    ASSERT_EQ(server.request_count(), 1u);
    EXPECT_EQ(server.requests()[0].type, MessageType::HEARTBEAT_PING);
    EXPECT_EQ(server.requests()[0].client_id, "0");

    Message request = load_config("my-config");
    Message reply;
    broker.send_request(request, reply);
    EXPECT_TRUE(request.empty());
    EXPECT_EQ(request.get_type(), MessageType::UNSET);
    EXPECT_EQ(reply.get_type(), MessageType::SUCCESS);
    EXPECT_EQ(ipc_tools::get_simple_message_text(reply), "loaded");
    EXPECT_EQ(server.requests().back().text, "my-config");
}

INSTANTIATE_TEST_SUITE_P(Transports, RequestBrokerTransports, ::testing::Values("tcp", "ipc"));

TEST(RequestBroker, prepare_connection_fails_where_nothing_listens) {
    const std::string endpoint = test_server::make_ipc_endpoint();
    RequestBroker broker;
    try {
        broker.prepare_connection(endpoint, SHORT_TIMEOUT_MS);
        FAIL() << "no exception";
    } catch (const ipc_tools::TimeoutError& e) {
        EXPECT_EQ(std::string(e.what()), "Failed to establish connection with address: " + endpoint);
    }
}

TEST(RequestBroker, prepare_connection_fails_when_the_ping_gets_another_reply) {
    TestServer server;
    server.on(MessageType::HEARTBEAT_PING, test_server::always(MessageType::CONNECTED));
    server.start();
    RequestBroker broker;
    try {
        broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);
        FAIL() << "no exception";
    } catch (const ipc_tools::TimeoutError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Failed to establish connection with address: " + server.endpoint());
    }
}

// After a time-out the REQ socket still owes the old reply; only a new
// prepare_connection makes the broker usable again, and the late reply of the
// lost request never reaches the next one.
TEST(RequestBroker, times_out_on_silence_and_recovers_after_prepare_connection) {
    TestServer server;
    server.on(MessageType::LOAD_CONFIG, [](const test_server::Request& request) {
        // The lost request's reply comes far too late (the broker gives up
        // after four polls of 50 ms; 3 s leaves a busy machine room); the
        // next one later still, so that the stale reply is sent first.
        return request.record.text == "lost"
                   ? Reply::simple(MessageType::REQUEST_FAILED, "stale").delayed_by(3000ms)
                   : Reply::simple(MessageType::SUCCESS, request.record.text).delayed_by(3000ms);
    });
    server.start();

    RequestBroker broker;
    prepare_with_short_timeout(broker, server.endpoint());

    Message request = load_config("lost");
    Message reply;
    try {
        broker.send_request(request, reply);
        FAIL() << "no exception";
    } catch (const ipc_tools::TimeoutError& e) {
        EXPECT_EQ(std::string(e.what()), "Timeout waiting for reply to request: LOAD_CONFIG");
    }
    EXPECT_TRUE(request.empty());
    EXPECT_TRUE(reply.empty());

    // ZeroMQ refuses a send while the lost reply is owed.
    Message next = load_config("next");
    EXPECT_THROW(broker.send_request(next, reply), zmq::error_t);

    broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);
    Message again = load_config("again");
    broker.send_request(again, reply);
    EXPECT_EQ(reply.get_type(), MessageType::SUCCESS);
    EXPECT_EQ(ipc_tools::get_simple_message_text(reply), "again");
}

TEST(RequestBroker, a_zero_timeout_gives_up_at_once) {
    // Nothing listens, so no reply can come however fast the machine is.
    const std::string endpoint = test_server::make_ipc_endpoint();
    RequestBroker broker;
    EXPECT_THROW(broker.prepare_connection(endpoint, 0), ipc_tools::TimeoutError);
}

// Each failure here came with a reply, so the socket carries the next request
// without a new prepare_connection.
TEST(RequestBroker, classifies_failed_replies) {
    struct Case {
        const char* name;
        std::function<Reply()> reply;
        std::string expected_class;
        std::string text;  // whole text, or prefix when ending in "..."
    };
    const std::vector<Case> cases{
        {"bad request with reason",
         [] { return Reply::simple(MessageType::BAD_REQUEST, "no such config"); }, "BadRequest",
         "Bad request message: LOAD_CONFIG. no such config"},
        {"bad request without text", [] { return Reply::simple(MessageType::BAD_REQUEST); },
         "BadRequest", "Bad request message: LOAD_CONFIG. "},
        {"client not recognised", [] { return Reply::simple(MessageType::CLIENT_NOT_RECOGNISED); },
         "TimeoutError",
         "Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart."},
        {"short frame", [] { return Reply::raw("0021"); }, "BadReply",
         "Could not interpret message from server for request: LOAD_CONFIG. Reply: UNSET"},
        {"empty frame", [] { return Reply::raw(""); }, "BadReply",
         "Could not interpret message from server for request: LOAD_CONFIG. Reply: UNSET"},
        {"foreign frame", [] { return Reply::raw(std::string("\x08\0\0\0" "0022", 8)); },
         "BadReply",
         "Could not interpret message from server for request: LOAD_CONFIG. Reply: "
         "INVALID_PROTOCOL"},
        {"corrupt frame", [] { return Reply::raw(std::string("\x40\0\0\0" "0021", 8)); },
         "BadReply",
         "Error parsing reply from server for request: LOAD_CONFIG. Invalid MessageData in "
         "Message."},
        {"content tag without its table", [] { return Reply::message(reply_without_table()); },
         "BadReply",
         "Could not interpret message from server for request: LOAD_CONFIG. Reply: UNSET"},
    };

    TestServer server;
    std::function<Reply()> next_reply;
    std::mutex mutex;
    server.on(MessageType::LOAD_CONFIG, [&](const test_server::Request&) {
        std::lock_guard<std::mutex> lock(mutex);
        return next_reply();
    });
    server.start();
    RequestBroker broker;
    broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(mutex);
            next_reply = c.reply;
        }
        Message request = load_config();
        Message reply;
        std::string caught_class = "none";
        std::string text;
        try {
            broker.send_request(request, reply);
        } catch (const ipc_tools::BadRequest& e) {
            caught_class = "BadRequest";
            text = e.what();
        } catch (const ipc_tools::BadReply& e) {
            caught_class = "BadReply";
            text = e.what();
        } catch (const ipc_tools::TimeoutError& e) {
            caught_class = "TimeoutError";
            text = e.what();
        }
        EXPECT_EQ(caught_class, c.expected_class);
        EXPECT_EQ(text, c.text);
        EXPECT_TRUE(request.empty());

        // The exchange completed: the next request goes through.
        Message ping(MessageType::HEARTBEAT_PING, "id", 0, "");
        broker.send_request(ping, reply);
        EXPECT_EQ(reply.get_type(), MessageType::HEARTBEAT_ECHO);
    }
}

// Keeps channel, function and message of every record that reaches the core.
class CollectingBackend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    void consume(const boost::log::record_view& record) {
        const auto& values = record.attribute_values();
        records.push_back(
            boost::log::extract_or_default<std::string>("Channel", values, std::string("?")) +
            " | " + boost::log::extract_or_default<std::string>("Function", values, std::string("?")) +
            " | " + boost::log::extract_or_default<std::string>("Message", values, std::string("?")));
    }
    std::vector<std::string> records;
};

TEST(RequestBroker, logs_a_server_restart_when_the_client_is_not_recognised) {
    TestServer server;
    server.on(MessageType::LOAD_CONFIG, test_server::always(MessageType::CLIENT_NOT_RECOGNISED));
    server.start();
    RequestBroker broker;
    broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);

    auto core = boost::log::core::get();
    auto backend = boost::make_shared<CollectingBackend>();
    auto sink = boost::make_shared<boost::log::sinks::synchronous_sink<CollectingBackend>>(backend);
    core->add_sink(sink);
    Message request = load_config();
    Message reply;
    EXPECT_THROW(broker.send_request(request, reply), ipc_tools::TimeoutError);
    core->remove_sink(sink);

    EXPECT_EQ(sink->locked_backend()->records,
              std::vector<std::string>{
                  "info | void ipc_tools::RequestBroker::fetch_and_validate_reply(const "
                  "std::string &, ipc_tools::Message &) | Received CLIENT_NOT_RECOGNISED from "
                  "server. Treating as a server restart."});
}

void ignore_signal(int) {}

// Signals arriving while the broker waits interrupt its poll (no SA_RESTART);
// the broker polls again instead of failing.
TEST(RequestBroker, repeats_interrupted_waits) {
    TestServer server;
    server.on(MessageType::LOAD_CONFIG, [](const test_server::Request&) {
        return Reply::simple(MessageType::SUCCESS).delayed_by(200ms);
    });
    server.start();
    RequestBroker broker;
    broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);

    struct sigaction action {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    std::atomic<bool> done{false};
    const pthread_t waiter = pthread_self();
    std::thread interrupter([&] {
        while (!done) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(5ms);
        }
    });
    Message request = load_config();
    Message reply;
    std::string error;
    try {
        broker.send_request(request, reply);
    } catch (const std::exception& e) {
        error = e.what();
    }
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(error, "");
    EXPECT_EQ(reply.get_type(), MessageType::SUCCESS);
}

TEST(RequestBroker, passes_error_replies_to_the_caller) {
    TestServer server;
    server.on(MessageType::LOAD_CONFIG, test_server::always(MessageType::INVALID_CONFIG, "why"));
    server.start();
    RequestBroker broker;
    broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);

    Message request = load_config();
    Message reply;
    broker.send_request(request, reply);
    EXPECT_EQ(reply.get_type(), MessageType::INVALID_CONFIG);
    EXPECT_EQ(ipc_tools::get_simple_message_text(reply), "why");
}

TEST(RequestBroker, pings_only_after_a_second_of_quiet) {
    using Clock = std::chrono::steady_clock;
    TestServer server;
    server.start();
    RequestBroker broker;
    const auto before_prepare = Clock::now();
    broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);
    ASSERT_EQ(server.request_count(MessageType::HEARTBEAT_PING), 1u);
    // The ping of prepare_connection counts as activity.
    EXPECT_GE(broker.last_send_time(), before_prepare);

    // Requests count as activity too.
    const auto before_request = Clock::now();
    Message request = load_config();
    Message reply;
    EXPECT_THROW(broker.send_request(request, reply), ipc_tools::BadRequest);
    EXPECT_GE(broker.last_send_time(), before_request);

    // The clock is moved instead of waited for: a last send in the future is
    // never a second ago.
    broker.set_last_send_time_for_testing(Clock::now() + std::chrono::hours(1));
    broker.ping_server_if_quiet("client");
    EXPECT_EQ(server.request_count(MessageType::HEARTBEAT_PING), 1u);

    broker.set_last_send_time_for_testing(Clock::now() - std::chrono::seconds(1));
    broker.ping_server_if_quiet("client");
    ASSERT_EQ(server.request_count(MessageType::HEARTBEAT_PING), 2u);
    EXPECT_EQ(server.requests().back().client_id, "client");
    EXPECT_GE(broker.last_send_time(), before_request);

    // A wrong answer to the ping is an invalid response.
    server.on(MessageType::HEARTBEAT_PING, test_server::always(MessageType::CONNECTED));
    broker.set_last_send_time_for_testing(Clock::now() - std::chrono::seconds(1));
    EXPECT_EQ(error_text([&] { broker.ping_server_if_quiet("client"); }),
              "invalid response from server, expected: HEARTBEAT_ECHO, received: CONNECTED");
}

TEST(RequestBroker, refuses_requests_before_prepare_connection_and_empty_requests) {
    const auto previous = common::contract::set_contract_violation_policy(
        common::contract::ContractViolationPolicy::throw_violation);
    {
        RequestBroker broker;
        Message request = load_config();
        Message reply;
        EXPECT_ANY_THROW(broker.send_request(request, reply));
    }
    {
        TestServer server;
        server.start();
        RequestBroker broker;
        broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);
        Message empty;
        Message reply;
        EXPECT_ANY_THROW(broker.send_request(empty, reply));
    }
    common::contract::set_contract_violation_policy(previous);
}

}  // namespace
