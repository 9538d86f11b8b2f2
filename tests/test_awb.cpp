#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "awb/awb.h"
#include "support.h"

namespace awb = morvik::awb;
using morvik::test::LogCapture;
using Bytes = std::array<int, 9>;

namespace {

// ---------------------------------------------------------------- calibration model

// The calibration written out plainly: grey points and search in single
// precision (equal ratios are told apart by its rounding; the first pair
// stays). Status 1: no pair accepted.
struct CalibrationModel {
    using Real = float;
    int status = 0;
    Bytes bytes{};

    CalibrationModel(std::vector<AwbGreyStatistics> e, unsigned upper, unsigned lower) {
        const size_t n = e.size(), m = n / 2;
        for (size_t i = 0; i < n; ++i) {
            size_t top = i;
            for (size_t j = i; j < n; ++j)
                if (e[j].key > e[top].key) top = j;
            std::swap(e[i], e[top]);
        }
        const int med[3] = {(e[m - 1].channel1 + e[m].channel1) / 2, (e[m - 1].channel2 + e[m].channel2) / 2,
                            (e[m - 1].channel3 + e[m].channel3) / 2};
        const int mm = std::min({med[0], med[1], med[2], 255});
        for (int c = 0; c < 3; ++c) bytes[c] = 63 * mm / med[c];
        std::vector<Real> u(n), v(n), s(n);
        for (size_t i = 0; i < n; ++i) {
            const Real p = Real(e[i].channel1) * Real(bytes[0]) / Real(64);
            const Real q = Real(e[i].channel2) * Real(bytes[1]) / Real(64);
            const Real r = Real(e[i].channel3) * Real(bytes[2]) / Real(64);
            s[i] = Real(0.5) * q + Real(0.25) * (p + r);
            u[i] = p - s[i], v[i] = r - s[i];
        }
        Real best = Real(0.0001f), bx[2] = {0, 0}, by[2] = {0, -1};
        int ba = 0, bb = 0;
        for (int a = 15; a <= 31; ++a) {
            for (int b = 15; b <= 31; ++b) {
                Real x0 = Real(-1000000), x1 = Real(1000000), y0 = Real(-1000000), y1 = Real(1000000);
                for (size_t i = 0; i < n; ++i) {
                    const Real x = (Real(b) * u[i] - Real(a) * v[i]) / Real(64) / s[i] * Real(128);
                    const Real y = (Real(b) * u[i] + Real(a) * v[i]) / Real(64) / s[i] * Real(128);
                    x0 = std::max(x0, x), x1 = std::min(x1, x), y0 = std::max(y0, y), y1 = std::min(y1, y);
                }
                const Real ratio = (x0 - x1) / (y0 - y1);
                if (ratio > best && y0 > 0 && y1 < 0 && x0 > 0 && x1 < 0) {
                    best = ratio, ba = a, bb = b, bx[0] = x0, bx[1] = x1, by[0] = y0, by[1] = y1;
                }
            }
        }
        if (ba == 0) {
            status = 1, bytes[8] = 1;
            return;
        }
        // Extrapolation and bytes in double from the search's extremes; equal
        // keys leave nothing to extrapolate over.
        const double k0 = e.front().key, kn = e.back().key, xmax = double(bx[0]), xmin = double(bx[1]);
        double xmin_e = xmin, xmax_e = xmax;
        if (upper > k0 && k0 != kn) xmin_e = xmin - (xmax - xmin) * (upper - k0) / (k0 - kn);
        if (lower < kn && k0 != kn) xmax_e = xmax + (xmax - xmin) * (kn - lower) / (k0 - kn);
        bytes[3] = ba, bytes[4] = bb;
        bytes[5] = int(1.2 * xmax_e + 1.0) & 255;
        bytes[6] = int(2 * (1.2 * -xmin_e + 1.0)) & 255;
        bytes[7] = int(1.2 * double(by[0]) + 1.0) & 255;
        bytes[8] = int(-double(by[1])) & 255;
    }
};

Bytes bytes_of(const AwbCalibrationResult& r) {
    return {r.gain1, r.gain2, r.gain3, r.coef_a, r.coef_b, r.x_upper, r.x_lower, r.y_upper, r.y_lower};
}

// Grey patches of `n` lights spread from warm to cold, with noise; with
// `few_keys` the keys repeat, so the order of equal keys shows in the medians.
std::vector<AwbGreyStatistics> random_lights(std::mt19937& rng, size_t n, bool few_keys = false) {
    std::uniform_int_distribution<int> key(2000, 7500), level(40, 900), tilt(-60, 60), pick(0, 3);
    std::vector<AwbGreyStatistics> e(n);
    for (auto& s : e) {
        const int k = few_keys ? 2500 + 1500 * pick(rng) : key(rng), g = level(rng);
        const int warm = (k - 4500) / 40;  // red falls and blue rises with the key
        s.key = static_cast<uint16_t>(k);
        s.channel1 = static_cast<uint16_t>(std::max(1, g - warm * g / 200 + tilt(rng)));
        s.channel2 = static_cast<uint16_t>(g + tilt(rng) / 4);
        s.channel3 = static_cast<uint16_t>(std::max(1, g + warm * g / 200 + tilt(rng)));
    }
    return e;
}

int32_t calibrate(const std::vector<AwbGreyStatistics>& e, int32_t upper, int32_t lower, AwbCalibrationResult& r) {
    return AWB_Calibration(0, static_cast<int32_t>(e.size()), upper, lower, e.data(), &r);
}

}  // namespace

