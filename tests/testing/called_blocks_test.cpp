#include "testing/called_blocks.h"

#include <gtest/gtest.h>

#include <functional>

#include "data_model/base_mod_context.h"
#include "traffic_support.h"

namespace {

using namespace test_server;
using ipc_tools::MessageType;
using traffic_support::joined;
using traffic_support::receive;
using traffic_support::Received;

RawRead make_raw(std::size_t num_samples, unsigned seed = 3) {
    RawRead read;
    read.read_tag = 21;
    read.read_id = "read-" + std::to_string(seed);
    read.strand_id = read.read_id + "_strand";
    read.samples = traffic_support::make_samples(num_samples, seed);
    return read;
}

CallOptions full_options(bool moves) {
    CallOptions options;
    options.moves = moves;
    options.model_version_id = "model_v1";
    options.modbase_model_version_id = "model_v1_modbases";
    options.barcode_kit = "KIT-001";
    options.references = {Reference{"chr1", 1000000}};
    options.bed = true;
    options.poly_tail = true;
    return options;
}

// Every block of the call, as the client receives them.
std::vector<Received> all_blocks(const CalledRead& call, std::size_t bases, const Spoil& spoil = {}) {
    const std::size_t n = num_called_blocks(call, bases);
    std::vector<Received> blocks;
    for (std::size_t k = 0; k < n; ++k) {
        blocks.push_back(receive(called_block_reply(call, k, n, bases, spoil)));
    }
    return blocks;
}

CalledRead rejoin(const std::vector<Received>& blocks) {
    std::vector<const tessel_ipc::ReadBlockData*> parts;
    for (const Received& block : blocks) {
        parts.push_back(block.block());
    }
    return join_called_blocks(parts);
}

TEST(CalledBlocksTest, BlocksRejoinToTheCall) {
    struct Case {
        std::size_t samples;
        std::size_t bases;
        bool moves;
        std::size_t expected_blocks;  // 0: compute
    };
    const Case cases[] = {
            {1000, 4000, true, 1}, {1000, 4000, false, 1}, {1000, 1, true, 0},
            {5000, 100, true, 0},  {5000, 100, false, 0},  {20000, 333, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.samples) + " samples, " + std::to_string(c.bases) + " bases");
        const CalledRead call = expected_call(make_raw(c.samples), full_options(c.moves));
        const std::size_t n = num_called_blocks(call, c.bases);
        EXPECT_EQ(n, c.expected_blocks != 0 ? c.expected_blocks : (call.sequence.size() + c.bases - 1) / c.bases);
        const std::vector<Received> blocks = all_blocks(call, c.bases);
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            const auto* block = blocks[k].block();
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(blocks[k].type, k == 0 ? MessageType::RETURN_FIRST_CALLED_BLOCK
                                             : MessageType::RETURN_NEXT_CALLED_BLOCK);
            EXPECT_EQ(block->block_index(), k);
            EXPECT_EQ(block->num_blocks(), n);
            EXPECT_EQ(block->read_tag(), call.read_tag);
            EXPECT_EQ(block->raw_data(), nullptr);
            const auto* called = block->called_data();
            ASSERT_NE(called, nullptr);
            EXPECT_LE(called->sequence()->size(), c.bases);
            if (c.moves) {
                // Each block's moves make exactly its bases.
                std::size_t ones = 0;
                for (auto move : *called->moves()) {
                    ones += move;
                }
                EXPECT_EQ(ones, called->sequence()->size());
            }
            EXPECT_EQ(called->base_mod()->base_mod_probs()->size(), called->sequence()->size() * MODBASE_CHANNELS);
            if (k > 0) {
                // The rest of the results come once, with the first block.
                EXPECT_EQ(called->basecall_type(), nullptr);
                EXPECT_EQ(called->alignments(), nullptr);
                EXPECT_EQ(called->barcoding(), nullptr);
                EXPECT_EQ(called->base_mod()->base_mod_alphabet(), nullptr);
            }
        }
        EXPECT_EQ(joined(differences(call, rejoin(blocks))), "");
    }
}

