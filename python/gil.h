#pragma once

// Releasing the interpreter lock around library calls that may block, and
// taking it back in a way that is safe while the interpreter exits.
//
// A daemon thread may be inside such a call when the interpreter starts to
// finalise. Python ends a thread that asks for the lock from then on by
// unwinding its stack; unwinding through a destructor (implicitly noexcept)
// terminates the process. So a thread that is not the one finalising the
// interpreter waits for the process to end instead of asking for the lock at
// all, and the calls take the lock back from an ordinary function rather than
// a destructor, so that a thread that began to wait for the lock just before
// finalisation started can still be unwound. (Deallocation, which runs in a
// destructor, has only the first of these.)

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

namespace apps {

// Called once at module load, with the lock held: remembers Python's main
// thread, the one that finalises the interpreter.
void remember_main_thread();

// Takes the lock back for `state` (from PyEval_SaveThread). During
// finalisation, on any thread but the main one, it never returns.
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
