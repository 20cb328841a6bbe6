// GCC 12 reports false "may be used uninitialized" warnings inside <regex>'s
// compiler when building with the address sanitizer; the code it flags is the
// standard library's own.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "data_model/motif_matcher.h"

#include <unordered_map>

namespace kelp::bam {

namespace {

// One IUPAC code to the regular-expression fragment it stands for. Each
// fragment matches exactly one character, so every match has the motif's length.
const std::unordered_map<char, std::string> IUPAC_CODES = {
    {'A', "A"},      {'C', "C"},      {'G', "G"},      {'T', "[TU]"},   {'R', "[AG]"},
    {'Y', "[CTU]"},  {'S', "[GC]"},   {'W', "[ATU]"},  {'K', "[GTU]"},  {'M', "[AC]"},
    {'B', "[CGTU]"}, {'D', "[AGTU]"}, {'H', "[ACTU]"}, {'V', "[ACG]"},  {'N', "[ACGTU]"},
};

std::string build_pattern(const std::string& motif) {
    std::string pattern = "(";
    for (char code : motif) {
        pattern += IUPAC_CODES.at(code);
    }
    pattern += ")";
    return pattern;
}

}  // namespace

MotifMatcher::MotifMatcher(const std::string& motif, size_t motif_offset)
        : m_pattern(build_pattern(motif), std::regex::ECMAScript),
          m_motif_offset(motif_offset) {}

std::vector<size_t> MotifMatcher::get_motif_hits(const std::string& sequence) const {
    std::vector<size_t> hits;
    auto search_start = sequence.cbegin();
    std::smatch match;
    while (search_start != sequence.cend() &&
           std::regex_search(search_start, sequence.cend(), match, m_pattern)) {
        // Only an empty motif gives an empty match (every code matches one
        // character); it would match everywhere, so such a motif marks nothing.
        if (match.length(0) == 0) {
            break;
        }
        const auto match_start = match[0].first;
        hits.push_back(static_cast<size_t>(match_start - sequence.cbegin()) + m_motif_offset);
        // Restart one past the match start so overlapping occurrences are found.
        search_start = match_start + 1;
    }
    return hits;
}

}  // namespace kelp::bam
