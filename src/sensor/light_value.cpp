// Light values of a fixed ladder of output levels for an exposure base, in
// the shading hardware's fixed-point log and power.
#include <cmath>

#include "sensor/sensor.h"
#include "shading/fixed_log.h"

namespace morvik::sensor {

namespace {

// A fixed-point power input: truncated and clamped to the power's domain
// (NaN counts as 0).
int power_input(double v) {
    if (std::isnan(v)) return 0;
    const double t = std::trunc(v);
    if (t < -16384) return -16384;
    if (t > 16383) return 16383;
    return static_cast<int>(t);
}

// A fixed-point log input: truncated, saturated to 32 bits.
std::uint32_t log_input(double v) {
    if (!(v >= 0)) return 0;
    if (v >= 4294967295.0) return 4294967295u;
    return static_cast<std::uint32_t>(v);
}

std::uint16_t level_of(double v) {
    if (!(v >= 0)) return 0;
    if (v >= 65535.0) return 65535;
    return static_cast<std::uint16_t>(v);
}

}  // namespace

Ladder light_values(std::uint8_t scale, double base_log2) {
    // E: 2^base_log2 in 16.16 fixed point.
    const double e = shading::pow2_fix(power_input(base_log2 * 1024), 16);
    const auto lv = [&](int level) {
        const std::int16_t l = shading::log2_fix(log_input(level / double(scale) * e + 0.5), 16);
        return std::trunc(l / 1024.0 * 10 + 0.5) * 0.1;
    };
    Ladder out;
    out.lv_45 = lv(45);
    out.level_45 = 45;
    double previous = out.lv_45;
    for (std::size_t j = 0; j < 14; ++j) {
        double v = lv(60 + 15 * static_cast<int>(j));
        if (v < previous + 0.1) v = previous + 0.1;
        out.lv[j] = v;
        previous = v;
        out.level[j] = level_of(shading::pow2_fix(power_input(v * 1024), 16) / e * scale + 0.5);
    }
    return out;
}

}  // namespace morvik::sensor
