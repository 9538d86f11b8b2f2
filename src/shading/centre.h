// Second shading stage: the optical centre. Every block row and column of a
// channel gets a least-squares parabola through its bright blocks; straight
// lines through the row vertices and the column vertices cross at the
// channel's centre, and the green channels' centres give the module's.
#pragma once

#include <cstdint>
#include <vector>

#include "shading/block_stats.h"

namespace morvik::shading {

// Running sums of a parabola fit y = a x^2 + b x + c.
struct PowerSums {
    double n = 0, sx = 0, sx2 = 0, sx3 = 0, sx4 = 0, sy = 0, sxy = 0, sx2y = 0;
    void add(double x, double y) {
        const double x2 = x * x;
        n += 1;
        sx += x;
        sx2 += x2;
        sx3 += x2 * x;
        sx4 += x2 * x2;
        sy += y;
        sxy += x * y;
        sx2y += x2 * y;
    }
};

// Codes of a row or column parabola.
enum class ParabolaCode : std::uint8_t {
    good = 0,
    singular = 1,     // normal matrix determinant below 0.0001
    too_few = 2,      // two or fewer points
    not_concave = 3,  // a >= 0
    outside = 4,      // peak <= 0, or vertex outside first..last
};

struct Parabola {
    ParabolaCode code = ParabolaCode::too_few;
    double vertex = 0;
};

// Fits the points summed in `s`; the vertex must lie within [first, last].
Parabola fit_parabola(const PowerSums& s, double first, double last);

// A straight line u = a t + b; code 0 good, 1 singular, 2 fewer than 2 points.
struct Line {
    int code = 2;
    double a = 0, b = 0;
};

struct LineSums {
    double n = 0, st = 0, st2 = 0, su = 0, stu = 0;
    void add(double t, double u) {
        n += 1;
        st += t;
        st2 += t * t;
        su += u;
        stu += t * u;
    }
    Line fit() const;
};

// A channel's centre: code 0 good, 1 a line failed, 2 parallel lines, 3
// outside the block grid. x and y are in pixels.
struct ChannelCentre {
    int code = 1;
    double x = 0, y = 0;
};

struct CentreResult {
    bool found = false;  // false: both green centres failed
    std::vector<Parabola> rows[4];     // per block row
    std::vector<Parabola> columns[4];  // per block column
    Line horizontal[4];                // row vertex x as a function of y
    Line vertical[4];                  // column vertex y as a function of x
    ChannelCentre channel[4];
    double x = 0, y = 0;               // selected centre, pixels
    std::uint16_t center_x = 0;        // half pixels, rounded half up
    std::uint16_t center_y = 0;
};

// Both scans of channel c: the parabola of every block row (rows[v]) and
// block column (columns[h]). A row keeps the blocks at least as bright as
// both its ends and as half the target, a column likewise with its top and
// bottom; the sums of the kept blocks are those of PowerSums::add in block
// order. scan_channel_plain forms them exactly so; scan_channel reaches the
// same bits faster, and falls back on the plain form for grids too large for
// its integer sums.
void scan_channel(const BlockStats& stats, int c, std::vector<Parabola>& rows, std::vector<Parabola>& columns);
void scan_channel_plain(const BlockStats& stats, int c, std::vector<Parabola>& rows, std::vector<Parabola>& columns);

// Runs the stage with its log lines (all but the failure line).
CentreResult find_centre(const BlockStats& stats, unsigned bayer_order);

}  // namespace morvik::shading
