#include "apps/strandlink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/api/api_support.h"

namespace {

using api_support::DUPLEX;
using api_support::HAC;
using api_support::make_read;
using api_support::quick_params;
using api_support::RunningServer;
using apps::ConnectionStatus;
using apps::PassReadResult;
using apps::Read;
using apps::Result;
using apps::Strandlink;

// A client with quick time-outs, connected to the server unless told not to.
struct Connected {
    explicit Connected(const RunningServer& server, const std::string& config = HAC, bool connect = true)
            : client(server.address(), config, "", false) {
        EXPECT_EQ(client.set_params(quick_params()), Result::success);
        if (connect) {
            EXPECT_EQ(client.connect(), Result::success) << client.get_error_message();
        }
    }
    Strandlink client;
};

// Status changes as a handler receives them.
class ChangeLog {
public:
    using Change = std::tuple<ConnectionStatus, ConnectionStatus, std::string>;

    Strandlink::StateChangeHandler handler() {
        return [this](ConnectionStatus from, ConnectionStatus to, std::string text) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_changes.emplace_back(from, to, text);
            m_changed.notify_all();
        };
    }
    // The changes once one into `status` has come (or after 10 s).
    std::vector<Change> until(ConnectionStatus status) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(10), [&] {
            for (const auto& change : m_changes) {
                if (std::get<1>(change) == status) {
                    return true;
                }
            }
            return false;
        });
        return m_changes;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Change> m_changes;
};

TEST(StrandlinkTest, NewClientHasNoEngine) {
    Strandlink client("tcp://127.0.0.1:9", HAC, "", false);
    EXPECT_EQ(client.get_status(), ConnectionStatus::disconnected);
    EXPECT_EQ(client.get_error_message(), "");
    EXPECT_EQ(client.num_completed_reads(), 0u);
    EXPECT_EQ(client.num_buffered_samples(), 0u);
    kelp::data_wrappers::v2::Metadata config;
    config.insert("untouched", true);
    EXPECT_EQ(client.get_basecalling_config(config), Result::no_connection);
    EXPECT_EQ(config.size(), 1u);
    std::string header = "untouched";
    EXPECT_EQ(client.get_alignment_sam_header(header), Result::no_connection);
    apps::ConnectedServerInfo info;
    EXPECT_EQ(client.get_connected_server_info(info), Result::no_connection);
    std::vector<std::vector<Read>> reads(1);
    client.get_completed_reads(reads);
    EXPECT_EQ(reads.size(), 1u);
    Read read = make_read(1);
    EXPECT_EQ(client.pass_read(read, 0), PassReadResult::not_accepting_reads);
    EXPECT_EQ(read.get_by_name("read_id"), "read-1");
    EXPECT_EQ(client.finish(0), Result::no_connection);
    EXPECT_EQ(client.disconnect(), Result::no_connection);
    client.no_more_data();
}

