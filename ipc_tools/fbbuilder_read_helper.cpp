#include "ipc_tools/fbbuilder_read_helper.h"

#include "common/contract.h"
#include "ipc_tools/buffer_pool.h"
#include "data_model/interfaces/read_alignment.h"
#include "data_model/interfaces/read_holder.h"
#include "data_model/key_tags.h"

#include <algorithm>
#include <any>
#include <cstdint>
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

// Whether a key of N - 1 characters is `name`, compared a word at a time:
// short fixed-size compares that stay inline instead of a library call per
// entry.
template <std::size_t N>
bool is_key(const std::string& key, const char (&name)[N]) {
    const char* text = key.data();
    std::size_t i = 0;
    for (; i + sizeof(std::uint64_t) <= N - 1; i += sizeof(std::uint64_t)) {
        std::uint64_t a;
        std::uint64_t b;
        std::memcpy(&a, text + i, sizeof a);
        std::memcpy(&b, name + i, sizeof b);
        if (a != b) {
            return false;
        }
    }
    for (; i < N - 1; ++i) {
        if (text[i] != name[i]) {
            return false;
        }
    }
    return true;
}

template <typename T>
const T* value_of(const std::any& value) {
    return std::any_cast<T>(&value);
}

[[noreturn]] void key_not_found(const char* key) {
    throw std::out_of_range(std::string("Key '") + key + "' not found.");
}

template <typename T>
const T& required(const T* value, const char* key) {
    if (value == nullptr) {
        key_not_found(key);
    }
    return *value;
}

// Everything a block of a read takes from the read's metadata, gathered in
// one walk over its entries: building a short read used to cost some two
// dozen look-ups, each making its key text anew, and they were half the time
// of a batch. A pointer is null when its key is absent or holds another
// type; the flags say whether the key exists at all, for the keys whose
// presence with another type is an error.
struct BlockKeys {
    const unsigned long long* duration = nullptr;
    const float* daq_offset = nullptr;
    const float* daq_scaling = nullptr;
    const float* sampling_rate = nullptr;
    const std::string* read_id = nullptr;
    const std::string* strand_id = nullptr;
    const std::string* sequencing_kit = nullptr;
    const std::string* flow_cell_product_code = nullptr;
    const std::string* run_id = nullptr;
    const int* channel = nullptr;
    const unsigned int* mux = nullptr;
    const unsigned long long* start_time = nullptr;
    const unsigned long long* num_sequor_events = nullptr;
    bool has_sequencing_kit = false;
    bool has_flow_cell_product_code = false;
    bool has_channel = false;
    bool has_mux = false;
    bool has_run_id = false;
};

BlockKeys gather_block_keys(const Metadata& metadata) {
    BlockKeys keys;
    metadata.for_each_entry([&keys](const std::string& key, const std::any& value) {
        // The key's length picks the few names it can be.
        switch (key.size()) {
        case 3:
            if (is_key(key, "mux")) {
                keys.has_mux = true;
                keys.mux = value_of<unsigned int>(value);
            }
            break;
        case 6:
            if (is_key(key, "run_id")) {
                keys.has_run_id = true;
                keys.run_id = value_of<std::string>(value);
            }
            break;
        case 7:
            if (is_key(key, "read_id")) {
                keys.read_id = value_of<std::string>(value);
            } else if (is_key(key, "channel")) {
                keys.has_channel = true;
                keys.channel = value_of<int>(value);
            }
            break;
        case 8:
            if (is_key(key, "duration")) {
                keys.duration = value_of<unsigned long long>(value);
            }
            break;
        case 9:
            if (is_key(key, "strand_id")) {
                keys.strand_id = value_of<std::string>(value);
            }
            break;
        case 10:
            if (is_key(key, "daq_offset")) {
                keys.daq_offset = value_of<float>(value);
            } else if (is_key(key, "start_time")) {
                keys.start_time = value_of<unsigned long long>(value);
            }
            break;
        case 11:
            if (is_key(key, "daq_scaling")) {
                keys.daq_scaling = value_of<float>(value);
            }
            break;
        case 13:
            if (is_key(key, "sampling_rate")) {
                keys.sampling_rate = value_of<float>(value);
            }
            break;
        case 14:
            if (is_key(key, "sequencing_kit")) {
                keys.has_sequencing_kit = true;
                keys.sequencing_kit = value_of<std::string>(value);
            }
            break;
        case 17:
            if (is_key(key, "num_sequor_events")) {
                keys.num_sequor_events = value_of<unsigned long long>(value);
            }
            break;
        case 22:
            if (is_key(key, "flow_cell_product_code")) {
                keys.has_flow_cell_product_code = true;
                keys.flow_cell_product_code = value_of<std::string>(value);
            }
            break;
        default:
            break;
        }
    });
    return keys;
}

