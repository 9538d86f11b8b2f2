// The maths layer against MPFR's correctly rounded results: random inputs
// from the ranges the exports use and the whole domain, special values, exact
// and midpoint cases, argument-reduction cases and the hardest inputs found
// by the long comparison (tests/mpfr/compare.cpp).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "frame/maths.h"
#include "mpfr/inputs.h"
#include "mpfr/mpfr_ref.h"

namespace {

namespace m = morvik::maths;

// Number of results that differ from MPFR's; prints the first few.
struct Tally {
    int checked = 0, wrong = 0;
    void check(const std::string& f, double x, double y = 0.0) {
        ++checked;
        const double got = mpfr_inputs::ours(f, x, y), want = mpfr_ref::eval(f, x, y);
        if (!mpfr_ref::same(got, want) && ++wrong <= 5)
            ADD_FAILURE() << f << "(" << std::hexfloat << x << ", " << y << ") = " << got << ", correctly rounded "
                          << want;
    }
};

class Maths : public ::testing::Test {
protected:
    void SetUp() override { mpfr_ref::setup(); }
};

TEST_F(Maths, RandomInputsOfEveryFunctionAreCorrectlyRounded) {
    for (const char* f : mpfr_inputs::kFunctions) {
        mpfr_inputs::Generator gen(20261206 + std::hash<std::string>{}(f));
        Tally t;
        for (int i = 0; i < 20000; ++i) {
            double x = 0, y = 0;
            gen.sample(f, x, y);
            t.check(f, x, y);
        }
        EXPECT_EQ(t.wrong, 0) << f << " on " << t.checked << " inputs";
    }
}

TEST_F(Maths, SpecialValuesFollowTheCStandard) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const double tiny = std::numeric_limits<double>::denorm_min(), big = std::numeric_limits<double>::max();
    const std::vector<double> v{0.0,  -0.0,  inf,  -inf, nan,  1.0,  -1.0,  0.5,   -0.5,  2.0,   -2.0,  3.0,
                                -3.0, 0.25, 1e-300, tiny, -tiny, big, -big, 1e300, 709.9, -745.5, 1024.0, -1075.0};
    Tally t;
    for (const char* f : mpfr_inputs::kFunctions) {
        if (mpfr_ref::is_binary(f)) {
            for (double x : v)
                for (double y : v) t.check(f, x, y);
        } else {
            for (double x : v) t.check(f, x);
        }
    }
    EXPECT_EQ(t.wrong, 0);
}

TEST_F(Maths, ExactResultsAndExactMidpoints) {
    Tally t;
    // Odd s with s^3 of exactly 54 bits: pow(s, 3) and pow(s^2, 1.5) are
    // midpoints between two doubles and round to even; scaled by powers of 2,
    // down into the subnormal range.
    for (std::uint64_t s = 204669; s < 262144; s += 2 * 997) {
        const double d = double(s);
        for (int e : {0, 7, -300, -350, -360, 100}) {
            const double x = std::ldexp(d, e);
            t.check("pow", x, 3.0);
            t.check("pow", -x, 3.0);
            t.check("pow", x * x, 1.5);
        }
    }
    // Midpoints of the subnormal range: Z^5 * 2^-1075 and 2^-1075 itself.
    for (double z : {3.0, 5.0, 7.0, 99.0, 1001.0, 1337.0}) {
        t.check("pow", std::ldexp(z, -215), 5.0);
        t.check("pow", -std::ldexp(z, -215), 5.0);
    }
    for (const auto& xy : {std::array<double, 2>{2.0, -1075.0}, {4.0, -537.5}, {0.5, 1075.0}, {-2.0, -1075.0},
                           {2.0, -1074.0}, {0.25, 537.25}, {2.0, 1023.0}, {2.0, 1024.0}, {-0.5, 1075.0}})
        t.check("pow", xy[0], xy[1]);
    // Exact powers, logarithms and roots.
    for (int k = -1074; k <= 1023; k += 7) {
        t.check("exp2", double(k));
        t.check("log2", std::ldexp(1.0, k));
    }
    double p = 1;
    for (int k = 0; k <= 22; ++k, p *= 10) {
        t.check("log10", p);
        t.check("pow", 10.0, double(k));
        EXPECT_EQ(m::log10(p), double(k));
    }
    for (int n = 1; n < 200000; n += 211) {
        const double c = double(n) * n * n;
        EXPECT_EQ(m::cbrt(c), double(n));
        EXPECT_EQ(m::cbrt(-c), -double(n));
    }
    // pow(x, 1/2) is the correctly rounded square root.
    mpfr_inputs::Generator gen(3);
    for (int i = 0; i < 5000; ++i) {
        const double x = gen.any(true);
        EXPECT_EQ(m::pow(x, 0.5), std::sqrt(x)) << std::hexfloat << x;
    }
    EXPECT_EQ(t.wrong, 0) << "of " << t.checked;
}

