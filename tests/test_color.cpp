// Colour family: matrix toolkit, colour error, CCM calibration, colour
// difference and the multi-illuminant matrix.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "color/ccm.h"
#include "color/cd.h"
#include "color/color_error.h"
#include "color/matrix.h"
#include "color/multiccm.h"
#include "morvik/morvik.h"
#include "support.h"

namespace {

using namespace morvik::color;
using morvik::test::ScopedEnv;
using morvik::test::TempDir;

using MeasuredRec = std::array<float, kPatches * kMeasuredFields>;
using ReferenceRec = std::array<float, kPatches * kReferenceFields>;

// A chart whose chromatic patches are seen through the inverse of `mix`
// (rows summing to 1), under an uneven illumination field, at some exposure.
struct SyntheticChart {
    MeasuredRec measured{};
    ReferenceRec reference{};
};

SyntheticChart make_chart(const std::array<double, 9>& mix, std::mt19937& rng) {
    std::uniform_real_distribution<double> colour(20.0, 230.0), light(0.6, 1.0);
    // Inverse of mix by cofactors.
    const auto& m = mix;
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    const std::array<double, 9> inv{(m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det,
                                    (m[1] * m[5] - m[2] * m[4]) / det, (m[5] * m[6] - m[3] * m[8]) / det,
                                    (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
                                    (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det,
                                    (m[0] * m[4] - m[1] * m[3]) / det};
    SyntheticChart chart;
    const double exposure = 0.7;
    for (int i = 0; i < kPatches; ++i) {
        double ref[3];
        if (i < kFirstNeutral) {
            for (double& v : ref) v = colour(rng);
        } else {
            const double level = 240.0 * std::pow(10.0, -0.3 * (i - kFirstNeutral));
            ref[0] = ref[1] = ref[2] = level;
        }
        const double field = light(rng);
        for (int c = 0; c < 3; ++c) {
            chart.reference[std::size_t(i * kReferenceFields + kReferenceRgb + c)] = float(ref[c]);
            const double sensor = inv[3 * c] * ref[0] + inv[3 * c + 1] * ref[1] + inv[3 * c + 2] * ref[2];
            const double illum = 200.0 * field * (1.0 + 0.1 * c);
            chart.measured[std::size_t(i * kMeasuredFields + c)] = float(sensor * exposure * illum / 200.0);
            chart.measured[std::size_t(i * kMeasuredFields + 3 + c)] = float(illum);
        }
        chart.reference[std::size_t(i * kReferenceFields + kReferenceWeight)] = 1.0f;
    }
    return chart;
}

Measured view(const MeasuredRec& r) { return Measured{std::span<const float, kPatches * kMeasuredFields>(r)}; }
Reference view(const ReferenceRec& r) { return Reference{std::span<const float, kPatches * kReferenceFields>(r)}; }

constexpr std::array<double, 9> kMix{1.5, -0.3, -0.2, -0.25, 1.4, -0.15, -0.1, -0.5, 1.6};

// ------------------------------------------------------------------ toolkit

TEST(ColorMatrix, InversesAgreeWithEachOtherAndGiveTheIdentity) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int n : {1, 2, 3, 5, 8, 24}) {
        std::vector<float> a(std::size_t(n * n)), gj(a.size()), sw(a.size()), prod(a.size());
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) a[std::size_t(r * n + c)] = u(rng) + (r == c ? float(n) : 0.0f);
        }
        ASSERT_TRUE(invert_gauss_jordan(ConstMatrixRef{a.data(), n, n}, MatrixRef{gj.data(), n, n}));
        ASSERT_TRUE(invert_sweep(ConstMatrixRef{a.data(), n, n}, MatrixRef{sw.data(), n, n}));
        ASSERT_TRUE(multiply(ConstMatrixRef{a.data(), n, n}, ConstMatrixRef{gj.data(), n, n},
                             MatrixRef{prod.data(), n, n}));
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) {
                EXPECT_NEAR(prod[std::size_t(r * n + c)], r == c ? 1.0f : 0.0f, 1e-5f) << n;
                EXPECT_NEAR(gj[std::size_t(r * n + c)], sw[std::size_t(r * n + c)], 1e-5f) << n;
            }
        }
    }
}

