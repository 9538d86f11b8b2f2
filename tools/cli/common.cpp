#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <system_error>
#include <tuple>

#include "cli.h"
#include "morvik/morvik.h"
#include "morvik_io.h"
#include "stb_image.h"

namespace morvik::cli {

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot open " + path.string() + ": " + std::generic_category().message(errno));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string read_text_file(const std::filesystem::path& path) {
    auto bytes = read_file(path);
    return {bytes.begin(), bytes.end()};
}

void write_file(const std::filesystem::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    if (out) out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw Error("cannot write " + path.string());
}

RgbImage load_rgb_image(const std::filesystem::path& path) {
    if (!std::filesystem::exists(path)) throw Error("cannot open " + path.string() + ": no such file");
    int w = 0, h = 0, channels = 0;
    stbi_uc* pixels = stbi_load(path.string().c_str(), &w, &h, &channels, 3);
    if (pixels == nullptr) {
        throw Error("cannot read image " + path.string() + ": " + stbi_failure_reason());
    }
    RgbImage image{w, h, std::vector<std::uint8_t>(pixels, pixels + std::size_t(w) * h * 3)};
    stbi_image_free(pixels);
    return image;
}

std::vector<std::uint8_t> load_raw8(const std::filesystem::path& path, int width, int height, int bits) {
    if (width <= 0 || height <= 0) throw Error("width and height must be positive");
    if (bits != 8 && bits != 10 && bits != 12 && bits != 16) throw Error("--bits must be 8, 10, 12 or 16");
    const std::size_t count = std::size_t(width) * std::size_t(height);
    const std::size_t bytes_per_sample = bits == 8 ? 1 : 2;
    auto data = read_file(path);
    if (data.size() != count * bytes_per_sample) {
        throw Error(path.string() + ": " + std::to_string(data.size()) + " bytes, expected " +
                    std::to_string(count * bytes_per_sample) + " for " + std::to_string(width) + " x " +
                    std::to_string(height) + " samples of " + std::to_string(bits) + " bits");
    }
    if (bits == 8) return data;
    std::vector<std::uint8_t> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        unsigned word = data[2 * i] | (unsigned(data[2 * i + 1]) << 8);
        out[i] = static_cast<std::uint8_t>(std::min(255u, word >> (bits - 8)));
    }
    return out;
}

bool is_camera_raw(const std::filesystem::path& path) { return morvik_io_is_raw(path.string().c_str()) == 1; }

RawFrame load_raw_frame(const std::filesystem::path& path, int width, int height, int bits, bool keep_black) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    const bool bare_size = !ec && width > 0 && height > 0 &&
                           size == std::uintmax_t(width) * std::uintmax_t(height) * (bits == 8 ? 1u : 2u);
    if (bare_size || !is_camera_raw(path)) {
        if (width <= 0 || height <= 0) {
            throw BadInput(path.string() + ": not a DNG or camera raw file, so --width and --height are needed to "
                                           "read it as bare samples");
        }
        return {width, height, load_raw8(path, width, height, bits), -1, "", nullptr};
    }
    morvik_raw* handle = nullptr;
    if (morvik_io_raw_open(path.string().c_str(), &handle) != MORVIK_IO_OK) throw BadInput(morvik_io_last_error());
    const std::unique_ptr<morvik_raw, void (*)(morvik_raw*)> owner(handle, morvik_io_raw_close);
    morvik_raw_info info{};
    morvik_io_raw_info(handle, &info);
    for (auto [name, given, actual] : {std::tuple{"--width", width, info.width}, {"--height", height, info.height}}) {
        if (given > 0 && std::uint32_t(given) != actual) {
            throw BadInput(path.string() + ": " + name + " " + std::to_string(given) + " differs from the file's " +
                           std::to_string(actual) + " (leave it out for a camera raw file)");
        }
    }
    if (info.width > 65535 || info.height > 65535) {
        throw BadInput(path.string() + ": " + std::to_string(info.width) + " x " + std::to_string(info.height) +
                       " samples, at most 65535 per side");
    }
    RawFrame f{int(info.width), int(info.height), std::vector<std::uint8_t>(std::size_t(info.width) * info.height),
               int(info.bayer_order), "", nullptr};
    if (morvik_io_raw_plane8(handle, keep_black ? 1 : 0, f.samples.data(), f.samples.size()) != MORVIK_IO_OK) {
        throw BadInput(morvik_io_last_error());
    }
    static const char* const kPatterns[4] = {"RGGB", "GRBG", "GBRG", "BGGR"};
    const std::string camera = std::string(info.make) + (info.make[0] && info.model[0] ? " " : "") + info.model;
    const std::vector<unsigned> black(info.black, info.black + 4);
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s (%s%s): %u x %u, %s (Bayer order %u), black %u %u %u %u, white %u, %u bits -> 8 bits %s",
                  path.filename().string().c_str(), info.is_dng ? "DNG, " : "", camera.c_str(), info.width,
                  info.height, kPatterns[info.bayer_order], info.bayer_order, black[0], black[1], black[2], black[3],
                  info.white, info.bits, keep_black ? "(raw codes, black kept)" : "(black subtracted)");
    f.description = text;
    f.input = {{"file", path.string()},   {"format", info.is_dng ? "DNG" : "camera raw"},
               {"make", info.make},       {"model", info.model},
               {"width", info.width},     {"height", info.height},
               {"pattern", kPatterns[info.bayer_order]}, {"bayer_order", info.bayer_order},
               {"black", black},          {"white", info.white},
               {"bits", info.bits},       {"black_subtracted", !keep_black}};
    return f;
}

LogTap::LogTap(bool print) : print_(print) { morvik_set_log_sink(&LogTap::sink, this); }

LogTap::~LogTap() { morvik_set_log_sink(nullptr, nullptr); }

void LogTap::sink(const char* line, void* user) {
    auto* self = static_cast<LogTap*>(user);
    if (self->print_) {
        std::fputs(line, stdout);
    } else {
        self->lines_.emplace_back(line);
    }
}

void print_json(const nlohmann::json& doc) { std::cout << doc.dump(2) << '\n'; }

bool looks_like_json(const std::filesystem::path& path, const std::string& text) {
    if (path.extension() == ".json") return true;
    const auto first = text.find_first_not_of(" \t\r\n");
    return first != std::string::npos && (text[first] == '{' || text[first] == '[');
}

nlohmann::json parse_json(const std::filesystem::path& path, const std::string& text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw Error(path.string() + ": not valid JSON: " + e.what());
    }
}

std::vector<CsvRow> parse_csv(const std::string& text) {
    std::vector<CsvRow> rows;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::replace_if(line.begin(), line.end(), [](char c) { return c == ',' || c == ';' || c == '\t' || c == '\r'; },
                        ' ');
        std::istringstream fields(line);
        CsvRow row{number, {}};
        for (std::string f; fields >> f;) row.fields.push_back(f);
        if (row.fields.empty()) continue;
        rows.push_back(std::move(row));
    }
    return rows;
}

bool is_number(const std::string& s) {
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return !s.empty() && end == s.c_str() + s.size();
}

double number_at(const std::filesystem::path& path, const CsvRow& row, std::size_t i) {
    if (!is_number(row.fields[i])) {
        throw Error(path.string() + ":" + std::to_string(row.line) + ": \"" + row.fields[i] + "\" is not a number");
    }
    return std::strtod(row.fields[i].c_str(), nullptr);
}

}  // namespace morvik::cli
