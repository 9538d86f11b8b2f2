// Grid shading table: node gains of a flat field on an nx x ny grid per
// Bayer channel, natural bicubic splines through them, and the table packed
// as per-cell cubic coefficients or as node gains.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "morvik/morvik.h"

namespace morvik::shading::grid {

enum class GridStatus {
    ok,
    coefficient_clamped,  // a cubic coefficient was clamped to 10 bits
    raw_missing,
    buffer_missing,       // a buffer could not be allocated
    over_kind_limit,      // the table exceeds the limit of its kind
    table_overflow,       // the table exceeds the result's 1000 words
    invalid_argument,
};

const char* describe(GridStatus status);
// The host's result code of ShadingCalibrateEx.
std::int32_t result_code(GridStatus status);

inline constexpr int kCoefficients = 12;       // per cell and channel
inline constexpr std::size_t kResultWords = 1000;

// Everything the spline stage reads, sizes in channel pixels.
struct SplineSettings {
    int half_width = 0;
    int half_height = 0;
    int nx = 0;
    int ny = 0;
    int cell_width = 0;
    int cell_height = 0;
    int left = 0;  // node-centre limits in image pixels
    int top = 0;
    int right = 0;
    int bottom = 0;
    int window = 0;
    bool find_brightest = false;
    double centre_x = 0;
    double centre_y = 0;
    double max_gain = 1.0;  // highest node gain
    std::array<double, 6> poly{};
};

SplineSettings settings_from_state(const shading_table_state& state);

// nullptr when the spline stage can run on these settings without leaving
// its planes, else the rule that is broken.
const char* check_settings(const SplineSettings& s);

// One channel's grid: node gains (ny x nx, row-major), quantised gains and
// the encoded coefficients (12 per cell, cells row by row).
struct ChannelGrid {
    std::vector<float> gains;
    std::vector<std::uint16_t> quantised;
    std::vector<std::uint16_t> coefficients;
};

struct SplineRun {
    GridStatus status = GridStatus::ok;  // ok, coefficient_clamped or buffer_missing
    std::array<ChannelGrid, 4> channels;
};

// Where the spline stage reads the four channels' 8-bit samples. Samples of
// 0 count as 1; positions are 1-based channel pixels.
class ChannelSource {
public:
    virtual ~ChannelSource() = default;
    // Mean of the brightest window of each channel: window x window squares
    // stepped by one window, rows and columns from 1 while below the plane
    // size minus one window; 0 when no window fits.
    virtual std::array<double, 4> brightest(int window) const = 0;
    // Sums of the window x window square whose first sample is at (x0, y0),
    // per channel.
    virtual std::array<std::uint64_t, 4> square_sums(int x0, int y0, int window) const = 0;
};

// Four caller planes of width x height samples each.
class PlaneSource final : public ChannelSource {
public:
    PlaneSource(const std::uint8_t* const planes[4], int width, int height);
    std::array<double, 4> brightest(int window) const override;
    std::array<std::uint64_t, 4> square_sums(int x0, int y0, int window) const override;

private:
    std::array<const std::uint8_t*, 4> planes_;
    int width_, height_;
};

// The raw mosaic itself (width x height samples, 8-bit or 10-bit): each
// channel sample is the high byte that unpack_planes would give, read where
// it lies, so no plane is built.
class MosaicSource final : public ChannelSource {
public:
    MosaicSource(const std::uint8_t* raw, int width, int height, bool ten_bit);
    std::array<double, 4> brightest(int window) const override;
    std::array<std::uint64_t, 4> square_sums(int x0, int y0, int window) const override;

private:
    const std::uint8_t* raw_;
    int width_, height_;
    bool ten_bit_;
};

// The spline stage (settings must pass check_settings; the source's planes
// are half_width x half_height).
SplineRun spline_stage(const SplineSettings& s, const ChannelSource& source);

// Mean of the brightest window of one plane (see ChannelSource::brightest).
double brightest_window(const std::uint8_t* plane, int width, int height, int window);

// Levels of the node at (node_x, node_y) (1-based, truncated node position)
// per channel: the mean of its averaging square, 1.0 if not positive.
std::array<double, 4> node_levels(const SplineSettings& s, const ChannelSource& source, int node_x, int node_y);
// The same for one plane.
double node_level(const SplineSettings& s, const std::uint8_t* plane, int node_x, int node_y);

// Natural cubic spline through (x[k], y[k]), k = 0..n-1: second derivatives
// into y2 (n values); u is scratch of n values.
void natural_spline(const float* x, const float* y, int n, float* y2, float* u);

// Truncated, clamped to magnitude 511 (setting `clamped`) and encoded as
// 10-bit sign and magnitude.
std::uint16_t encode_coefficient(float c, bool& clamped);

// Split a raw mosaic into four channel planes (row parity x 2 + column
// parity) of the high byte of each 16-bit sample: 10-bit data (two bytes per
// sample, low byte first) keeps ((high x 256 + low) << 6) & 0xFF00, 8-bit data
// byte x 256.
void unpack_planes(const std::uint8_t* raw, int width, int height, bool ten_bit, std::uint8_t* const planes[4]);

struct TableRun {
    GridStatus status = GridStatus::ok;
    std::uint32_t count = 0;
    std::vector<std::uint32_t> words;  // kResultWords when the table was built
    SplineRun grid;                    // the channels' grids (for reports)
};

// The whole calibration; the configuration must have passed check_config.
TableRun calibrate(const shading_table_config& config, int format, bool same_green);

// nullptr when the configuration and format can be used, else the rule broken.
const char* check_config(const shading_table_config& config, int format);

// Table words of a format for an nx x ny grid.
std::uint64_t table_words(int format, int nx, int ny);

}  // namespace morvik::shading::grid
