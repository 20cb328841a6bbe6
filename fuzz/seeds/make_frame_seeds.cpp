// Writes the seed frames of the server_reply_frame target: the replies a
// server sends (simple replies with their texts, called blocks and batches with
// every result table, configuration lists, statistics) and the requests the
// client sends, built with the same builders and constructors as the real
// messages. Usage: make_frame_seeds <folder>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "data_model/data_set.h"
#include "data_model/interfaces/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/ipc_tools.h"

namespace {

using namespace ipc_tools;
namespace fb = flatbuffers;

void write(const std::string& folder, const std::string& name, Message&& message) {
    zmq::message_t frame;
    message.transfer_to_zmq(frame);
    std::ofstream out(folder + "/" + name, std::ios::binary);
    out.write(static_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
}

Message finish(fb::FlatBufferBuilder& builder, tessel_ipc::Content content, fb::Offset<void> table,
               const std::string& client_id = "") {
    const auto id = client_id.empty() ? 0 : builder.CreateString(client_id);
    builder.Finish(tessel_ipc::CreateMessageData(builder, &current_version(), id, content, table),
                   tessel_ipc::MessageDataIdentifier());
    return Message(builder);
}

fb::Offset<tessel_ipc::CalledBlockData> called_block(fb::FlatBufferBuilder& builder, int part) {
    const std::string sequence = part == 0 ? "ACGTTGCAACGT" : "GGCCTA";
    const std::string qstring(sequence.size(), part == 0 ? '5' : '+');
    const std::vector<std::uint8_t> moves{1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 1, 1, 0, 1};
    std::vector<std::uint8_t> probs;
    for (std::size_t i = 0; i < sequence.size() * 2; ++i) {
        probs.push_back(static_cast<std::uint8_t>(i * 37));
    }
    const auto scaling = tessel_ipc::CreateScalingDataDirect(builder, 81.5f, 12.25f, "quantile");
    const auto base_mod =
            tessel_ipc::CreateBaseModDataDirect(builder, "C m", "5mC", "_:XG:_:_", &probs);
    const auto front = tessel_ipc::CreateBarcodeResultsDirect(builder, "", 92.5f, 12, 24);
    const auto rear = tessel_ipc::CreateBarcodeResultsDirect(builder, "", 40.0f, 1480, 24);
    const auto barcoding = tessel_ipc::CreateBarcodeArrangementResultsDirect(
            builder, 38, 1460, "barcode07", "KIT-NB12", "var1", 88.0f, front, rear);
    std::vector<fb::Offset<tessel_ipc::AlignmentResults>> hits;
    hits.push_back(tessel_ipc::CreateAlignmentResultsDirect(
            builder, "chr1", 1000, 1012, 0, 12, 12, 0, 0, 12, 11, 1.0f, 0.92f, 0.91f, 60,
            "r1\t0\tchr1\t1001\t60\t12M\t*\t0\t0\tACGTTGCAACGT\t555555555555\tNM:i:1", 2,
            "chr1\t990\t1005\tgeneA\nchr1\t1008\t1020\tgeneB", '+', 60, false, false));
    hits.push_back(tessel_ipc::CreateAlignmentResultsDirect(
            builder, "chr2", 50, 58, 4, 12, 8, 1, 0, 8, 7, 0.7f, 0.88f, 0.85f, 20,
            "r1\t256\tchr2\t51\t20\t4S8M\t*\t0\t0\t*\t*", 0, "", '-', 20, true, false));
    return tessel_ipc::CreateCalledBlockDataDirect(
            builder, 14, 18, 11.5f, 400.0f, 50.0f, 5, 120, sequence.c_str(), qstring.c_str(),
            "hac", scaling, &moves, base_mod, barcoding, &hits, "model_v4.2.0",
            "model_v4.2.0_5mCG", part == 0 ? 42 : -1);
}

fb::Offset<tessel_ipc::ReadBlockData> returned_block(fb::FlatBufferBuilder& builder,
                                                     tessel_ipc::ReadBlockType type, int part,
                                                     std::uint32_t tag) {
    const auto called = called_block(builder, part);
    const std::vector<std::int16_t> no_samples;
    return tessel_ipc::CreateReadBlockDataDirect(
            builder, type, tag, static_cast<std::uint32_t>(part), 2, 8000, 0.0f, 0.0f,
            "6f1b2c3d-0000-4000-8000-123456789abc", &no_samples, called, 0,
            "6f1b2c3d-0000-4000-8000-123456789abc", 123456789, 4000, 4000.0f, 0,
            part == 0 ? "parent_1" : nullptr, part == 0 ? "parent_2" : nullptr, part != 0,
            "KIT-LS9", "FC-106");
}

interfaces::ReadHolder raw_read() {
    interfaces::ReadHolder read;
    std::vector<std::int16_t> samples(300);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(400 + (i * 97) % 200);
    }
    read.datasets[dataset::raw_data].own(std::move(samples));
    auto& metadata = read.metadata;
    metadata.insert("duration", static_cast<unsigned long long>(300));
    metadata.insert("daq_offset", 4.5f);
    metadata.insert("daq_scaling", 0.25f);
    metadata.insert("read_id", std::string("6f1b2c3d-0000-4000-8000-123456789abc"));
    metadata.insert("strand_id", std::string("6f1b2c3d-0000-4000-8000-123456789abc"));
    metadata.insert("sampling_rate", 4000.0f);
    metadata.insert("start_time", static_cast<unsigned long long>(987654));
    metadata.insert("channel", 17);
    metadata.insert("mux", 2u);
    metadata.insert("run_id", std::string("run0001"));
    read.read_tag = 7;
    return read;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_frame_seeds <folder>\n";
        return 2;
    }
    const std::string folder = argv[1];

