#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "morvik/morvik.h"
#include "shading/fixed_log.h"
#include "shading/block_stats.h"
#include "shading/centre.h"
#include "shading/gains.h"
#include "shading/gamma.h"
#include "shading/numeric.h"
#include "shading/radius.h"
#include "shading/synthetic.h"
#include "support.h"

using morvik::shading::FlatField;
using morvik::shading::log2_fix;
using morvik::shading::make_flat_field;
using morvik::shading::pow2_fix;
using morvik::test::LogCapture;

namespace {

const std::uint32_t kFractions[10] = {2877628,   5798205,   11639361,  23278722,  46729244,
                                      94016834,  190138202, 388694540, 812607812, 1779018403};

lsc_params default_params() { return lsc_params{1.0f, 0.05f, 0.1f, 0.9f, 0}; }

lsc_result poisoned() {
    lsc_result r;
    std::memset(&r, 0xA5, sizeof r);
    return r;
}

bool untouched(const lsc_result& r) {
    const lsc_result p = poisoned();
    return std::memcmp(&r, &p, sizeof r) == 0;
}

struct CallResult {
    int rc;
    lsc_result result;
    std::vector<std::string> log;
};

CallResult run(const FlatField& f, lsc_params p = default_params(), std::uint32_t chip = 0) {
    const auto raw = make_flat_field(f);
    LogCapture cap;
    CallResult r{0, poisoned(), {}};
    r.rc = LSC_Calculate(chip, static_cast<std::uint32_t>(f.bayer_order), raw.data(), static_cast<std::uint32_t>(f.width),
                         static_cast<std::uint32_t>(f.height), &p, &r.result);
    r.log = cap.lines();
    return r;
}

bool ends_with_failure(const std::vector<std::string>& log, const std::string& reason) {
    const std::size_t n = log.size();
    return n >= 4 && log[n - 4] == reason && log[n - 3] == "Shading: free memory\n" && log[n - 2] == "Shading: End\n" &&
           log[n - 1].rfind("Time lapsed: ", 0) == 0;
}

const std::uint32_t* gammas(const lsc_result& r, int colour) {
    return colour == 0 ? r.gamma_R : colour == 1 ? r.gamma_G : r.gamma_B;
}

}  // namespace

// ---------------------------------------------------------------- fixed point

TEST(LscFixedPoint, PowersOfTwoAndTableBoundsAreExact) {
    EXPECT_EQ(log2_fix(0, 0), INT16_MIN);
    EXPECT_EQ(log2_fix(3, 0), 2048);  // no bound moves off 2: the nearer end, upper on a tie
    EXPECT_EQ(log2_fix(0xFFFFFFFFu, 0), INT16_MAX);
    for (int e = 0; e < 32; ++e) {
        for (int s : {0, 12, 16}) {
            const long expect = 1024L * e - 1024L * s;
            EXPECT_EQ(log2_fix(1u << e, s), std::clamp<long>(expect, INT16_MIN, INT16_MAX)) << e;
        }
        // A bound reached by one multiplication from 2^e is returned at once.
        for (int b = 0; b < 10 && e >= 12; ++b) {  // e >= 12: every step changes the bound
            const std::uint64_t lo = std::uint64_t{1} << e;
            const std::uint64_t bound = lo + ((lo * kFractions[b]) >> 32);
            if (bound > 0xFFFFFFFFu || e + 1 > 31) continue;
            EXPECT_EQ(log2_fix(static_cast<std::uint32_t>(bound), 0), 1024 * e + (1 << b)) << e << ' ' << b;
        }
    }
    for (int e = -16; e < 16; ++e) EXPECT_EQ(pow2_fix(1024 * e, 16), std::uint32_t{1} << (e + 16)) << e;
    EXPECT_EQ(pow2_fix(0, 12), 4096u);
}

TEST(LscFixedPoint, LogIsNearTheRoundedLogarithmOnADenseSweep) {
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t v = (i < 100000) ? static_cast<std::uint32_t>(2048 + i * 37) : rng() | 0x800u;
        const double exact = 1024.0 * std::log2(static_cast<double>(v));
        // Each of the ten steps truncates the bound to an integer: up to
        // 1024 / ln 2 / 2^e units per step below the exact bound.
        const int e = 31 - std::countl_zero(v);
        EXPECT_NEAR(log2_fix(v, 0), exact, 1.0 + 10 * 1477.3 / std::ldexp(1.0, e)) << v;
        if (v < 0x80000000u) {
            EXPECT_EQ(log2_fix(v, 0) - 1024 * 5, log2_fix(v, 5));
        }
    }
}

TEST(LscFixedPoint, PowerInvertsTheLogAndClampsItsDomain) {
    for (int l = -16384; l <= 16383; ++l) {
        const std::uint32_t p = pow2_fix(l, 16);
        const double exact = 65536.0 * std::exp2(l / 1024.0);
        EXPECT_LE(p, exact * (1 + 1e-9) + 1) << l;  // never above the exact power
        EXPECT_GE(p, exact * (1 - 1e-4) - 10) << l;
        // Applying the fraction steps from the top bit down reproduces the
        // log's own bounds, so the round trip is exact wherever the power
        // keeps enough bits (from 2^-4 up).
        if (l >= -4096) {
            EXPECT_EQ(log2_fix(p, 16), l) << l;
        }
        if (l >= 0) {
            EXPECT_EQ(pow2_fix(l, 12), p >> 4);
        }
        if (l > -16384) {
            EXPECT_GE(p, pow2_fix(l - 1, 16)) << l;
        }
    }
    EXPECT_EQ(pow2_fix(20000, 16), pow2_fix(16383, 16));
    EXPECT_EQ(pow2_fix(-20000, 16), pow2_fix(-16384, 16));
}

// ---------------------------------------------------------------- numeric helpers

TEST(LscNumeric, SaturatingAndFixedPointConversions) {
    using morvik::shading::saturate16;
    using morvik::shading::to_fixed16;
    EXPECT_EQ(saturate16(40000), INT16_MAX);
    EXPECT_EQ(saturate16(-40000), INT16_MIN);
    EXPECT_EQ(saturate16(-32768), INT16_MIN);
    EXPECT_EQ(saturate16(1234), 1234);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 65535.0);
    for (int i = 0; i < 20000; ++i) {
        const double x = i < 1000 ? i / 65536.0 - 0.5 / 65536.0 : u(rng);  // includes exact half steps
        EXPECT_EQ(to_fixed16(x), static_cast<std::uint32_t>(std::trunc(x * 65536.0 + 0.5))) << x;
    }
    EXPECT_EQ(to_fixed16(-1.0), 0u);
    EXPECT_EQ(to_fixed16(std::nan("")), 0u);
    EXPECT_EQ(to_fixed16(1e12), 0xFFFFFFFFu);
    EXPECT_EQ(morvik::shading::log2_fixed16(1.0), 0);
    EXPECT_EQ(morvik::shading::log2_fixed16(0.25), -2048);
}