TEST(StrandlinkTest, ValidationNamesEveryFault) {
    struct Case {
        std::string name;
        std::function<void(Read&)> change;
        std::string text;
    };
    const std::string missing = "Missing data in ReadHolder object:";
    const std::string wrong = "Wrong data type in ReadHolder object:";
    auto md = [](Read& r) -> kelp::data_wrappers::v2::Metadata& { return r.get_metadata(); };
    const std::vector<Case> cases = {
            {"read_id and start_time missing",
             [&](Read& r) {
                 md(r).remove("read_id");
                 md(r).remove("start_time");
             },
             missing + " read_id metadata field not found. start_time metadata field not found."},
            {"everything missing", [](Read& r) { r.clear(); },
             missing + " raw_data dataset not found. read_id metadata field not found. daq_offset field not found."
                       " daq_scaling metadata field not found. sampling_rate metadata field not found."
                       " start_time metadata field not found."},
            {"read_id of another type", [&](Read& r) { md(r).insert("read_id", 17); },
             wrong + " read_id metadata field is not a string."},
            {"raw data of another type",
             [](Read& r) { r.get_datasets()[dataset::raw_data].own(std::vector<float>(500, 1.0f)); },
             wrong + " raw_data dataset does not hold int16 samples."},
            {"floats as doubles",
             [&](Read& r) {
                 md(r).insert("daq_offset", 1.0);
                 md(r).insert("sampling_rate", 4000.0);
             },
             wrong + " daq_offset metadata field is not a float. sampling_rate metadata field is not a float."},
            {"start_time signed", [&](Read& r) { md(r).insert("start_time", 5ll); },
             wrong + " start_time metadata field is not an unsigned 64-bit integer."},
            {"optional keys of other types",
             [&](Read& r) {
                 md(r).insert("sequencing_kit", 3);
                 md(r).insert("channel", 3u);
                 md(r).insert("mux", 1);
             },
             wrong + " channel metadata field is not a 32-bit integer. mux metadata field is not an unsigned "
                     "32-bit integer. sequencing_kit metadata field is not a string."},
            {"missing and wrong together",
             [&](Read& r) {
                 md(r).remove("daq_scaling");
                 md(r).insert("read_id", 1.5f);
             },
             missing + " daq_scaling metadata field not found. " + wrong +
                     " read_id metadata field is not a string."},
    };
    Strandlink client("tcp://127.0.0.1:9", HAC, "", false);
    for (const auto& c : cases) {
        Read read = make_read(1);
        c.change(read);
        std::string error;
        EXPECT_FALSE(client.validate_read(read, error)) << c.name;
        EXPECT_EQ(error, c.text) << c.name;
    }
    std::string error = "kept";
    EXPECT_TRUE(client.validate_read(make_read(1), error));
    EXPECT_EQ(error, "kept");
}

TEST(StrandlinkTest, BadReadsAreRefusedWithNothingQueued) {
    RunningServer server;
    Connected c(server);
    Read wrong_type = make_read(1);
    wrong_type.get_metadata().insert("read_id", 5);
    EXPECT_EQ(c.client.pass_read(wrong_type, 0), PassReadResult::bad_read);
    EXPECT_FALSE(wrong_type.get_metadata().exists("duration"));

    // pass_reads: the third of five is bad; all come back in order, the two
    // before it annotated.
    std::vector<Read> reads;
    for (std::uint64_t tag = 10; tag < 15; ++tag) {
        reads.push_back(make_read(tag));
    }
    reads[2].get_metadata().remove("sampling_rate");
    EXPECT_EQ(c.client.pass_reads(reads, 0), PassReadResult::bad_read);
    ASSERT_EQ(reads.size(), 5u);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i].get_read_tag(), 10 + i);
        EXPECT_EQ(reads[i].get_metadata().exists("duration"), i < 2) << i;
    }
    EXPECT_EQ(reads[0].get_by_name("strand_id"), "read-10");
    EXPECT_EQ(c.client.num_buffered_samples(), 0u);
    EXPECT_EQ(c.client.finish(30), Result::success);
    EXPECT_EQ(c.client.num_completed_reads(), 0u);
}

