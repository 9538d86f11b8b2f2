#include "shading/centre.h"

#include <algorithm>
#include <bit>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "frame/log.h"
#include "frame/parallel.h"
#include "shading/numeric.h"

namespace morvik::shading {

namespace {

using frame::log_format;
using frame::log_write;

inline double det3(double a, double b, double c, double d, double e, double f, double g, double h, double i) {
    return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
}

// ------------------------------------------------------------ plain scan

// Parabola sums of every block column, one array per quantity (positions y,
// block means m).
struct ColumnSums {
    explicit ColumnSums(std::size_t hn)
        : count(hn), sy(hn), sy2(hn), sy3(hn), sy4(hn), sm(hn), sym(hn), sy2m(hn), first(hn), last(hn) {}
    std::vector<std::int32_t> count;
    std::vector<double> sy, sy2, sy3, sy4, sm, sym, sy2m, first, last;
};

// The smallest block sum whose mean (sum / 4, exact) is at least `level`:
// comparing sums instead of means gives the same decisions on integers.
std::int32_t sum_at_least(double level) {
    const double scaled = level * 4.0;  // exact
    if (!(scaled <= 4 * 255)) return 4 * 255 + 1;  // also NaN: no mean reaches it
    if (scaled <= 0) return 0;
    const auto t = static_cast<std::int32_t>(scaled);
    return t < scaled ? t + 1 : t;
}

// Adds one block row (sums `row`, position y) to the sums of every column
// that keeps its block. The kept test becomes a factor of 1 or 0: products
// with it are exact, and adding 0 leaves a (non-negative) sum unchanged, so
// the loop runs without branches.
void add_row_to_columns(const std::uint16_t* __restrict row, const std::uint16_t* __restrict top,
                        const std::uint16_t* __restrict bottom, std::int32_t threshold, double y, std::size_t hn,
                        ColumnSums& cs) {
    const double y2 = y * y, y3 = y2 * y, y4 = y2 * y2;
    std::int32_t* __restrict count = cs.count.data();
    double* __restrict sy = cs.sy.data();
    double* __restrict sy2 = cs.sy2.data();
    double* __restrict sy3 = cs.sy3.data();
    double* __restrict sy4 = cs.sy4.data();
    double* __restrict sm = cs.sm.data();
    double* __restrict sym = cs.sym.data();
    double* __restrict sy2m = cs.sy2m.data();
    double* __restrict first = cs.first.data();
    double* __restrict last = cs.last.data();
    for (std::size_t h = 0; h < hn; ++h) {
        const std::int32_t s = row[h];
        const std::int32_t keep = (s >= top[h]) & (s >= bottom[h]) & (s >= threshold);
        const double m = s / 4.0;
        const double kept = keep;
        const double opens = keep & (count[h] == 0);
        first[h] = first[h] * (1.0 - opens) + y * opens;
        last[h] = last[h] * (1.0 - kept) + y * kept;
        count[h] += keep;
        sy[h] += y * kept;
        sy2[h] += y2 * kept;
        sy3[h] += y3 * kept;
        sy4[h] += y4 * kept;
        sm[h] += m * kept;
        sym[h] += (y * m) * kept;
        sy2m[h] += (y2 * m) * kept;
    }
}

// ------------------------------------------------------------ exact scan

constexpr std::uint64_t kExactBound = std::uint64_t{1} << 53;  // integers below are exact doubles
constexpr int kChunk = 64;  // blocks per chunk of the 32-bit weighted sums

// Position j and j^2 of a block within its chunk, as 16-bit factors: in
// order, and for a pair of rows j, j + 1 repeated over four columns.
struct ChunkFactors {
    alignas(16) std::int16_t j[kChunk];
    alignas(16) std::int16_t j2[kChunk];
    alignas(16) std::int16_t pair_j[kChunk / 2][8];
    alignas(16) std::int16_t pair_j2[kChunk / 2][8];
    constexpr ChunkFactors() : j(), j2(), pair_j(), pair_j2() {
        for (int i = 0; i < kChunk; ++i) {
            j[i] = static_cast<std::int16_t>(i);
            j2[i] = static_cast<std::int16_t>(i * i);
            for (int lane = 0; lane < 4; ++lane) {
                pair_j[i / 2][2 * lane + i % 2] = j[i];
                pair_j2[i / 2][2 * lane + i % 2] = j2[i];
            }
        }
    }
};
constexpr ChunkFactors kFactors;

// The positions p_i = 4i + offset of one scan direction (x of the block
// columns for the row parabolas, y of the block rows for the column ones)
// and prefix sums P_k(i) = sum of p_u^k over u < i, k = 0..4, so that a run of
// kept blocks [a, b) adds P_k(b) - P_k(a). The fourth powers are exact only
// over a prefix [0, exact4): there P_4 stops growing, and the rest of a sum
// of fourth powers is added in double precision, in order, as the plain
// scan adds it. (A double sum of integers that are all multiples of 2^k
// is exact while it stays below 2^(53 + k).)
struct Positions {
    int count = 0;
    int offset = 0;
    int exact4 = 0;
    bool exact = true;  // sums of p^3 and of 1020 p^2 over all positions are exact
    std::vector<std::uint64_t> prefix[5];
    std::vector<double> fourth;  // p^4 as the plain scan forms it
    std::vector<double> fourth_pairs;  // each p^4 twice, for both lanes of a register

