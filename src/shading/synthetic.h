// A synthetic raw flat field for tests, benchmarks and the demo: brightness
// falls off with the squared distance from a known optical centre, with its
// own peak and fall-off per colour.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "shading/numeric.h"

namespace morvik::shading {

struct FlatField {
    int width = 640;
    int height = 480;
    int bayer_order = 0;     // colour at the first sample: 0 R, 1 Gr, 2 Gb, 3 B
    double centre_x = 320;   // optical centre in pixels
    double centre_y = 240;
    // Per colour R, Gr, Gb, B: level at the centre and the share lost at the
    // reference radius (half the image diagonal).
    double peak[4] = {200, 220, 220, 190};
    double falloff[4] = {0.55, 0.45, 0.45, 0.60};
    double noise = 0.0;      // amplitude of a deterministic ripple, in levels
};

inline std::vector<std::uint8_t> make_flat_field(const FlatField& f) {
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(f.width) * static_cast<std::size_t>(f.height));
    const double w = f.width, h = f.height;  // very wide test frames overflow int
    const double r_ref2 = (w * w + h * h) / 4.0;
    std::uint32_t seed = 12345;
    for (int y = 0; y < f.height; ++y) {
        const double dy = y - f.centre_y;
        for (int x = 0; x < f.width; ++x) {
            const int col = static_cast<int>(colour_of(static_cast<unsigned>(f.bayer_order), (y & 1) * 2 + (x & 1)));
            const double dx = x - f.centre_x;
            double v = f.peak[col] * (1.0 - f.falloff[col] * (dx * dx + dy * dy) / r_ref2);
            if (f.noise != 0) {
                seed = seed * 1664525u + 1013904223u;
                v += f.noise * (static_cast<double>(seed >> 8) / 16777216.0 - 0.5);
            }
            v = std::floor(v + 0.5);
            raw[static_cast<std::size_t>(y) * f.width + x] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    }
    return raw;
}

}  // namespace morvik::shading
