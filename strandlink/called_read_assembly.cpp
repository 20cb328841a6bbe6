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

// The keys of the returned metadata, made once: a key of more than 15
// characters would otherwise be a new heap string on every insert of every
// read, made and freed again around the map's own copy.
const std::string KEY_BARCODE_ARRANGEMENT = "barcode_arrangement";
const std::string KEY_BARCODE_FRONT_BEGIN_INDEX = "barcode_front_begin_index";
const std::string KEY_BARCODE_FRONT_FOUNDSEQ_LENGTH = "barcode_front_foundseq_length";
const std::string KEY_BARCODE_FRONT_SCORE = "barcode_front_score";
const std::string KEY_BARCODE_KIT = "barcode_kit";
const std::string KEY_BARCODE_REAR_END_INDEX = "barcode_rear_end_index";
const std::string KEY_BARCODE_REAR_FOUNDSEQ_LENGTH = "barcode_rear_foundseq_length";
const std::string KEY_BARCODE_REAR_SCORE = "barcode_rear_score";
const std::string KEY_BARCODE_SCORE = "barcode_score";
const std::string KEY_BARCODE_VARIANT = "barcode_variant";
const std::string KEY_BASE_MOD_ALPHABET = "base_mod_alphabet";
const std::string KEY_BASE_MOD_CONTEXT = "base_mod_context";
const std::string KEY_BASE_MOD_LONG_NAMES = "base_mod_long_names";
const std::string KEY_BASECALL_TYPE = "basecall_type";
const std::string KEY_DUPLEX_STRAND_1 = "duplex_strand_1";
const std::string KEY_DUPLEX_STRAND_2 = "duplex_strand_2";
const std::string KEY_DURATION = "duration";
const std::string KEY_IS_DUPLEX_PARENT = "is_duplex_parent";
const std::string KEY_MEAN_QSCORE = "mean_qscore";
const std::string KEY_MED_ABS_DEV = "med_abs_dev";
const std::string KEY_MEDIAN = "median";
const std::string KEY_MODBASE_MODEL_VERSION_ID = "modbase_model_version_id";
const std::string KEY_MODEL_STRIDE = "model_stride";
const std::string KEY_MODEL_VERSION_ID = "model_version_id";
const std::string KEY_NUM_EVENTS = "num_events";
const std::string KEY_NUM_SEQUOR_EVENTS = "num_sequor_events";
const std::string KEY_POLY_TAIL_LENGTH = "poly_tail_length";
const std::string KEY_SCALING_MED_ABS_DEV = "scaling_med_abs_dev";
const std::string KEY_SCALING_MEDIAN = "scaling_median";
const std::string KEY_SCALING_VERSION = "scaling_version";
const std::string KEY_SEQUENCE_LENGTH = "sequence_length";
const std::string KEY_START_TIME = "start_time";
const std::string KEY_STRAND_ID = "strand_id";
const std::string KEY_TRIM_FRONT = "trim_front";
const std::string KEY_TRIM_REAR = "trim_rear";
const std::string KEY_TRIMMED_DURATION = "trimmed_duration";
const std::string KEY_TRIMMED_EVENTS = "trimmed_events";
const std::string KEY_TRIMMED_SAMPLES = "trimmed_samples";

// Characters of the alignment table's "Genome" cell, its NUL not counted.
constexpr std::size_t MAX_GENOME_NAME = 253;

// Room for a joined vector: what the reply declares, but never more than the
// first block's share times the number of blocks, nor more than a bound no
// real read comes near; a declared size the reply cannot fill must not
// reserve memory it will never use. Beyond the bound the vector grows as the
// blocks come.
constexpr std::uint64_t MAX_RESERVED_ELEMENTS = 16ull << 20;

