#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "morvik/morvik.h"
#include "shading/grid_table.h"
#include "support.h"

namespace grid = morvik::shading::grid;

namespace {

// A raw flat field in either depth, every channel at `level` (8-bit units).
std::vector<std::uint8_t> flat_raw(int width, int height, int level, bool ten_bit) {
    if (!ten_bit) return std::vector<std::uint8_t>(std::size_t(width) * std::size_t(height), std::uint8_t(level));
    std::vector<std::uint8_t> raw(std::size_t(width) * std::size_t(height) * 2);
    const unsigned v = unsigned(level) << 2 | 3u;  // the two low bits are dropped
    for (std::size_t i = 0; i < raw.size(); i += 2) raw[i] = std::uint8_t(v & 0xFF), raw[i + 1] = std::uint8_t(v >> 8);
    return raw;
}

// A grid of nx x ny nodes whose cells fit the planes.
void set_grid(shading_table_config& c, int nx, int ny) {
    c.nx = nx;
    c.ny = ny;
    c.cell_width = (c.width / 2 - 2) / (nx - 1);
    c.cell_height = (c.height / 2 - 2) / (ny - 1);
}

shading_table_config config_for(const std::vector<std::uint8_t>& raw, int width, int height, int nx, int ny) {
    shading_table_config c{};
    c.table_kind = 2;
    c.bit_depth = raw.size() == std::size_t(width) * std::size_t(height) * 2 ? 10 : 8;
    c.raw = raw.data();
    c.width = c.right = width;
    c.height = c.bottom = height;
    c.window = 4, c.gain_scale = 32, c.find_brightest = 1, c.max_gain_x10 = 40;
    c.poly[0] = 1e6;
    set_grid(c, nx, ny);
    return c;
}

shading_table_result poisoned() {
    shading_table_result r;
    std::memset(&r, 0xA5, sizeof r);
    return r;
}
bool untouched(const shading_table_result& r) {
    const shading_table_result p = poisoned();
    return std::memcmp(&r, &p, sizeof r) == 0;
}

int decode(unsigned v) { return (v & 512) ? -int(v & 511) : int(v); }

// Coefficient k (1..12) of channel `ch` in cell `cell` of a format-0 table.
int coefficient(const shading_table_result& r, int cell, int ch, int k) {
    const std::uint32_t w = r.words[std::size_t(cell * 16 + ch * 4 + (k - 1) / 3)];
    return decode((w >> (10 * ((k - 1) % 3))) & 0x3FF);
}

// The four channel planes of a raw mosaic, as unpack_planes writes them.
struct Planes {
    Planes(const std::vector<std::uint8_t>& raw, int width, int height, bool ten_bit)
        : store(std::size_t(width) * std::size_t(height)) {
        std::uint8_t* writable[4];
        for (std::size_t c = 0; c < 4; ++c) p[c] = writable[c] = store.data() + c * store.size() / 4;
        grid::unpack_planes(raw.data(), width, height, ten_bit, writable);
    }
    std::vector<std::uint8_t> store;
    const std::uint8_t* p[4];
};

// Natural spline second derivatives by dense Gaussian elimination in double.
std::vector<double> dense_natural_spline(const std::vector<double>& x, const std::vector<double>& y) {
    const std::size_t n = x.size();
    std::vector<std::vector<double>> a(n, std::vector<double>(n + 1, 0.0));
    a[0][0] = a[n - 1][n - 1] = 1;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double h0 = x[i] - x[i - 1], h1 = x[i + 1] - x[i];
        a[i][i - 1] = h0;
        a[i][i] = 2 * (h0 + h1);
        a[i][i + 1] = h1;
        a[i][n] = 6 * ((y[i + 1] - y[i]) / h1 - (y[i] - y[i - 1]) / h0);
    }
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (std::size_t k = c; k <= n; ++k) a[r][k] -= f * a[c][k];
        }
    std::vector<double> m(n);
    for (std::size_t r = n; r-- > 0;) {
        double s = a[r][n];
        for (std::size_t k = r + 1; k < n; ++k) s -= a[r][k] * m[k];
        m[r] = s / a[r][r];
    }
    return m;
}

