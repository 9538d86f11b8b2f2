// Defective-pixel counting. A tested value c with same-channel neighbours
// (mean m, deviation s over all of them) is compared with the neighbours
// inside the band m - s <= v <= m + s: with n of them summing to sum, it is
// bright when c*n > sum + t*n, dark when c*n < sum - t*n.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "verify/verify.h"

namespace morvik::verify {

namespace {

// ---------------------------------------------------------------- range test
//
// The cheapest exact test comes first: when every value of the window (the
// tested value included) lies within t of c, no value can be bright or
// dark. The in-band neighbours are window values, so their mean s/n lies
// between the window's minimum lo and maximum hi; bright needs c - t > s/n,
// so c - t <= lo rules it out, and c + t >= hi rules out dark; n = 0 is
// normal anyway. Including c in lo and hi changes nothing, since c - t <= c
// and c + t >= c. No rounding enters: the test is exact for any window.

// Per byte of three or five rows: maximum and minimum down the rows. In
// blocks of 64 bytes, asking for the rows' bytes well ahead: the rows stream
// in from memory one new row per call.
void column_range(const std::uint8_t* const* rows, int count, std::size_t bytes, std::uint8_t* hi,
                  std::uint8_t* lo) {
    constexpr std::size_t kBlock = 64;
    for (std::size_t b = 0; b < bytes; b += kBlock) {
        for (int i = 0; i < count; ++i) prefetch_ahead(rows[i] + b);
        const std::size_t end = std::min(bytes, b + kBlock);
        for (std::size_t k = b; k < end; ++k) {
            std::uint8_t h = rows[0][k], l = rows[0][k];
            for (int i = 1; i < count; ++i) {
                h = std::max(h, rows[i][k]);
                l = std::min(l, rows[i][k]);
            }
            hi[k] = h;
            lo[k] = l;
        }
    }
}

// out_of_range[k] = 1 when byte k of `tested` (k in [first, last)) can be
// more than t from some value of its window: the bytes k + step * j,
// j = -reach .. reach, of the column ranges. The windows hold the tested
// byte itself, so hi >= c >= lo and the differences cannot wrap.
template <int kReach>
void flag_out_of_range(const std::uint8_t* tested, const std::uint8_t* hi, const std::uint8_t* lo, int step,
                       std::size_t first, std::size_t last, int t, std::uint8_t* out_of_range) {
    const std::uint8_t tt = std::uint8_t(t);
    for (std::size_t k = first; k < last; ++k) {
        std::uint8_t h = hi[k], l = lo[k];
        for (int j = 1; j <= kReach; ++j) {
            h = std::max(h, std::max(hi[k - std::size_t(j * step)], hi[k + std::size_t(j * step)]));
            l = std::min(l, std::min(lo[k - std::size_t(j * step)], lo[k + std::size_t(j * step)]));
        }
        const std::uint8_t c = tested[k];
        out_of_range[k] = std::uint8_t((std::uint8_t(h - c) > tt) | (std::uint8_t(c - l) > tt));
    }
}

// ---------------------------------------------------------------- raw

// Raw windows have 8 neighbours, so m = S/8 and the variance
// (8*S2 - S*S)/64 are exact in double, and v lies in the band exactly when
// (8v - S)^2 <= 8*S2 - S*S: the rounding of the square root and of m -+ s
// can never move an integer across the band's edge, because a band edge
// that is not exactly an integer stays more than 1e-5 away from every one.
// The whole decision therefore runs on integers.

// One window of 3 x 3 cells, four sites each: v[row][column][site], rows
// from the upper stored row r0 downwards, columns from c0 rightwards.
struct RawWindow {
    int v[3][3][4];
};

// Loads window column j (cell column cx) for the window rows below r0.
void load_raw_column(const TestImage& im, int r0, int j, int cx, RawWindow& w) {
    for (int i = 0; i < 3; ++i) {
        const std::uint8_t* a = im.row(r0 - 2 * i) + 3 * cx;
        const std::uint8_t* b = im.row(r0 - 2 * i - 1) + 3 * cx;
        w.v[i][j][0] = a[0];
        w.v[i][j][1] = a[3];
        w.v[i][j][2] = b[0];
        w.v[i][j][3] = b[3];
    }
}

// True when no site of the tested cell can be bright or dark, decided from
// the window sums alone. A bright site needs c - t above the in-band mean,
// which is at least m - s: so c - t <= m - s rules it out, i.e.
// 8s <= S - 8(c - t) =: A, i.e. A >= 0 and 64s^2 = 8*S2 - S*S <= A^2.
// Dark is ruled out likewise by c + t >= m + s.
int raw_site_is_normal(int c, int sum, int sq, int t) {
    const int band = 8 * sq - sum * sum;
    const int a = sum - 8 * (c - t), b = 8 * (c + t) - sum;
    return (a >= 0) & (b >= 0) & (band <= a * a) & (band <= b * b);
}

bool raw_cell_is_normal(const RawWindow& w, int ti, int tj, int t) {
    int sum[4] = {}, sq[4] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 4; ++k) {
                sum[k] += w.v[i][j][k];
                sq[k] += w.v[i][j][k] * w.v[i][j][k];
            }
    int normal = 1;
    for (int k = 0; k < 4; ++k) {
        const int c = w.v[ti][tj][k];
        normal &= raw_site_is_normal(c, sum[k] - c, sq[k] - c * c, t);
    }
    return normal != 0;
}

// Bright (+1), dark (-1) or normal (0) for each site of the tested cell
// (ti, tj) of the window.
void judge_raw_cell(const RawWindow& w, int ti, int tj, int t, int verdict[4]) {
    int c[4], sum[4], sq[4], band[4], n[4], s[4];
    for (int k = 0; k < 4; ++k) {
        c[k] = w.v[ti][tj][k];
        sum[k] = -c[k];
        sq[k] = -c[k] * c[k];
    }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 4; ++k) {
                sum[k] += w.v[i][j][k];
                sq[k] += w.v[i][j][k] * w.v[i][j][k];
            }
    for (int k = 0; k < 4; ++k) {
        band[k] = 8 * sq[k] - sum[k] * sum[k];
        // The tested value is taken out again below if it counted.
        const int e = 8 * c[k] - sum[k];
        const int in = e * e <= band[k];
        n[k] = -in;
        s[k] = -in * c[k];
    }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 4; ++k) {
                const int v = w.v[i][j][k];
                const int e = 8 * v - sum[k];
                const int in = e * e <= band[k];
                n[k] += in;
                s[k] += in * v;
            }
    for (int k = 0; k < 4; ++k) {
        const int cn = c[k] * n[k], tn = t * n[k];
        verdict[k] = (cn > s[k] + tn) - (cn < s[k] - tn);
    }
}

}  // namespace

