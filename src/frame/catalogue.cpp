// Algorithm catalogue of the AWB, CC and CD families: one 256-character,
// NUL-padded row each; every other index answers "?".
#include <cstdint>

#include "morvik/morvik.h"

namespace {

constexpr std::uint32_t kRows = 1;

const char kAwbRows[kRows][256] = {"Exhausting Search"};
const char kCcRows[kRows][256] = {"Color Correction Matrix"};
const char kCdRows[kRows][256] = {"Delta Eab"};
const char kUnknown[] = "?";

const char* describe(const char (*rows)[256], std::uint32_t index) {
    return index < kRows ? rows[index] : kUnknown;
}

}  // namespace

extern "C" {

MORVIK_API int32_t AWB_GetNumOfAlgorithms(void) { return static_cast<int32_t>(kRows); }

#ifndef _WIN32
// The Windows export table maps the CC and CD names onto the AWB entry point
// (src/morvik.def); ELF gets the same single body through aliases.
MORVIK_API int32_t CC_GetNumOfAlgorithms(void) __attribute__((alias("AWB_GetNumOfAlgorithms")));
MORVIK_API int32_t CD_GetNumOfAlgorithms(void) __attribute__((alias("AWB_GetNumOfAlgorithms")));
#endif

MORVIK_API const char* AWB_GetDescription(uint32_t index) { return describe(kAwbRows, index); }
MORVIK_API const char* CC_GetDescription(uint32_t index) { return describe(kCcRows, index); }
MORVIK_API const char* CD_GetDescription(uint32_t index) { return describe(kCdRows, index); }

}  // extern "C"
