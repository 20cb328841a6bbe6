// Assembly of a called read returned by the server into the read that the
// client submitted: metadata keys, joined sequence, quality string, moves,
// modified-base probabilities and the alignment table.
//
// Everything in a reply is outside input. The first block is checked whole
// before anything is written, so a malformed reply leaves the submitted read
// as it was; a further block is checked before it is appended.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/logger.h"
#include "data_model/base_mod_context.h"
#include "data_model/interfaces/read_alignment.h"
#include "data_model/interfaces/read_holder.h"
#include "strandlink/read_buffer.h"
#include "strandlink/read_processing_protocol.h"
#include "strandlink/request_broker_adapter.h"

namespace strandlink {

namespace {

using kelp::data_wrappers::v2::DataSetData;
using kelp::data_wrappers::v2::DataTable;
using kelp::data_wrappers::v2::MatView;
using kelp::data_wrappers::v2::Metadata;

// Characters of the alignment table's "Genome" cell, its NUL not counted.
constexpr std::size_t MAX_GENOME_NAME = 253;

// Room for a joined vector: what the reply declares, but never more than the
// first block's share times the number of blocks, so that a declared size the
// reply cannot fill allocates nothing it does not need.
template <typename T>
void reserve_bounded(std::vector<T>& out, std::uint64_t declared, std::uint64_t first_block_size,
                     std::uint64_t num_blocks) {
    const std::uint64_t bound = first_block_size * std::max<std::uint64_t>(num_blocks, 1);
    out.reserve(static_cast<std::size_t>(std::min(declared, bound)));
}

// What is missing or impossible in a block, or "" when it can be used.
std::string check_first_block(const tessel_ipc::ReadBlockData& block) {
    if (block.strand_id() == nullptr) {
        return "no strand id";
    }
    const auto* called = block.called_data();
    if (called == nullptr) {
        return "no called data";
    }
    if (called->sequence() == nullptr || called->qstring() == nullptr) {
        return "no sequence or quality string";
    }
    if (called->basecall_type() == nullptr || called->model_version_id() == nullptr ||
        called->modbase_model_version_id() == nullptr) {
        return "no basecall type or model version ids";
    }
    if (called->model_stride() == 0) {
        return "model stride 0";
    }
    if (called->trimmed_samples() > block.duration()) {
        return "trimmed samples (" + std::to_string(called->trimmed_samples()) + ") beyond the duration (" +
               std::to_string(block.duration()) + ")";
    }
    if (const auto* base_mod = called->base_mod()) {
        if (base_mod->base_mod_alphabet() == nullptr || base_mod->base_mod_long_names() == nullptr ||
            base_mod->base_mod_context() == nullptr || base_mod->base_mod_probs() == nullptr) {
            return "incomplete modified-base data";
        }
    }
    if (const auto* barcoding = called->barcoding()) {
        if (barcoding->barcode_kit() == nullptr || barcoding->barcode_arrangement() == nullptr ||
            barcoding->barcode_variant() == nullptr || barcoding->front() == nullptr ||
            barcoding->rear() == nullptr) {
            return "incomplete barcoding results";
        }
    }
    if (const auto* alignments = called->alignments()) {
        for (const auto* alignment : *alignments) {
            if (alignment->Genome() == nullptr || alignment->SamRecord() == nullptr ||
                alignment->BedLines() == nullptr) {
                return "incomplete alignment results";
            }
        }
    }
    return "";
}

std::string check_next_block(const tessel_ipc::ReadBlockData* block, bool has_base_mod) {
    const auto* called = block == nullptr ? nullptr : block->called_data();
    if (called == nullptr) {
        return "no called data";
    }
    if (called->sequence() == nullptr || called->qstring() == nullptr) {
        return "no sequence or quality string";
    }
    if (has_base_mod && called->base_mod() != nullptr && called->base_mod()->base_mod_probs() == nullptr) {
        return "incomplete modified-base data";
    }
    return "";
}

// The alignment table and the SAM and BED text of the alignments.
void store_alignments(interfaces::ReadHolder& read,
                      const flatbuffers::Vector<flatbuffers::Offset<tessel_ipc::AlignmentResults>>& alignments) {
    DataTable table = interfaces::ReadAlignmentHelper::create_alignment_table(alignments.size());
    auto int_column = [&table](const char* name) { return table.view_field<int>(table.field_position(name)); };
    auto float_column = [&table](const char* name) {
        return table.view_field<float>(table.field_position(name));
    };
    const auto& genome_field = table.fields.at(table.field_position("Genome"));
    auto direction = table.view_field<signed char>(table.field_position("Direction"));
    auto genome_start = int_column("GenomeStart"), genome_end = int_column("GenomeEnd");
    auto strand_start = int_column("StrandStart"), strand_end = int_column("StrandEnd");
    auto num_events = int_column("NumEvents"), num_insertions = int_column("NumInsertions");
    auto num_deletions = int_column("NumDeletions"), num_aligned = int_column("NumAligned");
    auto num_correct = int_column("NumCorrect"), strand_score = int_column("StrandScore");
    auto mapping_quality = int_column("MappingQuality"), bed_hits = int_column("BedHits");
    auto coverage = float_column("Coverage"), identity = float_column("Identity");
    auto accuracy = float_column("Accuracy");
    auto is_secondary = table.view_field<unsigned char>(table.field_position("IsSecondary"));
    auto is_supplementary = table.view_field<unsigned char>(table.field_position("IsSupplementary"));

    std::string sam_text;
    std::string bed_text;
    for (flatbuffers::uoffset_t i = 0; i < alignments.size(); ++i) {
        const auto* a = alignments.Get(i);
        char* genome_cell = table.data.data() + i * table.row_size + genome_field.offset;
        std::memcpy(genome_cell, a->Genome()->c_str(), a->Genome()->size() + 1);
        direction[i] = a->Direction();
        genome_start[i] = a->GenomeStart();
        genome_end[i] = a->GenomeEnd();
        strand_start[i] = a->StrandStart();
        strand_end[i] = a->StrandEnd();
        num_events[i] = a->NumEvents();
        num_insertions[i] = a->NumInsertions();
        num_deletions[i] = a->NumDeletions();
        num_aligned[i] = a->NumAligned();
        num_correct[i] = a->NumCorrect();
        coverage[i] = a->Coverage();
        identity[i] = a->Identity();
        accuracy[i] = a->Accuracy();
        strand_score[i] = a->StrandScore();
        mapping_quality[i] = a->MappingQuality();
        bed_hits[i] = a->BedHits();
        is_secondary[i] = a->IsSecondary() ? 1 : 0;
        is_supplementary[i] = a->IsSupplementary() ? 1 : 0;

        if (i > 0) {
            sam_text += '\n';
        }
        sam_text += a->SamRecord()->str();
        if (!bed_text.empty() && a->BedHits() != 0) {
            bed_text += '\n';
        }
        bed_text += a->BedLines()->str();
    }
    if (!sam_text.empty()) {
        read.metadata.insert("alignment_sam_record", sam_text);
    }
    if (!bed_text.empty()) {
        read.metadata.insert("alignment_bed_lines", bed_text);
    }
    DataSetData results;
    results.own(std::move(table));
    read.datasets.emplace(dataset::align_results, std::move(results));
    interfaces::ReadAlignmentHelper::copy_alignment_results_to_metadata(read);
}

}  // namespace

interfaces::ReadHolder* ReadProcessingProtocol::malformed(const std::string& message) {
    m_exchange_failed = false;
    m_error_state = {ConnectionError::bad_reply, message};
    get_trace_context()->write_message("process_read_message", to_string(m_error_state));
    return nullptr;
}

interfaces::ReadHolder* ReadProcessingProtocol::process_read_message(RequestBrokerAdapter* request_broker,
                                                                     const tessel_ipc::ReadBlockData* block) {
    m_exchange_failed = false;
    if (block == nullptr) {
        return malformed("Returned read has no block data");
    }
    const std::uint64_t read_tag = block->read_tag();
    const std::uint64_t sub_tag = block->sub_tag();
    const std::string tag_text = std::to_string(read_tag);

    interfaces::ReadHolder* submitted = m_read_buffer->get_submitted_read_holder(read_tag);
    if (submitted == nullptr) {
        return malformed("Returned read does not belong to this client: " + tag_text);
    }
    if (block->duration() == 0) {
        m_error_state = {ConnectionError::failed, "Duration metadata missing for submitted read: " + tag_text};
        get_trace_context()->write_message("process_read_message", to_string(m_error_state));
        return nullptr;
    }
    const std::string problem = check_first_block(*block);
    if (!problem.empty()) {
        return malformed("Returned read " + tag_text + " is malformed: " + problem);
    }
    const tessel_ipc::CalledBlockData& called = *block->called_data();
    if (const auto* alignments = called.alignments()) {
        for (const auto* alignment : *alignments) {
            if (alignment->Genome()->size() >= MAX_GENOME_NAME) {
                m_exchange_failed = false;
                m_error_state = {ConnectionError::bad_reply, "Alignment genome name " + alignment->Genome()->str() +
                                                                     " exceeds maximum allowed size of " +
                                                                     std::to_string(MAX_GENOME_NAME)};
                return nullptr;
            }
        }
    }

    // A sub read is made from what the submitted read held when it was
    // passed in: it carries its own results, none of its parent's.
    interfaces::ReadHolder* read =
            sub_tag == 0 ? submitted : m_read_buffer->create_temp_sub_read(read_tag, sub_tag);
    if (sub_tag == 0) {
        // The server returned the whole read: whatever sub tag the read was
        // passed in with, it now leads its own sub reads.
        read->sub_tag = 0;
    }
    Metadata& metadata = read->metadata;

    const std::string strand_id = block->strand_id()->str();
    metadata.insert("strand_id", strand_id);
    if (block->duplex_strand_1() != nullptr) {
        metadata.emplace("duplex_strand_1", block->duplex_strand_1()->str());
    }
    if (block->duplex_strand_2() != nullptr) {
        metadata.emplace("duplex_strand_2", block->duplex_strand_2()->str());
    }
    metadata.emplace("is_duplex_parent", block->is_duplex_parent());

    const unsigned long long duration = block->duration();
    metadata.insert("duration", duration);
    metadata.insert("start_time", static_cast<unsigned long long>(block->start_time()));
    metadata.insert("num_sequor_events", static_cast<unsigned long long>(block->num_sequor_events()));

    const std::uint32_t num_blocks = block->num_blocks();
    std::vector<unsigned char> moves;
    if (called.moves() != nullptr && ipc_tools::moves_length(called) != 0) {
        reserve_bounded(moves, ipc_tools::moves_length(called), called.moves()->size(), num_blocks);
    }
    std::size_t channels = 0;
    std::vector<unsigned char> probabilities;
    std::string alphabet;
    std::string long_names;
    std::string context;
    const auto* base_mod = called.base_mod();
    if (base_mod != nullptr) {
        alphabet = base_mod->base_mod_alphabet()->str();
        long_names = base_mod->base_mod_long_names()->str();
        context = base_mod->base_mod_context()->str();
        channels = kelp::bam::modbase_channels(alphabet).size();
        reserve_bounded(probabilities, static_cast<std::uint64_t>(called.sequence_length()) * channels,
                        base_mod->base_mod_probs()->size(), num_blocks);
    }

    const unsigned long long trimmed_samples = called.trimmed_samples();
    const unsigned long long model_stride = called.model_stride();
    const unsigned long long trimmed_duration = duration - trimmed_samples;
    metadata.emplace("basecall_type", called.basecall_type()->str());
    metadata.emplace("model_version_id", called.model_version_id()->str());
    metadata.emplace("modbase_model_version_id", called.modbase_model_version_id()->str());
    metadata.emplace("mean_qscore", called.mean_qscore());
    metadata.emplace("model_stride", model_stride);
    metadata.emplace("median", called.median());
    metadata.emplace("med_abs_dev", called.med_abs_dev());
    metadata.emplace("trimmed_samples", trimmed_samples);
    metadata.emplace("poly_tail_length", static_cast<int>(called.poly_tail_length()));
    metadata.insert("trimmed_duration", trimmed_duration);
    metadata.emplace("num_events", duration / model_stride);
    metadata.emplace("trimmed_events", trimmed_duration / model_stride);
    metadata.emplace("sequence_length", static_cast<unsigned long long>(called.sequence_length()));

    std::string sequence = called.sequence()->str();
    std::string qstring = called.qstring()->str();

    if (const auto* scaling = called.scaling()) {
        metadata.emplace("scaling_median", scaling->scaling_median());
        metadata.emplace("scaling_med_abs_dev", scaling->scaling_med_abs_dev());
        if (scaling->scaling_version() != nullptr) {
            metadata.emplace("scaling_version", scaling->scaling_version()->str());
        }
    }
    if (const auto* barcoding = called.barcoding()) {
        metadata.emplace("trim_front", static_cast<int>(barcoding->trim_front()));
        metadata.emplace("trim_rear", static_cast<int>(barcoding->trim_rear()));
        metadata.emplace("barcode_score", barcoding->barcode_score());
        metadata.emplace("barcode_kit", barcoding->barcode_kit()->str());
        metadata.emplace("barcode_arrangement", barcoding->barcode_arrangement()->str());
        metadata.emplace("barcode_variant", barcoding->barcode_variant()->str());
        metadata.emplace("barcode_front_score", barcoding->front()->score());
        metadata.emplace("barcode_front_foundseq_length", static_cast<int>(barcoding->front()->foundseq_length()));
        metadata.emplace("barcode_front_begin_index", static_cast<int>(barcoding->front()->index()));
        metadata.emplace("barcode_rear_score", barcoding->rear()->score());
        metadata.emplace("barcode_rear_foundseq_length", static_cast<int>(barcoding->rear()->foundseq_length()));
        metadata.emplace("barcode_rear_end_index", static_cast<int>(barcoding->rear()->index()));
    }
    if (called.alignments() != nullptr && called.alignments()->size() > 0) {
        store_alignments(*read, *called.alignments());
    }

    if (called.moves() != nullptr) {
        moves.insert(moves.end(), called.moves()->begin(), called.moves()->end());
    }
    if (base_mod != nullptr) {
        probabilities.insert(probabilities.end(), base_mod->base_mod_probs()->begin(),
                             base_mod->base_mod_probs()->end());
        metadata.insert("base_mod_alphabet", alphabet);
        metadata.insert("base_mod_long_names", long_names);
        metadata.insert("base_mod_context", context);
    } else {
        metadata.insert("base_mod_alphabet", std::string());
        metadata.insert("base_mod_long_names", std::string());
    }

    for (std::uint32_t k = 1; k < num_blocks; ++k) {
        ipc_tools::Message request(ipc_tools::GET_NEXT_CALLED_BLOCK, m_connection_id,
                                   static_cast<unsigned>(read_tag), strand_id);
        ipc_tools::Message reply;
        if (!request_broker->send_request(request, reply)) {
            m_error_state = request_broker->error_state();
            m_exchange_failed = true;
            return nullptr;
        }
        if (reply.get_type() != ipc_tools::RETURN_NEXT_CALLED_BLOCK) {
            m_error_state = {ConnectionError::invalid_response,
                             "Failed to get next block from server, invalid reply: " +
                                     ipc_tools::message_type_as_string(reply.get_type())};
            get_trace_context()->write_message("process_read_message", m_error_state.message);
            return nullptr;
        }
        const auto* next = reply.get_message_data()->content_as_ReadBlockData();
        const std::string next_problem = check_next_block(next, base_mod != nullptr);
        if (!next_problem.empty()) {
            return malformed("Returned block " + std::to_string(k) + " of read " + tag_text +
                             " is malformed: " + next_problem);
        }
        const auto& next_called = *next->called_data();
        sequence += next_called.sequence()->str();
        qstring += next_called.qstring()->str();
        if (next_called.moves() != nullptr) {
            moves.insert(moves.end(), next_called.moves()->begin(), next_called.moves()->end());
        }
        if (base_mod != nullptr && next_called.base_mod() != nullptr) {
            const auto* probs = next_called.base_mod()->base_mod_probs();
            probabilities.insert(probabilities.end(), probs->begin(), probs->end());
        }
    }

    // The matrix is described as sequence_length rows of one byte per
    // channel: it must own exactly that many bytes.
    if (!probabilities.empty() &&
        (channels == 0 || probabilities.size() != static_cast<std::uint64_t>(called.sequence_length()) * channels)) {
        return malformed("Returned read " + tag_text + " is malformed: " + std::to_string(probabilities.size()) +
                         " modified-base probabilities for a sequence of " +
                         std::to_string(called.sequence_length()) + " bases and " + std::to_string(channels) +
                         " channels");
    }

    read->datasets.emplace(dataset::sequence, DataSetData::take_ownership(std::move(sequence)));
    read->datasets.emplace(dataset::qstring, DataSetData::take_ownership(std::move(qstring)));
    if (!moves.empty()) {
        DataSetData moves_data;
        moves_data.own(std::move(moves));
        read->datasets.emplace(dataset::movement, std::move(moves_data));
    }
    if (!probabilities.empty()) {
        MatView<unsigned char> view;
        view.view(probabilities.data(), called.sequence_length(), channels, channels, 1);
        DataSetData probs_data;
        probs_data.own(view, std::move(probabilities));
        read->datasets.emplace(dataset::base_mod_probs, std::move(probs_data));
    }
    return read;
}

}  // namespace strandlink
