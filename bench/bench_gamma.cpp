// Gamma family: one call of each export, each beside a baseline of the same
// size: a memcpy of the blocks the call reads and writes, and for the file
// exports the bare file write or read of the same gamma text.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "morvik/morvik.h"
#include "support.h"

namespace {

constexpr std::uint32_t kAnchors[20] = {28, 39, 53, 72, 87, 99, 110, 119, 128, 136,
                                        151, 164, 175, 186, 197, 206, 224, 232, 240, 248};

std::unique_ptr<GammaUpdateInput> update_input() {
    auto in = std::make_unique<GammaUpdateInput>();
    for (int i = 0; i < 20; ++i) in->anchors[i] = static_cast<std::uint8_t>(kAnchors[i]);
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 1024; ++i) in->tone[k][i] = static_cast<std::uint16_t>((i * (k + 3)) / 4);
    return in;
}

void BM_GammaUpdate(benchmark::State& state) {
    const auto in = update_input();
    GammaUpdateOutput out;
    for (auto _ : state) {
        aeZetDllUpateGammaTable(in.get(), &out);
        benchmark::DoNotOptimize(&out);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GammaUpdate);

// Baseline: copy the input and output blocks once.
void BM_GammaUpdateMemcpyBaseline(benchmark::State& state) {
    const auto in = update_input();
    auto copy = std::make_unique<GammaUpdateInput>();
    GammaUpdateOutput out{};
    for (auto _ : state) {
        std::memcpy(copy.get(), in.get(), sizeof *copy);
        std::memcpy(&out, copy.get(), sizeof out);
        benchmark::DoNotOptimize(copy.get());
        benchmark::DoNotOptimize(&out);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GammaUpdateMemcpyBaseline);

struct Kt2 {
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
};

void BM_GammaKT1toKT2(benchmark::State& state) {
    morvik::test::TempDir dir;
    const std::string path = (dir.path() / "gamma.txt").string();
    Kt2 t;
    for (auto _ : state) {
        GMA_convert_KT1_to_KT2(kAnchors, t.base.data(), t.packed.data(), path.c_str());
        benchmark::DoNotOptimize(t.packed.data());
    }
}
BENCHMARK(BM_GammaKT1toKT2);

std::string gamma_text(const morvik::test::TempDir& dir, Kt2& t) {
    const std::string path = (dir.path() / "ref.txt").string();
    GMA_convert_KT1_to_KT2(kAnchors, t.base.data(), t.packed.data(), path.c_str());
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// Baseline: create the same file with the same bytes.
void BM_GammaFileWriteBaseline(benchmark::State& state) {
    morvik::test::TempDir dir;
    Kt2 t;
    const std::string text = gamma_text(dir, t);
    const std::string path = (dir.path() / "gamma.txt").string();
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}
BENCHMARK(BM_GammaFileWriteBaseline);

void BM_GammaKT2toKT1(benchmark::State& state) {
    morvik::test::TempDir dir;
    Kt2 t;
    gamma_text(dir, t);
    std::array<std::uint32_t, 20> anchors{};
    for (auto _ : state) {
        GMA_convert_KT2_to_KT1(t.packed.data(), anchors.data(), t.base.data());
        benchmark::DoNotOptimize(anchors.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GammaKT2toKT1);

// Baseline: one plain pass writing the 4096-entry curve from the table.
void BM_GammaCurvePassBaseline(benchmark::State& state) {
    morvik::test::TempDir dir;
    Kt2 t;
    gamma_text(dir, t);
    std::vector<std::int32_t> curve(4096);
    for (auto _ : state) {
        for (int i = 0; i < 4096; ++i) curve[std::size_t(i)] = std::int32_t(t.packed[std::size_t(i >> 5) % 144] & 0x3FF);
        benchmark::DoNotOptimize(curve.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GammaCurvePassBaseline);

void BM_GammaKT2toKT1File(benchmark::State& state) {
    morvik::test::TempDir dir;
    Kt2 t;
    gamma_text(dir, t);
    const std::string path = (dir.path() / "ref.txt").string();
    std::array<std::uint32_t, 20> anchors{};
    for (auto _ : state) {
        GMA_convert_KT2_to_KT1_file(path.c_str(), anchors.data(), t.packed.data(), t.base.data());
        benchmark::DoNotOptimize(anchors.data());
    }
}
BENCHMARK(BM_GammaKT2toKT1File);

// Baseline: open and read the same file.
void BM_GammaFileReadBaseline(benchmark::State& state) {
    morvik::test::TempDir dir;
    Kt2 t;
    gamma_text(dir, t);
    const std::string path = (dir.path() / "ref.txt").string();
    char buf[4096];
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        while (std::fread(buf, 1, sizeof buf, f) > 0) {
        }
        std::fclose(f);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_GammaFileReadBaseline);

}  // namespace
