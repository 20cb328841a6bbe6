#include "data_model/interfaces/read_alignment.h"

#include <algorithm>
#include <cstring>
#include <locale>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/path.hpp>

#include "data_model/key_tags.h"
#include "data_model/sam_tags.h"

namespace interfaces {

namespace bam_file_tags {
const std::string QSCORE_TAG = "qs:f:";
const std::string MUX_TAG = "mx:i:";
const std::string CHANNEL_TAG = "ch:i:";
const std::string READ_NUMBER_TAG = "rn:i:";
const std::string READ_START_TIME_TAG = "st:Z:";
const std::string QUILL_FILE_TAG = "yk:Z:";
const std::string NUM_SAMPLES_TAG = "ns:i:";
const std::string TRIMMED_SAMPLES_TAG = "ts:i:";
const std::string SCALING_MEDIAN_TAG = "sm:f:";
const std::string SCALING_DISPERSION_TAG = "sd:f:";
const std::string SCALING_VERSION_TAG = "sv:Z:";
const std::string DUPLEX_TAG = "dx:i:";
const std::string PARENT_READ_TAG = "pi:Z:";
const std::string DURATION_SECONDS_TAG = "du:f:";
const std::string POLY_TAIL_LENGTH_TAG = "pt:i:";
}  // namespace bam_file_tags

namespace {

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::DataTable;
using kelp::data_wrappers::v2::Metadata;
using kelp::data_wrappers::v2::VecView;

struct ColumnSpec {
    const char* name;
    DataSetType type;
    size_t size;
};

const ColumnSpec ALIGNMENT_COLUMNS[] = {
    {"Genome", DataSetType::fixed_string, 253},
    {"Direction", DataSetType::int8, 0},
    {"GenomeStart", DataSetType::int32, 0},
    {"GenomeEnd", DataSetType::int32, 0},
    {"StrandStart", DataSetType::int32, 0},
    {"StrandEnd", DataSetType::int32, 0},
    {"NumEvents", DataSetType::int32, 0},
    {"NumInsertions", DataSetType::int32, 0},
    {"NumDeletions", DataSetType::int32, 0},
    {"NumAligned", DataSetType::int32, 0},
    {"NumCorrect", DataSetType::int32, 0},
    {"Coverage", DataSetType::float32, 0},
    {"Identity", DataSetType::float32, 0},
    {"Accuracy", DataSetType::float32, 0},
    {"StrandScore", DataSetType::int32, 0},
    {"BedHits", DataSetType::int32, 0},
    {"MappingQuality", DataSetType::int32, 0},
    {"IsSecondary", DataSetType::uint8, 0},
    {"IsSupplementary", DataSetType::uint8, 0},
};

template <typename T>
T element(const VecView<T>& view, size_t i) {
    return view.data[static_cast<std::ptrdiff_t>(i) * static_cast<std::ptrdiff_t>(view.stride)];
}

template <typename T>
VecView<T> column(DataTable& table, const std::string& name) {
    return table.template view_field<T>(table.field_index.at(name));
}

// Text of the "Genome" cell of `row`, ending at the first NUL but never
// reaching past the cell, whatever the bytes hold.
std::string genome_name(const DataTable& table, size_t row) {
    const auto& field = table.fields.at(table.field_index.at("Genome"));
    size_t cell = field.type == DataSetType::fixed_string ? field.size + 1 : field.size;
    if (field.offset >= table.row_size) {
        return std::string();
    }
    cell = std::min(cell, table.row_size - field.offset);
    const char* start = table.data.data() + row * table.row_size + field.offset;
    const void* nul = std::memchr(start, '\0', cell);
    const size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - start) : cell;
    return std::string(start, length);
}

// The metadata string under `key`, or "" when it is missing or not a string.
std::string string_or_empty(const Metadata& metadata, const std::string& key) {
    std::string* value = nullptr;
    return metadata.extract(key, value) ? *value : std::string();
}

// The next line of `text` from `pos` (without its "\n"); "" once exhausted.
std::string next_line(const std::string& text, size_t& pos) {
    if (pos >= text.size()) {
        return std::string();
    }
    const size_t end = text.find('\n', pos);
    std::string line =
        text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? text.size() : end + 1;
    return line;
}

// Text written into a SAM line must not break its columns or its line.
void check_sam_text(const std::string& text, const std::string& what) {
    if (text.find_first_of("\t\n\r") != std::string::npos) {
        throw std::runtime_error("Cannot write " + what +
                                 " into a SAM line: it contains a tab or line break: '" + text +
                                 "'");
    }
}

const std::string& read_sequence(const ReadHolder& read) {
    const auto it = read.datasets.find(dataset::sequence);
    if (it == read.datasets.end()) {
        throw std::runtime_error("Read " + read.metadata.get<read_data::read_id>() +
                                 " does not contain a sequence! Cannot generate SAM line.");
    }
    return it->second.get_string();
}

// A flat uint8 view of a whole dataset; throws for another element type or a
// null pointer with a non-zero count.
VecView<unsigned char> flat_byte_view(const DataSetData& data) {
    // The tag builders take views of mutable bytes but only read them.
    auto* bytes = const_cast<unsigned char*>(data.get_array<unsigned char>());
    VecView<unsigned char> view;
    view.view(bytes, data.info.count, 1);
    return view;
}

std::string read_tag_block(const Metadata& metadata) {
    namespace tags = bam_file_tags;
    std::ostringstream block;
    block.imbue(std::locale::classic());
    const auto tag = [&block](const std::string& prefix, const auto& value) {
        block << prefix << value << '\t';
    };
    if (metadata.exists(basecall_data::mean_qscore::key)) {
        tag(tags::QSCORE_TAG, metadata.get<basecall_data::mean_qscore>());
    }
    if (metadata.exists(read_data::mux::key)) {
        tag(tags::MUX_TAG, metadata.get<read_data::mux>());
    }
    if (metadata.exists(read_data::channel::key)) {
        tag(tags::CHANNEL_TAG, metadata.get<read_data::channel>());
    }
    if (metadata.exists(read_data::read_number::key)) {
        tag(tags::READ_NUMBER_TAG, metadata.get<read_data::read_number>());
    }
    if (metadata.exists(read_data::time_stamp::key)) {
        const std::string& time_stamp = metadata.get<read_data::time_stamp>();
        check_sam_text(time_stamp, "time_stamp");
        tag(tags::READ_START_TIME_TAG, time_stamp);
    }
    const std::string filename = string_or_empty(metadata, read_data::filename::key);
    if (!filename.empty()) {
        const std::string file_part = boost::filesystem::path(filename).filename().string();
        check_sam_text(file_part, "filename");
        tag(tags::QUILL_FILE_TAG, file_part);
    }
    if (metadata.exists(read_data::duration::key)) {
        tag(tags::NUM_SAMPLES_TAG, metadata.get<read_data::duration>());
    }
    if (metadata.exists(read_data::trimmed_samples::key)) {
        tag(tags::TRIMMED_SAMPLES_TAG, metadata.get<read_data::trimmed_samples>());
    }
    if (metadata.exists(basecall_data::scaling_median::key) &&
        metadata.exists(basecall_data::scaling_med_abs_dev::key)) {
        const float median = metadata.get<basecall_data::scaling_median>();
        const float dispersion = metadata.get<basecall_data::scaling_med_abs_dev>();
        std::string* version = nullptr;
        const std::string scaling_version =
            metadata.extract("scaling_version", version) ? *version : std::string("med_mad");
        check_sam_text(scaling_version, "scaling_version");
        tag(tags::SCALING_MEDIAN_TAG, median);
        tag(tags::SCALING_DISPERSION_TAG, dispersion);
        tag(tags::SCALING_VERSION_TAG, scaling_version);
    }
    if (metadata.exists(read_data::duration::key) &&
        metadata.exists(read_data::sampling_rate::key)) {
        const float duration = static_cast<float>(metadata.get<read_data::duration>());
        tag(tags::DURATION_SECONDS_TAG, duration / metadata.get<read_data::sampling_rate>());
    }
    int* poly_tail_length = nullptr;
    if (metadata.extract("poly_tail_length", poly_tail_length) && *poly_tail_length >= 0) {
        tag(tags::POLY_TAIL_LENGTH_TAG, *poly_tail_length);
    }
    const std::string read_id = string_or_empty(metadata, read_data::read_id::key);
    if (string_or_empty(metadata, read_data::strand_id::key) != read_id) {
        check_sam_text(read_id, "read_id");
        tag(tags::PARENT_READ_TAG, read_id);
    }
    int duplex = 0;
    bool* is_duplex_parent = nullptr;
    if (!string_or_empty(metadata, read_data::duplex_strand_1::key).empty()) {
        duplex = 1;
    } else if (metadata.extract("is_duplex_parent", is_duplex_parent) && *is_duplex_parent) {
        duplex = -1;
    }
    block << tags::DUPLEX_TAG << duplex;
    return block.str();
}

// QNAME of an unmapped read: the strand id, or "<strand 1>;<strand 2>" for a
// duplex read. A read that names only its first duplex strand keeps its own
// strand id rather than failing.
std::string unmapped_read_name(const Metadata& metadata) {
    if (metadata.exists(read_data::duplex_strand_1::key) &&
        metadata.exists(read_data::duplex_strand_2::key)) {
        return metadata.get<read_data::duplex_strand_1>() + ";" +
               metadata.get<read_data::duplex_strand_2>();
    }
    return metadata.get<read_data::strand_id>();
}

// True when the line has the 11 mandatory SAM fields (at least 10 tabs).
bool has_mandatory_fields(const std::string& line) {
    size_t tabs = 0;
    for (char c : line) {
        tabs += c == '\t';
    }
    return tabs >= 10;
}

// True when RNAME, the third field, is "*". REQUIRES: has_mandatory_fields(line).
bool is_unmapped_line(const std::string& line) {
    const size_t first = line.find('\t');
    const size_t second = line.find('\t', first + 1);
    const size_t third = line.find('\t', second + 1);
    return line.compare(second + 1, third - second - 1, "*") == 0;
}

}  // namespace

