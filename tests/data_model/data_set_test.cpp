#include "data_model/data_set.h"

#include <gtest/gtest.h>

#include <cstring>

#include "data_model/data_table.h"

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::DataTable;
using kelp::data_wrappers::v2::MatView;

namespace {

template <typename F>
std::string runtime_error_of(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no runtime_error>";
}

void expect_empty(const DataSetData& d) {
    EXPECT_EQ(d.data, nullptr);
    EXPECT_EQ(d.str, nullptr);
    EXPECT_EQ(d.info.type, DataSetType::none);
    EXPECT_EQ(d.info.element_size, 0u);
    EXPECT_EQ(d.info.count, 0u);
    EXPECT_EQ(d.info.rows, 0u);
    EXPECT_EQ(d.info.cols, 0u);
    EXPECT_TRUE(d.info.fields.empty());
    EXPECT_EQ(d.owner, nullptr);
    EXPECT_TRUE(d.metadata.empty());
}

TEST(DataSetTest, CodesAndLayoutAreFixed) {
    static_assert(sizeof(DataSetType) == 4 && sizeof(dataset) == 4);
    static_assert(static_cast<int>(dataset::raw_data) == 0);
    static_assert(static_cast<int>(dataset::sequence) == 1);
    static_assert(static_cast<int>(dataset::qstring) == 2);
    static_assert(static_cast<int>(dataset::movement) == 3);
    static_assert(static_cast<int>(dataset::base_mod_probs) == 4);
    static_assert(static_cast<int>(dataset::align_results) == 5);
    static_assert(static_cast<int>(DataSetType::fixed_string) == 10);
    static_assert(static_cast<int>(DataSetType::none) == 13);
    static_assert(offsetof(DataSetData, data) == 0);
    static_assert(offsetof(DataSetData, str) == 8);
    static_assert(offsetof(DataSetData, info) == 16);
    static_assert(std::is_nothrow_move_constructible_v<DataSetData>);
    static_assert(std::is_nothrow_move_assignable_v<DataSetData>);
    static_assert(!std::is_copy_constructible_v<DataSetData>);
    const std::size_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 4, 8};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(kelp::data_wrappers::v2::DATA_SET_TYPE_SIZES[i], sizes[i]);
    }
    expect_empty(DataSetData{});
}

TEST(DataSetTest, TakeOwnershipOfAString) {
    for (const std::string& text : {std::string("ACGT"), std::string(), std::string(1000, 'G')}) {
        std::string source = text;
        DataSetData d = DataSetData::take_ownership(std::move(source));
        EXPECT_TRUE(source.empty());
        EXPECT_EQ(d.info.type, DataSetType::string);
        EXPECT_EQ(d.info.element_size, text.size() + 1);
        EXPECT_EQ(d.info.count, 1u);
        EXPECT_EQ(d.info.rows, 0u);
        EXPECT_EQ(d.info.cols, 0u);
        ASSERT_NE(d.str, nullptr);
        EXPECT_EQ(*d.str, text);
        EXPECT_EQ(d.data, d.str->data());
        EXPECT_EQ(static_cast<const char*>(d.data)[text.size()], '\0');
        EXPECT_EQ(d.get_string(), text);
        ASSERT_NE(d.owner, nullptr);
        EXPECT_EQ(d.owner->data_ptr(), d.data);
    }
}

TEST(DataSetTest, OwnVectors) {
    std::vector<short> samples(4000, 7);
    const short* buffer = samples.data();
    DataSetData raw;
    raw.own(std::move(samples));
    EXPECT_TRUE(samples.empty());
    EXPECT_EQ(raw.info.type, DataSetType::int16);
    EXPECT_EQ(raw.info.element_size, 2u);
    EXPECT_EQ(raw.info.count, 4000u);
    EXPECT_EQ(raw.data, buffer);  // taken over, not copied
    EXPECT_EQ(raw.get_array<short>()[3999], 7);

    std::vector<unsigned char> never_held;
    DataSetData moves = DataSetData::take_ownership(std::move(never_held));
    EXPECT_EQ(moves.info.type, DataSetType::uint8);
    EXPECT_EQ(moves.info.element_size, 1u);
    EXPECT_EQ(moves.info.count, 0u);
    EXPECT_EQ(moves.data, nullptr);
    EXPECT_NE(moves.owner, nullptr);
}

