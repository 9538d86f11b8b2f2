// Sensor-response calibration: straight-line fits of the channel responses
// over the linear part of a flat-field exposure series, and the light-value
// ladder of an exposure base.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace morvik::sensor {

// A flat-field series: exposures and per-channel mean responses (count > 4).
struct Series {
    bool ten_bit = false;  // saturation 1023 instead of 255
    int count = 0;
    const std::int32_t* exposure = nullptr;
    std::array<const double*, 4> response{};
    std::array<std::uint32_t, 4> black{};
};

// Why the search for the end of the linear part stopped.
enum class LinearEnd {
    series_end,  // every point fits: the limit is the saturation level
    saturated,   // the next point reaches saturation: the limit stays there
    bent,        // the next point leaves the fit: the limit is the last fitted point
};
const char* describe(LinearEnd end);

struct SlopeOffset {
    std::array<double, 4> gains{};
    std::array<std::uint32_t, 4> offsets{};
    std::array<double, 4> slopes{};
    std::array<double, 4> intercepts{};
    double ratio = 1.0;
    double linear_limit = 0;
    double threshold = 0;  // relative-error threshold of the search
    LinearEnd end = LinearEnd::series_end;
    int last_point = 0;    // last point in the fit
    int channel = -1;      // channel whose error ended the linear part (bent)
};

SlopeOffset slope_offset(const Series& series);

// Create the sensor-curve inspection file empty; false when it cannot be.
bool create_curve_file(const std::string& path);
std::string curve_file_path();

// Rounded half away from zero, wrapped to 32 bits; 0 when not finite or
// beyond the signed 64-bit range.
std::uint32_t round_wrap(double v);

// The light-value ladder of levels 45, 60, ..., 255.
struct Ladder {
    double lv_45 = 0;
    std::array<double, 14> lv{};
    std::uint16_t level_45 = 45;
    std::array<std::uint16_t, 14> level{};
};

// scale must be non-zero.
Ladder light_values(std::uint8_t scale, double base_log2);

}  // namespace morvik::sensor