TEST_F(Maths, AnglesCloseToMultiplesOfHalfPi) {
    Tally t;
    // The double closest to a multiple of pi/2 over the whole range, and the
    // doubles nearest to k pi/2 and their neighbours.
    for (const char* f : {"sin", "cos", "tan"}) {
        t.check(f, std::ldexp(6381956970095103.0, 797));
        t.check(f, -std::ldexp(6381956970095103.0, 797));
    }
    mpfr_t a;
    mpfr_init2(a, 300);
    for (long k = 1; k <= 3000; k += (k < 100 ? 1 : 37)) {
        mpfr_const_pi(a, MPFR_RNDN);
        mpfr_mul_si(a, a, k, MPFR_RNDN);
        mpfr_div_2ui(a, a, 1, MPFR_RNDN);
        const double x = mpfr_get_d(a, MPFR_RNDN);
        for (double d : {x, std::nextafter(x, 0.0), std::nextafter(x, 1e300)})
            for (const char* f : {"sin", "cos", "tan"}) t.check(f, d);
    }
    mpfr_clear(a);
    EXPECT_EQ(t.wrong, 0) << "of " << t.checked;
}

TEST_F(Maths, HardestInputsOfTheLongComparison) {
    struct Case {
        const char* f;
        double x, y;
    };
    // The inputs found closest to a midpoint (down to about 1e-8 ulp).
    const Case cases[] = {
#include "mpfr/hard_cases.inc"
    };
    Tally t;
    for (const Case& c : cases) t.check(c.f, c.x, c.y);
    EXPECT_EQ(t.wrong, 0) << "of " << t.checked;
}

// fabs clears the sign bit and nothing else: zeros, subnormals, infinities
// and NaN payloads of either sign, and a sweep of random bit patterns.
TEST(MathsFabs, ClearsOnlyTheSignBit) {
    const auto bits = [](double x) {
        std::uint64_t u;
        std::memcpy(&u, &x, sizeof u);
        return u;
    };
    const auto from = [](std::uint64_t u) {
        double x;
        std::memcpy(&x, &u, sizeof x);
        return x;
    };
    const std::uint64_t sign = std::uint64_t{1} << 63;
    std::vector<std::uint64_t> patterns = {0, 1, 0x000fffffffffffffu, 0x0010000000000000u, 0x3ff0000000000000u,
                                           0x7fefffffffffffffu, 0x7ff0000000000000u, 0x7ff8000000000000u,
                                           0x7ff8000000000123u, 0x7fffffffffffffffu};
    std::uint64_t z = 0x243f6a8885a308d3u;
    for (int k = 0; k < 100000; ++k) {
        z = z * 6364136223846793005u + 1442695040888963407u;
        patterns.push_back(z);
    }
    for (const std::uint64_t u : patterns) {
        const std::uint64_t v = u & ~sign;
        // Signalling NaNs are left out: loading one may quiet it on some targets.
        if ((v >> 52) == 0x7ff && (v & 0x000fffffffffffffu) != 0 && (v & 0x0008000000000000u) == 0) continue;
        ASSERT_EQ(bits(m::fabs(from(v))), v) << std::hex << u;
        ASSERT_EQ(bits(m::fabs(from(v | sign))), v) << std::hex << u;
    }
}

}  // namespace