TEST(DataSetTest, OwningNewStorageDropsTheOldStorageAndMetadata) {
    DataSetData d = DataSetData::take_ownership(std::string("old"));
    d.metadata.insert<int>("k", 1);
    d.own(std::vector<unsigned char>{1, 2, 3});
    EXPECT_EQ(d.str, nullptr);
    EXPECT_TRUE(d.metadata.empty());
    EXPECT_EQ(d.info.type, DataSetType::uint8);
    EXPECT_EQ(d.info.count, 3u);
    EXPECT_EQ(d.get_array<unsigned char>()[2], 3);
}

// Handing a dataset the very vector or table that its owner holds must take
// the contents over, not read them after the old owner is freed (the address
// sanitizer build catches the latter).
TEST(DataSetTest, OwningTheStorageItAlreadyHoldsKeepsTheContents) {
    using Bytes = std::vector<unsigned char>;
    DataSetData bytes = DataSetData::take_ownership(Bytes{1, 2, 3});
    const void* buffer = bytes.data;
    bytes.own(std::move(static_cast<DataSetData::OwnerType<Bytes>&>(*bytes.owner).value));
    EXPECT_EQ(bytes.data, buffer);
    EXPECT_EQ(bytes.info.count, 3u);
    EXPECT_EQ(bytes.get_array<unsigned char>()[2], 3);

    DataTable table;
    table.add_field("x", DataSetType::int32);
    table.allocate(2);
    table.view_field<int>(0)[1] = 77;
    DataSetData rows;
    rows.own(std::move(table));
    buffer = rows.data;
    rows.own(std::move(static_cast<DataSetData::OwnerType<DataTable>&>(*rows.owner).value));
    EXPECT_EQ(rows.data, buffer);
    EXPECT_EQ(rows.info.type, DataSetType::table);
    EXPECT_EQ(rows.info.count, 2u);
    EXPECT_EQ(rows.info.element_size, 8u);
    ASSERT_EQ(rows.info.fields.size(), 1u);
    EXPECT_EQ(rows.info.fields[0].name, "x");
    const auto& held = static_cast<DataSetData::OwnerType<DataTable>&>(*rows.owner).value;
    EXPECT_EQ(held.field_index.at("x"), 0u);
    EXPECT_EQ(held.num_rows, 2u);
    int value = 0;
    std::memcpy(&value, static_cast<const char*>(rows.data) + 8, sizeof value);
    EXPECT_EQ(value, 77);
}

TEST(DataSetTest, TypedAccessorsRefuseOtherTypes) {
    DataSetData moves = DataSetData::take_ownership(std::vector<unsigned char>{1, 0, 1});
    DataSetData seq = DataSetData::take_ownership(std::string("AC"));
    DataSetData empty;
    EXPECT_EQ(runtime_error_of([&] { moves.get_array<short>(); }), "Invalid array type requested.");
    EXPECT_EQ(runtime_error_of([&] { seq.get_array<unsigned char>(); }),
              "Invalid array type requested.");
    EXPECT_EQ(runtime_error_of([&] { moves.get_string(); }), "Data does not view string data.");
    EXPECT_EQ(runtime_error_of([&] { empty.get_string(); }), "Data does not view string data.");
    EXPECT_EQ(moves.get_array<unsigned char>()[0], 1);
    const DataSetData& c = moves;
    EXPECT_EQ(c.get_array<const unsigned char>()[2], 1);
}

TEST(DataSetTest, CopyDataDeepCopiesOwnedStorage) {
    auto source = std::make_unique<DataSetData>(DataSetData::take_ownership(std::string("ACGT")));
    DataSetData copy;
    copy.info = source->info;
    copy.copy_data(*source);
    ASSERT_NE(copy.owner, nullptr);
    EXPECT_NE(copy.data, source->data);
    EXPECT_NE(copy.str, source->str);
    EXPECT_EQ(copy.data, copy.str->data());
    source.reset();
    EXPECT_EQ(copy.get_string(), "ACGT");

    DataSetData vec = DataSetData::take_ownership(std::vector<unsigned char>{4, 5});
    DataSetData vec_copy;
    vec_copy.info = vec.info;
    vec_copy.copy_data(vec);
    EXPECT_NE(vec_copy.data, vec.data);
    EXPECT_EQ(vec_copy.str, nullptr);
    vec.own(std::vector<unsigned char>{9});
    EXPECT_EQ(vec_copy.get_array<unsigned char>()[1], 5);
}

