#pragma once

// What a connection learned of the server from its CONNECTED reply (and, for
// the GPU names, from its internal state).

#include <optional>
#include <string>

namespace ipc_tools {

struct ConnectedInfo {
    std::string server_version;
    std::string minimap_version;
    // The server's GPU device names joined with "|"; not part of the reply text.
    std::string gpu_device_names;
    // The connection id that every later request of this client carries.
    std::string client_uid;

    // The CONNECTED text: client_uid, server_version and minimap_version as
    // key/value items, in this order. Throws std::runtime_error when a value
    // holds '>', which the grammar cannot carry.
    std::string create_message_string() const;

    // Reads a CONNECTED text. Absent when it breaks the grammar or lacks one of
    // the three keys; further keys are ignored. gpu_device_names stays empty.
    static std::optional<ConnectedInfo> parse(const std::string& text);
};

}  // namespace ipc_tools
