// ReadBuffer between several application threads and one worker, with
// reconnections, hand-backs and lost reads in between: every read put in
// comes out exactly once. Run under TSan too.

#include "strandlink/read_buffer.h"

#include "read_buffer_test_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace read_buffer_test;

constexpr int PRODUCERS = 4;
constexpr int READS_PER_PRODUCER = 250;

// Puts its reads in, alone or in lists, retrying whenever the queue is full.
void produce(ReadBuffer& buffer, int producer) {
    std::mt19937 random(1000 + producer);
    const std::size_t lengths[] = {50, 99, 100, 400, 900, 1000, 1500, 3000};
    int made = 0;
    while (made < READS_PER_PRODUCER) {
        const int count = std::min<int>(1 + static_cast<int>(random() % 6), READS_PER_PRODUCER - made);
        ReadList list;
        for (int i = 0; i < count; ++i) {
            const unsigned long long tag = 1 + static_cast<unsigned long long>(producer) * 100000 + made + i;
            list.push_back(make_read(tag, lengths[random() % 8]));
        }
        const std::uint64_t wait_ms = random() % 3;
        const bool alone = count == 1 && random() % 2;
        BufferQueueReadsResult result;
        do {
            result = alone ? buffer.queue_read(list.front(), wait_ms) : buffer.queue_reads(list, wait_ms);
        } while (result == BufferQueueReadsResult::timed_out_waiting);
        if (result == BufferQueueReadsResult::not_accepting) {
            return;  // the worker gave up: a failure it reports itself
        }
        made += count;
    }
}

TEST(ReadBufferThreadsTest, EveryReadComesOutExactlyOnce) {
    auto buffer = make_buffer(1000, 6, 2);
    std::atomic<int> producers_left{PRODUCERS};
    std::atomic<bool> worker_done{false};

    std::vector<std::thread> producers;
    for (int p = 0; p < PRODUCERS; ++p) {
        producers.emplace_back([&, p] {
            produce(*buffer, p);
            --producers_left;
        });
    }

    // Collects what comes out, as the application does.
    std::map<std::pair<unsigned long long, unsigned long long>, int> out;
    std::thread collector([&] {
        for (;;) {
            const bool last = worker_done.load();
            ReadList reads;
            buffer->get_reads_out(reads);
            for (const auto& read : reads) {
                ++out[{read.read_tag, read.sub_tag}];
            }
            if (last) {
                break;
            }
            std::this_thread::yield();
        }
    });

    // Plays the worker: pushes, pulls back (whole reads, sub reads before
    // and after their parent, whole batches), reconnects, loses reads.
    // Sub reads finished with or after their parent: they must come out.
    std::set<std::pair<unsigned long long, unsigned long long>> finished_sub_reads;
    const auto play_worker = [&] {
        std::mt19937 random(7);
        std::string connection_id = "conn-1";
        std::vector<unsigned long long> submitted;
        int reconnections = 0;
        for (long step = 0;; ++step) {
            bool progress = false;
            // A list's later entries are queued as they are built.
            if (buffer->num_queued_reads() > 0 && buffer->wait_for_next_entry(std::chrono::milliseconds(0))) {
                const SentEntry entry = inspect(buffer->next_read_messages());
                for (const auto& block : entry.blocks) {
                    ASSERT_EQ(block.client_id, connection_id) << "read " << block.tag;
                    if (block.block_index == 0) {
                        submitted.push_back(block.tag);
                    }
                }
                buffer->reads_submitted();
                progress = true;
            }
            if (!submitted.empty() && random() % 3 == 0) {
                const std::size_t pick = random() % submitted.size();
                const unsigned long long tag = submitted[pick];
                submitted.erase(submitted.begin() + static_cast<long>(pick));
                ReadHolder* read = buffer->get_submitted_read_holder(tag);
                ASSERT_NE(read, nullptr) << "read " << tag;
                read->metadata.insert("mean_qscore", 10.0f);
                switch (random() % 4) {
                case 0: {  // a sub read before its parent, one after it
                    ReadHolder* early = buffer->create_temp_sub_read(tag, 1);
                    ReadHolder* late = buffer->create_temp_sub_read(tag, 2);
                    ASSERT_TRUE(early && late);
                    buffer->sub_read_retrieved(tag, 1);
                    buffer->read_retrieved(tag);
                    buffer->sub_read_retrieved(tag, 2);
                    finished_sub_reads.insert({tag, 1});
                    finished_sub_reads.insert({tag, 2});
                    break;
                }
                case 1:  // a completed batch of the parent and a sub read
                    buffer->reads_retrieved({buffer->create_temp_sub_read(tag, 3), read});
                    finished_sub_reads.insert({tag, 3});
                    break;
                case 2:  // a sub read left unfinished when the parent goes
                    buffer->create_temp_sub_read(tag, 4);
                    buffer->read_retrieved(tag);
                    break;
                default:
                    buffer->read_retrieved(tag);
                }
                progress = true;
            }
            if (step % 97 == 96) {
                if (random() % 8 == 0) {
                    buffer->clear_submitted_reads();
                } else {
                    // Unfinished sub reads of requeued reads are dropped with them.
                    buffer->create_temp_sub_read(submitted.empty() ? 0 : submitted.front(), 9);
                    connection_id = "conn-" + std::to_string(++reconnections + 1);
                    buffer->set_connection_id(connection_id);
                }
                submitted.clear();
            }
            if (producers_left.load() == 0 && buffer->all_reads_processed()) {
                break;
            }
            if (!progress) {
                std::this_thread::yield();
            }
        }
        EXPECT_GT(reconnections, 3);
    };
    std::thread worker([&] {
        play_worker();  // a failed assertion returns early
        buffer->set_no_more_data();
        worker_done = true;
    });

    for (auto& producer : producers) {
        producer.join();
    }
    worker.join();
    collector.join();

    int whole = 0;
    for (const auto& [tags, count] : out) {
        EXPECT_EQ(count, 1) << "read " << tags.first << ":" << tags.second;
        if (tags.second == 0) {
            ++whole;
        } else {
            EXPECT_EQ(out.count({tags.first, 0}), 1u) << "sub read without its parent: " << tags.first;
            EXPECT_NE(tags.second, 4u) << "an unfinished sub read came out";
            EXPECT_NE(tags.second, 9u) << "a sub read of a requeued read came out";
        }
    }
    EXPECT_EQ(whole, PRODUCERS * READS_PER_PRODUCER);
    for (const auto& tags : finished_sub_reads) {
        EXPECT_EQ(out.count(tags), 1u) << "sub read stranded: " << tags.first << ":" << tags.second;
    }
    EXPECT_GT(finished_sub_reads.size(), 100u);
    EXPECT_EQ(buffer->num_reads_out(), 0u);
}

