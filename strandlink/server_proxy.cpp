#include "strandlink/server_proxy.h"

#include "common/trace.h"
#include "ipc_tools/request_broker.h"

namespace strandlink::server_proxy {

namespace {

using Tracing = common::diagnostics::tracing::TraceDomain<Trace>;
using ipc_tools::MessageType;

// Up to the first NUL byte, as the server's C strings end there.
std::string text_of(const flatbuffers::String* text) { return text != nullptr ? std::string(text->c_str()) : ""; }

// Opens a connection of its own, sends `request` and returns the reply when
// it has the expected type; otherwise throws InvalidResponse with
// `refusal` and the reply's type name. The broker is gone on every path out.
ipc_tools::Message exchange(const std::string& address, std::uint32_t timeout_ms, ipc_tools::Message request,
                            MessageType expected, const std::string& refusal, common::diagnostics::tracing::Trace* trace) {
    ipc_tools::RequestBroker broker;
    broker.prepare_connection(address, timeout_ms);
    ipc_tools::Message reply;
    broker.send_request(request, reply);
    if (reply.get_type() != expected) {
        const std::string text = refusal + ipc_tools::message_type_as_string(reply.get_type());
        if (trace != nullptr) {
            trace->message(text);
        }
        throw ipc_tools::InvalidResponse(text);
    }
    return reply;
}

}  // namespace

std::vector<BarcodeKit> get_barcode_kits(std::string address, std::uint32_t timeout_ms) {
    auto trace = Tracing::create_trace("get_barcode_kits");
    ipc_tools::Message reply =
            exchange(address, timeout_ms, ipc_tools::Message(MessageType::GET_BARCODE_KITS, "", 0, ""),
                     MessageType::RETURN_CONFIGS, "Could not retrieve barcode kits from server, invalid reply: ", nullptr);
    return extract_barcoding_arrangements(reply);
}

ServerStats get_server_statistics(std::string address, std::uint32_t timeout_ms) {
    auto trace = Tracing::create_trace("get_server_statistics");
    const ipc_tools::Message reply =
            exchange(address, timeout_ms, ipc_tools::Message(MessageType::GET_STATISTICS, "", 0, ""),
                     MessageType::RETURN_STATISTICS, "Could not retrieve statistics from server, invalid reply: ",
                     &trace);
    const tessel_ipc::ServerStats* stats = reply.get_message_data()->content_as_ServerStats();
    if (stats == nullptr) {
        return ServerStats{};
    }
    return get_stats_from_message(*stats);
}

std::string get_server_internal_state(std::string address, std::uint32_t timeout_ms) {
    auto trace = Tracing::create_trace("get_server_internal_state");
    const ipc_tools::Message reply =
            exchange(address, timeout_ms, ipc_tools::create_query_request(ipc_tools::QueryCode::server_internal_state),
                     MessageType::RESPONSE, "Could not retrieve state from server, invalid reply: ", &trace);
    const auto* data = reply.get_message_data()->content_as_SimpleReplyData();
    return data != nullptr ? text_of(data->text()) : "";
}

std::vector<BarcodeKit> extract_barcoding_arrangements(ipc_tools::Message& reply) {
    auto trace = Tracing::create_trace("extract_barcoding_arrangements");
    std::vector<BarcodeKit> kits;
    const tessel_ipc::ConfigData* data = reply.get_message_data()->content_as_ConfigData();
    if (data == nullptr || data->barcode_kits() == nullptr) {
        return kits;
    }
    for (const tessel_ipc::BarcodeKitDefinition* definition : *data->barcode_kits()) {
        kits.push_back(create_barcode_kit(*definition));
    }
    return kits;
}

BarcodeKit create_barcode_kit(const tessel_ipc::BarcodeKitDefinition& definition) {
    auto trace = Tracing::create_trace("create_barcode_kit");
    BarcodeKit kit;
    kit.kit_name = text_of(definition.kit_name());
    kit.is_both_ends = definition.is_both_ends();
    kit.naming_flag = definition.naming_flag();
    kit.first_index = definition.first_index();
    kit.last_index = definition.last_index();
    kit.name_pattern = text_of(definition.name_pattern());
    return kit;
}

ServerStats get_stats_from_message(const tessel_ipc::ServerStats& stats) {
    auto trace = Tracing::create_trace("get_stats_from_message");
    ServerStats result;
    result.lifetime_reads_in = stats.lifetime_reads_in();
    result.lifetime_reads_out = stats.lifetime_reads_out();
    result.period_reads_in = stats.period_reads_in();
    result.period_reads_out = stats.period_reads_out();
    if (stats.clients() != nullptr) {
        for (const tessel_ipc::ClientStats* client : *stats.clients()) {
            result.clients.push_back({client->input_read_count(), client->output_read_count()});
        }
    }
    return result;
}

}  // namespace strandlink::server_proxy
