#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace corvid::utils::concurrency {

// A one-shot signal: wait() blocks until count_down() has been called once.
// Later count_down() calls do nothing; there is no reset. Thread-safe.
class Flag {
public:
    Flag() = default;
    ~Flag();

    Flag(const Flag&) = delete;
    Flag& operator=(const Flag&) = delete;

    void count_down() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count != 0) {
            --m_count;
            if (m_count == 0) {
                m_condition.notify_all();
            }
        }
    }

    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return m_count == 0; });
    }

private:
    std::uint64_t m_count = 1;
    std::mutex m_mutex;
    std::condition_variable m_condition;
};

// A count-down latch: wait() blocks until count_down() has been called
// `count` times. A latch made with 0 never blocks. Thread-safe.
class Latch {
public:
    explicit Latch(std::uint64_t count) : m_count(count) {}
    ~Latch() = default;

    Latch(const Latch&) = delete;
    Latch& operator=(const Latch&) = delete;

    void count_down() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count != 0) {
            --m_count;
            if (m_count == 0) {
                m_condition.notify_all();
            }
        }
    }

    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return m_count == 0; });
    }

private:
    std::uint64_t m_count;
    std::mutex m_mutex;
    std::condition_variable m_condition;
};

}  // namespace corvid::utils::concurrency