// ---------------------------------------------------------------- calibration

TEST(AwbCalibration, MatchesThePlainModelOnRandomLights) {
    std::mt19937 rng(2026);
    std::uniform_int_distribution<int> limit(0, 9000);
    int projections = 0;
    for (int round = 0; round < 600; ++round) {
        const auto e = random_lights(rng, 2 + round % 19, round % 3 == 2);
        const int upper = limit(rng), lower = limit(rng);
        AwbCalibrationResult r{};
        // Only the low 16 bits of the key limits count.
        const int32_t status = calibrate(e, upper | (round % 3 ? 0 : 0x7FFF0000), lower | (round % 5 ? 0 : 0x10000), r);
        const CalibrationModel model(e, unsigned(upper), unsigned(lower));
        ASSERT_EQ(status, model.status) << "round " << round;
        ASSERT_EQ(bytes_of(r), model.bytes) << "round " << round;
        projections += status == 0;
    }
    EXPECT_GT(projections, 450);
}

TEST(AwbCalibration, BytesAreTruncatedToThirtyTwoBitsThenCutToTheLowByte) {
    const std::pair<double, int> cases[] = {{255.999, 255},       {256.5, 0},         {300.7, 44},
                                            {-0.9, 0},            {-1.5, 255},        {2147483647.5, 255},
                                            {2147483648.0, 0},    {-2147483648.9, 0}, {INFINITY, 0},
                                            {NAN, 0}};
    for (auto [value, byte] : cases) EXPECT_EQ(awb::truncated_byte(value), byte) << value;
}