TEST(LscNumeric, BayerColourTableIsTheOrderXorTheChannel) {
    using morvik::shading::Colour;
    using morvik::shading::colour_of;
    for (unsigned order = 0; order < 4; ++order) {
        int greens = 0;
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(static_cast<unsigned>(colour_of(order, c)), order ^ static_cast<unsigned>(c));
            greens += morvik::shading::is_green(colour_of(order, c));
        }
        EXPECT_EQ(colour_of(order, 0), static_cast<Colour>(order));  // the order names the first sample
        EXPECT_EQ(greens, 2);
    }
}

// The walk over histogram bins against the sorted list of the entries they
// stand for: the first m entries, whole bins summed as such.
TEST(LscNumeric, TopMSumMatchesTheFirstMEntriesOfTheExpandedHistogram) {
    std::mt19937 rng(9);
    for (int trial = 0; trial < 2000; ++trial) {
        const int bins = 1 + static_cast<int>(rng() % 40);
        std::vector<std::uint64_t> hist(static_cast<std::size_t>(bins));
        for (auto& h : hist) h = rng() % 3 == 0 ? 0 : rng() % 7;
        const bool downward = trial % 2 == 0;
        std::vector<int> expanded;  // bin of every entry, in walking order
        for (int i = 0; i < bins; ++i) {
            const int bin = downward ? bins - 1 - i : i;
            for (std::uint64_t k = 0; k < hist[static_cast<std::size_t>(bin)]; ++k) expanded.push_back(bin);
        }
        const std::uint64_t m = 1 + rng() % 60;
        std::uint64_t weighted = 0;
        int partial_calls = 0;
        const std::uint64_t taken = morvik::shading::sum_top_m(
            downward ? bins - 1 : 0, downward ? 0 : bins - 1, downward ? -1 : 1, m,
            [&](int bin) { return hist[static_cast<std::size_t>(bin)]; },
            [&](int bin, std::uint64_t n, bool partial) {
                EXPECT_LE(n, hist[static_cast<std::size_t>(bin)]);
                partial_calls += partial;
                weighted += static_cast<std::uint64_t>(bin) * n;
            });
        const std::uint64_t expect_taken = std::min<std::uint64_t>(m, expanded.size());
        EXPECT_EQ(taken, expect_taken);
        std::uint64_t expect_weighted = 0;
        for (std::uint64_t i = 0; i < expect_taken; ++i) expect_weighted += static_cast<std::uint64_t>(expanded[i]);
        EXPECT_EQ(weighted, expect_weighted);
        EXPECT_EQ(partial_calls, expanded.size() >= m ? 1 : 0);
    }
}

// ---------------------------------------------------------------- whole call

TEST(LscCalculate, RecoversAnOffCentreOpticalCentreForEveryBayerOrder) {
    struct Case {
        int w, h;
        double cx, cy;
    };
    const Case cases[] = {{640, 480, 300.0, 260.0}, {642, 482, 345.5, 221.0}, {1024, 768, 480.0, 410.0},
                          {2000, 1500, 960.0, 700.0}};
    for (const Case& c : cases)
        for (int bayer = 0; bayer < 4; ++bayer) {
            FlatField f;
            f.width = c.w;
            f.height = c.h;
            f.centre_x = c.cx;
            f.centre_y = c.cy;
            f.bayer_order = bayer;
            f.noise = 3.0;
            const CallResult r = run(f);
            ASSERT_EQ(r.rc, 0) << c.w << ' ' << bayer << ' ' << r.log.back();
            // Within one block (4 pixels = 8 half pixels).
            EXPECT_NEAR(static_cast<double>(r.result.center_x), 2 * c.cx, 8.0) << c.w << ' ' << bayer;
            EXPECT_NEAR(static_cast<double>(r.result.center_y), 2 * c.cy, 8.0) << c.w << ' ' << bayer;
            EXPECT_LE(r.result.K, 3u);
            for (std::uint32_t m : {r.result.Kr, r.result.Kg, r.result.Kb}) EXPECT_TRUE(m >= 1 && m <= 255);
            EXPECT_LE(r.result.Radius_factor, 3u);
            EXPECT_LE(r.result.Curve_sel, 3u);
            // Stronger fall-off needs a larger gain: B > R > G in the synthetic field.
            EXPECT_GE(r.result.Kb << r.result.K, r.result.Kr << r.result.K);
            EXPECT_GT(r.result.Kr, r.result.Kg);
            for (int col = 0; col < 3; ++col)
                for (int k = 0; k < 11; ++k) EXPECT_LE(gammas(r.result, col)[k], 255u);
            // The log closes with the banner on success.
            ASSERT_GE(r.log.size(), 4u);
            EXPECT_EQ(r.log[r.log.size() - 4], "Shading: free memory\n");
            EXPECT_EQ(r.log[r.log.size() - 3], "Shading: End\n");
            EXPECT_EQ(r.log.back(), "=============\n");
        }
}

TEST(LscCalculate, SetUpLogLinesAndInitialRadiusFactor) {
    FlatField f;
    f.width = 642;
    f.height = 482;
    const CallResult r = run(f, default_params(), 0x12345678u);
    ASSERT_EQ(r.rc, 0);
    const std::vector<std::string> head = {"=============\n",
                                           "Shading: Main Program Start",
                                           "Shading: Init\n",
                                           "Shading: Chip: 12345678\n",
                                           "Shading: Bayer order 0 (0:R,1:Gr,2:Gb,3:B)\n",
                                           "Shading: width 642, height 482\n",
                                           "Shading: block width 4, block height 4\n",
                                           "Shading: horizontal no 160, vertical no 120\n",
                                           "Shading: block_size 19200, image_size 309444\n",
                                           "Shading: Y compensate only: 0 (0: RGB, 1:Y only)\n",
                                           "Shading: Memory allocation OK for shading_para\n",
                                           "Shading: Init End\n",
                                           "Shading: Find target values of R/Gr/Gb/B\n",
                                           "Shading: Find target values of R/Gr/Gb/B End\n"};
    ASSERT_GE(r.log.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(r.log.begin(), r.log.begin() + head.size()), head);
    EXPECT_NE(std::find(r.log.begin(), r.log.end(), "Shading: Radius Factor Init  3\n"), r.log.end());

    f.width = 2048;
    f.height = 1024;
    f.centre_x = 1030;
    f.centre_y = 500;
    const CallResult big = run(f);
    ASSERT_EQ(big.rc, 0) << big.log.back();
    EXPECT_NE(std::find(big.log.begin(), big.log.end(), "Shading: Radius Factor Init  2\n"), big.log.end());
}

