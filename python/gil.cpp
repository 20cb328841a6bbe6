#include "python/gil.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <pythread.h>

namespace apps {

namespace {

std::atomic<unsigned long> main_thread_ident{0};

}  // namespace

void remember_main_thread() {
    namespace py = pybind11;
    const auto ident = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    main_thread_ident.store(ident);
}

void reacquire_gil(PyThreadState* state) {
    if (_Py_IsFinalizing() && PyThread_get_thread_ident() != main_thread_ident.load()) {
        // The interpreter is going away and would end this thread by
        // unwinding it; the process ends soon, so this thread simply waits
        // for that, holding no lock of this module.
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
    PyEval_RestoreThread(state);
}

}  // namespace apps
