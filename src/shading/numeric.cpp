#include "shading/numeric.h"

#include <bit>
#include <cstdlib>

namespace morvik::shading {

namespace {

// Fraction parts of 2^(2^b / 1024) in units of 2^-32, index b = 0..9.
constexpr std::uint64_t kFraction[10] = {2877628,   5798205,   11639361,  23278722,  46729244,
                                         94016834,  190138202, 388694540, 812607812, 1779018403};

inline std::uint64_t scale_up(std::uint64_t value, int bit) {
    return value + ((value * kFraction[bit]) >> 32);
}

}  // namespace

std::int16_t log2_fix(std::uint32_t v, int shift) {
    if (v == 0) return INT16_MIN;
    const int e = 31 - std::countl_zero(v);
    const std::uint64_t lo = std::uint64_t{1} << e;
    const std::uint64_t hi = lo << 1;
    const long long base = 1024LL * e - 1024LL * shift;
    if (v == lo) return saturate16(base);

    // First candidate: the nearer of the two octave ends (the upper one on a
    // tie, which only v = 3 meets: no bound of octave 1 moves off 2).
    const bool lower = v - lo < hi - v;
    long long best = lower ? base : base + 1024;
    std::uint64_t best_diff = lower ? v - lo : hi - v;

    std::uint64_t bound = lo;
    int frac = 0;
    for (int b = 9; b >= 0; --b) {
        const std::uint64_t product = scale_up(bound, b);
        const int value = frac | (1 << b);
        if (v == product) return saturate16(base + value);
        const std::uint64_t diff = v > product ? v - product : product - v;
        if (diff < best_diff) {
            best_diff = diff;
            best = base + value;
        }
        if (v > product) {
            frac = value;
            bound = product;
        }
    }
    return saturate16(best);
}

std::uint32_t pow2_fix(int l, int shift) {
    if (l < -16384) l = -16384;
    if (l > 16383) l = 16383;
    const int e = (l >= 0) ? l / 1024 : -((-l + 1023) / 1024);
    const int f = l - 1024 * e;
    std::uint64_t value = std::uint64_t{1} << (e + 16);
    for (int b = 9; b >= 0; --b)
        if (f & (1 << b)) value = scale_up(value, b);
    return static_cast<std::uint32_t>(value >> (16 - shift));
}

void pow2_fix_table16(std::uint32_t out[32768]) {
    // Within an octave the multipliers are applied from the highest fraction
    // bit down, so the value of fraction f is that of f without its lowest
    // set bit, scaled once more: one multiplication per entry.
    for (int e = -16; e < 16; ++e) {
        std::uint32_t* octave = out + (e + 16) * 1024;
        octave[0] = static_cast<std::uint32_t>(std::uint64_t{1} << (e + 16));
        for (unsigned f = 1; f < 1024; ++f)
            octave[f] = static_cast<std::uint32_t>(scale_up(octave[f & (f - 1)], std::countr_zero(f)));
    }
}

}  // namespace morvik::shading