TEST(ColorMatrix, RefusalsLeaveTheResultUntouched) {
    std::array<float, 6> a{1, 2, 3, 4, 5, 6};
    std::array<float, 9> out;
    out.fill(42.0f);
    EXPECT_FALSE(transpose(ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 2, 3}));
    EXPECT_FALSE(multiply(ConstMatrixRef{a.data(), 2, 3}, ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 2, 2}));
    EXPECT_FALSE(multiply(ConstMatrixRef{a.data(), 2, 3}, ConstMatrixRef{a.data(), 3, 2}, MatrixRef{out.data(), 3, 3}));
    EXPECT_FALSE(invert_sweep(ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 2, 3}));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(invert_gauss_jordan(ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 2, 3}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "the input matrix is not square");
    for (float v : out) EXPECT_EQ(v, 42.0f);
    // Transpose and product of the accepted shapes.
    ASSERT_TRUE(transpose(ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 3, 2}));
    EXPECT_EQ((std::array<float, 6>{out[0], out[1], out[2], out[3], out[4], out[5]}),
              (std::array<float, 6>{1, 4, 2, 5, 3, 6}));
}

TEST(ColorMatrix, LineFitMatchesClosedForm) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-50.0f, 50.0f);
    for (int trial = 0; trial < 200; ++trial) {
        const int n = 2 + trial % 23;
        const float true_slope = u(rng) * 0.1f, true_intercept = u(rng);
        std::vector<float> x(static_cast<std::size_t>(n)), y(static_cast<std::size_t>(n));
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (int i = 0; i < n; ++i) {
            // Spread abscissae around a noisy line keep the float fit well conditioned.
            x[std::size_t(i)] = float(i) * 10.0f + u(rng) * 0.1f;
            y[std::size_t(i)] = true_intercept + true_slope * x[std::size_t(i)] + 0.02f * u(rng);
            sx += x[std::size_t(i)];
            sy += y[std::size_t(i)];
            sxx += double(x[std::size_t(i)]) * x[std::size_t(i)];
            sxy += double(x[std::size_t(i)]) * y[std::size_t(i)];
        }
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        const double intercept = (sy - slope * sx) / n;
        const Line line = fit_line(x, y);
        EXPECT_NEAR(line.slope, slope, 1e-3 * (1 + std::fabs(slope)));
        EXPECT_NEAR(line.intercept, intercept, 1e-2 * (1 + std::fabs(intercept)));
    }
}

// ------------------------------------------------------------- colour error

TEST(ColorError, LabOfWhiteAndBlack) {
    const Lab white = rgb_to_lab(255, 255, 255);
    EXPECT_NEAR(white.L, 100.0, 0.05);
    EXPECT_NEAR(white.a, 0.0, 0.05);
    EXPECT_NEAR(white.b, 0.0, 0.05);
    const Lab black = rgb_to_lab(0, 0, 0);
    EXPECT_NEAR(black.L, 0.0, 1e-9);
    EXPECT_NEAR(black.a, 0.0, 1e-9);
    EXPECT_NEAR(black.b, 0.0, 1e-9);
}

TEST(ColorError, IdentityMatrixAndReferenceSet) {
    std::mt19937 rng(11);
    const auto chart = make_chart(kMix, rng);
    const float identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::array<float, 72> after{}, ref{}, before{};
    CalColorError(chart.measured.data(), chart.reference.data(), identity, after.data(), ref.data(), before.data());
    EXPECT_EQ(after, before);
    for (int i = 0; i < kPatches; ++i) {
        const Lab lab = rgb_to_lab(chart.reference[std::size_t(i * 11 + 6)], chart.reference[std::size_t(i * 11 + 7)],
                                   chart.reference[std::size_t(i * 11 + 8)]);
        EXPECT_EQ(ref[std::size_t(3 * i)], float(lab.L));
        EXPECT_EQ(ref[std::size_t(3 * i + 1)], float(lab.a));
        EXPECT_EQ(ref[std::size_t(3 * i + 2)], float(lab.b));
    }
    // Null pointers: nothing written.
    std::array<float, 72> untouched;
    untouched.fill(-7.0f);
    CalColorError(chart.measured.data(), nullptr, identity, untouched.data(), untouched.data(), untouched.data());
    for (float v : untouched) EXPECT_EQ(v, -7.0f);
}

