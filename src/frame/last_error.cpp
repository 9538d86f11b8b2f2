// Thread-local failure reason behind morvik_last_error().
#include "frame/last_error.h"

#include <cstring>

#include "morvik/morvik.h"

namespace morvik::frame {

namespace {
// Fixed storage: setting the reason never allocates, so it cannot fail.
constexpr std::size_t kCapacity = 512;
thread_local char t_reason[kCapacity] = "";
}  // namespace

void set_last_error(std::string_view reason) {
    const std::size_t n = reason.size() < kCapacity - 1 ? reason.size() : kCapacity - 1;
    std::memcpy(t_reason, reason.data(), n);
    t_reason[n] = '\0';
}

void clear_last_error() { t_reason[0] = '\0'; }

}  // namespace morvik::frame

extern "C" MORVIK_API const char* morvik_last_error(void) { return morvik::frame::t_reason; }
