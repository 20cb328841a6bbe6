#include "strandlink/read_processing_protocol.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "common/contract.h"
#include "common/logger.h"
#include "data_model/interfaces/read_holder.h"
#include "strandlink/read_buffer.h"
#include "strandlink/request_broker_adapter.h"

namespace strandlink {

namespace {

// The read tag a pushed message names in texts: the first read of a batch,
// or the read of a block. 0 when the message carries none.
std::uint32_t first_read_tag(const ipc_tools::Message& message) {
    if (message.empty()) {
        return 0;
    }
    const auto* data = message.get_message_data();
    if (const auto* block = data->content_as_ReadBlockData()) {
        return block->read_tag();
    }
    if (const auto* batch = data->content_as_ReadBatchData()) {
        if (batch->blocks() != nullptr && batch->blocks()->size() > 0) {
            return batch->blocks()->Get(0)->read_tag();
        }
    }
    return 0;
}

}  // namespace

ReadProcessingProtocol::ReadProcessingProtocol() { auto trace = create_trace("ReadProcessingProtocol"); }

ReadProcessingProtocol::~ReadProcessingProtocol() { auto trace = create_trace("~ReadProcessingProtocol"); }

void ReadProcessingProtocol::set_enable_moves(bool enable_moves) {
    get_trace_context()->write_message("set_enable_moves", std::to_string(enable_moves ? 1 : 0));
    m_enable_moves = enable_moves;
}

void ReadProcessingProtocol::set_connection_id(std::string connection_id) {
    get_trace_context()->write_message("set_connection_id", connection_id);
    m_connection_id = std::move(connection_id);
    m_sent_no_more_data.exchange(false);
}

void ReadProcessingProtocol::set_no_more_data() {
    auto trace = create_trace("set_no_more_data");
    m_no_more_data_requested.exchange(true);
    m_sent_no_more_data.exchange(false);
}

void ReadProcessingProtocol::stop() {
    auto trace = create_trace("stop");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
}

bool ReadProcessingProtocol::keep_alive() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_stop;
}

ErrorState ReadProcessingProtocol::process_reads(ReadBuffer* read_buffer, RequestBrokerAdapter* request_broker) {
    CONTRACT_CHECK(!m_connection_id.empty(), "process_reads requires valid connection id");
    CONTRACT_CHECK(request_broker != nullptr, "process_reads requires valid request_broker");
    CONTRACT_CHECK(read_buffer != nullptr, "process_reads requires valid read_buffer");
    auto trace = create_trace("process_reads");
    m_read_buffer = read_buffer;
    m_error_state = ErrorState{};
    m_exchange_failed = false;

    while (keep_alive()) {
        // A ping leaves a pending batch where it is: the request that
        // follows, the idle wait or the end of the exchange retrieves it.
        if (!request_broker->ping_server_if_quiet(m_connection_id)) {
            m_error_state = request_broker->error_state();
            break;
        }
        ErrorState buffer_error = m_read_buffer->get_error_state();
        if (buffer_error.code != ConnectionError::no_error) {
            m_error_state = std::move(buffer_error);
            break;
        }
        bool progress = false;
        if (m_read_buffer->num_queued_reads() > 0) {
            // The rest of a list is queued as it is built: its next entry is
            // waited for rather than polled past, so the requests stay as
            // they would be for a list queued whole.
            if (!m_read_buffer->wait_for_next_entry(std::chrono::milliseconds(0))) {
                retrieve_pending_batch();
                m_read_buffer->wait_for_next_entry(std::chrono::milliseconds(10));
                continue;
            }
            // Admission closes before the end of data is announced, so no
            // read can arrive after NO_MORE_DATA on this connection.
            CONTRACT_CHECK(!m_sent_no_more_data.load(),
                           "Data added to ReadProceessingProtocol::m_read_buffer after NO_MORE_DATA message "
                           "was sent.");
            const Result result = push_into_server(request_broker);
            if (result == Result::error_stop) {
                break;
            }
            progress = progress || result == Result::made_progress;
        }
        if (num_submitted_reads_left() > 0) {
            const Result result = pull_from_server(request_broker);
            if (result == Result::error_stop) {
                break;
            }
            progress = progress || result == Result::made_progress;
        }
        if (m_no_more_data_requested.load() && m_read_buffer->num_queued_reads() == 0 &&
            !m_sent_no_more_data.load()) {
            if (!send_no_more_data(request_broker)) {
                break;
            }
        }
        if (!progress) {
            // Nothing new came back, so nothing pending is new either: a
            // batch still pending found no request to ride along with.
            retrieve_pending_batch();
            // Idle: poll the server again in 10 ms, or at once when the
            // application queues a read meanwhile.
            m_read_buffer->wait_for_queued_reads(std::chrono::milliseconds(10));
        }
    }
    // The server has handed these reads back called: they leave called,
    // whatever ends the exchange.
    retrieve_pending_batch();
    trace.message(to_string(m_error_state));
    return m_error_state;
}

