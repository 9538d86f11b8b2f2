// Exports are thin adapters: inside the guard they check their arguments
// first, call the C++ core, report a failed outcome with refuse() and map it
// to the family's status; any exception becomes a status too, so that none
// crosses the C boundary. Every guarded
// call starts by clearing the thread's failure reason (morvik_last_error);
// an exception leaves its text there.
#pragma once

#include <exception>
#include <new>
#include <utility>

#include "frame/last_error.h"

namespace morvik::frame {

inline void note_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        set_last_error("out of memory");
    } catch (const std::exception& e) {
        set_last_error(e.what());
    } catch (...) {
        set_last_error("internal error");
    }
}

// The one way an adapter reports a refused or failed call: record the
// outcome's describe() text as the thread's failure reason and return the
// family's status for it. `describe` is found next to the outcome type.
template <class R, class Outcome>
R refuse(R status, Outcome outcome) noexcept {
    set_last_error(describe(outcome));
    return status;
}

// For exports that return nothing.
template <class Outcome>
void refuse_void(Outcome outcome) noexcept {
    set_last_error(describe(outcome));
}

// Run `body` and return its result, or `on_error` if it throws.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
    clear_last_error();
    try {
        return std::forward<F>(body)();
    } catch (...) {
        note_exception();
        return on_error;
    }
}

// For exports that return nothing: exceptions are swallowed.
template <class F>
void guarded_void(F&& body) noexcept {
    clear_last_error();
    try {
        std::forward<F>(body)();
    } catch (...) {
        note_exception();
    }
}

}  // namespace morvik::frame