DefectOutcome defect_raw(const TestImage& im, int bayer_order, int t) {
    DefectOutcome out;
    // The cell grid: columns 0 .. cols-1 (an odd width's last column belongs
    // to no cell), upper rows base+1 .. height-1 (an odd height leaves out
    // stored row 0). The window is clamped to it.
    const int cols = im.width & ~1;
    const int base = im.height & 1;
    int check[4] = {255, 255, 255, 255};
    // Column ranges and out-of-range flags of one stored row (per byte).
    const std::size_t row_bytes = std::size_t(3) * std::size_t(im.width);
    std::vector<std::uint8_t> hi(row_bytes), lo(row_bytes), flags[2] = {std::vector<std::uint8_t>(row_bytes),
                                                                        std::vector<std::uint8_t>(row_bytes)};
    for (int y = im.height - 1; y >= 1; y -= 2) {
        const int r0 = y < base + 3 ? base + 5 : (y > im.height - 3 ? im.height - 1 : y + 2);
        const int ti = (r0 - y) / 2;

        auto count_cell = [&](int x) {
            const int c0 = x < 2 ? 0 : (x > cols - 4 ? cols - 6 : x - 2);
            const int tj = (x - c0) / 2;
            RawWindow w;
            for (int j = 0; j < 3; ++j) load_raw_column(im, r0, j, c0 + 2 * j, w);
            if (raw_cell_is_normal(w, ti, tj, t)) return;
            int verdict[4];
            judge_raw_cell(w, ti, tj, t, verdict);
            for (int k = 0; k < 4; ++k) {
                if (verdict[k] < 0) ++out.dark;
                if (verdict[k] <= 0) continue;
                ++out.bright;
                // The check value a correction stage would need: one below
                // the difference between the window's middle cell (the
                // tested cell, away from the borders) and its corner cells
                // other than the tested one.
                for (int i = 0; i <= 2; i += 2)
                    for (int j = 0; j <= 2; j += 2) {
                        if (i == ti && j == tj) continue;
                        const int d = std::abs(w.v[1][1][k] - w.v[i][j][k]);
                        if (d <= check[k]) check[k] = d > 0 ? d - 1 : 0;
                    }
            }
        };

        // Cells 2 .. cols-4 have the window columns x-2 .. x+3: each of
        // their bytes sees bytes k-6, k, k+6 of the three window rows of its
        // half (the two unused bytes of each pixel ride along, so the loops
        // run on contiguous bytes and vectorise). The window, clamped to the
        // cell grid, always holds the tested cell, as the range test needs.
        // Only cells with a site out of range are judged one by one.
        int x = 0;
        for (; x < std::min(2, cols); x += 2) count_cell(x);
        if (cols - 4 >= 2) {
            const std::size_t first = 6, last = std::size_t(3) * std::size_t(cols - 2);
            for (int half = 0; half < 2; ++half) {
                const std::uint8_t* rows[3] = {im.row(r0 - half), im.row(r0 - 2 - half), im.row(r0 - 4 - half)};
                column_range(rows, 3, last + 6, hi.data(), lo.data());
                flag_out_of_range<1>(im.row(y - half), hi.data(), lo.data(), 6, first, last, t,
                                     flags[half].data());
            }
            for (; x <= cols - 4; x += 2) {
                const std::size_t b = std::size_t(3) * std::size_t(x);
                if (flags[0][b] | flags[0][b + 3] | flags[1][b] | flags[1][b + 3]) count_cell(x);
            }
        }
        for (; x < cols; x += 2) count_cell(x);
    }
    out.stats = raw_cell_stats<std::uint64_t>(im);
    const auto g = std::uint32_t(std::min(check[0], check[3]));
    const auto rb = std::uint32_t(std::min(check[1], check[2]));
    out.g_check = greens_at_0_3(bayer_order) ? g : rb;
    out.rb_check = greens_at_0_3(bayer_order) ? rb : g;
    return out;
}