ReadProcessingProtocol::Result ReadProcessingProtocol::push_into_server(RequestBrokerAdapter* request_broker) {
    CONTRACT_CHECK(m_read_buffer->num_queued_reads() > 0, "");
    auto trace = create_hftrace("push_into_server");
    std::vector<ipc_tools::Message>& messages = m_read_buffer->next_read_messages();
    const bool is_batch = messages.size() == 1 && messages.front().get_type() == ipc_tools::PASS_READ_BATCH;
    // The tag is read only for a trace or an error: reading it verifies the
    // whole frame, which a push must not pay for. The first message is only
    // ever shared, so it stays readable after later blocks are consumed.
    const auto tag = [&messages] {
        return messages.empty() ? std::string("0") : std::to_string(first_read_tag(messages.front()));
    };
    trace.message([&] { return (is_batch ? "first read_tag for batch: " : "read_tag: ") + tag(); });

    for (std::size_t i = 0; i < messages.size(); ++i) {
        // The first message is sent as a shared copy (its bytes are not
        // copied): a NOT_READY leaves the entry intact for a later try. Later
        // blocks are consumed by the send.
        ipc_tools::Message first_copy;
        if (i == 0) {
            first_copy = messages[0].share();
        }
        ipc_tools::Message& request = i == 0 ? first_copy : messages[i];
        ipc_tools::Message reply;
        if (!exchange(request_broker, request, reply)) {
            m_error_state = request_broker->error_state();
            return Result::error_stop;
        }
        const ipc_tools::MessageType reply_type = reply.get_type();
        if (reply_type == ipc_tools::NOT_READY) {
            if (i == 0) {
                return Result::nothing_to_do;
            }
            get_trace_context()->write_message("push_into_server", "Server rejected block: " + std::to_string(i));
            m_error_state = {ConnectionError::bad_reply,
                             "Server accepted first block of read, but then rejected subsequent block for read: " +
                                     tag()};
            return Result::error_stop;
        }
        const bool accepted = is_batch ? reply_type == ipc_tools::BATCH_ACCEPTED
                                       : reply_type == ipc_tools::RAW_BLOCK_ACCEPTED;
        if (!accepted) {
            m_error_state = {ConnectionError::invalid_response,
                             "Failed to push to server, invalid reply: " + ipc_tools::message_type_as_string(reply_type) +
                                     (is_batch ? " from basecall server when passing read batch with first read: "
                                               : " from basecall server when passing raw read data for read: ") +
                                     tag() + ". Connection id: " + m_connection_id};
            return Result::error_stop;
        }
    }
    m_read_buffer->reads_submitted();
    return Result::made_progress;
}

