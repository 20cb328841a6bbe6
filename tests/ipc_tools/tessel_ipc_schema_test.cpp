// The wire layout, checked against tables written by field id and width alone,
// without the generated builders: a reordered, retyped or renumbered field in
// the schema breaks the server conversation and must break these tests.

#include "ipc_tools/ipc_tools.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using namespace ipc_tools;

// One field of a hand-written table.
struct RawField {
    enum Kind { U8, BOOL, I8, I32, U32, F32, U64, STRING, OFFSET };
    flatbuffers::voffset_t id;
    Kind kind;
    unsigned long long integer = 0;
    float real = 0;
    std::string text = {};
    flatbuffers::uoffset_t offset = 0;  // OFFSET: a table or vector built before
};

RawField u32(flatbuffers::voffset_t id, std::uint32_t v) { return {id, RawField::U32, v}; }
RawField i32(flatbuffers::voffset_t id, std::int32_t v) {
    return {id, RawField::I32, static_cast<std::uint32_t>(v)};
}
RawField u64(flatbuffers::voffset_t id, unsigned long long v) { return {id, RawField::U64, v}; }
RawField f32(flatbuffers::voffset_t id, float v) { return {id, RawField::F32, 0, v}; }
RawField flag(flatbuffers::voffset_t id) { return {id, RawField::BOOL, 1}; }
RawField i8(flatbuffers::voffset_t id, std::int8_t v) {
    return {id, RawField::I8, static_cast<std::uint8_t>(v)};
}
RawField str(flatbuffers::voffset_t id, std::string v) { return {id, RawField::STRING, 0, 0, std::move(v)}; }
template <typename T>
RawField off(flatbuffers::voffset_t id, flatbuffers::Offset<T> o) {
    return {id, RawField::OFFSET, 0, 0, {}, o.o};
}

// Field id n lives in vtable slot 4 + 2n.
flatbuffers::voffset_t slot(flatbuffers::voffset_t id) {
    return static_cast<flatbuffers::voffset_t>(4 + 2 * id);
}

flatbuffers::Offset<void> write_table(flatbuffers::FlatBufferBuilder& b, const std::vector<RawField>& fields) {
    std::vector<flatbuffers::uoffset_t> strings(fields.size(), 0);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].kind == RawField::STRING) {
            strings[i] = b.CreateString(fields[i].text).o;
        }
    }
    const auto start = b.StartTable();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto& f = fields[i];
        const auto s = slot(f.id);
        switch (f.kind) {
            case RawField::U8:
            case RawField::BOOL:
                b.AddElement<std::uint8_t>(s, static_cast<std::uint8_t>(f.integer), 0);
                break;
            case RawField::I8:
                b.AddElement<std::int8_t>(s, static_cast<std::int8_t>(f.integer), 0);
                break;
            case RawField::I32:
                b.AddElement<std::int32_t>(s, static_cast<std::int32_t>(f.integer), 0);
                break;
            case RawField::U32:
                b.AddElement<std::uint32_t>(s, static_cast<std::uint32_t>(f.integer), 0);
                break;
            case RawField::F32:
                b.AddElement<float>(s, f.real, 0.0f);
                break;
            case RawField::U64:
                b.AddElement<std::uint64_t>(s, f.integer, 0);
                break;
            case RawField::STRING:
                b.AddOffset(s, flatbuffers::Offset<flatbuffers::String>(strings[i]));
                break;
            case RawField::OFFSET:
                b.AddOffset(s, flatbuffers::Offset<void>(f.offset));
                break;
        }
    }
    return flatbuffers::Offset<void>(b.EndTable(start));
}

// A received message whose MessageData is written by hand around `content`.
Message receive_raw(flatbuffers::FlatBufferBuilder& b, std::uint8_t content_type,
                    flatbuffers::Offset<void> content) {
    const auto client_id = b.CreateString("raw-client");
    const auto start = b.StartTable();
    const tessel_ipc::ProtocolVersion version(21, 0, 0);
    b.AddStruct(slot(0), &version);
    b.AddOffset(slot(1), client_id);
    b.AddElement<std::uint8_t>(slot(2), content_type, 0);
    b.AddOffset(slot(3), content);
    const flatbuffers::Offset<void> root(b.EndTable(start));
    b.Finish(root, "0021");
    return Message(zmq::message_t(b.GetBufferPointer(), b.GetSize()));
}

TEST(WireSchemaTest, FrameLayoutAndVersion) {
    static_assert(sizeof(tessel_ipc::ProtocolVersion) == 12, "version is three 32-bit numbers");
    static_assert(std::is_same_v<std::underlying_type_t<tessel_ipc::SimpleRequestType>, std::uint32_t>);
    static_assert(std::is_same_v<std::underlying_type_t<tessel_ipc::SimpleReplyType>, std::uint32_t>);
    static_assert(std::is_same_v<std::underlying_type_t<tessel_ipc::ReadBlockType>, std::uint32_t>);
    static_assert(std::is_same_v<std::underlying_type_t<tessel_ipc::ReadBatchType>, std::uint32_t>);
    static_assert(std::is_same_v<std::underlying_type_t<tessel_ipc::Content>, std::uint8_t>);
    EXPECT_STREQ(tessel_ipc::MessageDataIdentifier(), "0021");

    const Message message(HEARTBEAT_PING, "c", 0, "");
    zmq::message_t frame;
    message.copy().transfer_to_zmq(frame);
    const auto* bytes = static_cast<const std::uint8_t*>(frame.data());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes) + 4, 4), "0021");
    const auto root = flatbuffers::ReadScalar<std::uint32_t>(bytes);
    EXPECT_LT(root, frame.size());
    // Version 21.0.0 is stored inline in slot 0 of the root table.
    const auto* table = reinterpret_cast<const flatbuffers::Table*>(bytes + root);
    const auto* version = table->GetStruct<const tessel_ipc::ProtocolVersion*>(slot(0));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->major(), 21);
    EXPECT_EQ(version->minor(), 0);
    EXPECT_EQ(version->patch(), 0);
    EXPECT_EQ(table->GetField<std::uint8_t>(slot(2), 0), 1);  // SimpleRequestData
}

