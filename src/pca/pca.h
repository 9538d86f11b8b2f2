// Hue/saturation (PCA) tables: the ISP's integer hue angle and per-pixel
// transform, table generation from chart patches and one-colour tuning.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace morvik::pca {

inline constexpr int kBins = 180;             // 2-degree bins of the exchanged table
inline constexpr int kTableWords = 3 * kBins;  // hue, saturation, luma arrays
inline constexpr int kChartPatches = 18;       // chromatic patches the crossing pass walks
inline constexpr int kPatchSlots = 25;         // triplets per half of the patch argument

// ---------------------------------------------------------------- rounding

// Conversions to integers of the block's fractional steps (double precision).
// Round half away: +0.5 above 0, -0.5 at 0 or below, then truncate.
std::int64_t round_half_away(double v);
// Round half up, computed as truncate(v + 4096.5) - 4096 as the hardware
// does; equal to floor(v + 0.5) for every v above -4096.
std::int64_t round_half_up(double v);
// Truncation toward zero into 32 bits; NaN and values outside the 32-bit
// range give INT32_MIN (what the x86 conversion instruction yields).
std::int32_t trunc_i32(double v);

// ---------------------------------------------------------------- hue angle

// atan(i/256) in whole degrees, rounded half up, i = 0..255.
const std::array<std::uint8_t, 256>& angle_table();
// Table index of n/d (0 <= n < d) through the 14-bit reciprocal of d.
int ratio_index(std::int64_t n, std::int64_t d);
// The hardware hue angle of (x, y) in whole degrees, 0..359.
int hue_angle(std::int32_t y, std::int32_t x);

// ---------------------------------------------------------------- PCA core

// What one bin's entries make of a pixel: the rotation's sine and cosine
// (1/1024), the chroma gain K = S + 128 and the luma entry L. They depend on
// the entries alone, so a whole image needs them once per bin.
struct BinTransform {
    std::int64_t sin_t = 0;
    std::int64_t cos_t = 1024;
    std::int64_t chroma_gain = 128;
    std::int64_t luma = 0;
};
BinTransform bin_transform(std::int32_t hue, std::int32_t sat, std::int32_t luma);

// One pixel as 8-bit codes (the words shifted right by 8): Y, and U, V
// centred on zero (code - 128).
struct Codes {
    std::int64_t y = 0;
    std::int64_t u = 0;
    std::int64_t v = 0;
};
// Output chroma codes (0..255) of centred chroma (u, v) under `t`.
struct ChromaOut {
    std::uint8_t u = 128, v = 128;
};
ChromaOut transform_chroma(std::int64_t u, std::int64_t v, const BinTransform& t);
// The luma gain G (unity 128) of centred chroma (u, v) under `t`, and the
// output luma code of luma code y under gain G.
std::int64_t luma_gain(std::int64_t u, std::int64_t v, const BinTransform& t, std::int32_t chroma_threshold);
std::uint8_t apply_luma_gain(std::int64_t y, std::int64_t gain);
// Output codes (Y', U', V', each 0..255) of a pixel classified into a bin
// with transform `t`.
std::array<std::uint8_t, 3> transform_pixel(const Codes& in, const BinTransform& t, std::int32_t chroma_threshold);
// Codes of three input words.
Codes codes_of(std::uint32_t y, std::uint32_t u, std::uint32_t v);

// The three arrays of a table (180 entries each, or 360 with full_circle).
struct TableView {
    const std::int32_t* hue;
    const std::int32_t* sat;
    const std::int32_t* luma;
    bool full_circle = false;
};
// The whole per-pixel transform on words; returns the classifying angle.
// hue_offset must be 0..359.
int pca_pixel(std::uint32_t& y, std::uint32_t& u, std::uint32_t& v, int hue_offset, std::int32_t chroma_threshold,
              const TableView& table);

// ---------------------------------------------------------------- colours

