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
#include <cstring>
#include <vector>

#include "verify/verify.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvik::verify {

void luma_row(const std::uint8_t* bgr, int n, std::uint8_t* out) {
    // With T = 587 G + 299 R + 114 B, the exact value of the luma sum is
    // (T + 500) / 1000. The double evaluation stays within 1e-12 of it (the
    // constants are within 6e-17 of their decimal values, and each of the
    // six roundings of a value below 256 is below 3e-14). When T + 500 is
    // not a multiple of 1000 the exact value lies at least 0.001 from every
    // integer, so the truncated double equals (T + 500) / 1000 in integers.
    // When it is a multiple (a tie), the double can land on either side of
    // the integer: those pixels take the double formula itself.
    int x = 0;
#if defined(__SSE2__)
    // Four pixels a vector. The quotient comes from single precision:
    // (T + 500.5) / 1000 has a fraction between 0.0005 and 0.9995, and
    // (T + 499.5) / 1000 the same except at a tie, where it lies 0.0005
    // below the integer; the float products stay within 3e-5 of the exact
    // quotients (T + 500.5 < 2^18 is exact, two roundings of 2^-24), so
    // their truncations are floor((T + 500) / 1000) and, at a tie only, one
    // less.
    const __m128i weights = _mm_setr_epi16(114, 587, 299, 0, 114, 587, 299, 0);
    const __m128i zero = _mm_setzero_si128();
    const __m128i lane0 = _mm_setr_epi32(0xFFFFFF, 0, 0, 0), lane1 = _mm_setr_epi32(0, 0xFFFFFF, 0, 0);
    const __m128i lane2 = _mm_setr_epi32(0, 0, 0xFFFFFF, 0), lane3 = _mm_setr_epi32(0, 0, 0, 0xFFFFFF);
    const __m128 up = _mm_set1_ps(500.5f), down = _mm_set1_ps(499.5f), milli = _mm_set1_ps(0.001f);
    // A 16-byte load covers four pixels and four further bytes.
    for (; x + 6 <= n; x += 4) {
        const std::uint8_t* p = bgr + 3 * std::size_t(x);
        prefetch_ahead(p);
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Pixel i's B, G, R moved to bytes 4i .. 4i+2, byte 4i+3 zero.
        const __m128i bgr0 = _mm_or_si128(_mm_or_si128(_mm_and_si128(v, lane0), _mm_and_si128(_mm_slli_si128(v, 1), lane1)),
                                          _mm_or_si128(_mm_and_si128(_mm_slli_si128(v, 2), lane2),
                                                       _mm_and_si128(_mm_slli_si128(v, 3), lane3)));
        // 114 B + 587 G and 299 R per pixel, then their sums T.
        const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi8(bgr0, zero), weights);
        const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi8(bgr0, zero), weights);
        const __m128 even = _mm_shuffle_ps(_mm_castsi128_ps(lo), _mm_castsi128_ps(hi), _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 odd = _mm_shuffle_ps(_mm_castsi128_ps(lo), _mm_castsi128_ps(hi), _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 t = _mm_cvtepi32_ps(_mm_add_epi32(_mm_castps_si128(even), _mm_castps_si128(odd)));
        const __m128i q = _mm_cvttps_epi32(_mm_mul_ps(_mm_add_ps(t, up), milli));
        const __m128i q_below = _mm_cvttps_epi32(_mm_mul_ps(_mm_add_ps(t, down), milli));
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(q, zero), zero);
        const int word = _mm_cvtsi128_si32(bytes);
        std::memcpy(out + x, &word, 4);
        const int ties = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(q, q_below))) ^ 0xF;
        for (int i = 0; i < 4; ++i)
            if (ties >> i & 1) out[x + i] = std::uint8_t(luma(p[3 * i + 2], p[3 * i + 1], p[3 * i]));
    }
