// The hardware hue angle: a 14-bit reciprocal of the larger component, a
// 256-entry arctangent table for the first octant, and quadrant folding.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "pca/pca.h"

namespace morvik::pca {

namespace {

// Saturating conversion of an already integral double to 64 bits.
std::int64_t to_i64(double v) {
    if (std::isnan(v)) return std::numeric_limits<std::int64_t>::min();
    if (v >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775807.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// atan(i/256) in whole degrees, halves up: the block's constant table.
constexpr std::array<std::uint8_t, 256> kAngle = {
    0,  0,  0,  1,  1,  1,  1,  2,  2,  2,  2,  2,  3,  3,  3,  3,  4,  4,  4,  4,  4,  5,  5,  5,  5,  6,
    6,  6,  6,  6,  7,  7,  7,  7,  8,  8,  8,  8,  8,  9,  9,  9,  9,  10, 10, 10, 10, 10, 11, 11, 11, 11,
    11, 12, 12, 12, 12, 13, 13, 13, 13, 13, 14, 14, 14, 14, 14, 15, 15, 15, 15, 16, 16, 16, 16, 16, 17, 17,
    17, 17, 17, 18, 18, 18, 18, 18, 19, 19, 19, 19, 19, 20, 20, 20, 20, 20, 21, 21, 21, 21, 21, 22, 22, 22,
    22, 22, 22, 23, 23, 23, 23, 23, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 26, 26, 26, 26, 26, 27, 27,
    27, 27, 27, 27, 28, 28, 28, 28, 28, 29, 29, 29, 29, 29, 29, 30, 30, 30, 30, 30, 30, 31, 31, 31, 31, 31,
    31, 32, 32, 32, 32, 32, 32, 32, 33, 33, 33, 33, 33, 33, 34, 34, 34, 34, 34, 34, 35, 35, 35, 35, 35, 35,
    35, 36, 36, 36, 36, 36, 36, 36, 37, 37, 37, 37, 37, 37, 37, 38, 38, 38, 38, 38, 38, 38, 39, 39, 39, 39,
    39, 39, 39, 39, 40, 40, 40, 40, 40, 40, 40, 41, 41, 41, 41, 41, 41, 41, 41, 42, 42, 42, 42, 42, 42, 42,
    42, 43, 43, 43, 43, 43, 43, 43, 43, 44, 44, 44, 44, 44, 44, 44, 44, 44, 45, 45, 45, 45};

}  // namespace

std::int64_t round_half_away(double v) { return to_i64(v > 0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5)); }

std::int64_t round_half_up(double v) { return to_i64(std::trunc(v + 4096.5)) - 4096; }

std::int32_t trunc_i32(double v) {
    // NaN fails both comparisons.
    if (!(v > -2147483649.0 && v < 2147483648.0)) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

const std::array<std::uint8_t, 256>& angle_table() { return kAngle; }

int ratio_index(std::int64_t n, std::int64_t d) {
    const std::int64_t r = to_i64(std::trunc(16384.0 / static_cast<double>(d) + 0.5));
    // The block multiplies in 32 bits; with n < d the product stays below 2^16.
    const auto p = static_cast<std::int32_t>(n * r);
    const std::int64_t i = round_half_away(p * (1.0 / 64));
    return static_cast<int>(i < 0 ? 0 : i > 255 ? 255 : i);
}

int hue_angle(std::int32_t y, std::int32_t x) {
    if (x == 0) return y > 0 ? 90 : y < 0 ? 270 : 0;
    if (y == 0) return x < 0 ? 180 : 0;
    const std::int64_t ax = std::llabs(x), ay = std::llabs(y);
    const int quadrant = x > 0 ? (y > 0 ? 1 : 4) : (y > 0 ? 2 : 3);
    if (ax == ay) return 45 + 90 * (quadrant - 1);
    const int a = ax > ay ? kAngle[std::size_t(ratio_index(ay, ax))] : 90 - kAngle[std::size_t(ratio_index(ax, ay))];
    int h = 0;
    switch (quadrant) {
        case 1: h = a; break;
        case 2: h = 180 - a; break;
        case 3: h = 180 + a; break;
        default: h = 360 - a; break;
    }
    return h == 360 ? 0 : h;
}

}  // namespace morvik::pca
