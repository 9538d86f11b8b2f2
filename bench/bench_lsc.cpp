// Lens-shading calculation on large synthetic flat fields: the whole call
// against one bare pass over the image (the block sums it starts with).
#include <benchmark/benchmark.h>

#include <cstdint>
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

// The image pass alone: 4 x 4 block sums per channel into preallocated arrays.
void BM_LscImagePass(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const auto& raw = field(w, h);
    const int hn = w / 4, vn = h / 4;
    std::vector<std::uint16_t> sums(static_cast<std::size_t>(hn) * vn * 4);
    for (auto _ : state) {
        for (int v = 0; v < vn; ++v) {
            const std::uint8_t* r0 = raw.data() + static_cast<std::size_t>(4 * v) * w;
            const std::uint8_t *r1 = r0 + w, *r2 = r1 + w, *r3 = r2 + w;
            std::uint16_t* s = sums.data() + static_cast<std::size_t>(v) * hn * 4;
            for (int x = 0; x < 4 * hn; x += 4, s += 4) {
                s[0] = static_cast<std::uint16_t>(r0[x] + r0[x + 2] + r2[x] + r2[x + 2]);
                s[1] = static_cast<std::uint16_t>(r0[x + 1] + r0[x + 3] + r2[x + 1] + r2[x + 3]);
                s[2] = static_cast<std::uint16_t>(r1[x] + r1[x + 2] + r3[x] + r3[x + 2]);
                s[3] = static_cast<std::uint16_t>(r1[x + 1] + r1[x + 3] + r3[x + 1] + r3[x + 3]);
            }
        }
        benchmark::DoNotOptimize(sums.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * w * h);
}

}  // namespace

BENCHMARK(BM_LscWholeCall)->Args({4208, 3120})->Args({8000, 6000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LscImagePass)->Args({4208, 3120})->Args({8000, 6000})->Unit(benchmark::kMillisecond);
