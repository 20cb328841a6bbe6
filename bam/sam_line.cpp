#include "bam/sam_line.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace kelp::bam::util {

namespace {

// Array elements and CG words are the file's little-endian bytes, read in place.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "BAM data is read as host integers");

constexpr uint32_t MAX_CIGAR_OP = 8;

template <typename T>
void append_number(std::string& out, T value) {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    out.append(text, result.ptr);
}

// Six decimals, then every trailing '0' removed: 2.5 gives "2.5", 2.0 "2.".
void append_float(std::string& out, float value) {
    char text[64];
    const int length = std::snprintf(text, sizeof(text), "%f", static_cast<double>(value));
    size_t end = length > 0 ? std::min<size_t>(static_cast<size_t>(length), sizeof(text) - 1) : 0;
    while (end > 0 && text[end - 1] == '0') {
        --end;
    }
    out.append(text, end);
}

// CIGAR words as text; "*" for none. `placeholder` tells whether the text is
// the long-CIGAR stand-in: a first soft clip at least as long as the
// sequence. False for an op code without a letter.
bool unpack_cigar_string(const uint32_t* words, size_t count, std::string& out, int32_t l_seq,
                         bool& placeholder, std::string& error) {
    placeholder = false;
    out.clear();
    if (count == 0) {
        out = "*";
        return true;
    }
    out.reserve(3 * count);
    placeholder = (words[0] >> 4) >= static_cast<uint32_t>(l_seq) && (words[0] & 0xF) == 4;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t op = words[i] & 0xF;
        if (op > MAX_CIGAR_OP) {
            error = "Invalid CIGAR operation code encountered: " + std::to_string(op);
            placeholder = false;
            return false;
        }
        append_number(out, words[i] >> 4);
        out += CIGAR_OP_CODES[op];
    }
    return true;
}

template <typename T>
T element_at(const AuxNumericalArray& array, uint32_t index) {
    T value;
    std::memcpy(&value, array.data.data() + uint64_t{index} * sizeof(T), sizeof(T));
    return value;
}

bool append_array(std::string& out, const AuxData& field, std::string& error) {
    const auto& array = std::any_cast<const AuxNumericalArray&>(field.value);
    const uint32_t element_size = aux_array_element_size(array.subtype);
    if (element_size == 0) {
        error = std::string("Invalid auxiliary array subtype encountered: ") + array.subtype;
        return false;
    }
    if (array.data.size() < uint64_t{array.count} * element_size) {
        error = "Auxiliary array " + field.tag + " holds fewer bytes than its " +
                std::to_string(array.count) + " elements";
        return false;
    }
    out += "B:";
    out += array.subtype;
    for (uint32_t i = 0; i < array.count; ++i) {
        out += ',';
        switch (array.subtype) {
            case 'c': append_number(out, int{element_at<int8_t>(array, i)}); break;
            case 'C': append_number(out, unsigned{element_at<uint8_t>(array, i)}); break;
            case 's': append_number(out, element_at<int16_t>(array, i)); break;
            case 'S': append_number(out, element_at<uint16_t>(array, i)); break;
            case 'i': append_number(out, element_at<int32_t>(array, i)); break;
            case 'I': append_number(out, element_at<uint32_t>(array, i)); break;
            default: append_float(out, element_at<float>(array, i)); break;
        }
    }
    return true;
}

bool append_aux_field(std::string& out, const AuxData& field, std::string& error) {
    switch (field.type) {
        case 'A':
            out += "A:";
            out += std::any_cast<char>(field.value);
            return true;
        case 'c': out += "i:"; append_number(out, int{std::any_cast<signed char>(field.value)}); return true;
        case 'C': out += "i:"; append_number(out, unsigned{std::any_cast<unsigned char>(field.value)}); return true;
        case 's': out += "i:"; append_number(out, std::any_cast<int16_t>(field.value)); return true;
        case 'S': out += "i:"; append_number(out, std::any_cast<uint16_t>(field.value)); return true;
        case 'i': out += "i:"; append_number(out, std::any_cast<int32_t>(field.value)); return true;
        case 'I': out += "i:"; append_number(out, std::any_cast<uint32_t>(field.value)); return true;
        case 'f': out += "f:"; append_float(out, std::any_cast<float>(field.value)); return true;
        case 'Z':
        case 'H':
            out += field.type;
            out += ':';
            out += std::any_cast<const std::string&>(field.value);
            return true;
        case 'B': return append_array(out, field, error);
        default:
            error = std::string("Invalid auxiliary data type encountered: ") + field.type;
            return false;
    }
}