TEST(DataSetTest, CopyDataOfAViewSharesTheMemory) {
    DataTable table;
    table.add_field("x", DataSetType::int32);
    table.allocate(2);
    DataSetData view;
    view.view(table);
    DataSetData copy = DataSetData::take_ownership(std::string("replaced"));
    copy.copy_data(view);
    EXPECT_EQ(copy.owner, nullptr);  // former owner released
    EXPECT_EQ(copy.data, table.data.data());
    EXPECT_EQ(copy.str, nullptr);
}

TEST(DataSetTest, MoveLeavesTheSourceEmpty) {
    DataSetData a = DataSetData::take_ownership(std::string("old"));
    DataSetData b = DataSetData::take_ownership(std::vector<unsigned char>{1, 2});
    b.metadata.insert<int>("k", 1);
    void* b_data = b.data;
    a = std::move(b);
    expect_empty(b);
    EXPECT_EQ(a.data, b_data);
    EXPECT_EQ(a.info.type, DataSetType::uint8);
    EXPECT_EQ(a.metadata.get_value<int>("k"), 1);

    DataSetData c(std::move(a));
    expect_empty(a);
    EXPECT_EQ(c.data, b_data);
    a.own(std::string("reused"));
    EXPECT_EQ(a.get_string(), "reused");

    // A short string lives inside its owner, so moving the dataset keeps it.
    DataSetData s = DataSetData::take_ownership(std::string("AC"));
    DataSetData moved(std::move(s));
    EXPECT_EQ(moved.get_string(), "AC");
    EXPECT_EQ(moved.data, moved.str->data());
}

TEST(DataSetTest, OwnMatrixTakesTheBytesAndChecksTheShape) {
    std::vector<unsigned char> bytes{1, 2, 3, 4, 5, 6};
    const unsigned char* buffer = bytes.data();
    MatView<unsigned char> view;
    view.view(nullptr, 3, 2, 2, 1);  // the view's pointer is not where the data comes from
    DataSetData probs;
    probs.metadata.insert<int>("old", 1);
    probs.own(view, std::move(bytes));
    EXPECT_EQ(probs.data, buffer);
    EXPECT_EQ(probs.info.type, DataSetType::uint8);
    EXPECT_EQ(probs.info.element_size, 1u);
    EXPECT_EQ(probs.info.count, 6u);
    EXPECT_EQ(probs.info.rows, 3u);
    EXPECT_EQ(probs.info.cols, 2u);
    EXPECT_TRUE(probs.metadata.empty());
    EXPECT_EQ(probs.get_array<unsigned char>()[5], 6);

    struct Case {
        std::size_t rows, cols, bytes;
    };
    for (const Case& c : {Case{3, 2, 5}, Case{3, 2, 7}, Case{0, 2, 1}, Case{2, 0, 1},
                          Case{std::size_t(1) << 33, std::size_t(1) << 31, 0}}) {
        DataSetData d = DataSetData::take_ownership(std::string("kept"));
        std::vector<unsigned char> wrong(c.bytes, 1);
        MatView<unsigned char> v;
        v.view(wrong.data(), c.rows, c.cols, c.cols ? c.cols : 1, 1);
        EXPECT_THROW(d.own(v, std::move(wrong)), std::runtime_error) << c.rows << "x" << c.cols;
        EXPECT_EQ(wrong.size(), c.bytes);  // the caller's bytes stay
        EXPECT_EQ(d.get_string(), "kept");  // and the dataset is unchanged
    }

    std::vector<unsigned char> none;
    MatView<unsigned char> empty_view;
    empty_view.view(nullptr, 0, 4, 4, 1);
    DataSetData empty_matrix;
    empty_matrix.own(empty_view, std::move(none));
    EXPECT_EQ(empty_matrix.info.count, 0u);
    EXPECT_EQ(empty_matrix.info.cols, 4u);
}

}  // namespace
