#pragma once

// Releasing the interpreter lock around library calls that may block, and
// taking it back in a way that is safe while the interpreter exits.
//
// A daemon thread may be inside such a call when the interpreter starts to
// finalise. Python ends a thread that asks for the lock from then on by
// unwinding its stack; unwinding through a destructor (implicitly noexcept)
// terminates the process, and unwinding C++ frames without the lock is unsafe
// anyway. So at interpreter exit, before finalisation, the module closes a
// gate: threads already waiting for the lock get it first, and every other
// thread but the finalising one that comes back from a library call afterwards
// waits for the process to end instead of asking for the lock.

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

namespace apps {

// Called once at module load, with the lock held: registers the closing of
// the gate at interpreter exit (and a new gate for forked children).
void install_exit_gate();

// Takes the lock back for `state` (from PyEval_SaveThread). Once the
// interpreter exits, on any thread but the one finalising it, it never
// returns.
void reacquire_gil(PyThreadState* state);

// Runs `call` with the lock released and returns its result, or passes on
// its exception, with the lock held again.
template <typename Call>
auto without_gil(Call&& call) -> decltype(call()) {
    using Result = decltype(call());
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<Result>) {
        try {
            call();
        } catch (...) {
            reacquire_gil(state);
            throw;
        }
        reacquire_gil(state);
    } else {
        std::optional<Result> result;
        try {
            result.emplace(call());
        } catch (...) {
            reacquire_gil(state);
            throw;
        }
        reacquire_gil(state);
        return std::move(*result);
    }
}

}  // namespace apps
