#pragma once

// A responder for benchmarks only: it answers the read traffic of one client
// at once from replies prepared ahead, so that what is timed is the client's
// own cost and the wire, not the server's.
//
// It stands in front of a test server (the upstream). While a script is
// recorded it forwards every request to the upstream and keeps each called
// read it hands back (a RETURN_FIRST_CALLED_BLOCK or RETURN_COMPLETED_BATCH
// with the RETURN_NEXT_CALLED_BLOCK replies that follow it) as one entry of
// the script, and the acceptance and NONE_PENDING replies as prepared frames.
// When serving fast, it answers
// - a push (raw block or batch) with the prepared acceptance, noting the tags
//   of the reads it carries;
// - a poll (GET_FIRST_CALLED_BLOCK) with the next entry of the script once
//   every read of the entry has been pushed, else with NONE_PENDING;
// - GET_NEXT_CALLED_BLOCK with the next block of the entry being handed back;
// and forwards everything else (connection, heartbeats, end of data) to the
// upstream. A request is looked at only for its type and tags: the client
// under test is trusted, as a server that needs nothing more would.
//
// While capturing, the hot requests are kept byte for byte in the order they
// came, for a bare REQ socket to send the very same sequence (RawReplay).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <zmq.hpp>

#include "ipc_tools/ipc_tools.h"

namespace bench_responder {

// The tags of the reads a called reply hands back, by its verified frame.
inline std::vector<std::uint32_t> called_tags(const ipc_tools::Message& reply) {
    std::vector<std::uint32_t> tags;
    const auto* data = reply.get_message_data();
    if (const auto* block = data->content_as_ReadBlockData()) {
        tags.push_back(block->read_tag());
    } else if (const auto* batch = data->content_as_ReadBatchData()) {
        if (batch->blocks() != nullptr) {
            for (const auto* b : *batch->blocks()) {
                tags.push_back(b->read_tag());
            }
        }
    }
    return tags;
}

// Sends `bytes` without copying them: the storage outlives the send.
inline void send_prepared(zmq::socket_t& socket, const std::string& bytes) {
    zmq::message_t frame(const_cast<char*>(bytes.data()), bytes.size(), nullptr, nullptr);
    socket.send(frame, zmq::send_flags::none);
}

class FastResponder {
public:
    explicit FastResponder(const std::string& upstream_endpoint)
            : m_context(1),
              m_front(m_context, zmq::socket_type::rep),
              m_upstream(m_context, zmq::socket_type::req) {
        m_front.set(zmq::sockopt::linger, 0);
        m_front.bind("tcp://127.0.0.1:*");
        m_endpoint = m_front.get(zmq::sockopt::last_endpoint);
        m_upstream.set(zmq::sockopt::linger, 0);
        m_upstream.connect(upstream_endpoint);
        m_thread = std::thread([this] { serve(); });
    }
    ~FastResponder() {
        m_stop = true;
        m_thread.join();
    }
    FastResponder(const FastResponder&) = delete;
    FastResponder& operator=(const FastResponder&) = delete;

    const std::string& endpoint() const { return m_endpoint; }

    // Forwards everything and records a new script from the called replies.
    void record_script() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mode = Mode::recording;
        m_script.clear();
        reset_progress();
    }

    // Answers the read traffic from the script; with `capture`, keeps the hot
    // requests from now on (replacing those kept before).
    void serve_fast(bool capture) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_script.empty()) {
            throw std::runtime_error("fast responder: no script recorded");
        }
        if (m_none_pending.empty()) {
            // The upstream had every read ready at each poll: the reply it
            // gives when it has none.
            zmq::message_t frame;
            ipc_tools::Message(ipc_tools::NONE_PENDING, "", 0, "").transfer_to_zmq(frame);
            m_none_pending = frame.to_string();
        }
        m_mode = Mode::fast;
        m_capture = capture;
        if (capture) {
            m_captured.clear();
        }
        reset_progress();
    }

    std::vector<std::string> take_captured() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_capture = false;
        return std::move(m_captured);
    }

    std::size_t script_entries() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_script.size();
    }

    // Seconds from the arrival of the first request answered from the script
    // to the reply to the last, since the last call (0 if none was): how
    // long a client round kept the wire busy, against the round's own time.
    double take_span() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const double span =
                m_answered == 0 ? 0.0 : std::chrono::duration<double>(m_last_reply - m_first_request).count();
        m_answered = 0;
        return span;
    }

    // Called replies handed out from the script since serve_fast.
    std::size_t handed_out() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_handed_out;
    }