template <typename T>
void reserve_bounded(std::vector<T>& out, std::uint64_t declared, std::uint64_t first_block_size,
                     std::uint64_t num_blocks) {
    const std::uint64_t bound = first_block_size * std::max<std::uint64_t>(num_blocks, 1);
    out.reserve(static_cast<std::size_t>(std::min({declared, bound, MAX_RESERVED_ELEMENTS})));
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
        sam_text.append(a->SamRecord()->c_str(), a->SamRecord()->size());
        if (!bed_text.empty() && a->BedHits() != 0) {
            bed_text += '\n';
        }
        bed_text.append(a->BedLines()->c_str(), a->BedLines()->size());
    }
    if (!sam_text.empty()) {
        read.metadata.insert("alignment_sam_record", sam_text);
    }
    if (!bed_text.empty()) {
        read.metadata.insert("alignment_bed_lines", bed_text);
    }
    DataSetData results;
    results.own(std::move(table));
    read.datasets.insert_or_assign(dataset::align_results, std::move(results));
    interfaces::ReadAlignmentHelper::copy_alignment_results_to_metadata(read);
}

// Whether `probabilities` bytes are the matrix of a sequence of
// `sequence_length` bases with `channels` channels (none at all is fine).
bool probabilities_fit(std::uint64_t probabilities, std::uint64_t sequence_length, std::uint64_t channels) {
    return probabilities == 0 || (channels != 0 && probabilities == sequence_length * channels);
}

}  // namespace

interfaces::ReadHolder* ReadProcessingProtocol::malformed(const std::string& message) {
    m_exchange_failed = false;
    m_error_state = {ConnectionError::bad_reply, message};
    get_trace_context()->write_message("process_read_message", to_string(m_error_state));
    return nullptr;
}

interfaces::ReadHolder* ReadProcessingProtocol::malformed_probabilities(const std::string& tag_text,
                                                                        std::uint64_t probabilities,
                                                                        std::uint64_t sequence_length,
                                                                        std::uint64_t channels) {
    return malformed("Returned read " + tag_text + " is malformed: " + std::to_string(probabilities) +
                     " modified-base probabilities for a sequence of " + std::to_string(sequence_length) +
                     " bases and " + std::to_string(channels) + " channels");
}

interfaces::ReadHolder* ReadProcessingProtocol::process_read_message(RequestBrokerAdapter* request_broker,
                                                                     const tessel_ipc::ReadBlockData* block) {
    interfaces::ReadHolder* submitted = check_returned_read(block);
    if (submitted == nullptr) {
        return nullptr;
    }
    return assemble_read(request_broker, block, submitted);
}

interfaces::ReadHolder* ReadProcessingProtocol::check_returned_read(const tessel_ipc::ReadBlockData* block,
                                                                    bool in_place) {
    m_exchange_failed = false;
    if (block == nullptr) {
        return malformed("Returned read has no block data");
    }
    const std::uint64_t read_tag = block->read_tag();
    const std::string tag_text = std::to_string(read_tag);

    interfaces::ReadHolder* submitted = in_place ? m_read_buffer->get_submitted_read_to_fill_in_place(read_tag)
                                                 : m_read_buffer->get_submitted_read_holder(read_tag);
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
    // A read in one block is checked whole here, so that assembling it
    // cannot fail; a read in more blocks is checked again once joined.
    if (block->num_blocks() <= 1) {
        if (const auto* base_mod = called.base_mod()) {
            const std::size_t probabilities = base_mod->base_mod_probs()->size();
            const std::size_t channels =
                    probabilities == 0 ? 0 : kelp::bam::modbase_channels(base_mod->base_mod_alphabet()->str()).size();
            if (!probabilities_fit(probabilities, called.sequence_length(), channels)) {
                return malformed_probabilities(tag_text, probabilities, called.sequence_length(), channels);
            }
        }
    }
    return submitted;
}

