#include "common/active_object.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <typeinfo>
#include <vector>

#include "common/concurrency.h"
#include "common/contract.h"

namespace {

using common::ActiveObject;
using corvid::utils::concurrency::Flag;
using corvid::utils::concurrency::Latch;

std::string current_thread_name() {
    char name[64] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

// Switches contract violations to exceptions for one test.
class ThrowingContracts {
public:
    ThrowingContracts()
            : m_previous(common::contract::set_contract_violation_policy(
                      common::contract::ContractViolationPolicy::throw_violation)) {}
    ~ThrowingContracts() { common::contract::set_contract_violation_policy(m_previous); }

private:
    common::contract::ContractViolationPolicy m_previous;
};

// Records what reaches a pool's exception handler.
struct HandlerProbe {
    Flag called;
    std::string what;
    std::string type;

    ActiveObject::ExceptionHandler handler() {
        return [this](const std::exception& e) {
            what = e.what();
            type = typeid(e).name();
            called.count_down();
        };
    }
};

TEST(ActiveObjectTest, WorkerThreadsCarryThePoolNameCutTo15Characters) {
    struct Case {
        const char* pool;
        const char* thread;
    };
    const Case cases[] = {
            {"conn_state_ntfy", "conn_state_ntfy"},
            {"tracing", "tracing"},
            {"a_pool_name_longer_than_fifteen", "a_pool_name_lon"},
    };
    for (const auto& c : cases) {
        ActiveObject pool(c.pool);
        std::string seen;
        pool.send_blocking([&] { seen = current_thread_name(); });
        EXPECT_EQ(seen, c.thread) << c.pool;
    }
    ActiveObject unnamed;
    std::string seen;
    unnamed.send_blocking([&] { seen = current_thread_name(); });
    EXPECT_EQ(seen, "active_object");
}

TEST(ActiveObjectTest, SingleWorkerRunsTasksInQueueOrder) {
    std::vector<int> order;
    {
        ActiveObject pool("ordered");
        for (int i = 0; i < 500; ++i) {
            pool.send([&order, i] { order.push_back(i); });
        }
        pool.send_blocking([&order] { order.push_back(500); });
        ASSERT_EQ(order.size(), 501u);
        for (int i = 0; i < 500; ++i) {
            pool.send([&order, i] { order.push_back(501 + i); });
        }
    }  // destruction runs what is queued
    ASSERT_EQ(order.size(), 1001u);
    for (int i = 0; i < 1001; ++i) {
        ASSERT_EQ(order[i], i);
    }
}

TEST(ActiveObjectTest, FlushWaitsForEveryEarlierTaskOnAllWorkers) {
    ActiveObject pool("flushing", 4u);
    std::atomic<int> finished{0};
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 200; ++i) {
            pool.send([&finished] {
                std::this_thread::yield();
                finished.fetch_add(1);
            });
        }
        pool.flush();
        EXPECT_EQ(finished.load(), 200 * (round + 1));
    }
}

TEST(ActiveObjectTest, ConcurrentFlushesAreServedOneAfterTheOther) {
    ActiveObject pool("flushing", 3u);
    std::atomic<int> finished{0};
    for (int i = 0; i < 100; ++i) {
        pool.send([&finished] { finished.fetch_add(1); });
    }
    std::vector<std::thread> flushers;
    for (int i = 0; i < 4; ++i) {
        flushers.emplace_back([&] {
            pool.flush();
            EXPECT_GE(finished.load(), 100);
        });
    }
    for (auto& t : flushers) {
        t.join();
    }
}

TEST(ActiveObjectTest, WorkerCountOutsideOneToFiftyViolatesTheContract) {
    ThrowingContracts contracts;
    EXPECT_ANY_THROW(ActiveObject("bad", 0u));
    EXPECT_ANY_THROW(ActiveObject("bad", 51u));
    EXPECT_ANY_THROW(ActiveObject("bad", 0u, [](const std::exception&) {}));
    ActiveObject one("one", 1u);
    ActiveObject fifty("fifty", 50u);
    fifty.flush();
}

TEST(ActiveObjectTest, ContractViolationsNameTheirConditionAndMessage) {
    struct Case {
        const char* label;
        std::function<void()> action;
        std::string text;  // message, line break, then the file and line
        std::string condition;
    };
    const Case cases[] = {
            {"no workers", [] { ActiveObject("bad", 0u); },
             "num_threads must be in range 1..MAX_NUM_THREADS\n",
             "\"num_threads > 0 && num_threads <= MAX_NUM_THREADS\""},
            {"flush after join",
             [] {
                 ActiveObject pool("joined");
                 pool.join();
                 pool.flush();
             },
             "Cannot flush an inactive active object.\n",
             "\"!m_done.load(std::memory_order_relaxed)\""},
    };
    for (const auto& c : cases) {
        const auto previous = common::contract::set_contract_violation_policy(
                common::contract::ContractViolationPolicy::report_and_throw);
        ::testing::internal::CaptureStderr();
        bool escaped = false;
        try {
            c.action();
        } catch (...) {
            escaped = true;
        }
        const std::string text = ::testing::internal::GetCapturedStderr();
        common::contract::set_contract_violation_policy(previous);
        common::contract::testability::clear_violation_flag();
        EXPECT_TRUE(escaped) << c.label;
        EXPECT_NE(text.find("Contract violation. " + c.text), std::string::npos) << text;
        EXPECT_NE(text.find("active_object"), std::string::npos) << text;
        EXPECT_NE(text.find(c.condition + "\n"), std::string::npos) << text;
    }
}

