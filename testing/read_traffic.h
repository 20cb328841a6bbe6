#pragma once

// The seam between the test server's registration side (configurations,
// indices, BED files, CONNECT and DISCONNECT, queries, statistics) and its
// read traffic (raw blocks and batches in, called reads out). The
// registration side owns the connections and hands every request of the read
// traffic of a registered client to a ReadTraffic; the read traffic keeps its
// per-client reads and counts.
//
// All calls come from the server's serving thread, one at a time, except
// counts(), which may come from any thread.

#include <cstdint>
#include <string>

#include "ipc_tools/connection_info.h"
#include "testing/test_server.h"

namespace test_server {

// What the registration side knows of one registered client.
struct ClientSetup {
    // The connection id handed out in CONNECTED; every later request of the
    // client carries it.
    std::string client_id;
    // The connection string as parsed by the server: configuration name,
    // client name, options (barcode kits, alignment, moves, ...).
    ipc_tools::ConnectionInfo info;
    // Of the loaded configuration.
    std::string model_version_id;
    bool duplex = false;
    // The alignment file header of the loaded index; "" without alignment.
    std::string alignment_header;
    // Whether a BED file was loaded for this client.
    bool bed_loaded = false;
};

class ReadTraffic {
public:
    struct Counts {
        std::uint64_t reads_in = 0;   // whole reads the server took
        std::uint64_t reads_out = 0;  // called reads handed back
    };

    virtual ~ReadTraffic() = default;

    // Whether requests of `type` are read traffic (raw blocks, batches,
    // called-block pulls, the end of data).
    virtual bool handles(ipc_tools::MessageType type) const = 0;
    // Answers one read-traffic request of a registered client.
    virtual Reply handle(const ClientSetup& client, const Request& request) = 0;

    virtual void client_connected(const ClientSetup& client) = 0;
    // The client disconnected or was forgotten: its reads are dropped.
    virtual void client_disconnected(const std::string& client_id) = 0;
    // A server restart: every client and read is forgotten; lifetime counts stay.
    virtual void reset() = 0;

    virtual Counts counts(const std::string& client_id) const = 0;
    // Totals over the server's lifetime.
    virtual Counts lifetime_counts() const = 0;
};

}  // namespace test_server
