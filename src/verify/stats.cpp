// Whole-image channel statistics and the green-unbalance measurement. Every
// mean is an integer sum over the count; every standard deviation comes from
// a second pass summing (mean - value)^2 in double, in the order of the
// first pass.
//
// The second passes look the squared deviations up in tables: (mean - v)^2
// depends only on the 8-bit value v (or the pair difference), so a table
// built with the same two operations holds exactly the doubles the
// per-sample arithmetic would give. The additions themselves stay one per
// sample, in sample order, one accumulator per channel.
#include <algorithm>
#include <cmath>
#include <vector>

#include "verify/verify.h"

namespace morvik::verify {

void luma_row(const std::uint8_t* bgr, int n, std::uint8_t* out) {
    // With T = 587 G + 299 R + 114 B, the exact value of the luma sum is
    // (T + 500) / 1000. The double evaluation stays within 1e-12 of it (the
    // constants are within 6e-17 of their decimal values, and each of the
    // six roundings of a value below 256 is below 3e-14). When T + 500 is
    // not a multiple of 1000 the exact value lies at least 0.001 from every
    // integer, so the truncated double equals (T + 500) / 1000 in integers.
    // When it is a multiple, the double can land on either side of the
    // integer: those pixels take the double formula itself.
    constexpr int kChunk = 64;
    for (int x = 0; x < n; x += kChunk) {
        const int m = std::min(kChunk, n - x);
        const std::uint8_t* p = bgr + 3 * std::size_t(x);
        std::uint32_t t[kChunk];
        for (int i = 0; i < m; ++i) t[i] = 587u * p[3 * i + 1] + 299u * p[3 * i + 2] + 114u * p[3 * i] + 500u;
        std::uint32_t ties = 0;
        for (int i = 0; i < m; ++i) {
            const std::uint32_t q = t[i] / 1000u;
            out[x + i] = std::uint8_t(q);
            ties |= std::uint32_t(q * 1000u == t[i]);
        }
        if (ties == 0) continue;
        for (int i = 0; i < m; ++i)
            if (t[i] % 1000u == 0) out[x + i] = std::uint8_t(luma(p[3 * i + 2], p[3 * i + 1], p[3 * i]));
    }
}

namespace {

// (mean - v)^2 for every 8-bit v, computed as the per-sample pass would.
struct SquaredDeviation {
    explicit SquaredDeviation(double mean) {
        for (int v = 0; v < 256; ++v) {
            const double d = mean - v;
            sq[v] = d * d;
        }
    }
    double sq[256];
};

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
    const SquaredDeviation t0(st.mean[0]), t1(st.mean[1]), t2(st.mean[2]), t3(st.mean[3]);
    double acc[4] = {};
    for_each_cell(im, [&](int s0, int s1, int s2, int s3) {
        acc[0] += t0.sq[s0];
        acc[1] += t1.sq[s1];
        acc[2] += t2.sq[s2];
        acc[3] += t3.sq[s3];
    });
    for (int k = 0; k < 4; ++k) st.std[k] = std::sqrt(acc[k] / n);
    return st;
}

template <class Sum>
ChannelStats colour_stats(const TestImage& im) {
    // The lumas of the first pass are kept for the second: computing them is
    // the costliest part of either pass.
    const std::size_t w = std::size_t(im.width);
    std::vector<std::uint8_t> lumas(w * std::size_t(im.height));
    Sum sr = 0, sg = 0, sb = 0, sy = 0;
    for (int r = 0; r < im.height; ++r) {
        const std::uint8_t* p = im.row(r);
        std::uint8_t* y = lumas.data() + w * std::size_t(r);
        luma_row(p, im.width, y);
        // Row totals fit 32 bits for any row width below 16 million pixels.
        std::uint32_t rr = 0, rg = 0, rb = 0, ry = 0;
        for (std::size_t i = 0; i < 3 * w; i += 3) {
            rb += p[i];
            rg += p[i + 1];
            rr += p[i + 2];
        }
        for (std::size_t i = 0; i < w; ++i) ry += y[i];
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
    const SquaredDeviation tr(st.mean[0]), tg(st.mean[1]), tb(st.mean[2]), ty(st.mean[3]);
    double ar = 0, ag = 0, ab = 0, ay = 0;
    for (int r = 0; r < im.height; ++r) {
        const std::uint8_t* p = im.row(r);
        const std::uint8_t* y = lumas.data() + w * std::size_t(r);
        for (std::size_t i = 0; i < w; ++i) {
            ar += tr.sq[p[3 * i + 2]];
            ag += tg.sq[p[3 * i + 1]];
            ab += tb.sq[p[3 * i]];
            ay += ty.sq[y[i]];
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
    const SquaredDeviation t1(g.first_mean), t2(g.second_mean);
    // Differences run from -255 to 255: diff_sq[255 + a - b].
    double diff_sq[511];
    for (int d = -255; d <= 255; ++d) {
        const double e = g.diff_mean - d;
        diff_sq[255 + d] = e * e;
    }
    double a1 = 0, a2 = 0, ad = 0;
    for (int u = im.height - 1; u >= 1; u -= 2) {
        const std::uint8_t* a = im.row(u) + first;
        const std::uint8_t* b = im.row(u - 1) + second;
        for (int o = 0; o < limit; o += stride) {
            a1 += t1.sq[a[o]];
            a2 += t2.sq[b[o]];
            ad += diff_sq[255 + int(a[o]) - int(b[o])];
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
