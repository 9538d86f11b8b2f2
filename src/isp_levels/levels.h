// Conversions between KT2 register blocks and the tuning tool's levels and
// sliders. SETs write the fields a level stands for; GETs recover the level
// and say whether the fields are still exactly what it produces. The cores
// print nothing: the exports print the slider warnings.
#pragma once

#include <cstdint>

#include "isp_levels/fields.h"

namespace morvik::isp_levels {

enum class Outcome {
    ok,
    null_pointer,         // a block or result pointer is null
    slider_out_of_range,  // DM slider1 outside 0..15
    level_out_of_range,   // negative luma or chroma noise level
    table_out_of_range,   // saturation table index outside 0..2
};
const char* describe(Outcome outcome);

// A level read back, with the flag "the fields differ from what it produces".
struct Level {
    std::int32_t level = 0;
    bool changed = false;
};

// Truncation toward zero of a double to an integer, saturating at the
// 64-bit range (the spreads of huge levels exceed 32 bits).
std::int64_t trunc64(double x);

// ---- demosaic and edge-enhancement sliders
inline constexpr int kDmRows = 16;
struct DmRow {
    int flag_b, flag_a, f, g, h, base, k, d, e;
};
extern const DmRow kDmTable[kDmRows];

Outcome dm_set(Block reg, std::int32_t slider1, std::int32_t slider2);
struct DmSliders {
    std::int32_t slider1 = 0;
    std::int32_t slider2 = 0;
    bool modified = false;
};
DmSliders dm_get(ConstBlock reg);

void ee_set(Block reg, std::int32_t slider1, std::int32_t slider2, std::int32_t slider3);
struct EeSliders {
    std::int32_t slider1 = 0;
    std::int32_t slider2 = 0;
    std::int32_t slider3 = 0;
    bool modified = false;
};
EeSliders ee_get(ConstBlock reg);
// The EE slope rule: the 8-bit field value (before masking, 256 for zero).
std::int64_t ee_slope(std::int64_t rise, std::int64_t run);

inline constexpr const char* kDmWarning =
    "Warning: DM parameters are been modified after deciding DM sliders.\tClosest slider values will be used.\n";
inline constexpr const char* kEeWarning =
    "Warning: EE parameters are been modified after deciding EE sliders.\tClosest slider values will be used.\n";

// ---- 3D noise reduction and multi-frame blending
void nr3d_set_strength(Block reg, std::int32_t level);
Level nr3d_strength(ConstBlock reg);
void nr3d_set_noise(Block reg, nr3d::Channel channel, std::int32_t level);
Level nr3d_noise(ConstBlock reg, nr3d::Channel channel);
// Noise ladder r1, t1, r2, t2, ..., r5, t5 of a level, unmasked.
struct Ladder {
    std::int64_t value[nr3d::kNoiseFields];
};
Ladder noise_ladder(std::int32_t level);

void mfll_set_mixer(Block word, std::int32_t level);
Level mfll_mixer(ConstBlock word);
void mfll_set_threshold(Block word, std::int32_t threshold);
Level mfll_threshold(ConstBlock word);
int mfll_step(int threshold_byte);

// ---- spatial noise reduction, chroma reduction, saturation
// The threshold word of a spread value (u4 | u3 << 8 | u2 << 16 | u1 << 24).
std::uint32_t threshold_word(std::int64_t spread);

void anr_set_y_strength(Block reg, std::int32_t level);
Level anr_y_strength(ConstBlock reg);
void anr_set_c_strength(Block reg, std::int32_t level);
Level anr_c_strength(ConstBlock reg);
Outcome anr_set_y_noise(Block reg, std::int32_t level, std::int32_t companion);
Level anr_y_noise(ConstBlock reg);
Outcome anr_set_c_noise(Block reg, std::int32_t level);
Level anr_c_noise(ConstBlock reg);
void ccr_set(Block reg, std::int32_t level);
Level ccr_get(ConstBlock reg);
Outcome sat_set(Block reg, std::int32_t level, std::int32_t table);
// Word `table` of the block; only tables 0..2 are valid.
std::int32_t sat_get(ConstBlock reg, std::int32_t table);

// Levels the searching GETs try, in order.
inline constexpr int kSearchLevels = 65;

}  // namespace morvik::isp_levels
