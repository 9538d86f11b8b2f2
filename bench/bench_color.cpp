// Colour family: one call of each export on a synthetic chart.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "morvik/morvik.h"
#include "support.h"

namespace {

struct Chart {
    std::array<float, 24 * 6> measured{};
    std::array<float, 24 * 11> reference{};
    Chart() {
        for (int i = 0; i < 24; ++i) {
            for (int c = 0; c < 3; ++c) {
                const float ref = i < 18 ? 30.0f + float((i * 37 + c * 71) % 200) : 240.0f * std::pow(0.55f, float(i - 18));
                reference[std::size_t(i * 11 + 6 + c)] = ref;
                measured[std::size_t(i * 6 + c)] = ref * (0.6f + 0.1f * float(c)) + 2.0f;
                measured[std::size_t(i * 6 + 3 + c)] = 200.0f - float(i);
            }
            reference[std::size_t(i * 11 + 9)] = 1.0f;
        }
    }
};

void BM_CalColorError(benchmark::State& state) {
    const Chart chart;
    const float m[9] = {1.5f, -0.3f, -0.2f, -0.25f, 1.4f, -0.15f, -0.1f, -0.5f, 1.6f};
    std::array<float, 72> a{}, b{}, c{};
    for (auto _ : state) {
        CalColorError(chart.measured.data(), chart.reference.data(), m, a.data(), b.data(), c.data());
        benchmark::DoNotOptimize(a.data());
    }
}
BENCHMARK(BM_CalColorError);

void BM_CC_Calibration_KT1(benchmark::State& state) {
    const Chart chart;
    morvik::test::TempDir dir;
    morvik::test::ScopedEnv env("MORVIK_INSPECT_DIR", dir.path().string());
    const int32_t side[4] = {};
    int32_t side_out[4];
    std::array<int32_t, 9> out{};
    for (auto _ : state) {
        CC_Calibration_KT1(0, 0.9f, chart.measured.data(), chart.reference.data(), side, out.data(), side_out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_CC_Calibration_KT1);

void BM_CD_Calibration(benchmark::State& state) {
    const Chart chart;
    std::array<float, 72> measured{};
    for (int i = 0; i < 72; ++i) measured[std::size_t(i)] = chart.measured[std::size_t(i / 3 * 6 + i % 3)];
    std::array<float, 96> diff{};
    std::array<float, 72> lab{};
    for (auto _ : state) {
        CD_Calibration(0, measured.data(), chart.reference.data(), diff.data(), lab.data());
        benchmark::DoNotOptimize(diff.data());
    }
}
BENCHMARK(BM_CD_Calibration);

void BM_MultiCCM(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<std::array<int32_t, 9>> m(static_cast<std::size_t>(n));
    std::vector<int32_t*> ptrs;
    std::vector<int32_t> f, d, s, w;
    for (int i = 0; i < n; ++i) {
        for (int e = 0; e < 9; ++e) m[std::size_t(i)][std::size_t(e)] = (e % 4 == 0 ? 300 : -40) + (i * 7 + e * 13) % 50;
        ptrs.push_back(m[std::size_t(i)].data());
        f.push_back(400 + (i * 37) % 300);
        d.push_back(1000);
        s.push_back(250 + (i * 53) % 350);
        w.push_back(1 + i % 3);
    }
    std::array<int32_t, 4> norm{};
    std::array<std::array<int32_t, 9>, 6> coef{};
    int32_t* cp[6];
    for (int k = 0; k < 6; ++k) cp[k] = coef[std::size_t(k)].data();
    for (auto _ : state) {
        MultiCCM(ptrs.data(), f.data(), d.data(), s.data(), w.data(), n, 6, norm.data(), cp);
        benchmark::DoNotOptimize(norm.data());
    }
}
BENCHMARK(BM_MultiCCM)->Arg(8)->Arg(64);

}  // namespace
