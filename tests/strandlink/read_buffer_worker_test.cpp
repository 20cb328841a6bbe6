// ReadBuffer from the worker's side: submission, retrieval, sub reads, the
// requeue at every (re)connection, lost reads, and the state report.

#include "strandlink/read_buffer.h"

#include "read_buffer_test_helpers.h"

#include "common/concrete_state_logger.h"
#include "common/contract.h"

#include <gtest/gtest.h>

#include <boost/any.hpp>

#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace read_buffer_test;
using strandlink::ConnectionError;
using strandlink::ErrorState;

// Queues single reads of the given tags (1500 samples: two blocks of 1000).
void queue_singles(ReadBuffer& buffer, const std::vector<unsigned long long>& tags, std::size_t samples = 1500) {
    for (const auto tag : tags) {
        ReadHolder read = make_read(tag, samples);
        ASSERT_EQ(buffer.queue_read(read, NO_WAIT), BufferQueueReadsResult::queued);
    }
}

// Writes called data into a submitted read as the assembly does: the
// server's duration, called keys and datasets.
void fill_as_called(ReadHolder& read, const std::string& sequence) {
    read.metadata.insert("duration", 123456ull);
    read.metadata.insert("mean_qscore", 12.5f);
    read.metadata.insert("barcode_arrangement", std::string("barcode07"));
    read.datasets.emplace(dataset::sequence,
                          kelp::data_wrappers::v2::DataSetData::take_ownership(std::string(sequence)));
}

bool is_called(const ReadHolder& read) {
    return read.datasets.count(dataset::sequence) != 0 || read.metadata.exists("mean_qscore");
}

std::vector<std::string> out_tags(ReadBuffer& buffer) {
    std::vector<std::string> tags;
    for (const auto& read : take_out(buffer)) {
        tags.push_back(std::to_string(read.read_tag) + ":" + std::to_string(read.sub_tag));
    }
    return tags;
}

// Reads 1, 2 and 3 (300 samples each), queued as one list and submitted.
void submit_list_of_three(ReadBuffer& buffer) {
    ReadList list = make_list({{1, 300}, {2, 300}, {3, 300}});
    ASSERT_EQ(buffer.queue_reads(list, NO_WAIT), BufferQueueReadsResult::queued);
    submit_all(buffer);
}

TEST(ReadBufferRetrievalTest, RetrievedReadsGoOutInOrderAndAppend) {
    auto buffer = make_buffer(1000, 10);
    queue_singles(*buffer, {1, 2, 3});
    submit_all(*buffer);
    EXPECT_EQ(buffer->num_submitted_reads(), 3u);
    EXPECT_FALSE(buffer->all_reads_processed());
    ReadHolder* two = buffer->get_submitted_read_holder(2);
    ASSERT_NE(two, nullptr);
    fill_as_called(*two, "ACGT");
    EXPECT_EQ(buffer->get_submitted_read_holder(99), nullptr);
    buffer->read_retrieved(2);
    buffer->read_retrieved(1);
    EXPECT_THROW(buffer->read_retrieved(2), std::out_of_range);
    EXPECT_EQ(buffer->num_reads_out(), 2u);

    ReadList reads = make_list({{50, 10}, {51, 10}});
    buffer->get_reads_out(reads);
    EXPECT_EQ(tags_of(reads), (std::vector<unsigned long long>{50, 51, 2, 1}));
    EXPECT_EQ(std::next(reads.begin(), 2)->datasets.at(dataset::sequence).get_string(), "ACGT");
    buffer->get_reads_out(reads);
    EXPECT_EQ(reads.size(), 4u) << "a second call hands over nothing more";
    EXPECT_FALSE(buffer->all_reads_processed());
    buffer->read_retrieved(3);
    EXPECT_TRUE(buffer->all_reads_processed()) << "while the output queue still holds read 3";
    EXPECT_EQ(buffer->num_reads_out(), 1u);
}

// A read expected out of the buffer: its tags and its whole metadata.
struct OutRead {
    unsigned long long read_tag;
    unsigned long long sub_tag;
    const kelp::data_wrappers::v2::Metadata* metadata;
};

