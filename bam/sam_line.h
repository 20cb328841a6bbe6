#pragma once

#include <string>
#include <vector>

#include "bam/bam_record.h"
#include "common/export.h"

namespace kelp::bam::util {

// Writes the SAM text of `record` into `record.sam_line` (no line terminator),
// naming references from `ref_seqs`. This library's own choices: the TLEN
// column is always 0, and floats are written with six decimals less their
// trailing zeros (1.0 gives "1."). A CIGAR that is only the long-CIGAR
// placeholder (kS mN with k at least the sequence length) is replaced by the
// words of a "CG" field of subtype I, which is then left out of the line.
//
// Returns false, leaving `error` as it was, for a reference index outside
// `ref_seqs`; false with a reason for an unknown optional-field letter or
// array subtype, an array whose data is shorter than its count, a CIGAR op
// code above 8, a negative `l_seq`, or `seq` or `qual` shorter than `l_seq`
// requires (an empty `qual` stands for absent qualities). A "CG" field that
// cannot hold CIGAR words (another subtype, or data not of 4 bytes per
// element) is written as an ordinary field. Throws std::bad_any_cast when an
// optional field holds another type than its letter names.
STRANDLINK_EXPORT bool update_sam_line(const std::vector<RefSeq>& ref_seqs, BamRecord& record,
                                       std::string& error);

}  // namespace kelp::bam::util
