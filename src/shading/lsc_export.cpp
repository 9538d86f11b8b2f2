// The C export of the lens-shading calculation.
#include "frame/guard.h"
#include "frame/last_error.h"
#include "morvik/morvik.h"
#include "shading/lsc.h"

extern "C" MORVIK_API int32_t LSC_Calculate(uint32_t chip, uint32_t bayer_order, const uint8_t* raw, uint32_t width,
                                            uint32_t height, const lsc_params* params, lsc_result* result) {
    return morvik::frame::guarded<int32_t>(1, [&]() -> int32_t {
        if (params == nullptr || result == nullptr) {
            morvik::frame::set_last_error("LSC_Calculate: params or result is null");
            return 1;
        }
        morvik::shading::LscInput in;
        in.chip = chip;
        in.bayer_order = bayer_order & 0xFFu;
        in.raw = raw;
        in.width = width & 0xFFFFu;
        in.height = height & 0xFFFFu;
        in.target_scale = params->target_scale;
        in.below_max = params->below_max;
        in.overshoot = params->overshoot;
        in.shading_min = params->shading_min;
        in.y_only = params->y_only == 1;
        const auto outcome = morvik::shading::lsc_calculate(in, result);
        if (outcome == morvik::shading::LscOutcome::ok) return 0;
        morvik::frame::set_last_error(morvik::shading::describe(outcome));
        return 1;
    });
}
