// The PCA block's per-pixel transform: rotate the chroma by the bin's hue
// entry, scale it by the saturation entry and scale the luma by the luma
// entry weighted by the pixel's chroma magnitude, in the block's integer
// steps and roundings.
#include <algorithm>
#include <cmath>

#include "frame/maths.h"
#include "pca/pca.h"

namespace morvik::pca {

namespace {

constexpr double kDegree = 0.017453292519943295;

std::int64_t clamp64(std::int64_t v, std::int64_t lo, std::int64_t hi) { return std::min(std::max(v, lo), hi); }

}  // namespace

BinTransform bin_transform(std::int32_t hue, std::int32_t sat, std::int32_t luma) {
    // A half-degree entry: whole degrees h0 (floor) plus f half degrees.
    const std::int64_t h0 = hue >> 1;
    const std::int64_t f = hue & 1;
    const auto at = [](std::int64_t deg) {
        const double rad = static_cast<double>(deg) * kDegree;
        return std::array<std::int64_t, 2>{round_half_away(maths::sin(rad) * 1024),
                                           round_half_away(maths::cos(rad) * 1024)};
    };
    const auto [s0, c0] = at(h0);
    const auto [s1, c1] = at(h0 + 1);
    BinTransform t;
    // Odd entries take the rounded mean of the neighbouring degrees.
    t.sin_t = round_half_away(0.5 * static_cast<double>((2 - f) * s0 + f * s1));
    t.cos_t = round_half_away(0.5 * static_cast<double>((2 - f) * c0 + f * c1));
    t.chroma_gain = std::int64_t{sat} + 128;
    t.luma = luma;
    return t;
}

Codes codes_of(std::uint32_t y, std::uint32_t u, std::uint32_t v) {
    return Codes{std::int64_t{y >> 8}, std::int64_t{u >> 8} - 128, std::int64_t{v >> 8} - 128};
}

ChromaOut transform_chroma(std::int64_t u, std::int64_t v, const BinTransform& t) {
    // Rotation with 4 extra fraction bits.
    const std::int64_t ur =
        clamp64(round_half_up(static_cast<double>(u * t.cos_t - v * t.sin_t) / 64), -2048, 2047);
    const std::int64_t vr =
        clamp64(round_half_up(static_cast<double>(v * t.cos_t + u * t.sin_t) / 64), -2048, 2047);
    const auto gain = [&](std::int64_t r) {
        return static_cast<std::uint8_t>(
            clamp64(round_half_up(static_cast<double>(t.chroma_gain * r) / 2048) + 128, 0, 255));
    };
    return ChromaOut{gain(ur), gain(vr)};
}

std::int64_t luma_gain(std::int64_t u, std::int64_t v, const BinTransform& t, std::int32_t chroma_threshold) {
    // The luma entry fades in over 16 code units of chroma above the threshold.
    const auto magnitude =
        static_cast<std::int64_t>(std::sqrt(static_cast<double>(u * u + v * v)) + 0.5);
    const std::int64_t w = clamp64(magnitude - chroma_threshold, 0, 16);
    return round_half_up(static_cast<double>(w * t.luma) / 16) + 128;
}

std::uint8_t apply_luma_gain(std::int64_t y, std::int64_t gain) {
    return static_cast<std::uint8_t>(clamp64(round_half_away(static_cast<double>(y * gain) / 128), 0, 255));
}

std::array<std::uint8_t, 3> transform_pixel(const Codes& in, const BinTransform& t, std::int32_t chroma_threshold) {
    const ChromaOut c = transform_chroma(in.u, in.v, t);
    return {apply_luma_gain(in.y, luma_gain(in.u, in.v, t, chroma_threshold)), c.u, c.v};
}

int pca_pixel(std::uint32_t& y, std::uint32_t& u, std::uint32_t& v, int hue_offset, std::int32_t chroma_threshold,
              const TableView& table) {
    const Codes in = codes_of(y, u, v);
    int h = hue_angle(static_cast<std::int32_t>(in.v), static_cast<std::int32_t>(in.u)) + hue_offset;
    if (h >= 360) h -= 360;
    const std::size_t bin = table.full_circle ? std::size_t(h) : std::size_t(h / 2);
    const auto out = transform_pixel(in, bin_transform(table.hue[bin], table.sat[bin], table.luma[bin]), chroma_threshold);
    y = std::uint32_t{out[0]} << 8;
    u = std::uint32_t{out[1]} << 8;
    v = std::uint32_t{out[2]} << 8;
    return h;
}

}  // namespace morvik::pca
