#pragma once

#include <any>
#include <cstdint>
#include <string>
#include <vector>

#include "common/export.h"

// One alignment record of a BAM file, its binary codec and its coordinate
// order. The byte layout and the 4-bit base and CIGAR codes are those of the
// BAM format. Operations report failure by a false result and a reason in a
// caller's error string, which they never clear on success.
namespace kelp::bam {

namespace util {

extern STRANDLINK_EXPORT const std::string BAM_MAGIC_WORD;  // "BAM\1"
extern STRANDLINK_EXPORT const std::string BAI_MAGIC_WORD;  // "BAI\1"
extern STRANDLINK_EXPORT const std::string CIGAR_OP_CODES;  // "MIDNSHP=X": op code = index
extern STRANDLINK_EXPORT const std::string SEQ_CODES;       // "=ACMGRSVTWYHKDBN": base code = index

// The reference index (as unsigned 32 bits) in the upper half, ORed with the
// position sign-extended to 64 bits: a position of -1 gives all bits set, so
// records without a position sort after all others.
STRANDLINK_EXPORT uint64_t calculate_sorting_key(int32_t ref_id, int32_t pos);

}  // namespace util

namespace io {

// A window on bytes owned by the caller. Reads start at `position` and
// advance it.
struct IOBuffer {
    const char* data = nullptr;
    uint64_t size = 0;
    uint64_t position = 0;
};

}  // namespace io

// A B-type optional field: `count` elements of `subtype` (c, C, s, S, i, I or
// f) stored as their little-endian bytes, as in the file.
struct AuxNumericalArray {
    char subtype = 0;
    uint32_t count = 0;
    std::vector<char> data;
};

// One optional field. `value` holds the type that `type` names: A char,
// c signed char, C unsigned char, s int16_t, S uint16_t, i int32_t,
// I uint32_t, f float, Z and H std::string (without NUL), B AuxNumericalArray.
struct AuxData {
    std::string tag;
    char type = 0;
    std::any value;
};

// One reference sequence of an alignment header; its index in the list is
// its reference index.
struct RefSeq {
    std::string name;
    uint64_t length = 0;
};

// What an index writer needs of one record.
struct STRANDLINK_EXPORT BamRecordIndexFileInfo {
    uint64_t ref_length = 0;
    int32_t ref_id = 0;
    int32_t pos = 0;
    uint16_t bin = 0;
    uint16_t flag = 0;

    // By sorting key.
    bool operator<(const BamRecordIndexFileInfo& other) const;
};

class STRANDLINK_EXPORT BamRecord {
  public:
    int32_t ref_id = 0;
    int32_t pos = 0;
    std::string read_name;  // without its NUL
    uint8_t mapq = 0;
    uint16_t bin = 0;
    uint16_t flag = 0;
    int32_t l_seq = 0;
    int32_t next_ref_id = 0;
    int32_t next_pos = 0;
    int32_t tlen = 0;
    std::vector<uint32_t> cigar;  // (length << 4) | op code
    uint64_t ref_length = 0;      // summed lengths of M, D, N, = and X
    std::vector<uint8_t> seq;     // two 4-bit codes per byte, first in the high nibble
    std::vector<char> qual;       // Phred values without offset; 0xFF when absent
    std::vector<AuxData> aux_data;
    std::string sam_line;

    // Back to the default state (numbers 0, strings and lists empty), keeping
    // the storage of strings and lists for reuse.
    void clear();

    // Decodes the alignment block (block_size included) at `buffer.position`
    // and fills `sam_line` against `ref_seqs`. On false the record is
    // unchanged and `error` holds the reason; `buffer.position` is left where
    // reading stopped. Every length in the block is checked against the block
    // and the buffer before use.
    bool deserialise(io::IOBuffer& buffer, const std::vector<RefSeq>& ref_seqs,
                     std::string& error);

    // Replaces `out` with exactly one alignment block. Refuses (false with a
    // reason, `out` untouched) a record the format cannot carry, rather than
    // truncate it: a name over 254 characters, more than 65535 CIGAR words,
    // sequence or quality bytes that do not match `l_seq`, an optional field
    // whose type letter or array subtype is unknown, an array whose data does
    // not match its count, or a name or text holding a NUL. Throws
    // std::bad_any_cast when an optional field holds another type than its
    // letter names.
    bool serialise(std::vector<char>& out, std::string& error) const;

    uint64_t sorting_key() const;

    // Reference index (unsigned, so -1 last), then position, then forward
    // strand before reverse.
    bool operator<(const BamRecord& other) const;
};

STRANDLINK_EXPORT BamRecordIndexFileInfo extract_index_file_info(const BamRecord& record);

// Size in bytes of one element of a B array of `subtype`; 0 for an unknown
// subtype.
STRANDLINK_EXPORT uint32_t aux_array_element_size(char subtype);

}  // namespace kelp::bam
