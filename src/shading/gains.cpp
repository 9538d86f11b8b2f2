#include "shading/gains.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "frame/log.h"
#include "frame/parallel.h"
#include "shading/numeric.h"

namespace morvik::shading {

namespace {

using frame::log_format;
using frame::log_write;

// pow2_fix(d, 16) for every difference d of a log gain need (-16384..16384)
// and a log scaled r2 (-32768..6144): the domain -16384..16383 of pow2_fix
// and, either side of it, the clamped end values, so that no clamp is needed.
inline std::uint32_t pow2_at(const std::uint32_t* pow2, int d) {
    return pow2[static_cast<std::ptrdiff_t>(d) - GainsMemory::kPow2Lowest];
}

void fill_pow2(std::uint32_t* pow2) {
    std::uint32_t* const domain = pow2 + (-16384 - GainsMemory::kPow2Lowest);
    pow2_fix_table16(domain);
    std::fill(pow2, domain, domain[0]);
    std::fill(domain + 32768, pow2 + GainsMemory::kPow2Entries, domain[32767]);
}

// The per-block accumulation in its plain form, for channels whose sums of k
// leave the range where the fast pass is exact.
RingSums plain_ring_sums(const BlockStats& stats, const RadiusGeometry& geometry, int c, int curve_sel,
                         const std::uint32_t* pow2) {
    RingSums rings;
    const BlockGrid& grid = stats.grid;
    for (int v = 0; v < grid.vn; ++v)
        for (int h = 0; h < grid.hn; ++h) {
            const std::uint16_t sum = stats.sums[c][grid.index(v, h)];
            const double g = stats.gain_need[c][sum];
            if (!(g > 0)) continue;
            const std::uint32_t r2 = geometry.r2(c, v, h);
            const int ring = ring_of(r2, curve_sel);
            ++rings.count[ring];
            rings.k[ring] += pow2_at(pow2, std::clamp(log_difference(stats, geometry, c, sum, r2), -16384, 16383)) / 65536.0;
            rings.g[ring] += g;
        }
    return rings;
}

// Every k is a whole number of 1/65536 units, so while a ring's total stays
// within 2^53 units every partial double sum of k is exact: the sums are kept
// as integers (in any order) and converted once. The sums of g are doubles
// and are added in block order, in registers along runs of equal rings.
// Each block row is read in one loop free of calls, so that the running sums
// stay in registers: a block whose log r2 is not yet remembered is put aside
// and its k added to its ring's integer sum after the row.
RingSums fast_ring_sums(const BlockStats& stats, const RadiusGeometry& geometry, int c, int curve_sel,
                        const std::uint32_t* pow2, const GainsMemory::Row& row_memory, GroupRuns* runs,
                        std::uint64_t exact_k_units = kExactKUnits) {
    std::uint32_t count[256] = {};
    std::uint64_t k_units[256] = {};
    double g_sums[256] = {};
    const int hn = stats.grid.hn, vn = stats.grid.vn;
    const int shift = curve_sel + 8;
    const std::uint32_t ring_width = std::uint32_t{1} << shift;
    const std::uint32_t* dx2 = geometry.dx2(c);
    const RadiusGeometry::LogR2Reader log_r2(geometry);
    // Per block sum: the log gain need, or kNoNeed; and the g that the sums
    // take, +0.0 where there is no need (adding +0.0 leaves a sum that
    // started at +0.0 unchanged).
    constexpr std::int32_t kNoNeed = INT32_MIN / 2;
    std::int32_t need_log[kMaxBlockSum + 1];
    double need_g[kMaxBlockSum + 1];
    for (int s = 0; s <= kMaxBlockSum; ++s) {
        const bool need = stats.gain_need[c][s] > 0;
        need_log[s] = need ? stats.log_gain_need[c][s] : kNoNeed;
        need_g[s] = need ? stats.gain_need[c][s] : 0.0;
    }
    // Per block row: the blocks put aside, and where each group run starts
    // with its group (at most one run per block).
    std::int32_t* const later = row_memory.later;
    std::int32_t* const starts = row_memory.run_start;
    std::int8_t* const start_groups = row_memory.run_group;
    std::vector<BlockRun> found;
    std::vector<std::int8_t> groups;
    if (runs) {
        found.reserve(static_cast<std::size_t>(vn) * 24);
        groups.reserve(static_cast<std::size_t>(vn) * 24);
    }
    for (int v = 0; v < vn; ++v) {
        const std::uint16_t* row = stats.sums[c] + stats.grid.index(v, 0);
        const std::uint32_t dy2 = geometry.dy2(c, v);
        // A block stays in the current ring while r2 - ring_low < ring_width,
        // which is one comparison instead of a shift per block; the first
        // block starts a ring (its r2 - ring_low wraps to 2^32 - ring_width).
        int ring = -1, group = -2, run_count = 0, pending = 0;
        std::uint32_t ring_low = (hn > 0 ? dx2[0] + dy2 : 0) + ring_width;
        std::uint32_t n = 0;
        std::uint64_t k_sum = 0;
        double g_sum = 0;
        for (int h = 0; h < hn; ++h) {
            const std::uint32_t r2 = dx2[h] + dy2;
            if (r2 - ring_low >= ring_width) {
                if (ring >= 0) {
                    count[ring] = n;
                    k_units[ring] = k_sum;
                    g_sums[ring] = g_sum;
                }
                ring = static_cast<std::uint8_t>(r2 >> shift);
                ring_low = r2 & ~(ring_width - 1);
                n = count[ring];
                k_sum = k_units[ring];
                g_sum = g_sums[ring];
                const int block_group = kRingGroups.group[ring];
                if (block_group != group) {
                    starts[run_count] = h;
                    start_groups[run_count] = static_cast<std::int8_t>(block_group);
                    ++run_count;
                    group = block_group;
                }
            }
            const std::uint16_t sum = row[h];
            g_sum += need_g[sum];
            const std::int32_t log_need = need_log[sum];
            if (log_need == kNoNeed) continue;
            ++n;
            std::int16_t log_radius;
            if (log_r2.known(r2, log_radius)) k_sum += pow2_at(pow2, log_need - log_radius);
            else later[pending++] = h;
        }
        if (ring >= 0) {
            count[ring] = n;
            k_units[ring] = k_sum;
            g_sums[ring] = g_sum;
        }
        for (int i = 0; i < pending; ++i) {
            const int h = later[i];
            const std::uint32_t r2 = dx2[h] + dy2;
            k_units[static_cast<std::uint8_t>(r2 >> shift)] += pow2_at(pow2, need_log[row[h]] - log_r2(r2));
        }
        if (runs) {
            starts[run_count] = hn;
            for (int i = 0; i < run_count; ++i)
                if (start_groups[i] >= 0) {
                    found.push_back({v, starts[i], starts[i + 1] - 1});
                    groups.push_back(start_groups[i]);
                }
        }
    }
    RingSums rings;
    std::copy(count, count + 256, rings.count);
    std::copy(g_sums, g_sums + 256, rings.g);
    for (int r = 0; r < 256; ++r) {
        if (k_units[r] > exact_k_units) {
            const RingSums plain = plain_ring_sums(stats, geometry, c, curve_sel, pow2);
            std::copy(plain.k, plain.k + 256, rings.k);
            break;
        }
        rings.k[r] = to_double(k_units[r]) / 65536.0;
    }
    if (runs) runs->assign(c, found, groups);
    return rings;
}

}  // namespace

void GroupRuns::assign(int c, const std::vector<BlockRun>& runs, const std::vector<std::int8_t>& groups) {
    std::uint32_t count[kGammaNodes] = {};
    for (const std::int8_t g : groups) ++count[g];
    start_[c][0] = 0;
    for (int g = 0; g < kGammaNodes; ++g) start_[c][g + 1] = start_[c][g] + count[g];
    std::uint32_t next[kGammaNodes];
    std::copy(start_[c], start_[c] + kGammaNodes, next);
    runs_[c].resize(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) runs_[c][next[groups[i]]++] = runs[i];
}

RingSums ring_sums(const BlockStats& stats, const RadiusGeometry& geometry, int c, int curve_sel, GroupRuns* runs,
                   std::uint64_t exact_k_units) {
    std::vector<std::uint32_t> pow2(GainsMemory::kPow2Entries);
    std::vector<std::int32_t> run_start(static_cast<std::size_t>(stats.grid.hn) + 1);
    std::vector<std::int8_t> run_group(static_cast<std::size_t>(stats.grid.hn) + 1);
    std::vector<std::int32_t> later(static_cast<std::size_t>(stats.grid.hn) + 1);
    fill_pow2(pow2.data());
    return fast_ring_sums(stats, geometry, c, curve_sel, pow2.data(),
                          {later.data(), run_start.data(), run_group.data()}, runs, exact_k_units);
}

double first_kt(const RingSums& rings, std::size_t blocks, bool& found) {
    std::uint64_t m = static_cast<std::uint64_t>(0.1 * static_cast<double>(blocks) + 0.5);
    if (m == 0) m = 1;
    double k_sum = 0;
    const std::uint64_t count = sum_top_m(
        255, 0, -1, m, [&](int ring) { return std::uint64_t{rings.count[ring]}; },
        [&](int ring, std::uint64_t taken, bool partial) {
            if (partial) k_sum += static_cast<double>(taken) * rings.k[ring] / rings.count[ring];
            else k_sum += rings.k[ring];
        });
    found = count != 0;
    return found ? k_sum / static_cast<double>(count) : 1.0;
}

double corrected_kt(const RingSums& rings, double kt, const GainLimits& limits) {
    const double lim = (limits.below_max + 1) / limits.target_scale;
    const double spread = limits.overshoot / limits.target_scale;
    // Ring means of k and g, kept for the rest of the walk.
    double mean_k[256] = {}, mean_g[256] = {};
    double highest = 0, lowest = 2.0;
    int ring_of_highest = 0;
    for (int r = 255; r >= 0; --r) {
        if (rings.count[r] == 0) continue;
        mean_k[r] = rings.k[r] / rings.count[r];
        mean_g[r] = rings.g[r] / rings.count[r];
        if (mean_k[r] <= 0 || mean_g[r] == 0) continue;
        // Compensated level of the ring relative to its target.
        const double level = (mean_g[r] * kt / mean_k[r] + 1) / (mean_g[r] + 1);
        if (level > highest) {
            highest = level;
            ring_of_highest = r;
        }
        if (level > lim) {
            ring_of_highest = r;
            kt = ((mean_g[r] + 1) * lim - 1) * mean_k[r] / mean_g[r];
            highest = lim;
            continue;
        }
        if (level < lowest && ring_of_highest > r) {
            lowest = level;
            if (highest - level > spread) {
                // Ring a (this one) and ring b (the highest): the kt that puts
                // b exactly `spread` above a.
                const double ga = mean_g[r], ka = mean_k[r];
                const double gb = mean_g[ring_of_highest], kb = mean_k[ring_of_highest];
                kt = (spread * (ga + 1) * (gb + 1) + (gb + 1) - (ga + 1)) / ((ga + 1) * gb / kb - (gb + 1) * ga / ka);
                const double level_b = (gb * kt / kb + 1) / (gb + 1);
                if (level_b < level) {
                    kt = ((gb + 1) * level - 1) * kb / gb;
                    highest = level;
                } else {
                    highest = level_b;
                }
                lowest = (ga * kt / ka + 1) / (ga + 1);
            }
        }
    }
    return kt;
}

GainLogTable::GainLogTable() {
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 255; ++i)
            entry[j][i] = saturate16(static_cast<long long>(log2_fix(65536u * static_cast<std::uint32_t>(i + 1), 16)) +
                                     1024 * j);
}