TEST(CalledBlocksTest, ABatchHoldsBlockZeroOfEachReadInOrder) {
    const CalledRead a = expected_call(make_raw(600, 1), full_options(true));
    const CalledRead b = expected_call(make_raw(50000, 2), full_options(true));
    const std::size_t b_blocks = num_called_blocks(b, 1000);
    const Received batch = receive(completed_batch_reply({{&a, 1, {}}, {&b, b_blocks, {}}}, 1000));
    ASSERT_EQ(batch.type, MessageType::RETURN_COMPLETED_BATCH);
    const auto* blocks = batch.batch()->blocks();
    ASSERT_EQ(blocks->size(), 2u);
    EXPECT_EQ(joined(differences(a, join_called_blocks({blocks->Get(0)}))), "");
    EXPECT_EQ(blocks->Get(1)->num_blocks(), b_blocks);
    EXPECT_EQ(blocks->Get(1)->called_data()->sequence()->str(), b.sequence.substr(0, 1000));
}

bool has_field(const void* table, flatbuffers::voffset_t field) {
    return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

// Each spoil makes the frame it promises, and only that.
TEST(CalledBlocksTest, EachSpoilMakesTheFrameItPromises) {
    using Blocks = std::vector<Received>;
    struct Case {
        std::string rule;
        Spoil spoil;
        bool batch;
        std::function<void(const CalledRead&, const Blocks&)> check;
    };
    const auto missing = [](WireField field) { return Spoil{Malformation::missing_field, field}; };
    const auto first = [](const Blocks& b) { return b.front().block(); };
    const auto called = [](const Blocks& b) { return b.front().block()->called_data(); };
    const std::vector<Case> cases = {
            {"strand_id", missing(WireField::strand_id), false,
             [&](const CalledRead&, const Blocks& b) {
                 for (const auto& block : b) EXPECT_EQ(block.block()->strand_id(), nullptr);
             }},
            {"called_data", missing(WireField::called_data), false,
             [&](const CalledRead&, const Blocks& b) {
                 for (const auto& block : b) EXPECT_EQ(block.block()->called_data(), nullptr);
             }},
            {"sequence", missing(WireField::sequence), false,
             [&](const CalledRead&, const Blocks& b) {
                 for (const auto& block : b) EXPECT_EQ(block.block()->called_data()->sequence(), nullptr);
                 EXPECT_NE(called(b)->qstring(), nullptr);
             }},
            {"qstring", missing(WireField::qstring), false,
             [&](const CalledRead&, const Blocks& b) { EXPECT_EQ(called(b)->qstring(), nullptr); }},
            {"basecall_type", missing(WireField::basecall_type), false,
             [&](const CalledRead&, const Blocks& b) { EXPECT_EQ(called(b)->basecall_type(), nullptr); }},
            {"model_version_id", missing(WireField::model_version_id), false,
             [&](const CalledRead&, const Blocks& b) { EXPECT_EQ(called(b)->model_version_id(), nullptr); }},
            {"modbase_model_version_id", missing(WireField::modbase_model_version_id), false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_EQ(called(b)->modbase_model_version_id(), nullptr);
             }},
            {"base_mod_alphabet", missing(WireField::base_mod_alphabet), false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_EQ(called(b)->base_mod()->base_mod_alphabet(), nullptr);
                 EXPECT_NE(called(b)->base_mod()->base_mod_long_names(), nullptr);
             }},
            {"base_mod_long_names", missing(WireField::base_mod_long_names), false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_EQ(called(b)->base_mod()->base_mod_long_names(), nullptr);
             }},
            {"base_mod_context", missing(WireField::base_mod_context), false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_EQ(called(b)->base_mod()->base_mod_context(), nullptr);
             }},
            {"base_mod_probs", missing(WireField::base_mod_probs), false,
             [&](const CalledRead&, const Blocks& b) {
                 for (const auto& block : b) EXPECT_EQ(block.block()->called_data()->base_mod()->base_mod_probs(), nullptr);
             }},
            {"barcode_kit", missing(WireField::barcode_kit), false,
             [&](const CalledRead&, const Blocks& b) { EXPECT_EQ(called(b)->barcoding()->barcode_kit(), nullptr); }},
            {"barcode_arrangement", missing(WireField::barcode_arrangement), false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_EQ(called(b)->barcoding()->barcode_arrangement(), nullptr);
             }},
            {"barcode_variant", missing(WireField::barcode_variant), false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_EQ(called(b)->barcoding()->barcode_variant(), nullptr);
             }},
            {"barcode_front", missing(WireField::barcode_front), false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_EQ(called(b)->barcoding()->front(), nullptr);
                 EXPECT_NE(called(b)->barcoding()->rear(), nullptr);
             }},
            {"barcode_rear", missing(WireField::barcode_rear), false,
             [&](const CalledRead&, const Blocks& b) { EXPECT_EQ(called(b)->barcoding()->rear(), nullptr); }},
            {"genome", missing(WireField::genome), false,
             [&](const CalledRead&, const Blocks& b) {
                 for (const auto* row : *called(b)->alignments()) EXPECT_EQ(row->Genome(), nullptr);
             }},
            {"sam_record", missing(WireField::sam_record), false,
             [&](const CalledRead&, const Blocks& b) {
                 for (const auto* row : *called(b)->alignments()) EXPECT_EQ(row->SamRecord(), nullptr);
             }},
            {"bed_lines", missing(WireField::bed_lines), false,
             [&](const CalledRead&, const Blocks& b) {
                 for (const auto* row : *called(b)->alignments()) EXPECT_EQ(row->BedLines(), nullptr);
             }},
            {"missing_later:called_data", Spoil{Malformation::missing_field_later, WireField::called_data}, false,
             [&](const CalledRead&, const Blocks& b) {
                 ASSERT_GE(b.size(), 2u);
                 EXPECT_NE(called(b), nullptr);
                 for (std::size_t k = 1; k < b.size(); ++k) EXPECT_EQ(b[k].block()->called_data(), nullptr);
             }},
            {"missing_later:sequence", Spoil{Malformation::missing_field_later, WireField::sequence}, false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_NE(called(b)->sequence(), nullptr);
                 for (std::size_t k = 1; k < b.size(); ++k) EXPECT_EQ(b[k].block()->called_data()->sequence(), nullptr);
             }},
            {"stride_zero", Spoil{Malformation::stride_zero}, false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_FALSE(has_field(called(b), tessel_ipc::CalledBlockData::VT_MODEL_STRIDE));
             }},
            {"trimmed_over_duration", Spoil{Malformation::trimmed_over_duration}, false,
             [&](const CalledRead& call, const Blocks& b) {
                 EXPECT_EQ(called(b)->trimmed_samples(), first(b)->duration() + 1);
                 EXPECT_EQ(first(b)->duration(), call.duration);
             }},
            {"duration_zero", Spoil{Malformation::duration_zero}, false,
             [&](const CalledRead&, const Blocks& b) {
                 for (const auto& block : b) EXPECT_EQ(block.block()->duration(), 0u);
             }},
            {"probs_mismatch", Spoil{Malformation::probs_mismatch}, false,
             [&](const CalledRead& call, const Blocks& b) {
                 const CalledRead joined_call = rejoin(b);
                 const std::size_t channels = kelp::bam::modbase_channels(joined_call.base_mod_alphabet).size();
                 EXPECT_EQ(joined_call.base_mod_probs.size() + 1, call.sequence.size() * channels);
             }},
            {"huge_lengths", Spoil{Malformation::huge_lengths}, false,
             [&](const CalledRead& call, const Blocks& b) {
                 EXPECT_EQ(called(b)->sequence_length(), 0x7FFFFFFFu);
                 EXPECT_EQ(ipc_tools::moves_length(*called(b)), 0x7FFFFFFFu);
                 EXPECT_NE(called(b)->base_mod(), nullptr);
                 EXPECT_EQ(rejoin(b).sequence, call.sequence);
             }},
            {"foreign_tag", Spoil{Malformation::foreign_tag}, false,
             [&](const CalledRead& call, const Blocks& b) {
                 for (const auto& block : b) EXPECT_EQ(block.block()->read_tag(), call.read_tag ^ 0x80000000u);
             }},
            {"long_genome", Spoil{Malformation::long_genome}, false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_EQ(called(b)->alignments()->Get(0)->Genome()->size(), 253u);
             }},
            {"duplicate_tag", Spoil{Malformation::duplicate_tag}, true,
             [&](const CalledRead& call, const Blocks& b) {
                 const auto* blocks = b.front().batch()->blocks();
                 ASSERT_EQ(blocks->size(), 2u);
                 for (const auto* block : *blocks) {
                     EXPECT_EQ(block->read_tag(), call.read_tag);
                     EXPECT_EQ(block->sub_tag(), call.sub_tag);
                 }
             }},
            {"batch_without_blocks", Spoil{Malformation::batch_without_blocks}, false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_EQ(b.front().type, MessageType::RETURN_COMPLETED_BATCH);
                 EXPECT_EQ(b.front().batch()->blocks(), nullptr);
             }},
            {"garbage", Spoil{Malformation::garbage}, false,
             [&](const CalledRead&, const Blocks& b) {
                 EXPECT_FALSE(b.front().verified);
                 EXPECT_EQ(b.front().bytes, garbage_frame());
                 EXPECT_EQ(b.front().bytes.substr(4, 4), "0021");
             }},
    };
    const std::size_t bases = 200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        CallOptions options;
        options.model_version_id = "model_v1";
        options = options_for_spoil(options, c.spoil);
        const CalledRead call = expected_call(make_raw(3000), options);
        Blocks blocks;
        if (c.batch) {
            blocks.push_back(receive(completed_batch_reply({{&call, 1, c.spoil}}, bases)));
        } else if (c.spoil.kind == Malformation::garbage || c.spoil.kind == Malformation::batch_without_blocks) {
            blocks.push_back(receive(called_block_reply(call, 0, 1, bases, c.spoil)));
        } else {
            blocks = all_blocks(call, bases, c.spoil);
            ASSERT_GE(blocks.size(), 2u);
            for (const auto& block : blocks) {
                ASSERT_TRUE(block.verified);
            }
        }
        c.check(call, blocks);
    }
}