ReadProcessingProtocol::Result ReadProcessingProtocol::pull_from_server(RequestBrokerAdapter* request_broker) {
    ipc_tools::Message request(ipc_tools::GET_FIRST_CALLED_BLOCK, m_connection_id, m_enable_moves ? 1 : 0, "");
    ipc_tools::Message reply;
    if (!exchange(request_broker, request, reply)) {
        m_error_state = request_broker->error_state();
        return Result::error_stop;
    }
    const ipc_tools::MessageType reply_type = reply.get_type();
    if (reply_type == ipc_tools::NONE_PENDING) {
        const auto* data = reply.get_message_data()->content_as_SimpleReplyData();
        if (data != nullptr && data->value() == 1) {
            SL_LOG(warning) << "One or more reads has been lost on the server.";
            m_read_buffer->clear_submitted_reads();
        }
        return Result::nothing_to_do;
    }

    auto trace = create_hftrace("pull_from_server");
    auto fail = [this](const std::string& text) {
        m_error_state = {ConnectionError::invalid_response, text};
        get_trace_context()->write_message("pull_from_server", text);
        return Result::error_stop;
    };

    if (reply_type == ipc_tools::RETURN_FIRST_CALLED_BLOCK) {
        const auto* block = reply.get_message_data()->content_as_ReadBlockData();
        interfaces::ReadHolder* read = process_read_message(request_broker, block);
        if (read == nullptr) {
            return Result::error_stop;
        }
        if (block->sub_tag() != 0) {
            m_read_buffer->sub_read_retrieved(block->read_tag(), block->sub_tag());
        } else {
            m_read_buffer->read_retrieved(block->read_tag());
        }
        return Result::made_progress;
    }

    if (reply_type == ipc_tools::RETURN_COMPLETED_BATCH) {
        static const std::string BAD_BATCH = "Failed to pull from server, incorrectly formed read batch.";
        const auto* batch = reply.get_message_data()->content_as_ReadBatchData();
        if (batch->type() != tessel_ipc::ReadBatchType_RETURN_COMPLETED_BATCH || batch->blocks() == nullptr) {
            return fail(BAD_BATCH);
        }
        // Two blocks of one batch naming the same read (or the same sub read)
        // would fill one read twice and hand it out twice.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> tags;
        tags.reserve(batch->blocks()->size());
        for (const auto* block : *batch->blocks()) {
            tags.emplace_back(block->read_tag(), block->sub_tag());
        }
        std::sort(tags.begin(), tags.end());
        if (std::adjacent_find(tags.begin(), tags.end()) != tags.end()) {
            return fail(BAD_BATCH);
        }
        const bool single_blocks = std::all_of(batch->blocks()->begin(), batch->blocks()->end(),
                                               [](const auto* block) { return block->num_blocks() <= 1; });
        if (single_blocks) {
            // Everything that could refuse the batch is checked now; filling
            // the reads waits for the next request to be on its way. Reads
            // returned whole, with no sub read made from them, are filled
            // in place: nothing can send them again before they leave.
            const auto whole_reads = static_cast<std::uint64_t>(
                    std::count_if(tags.begin(), tags.end(), [](const auto& tag) { return tag.second == 0; }));
            const bool in_place = whole_reads == tags.size();
            std::vector<interfaces::ReadHolder*> submitted;
            submitted.reserve(batch->blocks()->size());
            for (const auto* block : *batch->blocks()) {
                interfaces::ReadHolder* read = check_returned_read(block, in_place);
                if (read == nullptr) {
                    return fail(BAD_BATCH);
                }
                submitted.push_back(read);
            }
            if (!submitted.empty()) {
                keep_pending_batch(std::move(reply), std::move(submitted), whole_reads);
            }
            return Result::made_progress;
        }
        std::vector<interfaces::ReadHolder*> reads;
        reads.reserve(batch->blocks()->size());
        for (const auto* block : *batch->blocks()) {
            interfaces::ReadHolder* read = process_read_message(request_broker, block);
            if (read == nullptr) {
                // A failed exchange (a time-out while fetching further
                // blocks) keeps its own code, so that the engine reconnects.
                if (m_exchange_failed) {
                    return Result::error_stop;
                }
                return fail(BAD_BATCH);
            }
            reads.push_back(read);
        }
        m_read_buffer->reads_retrieved(reads);
        return Result::made_progress;
    }

    return fail("Failed to pull from server, invalid reply: " + ipc_tools::message_type_as_string(reply_type));
}

