#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "morvik/morvik.h"
#include "support.h"

using morvik::test::run_cli;

using morvik::test::ScopedEnv;
using morvik::test::TempDir;

namespace {

struct Series {
    std::vector<std::int32_t> exposure;
    std::array<std::vector<double>, 4> response;
    std::array<std::uint32_t, 4> black{};
    std::uint8_t bit_mode = 0;

    // Points on the lines a[c] x + b[c] at the given exposures.
    static Series lines(const std::vector<std::int32_t>& x, std::array<double, 4> a, std::array<double, 4> b) {
        Series s;
        s.exposure = x;
        for (std::size_t c = 0; c < 4; ++c)
            for (std::int32_t e : x) s.response[c].push_back(a[c] * e + b[c]);
        return s;
    }
};

struct Fit {
    int rc = 0;
    std::array<double, 4> gains{}, slopes{}, intercepts{};
    std::array<std::uint32_t, 4> offsets{};
    double ratio = 0, limit = 0;
};

Fit calibrate(const Series& s) {
    TempDir dir;
    ScopedEnv env("MORVIK_INSPECT_DIR", dir.path().string());
    sc_input in{};
    in.bit_mode = s.bit_mode;
    in.count = static_cast<std::int32_t>(s.exposure.size());
    in.exposure = s.exposure.data();
    for (std::size_t c = 0; c < 4; ++c) {
        in.response[c] = s.response[c].data();
        in.black[c] = s.black[c];
    }
    Fit f;
    f.rc = SC_SlopeOffset_Calibration(0, &in, f.gains.data(), f.offsets.data(), f.slopes.data(), f.intercepts.data(),
                                      &f.ratio, &f.limit);
    return f;
}

std::vector<std::int32_t> exposures(int n, int step = 1) {
    std::vector<std::int32_t> x;
    for (int i = 1; i <= n; ++i) x.push_back(i * step);
    return x;
}

sc_lv ladder(std::uint8_t scale, double base) {
    sc_lv lv{};
    lv.scale = scale;
    lv.base_log2 = base;
    EXPECT_EQ(SC_LV_Calculation(&lv), 0);
    return lv;
}

bool same(const sc_lv& a, const sc_lv& b) {
    bool eq = a.lv_45 == b.lv_45 && a.level_45 == b.level_45;
    for (int j = 0; j < 14; ++j) eq = eq && a.lv[j] == b.lv[j] && a.level[j] == b.level[j];
    return eq;
}

}  // namespace

// ---------------------------------------------------------------- slope and offset

TEST(SensorSlopeOffset, DyadicLinesFitExactlyWithOffsetsRoundedAwayFromZero) {
    Series s = Series::lines(exposures(10), {2, 1.5, 2.25, 1.75}, {4, -1.375, 0.5, 10.25});
    s.black = {0, 64, 64, 64};
    Fit f = calibrate(s);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.slopes, (std::array<double, 4>{2, 1.5, 2.25, 1.75}));
    EXPECT_EQ(f.intercepts, (std::array<double, 4>{4, -1.375, 0.5, 10.25}));
    EXPECT_EQ(f.gains, (std::array<double, 4>{2.25 / 2, 2.25 / 1.5, 1.0, 2.25 / 1.75}));
    EXPECT_EQ(f.limit, 255.0);
    EXPECT_EQ(f.ratio, 1.0);
    // 8-bit mode: intercept x 4 (16, -5.5, 2, 41) rounded half away from
    // zero, subtracted with 32-bit wrap-around.
    EXPECT_EQ(f.offsets, (std::array<std::uint32_t, 4>{0xFFFFFFF0u, 70, 62, 23}));

    s.bit_mode = 1;  // 10-bit: the intercept itself (4, -1.375, 0.5, 10.25)
    f = calibrate(s);
    EXPECT_EQ(f.offsets, (std::array<std::uint32_t, 4>{0xFFFFFFFCu, 65, 63, 54}));
    EXPECT_EQ(f.limit, 1023.0);
    s = Series::lines(exposures(6), {2, 2, 2, 2}, {-1.5, -2.5, 2.5, -0.25});
    s.bit_mode = 1;
    s.black = {10, 10, 10, 10};
    EXPECT_EQ(calibrate(s).offsets, (std::array<std::uint32_t, 4>{12, 13, 7, 10}));
}

