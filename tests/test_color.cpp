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

struct SyntheticChart {
    MeasuredRec measured{};
    ReferenceRec reference{};
    float& chart(int i, int c) { return measured[std::size_t(i * kMeasuredFields + c)]; }
    float& illum(int i, int c) { return measured[std::size_t(i * kMeasuredFields + 3 + c)]; }
    float& ref(int i, int c) { return reference[std::size_t(i * kReferenceFields + kReferenceRgb + c)]; }
    float& weight(int i) { return reference[std::size_t(i * kReferenceFields + kReferenceWeight)]; }
};

// Random chromatic patches and a neutral row, seen through the inverse of
// `mix` (rows summing to 1) under an uneven illumination field.
SyntheticChart make_chart(const std::array<double, 9>& m, std::mt19937& rng) {
    std::uniform_real_distribution<double> colour(20.0, 230.0), light(0.6, 1.0);
    auto cof = [&](int r, int c) {  // cofactor of m[r][c]
        const int r1 = (r + 1) % 3, r2 = (r + 2) % 3, c1 = (c + 1) % 3, c2 = (c + 2) % 3;
        return m[std::size_t(3 * r1 + c1)] * m[std::size_t(3 * r2 + c2)] -
               m[std::size_t(3 * r1 + c2)] * m[std::size_t(3 * r2 + c1)];
    };
    const double det = m[0] * cof(0, 0) + m[1] * cof(0, 1) + m[2] * cof(0, 2);
    SyntheticChart chart;
    for (int i = 0; i < kPatches; ++i) {
        double ref[3];
        for (double& v : ref) v = i < kFirstNeutral ? colour(rng) : 240.0 * std::pow(10.0, -0.3 * (i - kFirstNeutral));
        if (i >= kFirstNeutral) ref[1] = ref[2] = ref[0];
        const double field = light(rng);
        for (int c = 0; c < 3; ++c) {
            const double sensor = (cof(0, c) * ref[0] + cof(1, c) * ref[1] + cof(2, c) * ref[2]) / det;
            chart.ref(i, c) = float(ref[c]);
            chart.chart(i, c) = float(sensor * 0.7 * field * (1.0 + 0.1 * c));
            chart.illum(i, c) = float(200.0 * field * (1.0 + 0.1 * c));
        }
        chart.weight(i) = 1.0f;
    }
    return chart;
}

Measured view(const MeasuredRec& r) { return Measured{std::span<const float, kPatches * kMeasuredFields>(r)}; }
Reference view(const ReferenceRec& r) { return Reference{std::span<const float, kPatches * kReferenceFields>(r)}; }

constexpr std::array<double, 9> kMix{1.5, -0.3, -0.2, -0.25, 1.4, -0.15, -0.1, -0.5, 1.6};
constexpr Matrix3 kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

// ------------------------------------------------------------------ toolkit

TEST(ColorMatrix, InversesAgreeAndGiveTheIdentity) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int n : {1, 2, 3, 5, 8, 24}) {
        std::vector<float> a(std::size_t(n * n)), gj(a.size()), sw(a.size()), prod(a.size());
        for (std::size_t e = 0; e < a.size(); ++e) a[e] = u(rng) + (e % std::size_t(n + 1) == 0 ? float(n) : 0.0f);
        ASSERT_TRUE(invert_gauss_jordan(ConstMatrixRef{a.data(), n, n}, MatrixRef{gj.data(), n, n}));
        ASSERT_TRUE(invert_sweep(ConstMatrixRef{a.data(), n, n}, MatrixRef{sw.data(), n, n}));
        ASSERT_TRUE(multiply(ConstMatrixRef{a.data(), n, n}, ConstMatrixRef{gj.data(), n, n},
                             MatrixRef{prod.data(), n, n}));
        for (std::size_t e = 0; e < a.size(); ++e)
            EXPECT_TRUE(std::fabs(prod[e] - (e % std::size_t(n + 1) == 0 ? 1.0f : 0.0f)) < 1e-5f && std::fabs(gj[e] - sw[e]) < 1e-5f)
                << n << " " << e;
    }
}

