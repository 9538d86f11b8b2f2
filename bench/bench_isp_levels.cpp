// The searching GETs (luma noise, chroma noise, chroma reduction) run the
// SET of up to 65 levels on a scratch copy: each GET against one SET of the
// same kind (its baseline), for a block found first (level 0), found last
// (level 64) and one edited by hand (no level matches).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "morvik/morvik.h"

namespace {

enum Case { kFirst = 0, kLast = 64, kEdited = -1 };

using Set = int32_t (*)(uint32_t*, int32_t);
using Get = int32_t (*)(const uint32_t*, int32_t*);

int32_t set_y_noise(uint32_t* reg, int32_t level) { return ISP_KT2_ANR_SET_Y_NOISE_REG(reg, level, 0); }

std::vector<std::uint32_t> block_for(Set set, int words, int level_case, int edited_word) {
    std::vector<std::uint32_t> w(static_cast<std::size_t>(words), 0);
    set(w.data(), level_case == kEdited ? 30 : level_case);
    if (level_case == kEdited) w[static_cast<std::size_t>(edited_word)] ^= 1u;
    return w;
}

void run_get(benchmark::State& state, Set set, Get get, int words, int edited_word) {
    const auto w = block_for(set, words, static_cast<int>(state.range(0)), edited_word);
    int32_t changed = 0;
    for (auto _ : state) benchmark::DoNotOptimize(get(w.data(), &changed));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void run_set(benchmark::State& state, Set set, int words) {
    std::vector<std::uint32_t> w(static_cast<std::size_t>(words), 0);
    int32_t level = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(set(w.data(), level));
        level = (level + 1) & 63;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_IspLumaNoiseSet(benchmark::State& s) { run_set(s, set_y_noise, 18); }
void BM_IspLumaNoiseGet(benchmark::State& s) { run_get(s, set_y_noise, ISP_KT2_ANR_Y_NOISE_GET_LEL, 18, 16); }
void BM_IspChromaNoiseSet(benchmark::State& s) { run_set(s, ISP_KT2_ANR_SET_C_NOISE_REG, 18); }
void BM_IspChromaNoiseGet(benchmark::State& s) {
    run_get(s, ISP_KT2_ANR_SET_C_NOISE_REG, ISP_KT2_ANR_C_NOISE_GET_LEL, 18, 10);
}
void BM_IspChromaReductionSet(benchmark::State& s) { run_set(s, ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG, 4); }
void BM_IspChromaReductionGet(benchmark::State& s) {
    run_get(s, ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG, ISP_KT2_CHROMA_REDUCT_GET_LEL, 4, 2);
}

// The copy every search starts with, alone.
void BM_IspBlockCopy(benchmark::State& state) {
    std::vector<std::uint32_t> src(18, 0x5A5A5A5Au), dst(18);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size() * sizeof(std::uint32_t));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_IspBlockCopy);
BENCHMARK(BM_IspLumaNoiseSet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IspLumaNoiseGet)->Arg(kFirst)->Arg(kLast)->Arg(kEdited)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IspChromaNoiseSet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IspChromaNoiseGet)->Arg(kFirst)->Arg(kLast)->Arg(kEdited)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IspChromaReductionSet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IspChromaReductionGet)->Arg(kFirst)->Arg(kLast)->Arg(kEdited)->Unit(benchmark::kMicrosecond);
