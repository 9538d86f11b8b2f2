// Lens-shading calculation on large synthetic flat fields: the whole call
// against one bare pass over the image (the block sums it starts with).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "morvik/morvik.h"
#include "shading/lsc.h"
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

void noop_sink(const char*, void*) {}

void BM_LscWholeCall(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const auto& raw = field(w, h);
    morvik_set_log_sink(noop_sink, nullptr);
    const lsc_params p{1.0f, 0.05f, 0.1f, 0.9f, 0};
    for (auto _ : state) {
        lsc_result r;
        const int rc = LSC_Calculate(0, 0, raw.data(), static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), &p, &r);
        if (rc != 0) state.SkipWithError("calculation failed");
        benchmark::DoNotOptimize(r);
    }
    morvik_set_log_sink(nullptr, nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * w * h);
}

// The image pass alone: the call's own block sums and histograms, into
// arrays allocated once.
void BM_LscImagePass(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const auto& raw = field(w, h);
    const int hn = w / 4, vn = h / 4;
    const std::size_t n = static_cast<std::size_t>(hn) * static_cast<std::size_t>(vn);
    std::vector<std::uint16_t> store(4 * n);
    std::uint16_t* const sums[4] = {store.data(), store.data() + n, store.data() + 2 * n, store.data() + 3 * n};
    std::uint32_t hist[4][256];
    for (auto _ : state) {
        std::memset(hist, 0, sizeof hist);
        morvik::shading::block_sums(raw.data(), static_cast<unsigned>(w), hn, vn, sums, hist);
        benchmark::DoNotOptimize(store.data());
        benchmark::DoNotOptimize(hist);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * w * h);
}

}  // namespace

BENCHMARK(BM_LscWholeCall)->Args({4208, 3120})->Args({8000, 6000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LscImagePass)->Args({4208, 3120})->Args({8000, 6000})->Unit(benchmark::kMillisecond);