TEST(LscCalculate, FailuresReturnOneWithTheRecordUntouched) {
    lsc_params p = default_params();
    {  // no parameters or result record: nothing logged
        LogCapture cap;
        lsc_result r = poisoned();
        const std::uint8_t raw[64] = {};
        EXPECT_EQ(LSC_Calculate(0, 0, raw, 8, 8, nullptr, &r), 1);
        EXPECT_EQ(LSC_Calculate(0, 0, raw, 8, 8, &p, nullptr), 1);
        EXPECT_TRUE(untouched(r));
        EXPECT_TRUE(cap.lines().empty());
    }
    {  // null raw image
        LogCapture cap;
        lsc_result r = poisoned();
        EXPECT_EQ(LSC_Calculate(0, 0, nullptr, 640, 480, &p, &r), 1);
        EXPECT_TRUE(untouched(r));
        EXPECT_TRUE(ends_with_failure(cap.lines(), "Shading: memory pointer NULL for raw image"));
        EXPECT_EQ(cap.lines()[cap.lines().size() - 5], "Shading: Init End\n");
        // The failure reason names the cause; a later success clears it.
        EXPECT_NE(std::string(morvik_last_error()).find("null"), std::string::npos);
        FlatField f;
        const auto raw = make_flat_field(f);
        EXPECT_EQ(LSC_Calculate(0, 0, raw.data(), 640, 480, &p, &r), 0);
        EXPECT_STREQ(morvik_last_error(), "");
    }
    {  // no whole block, Bayer order out of range
        LogCapture cap;
        lsc_result r = poisoned();
        const std::vector<std::uint8_t> raw(3 * 100, 100);
        EXPECT_EQ(LSC_Calculate(0, 0, raw.data(), 3, 100, &p, &r), 1);
        EXPECT_TRUE(ends_with_failure(cap.lines(), "Shading: no whole 4x4 block in the image\n"));
        cap.clear();
        EXPECT_EQ(LSC_Calculate(0, 4, raw.data(), 4, 75, &p, &r), 1);
        EXPECT_TRUE(ends_with_failure(cap.lines(), "Shading: Bayer order out of range (0..3)\n"));
        EXPECT_TRUE(untouched(r));
    }
    {  // a ramp has no inner maximum: both green centres fail
        std::vector<std::uint8_t> raw(256 * 128);
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 256; ++x) raw[static_cast<std::size_t>(y) * 256 + x] = static_cast<std::uint8_t>(x / 2 + y / 4);
        LogCapture cap;
        lsc_result r = poisoned();
        EXPECT_EQ(LSC_Calculate(0, 0, raw.data(), 256, 128, &p, &r), 1);
        EXPECT_TRUE(untouched(r));
        EXPECT_TRUE(ends_with_failure(cap.lines(), "Shading: Gr Gb center both failed\n"));
    }
    {  // wide sensor, centre far to the left: the far edge needs more than the radius factor
        FlatField f;
        f.width = 4400;
        f.height = 256;
        f.centre_x = 300;
        f.centre_y = 128;
        for (double& fo : f.falloff) fo = 0.6;
        const CallResult r = run(f, p);
        EXPECT_EQ(r.rc, 1);
        EXPECT_TRUE(untouched(r.result));
        EXPECT_TRUE(ends_with_failure(r.log, "-------Update Radius Factor Fail: samller than zero------\n"));
    }
}

TEST(LscCalculate, LuminanceOnlySharesGainAndGamma) {
    FlatField f;
    f.centre_x = 340;
    f.centre_y = 230;
    lsc_params p = default_params();
    p.y_only = 1;
    const CallResult y = run(f, p);
    ASSERT_EQ(y.rc, 0);
    EXPECT_EQ(y.result.Kr, y.result.Kg);
    EXPECT_EQ(y.result.Kb, y.result.Kg);
    for (int k = 0; k < 11; ++k) {
        EXPECT_EQ(y.result.gamma_R[k], y.result.gamma_G[k]);
        EXPECT_EQ(y.result.gamma_B[k], y.result.gamma_G[k]);
    }
    EXPECT_NE(std::find(y.log.begin(), y.log.end(), "Shading: Compensate only Y with G gamma\n"), y.log.end());

    // Any value other than 1 means RGB, exactly as 0 does.
    p.y_only = 2;
    const CallResult two = run(f, p);
    p.y_only = 0;
    const CallResult zero = run(f, p);
    EXPECT_EQ(std::memcmp(&two.result, &zero.result, sizeof(lsc_result)), 0);
    EXPECT_NE(zero.result.Kr, zero.result.Kg);
}

TEST(LscCalculate, GammaVariantsStepLimitsAndSaturation) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0, 1);
    int saturated_runs = 0;
    for (int trial = 0; trial < 24; ++trial) {
        FlatField f;
        f.width = 320 + 4 * static_cast<int>(u(rng) * 100);
        f.height = 240 + 4 * static_cast<int>(u(rng) * 60);
        f.centre_x = f.width * (0.4 + 0.2 * u(rng));
        f.centre_y = f.height * (0.4 + 0.2 * u(rng));
        f.bayer_order = trial % 4;
        for (int c = 0; c < 4; ++c) {
            f.peak[c] = 150 + 100 * u(rng);
            f.falloff[c] = 0.2 + 0.6 * u(rng);
        }
        lsc_params p{static_cast<float>(0.9 + 0.6 * u(rng)), static_cast<float>(0.1 * u(rng)),
                     static_cast<float>(0.2 * u(rng)), static_cast<float>(0.7 + 0.3 * u(rng)), 0};
        const CallResult plain = run(f, p, 0x00010000u);
        const CallResult kt3 = run(f, p, (MORVIK_LSC_CHIP_KT3 << 16) | 0x12u);
        ASSERT_EQ(plain.rc, 0) << trial;
        ASSERT_EQ(kt3.rc, 0) << trial;
        // Everything before the gamma is the same for both variants.
        EXPECT_EQ(std::memcmp(&plain.result, &kt3.result, 8 * sizeof(std::uint32_t)), 0) << trial;
        for (const CallResult* r : {&plain, &kt3})
            for (int col = 0; col < 3; ++col) {
                const std::uint32_t* g = gammas(r->result, col);
                // Once a node reaches 255 every later node stays there.
                const auto full = std::find(g, g + 11, 255u);
                saturated_runs += full != g + 11;
                for (const std::uint32_t* q = full; q != g + 11; ++q) EXPECT_EQ(*q, 255u) << trial;
            }
        for (int col = 0; col < 3; ++col) {
            const std::uint32_t* g = gammas(kt3.result, col);
            // The step-limited first node rises by at most 64 when it settles alone.
            EXPECT_LE(g[0], 64u) << trial;
            // Node floors of the step-limited variant.
            EXPECT_GE(g[8], 63u) << trial;
            EXPECT_GE(g[9], 127u) << trial;
            EXPECT_GE(g[10], 191u) << trial;
        }
    }
    EXPECT_GT(saturated_runs, 0);
}

