#pragma once

// Reads, a worker's view of sent messages and a ready buffer, for the tests
// of ReadBuffer.

#include "strandlink/read_buffer.h"

#include "data_model/key_tags.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace read_buffer_test {

using interfaces::ReadHolder;
using interfaces::ReadList;
using ipc_tools::Message;
using strandlink::BufferQueueReadsResult;
using strandlink::ReadBuffer;

constexpr std::uint64_t NO_WAIT = 0;
constexpr std::uint64_t LONG_WAIT = 60000;

inline short sample_of(unsigned long long tag, std::size_t i) {
    return static_cast<short>((tag * 31 + i) % 2000);
}

inline ReadHolder make_read(unsigned long long tag, std::size_t samples) {
    ReadHolder read;
    read.read_tag = tag;
    std::vector<short> raw(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        raw[i] = sample_of(tag, i);
    }
    kelp::data_wrappers::v2::DataSetData data;
    data.own(std::move(raw));
    read.datasets.emplace(dataset::raw_data, std::move(data));
    auto& m = read.metadata;
    m.insert("duration", static_cast<unsigned long long>(samples));
    m.insert("daq_offset", 3.0f);
    m.insert("daq_scaling", 0.5f);
    m.insert("read_id", "read-" + std::to_string(tag));
    m.insert("strand_id", "strand-" + std::to_string(tag));
    m.insert("sampling_rate", 4000.0f);
    return read;
}

inline ReadList make_list(const std::vector<std::pair<unsigned long long, std::size_t>>& reads) {
    ReadList list;
    for (const auto& [tag, samples] : reads) {
        list.push_back(make_read(tag, samples));
    }
    return list;
}

inline std::vector<unsigned long long> tags_of(const ReadList& reads) {
    std::vector<unsigned long long> tags;
    for (const auto& read : reads) {
        tags.push_back(read.read_tag);
    }
    return tags;
}

// One block as the server receives it.
struct SentBlock {
    std::string client_id;
    unsigned long long tag;
    unsigned block_index;
    unsigned num_blocks;
    unsigned duration;
    std::size_t first_sample;  // offset of the block's samples within the read
    std::size_t num_samples;
};

// The messages of one input entry as the server receives them.
struct SentEntry {
    bool batch = false;
    std::vector<SentBlock> blocks;

    // "S7" for a read sent alone, "B1+2" for a batch.
    std::string summary() const {
        std::string text = batch ? "B" : "S" + std::to_string(blocks.at(0).tag);
        if (batch) {
            for (std::size_t i = 0; i < blocks.size(); ++i) {
                text += (i ? "+" : "") + std::to_string(blocks[i].tag);
            }
        }
        return text;
    }
};

inline SentBlock decode_block(const tessel_ipc::ReadBlockData* block, const std::string& client_id) {
    SentBlock sent{client_id, block->read_tag(), block->block_index(), block->num_blocks(), block->duration(),
                   0, block->raw_data()->size()};
    if (sent.num_samples > 0) {
        // Each sample says where in its read it was (modulo 2000).
        const long first = block->raw_data()->Get(0);
        sent.first_sample = static_cast<std::size_t>(((first - static_cast<long>(sent.tag * 31 % 2000)) % 2000 + 2000) % 2000);
        for (std::size_t i = 0; i < sent.num_samples; ++i) {
            if (block->raw_data()->Get(static_cast<flatbuffers::uoffset_t>(i)) != sample_of(sent.tag, sent.first_sample + i)) {
                ADD_FAILURE() << "sample " << i << " of a block of read " << sent.tag << " is not the read's";
                break;
            }
        }
    }
    return sent;
}

inline SentEntry inspect(const std::vector<Message>& messages) {
    SentEntry entry;
    for (const auto& message : messages) {
        zmq::message_t frame;
        Message copy = message.copy();
        copy.transfer_to_zmq(frame);
        const Message received(std::move(frame));
        const auto* data = received.get_message_data();
        const std::string client_id = data->client_id() ? data->client_id()->str() : "<none>";
        if (received.get_type() == ipc_tools::PASS_READ_BATCH) {
            entry.batch = true;
            for (const auto* block : *data->content_as_ReadBatchData()->blocks()) {
                entry.blocks.push_back(decode_block(block, client_id));
            }
        } else {
            entry.blocks.push_back(decode_block(data->content_as_ReadBlockData(), client_id));
        }
    }
    return entry;
}

// Plays the worker's push: the front entry's messages, then marks them sent.
inline SentEntry submit_front(ReadBuffer& buffer) {
    SentEntry entry = inspect(buffer.next_read_messages());
    buffer.reads_submitted();
    return entry;
}

inline std::vector<std::string> submit_all(ReadBuffer& buffer) {
    std::vector<std::string> summaries;
    while (buffer.num_queued_reads() > 0) {
        summaries.push_back(submit_front(buffer).summary());
    }
    return summaries;
}

inline ReadList take_out(ReadBuffer& buffer) {
    ReadList reads;
    buffer.get_reads_out(reads);
    return reads;
}

inline std::unique_ptr<ReadBuffer> make_buffer(std::uint64_t block_size, std::uint64_t max_entries,
                                        std::uint64_t max_failures = 10) {
    auto buffer = std::make_unique<ReadBuffer>();
    buffer->set_block_size(block_size);
    buffer->set_max_input_queue_size(max_entries);
    buffer->set_max_read_failures(max_failures);
    buffer->set_connection_id("conn-1");
    return buffer;
}

}  // namespace read_buffer_test
