#include "shading/gamma.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "frame/log.h"
#include "frame/parallel.h"
#include "shading/numeric.h"

namespace morvik::shading {

namespace {

constexpr int kStepLimit[kGammaNodes] = {64, 64, 64, 64, 32, 32, 32, 32, 32, 32, 32};
constexpr int kNodeFloor[kGammaNodes] = {0, 0, 0, 0, 0, 0, 0, 0, 63, 127, 191};
constexpr std::uint32_t kCoarseMask[4] = {0x0FFFFFF0u, 0x0FFFFFE0u, 0x0FFFFFC0u, 0x0FFFFF80u};

// How many runs ahead of the one being read their sums are fetched.
constexpr int kPrefetchRuns = 6;

inline void prefetch(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// x where x > 0, else +0.0 (for -0.0 and NaN too): maxsd returns its second
// operand unless the first is greater.
inline double positive_or_zero(double x) {
#if defined(__GNUC__) && defined(__SSE2__)
    __asm__("maxsd %1, %0" : "+x"(x) : "x"(0.0));
    return x;
#else
    return x > 0 ? x : 0.0;
#endif
}

// trunc(v) for the small jumps of the walk; far-out values (and NaN) are
// pinned well outside 0..255 so that the usual clamps apply.
inline int trunc_int(double v) {
    if (!(v > -100000.0)) return -100000;
    if (v > 100000.0) return 100000;
    return static_cast<int>(v);
}

// trunc(v), plus 1 when a positive fraction remains.
inline int round_up(double v) {
    const int t = trunc_int(v);
    return (v - t > 0.0) ? t + 1 : t;
}


}  // namespace

NodeSums ColourBlocks::node_sums(int k, int last_ring, double last_value) const {
    NodeSums sums;
    for (const GammaBlock& b : nodes_[static_cast<std::size_t>(k)]) {
        const int d = b.ring - last_ring;
        sums.n += 1;
        sums.sxy += (b.ring_equivalent - last_value) * d;
        sums.sxx += static_cast<double>(d) * d;
        sums.sg += b.g;
        sums.sa += b.fine;
        sums.sb += b.coarse;
        sums.sr += b.ring;
    }
    return sums;
}

NodeSums ColourBlocks::last_node_sums(int last_ring) const {
    NodeSums sums;
    for (const GammaBlock& b : nodes_[10]) {
        if (b.ring <= 240) {
            const double d1 = b.ring - last_ring;
            sums.n += 1;
            sums.s1 += d1;
            sums.sxx += d1 * d1;
            sums.s1d += d1 * b.ring_equivalent;
            sums.sg += b.g;
            sums.sa += b.fine;
            sums.sb += b.coarse;
            sums.sr += b.ring;
        }
        if (b.ring >= 240) {
            const double d2 = 255 - b.ring;
            sums.s2 += d2;
            sums.s22 += d2 * d2;
            sums.s2d += d2 * b.ring_equivalent;
        }
    }
    return sums;
}

ColourRuns::ColourRuns(const BlockStats& stats, const RadiusGeometry& geometry, const GroupRuns& runs,
                       const std::vector<int>& channels, int curve_sel, int K, const int mantissa[4],
                       const std::uint32_t (*ring_count)[256])
    : stats_(stats),
      geometry_(geometry),
      runs_(runs),
      channels_(channels),
      curve_sel_(curve_sel),
      fine_mask_((1u << (curve_sel + 4)) - 1),
      coarse_mask_(kCoarseMask[curve_sel]) {
    for (int c = 0; c < 4; ++c) scaled_mantissa_[c] = static_cast<std::uint32_t>(mantissa[c]) << K;
    for (const int c : channels)
        for (int r = 0; r < 256; ++r) ring_count_[r] += ring_count[c][r];
    // The tables hold for one mantissa: both greens carry the same one.
    std::uint32_t max_r2 = 0;
    bool one_mantissa = true;
    for (const int c : channels) {
        const std::uint32_t* dx2 = geometry.dx2(c);
        std::uint32_t max_dx2 = 0, max_dy2 = 0;
        for (int h = 0; h < stats.grid.hn; ++h) max_dx2 = std::max(max_dx2, dx2[h]);
        for (int v = 0; v < stats.grid.vn; ++v) max_dy2 = std::max(max_dy2, geometry.dy2(c, v));
        max_r2 = std::max(max_r2, max_dx2 + max_dy2);
        if (scaled_mantissa_[c] != scaled_mantissa_[channels.front()]) one_mantissa = false;
    }
    tabled_ = !channels.empty() && one_mantissa && max_r2 < (std::uint32_t{1} << (curve_sel + 16));
    if (!tabled_) return;
    const std::uint32_t m = scaled_mantissa_[channels.front()];
    for (std::uint32_t r = 0; r < 256; ++r) {
        // The same 32-bit arithmetic as the per-block form, with p & coarse
        // mask = ring << (curve_sel + 4).
        const std::uint32_t p = (r << (curve_sel + 4)) & coarse_mask_;
        coarse_units_[r] = (p * m) >> 12;
        // Rings whose D is always 0 (ring 0, or no coarse compensation).
        const bool used = r > 0 && coarse_units_[r] > 0;
        coarse_[r] = used ? static_cast<double>(coarse_units_[r]) / 1024 : 1.0;
        ring_value_[r] = used ? static_cast<double>(r) : 0.0;
    }
    for (std::uint32_t f = 0; f <= fine_mask_; ++f) {
        fine_units_[f] = (f * m) >> 12;
        fine_[f] = static_cast<double>(fine_units_[f]) / 1024;
    }
}

// Calls block(c, g, r2) for every block of group k with a gain need (g > 0),
// channel by channel and in block order within each run: the order in which
// the double sums must be added. Inlined into each caller, so that the
// caller's running sums stay in registers.
template <class Block>
[[gnu::always_inline]] inline void ColourRuns::for_each_needy_block(int k, Block&& block) const {
    for (const int c : channels_) {
        const std::uint32_t* dx2 = geometry_.dx2(c);
        const double* gain_need = stats_.gain_need[c];
        const BlockRun* const end = runs_.end(c, k);
        for (const BlockRun* run = runs_.begin(c, k); run != end; ++run) {
            // The runs of a group lie scattered over the image: the sums of a
            // later run are fetched while this one is read.
            if (end - run > kPrefetchRuns) {
                const BlockRun& ahead = run[kPrefetchRuns];
                prefetch(stats_.sums[c] + stats_.grid.index(ahead.v, ahead.h0));
                prefetch(stats_.sums[c] + stats_.grid.index(ahead.v, ahead.h1));
            }
            const std::uint16_t* row = stats_.sums[c] + stats_.grid.index(run->v, 0);
            const std::uint32_t dy2 = geometry_.dy2(c, run->v);
            for (int h = run->h0; h <= run->h1; ++h) {
                const double g = gain_need[row[h]];
                if (g > 0) block(c, g, dx2[h] + dy2);
            }
        }
    }
}

// The sums that depend on each block's values. Those that only count blocks
// per ring (n, and the sums of ring, d and d^2) come from the ring counts:
// they are sums of whole numbers, exact in any order. So are the sums of Af
// and Bc, whole numbers of 1/1024 units, kept as integers. The sums of
// double products and of g are added in walk order.
template <bool Last>
void ColourRuns::add_blocks(int k, double last_value, int last_ring, NodeSums& sums) const {
    const int shift = curve_sel_ + 8;
    double sxy = 0, sg = 0, s2d = 0;
    std::uint64_t fine_units = 0, coarse_units = 0;
    for_each_needy_block(k, [&](int c, double g, std::uint32_t r2) {
        const std::uint32_t m = scaled_mantissa_[c];
        const int ring = static_cast<int>((r2 >> shift) & 0xFFu);
        // Compensation (gain - 1) of the ring part and of the finer bits of
        // r2 / 16 under the linear curve, in 1/1024 units.
        const std::uint32_t p = r2 >> 4;
        const std::uint32_t coarse = ((p & coarse_mask_) * m) >> 12;
        const std::uint32_t fine = ((p & fine_mask_) * m) >> 12;
        const double rest = g - static_cast<double>(fine) / 1024;
        // D: the ring at which the linear curve gives the need.
        const double ring_equivalent =
            (ring > 0 && rest > 0 && coarse > 0) ? ring * rest / (static_cast<double>(coarse) / 1024) : 0.0;
        if constexpr (!Last) {
            sxy += (ring_equivalent - last_value) * (ring - last_ring);
        } else {
            // Node 10: ring 240 counts on both sides; only the left side
            // (rings up to 240) adds to the means.
            if (ring >= 240) s2d += static_cast<double>(255 - ring) * ring_equivalent;
            if (ring > 240) return;
            sxy += static_cast<double>(ring - last_ring) * ring_equivalent;
        }
        sg += g;
        fine_units += fine;
        coarse_units += coarse;
    });
    sums.sg = sg;
    sums.sa = to_double(fine_units) / 1024;
    sums.sb = to_double(coarse_units) / 1024;
    if constexpr (!Last) {
        sums.sxy = sxy;
    } else {
        sums.s1d = sxy;
        sums.s2d = s2d;
    }
}

// The same sums through the per-ring and per-fine-bits tables. This loop runs
// once per block of the image, so it is kept short: one instance per curve
// selection makes the shifts constants, and the clamp at 0 is one maxsd
// instead of a compare and a branch on a freshly divided value.
template <int CurveSel, bool Last>
void ColourRuns::add_tabled_blocks(int k, double last_value, int last_ring, NodeSums& sums) const {
    constexpr int shift = CurveSel + 8;
    constexpr std::uint32_t fine_mask = (1u << (CurveSel + 4)) - 1;
    // Per ring: ring - last ring, and for node 10 the weight 255 - ring of
    // the right side (0 left of ring 240, where it adds +0.0).
    double ring_offset[256], right_weight[256];
    for (int r = 0; r < 256; ++r) {
        ring_offset[r] = static_cast<double>(r - last_ring);
        right_weight[r] = r >= 240 ? static_cast<double>(255 - r) : 0.0;
    }
    double sxy = 0, sg = 0, s2d = 0;
    std::uint64_t fine_units = 0, coarse_units = 0;
    for_each_needy_block(k, [&](int, double g, std::uint32_t r2) {
        // Every r2 lies below 2^(curve_sel + 16): no mask for the ring.
        const std::uint32_t ring = r2 >> shift;
        const std::uint32_t fine_bits = (r2 >> 4) & fine_mask;
        // D = ring * (g - Af) / Bc where that is above 0, else +0.0,
        // as in the per-block form: rings where D is always 0 hold
        // 0 / 1 in the tables, and every quotient of 0 or below
        // (-0.0 too) becomes +0.0.
        const double ring_equivalent =
            positive_or_zero(ring_value_[ring] * (g - fine_[fine_bits]) / coarse_[ring]);
        if constexpr (!Last) {
            sxy += (ring_equivalent - last_value) * ring_offset[ring];
        } else {
            // Node 10: ring 240 counts on both sides; only the left
            // side (rings up to 240) adds to the means.
            s2d += right_weight[ring] * ring_equivalent;
            if (ring > 240) return;
            sxy += ring_offset[ring] * ring_equivalent;
        }
        sg += g;
        fine_units += fine_units_[fine_bits];
    });
    // Each block of the group (left of ring 240 for node 10) adds its ring's
    // coarse value.
    const int last_left_ring = Last ? 240 : kNodeRing[k + 1];
    for (int r = kNodeRing[k] + 1; r <= last_left_ring; ++r) coarse_units += ring_count_[r] * coarse_units_[r];
    sums.sg = sg;
    if constexpr (!Last) {
        sums.sxy = sxy;
    } else {
        sums.s1d = sxy;
        sums.s2d = s2d;
    }
    sums.sa = to_double(fine_units) / 1024;
    sums.sb = to_double(coarse_units) / 1024;
}

template <bool Last>
void ColourRuns::add_blocks_of(int k, double last_value, int last_ring, NodeSums& sums) const {
    if (!tabled_) return add_blocks<Last>(k, last_value, last_ring, sums);
    switch (curve_sel_) {
        case 0: return add_tabled_blocks<0, Last>(k, last_value, last_ring, sums);
        case 1: return add_tabled_blocks<1, Last>(k, last_value, last_ring, sums);
        case 2: return add_tabled_blocks<2, Last>(k, last_value, last_ring, sums);
        default: return add_tabled_blocks<3, Last>(k, last_value, last_ring, sums);
    }
}

NodeSums ColourRuns::node_sums(int k, int last_ring, double last_value) const {
    NodeSums sums;
    std::uint64_t n = 0, ring_sum = 0, square_sum = 0;
    for (int r = kNodeRing[k] + 1; r <= kNodeRing[k + 1]; ++r) {
        const std::uint64_t count = ring_count_[r];
        const std::uint64_t d = static_cast<std::uint64_t>(r - last_ring);  // last_ring < r
        n += count;
        ring_sum += count * static_cast<std::uint64_t>(r);
        square_sum += count * d * d;
    }
    if (n == 0) return sums;
    sums.n = to_double(n);
    sums.sr = to_double(ring_sum);
    sums.sxx = to_double(square_sum);
    add_blocks_of<false>(k, last_value, last_ring, sums);
    return sums;
}

NodeSums ColourRuns::last_node_sums(int last_ring) const {
    NodeSums sums;
    std::uint64_t n = 0, ring_sum = 0, d_sum = 0, square_sum = 0, right_sum = 0, right_squares = 0;
    for (int r = kNodeRing[10] + 1; r <= 240; ++r) {
        const std::uint64_t count = ring_count_[r];
        const std::uint64_t d = static_cast<std::uint64_t>(r - last_ring);
        n += count;
        ring_sum += count * static_cast<std::uint64_t>(r);
        d_sum += count * d;
        square_sum += count * d * d;
    }
    for (int r = 240; r <= 254; ++r) {
        const std::uint64_t count = ring_count_[r];
        const std::uint64_t d = static_cast<std::uint64_t>(255 - r);
        right_sum += count * d;
        right_squares += count * d * d;
    }
    sums.n = to_double(n);
    sums.sr = to_double(ring_sum);
    sums.s1 = to_double(d_sum);
    sums.sxx = to_double(square_sum);
    sums.s2 = to_double(right_sum);
    sums.s22 = to_double(right_squares);
    add_blocks_of<true>(10, 0.0, last_ring, sums);
    return sums;
}

GammaWalk::GammaWalk(const GammaSettings& settings, std::vector<std::string>& log) : settings_(settings), log_(log) {
    for (int k = 0; k < kGammaNodes; ++k) nodes_[k] = static_cast<std::uint8_t>(kNodeRing[k + 1]);
}

void GammaWalk::line(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_.emplace_back(text);
}

// Step 3 of a node: the slope at most that which brings the compensated level
// of the segment's mean ring to the present level.
double GammaWalk::limited_slope(double slope, const NodeSums& sums) {
    const double mean_g = sums.sg / sums.n, mean_fine = sums.sa / sums.n, mean_ring = sums.sr / sums.n;
    level_ = std::min(level_, 1 / settings_.target_scale);
    if (settings_.cmax == 0 || mean_ring == last_ring_) return slope;
    const double value = ((mean_g + 1) * level_ - 1 - mean_fine) * 255 / settings_.cmax;
    return std::min(slope, (value - last_value_) / (mean_ring - last_ring_));
}

// Limits that keep the compensated level near the target.
int GammaWalk::limit_jump(int jump, double slope, double level_without_gamma, int dx, int node_ring,
                          const NodeSums& sums) const {
    const double mean_g = sums.sg / sums.n, mean_fine = sums.sa / sums.n, mean_ring = sums.sr / sums.n;
    const double ts = settings_.target_scale;
    const double lim = settings_.shading_min / ts;
    const double S0 = level_without_gamma;
    if (S0 <= lim && S0 < 1) {
        if (settings_.cmax != 0 && mean_ring != last_ring_) {
            const double slope3 =
                ((lim * (mean_g + 1) - 1 - mean_fine) * 255 / settings_.cmax - last_value_) / (mean_ring - last_ring_);
            if (slope > slope3) jump = clamp_jump(trunc_int(dx * std::max(slope3, 0.0) + 0.5));
        }
    } else if (slope > 1) {
        if (S0 >= 1) jump = dx;
        else if ((slope - 1) * dx / node_ring > 0.03) jump = dx + static_cast<int>(0.03 * node_ring);
        jump = clamp_jump(jump);
    } else {
        if (S0 <= 1 / ts) jump = dx;
        else if ((1 - slope) * dx / node_ring > 0.03) jump = dx - static_cast<int>(0.03 * node_ring);
        jump = clamp_jump(jump);
    }
    return jump;
}

// Settles nodes next_node_ .. k with the jump from the last settled value.
void GammaWalk::settle(int k, int jump) {
    std::uint8_t* G = nodes_;
    const int first = next_node_, base = last_value_;
    auto spread = [&] {
        for (int i = first; i <= k; ++i)
            G[i] = static_cast<std::uint8_t>(std::min(
                255, base + static_cast<int>(static_cast<double>(kNodeRing[i + 1] - kNodeRing[first]) * jump /
                                                 (kNodeRing[k + 1] - kNodeRing[first]) +
                                             0.5)));
    };
    if (!settings_.step_limited) {
        if (k == first) G[k] = static_cast<std::uint8_t>(std::min(255, base + jump));
        else spread();
    } else {
        if (base + jump < kNodeFloor[k]) jump = kNodeFloor[k] - base;
        if (k == first) {
            G[k] = static_cast<std::uint8_t>(std::min(255, base + std::min(jump, 64)));
        } else if (kStepLimit[k] == kStepLimit[first]) {
            const int span = k - first + 1;
            for (int i = first; i <= k; ++i) {
                const int step = jump >= 64 * span
                                     ? 64 * (i - first + 1)
                                     : static_cast<int>(static_cast<double>(i - first + 1) * jump / span + 0.5);
                G[i] = static_cast<std::uint8_t>(std::min(255, base + step));
            }
        } else {
            int total = 0;
            for (int i = first; i <= k; ++i) total += kStepLimit[i];
            if (jump >= total) {
                int value = base;
                for (int i = first; i <= k; ++i) {
                    value = std::min(255, value + kStepLimit[i]);
                    G[i] = static_cast<std::uint8_t>(value);
                }
            } else {
                spread();
            }
        }
    }
    last_value_ = G[k];
    last_ring_ = kNodeRing[k + 1];
    next_node_ = k + 1;
}

bool GammaWalk::saturate_from(int k) {
    if (nodes_[k] != 255) return false;
    for (int i = k + 1; i < kGammaNodes; ++i) nodes_[i] = 255;
    return true;
}

// The settled node's slope s4 and the compensated level it gives the
// segment's mean ring; that level is what the next node starts from.
void GammaWalk::log_settled(int k, const NodeSums* sums) {
    const std::uint8_t* G = nodes_;
    const char name = settings_.name;
    const double s4 =
        k == 0 ? G[0] * 0.03125 : static_cast<double>(G[k] - G[k - 1]) / (kNodeRing[k + 1] - kNodeRing[k]);
    if (!sums) {
        line("Shading: %c i %2d, current gamma with jump %3d, slope %.3f\n", name, k, G[k], s4);
        return;
    }
    const double mean_g = sums->sg / sums->n, mean_fine = sums->sa / sums->n, mean_ring = sums->sr / sums->n;
    const double cmax = settings_.cmax;
    if (k == 0) level_ = (mean_ring * s4 * cmax / 255 + mean_fine + 1) / (mean_g + 1);
    else level_ = (((mean_ring - kNodeRing[k]) * s4 + G[k - 1]) * cmax / 255 + mean_fine + 1) / (mean_g + 1);
    line("Shading: %c i %2d, current gamma with jump %3d, slope %.3f, shading %.3f\n", name, k, G[k], s4,
         level_ * settings_.target_scale);
}

bool GammaWalk::settle_inner_node(int k, const NodeSums& sums) {
    const char name = settings_.name;
    double slope = sums.sxy / sums.sxx;  // least squares through (last ring, last value)
    if (slope > 0) slope = limited_slope(slope, sums);
    if (slope <= 0) slope = 0;
    const int dx = kNodeRing[k + 1] - last_ring_;
    int jump = slope > 1 ? trunc_int(dx * slope) : round_up(dx * slope);
    if (last_value_ + jump >= 255) {
        jump = 255 - last_value_;
        slope = static_cast<double>(jump) / dx;
    }
    const double mean_g = sums.sg / sums.n;
    const double level_without_gamma = (1 + sums.sa / sums.n + sums.sb / sums.n) / (1 + mean_g);
    line("Shading: %c i %2d, last %2d, slope %.3f, jump %3d, current shading w/o gamma %.3f\n", name, k, next_node_,
         static_cast<double>(jump) / dx, jump, level_without_gamma * settings_.target_scale);
    jump = limit_jump(jump, slope, level_without_gamma, dx, kNodeRing[k + 1], sums);
    line("Shading: %c i %2d, last %2d, limited gamma jump %3d\n", name, k, next_node_, jump);
    settle(k, jump);
    const bool full = saturate_from(k);
    log_settled(k, &sums);
    return !full;
}

// Node 10 (ring 240): least squares over both sides of ring 240, the right
// side ending at (255, 255).
void GammaWalk::settle_last_node(const NodeSums& sums) {
    const char name = settings_.name;
    const double dx1 = 240 - last_ring_, dx2 = 15;
    // The least-squares value v at ring 240 of the two-segment curve from
    // (last ring, last value) through (240, v) to (255, 255) is P / Q.
    const double Q = sums.sxx / (dx1 * dx1) + sums.s22 / (dx2 * dx2);
    const double P = sums.s1d / dx1 - last_value_ * sums.s1 / dx1 + last_value_ * sums.sxx / (dx1 * dx1) +
                     sums.s2d / dx2 - 255 * sums.s2 / dx2 + 255 * sums.s22 / (dx2 * dx2);
    int jump;
    if (Q > -0.0001 && Q < 0.0001) {
        jump = static_cast<int>((255 - last_value_) * dx1 / (255 - last_ring_) + 0.5);
    } else {
        const int value = trunc_int(P / Q + 0.5);
        jump = value > last_value_ ? value - last_value_ : 0;
    }
    jump = clamp_jump(jump);
    double slope = jump / (240.0 - kNodeRing[next_node_]);
    if (sums.n > 0) {
        const double slope2 = limited_slope(slope, sums);
        if (slope > slope2) {
            slope = slope2;
            jump = slope > 1 ? trunc_int(dx1 * slope) : round_up(dx1 * slope);
        }
    }
    if (slope <= 0) {
        slope = 0;
        jump = 0;
    }
    if (sums.n == 0) {
        line("Shading: %c i %2d, last %2d, slope %.3f, jump %3d\n", name, 10, next_node_, slope, jump);
    } else {
        const double level_without_gamma = (1 + sums.sa / sums.n + sums.sb / sums.n) / (1 + sums.sg / sums.n);
        line("Shading: %c i %2d, last %2d, slope %.3f, jump %3d, current shading w/o gamma %.3f\n", name, 10,
             next_node_, slope, jump, level_without_gamma * settings_.target_scale);
        jump = limit_jump(jump, slope, level_without_gamma, static_cast<int>(dx1), 240, sums);
        line("Shading: %c i %2d, last %2d, limited gamma jump %3d\n", name, 10, next_node_, jump);
    }
    settle(10, jump);
    saturate_from(10);
    log_settled(10, sums.n > 0 ? &sums : nullptr);
}

GammaResult compute_gamma(const BlockStats& stats, const RadiusGeometry& geometry, const GammaInput& in,
                          const GroupRuns& runs) {
    frame::log_write("Shading: Calculate Shading Gamma R G B\n");
    frame::log_write("-------------------Calculate Shading Gamma R G B---------------\n");
    const int cs = in.curve_sel;
    const GainCode& gains = in.gains;

    std::vector<int> channels[3];  // R, G, B
    for (int c = 0; c < 4; ++c) {
        const Colour colour = colour_of(in.bayer_order, c);
        channels[colour == Colour::R ? 0 : colour == Colour::B ? 2 : 1].push_back(c);
    }
    const int colour_mantissa[3] = {gains.Kr, gains.Kg, gains.Kb};
    const char names[3] = {'R', 'G', 'B'};

    // The colours are independent; their log lines are written in order.
    GammaResult r;
    std::vector<std::string> logs[3];
    frame::run_parts(3, [&](int colour) {
        GammaSettings settings;
        settings.name = names[colour];
        settings.cmax = static_cast<double>(((((0xFFu << (cs + 8)) >> 4) *
                                              static_cast<std::uint32_t>(colour_mantissa[colour]))
                                             << gains.K) >> 12) / 1024.0;
        settings.step_limited = in.step_limited;
        settings.target_scale = in.target_scale;
        settings.shading_min = in.shading_min;
        GammaWalk walk(settings, logs[colour]);
        walk.run(ColourRuns(stats, geometry, runs, channels[colour], cs, gains.K, gains.mantissa, in.ring_count));
        std::copy(walk.nodes(), walk.nodes() + kGammaNodes, r.nodes[colour]);
    });
    for (const auto& log : logs)
        for (const std::string& l : log) frame::log_write(l.c_str());
    if (in.y_only) {
        std::copy(r.nodes[1], r.nodes[1] + kGammaNodes, r.nodes[0]);
        std::copy(r.nodes[1], r.nodes[1] + kGammaNodes, r.nodes[2]);
        frame::log_write("Shading: Compensate only Y with G gamma\n");
    }
    return r;
}

}  // namespace morvik::shading
