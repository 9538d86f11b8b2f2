// The spline stage of the grid shading table: node levels and gains per
// channel, natural splines through the gains along rows and columns, and the
// twelve cubic coefficients of every cell.
//
// Grid vectors and matrices hold single-precision floats; every formula is
// evaluated in double and rounded to float where its value is kept. Window
// and node means add integer samples, so their sums are exact in any order.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "frame/maths.h"
#include "shading/grid_table.h"

namespace morvik::shading::grid {

namespace {

// Grid storage; a failed allocation prints the line of the allocator it
// stands for and reports false.
bool allocate_vector(std::vector<float>& v, std::size_t n) {
    try {
        v.assign(n, 0.0f);
        return true;
    } catch (const std::bad_alloc&) {
        std::fputs("allocation failure in vector()\n", stdout);
        return false;
    }
}

template <class T>
bool allocate_matrix(std::vector<T>& m, std::size_t rows, std::size_t cols) {
    try {
        m.assign(rows * cols, T{});
        return true;
    } catch (const std::bad_alloc&) {
        std::fputs("allocation failure 2 in matrix()\n", stdout);
        return false;
    }
}

// A sample as the grid sees it: 0 counts as 1.
inline unsigned level_of(std::uint8_t v) { return v + (v == 0); }

}  // namespace

namespace {

// Samples summed in 32 bits before they are carried into 64: 65536 x 256
// cannot overflow.
constexpr int kChunk = 65536;

// Sum of `window` consecutive samples, 0 counted as 1.
inline std::uint64_t run_sum(const std::uint8_t* p, int window) {
    std::uint64_t total = 0;
    for (int c0 = 0; c0 < window; c0 += kChunk) {
        const int end = window - c0 > kChunk ? c0 + kChunk : window;
        std::uint32_t sum = 0;
        for (int c = c0; c < end; ++c) sum += level_of(p[c]);
        total += sum;
    }
    return total;
}

// Number of window columns: starts 1, 1 + window, ... below size - window.
inline int window_count(int size, int window) { return size - window > 1 ? (size - 2) / window : 0; }

double mean_of(std::uint64_t sum, int window) {
    return static_cast<double>(sum) / (static_cast<double>(window) * window);
}

// First row or column (1-based) of a node's averaging square on one axis.
int square_start(int centre, int size, int window) {
    int start;
    if (centre + window > size) {
        start = centre - window;
    } else if (centre > window / 2) {
        start = centre - window / 2;
    } else {
        start = centre;
    }
    return start < 1 ? 1 : start;
}

int clamp_centre(int c, int lo, int hi) {
    if (c < lo) c = lo;
    if (c > hi) c = hi;
    return c;
}

// Node positions: 1, 1 + cell, 1 + 2 cell, ..., and the plane size last.
std::vector<float> node_positions(int n, int cell, int size) {
    std::vector<float> pos(static_cast<std::size_t>(n));
    for (int i = 1; i <= n; ++i)
        pos[static_cast<std::size_t>(i - 1)] =
            i == 1 ? 1.0f : i == n ? static_cast<float>(size) : static_cast<float>((i - 1) * cell + 1);
    return pos;
}

// High byte of a 10-bit sample (low byte first): bits 2..9.
inline std::uint8_t high_byte(const std::uint8_t* p) { return static_cast<std::uint8_t>((p[0] >> 2) | (p[1] << 6)); }

// Sums of `window` sample pairs from p (even and odd columns of one mosaic
// row), 0 counted as 1: 10-bit pairs are little-endian 32-bit words whose
// samples keep bits 2..9 and 18..25; 8-bit pairs are two bytes.
inline void pair_sums(const std::uint8_t* p, int window, bool ten_bit, std::uint64_t& even, std::uint64_t& odd) {
    for (int c0 = 0; c0 < window; c0 += kChunk) {
        const int end = window - c0 > kChunk ? c0 + kChunk : window;
        std::uint32_t e = 0, o = 0;
        if (ten_bit) {
            for (int c = c0; c < end; ++c) {
                std::uint32_t word;
                std::memcpy(&word, p + 4 * std::size_t(c), 4);
                const std::uint32_t a = (word >> 2) & 0xFF, b = (word >> 18) & 0xFF;
                e += a + (a == 0);
                o += b + (b == 0);
            }
        } else {
            for (int c = c0; c < end; ++c) {
                std::uint16_t pair;
                std::memcpy(&pair, p + 2 * std::size_t(c), 2);
                const std::uint32_t a = pair & 0xFFu, b = pair >> 8u;
                e += a + (a == 0);
                o += b + (b == 0);
            }
        }
        even += e;
        odd += o;
    }
}

}  // namespace

double brightest_window(const std::uint8_t* plane, int width, int height, int window) {
    const int columns = window_count(width, window);
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(columns));
    std::uint64_t best = 0;
    for (int r = 1; r < height - window; r += window) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int rr = r; rr < r + window; ++rr) {
            const std::uint8_t* row = plane + static_cast<std::size_t>(rr - 1) * static_cast<std::size_t>(width);
            for (int k = 0; k < columns; ++k)
                sums[static_cast<std::size_t>(k)] += run_sum(row + static_cast<std::size_t>(k) * std::size_t(window), window);
        }
        for (std::uint64_t v : sums) best = v > best ? v : best;
    }
    return mean_of(best, window);
}

