#include "data_model/client_options.h"

#include <gtest/gtest.h>

#include <vector>

using client_options::RegisteredClientOptions;

namespace {

TEST(RegisteredClientOptionsTest, ListsTheFourteenOptionsInOrderWithTheirTypes) {
    const std::vector<std::pair<std::string, std::type_index>> expected{
        {"barcode_kits", typeid(std::string)},
        {"require_barcodes_both_ends", typeid(bool)},
        {"enable_trim_barcodes", typeid(bool)},
        {"trim_adapters", typeid(bool)},
        {"trim_primers", typeid(bool)},
        {"align_ref", typeid(std::string)},
        {"bed_file", typeid(std::string)},
        {"minimap_opt_string", typeid(std::string)},
        {"move_enabled", typeid(bool)},
        {"barcode_list", typeid(std::string)},
        {"pair_by_channel", typeid(bool)},
        {"chunk_size", typeid(unsigned long long)},
        {"estimate_poly_a", typeid(bool)},
        {"poly_a_config", typeid(std::string)},
    };
    const RegisteredClientOptions options;
    ASSERT_EQ(options.m_option_names.size(), expected.size());
    ASSERT_EQ(options.m_option_types.size(), expected.size());
    auto name = options.m_option_names.begin();
    for (const auto& [expected_name, expected_type] : expected) {
        EXPECT_EQ(*name++, expected_name);
        EXPECT_EQ(options.m_option_types.at(expected_name), expected_type) << expected_name;
    }
}

TEST(RegisteredClientOptionsTest, ConnectionParametersAreNotOptions) {
    const RegisteredClientOptions options;
    EXPECT_EQ(options.m_option_types.count("priority"), 0u);
    EXPECT_EQ(options.m_option_types.count("client_name"), 0u);
    EXPECT_NE(options.m_option_types.at("chunk_size"), std::type_index(typeid(unsigned int)));
    EXPECT_NE(options.m_option_types.at("chunk_size"), std::type_index(typeid(unsigned long)));
}

TEST(RegisteredClientOptionsTest, EveryRegistryIsTheSame) {
    const RegisteredClientOptions a;
    const RegisteredClientOptions b;
    EXPECT_EQ(a.m_option_names, b.m_option_names);
    EXPECT_EQ(a.m_option_types, b.m_option_types);
}

}  // namespace
