// C exports of the grid shading table.
#include <algorithm>

#include "frame/guard.h"
#include "frame/last_error.h"
#include "morvik/morvik.h"
#include "shading/grid_table.h"

namespace grid = morvik::shading::grid;

extern "C" MORVIK_API int32_t ShadingCalibrateEx(const shading_table_config* config, shading_table_result* result,
                                                 int32_t format, int32_t same_green) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        if (config == nullptr || result == nullptr) {
            morvik::frame::set_last_error("config or result is NULL");
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        if (const char* broken = grid::check_config(*config, format)) {
            morvik::frame::set_last_error(broken);
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        const grid::TableRun run = grid::calibrate(*config, format, same_green != 0);
        if (run.status != grid::GridStatus::ok) morvik::frame::set_last_error(grid::describe(run.status));
        if (!run.words.empty()) {
            result->count = run.count;
            std::copy(run.words.begin(), run.words.end(), result->words);
        }
        return grid::result_code(run.status);
    });
}

extern "C" MORVIK_API int32_t Shading_Calibration_Process(shading_table_state* state, const uint8_t* const planes[4],
                                                          uint16_t* const coefficients[4]) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        if (state == nullptr || planes == nullptr || coefficients == nullptr ||
            std::any_of(planes, planes + 4, [](const uint8_t* p) { return p == nullptr; }) ||
            std::any_of(coefficients, coefficients + 4, [](const uint16_t* p) { return p == nullptr; })) {
            morvik::frame::set_last_error("state, a plane or a coefficient array is NULL");
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        const grid::SplineSettings settings = grid::settings_from_state(*state);
        if (const char* broken = grid::check_settings(settings)) {
            morvik::frame::set_last_error(broken);
            return int32_t{MORVIK_STATUS_INVALID_ARGUMENT};
        }
        const grid::SplineRun run = grid::spline_stage(settings, grid::PlaneSource(planes, settings.half_width, settings.half_height));
        if (run.status == grid::GridStatus::buffer_missing) {
            morvik::frame::set_last_error(grid::describe(run.status));
            return grid::result_code(run.status);
        }
        for (int c = 0; c < 4; ++c) {
            const auto& k = run.channels[static_cast<std::size_t>(c)].coefficients;
            std::copy(k.begin(), k.end(), coefficients[c]);
        }
        state->last_cell_width = settings.half_width - (settings.nx - 2) * settings.cell_width;
        state->last_cell_height = settings.half_height - (settings.ny - 2) * settings.cell_height;
        return int32_t{0};
    });
}
