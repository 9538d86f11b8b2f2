// PCA tables: the hardware hue angle and per-pixel core against plain models
// written from the rules, table generation and one-colour tuning.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/maths.h"
#include "morvik/morvik.h"
#include "pca/pca.h"
#include "support.h"

namespace {

namespace maths = morvik::maths;
namespace pca = morvik::pca;
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
    if (x == 0) return y > 0 ? 90 : y < 0 ? 270 : 0;
    if (y == 0) return x < 0 ? 180 : 0;
    const long long ax = std::llabs(x), ay = std::llabs(y);
    // Angle within the quadrant, measured from the quadrant's first axis.
    const int a = ax == ay ? 45 : ax > ay ? model_octant(ay, ax) : 90 - model_octant(ax, ay);
    const int h = x > 0 && y > 0 ? a : x < 0 && y > 0 ? 180 - a : x < 0 ? 180 + a : 360 - a;
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

// Every 8-bit pair against the model and the true angle, wide inputs against
// the model; axes, diagonals of any magnitude, 360 folded to 0, the index
// clamped to 255 and reciprocals of denominators above 32768 rounded to 0.
TEST(PcaAngle, TableAndAnglesMatchTheModelAndTrueAngle) {
    for (int i = 0; i < 256; ++i) EXPECT_EQ(pca::angle_table()[std::size_t(i)], model_table(i)) << "entry " << i;
    for (int y = -128; y <= 127; ++y)
        for (int x = -128; x <= 127; ++x) {
            const int h = atan2_hw_360(y, x);
            ASSERT_EQ(h, model_angle(y, x)) << "y " << y << " x " << x;
            if (x == 0 && y == 0) continue;
            const double exact = std::fmod(maths::atan2(y, x) * 180 / kPi + 360, 360);
            const double diff = std::min(std::fabs(h - exact), 360 - std::fabs(h - exact));
            // Small magnitudes lose up to two degrees in the 8-bit index.
            ASSERT_LE(diff, std::max(x * x, y * y) < 100 ? 3.0 : 1.0) << "y " << y << " x " << x;
        }
    std::mt19937 rng(14);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX), mid(-70000, 70000);
    for (int i = 0; i < 200000; ++i) {
        const int32_t y = i % 2 ? any(rng) : mid(rng), x = i % 3 ? mid(rng) : any(rng);
        ASSERT_EQ(atan2_hw_360(y, x), model_angle(y, x)) << "y " << y << " x " << x;
    }
    const int32_t cases[][3] = {{0, 0, 0},       {-5, 0, 270},      {0, -5, 180},          {-3, -3, 225},
                                {-1, 127, 0},    {-128, 127, 315},  {127, 128, 45},        {-40000, 40000, 315},
                                {30000, 40000, 0}, {40000, 30000, 90}, {INT32_MAX, -INT32_MAX, 135},
                                {INT32_MIN, INT32_MIN, 225}, {INT32_MIN, 0, 270}};
    for (const auto& c : cases) EXPECT_EQ(atan2_hw_360(c[0], c[1]), c[2]) << c[0] << ", " << c[1];
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
        for (int u = 0; u < 256; ++u)
            for (int v = 0; v < 256; ++v) {
                Pixel got{std::uint32_t(yd(rng)) << 8, std::uint32_t(u) << 8, std::uint32_t(v) << 8}, want = got;
                const int h = run_core(got, c.offset, c.threshold, c.full, a);
                ASSERT_EQ(h, model_core(want, c.offset, c.threshold, c.full != 0, a.hue.data(), a.sat.data(), a.luma.data()));
                ASSERT_EQ(got, want) << "u " << u << " v " << v << " n " << c.n;
            }
    }
}