// The CG field whose words stand for a long CIGAR: subtype I with exactly four
// bytes per element. Null when there is none.
const AuxNumericalArray* long_cigar_field(const BamRecord& record) {
    for (const AuxData& field : record.aux_data) {
        if (field.tag == "CG" && field.type == 'B') {
            const auto& array = std::any_cast<const AuxNumericalArray&>(field.value);
            if (array.subtype == 'I' && array.data.size() == uint64_t{array.count} * 4) {
                return &array;
            }
            return nullptr;
        }
    }
    return nullptr;
}

// A reference name, "*" for -1; false for an index outside the list.
bool reference_name(const std::vector<RefSeq>& ref_seqs, int32_t index, const std::string*& name) {
    static const std::string NONE = "*";
    if (index == -1) {
        name = &NONE;
        return true;
    }
    if (index < 0 || static_cast<uint64_t>(index) >= ref_seqs.size()) {
        return false;
    }
    name = &ref_seqs[static_cast<size_t>(index)].name;
    return true;
}

}  // namespace

bool update_sam_line(const std::vector<RefSeq>& ref_seqs, BamRecord& record, std::string& error) {
    thread_local std::string cigar_text;
    bool placeholder = false;
    if (!unpack_cigar_string(record.cigar.data(), record.cigar.size(), cigar_text, record.l_seq,
                             placeholder, error)) {
        return false;
    }
    const AuxNumericalArray* long_cigar = placeholder ? long_cigar_field(record) : nullptr;
    if (long_cigar != nullptr) {
        thread_local std::vector<uint32_t> words;
        words.resize(long_cigar->count);
        if (long_cigar->count > 0) {
            std::memcpy(words.data(), long_cigar->data.data(), uint64_t{long_cigar->count} * 4);
        }
        bool nested = false;
        if (!unpack_cigar_string(words.data(), words.size(), cigar_text, record.l_seq, nested,
                                 error)) {
            return false;
        }
    }

    const std::string* next_name = nullptr;
    const std::string* name = nullptr;
    if (!reference_name(ref_seqs, record.next_ref_id, next_name) ||
        !reference_name(ref_seqs, record.ref_id, name)) {
        return false;
    }
    const bool same_reference = *next_name != "*" && *next_name == *name;

    if (record.l_seq < 0) {
        error = "Invalid sequence length " + std::to_string(record.l_seq);
        return false;
    }
    const uint64_t l_seq = static_cast<uint64_t>(record.l_seq);
    if (record.seq.size() < (l_seq + 1) / 2) {
        error = "Sequence holds fewer bytes than its length " + std::to_string(l_seq) + " needs";
        return false;
    }
    const bool has_qual =
        l_seq > 0 && !record.qual.empty() && static_cast<unsigned char>(record.qual[0]) != 0xFF;
    if (has_qual && record.qual.size() < l_seq) {
        error = "Quality holds fewer bytes than the sequence length " + std::to_string(l_seq);
        return false;
    }

    std::string& line = record.sam_line;
    line.clear();
    line.reserve(64 + record.read_name.size() + cigar_text.size() + 2 * l_seq);
    line += record.read_name;
    line += '\t';
    append_number(line, record.flag);
    line += '\t';
    line += *name;
    line += '\t';
    append_number(line, int64_t{record.pos} + 1);
    line += '\t';
    append_number(line, unsigned{record.mapq});
    line += '\t';
    line += cigar_text;
    line += '\t';
    if (same_reference) {
        line += '=';
    } else {
        line += *next_name;
    }
    line += '\t';
    append_number(line, int64_t{record.next_pos} + 1);
    line += "\t0\t";
    if (l_seq == 0) {
        line += '*';
    } else {
        for (uint64_t i = 0; i < l_seq; ++i) {
            const uint8_t byte = record.seq[i / 2];
            line += SEQ_CODES[(i % 2 == 0) ? (byte >> 4) : (byte & 0xF)];
        }
    }
    line += '\t';
    if (has_qual) {
        for (uint64_t i = 0; i < l_seq; ++i) {
            line += static_cast<char>(record.qual[i] + 33);
        }
    } else {
        line += '*';
    }
    line += '\t';
    for (const AuxData& field : record.aux_data) {
        if (long_cigar != nullptr && field.tag == "CG" && field.type == 'B') {
            continue;
        }
        line += field.tag;
        line += ':';
        if (!append_aux_field(line, field, error)) {
            return false;
        }
        line += '\t';
    }
    line.pop_back();
    return true;
}

}  // namespace kelp::bam::util
