#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "morvik/morvik.h"
#include "shading/grid_table.h"
#include "support.h"

using morvik::test::run_cli;

namespace grid = morvik::shading::grid;

namespace {

// A raw flat field in either depth, every channel at `level` (8-bit units).
std::vector<std::uint8_t> flat_raw(int width, int height, int level, bool ten_bit) {
    if (!ten_bit) return std::vector<std::uint8_t>(std::size_t(width) * std::size_t(height), std::uint8_t(level));
    std::vector<std::uint8_t> raw(std::size_t(width) * std::size_t(height) * 2);
    const unsigned v = unsigned(level) << 2 | 3u;  // the two low bits are dropped
    for (std::size_t i = 0; i < raw.size(); i += 2) {
        raw[i] = std::uint8_t(v & 0xFF);
        raw[i + 1] = std::uint8_t(v >> 8);
    }
    return raw;
}

// Cell sizes that fit n nodes into a plane of `half` samples.
int cell_for(int half, int n) { return (half - 2) / (n - 1); }

shading_table_config config_for(const std::vector<std::uint8_t>& raw, int width, int height, int nx, int ny) {
    shading_table_config c{};
    c.table_kind = 2;
    c.bit_depth = raw.size() == std::size_t(width) * std::size_t(height) * 2 ? 10 : 8;
    c.raw = raw.data();
    c.width = width;
    c.height = height;
    c.left = 0;
    c.top = 0;
    c.right = width;
    c.bottom = height;
    c.nx = nx;
    c.ny = ny;
    c.window = 4;
    c.gain_scale = 32;
    c.find_brightest = 1;
    c.max_gain_x10 = 40;
    c.poly[0] = 1e6;
    c.cell_width = cell_for(width / 2, nx);
    c.cell_height = cell_for(height / 2, ny);
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

// Natural spline second derivatives by dense Gaussian elimination in double.
std::vector<double> dense_natural_spline(const std::vector<double>& x, const std::vector<double>& y) {
    const std::size_t n = x.size();
    std::vector<std::vector<double>> a(n, std::vector<double>(n + 1, 0.0));
    a[0][0] = 1;
    a[n - 1][n - 1] = 1;
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

TEST(GridTableSpline, SecondDerivativesSolveTheNaturalSystem) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 300; ++trial) {
        const int n = 2 + trial % 15;
        std::vector<float> x(static_cast<std::size_t>(n)), y(static_cast<std::size_t>(n)), y2(static_cast<std::size_t>(n)), u(static_cast<std::size_t>(n));
        float pos = 1;
        for (int i = 0; i < n; ++i) {
            x[std::size_t(i)] = pos;
            pos += float(1 + rng() % 300);
            y[std::size_t(i)] = 1.0f + float(rng() % 70000) / 10000.0f;
        }
        grid::natural_spline(x.data(), y.data(), n, y2.data(), u.data());
        const std::vector<double> xd(x.begin(), x.end()), yd(y.begin(), y.end());
        const auto m = dense_natural_spline(xd, yd);
        for (int i = 0; i < n; ++i) EXPECT_NEAR(y2[std::size_t(i)], m[std::size_t(i)], 1e-6 + 1e-4 * std::fabs(m[std::size_t(i)]));
        EXPECT_EQ(y2[0], 0.0f);
        EXPECT_EQ(y2[std::size_t(n - 1)], 0.0f);
    }
    // Straight lines bend nowhere.
    const float x[5] = {1, 9, 17, 25, 40}, y[5] = {2, 4, 6, 8, 11.75f};
    float y2[5], u[5];
    grid::natural_spline(x, y, 5, y2, u);
    for (float v : y2) EXPECT_EQ(v, 0.0f);
}

TEST(GridTableSpline, CoefficientEncodingTruncatesClampsAndSigns) {
    struct Case {
        float in;
        unsigned out;
        bool clamped;
    };
    const Case cases[] = {{0.0f, 0, false},     {0.99f, 0, false},    {-0.99f, 0, false},  {1.0f, 1, false},
                          {-1.5f, 513, false},  {511.9f, 511, false}, {512.0f, 511, true}, {-511.9f, 1023, false},
                          {-600.0f, 1023, true}, {1e30f, 511, true},  {-1e30f, 1023, true}};
    for (const Case& c : cases) {
        bool clamped = false;
        EXPECT_EQ(grid::encode_coefficient(c.in, clamped), c.out) << c.in;
        EXPECT_EQ(clamped, c.clamped) << c.in;
    }
}

TEST(GridTableUnpack, TenBitKeepsBitsTwoToNineAndEightBitTheByte) {
    const int w = 6, h = 4;
    std::mt19937 rng(3);
    std::vector<std::uint8_t> raw10(std::size_t(w * h * 2)), raw8(std::size_t(w * h));
    for (auto& b : raw10) b = std::uint8_t(rng());
    for (auto& b : raw8) b = std::uint8_t(rng());
    std::vector<std::uint8_t> store(std::size_t(w * h));
    std::uint8_t* const planes[4] = {store.data(), store.data() + 6, store.data() + 12, store.data() + 18};
    grid::unpack_planes(raw10.data(), w, h, true, planes);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            const std::size_t i = std::size_t(r * w + c);
            const unsigned sample = ((unsigned(raw10[2 * i + 1]) * 256 + raw10[2 * i]) << 6) & 0xFF00;
            EXPECT_EQ(planes[(r % 2) * 2 + c % 2][(r / 2) * (w / 2) + c / 2], sample >> 8);
        }
    grid::unpack_planes(raw8.data(), w, h, false, planes);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            EXPECT_EQ(planes[(r % 2) * 2 + c % 2][(r / 2) * (w / 2) + c / 2], raw8[std::size_t(r * w + c)]);
}

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
        const int s = centre + window > size ? centre - window : centre > window / 2 ? centre - window / 2 : centre;
        return std::max(1, s);
    };
    int checked = 0;
    for (int window = 1; window <= H; ++window)
        for (int limit = 0; limit < 4; ++limit) {
            grid::SplineSettings s;
            s.half_width = W;
            s.half_height = H;
            s.window = window;
            // Limits in image pixels: none, a narrow band, odd values (halved
            // with truncation), negative lower limits.
            const int lims[4][4] = {{0, 0, 2 * W, 2 * H}, {6, 4, 11, 9}, {5, 3, 13, 7}, {-9, -9, 2 * W, 2 * H}};
            s.left = lims[limit][0];
            s.top = lims[limit][1];
            s.right = lims[limit][2];
            s.bottom = lims[limit][3];
            for (int ny = 1; ny <= H; ++ny)
                for (int nx = 1; nx <= W; ++nx) {
                    const int cx = std::min(std::max(nx, s.left / 2), s.right / 2);
                    const int cy = std::min(std::max(ny, s.top / 2), s.bottom / 2);
                    const int x0 = start(cx, W, window), y0 = start(cy, H, window);
                    ASSERT_LE(x0 + window - 1, W);
                    ASSERT_LE(y0 + window - 1, H);
                    double sum = 0;
                    for (int r = y0; r < y0 + window; ++r)
                        for (int c = x0; c < x0 + window; ++c)
                            sum += std::max(1, int(plane[std::size_t((r - 1) * W + c - 1)]));
                    ASSERT_EQ(grid::node_level(s, plane.data(), nx, ny), sum / (window * window))
                        << "window " << window << " node " << nx << "," << ny << " limits " << limit;
                    ++checked;
                }
        }
    EXPECT_GT(checked, 1500);
    // Hand-worked: window 4 on a 9-wide plane. Node 9 and node 6 (6 + 4
    // beyond 9) average a whole window before the centre, columns 5..8 and
    // 2..5; node 5 is centred (3..6), node 3 too (1..4); node 2 starts at
    // its centre (2 > 4 / 2 is false): columns 2..5.
    std::vector<std::uint8_t> ramp(std::size_t(W * H));
    for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c) ramp[std::size_t(r * W + c)] = std::uint8_t(10 * (c + 1));
    grid::SplineSettings s;
    s.half_width = W;
    s.half_height = H;
    s.window = 4;
    s.right = 2 * W;
    s.bottom = 2 * H;
    EXPECT_EQ(grid::node_level(s, ramp.data(), 9, 1), 65.0);
    EXPECT_EQ(grid::node_level(s, ramp.data(), 3, 1), 25.0);
    EXPECT_EQ(grid::node_level(s, ramp.data(), 2, 1), 35.0);
    EXPECT_EQ(grid::node_level(s, ramp.data(), 6, 1), 35.0);
    EXPECT_EQ(grid::node_level(s, ramp.data(), 5, 1), 45.0);
}

