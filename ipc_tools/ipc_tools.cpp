#include "ipc_tools/ipc_tools.h"

#include "common/contract.h"
#include "ipc_tools/buffer_pool.h"

#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace ipc_tools {

namespace {

constexpr std::size_t MIN_FRAME_SIZE = 8;
constexpr std::size_t FRAME_ALIGNMENT = 16;
// The verifier takes only buffers shorter than 2 GiB - 1 bytes and stops the
// process on any other, so a longer frame is rejected before it is looked at.
constexpr std::size_t MAX_FRAME_SIZE = FLATBUFFERS_MAX_BUFFER_SIZE;
constexpr std::size_t SIMPLE_MESSAGE_INITIAL_SIZE = 256;

const char* const INVALID_MESSAGE_DATA = "Invalid MessageData in Message.";

// How each message type travels: its content table and sub-type. The simple
// constructor reads it forwards and the classification backwards, so the two
// always agree.
struct WireForm {
    const char* name;
    tessel_ipc::Content content;  // Content_NONE: local or server-only kind
    std::uint32_t sub_type;
};

constexpr std::array<WireForm, NUM_MESSAGE_TYPES> WIRE_FORMS{{
    {"UNSET", tessel_ipc::Content_NONE, 0},
    {"INVALID_PROTOCOL", tessel_ipc::Content_NONE, 0},
    {"BAD_REQUEST", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_BAD_REQUEST},
    {"CONNECT", tessel_ipc::Content_SimpleRequestData, tessel_ipc::SimpleRequestType_CONNECT},
    {"CONNECTED", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_CONNECTED},
    {"INVALID_CONFIG", tessel_ipc::Content_SimpleReplyData,
     tessel_ipc::SimpleReplyType_INVALID_CONFIG},
    {"INVALID_BARCODE_KIT", tessel_ipc::Content_SimpleReplyData,
     tessel_ipc::SimpleReplyType_INVALID_BARCODE_KIT},
    {"INVALID_ALIGNER_OPTIONS", tessel_ipc::Content_SimpleReplyData,
     tessel_ipc::SimpleReplyType_INVALID_ALIGNER_OPTIONS},
    {"INVALID_INDEX", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_INVALID_INDEX},
    {"INVALID_BED", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_INVALID_BED},
    {"DISCONNECT", tessel_ipc::Content_SimpleRequestData, tessel_ipc::SimpleRequestType_DISCONNECT},
    {"DISCONNECTED", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_DISCONNECTED},
    {"TERMINATE", tessel_ipc::Content_SimpleRequestData, tessel_ipc::SimpleRequestType_TERMINATE},
    {"SHUTTING_DOWN", tessel_ipc::Content_SimpleReplyData,
     tessel_ipc::SimpleReplyType_SHUTTING_DOWN},
    {"GET_STATISTICS", tessel_ipc::Content_SimpleRequestData,
     tessel_ipc::SimpleRequestType_GET_STATISTICS},
    {"RETURN_STATISTICS", tessel_ipc::Content_NONE, 0},
    {"LOAD_CONFIG", tessel_ipc::Content_SimpleRequestData, tessel_ipc::SimpleRequestType_LOAD_CONFIG},
    {"GET_CONFIGS", tessel_ipc::Content_SimpleRequestData, tessel_ipc::SimpleRequestType_GET_CONFIGS},
    {"RETURN_CONFIGS", tessel_ipc::Content_NONE, 0},
    {"LOAD_INDEX", tessel_ipc::Content_SimpleRequestData, tessel_ipc::SimpleRequestType_LOAD_INDEX},
    {"GET_INDICES", tessel_ipc::Content_SimpleRequestData, tessel_ipc::SimpleRequestType_GET_INDICES},
    {"LOAD_BED", tessel_ipc::Content_SimpleRequestData, tessel_ipc::SimpleRequestType_LOAD_BED},
    {"PASS_FIRST_RAW_BLOCK", tessel_ipc::Content_NONE, 0},
    {"NOT_READY", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_NOT_READY},
    {"PASS_NEXT_RAW_BLOCK", tessel_ipc::Content_NONE, 0},
    {"PASS_READ_BATCH", tessel_ipc::Content_NONE, 0},
    {"CLIENT_NOT_RECOGNISED", tessel_ipc::Content_SimpleReplyData,
     tessel_ipc::SimpleReplyType_CLIENT_NOT_RECOGNISED},
    {"RAW_BLOCK_ACCEPTED", tessel_ipc::Content_SimpleReplyData,
     tessel_ipc::SimpleReplyType_RAW_BLOCK_ACCEPTED},
    {"BATCH_ACCEPTED", tessel_ipc::Content_SimpleReplyData,
     tessel_ipc::SimpleReplyType_BATCH_ACCEPTED},
    {"GET_FIRST_CALLED_BLOCK", tessel_ipc::Content_SimpleRequestData,
     tessel_ipc::SimpleRequestType_GET_FIRST_CALLED_BLOCK},
    {"RETURN_FIRST_CALLED_BLOCK", tessel_ipc::Content_NONE, 0},
    {"NONE_PENDING", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_NONE_PENDING},
    {"GET_NEXT_CALLED_BLOCK", tessel_ipc::Content_SimpleRequestData,
     tessel_ipc::SimpleRequestType_GET_NEXT_CALLED_BLOCK},
    {"RETURN_NEXT_CALLED_BLOCK", tessel_ipc::Content_NONE, 0},
    {"RETURN_COMPLETED_BATCH", tessel_ipc::Content_NONE, 0},
    {"GET_BARCODE_KITS", tessel_ipc::Content_SimpleRequestData,
     tessel_ipc::SimpleRequestType_GET_BARCODE_KITS},
    {"HEARTBEAT_PING", tessel_ipc::Content_SimpleRequestData,
     tessel_ipc::SimpleRequestType_HEARTBEAT_PING},
    {"HEARTBEAT_ECHO", tessel_ipc::Content_SimpleReplyData,
     tessel_ipc::SimpleReplyType_HEARTBEAT_ECHO},
    {"QUERY", tessel_ipc::Content_SimpleRequestData, tessel_ipc::SimpleRequestType_QUERY},
    {"RESPONSE", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_RESPONSE},
    {"LOADING", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_LOADING},
    {"SUCCESS", tessel_ipc::Content_SimpleReplyData, tessel_ipc::SimpleReplyType_SUCCESS},
    {"REQUEST_FAILED", tessel_ipc::Content_SimpleReplyData,
     tessel_ipc::SimpleReplyType_REQUEST_FAILED},
    {"NO_MORE_DATA", tessel_ipc::Content_SimpleRequestData,
     tessel_ipc::SimpleRequestType_NO_MORE_DATA},
}};

bool is_known_type(MessageType type) { return type >= 0 && type < NUM_MESSAGE_TYPES; }

// The simple kind with this content table and sub-type, or UNSET.
MessageType find_simple_type(tessel_ipc::Content content, std::uint32_t sub_type) {
    for (std::size_t i = 0; i < WIRE_FORMS.size(); ++i) {
        if (WIRE_FORMS[i].content == content && WIRE_FORMS[i].sub_type == sub_type) {
            return static_cast<MessageType>(i);
        }
    }
    return UNSET;
}

bool has_file_identifier(const std::uint8_t* data, std::size_t size) {
    return size >= MIN_FRAME_SIZE &&
           std::memcmp(data + flatbuffers::kFileIdentifierLength, tessel_ipc::MessageDataIdentifier(),
                       flatbuffers::kFileIdentifierLength) == 0;
}

// Checks a whole frame before anything of it is read. Returns null when the
// frame is not a valid MessageData.
const tessel_ipc::MessageData* verify_frame(const std::uint8_t* data, std::size_t size) {
    if (size >= MAX_FRAME_SIZE || !has_file_identifier(data, size)) {
        return nullptr;
    }
    const auto root_offset = flatbuffers::ReadScalar<flatbuffers::uoffset_t>(data);
    if (root_offset == 0 || root_offset >= size) {
        return nullptr;
    }
    flatbuffers::Verifier verifier(data, size, 64, 1000000, true);
    if (!tessel_ipc::VerifyMessageDataBuffer(verifier)) {
        return nullptr;
    }
    const auto* root = tessel_ipc::GetMessageData(data);
    // The generated verifier lets unknown union members through for forward
    // compatibility; this protocol has no such members, so a tag beyond the
    // last one is corruption.
    if (root->content_type() > tessel_ipc::Content_MAX) {
        return nullptr;
    }
    return root;
}

zmq_msg_t* new_initialised_zmq_message() {
    auto message = std::make_unique<zmq_msg_t>();
    if (zmq_msg_init(message.get()) != 0) {
        throw zmq::error_t();
    }
    return message.release();
}

}  // namespace