TEST(AwbCalibration, RejectsBadCountsAndZeroMediansAndReportsMissingProjection) {
    const std::vector<AwbGreyStatistics> e(21, AwbGreyStatistics{1, 10, 20, 30});
    AwbCalibrationResult r;
    std::memset(&r, 0xAB, sizeof r);
    for (int32_t count : {0, 1, 21, 255, 256, 257, -1}) {
        EXPECT_EQ(AWB_Calibration(0, count, 0, 0, e.data(), &r), MORVIK_STATUS_INVALID_ARGUMENT) << count;
    }
    EXPECT_EQ(AWB_Calibration(0, 2, 0, 0, nullptr, &r), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(AWB_Calibration(0, 2, 0, 0, e.data(), nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(calibrate({{2, 0, 20, 30}, {1, 1, 20, 30}}, 0, 0, r), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.gain1, 0xAB);

    // Count 258 has low byte 2; identical grey points spread nowhere.
    EXPECT_EQ(AWB_Calibration(0, 258, 0, 0, e.data(), &r), MORVIK_AWB_NO_PROJECTION);
    EXPECT_EQ(bytes_of(r), (Bytes{63, 31, 21, 0, 0, 0, 0, 0, 1}));
    static_assert(sizeof(AwbCalibrationResult) == 9);
}

// ---------------------------------------------------------------- windows

// Lights 0..4 along u (2 and 3 side by side along v); windows 5 and 6 shrink
// 1 and 3, and 7..9 split 4 along u, moved in by an eighth of the v span from
// window 3's lower limit to window 4's upper one. Dyadic values: exact.
TEST(AwbWindows, TenWindowsFollowTheLightLayout) {
    const AwbLightStatistics l[5] = {{-100, 20, 8, 8}, {-60, 10, 8, 16}, {0, 40, 16, 8}, {8, -24, 8, 16}, {80, 0, 16, 8}};
    const double want[10][4] = {{40, 0, -120, -80},     {50, -46, -80, -40},      {60, 8, -40, 28},
                                {8, -56, -40, 28},      {20, -28, 28, 192},       {38, -34, -60, -40},
                                {0, -48, -40, 28},      {10.5, -18.5, 28, 151},   {10.5, -18.5, 48.5, 171.5},
                                {10.5, -18.5, 69, 192}};
    AwbWindow w[10];
    AWB_WIN_AUTO_CAL(l, w);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ((std::array<double, 4>{w[i].upper_v, w[i].lower_v, w[i].lower_u, w[i].upper_u}),
                  (std::array<double, 4>{want[i][0], want[i][1], want[i][2], want[i][3]})) << i;
    AWB_WIN_AUTO_CAL(nullptr, nullptr);  // no crash
}

TEST(AwbWindows, SmallWindowsAreCutFromTheLargeOnes) {
    auto v = [](const AwbIntWindow& w) { return std::array<int, 4>{w.x0, w.x1, w.y0, w.y1}; };
    AwbIntWindow large[4] = {{0, 100, 0, 100}, {10, 10, 5, 5}, {-50, 50, 20, 60}, {1000, 1400, -40, 40}};
    AwbIntWindow small[6];
    ASSERT_EQ(AWB_Small_win_Calibration(large, small), 0);
    const std::array<int, 4> expected[6] = {{70, 100, 12, 87},     {10, 10, 5, 5},  // width and height 0 stay 0
                                            {-50, 50, 25, 55},     {1000, 1300, -30, 30},
                                            {1050, 1350, -30, 30}, {1100, 1400, -30, 30}};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(v(small[i]), expected[i]) << i;
    // Fractional cuts truncate each offset and size on its own: width 7
    // gives size 5.25 -> 5 at offsets 0, 0.875 -> 0 and 1.75 -> 1; height
    // 11 gives size 8.25 -> 8 at offset 1.375 -> 1. Window 0: 2.1 -> 2 at 4.9 -> 4.
    large[0] = large[3] = {-3, 4, -20, -9};
    ASSERT_EQ(AWB_Small_win_Calibration(large, small), 0);
    EXPECT_EQ(v(small[0]), (std::array<int, 4>{1, 3, -19, -11}));
    EXPECT_EQ(v(small[3]), (std::array<int, 4>{-3, 2, -19, -11}));
    EXPECT_EQ(v(small[4]), (std::array<int, 4>{-3, 2, -19, -11}));
    EXPECT_EQ(v(small[5]), (std::array<int, 4>{-2, 3, -19, -11}));

    // Extreme inverted windows compute without overflow.
    large[0] = {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN};
    EXPECT_EQ(AWB_Small_win_Calibration(large, small), 0);
    EXPECT_EQ(AWB_Small_win_Calibration(nullptr, small), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(AWB_Small_win_Calibration(large, nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
}

TEST(AwbWindows, AppliedTableStartsZeroedAndKeepsTheLastSet) {
    const auto zero = awb::applied_windows();
    EXPECT_TRUE(std::all_of(zero.begin(), zero.end(), [](auto& w) { return !w.x0 && !w.x1 && !w.y0 && !w.y1; }));
    AwbIntWindow w[11];
    for (int i = 0; i < 11; ++i) w[i] = {i, i + 1, -i, 100 * i};
    EXPECT_EQ(AWB_Update_11_Window_Before_Apply(w), 0);
    EXPECT_EQ(AWB_Update_11_Window_Before_Apply(nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(std::memcmp(awb::applied_windows().data(), w, sizeof w), 0);
}

// ---------------------------------------------------------------- filter

namespace {

struct Frame {
    AWBFILTER_PARAM p{};
    std::vector<uint8_t> raw, mask, rgb;
    Frame(uint32_t w, uint32_t h) : raw(size_t(w) * h) {
        p.width = w, p.height = h;
        const size_t out = size_t(w > 1 ? w - 1 : 0) * (h > 1 ? h - 1 : 0);
        mask.assign(out + 1, 0xCD);  // one guard byte each
        rgb.assign(3 * out + 1, 0xCD);
    }
    int32_t run() {
        p.raw = raw.data();
        return AWB_Filter(&p, mask.data(), rgb.data());
    }
};

// The grey test with plain truncating arithmetic in double.
bool model_accepts(const AWBFILTER_PARAM& p, int r, int g, int b) {
    const int level = 8 * p.SUPSEL + 192;
    if (r >= level || g >= level || b >= level) return false;
    const int r1 = int(r * 63 / 64.0), g1 = int(g * 63 / 64.0), b1 = int(b * 63 / 64.0);
    const int y = int(std::floor(g1 / 2.0)) + int(std::floor(b1 / 4.0)) + int(std::floor(r1 / 4.0));
    if (y < 4 * p.Y_LIMIT) return false;
    const int db = int(std::trunc((b1 - y) * p.U_GAIN / 32.0)), dr = int(std::trunc((r1 - y) * p.V_GAIN / 32.0));
    const int mg = int(std::trunc((dr + db) / 2.0)), rb = int(std::trunc((dr - db) / 2.0));
    const double mg_lim = std::floor((mg > 0 ? p.S_MG_P : p.S_MG_N) * y / 128.0);
    const double rb_lim = std::floor((rb > 0 ? p.S_RB_P : p.S_RB_N) * y / 128.0);
    return std::abs(mg) <= mg_lim && std::abs(rb) <= rb_lim;
}

}  // namespace

TEST(AwbFilter, DemosaicAndGreyTestMatchThePlainModelForEveryPhase) {
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> dim(2, 17), wide(250, 700), byte(0, 255);
    for (int round = 0; round < 300; ++round) {
        // Some rows span several of the filter's internal chunks.
        Frame f(round % 6 == 5 ? wide(rng) : dim(rng), dim(rng));
        for (auto& s : f.raw) s = uint8_t(byte(rng));
        // Every phase (and bits above the two phase bits), SUPSEL both sides
        // of 8, limits over their whole range on every other round.
        const int limit_mask = round % 2 ? 63 : 255;
        f.p.nFirstPixel = uint8_t((round & 3) | (round & 4 ? 0xF0 : 0));
        f.p.SUPSEL = uint8_t(byte(rng) % 10), f.p.U_GAIN = uint8_t(byte(rng)), f.p.V_GAIN = uint8_t(byte(rng));
        f.p.Y_LIMIT = uint8_t(byte(rng) % 41);
        f.p.S_RB_P = uint8_t(byte(rng) & limit_mask), f.p.S_RB_N = uint8_t(byte(rng) & limit_mask);
        f.p.S_MG_P = uint8_t(byte(rng) & limit_mask), f.p.S_MG_N = uint8_t(byte(rng) & limit_mask);
        ASSERT_EQ(f.run(), 0);
        const uint32_t w = f.p.width, h = f.p.height;
        auto raw = [&](uint32_t x, uint32_t y) { return int(f.raw[y * w + x]); };
        for (uint32_t y = 0; y + 1 < h; ++y) {
            for (uint32_t x = 0; x + 1 < w; ++x) {
                const int tl = raw(x, y), tr = raw(x + 1, y), bl = raw(x, y + 1), br = raw(x + 1, y + 1);
                const int phase = 2 * ((y + (f.p.nFirstPixel >> 1)) % 2) + (x + (f.p.nFirstPixel & 1)) % 2;
                const int table[4][3] = {{tl, tr, br}, {tr, tl, bl}, {bl, tl, tr}, {br, tr, tl}};
                const size_t i = size_t(y) * (w - 1) + x;
                ASSERT_EQ(f.rgb[3 * i], table[phase][0]);
                ASSERT_EQ(f.rgb[3 * i + 1], table[phase][1]);
                ASSERT_EQ(f.rgb[3 * i + 2], table[phase][2]);
                ASSERT_EQ(f.mask[i], model_accepts(f.p, table[phase][0], table[phase][1], table[phase][2]) ? 255 : 0);
            }
        }
        EXPECT_EQ(f.mask.back(), 0xCD);
        EXPECT_EQ(f.rgb.back(), 0xCD);
    }
}

TEST(AwbFilter, RequestLogSmallFramesAndBadArguments) {
    // 2 x 2 gives one pixel; nFirstPixel 1 takes red from TR and blue from BL.
    Frame f(2, 2);
    f.raw = {10, 20, 30, 40};
    f.p = {1, 7, 32, 40, 5, 10, 11, 12, 13, 2, 2, nullptr};
    {
        LogCapture log;
        ASSERT_EQ(f.run(), 0);
        EXPECT_EQ(log.lines(), (std::vector<std::string>{
                                   "DLL: AWBFILTER_PARAM:\n", "DLL: nFirstPixel: 1\n", "DLL: SUPSEL: 7\n",
                                   "DLL: U_GAIN: 32\n", "DLL: V_GAIN: 40\n", "DLL: Y_LIMIT: 5\n", "DLL: S_RB_P: 10\n",
                                   "DLL: S_RB_N: 11\n", "DLL: S_MG_P: 12\n", "DLL: S_MG_N: 13\n"}));
    }
    EXPECT_EQ((std::vector<int>{f.rgb[0], f.rgb[1], f.rgb[2], f.rgb[3]}), (std::vector<int>{20, 10, 30, 0xCD}));

    for (auto [w, h] : {std::pair{1u, 5u}, {5u, 1u}, {0u, 0u}}) {
        Frame g(w, h);
        g.raw.resize(1);
        g.mask.assign(4, 0xCD), g.rgb.assign(4, 0xCD);
        LogCapture log;
        EXPECT_EQ(g.run(), 0);
        EXPECT_EQ(log.lines().size(), 10u);
        EXPECT_EQ(g.mask, std::vector<uint8_t>(4, 0xCD));
        EXPECT_EQ(g.rgb, std::vector<uint8_t>(4, 0xCD));
    }

    // A null raw frame or request: -1, nothing logged (null outputs: see
    // the failure reasons).
    LogCapture log;
    uint8_t out[16];
    AWBFILTER_PARAM p{};
    p.width = p.height = 2;
    EXPECT_EQ(AWB_Filter(&p, out, out), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(AWB_Filter(nullptr, out, out), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(log.lines().empty());
}