    Positions(int n, int off, int exact4_multiple) : count(n), offset(off) {
        for (auto& p : prefix) p.assign(static_cast<std::size_t>(n) + 1, 0);
        fourth.resize(static_cast<std::size_t>(n));
        fourth_pairs.resize(2 * static_cast<std::size_t>(n));
        std::uint64_t cubes = 0, squares = 0;
        // Every p^4 is a multiple of 16 when the offset is even (p = 2 x odd):
        // then sums of them are exact doubles up to 2^57, otherwise up to 2^53.
        const std::uint64_t bound4 = off % 2 == 0 ? kExactBound << 4 : kExactBound;
        exact4 = -1;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t p = 4 * static_cast<std::uint64_t>(i) + static_cast<std::uint64_t>(off);
            const std::uint64_t p2 = p * p, p3 = p2 * p;
            const double pd2 = to_double(p2);
            fourth[static_cast<std::size_t>(i)] = pd2 * pd2;
            fourth_pairs[2 * static_cast<std::size_t>(i)] = fourth_pairs[2 * static_cast<std::size_t>(i) + 1] = pd2 * pd2;
            const auto at = static_cast<std::size_t>(i);
            prefix[0][at + 1] = prefix[0][at] + 1;
            prefix[1][at + 1] = prefix[1][at] + p;
            prefix[2][at + 1] = prefix[2][at] + p2;
            prefix[3][at + 1] = prefix[3][at] + p3;
            cubes += p3;
            squares += p2;
            if (cubes >= kExactBound || squares >= kExactBound / 1024) exact = false;
            // p^4 itself may exceed 64 bits only far beyond the exact prefix.
            if (exact4 < 0 && (p2 >= (std::uint64_t{1} << 29) || p2 * p2 >= bound4 - prefix[4][at]))
                exact4 = i;
            prefix[4][at + 1] = exact4 < 0 ? prefix[4][at] + p2 * p2 : prefix[4][at];
        }
        if (exact4 < 0) exact4 = n;
        // The column scan switches to the double sums at the start of a row pair.
        exact4 -= exact4 % exact4_multiple;
        for (int i = exact4; i < n; ++i) prefix[4][static_cast<std::size_t>(i) + 1] = prefix[4][static_cast<std::size_t>(exact4)];
    }
    double position(int i) const { return 4.0 * i + offset; }
};

// Sums of the kept blocks of one row or column, exact integers where the
// plain double sums are exact, and the double sum of the fourth powers.
struct KeptSums {
    std::uint64_t power[5] = {};   // sum of p^k over the kept blocks (k = 4: those below exact4)
    std::uint64_t weighted[3] = {};  // sum of s, p s, p^2 s (block sums s)
    double fourth = 0;              // sum of p^4 in the order of the plain scan
    int first = -1, last = -1;      // first and last kept index

    void open_run(const Positions& pos, int i) {
        for (int k = 0; k < 5; ++k) power[k] -= pos.prefix[k][static_cast<std::size_t>(i)];
        if (first < 0) first = i;
    }
    void close_run(const Positions& pos, int i) {
        for (int k = 0; k < 5; ++k) power[k] += pos.prefix[k][static_cast<std::size_t>(i)];
        last = i - 1;
    }
    // Adds the 32-bit chunk sums a0 = sum s, a1 = sum j s, a2 = sum j^2 s of
    // a chunk whose first position is base (p = base + 4j).
    void add_chunk(std::uint64_t base, std::uint64_t a0, std::uint64_t a1, std::uint64_t a2) {
        weighted[0] += a0;
        weighted[1] += base * a0 + 4 * a1;
        weighted[2] += base * base * a0 + 8 * base * a1 + 16 * a2;
    }
    // The plain scan's sums: every quantity below 2^53, so the conversions
    // are exact (sum of s p^2 / 4 included: the caller checked the bound).
    PowerSums to_power_sums() const {
        PowerSums s;
        s.n = to_double(power[0]);
        s.sx = to_double(power[1]);
        s.sx2 = to_double(power[2]);
        s.sx3 = to_double(power[3]);
        s.sx4 = fourth;
        s.sy = to_double(weighted[0]) / 4.0;
        s.sxy = to_double(weighted[1]) / 4.0;
        s.sx2y = to_double(weighted[2]) / 4.0;
        return s;
    }
};

#if defined(__SSE2__)
inline std::uint32_t horizontal_sum(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
}
#endif

// One block row: the weighted sums of the kept blocks (sum >= at_least) and
// the runs they form, found from the kept blocks of each chunk as a bit set.
void scan_row(const std::uint16_t* row, const Positions& pos, std::int32_t at_least, KeptSums& ks) {
    const int n = pos.count;
    std::uint64_t carry = 0;  // the last block of the previous word was kept
    for (int h0 = 0; h0 < n; h0 += kChunk) {
        const int len = std::min(kChunk, n - h0);
        std::uint64_t bits = 0;
        std::uint32_t a0 = 0, a1 = 0, a2 = 0;
        int j = 0;
#if defined(__SSE2__)
        // Sixteen blocks a step: one pack and one mask extraction for both
        // halves. The kept sums of a chunk fit 16-bit lanes (8 x 1020).
        const __m128i limit = _mm_set1_epi16(static_cast<std::int16_t>(at_least - 1));
        __m128i w0 = _mm_setzero_si128(), v1 = w0, v2 = w0;
        const auto add = [&](__m128i kept, int at) {
            w0 = _mm_add_epi16(w0, kept);
            v1 = _mm_add_epi32(v1, _mm_madd_epi16(kept, _mm_load_si128(reinterpret_cast<const __m128i*>(kFactors.j + at))));
            v2 = _mm_add_epi32(v2, _mm_madd_epi16(kept, _mm_load_si128(reinterpret_cast<const __m128i*>(kFactors.j2 + at))));
        };
        for (; j + 16 <= len; j += 16) {
            const __m128i sa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + h0 + j));
            const __m128i sb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + h0 + j + 8));
            const __m128i keep_a = _mm_cmpgt_epi16(sa, limit), keep_b = _mm_cmpgt_epi16(sb, limit);
            bits |= static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_packs_epi16(keep_a, keep_b))) << j;
            add(_mm_and_si128(sa, keep_a), j);
            add(_mm_and_si128(sb, keep_b), j + 8);
        }
        if (j + 8 <= len) {
            const __m128i sa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + h0 + j));
            const __m128i keep_a = _mm_cmpgt_epi16(sa, limit);
            bits |= static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_packs_epi16(keep_a, _mm_setzero_si128()))) << j;
            add(_mm_and_si128(sa, keep_a), j);
            j += 8;
        }
        const __m128i v0 = _mm_madd_epi16(w0, _mm_set1_epi16(1));
        a0 = horizontal_sum(v0);
        a1 = horizontal_sum(v1);
        a2 = horizontal_sum(v2);
