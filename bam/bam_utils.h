#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bam/bam_record.h"
#include "common/export.h"

// From SAM text to BAM records and BGZF blocks, for programs that write a
// coordinate-sorted, indexed BAM file: per line they get the compressed
// blocks, the facts an index needs and the sorting key, order the lines by
// key and write the blocks. Reading SAM headers and writing the BAM header
// are left to the caller.
namespace kelp::bam {

// The header of an alignment file; only the reference list is used here.
struct AlignmentFileHeader {
    std::vector<RefSeq> ref_seqs;
};

namespace util {

// Fills `record` from one SAM line (no line terminator). The record is
// cleared first, so a record reused for the next line keeps nothing of the
// previous one. Columns are separated by whitespace; optional fields by tabs.
// Refuses with a reason: a missing or unconvertible column, QNAME over 254
// characters, POS or PNEXT outside 0..2^31-1, MAPQ outside 0..255, a CIGAR
// operation without a count or with a count above 2^28-1, an unknown CIGAR
// or base letter, a CIGAR whose query length (M, I, S, = and X) differs from
// the length of SEQ (unless SEQ or CIGAR is "*"), QUAL of another length than
// SEQ (or QUAL given without SEQ), optional fields that are malformed, of an
// unknown type, or whose values are empty, not numbers, or out of range for
// their type, and a "CG" array of subtype I holding a word that is no CIGAR
// operation. A B array of an unknown subtype is kept as it stands when it has
// no elements (serialise refuses it later). On failure the record may be
// partly filled. CIGARs of 65536 operations or more are
// stored in a "CG" field of subtype I behind the placeholder
// "<sequence length>S<reference span>N".
STRANDLINK_EXPORT bool parse_sam_line_to_bam_record(const std::string& line, BamRecord& record,
                                                    const std::vector<RefSeq>& ref_seqs,
                                                    std::string& error);

// The coordinate sorting key of a SAM line (calculate_sorting_key of its
// reference index and 0-based position) without building a record. Needs
// QNAME and RNAME; FLAG is not read, and a POS that is missing or not in
// 0..2^31-1 reads as 0 (no position: the key with all bits set).
STRANDLINK_EXPORT bool parse_sam_line_get_sorting_key(const std::string& line, uint64_t& key,
                                                      const std::vector<RefSeq>& ref_seqs,
                                                      std::string& error);

// Parses `line`, serialises the record and appends its BGZF blocks to
// `blocks`: every record starts a block of its own. `index_info` and `key`
// describe the record. A non-empty `error` on entry counts as a failed parse,
// so callers pass an empty one.
STRANDLINK_EXPORT bool pack_sam_line_to_BGZF_blocks(std::vector<char>& blocks,
                                                    BamRecordIndexFileInfo& index_info,
                                                    uint64_t& key, const std::string& line,
                                                    const AlignmentFileHeader& header,
                                                    std::string& error);

// As above for a record that is already built.
STRANDLINK_EXPORT bool pack_bam_record_to_BGZF_blocks(std::vector<char>& blocks,
                                                      BamRecordIndexFileInfo& index_info,
                                                      uint64_t& key, const BamRecord& record,
                                                      std::string& error);

}  // namespace util
}  // namespace kelp::bam
