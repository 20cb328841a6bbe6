#pragma once

// One-shot queries of a basecall server that need no registration: its
// barcode kits, its read statistics and its internal-state text. Each call
// opens a connection of its own, sends one request and closes it again; no
// state is kept between calls, so calls on different threads are
// independent.

#include <cstdint>
#include <string>
#include <vector>

#include "ipc_tools/ipc_tools.h"

namespace strandlink::server_proxy {

// Tag whose trace domain carries the queries' trace scopes.
struct Trace {};

struct BarcodeKit {
    std::string kit_name;
    std::int32_t first_index = 0;
    std::int32_t last_index = 0;
    bool is_both_ends = false;
    bool naming_flag = false;
    std::string name_pattern;
};

struct ClientStats {
    std::uint32_t input_read_count = 0;
    std::uint32_t output_read_count = 0;
};

struct ServerStats {
    std::uint64_t lifetime_reads_in = 0;
    std::uint64_t lifetime_reads_out = 0;
    std::uint64_t period_reads_in = 0;
    std::uint64_t period_reads_out = 0;
    std::vector<ClientStats> clients;
};

// The queries return their record or throw: ipc_tools::TimeoutError,
// BadRequest, BadReply, InvalidResponse (a reply of another type), ZeroMQ or
// system errors. `timeout_ms` is the broker's poll time-out.
std::vector<BarcodeKit> get_barcode_kits(std::string address, std::uint32_t timeout_ms);
ServerStats get_server_statistics(std::string address, std::uint32_t timeout_ms);
std::string get_server_internal_state(std::string address, std::uint32_t timeout_ms);

// The kits of a RETURN_CONFIGS reply, in its order; none when it lists none.
std::vector<BarcodeKit> extract_barcoding_arrangements(ipc_tools::Message& reply);
// Absent fields read as 0, false or "".
BarcodeKit create_barcode_kit(const tessel_ipc::BarcodeKitDefinition& definition);
ServerStats get_stats_from_message(const tessel_ipc::ServerStats& stats);

}  // namespace strandlink::server_proxy
