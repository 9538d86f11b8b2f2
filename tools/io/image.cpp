// Ordinary images (PNG, BMP, JPEG, ...) through stb_image, compiled into
// this library with internal linkage so it needs no stb library at run time.
#include <cstring>
#include <string>

#include "io_internal.h"
#include "morvik_io.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#if defined(__GNUC__)
#  pragma GCC diagnostic push
#  pragma GCC diagnostic ignored "-Wunused-function"
#  pragma GCC diagnostic ignored "-Wsign-compare"
#  pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
#include "stb_image.h"
#if defined(__GNUC__)
#  pragma GCC diagnostic pop
#endif

#ifndef MORVIK_IO_VERSION
#  define MORVIK_IO_VERSION "unknown"
#endif

namespace morvik::io {

namespace {

thread_local std::string last_error;

// stbi_failure_reason is a process-wide static; it is read right after the
// failing call on the same thread.
Outcome image_failure(const char* path) {
    if (stbi_failure_reason() != nullptr && std::strcmp(stbi_failure_reason(), "can't fopen") == 0) {
        return {MORVIK_IO_CANNOT_OPEN, std::string("cannot open ") + path};
    }
    return {MORVIK_IO_UNKNOWN_FORMAT, std::string(path) + ": not an image stb reads (" +
                                          (stbi_failure_reason() ? stbi_failure_reason() : "unknown") + ")"};
}

}  // namespace

void set_last_error(const std::string& reason) { last_error = reason; }

}  // namespace morvik::io

using morvik::io::Outcome;
using morvik::io::run;

extern "C" {

MORVIK_IO_API const char* morvik_io_version(void) { return MORVIK_IO_VERSION; }

MORVIK_IO_API const char* morvik_io_last_error(void) { return morvik::io::last_error.c_str(); }

MORVIK_IO_API int32_t morvik_io_image_size(const char* path, uint32_t* width, uint32_t* height) {
    return run([&]() -> Outcome {
        if (path == nullptr || width == nullptr || height == nullptr) {
            return {MORVIK_IO_INVALID_ARGUMENT, "null pointer"};
        }
        int w = 0, h = 0, channels = 0;
        if (stbi_info(path, &w, &h, &channels) == 0) return morvik::io::image_failure(path);
        *width = static_cast<uint32_t>(w);
        *height = static_cast<uint32_t>(h);
        return {};
    });
}

MORVIK_IO_API int32_t morvik_io_image_rgb(const char* path, uint8_t* rgb, size_t bytes) {
    return run([&]() -> Outcome {
        if (path == nullptr || rgb == nullptr) return {MORVIK_IO_INVALID_ARGUMENT, "null pointer"};
        int w = 0, h = 0, channels = 0;
        stbi_uc* pixels = stbi_load(path, &w, &h, &channels, 3);
        if (pixels == nullptr) return morvik::io::image_failure(path);
        const size_t need = size_t(w) * size_t(h) * 3;
        if (bytes != need) {
            stbi_image_free(pixels);
            return {MORVIK_IO_INVALID_ARGUMENT,
                    "image buffer of " + std::to_string(bytes) + " bytes, expected " + std::to_string(need)};
        }
        std::memcpy(rgb, pixels, need);
        stbi_image_free(pixels);
        return {};
    });
}

}  // extern "C"
