// Camera raw files through LibRaw: the visible Bayer plane, its order, the
// black and white levels.
#include <libraw.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "io_internal.h"
#include "morvik_io.h"

struct morvik_raw {
    morvik_raw_info info{};
    std::vector<std::uint16_t> plane;
};

namespace morvik::io {

namespace {

// Colour letter of a LibRaw colour index ('R', 'G', 'B' or another letter
// for sensors without an RGB mosaic).
char colour_at(LibRaw& lr, int row, int col) {
    const int c = lr.COLOR(row, col);
    if (c < 0 || c > 3) return '?';
    return lr.imgdata.idata.cdesc[c];
}

// The Bayer order of the 2x2 cell at the top-left of the visible area, or
// -1 with the reason when the mosaic is not R, G / G, B in one of the four
// phases. The pattern must also repeat every two rows over the 16 rows
// LibRaw's filter word can describe.
int bayer_order_of(LibRaw& lr, std::string& why) {
    const auto& id = lr.imgdata.idata;
    if (id.filters == 0) {
        why = "the file holds no colour-filter mosaic (linear, demosaiced or monochrome data)";
        return -1;
    }
    if (id.filters < 1000) {
        why = "the colour-filter mosaic is not a 2x2 pattern (X-Trans or similar)";
        return -1;
    }
    if (lr.is_fuji_rotated()) {
        why = "the sensor layout is rotated by 45 degrees";
        return -1;
    }
    if (id.colors != 3) {
        why = "the colour filters are " + std::string(id.cdesc) + ", not red, green and blue";
        return -1;
    }
    for (int row = 2; row < 16; ++row)
        for (int col = 0; col < 2; ++col)
            if (colour_at(lr, row, col) != colour_at(lr, row % 2, col)) {
                why = "the colour-filter mosaic does not repeat every two rows";
                return -1;
            }
    const char cell[4] = {colour_at(lr, 0, 0), colour_at(lr, 0, 1), colour_at(lr, 1, 0), colour_at(lr, 1, 1)};
    const std::string s(cell, 4);
    if (s == "RGGB") return 0;
    if (s == "GRBG") return 1;
    if (s == "GBRG") return 2;
    if (s == "BGGR") return 3;
    why = "the 2x2 cell " + s.substr(0, 2) + "/" + s.substr(2) + " is not a Bayer cell";
    return -1;
}

unsigned bit_width(unsigned v) {
    unsigned bits = 0;
    for (; v != 0; v >>= 1) ++bits;
    return bits;
}

// LibRaw reports damaged data on stderr by default; the outcome carries it.
void quiet_data_error(void*, const char*, const int) {}

// A LibRaw instance that writes nothing to stderr.
std::unique_ptr<LibRaw> make_reader() {
    auto lr = std::make_unique<LibRaw>();
    lr->set_dataerror_handler(quiet_data_error, nullptr);
    return lr;
}

Outcome libraw_failure(int code, const std::string& path, int status) {
    return {status, path + ": " + libraw_strerror(code)};
}

Outcome open_raw(const char* path, morvik_raw& out) {
    auto lr = make_reader();
    const std::string name = path;
    lr->imgdata.params.use_camera_matrix = 0;
    int rc = lr->open_file(path);
    if (rc == LIBRAW_IO_ERROR) return {MORVIK_IO_CANNOT_OPEN, "cannot open " + name};
    if (rc == LIBRAW_FILE_UNSUPPORTED) return {MORVIK_IO_UNKNOWN_FORMAT, name + ": not a raw file LibRaw recognises"};
    if (rc != LIBRAW_SUCCESS) return libraw_failure(rc, name, MORVIK_IO_BAD_DATA);

    std::string why;
    const int order = bayer_order_of(*lr, why);
    if (order < 0) return {MORVIK_IO_NOT_BAYER, name + ": not a Bayer sensor: " + why};
    rc = lr->unpack();
    if (rc == LIBRAW_UNSUFFICIENT_MEMORY) return {MORVIK_IO_NO_MEMORY, name + ": out of memory decoding the raw data"};
    if (rc != LIBRAW_SUCCESS) return libraw_failure(rc, name, MORVIK_IO_BAD_DATA);
    const auto& raw = lr->imgdata.rawdata;
    if (raw.raw_image == nullptr) {
        return {MORVIK_IO_BAD_DATA, name + ": the raw data is not one plane of integer samples (floating-point or "
                                           "already demosaiced)"};
    }

    const auto& sz = raw.sizes;
    const auto& col = lr->imgdata.color;
    morvik_raw_info& info = out.info;
    info.width = sz.width;
    info.height = sz.height;
    info.bayer_order = static_cast<std::uint32_t>(order);
    // Black of a site: the common level, the per-colour level and the
    // repeating pattern level, as LibRaw keeps them after unpacking.
    for (int site = 0; site < 4; ++site) {
        const int row = site / 2, column = site % 2;
        unsigned black = col.black + col.cblack[lr->COLOR(row, column)];
        if (col.cblack[4] != 0 && col.cblack[5] != 0) {
            black += col.cblack[6 + (row % col.cblack[4]) * col.cblack[5] + column % col.cblack[5]];
        }
        info.black[site] = black;
    }
    info.white = col.maximum;
    info.bits = bit_width(col.maximum);
    info.is_dng = lr->imgdata.idata.dng_version != 0 ? 1 : 0;
    std::snprintf(info.make, sizeof info.make, "%s", lr->imgdata.idata.make);
    std::snprintf(info.model, sizeof info.model, "%s", lr->imgdata.idata.model);
    for (unsigned b : info.black) {
        if (info.white <= b) {
            return {MORVIK_IO_BAD_DATA, name + ": white level " + std::to_string(info.white) +
                                            " is not above the black level " + std::to_string(b)};
        }
    }
    if (info.width == 0 || info.height == 0 || sz.top_margin + sz.height > sz.raw_height ||
        sz.left_margin + sz.width > sz.raw_width) {
        return {MORVIK_IO_BAD_DATA, name + ": visible area outside the raw data"};
    }

    const std::size_t pitch = sz.raw_pitch / 2;
    out.plane.resize(std::size_t(info.width) * info.height);
    for (std::size_t y = 0; y < info.height; ++y) {
        const std::uint16_t* src = raw.raw_image + (y + sz.top_margin) * pitch + sz.left_margin;
        std::copy(src, src + info.width, out.plane.begin() + static_cast<std::ptrdiff_t>(y * info.width));
    }
    return {};
}

}  // namespace

Outcome reduce8(const std::uint16_t* plane, std::uint32_t width, std::uint32_t height, const std::uint32_t* black,
                std::uint32_t white, std::uint8_t* out) {
    for (int s = 0; s < 4; ++s)
        if (white <= black[s]) {
            return {MORVIK_IO_BAD_DATA, "white level " + std::to_string(white) + " is not above black level " +
                                            std::to_string(black[s]) + " of site " + std::to_string(s)};
        }
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x) {
            const std::uint64_t b = black[(y % 2) * 2 + x % 2];
            const std::uint64_t range = white - b;
            const std::uint64_t v = plane[y * width + x];
            std::uint64_t q = v <= b ? 0 : ((v - b) * 255 + range / 2) / range;
            out[y * width + x] = static_cast<std::uint8_t>(std::min<std::uint64_t>(q, 255));
        }
    return {};
}

}  // namespace morvik::io