// What one ReadBlockData is written from: the raw signal and the metadata
// values, all read and checked before the builder is touched, so that a
// failure leaves the builder usable.
struct BlockSource {
    const std::int16_t* samples = nullptr;
    std::uint64_t available = 0;
    const std::string* sequencing_kit = nullptr;
    const std::string* flow_cell_product_code = nullptr;
    std::uint32_t duration = 0;
    float daq_offset = 0;
    float daq_scaling = 0;
    const std::string* read_id = nullptr;
    const std::string* strand_id = nullptr;
    unsigned long long start_time = 0;
    unsigned long long num_sequor_events = 0;
    float sampling_rate = 0;
    // The pairing keys, all three or none.
    const int* channel = nullptr;
    const unsigned int* mux = nullptr;
    const std::string* run_id = nullptr;
};

// Raises, in the order in which the keys used to be read: a present key of
// another type is refused as a missing one.
BlockSource block_source(const interfaces::ReadHolder& read, const BlockKeys& keys, std::size_t num_samples,
                         std::size_t sample_offset) {
    BlockSource source;
    const auto& raw = read.datasets.at(dataset::raw_data);
    source.samples = raw.get_array<std::int16_t>();
    source.available = raw.info.count;
    if (sample_offset > source.available || num_samples > source.available - sample_offset) {
        throw std::out_of_range("Block of " + std::to_string(num_samples) + " samples at offset " +
                                std::to_string(sample_offset) + " is beyond the " +
                                std::to_string(source.available) + " samples of the raw signal of read " +
                                std::to_string(read.read_tag));
    }
    if (keys.has_sequencing_kit) {
        source.sequencing_kit = &required(keys.sequencing_kit, "sequencing_kit");
    }
    if (keys.has_flow_cell_product_code) {
        source.flow_cell_product_code = &required(keys.flow_cell_product_code, "flow_cell_product_code");
    }
    source.duration = static_cast<std::uint32_t>(required(keys.duration, "duration"));
    source.daq_offset = required(keys.daq_offset, "daq_offset");
    source.daq_scaling = required(keys.daq_scaling, "daq_scaling");
    source.read_id = &required(keys.read_id, "read_id");
    source.strand_id = &required(keys.strand_id, "strand_id");
    source.start_time = keys.start_time ? *keys.start_time : 0;
    source.num_sequor_events = keys.num_sequor_events ? *keys.num_sequor_events : 0;
    source.sampling_rate = required(keys.sampling_rate, "sampling_rate");
    if (keys.has_channel && keys.has_mux && keys.has_run_id) {
        source.channel = &required(keys.channel, "channel");
        source.mux = &required(keys.mux, "mux");
        source.run_id = &required(keys.run_id, "run_id");
    }
    return source;
}

