// The whole client against a test server that calls every read at once,
// beside raw libzmq REQ/REP replaying the very same sequence of frames (the
// pushes, polls and called blocks of one round, recorded from the client's
// own traffic), interleaved round by round in one run.
//
//   client   strandlink::Client: pass the round's reads, collect them all
//   raw      bare REQ -> bare REP sending the recorded request frames and
//            answering with the recorded reply frames
//   server   bare REQ -> the test server, sending the recorded requests as
//            the client's connection (the server's own cost on the traffic)
//
// Both arms copy the round's reads from the same templates first (the client
// takes its reads over; the raw arm drops its copies), so that cost is
// alike on both sides. The ratio printed is the median over rounds of raw
// time / client time (1.0: the client moves reads as fast as the wire).
//
// Usage: client_bench [--rounds=N]

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "bench/interleaved_rounds.h"
#include "strandlink/client.h"
#include "testing/basecaller.h"
#include "testing/server_registration.h"
#include "testing/test_server.h"

namespace {

using interfaces::ReadHolder;
using interfaces::ReadList;

std::vector<std::int16_t> make_samples(std::size_t count, unsigned seed) {
    std::vector<std::int16_t> samples(count);
    std::uint32_t state = 2463534242u + seed * 7919u;
    for (auto& sample : samples) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        sample = static_cast<std::int16_t>(300 + state % 400);
    }
    return samples;
}

ReadHolder make_read(unsigned long long tag, std::size_t samples) {
    ReadHolder read;
    read.read_tag = tag;
    kelp::data_wrappers::v2::DataSetData raw;
    raw.own(make_samples(samples, static_cast<unsigned>(tag)));
    read.datasets.emplace(dataset::raw_data, std::move(raw));
    const std::string id = "read-" + std::to_string(tag);
    read.metadata.insert("duration", static_cast<unsigned long long>(samples));
    read.metadata.insert("daq_offset", 4.5f);
    read.metadata.insert("daq_scaling", 0.25f);
    read.metadata.insert("read_id", id);
    read.metadata.insert("strand_id", id);
    read.metadata.insert("sampling_rate", 4000.0f);
    read.metadata.insert("start_time", 0ull);
    return read;
}

// A deep copy of a read as the application made it.
ReadHolder copy_of(const ReadHolder& read) {
    ReadHolder copy;
    copy.read_tag = read.read_tag;
    copy.metadata = read.metadata;
    for (const auto& [id, source] : read.datasets) {
        auto& target = copy.datasets[id];
        target.copy_data(source);
        target.info = source.info;
        target.metadata = source.metadata;
    }
    return copy;
}

std::string frame_bytes(ipc_tools::Message message) {
    zmq::message_t frame;
    message.transfer_to_zmq(frame);
    return frame.to_string();
}

// The basecaller, recording every exchange of the read traffic while asked to.
class RecordingTraffic : public test_server::ReadTraffic {
public:
    explicit RecordingTraffic(std::shared_ptr<test_server::Basecaller> inner) : m_inner(std::move(inner)) {}

    void record(bool on) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_recording = on;
    }
    std::vector<std::pair<std::string, std::string>> take_exchanges() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::move(m_exchanges);
    }

    bool handles(ipc_tools::MessageType type) const override { return m_inner->handles(type); }
    test_server::Reply handle(const test_server::ClientSetup& client, const test_server::Request& request) override {
        test_server::Reply reply = m_inner->handle(client, request);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_recording || reply.is_silent()) {
            return reply;
        }
        zmq::message_t frame = reply.take_frame();
        std::string reply_bytes = frame.to_string();
        m_exchanges.emplace_back(frame_bytes(request.message.copy()), reply_bytes);
        return test_server::Reply::raw(reply_bytes);
    }
    void client_connected(const test_server::ClientSetup& client) override { m_inner->client_connected(client); }
    void client_disconnected(const std::string& id) override { m_inner->client_disconnected(id); }
    void reset() override { m_inner->reset(); }
    Counts counts(const std::string& id) const override { return m_inner->counts(id); }
    Counts lifetime_counts() const override { return m_inner->lifetime_counts(); }

private:
    std::shared_ptr<test_server::Basecaller> m_inner;
    std::mutex m_mutex;
    bool m_recording = false;
    std::vector<std::pair<std::string, std::string>> m_exchanges;
};

