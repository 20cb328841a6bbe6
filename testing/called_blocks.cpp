#include "testing/called_blocks.h"

#include <algorithm>
#include <stdexcept>

namespace test_server {

namespace {

using flatbuffers::FlatBufferBuilder;
using flatbuffers::Offset;
using flatbuffers::String;

constexpr std::uint32_t HUGE_LENGTH = 0x7FFFFFFF;
constexpr std::size_t LONG_GENOME_LENGTH = 253;
constexpr std::uint32_t FOREIGN_TAG_BIT = 0x80000000u;

const char* const WIRE_FIELD_NAMES[] = {
        "strand_id",         "called_data",       "sequence",
        "qstring",           "basecall_type",     "model_version_id",
        "modbase_model_version_id", "base_mod_alphabet", "base_mod_long_names",
        "base_mod_context",  "base_mod_probs",    "barcode_kit",
        "barcode_arrangement", "barcode_variant", "barcode_front",
        "barcode_rear",      "genome",            "sam_record",
        "bed_lines",
};

// What one block leaves out.
class Omissions {
public:
    Omissions(const Spoil& spoil, std::size_t block_index) {
        if (spoil.kind == Malformation::missing_field ||
            (spoil.kind == Malformation::missing_field_later && block_index > 0)) {
            m_field = spoil.field;
        }
    }
    bool omits(WireField field) const { return m_field && *m_field == field; }

private:
    std::optional<WireField> m_field;
};

Offset<String> string_unless(FlatBufferBuilder& builder, const Omissions& omissions, WireField field,
                             const std::string& text) {
    return omissions.omits(field) ? Offset<String>() : builder.CreateString(text);
}

struct BlockRange {
    std::size_t first_base = 0;
    std::size_t end_base = 0;
    std::size_t first_move = 0;
    std::size_t end_move = 0;
};

// Index in the move table of base `base` (the move of 1 that made it), or
// the table's size when there are not that many bases. One scan, no
// allocation: every called block of a long read asks for two of them.
std::size_t move_of_base(const std::vector<std::uint8_t>& moves, std::size_t base) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < moves.size(); ++i) {
        if (moves[i] != 0 && seen++ == base) {
            return i;
        }
    }
    return moves.size();
}

BlockRange block_range(const CalledRead& call, std::size_t block_index, std::size_t num_blocks,
                       std::size_t bases_per_block) {
    const std::size_t length = call.sequence.size();
    BlockRange range;
    range.first_base = std::min(length, block_index * bases_per_block);
    range.end_base = block_index + 1 == num_blocks ? length
                                                   : std::min(length, range.first_base + bases_per_block);
    if (!call.moves.empty()) {
        range.first_move = block_index == 0 ? 0 : move_of_base(call.moves, range.first_base);
        range.end_move = block_index + 1 == num_blocks ? call.moves.size() : move_of_base(call.moves, range.end_base);
    }
    return range;
}

Offset<tessel_ipc::BarcodeArrangementResults> append_barcoding(FlatBufferBuilder& builder,
                                                               const BarcodeCall& barcode,
                                                               const Omissions& omissions) {
    const auto arrangement =
            string_unless(builder, omissions, WireField::barcode_arrangement, barcode.arrangement);
    const auto kit = string_unless(builder, omissions, WireField::barcode_kit, barcode.kit);
    const auto variant = string_unless(builder, omissions, WireField::barcode_variant, barcode.variant);
    const auto label = builder.CreateString("");
    Offset<tessel_ipc::BarcodeResults> front;
    if (!omissions.omits(WireField::barcode_front)) {
        front = tessel_ipc::CreateBarcodeResults(builder, label, barcode.front_score,
                                                 barcode.front_begin_index, barcode.front_foundseq_length);
    }
    Offset<tessel_ipc::BarcodeResults> rear;
    if (!omissions.omits(WireField::barcode_rear)) {
        rear = tessel_ipc::CreateBarcodeResults(builder, label, barcode.rear_score, barcode.rear_end_index,
                                                barcode.rear_foundseq_length);
    }
    return tessel_ipc::CreateBarcodeArrangementResults(builder, barcode.trim_front, barcode.trim_rear,
                                                       arrangement, kit, variant, barcode.score, front,
                                                       rear);
}

