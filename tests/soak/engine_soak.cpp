// Soak of the engine: reads of random lengths stream from several threads
// while the server restarts at random points, many times over. At the end
// every read handed in has come back exactly once: called as the server's
// call function predicts, or unprocessed with its samples intact.
//
// Usage: engine_soak [--restarts N] [--seed S] [gtest options]

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "strandlink/client.h"
#include "tests/strandlink/engine_support.h"

namespace {

unsigned g_restarts = 100;
unsigned g_seed = 12345;

using engine_support::make_read;
using interfaces::ReadHolder;
using interfaces::ReadList;
using ipc_tools::MessageType;

TEST(EngineSoak, EveryReadComesBackOnceThroughServerRestarts) {
    std::mt19937 random(g_seed);
    test_server::BasecallerOptions options;
    options.polls_before_ready = 1;
    options.max_reads = 40;
    engine_support::Server server(options);
    server.basecaller->add_fault("split:3@%13");
    // Restarts at random points of the request stream, spread so that the
    // engine gets some traffic through between them.
    std::uint64_t at = 0;
    for (unsigned i = 0; i < g_restarts; ++i) {
        at += 20 + random() % 60;
        server.server.apply_rule("*#" + std::to_string(at) + "=restart");
    }
    server.start();

    strandlink::Client client(2000, 64, 10, true, nullptr);
    // Every reply is expected: a busy machine must not turn a slow one into
    // a time-out (the restarts are what the soak is about).
    client.connect(server.server.endpoint(), 5000, 5, engine_support::connection_info());
    ASSERT_EQ(client.get_connection_state().get_status(), strandlink::ClientStatus::connected);
    const auto call_options = test_server::Basecaller::call_options(server.registration->clients().at(0), true);

    const auto start = std::chrono::steady_clock::now();
    std::mutex sizes_mutex;
    std::map<unsigned long long, std::size_t> sizes;
    std::atomic<unsigned long long> next_tag{1};
    std::atomic<bool> stop{false};
    ReadList out;
    std::vector<std::thread> producers;
    for (unsigned t = 0; t < 3; ++t) {
        producers.emplace_back([&, t] {
            std::mt19937 own(g_seed + t + 1);
            while (!stop) {
                const unsigned long long tag = next_tag++;
                const std::size_t samples = 50 + own() % 12000;
                ReadHolder read = make_read(tag, samples);
                const auto result = client.pass_read(read, 100);
                if (result == strandlink::ClientQueueReadsResult::success) {
                    std::lock_guard<std::mutex> lock(sizes_mutex);
                    sizes[tag] = samples;
                } else if (result == strandlink::ClientQueueReadsResult::not_accepting_reads) {
                    return;
                }
            }
        });
    }
    while (server.registration->restarts() < g_restarts && client.connection_status_is_active()) {
        client.get_completed_reads(out, interfaces::ReadPriority::medium);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    for (auto& producer : producers) {
        producer.join();
    }
    EXPECT_TRUE(client.finish_by(120));
    client.get_completed_reads(out, interfaces::ReadPriority::medium);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    ASSERT_GE(server.registration->restarts(), g_restarts) << client.get_connection_state().get_error_state();
    std::map<unsigned long long, std::vector<const ReadHolder*>> groups;
    for (const ReadHolder& read : out) {
        ASSERT_EQ(sizes.count(read.read_tag), 1u) << "a read that was never passed: " << read.read_tag;
        groups[read.read_tag].push_back(&read);
    }
    std::size_t called = 0;
    std::size_t unprocessed = 0;
    std::size_t sub_reads = 0;
    for (const auto& [tag, samples] : sizes) {
        const auto group = groups.find(tag);
        ASSERT_NE(group, groups.end()) << "read " << tag << " of " << samples << " samples never came back";
        const auto& reads = group->second;
        ASSERT_EQ(reads.front()->sub_tag, 0u) << "read " << tag << ": the whole read leads";
        const ReadHolder original = make_read(tag, samples);
        if (engine_support::is_unprocessed(*reads.front())) {
            ++unprocessed;
            ASSERT_EQ(reads.size(), 1u) << "read " << tag << " came back more than once";
            const auto& raw = reads.front()->datasets.at(dataset::raw_data);
            const auto& raw_in = original.datasets.at(dataset::raw_data);
            ASSERT_EQ(raw.info.count, raw_in.info.count);
            EXPECT_EQ(std::memcmp(raw.data, raw_in.data, samples * sizeof(std::int16_t)), 0);
            continue;
        }
        ++called;
        sub_reads += reads.size() - 1;
        const auto expected = test_server::expected_calls(test_server::raw_read_of(original), call_options,
                                                          static_cast<unsigned>(reads.size()));
        ASSERT_EQ(expected.size(), reads.size()) << "read " << tag << " came back more than once";
        for (const ReadHolder* read : reads) {
            const auto match = std::find_if(expected.begin(), expected.end(),
                                            [&](const auto& e) { return e.sub_tag == read->sub_tag; });
            ASSERT_NE(match, expected.end()) << "read " << tag << "/" << read->sub_tag;
            engine_support::check_called(*read, *match);
        }
    }
    std::printf("soak: %u restarts, %zu connections, %zu reads in %.1f s: %zu called, %zu unprocessed, %zu sub reads\n",
                static_cast<unsigned>(server.registration->restarts()),
                server.server.request_count(MessageType::CONNECT), sizes.size(), seconds, called, unprocessed,
                sub_reads);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--restarts") == 0) {
            g_restarts = static_cast<unsigned>(std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            g_seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
        }
    }
    return RUN_ALL_TESTS();
}
