#include <gtest/gtest.h>

#include <array>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "morvik/morvik.h"
#include "support.h"

using morvik::test::ScopedEnv;
using morvik::test::TempDir;

namespace {

struct Series {
    std::vector<std::int32_t> exposure;
    std::array<std::vector<double>, 4> response;
    std::array<std::uint32_t, 4> black{};
    std::uint8_t bit_mode = 0;
};

// Points on the lines a[c] x + b[c] at exposures step, 2 step, ..., n step.
Series lines(int n, int step, std::array<double, 4> a, std::array<double, 4> b) {
    Series s;
    for (int i = 1; i <= n; ++i) s.exposure.push_back(i * step);
    for (std::size_t c = 0; c < 4; ++c)
        for (std::int32_t e : s.exposure) s.response[c].push_back(a[c] * e + b[c]);
    return s;
}

struct Fit {
    int rc = 0;
    std::array<double, 4> gains{}, slopes{}, intercepts{};
    std::array<std::uint32_t, 4> offsets{};
    double ratio = 0, limit = 0;
};

sc_input input_of(const Series& s) {
    sc_input in{};
    in.bit_mode = s.bit_mode;
    in.count = static_cast<std::int32_t>(s.exposure.size());
    in.exposure = s.exposure.data();
    for (std::size_t c = 0; c < 4; ++c) {
        in.response[c] = s.response[c].data();
        in.black[c] = s.black[c];
    }
    return in;
}

Fit calibrate(const Series& s) {
    TempDir dir;
    ScopedEnv env("MORVIK_INSPECT_DIR", dir.path().string());
    const sc_input in = input_of(s);
    Fit f;
    f.rc = SC_SlopeOffset_Calibration(0, &in, f.gains.data(), f.offsets.data(), f.slopes.data(), f.intercepts.data(),
                                      &f.ratio, &f.limit);
    return f;
}

sc_lv ladder(std::uint8_t scale, double base) {
    sc_lv lv{};
    lv.scale = scale;
    lv.base_log2 = base;
    EXPECT_EQ(SC_LV_Calculation(&lv), 0);
    return lv;
}

}  // namespace

// ---------------------------------------------------------------- slope and offset

TEST(SensorSlopeOffset, DyadicLinesFitExactlyWithOffsetsRoundedAwayFromZero) {
    Series s = lines(10, 1, {2, 1.5, 2.25, 1.75}, {4, -1.375, 0.5, 10.25});
    s.black = {0, 64, 64, 64};
    Fit f = calibrate(s);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.slopes, (std::array<double, 4>{2, 1.5, 2.25, 1.75}));
    EXPECT_EQ(f.intercepts, (std::array<double, 4>{4, -1.375, 0.5, 10.25}));
    EXPECT_EQ(f.gains, (std::array<double, 4>{2.25 / 2, 2.25 / 1.5, 1.0, 2.25 / 1.75}));
    // 8-bit: intercept x 4 (16, -5.5, 2, 41) rounded half away from zero,
    // subtracted with 32-bit wrap-around.
    EXPECT_EQ(f.offsets, (std::array<std::uint32_t, 4>{0xFFFFFFF0u, 70, 62, 23}));
    s.bit_mode = 1;  // 10-bit: the intercept itself
    EXPECT_EQ(calibrate(s).offsets, (std::array<std::uint32_t, 4>{0xFFFFFFFCu, 65, 63, 54}));
    s = lines(6, 1, {2, 2, 2, 2}, {-1.5, -2.5, 2.5, -0.25});
    s.bit_mode = 1;
    s.black = {10, 10, 10, 10};
    EXPECT_EQ(calibrate(s).offsets, (std::array<std::uint32_t, 4>{12, 13, 7, 10}));
}