DataTable ReadAlignmentHelper::create_alignment_table(size_t num_rows) {
    DataTable table;
    for (const auto& column : ALIGNMENT_COLUMNS) {
        table.add_field(column.name, column.type, column.size);
    }
    table.allocate(num_rows);
    return table;
}

bool ReadAlignmentHelper::read_holder_contains_alignment_data(const ReadHolder& read) {
    return read.datasets.count(dataset::align_results) != 0;
}

DataTable ReadAlignmentHelper::create_alignment_table_from_read_holder(const ReadHolder& read) {
    const auto it = read.datasets.find(dataset::align_results);
    if (it == read.datasets.end()) {
        throw std::runtime_error("Could not find align results in read holder");
    }
    const DataSetData& results = it->second;
    DataTable table;
    for (const auto& field : results.info.fields) {
        table.add_field(field.name, field.type, field.size);
    }
    table.allocate(results.info.count);
    // The rows are copied with the row size that the field list gives; the
    // dataset must describe rows of exactly that size, or the copy would read
    // past its storage.
    const size_t bytes = table.row_size * table.num_rows;
    if (bytes > 0) {
        if (results.info.element_size != table.row_size || results.data == nullptr) {
            throw std::runtime_error(
                "Align results dataset does not match its field list: row size " +
                std::to_string(results.info.element_size) + " vs " +
                std::to_string(table.row_size));
        }
        std::memcpy(table.data.data(), results.data, bytes);
    }
    return table;
}

