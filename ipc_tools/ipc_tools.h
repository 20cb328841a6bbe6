#pragma once

// One wire message of the basecall protocol and its flat message type.
//
// A Message owns exactly one ZeroMQ frame holding one finished FlatBuffers
// buffer of the tessel_ipc schema, or nothing. It is built from a finished
// builder (zero-copy: the builder's buffer becomes the frame), from a simple
// message type with its few arguments, or from a received frame, which is
// verified before any field is read.

#include "ipc_tools/tessel_ipc_generated.h"

#include <zmq.h>
#include <zmq.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The FlatBuffers runtime, under the name the rest of the system uses for it.
namespace zeb_core_flatbuffers = flatbuffers;

namespace ipc_tools {

// Every kind of message: the wire's content table and sub-type folded into one
// value, plus two local kinds for frames that are not messages of the protocol.
// The names are also the texts of message_type_as_string().
enum MessageType : std::int32_t {
    UNSET = 0,             // local: empty message or a frame shorter than 8 bytes
    INVALID_PROTOCOL = 1,  // local: a frame without the protocol's file identifier
    BAD_REQUEST = 2,
    CONNECT = 3,
    CONNECTED = 4,
    INVALID_CONFIG = 5,
    INVALID_BARCODE_KIT = 6,
    INVALID_ALIGNER_OPTIONS = 7,
    INVALID_INDEX = 8,
    INVALID_BED = 9,
    DISCONNECT = 10,
    DISCONNECTED = 11,
    TERMINATE = 12,
    SHUTTING_DOWN = 13,
    GET_STATISTICS = 14,
    RETURN_STATISTICS = 15,
    LOAD_CONFIG = 16,
    GET_CONFIGS = 17,
    RETURN_CONFIGS = 18,
    LOAD_INDEX = 19,
    GET_INDICES = 20,
    LOAD_BED = 21,
    PASS_FIRST_RAW_BLOCK = 22,
    NOT_READY = 23,
    PASS_NEXT_RAW_BLOCK = 24,
    PASS_READ_BATCH = 25,
    CLIENT_NOT_RECOGNISED = 26,
    RAW_BLOCK_ACCEPTED = 27,
    BATCH_ACCEPTED = 28,
    GET_FIRST_CALLED_BLOCK = 29,
    RETURN_FIRST_CALLED_BLOCK = 30,
    NONE_PENDING = 31,
    GET_NEXT_CALLED_BLOCK = 32,
    RETURN_NEXT_CALLED_BLOCK = 33,
    RETURN_COMPLETED_BATCH = 34,
    GET_BARCODE_KITS = 35,
    HEARTBEAT_PING = 36,
    HEARTBEAT_ECHO = 37,
    QUERY = 38,
    RESPONSE = 39,
    LOADING = 40,
    SUCCESS = 41,
    REQUEST_FAILED = 42,
    NO_MORE_DATA = 43,
};

// Number of MessageType values (0 .. NUM_MESSAGE_TYPES - 1).
constexpr int NUM_MESSAGE_TYPES = 44;

// The value of a QUERY request.
enum class QueryCode : std::uint32_t {
    undefined = 0,  // may not be sent
    server_internal_state = 1,
    unrecognised = 2,  // reported for every value of 2 or more
};

// The protocol version every built message carries (21.0.0). The reference
// stays valid for the life of the process.
const tessel_ipc::ProtocolVersion& current_version();

// "21.0.0".
std::string current_version_as_string();

// The name of the type, or "<unknown>" for a value outside the enumeration.
std::string message_type_as_string(MessageType type);

// Total number of moves of a called read. The wire field is "moves_length";
// the generated accessor carries another name because the schema compiler
// reserves that one for the length of the "moves" vector.
inline std::uint32_t moves_length(const tessel_ipc::CalledBlockData& data) {
    return data.total_moves_length();
}

// One wire message. Move-only; copy() makes an explicit byte copy and share()
// a reference-counted one.
// Not thread-safe: a message belongs to one thread at a time and is handed
// between threads by moving it.
class Message {
public:
    // Empty, UNSET.
    Message();

    // Adopts the finished buffer of `builder`, whose root must be a MessageData,
    // without copying it; the builder is left empty. The buffer goes back to
    // the builder's allocator when the frame is freed (a pooled builder's to
    // the BufferPool). If ZeroMQ refuses the
    // buffer, the message is empty and UNSET and the buffer is freed.
    // REQUIRES: builder.Finish...() was called.
    explicit Message(flatbuffers::FlatBufferBuilder& builder);

    // Builds a simple request or reply: a SimpleRequestData or SimpleReplyData
    // with the wire sub-type of `type`, `value` and `text` (left out when
    // empty); `client_id` is written when not empty. Throws std::runtime_error
    // "Invalid MessageType for simple message constructor." for a type that
    // has no simple form.
    Message(MessageType type, const std::string& client_id, unsigned value, const std::string& text);

