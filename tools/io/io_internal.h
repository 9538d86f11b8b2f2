// Shared by the morvik_io sources: a typed outcome per call and the guard
// that records its reason and keeps exceptions inside the library.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "morvik_io.h"

namespace morvik::io {

struct Outcome {
    int32_t status = MORVIK_IO_OK;
    std::string reason;
};

void set_last_error(const std::string& reason);

// Runs `body`, records its reason (or clears it on success) and maps
// exceptions to statuses.
template <class Body>
int32_t run(Body&& body) noexcept {
    Outcome o;
    try {
        o = body();
    } catch (const std::bad_alloc&) {
        o = {MORVIK_IO_NO_MEMORY, "out of memory"};
    } catch (const std::exception& e) {
        o = {MORVIK_IO_BAD_DATA, e.what()};
    } catch (...) {
        o = {MORVIK_IO_BAD_DATA, "unknown failure"};
    }
    try {
        set_last_error(o.reason);
    } catch (...) {
    }
    return o.status;
}

Outcome reduce8(const std::uint16_t* plane, std::uint32_t width, std::uint32_t height, const std::uint32_t* black,
                std::uint32_t white, std::uint8_t* out);

}  // namespace morvik::io