Offset<flatbuffers::Vector<Offset<tessel_ipc::AlignmentResults>>> append_alignments(
        FlatBufferBuilder& builder, const std::vector<AlignmentCall>& rows, const Spoil& spoil,
        const Omissions& omissions) {
    std::vector<Offset<tessel_ipc::AlignmentResults>> results;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const AlignmentCall& row = rows[i];
        const std::string genome_text = spoil.kind == Malformation::long_genome && i == 0
                                                ? std::string(LONG_GENOME_LENGTH, 'g')
                                                : row.genome;
        const auto genome = string_unless(builder, omissions, WireField::genome, genome_text);
        const auto sam = string_unless(builder, omissions, WireField::sam_record, row.sam_record);
        const auto bed = string_unless(builder, omissions, WireField::bed_lines, row.bed_lines);
        results.push_back(tessel_ipc::CreateAlignmentResults(
                builder, genome, row.genome_start, row.genome_end, row.strand_start, row.strand_end,
                row.num_events, row.num_insertions, row.num_deletions, row.num_aligned, row.num_correct,
                row.coverage, row.identity, row.accuracy, row.strand_score, sam, row.bed_hits, bed,
                row.direction, row.mapping_quality, row.is_secondary, row.is_supplementary));
    }
    return builder.CreateVector(results);
}

Offset<tessel_ipc::MessageData> create_root(FlatBufferBuilder& builder, tessel_ipc::Content type,
                                            Offset<void> content) {
    return tessel_ipc::CreateMessageData(builder, &ipc_tools::current_version(), 0, type, content);
}

ipc_tools::Message finish(FlatBufferBuilder& builder, tessel_ipc::Content type, Offset<void> content) {
    tessel_ipc::FinishMessageDataBuffer(builder, create_root(builder, type, content));
    return ipc_tools::Message(builder);
}

Reply batch_without_blocks_reply() {
    FlatBufferBuilder builder;
    const auto batch =
            tessel_ipc::CreateReadBatchData(builder, tessel_ipc::ReadBatchType_RETURN_COMPLETED_BATCH, 0);
    return Reply::message(finish(builder, tessel_ipc::Content_ReadBatchData, batch.Union()));
}

std::string text_of(const String* text) { return text != nullptr ? text->str() : std::string(); }

}  // namespace

std::optional<WireField> wire_field_from_string(const std::string& name) {
    for (std::size_t i = 0; i < sizeof(WIRE_FIELD_NAMES) / sizeof(WIRE_FIELD_NAMES[0]); ++i) {
        if (name == WIRE_FIELD_NAMES[i]) {
            return static_cast<WireField>(i);
        }
    }
    return std::nullopt;
}

std::string to_string(WireField field) { return WIRE_FIELD_NAMES[static_cast<std::size_t>(field)]; }

CallOptions options_for_spoil(CallOptions options, const Spoil& spoil) {
    bool modified_bases = spoil.kind == Malformation::probs_mismatch || spoil.kind == Malformation::huge_lengths;
    bool barcoding = false;
    bool alignment = spoil.kind == Malformation::long_genome;
    if (spoil.kind == Malformation::missing_field || spoil.kind == Malformation::missing_field_later) {
        switch (spoil.field) {
            case WireField::modbase_model_version_id:
            case WireField::base_mod_alphabet:
            case WireField::base_mod_long_names:
            case WireField::base_mod_context:
            case WireField::base_mod_probs:
                modified_bases = true;
                break;
            case WireField::barcode_kit:
            case WireField::barcode_arrangement:
            case WireField::barcode_variant:
            case WireField::barcode_front:
            case WireField::barcode_rear:
                barcoding = true;
                break;
            case WireField::genome:
            case WireField::sam_record:
            case WireField::bed_lines:
                alignment = true;
                break;
            default:
                break;
        }
    }
    if (modified_bases && options.modbase_model_version_id.empty()) {
        options.modbase_model_version_id = options.model_version_id + "_modbases";
    }
    if (barcoding && options.barcode_kit.empty()) {
        options.barcode_kit = "spoiled_kit";
    }
    if (alignment && options.references.empty()) {
        options.references.push_back(Reference{"ref", 1000000});
    }
    return options;
}

