// Request/reply round trips through RequestBroker and the test server, beside
// raw libzmq REQ/REP carrying the same bytes in the same run. The request is
// one raw-signal block (a small one and one of 512 KB), the reply
// RAW_BLOCK_ACCEPTED, over TCP loopback and ipc://. After the runs the ratio
// broker time / raw time is printed for each pair.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

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

const std::vector<Case>& cases() {
    static const std::vector<Case> all{
        {"tcp", "small", 16},
        {"tcp", "512KB", 256 * 1024},
        {"ipc", "small", 16},
        {"ipc", "512KB", 256 * 1024},
    };
    return all;
}

std::string bind_endpoint(const std::string& transport) {
    return transport == "ipc" ? test_server::make_ipc_endpoint() : "tcp://127.0.0.1:*";
}

// A PASS_FIRST_RAW_BLOCK message holding `samples` samples, built with room
// for the whole block so that the builder never reallocates.
Message make_block(std::size_t samples) {
    const std::vector<std::int16_t> signal(samples, 123);
    flatbuffers::FlatBufferBuilder builder(samples * sizeof(std::int16_t) + 512);
    const auto client_id = builder.CreateString("bench");
    const auto read_id = builder.CreateString("read-0");
    const auto strand_id = builder.CreateString("strand-0");
    const auto raw = builder.CreateVector(signal);
    const auto block = tessel_ipc::CreateReadBlockData(
        builder, tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK, 1, 0, 1,
        static_cast<std::uint32_t>(samples), 0.f, 1.f, read_id, raw, 0, 0, strand_id);
    const auto root = tessel_ipc::CreateMessageData(builder, &ipc_tools::current_version(),
                                                    client_id, tessel_ipc::Content_ReadBlockData,
                                                    block.Union());
    builder.Finish(root, tessel_ipc::MessageDataIdentifier());
    return Message(builder);
}

std::string frame_bytes(Message message) {
    zmq::message_t frame;
    message.transfer_to_zmq(frame);
    return frame.to_string();
}

std::string case_name(const Case& c) { return c.transport + "/" + c.size_name; }

void broker_round_trip(benchmark::State& state, Case c) {
    test_server::TestServer server(bind_endpoint(c.transport));
    server.on(MessageType::PASS_FIRST_RAW_BLOCK,
              test_server::always(MessageType::RAW_BLOCK_ACCEPTED));
    server.start();
    ipc_tools::RequestBroker broker;
    broker.prepare_connection(server.endpoint(), TIMEOUT_MS);

    const Message prototype = make_block(c.samples);
    for (auto _ : state) {
        Message request = prototype.copy();
        Message reply;
        broker.send_request(request, reply);
        if (reply.get_type() != MessageType::RAW_BLOCK_ACCEPTED) {
            state.SkipWithError("unexpected reply");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(c.samples * sizeof(std::int16_t)));
}

// The fastest equivalent: a REP socket on its own thread answering every
// request with the same reply bytes, and a REQ socket sending a copy of the
// request bytes each time.
void raw_round_trip(benchmark::State& state, Case c) {
    const std::string request_bytes = frame_bytes(make_block(c.samples));
    const std::string reply_bytes =
        frame_bytes(Message(MessageType::RAW_BLOCK_ACCEPTED, "", 0, ""));

    zmq::context_t server_context(1);
    zmq::socket_t rep(server_context, zmq::socket_type::rep);
    rep.set(zmq::sockopt::linger, 0);
    rep.bind(bind_endpoint(c.transport));
    const std::string endpoint = rep.get(zmq::sockopt::last_endpoint);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        zmq::pollitem_t item{rep.handle(), 0, ZMQ_POLLIN, 0};
        while (!stop) {
            zmq::poll(&item, 1, std::chrono::milliseconds(10));
            if ((item.revents & ZMQ_POLLIN) == 0) {
                continue;
            }
            zmq::message_t request;
            if (!rep.recv(request, zmq::recv_flags::none)) {
                continue;
            }
            zmq::message_t reply(reply_bytes.data(), reply_bytes.size());
            rep.send(reply, zmq::send_flags::none);
        }
    });

    zmq::context_t client_context(1);
    zmq::socket_t req(client_context, zmq::socket_type::req);
    req.set(zmq::sockopt::linger, 0);
    req.connect(endpoint);
    for (auto _ : state) {
        zmq::message_t request(request_bytes.data(), request_bytes.size());
        req.send(request, zmq::send_flags::none);
        zmq::message_t reply;
        if (!req.recv(reply, zmq::recv_flags::none) || reply.size() != reply_bytes.size()) {
            state.SkipWithError("unexpected reply");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(c.samples * sizeof(std::int16_t)));

    stop = true;
    server.join();
    rep.close();
    const std::string prefix = "ipc://";
    if (endpoint.rfind(prefix, 0) == 0) {
        std::remove(endpoint.c_str() + prefix.size());
    }
}

// Prints every run as the console does and keeps the mean time per
// iteration of each, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                m_times[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }

    void print_ratios() const {
        std::cout << "\nround trip time, broker + test server / raw REQ-REP:\n";
        for (const Case& c : cases()) {
            const auto broker = m_times.find("broker/" + case_name(c));
            const auto raw = m_times.find("raw_zmq/" + case_name(c));
            if (broker == m_times.end() || raw == m_times.end() || raw->second <= 0) {
                continue;
            }
            std::cout << "  " << std::left << std::setw(10) << case_name(c) << std::fixed
                      << std::setprecision(2) << broker->second / raw->second << "x\n";
        }
    }

private:
    std::map<std::string, double> m_times;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Case& c : cases()) {
        benchmark::RegisterBenchmark(("raw_zmq/" + case_name(c)).c_str(), raw_round_trip, c)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("broker/" + case_name(c)).c_str(), broker_round_trip, c)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