const tessel_ipc::ProtocolVersion& current_version() {
    static const tessel_ipc::ProtocolVersion version(21, 0, 0);
    return version;
}

std::string current_version_as_string() {
    const auto& version = current_version();
    return std::to_string(version.major()) + "." + std::to_string(version.minor()) + "." +
           std::to_string(version.patch());
}

std::string message_type_as_string(MessageType type) {
    if (!is_known_type(type)) {
        return "<unknown>";
    }
    return WIRE_FORMS[static_cast<std::size_t>(type)].name;
}

void Message::ZmqMessageCloser::operator()(zmq_msg_t* message) const noexcept {
    zmq_msg_close(message);
    delete message;
}

Message::Message() = default;

Message::Message(flatbuffers::FlatBufferBuilder& builder) { adopt_builder(builder); }

Message::Message(MessageType type, const std::string& client_id, unsigned value,
                 const std::string& text)
    : m_type(type) {
    flatbuffers::FlatBufferBuilder builder = make_pooled_builder(SIMPLE_MESSAGE_INITIAL_SIZE);
    flatbuffers::Offset<flatbuffers::String> text_offset;
    if (!text.empty()) {
        // The text ends at its first NUL, as the server reads a C string.
        text_offset = builder.CreateString(text.c_str());
    }

    const bool known = is_known_type(type);
    const auto content = known ? WIRE_FORMS[static_cast<std::size_t>(type)].content
                               : tessel_ipc::Content_NONE;
    const auto sub_type = known ? WIRE_FORMS[static_cast<std::size_t>(type)].sub_type : 0;
    flatbuffers::Offset<void> table;
    if (content == tessel_ipc::Content_SimpleRequestData) {
        table = tessel_ipc::CreateSimpleRequestData(
                        builder, static_cast<tessel_ipc::SimpleRequestType>(sub_type), value,
                        text_offset)
                        .Union();
    } else if (content == tessel_ipc::Content_SimpleReplyData) {
        table = tessel_ipc::CreateSimpleReplyData(
                        builder, static_cast<tessel_ipc::SimpleReplyType>(sub_type), value,
                        text_offset)
                        .Union();
    } else {
        throw std::runtime_error("Invalid MessageType for simple message constructor.");
    }

    flatbuffers::Offset<flatbuffers::String> client_id_offset;
    if (!client_id.empty()) {
        client_id_offset = builder.CreateString(client_id);
    }
    const auto root =
            tessel_ipc::CreateMessageData(builder, &current_version(), client_id_offset, content, table);
    tessel_ipc::FinishMessageDataBuffer(builder, root);
    adopt_builder(builder);
}