#endif
        for (; j < len; ++j) {
            const std::uint32_t s = row[h0 + j];
            if (static_cast<std::int32_t>(s) < at_least) continue;
            bits |= std::uint64_t{1} << j;
            a0 += s;
            a1 += static_cast<std::uint32_t>(j) * s;
            a2 += static_cast<std::uint32_t>(j * j) * s;
        }
        ks.add_chunk(4 * static_cast<std::uint64_t>(h0) + static_cast<std::uint64_t>(pos.offset), a0, a1, a2);
        // Runs: a start where a kept block follows an unkept one, an end at
        // the first unkept block after a kept one.
        const std::uint64_t before = (bits << 1) | carry;
        for (std::uint64_t starts = bits & ~before; starts; starts &= starts - 1)
            ks.open_run(pos, h0 + std::countr_zero(starts));
        const std::uint64_t valid = len == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << len) - 1;
        for (std::uint64_t ends = ~bits & before & valid; ends; ends &= ends - 1)
            ks.close_run(pos, h0 + std::countr_zero(ends));
        carry = (bits >> (len - 1)) & 1;
    }
    if (carry) ks.close_run(pos, n);
}

// The fourth powers of a group of rows from exact4 on, in block order, each
// row its own chain of additions (adding p^4 * 0 for an unkept block leaves a
// sum unchanged). Rows `rows[r]`, kept where the sum exceeds limit[r]. Two
// rows share a register, so two chains of vector additions carry the four
// rows; the kept tests are redone from the sums eight blocks at a time and
// widened to 64-bit lane masks, which costs fewer instructions than taking
// the bits one at a time from the row bit sets.
constexpr int kRowGroup = 4;

void add_fourth_powers(const Positions& pos, const std::uint16_t* const rows[kRowGroup],
                       const std::int16_t limit[kRowGroup], KeptSums ks[kRowGroup]) {
    double f[kRowGroup];
    for (int r = 0; r < kRowGroup; ++r) f[r] = to_double(ks[r].power[4]);
    const int end = std::max({ks[0].last, ks[1].last, ks[2].last, ks[3].last}) + 1;
    int h = pos.exact4;
#if defined(__SSE2__)
    if (h + 8 <= end) {
        __m128d f01 = _mm_set_pd(f[1], f[0]), f23 = _mm_set_pd(f[3], f[2]);
        const __m128i l0 = _mm_set1_epi16(limit[0]), l1 = _mm_set1_epi16(limit[1]);
        const __m128i l2 = _mm_set1_epi16(limit[2]), l3 = _mm_set1_epi16(limit[3]);
        for (; h + 8 <= end; h += 8) {
            const auto keep = [&](int r, __m128i l) {
                return _mm_cmpgt_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + h)), l);
            };
            // 16-bit lanes (row r, row r + 1) per block, then one 32-bit
            // lane per row and block, then one 64-bit lane per row.
            const __m128i k0 = keep(0, l0), k1 = keep(1, l1), k2 = keep(2, l2), k3 = keep(3, l3);
            const __m128i pairs01[2] = {_mm_unpacklo_epi16(k0, k1), _mm_unpackhi_epi16(k0, k1)};
            const __m128i pairs23[2] = {_mm_unpacklo_epi16(k2, k3), _mm_unpackhi_epi16(k2, k3)};
            const double* p4 = pos.fourth_pairs.data() + 2 * static_cast<std::size_t>(h);
            for (int half = 0; half < 2; ++half) {
                const __m128i a[2] = {_mm_unpacklo_epi16(pairs01[half], pairs01[half]),
                                      _mm_unpackhi_epi16(pairs01[half], pairs01[half])};
                const __m128i b[2] = {_mm_unpacklo_epi16(pairs23[half], pairs23[half]),
                                      _mm_unpackhi_epi16(pairs23[half], pairs23[half])};
                for (int q = 0; q < 2; ++q) {
                    const __m128d p_even = _mm_loadu_pd(p4 + 8 * half + 4 * q);
                    const __m128d p_odd = _mm_loadu_pd(p4 + 8 * half + 4 * q + 2);
                    f01 = _mm_add_pd(f01, _mm_and_pd(p_even, _mm_castsi128_pd(_mm_unpacklo_epi32(a[q], a[q]))));
                    f23 = _mm_add_pd(f23, _mm_and_pd(p_even, _mm_castsi128_pd(_mm_unpacklo_epi32(b[q], b[q]))));
                    f01 = _mm_add_pd(f01, _mm_and_pd(p_odd, _mm_castsi128_pd(_mm_unpackhi_epi32(a[q], a[q]))));
                    f23 = _mm_add_pd(f23, _mm_and_pd(p_odd, _mm_castsi128_pd(_mm_unpackhi_epi32(b[q], b[q]))));
                }
            }
        }
        _mm_storel_pd(&f[0], f01);
        _mm_storeh_pd(&f[1], f01);
        _mm_storel_pd(&f[2], f23);
        _mm_storeh_pd(&f[3], f23);
    }
