#include "ipc_tools/ipc_tools.h"

#include "common/contract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace ipc_tools;

// What arrives when `message`'s bytes are received from a socket.
zmq::message_t to_frame(const Message& message) {
    zmq::message_t frame;
    Message copy = message.copy();
    copy.transfer_to_zmq(frame);
    return frame;
}

Message receive(const Message& message) { return Message(to_frame(message)); }

zmq::message_t frame_of(const flatbuffers::FlatBufferBuilder& builder) {
    return zmq::message_t(builder.GetBufferPointer(), builder.GetSize());
}

std::string text_of(const zmq::message_t& frame) {
    return std::string(static_cast<const char*>(frame.data()), frame.size());
}

// A finished MessageData around one content table built by `make_content`.
template <typename MakeContent>
zmq::message_t build_frame(tessel_ipc::Content tag, MakeContent make_content) {
    flatbuffers::FlatBufferBuilder builder;
    const flatbuffers::Offset<void> content = make_content(builder);
    const auto root = tessel_ipc::CreateMessageData(builder, &current_version(), 0, tag, content);
    tessel_ipc::FinishMessageDataBuffer(builder, root);
    return frame_of(builder);
}

// Whether a field is written in the table (generated tables hide CheckField).
template <typename T>
bool has_field(const T* table, flatbuffers::voffset_t field) {
    return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

flatbuffers::Offset<void> no_content(flatbuffers::FlatBufferBuilder&) { return 0; }

class ContractThrows : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = common::contract::set_contract_violation_policy(
                common::contract::ContractViolationPolicy::throw_violation);
    }
    void TearDown() override { common::contract::set_contract_violation_policy(m_previous); }

private:
    common::contract::ContractViolationPolicy m_previous{};
};

// Types that have no simple form: built with a builder or sent only by the server.
const std::set<MessageType> NON_SIMPLE_TYPES = {
        UNSET, INVALID_PROTOCOL, RETURN_STATISTICS, RETURN_CONFIGS, PASS_FIRST_RAW_BLOCK,
        PASS_NEXT_RAW_BLOCK, PASS_READ_BATCH, RETURN_FIRST_CALLED_BLOCK, RETURN_NEXT_CALLED_BLOCK,
        RETURN_COMPLETED_BATCH};

TEST(MessageTypeTest, NamesAreDistinctAndUnknownValuesHaveNone) {
    std::set<std::string> names;
    for (int value = 0; value < NUM_MESSAGE_TYPES; ++value) {
        names.insert(message_type_as_string(static_cast<MessageType>(value)));
    }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(NUM_MESSAGE_TYPES));
    EXPECT_EQ(names.count("<unknown>"), 0u);
    EXPECT_EQ(message_type_as_string(UNSET), "UNSET");
    EXPECT_EQ(message_type_as_string(CONNECTED), "CONNECTED");
    EXPECT_EQ(message_type_as_string(HEARTBEAT_ECHO), "HEARTBEAT_ECHO");
    EXPECT_EQ(message_type_as_string(NO_MORE_DATA), "NO_MORE_DATA");
    EXPECT_EQ(message_type_as_string(static_cast<MessageType>(44)), "<unknown>");
    EXPECT_EQ(message_type_as_string(static_cast<MessageType>(-1)), "<unknown>");
}

TEST(MessageTest, EverySimpleTypeRoundTripsThroughTheWire) {
    for (int value = 0; value < NUM_MESSAGE_TYPES; ++value) {
        const auto type = static_cast<MessageType>(value);
        SCOPED_TRACE(message_type_as_string(type));
        if (NON_SIMPLE_TYPES.count(type) != 0) {
            EXPECT_THROW(Message(type, "client", 1, "x"), std::runtime_error);
            continue;
        }
        const Message sent(type, "client-7", 42, "some text");
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.get_type(), type);

        const Message received = receive(sent);
        EXPECT_EQ(received.get_type(), type);
        const auto* data = received.get_message_data();
        ASSERT_NE(data->client_id(), nullptr);
        EXPECT_EQ(data->client_id()->str(), "client-7");
        EXPECT_EQ(get_simple_message_text(received), "some text");
        const auto version = received.get_protocol_version();
        EXPECT_EQ(version.major(), 21);
        EXPECT_EQ(version.minor(), 0);
        EXPECT_EQ(version.patch(), 0);
        const std::uint32_t wire_value = data->content_type() == tessel_ipc::Content_SimpleRequestData
                                                 ? data->content_as_SimpleRequestData()->value()
                                                 : data->content_as_SimpleReplyData()->value();
        EXPECT_EQ(wire_value, 42u);
    }
}

