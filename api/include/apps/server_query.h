#pragma once

// One-shot questions to a basecall server, without a client: its barcode
// kits, read statistics, general information and internal state. Each opens
// a connection of its own; calls on different threads are independent.
// Outcomes are codes; on failure the output argument is left as it was.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "apps/result.h"
#include "common/export.h"

namespace apps::server_query {

// One barcode kit. Immutable; copies share one definition.
class STRANDLINK_EXPORT BarcodeKitDefinition {
public:
    struct KitDefinitionImpl;

    BarcodeKitDefinition(std::string kit_name, int first_index, int last_index, bool is_both_ends,
                         bool naming_flag, std::string name_pattern);

    std::string kit_name() const;
    int first_index() const;
    int last_index() const;
    bool is_both_ends() const;

    // The name of barcode `index` ("barcode07"). A kit without a valid number
    // range names every barcode by its pattern. Throws std::out_of_range for
    // an index outside the range and std::runtime_error for a bad pattern.
    // The second argument is not used.
    std::string generate_barcode_name(int index, int unused = 0) const;

private:
    std::shared_ptr<const KitDefinitionImpl> m_impl;
};

struct ClientStatistics {
    std::uint32_t input_read_count = 0;
    std::uint32_t output_read_count = 0;
};

// The server's counters, as it reports them.
struct ServerStatistics {
    std::uint64_t lifetime_reads_in = 0;
    std::uint64_t lifetime_reads_out = 0;
    std::uint64_t period_reads_in = 0;
    std::uint64_t period_reads_out = 0;
    std::vector<ClientStatistics> clients;
};

// Appends the server's kits to `kits`.
STRANDLINK_EXPORT Result get_barcode_kits(std::vector<BarcodeKitDefinition>& kits, std::string address,
                                          std::uint32_t timeout_ms);
// Overwrites the four counters and appends the clients' counts.
STRANDLINK_EXPORT Result get_server_statistics(ServerStatistics& statistics, std::string address,
                                               std::uint32_t timeout_ms);
// The "ServerInformation" part of the internal state, as compact JSON;
// failed when the state has none.
STRANDLINK_EXPORT Result get_server_information(std::string& information, std::string address,
                                                std::uint32_t timeout_ms);
// The server's whole internal state text.
STRANDLINK_EXPORT Result get_server_internal_state(std::string& state, std::string address,
                                                   std::uint32_t timeout_ms);

}  // namespace apps::server_query
