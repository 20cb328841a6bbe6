#include "strandlink/server_proxy.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipc_tools/connected_info.h"
#include "ipc_tools/request_broker.h"
#include "testing/server_registration.h"
#include "testing/test_server.h"

namespace {

using ipc_tools::Message;
using ipc_tools::MessageType;
using test_server::Reply;
using test_server::ServerRegistration;
using test_server::TestServer;
namespace server_proxy = strandlink::server_proxy;

constexpr std::uint32_t LIVE_TIMEOUT_MS = 5000;

// Read traffic that takes no requests but reports fixed counts: 10 reads in
// and 8 out per client, over a lifetime of 100 and 90.
class CountingTraffic : public test_server::ReadTraffic {
public:
    bool handles(MessageType) const override { return false; }
    Reply handle(const test_server::ClientSetup&, const test_server::Request&) override {
        return Reply::silence();
    }
    void client_connected(const test_server::ClientSetup&) override {}
    void client_disconnected(const std::string&) override {}
    void reset() override {}
    Counts counts(const std::string&) const override { return {10, 8}; }
    Counts lifetime_counts() const override { return {100, 90}; }
};

// Registers a client the way the engine does, with a broker of its own.
void register_client(const std::string& endpoint) {
    ipc_tools::RequestBroker broker;
    broker.prepare_connection(endpoint, LIVE_TIMEOUT_MS);
    const std::string config = test_server::example_setup().configurations[0].name;
    for (const auto& [type, text] : {std::pair{MessageType::LOAD_CONFIG, config},
                                     std::pair{MessageType::CONNECT, config + ":>client_name=c"}}) {
        Message request(type, "", 0, text);
        Message reply;
        broker.send_request(request, reply);
        ASSERT_NE(reply.get_type(), MessageType::BAD_REQUEST);
    }
}

Reply built_reply(tessel_ipc::Content type,
                  const std::function<flatbuffers::Offset<void>(flatbuffers::FlatBufferBuilder&)>& make) {
    flatbuffers::FlatBufferBuilder builder;
    const auto content = make(builder);
    const auto root = tessel_ipc::CreateMessageData(builder, &ipc_tools::current_version(), 0, type, content);
    builder.Finish(root, tessel_ipc::MessageDataIdentifier());
    return Reply::message(Message(builder));
}

TEST(ServerProxy, asks_a_registering_server_for_its_kits_statistics_and_state) {
    TestServer server;
    auto setup = test_server::example_setup();
    setup.barcode_kits.push_back({"KIT-3", false, true, 5, 7, "kit3_%i"});
    const auto registration = ServerRegistration::install(server, setup, std::make_shared<CountingTraffic>());
    server.start();
    register_client(server.endpoint());
    register_client(server.endpoint());

    const auto kits = server_proxy::get_barcode_kits(server.endpoint(), LIVE_TIMEOUT_MS);
    ASSERT_EQ(kits.size(), 3u);
    EXPECT_EQ(kits[0].kit_name, "KIT-BC24");
    EXPECT_TRUE(kits[0].is_both_ends);
    EXPECT_EQ(kits[1].last_index, 96);
    EXPECT_EQ(kits[2].kit_name, "KIT-3");
    EXPECT_EQ(kits[2].first_index, 5);
    EXPECT_EQ(kits[2].last_index, 7);
    EXPECT_FALSE(kits[2].is_both_ends);
    EXPECT_TRUE(kits[2].naming_flag);
    EXPECT_EQ(kits[2].name_pattern, "kit3_%i");

    const auto stats = server_proxy::get_server_statistics(server.endpoint(), LIVE_TIMEOUT_MS);
    EXPECT_EQ(stats.lifetime_reads_in, 100u);
    EXPECT_EQ(stats.lifetime_reads_out, 90u);
    // The traffic counted those reads before the registration started: none
    // fall into the current period.
    EXPECT_EQ(stats.period_reads_in, 0u);
    ASSERT_EQ(stats.clients.size(), 2u);
    EXPECT_EQ(stats.clients[1].input_read_count, 10u);
    EXPECT_EQ(stats.clients[1].output_read_count, 8u);

    const std::string state = server_proxy::get_server_internal_state(server.endpoint(), LIVE_TIMEOUT_MS);
    EXPECT_NE(state.find("\"ServerInformation\""), std::string::npos) << state;
    EXPECT_NE(state.find(registration->clients()[1].client_id), std::string::npos) << state;
}

TEST(ServerProxy, absent_fields_read_as_zero_false_or_empty) {
    TestServer server;
    server.on(MessageType::GET_BARCODE_KITS, [](const test_server::Request& request) {
        // Value 1: a list of kits with only their names (one cut at a NUL);
        // otherwise no list at all.
        return built_reply(tessel_ipc::Content_ConfigData, [&request](flatbuffers::FlatBufferBuilder& b) {
            if (request.record.value == 0) {
                return tessel_ipc::CreateConfigData(b).Union();
            }
            std::vector<flatbuffers::Offset<tessel_ipc::BarcodeKitDefinition>> kits{
                    tessel_ipc::CreateBarcodeKitDefinition(b, b.CreateString(std::string("ab\0cd", 5))),
                    tessel_ipc::CreateBarcodeKitDefinition(b, b.CreateString("plain"))};
            return tessel_ipc::CreateConfigDataDirect(b, nullptr, nullptr, nullptr, &kits).Union();
        });
    });
    server.on(MessageType::GET_STATISTICS, [](const test_server::Request&) {
        return built_reply(tessel_ipc::Content_ServerStats, [](flatbuffers::FlatBufferBuilder& b) {
            // No client list: the table ends before it.
            return tessel_ipc::CreateServerStats(b, 1, 2, 3, 4).Union();
        });
    });
    server.apply_rule("QUERY=RESPONSE");
    server.start();

    EXPECT_TRUE(server_proxy::get_barcode_kits(server.endpoint(), LIVE_TIMEOUT_MS).empty());

    // The message of a kit query carries no value; ask through the helper
    // with a hand-made reply instead.
    ipc_tools::RequestBroker broker;
    broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);
    Message request(MessageType::GET_BARCODE_KITS, "", 1, "");
    Message reply;
    broker.send_request(request, reply);
    const auto kits = server_proxy::extract_barcoding_arrangements(reply);
    ASSERT_EQ(kits.size(), 2u);
    EXPECT_EQ(kits[0].kit_name, "ab");
    EXPECT_EQ(kits[1].kit_name, "plain");
    EXPECT_EQ(kits[1].first_index, 0);
    EXPECT_EQ(kits[1].last_index, 0);
    EXPECT_FALSE(kits[1].is_both_ends);
    EXPECT_FALSE(kits[1].naming_flag);
    EXPECT_EQ(kits[1].name_pattern, "");

