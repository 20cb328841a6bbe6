#include "bam/bam_utils.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>

#include "bam/bgzf.h"

namespace kelp::bam::util {

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "CG words are copied as host integers");

using CodeTable = std::array<int8_t, 256>;

const char* const MALFORMED = "Malformed SAM line detected";
constexpr size_t MAX_READ_NAME = 254;
constexpr uint64_t MAX_CIGAR_OP_LENGTH = (1u << 28) - 1;
constexpr size_t MAX_CIGAR_WORDS = 65535;
constexpr int64_t MAX_POSITION = std::numeric_limits<int32_t>::max();

// Every char maps to -1, then each letter of `codes` to its position.
CodeTable fillmap(const std::string& codes) {
    CodeTable table;
    table.fill(-1);
    for (size_t i = 0; i < codes.size(); ++i) {
        table[static_cast<unsigned char>(codes[i])] = static_cast<int8_t>(i);
    }
    return table;
}

const CodeTable& seq_codes_map() {
    static const CodeTable table = [] {
        CodeTable t = fillmap(SEQ_CODES);
        t[static_cast<unsigned char>('U')] = t[static_cast<unsigned char>('T')];  // RNA packs as DNA
        return t;
    }();
    return table;
}

const CodeTable& cigar_op_codes_map() {
    static const CodeTable table = fillmap(CIGAR_OP_CODES);
    return table;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Mandatory columns are whitespace-separated: skips blanks, then takes the
// text up to the next blank. Empty at the end of the line.
std::string_view next_column(std::string_view line, size_t& at) {
    while (at < line.size() && is_space(line[at])) {
        ++at;
    }
    const size_t begin = at;
    while (at < line.size() && !is_space(line[at])) {
        ++at;
    }
    return line.substr(begin, at - begin);
}

enum class Number { ok, invalid, out_of_range };

// The whole text as a decimal integer in [low, high]; a leading '+' is allowed.
template <typename T>
Number parse_integer(std::string_view text, T low, T high, T& value) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') {
        text.remove_prefix(1);
    }
    int64_t wide = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), wide);
    if (text.empty() || result.ptr != text.data() + text.size()) {
        return Number::invalid;
    }
    if (result.ec == std::errc::result_out_of_range) {
        return Number::out_of_range;
    }
    if (result.ec != std::errc() ) {
        return Number::invalid;
    }
    if (wide < static_cast<int64_t>(low) || wide > static_cast<int64_t>(high)) {
        return Number::out_of_range;
    }
    value = static_cast<T>(wide);
    return Number::ok;
}

Number parse_float(std::string_view text, float& value) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') {
        text.remove_prefix(1);
    }
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ptr != text.data() + text.size()) {
        return Number::invalid;
    }
    if (result.ec == std::errc::result_out_of_range) {
        return Number::out_of_range;
    }
    return result.ec == std::errc() ? Number::ok : Number::invalid;
}

// A mandatory numeric column: unconvertible text is a malformed line; a number
// outside the column's range is named.
template <typename T>
bool parse_column(std::string_view text, const char* column, T low, T high, T& value,
                  std::string& error) {
    switch (parse_integer(text, low, high, value)) {
        case Number::ok: return true;
        case Number::out_of_range:
            error = std::string(MALFORMED) + ": " + column + " out of range";
            return false;
        default: error = MALFORMED; return false;
    }
}

