#include "data_model/interfaces/read_holder.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

using common::diagnostics::timings::EventMode;
using common::diagnostics::timings::ReadEventId;
using common::diagnostics::timings::ReadEventRecorder;
using interfaces::ReadHolder;
using interfaces::ReadPriority;
using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::Metadata;

namespace {

// Counts what the holder forwards to it and when it is destroyed.
class CountingRecorder : public ReadEventRecorder {
public:
    explicit CountingRecorder(int* destroyed) : m_destroyed(destroyed) {}
    ~CountingRecorder() override { ++*m_destroyed; }
    void create_read_event(ReadEventId id, EventMode mode) override {
        m_events.emplace_back(id, mode);
        m_timestamps.push_back(std::chrono::steady_clock::time_point{});
    }
    std::vector<std::chrono::steady_clock::time_point>& get_timestamps() override {
        return m_timestamps;
    }
    std::unique_ptr<ReadEventRecorder> clone() override {
        return std::make_unique<CountingRecorder>(m_destroyed);
    }

    std::vector<std::pair<ReadEventId, EventMode>> m_events;

private:
    int* m_destroyed;
    std::vector<std::chrono::steady_clock::time_point> m_timestamps;
};

ReadHolder make_full_read(int* recorder_destroyed) {
    ReadHolder read;
    read.read_tag = 42;
    read.sub_tag = 3;
    read.priority = ReadPriority::high;
    read.metadata.insert("read_id", std::string("r1"));
    read.datasets.emplace(dataset::sequence, DataSetData::take_ownership(std::string("ACGT")));
    read.datasets.emplace(dataset::raw_data,
                          DataSetData::take_ownership(std::vector<short>{1, 2, 3}));
    read.attachment = std::make_shared<int>(5);
    read.coordinator = std::make_shared<interfaces::ReadCoordinator>(42);
    read.set_event_recorder(std::make_unique<CountingRecorder>(recorder_destroyed));
    return read;
}

TEST(ReadHolderTest, NewHolder) {
    static_assert(std::is_nothrow_move_constructible_v<ReadHolder>);
    static_assert(std::is_nothrow_move_assignable_v<ReadHolder>);
    static_assert(!std::is_copy_constructible_v<ReadHolder>);
    static_assert(sizeof(ReadPriority) == 4);
    ReadHolder read;
    EXPECT_EQ(read.read_tag, 0u);
    EXPECT_EQ(read.priority, ReadPriority::medium);
    EXPECT_EQ(static_cast<int>(read.priority), 1);
    EXPECT_EQ(read.sub_tag, 0u);
    EXPECT_TRUE(read.metadata.empty());
    EXPECT_TRUE(read.datasets.empty());
    EXPECT_EQ(read.coordinator, nullptr);
    EXPECT_EQ(read.attachment, nullptr);
    EXPECT_EQ(read.event_recorder, nullptr);
    EXPECT_EQ(read.get_by_name("read_id"), "");
}

TEST(ReadHolderTest, MoveKeepsTagsInTheSourceAndTakesEverythingElse) {
    int destroyed = 0;
    ReadHolder a = make_full_read(&destroyed);
    const void* sequence_data = a.datasets.at(dataset::sequence).data;
    auto attachment = a.attachment;
    std::weak_ptr<interfaces::ReadCoordinator> coordinator = a.coordinator;

    ReadHolder b;
    b.coordinator = std::make_shared<interfaces::ReadCoordinator>(1);
    std::weak_ptr<interfaces::ReadCoordinator> former_coordinator = b.coordinator;
    b.metadata.insert<int>("old", 1);
    b.set_event_recorder(std::make_unique<CountingRecorder>(&destroyed));
    b = std::move(a);
    EXPECT_EQ(destroyed, 1);  // b's former recorder

    EXPECT_EQ(a.read_tag, 42u);
    EXPECT_EQ(a.sub_tag, 3u);
    EXPECT_EQ(a.priority, ReadPriority::high);
    EXPECT_TRUE(a.metadata.empty());
    EXPECT_TRUE(a.datasets.empty());
    EXPECT_EQ(a.coordinator, nullptr);
    EXPECT_EQ(a.attachment, nullptr);
    EXPECT_EQ(a.event_recorder, nullptr);

    EXPECT_EQ(b.read_tag, 42u);
    EXPECT_EQ(b.sub_tag, 3u);
    EXPECT_EQ(b.priority, ReadPriority::high);
    EXPECT_FALSE(b.metadata.exists("old"));
    EXPECT_EQ(b.metadata.get<read_data::read_id>(), "r1");
    EXPECT_EQ(b.datasets.at(dataset::sequence).data, sequence_data);  // no byte copied
    EXPECT_EQ(b.attachment, attachment);
    EXPECT_EQ(b.coordinator, coordinator.lock());
    EXPECT_TRUE(former_coordinator.expired());  // b's former coordinator released
    EXPECT_NE(b.event_recorder, nullptr);

    ReadHolder c(std::move(b));
    EXPECT_EQ(c.read_tag, 42u);
    EXPECT_EQ(c.datasets.at(dataset::sequence).get_string(), "ACGT");
    EXPECT_TRUE(b.datasets.empty());
    EXPECT_TRUE(b.metadata.empty());
    EXPECT_EQ(b.event_recorder, nullptr);
    EXPECT_EQ(b.read_tag, 42u);
    EXPECT_EQ(b.coordinator, nullptr);
    EXPECT_EQ(c.coordinator, coordinator.lock());

    // A moved-from holder can be refilled.
    a.metadata.insert<int>("channel", 4);
    a.datasets.emplace(dataset::qstring, DataSetData::take_ownership(std::string("++")));
    EXPECT_EQ(a.get_by_name("channel"), "4");

    c = ReadHolder();
    EXPECT_EQ(destroyed, 2);
}

TEST(ReadHolderTest, ReadsMoveThroughContainers) {
    int destroyed = 0;
    interfaces::ReadList reads;
    for (unsigned long long tag = 0; tag < 3; ++tag) {
        ReadHolder read = make_full_read(&destroyed);
        read.read_tag = tag;
        reads.push_back(std::move(read));
    }
    std::vector<ReadHolder> vec;
    for (auto& read : reads) {
        vec.push_back(std::move(read));
    }
    ASSERT_EQ(vec.size(), 3u);
    EXPECT_EQ(vec[2].read_tag, 2u);
    EXPECT_EQ(vec[2].datasets.at(dataset::raw_data).get_array<short>()[2], 3);
    vec.clear();
    EXPECT_EQ(destroyed, 3);
}

TEST(ReadHolderTest, ClearKeepsAttachmentAndRecorder) {
    int destroyed = 0;
    ReadHolder read = make_full_read(&destroyed);
    std::weak_ptr<interfaces::ReadCoordinator> coordinator = read.coordinator;
    ASSERT_FALSE(coordinator.expired());
    read.create_read_event(ReadEventId::read_created, EventMode::instant);
    read.clear();
    EXPECT_TRUE(coordinator.expired());
    EXPECT_EQ(read.read_tag, 0u);
    EXPECT_EQ(read.sub_tag, 0u);
    EXPECT_EQ(read.priority, ReadPriority::medium);
    EXPECT_TRUE(read.metadata.empty());
    EXPECT_TRUE(read.datasets.empty());
    EXPECT_EQ(read.coordinator, nullptr);
    EXPECT_NE(read.attachment, nullptr);
    ASSERT_NE(read.event_recorder, nullptr);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(read.get_timestamps().size(), 1u);  // still the recorder's
}

TEST(ReadHolderTest, RecorderHooks) {
    ReadHolder bare;
    bare.create_read_event(ReadEventId::read_sent, EventMode::begin);  // no recorder: nothing
    const auto& first = bare.get_timestamps();
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(&first, &ReadHolder().get_timestamps());  // one shared empty vector

    int destroyed = 0;
    auto recorder = std::make_unique<CountingRecorder>(&destroyed);
    CountingRecorder* raw = recorder.get();
    bare.set_event_recorder(std::move(recorder));
    bare.create_read_event(ReadEventId::read_sent, EventMode::end);
    ASSERT_EQ(raw->m_events.size(), 1u);
    EXPECT_EQ(raw->m_events[0].first, ReadEventId::read_sent);
    EXPECT_EQ(raw->m_events[0].second, EventMode::end);
    EXPECT_EQ(&bare.get_timestamps(), &raw->get_timestamps());

    bare.set_event_recorder(std::make_unique<CountingRecorder>(&destroyed));
    EXPECT_EQ(destroyed, 1);
}

TEST(ReadHolderTest, GetByNameWritesEveryType) {
    const float nan_f = std::numeric_limits<float>::quiet_NaN();
    const double inf_d = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        std::function<void(Metadata&)> store;
        std::string expected;
    };
    const Case cases[] = {
        {"string", [](Metadata& m) { m.insert("k", std::string("abc")); }, "abc"},
        {"empty string", [](Metadata& m) { m.insert("k", std::string()); }, ""},
        {"float", [](Metadata& m) { m.insert<float>("k", 2.5f); }, "2.500000"},
        {"float NaN", [&](Metadata& m) { m.insert<float>("k", nan_f); }, "0"},
        {"float -inf", [](Metadata& m) { m.insert<float>("k", -std::numeric_limits<float>::infinity()); },
         "0"},
        {"double", [](Metadata& m) { m.insert<double>("k", 0.1); }, "0.100000"},
        {"double +inf", [&](Metadata& m) { m.insert<double>("k", inf_d); }, "0"},
        {"double -inf", [&](Metadata& m) { m.insert<double>("k", -inf_d); }, "0"},
        {"bool true", [](Metadata& m) { m.insert<bool>("k", true); }, "TRUE"},
        {"bool false", [](Metadata& m) { m.insert<bool>("k", false); }, "FALSE"},
        {"signed char", [](Metadata& m) { m.insert<signed char>("k", -5); }, "-5"},
        {"unsigned char", [](Metadata& m) { m.insert<unsigned char>("k", 200); }, "200"},
        {"short", [](Metadata& m) { m.insert<short>("k", -300); }, "-300"},
        {"unsigned short", [](Metadata& m) { m.insert<unsigned short>("k", 60000); }, "60000"},
        {"int", [](Metadata& m) { m.insert<int>("k", -1); }, "-1"},
        {"unsigned int", [](Metadata& m) { m.insert<unsigned int>("k", 4000000000u); },
         "4000000000"},
        {"long long", [](Metadata& m) { m.insert<long long>("k", -7); }, "-7"},
        {"unsigned long long",
         [](Metadata& m) { m.insert<unsigned long long>("k", 18446744073709551615ull); },
         "18446744073709551615"},
    };
    for (const auto& c : cases) {
        ReadHolder read;
        c.store(read.metadata);
        EXPECT_EQ(read.get_by_name("k"), c.expected) << c.name;
        EXPECT_EQ(read.get_by_name("other"), "") << c.name;
    }
}

TEST(ReadHolderTest, DisplayTag) {
    EXPECT_EQ(ReadHolder::get_display_tag({7, 3}), "read 7 : 3");
    EXPECT_EQ(ReadHolder::get_display_tag({42, 0}), "read 42 : 0");
    EXPECT_EQ(ReadHolder::get_display_tag({18446744073709551615ull, 1}),
              "read 18446744073709551615 : 1");
}

}  // namespace