TEST(PcaCore, WideRangeWordsAndEntriesMatchTheModel) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<std::uint32_t> word(0, 0xFFFFFFFFu), low(0, 0xFFFFu);
    std::uniform_int_distribution<int32_t> entry(-100000, 100000), th(-100, 300), off(0, 359);
    Arrays a(360);
    for (int i = 0; i < 200000; ++i) {
        for (std::size_t k = 0; k < 360 && i % 1000 == 0; ++k)
            a.hue[k] = entry(rng), a.sat[k] = entry(rng) / 100, a.luma[k] = entry(rng) / 50;
        const bool wide = i % 2 == 0;
        Pixel got{wide ? word(rng) : low(rng), wide ? word(rng) : low(rng), i % 4 ? low(rng) : word(rng)}, want = got;
        const int full = i % 3 == 0, offset = off(rng), threshold = th(rng);
        const int h = run_core(got, offset, threshold, full, a);
        ASSERT_EQ(h, model_core(want, offset, threshold, full != 0, a.hue.data(), a.sat.data(), a.luma.data()));
        ASSERT_EQ(got, want) << "case " << i;
    }
}

// ------------------------------------------------------------------ colours

TEST(PcaColour, YuvAndHueRecordsMatchSignMagnitudeModels) {
    const auto scaled = [](int d, int k) { return d >= 0 ? d * k / 256 : -(-d * k / 256); };
    for (int r = 0; r < 256; r += 3)
        for (int g = 0; g < 256; g += 3)
            for (int b = 0; b < 256; b += 3) {
                const int y = (77 * r + 150 * g + 29 * b) / 256, u = 128 + scaled(b - y, 144),
                          v = 128 + scaled(r - y, 183);
                const auto yuv = pca::rgb_to_yuv(pca::Rgb{r, g, b});
                ASSERT_EQ(std::tuple(yuv.y, yuv.u, yuv.v), std::tuple(y * 255 / 256 + 1, u, v));
                const auto rec = pca::hue_record(pca::Rgb{r, g, b});
                const int chroma = int(std::sqrt((u - 128) * (u - 128) + (v - 128) * (v - 128) + 0.5));
                ASSERT_EQ(std::tuple(rec.hue, rec.chroma, rec.luma), std::tuple(model_angle(v - 128, u - 128), chroma, y * 255 / 256 + 1));
                const auto back = pca::yuv8_to_rgb(y, u, v);
                const auto level = [](double x) { return x > 255 ? 255 : x < 0 ? 0 : int(x + 0.5); };
                ASSERT_EQ(back.r, level(y + 1.402 * (v - 128)));
                ASSERT_EQ(back.g, level(y - 0.344136 * (u - 128) - 0.714136 * (v - 128)));
                ASSERT_EQ(back.b, level(y + 1.772 * (u - 128)));
            }
    // Sixteen-bit form: 256 and above to 65535, negatives to 0.
    EXPECT_EQ(pca::yuv16(pca::Yuv{256, -1, 255}), (std::array<std::uint32_t, 3>{65535u, 0u, 255u << 8}));
}

TEST(PcaColour, LabOfGreysWhiteAndRed) {
    for (int c = 0; c < 256; ++c) {
        const auto lab = pca::lab_of(pca::Rgb{c, c, c});
        EXPECT_LT(std::fabs(lab.a) + std::fabs(lab.b), 0.1f) << c;
    }
    EXPECT_NEAR(pca::lab_of(pca::Rgb{255, 255, 255}).l, 100.0f, 0.01f);
    const auto red = pca::lab_of(pca::Rgb{255, 0, 0});  // sRGB red, with the four-digit matrix
    EXPECT_NEAR(red.l, 53.24f, 0.05f);
    EXPECT_NEAR(red.a, 80.09f, 0.1f);
    EXPECT_NEAR(red.b, 67.20f, 0.1f);
}

// ------------------------------------------------------------------ limiter