namespace {

// What the blocks of one read add to its datasets, joined block by block.
struct CalledParts {
    std::string sequence;
    std::string qstring;
    std::vector<unsigned char> moves;
    std::vector<unsigned char> probabilities;
    std::size_t channels = 0;
    bool has_base_mod = false;
};

// The called metadata of a checked first block, stored into `metadata` in
// ascending key order (the order of the KEY_ constants above), so that each
// key is found from where the one before it went.
void store_called_metadata(const tessel_ipc::ReadBlockData& block, std::string&& alphabet, std::string&& long_names,
                           std::string&& context, Metadata& metadata) {
    const tessel_ipc::CalledBlockData& called = *block.called_data();
    const auto* base_mod = called.base_mod();
    const auto* scaling = called.scaling();
    const auto* barcoding = called.barcoding();
    const bool has_scaling_version = scaling != nullptr && scaling->scaling_version() != nullptr;
    // Room for the run: the 20 keys every read gets, and those of the parts
    // the reply carries.
    const std::size_t count = 20 + (base_mod != nullptr) + (block.duplex_strand_1() != nullptr) +
                              (block.duplex_strand_2() != nullptr) + (scaling != nullptr ? 2 : 0) +
                              has_scaling_version + (barcoding != nullptr ? 12 : 0);

    const unsigned long long duration = block.duration();
    const unsigned long long trimmed_samples = called.trimmed_samples();
    const unsigned long long model_stride = called.model_stride();
    const unsigned long long trimmed_duration = duration - trimmed_samples;

    Metadata::AscendingStore store(metadata, count);
    if (barcoding != nullptr) {
        store.emplace(KEY_BARCODE_ARRANGEMENT, barcoding->barcode_arrangement()->str());
        store.emplace(KEY_BARCODE_FRONT_BEGIN_INDEX, static_cast<int>(barcoding->front()->index()));
        store.emplace(KEY_BARCODE_FRONT_FOUNDSEQ_LENGTH, static_cast<int>(barcoding->front()->foundseq_length()));
        store.emplace(KEY_BARCODE_FRONT_SCORE, barcoding->front()->score());
        store.emplace(KEY_BARCODE_KIT, barcoding->barcode_kit()->str());
        store.emplace(KEY_BARCODE_REAR_END_INDEX, static_cast<int>(barcoding->rear()->index()));
        store.emplace(KEY_BARCODE_REAR_FOUNDSEQ_LENGTH, static_cast<int>(barcoding->rear()->foundseq_length()));
        store.emplace(KEY_BARCODE_REAR_SCORE, barcoding->rear()->score());
        store.emplace(KEY_BARCODE_SCORE, barcoding->barcode_score());
        store.emplace(KEY_BARCODE_VARIANT, barcoding->barcode_variant()->str());
    }
    // Without modified bases the alphabet and long names are stored empty.
    store.emplace(KEY_BASE_MOD_ALPHABET, std::move(alphabet));
    if (base_mod != nullptr) {
        store.emplace(KEY_BASE_MOD_CONTEXT, std::move(context));
    }
    store.emplace(KEY_BASE_MOD_LONG_NAMES, std::move(long_names));
    store.emplace(KEY_BASECALL_TYPE, called.basecall_type()->str());
    if (block.duplex_strand_1() != nullptr) {
        store.emplace(KEY_DUPLEX_STRAND_1, block.duplex_strand_1()->str());
    }
    if (block.duplex_strand_2() != nullptr) {
        store.emplace(KEY_DUPLEX_STRAND_2, block.duplex_strand_2()->str());
    }
    store.emplace(KEY_DURATION, duration);
    store.emplace(KEY_IS_DUPLEX_PARENT, block.is_duplex_parent());
    store.emplace(KEY_MEAN_QSCORE, called.mean_qscore());
    store.emplace(KEY_MED_ABS_DEV, called.med_abs_dev());
    store.emplace(KEY_MEDIAN, called.median());
    store.emplace(KEY_MODBASE_MODEL_VERSION_ID, called.modbase_model_version_id()->str());
    store.emplace(KEY_MODEL_STRIDE, model_stride);
    store.emplace(KEY_MODEL_VERSION_ID, called.model_version_id()->str());
    store.emplace(KEY_NUM_EVENTS, duration / model_stride);
    store.emplace(KEY_NUM_SEQUOR_EVENTS, static_cast<unsigned long long>(block.num_sequor_events()));
    store.emplace(KEY_POLY_TAIL_LENGTH, static_cast<int>(called.poly_tail_length()));
    if (scaling != nullptr) {
        store.emplace(KEY_SCALING_MED_ABS_DEV, scaling->scaling_med_abs_dev());
        store.emplace(KEY_SCALING_MEDIAN, scaling->scaling_median());
        if (has_scaling_version) {
            store.emplace(KEY_SCALING_VERSION, scaling->scaling_version()->str());
        }
    }
    store.emplace(KEY_SEQUENCE_LENGTH, static_cast<unsigned long long>(called.sequence_length()));
    store.emplace(KEY_START_TIME, static_cast<unsigned long long>(block.start_time()));
    store.emplace(KEY_STRAND_ID, block.strand_id()->str());
    if (barcoding != nullptr) {
        store.emplace(KEY_TRIM_FRONT, static_cast<int>(barcoding->trim_front()));
        store.emplace(KEY_TRIM_REAR, static_cast<int>(barcoding->trim_rear()));
    }
    store.emplace(KEY_TRIMMED_DURATION, trimmed_duration);
    store.emplace(KEY_TRIMMED_EVENTS, trimmed_duration / model_stride);
    store.emplace(KEY_TRIMMED_SAMPLES, trimmed_samples);
}

// Writes the metadata of a checked first block into read, and starts its
// datasets' parts with room for the read's further blocks.
void fill_from_first_block(const tessel_ipc::ReadBlockData& block, interfaces::ReadHolder& read,
                           CalledParts& parts) {
    const tessel_ipc::CalledBlockData& called = *block.called_data();

    const std::uint32_t num_blocks = block.num_blocks();
    if (called.moves() != nullptr && ipc_tools::moves_length(called) != 0) {
        reserve_bounded(parts.moves, ipc_tools::moves_length(called), called.moves()->size(), num_blocks);
    }
    std::string alphabet;
    std::string long_names;
    std::string context;
    const auto* base_mod = called.base_mod();
    parts.has_base_mod = base_mod != nullptr;
    if (base_mod != nullptr) {
        alphabet = base_mod->base_mod_alphabet()->str();
        long_names = base_mod->base_mod_long_names()->str();
        context = base_mod->base_mod_context()->str();
        parts.channels = kelp::bam::modbase_channels(alphabet).size();
        reserve_bounded(parts.probabilities, static_cast<std::uint64_t>(called.sequence_length()) * parts.channels,
                        base_mod->base_mod_probs()->size(), num_blocks);
    }
    store_called_metadata(block, std::move(alphabet), std::move(long_names), std::move(context), read.metadata);

    // Later blocks append to the first block's text: room for what the
    // reply declares, bounded as the moves are.
    if (num_blocks > 1) {
        const std::uint64_t room = std::min<std::uint64_t>(
                {called.sequence_length(), static_cast<std::uint64_t>(called.sequence()->size()) * num_blocks,
                 MAX_RESERVED_ELEMENTS});
        parts.sequence.reserve(static_cast<std::size_t>(room));
        parts.qstring.reserve(static_cast<std::size_t>(room));
    }
    parts.sequence.append(called.sequence()->c_str(), called.sequence()->size());
    parts.qstring.append(called.qstring()->c_str(), called.qstring()->size());

    if (called.alignments() != nullptr && called.alignments()->size() > 0) {
        store_alignments(read, *called.alignments());
    }
    if (called.moves() != nullptr) {
        parts.moves.insert(parts.moves.end(), called.moves()->begin(), called.moves()->end());
    }
    if (base_mod != nullptr) {
        parts.probabilities.insert(parts.probabilities.end(), base_mod->base_mod_probs()->begin(),
                                   base_mod->base_mod_probs()->end());
    }
}

// Appends a checked further block to the parts.
void add_next_block(const tessel_ipc::CalledBlockData& next_called, CalledParts& parts) {
    parts.sequence.append(next_called.sequence()->c_str(), next_called.sequence()->size());
    parts.qstring.append(next_called.qstring()->c_str(), next_called.qstring()->size());
    if (next_called.moves() != nullptr) {
        parts.moves.insert(parts.moves.end(), next_called.moves()->begin(), next_called.moves()->end());
    }
    if (parts.has_base_mod && next_called.base_mod() != nullptr) {
        const auto* probs = next_called.base_mod()->base_mod_probs();
        parts.probabilities.insert(parts.probabilities.end(), probs->begin(), probs->end());
    }
}

// Moves the joined parts into the read's datasets. REQUIRES: the
// probabilities fit the sequence (probabilities_fit).
void store_datasets(CalledParts& parts, std::uint64_t sequence_length, interfaces::ReadHolder& read) {
    read.datasets.insert_or_assign(dataset::sequence, DataSetData::take_ownership(std::move(parts.sequence)));
    read.datasets.insert_or_assign(dataset::qstring, DataSetData::take_ownership(std::move(parts.qstring)));
    if (!parts.moves.empty()) {
        DataSetData moves_data;
        moves_data.own(std::move(parts.moves));
        read.datasets.insert_or_assign(dataset::movement, std::move(moves_data));
    }
    if (!parts.probabilities.empty()) {
        MatView<unsigned char> view;
        view.view(parts.probabilities.data(), sequence_length, parts.channels, parts.channels, 1);
        DataSetData probs_data;
        probs_data.own(view, std::move(parts.probabilities));
        read.datasets.insert_or_assign(dataset::base_mod_probs, std::move(probs_data));
    }
}

}  // namespace

