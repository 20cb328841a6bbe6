// Allocation failures injected into the data model: a failed operation must
// leave no half-made state behind, and moves must not allocate at all.
// Built as its own program because it replaces the global operator new.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>

#include "data_model/data_table.h"
#include "data_model/interfaces/read_holder.h"
#include "data_model/metadata.h"
#include "tests/failing_operator_new.h"

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::DataTable;
using kelp::data_wrappers::v2::MapWrapper;
using kelp::data_wrappers::v2::Metadata;

namespace {

// Runs op with its n-th allocation failing, for n = 0, 1, ... until op
// succeeds; after every failure check() must hold. Returns the number of
// failures seen.
int sweep(const std::function<void()>& setup, const std::function<void()>& op,
          const std::function<void(int)>& check_after_failure) {
    for (int n = 0; n < 1000; ++n) {
        setup();
        bool failed = false;
        g_fail_countdown = n;
        try {
            op();
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        g_fail_countdown = -1;
        if (!failed) {
            return n;
        }
        check_after_failure(n);
    }
    ADD_FAILURE() << "operation never succeeded";
    return -1;
}

const std::string LONG_TEXT(200, 'x');  // long enough to need its own buffer

TEST(AllocationFailureTest, FailedStringInsertLeavesNoEntryWithoutValue) {
    MapWrapper m;
    const int failures = sweep(
        [&] {
            m.clear();
            m.insert<int>("other", 1);
        },
        [&] { m.insert("k", LONG_TEXT); },
        [&](int n) {
            EXPECT_FALSE(m.exists("k")) << n;
            EXPECT_EQ(m.size(), 1u) << n;
        });
    EXPECT_GT(failures, 0);
    EXPECT_EQ(m.get_value<std::string>("k"), LONG_TEXT);
}

TEST(AllocationFailureTest, FailedReplacementKeepsTheOldValue) {
    MapWrapper m;
    std::string moved_in;
    sweep(
        [&] {
            m.insert<int>("k", 7);
            moved_in = LONG_TEXT;
        },
        [&] { m.emplace("k", std::move(moved_in)); },
        [&](int n) { EXPECT_EQ(m.get_value<int>("k"), 7) << n; });
    EXPECT_EQ(m.get_value<std::string>("k"), LONG_TEXT);
}

TEST(AllocationFailureTest, FailedCopyAssignmentKeepsTheTarget) {
    MapWrapper source;
    source.insert("a", LONG_TEXT);
    source.insert<double>("b", 1.5);
    MapWrapper target;
    sweep(
        [&] {
            target.clear();
            target.insert<int>("mine", 1);
        },
        [&] { target = source; },
        [&](int n) {
            EXPECT_EQ(target.size(), 1u) << n;
            EXPECT_EQ(target.get_value<int>("mine"), 1) << n;
        });
    EXPECT_TRUE(target == source);
}

TEST(AllocationFailureTest, MovesAllocateNothing) {
    MapWrapper a;
    a.insert("k", LONG_TEXT);
    Metadata meta;
    meta.insert<int>("channel", 1);
    DataSetData data = DataSetData::take_ownership(std::string(LONG_TEXT));
    interfaces::ReadHolder read;
    read.metadata.insert("read_id", std::string("r"));
    read.datasets.emplace(dataset::sequence, DataSetData::take_ownership(std::string("AC")));

    g_fail_countdown = 0;  // the very next allocation would fail
    MapWrapper b(std::move(a));
    a = std::move(b);
    Metadata meta2(std::move(meta));
    meta = std::move(meta2);
    DataSetData data2(std::move(data));
    data = std::move(data2);
    interfaces::ReadHolder read2(std::move(read));
    read = std::move(read2);
    MapWrapper fresh;
    const bool still_armed = g_fail_countdown == 0;
    g_fail_countdown = -1;

    EXPECT_TRUE(still_armed);
    EXPECT_EQ(a.get_value<std::string>("k"), LONG_TEXT);
    EXPECT_EQ(meta.get<read_data::channel>(), 1);
    EXPECT_EQ(data.get_string(), LONG_TEXT);
    EXPECT_EQ(read.datasets.at(dataset::sequence).get_string(), "AC");
    EXPECT_TRUE(b.empty());
    EXPECT_TRUE(fresh.empty());
    b.insert<int>("reused", 1);  // the moved-from wrapper allocates on first write
    EXPECT_EQ(b.size(), 1u);
}

TEST(AllocationFailureTest, FailedOwnLeavesDatasetAndSourceIntact) {
    DataSetData d;
    std::string text;
    sweep(
        [&] {
            d = DataSetData::take_ownership(std::string("previous"));
            d.metadata.insert<int>("kept", 1);
            text = LONG_TEXT;
        },
        [&] { d.own(std::move(text)); },
        [&](int n) {
            EXPECT_EQ(d.get_string(), "previous") << n;
            EXPECT_TRUE(d.metadata.exists("kept")) << n;
            EXPECT_EQ(text, LONG_TEXT) << n;
        });
    EXPECT_EQ(d.get_string(), LONG_TEXT);

    std::vector<unsigned char> bytes;
    sweep(
        [&] {
            d = DataSetData::take_ownership(std::string("previous"));
            bytes.assign(64, 3);
        },
        [&] { d.own(std::move(bytes)); },
        [&](int n) {
            EXPECT_EQ(d.get_string(), "previous") << n;
            EXPECT_EQ(bytes.size(), 64u) << n;
        });
    EXPECT_EQ(d.info.count, 64u);

    DataTable table;
    sweep(
        [&] {
            d = DataSetData::take_ownership(std::string("previous"));
            table = DataTable();
            table.add_field("a", DataSetType::int32);
            table.allocate(4);
        },
        [&] { d.own(std::move(table)); },
        [&](int n) {
            EXPECT_EQ(d.get_string(), "previous") << n;
            EXPECT_EQ(table.num_rows, 4u) << n;
            EXPECT_EQ(table.fields.size(), 1u) << n;
        });
    EXPECT_EQ(d.info.type, DataSetType::table);
}

TEST(AllocationFailureTest, FailedCopyDataKeepsTheFormerStorage) {
    DataSetData source = DataSetData::take_ownership(std::string(LONG_TEXT));
    DataSetData target;
    sweep([&] { target = DataSetData::take_ownership(std::string("previous")); },
          [&] { target.copy_data(source); },
          [&](int n) { EXPECT_EQ(*target.str, "previous") << n; });
    EXPECT_EQ(*target.str, LONG_TEXT);
    EXPECT_NE(target.data, source.data);
}

}  // namespace
