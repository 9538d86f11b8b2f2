// PCA tables: the per-pixel core export, a whole 12-megapixel image through
// a table (the work of `morvik pca apply`), and one table generation. Each
// reports "x_baseline": its time per iteration over that of a baseline on
// the same bytes measured in the same run (memcpy, or one plain pass).
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "frame/maths.h"
#include "morvik/morvik.h"
#include "pca/pca.h"

namespace {

namespace pca = morvik::pca;

using Clock = std::chrono::steady_clock;

// Seconds per call of `f`, over at least 50 ms.
template <class F>
double seconds_per_call(F&& f) {
    std::size_t n = 1;
    for (;;) {
        const auto start = Clock::now();
        for (std::size_t i = 0; i < n; ++i) f();
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        if (s > 0.05) return s / double(n);
        n *= 2;
    }
}

// Runs the benchmark loop with `body`, then sets the ratio to `baseline`.
template <class Body, class Base>
void measure(benchmark::State& state, Body&& body, Base&& baseline) {
    const auto start = Clock::now();
    std::int64_t iterations = 0;
    for (auto _ : state) {
        body();
        ++iterations;
    }
    const double per_iteration = std::chrono::duration<double>(Clock::now() - start).count() / double(iterations);
    state.counters["x_baseline"] = per_iteration / seconds_per_call(baseline);
}

pca::Table random_table(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> e(-40, 40);
    pca::Table t{};
    for (auto& w : t) w = e(rng);
    return t;
}

// pca_core on a buffer of pixels; baseline: memcpy of the three words.
void BM_PcaCorePerPixel(benchmark::State& state) {
    constexpr std::size_t kPixels = 4096;
    const pca::Table table = random_table(1);
    std::mt19937 rng(2);
    std::uniform_int_distribution<std::uint32_t> word(0, 65535);
    std::vector<std::uint32_t> input(3 * kPixels), work(3 * kPixels), copy(3 * kPixels);
    for (auto& w : input) w = word(rng);
    measure(
        state,
        [&] {
            std::memcpy(work.data(), input.data(), work.size() * 4);
            for (std::size_t i = 0; i < kPixels; ++i) {
                benchmark::DoNotOptimize(pca_core(&work[3 * i], &work[3 * i + 1], &work[3 * i + 2], 0, 8, 0,
                                                  table.data(), table.data() + 180, table.data() + 360));
            }
        },
        [&] {
            std::memcpy(copy.data(), input.data(), copy.size() * 4);
            benchmark::ClobberMemory();
        });
    state.SetItemsProcessed(state.iterations() * std::int64_t(kPixels));
}
BENCHMARK(BM_PcaCorePerPixel);

// A 4000 x 3000 RGB image through a table; baseline: memcpy of the image.
void BM_PcaApply12MP(benchmark::State& state) {
    constexpr std::size_t kW = 4000, kH = 3000;
    const pca::Table table = random_table(3);
    std::vector<std::uint8_t> image(kW * kH * 3), work(image.size());
    std::mt19937 rng(4);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::uint8_t((i * 7 + (i / 3000) * 13 + rng() % 16) & 0xFF);
    measure(
        state,
        [&] {
            std::memcpy(work.data(), image.data(), image.size());
            pca::apply_to_rgb(table, 8, work);
            benchmark::ClobberMemory();
        },
        [&] {
            std::memcpy(work.data(), image.data(), image.size());
            benchmark::ClobberMemory();
        });
    state.SetItemsProcessed(state.iterations() * std::int64_t(kW * kH));
}
BENCHMARK(BM_PcaApply12MP)->Unit(benchmark::kMillisecond);

// One AutoGenTable call on a synthetic chart; baseline: the 36 pca_core
// calls of its prediction step alone.
void BM_AutoGenTable(benchmark::State& state) {
    std::array<std::int32_t, 150> patches{};
    for (int i = 0; i < 18; ++i) {
        const double deg = 10 + 20 * i;
        const auto src = pca::yuv8_to_rgb(140, 128 + std::int64_t(60 * morvik::maths::cos(deg * 0.0174533)),
                                          128 + std::int64_t(60 * morvik::maths::sin(deg * 0.0174533)));
        const auto tgt = pca::yuv8_to_rgb(140, 128 + std::int64_t(55 * morvik::maths::cos((deg + 9) * 0.0174533)),
                                          128 + std::int64_t(55 * morvik::maths::sin((deg + 9) * 0.0174533)));
        const std::size_t at = std::size_t(3 * i);
        patches[at] = src.r, patches[at + 1] = src.g, patches[at + 2] = src.b;
        patches[at + 75] = tgt.r, patches[at + 76] = tgt.g, patches[at + 77] = tgt.b;
    }
    const pca_gen_settings settings{0, 0, 1.5, 3, 3, 18};
    std::array<std::int32_t, 540> table{};
    const pca::Table zero{};
    measure(
        state,
        [&] {
            benchmark::DoNotOptimize(AutoGenTable(patches.data(), table.data(), &settings));
            benchmark::ClobberMemory();
        },
        [&] {
            for (int i = 0; i < 36; ++i) {
                std::uint32_t y = 140u << 8, u = std::uint32_t(100 + i) << 8, v = 150u << 8;
                benchmark::DoNotOptimize(pca_core(&y, &u, &v, 0, 0, 0, zero.data(), zero.data() + 180, zero.data() + 360));
            }
        });
}
BENCHMARK(BM_AutoGenTable)->Unit(benchmark::kMicrosecond);

}  // namespace
