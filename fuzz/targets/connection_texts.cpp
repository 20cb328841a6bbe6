// The key/value texts that cross the connection: the connection string a
// server reads (ConnectionInfo::parse), the CONNECTED text the client reads
// (ConnectedInfo::parse), the grammar under both (get_kvps) and the number
// reader of their values. Every input goes through all of them; what one
// accepts must be written back unchanged by the writers.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "ipc_tools/connected_info.h"
#include "ipc_tools/connection_info.h"
#include "ipc_tools/connection_string.h"

namespace {

using fuzz_support::Sink;
namespace cs = ipc_tools::connection_string;

template <typename T>
void read_number(Sink& sink, const std::string& text) {
    T value{};
    if (cs::parse_value(text, value)) {
        sink.take(value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    Sink sink;

    if (const auto items = cs::get_kvps(text)) {
        // Every item the grammar accepted is one a writer can write, and the
        // written text reads back as the same items.
        std::string written;
        for (const auto& [key, value] : *items) {
            FUZZ_CHECK(!key.empty());
            written += cs::create_kvp(key, value);
        }
        const auto again = cs::get_kvps(written);
        FUZZ_CHECK(again && *again == *items);
    }

    if (const auto info = ipc_tools::ConnectedInfo::parse(text)) {
        FUZZ_CHECK(info->gpu_device_names.empty());
        const auto again = ipc_tools::ConnectedInfo::parse(info->create_message_string());
        FUZZ_CHECK(again && again->client_uid == info->client_uid &&
                   again->server_version == info->server_version &&
                   again->minimap_version == info->minimap_version);
    }

    std::string error;
    if (const auto info = ipc_tools::ConnectionInfo::parse(text, error)) {
        FUZZ_CHECK(error.empty());
        sink.take(info->config);
        sink.take(info->client_name);
        sink.take(info->barcode_kits);
        sink.take(info->align_ref);
        sink.take(info->bed_file);
        sink.take(info->minimap_opt_string);
        sink.take(info->connection_timeout_ms);
        FUZZ_CHECK(info->priority == 2);
    } else {
        FUZZ_CHECK(!error.empty());
    }

    read_number<bool>(sink, text);
    read_number<int>(sink, text);
    read_number<unsigned int>(sink, text);
    read_number<long long>(sink, text);
    read_number<unsigned long long>(sink, text);
    read_number<float>(sink, text);
    read_number<double>(sink, text);
    return 0;
}
