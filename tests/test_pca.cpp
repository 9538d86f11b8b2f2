// PCA tables: the hardware hue angle and per-pixel core against plain models
// written from the rules, table generation and one-colour tuning.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "frame/maths.h"
#include "morvik/morvik.h"
#include "pca/pca.h"

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

}  // namespace
