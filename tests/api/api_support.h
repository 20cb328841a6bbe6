#pragma once

// The test server for public clients, and reads built the way a caller of
// the public interface builds them.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "apps/read.h"
#include "apps/strandlink.h"
#include "tests/strandlink/engine_support.h"

namespace api_support {

using engine_support::HAC;
inline const std::string DUPLEX = "signal_model_sup_duplex";

// The test server, started, on a free loopback port.
struct RunningServer : engine_support::Server {
    explicit RunningServer(test_server::BasecallerOptions options = {}) : engine_support::Server(options) {
        start();
    }
    std::string address() const { return server.endpoint(); }
};

// A read with everything a client asks for, `samples` samples long.
inline apps::Read make_read(std::uint64_t tag, std::size_t samples = 1000) {
    apps::Read read;
    read.set_readholder(traffic_support::make_read(tag, samples));
    read.get_metadata().insert("strand_id", std::string("not-the-read-id"));
    read.get_metadata().remove("duration");
    return read;
}

// The query and connection time-outs of the tests' clients: generous, as
// every step that uses them is expected to succeed on a busy machine too.
// Time-outs under test come from the server's scripted silence instead.
constexpr unsigned int QUERY_TIMEOUT_MS = 10000;

// Parameters with generous time-outs and a short reconnect period, so that a
// connection the test ends does not linger.
inline kelp::data_wrappers::v2::Metadata quick_params() {
    kelp::data_wrappers::v2::Metadata params;
    params.insert("query_timeout", QUERY_TIMEOUT_MS);
    params.insert("connection_timeout", QUERY_TIMEOUT_MS);
    params.insert("reconnect_timeout", static_cast<unsigned int>(1));
    params.insert("client_name", std::string("api_test"));
    return params;
}

// Collects until `count` reads (sub reads included) have come, or 60 s.
inline std::vector<std::vector<apps::Read>> collect(apps::Strandlink& client, std::size_t count) {
    std::vector<std::vector<apps::Read>> groups;
    std::size_t reads = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (reads < count && std::chrono::steady_clock::now() < deadline) {
        const std::size_t before = groups.size();
        client.get_completed_reads(groups);
        for (std::size_t i = before; i < groups.size(); ++i) {
            reads += groups[i].size();
        }
        if (reads < count) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return groups;
}

}  // namespace api_support