// Where the linear part ends: at the last fitted point of the channel that
// leaves its line the most (first on ties), unless the next point saturates.
// Exact first points leave the threshold at its floor 0.015.
TEST(SensorSlopeOffset, LinearPartEndsAtTheWorstChannelBeforeSaturationOrAtTheFloor) {
    struct Case {
        const char* what;
        Series s;
        std::function<void(Series&)> change;
        int channel, point;  // where the limit is read; -1: saturation
    };
    const auto line9 = lines(9, 4, {2, 3, 1, 2.5}, {8, 2, 4, 0});
    const auto line8 = lines(8, 1, {10, 12, 9, 11}, {5, 5, 5, 5});
    const auto ties = lines(7, 2, {4, 2, 4, 3}, {0, 0, 0, 0});
    Case cases[] = {
        {"1/64 below", line9, [](Series& s) { s.response[2][7] *= 1 - 1.0 / 64; }, 2, 6},
        {"1/64 above", line9, [](Series& s) { s.response[2][7] *= 1 + 1.0 / 64; }, 2, 6},
        {"1/70 just below the floor", line9, [](Series& s) { s.response[2][7] *= 1 - 1.0 / 70; }, -1, 0},
        {"8-bit saturation", line8, [](Series& s) { s.response[1][6] = 255; }, -1, 0},
        {"10-bit examines 255", line8, [](Series& s) { s.response[1][6] = 255, s.bit_mode = 1; }, 1, 5},
        {"just below saturation", line8, [](Series& s) { s.response[1][6] = 254.5; }, 1, 5},
        {"tie", ties, [](Series& s) { s.response[1][6] *= 1 - 1.0 / 32, s.response[3][6] *= 1 + 1.0 / 32; }, 1, 5},
        {"second worse", ties, [](Series& s) { s.response[1][6] *= 1 - 1.0 / 32, s.response[3][6] *= 1 + 1.0 / 16; }, 3, 5},
        // A black channel: predictions 0, errors NaN that never end the part.
        {"black channel", lines(9, 1, {0, 2, 2, 3}, {0, 1, 1, 1}), [](Series& s) { s.response[2][8] = 100; }, 2, 7},
        {"all black", lines(7, 1, {0, 0, 0, 0}, {0, 0, 0, 0}), [](Series&) {}, -1, 0},
    };
    for (Case& k : cases) {
        k.change(k.s);
        const double saturation = k.s.bit_mode == 1 ? 1023 : 255;
        const double want = k.channel < 0 ? saturation : k.s.response[std::size_t(k.channel)][std::size_t(k.point)];
        const Fit f = calibrate(k.s);
        EXPECT_EQ(f.limit, want) << k.what;
        EXPECT_EQ(f.ratio, saturation / want) << k.what;
    }
    // Zero slopes: an infinite gain, 0 / 0 when every channel is black.
    Series s = lines(9, 1, {0, 2, 2, 3}, {0, 1, 1, 1});
    s.black = {16, 16, 16, 16};
    const Fit f = calibrate(s);
    EXPECT_TRUE(std::isinf(f.gains[0]));
    EXPECT_EQ(f.gains[3], 1.0);
    EXPECT_EQ(f.offsets[0], 16u);
    EXPECT_TRUE(std::isnan(calibrate(lines(7, 1, {0, 0, 0, 0}, {0, 0, 0, 0})).gains[2]));
}

// Noisy first points: the threshold is 3 x the largest channel's mean
// relative error, found here by an independent least-squares fit in long
// double; later points on the fitted lines keep it.
TEST(SensorSlopeOffset, ThresholdIsThreeTimesTheWorstMeanErrorOfTheFirstFive) {
    std::mt19937 rng(17);
    for (int trial = 0; trial < 40; ++trial) {
        Series s = lines(8, 10, {}, {});
        s.bit_mode = 1;
        std::array<long double, 4> slope{}, icept{};
        long double thr = 0.015L;
        for (std::size_t c = 0; c < 4; ++c) {
            const double a = 1 + (rng() % 100) / 50.0;
            long double sx = 0, sy = 0, sxx = 0, sxy = 0;
            for (std::size_t i = 0; i < 5; ++i) {
                const long double x = s.exposure[i];
                const long double y = s.response[c][i] = a * s.exposure[i] + 15 + double(rng() % 1000) / 100.0;
                sx += x, sy += y, sxx += x * x, sxy += x * y;
            }
            slope[c] = (5 * sxy - sx * sy) / (5 * sxx - sx * sx);
            icept[c] = (sy - slope[c] * sx) / 5;
            long double mean = 0;
            for (std::size_t i = 0; i < 5; ++i) {
                const long double p = slope[c] * s.exposure[i] + icept[c];
                mean += std::fabs((p - s.response[c][i]) / p) / 5;
            }
            thr = std::max(thr, 3 * mean);
        }
        // Points 5 and 6 on the fitted lines; point 7 off by 0.9 or 1.1 x thr in channel 3.
        const double k = trial % 2 ? 1.1 : 0.9;
        for (std::size_t c = 0; c < 4; ++c)
            for (std::size_t i = 5; i < 8; ++i) {
                const long double p = slope[c] * s.exposure[i] + icept[c];
                s.response[c][i] = double(c == 3 && i == 7 ? p * (1 - k * thr) : p);
            }
        EXPECT_EQ(calibrate(s).limit, k > 1 ? s.response[3][6] : 1023.0) << trial;
    }
}

