// Correctly rounded references from MPFR for the maths layer's functions,
// rounded to double with the double's exponent range (subnormals included).
#pragma once

#include <mpfr.h>

#include <cstring>
#include <string>

namespace mpfr_ref {

inline void setup() {
    mpfr_set_emin(-1073);
    mpfr_set_emax(1024);
}

// Names of the one- and two-argument functions.
inline bool is_binary(const std::string& f) { return f == "pow" || f == "atan2"; }

inline double eval(const std::string& f, double x, double y = 0.0) {
    mpfr_t a, b, r;
    mpfr_inits2(53, a, b, r, (mpfr_ptr)nullptr);
    mpfr_set_d(a, x, MPFR_RNDN);
    mpfr_set_d(b, y, MPFR_RNDN);
    int t = 0;
    if (f == "pow") t = mpfr_pow(r, a, b, MPFR_RNDN);
    else if (f == "atan2") t = mpfr_atan2(r, a, b, MPFR_RNDN);
    else if (f == "exp") t = mpfr_exp(r, a, MPFR_RNDN);
    else if (f == "exp2") t = mpfr_exp2(r, a, MPFR_RNDN);
    else if (f == "log") t = mpfr_log(r, a, MPFR_RNDN);
    else if (f == "log2") t = mpfr_log2(r, a, MPFR_RNDN);
    else if (f == "log10") t = mpfr_log10(r, a, MPFR_RNDN);
    else if (f == "cbrt") t = mpfr_cbrt(r, a, MPFR_RNDN);
    else if (f == "sin") t = mpfr_sin(r, a, MPFR_RNDN);
    else if (f == "cos") t = mpfr_cos(r, a, MPFR_RNDN);
    else if (f == "tan") t = mpfr_tan(r, a, MPFR_RNDN);
    else if (f == "atan") t = mpfr_atan(r, a, MPFR_RNDN);
    t = mpfr_check_range(r, t, MPFR_RNDN);
    mpfr_subnormalize(r, t, MPFR_RNDN);
    const double out = mpfr_get_d(r, MPFR_RNDN);
    mpfr_clears(a, b, r, (mpfr_ptr)nullptr);
    return out;
}

// Same bits, or both NaN.
inline bool same(double a, double b) {
    if (a != a && b != b) return true;
    unsigned long long ua, ub;
    std::memcpy(&ua, &a, sizeof ua);
    std::memcpy(&ub, &b, sizeof ub);
    return ua == ub;
}

}  // namespace mpfr_ref
