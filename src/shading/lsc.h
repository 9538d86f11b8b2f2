// Lens-shading calculation: optical centre, radius factor, curve selection,
// gain exponent and mantissas and the 11-node shading gamma per colour, from
// one 8-bit raw Bayer flat field.
#pragma once

#include <cstdint>

#include "morvik/morvik.h"

namespace morvik::shading {

struct LscInput {
    std::uint32_t chip = 0;
    unsigned bayer_order = 0;  // 0..3 (larger values are rejected)
    const std::uint8_t* raw = nullptr;
    unsigned width = 0;        // 0..65535
    unsigned height = 0;
    double target_scale = 1.0;
    double below_max = 0.0;
    double overshoot = 0.0;
    double shading_min = 0.0;
    bool y_only = false;
};

// The image pass: per 4 x 4 block (hn x vn blocks, row-major) the sum of the
// four samples of each Bayer channel, and per channel a 256-bin histogram of
// the rounded block means (added to `hist`).
void block_sums(const std::uint8_t* raw, unsigned width, int hn, int vn, std::uint16_t* const sums[4],
                std::uint32_t hist[4][256]);

// Runs the whole calculation with its debug log. Returns 0 and fills *out on
// success, 1 on failure (out untouched).
int lsc_calculate(const LscInput& in, lsc_result* out);

}  // namespace morvik::shading