TEST(ColorMatrix, RefusalsLeaveTheResultUntouched) {
    std::array<float, 6> a{1, 2, 3, 4, 5, 6};
    std::array<float, 9> out, kept;
    out.fill(42.0f), kept.fill(42.0f);
    EXPECT_FALSE(transpose(ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 2, 3}));
    EXPECT_FALSE(multiply(ConstMatrixRef{a.data(), 2, 3}, ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 2, 2}));
    EXPECT_FALSE(multiply(ConstMatrixRef{a.data(), 2, 3}, ConstMatrixRef{a.data(), 3, 2}, MatrixRef{out.data(), 3, 3}));
    EXPECT_FALSE(invert_sweep(ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 2, 3}));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(invert_gauss_jordan(ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 2, 3}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "the input matrix is not square");
    EXPECT_EQ(out, kept);
    ASSERT_TRUE(transpose(ConstMatrixRef{a.data(), 2, 3}, MatrixRef{out.data(), 3, 2}));
    EXPECT_EQ(out, (std::array<float, 9>{1, 4, 2, 5, 3, 6, 42, 42, 42}));
}

TEST(ColorMatrix, LineFitMatchesClosedForm) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-50.0f, 50.0f);
    for (int trial = 0; trial < 200; ++trial) {
        const int n = 2 + trial % 23;
        const float true_slope = u(rng) * 0.1f, true_intercept = u(rng);
        std::vector<float> x, y;
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (int i = 0; i < n; ++i) {
            x.push_back(float(i) * 10.0f + u(rng) * 0.1f);  // spread abscissae: a well-conditioned float fit
            y.push_back(true_intercept + true_slope * x.back() + 0.02f * u(rng));
            sx += x.back(), sy += y.back(), sxx += double(x.back()) * x.back(), sxy += double(x.back()) * y.back();
        }
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx), intercept = (sy - slope * sx) / n;
        const Line line = fit_line(x, y);
        EXPECT_NEAR(line.slope, slope, 1e-3 * (1 + std::fabs(slope)));
        EXPECT_NEAR(line.intercept, intercept, 1e-2 * (1 + std::fabs(intercept)));
    }
}

// ------------------------------------------------------------- colour error

TEST(ColorError, LabOfWhiteBlackAndTheExactConstants) {
    // Exponent 0.3333 (not 1/3), single-precision 1/Xn and 1/Zn, both branches.
    const auto f = [](double t) { return t > 0.008856 ? std::pow(t, 0.3333) : 7.787 * t + 16.0 / 116.0; };
    for (const auto& rgb : {std::array<double, 3>{255, 255, 255}, {0, 0, 0}, {200, 90, 30}, {20, 60, 240}, {3, 1, 0.5}}) {
        const double r = rgb[0] / 255, g = rgb[1] / 255, b = rgb[2] / 255;
        const double x = (0.412424 * r + 0.357579 * g + 0.180464 * b) * double(1.0521133f);
        const double y = 0.212656 * r + 0.715158 * g + 0.0721856 * b;
        const double z = (0.0193324 * r + 0.119193 * g + 0.950444 * b) * double(0.91829896f);
        const Lab lab = rgb_to_lab(rgb[0], rgb[1], rgb[2]);
        EXPECT_LT(std::fabs(lab.L - (116 * f(y) - 16)) + std::fabs(lab.a - 500 * (f(x) - f(y))) +
                      std::fabs(lab.b - 200 * (f(y) - f(z))), 1e-11) << rgb[0];
    }
}

TEST(ColorError, IdentityMatrixAndReferenceSet) {
    std::mt19937 rng(11);
    auto chart = make_chart(kMix, rng);
    std::array<float, 72> after{}, ref{}, before{};
    CalColorError(chart.measured.data(), chart.reference.data(), kIdentity.data(), after.data(), ref.data(),
                  before.data());
    EXPECT_EQ(after, before);
    for (int i = 0; i < kPatches; ++i) {
        const Lab lab = rgb_to_lab(chart.ref(i, 0), chart.ref(i, 1), chart.ref(i, 2));
        EXPECT_EQ((std::array<float, 3>{ref[std::size_t(3 * i)], ref[std::size_t(3 * i + 1)], ref[std::size_t(3 * i + 2)]}),
                  (std::array<float, 3>{float(lab.L), float(lab.a), float(lab.b)}));
    }
    std::array<float, 72> untouched;
    untouched.fill(-7.0f);
    const auto kept = untouched;
    CalColorError(chart.measured.data(), nullptr, kIdentity.data(), untouched.data(), untouched.data(), untouched.data());
    EXPECT_EQ(untouched, kept);
}

