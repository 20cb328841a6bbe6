#include "data_model/barcode_naming.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace bn = kelp::util::barcode_naming;

struct NameCase {
    std::string pattern;
    int index;
    bool a_variant;
    std::string name;
};

TEST(BarcodeNamingTest, FormatsIndexIntoPattern) {
    const std::vector<NameCase> cases = {
        {"barcode%02i", 5, false, "barcode05"},
        {"barcode%02i", 12, true, "barcode12a"},
        {"barcode%02i", 12, false, "barcode12"},
        {"barcode%02i", 5, true, "barcode05"},
        {"barcode%02i", 123, false, "barcode123"},
        {"%i", 7, false, "7"},
        {"%3i", 7, false, "  7"},
        {"BC%02i_x", 3, false, "BC03_x"},
        {"bc%i", -4, false, "bc-4"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bn::generate_normalised_id(c.pattern, c.index, c.a_variant), c.name)
            << c.pattern << " " << c.index;
    }
}

TEST(BarcodeNamingTest, RejectsInvalidPatterns) {
    const std::vector<std::string> patterns = {
        "barcode%d", "barcode%02i%i", "barcode%", "", "barcode", "%-2i", "%.2i", "%%i",
        "bc%s", "%i%",
        // field widths beyond the cap: a server-supplied pattern must not make us
        // allocate without bound
        "%65i", "%0100i", "%999999999i",
    };
    for (const auto& pattern : patterns) {
        try {
            bn::generate_normalised_id(pattern, 1, false);
            ADD_FAILURE() << "accepted '" << pattern << "'";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid normalised pattern: " + pattern);
        }
    }
    EXPECT_EQ(bn::generate_normalised_id("%64i", 1, false).size(), 64u);
    EXPECT_EQ(bn::generate_normalised_id("%0064i", 1, false), std::string(63, '0') + "1");
}

TEST(BarcodeNamingTest, DualNameTakesLastTwoCharactersOfEach) {
    EXPECT_EQ(bn::generate_dual_normalised_id("barcode05", "barcode12"),
              "barcode_external05_internal12");
    EXPECT_EQ(bn::generate_dual_normalised_id("05", "12"), "barcode_external05_internal12");
    EXPECT_EQ(bn::generate_dual_normalised_id("barcode12a", "barcode01"),
              "barcode_external2a_internal01");
    EXPECT_THROW(bn::generate_dual_normalised_id("5", "12"), std::out_of_range);
    EXPECT_THROW(bn::generate_dual_normalised_id("05", ""), std::out_of_range);
}

struct ExtractCase {
    std::string name;
    bool with_pattern;
    bool ok;
    std::string outer;
    std::string inner;
};

TEST(BarcodeNamingTest, ExtractsDualBarcodes) {
    const std::string pattern = "barcode%02i";
    const std::vector<ExtractCase> cases = {
        {"barcode_external05_internal12", true, true, "barcode05", "barcode12"},
        {"barcode_external05_internal12", false, true, "external05", "internal12"},
        {"barcode_external12a_internal05a", true, true, "barcode12a", "barcode05"},
        {"barcode_external007_internal1", true, true, "barcode07", "barcode01"},
        {"barcode_externalXY_internal12", false, true, "externalXY", "internal12"},
        {"barcode_externalXY_internal12", true, false, "", ""},
        {"barcode_external05", true, false, "", ""},
        {"barcode_external05_internal12_x", true, false, "", ""},
        {"Barcode_external05_internal12", true, false, "", ""},
        {"barcode_external_internal12", false, false, "", ""},
        {"barcode_external05_internal", false, false, "", ""},
        {"barcode_externa05_internal12", false, false, "", ""},
        {"barcode_externala_internal12", true, false, "", ""},
        {"barcode_external1b_internal12", true, false, "", ""},
        {"barcode_external+1_internal12", true, false, "", ""},
        {"barcode_external 1_internal12", true, false, "", ""},
        {"barcode_external99999999999_internal12", true, false, "", ""},
        {"barcode_external05_internal99999999999", true, false, "", ""},
        {"", true, false, "", ""},
    };
    for (const auto& c : cases) {
        std::string outer = "untouched-outer";
        std::string inner = "untouched-inner";
        const bool ok =
            bn::extract_dual_barcodes(c.name, c.with_pattern ? &pattern : nullptr, outer, inner);
        EXPECT_EQ(ok, c.ok) << c.name;
        EXPECT_EQ(outer, c.ok ? c.outer : "untouched-outer") << c.name;
        EXPECT_EQ(inner, c.ok ? c.inner : "untouched-inner") << c.name;
    }
}

TEST(BarcodeNamingTest, RoundTripsThroughDualName) {
    const std::string pattern = "barcode%02i";
    for (int outer_index : {1, 5, 12, 96}) {
        for (int inner_index : {1, 12, 24}) {
            const auto outer = bn::generate_normalised_id(pattern, outer_index, false);
            const auto inner = bn::generate_normalised_id(pattern, inner_index, false);
            std::string got_outer, got_inner;
            ASSERT_TRUE(bn::extract_dual_barcodes(bn::generate_dual_normalised_id(outer, inner),
                                                  &pattern, got_outer, got_inner));
            EXPECT_EQ(got_outer, outer);
            EXPECT_EQ(got_inner, inner);
        }
    }
}

TEST(BarcodeNamingTest, InvalidPatternThrowsBeforeOutputsChange) {
    const std::string bad = "barcode%d";
    std::string outer = "o";
    std::string inner = "i";
    try {
        bn::extract_dual_barcodes("barcode_external05_internal12", &bad, outer, inner);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid normalised pattern: barcode%d");
    }
    EXPECT_EQ(outer, "o");
    EXPECT_EQ(inner, "i");
}

}  // namespace
