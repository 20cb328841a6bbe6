// Uses the installed public interface the way a caller does: versions,
// result texts, a read filled with the caller's own data-model code and
// checked by a client, a barcode kit definition, and a query with no server.

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "apps/server_query.h"
#include "apps/strandlink.h"

#define CHECK(condition)                                          \
    do {                                                          \
        if (!(condition)) {                                       \
            std::cerr << "check failed: " #condition "\n";        \
            return 1;                                             \
        }                                                         \
    } while (false)

int main() {
    CHECK(apps::Strandlink::get_api_version().text == "9.1.0");
    CHECK(apps::to_string(apps::Result::timed_out) == "timed_out");
    CHECK(apps::to_string(apps::Read::Priority::LOW_PRIORITY) == "LOW_PRIORITY");

    apps::Read read;
    read.set_read_tag(7);
    kelp::data_wrappers::v2::DataSetData raw;
    raw.own(std::vector<std::int16_t>(500, 3));
    read.get_datasets().emplace(dataset::raw_data, std::move(raw));
    read.get_metadata().insert("read_id", std::string("consumer-read"));
    read.get_metadata().insert("daq_offset", 1.0f);
    read.get_metadata().insert("daq_scaling", 1.0f);
    read.get_metadata().insert("sampling_rate", 4000.0f);
    read.get_metadata().insert("start_time", 0ull);
    CHECK(read.get_by_name("read_id") == "consumer-read");

    apps::Strandlink client("tcp://127.0.0.1:9", "signal_model_hac", "", false);
    std::string error = "unchanged";
    CHECK(client.validate_read(read, error));
    CHECK(error == "unchanged");
    CHECK(client.pass_read(read, 0) == apps::PassReadResult::not_accepting_reads);
    CHECK(client.get_status() == apps::ConnectionStatus::disconnected);

    apps::server_query::BarcodeKitDefinition kit("KIT-BC24", 1, 24, true, false, "barcode%02i");
    CHECK(kit.generate_barcode_name(7, 0) == "barcode07");

    std::string state = "unchanged";
    CHECK(apps::server_query::get_server_internal_state(state, "tcp://127.0.0.1:9", 100) ==
          apps::Result::timed_out);
    CHECK(state == "unchanged");
    std::cout << "consumer: " << apps::Strandlink::get_software_version().text << " ok\n";
    return 0;
}
