#include "strandlink/connection_protocol.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>

#include "testing/server_registration.h"
#include "testing/test_server.h"

namespace {

using namespace std::chrono_literals;
using ipc_tools::Message;
using ipc_tools::MessageType;
using strandlink::ClientConnectionState;
using strandlink::ClientConnectionStateSnapshot;
using strandlink::ClientStatus;
using strandlink::ConnectionError;
using strandlink::ConnectionProtocol;
using strandlink::ErrorState;
using test_server::Reply;
using test_server::ServerRegistration;
using test_server::TestServer;

constexpr std::uint32_t LIVE_TIMEOUT_MS = 5000;
constexpr std::uint32_t FILE_LOAD_TIMEOUT_S = 60;

const std::string HAC = "signal_model_hac";
const std::string INDEX = "/data/references/lambda.fasta";
const std::string BED = "/data/references/lambda_regions.bed";

// A server with the example setup, the engine's state with a handler that
// records every change, and the protocol under test.
class ConnectionProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        state.register_change_handler(
                [this](ClientStatus, std::shared_ptr<ClientConnectionStateSnapshot> snapshot) {
                    std::lock_guard<std::mutex> lock(mutex);
                    statuses.push_back(snapshot->get_status());
                    changed.notify_all();
                });
        protocol.set_load_retry_interval(2ms);
    }

    void start(test_server::ServerSetup setup = test_server::example_setup()) {
        registration = ServerRegistration::install(server, std::move(setup));
        server.start();
        protocol.set_connection_params(server.endpoint(), LIVE_TIMEOUT_MS);
    }

    // A ConnectionInfo as the public client fills it: the registration
    // fields and the same values among the options.
    static ipc_tools::ConnectionInfo info(const std::string& align_ref = "", const std::string& bed_file = "",
                                          const std::string& minimap_options = "",
                                          const std::string& barcode_kits = "") {
        ipc_tools::ConnectionInfo result;
        result.config = HAC;
        result.client_name = "reader";
        result.connection_timeout_ms = 1500;
        result.align_ref = align_ref;
        result.bed_file = bed_file;
        result.minimap_opt_string = minimap_options;
        result.barcode_kits = barcode_kits;
        result.options.insert("barcode_kits", barcode_kits);
        if (!align_ref.empty()) {
            result.options.insert("align_ref", align_ref);
        }
        if (!bed_file.empty()) {
            result.options.insert("bed_file", bed_file);
        }
        if (!minimap_options.empty()) {
            result.options.insert("minimap_opt_string", minimap_options);
        }
        return result;
    }

    // The statuses reported so far, once `count` have arrived.
    std::vector<ClientStatus> wait_for_statuses(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, 10s, [&] { return statuses.size() >= count; });
        return statuses;
    }

    std::vector<MessageType> request_types() const {
        std::vector<MessageType> types;
        for (const auto& record : server.requests()) {
            types.push_back(record.type);
        }
        return types;
    }

    void expect_error(ConnectionError code, const std::string& message) {
        EXPECT_EQ(protocol.error_state().code, code) << protocol.error_state().message;
        EXPECT_EQ(protocol.error_state().message, message);
    }

    // Before the state, whose notifier delivers into them until it ends.
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ClientStatus> statuses;

    TestServer server;
    std::shared_ptr<ServerRegistration> registration;
    ClientConnectionState state;
    ConnectionProtocol protocol{state};
};

const std::vector<ClientStatus> FULL_SEQUENCE{ClientStatus::preparing_connection,  ClientStatus::loading_config,
                                              ClientStatus::loading_alignment_index, ClientStatus::loading_bed_file,
                                              ClientStatus::connecting,            ClientStatus::connected};

