#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "data_model/motif_matcher.h"
#include "data_model/views.h"

namespace kelp::bam {

// The channels of a modified-base alphabet: its whitespace-separated tokens.
// Runs of blanks count as one separator; an empty or all-blank alphabet has no
// channels. Every piece of code that sizes a probability matrix from an
// alphabet uses this one rule, so the sizes always agree.
std::vector<std::string> modbase_channels(const std::string& alphabet);

// The sequence contexts in which modifications of each canonical base are
// reported, e.g. "_:XG:_:_" (C only where followed by G). Owns one motif
// matcher per base that has a context. Not copyable.
class BaseModContext {
public:
    BaseModContext();
    ~BaseModContext();
    BaseModContext(const BaseModContext&) = delete;
    BaseModContext& operator=(const BaseModContext&) = delete;

    // The base's motif (empty when it has no context) and the position of the
    // base within it. Throw std::out_of_range for anything but A, C, G, T.
    const std::string& motif(char base) const;
    size_t motif_offset(char base) const;

    // Gives the base at `offset` within `motif` that motif as its context.
    // Motifs shorter than two characters are ignored. Throws std::out_of_range
    // for an offset outside the motif, std::runtime_error
    // "Invalid motif string '<motif>'." when that base is not A, C, G or T, and
    // the matcher's std::out_of_range for a non-IUPAC letter; on any throw the
    // object is unchanged.
    void set_context(std::string motif, size_t offset);

    // Parses "A:C:G:T" fields, each "_" or a motif with X at the base's place.
    // Returns false on a wrong field count or a field without X; a field whose
    // motif does not compile throws the matcher's std::out_of_range. Either way
    // the object is unchanged: all four fields are taken over or none.
    bool decode(const std::string& context);

    // The context string of the current state; "_:_:_:_" when none.
    std::string encode() const;

    // 1 at every position of `sequence` that some base's motif marks, else 0.
    std::vector<int> get_sequence_mask(const std::string& sequence) const;

    // For bases without context, sets mask[p] to 1 where any modification
    // channel of the base at p reaches `threshold`. Never clears a position.
    // Throws std::out_of_range for a code channel before any canonical base.
    // REQUIRES: mask.size() == sequence.size(); probabilities hold
    // sequence.size() * channels.size() values.
    void update_mask(std::vector<int>& mask, const std::string& sequence,
                     const std::vector<std::string>& channels,
                     const kelp::data_wrappers::v2::VecView<unsigned char>& probabilities,
                     unsigned char threshold) const;

private:
    std::map<char, size_t> m_base_index;
    std::array<std::string, 4> m_motifs;
    std::array<size_t, 4> m_offsets;
    std::array<std::unique_ptr<MotifMatcher>, 4> m_matchers;
};

}  // namespace kelp::bam
