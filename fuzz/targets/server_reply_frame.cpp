// A frame as it arrives from the server: verification, classification, and
// every field a reader of replies looks at. The verifier is what stands
// between the frame and every accessor, so everything it lets through is
// read here in full: each string to its end, each vector element, each nested
// table. An accessor that reads past the frame is caught by the address
// sanitizer.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "fuzz_support.h"
#include "ipc_tools/connected_info.h"
#include "ipc_tools/ipc_tools.h"
#include "strandlink/connection_protocol.h"
#include "strandlink/server_proxy.h"

namespace {

using fuzz_support::Sink;

void walk(Sink& sink, const flatbuffers::String* text) {
    if (text != nullptr) {
        sink.take(text->str());
        sink.take(text->c_str(), text->size());
    }
}

template <typename T>
void walk_scalars(Sink& sink, const flatbuffers::Vector<T>* values) {
    if (values == nullptr) {
        return;
    }
    for (flatbuffers::uoffset_t i = 0; i < values->size(); ++i) {
        sink.take(values->Get(i));
    }
    sink.take(values->data(), values->size() * sizeof(T));
}

void walk(Sink& sink, const tessel_ipc::BarcodeResults* result) {
    if (result == nullptr) {
        return;
    }
    walk(sink, result->label());
    sink.take(result->score());
    sink.take(result->index());
    sink.take(result->foundseq_length());
}

void walk(Sink& sink, const tessel_ipc::CalledBlockData* called) {
    if (called == nullptr) {
        return;
    }
    sink.take(ipc_tools::moves_length(*called));
    sink.take(called->sequence_length());
    sink.take(called->mean_qscore());
    sink.take(called->median());
    sink.take(called->med_abs_dev());
    sink.take(called->model_stride());
    sink.take(called->trimmed_samples());
    walk(sink, called->sequence());
    walk(sink, called->qstring());
    walk(sink, called->basecall_type());
    if (const auto* scaling = called->scaling()) {
        sink.take(scaling->scaling_median());
        sink.take(scaling->scaling_med_abs_dev());
        walk(sink, scaling->scaling_version());
    }
    walk_scalars(sink, called->moves());
    if (const auto* base_mod = called->base_mod()) {
        walk(sink, base_mod->base_mod_alphabet());
        walk(sink, base_mod->base_mod_long_names());
        walk(sink, base_mod->base_mod_context());
        walk_scalars(sink, base_mod->base_mod_probs());
    }
    if (const auto* barcoding = called->barcoding()) {
        sink.take(barcoding->trim_front());
        sink.take(barcoding->trim_rear());
        walk(sink, barcoding->barcode_arrangement());
        walk(sink, barcoding->barcode_kit());
        walk(sink, barcoding->barcode_variant());
        sink.take(barcoding->barcode_score());
        walk(sink, barcoding->front());
        walk(sink, barcoding->rear());
    }
    if (const auto* alignments = called->alignments()) {
        for (const auto* hit : *alignments) {
            walk(sink, hit->Genome());
            sink.take(hit->GenomeStart());
            sink.take(hit->GenomeEnd());
            sink.take(hit->StrandStart());
            sink.take(hit->StrandEnd());
            sink.take(hit->NumEvents());
            sink.take(hit->NumInsertions());
            sink.take(hit->NumDeletions());
            sink.take(hit->NumAligned());
            sink.take(hit->NumCorrect());
            sink.take(hit->Coverage());
            sink.take(hit->Identity());
            sink.take(hit->Accuracy());
            sink.take(hit->StrandScore());
            walk(sink, hit->SamRecord());
            sink.take(hit->BedHits());
            walk(sink, hit->BedLines());
            sink.take(hit->Direction());
            sink.take(hit->MappingQuality());
            sink.take(hit->IsSecondary());
            sink.take(hit->IsSupplementary());
        }
    }
    walk(sink, called->model_version_id());
    walk(sink, called->modbase_model_version_id());
    sink.take(called->poly_tail_length());
}

void walk(Sink& sink, const tessel_ipc::ReadBlockData* block) {
    if (block == nullptr) {
        return;
    }
    sink.take(static_cast<std::uint32_t>(block->type()));
    sink.take(block->read_tag());
    sink.take(block->block_index());
    sink.take(block->num_blocks());
    sink.take(block->duration());
    sink.take(block->daq_offset());
    sink.take(block->daq_scaling());
    walk(sink, block->read_id());
    walk_scalars(sink, block->raw_data());
    walk(sink, block->called_data());
    sink.take(block->sub_tag());
    walk(sink, block->strand_id());
    sink.take(block->start_time());
    sink.take(block->num_sequor_events());
    sink.take(block->sampling_rate());
    if (const auto* pairing = block->duplex_pairing()) {
        sink.take(pairing->channel());
        sink.take(pairing->mux());
        walk(sink, pairing->run_id());
    }
    walk(sink, block->duplex_strand_1());
    walk(sink, block->duplex_strand_2());
    sink.take(block->is_duplex_parent());
    walk(sink, block->sequencing_kit());
    walk(sink, block->flow_cell_product_code());
}

void walk(Sink& sink, const tessel_ipc::ConfigData* configs) {
    if (configs == nullptr) {
        return;
    }
    if (const auto* list = configs->configurations()) {
        for (const auto* config : *list) {
            walk(sink, config->name());
            walk(sink, config->model_version_id());
            sink.take(config->duplex());
        }
    }
    if (const auto* list = configs->indices()) {
        for (const auto* index : *list) {
            walk(sink, index->name());
            walk(sink, index->header());
        }
    }
    if (const auto* list = configs->string_list()) {
        for (const auto* text : *list) {
            walk(sink, text);
        }
    }
    if (const auto* list = configs->barcode_kits()) {
        for (const auto* kit : *list) {
            walk(sink, kit->kit_name());
            sink.take(kit->is_both_ends());
            sink.take(kit->naming_flag());
            sink.take(kit->first_index());
            sink.take(kit->last_index());
            walk(sink, kit->name_pattern());
        }
    }
}

void walk(Sink& sink, const tessel_ipc::ServerStats* stats) {
    if (stats == nullptr) {
        return;
    }
    sink.take(stats->lifetime_reads_in());
    sink.take(stats->lifetime_reads_out());
    sink.take(stats->period_reads_in());
    sink.take(stats->period_reads_out());
    if (const auto* clients = stats->clients()) {
        for (const auto* client : *clients) {
            sink.take(client->input_read_count());
            sink.take(client->output_read_count());
        }
    }
}

// Reads what the classification promises is there, the way the readers of
// each reply kind go straight to their table.
void read_by_type(Sink& sink, ipc_tools::Message& message,
                  const tessel_ipc::MessageData* data) {
    using namespace ipc_tools;
    switch (message.get_type()) {
        case RETURN_CONFIGS:
            walk(sink, data->content_as_ConfigData());
            for (const auto& kit : strandlink::server_proxy::extract_barcoding_arrangements(message)) {
                sink.take(kit.kit_name);
                sink.take(kit.name_pattern);
            }
            break;
        case RETURN_STATISTICS:
            walk(sink, data->content_as_ServerStats());
            if (const auto* stats = data->content_as_ServerStats()) {
                const auto read = strandlink::server_proxy::get_stats_from_message(*stats);
                sink.take(read.clients.size());
            }
            break;
        case CONNECTED:
            if (const auto info = ConnectedInfo::parse(get_simple_message_text(message))) {
                sink.take(info->client_uid);
            }
            break;
        case RESPONSE: {
            // The server's internal state, which the connection protocol reads.
            ConnectedInfo info;
            const auto error = strandlink::add_server_state_data(info, get_simple_message_text(message));
            sink.take(error.message);
            break;
        }
        case RETURN_FIRST_CALLED_BLOCK:
        case RETURN_NEXT_CALLED_BLOCK:
        case PASS_FIRST_RAW_BLOCK:
        case PASS_NEXT_RAW_BLOCK:
            walk(sink, data->content_as_ReadBlockData());
            break;
        case RETURN_COMPLETED_BATCH:
        case PASS_READ_BATCH:
            if (const auto* batch = data->content_as_ReadBatchData()) {
                if (const auto* blocks = batch->blocks()) {
                    for (const auto* block : *blocks) {
                        walk(sink, block);
                    }
                }
            }
            break;
        case QUERY:
            sink.take(static_cast<std::uint32_t>(get_query_code(message)));
            break;
        default:
            break;
    }
    if (const auto* reply = data->content_as_SimpleReplyData()) {
        sink.take(reply->value());
        walk(sink, reply->text());
    }
    if (const auto* request = data->content_as_SimpleRequestData()) {
        sink.take(request->value());
        walk(sink, request->text());
    }
    sink.take(get_simple_message_text(message));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    Sink sink;
    // The frame is copied into a ZeroMQ message of exactly its size, as a
    // received one is, so a read past its end leaves the allocation.
    zmq::message_t frame(bytes, size);
    std::optional<ipc_tools::Message> received;
    try {
        received.emplace(std::move(frame));
    } catch (const std::runtime_error&) {
        return 0;  // refused by verification: the one allowed outcome
    }
    ipc_tools::Message& message = *received;
    sink.take(ipc_tools::message_type_as_string(message.get_type()));
    if (message.empty()) {
        // Not taken (too short or another protocol): the bytes stay with the
        // sender's frame and nothing of them may be read as a message.
        FUZZ_CHECK(message.get_type() == ipc_tools::UNSET ||
                   message.get_type() == ipc_tools::INVALID_PROTOCOL);
        return 0;
    }

    // Verification passed once, so it passes every time.
    const tessel_ipc::MessageData* data = message.get_message_data();
    const auto version = message.get_protocol_version();
    sink.take(version.major());
    sink.take(version.minor());
    sink.take(version.patch());
    walk(sink, data->client_id());
    FUZZ_CHECK(ipc_tools::Message::check_message_type(data) == message.get_type());
    read_by_type(sink, message, data);

    // A copy holds the same bytes and reads the same.
    ipc_tools::Message copy = message.copy();
    FUZZ_CHECK(copy.get_type() == message.get_type());
    const tessel_ipc::MessageData* copied = copy.get_message_data();
    FUZZ_CHECK(ipc_tools::Message::check_message_type(copied) == message.get_type());
    read_by_type(sink, copy, copied);

    // Handing it on leaves the message empty.
    zmq::message_t out;
    message.transfer_to_zmq(out);
    FUZZ_CHECK(message.empty() && out.size() == size);
    return 0;
}