TEST(MessageTest, SimpleConstructorRefusesValuesOutsideTheEnumeration) {
    for (int value : {-1, 44, 1000}) {
        try {
            Message message(static_cast<MessageType>(value), "", 0, "");
            ADD_FAILURE() << "no exception for " << value;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Invalid MessageType for simple message constructor.");
        }
    }
}

TEST(MessageTest, DefaultsAreLeftOffTheWire) {
    const Message connect(CONNECT, "", 0, "");
    EXPECT_EQ(connect.get_type(), CONNECT);
    const auto* data = connect.get_message_data();
    EXPECT_EQ(data->client_id(), nullptr);
    const auto* request = data->content_as_SimpleRequestData();
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(has_field(request, tessel_ipc::SimpleRequestData::VT_TYPE));
    EXPECT_FALSE(has_field(request, tessel_ipc::SimpleRequestData::VT_VALUE));
    EXPECT_FALSE(has_field(request, tessel_ipc::SimpleRequestData::VT_TEXT));
    EXPECT_EQ(receive(connect).get_type(), CONNECT);

    // The text ends at its first NUL; the client id keeps all its bytes.
    const Message ping(HEARTBEAT_PING, std::string("0\0x", 3), 0, std::string("ab\0cd", 5));
    EXPECT_EQ(ping.get_type(), HEARTBEAT_PING);
    EXPECT_EQ(get_simple_message_text(ping), "ab");
    EXPECT_EQ(ping.get_message_data()->client_id()->size(), 3u);
}

TEST(MessageTest, ClassifiesBuiltTablesAndSubTypes) {
    struct Case {
        const char* name;
        tessel_ipc::Content tag;
        std::function<flatbuffers::Offset<void>(flatbuffers::FlatBufferBuilder&)> content;
        MessageType expected;
    };
    using B = flatbuffers::FlatBufferBuilder;
    auto block = [](std::uint32_t type) {
        return [type](B& b) {
            tessel_ipc::ReadBlockDataBuilder table(b);
            table.add_type(static_cast<tessel_ipc::ReadBlockType>(type));
            return table.Finish().Union();
        };
    };
    auto batch = [](std::uint32_t type) {
        return [type](B& b) {
            tessel_ipc::ReadBatchDataBuilder table(b);
            table.add_type(static_cast<tessel_ipc::ReadBatchType>(type));
            return table.Finish().Union();
        };
    };
    auto reply = [](std::uint32_t type) {
        return [type](B& b) {
            return tessel_ipc::CreateSimpleReplyData(b, static_cast<tessel_ipc::SimpleReplyType>(type))
                    .Union();
        };
    };
    auto request = [](std::uint32_t type) {
        return [type](B& b) {
            return tessel_ipc::CreateSimpleRequestData(b,
                                                       static_cast<tessel_ipc::SimpleRequestType>(type))
                    .Union();
        };
    };
    const std::vector<Case> cases = {
            {"block absent type", tessel_ipc::Content_ReadBlockData, block(0), PASS_FIRST_RAW_BLOCK},
            {"block 1", tessel_ipc::Content_ReadBlockData, block(1), PASS_NEXT_RAW_BLOCK},
            {"block 2", tessel_ipc::Content_ReadBlockData, block(2), RETURN_FIRST_CALLED_BLOCK},
            {"block 3", tessel_ipc::Content_ReadBlockData, block(3), RETURN_NEXT_CALLED_BLOCK},
            {"block 4", tessel_ipc::Content_ReadBlockData, block(4), UNSET},
            {"batch absent type", tessel_ipc::Content_ReadBatchData, batch(0), PASS_READ_BATCH},
            {"batch 1", tessel_ipc::Content_ReadBatchData, batch(1), RETURN_COMPLETED_BATCH},
            {"batch 2", tessel_ipc::Content_ReadBatchData, batch(2), UNSET},
            {"reply absent type", tessel_ipc::Content_SimpleReplyData, reply(0), CONNECTED},
            {"reply 18", tessel_ipc::Content_SimpleReplyData, reply(18), INVALID_ALIGNER_OPTIONS},
            {"reply 19", tessel_ipc::Content_SimpleReplyData, reply(19), UNSET},
            {"reply 2^32-1", tessel_ipc::Content_SimpleReplyData, reply(0xffffffffu), UNSET},
            {"request 14", tessel_ipc::Content_SimpleRequestData, request(14), NO_MORE_DATA},
            {"request 15", tessel_ipc::Content_SimpleRequestData, request(15), UNSET},
            {"config data", tessel_ipc::Content_ConfigData,
             [](B& b) { return tessel_ipc::CreateConfigData(b).Union(); }, RETURN_CONFIGS},
            {"server stats", tessel_ipc::Content_ServerStats,
             [](B& b) { return tessel_ipc::CreateServerStats(b, 1, 2, 3, 4).Union(); },
             RETURN_STATISTICS},
            {"no content", tessel_ipc::Content_NONE, no_content, UNSET},
            // The tag names a table that is not there: classified so that the
            // broker reports a bad reply, and the missing table is never read.
            {"request tag without table", tessel_ipc::Content_SimpleRequestData, no_content, UNSET},
            {"reply tag without table", tessel_ipc::Content_SimpleReplyData, no_content, UNSET},
            {"block tag without table", tessel_ipc::Content_ReadBlockData, no_content, UNSET},
            {"batch tag without table", tessel_ipc::Content_ReadBatchData, no_content, UNSET},
            {"config tag without table", tessel_ipc::Content_ConfigData, no_content, UNSET},
            {"stats tag without table", tessel_ipc::Content_ServerStats, no_content, UNSET},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Message received(build_frame(c.tag, c.content));
        EXPECT_EQ(received.get_type(), c.expected);
        EXPECT_FALSE(received.empty());

        flatbuffers::FlatBufferBuilder builder;
        const auto root = tessel_ipc::CreateMessageData(builder, &current_version(), 0, c.tag,
                                                        c.content(builder));
        tessel_ipc::FinishMessageDataBuffer(builder, root);
        EXPECT_EQ(Message(builder).get_type(), c.expected);
    }
}

