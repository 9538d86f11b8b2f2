// PCA tables: the hardware hue angle and per-pixel core against plain models
// written from the rules, table generation and one-colour tuning.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <random>
#include <vector>

#include "frame/maths.h"
#include "morvik/morvik.h"
#include "pca/pca.h"
#include "support.h"

using morvik::test::run_cli;

namespace {

namespace maths = morvik::maths;
constexpr double kPi = 3.14159265358979323846;

// ------------------------------------------------------------------ models

// atan(i/256) in whole degrees, halves up.
int model_table(int i) { return static_cast<int>(std::floor(maths::atan(i / 256.0) * 180.0 / kPi + 0.5)); }

// First-octant angle of n/d (0 <= n < d) through the 14-bit reciprocal.
int model_octant(long long n, long long d) {
    const long long r = static_cast<long long>(16384.0 / static_cast<double>(d) + 0.5);
    const long long i = std::min(255LL, static_cast<long long>(std::floor(static_cast<double>(n * r) / 64.0 + 0.5)));
    return model_table(static_cast<int>(i));
}

int model_angle(long long y, long long x) {
    if (x == 0 && y == 0) return 0;
    const long long ax = std::llabs(x), ay = std::llabs(y);
    // Angle within the quadrant, measured from the quadrant's first axis.
    int a;
    if (ax == ay) {
        a = 45;
    } else if (ax > ay) {
        a = model_octant(ay, ax);
    } else {
        a = 90 - model_octant(ax, ay);
    }
    if (y == 0) a = 0;
    if (x == 0) a = 90;
    int h;
    if (x >= 0 && y >= 0) {
        h = a;
    } else if (x < 0 && y >= 0) {
        h = 180 - a;
    } else if (x < 0) {
        h = 180 + a;
    } else {
        h = 360 - a;
    }
    if (x == 0 && y < 0) h = 270;
    return h % 360;
}

long long half_away(double v) { return static_cast<long long>(v > 0 ? v + 0.5 : v - 0.5); }
long long half_up(double v) { return static_cast<long long>(std::floor(v + 0.5)); }
long long clampll(long long v, long long lo, long long hi) { return v < lo ? lo : v > hi ? hi : v; }

struct Pixel {
    std::uint32_t y, u, v;
    bool operator==(const Pixel&) const = default;
};

// The block on one pixel, straight from the rules.
int model_core(Pixel& p, int offset, int threshold, bool full, const int* hue, const int* sat, const int* luma) {
    const long long Y = p.y >> 8, U = static_cast<long long>(p.u >> 8) - 128,
                    V = static_cast<long long>(p.v >> 8) - 128;
    int h = model_angle(V, U) + offset;
    if (h >= 360) h -= 360;
    const int b = full ? h : h / 2;
    const long long H = hue[b], S = sat[b], L = luma[b];
    const long long h0 = static_cast<long long>(std::floor(H / 2.0));
    const auto s = [](long long d) { return half_away(maths::sin(static_cast<double>(d) * 0.017453292519943295) * 1024); };
    const auto c = [](long long d) { return half_away(maths::cos(static_cast<double>(d) * 0.017453292519943295) * 1024); };
    long long sinT = s(h0), cosT = c(h0);
    if (H % 2 != 0) {
        sinT = half_away((s(h0) + s(h0 + 1)) / 2.0);
        cosT = half_away((c(h0) + c(h0 + 1)) / 2.0);
    }
    const long long ur = clampll(half_up((U * cosT - V * sinT) / 64.0), -2048, 2047);
    const long long vr = clampll(half_up((V * cosT + U * sinT) / 64.0), -2048, 2047);
    const long long m = static_cast<long long>(std::sqrt(static_cast<double>(U * U + V * V)) + 0.5);
    const long long w = clampll(m - threshold, 0, 16);
    const long long g = half_up(w * L / 16.0) + 128;
    p.y = static_cast<std::uint32_t>(clampll(half_away(Y * g / 128.0), 0, 255)) << 8;
    p.u = static_cast<std::uint32_t>(clampll(half_up((S + 128) * ur / 2048.0) + 128, 0, 255)) << 8;
    p.v = static_cast<std::uint32_t>(clampll(half_up((S + 128) * vr / 2048.0) + 128, 0, 255)) << 8;
    return h;
}

struct Arrays {
    std::vector<int32_t> hue, sat, luma;
    explicit Arrays(int n) : hue(std::size_t(n)), sat(std::size_t(n)), luma(std::size_t(n)) {}
};

Arrays random_arrays(int n, std::mt19937& rng, int hue_span, int gain_span) {
    Arrays a(n);
    std::uniform_int_distribution<int> hd(-hue_span, hue_span), gd(-gain_span, gain_span);
    for (int i = 0; i < n; ++i) {
        a.hue[std::size_t(i)] = hd(rng);
        a.sat[std::size_t(i)] = std::max(-128, gd(rng));
        a.luma[std::size_t(i)] = std::max(-128, gd(rng));
    }
    return a;
}

int run_core(Pixel& p, int offset, int threshold, int full, const Arrays& a) {
    return pca_core(&p.y, &p.u, &p.v, offset, threshold, full, a.hue.data(), a.sat.data(), a.luma.data());
}

// ------------------------------------------------------------------ hue angle

TEST(PcaAngle, TableFollowsItsRuleForEveryEntry) {
    const auto& table = morvik::pca::angle_table();
    for (int i = 0; i < 256; ++i) EXPECT_EQ(table[std::size_t(i)], model_table(i)) << "entry " << i;
    EXPECT_EQ(table[2], 0);
    EXPECT_EQ(table[3], 1);
    EXPECT_EQ(table[251], 44);
    EXPECT_EQ(table[252], 45);
}

TEST(PcaAngle, SpecialDirectionsAndDiagonals) {
    EXPECT_EQ(atan2_hw_360(0, 0), 0);
    EXPECT_EQ(atan2_hw_360(5, 0), 90);
    EXPECT_EQ(atan2_hw_360(-5, 0), 270);
    EXPECT_EQ(atan2_hw_360(0, -5), 180);
    EXPECT_EQ(atan2_hw_360(0, 5), 0);
    for (int m : {1, 3, 127, 128, 40000, 2147483647}) {
        EXPECT_EQ(atan2_hw_360(m, m), 45);
        EXPECT_EQ(atan2_hw_360(m, -m), 135);
        EXPECT_EQ(atan2_hw_360(-m, -m), 225);
        EXPECT_EQ(atan2_hw_360(-m, m), 315);
    }
    // 360 - 0 folds to 0.
    EXPECT_EQ(atan2_hw_360(-1, 127), 0);
    // Ratios at or above 255.5/256 clamp to entry 255.
    EXPECT_EQ(atan2_hw_360(127, 128), 45);
    EXPECT_EQ(atan2_hw_360(128, 127), 45);
    EXPECT_EQ(atan2_hw_360(-128, 127), 315);
}

TEST(PcaAngle, EveryEightBitPairMatchesTheModelAndTrueAngle) {
    for (int y = -128; y <= 127; ++y) {
        for (int x = -128; x <= 127; ++x) {
            const int h = atan2_hw_360(y, x);
            ASSERT_EQ(h, model_angle(y, x)) << "y " << y << " x " << x;
            if (x == 0 && y == 0) continue;
            double exact = maths::atan2(y, x) * 180 / kPi;
            if (exact < 0) exact += 360;
            double diff = std::fabs(h - exact);
            diff = std::min(diff, 360 - diff);
            // Small magnitudes lose up to two degrees in the 8-bit index.
            ASSERT_LE(diff, std::max(x * x, y * y) < 100 ? 3.0 : 1.0) << "y " << y << " x " << x;
        }
    }
}

TEST(PcaAngle, WideInputsMatchTheModel) {
    std::mt19937 rng(14);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX), mid(-70000, 70000);
    for (int i = 0; i < 200000; ++i) {
        const int32_t y = i % 2 ? any(rng) : mid(rng), x = i % 3 ? mid(rng) : any(rng);
        ASSERT_EQ(atan2_hw_360(y, x), model_angle(y, x)) << "y " << y << " x " << x;
    }
    // A denominator above 32768 rounds the reciprocal to 0, the index to 0.
    EXPECT_EQ(atan2_hw_360(30000, 40000), 0);
    EXPECT_EQ(atan2_hw_360(40000, 30000), 90);
    EXPECT_EQ(atan2_hw_360(INT32_MIN, INT32_MIN), 225);
    EXPECT_EQ(atan2_hw_360(INT32_MIN, 0), 270);
}

