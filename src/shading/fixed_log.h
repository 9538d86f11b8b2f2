// Fixed-point base-2 logarithm and power in 1/1024-octave units, as the
// shading hardware computes them: a binary search over ten fraction bits with
// 32-bit fraction multipliers that sit a little below 2^(2^b / 1024).
#pragma once

#include <cstdint>

namespace morvik::shading {

// round(1024 * log2(v)) - 1024 * shift, refined bit by bit from the octave of
// v. v = 0 has no logarithm and gives INT16_MIN; results beyond the signed
// 16-bit range saturate.
std::int16_t log2_fix(std::uint32_t v, int shift);

// 2^(l / 1024) * 2^shift, truncated. The domain of l is -16384..16383; values
// outside it are clamped to the nearest end. shift is 0..16.
std::uint32_t pow2_fix(int l, int shift);

}  // namespace morvik::shading
