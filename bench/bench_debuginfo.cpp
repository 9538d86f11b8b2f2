// Debug-information dump on the example JPEG and its module headers.
#include <benchmark/benchmark.h>

#include <array>
#include <filesystem>
#include <vector>

#include "morvik/morvik.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;

// The benchmark target has no source-folder definition: find it from here.
const fs::path kExamples = fs::path(__FILE__).parent_path().parent_path() / "examples" / "debuginfo";

// A copy of the example headers as host folder (DP_getInfo writes "TAG.h"
// there and makes it the current directory).
struct Example {
    morvik::test::TempDir host;
    fs::path cwd = fs::current_path();
    std::string jpeg = (kExamples / "example.jpg").string();
    Example() {
        fs::copy(kExamples / "headers", host.path(),
                 fs::copy_options::recursive);
        setenv("MORVIK_HOST_DIR", host.path().c_str(), 1);
    }
    ~Example() { fs::current_path(cwd); }
};

void BM_DP_getInfo(benchmark::State& state) {
    Example ex;
    int32_t n = 0;
    for (auto _ : state) benchmark::DoNotOptimize(DP_getInfo(ex.jpeg.c_str(), 2, &n));
}
BENCHMARK(BM_DP_getInfo)->Unit(benchmark::kMicrosecond);

void BM_DP_GET_SIZE(benchmark::State& state) {
    Example ex;
    int32_t n = 0;
    DP_getInfo(ex.jpeg.c_str(), 2, &n);
    std::array<int32_t, 12> size{};
    std::vector<std::array<int32_t, 2>> dim(static_cast<size_t>(n));
    std::vector<int32_t*> dims;
    for (auto& d : dim) dims.push_back(d.data());
    for (auto _ : state) benchmark::DoNotOptimize(DP_GET_SIZE(size.data(), dims.data()));
}
BENCHMARK(BM_DP_GET_SIZE)->Unit(benchmark::kMicrosecond);

void BM_getInfo_and_text_dump(benchmark::State& state) {
    Example ex;
    const std::string out = (ex.host.path() / "dump.txt").string();
    int32_t n = 0;
    std::array<int32_t, 12> size{};
    for (auto _ : state) {
        DP_getInfo(ex.jpeg.c_str(), 2, &n);
        benchmark::DoNotOptimize(DP_dumpInfo_File(out.c_str(), size.data()));
    }
}
BENCHMARK(BM_getInfo_and_text_dump)->Unit(benchmark::kMicrosecond);

}  // namespace
