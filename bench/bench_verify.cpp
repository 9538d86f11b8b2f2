// Both verifications on a 4000 x 3000 test image, raw and colour: a flat
// frame with sensor-like noise and scattered defects. Each iteration also
// copies the image with memcpy; the counter x_memcpy is the ratio of the
// fastest processor time of the call to that of the copy, from the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "morvik/morvik.h"

namespace {

constexpr int kWidth = 4000, kHeight = 3000, kThreshold = 20;

const std::vector<uint8_t>& test_image() {
    static const std::vector<uint8_t> image = [] {
        std::mt19937 rng(1);
        std::normal_distribution<double> noise(0.0, 3.0);
        std::vector<uint8_t> px(std::size_t(kWidth) * 3 * kHeight);  // 4000 * 3 needs no padding
        for (std::size_t i = 0; i < px.size(); ++i) {
            double v = 110 + 20 * int(i % 3) + noise(rng);
            if (rng() % 5000 == 0) v = rng() % 2 ? 250 : 5;
            px[i] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
        }
        return px;
    }();
    return image;
}

template <class F>
double seconds(F&& f) {
    const std::clock_t t0 = std::clock();
    f();
    return double(std::clock() - t0) / CLOCKS_PER_SEC;
}

// Times `call` against a memcpy of the image in every iteration.
template <class F>
void against_memcpy(benchmark::State& state, F&& call) {
    const auto& img = test_image();
    std::vector<uint8_t> copy(img.size());
    double best_call = 1e30, best_copy = 1e30;
    morvik_set_log_sink([](const char*, void*) {}, nullptr);
    for (auto _ : state) {
        best_copy = std::min(best_copy, seconds([&] {
                                 std::memcpy(copy.data(), img.data(), img.size());
                                 benchmark::DoNotOptimize(copy.data());
                                 benchmark::ClobberMemory();
                             }));
        const double t = seconds([&] { call(img); });
        best_call = std::min(best_call, t);
        state.SetIterationTime(t);
    }
    morvik_set_log_sink(nullptr, nullptr);
    state.counters["call_ms"] = best_call * 1e3;
    state.counters["x_memcpy"] = best_call / best_copy;
}

void BM_Defect(benchmark::State& state) {
    DefectVerifyResult r{};
    against_memcpy(state, [&](const std::vector<uint8_t>& img) {
        Defect_Verify(img.data(), int32_t(state.range(0)), 1, kWidth, kHeight, kThreshold, &r);
        benchmark::DoNotOptimize(r);
    });
}

void BM_Unbalance(benchmark::State& state) {
    UnbalanceVerifyResult r{};
    against_memcpy(state, [&](const std::vector<uint8_t>& img) {
        Unbalance_Verify(img.data(), int32_t(state.range(0)), 1, kWidth, kHeight, &r);
        benchmark::DoNotOptimize(r);
    });
}

}  // namespace

// Argument: image format, 1 raw, 2 colour.
BENCHMARK(BM_Defect)->ArgName("format")->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unbalance)->ArgName("format")->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);