// The reads out are exactly `expected`, in order.
void expect_out(const ReadList& out, const std::vector<OutRead>& expected) {
    ASSERT_EQ(out.size(), expected.size());
    auto it = out.begin();
    for (const OutRead& read : expected) {
        EXPECT_EQ(it->read_tag, read.read_tag);
        EXPECT_EQ(it->sub_tag, read.sub_tag) << read.read_tag;
        EXPECT_TRUE(it->metadata == *read.metadata) << read.read_tag << ":" << read.sub_tag;
        ++it;
    }
}

// The worker writes into a read's metadata while it is at the server; the
// read that leaves holds what it was passed in with, the written values over
// it, whichever way it leaves: alone, in a batch, or after a failed attempt.
TEST(ReadBufferRetrievalTest, ARetrievedReadHoldsItsOwnMetadataWithTheCalledValuesOverIt) {
    auto buffer = make_buffer(1000, 10);
    ReadList list = make_list({{1, 300}, {2, 300}});
    std::vector<kelp::data_wrappers::v2::Metadata> expected;
    for (auto& read : list) {
        read.metadata.insert("run_id", std::string("run-7"));
        ReadHolder called;
        called.metadata = read.metadata;
        fill_as_called(called, "ACGT");
        expected.push_back(called.metadata);
    }
    ASSERT_EQ(buffer->queue_reads(list, NO_WAIT), BufferQueueReadsResult::queued);
    queue_singles(*buffer, {3});
    submit_all(*buffer);

    // Read 3 fails its first attempt and is sent again.
    fill_as_called(*buffer->get_submitted_read_holder(3), "PARTIAL");
    buffer->get_submitted_read_holder(3)->metadata.insert("poly_tail_length", 5);
    buffer->set_connection_id("conn-2");
    submit_all(*buffer);
    ReadHolder* three = buffer->get_submitted_read_holder(3);
    EXPECT_TRUE(three->metadata.empty()) << "the metadata passed in is set aside while the read is filled";
    fill_as_called(*three, "COMPLETE");

    ReadHolder* one = buffer->get_submitted_read_holder(1);
    ReadHolder* two = buffer->get_submitted_read_holder(2);
    fill_as_called(*one, "ACGT");
    fill_as_called(*two, "ACGT");
    buffer->reads_retrieved({two, one});
    buffer->read_retrieved(3);

    ReadList out = take_out(*buffer);
    // Read 3: nothing written by the failed attempt is left.
    ReadHolder third = make_read(3, 1500);
    fill_as_called(third, "COMPLETE");
    expect_out(out, {{2, 0, &expected[1]}, {1, 0, &expected[0]}, {3, 0, &third.metadata}});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_FALSE(out.back().metadata.exists("poly_tail_length"));
    EXPECT_EQ(out.back().metadata.get<read_data::duration>(), 123456u) << "the written value wins";
}

// A read filled in place gets the called values straight over its own
// metadata, also when a sub read of it was made first; it leaves as a read
// filled apart and merged would, and the sub read keeps none of it.
TEST(ReadBufferRetrievalTest, AReadFilledInPlaceLeavesAsAMergedOneWould) {
    auto buffer = make_buffer(1000, 10);
    ReadList list = make_list({{1, 300}, {2, 300}});
    std::vector<kelp::data_wrappers::v2::Metadata> passed_in;
    std::vector<kelp::data_wrappers::v2::Metadata> expected;
    for (auto& read : list) {
        read.metadata.insert("run_id", std::string("run-7"));
        passed_in.push_back(read.metadata);
        ReadHolder called;
        called.metadata = read.metadata;
        fill_as_called(called, "ACGT");
        expected.push_back(called.metadata);
    }
    ASSERT_EQ(buffer->queue_reads(list, NO_WAIT), BufferQueueReadsResult::queued);
    submit_all(*buffer);
    EXPECT_EQ(buffer->get_submitted_read_to_fill_in_place(9), nullptr);

    ReadHolder* sub = buffer->create_temp_sub_read(2, 1);
    ASSERT_NE(sub, nullptr);
    ReadHolder* one = buffer->get_submitted_read_to_fill_in_place(1);
    ReadHolder* two = buffer->get_submitted_read_to_fill_in_place(2);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_TRUE(one->metadata == passed_in[0]);
    EXPECT_TRUE(two->metadata == passed_in[1]) << "what was set aside for the sub read is back";
    fill_as_called(*one, "ACGT");
    fill_as_called(*two, "ACGT");
    buffer->reads_retrieved({one, two, sub});

    expect_out(take_out(*buffer), {{1, 0, &expected[0]}, {2, 0, &expected[1]}, {2, 1, &passed_in[1]}});
}