TEST(ColorError, BlackOffsetFromTheTwoDarkestPatchesOnly) {
    std::mt19937 rng(5);
    auto chart = make_chart(kMix, rng);
    // Channel 0: steep line, negative intercept -> 0. Channel 1: shallow line.
    chart.chart(23, 0) = 10.0f, chart.chart(22, 0) = 40.0f;
    chart.chart(23, 1) = 10.0f, chart.chart(22, 1) = 12.0f;
    ColorErrorTrace trace{};
    color_error(view(chart.measured), view(chart.reference), kIdentity, &trace);
    EXPECT_EQ(trace.offset[0], 0.0f);
    const double x0 = std::pow(10.0, -1.5), x1 = std::pow(10.0, -1.05);
    EXPECT_NEAR(trace.offset[1], 10.0 - (12.0 - 10.0) / (x1 - x0) * x0, 1e-3);

    // The lighter neutral patches take no part.
    for (int i = kFirstNeutral; i < 22; ++i) chart.chart(i, 1) *= 1.5f;
    const auto offset = trace.offset;
    color_error(view(chart.measured), view(chart.reference), kIdentity, &trace);
    EXPECT_EQ(trace.offset, offset);
}

TEST(ColorError, BrightestPatchByLumaWithBlueWeight0_117FirstOfEquals) {
    std::mt19937 rng(9);
    auto chart = make_chart(kMix, rng);
    ColorErrorTrace trace{};
    color_error(view(chart.measured), view(chart.reference), kIdentity, &trace);
    // The offsets come from the chart values only: add them back to the
    // illumination to obtain exact lumas.
    const auto illum = [&](int i, float r, float g, float b) {
        for (int c = 0; c < 3; ++c) chart.illum(i, c) = trace.offset[std::size_t(c)] + (c == 0 ? r : c == 1 ? g : b);
    };
    for (int i = 0; i < kPatches; ++i) illum(i, 10, 10, 10);
    illum(4, 500, 500, 500), illum(15, 500, 500, 500);
    color_error(view(chart.measured), view(chart.reference), kIdentity, &trace);
    EXPECT_EQ(trace.brightest, 4);
    // Blue alone at 1000 gives 117, beating green alone at 199.3 (116.99);
    // with a blue weight of 0.114 the green patch would win.
    illum(4, 10, 10, 10), illum(15, 10, 10, 10);
    illum(2, 0, 199.3f, 0), illum(9, 0, 0, 1000);
    color_error(view(chart.measured), view(chart.reference), kIdentity, &trace);
    EXPECT_EQ(trace.brightest, 9);
}

// ---------------------------------------------------------------- CCM

// Both exports on one chart; the side record must arrive unchanged.
struct CcmWords {
    std::array<std::uint8_t, 9> b8{};
    std::array<std::int32_t, 9> kt1{};
};
CcmWords run_ccm(const SyntheticChart& chart, float strength) {
    const int32_t side[4] = {1, 2, 3, 4};
    int32_t dest8[4] = {}, dest11[4] = {};
    CcmWords w;
    const float *m = chart.measured.data(), *r = chart.reference.data();
    EXPECT_EQ(CC_Calibration(0, strength, m, r, side, w.b8.data(), dest8), 0);
    EXPECT_EQ(CC_Calibration_KT1(0, strength, m, r, side, w.kt1.data(), dest11), 0);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(dest8[k] == side[k] && dest11[k] == side[k]);
    return w;
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
    const auto [b8, kt1] = run_ccm(chart, 1.0f);
    for (std::size_t e = 0; e < 9; ++e)
        EXPECT_TRUE(decode_ccm11(kt1[e]) == std::lround(kMix[e] * 256) && decode_ccm8(b8[e]) == std::lround(kMix[e] * 32)) << e;
    // -0.25 is stored as 128 + 8 and 1024 + 64.
    EXPECT_EQ(std::pair(int(b8[3]), kt1[3]), std::pair(136, 1088));
}

TEST_F(ColorCcm, NeutralAndZeroWeightPatchesDoNotInfluenceTheMatrix) {
    std::mt19937 rng(4);
    auto chart = make_chart(kMix, rng);
    chart.weight(5) = 0.0f;
    const auto base = fit_ccm(view(chart.measured), view(chart.reference), 0.8f);
    for (int i : {5, 18, 19, 20, 21, 22, 23})
        for (int c = 0; c < 3; ++c) {
            if (i != 18 || c != 1) chart.chart(i, c) *= 1.7f;  // green of white sets the exposure
            if (i != 18) chart.ref(i, c) += 30.0f;
        }
    EXPECT_EQ(fit_ccm(view(chart.measured), view(chart.reference), 0.8f), base);
}