TEST(MessageTest, FramesThatAreNotProtocolMessagesStayWithTheCaller) {
    zmq::message_t short_frame(std::string("\x08\0\0\0" "002", 7));
    const Message short_message(std::move(short_frame));
    EXPECT_EQ(short_message.get_type(), UNSET);
    EXPECT_TRUE(short_message.empty());
    EXPECT_EQ(short_frame.size(), 7u);

    zmq::message_t foreign(std::string("\x08\0\0\0" "0022", 8));
    const Message foreign_message(std::move(foreign));
    EXPECT_EQ(foreign_message.get_type(), INVALID_PROTOCOL);
    EXPECT_TRUE(foreign_message.empty());
    EXPECT_EQ(text_of(foreign), std::string("\x08\0\0\0" "0022", 8));
    EXPECT_EQ(foreign_message.get_protocol_version().major(), 0);
}

TEST(MessageTest, CorruptFramesFailVerification) {
    std::vector<std::pair<std::string, zmq::message_t>> frames;
    frames.emplace_back("root offset outside the buffer",
                        zmq::message_t(std::string("\x08\0\0\0" "0021", 8)));
    frames.emplace_back("root offset zero", zmq::message_t(std::string("\0\0\0\0" "0021", 8)));
    frames.emplace_back("union tag beyond the last member",
                        build_frame(static_cast<tessel_ipc::Content>(7), [](auto& b) {
                            return tessel_ipc::CreateSimpleReplyData(b).Union();
                        }));
    frames.emplace_back("union tag 255", build_frame(static_cast<tessel_ipc::Content>(255), no_content));
    {
        // A string whose length runs past the end of the frame.
        const Message good(BAD_REQUEST, "id", 0, "the reason");
        zmq::message_t frame = to_frame(good);
        std::string bytes = text_of(frame);
        const auto at = bytes.find("the reason");
        ASSERT_NE(at, std::string::npos);
        bytes[at - 4] = '\x7f';
        frames.emplace_back("string length past the end", zmq::message_t(bytes));
        frames.emplace_back("truncated frame", zmq::message_t(text_of(to_frame(good)).substr(0, 20)));
    }
    for (auto& [name, frame] : frames) {
        SCOPED_TRACE(name);
        try {
            Message message(std::move(frame));
            ADD_FAILURE() << "accepted, type " << message_type_as_string(message.get_type());
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Invalid MessageData in Message.");
        }
    }
}

TEST(MessageTest, FrameOfTwoGibibytesIsRejectedBeforeVerification) {
    // Only the first 8 bytes exist: the size alone must reject the frame. The
    // verifier itself takes nothing from 2 GiB - 1 bytes on.
    static const char header[8] = {8, 0, 0, 0, '0', '0', '2', '1'};
    for (const std::size_t size :
         {(std::size_t{1} << 31) - 1, std::size_t{1} << 31, std::size_t{1} << 32}) {
        SCOPED_TRACE(size);
        zmq::message_t huge(const_cast<char*>(header), size, nullptr, nullptr);
        EXPECT_THROW({ Message message(std::move(huge)); }, std::runtime_error);
    }
}

