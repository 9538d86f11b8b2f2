// Last shading stage: the shading gamma, an 11-node curve per colour that
// maps the ring index (0..255) to an effective ring index, settled node by
// node from the blocks of each ring segment and limited so that the
// compensated level stays near the target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shading/block_stats.h"
#include "shading/gains.h"
#include "shading/radius.h"

namespace morvik::shading {

// Node rings: node k (0..10) sits at ring kNodeRing[k + 1]; its segment holds
// the rings kNodeRing[k] < ring <= kNodeRing[k + 1].
inline constexpr int kNodeRing[13] = {0, 32, 64, 96, 128, 144, 160, 176, 192, 208, 224, 240, 255};
inline constexpr int kGammaNodes = 11;

// What one block contributes to the gamma of its colour.
struct GammaBlock {
    int ring;
    double g;       // gain need
    double fine;    // Af: compensation from the bits of r2 below the ring
    double coarse;  // Bc: compensation from the ring part of r2
    double ring_equivalent;  // D: ring at which the linear curve gives the need
};

// Sums over the blocks of one node.
struct NodeSums {
    double n = 0;
    double sxy = 0;  // sum of (D - last node value) * (ring - last node ring)
    double sxx = 0;  // sum of (ring - last node ring)^2
    double sg = 0, sa = 0, sb = 0, sr = 0;  // sums of g, Af, Bc and ring
    // Last node only: the blocks right of ring 240, d2 = 255 - ring.
    double s2 = 0, s22 = 0, s2d = 0;
    // Last node only: the left blocks' sums of d1 and d1 * D.
    double s1 = 0, s1d = 0;
};

// Blocks of one colour listed by hand, grouped by node: node k (0..9) holds
// the rings of its segment, node 10 the rings 225..254 on both sides of ring
// 240, each in block order.
class ColourBlocks {
public:
    std::vector<GammaBlock>& node(int k) { return nodes_[static_cast<std::size_t>(k)]; }
    template <class F>
    void for_each(int k, F&& f) const {
        for (const GammaBlock& b : nodes_[static_cast<std::size_t>(k)]) f(b);
    }

private:
    std::vector<GammaBlock> nodes_[kGammaNodes];
};

// The blocks of one colour in an image: runs of blocks in one block row whose
// rings fall into the same node, grouped by node, channel after channel and
// in block order within each group. A smooth radius crosses each node's
// rings at most twice per row, so the runs are few; the block values are
// computed as the walk reads them.
class ColourRuns {
public:
    ColourRuns(const BlockStats& stats, const RadiusGeometry& geometry, const std::vector<int>& channels, int curve_sel,
               int K, const int mantissa[4]);

    template <class F>
    void for_each(int k, F&& f) const;

private:
    struct Run {
        int channel, v, h0, h1;
    };
    const BlockStats& stats_;
    const RadiusGeometry& geometry_;
    int curve_sel_;
    std::uint32_t fine_mask_, coarse_mask_;
    std::uint32_t scaled_mantissa_[4] = {};  // mantissa << K per channel
    std::vector<Run> runs_[kGammaNodes];
};

// Settings of one colour's walk.
struct GammaSettings {
    char name = 'R';        // colour letter in the log lines
    double cmax = 0;        // coarse compensation at ring 255
    bool step_limited = false;
    double target_scale = 1.0;
    double shading_min = 0.0;
};

// The node-by-node walk of one colour. Log lines go to `log` in order.
class GammaWalk {
public:
    GammaWalk(const GammaSettings& settings, std::vector<std::string>& log);

    // Walks every node over the colour's blocks (ColourBlocks or ColourRuns).
    template <class Blocks>
    void run(const Blocks& blocks);
    const std::uint8_t* nodes() const { return nodes_; }

    // One node 0..9 from its sums; false once the curve has reached 255.
    bool settle_inner_node(int k, const NodeSums& sums);
    void settle_last_node(const NodeSums& sums);

