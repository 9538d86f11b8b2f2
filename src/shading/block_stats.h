// First shading stage: per 4 x 4 block the sum of each Bayer channel's four
// samples, per channel a histogram of the rounded block means, the target
// level (the mean of the brightest tenth of the blocks, scaled) and the gain
// need of every possible block sum.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvik::shading {

inline constexpr int kBlockSize = 4;
inline constexpr int kMaxBlockSum = 4 * 255;  // a channel's sum of 4 samples

// Whole 4 x 4 blocks of an image: hn x vn, indexed row-major.
struct BlockGrid {
    int hn = 0;
    int vn = 0;
    std::size_t n = 0;

    static BlockGrid of(unsigned width, unsigned height) {
        BlockGrid g;
        g.hn = static_cast<int>(width) / kBlockSize;
        g.vn = static_cast<int>(height) / kBlockSize;
        g.n = static_cast<std::size_t>(g.hn) * static_cast<std::size_t>(g.vn);
        return g;
    }
    std::size_t index(int v, int h) const { return static_cast<std::size_t>(v) * static_cast<std::size_t>(hn) + h; }
};

// Where the centre search places the mean of block (v, h) of channel c, in
// pixels, and where the radius stages place it, in half pixels.
inline constexpr int block_x(int c, int h) { return 4 * h + ((c == 0 || c == 2) ? 1 : 2); }
inline constexpr int block_y(int c, int v) { return 4 * v + ((c == 0 || c == 1) ? 1 : 2); }
inline constexpr int block_half_x(int c, int h) { return 2 * block_x(c, h); }
inline constexpr int block_half_y(int c, int v) { return 2 * block_y(c, v); }

// The image pass: per 4 x 4 block (hn x vn blocks, row-major) the sum of the
// four samples of each Bayer channel, and per channel a 256-bin histogram of
// the rounded block means (added to `hist`).
void block_sums(const std::uint8_t* raw, unsigned width, int hn, int vn, std::uint16_t* const sums[4],
                std::uint32_t hist[4][256]);
// The same pass with histogram counts that are exact only from bin floor[c]
// up: blocks whose bins are all below their floors may go uncounted.
void block_sums_above(const std::uint8_t* raw, unsigned width, int hn, int vn, std::uint16_t* const sums[4],
                      const int floor[4], std::uint32_t hist[4][256]);

// The read-only result of the first stage, used by every later one.
struct BlockStats {
    BlockGrid grid;
    // Per channel, block-indexed sums of the block's 4 samples (mean = sum / 4).
    const std::uint16_t* sums[4] = {};
    // Per channel the counts of the rounded block means from bin
    // histogram_floor[c] up, which hold the brightest tenth of the blocks
    // (all the target reads); bins below the floor are left at 0.
    std::uint32_t histogram[4][256] = {};
    int histogram_floor[4] = {};
    double target[4] = {};
    // Per channel and block sum s: the gain need g = (target - s/4) / (s/4)
    // (0 for s = 0), and log2 of g in 1/1024 octaves (0 where g <= 0).
    double gain_need[4][kMaxBlockSum + 1] = {};
    std::int16_t log_gain_need[4][kMaxBlockSum + 1] = {};

    double mean(int c, std::size_t block) const { return sums[c][block] / 4.0; }
};

// Fills `storage` (4 x grid.n sums, channel after channel) from the image and
// derives the histograms (from their floors up), targets and gain needs;
// logs the target lines.
void measure_blocks(const std::uint8_t* raw, unsigned width, const BlockGrid& grid, double target_scale,
                    std::uint16_t* storage, BlockStats& out);

// The target of one channel: the mean of the m brightest rounded block means
// (m = a tenth of the blocks, at least 1), times target_scale.
double target_of(const std::uint32_t histogram[256], std::size_t blocks, double target_scale);

}  // namespace morvik::shading