TEST(ColorError, BlackOffsetFromTheTwoDarkestPatchesOnly) {
    std::mt19937 rng(5);
    auto chart = make_chart(kMix, rng);
    const Matrix3 identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    // Channel 0: steep line, negative intercept -> 0. Channel 1: shallow line.
    chart.measured[23 * 6 + 0] = 10.0f;
    chart.measured[22 * 6 + 0] = 40.0f;
    chart.measured[23 * 6 + 1] = 10.0f;
    chart.measured[22 * 6 + 1] = 12.0f;
    ColorErrorTrace trace{};
    color_error(view(chart.measured), view(chart.reference), identity, &trace);
    EXPECT_EQ(trace.offset[0], 0.0f);
    const double x0 = std::pow(10.0, -1.5), x1 = std::pow(10.0, -1.05);
    const double slope = (12.0 - 10.0) / (x1 - x0);
    EXPECT_NEAR(trace.offset[1], 10.0 - slope * x0, 1e-3);

    for (int i = kFirstNeutral; i < 22; ++i) chart.measured[std::size_t(i * 6 + 1)] *= 1.5f;
    ColorErrorTrace again{};
    color_error(view(chart.measured), view(chart.reference), identity, &again);
    EXPECT_EQ(again.offset, trace.offset);
}

TEST(ColorError, BrightestPatchIsTheFirstOfEqualLumas) {
    std::mt19937 rng(9);
    auto chart = make_chart(kMix, rng);
    for (int i : {4, 15}) {
        for (int c = 0; c < 3; ++c) chart.measured[std::size_t(i * 6 + 3 + c)] = 1000.0f;
    }
    ColorErrorTrace trace{};
    color_error(view(chart.measured), view(chart.reference), Matrix3{1, 0, 0, 0, 1, 0, 0, 0, 1}, &trace);
    EXPECT_EQ(trace.brightest, 4);
}

// ---------------------------------------------------------------- CCM

std::array<std::int32_t, 9> run_kt1(const SyntheticChart& chart, float strength) {
    const int32_t side[4] = {1, 2, 3, 4};
    int32_t dest[4] = {};
    std::array<int32_t, 9> out{};
    EXPECT_EQ(CC_Calibration_KT1(0, strength, chart.measured.data(), chart.reference.data(), side, out.data(), dest),
              0);
    EXPECT_EQ((std::array<int32_t, 4>{dest[0], dest[1], dest[2], dest[3]}), (std::array<int32_t, 4>{1, 2, 3, 4}));
    return out;
}

std::array<std::uint8_t, 9> run_8bit(const SyntheticChart& chart, float strength) {
    const int32_t side[4] = {5, 6, 7, 8};
    int32_t dest[4] = {};
    std::array<std::uint8_t, 9> out{};
    EXPECT_EQ(CC_Calibration(0, strength, chart.measured.data(), chart.reference.data(), side, out.data(), dest), 0);
    return out;
}

class ColorCcm : public testing::Test {
protected:
    TempDir dir;
    ScopedEnv env{"MORVIK_INSPECT_DIR", dir.path().string()};
};

TEST_F(ColorCcm, RecoversAKnownMixingMatrix) {
    std::mt19937 rng(1);
    const auto chart = make_chart(kMix, rng);
    const Matrix3 m = fit_ccm(view(chart.measured), view(chart.reference), 1.0f);
    for (std::size_t e = 0; e < 9; ++e) EXPECT_NEAR(m[e], kMix[e], 2e-4) << e;
    const auto kt1 = run_kt1(chart, 1.0f);
    const auto b8 = run_8bit(chart, 1.0f);
    for (std::size_t e = 0; e < 9; ++e) {
        EXPECT_EQ(decode_ccm11(kt1[e]), std::lround(kMix[e] * 256)) << e;
        EXPECT_EQ(decode_ccm8(b8[e]), std::lround(kMix[e] * 32)) << e;
    }
    // -0.25 is stored as 128 + 8 and 1024 + 64.
    EXPECT_EQ(b8[3], 136);
    EXPECT_EQ(kt1[3], 1088);
}

TEST_F(ColorCcm, StrengthZeroIsTheIdentityInBothEncodings) {
    std::mt19937 rng(2);
    const auto chart = make_chart(kMix, rng);
    EXPECT_EQ(run_8bit(chart, 0.0f), (std::array<std::uint8_t, 9>{32, 0, 0, 0, 32, 0, 0, 0, 32}));
    EXPECT_EQ(run_kt1(chart, 0.0f), (std::array<std::int32_t, 9>{256, 0, 0, 0, 256, 0, 0, 0, 256}));
}