TEST(GridTableNodes, BrightestWindowStepsByWholeWindowsShortOfTheFarEdges) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        const int W = 2 + int(rng() % 20), H = 2 + int(rng() % 20);
        const int window = 1 + int(rng() % std::min(W, H));
        std::vector<std::uint8_t> plane(std::size_t(W * H));
        for (auto& v : plane) v = std::uint8_t(rng() % 3 == 0 ? 0 : rng() % 256);
        double best = 0;
        for (int r = 1; r + window < H; r += window)
            for (int c = 1; c + window < W; c += window) {
                double sum = 0;
                for (int y = r; y < r + window; ++y)
                    for (int x = c; x < c + window; ++x) sum += std::max(1, int(plane[std::size_t((y - 1) * W + x - 1)]));
                best = std::max(best, sum / (window * window));
            }
        ASSERT_EQ(grid::brightest_window(plane.data(), W, H, window), best) << W << "x" << H << " window " << window;
    }
}

// Reading the mosaic in place gives the planes' windows and squares, in both
// depths, on sizes where the last window column and row just fit or not.
TEST(GridTableNodes, MosaicReadsMatchUnpackedPlanes) {
    std::mt19937 rng(13);
    for (int trial = 0; trial < 120; ++trial) {
        const bool ten_bit = trial % 2 == 1;
        const int width = 2 * (2 + int(rng() % 30)), height = 2 * (2 + int(rng() % 30));
        std::vector<std::uint8_t> raw(std::size_t(width * height) * (ten_bit ? 2 : 1));
        for (auto& b : raw) b = std::uint8_t(rng() % 5 == 0 ? 0 : rng());
        const int hw = width / 2, hh = height / 2;
        std::vector<std::uint8_t> store(std::size_t(4 * hw * hh));
        std::uint8_t* const writable[4] = {store.data(), store.data() + hw * hh, store.data() + 2 * hw * hh,
                                           store.data() + 3 * hw * hh};
        grid::unpack_planes(raw.data(), width, height, ten_bit, writable);
        const std::uint8_t* const planes[4] = {writable[0], writable[1], writable[2], writable[3]};
        const grid::PlaneSource from_planes(planes, hw, hh);
        const grid::MosaicSource from_mosaic(raw.data(), width, height, ten_bit);
        const int window = 1 + int(rng() % std::min(hw, hh));
        ASSERT_EQ(from_mosaic.brightest(window), from_planes.brightest(window)) << width << "x" << height;
        for (int k = 0; k < 20; ++k) {
            const int x0 = 1 + int(rng() % std::size_t(hw - window + 1)), y0 = 1 + int(rng() % std::size_t(hh - window + 1));
            ASSERT_EQ(from_mosaic.square_sums(x0, y0, window), from_planes.square_sums(x0, y0, window));
        }
    }
}

