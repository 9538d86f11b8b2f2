// The reason of the last failed export call, per thread (morvik_last_error).
#pragma once

#include <string_view>

namespace morvik::frame {

// Record why the current call failed; the text is kept until the next call
// of this thread clears or replaces it.
void set_last_error(std::string_view reason);
// Forget the reason: every guarded export starts with this, so a success
// leaves the text empty.
void clear_last_error();

}  // namespace morvik::frame
