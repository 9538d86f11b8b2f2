// The lens-shading pipeline: block statistics, optical centre, radius factor
// and curve selection, gains, shading gamma. Each stage reads the results of
// the earlier ones; every failure closes the call down here.
#include "shading/lsc.h"

#include <memory>
#include <new>
#include <optional>

#include "frame/log.h"
#include "platform/platform.h"
#include "shading/block_stats.h"
#include "shading/centre.h"
#include "shading/gains.h"
#include "shading/gamma.h"
#include "shading/radius.h"

namespace morvik::shading {

namespace {

// The call's working memory: one block, laid out in the order the stages
// first touch it (the block sums, written by the image pass, come first).
class WorkingMemory {
public:
    explicit WorkingMemory(const BlockGrid& grid) {
        const std::size_t n = grid.n == 0 ? 1 : grid.n;
        const std::size_t row = static_cast<std::size_t>(grid.hn) + 1;
        std::size_t size = 0;
        sums_ = reserve<std::uint16_t>(size, 4 * n);
        stats_ = reserve<BlockStats>(size, 1);
        pow2_ = reserve<std::uint32_t>(size, GainsMemory::kPow2Entries);
        for (int c = 0; c < 4; ++c) {
            later_[c] = reserve<std::int32_t>(size, row);
            run_start_[c] = reserve<std::int32_t>(size, row);
            run_group_[c] = reserve<std::int8_t>(size, row);
        }
        size_ = size;
        base_ = static_cast<unsigned char*>(platform::allocate_working_memory(size));
    }
    ~WorkingMemory() { platform::release_working_memory(base_, size_); }
    WorkingMemory(const WorkingMemory&) = delete;
    WorkingMemory& operator=(const WorkingMemory&) = delete;

    bool ok() const { return base_ != nullptr; }
    std::uint16_t* sums() const { return at<std::uint16_t>(sums_); }
    BlockStats* stats() const { return new (base_ + stats_) BlockStats(); }
    GainsMemory gains() const {
        GainsMemory m;
        m.pow2 = at<std::uint32_t>(pow2_);
        for (int c = 0; c < 4; ++c)
            m.rows[c] = {at<std::int32_t>(later_[c]), at<std::int32_t>(run_start_[c]), at<std::int8_t>(run_group_[c])};
        return m;
    }

private:
    // Offset of `count` objects of T at the end of `size`, aligned to 64.
    template <class T>
    static std::size_t reserve(std::size_t& size, std::size_t count) {
        const std::size_t offset = (size + 63) / 64 * 64;
        size = offset + count * sizeof(T);
        return offset;
    }
    template <class T>
    T* at(std::size_t offset) const {
        return reinterpret_cast<T*>(base_ + offset);
    }