PlaneSource::PlaneSource(const std::uint8_t* const planes[4], int width, int height)
    : planes_{planes[0], planes[1], planes[2], planes[3]}, width_(width), height_(height) {}

std::array<double, 4> PlaneSource::brightest(int window) const {
    std::array<double, 4> peaks{};
    for (std::size_t c = 0; c < 4; ++c) peaks[c] = brightest_window(planes_[c], width_, height_, window);
    return peaks;
}

std::array<std::uint64_t, 4> PlaneSource::square_sums(int x0, int y0, int window) const {
    std::array<std::uint64_t, 4> sums{};
    for (std::size_t ch = 0; ch < 4; ++ch)
        for (int r = y0; r < y0 + window; ++r)
            sums[ch] += run_sum(planes_[ch] + static_cast<std::size_t>(r - 1) * static_cast<std::size_t>(width_) +
                                    std::size_t(x0 - 1),
                                window);
    return sums;
}

MosaicSource::MosaicSource(const std::uint8_t* raw, int width, int height, bool ten_bit)
    : raw_(raw), width_(width), height_(height), ten_bit_(ten_bit) {}

// One pass over the mosaic rows that the windows cover: each raw row holds
// two channels, whose windows are summed side by side.
std::array<double, 4> MosaicSource::brightest(int window) const {
    const int w = width_ / 2, h = height_ / 2;
    const int columns = window_count(w, window);
    const auto ucols = static_cast<std::size_t>(columns);
    const std::size_t bytes = ten_bit_ ? 2 : 1;
    const std::size_t stride = static_cast<std::size_t>(width_) * bytes;
    const std::size_t span = std::size_t(window) * 2 * bytes;  // raw bytes of one window row
    std::vector<std::uint64_t> sums(4 * ucols);
    std::array<std::uint64_t, 4> best{};
    for (int r = 1; r < h - window; r += window) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int rr = r; rr < r + window; ++rr)
            for (std::size_t parity = 0; parity < 2; ++parity) {
                const std::uint8_t* row = raw_ + (2 * static_cast<std::size_t>(rr - 1) + parity) * stride;
                std::uint64_t* even = sums.data() + 2 * parity * ucols;
                std::uint64_t* odd = even + ucols;
                for (std::size_t k = 0; k < ucols; ++k) {
                    std::uint64_t e = 0, o = 0;
                    pair_sums(row + k * span, window, ten_bit_, e, o);
                    even[k] += e;
                    odd[k] += o;
                }
            }
        for (std::size_t ch = 0; ch < 4; ++ch)
            for (std::size_t k = 0; k < ucols; ++k) best[ch] = std::max(best[ch], sums[ch * ucols + k]);
    }
    std::array<double, 4> peaks{};
    for (std::size_t ch = 0; ch < 4; ++ch) peaks[ch] = mean_of(best[ch], window);
    return peaks;
}