std::string garbage_frame() {
    std::string bytes(16, '\x5a');
    bytes[0] = '\x00';
    bytes[1] = '\x10';
    bytes[2] = '\x00';
    bytes[3] = '\x00';
    bytes.replace(4, 4, "0021");
    return bytes;
}

std::size_t num_called_blocks(const CalledRead& call, std::size_t bases_per_block) {
    if (bases_per_block == 0) {
        throw std::invalid_argument("bases per called block must be positive");
    }
    const std::size_t length = call.sequence.size();
    return std::max<std::size_t>(1, (length + bases_per_block - 1) / bases_per_block);
}

flatbuffers::Offset<tessel_ipc::ReadBlockData> append_called_block(FlatBufferBuilder& builder,
                                                                   const CalledRead& call,
                                                                   std::size_t block_index,
                                                                   std::size_t num_blocks,
                                                                   std::size_t bases_per_block,
                                                                   const Spoil& spoil) {
    const Omissions omissions(spoil, block_index);
    const bool first = block_index == 0;
    const BlockRange range = block_range(call, block_index, num_blocks, bases_per_block);
    const std::size_t bases = range.end_base - range.first_base;

    Offset<tessel_ipc::CalledBlockData> called;
    if (!omissions.omits(WireField::called_data)) {
        const auto sequence = string_unless(builder, omissions, WireField::sequence,
                                            call.sequence.substr(range.first_base, bases));
        const auto qstring = string_unless(builder, omissions, WireField::qstring,
                                           call.qstring.substr(range.first_base, bases));
        Offset<flatbuffers::Vector<std::uint8_t>> moves;
        if (!call.moves.empty()) {
            moves = builder.CreateVector(call.moves.data() + range.first_move, range.end_move - range.first_move);
        }
        Offset<tessel_ipc::BaseModData> base_mod;
        if (call.has_base_mod) {
            Offset<flatbuffers::Vector<std::uint8_t>> probs;
            if (!omissions.omits(WireField::base_mod_probs)) {
                std::size_t count = bases * MODBASE_CHANNELS;
                if (spoil.kind == Malformation::probs_mismatch && block_index + 1 == num_blocks && count > 0) {
                    --count;
                }
                probs = builder.CreateVector(call.base_mod_probs.data() + range.first_base * MODBASE_CHANNELS,
                                             count);
            }
            Offset<String> alphabet;
            Offset<String> long_names;
            Offset<String> context;
            if (first) {
                alphabet = string_unless(builder, omissions, WireField::base_mod_alphabet, call.base_mod_alphabet);
                long_names = string_unless(builder, omissions, WireField::base_mod_long_names,
                                           call.base_mod_long_names);
                context = string_unless(builder, omissions, WireField::base_mod_context, call.base_mod_context);
            }
            base_mod = tessel_ipc::CreateBaseModData(builder, alphabet, long_names, context, probs);
        }
        if (first) {
            const auto basecall_type =
                    string_unless(builder, omissions, WireField::basecall_type, call.basecall_type);
            const auto model_version_id =
                    string_unless(builder, omissions, WireField::model_version_id, call.model_version_id);
            const auto modbase_model_version_id = string_unless(
                    builder, omissions, WireField::modbase_model_version_id, call.modbase_model_version_id);
            const auto scaling = tessel_ipc::CreateScalingData(builder, call.scaling_median, call.scaling_med_abs_dev,
                                                               builder.CreateString(call.scaling_version));
            Offset<tessel_ipc::BarcodeArrangementResults> barcoding;
            if (call.has_barcoding) {
                barcoding = append_barcoding(builder, call.barcoding, omissions);
            }
            Offset<flatbuffers::Vector<Offset<tessel_ipc::AlignmentResults>>> alignments;
            if (!call.alignments.empty()) {
                alignments = append_alignments(builder, call.alignments, spoil, omissions);
            }
            const bool huge = spoil.kind == Malformation::huge_lengths;
            const std::uint32_t moves_length = huge ? HUGE_LENGTH : call.num_moves;
            const std::uint32_t sequence_length =
                    huge ? HUGE_LENGTH : static_cast<std::uint32_t>(call.sequence.size());
            const std::uint32_t model_stride = spoil.kind == Malformation::stride_zero ? 0 : call.model_stride;
            const std::uint32_t trimmed_samples = spoil.kind == Malformation::trimmed_over_duration
                                                          ? static_cast<std::uint32_t>(call.duration + 1)
                                                          : call.trimmed_samples;
            called = tessel_ipc::CreateCalledBlockData(
                    builder, moves_length, sequence_length, call.mean_qscore, call.median, call.med_abs_dev,
                    model_stride, trimmed_samples, sequence, qstring, basecall_type, scaling, moves, base_mod,
                    barcoding, alignments, model_version_id, modbase_model_version_id, call.poly_tail_length);
        } else {
            tessel_ipc::CalledBlockDataBuilder later(builder);
            later.add_sequence(sequence);
            later.add_qstring(qstring);
            later.add_moves(moves);
            later.add_base_mod(base_mod);
            called = later.Finish();
        }
    }
    const auto strand_id = string_unless(builder, omissions, WireField::strand_id, call.strand_id);
    const std::uint32_t read_tag =
            spoil.kind == Malformation::foreign_tag ? call.read_tag ^ FOREIGN_TAG_BIT : call.read_tag;
    const auto duration =
            spoil.kind == Malformation::duration_zero ? 0u : static_cast<std::uint32_t>(call.duration);
    return tessel_ipc::CreateReadBlockData(
            builder,
            first ? tessel_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK
                  : tessel_ipc::ReadBlockType_RETURN_NEXT_CALLED_BLOCK,
            read_tag, static_cast<std::uint32_t>(block_index), static_cast<std::uint32_t>(num_blocks), duration,
            0.0f, 0.0f, 0, 0, called, call.sub_tag, strand_id, call.start_time, call.num_sequor_events);
}