// ---------------------------------------------------------------- the export

// A flat field in both depths with gains shaped only by the radial
// polynomial (150 + 250 r^2): the twelve coefficients of every cell against
// the edges of the interpolating surface, built from independently solved
// natural splines along the rows and columns of node gains.
TEST(GridTableExport, CoefficientsDescribeTheSplineSurfaceInBothDepths) {
    for (bool ten_bit : {false, true}) {
        const int width = 200, height = 160, nx = 5, ny = 4;
        const auto raw = flat_raw(width, height, 100, ten_bit);
        shading_table_config c = config_for(raw, width, height, nx, ny);
        c.table_kind = 0;
        c.max_gain_x10 = 5000;
        c.poly[0] = 150e6;
        c.poly[2] = 250e6;
        c.window = 8;
        shading_table_result r = poisoned();
        ASSERT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 0);
        ASSERT_EQ(r.count, 16u * (nx - 1) * (ny - 1));
        for (std::size_t k = r.count; k < 1000; ++k) ASSERT_EQ(r.words[k], 0u);

        // Node positions and gains of the model.
        const int hw = width / 2, hh = height / 2;
        std::vector<double> x(nx), y(ny);
        for (int i = 0; i < nx; ++i) x[std::size_t(i)] = i == nx - 1 ? hw : i * c.cell_width + 1;
        for (int j = 0; j < ny; ++j) y[std::size_t(j)] = j == ny - 1 ? hh : j * c.cell_height + 1;
        const double cx = hw / 2.0 + 1, cy = hh / 2.0 + 1;
        double far2 = 0;
        for (double px : {1.0, double(hw)})
            for (double py : {1.0, double(hh)}) far2 = std::max(far2, (px - cx) * (px - cx) + (py - cy) * (py - cy));
        std::vector<std::vector<double>> v(static_cast<std::size_t>(ny), std::vector<double>(static_cast<std::size_t>(nx)));
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i) {
                const double r2 = ((x[std::size_t(i)] - cx) * (x[std::size_t(i)] - cx) +
                                   (y[std::size_t(j)] - cy) * (y[std::size_t(j)] - cy)) /
                                  far2;
                v[std::size_t(j)][std::size_t(i)] = float(150 + 250 * r2);
            }
        std::vector<std::vector<double>> mrow(static_cast<std::size_t>(ny)), mcol(static_cast<std::size_t>(nx));
        for (int j = 0; j < ny; ++j) mrow[std::size_t(j)] = dense_natural_spline(x, v[std::size_t(j)]);
        std::vector<std::vector<double>> columns(static_cast<std::size_t>(nx), std::vector<double>(static_cast<std::size_t>(ny)));
        for (int i = 0; i < nx; ++i) {
            for (int j = 0; j < ny; ++j) columns[std::size_t(i)][std::size_t(j)] = v[std::size_t(j)][std::size_t(i)];
            mcol[std::size_t(i)] = dense_natural_spline(y, columns[std::size_t(i)]);
        }

        int compared = 0;
        for (int j = 0; j + 1 < ny; ++j)
            for (int i = 0; i + 1 < nx; ++i) {
                // f(s, t) = c12 + c10 s + c7 s^2 + c3 s^3 + c11 t + c9 t^2 + c6 t^3
                //         + c8 st + c4 s^2 t + c1 s^3 t + c5 s t^2 + c2 s t^3.
                const auto top = piece(x, v[std::size_t(j)], mrow[std::size_t(j)], std::size_t(i));
                const auto bottom = piece(x, v[std::size_t(j + 1)], mrow[std::size_t(j + 1)], std::size_t(i));
                const auto left = piece(y, columns[std::size_t(i)], mcol[std::size_t(i)], std::size_t(j));
                const auto right = piece(y, columns[std::size_t(i + 1)], mcol[std::size_t(i + 1)], std::size_t(j));
                std::array<double, 13> m{};
                m[12] = top[0];
                m[10] = top[1];
                m[7] = top[2];
                m[3] = top[3];
                m[11] = left[1];
                m[9] = left[2];
                m[6] = left[3];
                m[1] = bottom[3] - m[3];
                m[4] = bottom[2] - m[7];
                m[2] = right[3] - m[6];
                m[5] = right[2] - m[9];
                m[8] = bottom[1] - m[10] - m[5] - m[2];
                const int cell = j * (nx - 1) + i;
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
                        ++compared;
                    }
            }
        EXPECT_EQ(compared, 12 * 12 * 4);
        // The surface passes through the node gain at each cell's first corner.
        EXPECT_EQ(coefficient(r, 0, 0, 12), int(v[0][0]));
    }
}