TEST(StrandlinkTest, ReadTagsAreUniqueBelow2To32AndFreeOnceCollected) {
    RunningServer server;
    Connected c(server);
    struct Case {
        std::string name;
        std::vector<std::uint64_t> tags;
        std::string text;
    };
    Read held = make_read(5);
    ASSERT_EQ(c.client.pass_read(held, 1000), PassReadResult::success);
    const std::vector<Case> cases = {
            {"repeated in one call", {1, 2, 1}, "Bad read tag 1: more than one read of the tag passed together."},
            {"held by the client", {3, 5},
             "Bad read tag 5: the client still holds a read of that tag (queued, at the server, or completed and "
             "not yet collected)."},
            {"beyond 32 bits", {4294967296ull},
             "Bad read tag 4294967296: read tags must be below 2^32, the server sees only their low 32 bits."},
    };
    for (const auto& tc : cases) {
        std::vector<Read> reads;
        for (const auto tag : tc.tags) {
            reads.push_back(make_read(tag));
        }
        EXPECT_EQ(c.client.pass_reads(reads, 0), PassReadResult::bad_read) << tc.name;
        EXPECT_EQ(reads.size(), tc.tags.size()) << tc.name;
        EXPECT_EQ(reads.back().get_by_name("read_id"), "read-" + std::to_string(tc.tags.back())) << tc.name;
        if (tc.tags.size() == 1) {
            EXPECT_EQ(c.client.pass_read(reads[0], 0), PassReadResult::bad_read) << tc.name;
        }
    }
    // The refused tags were not taken: 1 to 4 pass now (2^32 - 1 too).
    std::vector<Read> fine;
    for (const std::uint64_t tag : {1ull, 2ull, 3ull, 4ull, 4294967295ull}) {
        fine.push_back(make_read(tag));
    }
    EXPECT_EQ(c.client.pass_reads(fine, 1000), PassReadResult::success);

    // Tag 5 is held until its read is collected, also once completed.
    auto groups = api_support::collect(c.client, 6);
    std::set<std::uint64_t> back;
    for (const auto& group : groups) {
        back.insert(group.front().get_read_tag());
    }
    EXPECT_EQ(back, (std::set<std::uint64_t>{1, 2, 3, 4, 5, 4294967295ull}));
    Read again = make_read(5);
    EXPECT_EQ(c.client.pass_read(again, 1000), PassReadResult::success);
    EXPECT_EQ(c.client.finish(30), Result::success);
}

TEST(StrandlinkTest, ParametersOnlyWhileDisconnected) {
    RunningServer server;
    Connected c(server);
    kelp::data_wrappers::v2::Metadata params;
    params.insert("query_timeout", static_cast<unsigned int>(1));
    EXPECT_EQ(c.client.set_params(params), Result::already_connected);
    EXPECT_EQ(c.client.set_priority(Read::Priority::HIGH_PRIORITY), Result::already_connected);
    EXPECT_EQ(c.client.set_callback_function(nullptr), Result::already_connected);
    EXPECT_EQ(c.client.set_state_change_handler(nullptr), Result::already_connected);
    EXPECT_EQ(c.client.connect(), Result::already_connected);
    EXPECT_NE(c.client.get_internal_state().find("\"m_timeout\": " + std::to_string(api_support::QUERY_TIMEOUT_MS)),
              std::string::npos);
    EXPECT_EQ(c.client.disconnect(), Result::success);
    EXPECT_EQ(c.client.get_status(), ConnectionStatus::disconnected);
}

TEST(StrandlinkTest, ParametersOfOtherTypesAreKeptOutAndOptionsReachTheServer) {
    RunningServer server;
    Connected c(server, HAC, false);
    kelp::data_wrappers::v2::Metadata params;
    params.insert("query_timeout", 1);  // signed: ignored
    params.insert("max_reads_queued", static_cast<unsigned long long>(7));
    params.insert("chunk_size", static_cast<unsigned long long>(4000));  // a basecalling option only
    params.insert("barcode_kits", std::string("KIT-BC24"));
    EXPECT_EQ(c.client.set_params(params), Result::success);
    const std::string state = c.client.get_internal_state();
    EXPECT_NE(state.find("\"m_timeout\": " + std::to_string(api_support::QUERY_TIMEOUT_MS)), std::string::npos)
            << state;
    EXPECT_NE(state.find("\"m_max_reads_queued\": 7"), std::string::npos) << state;
    EXPECT_NE(state.find("\"client\": \"null\""), std::string::npos) << state;

    ASSERT_EQ(c.client.connect(), Result::success) << c.client.get_error_message();
    const auto clients = server.registration->clients();
    ASSERT_EQ(clients.size(), 1u);
    const auto& options = clients[0].info.options;
    EXPECT_EQ(options.get_as_string("chunk_size"), "4000");
    EXPECT_EQ(clients[0].info.client_name, "api_test");
    EXPECT_EQ(clients[0].info.barcode_kits, "KIT-BC24");

    kelp::data_wrappers::v2::Metadata config;
    EXPECT_EQ(c.client.get_basecalling_config(config), Result::success);
    EXPECT_EQ(config.get_as_string("config_name"), HAC);
    EXPECT_FALSE(config.get_value<bool>("duplex"));
    apps::ConnectedServerInfo info;
    EXPECT_EQ(c.client.get_connected_server_info(info), Result::success);
    EXPECT_EQ(info.server_version, "7.4.0+test");
    EXPECT_NE(info.gpu_device_names.find("Test GPU 80GB"), std::string::npos);
    EXPECT_FALSE(info.client_uid.empty());
}