TEST(LscCalculate, ArbitraryImagesEitherSucceedWithinRangesOrLeaveTheRecord) {
    std::mt19937 rng(3);
    int successes = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const int w = 4 + static_cast<int>(rng() % 60), h = 4 + static_cast<int>(rng() % 60);
        std::vector<std::uint8_t> raw(static_cast<std::size_t>(w) * h);
        const int kind = trial % 3;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const double dx = x - w / 2.0, dy = y - h / 2.0;
                const double smooth = 200 - 0.15 * (dx * dx + dy * dy);
                const int v = kind == 0 ? static_cast<int>(rng() % 256)
                                        : static_cast<int>(smooth) + (kind == 2 ? static_cast<int>(rng() % 40) : 0);
                raw[static_cast<std::size_t>(y) * w + x] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
            }
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        lsc_params p{0.5f + 2.0f * u(rng), u(rng), u(rng), u(rng), static_cast<std::uint8_t>(rng() % 3)};
        LogCapture cap;
        lsc_result r = poisoned();
        const std::uint32_t chip = (trial & 1) ? (MORVIK_LSC_CHIP_KT3 << 16) : 0u;
        const int rc = LSC_Calculate(chip, rng() % 4, raw.data(), static_cast<std::uint32_t>(w),
                                     static_cast<std::uint32_t>(h), &p, &r);
        ASSERT_TRUE(rc == 0 || rc == 1);
        if (rc == 1) {
            EXPECT_TRUE(untouched(r));
            EXPECT_NE(cap.lines().back(), "=============\n");
            continue;
        }
        ++successes;
        EXPECT_EQ(cap.lines().back(), "=============\n");
        EXPECT_LE(r.K, 3u);
        EXPECT_LE(r.Radius_factor, 3u);
        EXPECT_LE(r.Curve_sel, 3u);
        for (std::uint32_t m : {r.Kr, r.Kg, r.Kb}) EXPECT_TRUE(m >= 1 && m <= 255);
        for (int col = 0; col < 3; ++col)
            for (int k = 0; k < 11; ++k) EXPECT_LE(gammas(r, col)[k], 255u);
    }
    EXPECT_GT(successes, 20);
}

// The gamma walk as its log tells it: every settled node in the log is the
// node in the record, nodes skipped for want of blocks are spread between
// their neighbours, and all nodes after a 255 are 255.
TEST(LscCalculate, GammaNodesSettleAsLogged) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> u(0, 1);
    int spreads = 0;
    for (int trial = 0; trial < 16; ++trial) {
        FlatField f;
        f.width = 160 + 4 * static_cast<int>(u(rng) * 120);
        f.height = 120 + 4 * static_cast<int>(u(rng) * 90);
        f.centre_x = f.width * (0.35 + 0.3 * u(rng));
        f.centre_y = f.height * (0.35 + 0.3 * u(rng));
        f.noise = 4.0;
        const bool kt3 = trial % 2 == 1;
        const CallResult r = run(f, default_params(), kt3 ? (MORVIK_LSC_CHIP_KT3 << 16) : 0u);
        ASSERT_EQ(r.rc, 0) << trial;
        const char names[3] = {'R', 'G', 'B'};
        for (int col = 0; col < 3; ++col) {
            const std::uint32_t* g = gammas(r.result, col);
            int last_settled = -1;
            for (const std::string& line : r.log) {
                char c = 0;
                int k = 0, value = 0;
                if (std::sscanf(line.c_str(), "Shading: %c i %d, current gamma with jump %d", &c, &k, &value) != 3 ||
                    c != names[col])
                    continue;
                EXPECT_EQ(g[k], static_cast<std::uint32_t>(value)) << trial << ' ' << c << k;
                // Nodes between the previous settled node and this one were spread.
                const int prev = last_settled < 0 ? 0 : static_cast<int>(g[last_settled]);
                for (int i = last_settled + 1; i < k; ++i) {
                    ++spreads;
                    EXPECT_GE(static_cast<int>(g[i]), prev) << trial;
                    EXPECT_LE(g[i], g[k]) << trial;
                }
                last_settled = k;
            }
            ASSERT_GE(last_settled, 0);
            for (int i = last_settled + 1; i < 11; ++i) EXPECT_EQ(g[i], 255u) << trial;
        }
    }
    EXPECT_GT(spreads, 0);
}

// ---------------------------------------------------------------- stages

namespace {

using namespace morvik::shading;

// Block statistics of an image, with storage that lives as long as they do.
struct Measured {
    std::vector<std::uint16_t> storage;
    std::unique_ptr<BlockStats> stats = std::make_unique<BlockStats>();
};

Measured measure(const std::vector<std::uint8_t>& raw, int width, int height, double target_scale = 1.0) {
    Measured m;
    const BlockGrid grid = BlockGrid::of(static_cast<unsigned>(width), static_cast<unsigned>(height));
    m.storage.resize(4 * grid.n);
    LogCapture quiet;
    measure_blocks(raw.data(), static_cast<unsigned>(width), grid, target_scale, m.storage.data(), *m.stats);
    return m;
}

}  // namespace

TEST(LscStages, BlockStatisticsTargetIsTheMeanOfTheBrightestTenth) {
    // 20 x 10 blocks; channel 1 of block (v, h) has the value h + 10 v.
    std::vector<std::uint8_t> raw(80 * 40, 50);
    for (int y = 0; y < 40; y += 2)
        for (int x = 1; x < 80; x += 2) raw[static_cast<std::size_t>(y) * 80 + x] = static_cast<std::uint8_t>(x / 4 + 10 * (y / 4));
    const Measured m = measure(raw, 80, 40, 1.5);
    const BlockStats& s = *m.stats;
    ASSERT_EQ(s.grid.n, 200u);
    EXPECT_EQ(s.mean(1, s.grid.index(3, 7)), 37.0);
    EXPECT_EQ(s.mean(0, 5), 50.0);
    // The 20 brightest values are 90..109, with 100..109 twice (rows 9 and 10 x 0..9 overlap).
    std::vector<int> values;
    for (int v = 0; v < 10; ++v)
        for (int h = 0; h < 20; ++h) values.push_back(h + 10 * v);
    std::sort(values.rbegin(), values.rend());
    double top = 0;
    for (int i = 0; i < 20; ++i) top += values[static_cast<std::size_t>(i)];
    EXPECT_DOUBLE_EQ(s.target[1], top * 1.5 / 20);
    EXPECT_DOUBLE_EQ(s.target[0], 50 * 1.5);
    // Gain need per block sum, none for a sum of 0.
    EXPECT_DOUBLE_EQ(s.gain_need[0][100], (75.0 - 25.0) / 25.0);
    EXPECT_EQ(s.gain_need[0][0], 0.0);
    EXPECT_EQ(s.log_gain_need[0][400], 0);  // mean 100 above the target: no need
    EXPECT_EQ(s.log_gain_need[0][100], 1024);  // g = 2
}