// The read's "duration", checked against the samples of its raw signal: the
// duration decides how many blocks are cut and how many samples each takes,
// so a duration beyond the signal must fail before any count is derived
// from it.
std::size_t checked_duration(const interfaces::ReadHolder& read, const BlockKeys& keys) {
    const unsigned long long duration = required(keys.duration, "duration");
    const std::uint64_t available = read.datasets.at(dataset::raw_data).info.count;
    if (duration > available) {
        throw std::out_of_range("Duration of " + std::to_string(duration) + " samples is beyond the " +
                                std::to_string(available) + " samples of the raw signal of read " +
                                std::to_string(read.read_tag));
    }
    return static_cast<std::size_t>(duration);
}

std::size_t string_cost(const std::string* value) {
    return value ? value->size() + STRING_OVERHEAD : 0;
}

std::size_t initial_size(const BlockKeys& keys, std::size_t num_samples, const std::string& client_id) {
    return BLOCK_MESSAGE_OVERHEAD + num_samples * sizeof(std::int16_t) + client_id.size() +
           STRING_OVERHEAD + string_cost(keys.read_id) + string_cost(keys.strand_id) +
           string_cost(keys.run_id) + string_cost(keys.sequencing_kit) +
           string_cost(keys.flow_cell_product_code);
}

flatbuffers::Offset<tessel_ipc::DuplexPairingData> create_duplex_pairing(
        flatbuffers::FlatBufferBuilder& builder, const int* channel, const unsigned int* mux,
        const std::string* run_id) {
    if (run_id == nullptr) {
        return 0;
    }
    const auto run_id_offset = builder.CreateString(*run_id);
    return tessel_ipc::CreateDuplexPairingData(builder, *channel, *mux, run_id_offset);
}

flatbuffers::Offset<tessel_ipc::ReadBlockData> build_block(flatbuffers::FlatBufferBuilder& builder,
                                                          const interfaces::ReadHolder& read,
                                                          const BlockSource& source, std::size_t num_samples,
                                                          std::size_t block_index, std::size_t num_blocks,
                                                          std::size_t sample_offset) {
    std::int16_t* block = nullptr;
    const auto raw_data = builder.CreateUninitializedVector<std::int16_t>(num_samples, &block);
    if (num_samples > 0) {
        std::memcpy(block, source.samples + sample_offset, num_samples * sizeof(std::int16_t));
    }
    const auto sequencing_kit_offset = create_optional_string(builder, source.sequencing_kit);
    const auto flow_cell_offset = create_optional_string(builder, source.flow_cell_product_code);
    const auto duplex_pairing = create_duplex_pairing(builder, source.channel, source.mux, source.run_id);
    const auto read_id_offset = builder.CreateString(*source.read_id);
    const auto strand_id_offset = builder.CreateString(*source.strand_id);

    return tessel_ipc::CreateReadBlockData(
            builder,
            block_index == 0 ? tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK
                             : tessel_ipc::ReadBlockType_PASS_NEXT_RAW_BLOCK,
            static_cast<std::uint32_t>(read.read_tag), static_cast<std::uint32_t>(block_index),
            static_cast<std::uint32_t>(num_blocks), source.duration, source.daq_offset, source.daq_scaling,
            read_id_offset, raw_data, 0, static_cast<std::uint32_t>(read.sub_tag), strand_id_offset,
            source.start_time, source.num_sequor_events, source.sampling_rate, duplex_pairing, 0, 0, false,
            sequencing_kit_offset, flow_cell_offset);
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
    const BlockSource source = block_source(read, gather_block_keys(read.metadata), num_samples, sample_offset);
    return build_block(builder, read, source, num_samples, block_index, num_blocks, sample_offset);
}

flatbuffers::Offset<tessel_ipc::DuplexPairingData> append_duplex_metadata(
        flatbuffers::FlatBufferBuilder& builder, const interfaces::ReadHolder& read) {
    const BlockKeys keys = gather_block_keys(read.metadata);
    if (!(keys.has_channel && keys.has_mux && keys.has_run_id)) {
        return 0;
    }
    // Raises now for keys of another type, before anything is built.
    const int& channel = required(keys.channel, "channel");
    const unsigned int& mux = required(keys.mux, "mux");
    const std::string& run_id = required(keys.run_id, "run_id");
    return create_duplex_pairing(builder, &channel, &mux, &run_id);
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
    return initial_size(gather_block_keys(read.metadata), num_samples, client_id);
}