// ---------------------------------------------------------------- colour

namespace {

constexpr double kOneTwentyFourth = 0.041666666666666664;

// The 5 x 5 window of one tested pixel: its rows and first column.
struct ColourWindow {
    const std::uint8_t* const* rows;
    int x0;
};

// A shortcut of judge_colour() on integers: true only when the value is
// certainly normal there. In exact terms m = S/24 and var = D/576 with
// D = 24*S2 - S*S. With A = S - 24(c - t) > 0 and D < A^2, the deviation
// stays below m - (c - t) by more than 2.7e-6 (and by more than 0.03 when
// it is below 0.01), far beyond the rounding of the double computation, so
// m - sd > c - t and c cannot be bright; B = 24(c + t) - S rules out dark
// likewise.
int surely_normal(int c, int sum, int sq, int t) {
    const int d = 24 * sq - sum * sum;
    const int a = sum - 24 * (c - t), b = 24 * (c + t) - sum;
    return (a > 0) & (b > 0) & (d < a * a) & (d < b * b);
}

// Decision for channel value c (byte offset `off`) whose 24 neighbours sum
// to `sum` with squares summing to `sq`.
int judge_colour(const ColourWindow& w, int off, int c, int sum, int sq, int t) {
    const double m = sum * kOneTwentyFourth;
    const double sd = std::sqrt(sq * kOneTwentyFourth - m * m);
    // A variance rounded below zero gives no deviation: no neighbour is in
    // the band and the value is normal.
    if (!(sd >= 0)) return 0;
    // Integer v satisfies m - sd <= v <= m + sd exactly when lo <= v <= hi.
    const double lo = std::ceil(m - sd), hi = std::floor(m + sd);
    // The in-band mean lies in [lo, hi]: c can only be bright when
    // c - t > lo and only dark when c + t < hi.
    if ((c - t <= lo && c + t >= hi) || lo > hi) return 0;
    const int ilo = int(lo), ihi = int(hi);
    const int in_c = c >= ilo && c <= ihi;
    int n = -in_c, s = -in_c * c;
    for (int i = 0; i < 5; ++i) {
        const std::uint8_t* p = w.rows[i] + 3 * w.x0 + off;
        for (int j = 0; j < 5; ++j) {
            const int v = p[3 * j];
            const int in = v >= ilo && v <= ihi;
            n += in;
            s += in * v;
        }
    }
    const int cn = c * n, tn = t * n;
    return (cn > s + tn) - (cn < s - tn);
}

}  // namespace

