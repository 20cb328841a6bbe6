#include "bam/bam_record.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "bam/sam_line.h"

namespace kelp::bam {

namespace util {

const std::string BAM_MAGIC_WORD("BAM\x01", 4);
const std::string BAI_MAGIC_WORD("BAI\x01", 4);
const std::string CIGAR_OP_CODES = "MIDNSHP=X";
const std::string SEQ_CODES = "=ACMGRSVTWYHKDBN";

uint64_t calculate_sorting_key(int32_t ref_id, int32_t pos) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(ref_id)) << 32) |
           static_cast<uint64_t>(static_cast<int64_t>(pos));
}

}  // namespace util

namespace {

// Op codes of M, D, N, = and X: the operations that consume the reference.
constexpr uint32_t REFERENCE_OPS = (1u << 0) | (1u << 2) | (1u << 3) | (1u << 7) | (1u << 8);
constexpr uint32_t MAX_CIGAR_OP = 8;
constexpr size_t MAX_READ_NAME = 254;
constexpr size_t MAX_CIGAR_WORDS = 65535;
constexpr uint64_t FIXED_FIELDS_SIZE = 32;  // refID .. tlen, after block_size

const char* const END_OF_BUFFER =
    "Reached end of uncompressed BAM buffer unexpectedly while extracting data: "
    "Hit end of buffer while extracting data";
const char* const LENGTH_MISMATCH = "BAM file block length mismatch in file";

// Reads little-endian values from one alignment block. Every read is checked
// against the end of the block and the end of the buffer, whichever comes
// first; a read past the block's end inside the buffer means the block's
// lengths disagree, one past the buffer's end means the buffer is cut short.
class BlockReader {
  public:
    explicit BlockReader(io::IOBuffer& buffer) : m_buffer(buffer), m_limit(buffer.size) {}

    void set_block_end(uint64_t block_end) {
        m_block_end_in_buffer = block_end <= m_buffer.size;
        m_limit = m_block_end_in_buffer ? block_end : m_buffer.size;
    }

    uint64_t position() const { return m_buffer.position; }
    uint64_t remaining() const {
        return m_buffer.position <= m_limit ? m_limit - m_buffer.position : 0;
    }
    const char* here() const { return m_buffer.data + m_buffer.position; }

    // Claims `count` bytes, or sets the reason why they are not there.
    bool take(uint64_t count, const char*& at, std::string& reason) {
        if (count > remaining()) {
            reason = m_block_end_in_buffer ? LENGTH_MISMATCH : END_OF_BUFFER;
            return false;
        }
        at = here();
        m_buffer.position += count;
        return true;
    }

    template <typename T>
    bool read(T& value, std::string& reason) {
        const char* at = nullptr;
        if (!take(sizeof(T), at, reason)) {
            return false;
        }
        using U = std::make_unsigned_t<T>;
        U bits = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            bits |= static_cast<U>(static_cast<U>(static_cast<unsigned char>(at[i])) << (8 * i));
        }
        value = static_cast<T>(bits);
        return true;
    }

    // The NUL-terminated text at the current position; false when no NUL
    // lies before the limit.
    bool read_text(std::string& text, std::string& reason) {
        const void* nul = remaining() > 0 ? std::memchr(here(), 0, remaining()) : nullptr;
        if (nul == nullptr) {
            reason = m_block_end_in_buffer ? LENGTH_MISMATCH : END_OF_BUFFER;
            return false;
        }
        const size_t length = static_cast<const char*>(nul) - here();
        text.assign(here(), length);
        m_buffer.position += length + 1;
        return true;
    }

  private:
    io::IOBuffer& m_buffer;
    uint64_t m_limit;
    bool m_block_end_in_buffer = false;
};

template <typename T>
bool read_aux_value(BlockReader& reader, AuxData& field, std::string& reason) {
    T value{};
    if (!reader.read(value, reason)) {
        return false;
    }
    field.value = value;
    return true;
}