#endif
    for (; x < n; ++x) {
        const std::uint8_t* p = bgr + 3 * std::size_t(x);
        const std::uint32_t t = 587u * p[1] + 299u * p[2] + 114u * p[0] + 500u;
        out[x] = std::uint8_t(t % 1000u == 0 ? luma(p[2], p[1], p[0]) : int(t / 1000u));
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

// The green-pair means from their integer sums, and the squared-deviation
// tables of the second pass. Differences run from -255 to 255: diff_sq[255 + a - b].
struct GreenPairTables {
    GreenPairTables(std::uint32_t s1, std::uint32_t s2, std::uint32_t sd, double n, GreenStats& g)
        : first((g.first_mean = double(s1) / n)),
          second((g.second_mean = double(s2) / n)) {
        g.diff_mean = double(static_cast<std::int32_t>(sd)) / n;
        for (int d = -255; d <= 255; ++d) {
            const double e = g.diff_mean - d;
            diff_sq[255 + d] = e * e;
        }
    }
    static void finish(double a1, double a2, double ad, double n, GreenStats& g) {
        g.first_std = std::sqrt(a1 / n);
        g.second_std = std::sqrt(a2 / n);
        g.diff_std = std::sqrt(ad / n);
    }
    SquaredDeviation first, second;
    double diff_sq[511];
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
            if (i % 8 == 0) {
                prefetch_ahead(a);
                prefetch_ahead(b);
            }
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
ColourSums<Sum>::ColourSums(const TestImage& image)
    : im_(image), lumas_(new std::uint8_t[std::size_t(image.width) * std::size_t(image.height)]) {}

template <class Sum>
void ColourSums<Sum>::add_row(int r) {
    const std::size_t w = std::size_t(im_.width);
    const std::uint8_t* p = im_.row(r);
    std::uint8_t* y = lumas_.get() + w * std::size_t(r);
    luma_row(p, im_.width, y);
    // Row totals fit 32 bits for any row width below 16 million pixels.
    std::uint32_t rr = 0, rg = 0, rb = 0, ry = 0;
    for (std::size_t i = 0; i < 3 * w; i += 3) {
        rb += p[i];
        rg += p[i + 1];
        rr += p[i + 2];
    }
    for (std::size_t i = 0; i < w; ++i) ry += y[i];
    sum_[0] += Sum(rr);
    sum_[1] += Sum(rg);
    sum_[2] += Sum(rb);
    sum_[3] += Sum(ry);
}

template <class Sum>
ChannelStats ColourSums<Sum>::means() const {
    const double n = double(std::int64_t(im_.width) * im_.height);
    ChannelStats st;
    for (int k = 0; k < 4; ++k) st.mean[k] = double(sum_[k]) / n;
    return st;
}

namespace {

// Squared deviations of R, G, B and Y, summed in pixel order, with the
// lumas the first pass kept.
struct ColourDeviations {
    static constexpr int kChunk = 16;
    explicit ColourDeviations(const ChannelStats& st) : r(st.mean[0]), g(st.mean[1]), b(st.mean[2]), y(st.mean[3]) {}
    // Pixels [from, to) of row `p` with lumas `row_lumas`; `each` is called
    // with every pixel index after that pixel's additions.
    template <class F>
    void add(const std::uint8_t* p, const std::uint8_t* row_lumas, int from, int to, F&& each) {
        for (int x = from; x < to; x += kChunk) {
            const int m = std::min(kChunk, to - x);
            const std::uint8_t* q = p + 3 * std::size_t(x);
            const std::uint8_t* lumas = row_lumas + x;
            prefetch_ahead(q);
            prefetch_ahead(lumas);
            for (int i = 0; i < m; ++i) {
                acc[0] += r.sq[q[3 * i + 2]];
                acc[1] += g.sq[q[3 * i + 1]];
                acc[2] += b.sq[q[3 * i]];
                acc[3] += y.sq[lumas[i]];
                each(x + i);
            }
        }
    }
    void add(const std::uint8_t* p, const std::uint8_t* row_lumas, int from, int to) {
        add(p, row_lumas, from, to, [](int) {});
    }
    void finish(ChannelStats& st, double n) const {
        for (int k = 0; k < 4; ++k) st.std[k] = std::sqrt(acc[k] / n);
    }
    SquaredDeviation r, g, b, y;
    double acc[4] = {};
};

}  // namespace

template <class Sum>
ChannelStats ColourSums<Sum>::finish() const {
    ChannelStats st = means();
    ColourDeviations dev(st);
    for (int r = 0; r < im_.height; ++r) dev.add(im_.row(r), row_lumas(r), 0, im_.width);
    dev.finish(st, double(std::int64_t(im_.width) * im_.height));
    return st;
}

template class ColourSums<std::uint32_t>;
template class ColourSums<std::uint64_t>;
template ChannelStats raw_cell_stats<std::uint32_t>(const TestImage&);
template ChannelStats raw_cell_stats<std::uint64_t>(const TestImage&);

namespace {

// Green pairs: for each row pair (upper u, lower u-1), the first green from
// byte offset `first` of the upper row and the second from `second` of the
// lower row, at cell columns x = 0, 2, 4, ... < 2 * (width / 2). Sums are
// unsigned 32-bit (wrapping); the difference sum is signed 32-bit, kept as
// unsigned for defined wraparound.
GreenStats green_pairs(const TestImage& im, int first, int second) {
    const int limit = 3 * 2 * (im.width / 2);
    const int stride = 6;
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
    const GreenPairTables t(s1, s2, sd, n, g);
    double a1 = 0, a2 = 0, ad = 0;
    for (int u = im.height - 1; u >= 1; u -= 2) {
        const std::uint8_t* a = im.row(u) + first;
        const std::uint8_t* b = im.row(u - 1) + second;
        for (int o = 0; o < limit; o += stride) {
            if (o % 48 == 0) {
                prefetch_ahead(a + o);
                prefetch_ahead(b + o);
            }
            a1 += t.first.sq[a[o]];
            a2 += t.second.sq[b[o]];
            ad += t.diff_sq[255 + int(a[o]) - int(b[o])];
        }
    }
    GreenPairTables::finish(a1, a2, ad, n, g);
    return g;
}

}  // namespace

GreenStats unbalance_greens_raw(const TestImage& im, int bayer_order) {
    // Orders 1 and 2: sites 0 (x, upper) and 3 (x+1, lower); else sites 1
    // (x+1, upper) and 2 (x, lower).
    return greens_at_0_3(bayer_order) ? green_pairs(im, 0, 3) : green_pairs(im, 3, 0);
}

UnbalanceColour unbalance_colour(const TestImage& im) {
    // Both measurements in the same two passes. The first pass takes the
    // green-pair sums (integers, in any order) when it reaches the upper row
    // of a pair. The second pass runs the colour deviations row by row and,
    // along each even row 2j, the deviations of green pair j (upper row
    // height-1-2j): every accumulator still sees its own samples in its own
    // order, and the independent additions overlap.
    const int pairs = im.height / 2, gw = 2 * (im.width / 2);
    ColourSums<std::uint32_t> sums(im);
    std::uint32_t s1 = 0, s2 = 0, sd = 0;
    for (int r = 0; r < im.height; ++r) {
        sums.add_row(r);
        if ((im.height - 1 - r) % 2 != 0 || r < 1) continue;
        const std::uint8_t* a = im.row(r) + 1;
        const std::uint8_t* b = im.row(r - 1) + 1;
        std::uint32_t r1 = 0, r2 = 0;
        for (int x = 0; x < gw; ++x) {
            r1 += a[3 * x];
            r2 += b[3 * x];
        }
        s1 += r1;
        s2 += r2;
        sd += r1 - r2;
    }
    UnbalanceColour out;
    out.stats = sums.means();
    GreenStats& g = out.greens;
    const double n = double(std::int64_t(pairs) * gw);
    const GreenPairTables t(s1, s2, sd, n, g);
    ColourDeviations dev(out.stats);
    double a1 = 0, a2 = 0, ad = 0;
    for (int r = 0; r < im.height; ++r) {
        const std::uint8_t* p = im.row(r);
        if (r % 2 != 0 || r / 2 >= pairs) {
            dev.add(p, sums.row_lumas(r), 0, im.width);
            continue;
        }
        const int u = im.height - 1 - r;
        const std::uint8_t* a = im.row(u) + 1;
        const std::uint8_t* b = im.row(u - 1) + 1;
        dev.add(p, sums.row_lumas(r), 0, gw, [&](int x) {
            if (x % ColourDeviations::kChunk == 0) {
                prefetch_ahead(a + 3 * std::size_t(x));
                prefetch_ahead(b + 3 * std::size_t(x));
            }
            const int first = a[3 * x], second = b[3 * x];
            a1 += t.first.sq[first];
            a2 += t.second.sq[second];
            ad += t.diff_sq[255 + first - second];
        });
        dev.add(p, sums.row_lumas(r), gw, im.width);
    }
    dev.finish(out.stats, double(std::int64_t(im.width) * im.height));
    GreenPairTables::finish(a1, a2, ad, n, g);
    return out;
}


}  // namespace morvik::verify
