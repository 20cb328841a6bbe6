#pragma once

// The called reads of the simulated basecaller on the wire: a CalledRead cut
// into ReadBlockData blocks (RETURN_FIRST_CALLED_BLOCK, then
// RETURN_NEXT_CALLED_BLOCK for the rest), whole reads gathered into a
// RETURN_COMPLETED_BATCH, and the ways a faulty server spoils them. Also the
// inverse, joining received blocks back into a CalledRead, for tests that
// read the server's replies without a client.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "ipc_tools/ipc_tools.h"
#include "testing/called_read.h"
#include "testing/test_server.h"

namespace test_server {

// A called read is cut into blocks of this many bases, unless the server is
// told otherwise.
constexpr std::size_t DEFAULT_CALLED_BLOCK_BASES = 4000;

// Wire data that the client reads without being told it is there; a spoiled
// reply leaves one of them out.
enum class WireField {
    strand_id,                 // of the block
    called_data,               // of the block
    sequence,                  // of called_data
    qstring,                   // of called_data
    basecall_type,             // of called_data (first block)
    model_version_id,          // of called_data (first block)
    modbase_model_version_id,  // of called_data (first block)
    base_mod_alphabet,         // of base_mod (first block)
    base_mod_long_names,       // of base_mod (first block)
    base_mod_context,          // of base_mod (first block)
    base_mod_probs,            // of base_mod
    barcode_kit,               // of barcoding (first block)
    barcode_arrangement,       // of barcoding (first block)
    barcode_variant,           // of barcoding (first block)
    barcode_front,             // of barcoding (first block)
    barcode_rear,              // of barcoding (first block)
    genome,                    // of every alignment (first block)
    sam_record,                // of every alignment (first block)
    bed_lines,                 // of every alignment (first block)
};

// "strand_id", "called_data", ... as in the enumeration; absent for other
// texts.
std::optional<WireField> wire_field_from_string(const std::string& name);
std::string to_string(WireField field);

// How the reply carrying a read is spoiled.
enum class Malformation {
    none,
    // The read's block twice in one completed batch: the same read tag and
    // sub tag. The read travels whole, in one block.
    duplicate_tag,
    // The field is left out of every block that would carry it.
    missing_field,
    // The field is left out of the blocks after the first only (of those
    // that carry it: strand_id, called_data, sequence, qstring,
    // base_mod_probs); a read of one block is untouched.
    missing_field_later,
    stride_zero,            // model_stride 0
    trimmed_over_duration,  // trimmed_samples = duration + 1
    duration_zero,          // duration 0 in every block
    // The last block's probabilities lack their last byte, so the joined
    // probabilities are one short of sequence length x channels.
    probs_mismatch,
    // sequence_length and moves_length of 2^31 - 1: reservations that the
    // reply's own data cannot fill.
    huge_lengths,
    foreign_tag,  // a read tag the client never sent (top bit flipped)
    long_genome,  // the first alignment's Genome is 253 characters long
    // A RETURN_COMPLETED_BATCH without its blocks vector instead of the
    // read's reply.
    batch_without_blocks,
    // A frame with the protocol's identifier that fails verification instead
    // of the read's reply.
    garbage,
};

struct Spoil {
    Malformation kind = Malformation::none;
    WireField field = WireField::strand_id;  // for missing_field(_later)
};

// The options under which a spoiled read is called: a spoil that needs
// modified bases, barcoding or alignment to show turns it on (kit
// "spoiled_kit", reference "ref" of 1,000,000 bases when the client had none).
CallOptions options_for_spoil(CallOptions options, const Spoil& spoil);

// The bytes a garbage reply carries: 16 bytes with "0021" at bytes 4-7 and a
// root offset beyond the frame.
std::string garbage_frame();

// Number of blocks the call takes at `bases_per_block` bases each: at least 1.
// REQUIRES: bases_per_block > 0.
std::size_t num_called_blocks(const CalledRead& call, std::size_t bases_per_block);

// Block `block_index` of `num_blocks` of the call: bases
// [block_index x bases_per_block, +bases_per_block) with their quality
// characters, the moves from the move of the block's first base up to the
// move of the next block's first base (all moves from 0 for block 0, to the
// end for the last), and the probability rows of those bases. Block 0 carries
// every other result of the call (moves_length is num_moves, also when no
// moves are sent; sequence_length the whole sequence's); later blocks only these pieces, the tags,
// the strand id, block index and count and the duration.
flatbuffers::Offset<tessel_ipc::ReadBlockData> append_called_block(
        flatbuffers::FlatBufferBuilder& builder, const CalledRead& call, std::size_t block_index,
        std::size_t num_blocks, std::size_t bases_per_block, const Spoil& spoil = {});

// RETURN_FIRST_CALLED_BLOCK (block 0) or RETURN_NEXT_CALLED_BLOCK (later
// blocks) with that block. A garbage or batch_without_blocks spoil makes the
// reply it stands for instead.
Reply called_block_reply(const CalledRead& call, std::size_t block_index, std::size_t num_blocks,
                         std::size_t bases_per_block, const Spoil& spoil = {});

// One read of a completed batch: its call, its number of blocks (the batch
// holds block 0 of it) and its spoil.
struct BatchEntry {
    const CalledRead* call = nullptr;
    std::size_t num_blocks = 1;
    Spoil spoil;
};

// RETURN_COMPLETED_BATCH with block 0 of every entry, in order. A
// duplicate_tag entry appears twice in a row; a batch_without_blocks or
// garbage spoil of any entry spoils the whole batch.
Reply completed_batch_reply(const std::vector<BatchEntry>& entries, std::size_t bases_per_block);

// The call as a client would join it from the blocks of one read, first
// block first: the first block's results, the sequences, quality strings,
// moves and probabilities of all blocks joined. Absent data reads as empty
// or 0. num_moves is the number of moves joined.
CalledRead join_called_blocks(const std::vector<const tessel_ipc::ReadBlockData*>& blocks);

}  // namespace test_server
