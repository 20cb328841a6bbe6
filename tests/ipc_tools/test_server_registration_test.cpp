// The test server as a client sees the basecall server: loads with their
// LOADING polls and refusals, CONNECT checked against what was loaded,
// queries and statistics from its own state, read traffic handed to a
// ReadTraffic for registered clients only, and the fault rules on top.

#include "testing/server_registration.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "ipc_tools/connected_info.h"
#include "ipc_tools/request_broker.h"

namespace {

using namespace std::chrono_literals;
using ipc_tools::Message;
using ipc_tools::MessageType;
using test_server::Reply;
using test_server::ServerRegistration;
using test_server::TestServer;

constexpr unsigned LIVE_TIMEOUT_MS = 5000;

const std::string HAC = "signal_model_hac";
const std::string DUPLEX = "signal_model_sup_duplex";
const std::string INDEX = "/data/references/lambda.fasta";
const std::string BED = "/data/references/lambda_regions.bed";

// A read traffic that answers GET_FIRST_CALLED_BLOCK with NONE_PENDING and
// counts each such request as one read in and out; it records what the
// registration side tells it.
class FakeTraffic : public test_server::ReadTraffic {
public:
    bool handles(MessageType type) const override {
        return type == MessageType::GET_FIRST_CALLED_BLOCK || type == MessageType::NO_MORE_DATA;
    }
    Reply handle(const test_server::ClientSetup& client, const test_server::Request& request) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        handled.push_back(client.client_id);
        if (request.record.type == MessageType::GET_FIRST_CALLED_BLOCK) {
            ++m_counts[client.client_id].reads_in;
            ++m_counts[client.client_id].reads_out;
            ++m_lifetime.reads_in;
            ++m_lifetime.reads_out;
        }
        return Reply::simple(MessageType::NONE_PENDING, client.info.client_name);
    }
    void client_connected(const test_server::ClientSetup& client) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        connected.push_back(client.client_id);
    }
    void client_disconnected(const std::string& client_id) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        disconnected.push_back(client_id);
        m_counts.erase(client_id);
    }
    void reset() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++resets;
        m_counts.clear();
    }
    Counts counts(const std::string& client_id) const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_counts.find(client_id);
        return it == m_counts.end() ? Counts{} : it->second;
    }
    Counts lifetime_counts() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lifetime;
    }

    // Read under the lock by the test thread once the exchanges are done.
    std::vector<std::string> connected, disconnected, handled;
    int resets = 0;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, Counts> m_counts;
    Counts m_lifetime;
};

// A server with the example setup (and optionally a read traffic), and a
// broker connected to it.
class Registration : public ::testing::Test {
protected:
    void start(std::shared_ptr<test_server::ReadTraffic> traffic = nullptr,
               test_server::ServerSetup setup = test_server::example_setup()) {
        registration = ServerRegistration::install(server, std::move(setup), std::move(traffic));
        server.start();
        broker.prepare_connection(server.endpoint(), LIVE_TIMEOUT_MS);
    }

    Message exchange(MessageType type, const std::string& text = "", const std::string& client_id = "",
                     unsigned value = 0) {
        Message request(type, client_id, value, text);
        Message reply;
        broker.send_request(request, reply);
        return reply;
    }

    MessageType load(MessageType type, const std::string& text) { return exchange(type, text).get_type(); }

    // Loads the configuration, index and BED file and connects; the client id.
    std::string connect(const std::string& options = ">client_name=reader>barcode_kits=KIT-BC24",
                        unsigned wire_priority = 1) {
        EXPECT_EQ(load(MessageType::LOAD_CONFIG, HAC), MessageType::SUCCESS);
        const Message reply = exchange(MessageType::CONNECT, HAC + ":" + options, "", wire_priority);
        EXPECT_EQ(reply.get_type(), MessageType::CONNECTED) << ipc_tools::get_simple_message_text(reply);
        const auto info = ipc_tools::ConnectedInfo::parse(ipc_tools::get_simple_message_text(reply));
        EXPECT_TRUE(info);
        return info ? info->client_uid : "";
    }

    TestServer server;
    std::shared_ptr<ServerRegistration> registration;
    ipc_tools::RequestBroker broker;
};