// `count` reads of `samples` samples each, tagged from 1: with a block size
// of 1000, a list that takes a while to build.
ReadList list_of_long_reads(std::uint64_t count, std::size_t samples) {
    ReadList list;
    for (std::uint64_t tag = 1; tag <= count; ++tag) {
        list.push_back(make_read(tag, samples));
    }
    return list;
}

// Waits, at most 30 s, until a list passed on another thread is admitted.
void await_admission(const ReadBuffer& buffer) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (buffer.num_queued_reads() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
}

// A list's entries after the first are built and queued after it is
// admitted. Meanwhile the whole list counts as queued, and a worker ending
// the connection hands back all of it, including the entries not yet built.
TEST(ReadBufferThreadsTest, AListStillArrivingCountsAsQueuedAndIsHandedBackWhole) {
    constexpr std::uint64_t READS = 40;
    auto buffer = make_buffer(1000, 4, 2);
    ReadList list = list_of_long_reads(READS, 50000);  // 50 block messages a read
    BufferQueueReadsResult result = BufferQueueReadsResult::not_accepting;
    std::thread producer([&] { result = buffer->queue_reads(list, LONG_WAIT); });

    await_admission(*buffer);
    // None is submitted yet: every read of the list is queued or arriving.
    EXPECT_EQ(buffer->num_queued_reads(), READS);
    EXPECT_FALSE(buffer->all_reads_processed());
    ASSERT_TRUE(buffer->wait_for_next_entry(std::chrono::seconds(30)));
    EXPECT_EQ(inspect(buffer->next_read_messages()).blocks.size(), 50u);
    buffer->reads_submitted();
    const std::uint64_t handed_back = buffer->hand_back_unfinished_reads();
    producer.join();

    EXPECT_EQ(result, BufferQueueReadsResult::queued);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(handed_back, READS);
    EXPECT_EQ(buffer->num_queued_reads(), 0u);
    EXPECT_TRUE(buffer->all_reads_processed());
    ReadList out;
    buffer->get_reads_out(out);
    std::set<unsigned long long> tags;
    for (const auto& read : out) {
        EXPECT_TRUE(tags.insert(read.read_tag).second) << "read " << read.read_tag << " twice";
    }
    EXPECT_EQ(tags.size(), READS);
}

// The worker's idle wait ends when reads are admitted, not at each later
// entry of a list being built: a server refusing reads for now is asked
// again at the pace it would be for a list queued whole.
TEST(ReadBufferThreadsTest, AListsLaterEntriesDoNotEndTheIdleWait) {
    constexpr std::uint64_t READS = 100;
    auto buffer = make_buffer(1000, 4, 2);
    ReadList list = list_of_long_reads(READS, 100000);
    std::thread producer([&] { buffer->queue_reads(list, LONG_WAIT); });
    await_admission(*buffer);
    EXPECT_FALSE(buffer->wait_for_queued_reads(std::chrono::milliseconds(50)));
    producer.join();
    EXPECT_EQ(buffer->num_queued_reads(), READS);
}

}  // namespace
