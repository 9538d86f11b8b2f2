// C exports of the sensor-response family.
#include <algorithm>

#include "frame/guard.h"
#include "frame/last_error.h"
#include "morvik/morvik.h"
#include "sensor/sensor.h"

extern "C" {

MORVIK_API int32_t SC_SlopeOffset_Calibration(int32_t reserved, const sc_input* input, double* gains,
                                              uint32_t* offsets, double* slopes, double* intercepts, double* ratio,
                                              double* linear_limit) {
    (void)reserved;
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        if (input == nullptr || gains == nullptr || offsets == nullptr || slopes == nullptr ||
            intercepts == nullptr || ratio == nullptr || linear_limit == nullptr || input->exposure == nullptr ||
            std::any_of(input->response, input->response + 4, [](const double* p) { return p == nullptr; })) {
            morvik::frame::set_last_error("a pointer is NULL");
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        if (input->count < 5) {
            morvik::frame::set_last_error("the series needs at least 5 points");
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        morvik::sensor::Series s;
        s.ten_bit = input->bit_mode == 1;
        s.count = input->count;
        s.exposure = input->exposure;
        std::copy(input->response, input->response + 4, s.response.begin());
        std::copy(input->black, input->black + 4, s.black.begin());
        const auto fit = morvik::sensor::slope_offset(s);
        morvik::sensor::create_curve_file(morvik::sensor::curve_file_path());  // the calibration goes on without it
        std::copy(fit.gains.begin(), fit.gains.end(), gains);
        std::copy(fit.offsets.begin(), fit.offsets.end(), offsets);
        std::copy(fit.slopes.begin(), fit.slopes.end(), slopes);
        std::copy(fit.intercepts.begin(), fit.intercepts.end(), intercepts);
        *ratio = fit.ratio;
        *linear_limit = fit.linear_limit;
        return int32_t{0};
    });
}

MORVIK_API int32_t SC_LV_Calculation(sc_lv* lv) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        if (lv == nullptr) {
            morvik::frame::set_last_error("lv is NULL");
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        if (lv->scale == 0) {
            morvik::frame::set_last_error("scale is 0");
            return int32_t{2};
        }
        const auto ladder = morvik::sensor::light_values(lv->scale, lv->base_log2);
        lv->lv_45 = ladder.lv_45;
        std::copy(ladder.lv.begin(), ladder.lv.end(), lv->lv);
        lv->level_45 = ladder.level_45;
        std::copy(ladder.level.begin(), ladder.level.end(), lv->level);
        return int32_t{0};
    });
}

}  // extern "C"