TEST_F(ColorCcm, NeutralAndZeroWeightPatchesDoNotInfluenceTheMatrix) {
    std::mt19937 rng(4);
    auto chart = make_chart(kMix, rng);
    chart.reference[5 * 11 + 9] = 0.0f;
    const auto base = fit_ccm(view(chart.measured), view(chart.reference), 0.8f);
    for (int i : {5, 18, 19, 20, 21, 22, 23}) {
        for (int c = 0; c < 3; ++c) {
            chart.measured[std::size_t(i * 6 + c)] *= (i == 18 && c == 1) ? 1.0f : 1.7f;
            if (i != 18) chart.reference[std::size_t(i * 11 + 6 + c)] += 30.0f;
        }
    }
    EXPECT_EQ(fit_ccm(view(chart.measured), view(chart.reference), 0.8f), base);
}

TEST(ColorCcmQuantise, RowsSumToUnityAndRoundingIsHalfAwayFromZero) {
    std::mt19937 rng(6);
    std::uniform_real_distribution<float> u(-1.5f, 2.0f);
    for (int trial = 0; trial < 2000; ++trial) {
        Matrix3 m;
        for (float& v : m) v = u(rng);
        for (int unity : {32, 256}) {
            const auto q = quantise_ccm(m, unity);
            for (int r = 0; r < 3; ++r) {
                EXPECT_EQ(q[std::size_t(3 * r)] + q[std::size_t(3 * r + 1)] + q[std::size_t(3 * r + 2)], unity);
                for (int c = 0; c < 3; ++c) {
                    if (r == c) continue;
                    const float v = m[std::size_t(3 * r + c)] * float(unity);
                    EXPECT_EQ(q[std::size_t(3 * r + c)], v >= 0 ? std::int32_t(v + 0.5f) : std::int32_t(v - 0.5f));
                }
            }
            const auto b8 = encode_ccm8(q);
            const auto b11 = encode_ccm11(q);
            for (std::size_t e = 0; e < 9; ++e) {
                if (unity == 32 && std::abs(q[e]) < 128) {
                    EXPECT_EQ(decode_ccm8(b8[e]), q[e]);
                }
                if (unity == 256) {
                    EXPECT_EQ(decode_ccm11(b11[e]), q[e]);
                }
                if (q[e] < 0 && unity == 256) {
                    EXPECT_EQ(b11[e], 1024 + std::abs(q[e]));
                }
            }
        }
    }
    // Halves: 0.5 -> 1, -0.5 -> -1 (off-diagonal), and a row of 33 corrected.
    const auto q = quantise_ccm(Matrix3{1.0f, 1.0f / 64, -1.0f / 64, 0.1f, 0.8f, 0.1f, 0, 0, 1}, 32);
    EXPECT_EQ(q[1], 1);
    EXPECT_EQ(q[2], -1);
    EXPECT_EQ(q[4], 32 - 3 - 3);  // 3.2 and 3.2 round to 3 each, 25.6 -> 26 corrected to 26
}

TEST_F(ColorCcm, InspectionFileHoldsTheMeasuredRecord) {
    std::mt19937 rng(8);
    const auto chart = make_chart(kMix, rng);
    {
        std::ofstream old(dir.path() / "Camera_CC.csv");
        for (int i = 0; i < 100; ++i) old << "stale line\n";
    }
    run_8bit(chart, 1.0f);
    std::ifstream in(dir.path() / "Camera_CC.csv");
    ASSERT_TRUE(in);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        std::string expected;
        char buf[64];
        for (int f = 0; f < 6; ++f) {
            std::snprintf(buf, sizeof buf, "%8.4f,", double(chart.measured[std::size_t(lines * 6 + f)]));
            expected += buf;
        }
        EXPECT_EQ(line, expected);
        ++lines;
    }
    EXPECT_EQ(lines, 24);
}

