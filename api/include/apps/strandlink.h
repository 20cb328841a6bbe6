#pragma once

// The client of one basecall server with one basecalling configuration:
//
//     apps::Strandlink client("tcp://127.0.0.1:5555", "signal_model_hac", "", true);
//     client.set_params(params);              // optional, while disconnected
//     if (client.connect() != apps::Result::success) { ... }
//     client.pass_read(read, 100);            // any thread
//     client.get_completed_reads(called);     // any thread
//     client.finish(60);
//     client.disconnect();
//
// Outcomes are codes; nothing here throws for server or connection failures.
// Every member may be called from any thread. The lifecycle calls (the
// setters, connect, disconnect and destruction) take turns: one started while
// another runs waits for it, then acts on the status it left (a second
// disconnect returns no_connection). finish checks the status in turn but
// waits outside it, so that a disconnect from another thread ends a finish
// without a time limit. Reads and collection run meanwhile.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "apps/read.h"
#include "apps/result.h"
#include "common/export.h"
#include "data_model/metadata.h"

namespace apps {

class StrandlinkImpl;

// What a connection learned of the server. Filled by the client.
struct ConnectedServerInfo {
    std::string client_uid;        // the connection id the server gave this client
    std::string server_version;
    std::string minimap_version;   // version of the server's aligner
    std::string gpu_device_names;  // joined with "|"
};

// Thread-safe, with one rule: the setters (parameters, priority, callback,
// state-change handler) act only while disconnected, and must not race a
// connect on the same object. pass_read, pass_reads, get_completed_reads and
// the counts may run on several threads at once.
class STRANDLINK_EXPORT Strandlink {
public:
    // Receives (old status, new status, "[<error>] <message>") for every
    // status change, in order, on a thread of the client's own.
    using StateChangeHandler = std::function<void(ConnectionStatus, ConnectionStatus, std::string)>;
    // Runs once on each connection's worker thread as it starts.
    using Callback = void (*)();

    // `address`: the server's ZeroMQ endpoint; `config`: the basecalling
    // configuration; `trace_output_folder`: where trace files go ("" for the
    // default); `warn_bad_reads`: log a warning for every refused read.
    Strandlink(std::string address, std::string config, std::string trace_output_folder, bool warn_bad_reads);
    // Stops the connection's worker, if any.
    ~Strandlink();
    Strandlink(const Strandlink&) = delete;
    Strandlink& operator=(const Strandlink&) = delete;
    Strandlink(Strandlink&&) = delete;
    Strandlink& operator=(Strandlink&&) = delete;

    // Client parameters by name, each of its exact type (a key of another
    // type is ignored): client_name (string), query_timeout (uint32, ms),
    // server_file_load_timeout (uint32, s), pass_read_timeout (uint32, ms),
    // connection_timeout (uint32, ms), reconnect_timeout (uint32, s),
    // max_message_size (uint64, samples), max_reads_queued (uint64),
    // barcode_kits, align_ref, bed_file, minimap_opt_string (string),
    // pair_by_channel (bool), max_server_read_failures (uint64),
    // move_enabled (bool). Every key given, also any other, is kept and
    // offered to the server at connect as a basecalling option.
    // already_connected unless disconnected.
    Result set_params(const kelp::data_wrappers::v2::Metadata& params);
    // Takes effect at the next connect. already_connected unless disconnected.
    Result set_state_change_handler(StateChangeHandler handler);
    Result set_priority(Read::Priority priority);
    Result set_callback_function(Callback callback);

    ConnectionStatus get_status() const;
    // "[<error>] <message>" while in error, else "".
    std::string get_error_message() const;
    // JSON text of the state of the process's clients and their engines.
    std::string get_internal_state() const;

    // Connects with a new engine; blocks until connected or given up. Throws
    // std::runtime_error when a relative align_ref or bed_file path cannot
    // be resolved, before anything changes.
    Result connect();

    // Hands a read in, waiting up to `wait_duration_ms` for queue space (0:
    // the pass_read_timeout parameter). On success the read's contents have
    // gone to the client (its metadata and datasets are empty); otherwise the
    // read is as it was. A read needs dataset raw_data (int16), "read_id"
    // (string), "daq_offset", "daq_scaling", "sampling_rate" (float),
    // "start_time" (uint64), and, with a duplex configuration, "channel"
    // (int32), "mux" (uint32) and "run_id" (string); its tag must be below
    // 2^32 and not held by the client (queued, at the server or completed
    // and not yet collected). Otherwise bad_read.
    PassReadResult pass_read(Read& read, std::uint32_t wait_duration_ms);
    // All of the reads or none: on success the vector is empty; otherwise it
    // holds the reads again. Tags must also differ from each other.
    PassReadResult pass_reads(std::vector<Read>& reads, std::uint32_t wait_duration_ms);
    // Whether pass_read would accept the read's content; the reason in
    // `error_message` (unchanged when valid). Tags are not checked here.
    bool validate_read(const Read& read, std::string& error_message) const;

    std::uint64_t num_completed_reads() const;
    std::uint64_t num_buffered_samples() const;
    // Appends the completed reads, one inner vector per read tag (the pieces
    // of a split read share their tag). `reads` is never cleared. Reads the
    // server returned in one block are filled with their results here, on
    // the calling thread; should that run out of memory (std::bad_alloc),
    // they stay with the client for the next call.
    void get_completed_reads(std::vector<std::vector<Read>>& reads);

    // No more reads will come; the queued ones still go to the server.
    void no_more_data();
    // Ends the data and waits up to `timeout_s` seconds (0: no limit) for
    // every read to come back, then stops the connection.
    Result finish(std::uint64_t timeout_s);
    Result disconnect();

    // Fill their argument; no_connection before the first connect.
    Result get_basecalling_config(kelp::data_wrappers::v2::Metadata& config) const;
    Result get_alignment_sam_header(std::string& header) const;
    Result get_connected_server_info(ConnectedServerInfo& info) const;

    static VersionTag get_data_wrappers_version();
    static VersionTag get_api_version();
    static VersionTag get_software_version();
    static VersionTag get_protocol_version();

private:
    std::unique_ptr<StrandlinkImpl> m_impl;
};

}  // namespace apps
