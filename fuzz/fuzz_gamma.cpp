// libFuzzer target: GMA_convert_KT2_to_KT1_file on an arbitrary file.
//
// The input is the file. Checks: the words read equal a plain model of the
// reader (pieces of at most 253 characters ending at a line feed, comment
// pieces skipped, leading hex digits, 144 words at most), the entries beyond
// them keep their contents, the bases are the low 10 bits, and the anchors
// agree with GMA_convert_KT2_to_KT1 on the same table. The first 20 bytes
// also go through KT1 -> KT2 -> file -> KT1 as anchors.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "morvik/morvik.h"

namespace {

namespace fs = std::filesystem;

fs::path scratch;
constexpr std::uint32_t kUntouched = 0x5EED5EEDu;

void write(const fs::path& p, const uint8_t* data, size_t size) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

int hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<uint32_t> model_words(const uint8_t* data, size_t size) {
    std::vector<uint32_t> words;
    size_t at = 0;
    while (at < size && words.size() < 144) {
        size_t end = at;
        while (end < size && end - at < 253 && data[end] != '\n') ++end;
        if (end < size && end - at < 253) ++end;
        const uint8_t first = data[at];
        const size_t piece_end = end;
        if (first != '@' && first != '/' && first != '#') {
            uint32_t w = 0;
            for (size_t i = at; i < piece_end && hex_digit(data[i]) >= 0; ++i) w = w * 16 + uint32_t(hex_digit(data[i]));
            words.push_back(w);
        }
        at = end;
    }
    return words;
}

void check(bool ok) {
    if (!ok) std::abort();
}

void round_trip(const uint8_t* data) {
    std::array<uint32_t, 20> anchors{};
    for (int k = 0; k < 20; ++k) anchors[size_t(k)] = data[k];
    std::array<uint32_t, 145> base{};
    std::array<uint32_t, 144> packed{}, read{};
    const fs::path file = scratch / "kt2.txt";
    check(GMA_convert_KT1_to_KT2(anchors.data(), base.data(), packed.data(), file.c_str()) == 0);
    std::array<uint32_t, 20> back{};
    std::array<uint32_t, 145> base2{};
    check(GMA_convert_KT2_to_KT1_file(file.c_str(), back.data(), read.data(), base2.data()) == 0);
    check(read == packed);
    for (int e = 0; e < 144; ++e) check(base2[size_t(e)] == base[size_t(e)]);
    for (uint32_t a : back) check(a <= 255);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch = fs::temp_directory_path() / ("morvik-fuzz-gamma-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path file = scratch / "gamma.txt";
    write(file, data, size);

    std::array<uint32_t, 20> anchors{};
    std::array<uint32_t, 144> packed{};
    std::array<uint32_t, 145> base{};
    packed.fill(kUntouched);
    base.fill(kUntouched);
    check(GMA_convert_KT2_to_KT1_file(file.c_str(), anchors.data(), packed.data(), base.data()) == 0);

    const auto words = model_words(data, size);
    for (size_t e = 0; e < 144; ++e) {
        check(packed[e] == (e < words.size() ? words[e] : kUntouched));
        check(base[e] == (packed[e] & 0x3FFu));
    }
    check(base[144] == kUntouched);
    for (uint32_t a : anchors) check(a <= 255);  // anchors sit on grid points: a base, two bits dropped

    // From memory: the anchors sit on grid points, where the bases-only
    // curve and the curve with slopes agree.
    std::array<uint32_t, 20> from_memory{};
    std::array<uint32_t, 145> base2{};
    base2[144] = size > 0 ? data[0] * 4u : 0u;
    check(GMA_convert_KT2_to_KT1(packed.data(), from_memory.data(), base2.data()) == 0);
    check(from_memory == anchors);

    if (size >= 20) round_trip(data);
    return 0;
}