void ReadAlignmentHelper::copy_alignment_results_to_metadata(ReadHolder& read) {
    DataTable table = create_alignment_table_from_read_holder(read);
    if (table.num_rows == 0) {
        return;
    }
    // Every column is looked up before the first key is written, so a table
    // that lacks one leaves the metadata as it was.
    const auto direction = column<signed char>(table, "Direction");
    const std::string genome = genome_name(table, 0);
    const char* const int_columns[] = {"GenomeStart", "GenomeEnd",     "StrandStart",
                                       "StrandEnd",   "NumEvents",     "NumInsertions",
                                       "NumDeletions", "NumAligned",   "NumCorrect"};
    const char* const int_keys[] = {"alignment_genome_start",   "alignment_genome_end",
                                    "alignment_strand_start",   "alignment_strand_end",
                                    "alignment_num_events",     "alignment_num_insertions",
                                    "alignment_num_deletions",  "alignment_num_aligned",
                                    "alignment_num_correct"};
    std::vector<int> int_values;
    for (const char* name : int_columns) {
        int_values.push_back(element(column<int>(table, name), 0));
    }
    const float coverage = element(column<float>(table, "Coverage"), 0);
    const float identity = element(column<float>(table, "Identity"), 0);
    const float accuracy = element(column<float>(table, "Accuracy"), 0);
    const int score = element(column<int>(table, "StrandScore"), 0);
    const int mapping_quality = element(column<int>(table, "MappingQuality"), 0);
    const int bed_hits = element(column<int>(table, "BedHits"), 0);
    const auto genome_start = column<int>(table, "GenomeStart");
    const auto secondary = column<unsigned char>(table, "IsSecondary");
    const auto supplementary = column<unsigned char>(table, "IsSupplementary");
    int num_alignments = 0;
    int num_secondary = 0;
    int num_supplementary = 0;
    for (size_t row = 0; row < table.num_rows; ++row) {
        num_alignments += element(genome_start, row) != 0;
        num_secondary += element(secondary, row) != 0;
        num_supplementary += element(supplementary, row) != 0;
    }

    Metadata& metadata = read.metadata;
    metadata.insert("alignment_genome", genome);
    metadata.insert("alignment_direction",
                    std::string(1, static_cast<char>(element(direction, 0))));
    for (size_t i = 0; i < int_values.size(); ++i) {
        metadata.insert<int>(int_keys[i], int_values[i]);
    }
    metadata.insert<float>("alignment_coverage", coverage);
    metadata.insert<float>("alignment_identity", identity);
    metadata.insert<float>("alignment_accuracy", accuracy);
    metadata.insert<int>("alignment_score", score);
    metadata.insert<int>("alignment_mapping_quality", mapping_quality);
    metadata.insert<int>("alignment_bed_hits", bed_hits);
    metadata.insert<int>("alignment_num_alignments", num_alignments);
    metadata.insert<int>("alignment_num_secondary_alignments", num_secondary);
    metadata.insert<int>("alignment_num_supplementary_alignments", num_supplementary);
}