// Power coefficients (1, s, s^2, s^3) of the spline piece between nodes k and
// k + 1 in the local coordinate s = (x - x_k) / h, from its value at four
// points (Lagrange form on s = 0, 1/3, 2/3, 1).
std::array<double, 4> piece(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& m,
                            std::size_t k) {
    const double h = x[k + 1] - x[k];
    const auto at = [&](double s) {
        const double a = 1 - s, b = s;
        return a * y[k] + b * y[k + 1] + ((a * a * a - a) * m[k] + (b * b * b - b) * m[k + 1]) * h * h / 6;
    };
    const double f0 = at(0), f1 = at(1.0 / 3), f2 = at(2.0 / 3), f3 = at(1);
    // Newton differences on the step 1/3.
    const double d1 = f1 - f0, d2 = f2 - 2 * f1 + f0, d3 = f3 - 3 * f2 + 3 * f1 - f0;
    // f(s) = f0 + d1 u + d2 u(u-1)/2 + d3 u(u-1)(u-2)/6 with u = 3s.
    return {f0, 3 * d1 - 1.5 * d2 + d3, 4.5 * d2 - 4.5 * d3, 4.5 * d3};
}

}  // namespace

// ---------------------------------------------------------------- building blocks

// Every window size and node position of small planes, limits inside and
// beyond the plane, against a plain reading of the placement rules.
TEST(GridTableNodes, AveragingSquaresFollowThePlacementRulesAtEveryEdge) {
    std::mt19937 rng(11);
    const int W = 9, H = 7;
    std::vector<std::uint8_t> plane(std::size_t(W * H));
    for (auto& v : plane) v = std::uint8_t(rng() % 4 == 0 ? 0 : rng() % 256);
    const auto start = [](int centre, int size, int window) {
        // Beyond the far edge: a whole window before the centre; past half a
        // window from the near edge: centred; else from the centre; never
        // before the first sample.
        return std::max(1, centre + window > size ? centre - window : centre > window / 2 ? centre - window / 2 : centre);
    };
    // Limits in image pixels: none, a narrow band, odd values (halved with
    // truncation), negative lower limits.
    const int limits[4][4] = {{0, 0, 2 * W, 2 * H}, {6, 4, 11, 9}, {5, 3, 13, 7}, {-9, -9, 2 * W, 2 * H}};
    for (int window = 1; window <= H; ++window)
        for (const auto& lim : limits) {
            grid::SplineSettings s;
            s.half_width = W, s.half_height = H, s.window = window;
            s.left = lim[0], s.top = lim[1], s.right = lim[2], s.bottom = lim[3];
            for (int ny = 1; ny <= H; ++ny)
                for (int nx = 1; nx <= W; ++nx) {
                    const int x0 = start(std::clamp(nx, s.left / 2, s.right / 2), W, window);
                    const int y0 = start(std::clamp(ny, s.top / 2, s.bottom / 2), H, window);
                    double sum = 0;
                    for (int r = y0; r < y0 + window; ++r)
                        for (int c = x0; c < x0 + window; ++c)
                            sum += std::max(1, int(plane[std::size_t((r - 1) * W + c - 1)]));
                    ASSERT_EQ(grid::node_level(s, plane.data(), nx, ny), sum / (window * window))
                        << "window " << window << " node " << nx << "," << ny << " limits " << lim[0];
                }
        }
}