DefectOutcome defect_colour(const TestImage& im, int t) {
    DefectOutcome out;
    const int width = im.width, height = im.height;
    const std::size_t row_bytes = std::size_t(3) * std::size_t(width);
    // Column ranges and out-of-range flags of one row (per byte).
    std::vector<std::uint8_t> hi(row_bytes), lo(row_bytes), flags(row_bytes);
    // The statistics' first pass rides along, while each row is at hand.
    ColourSums<std::uint64_t> stats(im);
    for (int y = 0; y < height; ++y) {
        stats.add_row(y);
        const int y0 = y < 2 ? 0 : (y <= height - 5 ? y - 2 : height - 5);
        const std::uint8_t* rows[5];
        for (int i = 0; i < 5; ++i) rows[i] = im.row(y0 + i);
        const std::uint8_t* row = rows[y - y0];

        // One pixel, channel by channel in the order R, G, B: the first
        // verdict counts. A channel the range test cleared (`cleared`, per
        // byte offset) is normal; the others sum their windows.
        auto count_pixel = [&](int x, const std::uint8_t* cleared) {
            const int x0 = x < 2 ? 0 : (x <= width - 5 ? x - 2 : width - 5);
            const std::uint8_t* px = row + 3 * x;
            for (int off = 2; off >= 0; --off) {
                if (cleared != nullptr && cleared[off] == 0) continue;
                const int c = px[off];
                int sum = -c, sq = -c * c;
                for (int i = 0; i < 5; ++i)
                    for (int j = 0; j < 5; ++j) {
                        const int v = rows[i][3 * (x0 + j) + off];
                        sum += v;
                        sq += v * v;
                    }
                if (surely_normal(c, sum, sq, t)) continue;
                const int verdict = judge_colour(ColourWindow{rows, x0}, off, c, sum, sq, t);
                if (verdict > 0) ++out.bright;
                if (verdict < 0) ++out.dark;
                if (verdict != 0) return;
            }
        };

        // Pixels 2 .. width-5 have the window x-2 .. x+2: their bytes see
        // bytes k-6 .. k+6 in steps of 3 of the five rows, so the range test
        // runs on contiguous bytes and vectorises. The pixels near the edges
        // go through the window sums directly.
        const int first = 2, last = width - 5;  // inclusive; empty when width < 7
        for (int x = 0; x < std::min(first, width); ++x) count_pixel(x, nullptr);
        int x = first;
        if (last >= first) {
            const std::size_t begin = std::size_t(3) * std::size_t(first);
            const std::size_t end = std::size_t(3) * std::size_t(last + 1);
            column_range(rows, 5, end + 6, hi.data(), lo.data());
            flag_out_of_range<2>(row, hi.data(), lo.data(), 3, begin, end, t, flags.data());
            // Eight flag bytes at a time: most are all clear.
            for (; x + 8 <= last + 1; x += 8) {
                const std::uint8_t* f = flags.data() + 3 * std::size_t(x);
                std::uint64_t any[3];
                std::memcpy(any, f, sizeof any);
                if ((any[0] | any[1] | any[2]) == 0) continue;
                for (int p = 0; p < 8; ++p) {
                    const std::uint8_t* g = f + 3 * p;
                    if (g[0] | g[1] | g[2]) count_pixel(x + p, g);
                }
            }
            for (; x <= last; ++x) {
                const std::uint8_t* g = flags.data() + 3 * std::size_t(x);
                if (g[0] | g[1] | g[2]) count_pixel(x, g);
            }
        }
        for (x = std::max(x, first); x < width; ++x) count_pixel(x, nullptr);
    }
    out.stats = stats.finish();
    return out;
}

}  // namespace morvik::verify