TEST(GridTableExport, WithoutTheBrightestWindowEveryGainIsOne) {
    const int width = 64, height = 48;
    auto raw = flat_raw(width, height, 90, false);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = std::uint8_t(40 + i % 150);
    shading_table_config c = config_for(raw, width, height, 4, 3);
    c.find_brightest = 0;
    c.poly[0] = 3e6;
    shading_table_result r = poisoned();
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 1, 0), 0);
    ASSERT_EQ(r.count, 24u);
    for (std::size_t k = 0; k < 24; ++k) EXPECT_EQ(r.words[k], 8192u | 8192u << 16);
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 0);
    ASSERT_EQ(r.count, 16u * 3 * 2);
    // Only c12 = 1 in the last triple of every channel's four words.
    for (std::size_t k = 0; k < r.count; ++k) EXPECT_EQ(r.words[k], k % 4 == 3 ? 1u << 20 : 0u) << k;
}

TEST(GridTableExport, SameGreenCopiesChannelOneIntoChannelTwoInBothFormats) {
    const int width = 120, height = 96, nx = 5, ny = 4;
    std::vector<std::uint8_t> raw(std::size_t(width * height));
    for (int r = 0; r < height; ++r)
        for (int col = 0; col < width; ++col) {
            const double dx = col - 55.0, dy = r - 50.0;
            const int ch = (r % 2) * 2 + col % 2;
            raw[std::size_t(r * width + col)] =
                std::uint8_t(std::max(5.0, 200 - 25 * ch - (0.02 + 0.04 * ch) * (dx * dx + dy * dy) / 4));
        }
    shading_table_config c = config_for(raw, width, height, nx, ny);
    c.max_gain_x10 = 80;
    for (int format : {0, 1}) {
        shading_table_result apart = poisoned(), same = poisoned();
        ASSERT_EQ(ShadingCalibrateEx(&c, &apart, format, 0), 0);
        ASSERT_EQ(ShadingCalibrateEx(&c, &same, format, 1), 0);
        ASSERT_EQ(apart.count, same.count);
        bool channels_differ = false;
        if (format == 0) {
            for (std::size_t cell = 0; cell < std::size_t((nx - 1) * (ny - 1)); ++cell)
                for (std::size_t w = 0; w < 4; ++w) {
                    const std::size_t at = cell * 16;
                    EXPECT_EQ(same.words[at + 8 + w], same.words[at + 4 + w]);
                    EXPECT_EQ(same.words[at + 4 + w], apart.words[at + 4 + w]);  // channel 1 itself unchanged
                    EXPECT_EQ(same.words[at + w], apart.words[at + w]);
                    EXPECT_EQ(same.words[at + 12 + w], apart.words[at + 12 + w]);
                    channels_differ = channels_differ || apart.words[at + 8 + w] != apart.words[at + 4 + w];
                }
        } else {
            for (std::size_t n = 0; n < std::size_t(nx * ny); ++n) {
                EXPECT_EQ(same.words[2 * n + 1] & 0xFFFF, same.words[2 * n] >> 16);
                EXPECT_EQ(same.words[2 * n], apart.words[2 * n]);
                EXPECT_EQ(same.words[2 * n + 1] >> 16, apart.words[2 * n + 1] >> 16);
                channels_differ = channels_differ || (apart.words[2 * n + 1] & 0xFFFF) != (apart.words[2 * n] >> 16);
            }
        }
        EXPECT_TRUE(channels_differ) << "format " << format;
    }
}