std::vector<Message> create_read_block_messages(const interfaces::ReadHolder& read,
                                                const std::string& client_id,
                                                std::size_t block_size) {
    CONTRACT_CHECK(block_size > 0, "The block size of a read's messages must be positive");
    const BlockKeys keys = gather_block_keys(read.metadata);
    const std::size_t duration = checked_duration(read, keys);
    const std::size_t num_blocks = duration / block_size + (duration % block_size != 0 ? 1 : 0);
    std::vector<Message> messages;
    messages.reserve(num_blocks);
    for (std::size_t k = 0; k < num_blocks; ++k) {
        const std::size_t offset = k * block_size;
        const std::size_t samples = std::min<std::size_t>(block_size, duration - offset);
        const BlockSource source = block_source(read, keys, samples, offset);
        flatbuffers::FlatBufferBuilder builder = make_pooled_builder(initial_size(keys, samples, client_id));
        const auto block = build_block(builder, read, source, samples, k, num_blocks, offset);
        const auto root = create_root(builder, client_id, tessel_ipc::Content_ReadBlockData, block.Union());
        tessel_ipc::FinishMessageDataBuffer(builder, root);
        messages.emplace_back(builder);
    }
    return messages;
}

void check_read_for_messages(const interfaces::ReadHolder& read) {
    const BlockKeys keys = gather_block_keys(read.metadata);
    block_source(read, keys, checked_duration(read, keys), 0);
}

namespace {

const interfaces::ReadHolder& as_read(const interfaces::ReadHolder& read) { return read; }
const interfaces::ReadHolder& as_read(const interfaces::ReadHolder* read) { return *read; }

template <typename Reads>
Message create_batch_message(const Reads& reads, const std::string& client_id) {
    // Every read is gathered and checked before the builder is made: the
    // sizing and the tables are written from what was gathered.
    struct Gathered {
        std::size_t duration;
        BlockSource source;
    };
    std::vector<Gathered> gathered;
    gathered.reserve(reads.size());
    std::size_t size = BLOCK_MESSAGE_OVERHEAD + client_id.size() + STRING_OVERHEAD;
    static const std::string no_client_id;
    for (const auto& entry : reads) {
        const interfaces::ReadHolder& read = as_read(entry);
        const BlockKeys keys = gather_block_keys(read.metadata);
        const std::size_t duration = checked_duration(read, keys);
        gathered.push_back({duration, block_source(read, keys, duration, 0)});
        size += initial_size(keys, duration, no_client_id);
    }
    flatbuffers::FlatBufferBuilder builder = make_pooled_builder(size);
    std::vector<flatbuffers::Offset<tessel_ipc::ReadBlockData>> blocks;
    blocks.reserve(reads.size());
    for (std::size_t i = 0; i < gathered.size(); ++i) {
        blocks.push_back(build_block(builder, as_read(reads[i]), gathered[i].source, gathered[i].duration, 0, 1, 0));
    }
    const auto batch = tessel_ipc::CreateReadBatchData(builder, tessel_ipc::ReadBatchType_PASS_READ_BATCH,
                                                       builder.CreateVector(blocks));
    const auto root = create_root(builder, client_id, tessel_ipc::Content_ReadBatchData, batch.Union());
    tessel_ipc::FinishMessageDataBuffer(builder, root);
    return Message(builder);
}

}  // namespace

Message create_read_batch_message(const std::vector<interfaces::ReadHolder>& reads,
                                  const std::string& client_id) {
    return create_batch_message(reads, client_id);
}

Message create_read_batch_message(const std::vector<const interfaces::ReadHolder*>& reads,
                                  const std::string& client_id) {
    return create_batch_message(reads, client_id);
}

}  // namespace ipc_tools
