// Grid shading table on a full-size 10-bit flat field, and the sensor slope
// and offset fit. Each figure carries its ratio to a plain pass over the same
// input measured in the same run (counter "x_pass"; "x_memcpy" for a copy of
// the raw bytes).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "morvik/morvik.h"
#include "support.h"

namespace {

constexpr int kWidth = 4208, kHeight = 3120;

// 10-bit samples, two bytes each (low byte first): a vignetted field with a
// small deterministic ripple.
const std::vector<std::uint8_t>& flat_field() {
    static const std::vector<std::uint8_t> raw = [] {
        std::vector<std::uint8_t> r(std::size_t(kWidth) * kHeight * 2);
        const double r2 = (kWidth * kWidth + kHeight * kHeight) / 4.0;
        std::uint32_t seed = 1;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const double d2 = (x - 2080.0) * (x - 2080.0) + (y - 1580.0) * (y - 1580.0);
                seed = seed * 1664525u + 1013904223u;
                const auto v = static_cast<unsigned>(900 * (1 - 0.5 * d2 / r2) + (seed >> 29));
                const std::size_t i = 2 * (std::size_t(y) * kWidth + std::size_t(x));
                r[i] = static_cast<std::uint8_t>(v);
                r[i + 1] = static_cast<std::uint8_t>(v >> 8);
            }
        return r;
    }();
    return raw;
}

// Processor time of this process in seconds: the ratios stay meaningful on
// a shared, loaded machine where wall time is not.
double cpu_now() { return double(std::clock()) / CLOCKS_PER_SEC; }

// Mean of several runs of `body`, in processor seconds (averaged like the
// benchmark loop it is compared with).
double mean_time(const std::function<void()>& body, int runs = 20) {
    const double t0 = cpu_now();
    for (int i = 0; i < runs; ++i) body();
    return (cpu_now() - t0) / runs;
}

// Processor seconds per iteration of the benchmark loop.
template <class F>
double timed_loop(benchmark::State& state, F&& body) {
    const double t0 = cpu_now();
    for (auto _ : state) body();
    return (cpu_now() - t0) / double(state.iterations());
}

void BM_ShadingTable(benchmark::State& state) {
    const int nx = static_cast<int>(state.range(0)), ny = static_cast<int>(state.range(1));
    const int format = static_cast<int>(state.range(2));
    const auto& raw = flat_field();
    shading_table_config c{};
    c.table_kind = 1;
    c.bit_depth = 10;
    c.raw = raw.data();
    c.width = kWidth;
    c.height = kHeight;
    c.right = kWidth;
    c.bottom = kHeight;
    c.nx = nx;
    c.ny = ny;
    c.window = 32;
    c.gain_scale = 32;
    c.find_brightest = 1;
    c.max_gain_x10 = 40;
    c.poly[0] = 1e6;
    c.cell_width = (kWidth / 2) / (nx - 1);
    c.cell_height = (kHeight / 2) / (ny - 1);
    static shading_table_result result;
    const double per_call = timed_loop(state, [&] {
        const int rc = ShadingCalibrateEx(&c, &result, format, 0);
        if (rc != 0) state.SkipWithError("table failed");
        benchmark::DoNotOptimize(result.words[0]);
    });

    // Baselines: one read pass over the raw bytes (64-bit words), and a copy of them.
    std::vector<std::uint8_t> copy(raw.size());
    const double pass = mean_time([&] {
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i + 8 <= raw.size(); i += 8) {
            std::uint64_t word;
            std::memcpy(&word, raw.data() + i, 8);
            sum += word;
        }
        benchmark::DoNotOptimize(sum);
    });
    const double memcpy_time = mean_time([&] {
        std::memcpy(copy.data(), raw.data(), raw.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    });
    state.counters["x_pass"] = per_call / pass;
    state.counters["x_memcpy"] = per_call / memcpy_time;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(raw.size()));
}

void BM_SensorSlopeOffset(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<std::int32_t> x(static_cast<std::size_t>(n));
    std::vector<double> y[4];
    for (int i = 0; i < n; ++i) {
        x[std::size_t(i)] = 10 * (i + 1);
        for (int c = 0; c < 4; ++c) y[c].push_back(std::min(1000.0, (2.0 + 0.3 * c) * x[std::size_t(i)] + 17 + (i % 3) * 0.25));
    }
    sc_input in{};
    in.bit_mode = 1;
    in.count = n;
    in.exposure = x.data();
    for (int c = 0; c < 4; ++c) in.response[c] = y[c].data();
    morvik::test::TempDir dir;
    morvik::test::ScopedEnv env("MORVIK_INSPECT_DIR", dir.path().string());
    double gains[4], slopes[4], intercepts[4], ratio, limit;
    std::uint32_t offsets[4];
    const double per_call = timed_loop(state, [&] {
        SC_SlopeOffset_Calibration(0, &in, gains, offsets, slopes, intercepts, &ratio, &limit);
        benchmark::DoNotOptimize(gains[0]);
    });
    // Baseline: one pass over the series (every exposure and response read once).
    const double pass = mean_time(
        [&] {
            for (int rep = 0; rep < 1000; ++rep) {
                double sum = 0;
                for (int i = 0; i < n; ++i) sum += x[std::size_t(i)] + y[0][std::size_t(i)] + y[1][std::size_t(i)] +
                                                  y[2][std::size_t(i)] + y[3][std::size_t(i)];
                benchmark::DoNotOptimize(sum);
            }
        },
        5) / 1000;
    state.counters["x_pass"] = per_call / pass;
}

}  // namespace

BENCHMARK(BM_ShadingTable)->Args({17, 13, 1})->Args({9, 7, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SensorSlopeOffset)->Arg(64)->Unit(benchmark::kMicrosecond);