// The first five points lie on exact lines, so the threshold is its floor
// 0.015: a next point off its line by 1/64 (0.0156) ends the linear part, one
// off by 1/128 does not.
TEST(SensorSlopeOffset, ThresholdFloorEndsTheLinearPartAtTheLastFittedPoint) {
    for (double off : {1.0 / 64, -1.0 / 64, 1.0 / 128}) {
        Series s = Series::lines(exposures(9, 4), {2, 3, 1, 2.5}, {8, 2, 4, 0});
        s.response[2][7] *= 1 - off;  // point 7 seen from the fit of points 0..6
        const Fit f = calibrate(s);
        if (std::fabs(off) > 0.015) {
            EXPECT_EQ(f.limit, s.response[2][6]);
            EXPECT_EQ(f.ratio, 255.0 / s.response[2][6]);
        } else {
            EXPECT_EQ(f.limit, 255.0);
            EXPECT_EQ(f.ratio, 1.0);
        }
    }
}

// Noisy first points: the threshold is 3 x the largest channel's mean
// relative error, found here by an independent least-squares fit in long
// double; later points on the fitted lines keep it.
TEST(SensorSlopeOffset, ThresholdIsThreeTimesTheWorstMeanErrorOfTheFirstFive) {
    std::mt19937 rng(17);
    for (int trial = 0; trial < 40; ++trial) {
        Series s;
        s.bit_mode = 1;
        s.exposure = exposures(8, 10);
        std::array<long double, 4> slope{}, icept{};
        long double thr = 0;
        for (std::size_t c = 0; c < 4; ++c) {
            const double a = 1 + (rng() % 100) / 50.0;
            for (int i = 0; i < 5; ++i)
                s.response[c].push_back(a * s.exposure[std::size_t(i)] + 20 + double(rng() % 1000) / 100.0 - 5);
            long double sx = 0, sy = 0, sxx = 0, sxy = 0;
            for (int i = 0; i < 5; ++i) {
                const long double x = s.exposure[std::size_t(i)], y = s.response[c][std::size_t(i)];
                sx += x;
                sy += y;
                sxx += x * x;
                sxy += x * y;
            }
            slope[c] = (5 * sxy - sx * sy) / (5 * sxx - sx * sx);
            icept[c] = (sy - slope[c] * sx) / 5;
            long double mean = 0;
            for (int i = 0; i < 5; ++i) {
                const long double p = slope[c] * s.exposure[std::size_t(i)] + icept[c];
                mean += std::fabs((p - s.response[c][std::size_t(i)]) / p) / 5;
            }
            thr = std::max(thr, 3 * mean);
        }
        thr = std::max(thr, 0.015L);
        // Points 5 and 6 on the fitted lines; point 7 off by 0.9 or 1.1 x thr in channel 3.
        const double k = trial % 2 ? 1.1 : 0.9;
        for (std::size_t c = 0; c < 4; ++c)
            for (int i = 5; i < 8; ++i) {
                const long double p = slope[c] * s.exposure[std::size_t(i)] + icept[c];
                s.response[c].push_back(double(c == 3 && i == 7 ? p * (1 - k * thr) : p));
            }
        const Fit f = calibrate(s);
        EXPECT_EQ(f.limit, k > 1 ? s.response[3][6] : 1023.0) << trial;
    }
}

TEST(SensorSlopeOffset, SaturationStopsBeforeTheNextPointIsExamined) {
    // Point 6 jumps to 255 in channel 1 (far off its line): 8-bit stops with
    // the limit at saturation; 10-bit examines it and ends the linear part.
    Series s = Series::lines(exposures(8), {10, 12, 9, 11}, {5, 5, 5, 5});
    s.response[1][6] = 255;
    Fit f = calibrate(s);
    EXPECT_EQ(f.limit, 255.0);
    EXPECT_EQ(f.ratio, 1.0);
    s.bit_mode = 1;
    f = calibrate(s);
    EXPECT_EQ(f.limit, s.response[1][5]);
    EXPECT_EQ(f.ratio, 1023.0 / s.response[1][5]);
    // Just below saturation in 8-bit mode: examined as well.
    s.bit_mode = 0;
    s.response[1][6] = 254.5;
    EXPECT_EQ(calibrate(s).limit, s.response[1][5]);
}

