// C exports of the PCA family: validate, call the core, catch everything.
#include <algorithm>
#include <cstddef>
#include <span>

#include "frame/guard.h"
#include "morvik/morvik.h"
#include "pca/pca.h"

namespace pca = morvik::pca;

extern "C" {

MORVIK_API int32_t atan2_hw_360(int32_t y, int32_t x) {
    return morvik::frame::guarded<int32_t>(0, [&] { return int32_t{pca::hue_angle(y, x)}; });
}

MORVIK_API int32_t pca_core(uint32_t* y, uint32_t* u, uint32_t* v, int32_t hue_offset, int32_t chroma_threshold,
                            int32_t full_circle, const int32_t* hue_table, const int32_t* sat_table,
                            const int32_t* luma_table) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        if (!y || !u || !v || !hue_table || !sat_table || !luma_table) {
            morvik::frame::set_last_error("pca_core: null pointer");
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        if (hue_offset < 0 || hue_offset > 359) {
            morvik::frame::set_last_error("pca_core: hue offset outside 0..359");
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        const pca::TableView table{hue_table, sat_table, luma_table, full_circle != 0};
        return int32_t{pca::pca_pixel(*y, *u, *v, hue_offset, chroma_threshold, table)};
    });
}

}  // extern "C"

namespace {

static_assert(sizeof(pca_gen_settings) == 40 && offsetof(pca_gen_settings, patch_count) == 32);
static_assert(sizeof(pca_tuning_request) == 56 && offsetof(pca_tuning_request, strength) == 52);

}  // namespace

extern "C" {

MORVIK_API int32_t AutoGenTable(const int32_t* patches, int32_t* table, const pca_gen_settings* settings) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        if (!patches || !table || !settings) {
            morvik::frame::set_last_error("AutoGenTable: null pointer");
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        pca::GenSettings s;
        s.skip_limiter = settings->skip_limiter != 0;
        s.chroma_threshold = settings->chroma_threshold;
        s.limits = {settings->hue_limit, settings->sat_limit, settings->luma_limit};
        s.patch_count = settings->patch_count;
        const auto g = pca::generate(std::span<const int32_t, 6 * pca::kPatchSlots>(patches, 6 * pca::kPatchSlots), s);
        if (g.outcome != pca::GenOutcome::ok) {
            morvik::frame::set_last_error(pca::describe(g.outcome));
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        std::copy(g.table.begin(), g.table.end(), table);
        return int32_t{MORVIK_STATUS_OK};
    });
}

MORVIK_API int32_t AdvTuning(const pca_tuning_request* request, int32_t* table, int32_t* report) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        if (!request || !table || !report) {
            morvik::frame::set_last_error("AdvTuning: null pointer");
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        pca::TuningRequest rq;
        rq.source = {request->source[0], request->source[1], request->source[2]};
        rq.target = {request->target[0], request->target[1], request->target[2]};
        rq.range_below = request->range_below;
        rq.range_above = request->range_above;
        rq.hue_limit = request->hue_limit;
        rq.sat_limit = request->sat_limit;
        rq.max_steps = request->max_steps;
        rq.strength = request->strength;
        const auto t = pca::tune(rq, std::span<int32_t, 2 * pca::kBins>(table, 2 * pca::kBins));
        std::copy(t.report.begin(), t.report.end(), report);
        if (t.outcome != pca::TuneOutcome::ok) {
            morvik::frame::set_last_error(pca::describe(t.outcome));
            return int32_t{MORVIK_PCA_TOO_MANY_STEPS};
        }
        return int32_t{MORVIK_STATUS_OK};
    });
}

}  // extern "C"
