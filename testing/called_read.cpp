#include "testing/called_read.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "data_model/interfaces/read_holder.h"
#include "data_model/key_tags.h"

namespace test_server {

namespace {

constexpr std::uint64_t FNV_OFFSET = 0xcbf29ce484222325ULL;
constexpr std::uint64_t FNV_PRIME = 0x100000001b3ULL;

void fnv_byte(std::uint64_t& hash, std::uint8_t byte) {
    hash ^= byte;
    hash *= FNV_PRIME;
}

std::uint64_t fnv_text(const std::string& text, std::uint64_t hash = FNV_OFFSET) {
    for (char c : text) {
        fnv_byte(hash, static_cast<std::uint8_t>(c));
    }
    return hash;
}

std::uint64_t seed_of(const RawRead& read) {
    std::uint64_t hash = fnv_text(read.read_id);
    fnv_byte(hash, 0);
    for (int shift = 0; shift < 32; shift += 8) {
        fnv_byte(hash, static_cast<std::uint8_t>(read.sub_tag >> shift));
    }
    for (std::int16_t sample : read.samples) {
        const auto bits = static_cast<std::uint16_t>(sample);
        fnv_byte(hash, static_cast<std::uint8_t>(bits & 0xFF));
        fnv_byte(hash, static_cast<std::uint8_t>(bits >> 8));
    }
    return hash;
}

// The parts of a call draw from streams of their own, so that switching one
// option on does not change what another part draws.
enum class Section : std::uint64_t { bases = 1, modified_bases = 2, barcoding = 3, alignment = 4, poly_tail = 5 };

class Stream {
public:
    Stream(std::uint64_t seed, Section section)
            : m_state(seed + static_cast<std::uint64_t>(section) * 0x9e3779b97f4a7c15ULL) {}

