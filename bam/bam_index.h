#pragma once

#include <string>

#include "common/export.h"

namespace kelp::bam::util {

// Prints the whole content of a BAI index file on standard output, one
// flushed line at a time: per reference its bins with their chunks, the
// placed/unmapped counts of the pseudo-bin and the linear index, then the
// count of reads without coordinates when present. True when the whole index
// was walked, also when bytes follow it (reported as a printed line); false
// with a reason for a file that cannot be opened, is not an index, has a
// malformed pseudo-bin or ends part-way. Lines printed before a failure stay.
STRANDLINK_EXPORT bool print_index_from_file(const std::string& path, std::string& error);

}  // namespace kelp::bam::util
