// Colour-error preparation: chart capture to reference units, a candidate
// matrix applied, and three CIELAB sets.
#pragma once

#include <span>

#include "color/chart.h"

namespace morvik::color {

// CIELAB of a linear RGB triple on a 0..255 scale (D65 white, exponent
// 0.3333). Double precision; the 1/Xn and 1/Zn factors are single-precision
// constants.
Lab rgb_to_lab(double r, double g, double b);

struct ColorErrorSets {
    std::array<float, kPatches * 3> corrected;
    std::array<float, kPatches * 3> reference;
    std::array<float, kPatches * 3> uncorrected;
};

// Intermediate values of the preparation, exposed for tests and tools.
struct ColorErrorTrace {
    std::array<float, 3> offset;
    int brightest;
    std::array<double, 3> gain;
    std::array<float, 3> slope;
    std::array<float, 3> intercept;
};

ColorErrorSets color_error(const Measured& measured, const Reference& reference, const Matrix3& matrix,
                           ColorErrorTrace* trace = nullptr);

}  // namespace morvik::color
