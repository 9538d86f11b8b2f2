// The morvik command-line tool: each calibration family registers its
// subcommand and its step of `morvik demo` from its own source file.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
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

// Subcommands are added to the app in ascending `order`.
using CommandSetup = std::function<void(CLI::App& app)>;
bool register_command(int order, CommandSetup setup);

// Steps of `morvik demo`, run in ascending `order`.
bool register_demo_step(int order, std::string title, std::function<void()> run);

// Whole file as bytes; throws Error with the reason.
std::vector<std::uint8_t> read_file(const std::filesystem::path& path);
std::string read_text_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const void* data, std::size_t size);

// An image file (BMP, PNG, JPEG, ...) as 8-bit RGB, row-major, top row first.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes per pixel
};
RgbImage load_rgb_image(const std::filesystem::path& path);

// A raw file of width x height samples, reduced to 8 bits: 8-bit files are
// taken as they are; 10-, 12- and 16-bit files hold little-endian 16-bit
// words and each sample is shifted right by (bits - 8). Throws Error when the
// file size does not match.
std::vector<std::uint8_t> load_raw8(const std::filesystem::path& path, int width, int height, int bits = 8);

// While alive, every debug-log line of the library goes to stdout (when
// `enabled`) or is collected in lines().
class LogTap {
public:
    explicit LogTap(bool print);
    ~LogTap();
    LogTap(const LogTap&) = delete;
    LogTap& operator=(const LogTap&) = delete;
    const std::vector<std::string>& lines() const { return lines_; }

private:
    static void sink(const char* line, void* user);
    bool print_;
    std::vector<std::string> lines_;
};

// Input tables of the calibration commands, as CSV or JSON.
// A JSON document: by extension ".json" or a first character '{' or '['.
bool looks_like_json(const std::filesystem::path& path, const std::string& text);
// Parsed JSON; throws Error naming the file.
nlohmann::json parse_json(const std::filesystem::path& path, const std::string& text);

// CSV rows: fields split at commas, semicolons or white space; everything
// from '#' to the line end is a comment; blank lines are skipped. Each row
// keeps its line number.
struct CsvRow {
    int line = 0;
    std::vector<std::string> fields;
};
std::vector<CsvRow> parse_csv(const std::string& text);
bool is_number(const std::string& s);
// Field i of a row as a number; throws Error naming file and line.
double number_at(const std::filesystem::path& path, const CsvRow& row, std::size_t i);

// A JSON value that must be an integer in lo..hi (a number with no
// fraction; checked before any conversion); `where` names file and field.
long json_integer(const nlohmann::json& v, const std::string& where, long lo, long hi);
// A JSON value that must be a finite number.
double json_number(const nlohmann::json& v, const std::string& where);

// Print a JSON document, indented, to stdout.
void print_json(const nlohmann::json& doc);

// Every command prints through emit(): its report as exactly one JSON
// document on stdout with --json (to_json(report)), else as text
// (print_text(report)). Both are found next to the report type.
template <class Report>
void emit(const Report& report, bool json) {
    if (json) {
        print_json(to_json(report));
    } else {
        print_text(report);
    }
}

// Debug-log lines in a report: printed before the text form, or a "log"
// array inside the JSON document, so stdout stays one document.
void print_log(const std::vector<std::string>& lines);

}  // namespace morvik::cli