TEST(StrandlinkTest, RelativePathThatCannotBeResolvedThrowsBeforeConnecting) {
    RunningServer server;
    Connected c(server, HAC, false);
    kelp::data_wrappers::v2::Metadata params;
    params.insert("align_ref", std::string("no/such/dir/reference.fasta"));
    ASSERT_EQ(c.client.set_params(params), Result::success);
    EXPECT_THROW(c.client.connect(), std::runtime_error);
    EXPECT_EQ(c.client.get_status(), ConnectionStatus::disconnected);
    EXPECT_TRUE(server.registration->clients().empty());
}

TEST(StrandlinkTest, ConnectionErrorsAndTheWayOut) {
    RunningServer server;
    Connected c(server, "no_such_configuration", false);
    EXPECT_EQ(c.client.connect(), Result::basecall_config_unavailable);
    EXPECT_EQ(c.client.get_status(), ConnectionStatus::error);
    EXPECT_EQ(c.client.get_error_message().rfind("[basecall_config_unavailable] ", 0), 0u)
            << c.client.get_error_message();
    // error: connect and finish refuse, disconnect leads out.
    EXPECT_EQ(c.client.connect(), Result::failed);
    EXPECT_EQ(c.client.finish(1), Result::failed);
    kelp::data_wrappers::v2::Metadata none;
    EXPECT_EQ(c.client.set_params(none), Result::already_connected);
    EXPECT_EQ(c.client.disconnect(), Result::success);
    EXPECT_EQ(c.client.get_status(), ConnectionStatus::disconnected);
    EXPECT_EQ(c.client.get_error_message(), "");

    Strandlink nobody("tcp://127.0.0.1:9", HAC, "", false);
    kelp::data_wrappers::v2::Metadata params = quick_params();
    params.insert("query_timeout", static_cast<unsigned int>(200));
    ASSERT_EQ(nobody.set_params(params), Result::success);
    EXPECT_EQ(nobody.connect(), Result::timed_out);
}

TEST(StrandlinkTest, DuplexConfigurationAsksForPairingKeys) {
    RunningServer server;
    for (const bool duplex : {false, true}) {
        Connected c(server, duplex ? DUPLEX : HAC);
        Read read = make_read(1);
        std::string error;
        EXPECT_EQ(c.client.validate_read(read, error), !duplex);
        EXPECT_EQ(c.client.pass_read(read, 1000), duplex ? PassReadResult::bad_read : PassReadResult::success);
        if (duplex) {
            EXPECT_EQ(error,
                      "Missing data in ReadHolder object: channel metadata field not found. mux metadata field not "
                      "found. run_id metadata field not found.");
            read.get_metadata().insert("channel", 12);
            read.get_metadata().insert("mux", 2u);
            read.get_metadata().insert("run_id", std::string("run"));
            EXPECT_EQ(c.client.pass_read(read, 1000), PassReadResult::success);
        }
        EXPECT_EQ(c.client.finish(30), Result::success);
    }
}