Reply called_block_reply(const CalledRead& call, std::size_t block_index, std::size_t num_blocks,
                         std::size_t bases_per_block, const Spoil& spoil) {
    if (spoil.kind == Malformation::garbage) {
        return Reply::raw(garbage_frame());
    }
    if (spoil.kind == Malformation::batch_without_blocks) {
        return batch_without_blocks_reply();
    }
    FlatBufferBuilder builder(1024 + 8 * call.sequence.size());
    const auto block = append_called_block(builder, call, block_index, num_blocks, bases_per_block, spoil);
    return Reply::message(finish(builder, tessel_ipc::Content_ReadBlockData, block.Union()));
}

Reply completed_batch_reply(const std::vector<BatchEntry>& entries, std::size_t bases_per_block) {
    std::size_t bases = 0;
    for (const BatchEntry& entry : entries) {
        if (entry.spoil.kind == Malformation::garbage) {
            return Reply::raw(garbage_frame());
        }
        if (entry.spoil.kind == Malformation::batch_without_blocks) {
            return batch_without_blocks_reply();
        }
        bases += entry.call->sequence.size();
    }
    FlatBufferBuilder builder(1024 * (entries.size() + 1) + 8 * bases);
    std::vector<Offset<tessel_ipc::ReadBlockData>> blocks;
    for (const BatchEntry& entry : entries) {
        const auto block = append_called_block(builder, *entry.call, 0, entry.num_blocks, bases_per_block,
                                               entry.spoil);
        blocks.push_back(block);
        if (entry.spoil.kind == Malformation::duplicate_tag) {
            blocks.push_back(block);
        }
    }
    const auto batch = tessel_ipc::CreateReadBatchData(builder, tessel_ipc::ReadBatchType_RETURN_COMPLETED_BATCH,
                                                       builder.CreateVector(blocks));
    return Reply::message(finish(builder, tessel_ipc::Content_ReadBatchData, batch.Union()));
}

