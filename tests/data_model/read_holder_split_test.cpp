#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <numeric>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/contract.h"
#include "data_model/data_table.h"
#include "data_model/interfaces/read_holder.h"

namespace {

using interfaces::ReadCoordinator;
using interfaces::ReadHolder;
using interfaces::ReadList;
using kelp::data_wrappers::v2::DataSetType;
using kelp::data_wrappers::v2::MatView;

// Version-5 identifiers of "strand-1" under the two derived-identifier
// namespaces, as Python's uuid.uuid5 computes them.
const std::string STRAND_1_GEN_0 = "50bb79d3-24cf-5ba7-966d-f938379c0ccf";
const std::string STRAND_1_GEN_1 = "cc0d7e7d-7bb4-5742-b27c-3b1f6e7cbb26";

const std::vector<unsigned char> MOVES = {1, 0, 1, 1, 0, 1, 1, 1, 1, 1};

// Read 42: sequence ACGTACGT, moves emitting one base at 8 of 10 steps, the
// metadata a split needs, a raw signal and an alignment table.
ReadHolder splittable_read() {
    ReadHolder read;
    read.read_tag = 42;
    read.priority = interfaces::ReadPriority::high;
    auto& md = read.metadata;
    md.insert("strand_id", std::string("strand-1"));
    md.insert("read_id", std::string("read-1"));
    md.insert<int>("channel", 7);
    md.insert<unsigned long long>("sequence_length", 8);
    md.insert<unsigned long long>("trimmed_events", 10);
    md.insert<unsigned long long>("num_events", 12);
    md.insert<unsigned long long>("model_stride", 6);
    md.insert<unsigned long long>("duration", 100);
    md.insert<unsigned long long>("start_time", 1000);
    md.insert<unsigned long long>("trimmed_samples", 9);
    md.insert<unsigned long long>("num_sequor_events", 33);
    read.datasets[dataset::sequence].own(std::string("ACGTACGT"));
    read.datasets[dataset::qstring].own(std::string("+++++!!!"));
    read.datasets[dataset::movement].own(std::vector<unsigned char>(MOVES));
    read.datasets[dataset::raw_data].own(std::vector<short>(100, 5));
    kelp::data_wrappers::v2::DataTable table;
    table.add_field("x", DataSetType::int32);
    table.allocate(1);
    read.datasets[dataset::align_results].own(std::move(table));
    return read;
}

std::vector<unsigned char> bytes_of(const ReadHolder& read, dataset code) {
    const auto& data = read.datasets.at(code);
    const unsigned char* p = data.get_array<unsigned char>();
    return std::vector<unsigned char>(p, p + data.info.count);
}

unsigned long long u64(const ReadHolder& read, const std::string& key) {
    return read.metadata.get_value<unsigned long long>(key);
}

TEST(ReadCloneTest, CopiesReadWithDerivedStrandAndSubTags) {
    ReadHolder read = splittable_read();
    std::string viewed = "viewed bytes";
    auto& view = read.datasets[dataset::base_mod_probs];
    view.data = viewed.data();
    view.info.type = DataSetType::uint8;
    view.info.count = viewed.size();
    view.info.element_size = 1;
    read.attachment = std::make_shared<int>(5);

    ReadHolder copy = read.clone();
    ASSERT_TRUE(read.coordinator);
    EXPECT_EQ(copy.coordinator, read.coordinator);
    EXPECT_EQ(read.sub_tag, 0u);
    EXPECT_EQ(copy.sub_tag, 1u);
    EXPECT_EQ(copy.read_tag, 42u);
    EXPECT_EQ(copy.priority, interfaces::ReadPriority::high);
    EXPECT_EQ(copy.attachment, read.attachment);
    EXPECT_EQ(copy.metadata.get_value<std::string>("strand_id"), STRAND_1_GEN_0);
    EXPECT_EQ(read.metadata.get_value<std::string>("strand_id"), "strand-1");
    EXPECT_EQ(copy.metadata.get_value<int>("channel"), 7);
    ASSERT_EQ(copy.datasets.size(), read.datasets.size());
    EXPECT_EQ(copy.datasets.at(dataset::sequence).get_string(), "ACGTACGT");
    EXPECT_NE(copy.datasets.at(dataset::sequence).data, read.datasets.at(dataset::sequence).data);
    EXPECT_EQ(bytes_of(copy, dataset::movement), MOVES);
    EXPECT_EQ(copy.datasets.at(dataset::base_mod_probs).data, viewed.data());  // still a view
    EXPECT_EQ(copy.datasets.at(dataset::align_results).info.element_size, 8u);

    EXPECT_EQ(read.clone().sub_tag, 2u);
    EXPECT_EQ(copy.clone().sub_tag, 3u);  // clones of clones share the coordinator
}

TEST(ReadCloneTest, NeedsStrandId) {
    ReadHolder read = splittable_read();
    read.metadata.remove("strand_id");
    try {
        read.clone();
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_EQ(std::string(e.what()), "Key 'strand_id' not found.");
    }
    EXPECT_FALSE(read.coordinator);
}

TEST(ReadSplitTest, CutsDatasetsAndRewritesMetadata) {
    ReadHolder head = splittable_read();
    const auto raw_data = head.datasets.at(dataset::raw_data).data;
    ReadHolder tail = head.split_at(3);

    EXPECT_EQ(head.datasets.at(dataset::sequence).get_string(), "ACG");
    EXPECT_EQ(tail.datasets.at(dataset::sequence).get_string(), "TACGT");
    EXPECT_EQ(head.datasets.at(dataset::qstring).get_string(), "+++");
    EXPECT_EQ(tail.datasets.at(dataset::qstring).get_string(), "++!!!");
    EXPECT_EQ(bytes_of(head, dataset::movement), (std::vector<unsigned char>{1, 0, 1, 1, 0}));
    EXPECT_EQ(bytes_of(tail, dataset::movement), (std::vector<unsigned char>{1, 1, 1, 1, 1}));
    // raw signal and alignment table stay with the head
    EXPECT_EQ(head.datasets.at(dataset::raw_data).data, raw_data);
    EXPECT_EQ(head.datasets.count(dataset::align_results), 1u);
    EXPECT_EQ(tail.datasets.count(dataset::raw_data), 0u);
    EXPECT_EQ(tail.datasets.count(dataset::align_results), 0u);

    const std::vector<std::tuple<std::string, unsigned long long, unsigned long long>> counts = {
        {"sequence_length", 3, 5}, {"trimmed_events", 5, 5},    {"num_events", 7, 5},
        {"duration", 42, 58},      {"trimmed_duration", 30, 58}, {"num_sequor_events", 0, 0},
        {"start_time", 1000, 1042}, {"trimmed_samples", 9, 0},
    };
    for (const auto& [key, head_value, tail_value] : counts) {
        EXPECT_EQ(u64(head, key), head_value) << key;
        EXPECT_EQ(u64(tail, key), tail_value) << key;
    }
    EXPECT_EQ(head.metadata.get_value<std::string>("strand_id"), STRAND_1_GEN_0);
    EXPECT_EQ(tail.metadata.get_value<std::string>("strand_id"), STRAND_1_GEN_1);
    EXPECT_EQ(tail.metadata.get_value<std::string>("read_id"), "read-1");
    EXPECT_FLOAT_EQ(head.metadata.get_value<float>("mean_qscore"), 10.0f);
    EXPECT_EQ(tail.sub_tag, 1u);
    EXPECT_EQ(tail.read_tag, 42u);
    EXPECT_EQ(tail.priority, interfaces::ReadPriority::high);
    EXPECT_EQ(tail.coordinator, head.coordinator);
}

TEST(ReadSplitTest, CutsProbabilityMatrixRows) {
    ReadHolder head = splittable_read();
    head.metadata.insert("base_mod_alphabet", std::string("  m   h "));  // two channels
    std::vector<unsigned char> probs(16);
    for (size_t i = 0; i < probs.size(); ++i) {
        probs[i] = static_cast<unsigned char>(i);
    }
    MatView<unsigned char> view;
    view.view(probs.data(), 8, 2, 2, 1);
    head.datasets[dataset::base_mod_probs].own(view, std::move(probs));

    ReadHolder tail = head.split_at(3);
    const auto& head_probs = head.datasets.at(dataset::base_mod_probs);
    const auto& tail_probs = tail.datasets.at(dataset::base_mod_probs);
    EXPECT_EQ(head_probs.info.rows, 3u);
    EXPECT_EQ(head_probs.info.cols, 2u);
    EXPECT_EQ(tail_probs.info.rows, 5u);
    EXPECT_EQ(tail_probs.info.cols, 2u);
    EXPECT_EQ(bytes_of(head, dataset::base_mod_probs), (std::vector<unsigned char>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(bytes_of(tail, dataset::base_mod_probs),
              (std::vector<unsigned char>{6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    // a cut at base 0 leaves the head an empty matrix
    ReadHolder whole_tail = tail.split_at(0);
    EXPECT_EQ(tail.datasets.at(dataset::base_mod_probs).info.rows, 0u);
    EXPECT_EQ(tail.datasets.at(dataset::base_mod_probs).info.cols, 2u);
    EXPECT_EQ(bytes_of(whole_tail, dataset::base_mod_probs),
              (std::vector<unsigned char>{6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(whole_tail.datasets.at(dataset::sequence).get_string(), "TACGT");
}

TEST(ReadSplitTest, InconsistentCountsNeverWrapAround) {
    ReadHolder head = splittable_read();
    head.metadata.insert<unsigned long long>("trimmed_events", 2);  // fewer than the 5 head steps
    head.metadata.insert<unsigned long long>("num_events", 1);
    head.metadata.remove("duration");
    ReadHolder tail = head.split_at(3);
    EXPECT_EQ(u64(head, "trimmed_events"), 5u);
    EXPECT_EQ(u64(tail, "trimmed_events"), 0u);
    EXPECT_EQ(u64(tail, "num_events"), 0u);
    EXPECT_EQ(u64(head, "num_events"), 1u);
    EXPECT_EQ(u64(head, "duration"), 6u);
    EXPECT_EQ(u64(tail, "duration"), 0u);
}

// Each case breaks the read so that the split must fail; the read must then be
// exactly as it was and no sub tag may have been handed out.
struct SplitFailure {
    std::string name;
    std::function<void(ReadHolder&)> change;
    unsigned long long position;
};

TEST(ReadSplitTest, HugeSequenceLengthCannotPassTheMatrixSizeCheck) {
    // 2^63 rows of two channels would wrap round to the empty matrix's count.
    ReadHolder read = splittable_read();
    read.metadata.insert("base_mod_alphabet", std::string("m h"));
    std::vector<unsigned char> none;
    MatView<unsigned char> view;
    view.view(none.data(), 8, 0, 1, 1);
    read.datasets[dataset::base_mod_probs].own(view, std::move(none));
    read.metadata.insert<unsigned long long>("sequence_length", 1ull << 63);
    EXPECT_THROW(read.split_at(3), std::runtime_error);
    EXPECT_EQ(u64(read, "sequence_length"), 1ull << 63);
}

TEST(ReadSplitTest, FailedSplitLeavesReadUnchanged) {
    const auto probs = [](ReadHolder& r, size_t count, const std::string& alphabet) {
        r.metadata.insert("base_mod_alphabet", alphabet);
        std::vector<unsigned char> bytes(count, 1);
        MatView<unsigned char> view;
        view.view(bytes.data(), 8, count / 8, count / 8 == 0 ? 1 : count / 8, 1);
        r.datasets[dataset::base_mod_probs].own(view, std::move(bytes));
    };
    const std::vector<SplitFailure> cases = {
        {"beyond sequence", [](ReadHolder&) {}, 9},
        {"beyond quality string",
         [](ReadHolder& r) { r.datasets[dataset::qstring].own(std::string("++")); }, 3},
        {"moves end before position",
         [](ReadHolder& r) { r.datasets[dataset::movement].own(std::vector<unsigned char>{1, 1}); },
         3},
        {"position at the last base emitted", [](ReadHolder&) {}, 8},
        {"no move table", [](ReadHolder& r) { r.datasets.erase(dataset::movement); }, 3},
        {"moves not bytes",
         [](ReadHolder& r) { r.datasets[dataset::movement].own(std::string("x")); }, 3},
        {"sequence not a string",
         [](ReadHolder& r) {
             r.datasets[dataset::sequence].own(std::vector<unsigned char>(8, 65));
         },
         3},
        {"no strand id", [](ReadHolder& r) { r.metadata.remove("strand_id"); }, 3},
        {"no sequence length", [](ReadHolder& r) { r.metadata.remove("sequence_length"); }, 3},
        {"no trimmed events", [](ReadHolder& r) { r.metadata.remove("trimmed_events"); }, 3},
        {"num events of wrong type",
         [](ReadHolder& r) { r.metadata.insert<int>("num_events", 12); }, 3},
        {"no model stride", [](ReadHolder& r) { r.metadata.remove("model_stride"); }, 3},
        {"probabilities without alphabet",
         [&](ReadHolder& r) {
             probs(r, 16, "m h");
             r.metadata.remove("base_mod_alphabet");
         },
         3},
        {"probability matrix of wrong size", [&](ReadHolder& r) { probs(r, 16, "m h x"); }, 3},
        {"probabilities beyond sequence length",
         [&](ReadHolder& r) {
             probs(r, 16, "m h");
             r.metadata.insert<unsigned long long>("sequence_length", 2);
             r.metadata.insert<unsigned long long>("trimmed_events", 10);
         },
         3},
        {"probabilities not bytes",
         [&](ReadHolder& r) {
             r.metadata.insert("base_mod_alphabet", std::string("m"));
             r.datasets[dataset::base_mod_probs].own(std::string("12345678"));
         },
         3},
        {"stride overflows",
         [](ReadHolder& r) { r.metadata.insert<unsigned long long>("model_stride", ~0ull); }, 3},
    };
    for (const auto& c : cases) {
        ReadHolder read = splittable_read();
        c.change(read);
        const auto metadata_before = read.metadata;
        std::vector<std::pair<dataset, const void*>> datasets_before;
        for (const auto& [code, data] : read.datasets) {
            datasets_before.emplace_back(code, data.data);
        }
        EXPECT_ANY_THROW(read.split_at(c.position)) << c.name;
        EXPECT_EQ(read.metadata, metadata_before) << c.name;
        std::vector<std::pair<dataset, const void*>> datasets_after;
        for (const auto& [code, data] : read.datasets) {
            datasets_after.emplace_back(code, data.data);
        }
        EXPECT_EQ(datasets_after, datasets_before) << c.name;
        EXPECT_FALSE(read.coordinator) << c.name;
    }

    // A read that already has a coordinator takes no sub tag on failure.
    ReadHolder read = splittable_read();
    EXPECT_EQ(read.clone().sub_tag, 1u);
    EXPECT_THROW(read.split_at(9), std::out_of_range);
    EXPECT_EQ(read.clone().sub_tag, 2u);
}

TEST(MeanQscoreTest, AveragesErrorProbabilities) {
    struct Case {
        std::string qstring;
        float shift;
        float scale;
        float expected;
    };
    const std::vector<Case> cases = {
        {"+++", 0.0f, 1.0f, 10.0f},
        {"!", 0.0f, 1.0f, 1.0f},                    // Phred 0, clamped
        {std::string(5, '~'), 0.0f, 1.0f, 90.0f},  // Phred 93, clamped
        {"", 0.0f, 1.0f, 1.0f},                     // NaN, clamped
        {"+5", 0.0f, 1.0f, -10.0f * std::log10((0.1f + 0.01f) / 2.0f)},
        {"+++", 2.0f, 1.0f, 10.0f},
        {"+++", 0.0f, 2.0f, 10.0f},
        {"+++", 1.0f, 0.5f, 1.0f + 0.5f * 18.0f},
    };
    for (const auto& c : cases) {
        ReadHolder read;
        read.datasets[dataset::qstring].own(std::string(c.qstring));
        read.metadata.insert<float>("qscore_shift", c.shift);
        read.metadata.insert<float>("qscore_scale", c.scale);
        read.recalculate_mean_qscore();
        EXPECT_NEAR(read.metadata.get_value<float>("mean_qscore"), c.expected, 1e-4)
            << "'" << c.qstring << "' shift " << c.shift << " scale " << c.scale;
    }

    ReadHolder no_qstring;
    no_qstring.metadata.insert<float>("mean_qscore", 17.0f);
    no_qstring.recalculate_mean_qscore();
    EXPECT_EQ(no_qstring.metadata.get_value<float>("mean_qscore"), 17.0f);

    ReadHolder wrong_type;
    wrong_type.datasets[dataset::qstring].own(std::vector<unsigned char>{43});
    wrong_type.metadata.insert<double>("qscore_shift", 5.0);  // not a float: ignored
    EXPECT_THROW(wrong_type.recalculate_mean_qscore(), std::runtime_error);
    EXPECT_FALSE(wrong_type.metadata.exists("mean_qscore"));
}

ReadHolder sub_read(unsigned long long tag, unsigned long long sub_tag) {
    ReadHolder read;
    read.read_tag = tag;
    read.sub_tag = sub_tag;
    return read;
}

TEST(ReadCoordinatorTest, HandsOverAllSubReadsOnceComplete) {
    ReadCoordinator coordinator(42);
    EXPECT_EQ(coordinator.add_sub_tag(), 1u);

    ReadList reads;
    reads.push_back(sub_read(1, 1));
    coordinator.complete_read(sub_read(42, 1));
    EXPECT_FALSE(coordinator.get_all_reads(reads));
    ASSERT_EQ(reads.size(), 1u);  // untouched
    try {
        coordinator.complete_read(sub_read(42, 2));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Tried to completed unexpected sub_tag: read 42 : 2, #tags=2");
    }
    try {
        coordinator.complete_read(sub_read(42, 1));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Tried to completed read twice: read 42 : 1");
    }
    coordinator.complete_read(sub_read(42, 0));
    ASSERT_TRUE(coordinator.get_all_reads(reads));
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads.front().sub_tag, 1u);  // completion order
    EXPECT_EQ(reads.back().sub_tag, 0u);
    EXPECT_FALSE(coordinator.get_all_reads(reads));
    EXPECT_EQ(reads.size(), 2u);
}

TEST(ReadCoordinatorTest, ForeignReadIsAContractViolation) {
    using common::contract::ContractViolationPolicy;
    const auto previous =
        common::contract::set_contract_violation_policy(ContractViolationPolicy::throw_violation);
    ReadCoordinator coordinator(42);
    EXPECT_ANY_THROW(coordinator.complete_read(sub_read(7, 0)));
    common::contract::set_contract_violation_policy(previous);
    // the coordinator is unchanged and still usable
    coordinator.complete_read(sub_read(42, 0));
    ReadList reads;
    EXPECT_TRUE(coordinator.get_all_reads(reads));
}

TEST(ReadCoordinatorTest, SubTagsAndCompletionsFromManyThreadsCountOnce) {
    constexpr unsigned long long THREADS = 8;
    constexpr unsigned long long TAGS_PER_THREAD = 50;
    ReadCoordinator coordinator(42);
    std::vector<std::vector<unsigned long long>> tags(THREADS);
    std::vector<std::thread> threads;
    for (unsigned long long t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned long long i = 0; i < TAGS_PER_THREAD; ++i) {
                tags[t].push_back(coordinator.add_sub_tag());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::vector<unsigned long long> all_tags;
    for (const auto& some : tags) {
        all_tags.insert(all_tags.end(), some.begin(), some.end());
    }
    std::sort(all_tags.begin(), all_tags.end());
    std::vector<unsigned long long> expected(THREADS * TAGS_PER_THREAD);
    std::iota(expected.begin(), expected.end(), 1ull);
    EXPECT_EQ(all_tags, expected);  // every sub tag handed out exactly once

    threads.clear();
    for (unsigned long long t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned long long tag : tags[t]) {
                coordinator.complete_read(sub_read(42, tag));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ReadList reads;
    EXPECT_FALSE(coordinator.get_all_reads(reads));  // the parent read is still out
    coordinator.complete_read(sub_read(42, 0));
    ASSERT_TRUE(coordinator.get_all_reads(reads));
    EXPECT_EQ(reads.size(), THREADS * TAGS_PER_THREAD + 1);
}

TEST(ReadSplitTest, SplitSubReadsGatherAgain) {
    ReadHolder head = splittable_read();
    ReadHolder tail = head.split_at(3);
    auto coordinator = head.coordinator;
    coordinator->complete_read(std::move(tail));
    coordinator->complete_read(std::move(head));
    ReadList reads;
    ASSERT_TRUE(coordinator->get_all_reads(reads));
    EXPECT_EQ(reads.size(), 2u);
}

}  // namespace