TEST_F(Registration, loads_answer_loading_for_their_polls_then_success_and_refuse_unknown_files) {
    auto setup = test_server::example_setup();
    setup.configurations[0].loading_polls = 2;
    setup.configurations[1].loading_polls = test_server::LOADS_FOREVER;
    setup.indices[0].loading_polls = 1;
    start(nullptr, setup);

    struct Case {
        MessageType request;
        std::string text;
        std::vector<MessageType> replies;
        std::string last_text;
    };
    const std::vector<Case> cases{
            {MessageType::LOAD_CONFIG, HAC,
             {MessageType::LOADING, MessageType::LOADING, MessageType::SUCCESS, MessageType::SUCCESS},
             ""},
            {MessageType::LOAD_CONFIG, DUPLEX, {MessageType::LOADING, MessageType::LOADING, MessageType::LOADING}, ""},
            {MessageType::LOAD_CONFIG, "nope", {MessageType::REQUEST_FAILED},
             "Could not load basecall configuration 'nope': no such configuration"},
            {MessageType::LOAD_INDEX, INDEX + ":>minimap_opt_string=-k 15 -w10 --eqx",
             {MessageType::LOADING, MessageType::SUCCESS},
             ""},
            {MessageType::LOAD_INDEX, INDEX + ":>minimap_opt_string=-k fifteen",
             {MessageType::INVALID_ALIGNER_OPTIONS},
             "bad value 'fifteen' for aligner option '-k'"},
            {MessageType::LOAD_INDEX, "/data/other.fasta", {MessageType::REQUEST_FAILED},
             "Could not load alignment index '/data/other.fasta': no such file"},
            {MessageType::LOAD_BED, BED, {MessageType::SUCCESS}, ""},
            {MessageType::LOAD_BED, "missing.bed", {MessageType::REQUEST_FAILED},
             "Could not load BED file 'missing.bed': no such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        for (std::size_t i = 0; i < c.replies.size(); ++i) {
            const Message reply = exchange(c.request, c.text);
            EXPECT_EQ(reply.get_type(), c.replies[i]) << i;
            if (i + 1 == c.replies.size()) {
                EXPECT_EQ(ipc_tools::get_simple_message_text(reply), c.last_text);
            }
        }
    }
    EXPECT_TRUE(registration->config_loaded(HAC));
    EXPECT_FALSE(registration->config_loaded(DUPLEX));
    EXPECT_TRUE(registration->index_loaded(INDEX, "-k 15 -w10 --eqx"));
    EXPECT_FALSE(registration->index_loaded(INDEX));
    EXPECT_TRUE(registration->bed_file_loaded(BED));
}

TEST_F(Registration, lists_the_loaded_configurations_indices_and_the_barcode_kits) {
    start();
    Message configs = exchange(MessageType::GET_CONFIGS, HAC);
    ASSERT_EQ(configs.get_type(), MessageType::RETURN_CONFIGS);
    ASSERT_NE(configs.get_message_data()->content_as_ConfigData()->configurations(), nullptr);
    EXPECT_EQ(configs.get_message_data()->content_as_ConfigData()->configurations()->size(), 0u);

    ASSERT_EQ(load(MessageType::LOAD_CONFIG, DUPLEX), MessageType::SUCCESS);
    ASSERT_EQ(load(MessageType::LOAD_INDEX, INDEX), MessageType::SUCCESS);
    ASSERT_EQ(load(MessageType::LOAD_INDEX, INDEX + ":>minimap_opt_string=-x map-ont"), MessageType::SUCCESS);

    configs = exchange(MessageType::GET_CONFIGS, DUPLEX);
    const auto* list = configs.get_message_data()->content_as_ConfigData()->configurations();
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ(list->Get(0)->name()->str(), DUPLEX);
    EXPECT_EQ(list->Get(0)->model_version_id()->str(), "signal_model_sup@v5.0.0");
    EXPECT_TRUE(list->Get(0)->duplex());

    // One entry per loaded combination of index and aligner options.
    const Message indices = exchange(MessageType::GET_INDICES);
    const auto* index_list = indices.get_message_data()->content_as_ConfigData()->indices();
    ASSERT_EQ(index_list->size(), 2u);
    for (const auto* entry : *index_list) {
        EXPECT_EQ(entry->name()->str(), INDEX);
        EXPECT_EQ(entry->header()->str(), test_server::example_setup().indices[0].header);
    }

    const Message kits = exchange(MessageType::GET_BARCODE_KITS);
    const auto* kit_list = kits.get_message_data()->content_as_ConfigData()->barcode_kits();
    ASSERT_EQ(kit_list->size(), 2u);
    EXPECT_EQ(kit_list->Get(0)->kit_name()->str(), "KIT-BC24");
    EXPECT_TRUE(kit_list->Get(0)->is_both_ends());
    EXPECT_EQ(kit_list->Get(1)->last_index(), 96);
}