TEST(MessageTest, MisalignedFrameIsReadFromAnAlignedCopy) {
    const Message sent(BAD_REQUEST, "client", 9, "reason");
    const std::string bytes = text_of(to_frame(sent));
    std::vector<char> storage(bytes.size() + 16);
    char* misaligned = storage.data() + 1;
    if (reinterpret_cast<std::uintptr_t>(misaligned) % 16 == 0) {
        ++misaligned;
    }
    std::memcpy(misaligned, bytes.data(), bytes.size());
    const Message received(zmq::message_t(misaligned, bytes.size(), nullptr, nullptr));
    EXPECT_EQ(received.get_type(), BAD_REQUEST);
    EXPECT_EQ(get_simple_message_text(received), "reason");
    EXPECT_EQ(received.get_message_data()->content_as_SimpleReplyData()->value(), 9u);
}

TEST(MessageTest, BuilderBufferBecomesTheFrameWithoutACopy) {
    flatbuffers::FlatBufferBuilder builder(1024);
    const auto content = tessel_ipc::CreateSimpleRequestData(
            builder, tessel_ipc::SimpleRequestType_GET_STATISTICS);
    const auto root = tessel_ipc::CreateMessageData(builder, &current_version(), 0,
                                                    tessel_ipc::Content_SimpleRequestData,
                                                    content.Union());
    tessel_ipc::FinishMessageDataBuffer(builder, root);
    const void* bytes = builder.GetBufferPointer();
    const std::size_t size = builder.GetSize();

    Message message(builder);
    EXPECT_EQ(builder.GetSize(), 0u);
    EXPECT_EQ(message.get_type(), GET_STATISTICS);

    zmq::message_t out;
    message.transfer_to_zmq(out);
    EXPECT_EQ(out.data(), bytes);
    EXPECT_EQ(out.size(), size);
    EXPECT_TRUE(message.empty());
    EXPECT_EQ(message.get_type(), UNSET);
    EXPECT_EQ(Message(std::move(out)).get_type(), GET_STATISTICS);
}

TEST(MessageTest, TransferOfAnEmptyMessageGivesAnEmptyFrame) {
    Message message = Message(CONNECTED, "", 0, "").copy();
    Message moved_out(std::move(message));
    EXPECT_TRUE(message.empty());
    EXPECT_EQ(message.get_type(), UNSET);

    zmq::message_t out(std::string("stale"));
    Message empty;
    empty.transfer_to_zmq(out);
    EXPECT_EQ(out.size(), 0u);
    EXPECT_EQ(empty.get_type(), UNSET);
}

TEST(MessageTest, CopyHoldsItsOwnBytes) {
    const Message original(LOAD_CONFIG, "c", 3, "config_name");
    Message copy = original.copy();
    EXPECT_EQ(copy.get_type(), LOAD_CONFIG);
    zmq::message_t copied;
    copy.transfer_to_zmq(copied);
    const zmq::message_t reference = to_frame(original);
    EXPECT_EQ(text_of(copied), text_of(reference));
    EXPECT_EQ(get_simple_message_text(original), "config_name");

    // A message without a frame copies to one without a frame of the same type.
    Message empty;
    EXPECT_TRUE(empty.copy().empty());
}

TEST(MessageTest, MoveAssignmentExchangesContents) {
    Message target(LOAD_BED, "", 0, "bed");
    Message source(LOAD_INDEX, "", 0, "index");
    target = std::move(source);
    EXPECT_EQ(target.get_type(), LOAD_INDEX);
    EXPECT_EQ(get_simple_message_text(target), "index");
    EXPECT_EQ(source.get_type(), LOAD_BED);
    EXPECT_EQ(get_simple_message_text(source), "bed");
}

TEST(MessageTest, ReplyWithoutTextHasAnEmptyText) {
    const Message received = receive(Message(BAD_REQUEST, "", 0, ""));
    EXPECT_EQ(received.get_type(), BAD_REQUEST);
    EXPECT_EQ(received.get_message_data()->content_as_SimpleReplyData()->text(), nullptr);
    EXPECT_EQ(get_simple_message_text(received), "");
    EXPECT_EQ(get_simple_message_text(Message()), "");
}

