#include "python/server_queries.h"

#include <utility>
#include <vector>

#include "apps/server_query.h"
#include "apps/strandlink.h"
#include "python/conversions.h"
#include "python/enum_objects.h"
#include "python/gil.h"

namespace apps {

namespace {

py::tuple version_tuple(const VersionTag& version) {
    return py::make_tuple(version.major, version.minor, version.patch);
}

}  // namespace

py::tuple get_barcode_kits(std::string address, std::uint32_t timeout_ms) {
    std::vector<server_query::BarcodeKitDefinition> kits;
    const Result result = without_gil([&] {
        return server_query::get_barcode_kits(kits, std::move(address), timeout_ms);
    });
    if (result != Result::success) {
        return pair_tuple(py::none(), enum_object(result));
    }
    py::list list;
    for (const auto& kit : kits) {
        py::dict entry;
        entry["kit_name"] = external_text(kit.kit_name());
        entry["first_index"] = py::int_(kit.first_index());
        entry["last_index"] = py::int_(kit.last_index());
        entry["is_both_ends"] = py::bool_(kit.is_both_ends());
        list.append(std::move(entry));
    }
    return pair_tuple(std::move(list), enum_object(result));
}

py::tuple get_server_stats(std::string address, std::uint32_t timeout_ms) {
    server_query::ServerStatistics statistics;
    const Result result = without_gil([&] {
        return server_query::get_server_statistics(statistics, std::move(address), timeout_ms);
    });
    if (result != Result::success) {
        return pair_tuple(py::none(), enum_object(result));
    }
    py::dict dict;
    dict["lifetime_reads_in"] = py::int_(statistics.lifetime_reads_in);
    dict["lifetime_reads_out"] = py::int_(statistics.lifetime_reads_out);
    dict["period_reads_in"] = py::int_(statistics.period_reads_in);
    dict["period_reads_out"] = py::int_(statistics.period_reads_out);
    py::list clients;
    for (const auto& client : statistics.clients) {
        py::dict entry;
        entry["input_read_count"] = py::int_(client.input_read_count);
        entry["output_read_count"] = py::int_(client.output_read_count);
        clients.append(std::move(entry));
    }
    dict["client_statistics"] = std::move(clients);
    return pair_tuple(std::move(dict), enum_object(result));
}

py::tuple get_server_information(std::string address, std::uint32_t timeout_ms) {
    std::string information = "No information available";
    const Result result = without_gil([&] {
        return server_query::get_server_information(information, std::move(address), timeout_ms);
    });
    return pair_tuple(external_text(information), enum_object(result));
}

py::tuple get_server_internal_state(std::string address, std::uint32_t timeout_ms) {
    std::string state;
    const Result result = without_gil([&] {
        return server_query::get_server_internal_state(state, std::move(address), timeout_ms);
    });
    if (result != Result::success) {
        return pair_tuple(py::none(), enum_object(result));
    }
    return pair_tuple(external_text(state), enum_object(result));
}

py::tuple get_software_version() {
    return version_tuple(Strandlink::get_software_version());
}

py::tuple get_protocol_version() {
    return version_tuple(Strandlink::get_protocol_version());
}

}  // namespace apps
