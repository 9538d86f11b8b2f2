// libFuzzer target: the CLI's input layer on arbitrary bytes. The first byte
// picks the reader (0: JSON with every leaf read as a number and an
// integer, 1: CSV with every field read as a number, 2: image decoding with
// its header checks); the rest is the file's content. Every refusal must be
// a BadInput, never a crash, a sanitizer report or another exception.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "input.h"

namespace {

using morvik::cli::BadInput;

void leaves(const nlohmann::json& j, int depth) {
    if (j.is_structured()) {
        for (const auto& item : j) leaves(item, depth + 1);
        return;
    }
    try {
        (void)morvik::cli::json_number(j, "fuzz");
    } catch (const BadInput&) {
    }
    try {
        (void)morvik::cli::json_integer(j, "fuzz", -2147483647L - 1, 2147483647L);
    } catch (const BadInput&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        switch (data[0] % 3) {
            case 0:
                leaves(morvik::cli::parse_json("fuzz", text), 0);
                break;
            case 1:
                for (const auto& row : morvik::cli::parse_csv(text)) {
                    for (std::size_t i = 0; i < row.fields.size(); ++i) {
                        try {
                            (void)morvik::cli::integer_in("fuzz", morvik::cli::number_at("fuzz", row, i), 0, 65535);
                        } catch (const BadInput&) {
                        }
                    }
                }
                break;
            default: {
                const std::vector<std::uint8_t> bytes(data + 1, data + size);
                const auto image = morvik::cli::decode_rgb_image(bytes, "fuzz");
                if (image.rgb.size() != std::size_t(image.width) * std::size_t(image.height) * 3) __builtin_trap();
                break;
            }
        }
    } catch (const BadInput&) {
    }
    return 0;
}