// Node gains of a vignetted field in format 1: brightest window over the
// node level, limited to 1 .. max gain, x 8192 + 0.5.
TEST(GridTableExport, NodeGainsAreBrightestOverLocalLevelWithinTheLimits) {
    const int width = 80, height = 64, nx = 3, ny = 3;
    std::vector<std::uint8_t> raw(std::size_t(width * height));
    for (int r = 0; r < height; ++r)
        for (int col = 0; col < width; ++col)
            raw[std::size_t(r * width + col)] = std::uint8_t(col < 40 ? 200 : col < 60 ? 100 : 40);
    shading_table_config c = config_for(raw, width, height, nx, ny);
    c.window = 2;
    c.max_gain_x10 = 30;  // gains up to 3.0
    shading_table_result r = poisoned();
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 1, 0), 0);
    // Columns of the nodes: x = 1 (square 1..2, level 200), 20 (19..20,
    // 200), 40 (38..39, image columns 74..79: 40).
    const unsigned want[3] = {8192, 8192, 3 * 8192};  // 200/200, 200/200, 200/40 = 5 limited to 3
    ASSERT_EQ(c.cell_width, 19);
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const std::uint32_t w0 = r.words[std::size_t(2 * (j * nx + i))];
            EXPECT_EQ(w0 & 0xFFFF, want[i]) << i << "," << j;
            EXPECT_EQ(w0 >> 16, want[i]);
        }
    // A gain below 1 (a node brighter than the brightest window) is raised to 1.
    c.poly[0] = 0.5e6;
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 1, 0), 0);
    EXPECT_EQ(r.words[0] & 0xFFFF, 8192u);
    EXPECT_EQ(r.words[4] & 0xFFFF, 2u * 8192 + 4096);  // 0.5 x 5 = 2.5
}