CalledRead join_called_blocks(const std::vector<const tessel_ipc::ReadBlockData*>& blocks) {
    CalledRead call;
    if (blocks.empty()) {
        return call;
    }
    const tessel_ipc::ReadBlockData& first = *blocks.front();
    call.read_tag = first.read_tag();
    call.sub_tag = first.sub_tag();
    call.strand_id = text_of(first.strand_id());
    call.duration = first.duration();
    call.start_time = first.start_time();
    call.num_sequor_events = first.num_sequor_events();
    if (const tessel_ipc::CalledBlockData* called = first.called_data()) {
        call.basecall_type = text_of(called->basecall_type());
        call.model_version_id = text_of(called->model_version_id());
        call.modbase_model_version_id = text_of(called->modbase_model_version_id());
        call.mean_qscore = called->mean_qscore();
        call.model_stride = called->model_stride();
        call.median = called->median();
        call.med_abs_dev = called->med_abs_dev();
        call.trimmed_samples = called->trimmed_samples();
        call.poly_tail_length = called->poly_tail_length();
        call.num_moves = ipc_tools::moves_length(*called);
        if (const auto* scaling = called->scaling()) {
            call.scaling_median = scaling->scaling_median();
            call.scaling_med_abs_dev = scaling->scaling_med_abs_dev();
            call.scaling_version = text_of(scaling->scaling_version());
        }
        if (const auto* base_mod = called->base_mod()) {
            call.has_base_mod = true;
            call.base_mod_alphabet = text_of(base_mod->base_mod_alphabet());
            call.base_mod_long_names = text_of(base_mod->base_mod_long_names());
            call.base_mod_context = text_of(base_mod->base_mod_context());
        }
        if (const auto* barcoding = called->barcoding()) {
            BarcodeCall& barcode = call.barcoding;
            call.has_barcoding = true;
            barcode.kit = text_of(barcoding->barcode_kit());
            barcode.arrangement = text_of(barcoding->barcode_arrangement());
            barcode.variant = text_of(barcoding->barcode_variant());
            barcode.score = barcoding->barcode_score();
            barcode.trim_front = barcoding->trim_front();
            barcode.trim_rear = barcoding->trim_rear();
            if (const auto* front = barcoding->front()) {
                barcode.front_score = front->score();
                barcode.front_begin_index = front->index();
                barcode.front_foundseq_length = front->foundseq_length();
            }
            if (const auto* rear = barcoding->rear()) {
                barcode.rear_score = rear->score();
                barcode.rear_end_index = rear->index();
                barcode.rear_foundseq_length = rear->foundseq_length();
            }
        }
        if (const auto* alignments = called->alignments()) {
            for (const tessel_ipc::AlignmentResults* result : *alignments) {
                AlignmentCall row;
                row.genome = text_of(result->Genome());
                row.genome_start = result->GenomeStart();
                row.genome_end = result->GenomeEnd();
                row.strand_start = result->StrandStart();
                row.strand_end = result->StrandEnd();
                row.num_events = result->NumEvents();
                row.num_insertions = result->NumInsertions();
                row.num_deletions = result->NumDeletions();
                row.num_aligned = result->NumAligned();
                row.num_correct = result->NumCorrect();
                row.coverage = result->Coverage();
                row.identity = result->Identity();
                row.accuracy = result->Accuracy();
                row.strand_score = result->StrandScore();
                row.sam_record = text_of(result->SamRecord());
                row.bed_hits = result->BedHits();
                row.bed_lines = text_of(result->BedLines());
                row.direction = result->Direction();
                row.mapping_quality = result->MappingQuality();
                row.is_secondary = result->IsSecondary();
                row.is_supplementary = result->IsSupplementary();
                call.alignments.push_back(std::move(row));
            }
        }
    }
    for (const tessel_ipc::ReadBlockData* block : blocks) {
        const tessel_ipc::CalledBlockData* called = block->called_data();
        if (called == nullptr) {
            continue;
        }
        call.sequence += text_of(called->sequence());
        call.qstring += text_of(called->qstring());
        if (const auto* moves = called->moves()) {
            call.moves.insert(call.moves.end(), moves->begin(), moves->end());
        }
        if (const auto* base_mod = called->base_mod()) {
            if (const auto* probs = base_mod->base_mod_probs()) {
                call.base_mod_probs.insert(call.base_mod_probs.end(), probs->begin(), probs->end());
            }
        }
    }
    return call;
}

}  // namespace test_server