TEST_F(ConnectionProtocolTest, connects_without_index_and_bed_and_disconnects) {
    start();
    strandlink::RequestBrokerAdapter* adapter = protocol.establish_server_connection(info(), FILE_LOAD_TIMEOUT_S);
    ASSERT_NE(adapter, nullptr) << to_string(protocol.error_state());
    EXPECT_EQ(protocol.error_state().code, ConnectionError::no_error);
    // Empty inputs still pass through their statuses.
    EXPECT_EQ(wait_for_statuses(6), FULL_SEQUENCE);
    EXPECT_EQ(request_types(), (std::vector<MessageType>{MessageType::HEARTBEAT_PING, MessageType::LOAD_CONFIG,
                                                         MessageType::GET_CONFIGS, MessageType::CONNECT,
                                                         MessageType::QUERY}));

    EXPECT_EQ(protocol.get_config_details().config_name, HAC);
    EXPECT_EQ(protocol.get_config_details().model_version_id, "signal_model_hac@v5.0.0");
    EXPECT_FALSE(protocol.get_config_details().duplex);
    EXPECT_EQ(protocol.get_alignment_file_header(), "");
    const auto clients = registration->clients();
    ASSERT_EQ(clients.size(), 1u);
    const ipc_tools::ConnectedInfo& connected = protocol.get_connected_info();
    EXPECT_EQ(connected.client_uid, clients[0].client_id);
    EXPECT_EQ(connected.server_version, test_server::example_setup().server_version);
    EXPECT_EQ(connected.minimap_version, test_server::example_setup().minimap_version);
    // Two devices of the same name give that name once.
    EXPECT_EQ(connected.gpu_device_names, "Test GPU 80GB");
    EXPECT_EQ(clients[0].info.client_name, "reader");
    EXPECT_EQ(clients[0].info.connection_timeout_ms, 1500u);

    // The adapter carries the connection on.
    EXPECT_TRUE(adapter->ping_server_if_quiet(connected.client_uid));
    protocol.disconnect_from_server();
    EXPECT_EQ(server.requests().back().type, MessageType::DISCONNECT);
    EXPECT_EQ(server.requests().back().client_id, connected.client_uid);
    EXPECT_TRUE(registration->clients().empty());
}

// Runs the test in a fresh folder holding a reference and a BED file, so that
// relative paths resolve; restores the current folder afterwards.
class InTemporaryFolder {
public:
    InTemporaryFolder() : m_previous(std::filesystem::current_path()) {
        char name[] = "/tmp/sl_protocol_XXXXXX";
        m_folder = std::filesystem::canonical(mkdtemp(name));
        std::filesystem::current_path(m_folder);
        std::ofstream("ref.fasta") << ">lambda\nACGT\n";
        std::ofstream("regions.bed") << "lambda\t0\t4\n";
    }
    ~InTemporaryFolder() {
        std::filesystem::current_path(m_previous);
        std::filesystem::remove_all(m_folder);
    }
    std::string path(const std::string& name) const { return (m_folder / name).string(); }

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_folder;
};

TEST_F(ConnectionProtocolTest, connects_with_an_index_and_bed_file_given_by_relative_paths) {
    InTemporaryFolder folder;
    auto setup = test_server::example_setup();
    setup.indices.push_back({folder.path("ref.fasta"), "@SQ\tSN:lambda\tLN:4", 1});
    setup.bed_files.push_back({folder.path("regions.bed"), 0});
    start(setup);

    // The public client puts canonical paths among the options; the fields
    // may still be relative.
    auto connection = info("ref.fasta", "regions.bed", "-k 15", "KIT-BC24");
    connection.options.insert("align_ref", folder.path("ref.fasta"));
    connection.options.insert("bed_file", folder.path("regions.bed"));
    ASSERT_NE(protocol.establish_server_connection(connection, FILE_LOAD_TIMEOUT_S), nullptr)
            << to_string(protocol.error_state());
    EXPECT_EQ(wait_for_statuses(6), FULL_SEQUENCE);
    EXPECT_EQ(protocol.get_alignment_file_header(), "@SQ\tSN:lambda\tLN:4");

    const auto requests = server.requests();
    std::vector<std::string> load_texts;
    for (const auto& record : requests) {
        if (record.type == MessageType::LOAD_INDEX || record.type == MessageType::LOAD_BED) {
            load_texts.push_back(record.text);
        }
    }
    // The index loads after one LOADING; it is named as given, with the
    // aligner options. The index step made the stored paths canonical, so
    // the BED file goes by its canonical path.
    EXPECT_EQ(load_texts,
              (std::vector<std::string>{"ref.fasta:>minimap_opt_string=-k 15", "ref.fasta:>minimap_opt_string=-k 15",
                                        folder.path("regions.bed")}));
    const auto clients = registration->clients();
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0].alignment_header, "@SQ\tSN:lambda\tLN:4");
    EXPECT_TRUE(clients[0].bed_loaded);
    EXPECT_EQ(clients[0].info.barcode_kits, "KIT-BC24");
}

