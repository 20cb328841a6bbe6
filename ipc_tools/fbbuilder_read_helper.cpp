#include "ipc_tools/fbbuilder_read_helper.h"

#include "common/contract.h"
#include "data_model/interfaces/read_alignment.h"
#include "data_model/interfaces/read_holder.h"
#include "data_model/key_tags.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace ipc_tools {

namespace {

using kelp::data_wrappers::v2::DataTable;
using kelp::data_wrappers::v2::Metadata;

// Room for the tables, vtables, offsets, alignment padding and the builder's
// scratch space of one block message, beyond its samples and strings.
constexpr std::size_t BLOCK_MESSAGE_OVERHEAD = 1024;
// A string costs its length prefix, its NUL and up to 3 bytes of padding.
constexpr std::size_t STRING_OVERHEAD = 8;

template <typename T>
T value_or(const Metadata& metadata, const std::string& key, T fallback) {
    T* value = nullptr;
    return metadata.extract(key, value) ? *value : fallback;
}

std::size_t string_cost(const Metadata& metadata, const char* key) {
    std::string* value = nullptr;
    return metadata.extract(std::string(key), value) ? value->size() + STRING_OVERHEAD : 0;
}

flatbuffers::Offset<flatbuffers::String> create_optional_string(
        flatbuffers::FlatBufferBuilder& builder, const std::string* value) {
    return value ? builder.CreateString(*value) : flatbuffers::Offset<flatbuffers::String>();
}

// The text of a fixed-width cell: up to its first NUL, never past the cell.
std::string cell_text(const char* cell, std::size_t width) {
    const void* end = std::memchr(cell, '\0', width);
    return std::string(cell, end ? static_cast<const char*>(end) - cell : width);
}

// Bytes of the row that belong to `field`: up to the next column or the end
// of the row, whatever the field's declared size says.
std::size_t cell_width(const DataTable& table, const kelp::data_wrappers::v2::Field& field) {
    std::uint64_t end = table.row_size;
    for (const auto& other : table.fields) {
        if (other.offset > field.offset && other.offset < end) {
            end = other.offset;
        }
    }
    return end > field.offset ? static_cast<std::size_t>(end - field.offset) : 0;
}

std::string next_line(std::istringstream& lines) {
    std::string line;
    if (!std::getline(lines, line)) {
        line.clear();
    }
    return line;
}

// The read's "duration", checked against the samples of its raw signal: the
// duration decides how many blocks are cut and how many samples each takes,
// so a duration beyond the signal must fail before any count is derived
// from it.
std::size_t checked_duration(const interfaces::ReadHolder& read) {
    const unsigned long long duration = read.metadata.get<read_data::duration>();
    const std::uint64_t available = read.datasets.at(dataset::raw_data).info.count;
    if (duration > available) {
        throw std::out_of_range("Duration of " + std::to_string(duration) + " samples is beyond the " +
                                std::to_string(available) + " samples of the raw signal of read " +
                                std::to_string(read.read_tag));
    }
    return static_cast<std::size_t>(duration);
}

// The keys of a read's duplex pairing data, all three or none.
struct DuplexKeys {
    const int* channel = nullptr;
    const unsigned int* mux = nullptr;
    const std::string* run_id = nullptr;
};

// Reads the pairing keys once; a key present with another type raises.
DuplexKeys read_duplex_keys(const Metadata& metadata) {
    DuplexKeys keys;
    if (metadata.exists("channel") && metadata.exists("mux") && metadata.exists("run_id")) {
        keys.channel = &metadata.get<read_data::channel>();
        keys.mux = &metadata.get<read_data::mux>();
        keys.run_id = &metadata.get<read_data::run_id>();
    }
    return keys;
}

flatbuffers::Offset<tessel_ipc::DuplexPairingData> create_duplex_pairing(
        flatbuffers::FlatBufferBuilder& builder, const DuplexKeys& keys) {
    if (keys.run_id == nullptr) {
        return 0;
    }
    const auto run_id = builder.CreateString(*keys.run_id);
    return tessel_ipc::CreateDuplexPairingData(builder, *keys.channel, *keys.mux, run_id);
}

flatbuffers::Offset<tessel_ipc::MessageData> create_root(flatbuffers::FlatBufferBuilder& builder,
                                                        const std::string& client_id,
                                                        tessel_ipc::Content content_type,
                                                        flatbuffers::Offset<void> content) {
    const auto client_id_offset = builder.CreateString(client_id);
    return tessel_ipc::CreateMessageData(builder, &current_version(), client_id_offset, content_type,
                                         content);
}

}  // namespace

