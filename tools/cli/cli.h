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

#include "input.h"

namespace morvik::cli {

// Subcommands are added to the app in ascending `order`.
using CommandSetup = std::function<void(CLI::App& app)>;
bool register_command(int order, CommandSetup setup);

// Steps of `morvik demo`, run in ascending `order`.
bool register_demo_step(int order, std::string title, std::function<void()> run);

// Output files of one run: each is written to a unique temporary file
// beside its target and renamed only by commit(), when the run has
// succeeded; a run that ends otherwise removes them. An output that would
// overwrite one of the run's inputs (or another output) is refused.
class Outputs {
public:
    explicit Outputs(std::vector<std::filesystem::path> inputs = {});
    ~Outputs();
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;
    // Check `target` (option `option` names it in messages) and return the
    // temporary path to write it to.
    std::filesystem::path add(const std::filesystem::path& target, const std::string& option);
    void write(const std::filesystem::path& target, const std::string& option, const void* data, std::size_t size);
    // Create `dir` and any missing parents; those created are removed again
    // (when empty) unless the run commits.
    void make_folder(const std::filesystem::path& dir);
    // Rename every temporary file onto its target.
    void commit();

private:
    std::vector<std::filesystem::path> inputs_;
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> files_;  // temporary, target
    std::vector<std::filesystem::path> folders_;  // created by this run, outermost first
};

// A fresh name for a temporary file or folder in `dir`.
std::filesystem::path unique_path(const std::filesystem::path& dir, const std::string& stem);

// A raw frame for the calibrations, from a DNG or camera raw file (detected
// by content, read through morvik_io) or from bare samples (load_raw8). A
// camera raw file gives its own size and Bayer order; its codes are reduced
// to 8 bits as v8 = floor(((v - black) * 255 + (white - black) / 2) /
// (white - black)), clamped to 0..255, with the black level of each cell
// site, or black 0 with `keep_black`. A file whose size is exactly that of
// the bare samples --width, --height and --bits describe is read as bare
// samples. Throws BadInput naming the file and the rule.
struct RawFrame {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> samples;
    int bayer_order = -1;      // -1: bare samples (the command's --bayer holds)
    std::string description;   // what was read from a camera raw file ("" for bare samples)
    nlohmann::json input;      // the same for --json (null for bare samples)
};
bool is_camera_raw(const std::filesystem::path& path);
RawFrame load_raw_frame(const std::filesystem::path& path, int width, int height, int bits, bool keep_black);

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