bool read_aux_field(BlockReader& reader, AuxData& field, std::string& reason) {
    const char* head = nullptr;
    if (!reader.take(3, head, reason)) {
        return false;
    }
    field.tag.assign(head, 2);
    field.type = head[2];
    switch (field.type) {
        case 'A': return read_aux_value<char>(reader, field, reason);
        case 'c': return read_aux_value<signed char>(reader, field, reason);
        case 'C': return read_aux_value<unsigned char>(reader, field, reason);
        case 's': return read_aux_value<int16_t>(reader, field, reason);
        case 'S': return read_aux_value<uint16_t>(reader, field, reason);
        case 'i': return read_aux_value<int32_t>(reader, field, reason);
        case 'I': return read_aux_value<uint32_t>(reader, field, reason);
        case 'f': {
            uint32_t bits = 0;
            if (!reader.read(bits, reason)) {
                return false;
            }
            float value = 0;
            std::memcpy(&value, &bits, sizeof(value));
            field.value = value;
            return true;
        }
        case 'Z':
        case 'H': {
            std::string text;
            if (!reader.read_text(text, reason)) {
                return false;
            }
            field.value = std::move(text);
            return true;
        }
        case 'B': {
            AuxNumericalArray array;
            if (!reader.read(array.subtype, reason) || !reader.read(array.count, reason)) {
                return false;
            }
            const uint32_t element_size = aux_array_element_size(array.subtype);
            if (element_size == 0) {
                reason = "Invalid auxiliary array subtype found in alignment record";
                return false;
            }
            const char* bytes = nullptr;
            if (!reader.take(uint64_t{array.count} * element_size, bytes, reason)) {
                return false;
            }
            array.data.assign(bytes, bytes + uint64_t{array.count} * element_size);
            field.value = std::move(array);
            return true;
        }
        default:
            reason = "Invalid auxiliary data type found in alignment record";
            return false;
    }
}

bool decode(io::IOBuffer& buffer, BamRecord& record, std::string& reason) {
    BlockReader reader(buffer);
    if (buffer.position > buffer.size) {
        reason = END_OF_BUFFER;
        return false;
    }
    const uint64_t start = buffer.position;
    int32_t block_size = 0;
    if (!reader.read(block_size, reason)) {
        return false;
    }
    if (block_size < 0) {
        reason = LENGTH_MISMATCH;
        return false;
    }
    const uint64_t block_end = start + 4 + static_cast<uint64_t>(block_size);
    reader.set_block_end(block_end);

    uint8_t l_read_name = 0;
    uint16_t n_cigar_op = 0;
    if (!reader.read(record.ref_id, reason) || !reader.read(record.pos, reason) ||
        !reader.read(l_read_name, reason) || !reader.read(record.mapq, reason) ||
        !reader.read(record.bin, reason) || !reader.read(n_cigar_op, reason) ||
        !reader.read(record.flag, reason) || !reader.read(record.l_seq, reason) ||
        !reader.read(record.next_ref_id, reason) || !reader.read(record.next_pos, reason) ||
        !reader.read(record.tlen, reason)) {
        return false;
    }
    static_assert(FIXED_FIELDS_SIZE == 32);

    // The name must end with its NUL, and hold no other.
    const char* name = nullptr;
    if (l_read_name == 0) {
        reason = "Invalid read name length 0 in alignment record";
        return false;
    }
    if (!reader.take(l_read_name, name, reason)) {
        return false;
    }
    if (name[l_read_name - 1] != '\0' || std::memchr(name, 0, l_read_name - 1) != nullptr) {
        reason = "Read name in alignment record is not terminated by its only NUL";
        return false;
    }
    record.read_name.assign(name, l_read_name - 1);

    const char* words = nullptr;
    if (!reader.take(uint64_t{n_cigar_op} * 4, words, reason)) {
        return false;
    }
    record.cigar.resize(n_cigar_op);
    for (uint32_t i = 0; i < n_cigar_op; ++i) {
        const auto* at = reinterpret_cast<const unsigned char*>(words) + 4 * uint64_t{i};
        const uint32_t word = uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) |
                              (uint32_t{at[3]} << 24);
        const uint32_t op = word & 0xF;
        if (op > MAX_CIGAR_OP) {
            reason = "Invalid CIGAR operation code " + std::to_string(op) +
                     " found in alignment record";
            return false;
        }
        record.cigar[i] = word;
        if ((REFERENCE_OPS >> op) & 1u) {
            record.ref_length += word >> 4;
        }
    }

    if (record.l_seq < 0) {
        reason = "Negative sequence length found in alignment record";
        return false;
    }
    const uint64_t seq_bytes = (uint64_t(record.l_seq) + 1) / 2;
    const char* seq = nullptr;
    const char* qual = nullptr;
    if (!reader.take(seq_bytes, seq, reason) ||
        !reader.take(uint64_t(record.l_seq), qual, reason)) {
        return false;
    }
    record.seq.assign(seq, seq + seq_bytes);
    record.qual.assign(qual, qual + record.l_seq);

    while (reader.position() < block_end) {
        record.aux_data.emplace_back();
        if (!read_aux_field(reader, record.aux_data.back(), reason)) {
            return false;
        }
    }
    if (reader.position() != block_end) {
        reason = LENGTH_MISMATCH;
        return false;
    }
    return true;
}

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);

