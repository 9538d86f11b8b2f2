#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
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

const std::uint32_t* gammas(const lsc_result& r, int colour) {
    return colour == 0 ? r.gamma_R : colour == 1 ? r.gamma_G : r.gamma_B;
}

// Record fields every successful call keeps within their ranges.
void expect_in_range(const lsc_result& r) {
    EXPECT_LE(r.K, 3u);
    EXPECT_LE(r.Radius_factor, 3u);
    EXPECT_LE(r.Curve_sel, 3u);
    for (std::uint32_t m : {r.Kr, r.Kg, r.Kb}) EXPECT_TRUE(m >= 1 && m <= 255);
    for (int col = 0; col < 3; ++col)
        for (int k = 0; k < 11; ++k) EXPECT_LE(gammas(r, col)[k], 255u);
}

// A settled node's log line: colour letter, node and value.
bool settled_line(const std::string& line, char& colour, int& node, int& value) {
    return std::sscanf(line.c_str(), "Shading: %c i %d, current gamma with jump %d", &colour, &node, &value) == 3;
}

}  // namespace

// ---------------------------------------------------------------- fixed point

TEST(LscFixedPoint, LogIsNearTheRoundedLogarithmOnADenseSweep) {
    EXPECT_EQ(log2_fix(0, 0), INT16_MIN);
    EXPECT_EQ(log2_fix(3, 0), 2048);  // no bound moves off 2: the nearer end, upper on a tie
    EXPECT_EQ(log2_fix(0xFFFFFFFFu, 0), INT16_MAX);
    for (int e = 0; e < 32; ++e)
        for (int s : {0, 12, 16}) EXPECT_EQ(log2_fix(1u << e, s), std::clamp(1024 * (e - s), -32768, 32767)) << e;
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i) {
        const std::uint32_t v = (i < 100000) ? static_cast<std::uint32_t>(2048 + i * 37) : rng() | 0x800u;
        // Each of the ten steps truncates the bound to an integer: up to
        // 1024 / ln 2 / 2^e units per step below the exact bound.
        const int e = 31 - std::countl_zero(v);
        EXPECT_NEAR(log2_fix(v, 0), 1024.0 * std::log2(double(v)), 1.0 + 10 * 1477.3 / std::ldexp(1.0, e)) << v;
        if (v < 0x80000000u) { EXPECT_EQ(log2_fix(v, 0) - 1024 * 5, log2_fix(v, 5)); }
    }
}

TEST(LscFixedPoint, PowerInvertsTheLogAndClampsItsDomain) {
    for (int l = -16384; l <= 16383; ++l) {
        const std::uint32_t p = pow2_fix(l, 16);
        const double exact = 65536.0 * std::exp2(l / 1024.0);
        EXPECT_LE(p, exact * (1 + 1e-9) + 1) << l;  // never above the exact power
        EXPECT_GE(p, exact * (1 - 1e-4) - 10) << l;
        if (l % 1024 == 0) { EXPECT_EQ(p, std::uint32_t(std::ldexp(1.0, l / 1024 + 16))) << l; }
        // Applying the fraction steps from the top bit down reproduces the
        // log's own bounds, so the round trip is exact wherever the power
        // keeps enough bits (from 2^-4 up).
        if (l >= -4096) { EXPECT_EQ(log2_fix(p, 16), l) << l; }
        if (l >= 0) { EXPECT_EQ(pow2_fix(l, 12), p >> 4); }
        if (l > -16384) { EXPECT_GE(p, pow2_fix(l - 1, 16)) << l; }
    }
    EXPECT_EQ(pow2_fix(20000, 16), pow2_fix(16383, 16));
    EXPECT_EQ(pow2_fix(-20000, 16), pow2_fix(-16384, 16));
}

// ---------------------------------------------------------------- numeric helpers

TEST(LscNumeric, SaturatingFixedPointAndBayerColours) {
    using namespace morvik::shading;
    for (long long v : {40000LL, -40000LL, -32768LL, 1234LL}) EXPECT_EQ(saturate16(v), std::clamp(v, -32768LL, 32767LL));
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 65535.0);
    for (int i = 0; i < 20000; ++i) {
        const double x = i < 1000 ? i / 65536.0 - 0.5 / 65536.0 : u(rng);  // includes exact half steps
        EXPECT_EQ(to_fixed16(x), static_cast<std::uint32_t>(std::trunc(x * 65536.0 + 0.5))) << x;
    }
    EXPECT_EQ(to_fixed16(-1.0), 0u);
    EXPECT_EQ(to_fixed16(std::nan("")), 0u);
    EXPECT_EQ(to_fixed16(1e12), 0xFFFFFFFFu);
    EXPECT_EQ(log2_fixed16(0.25), -2048);
    // The order names the colour of channel 0; the others follow by xor.
    for (unsigned order = 0; order < 4; ++order)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(static_cast<unsigned>(colour_of(order, c)), order ^ static_cast<unsigned>(c));
}

// ---------------------------------------------------------------- whole call