TEST(SensorSlopeOffset, LargestErrorPicksTheChannelFirstChannelOnTies) {
    // Channels 1 and 3 off by exactly 1/32 at point 6.
    Series s = Series::lines(exposures(7, 2), {4, 2, 4, 3}, {0, 0, 0, 0});
    s.response[1][6] *= 1 - 1.0 / 32;
    s.response[3][6] *= 1 + 1.0 / 32;
    EXPECT_EQ(calibrate(s).limit, s.response[1][5]);
    s.response[3][6] = 3 * 14 * (1 + 1.0 / 16);  // channel 3 now worse
    EXPECT_EQ(calibrate(s).limit, s.response[3][5]);
}

TEST(SensorSlopeOffset, ZeroSlopesAndPredictionsFollowIeeeArithmetic) {
    // Channel 0 stays black: slope 0, predictions 0, errors 0/0 = NaN that
    // never end the linear part; its gain is infinite.
    Series s = Series::lines(exposures(9), {0, 2, 2, 3}, {0, 1, 1, 1});
    s.black = {16, 16, 16, 16};
    s.response[2][8] = 100;  // would end the part at point 7 on its own
    const Fit f = calibrate(s);
    EXPECT_EQ(f.limit, s.response[2][7]);
    EXPECT_TRUE(std::isinf(f.gains[0]));
    EXPECT_EQ(f.gains[3], 1.0);
    EXPECT_EQ(f.offsets[0], 16u);
    // Every channel black: all errors NaN, the limit stays at saturation and
    // the gains are NaN (0 / 0).
    const Fit black = calibrate(Series::lines(exposures(7), {0, 0, 0, 0}, {0, 0, 0, 0}));
    EXPECT_EQ(black.limit, 255.0);
    EXPECT_TRUE(std::isnan(black.gains[2]));
}

TEST(SensorSlopeOffset, CreatesAnEmptyCurveFileOnlyWhenItRuns) {
    TempDir dir;
    ScopedEnv env("MORVIK_INSPECT_DIR", dir.path().string());
    const auto file = dir.path() / "sensorcurve.csv";
    Series s = Series::lines(exposures(5), {1, 1, 1, 1}, {0, 0, 0, 0});
    sc_input in{};
    in.count = 5;
    in.exposure = s.exposure.data();
    for (std::size_t c = 0; c < 4; ++c) in.response[c] = s.response[c].data();
    double g[4], sl[4], ic[4], ratio = -1, limit = -1;
    std::uint32_t off[4];

    in.count = 4;
    EXPECT_EQ(SC_SlopeOffset_Calibration(0, &in, g, off, sl, ic, &ratio, &limit), MORVIK_STATUS_INVALID_ARGUMENT);
    in.count = 5;
    EXPECT_EQ(SC_SlopeOffset_Calibration(0, nullptr, g, off, sl, ic, &ratio, &limit), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(SC_SlopeOffset_Calibration(0, &in, g, off, sl, ic, nullptr, &limit), MORVIK_STATUS_INVALID_ARGUMENT);
    in.response[2] = nullptr;
    EXPECT_EQ(SC_SlopeOffset_Calibration(0, &in, g, off, sl, ic, &ratio, &limit), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ratio, -1);
    EXPECT_FALSE(std::filesystem::exists(file));

    in.response[2] = s.response[2].data();
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
            double previous = lv.lv_45;
            for (int j = 0; j < 14; ++j) {
                const double v = lv.lv[j];
                ASSERT_GE(v, previous + 0.1 - 1e-9) << scale << " " << base << " " << j;
                previous = v;
            }
            // Inside the fixed-point domain, positive light values are the
            // logarithm to one decimal (or pushed up to previous + 0.1), and
            // unpushed ones stand for levels within that decimal.
            if (base <= -16 || base >= 16) continue;
            const double e = std::exp2(std::trunc(base * 1024) / 1024);
            for (int j = -1; j < 14; ++j) {
                const int level = 60 + 15 * j;
                const double arg = level / double(scale) * e;
                const double exact = std::log2(arg);
                if (arg < 1.0 / 256 || arg >= 32768 || exact < 0.05) continue;
                const double v = j < 0 ? lv.lv_45 : lv.lv[j];
                const double before = j < 0 ? 0 : j == 0 ? lv.lv_45 : lv.lv[j - 1];
                if (j >= 0 && std::fabs(v - (before + 0.1)) < 1e-9 && v > exact) continue;  // pushed
                ASSERT_NEAR(v, exact, 0.055) << scale << " " << base << " " << level;
                if (j >= 0) {
                    EXPECT_NEAR(lv.level[j], level, level * 0.04 + 1) << scale << " " << base << " " << level;
                }
                ++checked;
            }
        }
    EXPECT_GT(checked, 2000);
}

