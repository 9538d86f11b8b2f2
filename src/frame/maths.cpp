// The maths layer, built from IEEE 754 double additions, multiplications,
// divisions and integer operations only: no library maths, no fused
// multiply-add, no table or code path chosen by CPU. Each function evaluates
// its result as a double-double (an unevaluated sum hi + lo carrying about
// 106 bits) and rounds that once to the nearest double, so every target that
// rounds basic operations to nearest even gets the same bits.
//
// The double-double value is within about 2^-100 of the exact result (2^-93
// for pow, whose logarithm is scaled by the exponent), far below the half
// unit in the last place that decides the rounding, so the rounded result is
// the correctly rounded one except for inputs whose exact result lies within
// that distance of a midpoint between two doubles. The only exact midpoints
// are those of pow with an exponent n/2^k, which are detected and rounded
// exactly; the MPFR comparison in tests/mpfr/ measures the rest.
#include "frame/maths.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace morvik::maths {
namespace {

// ------------------------------------------------------------ bits
std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

double from_bits(std::uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double qnan = std::numeric_limits<double>::quiet_NaN();

bool is_nan(double x) { return x != x; }
bool is_inf(double x) { return x == inf || x == -inf; }
bool sign_bit(double x) { return (bits(x) >> 63) != 0; }
double abs_of(double x) { return from_bits(bits(x) & ~(std::uint64_t{1} << 63)); }
double with_sign(double x, bool negative) { return negative ? -abs_of(x) : abs_of(x); }

// 2^k for k in [-1022, 1023].
double pow2i(int k) { return from_bits(std::uint64_t(k + 1023) << 52); }

// x * 2^k, exact whenever the result is a normal double.
double scale2(double x, int k) {
    while (k > 1023) { x *= pow2i(1023); k -= 1023; }
    while (k < -1022) { x *= pow2i(-1022); k += 1022; }
    return x * pow2i(k);
}

// Splits a finite non-zero |x| into m * 2^e with m in [1, 2).
void frexp1(double x, double& m, int& e) {
    x = abs_of(x);
    int shift = 0;
    if (x < pow2i(-1022)) { x *= pow2i(54); shift = 54; }
    const std::uint64_t u = bits(x);
    e = int(u >> 52) - 1023 - shift;
    m = from_bits((u & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1023} << 52));
}

// x = m 2^e with m in (sqrt(1/2), sqrt(2)]: the range the log series is
// evaluated on.
void split_for_log(double x, double& m, int& e) {
    frexp1(x, m, e);
    if (m > 1.4142135623730951) {
        m *= 0.5;
        e += 1;
    }
}

// Nearest integer (ties to even) of |x| < 2^52, by the rounding of the add.
double round_even(double x) {
    const double big = 4503599627370496.0;  // 2^52
    return x >= 0 ? (x + big) - big : -((-x + big) - big);
}

// Unsigned 32-bit to double without going through a 64-bit integer (which
// the 32-bit target converts on the x87 unit).
double u32_to_double(std::uint32_t v) {
    return double(std::int32_t(v >> 16)) * 65536.0 + double(std::int32_t(v & 0xFFFFu));
}

// An integral double in [0, 2^32) as an unsigned 32-bit word (same reason).
std::uint32_t double_to_u32(double v) {
    return std::uint32_t(std::int32_t(v - 2147483648.0)) + 2147483648u;
}

// ------------------------------------------------------------ double-double
struct dd {
    double hi, lo;
};

constexpr dd two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

constexpr dd fast_two_sum(double a, double b) {  // |a| >= |b| or a == 0
    const double s = a + b;
    return {s, b - (s - a)};
}

constexpr void split(double a, double& h, double& l) {  // |a| < 2^996
    const double c = 134217729.0 * a;  // 2^27 + 1
    h = c - (c - a);
    l = a - h;
}

constexpr dd two_prod(double a, double b) {
    const double p = a * b;
    double ah = 0, al = 0, bh = 0, bl = 0;
    split(a, ah, al);
    split(b, bh, bl);
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

constexpr dd neg(dd a) { return {-a.hi, -a.lo}; }

constexpr dd add(dd a, dd b) {
    dd s = two_sum(a.hi, b.hi);
    const dd t = two_sum(a.lo, b.lo);
    s.lo += t.hi;
    s = fast_two_sum(s.hi, s.lo);
    s.lo += t.lo;
    return fast_two_sum(s.hi, s.lo);
}

constexpr dd add(dd a, double b) {
    dd s = two_sum(a.hi, b);
    s.lo += a.lo;
    return fast_two_sum(s.hi, s.lo);
}

constexpr dd sub(dd a, dd b) { return add(a, neg(b)); }

constexpr dd mul(dd a, dd b) {
    dd p = two_prod(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return fast_two_sum(p.hi, p.lo);
}

constexpr dd mul(dd a, double b) {
    dd p = two_prod(a.hi, b);
    p.lo += a.lo * b;
    return fast_two_sum(p.hi, p.lo);
}

constexpr dd div(dd a, dd b) {
    const double q1 = a.hi / b.hi;
    dd r = sub(a, mul(b, q1));
    const double q2 = r.hi / b.hi;
    r = sub(r, mul(b, q2));
    const double q3 = r.hi / b.hi;
    return add(fast_two_sum(q1, q2), q3);
}

constexpr dd div(dd a, double b) { return div(a, dd{b, 0.0}); }

// ------------------------------------------------------------ constants
constexpr double ln2_0 = 0x1.62e42fefa39efp-1, ln2_1 = 0x1.abc9e3b39803fp-56,
                 ln2_2 = 0x1.7b57a079a1934p-111;
constexpr dd ln2{ln2_0, ln2_1};
constexpr dd log2_e{0x1.71547652b82fep+0, 0x1.777d0ffda0d24p-56};
constexpr dd log10_e{0x1.bcb7b1526e50ep-2, 0x1.95355baaafad3p-57};
constexpr dd pi{0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53};
constexpr dd pi_2{0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};
constexpr dd pi_4{0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55};
constexpr dd pi3_4{0x1.2d97c7f3321d2p+1, 0x1.a79394c9e8a0ap-54};

// atan(j/8), j = 0..8.
constexpr std::array<dd, 9> atan_eighths{{
    {0x0p+0, 0x0p+0},
    {0x1.fd5ba9aac2f6ep-4, -0x1.cd37686760c17p-59},
    {0x1.f5b75f92c80ddp-3, 0x1.8ab6e3cf7afbdp-57},
    {0x1.6f61941e4def1p-2, -0x1.c63aae6f6e918p-56},
    {0x1.dac670561bb4fp-2, 0x1.a2b7f222f65e2p-56},
    {0x1.1e00babdefeb4p-1, -0x1.928df287a668fp-58},
    {0x1.4978fa3269ee1p-1, 0x1.2419a87f2a458p-56},
    {0x1.700a7c5784634p-1, -0x1.8c34d25aadef6p-56},
    {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55},
}};

// Fraction bits of 2/pi, 32 at a time, for the reduction of large angles.
constexpr std::array<std::uint32_t, 48> two_over_pi{{
    0xA2F9836Eu, 0x4E441529u, 0xFC2757D1u, 0xF534DDC0u, 0xDB629599u, 0x3C439041u,
    0xFE5163ABu, 0xDEBBC561u, 0xB7246E3Au, 0x424DD2E0u, 0x06492EEAu, 0x09D1921Cu,
    0xFE1DEB1Cu, 0xB129A73Eu, 0xE88235F5u, 0x2EBB4484u, 0xE99C7026u, 0xB45F7E41u,
    0x3991D639u, 0x835339F4u, 0x9C845F8Bu, 0xBDF9283Bu, 0x1FF897FFu, 0xDE05980Fu,
    0xEF2F118Bu, 0x5A0A6D1Fu, 0x6D367ECFu, 0x27CB09B7u, 0x4F463F66u, 0x9E5FEA2Du,
    0x7527BAC7u, 0xEBE5F17Bu, 0x3D0739F7u, 0x8A5292EAu, 0x6BFB5FB1u, 0x1F8D5D08u,
    0x56033046u, 0xFC7B6BABu, 0xF0CFBC20u, 0x9AF4361Du, 0xA9E39161u, 0x5EE61B08u,
    0x6599855Fu, 0x14A06840u, 0x8DFFD880u, 0x4D732731u, 0x06061556u, 0xCA73A8C9u,
}};

// 1/n and 1/(2n+1) as double-doubles, evaluated by the compiler with the
// same round-to-nearest operations.
template <int N>
constexpr std::array<dd, N> reciprocals(int step, int first) {
    std::array<dd, N> r{};
    for (int i = 0; i < N; ++i) r[i] = div(dd{1.0, 0.0}, double(first + step * i));
    return r;
}
constexpr auto inv_n = reciprocals<32>(1, 1);    // 1/1, 1/2, ...
constexpr auto inv_odd = reciprocals<32>(2, 1);  // 1/1, 1/3, 1/5, ...

// ------------------------------------------------------------ rounding
// Rounds the positive double-double r (normalised, r.hi in [2^-8, 2^8])
// times 2^k to the nearest double, ties to even, once: also when the result
// is subnormal, where rounding r.hi first would round twice.
double finish(dd r, int k, bool negative) {
    double m = 0;
    int e = 0;
    frexp1(r.hi, m, e);
    double out = 0;
    if (e + k >= -1022) {
        out = scale2(r.hi, k);  // exact, or overflows to infinity
    } else {
        const int s = k + 1074;  // r * 2^s counts units of 2^-1074
        if (e + s < -2) {
            out = 0.0;
        } else {
            const double vh = scale2(r.hi, s), vl = scale2(r.lo, s);
            double n = round_even(vh);
            const double t = vh - n;  // exact
            if (t == 0.5) {
                if (vl > 0) n += 1;
            } else if (t == -0.5) {
                if (vl < 0) n -= 1;
            }
            out = scale2(n, -1074);
        }
    }
    return negative ? -out : out;
}

// ------------------------------------------------------------ exp
// exp(r) for |r| <= 0.35 (and its small excess), by its Taylor series.
dd exp_series(dd r) {
    dd p{1.0, 0.0};
    for (int n = 23; n >= 1; --n) p = add(mul(mul(r, p), inv_n[n - 1]), 1.0);
    return p;
}

// exp(t) = 2^k * result, result in [0.7, 1.42]; |t.hi| <= 800.
dd exp_reduced(dd t, int& k) {
    k = int(round_even(t.hi * log2_e.hi));
    const double kd = k;
    const dd p0 = two_prod(kd, ln2_0);
    const dd p1 = two_prod(kd, ln2_1);
    dd r = two_sum(t.hi, -p0.hi);
    r = add(r, t.lo);
    r = add(r, -p0.lo);
    r = add(r, -p1.hi);
    r = add(r, -p1.lo);
    r = add(r, -(kd * ln2_2));
    return exp_series(r);
}

// ------------------------------------------------------------ log
// log(x) for finite x > 0.
dd log_dd(double x) {
    double m = 0;
    int e = 0;
    split_for_log(x, m, e);
    // log(m) = 2 atanh(s), s = (m - 1) / (m + 1), |s| <= 0.1716.
    const dd s = div(dd{m - 1.0, 0.0}, two_sum(m, 1.0));
    const dd s2 = mul(s, s);
    dd p = inv_odd[21];
    for (int j = 20; j >= 0; --j) p = add(mul(p, s2), inv_odd[j]);
    const dd lm = mul(mul(s, p), 2.0);
    if (e == 0) return lm;
    const double ed = e;
    const dd p0 = two_prod(ed, ln2_0);
    const dd p1 = two_prod(ed, ln2_1);
    dd r = add(p0, p1);
    r = add(r, ed * ln2_2);
    return add(r, lm);
}

// ------------------------------------------------------------ sin, cos
// Reduces |x| (finite) to r in [-pi/4, pi/4] with |x| = q * pi/2 + r.
dd reduce_quadrant(double x, int& q) {
    double m = 0;
    int e = 0;
    frexp1(x, m, e);
    // |x| = M * 2^E with M a 53-bit integer.
    const int E = e - 52;
    const double mm = m * 4503599627370496.0;  // M, exact
    const std::uint32_t m_hi = std::uint32_t(std::int32_t(mm / 4294967296.0));
    const std::uint32_t m_lo = double_to_u32(mm - u32_to_double(m_hi) * 4294967296.0);
    // Words of 2/pi before i0 contribute multiples of 4 quadrants.
    const int i0 = E >= 2 ? (E - 2) / 32 : 0;
    constexpr int W = 9;
    // P = M * (words i0 .. i0+W-1), little-endian 32-bit limbs.
    std::array<std::uint32_t, W + 2> p{};
    for (int j = 0; j < W; ++j) {
        const std::uint32_t w = two_over_pi[std::size_t(i0 + W - 1 - j)];
        std::uint64_t carry = 0;
        std::uint64_t t = std::uint64_t(w) * m_lo + p[std::size_t(j)] + carry;
        p[std::size_t(j)] = std::uint32_t(t);
        carry = t >> 32;
        t = std::uint64_t(w) * m_hi + p[std::size_t(j + 1)] + carry;
        p[std::size_t(j + 1)] = std::uint32_t(t);
        carry = t >> 32;
        for (int i = j + 2; carry != 0 && i < W + 2; ++i) {
            t = std::uint64_t(p[std::size_t(i)]) + carry;
            p[std::size_t(i)] = std::uint32_t(t);
            carry = t >> 32;
        }
    }
    // x * 2/pi = P * 2^-sh (mod 4).
    const int sh = 32 * (i0 + W) - E;
    auto bit = [&](int pos) -> std::uint32_t {
        if (pos < 0 || pos >= 32 * (W + 2)) return 0;
        return (p[std::size_t(pos / 32)] >> (pos % 32)) & 1u;
    };
    q = int(bit(sh) | (bit(sh + 1) << 1));
    // Fraction f = P mod 2^sh; at or above one half, take f - 1 instead.
    const bool upper = bit(sh - 1) != 0;
    if (upper) {
        q = (q + 1) & 3;
        // Two's complement of the low sh bits.
        std::uint64_t carry = 1;
        for (int i = 0; i < W + 2; ++i) {
            const std::uint64_t t = std::uint64_t(~p[std::size_t(i)]) + carry;
            p[std::size_t(i)] = std::uint32_t(t);
            carry = t >> 32;
        }
    }
    for (int i = 0; i < W + 2; ++i) {  // clear the bits at and above sh
        const int lo = 32 * i;
        if (lo >= sh) p[std::size_t(i)] = 0;
        else if (lo + 32 > sh) p[std::size_t(i)] &= (std::uint32_t{1} << (sh - lo)) - 1u;
    }
    int top = sh - 1;
    while (top >= 0 && bit(top) == 0) --top;
    if (top < 0) return dd{0.0, 0.0};
    // Three consecutive 53-bit pieces below the top bit.
    auto piece = [&](int high) {
        double v = 0;
        for (int b = high; b > high - 53; --b) v = v * 2.0 + double(int(bit(b)));
        return scale2(v, high - 52 - sh);
    };
    dd f = fast_two_sum(piece(top), piece(top - 53));
    f = add(f, piece(top - 106));
    dd r = mul(f, pi_2);
    if (upper) r = neg(r);
    return r;
}

dd sin_series(dd r) {  // |r| <= pi/4
    const dd r2 = mul(r, r);
    dd p{1.0, 0.0};
    for (int n = 14; n >= 1; --n) p = add(neg(div(mul(r2, p), double((2 * n) * (2 * n + 1)))), 1.0);
    return mul(r, p);
}

dd cos_series(dd r) {  // |r| <= pi/4
    const dd r2 = mul(r, r);
    dd p{1.0, 0.0};
    for (int n = 15; n >= 1; --n) p = add(neg(div(mul(r2, p), double((2 * n - 1) * (2 * n)))), 1.0);
    return p;
}

// Reduction of a finite x: r and quadrant q of |x|.
dd reduce(double x, int& q) {
    if (abs_of(x) <= 0.7853981633974483) {
        q = 0;
        return dd{abs_of(x), 0.0};
    }
    return reduce_quadrant(x, q);
}

// ------------------------------------------------------------ atan
// atan(a) for a double-double 0 <= a <= 1.
dd atan_dd(dd a) {
    const int j = int(a.hi * 8.0 + 0.5);
    dd u = a;
    if (j != 0) {
        const double c = j * 0.125;
        u = div(add(a, -c), add(mul(a, c), 1.0));
    }
    // atan(u) = u (1 - u^2/3 + u^4/5 - ...), |u| <= 1/16.
    const dd u2 = mul(u, u);
    dd p = inv_odd[14];
    for (int i = 13; i >= 0; --i) {
        const dd c = inv_odd[std::size_t(i)];
        p = add(mul(p, u2), i % 2 == 0 ? c : neg(c));
    }
    return add(atan_eighths[std::size_t(j)], mul(u, p));
}

// ------------------------------------------------------------ pow helpers
bool is_integer(double y) {
    const double a = abs_of(y);
    if (a >= 4503599627370496.0) return true;
    return round_even(a) == a;
}

bool is_odd_integer(double y) {
    const double a = abs_of(y);
    if (a >= 9007199254740992.0 || !is_integer(a)) return false;
    return !is_integer(a * 0.5);
}

// Exact x^y when it is an odd integer below 2^64 times a power of two with
// y = n / 2^j, n >= 2, j <= 6, so that the double-double estimate cannot be
// trusted to round it: writes the result (rounded once) and returns true.
bool pow_exact(double x, double y, double& out) {
    // y = n / 2^j
    int j = 0;
    double n = y;
    while (!is_integer(n) && j < 6) {
        n *= 2.0;
        ++j;
    }
    if (!is_integer(n) || n < 2.0 || n > 64.0) return false;
    // z = x^(1/2^j), exact square roots only.
    double z = x;
    for (int i = 0; i < j; ++i) {
        const double s = std::sqrt(z);
        const dd sq = two_prod(s, s);
        if (sq.hi != z || sq.lo != 0.0) return false;
        z = s;
    }
    double m = 0;
    int e = 0;
    frexp1(z, m, e);
    // z = Z * 2^ez with Z an odd integer.
    double zi = m * 4503599627370496.0;
    int ez = e - 52;
    while (round_even(zi * 0.5) == zi * 0.5) {
        zi *= 0.5;
        ++ez;
    }
    const std::uint32_t z_hi = std::uint32_t(std::int32_t(zi / 4294967296.0));
    const std::uint64_t Z =
        (std::uint64_t(z_hi) << 32) | double_to_u32(zi - u32_to_double(z_hi) * 4294967296.0);
    const int ni = int(n);
    std::uint64_t v = 1;
    for (int i = 0; i < ni; ++i)
        if (__builtin_mul_overflow(v, Z, &v)) return false;
    // v * 2^(n*ez), rounded once.
    const double vh = u32_to_double(std::uint32_t(v >> 32)) * 4294967296.0;
    const double vl = u32_to_double(std::uint32_t(v));
    dd r = two_sum(vh, vl);
    int k = ni * ez;
    double rm = 0;
    int re = 0;
    frexp1(r.hi, rm, re);
    r = dd{scale2(r.hi, -re), scale2(r.lo, -re)};
    k += re;
    out = finish(r, k, false);
    return true;
}

// Whether rounding r * 2^k (r positive, r.hi in [0.7, 1.42]) could go
// either way within a relative error of 2^-90: r lies that close to a
// midpoint between two doubles, or, for a subnormal result, between two
// multiples of 2^-1074.
bool near_midpoint(dd r, int k) {
    double m = 0;
    int e = 0;
    frexp1(r.hi, m, e);
    if (e + k >= -1022) {
        const double ulp = from_bits(bits(r.hi) + 1) - r.hi;
        const double half = 0.5 * (r.lo >= 0 ? ulp : from_bits(bits(r.hi) - 1) - r.hi);
        const double d = r.lo - half;  // distance of r from the midpoint beside r.hi
        return abs_of(d) <= r.hi * 0x1p-90;
    }
    const int s = k + 1074;
    if (e + s < -2) return false;
    const double vh = scale2(r.hi, s), vl = scale2(r.lo, s);
    const double t = abs_of((vh - round_even(vh)) + vl);
    return abs_of(t - 0.5) <= vh * 0x1p-90;
}

}  // namespace

// ------------------------------------------------------------ exports
double exp(double x) {
    if (is_nan(x)) return x + x;
    if (x > 710.0) return inf;
    if (x < -746.0) return 0.0;
    if (x == 0.0) return 1.0;
    int k = 0;
    const dd r = exp_reduced(dd{x, 0.0}, k);
    return finish(r, k, false);
}

double exp2(double x) {
    if (is_nan(x)) return x + x;
    if (x >= 1024.0) return inf;
    if (x < -1076.0) return 0.0;
    const double kd = round_even(x);
    const double f = x - kd;  // exact
    if (f == 0.0) return scale2(1.0, int(kd));
    const int k = int(kd);
    return finish(exp_series(mul(dd{f, 0.0}, ln2)), k, false);
}

double log(double x) {
    if (is_nan(x)) return x + x;
    if (x < 0.0) return qnan;
    if (x == 0.0) return -inf;
    if (x == inf) return inf;
    return log_dd(x).hi;
}

double log2(double x) {
    if (is_nan(x)) return x + x;
    if (x < 0.0) return qnan;
    if (x == 0.0) return -inf;
    if (x == inf) return inf;
    double m = 0;
    int e = 0;
    split_for_log(x, m, e);
    const dd lm = mul(log_dd(m), log2_e);
    return add(lm, double(e)).hi;
}

double log10(double x) {
    if (is_nan(x)) return x + x;
    if (x < 0.0) return qnan;
    if (x == 0.0) return -inf;
    if (x == inf) return inf;
    return mul(log_dd(x), log10_e).hi;
}

double cbrt(double x) {
    if (is_nan(x) || is_inf(x) || x == 0.0) return x + x;
    const bool negative = x < 0;
    double m = 0;
    int e = 0;
    frexp1(x, m, e);
    const int k = (e + 3 * 400) / 3 - 400;  // floor(e / 3)
    const double a = m * double(1 << (e - 3 * k));  // [1, 8)
    // Newton steps in double from a rough guess, then one in double-double.
    double y = 0.75 + a * (0.3 - a * 0.0125);
    for (int i = 0; i < 7; ++i) y = y - (y * y * y - a) / (3.0 * y * y);
    const dd y3 = mul(two_prod(y, y), y);
    const dd res = add(neg(y3), a);
    const double corr = res.hi / (3.0 * y * y);
    const dd r = fast_two_sum(y, corr);
    return with_sign(scale2(r.hi, k), negative);
}

double sin(double x) {
    if (is_nan(x)) return x + x;
    if (is_inf(x)) return qnan;
    if (x == 0.0) return x;
    int q = 0;
    const dd r = reduce(x, q);
    dd v = (q & 1) ? cos_series(r) : sin_series(r);
    if (q & 2) v = neg(v);
    return sign_bit(x) ? -v.hi : v.hi;
}

double cos(double x) {
    if (is_nan(x)) return x + x;
    if (is_inf(x)) return qnan;
    int q = 0;
    const dd r = reduce(x, q);
    dd v = (q & 1) ? sin_series(r) : cos_series(r);
    if (q == 1 || q == 2) v = neg(v);
    return v.hi;
}

double tan(double x) {
    if (is_nan(x)) return x + x;
    if (is_inf(x)) return qnan;
    if (x == 0.0) return x;
    int q = 0;
    const dd r = reduce(x, q);
    const dd s = sin_series(r), c = cos_series(r);
    const dd v = (q & 1) ? neg(div(c, s)) : div(s, c);
    return sign_bit(x) ? -v.hi : v.hi;
}

double atan(double x) {
    if (is_nan(x)) return x + x;
    const double a = abs_of(x);
    dd v{};
    if (a <= 1.0) {
        v = atan_dd(dd{a, 0.0});
    } else if (a >= 9007199254740992.0) {
        v = sub(pi_2, dd{1.0 / a, 0.0});
    } else {
        v = sub(pi_2, atan_dd(div(dd{1.0, 0.0}, a)));
    }
    return with_sign(v.hi, sign_bit(x));
}

double fabs(double x) { return abs_of(x); }

double atan2(double y, double x) {
    if (is_nan(x) || is_nan(y)) return x + y;
    const bool ny = sign_bit(y), nx = sign_bit(x);
    if (y == 0.0) return nx ? with_sign(pi.hi, ny) : with_sign(0.0, ny);
    if (x == 0.0) return with_sign(pi_2.hi, ny);
    if (is_inf(y)) {
        if (x == inf) return with_sign(pi_4.hi, ny);
        if (x == -inf) return with_sign(pi3_4.hi, ny);
        return with_sign(pi_2.hi, ny);
    }
    if (x == inf) return with_sign(0.0, ny);
    if (x == -inf) return with_sign(pi.hi, ny);
    double ax = abs_of(x), ay = abs_of(y);
    double mx = 0, my = 0;
    int ex = 0, ey = 0;
    frexp1(ax, mx, ex);
    frexp1(ay, my, ey);
    if (ey - ex < -1000) {
        // atan(ay/ax) lies a hair below ay/ax, which is below 2^-999.
        if (nx) return with_sign(pi.hi, ny);
        if (ey - ex < -1080) return with_sign(0.0, ny);
        const int s = 1100;
        const double sy = scale2(ay, s - ex);
        ax = scale2(ax, -ex);
        const double q1 = sy / ax;
        const dd p = two_prod(q1, ax);
        const double q2 = ((sy - p.hi) - p.lo) / ax;
        dd q = fast_two_sum(q1, q2);
        q = fast_two_sum(q.hi, q.lo - q.hi * 0x1p-300);
        double qm = 0;
        int qe = 0;
        frexp1(q.hi, qm, qe);
        return finish(dd{scale2(q.hi, -qe), scale2(q.lo, -qe)}, qe - s, ny);
    }
    // Scale both so that the larger lies in [1, 2).
    const int e = ex > ey ? ex : ey;
    ax = scale2(ax, -e);
    ay = scale2(ay, -e);
    dd v{};
    if (ay <= ax) {
        v = atan_dd(div(dd{ay, 0.0}, ax));
    } else {
        v = sub(pi_2, atan_dd(div(dd{ax, 0.0}, ay)));
    }
    if (nx) v = sub(pi, v);
    return with_sign(v.hi, ny);
}

double pow(double x, double y) {
    if (y == 0.0 || x == 1.0) return 1.0;
    if (is_nan(x) || is_nan(y)) return x + y;
    const double ax = abs_of(x);
    if (is_inf(y)) {
        if (ax == 1.0) return 1.0;
        return (ax < 1.0) == (y < 0) ? inf : 0.0;
    }
    const bool odd = is_odd_integer(y);
    if (x == 0.0) {
        const double r = y < 0 ? inf : 0.0;
        return odd ? with_sign(r, sign_bit(x)) : r;
    }
    if (is_inf(x)) {
        const double r = y < 0 ? 0.0 : inf;
        return (x < 0 && odd) ? -r : r;
    }
    bool negative = false;
    if (x < 0) {
        if (!is_integer(y)) return qnan;
        negative = odd;
    }
    if (y == 1.0) return x;
    if (y == 2.0) return x * x;
    if (y == -1.0) return 1.0 / x;
    {
        // A power of two to an exponent that makes e * y an integer: exact
        // (and rounded once where it falls below the subnormals' midpoints).
        double m = 0;
        int e = 0;
        frexp1(ax, m, e);
        if (m == 1.0) {
            if (e == 0) return negative ? -1.0 : 1.0;
            const dd ey = two_prod(double(e), y);
            if (ey.lo == 0.0 && is_integer(ey.hi) && abs_of(ey.hi) <= 100000.0)
                return finish(dd{1.0, 0.0}, int(ey.hi), negative);
        }
    }
    const dd l = log_dd(ax);
    // |y log x| beyond 2^11 overflows or underflows for every x != 1.
    if ((l.hi > 0) == (y > 0) && (abs_of(y) >= 0x1p64 || abs_of(mul(l, y).hi) > 1000.0))
        return negative ? -inf : inf;
    if ((l.hi > 0) != (y > 0) && (abs_of(y) >= 0x1p64 || abs_of(mul(l, y).hi) > 1100.0))
        return negative ? -0.0 : 0.0;
    int k = 0;
    const dd r = exp_reduced(mul(l, y), k);
    if (near_midpoint(r, k)) {
        double exact = 0;
        if (pow_exact(ax, y, exact)) return negative ? -exact : exact;
    }
    return finish(r, k, negative);
}

}  // namespace morvik::maths
