#include "strandlink/client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "tests/strandlink/engine_support.h"

namespace {

using engine_support::check_called;
using engine_support::collect;
using engine_support::connection_info;
using engine_support::LIVE_TIMEOUT_MS;
using engine_support::SILENCE_TIMEOUT_MS;
using engine_support::expected_for;
using engine_support::is_unprocessed;
using engine_support::make_read;
using engine_support::Server;
using interfaces::ReadHolder;
using interfaces::ReadList;
using ipc_tools::MessageType;
using strandlink::Client;
using strandlink::ClientQueueReadsResult;
using strandlink::ClientStatus;
using strandlink::ConnectionError;

constexpr std::uint64_t BLOCK_SIZE = 1000;

std::unique_ptr<Client> make_client(std::uint64_t max_read_failures = 10, bool moves = true,
                                    std::uint64_t queue_size = 50) {
    return std::make_unique<Client>(BLOCK_SIZE, queue_size, max_read_failures, moves, nullptr);
}

test_server::CallOptions options_of(Server& server, bool moves = true) {
    const auto clients = server.registration->clients();
    return test_server::Basecaller::call_options(clients.at(0), moves);
}

// Every read tag of `tags` back exactly once as a whole read (sub tag 0),
// with its sub reads right behind it.
std::map<unsigned long long, std::vector<const ReadHolder*>> group_by_tag(const ReadList& reads) {
    std::map<unsigned long long, std::vector<const ReadHolder*>> groups;
    for (const ReadHolder& read : reads) {
        groups[read.read_tag].push_back(&read);
    }
    return groups;
}

void pass_or_fail(Client& client, ReadHolder read) {
    ASSERT_EQ(client.pass_read(read, 10000), ClientQueueReadsResult::success);
}

TEST(ClientTest, ReadsOfEveryLengthFromSeveralThreadsComeBackOnceAsPredicted) {
    Server server;
    server.basecaller->add_fault("split:3@id=read-7");
    server.start();
    auto client = make_client();
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    const auto options = options_of(server);

    const std::vector<std::size_t> lengths = {99, 100, 350, 999, 1000, 1001, 2500, 5000};
    constexpr unsigned THREADS = 4;
    constexpr unsigned PER_THREAD = 24;
    std::map<unsigned long long, std::size_t> sizes;
    for (unsigned t = 0; t < THREADS; ++t) {
        for (unsigned i = 0; i < PER_THREAD; ++i) {
            const unsigned long long tag = t * PER_THREAD + i + 1;
            sizes[tag] = lengths[(tag * 5) % lengths.size()];
        }
    }
    std::vector<std::thread> producers;
    for (unsigned t = 0; t < THREADS; ++t) {
        producers.emplace_back([&, t] {
            // Half of each thread's reads go one by one, half as lists, so
            // that short reads also travel in batches.
            ReadList list;
            for (unsigned i = 0; i < PER_THREAD; ++i) {
                const unsigned long long tag = t * PER_THREAD + i + 1;
                if (i % 2 == 0) {
                    pass_or_fail(*client, make_read(tag, sizes.at(tag)));
                } else {
                    list.push_back(make_read(tag, sizes.at(tag)));
                }
                if (list.size() == 4) {
                    EXPECT_EQ(client->pass_reads(list, 10000), ClientQueueReadsResult::success);
                    list.clear();
                }
            }
            if (!list.empty()) {
                EXPECT_EQ(client->pass_reads(list, 10000), ClientQueueReadsResult::success);
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    // Read 7 comes back in three pieces.
    ReadList reads = collect(*client, sizes.size() + 2);
    EXPECT_TRUE(client->finish_by(60));
    client->get_completed_reads(reads, interfaces::ReadPriority::high);

    ASSERT_EQ(reads.size(), sizes.size() + 2);
    const auto groups = group_by_tag(reads);
    ASSERT_EQ(groups.size(), sizes.size());
    for (const auto& [tag, group] : groups) {
        const std::size_t samples = sizes.at(tag);
        if (samples <= 99) {
            ASSERT_EQ(group.size(), 1u);
            EXPECT_TRUE(is_unprocessed(*group[0]));
            continue;
        }
        const auto expected = expected_for(tag, samples, options, tag == 7 ? 3 : 1);
        ASSERT_EQ(group.size(), expected.size()) << "read " << tag;
        EXPECT_EQ(group[0]->sub_tag, 0u) << "the parent leads its sub reads";
        for (const ReadHolder* read : group) {
            const auto match = std::find_if(expected.begin(), expected.end(),
                                            [&](const auto& e) { return e.sub_tag == read->sub_tag; });
            ASSERT_NE(match, expected.end());
            check_called(*read, *match);
        }
    }
    // Sub reads follow their parent in the output queue itself.
    for (auto it = reads.begin(); it != reads.end(); ++it) {
        if (it->read_tag == 7 && it->sub_tag == 0) {
            EXPECT_EQ(std::next(it, 1)->read_tag, 7u);
            EXPECT_EQ(std::next(it, 2)->read_tag, 7u);
        }
    }
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    EXPECT_EQ(server.server.request_count(MessageType::DISCONNECT), 1u);
}

TEST(ClientTest, PassReadIsRefusedBeforeConnectAndAfterTheEnd) {
    Server server;
    server.start();
    auto client = make_client();
    ReadHolder read = make_read(1, 500);
    EXPECT_EQ(client->pass_read(read, 0), ClientQueueReadsResult::not_accepting_reads);
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    client->set_no_more_data();
    EXPECT_EQ(client->pass_read(read, 0), ClientQueueReadsResult::not_accepting_reads);
    EXPECT_TRUE(read.metadata.exists("read_id")) << "a refused read stays with the caller";
    EXPECT_TRUE(client->finish_by(60));
    EXPECT_EQ(client->pass_read(read, 0), ClientQueueReadsResult::not_accepting_reads);
}

// Restarts, silence and late answers while reads stream: the engine
// reconnects, resubmits what was in flight, and every read comes back once,
// called as predicted.
TEST(ClientTest, ServerRestartsSilenceAndLateAnswersLoseNoRead) {
    test_server::BasecallerOptions options;
    options.polls_before_ready = 2;
    Server server(options);
    server.server.apply_rule("*#60=restart");
    server.server.apply_rule("*#150=restart");
    server.server.apply_rule("GET_FIRST_CALLED_BLOCK#40=silence");
    server.server.apply_rule("PASS_FIRST_RAW_BLOCK#5=late@40");
    server.start();
    auto client = make_client();
    client->connect(server.server.endpoint(), SILENCE_TIMEOUT_MS, 5, connection_info());
    const auto options_now = options_of(server);

    constexpr unsigned READS = 60;
    std::map<unsigned long long, std::size_t> sizes;
    for (unsigned long long tag = 1; tag <= READS; ++tag) {
        sizes[tag] = 200 + (tag * 397) % 3800;
        pass_or_fail(*client, make_read(tag, sizes[tag]));
    }
    ReadList reads = collect(*client, READS);
    EXPECT_TRUE(client->finish_by(60));
    client->get_completed_reads(reads, interfaces::ReadPriority::medium);

    EXPECT_GE(server.registration->restarts(), 2u);
    EXPECT_GE(server.server.request_count(MessageType::CONNECT), 3u) << "one registration per connection";
    ASSERT_EQ(reads.size(), READS);
    std::set<unsigned long long> seen;
    for (const ReadHolder& read : reads) {
        EXPECT_TRUE(seen.insert(read.read_tag).second) << "read " << read.read_tag << " twice";
        check_called(read, expected_for(read.read_tag, sizes.at(read.read_tag), options_now).at(0));
    }
}

TEST(ClientTest, ReadsInFlightTooOftenAreHandedBackUnprocessed) {
    test_server::BasecallerOptions options;
    options.polls_before_ready = 1000000;  // the server never finishes them
    Server server(options);
    server.start();
    auto client = make_client(/*max_read_failures=*/0);
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    for (unsigned long long tag = 1; tag <= 5; ++tag) {
        pass_or_fail(*client, make_read(tag, 1500));
    }
    // Let the reads reach the server, then restart it: at the reconnection
    // they are over the limit of 0 resubmissions.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (server.basecaller->reads_taken_in() < 5 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server.server.apply_rule("*#1=restart");
    ReadList reads = collect(*client, 5);
    ASSERT_EQ(reads.size(), 5u);
    for (const ReadHolder& read : reads) {
        EXPECT_TRUE(is_unprocessed(read));
        EXPECT_EQ(read.datasets.count(dataset::raw_data), 1u);
    }
    client->disconnect();
}

TEST(ClientTest, ReadsTheServerLostComeBackUnprocessed) {
    Server server;
    server.basecaller->add_fault("lose@3");
    server.start();
    auto client = make_client();
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    for (unsigned long long tag = 1; tag <= 6; ++tag) {
        pass_or_fail(*client, make_read(tag, 800));
    }
    ReadList reads = collect(*client, 6);
    EXPECT_TRUE(client->finish_by(60));
    ASSERT_EQ(reads.size(), 6u);
    std::size_t unprocessed = 0;
    for (const ReadHolder& read : reads) {
        unprocessed += is_unprocessed(read) ? 1 : 0;
    }
    EXPECT_GE(unprocessed, 1u);
}

// How the worker ends, whether it says DISCONNECT, and the final status.
TEST(ClientTest, ExitPathsSettleDisconnectAndFinalStatus) {
    struct Case {
        const char* name;
        std::string config;
        std::vector<std::string> rules;  // applied once connected (or at once)
        bool rules_before_connect;
        bool listening;
        ConnectionError code;
        std::size_t disconnects;
        ClientStatus final_status;
    };
    const std::vector<Case> cases = {
            {"orderly end", engine_support::HAC, {}, false, true, ConnectionError::no_error, 1,
             ClientStatus::disconnected},
            {"connection error", engine_support::HAC, {"GET_FIRST_CALLED_BLOCK=BAD_REQUEST:no"}, false, true,
             ConnectionError::bad_request, 1, ClientStatus::error},
            {"attempt refused", "no_such_model", {}, true, true, ConnectionError::basecall_config_unavailable, 0,
             ClientStatus::error},
            {"time-out while connected", engine_support::HAC, {"*=silence"}, false, true, ConnectionError::timed_out,
             0, ClientStatus::error},
            {"nothing listening", engine_support::HAC, {}, true, false, ConnectionError::timed_out, 0,
             ClientStatus::error},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Server server;
        std::string endpoint = "tcp://127.0.0.1:1";
        if (c.listening) {
            server.start();
            endpoint = server.server.endpoint();
        }
        auto client = make_client();
        client->set_reconnect_timeout(std::chrono::seconds(0));
        if (c.rules_before_connect) {
            for (const auto& rule : c.rules) {
                server.server.apply_rule(rule);
            }
        }
        client->connect(endpoint, SILENCE_TIMEOUT_MS, 5, connection_info(c.config));
        if (!c.rules_before_connect) {
            for (const auto& rule : c.rules) {
                server.server.apply_rule(rule);
            }
        }
        if (c.code != ConnectionError::no_error && client->connection_status_is_active()) {
            pass_or_fail(*client, make_read(1, 500));
            while (client->connection_status_is_active()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        if (c.code == ConnectionError::no_error) {
            EXPECT_TRUE(client->finish_by(60));
        }
        client->get_read_buffer();
        EXPECT_EQ(client->get_connection_state().get_status(), c.final_status);
        EXPECT_EQ(client->get_connection_state().get_error_state().code, c.code)
                << client->get_connection_state().get_error_state();
        server.server.clear_rules();
        client->disconnect();
        EXPECT_EQ(server.server.request_count(MessageType::DISCONNECT), c.disconnects);
        EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    }
}

// disconnect while the worker retries after a time-out gives up after the
// running attempt, not after the reconnect period.
TEST(ClientTest, DisconnectDuringReconnectAttemptsReturnsAfterOneAttempt) {
    Server server;
    server.start();
    auto client = make_client();
    client->connect(server.server.endpoint(), SILENCE_TIMEOUT_MS, 5, connection_info());
    server.server.apply_rule("*=silence");
    pass_or_fail(*client, make_read(1, 500));
    while (client->get_connection_state().get_status() == ClientStatus::connected) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    client->disconnect();
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    EXPECT_EQ(server.server.request_count(MessageType::DISCONNECT), 0u);
}

TEST(ClientTest, ResultTextsAndMapping) {
    EXPECT_EQ(strandlink::to_string(ClientQueueReadsResult::queue_full), "queue_full");
    EXPECT_THROW(strandlink::to_string(static_cast<ClientQueueReadsResult>(3)), std::runtime_error);
    EXPECT_EQ(strandlink::to_client_result(strandlink::BufferQueueReadsResult::timed_out_waiting),
              ClientQueueReadsResult::queue_full);
    EXPECT_EQ(strandlink::to_client_result(strandlink::BufferQueueReadsResult::not_accepting),
              ClientQueueReadsResult::not_accepting_reads);
    EXPECT_THROW(strandlink::to_client_result(static_cast<strandlink::BufferQueueReadsResult>(9)),
                 std::runtime_error);
}

}  // namespace
