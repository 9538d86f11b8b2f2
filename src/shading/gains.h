// Fourth shading stage: the gain factors. Per channel the slope kt of the
// compensation model gain = 1 + kt * r2 (first from the outermost blocks,
// then corrected to keep the compensated level within the limits), and one
// common exponent K with three mantissas, so that each colour's gain factor
// is mantissa * 2^K.
#pragma once

#include <cstdint>

#include "shading/block_stats.h"
#include "shading/radius.h"

namespace morvik::shading {

struct GainLimits {
    double target_scale = 1.0;
    double below_max = 0.0;
    double overshoot = 0.0;
};

// Per ring (0..255) of one channel: the blocks with a positive gain need,
// their sum of k (gain need per unit of scaled r2) and their sum of g.
struct RingSums {
    std::uint32_t count[256] = {};
    double k[256] = {};
    double g[256] = {};
};

// The ring of a block: the low 8 bits of r2 >> (curve_sel + 8).
inline int ring_of(std::uint32_t r2, int curve_sel) { return static_cast<int>((r2 >> (curve_sel + 8)) & 0xFFu); }

RingSums ring_sums(const BlockStats& stats, const RadiusGeometry& geometry, int c, int curve_sel);

// First estimate of kt: the mean k of the outermost tenth of the blocks
// (`found` false and kt 1.0 when no block has a gain need).
double first_kt(const RingSums& rings, std::size_t blocks, bool& found);

// The correction walk from ring 255 inwards.
double corrected_kt(const RingSums& rings, double kt, const GainLimits& limits);

// log2 (1/1024 octaves) of the representable gain factors (i + 1) * 2^j.
struct GainLogTable {
    std::int16_t entry[4][255];
    GainLogTable();
};

struct GainCode {
    int K = 0;
    int Kr = 1, Kg = 1, Kb = 1;
    int mantissa[4] = {1, 1, 1, 1};  // per channel, by its colour
};

// One exponent and three mantissas from the four channel logs, with the log
// lines of that step.
GainCode encode_gains(const int log_kt[4], unsigned bayer_order, bool y_only, const GainLogTable& table);

struct GainResult {
    int log_kt[4] = {};
    GainCode code;
};

// Runs the stage with its log lines.
GainResult compute_gains(const BlockStats& stats, const RadiusGeometry& geometry, int curve_sel,
                         const GainLimits& limits, unsigned bayer_order, bool y_only);

}  // namespace morvik::shading