TEST_F(Registration, connect_registers_a_client_with_what_it_loaded) {
    start();
    ASSERT_EQ(load(MessageType::LOAD_INDEX, INDEX + ":>minimap_opt_string=-k 15"), MessageType::SUCCESS);
    ASSERT_EQ(load(MessageType::LOAD_BED, BED), MessageType::SUCCESS);
    const std::string id = connect(">timeout_interval=500>client_name=reader>barcode_kits=KIT-BC24 "
                                   "KIT-RB96>align_ref=" +
                                           INDEX + ">bed_file=" + BED + ">minimap_opt_string=-k 15",
                                   0);
    const std::string other = connect();
    EXPECT_NE(id, other);

    const auto clients = registration->clients();
    ASSERT_EQ(clients.size(), 2u);
    EXPECT_EQ(clients[0].client_id, id);
    EXPECT_EQ(clients[0].info.config, HAC);
    EXPECT_EQ(clients[0].info.client_name, "reader");
    EXPECT_EQ(clients[0].info.connection_timeout_ms, 500u);
    EXPECT_EQ(clients[0].info.align_ref, INDEX);
    EXPECT_EQ(clients[0].info.priority, 2);  // wire value 0
    EXPECT_EQ(clients[0].model_version_id, "signal_model_hac@v5.0.0");
    EXPECT_FALSE(clients[0].duplex);
    EXPECT_EQ(clients[0].alignment_header, test_server::example_setup().indices[0].header);
    EXPECT_TRUE(clients[0].bed_loaded);
    EXPECT_EQ(clients[1].alignment_header, "");
    EXPECT_FALSE(clients[1].bed_loaded);
    EXPECT_EQ(clients[1].info.priority, 1);
}

TEST_F(Registration, connect_refuses_what_is_not_loaded_or_not_known) {
    start();
    ASSERT_EQ(load(MessageType::LOAD_INDEX, INDEX), MessageType::SUCCESS);
    struct Case {
        std::string text;
        MessageType reply;
    };
    const std::vector<Case> cases{
            {DUPLEX + ":>client_name=x", MessageType::INVALID_CONFIG},
            {HAC + ":>barcode_kits=KIT-BC24,NO-SUCH-KIT", MessageType::INVALID_BARCODE_KIT},
            {HAC + ":>align_ref=/data/other.fasta", MessageType::INVALID_INDEX},
            {HAC + ":>align_ref=" + INDEX + ">minimap_opt_string=-k 15", MessageType::INVALID_INDEX},
            {HAC + ":>bed_file=" + BED, MessageType::INVALID_BED},
            {HAC + ":>timeout_interval=soon", MessageType::BAD_REQUEST},
    };
    ASSERT_EQ(load(MessageType::LOAD_CONFIG, HAC), MessageType::SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Message request(MessageType::CONNECT, "", 0, c.text);
        Message reply;
        if (c.reply == MessageType::BAD_REQUEST) {
            EXPECT_THROW(broker.send_request(request, reply), ipc_tools::BadRequest);
        } else {
            broker.send_request(request, reply);
            EXPECT_EQ(reply.get_type(), c.reply);
        }
    }
    EXPECT_TRUE(registration->clients().empty());
}

