// Collecting called reads while memory runs out: every allocation on the
// collecting thread fails in turn, and no read may be lost or handed out
// twice. Built as its own program because it replaces the global operator
// new (only the collecting thread's allocations are made to fail).

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "apps/strandlink.h"
#include "tests/api/api_support.h"
#include "tests/failing_operator_new.h"

namespace {

using api_support::make_read;
using api_support::quick_params;
using api_support::RunningServer;
using apps::PassReadResult;
using apps::Read;
using apps::Result;
using apps::Strandlink;

// Short reads passed in a list come back in batches, filled by the thread
// that collects them: the sweep meets the fill of each read, then the
// grouping of the reads for the caller.
TEST(CollectAllocationFailureTest, NoReadIsLostWhereverCollectingRunsOutOfMemory) {
    RunningServer server;
    Strandlink client(server.address(), api_support::HAC, "", false);
    ASSERT_EQ(client.set_params(quick_params()), Result::success);
    ASSERT_EQ(client.connect(), Result::success) << client.get_error_message();

    constexpr std::uint64_t READS = 24;
    std::vector<Read> list;
    for (std::uint64_t tag = 1; tag <= READS; ++tag) {
        list.push_back(make_read(tag, 1000 + 10 * tag));
    }
    ASSERT_EQ(client.pass_reads(list, 10000), PassReadResult::success);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (client.num_completed_reads() < READS && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(client.num_completed_reads(), READS);

    // The collection fails at its first allocation, then at its second, and
    // so on, until a call gets through: what a failed call took out stays
    // with the client, and the caller's vector is as it was.
    std::vector<std::vector<Read>> groups(1);
    int failures = 0;
    for (long countdown = 0;; ++countdown) {
        g_fail_countdown = countdown;
        bool failed = false;
        try {
            client.get_completed_reads(groups);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        g_fail_countdown = -1;
        if (!failed) {
            break;
        }
        ++failures;
        ASSERT_EQ(groups.size(), 1u) << "after a failure at allocation " << countdown;
        ASSERT_EQ(client.num_completed_reads(), READS) << "after a failure at allocation " << countdown;
        ASSERT_LT(countdown, 100000);
    }
    EXPECT_GE(failures, static_cast<int>(READS)) << "filling every read, and grouping them, ask for memory";

    std::map<std::uint64_t, int> seen;
    for (std::size_t g = 1; g < groups.size(); ++g) {
        ASSERT_EQ(groups[g].size(), 1u);
        const Read& read = groups[g].front();
        ++seen[read.get_read_tag()];
        const auto& datasets = read.get_datasets();
        ASSERT_EQ(datasets.count(dataset::sequence), 1u) << "read " << read.get_read_tag();
        EXPECT_FALSE(datasets.at(dataset::sequence).get_string().empty()) << "read " << read.get_read_tag();
        EXPECT_EQ(read.get_by_name("model_version_id").empty(), false) << "read " << read.get_read_tag();
    }
    EXPECT_EQ(seen.size(), READS);
    for (const auto& [tag, count] : seen) {
        EXPECT_EQ(count, 1) << "read " << tag;
    }
    EXPECT_EQ(client.num_completed_reads(), 0u);
    EXPECT_EQ(client.finish(30), Result::success);
}

}  // namespace