TEST(GridTableExport, ClampedCoefficientsReturnSixWithTheTableWritten) {
    const int width = 64, height = 48;
    const auto raw = flat_raw(width, height, 50, true);
    shading_table_config c = config_for(raw, width, height, 3, 3);
    c.max_gain_x10 = 100000;
    c.poly[0] = 1000e6;  // every node gain 1000: c12 clamped to 511
    for (int format : {0, 1}) {
        shading_table_result r = poisoned();
        ASSERT_EQ(ShadingCalibrateEx(&c, &r, format, 0), 6) << format;
        EXPECT_STREQ(morvik_last_error(), "a cubic coefficient was clamped to 10 bits");
        if (format == 0) {
            EXPECT_EQ(r.count, 64u);
            EXPECT_EQ(r.words[3], 511u << 20);
        } else {
            EXPECT_EQ(r.count, 18u);
            EXPECT_EQ(r.words[0], 0xFFFFFFFFu);  // 1000 x 8192 saturates at 65535
        }
    }
    c.poly[0] = 511e6;
    shading_table_result r = poisoned();
    EXPECT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 0);
    EXPECT_EQ(r.words[3], 511u << 20);
}

TEST(GridTableExport, TableKindLimitsAndResultCapacity) {
    const int width = 400, height = 400;
    const auto raw = flat_raw(width, height, 100, false);
    struct Case {
        std::uint32_t kind;
        int format, nx, ny;
        int want;
    };
    const Case cases[] = {
        {0, 0, 6, 5, 0},    {0, 0, 8, 4, 4},    // 320 words; 336
        {0, 1, 16, 10, 0},  {0, 1, 7, 23, 4},   // 320; 322
        {1, 0, 9, 8, 0},    {1, 0, 20, 4, 4},   // 896; 912
        {1, 1, 16, 28, 0},  {1, 1, 17, 27, 4},  // 896; 918
        {0, 0, 17, 13, 4},  {1, 0, 17, 13, 4},  {2, 0, 17, 13, 5},  // 3072 words
        {2, 1, 25, 20, 0},  {2, 1, 22, 23, 5},  // 1000; 1012
        {7, 0, 9, 8, 0},
    };
    for (const Case& k : cases) {
        shading_table_config c = config_for(raw, width, height, k.nx, k.ny);
        c.table_kind = k.kind;
        shading_table_result r = poisoned();
        const int rc = ShadingCalibrateEx(&c, &r, k.format, 0);
        EXPECT_EQ(rc, k.want) << "kind " << k.kind << " format " << k.format << " " << k.nx << "x" << k.ny;
        if (rc == 0) {
            EXPECT_EQ(r.count, std::uint32_t(grid::table_words(k.format, k.nx, k.ny)));
        } else {
            EXPECT_TRUE(untouched(r));
        }
    }
}