TEST(ReadBufferRetrievalTest, CompletedBatchesAreCheckedWholeBeforeAnythingMoves) {
    auto buffer = make_buffer(1000, 10);
    submit_list_of_three(*buffer);
    ReadHolder* one = buffer->get_submitted_read_holder(1);
    ReadHolder* two = buffer->get_submitted_read_holder(2);
    ReadHolder* three = buffer->get_submitted_read_holder(3);
    ReadHolder stray = make_read(9, 300);
    ReadHolder* sub = buffer->create_temp_sub_read(2, 4);
    ASSERT_NE(sub, nullptr);

    EXPECT_THROW(buffer->reads_retrieved({one, &stray, two}), std::out_of_range);
    EXPECT_THROW(buffer->reads_retrieved({one, two, one}), std::invalid_argument);
    EXPECT_THROW(buffer->reads_retrieved({one, nullptr}), std::invalid_argument);
    EXPECT_EQ(buffer->num_submitted_reads(), 3u);
    EXPECT_EQ(buffer->num_reads_out(), 0u);

    buffer->reads_retrieved({sub, one, two, three});
    EXPECT_EQ(out_tags(*buffer), (std::vector<std::string>{"1:0", "2:0", "2:4", "3:0"}));
    EXPECT_TRUE(buffer->all_reads_processed());
}

// Called data kept for the collector: fills read i with sequence "seq<i>",
// noting the thread of every call; can be told to run out of memory once.
class RecordingFill : public strandlink::PendingFill {
public:
    void fill(std::size_t index, ReadHolder& read) const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back({index, std::this_thread::get_id()});
        if (m_fail_at_call == m_calls.size()) {
            read.metadata.insert("mean_qscore", 1.0f);  // half written
            throw std::bad_alloc();
        }
        fill_as_called(read, "seq" + std::to_string(index));
    }
    void fail_at_call(std::size_t call) { m_fail_at_call = call; }
    std::vector<std::pair<std::size_t, std::thread::id>> calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    mutable std::mutex m_mutex;
    mutable std::vector<std::pair<std::size_t, std::thread::id>> m_calls;
    std::size_t m_fail_at_call = 0;
};