TEST(LscStages, ParabolaAndLineFitsAgainstTheirDefinitions) {
    // Points on an exact downward parabola give its vertex.
    PowerSums exact;
    for (int x = 1; x <= 41; x += 4) exact.add(x, 200 - 0.05 * (x - 17.5) * (x - 17.5));
    const Parabola p = fit_parabola(exact, 1, 41);
    EXPECT_EQ(p.code, ParabolaCode::good);
    EXPECT_NEAR(p.vertex, 17.5, 1e-9);
    // The vertex bounds are inclusive.
    EXPECT_EQ(fit_parabola(exact, p.vertex, 41).code, ParabolaCode::good);
    EXPECT_EQ(fit_parabola(exact, 1, p.vertex).code, ParabolaCode::good);
    EXPECT_EQ(fit_parabola(exact, std::nextafter(p.vertex, 99.0), 41).code, ParabolaCode::outside);
    EXPECT_EQ(fit_parabola(exact, 1, std::nextafter(p.vertex, 0.0)).code, ParabolaCode::outside);
    // Two points are too few, an upward parabola is not concave, all points on
    // one x make the normal matrix singular.
    PowerSums two, upward, one_x;
    two.add(1, 5);
    two.add(5, 6);
    EXPECT_EQ(fit_parabola(two, 1, 5).code, ParabolaCode::too_few);
    for (int x = 0; x < 5; ++x) upward.add(x, x * x);
    EXPECT_EQ(fit_parabola(upward, 0, 4).code, ParabolaCode::not_concave);
    for (int i = 0; i < 5; ++i) one_x.add(3, i);
    EXPECT_EQ(fit_parabola(one_x, 3, 3).code, ParabolaCode::singular);
    // A peak at or below zero is rejected.
    PowerSums negative;
    for (int x = 0; x < 5; ++x) negative.add(x, -1 - (x - 2) * (x - 2));
    EXPECT_EQ(fit_parabola(negative, 0, 4).code, ParabolaCode::outside);

    // Least squares on noisy points against normal equations solved directly.
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int trial = 0; trial < 200; ++trial) {
        PowerSums s;
        LineSums l;
        long double m[3][4] = {};
        long double st = 0, stt = 0, su = 0, stu = 0, n = 0;
        const double a = -0.01 - 0.1 * (u(rng) + 1), b = 10 * u(rng), c = 150 + 50 * u(rng);
        for (int i = 0; i < 30; ++i) {
            const double x = 4 * i + 1, y = a * x * x + b * x + c + u(rng);
            s.add(x, y);
            l.add(x, y);
            const long double pw[3] = {static_cast<long double>(x) * x, x, 1};
            for (int r = 0; r < 3; ++r) {
                for (int q = 0; q < 3; ++q) m[r][q] += pw[r] * pw[q];
                m[r][3] += pw[r] * y;
            }
            n += 1;
            st += x;
            stt += static_cast<long double>(x) * x;
            su += y;
            stu += static_cast<long double>(x) * y;
        }
        for (int r = 0; r < 3; ++r)  // Gauss-Jordan elimination
            for (int q = 0; q < 3; ++q) {
                if (q == r) continue;
                const long double f = m[q][r] / m[r][r];
                for (int k = 0; k < 4; ++k) m[q][k] -= f * m[r][k];
            }
        const long double fa = m[0][3] / m[0][0], fb = m[1][3] / m[1][1];
        const double vertex = static_cast<double>(-fb / (2 * fa));
        const Parabola fitted = fit_parabola(s, 1, 117);
        if (vertex >= 1 && vertex <= 117) {
            EXPECT_EQ(fitted.code, ParabolaCode::good) << trial;
            EXPECT_NEAR(fitted.vertex, vertex, 1e-6 * (1 + std::fabs(vertex))) << trial;
        }
        const Line line = l.fit();
        EXPECT_EQ(line.code, 0);
        const long double det = n * stt - st * st;
        EXPECT_NEAR(line.a, static_cast<double>((n * stu - st * su) / det), 1e-9);
        EXPECT_NEAR(line.b, static_cast<double>((stt * su - st * stu) / det), 1e-6);
    }
    LineSums single;
    single.add(1, 2);
    EXPECT_EQ(single.fit().code, 2);
    single.add(1, 3);
    EXPECT_EQ(single.fit().code, 1);
}

TEST(LscStages, CentreOfAPlantedFieldPerChannelAndSelectedFromTheGreens) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> u(0, 1);
    for (int trial = 0; trial < 12; ++trial) {
        FlatField f;
        f.width = 400 + 8 * static_cast<int>(u(rng) * 60);
        f.height = 300 + 8 * static_cast<int>(u(rng) * 40);
        f.centre_x = f.width * (0.35 + 0.3 * u(rng));
        f.centre_y = f.height * (0.35 + 0.3 * u(rng));
        f.bayer_order = trial % 4;
        const Measured m = measure(make_flat_field(f), f.width, f.height);
        LogCapture quiet;
        const CentreResult r = find_centre(*m.stats, static_cast<unsigned>(f.bayer_order));
        ASSERT_TRUE(r.found) << trial;
        for (int c = 0; c < 4; ++c) {
            ASSERT_EQ(r.channel[c].code, 0) << trial << ' ' << c;
            EXPECT_NEAR(r.channel[c].x, f.centre_x, 2.0) << trial << ' ' << c;
            EXPECT_NEAR(r.channel[c].y, f.centre_y, 2.0) << trial << ' ' << c;
        }
        // The selected centre is the mean of the two green channels.
        const bool greens_1_2 = f.bayer_order == 0 || f.bayer_order == 3;
        const int g1 = greens_1_2 ? 1 : 0, g2 = greens_1_2 ? 2 : 3;
        EXPECT_EQ(r.x, (r.channel[g1].x + r.channel[g2].x) / 2);
        EXPECT_EQ(r.center_x, static_cast<std::uint16_t>(2 * r.x + 0.5));
        EXPECT_EQ(r.center_y, static_cast<std::uint16_t>(2 * r.y + 0.5));
    }
}