TEST(StrandlinkTest, ThreadsPassAtOnceAndEveryReadComesBackOnceGroupedByTag) {
    RunningServer server;
    server.basecaller->add_fault("split:3@%4");  // the server splits every 4th read
    Connected c(server);

    constexpr unsigned THREADS = 4;
    constexpr std::uint64_t PER_THREAD = 40;
    std::vector<std::thread> threads;
    std::atomic<int> refused{0};
    for (unsigned t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint64_t i = 0; i < PER_THREAD; ++i) {
                const std::uint64_t tag = t * PER_THREAD + i;
                // Short reads come back at once, uncalled; the rest are called.
                Read read = make_read(tag, tag % 10 == 0 ? 50 : 800 + 37 * tag);
                PassReadResult result;
                while ((result = c.client.pass_read(read, 100)) == PassReadResult::queue_full) {
                }
                if (result != PassReadResult::success) {
                    ++refused;
                }
            }
        });
    }
    std::vector<std::vector<Read>> groups;
    const auto collector_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::set<std::uint64_t> tags;
    std::size_t reads = 0;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(c.client.finish(60), Result::success);
    while (tags.size() < THREADS * PER_THREAD && std::chrono::steady_clock::now() < collector_deadline) {
        const std::size_t before = groups.size();
        c.client.get_completed_reads(groups);
        for (std::size_t i = before; i < groups.size(); ++i) {
            EXPECT_TRUE(tags.insert(groups[i].front().get_read_tag()).second) << "tag came back twice";
            for (const auto& read : groups[i]) {
                EXPECT_EQ(read.get_read_tag(), groups[i].front().get_read_tag());
            }
            reads += groups[i].size();
        }
    }
    EXPECT_EQ(tags.size(), THREADS * PER_THREAD);
    EXPECT_GT(reads, tags.size());  // split reads came back as sub reads in one group
    bool saw_split = false;
    for (const auto& group : groups) {
        if (group.size() > 1) {
            saw_split = true;
            std::set<std::uint64_t> sub_tags;
            for (const auto& read : group) {
                sub_tags.insert(read.get_sub_tag());
            }
            EXPECT_EQ(sub_tags.size(), group.size());
        }
        const bool short_read = group.front().get_read_tag() % 10 == 0;
        EXPECT_EQ(group.front().get_datasets().count(dataset::sequence) == 0, short_read);
        EXPECT_EQ(group.front().get_by_name("strand_id"), "read-" + std::to_string(group.front().get_read_tag()));
    }
    EXPECT_TRUE(saw_split);
    // Groups of a second collection go behind those already there.
    const std::size_t kept = groups.size();
    c.client.get_completed_reads(groups);
    EXPECT_EQ(groups.size(), kept);
    EXPECT_EQ(c.client.disconnect(), Result::no_connection);
}

TEST(StrandlinkTest, HandlerSeesTheConnectionFromStartToEndAndNewHandlersTakeEffectAtConnect) {
    // The logs outlive the client, whose engines may still report to them.
    ChangeLog first;
    ChangeLog second;
    RunningServer server;
    Connected c(server, HAC, false);
    ASSERT_EQ(c.client.set_state_change_handler(first.handler()), Result::success);
    ASSERT_EQ(c.client.connect(), Result::success);
    auto changes = first.until(ConnectionStatus::connected);
    ASSERT_GE(changes.size(), 2u);
    EXPECT_EQ(changes.front(), std::make_tuple(ConnectionStatus::disconnected,
                                               ConnectionStatus::preparing_connection, std::string("[no_error] ")));
    EXPECT_EQ(changes.back(),
              std::make_tuple(ConnectionStatus::connecting, ConnectionStatus::connected, std::string("[no_error] ")));
    ASSERT_EQ(c.client.disconnect(), Result::success);
    first.until(ConnectionStatus::disconnected);

    // A new handler takes over at the next connect; the first one keeps the
    // engine it was given (its copy), and hears nothing of the new one.
    ASSERT_EQ(c.client.set_state_change_handler(second.handler()), Result::success);
    const std::size_t first_count = first.until(ConnectionStatus::disconnected).size();
    ASSERT_EQ(c.client.connect(), Result::success);
    EXPECT_FALSE(second.until(ConnectionStatus::connected).empty());
    EXPECT_EQ(first.until(ConnectionStatus::disconnected).size(), first_count);
    Read read = make_read(1);
    EXPECT_EQ(c.client.pass_read(read, 1000), PassReadResult::success);
    EXPECT_EQ(api_support::collect(c.client, 1).size(), 1u);
    EXPECT_EQ(c.client.finish(0), Result::success);
}