// A batch retrieved with its called data still to write leaves the worker
// at once; the collecting thread fills each read, once, before handing it
// over. Running out of memory there loses nothing: the reads stay, in
// order, and the next collector finishes the job.
TEST(ReadBufferRetrievalTest, ABatchLeftToFillIsFilledOnceByItsCollector) {
    auto buffer = make_buffer(1000, 10);
    submit_list_of_three(*buffer);
    ReadHolder* one = buffer->get_submitted_read_to_fill_in_place(1);
    ReadHolder* two = buffer->get_submitted_read_to_fill_in_place(2);
    auto fill = std::make_shared<RecordingFill>();

    // Checked whole before anything moves.
    ReadHolder stray = make_read(9, 300);
    ReadHolder* sub = buffer->create_temp_sub_read(3, 2);
    ASSERT_NE(sub, nullptr);
    EXPECT_THROW(buffer->reads_retrieved({two, one}, nullptr), std::invalid_argument);
    EXPECT_THROW(buffer->reads_retrieved({two, &stray}, fill), std::out_of_range);
    EXPECT_THROW(buffer->reads_retrieved({two, sub}, fill), std::out_of_range);
    EXPECT_THROW(buffer->reads_retrieved({two, one, two}, fill), std::invalid_argument);
    EXPECT_THROW(buffer->reads_retrieved({two, nullptr}, fill), std::invalid_argument);
    EXPECT_EQ(buffer->num_submitted_reads(), 3u);
    EXPECT_EQ(buffer->num_reads_out(), 0u);

    buffer->reads_retrieved({two, one}, fill);
    fill_as_called(*buffer->get_submitted_read_to_fill_in_place(3), "filled by the worker");
    buffer->read_retrieved(3);
    EXPECT_EQ(buffer->num_submitted_reads(), 0u);
    EXPECT_EQ(buffer->num_reads_out(), 3u);
    EXPECT_TRUE(fill->calls().empty()) << "nothing is written on the worker";

    // The second read runs out of memory: nothing is handed over.
    fill->fail_at_call(2);
    ReadList collected;
    collected.push_back(make_read(42, 10));
    std::thread([&] { EXPECT_THROW(buffer->get_reads_out(collected), std::bad_alloc); }).join();
    ASSERT_EQ(collected.size(), 1u);
    EXPECT_EQ(collected.front().read_tag, 42u);
    EXPECT_EQ(buffer->num_reads_out(), 3u);

    collected.clear();
    std::thread::id collector;
    std::thread([&] {
        collector = std::this_thread::get_id();
        buffer->get_reads_out(collected);
    }).join();
    std::vector<std::string> sequences;
    for (const auto& read : collected) {
        sequences.push_back(std::to_string(read.read_tag) + " " +
                            read.datasets.at(dataset::sequence).get_string());
    }
    EXPECT_EQ(sequences, (std::vector<std::string>{"2 seq0", "1 seq1", "3 filled by the worker"}));
    EXPECT_FLOAT_EQ(std::next(collected.begin())->metadata.get<basecall_data::mean_qscore>(), 12.5f)
            << "a read filled again after a failure is as if filled once";
    const auto calls = fill->calls();
    ASSERT_EQ(calls.size(), 3u) << "a read filled before the failure is not filled again";
    EXPECT_EQ(calls[2].first, 1u);
    EXPECT_EQ(calls[2].second, collector);
    for (const auto& call : calls) {
        EXPECT_NE(call.second, std::this_thread::get_id());
    }
    EXPECT_TRUE(buffer->all_reads_processed());
}

TEST(ReadBufferSubReadTest, SubReadsFollowTheirParentWhicheverFinishesFirst) {
    auto buffer = make_buffer(1000, 10);
    queue_singles(*buffer, {7, 8});
    submit_all(*buffer);

    // Two sub reads finished before their parent: they wait, then follow it.
    for (const unsigned long long sub_tag : {1, 2}) {
        ReadHolder* sub_read = buffer->create_temp_sub_read(7, sub_tag);
        ASSERT_NE(sub_read, nullptr);
        fill_as_called(*sub_read, "sub");
        buffer->sub_read_retrieved(7, sub_tag);
    }
    EXPECT_EQ(buffer->num_reads_out(), 0u);
    buffer->read_retrieved(7);
    std::vector<std::string> out = out_tags(*buffer);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], "7:0");
    std::sort(out.begin() + 1, out.end());
    EXPECT_EQ(out, (std::vector<std::string>{"7:0", "7:1", "7:2"}));

    // A sub read finished after its parent has gone out follows it at once,
    // rather than waiting for a parent that will never come again.
    ReadHolder* late = buffer->create_temp_sub_read(8, 5);
    buffer->read_retrieved(8);
    buffer->sub_read_retrieved(8, 5);
    EXPECT_EQ(out_tags(*buffer), (std::vector<std::string>{"8:0", "8:5"}));
    EXPECT_NE(late, nullptr);

    EXPECT_THROW(buffer->sub_read_retrieved(8, 5), std::out_of_range);
    EXPECT_EQ(buffer->create_temp_sub_read(8, 6), nullptr) << "no submitted parent";
    EXPECT_THROW(buffer->create_temp_sub_read(7, 0), std::invalid_argument);
}