// Fields of every Bayer order, sizes up to beyond 1024: the set-up log, the
// initial radius factor (2 from 1024 pixels on), the centre within one block,
// gains ordered as the planted fall-offs, and the shading gamma as its log
// tells it (settled nodes as logged, rising, 255 after the last). On random
// fields the step-limited chip changes nothing before the gamma and keeps its
// floors, luminance only shares one gain and gamma, and one thread gives the
// record and log of several.
TEST(LscCalculate, RecoversAnOffCentreOpticalCentreForEveryBayerOrder) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0, 1);
    const int sizes[][4] = {{640, 480, 300, 260}, {642, 482, 345, 221}, {1024, 768, 480, 410}, {2000, 1500, 960, 700}};
    const std::uint32_t chip = 0x12345678u, kt3_chip = (MORVIK_LSC_CHIP_KT3 << 16) | 0x12u;
    const std::vector<std::string> head = {"=============\n", "Shading: Main Program Start", "Shading: Init\n",
                                           "Shading: Chip: 12345678\n", "Shading: Bayer order 0 (0:R,1:Gr,2:Gb,3:B)\n",
                                           "Shading: width 642, height 482\n", "Shading: block width 4, block height 4\n",
                                           "Shading: horizontal no 160, vertical no 120\n",
                                           "Shading: block_size 19200, image_size 309444\n",
                                           "Shading: Y compensate only: 0 (0: RGB, 1:Y only)\n",
                                           "Shading: Memory allocation OK for shading_para\n", "Shading: Init End\n",
                                           "Shading: Find target values of R/Gr/Gb/B\n",
                                           "Shading: Find target values of R/Gr/Gb/B End\n"};
    for (int trial = 0; trial < 40; ++trial) {
        // 16 planted fields with the default fall-offs (B > R > G), then 24
        // with random ones and random parameters.
        const bool planted = trial < 16;
        FlatField f;
        f.bayer_order = trial % 4;
        lsc_params p = default_params();
        if (planted) {
            f.width = sizes[trial / 4][0], f.height = sizes[trial / 4][1];
            f.centre_x = sizes[trial / 4][2] + (trial / 4 == 1) * 0.5, f.centre_y = sizes[trial / 4][3];
            f.noise = 3.0;
        } else {
            f.width = 320 + 4 * static_cast<int>(u(rng) * 100);
            f.height = 240 + 4 * static_cast<int>(u(rng) * 60);
            f.centre_x = f.width * (0.4 + 0.2 * u(rng));
            f.centre_y = f.height * (0.4 + 0.2 * u(rng));
            for (int c = 0; c < 4; ++c) f.peak[c] = 150 + 100 * u(rng), f.falloff[c] = 0.2 + 0.6 * u(rng);
            // Luminance only on every third; 2 means RGB, exactly as 0 does.
            p = lsc_params{float(0.9 + 0.6 * u(rng)), float(0.1 * u(rng)), float(0.2 * u(rng)), float(0.7 + 0.3 * u(rng)),
                           static_cast<std::uint8_t>(trial % 3 == 0 ? 1 : 2)};
        }
        CallResult plain, kt3;
        {
            morvik::test::ScopedEnv threads("MORVIK_THREADS", std::string("3"));
            plain = run(f, p, chip);
            if (!planted) kt3 = run(f, p, kt3_chip);
        }
        ASSERT_EQ(plain.rc, 0) << trial << ' ' << plain.log.back();
        if (trial == 4) { EXPECT_EQ(std::vector<std::string>(plain.log.begin(), plain.log.begin() + head.size()), head); }
        const std::string init = std::string("Shading: Radius Factor Init  ") + (f.width < 1024 ? "3\n" : "2\n");
        EXPECT_NE(std::find(plain.log.begin(), plain.log.end(), init), plain.log.end()) << trial;
        EXPECT_NEAR(double(plain.result.center_x), 2 * f.centre_x, 8.0) << trial;  // 4 pixels = 8 half pixels
        EXPECT_NEAR(double(plain.result.center_y), 2 * f.centre_y, 8.0) << trial;
        if (planted) {
            EXPECT_GE(plain.result.Kb << plain.result.K, plain.result.Kr << plain.result.K) << trial;
            EXPECT_GT(plain.result.Kr, plain.result.Kg) << trial;
        } else {
            ASSERT_EQ(kt3.rc, 0) << trial;
            EXPECT_EQ(std::memcmp(&plain.result, &kt3.result, 8 * sizeof(std::uint32_t)), 0) << trial;
            morvik::test::ScopedEnv threads("MORVIK_THREADS", std::string("1"));
            lsc_params q = p;
            q.y_only = q.y_only == 2 ? 0 : q.y_only;
            const CallResult one = run(f, q, trial % 2 ? kt3_chip : chip);
            const CallResult& many = trial % 2 ? kt3 : plain;
            EXPECT_EQ(std::memcmp(&one.result, &many.result, sizeof(lsc_result)), 0) << trial;
            ASSERT_EQ(one.log.size(), many.log.size()) << trial;
            for (std::size_t i = 0; i + 2 < one.log.size(); ++i) EXPECT_EQ(one.log[i], many.log[i]) << trial << ' ' << i;
        }
        for (const CallResult* r : {&plain, &kt3}) {
            if (r->log.empty()) continue;  // no step-limited call on planted fields
            expect_in_range(r->result);
            if (p.y_only == 1) {
                EXPECT_TRUE(r->result.Kr == r->result.Kg && r->result.Kb == r->result.Kg) << trial;
                EXPECT_EQ(std::memcmp(r->result.gamma_R, r->result.gamma_G, sizeof r->result.gamma_G), 0) << trial;
                EXPECT_EQ(std::memcmp(r->result.gamma_B, r->result.gamma_G, sizeof r->result.gamma_G), 0) << trial;
                EXPECT_NE(std::find(r->log.begin(), r->log.end(), "Shading: Compensate only Y with G gamma\n"), r->log.end());
            }
            EXPECT_EQ(r->log.end()[-4], "Shading: free memory\n");  // the log closes with the banner
            EXPECT_EQ(r->log.end()[-3], "Shading: End\n");
            EXPECT_EQ(r->log.back(), "=============\n");
            for (int col = 0; col < 3; ++col) {
                if (p.y_only == 1 && col != 1) continue;  // red and blue copy green
                const std::uint32_t* g = gammas(r->result, col);
                int last = -1;
                for (const std::string& line : r->log) {
                    char c = 0;
                    int k = 0, value = 0;
                    if (!settled_line(line, c, k, value) || c != "RGB"[col]) continue;
                    EXPECT_EQ(g[k], static_cast<std::uint32_t>(value)) << trial << ' ' << c << k;
                    last = k;
                }
                ASSERT_GE(last, 0);
                for (int i = 1; i < 11; ++i) EXPECT_GE(g[i], i > last ? 255u : g[i - 1]) << trial << ' ' << col << i;
                if (r == &kt3) {
                    EXPECT_LE(g[0], 64u) << trial;  // rises by at most 64 when it settles alone
                    for (int i = 8; i < 11; ++i) EXPECT_GE(g[i], 64u * (i - 7) - 1) << trial;
                }
            }
        }
    }
}

