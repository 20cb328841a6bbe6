#include "strandlink/read_processing_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "strandlink/client.h"
#include "tests/strandlink/engine_support.h"

namespace {

using engine_support::collect;
using engine_support::connection_info;
using engine_support::LIVE_TIMEOUT_MS;
using engine_support::SILENCE_TIMEOUT_MS;
using engine_support::make_read;
using engine_support::Server;
using interfaces::ReadList;
using ipc_tools::MessageType;
using strandlink::Client;
using strandlink::ClientQueueReadsResult;
using strandlink::ClientStatus;
using strandlink::ConnectionError;


// One way the read traffic fails, the reads that meet it, and the error that
// ends the connection.
struct FailureCase {
    const char* name;
    std::vector<std::string> server_rules;
    std::vector<std::string> faults;
    std::vector<std::size_t> reads;  // sizes; more than one travel as one list
    ConnectionError code;
    std::string message;  // exact, or a prefix when it ends with "*"
};

void run_failure_case(const FailureCase& c) {
    SCOPED_TRACE(c.name);
    test_server::BasecallerOptions options;
    options.called_block_bases = 60;  // longer reads come back in several blocks
    Server server(options);
    for (const auto& rule : c.server_rules) {
        server.server.apply_rule(rule);
    }
    for (const auto& fault : c.faults) {
        server.basecaller->add_fault(fault);
    }
    server.start();
    Client client(1000, 50, 10, true, nullptr);
    client.set_reconnect_timeout(std::chrono::seconds(0));
    client.connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    ASSERT_EQ(client.get_connection_state().get_status(), ClientStatus::connected);
    ReadList list;
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
        list.push_back(make_read(i + 1, c.reads[i]));
    }
    ASSERT_EQ(client.pass_reads(list, 5000), ClientQueueReadsResult::success);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (client.connection_status_is_active() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto error = client.get_connection_state().get_error_state();
    EXPECT_EQ(client.get_connection_state().get_status(), ClientStatus::error);
    EXPECT_EQ(error.code, c.code) << error;
    if (!c.message.empty() && c.message.back() == '*') {
        EXPECT_EQ(error.message.rfind(c.message.substr(0, c.message.size() - 1), 0), 0u) << error;
    } else {
        EXPECT_EQ(error.message, c.message);
    }
    client.disconnect();
}

TEST(ReadProcessingProtocolTest, PushAndPullRepliesItCannotUseEndTheConnection) {
    const std::vector<FailureCase> cases = {
            {"later block refused", {"PASS_NEXT_RAW_BLOCK=NOT_READY"}, {}, {2500},
             ConnectionError::bad_reply,
             "Server accepted first block of read, but then rejected subsequent block for read: 1"},
            {"batch answered as a block", {"PASS_READ_BATCH=RAW_BLOCK_ACCEPTED"}, {}, {300, 400},
             ConnectionError::invalid_response,
             "Failed to push to server, invalid reply: RAW_BLOCK_ACCEPTED from basecall server when passing read "
             "batch with first read: 1. Connection id: client-1"},
            {"block answered as a batch", {"PASS_FIRST_RAW_BLOCK=BATCH_ACCEPTED"}, {}, {1500},
             ConnectionError::invalid_response,
             "Failed to push to server, invalid reply: BATCH_ACCEPTED from basecall server when passing raw read "
             "data for read: 1. Connection id: client-1"},
            {"pull answered wrongly", {"GET_FIRST_CALLED_BLOCK=SUCCESS"}, {}, {500},
             ConnectionError::invalid_response, "Failed to pull from server, invalid reply: SUCCESS"},
            {"next block answered wrongly", {"GET_NEXT_CALLED_BLOCK=SUCCESS"}, {}, {2500},
             ConnectionError::invalid_response, "Failed to get next block from server, invalid reply: SUCCESS"},
            {"refused by the server", {"GET_FIRST_CALLED_BLOCK=BAD_REQUEST:busy"}, {}, {500},
             ConnectionError::bad_request, "Bad request message: GET_FIRST_CALLED_BLOCK. busy"},
    };
    for (const FailureCase& c : cases) {
        run_failure_case(c);
    }
}

// Called reads that cannot be assembled: refused with a clear text, never
// read past what the reply holds.
TEST(ReadProcessingProtocolTest, MalformedCalledReadsAreRefused) {
    const std::vector<FailureCase> cases = {
            {"read of another client", {}, {"foreign_tag@*"}, {500}, ConnectionError::bad_reply,
             "Returned read does not belong to this client: *"},
            {"duration 0", {}, {"duration_zero@*"}, {500}, ConnectionError::failed,
             "Duration metadata missing for submitted read: 1"},
            {"genome name too long", {}, {"long_genome@*"}, {500}, ConnectionError::bad_reply,
             "Alignment genome name *"},
            {"model stride 0", {}, {"stride_zero@*"}, {500}, ConnectionError::bad_reply,
             "Returned read 1 is malformed: model stride 0"},
            {"trimmed beyond the read", {}, {"trimmed_over_duration@*"}, {500}, ConnectionError::bad_reply,
             "Returned read 1 is malformed: trimmed samples*"},
            {"no strand id", {}, {"missing:strand_id@*"}, {500}, ConnectionError::bad_reply,
             "Returned read 1 is malformed: no strand id"},
            {"no called data", {}, {"missing:called_data@*"}, {500}, ConnectionError::bad_reply,
             "Returned read 1 is malformed: no called data"},
            {"no sequence", {}, {"missing:sequence@*"}, {500}, ConnectionError::bad_reply,
             "Returned read 1 is malformed: no sequence or quality string"},
            {"no quality string in a later block", {}, {"missing_later:qstring@*"}, {2500},
             ConnectionError::bad_reply, "Returned block 1 of read 1 is malformed: no sequence or quality string"},
            {"no probabilities", {}, {"missing:base_mod_probs@*"}, {500}, ConnectionError::bad_reply,
             "Returned read 1 is malformed: incomplete modified-base data"},
            {"no genome", {}, {"missing:genome@*"}, {500}, ConnectionError::bad_reply,
             "Returned read 1 is malformed: incomplete alignment results"},
            {"probabilities one short", {}, {"probs_mismatch@*"}, {500}, ConnectionError::bad_reply,
             "Returned read 1 is malformed: *"},
            {"lengths the reply cannot fill", {}, {"huge_lengths@*"}, {500}, ConnectionError::bad_reply,
             "Returned read 1 is malformed: *"},
            {"one read twice in a batch", {}, {"duplicate_tag@*"}, {300, 400}, ConnectionError::invalid_response,
             "Failed to pull from server, incorrectly formed read batch."},
            {"batch without blocks", {}, {"batch_without_blocks@*"}, {300, 400}, ConnectionError::invalid_response,
             "Failed to pull from server, incorrectly formed read batch."},
            {"malformed read inside a batch", {}, {"stride_zero@2"}, {300, 400}, ConnectionError::invalid_response,
             "Failed to pull from server, incorrectly formed read batch."},
            {"garbage", {}, {"garbage@*"}, {500}, ConnectionError::bad_reply, "*"},
    };
    for (const FailureCase& c : cases) {
        run_failure_case(c);
    }
}

// A time-out while the further blocks of a batch's read are fetched is a
// time-out: the engine reconnects, resubmits, and the reads come back.
TEST(ReadProcessingProtocolTest, TimeOutInsideABatchReconnectsAndResubmits) {
    test_server::BasecallerOptions options;
    options.called_block_bases = 60;
    options.batch_long_reads = true;
    options.polls_before_ready = 3;
    Server server(options);
    server.server.apply_rule("GET_NEXT_CALLED_BLOCK#1=silence");
    server.start();
    Client client(1000, 50, 10, true, nullptr);
    client.connect(server.server.endpoint(), SILENCE_TIMEOUT_MS, 5, connection_info());
    const auto call_options = test_server::Basecaller::call_options(server.registration->clients().at(0), true);
    ReadList list;
    for (unsigned long long tag = 1; tag <= 3; ++tag) {
        list.push_back(make_read(tag, 2000));
    }
    ASSERT_EQ(client.pass_reads(list, 5000), ClientQueueReadsResult::success);
    ReadList reads = collect(client, 3);
    EXPECT_TRUE(client.finish_by(60));
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_GE(server.server.request_count(MessageType::CONNECT), 2u);
    for (const auto& read : reads) {
        engine_support::check_called(read, engine_support::expected_for(read.read_tag, 2000, call_options).at(0));
    }
}

// A server that has every read ready at its first poll and hands reads back
// two to a batch, with `rules` applied, and a client connected to it that
// has passed reads 1 to 4 of 300 samples, all in one push.
struct BatchesOfTwo {
    explicit BatchesOfTwo(const std::vector<std::string>& rules = {}) : server(options()) {
        for (const auto& rule : rules) {
            server.server.apply_rule(rule);
        }
        server.start();
        client.set_reconnect_timeout(std::chrono::seconds(0));
        client.connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
        call_options = test_server::Basecaller::call_options(server.registration->clients().at(0), false);
        ReadList list;
        for (unsigned long long tag = 1; tag <= 4; ++tag) {
            list.push_back(make_read(tag, 300));
        }
        passed = client.pass_reads(list, 5000);
    }
    static test_server::BasecallerOptions options() {
        test_server::BasecallerOptions options;
        options.max_batch_reads = 2;
        return options;
    }
    void check_called(const interfaces::ReadHolder& read) const {
        engine_support::check_called(read, engine_support::expected_for(read.read_tag, 300, call_options).at(0));
    }

