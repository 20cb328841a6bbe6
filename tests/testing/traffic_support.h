#pragma once

// Drives a ReadTraffic as the test server would: requests made with the
// client's own builders travel as frames and are parsed as the server parses
// them; replies are parsed as the client parses them. Pulls follow the
// client's road: GET_FIRST_CALLED_BLOCK, then GET_NEXT_CALLED_BLOCK for every
// further block of each returned read.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data_model/interfaces/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "testing/called_blocks.h"
#include "testing/called_read.h"
#include "testing/read_traffic.h"

namespace traffic_support {

using ipc_tools::Message;
using ipc_tools::MessageType;
using test_server::CalledRead;
using test_server::ClientSetup;
using test_server::ReadTraffic;
using test_server::Reply;

// Samples of a read: a wave with a little of the read's number in it, so
// that reads differ from each other.
inline std::vector<std::int16_t> make_samples(std::size_t count, unsigned seed) {
    std::vector<std::int16_t> samples(count);
    std::uint32_t state = 2463534242u + seed * 7919u;
    for (std::size_t i = 0; i < count; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        samples[i] = static_cast<std::int16_t>(400 + static_cast<int>(i % 97) * 3 + static_cast<int>(state % 61) - 30);
    }
    return samples;
}

// A read as the application passes it, with every key the block builder needs.
inline interfaces::ReadHolder make_read(unsigned long long read_tag, std::size_t num_samples) {
    interfaces::ReadHolder read;
    read.read_tag = read_tag;
    kelp::data_wrappers::v2::DataSetData raw;
    raw.own(make_samples(num_samples, static_cast<unsigned>(read_tag)));
    read.datasets.emplace(dataset::raw_data, std::move(raw));
    auto& metadata = read.metadata;
    const std::string id = "read-" + std::to_string(read_tag);
    metadata.insert("duration", static_cast<unsigned long long>(num_samples));
    metadata.insert("daq_offset", 4.5f);
    metadata.insert("daq_scaling", 0.25f);
    metadata.insert("read_id", id);
    metadata.insert("strand_id", id + "_strand");
    metadata.insert("sampling_rate", 4000.0f);
    metadata.insert("start_time", static_cast<unsigned long long>(1000 + read_tag));
    metadata.insert("num_sequor_events", static_cast<unsigned long long>(3 * read_tag));
    return read;
}

inline ClientSetup make_client(const std::string& id, const std::string& config = "dna_fast") {
    ClientSetup client;
    client.client_id = id;
    client.info.config = config;
    client.model_version_id = config + "_model_v1";
    return client;
}

// A reply as the client receives it.
struct Received {
    MessageType type = MessageType::UNSET;
    Message message;  // empty for a frame that did not verify
    bool verified = false;
    std::string bytes;

