#pragma once

// The registration parameters of one client and the connection string that
// carries them to the server with CONNECT.

#include "data_model/metadata.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ipc_tools {

struct ConnectionInfo {
    // Name of the basecalling configuration the server loads.
    std::string config;
    std::string client_name;
    std::string barcode_kits;
    // Path of the alignment reference.
    std::string align_ref;
    // Options for the aligner.
    std::string minimap_opt_string;
    // Path of the BED file.
    std::string bed_file;
    // The client's priority; travels in the CONNECT request's value, not in
    // the connection string.
    int priority = 2;
    // Client options by name, each of the type client_options registers for it.
    kelp::data_wrappers::v2::Metadata options;
    std::uint32_t connection_timeout_ms = 0;

    // The connection string: config, ":", then the time-out, the client name
    // and every registered option that `options` holds, in registration order.
    // First replaces align_ref and bed_file by their canonical paths (which
    // stay replaced even when a later step throws).
    // Throws std::runtime_error when a path cannot be made canonical, when an
    // option cannot be written as text, or when a written value holds '>' (it
    // would inject items into what the server reads).
    std::string build_connection_string();

    // Reads a connection string. Absent, with `error` set, when the options
    // part breaks the grammar or a value does not read whole as its type. A
    // text without an options part gives only `config` and leaves `error`
    // untouched.
    static std::optional<ConnectionInfo> parse(const std::string& text, std::string& error);
};

}  // namespace ipc_tools