TEST(SensorSlopeOffset, CreatesAnEmptyCurveFileOnlyWhenItRuns) {
    TempDir dir;
    ScopedEnv env("MORVIK_INSPECT_DIR", dir.path().string());
    const auto file = dir.path() / "sensorcurve.csv";
    const Series s = lines(5, 1, {1, 1, 1, 1}, {0, 0, 0, 0});
    double g[4], sl[4], ic[4], ratio = -1, limit = -1;
    std::uint32_t off[4];
    sc_input in = input_of(s), short_series = in, no_channel = in;
    short_series.count = 4;
    no_channel.response[2] = nullptr;
    for (const sc_input* bad : {&short_series, &no_channel, static_cast<sc_input*>(nullptr)})
        EXPECT_EQ(SC_SlopeOffset_Calibration(0, bad, g, off, sl, ic, &ratio, &limit), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(SC_SlopeOffset_Calibration(0, &in, g, off, sl, ic, nullptr, &limit), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ratio, -1);
    EXPECT_FALSE(std::filesystem::exists(file));

    { std::ofstream(file) << "old contents\n"; }
    EXPECT_EQ(SC_SlopeOffset_Calibration(0, &in, g, off, sl, ic, &ratio, &limit), 0);
    EXPECT_EQ(std::filesystem::file_size(file), 0u);
    EXPECT_EQ(limit, 255.0);
    EXPECT_STREQ(morvik_last_error(), "");
    // An inspection folder that does not exist: the calibration goes on.
    ScopedEnv missing("MORVIK_INSPECT_DIR", (dir.path() / "no" / "such").string());
    EXPECT_EQ(SC_SlopeOffset_Calibration(0, &in, g, off, sl, ic, &ratio, &limit), 0);
}

// ---------------------------------------------------------------- light values

TEST(SensorLightValues, LadderIsStrictlyIncreasingAndNearTheLogarithm) {
    int checked = 0;
    for (int scale : {1, 2, 3, 7, 16, 100, 255})
        for (double base = -24; base <= 24; base += 0.375) {
            const sc_lv lv = ladder(std::uint8_t(scale), base);
            EXPECT_EQ(lv.level_45, 45);
            for (int j = 0; j < 14; ++j) ASSERT_GE(lv.lv[j], (j ? lv.lv[j - 1] : lv.lv_45) + 0.1 - 1e-9);
            // Inside the fixed-point domain, positive light values are the
            // logarithm to one decimal (or pushed up to previous + 0.1), and
            // unpushed ones stand for levels within that decimal.
            if (base <= -16 || base >= 16) continue;
            const double e = std::exp2(std::trunc(base * 1024) / 1024);
            for (int j = -1; j < 14; ++j) {
                const int level = 60 + 15 * j;
                const double arg = level / double(scale) * e, exact = std::log2(arg);
                if (arg < 1.0 / 256 || arg >= 32768 || exact < 0.05) continue;
                const double v = j < 0 ? lv.lv_45 : lv.lv[j];
                const double before = j < 0 ? 0 : j == 0 ? lv.lv_45 : lv.lv[j - 1];
                if (j >= 0 && std::fabs(v - (before + 0.1)) < 1e-9 && v > exact) continue;  // pushed
                ASSERT_NEAR(v, exact, 0.055) << scale << " " << base << " " << level;
                if (j >= 0) { EXPECT_NEAR(lv.level[j], level, level * 0.04 + 1) << scale << " " << base << " " << level; }
                ++checked;
            }
        }
    EXPECT_GT(checked, 2000);
}

TEST(SensorLightValues, HandWorkedLadderAndTheDomainClamp) {
    // Scale 1, base 2^0: log2 45 = 5.49 -> 5.5, log2 60 = 5.907 -> 5.9, and
    // so on; 8.0 stands for level 256.
    const sc_lv lv = ladder(1, 0.0);
    const double lvs[14] = {5.9, 6.2, 6.5, 6.7, 6.9, 7.1, 7.2, 7.4, 7.5, 7.6, 7.7, 7.8, 7.9, 8.0};
    const int levels[14] = {60, 73, 91, 104, 119, 137, 147, 169, 181, 194, 208, 223, 239, 256};
    EXPECT_DOUBLE_EQ(lv.lv_45, 5.5);
    for (int j = 0; j < 14; ++j) {
        EXPECT_NEAR(lv.lv[j], lvs[j], 1e-9) << j;
        EXPECT_EQ(lv.level[j], levels[j]) << j;
    }
    // Bases beyond the 16-octave domain are clamped (NaN counts as 0) and
    // every value stays finite.
    const auto same = [](double base, double as) {
        const sc_lv a = ladder(4, base), b = ladder(4, as);
        return std::equal(a.lv, a.lv + 14, b.lv) && a.lv_45 == b.lv_45;
    };
    EXPECT_TRUE(same(20, 40));
    EXPECT_TRUE(same(std::nan(""), 0));
    for (double base : {-1e9, 1e9}) EXPECT_TRUE(std::isfinite(ladder(255, base).lv[13])) << base;
    sc_lv untouched{};  // scale 0
    untouched.lv[3] = -7;
    const sc_lv before = untouched;
    EXPECT_EQ(SC_LV_Calculation(&untouched), 2);
    EXPECT_EQ(std::memcmp(&untouched, &before, sizeof before), 0);
    EXPECT_EQ(SC_LV_Calculation(nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
}

// ---------------------------------------------------------------- the commands

TEST(SensorCli, SeriesLadderAndBadInput) {
    TempDir dir;
    ScopedEnv env("MORVIK_INSPECT_DIR", dir.path().string());
    std::string series = "exposure, ch0, ch1, ch2, ch3\n";
    for (int x = 10; x <= 80; x += 10)  // channel 1 bends at the last point
        series += std::to_string(x) + "," + std::to_string(2 * x + 8) + "," + std::to_string(3 * x + 8 - (x == 80) * 40) +
                  "," + std::to_string(3 * x + 8) + "," + std::to_string(2 * x + 4) + "\n";
    const std::string five = "1,1,1,1,1\n2,2,2,2,2\n3,3,3,3,3\n4,4,4,4,4\n";
    const struct {
        std::string csv, args;
        int status;
        std::string says;
    } cases[] = {
        {series, "--bits 10 --black 64,64,64,64", 0,
         "point 6 (exposure 70): the next point leaves the line in channel 1"},
        {series, "", 0, "linear limit      218"},
        {series, "--json", 0, "\"linear_limit\": 218"},
        {series, "--black 1,2", 2, "--black"},
        {five, "", 2, "at least 5 points"},
        {"1,1,1,1,1\n2,2,2,2,2\n2,3,3,3,3\n4,4,4,4,4\n5,5,5,5,5\n", "", 2, "must increase"},
        {"1,1,1,1,1\n2.5,2,2,2,2\n3,3,3,3,3\n4,4,4,4,4\n5,5,5,5,5\n", "", 2, "32-bit integer"},
        {"1,1,1,1\n", "", 2, "expected 5 fields"},
        {"1,1,1,1,1\n2,2,x,2,2\n", "", 2, "is not a number"},
        {"", "lv --scale 1 --base 0", 0, "   45           5.5           45"},
        {"", "lv --scale 1 --base 0", 0, "  255           8.0          256"},
        {"", "lv --scale 0 --base 0", 2, "--scale"},
    };
    for (const auto& k : cases) {
        std::string args = k.args;
        if (!k.csv.empty()) {
            const auto csv = dir.path() / "series.csv";
            std::ofstream(csv) << k.csv;
            args = "sensor " + csv.string() + " " + args;
        }
        int status = -1;
        const std::string out = morvik::test::run_cli(args, status);
        EXPECT_EQ(status, k.status) << args << "\n" << out;
        EXPECT_NE(out.find(k.says), std::string::npos) << args << "\n" << out;
    }
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "sensorcurve.csv"));
}