// Every failure logs its reason, frees, ends and times the call, returns 1
// and leaves the record untouched; the last error names the cause until a
// later success clears it.
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
    std::vector<std::uint8_t> ramp(256 * 128);  // no inner maximum: both green centres fail
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i % 256 / 2 + i / 256 / 4);
    FlatField wide;  // centre far to the left: the far edge needs more than the radius factor
    wide.width = 4400;
    wide.height = 256;
    wide.centre_x = 300;
    wide.centre_y = 128;
    for (double& fo : wide.falloff) fo = 0.6;
    const std::vector<std::uint8_t> flat(3 * 100, 100), wide_raw = make_flat_field(wide);
    const struct {
        const std::uint8_t* raw;
        std::uint32_t bayer, width, height;
        std::string reason, says;
    } cases[] = {
        {nullptr, 0, 640, 480, "Shading: memory pointer NULL for raw image", "null"},
        {flat.data(), 0, 3, 100, "Shading: no whole 4x4 block in the image\n", "4 x 4"},
        {flat.data(), 4, 4, 75, "Shading: Bayer order out of range (0..3)\n", "Bayer order"},
        {ramp.data(), 0, 256, 128, "Shading: Gr Gb center both failed\n", "green"},
        {wide_raw.data(), 0, 4400, 256, "-------Update Radius Factor Fail: samller than zero------\n", "far image edge"},
    };
    const auto ok_raw = make_flat_field(FlatField{});
    for (const auto& k : cases) {
        LogCapture cap;
        lsc_result r = poisoned();
        EXPECT_EQ(LSC_Calculate(0, k.bayer, k.raw, k.width, k.height, &p, &r), 1) << k.reason;
        EXPECT_TRUE(untouched(r)) << k.reason;
        const auto& log = cap.lines();
        ASSERT_GE(log.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end() - 1),
                  (std::vector<std::string>{k.reason, "Shading: free memory\n", "Shading: End\n"}));
        EXPECT_EQ(log.back().rfind("Time lapsed: ", 0), 0u);
        if (k.raw == nullptr) { EXPECT_EQ(log.end()[-5], "Shading: Init End\n"); }
        EXPECT_NE(std::string(morvik_last_error()).find(k.says), std::string::npos) << morvik_last_error();
        EXPECT_EQ(LSC_Calculate(0, 0, ok_raw.data(), 640, 480, &p, &r), 0);
        EXPECT_STREQ(morvik_last_error(), "");
    }
}

TEST(LscCalculate, ArbitraryImagesEitherSucceedWithinRangesOrLeaveTheRecord) {
    std::mt19937 rng(3);
    int successes = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const int w = 4 + static_cast<int>(rng() % 60), h = 4 + static_cast<int>(rng() % 60);
        std::vector<std::uint8_t> raw(static_cast<std::size_t>(w) * h);
        const int kind = trial % 3;  // noise, a smooth dome, a noisy dome
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const double dx = x - w / 2.0, dy = y - h / 2.0;
                const int dome = static_cast<int>(200 - 0.15 * (dx * dx + dy * dy));
                const int v = kind == 0 ? static_cast<int>(rng() % 256) : dome + (kind == 2 ? static_cast<int>(rng() % 40) : 0);
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
        EXPECT_EQ(cap.lines().back() == "=============\n", rc == 0);
        if (rc == 1) {
            EXPECT_TRUE(untouched(r));
        } else {
            ++successes;
            expect_in_range(r);
        }
    }
    EXPECT_GT(successes, 20);
}

// ---------------------------------------------------------------- stages

namespace {

using namespace morvik::shading;

// Block statistics of an image, with storage that lives as long as they do.
struct Measured {
    std::vector<std::uint16_t> storage;
    std::unique_ptr<BlockStats> stats = std::make_unique<BlockStats>();
};

// The sum of channel c's four samples in block (v, h), straight from the image.
unsigned direct_block_sum(const std::vector<std::uint8_t>& raw, int width, int v, int h, int c) {
    unsigned total = 0;
    for (int dy = c / 2; dy < 4; dy += 2)
        for (int dx = c % 2; dx < 4; dx += 2) total += raw[static_cast<std::size_t>(4 * v + dy) * width + 4 * h + dx];
    return total;
}

Measured measure(const std::vector<std::uint8_t>& raw, int width, int height, double target_scale = 1.0) {
    Measured m;
    const BlockGrid grid = BlockGrid::of(static_cast<unsigned>(width), static_cast<unsigned>(height));
    m.storage.resize(4 * grid.n);
    LogCapture quiet;
    measure_blocks(raw.data(), static_cast<unsigned>(width), grid, target_scale, m.storage.data(), *m.stats);
    return m;
}

}  // namespace

// The image pass against a direct sum of every block's samples, on widths
// and heights with leftover columns and rows, in one band or several; the
// target is the mean bin of the brightest tenth of the blocks, scaled, and
// every block sum has its gain need. Histograms are counted from floors
// found on every sixteenth block row: fields whose sampled rows alone are
// bright, or alone dark, or that are flat, must give the same targets.
TEST(LscStages, BlockSumsHistogramsTargetsAndGainNeedsAgainstADirectModel) {
    std::mt19937 rng(95);
    int repaired = 0;
    for (int trial = 0; trial < 64; ++trial) {
        const int width = 4 + static_cast<int>(rng() % 150), height = 4 + static_cast<int>(rng() % 150);
        std::vector<std::uint8_t> raw(static_cast<std::size_t>(width) * height);
        const int style = trial % 4, top = 1 + static_cast<int>(rng() % 256);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const bool sampled = (y / 4) % 16 == 8;
                int value = 60 + static_cast<int>(rng() % 9);
                if (style == 0) value += sampled ? 150 : 0;
                if (style == 1) value += sampled ? 0 : 150;
                if (style == 2) value = 128;
                if (style == 3) value = static_cast<int>(rng() % top);
                raw[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>(value);
            }
        const double scale = 0.5 + static_cast<double>(rng() % 100) / 50.0;
        morvik::test::ScopedEnv threads("MORVIK_THREADS", std::string(trial % 2 ? "1" : "3"));
        const Measured m = measure(raw, width, height, scale);
        const BlockStats& s = *m.stats;
        std::uint32_t hist[4][256] = {};
        std::vector<int> bins[4];
        for (int v = 0; v < s.grid.vn; ++v)
            for (int h = 0; h < s.grid.hn; ++h)
                for (int c = 0; c < 4; ++c) {
                    const unsigned total = direct_block_sum(raw, width, v, h, c);
                    ASSERT_EQ(s.sums[c][s.grid.index(v, h)], total) << width << 'x' << height << ' ' << c;
                    bins[c].push_back(static_cast<int>(total / 4.0 + 0.5));
                    ++hist[c][bins[c].back()];
                }
        // Counts are exact from each channel's floor up; below it they are 0.
        for (int c = 0; c < 4; ++c)
            for (int bin = 0; bin < 256; ++bin)
                ASSERT_EQ(s.histogram[c][bin], bin >= s.histogram_floor[c] ? hist[c][bin] : 0u) << c << ' ' << bin;
        for (int c = 0; c < 4; ++c) repaired += style == 0 && s.histogram_floor[c] == 0 && s.grid.vn > 8;
        const std::size_t brightest = std::max<std::size_t>(1, s.grid.n / 10);
        for (int c = 0; c < 4; ++c) {
            std::sort(bins[c].rbegin(), bins[c].rend());
            const double target = std::accumulate(bins[c].begin(), bins[c].begin() + brightest, 0.0) * scale / brightest;
            EXPECT_DOUBLE_EQ(s.target[c], target) << width << 'x' << height;
            for (int sum = 0; sum <= kMaxBlockSum; ++sum) {
                const double g = sum == 0 ? 0.0 : (s.target[c] - sum / 4.0) / (sum / 4.0);
                ASSERT_EQ(s.gain_need[c][sum], g) << sum;
                ASSERT_EQ(s.log_gain_need[c][sum], g > 0 ? log2_fix(std::max<std::uint32_t>(1, to_fixed16(g)), 16) : 0) << sum;
            }
        }
    }
    EXPECT_GT(repaired, 0);  // a misleading sample was caught
}