struct Rgb {
    std::int32_t r = 0, g = 0, b = 0;
};
// Integer YUV of an RGB colour: luma code ((Y * 255) >> 8) + 1, U, V,
// unclamped.
struct Yuv {
    std::int64_t y = 0, u = 0, v = 0;
};
Yuv rgb_to_yuv(const Rgb& c);
// Eight-bit form (each clamped to 0..255) and sixteen-bit form (256 and up
// to 65535, negatives to 0, others shifted left by 8).
std::array<std::int32_t, 3> yuv8(const Yuv& c);
std::array<std::uint32_t, 3> yuv16(const Yuv& c);
// Back to RGB from eight-bit codes (sixteen-bit words are shifted first).
Rgb yuv8_to_rgb(std::int64_t y, std::int64_t u, std::int64_t v);

struct HueRecord {
    std::int32_t hue = 0;
    std::int32_t chroma = 0;
    std::int32_t luma = 0;
};
HueRecord hue_record(const Rgb& c);

struct Lab {
    float l = 0, a = 0, b = 0;
};
// CIE L*a*b* (D65) of an 8-bit sRGB colour, single precision throughout.
Lab lab_of(const Rgb& c);
// Distance in the a*b* plane, single precision.
float ab_error(const Lab& x, const Lab& y);

// ---------------------------------------------------------------- generation

struct Limits {
    double hue = 0, sat = 0, luma = 0;
};

struct GenSettings {
    bool skip_limiter = false;
    std::int32_t chroma_threshold = 0;
    Limits limits;
    std::int32_t patch_count = kChartPatches;
};

enum class GenOutcome { ok, bad_patch_count };
std::string_view describe(GenOutcome outcome);

using Table = std::array<std::int32_t, kTableWords>;

// Corrections of one sorted patch list, per kind (hue, saturation, luma).
struct SortedPatch {
    HueRecord source;
    HueRecord target;
    std::int32_t input_index = 0;  // position in the caller's patch list
};

struct Corrections {
    std::array<std::int32_t, kChartPatches> hue{}, sat{}, luma{};
};

// The slope limiter over both copies. Returns false when it stopped early.
// `source_hue` holds the n sorted source hues.
bool limit_slopes(std::span<const std::int32_t> source_hue, const Limits& limits, Corrections& forward,
                  Corrections& backward);

// interp(x0, x1, y0, y1, x) of the candidate tables.
std::int32_t interp(std::int64_t x0, std::int64_t x1, std::int64_t y0, std::int64_t y1, std::int64_t x);

struct Generation {
    GenOutcome outcome = GenOutcome::ok;
    int kept = 0;                                  // patches left by the crossing pass
    std::array<SortedPatch, kChartPatches> kept_patches{};  // the first `kept` are used
    bool limiter_completed = true;
    std::array<Table, 2> candidates{};
    std::array<float, 2> mean_error{};             // mean a*b* error of each candidate's prediction
    int chosen = 1;                                // 0 or 1: candidate 1 or 2
    Table table{};
};
// patches: 25 source then 25 target RGB triplets.
Generation generate(std::span<const std::int32_t, 6 * kPatchSlots> patches, const GenSettings& settings);

// Predicted colour of a source patch under a table (180-entry arrays).
Rgb predict(const Rgb& source, const Table& table, std::int32_t chroma_threshold);

// ---------------------------------------------------------------- tuning

struct TuningRequest {
    Rgb source, target;
    std::int32_t range_below = 0, range_above = 0;
    double hue_limit = 0, sat_limit = 0;
    std::int32_t max_steps = 0;
    float strength = 1.0f;
};

enum class TuneOutcome { ok, too_many_steps };
std::string_view describe(TuneOutcome outcome);

struct Tuning {
    TuneOutcome outcome = TuneOutcome::ok;
    std::array<std::int32_t, 10> report{};
    int steps = 0;  // softening steps of the hue array counted so far
};
// Edits the hue and saturation arrays (the first 360 words of `table`).
Tuning tune(const TuningRequest& request, std::span<std::int32_t, 2 * kBins> table);

// ---------------------------------------------------------------- images

// Every pixel of an 8-bit RGB image through the integer YUV conversion, the
// PCA transform (hue offset 0, 180-entry arrays) and back to RGB, in place.
void apply_to_rgb(const Table& table, std::int32_t chroma_threshold, std::span<std::uint8_t> rgb);

}  // namespace morvik::pca
