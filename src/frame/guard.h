// Exports are thin adapters: they validate, call the C++ core and turn any
// exception into a status, so that none crosses the C boundary.
#pragma once

#include <utility>

namespace morvik::frame {

// Run `body` and return its result, or `on_error` if it throws.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        return on_error;
    }
}

// For exports that return nothing: exceptions are swallowed.
template <class F>
void guarded_void(F&& body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (...) {
    }
}

}  // namespace morvik::frame
