#pragma once

// The server information that get_server_information hands out, read from
// the server's internal-state text with the engine's reader: iterative and
// depth-limited, so no reply can exhaust the stack. Inside the library only.

#include <stdexcept>
#include <string>

#include "strandlink/connection_protocol.h"

namespace apps::server_query {

// The "ServerInformation" member of the state text as compact JSON. Throws
// std::runtime_error "ServerInformation field not found in internal state
// json." for text that is not a JSON object, nests too deeply, lacks the
// member or cannot be written back whole.
inline std::string server_information_from_state(const std::string& state) {
    std::string information;
    if (!strandlink::parse_info_from_full_server_state(state, information)) {
        throw std::runtime_error("ServerInformation field not found in internal state json.");
    }
    return information;
}

}  // namespace apps::server_query
