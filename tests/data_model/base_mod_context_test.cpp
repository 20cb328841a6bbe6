#include "data_model/base_mod_context.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kelp::bam::BaseModContext;
using kelp::bam::modbase_channels;

TEST(ModbaseChannelsTest, SplitsAlphabetIntoTokens) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"A C m h G T", {"A", "C", "m", "h", "G", "T"}},
        {"", {}},
        {"   ", {}},
        {"  C   m ", {"C", "m"}},
        {"C\tm\nh", {"C", "m", "h"}},
        {"CG 123", {"CG", "123"}},
    };
    for (const auto& [alphabet, channels] : cases) {
        EXPECT_EQ(modbase_channels(alphabet), channels) << "'" << alphabet << "'";
    }
}

TEST(BaseModContextTest, FreshContextHasNoMotifs) {
    const BaseModContext context;
    EXPECT_EQ(context.encode(), "_:_:_:_");
    for (char base : std::string("ACGT")) {
        EXPECT_EQ(context.motif(base), "");
        EXPECT_EQ(context.motif_offset(base), 0u);
    }
    EXPECT_EQ(context.get_sequence_mask("ACGT"), std::vector<int>(4, 0));
    EXPECT_THROW(context.motif('N'), std::out_of_range);
    EXPECT_THROW(context.motif_offset('\0'), std::out_of_range);
}

TEST(BaseModContextTest, DecodesAndEncodesContexts) {
    struct Case {
        std::string context;
        std::string c_motif;
        size_t c_offset;
        std::string a_motif;
    };
    const std::vector<Case> cases = {
        {"_:XG:_:_", "CG", 0, ""},
        {"_:GXT:_:_", "GCT", 1, ""},
        {"X:_:_:_", "", 0, "A"},  // a one-letter motif is accepted by decode
        {"XA:RX:_:_", "RC", 1, "AA"},
    };
    for (const auto& c : cases) {
        BaseModContext context;
        ASSERT_TRUE(context.decode(c.context)) << c.context;
        EXPECT_EQ(context.encode(), c.context);
        EXPECT_EQ(context.motif('C'), c.c_motif);
        EXPECT_EQ(context.motif_offset('C'), c.c_offset);
        EXPECT_EQ(context.motif('A'), c.a_motif);
    }
}

TEST(BaseModContextTest, RefusedContextLeavesObjectUnchanged) {
    BaseModContext context;
    ASSERT_TRUE(context.decode("_:XG:_:_"));
    // wrong field count, a field without X: refused
    for (const std::string refused : {"_:XG:_", "_:_:_:_:_", "", "_:CG:_:_", "XA:_:CG:_"}) {
        EXPECT_FALSE(context.decode(refused)) << refused;
        EXPECT_EQ(context.encode(), "_:XG:_:_") << refused;
    }
    // a motif letter outside the IUPAC codes (a second X too) throws
    for (const std::string bad : {"XZ:_:_:_", "_:XX:_:_", "XA:XQ:_:_"}) {
        EXPECT_THROW(context.decode(bad), std::out_of_range) << bad;
        EXPECT_EQ(context.encode(), "_:XG:_:_") << bad;
        EXPECT_EQ(context.get_sequence_mask("ACGA"), (std::vector<int>{0, 1, 0, 0})) << bad;
    }
    ASSERT_TRUE(context.decode("_:_:_:_"));
    EXPECT_EQ(context.encode(), "_:_:_:_");
    EXPECT_EQ(context.get_sequence_mask("ACGA"), std::vector<int>(4, 0));
}

TEST(BaseModContextTest, SetContextValidatesBeforeChanging) {
    BaseModContext context;
    context.set_context("C", 0);  // too short: ignored
    EXPECT_EQ(context.encode(), "_:_:_:_");
    context.set_context("CG", 0);
    EXPECT_EQ(context.encode(), "_:XG:_:_");
    EXPECT_THROW(context.set_context("CG", 5), std::out_of_range);
    try {
        context.set_context("RG", 0);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid motif string 'RG'.");
    }
    EXPECT_THROW(context.set_context("CZ", 0), std::out_of_range);
    EXPECT_EQ(context.encode(), "_:XG:_:_");
    context.set_context("GCA", 1);
    EXPECT_EQ(context.encode(), "_:GXA:_:_");
    EXPECT_EQ(context.get_sequence_mask("GCAGCGCA"),
              (std::vector<int>{0, 1, 0, 0, 0, 0, 1, 0}));
}

TEST(BaseModContextTest, MaskMergesAllBasesMotifs) {
    BaseModContext context;
    ASSERT_TRUE(context.decode("XT:XG:_:_"));
    EXPECT_EQ(context.get_sequence_mask("ATCGACGT"), (std::vector<int>{1, 0, 1, 0, 0, 1, 0, 0}));
    EXPECT_TRUE(context.get_sequence_mask("").empty());
}

TEST(BaseModContextTest, UpdateMaskMarksBasesWithoutContextAtThreshold) {
    BaseModContext context;
    ASSERT_TRUE(context.decode("_:_:XA:_"));
    const std::string sequence = "CAGACG";
    const std::vector<std::string> channels = {"C", "m", "G", "x"};
    // per position: C, m, G, x
    std::vector<unsigned char> probs = {
        0, 200, 0, 0,  // C: m reaches the threshold
        0, 255, 0, 0,  // A: not a C, ignored
        0, 0, 0, 0,    // G followed by A: motif, unaffected by update
        0, 0, 0, 0,    // A
        0, 99, 0, 0,   // C: below threshold
        0, 0, 0, 255,  // G: has a context, so its channel x is ignored
    };
    kelp::data_wrappers::v2::VecView<unsigned char> view;
    view.view(probs.data(), probs.size(), 1);
    std::vector<int> mask = context.get_sequence_mask(sequence);
    EXPECT_EQ(mask, (std::vector<int>{0, 0, 1, 0, 0, 0}));
    context.update_mask(mask, sequence, channels, view, 100);
    EXPECT_EQ(mask, (std::vector<int>{1, 0, 1, 0, 0, 0}));
    context.update_mask(mask, sequence, channels, view, 99);
    EXPECT_EQ(mask, (std::vector<int>{1, 0, 1, 0, 1, 0}));
    // never clears, and an empty channel list does nothing
    context.update_mask(mask, sequence, {}, view, 255);
    EXPECT_EQ(mask, (std::vector<int>{1, 0, 1, 0, 1, 0}));
    // a code before any canonical base
    EXPECT_THROW(context.update_mask(mask, sequence, {"m", "C"}, view, 0), std::out_of_range);
}

}  // namespace
