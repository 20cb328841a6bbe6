#include "apps/read.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "data_model/interfaces/read_alignment.h"

namespace {

using apps::Read;
using P = apps::Read::Priority;

void add_bytes(Read& read, dataset id, std::vector<unsigned char> bytes) {
    read.get_datasets()[id].own(std::move(bytes));
}

TEST(ReadTest, NewReadIsEmptyWithMediumPriority) {
    const Read read;
    EXPECT_EQ(read.get_read_tag(), 0u);
    EXPECT_EQ(read.get_sub_tag(), 0u);
    EXPECT_EQ(read.get_priority(), P::MEDIUM_PRIORITY);
    EXPECT_TRUE(read.get_metadata().empty());
    EXPECT_TRUE(read.get_datasets().empty());
    EXPECT_FALSE(read.has_alignment_data());
    EXPECT_EQ(read.get_by_name("read_id"), "");
}

TEST(ReadTest, PrioritiesStoredAndRefused) {
    struct Case {
        P start;
        P set;
        P expected;
    };
    const std::vector<Case> cases = {
            {P::MEDIUM_PRIORITY, P::LOW_PRIORITY, P::LOW_PRIORITY},
            {P::MEDIUM_PRIORITY, P::HIGH_PRIORITY, P::HIGH_PRIORITY},
            {P::HIGH_PRIORITY, P::INVALID_PRIORITY, P::MEDIUM_PRIORITY},
            {P::LOW_PRIORITY, static_cast<P>(5), P::LOW_PRIORITY},
            {P::HIGH_PRIORITY, static_cast<P>(-7), P::HIGH_PRIORITY},
    };
    for (const auto& c : cases) {
        Read read;
        read.set_priority(c.start);
        read.set_priority(c.set);
        EXPECT_EQ(read.get_priority(), c.expected) << static_cast<int>(c.set);
    }
    Read read;
    read.get_readholder().priority = static_cast<interfaces::ReadPriority>(7);
    EXPECT_EQ(read.get_priority(), P::INVALID_PRIORITY);
    read.get_readholder().priority = static_cast<interfaces::ReadPriority>(-2);
    EXPECT_EQ(read.get_priority(), P::INVALID_PRIORITY);
}

TEST(ReadTest, MovesHandTheHolderOver) {
    Read source;
    source.set_read_tag(4);
    source.get_metadata().insert("read_id", std::string("r4"));
    add_bytes(source, dataset::movement, {1, 0, 1});

    Read moved(std::move(source));
    EXPECT_EQ(moved.get_read_tag(), 4u);
    EXPECT_EQ(moved.get_by_name("read_id"), "r4");
    EXPECT_EQ(moved.get_datasets().at(dataset::movement).info.count, 3u);

    Read target;
    target.set_read_tag(9);
    target = std::move(moved);
    EXPECT_EQ(target.get_read_tag(), 4u);
    EXPECT_EQ(target.get_by_name("read_id"), "r4");
}

TEST(ReadTest, SetReadholderReplacesAndClearResets) {
    Read read;
    interfaces::ReadHolder holder;
    holder.read_tag = 9;
    holder.metadata.insert("read_id", std::string("nine"));
    read.set_readholder(std::move(holder));
    EXPECT_EQ(read.get_read_tag(), 9u);
    EXPECT_EQ(read.get_by_name("read_id"), "nine");

    add_bytes(read, dataset::movement, {1});
    read.set_priority(P::HIGH_PRIORITY);
    read.clear();
    EXPECT_EQ(read.get_read_tag(), 0u);
    EXPECT_EQ(read.get_priority(), P::MEDIUM_PRIORITY);
    EXPECT_TRUE(read.get_metadata().empty());
    EXPECT_TRUE(read.get_datasets().empty());
}

// A called read "CCCCCCCC" whose modified-base probabilities straddle the
// thresholds below: one byte per base for the canonical C and one for 5mC.
Read modified_read(bool with_moves) {
    Read read;
    read.get_metadata().insert("read_id", std::string("abc"));
    read.get_metadata().insert("strand_id", std::string("abc"));
    read.get_metadata().insert("base_mod_alphabet", std::string("C m"));
    read.get_datasets()[dataset::sequence].own(std::string("CCCCCCCC"));
    read.get_datasets()[dataset::qstring].own(std::string("++++++++"));
    const std::vector<unsigned char> probabilities = {0, 11, 12, 127, 128, 200, 254, 255};
    std::vector<unsigned char> bytes;
    for (const unsigned char p : probabilities) {
        bytes.push_back(0);
        bytes.push_back(p);
    }
    add_bytes(read, dataset::base_mod_probs, bytes);
    if (with_moves) {
        read.get_metadata().insert("model_stride", 5ull);
        add_bytes(read, dataset::movement, {1, 1, 1, 1, 1, 1, 1, 1});
    }
    return read;
}

TEST(ReadTest, ModifiedBaseThresholdFromPercentageHeldToTheByteRange) {
    struct Case {
        float percentage;
        unsigned char threshold;
    };
    // Outside 0..100 the percentage is held to the range instead of wrapping
    // round the byte (150 % would otherwise mean threshold 128).
    const std::vector<Case> cases = {{5.0f, 12},   {50.0f, 128}, {0.0f, 0},     {99.9f, 255}, {100.0f, 255},
                                     {150.0f, 255}, {400.0f, 255}, {-10.0f, 0}, {-300.0f, 0}};
    for (const bool moves : {false, true}) {
        const Read read = modified_read(moves);
        for (const auto& c : cases) {
            const auto expected = interfaces::ReadAlignmentHelper::extract_sam_and_bed_lines_from_read_holder(
                    read.get_readholder(), c.threshold, moves);
            const auto lines = read.extract_sam_and_bed_lines(c.percentage);
            ASSERT_EQ(lines.size(), expected.size()) << c.percentage;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                EXPECT_EQ(lines[i].sam_line, expected[i].sam_line) << c.percentage;
                EXPECT_EQ(lines[i].bed_lines, expected[i].bed_lines) << c.percentage;
            }
        }
        // The thresholds above give different lines, so the comparison tells
        // them apart.
        EXPECT_NE(read.extract_sam_and_bed_lines(150.0f)[0].sam_line,
                  read.extract_sam_and_bed_lines(50.0f)[0].sam_line);
        EXPECT_NE(read.extract_sam_and_bed_lines(-10.0f)[0].sam_line,
                  read.extract_sam_and_bed_lines(5.0f)[0].sam_line);
    }
    EXPECT_NE(modified_read(true).extract_sam_and_bed_lines(5.0f)[0].sam_line,
              modified_read(false).extract_sam_and_bed_lines(5.0f)[0].sam_line);
}

}  // namespace
