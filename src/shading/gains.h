// Fourth shading stage: the gain factors. Per channel the slope kt of the
// compensation model gain = 1 + kt * r2 (first from the outermost blocks,
// then corrected to keep the compensated level within the limits), and one
// common exponent K with three mantissas, so that each colour's gain factor
// is mantissa * 2^K.
#pragma once

#include <cstdint>
#include <vector>

#include "shading/block_stats.h"
#include "shading/radius.h"

namespace morvik::shading {

struct GainLimits {
    double target_scale = 1.0;
    double below_max = 0.0;
    double overshoot = 0.0;
};

// Per ring (0..255) of one channel: the blocks with a positive gain need,
// their sum of k (gain need per unit of scaled r2) and their sum of g.
struct RingSums {
    std::uint32_t count[256] = {};
    double k[256] = {};
    double g[256] = {};
};

// The ring of a block: the low 8 bits of r2 >> (curve_sel + 8).
inline int ring_of(std::uint32_t r2, int curve_sel) { return static_cast<int>((r2 >> (curve_sel + 8)) & 0xFFu); }

// Rings of the gamma nodes: node k (0..10) sits at ring kNodeRing[k + 1]; its
// segment holds the rings kNodeRing[k] < ring <= kNodeRing[k + 1].
inline constexpr int kNodeRing[13] = {0, 32, 64, 96, 128, 144, 160, 176, 192, 208, 224, 240, 255};
inline constexpr int kGammaNodes = 11;

// The group in which the gamma stage reads a ring: node k for segment k
// (0..9), node 10 for the rings 225..254 on both sides of ring 240, -1 for
// rings 0 and 255, which belong to no segment.
struct RingGroups {
    std::int8_t group[256];
    constexpr RingGroups() : group() {
        for (int r = 0; r < 256; ++r) {
            group[r] = -1;
            if (r == 0 || r == 255) continue;
            if (r > kNodeRing[10]) {
                group[r] = 10;
                continue;
            }
            for (int k = 0; k < 10; ++k)
                if (r > kNodeRing[k] && r <= kNodeRing[k + 1]) group[r] = static_cast<std::int8_t>(k);
        }
    }
};
inline constexpr RingGroups kRingGroups;

// Blocks h0..h1 of block row v.
struct BlockRun {
    std::int32_t v, h0, h1;
};

// Per channel, the runs of blocks in one block row whose rings fall into the
// same group, listed group by group and in block order within each group.
// The gains pass records them, since it computes every block's ring anyway.
class GroupRuns {
public:
    const BlockRun* begin(int c, int group) const { return runs_[c].data() + start_[c][group]; }
    const BlockRun* end(int c, int group) const { return runs_[c].data() + start_[c][group + 1]; }

    // Sorts runs recorded in block order with their groups (stable).
    void assign(int c, const std::vector<BlockRun>& runs, const std::vector<std::int8_t>& groups);

private:
    std::vector<BlockRun> runs_[4];
    std::uint32_t start_[4][kGammaNodes + 1] = {};
};

// Sums of k in 1/65536 units up to this total are exact as integers and in
// every partial double sum; a channel with a ring past it takes its sums of k
// block by block in double instead.
inline constexpr std::uint64_t kExactKUnits = std::uint64_t{1} << 53;

// The sums of channel c, in block order per ring. When `runs` is given, the
// channel's group runs are recorded into it. A lower `exact_k_units` lets
// tests reach the block-by-block sums of k on small images.
RingSums ring_sums(const BlockStats& stats, const RadiusGeometry& geometry, int c, int curve_sel,
                   GroupRuns* runs = nullptr, std::uint64_t exact_k_units = kExactKUnits);

// First estimate of kt: the mean k of the outermost tenth of the blocks
// (`found` false and kt 1.0 when no block has a gain need).
double first_kt(const RingSums& rings, std::size_t blocks, bool& found);

// The correction walk from ring 255 inwards.
double corrected_kt(const RingSums& rings, double kt, const GainLimits& limits);

// log2 (1/1024 octaves) of the representable gain factors (i + 1) * 2^j.
struct GainLogTable {
    std::int16_t entry[4][255];
    GainLogTable();
};

struct GainCode {
    int K = 0;
    int Kr = 1, Kg = 1, Kb = 1;
    int mantissa[4] = {1, 1, 1, 1};  // per channel, by its colour
};

// One exponent and three mantissas from the four channel logs, with the log
// lines of that step.
GainCode encode_gains(const int log_kt[4], unsigned bayer_order, bool y_only, const GainLogTable& table);

struct GainResult {
    int log_kt[4] = {};
    GainCode code;
    // For the gamma stage: the group runs and, per channel and ring, the
    // blocks with a gain need.
    GroupRuns runs;
    std::uint32_t ring_count[4][256] = {};
};

// Working memory of the stage, taken from the call's: a table of pow2_fix
// values over every difference of logs the stage meets and, per channel
// (parts may run at once), row buffers of hn + 1 entries each.
struct GainsMemory {
    // pow2_fix(d, 16) for d = kPow2Lowest .. kPow2Lowest + kPow2Entries - 1.
    static constexpr int kPow2Lowest = -16384 - 6144;
    static constexpr std::size_t kPow2Entries = 16384 + 32768 - kPow2Lowest + 1;
    std::uint32_t* pow2 = nullptr;
    struct Row {
        std::int32_t* later;
        std::int32_t* run_start;
        std::int8_t* run_group;
    } rows[4] = {};
};

// Runs the stage with its log lines.
GainResult compute_gains(const BlockStats& stats, const RadiusGeometry& geometry, int curve_sel,
                         const GainLimits& limits, unsigned bayer_order, bool y_only, const GainsMemory& memory);

}  // namespace morvik::shading