TEST_F(Registration, query_answers_the_internal_state) {
    auto setup = test_server::example_setup();
    setup.gpu_names = {"B", "A"};
    start(nullptr, setup);
    const std::string id = connect();

    Message request = ipc_tools::create_query_request(ipc_tools::QueryCode::server_internal_state);
    Message reply;
    broker.send_request(request, reply);
    ASSERT_EQ(reply.get_type(), MessageType::RESPONSE);
    rapidjson::Document state;
    state.Parse(ipc_tools::get_simple_message_text(reply).c_str());
    ASSERT_TRUE(state.IsObject());
    const auto& info = state["ServerInformation"];
    EXPECT_EQ(std::string(info["tessel_version"].GetString()), setup.server_version);
    // A real server's shape: a count of the devices beside them.
    const auto& devices = info["CUDA Devices"];
    ASSERT_TRUE(devices.IsObject());
    EXPECT_EQ(devices["num devices"].GetUint(), 2u);
    EXPECT_EQ(std::string(devices["device_0"]["name"].GetString()), "B");
    EXPECT_EQ(std::string(devices["device_1"]["name"].GetString()), "A");
    EXPECT_EQ(info["Unused CUDA Devices"]["num devices"].GetUint(), 0u);
    EXPECT_TRUE(state["Clients"].HasMember(id.c_str()));

    Message unknown(MessageType::QUERY, "", 2, "");
    EXPECT_THROW(broker.send_request(unknown, reply), ipc_tools::BadRequest);
}

// A value or a text where the request type takes none is refused, as by a
// real server: a client that sends them wrong cannot pass unnoticed.
TEST_F(Registration, requests_with_a_value_or_text_their_type_does_not_take_are_refused) {
    start();
    const std::string id = connect();
    struct Case {
        MessageType type;
        std::string text;
        unsigned value;
        std::string client_id;
    };
    const std::vector<Case> refused{
            {MessageType::LOAD_CONFIG, HAC, 1, ""},
            {MessageType::GET_CONFIGS, HAC, 2, ""},
            {MessageType::LOAD_INDEX, "/data/references/lambda.fasta", 1, ""},
            {MessageType::GET_INDICES, "lambda", 0, ""},
            {MessageType::GET_INDICES, "", 1, ""},
            {MessageType::LOAD_BED, "/data/references/lambda_regions.bed", 1, ""},
            {MessageType::GET_BARCODE_KITS, "kits", 0, ""},
            {MessageType::GET_STATISTICS, "", 3, ""},
            {MessageType::QUERY, "state", 1, ""},
            {MessageType::DISCONNECT, "bye", 0, id},
            {MessageType::DISCONNECT, "", 1, id},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(ipc_tools::message_type_as_string(c.type) + " '" + c.text + "' " + std::to_string(c.value));
        EXPECT_THROW(exchange(c.type, c.text, c.client_id, c.value), ipc_tools::BadRequest);
    }
    // The same requests as the client sends them.
    EXPECT_EQ(exchange(MessageType::GET_CONFIGS, HAC).get_type(), MessageType::RETURN_CONFIGS);
    EXPECT_EQ(exchange(MessageType::GET_INDICES).get_type(), MessageType::RETURN_CONFIGS);
    EXPECT_EQ(exchange(MessageType::GET_BARCODE_KITS).get_type(), MessageType::RETURN_CONFIGS);
    EXPECT_EQ(exchange(MessageType::QUERY, "", "", 1).get_type(), MessageType::RESPONSE);
    EXPECT_EQ(exchange(MessageType::DISCONNECT, "", id).get_type(), MessageType::DISCONNECTED);
}