// The square's rows read once for the two channels of each mosaic row.
std::array<std::uint64_t, 4> MosaicSource::square_sums(int x0, int y0, int window) const {
    const std::size_t bytes = ten_bit_ ? 2 : 1;
    std::array<std::uint64_t, 4> sums{};
    for (int r = y0; r < y0 + window; ++r)
        for (std::size_t parity = 0; parity < 2; ++parity) {
            const std::size_t row = 2 * static_cast<std::size_t>(r - 1) + parity;
            const std::size_t first = row * static_cast<std::size_t>(width_) + 2 * std::size_t(x0 - 1);
            pair_sums(raw_ + first * bytes, window, ten_bit_, sums[2 * parity], sums[2 * parity + 1]);
        }
    return sums;
}

std::array<double, 4> node_levels(const SplineSettings& s, const ChannelSource& source, int node_x, int node_y) {
    const int cx = clamp_centre(node_x, s.left / 2, s.right / 2);
    const int cy = clamp_centre(node_y, s.top / 2, s.bottom / 2);
    const auto sums = source.square_sums(square_start(cx, s.half_width, s.window),
                                         square_start(cy, s.half_height, s.window), s.window);
    std::array<double, 4> levels{};
    for (std::size_t ch = 0; ch < 4; ++ch) {
        const double level = mean_of(sums[ch], s.window);
        levels[ch] = level > 0 ? level : 1.0;
    }
    return levels;
}

double node_level(const SplineSettings& s, const std::uint8_t* plane, int node_x, int node_y) {
    const std::uint8_t* const planes[4] = {plane, plane, plane, plane};
    return node_levels(s, PlaneSource(planes, s.half_width, s.half_height), node_x, node_y)[0];
}

void natural_spline(const float* x, const float* y, int n, float* y2, float* u) {
    y2[0] = u[0] = 0.0f;
    for (int i = 1; i < n - 1; ++i) {
        const double sig = (double(x[i]) - x[i - 1]) / (double(x[i + 1]) - x[i - 1]);
        const double p = sig * y2[i - 1] + 2.0;
        y2[i] = static_cast<float>((sig - 1.0) / p);
        u[i] = static_cast<float>((double(y[i + 1]) - y[i]) / (double(x[i + 1]) - x[i]) -
                                  (double(y[i]) - y[i - 1]) / (double(x[i]) - x[i - 1]));
        u[i] = static_cast<float>((6.0 * u[i] / (double(x[i + 1]) - x[i - 1]) - sig * u[i - 1]) / p);
    }
    y2[n - 1] = 0.0f;
    for (int k = n - 2; k >= 0; --k) y2[k] = static_cast<float>(double(y2[k]) * y2[k + 1] + u[k]);
}

std::uint16_t encode_coefficient(float c, bool& clamped) {
    const double t = std::trunc(static_cast<double>(c));
    double magnitude = maths::fabs(t);
    if (!(magnitude < 512.0)) {
        magnitude = 511.0;
        clamped = true;
    }
    const auto m = static_cast<std::uint16_t>(magnitude);
    return t < 0 ? static_cast<std::uint16_t>(512 + m) : m;
}

SplineSettings settings_from_state(const shading_table_state& st) {
    SplineSettings s;
    s.half_width = st.half_width;
    s.half_height = st.half_height;
    s.nx = st.nx;
    s.ny = st.ny;
    s.cell_width = st.cell_width;
    s.cell_height = st.cell_height;
    s.left = st.left;
    s.top = st.top;
    s.right = st.right;
    s.bottom = st.bottom;
    s.window = st.window;
    s.find_brightest = st.find_brightest != 0;
    s.centre_x = st.centre_x;
    s.centre_y = st.centre_y;
    s.max_gain = static_cast<double>(st.max_gain_x10 < 10 ? 10 : st.max_gain_x10) * 0.1;
    for (int k = 0; k < 6; ++k) s.poly[static_cast<std::size_t>(k)] = st.poly[k];
    return s;
}

