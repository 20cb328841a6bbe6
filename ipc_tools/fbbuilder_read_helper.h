#pragma once

// Writers of one read into tables of the wire schema. They add objects to the
// caller's builder and return the offset of what they built; they never
// finish the buffer. They keep no state and may run on any thread.

#include "ipc_tools/ipc_tools.h"

#include <cstddef>
#include <string>
#include <vector>

namespace interfaces {
struct ReadHolder;
}

namespace ipc_tools {

// One ReadBlockData: `num_samples` samples of the read's raw signal (dataset
// 0, int16) from sample `sample_offset`, as block `block_index` of
// `num_blocks`, with the read's metadata ("read_id", "strand_id", "duration",
// "daq_offset", "daq_scaling", "sampling_rate" required; "start_time",
// "num_sequor_events", "sequencing_kit", "flow_cell_product_code" and the
// duplex keys optional). Tag, sub tag and duration travel as their low 32 bits.
// Everything is read and checked before the builder is touched, so a failure
// leaves the builder usable. Throws:
// - std::out_of_range when dataset 0 or a required key is missing, or when
//   the sample range reaches beyond the samples of dataset 0;
// - std::runtime_error "Invalid array type requested." when dataset 0 does
//   not hold int16 samples.
flatbuffers::Offset<tessel_ipc::ReadBlockData> append_read_block_data(
        flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read,
        std::size_t num_samples, std::size_t block_index, std::size_t num_blocks,
        std::size_t sample_offset);

// The DuplexPairingData of the read, or a null offset (and an untouched
// builder) unless "channel", "mux" and "run_id" all exist.
flatbuffers::Offset<tessel_ipc::DuplexPairingData> append_duplex_metadata(
        flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read);

// The read's barcoding results; absent keys give empty strings and zeros.
flatbuffers::Offset<tessel_ipc::BarcodeArrangementResults> append_barcoding_arrangements(
        flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read);

// One AlignmentResults per row of the read's alignment table (dataset 5), or a
// null offset when the read has none. Row r takes line r of
// "alignment_sam_record" and the next "BedHits" lines of "alignment_bed_lines".
// Throws std::runtime_error "BED hit without a corresponding BED line: " + the
// BED text when the BED text runs out (or holds an empty line) before a row's
// hits are covered.
flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<tessel_ipc::AlignmentResults>>>
append_alignment_results(flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read);

// Bytes a builder needs for one block message of `num_samples` samples of the
// read (with `client_id`), so that the block is written without the builder
// growing (and copying) its buffer.
std::size_t block_message_initial_size(const interfaces::ReadHolder& read, std::size_t num_samples,
                                       const std::string& client_id);

// The block messages of a read whose "duration" is cut into blocks of at most
// `block_size` samples: ceil(duration / block_size) messages in block order,
// none for a duration of 0, each carrying `client_id` (also when empty).
// A message that ZeroMQ refused is UNSET; the caller checks.
// Throws std::out_of_range when "duration" or dataset 0 is missing, or when
// the duration is beyond the samples of dataset 0.
// REQUIRES: block_size > 0.
std::vector<Message> create_read_block_messages(const interfaces::ReadHolder& read,
                                                const std::string& client_id,
                                                std::size_t block_size);

// Throws what create_read_block_messages and create_read_batch_message
// would throw for the read, and builds nothing: a caller can check every read
// of a list before it takes any of them.
void check_read_for_messages(const interfaces::ReadHolder& read);

// One PASS_READ_BATCH message holding each read whole, as block 0 of 1, in
// order. A message that ZeroMQ refused is UNSET; the caller checks.
// Throws as create_read_block_messages for any of the reads.
Message create_read_batch_message(const std::vector<interfaces::ReadHolder>& reads,
                                  const std::string& client_id);
// The same for reads that stay where they are (none may be null): a caller
// can build the message before it takes the reads over.
Message create_read_batch_message(const std::vector<const interfaces::ReadHolder*>& reads,
                                  const std::string& client_id);

}  // namespace ipc_tools