namespace {

// A completed batch of whole reads in one block each, checked whole, whose
// reads are filled from it once collected.
class CalledBatch final : public PendingFill {
public:
    // The blocks are found here, on the worker: a collector only reads the
    // frame's bytes, which stay where they are while the reply lives.
    explicit CalledBatch(ipc_tools::Message reply)
        : m_reply(std::move(reply)), m_blocks(m_reply.get_message_data()->content_as_ReadBatchData()->blocks()) {}

    void fill(std::size_t index, interfaces::ReadHolder& read) const override {
        fill_checked_whole_read(*m_blocks->Get(static_cast<flatbuffers::uoffset_t>(index)), read);
    }

private:
    const ipc_tools::Message m_reply;
    const flatbuffers::Vector<flatbuffers::Offset<tessel_ipc::ReadBlockData>>* const m_blocks;
};

}  // namespace

void ReadProcessingProtocol::keep_pending_batch(ipc_tools::Message reply,
                                                std::vector<interfaces::ReadHolder*> submitted,
                                                std::uint64_t whole_reads) {
    CONTRACT_CHECK(m_pending_reads.empty(), "a completed batch is already pending");
    m_pending_reply = std::move(reply);
    m_pending_reads = std::move(submitted);
    m_pending_whole_reads = whole_reads;
}

void ReadProcessingProtocol::retrieve_pending_batch() {
    if (m_pending_reads.empty()) {
        return;
    }
    auto trace = create_hftrace("retrieve_pending_batch");
    // Taken out first: a failure below must not leave the batch to be
    // retrieved a second time.
    ipc_tools::Message reply = std::move(m_pending_reply);
    std::vector<interfaces::ReadHolder*> reads = std::move(m_pending_reads);
    const std::uint64_t whole_reads = m_pending_whole_reads;
    m_pending_reads.clear();
    m_pending_whole_reads = 0;
    if (whole_reads == reads.size()) {
        // Every read is filled in place: the reads leave now and are filled
        // by whoever collects them (see PendingFill).
        for (interfaces::ReadHolder* read : reads) {
            read->sub_tag = 0;
        }
        m_read_buffer->reads_retrieved(reads, std::make_shared<const CalledBatch>(std::move(reply)));
        return;
    }
    const auto& blocks = *reply.get_message_data()->content_as_ReadBatchData()->blocks();
    for (flatbuffers::uoffset_t i = 0; i < blocks.size(); ++i) {
        interfaces::ReadHolder* read = assemble_read(nullptr, blocks.Get(i), reads[i]);
        CONTRACT_CHECK(read != nullptr, "a checked read in one block could not be assembled");
        reads[i] = read;
    }
    m_read_buffer->reads_retrieved(reads);
}

std::uint64_t ReadProcessingProtocol::num_submitted_reads_left() const {
    return m_read_buffer->num_submitted_reads() - m_pending_whole_reads;
}

bool ReadProcessingProtocol::exchange(RequestBrokerAdapter* request_broker, ipc_tools::Message& request,
                                      ipc_tools::Message& reply) {
    const bool posted = request_broker->post_request(request);
    retrieve_pending_batch();
    return posted && request_broker->await_reply(reply);
}

bool ReadProcessingProtocol::send_no_more_data(RequestBrokerAdapter* request_broker) {
    auto trace = create_trace("send_no_more_data");
    ipc_tools::Message request(ipc_tools::NO_MORE_DATA, m_connection_id, 0, "");
    ipc_tools::Message reply;
    if (!exchange(request_broker, request, reply)) {
        m_error_state = request_broker->error_state();
        return false;
    }
    m_sent_no_more_data.exchange(true);
    return true;
}

}  // namespace strandlink