flatbuffers::Offset<tessel_ipc::ReadBlockData> append_read_block_data(
        flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read,
        std::size_t num_samples, std::size_t block_index, std::size_t num_blocks,
        std::size_t sample_offset) {
    // Read and check everything first: a failure must not leave a half-built
    // vector or table open in the caller's builder.
    const auto& raw = read.datasets.at(dataset::raw_data);
    const std::int16_t* samples = raw.get_array<std::int16_t>();
    const std::uint64_t available = raw.info.count;
    if (sample_offset > available || num_samples > available - sample_offset) {
        throw std::out_of_range("Block of " + std::to_string(num_samples) + " samples at offset " +
                                std::to_string(sample_offset) + " is beyond the " +
                                std::to_string(available) + " samples of the raw signal of read " +
                                std::to_string(read.read_tag));
    }

    const Metadata& metadata = read.metadata;
    const std::string* sequencing_kit =
            metadata.exists("sequencing_kit") ? &metadata.get<read_data::sequencing_kit>() : nullptr;
    const std::string* flow_cell_product_code =
            metadata.exists("flow_cell_product_code")
                    ? &metadata.get<read_data::flow_cell_product_code>()
                    : nullptr;
    const auto duration = static_cast<std::uint32_t>(metadata.get<read_data::duration>());
    const float daq_offset = metadata.get<read_data::daq_offset>();
    const float daq_scaling = metadata.get<read_data::daq_scaling>();
    const std::string& read_id = metadata.get<read_data::read_id>();
    const std::string& strand_id = metadata.get<read_data::strand_id>();
    const auto start_time = value_or<unsigned long long>(metadata, "start_time", 0);
    const auto num_sequor_events = value_or<unsigned long long>(metadata, "num_sequor_events", 0);
    const float sampling_rate = metadata.get<read_data::sampling_rate>();
    // Raises now for keys of another type, before anything is built.
    const DuplexKeys duplex = read_duplex_keys(metadata);

    std::int16_t* block = nullptr;
    const auto raw_data = builder.CreateUninitializedVector<std::int16_t>(num_samples, &block);
    if (num_samples > 0) {
        std::memcpy(block, samples + sample_offset, num_samples * sizeof(std::int16_t));
    }
    const auto sequencing_kit_offset = create_optional_string(builder, sequencing_kit);
    const auto flow_cell_offset = create_optional_string(builder, flow_cell_product_code);
    const auto duplex_pairing = create_duplex_pairing(builder, duplex);
    const auto read_id_offset = builder.CreateString(read_id);
    const auto strand_id_offset = builder.CreateString(strand_id);

    return tessel_ipc::CreateReadBlockData(
            builder,
            block_index == 0 ? tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK
                             : tessel_ipc::ReadBlockType_PASS_NEXT_RAW_BLOCK,
            static_cast<std::uint32_t>(read.read_tag), static_cast<std::uint32_t>(block_index),
            static_cast<std::uint32_t>(num_blocks), duration, daq_offset, daq_scaling, read_id_offset,
            raw_data, 0, static_cast<std::uint32_t>(read.sub_tag), strand_id_offset, start_time,
            num_sequor_events, sampling_rate, duplex_pairing, 0, 0, false, sequencing_kit_offset,
            flow_cell_offset);
}

flatbuffers::Offset<tessel_ipc::DuplexPairingData> append_duplex_metadata(
        flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read) {
    return create_duplex_pairing(builder, read_duplex_keys(read.metadata));
}