TEST(ReadBufferSubReadTest, SubReadsCarryNothingCalledOfTheirParent) {
    auto buffer = make_buffer(1000, 10);
    ReadHolder read = make_read(7, 1500);
    read.metadata.insert("run_id", std::string("run-1"));
    read.attachment = std::make_shared<int>(42);
    const auto attachment = read.attachment;
    ASSERT_EQ(buffer->queue_read(read, NO_WAIT), BufferQueueReadsResult::queued);
    submit_all(*buffer);

    // The parent comes back first in its batch and is filled...
    ReadHolder* parent = buffer->get_submitted_read_holder(7);
    fill_as_called(*parent, "PARENT");
    // ...then its sub read is made from it.
    ReadHolder* sub_read = buffer->create_temp_sub_read(7, 3);
    ASSERT_NE(sub_read, nullptr);
    EXPECT_EQ(sub_read->read_tag, 7u);
    EXPECT_EQ(sub_read->sub_tag, 3u);
    EXPECT_FALSE(is_called(*sub_read));
    EXPECT_FALSE(sub_read->metadata.exists("barcode_arrangement"));
    EXPECT_EQ(sub_read->metadata.get<read_data::duration>(), 1500u);
    EXPECT_EQ(sub_read->metadata.get<read_data::run_id>(), "run-1");
    ASSERT_EQ(sub_read->datasets.count(dataset::raw_data), 1u);
    EXPECT_EQ(sub_read->datasets.at(dataset::raw_data).info.count, 1500u);
    EXPECT_NE(sub_read->datasets.at(dataset::raw_data).get_array<short>(),
              parent->datasets.at(dataset::raw_data).get_array<short>())
            << "an owned dataset is copied";
    EXPECT_EQ(sub_read->attachment, attachment);
    EXPECT_EQ(sub_read->coordinator, nullptr);
    fill_as_called(*sub_read, "SUB");

    // Asking again returns the same sub read, as it is.
    EXPECT_EQ(buffer->create_temp_sub_read(7, 3), sub_read);
    // So does adding one of the same tags; the argument is left untouched.
    ReadHolder other = make_read(7, 200);
    other.sub_tag = 3;
    EXPECT_EQ(buffer->add_temp_sub_read(other), sub_read);
    EXPECT_FALSE(other.metadata.empty());
    ReadHolder fresh = make_read(7, 200);
    fresh.sub_tag = 4;
    ReadHolder* added = buffer->add_temp_sub_read(fresh);
    EXPECT_NE(added, sub_read);
    EXPECT_EQ(added->sub_tag, 4u);

    buffer->read_retrieved(7);
    buffer->sub_read_retrieved(7, 3);
    ReadList out = take_out(*buffer);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out.front().datasets.at(dataset::sequence).get_string(), "PARENT");
    EXPECT_EQ(out.back().datasets.at(dataset::sequence).get_string(), "SUB");
}

// --- Requeue at every (re)connection ------------------------------------------------

TEST(ReadBufferRequeueTest, SubmittedReadsGoFirstInTagOrderWithTheNewId) {
    auto buffer = make_buffer(1000, 10);
    queue_singles(*buffer, {7, 3, 5});
    submit_all(*buffer);
    queue_singles(*buffer, {20});
    ReadList batch = make_list({{11, 200}, {12, 200}, {13, 200}, {14, 200}});
    ASSERT_EQ(buffer->queue_reads(batch, NO_WAIT), BufferQueueReadsResult::queued);
    EXPECT_EQ(buffer->num_queued_reads(), 5u);

    buffer->set_connection_id("conn-2");
    EXPECT_EQ(buffer->num_submitted_reads(), 0u);
    EXPECT_EQ(buffer->num_queued_reads(), 8u);
    EXPECT_EQ(buffer->num_samples_in_queued_reads(), 4 * 1500u + 4 * 200u);
    std::vector<std::string> entries;
    while (buffer->num_queued_reads() > 0) {
        const SentEntry entry = submit_front(*buffer);
        entries.push_back(entry.summary());
        for (const auto& block : entry.blocks) {
            EXPECT_EQ(block.client_id, "conn-2") << entry.summary();
        }
    }
    // The batch is dissolved: every requeued read travels alone.
    EXPECT_EQ(entries, (std::vector<std::string>{"S3", "S5", "S7", "S20", "S11", "S12", "S13", "S14"}));
}

