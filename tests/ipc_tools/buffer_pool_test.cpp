#include "ipc_tools/buffer_pool.h"

#include "data_model/interfaces/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/ipc_tools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace ipc_tools;

TEST(BufferPoolTest, AGivenBackBufferIsTakenAgainForTheSameSize) {
    if (!BufferPool::POOLING) {
        GTEST_SKIP() << "no pooling in sanitizer builds";
    }
    BufferPool& pool = BufferPool::instance();
    pool.clear();
    std::uint8_t* first = pool.take(100000);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % 16, 0u);
    pool.give_back(first, 100000);
    EXPECT_GT(pool.idle_bytes(), 0u);
    // Any size of the same class gets it back.
    std::uint8_t* second = pool.take(99000);
    EXPECT_EQ(second, first);
    EXPECT_EQ(pool.idle_bytes(), 0u);
    // The whole class size is usable.
    std::memset(second, 1, 100000);
    pool.give_back(second, 99000);
    pool.clear();
    EXPECT_EQ(pool.idle_bytes(), 0u);
}

TEST(BufferPoolTest, IdleBytesAreBoundedAndHugeBuffersAreNotKept) {
    if (!BufferPool::POOLING) {
        GTEST_SKIP() << "no pooling in sanitizer builds";
    }
    BufferPool& pool = BufferPool::instance();
    pool.clear();
    const std::size_t huge = BufferPool::MAX_POOLED_SIZE + 1;
    pool.give_back(pool.take(huge), huge);
    EXPECT_EQ(pool.idle_bytes(), 0u);

    const std::size_t size = 8u << 20;
    std::vector<std::uint8_t*> buffers;
    for (std::size_t i = 0; i < 2 * BufferPool::MAX_IDLE_BYTES / size; ++i) {
        buffers.push_back(pool.take(size));
    }
    for (std::uint8_t* buffer : buffers) {
        pool.give_back(buffer, size);
    }
    EXPECT_LE(pool.idle_bytes(), BufferPool::MAX_IDLE_BYTES);
    EXPECT_GT(pool.idle_bytes(), 0u);
    pool.clear();
}

TEST(BufferPoolTest, BuffersMayComeBackOnAnotherThread) {
    BufferPool& pool = BufferPool::instance();
    pool.clear();
    std::vector<std::uint8_t*> taken;
    for (int i = 0; i < 64; ++i) {
        taken.push_back(pool.take(4096 + static_cast<std::size_t>(i)));
    }
    std::thread giver([&] {
        for (int i = 0; i < 64; ++i) {
            pool.give_back(taken[static_cast<std::size_t>(i)], 4096 + static_cast<std::size_t>(i));
        }
    });
    for (int i = 0; i < 64; ++i) {
        pool.give_back(pool.take(300), 300);
    }
    giver.join();
    pool.clear();
}

interfaces::ReadHolder make_read(std::size_t num_samples, unsigned long long tag) {
    interfaces::ReadHolder read;
    read.read_tag = tag;
    std::vector<short> samples(num_samples);
    for (std::size_t i = 0; i < num_samples; ++i) {
        samples[i] = static_cast<short>(i * 13 + tag);
    }
    kelp::data_wrappers::v2::DataSetData raw;
    raw.own(std::move(samples));
    read.datasets.emplace(dataset::raw_data, std::move(raw));
    read.metadata.insert("duration", static_cast<unsigned long long>(num_samples));
    read.metadata.insert("daq_offset", 1.5f);
    read.metadata.insert("daq_scaling", 0.5f);
    read.metadata.insert("read_id", "read-" + std::to_string(tag));
    read.metadata.insert("strand_id", "strand-" + std::to_string(tag));
    read.metadata.insert("sampling_rate", 5000.0f);
    read.metadata.insert("run_id", std::string(33, 'q'));
    read.metadata.insert("channel", 7);
    read.metadata.insert("mux", 1u);
    return read;
}

std::string bytes_of(const Message& message) {
    zmq::message_t frame;
    Message copy = message.copy();
    copy.transfer_to_zmq(frame);
    return frame.to_string();
}

// The frames of a fixed set of reads as blocks, as a batch and as simple
// messages.
std::vector<std::string> frames_of(const std::vector<interfaces::ReadHolder>& reads) {
    std::vector<std::string> frames;
    for (const auto& read : reads) {
        for (const Message& message : create_read_block_messages(read, "client-1", 700)) {
            frames.push_back(bytes_of(message));
        }
    }
    frames.push_back(bytes_of(create_read_batch_message(reads, "client-1")));
    frames.push_back(bytes_of(Message(GET_NEXT_CALLED_BLOCK, "client-1", 12, "strand-3")));
    frames.push_back(bytes_of(Message(HEARTBEAT_PING, "", 0, "")));
    return frames;
}

