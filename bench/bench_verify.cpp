// Both verifications on a 4000 x 3000 test image, raw and colour: a flat
// frame with sensor-like noise and scattered defects.
#include <benchmark/benchmark.h>

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

void BM_Defect(benchmark::State& state) {
    const auto& img = test_image();
    DefectVerifyResult r{};
    for (auto _ : state) {
        Defect_Verify(img.data(), int32_t(state.range(0)), 1, kWidth, kHeight, kThreshold, &r);
        benchmark::DoNotOptimize(r);
    }
}

void BM_Unbalance(benchmark::State& state) {
    const auto& img = test_image();
    UnbalanceVerifyResult r{};
    for (auto _ : state) {
        Unbalance_Verify(img.data(), int32_t(state.range(0)), 1, kWidth, kHeight, &r);
        benchmark::DoNotOptimize(r);
    }
}

}  // namespace

// Argument: image format, 1 raw, 2 colour.
BENCHMARK(BM_Defect)->ArgName("format")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unbalance)->ArgName("format")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