// The mosaic read in place against its unpacked planes (bits 2..9 of 10-bit
// samples, the byte of 8-bit ones): the brightest window of each plane
// (whole windows stepped short of the far edges) and arbitrary squares, on
// sizes where the last window column and row just fit or not.
TEST(GridTableNodes, MosaicReadsMatchUnpackedPlanes) {
    std::mt19937 rng(13);
    for (int trial = 0; trial < 160; ++trial) {
        const bool ten_bit = trial % 2 == 1;
        const int width = 2 * (2 + int(rng() % 30)), height = 2 * (2 + int(rng() % 30)), hw = width / 2, hh = height / 2;
        std::vector<std::uint8_t> raw(std::size_t(width * height) * (ten_bit ? 2 : 1));
        for (auto& b : raw) b = std::uint8_t(rng() % 5 == 0 ? 0 : rng());
        const Planes planes(raw, width, height, ten_bit);
        for (int i = 0; i < width * height; ++i) {
            const unsigned sample = ten_bit ? raw[2 * std::size_t(i)] >> 2 | (raw[2 * std::size_t(i) + 1] & 3) << 6
                                            : raw[std::size_t(i)];
            const int r = i / width, c = i % width;
            ASSERT_EQ(planes.p[(r % 2) * 2 + c % 2][(r / 2) * hw + c / 2], sample) << trial;
        }
        const grid::MosaicSource mosaic(raw.data(), width, height, ten_bit);
        const int window = 1 + int(rng() % std::size_t(std::min(hw, hh)));
        const auto square = [&](int ch, int x0, int y0) {
            std::uint64_t sum = 0;
            for (int y = y0; y < y0 + window; ++y)
                for (int x = x0; x < x0 + window; ++x) sum += std::max(1, int(planes.p[ch][(y - 1) * hw + x - 1]));
            return sum;
        };
        const auto brightest = mosaic.brightest(window);
        for (int ch = 0; ch < 4; ++ch) {
            double best = 0;
            for (int r = 1; r + window < hh; r += window)
                for (int c = 1; c + window < hw; c += window) best = std::max(best, double(square(ch, c, r)) / (window * window));
            ASSERT_EQ(brightest[std::size_t(ch)], best) << width << "x" << height << " window " << window;
        }
        for (int k = 0; k < 20; ++k) {
            const int x0 = 1 + int(rng() % std::size_t(hw - window + 1)), y0 = 1 + int(rng() % std::size_t(hh - window + 1));
            const auto sums = mosaic.square_sums(x0, y0, window);
            for (int ch = 0; ch < 4; ++ch) ASSERT_EQ(sums[std::size_t(ch)], square(ch, x0, y0));
        }
    }
}

// ---------------------------------------------------------------- the export