// Writes little-endian values into a block whose size was counted first.
class BlockWriter {
  public:
    BlockWriter(char* begin, char* end) : m_at(begin), m_end(end) {}

    void bytes(const void* data, size_t count) {
        if (count > static_cast<size_t>(m_end - m_at)) {
            throw std::runtime_error("Hit end of buffer while writing data");
        }
        if (count > 0) {
            std::memcpy(m_at, data, count);
        }
        m_at += count;
    }

    template <typename T>
    void put(T value) {
        using U = std::make_unsigned_t<T>;
        const U bits = static_cast<U>(value);
        char out[sizeof(T)];
        for (size_t i = 0; i < sizeof(T); ++i) {
            out[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
        }
        bytes(out, sizeof(T));
    }

    void put_float(float value) {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof(bits));
        put(bits);
    }

    char* position() const { return m_at; }

  private:
    char* m_at;
    char* m_end;
};

// Bytes one optional field takes in a block; 0 with a reason for a field the
// format cannot carry.
uint64_t aux_field_size(const AuxData& field, std::string& reason) {
    if (field.tag.size() != 2) {
        reason = "Invalid auxiliary data tag encountered: '" + field.tag + "'";
        return 0;
    }
    switch (field.type) {
        case 'A':
        case 'c':
        case 'C': return 4;
        case 's':
        case 'S': return 5;
        case 'i':
        case 'I':
        case 'f': return 7;
        case 'Z':
        case 'H': {
            const auto& text = std::any_cast<const std::string&>(field.value);
            if (text.find('\0') != std::string::npos) {
                reason = "Auxiliary text field " + field.tag + " holds a NUL character";
                return 0;
            }
            return text.size() + 4;
        }
        case 'B': {
            const auto& array = std::any_cast<const AuxNumericalArray&>(field.value);
            const uint32_t element_size = aux_array_element_size(array.subtype);
            if (element_size == 0) {
                reason = std::string("Invalid auxiliary array subtype encountered: ") +
                         array.subtype;
                return 0;
            }
            if (array.data.size() != uint64_t{array.count} * element_size) {
                reason = "Auxiliary array " + field.tag + " holds " +
                         std::to_string(array.data.size()) + " bytes for " +
                         std::to_string(array.count) + " elements";
                return 0;
            }
            return 8 + array.data.size();
        }
        default:
            reason = std::string("Invalid auxiliary data type encountered: ") + field.type;
            return 0;
    }
}

void write_aux_field(BlockWriter& writer, const AuxData& field) {
    writer.bytes(field.tag.data(), 2);
    writer.put(field.type);
    switch (field.type) {
        case 'A': writer.put(std::any_cast<char>(field.value)); break;
        case 'c': writer.put(std::any_cast<signed char>(field.value)); break;
        case 'C': writer.put(std::any_cast<unsigned char>(field.value)); break;
        case 's': writer.put(std::any_cast<int16_t>(field.value)); break;
        case 'S': writer.put(std::any_cast<uint16_t>(field.value)); break;
        case 'i': writer.put(std::any_cast<int32_t>(field.value)); break;
        case 'I': writer.put(std::any_cast<uint32_t>(field.value)); break;
        case 'f': writer.put_float(std::any_cast<float>(field.value)); break;
        case 'Z':
        case 'H': {
            const auto& text = std::any_cast<const std::string&>(field.value);
            writer.bytes(text.data(), text.size() + 1);  // with its NUL
            break;
        }
        case 'B': {
            const auto& array = std::any_cast<const AuxNumericalArray&>(field.value);
            writer.put(array.subtype);
            writer.put(array.count);
            writer.bytes(array.data.data(), array.data.size());
            break;
        }
        default: break;  // refused while counting
    }
}

}  // namespace

uint32_t aux_array_element_size(char subtype) {
    switch (subtype) {
        case 'c':
        case 'C': return 1;
        case 's':
        case 'S': return 2;
        case 'i':
        case 'I':
        case 'f': return 4;
        default: return 0;
    }
}