#endif
    for (; h < end; ++h) {
        const double p = pos.fourth[static_cast<std::size_t>(h)];
        for (int r = 0; r < kRowGroup; ++r) f[r] += rows[r][h] > limit[r] ? p : 0.0;
    }
    for (int r = 0; r < kRowGroup; ++r) ks[r].fourth = f[r];
}

// The column scan over all columns of a channel, by chunks of 64 block rows,
// eight columns at a time down a chunk, a pair of rows at a time: per column
// 32-bit sums of s, j s, j^2 s (j the row within the chunk), runs of kept
// rows from the change of the kept test between rows, and from row exact4
// on the double sum of the fourth powers, each column top to bottom.
class ColumnScan {
public:
    ColumnScan(const std::uint16_t* sums, int hn, int vn, const Positions& pos, const std::vector<std::int16_t>& at_least)
        : sums_(sums), hn_(hn), vn_(vn), pos_(pos), at_least_(at_least), columns_(static_cast<std::size_t>(hn)),
          kept_(static_cast<std::size_t>(hn), 0), a0_(static_cast<std::size_t>(hn)), a1_(static_cast<std::size_t>(hn)),
          a2_(static_cast<std::size_t>(hn)), fourth_(static_cast<std::size_t>(hn)) {
        for (auto& w : weighted_) w.assign(static_cast<std::size_t>(hn), 0);
    }

    // Rows v0 .. v0 + 63 (fewer in the last chunk); chunks in order.
    void chunk(int v0) {
        const int v_end = std::min(vn_, v0 + kChunk);
        int h = 0;
#if defined(__SSE2__)
        for (; h + 8 <= hn_; h += 8) strip(h, v0, v_end);
#endif
        for (; h < hn_; ++h) column(h, v0, v_end);
        add_chunk_sums(4 * static_cast<std::uint64_t>(v0) + static_cast<std::uint64_t>(pos_.offset));
    }

    const std::vector<KeptSums>& finish() {
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            KeptSums& ks = columns_[c];
            for (int k = 0; k < 3; ++k) ks.weighted[k] = weighted_[k][c];
            if (kept_[c]) ks.close_run(pos_, vn_);
            ks.fourth = pos_.exact4 < vn_ ? fourth_[c] : to_double(ks.power[4]);
        }
        return columns_;
    }

private:
    const std::uint16_t* row(int v) const { return sums_ + static_cast<std::size_t>(v) * static_cast<std::size_t>(hn_); }

    // KeptSums::add_chunk for every column, kept apart per quantity so that
    // two columns go through one register: 32 x 32-bit products are exact
    // in 64-bit lanes while base^2 and 8 base fit 32 bits (always on grids
    // the exact scan takes; checked all the same).
    void add_chunk_sums(std::uint64_t base) {
        std::size_t c = 0;
        const std::size_t n = columns_.size();
        std::uint64_t* w0 = weighted_[0].data();
        std::uint64_t* w1 = weighted_[1].data();
        std::uint64_t* w2 = weighted_[2].data();
#if defined(__SSE2__)
        if (base * base <= 0xFFFFFFFFu) {
            const auto factor = [](std::uint64_t f) { return _mm_set_epi32(0, static_cast<int>(f), 0, static_cast<int>(f)); };
            const __m128i b1 = factor(base), b2 = factor(base * base), b8 = factor(8 * base), zero = _mm_setzero_si128();
            const auto widen = [&](const std::uint32_t* a) {
                return _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)), zero);
            };
            const auto add = [](std::uint64_t* w, __m128i v) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(w),
                                 _mm_add_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)), v));
            };
            for (; c + 2 <= n; c += 2) {
                const __m128i a0 = widen(a0_.data() + c), a1 = widen(a1_.data() + c), a2 = widen(a2_.data() + c);
                add(w0 + c, a0);
                add(w1 + c, _mm_add_epi64(_mm_mul_epu32(a0, b1), _mm_slli_epi64(a1, 2)));
                add(w2 + c, _mm_add_epi64(_mm_add_epi64(_mm_mul_epu32(a0, b2), _mm_mul_epu32(a1, b8)), _mm_slli_epi64(a2, 4)));
            }
        }
#endif
        for (; c < n; ++c) {
            const std::uint64_t a0 = a0_[c], a1 = a1_[c], a2 = a2_[c];
            w0[c] += a0;
            w1[c] += base * a0 + 4 * a1;
            w2[c] += base * base * a0 + 8 * base * a1 + 16 * a2;
        }
    }

