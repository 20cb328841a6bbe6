// How the engine ends: what becomes of the reads it holds, who may join its
// worker, and what a fault of the application's own (a callback, a limit)
// or of the server does to it. Nothing here may end the process.

#include "strandlink/client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/concrete_state_logger.h"
#include "tests/strandlink/engine_support.h"

namespace {

using engine_support::collect;
using engine_support::connection_info;
using engine_support::LIVE_TIMEOUT_MS;
using engine_support::SILENCE_TIMEOUT_MS;
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
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint64_t BLOCK_SIZE = 1000;
// Options of a server that never finishes a read.
test_server::BasecallerOptions never_ready() {
    test_server::BasecallerOptions options;
    options.polls_before_ready = 1000000;
    return options;
}

std::unique_ptr<Client> make_client(std::uint64_t block_size = BLOCK_SIZE, Client::Callback callback = nullptr) {
    return std::make_unique<Client>(block_size, 50, 10, false, callback);
}

void pass(Client& client, ReadHolder read) {
    ASSERT_EQ(client.pass_read(read, 10000), ClientQueueReadsResult::success);
}

// Waits up to a minute for `done`; false when it never came.
template <class Predicate>
bool eventually(Predicate done) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (SteadyClock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A read handed back unprocessed is the read as it was passed in: its signal,
// its metadata, no called data.
void expect_as_passed_in(const ReadHolder& read, std::size_t samples) {
    SCOPED_TRACE("read " + std::to_string(read.read_tag));
    EXPECT_TRUE(is_unprocessed(read));
    ASSERT_EQ(read.datasets.count(dataset::raw_data), 1u);
    EXPECT_EQ(read.datasets.at(dataset::raw_data).info.count, samples);
    EXPECT_FALSE(read.metadata.exists("model_version_id"));
    unsigned long long* duration = nullptr;
    ASSERT_TRUE(read.metadata.extract("duration", duration));
    EXPECT_EQ(*duration, samples);
}

// When the connection ends for good, every read queued or at the server
// comes back unprocessed, to be collected after the status has become error.
TEST(ClientEndingTest, ReadsHeldWhenTheConnectionFailsAreHandedBackUnprocessed) {
    struct Case {
        const char* name;
        std::string rule;
        ConnectionError code;
    };
    const std::vector<Case> cases{
            {"silent server, no reconnect", "*=silence", ConnectionError::timed_out},
            {"pull refused", "GET_FIRST_CALLED_BLOCK=BAD_REQUEST:no", ConnectionError::bad_request},
    };
    constexpr std::size_t SAMPLES = 1500;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_server::BasecallerOptions options = never_ready();
        options.max_reads = 3;  // two of the five stay queued in the client
        Server server(options);
        server.start();
        auto client = make_client();
        client->set_reconnect_timeout(std::chrono::seconds(0));
        client->connect(server.server.endpoint(), SILENCE_TIMEOUT_MS, 5, connection_info());
        ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
        for (unsigned long long tag = 1; tag <= 5; ++tag) {
            pass(*client, make_read(tag, SAMPLES));
        }
        ASSERT_TRUE(eventually([&] { return server.basecaller->reads_taken_in() >= 3; }));
        server.server.apply_rule(c.rule);

        ASSERT_TRUE(eventually([&] { return client->get_connection_state().get_status() == ClientStatus::error; }));
        EXPECT_EQ(client->get_connection_state().get_error_state().code, c.code);
        // Collected once the status is error, before anything else is done.
        ReadList reads;
        client->get_completed_reads(reads, interfaces::ReadPriority::medium);
        ASSERT_EQ(reads.size(), 5u);
        std::set<unsigned long long> tags;
        for (const ReadHolder& read : reads) {
            tags.insert(read.read_tag);
            expect_as_passed_in(read, SAMPLES);
        }
        EXPECT_EQ(tags.size(), 5u);
        EXPECT_FALSE(client->finish_by(1)) << "reads handed back unprocessed did not come back called";
        server.server.clear_rules();
        client->disconnect();
        client->get_completed_reads(reads, interfaces::ReadPriority::medium);
        EXPECT_EQ(reads.size(), 5u) << "each read comes back once";
    }
}

// Any two of the calls that join the worker, from two threads at once, both
// return once the worker has ended.
TEST(ClientEndingTest, FinishAndDisconnectFromTwoThreadsBothReturn) {
    Server server(never_ready());
    server.start();
    auto client = make_client();
    client->set_reconnect_timeout(std::chrono::seconds(0));
    client->connect(server.server.endpoint(), SILENCE_TIMEOUT_MS, 5, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    pass(*client, make_read(1, 1500));
    ASSERT_TRUE(eventually([&] { return server.basecaller->reads_taken_in() >= 1; }));
    // The worker waits out the silence (5 s) while both callers join it.
    server.server.apply_rule("*=silence");
    auto finishing = std::async(std::launch::async, [&] { return client->finish_by(1); });
    auto disconnecting = std::async(std::launch::async, [&] { client->disconnect(); });
    const auto bound = std::chrono::seconds(60);
    const bool both_returned = finishing.wait_for(bound) == std::future_status::ready &&
                               disconnecting.wait_for(bound) == std::future_status::ready;
    if (!both_returned) {
        // A caller is stuck in a join for good: nothing can end it.
        ADD_FAILURE() << "a join of the worker never returned";
        std::_Exit(1);
    }
    EXPECT_FALSE(finishing.get());
    EXPECT_FALSE(client->connection_status_is_active());
}

// A list is queued entry by entry after its admission. Finishing while the
// rest of it is still being built waits for all of it: the end of data is
// announced after its last read went, and every read comes back called.
TEST(ClientEndingTest, FinishingWhileAListIsStillBeingQueuedWaitsForAllOfIt) {
    Server server;
    server.start();
    auto client = make_client();
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    constexpr std::size_t READS = 60;
    ReadList list;
    for (unsigned long long tag = 1; tag <= READS; ++tag) {
        list.push_back(make_read(tag, 20 * BLOCK_SIZE));  // 20 block messages each
    }
    auto passing = std::async(std::launch::async, [&] { return client->pass_reads(list, 10000); });
    // Admitted: from here the whole list is the engine's.
    ASSERT_TRUE(eventually([&] {
        return client->num_buffered_samples() > 0 || passing.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    EXPECT_TRUE(client->finish_by(60));
    EXPECT_EQ(passing.get(), ClientQueueReadsResult::success);
    ReadList reads;
    client->get_completed_reads(reads, interfaces::ReadPriority::medium);
    std::set<unsigned long long> tags;
    for (const ReadHolder& read : reads) {
        EXPECT_FALSE(is_unprocessed(read)) << "read " << read.read_tag;
        EXPECT_TRUE(tags.insert(read.read_tag).second) << "read " << read.read_tag << " twice";
    }
    EXPECT_EQ(tags.size(), READS);
    client->disconnect();
}

// finish_by gives up after about the time it was given while reads are out,
// and reports that not all came back.
TEST(ClientEndingTest, FinishByGivesUpAfterItsBoundWithReadsOutstanding) {
    Server server(never_ready());
    server.start();
    auto client = make_client();
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    pass(*client, make_read(1, 1500));
    ASSERT_TRUE(eventually([&] { return server.basecaller->reads_taken_in() >= 1; }));
    // The end of data would have the server call it at once: it never has
    // anything to hand back.
    server.server.apply_rule("GET_FIRST_CALLED_BLOCK=NONE_PENDING");

    const auto start = SteadyClock::now();
    EXPECT_FALSE(client->finish_by(1));
    const auto elapsed = SteadyClock::now() - start;
    // At least its eleven waits of 100 ms; far less than a stuck wait.
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
    EXPECT_LT(elapsed, std::chrono::seconds(15));
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    EXPECT_EQ(server.server.request_count(MessageType::DISCONNECT), 1u);
}

void throwing_callback() { throw std::runtime_error("the application's callback failed"); }

// Faults of the application's own end the attempt with `failed` and their
// text; connect returns, and no read is taken.
TEST(ClientEndingTest, ACallbackThatThrowsOrARefusedBlockSizeEndTheAttempt) {
    struct Case {
        const char* name;
        std::uint64_t block_size;
        Client::Callback callback;
        std::string message;
    };
    const std::vector<Case> cases{
            {"callback throws", BLOCK_SIZE, &throwing_callback, "the application's callback failed"},
            {"block size 0", 0, nullptr, "The block size of a read buffer must be at least 1 sample; 0 was given."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Server server;
        server.start();
        auto client = make_client(c.block_size, c.callback);
        EXPECT_NO_THROW(client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info()));
        EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::error);
        const auto error = client->get_connection_state().get_error_state();
        EXPECT_EQ(error.code, ConnectionError::failed);
        EXPECT_EQ(error.message, c.message);
        ReadHolder read = make_read(1, 500);
        EXPECT_EQ(client->pass_read(read, 0), ClientQueueReadsResult::not_accepting_reads);
        EXPECT_EQ(server.server.request_count(MessageType::CONNECT), 0u);
        client->disconnect();
        EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::disconnected);
    }
}

// A CONNECTED reply that names no client ends the attempt with bad_reply;
// nothing of the read traffic starts on it.
TEST(ClientEndingTest, AnEmptyConnectionIdEndsTheAttempt) {
    Server server;
    server.server.apply_rule("CONNECT=CONNECTED:>client_uid=>server_version=1.0>minimap_version=2.0");
    server.start();
    auto client = make_client();
    client->set_reconnect_timeout(std::chrono::seconds(0));
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    EXPECT_EQ(client->get_connection_state().get_status(), ClientStatus::error);
    EXPECT_EQ(client->get_connection_state().get_error_state().code, ConnectionError::bad_reply);
    EXPECT_EQ(client->get_connection_state().get_error_state().message, "Could not parse CONNECTED message data");
    client->disconnect();
    EXPECT_EQ(server.server.request_count(MessageType::GET_FIRST_CALLED_BLOCK), 0u);
    EXPECT_EQ(server.server.request_count(MessageType::DISCONNECT), 0u);
}

// The getters may be called from any thread while the worker reconnects and
// learns the configuration anew (a race here shows under the thread
// sanitizer).
TEST(ClientEndingTest, GettersAreSafeWhileTheWorkerReconnects) {
    Server server(never_ready());
    server.start();
    auto client = make_client();
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    // Every poll restarts the server: the client is no longer known, and the
    // engine reconnects, loads the configuration and registers again.
    server.server.apply_rule("GET_FIRST_CALLED_BLOCK=restart");
    pass(*client, make_read(1, 1500));

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> reads_of_getters{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const strandlink::ConfigDetails config = client->get_basecalling_config();
            const std::string header = client->get_alignment_sam_header();
            const ipc_tools::ConnectedInfo info = client->get_connected_info();
            EXPECT_TRUE(config.config_name.empty() || config.config_name == engine_support::HAC);
            EXPECT_TRUE(header.empty());
            reads_of_getters.fetch_add(1);
        }
    });
    const bool reconnected = eventually([&] { return server.registration->restarts() >= 5; });
    stop.store(true);
    reader.join();
    EXPECT_TRUE(reconnected);
    EXPECT_GT(reads_of_getters.load(), 0u);
    EXPECT_EQ(client->get_basecalling_config().model_version_id, "signal_model_hac@v5.0.0");
    server.server.clear_rules();
    client->disconnect();
}

// The worker polls a server that answers NOT_READY at the idle pace (a pass
// every 10 ms), not as fast as it can.
TEST(ClientEndingTest, AServerThatIsNotReadyIsPolledAtTheIdlePace) {
    Server server;
    server.start();
    auto client = make_client();
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    server.server.apply_rule("PASS_FIRST_RAW_BLOCK=NOT_READY");
    const std::size_t before = server.server.request_count(MessageType::PASS_FIRST_RAW_BLOCK);
    const auto start = SteadyClock::now();
    pass(*client, make_read(1, 1500));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::size_t offered = server.server.request_count(MessageType::PASS_FIRST_RAW_BLOCK) - before;
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    server.server.clear_rules();

    // About 100 a second at the idle pace; a busy machine only slows it. The
    // loop without its wait sends thousands.
    EXPECT_GE(offered, 1u);
    EXPECT_LT(static_cast<double>(offered) / seconds, 300.0) << offered << " offers in " << seconds << " s";
    ReadList reads = collect(*client, 1);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_FALSE(is_unprocessed(reads.front()));
    EXPECT_TRUE(client->finish_by(10));
}

// Every request of the read traffic carries what a real server checks: the
// later called blocks name the read by its tag and its strand id (the test
// server refuses anything else).
TEST(ClientEndingTest, CalledBlockRequestsCarryTheReadTagAndStrandId) {
    test_server::BasecallerOptions options;
    options.called_block_bases = 40;  // every read comes back in several blocks
    options.max_batch_reads = 0;
    Server server(options);
    server.basecaller->add_fault("split:2@2");
    server.start();
    auto client = std::make_unique<Client>(BLOCK_SIZE, 50, 10, true, nullptr);
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    ASSERT_EQ(client->get_connection_state().get_status(), ClientStatus::connected);
    for (unsigned long long tag = 1; tag <= 3; ++tag) {
        pass(*client, make_read(tag, 2500));
    }
    ReadList reads = collect(*client, 4);
    EXPECT_TRUE(client->finish_by(10));
    ASSERT_EQ(reads.size(), 4u);
    std::map<std::string, unsigned long long> tag_of_strand;
    for (const ReadHolder& read : reads) {
        EXPECT_FALSE(is_unprocessed(read));
        tag_of_strand[read.metadata.get_as_string("strand_id")] = read.read_tag;
    }
    std::size_t next_requests = 0;
    for (const auto& request : server.server.requests()) {
        if (request.type == MessageType::GET_FIRST_CALLED_BLOCK) {
            EXPECT_EQ(request.value, 1u) << "moves asked for";
            EXPECT_EQ(request.text, "");
        } else if (request.type == MessageType::GET_NEXT_CALLED_BLOCK) {
            ++next_requests;
            ASSERT_EQ(tag_of_strand.count(request.text), 1u) << "strand id '" << request.text << "'";
            EXPECT_EQ(request.value, tag_of_strand.at(request.text));
        } else if (request.type == MessageType::NO_MORE_DATA) {
            EXPECT_EQ(request.value, 0u);
            EXPECT_EQ(request.text, "");
        }
    }
    EXPECT_GE(next_requests, 4u);
}

TEST(ClientEndingTest, ReportStateNamesTheStatusAndTheBuffer) {
    Server server(never_ready());
    server.start();
    auto client = std::make_unique<Client>(BLOCK_SIZE, 50, 7, false, nullptr);
    client->connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    pass(*client, make_read(1, 1500));
    ASSERT_TRUE(eventually([&] { return client->get_read_buffer()->num_submitted_reads() == 1; }));

    using common::diagnostics::state::StateRecord;
    std::vector<StateRecord> records;
    common::diagnostics::state::detail::ConcreteStateLogger logger(records);
    client->report_state(logger);
    ASSERT_GE(records.size(), 5u);
    EXPECT_EQ(records[0].name, "m_client_connection_state");
    EXPECT_EQ(boost::any_cast<std::string>(records[0].value), "connected");
    EXPECT_EQ(records[1].name, "m_accept_data");
    EXPECT_TRUE(boost::any_cast<bool>(records[1].value));
    EXPECT_EQ(records[2].name, "m_max_read_failures");
    EXPECT_EQ(boost::any_cast<unsigned long long>(records[2].value), 7u);
    EXPECT_EQ(records[3].kind, StateRecord::section_begin);
    EXPECT_EQ(records[3].name, "ReadBuffer");
    EXPECT_EQ(records.back().kind, StateRecord::section_end);
    bool submitted_reported = false;
    for (const StateRecord& record : records) {
        if (record.name == "m_submitted_reads (pushed to server not yet pulled)") {
            submitted_reported = boost::any_cast<unsigned long long>(record.value) == 1u;
        }
    }
    EXPECT_TRUE(submitted_reported);
    client->disconnect();
}

}  // namespace
