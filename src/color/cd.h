// Colour-difference evaluation: chroma difference in CIELAB between a
// measured chart and its reference, each set normalised to its own maximum.
#pragma once

#include <array>
#include <span>

#include "color/chart.h"

namespace morvik::color {

struct CdResult {
    std::array<float, kPatches * 4> difference;  // chroma difference, L, a, b (measured)
    std::array<float, kPatches * 3> reference;  // L, a, b (reference)
};

// RGB -> XYZ matrix: the inverse, by cofactors, of the listed XYZ -> RGB
// matrix (double precision from its single-precision coefficients).
std::array<double, 9> rgb_to_xyz_matrix();

CdResult color_difference(std::span<const float, kPatches * 3> measured, const Reference& reference);

}  // namespace morvik::color