    // Classifies a received frame. A frame shorter than 8 bytes is UNSET and one
    // without the file identifier INVALID_PROTOCOL; both stay in `message`.
    // Otherwise the frame is taken over and verified: a frame that fails throws
    // std::runtime_error "Invalid MessageData in Message." (and is freed).
    explicit Message(zmq::message_t&& message);

    Message(Message&& other) noexcept;
    // Exchanges contents with `other`, which later releases what this held.
    Message& operator=(Message&& other) noexcept;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    ~Message();

    MessageType get_type() const { return m_type; }

    // True when no frame is held.
    bool empty() const { return m_message == nullptr; }

    // A new message of the same type holding a byte copy of the frame. With no
    // frame (or a 0-byte frame) the copy holds no frame but keeps the type.
    // Throws zmq::error_t when ZeroMQ cannot allocate the copy.
    Message copy() const;

    // A new message of the same type sharing this frame's bytes through
    // ZeroMQ's reference-counted copy, without copying them (a frame of a few
    // dozen bytes is copied). The bytes are never written, so either message
    // may be sent, read or freed while the other lives, on any thread. With
    // no frame (or a 0-byte frame) the result is as copy()'s. Throws
    // zmq::error_t when ZeroMQ refuses.
    Message share() const;

    // Moves the frame into `out` without copying and leaves this message empty
    // and UNSET. With no frame, `out` becomes a 0-byte message and this message
    // is unchanged. Throws zmq::error_t when ZeroMQ refuses the move.
    void transfer_to_zmq(zmq::message_t& out);

    // The verified root table. The frame is verified on the first call (a
    // received frame: when it is received) and the root kept: a message's
    // bytes never change while it holds them. Throws std::runtime_error
    // "Invalid MessageData in Message." for a frame that fails verification.
    // REQUIRES: !empty().
    const tessel_ipc::MessageData* get_message_data() const;

    // The version the frame carries; {0, 0, 0} with no frame, for the local
    // types, or when the frame has no version field.
    tessel_ipc::ProtocolVersion get_protocol_version() const;

    // Classification of a verified root table. A content table that the tag
    // names but that is missing classifies as UNSET, which the request broker
    // reports as a bad reply; nothing reads a missing table.
    static MessageType check_message_type(const tessel_ipc::MessageData* data);
    static MessageType simple_request_type(const tessel_ipc::SimpleRequestData* data);
    static MessageType simple_reply_type(const tessel_ipc::SimpleReplyData* data);
    static MessageType read_block_type(const tessel_ipc::ReadBlockData* data);
    static MessageType read_batch_type(const tessel_ipc::ReadBatchData* data);

    // ZeroMQ's free function for adopted builder buffers; may run on a ZeroMQ
    // I/O thread after the send has returned.
    static void free_builder_buffer(void* data, void* hint);

private:
    struct ZmqMessageCloser {
        void operator()(zmq_msg_t* message) const noexcept;
    };
    using ZmqMessagePtr = std::unique_ptr<zmq_msg_t, ZmqMessageCloser>;

    // A buffer from the process's BufferPool, given back when released.
    struct PooledBytesDeleter {
        std::size_t size;
        void operator()(std::uint8_t* bytes) const noexcept;
    };
    using PooledBytes = std::unique_ptr<std::uint8_t, PooledBytesDeleter>;

    void adopt_builder(flatbuffers::FlatBufferBuilder& builder);
    // Forgets the aligned copy and the verified root: the frame left.
    void forget_frame_views() noexcept;

    MessageType m_type{UNSET};
    ZmqMessagePtr m_message;
    // Holds the frame's bytes when ZeroMQ's are not aligned to 16 bytes; made at
    // most once per frame, in recycled memory, and given back when the frame
    // leaves.
    mutable PooledBytes m_aligned_copy;
    // The root of the frame once verified; null before.
    mutable const tessel_ipc::MessageData* m_root = nullptr;
};

// The text of a simple request or reply, or "" when the message is not one or
// carries no text. Never reads beyond the frame.
std::string get_simple_message_text(const Message& message);

// A QUERY request with an empty client id, the code as value and no text.
// REQUIRES: query_code != QueryCode::undefined.
Message create_query_request(QueryCode query_code);

// The code of a QUERY request: undefined when the value is absent,
// unrecognised for any value above 1.
// REQUIRES: message.get_type() == QUERY.
QueryCode get_query_code(const Message& message);

// A new ZeroMQ context on every call (one I/O thread, at most 1023 sockets);
// the last owner's release terminates it. Throws zmq::error_t on failure.
std::shared_ptr<zmq::context_t> get_process_zmq_context();

}  // namespace ipc_tools
