#include "strandlink/read_buffer.h"

#include "read_buffer_test_helpers.h"

#include "common/concrete_state_logger.h"
#include "common/concurrency.h"
#include "data_model/key_tags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace read_buffer_test;

// --- Cutting and batching ---------------------------------------------------------

TEST(ReadBufferMessagesTest, ReadsAreCutIntoBlocksOfTheBlockSize) {
    struct Case {
        std::size_t samples;
        std::vector<std::size_t> blocks;  // samples per block; none: not sent at all
    };
    const Case cases[] = {
            {99, {}},
            {100, {100}},
            {1000, {1000}},
            {1001, {1000, 1}},
            {2500, {1000, 1000, 500}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.samples) + " samples");
        auto buffer = make_buffer(1000, 10);
        ReadHolder read = make_read(4, c.samples);
        ASSERT_EQ(buffer->queue_read(read, NO_WAIT), BufferQueueReadsResult::queued);
        EXPECT_TRUE(read.metadata.empty()) << "the read was taken";
        if (c.blocks.empty()) {
            EXPECT_EQ(buffer->num_queued_reads(), 0u);
            const ReadList out = take_out(*buffer);
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out.front().read_tag, 4u);
            EXPECT_EQ(out.front().datasets.count(dataset::sequence), 0u);
            continue;
        }
        EXPECT_EQ(buffer->num_queued_reads(), 1u);
        EXPECT_EQ(buffer->num_samples_in_queued_reads(), c.samples);
        const SentEntry entry = submit_front(*buffer);
        EXPECT_FALSE(entry.batch);
        ASSERT_EQ(entry.blocks.size(), c.blocks.size());
        std::size_t offset = 0;
        for (std::size_t k = 0; k < c.blocks.size(); ++k) {
            SCOPED_TRACE("block " + std::to_string(k));
            const SentBlock& block = entry.blocks[k];
            EXPECT_EQ(block.client_id, "conn-1");
            EXPECT_EQ(block.block_index, k);
            EXPECT_EQ(block.num_blocks, c.blocks.size());
            EXPECT_EQ(block.duration, c.samples);
            EXPECT_EQ(block.num_samples, c.blocks[k]);
            EXPECT_EQ(block.first_sample % 2000, offset % 2000);
            offset += c.blocks[k];
        }
        EXPECT_EQ(buffer->num_queued_reads(), 0u);
        EXPECT_EQ(buffer->num_samples_in_queued_reads(), 0u);
        EXPECT_EQ(buffer->num_submitted_reads(), 1u);
    }
}