// A flat field in both depths with gains shaped only by the radial
// polynomial (100 + 400 r^3): the twelve coefficients of every cell against
// the edges of the interpolating surface, built from independently solved
// natural splines along the rows and columns of node gains.
TEST(GridTableExport, CoefficientsDescribeTheSplineSurfaceInBothDepths) {
    for (bool ten_bit : {false, true}) {
        const int width = 200, height = 160, nx = 5, ny = 4, hw = width / 2, hh = height / 2;
        const auto raw = flat_raw(width, height, 100, ten_bit);
        shading_table_config c = config_for(raw, width, height, nx, ny);
        c.table_kind = 0, c.max_gain_x10 = 5000, c.window = 8;
        c.poly[0] = 100e6, c.poly[3] = 400e6;
        shading_table_result r = poisoned();
        ASSERT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 0);
        ASSERT_EQ(r.count, 16u * (nx - 1) * (ny - 1));
        for (std::size_t k = r.count; k < 1000; ++k) ASSERT_EQ(r.words[k], 0u);

        // Node positions and gains of the model; rows[j] and cols[i] hold them.
        std::vector<double> x(nx), y(ny);
        for (int i = 0; i < nx; ++i) x[std::size_t(i)] = i == nx - 1 ? hw : i * c.cell_width + 1;
        for (int j = 0; j < ny; ++j) y[std::size_t(j)] = j == ny - 1 ? hh : j * c.cell_height + 1;
        const double cx = hw / 2.0 + 1, cy = hh / 2.0 + 1;
        const double far2 = (cx - 1) * (cx - 1) + (cy - 1) * (cy - 1);  // to the farthest corner, (1, 1)
        std::vector<std::vector<double>> rows(ny, std::vector<double>(nx, 0.0));
        std::vector<std::vector<double>> cols(nx, std::vector<double>(ny, 0.0));
        for (std::size_t j = 0; j < std::size_t(ny); ++j)
            for (std::size_t i = 0; i < std::size_t(nx); ++i)
                rows[j][i] = cols[i][j] = float(100 + 400 * std::pow(((x[i] - cx) * (x[i] - cx) + (y[j] - cy) * (y[j] - cy)) / far2, 1.5));
        std::vector<std::vector<double>> mrow, mcol;
        for (const auto& v : rows) mrow.push_back(dense_natural_spline(x, v));
        for (const auto& v : cols) mcol.push_back(dense_natural_spline(y, v));

        for (std::size_t j = 0; j + 1 < std::size_t(ny); ++j)
            for (std::size_t i = 0; i + 1 < std::size_t(nx); ++i) {
                // f(s, t) = c12 + c10 s + c7 s^2 + c3 s^3 + c11 t + c9 t^2 + c6 t^3
                //         + c8 st + c4 s^2 t + c1 s^3 t + c5 s t^2 + c2 s t^3.
                const auto top = piece(x, rows[j], mrow[j], i), bottom = piece(x, rows[j + 1], mrow[j + 1], i);
                const auto left = piece(y, cols[i], mcol[i], j), right = piece(y, cols[i + 1], mcol[i + 1], j);
                std::array<double, 13> m{};
                m[12] = top[0], m[10] = top[1], m[7] = top[2], m[3] = top[3];
                m[11] = left[1], m[9] = left[2], m[6] = left[3];
                m[1] = bottom[3] - m[3], m[4] = bottom[2] - m[7];
                m[2] = right[3] - m[6], m[5] = right[2] - m[9];
                m[8] = bottom[1] - m[10] - m[5] - m[2];
                const int cell = int(j) * (nx - 1) + int(i);
                for (int ch = 0; ch < 4; ++ch)
                    for (int k = 1; k <= 12; ++k) {
                        const int got = coefficient(r, cell, ch, k);
                        const double want = m[std::size_t(k)];
                        // Truncated toward zero; a model value within rounding
                        // of an integer may land on either side of it.
                        if (std::fabs(want - std::round(want)) < 1e-3) {
                            EXPECT_LE(std::fabs(got - want), 1.0 + 1e-3) << "cell " << cell << " c" << k;
                        } else {
                            EXPECT_EQ(got, std::trunc(want)) << "cell " << cell << " c" << k << " model " << want;
                        }
                    }
            }
        // The surface passes through the node gain at each cell's first corner.
        EXPECT_EQ(coefficient(r, 0, 0, 12), int(rows[0][0]));
    }
}

// Node gains in format 1: brightest window over the node level, limited to
// 1 .. max gain, x 8192 + 0.5; every gain 1 without the brightest window.
TEST(GridTableExport, NodeGainsAreBrightestOverLocalLevelWithinTheLimits) {
    const int width = 80, height = 64, nx = 3, ny = 3;
    std::vector<std::uint8_t> raw(std::size_t(width * height));
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = std::uint8_t(i % width < 40 ? 200 : i % width < 60 ? 100 : 40);
    shading_table_config c = config_for(raw, width, height, nx, ny);
    c.window = 2, c.max_gain_x10 = 30;  // gains up to 3.0
    shading_table_result r = poisoned();
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 1, 0), 0);
    // Columns of the nodes: x = 1 (square 1..2, level 200), 20 (19..20,
    // 200), 40 (38..39, image columns 74..79: 40).
    const unsigned want[3] = {8192, 8192, 3 * 8192};  // 200/200, 200/200, 200/40 = 5 limited to 3
    ASSERT_EQ(c.cell_width, 19);
    for (std::size_t k = 0; k < 18; ++k) EXPECT_EQ(r.words[k], want[k / 2 % 3] * 0x10001u) << k;
    // A gain below 1 (a node brighter than the brightest window) is raised
    // to 1; 0.51 x 5 = 2.55 is 20889.6 / 8192, rounded.
    c.poly[0] = 0.51e6;
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 1, 0), 0);
    EXPECT_EQ(std::pair(r.words[0] & 0xFFFF, r.words[4] & 0xFFFF), std::pair(8192u, 20890u));

    // Without the brightest window on a varied field: format 1 holds 1.0
    // everywhere, format 0 only c12 = 1 in the last triple of every channel.
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = std::uint8_t(40 + i % 150);
    c.find_brightest = 0, c.poly[0] = 3e6;
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 1, 0), 0);
    for (std::size_t k = 0; k < 18; ++k) EXPECT_EQ(r.words[k], 8192u | 8192u << 16);
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 0);
    for (std::size_t k = 0; k < 64; ++k) EXPECT_EQ(r.words[k], k % 4 == 3 ? 1u << 20 : 0u) << k;
}