void fill_checked_whole_read(const tessel_ipc::ReadBlockData& block, interfaces::ReadHolder& read) {
    CalledParts parts;
    fill_from_first_block(block, read, parts);
    store_datasets(parts, block.called_data()->sequence_length(), read);
}

interfaces::ReadHolder* ReadProcessingProtocol::assemble_read(RequestBrokerAdapter* request_broker,
                                                              const tessel_ipc::ReadBlockData* block,
                                                              interfaces::ReadHolder* submitted) {
    const std::uint64_t read_tag = block->read_tag();
    const std::uint64_t sub_tag = block->sub_tag();
    const tessel_ipc::CalledBlockData& called = *block->called_data();

    // A sub read is made from what the submitted read held when it was
    // passed in: it carries its own results, none of its parent's.
    interfaces::ReadHolder* read =
            sub_tag == 0 ? submitted : m_read_buffer->create_temp_sub_read(read_tag, sub_tag);
    if (sub_tag == 0) {
        // The server returned the whole read: whatever sub tag the read was
        // passed in with, it now leads its own sub reads.
        read->sub_tag = 0;
    }
    CalledParts parts;
    fill_from_first_block(*block, *read, parts);

    const std::uint32_t num_blocks = block->num_blocks();
    for (std::uint32_t k = 1; k < num_blocks; ++k) {
        ipc_tools::Message request(ipc_tools::GET_NEXT_CALLED_BLOCK, m_connection_id,
                                   static_cast<unsigned>(read_tag), block->strand_id()->str());
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
        const std::string next_problem = check_next_block(next, parts.has_base_mod);
        if (!next_problem.empty()) {
            return malformed("Returned block " + std::to_string(k) + " of read " + std::to_string(read_tag) +
                             " is malformed: " + next_problem);
        }
        add_next_block(*next->called_data(), parts);
    }

    // The matrix is described as sequence_length rows of one byte per
    // channel: it must own exactly that many bytes.
    if (!probabilities_fit(parts.probabilities.size(), called.sequence_length(), parts.channels)) {
        return malformed_probabilities(std::to_string(read_tag), parts.probabilities.size(),
                                       called.sequence_length(), parts.channels);
    }
    store_datasets(parts, called.sequence_length(), *read);
    return read;
}

}  // namespace strandlink