TEST(GridTableExport, RejectionsLeaveTheResultUntouched) {
    const int width = 64, height = 48;
    const auto raw = flat_raw(width, height, 100, false);
    const shading_table_config good = config_for(raw, width, height, 4, 3);
    shading_table_result r = poisoned();
    ASSERT_EQ(ShadingCalibrateEx(&good, &r, 0, 0), 0);

    // The raw pointer is examined after the table's limit.
    shading_table_config c = good;
    c.raw = nullptr;
    r = poisoned();
    EXPECT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 2);
    EXPECT_TRUE(untouched(r));
    c.table_kind = 0;
    c.nx = 7;
    c.ny = 5;  // 384 words
    c.cell_width = cell_for(width / 2, 7);
    c.cell_height = cell_for(height / 2, 5);
    EXPECT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 4);
    EXPECT_TRUE(untouched(r));

    const auto rejected = [&](auto change, int format = 0) {
        shading_table_config bad = good;
        change(bad);
        shading_table_result out = poisoned();
        const int rc = ShadingCalibrateEx(&bad, &out, format, 0);
        return rc == MORVIK_STATUS_INVALID_ARGUMENT && untouched(out) && *morvik_last_error() != '\0';
    };
    EXPECT_TRUE(rejected([](auto&) {}, 2));
    EXPECT_TRUE(rejected([](auto&) {}, -1));
    EXPECT_TRUE(rejected([](auto& b) { b.nx = 1; }));
    EXPECT_TRUE(rejected([](auto& b) { b.ny = 1; }));
    EXPECT_TRUE(rejected([](auto& b) { b.window = 0; }));
    EXPECT_TRUE(rejected([](auto& b) { b.window = 25; }));  // plane is 32 x 24
    EXPECT_TRUE(rejected([](auto& b) { b.width = 63; }));
    EXPECT_TRUE(rejected([](auto& b) { b.height = 2; }));
    EXPECT_TRUE(rejected([](auto& b) { b.width = -64; }));
    EXPECT_TRUE(rejected([](auto& b) { b.cell_width = 0; }));
    EXPECT_TRUE(rejected([](auto& b) { b.cell_height = -3; }));
    EXPECT_TRUE(rejected([](auto& b) { b.cell_width = 16; }));  // node 3 at 33, beyond the last at 32
    EXPECT_TRUE(rejected([](auto& b) { b.nx = 0x7FFFFFFF; }));
    EXPECT_TRUE(rejected([](auto& b) {  // every node centre beyond the plane
        b.left = 2 * 33;
        b.right = 2 * 40;
    }));
    EXPECT_TRUE(rejected([](auto& b) {
        b.top = 2 * 25;
        b.bottom = 2 * 25;
    }));
    // A lower limit beyond the plane with the upper limit inside: the upper
    // limit wins and the centres stay inside.
    EXPECT_FALSE(rejected([](auto& b) { b.left = 2 * 33; }));
    // Edges that still fit: the last cell of width 2, a window as large as the plane.
    EXPECT_FALSE(rejected([](auto& b) { b.cell_width = 15; }));
    EXPECT_FALSE(rejected([](auto& b) { b.window = 24; }));
    EXPECT_FALSE(rejected([](auto& b) { b.left = 2 * 32; }));

    EXPECT_EQ(ShadingCalibrateEx(nullptr, &r, 0, 0), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ShadingCalibrateEx(&good, nullptr, 0, 0), MORVIK_STATUS_INVALID_ARGUMENT);
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
        c.width = width;
        c.height = height;
        c.left = pick({-50, 0, 1, 3, 9, 40});
        c.top = pick({-50, 0, 2, 7, 30});
        c.right = pick({-3, 0, 5, 20, 60});
        c.bottom = pick({-3, 0, 4, 16, 60});
        c.nx = pick({0, 1, 2, 3, 5, 9});
        c.ny = pick({1, 2, 3, 4, 8});
        c.window = pick({-1, 0, 1, 2, 3, 5, 12});
        c.find_brightest = std::uint8_t(rng() % 2);
        c.max_gain_x10 = pick({-5, 10, 40, 100000});
        c.poly[0] = pick({0, 1000000, 900000000});
        c.poly[1] = pick({0, -3000000, 5000000});
        c.centre_offset_x = std::uint32_t(pick({0, 3, 1000}));
        c.cell_width = pick({-1, 0, 1, 2, 3, 6});
        c.cell_height = pick({0, 1, 2, 5});
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
    const int width = 96, height = 72, nx = 4, ny = 3;
    std::vector<std::uint8_t> raw(std::size_t(width * height) * 2);
    std::mt19937 rng(9);
    for (int r = 0; r < height; ++r)
        for (int col = 0; col < width; ++col) {
            const double d2 = (col - 40.0) * (col - 40.0) + (r - 30.0) * (r - 30.0);
            const unsigned v = unsigned(900 - d2 / 12) + rng() % 9;
            raw[2 * std::size_t(r * width + col)] = std::uint8_t(v);
            raw[2 * std::size_t(r * width + col) + 1] = std::uint8_t(v >> 8);
        }
    shading_table_config c = config_for(raw, width, height, nx, ny);
    c.max_gain_x10 = 25;
    c.poly[1] = 0.25e6;
    c.centre_offset_x = 3;
    c.left = 4;
    c.right = 80;
    shading_table_result r = poisoned();
    ASSERT_EQ(ShadingCalibrateEx(&c, &r, 0, 0), 0);

    const int hw = width / 2, hh = height / 2;
    std::vector<std::uint8_t> store(std::size_t(4 * hw * hh));
    std::uint8_t* const writable[4] = {store.data(), store.data() + hw * hh, store.data() + 2 * hw * hh,
                                       store.data() + 3 * hw * hh};
    grid::unpack_planes(raw.data(), width, height, true, writable);
    const std::uint8_t* const planes[4] = {writable[0], writable[1], writable[2], writable[3]};
    const std::size_t cells = std::size_t((nx - 1) * (ny - 1));
    std::vector<std::uint16_t> coef(4 * cells * 12, 0xFFFF);
    std::uint16_t* const out[4] = {coef.data(), coef.data() + cells * 12, coef.data() + 2 * cells * 12,
                                   coef.data() + 3 * cells * 12};

    shading_table_state st{};
    st.width = width;
    st.height = height;
    st.left = c.left;
    st.top = c.top;
    st.right = c.right;
    st.bottom = c.bottom;
    st.cell_width = c.cell_width;
    st.cell_height = c.cell_height;
    st.window = c.window;
    st.half_width = hw;
    st.half_height = hh;
    st.nx = nx;
    st.ny = ny;
    st.find_brightest = 1;
    st.max_gain_x10 = 25;
    st.centre_x = 3 + hw / 2.0 + 1;
    st.centre_y = hh / 2.0 + 1;
    for (int k = 0; k < 6; ++k) st.poly[k] = c.poly[k] * 1e-6;
    ASSERT_EQ(Shading_Calibration_Process(&st, planes, out), 0);
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
    const std::uint8_t* const missing[4] = {planes[0], nullptr, planes[2], planes[3]};
    EXPECT_EQ(Shading_Calibration_Process(&st, missing, out), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(Shading_Calibration_Process(nullptr, planes, out), MORVIK_STATUS_INVALID_ARGUMENT);
    shading_table_state bad = st;
    bad.window = hh + 1;
    EXPECT_EQ(Shading_Calibration_Process(&bad, planes, out), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(coef, before);
    EXPECT_EQ(st.last_cell_width, -7);
}

// ---------------------------------------------------------------- the command

namespace {


}  // namespace

TEST(GridTableCli, TableAndPictureOrAClearErrorWithNothingLeftBehind) {
    morvik::test::TempDir dir;
    const auto raw = flat_raw(64, 48, 120, true);
    const auto raw_path = dir.path() / "flat.raw";
    {
        std::FILE* f = std::fopen(raw_path.string().c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(raw.data(), 1, raw.size(), f);
        std::fclose(f);
    }
    const std::string base = "shading-table " + raw_path.string() + " --width 64 --height 48 --bits 10 ";
    const auto png = dir.path() / "gains.png";
    int status = -1;
    std::string out = run_cli(base + "--grid 3x3 --cell 15x11 --window 4 --brightest --format gains --json --png " +
                                  png.string(),
                              status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("\"count\": 18"), std::string::npos) << out;
    EXPECT_NE(out.find("\"gain_range\""), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists(png));
    std::filesystem::remove(png);

    out = run_cli(base + "--grid 3x3 --cell 15x11 --window 4 --same-green", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("result            0 (success)"), std::string::npos) << out;
    EXPECT_NE(out.find("words             64"), std::string::npos) << out;

    // Bad input exits 2, a failed calculation 1; neither leaves a picture.
    const struct {
        std::string args;
        int status;
        std::string says;
    } failures[] = {
        {"--grid 1x3 --cell 15x11 --window 4", 2, "--grid"},
        {"--grid 3x3 --cell 31x11 --window 4", 2, "--cell"},
        {"--grid 3x3 --cell 15x11 --window 40", 2, "--window"},
        {"--grid 3x3 --cell 15x11 --window 4 --format words", 2, "--format"},
        {"--grid 9x9 --cell 3x2 --window 4 --kind 0", 1, "word limit"},
        {"--grid 3x3 --cell 15x11 --window 4 --poly 1,x", 2, "--poly"},
    };
    for (const auto& f : failures) {
        out = run_cli(base + f.args + " --png " + png.string(), status);
        EXPECT_EQ(status, f.status) << f.args << "\n" << out;
        EXPECT_NE(out.find(f.says), std::string::npos) << out;
        EXPECT_FALSE(std::filesystem::exists(png)) << f.args;
    }
    out = run_cli("shading-table " + raw_path.string() + " --width 64 --height 48 --grid 3x3 --cell 15x11 --window 4",
                  status);
    EXPECT_EQ(status, 2) << out;  // 8-bit reading of a 10-bit file: wrong size
    EXPECT_NE(out.find("expected 3072"), std::string::npos) << out;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}