Message::Message(zmq::message_t&& message) {
    const auto* bytes = static_cast<const std::uint8_t*>(message.data());
    const std::size_t size = message.size();
    if (size < MIN_FRAME_SIZE) {
        return;
    }
    if (!has_file_identifier(bytes, size)) {
        m_type = INVALID_PROTOCOL;
        return;
    }
    m_message = ZmqMessagePtr(new_initialised_zmq_message());
    if (zmq_msg_move(m_message.get(), message.handle()) != 0) {
        throw zmq::error_t();
    }
    // A frame that fails verification throws here; m_message frees it.
    m_type = check_message_type(get_message_data());
}

// The frame is held through a pointer, so its bytes (and any aligned copy of
// them) stay where they are when the message moves: the verified root moves
// along with them.
Message::Message(Message&& other) noexcept
    : m_type(other.m_type),
      m_message(std::move(other.m_message)),
      m_aligned_copy(std::move(other.m_aligned_copy)),
      m_root(other.m_root) {
    other.m_type = UNSET;
    other.forget_frame_views();
}

Message& Message::operator=(Message&& other) noexcept {
    std::swap(m_type, other.m_type);
    std::swap(m_message, other.m_message);
    std::swap(m_aligned_copy, other.m_aligned_copy);
    std::swap(m_root, other.m_root);
    return *this;
}

Message::~Message() = default;

void Message::PooledBytesDeleter::operator()(std::uint8_t* bytes) const noexcept {
    BufferPool::instance().give_back(bytes, size);
}