TEST(ReadBufferRequeueTest, ResubmissionSendsTheReadAsItWasPassedIn) {
    auto buffer = make_buffer(1000, 10);
    queue_singles(*buffer, {1}, 2500);
    submit_all(*buffer);
    // The assembly wrote the server's duration and called data, then the
    // connection failed before the read was complete.
    fill_as_called(*buffer->get_submitted_read_holder(1), "PARTIAL");
    buffer->set_connection_id("conn-2");

    const SentEntry entry = submit_front(*buffer);
    ASSERT_EQ(entry.blocks.size(), 3u) << "cut by the 2500 samples admitted";
    std::size_t samples = 0;
    for (const auto& block : entry.blocks) {
        EXPECT_EQ(block.duration, 2500u);
        samples += block.num_samples;
    }
    EXPECT_EQ(samples, 2500u);
    ReadHolder* again = buffer->get_submitted_read_holder(1);
    EXPECT_FALSE(is_called(*again)) << "nothing of the failed attempt is kept";
    fill_as_called(*again, "COMPLETE");
    buffer->read_retrieved(1);
    ReadList out = take_out(*buffer);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out.front().datasets.at(dataset::sequence).get_string(), "COMPLETE");
}

TEST(ReadBufferRequeueTest, RequeueReleasesSubReadsTheServerWillSendAgain) {
    auto buffer = make_buffer(1000, 10);
    queue_singles(*buffer, {1, 2});
    submit_all(*buffer);
    buffer->create_temp_sub_read(1, 1);
    buffer->create_temp_sub_read(1, 2);
    buffer->sub_read_retrieved(1, 2);
    buffer->create_temp_sub_read(2, 1);
    buffer->read_retrieved(2);
    buffer->set_connection_id("conn-2");
    EXPECT_THROW(buffer->sub_read_retrieved(1, 1), std::out_of_range);
    // The sub read of read 2, already out, is not the requeue's.
    buffer->sub_read_retrieved(2, 1);
    submit_all(*buffer);
    buffer->read_retrieved(1);
    EXPECT_EQ(out_tags(*buffer), (std::vector<std::string>{"2:0", "2:1", "1:0"}))
            << "the sub read finished before the reconnection is not handed out";
}

TEST(ReadBufferRequeueTest, ResubmissionLimitHandsBackEverySubmittedRead) {
    for (const std::uint64_t limit : {10u, 0u}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        auto buffer = make_buffer(1000, 10, limit);
        queue_singles(*buffer, {1});
        submit_all(*buffer);
        for (std::uint64_t reconnection = 1; reconnection <= limit; ++reconnection) {
            fill_as_called(*buffer->get_submitted_read_holder(1), "PARTIAL");
            buffer->set_connection_id("conn-" + std::to_string(reconnection));
            ASSERT_EQ(buffer->num_reads_out(), 0u) << "requeued at reconnection " << reconnection;
            ASSERT_EQ(submit_all(*buffer), (std::vector<std::string>{"S1"}));
        }
        // Read 2 is submitted for the first time, read 3 still queued.
        queue_singles(*buffer, {2});
        submit_all(*buffer);
        queue_singles(*buffer, {3});
        fill_as_called(*buffer->get_submitted_read_holder(1), "PARTIAL");
        buffer->set_connection_id("conn-last");
        ReadList out = take_out(*buffer);
        EXPECT_EQ(tags_of(out), (std::vector<unsigned long long>{1, 2}));
        for (const auto& read : out) {
            EXPECT_FALSE(is_called(read)) << "handed back as passed in: read " << read.read_tag;
            EXPECT_EQ(read.metadata.get<read_data::duration>(), 1500u);
        }
        EXPECT_EQ(submit_all(*buffer), (std::vector<std::string>{"S3"}));
        EXPECT_EQ(buffer->num_submitted_reads(), 1u);
    }
}