TEST(CalledBlocksTest, SpoilsTurnOnWhatTheyNeedToShow) {
    CallOptions bare;
    bare.model_version_id = "m";
    EXPECT_EQ(options_for_spoil(bare, {Malformation::probs_mismatch}).modbase_model_version_id, "m_modbases");
    EXPECT_EQ(options_for_spoil(bare, {Malformation::missing_field, WireField::barcode_rear}).barcode_kit,
              "spoiled_kit");
    EXPECT_EQ(options_for_spoil(bare, {Malformation::long_genome}).references.size(), 1u);
    const CallOptions plain = options_for_spoil(bare, {Malformation::stride_zero});
    EXPECT_TRUE(plain.modbase_model_version_id.empty());
    EXPECT_TRUE(plain.barcode_kit.empty());
    EXPECT_TRUE(plain.references.empty());

    CallOptions own = bare;
    own.barcode_kit = "KIT-9";
    EXPECT_EQ(options_for_spoil(own, {Malformation::missing_field, WireField::barcode_kit}).barcode_kit, "KIT-9");
}

TEST(CalledBlocksTest, WireFieldNamesReadBack) {
    for (int i = 0; i <= static_cast<int>(WireField::bed_lines); ++i) {
        const auto field = static_cast<WireField>(i);
        EXPECT_EQ(wire_field_from_string(to_string(field)), field);
    }
    EXPECT_FALSE(wire_field_from_string("sequences"));
    EXPECT_FALSE(wire_field_from_string(""));
}

}  // namespace
