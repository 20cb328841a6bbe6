#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace common {

namespace details {

// Unbounded first-in-first-out queue shared by the workers of one pool.
// Thread-safe. receive() blocks while the queue is empty.
template <typename T>
class MessageQueue {
public:
    void send(T item) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(std::move(item));
        }
        m_condition.notify_one();
    }

    T receive() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return !m_items.empty(); });
        T item = std::move(m_items.front());
        m_items.pop_front();
        return item;
    }

    // Removes every queued item without handing it out. The items are
    // destroyed after the lock is released, so their destructors may use the
    // queue again.
    void discard_all() {
        std::deque<T> dropped;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            dropped.swap(m_items);
        }
    }

private:
    std::mutex m_mutex;
    std::deque<T> m_items;
    std::condition_variable m_condition;
};

}  // namespace details

// A named pool of 1 to MAX_NUM_THREADS worker threads running tasks from one
// unbounded queue. Every worker thread carries the pool's name (cut to 15
// characters).
//
// Any thread may call send, send_blocking, flush and join, but not one of the
// pool's own workers for send_blocking, flush, join or destruction.
//
// An exception escaping a task goes to the exception handler (unless the pool
// was made with no_catch); that worker then ends and the others go on. Once
// no worker is left, send_blocking and flush return at once instead of
// waiting, and tasks still queued are discarded without running.
class ActiveObject {
public:
    static constexpr unsigned int MAX_NUM_THREADS = 50;

    enum ExceptionHandlingPolicy : std::int32_t {
        no_catch = 0,
        catch_and_handle = 1,
    };

    using ExceptionHandler = std::function<void(const std::exception&)>;

    ActiveObject();
    explicit ActiveObject(const std::string& name);
    ActiveObject(const std::string& name, ExceptionHandlingPolicy policy);
    ActiveObject(const std::string& name, ExceptionHandler handler);
    ActiveObject(const std::string& name, unsigned int num_threads);
    ActiveObject(const std::string& name, unsigned int num_threads, ExceptionHandler handler);
    ~ActiveObject();

    ActiveObject(const ActiveObject&) = delete;
    ActiveObject& operator=(const ActiveObject&) = delete;
    ActiveObject(ActiveObject&&) = delete;
    ActiveObject& operator=(ActiveObject&&) = delete;

    // Queues the task and returns at once.
    void send(std::function<void()> task);

    // Queues the task and returns once it has run (or once it is certain that
    // it never will, because no worker is left). An exception from the task
    // goes to the pool's handling, never to the caller.
    void send_blocking(std::function<void()> task);

    // Returns when every task queued before the call has finished.
    // REQUIRES: join() has not been called (contract).
    void flush();

    // Stops the workers behind the tasks already queued and waits for them.
    // Tasks sent afterwards never run. A second call returns at once.
    void join();

private:
    struct FlushBarrier;

    void launch_threads(bool catch_exceptions);
    void worker_entry(bool catch_exceptions);
    void run(const std::string& name);
    void on_worker_exit();
    void stop_started_threads();
    unsigned int live_workers() const;

    details::MessageQueue<std::function<void()>> m_queue;
    std::vector<std::thread> m_threads;
    std::string m_name;
    std::uint32_t m_num_threads;
    ExceptionHandler m_exception_handler;
    std::atomic<bool> m_done{false};
    std::mutex m_flush_mutex;
    // Serialises join(): two threads must not join one std::thread at once.
    std::mutex m_join_mutex;

    // Workers that have started and not yet left their loop, guarded by
    // m_state_mutex. Lets send_blocking and flush notice a pool that can no
    // longer run their tasks instead of waiting for ever.
    mutable std::mutex m_state_mutex;
    std::condition_variable m_state_condition;
    unsigned int m_live_workers = 0;
};

namespace details::testability {
// Makes the pool constructors fail when starting the worker with this index
// (0-based), as if the platform had refused the thread. -1 turns it off.
void fail_thread_start_at(int index);
}  // namespace details::testability

}  // namespace common
