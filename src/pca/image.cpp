// A whole image through a table. The block's output chroma and luma gain
// depend on the pixel's U and V alone, so they are tabulated once for all
// 65536 chroma codes; only the luma scaling and the colour conversions run
// per pixel.
#include <vector>

#include "pca/pca.h"

namespace morvik::pca {

void apply_to_rgb(const Table& table, std::int32_t chroma_threshold, std::span<std::uint8_t> rgb) {
    std::array<BinTransform, kBins> bins;
    for (std::size_t b = 0; b < bins.size(); ++b) bins[b] = bin_transform(table[b], table[kBins + b], table[2 * kBins + b]);
    struct Entry {
        std::int64_t gain;
        ChromaOut chroma;
    };
    std::vector<Entry> lut(256 * 256);
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            const BinTransform& t = bins[std::size_t(hue_angle(v - 128, u - 128) / 2)];
            lut[std::size_t(u * 256 + v)] = Entry{luma_gain(u - 128, v - 128, t, chroma_threshold),
                                                  transform_chroma(u - 128, v - 128, t)};
        }
    }
    for (std::size_t i = 0; i + 3 <= rgb.size(); i += 3) {
        const auto w = yuv16(rgb_to_yuv(Rgb{rgb[i], rgb[i + 1], rgb[i + 2]}));
        const Entry& e = lut[std::size_t((w[1] >> 8) * 256 + (w[2] >> 8))];
        const Rgb out = yuv8_to_rgb(apply_luma_gain(w[0] >> 8, e.gain), e.chroma.u, e.chroma.v);
        rgb[i] = static_cast<std::uint8_t>(out.r);
        rgb[i + 1] = static_cast<std::uint8_t>(out.g);
        rgb[i + 2] = static_cast<std::uint8_t>(out.b);
    }
}

}  // namespace morvik::pca