    const tessel_ipc::MessageData* data() const { return message.get_message_data(); }
    std::uint32_t value() const {
        const auto* reply = data()->content_as_SimpleReplyData();
        return reply != nullptr ? reply->value() : 0;
    }
    std::string text() const { return ipc_tools::get_simple_message_text(message); }
    const tessel_ipc::ReadBlockData* block() const { return data()->content_as_ReadBlockData(); }
    const tessel_ipc::ReadBatchData* batch() const { return data()->content_as_ReadBatchData(); }
};

inline Received receive(Reply reply) {
    if (reply.is_silent()) {
        throw std::runtime_error("the read traffic stayed silent");
    }
    zmq::message_t frame = reply.take_frame();
    Received received;
    received.bytes.assign(static_cast<const char*>(frame.data()), frame.size());
    try {
        received.message = Message(std::move(frame));
        received.type = received.message.get_type();
        received.verified = !received.message.empty();
    } catch (const std::exception&) {
        received.type = MessageType::UNSET;
    }
    return received;
}

// Sends one request, as a frame, to the traffic on behalf of `client`.
inline Received send(ReadTraffic& traffic, const ClientSetup& client, Message request) {
    zmq::message_t frame;
    request.transfer_to_zmq(frame);
    Message parsed(std::move(frame));
    test_server::RequestRecord record;
    record.type = parsed.get_type();
    record.parsed = true;
    record.client_id = client.client_id;
    if (const auto* simple = parsed.get_message_data()->content_as_SimpleRequestData()) {
        record.value = simple->value();
        record.text = simple->text() != nullptr ? simple->text()->str() : "";
    }
    return receive(traffic.handle(client, test_server::Request{record, parsed}));
}

inline Received send_simple(ReadTraffic& traffic, const ClientSetup& client, MessageType type,
                            unsigned value = 0, const std::string& text = "") {
    return send(traffic, client, Message(type, client.client_id, value, text));
}

// Pushes the read's block messages in order; the reply types, stopping at
// the first that is not RAW_BLOCK_ACCEPTED.
inline std::vector<MessageType> push_read(ReadTraffic& traffic, const ClientSetup& client,
                                          const interfaces::ReadHolder& read, std::size_t block_size = 256000) {
    std::vector<MessageType> replies;
    for (Message& message : ipc_tools::create_read_block_messages(read, client.client_id, block_size)) {
        replies.push_back(send(traffic, client, std::move(message)).type);
        if (replies.back() != MessageType::RAW_BLOCK_ACCEPTED) {
            break;
        }
    }
    return replies;
}

inline MessageType push_batch(ReadTraffic& traffic, const ClientSetup& client,
                              const std::vector<interfaces::ReadHolder>& reads) {
    return send(traffic, client, ipc_tools::create_read_batch_message(reads, client.client_id)).type;
}

// One poll and everything it hands back, joined per read.
struct Pulled {
    MessageType type = MessageType::UNSET;  // of the reply to GET_FIRST_CALLED_BLOCK
    std::uint32_t value = 0;                // of a NONE_PENDING
    std::vector<CalledRead> reads;
    std::vector<std::size_t> num_blocks;
};

inline Pulled pull(ReadTraffic& traffic, const ClientSetup& client, bool moves = false) {
    Pulled pulled;
    Received first = send_simple(traffic, client, MessageType::GET_FIRST_CALLED_BLOCK, moves ? 1 : 0);
    pulled.type = first.type;
    if (first.type == MessageType::NONE_PENDING) {
        pulled.value = first.value();
        return pulled;
    }
    std::vector<const tessel_ipc::ReadBlockData*> firsts;
    if (first.type == MessageType::RETURN_FIRST_CALLED_BLOCK) {
        firsts.push_back(first.block());
    } else if (first.type == MessageType::RETURN_COMPLETED_BATCH && first.batch()->blocks() != nullptr) {
        for (const auto* block : *first.batch()->blocks()) {
            firsts.push_back(block);
        }
    } else {
        return pulled;
    }
    std::vector<Received> later;  // keeps the later blocks' frames alive
    later.reserve(1024);
    for (const tessel_ipc::ReadBlockData* block : firsts) {
        std::vector<const tessel_ipc::ReadBlockData*> blocks{block};
        for (std::uint32_t k = 1; k < block->num_blocks(); ++k) {
            const std::string strand = block->strand_id() != nullptr ? block->strand_id()->str() : "";
            later.push_back(send_simple(traffic, client, MessageType::GET_NEXT_CALLED_BLOCK, block->read_tag(), strand));
            EXPECT_EQ(later.back().type, MessageType::RETURN_NEXT_CALLED_BLOCK);
            if (later.back().type != MessageType::RETURN_NEXT_CALLED_BLOCK) {
                break;
            }
            blocks.push_back(later.back().block());
        }
        pulled.reads.push_back(test_server::join_called_blocks(blocks));
        pulled.num_blocks.push_back(blocks.size());
    }
    return pulled;
}

// Polls until NONE_PENDING 0 (at most `polls` times) and gathers every read.
inline std::vector<CalledRead> pull_all(ReadTraffic& traffic, const ClientSetup& client, bool moves = false,
                                        int polls = 1000) {
    std::vector<CalledRead> reads;
    for (int i = 0; i < polls; ++i) {
        Pulled pulled = pull(traffic, client, moves);
        if (pulled.type == MessageType::NONE_PENDING) {
            break;
        }
        for (auto& read : pulled.reads) {
            reads.push_back(std::move(read));
        }
    }
    return reads;
}

inline std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

}  // namespace traffic_support
