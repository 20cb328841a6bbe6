#include "strandlink/client_connection_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "common/contract.h"

namespace {

using strandlink::ClientConnectionState;
using strandlink::ClientConnectionStateSnapshot;
using strandlink::ClientStatus;
using strandlink::ConnectionError;
using strandlink::ErrorState;

constexpr ClientStatus ALL_STATUSES[] = {
        ClientStatus::disconnected,     ClientStatus::preparing_connection, ClientStatus::loading_config,
        ClientStatus::loading_alignment_index, ClientStatus::loading_bed_file, ClientStatus::connecting,
        ClientStatus::connected,        ClientStatus::error};

class ContractThrows : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = common::contract::set_contract_violation_policy(
                common::contract::ContractViolationPolicy::throw_violation);
    }
    void TearDown() override { common::contract::set_contract_violation_policy(m_previous); }

    // Whether `action` stopped at a contract check.
    template <typename F>
    static bool violates(F&& action) {
        try {
            action();
        } catch (...) {
            return true;
        }
        return false;
    }

private:
    common::contract::ContractViolationPolicy m_previous{};
};

// Records every delivered change; wait_for blocks until `count` arrived.
struct Recorder {
    struct Change {
        ClientStatus from;
        ClientStatus to;
        ErrorState error;
        std::thread::id thread;
    };
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Change> changes;

    ClientConnectionState::ChangeHandler handler() {
        return [this](ClientStatus from, std::shared_ptr<ClientConnectionStateSnapshot> snapshot) {
            std::lock_guard<std::mutex> lock(mutex);
            changes.push_back({from, snapshot->get_status(), snapshot->get_error_state(),
                               std::this_thread::get_id()});
            arrived.notify_all();
        };
    }
    std::vector<Change> wait_for(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait_for(lock, std::chrono::seconds(10), [&] { return changes.size() >= count; });
        return changes;
    }
};

// Drives a fresh state object into `status` along allowed changes.
void drive_to(ClientConnectionState& state, ClientStatus status) {
    if (status == ClientStatus::disconnected) {
        return;
    }
    state.set_status(ClientStatus::preparing_connection);
    if (status == ClientStatus::error) {
        state.set_error({ConnectionError::failed, "setup"});
        return;
    }
    for (ClientStatus next : {ClientStatus::loading_config, ClientStatus::loading_alignment_index,
                              ClientStatus::loading_bed_file, ClientStatus::connecting,
                              ClientStatus::connected}) {
        if (static_cast<int>(status) < static_cast<int>(next)) {
            return;
        }
        state.set_status(next);
    }
}

TEST(ConnectionEnumsTest, TextsAndUnknownValues) {
    EXPECT_EQ(to_string(ClientStatus::loading_alignment_index), "loading_alignment_index");
    EXPECT_EQ(to_string(ConnectionError::file_load_timeout), "file_load_timeout");
    EXPECT_EQ(to_string(ErrorState{ConnectionError::timed_out, "no reply"}), "[timed_out] no reply");
    EXPECT_EQ(to_string(ErrorState{}), "[no_error] ");
    std::ostringstream out;
    out << ClientStatus::connected << ' ' << ConnectionError::failed << ' '
        << ErrorState{ConnectionError::bad_reply, "x"};
    EXPECT_EQ(out.str(), "connected failed [bad_reply] x");
    EXPECT_EQ(strandlink::transition_description(ClientStatus::error, ClientStatus::connected),
              "State transition 'error' to 'connected'");

    try {
        to_string(static_cast<ClientStatus>(8));
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unrecognised ClientStatus value");
    }
    try {
        to_string(static_cast<ConnectionError>(12));
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unrecognised ConnectionError value");
    }
    std::ostringstream bad;
    EXPECT_THROW(bad << static_cast<ClientStatus>(-1), std::runtime_error);
}

using ClientConnectionStateTest = ContractThrows;

TEST_F(ClientConnectionStateTest, EveryPairOfStatusesFollowsTheTable) {
    const std::set<std::pair<ClientStatus, ClientStatus>> allowed = [] {
        using S = ClientStatus;
        std::set<std::pair<S, S>> pairs = {{S::disconnected, S::preparing_connection},
                                           {S::preparing_connection, S::loading_config},
                                           {S::loading_config, S::loading_alignment_index},
                                           {S::loading_alignment_index, S::loading_bed_file},
                                           {S::loading_bed_file, S::connecting},
                                           {S::connecting, S::connected},
                                           {S::error, S::disconnected}};
        for (S from : ALL_STATUSES) {
            if (from == S::disconnected || from == S::error) {
                continue;
            }
            pairs.insert({from, S::preparing_connection});
            pairs.insert({from, S::disconnected});
            pairs.insert({from, S::error});
        }
        return pairs;
    }();

    for (ClientStatus from : ALL_STATUSES) {
        for (ClientStatus to : ALL_STATUSES) {
            SCOPED_TRACE(to_string(from) + " -> " + to_string(to));
            ClientConnectionState state;
            drive_to(state, from);
            ASSERT_EQ(state.get_status(), from);
            const bool refused = violates([&] {
                if (to == ClientStatus::error) {
                    state.set_error({ConnectionError::bad_reply, "e"});
                } else {
                    state.set_status(to);
                }
            });
            EXPECT_EQ(!refused, allowed.count({from, to}) > 0);
            EXPECT_EQ(state.get_status(), refused ? from : to);
        }
    }
}