#if defined(__SSE2__)
    // The running sums of eight columns down a chunk, in registers. The sums
    // of s fit 16-bit lanes (at most 64 x 1020 = 65280 per chunk).
    struct StripSums {
        __m128i before, s0, s1_lo, s1_hi, s2_lo, s2_hi;
        __m128d f01, f23, f45, f67;
    };

    // Eight columns from h down rows v0 .. v_end - 1, a pair of rows at a
    // time. The pairs before row exact4, those from it on and a single last
    // row each get their own loop, so that no test of the row index is left
    // in the loops. A missing last row keeps nothing, which closes every run
    // at vn.
    void strip(int h, int v0, int v_end) {
        const __m128i limit = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at_least_.data() + h)),
                                            _mm_set1_epi16(1));
        double* fourth = fourth_.data() + h;
        StripSums t;
        t.before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kept_.data() + h));
        t.s0 = t.s1_lo = t.s1_hi = t.s2_lo = t.s2_hi = _mm_setzero_si128();
        t.f01 = _mm_loadu_pd(fourth);
        t.f23 = _mm_loadu_pd(fourth + 2);
        t.f45 = _mm_loadu_pd(fourth + 4);
        t.f67 = _mm_loadu_pd(fourth + 6);
        const int pairs_end = v_end - (v_end - v0) % 2;
        const int exact_end = std::clamp(pos_.exact4, v0, pairs_end);
        // Row pointer and stride in locals: the run updates store through
        // pointers, after which members would have to be read again.
        const auto stride = static_cast<std::size_t>(hn_);
        const std::uint16_t* at = row(v0) + h;
        int v = v0;
        for (; v < exact_end; v += 2, at += 2 * stride) row_pair<false, false>(h, v, v - v0, at, stride, limit, t);
        if (v == pos_.exact4 && v < v_end) {
            alignas(16) double start[8];
            start_fourth(h, 8, lane_bits(t.before), start);
            t.f01 = _mm_load_pd(start);
            t.f23 = _mm_load_pd(start + 2);
            t.f45 = _mm_load_pd(start + 4);
            t.f67 = _mm_load_pd(start + 6);
        }
        for (; v < pairs_end; v += 2, at += 2 * stride) row_pair<true, false>(h, v, v - v0, at, stride, limit, t);
        if (v < v_end) {
            if (v >= pos_.exact4) row_pair<true, true>(h, v, v - v0, at, stride, limit, t);
            else row_pair<false, true>(h, v, v - v0, at, stride, limit, t);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(kept_.data() + h), t.before);
        const __m128i zero = _mm_setzero_si128();
        store(a0_.data() + h, _mm_unpacklo_epi16(t.s0, zero), _mm_unpackhi_epi16(t.s0, zero));
        store(a1_.data() + h, t.s1_lo, t.s1_hi);
        store(a2_.data() + h, t.s2_lo, t.s2_hi);
        _mm_storeu_pd(fourth, t.f01);
        _mm_storeu_pd(fourth + 2, t.f23);
        _mm_storeu_pd(fourth + 4, t.f45);
        _mm_storeu_pd(fourth + 6, t.f67);
    }

    // Rows v and v + 1 (j = v - v0; `at` points to row v, column h), or row
    // v alone (single: the last row of the grid, with nothing below it).
    template <bool with_fourth, bool single>
    void row_pair(int h, int v, int j, const std::uint16_t* at, std::size_t stride, __m128i limit, StripSums& t) {
        const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i r1 = single ? _mm_setzero_si128() : _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + stride));
        const __m128i k0 = _mm_cmpgt_epi16(r0, limit);
        const __m128i k1 = single ? _mm_setzero_si128() : _mm_cmpgt_epi16(r1, limit);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_xor_si128(k0, t.before), _mm_xor_si128(k1, k0)))) {
            const int mb = lane_bits(t.before), m0 = lane_bits(k0), m1 = lane_bits(k1);
            for (int i = 0; i < 8; ++i) transitions(h + i, v, (mb >> i) & 1, (m0 >> i) & 1, (m1 >> i) & 1);
        }
        t.before = k1;
        const __m128i kept0 = _mm_and_si128(r0, k0), kept1 = _mm_and_si128(r1, k1);
        t.s0 = _mm_add_epi16(t.s0, _mm_add_epi16(kept0, kept1));
        const __m128i lo = _mm_unpacklo_epi16(kept0, kept1), hi = _mm_unpackhi_epi16(kept0, kept1);
        const __m128i f1 = _mm_load_si128(reinterpret_cast<const __m128i*>(kFactors.pair_j[j / 2]));
        const __m128i f2 = _mm_load_si128(reinterpret_cast<const __m128i*>(kFactors.pair_j2[j / 2]));
        t.s1_lo = _mm_add_epi32(t.s1_lo, _mm_madd_epi16(lo, f1));
        t.s1_hi = _mm_add_epi32(t.s1_hi, _mm_madd_epi16(hi, f1));
        t.s2_lo = _mm_add_epi32(t.s2_lo, _mm_madd_epi16(lo, f2));
        t.s2_hi = _mm_add_epi32(t.s2_hi, _mm_madd_epi16(hi, f2));
        if (with_fourth) {
            add_fourth(k0, pos_.fourth[static_cast<std::size_t>(v)], t.f01, t.f23, t.f45, t.f67);
            if (!single) add_fourth(k1, pos_.fourth[static_cast<std::size_t>(v + 1)], t.f01, t.f23, t.f45, t.f67);
        }
    }

    static int lane_bits(__m128i mask) { return _mm_movemask_epi8(_mm_packs_epi16(mask, _mm_setzero_si128())); }
    static void store(std::uint32_t* at, __m128i lo, __m128i hi) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 4), hi);
    }
    // Adds p4 to the fourth-power sums of the kept lanes (p4 * 0 = 0 to the
    // others, as the plain sums do).
    static void add_fourth(__m128i kept, double p4, __m128d& f01, __m128d& f23, __m128d& f45, __m128d& f67) {
        const __m128d p = _mm_set1_pd(p4);
        const __m128i lo = _mm_unpacklo_epi16(kept, kept), hi = _mm_unpackhi_epi16(kept, kept);
        f01 = _mm_add_pd(f01, _mm_and_pd(p, _mm_castsi128_pd(_mm_unpacklo_epi32(lo, lo))));
        f23 = _mm_add_pd(f23, _mm_and_pd(p, _mm_castsi128_pd(_mm_unpackhi_epi32(lo, lo))));
        f45 = _mm_add_pd(f45, _mm_and_pd(p, _mm_castsi128_pd(_mm_unpacklo_epi32(hi, hi))));
        f67 = _mm_add_pd(f67, _mm_and_pd(p, _mm_castsi128_pd(_mm_unpackhi_epi32(hi, hi))));
    }
