// morvik_io: raw files through LibRaw on DNG files written here (one CFA
// plane, every Bayer order, per-site black levels), the 8-bit reduction
// against an exact model, and damaged or foreign files.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "morvik_io.h"
#include "support.h"

namespace {

// A little-endian TIFF/DNG of one uncompressed 16-bit CFA plane.
struct Dng {
    std::uint32_t width = 64, height = 48;
    std::vector<std::uint16_t> plane;
    std::uint8_t cfa[4] = {1, 0, 2, 1};  // 0 R, 1 G, 2 B
    std::vector<std::uint32_t> black = {0};
    std::uint32_t white = 4095;
};

std::vector<std::uint8_t> dng_bytes(const Dng& d) {
    std::vector<std::uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put16 = [&](std::vector<std::uint8_t>& v, unsigned x) { v.push_back(x & 0xFF), v.push_back((x >> 8) & 0xFF); };
    auto put32 = [&](std::vector<std::uint8_t>& v, std::uint32_t x) { put16(v, x & 0xFFFF), put16(v, x >> 16); };
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::vector<std::uint8_t> data;
    };
    std::vector<Entry> entries;
    auto shorts = [&](std::uint16_t tag, std::vector<unsigned> v) {
        Entry e{tag, 3, std::uint32_t(v.size()), {}};
        for (unsigned x : v) put16(e.data, x);
        entries.push_back(e);
    };
    auto longs = [&](std::uint16_t tag, std::vector<std::uint32_t> v) {
        Entry e{tag, 4, std::uint32_t(v.size()), {}};
        for (auto x : v) put32(e.data, x);
        entries.push_back(e);
    };
    auto bytes = [&](std::uint16_t tag, std::vector<std::uint8_t> v) { entries.push_back({tag, 1, std::uint32_t(v.size()), v}); };
    auto text = [&](std::uint16_t tag, const std::string& s) {
        entries.push_back({tag, 2, std::uint32_t(s.size() + 1), std::vector<std::uint8_t>(s.begin(), s.end())});
        entries.back().data.push_back(0);
    };
    const std::uint32_t plane_bytes = d.width * d.height * 2;
    longs(254, {0});
    longs(256, {d.width});
    longs(257, {d.height});
    shorts(258, {16});
    shorts(259, {1});
    shorts(262, {32803});
    text(271, "Morvik");
    text(272, "Io Test");
    longs(273, {0});  // strip offset, patched below
    shorts(277, {1});
    longs(278, {d.height});
    longs(279, {plane_bytes});
    shorts(284, {1});
    shorts(33421, {2, 2});
    bytes(33422, {d.cfa[0], d.cfa[1], d.cfa[2], d.cfa[3]});
    bytes(50706, {1, 4, 0, 0});
    text(50708, "Morvik Io Test");
    if (d.black.size() == 4) shorts(50713, {2, 2});
    longs(50714, d.black);
    longs(50717, {d.white});

    // IFD at 8, then the out-of-line values, then the plane.
    const std::uint32_t ifd_size = 2 + 12 * std::uint32_t(entries.size()) + 4;
    std::uint32_t extra = 8 + ifd_size;
    std::vector<std::uint8_t> tail;
    for (auto& e : entries)
        if (e.data.size() > 4) extra += std::uint32_t(e.data.size() + e.data.size() % 2);
    const std::uint32_t strip = extra;
    std::uint32_t next = 8 + ifd_size;
    put16(out, unsigned(entries.size()));
    for (auto& e : entries) {
        if (e.tag == 273) e.data = {std::uint8_t(strip), std::uint8_t(strip >> 8), std::uint8_t(strip >> 16), std::uint8_t(strip >> 24)};
        put16(out, e.tag), put16(out, e.type), put32(out, e.count);
        if (e.data.size() <= 4) {
            auto v = e.data;
            v.resize(4, 0);
            out.insert(out.end(), v.begin(), v.end());
        } else {
            put32(out, next);
            tail.insert(tail.end(), e.data.begin(), e.data.end());
            if (e.data.size() % 2) tail.push_back(0);
            next += std::uint32_t(e.data.size() + e.data.size() % 2);
        }
    }
    put32(out, 0);
    out.insert(out.end(), tail.begin(), tail.end());
    for (auto v : d.plane) put16(out, v);
    return out;
}

