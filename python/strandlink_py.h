#pragma once

// The object behind a Python Strandlink: 1 to 100 library clients of one
// server and configuration, fed round-robin, whose answers are merged.
//
// Every member needs the interpreter lock on entry; the ones that may block
// on a server release it around the library calls (see each). next_client is
// read and advanced under the interpreter lock. The lifecycle calls
// (set_params, connect, disconnect, deallocation) run one at a time
// per object under its own lock, which is taken only once the interpreter
// lock is released and given up before it is taken back: other Python
// threads may call in while one of them waits on a server. Reads and queries
// need no such turn: the library clients take them concurrently.

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "apps/result.h"
#include "apps/strandlink.h"

namespace apps {

namespace py = pybind11;

class StrandlinkPy {
public:
    // Throws std::runtime_error "Invalid number of worker threads specified."
    // unless 1 <= num_threads <= 100. No connection is made.
    StrandlinkPy(const std::string& address, const std::string& config, int num_threads);
    // Stops every client, last to first, with the interpreter lock released:
    // stopping joins each client's worker.
    ~StrandlinkPy();
    StrandlinkPy(const StrandlinkPy&) = delete;
    StrandlinkPy& operator=(const StrandlinkPy&) = delete;

    // already_connected, changing nothing, unless every client is
    // disconnected; failed for a dict that does not convert (nothing sent);
    // otherwise every client gets the parameters and the priority, and the
    // result is success unless a client refused them (its result then).
    Result set_params(const py::dict& params);
    ConnectionStatus get_status() const;
    // Texts from outside: bytes that are not UTF-8 become replacement
    // characters.
    py::str get_error_message() const;
    py::str get_internal_state() const;
    // Lock released. Connects the clients in order; at the first failure the
    // ones connected before it are disconnected and its result returned.
    Result connect();
    // bad_read for a dict that does not convert; else the next client in
    // turn takes the read (lock released around that call). Throws
    // std::invalid_argument for a negative wait.
    PassReadResult pass_read(const py::dict& read, int wait_duration_ms);
    PassReadResult pass_reads(const py::list& reads, int wait_duration_ms);
    // Lock released while the clients are asked, in order; the reads are
    // converted afterwards (see completed_reads_to_list), after those an
    // earlier call could not convert. Reads that cannot be converted now
    // (for want of memory) are kept for the next call, with those of the
    // clients should asking them fail: no read is lost. An exception comes
    // out only when no read could be converted.
    py::list get_completed_reads();
    // Lock released. Every client is asked; the last failing result wins.
    // Throws std::runtime_error for a negative timeout.
    Result finish(int timeout);
    Result disconnect();
    // (dict, result) and (str, result) of the first client; lock released
    // around the library call.
    py::tuple get_basecalling_config();
    py::tuple get_alignment_sam_header();
    py::str repr() const;

    std::vector<std::unique_ptr<Strandlink>> clients;
    std::uint64_t next_client = 0;

private:
    // The client whose turn it is; advances the turn.
    Strandlink& take_turn();
    // Whether every client is disconnected.
    bool all_disconnected() const;
    // Moves the reads kept by earlier calls into `groups` (empty), oldest
    // first. Throws std::bad_alloc, keeping them, only when several calls
    // kept reads.
    void take_unconverted(std::vector<std::vector<Read>>& groups);

    std::mutex m_lifecycle_mutex;
    // Completed reads a get_completed_reads call took from the clients and
    // could not convert, in batches, oldest first; under the interpreter
    // lock.
    std::list<std::vector<std::vector<Read>>> m_unconverted;
};

}  // namespace apps