TEST(StrandlinkTest, HandlerThatCallsBackIntoTheClientWhileItsEngineIsReplaced) {
    // The old engine goes at the next connect and waits for its last
    // notification, whose handler asks the client for its status: the
    // replacement must not hold the client's lock meanwhile.
    std::atomic<int> calls{0};
    RunningServer server;
    Connected c(server, HAC, false);
    Strandlink* client = &c.client;
    ASSERT_EQ(c.client.set_state_change_handler([&, client](ConnectionStatus, ConnectionStatus to, std::string) {
        if (to == ConnectionStatus::disconnected) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            client->get_status();
            client->num_completed_reads();
            ++calls;
        }
    }),
              Result::success);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(c.client.connect(), Result::success);
        ASSERT_EQ(c.client.disconnect(), Result::success);
    }
    ASSERT_EQ(c.client.connect(), Result::success);
    EXPECT_GE(calls.load(), 3);
    // The last notification is delivered before the client goes.
    ASSERT_EQ(c.client.disconnect(), Result::success);
    while (calls.load() < 4) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(StrandlinkTest, SecondConnectWorksOnANewEngine) {
    RunningServer server;
    Connected c(server);
    apps::ConnectedServerInfo first;
    ASSERT_EQ(c.client.get_connected_server_info(first), Result::success);
    Read read = make_read(1);
    ASSERT_EQ(c.client.pass_read(read, 1000), PassReadResult::success);
    ASSERT_EQ(api_support::collect(c.client, 1).size(), 1u);
    ASSERT_EQ(c.client.finish(30), Result::success);
    EXPECT_EQ(c.client.finish(30), Result::no_connection);

    ASSERT_EQ(c.client.connect(), Result::success);
    apps::ConnectedServerInfo second;
    ASSERT_EQ(c.client.get_connected_server_info(second), Result::success);
    EXPECT_NE(second.client_uid, first.client_uid);
    Read again = make_read(1);
    EXPECT_EQ(c.client.pass_read(again, 1000), PassReadResult::success);
    auto groups = api_support::collect(c.client, 1);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0][0].get_read_tag(), 1u);
    EXPECT_EQ(c.client.disconnect(), Result::success);
}

