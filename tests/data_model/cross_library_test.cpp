// Objects made by one shared object are read, changed and destroyed by
// another that carries its own copy of the data-model code, the way the
// library and the Python module exchange reads. Run under the address
// sanitizer this also catches frees through the wrong code.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/data_model/cross_library/cross_library.h"

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::Metadata;

namespace {

// File name of the shared object whose code made this owner (its vtable's home).
std::string home_of(const DataSetData::OwnerBase* owner) {
    const void* vtable = *reinterpret_cast<const void* const*>(owner);
    Dl_info info{};
    if (dladdr(vtable, &info) == 0 || info.dli_fname == nullptr) {
        return "<unknown>";
    }
    return info.dli_fname;
}

bool made_by(const DataSetData& data, const char* side) {
    return data.owner && home_of(data.owner.get()).find(side) != std::string::npos;
}

TEST(CrossLibraryTest, MetadataMadeInOneObjectIsReadAndDestroyedInAnother) {
    Metadata* metadata = cross_library::maker_create_metadata();
    EXPECT_EQ(cross_library::user_describe_metadata(*metadata),
              "read-from-maker-with-a-long-identifier|17|3|123456789012|4000|1|1|"
              "{ (channel=17), (duplex=1), (duration=123456789012), (mux=3), (ratio=0.250000), "
              "(read_id=read-from-maker-with-a-long-identifier), (sampling_rate=4000.000000) }");
    // And typed access in this object agrees with both.
    EXPECT_EQ(metadata->get<read_data::duration>(), 123456789012ull);
    cross_library::user_destroy_metadata(metadata);
}

TEST(CrossLibraryTest, OwningDatasetsCrossAndDieOnTheOtherSide) {
    struct Case {
        DataSetType type;
        std::string expected;
    };
    const Case cases[] = {
        {DataSetType::string, "ACGTACGTACGTACGTACGTACGTACGTACGTACGT (maker)"},
        {DataSetType::int16, "10,-20,30, (maker)"},
        {DataSetType::table, "2 rows, value=99 (maker)"},
    };
    for (const auto& c : cases) {
        DataSetData* made = cross_library::maker_create_owning_dataset(c.type);
        ASSERT_TRUE(made_by(*made, "maker")) << home_of(made->owner.get());
        EXPECT_EQ(cross_library::user_describe_dataset(*made), c.expected);

        // The clone is made by the maker's owner code, through the user's copy_data.
        DataSetData* copy = cross_library::user_copy_dataset(*made);
        EXPECT_TRUE(made_by(*copy, "maker"));
        EXPECT_NE(copy->data, made->data);
        if (c.type == DataSetType::string) {
            ASSERT_NE(copy->str, nullptr);
            EXPECT_EQ(copy->data, copy->str->data());
        }
        cross_library::user_destroy_dataset(made);
        EXPECT_EQ(cross_library::user_describe_dataset(*copy), c.expected);
        cross_library::user_destroy_dataset(copy);
    }
}

TEST(CrossLibraryTest, ReadMadeInOneObjectIsChangedAndDestroyedInAnother) {
    interfaces::ReadHolder* read = cross_library::maker_create_read();
    ASSERT_EQ(read->datasets.size(), 3u);
    EXPECT_TRUE(made_by(read->datasets.at(dataset::sequence), "maker"));

    cross_library::user_change_read(*read);
    EXPECT_EQ(read->metadata.get<read_data::channel>(), 17 + 1);
    EXPECT_EQ(read->metadata.get<read_data::strand_id>(),
              "changed-by-user-with-a-long-identifier");
    const DataSetData& sequence = read->datasets.at(dataset::sequence);
    EXPECT_TRUE(made_by(sequence, "user")) << home_of(sequence.owner.get());
    EXPECT_EQ(sequence.get_string(), std::string(36, 'T'));
    EXPECT_EQ(read->datasets.count(dataset::raw_data), 0u);

    // Move the read into this object's own holder, then let the user destroy
    // an empty husk and this object destroy the mixed content.
    auto mine = std::make_unique<interfaces::ReadHolder>(std::move(*read));
    cross_library::user_destroy_read(read);
    EXPECT_TRUE(made_by(mine->datasets.at(dataset::align_results), "maker"));
    EXPECT_EQ(mine->get_by_name("read_id"), "read-from-maker-with-a-long-identifier");
}

}  // namespace
