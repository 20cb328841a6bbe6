#pragma once

// Result codes, connection states and read hand-over results of the exported
// client interface, with their fixed texts, and the version record. The
// numbers are part of the interface: callers store and compare them, and the
// Python module registers the same values.

#include <cstdint>
#include <iosfwd>
#include <string>

#include "common/export.h"

namespace apps {

// The result of every public operation that can fail without throwing.
enum class Result : std::int32_t {
    success = 0,
    no_connection = 1,      // the client has no connection (or never had one)
    already_connected = 2,  // the client is not disconnected: refused
    not_ready = 3,          // finishing ended before all reads were done; disconnected
    timed_out = 4,          // the server did not answer in time (or none was found)
    invalid_response = 5,   // the server answered with a reply of the wrong type
    basecall_config_unavailable = 6,
    barcode_kit_unavailable = 7,
    align_index_unavailable = 8,
    bed_file_unavailable = 9,
    file_load_timeout = 10,  // the server did not finish loading a file in time
    failed = 11,             // any other failure, also a client in the error state
    bad_request = 12,        // the server rejected the request
    bad_reply = 13,          // the client rejected the server's reply
    invalid_aligner_options = 14,
};

// The state of a client's connection.
enum class ConnectionStatus : std::int32_t {
    disconnected = 0,
    preparing_connection = 1,
    loading_config = 2,
    loading_alignment_index = 3,
    loading_bed_file = 4,
    connecting = 5,
    connected = 6,
    error = 7,
};

// The result of handing reads to a client.
enum class PassReadResult : std::int32_t {
    success = 0,              // the read, or every read of the batch, was queued
    not_accepting_reads = 1,  // no connection, not accepting reads, or in error
    queue_full = 2,           // the input queue stayed full for the whole wait
    bad_read = 3,             // a read is malformed (see the text); nothing was queued
};

// A version: three numbers and their text. Returned by value; callers read
// the fields directly.
struct VersionTag {
    // text is "major.minor.patch" in decimal.
    VersionTag(int major_number, int minor_number, int patch_number)
            : major(major_number),
              minor(minor_number),
              patch(patch_number),
              text(std::to_string(major_number) + "." + std::to_string(minor_number) + "." +
                   std::to_string(patch_number)) {}

    int major;
    int minor;
    int patch;
    std::string text;
};

// The name of the value ("success", "timed_out", ...). A value outside the
// enumeration throws std::runtime_error "unrecognised Result value".
STRANDLINK_EXPORT std::string to_string(Result result);
STRANDLINK_EXPORT std::ostream& operator<<(std::ostream& out, Result result);

// The name of the value; outside the enumeration std::runtime_error
// "unrecognised connection status".
STRANDLINK_EXPORT std::string to_string(ConnectionStatus status);
STRANDLINK_EXPORT std::ostream& operator<<(std::ostream& out, ConnectionStatus status);

// The name of the value; outside the enumeration std::runtime_error
// "unrecognised PassReadResult".
STRANDLINK_EXPORT std::string to_string(PassReadResult result);
STRANDLINK_EXPORT std::ostream& operator<<(std::ostream& out, PassReadResult result);

}  // namespace apps
