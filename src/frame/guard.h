// Exports are thin adapters: they validate, call the C++ core and turn any
// exception into a status, so that none crosses the C boundary. Every guarded
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