const char* check_settings(const SplineSettings& s) {
    if (s.half_width < 2 || s.half_height < 2) return "the channel planes are smaller than 2 x 2";
    if (s.nx < 2 || s.ny < 2) return "the grid needs at least 2 x 2 nodes";
    if (s.window < 1 || s.window > s.half_width || s.window > s.half_height)
        return "the window must be 1 to the plane's width and height";
    if (s.cell_width < 1 || s.cell_height < 1) return "cell sizes must be at least 1";
    // The last node must lie beyond the one before it: half size - (n - 2) x cell >= 2.
    if (std::int64_t{s.nx - 2} * s.cell_width + 1 >= s.half_width ||
        std::int64_t{s.ny - 2} * s.cell_height + 1 >= s.half_height)
        return "the cell sizes put a node outside the plane";
    // A node's averaging centre is clamped to the halved limits; it must stay
    // within the plane. The centre lies within the plane unless the lower
    // limit is raised beyond it.
    const auto outside = [](int first, int last, int lo, int hi, int size) {
        for (int c : {first, last}) {
            if (clamp_centre(c, lo, hi) > size) return true;
        }
        return false;
    };
    if (outside(1, s.half_width, s.left / 2, s.right / 2, s.half_width) ||
        outside(1, s.half_height, s.top / 2, s.bottom / 2, s.half_height))
        return "the node-centre limits put a node beyond the plane";
    return nullptr;
}