// ------------------------------------------------------------------ PCA core

TEST(PcaCore, EveryEightBitChromaPairMatchesTheModel) {
    std::mt19937 rng(7);
    struct Case {
        int n, full, hue_span, gain_span, threshold, offset;
    };
    // Half-circle and full-circle arrays, odd and negative hue entries, gains
    // reaching zero chroma, thresholds inside and outside the chroma range.
    const Case cases[] = {{180, 0, 40, 127, 0, 0}, {180, 0, 721, 300, 20, 0}, {360, 1, 90, 128, 64, 359},
                          {180, 0, 7, 60, -5, 181}};
    std::uniform_int_distribution<int> yd(0, 255);
    for (const Case& c : cases) {
        const Arrays a = random_arrays(c.n, rng, c.hue_span, c.gain_span);
        for (int u = 0; u < 256; ++u) {
            for (int v = 0; v < 256; ++v) {
                Pixel got{std::uint32_t(yd(rng)) << 8, std::uint32_t(u) << 8, std::uint32_t(v) << 8};
                Pixel want = got;
                const int h = run_core(got, c.offset, c.threshold, c.full, a);
                ASSERT_EQ(h, model_core(want, c.offset, c.threshold, c.full != 0, a.hue.data(), a.sat.data(),
                                        a.luma.data()));
                ASSERT_EQ(got, want) << "u " << u << " v " << v << " n " << c.n;
            }
        }
    }
}

TEST(PcaCore, WideRangeWordsAndEntriesMatchTheModel) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<std::uint32_t> word(0, 0xFFFFFFFFu), low(0, 0xFFFFu);
    std::uniform_int_distribution<int32_t> entry(-100000, 100000), th(-100, 300), off(0, 359);
    Arrays a(360);
    for (int i = 0; i < 200000; ++i) {
        if (i % 1000 == 0) {
            for (std::size_t k = 0; k < 360; ++k) {
                a.hue[k] = entry(rng);
                a.sat[k] = entry(rng) / 100;
                a.luma[k] = entry(rng) / 50;
            }
        }
        const bool wide = i % 2 == 0;
        Pixel got{wide ? word(rng) : low(rng), wide ? word(rng) : low(rng), i % 4 ? low(rng) : word(rng)};
        Pixel want = got;
        const int full = i % 3 == 0, offset = off(rng), threshold = th(rng);
        const int h = run_core(got, offset, threshold, full, a);
        ASSERT_EQ(h, model_core(want, offset, threshold, full != 0, a.hue.data(), a.sat.data(), a.luma.data()));
        ASSERT_EQ(got, want) << "case " << i;
        ASSERT_EQ(got.y & 0xFFu, 0u);
    }
}

TEST(PcaCore, EdgeCases) {
    Arrays zero(180);
    // Grey with zero arrays: angle 0, pixel unchanged, low bits cleared.
    Pixel p{0x80FFu, 0x80FFu, 0x8001u};
    EXPECT_EQ(run_core(p, 0, 0, 0, zero), 0);
    EXPECT_EQ(p, (Pixel{0x8000u, 0x8000u, 0x8000u}));

    // Saturation entry -128 gives grey whatever the rotation.
    Arrays grey(180);
    std::fill(grey.sat.begin(), grey.sat.end(), -128);
    std::fill(grey.hue.begin(), grey.hue.end(), 37);
    for (int u = 0; u < 256; u += 5) {
        Pixel q{100u << 8, std::uint32_t(u) << 8, std::uint32_t(255 - u) << 8};
        run_core(q, 0, 0, 0, grey);
        EXPECT_EQ(q.u, 128u << 8);
        EXPECT_EQ(q.v, 128u << 8);
    }

    // Angle 359 uses bin 179, or entry 359 of full-circle arrays.
    Arrays half(180), full(360);
    half.sat[179] = -128;
    full.sat[359] = -128;
    Pixel a{0x8000u, std::uint32_t(128 + 100) << 8, std::uint32_t(128 - 2) << 8};
    Pixel b = a;
    ASSERT_EQ(atan2_hw_360(-2, 100), 359);
    EXPECT_EQ(run_core(a, 0, 0, 0, half), 359);
    EXPECT_EQ(run_core(b, 0, 0, 1, full), 359);
    EXPECT_EQ(a.u, 128u << 8);
    EXPECT_EQ(b.u, 128u << 8);

    // The offset wraps once past 360.
    Pixel c{0x8000u, std::uint32_t(128 + 100) << 8, std::uint32_t(128 - 2) << 8};
    EXPECT_EQ(run_core(c, 3, 0, 1, full), 2);
}