void Message::forget_frame_views() noexcept {
    m_aligned_copy.reset();
    m_root = nullptr;
}

void Message::adopt_builder(flatbuffers::FlatBufferBuilder& builder) {
    // The detached buffer carries the reserved block, its allocator and whether
    // the builder owned that allocator; deleting it returns the block.
    auto holder = std::make_unique<flatbuffers::DetachedBuffer>(builder.Release());
    auto message = std::make_unique<zmq_msg_t>();
    if (zmq_msg_init_data(message.get(), holder->data(), holder->size(), &Message::free_builder_buffer,
                          holder.get()) != 0) {
        // ZeroMQ refused the buffer: the holder and the unused message are
        // freed on the way out, and this message stays empty.
        m_type = UNSET;
        m_message.reset();
        return;
    }
    const auto* root = tessel_ipc::GetMessageData(holder->data());
    holder.release();  // ZeroMQ owns it now and frees it through free_builder_buffer
    m_message = ZmqMessagePtr(message.release());
    forget_frame_views();
    m_type = check_message_type(root);
}

void Message::free_builder_buffer(void* /*data*/, void* hint) {
    delete static_cast<flatbuffers::DetachedBuffer*>(hint);
}

Message Message::copy() const {
    Message result;
    result.m_type = m_type;
    if (!m_message) {
        return result;
    }
    const std::size_t size = zmq_msg_size(m_message.get());
    if (size == 0) {
        return result;
    }
    auto message = std::make_unique<zmq_msg_t>();
    if (zmq_msg_init_size(message.get(), size) != 0) {
        throw zmq::error_t();
    }
    result.m_message = ZmqMessagePtr(message.release());
    std::memcpy(zmq_msg_data(result.m_message.get()), zmq_msg_data(m_message.get()), size);
    return result;
}

Message Message::share() const {
    Message result;
    result.m_type = m_type;
    if (!m_message || zmq_msg_size(m_message.get()) == 0) {
        return result;
    }
    result.m_message = ZmqMessagePtr(new_initialised_zmq_message());
    if (zmq_msg_copy(result.m_message.get(), m_message.get()) != 0) {
        throw zmq::error_t();
    }
    return result;
}

void Message::transfer_to_zmq(zmq::message_t& out) {
    if (!m_message) {
        out.rebuild();
        return;
    }
    if (zmq_msg_move(out.handle(), m_message.get()) != 0) {
        throw zmq::error_t();
    }
    m_message.reset();
    m_type = UNSET;
    forget_frame_views();
}

const tessel_ipc::MessageData* Message::get_message_data() const {
    if (!m_message) {
        throw std::runtime_error(INVALID_MESSAGE_DATA);
    }
    if (m_root != nullptr) {
        return m_root;
    }
    const auto* data = static_cast<const std::uint8_t*>(zmq_msg_data(m_message.get()));
    const std::size_t size = zmq_msg_size(m_message.get());
    if (size >= MAX_FRAME_SIZE) {
        throw std::runtime_error(INVALID_MESSAGE_DATA);
    }
    if (reinterpret_cast<std::uintptr_t>(data) % FRAME_ALIGNMENT != 0) {
        // FlatBuffers reads scalars in place, so they must sit at their natural
        // alignment; the pool's buffers are aligned to 16 bytes.
        if (!m_aligned_copy) {
            m_aligned_copy = PooledBytes(BufferPool::instance().take(size), PooledBytesDeleter{size});
            std::memcpy(m_aligned_copy.get(), data, size);
        }
        data = m_aligned_copy.get();
    }
    const auto* root = verify_frame(data, size);
    if (root == nullptr) {
        throw std::runtime_error(INVALID_MESSAGE_DATA);
    }
    m_root = root;
    return root;
}

tessel_ipc::ProtocolVersion Message::get_protocol_version() const {
    if (!m_message || m_type == UNSET || m_type == INVALID_PROTOCOL) {
        return tessel_ipc::ProtocolVersion(0, 0, 0);
    }
    const auto* version = get_message_data()->version();
    return version ? *version : tessel_ipc::ProtocolVersion(0, 0, 0);
}