flatbuffers::Offset<tessel_ipc::BarcodeArrangementResults> append_barcoding_arrangements(
        flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read) {
    const Metadata& metadata = read.metadata;
    const auto kit = builder.CreateString(value_or<std::string>(metadata, "barcode_kit", ""));
    const auto arrangement =
            builder.CreateString(value_or<std::string>(metadata, "barcode_arrangement", ""));
    const auto variant = builder.CreateString(value_or<std::string>(metadata, "barcode_variant", ""));
    const float score = value_or<float>(metadata, "barcode_score", 0.0f);
    const int trim_front = value_or<int>(metadata, "trim_front", 0);
    const int trim_rear = value_or<int>(metadata, "trim_rear", 0);
    const auto label = builder.CreateString("");
    const auto front = tessel_ipc::CreateBarcodeResults(
            builder, label, value_or<float>(metadata, "barcode_front_score", 0.0f),
            value_or<int>(metadata, "barcode_front_begin_index", 0),
            value_or<int>(metadata, "barcode_front_foundseq_length", 0));
    const auto rear = tessel_ipc::CreateBarcodeResults(
            builder, label, value_or<float>(metadata, "barcode_rear_score", 0.0f),
            value_or<int>(metadata, "barcode_rear_end_index", 0),
            value_or<int>(metadata, "barcode_rear_foundseq_length", 0));
    return tessel_ipc::CreateBarcodeArrangementResults(builder, trim_front, trim_rear, arrangement, kit,
                                                       variant, score, front, rear);
}

flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<tessel_ipc::AlignmentResults>>>
append_alignment_results(flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read) {
    using Helper = interfaces::ReadAlignmentHelper;
    if (!Helper::read_holder_contains_alignment_data(read)) {
        return 0;
    }
    DataTable table = Helper::create_alignment_table_from_read_holder(read);
    const auto& genome_field = table.fields.at(table.field_position("Genome"));
    const std::size_t genome_width = cell_width(table, genome_field);
    auto int_column = [&table](const char* name) { return table.view_field<int>(table.field_position(name)); };
    auto float_column = [&table](const char* name) {
        return table.view_field<float>(table.field_position(name));
    };
    auto flag_column = [&table](const char* name) {
        return table.view_field<unsigned char>(table.field_position(name));
    };
    const auto direction = table.view_field<signed char>(table.field_position("Direction"));
    const auto genome_start = int_column("GenomeStart");
    const auto genome_end = int_column("GenomeEnd");
    const auto strand_start = int_column("StrandStart");
    const auto strand_end = int_column("StrandEnd");
    const auto num_events = int_column("NumEvents");
    const auto num_insertions = int_column("NumInsertions");
    const auto num_deletions = int_column("NumDeletions");
    const auto num_aligned = int_column("NumAligned");
    const auto num_correct = int_column("NumCorrect");
    const auto coverage = float_column("Coverage");
    const auto identity = float_column("Identity");
    const auto accuracy = float_column("Accuracy");
    const auto strand_score = int_column("StrandScore");
    const auto bed_hits = int_column("BedHits");
    const auto mapping_quality = int_column("MappingQuality");
    const auto is_secondary = flag_column("IsSecondary");
    const auto is_supplementary = flag_column("IsSupplementary");

    const std::size_t rows = static_cast<std::size_t>(table.num_rows);
    if (table.data.size() < rows * table.row_size) {
        throw std::out_of_range("Alignment table of " + std::to_string(rows) +
                                " rows holds only " + std::to_string(table.data.size()) + " bytes");
    }

    const std::string bed_text = value_or<std::string>(read.metadata, "alignment_bed_lines", "");
    std::istringstream sam_lines(value_or<std::string>(read.metadata, "alignment_sam_record", ""));
    std::istringstream bed_lines(bed_text);

    std::vector<flatbuffers::Offset<tessel_ipc::AlignmentResults>> results;
    results.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = table.data.data() + r * table.row_size;
        const auto genome = builder.CreateString(cell_text(row + genome_field.offset, genome_width));
        const auto sam_line = builder.CreateString(next_line(sam_lines));
        std::string row_bed_text;
        for (int hit = 0; hit < bed_hits[r]; ++hit) {
            const std::string bed_line = next_line(bed_lines);
            if (bed_line.empty()) {
                throw std::runtime_error("BED hit without a corresponding BED line: " + bed_text);
            }
            if (hit > 0) {
                row_bed_text += '\n';
            }
            row_bed_text += bed_line;
        }
        const auto bed_offset = builder.CreateString(row_bed_text);
        results.push_back(tessel_ipc::CreateAlignmentResults(
                builder, genome, genome_start[r], genome_end[r], strand_start[r], strand_end[r],
                num_events[r], num_insertions[r], num_deletions[r], num_aligned[r], num_correct[r],
                coverage[r], identity[r], accuracy[r], strand_score[r], sam_line, bed_hits[r], bed_offset,
                direction[r], mapping_quality[r], is_secondary[r] != 0, is_supplementary[r] != 0));
    }
    return builder.CreateVector(results);
}