TEST(ColorCcmQuantise, RowsSumToUnityRoundingHalfAwayInSinglePrecision) {
    std::mt19937 rng(6);
    std::uniform_real_distribution<float> u(-1.5f, 2.0f);
    for (int trial = 0; trial < 2000; ++trial) {
        Matrix3 m;
        for (float& v : m) v = u(rng);
        for (int unity : {32, 256}) {
            const auto q = quantise_ccm(m, unity);
            // The sign-magnitude register words decode back to the integers;
            // off-diagonal elements round, rows sum to unity.
            for (std::size_t e = 0; e < 9; ++e) {
                ASSERT_EQ(unity == 32 ? decode_ccm8(encode_ccm8(q)[e]) : decode_ccm11(encode_ccm11(q)[e]), q[e]);
                if (e % 4 != 0) { ASSERT_LE(std::fabs(q[e] - double(m[e]) * unity), 0.5001); }
                if (e % 3 == 2) { ASSERT_EQ(q[e - 2] + q[e - 1] + q[e], unity); }
            }
        }
    }
    // Halves go away from zero; just below a half, m * 32 + 0.5 is 1 in
    // single precision (0 in double); 1.6 + 28.8 + 1.6 rounds to 33 and the
    // diagonal takes the difference.
    using Q = std::array<std::int32_t, 9>;
    const float below = std::nextafter(1.0f / 64, 0.0f);
    EXPECT_EQ(quantise_ccm({1, 1.0f / 64, -1.0f / 64, 0.05f, 0.9f, 0.05f, 0, 0, 1}, 32),
              (Q{32, 1, -1, 2, 28, 2, 0, 0, 32}));
    EXPECT_EQ(quantise_ccm({1, below, -below, 0, 1, 0, 0, 0, 1}, 32), (Q{32, 1, -1, 0, 32, 0, 0, 0, 32}));
}