using morvik::io::Outcome;
using morvik::io::run;

extern "C" {

MORVIK_IO_API int32_t morvik_io_is_raw(const char* path) {
    if (path == nullptr) return 0;
    try {
        return morvik::io::make_reader()->open_file(path) == LIBRAW_SUCCESS ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

MORVIK_IO_API int32_t morvik_io_raw_open(const char* path, morvik_raw** out) {
    return run([&]() -> Outcome {
        if (path == nullptr || out == nullptr) return {MORVIK_IO_INVALID_ARGUMENT, "null pointer"};
        auto raw = std::make_unique<morvik_raw>();
        Outcome o = morvik::io::open_raw(path, *raw);
        if (o.status == MORVIK_IO_OK) *out = raw.release();
        return o;
    });
}

MORVIK_IO_API void morvik_io_raw_close(morvik_raw* raw) { delete raw; }

MORVIK_IO_API int32_t morvik_io_raw_info(const morvik_raw* raw, morvik_raw_info* info) {
    return run([&]() -> Outcome {
        if (raw == nullptr || info == nullptr) return {MORVIK_IO_INVALID_ARGUMENT, "null pointer"};
        *info = raw->info;
        return {};
    });
}

MORVIK_IO_API int32_t morvik_io_raw_plane(const morvik_raw* raw, uint16_t* plane, size_t count) {
    return run([&]() -> Outcome {
        if (raw == nullptr || plane == nullptr) return {MORVIK_IO_INVALID_ARGUMENT, "null pointer"};
        if (count != raw->plane.size()) {
            return {MORVIK_IO_INVALID_ARGUMENT, "plane buffer of " + std::to_string(count) + " samples, expected " +
                                                    std::to_string(raw->plane.size())};
        }
        std::copy(raw->plane.begin(), raw->plane.end(), plane);
        return {};
    });
}

MORVIK_IO_API int32_t morvik_io_raw_plane8(const morvik_raw* raw, int32_t keep_black, uint8_t* plane, size_t count) {
    return run([&]() -> Outcome {
        if (raw == nullptr || plane == nullptr) return {MORVIK_IO_INVALID_ARGUMENT, "null pointer"};
        if (count != raw->plane.size()) {
            return {MORVIK_IO_INVALID_ARGUMENT, "plane buffer of " + std::to_string(count) + " samples, expected " +
                                                    std::to_string(raw->plane.size())};
        }
        const std::uint32_t none[4] = {0, 0, 0, 0};
        return morvik::io::reduce8(raw->plane.data(), raw->info.width, raw->info.height,
                                   keep_black != 0 ? none : raw->info.black, raw->info.white, plane);
    });
}

MORVIK_IO_API int32_t morvik_io_reduce8(const uint16_t* plane, uint32_t width, uint32_t height, const uint32_t* black,
                                        uint32_t white, uint8_t* out) {
    return run([&]() -> Outcome {
        if (plane == nullptr || black == nullptr || out == nullptr) return {MORVIK_IO_INVALID_ARGUMENT, "null pointer"};
        return morvik::io::reduce8(plane, width, height, black, white, out);
    });
}

}  // extern "C"