    Server server;
    Client client{10000, 50, 10, false, nullptr};
    test_server::CallOptions call_options;
    ClientQueueReadsResult passed = ClientQueueReadsResult::success;
};

// The reads of a completed batch are filled while the next request is on
// the wire. What goes next is chosen as if they were back already: once the
// last batch has come, no further poll goes out.
TEST(ReadProcessingProtocolTest, CompletedBatchesCostNoExtraPoll) {
    BatchesOfTwo traffic;
    ASSERT_EQ(traffic.passed, ClientQueueReadsResult::success);
    ReadList reads = collect(traffic.client, 4);
    ASSERT_EQ(reads.size(), 4u);
    for (const auto& read : reads) {
        traffic.check_called(read);
    }
    EXPECT_TRUE(traffic.client.finish_by(60));
    // One push, then two polls each answered by a batch of 2.
    EXPECT_EQ(traffic.server.server.request_count(MessageType::PASS_READ_BATCH), 1u);
    EXPECT_EQ(traffic.server.server.request_count(MessageType::GET_FIRST_CALLED_BLOCK), 2u);
}

// A batch that has come back is the client's even when the request after it
// fails: its reads come back called, the others unprocessed.
TEST(ReadProcessingProtocolTest, ACompletedBatchOutlivesAFailedNextRequest) {
    BatchesOfTwo traffic({"GET_FIRST_CALLED_BLOCK#2=BAD_REQUEST:busy"});
    ASSERT_EQ(traffic.passed, ClientQueueReadsResult::success);
    Client& client = traffic.client;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (client.connection_status_is_active() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(client.get_connection_state().get_error_state().code, ConnectionError::bad_request);
    ReadList reads = collect(client, 4);
    ASSERT_EQ(reads.size(), 4u);
    std::vector<unsigned long long> called;
    for (const auto& read : reads) {
        if (engine_support::is_unprocessed(read)) {
            EXPECT_FALSE(read.metadata.exists("basecall_type")) << read.read_tag;
        } else {
            traffic.check_called(read);
            called.push_back(read.read_tag);
        }
    }
    std::sort(called.begin(), called.end());
    EXPECT_EQ(called, (std::vector<unsigned long long>{1, 2}));
    client.disconnect();
}

TEST(ReadProcessingProtocolTest, EndOfDataGoesOutOnceTheQueuedReadsHaveGone) {
    test_server::BasecallerOptions options;
    options.polls_before_ready = 1000000;  // nothing finishes until the end of data
    Server server(options);
    server.start();
    Client client(1000, 50, 10, false, nullptr);
    client.connect(server.server.endpoint(), LIVE_TIMEOUT_MS, 5, connection_info());
    for (unsigned long long tag = 1; tag <= 4; ++tag) {
        auto read = make_read(tag, 1500);
        ASSERT_EQ(client.pass_read(read, 5000), ClientQueueReadsResult::success);
    }
    client.set_no_more_data();
    ReadList reads = collect(client, 4);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(server.server.request_count(MessageType::NO_MORE_DATA), 1u);
    // GET_FIRST_CALLED_BLOCK carries 0: this client did not ask for moves.
    for (const auto& request : server.server.requests()) {
        if (request.type == MessageType::GET_FIRST_CALLED_BLOCK) {
            EXPECT_EQ(request.value, 0u);
        }
    }
    EXPECT_TRUE(client.finish_by(60));
}

}  // namespace