TEST(LscStages, RadiusFactorIsTheLargestThatKeepsTheFarEdgeWithinTenBits) {
    int initial = 0;
    EXPECT_EQ(far_edge_radius_factor(640, 480, 640, 480, initial), 3);
    EXPECT_EQ(initial, 3);
    far_edge_radius_factor(4208, 3120, 4208, 3120, initial);
    EXPECT_EQ(initial, 2);
    // A centre in the middle column measures to the right-hand edge.
    EXPECT_EQ(far_edge_radius_factor(2048, 64, 2047, 64, initial), far_edge_radius_factor(2048, 64, 2047, 64, initial));
    for (unsigned w = 8; w < 9000; w += 97)
        for (unsigned h = 8; h < 7000; h += 389)
            for (int cx : {0, 1, static_cast<int>(w) - 1, static_cast<int>(w), static_cast<int>(2 * w) - 3, 3 * static_cast<int>(w)})
                for (int cy : {0, static_cast<int>(h), static_cast<int>(2 * h) - 3}) {
                    const int rf = far_edge_radius_factor(w, h, cx, cy, initial);
                    const int ex = cx > static_cast<int>(w) - 1 ? cx : 2 * (static_cast<int>(w) - 1) - cx;
                    const int ey = cy > static_cast<int>(h) - 1 ? cy : 2 * (static_cast<int>(h) - 1) - cy;
                    auto fits = [&](int f) { return (ex >> (4 - f)) <= 511 && (ey >> (4 - f)) <= 511; };
                    if (rf < 0) {
                        // Even three steps down the edge is too far.
                        EXPECT_GT(std::max(ex, ey) >> (4 - initial), 2047) << w << ' ' << h << ' ' << cx;
                        continue;
                    }
                    EXPECT_TRUE(rf == initial || fits(rf)) << w << ' ' << h << ' ' << cx << ' ' << cy;
                    if (rf < initial) { EXPECT_FALSE(fits(rf + 1)) << w << ' ' << h << ' ' << cx << ' ' << cy; }
                }
    // Curve levels by the far sample's squared distance.
    std::uint32_t rm = 0;
    // 640 x 480 centred (half pixels 640, 480: past width - 1 and height - 1,
    // so the far samples are the centre minus 2), radius factor 3:
    // (638 >> 1)^2 + (478 >> 1)^2 = 158882, >> 8 = 620.
    EXPECT_EQ(curve_level(640, 480, 640, 480, 3, rm), 2);
    EXPECT_EQ(rm, 620u);
    // One half pixel to the left, the far samples are on the right and bottom:
    // (2 * 640 - 4 - 639) >> 1 = 318, (2 * 480 - 4 - 479) >> 1 = 238.
    EXPECT_EQ(curve_level(640, 480, 639, 479, 3, rm), 2);
    EXPECT_EQ(rm, (318u * 318u + 238u * 238u) >> 8);
    int previous = 0;
    for (int offset = 0; offset < 2000; offset += 16) {
        // A centre further left puts the far (right) edge further away.
        const int level = curve_level(2000, 2000, 1999 - offset, 2000, 0, rm);
        EXPECT_GE(level, previous);
        previous = level;
    }
}