int32_t get_ref_index(const std::vector<RefSeq>& ref_seqs, std::string_view name) {
    for (size_t i = 0; i < ref_seqs.size(); ++i) {
        if (ref_seqs[i].name == name) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

// The bin of the region [begin, end) in the binning scheme of BAM indexes.
uint16_t reg2bin(int64_t begin, int64_t end) {
    --end;
    if (begin >> 14 == end >> 14) return static_cast<uint16_t>(((1 << 15) - 1) / 7 + (begin >> 14));
    if (begin >> 17 == end >> 17) return static_cast<uint16_t>(((1 << 12) - 1) / 7 + (begin >> 17));
    if (begin >> 20 == end >> 20) return static_cast<uint16_t>(((1 << 9) - 1) / 7 + (begin >> 20));
    if (begin >> 23 == end >> 23) return static_cast<uint16_t>(((1 << 6) - 1) / 7 + (begin >> 23));
    if (begin >> 26 == end >> 26) return static_cast<uint16_t>(((1 << 3) - 1) / 7 + (begin >> 26));
    return 0;
}

// `query_length` receives the bases the operations consume (M, I, S, = and
// X); 0 for "*".
bool pack_cigar_string(std::string_view text, BamRecord& record, uint64_t& ref_length,
                       uint64_t& query_length, uint64_t seq_length, std::string& error) {
    record.cigar.clear();
    query_length = 0;
    if (text == "*") {
        ref_length = 1;
        return true;
    }
    ref_length = 0;
    record.cigar.reserve(text.size() / 2);
    const CodeTable& codes = cigar_op_codes_map();
    size_t at = 0;
    while (at < text.size()) {
        const size_t begin = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            ++at;
        }
        uint64_t count = 0;
        const auto result = std::from_chars(text.data() + begin, text.data() + at, count);
        if (at == begin || result.ec != std::errc() || count > MAX_CIGAR_OP_LENGTH) {
            const size_t shown = std::min(text.size(), at + 1) - begin;
            error = "Invalid cigar op count detected: '" + std::string(text.substr(begin, shown)) +
                    "'";
            return false;
        }
        const char letter = at < text.size() ? text[at] : '\0';
        const int code = at < text.size() ? codes[static_cast<unsigned char>(letter)] : -1;
        if (code < 0) {
            error = "Invalid cigar op detected: '" + std::string(text.substr(at, 1)) + "'";
            return false;
        }
        ++at;
        record.cigar.push_back(static_cast<uint32_t>(count << 4) | static_cast<uint32_t>(code));
        if (letter == 'M' || letter == 'D' || letter == 'N' || letter == '=' || letter == 'X') {
            ref_length += count;
        }
        if (letter == 'M' || letter == 'I' || letter == 'S' || letter == '=' || letter == 'X') {
            query_length += count;
        }
    }
    if (record.cigar.size() > MAX_CIGAR_WORDS) {
        // The operation count does not fit the record's 16 bits: the words go
        // to a CG field and the CIGAR becomes "<sequence length>S<span>N".
        if (seq_length > MAX_CIGAR_OP_LENGTH || ref_length > MAX_CIGAR_OP_LENGTH) {
            error = "Long CIGAR cannot be stored: sequence length or reference span above " +
                    std::to_string(MAX_CIGAR_OP_LENGTH);
            return false;
        }
        AuxNumericalArray words;
        words.subtype = 'I';
        words.count = static_cast<uint32_t>(record.cigar.size());
        words.data.resize(record.cigar.size() * 4);
        std::memcpy(words.data.data(), record.cigar.data(), words.data.size());
        record.aux_data.push_back(AuxData{"CG", 'B', std::move(words)});
        record.cigar.assign({static_cast<uint32_t>(seq_length << 4) | 4u,
                             static_cast<uint32_t>(ref_length << 4) | 3u});
    }
    return true;
}

bool pack_seq_string(std::string_view text, BamRecord& record, std::string& error) {
    record.seq.clear();
    if (text == "*") {
        record.l_seq = 0;
        return true;
    }
    // Columns are shorter than the line, which a std::string holds; only
    // lengths beyond int32 need refusing.
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        error = std::string(MALFORMED) + ": SEQ too long";
        return false;
    }
    record.l_seq = static_cast<int32_t>(text.size());
    record.seq.resize((text.size() + 1) / 2);
    const CodeTable& codes = seq_codes_map();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = codes[static_cast<unsigned char>(text[i])];
        const int low = i + 1 < text.size() ? codes[static_cast<unsigned char>(text[i + 1])] : 0;
        if (high < 0 || low < 0) {
            error = "Invalid sequence code detected";
            return false;
        }
        record.seq[i / 2] = static_cast<uint8_t>((high << 4) | low);
    }
    return true;
}

template <typename T>
bool put_element(std::string_view text, std::vector<char>& data, size_t& at) {
    T value{};
    if constexpr (std::is_same_v<T, float>) {
        if (parse_float(text, value) != Number::ok) {
            return false;
        }
    } else {
        if (parse_integer(text, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(),
                          value) != Number::ok) {
            return false;
        }
    }
    std::memcpy(data.data() + at, &value, sizeof(T));
    at += sizeof(T);
    return true;
}