TEST(ReadBufferRequeueTest, CountsLeaveWithTheirReadAndAllAfterAHandBack) {
    // Limit 1: a read is handed back at the second reconnection it is
    // submitted at.
    auto buffer = make_buffer(1000, 10, 1);
    queue_singles(*buffer, {1, 2});
    submit_all(*buffer);
    buffer->set_connection_id("conn-2");  // both count 1
    submit_all(*buffer);
    buffer->read_retrieved(1);
    take_out(*buffer);

    // Tag 1 is free again: a new read under it starts from no count.
    queue_singles(*buffer, {1});
    submit_all(*buffer);
    buffer->read_retrieved(2);
    queue_singles(*buffer, {4});
    submit_all(*buffer);
    buffer->set_connection_id("conn-3");  // reads 1 and 4 count 1
    EXPECT_EQ(out_tags(*buffer), (std::vector<std::string>{"2:0"}));

    // Only read 1 is sent again before the next reconnection: it passes the
    // limit and goes back, and every count is cleared, read 4's too.
    EXPECT_EQ(submit_front(*buffer).summary(), "S1");
    buffer->set_connection_id("conn-4");
    EXPECT_EQ(out_tags(*buffer), (std::vector<std::string>{"1:0"}));
    EXPECT_EQ(submit_all(*buffer), (std::vector<std::string>{"S4"}));
    buffer->set_connection_id("conn-5");
    EXPECT_EQ(buffer->num_reads_out(), 0u) << "read 4 counted from 0 again";
    EXPECT_EQ(buffer->num_queued_reads(), 1u);
}

TEST(ReadBufferRequeueTest, LostReadsComeBackUnprocessedBehindFinishedOnes) {
    auto buffer = make_buffer(1000, 10);
    queue_singles(*buffer, {4, 2, 9});
    submit_all(*buffer);
    fill_as_called(*buffer->get_submitted_read_holder(9), "DONE");
    buffer->read_retrieved(9);
    fill_as_called(*buffer->get_submitted_read_holder(4), "PARTIAL");
    buffer->create_temp_sub_read(2, 1);
    buffer->sub_read_retrieved(2, 1);
    queue_singles(*buffer, {5});

    buffer->clear_submitted_reads();
    EXPECT_EQ(buffer->num_submitted_reads(), 0u);
    EXPECT_EQ(buffer->num_queued_reads(), 1u);
    ReadList out = take_out(*buffer);
    EXPECT_EQ(tags_of(out), (std::vector<unsigned long long>{9, 2, 4}));
    for (const auto& read : out) {
        EXPECT_EQ(read.sub_tag, 0u);
        EXPECT_EQ(is_called(read), read.read_tag == 9) << "read " << read.read_tag;
    }
    buffer->set_connection_id("conn-2");
    EXPECT_EQ(submit_all(*buffer), (std::vector<std::string>{"S5"}));
}

TEST(ReadBufferRequeueTest, MessagesBuiltBeforeAReconnectionCarryTheNewId) {
    for (const bool as_list : {false, true}) {
        SCOPED_TRACE(as_list ? "list" : "single read");
        auto buffer = make_buffer(1000, 1);
        queue_singles(*buffer, {1});
        corvid::utils::concurrency::Flag waiting;
        BufferQueueReadsResult result = BufferQueueReadsResult::not_accepting;
        ReadHolder read = make_read(2, 1500);
        ReadList list = make_list({{2, 400}, {3, 400}, {4, 1500}});
        std::thread caller([&] {
            result = as_list ? buffer->queue_reads(list, LONG_WAIT)
                             : buffer->testable_queue_read(read, LONG_WAIT, &waiting);
        });
        if (!as_list) {
            waiting.wait();
        }
        // The caller built its messages for conn-1 and waits for room.
        buffer->set_connection_id("conn-2");
        EXPECT_EQ(submit_front(*buffer).summary(), "S1");
        caller.join();
        ASSERT_EQ(result, BufferQueueReadsResult::queued);
        while (buffer->num_queued_reads() > 0) {
            const SentEntry entry = submit_front(*buffer);
            for (const auto& block : entry.blocks) {
                EXPECT_EQ(block.client_id, "conn-2") << entry.summary();
            }
        }
    }
}

// --- Stopping and the state report ---------------------------------------------------

