#pragma once

// The test server's simulated basecaller: the read traffic of a real server.
// It takes raw-signal blocks and read batches, "calls" each complete read
// with expected_call() (called_read.h) and hands the called reads back, in
// called blocks when they are long and in completed batches when several
// short ones are ready. On a script it splits reads into sub reads, loses
// reads, and spoils the replies that carry chosen reads.
//
// What a client sees:
// - PASS_FIRST_RAW_BLOCK / PASS_NEXT_RAW_BLOCK: RAW_BLOCK_ACCEPTED; NOT_READY
//   for a first block when the client's input is full; BAD_REQUEST (with a
//   text) for a block that does not fit the read it belongs to.
// - PASS_READ_BATCH: BATCH_ACCEPTED for the whole batch, NOT_READY when it
//   does not fit, BAD_REQUEST for a malformed batch (nothing is taken then).
// - GET_FIRST_CALLED_BLOCK (value 1: with moves; 0 without; no text):
//   NONE_PENDING 0 when nothing is ready; NONE_PENDING 1 when reads were lost
//   (they are forgotten); RETURN_COMPLETED_BATCH with two or more ready
//   reads; otherwise RETURN_FIRST_CALLED_BLOCK with block 0 of the next ready
//   read. BAD_REQUEST for another value or a text.
// - GET_NEXT_CALLED_BLOCK (value: the read tag; text: the strand id of the
//   read or sub read): the next block of the read being handed back
//   (RETURN_NEXT_CALLED_BLOCK), also for reads of a batch whose block 0 came
//   in the batch, in batch order; BAD_REQUEST when no read is being handed
//   back, or the tag or the strand id is another one.
// - NO_MORE_DATA (no value, no text): SUCCESS; the client's reads are called
//   without waiting for further polls from then on. BAD_REQUEST for a value
//   or a text.
//
// Input capacity: a client may hold at most `max_reads` reads and
// `max_samples` samples in the server (received in part or whole, being
// called, or not yet handed back whole); a read reserves its whole duration
// with its first block. A client that holds nothing gets any read in, however
// long, so that no read can be refused for ever.
//
// A read that is called waits through `polls_before_ready` polls of its
// client before it is ready. Ready reads go back in the order they were
// completed (the pieces of a split read: sub reads first, parent last).
//
// Thread-safe: the serving thread calls the ReadTraffic operations; tests may
// change options and faults and read counts from other threads meanwhile.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "testing/called_blocks.h"
#include "testing/called_read.h"
#include "testing/read_traffic.h"

namespace test_server {

struct BasecallerOptions {
    // Limits of one client's input; 0 for no limit.
    std::size_t max_reads = 100;
    std::uint64_t max_samples = 10000000;
    // Polls of its client a called read waits through before it is ready.
    unsigned polls_before_ready = 0;
    // Bases per called block. REQUIRES: > 0.
    std::size_t called_block_bases = DEFAULT_CALLED_BLOCK_BASES;
    // Most reads in one completed batch; below 2, no batches.
    std::size_t max_batch_reads = 20;
    // Whether reads of several called blocks may go in a batch (block 0 in
    // the batch, the rest through GET_NEXT_CALLED_BLOCK).
    bool batch_long_reads = false;
    // Whether a read received again (same id, sub tag, strand id, times and
    // samples) reuses its earlier call instead of being called anew: a
    // server that answers at once, for benchmarks of the client.
    bool reuse_calls = false;

    // Applies one "name=value" setting, named as the fields above (truth
    // values 0, 1, false, true). Throws std::invalid_argument naming the
    // fault.
    void apply(const std::string& setting);
};

// Which reads a fault rule applies to, by the order in which the server took
// them in whole (1 for the first read of the server's life; the count goes on
// across restarts) or by read id.
struct ReadSelector {
    enum class Kind { every, nth, every_kth, read_id };
    Kind kind = Kind::every;
    std::uint64_t number = 0;  // n for nth, k for every_kth
    std::string read_id;