std::size_t block_message_initial_size(const interfaces::ReadHolder& read, std::size_t num_samples,
                                       const std::string& client_id) {
    const Metadata& metadata = read.metadata;
    return BLOCK_MESSAGE_OVERHEAD + num_samples * sizeof(std::int16_t) + client_id.size() +
           STRING_OVERHEAD + string_cost(metadata, "read_id") + string_cost(metadata, "strand_id") +
           string_cost(metadata, "run_id") + string_cost(metadata, "sequencing_kit") +
           string_cost(metadata, "flow_cell_product_code");
}

std::vector<Message> create_read_block_messages(const interfaces::ReadHolder& read,
                                                const std::string& client_id,
                                                std::size_t block_size) {
    CONTRACT_CHECK(block_size > 0, "The block size of a read's messages must be positive");
    const std::size_t duration = checked_duration(read);
    const std::size_t num_blocks = duration / block_size + (duration % block_size != 0 ? 1 : 0);
    std::vector<Message> messages;
    messages.reserve(num_blocks);
    for (std::size_t k = 0; k < num_blocks; ++k) {
        const std::size_t offset = k * block_size;
        const std::size_t samples = std::min<std::size_t>(block_size, duration - offset);
        flatbuffers::FlatBufferBuilder builder(block_message_initial_size(read, samples, client_id));
        const auto block = append_read_block_data(builder, read, samples, k, num_blocks, offset);
        const auto root = create_root(builder, client_id, tessel_ipc::Content_ReadBlockData, block.Union());
        tessel_ipc::FinishMessageDataBuffer(builder, root);
        messages.emplace_back(builder);
    }
    return messages;
}

Message create_read_batch_message(const std::vector<interfaces::ReadHolder>& reads,
                                  const std::string& client_id) {
    std::size_t initial_size = BLOCK_MESSAGE_OVERHEAD + client_id.size() + STRING_OVERHEAD;
    std::vector<std::size_t> durations;
    durations.reserve(reads.size());
    for (const auto& read : reads) {
        durations.push_back(checked_duration(read));
        initial_size += block_message_initial_size(read, durations.back(), "");
    }
    flatbuffers::FlatBufferBuilder builder(initial_size);
    std::vector<flatbuffers::Offset<tessel_ipc::ReadBlockData>> blocks;
    blocks.reserve(reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        blocks.push_back(append_read_block_data(builder, reads[i], durations[i], 0, 1, 0));
    }
    const auto batch = tessel_ipc::CreateReadBatchData(builder, tessel_ipc::ReadBatchType_PASS_READ_BATCH,
                                                       builder.CreateVector(blocks));
    const auto root = create_root(builder, client_id, tessel_ipc::Content_ReadBatchData, batch.Union());
    tessel_ipc::FinishMessageDataBuffer(builder, root);
    return Message(builder);
}

}  // namespace ipc_tools
