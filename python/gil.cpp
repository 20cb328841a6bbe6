#include "python/gil.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <pythread.h>

namespace apps {

namespace {

// Who may still ask for the lock. From the moment the interpreter starts to
// exit (`exiting`), only the thread that finalises it (`exiting_thread`, the
// one running the exit handlers) may; the others that are already waiting for
// it (`waiting`) get it before the interpreter finalises.
struct ExitGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool exiting = false;
    unsigned long exiting_thread = 0;
    unsigned waiting = 0;
};

// Never destroyed: threads may still look at it while the process ends.
std::atomic<ExitGate*> current_gate{new ExitGate};

ExitGate& gate() {
    return *current_gate.load();
}

// A forked child has only the thread that forked: it starts with a gate of
// its own (the parent's may have been locked, or counted threads the child
// does not have).
void renew_gate_in_child() {
    current_gate.store(new ExitGate);
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
        g.exiting_thread = PyThread_get_thread_ident();
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

void install_exit_gate() {
    namespace py = pybind11;
    py::module_::import("atexit").attr("register")(py::cpp_function(&close_gate));
    py::module_::import("os").attr("register_at_fork")(py::arg("after_in_child") =
                                                           py::cpp_function(&renew_gate_in_child));
}

void reacquire_gil(PyThreadState* state) {
    ExitGate& g = gate();
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        closed = g.exiting && PyThread_get_thread_ident() != g.exiting_thread;
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