    const auto stats = server_proxy::get_server_statistics(server.endpoint(), LIVE_TIMEOUT_MS);
    EXPECT_EQ(stats.lifetime_reads_in, 1u);
    EXPECT_EQ(stats.period_reads_out, 4u);
    EXPECT_TRUE(stats.clients.empty());

    EXPECT_EQ(server_proxy::get_server_internal_state(server.endpoint(), LIVE_TIMEOUT_MS), "");
}

TEST(ServerProxy, a_client_entry_without_its_output_count_reads_zero) {
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<tessel_ipc::ClientStats>> clients{tessel_ipc::CreateClientStats(builder, 5)};
    builder.Finish(tessel_ipc::CreateServerStatsDirect(builder, 0, 0, 0, 0, &clients));
    const auto* table = flatbuffers::GetRoot<tessel_ipc::ServerStats>(builder.GetBufferPointer());
    const auto stats = server_proxy::get_stats_from_message(*table);
    ASSERT_EQ(stats.clients.size(), 1u);
    EXPECT_EQ(stats.clients[0].input_read_count, 5u);
    EXPECT_EQ(stats.clients[0].output_read_count, 0u);
}

TEST(ServerProxy, each_wrong_reply_type_is_an_invalid_response) {
    struct Case {
        const char* rule_or_type;
        std::function<void(const std::string&)> query;
        std::string text;
    };
    const auto kits = [](const std::string& a) { server_proxy::get_barcode_kits(a, LIVE_TIMEOUT_MS); };
    const auto stats = [](const std::string& a) { server_proxy::get_server_statistics(a, LIVE_TIMEOUT_MS); };
    const auto state = [](const std::string& a) { server_proxy::get_server_internal_state(a, LIVE_TIMEOUT_MS); };
    const std::vector<Case> cases{
            {"GET_BARCODE_KITS=SUCCESS", kits, "Could not retrieve barcode kits from server, invalid reply: SUCCESS"},
            {"GET_STATISTICS=LOADING", stats, "Could not retrieve statistics from server, invalid reply: LOADING"},
            {"QUERY=CONNECTED", state, "Could not retrieve state from server, invalid reply: CONNECTED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule_or_type);
        TestServer server;
        server.apply_rule(c.rule_or_type);
        server.start();
        try {
            c.query(server.endpoint());
            ADD_FAILURE() << "no exception";
        } catch (const ipc_tools::InvalidResponse& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
    }

    // Statistics answered with a list of configurations.
    TestServer server;
    ServerRegistration::install(server, test_server::example_setup());
    server.on(MessageType::GET_STATISTICS, [](const test_server::Request&) {
        return built_reply(tessel_ipc::Content_ConfigData,
                           [](flatbuffers::FlatBufferBuilder& b) { return tessel_ipc::CreateConfigData(b).Union(); });
    });
    server.start();
    try {
        stats(server.endpoint());
        ADD_FAILURE() << "no exception";
    } catch (const ipc_tools::InvalidResponse& e) {
        EXPECT_EQ(std::string(e.what()), "Could not retrieve statistics from server, invalid reply: RETURN_CONFIGS");
    }
}

TEST(ServerProxy, broker_failures_leave_the_query_unchanged) {
    EXPECT_THROW(server_proxy::get_server_statistics(test_server::make_ipc_endpoint(), 20), ipc_tools::TimeoutError);

    TestServer server;
    server.start();  // no registration: every query is refused as unsupported
    try {
        server_proxy::get_barcode_kits(server.endpoint(), LIVE_TIMEOUT_MS);
        ADD_FAILURE() << "no exception";
    } catch (const ipc_tools::BadRequest& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Bad request message: GET_BARCODE_KITS. unsupported request: GET_BARCODE_KITS");
    }
    server.apply_rule("QUERY=raw:0021");
    EXPECT_THROW(server_proxy::get_server_internal_state(server.endpoint(), LIVE_TIMEOUT_MS), ipc_tools::BadReply);
}

}  // namespace