// FNV-1a over every frame and its length.
std::uint64_t digest(const std::vector<std::string>& frames) {
    std::uint64_t hash = 14695981039346656037ull;
    const auto add = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 1099511628211ull;
    };
    for (const std::string& frame : frames) {
        for (int shift = 0; shift < 64; shift += 8) {
            add(static_cast<unsigned char>(frame.size() >> shift));
        }
        for (const char c : frame) {
            add(static_cast<unsigned char>(c));
        }
    }
    return hash;
}

// The frames on the wire do not depend on where the builders' memory came
// from: built into fresh buffers, and again into recycled buffers that were
// left full of other bytes, they are the same, byte for byte, as the frames
// these reads gave before the buffers were pooled.
TEST(BufferPoolTest, FramesAreTheSameFromFreshAndFromRecycledBuffers) {
    std::vector<interfaces::ReadHolder> reads;
    for (unsigned long long tag = 1; tag <= 5; ++tag) {
        reads.push_back(make_read(400 * tag + 3, tag));
    }
    BufferPool& pool = BufferPool::instance();
    pool.clear();
    const auto fresh = frames_of(reads);

    // Fill the pool with dirty buffers of every class the frames use.
    std::vector<std::pair<std::uint8_t*, std::size_t>> dirty;
    for (std::size_t size = 256; size <= (1u << 16); size += size / 3) {
        for (int i = 0; i < 8; ++i) {
            std::uint8_t* buffer = pool.take(size);
            std::memset(buffer, 0xA5, size);
            dirty.emplace_back(buffer, size);
        }
    }
    for (const auto& [buffer, size] : dirty) {
        pool.give_back(buffer, size);
    }
    const auto recycled = frames_of(reads);
    EXPECT_EQ(recycled, fresh);
    // The digest of these frames as the builders wrote them into memory of
    // their own, before any buffer was pooled.
    EXPECT_EQ(digest(fresh), 0x5d71097464a7aa17ull) << std::hex << digest(fresh);
    pool.clear();
}

TEST(MessageShareTest, ASharedMessageHasTheSameBytesAndLivesOnItsOwn) {
    const auto read = make_read(5000, 9);
    Message original = std::move(create_read_block_messages(read, "c", 100000).at(0));
    const std::string bytes = bytes_of(original);
    Message shared = original.share();
    EXPECT_EQ(shared.get_type(), PASS_FIRST_RAW_BLOCK);
    zmq::message_t frame;
    shared.transfer_to_zmq(frame);
    EXPECT_EQ(frame.to_string(), bytes);
    // The original stays whole and readable while the shared frame lives and
    // after it is gone.
    EXPECT_EQ(original.get_message_data()->content_as_ReadBlockData()->read_tag(), 9u);
    frame = zmq::message_t();
    EXPECT_EQ(bytes_of(original), bytes);

    // A short frame is copied; no frame shares as none.
    const Message ping(HEARTBEAT_PING, "", 0, "");
    EXPECT_EQ(bytes_of(ping.share()), bytes_of(ping));
    Message empty;
    EXPECT_TRUE(empty.share().empty());
}

TEST(MessageShareTest, SharedFramesSentFromAnotherThreadKeepTheOriginalIntact) {
    const auto read = make_read(20000, 4);
    Message original = std::move(create_read_block_messages(read, "c", 100000).at(0));
    const std::string bytes = bytes_of(original);
    std::vector<Message> shares;
    for (int i = 0; i < 16; ++i) {
        shares.push_back(original.share());
    }
    std::thread other([&shares] { shares.clear(); });
    for (int i = 0; i < 16; ++i) {
        Message again = original.share();
    }
    other.join();
    EXPECT_EQ(bytes_of(original), bytes);
}

TEST(MessageVerificationTest, TheRootIsKeptAcrossMovesAndDroppedWhenTheFrameLeaves) {
    const Message built(GET_NEXT_CALLED_BLOCK, "client", 5, "strand");
    zmq::message_t frame;
    Message copy = built.copy();
    copy.transfer_to_zmq(frame);
    Message received(std::move(frame));
    const auto* root = received.get_message_data();
    EXPECT_EQ(received.get_message_data(), root);
    Message moved(std::move(received));
    EXPECT_EQ(moved.get_message_data(), root);
    EXPECT_EQ(moved.get_message_data()->content_as_SimpleRequestData()->value(), 5u);
    EXPECT_THROW(received.get_message_data(), std::runtime_error);
    zmq::message_t out;
    moved.transfer_to_zmq(out);
    EXPECT_THROW(moved.get_message_data(), std::runtime_error);
}

}  // namespace
