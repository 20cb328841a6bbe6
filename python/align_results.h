#pragma once

#include <cstddef>
#include <cstdint>

namespace apps {

// One row of a read's alignment-results table as numpy sees it. The library
// lays its rows out byte for byte like this (320 bytes; the last two are
// filler), so rows are copied whole, never field by field.
struct AlignResults {
    char genome[254];
    char direction[2];
    std::int32_t genome_start;
    std::int32_t genome_end;
    std::int32_t strand_start;
    std::int32_t strand_end;
    std::int32_t num_events;
    std::int32_t num_insertions;
    std::int32_t num_deletions;
    std::int32_t num_aligned;
    std::int32_t num_correct;
    float coverage;
    float identity;
    float accuracy;
    std::int32_t score;
    std::int32_t bed_hits;
    std::int32_t mapping_quality;
    std::uint8_t secondary_alignment;
    std::uint8_t supplementary_alignment;
};

static_assert(sizeof(AlignResults) == 320, "an alignment row is 320 bytes");
static_assert(offsetof(AlignResults, direction) == 254, "alignment row layout");
static_assert(offsetof(AlignResults, genome_start) == 256, "alignment row layout");
static_assert(offsetof(AlignResults, coverage) == 292, "alignment row layout");
static_assert(offsetof(AlignResults, score) == 304, "alignment row layout");
static_assert(offsetof(AlignResults, secondary_alignment) == 316, "alignment row layout");
static_assert(offsetof(AlignResults, supplementary_alignment) == 317, "alignment row layout");

// Registers AlignResults as a numpy structured dtype. Call once, at module
// initialisation, before any array of it is made.
void register_align_results_dtype();

}  // namespace apps