GainCode encode_gains(const int log_kt_in[4], unsigned bayer_order, bool y_only, const GainLogTable& table) {
    // gain_log[j][i]: log2 of the gain factor (i + 1) * 2^j.
    const auto& gain_log = table.entry;
    int log_kt[4] = {log_kt_in[0], log_kt_in[1], log_kt_in[2], log_kt_in[3]};
    log_write("Shading: Get one K, KR, one KG, & KB\n");
    if (y_only) {
        int lowest = 32767;
        for (int c = 0; c < 4; ++c) lowest = std::min(lowest, log_kt[c]);
        for (int c = 0; c < 4; ++c) log_kt[c] = lowest;
        log_format("Shading: Compensate Y only, K %6d\n", lowest);
    }
    // Nearest representable value at or below each channel's log, for the log.
    for (int c = 0; c < 4; ++c) {
        int best_log = gain_log[3][254], best_j = 3, best_mantissa = 255;
        if (log_kt[c] < gain_log[3][254]) {
            int best_diff = 65536;
            for (int j = 0; j < 4 && best_diff != 0; ++j)
                for (int i = 0; i < 255; ++i) {
                    if (gain_log[j][i] > log_kt[c]) break;
                    if (log_kt[c] - gain_log[j][i] < best_diff) {
                        best_diff = log_kt[c] - gain_log[j][i];
                        best_log = gain_log[j][i];
                        best_j = j;
                        best_mantissa = i + 1;
                        if (best_diff == 0) break;
                    }
                }
        }
        log_format("Shading: i %1d, Kr %6d, Kc %1d, Krgb %1d\n", c, best_log, best_j, best_mantissa);
    }

    // Colour logs; G is the smaller green.
    int LR, LG, LB;
    switch (bayer_order) {
        case 0: LR = log_kt[0]; LG = std::min(log_kt[1], log_kt[2]); LB = log_kt[3]; break;
        case 1: LR = log_kt[1]; LG = std::min(log_kt[0], log_kt[3]); LB = log_kt[2]; break;
        case 2: LR = log_kt[2]; LG = std::min(log_kt[0], log_kt[3]); LB = log_kt[1]; break;
        default: LR = log_kt[3]; LG = std::min(log_kt[1], log_kt[2]); LB = log_kt[0]; break;
    }
    log_write("-------------------Get K_TR K_TG K_TB---------------\n");
    log_format("Shading: Kr %6d, Kg %6d, Kb %6d\n", LR, LG, LB);

    GainCode code;
    const int lowest = std::min({LR, LG, LB});
    if (lowest >= 0) {
        // The exponent whose mantissas leave the smallest summed residual;
        // ties keep the smaller exponent.
        int best_residual = 0;
        const int logs[3] = {LR, LG, LB};
        for (int j = 0; j < 4; ++j) {
            if (j > 0 && lowest < 1024 * j) break;
            int mantissa[3], residual = 0;
            for (int x = 0; x < 3; ++x) {
                if (logs[x] > gain_log[j][254]) {
                    mantissa[x] = 255;
                    residual += logs[x] - gain_log[j][254];
                } else {
                    int i = 254;
                    while (i > 0 && gain_log[j][i] > logs[x]) --i;
                    mantissa[x] = i + 1;
                    residual += logs[x] - gain_log[j][i];
                }
            }
            residual = saturate16(residual);
            if (j == 0 || residual < best_residual) {
                best_residual = residual;
                code.K = j;
                code.Kr = mantissa[0];
                code.Kg = mantissa[1];
                code.Kb = mantissa[2];
            }
        }
    }
    log_write("-------------------Get K_TR K_TG K_TB---------------\n");
    log_format("Shading: K %1d Kr %1d, Kg %1d, Kb %1d\n", code.K, code.Kr, code.Kg, code.Kb);
    for (int c = 0; c < 4; ++c) {
        const Colour colour = colour_of(bayer_order, c);
        code.mantissa[c] = colour == Colour::R ? code.Kr : colour == Colour::B ? code.Kb : code.Kg;
    }
    log_write("Shading: Get one K, KR, one KG, & KB End\n");
    return code;
}