TEST(PcaCore, OddHueEntryTakesTheRoundedMeanOfNeighbouringDegrees) {
    const auto t7 = morvik::pca::bin_transform(7, 0, 0);
    const auto r = [](double deg, bool s) {
        return half_away((s ? maths::sin(deg * kPi / 180) : maths::cos(deg * kPi / 180)) * 1024);
    };
    EXPECT_EQ(t7.sin_t, half_away((r(3, true) + r(4, true)) / 2.0));
    EXPECT_EQ(t7.cos_t, half_away((r(3, false) + r(4, false)) / 2.0));
    // -7 is -4 degrees plus a half: the mean of -4 and -3 degrees.
    const auto tm7 = morvik::pca::bin_transform(-7, 0, 0);
    EXPECT_EQ(tm7.sin_t, -t7.sin_t);
    EXPECT_EQ(tm7.cos_t, t7.cos_t);
    const auto t8 = morvik::pca::bin_transform(8, 0, 0);
    EXPECT_EQ(t8.sin_t, r(4, true));
}

TEST(PcaCore, LumaEntryRampsOverSixteenChromaUnits) {
    Arrays a(180);
    std::fill(a.luma.begin(), a.luma.end(), 64);  // gain 1.5 at full weight
    const int threshold = 20;
    for (int m = 0; m <= 60; ++m) {
        Pixel p{100u << 8, std::uint32_t(128 + m) << 8, 128u << 8};  // chroma magnitude m, angle 0
        run_core(p, 0, threshold, 0, a);
        const int w = std::clamp(m - threshold, 0, 16);
        const int g = static_cast<int>(std::floor(w * 64 / 16.0 + 0.5)) + 128;
        EXPECT_EQ(int(p.y >> 8), static_cast<int>(100.0 * g / 128 + 0.5)) << "magnitude " << m;
        if (m <= threshold) {
            EXPECT_EQ(p.y >> 8, 100u);
        }
        if (m >= threshold + 16) {
            EXPECT_EQ(p.y >> 8, 150u);
        }
    }
}

