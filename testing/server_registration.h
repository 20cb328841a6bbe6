#pragma once

// The registration side of the test server: what a basecall server keeps
// about its configurations, alignment indices, BED files, barcode kits and
// registered clients, and how it answers LOAD_CONFIG, GET_CONFIGS,
// LOAD_INDEX, GET_INDICES, LOAD_BED, CONNECT, DISCONNECT, QUERY,
// GET_BARCODE_KITS and GET_STATISTICS from that state. Requests of the read
// traffic go to a ReadTraffic when one is attached; a client the server does
// not know gets CLIENT_NOT_RECOGNISED, as from the real server, and a request
// that carries a value or a text its type does not take gets BAD_REQUEST.
//
//     test_server::TestServer server;
//     auto registration = test_server::ServerRegistration::install(
//             server, test_server::example_setup(), traffic);
//     server.start();

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "testing/read_traffic.h"
#include "testing/test_server.h"

namespace test_server {

// loading_polls value of a load that never completes.
constexpr int LOADS_FOREVER = -1;

struct ConfigurationEntry {
    std::string name;
    std::string model_version_id;
    bool duplex = false;
    // LOAD_CONFIG requests answered LOADING before the load completes;
    // LOADS_FOREVER: always LOADING.
    int loading_polls = 0;
};

struct IndexEntry {
    // Absolute path under which the server finds the reference.
    std::string path;
    // The alignment file header (SAM header lines) of the reference.
    std::string header;
    int loading_polls = 0;
};

struct BedFileEntry {
    std::string path;  // absolute
    int loading_polls = 0;
};

struct BarcodeKitEntry {
    std::string kit_name;
    bool is_both_ends = false;
    bool naming_flag = false;
    std::int32_t first_index = 0;
    std::int32_t last_index = 0;
    std::string name_pattern;
};

// Everything the server has on its disk and tells about itself.
struct ServerSetup {
    std::vector<ConfigurationEntry> configurations;
    std::vector<IndexEntry> indices;
    std::vector<BedFileEntry> bed_files;
    std::vector<BarcodeKitEntry> barcode_kits;
    // Names of the GPU devices in the internal state, in device order.
    std::vector<std::string> gpu_names;
    std::string server_version = "7.4.0+test";
    std::string minimap_version = "2.28-r1209";
};

// A small server: two configurations (one duplex), one index, one BED file,
// two barcode kits and two GPUs.
ServerSetup example_setup();

// Entries from the text of the standalone program's options, items separated
// by ',' (throws std::invalid_argument naming the fault):
//   configuration:  NAME[,model=ID][,duplex][,loading=N|forever]
//   index:          PATH[,loading=N|forever][,header=TEXT]  (header last: it
//                   takes the rest of the text; "\t" and "\n" are tab and
//                   line break)
//   BED file:       PATH[,loading=N|forever]
//   barcode kit:    NAME[,first=N][,last=N][,both_ends][,naming][,pattern=P]
ConfigurationEntry parse_configuration(const std::string& text);
IndexEntry parse_index(const std::string& text);
BedFileEntry parse_bed_file(const std::string& text);
BarcodeKitEntry parse_barcode_kit(const std::string& text);

// Why the aligner refuses an option text, or nothing when it takes it.
// Options are separated by blanks: -k N, -w N, -I SIZE, -N N, -p FRAC,
// -r N, -x PRESET, -Y, -y, -L, --eqx, --secondary=yes|no.
std::optional<std::string> aligner_options_fault(const std::string& options);

// The server's registration state; lives as long as a handler of its server
// holds it. Thread-safe: handlers run on the serving thread, the queries
// below on any thread.
class ServerRegistration : public ServerState, public std::enable_shared_from_this<ServerRegistration> {
public:
    // Makes the registration and installs its handlers and state on `server`
    // (replacing the handlers of those request types and the default
    // handler). `traffic` may be null: read traffic then gets the default
    // answer.
    static std::shared_ptr<ServerRegistration> install(TestServer& server, ServerSetup setup,
                                                       std::shared_ptr<ReadTraffic> traffic = nullptr);

    // The registered clients, in the order they connected.
    std::vector<ClientSetup> clients() const;
    bool config_loaded(const std::string& name) const;
    // Whether the index at `path` was loaded with exactly `options`.
    bool index_loaded(const std::string& path, const std::string& options = "") const;
    bool bed_file_loaded(const std::string& path) const;
    // Restarts so far (the rule "restart").
    std::size_t restarts() const;

    void forget_client(const std::string& client_id) override;
    void restart() override;

    // Use install().
    ServerRegistration(ServerSetup setup, std::shared_ptr<ReadTraffic> traffic);

private:
    // Each answers one request of its type.
    Reply load_config(const Request& request);
    Reply get_configs(const Request& request);
    Reply load_index(const Request& request);
    Reply get_indices(const Request& request);
    Reply load_bed(const Request& request);
    Reply connect(const Request& request);
    Reply disconnect(const Request& request);
    Reply query(const Request& request);
    Reply get_barcode_kits(const Request& request);
    Reply get_statistics(const Request& request);
    // Any other type: read traffic of a registered client, or the default.
    Reply other(const Request& request);

    // Progress of the loads of one kind, by key.
    template <class Key>
    struct Loads {
        std::map<Key, int> polls;  // LOADING answers given so far
        std::set<Key> loaded;
    };
    using IndexKey = std::pair<std::string, std::string>;  // path, aligner options

    // The members below REQUIRE m_mutex held.
    // True when the load of `key` completes with this request.
    template <class Key>
    static bool advance(Loads<Key>& loads, const Key& key, int loading_polls);
    const ClientSetup* find_client(const std::string& client_id) const;
    void drop_client(const std::string& client_id);
    std::string internal_state() const;

    mutable std::mutex m_mutex;
    const ServerSetup m_setup;
    const std::shared_ptr<ReadTraffic> m_traffic;
    Loads<std::string> m_config_loads;
    Loads<IndexKey> m_index_loads;
    Loads<std::string> m_bed_loads;
    std::vector<ClientSetup> m_clients;
    // Never reset, so that an id from before a restart is never handed out
    // again.
    std::uint64_t m_next_client_number = 1;
    std::size_t m_restarts = 0;
    // Lifetime counts at the start of the current statistics period.
    ReadTraffic::Counts m_period_start;
};

}  // namespace test_server