SplineRun spline_stage(const SplineSettings& s, const ChannelSource& source) {
    SplineRun run;
    const int nx = s.nx, ny = s.ny, w = s.half_width, h = s.half_height;
    const auto unx = static_cast<std::size_t>(nx), uny = static_cast<std::size_t>(ny);
    const std::size_t cells = (unx - 1) * (uny - 1);

    // Grid matrices of this run.
    std::vector<float> gains, dx, dy, column, dcolumn, scratch;
    if (!allocate_matrix(gains, uny, unx) || !allocate_matrix(dx, uny, unx) || !allocate_matrix(dy, uny, unx) ||
        !allocate_vector(column, uny) || !allocate_vector(dcolumn, uny) ||
        !allocate_vector(scratch, unx > uny ? unx : uny)) {
        run.status = GridStatus::buffer_missing;
        return run;
    }
    for (int ch = 0; ch < 4; ++ch) {
        ChannelGrid& g = run.channels[static_cast<std::size_t>(ch)];
        if (!allocate_matrix(g.quantised, uny, unx) || !allocate_matrix(g.coefficients, cells, kCoefficients)) {
            run.status = GridStatus::buffer_missing;
            return run;
        }
    }
    const std::vector<float> x = node_positions(nx, s.cell_width, w);
    const std::vector<float> y = node_positions(ny, s.cell_height, h);

    // Radius of each node relative to the farthest corner from the centre.
    double far2 = 0;
    for (double cx : {1.0, double(w)})
        for (double cy : {1.0, double(h)}) {
            const double d2 = (cx - s.centre_x) * (cx - s.centre_x) + (cy - s.centre_y) * (cy - s.centre_y);
            far2 = d2 > far2 ? d2 : far2;
        }
    const double far = std::sqrt(far2);

    std::array<double, 4> peaks{};
    if (s.find_brightest) peaks = source.brightest(s.window);
    // Node levels of all four channels, each square read once.
    std::vector<std::array<double, 4>> levels(unx * uny);
    for (std::size_t j = 0; j < uny; ++j)
        for (std::size_t i = 0; i < unx; ++i)
            levels[j * unx + i] = node_levels(s, source, static_cast<int>(x[i]), static_cast<int>(y[j]));

    bool clamped = false;
    for (int ch = 3; ch >= 0; --ch) {
        ChannelGrid& g = run.channels[static_cast<std::size_t>(ch)];
        const double peak = peaks[static_cast<std::size_t>(ch)];

        // Node gains and their quantised form.
        for (int j = 1; j <= ny; ++j) {
            for (int i = 1; i <= nx; ++i) {
                const double level = levels[std::size_t(j - 1) * unx + std::size_t(i - 1)][std::size_t(ch)];
                const double ddy = y[std::size_t(j - 1)] - s.centre_y, ddx = x[std::size_t(i - 1)] - s.centre_x;
                const double r = std::sqrt(ddy * ddy + ddx * ddx) / far;
                const double r2 = r * r, r3 = r2 * r, r4 = r3 * r, r5 = r4 * r;
                const auto& c = s.poly;
                const double poly = c[0] + c[1] * r + c[2] * r2 + c[3] * r3 + c[4] * r4 + c[5] * r5;
                double gain = peak * poly / level;
                if (!(gain >= 1.0)) gain = 1.0;  // also a gain that is not a number
                if (gain > s.max_gain) gain = s.max_gain;
                const std::size_t at = std::size_t(j - 1) * unx + std::size_t(i - 1);
                gains[at] = static_cast<float>(gain);
                const double q = std::trunc(double(gains[at]) * 8192 + 0.5);
                g.quantised[at] = q > 65535.0 ? std::uint16_t{65535} : static_cast<std::uint16_t>(q);
            }
        }
        g.gains.assign(gains.begin(), gains.end());

        // Second derivatives along rows (over x) and columns (over y).
        for (int j = 0; j < ny; ++j) {
            const std::size_t row = std::size_t(j) * unx;
            natural_spline(x.data(), gains.data() + row, nx, dx.data() + row, scratch.data());
        }
        for (int i = 0; i < nx; ++i) {
            for (std::size_t j = 0; j < uny; ++j) column[j] = gains[j * unx + std::size_t(i)];
            natural_spline(y.data(), column.data(), ny, dcolumn.data(), scratch.data());
            for (std::size_t j = 0; j < uny; ++j) dy[j * unx + std::size_t(i)] = dcolumn[j];
        }

        // The twelve coefficients of every cell (1-based names as the table
        // words order them).
        std::uint16_t* out = g.coefficients.data();
        for (int j = 0; j < ny - 1; ++j) {
            const double hy = double(y[std::size_t(j + 1)]) - y[std::size_t(j)];
            for (int i = 0; i < nx - 1; ++i, out += kCoefficients) {
                const double hx = double(x[std::size_t(i + 1)]) - x[std::size_t(i)];
                const auto at = [unx](int row, int col) { return std::size_t(row) * unx + std::size_t(col); };
                const auto ax = [&](int row, int col) { return hx * hx * dx[at(row, col)]; };
                const auto ay = [&](int row, int col) { return hy * hy * dy[at(row, col)]; };
                const auto V = [&](int row, int col) { return double(gains[at(row, col)]); };
                float c[kCoefficients + 1];
                c[3] = static_cast<float>((ax(j, i + 1) - ax(j, i)) / 6);
                c[1] = static_cast<float>((ax(j + 1, i + 1) - ax(j + 1, i)) / 6 - c[3]);
                c[6] = static_cast<float>((ay(j + 1, i) - ay(j, i)) / 6);
                c[2] = static_cast<float>((ay(j + 1, i + 1) - ay(j, i + 1)) / 6 - c[6]);
                c[4] = static_cast<float>(ax(j + 1, i) / 2 - ax(j, i) / 2);
                c[5] = static_cast<float>(ay(j, i + 1) / 2 - ay(j, i) / 2);
                c[7] = static_cast<float>(ax(j, i) / 2);
                c[9] = static_cast<float>(ay(j, i) / 2);
                c[12] = gains[at(j, i)];
                c[10] = static_cast<float>((V(j, i + 1) - V(j, i)) - ax(j, i) / 3 - ax(j, i + 1) / 6);
                c[11] = static_cast<float>((V(j + 1, i) - V(j, i)) - ay(j, i) / 3 - ay(j + 1, i) / 6);
                c[8] = static_cast<float>((V(j + 1, i + 1) - V(j + 1, i)) - ax(j + 1, i) / 3 - ax(j + 1, i + 1) / 6 -
                                          c[10] - c[2] - c[5]);
                for (int k = 1; k <= kCoefficients; ++k) out[k - 1] = encode_coefficient(c[k], clamped);
            }
        }
    }
    if (clamped) run.status = GridStatus::coefficient_clamped;
    return run;
}

}  // namespace morvik::shading::grid