TEST(GridTableExport, SameGreenCopiesChannelOneIntoChannelTwoInBothFormats) {
    const int width = 120, height = 96, nx = 5, ny = 4;
    std::vector<std::uint8_t> raw(std::size_t(width * height));
    for (int r = 0; r < height; ++r)
        for (int col = 0; col < width; ++col) {
            const double d2 = (col - 55.0) * (col - 55.0) + (r - 50.0) * (r - 50.0);
            const int ch = (r % 2) * 2 + col % 2;
            raw[std::size_t(r * width + col)] = std::uint8_t(std::max(5.0, 200 - 25 * ch - (0.02 + 0.04 * ch) * d2 / 4));
        }
    shading_table_config c = config_for(raw, width, height, nx, ny);
    for (int format : {0, 1}) {
        // Large gains for format 0, so that the channels' coefficients differ.
        c.max_gain_x10 = format == 0 ? 100000 : 80;
        c.poly[0] = format == 0 ? 20e6 : 1e6;
        shading_table_result apart = poisoned(), same = poisoned();
        ASSERT_EQ(ShadingCalibrateEx(&c, &apart, format, 0), 0);
        ASSERT_EQ(ShadingCalibrateEx(&c, &same, format, 1), 0);
        // The table with channel 2's words (format 0: words 8..11 of each
        // cell) or half-words (format 1: the low half of every odd word)
        // replaced by channel 1's.
        shading_table_result want = apart;
        for (std::size_t k = 0; k < apart.count; ++k) {
            if (format == 0 && k % 16 >= 8 && k % 16 < 12) want.words[k] = apart.words[k - 4];
            if (format == 1 && k % 2 == 1) want.words[k] = (apart.words[k] & 0xFFFF0000u) | apart.words[k - 1] >> 16;
        }
        EXPECT_NE(std::memcmp(&want, &apart, sizeof want), 0) << format;  // the channels differ
        EXPECT_EQ(std::memcmp(&want, &same, sizeof want), 0) << format;
    }
}

TEST(GridTableExport, ClampedCoefficientsReturnSixWithTheTableWritten) {
    const auto raw = flat_raw(64, 48, 50, true);
    shading_table_config c = config_for(raw, 64, 48, 3, 3);
    c.max_gain_x10 = 100000;
    c.poly[0] = 1000e6;  // every node gain 1000: c12 clamped to 511
    for (int format : {0, 1}) {
        shading_table_result r = poisoned();
        ASSERT_EQ(ShadingCalibrateEx(&c, &r, format, 0), 6) << format;
        EXPECT_STREQ(morvik_last_error(), "a cubic coefficient was clamped to 10 bits");
        EXPECT_EQ(r.count, format == 0 ? 64u : 18u);
        // c12 saturates at 511; node gains 1000 x 8192 at 65535.
        EXPECT_EQ(r.words[format == 0 ? 3 : 0], format == 0 ? 511u << 20 : 0xFFFFFFFFu);
    }
    c.poly[0] = 511e6;
    shading_table_result r = poisoned();
    EXPECT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 0);
    EXPECT_EQ(r.words[3], 511u << 20);
}

