#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace corvid::utils::concurrency {

namespace detail {

// A counter that wakes every waiter when it reaches 0. count_down() past 0
// does nothing; there is no reset. Thread-safe.
class CountDown {
public:
    explicit CountDown(std::uint64_t count) : m_count(count) {}

    CountDown(const CountDown&) = delete;
    CountDown& operator=(const CountDown&) = delete;

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

protected:
    ~CountDown() = default;

private:
    std::uint64_t m_count;
    std::mutex m_mutex;
    std::condition_variable m_condition;
};

}  // namespace detail

// A one-shot signal: wait() blocks until count_down() has been called once.
// Later count_down() calls do nothing. Thread-safe.
class Flag : public detail::CountDown {
public:
    Flag() : CountDown(1) {}
    ~Flag();
};

// A count-down latch: wait() blocks until count_down() has been called
// `count` times. A latch made with 0 never blocks. Thread-safe.
class Latch : public detail::CountDown {
public:
    explicit Latch(std::uint64_t count) : CountDown(count) {}
    ~Latch() = default;
};

}  // namespace corvid::utils::concurrency