TEST(QueryCodeTest, ValuesMapToCodes) {
    struct Case {
        const char* name;
        flatbuffers::Offset<void> (*content)(flatbuffers::FlatBufferBuilder&);
        QueryCode expected;
    };
    const Case cases[] = {
            {"no value", [](flatbuffers::FlatBufferBuilder& b) {
                 return tessel_ipc::CreateSimpleRequestData(b, tessel_ipc::SimpleRequestType_QUERY).Union();
             }, QueryCode::undefined},
            {"value 1", [](flatbuffers::FlatBufferBuilder& b) {
                 return tessel_ipc::CreateSimpleRequestData(b, tessel_ipc::SimpleRequestType_QUERY, 1).Union();
             }, QueryCode::server_internal_state},
            {"value 2", [](flatbuffers::FlatBufferBuilder& b) {
                 return tessel_ipc::CreateSimpleRequestData(b, tessel_ipc::SimpleRequestType_QUERY, 2).Union();
             }, QueryCode::unrecognised},
            {"value 7", [](flatbuffers::FlatBufferBuilder& b) {
                 return tessel_ipc::CreateSimpleRequestData(b, tessel_ipc::SimpleRequestType_QUERY, 7).Union();
             }, QueryCode::unrecognised},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Message query(build_frame(tessel_ipc::Content_SimpleRequestData, c.content));
        ASSERT_EQ(query.get_type(), QUERY);
        EXPECT_EQ(get_query_code(query), c.expected);
    }
    const Message request = create_query_request(QueryCode::server_internal_state);
    EXPECT_EQ(request.get_type(), QUERY);
    EXPECT_EQ(request.get_message_data()->client_id(), nullptr);
    EXPECT_EQ(get_query_code(receive(request)), QueryCode::server_internal_state);
}

using QueryCodeContractTest = ContractThrows;

TEST_F(QueryCodeContractTest, UndefinedCodeAndOtherTypesBreakTheContract) {
    EXPECT_ANY_THROW(create_query_request(QueryCode::undefined));
    EXPECT_ANY_THROW(get_query_code(Message(HEARTBEAT_PING, "0", 0, "")));
}

TEST_F(QueryCodeContractTest, ViolationsNameTheirConditionMessageAndFile) {
    struct Case {
        const char* condition;
        const char* message;
        std::function<void()> call;
    };
    const Case cases[] = {
            {"query_code != QueryCode::undefined",
             "The query code for a QUERY request message may not be undefined",
             [] { create_query_request(QueryCode::undefined); }},
            {"message.get_type() == QUERY", "Can only extract query code from a QUERY message",
             [] { get_query_code(Message(HEARTBEAT_PING, "0", 0, "")); }},
            {"message.get_type() == QUERY", "Can only extract query code from a QUERY message",
             [] { get_query_code(Message()); }},
    };
    common::contract::set_contract_violation_policy(
            common::contract::ContractViolationPolicy::report_and_throw);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ::testing::internal::CaptureStderr();
        EXPECT_ANY_THROW(c.call());
        const std::string written = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(written.find(std::string("Contract violation. ") + c.message + "\n"), std::string::npos)
                << written;
        EXPECT_NE(written.find("ipc_tools/ipc_tools"), std::string::npos) << written;
        EXPECT_NE(written.find(std::string("\"") + c.condition + "\"\n"), std::string::npos) << written;
    }
    common::contract::testability::clear_violation_flag();
}

TEST(ProtocolVersionTest, CurrentVersion) {
    EXPECT_EQ(current_version_as_string(), "21.0.0");
    EXPECT_EQ(&current_version(), &current_version());
    EXPECT_EQ(Message().get_protocol_version().major(), 0);

    // A frame without a version field reads as 0.0.0.
    flatbuffers::FlatBufferBuilder builder;
    const auto root = tessel_ipc::CreateMessageData(
            builder, nullptr, 0, tessel_ipc::Content_SimpleReplyData,
            tessel_ipc::CreateSimpleReplyData(builder, tessel_ipc::SimpleReplyType_SUCCESS).Union());
    tessel_ipc::FinishMessageDataBuffer(builder, root);
    const Message no_version(builder);
    EXPECT_EQ(no_version.get_type(), SUCCESS);
    EXPECT_EQ(no_version.get_protocol_version().major(), 0);
}

TEST(ZmqContextTest, EveryCallMakesANewContext) {
    const auto first = get_process_zmq_context();
    const auto second = get_process_zmq_context();
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(zmq_ctx_get(first->handle(), ZMQ_IO_THREADS), 1);
    EXPECT_EQ(zmq_ctx_get(first->handle(), ZMQ_MAX_SOCKETS), 1023);
}

}  // namespace
