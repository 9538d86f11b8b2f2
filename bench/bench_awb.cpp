#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "morvik/morvik.h"

namespace {

template <class F>
double seconds(F&& f) {
    const std::clock_t t0 = std::clock();
    f();
    return double(std::clock() - t0) / CLOCKS_PER_SEC;
}

// The filter against a memcpy of its input and output bytes (raw frame, mask
// and RGB pixels) in every iteration; x_memcpy is the ratio of the fastest
// processor times of the two, from the same run.
void BM_AwbFilter(benchmark::State& state) {
    const uint32_t w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
    std::vector<uint8_t> raw(size_t(w) * h), mask(size_t(w - 1) * (h - 1)), rgb(3 * mask.size());
    std::vector<uint8_t> bytes(raw.size() + mask.size() + rgb.size()), copy(bytes.size());
    double best_call = 1e30, best_copy = 1e30;
    std::mt19937 rng(1);
    for (auto& s : raw) s = static_cast<uint8_t>(rng());
    AWBFILTER_PARAM p{};
    p.SUPSEL = 7, p.U_GAIN = 32, p.V_GAIN = 32, p.Y_LIMIT = 4;
    p.S_RB_P = p.S_RB_N = p.S_MG_P = p.S_MG_N = 16;
    p.width = w, p.height = h, p.raw = raw.data();
    morvik_set_log_sink([](const char*, void*) {}, nullptr);
    for (auto _ : state) {
        best_copy = std::min(best_copy, seconds([&] {
                                 std::memcpy(copy.data(), bytes.data(), bytes.size());
                                 benchmark::DoNotOptimize(copy.data());
                                 benchmark::ClobberMemory();
                             }));
        const double t = seconds([&] {
            benchmark::DoNotOptimize(AWB_Filter(&p, mask.data(), rgb.data()));
            benchmark::ClobberMemory();
        });
        best_call = std::min(best_call, t);
        state.SetIterationTime(t);
    }
    morvik_set_log_sink(nullptr, nullptr);
    state.counters["call_ms"] = best_call * 1e3;
    state.counters["x_memcpy"] = best_call / best_copy;
}
BENCHMARK(BM_AwbFilter)->Args({4000, 3000})->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_AwbCalibration(benchmark::State& state) {
    std::vector<AwbGreyStatistics> e;
    for (int i = 0; i < 20; ++i) {
        e.push_back({uint16_t(2500 + 250 * i), uint16_t(220 - 6 * i + (i * 7) % 5), 200, uint16_t(90 + 6 * i)});
    }
    AwbCalibrationResult r{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(AWB_Calibration(0, 20, 9000, 2000, e.data(), &r));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AwbCalibration)->Unit(benchmark::kMicrosecond);

}  // namespace
