// Precision: the two line fits (black offset, tone line) run in single
// precision, the toolkit's: design rows (1, x), A^T A by the product, its
// inverse by Gauss-Jordan without pivoting (factor a[r][k] / a[k][k], pivot
// row divided afterwards), then ((A^T A)^-1 A^T) y; the luminances 10^-1.5,
// 10^-1.05 and the flat-corrected neutral values are rounded to float for
// them. Every other step runs in double precision on the float inputs, with
// the single-precision constants (1/24, 1/Xn = 1.0521133, 1/Zn = 0.91829896)
// taken at float value and f(t) = pow(t, 0.3333). Products are evaluated
// left to right as written, e.g. ratio * (chart - offset) * gain * 0.85.
#include "color/color_error.h"

#include <cmath>

#include "frame/maths.h"

#include "color/matrix.h"

namespace morvik::color {

namespace {

constexpr float kInvXn = 1.0521133f;
constexpr float kInvZn = 0.91829896f;
constexpr float kInv24 = 1.0f / 24.0f;

double lab_f(double t) { return t > 0.008856 ? maths::pow(t, 0.3333) : 7.787 * t + 16.0 / 116.0; }

}  // namespace

Lab rgb_to_lab(double red, double green, double blue) {
    const double r = red / 255.0;
    const double g = green / 255.0;
    const double b = blue / 255.0;
    const double x = (0.412424 * r + 0.357579 * g + 0.180464 * b) * double(kInvXn);
    const double y = 0.212656 * r + 0.715158 * g + 0.0721856 * b;
    const double z = (0.0193324 * r + 0.119193 * g + 0.950444 * b) * double(kInvZn);
    const double fx = lab_f(x);
    const double fy = lab_f(y);
    const double fz = lab_f(z);
    return {116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

ColorErrorSets color_error(const Measured& measured, const Reference& reference, const Matrix3& matrix,
                           ColorErrorTrace* trace) {
    // 1. Black offsets: line through the two darkest neutral patches, chart
    //    value against relative luminance 10^-D; negative intercepts give 0.
    const std::array<float, 2> lum{float(maths::pow(10.0, -1.5)), float(maths::pow(10.0, -1.05))};
    std::array<float, 3> offset{};
    for (int c = 0; c < 3; ++c) {
        const std::array<float, 2> value{measured.chart(23, c), measured.chart(22, c)};
        const float intercept = fit_line(lum, value).intercept;
        offset[std::size_t(c)] = intercept < 0.0f ? 0.0f : intercept;
    }

    // 2. Offsets off both triples.
    double chart[kPatches][3];
    double illum[kPatches][3];
    for (int i = 0; i < kPatches; ++i) {
        for (int c = 0; c < 3; ++c) {
            chart[i][c] = double(measured.chart(i, c)) - double(offset[std::size_t(c)]);
            illum[i][c] = double(measured.illum(i, c)) - double(offset[std::size_t(c)]);
        }
    }

    // 3. Brightest patch by illumination luma (first of equals; 0 if none > 0).
    int brightest = 0;
    double best = 0.0;
    for (int i = 0; i < kPatches; ++i) {
        const double luma = 0.299 * illum[i][0] + 0.587 * illum[i][1] + 0.117 * illum[i][2];
        if (luma > best) {
            best = luma;
            brightest = i;
        }
    }

    // 4. Illumination ratios and the channel means of the flattened field.
    double ratio[kPatches][3];
    std::array<double, 3> mean{};
    for (int c = 0; c < 3; ++c) {
        double sum = 0.0;
        for (int i = 0; i < kPatches; ++i) {
            ratio[i][c] = illum[brightest][c] / illum[i][c];
            sum += illum[i][c] * ratio[i][c];
        }
        mean[std::size_t(c)] = sum * double(kInv24);
    }

    // 5. White-balance gains against the largest mean.
    double largest = mean[0];
    for (int c = 1; c < 3; ++c) {
        if (mean[std::size_t(c)] > largest) largest = mean[std::size_t(c)];
    }
    std::array<double, 3> gain{};
    for (int c = 0; c < 3; ++c) gain[std::size_t(c)] = largest / mean[std::size_t(c)];

    // 6-7. Tone line per channel: reference of the neutral row against the
    //      flat-corrected, balanced chart values.
    std::array<float, 3> slope{};
    std::array<float, 3> intercept{};
    for (int c = 0; c < 3; ++c) {
        std::array<float, 6> v{};
        std::array<float, 6> ref{};
        for (int j = 0; j < 6; ++j) {
            const int i = kFirstNeutral + j;
            v[std::size_t(j)] = float(ratio[i][c] * chart[i][c] * gain[std::size_t(c)] * 0.85);
            ref[std::size_t(j)] = reference.rgb(i, c);
        }
        const Line line = fit_line(v, ref);
        slope[std::size_t(c)] = line.slope;
        intercept[std::size_t(c)] = line.intercept;
    }

    // 8-10. Patches in reference units (without ratio and 0.85), the matrix,
    //       and the three Lab sets.
    ColorErrorSets out{};
    for (int i = 0; i < kPatches; ++i) {
        double p[3];
        for (int c = 0; c < 3; ++c) {
            p[c] = chart[i][c] * double(slope[std::size_t(c)]) * gain[std::size_t(c)] +
                   double(intercept[std::size_t(c)]);
        }
        double q[3];
        for (int r = 0; r < 3; ++r) {
            q[r] = double(matrix[std::size_t(3 * r)]) * p[0] + double(matrix[std::size_t(3 * r + 1)]) * p[1] +
                   double(matrix[std::size_t(3 * r + 2)]) * p[2];
        }
        const Lab after = rgb_to_lab(q[0], q[1], q[2]);
        const Lab ref = rgb_to_lab(reference.rgb(i, 0), reference.rgb(i, 1), reference.rgb(i, 2));
        const Lab before = rgb_to_lab(p[0], p[1], p[2]);
        const auto put = [i](std::array<float, kPatches * 3>& set, const Lab& lab) {
            set[std::size_t(3 * i)] = float(lab.L);
            set[std::size_t(3 * i + 1)] = float(lab.a);
            set[std::size_t(3 * i + 2)] = float(lab.b);
        };
        put(out.corrected, after);
        put(out.reference, ref);
        put(out.uncorrected, before);
    }
    if (trace != nullptr) *trace = {offset, brightest, gain, slope, intercept};
    return out;
}

}  // namespace morvik::color