TEST_F(ConnectionProtocolTest, a_path_that_cannot_be_made_canonical_fails_the_attempt) {
    struct Case {
        const char* name;
        std::string align_ref;
        std::string bed_file;
        ClientStatus status;
        std::string path;
    };
    const std::vector<Case> cases{
            {"index", "no/such/ref.fasta", "", ClientStatus::loading_alignment_index, "no/such/ref.fasta"},
            {"BED file", "", "no/such/regions.bed", ClientStatus::connecting, "no/such/regions.bed"},
    };
    // The server takes the BED file as it comes; only the client's
    // canonicalisation fails.
    server.apply_rule("LOAD_BED=SUCCESS");
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(protocol.establish_server_connection(info(c.align_ref, c.bed_file), FILE_LOAD_TIMEOUT_S), nullptr);
        EXPECT_EQ(protocol.error_state().code, ConnectionError::failed);
        const std::string prefix = "Error while converting relative path " + c.path + " to file: ";
        EXPECT_EQ(protocol.error_state().message.rfind(prefix, 0), 0u) << protocol.error_state().message;
        EXPECT_EQ(state.get_status(), c.status);
    }
    EXPECT_EQ(server.request_count(MessageType::CONNECT), 0u);
}

TEST_F(ConnectionProtocolTest, loading_is_asked_again_until_done_or_the_file_load_timeout) {
    auto setup = test_server::example_setup();
    setup.configurations[0].loading_polls = 3;
    setup.configurations[1].loading_polls = test_server::LOADS_FOREVER;
    setup.indices[0].loading_polls = test_server::LOADS_FOREVER;
    start(setup);

    ASSERT_NE(protocol.establish_server_connection(info(), FILE_LOAD_TIMEOUT_S), nullptr);
    EXPECT_EQ(server.request_count(MessageType::LOAD_CONFIG), 4u);

    auto duplex = info();
    duplex.config = setup.configurations[1].name;
    EXPECT_EQ(protocol.establish_server_connection(duplex, 1), nullptr);
    expect_error(ConnectionError::file_load_timeout,
                 "Server did not process load request 'LOAD_CONFIG' for file " + duplex.config +
                         " within the 1s timeout. Try increasing server_file_load_timeout");
    EXPECT_EQ(state.get_status(), ClientStatus::loading_config);

    EXPECT_EQ(protocol.establish_server_connection(info(INDEX), 0), nullptr);
    expect_error(ConnectionError::file_load_timeout,
                 "Server did not process load request 'LOAD_INDEX' for file " + INDEX +
                         " within the 0s timeout. Try increasing server_file_load_timeout");
    EXPECT_EQ(state.get_status(), ClientStatus::loading_alignment_index);
}

TEST_F(ConnectionProtocolTest, a_zero_timeout_sends_at_most_two_requests_at_the_usual_pace) {
    auto setup = test_server::example_setup();
    setup.configurations[0].loading_polls = test_server::LOADS_FOREVER;
    start(setup);
    protocol.set_load_retry_interval(500ms);
    EXPECT_EQ(protocol.establish_server_connection(info(), 0), nullptr);
    EXPECT_EQ(protocol.error_state().code, ConnectionError::file_load_timeout);
    const std::size_t loads = server.request_count(MessageType::LOAD_CONFIG);
    EXPECT_GE(loads, 1u);
    EXPECT_LE(loads, 2u);
}

