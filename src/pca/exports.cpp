// C exports of the PCA family: validate, call the core, catch everything.
#include <algorithm>
#include <cstring>

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