std::vector<ReadAlignmentHelper::AlignmentSamLine>
ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(const ReadHolder& read) {
    std::vector<AlignmentSamLine> lines;
    if (!read_holder_contains_alignment_data(read)) {
        return lines;
    }
    DataTable table = create_alignment_table_from_read_holder(read);
    const auto bed_hits = column<int>(table, "BedHits");
    const std::string sam_text = string_or_empty(read.metadata, "alignment_sam_record");
    const std::string bed_text = string_or_empty(read.metadata, "alignment_bed_lines");
    size_t sam_pos = 0;
    size_t bed_pos = 0;
    for (size_t row = 0; row < table.num_rows; ++row) {
        AlignmentSamLine line;
        line.sam_line = next_line(sam_text, sam_pos);
        // The hit count comes from the server; it is trusted only as far as
        // the BED text has lines, so a huge count cannot make up lines without end.
        for (int hit = 0; hit < element(bed_hits, row) && bed_pos < bed_text.size(); ++hit) {
            line.bed_lines.push_back(next_line(bed_text, bed_pos));
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<ReadAlignmentHelper::AlignmentSamLine>
ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(const ReadHolder& read,
                                                                unsigned char threshold,
                                                                bool include_moves) {
    std::vector<AlignmentSamLine> lines = extract_alignment_sam_and_bed_lines_from_read_holder(read);
    if (!lines.empty()) {
        if (!has_mandatory_fields(lines[0].sam_line)) {
            throw std::runtime_error("Malformed alignment SAM line: \n" + lines[0].sam_line);
        }
        if (is_unmapped_line(lines[0].sam_line)) {
            lines.clear();
        }
    }
    const Metadata& metadata = read.metadata;
    if (lines.empty()) {
        const std::string read_name = unmapped_read_name(metadata);
        check_sam_text(read_name, "read name");
        const std::string& sequence = read_sequence(read);
        const auto qstring = read.datasets.find(dataset::qstring);
        if (qstring == read.datasets.end()) {
            throw std::runtime_error("Read " + metadata.get<read_data::read_id>() +
                                     " does not contain a qstring! Cannot generate SAM line.");
        }
        const std::string& qualities = qstring->second.get_string();
        // Both come from the server: a tab or line break in them would add
        // columns or lines to the file.
        check_sam_text(sequence, "sequence");
        check_sam_text(qualities, "quality string");
        AlignmentSamLine line;
        std::string error;
        if (!kelp::bam::util::make_unmapped_sam_line(line.sam_line, read_name, sequence,
                                                     qualities, error)) {
            throw std::runtime_error("make_unmapped_sam_line failed: " + error);
        }
        lines.push_back(std::move(line));
    }
    std::string& first_line = lines[0].sam_line;

    const auto probabilities = read.datasets.find(dataset::base_mod_probs);
    if (probabilities != read.datasets.end()) {
        const auto view = flat_byte_view(probabilities->second);
        std::string tags;
        std::string error;
        if (!kelp::bam::util::generate_modbase_string(
                tags, read_sequence(read), string_or_empty(metadata, "base_mod_alphabet"),
                string_or_empty(metadata, "base_mod_context"), view, threshold, error)) {
            throw std::runtime_error("generate_modbase_string failed: " + error);
        }
        first_line += '\t';
        first_line += tags;
    }

    if (include_moves) {
        const auto moves = read.datasets.find(dataset::movement);
        if (moves != read.datasets.end()) {
            const auto view = flat_byte_view(moves->second);
            const auto stride = static_cast<signed char>(
                static_cast<unsigned char>(metadata.get<basecall_data::model_stride>() & 0xFF));
            std::string move_table;
            std::string error;
            if (kelp::bam::util::generate_move_table_string(move_table, view, stride, error)) {
                first_line += '\t';
                first_line += move_table;
            }
        }
    }

    first_line += '\t';
    first_line += read_tag_block(metadata);
    return lines;
}

}  // namespace interfaces