TEST(ColorCcmExports, UnwritableInspectionFolderAndNullPointers) {
    ScopedEnv env("MORVIK_INSPECT_DIR", "/nonexistent/morvik/folder");
    std::mt19937 rng(10);
    const auto chart = make_chart(kMix, rng);
    EXPECT_EQ(run_8bit(chart, 0.0f), (std::array<std::uint8_t, 9>{32, 0, 0, 0, 32, 0, 0, 0, 32}));

    const int32_t side[4] = {1, 2, 3, 4};
    int32_t dest[4] = {9, 9, 9, 9};
    std::array<std::uint8_t, 9> b8;
    b8.fill(77);
    std::array<std::int32_t, 9> b11;
    b11.fill(77);
    EXPECT_EQ(CC_Calibration(0, 1.0f, chart.measured.data(), chart.reference.data(), side, b8.data(), nullptr),
              MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(CC_Calibration_KT1(0, 1.0f, nullptr, chart.reference.data(), side, b11.data(), dest),
              MORVIK_STATUS_INVALID_ARGUMENT);
    for (auto v : b8) EXPECT_EQ(v, 77);
    for (auto v : b11) EXPECT_EQ(v, 77);
    EXPECT_EQ(dest[0], 9);
}

// ------------------------------------------------------- colour difference

TEST(ColorDifference, InverseMatrixAndNormalisation) {
    const auto m = rgb_to_xyz_matrix();
    const double expected[9] = {0.412381, 0.357573, 0.180452, 0.212620, 0.715139, 0.072150, 0.019343, 0.119212,
                                0.950507};
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(m[std::size_t(i)], expected[i], 2e-6);

    std::mt19937 rng(12);
    std::uniform_real_distribution<float> u(0.5f, 250.0f);
    ReferenceRec ref{};
    std::array<float, 72> measured{};
    for (int i = 0; i < kPatches; ++i) {
        for (int c = 0; c < 3; ++c) {
            ref[std::size_t(i * 11 + 6 + c)] = u(rng);
            measured[std::size_t(3 * i + c)] = ref[std::size_t(i * 11 + 6 + c)] * 3.5f;  // common scale
        }
    }
    std::array<float, 96> diff{};
    std::array<float, 72> refLab{};
    ASSERT_EQ(CD_Calibration(0, measured.data(), ref.data(), diff.data(), refLab.data()), 0);
    for (int i = 0; i < kPatches; ++i) {
        EXPECT_NEAR(diff[std::size_t(4 * i)], 0.0f, 1e-3f);
        EXPECT_NEAR(diff[std::size_t(4 * i + 1)], refLab[std::size_t(3 * i)], 1e-3f);
    }
}

TEST(ColorDifference, LightnessOnlyAndDarkPatches) {
    ReferenceRec ref{};
    std::array<float, 72> measured{};
    for (int i = 0; i < kPatches; ++i) {
        const float grey = 10.0f + 10.0f * float(i);
        for (int c = 0; c < 3; ++c) {
            ref[std::size_t(i * 11 + 6 + c)] = grey;
            measured[std::size_t(3 * i + c)] = 250.0f - grey;  // same chroma, other lightness
        }
    }
    measured[0] = measured[1] = measured[2] = 0.5f;  // a very dark measured patch
    const auto result = color_difference(std::span<const float, 72>(measured), view(ref));
    for (int i = 0; i < kPatches; ++i) EXPECT_NEAR(result.difference[std::size_t(4 * i)], 0.0f, 0.05f) << i;

    // Dark branch: L = 903.3 y; the set's maximum is Z of the brightest grey (230, patch 1).
    const auto m = rgb_to_xyz_matrix();
    const double y = 0.5 * (m[3] + m[4] + m[5]) / (230.0 * (m[6] + m[7] + m[8]));
    ASSERT_LE(y, 0.008856);
    EXPECT_NEAR(result.difference[1], 903.3 * y, 1e-4);

    std::array<float, 96> diff;
    diff.fill(3.0f);
    EXPECT_EQ(CD_Calibration(0, measured.data(), ref.data(), diff.data(), nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
    for (float v : diff) EXPECT_EQ(v, 3.0f);
}

// ------------------------------------------------------ multi-illuminant

struct LightSet {
    std::vector<std::array<int32_t, 9>> matrices;
    std::vector<int32_t> first, den, second, weight;
    std::array<int32_t, 4> norm{};
    std::array<std::array<int32_t, 9>, 6> coef{};

    void add(const std::array<int32_t, 9>& m, int32_t f, int32_t d, int32_t s, int32_t w) {
        matrices.push_back(m);
        first.push_back(f);
        den.push_back(d);
        second.push_back(s);
        weight.push_back(w);
    }
    std::vector<Light> lights() const {
        std::vector<Light> out;
        for (std::size_t i = 0; i < matrices.size(); ++i) out.push_back({matrices[i], first[i], den[i], second[i], weight[i]});
        return out;
    }
    void run(int terms) {
        std::vector<int32_t*> ptrs;
        for (auto& m : matrices) ptrs.push_back(m.data());
        int32_t* out[6];
        for (int k = 0; k < 6; ++k) out[k] = coef[std::size_t(k)].data();
        MultiCCM(ptrs.data(), first.data(), den.data(), second.data(), weight.data(), int32_t(matrices.size()), terms,
                 norm.data(), out);
    }
};

LightSet random_lights(std::mt19937& rng, int n) {
    std::uniform_int_distribution<int32_t> elem(-300, 600), num(100, 900), w(1, 5);
    LightSet set;
    for (int i = 0; i < n; ++i) {
        std::array<int32_t, 9> m;
        for (auto& v : m) v = elem(rng);
        m[4] = 256;  // a constant element
        set.add(m, num(rng), 1000 + num(rng), num(rng), w(rng));
    }
    return set;
}

// Straightforward weighted least squares (partial pivoting) on raw terms.
std::vector<double> model_fit(const LightSet& s, int terms, int e, double mx, double sx, double my, double sy) {
    const std::size_t k = std::size_t(terms);
    std::vector<double> a(k * (k + 1));
    for (std::size_t i = 0; i < s.matrices.size(); ++i) {
        const double x = (512.0 * s.first[i] / s.den[i] - mx) / sx, y = (512.0 * s.second[i] / s.den[i] - my) / sy;
        const double t[6] = {1, x, y, x * x, x * y, y * y};
        const double w2 = double(s.weight[i]) * s.weight[i];
        for (std::size_t r = 0; r < k; ++r) {
            for (std::size_t c = 0; c < k; ++c) a[r * (k + 1) + c] += w2 * t[r] * t[c];
            a[r * (k + 1) + k] += w2 * t[r] * s.matrices[i][std::size_t(e)];
        }
    }
    for (std::size_t c = 0; c < k; ++c) {
        std::size_t p = c;
        for (std::size_t r = c + 1; r < k; ++r) {
            if (std::fabs(a[r * (k + 1) + c]) > std::fabs(a[p * (k + 1) + c])) p = r;
        }
        for (std::size_t j = 0; j <= k; ++j) std::swap(a[c * (k + 1) + j], a[p * (k + 1) + j]);
        for (std::size_t r = 0; r < k; ++r) {
            if (r == c) continue;
            const double f = a[r * (k + 1) + c] / a[c * (k + 1) + c];
            for (std::size_t j = 0; j <= k; ++j) a[r * (k + 1) + j] -= f * a[c * (k + 1) + j];
        }
    }
    std::vector<double> out(k);
    for (std::size_t r = 0; r < k; ++r) out[r] = a[r * (k + 1) + k] / a[r * (k + 1) + r];
    return out;
}

TEST(ColorMultiCcm, MatchesAStraightforwardWeightedFit) {
    std::mt19937 rng(21);
    for (int trial = 0; trial < 20; ++trial) {
        const int n = 6 + trial % 10;
        const int terms = 1 + trial % 6;
        auto set = random_lights(rng, n);
        const auto r = multi_ccm(set.lights(), terms);
        ASSERT_EQ(r.terms, terms);
        set.run(terms);
        EXPECT_EQ(set.norm, r.normalisation);
        for (int e = 0; e < 9; ++e) {
            const auto want = model_fit(set, terms, e, r.mean_x, r.sd_x, r.mean_y, r.sd_y);
            for (int k = 0; k < 6; ++k) {
                const double got = r.exact[std::size_t(k)][std::size_t(e)];
                if (k < terms) {
                    EXPECT_NEAR(got, want[std::size_t(k)], 1e-6 * (1 + std::fabs(want[std::size_t(k)])));
                }
                EXPECT_EQ(set.coef[std::size_t(k)][std::size_t(e)], k < terms ? round_half_up(10000 * got) : 0);
            }
        }
        // The constant element is fitted exactly.
        EXPECT_EQ(set.coef[0][4], 2560000);
        for (int k = 1; k < terms; ++k) EXPECT_EQ(set.coef[std::size_t(k)][4], 0);
    }
}

TEST(ColorMultiCcm, FewLightsUseThreeTermsAndZeroWeightsAreIgnored) {
    std::mt19937 rng(22);
    auto set = random_lights(rng, 5);
    for (auto& row : set.coef) row.fill(99);
    set.run(6);
    for (int k = 3; k < 6; ++k) EXPECT_EQ(set.coef[std::size_t(k)], (std::array<int32_t, 9>{}));

    // Zero-weight lights change the normalisation but not the fitted model.
    auto base = random_lights(rng, 8);
    auto more = base;
    more.add({1000, -1000, 5, 5, 5, 5, 5, 5, 5}, 300, 1200, 800, 0);
    more.add({-900, 900, 9, 9, 9, 9, 9, 9, 9}, 900, 1100, 100, 0);
    auto predict = [](const LightSet& s, int terms, double fx, double fy, int e) {
        const auto r = multi_ccm(s.lights(), terms);
        const double x = (fx - r.mean_x) / r.sd_x, y = (fy - r.mean_y) / r.sd_y;
        const double t[6] = {1, x, y, x * x, x * y, y * y};
        double v = 0;
        for (int k = 0; k < terms; ++k) v += r.exact[std::size_t(k)][std::size_t(e)] * t[k];
        return v;
    };
    for (int terms = 1; terms <= 6; ++terms) {
        for (int e = 0; e < 9; ++e) {
            EXPECT_NEAR(predict(base, terms, 200.0, 150.0, e), predict(more, terms, 200.0, 150.0, e), 1e-6);
        }
    }
}

TEST(ColorMultiCcm, HalvesRoundUpwardsAndInvalidArgumentsWriteNothing) {
    EXPECT_EQ(round_half_up(12.5), 13);
    EXPECT_EQ(round_half_up(-12.5), -12);
    EXPECT_EQ(round_half_up(std::nan("")), INT32_MIN);
    for (int sign : {1, -1}) {
        LightSet set;
        // x = 512 * first / 8192 = 0.0625 * first: mean 0.125 * sign.
        set.add({1, 2, 3, 4, 5, 6, 7, 8, 9}, sign * 1, 8192, 5, 1);
        set.add({1, 2, 3, 4, 5, 6, 7, 8, 9}, sign * 2, 8192, 1, 2);
        set.add({1, 2, 3, 4, 5, 6, 7, 8, 9}, sign * 3, 8192, 7, 1);
        set.run(3);
        EXPECT_EQ(set.norm[0], sign > 0 ? 13 : -12);
        EXPECT_EQ(set.coef[0][0], 10000);
    }
    std::mt19937 rng(23);
    auto set = random_lights(rng, 7);
    set.norm.fill(55);
    set.run(7);  // beyond the six terms
    EXPECT_EQ(set.norm, (std::array<int32_t, 4>{55, 55, 55, 55}));
    MultiCCM(nullptr, set.first.data(), set.den.data(), set.second.data(), set.weight.data(), 7, 3, set.norm.data(),
             nullptr);
    EXPECT_EQ(set.norm, (std::array<int32_t, 4>{55, 55, 55, 55}));
    // No terms: normalisation only, every coefficient 0.
    for (auto& row : set.coef) row.fill(99);
    set.run(0);
    EXPECT_NE(set.norm, (std::array<int32_t, 4>{55, 55, 55, 55}));
    for (const auto& row : set.coef) EXPECT_EQ(row, (std::array<int32_t, 9>{}));
}

}  // namespace

namespace {

// The subcommands on the shipped examples: exit status and key lines.
std::string run_cli(const std::string& args, int& status) {
    std::string out;
    FILE* pipe = popen((std::string(MORVIK_CLI) + " " + args + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
    status = pclose(pipe);
    return out;
}

TEST(ColorCli, SubcommandsOnTheExamples) {
    TempDir dir;
    ScopedEnv env("MORVIK_INSPECT_DIR", dir.path().string());
    const std::string ex = std::string(MORVIK_SOURCE_DIR) + "/examples/color/";
    int status = -1;
    auto out = run_cli("ccm " + ex + "capture.csv --strength 0", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find(" 32   0   0   0  32   0   0   0  32"), std::string::npos) << out;
    EXPECT_NE(out.find("Delta Eab after CCM:"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "Camera_CC.csv"));
    out = run_cli("cd " + ex + "measured.csv", status);
    EXPECT_EQ(status, 0) << out;
    out = run_cli("multiccm " + ex + "lights.json --terms 3", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("7 lights, 3 terms"), std::string::npos) << out;
    out = run_cli("ccm " + ex + "reference.csv", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("expected 6"), std::string::npos) << out;
}

}  // namespace