// A REP socket answering the i-th request with the i-th recorded reply.
class ReplayRep {
public:
    explicit ReplayRep(std::vector<std::string> replies)
            : m_context(1), m_rep(m_context, zmq::socket_type::rep), m_replies(std::move(replies)) {
        m_rep.set(zmq::sockopt::linger, 0);
        m_rep.bind("tcp://127.0.0.1:*");
        m_endpoint = m_rep.get(zmq::sockopt::last_endpoint);
        m_thread = std::thread([this] {
            zmq::pollitem_t item{m_rep.handle(), 0, ZMQ_POLLIN, 0};
            std::size_t next = 0;
            while (!m_stop) {
                zmq::poll(&item, 1, std::chrono::milliseconds(10));
                if ((item.revents & ZMQ_POLLIN) == 0) {
                    continue;
                }
                zmq::message_t request;
                if (!m_rep.recv(request, zmq::recv_flags::none)) {
                    continue;
                }
                const std::string& reply = m_replies[next++ % m_replies.size()];
                zmq::message_t answer(reply.data(), reply.size());
                m_rep.send(answer, zmq::send_flags::none);
            }
        });
    }
    ~ReplayRep() {
        m_stop = true;
        m_thread.join();
    }
    const std::string& endpoint() const { return m_endpoint; }

private:
    zmq::context_t m_context;
    zmq::socket_t m_rep;
    std::vector<std::string> m_replies;
    std::string m_endpoint;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct Case {
    const char* name;
    std::size_t reads;
    std::size_t samples;
    std::size_t list_size;  // reads per pass_reads call; 1 passes them one by one
};

void run_case(const Case& c, int rounds) {
    test_server::BasecallerOptions options;
    options.polls_before_ready = 0;
    options.max_reads = 100000;
    options.max_samples = 1ull << 40;
    // Every round passes the same reads: the server calls them once and then
    // answers at once, so the client's own work shows.
    options.reuse_calls = true;
    auto basecaller = std::make_shared<test_server::Basecaller>(options);
    auto traffic = std::make_shared<RecordingTraffic>(basecaller);
    test_server::TestServer server("tcp://127.0.0.1:*");
    test_server::ServerRegistration::install(server, test_server::example_setup(), traffic);
    server.start();

    strandlink::Client client(256000, 1000, 10, true, nullptr);
    ipc_tools::ConnectionInfo info;
    info.config = "signal_model_hac";
    info.client_name = "bench";
    client.connect(server.endpoint(), 10000, 30, info);
    if (client.get_connection_state().get_status() != strandlink::ClientStatus::connected) {
        throw std::runtime_error("bench client did not connect");
    }

    // The same reads every round: their tags are free again once the round
    // collected them, and the server calls each read once.
    std::vector<ReadHolder> templates;
    templates.reserve(c.reads);
    for (std::size_t i = 0; i < c.reads; ++i) {
        templates.push_back(make_read(i + 1, c.samples));
    }
    auto copies = [&] {
        ReadList reads;
        for (const ReadHolder& read : templates) {
            reads.push_back(copy_of(read));
        }
        return reads;
    };
    auto client_round = [&] {
        ReadList reads = copies();
        while (!reads.empty()) {
            ReadList list;
            for (std::size_t i = 0; i < c.list_size && !reads.empty(); ++i) {
                list.splice(list.end(), reads, reads.begin());
            }
            const auto result = list.size() == 1 ? client.pass_read(list.front(), 60000)
                                                 : client.pass_reads(list, 60000);
            if (result != strandlink::ClientQueueReadsResult::success) {
                throw std::runtime_error("pass refused");
            }
        }
        ReadList out;
        while (out.size() < c.reads) {
            client.get_completed_reads(out, interfaces::ReadPriority::medium);
            if (out.size() < c.reads) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    };

    // A round to have every read called once, then one recorded: the
    // exchanges the raw arm replays.
    client_round();
    traffic->record(true);
    client_round();
    traffic->record(false);
    std::vector<std::string> requests;
    std::vector<std::string> replies;
    for (auto& [request, reply] : traffic->take_exchanges()) {
        requests.push_back(std::move(request));
        replies.push_back(std::move(reply));
    }
    ReplayRep rep(replies);
    zmq::context_t context(1);
    zmq::socket_t req(context, zmq::socket_type::req);
    req.set(zmq::sockopt::linger, 0);
    req.connect(rep.endpoint());
    // Sends every recorded request on `socket` and waits for each reply.
    auto replay = [&](zmq::socket_t& socket) {
        ReadList dropped = copies();
        for (const std::string& bytes : requests) {
            zmq::message_t request(bytes.data(), bytes.size());
            socket.send(request, zmq::send_flags::none);
            zmq::message_t reply;
            if (!socket.recv(reply, zmq::recv_flags::none)) {
                throw std::runtime_error("no reply");
            }
        }
    };
    auto raw_round = [&] { replay(req); };

    // The recorded requests sent to the test server itself, as the client's
    // connection: the server's own cost on the same traffic.
    zmq::socket_t server_req(context, zmq::socket_type::req);
    server_req.set(zmq::sockopt::linger, 0);
    server_req.connect(server.endpoint());
    auto server_round = [&] { replay(server_req); };

    const std::vector<bench_rounds::Arm> arms = {{"client", client_round, static_cast<double>(c.reads)},
                                                 {"raw", raw_round, static_cast<double>(c.reads)},
                                                 {"server", server_round, static_cast<double>(c.reads)}};
    const auto rates = bench_rounds::run_rounds(arms, rounds, 0.2);
    const double reads_per_s = bench_rounds::median(rates[0]);
    std::printf("%s: %zu reads of %zu samples per round, %zu exchanges on the wire (%d rounds)\n", c.name, c.reads,
                c.samples, requests.size(), rounds);
    std::printf("  client: %.0f reads/s, %.1f Msamples/s\n", reads_per_s, reads_per_s * c.samples / 1e6);
    std::printf("  raw:    %.0f reads/s, %.1f Msamples/s\n", bench_rounds::median(rates[1]),
                bench_rounds::median(rates[1]) * c.samples / 1e6);
    std::printf("  server: %.0f reads/s (the recorded requests against the test server)\n",
                bench_rounds::median(rates[2]));
    std::printf("  client / raw:    %.2f (median of per-round ratios)\n", bench_rounds::median_ratio(rates, 0, 1));
    std::printf("  server / raw:    %.2f\n", bench_rounds::median_ratio(rates, 2, 1));
    std::printf("  client / server: %.2f (the client's own share)\n", bench_rounds::median_ratio(rates, 0, 2));
    client.finish_by(10);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = bench_rounds::take_rounds_argument(argc, argv, 15);
    const std::vector<Case> cases = {
            {"short reads, batched", 512, 4000, 64},
            {"long reads, blocks", 16, 600000, 1},
    };
    for (const Case& c : cases) {
        run_case(c, rounds);
    }
    return 0;
}