TEST(ReadBufferLifetimeTest, DestructionWaitsForWaitingCallers) {
    auto buffer = make_buffer(1000, 1);
    queue_singles(*buffer, {1});
    corvid::utils::concurrency::Flag first_waiting;
    corvid::utils::concurrency::Flag second_waiting;
    BufferQueueReadsResult first = BufferQueueReadsResult::queued;
    BufferQueueReadsResult second = BufferQueueReadsResult::queued;
    ReadHolder read_a = make_read(2, 500);
    ReadHolder read_b = make_read(3, 500);
    std::thread a([&] { first = buffer->testable_queue_read(read_a, LONG_WAIT, &first_waiting); });
    std::thread b([&] { second = buffer->testable_queue_read(read_b, LONG_WAIT, &second_waiting); });
    first_waiting.wait();
    second_waiting.wait();
    // Both are inside the buffer; were it freed before they left, the
    // sanitizer builds would see them touch freed memory.
    buffer.reset();
    a.join();
    b.join();
    EXPECT_EQ(first, BufferQueueReadsResult::not_accepting);
    EXPECT_EQ(second, BufferQueueReadsResult::not_accepting);
    EXPECT_FALSE(read_a.metadata.empty());
    EXPECT_FALSE(read_b.metadata.empty());
}

TEST(ReadBufferLifetimeTest, ErrorStateStopsAdmission) {
    auto buffer = make_buffer(1000, 10);
    EXPECT_EQ(buffer->get_error_state().code, ConnectionError::no_error);
    buffer->set_error_state({ConnectionError::failed, "no memory"});
    const ErrorState error = buffer->get_error_state();
    EXPECT_EQ(error.code, ConnectionError::failed);
    EXPECT_EQ(error.message, "no memory");
    ReadHolder read = make_read(1, 500);
    EXPECT_EQ(buffer->queue_read(read, NO_WAIT), BufferQueueReadsResult::not_accepting);
}

TEST(ReadBufferStateTest, ReportNamesAndValues) {
    using Values = std::vector<std::pair<std::string, std::string>>;
    const auto report = [](const ReadBuffer& buffer) {
        std::vector<common::diagnostics::state::StateRecord> records;
        common::diagnostics::state::detail::ConcreteStateLogger logger(records);
        buffer.report_state(logger);
        Values values;
        for (const auto& record : records) {
            const auto* number = boost::any_cast<unsigned long long>(&record.value);
            const auto* text = boost::any_cast<std::string>(&record.value);
            values.emplace_back(record.name, number ? std::to_string(*number) : text ? "'" + *text + "'" : "?");
        }
        return values;
    };
    ReadBuffer fresh;
    EXPECT_EQ(report(fresh), (Values{{"m_queued_reads (awaiting pushing to server)", "0"},
                                     {"m_num_samples_in_queued_reads", "0"},
                                     {"m_message_queue_in (awaiting sending to server)", "0"},
                                     {"m_submitted_reads (pushed to server not yet pulled)", "0"},
                                     {"m_reads_out (output queue of reads from server)", "0"},
                                     {"m_max_input_queue_size", "0"},
                                     {"m_block_size ", "256000"},
                                     {"m_connection_id ", "''"}}));

    auto busy = make_buffer(1000, 7);
    queue_singles(*busy, {1, 2});
    submit_all(*busy);
    ReadList list = make_list({{3, 300}, {4, 300}, {5, 1500}, {6, 10}});
    ASSERT_EQ(busy->queue_reads(list, NO_WAIT), BufferQueueReadsResult::queued);
    busy->read_retrieved(1);
    EXPECT_EQ(report(*busy), (Values{{"m_queued_reads (awaiting pushing to server)", "3"},
                                     {"m_num_samples_in_queued_reads", "2100"},
                                     {"m_message_queue_in (awaiting sending to server)", "2"},
                                     {"m_submitted_reads (pushed to server not yet pulled)", "1"},
                                     {"m_reads_out (output queue of reads from server)", "2"},
                                     {"m_max_input_queue_size", "7"},
                                     {"m_block_size ", "1000"},
                                     {"m_connection_id ", "'conn-1'"}}));
}

TEST(ReadBufferStateTest, ResultNames) {
    using R = BufferQueueReadsResult;
    const std::pair<R, const char*> names[] = {
            {R::queued, "queued"}, {R::timed_out_waiting, "timed_out_waiting"}, {R::not_accepting, "not_accepting"}};
    for (const auto& [value, name] : names) {
        EXPECT_EQ(strandlink::to_string(value), name);
        std::ostringstream out;
        out << value;
        EXPECT_EQ(out.str(), name);
    }
    try {
        strandlink::to_string(static_cast<R>(3));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "unrecognised BufferQueueReadsResult value");
    }
}

}  // namespace
