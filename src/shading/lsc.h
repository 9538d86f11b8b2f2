// Lens-shading calculation: optical centre, radius factor, curve selection,
// gain exponent and mantissas and the 11-node shading gamma per colour, from
// one 8-bit raw Bayer flat field.
#pragma once

#include <cstdint>
#include <string_view>

#include "morvik/morvik.h"
#include "shading/block_stats.h"

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

enum class LscOutcome {
    ok,
    out_of_memory,           // working memory of the set-up
    null_image,
    bayer_order_out_of_range,
    no_whole_block,
    no_green_centre,         // both green channels' centre searches failed
    far_edge_too_far,        // the far image edge needs a negative radius factor
    curve_level_too_high,    // the far sample needs a curve level beyond the radius factor
    scratch_out_of_memory,   // working memory of a later stage
};

std::string_view describe(LscOutcome outcome);

// Runs the whole calculation with its debug log. Fills *out only on success.
LscOutcome lsc_calculate(const LscInput& in, lsc_result* out);

}  // namespace morvik::shading
