// Whole-image channel statistics and the green-unbalance measurement. Every
// mean is an integer sum over the count; every standard deviation comes from
// a second pass summing (mean - value)^2 in double, in the order of the
// first pass.
#include <algorithm>
#include <cmath>

#include "verify/verify.h"

namespace morvik::verify {

namespace {

// Upper stored rows of the raw cells run from height-1 down to >= 1 in steps
// of 2; cell columns are x = 0, 2, ... < 2 * (width / 2).
template <class F>
void for_each_cell(const TestImage& im, F&& f) {
    const int cells_x = im.width / 2;
    for (int u = im.height - 1; u >= 1; u -= 2) {
        const std::uint8_t* upper = im.row(u);
        const std::uint8_t* lower = im.row(u - 1);
        for (int i = 0; i < cells_x; ++i) {
            const std::uint8_t* a = upper + 6 * i;
            const std::uint8_t* b = lower + 6 * i;
            f(a[0], a[3], b[0], b[3]);
        }
    }
}

double count_of_cells(const TestImage& im) { return double(std::int64_t(im.height / 2) * (im.width / 2)); }

}  // namespace

template <class Sum>
ChannelStats raw_cell_stats(const TestImage& im) {
    Sum sum[4] = {};
    for_each_cell(im, [&](int s0, int s1, int s2, int s3) {
        sum[0] += Sum(s0);
        sum[1] += Sum(s1);
        sum[2] += Sum(s2);
        sum[3] += Sum(s3);
    });
    const double n = count_of_cells(im);
    ChannelStats st;
    for (int k = 0; k < 4; ++k) st.mean[k] = double(sum[k]) / n;
    double acc[4] = {};
    const double m0 = st.mean[0], m1 = st.mean[1], m2 = st.mean[2], m3 = st.mean[3];
    for_each_cell(im, [&](int s0, int s1, int s2, int s3) {
        const double d0 = m0 - s0, d1 = m1 - s1, d2 = m2 - s2, d3 = m3 - s3;
        acc[0] += d0 * d0;
        acc[1] += d1 * d1;
        acc[2] += d2 * d2;
        acc[3] += d3 * d3;
    });
    for (int k = 0; k < 4; ++k) st.std[k] = std::sqrt(acc[k] / n);
    return st;
}

template <class Sum>
ChannelStats colour_stats(const TestImage& im) {
    Sum sr = 0, sg = 0, sb = 0, sy = 0;
    for (int y = 0; y < im.height; ++y) {
        const std::uint8_t* p = im.row(y);
        // Row totals fit 32 bits for any row width below 16 million pixels.
        std::uint32_t rr = 0, rg = 0, rb = 0, ry = 0;
        // In chunks of plain arrays, so that the luma arithmetic vectorises.
        constexpr int kChunk = 32;
        for (int x = 0; x < im.width; x += kChunk, p += 3 * kChunk) {
            const int n = std::min(kChunk, im.width - x);
            int r[kChunk], g[kChunk], b[kChunk];
            for (int i = 0; i < n; ++i) {
                b[i] = p[3 * i];
                g[i] = p[3 * i + 1];
                r[i] = p[3 * i + 2];
            }
            for (int i = 0; i < n; ++i) {
                rb += std::uint32_t(b[i]);
                rg += std::uint32_t(g[i]);
                rr += std::uint32_t(r[i]);
                ry += std::uint32_t(luma(r[i], g[i], b[i]));
            }
        }
        sr += Sum(rr);
        sg += Sum(rg);
        sb += Sum(rb);
        sy += Sum(ry);
    }
    const double n = double(std::int64_t(im.width) * im.height);
    ChannelStats st;
    st.mean[0] = double(sr) / n;
    st.mean[1] = double(sg) / n;
    st.mean[2] = double(sb) / n;
    st.mean[3] = double(sy) / n;
    const double mr = st.mean[0], mg = st.mean[1], mb = st.mean[2], my = st.mean[3];
    double ar = 0, ag = 0, ab = 0, ay = 0;
    for (int y = 0; y < im.height; ++y) {
        const std::uint8_t* p = im.row(y);
        for (int x = 0; x < im.width; ++x, p += 3) {
            const double dr = mr - p[2], dg = mg - p[1], db = mb - p[0], dy = my - luma(p[2], p[1], p[0]);
            ar += dr * dr;
            ag += dg * dg;
            ab += db * db;
            ay += dy * dy;
        }
    }
    st.std[0] = std::sqrt(ar / n);
    st.std[1] = std::sqrt(ag / n);
    st.std[2] = std::sqrt(ab / n);
    st.std[3] = std::sqrt(ay / n);
    return st;
}

template ChannelStats raw_cell_stats<std::uint32_t>(const TestImage&);
template ChannelStats raw_cell_stats<std::uint64_t>(const TestImage&);
template ChannelStats colour_stats<std::uint32_t>(const TestImage&);
template ChannelStats colour_stats<std::uint64_t>(const TestImage&);

namespace {

// Green pairs: for each row pair (upper u, lower u-1), the first green from
// byte offset `first` of the upper row and the second from `second` of the
// lower row, at columns x = 0, step, 2*step, ... < 2 * (width / 2). Sums are
// unsigned 32-bit (wrapping); the difference sum is signed 32-bit, kept as
// unsigned for defined wraparound.
GreenStats green_pairs(const TestImage& im, int first, int second, int step) {
    const int limit = 3 * 2 * (im.width / 2);
    const int stride = 3 * step;
    std::uint32_t s1 = 0, s2 = 0, sd = 0;
    std::int64_t count = 0;
    for (int u = im.height - 1; u >= 1; u -= 2) {
        const std::uint8_t* a = im.row(u) + first;
        const std::uint8_t* b = im.row(u - 1) + second;
        for (int o = 0; o < limit; o += stride) {
            s1 += a[o];
            s2 += b[o];
            sd += std::uint32_t(int(a[o]) - int(b[o]));
        }
        count += limit / stride;
    }
    const double n = double(count);
    GreenStats g;
    g.first_mean = double(s1) / n;
    g.second_mean = double(s2) / n;
    g.diff_mean = double(static_cast<std::int32_t>(sd)) / n;
    double a1 = 0, a2 = 0, ad = 0;
    for (int u = im.height - 1; u >= 1; u -= 2) {
        const std::uint8_t* a = im.row(u) + first;
        const std::uint8_t* b = im.row(u - 1) + second;
        for (int o = 0; o < limit; o += stride) {
            const double d1 = g.first_mean - a[o], d2 = g.second_mean - b[o];
            const double dd = g.diff_mean - (int(a[o]) - int(b[o]));
            a1 += d1 * d1;
            a2 += d2 * d2;
            ad += dd * dd;
        }
    }
    g.first_std = std::sqrt(a1 / n);
    g.second_std = std::sqrt(a2 / n);
    g.diff_std = std::sqrt(ad / n);
    return g;
}

}  // namespace

GreenStats unbalance_greens_raw(const TestImage& im, int bayer_order) {
    // Orders 1 and 2: sites 0 (x, upper) and 3 (x+1, lower); else sites 1
    // (x+1, upper) and 2 (x, lower).
    return greens_at_0_3(bayer_order) ? green_pairs(im, 0, 3, 2) : green_pairs(im, 3, 0, 2);
}

GreenStats unbalance_greens_colour(const TestImage& im) { return green_pairs(im, 1, 1, 1); }

}  // namespace morvik::verify
