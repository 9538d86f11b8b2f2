#include "input.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "stb_image.h"

namespace morvik::cli {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_file(const fs::path& path, std::uintmax_t limit) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) throw BadInput("cannot open " + path.string() + ": no such file");
    if (fs::is_directory(st)) throw BadInput("cannot read " + path.string() + ": it is a directory, not a file");
    if (!fs::is_regular_file(st)) throw BadInput("cannot read " + path.string() + ": not a regular file");
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) throw BadInput("cannot read " + path.string() + ": " + ec.message());
    if (size > limit) {
        throw BadInput(path.string() + ": " + std::to_string(size) + " bytes, more than the " + std::to_string(limit) +
                       " this input may have");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw BadInput("cannot open " + path.string() + ": " + std::generic_category().message(errno));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (static_cast<std::uintmax_t>(in.gcount()) != size) throw BadInput("cannot read " + path.string() + ": short read");
    return bytes;
}

std::string read_text_file(const fs::path& path) {
    const auto bytes = read_file(path, std::uintmax_t{64} << 20);
    return {bytes.begin(), bytes.end()};
}

namespace {

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}
std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

// An uncompressed BMP must hold every row its header claims.
void check_bmp(const std::vector<std::uint8_t>& b, const std::string& name) {
    if (b.size() < 26) throw BadInput(name + ": BMP header truncated (" + std::to_string(b.size()) + " bytes)");
    const std::uint32_t offset = le32(b, 10);
    const std::uint32_t header = le32(b, 14);
    std::int64_t width = 0, height = 0;
    std::uint32_t bpp = 0, compression = 0;
    if (header == 12) {
        width = le16(b, 18), height = le16(b, 20), bpp = le16(b, 24);
    } else {
        if (b.size() < 34) throw BadInput(name + ": BMP header truncated (" + std::to_string(b.size()) + " bytes)");
        width = std::int32_t(le32(b, 18)), height = std::int32_t(le32(b, 22));
        bpp = le16(b, 28), compression = le32(b, 30);
    }
    if (width <= 0 || height == 0 || height == INT32_MIN) {
        throw BadInput(name + ": BMP header gives " + std::to_string(width) + " x " + std::to_string(height) +
                       " pixels; width and height must be positive");
    }
    if (compression == 0 || compression == 3) {
        const std::uint64_t stride = (std::uint64_t(width) * bpp + 31) / 32 * 4;
        const std::uint64_t need = std::uint64_t(offset) + stride * std::uint64_t(std::llabs(height));
        if (need > b.size()) {
            throw BadInput(name + ": BMP header claims " + std::to_string(width) + " x " +
                           std::to_string(std::llabs(height)) + " pixels (" + std::to_string(need) +
                           " bytes), the file holds " + std::to_string(b.size()) + " bytes");
        }
    }
}

}  // namespace

RgbImage decode_rgb_image(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    if (bytes.empty()) throw BadInput(name + ": empty file, not an image");
    if (bytes.size() > std::size_t(INT32_MAX)) throw BadInput(name + ": file too large for an image");
    const int len = static_cast<int>(bytes.size());
    int w = 0, h = 0, channels = 0;
    if (!stbi_info_from_memory(bytes.data(), len, &w, &h, &channels)) {
        throw BadInput(name + ": not a readable image (" + stbi_failure_reason() + ")");
    }
    const std::uint64_t pixels = std::uint64_t(w) * std::uint64_t(h);
    if (w <= 0 || h <= 0 || pixels > kMaxImagePixels) {
        throw BadInput(name + ": header claims " + std::to_string(w) + " x " + std::to_string(h) +
                       " pixels, more than the " + std::to_string(kMaxImagePixels) + " accepted");
    }
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
        check_bmp(bytes, name);
    } else if (pixels > std::uint64_t(bytes.size()) * 16384) {
        // Deflate expands a byte at most about 1032-fold, and a bilevel PNG
        // packs 8 pixels a byte; no compressed format stb reads comes near
        // 16384 pixels per byte of file.
        throw BadInput(name + ": header claims " + std::to_string(w) + " x " + std::to_string(h) +
                       " pixels, more than " + std::to_string(bytes.size()) + " bytes of image data can hold");
    }
    stbi_uc* pixels_rgb = stbi_load_from_memory(bytes.data(), len, &w, &h, &channels, 3);
    if (pixels_rgb == nullptr) throw BadInput(name + ": image data unreadable (" + stbi_failure_reason() + ")");
    RgbImage image{w, h, std::vector<std::uint8_t>(pixels_rgb, pixels_rgb + std::size_t(w) * std::size_t(h) * 3)};
    stbi_image_free(pixels_rgb);
    return image;
}

RgbImage load_rgb_image(const fs::path& path) { return decode_rgb_image(read_file(path), path.string()); }