TEST(PcaLimiter, HandWorkedCorrections) {
    // Forward pulls each next patch toward the previous one and mends the
    // wrap pair by restarting; backward is the mirror image. A stop leaves
    // the later kinds and the backward copy as they were.
    struct Case {
        std::vector<int32_t> hues, d, sat;
        pca::Limits limits;
        bool completed;
        std::vector<int32_t> fwd, bwd, fwd_sat;
    };
    const Case cases[] = {
        // Whole-number limits: 0->1: -200 + 100; wrap (gap 160): d(0) = 0 - 160.
        // Backward: 1->0: 0 - 100; wrap: d(2) = -100 + 160.
        {{0, 100, 200}, {-200, 0, 100}, {}, {1, 1, 1}, true, {-160, -100, 0}, {-100, 0, 60}, {}},
        // Forward: 0 + 25, 25 + 25, wrap 50 against 40: d(0) = 50 - 40.
        // Backward: 1->0: 80 - 25; wrap 45 apart: d(2) = 55 + 40.
        {{0, 100, 200}, {0, 80, 100}, {}, {0.25, 1, 1}, true, {10, 25, 50}, {55, 80, 95}, {}},
        // Truncation keeps the wrap pair 48 apart against 47.5 for ever: after
        // N restarts the limiter stops.
        {{0, 100, 200}, {0, 80, 100}, {0, 90, -90}, {0.296875, 0.01, 0.01}, false, {10, 29, 58}, {0, 80, 100},
         {0, 90, -90}},
        // A gap of 0 stops everything, at once or after earlier pairs.
        {{10, 10, 30}, {0, 50, 0}, {}, {1, 1, 1}, false, {0, 50, 0}, {0, 50, 0}, {}},
        {{0, 10, 20, 20}, {0, 50, 0, 0}, {}, {1, 1, 1}, false, {0, 10, 0, 0}, {0, 50, 0, 0}, {}},
        // Within the limits nothing changes.
        {{0, 20, 40, 60, 80}, {-20, 20, 0, 45, 0}, {}, {2.5, 2.5, 2.5}, true, {-20, 20, 0, 45, 0},
         {-20, 20, 0, 45, 0}, {}},
    };
    for (const Case& c : cases) {
        const std::size_t n = c.d.size();
        pca::Corrections fwd{}, bwd{};
        std::copy(c.d.begin(), c.d.end(), fwd.hue.begin());
        std::copy(c.sat.begin(), c.sat.end(), fwd.sat.begin());
        bwd = fwd;
        EXPECT_EQ(pca::limit_slopes(c.hues, c.limits, fwd, bwd), c.completed) << c.hues[1];
        EXPECT_EQ(std::vector<int32_t>(fwd.hue.begin(), fwd.hue.begin() + long(n)), c.fwd) << c.hues[1];
        EXPECT_EQ(std::vector<int32_t>(bwd.hue.begin(), bwd.hue.begin() + long(n)), c.bwd) << c.hues[1];
        if (!c.fwd_sat.empty()) { EXPECT_EQ(std::vector<int32_t>(fwd.sat.begin(), fwd.sat.begin() + long(n)), c.fwd_sat); }
    }
}

TEST(PcaLimiter, InterpolationRule) {
    // {x0, x1, y0, y1, x, result}: ends, rising (half up), falling (measured
    // from x1), negative (truncated toward zero), flat, extrapolated.
    const int cases[][6] = {{5, 5, 7, 9, 5, 7},  {0, 8, 7, 9, 0, 7},   {0, 8, 7, 9, 8, 9},  {0, 8, 0, 10, 3, 4},
                            {0, 8, 10, 0, 3, 6}, {0, 8, -10, 0, 3, -5}, {0, 8, 4, 4, 3, 4}, {-40, 20, 10, 30, 50, 40}};
    for (const auto& c : cases) EXPECT_EQ(pca::interp(c[0], c[1], c[2], c[3], c[4]), c[5]) << c[4];
}

// ------------------------------------------------------------------ generation