TEST(SensorLightValues, HandWorkedLadderAndTheDomainClamp) {
    // Scale 1, base 2^0: log2 45 = 5.49 -> 5.5; log2 255 = 7.994 -> 8.0, which
    // stands for level 256.
    const sc_lv lv = ladder(1, 0.0);
    EXPECT_DOUBLE_EQ(lv.lv_45, 5.5);
    EXPECT_DOUBLE_EQ(lv.lv[13], 8.0);
    EXPECT_EQ(lv.level[13], 256);
    EXPECT_DOUBLE_EQ(lv.lv[0], 5.9);  // log2 60 = 5.907

    // Exposure bases beyond the 16-octave domain are clamped: the ladders of
    // 20 and 40 are the same, and every value stays finite.
    EXPECT_TRUE(same(ladder(4, 20), ladder(4, 40)));
    for (double base : {-1e9, -40.0, 40.0, 1e9, std::nan("")}) {
        const sc_lv c = ladder(255, base);
        for (int j = 0; j < 14; ++j) EXPECT_TRUE(std::isfinite(c.lv[j])) << base;
    }
    EXPECT_TRUE(same(ladder(9, std::nan("")), ladder(9, 0.0)));

    sc_lv untouched{};
    untouched.scale = 0;
    untouched.base_log2 = 3;
    untouched.lv_45 = -7;
    untouched.level[3] = 99;
    const sc_lv before = untouched;
    EXPECT_EQ(SC_LV_Calculation(&untouched), 2);
    EXPECT_TRUE(same(untouched, before));
    EXPECT_EQ(SC_LV_Calculation(nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
}

// ---------------------------------------------------------------- the commands

namespace {


std::filesystem::path write_text(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
    return path;
}

}  // namespace

TEST(SensorCli, SeriesLadderAndBadInput) {
    TempDir dir;
    ScopedEnv env("MORVIK_INSPECT_DIR", dir.path().string());
    std::string csv = "exposure, ch0, ch1, ch2, ch3\n";
    for (int i = 1; i <= 8; ++i) {
        const int x = 10 * i;
        const int bent = i == 8 ? 40 : 0;
        csv += std::to_string(x) + "," + std::to_string(2 * x + 8) + "," + std::to_string(3 * x + 8 - bent) + "," +
               std::to_string(3 * x + 8) + "," + std::to_string(2 * x + 4) + "\n";
    }
    const auto series = write_text(dir.path() / "series.csv", csv);
    int status = -1;
    std::string out = run_cli("sensor " + series.string() + " --bits 10 --black 64,64,64,64", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("point 6 (exposure 70): the next point leaves the line in channel 1"), std::string::npos)
        << out;
    EXPECT_NE(out.find("linear limit      218"), std::string::npos) << out;
    out = run_cli("sensor " + series.string() + " --json", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("\"linear_limit\": 218"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "sensorcurve.csv"));

    const struct {
        std::string text;
        std::string says;
    } bad[] = {
        {"1,1,1,1,1\n2,2,2,2,2\n3,3,3,3,3\n4,4,4,4,4\n", "at least 5 points"},
        {"1,1,1,1,1\n2,2,2,2,2\n2,3,3,3,3\n4,4,4,4,4\n5,5,5,5,5\n", "must increase"},
        {"1,1,1,1,1\n2.5,2,2,2,2\n3,3,3,3,3\n4,4,4,4,4\n5,5,5,5,5\n", "32-bit integer"},
        {"1,1,1,1\n", "expected 5 fields"},
        {"1,1,1,1,1\n2,2,x,2,2\n", "is not a number"},
    };
    for (const auto& b : bad) {
        out = run_cli("sensor " + write_text(dir.path() / "bad.csv", b.text).string(), status);
        EXPECT_EQ(status, 2) << b.text << out;
        EXPECT_NE(out.find(b.says), std::string::npos) << out;
    }
    out = run_cli("sensor " + series.string() + " --black 1,2", status);
    EXPECT_EQ(status, 2) << out;

    out = run_cli("lv --scale 1 --base 0", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("   45           5.5           45"), std::string::npos) << out;
    EXPECT_NE(out.find("  255           8.0          256"), std::string::npos) << out;
    out = run_cli("lv --scale 0 --base 0", status);
    EXPECT_NE(status, 0) << out;
}
