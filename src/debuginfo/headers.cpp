// Parameter-layout headers: the assembled "TAG.h" and the field names read
// back from it.
#include <cstdio>
#include <cstring>
#include <memory>

#include "debuginfo/debuginfo.h"
#include "frame/log.h"
#include "platform/platform.h"

namespace morvik::debuginfo {

namespace {

constexpr Module kModulesV2[] = {
    {"AE_", "AAA\\AE\\", "AE.h"},
    {"AF_", "AAA\\AF\\", "AF.h"},
    {"AWB_", "AAA\\AWB\\", "AWB.h"},
    {"STROBE_", "AAA\\STROBE\\", "STROBE.h"},
    {"FLICKER_", "AAA\\FLICKER\\", "FLICKER.h"},
    {"ISP_", "ISP\\ISP\\", "ISP.h"},
    {"CMN_", "CAM\\CMN\\", "CMN.h"},
    {"MF_", "CAM\\MF\\", "MF.h"},
    {"N3D_", "CAM\\N3D\\", "N3D.h"},
    {"SENSOR_", "CAM\\SENSOR\\", "SENSOR.h"},
    {"SHADING_", "CAM\\SHADING\\", "SHADING.h"},
};

constexpr Module kModulesV1[] = {
    {"AE_", "AE\\", "AE.h"}, {"AF_", "AF\\", "AF.h"}, {"AWB_", "AWB\\", "AWB.h"},
    {"ISP_", "ISP\\", "ISP.h"}, {"CMN_", "CAM\\", "CAM.h"},
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open(const std::string& path, const char* how) { return File(std::fopen(path.c_str(), how)); }

std::string local_folder(const char* folder) {
    std::string s = folder;
    for (auto& c : s) {
        if (c == '\\') c = platform::path_separator();
    }
    return s;
}

// Remove every leading and trailing `c`.
void trim(std::string& s, char c) {
    const auto first = s.find_first_not_of(c);
    if (first == std::string::npos) {
        s.clear();
        return;
    }
    s.erase(s.find_last_not_of(c) + 1);
    s.erase(0, first);
}

// A field name from a member line: the text before a trailing comment
// (less the one character before "//"), then before "=", then before ",".
std::string field_name(std::string line) {
    if (const auto p = line.find("//"); p != std::string::npos) line.resize(p - 1);
    if (const auto p = line.find('='); p != std::string::npos) line.resize(p);
    if (const auto p = line.find(','); p != std::string::npos) line.resize(p);
    return line;
}

}  // namespace

std::span<const Module> modules(int version) {
    if (version == 2) return kModulesV2;
    return std::span<const Module>(kModulesV1).first(version == 1 ? 5 : 4);
}

bool write_tag_header(const std::string& host, int version, std::span<const std::int32_t> values) {
    platform::set_current_dir(host);
    frame::log_format("%s", host.c_str());
    const File out = open(host + "TAG.h", "w");
    if (!out) return false;
    const auto mods = modules(version);
    for (std::size_t m = 0; m < mods.size(); ++m) {
        const std::string folder = host + local_folder(mods[m].folder);
        char name[64];
        std::snprintf(name, sizeof name, "%s%d_%d.h", mods[m].prefix, version, m < values.size() ? values[m] : 0);
        File in = open(folder + name, "rb");
        if (!in) in = open(folder + mods[m].fallback, "rb");
        if (in) {
            // Copied line by line in pieces of up to 199 bytes, unchanged.
            char line[200];
            while (std::fgets(line, sizeof line, in.get()) != nullptr) std::fputs(line, out.get());
        }
        for (int i = 0; i < 3; ++i) std::fputs("\n", out.get());
    }
    return true;
}

NameLists read_names(const std::string& host, std::size_t blocks) {
    NameLists names(blocks);
    platform::set_current_dir(host);
    const File in = open(host + "TAG.h", "r");
    if (!in) return names;
    bool inside = false;
    std::size_t b = 0;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, in.get()) != nullptr) {
        std::string line = buffer;  // a NUL ends the line's text
        for (char c : {'\n', '\r', '\t'}) trim(line, c);
        if (line.find('{') != std::string::npos) {
            inside = true;
        } else if (inside && line.find('}') != std::string::npos) {
            inside = false;
            ++b;
        } else if (inside && b < blocks) {
            trim(line, ' ');
            if (line.empty() || line.rfind("//", 0) == 0) continue;
            names[b].push_back(field_name(std::move(line)));
        }
    }
    return names;
}

}  // namespace morvik::debuginfo