// Word limits of the table kinds and the result's capacity, checked before
// the raw pointer; arguments that would leave the planes are rejected. No
// failure touches the result.
TEST(GridTableExport, TableKindLimitsAndRejectionsLeaveTheResultUntouched) {
    const int width = 128, height = 96;  // planes of 64 x 48
    const auto raw = flat_raw(width, height, 100, false);
    const auto kind = [](std::uint32_t k, int nx, int ny) {
        return [=](shading_table_config& c) { c.table_kind = k, set_grid(c, nx, ny); };
    };
    constexpr int invalid = MORVIK_STATUS_INVALID_ARGUMENT;
    const struct {
        std::function<void(shading_table_config&)> change;
        int format, want;
    } cases[] = {
        {kind(0, 6, 5), 0, 0},    {kind(0, 8, 4), 0, 4},     // 320 words; 336
        {kind(0, 16, 10), 1, 0},  {kind(0, 7, 23), 1, 4},    // 320; 322
        {kind(1, 9, 8), 0, 0},    {kind(1, 20, 4), 0, 4},    // 896; 912
        {kind(1, 16, 28), 1, 0},  {kind(1, 17, 27), 1, 4},   // 896; 918
        {kind(1, 17, 13), 0, 4},  {kind(2, 17, 13), 0, 5},   // 3072
        {kind(2, 25, 20), 1, 0},  {kind(2, 22, 23), 1, 5},   // 1000; 1012
        {kind(7, 9, 8), 0, 0},
        {[](auto& c) { c.raw = nullptr; }, 0, 2},    {[&](auto& c) { c.raw = nullptr, kind(0, 7, 5)(c); }, 0, 4},  // 384
        {[](auto&) {}, 2, invalid},                  {[](auto&) {}, -1, invalid},
        {[](auto& c) { c.nx = 1; }, 0, invalid},     {[](auto& c) { c.ny = 1; }, 0, invalid},
        {[](auto& c) { c.nx = 0x7FFFFFFF; }, 0, invalid},
        {[](auto& c) { c.window = 0; }, 0, invalid}, {[](auto& c) { c.window = 49; }, 0, invalid},
        {[](auto& c) { c.window = 48; }, 0, 0},  // as large as the plane
        {[](auto& c) { c.width = 127; }, 0, invalid}, {[](auto& c) { c.width = -128; }, 0, invalid},
        {[](auto& c) { c.height = 2; }, 0, invalid},  {[](auto& c) { c.cell_width = 0; }, 0, invalid},
        {[](auto& c) { c.cell_height = -3; }, 0, invalid},
        {[](auto& c) { c.cell_width = 32; }, 0, invalid},  // node 3 at 65, beyond the last at 64
        {[](auto& c) { c.cell_width = 31; }, 0, 0},        // the last cell of width 2
        {[](auto& c) { c.nx = 3, c.cell_width = 63; }, 0, invalid},  // node 2 on the last at 64
        {[](auto& c) { c.cell_height = 47; }, 0, invalid},           // node 2 on the last at 48
        {[](auto& c) { c.left = 2 * 65, c.right = 2 * 70; }, 0, invalid},  // every node centre beyond the plane
        {[](auto& c) { c.top = c.bottom = 2 * 49; }, 0, invalid},
        // A lower limit beyond the plane with the upper limit inside: the
        // upper limit wins and the centres stay inside.
        {[](auto& c) { c.left = 2 * 65; }, 0, 0},     {[](auto& c) { c.left = 2 * 64; }, 0, 0},
    };
    for (const auto& k : cases) {
        shading_table_config c = config_for(raw, width, height, 4, 3);
        k.change(c);
        shading_table_result r = poisoned();
        const int rc = ShadingCalibrateEx(&c, &r, k.format, 0);
        EXPECT_EQ(rc, k.want) << "case " << &k - cases;
        if (rc == 0) {
            EXPECT_EQ(r.count, std::uint32_t(grid::table_words(k.format, c.nx, c.ny))) << "case " << &k - cases;
        } else {
            EXPECT_TRUE(untouched(r)) << "case " << &k - cases;
            EXPECT_NE(*morvik_last_error(), '\0');
        }
    }
    const shading_table_config good = config_for(raw, width, height, 4, 3);
    shading_table_result r = poisoned();
    EXPECT_EQ(ShadingCalibrateEx(nullptr, &r, 0, 0), invalid);
    EXPECT_EQ(ShadingCalibrateEx(&good, nullptr, 0, 0), invalid);
    EXPECT_TRUE(untouched(r));
}

