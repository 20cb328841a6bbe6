#include "apps/server_query.h"

#include <stdexcept>
#include <utility>

#include "api/src/result_internal.h"
#include "api/src/server_information.h"
#include "common/trace.h"
#include "data_model/barcode_naming.h"
#include "strandlink/server_proxy.h"

namespace apps::server_query {

// Carries the trace scopes of the queries.
struct Trace {};

struct BarcodeKitDefinition::KitDefinitionImpl {
    std::string kit_name;
    int first_index;
    int last_index;
    bool is_both_ends;
    bool naming_flag;
    // For a kit without a valid number range, the name of every barcode.
    std::string name_pattern;

    std::string get_outer_barcode(int index) const {
        if (index < first_index || index > last_index) {
            throw std::out_of_range("get_outer_barcode index " + std::to_string(index) + " out of range [" +
                                    std::to_string(first_index) + " .. " + std::to_string(last_index) + "]");
        }
        return kelp::util::barcode_naming::generate_normalised_id(name_pattern, index, naming_flag);
    }
};

namespace {

using QueryTrace = common::diagnostics::tracing::TraceDomain<Trace>;

BarcodeKitDefinition create_barcode_kit_definition(const strandlink::server_proxy::BarcodeKit& kit) {
    return BarcodeKitDefinition(kit.kit_name, kit.first_index, kit.last_index, kit.is_both_ends, kit.naming_flag,
                                kit.name_pattern);
}

// The queries' outcome is their code; the text is in the broker's traces.
void drop_error(std::string) {}

// The common frame of the four queries.
Result run_query(const char* name, const std::string& address, std::uint32_t timeout_ms,
                 const std::function<Result()>& operation) {
    auto trace = QueryTrace::create_trace(name);
    trace.message("address: " + address);
    trace.message("timeout: " + std::to_string(timeout_ms));
    return get_result(operation, drop_error);
}

}  // namespace

BarcodeKitDefinition::BarcodeKitDefinition(std::string kit_name, int first_index, int last_index, bool is_both_ends,
                                           bool naming_flag, std::string name_pattern)
        : m_impl(std::make_shared<const KitDefinitionImpl>(KitDefinitionImpl{
                  std::move(kit_name), first_index, last_index, is_both_ends, naming_flag, std::move(name_pattern)})) {}

std::string BarcodeKitDefinition::kit_name() const { return m_impl->kit_name; }

int BarcodeKitDefinition::first_index() const { return m_impl->first_index; }

int BarcodeKitDefinition::last_index() const { return m_impl->last_index; }

bool BarcodeKitDefinition::is_both_ends() const { return m_impl->is_both_ends; }

std::string BarcodeKitDefinition::generate_barcode_name(int index, int) const {
    if (m_impl->first_index < 0 || m_impl->last_index < m_impl->first_index) {
        return m_impl->name_pattern;
    }
    return m_impl->get_outer_barcode(index);
}

Result get_barcode_kits(std::vector<BarcodeKitDefinition>& kits, std::string address, std::uint32_t timeout_ms) {
    return run_query("get_barcode_kits", address, timeout_ms, [&] {
        const auto found = strandlink::server_proxy::get_barcode_kits(address, timeout_ms);
        for (const auto& kit : found) {
            kits.push_back(create_barcode_kit_definition(kit));
        }
        return Result::success;
    });
}

Result get_server_statistics(ServerStatistics& statistics, std::string address, std::uint32_t timeout_ms) {
    return run_query("get_server_statistics", address, timeout_ms, [&] {
        const auto stats = strandlink::server_proxy::get_server_statistics(address, timeout_ms);
        statistics.lifetime_reads_in = stats.lifetime_reads_in;
        statistics.lifetime_reads_out = stats.lifetime_reads_out;
        statistics.period_reads_in = stats.period_reads_in;
        statistics.period_reads_out = stats.period_reads_out;
        for (const auto& client : stats.clients) {
            statistics.clients.push_back(ClientStatistics{client.input_read_count, client.output_read_count});
        }
        return Result::success;
    });
}

Result get_server_information(std::string& information, std::string address, std::uint32_t timeout_ms) {
    return run_query("get_server_information", address, timeout_ms, [&] {
        information =
                server_information_from_state(strandlink::server_proxy::get_server_internal_state(address, timeout_ms));
        return Result::success;
    });
}

Result get_server_internal_state(std::string& state, std::string address, std::uint32_t timeout_ms) {
    return run_query("get_server_internal_state", address, timeout_ms, [&] {
        state = strandlink::server_proxy::get_server_internal_state(address, timeout_ms);
        return Result::success;
    });
}

}  // namespace apps::server_query
