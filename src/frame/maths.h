// The library's one maths layer: every transcendental function the cores use
// goes through here, so that every build (glibc with or without FMA, MinGW
// x86_64 and i686) computes the same bits. sqrt and the basic operations are
// exact under IEEE 754 and stay as they are.
//
// Results are rounded to nearest (ties to even) once from a double-double
// evaluation built from basic operations only, with a relative error below
// about 2^-100 before rounding (2^-93 for pow): correctly rounded except where
// the exact result lies closer than that to a midpoint between two doubles
// (none found by the MPFR comparisons, tests/mpfr/). Special values (zeros,
// infinities, NaN, domain errors) follow C99 Annex F; errno and the
// floating-point exception flags are not maintained.
#pragma once

namespace morvik::maths {

double pow(double x, double y);
double exp(double x);
double exp2(double x);
double log(double x);
double log2(double x);
double log10(double x);
double cbrt(double x);
double sin(double x);
double cos(double x);
double tan(double x);
double atan(double x);
double atan2(double y, double x);

// |x|: the sign bit cleared with integer operations. std::fabs may become the
// x87 fabs instruction in the 32-bit build, which the i686 code check rejects.
double fabs(double x);

}  // namespace morvik::maths