#endif

    // One column, the same sums block by block.
    void column(int h, int v0, int v_end) {
        const auto c = static_cast<std::size_t>(h);
        const std::int32_t limit = at_least_[c];
        bool before = kept_[c] != 0;
        std::uint32_t s0 = 0, s1 = 0, s2 = 0;
        for (int v = v0; v < v_end; v += 2) {
            const auto j = static_cast<std::uint32_t>(v - v0);
            const std::uint32_t r0 = row(v)[h], r1 = v + 1 < vn_ ? row(v + 1)[h] : 0;
            const bool k0 = static_cast<std::int32_t>(r0) >= limit, k1 = v + 1 < vn_ && static_cast<std::int32_t>(r1) >= limit;
            if (v == pos_.exact4) start_fourth(h, 1, before ? 1 : 0, &fourth_[c]);
            if (k0 != before || k1 != k0) transitions(h, v, before, k0, k1);
            before = k1;
            const std::uint32_t m0 = k0 ? r0 : 0, m1 = k1 ? r1 : 0;
            s0 += m0 + m1;
            s1 += j * m0 + (j + 1) * m1;
            s2 += j * j * m0 + (j + 1) * (j + 1) * m1;
            if (v >= pos_.exact4) {
                fourth_[c] += k0 ? pos_.fourth[static_cast<std::size_t>(v)] : 0.0;
                if (v + 1 < vn_) fourth_[c] += k1 ? pos_.fourth[static_cast<std::size_t>(v + 1)] : 0.0;
            }
        }
        kept_[c] = before ? -1 : 0;
        a0_[c] = s0;
        a1_[c] = s1;
        a2_[c] = s2;
    }

    // Column h was kept at row v - 1 (before), v (k0) and v + 1 (k1).
    void transitions(int h, int v, bool before, bool k0, bool k1) {
        KeptSums& ks = columns_[static_cast<std::size_t>(h)];
        if (k0 && !before) ks.open_run(pos_, v);
        if (!k0 && before) ks.close_run(pos_, v);
        if (k1 && !k0) ks.open_run(pos_, v + 1);
        if (!k1 && k0) ks.close_run(pos_, v + 1);
    }

    // From row exact4 on, the fourth powers of columns h .. h + count - 1 are
    // summed in double precision, starting from the exact sum over the rows
    // above; a run still open at row exact4 - 1 (bit i of open) holds
    // -P_4(start) and counts up to exact4. Called before the transitions of
    // row exact4; the integer fourth-power sums are not used after it.
    void start_fourth(int h, int count, int open, double* out) const {
        const std::uint64_t closed = pos_.prefix[4][static_cast<std::size_t>(pos_.exact4)];
        for (int i = 0; i < count; ++i)
            out[i] = to_double(columns_[static_cast<std::size_t>(h + i)].power[4] + (((open >> i) & 1) ? closed : 0));
    }

    const std::uint16_t* sums_;
    int hn_, vn_;
    const Positions& pos_;
    const std::vector<std::int16_t>& at_least_;
    std::vector<KeptSums> columns_;
    std::vector<std::int16_t> kept_;  // kept test per column at the last row done (0 / -1)
    std::vector<std::uint32_t> a0_, a1_, a2_;  // chunk sums of s, j s, j^2 s
    std::vector<std::uint64_t> weighted_[3];   // per column, KeptSums::weighted so far
    std::vector<double> fourth_;
};

Parabola fit_kept(const KeptSums& ks, const Positions& pos) {
    if (ks.power[0] <= 2) return Parabola{};
    return fit_parabola(ks.to_power_sums(), pos.position(ks.first), pos.position(ks.last));
}

}  // namespace

namespace {
void scan_channel_at(const BlockStats& stats, int c, const Positions& xs, const Positions& ys,
                     std::vector<Parabola>& rows, std::vector<Parabola>& columns);
}  // namespace

// Both scans of channel c in one pass over its block sums, with exact
// integer sums: the plain double sums add integers (positions and their
// powers) and quarters (block means), so while every partial sum stays below
// 2^53 they are exact, and any order of adding gives the same result. Only
// the fourth powers grow past that; they are summed in double precision from
// the last exact partial sum on, in block order, as the plain scan does.
void scan_channel(const BlockStats& stats, int c, std::vector<Parabola>& rows, std::vector<Parabola>& columns) {
    const Positions xs(stats.grid.hn, block_x(c, 0), 1), ys(stats.grid.vn, block_y(c, 0), 2);
    scan_channel_at(stats, c, xs, ys, rows, columns);
}

