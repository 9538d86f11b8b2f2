#include <algorithm>
#include <cmath>
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
#include <chrono>
#include <random>

namespace morvik::cli {

std::filesystem::path unique_path(const std::filesystem::path& dir, const std::string& stem) {
    std::random_device seed;
    std::mt19937_64 rng{(std::uint64_t(seed()) << 32) ^ seed() ^
                        std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count())};
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
    return dir / (stem + suffix);
}

namespace {

// The same file, whether or not either exists yet.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec)) return true;
    return std::filesystem::weakly_canonical(a, ec) == std::filesystem::weakly_canonical(b, ec);
}

}  // namespace

Outputs::Outputs(std::vector<std::filesystem::path> inputs) : inputs_(std::move(inputs)) {}

Outputs::~Outputs() {
    std::error_code ec;
    for (const auto& f : files_) std::filesystem::remove(f.first, ec);
    for (auto d = folders_.rbegin(); d != folders_.rend(); ++d) std::filesystem::remove(*d, ec);  // only if empty
}

void Outputs::make_folder(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path d = fs::absolute(dir); !d.empty() && !fs::exists(d, ec); d = d.parent_path()) {
        missing.push_back(d);
        if (d == d.parent_path()) break;
    }
    for (auto d = missing.rbegin(); d != missing.rend(); ++d) {
        if (!fs::create_directory(*d, ec) && ec) throw Error("cannot create folder " + d->string() + ": " + ec.message());
        folders_.push_back(*d);
    }
}

std::filesystem::path Outputs::add(const std::filesystem::path& target, const std::string& option) {
    namespace fs = std::filesystem;
    for (const auto& in : inputs_) {
        if (same_file(in, target)) {
            throw BadInput(option + " " + target.string() + ": would overwrite the input " + in.string());
        }
    }
    for (const auto& f : files_) {
        if (same_file(f.second, target)) throw BadInput(option + " " + target.string() + ": named twice as an output");
    }
    std::error_code ec;
    if (fs::is_directory(target, ec)) throw BadInput(option + " " + target.string() + ": is a directory");
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (!fs::is_directory(dir, ec)) throw BadInput(option + " " + target.string() + ": folder " + dir.string() + " does not exist");
    const fs::path temp = unique_path(dir, "." + target.filename().string() + ".tmp-");
    files_.emplace_back(temp, target);
    return temp;
}

void Outputs::write(const std::filesystem::path& target, const std::string& option, const void* data, std::size_t size) {
    const std::filesystem::path temp = add(target, option);
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (out) out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw Error("cannot write " + target.string() + " (" + option + ")");
}

void Outputs::commit() {
    for (const auto& [temp, target] : files_) {
        std::error_code ec;
        std::filesystem::rename(temp, target, ec);
        if (ec) throw Error("cannot write " + target.string() + ": " + ec.message());
    }
    files_.clear();
    folders_.clear();
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

void print_log(const std::vector<std::string>& lines) {
    for (const auto& line : lines) std::fputs(line.c_str(), stdout);
}

}  // namespace morvik::cli