// "<subtype>[,<element>]...": every element present and in range of the subtype.
bool parse_array(std::string_view value, AuxNumericalArray& array) {
    if (value.empty()) {
        return false;
    }
    array.subtype = value[0];
    const uint32_t element_size = aux_array_element_size(array.subtype);
    if (element_size == 0) {
        // An unknown subtype gives no element size: such an array is kept
        // as it stands when it has no elements, refused otherwise.
        array.count = 0;
        array.data.clear();
        return value.size() == 1;
    }
    if (value.size() > 1 && value[1] != ',') {
        return false;
    }
    const size_t count = static_cast<size_t>(std::count(value.begin(), value.end(), ','));
    if (count > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    array.count = static_cast<uint32_t>(count);
    array.data.assign(count * element_size, 0);
    size_t at = 0;
    size_t begin = 2;
    for (size_t i = 0; i < count; ++i) {
        size_t end = value.find(',', begin);
        if (end == std::string_view::npos) {
            end = value.size();
        }
        const std::string_view element = value.substr(begin, end - begin);
        bool ok = false;
        switch (array.subtype) {
            case 'c': ok = put_element<int8_t>(element, array.data, at); break;
            case 'C': ok = put_element<uint8_t>(element, array.data, at); break;
            case 's': ok = put_element<int16_t>(element, array.data, at); break;
            case 'S': ok = put_element<uint16_t>(element, array.data, at); break;
            case 'i': ok = put_element<int32_t>(element, array.data, at); break;
            case 'I': ok = put_element<uint32_t>(element, array.data, at); break;
            default: ok = put_element<float>(element, array.data, at); break;
        }
        if (!ok) {
            return false;
        }
        begin = end + 1;
    }
    return true;
}

// A CG array of subtype I stands for the CIGAR behind the long-CIGAR
// placeholder, and readers take its words as CIGAR operations: each must name
// one, or the record would be written but never read back.
bool holds_cigar_words(const AuxNumericalArray& array) {
    if (array.subtype != 'I') {
        return true;
    }
    for (size_t at = 0; at + 4 <= array.data.size(); at += 4) {
        uint32_t word = 0;
        std::memcpy(&word, array.data.data() + at, sizeof(word));
        if ((word & 0xF) >= CIGAR_OP_CODES.size()) {
            return false;
        }
    }
    return true;
}

bool parse_aux_field(std::string_view field, BamRecord& record, std::string& error) {
    if (field.size() < 5 || field[2] != ':' || field[4] != ':') {
        error = "Invalid aux data detected: " + std::string(field);
        return false;
    }
    AuxData aux;
    aux.tag.assign(field.data(), 2);
    aux.type = field[3];
    const std::string_view value = field.substr(5);
    bool ok = true;
    switch (aux.type) {
        case 'A':
            ok = value.size() == 1;
            if (ok) aux.value = value[0];
            break;
        case 'i': {
            int32_t number = 0;
            ok = parse_integer(value, std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<int32_t>::max(), number) == Number::ok;
            aux.value = number;
            break;
        }
        case 'f': {
            float number = 0;
            ok = parse_float(value, number) == Number::ok;
            aux.value = number;
            break;
        }
        case 'Z':
        case 'H': aux.value = std::string(value); break;
        case 'B': {
            AuxNumericalArray array;
            ok = parse_array(value, array) && (aux.tag != "CG" || holds_cigar_words(array));
            aux.value = std::move(array);
            break;
        }
        default:
            error = std::string("Invalid auxiliary data type) '") + aux.type +
                    "' found in alignment record";
            return false;
    }
    if (!ok) {
        error = "Invalid aux data value detected: " + std::string(field);
        return false;
    }
    record.aux_data.push_back(std::move(aux));
    return true;
}

bool pack_record(std::vector<char>& blocks, BamRecordIndexFileInfo& index_info, uint64_t& key,
                 const BamRecord& record, std::string& error) {
    index_info = extract_index_file_info(record);
    key = calculate_sorting_key(record.ref_id, record.pos);
    thread_local std::vector<char> serialised;
    if (!record.serialise(serialised, error)) {
        return false;
    }
    return kelp::bgzf::pack_BGZF_blocks(blocks, serialised, error);
}

}  // namespace

