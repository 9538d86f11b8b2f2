// White-balance calibration and the AWB statistics filter: the C++ core
// behind the AWB_ exports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "morvik/morvik.h"

namespace morvik::awb {

inline constexpr std::size_t kMaxEntries = 20;
inline constexpr std::size_t kMinEntries = 2;

// Selection sort by descending key: position i takes the first entry (in the
// current order) holding the largest remaining key, by a swap. Not stable.
void sort_by_key_descending(std::span<AwbGreyStatistics> entries);

// Integer medians of the three channels over key-sorted entries: the halved
// sum of the values at positions n/2 - 1 and n/2.
std::array<int, 3> channel_medians(std::span<const AwbGreyStatistics> sorted);

// Outcome of a white-balance request: refused arguments and the two ways
// the calibration itself can end short.
enum class Outcome { ok, null_pointer, bad_count, frame_too_large, no_projection, zero_median };

constexpr const char* describe(Outcome o) {
    switch (o) {
        case Outcome::ok:
            return "";
        case Outcome::null_pointer:
            return "a pointer argument is null";
        case Outcome::bad_count:
            return "entry count (low 8 bits) is outside 2..20";
        case Outcome::frame_too_large:
            return "raw frame too large to address (width x height x 3 bytes)";
        case Outcome::no_projection:
            return "no projection spreads the grey points to both sides of both axes; only the gains are valid";
        case Outcome::zero_median:
            return "a channel's median over the entries is 0, so its gain is undefined";
    }
    return "internal error";
}

struct Calibration {
    Outcome status = Outcome::ok;
    AwbCalibrationResult result{};
};

// The exhaustive projection search. `entries` holds 2..20 entries in the
// caller's order; the key limits are unsigned 16-bit.
Calibration calibrate(std::span<const AwbGreyStatistics> entries, std::uint16_t upper_key,
                      std::uint16_t lower_key);

// Low 8 bits of a value truncated to a 32-bit integer; values outside the
// 32-bit range (and NaN) give the indefinite integer 0x80000000, so 0.
std::uint8_t truncated_byte(double value);

// Ten light-source windows from five light statistics.
std::array<AwbWindow, 10> light_windows(std::span<const AwbLightStatistics, 5> lights);

// Six small windows cut out of four large ones.
std::array<AwbIntWindow, 6> small_windows(std::span<const AwbIntWindow, 4> large);

// The applied-window table: written only by the export, read by tests.
inline constexpr std::size_t kAppliedWindows = 11;
void set_applied_windows(std::span<const AwbIntWindow, kAppliedWindows> windows);
std::array<AwbIntWindow, kAppliedWindows> applied_windows();

// Filter register fields.
struct FilterParams {
    std::uint8_t first_pixel = 0;
    std::uint8_t supsel = 0;
    std::uint8_t u_gain = 0;
    std::uint8_t v_gain = 0;
    std::uint8_t y_limit = 0;
    std::uint8_t s_rb_p = 0;
    std::uint8_t s_rb_n = 0;
    std::uint8_t s_mg_p = 0;
    std::uint8_t s_mg_n = 0;
};

// Demosaic a width x height raw frame (width, height >= 2) into
// (width - 1) x (height - 1) accept-mask bytes and RGB pixels.
void filter_frame(const FilterParams& p, const std::uint8_t* raw, std::size_t width, std::size_t height,
                  std::uint8_t* mask, std::uint8_t* rgb);

}  // namespace morvik::awb