// An 8-bit colour whose hue record has the given hue, chroma close to
// `chroma` and luma near the middle.
pca::Rgb colour_with(int hue, int chroma) {
    static const auto grid = [] {
        std::vector<std::pair<pca::Rgb, pca::HueRecord>> g;
        for (int r = 0; r < 256; r += 3)
            for (int gg = 0; gg < 256; gg += 3)
                for (int b = 0; b < 256; b += 3) g.emplace_back(pca::Rgb{r, gg, b}, pca::hue_record(pca::Rgb{r, gg, b}));
        return g;
    }();
    int best = -1, best_cost = 1 << 30;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        const auto& rec = grid[i].second;
        const int cost = 4 * std::abs(rec.chroma - chroma) + std::abs(rec.luma - 128);
        if (rec.hue == hue && cost < best_cost) best_cost = cost, best = int(i);
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
Chart chart_with(Shift shift) {
    Chart c;
    for (int i = 0; i < 18; ++i) {
        const int k = (i * 7) % 18;  // not in hue order
        const int h = 10 + 20 * k;
        c.set(0, i, colour_with(h, 50));
        c.set(1, i, colour_with(((h + shift(k)) % 360 + 360) % 360, 50));
    }
    return c;
}

pca_gen_settings settings_of(bool skip, double limit = 4) { return pca_gen_settings{skip, 0, limit, limit, limit, 18}; }

pca::Generation generate(const Chart& c, bool skip) {
    return pca::generate(c.words, pca::GenSettings{skip, 0, {4, 4, 4}, 18});
}

TEST(PcaGenerate, IdentityAndSkippedLimiterTieToCandidateTwo) {
    std::vector<int32_t> table(540, 99);
    const auto s = settings_of(false);
    ASSERT_EQ(AutoGenTable(chart_with([](int) { return 0; }).words.data(), table.data(), &s), 0);
    EXPECT_EQ(table, std::vector<int32_t>(540, 0));
    const auto g = generate(chart_with([](int k) { return k % 3 == 0 ? 12 : -6; }), true);
    EXPECT_EQ(g.candidates[0], g.candidates[1]);
    EXPECT_EQ(std::pair(g.chosen, g.kept), std::pair(1, 18));
}

TEST(PcaGenerate, PlantedRotationIsRecoveredAndLumaStaysZero) {
    const Chart c = chart_with([](int) { return 10; });
    std::vector<int32_t> table(540, 99);
    const auto s = settings_of(false);
    ASSERT_EQ(AutoGenTable(c.words.data(), table.data(), &s), 0);
    const auto g = generate(c, false);
    EXPECT_EQ(std::vector<int32_t>(g.table.begin(), g.table.end()), table);
    EXPECT_LE(g.mean_error[std::size_t(g.chosen)], g.mean_error[std::size_t(1 - g.chosen)]);
    // 10 degrees everywhere, luma untouched.
    EXPECT_EQ(std::vector<int32_t>(table.begin(), table.begin() + 180), std::vector<int32_t>(180, 20));
    EXPECT_EQ(std::vector<int32_t>(table.begin() + 360, table.end()), std::vector<int32_t>(180, 0));
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

TEST(PcaGenerate, WrapsPastZeroCrossingsAndTheWrapSegment) {
    // The patch at 350 goes to 10: +20 degrees, +40 half degrees.
    auto g = generate(chart_with([](int k) { return k == 17 ? 20 : 0; }), true);
    ASSERT_EQ(g.kept, 18);
    EXPECT_EQ(g.kept_patches[17].target.hue, 370);
    // Bin 175 (350) +40, halfway to 330 (0) and to 10 across the wrap gap;
    // 8 degrees is 2/20 of 40 plus 0.5, 356 is taken as -4: 14/20 of 40.
    const std::pair<int, int> wrap[] = {{175, 40}, {170, 20}, {0, 20}, {4, 4}, {178, 28}};
    for (const auto& [bin, want] : wrap) EXPECT_EQ(g.table[std::size_t(bin)], want) << bin;

    // The patch at 150 is sent to 185, past its neighbour at 170: dropped,
    // and the bins from 130 (+8) to 170 (0) interpolated across it.
    g = generate(chart_with([](int k) { return k == 7 ? 35 : k == 8 ? 0 : 4; }), true);
    EXPECT_EQ(g.kept, 17);
    for (int k = 0; k < g.kept; ++k) EXPECT_NE(g.kept_patches[std::size_t(k)].source.hue, 150);
    EXPECT_EQ(std::tuple(g.table[65], g.table[75], g.table[85]), std::tuple(8, 4, 0));

    // Patches only up to 248: between it and 300 the wrap segment (248 - 360,
    // +16) to (10, +8) is extrapolated beyond 10; above 300 shifted by -360.
    Chart c;
    for (int i = 0; i < 18; ++i) {
        const int h = 10 + 14 * i;
        c.set(0, i, colour_with(h, 50));
        c.set(1, i, colour_with(h + (i == 0 ? 4 : i == 17 ? 8 : 0), 50));
    }
    g = generate(c, true);
    ASSERT_EQ(g.kept, 18);
    for (const auto& [bin, x] : {std::pair(140, 280), {150, 300}, {160, -40}})
        EXPECT_EQ(g.table[std::size_t(bin)], static_cast<int32_t>((10.0 - x) / 122 * 8 + 8 + 0.5)) << bin;

    // A grey source (chroma 0) takes a zero saturation correction.
    c = chart_with([](int) { return 0; });
    c.set(0, 0, pca::Rgb{90, 90, 90});
    g = generate(c, true);
    ASSERT_EQ(g.kept_patches[0].source.chroma, 0);
    EXPECT_EQ(std::pair(g.table[0], g.table[180]), std::pair(20, 0));
}

// ------------------------------------------------------------------ tuning

struct Tuned {
    int32_t status;
    std::vector<int32_t> table;
    std::array<int32_t, 10> report{};
};

Tuned tune(pca::Rgb s, pca::Rgb t, int below, int above, double hl, double sl, int steps, float strength = 1.0f) {
    const pca_tuning_request rq{{s.r, s.g, s.b}, {t.r, t.g, t.b}, below, above, hl, sl, steps, strength};
    Tuned r{0, std::vector<int32_t>(540, 0), {}};
    r.status = AdvTuning(&rq, r.table.data(), r.report.data());
    return r;
}

std::vector<int32_t> slice(const Tuned& t, int from, int to) { return {t.table.begin() + from, t.table.begin() + to}; }

TEST(PcaTuning, HueShiftWrapsAndEditedRangeCrossesZero) {
    const pca::Rgb s = colour_with(350, 40), t = colour_with(10, 60);
    const auto rs = pca::hue_record(s), rt = pca::hue_record(t);
    const auto r = tune(s, t, 4, 4, 1000, 1000, 0, 0.5f);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.report, (std::array<int32_t, 10>{350, rs.chroma, rs.luma, 10, rt.chroma, rt.luma, 346, 354, 346, 354}));
    // +20 degrees at half strength: 20 half degrees over bins 173..177; limits
    // this large soften nothing and the luma array is not touched.
    const int32_t sat = static_cast<int32_t>(double(rt.chroma - rs.chroma) / rs.chroma * 0.5 * 128 + 0.5);
    for (int k = 0; k < 180; ++k) {
        const bool in = k >= 173 && k <= 177;
        EXPECT_EQ(r.table[std::size_t(k)], in ? 20 : 0) << k;
        EXPECT_EQ(r.table[std::size_t(180 + k)], in ? sat : 0) << k;
        EXPECT_EQ(r.table[std::size_t(360 + k)], 0);
    }
    // Source hue below 100 and target above 250 go the other way.
    EXPECT_EQ(tune(t, s, 0, 0, 1000, 1000, 0).table[5], -40);

    // Across 0: a = (5 - 20) / 2 = -7 (not -8), b = 25 / 2 = 12; the
    // downward walk stands on bin -7 = 173 when it stops.
    const auto z = tune(colour_with(5, 40), colour_with(25, 40), 20, 20, 1000, 1000, 0);
    ASSERT_EQ(z.status, 0);
    EXPECT_EQ(std::tuple(z.report[8], z.report[9], z.report[6]), std::tuple(-14, 24, 346));
    for (int k = 0; k < 180; ++k) EXPECT_EQ(z.table[std::size_t(k)], k <= 12 || k >= 173 ? 40 : 0) << k;
}

TEST(PcaTuning, SofteningWalksAndTheStepLimit) {
    const pca::Rgb s = colour_with(100, 40), t = colour_with(120, 40), t2 = colour_with(120, 80);
    // Shift 40 half degrees over bins 45..55; limit 6: neighbours step down
    // by 12 (28, 16, 4), then |4 - 0| / 2 < 6 ends each walk.
    const std::vector<int32_t> below{0, 4, 16, 28, 40}, above{40, 28, 16, 4, 0};
    const auto full = tune(s, t, 10, 10, 6, 6, 6);
    ASSERT_EQ(full.status, 0);
    EXPECT_EQ(slice(full, 41, 46), below);
    EXPECT_EQ(slice(full, 55, 60), above);
    EXPECT_EQ(std::vector<int32_t>(full.report.begin() + 6, full.report.end()), (std::vector<int32_t>{84, 116, 90, 110}));

    // Three steps below exceed a limit of 2: stop after the first walk.
    const auto early = tune(s, t, 10, 10, 6, 6, 2);
    EXPECT_EQ(early.status, MORVIK_PCA_TOO_MANY_STEPS);
    EXPECT_STRNE(morvik_last_error(), "");
    EXPECT_EQ(slice(early, 41, 46), below);
    EXPECT_EQ(std::pair(early.table[56], early.report[7]), std::pair(0, 110));  // not walked: the range's end

    // Six steps in all exceed a limit of 5: both hue walks done, the
    // saturation array edited but not softened.
    const auto late = tune(s, t2, 10, 10, 6, 1, 5);
    EXPECT_EQ(late.status, MORVIK_PCA_TOO_MANY_STEPS);
    EXPECT_EQ(slice(late, 55, 60), above);
    EXPECT_TRUE(late.table[180 + 44] == 0 && late.table[180 + 45] != 0);
    const auto done = tune(s, t2, 10, 10, 6, 1, 6);
    EXPECT_TRUE(done.status == 0 && done.table[180 + 44] != 0);
    EXPECT_STREQ(morvik_last_error(), "");

    // A zero limit walks to the range's other end: every bin takes the edited
    // value, 170 steps each way; a one-bin range walks the whole circle.
    const auto zero = tune(s, t, 10, 10, 0, 0, 1000);
    ASSERT_EQ(zero.status, 0);
    EXPECT_EQ(slice(zero, 0, 180), std::vector<int32_t>(180, 40));
    EXPECT_EQ(std::pair(zero.report[6], zero.report[7]), std::pair(90, 110));
    EXPECT_EQ(tune(s, t, 10, 10, 0, 0, 300).status, MORVIK_PCA_TOO_MANY_STEPS);
    EXPECT_EQ(tune(s, t, 10, 10, 0, 0, 169).status, MORVIK_PCA_TOO_MANY_STEPS);
    const auto one = tune(s, t, 0, 0, 0, 0, 1000);
    EXPECT_EQ(std::tuple(one.status, one.report[6], one.report[7]), std::tuple(0, 100, 100));
}

TEST(PcaExports, RefusalsWriteNothingAndAGreySourceKeepsSaturation) {
    Arrays a(180);
    Pixel p{0x1234u, 0x5678u, 0x9ABCu};
    const Pixel before = p;
    const Chart chart = chart_with([](int) { return 5; });
    std::vector<int32_t> table(540, 7);
    pca_gen_settings s17 = settings_of(false), s = settings_of(false);
    s17.patch_count = 17;
    const pca_tuning_request rq{{0, 0, 0}, {0, 0, 0}, 0, 0, 1, 1, 1, 1.0f};
    int32_t report[10] = {};
    const int32_t refused[] = {
        pca_core(nullptr, &p.u, &p.v, 0, 0, 0, a.hue.data(), a.sat.data(), a.luma.data()),
        pca_core(&p.y, &p.u, &p.v, 0, 0, 0, a.hue.data(), nullptr, a.luma.data()),
        run_core(p, 360, 0, 0, a), run_core(p, -1, 0, 0, a),
        AutoGenTable(chart.words.data(), table.data(), &s17), AutoGenTable(nullptr, table.data(), &s),
        AutoGenTable(chart.words.data(), nullptr, &s), AutoGenTable(chart.words.data(), table.data(), nullptr),
        AdvTuning(nullptr, table.data(), report), AdvTuning(&rq, nullptr, report), AdvTuning(&rq, table.data(), nullptr)};
    for (int32_t status : refused) EXPECT_EQ(status, MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(morvik_last_error(), "AdvTuning: null pointer");
    EXPECT_EQ(p, before);
    EXPECT_EQ(table, std::vector<int32_t>(540, 7));
    EXPECT_EQ(run_core(p, 0, 0, 0, a), atan2_hw_360(0x9A - 128, 0x56 - 128));
    EXPECT_STREQ(morvik_last_error(), "");
    // A grey source has no chroma ratio: the saturation array stays 0.
    const auto r = tune(pca::Rgb{80, 80, 80}, colour_with(200, 50), 2, 2, 1000, 1000, 0);
    EXPECT_EQ(std::pair(r.status, r.report[1]), std::pair(0, 0));
    EXPECT_EQ(slice(r, 180, 360), std::vector<int32_t>(180, 0));
}

// ------------------------------------------------------------------ images

TEST(PcaImage, WholeImageAndPredictionAreTheCoreBetweenTheConversions) {
    std::mt19937 rng(5);
    pca::Table table{};
    std::uniform_int_distribution<int> e(-60, 60), byte(0, 255);
    for (auto& w : table) w = e(rng);
    std::vector<uint8_t> rgb(3 * 40000);
    for (auto& b : rgb) b = uint8_t(byte(rng));
    auto out = rgb;
    pca::apply_to_rgb(table, 12, out);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        const pca::Rgb src{rgb[i], rgb[i + 1], rgb[i + 2]};
        const auto yuv = pca::yuv16(pca::rgb_to_yuv(src));
        uint32_t w[3] = {yuv[0], yuv[1], yuv[2]};
        pca_core(&w[0], &w[1], &w[2], 0, 12, 0, table.data(), table.data() + 180, table.data() + 360);
        const auto want = pca::yuv8_to_rgb(w[0] >> 8, w[1] >> 8, w[2] >> 8);
        ASSERT_EQ((std::array<int, 3>{out[i], out[i + 1], out[i + 2]}), (std::array<int, 3>{want.r, want.g, want.b})) << i;
        if (i % 30 == 0) {
            const auto p = pca::predict(src, table, 12);
            ASSERT_EQ((std::array<int, 3>{p.r, p.g, p.b}), (std::array<int, 3>{want.r, want.g, want.b})) << i;
        }
    }
}

// ------------------------------------------------------------------ CLI

TEST(PcaCli, CommandsExitStatusesAndMessages) {
    morvik::test::TempDir dir;
    const std::string d = dir.path().string() + "/", ex = std::string(MORVIK_SOURCE_DIR) + "/examples/";
    const std::string chart = ex + "pca/chart.csv", bmp = ex + "verify/flat_64x48.bmp", table = d + "table.csv";
    const std::string tune_args = " --source 200,80,60 --target 210,90,40 --range 20,20";
    if (std::FILE* f = std::fopen((d + "broken.csv").c_str(), "w")) {
        for (int b = 0; b < 180; ++b) std::fprintf(f, "%d,0,0,0\n", b == 7 ? 8 : b);  // row 8 out of order
        std::fclose(f);
    }
    const std::tuple<std::string, int, std::string> cases[] = {
        {"pca generate " + chart + " -o " + table, 0, "18 of 18"},
        {"pca generate " + chart + " --json", 0, "\"mean_ab_error_after\""},
        {"pca tune " + table + tune_args + " -o " + d + "tuned.csv", 0, "edited range      94 .. 134"},
        {"pca apply " + d + "tuned.csv " + bmp + " -o " + d + "out.png --wheel " + d + "wheel.png", 0, ""},
        {"pca generate " + chart + " --limits 1,2", 2, "--limits"},
        {"pca tune " + chart + " --source 1,2,3 --target 4,5,6 --range 10,10", 2, ""},
        {"pca tune " + table + " --source 1,2,300 --target 4,5,6 --range 10,10", 2, "--source B"},
        {"pca apply " + d + "broken.csv x.png -o " + d + "bad2.png", 2, "broken.csv:8"},
        {"pca apply " + table + " " + bmp + " -o " + d + "bad4.png --wheel " + d + "missing/w.png", 2, "--wheel"},
    };
    for (const auto& [args, want, fragment] : cases) {
        int status = -1;
        const std::string out = morvik::test::run_cli(args, status);
        EXPECT_TRUE(status == want && out.find(fragment) != std::string::npos) << args << "\n" << status << " " << out;
    }
    // What succeeded is written; what failed left nothing behind.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"broken.csv", "out.png", "table.csv", "tuned.csv", "wheel.png"}));
}

}  // namespace