TEST(PcaCore, RejectsNullPointersAndOffsetsOutsideTheCircle) {
    Arrays a(180);
    Pixel p{0x1234u, 0x5678u, 0x9ABCu};
    const Pixel before = p;
    EXPECT_EQ(pca_core(nullptr, &p.u, &p.v, 0, 0, 0, a.hue.data(), a.sat.data(), a.luma.data()),
              MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(pca_core(&p.y, &p.u, &p.v, 0, 0, 0, a.hue.data(), nullptr, a.luma.data()),
              MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(run_core(p, 360, 0, 0, a), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(run_core(p, -1, 0, 0, a), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_STRNE(morvik_last_error(), "");
    EXPECT_EQ(p, before);
    EXPECT_EQ(run_core(p, 0, 0, 0, a), atan2_hw_360(0x9A - 128, 0x56 - 128));
    EXPECT_STREQ(morvik_last_error(), "");
}

// ------------------------------------------------------------------ colours

namespace pca = morvik::pca;

TEST(PcaColour, IntegerYuvMatchesASignMagnitudeModel) {
    for (int r = 0; r < 256; r += 3) {
        for (int g = 0; g < 256; g += 3) {
            for (int b = 0; b < 256; b += 3) {
                const int y = (77 * r + 150 * g + 29 * b) / 256;
                const auto scaled = [](int d, int k) { return d >= 0 ? d * k / 256 : -(-d * k / 256); };
                const auto yuv = pca::rgb_to_yuv(pca::Rgb{r, g, b});
                ASSERT_EQ(yuv.y, y * 255 / 256 + 1);
                ASSERT_EQ(yuv.u, 128 + scaled(b - y, 144));
                ASSERT_EQ(yuv.v, 128 + scaled(r - y, 183));
            }
        }
    }
    EXPECT_EQ(pca::rgb_to_yuv(pca::Rgb{0, 0, 0}).y, 1);
    EXPECT_EQ(pca::rgb_to_yuv(pca::Rgb{255, 255, 255}).y, 255);
    // Sixteen-bit form: 256 and above to 65535, negatives to 0.
    const auto w = pca::yuv16(pca::Yuv{256, -1, 255});
    EXPECT_EQ(w[0], 65535u);
    EXPECT_EQ(w[1], 0u);
    EXPECT_EQ(w[2], 255u << 8);
}

TEST(PcaColour, GreysSurviveTheRoundTripAndHaveNoHue) {
    for (int c = 0; c < 256; ++c) {
        const auto rec = pca::hue_record(pca::Rgb{c, c, c});
        EXPECT_EQ(rec.hue, 0);
        EXPECT_EQ(rec.chroma, 0);
        const auto yuv = pca::yuv8(pca::rgb_to_yuv(pca::Rgb{c, c, c}));
        const auto back = pca::yuv8_to_rgb(yuv[0], yuv[1], yuv[2]);
        EXPECT_LE(std::abs(back.r - c), 1);
        EXPECT_EQ(back.r, back.g);
        EXPECT_EQ(back.g, back.b);
        const auto lab = pca::lab_of(pca::Rgb{c, c, c});
        EXPECT_LT(std::fabs(lab.a), 0.1f);
        EXPECT_LT(std::fabs(lab.b), 0.1f);
    }
    const auto white = pca::lab_of(pca::Rgb{255, 255, 255});
    EXPECT_NEAR(white.l, 100.0f, 0.01f);
    // sRGB red, with the four-digit matrix.
    const auto red = pca::lab_of(pca::Rgb{255, 0, 0});
    EXPECT_NEAR(red.l, 53.24f, 0.05f);
    EXPECT_NEAR(red.a, 80.09f, 0.1f);
    EXPECT_NEAR(red.b, 67.20f, 0.1f);
    // Record chroma keeps its half inside the root: (3, 4) gives sqrt(25.5).
    EXPECT_EQ(pca::hue_record(pca::Rgb{255, 0, 0}).luma, pca::yuv8(pca::rgb_to_yuv(pca::Rgb{255, 0, 0}))[0]);
}

// ------------------------------------------------------------------ limiter

struct LimiterRun {
    pca::Corrections fwd, bwd;
    bool completed = true;
};

LimiterRun run_limiter(std::vector<int32_t> hues, std::vector<int32_t> d, pca::Limits limits,
                       std::vector<int32_t> sat = {}) {
    LimiterRun r;
    std::copy(d.begin(), d.end(), r.fwd.hue.begin());
    if (sat.empty()) sat.assign(d.size(), 0);
    std::copy(sat.begin(), sat.end(), r.fwd.sat.begin());
    r.bwd = r.fwd;
    r.completed = pca::limit_slopes(hues, limits, r.fwd, r.bwd);
    return r;
}

std::vector<int32_t> first(const std::array<int32_t, 18>& a, std::size_t n) { return {a.begin(), a.begin() + long(n)}; }

TEST(PcaLimiter, HandWorkedForwardAndBackwardCorrections) {
    // Forward pulls each next patch toward the previous one; backward pulls
    // each previous patch toward the next; both then mend the wrap pair.
    const pca::Limits l{0.296875, 100, 100};
    const auto r = run_limiter({0, 100, 200}, {0, 80, 100}, l);
    EXPECT_FALSE(r.completed);  // see the wrap loop below
    EXPECT_EQ(first(r.fwd.hue, 3), (std::vector<int32_t>{10, 29, 58}));

    // Limits of whole numbers leave no truncation loop.
    const auto s = run_limiter({0, 100, 200}, {-200, 0, 100}, pca::Limits{1, 1, 1});
    EXPECT_TRUE(s.completed);
    // 0->1: -200 + 100; 1->2: -100 + 100; wrap (gap 160): d(0) = 0 - 160.
    EXPECT_EQ(first(s.fwd.hue, 3), (std::vector<int32_t>{-160, -100, 0}));
    // 2->1 within; 1->0: 0 - 100; wrap: |100 - -100| / 160 > 1, d(2) = -100 + 160.
    EXPECT_EQ(first(s.bwd.hue, 3), (std::vector<int32_t>{-100, 0, 60}));
}

TEST(PcaLimiter, WrapRestartAndBackwardWrapCorrection) {
    const auto r = run_limiter({0, 100, 200}, {0, 80, 100}, pca::Limits{0.25, 1, 1});
    EXPECT_TRUE(r.completed);
    // Forward: 0 + 25, 25 + 25; the wrap pair (gap 160) is 50 apart against
    // 40: d(0) = 50 - 40, then from k = 1 everything is within.
    EXPECT_EQ(first(r.fwd.hue, 3), (std::vector<int32_t>{10, 25, 50}));
    // Backward: 2->1 within; 1->0: 80 - 25; wrap 45 apart: d(2) = 55 + 40.
    EXPECT_EQ(first(r.bwd.hue, 3), (std::vector<int32_t>{55, 80, 95}));
}

TEST(PcaLimiter, WrapLoopStopsAfterNRestartsLeavingTheRestUnprocessed) {
    // Truncation leaves the wrap pair 48 apart against 47.5 allowed, for ever:
    // after 3 restarts the whole limiter stops, so the saturation kind and the
    // backward copy keep their input values.
    const auto r = run_limiter({0, 100, 200}, {0, 80, 100}, pca::Limits{0.296875, 0.01, 0.01}, {0, 90, -90});
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(first(r.fwd.hue, 3), (std::vector<int32_t>{10, 29, 58}));
    EXPECT_EQ(first(r.fwd.sat, 3), (std::vector<int32_t>{0, 90, -90}));
    EXPECT_EQ(first(r.bwd.hue, 3), (std::vector<int32_t>{0, 80, 100}));
}

TEST(PcaLimiter, EqualSourceHuesStopEverything) {
    const auto r = run_limiter({10, 10, 30}, {0, 50, 0}, pca::Limits{1, 1, 1});
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(first(r.fwd.hue, 3), (std::vector<int32_t>{0, 50, 0}));
    EXPECT_EQ(first(r.bwd.hue, 3), (std::vector<int32_t>{0, 50, 0}));
    // A gap of 0 further on stops after the earlier pairs were limited.
    const auto s = run_limiter({0, 10, 20, 20}, {0, 50, 0, 0}, pca::Limits{1, 1, 1});
    EXPECT_FALSE(s.completed);
    EXPECT_EQ(first(s.fwd.hue, 4), (std::vector<int32_t>{0, 10, 0, 0}));
}

TEST(PcaLimiter, WithinLimitsNothingChanges) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> dv(-20, 20);
    std::vector<int32_t> hues, d;
    for (int k = 0; k < 18; ++k) {
        hues.push_back(k * 20);
        d.push_back(dv(rng));
    }
    const auto r = run_limiter(hues, d, pca::Limits{2.5, 2.5, 2.5});
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(first(r.fwd.hue, 18), d);
    EXPECT_EQ(first(r.bwd.hue, 18), d);
}

TEST(PcaLimiter, InterpolationRule) {
    EXPECT_EQ(pca::interp(5, 5, 7, 9, 5), 7);   // x0 = x1
    EXPECT_EQ(pca::interp(0, 8, 7, 9, 0), 7);   // x = x0
    EXPECT_EQ(pca::interp(0, 8, 7, 9, 8), 9);   // x = x1
    EXPECT_EQ(pca::interp(0, 8, 0, 10, 3), 4);  // 3.75 + 0.5
    EXPECT_EQ(pca::interp(0, 8, 10, 0, 3), 6);  // measured from x1: 6.25 + 0.5
    EXPECT_EQ(pca::interp(0, 8, -10, 0, 3), -5);  // -5.75 truncates toward zero
    EXPECT_EQ(pca::interp(0, 8, 4, 4, 3), 4);
    EXPECT_EQ(pca::interp(-40, 20, 10, 30, 50), 40);  // extrapolated: 30 + 10.5
}

// ------------------------------------------------------------------ generation

// An 8-bit colour whose hue record has the given hue, chroma close to
// `chroma` and luma near the middle.
pca::Rgb colour_with(int hue, int chroma) {
    static const auto grid = [] {
        std::vector<std::pair<pca::Rgb, pca::HueRecord>> g;
        for (int r = 0; r < 256; r += 3)
            for (int gg = 0; gg < 256; gg += 3)
                for (int b = 0; b < 256; b += 3) {
                    const pca::Rgb c{r, gg, b};
                    g.emplace_back(c, pca::hue_record(c));
                }
        return g;
    }();
    int best = -1, best_cost = 1 << 30;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        const auto& rec = grid[i].second;
        if (rec.hue != hue) continue;
        const int cost = 4 * std::abs(rec.chroma - chroma) + std::abs(rec.luma - 128);
        if (cost < best_cost) best_cost = cost, best = int(i);
    }
    EXPECT_GE(best, 0) << "no colour of hue " << hue;
    return best < 0 ? pca::Rgb{} : grid[std::size_t(best)].first;
}

struct Chart {
    std::array<int32_t, 150> words{};
    void set(int half, int i, const pca::Rgb& c) {
        const std::size_t at = std::size_t(half * 75 + 3 * i);
        words[at] = c.r, words[at + 1] = c.g, words[at + 2] = c.b;
    }
    pca::Rgb get(int half, int i) const {
        const std::size_t at = std::size_t(half * 75 + 3 * i);
        return {words[at], words[at + 1], words[at + 2]};
    }
};

// Sources at hues 10, 30, ..., 350 (input order shuffled), targets at
// source hue + shift(i).
template <class Shift>
Chart chart_with(Shift shift, int chroma = 50) {
    Chart c;
    for (int i = 0; i < 18; ++i) {
        const int k = (i * 7) % 18;  // not in hue order
        const int h = 10 + 20 * k;
        c.set(0, i, colour_with(h, chroma));
        c.set(1, i, colour_with(((h + shift(k)) % 360 + 360) % 360, chroma));
    }
    return c;
}

pca_gen_settings settings_of(bool skip, double limit = 4) { return pca_gen_settings{skip, 0, limit, limit, limit, 18}; }

pca::GenSettings core_settings(const pca_gen_settings& s) {
    return pca::GenSettings{s.skip_limiter != 0, s.chroma_threshold, {s.hue_limit, s.sat_limit, s.luma_limit},
                            s.patch_count};
}

TEST(PcaGenerate, IdentityChartGivesAZeroTableAndTiesToCandidateTwo) {
    const Chart c = chart_with([](int) { return 0; });
    std::vector<int32_t> table(540, 99);
    const auto s = settings_of(false);
    ASSERT_EQ(AutoGenTable(c.words.data(), table.data(), &s), 0);
    for (int32_t w : table) EXPECT_EQ(w, 0);
    const auto g = pca::generate(c.words, core_settings(s));
    EXPECT_EQ(g.chosen, 1);
    EXPECT_EQ(g.kept, 18);
}

TEST(PcaGenerate, SkippedLimiterGivesEqualCandidatesAndCandidateTwo) {
    const Chart c = chart_with([](int k) { return k % 3 == 0 ? 12 : -6; });
    const auto g = pca::generate(c.words, core_settings(settings_of(true)));
    EXPECT_EQ(g.candidates[0], g.candidates[1]);
    EXPECT_EQ(g.mean_error[0], g.mean_error[1]);
    EXPECT_EQ(g.chosen, 1);
}

TEST(PcaGenerate, PlantedRotationIsRecoveredAndLumaStaysZero) {
    const Chart c = chart_with([](int) { return 10; });
    std::vector<int32_t> table(540, 99);
    const auto s = settings_of(false);
    ASSERT_EQ(AutoGenTable(c.words.data(), table.data(), &s), 0);
    const auto g = pca::generate(c.words, core_settings(s));
    EXPECT_EQ(std::vector<int32_t>(g.table.begin(), g.table.end()), table);
    EXPECT_EQ(g.table, g.candidates[std::size_t(g.chosen)]);
    EXPECT_LE(g.mean_error[std::size_t(g.chosen)], g.mean_error[std::size_t(1 - g.chosen)]);
    for (int b = 0; b < 180; ++b) {
        EXPECT_EQ(table[std::size_t(b)], 20) << "bin " << b;  // 10 degrees everywhere
        EXPECT_EQ(table[std::size_t(360 + b)], 0);
    }
    // The prediction through the table lands closer to the targets.
    float before = 0, after = 0;
    for (int i = 0; i < 18; ++i) {
        const auto target = pca::lab_of(c.get(1, i));
        before += pca::ab_error(target, pca::lab_of(c.get(0, i)));
        after += pca::ab_error(target, pca::lab_of(pca::predict(c.get(0, i), g.table, 0)));
    }
    EXPECT_LT(after, 0.5f * before);
    EXPECT_FLOAT_EQ(g.mean_error[std::size_t(g.chosen)], after / 18);
}

TEST(PcaGenerate, PredictionIsTheCoreBetweenTheTwoConversions) {
    const Chart c = chart_with([](int k) { return 2 * k - 17; });
    const auto g = pca::generate(c.words, core_settings(settings_of(false, 1.5)));
    for (int i = 0; i < 18; ++i) {
        const pca::Rgb s = c.get(0, i);
        const int y = (77 * s.r + 150 * s.g + 29 * s.b) >> 8;
        const auto yuv = pca::yuv16(pca::rgb_to_yuv(s));
        uint32_t w[3] = {yuv[0], yuv[1], yuv[2]};
        ASSERT_EQ(w[0], uint32_t((y * 255 / 256 + 1) << 8));
        pca_core(&w[0], &w[1], &w[2], 0, 0, 0, g.table.data(), g.table.data() + 180, g.table.data() + 360);
        const double Y = w[0] >> 8, U = double(w[1] >> 8) - 128, V = double(w[2] >> 8) - 128;
        const auto level = [](double x) { return x > 255 ? 255 : x < 0 ? 0 : int(x + 0.5); };
        const pca::Rgb want{level(Y + 1.402 * V), level(Y - 0.344136 * U - 0.714136 * V), level(Y + 1.772 * U)};
        const pca::Rgb got = pca::predict(s, g.table, 0);
        EXPECT_EQ(got.r, want.r);
        EXPECT_EQ(got.g, want.g);
        EXPECT_EQ(got.b, want.b);
    }
}

TEST(PcaGenerate, TargetWrappingPastZeroGivesAPositiveCorrection) {
    // The patch at 350 goes to 10: +20 degrees, +40 half degrees.
    const Chart c = chart_with([](int k) { return k == 17 ? 20 : 0; });
    const auto g = pca::generate(c.words, core_settings(settings_of(true)));
    ASSERT_EQ(g.kept, 18);
    EXPECT_EQ(g.kept_patches[17].source.hue, 350);
    EXPECT_EQ(g.kept_patches[17].target.hue, 370);
    EXPECT_EQ(g.table[175], 40);  // bin of 350 degrees
    // Between 330 (correction 0) and 350 (+40): 340 degrees is halfway.
    EXPECT_EQ(g.table[170], 20);
    // Wrap gap from 350 - 360 to 10: 0 degrees is halfway from +40 to 0.
    EXPECT_EQ(g.table[0], 20);
    // Either side of 0 the wrap segment applies: 8 degrees gives 2/20 of 40
    // plus 0.5, 356 degrees is taken as -4: 14/20 of 40 plus 0.5.
    EXPECT_EQ(g.table[4], 4);
    EXPECT_EQ(g.table[178], 28);
}

TEST(PcaGenerate, CrossingPatchIsDroppedAndInterpolatedAcross) {
    // The patch at 150 is sent to 185, past its neighbour at 170 (target 170).
    const Chart c = chart_with([](int k) { return k == 7 ? 35 : k == 8 ? 0 : 4; });
    const auto g = pca::generate(c.words, core_settings(settings_of(true)));
    EXPECT_EQ(g.kept, 17);
    for (int k = 0; k < g.kept; ++k) EXPECT_NE(g.kept_patches[std::size_t(k)].source.hue, 150);
    // Bins between 130 (+8 half degrees) and 170 (0) are interpolated across
    // the dropped patch: 150 degrees is halfway.
    EXPECT_EQ(g.table[65], 8);
    EXPECT_EQ(g.table[75], 4);
    EXPECT_EQ(g.table[85], 0);
}

TEST(PcaGenerate, LastPatchBelow300ExtrapolatesTheWrapSegment) {
    // Only hues up to 250 carry patches: replace 270..350 by copies near 250
    // and check a bin between 250 and 300 uses the wrap segment unshifted.
    Chart c;
    for (int i = 0; i < 18; ++i) {
        const int h = 10 + 14 * i;  // 10 .. 248
        c.set(0, i, colour_with(h, 50));
        c.set(1, i, colour_with(h + (i == 0 ? 4 : i == 17 ? 8 : 0), 50));
    }
    const auto g = pca::generate(c.words, core_settings(settings_of(true)));
    ASSERT_EQ(g.kept, 18);
    // Wrap segment (248 - 360 = -112, +16) to (10, +8); at 280 it is
    // extrapolated beyond 10: y0 > y1 so (10 - 280) / 122 * 8 + 8 + 0.5.
    EXPECT_EQ(g.table[140], pca::interp(-112, 10, 16, 8, 280));
    EXPECT_EQ(g.table[140], static_cast<int32_t>((10.0 - 280) / 122 * 8 + 8 + 0.5));
    // Above 300 the angle is shifted by -360: 320 -> -40.
    EXPECT_EQ(g.table[160], static_cast<int32_t>((10.0 - -40) / 122 * 8 + 8 + 0.5));
}

TEST(PcaGenerate, RejectsOtherPatchCountsAndNullPointers) {
    const Chart c = chart_with([](int) { return 5; });
    std::vector<int32_t> table(540, 7);
    for (int n : {0, 17, 19, 24}) {
        pca_gen_settings s = settings_of(false);
        s.patch_count = n;
        EXPECT_EQ(AutoGenTable(c.words.data(), table.data(), &s), MORVIK_STATUS_INVALID_ARGUMENT);
        EXPECT_STRNE(morvik_last_error(), "");
    }
    const auto s = settings_of(false);
    EXPECT_EQ(AutoGenTable(nullptr, table.data(), &s), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(AutoGenTable(c.words.data(), nullptr, &s), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(AutoGenTable(c.words.data(), table.data(), nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(table, std::vector<int32_t>(540, 7));
}

TEST(PcaGenerate, ZeroSourceChromaTakesAZeroCorrection) {
    Chart c = chart_with([](int) { return 0; });
    c.set(0, 0, pca::Rgb{90, 90, 90});  // grey source at hue 0 for the target at 10
    const auto g = pca::generate(c.words, core_settings(settings_of(true)));
    ASSERT_EQ(g.kept, 18);
    ASSERT_EQ(g.kept_patches[0].source.chroma, 0);
    // Bin 0 sits on the grey patch: hue +20 half degrees, saturation 0.
    EXPECT_EQ(g.table[0], 20);
    EXPECT_EQ(g.table[180], 0);
}

// ------------------------------------------------------------------ tuning

struct Tuned {
    int32_t status;
    std::vector<int32_t> table;
    std::array<int32_t, 10> report{};
};

Tuned run_tuning(const pca_tuning_request& rq, std::vector<int32_t> table = std::vector<int32_t>(540, 0)) {
    Tuned t{0, std::move(table), {}};
    t.status = AdvTuning(&rq, t.table.data(), t.report.data());
    return t;
}

pca_tuning_request request(pca::Rgb s, pca::Rgb t, int below, int above, double hl, double sl, int steps,
                           float strength = 1.0f) {
    return pca_tuning_request{{s.r, s.g, s.b}, {t.r, t.g, t.b}, below, above, hl, sl, steps, strength};
}

TEST(PcaTuning, HueShiftWrapsAndSaturationValue) {
    const pca::Rgb s = colour_with(350, 40), t = colour_with(10, 60);
    const auto rs = pca::hue_record(s), rt = pca::hue_record(t);
    const auto r = run_tuning(request(s, t, 4, 4, 1000, 1000, 0, 0.5f));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.report[0], 350);
    EXPECT_EQ(r.report[3], 10);
    EXPECT_EQ(r.report[1], rs.chroma);
    EXPECT_EQ(r.report[4], rt.chroma);
    EXPECT_EQ(r.report[2], rs.luma);
    // +20 degrees at half strength: 20 half degrees over bins 173..177.
    const int32_t sat = static_cast<int32_t>(double(rt.chroma - rs.chroma) / rs.chroma * 0.5 * 128 + 0.5);
    for (int k = 0; k < 180; ++k) {
        const bool in = k >= 173 && k <= 177;
        EXPECT_EQ(r.table[std::size_t(k)], in ? 20 : 0) << k;
        EXPECT_EQ(r.table[std::size_t(180 + k)], in ? sat : 0) << k;
    }
    EXPECT_EQ(r.report[8], 346);
    EXPECT_EQ(r.report[9], 354);
    // Limits this large soften nothing: both walks stop at once.
    EXPECT_EQ(r.report[6], 346);
    EXPECT_EQ(r.report[7], 354);
    // The luma array is not touched.
    for (int k = 360; k < 540; ++k) EXPECT_EQ(r.table[std::size_t(k)], 0);
    // Source hue below 100 and target above 250 go the other way.
    const auto back = run_tuning(request(t, s, 0, 0, 1000, 1000, 0));
    EXPECT_EQ(back.table[5], -40);
}

TEST(PcaTuning, EditedRangeAcrossZeroUsesTruncatingDivision) {
    const pca::Rgb s = colour_with(5, 40), t = colour_with(25, 40);
    const auto r = run_tuning(request(s, t, 20, 20, 1000, 1000, 0));
    ASSERT_EQ(r.status, 0);
    // a = (5 - 20) / 2 = -7 (not -8), b = 25 / 2 = 12.
    EXPECT_EQ(r.report[8], -14);
    EXPECT_EQ(r.report[9], 24);
    for (int k = 0; k < 180; ++k) {
        const bool in = k <= 12 || k >= 173;
        EXPECT_EQ(r.table[std::size_t(k)], in ? 40 : 0) << k;
    }
    // The downward walk stands on bin -7 = 173 when it stops.
    EXPECT_EQ(r.report[6], 346);
}

TEST(PcaTuning, SofteningWalksAndTheStepLimit) {
    const pca::Rgb s = colour_with(100, 40), t = colour_with(120, 40);
    // Shift 40 half degrees over bins 45..55; limit 6: neighbours step down
    // by 12 (28, 16, 4), then |4 - 0| / 2 < 6 ends each walk.
    const auto full = run_tuning(request(s, t, 10, 10, 6, 6, 6));
    ASSERT_EQ(full.status, 0);
    const std::vector<int32_t> below{4, 16, 28, 40}, above{40, 28, 16, 4};
    EXPECT_EQ(std::vector<int32_t>(full.table.begin() + 42, full.table.begin() + 46), below);
    EXPECT_EQ(std::vector<int32_t>(full.table.begin() + 55, full.table.begin() + 59), above);
    EXPECT_EQ(full.table[41], 0);
    EXPECT_EQ(full.table[59], 0);
    EXPECT_EQ(full.report[6], 84);   // bin 42
    EXPECT_EQ(full.report[7], 116);  // bin 58
    EXPECT_EQ(full.report[8], 90);
    EXPECT_EQ(full.report[9], 110);

    // Three steps below exceed a limit of 2: stop after the first walk.
    const auto early = run_tuning(request(s, t, 10, 10, 6, 6, 2));
    EXPECT_EQ(early.status, MORVIK_PCA_TOO_MANY_STEPS);
    EXPECT_EQ(std::vector<int32_t>(early.table.begin() + 42, early.table.begin() + 46), below);
    EXPECT_EQ(early.table[56], 0);
    EXPECT_EQ(early.report[6], 84);
    EXPECT_EQ(early.report[7], 110);  // not walked: the edited range's end
    EXPECT_STRNE(morvik_last_error(), "");

    // Six steps in all exceed a limit of 5: both hue walks done, the
    // saturation array edited but not softened.
    const pca::Rgb t2 = colour_with(120, 80);
    const auto late = run_tuning(request(s, t2, 10, 10, 6, 1, 5));
    EXPECT_EQ(late.status, MORVIK_PCA_TOO_MANY_STEPS);
    EXPECT_EQ(std::vector<int32_t>(late.table.begin() + 55, late.table.begin() + 59), above);
    EXPECT_EQ(late.report[7], 116);
    EXPECT_EQ(late.table[180 + 44], 0);
    EXPECT_NE(late.table[180 + 45], 0);
    const auto done = run_tuning(request(s, t2, 10, 10, 6, 1, 6));
    EXPECT_EQ(done.status, 0);
    EXPECT_NE(done.table[180 + 44], 0);
    EXPECT_STREQ(morvik_last_error(), "");
}

TEST(PcaTuning, ZeroLimitWalksToTheOtherEnd) {
    const pca::Rgb s = colour_with(100, 40), t = colour_with(120, 40);
    // A zero limit never finds a neighbour within it: every bin takes the
    // edited value and each walk ends at the range's other end.
    const auto r = run_tuning(request(s, t, 10, 10, 0, 0, 1000));
    ASSERT_EQ(r.status, 0);
    for (int k = 0; k < 180; ++k) EXPECT_EQ(r.table[std::size_t(k)], 40) << k;
    EXPECT_EQ(r.report[6], 90);
    EXPECT_EQ(r.report[7], 110);
    // 170 steps from bin 45 down to bin 55, and as many from 55 up to 45.
    EXPECT_EQ(run_tuning(request(s, t, 10, 10, 0, 0, 300)).status, MORVIK_PCA_TOO_MANY_STEPS);
    EXPECT_EQ(run_tuning(request(s, t, 10, 10, 0, 0, 169)).status, MORVIK_PCA_TOO_MANY_STEPS);
    // A one-bin range walks the whole circle.
    const auto one = run_tuning(request(s, t, 0, 0, 0, 0, 1000));
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.report[6], 100);
    EXPECT_EQ(one.report[7], 100);
}

TEST(PcaTuning, GreySourceAndNullPointers) {
    const auto r = run_tuning(request(pca::Rgb{80, 80, 80}, colour_with(200, 50), 2, 2, 1000, 1000, 0));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.report[1], 0);
    for (int k = 180; k < 360; ++k) EXPECT_EQ(r.table[std::size_t(k)], 0);
    pca_tuning_request rq = request(pca::Rgb{}, pca::Rgb{}, 0, 0, 1, 1, 1);
    std::vector<int32_t> table(360, 3);
    int32_t report[10] = {};
    EXPECT_EQ(AdvTuning(nullptr, table.data(), report), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(AdvTuning(&rq, nullptr, report), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(AdvTuning(&rq, table.data(), nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(table, std::vector<int32_t>(360, 3));
}

// ------------------------------------------------------------------ images

TEST(PcaImage, WholeImageMatchesTheCorePerPixel) {
    std::mt19937 rng(5);
    pca::Table table{};
    std::uniform_int_distribution<int> e(-60, 60);
    for (auto& w : table) w = e(rng);
    std::vector<uint8_t> rgb(3 * 40000);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : rgb) b = uint8_t(byte(rng));
    auto out = rgb;
    pca::apply_to_rgb(table, 12, out);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        const auto yuv = pca::yuv16(pca::rgb_to_yuv(pca::Rgb{rgb[i], rgb[i + 1], rgb[i + 2]}));
        uint32_t w[3] = {yuv[0], yuv[1], yuv[2]};
        pca_core(&w[0], &w[1], &w[2], 0, 12, 0, table.data(), table.data() + 180, table.data() + 360);
        const auto want = pca::yuv8_to_rgb(w[0] >> 8, w[1] >> 8, w[2] >> 8);
        ASSERT_EQ(out[i], want.r) << i;
        ASSERT_EQ(out[i + 1], want.g) << i;
        ASSERT_EQ(out[i + 2], want.b) << i;
    }
}

// ------------------------------------------------------------------ CLI



TEST(PcaCli, GenerateTuneApplyRoundTrip) {
    morvik::test::TempDir dir;
    const std::string chart = std::string(MORVIK_SOURCE_DIR) + "/examples/pca/chart.csv";
    const auto table = (dir.path() / "table.csv").string(), tuned = (dir.path() / "tuned.csv").string();
    int status = -1;
    auto out = run_cli("pca generate " + chart + " -o " + table, status);
    ASSERT_EQ((status), 0) << out;
    EXPECT_NE(out.find("18 of 18"), std::string::npos) << out;
    EXPECT_NE(out.find("candidate"), std::string::npos) << out;

    // The file holds what the export produces from the same chart.
    out = run_cli("pca generate " + chart + " --json", status);
    ASSERT_EQ((status), 0) << out;
    EXPECT_EQ(out.front(), '{');
    EXPECT_NE(out.find("\"mean_ab_error_after\""), std::string::npos);

    out = run_cli("pca tune " + table + " --source 200,80,60 --target 210,90,40 --range 20,20 -o " + tuned, status);
    ASSERT_EQ((status), 0) << out;
    EXPECT_NE(out.find("edited range      94 .. 134"), std::string::npos) << out;

    const auto png = (dir.path() / "out.png").string(), wheel = (dir.path() / "wheel.png").string();
    out = run_cli("pca apply " + tuned + " " + std::string(MORVIK_SOURCE_DIR) + "/examples/verify/flat_64x48.bmp -o " +
                      png + " --wheel " + wheel,
                  status);
    ASSERT_EQ((status), 0) << out;
    EXPECT_TRUE(std::filesystem::exists(png));
    EXPECT_TRUE(std::filesystem::exists(wheel));
}

TEST(PcaCli, BadInputAndFailuresLeaveNothingBehind) {
    morvik::test::TempDir dir;
    const std::string chart = std::string(MORVIK_SOURCE_DIR) + "/examples/pca/chart.csv";
    const auto table = (dir.path() / "table.csv").string(), out_csv = (dir.path() / "out.csv").string();
    int status = -1;
    ASSERT_EQ(((run_cli("pca generate " + chart + " -o " + table, status), status)), 0);

    // Bad input: exit 2, the message names the file or option.
    auto out = run_cli("pca generate " + table + " -o " + out_csv, status);
    EXPECT_EQ((status), 2) << out;
    EXPECT_NE(out.find("expected 18"), std::string::npos) << out;
    out = run_cli("pca generate " + chart + " --limits 1,2", status);
    EXPECT_EQ((status), 2) << out;
    EXPECT_NE(out.find("--limits"), std::string::npos) << out;
    out = run_cli("pca tune " + chart + " --source 1,2,3 --target 4,5,6 --range 10,10", status);
    EXPECT_EQ((status), 2) << out;
    out = run_cli("pca tune " + table + " --source 1,2,300 --target 4,5,6 --range 10,10", status);
    EXPECT_EQ((status), 2) << out;
    EXPECT_NE(out.find("--source B"), std::string::npos) << out;

    // A table row out of order names its line.
    const auto broken = (dir.path() / "broken.csv").string();
    {
        std::FILE* f = std::fopen(broken.c_str(), "w");
        for (int b = 0; b < 180; ++b) std::fprintf(f, "%d,0,0,0\n", b == 7 ? 8 : b);
        std::fclose(f);
    }
    out = run_cli("pca apply " + broken + " x.png -o " + (dir.path() / "y.png").string(), status);
    EXPECT_EQ((status), 2) << out;
    EXPECT_NE(out.find("broken.csv:8"), std::string::npos) << out;

    // The softening needs more steps than allowed: exit 1, no output.
    out = run_cli("pca tune " + table + " --source 200,80,60 --target 210,90,40 --range 20,20 --limits 0.5,1 --steps 1 -o " +
                      out_csv,
                  status);
    EXPECT_EQ((status), 1) << out;
    out = run_cli("pca apply " + table + " " + std::string(MORVIK_SOURCE_DIR) + "/examples/verify/flat_64x48.bmp -o " +
                      (dir.path() / "a.png").string() + " --wheel " + (dir.path() / "missing" / "w.png").string(),
                  status);
    EXPECT_EQ((status), 2) << out;
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.path().filename() != "table.csv" && e.path().filename() != "broken.csv";
    EXPECT_EQ(files, 0u);
}

}  // namespace