    // Simple replies, with the texts and values servers put in them.
    struct Simple {
        const char* name;
        MessageType type;
        const char* text;
        unsigned value;
    };
    const Simple simple[] = {
            {"connected", CONNECTED,
             ">client_uid=client_17>server_version=7.2.13+a1b2c3d>minimap_version=2.24-r1122", 0},
            {"none_pending", NONE_PENDING, "", 3},
            {"loading", LOADING, "", 0},
            {"success", SUCCESS, "", 0},
            {"response", RESPONSE,
             "{\"server\":{\"gpu_devices\":[{\"name\":\"GPU 0\"},{\"name\":\"GPU 1\"}]}}", 0},
            {"bad_request", BAD_REQUEST, "Unexpected request type GET_CONFIGS", 0},
            {"heartbeat_echo", HEARTBEAT_ECHO, "", 0},
            {"raw_block_accepted", RAW_BLOCK_ACCEPTED, "", 0},
            {"batch_accepted", BATCH_ACCEPTED, "", 0},
            {"not_ready", NOT_READY, "", 0},
            {"invalid_config", INVALID_CONFIG, "Config file not found: signal_model_fast.cfg", 0},
            {"request_failed", REQUEST_FAILED, "index load failed", 0},
            {"disconnected", DISCONNECTED, "", 0},
            {"client_not_recognised", CLIENT_NOT_RECOGNISED, "", 0},
    };
    for (const auto& s : simple) {
        write(folder, std::string("reply_") + s.name, Message(s.type, "", s.value, s.text));
    }
    write(folder, "request_query", create_query_request(QueryCode::server_internal_state));
    write(folder, "request_heartbeat_ping", Message(HEARTBEAT_PING, "client_17", 0, ""));
    write(folder, "request_connect",
          Message(CONNECT, "", 2, "signal_model_fast:>timeout_interval=500>client_name=fuzz"));

    {
        fb::FlatBufferBuilder builder;
        const auto block = returned_block(builder, tessel_ipc::ReadBlockType_RETURN_FIRST_CALLED_BLOCK, 0, 7);
        write(folder, "reply_first_called_block",
              finish(builder, tessel_ipc::Content_ReadBlockData, block.Union(), "client_17"));
    }
    {
        fb::FlatBufferBuilder builder;
        const auto block = returned_block(builder, tessel_ipc::ReadBlockType_RETURN_NEXT_CALLED_BLOCK, 1, 7);
        write(folder, "reply_next_called_block",
              finish(builder, tessel_ipc::Content_ReadBlockData, block.Union(), "client_17"));
    }
    {
        fb::FlatBufferBuilder builder;
        std::vector<fb::Offset<tessel_ipc::ReadBlockData>> blocks;
        blocks.push_back(returned_block(builder, tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK, 0, 8));
        blocks.push_back(returned_block(builder, tessel_ipc::ReadBlockType_PASS_FIRST_RAW_BLOCK, 1, 9));
        const auto batch = tessel_ipc::CreateReadBatchDataDirect(
                builder, tessel_ipc::ReadBatchType_RETURN_COMPLETED_BATCH, &blocks);
        write(folder, "reply_completed_batch",
              finish(builder, tessel_ipc::Content_ReadBatchData, batch.Union(), "client_17"));
    }
    {
        fb::FlatBufferBuilder builder;
        std::vector<fb::Offset<tessel_ipc::Configuration>> configs{
                tessel_ipc::CreateConfigurationDirect(builder, "signal_model_fast", "model_v4.2.0", false),
                tessel_ipc::CreateConfigurationDirect(builder, "signal_model_sup", "model_v4.3.0", true)};
        std::vector<fb::Offset<tessel_ipc::AlignmentIndex>> indices{
                tessel_ipc::CreateAlignmentIndexDirect(builder, "/data/ref/hg38.mmi",
                                                       "@SQ\tSN:chr1\tLN:248956422\n@SQ\tSN:chr2\tLN:242193529")};
        std::vector<fb::Offset<fb::String>> strings{builder.CreateString("one"), builder.CreateString("")};
        std::vector<fb::Offset<tessel_ipc::BarcodeKitDefinition>> kits{
                tessel_ipc::CreateBarcodeKitDefinitionDirect(builder, "KIT-NB12", false, true, 1, 12, "barcode%02i"),
                tessel_ipc::CreateBarcodeKitDefinitionDirect(builder, "KIT-RB12", true, false, 1, 12, "RB%02i")};
        const auto data = tessel_ipc::CreateConfigDataDirect(builder, &configs, &indices, &strings, &kits);
        write(folder, "reply_configs", finish(builder, tessel_ipc::Content_ConfigData, data.Union()));
    }
    {
        fb::FlatBufferBuilder builder;
        std::vector<fb::Offset<tessel_ipc::ClientStats>> clients{
                tessel_ipc::CreateClientStats(builder, 120, 118), tessel_ipc::CreateClientStats(builder, 4, 0)};
        const auto stats = tessel_ipc::CreateServerStatsDirect(builder, 1000, 990, 124, 118, &clients);
        write(folder, "reply_statistics", finish(builder, tessel_ipc::Content_ServerStats, stats.Union()));
    }
    {
        // The client's own raw block, as the read buffer sends it.
        auto messages = create_read_block_messages(raw_read(), "client_17", 200);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            write(folder, "request_raw_block_" + std::to_string(i), std::move(messages[i]));
        }
    }
    return 0;
}
