// The wire layout, checked against tables written by field id and width alone,
// without the generated builders: a reordered, retyped or renumbered field in
// the schema breaks the server conversation and must break these tests.

#include "ipc_tools/ipc_tools.h"

#include <gtest/gtest.h>

#include <string>
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

}  // namespace