    // splitmix64.
    std::uint64_t next() {
        std::uint64_t z = (m_state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

private:
    std::uint64_t m_state;
};

float lower_median(std::vector<float> values) {
    if (values.empty()) {
        return 0.0f;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

char complement(char base) {
    switch (base) {
        case 'A': return 'T';
        case 'C': return 'G';
        case 'G': return 'C';
        case 'T': return 'A';
        default: return 'N';
    }
}

std::string cigar(std::uint32_t aligned, std::uint32_t length, bool reverse) {
    const std::string match = std::to_string(aligned) + "M";
    if (aligned >= length) {
        return match;
    }
    const std::string clip = std::to_string(length - aligned) + "S";
    return reverse ? clip + match : match + clip;
}

BarcodeCall make_barcode(std::uint64_t seed, const CallOptions& options, std::size_t length) {
    Stream draws(seed, Section::barcoding);
    const bool classified = draws.next() % 8 != 0;
    const std::uint64_t number = 1 + draws.next() % 24;
    const std::uint64_t front = draws.next();
    const std::uint64_t rear = draws.next();

    BarcodeCall call;
    call.kit = options.barcode_kit;
    call.variant = BARCODE_VARIANT;
    if (!classified) {
        call.arrangement = "unclassified";
        return call;
    }
    char name[16];
    std::snprintf(name, sizeof(name), "barcode%02u", static_cast<unsigned>(number));
    call.arrangement = name;
    call.front_score = static_cast<float>(50 + front % 50);
    call.front_begin_index = static_cast<std::int32_t>((front >> 8) % 40);
    call.front_foundseq_length = 24;
    call.rear_score = static_cast<float>(50 + rear % 50);
    const auto rear_offset = static_cast<std::int64_t>((rear >> 8) % 40);
    call.rear_end_index =
            static_cast<std::int32_t>(std::max<std::int64_t>(0, static_cast<std::int64_t>(length) - 1 - rear_offset));
    call.rear_foundseq_length = 24;
    call.score = std::min(call.front_score, call.rear_score);
    if (options.trim_barcodes) {
        call.trim_front = call.front_begin_index + call.front_foundseq_length;
        call.trim_rear = static_cast<std::int32_t>(rear_offset) + call.rear_foundseq_length;
    }
    return call;
}

AlignmentCall unmapped_alignment(const RawRead& read, const CalledRead& call) {
    AlignmentCall row;
    row.genome = "*";
    row.genome_start = row.genome_end = row.strand_start = row.strand_end = -1;
    row.direction = '*';
    row.sam_record = read.strand_id + "\t4\t*\t0\t0\t*\t*\t0\t0\t" + call.sequence + "\t" + call.qstring;
    return row;
}

AlignmentCall mapped_alignment(Stream& draws, const RawRead& read, const CalledRead& call,
                               const std::vector<Reference>& references, bool secondary) {
    const auto length = static_cast<std::uint32_t>(call.sequence.size());
    const Reference& reference = references[draws.next() % references.size()];
    const bool reverse = (draws.next() & 1) != 0;
    const std::uint32_t aligned = std::min(length, reference.length);
    const std::uint64_t start_draw = draws.next();
    const std::uint32_t start =
            reference.length > aligned
                    ? static_cast<std::uint32_t>(start_draw % (reference.length - aligned + 1))
                    : 0;
    const auto mismatches = static_cast<std::uint32_t>(draws.next() % (aligned / 20 + 1));
    const std::uint64_t quality_draw = draws.next();

    AlignmentCall row;
    row.genome = reference.name;
    row.genome_start = static_cast<std::int32_t>(start);
    row.genome_end = static_cast<std::int32_t>(start + aligned);
    row.strand_start = 0;
    row.strand_end = static_cast<std::int32_t>(aligned);
    row.num_events = static_cast<std::int32_t>(call.num_moves);
    row.num_aligned = static_cast<std::int32_t>(aligned);
    row.num_correct = static_cast<std::int32_t>(aligned - mismatches);
    row.coverage = length > 0 ? static_cast<float>(aligned) / static_cast<float>(length) : 0.0f;
    row.identity = aligned > 0 ? static_cast<float>(row.num_correct) / static_cast<float>(aligned) : 0.0f;
    row.accuracy = row.identity;
    row.strand_score = 2 * row.num_correct - 4 * static_cast<std::int32_t>(mismatches);
    row.direction = reverse ? '-' : '+';
    row.mapping_quality = secondary ? 0 : static_cast<std::int32_t>(30 + quality_draw % 31);
    row.is_secondary = secondary;

    std::string sequence = "*";
    std::string qualities = "*";
    if (!secondary) {
        sequence = call.sequence;
        qualities = call.qstring;
        if (reverse) {
            std::reverse(sequence.begin(), sequence.end());
            std::transform(sequence.begin(), sequence.end(), sequence.begin(), complement);
            std::reverse(qualities.begin(), qualities.end());
        }
    }
    const unsigned flag = (reverse ? 16u : 0u) | (secondary ? 256u : 0u);
    std::ostringstream sam;
    sam << read.strand_id << '\t' << flag << '\t' << reference.name << '\t' << start + 1 << '\t'
        << row.mapping_quality << '\t' << cigar(aligned, length, reverse) << "\t*\t0\t0\t" << sequence
        << '\t' << qualities << "\tNM:i:" << mismatches << "\tAS:i:" << row.strand_score;
    row.sam_record = sam.str();
    return row;
}

void add_bed_hits(Stream& draws, AlignmentCall& row) {
    const auto hits = static_cast<std::int32_t>(draws.next() % 3);
    const auto start = static_cast<std::uint64_t>(row.genome_start);
    const auto span = static_cast<std::uint64_t>(row.genome_end - row.genome_start);
    for (std::int32_t hit = 0; hit < hits; ++hit) {
        const std::uint64_t d = draws.next();
        const std::uint64_t begin = start + (span > 0 ? d % span : 0);
        const std::uint64_t end = begin + 1 + (span > 0 ? (d >> 32) % (start + span - begin) : 0);
        if (hit > 0) {
            row.bed_lines += '\n';
        }
        row.bed_lines += row.genome + "\t" + std::to_string(begin) + "\t" + std::to_string(end) +
                         "\tfeature_" + std::to_string((d >> 16) % 1000) + "\t0\t" +
                         static_cast<char>(row.direction);
    }
    row.bed_hits = hits;
}

std::vector<AlignmentCall> make_alignments(std::uint64_t seed, const RawRead& read,
                                           const CalledRead& call, const CallOptions& options) {
    Stream draws(seed, Section::alignment);
    if (draws.next() % 8 == 0) {
        return {unmapped_alignment(read, call)};
    }
    std::vector<AlignmentCall> rows;
    rows.push_back(mapped_alignment(draws, read, call, options.references, false));
    if (draws.next() % 4 == 0) {
        rows.push_back(mapped_alignment(draws, read, call, options.references, true));
    }
    if (options.bed) {
        for (auto& row : rows) {
            add_bed_hits(draws, row);
        }
    }
    return rows;
}

template <typename T>
T value_or(const kelp::data_wrappers::v2::Metadata& metadata, const std::string& key, T fallback) {
    T* value = nullptr;
    return metadata.extract(key, value) ? *value : fallback;
}

}  // namespace

std::vector<Reference> references_from_header(const std::string& header) {
    std::vector<Reference> references;
    if (header.empty()) {
        return references;
    }
    std::istringstream lines(header);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("@SQ", 0) != 0) {
            continue;
        }
        Reference reference;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '\t')) {
            if (field.rfind("SN:", 0) == 0) {
                reference.name = field.substr(3);
            } else if (field.rfind("LN:", 0) == 0) {
                reference.length = static_cast<std::uint32_t>(std::strtoul(field.c_str() + 3, nullptr, 10));
            }
        }
        if (!reference.name.empty() && reference.length > 0) {
            references.push_back(reference);
        }
    }
    if (references.empty()) {
        references.push_back(Reference{"ref", 1000000});
    }
    return references;
}

RawRead raw_read_of(const interfaces::ReadHolder& read) {
    RawRead raw;
    raw.read_tag = static_cast<std::uint32_t>(read.read_tag);
    raw.read_id = read.metadata.get<read_data::read_id>();
    raw.strand_id = read.metadata.get<read_data::strand_id>();
    raw.start_time = value_or<unsigned long long>(read.metadata, "start_time", 0);
    raw.num_sequor_events = value_or<unsigned long long>(read.metadata, "num_sequor_events", 0);
    const unsigned long long duration = read.metadata.get<read_data::duration>();
    const auto& signal = read.datasets.at(dataset::raw_data);
    if (duration > signal.info.count) {
        throw std::out_of_range("Duration of read " + raw.read_id + " is beyond its samples");
    }
    const std::int16_t* samples = signal.get_array<std::int16_t>();
    raw.samples.assign(samples, samples + duration);
    return raw;
}

std::string derived_strand_id(const std::string& parent_strand_id, std::uint32_t sub_tag) {
    const std::string name = parent_strand_id + "/" + std::to_string(sub_tag);
    const std::uint64_t high = fnv_text(name);
    const std::uint64_t low = fnv_text(name, high ^ 0x5bd1e9955bd1e995ULL);
    char text[40];
    std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                  static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

std::vector<RawRead> split_read(const RawRead& read, unsigned pieces) {
    const std::size_t most = std::max<std::size_t>(1, read.samples.size() / MIN_SPLIT_PIECE_SAMPLES);
    const std::size_t n = std::max<std::size_t>(1, std::min<std::size_t>(pieces, most));
    if (n == 1) {
        return {read};
    }
    const std::size_t piece_length = read.samples.size() / n;
    std::vector<RawRead> cut(n);
    for (std::size_t k = 0; k < n; ++k) {
        RawRead& piece = cut[k];
        const std::size_t begin = k * piece_length;
        const std::size_t end = k + 1 == n ? read.samples.size() : begin + piece_length;
        piece.read_tag = read.read_tag;
        piece.sub_tag = static_cast<std::uint32_t>(k);
        piece.read_id = read.read_id;
        piece.strand_id = k == 0 ? read.strand_id : derived_strand_id(read.strand_id, piece.sub_tag);
        piece.start_time = read.start_time + begin;
        piece.num_sequor_events = read.num_sequor_events;
        piece.samples.assign(read.samples.begin() + static_cast<std::ptrdiff_t>(begin),
                             read.samples.begin() + static_cast<std::ptrdiff_t>(end));
    }
    // The parent goes last.
    std::rotate(cut.begin(), cut.begin() + 1, cut.end());
    return cut;
}

CalledRead expected_call(const RawRead& read, const CallOptions& options) {
    const std::uint64_t seed = seed_of(read);
    const std::size_t num_samples = read.samples.size();

    CalledRead call;
    call.read_tag = read.read_tag;
    call.sub_tag = read.sub_tag;
    call.strand_id = read.strand_id;
    call.duration = num_samples;
    call.start_time = read.start_time;
    call.num_sequor_events = read.num_sequor_events;
    call.basecall_type = BASECALL_TYPE;
    call.model_version_id = options.model_version_id;
    call.model_stride = MODEL_STRIDE;
    const std::size_t trimmed = num_samples / 10 - (num_samples / 10) % MODEL_STRIDE;
    call.trimmed_samples = static_cast<std::uint32_t>(trimmed);

    Stream draws(seed, Section::bases);
    const std::size_t num_moves = std::max<std::size_t>(1, (num_samples - trimmed) / MODEL_STRIDE);
    call.num_moves = static_cast<std::uint32_t>(num_moves);
    std::vector<std::uint8_t> moves(num_moves, 0);
    moves[0] = 1;
    std::size_t length = 1;
    for (std::size_t i = 1; i < num_moves; ++i) {
        moves[i] = static_cast<std::uint8_t>(draws.next() & 1);
        length += moves[i];
    }
    if (options.moves) {
        call.moves = std::move(moves);
    }
    call.sequence.resize(length);
    call.qstring.resize(length);
    double phred_sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint64_t d = draws.next();
        call.sequence[i] = "ACGT"[d % 4];
        const auto phred = static_cast<unsigned>(5 + (d >> 8) % 36);
        call.qstring[i] = static_cast<char>('!' + phred);
        phred_sum += phred;
    }
    call.mean_qscore = static_cast<float>(phred_sum / static_cast<double>(length));

    std::vector<float> values(read.samples.begin(), read.samples.end());
    call.median = lower_median(values);
    for (float& value : values) {
        value = std::abs(value - call.median);
    }
    call.med_abs_dev = lower_median(std::move(values));
    call.scaling_median = call.median;
    call.scaling_med_abs_dev = call.med_abs_dev;
    call.scaling_version = SCALING_VERSION;

    if (!options.modbase_model_version_id.empty()) {
        call.has_base_mod = true;
        call.modbase_model_version_id = options.modbase_model_version_id;
        call.base_mod_alphabet = MODBASE_ALPHABET;
        call.base_mod_long_names = MODBASE_LONG_NAMES;
        call.base_mod_context = MODBASE_CONTEXT;
        call.base_mod_probs.assign(length * MODBASE_CHANNELS, 0);
        Stream mods(seed, Section::modified_bases);
        for (std::size_t p = 0; p < length; ++p) {
            if (call.sequence[p] != 'C') {
                continue;
            }
            const std::uint64_t d = mods.next();
            const auto m = static_cast<unsigned>(d % 256);
            const auto h = static_cast<unsigned>((d >> 8) % (256 - m));
            std::uint8_t* row = &call.base_mod_probs[p * MODBASE_CHANNELS];
            row[0] = static_cast<std::uint8_t>(255 - m - h);
            row[1] = static_cast<std::uint8_t>(m);
            row[2] = static_cast<std::uint8_t>(h);
        }
    }
    if (!options.barcode_kit.empty()) {
        call.has_barcoding = true;
        call.barcoding = make_barcode(seed, options, length);
    }
    if (!options.references.empty()) {
        call.alignments = make_alignments(seed, read, call, options);
    }
    if (options.poly_tail) {
        Stream tail(seed, Section::poly_tail);
        call.poly_tail_length = static_cast<std::int32_t>(5 + tail.next() % 100);
    }
    return call;
}

std::vector<CalledRead> expected_calls(const RawRead& read, const CallOptions& options, unsigned pieces) {
    std::vector<CalledRead> calls;
    for (const RawRead& piece : split_read(read, pieces)) {
        calls.push_back(expected_call(piece, options));
    }
    return calls;
}

std::vector<std::string> differences(const CalledRead& expected, const CalledRead& actual) {
    std::vector<std::string> names;
    const auto check = [&names](bool equal, const std::string& name) {
        if (!equal) {
            names.push_back(name);
        }
    };
#define SL_CHECK_FIELD(prefix, a, b, field) check((a).field == (b).field, prefix #field)
    const CalledRead& e = expected;
    const CalledRead& a = actual;
    SL_CHECK_FIELD("", e, a, read_tag);
    SL_CHECK_FIELD("", e, a, sub_tag);
    SL_CHECK_FIELD("", e, a, strand_id);
    SL_CHECK_FIELD("", e, a, duration);
    SL_CHECK_FIELD("", e, a, start_time);
    SL_CHECK_FIELD("", e, a, num_sequor_events);
    SL_CHECK_FIELD("", e, a, basecall_type);
    SL_CHECK_FIELD("", e, a, model_version_id);
    SL_CHECK_FIELD("", e, a, modbase_model_version_id);
    SL_CHECK_FIELD("", e, a, mean_qscore);
    SL_CHECK_FIELD("", e, a, model_stride);
    SL_CHECK_FIELD("", e, a, median);
    SL_CHECK_FIELD("", e, a, med_abs_dev);
    SL_CHECK_FIELD("", e, a, trimmed_samples);
    SL_CHECK_FIELD("", e, a, poly_tail_length);
    SL_CHECK_FIELD("", e, a, scaling_median);
    SL_CHECK_FIELD("", e, a, scaling_med_abs_dev);
    SL_CHECK_FIELD("", e, a, scaling_version);
    SL_CHECK_FIELD("", e, a, sequence);
    SL_CHECK_FIELD("", e, a, qstring);
    SL_CHECK_FIELD("", e, a, moves);
    SL_CHECK_FIELD("", e, a, num_moves);
    SL_CHECK_FIELD("", e, a, has_base_mod);
    SL_CHECK_FIELD("", e, a, base_mod_alphabet);
    SL_CHECK_FIELD("", e, a, base_mod_long_names);
    SL_CHECK_FIELD("", e, a, base_mod_context);
    SL_CHECK_FIELD("", e, a, base_mod_probs);
    SL_CHECK_FIELD("", e, a, has_barcoding);
    const BarcodeCall& eb = e.barcoding;
    const BarcodeCall& ab = a.barcoding;
    SL_CHECK_FIELD("barcoding.", eb, ab, kit);
    SL_CHECK_FIELD("barcoding.", eb, ab, arrangement);
    SL_CHECK_FIELD("barcoding.", eb, ab, variant);
    SL_CHECK_FIELD("barcoding.", eb, ab, score);
    SL_CHECK_FIELD("barcoding.", eb, ab, trim_front);
    SL_CHECK_FIELD("barcoding.", eb, ab, trim_rear);
    SL_CHECK_FIELD("barcoding.", eb, ab, front_score);
    SL_CHECK_FIELD("barcoding.", eb, ab, front_begin_index);
    SL_CHECK_FIELD("barcoding.", eb, ab, front_foundseq_length);
    SL_CHECK_FIELD("barcoding.", eb, ab, rear_score);
    SL_CHECK_FIELD("barcoding.", eb, ab, rear_end_index);
    SL_CHECK_FIELD("barcoding.", eb, ab, rear_foundseq_length);
    check(e.alignments.size() == a.alignments.size(), "alignments.size");
    for (std::size_t i = 0; i < std::min(e.alignments.size(), a.alignments.size()); ++i) {
        const AlignmentCall& er = e.alignments[i];
        const AlignmentCall& ar = a.alignments[i];
        const std::string prefix = "alignments[" + std::to_string(i) + "].";
        const auto row = [&](bool equal, const char* name) { check(equal, prefix + name); };
#define SL_CHECK_ROW(field) row(er.field == ar.field, #field)
        SL_CHECK_ROW(genome);
        SL_CHECK_ROW(genome_start);
        SL_CHECK_ROW(genome_end);
        SL_CHECK_ROW(strand_start);
        SL_CHECK_ROW(strand_end);
        SL_CHECK_ROW(num_events);
        SL_CHECK_ROW(num_insertions);
        SL_CHECK_ROW(num_deletions);
        SL_CHECK_ROW(num_aligned);
        SL_CHECK_ROW(num_correct);
        SL_CHECK_ROW(coverage);
        SL_CHECK_ROW(identity);
        SL_CHECK_ROW(accuracy);
        SL_CHECK_ROW(strand_score);
        SL_CHECK_ROW(sam_record);
        SL_CHECK_ROW(bed_hits);
        SL_CHECK_ROW(bed_lines);
        SL_CHECK_ROW(direction);
        SL_CHECK_ROW(mapping_quality);
        SL_CHECK_ROW(is_secondary);
        SL_CHECK_ROW(is_supplementary);
#undef SL_CHECK_ROW
    }
#undef SL_CHECK_FIELD
    return names;
}

}  // namespace test_server