TEST_F(ColorCcm, InspectionFileHoldsTheMeasuredRecord) {
    std::mt19937 rng(8);
    const auto chart = make_chart(kMix, rng);
    {
        std::ofstream old(dir.path() / "Camera_CC.csv");
        for (int i = 0; i < 100; ++i) old << "stale line\n";
    }
    run_ccm(chart, 1.0f);
    std::ifstream in(dir.path() / "Camera_CC.csv", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string expected;
    char buf[32];
    for (std::size_t v = 0; v < chart.measured.size(); ++v) {
        std::snprintf(buf, sizeof buf, "%8.4f,", double(chart.measured[v]));
        expected += buf;
        if (v % 6 == 5) expected += '\n';
    }
    EXPECT_EQ(text, expected);
}

TEST(ColorCcmExports, StrengthZeroIsTheIdentityUnwritableFolderAndNullPointers) {
    ScopedEnv env("MORVIK_INSPECT_DIR", "/nonexistent/morvik/folder");
    std::mt19937 rng(10);
    const auto chart = make_chart(kMix, rng);
    const auto identity = run_ccm(chart, 0.0f);
    EXPECT_EQ(identity.b8, (std::array<std::uint8_t, 9>{32, 0, 0, 0, 32, 0, 0, 0, 32}));
    EXPECT_EQ(identity.kt1, (std::array<std::int32_t, 9>{256, 0, 0, 0, 256, 0, 0, 0, 256}));

    const int32_t side[4] = {1, 2, 3, 4};
    int32_t dest[4] = {9, 9, 9, 9};
    CcmWords w, before;
    w.b8.fill(77), w.kt1.fill(77), before = w;
    EXPECT_EQ(CC_Calibration(0, 1.0f, chart.measured.data(), chart.reference.data(), side, w.b8.data(), nullptr),
              MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(CC_Calibration_KT1(0, 1.0f, nullptr, chart.reference.data(), side, w.kt1.data(), dest),
              MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(w.b8 == before.b8 && w.kt1 == before.kt1 && dest[0] == 9);
}

// ------------------------------------------------------- colour difference

TEST(ColorDifference, CommonScaleGivesZeroAndTheListedInverse) {
    const auto m = rgb_to_xyz_matrix();
    const double expected[9] = {0.412381, 0.357573, 0.180452, 0.212620, 0.715139,
                                0.072150, 0.019343, 0.119212, 0.950507};
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(m[std::size_t(i)], expected[i], 2e-6);

    std::mt19937 rng(12);
    std::uniform_real_distribution<float> u(0.5f, 250.0f);
    SyntheticChart chart;
    std::array<float, 72> measured{};
    for (int i = 0; i < kPatches; ++i)
        for (int c = 0; c < 3; ++c) measured[std::size_t(3 * i + c)] = (chart.ref(i, c) = u(rng)) * 3.5f;
    std::array<float, 96> diff{};
    std::array<float, 72> refLab{};
    ASSERT_EQ(CD_Calibration(0, measured.data(), chart.reference.data(), diff.data(), refLab.data()), 0);
    for (int i = 0; i < kPatches; ++i)
        EXPECT_TRUE(std::fabs(diff[std::size_t(4 * i)]) < 1e-3f && std::fabs(diff[std::size_t(4 * i + 1)] - refLab[std::size_t(3 * i)]) < 1e-3f) << i;
    diff.fill(3.0f);
    const auto kept = diff;
    EXPECT_EQ(CD_Calibration(0, measured.data(), chart.reference.data(), diff.data(), nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(diff, kept);
}

TEST(ColorDifference, LightnessOnlyMaximumAndDarkPatches) {
    SyntheticChart chart;
    std::array<float, 72> measured{};
    for (int i = 0; i < kPatches; ++i)
        for (int c = 0; c < 3; ++c)  // same chroma, other lightness
            measured[std::size_t(3 * i + c)] = 250.0f - (chart.ref(i, c) = 10.0f + 10.0f * float(i));
    measured[0] = measured[1] = measured[2] = 0.5f;  // a very dark measured patch
    const auto result = color_difference(std::span<const float, 72>(measured), view(chart.reference));
    for (int i = 0; i < kPatches; ++i) EXPECT_NEAR(result.difference[std::size_t(4 * i)], 0.0f, 0.05f) << i;
    // The set's largest value, Z of the brightest grey (230, patch 1), is 100.
    const auto m = rgb_to_xyz_matrix();
    const double zn = double(108.8754f), max_z = 230.0 * (m[6] + m[7] + m[8]);
    const double y1 = 230.0 * (m[3] + m[4] + m[5]) / max_z;
    EXPECT_NEAR(result.difference[5], 116.0 * std::cbrt(y1) - 16.0, 1e-4);
    EXPECT_NEAR(result.difference[7], 200.0 * (std::cbrt(y1) - std::cbrt(100.0 / zn)), 1e-4);
    // Dark branch: L = 903.3 y.
    const double y0 = 0.5 * (m[3] + m[4] + m[5]) / max_z;
    ASSERT_LE(y0, 0.008856);
    EXPECT_NEAR(result.difference[1], 903.3 * y0, 1e-4);
}

// ------------------------------------------------------ multi-illuminant

struct LightSet {
    std::vector<std::array<int32_t, 9>> matrices;
    std::vector<int32_t> first, den, second, weight;
    std::array<int32_t, 4> norm{};
    std::array<std::array<int32_t, 9>, 6> coef{};

    void add(const std::array<int32_t, 9>& m, int32_t f, int32_t d, int32_t s, int32_t w) {
        matrices.push_back(m), first.push_back(f), den.push_back(d), second.push_back(s), weight.push_back(w);
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
        for (std::size_t k = 0; k < 6; ++k) out[k] = coef[k].data();
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

// Straightforward weighted least squares (weights squared, partial pivoting).
std::vector<double> model_fit(const LightSet& s, int terms, int e, const MultiCcmResult& r) {
    const std::size_t k = std::size_t(terms), w = k + 1;
    std::vector<double> a(k * w);
    for (std::size_t i = 0; i < s.matrices.size(); ++i) {
        const double x = (512.0 * s.first[i] / s.den[i] - r.mean_x) / r.sd_x;
        const double y = (512.0 * s.second[i] / s.den[i] - r.mean_y) / r.sd_y;
        const double t[6] = {1, x, y, x * x, x * y, y * y}, w2 = double(s.weight[i]) * s.weight[i];
        for (std::size_t row = 0; row < k; ++row) {
            for (std::size_t c = 0; c < k; ++c) a[row * w + c] += w2 * t[row] * t[c];
            a[row * w + k] += w2 * t[row] * s.matrices[i][std::size_t(e)];
        }
    }
    for (std::size_t c = 0; c < k; ++c) {
        std::size_t p = c;
        for (std::size_t row = c + 1; row < k; ++row)
            if (std::fabs(a[row * w + c]) > std::fabs(a[p * w + c])) p = row;
        for (std::size_t j = 0; j < w; ++j) std::swap(a[c * w + j], a[p * w + j]);
        for (std::size_t row = 0; row < k; ++row) {
            const double f = row == c ? 0.0 : a[row * w + c] / a[c * w + c];
            for (std::size_t j = 0; j < w; ++j) a[row * w + j] -= f * a[c * w + j];
        }
    }
    std::vector<double> out(k);
    for (std::size_t row = 0; row < k; ++row) out[row] = a[row * w + k] / a[row * w + row];
    return out;
}

TEST(ColorMultiCcm, MatchesAStraightforwardWeightedFit) {
    std::mt19937 rng(21);
    for (int trial = 0; trial < 20; ++trial) {
        const int n = 6 + trial % 10, terms = 1 + trial % 6;
        auto set = random_lights(rng, n);
        const auto r = multi_ccm(set.lights(), terms);
        ASSERT_EQ(r.terms, terms);
        set.run(terms);
        EXPECT_EQ(set.norm, r.normalisation);
        for (int e = 0; e < 9; ++e) {
            const auto want = model_fit(set, terms, e, r);
            for (std::size_t k = 0; k < 6; ++k) {
                const double got = r.exact[k][std::size_t(e)];
                if (k < std::size_t(terms)) { EXPECT_NEAR(got, want[k], 1e-6 * (1 + std::fabs(want[k]))); }
                EXPECT_EQ(set.coef[k][std::size_t(e)], k < std::size_t(terms) ? round_half_up(10000 * got) : 0);
            }
        }
        EXPECT_EQ(set.coef[0][4], 2560000);  // the constant element is fitted exactly
        for (std::size_t k = 1; k < std::size_t(terms); ++k) EXPECT_EQ(set.coef[k][4], 0);
    }
}

TEST(ColorMultiCcm, FewLightsUseThreeTermsAndZeroWeightsAreIgnored) {
    std::mt19937 rng(22);
    auto set = random_lights(rng, 5);
    for (auto& row : set.coef) row.fill(99);
    set.run(6);
    for (std::size_t k = 3; k < 6; ++k) EXPECT_EQ(set.coef[k], (std::array<int32_t, 9>{}));

    // Zero-weight lights move the normalisation but not the fitted model.
    auto base = random_lights(rng, 8);
    auto more = base;
    more.add({1000, -1000, 5, 5, 5, 5, 5, 5, 5}, 300, 1200, 800, 0);
    more.add({-900, 900, 9, 9, 9, 9, 9, 9, 9}, 900, 1100, 100, 0);
    auto predict = [](const LightSet& s, int terms, int e) {
        const auto r = multi_ccm(s.lights(), terms);
        const double x = (200.0 - r.mean_x) / r.sd_x, y = (150.0 - r.mean_y) / r.sd_y;
        const double t[6] = {1, x, y, x * x, x * y, y * y};
        double v = 0;
        for (std::size_t k = 0; k < std::size_t(terms); ++k) v += r.exact[k][std::size_t(e)] * t[k];
        return v;
    };
    for (int terms = 1; terms <= 6; ++terms)
        for (int e = 0; e < 9; ++e) EXPECT_NEAR(predict(base, terms, e), predict(more, terms, e), 1e-6);
}

TEST(ColorMultiCcm, HalvesRoundUpwardsAndInvalidArgumentsWriteNothing) {
    EXPECT_EQ(std::tuple(round_half_up(12.5), round_half_up(-12.5), round_half_up(std::nan(""))), std::tuple(13, -12, INT32_MIN));
    for (int sign : {1, -1}) {
        LightSet set;  // x = 512 * first / 8192 = 0.0625 * first: mean 0.125 * sign
        for (int32_t i = 1; i <= 3; ++i) set.add({1, 2, 3, 4, 5, 6, 7, 8, 9}, sign * i, 8192, 2 * i * i - 3, i);
        set.run(3);
        EXPECT_EQ(set.norm, (std::array<int32_t, 4>{sign > 0 ? 13 : -12, 6, 40, 51}));  // sample deviations
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
    for (auto& row : set.coef) row.fill(99);
    set.run(0);  // no terms: normalisation only, every coefficient 0
    EXPECT_NE(set.norm, (std::array<int32_t, 4>{55, 55, 55, 55}));
    for (const auto& row : set.coef) EXPECT_EQ(row, (std::array<int32_t, 9>{}));
}

}  // namespace
