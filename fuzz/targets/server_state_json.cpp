// The server's internal-state text (the reply to QUERY), as the connection
// protocol reads it for the GPU names and the server information, and as the
// public information query reads it. The text is the server's: any bytes,
// any shape of JSON, any depth.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "api/src/server_information.h"

#include "fuzz_support.h"
#include "ipc_tools/connected_info.h"
#include "strandlink/connection_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string state(reinterpret_cast<const char*>(bytes), size);

    ipc_tools::ConnectedInfo info;
    info.gpu_device_names = "stale";
    const strandlink::ErrorState error = strandlink::add_server_state_data(info, state);
    if (error.code == strandlink::ConnectionError::no_error) {
        FUZZ_CHECK(error.message.empty());
        // Sorted, unique names joined by "|": no empty position at either end.
        FUZZ_CHECK(info.gpu_device_names.empty() || (info.gpu_device_names.front() != '|' ||
                                                    info.gpu_device_names.size() > 1));
    } else {
        FUZZ_CHECK(error.code == strandlink::ConnectionError::bad_reply && !error.message.empty());
        FUZZ_CHECK(info.gpu_device_names.empty());
    }

    std::string result = "untouched";
    if (strandlink::parse_info_from_full_server_state(state, result)) {
        // Written back as JSON that reads again. (Not always as the same
        // text: numbers are read to within a unit in the last place.)
        std::string again;
        FUZZ_CHECK(strandlink::parse_info_from_full_server_state(
                "{\"ServerInformation\":" + result + "}", again));
    } else {
        FUZZ_CHECK(result == "untouched");
    }

    // The public query's reader: the same answer, or its one refusal.
    try {
        const std::string information = apps::server_query::server_information_from_state(state);
        FUZZ_CHECK(result != "untouched" && information == result);
    } catch (const std::runtime_error& e) {
        FUZZ_CHECK(result == "untouched" &&
                   std::string(e.what()) == "ServerInformation field not found in internal state json.");
    }
    return 0;
}