// The radius check of one channel against a model that sorts the negative
// differences instead of binning them. Large distances (radius factor 2 on a
// wide image) bring log2 r2 - 26 above -7 octaves, so small gain needs give
// negative differences.
TEST(LscStages, RadiusCheckDifferenceIsTheLogMeanOfTheLowestHundredth) {
    std::mt19937 rng(23);
    for (int trial = 0; trial < 6; ++trial) {
        const int width = 2040, height = 64;
        std::vector<std::uint8_t> raw(static_cast<std::size_t>(width) * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                raw[static_cast<std::size_t>(y) * width + x] =
                    static_cast<std::uint8_t>(x < width / 2 ? 200 : 197 + static_cast<int>(rng() % 3));
        const Measured m = measure(raw, width, height);
        const BlockStats& s = *m.stats;
        RadiusGeometry geometry(s.grid, 0, static_cast<std::uint16_t>(trial * 20));
        geometry.set_radius_factor(2);
        for (int c = 0; c < 4; ++c) {
            std::vector<int> negative;
            int qualifying = 0, minimum = 0;
            for (int v = 0; v < s.grid.vn; ++v)
                for (int h = 0; h < s.grid.hn; ++h) {
                    const std::uint16_t sum = s.sums[c][s.grid.index(v, h)];
                    const double g = s.gain_need[c][sum];
                    if (!(g > 0)) continue;
                    const int d = log_difference(s, geometry, c, sum, geometry.r2(c, v, h));
                    if (d >= 0) continue;
                    negative.push_back(d);
                    if (g > 0.01) {
                        ++qualifying;
                        minimum = std::min(minimum, d);
                    }
                }
            int preliminary = 0;
            const int D = channel_difference(s, geometry, c, preliminary);
            if (qualifying == 0) {
                EXPECT_EQ(D, 0);
                continue;
            }
            std::sort(negative.begin(), negative.end());
            negative.erase(negative.begin(), std::lower_bound(negative.begin(), negative.end(), minimum));
            const std::size_t mcount = std::max<std::size_t>(1, static_cast<std::size_t>(0.01 * static_cast<double>(s.grid.n) + 0.5));
            const std::size_t taken = std::min(mcount, negative.size());
            std::uint32_t total = 0;
            for (std::size_t i = 0; i < taken; ++i) total += pow2_fix(negative[i], 12);
            EXPECT_EQ(D, log2_fix(total / static_cast<std::uint32_t>(taken), 12)) << trial << ' ' << c;
            EXPECT_LT(D, 0) << trial << ' ' << c;
        }
    }
}

TEST(LscStages, GainWalkFirstEstimateAndCorrection) {
    // First estimate: the outermost tenth, the closing ring taken pro rata.
    RingSums rings;
    rings.count[255] = 3;
    rings.k[255] = 3.0;
    rings.count[250] = 10;
    rings.k[250] = 20.0;
    rings.count[10] = 87;
    rings.k[10] = 1.0;
    bool found = false;
    EXPECT_DOUBLE_EQ(first_kt(rings, 100, found), (3.0 + 7 * 2.0) / 10);
    EXPECT_TRUE(found);
    RingSums empty;
    EXPECT_EQ(first_kt(empty, 100, found), 1.0);
    EXPECT_FALSE(found);

    // One ring above the limit: kt is lowered until its level is the limit.
    const GainLimits limits{1.0, 0.05, 0.1};
    RingSums one;
    one.count[200] = 4;
    one.k[200] = 4 * 0.5;
    one.g[200] = 4 * 0.4;
    const double kt = corrected_kt(one, 2.0, limits);
    EXPECT_NEAR((0.4 * kt / 0.5 + 1) / 1.4, 1.05, 1e-12);
    EXPECT_EQ(corrected_kt(one, 0.5, limits), 0.5);  // level 1: within the limits

    // An inner ring too far below the outer one: the outer level ends exactly
    // `overshoot` above the inner one.
    RingSums two;
    two.count[200] = 1;
    two.k[200] = 0.5;
    two.g[200] = 0.4;
    two.count[50] = 1;
    two.k[50] = 2.0;
    two.g[50] = 0.2;
    const double kt2 = corrected_kt(two, 0.52, limits);
    EXPECT_LT(kt2, 0.52);
    const double outer = (0.4 * kt2 / 0.5 + 1) / 1.4, inner = (0.2 * kt2 / 2.0 + 1) / 1.2;
    EXPECT_NEAR(outer - inner, 0.1, 1e-12);
}

// Ring sums kept in registers along runs of equal rings against a plain
// per-block accumulation: the same additions in the same order.
TEST(LscStages, RingSumsEqualAPlainPerBlockAccumulation) {
    FlatField f;
    f.width = 1000;
    f.height = 760;
    f.centre_x = 470;
    f.centre_y = 400;
    f.noise = 6;
    const Measured m = measure(make_flat_field(f), f.width, f.height);
    const BlockStats& s = *m.stats;
    for (int rf : {0, 1, 2, 3}) {
        RadiusGeometry geometry(s.grid, 940, 800);
        geometry.set_radius_factor(rf);
        for (int cs : {0, 3}) {
            for (int c = 0; c < 4; ++c) {
                const RingSums fast = ring_sums(s, geometry, c, cs);
                RingSums plain;
                for (int v = 0; v < s.grid.vn; ++v)
                    for (int h = 0; h < s.grid.hn; ++h) {
                        const std::uint16_t sum = s.sums[c][s.grid.index(v, h)];
                        const double g = s.gain_need[c][sum];
                        if (!(g > 0)) continue;
                        const std::uint32_t r2 = geometry.r2(c, v, h);
                        const int ring = ring_of(r2, cs);
                        ++plain.count[ring];
                        plain.k[ring] += pow2_fix(log_difference(s, geometry, c, sum, r2), 16) / 65536.0;
                        plain.g[ring] += g;
                    }
                EXPECT_EQ(std::memcmp(&fast, &plain, sizeof fast), 0) << rf << ' ' << cs << ' ' << c;
            }
        }
    }
}

TEST(LscStages, GainEncodingPicksTheBestMantissasBelowEachLog) {
    const GainLogTable table;
    LogCapture quiet;
    std::mt19937 rng(31);
    for (int trial = 0; trial < 3000; ++trial) {
        int logs[4];
        for (int& l : logs) l = static_cast<int>(rng() % 4600) - 300;
        const unsigned order = rng() % 4;
        const GainCode code = encode_gains(logs, order, false, table);
        const int LR = logs[order ^ 0u], LB = logs[order ^ 3u];
        const int LG = std::min(logs[order ^ 1u], logs[order ^ 2u]);
        if (std::min({LR, LG, LB}) < 0) {
            EXPECT_EQ(code.K, 0);
            EXPECT_EQ(code.Kr + code.Kg + code.Kb, 3);
            continue;
        }
        // Each mantissa is the largest whose log does not exceed the colour's.
        const int colour_logs[3] = {LR, LG, LB}, mantissas[3] = {code.Kr, code.Kg, code.Kb};
        for (int x = 0; x < 3; ++x) {
            const int i = mantissas[x] - 1;
            if (i > 0) { EXPECT_LE(table.entry[code.K][i], colour_logs[x]) << trial; }
            if (i < 254) { EXPECT_GT(table.entry[code.K][i + 1], colour_logs[x]) << trial; }
        }
        EXPECT_LE(1024 * code.K, std::max(0, std::min({LR, LG, LB})) + 1023);
        for (int c = 0; c < 4; ++c) {
            const Colour col = colour_of(order, c);
            EXPECT_EQ(code.mantissa[c], col == Colour::R ? code.Kr : col == Colour::B ? code.Kb : code.Kg);
        }
    }
    // Luminance only: one log for all, so one mantissa.
    const int logs[4] = {1500, 900, 2600, 1200};
    const GainCode y = encode_gains(logs, 0, true, table);
    EXPECT_EQ(y.Kr, y.Kg);
    EXPECT_EQ(y.Kb, y.Kg);
}

namespace {

// Random blocks for one colour's walk: a ring equivalent near the ring with
// gain needs growing outwards.
ColourBlocks random_blocks(std::mt19937& rng, double spread) {
    ColourBlocks blocks;
    std::uniform_real_distribution<double> u(0, 1);
    const int skip = static_cast<int>(rng() % 12);  // a node left without blocks
    for (int i = 0; i < 600; ++i) {
        const int ring = 1 + static_cast<int>(rng() % 254);
        int node = 10;
        for (int k = 0; k < 10; ++k)
            if (ring > kNodeRing[k] && ring <= kNodeRing[k + 1]) node = k;
        if (node == skip) continue;
        GammaBlock b;
        b.ring = ring;
        b.g = 0.02 + ring / 255.0 * (0.5 + u(rng));
        b.coarse = ring / 255.0 * 0.6;
        b.fine = 0.01 * u(rng);
        b.ring_equivalent = ring * (1 + spread * (u(rng) - 0.3));
        blocks.node(node).push_back(b);
    }
    return blocks;
}

}  // namespace

TEST(LscStages, GammaWalkSettlesMonotoneNodesSpreadsGapsAndRespectsStepLimits) {
    std::mt19937 rng(41);
    int spreads = 0, saturated = 0;
    for (int trial = 0; trial < 400; ++trial) {
        GammaSettings settings;
        settings.cmax = 0.6;
        settings.step_limited = trial % 2 == 1;
        settings.target_scale = 0.9 + 0.2 * (trial % 3);
        settings.shading_min = 0.85;
        const ColourBlocks blocks = random_blocks(rng, 0.1 + (trial % 5) * 0.4);
        std::vector<std::string> log;
        GammaWalk walk(settings, log);
        walk.run(blocks);
        const std::uint8_t* g = walk.nodes();
        // Settled nodes, in the order their lines were written.
        std::vector<int> settled;
        for (const std::string& line : log) {
            char c = 0;
            int k = 0, value = 0;
            if (std::sscanf(line.c_str(), "Shading: %c i %d, current gamma with jump %d", &c, &k, &value) == 3) {
                EXPECT_EQ(g[k], value);
                settled.push_back(k);
            }
        }
        ASSERT_FALSE(settled.empty());
        int previous_node = -1, previous_value = 0;
        for (const int k : settled) {
            // Nodes in between had no blocks: the jump is spread by ring.
            for (int i = previous_node + 1; i < k && !settings.step_limited; ++i) {
                ++spreads;
                const int x0 = kNodeRing[previous_node + 1];
                const double share = static_cast<double>(kNodeRing[i + 1] - x0) / (kNodeRing[k + 1] - x0);
                EXPECT_NEAR(g[i], previous_value + share * (g[k] - previous_value), 0.5 + 1e-9) << trial;
            }
            previous_node = k;
            previous_value = g[k];
        }
        for (int k = 1; k < kGammaNodes; ++k) EXPECT_GE(g[k], g[k - 1]) << trial;
        const auto full = std::find(g, g + kGammaNodes, 255);
        saturated += full != g + kGammaNodes;
        for (const std::uint8_t* q = full; q != g + kGammaNodes; ++q) EXPECT_EQ(*q, 255) << trial;
        if (settings.step_limited) {
            EXPECT_GE(g[8], 63);
            EXPECT_GE(g[9], 127);
            EXPECT_GE(g[10], 191);
            if (settled.front() == 0) { EXPECT_LE(g[0], 64); }
        }
    }
    EXPECT_GT(spreads, 20);
    EXPECT_GT(saturated, 0);
}

// Parts of the calculation may run on several threads; the record and every
// log line are those of one thread.
TEST(LscCalculate, ThreadsChangeNeitherTheRecordNorTheLog) {
    std::mt19937 rng(51);
    std::uniform_real_distribution<double> u(0, 1);
    for (int trial = 0; trial < 12; ++trial) {
        FlatField f;
        f.width = 200 + 4 * static_cast<int>(u(rng) * 200);
        f.height = 160 + 4 * static_cast<int>(u(rng) * 150);
        f.centre_x = f.width * (0.3 + 0.4 * u(rng));
        f.centre_y = f.height * (0.3 + 0.4 * u(rng));
        f.bayer_order = trial % 4;
        f.noise = 5 * u(rng);
        lsc_params p = default_params();
        p.y_only = static_cast<std::uint8_t>(trial % 3 == 0);
        const std::uint32_t chip = (trial & 1) ? (MORVIK_LSC_CHIP_KT3 << 16) : 0u;
        CallResult one, many;
        {
            morvik::test::ScopedEnv env("MORVIK_THREADS", std::string("1"));
            one = run(f, p, chip);
        }
        {
            morvik::test::ScopedEnv env("MORVIK_THREADS", std::string(trial % 2 ? "2" : "3"));
            many = run(f, p, chip);
        }
        EXPECT_EQ(one.rc, many.rc) << trial;
        EXPECT_EQ(std::memcmp(&one.result, &many.result, sizeof(lsc_result)), 0) << trial;
        ASSERT_EQ(one.log.size(), many.log.size()) << trial;
        for (std::size_t i = 0; i < one.log.size(); ++i)
            if (one.log[i].rfind("Time lapsed", 0) != 0) {
                EXPECT_EQ(one.log[i], many.log[i]) << trial << ' ' << i;
            }
    }
}

// ---------------------------------------------------------------- fast sums

TEST(LscFastSums, Pow2TableHoldsPow2FixOfTheWholeDomain) {
    std::vector<std::uint32_t> table(32768);
    pow2_fix_table16(table.data());
    for (int l = -16384; l < 16384; ++l) ASSERT_EQ(table[static_cast<std::size_t>(l + 16384)], pow2_fix(l, 16)) << l;
}

namespace {

// One block as the gamma walk sees it, from the formulas written out plainly.
GammaBlock plain_gamma_block(double g, std::uint32_t r2, int cs, std::uint32_t m) {
    const std::uint32_t coarse_mask[4] = {0x0FFFFFF0u, 0x0FFFFFE0u, 0x0FFFFFC0u, 0x0FFFFF80u};
    const std::uint32_t p = r2 >> 4;
    GammaBlock b;
    b.ring = static_cast<int>((r2 >> (cs + 8)) & 0xFF);
    b.g = g;
    b.coarse = static_cast<double>(((p & coarse_mask[cs]) * m) >> 12) / 1024;
    b.fine = static_cast<double>(((p & ((1u << (cs + 4)) - 1)) * m) >> 12) / 1024;
    const double rest = g - b.fine;
    b.ring_equivalent = (b.ring > 0 && rest > 0 && b.coarse > 0) ? b.ring * rest / b.coarse : 0.0;
    return b;
}

}  // namespace

// The gains pass records the group runs and ring counts; the gamma sums read
// from them must equal block-by-block sums over a plain scan of the image,
// bit for bit, for every node and every possible last settled node.
TEST(LscFastSums, GammaNodeSumsFromRunsEqualPlainBlockSums) {
    std::mt19937 rng(61);
    for (int trial = 0; trial < 6; ++trial) {
        FlatField f;
        f.width = 400 + 4 * static_cast<int>(rng() % 120);
        f.height = 300 + 4 * static_cast<int>(rng() % 90);
        f.centre_x = f.width * (0.3 + 0.05 * (rng() % 8));
        f.centre_y = f.height * (0.3 + 0.05 * (rng() % 8));
        f.noise = 8;
        std::vector<std::uint8_t> raw = make_flat_field(f);
        for (auto& sample : raw)
            if (rng() % 50 == 0) sample = static_cast<std::uint8_t>(rng());  // blocks without a gain need
        const Measured measured = measure(raw, f.width, f.height, 0.8 + 0.1 * trial);
        const BlockStats& s = *measured.stats;
        RadiusGeometry geometry(s.grid, static_cast<std::uint16_t>(2 * f.centre_x),
                                static_cast<std::uint16_t>(2 * f.centre_y));
        const int rf = trial % 4, cs = (trial * 3) % 4;
        geometry.set_radius_factor(rf);
        GroupRuns runs;
        std::uint32_t ring_count[4][256];
        for (int c = 0; c < 4; ++c) {
            const RingSums rings = ring_sums(s, geometry, c, cs, &runs);
            std::copy(rings.count, rings.count + 256, ring_count[c]);
        }
        const int K = static_cast<int>(rng() % 4);
        int mantissa[4];
        for (int& m : mantissa) m = 1 + static_cast<int>(rng() % 255);
        for (const std::vector<int>& channels : {std::vector<int>{0}, std::vector<int>{1, 2}, std::vector<int>{3}}) {
            const ColourRuns fast(s, geometry, runs, channels, cs, K, mantissa, ring_count);
            ColourBlocks plain;
            int blocks = 0;
            for (const int c : channels)
                for (int k = 0; k < kGammaNodes; ++k)
                    for (int v = 0; v < s.grid.vn; ++v)
                        for (int h = 0; h < s.grid.hn; ++h) {
                            const double g = s.gain_need[c][s.sums[c][s.grid.index(v, h)]];
                            const std::uint32_t r2 = geometry.r2(c, v, h);
                            const int ring = static_cast<int>((r2 >> (cs + 8)) & 0xFF);
                            int node = ring == 0 || ring == 255 ? -1 : 10;
                            for (int j = 0; j < 10; ++j)
                                if (ring > kNodeRing[j] && ring <= kNodeRing[j + 1]) node = j;
                            if (node != k || !(g > 0)) continue;
                            plain.node(k).push_back(plain_gamma_block(g, r2, cs, static_cast<std::uint32_t>(mantissa[c]) << K));
                            ++blocks;
                        }
            ASSERT_GT(blocks, 1000);
            for (int k = 0; k < 10; ++k)
                for (int last = 0; last <= k; ++last)
                    for (const double last_value : {0.0, 37.0, static_cast<double>(kNodeRing[last])}) {
                        const NodeSums a = fast.node_sums(k, kNodeRing[last], last_value);
                        const NodeSums b = plain.node_sums(k, kNodeRing[last], last_value);
                        ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << trial << ' ' << k << ' ' << last;
                    }
            for (int last = 0; last <= 10; ++last) {
                const NodeSums a = fast.last_node_sums(kNodeRing[last]);
                const NodeSums b = plain.last_node_sums(kNodeRing[last]);
                ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << trial << ' ' << last;
            }
        }
    }
}