    int last_ring() const { return last_ring_; }
    int last_value() const { return last_value_; }

private:
    int clamp_jump(int jump) const { return last_value_ + jump >= 255 ? 255 - last_value_ : jump; }
    double limited_slope(double slope, const NodeSums& sums);
    int limit_jump(int jump, double slope, double level_without_gamma, int dx, int node_ring, const NodeSums& sums) const;
    void settle(int k, int jump);
    bool saturate_from(int k);
    void log_settled(int k, const NodeSums* sums);
    void line(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    GammaSettings settings_;
    std::vector<std::string>& log_;
    std::uint8_t nodes_[kGammaNodes];
    int last_ring_ = 0;    // ring of the last settled node (lastX)
    int last_value_ = 0;   // its value (lastG)
    int next_node_ = 0;    // first node not yet settled (lastIdx)
    double level_ = 1.0;   // compensated level after the last settled node
};

template <class F>
void ColourRuns::for_each(int k, F&& f) const {
    for (const Run& run : runs_[static_cast<std::size_t>(k)]) {
        const int c = run.channel;
        const std::uint16_t* row = stats_.sums[c] + stats_.grid.index(run.v, 0);
        const std::uint32_t* dx2 = geometry_.dx2(c);
        const std::uint32_t dy2 = geometry_.dy2(c, run.v);
        const std::uint32_t m = scaled_mantissa_[c];
        for (int h = run.h0; h <= run.h1; ++h) {
            const double g = stats_.gain_need[c][row[h]];
            if (!(g > 0)) continue;
            const std::uint32_t r2 = dx2[h] + dy2;
            // Compensation (gain - 1) of the ring part and of the finer bits
            // of r2 / 16 under the linear curve.
            const std::uint32_t p = r2 >> 4;
            GammaBlock b;
            b.ring = ring_of(r2, curve_sel_);
            b.g = g;
            b.coarse = static_cast<double>(((p & coarse_mask_) * m) >> 12) / 1024;
            b.fine = static_cast<double>(((p & fine_mask_) * m) >> 12) / 1024;
            const double rest = b.g - b.fine;
            b.ring_equivalent = (b.ring > 0 && rest > 0 && b.coarse > 0) ? b.ring * rest / b.coarse : 0.0;
            f(b);
        }
    }
}

template <class Blocks>
void GammaWalk::run(const Blocks& blocks) {
    // The sums are plain locals while the blocks are read, so that they stay
    // in registers.
    for (int k = 0; k < 10; ++k) {
        const int last_ring = last_ring_;
        const double last_value = last_value_;
        double n = 0, sxy = 0, sxx = 0, sg = 0, sa = 0, sb = 0, sr = 0;
        blocks.for_each(k, [&](const GammaBlock& b) {
            const int d = b.ring - last_ring;
            n += 1;
            sxy += (b.ring_equivalent - last_value) * d;
            sxx += static_cast<double>(d) * d;
            sg += b.g;
            sa += b.fine;
            sb += b.coarse;
            sr += b.ring;
        });
        // A node without blocks is settled by the next node that has some.
        if (n == 0) continue;
        NodeSums sums;
        sums.n = n;
        sums.sxy = sxy;
        sums.sxx = sxx;
        sums.sg = sg;
        sums.sa = sa;
        sums.sb = sb;
        sums.sr = sr;
        if (!settle_inner_node(k, sums)) return;
    }
    const int last_ring = last_ring_;
    double n = 0, s1 = 0, sxx = 0, s1d = 0, sg = 0, sa = 0, sb = 0, sr = 0, s2 = 0, s22 = 0, s2d = 0;
    blocks.for_each(10, [&](const GammaBlock& b) {
        if (b.ring <= 240) {
            const double d1 = b.ring - last_ring;
            n += 1;
            s1 += d1;
            sxx += d1 * d1;
            s1d += d1 * b.ring_equivalent;
            sg += b.g;
            sa += b.fine;
            sb += b.coarse;
            sr += b.ring;
        }
        if (b.ring >= 240) {
            const double d2 = 255 - b.ring;
            s2 += d2;
            s22 += d2 * d2;
            s2d += d2 * b.ring_equivalent;
        }
    });
    NodeSums sums;
    sums.n = n;
    sums.s1 = s1;
    sums.sxx = sxx;
    sums.s1d = s1d;
    sums.sg = sg;
    sums.sa = sa;
    sums.sb = sb;
    sums.sr = sr;
    sums.s2 = s2;
    sums.s22 = s22;
    sums.s2d = s2d;
    settle_last_node(sums);
}

struct GammaInput {
    int curve_sel = 0;
    GainCode gains;
    double target_scale = 1.0;
    double shading_min = 0.0;
    bool step_limited = false;
    unsigned bayer_order = 0;
    bool y_only = false;
};

struct GammaResult {
    std::uint8_t nodes[3][kGammaNodes];  // R, G, B
};

// Runs the stage; its log lines are written in order at the end.
GammaResult compute_gamma(const BlockStats& stats, const RadiusGeometry& geometry, const GammaInput& in);

}  // namespace morvik::shading
