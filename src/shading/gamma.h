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

    // Sums of node k (0..9) with the last settled node at (last_ring,
    // last_value), and of node 10, adding block after block.
    NodeSums node_sums(int k, int last_ring, double last_value) const;
    NodeSums last_node_sums(int last_ring) const;

private:
    std::vector<GammaBlock> nodes_[kGammaNodes];
};

// The blocks of one colour in an image, from the group runs of its channels:
// group by group, channel after channel and in block order within each
// channel. The block values are computed as the walk reads them.
class ColourRuns {
public:
    // `ring_count[c][r]`: blocks of channel c in ring r with a gain need.
    ColourRuns(const BlockStats& stats, const RadiusGeometry& geometry, const GroupRuns& runs,
               const std::vector<int>& channels, int curve_sel, int K, const int mantissa[4],
               const std::uint32_t (*ring_count)[256]);

    NodeSums node_sums(int k, int last_ring, double last_value) const;
    NodeSums last_node_sums(int last_ring) const;
    // Whether the per-ring tables serve the nodes.
    bool tabled() const { return tabled_; }

private:
    // The sums of node k (Last: node 10) through the tables where they hold,
    // else block by block: the per-block form, and the tabled form with one
    // instance per curve selection.
    template <class Block>
    void for_each_needy_block(int k, Block&& block) const;
    template <bool Last>
    void add_blocks_of(int k, double last_value, int last_ring, NodeSums& sums) const;
    template <bool Last>
    void add_blocks(int k, double last_value, int last_ring, NodeSums& sums) const;
    template <int CurveSel, bool Last>
    void add_tabled_blocks(int k, double last_value, int last_ring, NodeSums& sums) const;

    const BlockStats& stats_;
    const RadiusGeometry& geometry_;
    const GroupRuns& runs_;
    std::vector<int> channels_;
    int curve_sel_;
    std::uint32_t fine_mask_, coarse_mask_;
    std::uint32_t scaled_mantissa_[4] = {};  // mantissa << K per channel
    std::uint64_t ring_count_[256] = {};     // over the colour's channels
    // When every r2 of the colour lies below 2^(curve_sel + 16), the coarse
    // part of r2 / 16 is the ring shifted left, so the coarse compensation is
    // one value per ring, and the fine one one value per fine bit pattern.
    bool tabled_ = false;
    std::uint32_t coarse_units_[256] = {};  // Bc per ring in 1/1024 units
    double coarse_[256] = {};               // Bc per ring (1 where D is 0)
    double ring_value_[256] = {};           // the ring as a double (0 where D is 0)
    std::uint32_t fine_units_[128] = {};    // Af per fine bit pattern, 1/1024 units
    double fine_[128] = {};                 // Af per fine bit pattern
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

template <class Blocks>
void GammaWalk::run(const Blocks& blocks) {
    for (int k = 0; k < 10; ++k) {
        const NodeSums sums = blocks.node_sums(k, last_ring_, last_value_);
        // A node without blocks is settled by the next node that has some.
        if (sums.n == 0) continue;
        if (!settle_inner_node(k, sums)) return;
    }
    settle_last_node(blocks.last_node_sums(last_ring_));
}

struct GammaInput {
    int curve_sel = 0;
    GainCode gains;
    double target_scale = 1.0;
    double shading_min = 0.0;
    bool step_limited = false;
    unsigned bayer_order = 0;
    bool y_only = false;
    const std::uint32_t (*ring_count)[256] = nullptr;  // per channel, from the gains pass
};

struct GammaResult {
    std::uint8_t nodes[3][kGammaNodes];  // R, G, B
};

// Runs the stage; its log lines are written in order at the end.
// `runs` are the group runs recorded by the gains pass.
GammaResult compute_gamma(const BlockStats& stats, const RadiusGeometry& geometry, const GammaInput& in,
                          const GroupRuns& runs);

}  // namespace morvik::shading