TEST(ActiveObjectTest, JoinRunsQueuedTasksAndNothingSentAfterwards) {
    std::atomic<int> ran{0};
    auto witness = std::make_shared<int>(0);
    {
        ActiveObject pool("joining", 2u);
        for (int i = 0; i < 50; ++i) {
            pool.send([&ran] { ran.fetch_add(1); });
        }
        pool.join();
        EXPECT_EQ(ran.load(), 50);
        pool.send([&ran, witness] { ran.fetch_add(1000); });
        pool.join();  // a second join returns at once
        EXPECT_EQ(ran.load(), 50);
    }
    EXPECT_EQ(ran.load(), 50);
    EXPECT_EQ(witness.use_count(), 1) << "the task sent after join was not destroyed";
}

TEST(ActiveObjectTest, FlushAfterJoinViolatesTheContract) {
    ThrowingContracts contracts;
    ActiveObject pool("joined");
    pool.join();
    EXPECT_ANY_THROW(pool.flush());
}

TEST(ActiveObjectTest, SendBlockingAfterJoinReturnsWithoutRunning) {
    ActiveObject pool("joined");
    pool.join();
    bool ran = false;
    pool.send_blocking([&ran] { ran = true; });
    EXPECT_FALSE(ran);
}

TEST(ActiveObjectTest, ExceptionsReachTheHandlerAndEndTheWorker) {
    struct Case {
        const char* label;
        std::function<void()> task;
        std::string what;  // empty: only the type is checked
        const std::type_info& type;
    };
    const Case cases[] = {
            {"std exception", [] { throw std::logic_error("broken task"); }, "broken task",
             typeid(std::logic_error)},
            {"non-std exception", [] { throw 42; }, "Unhandled error thrown in thread: throwing",
             typeid(std::runtime_error)},
            {"empty task", std::function<void()>{}, "", typeid(std::bad_function_call)},
    };
    for (const auto& c : cases) {
        HandlerProbe probe;
        ActiveObject pool("throwing", probe.handler());
        pool.send_blocking(c.task);  // returns although the task threw
        probe.called.wait();
        if (!c.what.empty()) {
            EXPECT_EQ(probe.what, c.what) << c.label;
        }
        EXPECT_EQ(probe.type, c.type.name()) << c.label;

        // The only worker has ended: nothing runs any more, and neither a
        // blocking send nor a flush may wait for ever.
        bool ran = false;
        pool.send_blocking([&ran] { ran = true; });
        pool.flush();
        EXPECT_FALSE(ran) << c.label;
    }
}

TEST(ActiveObjectTest, EmptyHandlerIsReplacedByTheDefaultOne) {
    ActiveObject pool("defaulted", ActiveObject::ExceptionHandler{});
    pool.send_blocking([] { throw std::runtime_error("reported by the default handler"); });
    pool.flush();  // must not hang on the ended worker
}

TEST(ActiveObjectTest, PoolKeepsWorkingWithTheWorkersLeftAfterOneThrows) {
    HandlerProbe probe;
    ActiveObject pool("survivors", 3u, probe.handler());
    pool.send([] { throw std::runtime_error("one worker down"); });
    probe.called.wait();
    std::atomic<int> finished{0};
    for (int i = 0; i < 100; ++i) {
        pool.send([&finished] { finished.fetch_add(1); });
    }
    pool.flush();
    EXPECT_EQ(finished.load(), 100);
    bool ran = false;
    pool.send_blocking([&ran] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(ActiveObjectTest, FlushReturnsWhenAWorkerEndsWhileItWaits) {
    HandlerProbe probe;
    ActiveObject pool("dying", 2u, probe.handler());
    Flag release;
    pool.send([&release] {
        release.wait();
        throw std::runtime_error("ended during flush");
    });
    std::thread flusher([&pool] { pool.flush(); });
    release.count_down();
    flusher.join();
    probe.called.wait();
    EXPECT_EQ(probe.what, "ended during flush");
}

TEST(ActiveObjectTest, FailedThreadStartJoinsTheStartedWorkersAndRethrows) {
    for (int failing : {0, 2}) {
        common::details::testability::fail_thread_start_at(failing);
        EXPECT_THROW(ActiveObject("partial", 4u), std::system_error) << failing;
        common::details::testability::fail_thread_start_at(-1);
    }
    ActiveObject whole("whole", 4u);
    whole.flush();
}

TEST(FlagLatchTest, CountDownAndWait) {
    Flag flag;
    flag.count_down();
    flag.count_down();  // a second count_down does nothing
    flag.wait();
    flag.wait();  // returns at once after the count reached 0

    Latch zero(0);
    zero.count_down();
    zero.wait();

    Latch three(3);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            three.wait();
            released.fetch_add(1);
        });
    }
    three.count_down();
    three.count_down();
    EXPECT_EQ(released.load(), 0);
    three.count_down();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(released.load(), 3);
}

}  // namespace