private:
    enum class Mode { recording, fast };

    struct Entry {
        std::string first;
        std::vector<std::string> next_blocks;
        std::vector<std::uint32_t> tags;
    };

    void reset_progress() {
        m_pushed.clear();
        m_position = 0;
        m_current = nullptr;
        m_next_block = 0;
        m_handed_out = 0;
    }

    void serve() {
        zmq::pollitem_t item{m_front.handle(), 0, ZMQ_POLLIN, 0};
        while (!m_stop) {
            zmq::poll(&item, 1, std::chrono::milliseconds(20));
            if ((item.revents & ZMQ_POLLIN) == 0) {
                continue;
            }
            zmq::message_t request;
            if (!m_front.recv(request, zmq::recv_flags::none)) {
                continue;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_mode == Mode::fast && answer_fast(request)) {
                continue;
            }
            forward(request);
        }
    }

    // The request's type as the client built it, read without verification.
    static ipc_tools::MessageType peek_type(const zmq::message_t& request,
                                            const tessel_ipc::MessageData** root) {
        if (request.size() < 8) {
            return ipc_tools::UNSET;
        }
        *root = tessel_ipc::GetMessageData(request.data());
        return ipc_tools::Message::check_message_type(*root);
    }

    void note_pushed(const tessel_ipc::MessageData* root) {
        if (const auto* block = root->content_as_ReadBlockData()) {
            if (block->block_index() == 0) {
                ++m_pushed[block->read_tag()];
            }
        } else if (const auto* batch = root->content_as_ReadBatchData()) {
            for (const auto* b : *batch->blocks()) {
                ++m_pushed[b->read_tag()];
            }
        }
    }

    bool entry_ready(const Entry& entry) const {
        for (std::uint32_t tag : entry.tags) {
            const auto it = m_pushed.find(tag);
            if (it == m_pushed.end() || it->second == 0) {
                return false;
            }
        }
        return true;
    }

    bool answer_fast(const zmq::message_t& request) {
        const auto arrived = std::chrono::steady_clock::now();
        const tessel_ipc::MessageData* root = nullptr;
        const ipc_tools::MessageType type = peek_type(request, &root);
        const std::string* reply = nullptr;
        switch (type) {
            case ipc_tools::PASS_READ_BATCH:
                note_pushed(root);
                reply = &m_accepted_batch;
                break;
            case ipc_tools::PASS_FIRST_RAW_BLOCK:
            case ipc_tools::PASS_NEXT_RAW_BLOCK:
                note_pushed(root);
                reply = &m_accepted_block;
                break;
            case ipc_tools::GET_FIRST_CALLED_BLOCK: {
                const Entry& entry = m_script[m_position];
                if (!entry_ready(entry)) {
                    reply = &m_none_pending;
                    break;
                }
                for (std::uint32_t tag : entry.tags) {
                    --m_pushed[tag];
                }
                m_current = &entry;
                m_next_block = 0;
                m_position = (m_position + 1) % m_script.size();
                ++m_handed_out;
                reply = &entry.first;
                break;
            }
            case ipc_tools::GET_NEXT_CALLED_BLOCK:
                if (m_current == nullptr || m_next_block >= m_current->next_blocks.size()) {
                    return false;  // not from the script: the upstream says what it thinks
                }
                reply = &m_current->next_blocks[m_next_block++];
                break;
            default:
                return false;
        }
        if (m_capture) {
            m_captured.emplace_back(static_cast<const char*>(request.data()), request.size());
        }
        send_prepared(m_front, *reply);
        if (m_answered++ == 0) {
            m_first_request = arrived;
        }
        m_last_reply = std::chrono::steady_clock::now();
        return true;
    }

    void forward(zmq::message_t& request) {
        const tessel_ipc::MessageData* root = nullptr;
        const ipc_tools::MessageType type = peek_type(request, &root);
        m_upstream.send(request, zmq::send_flags::none);
        zmq::message_t reply;
        if (!m_upstream.recv(reply, zmq::recv_flags::none)) {
            throw std::runtime_error("fast responder: no reply from upstream");
        }
        if (m_mode == Mode::recording) {
            record(type, reply);
        }
        m_front.send(reply, zmq::send_flags::none);
    }

    void record(ipc_tools::MessageType request_type, const zmq::message_t& reply_frame) {
        std::string bytes = reply_frame.to_string();
        zmq::message_t copy(bytes.data(), bytes.size());
        const ipc_tools::Message reply(std::move(copy));
        const ipc_tools::MessageType type = reply.get_type();
        if (type == ipc_tools::BATCH_ACCEPTED) {
            m_accepted_batch = std::move(bytes);
        } else if (type == ipc_tools::RAW_BLOCK_ACCEPTED) {
            m_accepted_block = std::move(bytes);
        } else if (type == ipc_tools::NONE_PENDING && request_type == ipc_tools::GET_FIRST_CALLED_BLOCK) {
            const auto* data = reply.get_message_data()->content_as_SimpleReplyData();
            if (data != nullptr && data->value() == 0) {
                m_none_pending = std::move(bytes);
            }
        } else if (type == ipc_tools::RETURN_FIRST_CALLED_BLOCK || type == ipc_tools::RETURN_COMPLETED_BATCH) {
            m_script.push_back({std::move(bytes), {}, called_tags(reply)});
        } else if (type == ipc_tools::RETURN_NEXT_CALLED_BLOCK && !m_script.empty()) {
            m_script.back().next_blocks.push_back(std::move(bytes));
        }
    }

    zmq::context_t m_context;
    zmq::socket_t m_front;
    zmq::socket_t m_upstream;
    std::string m_endpoint;
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_mutex;
    Mode m_mode = Mode::recording;
    bool m_capture = false;
    std::vector<Entry> m_script;
    std::string m_accepted_batch;
    std::string m_accepted_block;
    std::string m_none_pending;
    std::unordered_map<std::uint32_t, int> m_pushed;
    std::size_t m_position = 0;
    const Entry* m_current = nullptr;
    std::size_t m_next_block = 0;
    std::size_t m_handed_out = 0;
    std::vector<std::string> m_captured;
    std::size_t m_answered = 0;
    std::chrono::steady_clock::time_point m_first_request;
    std::chrono::steady_clock::time_point m_last_reply;

    std::thread m_thread;
};

// A bare REQ socket sending a captured sequence of requests, each without a
// copy, and waiting for every reply: the wire's own cost of that traffic.
class RawReplay {
public:
    RawReplay(const std::string& endpoint, std::vector<std::string> requests)
            : m_context(1), m_req(m_context, zmq::socket_type::req), m_requests(std::move(requests)) {
        m_req.set(zmq::sockopt::linger, 0);
        m_req.connect(endpoint);
    }

    void run() {
        zmq::message_t reply;
        for (const std::string& bytes : m_requests) {
            send_prepared(m_req, bytes);
            if (!m_req.recv(reply, zmq::recv_flags::none)) {
                throw std::runtime_error("raw replay: no reply");
            }
        }
    }

    std::size_t size() const { return m_requests.size(); }

private:
    zmq::context_t m_context;
    zmq::socket_t m_req;
    std::vector<std::string> m_requests;
};

}  // namespace bench_responder