    unsigned char* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t sums_ = 0, stats_ = 0, pow2_ = 0, later_[4] = {}, run_start_[4] = {}, run_group_[4] = {};
};

using frame::log_format;
using frame::log_write;

void log_setup(const LscInput& in, const BlockGrid& grid) {
    log_write("Shading: Init\n");
    log_format("Shading: Chip: %8X\n", static_cast<unsigned>(in.chip));
    log_format("Shading: Bayer order %d (0:R,1:Gr,2:Gb,3:B)\n", static_cast<int>(in.bayer_order));
    log_format("Shading: width %d, height %d\n", static_cast<int>(in.width), static_cast<int>(in.height));
    log_format("Shading: block width %d, block height %d\n", kBlockSize, kBlockSize);
    log_format("Shading: horizontal no %d, vertical no %d\n", grid.hn, grid.vn);
    log_format("Shading: block_size %d, image_size %d\n", static_cast<int>(grid.n),
               static_cast<int>(in.width * in.height));
    log_format("Shading: Y compensate only: %1d (0: RGB, 1:Y only)\n", in.y_only ? 1 : 0);
    log_write("Shading: Memory allocation OK for shading_para\n");
    log_write("Shading: Init End\n");
}

// The log line that states why the call failed.
void log_failure(LscOutcome outcome, const RadiusResult& radius) {
    switch (outcome) {
        case LscOutcome::ok: break;
        case LscOutcome::out_of_memory: log_write("Shading Memory Allocation Error\n"); break;
        case LscOutcome::null_image: log_write("Shading: memory pointer NULL for raw image"); break;
        case LscOutcome::bayer_order_out_of_range: log_write("Shading: Bayer order out of range (0..3)\n"); break;
        case LscOutcome::no_whole_block: log_write("Shading: no whole 4x4 block in the image\n"); break;
        case LscOutcome::no_green_centre: log_write("Shading: Gr Gb center both failed\n"); break;
        case LscOutcome::far_edge_too_far:
            log_write("-------Update Radius Factor Fail: samller than zero------\n");
            break;
        case LscOutcome::curve_level_too_high:
            log_format("Shading: Fail with Radius_factor %1d, Curve_sel %1d, difference %1d\n", radius.radius_factor, 0,
                       radius.curve_level);
            break;
        case LscOutcome::scratch_out_of_memory: log_write("Shading: Memory allocation error\n"); break;
    }
}

void write_result(const CentreResult& centre, const RadiusResult& radius, const GainCode& gains,
                  const GammaResult& gamma, lsc_result* out) {
    log_write("Shading: Set Shading Gamma R G B\n");
    log_write("-------------------Set Shading Gamma R G B---------------\n");
    const char* names[3] = {"KR", "KG", "KB"};
    for (int colour = 0; colour < 3; ++colour) {
        const std::uint8_t* g = gamma.nodes[colour];
        log_format("Shading: %s %3d,%3d,%3d,%3d,%3d,%3d,%3d,%3d,%3d,%3d,%3d\n", names[colour], g[0], g[1], g[2], g[3],
                   g[4], g[5], g[6], g[7], g[8], g[9], g[10]);
    }
    log_write("Shading: Set Shading Gamma R G B End\n");
    lsc_result r;
    for (int k = 0; k < kGammaNodes; ++k) {
        r.gamma_R[k] = gamma.nodes[0][k];
        r.gamma_G[k] = gamma.nodes[1][k];
        r.gamma_B[k] = gamma.nodes[2][k];
    }
    r.center_x = centre.center_x;
    r.center_y = centre.center_y;
    r.Kr = static_cast<std::uint32_t>(gains.Kr);
    r.Kg = static_cast<std::uint32_t>(gains.Kg);
    r.Kb = static_cast<std::uint32_t>(gains.Kb);
    r.K = static_cast<std::uint32_t>(gains.K);
    r.Radius_factor = static_cast<std::uint32_t>(radius.radius_factor);
    r.Curve_sel = static_cast<std::uint32_t>(radius.curve_sel);
    *out = r;
}

// The stages after set-up, on an image that has blocks.
LscOutcome run_stages(const LscInput& in, const BlockGrid& grid, const WorkingMemory& memory, RadiusResult& radius,
                      lsc_result* out) {
    // Block sums, histograms and per-channel targets.
    BlockStats* const stats = memory.stats();
    measure_blocks(in.raw, in.width, grid, in.target_scale, memory.sums(), *stats);

    // Optical centre from parabolas through block rows and columns.
    const CentreResult centre = find_centre(*stats, in.bayer_order);
    if (!centre.found) return LscOutcome::no_green_centre;

    // Radius factor and curve selection, checked against the fall-off.
    RadiusGeometry geometry(grid, centre.center_x, centre.center_y);
    radius = choose_radius(*stats, in.width, in.height, centre.center_x, centre.center_y, geometry);
    if (radius.outcome == RadiusOutcome::far_edge) return LscOutcome::far_edge_too_far;
    if (radius.outcome == RadiusOutcome::curve_level) return LscOutcome::curve_level_too_high;

    // Gain exponent and mantissas.
    const GainResult gains = compute_gains(*stats, geometry, radius.curve_sel,
                                           GainLimits{in.target_scale, in.below_max, in.overshoot}, in.bayer_order,
                                           in.y_only, memory.gains());

    // Shading gamma per colour.
    GammaInput gamma_in;
    gamma_in.curve_sel = radius.curve_sel;
    gamma_in.gains = gains.code;
    gamma_in.target_scale = in.target_scale;
    gamma_in.shading_min = in.shading_min;
    gamma_in.step_limited = (in.chip >> 16) == MORVIK_LSC_CHIP_KT3;
    gamma_in.bayer_order = in.bayer_order;
    gamma_in.y_only = in.y_only;
    gamma_in.ring_count = gains.ring_count;
    const GammaResult gamma = compute_gamma(*stats, geometry, gamma_in, gains.runs);

    write_result(centre, radius, gains.code, gamma, out);
    return LscOutcome::ok;
}

}  // namespace

std::string_view describe(LscOutcome outcome) {
    switch (outcome) {
        case LscOutcome::ok: return "ok";
        case LscOutcome::out_of_memory: return "lens shading: out of memory for the block statistics";
        case LscOutcome::null_image: return "lens shading: the raw image pointer is null";
        case LscOutcome::bayer_order_out_of_range: return "lens shading: Bayer order above 3";
        case LscOutcome::no_whole_block: return "lens shading: the image holds no whole 4 x 4 block";
        case LscOutcome::no_green_centre: return "lens shading: no optical centre found in either green channel";
        case LscOutcome::far_edge_too_far:
            return "lens shading: the far image edge is beyond the reach of every radius factor";
        case LscOutcome::curve_level_too_high:
            return "lens shading: the far image corner is beyond the reach of every curve selection";
        case LscOutcome::scratch_out_of_memory: return "lens shading: out of memory in a calculation stage";
    }
    return "lens shading: unknown outcome";
}

LscOutcome lsc_calculate(const LscInput& in, lsc_result* out) {
    frame::Run run;
    run.open("Shading: Main Program Start");
    const BlockGrid grid = BlockGrid::of(in.width, in.height);
    RadiusResult radius;
    LscOutcome outcome = LscOutcome::ok;
    auto memory = std::make_unique<WorkingMemory>(grid);

    if (!memory->ok()) {
        outcome = LscOutcome::out_of_memory;
    } else {
        log_setup(in, grid);
        if (in.raw == nullptr) outcome = LscOutcome::null_image;
        else if (in.bayer_order > 3) outcome = LscOutcome::bayer_order_out_of_range;
        else if (grid.n == 0) outcome = LscOutcome::no_whole_block;
        else {
            try {
                outcome = run_stages(in, grid, *memory, radius, out);
            } catch (const std::bad_alloc&) {
                outcome = LscOutcome::scratch_out_of_memory;
            }
        }
    }

    // Close-down, the same on every way out.
    log_failure(outcome, radius);
    memory.reset();
    log_write("Shading: free memory\n");
    run.close("Shading: End\n", outcome == LscOutcome::ok);
    return outcome;
}

}  // namespace morvik::shading
