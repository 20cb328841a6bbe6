#include "data_model/motif_matcher.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kelp::bam::MotifMatcher;

struct MotifCase {
    std::string motif;
    size_t offset;
    std::string sequence;
    std::vector<size_t> hits;
};

TEST(MotifMatcherTest, FindsEveryOccurrenceMovedByOffset) {
    const std::vector<MotifCase> cases = {
        {"CG", 0, "ACGCGT", {1, 3}},
        {"CG", 1, "ACGCGT", {2, 4}},
        {"AA", 0, "AAAA", {0, 1, 2}},        // overlapping occurrences
        {"CG", 0, "acgt", {}},               // lower-case letters never match
        {"TA", 0, "UA", {0}},                // T admits U
        {"N", 0, "ACGTU", {0, 1, 2, 3, 4}},
        {"CGT", 0, "CG", {}},                // sequence shorter than the motif
        {"CG", 0, "", {}},
        {"YTA", 1, "CTATTAGTA", {1, 4}},
        {"R", 0, "AUGC", {0, 2}},            // R admits no U
        {"W", 0, "AUGC", {0, 1}},
        {"CG", 7, "CG", {7}},                // offset is not checked against the motif
    };
    for (const auto& c : cases) {
        const MotifMatcher matcher(c.motif, c.offset);
        EXPECT_EQ(matcher.get_motif_hits(c.sequence), c.hits)
            << "motif " << c.motif << " offset " << c.offset << " on '" << c.sequence << "'";
    }
}

TEST(MotifMatcherTest, EveryCodeMatchesExactlyItsBases) {
    // code -> the letters of "ACGTU" it admits
    const std::vector<std::pair<std::string, std::vector<size_t>>> codes = {
        {"A", {0}},          {"C", {1}},          {"G", {2}},       {"T", {3, 4}},
        {"R", {0, 2}},       {"Y", {1, 3, 4}},    {"S", {1, 2}},    {"W", {0, 3, 4}},
        {"K", {2, 3, 4}},    {"M", {0, 1}},       {"B", {1, 2, 3, 4}},
        {"D", {0, 2, 3, 4}}, {"H", {0, 1, 3, 4}}, {"V", {0, 1, 2}}, {"N", {0, 1, 2, 3, 4}},
    };
    for (const auto& [code, hits] : codes) {
        EXPECT_EQ(MotifMatcher(code, 0).get_motif_hits("ACGTU"), hits) << code;
    }
}

TEST(MotifMatcherTest, RejectsLettersOutsideTheCodeTable) {
    for (const std::string motif : {"CX", "U", "cg", "C-G", "X"}) {
        EXPECT_THROW(MotifMatcher(motif, 0), std::out_of_range) << motif;
    }
}

TEST(MotifMatcherTest, EmptyMotifFindsNothing) {
    EXPECT_TRUE(MotifMatcher("", 0).get_motif_hits("ACGT").empty());
    EXPECT_TRUE(MotifMatcher("", 0).get_motif_hits("").empty());
}

}  // namespace
