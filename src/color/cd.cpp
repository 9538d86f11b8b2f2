// Double precision throughout, from the single-precision matrix and white
// point: the RGB -> XYZ matrix is the inverse by cofactors over the
// determinant (expanded along the first row); the cube root is
// 2^(log2(t)/3).
#include "color/cd.h"

#include <cmath>

#include "frame/maths.h"

namespace morvik::color {

namespace {

constexpr float kXyzToRgb[9] = {3.241f, -1.5374f, -0.4986f, -0.9692f, 1.876f, 0.0416f, 0.0556f, -0.204f, 1.057f};
constexpr float kXn = 95.0456f;
constexpr float kYn = 100.0f;
constexpr float kZn = 108.8754f;

double cube_root(double t) { return maths::exp2(maths::log2(t) / 3.0); }

double lab_f(double t) { return t > 0.008856 ? cube_root(t) : 7.787 * t + 16.0 / 116.0; }

using Set = std::array<double, kPatches * 3>;

void normalise(Set& set) {
    double largest = 0.0;
    for (double v : set) {
        if (v > largest) largest = v;
    }
    for (double& v : set) v = v / largest * 100.0;
}

Lab xyz_to_lab(const double* xyz) {
    const double x = xyz[0] / double(kXn);
    const double y = xyz[1] / double(kYn);
    const double z = xyz[2] / double(kZn);
    const double L = y > 0.008856 ? 116.0 * cube_root(y) - 16.0 : 903.3 * y;
    const double fy = lab_f(y);
    return {L, 500.0 * (lab_f(x) - fy), 200.0 * (fy - lab_f(z))};
}

}  // namespace

std::array<double, 9> rgb_to_xyz_matrix() {
    double m[9];
    for (int i = 0; i < 9; ++i) m[i] = kXyzToRgb[i];
    // Cofactors C[r][c]; the inverse is the transposed cofactor matrix over
    // the determinant.
    const double c00 = m[4] * m[8] - m[5] * m[7];
    const double c01 = m[5] * m[6] - m[3] * m[8];
    const double c02 = m[3] * m[7] - m[4] * m[6];
    const double c10 = m[2] * m[7] - m[1] * m[8];
    const double c11 = m[0] * m[8] - m[2] * m[6];
    const double c12 = m[1] * m[6] - m[0] * m[7];
    const double c20 = m[1] * m[5] - m[2] * m[4];
    const double c21 = m[2] * m[3] - m[0] * m[5];
    const double c22 = m[0] * m[4] - m[1] * m[3];
    const double det = m[0] * c00 + m[1] * c01 + m[2] * c02;
    return {c00 / det, c10 / det, c20 / det, c01 / det, c11 / det, c21 / det, c02 / det, c12 / det, c22 / det};
}

CdResult color_difference(std::span<const float, kPatches * 3> measured, const Reference& reference) {
    const auto inv = rgb_to_xyz_matrix();
    Set meas{};
    Set ref{};
    for (int i = 0; i < kPatches; ++i) {
        const double mr = measured[std::size_t(3 * i)], mg = measured[std::size_t(3 * i + 1)],
                     mb = measured[std::size_t(3 * i + 2)];
        const double rr = reference.rgb(i, 0), rg = reference.rgb(i, 1), rb = reference.rgb(i, 2);
        for (int k = 0; k < 3; ++k) {
            const double* row = &inv[std::size_t(3 * k)];
            meas[std::size_t(3 * i + k)] = row[0] * mr + row[1] * mg + row[2] * mb;
            ref[std::size_t(3 * i + k)] = row[0] * rr + row[1] * rg + row[2] * rb;
        }
    }
    normalise(meas);
    normalise(ref);

    CdResult out{};
    for (int i = 0; i < kPatches; ++i) {
        const Lab m = xyz_to_lab(&meas[std::size_t(3 * i)]);
        const Lab r = xyz_to_lab(&ref[std::size_t(3 * i)]);
        const double da = m.a - r.a;
        const double db = m.b - r.b;
        out.difference[std::size_t(4 * i)] = float(std::sqrt(da * da + db * db));
        out.difference[std::size_t(4 * i + 1)] = float(m.L);
        out.difference[std::size_t(4 * i + 2)] = float(m.a);
        out.difference[std::size_t(4 * i + 3)] = float(m.b);
        out.reference[std::size_t(3 * i)] = float(r.L);
        out.reference[std::size_t(3 * i + 1)] = float(r.a);
        out.reference[std::size_t(3 * i + 2)] = float(r.b);
    }
    return out;
}

}  // namespace morvik::color
