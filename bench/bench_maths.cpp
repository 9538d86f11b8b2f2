// The maths layer: time per call on 1024 inputs from the colour routines'
// ranges, with the ratio to the C library's function (the baseline, timed in
// the same run on the same inputs) as the counter "x_libm".
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <ctime>

#include "frame/maths.h"

namespace {

std::array<double, 1024> inputs(double lo, double hi) {
    std::array<double, 1024> v{};
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = lo + (hi - lo) * double(i * 7919 % 1024) / 1024.0;
    return v;
}

template <class F>
double seconds_per_pass(const std::array<double, 1024>& in, F f, int passes) {
    // Processor time: the machine may be shared.
    const std::clock_t t0 = std::clock();
    double sink = 0;
    for (int p = 0; p < passes; ++p)
        for (double x : in) sink += f(x);
    benchmark::DoNotOptimize(sink);
    return double(std::clock() - t0) / CLOCKS_PER_SEC / passes;
}

template <class Ours, class Libm>
void run(benchmark::State& state, double lo, double hi, Ours ours, Libm libm) {
    const auto in = inputs(lo, hi);
    for (auto _ : state)
        for (double x : in) benchmark::DoNotOptimize(ours(x));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(in.size()));
    state.counters["x_libm"] = seconds_per_pass(in, ours, 50) / seconds_per_pass(in, libm, 2000);
}

void BM_MathsPowLab(benchmark::State& s) {
    run(s, 0.008856, 1.2, [](double t) { return morvik::maths::pow(t, 0.3333); },
        [](double t) { return std::pow(t, 0.3333); });
}
void BM_MathsCubeRootChain(benchmark::State& s) {
    run(s, 0.008856, 1.2, [](double t) { return morvik::maths::exp2(morvik::maths::log2(t) / 3.0); },
        [](double t) { return std::exp2(std::log2(t) / 3.0); });
}
void BM_MathsSin(benchmark::State& s) {
    run(s, -6.3, 6.3, [](double x) { return morvik::maths::sin(x); }, [](double x) { return std::sin(x); });
}
void BM_MathsAtan2(benchmark::State& s) {
    run(s, -255, 255, [](double x) { return morvik::maths::atan2(x, 100.0 - x); },
        [](double x) { return std::atan2(x, 100.0 - x); });
}
void BM_MathsCbrt(benchmark::State& s) {
    run(s, 0.0, 8.0, [](double x) { return morvik::maths::cbrt(x); }, [](double x) { return std::cbrt(x); });
}

}  // namespace

BENCHMARK(BM_MathsPowLab);
BENCHMARK(BM_MathsCubeRootChain);
BENCHMARK(BM_MathsSin);
BENCHMARK(BM_MathsAtan2);
BENCHMARK(BM_MathsCbrt);