    bool matches(std::uint64_t ordinal, const std::string& id) const;
};

struct FaultRule {
    enum class Kind {
        split,  // the read comes back as `pieces` reads (split_read)
        lose,   // the client's next poll answers NONE_PENDING 1 and all its reads are forgotten
        spoil,  // the reply (or replies) carrying the read is spoiled
    };
    Kind kind = Kind::spoil;
    unsigned pieces = 2;
    Spoil spoil;
    ReadSelector selector;
};

// Reads a fault rule "FAULT@SELECTOR" (without "@SELECTOR": every read).
// FAULT is one of
//   split:N                  N >= 2 pieces
//   lose
//   missing:FIELD            FIELD as named by WireField ("sequence", ...)
//   missing_later:FIELD
//   duplicate_tag, stride_zero, trimmed_over_duration, duration_zero,
//   probs_mismatch, huge_lengths, foreign_tag, long_genome,
//   batch_without_blocks, garbage
// SELECTOR is "*" (every read), N (the N-th read taken in), %K (every K-th
// read) or id=READ_ID. Throws std::invalid_argument naming the fault.
FaultRule parse_fault_rule(const std::string& text);

class Basecaller : public ReadTraffic {
public:
    explicit Basecaller(BasecallerOptions options = {});
    ~Basecaller() override;

    BasecallerOptions options() const;
    // Takes effect for the next request.
    void set_options(const BasecallerOptions& options);

    // Rules apply to reads taken in from then on, in the order added; of
    // several split or spoil rules matching a read, the last one counts.
    void add_fault(const FaultRule& rule);
    // parse_fault_rule, then add_fault.
    void add_fault(const std::string& rule);
    void clear_faults();

    // Reads taken in whole over the server's life: the ordinal of the last
    // one.
    std::uint64_t reads_taken_in() const;

    // What a registered client gets called: model_version_id of its
    // configuration; modified bases when the configuration name contains
    // "modbases" (modbase model "<model_version_id>_modbases"); barcoding
    // with the first kit of its barcode kits (separated by blanks or commas);
    // barcode trimming with option "enable_trim_barcodes"; alignment against
    // the references of its index header; BED hits when a BED file was loaded;
    // poly tails with option "estimate_poly_a"; moves when its poll asks for
    // them.
    static CallOptions call_options(const ClientSetup& client, bool moves);

    // ReadTraffic.
    bool handles(ipc_tools::MessageType type) const override;
    Reply handle(const ClientSetup& client, const Request& request) override;
    void client_connected(const ClientSetup& client) override;
    void client_disconnected(const std::string& client_id) override;
    void reset() override;
    Counts counts(const std::string& client_id) const override;
    Counts lifetime_counts() const override;

private:
    // expected_call, or an earlier equal call (reuse_calls). REQUIRES:
    // m_mutex held.
    CalledRead call_of(const RawRead& read, const CallOptions& options, bool cacheable);

    struct ClientState;
    struct Piece;

    ClientState& state_of(const std::string& client_id);
    Reply push_first_block(ClientState& state, const tessel_ipc::ReadBlockData& block);
    Reply push_next_block(ClientState& state, const tessel_ipc::ReadBlockData& block);
    Reply push_batch(ClientState& state, const tessel_ipc::ReadBatchData* batch);
    Reply poll(ClientState& state, const ClientSetup& client, bool moves);
    Reply next_block(ClientState& state, std::uint32_t read_tag, const std::string& strand_id);
    bool fits(const ClientState& state, std::size_t reads, std::uint64_t samples) const;
    void take_in(ClientState& state, RawRead read);
    void make_ready(ClientState& state);
    void hand_out(ClientState& state, const Piece& piece, bool counted);
    void forget_reads(ClientState& state);

    mutable std::mutex m_mutex;
    // Earlier calls by read id, with the read they were made of (reuse_calls).
    std::map<std::string, std::pair<RawRead, CalledRead>> m_call_cache;
    BasecallerOptions m_options;
    std::vector<FaultRule> m_faults;
    std::map<std::string, std::unique_ptr<ClientState>> m_clients;
    std::uint64_t m_reads_taken_in = 0;
    Counts m_lifetime;
};

}  // namespace test_server