// Lifecycle calls of one client from several threads at once take turns:
// each ends with a result code, the parameters are never read while they
// change, and one engine is started, stopped or replaced at a time.
TEST(StrandlinkTest, LifecycleCallsFromSeveralThreadsTakeTurns) {
    RunningServer server;
    Connected c(server, HAC, false);
    const std::set<Result> connect_results = {Result::success, Result::already_connected};
    const std::set<Result> stop_results = {Result::success, Result::no_connection, Result::not_ready};
    const std::set<Result> setter_results = {Result::success, Result::already_connected};
    std::atomic<bool> cycling{true};
    auto cycle = [&] {
        for (int round = 0; round < 15; ++round) {
            const Result connected = c.client.connect();
            EXPECT_TRUE(connect_results.count(connected)) << apps::to_string(connected);
            const Result stopped = round % 2 == 0 ? c.client.disconnect() : c.client.finish(30);
            EXPECT_TRUE(stop_results.count(stopped)) << apps::to_string(stopped);
        }
    };
    auto configure = [&] {
        for (int round = 0; cycling.load(); ++round) {
            kelp::data_wrappers::v2::Metadata params = quick_params();
            params.insert("client_name", "api_test client name long enough to live on the heap " +
                                                 std::to_string(round));
            params.insert("minimap_opt_string", std::string(64 + round % 64, ' '));
            params.insert("max_reads_queued", static_cast<unsigned long long>(20 + round % 5));
            const Result set = c.client.set_params(params);
            EXPECT_TRUE(setter_results.count(set)) << apps::to_string(set);
            const Result priority = c.client.set_priority(Read::Priority::LOW_PRIORITY);
            EXPECT_TRUE(setter_results.count(priority)) << apps::to_string(priority);
            EXPECT_NE(c.client.get_internal_state().find("\"m_model_set\": \"signal_model_hac\""),
                      std::string::npos);
        }
    };
    auto stop = [&] {
        while (cycling.load()) {
            const Result stopped = c.client.disconnect();
            EXPECT_TRUE(stop_results.count(stopped)) << apps::to_string(stopped);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    std::vector<std::thread> cyclers;
    cyclers.emplace_back(cycle);
    cyclers.emplace_back(cycle);
    std::thread configurer(configure);
    std::thread stopper(stop);
    for (auto& thread : cyclers) {
        thread.join();
    }
    cycling = false;
    configurer.join();
    stopper.join();
    // Whatever the last call left, the client still works.
    c.client.disconnect();
    ASSERT_EQ(c.client.connect(), Result::success) << c.client.get_error_message();
    Read read = make_read(1);
    EXPECT_EQ(c.client.pass_read(read, 5000), PassReadResult::success);
    EXPECT_EQ(c.client.finish(60), Result::success);
}

TEST(StrandlinkTest, DisconnectFromAnotherThreadEndsAFinishWithoutTimeLimit) {
    RunningServer server;
    Connected c(server);
    // The server keeps the read for ever: finish(0) would wait for good.
    server.server.apply_rule("GET_FIRST_CALLED_BLOCK=NONE_PENDING");
    Read read = make_read(1);
    ASSERT_EQ(c.client.pass_read(read, 5000), PassReadResult::success);
    std::promise<Result> finished;
    std::thread finisher([&] { finished.set_value(c.client.finish(0)); });
    auto finish_result = finished.get_future();
    // Give the finish time to start waiting; either order must end well.
    EXPECT_EQ(finish_result.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    std::promise<Result> disconnected;
    std::thread disconnecter([&] { disconnected.set_value(c.client.disconnect()); });
    auto disconnect_result = disconnected.get_future();
    // A hang would otherwise hold the whole run until ctest's time-out.
    if (disconnect_result.wait_for(std::chrono::seconds(60)) != std::future_status::ready ||
        finish_result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "disconnect or finish did not return";
        std::_Exit(1);
    }
    EXPECT_EQ(disconnect_result.get(), Result::success);
    EXPECT_EQ(finish_result.get(), Result::not_ready);
    finisher.join();
    disconnecter.join();
    EXPECT_EQ(c.client.get_status(), ConnectionStatus::disconnected);
}

TEST(StrandlinkTest, StateReportCarriesTheClientAndItsEngine) {
    RunningServer server;
    Connected c(server);
    const std::string state = c.client.get_internal_state();
    for (const char* key : {"\"Strandlink", "\"status\": \"connected\"", "\"m_model_set\": \"signal_model_hac\"",
                            "\"m_block_size\": 256000", "\"Client\""}) {
        EXPECT_NE(state.find(key), std::string::npos) << key << " in " << state;
    }
}

TEST(StrandlinkTest, StateReportsWhileClientsComeAndGo) {
    // A client leaves the state reports before any of it is destroyed.
    std::atomic<bool> running{true};
    std::thread reporter([&] {
        Strandlink observer("tcp://127.0.0.1:9", HAC, "", false);
        while (running.load()) {
            // Several clients report under "Strandlink_" and a number each.
            EXPECT_NE(observer.get_internal_state().find("\"m_model_set\": \"signal_model_hac\""),
                      std::string::npos);
        }
    });
    for (int i = 0; i < 200; ++i) {
        Strandlink client("tcp://127.0.0.1:9", HAC, "", false);
    }
    running = false;
    reporter.join();
}

}  // namespace