TEST(LscStages, ParabolaAndLineFitsAgainstTheirDefinitions) {
    // Points on an exact downward parabola give its vertex; bounds are inclusive.
    PowerSums exact;
    for (int x = 1; x <= 41; x += 4) exact.add(x, 200 - 0.05 * (x - 17.5) * (x - 17.5));
    const Parabola p = fit_parabola(exact, 1, 41);
    EXPECT_EQ(p.code, ParabolaCode::good);
    EXPECT_NEAR(p.vertex, 17.5, 1e-9);
    EXPECT_EQ(fit_parabola(exact, p.vertex, 41).code, ParabolaCode::good);
    EXPECT_EQ(fit_parabola(exact, 1, p.vertex).code, ParabolaCode::good);
    EXPECT_EQ(fit_parabola(exact, std::nextafter(p.vertex, 99.0), 41).code, ParabolaCode::outside);
    EXPECT_EQ(fit_parabola(exact, 1, std::nextafter(p.vertex, 0.0)).code, ParabolaCode::outside);
    // Two points are too few, an upward parabola is not concave, all points
    // on one x make the normal matrix singular, a peak at or below zero is
    // outside.
    PowerSums two, upward, one_x, negative;
    two.add(1, 5), two.add(5, 6);
    EXPECT_EQ(fit_parabola(two, 1, 5).code, ParabolaCode::too_few);
    for (int x = 0; x < 5; ++x) upward.add(x, x * x), one_x.add(3, x), negative.add(x, -1 - (x - 2) * (x - 2));
    EXPECT_EQ(fit_parabola(upward, 0, 4).code, ParabolaCode::not_concave);
    EXPECT_EQ(fit_parabola(one_x, 3, 3).code, ParabolaCode::singular);
    EXPECT_EQ(fit_parabola(negative, 0, 4).code, ParabolaCode::outside);

    // A line through exact points; one point is too few, one abscissa singular.
    LineSums line;
    for (int t = 1; t <= 41; t += 8) line.add(t, 0.25 * t - 3);
    EXPECT_EQ(line.fit().code, 0);
    EXPECT_NEAR(line.fit().a, 0.25, 1e-12);
    EXPECT_NEAR(line.fit().b, -3, 1e-12);
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
        // The selected centre is the mean of the two green channels, in half pixels rounded.
        const bool greens_1_2 = f.bayer_order == 0 || f.bayer_order == 3;
        EXPECT_EQ(r.x, (r.channel[greens_1_2 ? 1 : 0].x + r.channel[greens_1_2 ? 2 : 3].x) / 2);
        EXPECT_EQ(r.center_x, static_cast<std::uint16_t>(2 * r.x + 0.5));
        EXPECT_EQ(r.center_y, static_cast<std::uint16_t>(2 * r.y + 0.5));
    }
}

