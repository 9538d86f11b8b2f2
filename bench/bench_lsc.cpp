// Lens-shading calculation on large synthetic flat fields. Each iteration
// times three things on the same image: a memcpy of it, a plain pass that
// sums it into four per-channel block planes, and the whole LSC_Calculate
// call, on 1 or 2 threads (MORVIK_THREADS). The counters are ratios of the
// fastest time of each, measured in the same run: x_pass and x_memcpy from
// processor time of the process (little disturbed by other work on a shared
// machine, but the sum over all threads), wall_x_pass and wall_x_memcpy from
// elapsed time (what a second thread can shorten).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <cstdint>
#include <cstring>
#include <vector>

#include "morvik/morvik.h"
#include "shading/synthetic.h"

namespace {

const std::vector<std::uint8_t>& field(int w, int h) {
    static std::vector<std::uint8_t> cache;
    static int cw = 0, ch = 0;
    if (cw != w || ch != h) {
        morvik::shading::FlatField f;
        f.width = w;
        f.height = h;
        // Off-centre, within the range the far-edge check of large sensors allows.
        f.centre_x = w / 2.0 - 48;
        f.centre_y = h / 2.0 + 36;
        f.noise = 2.0;
        cache = morvik::shading::make_flat_field(f);
        cw = w;
        ch = h;
    }
    return cache;
}

// The baseline pass: every 4 x 4 block's four channel sums, nothing else.
void plain_block_sums(const std::uint8_t* raw, int width, int hn, int vn, std::uint16_t* const planes[4]) {
    for (int v = 0; v < vn; ++v) {
        const std::uint8_t* r0 = raw + static_cast<std::size_t>(4 * v) * width;
        const std::uint8_t* r1 = r0 + width;
        const std::uint8_t* r2 = r1 + width;
        const std::uint8_t* r3 = r2 + width;
        const std::size_t base = static_cast<std::size_t>(v) * hn;
        for (int h = 0; h < hn; ++h) {
            const int x = 4 * h;
            planes[0][base + h] = static_cast<std::uint16_t>(r0[x] + r0[x + 2] + r2[x] + r2[x + 2]);
            planes[1][base + h] = static_cast<std::uint16_t>(r0[x + 1] + r0[x + 3] + r2[x + 1] + r2[x + 3]);
            planes[2][base + h] = static_cast<std::uint16_t>(r1[x] + r1[x + 2] + r3[x] + r3[x + 2]);
            planes[3][base + h] = static_cast<std::uint16_t>(r1[x + 1] + r1[x + 3] + r3[x + 1] + r3[x + 3]);
        }
    }
}

// Processor and elapsed seconds of one run of f.
struct Times {
    double cpu = 1e30, wall = 1e30;
    void keep_fastest(const Times& t) {
        cpu = std::min(cpu, t.cpu);
        wall = std::min(wall, t.wall);
    }
};

template <class F>
Times seconds(F&& f) {
    const std::clock_t c0 = std::clock();
    const auto w0 = std::chrono::steady_clock::now();
    f();
    Times t;
    t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    t.cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
    return t;
}

void noop_sink(const char*, void*) {}

void BM_LscWholeCall(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    setenv("MORVIK_THREADS", std::to_string(state.range(2)).c_str(), 1);
    const auto& raw = field(w, h);
    const int hn = w / 4, vn = h / 4;
    const std::size_t n = static_cast<std::size_t>(hn) * static_cast<std::size_t>(vn);
    std::vector<std::uint16_t> store(4 * n);
    std::uint16_t* const planes[4] = {store.data(), store.data() + n, store.data() + 2 * n, store.data() + 3 * n};
    std::vector<std::uint8_t> copy(raw.size());
    morvik_set_log_sink(noop_sink, nullptr);
    const lsc_params p{1.0f, 0.05f, 0.1f, 0.9f, 0};
    Times best_call, best_pass, best_copy;
    for (auto _ : state) {
        best_copy.keep_fastest(seconds([&] {
            std::memcpy(copy.data(), raw.data(), raw.size());
            benchmark::DoNotOptimize(copy.data());
            benchmark::ClobberMemory();
        }));
        best_pass.keep_fastest(seconds([&] {
            plain_block_sums(raw.data(), w, hn, vn, planes);
            benchmark::DoNotOptimize(store.data());
            benchmark::ClobberMemory();
        }));
        lsc_result r;
        int rc = 0;
        const Times t = seconds([&] {
            rc = LSC_Calculate(0, 0, raw.data(), static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), &p, &r);
            benchmark::DoNotOptimize(r);
        });
        best_call.keep_fastest(t);
        state.SetIterationTime(t.wall);
        if (rc != 0) state.SkipWithError("calculation failed");
    }
    morvik_set_log_sink(nullptr, nullptr);
    unsetenv("MORVIK_THREADS");
    state.counters["call_ms"] = best_call.cpu * 1e3;
    state.counters["x_pass"] = best_call.cpu / best_pass.cpu;
    state.counters["x_memcpy"] = best_call.cpu / best_copy.cpu;
    state.counters["wall_x_pass"] = best_call.wall / best_pass.wall;
    state.counters["wall_x_memcpy"] = best_call.wall / best_copy.wall;
}

}  // namespace

// Arguments: width, height, threads.
BENCHMARK(BM_LscWholeCall)
    ->Args({4208, 3120, 1})
    ->Args({4208, 3120, 2})
    ->Args({8000, 6000, 1})
    ->Args({8000, 6000, 2})
    ->UseManualTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);