GainResult compute_gains(const BlockStats& stats, const RadiusGeometry& geometry, int curve_sel,
                         const GainLimits& limits, unsigned bayer_order, bool y_only, const GainsMemory& memory) {
    log_write("Shading: Get K & KR KGr KGb KB\n");
    log_write("-------------------Get K Kr Kgr Kgb Kb---------------\n");
    const GainLogTable table;
    GainResult r;
    fill_pow2(memory.pow2);
    // The channels are independent; they are logged in order.
    int first_log[4] = {};
    frame::run_parts(4, [&](int c) {
        const auto rings = std::make_unique<RingSums>(fast_ring_sums(stats, geometry, c, curve_sel, memory.pow2, memory.rows[c], &r.runs));
        bool found = false;
        const double first = first_kt(*rings, stats.grid.n, found);
        first_log[c] = found ? log2_fixed16(first) : 0;
        std::copy(rings->count, rings->count + 256, r.ring_count[c]);
        r.log_kt[c] = log2_fixed16(corrected_kt(*rings, first, limits));
    });
    for (int c = 0; c < 4; ++c) {
        log_format("Shading: i %1d, first parse kt by log2 %6d\n", c, first_log[c]);
        log_format("Shading: i %1d, second parse kt by log2 %6d, below max %.3f, overshoot %.3f\n", c, r.log_kt[c],
                   limits.below_max + 1, limits.overshoot);
    }
    log_write("Shading: Get K & KR KGr KGb KB End\n");
    r.code = encode_gains(r.log_kt, bayer_order, y_only, table);
    return r;
}

}  // namespace morvik::shading
