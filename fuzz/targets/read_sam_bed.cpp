// The SAM and BED lines of a completed read whose metadata and datasets hold
// fuzzed values: each key absent, of its own type or of any other of the
// twelve, with fuzzed contents; the sequence, qualities, moves, modified-base
// probabilities and alignment table present or not, of their type or not, of
// matching sizes or not; the server's SAM and BED texts with and without the
// columns a SAM line needs. The extraction may refuse with the errors it
// names (std::runtime_error, std::out_of_range) and must never return a
// broken line.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "data_model/data_set.h"
#include "data_model/data_table.h"
#include "data_model/interfaces/read_alignment.h"
#include "data_model/interfaces/read_holder.h"
#include "fuzz_support.h"

namespace {

using interfaces::ReadAlignmentHelper;
using interfaces::ReadHolder;
using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::DataTable;
using kelp::data_wrappers::v2::Metadata;

enum class Kind { text, boolean, i8, u8, i16, u16, i32, u32, i64, u64, f32, f64 };
constexpr int NUM_KINDS = 12;

// Floats from raw bits, so NaN, infinities and subnormals come up.
template <typename T, typename Bits>
T float_from_bits(FuzzedDataProvider& p) {
    const Bits bits = p.ConsumeIntegral<Bits>();
    T value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

void insert(FuzzedDataProvider& p, Metadata& metadata, const std::string& key, Kind kind) {
    switch (kind) {
        case Kind::text: metadata.insert(key, p.ConsumeRandomLengthString(48)); break;
        case Kind::boolean: metadata.insert(key, p.ConsumeBool()); break;
        case Kind::i8: metadata.insert(key, p.ConsumeIntegral<signed char>()); break;
        case Kind::u8: metadata.insert(key, p.ConsumeIntegral<unsigned char>()); break;
        case Kind::i16: metadata.insert(key, p.ConsumeIntegral<short>()); break;
        case Kind::u16: metadata.insert(key, p.ConsumeIntegral<unsigned short>()); break;
        case Kind::i32: metadata.insert(key, p.ConsumeIntegral<int>()); break;
        case Kind::u32: metadata.insert(key, p.ConsumeIntegral<unsigned int>()); break;
        case Kind::i64: metadata.insert(key, p.ConsumeIntegral<long long>()); break;
        case Kind::u64: metadata.insert(key, p.ConsumeIntegral<unsigned long long>()); break;
        case Kind::f32: metadata.insert(key, float_from_bits<float, std::uint32_t>(p)); break;
        case Kind::f64: metadata.insert(key, float_from_bits<double, std::uint64_t>(p)); break;
    }
}

// Absent, of its own kind (most often), or of any kind.
void maybe_insert(FuzzedDataProvider& p, Metadata& metadata, const std::string& key, Kind own) {
    switch (p.ConsumeIntegralInRange(0, 3)) {
        case 0: break;
        case 3:
            insert(p, metadata, key, static_cast<Kind>(p.ConsumeIntegralInRange(0, NUM_KINDS - 1)));
            break;
        default: insert(p, metadata, key, own); break;
    }
}

// Text built from pieces that matter to the reader of `pieces`, with fuzzed
// bytes between them.
std::string text_of(FuzzedDataProvider& p, const std::vector<std::string>& pieces,
                    std::size_t max_pieces) {
    std::string text;
    const std::size_t count = p.ConsumeIntegralInRange<std::size_t>(0, max_pieces);
    for (std::size_t i = 0; i < count; ++i) {
        if (p.ConsumeBool()) {
            text += pieces[p.ConsumeIntegralInRange<std::size_t>(0, pieces.size() - 1)];
        } else {
            text += p.ConsumeRandomLengthString(8);
        }
    }
    return text;
}

std::string sequence_text(FuzzedDataProvider& p, std::size_t length) {
    static const char BASES[] = "ACGTACGTACGTNU";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += BASES[p.ConsumeIntegralInRange<std::size_t>(0, sizeof(BASES) - 2)];
    }
    return text;
}

// One server SAM line: eleven columns (or some other count), RNAME sometimes
// "*", columns from fuzzed bytes.
std::string server_sam_line(FuzzedDataProvider& p) {
    const int columns = p.ConsumeBool() ? 11 + p.ConsumeIntegralInRange(0, 3)
                                        : p.ConsumeIntegralInRange(0, 12);
    std::string line;
    for (int c = 0; c < columns; ++c) {
        if (c > 0) {
            line += '\t';
        }
        if (c == 2 && p.ConsumeBool()) {
            line += p.ConsumeBool() ? "*" : "chr1";
        } else {
            line += p.ConsumeRandomLengthString(12);
        }
    }
    return line;
}

template <typename T>
DataSetData vector_of(FuzzedDataProvider& p, std::size_t count) {
    std::vector<T> values(count);
    for (auto& value : values) {
        value = p.ConsumeIntegral<T>();
    }
    return DataSetData::take_ownership(std::move(values));
}

// A byte dataset (moves, probabilities): uint8 of the given size or another,
// of another element type, or one whose data pointer is gone.
DataSetData bytes_dataset(FuzzedDataProvider& p, std::size_t wanted) {
    switch (p.ConsumeIntegralInRange(0, 5)) {
        case 0: return vector_of<std::int16_t>(p, wanted);
        case 1: return vector_of<std::uint8_t>(p, p.ConsumeIntegralInRange<std::size_t>(0, 64));
        case 2: {
            auto data = vector_of<std::uint8_t>(p, p.ConsumeIntegralInRange<std::size_t>(1, 8));
            data.data = nullptr;  // a dataset that lost its storage
            return data;
        }
        default: return vector_of<std::uint8_t>(p, wanted);
    }
}

DataTable alignment_table(FuzzedDataProvider& p) {
    const std::size_t rows = p.ConsumeIntegralInRange<std::size_t>(0, 6);
    if (p.ConsumeIntegralInRange(0, 4) == 0) {
        // A table of another layout: fuzzed columns, some with the names the
        // reader looks for.
        static const std::vector<std::string> NAMES{"Genome", "BedHits", "Direction",
                                                    "GenomeStart", "IsSecondary", "Coverage",
                                                    "IsSupplementary", "x"};
        DataTable table;
        const int columns = p.ConsumeIntegralInRange(0, 6);
        for (int c = 0; c < columns; ++c) {
            const auto type = static_cast<DataSetType>(p.ConsumeIntegralInRange(0, 10));
            const std::size_t size = type == DataSetType::fixed_string
                                             ? p.ConsumeIntegralInRange<std::size_t>(1, 300)
                                             : 0;
            table.add_field(NAMES[p.ConsumeIntegralInRange<std::size_t>(0, NAMES.size() - 1)],
                            type, size);
        }
        table.allocate(rows);
        const auto bytes = p.ConsumeBytes<char>(table.data.size());
        std::copy(bytes.begin(), bytes.end(), table.data.begin());
        return table;
    }
    DataTable table = ReadAlignmentHelper::create_alignment_table(rows);
    for (std::size_t row = 0; row < rows; ++row) {
        char* cells = table.data.data() + row * table.row_size;
        // Every byte of the row, padding and the whole "Genome" cell included,
        // may hold anything a producer left there.
        const auto bytes = p.ConsumeBytes<char>(table.row_size);
        std::copy(bytes.begin(), bytes.end(), cells);
        // BedHits small most of the time, so BED lines are really handed out.
        if (p.ConsumeBool()) {
            const std::int32_t hits = p.ConsumeIntegralInRange(-2, 4);
            std::memcpy(cells + 308, &hits, sizeof(hits));
        }
    }
    return table;
}

ReadHolder make_read(FuzzedDataProvider& p) {
    ReadHolder read;
    Metadata& m = read.metadata;
    const Kind text = Kind::text;
    maybe_insert(p, m, "read_id", text);
    maybe_insert(p, m, "strand_id", text);
    maybe_insert(p, m, "duplex_strand_1", text);
    maybe_insert(p, m, "duplex_strand_2", text);
    maybe_insert(p, m, "is_duplex_parent", Kind::boolean);
    maybe_insert(p, m, "mean_qscore", Kind::f32);
    maybe_insert(p, m, "mux", Kind::u32);
    maybe_insert(p, m, "channel", Kind::i32);
    maybe_insert(p, m, "read_number", Kind::u32);
    maybe_insert(p, m, "time_stamp", text);
    maybe_insert(p, m, "filename", text);
    maybe_insert(p, m, "duration", Kind::u64);
    maybe_insert(p, m, "trimmed_samples", Kind::u64);
    maybe_insert(p, m, "scaling_median", Kind::f32);
    maybe_insert(p, m, "scaling_med_abs_dev", Kind::f32);
    maybe_insert(p, m, "scaling_version", text);
    maybe_insert(p, m, "sampling_rate", Kind::f32);
    maybe_insert(p, m, "poly_tail_length", Kind::i32);
    maybe_insert(p, m, "model_stride", Kind::u64);

    // Sequence and qualities, usually of one length.
    const std::size_t length = p.ConsumeIntegralInRange<std::size_t>(0, 40);
    switch (p.ConsumeIntegralInRange(0, 4)) {
        case 0: break;
        case 1: read.datasets[dataset::sequence] = vector_of<std::int16_t>(p, length); break;
        default:
            read.datasets[dataset::sequence] = DataSetData::take_ownership(
                    p.ConsumeBool() ? sequence_text(p, length) : p.ConsumeBytesAsString(length));
            break;
    }
    switch (p.ConsumeIntegralInRange(0, 4)) {
        case 0: break;
        case 1: read.datasets[dataset::qstring] = vector_of<std::uint8_t>(p, length); break;
        case 2:
            read.datasets[dataset::qstring] =
                    DataSetData::take_ownership(p.ConsumeRandomLengthString(48));
            break;
        default:
            read.datasets[dataset::qstring] =
                    DataSetData::take_ownership(p.ConsumeBytesAsString(length));
            break;
    }

    // Modified-base alphabet, context and probabilities of one position per
    // base and channel (or not).
    if (p.ConsumeBool()) {
        static const std::vector<std::string> TOKENS{"A", "C", "G", "T", "m", "h", "a",
                                                     "123", "CG", "mx", " ", "  ", "\t"};
        m.insert("base_mod_alphabet", text_of(p, TOKENS, 8));
    }
    if (p.ConsumeBool()) {
        static const std::vector<std::string> FIELDS{"_", "XG", "X", "CXG", "RXY", ":", "_:",
                                                     "GXC", "XX", "N"};
        m.insert("base_mod_context", text_of(p, FIELDS, 6));
    }
    if (p.ConsumeBool()) {
        const std::size_t channels = p.ConsumeIntegralInRange<std::size_t>(0, 6);
        read.datasets[dataset::base_mod_probs] = bytes_dataset(p, length * channels);
    }
    if (p.ConsumeBool()) {
        read.datasets[dataset::movement] = bytes_dataset(p, p.ConsumeIntegralInRange<std::size_t>(0, 48));
    }

    // The alignment table with the server's SAM and BED texts.
    if (p.ConsumeBool()) {
        read.datasets[dataset::align_results] = DataSetData::take_ownership(alignment_table(p));
    }
    if (p.ConsumeBool()) {
        std::string sam;
        const int lines = p.ConsumeIntegralInRange(0, 4);
        for (int i = 0; i < lines; ++i) {
            sam += server_sam_line(p);
            if (i + 1 < lines || p.ConsumeBool()) {
                sam += '\n';
            }
        }
        m.insert("alignment_sam_record", sam);
    } else {
        maybe_insert(p, m, "alignment_sam_record", text);
    }
    if (p.ConsumeBool()) {
        static const std::vector<std::string> PIECES{"chr1\t10\t20\tgene", "\n", "\n\n", "\t"};
        m.insert("alignment_bed_lines", text_of(p, PIECES, 8));
    } else {
        maybe_insert(p, m, "alignment_bed_lines", text);
    }
    return read;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider p(bytes, size);
    ReadHolder read;
    try {
        read = make_read(p);
    } catch (const std::runtime_error&) {
        return 0;  // a table layout the table itself refuses: not a read
    }
    const auto threshold = p.ConsumeIntegral<unsigned char>();
    const bool include_moves = p.ConsumeBool();
    fuzz_support::Sink sink;

    const bool has_alignment = ReadAlignmentHelper::read_holder_contains_alignment_data(read);
    try {
        const auto lines = ReadAlignmentHelper::extract_alignment_sam_and_bed_lines_from_read_holder(read);
        FUZZ_CHECK(has_alignment || lines.empty());
        for (const auto& line : lines) {
            FUZZ_CHECK(line.sam_line.find('\n') == std::string::npos);
            sink.take(line.sam_line);
        }
    } catch (const std::runtime_error&) {
    } catch (const std::out_of_range&) {
    }

    try {
        const auto lines =
                ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(read, threshold, include_moves);
        FUZZ_CHECK(!lines.empty());
        // Line 0 ends with the read tags, whose last is always the duplex tag.
        const std::string& first = lines[0].sam_line;
        const std::size_t last_tab = first.rfind('\t');
        FUZZ_CHECK(last_tab != std::string::npos && first.compare(last_tab + 1, 5, "dx:i:") == 0);
        for (const auto& line : lines) {
            FUZZ_CHECK(line.sam_line.find('\n') == std::string::npos);
            sink.take(line.sam_line);
            for (const auto& bed : line.bed_lines) {
                FUZZ_CHECK(bed.find('\n') == std::string::npos);
                sink.take(bed);
            }
        }
    } catch (const std::runtime_error&) {
    } catch (const std::out_of_range&) {
    }

    try {
        ReadAlignmentHelper::copy_alignment_results_to_metadata(read);
    } catch (const std::runtime_error&) {
    } catch (const std::out_of_range&) {
    }
    return 0;
}
