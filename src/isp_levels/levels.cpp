// Shared helpers, 3D noise-reduction and multi-frame blending levels.
#include <algorithm>
#include <limits>

#include "isp_levels/levels.h"

namespace morvik::isp_levels {

const char* describe(Outcome outcome) {
    switch (outcome) {
        case Outcome::ok: return "ok";
        case Outcome::null_pointer: return "a register block or result pointer is null";
        case Outcome::slider_out_of_range: return "DM slider1 is outside 0..15";
        case Outcome::level_out_of_range: return "noise level is negative";
        case Outcome::table_out_of_range: return "saturation table index is outside 0..2";
    }
    return "unknown outcome";
}

std::int64_t trunc64(double x) {
    constexpr double kLimit = 9223372036854775807.0;  // 2^63
    if (!(x == x)) return 0;
    if (x >= kLimit) return std::numeric_limits<std::int64_t>::max();
    if (x <= -kLimit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

// ---- 3D noise reduction

void nr3d_set_strength(Block reg, std::int32_t level) { put(reg, nr3d::kStrength, level); }

Level nr3d_strength(ConstBlock reg) { return {static_cast<std::int32_t>(get(reg, nr3d::kStrength)), false}; }

Ladder noise_ladder(std::int32_t level) {
    // r1..r5 scale the level by 1, 0.9, 0.75, 0.65, 0.5 and round half up;
    // each tk doubles rk, capped at 31.
    static constexpr double kScale[5] = {1.0, 0.9, 0.75, 0.65, 0.5};
    const double l = level;
    Ladder out{};
    for (int k = 0; k < 5; ++k) {
        const std::int64_t r = trunc64((k == 0 ? l : kScale[k] * l) + 0.5);
        out.value[2 * k] = r;
        out.value[2 * k + 1] = std::min<std::int64_t>(2 * r, 31);
    }
    return out;
}

void nr3d_set_noise(Block reg, nr3d::Channel channel, std::int32_t level) {
    const Ladder ladder = noise_ladder(level);
    for (int i = 0; i < nr3d::kNoiseFields; ++i) put(reg, nr3d::noise_field(channel, i), ladder.value[i]);
}

Level nr3d_noise(ConstBlock reg, nr3d::Channel channel) {
    const auto level = static_cast<std::int32_t>(get(reg, nr3d::noise_field(channel, 0)));
    const Ladder ladder = noise_ladder(level);
    bool changed = false;
    for (int i = 0; i < nr3d::kNoiseFields; ++i) changed = changed || get(reg, nr3d::noise_field(channel, i)) != ladder.value[i];
    return {level, changed};
}

// ---- multi-frame blending

void mfll_set_mixer(Block word, std::int32_t level) { put(word, mfll::kMixer, level); }

Level mfll_mixer(ConstBlock word) { return {static_cast<std::int32_t>(get(word, mfll::kMixer)), false}; }

int mfll_step(int threshold_byte) {
    if (threshold_byte < 12) return 5;
    return std::max(5 - (threshold_byte - 12) / 4, 3);
}

void mfll_set_threshold(Block word, std::int32_t threshold) {
    put(word, mfll::kThreshold, threshold);
    // The step follows the stored byte, the low 8 bits of the threshold.
    put(word, mfll::kStep, mfll_step(static_cast<int>(get(word, mfll::kThreshold))));
}

Level mfll_threshold(ConstBlock word) {
    const int t = static_cast<int>(get(word, mfll::kThreshold));
    return {t, get(word, mfll::kStep) != mfll_step(t)};
}

}  // namespace morvik::isp_levels
