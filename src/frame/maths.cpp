// Maths layer entry points (see maths.h).
#include "frame/maths.h"

#include <cmath>

namespace morvik::maths {

double pow(double x, double y) { return std::pow(x, y); }
double exp(double x) { return std::exp(x); }
double exp2(double x) { return std::exp2(x); }
double log(double x) { return std::log(x); }
double log2(double x) { return std::log2(x); }
double log10(double x) { return std::log10(x); }
double cbrt(double x) { return std::cbrt(x); }
double sin(double x) { return std::sin(x); }
double cos(double x) { return std::cos(x); }
double tan(double x) { return std::tan(x); }
double atan(double x) { return std::atan(x); }
double atan2(double y, double x) { return std::atan2(y, x); }

}  // namespace morvik::maths
