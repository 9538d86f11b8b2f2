// One-off comparison of the maths layer with MPFR on many inputs per function
// (not part of the suite: minutes of CPU). For every function: the number of
// inputs, how many results differ from the correctly rounded one, and the
// inputs found whose exact result lies closest to a rounding boundary, with
// that distance in units in the last place.
//
//   morvik_mpfr_compare [--no-hardness] [count per function] [function ...]
// --no-hardness skips the 200-bit evaluation that finds the hardest inputs
// (about half the time).
#include <mpfr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frame/maths.h"
#include "inputs.h"
#include "mpfr_ref.h"

namespace {

// Distance of the exact result from the nearest midpoint between doubles, in
// units in the last place (0.5 = halfway between midpoints), from a 200-bit
// evaluation; results outside the normal range count as easy.
double hardness(const std::string& f, double x, double y) {
    mpfr_t a, b, r, t;
    mpfr_inits2(200, a, b, r, t, (mpfr_ptr)nullptr);
    mpfr_set_d(a, x, MPFR_RNDN);
    mpfr_set_d(b, y, MPFR_RNDN);
    if (f == "pow") mpfr_pow(r, a, b, MPFR_RNDN);
    else if (f == "atan2") mpfr_atan2(r, a, b, MPFR_RNDN);
    else if (f == "exp") mpfr_exp(r, a, MPFR_RNDN);
    else if (f == "exp2") mpfr_exp2(r, a, MPFR_RNDN);
    else if (f == "log") mpfr_log(r, a, MPFR_RNDN);
    else if (f == "log2") mpfr_log2(r, a, MPFR_RNDN);
    else if (f == "log10") mpfr_log10(r, a, MPFR_RNDN);
    else if (f == "cbrt") mpfr_cbrt(r, a, MPFR_RNDN);
    else if (f == "sin") mpfr_sin(r, a, MPFR_RNDN);
    else if (f == "cos") mpfr_cos(r, a, MPFR_RNDN);
    else if (f == "tan") mpfr_tan(r, a, MPFR_RNDN);
    else mpfr_atan(r, a, MPFR_RNDN);
    double out = 0.5;
    if (mpfr_regular_p(r) && mpfr_get_exp(r) > -1021 && mpfr_get_exp(r) < 1024) {
        // Scale to 53 integer bits; the fraction's distance from 1/2.
        mpfr_abs(r, r, MPFR_RNDN);
        mpfr_mul_2si(r, r, 53 - mpfr_get_exp(r), MPFR_RNDN);
        mpfr_frac(t, r, MPFR_RNDN);
        mpfr_sub_d(t, t, 0.5, MPFR_RNDN);
        out = std::fabs(mpfr_get_d(t, MPFR_RNDN));
    }
    mpfr_clears(a, b, r, t, (mpfr_ptr)nullptr);
    return out;
}

struct Hard {
    double distance, x, y;
};

}  // namespace

int main(int argc, char** argv) {
    int arg = 1;
    const bool hardness_wanted = !(argc > arg && std::string(argv[arg]) == "--no-hardness");
    if (!hardness_wanted) ++arg;
    const long count = argc > arg ? std::atol(argv[arg]) : 10000000L;
    std::vector<std::string> functions;
    for (int i = arg + 1; i < argc; ++i) functions.emplace_back(argv[i]);
    if (functions.empty())
        for (const char* f : mpfr_inputs::kFunctions) functions.emplace_back(f);
    mpfr_ref::setup();
    long total_bad = 0;
    for (const std::string& f : functions) {
        mpfr_inputs::Generator gen(0x6d6f7276ULL + std::hash<std::string>{}(f));
        long bad = 0;
        std::vector<Hard> hardest;
        for (long i = 0; i < count; ++i) {
            double x = 0, y = 0;
            gen.sample(f, x, y);
            const double got = mpfr_inputs::ours(f, x, y);
            const double want = mpfr_ref::eval(f, x, y);
            if (!mpfr_ref::same(got, want)) {
                if (bad < 10) std::printf("  MISROUNDED %s(%a, %a) = %a, correctly rounded %a\n", f.c_str(), x, y, got, want);
                ++bad;
            }
            if (!hardness_wanted) continue;
            const double d = hardness(f, x, y);
            if (hardest.size() < 6 || d < hardest.back().distance) {
                hardest.push_back({d, x, y});
                std::sort(hardest.begin(), hardest.end(), [](const Hard& a, const Hard& b) { return a.distance < b.distance; });
                if (hardest.size() > 6) hardest.pop_back();
            }
        }
        std::printf("%-6s inputs %ld misrounded %ld closest to a midpoint: %.3g ulp\n", f.c_str(), count, bad,
                    hardest.empty() ? 0.0 : hardest.front().distance);
        for (const Hard& h : hardest) std::printf("    {\"%s\", %a, %a},  // %.3g ulp\n", f.c_str(), h.x, h.y, h.distance);
        std::fflush(stdout);
        total_bad += bad;
    }
    return total_bad == 0 ? 0 : 1;
}
