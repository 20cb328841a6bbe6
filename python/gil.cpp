#include "python/gil.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <pythread.h>

namespace apps {

namespace {

// Who may still ask for the lock. From the moment the interpreter starts to
// exit (`exiting`), only the main thread may; the others that are already
// waiting for it (`waiting`) get it before the interpreter finalises.
struct ExitGate {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long main_thread = 0;
    bool exiting = false;
    unsigned waiting = 0;
};

ExitGate& gate() {
    // Never destroyed: threads may still look at it while the process ends.
    static ExitGate* const instance = new ExitGate;
    return *instance;
}

[[noreturn]] void wait_for_process_end() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

// Runs at interpreter exit, before finalisation, on the main thread with the
// lock held: closes the gate, then lets every thread already waiting for the
// lock have it once (they meet the closed gate at their next call).
void close_gate() {
    ExitGate& g = gate();
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.exiting = true;
        if (g.waiting == 0) {
            return;
        }
    }
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(g.mutex);
        // Bounded: a thread that keeps the lock for long must not hold the
        // exit up for ever.
        g.changed.wait_for(lock, std::chrono::seconds(10), [&g] { return g.waiting == 0; });
    }
    PyEval_RestoreThread(state);
}

}  // namespace

void remember_main_thread() {
    namespace py = pybind11;
    const auto ident = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    {
        std::lock_guard<std::mutex> lock(gate().mutex);
        gate().main_thread = ident;
    }
    py::module_::import("atexit").attr("register")(py::cpp_function(&close_gate));
}

void reacquire_gil(PyThreadState* state) {
    ExitGate& g = gate();
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        const bool main = PyThread_get_thread_ident() == g.main_thread;
        closed = !main && (g.exiting || _Py_IsFinalizing());
        if (!closed) {
            ++g.waiting;
        }
    }
    if (closed) {
        // The interpreter is going away and would end this thread by
        // unwinding it; the process ends soon, so this thread simply waits
        // for that, holding no lock of this module.
        wait_for_process_end();
    }
    PyEval_RestoreThread(state);
    std::lock_guard<std::mutex> lock(g.mutex);
    --g.waiting;
    g.changed.notify_all();
}

}  // namespace apps