TEST(WireSchemaTest, UnionTagsAndSubTypes) {
    const struct {
        std::uint8_t tag;
        std::vector<RawField> fields;
        MessageType expected;
    } cases[] = {
            {1, {u32(0, 13), u32(1, 1)}, QUERY},
            {1, {u32(0, 14)}, NO_MORE_DATA},
            {2, {u32(0, 10), str(2, "why")}, BAD_REQUEST},
            {2, {u32(0, 18)}, INVALID_ALIGNER_OPTIONS},
            {3, {u32(0, 3)}, RETURN_NEXT_CALLED_BLOCK},
            {4, {u32(0, 1)}, RETURN_COMPLETED_BATCH},
            {5, {}, RETURN_CONFIGS},
            {6, {}, RETURN_STATISTICS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(message_type_as_string(c.expected));
        flatbuffers::FlatBufferBuilder b;
        const auto content = write_table(b, c.fields);
        const Message message = receive_raw(b, c.tag, content);
        EXPECT_EQ(message.get_type(), c.expected);
        EXPECT_EQ(message.get_message_data()->client_id()->str(), "raw-client");
    }
}

TEST(WireSchemaTest, ReadBlockDataFields) {
    flatbuffers::FlatBufferBuilder b;
    const std::vector<std::int16_t> samples = {1, -2, 32767, -32768};
    const auto raw = b.CreateVector(samples);
    const auto duplex = write_table(b, {i32(0, -7), u32(1, 4000000000u), str(2, "run")});
    const auto block = write_table(
            b, {u32(0, 1), u32(1, 11), u32(2, 12), u32(3, 13), u32(4, 14), f32(5, 1.5f), f32(6, 2.5f),
                str(7, "read"), off(8, raw), u32(10, 15), str(11, "strand"), u64(12, 1ull << 40),
                u64(13, (1ull << 35) + 1), f32(14, 5000.0f), off(15, duplex), str(16, "s1"), str(17, "s2"),
                flag(18), str(19, "kit"), str(20, "fc")});
    const Message message = receive_raw(b, 3, block);
    ASSERT_EQ(message.get_type(), PASS_NEXT_RAW_BLOCK);
    const auto* d = message.get_message_data()->content_as_ReadBlockData();
    EXPECT_EQ(d->read_tag(), 11u);
    EXPECT_EQ(d->block_index(), 12u);
    EXPECT_EQ(d->num_blocks(), 13u);
    EXPECT_EQ(d->duration(), 14u);
    EXPECT_EQ(d->daq_offset(), 1.5f);
    EXPECT_EQ(d->daq_scaling(), 2.5f);
    EXPECT_EQ(d->read_id()->str(), "read");
    ASSERT_EQ(d->raw_data()->size(), 4u);
    EXPECT_EQ(d->raw_data()->Get(2), 32767);
    EXPECT_EQ(d->raw_data()->Get(3), -32768);
    EXPECT_EQ(d->called_data(), nullptr);
    EXPECT_EQ(d->sub_tag(), 15u);
    EXPECT_EQ(d->strand_id()->str(), "strand");
    EXPECT_EQ(d->start_time(), 1ull << 40);
    EXPECT_EQ(d->num_sequor_events(), (1ull << 35) + 1);
    EXPECT_EQ(d->sampling_rate(), 5000.0f);
    EXPECT_EQ(d->duplex_pairing()->channel(), -7);
    EXPECT_EQ(d->duplex_pairing()->mux(), 4000000000u);
    EXPECT_EQ(d->duplex_pairing()->run_id()->str(), "run");
    EXPECT_EQ(d->duplex_strand_1()->str(), "s1");
    EXPECT_EQ(d->duplex_strand_2()->str(), "s2");
    EXPECT_TRUE(d->is_duplex_parent());
    EXPECT_EQ(d->sequencing_kit()->str(), "kit");
    EXPECT_EQ(d->flow_cell_product_code()->str(), "fc");
}

TEST(WireSchemaTest, CalledBlockDataAndItsTables) {
    flatbuffers::FlatBufferBuilder b;
    const auto scaling = write_table(b, {f32(0, 90.0f), f32(1, 12.5f), str(2, "v1")});
    const std::vector<std::uint8_t> probs = {0, 255, 7};
    const auto probs_vector = b.CreateVector(probs);
    const auto base_mod = write_table(b, {str(0, "ACGTm"), str(1, "5mC"), str(2, "CG"), off(3, probs_vector)});
    const auto front = write_table(b, {str(0, ""), f32(1, 80.0f), i32(2, 3), i32(3, 24)});
    const auto rear = write_table(b, {str(0, ""), f32(1, 70.0f), i32(2, 900), i32(3, 22)});
    const auto barcoding = write_table(b, {i32(0, 31), i32(1, 42), str(2, "barcode07"), str(3, "KIT"),
                                           str(4, "var"), f32(5, 88.5f), off(6, front), off(7, rear)});
    const auto hit = write_table(
            b, {str(0, "chr1"), i32(1, 100), i32(2, 200), i32(3, 1), i32(4, 99), i32(5, 500), i32(6, 4),
                i32(7, 5), i32(8, 90), i32(9, 80), f32(10, 0.5f), f32(11, 0.75f), f32(12, 0.875f),
                i32(13, 150), str(14, "sam"), i32(15, 2), str(16, "b1\nb2"), i8(17, '-'), i32(18, 60),
                flag(19), flag(20)});
    const std::vector<flatbuffers::Offset<void>> hits = {hit};
    const auto alignments = b.CreateVector(hits);
    const std::vector<std::uint8_t> moves = {1, 0, 1};
    const auto moves_vector = b.CreateVector(moves);
    const auto called = write_table(
            b, {u32(0, 1234), u32(1, 56), f32(2, 12.5f), f32(3, 1.5f), f32(4, 0.5f), u32(5, 5), u32(6, 7),
                str(7, "ACGT"), str(8, "++++"), str(9, "duplex"), off(10, scaling), off(11, moves_vector),
                off(12, base_mod), off(13, barcoding), off(14, alignments), str(15, "model"),
                str(16, "modmodel"), i32(17, -1)});
    const auto block = write_table(b, {u32(0, 2), off(9, called)});
    const Message message = receive_raw(b, 3, block);
    ASSERT_EQ(message.get_type(), RETURN_FIRST_CALLED_BLOCK);
    const auto* c = message.get_message_data()->content_as_ReadBlockData()->called_data();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(moves_length(*c), 1234u);
    EXPECT_EQ(c->sequence_length(), 56u);
    EXPECT_EQ(c->mean_qscore(), 12.5f);
    EXPECT_EQ(c->median(), 1.5f);
    EXPECT_EQ(c->med_abs_dev(), 0.5f);
    EXPECT_EQ(c->model_stride(), 5u);
    EXPECT_EQ(c->trimmed_samples(), 7u);
    EXPECT_EQ(c->sequence()->str(), "ACGT");
    EXPECT_EQ(c->qstring()->str(), "++++");
    EXPECT_EQ(c->basecall_type()->str(), "duplex");
    EXPECT_EQ(c->scaling()->scaling_median(), 90.0f);
    EXPECT_EQ(c->scaling()->scaling_med_abs_dev(), 12.5f);
    EXPECT_EQ(c->scaling()->scaling_version()->str(), "v1");
    EXPECT_EQ(c->moves()->size(), 3u);
    EXPECT_EQ(c->base_mod()->base_mod_alphabet()->str(), "ACGTm");
    EXPECT_EQ(c->base_mod()->base_mod_long_names()->str(), "5mC");
    EXPECT_EQ(c->base_mod()->base_mod_context()->str(), "CG");
    EXPECT_EQ(c->base_mod()->base_mod_probs()->Get(1), 255);
    const auto* bc = c->barcoding();
    EXPECT_EQ(bc->trim_front(), 31);
    EXPECT_EQ(bc->trim_rear(), 42);
    EXPECT_EQ(bc->barcode_arrangement()->str(), "barcode07");
    EXPECT_EQ(bc->barcode_kit()->str(), "KIT");
    EXPECT_EQ(bc->barcode_variant()->str(), "var");
    EXPECT_EQ(bc->barcode_score(), 88.5f);
    EXPECT_EQ(bc->front()->score(), 80.0f);
    EXPECT_EQ(bc->front()->index(), 3);
    EXPECT_EQ(bc->front()->foundseq_length(), 24);
    EXPECT_EQ(bc->rear()->index(), 900);
    ASSERT_EQ(c->alignments()->size(), 1u);
    const auto* a = c->alignments()->Get(0);
    EXPECT_EQ(a->Genome()->str(), "chr1");
    EXPECT_EQ(a->GenomeStart(), 100);
    EXPECT_EQ(a->GenomeEnd(), 200);
    EXPECT_EQ(a->StrandStart(), 1);
    EXPECT_EQ(a->StrandEnd(), 99);
    EXPECT_EQ(a->NumEvents(), 500);
    EXPECT_EQ(a->NumInsertions(), 4);
    EXPECT_EQ(a->NumDeletions(), 5);
    EXPECT_EQ(a->NumAligned(), 90);
    EXPECT_EQ(a->NumCorrect(), 80);
    EXPECT_EQ(a->Coverage(), 0.5f);
    EXPECT_EQ(a->Identity(), 0.75f);
    EXPECT_EQ(a->Accuracy(), 0.875f);
    EXPECT_EQ(a->StrandScore(), 150);
    EXPECT_EQ(a->SamRecord()->str(), "sam");
    EXPECT_EQ(a->BedHits(), 2);
    EXPECT_EQ(a->BedLines()->str(), "b1\nb2");
    EXPECT_EQ(a->Direction(), '-');
    EXPECT_EQ(a->MappingQuality(), 60);
    EXPECT_TRUE(a->IsSecondary());
    EXPECT_TRUE(a->IsSupplementary());
    EXPECT_EQ(c->model_version_id()->str(), "model");
    EXPECT_EQ(c->modbase_model_version_id()->str(), "modmodel");
    EXPECT_EQ(c->poly_tail_length(), -1);
}

TEST(WireSchemaTest, ServerOnlyReplies) {
    flatbuffers::FlatBufferBuilder b;
    const auto configuration = write_table(b, {str(0, "cfg"), str(1, "model-7"), flag(2)});
    const auto index = write_table(b, {str(0, "/refs/ref.mmi"), str(1, "@SQ\tSN:chr1")});
    const auto kit = write_table(b, {str(0, "KIT-1"), flag(1), flag(2), i32(3, 1), i32(4, 96), str(5, "BC%02i")});
    const std::vector<flatbuffers::Offset<void>> configurations = {configuration};
    const std::vector<flatbuffers::Offset<void>> indices = {index};
    const std::vector<flatbuffers::Offset<void>> kits = {kit};
    const auto strings = b.CreateVectorOfStrings({"x", "y"});
    const auto c1 = b.CreateVector(configurations);
    const auto c2 = b.CreateVector(indices);
    const auto c4 = b.CreateVector(kits);
    const auto config = write_table(b, {off(0, c1), off(1, c2), off(2, strings), off(3, c4)});
    const Message configs = receive_raw(b, 5, config);
    ASSERT_EQ(configs.get_type(), RETURN_CONFIGS);
    const auto* data = configs.get_message_data()->content_as_ConfigData();
    EXPECT_EQ(data->configurations()->Get(0)->name()->str(), "cfg");
    EXPECT_EQ(data->configurations()->Get(0)->model_version_id()->str(), "model-7");
    EXPECT_TRUE(data->configurations()->Get(0)->duplex());
    EXPECT_EQ(data->indices()->Get(0)->name()->str(), "/refs/ref.mmi");
    EXPECT_EQ(data->indices()->Get(0)->header()->str(), "@SQ\tSN:chr1");
    EXPECT_EQ(data->string_list()->Get(1)->str(), "y");
    const auto* k = data->barcode_kits()->Get(0);
    EXPECT_EQ(k->kit_name()->str(), "KIT-1");
    EXPECT_TRUE(k->is_both_ends());
    EXPECT_TRUE(k->naming_flag());
    EXPECT_EQ(k->first_index(), 1);
    EXPECT_EQ(k->last_index(), 96);
    EXPECT_EQ(k->name_pattern()->str(), "BC%02i");

    flatbuffers::FlatBufferBuilder s;
    const auto client = write_table(s, {u32(0, 5), u32(1, 6)});
    const std::vector<flatbuffers::Offset<void>> clients = {client};
    const auto client_vector = s.CreateVector(clients);
    const auto stats = write_table(s, {u64(0, 1ull << 33), u64(1, 2), u64(2, 3), u64(3, 4), off(4, client_vector)});
    const Message statistics = receive_raw(s, 6, stats);
    ASSERT_EQ(statistics.get_type(), RETURN_STATISTICS);
    const auto* st = statistics.get_message_data()->content_as_ServerStats();
    EXPECT_EQ(st->lifetime_reads_in(), 1ull << 33);
    EXPECT_EQ(st->lifetime_reads_out(), 2u);
    EXPECT_EQ(st->period_reads_in(), 3u);
    EXPECT_EQ(st->period_reads_out(), 4u);
    EXPECT_EQ(st->clients()->Get(0)->input_read_count(), 5u);
    EXPECT_EQ(st->clients()->Get(0)->output_read_count(), 6u);
}

TEST(WireSchemaTest, BatchOfBlocks) {
    flatbuffers::FlatBufferBuilder b;
    const auto first = write_table(b, {u32(1, 1)});
    const auto second = write_table(b, {u32(1, 2)});
    const std::vector<flatbuffers::Offset<void>> blocks = {first, second};
    const auto block_vector = b.CreateVector(blocks);
    const auto batch = write_table(b, {off(1, block_vector)});
    const Message message = receive_raw(b, 4, batch);
    ASSERT_EQ(message.get_type(), PASS_READ_BATCH);
    const auto* d = message.get_message_data()->content_as_ReadBatchData();
    ASSERT_EQ(d->blocks()->size(), 2u);
    EXPECT_EQ(d->blocks()->Get(1)->read_tag(), 2u);
}

// Every field of every table: its vtable slot (4 + 2 x id) and the type its
// accessor reads. A field whose id, width or signedness drifts stops the build.
#define WIRE_FIELD(table, field, vt, id, type)                                                   \
    static_assert(tessel_ipc::table::vt == 4 + 2 * (id), #table "." #field " has the wrong id"); \
    static_assert(std::is_same_v<decltype(std::declval<const tessel_ipc::table&>().field()), type>, \
                  #table "." #field " has the wrong type")

using Str = const flatbuffers::String*;
template <typename T>
using Vec = const flatbuffers::Vector<T>*;
template <typename T>
using VecOf = const flatbuffers::Vector<flatbuffers::Offset<T>>*;
using namespace tessel_ipc;

WIRE_FIELD(MessageData, version, VT_VERSION, 0, const ProtocolVersion*);
WIRE_FIELD(MessageData, client_id, VT_CLIENT_ID, 1, Str);
WIRE_FIELD(MessageData, content_type, VT_CONTENT_TYPE, 2, Content);
WIRE_FIELD(MessageData, content, VT_CONTENT, 3, const void*);

WIRE_FIELD(SimpleRequestData, type, VT_TYPE, 0, SimpleRequestType);
WIRE_FIELD(SimpleRequestData, value, VT_VALUE, 1, std::uint32_t);
WIRE_FIELD(SimpleRequestData, text, VT_TEXT, 2, Str);
WIRE_FIELD(SimpleReplyData, type, VT_TYPE, 0, SimpleReplyType);
WIRE_FIELD(SimpleReplyData, value, VT_VALUE, 1, std::uint32_t);
WIRE_FIELD(SimpleReplyData, text, VT_TEXT, 2, Str);

WIRE_FIELD(ReadBlockData, type, VT_TYPE, 0, ReadBlockType);
WIRE_FIELD(ReadBlockData, read_tag, VT_READ_TAG, 1, std::uint32_t);
WIRE_FIELD(ReadBlockData, block_index, VT_BLOCK_INDEX, 2, std::uint32_t);
WIRE_FIELD(ReadBlockData, num_blocks, VT_NUM_BLOCKS, 3, std::uint32_t);
WIRE_FIELD(ReadBlockData, duration, VT_DURATION, 4, std::uint32_t);
WIRE_FIELD(ReadBlockData, daq_offset, VT_DAQ_OFFSET, 5, float);
WIRE_FIELD(ReadBlockData, daq_scaling, VT_DAQ_SCALING, 6, float);
WIRE_FIELD(ReadBlockData, read_id, VT_READ_ID, 7, Str);
WIRE_FIELD(ReadBlockData, raw_data, VT_RAW_DATA, 8, Vec<std::int16_t>);
WIRE_FIELD(ReadBlockData, called_data, VT_CALLED_DATA, 9, const CalledBlockData*);
WIRE_FIELD(ReadBlockData, sub_tag, VT_SUB_TAG, 10, std::uint32_t);
WIRE_FIELD(ReadBlockData, strand_id, VT_STRAND_ID, 11, Str);
WIRE_FIELD(ReadBlockData, start_time, VT_START_TIME, 12, std::uint64_t);
WIRE_FIELD(ReadBlockData, num_sequor_events, VT_NUM_SEQUOR_EVENTS, 13, std::uint64_t);
WIRE_FIELD(ReadBlockData, sampling_rate, VT_SAMPLING_RATE, 14, float);
WIRE_FIELD(ReadBlockData, duplex_pairing, VT_DUPLEX_PAIRING, 15, const DuplexPairingData*);
WIRE_FIELD(ReadBlockData, duplex_strand_1, VT_DUPLEX_STRAND_1, 16, Str);
WIRE_FIELD(ReadBlockData, duplex_strand_2, VT_DUPLEX_STRAND_2, 17, Str);
WIRE_FIELD(ReadBlockData, is_duplex_parent, VT_IS_DUPLEX_PARENT, 18, bool);
WIRE_FIELD(ReadBlockData, sequencing_kit, VT_SEQUENCING_KIT, 19, Str);
WIRE_FIELD(ReadBlockData, flow_cell_product_code, VT_FLOW_CELL_PRODUCT_CODE, 20, Str);

WIRE_FIELD(CalledBlockData, total_moves_length, VT_TOTAL_MOVES_LENGTH, 0, std::uint32_t);
WIRE_FIELD(CalledBlockData, sequence_length, VT_SEQUENCE_LENGTH, 1, std::uint32_t);
WIRE_FIELD(CalledBlockData, mean_qscore, VT_MEAN_QSCORE, 2, float);
WIRE_FIELD(CalledBlockData, median, VT_MEDIAN, 3, float);
WIRE_FIELD(CalledBlockData, med_abs_dev, VT_MED_ABS_DEV, 4, float);
WIRE_FIELD(CalledBlockData, model_stride, VT_MODEL_STRIDE, 5, std::uint32_t);
WIRE_FIELD(CalledBlockData, trimmed_samples, VT_TRIMMED_SAMPLES, 6, std::uint32_t);
WIRE_FIELD(CalledBlockData, sequence, VT_SEQUENCE, 7, Str);
WIRE_FIELD(CalledBlockData, qstring, VT_QSTRING, 8, Str);
WIRE_FIELD(CalledBlockData, basecall_type, VT_BASECALL_TYPE, 9, Str);
WIRE_FIELD(CalledBlockData, scaling, VT_SCALING, 10, const ScalingData*);
WIRE_FIELD(CalledBlockData, moves, VT_MOVES, 11, Vec<std::uint8_t>);
WIRE_FIELD(CalledBlockData, base_mod, VT_BASE_MOD, 12, const BaseModData*);
WIRE_FIELD(CalledBlockData, barcoding, VT_BARCODING, 13, const BarcodeArrangementResults*);
WIRE_FIELD(CalledBlockData, alignments, VT_ALIGNMENTS, 14, VecOf<AlignmentResults>);
WIRE_FIELD(CalledBlockData, model_version_id, VT_MODEL_VERSION_ID, 15, Str);
WIRE_FIELD(CalledBlockData, modbase_model_version_id, VT_MODBASE_MODEL_VERSION_ID, 16, Str);
WIRE_FIELD(CalledBlockData, poly_tail_length, VT_POLY_TAIL_LENGTH, 17, std::int32_t);

WIRE_FIELD(ScalingData, scaling_median, VT_SCALING_MEDIAN, 0, float);
WIRE_FIELD(ScalingData, scaling_med_abs_dev, VT_SCALING_MED_ABS_DEV, 1, float);
WIRE_FIELD(ScalingData, scaling_version, VT_SCALING_VERSION, 2, Str);

WIRE_FIELD(BaseModData, base_mod_alphabet, VT_BASE_MOD_ALPHABET, 0, Str);
WIRE_FIELD(BaseModData, base_mod_long_names, VT_BASE_MOD_LONG_NAMES, 1, Str);
WIRE_FIELD(BaseModData, base_mod_context, VT_BASE_MOD_CONTEXT, 2, Str);
WIRE_FIELD(BaseModData, base_mod_probs, VT_BASE_MOD_PROBS, 3, Vec<std::uint8_t>);

WIRE_FIELD(BarcodeArrangementResults, trim_front, VT_TRIM_FRONT, 0, std::int32_t);
WIRE_FIELD(BarcodeArrangementResults, trim_rear, VT_TRIM_REAR, 1, std::int32_t);
WIRE_FIELD(BarcodeArrangementResults, barcode_arrangement, VT_BARCODE_ARRANGEMENT, 2, Str);
WIRE_FIELD(BarcodeArrangementResults, barcode_kit, VT_BARCODE_KIT, 3, Str);
WIRE_FIELD(BarcodeArrangementResults, barcode_variant, VT_BARCODE_VARIANT, 4, Str);
WIRE_FIELD(BarcodeArrangementResults, barcode_score, VT_BARCODE_SCORE, 5, float);
WIRE_FIELD(BarcodeArrangementResults, front, VT_FRONT, 6, const BarcodeResults*);
WIRE_FIELD(BarcodeArrangementResults, rear, VT_REAR, 7, const BarcodeResults*);

WIRE_FIELD(BarcodeResults, label, VT_LABEL, 0, Str);
WIRE_FIELD(BarcodeResults, score, VT_SCORE, 1, float);
WIRE_FIELD(BarcodeResults, index, VT_INDEX, 2, std::int32_t);
WIRE_FIELD(BarcodeResults, foundseq_length, VT_FOUNDSEQ_LENGTH, 3, std::int32_t);

WIRE_FIELD(AlignmentResults, Genome, VT_GENOME, 0, Str);
WIRE_FIELD(AlignmentResults, GenomeStart, VT_GENOMESTART, 1, std::int32_t);
WIRE_FIELD(AlignmentResults, GenomeEnd, VT_GENOMEEND, 2, std::int32_t);
WIRE_FIELD(AlignmentResults, StrandStart, VT_STRANDSTART, 3, std::int32_t);
WIRE_FIELD(AlignmentResults, StrandEnd, VT_STRANDEND, 4, std::int32_t);
WIRE_FIELD(AlignmentResults, NumEvents, VT_NUMEVENTS, 5, std::int32_t);
WIRE_FIELD(AlignmentResults, NumInsertions, VT_NUMINSERTIONS, 6, std::int32_t);
WIRE_FIELD(AlignmentResults, NumDeletions, VT_NUMDELETIONS, 7, std::int32_t);
WIRE_FIELD(AlignmentResults, NumAligned, VT_NUMALIGNED, 8, std::int32_t);
WIRE_FIELD(AlignmentResults, NumCorrect, VT_NUMCORRECT, 9, std::int32_t);
WIRE_FIELD(AlignmentResults, Coverage, VT_COVERAGE, 10, float);
WIRE_FIELD(AlignmentResults, Identity, VT_IDENTITY, 11, float);
WIRE_FIELD(AlignmentResults, Accuracy, VT_ACCURACY, 12, float);
WIRE_FIELD(AlignmentResults, StrandScore, VT_STRANDSCORE, 13, std::int32_t);
WIRE_FIELD(AlignmentResults, SamRecord, VT_SAMRECORD, 14, Str);
WIRE_FIELD(AlignmentResults, BedHits, VT_BEDHITS, 15, std::int32_t);
WIRE_FIELD(AlignmentResults, BedLines, VT_BEDLINES, 16, Str);
WIRE_FIELD(AlignmentResults, Direction, VT_DIRECTION, 17, std::int8_t);
WIRE_FIELD(AlignmentResults, MappingQuality, VT_MAPPINGQUALITY, 18, std::int32_t);
WIRE_FIELD(AlignmentResults, IsSecondary, VT_ISSECONDARY, 19, bool);
WIRE_FIELD(AlignmentResults, IsSupplementary, VT_ISSUPPLEMENTARY, 20, bool);

WIRE_FIELD(DuplexPairingData, channel, VT_CHANNEL, 0, std::int32_t);
WIRE_FIELD(DuplexPairingData, mux, VT_MUX, 1, std::uint32_t);
WIRE_FIELD(DuplexPairingData, run_id, VT_RUN_ID, 2, Str);

WIRE_FIELD(ReadBatchData, type, VT_TYPE, 0, ReadBatchType);
WIRE_FIELD(ReadBatchData, blocks, VT_BLOCKS, 1, VecOf<ReadBlockData>);

WIRE_FIELD(ConfigData, configurations, VT_CONFIGURATIONS, 0, VecOf<Configuration>);
WIRE_FIELD(ConfigData, indices, VT_INDICES, 1, VecOf<AlignmentIndex>);
WIRE_FIELD(ConfigData, string_list, VT_STRING_LIST, 2, VecOf<flatbuffers::String>);
WIRE_FIELD(ConfigData, barcode_kits, VT_BARCODE_KITS, 3, VecOf<BarcodeKitDefinition>);

WIRE_FIELD(Configuration, name, VT_NAME, 0, Str);
WIRE_FIELD(Configuration, model_version_id, VT_MODEL_VERSION_ID, 1, Str);
WIRE_FIELD(Configuration, duplex, VT_DUPLEX, 2, bool);

WIRE_FIELD(AlignmentIndex, name, VT_NAME, 0, Str);
WIRE_FIELD(AlignmentIndex, header, VT_HEADER, 1, Str);

WIRE_FIELD(BarcodeKitDefinition, kit_name, VT_KIT_NAME, 0, Str);
WIRE_FIELD(BarcodeKitDefinition, is_both_ends, VT_IS_BOTH_ENDS, 1, bool);
WIRE_FIELD(BarcodeKitDefinition, naming_flag, VT_NAMING_FLAG, 2, bool);
WIRE_FIELD(BarcodeKitDefinition, first_index, VT_FIRST_INDEX, 3, std::int32_t);
WIRE_FIELD(BarcodeKitDefinition, last_index, VT_LAST_INDEX, 4, std::int32_t);
WIRE_FIELD(BarcodeKitDefinition, name_pattern, VT_NAME_PATTERN, 5, Str);

WIRE_FIELD(ServerStats, lifetime_reads_in, VT_LIFETIME_READS_IN, 0, std::uint64_t);
WIRE_FIELD(ServerStats, lifetime_reads_out, VT_LIFETIME_READS_OUT, 1, std::uint64_t);
WIRE_FIELD(ServerStats, period_reads_in, VT_PERIOD_READS_IN, 2, std::uint64_t);
WIRE_FIELD(ServerStats, period_reads_out, VT_PERIOD_READS_OUT, 3, std::uint64_t);
WIRE_FIELD(ServerStats, clients, VT_CLIENTS, 4, VecOf<ClientStats>);

WIRE_FIELD(ClientStats, input_read_count, VT_INPUT_READ_COUNT, 0, std::uint32_t);
WIRE_FIELD(ClientStats, output_read_count, VT_OUTPUT_READ_COUNT, 1, std::uint32_t);

#undef WIRE_FIELD

// The union's members in tag order.
static_assert(Content_NONE == 0 && Content_SimpleRequestData == 1 && Content_SimpleReplyData == 2 &&
              Content_ReadBlockData == 3 && Content_ReadBatchData == 4 && Content_ConfigData == 5 &&
              Content_ServerStats == 6 && Content_MAX == 6);

TEST(WireSchemaTest, EveryMessageTypeHasItsWireForm) {
    // tag 0: a local kind that never travels; sub_type -1: the content table
    // has no sub-type.
    struct Row {
        MessageType type;
        int value;
        const char* name;
        std::uint8_t tag;
        long long sub_type;
    };
    const Row rows[] = {
            {UNSET, 0, "UNSET", 0, -1},
            {INVALID_PROTOCOL, 1, "INVALID_PROTOCOL", 0, -1},
            {BAD_REQUEST, 2, "BAD_REQUEST", 2, 10},
            {CONNECT, 3, "CONNECT", 1, 0},
            {CONNECTED, 4, "CONNECTED", 2, 0},
            {INVALID_CONFIG, 5, "INVALID_CONFIG", 2, 3},
            {INVALID_BARCODE_KIT, 6, "INVALID_BARCODE_KIT", 2, 4},
            {INVALID_ALIGNER_OPTIONS, 7, "INVALID_ALIGNER_OPTIONS", 2, 18},
            {INVALID_INDEX, 8, "INVALID_INDEX", 2, 11},
            {INVALID_BED, 9, "INVALID_BED", 2, 12},
            {DISCONNECT, 10, "DISCONNECT", 1, 1},
            {DISCONNECTED, 11, "DISCONNECTED", 2, 1},
            {TERMINATE, 12, "TERMINATE", 1, 2},
            {SHUTTING_DOWN, 13, "SHUTTING_DOWN", 2, 2},
            {GET_STATISTICS, 14, "GET_STATISTICS", 1, 3},
            {RETURN_STATISTICS, 15, "RETURN_STATISTICS", 6, -1},
            {LOAD_CONFIG, 16, "LOAD_CONFIG", 1, 4},
            {GET_CONFIGS, 17, "GET_CONFIGS", 1, 5},
            {RETURN_CONFIGS, 18, "RETURN_CONFIGS", 5, -1},
            {LOAD_INDEX, 19, "LOAD_INDEX", 1, 8},
            {GET_INDICES, 20, "GET_INDICES", 1, 9},
            {LOAD_BED, 21, "LOAD_BED", 1, 10},
            {PASS_FIRST_RAW_BLOCK, 22, "PASS_FIRST_RAW_BLOCK", 3, 0},
            {NOT_READY, 23, "NOT_READY", 2, 8},
            {PASS_NEXT_RAW_BLOCK, 24, "PASS_NEXT_RAW_BLOCK", 3, 1},
            {PASS_READ_BATCH, 25, "PASS_READ_BATCH", 4, 0},
            {CLIENT_NOT_RECOGNISED, 26, "CLIENT_NOT_RECOGNISED", 2, 5},
            {RAW_BLOCK_ACCEPTED, 27, "RAW_BLOCK_ACCEPTED", 2, 6},
            {BATCH_ACCEPTED, 28, "BATCH_ACCEPTED", 2, 7},
            {GET_FIRST_CALLED_BLOCK, 29, "GET_FIRST_CALLED_BLOCK", 1, 6},
            {RETURN_FIRST_CALLED_BLOCK, 30, "RETURN_FIRST_CALLED_BLOCK", 3, 2},
            {NONE_PENDING, 31, "NONE_PENDING", 2, 9},
            {GET_NEXT_CALLED_BLOCK, 32, "GET_NEXT_CALLED_BLOCK", 1, 7},
            {RETURN_NEXT_CALLED_BLOCK, 33, "RETURN_NEXT_CALLED_BLOCK", 3, 3},
            {RETURN_COMPLETED_BATCH, 34, "RETURN_COMPLETED_BATCH", 4, 1},
            {GET_BARCODE_KITS, 35, "GET_BARCODE_KITS", 1, 11},
            {HEARTBEAT_PING, 36, "HEARTBEAT_PING", 1, 12},
            {HEARTBEAT_ECHO, 37, "HEARTBEAT_ECHO", 2, 13},
            {QUERY, 38, "QUERY", 1, 13},
            {RESPONSE, 39, "RESPONSE", 2, 14},
            {LOADING, 40, "LOADING", 2, 15},
            {SUCCESS, 41, "SUCCESS", 2, 16},
            {REQUEST_FAILED, 42, "REQUEST_FAILED", 2, 17},
            {NO_MORE_DATA, 43, "NO_MORE_DATA", 1, 14},
    };
    ASSERT_EQ(std::size(rows), static_cast<std::size_t>(NUM_MESSAGE_TYPES));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(static_cast<int>(row.type), row.value);
        EXPECT_EQ(message_type_as_string(row.type), row.name);
        if (row.tag == 0) {
            EXPECT_THROW(Message(row.type, "", 0, ""), std::runtime_error);
            continue;
        }
        // The server may write a sub-type of 0 or leave it out: both classify alike.
        for (const bool force_defaults : {false, true}) {
            flatbuffers::FlatBufferBuilder b;
            b.ForceDefaults(force_defaults);
            std::vector<RawField> fields;
            if (row.sub_type >= 0) {
                fields.push_back(u32(0, static_cast<std::uint32_t>(row.sub_type)));
            }
            const auto content = write_table(b, fields);
            EXPECT_EQ(receive_raw(b, row.tag, content).get_type(), row.type) << force_defaults;
        }
        if (row.tag > 2) {
            EXPECT_THROW(Message(row.type, "", 0, ""), std::runtime_error);
            continue;
        }
        // What the simple constructor puts on the wire, read by slot alone.
        const Message built(row.type, "", 5, "");
        zmq::message_t frame;
        built.copy().transfer_to_zmq(frame);
        const auto* bytes = static_cast<const std::uint8_t*>(frame.data());
        const auto* root = reinterpret_cast<const flatbuffers::Table*>(
                bytes + flatbuffers::ReadScalar<std::uint32_t>(bytes));
        EXPECT_EQ(root->GetField<std::uint8_t>(slot(2), 0), row.tag);
        const auto* content = root->GetPointer<const flatbuffers::Table*>(slot(3));
        ASSERT_NE(content, nullptr);
        EXPECT_EQ(content->GetField<std::uint32_t>(slot(0), 0), row.sub_type);
        EXPECT_EQ(content->CheckField(slot(0)), row.sub_type != 0);
        EXPECT_EQ(content->GetField<std::uint32_t>(slot(1), 0), 5u);
        EXPECT_FALSE(content->CheckField(slot(2)));
    }
}

TEST(WireSchemaTest, EmptyVectorsAndStringsArePresentAndValid) {
    flatbuffers::FlatBufferBuilder b;
    const auto raw = b.CreateVector(std::vector<std::int16_t>{});
    const auto block = write_table(b, {str(7, ""), off(8, raw), str(11, "")});
    const Message message = receive_raw(b, 3, block);
    ASSERT_EQ(message.get_type(), PASS_FIRST_RAW_BLOCK);
    const auto* d = message.get_message_data()->content_as_ReadBlockData();
    ASSERT_NE(d->raw_data(), nullptr);
    EXPECT_EQ(d->raw_data()->size(), 0u);
    ASSERT_NE(d->read_id(), nullptr);
    EXPECT_EQ(d->read_id()->str(), "");
    ASSERT_NE(d->strand_id(), nullptr);
    EXPECT_EQ(d->sequencing_kit(), nullptr);
}

TEST(WireSchemaTest, AFrameHoldsAtMostAMillionTables) {
    // The root and the batch are two tables; every entry of the vector is
    // verified and counted, even when all entries point at the same block.
    const struct {
        std::size_t blocks;
        bool valid;
    } cases[] = {{999998, true}, {999999, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.blocks);
        flatbuffers::FlatBufferBuilder b(4 * c.blocks + 1024);
        const auto block = write_table(b, {u32(1, 1)});
        const std::vector<flatbuffers::Offset<void>> blocks(c.blocks, block);
        const auto block_vector = b.CreateVector(blocks);
        const auto batch = write_table(b, {off(1, block_vector)});
        if (c.valid) {
            EXPECT_EQ(receive_raw(b, 4, batch).get_type(), PASS_READ_BATCH);
        } else {
            EXPECT_THROW(receive_raw(b, 4, batch), std::runtime_error);
        }
    }
}

}  // namespace