TEST_F(Registration, read_traffic_reaches_the_traffic_only_for_registered_clients) {
    auto traffic = std::make_shared<FakeTraffic>();
    start(traffic);
    const std::string id = connect();

    EXPECT_EQ(exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", id).get_type(), MessageType::NONE_PENDING);
    EXPECT_THROW(exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", "client-999"), ipc_tools::TimeoutError);
    // Not read traffic: the default answer.
    EXPECT_THROW(exchange(MessageType::TERMINATE, "", id), ipc_tools::BadRequest);

    EXPECT_EQ(exchange(MessageType::DISCONNECT, "", id).get_type(), MessageType::DISCONNECTED);
    EXPECT_THROW(exchange(MessageType::DISCONNECT, "", id), ipc_tools::TimeoutError);
    EXPECT_THROW(exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", id), ipc_tools::TimeoutError);
    EXPECT_TRUE(registration->clients().empty());

    server.stop();
    EXPECT_EQ(traffic->connected, std::vector<std::string>{id});
    EXPECT_EQ(traffic->disconnected, std::vector<std::string>{id});
    EXPECT_EQ(traffic->handled, std::vector<std::string>{id});
}

TEST_F(Registration, without_read_traffic_read_requests_get_the_default_answer) {
    start();
    const std::string id = connect();
    try {
        exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", id);
        FAIL() << "no BAD_REQUEST";
    } catch (const ipc_tools::BadRequest& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Bad request message: GET_FIRST_CALLED_BLOCK. unsupported request: GET_FIRST_CALLED_BLOCK");
    }
}

TEST_F(Registration, statistics_count_per_client_over_the_lifetime_and_the_period) {
    auto traffic = std::make_shared<FakeTraffic>();
    start(traffic);
    const std::string first = connect();
    const std::string second = connect();
    for (int i = 0; i < 3; ++i) {
        exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", first);
    }
    exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", second);

    const auto stats_of = [this] {
        Message reply = exchange(MessageType::GET_STATISTICS);
        EXPECT_EQ(reply.get_type(), MessageType::RETURN_STATISTICS);
        return reply;
    };
    Message reply = stats_of();
    const auto* stats = reply.get_message_data()->content_as_ServerStats();
    EXPECT_EQ(stats->lifetime_reads_in(), 4u);
    EXPECT_EQ(stats->period_reads_out(), 4u);
    ASSERT_EQ(stats->clients()->size(), 2u);
    EXPECT_EQ(stats->clients()->Get(0)->input_read_count(), 3u);
    EXPECT_EQ(stats->clients()->Get(1)->output_read_count(), 1u);

    // A new period starts with each statistics request; a disconnected client
    // is no longer listed, its reads stay in the lifetime counts.
    exchange(MessageType::DISCONNECT, "", first);
    exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", second);
    Message later = stats_of();
    stats = later.get_message_data()->content_as_ServerStats();
    EXPECT_EQ(stats->lifetime_reads_in(), 5u);
    EXPECT_EQ(stats->period_reads_in(), 1u);
    ASSERT_EQ(stats->clients()->size(), 1u);
    EXPECT_EQ(stats->clients()->Get(0)->input_read_count(), 2u);
}

TEST_F(Registration, forget_and_restart_rules_drop_state_before_the_request_is_answered) {
    auto traffic = std::make_shared<FakeTraffic>();
    start(traffic);
    const std::string first = connect();
    const std::string second = connect();

    // The second block request of any client makes the server forget its sender.
    server.apply_rule("GET_FIRST_CALLED_BLOCK#2=forget");
    EXPECT_EQ(exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", first).get_type(), MessageType::NONE_PENDING);
    EXPECT_THROW(exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", second), ipc_tools::TimeoutError);
    EXPECT_EQ(exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", first).get_type(), MessageType::NONE_PENDING);
    ASSERT_EQ(registration->clients().size(), 1u);

    // A restart forgets clients and loads: the configuration loads again.
    server.apply_rule("GET_CONFIGS=restart");
    const Message configs = exchange(MessageType::GET_CONFIGS, HAC);
    EXPECT_EQ(configs.get_message_data()->content_as_ConfigData()->configurations()->size(), 0u);
    EXPECT_THROW(exchange(MessageType::GET_FIRST_CALLED_BLOCK, "", first), ipc_tools::TimeoutError);
    EXPECT_TRUE(registration->clients().empty());
    EXPECT_FALSE(registration->config_loaded(HAC));
    EXPECT_EQ(registration->restarts(), 1u);
    // Ids are never handed out twice, also across restarts.
    const std::string third = connect();
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);

    server.stop();
    EXPECT_EQ(traffic->disconnected, std::vector<std::string>{second});
    EXPECT_EQ(traffic->resets, 1);
}

TEST_F(Registration, fault_rules_apply_to_every_request_type) {
    start();
    // Occurrences count from when the rule was applied.
    server.apply_rule("LOAD_CONFIG#2+=raw:\\x01\\x02");
    server.apply_rule("GET_BARCODE_KITS=late@50");
    EXPECT_EQ(load(MessageType::LOAD_CONFIG, HAC), MessageType::SUCCESS);
    EXPECT_THROW(load(MessageType::LOAD_CONFIG, HAC), ipc_tools::BadReply);
    EXPECT_THROW(load(MessageType::LOAD_CONFIG, HAC), ipc_tools::BadReply);
    // The late answer is the server's own.
    EXPECT_EQ(exchange(MessageType::GET_BARCODE_KITS).get_type(), MessageType::RETURN_CONFIGS);
    server.clear_rules();
    EXPECT_EQ(load(MessageType::LOAD_CONFIG, HAC), MessageType::SUCCESS);

    // "*" also takes heartbeats and the registration's own types.
    server.apply_rule("*=silence");
    ipc_tools::RequestBroker late_comer;
    EXPECT_THROW(late_comer.prepare_connection(server.endpoint(), 20), ipc_tools::TimeoutError);
}

TEST(ServerSetupText, reads_the_program_options) {
    const auto config = test_server::parse_configuration("m,model=m@v2,duplex,loading=forever");
    EXPECT_EQ(config.name, "m");
    EXPECT_EQ(config.model_version_id, "m@v2");
    EXPECT_TRUE(config.duplex);
    EXPECT_EQ(config.loading_polls, test_server::LOADS_FOREVER);
    EXPECT_EQ(test_server::parse_configuration("plain").model_version_id, "plain@v1.0.0");

    const auto index = test_server::parse_index("/r/x.fa,loading=3,header=@SQ\\tSN:x,y\\n@PG");
    EXPECT_EQ(index.path, "/r/x.fa");
    EXPECT_EQ(index.loading_polls, 3);
    EXPECT_EQ(index.header, "@SQ\tSN:x,y\n@PG");

    const auto kit = test_server::parse_barcode_kit("K,first=1,last=12,both_ends,naming,pattern=bc%02i");
    EXPECT_EQ(kit.kit_name, "K");
    EXPECT_EQ(kit.first_index, 1);
    EXPECT_EQ(kit.last_index, 12);
    EXPECT_TRUE(kit.is_both_ends);
    EXPECT_TRUE(kit.naming_flag);
    EXPECT_EQ(kit.name_pattern, "bc%02i");
    EXPECT_EQ(test_server::parse_bed_file("/b.bed,loading=2").loading_polls, 2);

    const std::vector<std::pair<std::string, std::string>> faults{
            {"", "configuration '': the name is empty"},
            {"m,loading=-1", "configuration 'm,loading=-1': loading must be a number of polls or 'forever', not '-1'"},
            {"m,speed=fast", "configuration 'm,speed=fast': unknown item 'speed'"},
    };
    for (const auto& [text, why] : faults) {
        try {
            test_server::parse_configuration(text);
            ADD_FAILURE() << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), why);
        }
    }
    EXPECT_THROW(test_server::parse_barcode_kit("K,first=x"), std::invalid_argument);
}

TEST(AlignerOptions, are_checked_as_the_aligner_would) {
    const std::vector<std::pair<std::string, std::string>> cases{
            {"", ""},
            {"-k 15 -w 10", ""},
            {"-k15 -x map-ont -I 16G -p 0.8 --secondary=no -Y --eqx", ""},
            {"--bogus", "unrecognised aligner option '--bogus'"},
            {"-q 3", "unrecognised aligner option '-q'"},
            {"-k", "aligner option '-k' needs a value"},
            {"-k -3", "bad value '-3' for aligner option '-k'"},
            {"-x map-nothing", "bad value 'map-nothing' for aligner option '-x'"},
            {"-p 1.5", "bad value '1.5' for aligner option '-p'"},
            {"-I 4T", "bad value '4T' for aligner option '-I'"},
    };
    for (const auto& [options, fault] : cases) {
        EXPECT_EQ(test_server::aligner_options_fault(options).value_or(""), fault) << options;
    }
}

}  // namespace