bool parse_sam_line_to_bam_record(const std::string& line, BamRecord& record,
                                  const std::vector<RefSeq>& ref_seqs, std::string& error) {
    record.clear();
    const std::string_view text(line);
    size_t at = 0;
    const std::string_view qname = next_column(text, at);
    const std::string_view flag = next_column(text, at);
    const std::string_view rname = next_column(text, at);
    const std::string_view pos = next_column(text, at);
    const std::string_view mapq = next_column(text, at);
    const std::string_view cigar = next_column(text, at);
    std::string_view rnext = next_column(text, at);
    const std::string_view pnext = next_column(text, at);
    const std::string_view tlen = next_column(text, at);
    const std::string_view seq = next_column(text, at);
    const std::string_view qual = next_column(text, at);
    if (qual.empty()) {  // the last column: every one before it is there too
        error = MALFORMED;
        return false;
    }
    if (qname.size() > MAX_READ_NAME) {
        error = std::string(MALFORMED) + ": QNAME longer than 254 characters";
        return false;
    }
    record.read_name.assign(qname);

    int32_t position = 0;
    int32_t next_position = 0;
    int32_t quality = 0;
    if (!parse_column<uint16_t>(flag, "FLAG", 0, 0xFFFF, record.flag, error) ||
        !parse_column<int32_t>(pos, "POS", 0, MAX_POSITION, position, error) ||
        !parse_column<int32_t>(mapq, "MAPQ", 0, 255, quality, error) ||
        !parse_column<int32_t>(pnext, "PNEXT", 0, MAX_POSITION, next_position, error) ||
        !parse_column<int32_t>(tlen, "TLEN", std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<int32_t>::max(), record.tlen, error)) {
        return false;
    }
    const bool has_seq = seq != "*";
    if (qual != "*" && (!has_seq || qual.size() != seq.size())) {
        error = MALFORMED;
        return false;
    }
    record.pos = position - 1;
    record.next_pos = next_position - 1;
    record.mapq = static_cast<uint8_t>(quality);

    uint64_t query_length = 0;
    if (!pack_cigar_string(cigar, record, record.ref_length, query_length, has_seq ? seq.size() : 0,
                           error)) {
        return false;
    }
    record.bin = reg2bin(record.pos, int64_t{record.pos} + static_cast<int64_t>(record.ref_length));
    record.ref_id = get_ref_index(ref_seqs, rname);
    if (rnext == "=") {
        rnext = rname;
    }
    record.next_ref_id = get_ref_index(ref_seqs, rnext);
    if (!pack_seq_string(seq, record, error)) {
        return false;
    }
    // Readers refuse a record whose CIGAR consumes another number of bases
    // than SEQ holds; a line without SEQ is not checked.
    if (has_seq && cigar != "*" && query_length != seq.size()) {
        error = std::string(MALFORMED) + ": CIGAR and SEQ lengths differ (CIGAR query length " +
                std::to_string(query_length) + ", SEQ length " + std::to_string(seq.size()) + ")";
        return false;
    }

    if (record.l_seq > 0) {
        record.qual.resize(static_cast<size_t>(record.l_seq));
        if (qual == "*") {
            std::fill(record.qual.begin(), record.qual.end(), static_cast<char>(0xFF));
        } else {
            for (size_t i = 0; i < qual.size(); ++i) {
                if (qual[i] < '!' || qual[i] > '~') {
                    error = std::string(MALFORMED) + ": QUAL character outside '!' to '~'";
                    return false;
                }
                record.qual[i] = static_cast<char>(qual[i] - 33);
            }
        }
    }

    // Optional fields are tab-separated to the end of the line; an empty one
    // (a trailing tab) is refused like any other short field.
    if (at < text.size()) {
        if (text[at] == '\t') {
            ++at;
        }
        for (;;) {
            size_t end = text.find('\t', at);
            const bool last = end == std::string_view::npos;
            if (last) {
                end = text.size();
            }
            if (!parse_aux_field(text.substr(at, end - at), record, error)) {
                return false;
            }
            if (last) {
                break;
            }
            at = end + 1;
        }
    }
    record.sam_line = line;
    return true;
}

bool parse_sam_line_get_sorting_key(const std::string& line, uint64_t& key,
                                    const std::vector<RefSeq>& ref_seqs, std::string& error) {
    const std::string_view text(line);
    size_t at = 0;
    const std::string_view qname = next_column(text, at);
    next_column(text, at);  // FLAG: the key does not depend on it
    const std::string_view rname = next_column(text, at);
    const std::string_view pos = next_column(text, at);
    if (qname.empty() || rname.empty()) {
        error = MALFORMED;
        return false;
    }
    // A POS that is missing or not a position reads as 0, no position: the
    // key with all bits set, after every placed record.
    int32_t position = 0;
    if (parse_integer<int32_t>(pos, 0, MAX_POSITION, position) != Number::ok) {
        position = 0;
    }
    key = calculate_sorting_key(get_ref_index(ref_seqs, rname), position - 1);
    return true;
}

bool pack_sam_line_to_BGZF_blocks(std::vector<char>& blocks, BamRecordIndexFileInfo& index_info,
                                  uint64_t& key, const std::string& line,
                                  const AlignmentFileHeader& header, std::string& error) {
    thread_local BamRecord record;
    const bool parsed = parse_sam_line_to_bam_record(line, record, header.ref_seqs, error);
    if (!parsed || !error.empty()) {
        return false;
    }
    return pack_record(blocks, index_info, key, record, error);
}

bool pack_bam_record_to_BGZF_blocks(std::vector<char>& blocks, BamRecordIndexFileInfo& index_info,
                                    uint64_t& key, const BamRecord& record, std::string& error) {
    return pack_record(blocks, index_info, key, record, error);
}

}  // namespace kelp::bam::util