TEST_F(ClientConnectionStateTest, SetStatusNeverEntersErrorAndHandlerRegistersOnce) {
    ClientConnectionState state;
    state.set_status(ClientStatus::preparing_connection);
    EXPECT_TRUE(violates([&] { state.set_status(ClientStatus::error); }));
    EXPECT_TRUE(violates([&] { state.set_status_if(ClientStatus::preparing_connection, ClientStatus::error); }));
    EXPECT_EQ(state.get_status(), ClientStatus::preparing_connection);

    Recorder recorder;
    state.register_change_handler(recorder.handler());
    EXPECT_TRUE(violates([&] { state.register_change_handler(recorder.handler()); }));
}

TEST_F(ClientConnectionStateTest, ConnectSequenceIsDeliveredInOrderOnTheNotifierThread) {
    ClientConnectionState state;
    Recorder recorder;
    state.register_change_handler(recorder.handler());
    drive_to(state, ClientStatus::connected);

    const auto changes = recorder.wait_for(6);
    ASSERT_EQ(changes.size(), 6u);
    ClientStatus previous = ClientStatus::disconnected;
    for (const auto& change : changes) {
        EXPECT_EQ(change.from, previous);
        EXPECT_EQ(change.error.code, ConnectionError::no_error);
        EXPECT_NE(change.thread, std::this_thread::get_id());
        EXPECT_EQ(change.thread, changes.front().thread);
        previous = change.to;
    }
    EXPECT_EQ(previous, ClientStatus::connected);
}

TEST_F(ClientConnectionStateTest, ErrorIsCarriedBySnapshotsAndClearedByLeavingIt) {
    ClientConnectionState state;
    drive_to(state, ClientStatus::connected);
    Recorder recorder;
    // Changes before registration are never reported.
    state.register_change_handler(recorder.handler());

    EXPECT_FALSE(state.set_status_if(ClientStatus::error, ClientStatus::disconnected));
    state.set_error({ConnectionError::timed_out, "x"});
    EXPECT_EQ(state.get_status(), ClientStatus::error);
    EXPECT_EQ(state.get_error_state().code, ConnectionError::timed_out);
    EXPECT_EQ(state.get_error_state().message, "x");
    const auto snapshot = state.create_snapshot();
    EXPECT_EQ(snapshot->get_status(), ClientStatus::error);
    EXPECT_EQ(snapshot->get_error_state().message, "x");

    EXPECT_TRUE(state.set_status_if(ClientStatus::error, ClientStatus::disconnected));
    EXPECT_EQ(state.get_error_state().code, ConnectionError::no_error);
    // The earlier snapshot keeps what it saw.
    EXPECT_EQ(snapshot->get_error_state().code, ConnectionError::timed_out);

    const auto changes = recorder.wait_for(2);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].from, ClientStatus::connected);
    EXPECT_EQ(changes[0].to, ClientStatus::error);
    EXPECT_EQ(changes[0].error.code, ConnectionError::timed_out);
    EXPECT_EQ(changes[0].error.message, "x");
    EXPECT_EQ(changes[1].from, ClientStatus::error);
    EXPECT_EQ(changes[1].to, ClientStatus::disconnected);
    EXPECT_EQ(changes[1].error.code, ConnectionError::no_error);
}

TEST_F(ClientConnectionStateTest, HandlerThatThrowsEndsDeliveriesButNotTheState) {
    ClientConnectionState state;
    Recorder recorder;
    auto record = recorder.handler();
    state.register_change_handler(
            [&record](ClientStatus from, std::shared_ptr<ClientConnectionStateSnapshot> snapshot) {
                record(from, snapshot);
                if (snapshot->get_status() == ClientStatus::loading_config) {
                    throw std::runtime_error("handler broke");
                }
            });
    drive_to(state, ClientStatus::connected);
    EXPECT_EQ(state.get_status(), ClientStatus::connected);
    EXPECT_EQ(state.create_snapshot()->get_status(), ClientStatus::connected);
    // Give the notifier the time to deliver anything it still would.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto changes = recorder.wait_for(2);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes.back().to, ClientStatus::loading_config);
}

TEST_F(ClientConnectionStateTest, HandlerMayReadTheStateItReports) {
    ClientConnectionState state;
    std::mutex mutex;
    std::condition_variable done;
    std::vector<ClientStatus> seen;
    state.register_change_handler([&](ClientStatus, std::shared_ptr<ClientConnectionStateSnapshot>) {
        const ClientStatus now = state.get_status();
        state.create_snapshot();
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(now);
        done.notify_all();
    });
    state.set_status(ClientStatus::preparing_connection);
    state.set_status(ClientStatus::preparing_connection);
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() == 2; }));
    EXPECT_EQ(seen[1], ClientStatus::preparing_connection);
}

}  // namespace
