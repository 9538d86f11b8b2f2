// The input layer of the morvik tool: every file a command reads goes
// through these functions, which check size and structure against the file
// before allocating, limit JSON nesting, and check every number for
// finiteness and range before converting it. Each failure is a BadInput
// whose one-line message names the file, the place and the rule.
// Independent of the argument parser, so that fuzz targets link it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvik::cli {

// A calculation that failed: main prints "morvik: <message>" and exits 1.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Bad input (a file, a field or an option outside its domain): main prints
// "morvik: <message>" and exits 2. The message names the file or option,
// the place (line, field) and the rule.
struct BadInput : Error {
    using Error::Error;
};

// Largest input file read whole, and the deepest JSON nesting accepted.
inline constexpr std::uintmax_t kMaxInputBytes = std::uintmax_t{512} << 20;
inline constexpr int kMaxJsonDepth = 64;
// Largest image decoded (pixels), whatever its header claims.
inline constexpr std::uint64_t kMaxImagePixels = std::uint64_t{1} << 27;

// Whole file as bytes: a regular file of at most `limit` bytes.
std::vector<std::uint8_t> read_file(const std::filesystem::path& path, std::uintmax_t limit = kMaxInputBytes);
std::string read_text_file(const std::filesystem::path& path);

// An image file (BMP, PNG, JPEG, ...) as 8-bit RGB, row-major, top row first.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes per pixel
};
RgbImage load_rgb_image(const std::filesystem::path& path);
// The same from bytes already read; `name` is used in messages. The header's
// size is checked against the bytes before anything is decoded: an
// uncompressed BMP must hold every row it claims, a compressed image may not
// claim more pixels than its data could expand to.
RgbImage decode_rgb_image(const std::vector<std::uint8_t>& bytes, const std::string& name);

// The one place the tool loads raw frames: width x height samples reduced
// to 8 bits. 8-bit files are taken as they are; 10-, 12- and 16-bit files
// hold little-endian 16-bit words, each shifted right by (bits - 8). The
// file size must match exactly; it is checked before the file is read.
std::vector<std::uint8_t> load_raw8(const std::filesystem::path& path, int width, int height, int bits = 8);

// A JSON document: by extension ".json" or a first character '{' or '['.
bool looks_like_json(const std::filesystem::path& path, const std::string& text);
// Parsed JSON, nesting limited to kMaxJsonDepth (checked before parsing).
nlohmann::json parse_json(const std::filesystem::path& path, const std::string& text);
// A JSON value that must be a finite number.
double json_number(const nlohmann::json& v, const std::string& where);
// A JSON value that must be an integer in lo..hi (no fraction), checked
// before any conversion; `where` names file and field.
long json_integer(const nlohmann::json& v, const std::string& where, long lo, long hi);

// CSV rows: fields split at commas, semicolons or white space; everything
// from '#' to the line end is a comment; blank lines are skipped. Each row
// keeps its line number.
struct CsvRow {
    int line = 0;
    std::vector<std::string> fields;
};
std::vector<CsvRow> parse_csv(const std::string& text);
// The whole field reads as a number (NaN and infinities included, so that
// they are refused as values rather than skipped as header words).
bool is_number(const std::string& s);
// Field i of a row as a finite number; throws BadInput naming file and line.
double number_at(const std::filesystem::path& path, const CsvRow& row, std::size_t i);
// A finite value that must be an integer in lo..hi, checked before the
// conversion.
long integer_in(const std::string& where, double value, long lo, long hi);

}  // namespace morvik::cli