std::filesystem::path write(const morvik::test::TempDir& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const auto path = dir.path() / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

struct Raw {
    morvik_raw* handle = nullptr;
    ~Raw() { morvik_io_raw_close(handle); }
};

Dng random_dng(unsigned seed) {
    Dng d;
    std::mt19937 rng(seed);
    d.plane.resize(std::size_t(d.width) * d.height);
    for (auto& v : d.plane) v = std::uint16_t(rng() % 4096);
    return d;
}

}  // namespace

TEST(IoRaw, EveryBayerOrderReadsBackThePlantedPlaneAndLevels) {
    morvik::test::TempDir dir;
    const std::uint8_t cells[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    for (std::uint32_t order = 0; order < 4; ++order) {
        Dng d = random_dng(order);
        std::copy(cells[order], cells[order] + 4, d.cfa);
        d.black = {60 + order, 62, 64, 66};
        const auto path = write(dir, std::to_string(order) + ".dng", dng_bytes(d));
        EXPECT_EQ(morvik_io_is_raw(path.string().c_str()), 1);
        Raw raw;
        ASSERT_EQ(morvik_io_raw_open(path.string().c_str(), &raw.handle), MORVIK_IO_OK) << morvik_io_last_error();
        morvik_raw_info info{};
        ASSERT_EQ(morvik_io_raw_info(raw.handle, &info), MORVIK_IO_OK);
        EXPECT_EQ(info.bayer_order, order);
        EXPECT_EQ(info.width, d.width);
        EXPECT_EQ(info.height, d.height);
        EXPECT_EQ(std::vector<std::uint32_t>(info.black, info.black + 4), d.black);
        EXPECT_EQ(info.white, 4095u);
        EXPECT_EQ(info.bits, 12u);
        EXPECT_EQ(info.is_dng, 1u);
        EXPECT_STREQ(info.model, "Io Test");
        std::vector<std::uint16_t> plane(d.plane.size());
        ASSERT_EQ(morvik_io_raw_plane(raw.handle, plane.data(), plane.size()), MORVIK_IO_OK);
        EXPECT_EQ(plane, d.plane);
        EXPECT_EQ(morvik_io_raw_plane(raw.handle, plane.data(), plane.size() - 1), MORVIK_IO_INVALID_ARGUMENT);

        // The 8-bit plane is the reduction of the 16-bit one with the same levels.
        std::vector<std::uint8_t> p8(plane.size()), model(plane.size());
        ASSERT_EQ(morvik_io_raw_plane8(raw.handle, 0, p8.data(), p8.size()), MORVIK_IO_OK);
        ASSERT_EQ(morvik_io_reduce8(plane.data(), d.width, d.height, info.black, info.white, model.data()), MORVIK_IO_OK);
        EXPECT_EQ(p8, model);
    }
}

// round(255 (v - b) / (w - b)), halves up, in exact integer arithmetic of
// its own: 2 * 255 * (v - b) compared against multiples of (w - b).
TEST(IoRaw, ReductionRoundsHalfUpOverEveryCode) {
    for (auto [b, w] : {std::pair<std::uint32_t, std::uint32_t>{0, 255}, {64, 1023}, {200, 201}, {0, 65535}, {1000, 4095}}) {
        std::vector<std::uint16_t> codes;
        for (std::uint32_t v = 0; v < 65536; v += (w > 5000 ? 7 : 1)) codes.push_back(std::uint16_t(v));
        const std::uint32_t black[4] = {b, b, b, b};
        std::vector<std::uint8_t> out(codes.size());
        ASSERT_EQ(morvik_io_reduce8(codes.data(), std::uint32_t(codes.size()), 1, black, w, out.data()), MORVIK_IO_OK);
        for (std::size_t i = 0; i < codes.size(); ++i) {
            const std::uint64_t v = codes[i];
            std::uint64_t want = 0;
            if (v > b) {
                while (want < 255 && 2 * 255 * (v - b) >= (2 * want + 1) * (w - b)) ++want;
            }
            ASSERT_EQ(out[i], want) << "v " << v << " black " << b << " white " << w;
        }
    }
    // Each site of the 2 x 2 cell (row-major) has its own black level.
    const std::uint16_t cell[4] = {80, 80, 80, 80};
    const std::uint32_t sites[4] = {0, 20, 40, 60};
    std::uint8_t got[4];
    ASSERT_EQ(morvik_io_reduce8(cell, 2, 2, sites, 100, got), MORVIK_IO_OK);
    EXPECT_EQ((std::vector<int>{got[0], got[1], got[2], got[3]}), (std::vector<int>{204, 191, 170, 128}));
    const std::uint32_t black[4] = {0, 0, 100, 0};
    std::uint16_t one = 5;
    std::uint8_t out = 77;
    EXPECT_EQ(morvik_io_reduce8(&one, 1, 1, black, 100, &out), MORVIK_IO_BAD_DATA);
    EXPECT_EQ(out, 77);
}

TEST(IoRaw, RefusesForeignDamagedAndNonBayerFiles) {
    morvik::test::TempDir dir;
    const Dng good = random_dng(9);
    const auto bytes = dng_bytes(good);
    Dng columns = good;
    const std::uint8_t rg_bg[4] = {0, 1, 2, 1};
    std::copy(rg_bg, rg_bg + 4, columns.cfa);
    Dng dark = good;
    dark.black = {4095};
    const std::vector<std::pair<std::filesystem::path, std::int32_t>> cases = {
        {write(dir, "columns.dng", dng_bytes(columns)), MORVIK_IO_NOT_BAYER},
        {write(dir, "dark.dng", dng_bytes(dark)), MORVIK_IO_BAD_DATA},
        {write(dir, "text.txt", std::vector<std::uint8_t>(4000, 'x')), MORVIK_IO_UNKNOWN_FORMAT},
        {dir.path() / "missing.dng", MORVIK_IO_CANNOT_OPEN},
    };
    for (const auto& [path, status] : cases) {
        Raw raw;
        EXPECT_EQ(morvik_io_raw_open(path.string().c_str(), &raw.handle), status) << path;
        EXPECT_EQ(raw.handle, nullptr);
        EXPECT_NE(std::string(morvik_io_last_error()).find(path.string()), std::string::npos) << morvik_io_last_error();
    }
    // Truncated or scrambled files fail or read, but never read out of bounds.
    std::mt19937 rng(5);
    for (int round = 0; round < 40; ++round) {
        auto damaged = bytes;
        if (round % 2 == 0) {
            damaged.resize(rng() % damaged.size());
        } else {
            for (int k = 0; k < 8; ++k) damaged[rng() % 400] = std::uint8_t(rng());
        }
        const auto path = write(dir, "damaged.dng", damaged);
        Raw raw;
        if (morvik_io_raw_open(path.string().c_str(), &raw.handle) == MORVIK_IO_OK) {
            morvik_raw_info info{};
            ASSERT_EQ(morvik_io_raw_info(raw.handle, &info), MORVIK_IO_OK);
            std::vector<std::uint8_t> p8(std::size_t(info.width) * info.height);
            morvik_io_raw_plane8(raw.handle, round % 4 == 1, p8.data(), p8.size());
        }
    }
    EXPECT_EQ(morvik_io_raw_open(nullptr, nullptr), MORVIK_IO_INVALID_ARGUMENT);
    EXPECT_EQ(morvik_io_is_raw(nullptr), 0);
}

TEST(IoImage, ReadsImagesAndNamesFailures) {
    const std::string bmp = std::string(MORVIK_SOURCE_DIR) + "/examples/verify/flat_64x48.bmp";
    std::uint32_t w = 0, h = 0;
    ASSERT_EQ(morvik_io_image_size(bmp.c_str(), &w, &h), MORVIK_IO_OK);
    EXPECT_EQ(w, 64u);
    EXPECT_EQ(h, 48u);
    std::vector<std::uint8_t> rgb(std::size_t(w) * h * 3);
    EXPECT_EQ(morvik_io_image_rgb(bmp.c_str(), rgb.data(), rgb.size() - 1), MORVIK_IO_INVALID_ARGUMENT);
    ASSERT_EQ(morvik_io_image_rgb(bmp.c_str(), rgb.data(), rgb.size()), MORVIK_IO_OK);
    const std::string raw = std::string(MORVIK_SOURCE_DIR) + "/examples/lsc/flat_320x240_gr.raw";
    EXPECT_EQ(morvik_io_image_size(raw.c_str(), &w, &h), MORVIK_IO_UNKNOWN_FORMAT);
    EXPECT_EQ(morvik_io_is_raw(raw.c_str()), 0);
    EXPECT_EQ(morvik_io_image_size("/nonexistent/x.png", &w, &h), MORVIK_IO_CANNOT_OPEN);
    EXPECT_STREQ(morvik_io_version(), MORVIK_IO_VERSION_EXPECTED);
}