bool BamRecord::deserialise(io::IOBuffer& buffer, const std::vector<RefSeq>& ref_seqs,
                            std::string& error) {
    // Decoding goes into a per-thread record that then swaps with this one:
    // this record stays untouched on failure, and the buffers it gives up are
    // reused by the next call instead of being allocated afresh.
    thread_local BamRecord decoded;
    decoded.clear();
    std::string reason;
    if (!decode(buffer, decoded, reason)) {
        error = reason;
        return false;
    }
    if (!util::update_sam_line(ref_seqs, decoded, error)) {
        error = "SAM line generation failed: " + error;
        return false;
    }
    std::swap(*this, decoded);
    return true;
}

bool BamRecord::serialise(std::vector<char>& out, std::string& error) const {
    if (read_name.size() > MAX_READ_NAME) {
        error = "Read name of " + std::to_string(read_name.size()) +
                " characters is too long for a BAM record (at most 254)";
        return false;
    }
    // The name is stored NUL-terminated: a NUL inside it would make a block
    // that no reader, this library's included, accepts.
    if (read_name.find('\0') != std::string::npos) {
        error = "Read name holds a NUL character";
        return false;
    }
    if (cigar.size() > MAX_CIGAR_WORDS) {
        error = "CIGAR of " + std::to_string(cigar.size()) +
                " operations does not fit a BAM record (at most 65535 without the CG form)";
        return false;
    }
    if (l_seq < 0 || seq.size() != (uint64_t(l_seq) + 1) / 2 || qual.size() != uint64_t(l_seq)) {
        error = "Sequence or quality bytes do not match l_seq " + std::to_string(l_seq);
        return false;
    }
    uint64_t size = 4 + FIXED_FIELDS_SIZE + read_name.size() + 1 + 4 * uint64_t(cigar.size()) +
                    seq.size() + qual.size();
    for (const AuxData& field : aux_data) {
        std::string reason;
        const uint64_t field_size = aux_field_size(field, reason);
        if (field_size == 0) {
            error = reason;
            return false;
        }
        size += field_size;
    }
    if (size - 4 > uint64_t(std::numeric_limits<int32_t>::max())) {
        error = "Record of " + std::to_string(size) + " bytes is too large for a BAM block";
        return false;
    }

    out.resize(size);
    BlockWriter writer(out.data(), out.data() + out.size());
    writer.put(static_cast<int32_t>(size - 4));
    writer.put(ref_id);
    writer.put(pos);
    writer.put(static_cast<uint8_t>(read_name.size() + 1));
    writer.put(mapq);
    writer.put(bin);
    writer.put(static_cast<uint16_t>(cigar.size()));
    writer.put(flag);
    writer.put(l_seq);
    writer.put(next_ref_id);
    writer.put(next_pos);
    writer.put(tlen);
    writer.bytes(read_name.c_str(), read_name.size() + 1);
    for (uint32_t word : cigar) {
        writer.put(word);
    }
    writer.bytes(seq.data(), seq.size());
    writer.bytes(qual.data(), qual.size());
    for (const AuxData& field : aux_data) {
        write_aux_field(writer, field);
    }
    if (writer.position() != out.data() + out.size()) {
        error = "Write buffer was not fully used when serialising SAM line";
        return false;
    }
    return true;
}

void BamRecord::clear() {
    ref_id = 0;
    pos = 0;
    read_name.clear();
    mapq = 0;
    bin = 0;
    flag = 0;
    l_seq = 0;
    next_ref_id = 0;
    next_pos = 0;
    tlen = 0;
    cigar.clear();
    ref_length = 0;
    seq.clear();
    qual.clear();
    aux_data.clear();
    sam_line.clear();
}

uint64_t BamRecord::sorting_key() const { return util::calculate_sorting_key(ref_id, pos); }

bool BamRecord::operator<(const BamRecord& other) const {
    if (ref_id != other.ref_id) {
        return static_cast<uint32_t>(ref_id) < static_cast<uint32_t>(other.ref_id);
    }
    if (pos != other.pos) {
        return pos < other.pos;
    }
    return (flag & 0x10u) < (other.flag & 0x10u);
}

bool BamRecordIndexFileInfo::operator<(const BamRecordIndexFileInfo& other) const {
    return util::calculate_sorting_key(ref_id, pos) <
           util::calculate_sorting_key(other.ref_id, other.pos);
}

BamRecordIndexFileInfo extract_index_file_info(const BamRecord& record) {
    BamRecordIndexFileInfo info;
    info.ref_length = record.ref_length;
    info.ref_id = record.ref_id;
    info.pos = record.pos;
    info.bin = record.bin;
    info.flag = record.flag;
    return info;
}

}  // namespace kelp::bam
