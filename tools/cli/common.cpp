#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
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

}  // namespace morvik::cli
