// Numeric helpers shared by the shading calibrations: the fixed-point base-2
// logarithm and power in 1/1024-octave units as the shading hardware computes
// them, saturating 16-bit values, 16.16 fixed point, the colour of each Bayer
// channel, and the sum over the top m entries of a histogram.
#pragma once

#include <cstdint>

namespace morvik::shading {

// ------------------------------------------------------------ fixed-point log

// round(1024 * log2(v)) - 1024 * shift, refined bit by bit from the octave of
// v with ten 32-bit fraction multipliers that sit a little below
// 2^(2^b / 1024). v = 0 has no logarithm and gives INT16_MIN; results beyond
// the signed 16-bit range saturate.
std::int16_t log2_fix(std::uint32_t v, int shift);

// 2^(l / 1024) * 2^shift, truncated. The domain of l is -16384..16383; values
// outside it are clamped to the nearest end. shift is 0..16.
std::uint32_t pow2_fix(int l, int shift);

// pow2_fix(l, 16) for every l = -16384..16383, into out[l + 16384].
void pow2_fix_table16(std::uint32_t out[32768]);

// ------------------------------------------------------------ integer formats

// An unsigned 64-bit sum below 2^63 as a double, through the signed
// conversion: the same rounding, but one instruction on every target, where
// the unsigned conversion takes a branch and, on 32-bit x86, x87 arithmetic.
inline double to_double(std::uint64_t v) { return static_cast<double>(static_cast<std::int64_t>(v)); }

inline std::int16_t saturate16(long long v) {
    if (v > INT16_MAX) return INT16_MAX;
    if (v < INT16_MIN) return INT16_MIN;
    return static_cast<std::int16_t>(v);
}

// trunc(x * 65536 + 0.5): x in unsigned 16.16 fixed point, saturating at both
// ends (negative values and NaN give 0).
inline std::uint32_t to_fixed16(double x) {
    const double v = x * 65536.0 + 0.5;
    if (!(v > 0.0)) return 0;
    if (v >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(v);
}

// log2_fix of x in 16.16 fixed point: log2(x) in 1/1024 octaves.
inline std::int16_t log2_fixed16(double x) { return log2_fix(to_fixed16(x), 16); }

// ------------------------------------------------------------ Bayer channels

// Channels of the 2 x 2 cell: 0 even row/even column, 1 even/odd, 2 odd/even,
// 3 odd/odd. Colours in the same numbering as the first-sample Bayer order.
enum class Colour : std::uint8_t { R = 0, Gr = 1, Gb = 2, B = 3 };

// Colour of each channel, by Bayer order (0 R, 1 Gr, 2 Gb, 3 B first).
inline constexpr Colour kColourOfChannel[4][4] = {{Colour::R, Colour::Gr, Colour::Gb, Colour::B},
                                                  {Colour::Gr, Colour::R, Colour::B, Colour::Gb},
                                                  {Colour::Gb, Colour::B, Colour::R, Colour::Gr},
                                                  {Colour::B, Colour::Gb, Colour::Gr, Colour::R}};

inline constexpr Colour colour_of(unsigned bayer_order, int channel) { return kColourOfChannel[bayer_order & 3][channel]; }
inline constexpr bool is_green(Colour c) { return c == Colour::Gr || c == Colour::Gb; }

// ------------------------------------------------------------ top-m sums

// Walks the bins first, first + step, ... up to and including `last`, taking
// whole bins while the count taken stays below m; of the bin that would bring
// it to m or beyond only m minus the count so far is taken, and the walk
// stops. add(bin, taken, partial) is called for every bin visited; `partial`
// marks that closing bin (its `taken` may equal its whole count). Returns the
// count taken: m, or less when the bins run out.
template <class Count, class Add>
std::uint64_t sum_top_m(int first, int last, int step, std::uint64_t m, Count&& count, Add&& add) {
    std::uint64_t taken = 0;
    for (int bin = first;; bin += step) {
        const std::uint64_t n = count(bin);
        if (taken + n >= m) {
            add(bin, m - taken, true);
            return m;
        }
        add(bin, n, false);
        taken += n;
        if (bin == last) return taken;
    }
}

}  // namespace morvik::shading