MessageType Message::check_message_type(const tessel_ipc::MessageData* data) {
    if (data == nullptr) {
        return UNSET;
    }
    switch (data->content_type()) {
        case tessel_ipc::Content_SimpleRequestData:
            return simple_request_type(data->content_as_SimpleRequestData());
        case tessel_ipc::Content_SimpleReplyData:
            return simple_reply_type(data->content_as_SimpleReplyData());
        case tessel_ipc::Content_ReadBlockData:
            return read_block_type(data->content_as_ReadBlockData());
        case tessel_ipc::Content_ReadBatchData:
            return read_batch_type(data->content_as_ReadBatchData());
        // Readers of these replies go straight to the content table, so a tag
        // without its table must not pass as a reply they can read.
        case tessel_ipc::Content_ConfigData:
            return data->content_as_ConfigData() != nullptr ? RETURN_CONFIGS : UNSET;
        case tessel_ipc::Content_ServerStats:
            return data->content_as_ServerStats() != nullptr ? RETURN_STATISTICS : UNSET;
        default:
            return UNSET;
    }
}

MessageType Message::simple_request_type(const tessel_ipc::SimpleRequestData* data) {
    if (data == nullptr) {
        return UNSET;
    }
    return find_simple_type(tessel_ipc::Content_SimpleRequestData,
                            static_cast<std::uint32_t>(data->type()));
}

MessageType Message::simple_reply_type(const tessel_ipc::SimpleReplyData* data) {
    if (data == nullptr) {
        return UNSET;
    }
    return find_simple_type(tessel_ipc::Content_SimpleReplyData,
                            static_cast<std::uint32_t>(data->type()));
}

MessageType Message::read_block_type(const tessel_ipc::ReadBlockData* data) {
    if (data == nullptr) {
        return UNSET;
    }
    switch (static_cast<std::uint32_t>(data->type())) {
        case tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK:
            return PASS_FIRST_RAW_BLOCK;
        case tessel_ipc::ReadBlockType_PASS_NEXT_RAW_BLOCK:
            return PASS_NEXT_RAW_BLOCK;
        case tessel_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK:
            return RETURN_FIRST_CALLED_BLOCK;
        case tessel_ipc::ReadBlockType_RETURN_NEXT_CALLED_BLOCK:
            return RETURN_NEXT_CALLED_BLOCK;
        default:
            return UNSET;
    }
}

MessageType Message::read_batch_type(const tessel_ipc::ReadBatchData* data) {
    if (data == nullptr) {
        return UNSET;
    }
    switch (static_cast<std::uint32_t>(data->type())) {
        case tessel_ipc::ReadBatchType_PASS_READ_BATCH:
            return PASS_READ_BATCH;
        case tessel_ipc::ReadBatchType_RETURN_COMPLETED_BATCH:
            return RETURN_COMPLETED_BATCH;
        default:
            return UNSET;
    }
}

std::string get_simple_message_text(const Message& message) {
    if (message.empty()) {
        return {};
    }
    const auto* data = message.get_message_data();
    const flatbuffers::String* text = nullptr;
    if (const auto* request = data->content_as_SimpleRequestData()) {
        text = request->text();
    } else if (const auto* reply = data->content_as_SimpleReplyData()) {
        text = reply->text();
    }
    return text ? text->str() : std::string();
}

Message create_query_request(QueryCode query_code) {
    CONTRACT_CHECK(query_code != QueryCode::undefined,
                   "The query code for a QUERY request message may not be undefined");
    return Message(QUERY, std::string(), static_cast<unsigned>(query_code), std::string());
}

QueryCode get_query_code(const Message& message) {
    CONTRACT_CHECK(message.get_type() == QUERY, "Can only extract query code from a QUERY message");
    const auto* request = message.get_message_data()->content_as_SimpleRequestData();
    const std::uint32_t value = request ? request->value() : 0;
    if (value >= static_cast<std::uint32_t>(QueryCode::unrecognised)) {
        return QueryCode::unrecognised;
    }
    return static_cast<QueryCode>(value);
}

std::shared_ptr<zmq::context_t> get_process_zmq_context() {
    // context_t's constructor raises zmq::error_t when zmq_ctx_new fails.
    auto context = std::make_shared<zmq::context_t>();
    zmq_ctx_set(context->handle(), ZMQ_IO_THREADS, 1);
    zmq_ctx_set(context->handle(), ZMQ_MAX_SOCKETS, 1023);
    return context;
}

}  // namespace ipc_tools
