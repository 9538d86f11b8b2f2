#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "cli.h"
#include "morvik/morvik.h"
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

double json_number(const nlohmann::json& v, const std::string& where) {
    if (!v.is_number()) throw BadInput(where + ": expected a number");
    const double x = v.get<double>();
    if (!std::isfinite(x)) throw BadInput(where + ": number is not finite");
    return x;
}

long json_integer(const nlohmann::json& v, const std::string& where, long lo, long hi) {
    if (v.is_number_integer()) {
        // Compare in the JSON's own integer type before narrowing.
        if (v.is_number_unsigned() ? v.get<std::uint64_t>() > std::uint64_t(hi) || (lo > 0 && v.get<std::uint64_t>() < std::uint64_t(lo))
                                   : v.get<std::int64_t>() < lo || v.get<std::int64_t>() > hi) {
            throw BadInput(where + ": " + v.dump() + " is outside " + std::to_string(lo) + ".." + std::to_string(hi));
        }
        return static_cast<long>(v.get<std::int64_t>());
    }
    const double x = json_number(v, where);
    if (x < double(lo) || x > double(hi)) {
        throw BadInput(where + ": " + v.dump() + " is outside " + std::to_string(lo) + ".." + std::to_string(hi));
    }
    if (x != std::trunc(x)) throw BadInput(where + ": " + v.dump() + " is not an integer");
    return static_cast<long>(x);
}

void print_log(const std::vector<std::string>& lines) {
    for (const auto& line : lines) std::fputs(line.c_str(), stdout);
}

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
