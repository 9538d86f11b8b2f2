// Multi-illuminant colour-correction matrix: each matrix element fitted by
// weighted least squares as a polynomial (1, x, y, x^2, xy, y^2) of the light
// source's normalised chromaticity.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace morvik::color {

struct Light {
    std::array<std::int32_t, 9> matrix;
    std::int32_t first;        // first numerator
    std::int32_t denominator;
    std::int32_t second;       // second numerator
    std::int32_t weight;
};

inline constexpr int kMaxTerms = 6;

struct MultiCcmResult {
    std::array<std::int32_t, 4> normalisation;  // 100 * (mean x, sd x, mean y, sd y), rounded
    std::array<std::array<std::int32_t, 9>, kMaxTerms> coefficients;  // 10000 * coefficient, rounded
    std::array<std::array<double, 9>, kMaxTerms> exact;  // the unrounded coefficients
    int terms;  // K actually used
    double mean_x, sd_x, mean_y, sd_y;
};

// floor(v + 0.5) as int32; NaN and out-of-range values give INT32_MIN.
std::int32_t round_half_up(double v);

// terms: 1..6 (forced to 3 below six lights). Working memory from the heap;
// throws std::bad_alloc when it cannot be obtained.
MultiCcmResult multi_ccm(std::span<const Light> lights, int terms);

}  // namespace morvik::color