// Arbitrary configurations on small images: rejected before anything is
// touched, or a documented code with every read inside the image (run under
// the sanitizers).
TEST(GridTableExport, ArbitraryConfigurationsEitherRejectOrStayInBounds) {
    std::mt19937 rng(21);
    const auto pick = [&](std::initializer_list<int> v) { return *(v.begin() + rng() % v.size()); };
    int built = 0;
    for (int trial = 0; trial < 8000; ++trial) {
        const int width = pick({-4, 0, 3, 4, 6, 10, 17, 24, 40}), height = pick({-2, 2, 4, 5, 8, 14, 30});
        const bool ten_bit = rng() % 2 == 1;
        std::vector<std::uint8_t> raw(std::size_t(std::max(width, 0) * std::max(height, 0)) * (ten_bit ? 2 : 1) + 1);
        for (auto& b : raw) b = std::uint8_t(rng());
        raw.pop_back();  // exactly the image: a read beyond it is caught
        shading_table_config c{};
        c.table_kind = std::uint32_t(pick({0, 1, 2}));
        c.bit_depth = ten_bit ? 10 : 8;
        c.raw = raw.empty() ? nullptr : raw.data();
        c.width = width, c.height = height;
        c.left = pick({-50, 0, 1, 3, 9, 40}), c.top = pick({-50, 0, 2, 7, 30});
        c.right = pick({-3, 0, 5, 20, 60}), c.bottom = pick({-3, 0, 4, 16, 60});
        c.nx = pick({0, 1, 2, 3, 5, 9}), c.ny = pick({1, 2, 3, 4, 8});
        c.window = pick({-1, 0, 1, 2, 3, 5, 12});
        c.find_brightest = std::uint8_t(rng() % 2);
        c.max_gain_x10 = pick({-5, 10, 40, 100000});
        c.poly[0] = pick({0, 1000000, 900000000}), c.poly[1] = pick({0, -3000000, 5000000});
        c.centre_offset_x = std::uint32_t(pick({0, 3, 1000}));
        c.cell_width = pick({-1, 0, 1, 2, 3, 6}), c.cell_height = pick({0, 1, 2, 5});
        const int format = pick({-1, 0, 1, 2});
        shading_table_result r = poisoned();
        const int rc = ShadingCalibrateEx(&c, &r, format, int(rng() % 2));
        ASSERT_TRUE(rc == MORVIK_STATUS_INVALID_ARGUMENT || rc == 0 || rc == 2 || rc == 4 || rc == 5 || rc == 6) << rc;
        if (rc == 0 || rc == 6) {
            ASSERT_EQ(r.count, std::uint32_t(grid::table_words(format, c.nx, c.ny)));
            ++built;
        } else {
            ASSERT_TRUE(untouched(r));
        }
    }
    EXPECT_GT(built, 30);
}

