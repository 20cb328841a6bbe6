#include "data_model/sam_tags.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kelp::data_wrappers::v2::VecView;
namespace util = kelp::bam::util;

VecView<unsigned char> view_of(std::vector<unsigned char>& bytes) {
    VecView<unsigned char> view;
    view.view(bytes.empty() ? nullptr : bytes.data(), bytes.size(), 1);
    return view;
}

struct ModbaseCase {
    std::string name;
    std::string sequence;
    std::string alphabet;
    std::string context;
    std::vector<unsigned char> probs;
    unsigned char threshold;
    std::string tags;
};

// Per position (C, m): (0,0) (55,200) (0,0) (0,0) (250,5) (0,0) over ACGTCG.
const std::vector<unsigned char> C_M_PROBS = {0, 0, 55, 200, 0, 0, 0, 0, 250, 5, 0, 0};

TEST(ModbaseTagsTest, WritesMmMlMnTags) {
    const std::vector<ModbaseCase> cases = {
        {"no context", "ACGTCG", "C m", "", C_M_PROBS, 128, "MM:Z:C+m.,0;\tML:B:C,200\tMN:i:6"},
        {"CG context", "ACGTCG", "C m", "_:XG:_:_", C_M_PROBS, 128,
         "MM:Z:C+m?,0,0;\tML:B:C,200,5\tMN:i:6"},
        {"threshold 0", "ACGTCG", "C m", "", C_M_PROBS, 0, "MM:Z:C+m.,0,0;\tML:B:C,200,5\tMN:i:6"},
        {"empty alphabet", "ACGT", "", "", {}, 0, "MM:Z:\tML:B:C\tMN:i:4"},
        {"numeric code", "CAC", "C 123", "", {0, 9, 0, 0, 0, 7}, 0,
         "MM:Z:C+123.,0,0;\tML:B:C,9,7\tMN:i:3"},
        // only h reaches the threshold at the second C, yet m reports it too
        {"shared mask", "CCA", "C m h", "", {0, 1, 2, 0, 10, 200, 0, 0, 0}, 150,
         "MM:Z:C+m.,1;C+h.,1;\tML:B:C,10,200\tMN:i:3"},
        // one-letter context motif: written with "." and every A reported
        {"one-letter motif", "AAC", "A a", "X:_:_:_", {0, 1, 0, 2, 0, 3}, 255,
         "MM:Z:A+a.,0,0;\tML:B:C,1,2\tMN:i:3"},
        {"two bases", "ACA", "A a C m", "", {0, 50, 0, 0, 0, 0, 0, 60, 0, 70, 0, 0}, 55,
         "MM:Z:A+a.,1;C+m.,0;\tML:B:C,70,60\tMN:i:3"},
        {"blank runs", "CA", "  C   m ", "", {0, 1, 0, 0}, 0, "MM:Z:C+m.,0;\tML:B:C,1\tMN:i:2"},
    };
    for (auto c : cases) {
        std::string out = "old";
        std::string error;
        ASSERT_TRUE(util::generate_modbase_string(out, c.sequence, c.alphabet, c.context,
                                                  view_of(c.probs), c.threshold, error))
            << c.name << ": " << error;
        EXPECT_EQ(out, c.tags) << c.name;
    }
}

TEST(ModbaseTagsTest, SixParameterFormUsesNoContext) {
    auto probs = C_M_PROBS;
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_modbase_string(out, "ACGTCG", "C m", view_of(probs), 128, error));
    EXPECT_EQ(out, "MM:Z:C+m.,0;\tML:B:C,200\tMN:i:6");
}

TEST(ModbaseTagsTest, ReportsErrors) {
    auto short_probs = C_M_PROBS;
    short_probs.pop_back();
    std::string out = "untouched";
    std::string error;
    EXPECT_FALSE(
        util::generate_modbase_string(out, "ACGTCG", "C m", "", view_of(short_probs), 0, error));
    EXPECT_EQ(error,
              "Mismatch between modbase_probs size and sequence length * num channels in "
              "modbase_alphabet!");
    EXPECT_EQ(out, "untouched");

    auto probs = C_M_PROBS;
    EXPECT_FALSE(util::generate_modbase_string(out, "ACGTCG", "C mx", "", view_of(probs), 0, error));
    EXPECT_EQ(error, "Invalid modified base code: mx");

    EXPECT_THROW(util::generate_modbase_string(out, "ACGTCG", "m C", "", view_of(probs), 0, error),
                 std::out_of_range);
    for (const std::string context : {"_:XG:_", "_:CG:_:_"}) {
        try {
            util::generate_modbase_string(out, "ACGTCG", "C m", context, view_of(probs), 0, error);
            ADD_FAILURE() << context;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid base modification context string.");
        }
    }
}

TEST(UnmappedSamLineTest, WritesElevenFields) {
    std::string out;
    std::string error;
    ASSERT_TRUE(util::make_unmapped_sam_line(out, "abc", "ACGT", "++++", error));
    EXPECT_EQ(out, "abc\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t++++");
    ASSERT_TRUE(util::make_unmapped_sam_line(out, "abc", "", "", error));
    EXPECT_EQ(out, "abc\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*");

    out = "untouched";
    EXPECT_FALSE(util::make_unmapped_sam_line(out, "abc", "ACGT", "+++", error));
    EXPECT_EQ(error, "sequence and qscore do not match size!");
    EXPECT_FALSE(util::make_unmapped_sam_line(out, "", "ACGT", "++++", error));
    EXPECT_EQ(error, "Empty read_name string provided!");
    EXPECT_EQ(out, "untouched");
}

TEST(MoveTableTest, SplitsLargeMovesIntoInt8Runs) {
    const std::vector<std::tuple<std::vector<unsigned char>, signed char, std::string>> cases = {
        {{1, 0, 200}, 5, "mv:B:c,5,1,0,127,73"},
        {{127}, 6, "mv:B:c,6,127,0"},
        {{126}, 6, "mv:B:c,6,126"},
        {{255}, 1, "mv:B:c,1,127,127,1"},
        {{254}, 1, "mv:B:c,1,127,127,0"},
        {{1}, -2, "mv:B:c,-2,1"},
    };
    for (auto [moves, stride, text] : cases) {
        std::string out;
        std::string error;
        ASSERT_TRUE(util::generate_move_table_string(out, view_of(moves), stride, error));
        EXPECT_EQ(out, text);
    }
    std::vector<unsigned char> empty;
    std::string out = "untouched";
    std::string error;
    EXPECT_FALSE(util::generate_move_table_string(out, view_of(empty), 5, error));
    EXPECT_EQ(error, "Zero length move table provided to generate_move_table_string");
    EXPECT_EQ(out, "untouched");
}

TEST(MoveTableTest, ReadsThroughViewStride) {
    std::vector<unsigned char> interleaved = {1, 9, 0, 9, 2, 9};
    VecView<unsigned char> view;
    view.view(interleaved.data(), 3, 2);
    std::string out;
    std::string error;
    ASSERT_TRUE(util::generate_move_table_string(out, view, 4, error));
    EXPECT_EQ(out, "mv:B:c,4,1,0,2");
}

}  // namespace