TEST_F(ConnectionProtocolTest, each_refusal_ends_the_attempt_with_its_code_and_message) {
    struct Case {
        const char* name;
        std::vector<std::string> rules;
        ipc_tools::ConnectionInfo info;
        ClientStatus status;
        ConnectionError code;
        std::string message;
    };
    auto unknown_config = info();
    unknown_config.config = "nope";
    const std::string refused = "Could not register on server (connection refused";
    const std::vector<Case> cases{
            {"unknown configuration", {}, unknown_config, ClientStatus::loading_config,
             ConnectionError::basecall_config_unavailable,
             "Could not load basecall configuration 'nope': no such configuration"},
            {"unknown index", {}, info("/data/other.fasta"), ClientStatus::loading_alignment_index,
             ConnectionError::align_index_unavailable,
             "Could not load alignment index '/data/other.fasta': no such file"},
            {"aligner options", {}, info(INDEX, "", "--bogus"), ClientStatus::loading_alignment_index,
             ConnectionError::invalid_aligner_options, "unrecognised aligner option '--bogus'"},
            {"unknown BED file", {}, info("", "/data/other.bed"), ClientStatus::loading_bed_file,
             ConnectionError::bed_file_unavailable, "Could not load BED file '/data/other.bed': no such file"},
            {"unknown barcode kit", {}, info("", "", "", "NOPE"), ClientStatus::connecting,
             ConnectionError::barcode_kit_unavailable,
             refused + " due to unsupported barcoding kit \"NOPE\")."},
            {"configuration refused at connect", {"CONNECT=INVALID_CONFIG"}, info(), ClientStatus::connecting,
             ConnectionError::basecall_config_unavailable,
             refused + ", the requested basecall model set is not currently loaded \"" + HAC + "\")."},
            {"index refused at connect", {"CONNECT=INVALID_INDEX"}, info(INDEX, "", "-k 15"), ClientStatus::connecting,
             ConnectionError::align_index_unavailable,
             refused + " due to unsupported alignment index|options combination \"" + INDEX + "|-k 15\")."},
            {"BED file refused at connect", {"CONNECT=INVALID_BED"}, info("", BED), ClientStatus::connecting,
             ConnectionError::bed_file_unavailable,
             refused + ", the requested bed file is not currently loaded \"" + BED + "\")."},
            {"other connect reply", {"CONNECT=SUCCESS"}, info(), ClientStatus::connecting,
             ConnectionError::invalid_response, "Could not register on server (invalid response)."},
            {"connect refused as bad", {"CONNECT=BAD_REQUEST:no"}, info(), ClientStatus::connecting,
             ConnectionError::bad_request, "Bad request message: CONNECT. no"},
            {"load answered oddly", {"LOAD_CONFIG=CONNECTED"}, info(), ClientStatus::loading_config,
             ConnectionError::invalid_response,
             "Error. Load request 'LOAD_CONFIG' received an invalid reply type: CONNECTED"},
            {"load failed otherwise", {"LOAD_BED=REQUEST_FAILED:disk full"}, info("", BED),
             ClientStatus::loading_bed_file, ConnectionError::bed_file_unavailable, "disk full"},
            {"configurations answered oddly", {"GET_CONFIGS=SUCCESS"}, info(), ClientStatus::loading_config,
             ConnectionError::invalid_response, "Could not get details from server (invalid reply type). SUCCESS"},
            {"indices answered oddly", {"GET_INDICES=LOADING"}, info(INDEX), ClientStatus::loading_alignment_index,
             ConnectionError::invalid_response,
             "Could not get alignment indices from server (invalid reply type). LOADING"},
            {"connected text lacks a key", {"CONNECT=CONNECTED:>client_uid=1>server_version=7"}, info(),
             ClientStatus::connecting, ConnectionError::bad_reply, "Could not parse CONNECTED message data"},
            // The key/value grammar takes an empty value; no client can be
            // named by it.
            {"connected with an empty id", {"CONNECT=CONNECTED:>client_uid=>server_version=1.0>minimap_version=2.0"},
             info(), ClientStatus::connecting, ConnectionError::bad_reply, "Could not parse CONNECTED message data"},
            {"connected without text", {"CONNECT=CONNECTED"}, info(), ClientStatus::connecting,
             ConnectionError::bad_reply, "Could not parse CONNECTED message data (the reply has no text)"},
            {"query answered oddly", {"QUERY=SUCCESS"}, info(), ClientStatus::connecting,
             ConnectionError::invalid_response, "Could not retrieve state from server, invalid reply: SUCCESS"},
            {"state without text", {"QUERY=RESPONSE"}, info(), ClientStatus::connecting, ConnectionError::bad_reply,
             "Could not retrieve state from server, the RESPONSE has no text"},
            {"state of the wrong shape", {"QUERY=RESPONSE:{\"ServerInformation\":[]}"}, info(),
             ClientStatus::connecting, ConnectionError::bad_reply,
             "Could not read the server state: \"ServerInformation\" is not an object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server;
        ServerRegistration::install(server, test_server::example_setup());
        for (const std::string& rule : c.rules) {
            server.apply_rule(rule);
        }
        server.start();
        ClientConnectionState state;
        ConnectionProtocol protocol(state);
        protocol.set_connection_params(server.endpoint(), LIVE_TIMEOUT_MS);
        EXPECT_EQ(protocol.establish_server_connection(c.info, FILE_LOAD_TIMEOUT_S), nullptr);
        EXPECT_EQ(protocol.error_state().code, c.code) << protocol.error_state().message;
        EXPECT_EQ(protocol.error_state().message, c.message);
        EXPECT_EQ(state.get_status(), c.status);
        // Nothing learned from a failed connect step is kept.
        EXPECT_EQ(protocol.get_connected_info().client_uid, "");
    }
}

// Replies that the registration side never sends, made by hand.
Reply configs_reply(const std::function<flatbuffers::Offset<tessel_ipc::ConfigData>(flatbuffers::FlatBufferBuilder&)>&
                            make) {
    flatbuffers::FlatBufferBuilder builder;
    const auto data = make(builder);
    const auto root = tessel_ipc::CreateMessageData(builder, &ipc_tools::current_version(), 0,
                                                    tessel_ipc::Content_ConfigData, data.Union());
    builder.Finish(root, tessel_ipc::MessageDataIdentifier());
    return Reply::message(Message(builder));
}

TEST_F(ConnectionProtocolTest, configuration_and_index_lists_are_checked_before_they_are_read) {
    using Builder = flatbuffers::FlatBufferBuilder;
    using Configurations = std::vector<flatbuffers::Offset<tessel_ipc::Configuration>>;
    using Indices = std::vector<flatbuffers::Offset<tessel_ipc::AlignmentIndex>>;
    struct Case {
        const char* name;
        MessageType request;
        std::function<flatbuffers::Offset<tessel_ipc::ConfigData>(Builder&)> reply;
        ConnectionError code;
        std::string message;
        std::string header{};  // on success
    };
    const std::string details = "Could not get details from server (";
    const std::vector<Case> cases{
            {"no configuration list", MessageType::GET_CONFIGS,
             [](Builder& b) { return tessel_ipc::CreateConfigData(b); }, ConnectionError::bad_reply,
             details + "the reply lists no configurations) for config name: " + HAC},
            {"two configurations", MessageType::GET_CONFIGS,
             [](Builder& b) {
                 Configurations list{tessel_ipc::CreateConfigurationDirect(b, "a", "a@1"),
                                     tessel_ipc::CreateConfigurationDirect(b, "b", "b@1")};
                 return tessel_ipc::CreateConfigDataDirect(b, &list);
             },
             ConnectionError::basecall_config_unavailable,
             "got unexpected number of configs from server for config name: " + HAC + " :2"},
            {"configuration without model version", MessageType::GET_CONFIGS,
             [](Builder& b) {
                 Configurations list{tessel_ipc::CreateConfigurationDirect(b, HAC.c_str())};
                 return tessel_ipc::CreateConfigDataDirect(b, &list);
             },
             ConnectionError::bad_reply,
             details + "the configuration has no model version id) for config name: " + HAC},
            {"no index list", MessageType::GET_INDICES, [](Builder& b) { return tessel_ipc::CreateConfigData(b); },
             ConnectionError::bad_reply, "Could not get alignment indices from server (the reply lists no indices)."},
            {"index not listed", MessageType::GET_INDICES,
             [](Builder& b) {
                 Indices list{tessel_ipc::CreateAlignmentIndexDirect(b, "/data/references/lambda.fast", "h"),
                              tessel_ipc::CreateAlignmentIndexDirect(b, nullptr, "h")};
                 return tessel_ipc::CreateConfigDataDirect(b, nullptr, &list);
             },
             ConnectionError::align_index_unavailable, "Could not retrieve alignment file header for: " + INDEX},
            {"index without header", MessageType::GET_INDICES,
             [](Builder& b) {
                 Indices list{tessel_ipc::CreateAlignmentIndexDirect(b, INDEX.c_str())};
                 return tessel_ipc::CreateConfigDataDirect(b, nullptr, &list);
             },
             ConnectionError::bad_reply,
             "Could not retrieve alignment file header for: " + INDEX + " (the index has no header)"},
            {"index listed twice", MessageType::GET_INDICES,
             [](Builder& b) {
                 Indices list{tessel_ipc::CreateAlignmentIndexDirect(b, INDEX.c_str(), "first"),
                              tessel_ipc::CreateAlignmentIndexDirect(b, INDEX.c_str(), "second")};
                 return tessel_ipc::CreateConfigDataDirect(b, nullptr, &list);
             },
             ConnectionError::no_error, "", "first"},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.on(c.request, [&c](const test_server::Request&) { return configs_reply(c.reply); });
        const bool connected = protocol.establish_server_connection(info(INDEX), FILE_LOAD_TIMEOUT_S) != nullptr;
        EXPECT_EQ(connected, c.code == ConnectionError::no_error);
        expect_error(c.code, c.message);
        if (connected) {
            EXPECT_EQ(protocol.get_alignment_file_header(), c.header);
        }
        ServerRegistration::install(server, test_server::example_setup());
    }
}

TEST_F(ConnectionProtocolTest, connect_sends_the_priority_the_server_expects) {
    start();
    const std::vector<std::pair<int, std::uint32_t>> cases{{0, 2}, {1, 1}, {2, 0}, {5, 5}, {-1, 3}};
    for (const auto& [priority, wire] : cases) {
        auto connection = info();
        connection.priority = priority;
        ASSERT_NE(protocol.establish_server_connection(connection, FILE_LOAD_TIMEOUT_S), nullptr);
        const auto requests = server.requests();
        const auto connect = std::find_if(requests.rbegin(), requests.rend(),
                                          [](const auto& r) { return r.type == MessageType::CONNECT; });
        ASSERT_NE(connect, requests.rend());
        EXPECT_EQ(connect->value, wire) << priority;
    }
    EXPECT_EQ(strandlink::wire_priority(INT_MIN), 2u + 2147483648u);
    EXPECT_EQ(strandlink::wire_priority(INT_MAX), static_cast<std::uint32_t>(INT_MAX));
}

TEST(ServerStateData, gpu_names_come_sorted_and_unique_from_well_formed_state_only) {
    struct Case {
        const char* name;
        std::string state;
        ConnectionError code;
        std::string names_or_message;
    };
    const std::string fault = "Could not read the server state: ";
    const std::vector<Case> cases{
            {"devices B, A, A",
             R"({"ServerInformation":{"CUDA Devices":{"0":{"name":"B"},"1":{"name":"A"},"2":{"name":"A"}}}})",
             ConnectionError::no_error, "A|B"},
            {"not JSON", "{{", ConnectionError::no_error, ""},
            {"not an object", "[1, 2]", ConnectionError::no_error, ""},
            {"no server information", R"({"Clients":{}})", ConnectionError::no_error, ""},
            {"no devices", R"({"ServerInformation":{"Version":"1"}})", ConnectionError::no_error, ""},
            {"no devices present", R"({"ServerInformation":{"CUDA Devices":{}}})", ConnectionError::no_error, ""},
            {"information not an object", R"({"ServerInformation":"up"})", ConnectionError::bad_reply,
             fault + "\"ServerInformation\" is not an object"},
            {"devices not an object", R"({"ServerInformation":{"CUDA Devices":["A"]}})", ConnectionError::bad_reply,
             fault + "\"CUDA Devices\" is not an object"},
            // Members that are not devices are skipped, as a real server's
            // "num devices" beside its devices.
            {"a real server's devices",
             R"({"ServerInformation":{"CUDA Devices":{"num devices":2,"device_0":{"ID":0,"name":"GPU B"},)"
             R"("device_1":{"ID":1,"name":"GPU A"}},"Unused CUDA Devices":{"num devices":1,)"
             R"("device_2":{"ID":2,"name":"GPU C"}}}})",
             ConnectionError::no_error, "GPU A|GPU B"},
            {"device not an object", R"({"ServerInformation":{"CUDA Devices":{"cuda:0":"A","cuda:1":{"name":"B"}}}})",
             ConnectionError::no_error, "B"},
            {"device without a name", R"({"ServerInformation":{"CUDA Devices":{"cuda:0":{"index":0}}}})",
             ConnectionError::no_error, ""},
            {"name not a string", R"({"ServerInformation":{"CUDA Devices":{"cuda:0":{"name":7},"x":null}}})",
             ConnectionError::no_error, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ipc_tools::ConnectedInfo info;
        info.gpu_device_names = "stale";
        const ErrorState error = strandlink::add_server_state_data(info, c.state);
        EXPECT_EQ(error.code, c.code);
        if (c.code == ConnectionError::no_error) {
            EXPECT_EQ(info.gpu_device_names, c.names_or_message);
        } else {
            EXPECT_EQ(error.message, c.names_or_message);
        }
    }
}

TEST(ServerStateData, server_information_is_written_back_compact) {
    std::string result = "untouched";
    EXPECT_FALSE(strandlink::parse_info_from_full_server_state("[]", result));
    EXPECT_FALSE(strandlink::parse_info_from_full_server_state("nope", result));
    EXPECT_FALSE(strandlink::parse_info_from_full_server_state(R"({"Other":1})", result));
    EXPECT_EQ(result, "untouched");
    EXPECT_TRUE(strandlink::parse_info_from_full_server_state(
            "{ \"ServerInformation\" : { \"Version\" : \"7\", \"n\" : [1, 2] }, \"x\": 0 }", result));
    EXPECT_EQ(result, R"({"Version":"7","n":[1,2]})");
}

// State text that cannot be written back whole, or nests deeper than any
// server state does, is refused; neither may cut the text short or exhaust
// the stack.
TEST(ServerStateData, unwritable_or_deeply_nested_state_is_refused) {
    const std::string deep = "{\"ServerInformation\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
    const std::string deep_devices = "{\"ServerInformation\":{\"CUDA Devices\":{\"0\":{\"name\":\"g\",\"x\":" +
                                     std::string(200000, '[') + std::string(200000, ']') + "}}}}";
    std::string result = "untouched";
    EXPECT_FALSE(strandlink::parse_info_from_full_server_state(R"({"ServerInformation":{"Version":"1","n":3.3e308}})",
                                                               result));
    EXPECT_FALSE(strandlink::parse_info_from_full_server_state(deep, result));
    EXPECT_EQ(result, "untouched");

    ipc_tools::ConnectedInfo info;
    EXPECT_EQ(strandlink::add_server_state_data(info, deep_devices).code, strandlink::ConnectionError::no_error);
    EXPECT_EQ(info.gpu_device_names, "");
}

// Keeps the severity channel and message of every log record.
class CollectingBackend
        : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    void consume(const boost::log::record_view& record) {
        const auto& values = record.attribute_values();
        records.push_back(boost::log::extract_or_default<std::string>("Channel", values, std::string("?")) + " | " +
                          boost::log::extract_or_default<std::string>("Message", values, std::string("?")));
    }
    std::vector<std::string> records;
};

std::vector<std::string> log_of(const std::function<void()>& action) {
    auto core = boost::log::core::get();
    auto sink = boost::make_shared<boost::log::sinks::synchronous_sink<CollectingBackend>>(
            boost::make_shared<CollectingBackend>());
    core->add_sink(sink);
    action();
    core->remove_sink(sink);
    return sink->locked_backend()->records;
}

TEST_F(ConnectionProtocolTest, disconnect_refusals_are_logged_and_change_nothing) {
    start();
    ASSERT_NE(protocol.establish_server_connection(info(), FILE_LOAD_TIMEOUT_S), nullptr);
    server.apply_rule("DISCONNECT#1=REQUEST_FAILED");
    EXPECT_EQ(log_of([&] { protocol.disconnect_from_server(); }),
              std::vector<std::string>{"info | Could not disconnect from basecall server, invalid reply: REQUEST_FAILED"});

    // A server that forgot the client answers CLIENT_NOT_RECOGNISED, which
    // the broker reports as a restart.
    registration->forget_client(protocol.get_connected_info().client_uid);
    EXPECT_EQ(log_of([&] { protocol.disconnect_from_server(); }),
              (std::vector<std::string>{
                      "info | Received CLIENT_NOT_RECOGNISED from server. Treating as a server restart.",
                      "warning | Error disconnecting from server: [timed_out] Received CLIENT_NOT_RECOGNISED from "
                      "server. Treating as a server restart."}));
    EXPECT_EQ(protocol.error_state().code, ConnectionError::no_error);
    EXPECT_EQ(state.get_status(), ClientStatus::connected);
}

}  // namespace