namespace {

// scan_channel with the positions of the channel's columns (xs) and rows
// (ys) made by the caller: channels with the same offsets share them.
void scan_channel_at(const BlockStats& stats, int c, const Positions& xs, const Positions& ys,
                     std::vector<Parabola>& rows, std::vector<Parabola>& columns) {
    const BlockGrid& grid = stats.grid;
    if (!xs.exact || !ys.exact) {
        scan_channel_plain(stats, c, rows, columns);
        return;
    }
    const auto hn = static_cast<std::size_t>(grid.hn);
    const std::int32_t threshold = sum_at_least(0.5 * stats.target[c]);
    const std::uint16_t* sums = stats.sums[c];
    const std::uint16_t* top = sums;
    const std::uint16_t* bottom = sums + grid.index(grid.vn - 1, 0);

    std::vector<std::int16_t> at_least(hn);
    for (std::size_t h = 0; h < hn; ++h)
        at_least[h] = static_cast<std::int16_t>(std::max<std::int32_t>({top[h], bottom[h], threshold}));
    ColumnScan column_scan(sums, grid.hn, grid.vn, ys, at_least);

    // By chunks of 64 block rows: their row parabolas, four rows at a time
    // (missing rows keep nothing), then the chunk's share of the column sums
    // while its rows are still in cache.
    rows.assign(static_cast<std::size_t>(grid.vn), Parabola{});
    for (int chunk = 0; chunk < grid.vn; chunk += kChunk) {
        for (int v0 = chunk; v0 < std::min(grid.vn, chunk + kChunk); v0 += kRowGroup) {
            KeptSums ks[kRowGroup];
            const std::uint16_t* group_rows[kRowGroup];
            std::int16_t limit[kRowGroup];
            for (int r = 0; r < kRowGroup; ++r) {
                // A missing row keeps nothing: no sum exceeds 0x7FFF.
                group_rows[r] = sums + grid.index(std::min(v0 + r, grid.vn - 1), 0);
                limit[r] = 0x7FFF;
                if (v0 + r >= grid.vn) continue;
                const std::uint16_t* row = group_rows[r];
                const std::int32_t at_least = std::max<std::int32_t>({row[0], row[hn - 1], threshold});
                limit[r] = static_cast<std::int16_t>(at_least - 1);
                scan_row(row, xs, at_least, ks[r]);
            }
            add_fourth_powers(xs, group_rows, limit, ks);
            for (int r = 0; r < kRowGroup && v0 + r < grid.vn; ++r)
                rows[static_cast<std::size_t>(v0 + r)] = fit_kept(ks[r], xs);
        }
        column_scan.chunk(chunk);
    }
    const std::vector<KeptSums>& kept = column_scan.finish();
    columns.resize(hn);
    for (std::size_t h = 0; h < hn; ++h) columns[h] = fit_kept(kept[h], ys);
}

}  // namespace

// The plain form: every kept block adds its position powers and mean in
// double precision, rows along the row, columns top to bottom.
void scan_channel_plain(const BlockStats& stats, int c, std::vector<Parabola>& rows, std::vector<Parabola>& columns) {

    const BlockGrid& grid = stats.grid;
    const auto hn = static_cast<std::size_t>(grid.hn);
    const std::int32_t threshold = sum_at_least(0.5 * stats.target[c]);
    const std::uint16_t* sums = stats.sums[c];
    const std::uint16_t* top = sums;
    const std::uint16_t* bottom = sums + grid.index(grid.vn - 1, 0);

    // Powers of the column positions, as the row sums add them.
    std::vector<double> px(hn), px2(hn), px3(hn), px4(hn);
    for (std::size_t h = 0; h < hn; ++h) {
        const double x = block_x(c, static_cast<int>(h));
        const double x2 = x * x;
        px[h] = x;
        px2[h] = x2;
        px3[h] = x2 * x;
        px4[h] = x2 * x2;
    }
    ColumnSums column_sums(hn);
    rows.assign(static_cast<std::size_t>(grid.vn), Parabola{});
    for (int v = 0; v < grid.vn; ++v) {
        const std::uint16_t* row = sums + grid.index(v, 0);
        // Row v: kept blocks add their position powers and mean.
        const std::int32_t at_least = std::max<std::int32_t>({row[0], row[hn - 1], threshold});
        PowerSums rs;
        double first = block_x(c, grid.hn), last = 0;
        for (std::size_t h = 0; h < hn; ++h) {
            const std::int32_t keep = row[h] >= at_least;
            const double m = row[h] / 4.0, kept = keep;
            if (rs.n == 0 && keep) first = px[h];
            if (keep) last = px[h];
            rs.n += kept;
            rs.sx += px[h] * kept;
            rs.sx2 += px2[h] * kept;
            rs.sx3 += px3[h] * kept;
            rs.sx4 += px4[h] * kept;
            rs.sy += m * kept;
            rs.sxy += (px[h] * m) * kept;
            rs.sx2y += (px2[h] * m) * kept;
        }
        if (rs.n == 0) last = first;
        rows[static_cast<std::size_t>(v)] = fit_parabola(rs, first, last);
        add_row_to_columns(row, top, bottom, threshold, block_y(c, v), hn, column_sums);
    }
    columns.resize(hn);
    for (std::size_t h = 0; h < hn; ++h) {
        const ColumnSums& cs = column_sums;
        PowerSums s;
        s.n = cs.count[h];
        s.sx = cs.sy[h];
        s.sx2 = cs.sy2[h];
        s.sx3 = cs.sy3[h];
        s.sx4 = cs.sy4[h];
        s.sy = cs.sm[h];
        s.sxy = cs.sym[h];
        s.sx2y = cs.sy2m[h];
        columns[h] = fit_parabola(s, cs.first[h], cs.last[h]);
    }
}


namespace {

ChannelCentre intersect(const Line& horizontal, const Line& vertical, const BlockGrid& grid, int c) {
    ChannelCentre centre;
    if (horizontal.code != 0 || vertical.code != 0) {
        centre.code = 1;
        return centre;
    }
    const double det = 1 - vertical.a * horizontal.a;
    if (det >= -0.0001 && det <= 0.0001) {
        centre.code = 2;
        return centre;
    }
    // x = aH y + bH and y = aV x + bV.
    centre.x = (vertical.b * horizontal.a + horizontal.b) / det;
    centre.y = (vertical.a * horizontal.b + vertical.b) / det;
    const double x0 = block_x(c, 0), x1 = block_x(c, grid.hn - 1);
    const double y0 = block_y(c, 0), y1 = block_y(c, grid.vn - 1);
    centre.code = (centre.x > x0 && centre.x < x1 && centre.y > y0 && centre.y < y1) ? 0 : 3;
    return centre;
}

}  // namespace

