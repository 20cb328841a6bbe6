#pragma once

#include <cstddef>
#include <regex>
#include <string>
#include <vector>

namespace kelp::bam {

// Finds every occurrence of a sequence motif written in IUPAC nucleotide codes.
// Codes that stand for T also admit U, so one motif serves DNA and RNA reads.
// Sequence letters are matched as given: lower-case letters never match.
//
// Immutable after construction; get_motif_hits may run on several threads at once.
class MotifMatcher {
public:
    // Compiles the motif. `motif_offset` is the position of the base of interest
    // within the motif; it is added to every hit and not checked against the motif.
    // Throws std::out_of_range for a letter that is not an upper-case IUPAC code
    // (U, X and lower-case letters included).
    MotifMatcher(const std::string& motif, size_t motif_offset);

    // Ascending start positions of every occurrence of the motif in `sequence`,
    // overlapping ones included, each moved by the motif offset. Only the given
    // strand is searched. An empty motif finds nothing.
    std::vector<size_t> get_motif_hits(const std::string& sequence) const;

private:
    std::regex m_pattern;
    size_t m_motif_offset;
};

}  // namespace kelp::bam
