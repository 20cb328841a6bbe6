#include "common/active_object.h"

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "common/concurrency.h"
#include "common/contract.h"
#include "common/logger.h"
#include "common/thread_name.h"

namespace common {

namespace {

std::atomic<int> g_fail_thread_start_at{-1};

void default_exception_handler(const std::exception& e) { SL_LOG(error) << e.what(); }

}  // namespace

namespace details::testability {
void fail_thread_start_at(int index) { g_fail_thread_start_at.store(index); }
}  // namespace details::testability

struct ActiveObject::FlushBarrier {
    unsigned int arrived = 0;
    bool released = false;
};

ActiveObject::ActiveObject() : ActiveObject("active_object") {}

ActiveObject::ActiveObject(const std::string& name)
        : m_name(name), m_num_threads(1) {
    launch_threads(true);
}

ActiveObject::ActiveObject(const std::string& name, ExceptionHandlingPolicy policy)
        : m_name(name), m_num_threads(1) {
    launch_threads(policy != no_catch);
}

ActiveObject::ActiveObject(const std::string& name, ExceptionHandler handler)
        : m_name(name), m_num_threads(1), m_exception_handler(std::move(handler)) {
    launch_threads(true);
}

ActiveObject::ActiveObject(const std::string& name, unsigned int num_threads)
        : ActiveObject(name, num_threads, ExceptionHandler{}) {}

ActiveObject::ActiveObject(const std::string& name, unsigned int num_threads,
                           ExceptionHandler handler)
        : m_name(name), m_num_threads(num_threads), m_exception_handler(std::move(handler)) {
    CONTRACT_CHECK(num_threads > 0 && num_threads <= MAX_NUM_THREADS,
                   "num_threads must be in range 1..MAX_NUM_THREADS");
    launch_threads(true);
}

ActiveObject::~ActiveObject() {
    try {
        join();
    } catch (...) {
        // Joining can only fail when called from one of our own workers,
        // which the class forbids; nothing sensible is left to do here.
    }
}

void ActiveObject::launch_threads(bool catch_exceptions) {
    if (!m_exception_handler) {
        m_exception_handler = default_exception_handler;
    }
    // Reserved up front so that appending a started thread cannot fail.
    m_threads.reserve(m_num_threads);
    for (std::uint32_t i = 0; i < m_num_threads; ++i) {
        {
            std::lock_guard<std::mutex> lock(m_state_mutex);
            ++m_live_workers;
        }
        try {
            if (g_fail_thread_start_at.load() == static_cast<int>(i)) {
                throw std::system_error(EAGAIN, std::generic_category(),
                                        "thread creation refused");
            }
            m_threads.emplace_back(&ActiveObject::worker_entry, this, catch_exceptions);
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(m_state_mutex);
                --m_live_workers;
            }
            // The destructor will not run for a half-made pool, and a
            // joinable std::thread must never be destroyed: stop and join the
            // workers that did start before the error leaves.
            stop_started_threads();
            throw;
        }
    }
}

void ActiveObject::stop_started_threads() {
    for (std::size_t i = 0; i < m_threads.size(); ++i) {
        m_queue.send([this] { m_done.store(true); });
    }
    for (auto& thread : m_threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

void ActiveObject::worker_entry(bool catch_exceptions) {
    if (!catch_exceptions) {
        run(m_name);
        on_worker_exit();
        return;
    }
    try {
        run(m_name);
    } catch (const std::exception& e) {
        try {
            m_exception_handler(e);
        } catch (...) {
            // The handler is the last place to report to; a failing handler
            // must not take the process down with it.
        }
    } catch (...) {
        try {
            m_exception_handler(std::runtime_error("Unhandled error thrown in thread: " + m_name));
        } catch (...) {
        }
    }
    on_worker_exit();
}

void ActiveObject::run(const std::string& name) {
    kelp::util::set_thread_name(name.c_str());
    while (!m_done.load()) {
        std::function<void()> task = m_queue.receive();
        task();
    }
}

void ActiveObject::on_worker_exit() {
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(m_state_mutex);
        --m_live_workers;
        last = m_live_workers == 0;
        m_state_condition.notify_all();
    }
    if (last) {
        // Nothing will ever run what is still queued. Dropping it now releases
        // any send_blocking caller waiting on one of these tasks.
        m_queue.discard_all();
    }
}

unsigned int ActiveObject::live_workers() const {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return m_live_workers;
}

void ActiveObject::send(std::function<void()> task) { m_queue.send(std::move(task)); }

void ActiveObject::send_blocking(std::function<void()> task) {
    using corvid::utils::concurrency::Flag;

    // Counts the flag down when the last copy of the wrapper goes away, so a
    // wrapper discarded without running still releases the caller.
    struct SignalOnRelease {
        std::shared_ptr<Flag> flag = std::make_shared<Flag>();
        ~SignalOnRelease() { flag->count_down(); }
    };
    auto signal = std::make_shared<SignalOnRelease>();
    std::shared_ptr<Flag> flag = signal->flag;

    {
        // Queued under the state lock: either a worker is alive now and the
        // last one to leave discards this wrapper, or none is and we return.
        std::lock_guard<std::mutex> lock(m_state_mutex);
        if (m_live_workers == 0) {
            return;
        }
        m_queue.send([signal, &task]() {
            struct CountDown {
                Flag& flag;
                ~CountDown() { flag.count_down(); }
            } count_down{*signal->flag};
            task();
        });
    }
    signal.reset();
    flag->wait();
}

void ActiveObject::flush() {
    CONTRACT_CHECK(!m_done.load(std::memory_order_relaxed),
                   "Cannot flush an inactive active object.");
    std::lock_guard<std::mutex> flush_lock(m_flush_mutex);

    auto barrier = std::make_shared<FlushBarrier>();
    unsigned int workers = live_workers();
    for (unsigned int i = 0; i < workers; ++i) {
        m_queue.send([this, barrier]() {
            std::unique_lock<std::mutex> lock(m_state_mutex);
            if (barrier->released) {
                // Left over after a worker ended: the flush is already over.
                return;
            }
            ++barrier->arrived;
            m_state_condition.notify_all();
            m_state_condition.wait(lock, [&] { return barrier->released; });
        });
    }

    // Every live worker sitting in a barrier means every earlier task has
    // finished. Workers that end meanwhile lower the number we wait for, so a
    // pool that loses workers (or all of them) cannot hold the caller for ever.
    std::unique_lock<std::mutex> lock(m_state_mutex);
    m_state_condition.wait(lock, [&] { return barrier->arrived >= m_live_workers; });
    barrier->released = true;
    m_state_condition.notify_all();
}

void ActiveObject::join() {
    std::lock_guard<std::mutex> lock(m_join_mutex);
    for (std::uint32_t i = 0; i < m_num_threads; ++i) {
        m_queue.send([this] { m_done.store(true); });
    }
    for (auto& thread : m_threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

}  // namespace common