// The spline stage on caller planes gives the coefficients that
// ShadingCalibrateEx packs, and reports the last cell's size.
TEST(GridTableProcess, MatchesTheWholeCalibrationOnTheSamePlanes) {
    const int width = 96, height = 72, nx = 4, ny = 3, hw = width / 2, hh = height / 2;
    std::vector<std::uint8_t> raw(std::size_t(width * height) * 2);
    std::mt19937 rng(9);
    for (std::size_t i = 0; i < raw.size() / 2; ++i) {
        const double dx = double(i % width) - 40.0, dy = double(i / width) - 30.0;
        const unsigned v = unsigned(900 - (dx * dx + dy * dy) / 12) + rng() % 9;
        raw[2 * i] = std::uint8_t(v), raw[2 * i + 1] = std::uint8_t(v >> 8);
    }
    shading_table_config c = config_for(raw, width, height, nx, ny);
    c.max_gain_x10 = 25, c.poly[1] = 0.25e6, c.centre_offset_x = 3, c.left = 4, c.right = 80;
    shading_table_result r = poisoned();
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 0);

    const Planes planes(raw, width, height, true);
    const std::size_t cells = std::size_t((nx - 1) * (ny - 1));
    std::vector<std::uint16_t> coef(4 * cells * 12, 0xFFFF);
    std::uint16_t* const out[4] = {&coef[0], &coef[cells * 12], &coef[2 * cells * 12], &coef[3 * cells * 12]};
    shading_table_state st{};
    st.width = width, st.height = height, st.half_width = hw, st.half_height = hh, st.nx = nx, st.ny = ny;
    st.left = c.left, st.top = c.top, st.right = c.right, st.bottom = c.bottom;
    st.cell_width = c.cell_width, st.cell_height = c.cell_height, st.window = c.window;
    st.find_brightest = 1, st.max_gain_x10 = 25, st.centre_x = 3 + hw / 2.0 + 1, st.centre_y = hh / 2.0 + 1;
    for (int k = 0; k < 6; ++k) st.poly[k] = c.poly[k] * 1e-6;
    ASSERT_EQ(Shading_Calibration_Process(&st, planes.p, out), 0);
    EXPECT_EQ(st.last_cell_width, hw - (nx - 2) * c.cell_width);
    EXPECT_EQ(st.last_cell_height, hh - (ny - 2) * c.cell_height);
    for (std::size_t cell = 0; cell < cells; ++cell)
        for (int ch = 0; ch < 4; ++ch)
            for (int k = 1; k <= 12; ++k)
                ASSERT_EQ(decode(out[ch][cell * 12 + std::size_t(k - 1)]), coefficient(r, int(cell), ch, k))
                    << cell << " " << ch << " " << k;

    // Rejections write nothing.
    const std::vector<std::uint16_t> before = coef;
    st.last_cell_width = -7;
    const std::uint8_t* const missing[4] = {planes.p[0], nullptr, planes.p[2], planes.p[3]};
    EXPECT_EQ(Shading_Calibration_Process(&st, missing, out), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(Shading_Calibration_Process(nullptr, planes.p, out), MORVIK_STATUS_INVALID_ARGUMENT);
    shading_table_state bad = st;
    bad.window = hh + 1;
    EXPECT_EQ(Shading_Calibration_Process(&bad, planes.p, out), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(coef, before);
    EXPECT_EQ(st.last_cell_width, -7);
}

// ---------------------------------------------------------------- the command

TEST(GridTableCli, TableAndPictureOrAClearErrorWithNothingLeftBehind) {
    morvik::test::TempDir dir;
    const auto raw = flat_raw(64, 48, 120, true);
    const auto raw_path = dir.path() / "flat.raw", png = dir.path() / "gains.png";
    std::ofstream(raw_path, std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), std::streamsize(raw.size()));
    const std::string image = "shading-table " + raw_path.string() + " --width 64 --height 48 ";
    const std::string base = image + "--bits 10 --grid 3x3 --cell 15x11 --window 4 ";
    // Bad input exits 2, a failed calculation 1; neither leaves a picture.
    const struct {
        std::string args;
        int status;
        std::string says, also = "";
    } cases[] = {
        {base + "--brightest --format gains --json", 0, "\"count\": 18", "\"gain_range\""},
        {base + "--same-green", 0, "result            0 (success)", "words             64"},
        {image + "--bits 10 --grid 1x3 --cell 15x11 --window 4", 2, "--grid"},
        {image + "--bits 10 --grid 3x3 --cell 31x11 --window 4", 2, "--cell"},
        {image + "--bits 10 --grid 3x3 --cell 15x11 --window 40", 2, "--window"},
        {base + "--format words", 2, "--format"},
        {image + "--bits 10 --grid 9x9 --cell 3x2 --window 4 --kind 0", 1, "word limit"},
        {base + "--poly 1,x", 2, "--poly"},
        {image + "--grid 3x3 --cell 15x11 --window 4", 2, "expected 3072"},  // 8-bit reading of a 10-bit file
    };
    for (const auto& k : cases) {
        int status = -1;
        const std::string out = morvik::test::run_cli(k.args + " --png " + png.string(), status);
        EXPECT_EQ(status, k.status) << k.args << "\n" << out;
        EXPECT_TRUE(out.find(k.says) != std::string::npos && out.find(k.also) != std::string::npos) << k.args << "\n" << out;
        EXPECT_EQ(std::filesystem::exists(png), k.status == 0) << k.args;
        std::filesystem::remove(png);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}
