// Third shading stage: the radius factor (how far distances in half pixels
// are shifted before squaring) and the curve selection (how far the squared
// distance is shifted into a 0..255 ring index), checked against the measured
// fall-off of every channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "shading/block_stats.h"
#include "shading/numeric.h"

namespace morvik::shading {

// Scaled squared distances of the blocks from the optical centre, per
// channel: r2 of block (v, h) is dx2[h] + dy2[v], with
// dx = (|bx - center_x| >> (4 - radius_factor)) & 0x3FF in half pixels.
class RadiusGeometry {
public:
    RadiusGeometry(const BlockGrid& grid, std::uint16_t center_x, std::uint16_t center_y);
    void set_radius_factor(int radius_factor);

    int radius_factor() const { return radius_factor_; }
    std::uint32_t r2(int c, int v, int h) const {
        return dx2_[c][static_cast<std::size_t>(h)] + dy2_[c][static_cast<std::size_t>(v)];
    }
    const std::uint32_t* dx2(int c) const { return dx2_[c].data(); }
    std::uint32_t dy2(int c, int v) const { return dy2_[c][static_cast<std::size_t>(v)]; }

    // log2_fix(r2, 0) - 26 octaves: the log of the scaled squared radius,
    // remembered per value (it does not depend on the radius factor, so the
    // memo outlives changes of the factor).
    std::int16_t log_r2(std::uint32_t r2) const {
        // Parts running on other threads may fill the same entry: both write
        // the same value, through relaxed atomic access.
        const std::int16_t value = std::atomic_ref<std::int16_t>(log_r2_[r2]).load(std::memory_order_relaxed);
        return value != kUnknown ? value : remember_log_r2(r2);
    }

    // The same memo read through a pointer held by the caller, for loops
    // over many blocks (valid until the radius factor changes).
    class LogR2Reader {
    public:
        explicit LogR2Reader(const RadiusGeometry& geometry)
            : geometry_(geometry), memo_(geometry.log_r2_.data()) {}
        std::int16_t operator()(std::uint32_t r2) const {
            const std::int16_t value = std::atomic_ref<std::int16_t>(memo_[r2]).load(std::memory_order_relaxed);
            return value != kUnknown ? value : geometry_.remember_log_r2(r2);
        }
        // The remembered value only, without computing a missing one.
        bool known(std::uint32_t r2, std::int16_t& value) const {
            value = std::atomic_ref<std::int16_t>(memo_[r2]).load(std::memory_order_relaxed);
            return value != kUnknown;
        }

    private:
        const RadiusGeometry& geometry_;
        std::int16_t* memo_;
    };

private:
    static constexpr std::int16_t kUnknown = INT16_MAX;  // log_r2 is at most 21 - 26 octaves
    std::int16_t remember_log_r2(std::uint32_t r2) const;

    BlockGrid grid_;
    std::uint16_t center_x_, center_y_;
    int radius_factor_ = 0;
    std::vector<std::uint32_t> dx2_[4], dy2_[4];
    mutable std::vector<std::int16_t> log_r2_;
};

// Difference of a block's log gain need and its log scaled squared radius.
inline int log_difference(const BlockStats& stats, const RadiusGeometry& geometry, int c, std::uint16_t sum,
                          std::uint32_t r2) {
    return saturate16(static_cast<long long>(stats.log_gain_need[c][sum]) - geometry.log_r2(r2));
}

enum class RadiusOutcome {
    ok,
    far_edge,      // the far image edge needs more than the initial radius factor
    curve_level,   // the far sample needs a curve level above 2 * radius factor + 3
};

struct RadiusResult {
    RadiusOutcome outcome = RadiusOutcome::ok;
    int radius_factor = 0;
    int curve_sel = 0;
    int curve_level = 0;  // the level that failed, for curve_level
};

// Initial radius factor: 3 below 1024 pixels on the larger side, else 2,
// lowered by the level of the far image edge; -1 when it would fall below 0.
// `initial` receives the value before lowering.
int far_edge_radius_factor(unsigned width, unsigned height, int center_x, int center_y, int& initial);

// The radius check of channel c: D, the log2 of the mean of 2^d over the
// lowest hundredth of the block differences d (0 when no block of gain need
// above 0.01 has a negative d). `preliminary` receives the logged figure.
int channel_difference(const BlockStats& stats, const RadiusGeometry& geometry, int c, int& preliminary);

// Level of the far sample's squared distance rm: 0 .. 4.
int curve_level(unsigned width, unsigned height, int center_x, int center_y, int radius_factor, std::uint32_t& rm);

// Runs the stage with its log lines (all but the failure lines); `geometry`
// follows every change of the radius factor.
RadiusResult choose_radius(const BlockStats& stats, unsigned width, unsigned height, std::uint16_t center_x,
                           std::uint16_t center_y, RadiusGeometry& geometry);

}  // namespace morvik::shading
