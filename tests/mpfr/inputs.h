// Input generators for the maths-layer comparisons with MPFR: per function a
// mix of the ranges the exports use (colour: Lab cube roots and powers of
// 0.3333, 10^y; angles of a few turns; gamma-like powers on [0, 1]) and
// random bit patterns over the whole finite domain.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "frame/maths.h"

namespace mpfr_inputs {

inline const char* const kFunctions[] = {"exp", "exp2", "log", "log2", "log10", "cbrt",
                                         "sin", "cos",  "tan", "atan", "atan2", "pow"};

inline double from_bits(std::uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

class Generator {
public:
    explicit Generator(std::uint64_t seed) : g_(seed) {}

    double uniform(double lo, double hi) { return lo + (hi - lo) * std::uniform_real_distribution<double>(0, 1)(g_); }
    // Any finite double (both signs when signed), uniform over bit patterns.
    double any(bool positive_only) {
        for (;;) {
            std::uint64_t u = g_();
            if (positive_only) u &= ~(std::uint64_t{1} << 63);
            const double d = from_bits(u);
            if (d - d == 0.0) return d;
        }
    }
    // 2^uniform(lo, hi) with a random significand: log-uniform magnitudes.
    double log_uniform(int lo, int hi) {
        const int e = lo + int(g_() % std::uint64_t(hi - lo));
        const double m = 1.0 + uniform(0, 1);
        double v = m;
        for (int i = 0; i < e; ++i) v *= 2.0;
        for (int i = 0; i > e; --i) v *= 0.5;
        return v;
    }
    bool coin() { return (g_() & 1) != 0; }
    unsigned pick(unsigned n) { return unsigned(g_() % n); }

    // One input (x, and y for the two-argument functions) of function f.
    void sample(const std::string& f, double& x, double& y) {
        y = 0.0;
        const unsigned k = pick(8);
        if (f == "exp") {
            x = k < 4 ? uniform(-745.2, 709.8) : k < 6 ? uniform(-1, 1) : (coin() ? 1 : -1) * log_uniform(-60, 0);
        } else if (f == "exp2") {
            x = k < 4 ? uniform(-2.3, 0.4) : k < 6 ? uniform(-1075, 1024) : (coin() ? 1 : -1) * log_uniform(-60, 0);
        } else if (f == "log" || f == "log2" || f == "log10") {
            x = k < 3 ? uniform(0.008856, 2.0) : k < 4 ? 1.0 + uniform(-1, 1) * 0x1p-20 : any(true);
        } else if (f == "cbrt") {
            x = k < 4 ? uniform(0.0, 8.0) : any(false);
        } else if (f == "sin" || f == "cos" || f == "tan") {
            x = k < 4 ? uniform(-6.3, 6.3) : k < 6 ? uniform(-1e6, 1e6) : any(false);
        } else if (f == "atan") {
            x = k < 4 ? uniform(-4, 4) : any(false);
        } else if (f == "atan2") {
            if (k < 4) {
                y = uniform(-255, 255);
                x = uniform(-255, 255);
            } else if (k < 6) {
                y = (coin() ? 1 : -1) * log_uniform(-40, 40);
                x = (coin() ? 1 : -1) * log_uniform(-40, 40);
            } else {
                y = any(false);
                x = any(false);
            }
            // atan2 takes (y, x): keep the MPFR argument order in x, y.
            const double t = x;
            x = y;
            y = t;
        } else {  // pow
            if (k < 2) {
                x = uniform(0.008856, 1.1);
                y = 0.3333;
            } else if (k < 4) {
                x = uniform(0, 1);
                y = uniform(0.1, 5);
            } else if (k < 5) {
                x = 10.0;
                y = uniform(-10, 10);
            } else if (k < 7) {
                x = log_uniform(-30, 30);
                y = uniform(-10, 10);
            } else {
                x = any(true);
                y = uniform(-2, 2);
            }
        }
    }

private:
    std::mt19937_64 g_;
};

// The maths layer's function named `f` (y is used by pow and atan2 only).
inline double ours(const std::string& f, double x, double y) {
    namespace m = morvik::maths;
    if (f == "exp") return m::exp(x);
    if (f == "exp2") return m::exp2(x);
    if (f == "log") return m::log(x);
    if (f == "log2") return m::log2(x);
    if (f == "log10") return m::log10(x);
    if (f == "cbrt") return m::cbrt(x);
    if (f == "sin") return m::sin(x);
    if (f == "cos") return m::cos(x);
    if (f == "tan") return m::tan(x);
    if (f == "atan") return m::atan(x);
    if (f == "atan2") return m::atan2(x, y);
    return m::pow(x, y);
}

}  // namespace mpfr_inputs
