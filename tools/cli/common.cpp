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
