#include "shading/radius.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "frame/log.h"
#include "frame/parallel.h"
#include "shading/numeric.h"

namespace morvik::shading {

namespace {

using frame::log_format;
using frame::log_write;

int distance_level(int e) { return e <= 511 ? 0 : e <= 1023 ? 1 : e <= 2047 ? 2 : 3; }

}  // namespace

RadiusGeometry::RadiusGeometry(const BlockGrid& grid, std::uint16_t center_x, std::uint16_t center_y)
    : grid_(grid), center_x_(center_x), center_y_(center_y) {
    for (int c = 0; c < 4; ++c) {
        dx2_[c].resize(static_cast<std::size_t>(grid.hn));
        dy2_[c].resize(static_cast<std::size_t>(grid.vn));
    }
}

void RadiusGeometry::set_radius_factor(int radius_factor) {
    radius_factor_ = radius_factor;
    const int shift = 4 - radius_factor;
    const int cx = center_x_, cy = center_y_;
    std::uint32_t max_r2 = 0;
    for (int c = 0; c < 4; ++c) {
        std::uint32_t mx = 0, my = 0;
        for (int h = 0; h < grid_.hn; ++h) {
            const auto d = static_cast<std::uint32_t>(std::abs(block_half_x(c, h) - cx) >> shift) & 0x3FFu;
            dx2_[c][static_cast<std::size_t>(h)] = d * d;
            mx = std::max(mx, d * d);
        }
        for (int v = 0; v < grid_.vn; ++v) {
            const auto d = static_cast<std::uint32_t>(std::abs(block_half_y(c, v) - cy) >> shift) & 0x3FFu;
            dy2_[c][static_cast<std::size_t>(v)] = d * d;
            my = std::max(my, d * d);
        }
        max_r2 = std::max(max_r2, mx + my);
    }
    if (log_r2_.size() <= max_r2) log_r2_.resize(static_cast<std::size_t>(max_r2) + 1, kUnknown);
}

std::int16_t RadiusGeometry::remember_log_r2(std::uint32_t r2) const {
    const std::int16_t value = saturate16(static_cast<long long>(log2_fix(r2, 0)) - 26624);
    std::atomic_ref<std::int16_t>(log_r2_[r2]).store(value, std::memory_order_relaxed);
    return value;
}

int far_edge_radius_factor(unsigned width, unsigned height, int center_x, int center_y, int& initial) {
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    initial = std::max(w, h) < 1024 ? 3 : 2;
    // Far-edge distances in half pixels.
    int ex = center_x > w - 1 ? center_x : 2 * (w - 1) - center_x;
    int ey = center_y > h - 1 ? center_y : 2 * (h - 1) - center_y;
    ex >>= 4 - initial;
    ey >>= 4 - initial;
    const int level = std::max(distance_level(ex), distance_level(ey));
    return initial < level ? -1 : initial - level;
}

int channel_difference(const BlockStats& stats, const RadiusGeometry& geometry, int c, int& preliminary) {
    const BlockGrid& grid = stats.grid;
    std::uint64_t m = static_cast<std::uint64_t>(0.01 * static_cast<double>(grid.n) + 0.5);
    if (m == 0) m = 1;
    // Per block sum: the log gain need (kNoNeed where the need is not
    // positive), whether the need is above 0.01, and the squared radius
    // below which the difference cannot be negative: log2_fix of an r2 below
    // 2^E is at most 1024 E (the upper end of its octave), so with
    // E = floor(need / 1024) + 26 the log of r2 - 26 octaves stays at or
    // below the need. Most blocks are settled by that test alone.
    constexpr std::int16_t kNoNeed = INT16_MAX;
    std::int16_t need[kMaxBlockSum + 1];
    bool notable[kMaxBlockSum + 1];
    std::uint32_t settled_below[kMaxBlockSum + 1];
    for (int s = 0; s <= kMaxBlockSum; ++s) {
        const double g = stats.gain_need[c][s];
        need[s] = g > 0 ? stats.log_gain_need[c][s] : kNoNeed;
        notable[s] = g > 0.01;
        const int octaves = (need[s] >> 10) + 26;
        settled_below[s] = octaves < 0 ? 0u : octaves >= 32 ? UINT32_MAX : std::uint32_t{1} << octaves;
    }
    // Only a block of need above 0.01 makes D non-zero. When even the
    // largest r2 of the channel settles every such need, D and the
    // preliminary figure are 0 without a look at the blocks (the far-edge
    // rule keeps distances that short in every whole calculation).
    std::uint32_t settles_notable = UINT32_MAX;
    for (int s = 0; s <= kMaxBlockSum; ++s)
        if (notable[s]) settles_notable = std::min(settles_notable, settled_below[s]);
    const std::uint32_t* dx2_row = geometry.dx2(c);
    const std::uint32_t max_dx2 = grid.hn > 0 ? *std::max_element(dx2_row, dx2_row + grid.hn) : 0;
    std::uint32_t max_dy2 = 0;
    for (int v = 0; v < grid.vn; ++v) max_dy2 = std::max(max_dy2, geometry.dy2(c, v));
    if (static_cast<std::uint64_t>(max_dx2) + max_dy2 < settles_notable) {
        preliminary = 0;
        return 0;
    }
    // Every negative difference is counted in one pass; the minimum over the
    // qualifying blocks then picks the 1024 bins the check walks.
    std::vector<std::uint32_t> histogram(32768);
    long long qualifying = 0, difference_sum = 0;
    int minimum = 0;
    for (int v = 0; v < grid.vn; ++v) {
        const std::uint16_t* row = stats.sums[c] + grid.index(v, 0);
        const std::uint32_t* dx2 = geometry.dx2(c);
        const std::uint32_t dy2 = geometry.dy2(c, v);
        for (int h = 0; h < grid.hn; ++h) {
            const std::uint16_t sum = row[h];
            const std::uint32_t r2 = dx2[h] + dy2;
            if (r2 < settled_below[sum]) continue;
            const int d = saturate16(static_cast<long long>(need[sum]) - geometry.log_r2(r2));
            if (d >= 0) continue;
            ++histogram[static_cast<std::size_t>(d + 32768)];
            if (notable[sum]) {
                ++qualifying;
                difference_sum += d;
                minimum = std::min(minimum, d);
            }
        }
    }
    preliminary = qualifying ? static_cast<int>(difference_sum / qualifying) : 0;
    if (!qualifying) return 0;
    // Mean of 2^d (4096 units) over the m lowest differences; those below
    // the minimum (tiny gain needs) are left out.
    std::uint32_t power_sum = 0;
    const int last_bin = std::min(1023, -minimum - 1);
    const std::uint64_t count = sum_top_m(
        0, last_bin, 1, m, [&](int bin) { return std::uint64_t{histogram[static_cast<std::size_t>(minimum + bin + 32768)]}; },
        [&](int bin, std::uint64_t taken, bool) {
            power_sum += pow2_fix(minimum + bin, 12) * static_cast<std::uint32_t>(taken);
        });
    return log2_fix(static_cast<std::uint32_t>(power_sum / count), 12);
}

int curve_level(unsigned width, unsigned height, int center_x, int center_y, int radius_factor, std::uint32_t& rm) {
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    // Far-sample distances in half pixels.
    const int fx = center_x > w - 1 ? center_x - 2 : 2 * w - 4 - center_x;
    const int fy = center_y > h - 1 ? center_y - 2 : 2 * h - 4 - center_y;
    const std::uint32_t ux = static_cast<std::uint32_t>(fx >> (4 - radius_factor)) & 0x3FFu;
    const std::uint32_t uy = static_cast<std::uint32_t>(fy >> (4 - radius_factor)) & 0x3FFu;
    rm = (ux * ux + uy * uy) >> 8;
    return rm <= 255 ? 0 : rm <= 511 ? 1 : rm <= 1023 ? 2 : rm <= 2047 ? 3 : 4;
}

RadiusResult choose_radius(const BlockStats& stats, unsigned width, unsigned height, std::uint16_t center_x,
                           std::uint16_t center_y, RadiusGeometry& geometry) {
    RadiusResult r;
    log_write("Shading: Get Radius Factor\n");
    log_write("----------------------Get Radius Factor---------------\n");
    int initial = 0;
    const int lowered = far_edge_radius_factor(width, height, center_x, center_y, initial);
    log_format("Shading: Radius Factor Init %2d\n", initial);
    if (lowered < 0) {
        r.outcome = RadiusOutcome::far_edge;
        return r;
    }
    int radius_factor = lowered;
    log_write("----------------------Update Radius Factor---------------\n");
    log_format("Shading: Radius Factor Update %2d\n", radius_factor);
    log_write("Shading: Get Radius Factor End\n");

    log_write("Shading: Check Radius Factor by r2 Compensation\n");
    log_write("----------------------Check Radius Factor---------------\n");
    log_format("Shading: Radius Factor %2d\n", radius_factor);
    geometry.set_radius_factor(radius_factor);
    int candidate = radius_factor;
    // The channels' differences are independent; they are logged in order.
    int differences[4] = {}, preliminaries[4] = {};
    frame::run_parts(4, [&](int c) { differences[c] = channel_difference(stats, geometry, c, preliminaries[c]); });
    for (int c = 0; c < 4; ++c) {
        const int preliminary = preliminaries[c], difference = differences[c];
        log_format("Shading: Difference between target & r2 compensation i %1d %6d\n", c, preliminary);
        log_write("Shading: smaller than zero for too large Radius Factor\n");
        log_format("Shading: Difference by histogram i% 1d %6d\n", c, difference);
        log_write("Shading: if smaller than zero for too large Radius Factor\n");
        if (difference >= 0) continue;
        // The smaller deficit takes the larger step.
        const int lowered_by = radius_factor - (difference <= -1024 ? 1 : 3);
        if (lowered_by < 0) {
            candidate = 0;
            log_format("Shading: Update Radius Factor i %1d %1d\n", c, 0);
            log_write("Shading: Radius Factor was forced to zero\n");
            break;
        }
        if (lowered_by < candidate) {
            candidate = lowered_by;
            log_format("Shading: Update Radius Factor i %1d %1d\n", c, lowered_by);
            log_write("Shading: Radius Factor was updated by smaller value\n");
        }
    }
    if (candidate == radius_factor) {
        log_format("Shading: Unchange Radius Factor %1d\n", radius_factor);
    } else {
        radius_factor = candidate;
        geometry.set_radius_factor(radius_factor);
        log_format("Shading: Change Radius Factor %1d\n", radius_factor);
    }
    log_write("Shading: Check Radius Factor by r2 Compensation End\n");

    log_write("Shading: Get Curve_sel\n");
    log_format("Shading: Init Curve_sel %1d\n", 0);
    log_write("----------------------Check Curve_sel---------------\n");
    std::uint32_t rm = 0;
    const int level = curve_level(width, height, center_x, center_y, radius_factor, rm);
    log_write("Shading: Check Curve_sel by r2 &0xFF\n");
    log_format("Shading: Check difference %1d, rm %4d\n", level, static_cast<int>(rm));
    r.radius_factor = radius_factor;
    if (level > 2 * radius_factor + 3) {
        r.outcome = RadiusOutcome::curve_level;
        r.curve_level = level;
        return r;
    }
    if (level <= 3) {
        r.curve_sel = level;
        log_format("Shading: Update Curve_sel %1d\n", r.curve_sel);
    } else {
        r.curve_sel = 2;
        r.radius_factor = radius_factor - 1;
        log_format("Shading: Update Curve_sel %1d, Radius factor %1d\n", r.curve_sel, r.radius_factor);
        geometry.set_radius_factor(r.radius_factor);
    }
    return r;
}

}  // namespace morvik::shading
