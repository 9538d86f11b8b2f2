// libFuzzer target: DP_getInfo on an arbitrary file with an arbitrary
// auto-exposure header, then a size query, a dump and the getters.
//
// Input: 2 bytes little-endian header length h, 1 byte options (bits 0-1:
// mode 0, 1, 2, 2; bit 2: array dump instead of text dump), h bytes of
// header text, the rest is the JPEG file.
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

void write(const fs::path& p, const uint8_t* data, size_t size) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void write(const fs::path& p, const std::string& text) {
    write(p, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch = fs::temp_directory_path() / ("morvik-fuzz-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    setenv("MORVIK_HOST_DIR", scratch.c_str(), 1);
    const char* names[] = {"AAA/AF/AF.h", "AAA/AWB/AWB.h", "ISP/ISP/ISP.h", "CAM/CMN/CMN.h", "AF/AF.h",
                           "AWB/AWB.h",   "ISP/ISP.h",     "CAM/CAM.h"};
    for (const char* n : names) write(scratch / n, "enum {\n  SEL = 0, // x\n\tAFMODE,\nSCAN_START,\nSCAN_STEP,\nVLU\n};\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const size_t header = std::min<size_t>(size - 3, data[0] | size_t{data[1]} << 8);
    const int options = data[2];
    const int32_t mode = std::array<int32_t, 4>{0, 1, 2, 2}[options & 3];
    write(scratch / "AAA/AE/AE.h", data + 3, header);
    write(scratch / "AE/AE.h", data + 3, header);
    const fs::path jpeg = scratch / "in.jpg";
    write(jpeg, data + 3 + header, size - 3 - header);

    int32_t n = 0;
    if (DP_getInfo(jpeg.c_str(), mode, &n) != 1) return 0;
    std::vector<std::array<int32_t, 2>> dim(static_cast<size_t>(n));
    std::vector<int32_t*> dims;
    for (auto& d : dim) dims.push_back(d.data());
    std::array<int32_t, 12> words{};
    if (DP_GET_SIZE(words.data(), dims.data()) != 1) std::abort();

    std::vector<uint32_t> table(DP_AWB_INFO_WORDS);
    DP_GetAWBinfo(table.data());
    GetGGMTbl(table.data());
    GetPCATbl(table.data());

    size_t records = 0;
    for (const auto& d : dim) {
        if (d[0] < 0 || d[0] > 2047 || d[1] < 0 || d[1] > 1024) std::abort();
        records += size_t(d[0]) * (size_t(d[1]) + 2);
    }
    if ((options & 4) != 0 && records <= (size_t{1} << 20)) {
        std::vector<std::vector<std::vector<DpDumpRecord>>> store(dim.size());
        std::vector<std::vector<DpDumpRecord*>> columns(dim.size());
        std::vector<DpDumpRecord**> sections(dim.size());
        for (size_t b = 0; b < dim.size(); ++b) {
            store[b].assign(size_t(dim[b][1]) + 2, std::vector<DpDumpRecord>(size_t(dim[b][0])));
            for (auto& c : store[b]) columns[b].push_back(c.data());
            sections[b] = columns[b].data();
        }
        if (DP_dumpInfo_array_RC(sections.data()) != 1) std::abort();
    } else {
        std::array<int32_t, 12> dumped{};
        if (DP_dumpInfo_File((scratch / "dump.txt").c_str(), dumped.data()) != 1) std::abort();
        if (dumped[0] != words[0]) std::abort();  // the size query predicts the dump
    }
    return 0;
}