TEST(LscStages, RadiusFactorIsTheLargestThatKeepsTheFarEdgeWithinTenBits) {
    int initial = 0;
    EXPECT_EQ(far_edge_radius_factor(640, 480, 640, 480, initial), 3);
    EXPECT_EQ(initial, 3);
    far_edge_radius_factor(1024, 768, 1024, 768, initial);
    EXPECT_EQ(initial, 2);  // from 1024 pixels on
    for (unsigned w = 8; w < 9000; w += 97)
        for (unsigned h = 8; h < 7000; h += 389)
            for (int cx : {0, 1, int(w) - 1, int(w), int(2 * w) - 3, 3 * int(w)})
                for (int cy : {0, int(h), int(2 * h) - 3}) {
                    const int rf = far_edge_radius_factor(w, h, cx, cy, initial);
                    // Far-edge distances in half pixels from the centre.
                    const int ex = cx > int(w) - 1 ? cx : 2 * (int(w) - 1) - cx;
                    const int ey = cy > int(h) - 1 ? cy : 2 * (int(h) - 1) - cy;
                    const auto fits = [&](int f) { return (ex >> (4 - f)) <= 511 && (ey >> (4 - f)) <= 511; };
                    if (rf < 0) {  // even three steps down the edge is too far
                        EXPECT_GT(std::max(ex, ey) >> (4 - initial), 2047) << w << ' ' << h << ' ' << cx;
                        continue;
                    }
                    EXPECT_TRUE(rf == initial || fits(rf)) << w << ' ' << h << ' ' << cx << ' ' << cy;
                    if (rf < initial) { EXPECT_FALSE(fits(rf + 1)) << w << ' ' << h << ' ' << cx << ' ' << cy; }
                }
    // Curve levels by the far sample's squared distance. 640 x 480 centred
    // (half pixels 640, 480: past width - 1 and height - 1, so the far samples
    // are the centre minus 2), radius factor 3: (638 >> 1)^2 + (478 >> 1)^2 =
    // 158882, >> 8 = 620. One half pixel to the left, the far samples are on
    // the right and bottom: (2 * 640 - 4 - 639) >> 1 = 318, (2 * 480 - 4 - 479) >> 1 = 238.
    std::uint32_t rm = 0;
    EXPECT_EQ(curve_level(640, 480, 640, 480, 3, rm), 2);
    EXPECT_EQ(rm, 620u);
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

TEST(LscStages, GainWalkFirstEstimateAndCorrection) {
    // First estimate: the outermost tenth, the closing ring taken pro rata.
    RingSums rings;
    rings.count[255] = 3, rings.k[255] = 3.0;
    rings.count[250] = 10, rings.k[250] = 20.0;
    rings.count[10] = 87, rings.k[10] = 1.0;
    bool found = false;
    EXPECT_DOUBLE_EQ(first_kt(rings, 100, found), (3.0 + 7 * 2.0) / 10);
    EXPECT_DOUBLE_EQ(first_kt(rings, 95, found), (3.0 + 7 * 2.0) / 10);  // a tenth of 95 blocks rounds to 10
    EXPECT_TRUE(found);
    EXPECT_EQ(first_kt(RingSums{}, 100, found), 1.0);
    EXPECT_FALSE(found);

    // One ring above the limit: kt is lowered until its level is the limit.
    const GainLimits limits{1.0, 0.05, 0.1};
    RingSums one;
    one.count[200] = 4, one.k[200] = 4 * 0.5, one.g[200] = 4 * 0.4;
    EXPECT_NEAR((0.4 * corrected_kt(one, 2.0, limits) / 0.5 + 1) / 1.4, 1.05, 1e-12);
    EXPECT_EQ(corrected_kt(one, 0.5, limits), 0.5);  // level 1: within the limits

    // An inner ring too far below the outer one: the outer level ends exactly
    // `overshoot` above the inner one.
    RingSums two;
    two.count[200] = 1, two.k[200] = 0.5, two.g[200] = 0.4;
    two.count[50] = 1, two.k[50] = 2.0, two.g[50] = 0.2;
    const double kt2 = corrected_kt(two, 0.52, limits);
    EXPECT_LT(kt2, 0.52);
    EXPECT_NEAR((0.4 * kt2 / 0.5 + 1) / 1.4 - (0.2 * kt2 / 2.0 + 1) / 1.2, 0.1, 1e-12);
}

namespace {

// Per block of channel c, the plain gain-pass sums: pow2_fix clamps its own
// argument, so any difference of logs is in its domain here.
RingSums plain_ring_sums(const BlockStats& s, const RadiusGeometry& geometry, int c, int cs) {
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
    return plain;
}

}  // namespace

// Ring sums along runs of equal rings against a plain per-block accumulation,
// same additions in the same order: on an ordinary fall-off and on extreme
// gain needs (target far above every block, dark and saturated blocks, r2 = 0)
// that reach both clamped ends of the power table; with none, every third
// block row and all of the log r2 values remembered beforehand.
TEST(LscStages, RingSumsEqualAPlainPerBlockAccumulation) {
    std::mt19937 rng(83);
    for (int trial = 0; trial < 3; ++trial) {
        FlatField f;
        f.width = trial == 0 ? 1000 : 360;
        f.height = trial == 0 ? 760 : 280;
        f.centre_x = trial == 0 ? 470 : 161;
        f.centre_y = trial == 0 ? 400 : 121;
        f.noise = trial == 0 ? 6 : 30;
        std::vector<std::uint8_t> raw = make_flat_field(f);
        if (trial > 0)
            for (auto& sample : raw) {
                const unsigned roll = rng() % 20;
                if (roll < 2) sample = static_cast<std::uint8_t>(roll);
                else if (roll == 2) sample = 255;
            }
        const Measured m = measure(raw, f.width, f.height, trial == 1 ? 200.0 : 1.0 + 0.001 * trial);
        const BlockStats& s = *m.stats;
        for (int rf : {0, 1, 2, 3})
            for (int cs : {0, 3})
                for (int c = 0; c < 4; ++c) {
                    const auto geometry = [&] {
                        RadiusGeometry g = trial == 0 ? RadiusGeometry(s.grid, 940, 800)
                                                      : RadiusGeometry(s.grid, static_cast<std::uint16_t>(block_half_x(c, 40)),
                                                                       static_cast<std::uint16_t>(block_half_y(c, 30)));
                        g.set_radius_factor(rf);
                        return g;
                    };
                    RadiusGeometry cold = geometry(), partial = geometry();
                    const RingSums plain = plain_ring_sums(s, geometry(), c, cs);
                    for (int v = 0; v < s.grid.vn; v += 3)
                        for (int h = 0; h < s.grid.hn; ++h) partial.log_r2(partial.r2(c, v, h));
                    const RingSums first = ring_sums(s, cold, c, cs);
                    const RingSums some = ring_sums(s, partial, c, cs);
                    const RingSums warm = ring_sums(s, cold, c, cs);
                    // Limit 0 sends every ring with a k to the block-by-block sums.
                    const RingSums past_limit = ring_sums(s, cold, c, cs, nullptr, 0);
                    for (const RingSums* fast : {&first, &some, &warm, &past_limit})
                        ASSERT_EQ(std::memcmp(fast, &plain, sizeof plain), 0) << trial << ' ' << rf << ' ' << cs << ' ' << c;
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
        const int LR = logs[order ^ 0u], LB = logs[order ^ 3u], LG = std::min(logs[order ^ 1u], logs[order ^ 2u]);
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
        // The exponent leaves the smallest summed residual (smaller on ties)
        // among those at most the lowest log's octave.
        int best = 0, best_residual = 0;
        for (int j = 0; j < 4 && (j == 0 || std::min({LR, LG, LB}) >= 1024 * j); ++j) {
            int residual = 0;
            for (int l : colour_logs) residual += l - table.entry[j][std::upper_bound(table.entry[j] + 1, table.entry[j] + 255, l) - table.entry[j] - 1];
            if (j == 0 || residual < best_residual) best = j, best_residual = residual;
        }
        EXPECT_EQ(code.K, best) << trial;
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

// Random blocks for one colour's walk, a ring equivalent near the ring with
// gain needs growing outwards, and one node left without blocks.
TEST(LscStages, GammaWalkSettlesMonotoneNodesSpreadsGapsAndRespectsStepLimits) {
    std::mt19937 rng(41);
    std::uniform_real_distribution<double> u(0, 1);
    int spreads = 0, saturated = 0;
    for (int trial = 0; trial < 400; ++trial) {
        GammaSettings settings;
        settings.cmax = 0.6;
        settings.step_limited = trial % 2 == 1;
        settings.target_scale = 0.9 + 0.2 * (trial % 3);
        settings.shading_min = 0.85;
        const double spread = 0.1 + (trial % 5) * 0.4;
        ColourBlocks blocks;
        const int skip = static_cast<int>(rng() % 12);
        for (int i = 0; i < 600; ++i) {
            const int ring = 1 + static_cast<int>(rng() % 254);
            const int node = int(std::lower_bound(kNodeRing + 1, kNodeRing + 11, ring) - kNodeRing) - 1;
            if (node == skip) continue;
            const double g = 0.02 + ring / 255.0 * (0.5 + u(rng));
            const double fine = 0.01 * u(rng), equivalent = ring * (1 + spread * (u(rng) - 0.3));
            blocks.node(node).push_back(GammaBlock{ring, g, fine, ring / 255.0 * 0.6, equivalent});
        }
        std::vector<std::string> log;
        GammaWalk walk(settings, log);
        walk.run(blocks);
        const std::uint8_t* g = walk.nodes();
        int previous_node = -1, previous_value = 0;
        for (const std::string& line : log) {
            char c = 0;
            int k = 0, value = 0;
            if (!settled_line(line, c, k, value)) continue;
            EXPECT_EQ(g[k], value);
            // Nodes in between had no blocks: the jump is spread by ring.
            for (int i = previous_node + 1; i < k && !settings.step_limited; ++i, ++spreads) {
                const int x0 = kNodeRing[previous_node + 1];
                const double share = static_cast<double>(kNodeRing[i + 1] - x0) / (kNodeRing[k + 1] - x0);
                EXPECT_NEAR(g[i], previous_value + share * (g[k] - previous_value), 0.5 + 1e-9) << trial;
            }
            if (previous_node < 0 && settings.step_limited && k == 0) { EXPECT_LE(g[0], 64); }
            previous_node = k;
            previous_value = g[k];
        }
        ASSERT_GE(previous_node, 0);
        for (int k = 1; k < kGammaNodes; ++k) EXPECT_GE(g[k], g[k - 1]) << trial;
        const auto full = std::find(g, g + kGammaNodes, 255);
        saturated += full != g + kGammaNodes;
        for (const std::uint8_t* q = full; q != g + kGammaNodes; ++q) EXPECT_EQ(*q, 255) << trial;
        if (settings.step_limited) {
            EXPECT_GE(g[8], 63);
            EXPECT_GE(g[9], 127);
            EXPECT_GE(g[10], 191);
        }
    }
    EXPECT_GT(spreads, 20);
    EXPECT_GT(saturated, 0);
}

// ---------------------------------------------------------------- fast stage forms against plain models

namespace {

// Block statistics over caller-made block sums (values 0..1020).
struct PlantedSums {
    std::vector<std::uint16_t> storage;
    std::unique_ptr<BlockStats> stats = std::make_unique<BlockStats>();

    PlantedSums(int hn, int vn) {
        stats->grid.hn = hn;
        stats->grid.vn = vn;
        stats->grid.n = static_cast<std::size_t>(hn) * static_cast<std::size_t>(vn);
        storage.assign(4 * stats->grid.n, 0);
        for (int c = 0; c < 4; ++c) stats->sums[c] = storage.data() + static_cast<std::size_t>(c) * stats->grid.n;
    }
    std::uint16_t& at(int c, int v, int h) { return storage[static_cast<std::size_t>(c) * stats->grid.n + stats->grid.index(v, h)]; }
};

// A bright dome with noise, stripes of dark blocks or plain noise: kept sets
// from one long run to scattered blocks.
void plant(PlantedSums& p, std::mt19937& rng) {
    std::uniform_real_distribution<double> u(0, 1);
    const int style = static_cast<int>(rng() % 4);
    const int hn = p.stats->grid.hn, vn = p.stats->grid.vn;
    for (int c = 0; c < 4; ++c) {
        const double cx = hn * u(rng), cy = vn * u(rng), peak = 300 + 720 * u(rng);
        const double fx = 0.5 * peak / (1.0 + hn * hn), fy = 0.5 * peak / (1.0 + vn * vn), noise = 40 * u(rng);
        for (int v = 0; v < vn; ++v)
            for (int h = 0; h < hn; ++h) {
                double s = peak - fx * (h - cx) * (h - cx) - fy * (v - cy) * (v - cy) + noise * (u(rng) - 0.5);
                if (style == 1 && (h + 3 * v) % 7 == 0) s *= 0.3;
                if (style == 2) s = 1020 * u(rng);
                if (style == 3 && u(rng) < 0.02) s = 1020;
                p.at(c, v, h) = static_cast<std::uint16_t>(std::clamp(s, 0.0, 1020.0));
            }
        p.stats->target[c] = peak / 4 * (0.6 + 0.8 * u(rng));
    }
}

}  // namespace

// Rows and columns of every width class: short, past the exact range of the
// fourth-power sums (beyond about 700 blocks), and past that of the cubes
// (plain form); codes and vertices must be the same bits. Widths and heights
// of 700..723 blocks straddle the end of the exact fourth-power prefix (about
// 716 for odd positions): the double tails start in every place within a
// group of eight blocks, groups of rows run short, and the last row of a
// column scan is single.
TEST(LscFastForms, CentreScanEqualsThePlainDoubleSums) {
    std::mt19937 rng(91);
    // {width, height, trials}
    std::vector<std::array<int, 3>> sizes = {{1, 1, 3},     {3, 1, 3},    {1, 5, 3},     {7, 9, 3},    {8, 8, 3},
                                             {9, 17, 3},    {64, 3, 3},   {65, 66, 3},   {130, 71, 3}, {161, 120, 3},
                                             {1300, 5, 3},  {5, 1500, 3}, {2900, 4, 3},  {3, 3100, 3}, {5200, 3, 3}};
    for (int along = 700; along < 724; ++along) {
        const int across = 3 + static_cast<int>(rng() % 7);
        sizes.push_back({along, across, 1});
        sizes.push_back({across, along, 1});
    }
    for (const auto& size : sizes)
        for (int trial = 0; trial < size[2]; ++trial) {
            PlantedSums p(size[0], size[1]);
            plant(p, rng);
            for (int c = 0; c < 4; ++c) {
                std::vector<Parabola> rows, columns, plain_rows, plain_columns;
                scan_channel(*p.stats, c, rows, columns);
                scan_channel_plain(*p.stats, c, plain_rows, plain_columns);
                int good = 0;
                const auto same = [&](const std::vector<Parabola>& fast, const std::vector<Parabola>& plain, const char* what) {
                    ASSERT_EQ(fast.size(), plain.size());
                    for (std::size_t i = 0; i < fast.size(); ++i) {
                        EXPECT_EQ(fast[i].code, plain[i].code) << size[0] << 'x' << size[1] << what << i;
                        EXPECT_EQ(std::bit_cast<std::uint64_t>(fast[i].vertex), std::bit_cast<std::uint64_t>(plain[i].vertex))
                            << size[0] << 'x' << size[1] << what << i;
                        good += fast[i].code == ParabolaCode::good;
                    }
                };
                same(rows, plain_rows, " row ");
                same(columns, plain_columns, " column ");
                if (size[0] >= 64 && size[1] >= 64) { EXPECT_GT(good, 0) << size[0] << 'x' << size[1]; }
            }
        }
}

// The radius check against a per-block evaluation of every difference, over
// geometries whose distances reach far enough for negative differences.
TEST(LscFastForms, RadiusCheckEqualsAPerBlockEvaluation) {
    std::mt19937 rng(93);
    std::uniform_real_distribution<double> u(0, 1);
    int nonzero = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const int hn = 20 + static_cast<int>(rng() % 700), vn = 10 + static_cast<int>(rng() % 200);
        PlantedSums p(hn, vn);
        const int base = 600 + static_cast<int>(rng() % 300), spread = 1 + static_cast<int>(rng() % 40);
        for (int c = 0; c < 4; ++c)
            for (int v = 0; v < vn; ++v)
                for (int h = 0; h < hn; ++h)
                    p.at(c, v, h) = static_cast<std::uint16_t>(u(rng) < 0.01 ? rng() % 1021 : base + rng() % spread);
        // Targets from the sums, then the gain need of every sum.
        BlockStats& s = *p.stats;
        for (int c = 0; c < 4; ++c) {
            s.target[c] = (base + spread) / 4.0 * (0.98 + 0.1 * u(rng));
            for (int sum = 0; sum <= kMaxBlockSum; ++sum) {
                const double g = sum == 0 ? 0.0 : (s.target[c] - sum / 4.0) / (sum / 4.0);
                s.gain_need[c][sum] = g;
                s.log_gain_need[c][sum] = g > 0 ? log2_fix(std::max<std::uint32_t>(1, to_fixed16(g)), 16) : 0;
            }
        }
        RadiusGeometry geometry(s.grid, static_cast<std::uint16_t>(rng() % (16 * hn)), static_cast<std::uint16_t>(rng() % (16 * vn)));
        geometry.set_radius_factor(static_cast<int>(rng() % 4));
        const std::size_t m = std::max<std::size_t>(1, static_cast<std::size_t>(0.01 * static_cast<double>(s.grid.n) + 0.5));
        for (int c = 0; c < 4; ++c) {
            std::vector<int> negative;
            long long qualifying = 0, total = 0;
            int minimum = 0;
            for (int v = 0; v < vn; ++v)
                for (int h = 0; h < hn; ++h) {
                    const std::uint16_t sum = s.sums[c][s.grid.index(v, h)];
                    const double g = s.gain_need[c][sum];
                    if (!(g > 0)) continue;
                    const int d = saturate16(static_cast<long long>(s.log_gain_need[c][sum]) -
                                             saturate16(static_cast<long long>(log2_fix(geometry.r2(c, v, h), 0)) - 26624));
                    if (d >= 0) continue;
                    negative.push_back(d);
                    if (g > 0.01) ++qualifying, total += d, minimum = std::min(minimum, d);
                }
            int preliminary = -1;
            const int D = channel_difference(s, geometry, c, preliminary);
            EXPECT_EQ(preliminary, qualifying ? static_cast<int>(total / qualifying) : 0) << trial << ' ' << c;
            EXPECT_TRUE(qualifying || D == 0) << trial << ' ' << c;
            if (!qualifying) continue;
            ++nonzero;
            std::sort(negative.begin(), negative.end());
            negative.erase(negative.begin(), std::lower_bound(negative.begin(), negative.end(), minimum));
            negative.erase(std::lower_bound(negative.begin(), negative.end(), minimum + 1024), negative.end());
            const std::size_t taken = std::min(m, negative.size());
            std::uint32_t power = 0;
            for (std::size_t i = 0; i < taken; ++i) power += pow2_fix(negative[i], 12);
            EXPECT_EQ(D, log2_fix(power / static_cast<std::uint32_t>(taken), 12)) << trial << ' ' << c;
        }
    }
    EXPECT_GT(nonzero, 10);
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

// ---------------------------------------------------------------- gamma node sums

namespace {

// What the fields of a gamma test reached: colours read through the per-ring
// tables or block by block, blocks of node 10 left and right of ring 240,
// and blocks whose D is clamped at 0.
struct GammaReach {
    int tabled = 0, untabled = 0, left = 0, right = 0, clamped = 0;
};

// The node sums of R, both greens and B against block-by-block sums, listed
// in walk order: channel after channel, each in block order.
void expect_gamma_node_sums(const BlockStats& s, const RadiusGeometry& geometry, int cs, int K, const int mantissa[4],
                            GammaReach& reach) {
    GroupRuns runs;
    std::uint32_t ring_count[4][256];
    for (int c = 0; c < 4; ++c) {
        const RingSums rings = ring_sums(s, geometry, c, cs, &runs);
        std::copy(rings.count, rings.count + 256, ring_count[c]);
    }
    for (const std::vector<int>& channels : {std::vector<int>{0}, std::vector<int>{1, 2}, std::vector<int>{3}}) {
        const ColourRuns fast(s, geometry, runs, channels, cs, K, mantissa, ring_count);
        (fast.tabled() ? reach.tabled : reach.untabled) += 1;
        ColourBlocks plain;
        for (const int c : channels)
            for (int v = 0; v < s.grid.vn; ++v)
                for (int h = 0; h < s.grid.hn; ++h) {
                    const double g = s.gain_need[c][s.sums[c][s.grid.index(v, h)]];
                    const std::uint32_t r2 = geometry.r2(c, v, h);
                    const int group = kRingGroups.group[ring_of(r2, cs)];
                    if (group < 0 || !(g > 0)) continue;
                    const GammaBlock block = plain_gamma_block(g, r2, cs, static_cast<std::uint32_t>(mantissa[c]) << K);
                    plain.node(group).push_back(block);
                    reach.left += group == 10 && block.ring < 240;
                    reach.right += group == 10 && block.ring > 240;
                    reach.clamped += block.ring_equivalent == 0;
                }
        for (int k = 0; k < 10; ++k)
            for (int last = 0; last <= k; ++last)
                for (const double last_value : {0.0, 3.25, double(kNodeRing[last]), double(kNodeRing[last + 1])}) {
                    const NodeSums a = fast.node_sums(k, kNodeRing[last], last_value);
                    const NodeSums b = plain.node_sums(k, kNodeRing[last], last_value);
                    ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << k << ' ' << last << ' ' << last_value;
                }
        for (int last = 0; last <= 10; ++last) {
            const NodeSums a = fast.last_node_sums(kNodeRing[last]);
            const NodeSums b = plain.last_node_sums(kNodeRing[last]);
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << last;
        }
    }
}

}  // namespace

// Gamma node sums through the per-ring tables (one mantissa per colour, every
// r2 below 2^(curve_sel + 16)) and block by block (r2 beyond that, or greens
// with different mantissas), against block-by-block sums. Off-centre fields
// take both forms; centred fields whose far corner reaches ring 250 at every
// curve selection feed tabled node 10 from both sides of ring 240, and their
// small mantissas and needs below the fine compensation clamp D at 0.
TEST(LscGammaNodeSums, TabledAndPerBlockFormsEqualPlainBlockSums) {
    std::mt19937 rng(97);
    const auto noisy = [&](FlatField& f, int one_in) {
        f.noise = 10;
        std::vector<std::uint8_t> raw = make_flat_field(f);
        for (auto& sample : raw)
            if (rng() % one_in == 0) sample = static_cast<std::uint8_t>(rng());
        return raw;
    };
    GammaReach off_centre, centred;
    for (int trial = 0; trial < 8; ++trial) {
        SCOPED_TRACE("off-centre " + std::to_string(trial));
        FlatField f;
        f.width = 480 + 8 * static_cast<int>(rng() % 40);
        f.height = 360 + 8 * static_cast<int>(rng() % 30);
        f.centre_x = f.width * (0.35 + 0.05 * (rng() % 6));
        f.centre_y = f.height * (0.35 + 0.05 * (rng() % 6));
        const Measured measured = measure(noisy(f, 40), f.width, f.height, 0.9 + 0.05 * (trial % 3));
        RadiusGeometry geometry(measured.stats->grid, static_cast<std::uint16_t>(2 * f.centre_x),
                                static_cast<std::uint16_t>(2 * f.centre_y));
        // Radius factor 3 spreads r2 past 2^16 at curve selection 0.
        geometry.set_radius_factor(trial % 2 == 0 ? 3 : 1);
        const int K = static_cast<int>(rng() % 4), shared = 1 + static_cast<int>(rng() % 255);
        const int mantissa[4] = {1 + static_cast<int>(rng() % 255), shared, trial % 4 == 3 ? shared / 2 + 1 : shared,
                                 1 + static_cast<int>(rng() % 255)};
        expect_gamma_node_sums(*measured.stats, geometry, (trial / 2) % 4, K, mantissa, off_centre);
    }
    for (int cs = 0; cs < 4; ++cs)
        for (int trial = 0; trial < 2; ++trial) {
            SCOPED_TRACE("centred " + std::to_string(cs) + ' ' + std::to_string(trial));
            // Radius factor 3 halves the half-pixel distances from the
            // centre: r2 at a corner is about (width / 2)^2 + (height / 2)^2.
            const double corner = std::sqrt(0.98 * static_cast<double>(1u << (cs + 16)));
            FlatField f;
            f.width = 8 * static_cast<int>(1.6 * corner / 8);
            f.height = 8 * static_cast<int>(1.2 * corner / 8);
            f.centre_x = f.width / 2.0;
            f.centre_y = f.height / 2.0;
            const Measured measured = measure(noisy(f, 50), f.width, f.height, 0.9 + 0.1 * trial);
            RadiusGeometry geometry(measured.stats->grid, static_cast<std::uint16_t>(f.width),
                                    static_cast<std::uint16_t>(f.height));
            geometry.set_radius_factor(3);
            const int K = static_cast<int>(rng() % 4), green = 1 + static_cast<int>(rng() % 255);
            const int mantissa[4] = {1 + static_cast<int>(rng() % 3), green, green, 1 + static_cast<int>(rng() % 255)};
            expect_gamma_node_sums(*measured.stats, geometry, cs, K, mantissa, centred);
        }
    EXPECT_GT(off_centre.tabled, 0);
    EXPECT_GT(off_centre.untabled, 0);
    EXPECT_EQ(centred.untabled, 0);
    EXPECT_GT(centred.left, 0);
    EXPECT_GT(centred.right, 0);
    EXPECT_GT(centred.clamped, 0);
}

// ---------------------------------------------------------------- image pass floors and centre scan tails

namespace {

// Histograms of the rounded block means, counted directly from the samples.
void direct_histograms(const std::vector<std::uint8_t>& raw, int width, const BlockGrid& grid,
                       std::uint32_t hist[4][256]) {
    for (int v = 0; v < grid.vn; ++v)
        for (int h = 0; h < grid.hn; ++h)
            for (int c = 0; c < 4; ++c) ++hist[c][(direct_block_sum(raw, width, v, h, c) + 2) / 4];
}

}  // namespace

// Counts from the floors up are exact whatever the floors; below them a
// block may go uncounted, never counted twice.
TEST(LscImagePass, CountsFromTheFloorsUpAreExact) {
    std::mt19937 rng(131);
    for (int trial = 0; trial < 40; ++trial) {
        const int width = 4 + static_cast<int>(rng() % 120), height = 4 + static_cast<int>(rng() % 30);
        std::vector<std::uint8_t> raw(static_cast<std::size_t>(width) * height);
        const int base = static_cast<int>(rng() % 200), spread = 1 + static_cast<int>(rng() % 56);
        for (auto& sample : raw) sample = static_cast<std::uint8_t>(base + static_cast<int>(rng() % spread));
        const BlockGrid grid = BlockGrid::of(static_cast<unsigned>(width), static_cast<unsigned>(height));
        std::vector<std::uint16_t> storage(4 * grid.n);
        std::uint16_t* sums[4];
        for (int c = 0; c < 4; ++c) sums[c] = storage.data() + static_cast<std::size_t>(c) * grid.n;
        int floor[4];
        for (auto& f : floor) f = static_cast<int>(rng() % 260);
        std::uint32_t hist[4][256] = {}, expected[4][256] = {};
        block_sums_above(raw.data(), static_cast<unsigned>(width), grid.hn, grid.vn, sums, floor, hist);
        direct_histograms(raw, width, grid, expected);
        for (int c = 0; c < 4; ++c)
            for (int bin = 0; bin < 256; ++bin) {
                if (bin >= floor[c]) ASSERT_EQ(hist[c][bin], expected[c][bin]) << trial << ' ' << c << ' ' << bin;
                else ASSERT_LE(hist[c][bin], expected[c][bin]) << trial << ' ' << c << ' ' << bin;
            }
    }
}