Parabola fit_parabola(const PowerSums& s, double first, double last) {
    Parabola p;
    if (s.n <= 2) return p;
    const double det = det3(s.sx4, s.sx3, s.sx2, s.sx3, s.sx2, s.sx, s.sx2, s.sx, s.n);
    if (det < 0.0001) {
        p.code = ParabolaCode::singular;
        return p;
    }
    const double a = det3(s.sx2y, s.sx3, s.sx2, s.sxy, s.sx2, s.sx, s.sy, s.sx, s.n) / det;
    const double b = det3(s.sx4, s.sx2y, s.sx2, s.sx3, s.sxy, s.sx, s.sx2, s.sy, s.n) / det;
    const double c = det3(s.sx4, s.sx3, s.sx2y, s.sx3, s.sx2, s.sxy, s.sx2, s.sx, s.sy) / det;
    if (a >= 0) {
        p.code = ParabolaCode::not_concave;
        return p;
    }
    p.vertex = -b / (2 * a);
    const double peak = (4 * a * c - b * b) / (4 * a);
    p.code = (peak <= 0 || p.vertex < first || p.vertex > last) ? ParabolaCode::outside : ParabolaCode::good;
    return p;
}

Line LineSums::fit() const {
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

namespace {

// Per channel, the straight line through the good vertices of its rows (or
// columns) against their block positions, logged under `title`.
void fit_lines(const std::vector<Parabola> (&fits)[4], int (*position)(int c, int index), const char* title,
               Line (&out)[4]) {
    for (int c = 0; c < 4; ++c) {
        LineSums sums;
        for (std::size_t i = 0; i < fits[c].size(); ++i)
            if (fits[c][i].code == ParabolaCode::good) sums.add(position(c, static_cast<int>(i)), fits[c][i].vertex);
        out[c] = sums.fit();
        log_write(title);
        log_write("i result      a      b\n");
        log_format("%1d %2d %.3f %.3f\n", c, out[c].code, out[c].a, out[c].b);
    }
}

}  // namespace

CentreResult find_centre(const BlockStats& stats, unsigned bayer_order) {
    const BlockGrid& grid = stats.grid;
    CentreResult r;

    // Column positions of channels 0 and 2 start at x = 1, of 1 and 3 at
    // x = 2; row positions of channels 0 and 1 at y = 1, of 2 and 3 at y = 2.
    const Positions xs[2] = {Positions(grid.hn, block_x(0, 0), 1), Positions(grid.hn, block_x(1, 0), 1)};
    const Positions ys[2] = {Positions(grid.vn, block_y(0, 0), 2), Positions(grid.vn, block_y(2, 0), 2)};
    frame::run_parts(4, [&](int c) { scan_channel_at(stats, c, xs[c % 2], ys[c / 2], r.rows[c], r.columns[c]); });

    log_write("Shading: Memory allocation OK for horizontal line fitting\n");
    log_write("Shading: Horizontal Scan\n");
    log_write("Shading: Horizontal Scan End\n");

    log_write("Shading: Horizontal Line Fitting\n");
    fit_lines(r.rows, block_y, "----------------------horizontal ay+b-----------------\n", r.horizontal);
    log_write("Shading: Horizontal Line Fitting End\n");

    log_write("Shading: Memory allocation OK for vertical line fitting\n");
    log_write("Shading: Vertical Scan End\n");

    log_write("Shading: Vertical Line Fitting\n");
    fit_lines(r.columns, block_x, "----------------------vertical ax+b-------------------\n", r.vertical);
    log_write("Shading: Vertical Line Fitting End\n");

    log_write("Shading: Get center X Y\n");
    for (int c = 0; c < 4; ++c) {
        const ChannelCentre& ct = r.channel[c] = intersect(r.horizontal[c], r.vertical[c], grid, c);
        log_write("----------------------Center X & Y---------------\n");
        log_write("i result     x     y\n");
        log_format("%1d %2d %.3f %.3f\n", c, ct.code, ct.x, ct.y);
    }
    log_write("Shading: Center X Y End\n");

    log_write("Shading: select center by Gr Gb\n");
    const bool greens_1_2 = bayer_order == 0 || bayer_order == 3;
    const ChannelCentre& g1 = r.channel[greens_1_2 ? 1 : 0];
    const ChannelCentre& g2 = r.channel[greens_1_2 ? 2 : 3];
    if (g1.code != 0 && g2.code != 0) return r;
    if (g1.code != 0) {
        r.x = g2.x;
        r.y = g2.y;
    } else if (g2.code != 0) {
        r.x = g1.x;
        r.y = g1.y;
    } else {
        r.x = (g1.x + g2.x) / 2;
        r.y = (g1.y + g2.y) / 2;
    }
    r.found = true;
    log_write("----------------------Selected Center X & Y---------------\n");
    log_format("X %.3f, Y %.3f\n", r.x, r.y);
    log_write("Shading: select center by Gr Gb End\n");
    r.center_x = static_cast<std::uint16_t>(static_cast<long>(2 * r.x + 0.5));
    r.center_y = static_cast<std::uint16_t>(static_cast<long>(2 * r.y + 0.5));
    return r;
}

}  // namespace morvik::shading