TEST(ReadBufferMessagesTest, ListsAreSplitIntoSingleReadsAndBatches) {
    struct Case {
        const char* name;
        std::vector<std::pair<unsigned long long, std::size_t>> reads;  // tag, samples
        std::vector<std::string> entries;
        std::vector<unsigned long long> straight_out;
    };
    const Case cases[] = {
            {"four of 400", {{1, 400}, {2, 400}, {3, 400}, {4, 400}}, {"B1+2", "B3+4"}, {}},
            {"three of 600", {{1, 600}, {2, 600}, {3, 600}}, {"S1", "S2", "B3"}, {}},
            {"400, 700, 5000", {{1, 400}, {2, 700}, {3, 5000}}, {"S1", "S3", "B2"}, {}},
            {"short reads between batch members do not close the batch",
             {{1, 300}, {2, 50}, {3, 300}, {4, 99}, {5, 400}, {6, 100}},
             {"B1+3+5", "B6"}, {2, 4}},
            {"exactly a block's worth", {{1, 500}, {2, 500}, {3, 1}}, {"B1+2"}, {3}},
            {"short reads alone", {{1, 10}, {2, 99}}, {}, {1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = make_buffer(1000, 1);
        ReadList list = make_list(c.reads);
        ASSERT_EQ(buffer->queue_reads(list, NO_WAIT), BufferQueueReadsResult::queued);
        EXPECT_TRUE(list.empty());
        std::uint64_t expected_samples = 0;
        for (const auto& [tag, samples] : c.reads) {
            expected_samples += samples > 99 ? samples : 0;
        }
        EXPECT_EQ(buffer->num_samples_in_queued_reads(), expected_samples);
        EXPECT_EQ(tags_of(take_out(*buffer)), c.straight_out);
        EXPECT_EQ(submit_all(*buffer), c.entries);
    }
}

TEST(ReadBufferMessagesTest, BatchesCarryEveryReadWhole) {
    auto buffer = make_buffer(1000, 10);
    ReadList list = make_list({{8, 333}, {9, 667}});
    ASSERT_EQ(buffer->queue_reads(list, NO_WAIT), BufferQueueReadsResult::queued);
    const SentEntry entry = submit_front(*buffer);
    ASSERT_TRUE(entry.batch);
    ASSERT_EQ(entry.blocks.size(), 2u);
    for (const auto& block : entry.blocks) {
        EXPECT_EQ(block.client_id, "conn-1");
        EXPECT_EQ(block.block_index, 0u);
        EXPECT_EQ(block.num_blocks, 1u);
        EXPECT_EQ(block.num_samples, block.duration);
        EXPECT_EQ(block.first_sample, 0u);
    }
    EXPECT_EQ(buffer->num_submitted_reads(), 2u);
}

// --- Admission --------------------------------------------------------------------

TEST(ReadBufferAdmissionTest, OutcomesOfAdmission) {
    struct Case {
        const char* name;
        std::uint64_t max_entries;
        std::size_t entries_before;  // single reads queued first
        bool no_more_data;
        bool as_list;
        std::size_t samples;
        BufferQueueReadsResult expected;
    };
    using R = BufferQueueReadsResult;
    const Case cases[] = {
            {"room", 2, 1, false, false, 500, R::queued},
            {"room, list", 2, 1, false, true, 500, R::queued},
            {"full, wait 0", 2, 2, false, false, 500, R::timed_out_waiting},
            {"full, wait 0, list", 2, 2, false, true, 500, R::timed_out_waiting},
            {"full, list of short reads alone", 2, 2, false, true, 50, R::timed_out_waiting},
            {"full, a short read alone still passes", 2, 2, false, false, 50, R::queued},
            {"limit 0", 0, 0, false, false, 100, R::timed_out_waiting},
            {"limit 0, list", 0, 0, false, true, 100, R::timed_out_waiting},
            {"no more data", 2, 0, true, false, 500, R::not_accepting},
            {"no more data, list", 2, 0, true, true, 500, R::not_accepting},
            {"no more data, short read passes", 2, 0, true, false, 99, R::queued},
            {"no more data, list of one short read", 2, 0, true, true, 99, R::not_accepting},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = make_buffer(1000, c.max_entries);
        for (std::size_t i = 0; i < c.entries_before; ++i) {
            ReadHolder read = make_read(100 + i, 500);
            ASSERT_EQ(buffer->queue_read(read, NO_WAIT), R::queued);
        }
        if (c.no_more_data) {
            buffer->set_no_more_data();
        }
        if (c.as_list) {
            ReadList list = make_list({{1, c.samples}, {2, c.samples}});
            EXPECT_EQ(buffer->queue_reads(list, NO_WAIT), c.expected);
            EXPECT_EQ(list.size(), c.expected == R::queued ? 0u : 2u);
            if (c.expected != R::queued) {
                EXPECT_EQ(tags_of(list), (std::vector<unsigned long long>{1, 2}));
                EXPECT_EQ(list.front().metadata.get<read_data::duration>(), c.samples);
            }
        } else {
            ReadHolder read = make_read(1, c.samples);
            EXPECT_EQ(buffer->queue_read(read, NO_WAIT), c.expected);
            EXPECT_EQ(read.metadata.empty(), c.expected == R::queued);
        }
    }
}

TEST(ReadBufferAdmissionTest, OneFreeEntryAdmitsAWholeList) {
    auto buffer = make_buffer(1000, 3);
    for (unsigned long long tag : {100, 101}) {
        ReadHolder read = make_read(tag, 500);
        ASSERT_EQ(buffer->queue_read(read, NO_WAIT), BufferQueueReadsResult::queued);
    }
    ReadList list = make_list({{1, 1500}, {2, 1500}, {3, 1500}, {4, 1500}, {5, 1500}, {6, 20}});
    ASSERT_EQ(buffer->queue_reads(list, NO_WAIT), BufferQueueReadsResult::queued);
    EXPECT_EQ(buffer->num_queued_reads(), 7u);
    std::vector<std::string> entries = submit_all(*buffer);
    EXPECT_EQ(entries, (std::vector<std::string>{"S100", "S101", "S1", "S2", "S3", "S4", "S5"}))
            << "the queue held four entries more than its limit";
    EXPECT_EQ(tags_of(take_out(*buffer)), (std::vector<unsigned long long>{6}));
}

TEST(ReadBufferAdmissionTest, ListsThatCannotBeAdmittedStayAsGiven) {
    struct Case {
        const char* name;
        void (*spoil)(ReadList&);
        const char* what;  // a part of the error text
        bool invalid_argument;
    };
    const Case cases[] = {
            {"two reads share a tag", [](ReadList& l) { std::next(l.begin(), 3)->read_tag = 2; },
             "Read tag 2 appears more than once in the list (reads 1 and 3)", true},
            {"a short read repeats a tag", [](ReadList& l) { l.back().read_tag = 1; },
             "Read tag 1 appears more than once", true},
            {"a read without duration", [](ReadList& l) { std::next(l.begin(), 2)->metadata.remove("duration"); },
             "Key 'duration' not found in read 2 of the list, read tag 3 (read_id read-3)", false},
            {"a duration of another type",
             [](ReadList& l) { l.front().metadata.insert("duration", 5); },
             "Key 'duration' not found in read 0 of the list, read tag 1", false},
            // Read 4 then travels alone, after read 3: an entry built only
            // once the list is taken, so it is checked before.
            {"a later entry's duration beyond its samples",
             [](ReadList& l) { std::next(l.begin(), 3)->metadata.insert("duration", 5000ull); },
             "Duration of 5000 samples is beyond the 300 samples of the raw signal of read 4", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = make_buffer(1000, 10);
        ReadList list = make_list({{1, 400}, {2, 500}, {3, 2000}, {4, 300}, {5, 50}});
        c.spoil(list);
        const auto tags = tags_of(list);
        try {
            buffer->queue_reads(list, NO_WAIT);
            ADD_FAILURE() << "the list was admitted";
        } catch (const std::invalid_argument& error) {
            EXPECT_TRUE(c.invalid_argument);
            EXPECT_NE(std::string(error.what()).find(c.what), std::string::npos) << error.what();
        } catch (const std::out_of_range& error) {
            EXPECT_FALSE(c.invalid_argument);
            EXPECT_NE(std::string(error.what()).find(c.what), std::string::npos) << error.what();
        }
        EXPECT_EQ(tags_of(list), tags);
        for (const auto& read : list) {
            EXPECT_EQ(read.datasets.count(dataset::raw_data), 1u) << "read " << read.read_tag << " was taken";
        }
        EXPECT_EQ(buffer->num_queued_reads(), 0u);
        EXPECT_EQ(buffer->num_reads_out(), 0u);
    }
}

TEST(ReadBufferAdmissionTest, SingleReadWithoutDurationStaysWithTheCaller) {
    auto buffer = make_buffer(1000, 10);
    ReadHolder read = make_read(1, 500);
    read.metadata.remove("duration");
    corvid::utils::concurrency::Flag flag;
    EXPECT_THROW(buffer->testable_queue_read(read, NO_WAIT, &flag), std::out_of_range);
    flag.wait();  // counted down on the way out all the same
    EXPECT_EQ(read.datasets.count(dataset::raw_data), 1u);
    EXPECT_EQ(buffer->num_queued_reads(), 0u);
}

TEST(ReadBufferAdmissionTest, BlockSizeZeroIsRefused) {
    ReadBuffer buffer;
    buffer.set_block_size(700);
    EXPECT_THROW(buffer.set_block_size(0), std::invalid_argument);
    buffer.set_max_input_queue_size(5);
    ReadHolder read = make_read(1, 1500);
    ASSERT_EQ(buffer.queue_read(read, NO_WAIT), BufferQueueReadsResult::queued);
    EXPECT_EQ(inspect(buffer.next_read_messages()).blocks.size(), 3u) << "700 samples a block still";
}

TEST(ReadBufferAdmissionTest, NoMoreDataReleasesWaitingCallers) {
    for (const bool as_list : {false, true}) {
        SCOPED_TRACE(as_list ? "list" : "single read");
        auto buffer = make_buffer(1000, 1);
        ReadHolder first = make_read(1, 500);
        ASSERT_EQ(buffer->queue_read(first, NO_WAIT), BufferQueueReadsResult::queued);
        corvid::utils::concurrency::Flag waiting;
        BufferQueueReadsResult result = BufferQueueReadsResult::queued;
        ReadList list = make_list({{2, 500}, {3, 500}});
        ReadHolder read = make_read(2, 500);
        std::thread caller([&] {
            if (as_list) {
                result = buffer->queue_reads(list, LONG_WAIT);
            } else {
                result = buffer->testable_queue_read(read, LONG_WAIT, &waiting);
            }
        });
        if (as_list) {
            // queue_reads has no test hook: give the caller time to start
            // waiting. Either way it must be refused.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else {
            waiting.wait();
        }
        buffer->set_no_more_data();
        caller.join();
        EXPECT_EQ(result, BufferQueueReadsResult::not_accepting);
        EXPECT_EQ(list.size(), 2u);
        EXPECT_FALSE(read.metadata.empty());
    }
}

}  // namespace