std::vector<std::uint8_t> load_raw8(const fs::path& path, int width, int height, int bits) {
    if (width <= 0 || height <= 0) {
        throw BadInput(path.string() + ": width and height must be positive, got " + std::to_string(width) + " x " +
                       std::to_string(height));
    }
    if (bits != 8 && bits != 10 && bits != 12 && bits != 16) throw BadInput("--bits must be 8, 10, 12 or 16");
    const std::uint64_t count = std::uint64_t(width) * std::uint64_t(height);
    const std::uint64_t expected = count * (bits == 8 ? 1 : 2);
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) {
        const std::uintmax_t size = fs::file_size(path, ec);
        if (!ec && size != expected) {
            throw BadInput(path.string() + ": " + std::to_string(size) + " bytes, expected " +
                           std::to_string(expected) + " for " + std::to_string(width) + " x " +
                           std::to_string(height) + " samples of " + std::to_string(bits) + " bits");
        }
    }
    auto data = read_file(path);
    if (data.size() != expected) {
        throw BadInput(path.string() + ": " + std::to_string(data.size()) + " bytes, expected " +
                       std::to_string(expected));
    }
    if (bits == 8) return data;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const unsigned word = data[2 * i] | (unsigned(data[2 * i + 1]) << 8);
        out[i] = static_cast<std::uint8_t>(std::min(255u, word >> (bits - 8)));
    }
    return out;
}

bool looks_like_json(const fs::path& path, const std::string& text) {
    if (path.extension() == ".json") return true;
    const auto first = text.find_first_not_of(" \t\r\n");
    return first != std::string::npos && (text[first] == '{' || text[first] == '[');
}

namespace {

// Line and column of byte `at`, for messages.
std::string place_of(const std::string& text, std::size_t at) {
    at = std::min(at, text.size());
    const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
    const auto start = text.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t column = start == std::string::npos || at == 0 ? at + 1 : at - start;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

nlohmann::json parse_json(const fs::path& path, const std::string& text) {
    // Nesting outside strings, counted before the parser (whose values nest
    // on the stack) sees the text.
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth) {
                throw BadInput(path.string() + ": " + place_of(text, i) + ": JSON nested deeper than " +
                               std::to_string(kMaxJsonDepth) + " levels");
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        // e.what() is "[json.exception.parse_error.N] parse error at line L, column C: ..."
        std::string what = e.what();
        if (const auto p = what.find("] "); p != std::string::npos) what.erase(0, p + 2);
        std::replace(what.begin(), what.end(), '\n', ' ');
        throw BadInput(path.string() + ": not valid JSON: " + what);
    }
}

double json_number(const nlohmann::json& v, const std::string& where) {
    if (!v.is_number()) throw BadInput(where + ": expected a number, got " + std::string(v.type_name()));
    const double x = v.get<double>();
    if (!std::isfinite(x)) throw BadInput(where + ": number is not finite");
    return x;
}

long json_integer(const nlohmann::json& v, const std::string& where, long lo, long hi) {
    const std::string range = std::to_string(lo) + ".." + std::to_string(hi);
    if (v.is_number_unsigned()) {
        const std::uint64_t u = v.get<std::uint64_t>();
        if (u > std::uint64_t(hi) || (lo > 0 && u < std::uint64_t(lo))) {
            throw BadInput(where + ": " + v.dump() + " is outside " + range);
        }
        return static_cast<long>(u);
    }
    if (v.is_number_integer()) {
        const std::int64_t i = v.get<std::int64_t>();
        if (i < lo || i > hi) throw BadInput(where + ": " + v.dump() + " is outside " + range);
        return static_cast<long>(i);
    }
    return integer_in(where, json_number(v, where), lo, hi);
}

std::vector<CsvRow> parse_csv(const std::string& text) {
    std::vector<CsvRow> rows;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::replace_if(
            line.begin(), line.end(), [](char c) { return c == ',' || c == ';' || c == '\t' || c == '\r'; }, ' ');
        std::istringstream fields(line);
        CsvRow row{number, {}};
        for (std::string f; fields >> f;) row.fields.push_back(f);
        if (row.fields.empty()) continue;
        rows.push_back(std::move(row));
    }
    return rows;
}

bool is_number(const std::string& s) {
    if (s.empty()) return false;
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

double number_at(const fs::path& path, const CsvRow& row, std::size_t i) {
    const std::string where =
        path.string() + ":" + std::to_string(row.line) + ": field " + std::to_string(i + 1) + " \"" + row.fields[i] + "\"";
    if (!is_number(row.fields[i])) throw BadInput(where + " is not a number");
    const double v = std::strtod(row.fields[i].c_str(), nullptr);
    if (!std::isfinite(v)) throw BadInput(where + " is not a finite number");
    return v;
}

long integer_in(const std::string& where, double value, long lo, long hi) {
    // Range first: converting a value outside `long` would be undefined.
    if (!std::isfinite(value) || value < double(lo) || value > double(hi)) {
        std::ostringstream v;
        v << value;
        throw BadInput(where + ": " + v.str() + " is not an integer in " + std::to_string(lo) + ".." + std::to_string(hi));
    }
    if (value != std::trunc(value)) {
        std::ostringstream v;
        v << value;
        throw BadInput(where + ": " + v.str() + " is not an integer");
    }
    return static_cast<long>(value);
}

}  // namespace morvik::cli
