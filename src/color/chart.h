// The 24-patch chart records shared by the colour family.
#pragma once

#include <array>
#include <span>

namespace morvik::color {

inline constexpr int kPatches = 24;
inline constexpr int kFirstNeutral = 18;  // neutral row: 18 (white) .. 23 (black)
inline constexpr int kMeasuredFields = 6;  // chart R, G, B, illumination R, G, B
inline constexpr int kReferenceFields = 11;  // fields 6..8 reference R, G, B; 9 weight
inline constexpr int kReferenceRgb = 6;
inline constexpr int kReferenceWeight = 9;

// Measured chart record: 24 x 6 floats.
struct Measured {
    std::span<const float, kPatches * kMeasuredFields> v;
    float chart(int i, int c) const { return v[std::size_t(i * kMeasuredFields + c)]; }
    float illum(int i, int c) const { return v[std::size_t(i * kMeasuredFields + 3 + c)]; }
};

// Reference chart record: 24 x 11 floats.
struct Reference {
    std::span<const float, kPatches * kReferenceFields> v;
    float rgb(int i, int c) const { return v[std::size_t(i * kReferenceFields + kReferenceRgb + c)]; }
    float weight(int i) const { return v[std::size_t(i * kReferenceFields + kReferenceWeight)]; }
};

using Matrix3 = std::array<float, 9>;  // row-major: out r = sum_c M[3r + c] * in c

struct Lab {
    double L;
    double a;
    double b;
};

}  // namespace morvik::color
