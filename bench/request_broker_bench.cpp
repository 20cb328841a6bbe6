// Request/reply round trips of one raw-signal block (a small one and one of
// 512 KB, answered RAW_BLOCK_ACCEPTED) over TCP loopback and ipc://, four
// arms run interleaved in the same process:
//   raw            bare REQ socket  -> bare REP socket (the floor)
//   broker+server  RequestBroker    -> test server     (the full road)
//   broker         RequestBroker    -> bare REP socket (the broker's own cost)
//   server         bare REQ socket  -> test server     (the test server's cost)
// Each ratio printed is raw's time over the arm's, the median of the
// per-round ratios (1.0: as fast as the bare sockets).
//
// Usage: request_broker_bench [--rounds=N]

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "bench/interleaved_rounds.h"
#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/request_broker.h"
#include "testing/test_server.h"

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;

constexpr unsigned TIMEOUT_MS = 10000;

struct Case {
    std::string transport;  // "tcp" or "ipc"
    std::string size_name;
    std::size_t samples;
};

std::string bind_endpoint(const std::string& transport) {
    return transport == "ipc" ? test_server::make_ipc_endpoint() : "tcp://127.0.0.1:*";
}

// A PASS_FIRST_RAW_BLOCK message holding `samples` samples.
Message make_block(std::size_t samples) {
    const std::vector<std::int16_t> signal(samples, 123);
    flatbuffers::FlatBufferBuilder builder(samples * sizeof(std::int16_t) + 512);
    const auto client_id = builder.CreateString("bench");
    const auto read_id = builder.CreateString("read-0");
    const auto strand_id = builder.CreateString("strand-0");
    const auto raw = builder.CreateVector(signal);
    const auto block = tessel_ipc::CreateReadBlockData(
            builder, tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK, 1, 0, 1, static_cast<std::uint32_t>(samples),
            0.f, 1.f, read_id, raw, 0, 0, strand_id);
    const auto root = tessel_ipc::CreateMessageData(builder, &ipc_tools::current_version(), client_id,
                                                    tessel_ipc::Content_ReadBlockData, block.Union());
    builder.Finish(root, tessel_ipc::MessageDataIdentifier());
    return Message(builder);
}

std::string frame_bytes(Message message) {
    zmq::message_t frame;
    message.transfer_to_zmq(frame);
    return frame.to_string();
}

// A REP socket on its own thread answering every request with the same bytes.
class BareRep {
public:
    // `first_reply`, when not empty, answers the first request only (a
    // broker's connection ping).
    BareRep(const std::string& bind, std::string reply, std::string first_reply = "")
            : m_context(1), m_rep(m_context, zmq::socket_type::rep) {
        m_rep.set(zmq::sockopt::linger, 0);
        m_rep.bind(bind);
        m_endpoint = m_rep.get(zmq::sockopt::last_endpoint);
        m_thread = std::thread([this, reply = std::move(reply), first = std::move(first_reply)]() mutable {
            zmq::pollitem_t item{m_rep.handle(), 0, ZMQ_POLLIN, 0};
            while (!m_stop) {
                zmq::poll(&item, 1, std::chrono::milliseconds(10));
                if ((item.revents & ZMQ_POLLIN) == 0) {
                    continue;
                }
                zmq::message_t request;
                if (!m_rep.recv(request, zmq::recv_flags::none)) {
                    continue;
                }
                const std::string& bytes = first.empty() ? reply : first;
                zmq::message_t answer(bytes.data(), bytes.size());
                m_rep.send(answer, zmq::send_flags::none);
                first.clear();
            }
        });
    }
    ~BareRep() {
        m_stop = true;
        m_thread.join();
        m_rep.close();
        const std::string prefix = "ipc://";
        if (m_endpoint.rfind(prefix, 0) == 0) {
            std::remove(m_endpoint.c_str() + prefix.size());
        }
    }
    const std::string& endpoint() const { return m_endpoint; }

private:
    zmq::context_t m_context;
    zmq::socket_t m_rep;
    std::string m_endpoint;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A REQ socket sending copies of the same request bytes.
class BareReq {
public:
    BareReq(const std::string& endpoint, std::string request)
            : m_context(1), m_req(m_context, zmq::socket_type::req), m_request(std::move(request)) {
        m_req.set(zmq::sockopt::linger, 0);
        m_req.connect(endpoint);
    }
    void round_trips(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            zmq::message_t request(m_request.data(), m_request.size());
            m_req.send(request, zmq::send_flags::none);
            zmq::message_t reply;
            if (!m_req.recv(reply, zmq::recv_flags::none)) {
                throw std::runtime_error("no reply");
            }
        }
    }

private:
    zmq::context_t m_context;
    zmq::socket_t m_req;
    std::string m_request;
};

void broker_round_trips(ipc_tools::RequestBroker& broker, const Message& prototype, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        Message request = prototype.copy();
        Message reply;
        broker.send_request(request, reply);
        if (reply.get_type() != MessageType::RAW_BLOCK_ACCEPTED) {
            throw std::runtime_error("unexpected reply");
        }
    }
}

void run_case(const Case& c, int rounds) {
    const Message prototype = make_block(c.samples);
    const std::string request_bytes = frame_bytes(prototype.copy());
    const std::string reply_bytes = frame_bytes(Message(MessageType::RAW_BLOCK_ACCEPTED, "", 0, ""));

    test_server::TestServer server(bind_endpoint(c.transport));
    server.on(MessageType::PASS_FIRST_RAW_BLOCK, test_server::always(MessageType::RAW_BLOCK_ACCEPTED));
    server.start();
    BareRep raw_rep(bind_endpoint(c.transport), reply_bytes);
    BareRep broker_rep(bind_endpoint(c.transport), reply_bytes,
                       frame_bytes(Message(MessageType::HEARTBEAT_ECHO, "", 0, "")));

    BareReq raw_req(raw_rep.endpoint(), request_bytes);
    BareReq server_req(server.endpoint(), request_bytes);
    ipc_tools::RequestBroker full_broker;
    full_broker.prepare_connection(server.endpoint(), TIMEOUT_MS);
    ipc_tools::RequestBroker bare_broker;
    bare_broker.prepare_connection(broker_rep.endpoint(), TIMEOUT_MS);

    const std::vector<bench_rounds::Arm> arms = {
            {"raw", [&] { raw_req.round_trips(1); }},
            {"broker+server", [&] { broker_round_trips(full_broker, prototype, 1); }},
            {"broker", [&] { broker_round_trips(bare_broker, prototype, 1); }},
            {"server", [&] { server_req.round_trips(1); }},
    };
    const auto rates = bench_rounds::run_rounds(arms, rounds, 0.05);
    std::printf("%s/%s (%d rounds)\n", c.transport.c_str(), c.size_name.c_str(), rounds);
    for (std::size_t a = 0; a < arms.size(); ++a) {
        std::printf("  %-14s %9.0f round trips/s\n", arms[a].name.c_str(), bench_rounds::median(rates[a]));
    }
    for (std::size_t a = 1; a < arms.size(); ++a) {
        std::printf("  raw time / %-14s time: %.2f (median of per-round ratios)\n", arms[a].name.c_str(),
                    bench_rounds::median_ratio(rates, a, 0));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = bench_rounds::take_rounds_argument(argc, argv, 21);
    const std::vector<Case> cases = {
            {"tcp", "small", 16}, {"tcp", "512KB", 256 * 1024}, {"ipc", "small", 16}, {"ipc", "512KB", 256 * 1024}};
    for (const Case& c : cases) {
        run_case(c, rounds);
    }
    return 0;
}
