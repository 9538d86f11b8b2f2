#include "shading/lsc.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "frame/log.h"
#include "shading/fixed_log.h"

namespace morvik::shading {

namespace {

using frame::log_format;
using frame::log_write;

enum Colour { kR = 0, kGr = 1, kGb = 2, kB = 3 };

// Colour at each channel of the 2 x 2 cell, by Bayer order.
constexpr Colour kColourOf[4][4] = {
    {kR, kGr, kGb, kB}, {kGr, kR, kB, kGb}, {kGb, kB, kR, kGr}, {kB, kGb, kGr, kR}};

constexpr int kBlock = 4;
constexpr int kMaxSum = 4 * 255;  // a channel's sum of 4 samples

// Node rings of the shading gamma; node k sits at ring kNodeX[k + 1].
constexpr int kNodeX[13] = {0, 32, 64, 96, 128, 144, 160, 176, 192, 208, 224, 240, 255};
constexpr int kStepLimit[11] = {64, 64, 64, 64, 32, 32, 32, 32, 32, 32, 32};
constexpr int kNodeMin[11] = {0, 0, 0, 0, 0, 0, 0, 0, 63, 127, 191};
constexpr std::uint32_t kCoarseMask[4] = {0x0FFFFFF0u, 0x0FFFFFE0u, 0x0FFFFFC0u, 0x0FFFFF80u};

inline std::int16_t sat16(long v) {
    return static_cast<std::int16_t>(std::clamp<long>(v, INT16_MIN, INT16_MAX));
}

// trunc(x * 65536 + 0.5) as an unsigned 32-bit value, saturating.
inline std::uint32_t fixed16(double x) {
    const double v = x * 65536.0 + 0.5;
    if (!(v > 0.0)) return 0;
    if (v >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(v);
}

inline std::int16_t log_of(double x) { return log2_fix(fixed16(x), 16); }

// trunc(v) for the small jumps of the gamma walk; far-out values (and NaN)
// are pinned well outside 0..255 so that the usual clamps apply.
inline int trunc_int(double v) {
    if (!(v > -100000.0)) return -100000;
    if (v > 100000.0) return 100000;
    return static_cast<int>(v);
}

// trunc(v), plus 1 when a positive fraction remains.
inline int round_up(double v) {
    const int t = trunc_int(v);
    return (v - t > 0.0) ? t + 1 : t;
}

inline double det3(double a, double b, double c, double d, double e, double f, double g, double h,
                   double i) {
    return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
}

struct Sums {
    double n = 0, sx = 0, sx2 = 0, sx3 = 0, sx4 = 0, sy = 0, sxy = 0, sx2y = 0;
    void add(double x, double y) {
        const double x2 = x * x;
        n += 1;
        sx += x;
        sx2 += x2;
        sx3 += x2 * x;
        sx4 += x2 * x2;
        sy += y;
        sxy += x * y;
        sx2y += x2 * y;
    }
};

struct Parabola {
    int code = 2;
    double vertex = 0;
};

Parabola fit_parabola(const Sums& s, double first, double last) {
    Parabola p;
    if (s.n <= 2) return p;
    const double det = det3(s.sx4, s.sx3, s.sx2, s.sx3, s.sx2, s.sx, s.sx2, s.sx, s.n);
    if (det < 0.0001) {
        p.code = 1;
        return p;
    }
    const double a = det3(s.sx2y, s.sx3, s.sx2, s.sxy, s.sx2, s.sx, s.sy, s.sx, s.n) / det;
    const double b = det3(s.sx4, s.sx2y, s.sx2, s.sx3, s.sxy, s.sx, s.sx2, s.sy, s.n) / det;
    const double c = det3(s.sx4, s.sx3, s.sx2y, s.sx3, s.sx2, s.sxy, s.sx2, s.sx, s.sy) / det;
    if (a >= 0) {
        p.code = 3;
        return p;
    }
    p.vertex = -b / (2 * a);
    const double peak = (4 * a * c - b * b) / (4 * a);
    p.code = (peak <= 0 || p.vertex < first || p.vertex > last) ? 4 : 0;
    return p;
}

struct Line {
    int code = 2;
    double a = 0, b = 0;
};

struct LineSums {
    double n = 0, st = 0, st2 = 0, su = 0, stu = 0;
    void add(double t, double u) {
        n += 1;
        st += t;
        st2 += t * t;
        su += u;
        stu += t * u;
    }
    Line fit() const {
        Line l;
        if (n < 2) return l;
        const double det = n * st2 - st * st;
        if (det < 0.0001) {
            l.code = 1;
            return l;
        }
        l.code = 0;
        l.a = (n * stu - st * su) / det;
        l.b = (st2 * su - st * stu) / det;
        return l;
    }
};

struct Centre {
    int code = 1;
    double x = 0, y = 0;
};

class Calculation {
public:
    explicit Calculation(const LscInput& in) : in_(in) {}
    int run(lsc_result* out);

private:
    bool setup();
    void block_means();
    void targets();
    bool find_centre();
    bool radius_factor();
    void gains();
    void gamma(lsc_result* out);

    // Block geometry of channel c in pixels (centre search) and half pixels.
    int xoff(int c) const { return (c == 0 || c == 2) ? 1 : 2; }
    int yoff(int c) const { return (c == 0 || c == 1) ? 1 : 2; }
    double mean(int c, std::size_t idx) const { return sums_[c][idx] / 4.0; }

    void update_radius();
    std::uint32_t r2(int c, int v, int h) const { return dx2_[c][h] + dy2_[c][v]; }
    std::int16_t log_r2(std::uint32_t r2v) {
        std::int16_t& m = log_r2_memo_[r2v];
        if (m == INT16_MAX) m = sat16(static_cast<long>(log2_fix(r2v, 0)) - 26624);
        return m;
    }
    // Difference of the block's log gain need and its log scaled squared
    // radius, for a block with a gain need.
    int difference(int c, std::uint16_t sum, std::uint32_t r2v) {
        return sat16(static_cast<long>(logg_[c][sum]) - log_r2(r2v));
    }
    std::uint32_t pow2_16(int d) {
        const int l = std::clamp(d, -16384, 16383);
        std::uint32_t& m = pow2_memo_[static_cast<std::size_t>(l + 16384)];
        if (m == 0) m = pow2_fix(l, 16);
        return m;
    }

    void gamma_colour(char name, const std::vector<int>& channels, int cmax_mant, bool kt3,
                      std::uint8_t G[11]);

    const LscInput& in_;
    int hn_ = 0, vn_ = 0;
    std::size_t n_ = 0;
    std::unique_ptr<std::uint16_t[]> sums_[4];
    std::uint32_t hist_[4][256] = {};
    double target_[4] = {};
    std::array<double, kMaxSum + 1> g_[4];
    std::array<std::int16_t, kMaxSum + 1> logg_[4];

    std::uint16_t cx_ = 0, cy_ = 0;
    int rf_ = 0, cs_ = 0;
    std::vector<std::uint32_t> dx2_[4], dy2_[4];
    std::vector<std::int16_t> log_r2_memo_;
    std::vector<std::uint32_t> pow2_memo_;

    int K_ = 0, Kr_ = 1, Kg_ = 1, Kb_ = 1;
    int mant_[4] = {1, 1, 1, 1};
};

bool Calculation::setup() {
    hn_ = static_cast<int>(in_.width) / kBlock;
    vn_ = static_cast<int>(in_.height) / kBlock;
    n_ = static_cast<std::size_t>(hn_) * static_cast<std::size_t>(vn_);
    try {
        // Every entry is written by the image pass: no clearing needed.
        for (auto& s : sums_) s.reset(new std::uint16_t[n_ == 0 ? 1 : n_]);
        for (int c = 0; c < 4; ++c) {
            dx2_[c].resize(static_cast<std::size_t>(hn_));
            dy2_[c].resize(static_cast<std::size_t>(vn_));
        }
        pow2_memo_.assign(32768, 0);
    } catch (const std::bad_alloc&) {
        for (auto& s : sums_) s.reset();
        log_write("Shading Memory Allocation Error\n");
        return false;
    }
    log_write("Shading: Init\n");
    log_format("Shading: Chip: %8X\n", static_cast<unsigned>(in_.chip));
    log_format("Shading: Bayer order %d (0:R,1:Gr,2:Gb,3:B)\n", static_cast<int>(in_.bayer_order));
    log_format("Shading: width %d, height %d\n", static_cast<int>(in_.width), static_cast<int>(in_.height));
    log_format("Shading: block width %d, block height %d\n", kBlock, kBlock);
    log_format("Shading: horizontal no %d, vertical no %d\n", hn_, vn_);
    log_format("Shading: block_size %d, image_size %d\n", static_cast<int>(n_),
               static_cast<int>(in_.width * in_.height));
    log_format("Shading: Y compensate only: %1d (0: RGB, 1:Y only)\n", in_.y_only ? 1 : 0);
    log_write("Shading: Memory allocation OK for shading_para\n");
    log_write("Shading: Init End\n");
    return true;
}

void Calculation::block_means() {
    std::uint16_t* sums[4] = {sums_[0].get(), sums_[1].get(), sums_[2].get(), sums_[3].get()};
    block_sums(in_.raw, in_.width, hn_, vn_, sums, hist_);
}

void Calculation::targets() {
    log_write("Shading: Find target values of R/Gr/Gb/B\n");
    std::uint64_t m = static_cast<std::uint64_t>(static_cast<double>(n_) * 0.1);
    if (m == 0) m = 1;
    for (int c = 0; c < 4; ++c) {
        std::uint64_t count = 0, sum = 0;
        for (int bin = 255; bin >= 0; --bin) {
            const std::uint64_t h = hist_[c][bin];
            if (count + h >= m) {
                sum += static_cast<std::uint64_t>(bin) * (m - count);
                count = m;
                break;
            }
            sum += static_cast<std::uint64_t>(bin) * h;
            count += h;
        }
        target_[c] = static_cast<double>(sum) * in_.target_scale / static_cast<double>(m);
        // Gain need and its log per possible block sum: g = (target - mean) / mean.
        for (int s = 0; s <= kMaxSum; ++s) {
            const double mn = s / 4.0;
            const double g = (s == 0) ? 0.0 : (target_[c] - mn) / mn;
            g_[c][s] = g;
            if (g > 0) {
                const std::uint32_t f = fixed16(g);
                logg_[c][s] = log2_fix(f == 0 ? 1 : f, 16);
            } else {
                logg_[c][s] = 0;
            }
        }
    }
    log_write("Shading: Find target values of R/Gr/Gb/B End\n");
}

bool Calculation::find_centre() {
    Line hline[4], vline[4];
    Centre centre[4];

    log_write("Shading: Memory allocation OK for horizontal line fitting\n");
    log_write("Shading: Horizontal Scan\n");
    std::vector<Parabola> rows[4], cols[4];
    for (int c = 0; c < 4; ++c) {
        rows[c].resize(static_cast<std::size_t>(vn_));
        const double thr = 0.5 * target_[c];
        for (int v = 0; v < vn_; ++v) {
            const std::size_t base = static_cast<std::size_t>(v) * static_cast<std::size_t>(hn_);
            const double left = mean(c, base), right = mean(c, base + hn_ - 1);
            auto keep = [&](double m) { return m >= left && m >= right && m >= thr; };
            Sums s;
            int h0 = 0;
            while (h0 < hn_ && !keep(mean(c, base + h0))) ++h0;
            const double first = 4 * h0 + xoff(c);
            double last = first;
            for (int h = h0; h < hn_; ++h) {
                const double m = mean(c, base + h);
                if (keep(m)) {
                    const double x = 4 * h + xoff(c);
                    last = x;
                    s.add(x, m);
                }
            }
            rows[c][v] = fit_parabola(s, first, last);
        }
    }
    log_write("Shading: Horizontal Scan End\n");

    log_write("Shading: Horizontal Line Fitting\n");
    for (int c = 0; c < 4; ++c) {
        LineSums ls;
        for (int v = 0; v < vn_; ++v)
            if (rows[c][v].code == 0) ls.add(4 * v + yoff(c), rows[c][v].vertex);
        hline[c] = ls.fit();
        log_write("----------------------horizontal ay+b-----------------\n");
        log_write("i result      a      b\n");
        log_format("%1d %2d %.3f %.3f\n", c, hline[c].code, hline[c].a, hline[c].b);
    }
    log_write("Shading: Horizontal Line Fitting End\n");

    log_write("Shading: Memory allocation OK for vertical line fitting\n");
    for (int c = 0; c < 4; ++c) {
        cols[c].resize(static_cast<std::size_t>(hn_));
        const double thr = 0.5 * target_[c];
        const std::size_t lastrow = static_cast<std::size_t>(vn_ - 1) * static_cast<std::size_t>(hn_);
        // All columns advance together, row by row, so the image of block
        // means is read in memory order; each column still sums top to bottom.
        std::vector<Sums> sums(static_cast<std::size_t>(hn_));
        std::vector<double> first(static_cast<std::size_t>(hn_)), last(static_cast<std::size_t>(hn_));
        for (int v = 0; v < vn_; ++v) {
            const std::size_t base = static_cast<std::size_t>(v) * hn_;
            const double y = 4 * v + yoff(c);
            for (int h = 0; h < hn_; ++h) {
                const double m = mean(c, base + h);
                if (m >= mean(c, h) && m >= mean(c, lastrow + h) && m >= thr) {
                    Sums& cs = sums[static_cast<std::size_t>(h)];
                    if (cs.n == 0) first[static_cast<std::size_t>(h)] = y;
                    last[static_cast<std::size_t>(h)] = y;
                    cs.add(y, m);
                }
            }
        }
        for (int h = 0; h < hn_; ++h)
            cols[c][h] = fit_parabola(sums[static_cast<std::size_t>(h)], first[static_cast<std::size_t>(h)],
                                      last[static_cast<std::size_t>(h)]);
    }
    log_write("Shading: Vertical Scan End\n");

    log_write("Shading: Vertical Line Fitting\n");
    for (int c = 0; c < 4; ++c) {
        LineSums ls;
        for (int h = 0; h < hn_; ++h)
            if (cols[c][h].code == 0) ls.add(4 * h + xoff(c), cols[c][h].vertex);
        vline[c] = ls.fit();
        log_write("----------------------vertical ax+b-------------------\n");
        log_write("i result      a      b\n");
        log_format("%1d %2d %.3f %.3f\n", c, vline[c].code, vline[c].a, vline[c].b);
    }
    log_write("Shading: Vertical Line Fitting End\n");

    log_write("Shading: Get center X Y\n");
    for (int c = 0; c < 4; ++c) {
        Centre& ct = centre[c];
        if (hline[c].code != 0 || vline[c].code != 0) {
            ct.code = 1;
        } else {
            const double D = 1 - vline[c].a * hline[c].a;
            if (D >= -0.0001 && D <= 0.0001) {
                ct.code = 2;
            } else {
                ct.x = (vline[c].b * hline[c].a + hline[c].b) / D;
                ct.y = (vline[c].a * hline[c].b + vline[c].b) / D;
                const double x0 = xoff(c), x1 = 4 * (hn_ - 1) + xoff(c);
                const double y0 = yoff(c), y1 = 4 * (vn_ - 1) + yoff(c);
                ct.code = (ct.x > x0 && ct.x < x1 && ct.y > y0 && ct.y < y1) ? 0 : 3;
            }
        }
        log_write("----------------------Center X & Y---------------\n");
        log_write("i result     x     y\n");
        log_format("%1d %2d %.3f %.3f\n", c, ct.code, ct.x, ct.y);
    }
    log_write("Shading: Center X Y End\n");

    log_write("Shading: select center by Gr Gb\n");
    const bool greens_12 = in_.bayer_order == 0 || in_.bayer_order == 3;
    const Centre& g1 = centre[greens_12 ? 1 : 0];
    const Centre& g2 = centre[greens_12 ? 2 : 3];
    double X, Y;
    if (g1.code != 0 && g2.code != 0) {
        log_write("Shading: Gr Gb center both failed\n");
        return false;
    } else if (g1.code != 0) {
        X = g2.x;
        Y = g2.y;
    } else if (g2.code != 0) {
        X = g1.x;
        Y = g1.y;
    } else {
        X = (g1.x + g2.x) / 2;
        Y = (g1.y + g2.y) / 2;
    }
    log_write("----------------------Selected Center X & Y---------------\n");
    log_format("X %.3f, Y %.3f\n", X, Y);
    log_write("Shading: select center by Gr Gb End\n");
    cx_ = static_cast<std::uint16_t>(static_cast<long>(2 * X + 0.5));
    cy_ = static_cast<std::uint16_t>(static_cast<long>(2 * Y + 0.5));
    return true;
}

// Squared scaled distances per block column and row, for the present radius
// factor: dx = (|bx - center_x| >> (4 - Radius_factor)) & 0x3FF.
void Calculation::update_radius() {
    const int shift = 4 - rf_;
    std::uint32_t max_r2 = 0;
    for (int c = 0; c < 4; ++c) {
        const int bxo = (c == 0 || c == 2) ? 2 : 4;
        const int byo = (c == 0 || c == 1) ? 2 : 4;
        std::uint32_t mx = 0, my = 0;
        for (int h = 0; h < hn_; ++h) {
            const std::uint32_t d = static_cast<std::uint32_t>(std::abs(8 * h + bxo - cx_) >> shift) & 0x3FFu;
            dx2_[c][h] = d * d;
            mx = std::max(mx, d * d);
        }
        for (int v = 0; v < vn_; ++v) {
            const std::uint32_t d = static_cast<std::uint32_t>(std::abs(8 * v + byo - cy_) >> shift) & 0x3FFu;
            dy2_[c][v] = d * d;
            my = std::max(my, d * d);
        }
        max_r2 = std::max(max_r2, mx + my);
    }
    // Logs of r2 are memoised per value: blocks share few distinct radii.
    log_r2_memo_.assign(static_cast<std::size_t>(max_r2) + 1, INT16_MAX);
}

bool Calculation::radius_factor() {
    log_write("Shading: Get Radius Factor\n");
    log_write("----------------------Get Radius Factor---------------\n");
    const int w = static_cast<int>(in_.width), h = static_cast<int>(in_.height);
    rf_ = std::max(w, h) < 1024 ? 3 : 2;
    log_format("Shading: Radius Factor Init %2d\n", rf_);
    const int cx = cx_, cy = cy_;
    int ex = cx > w - 1 ? cx : 2 * (w - 1) - cx;
    int ey = cy > h - 1 ? cy : 2 * (h - 1) - cy;
    ex >>= 4 - rf_;
    ey >>= 4 - rf_;
    auto level = [](int e) { return e <= 511 ? 0 : e <= 1023 ? 1 : e <= 2047 ? 2 : 3; };
    const int L = std::max(level(ex), level(ey));
    if (rf_ < L) {
        log_write("-------Update Radius Factor Fail: samller than zero------\n");
        return false;
    }
    rf_ -= L;
    log_write("----------------------Update Radius Factor---------------\n");
    log_format("Shading: Radius Factor Update %2d\n", rf_);
    log_write("Shading: Get Radius Factor End\n");

    log_write("Shading: Check Radius Factor by r2 Compensation\n");
    log_write("----------------------Check Radius Factor---------------\n");
    log_format("Shading: Radius Factor %2d\n", rf_);
    update_radius();
    int candidate = rf_;
    std::uint64_t m = static_cast<std::uint64_t>(0.01 * static_cast<double>(n_) + 0.5);
    if (m == 0) m = 1;
    // Every negative difference is counted in one pass; the minimum over the
    // qualifying blocks then picks the 1024 bins the check walks.
    std::vector<std::uint32_t> hist(32768);
    for (int c = 0; c < 4; ++c) {
        const std::uint16_t* s = sums_[c].get();
        long long qualifying = 0, dsum = 0;
        int minimum = 0;
        std::fill(hist.begin(), hist.end(), 0u);
        for (int v = 0; v < vn_; ++v) {
            const std::uint16_t* row = s + static_cast<std::size_t>(v) * hn_;
            for (int hh = 0; hh < hn_; ++hh) {
                const std::uint16_t sum = row[hh];
                const double g = g_[c][sum];
                if (!(g > 0)) continue;
                const int d = difference(c, sum, r2(c, v, hh));
                if (d >= 0) continue;
                ++hist[static_cast<std::size_t>(d + 32768)];
                if (g > 0.01) {
                    ++qualifying;
                    dsum += d;
                    minimum = std::min(minimum, d);
                }
            }
        }
        log_format("Shading: Difference between target & r2 compensation i %1d %6d\n", c,
                   qualifying ? static_cast<int>(dsum / qualifying) : 0);
        log_write("Shading: smaller than zero for too large Radius Factor\n");
        int D = 0;
        if (qualifying) {
            // Differences below the minimum (tiny gain needs) are left out.
            std::uint32_t total = 0;
            std::uint64_t count = 0;
            for (int bin = 0; bin < 1024 && minimum + bin < 0; ++bin) {
                const std::uint64_t hb = hist[static_cast<std::size_t>(minimum + bin + 32768)];
                const std::uint32_t p = pow2_fix(minimum + bin, 12);
                if (count + hb >= m) {
                    total += p * static_cast<std::uint32_t>(m - count);
                    count = m;
                    break;
                }
                total += p * static_cast<std::uint32_t>(hb);
                count += hb;
            }
            D = log2_fix(static_cast<std::uint32_t>(total / count), 12);
        }
        log_format("Shading: Difference by histogram i% 1d %6d\n", c, D);
        log_write("Shading: if smaller than zero for too large Radius Factor\n");
        if (D < 0) {
            const int step = D <= -1024 ? 1 : 3;
            const int nw = rf_ - step;
            if (nw < 0) {
                candidate = 0;
                log_format("Shading: Update Radius Factor i %1d %1d\n", c, 0);
                log_write("Shading: Radius Factor was forced to zero\n");
                break;
            }
            if (nw < candidate) {
                candidate = nw;
                log_format("Shading: Update Radius Factor i %1d %1d\n", c, nw);
                log_write("Shading: Radius Factor was updated by smaller value\n");
            }
        }
    }
    if (candidate == rf_) {
        log_format("Shading: Unchange Radius Factor %1d\n", rf_);
    } else {
        rf_ = candidate;
        update_radius();
        log_format("Shading: Change Radius Factor %1d\n", rf_);
    }
    log_write("Shading: Check Radius Factor by r2 Compensation End\n");

    log_write("Shading: Get Curve_sel\n");
    log_format("Shading: Init Curve_sel %1d\n", 0);
    log_write("----------------------Check Curve_sel---------------\n");
    int fx = cx > w - 1 ? cx - 2 : 2 * w - 4 - cx;
    int fy = cy > h - 1 ? cy - 2 : 2 * h - 4 - cy;
    const std::uint32_t ux = static_cast<std::uint32_t>(fx >> (4 - rf_)) & 0x3FFu;
    const std::uint32_t uy = static_cast<std::uint32_t>(fy >> (4 - rf_)) & 0x3FFu;
    const std::uint32_t rm = (ux * ux + uy * uy) >> 8;
    log_write("Shading: Check Curve_sel by r2 &0xFF\n");
    const int diff = rm <= 255 ? 0 : rm <= 511 ? 1 : rm <= 1023 ? 2 : rm <= 2047 ? 3 : 4;
    log_format("Shading: Check difference %1d, rm %4d\n", diff, static_cast<int>(rm));
    if (diff > 2 * rf_ + 3) {
        log_format("Shading: Fail with Radius_factor %1d, Curve_sel %1d, difference %1d\n", rf_, 0, diff);
        return false;
    }
    if (diff <= 3) {
        cs_ = diff;
        log_format("Shading: Update Curve_sel %1d\n", cs_);
    } else {
        cs_ = 2;
        rf_ -= 1;
        log_format("Shading: Update Curve_sel %1d, Radius factor %1d\n", cs_, rf_);
        update_radius();
    }
    return true;
}

void Calculation::gains() {
    log_write("Shading: Get K & KR KGr KGb KB\n");
    log_write("-------------------Get K Kr Kgr Kgb Kb---------------\n");
    std::int16_t T[4][255];
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 255; ++i)
            T[j][i] = sat16(static_cast<long>(log2_fix(65536u * static_cast<std::uint32_t>(i + 1), 16)) + 1024 * j);

    std::uint64_t m = static_cast<std::uint64_t>(0.1 * static_cast<double>(n_) + 0.5);
    if (m == 0) m = 1;
    const double lim = (in_.below_max + 1) / in_.target_scale;
    const double spread = in_.overshoot / in_.target_scale;
    const int shift = cs_ + 8;
    int Lk[4];
    for (int c = 0; c < 4; ++c) {
        std::uint32_t cnt[256] = {};
        double sk[256] = {}, sg[256] = {};
        const std::uint16_t* s = sums_[c].get();
        for (int v = 0; v < vn_; ++v)
            for (int h = 0; h < hn_; ++h) {
                const std::uint16_t sum = s[static_cast<std::size_t>(v) * hn_ + h];
                const double g = g_[c][sum];
                if (!(g > 0)) continue;
                const std::uint32_t rr = r2(c, v, h);
                const int ring = static_cast<int>((rr >> shift) & 0xFFu);
                const double k = pow2_16(difference(c, sum, rr)) / 65536.0;
                ++cnt[ring];
                sk[ring] += k;
                sg[ring] += g;
            }

        // First estimate from the outermost blocks.
        double ksum = 0;
        std::uint64_t count = 0;
        for (int r = 255; r >= 0; --r) {
            if (count + cnt[r] >= m) {
                ksum += static_cast<double>(m - count) * sk[r] / cnt[r];
                count = m;
                break;
            }
            ksum += sk[r];
            count += cnt[r];
        }
        double kt = 1.0;
        int L = 0;
        if (count != 0) {
            kt = ksum / static_cast<double>(count);
            L = log_of(kt);
        }
        log_format("Shading: i %1d, first parse kt by log2 %6d\n", c, L);

        // Correction: keep the compensated level within the limits.
        double kr[256] = {}, gr[256] = {};
        double mx = 0, minq = 2.0;
        int ringmax = 0;
        for (int r = 255; r >= 0; --r) {
            if (cnt[r] == 0) continue;
            kr[r] = sk[r] / cnt[r];
            gr[r] = sg[r] / cnt[r];
            if (kr[r] <= 0 || gr[r] == 0) continue;
            const double q = (gr[r] * kt / kr[r] + 1) / (gr[r] + 1);
            if (q > mx) {
                mx = q;
                ringmax = r;
            }
            if (q > lim) {
                ringmax = r;
                kt = ((gr[r] + 1) * lim - 1) * kr[r] / gr[r];
                mx = lim;
                continue;
            }
            if (q < minq && ringmax > r) {
                minq = q;
                if (mx - q > spread) {
                    const double ga = gr[r], ka = kr[r], gb = gr[ringmax], kb = kr[ringmax];
                    kt = (spread * (ga + 1) * (gb + 1) + (gb + 1) - (ga + 1)) /
                         ((ga + 1) * gb / kb - (gb + 1) * ga / ka);
                    const double qb = (gb * kt / kb + 1) / (gb + 1);
                    if (qb < q) {
                        kt = ((gb + 1) * q - 1) * kb / gb;
                        mx = q;
                    } else {
                        mx = qb;
                    }
                    minq = (ga * kt / ka + 1) / (ga + 1);
                }
            }
        }
        Lk[c] = log_of(kt);
        log_format("Shading: i %1d, second parse kt by log2 %6d, below max %.3f, overshoot %.3f\n", c, Lk[c],
                   in_.below_max + 1, in_.overshoot);
    }
    log_write("Shading: Get K & KR KGr KGb KB End\n");

    log_write("Shading: Get one K, KR, one KG, & KB\n");
    if (in_.y_only) {
        int lo = 32767;
        for (int c = 0; c < 4; ++c) lo = std::min(lo, Lk[c]);
        for (int c = 0; c < 4; ++c) Lk[c] = lo;
        log_format("Shading: Compensate Y only, K %6d\n", lo);
    }
    for (int c = 0; c < 4; ++c) {
        int best_log = T[3][254], best_j = 3, best_m = 255;
        if (Lk[c] < T[3][254]) {
            int best_diff = 65536;
            for (int j = 0; j < 4 && best_diff != 0; ++j)
                for (int i = 0; i < 255; ++i) {
                    if (T[j][i] > Lk[c]) break;
                    if (Lk[c] - T[j][i] < best_diff) {
                        best_diff = Lk[c] - T[j][i];
                        best_log = T[j][i];
                        best_j = j;
                        best_m = i + 1;
                        if (best_diff == 0) break;
                    }
                }
        }
        log_format("Shading: i %1d, Kr %6d, Kc %1d, Krgb %1d\n", c, best_log, best_j, best_m);
    }

    int LR, LG, LB;
    switch (in_.bayer_order) {
        case 0: LR = Lk[0]; LG = std::min(Lk[1], Lk[2]); LB = Lk[3]; break;
        case 1: LR = Lk[1]; LG = std::min(Lk[0], Lk[3]); LB = Lk[2]; break;
        case 2: LR = Lk[2]; LG = std::min(Lk[0], Lk[3]); LB = Lk[1]; break;
        default: LR = Lk[3]; LG = std::min(Lk[1], Lk[2]); LB = Lk[0]; break;
    }
    log_write("-------------------Get K_TR K_TG K_TB---------------\n");
    log_format("Shading: Kr %6d, Kg %6d, Kb %6d\n", LR, LG, LB);

    const int lmin = std::min({LR, LG, LB});
    if (lmin < 0) {
        K_ = 0;
        Kr_ = Kg_ = Kb_ = 1;
    } else {
        int best_res = 0;
        for (int j = 0; j < 4; ++j) {
            if (j > 0 && lmin < 1024 * j) break;
            int mant[3], res = 0;
            const int logs[3] = {LR, LG, LB};
            for (int x = 0; x < 3; ++x) {
                if (logs[x] > T[j][254]) {
                    mant[x] = 255;
                    res += logs[x] - T[j][254];
                } else {
                    int i = 254;
                    while (i > 0 && T[j][i] > logs[x]) --i;
                    mant[x] = i + 1;
                    res += logs[x] - T[j][i];
                }
            }
            res = sat16(res);
            if (j == 0 || res < best_res) {
                best_res = res;
                K_ = j;
                Kr_ = mant[0];
                Kg_ = mant[1];
                Kb_ = mant[2];
            }
        }
    }
    log_write("-------------------Get K_TR K_TG K_TB---------------\n");
    log_format("Shading: K %1d Kr %1d, Kg %1d, Kb %1d\n", K_, Kr_, Kg_, Kb_);
    for (int c = 0; c < 4; ++c) {
        const Colour col = kColourOf[in_.bayer_order][c];
        mant_[c] = col == kR ? Kr_ : col == kB ? Kb_ : Kg_;
    }
    log_write("Shading: Get one K, KR, one KG, & KB End\n");
}

namespace {

// A run of blocks in one block row whose rings fall in one gamma segment:
// segment k (0..10) holds rings X[k] < ring <= X[k + 1], segment 11 rings
// 241..254. A row crosses each segment at most twice on a smooth radius, so
// the runs of a channel are few and walking them keeps block order.
struct SegmentRun {
    int v, h0, h1;  // row, first and last column
    int segment;
};

struct BlockValue {
    int ring;
    double g, af, bc, d;
};

struct NodeSums {
    double n = 0, sxy = 0, sxx = 0, sg = 0, sa = 0, sb = 0, sr = 0;
    // Right side of the last node.
    double s2 = 0, s22 = 0, s2d = 0, s1 = 0, s1d = 0;
};

}  // namespace

void Calculation::gamma(lsc_result* out) {
    log_write("Shading: Calculate Shading Gamma R G B\n");
    log_write("-------------------Calculate Shading Gamma R G B---------------\n");
    const bool kt3 = (in_.chip >> 16) == MORVIK_LSC_CHIP_KT3;

    std::uint8_t G[3][11];
    for (auto& list : G)
        for (int k = 0; k < 11; ++k) list[k] = static_cast<std::uint8_t>(kNodeX[k + 1]);

    int red = 0, blue = 0;
    std::vector<int> greens;
    for (int c = 0; c < 4; ++c) {
        const Colour col = kColourOf[in_.bayer_order][c];
        if (col == kR) red = c;
        else if (col == kB) blue = c;
        else greens.push_back(c);
    }
    gamma_colour('R', {red}, Kr_, kt3, G[0]);
    gamma_colour('G', greens, Kg_, kt3, G[1]);
    gamma_colour('B', {blue}, Kb_, kt3, G[2]);
    if (in_.y_only) {
        std::copy(G[1], G[1] + 11, G[0]);
        std::copy(G[1], G[1] + 11, G[2]);
        log_write("Shading: Compensate only Y with G gamma\n");
    }

    log_write("Shading: Set Shading Gamma R G B\n");
    log_write("-------------------Set Shading Gamma R G B---------------\n");
    const char* names[3] = {"KR", "KG", "KB"};
    for (int col = 0; col < 3; ++col) {
        const std::uint8_t* g = G[col];
        log_format("Shading: %s %3d,%3d,%3d,%3d,%3d,%3d,%3d,%3d,%3d,%3d,%3d\n", names[col], g[0], g[1], g[2], g[3],
                   g[4], g[5], g[6], g[7], g[8], g[9], g[10]);
    }
    log_write("Shading: Set Shading Gamma R G B End\n");

    for (int k = 0; k < 11; ++k) {
        out->gamma_R[k] = G[0][k];
        out->gamma_G[k] = G[1][k];
        out->gamma_B[k] = G[2][k];
    }
    out->center_x = cx_;
    out->center_y = cy_;
    out->Kr = static_cast<std::uint32_t>(Kr_);
    out->Kg = static_cast<std::uint32_t>(Kg_);
    out->Kb = static_cast<std::uint32_t>(Kb_);
    out->K = static_cast<std::uint32_t>(K_);
    out->Radius_factor = static_cast<std::uint32_t>(rf_);
    out->Curve_sel = static_cast<std::uint32_t>(cs_);
}

void Calculation::gamma_colour(char name, const std::vector<int>& channels, int cmax_mant, bool kt3,
                               std::uint8_t G[11]) {
    const double ts = in_.target_scale;
    const int cs = cs_;
    const std::uint32_t fine = (1u << (cs + 4)) - 1, coarse = kCoarseMask[cs];
    const double cmax = static_cast<double>(((((0xFFu << (cs + 8)) >> 4) * static_cast<std::uint32_t>(cmax_mant))
                                             << K_) >> 12) / 1024.0;

    // Segment of each ring (-1: ring 0 and 255 belong to no segment).
    int segment_of[256];
    for (int r = 0; r < 256; ++r) {
        segment_of[r] = -1;
        if (r == 0 || r == 255) continue;
        if (r > 240) {
            segment_of[r] = 11;
            continue;
        }
        for (int k = 0; k < 11; ++k)
            if (r > kNodeX[k] && r <= kNodeX[k + 1]) segment_of[r] = k;
    }

    auto value = [&](int c, int v, int h) {
        const std::size_t idx = static_cast<std::size_t>(v) * hn_ + h;
        const std::uint32_t rr = r2(c, v, h);
        const std::uint32_t m = static_cast<std::uint32_t>(mant_[c]) << K_;
        const std::uint32_t p = rr >> 4;
        BlockValue b;
        b.ring = static_cast<int>((rr >> (cs + 8)) & 0xFFu);
        b.g = g_[c][sums_[c][idx]];
        b.bc = static_cast<double>(((p & coarse) * m) >> 12) / 1024;
        b.af = static_cast<double>(((p & fine) * m) >> 12) / 1024;
        const double rs = b.g - b.af;
        b.d = (b.ring > 0 && rs > 0 && b.bc > 0) ? b.ring * rs / b.bc : 0.0;
        return b;
    };

    std::vector<std::vector<SegmentRun>> runs(channels.size());
    const int shift = cs + 8;
    for (std::size_t li = 0; li < channels.size(); ++li) {
        const int c = channels[li];
        for (int v = 0; v < vn_; ++v) {
            const std::uint32_t dy2 = dy2_[c][v];
            int current = -1, start = 0;
            for (int h = 0; h <= hn_; ++h) {
                const int seg = h < hn_ ? segment_of[((dx2_[c][h] + dy2) >> shift) & 0xFFu] : -2;
                if (seg == current) continue;
                if (current >= 0) runs[li].push_back({v, start, h - 1, current});
                current = seg;
                start = h;
            }
        }
    }

    // Calls fn(value) for every block with a gain need in the runs whose
    // segment passes `want`, channel by channel, in block order.
    auto for_blocks = [&](auto want, auto fn) {
        for (std::size_t li = 0; li < channels.size(); ++li) {
            const int c = channels[li];
            const std::uint16_t* s = sums_[c].get();
            for (const SegmentRun& run : runs[li]) {
                if (!want(run.segment)) continue;
                const std::uint16_t* row = s + static_cast<std::size_t>(run.v) * hn_;
                for (int h = run.h0; h <= run.h1; ++h)
                    if (g_[c][row[h]] > 0) fn(value(c, run.v, h), run.segment);
            }
        }
    };


    int lastX = 0, lastG = 0, lastIdx = 0;
    double level = 1.0;
    const double lim = in_.shading_min / ts;

    auto clamp_jump = [&](int jump) { return lastG + jump >= 255 ? 255 - lastG : jump; };

    // Limits that keep the compensated level near the target.
    auto limit = [&](int jump, double slope, double S0, int dx, int xk1, const NodeSums& ns) {
        const double gm = ns.sg / ns.n, am = ns.sa / ns.n, rm = ns.sr / ns.n;
        if (S0 <= lim && S0 < 1) {
            if (cmax != 0 && rm != lastX) {
                const double slope3 = ((lim * (gm + 1) - 1 - am) * 255 / cmax - lastG) / (rm - lastX);
                if (slope > slope3) jump = clamp_jump(trunc_int(dx * std::max(slope3, 0.0) + 0.5));
            }
        } else if (slope > 1) {
            if (S0 >= 1) jump = dx;
            else if ((slope - 1) * dx / xk1 > 0.03) jump = dx + static_cast<int>(0.03 * xk1);
            jump = clamp_jump(jump);
        } else {
            if (S0 <= 1 / ts) jump = dx;
            else if ((1 - slope) * dx / xk1 > 0.03) jump = dx - static_cast<int>(0.03 * xk1);
            jump = clamp_jump(jump);
        }
        return jump;
    };

    auto settle = [&](int k, int jump) {
        auto spread = [&] {
            for (int i = lastIdx; i <= k; ++i)
                G[i] = static_cast<std::uint8_t>(std::min(
                    255, lastG + static_cast<int>(static_cast<double>(kNodeX[i + 1] - kNodeX[lastIdx]) * jump /
                                                      (kNodeX[k + 1] - kNodeX[lastIdx]) +
                                                  0.5)));
        };
        if (!kt3) {
            if (k == lastIdx) G[k] = static_cast<std::uint8_t>(std::min(255, lastG + jump));
            else spread();
        } else {
            if (lastG + jump < kNodeMin[k]) jump = kNodeMin[k] - lastG;
            if (k == lastIdx) {
                G[k] = static_cast<std::uint8_t>(std::min(255, lastG + std::min(jump, 64)));
            } else if (kStepLimit[k] == kStepLimit[lastIdx]) {
                const int s = k - lastIdx + 1;
                for (int i = lastIdx; i <= k; ++i) {
                    const int step = jump >= 64 * s ? 64 * (i - lastIdx + 1)
                                                    : static_cast<int>(static_cast<double>(i - lastIdx + 1) * jump / s + 0.5);
                    G[i] = static_cast<std::uint8_t>(std::min(255, lastG + step));
                }
            } else {
                int total = 0;
                for (int i = lastIdx; i <= k; ++i) total += kStepLimit[i];
                if (jump >= total) {
                    int g = lastG;
                    for (int i = lastIdx; i <= k; ++i) {
                        g = std::min(255, g + kStepLimit[i]);
                        G[i] = static_cast<std::uint8_t>(g);
                    }
                } else {
                    spread();
                }
            }
        }
        lastG = G[k];
        lastX = kNodeX[k + 1];
        lastIdx = k + 1;
    };

    // s4 and the compensated level after node k settled.
    auto settled_line = [&](int k, const NodeSums* ns) {
        const double s4 = k == 0 ? G[0] * 0.03125 : static_cast<double>(G[k] - G[k - 1]) / (kNodeX[k + 1] - kNodeX[k]);
        if (!ns) {
            log_format("Shading: %c i %2d, current gamma with jump %3d, slope %.3f\n", name, k, G[k], s4);
            return;
        }
        const double gm = ns->sg / ns->n, am = ns->sa / ns->n, rm = ns->sr / ns->n;
        if (k == 0) level = (rm * s4 * cmax / 255 + am + 1) / (gm + 1);
        else level = (((rm - kNodeX[k]) * s4 + G[k - 1]) * cmax / 255 + am + 1) / (gm + 1);
        log_format("Shading: %c i %2d, current gamma with jump %3d, slope %.3f, shading %.3f\n", name, k, G[k], s4,
                   level * ts);
    };

    auto slope_limit = [&](double slope, const NodeSums& ns) {
        const double gm = ns.sg / ns.n, am = ns.sa / ns.n, rm = ns.sr / ns.n;
        level = std::min(level, 1 / ts);
        if (cmax == 0 || rm == lastX) return slope;
        const double s2 = ((gm + 1) * level - 1 - am) * 255 / cmax;
        return std::min(slope, (s2 - lastG) / (rm - lastX));
    };

    auto saturated = [&](int k) {
        if (G[k] != 255) return false;
        for (int i = k + 1; i < 11; ++i) G[i] = 255;
        return true;
    };

    for (int k = 0; k < 10; ++k) {
        NodeSums ns;
        for_blocks([k](int seg) { return seg == k; },
                   [&](const BlockValue& b, int) {
                       const int d = b.ring - lastX;
                       ns.n += 1;
                       ns.sxy += (b.d - lastG) * d;
                       ns.sxx += static_cast<double>(d) * d;
                       ns.sg += b.g;
                       ns.sa += b.af;
                       ns.sb += b.bc;
                       ns.sr += b.ring;
                   });
        if (ns.n == 0) continue;
        double slope = ns.sxy / ns.sxx;
        if (slope > 0) slope = slope_limit(slope, ns);
        if (slope <= 0) slope = 0;
        const int dx = kNodeX[k + 1] - lastX;
        int jump = slope > 1 ? trunc_int(dx * slope) : round_up(dx * slope);
        if (lastG + jump >= 255) {
            jump = 255 - lastG;
            slope = static_cast<double>(jump) / dx;
        }
        const double gm = ns.sg / ns.n;
        const double S0 = (1 + ns.sa / ns.n + ns.sb / ns.n) / (1 + gm);
        log_format("Shading: %c i %2d, last %2d, slope %.3f, jump %3d, current shading w/o gamma %.3f\n", name, k,
                   lastIdx, static_cast<double>(jump) / dx, jump, S0 * ts);
        jump = limit(jump, slope, S0, dx, kNodeX[k + 1], ns);
        log_format("Shading: %c i %2d, last %2d, limited gamma jump %3d\n", name, k, lastIdx, jump);
        settle(k, jump);
        const bool full = saturated(k);
        settled_line(k, &ns);
        if (full) return;
    }

    // Last node: least squares over both sides of ring 240, the right side
    // ending at (255, 255).
    NodeSums ns;
    for_blocks([](int seg) { return seg >= 10; },
               [&](const BlockValue& v, int seg) {
                   if (seg == 10) {
                       const double d1 = v.ring - lastX;
                       ns.n += 1;
                       ns.s1 += d1;
                       ns.sxx += d1 * d1;
                       ns.s1d += d1 * v.d;
                       ns.sg += v.g;
                       ns.sa += v.af;
                       ns.sb += v.bc;
                       ns.sr += v.ring;
                   }
                   if (v.ring >= 240) {
                       const double d2 = 255 - v.ring;
                       ns.s2 += d2;
                       ns.s22 += d2 * d2;
                       ns.s2d += d2 * v.d;
                   }
               });
    const double dx1 = 240 - lastX, dx2 = 15;
    const double Q = ns.sxx / (dx1 * dx1) + ns.s22 / (dx2 * dx2);
    const double P = ns.s1d / dx1 - lastG * ns.s1 / dx1 + lastG * ns.sxx / (dx1 * dx1) + ns.s2d / dx2 -
                     255 * ns.s2 / dx2 + 255 * ns.s22 / (dx2 * dx2);
    int jump;
    if (Q > -0.0001 && Q < 0.0001) {
        jump = static_cast<int>((255 - lastG) * dx1 / (255 - lastX) + 0.5);
    } else {
        const int v = trunc_int(P / Q + 0.5);
        jump = v > lastG ? v - lastG : 0;
    }
    jump = clamp_jump(jump);
    double slope = jump / (240.0 - kNodeX[lastIdx]);
    if (ns.n > 0) {
        const double slope2 = slope_limit(slope, ns);
        if (slope > slope2) {
            slope = slope2;
            jump = slope > 1 ? trunc_int(dx1 * slope) : round_up(dx1 * slope);
        }
    }
    if (slope <= 0) {
        slope = 0;
        jump = 0;
    }
    if (ns.n == 0) {
        log_format("Shading: %c i %2d, last %2d, slope %.3f, jump %3d\n", name, 10, lastIdx, slope, jump);
    } else {
        const double S0 = (1 + ns.sa / ns.n + ns.sb / ns.n) / (1 + ns.sg / ns.n);
        log_format("Shading: %c i %2d, last %2d, slope %.3f, jump %3d, current shading w/o gamma %.3f\n", name, 10,
                   lastIdx, slope, jump, S0 * ts);
        jump = limit(jump, slope, S0, static_cast<int>(dx1), 240, ns);
        log_format("Shading: %c i %2d, last %2d, limited gamma jump %3d\n", name, 10, lastIdx, jump);
    }
    settle(10, jump);
    saturated(10);
    settled_line(10, ns.n > 0 ? &ns : nullptr);
}

int Calculation::run(lsc_result* out) {
    frame::Run frame_run;
    frame_run.open("Shading: Main Program Start");
    bool ok = false;
    auto close = [&] {
        for (auto& s : sums_) s.reset();
        log_write("Shading: free memory\n");
        frame_run.close("Shading: End\n", ok);
    };
    if (!setup()) {
        close();
        return 1;
    }
    if (in_.raw == nullptr) {
        log_write("Shading: memory pointer NULL for raw image");
    } else if (in_.bayer_order > 3) {
        log_write("Shading: Bayer order out of range (0..3)\n");
    } else if (n_ == 0) {
        log_write("Shading: no whole 4x4 block in the image\n");
    } else {
        try {
            block_means();
            targets();
            ok = find_centre() && radius_factor();
            if (ok) {
                gains();
                lsc_result result;
                gamma(&result);
                *out = result;
            }
        } catch (const std::bad_alloc&) {
            log_write("Shading: Memory allocation error\n");
            ok = false;
        }
    }
    close();
    return ok ? 0 : 1;
}

}  // namespace

void block_sums(const std::uint8_t* raw, unsigned width, int hn, int vn, std::uint16_t* const sums[4],
                std::uint32_t hist[4][256]) {
    const std::size_t w = width;
    std::uint32_t* h0 = hist[0];
    std::uint32_t* h1 = hist[1];
    std::uint32_t* h2 = hist[2];
    std::uint32_t* h3 = hist[3];
    for (int v = 0; v < vn; ++v) {
        const std::uint8_t* r0 = raw + static_cast<std::size_t>(4 * v) * w;
        const std::uint8_t* r1 = r0 + w;
        const std::uint8_t* r2 = r1 + w;
        const std::uint8_t* r3 = r2 + w;
        const std::size_t base = static_cast<std::size_t>(v) * static_cast<std::size_t>(hn);
        std::uint16_t* s0 = sums[0] + base;
        std::uint16_t* s1 = sums[1] + base;
        std::uint16_t* s2 = sums[2] + base;
        std::uint16_t* s3 = sums[3] + base;
        for (int h = 0; h < hn; ++h) {
            const int x = 4 * h;
            const unsigned a = r0[x] + r0[x + 2] + r2[x] + r2[x + 2];
            const unsigned b = r0[x + 1] + r0[x + 3] + r2[x + 1] + r2[x + 3];
            const unsigned c = r1[x] + r1[x + 2] + r3[x] + r3[x + 2];
            const unsigned d = r1[x + 1] + r1[x + 3] + r3[x + 1] + r3[x + 3];
            s0[h] = static_cast<std::uint16_t>(a);
            s1[h] = static_cast<std::uint16_t>(b);
            s2[h] = static_cast<std::uint16_t>(c);
            s3[h] = static_cast<std::uint16_t>(d);
            // Histogram bin trunc(sum / 4 + 0.5).
            ++h0[(a + 2) >> 2];
            ++h1[(b + 2) >> 2];
            ++h2[(c + 2) >> 2];
            ++h3[(d + 2) >> 2];
        }
    }
}

int lsc_calculate(const LscInput& in, lsc_result* out) {
    Calculation calc(in);
    return calc.run(out);
}

}  // namespace morvik::shading
