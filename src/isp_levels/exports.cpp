// The register and level exports: validate pointers, call the core on a
// block of the family's size, record the reason of a refusal.
#include <cstdio>

#include "frame/guard.h"
#include "frame/last_error.h"
#include "isp_levels/levels.h"
#include "morvik/morvik.h"

namespace {

namespace lv = morvik::isp_levels;
using lv::Outcome;

int32_t refuse(Outcome outcome) {
    morvik::frame::set_last_error(lv::describe(outcome));
    return MORVIK_STATUS_INVALID_ARGUMENT;
}

// A SET on a block of N words: MORVIK_STATUS_INVALID_ARGUMENT when `reg` is
// null or the core refuses the level, nothing written.
template <std::size_t N, class F>
int32_t set_export(uint32_t* reg, F&& body) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&]() -> int32_t {
        if (reg == nullptr) return refuse(Outcome::null_pointer);
        const Outcome outcome = body(lv::Block(reg, N));
        return outcome == Outcome::ok ? MORVIK_STATUS_OK : refuse(outcome);
    });
}

template <std::size_t N, class F>
int32_t set_export_void(uint32_t* reg, F&& body) {
    return set_export<N>(reg, [&](lv::Block b) {
        body(b);
        return Outcome::ok;
    });
}

// A GET on a block of N words: the level, with `changed` written; 0 with
// nothing written when a pointer is null.
template <std::size_t N, class F>
int32_t get_export(const uint32_t* reg, int32_t* changed, F&& body) {
    return morvik::frame::guarded<int32_t>(0, [&]() -> int32_t {
        if (reg == nullptr || changed == nullptr) {
            refuse(Outcome::null_pointer);
            return 0;
        }
        const lv::Level level = body(lv::ConstBlock(reg, N));
        *changed = level.changed ? 1 : 0;
        return level.level;
    });
}

}  // namespace

// ---- demosaic and edge-enhancement sliders

extern "C" MORVIK_API int32_t ISP_KT2_DM_ALLSLIDER_REG(uint32_t* reg, int32_t slider1, int32_t slider2) {
    return set_export<lv::dm::kWords>(reg, [&](lv::Block b) { return lv::dm_set(b, slider1, slider2); });
}

extern "C" MORVIK_API int32_t ISP_KT2_DM_REG_ALLSLIDER(const uint32_t* reg, int32_t* slider1, int32_t* slider2,
                                                        int32_t* modified) {
    return morvik::frame::guarded<int32_t>(0, [&]() -> int32_t {
        if (reg == nullptr || slider1 == nullptr || slider2 == nullptr || modified == nullptr) {
            refuse(Outcome::null_pointer);
            return 0;
        }
        const lv::DmSliders s = lv::dm_get(lv::ConstBlock(reg, lv::dm::kWords));
        if (s.modified) std::fputs(lv::kDmWarning, stdout);
        *slider1 = s.slider1;
        *slider2 = s.slider2;
        *modified = s.modified ? 1 : 0;
        return 0;
    });
}

extern "C" MORVIK_API int32_t ISP_KT2_EE_ALLSLIDER_REG(uint32_t* reg, int32_t slider1, int32_t slider2,
                                                        int32_t slider3) {
    return set_export_void<lv::ee::kWords>(reg, [&](lv::Block b) { lv::ee_set(b, slider1, slider2, slider3); });
}

extern "C" MORVIK_API int32_t ISP_KT2_EE_REG_ALLSLIDER(const uint32_t* reg, int32_t* slider1, int32_t* slider2,
                                                        int32_t* slider3, int32_t* modified) {
    return morvik::frame::guarded<int32_t>(0, [&]() -> int32_t {
        if (reg == nullptr || slider1 == nullptr || slider2 == nullptr || slider3 == nullptr || modified == nullptr) {
            refuse(Outcome::null_pointer);
            return 0;
        }
        const lv::EeSliders s = lv::ee_get(lv::ConstBlock(reg, lv::ee::kWords));
        if (s.modified) std::fputs(lv::kEeWarning, stdout);
        *slider1 = s.slider1;
        *slider2 = s.slider2;
        *slider3 = s.slider3;
        *modified = s.modified ? 1 : 0;
        return 0;
    });
}

// ---- 3D noise reduction

extern "C" MORVIK_API int32_t ISP_KT2_NR3D_SET_STRENGTH_REG(uint32_t* reg, int32_t level) {
    return set_export_void<lv::nr3d::kWords>(reg, [&](lv::Block b) { lv::nr3d_set_strength(b, level); });
}

extern "C" MORVIK_API int32_t ISP_KT2_NR3D_STRENGTH_GET_LEL(const uint32_t* reg, int32_t* changed) {
    return get_export<lv::nr3d::kWords>(reg, changed, [](lv::ConstBlock b) { return lv::nr3d_strength(b); });
}

#define MORVIK_NR3D_NOISE(SET, GET, CHANNEL)                                                                   \
    extern "C" MORVIK_API int32_t SET(uint32_t* reg, int32_t level) {                                          \
        return set_export_void<lv::nr3d::kWords>(reg,                                                          \
                                                 [&](lv::Block b) { lv::nr3d_set_noise(b, CHANNEL, level); }); \
    }                                                                                                          \
    extern "C" MORVIK_API int32_t GET(const uint32_t* reg, int32_t* changed) {                                 \
        return get_export<lv::nr3d::kWords>(reg, changed,                                                      \
                                            [](lv::ConstBlock b) { return lv::nr3d_noise(b, CHANNEL); });      \
    }

MORVIK_NR3D_NOISE(ISP_KT2_NR3D_SET_YNOISE_REG, ISP_KT2_NR3D_YNOISE_GET_LEL, lv::nr3d::y)
MORVIK_NR3D_NOISE(ISP_KT2_NR3D_SET_UNOISE_REG, ISP_KT2_NR3D_UNOISE_GET_LEL, lv::nr3d::u)
MORVIK_NR3D_NOISE(ISP_KT2_NR3D_SET_VNOISE_REG, ISP_KT2_NR3D_VNOISE_GET_LEL, lv::nr3d::v)
#undef MORVIK_NR3D_NOISE

// ---- multi-frame blending

extern "C" MORVIK_API int32_t ISP_KT2_MFLL_SET_MIXER_REG(uint32_t* reg, int32_t level) {
    return set_export_void<lv::mfll::kWords>(reg, [&](lv::Block b) { lv::mfll_set_mixer(b, level); });
}

extern "C" MORVIK_API int32_t ISP_KT2_MFLL_MIXER_GET_LEL(const uint32_t* reg, int32_t* changed) {
    return get_export<lv::mfll::kWords>(reg, changed, [](lv::ConstBlock b) { return lv::mfll_mixer(b); });
}

extern "C" MORVIK_API int32_t ISP_KT2_MFLL_SET_MFB_TH_REG(uint32_t* reg, int32_t level) {
    return set_export_void<lv::mfll::kWords>(reg, [&](lv::Block b) { lv::mfll_set_threshold(b, level); });
}

extern "C" MORVIK_API int32_t ISP_KT2_MFLL_MFB_TH_GET_LEL(const uint32_t* reg, int32_t* changed) {
    return get_export<lv::mfll::kWords>(reg, changed, [](lv::ConstBlock b) { return lv::mfll_threshold(b); });
}

// ---- spatial noise reduction

extern "C" MORVIK_API int32_t ISP_KT2_ANR_SET_Y_STRENGTH_REG(uint32_t* reg, int32_t level) {
    return set_export_void<lv::anr::kWords>(reg, [&](lv::Block b) { lv::anr_set_y_strength(b, level); });
}

extern "C" MORVIK_API int32_t ISP_KT2_ANR_Y_STR_GET_LEL(const uint32_t* reg, int32_t* changed) {
    return get_export<lv::anr::kWords>(reg, changed, [](lv::ConstBlock b) { return lv::anr_y_strength(b); });
}

extern "C" MORVIK_API int32_t ISP_KT2_ANR_SET_C_STRENGTH_REG(uint32_t* reg, int32_t level) {
    return set_export_void<lv::anr::kWords>(reg, [&](lv::Block b) { lv::anr_set_c_strength(b, level); });
}

extern "C" MORVIK_API int32_t ISP_KT2_ANR_C_STR_GET_LEL(const uint32_t* reg, int32_t* changed) {
    return get_export<lv::anr::kWords>(reg, changed, [](lv::ConstBlock b) { return lv::anr_c_strength(b); });
}

extern "C" MORVIK_API int32_t ISP_KT2_ANR_SET_Y_NOISE_REG(uint32_t* reg, int32_t level, int32_t companion) {
    return set_export<lv::anr::kWords>(reg, [&](lv::Block b) { return lv::anr_set_y_noise(b, level, companion); });
}

extern "C" MORVIK_API int32_t ISP_KT2_ANR_Y_NOISE_GET_LEL(const uint32_t* reg, int32_t* changed) {
    return get_export<lv::anr::kWords>(reg, changed, [](lv::ConstBlock b) { return lv::anr_y_noise(b); });
}

extern "C" MORVIK_API int32_t ISP_KT2_ANR_SET_C_NOISE_REG(uint32_t* reg, int32_t level) {
    return set_export<lv::anr::kWords>(reg, [&](lv::Block b) { return lv::anr_set_c_noise(b, level); });
}

extern "C" MORVIK_API int32_t ISP_KT2_ANR_C_NOISE_GET_LEL(const uint32_t* reg, int32_t* changed) {
    return get_export<lv::anr::kWords>(reg, changed, [](lv::ConstBlock b) { return lv::anr_c_noise(b); });
}

// ---- chroma reduction and saturation

extern "C" MORVIK_API int32_t ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(uint32_t* reg, int32_t level) {
    return set_export_void<lv::ccr::kWords>(reg, [&](lv::Block b) { lv::ccr_set(b, level); });
}

extern "C" MORVIK_API int32_t ISP_KT2_CHROMA_REDUCT_GET_LEL(const uint32_t* reg, int32_t* changed) {
    return get_export<lv::ccr::kWords>(reg, changed, [](lv::ConstBlock b) { return lv::ccr_get(b); });
}

extern "C" MORVIK_API int32_t ISP_KT2_ANR_SET_SATURATION_REG(uint32_t* reg, int32_t level, int32_t table) {
    return set_export<lv::sat::kWords>(reg, [&](lv::Block b) { return lv::sat_set(b, level, table); });
}

extern "C" MORVIK_API int32_t ISP_KT2_PCA_SAT_GET_LEL(const uint32_t* reg, int32_t table) {
    return morvik::frame::guarded<int32_t>(0, [&]() -> int32_t {
        if (reg == nullptr) return refuse(Outcome::null_pointer), 0;
        if (table < 0 || table >= lv::sat::kTables) return refuse(Outcome::table_out_of_range), 0;
        return lv::sat_get(lv::ConstBlock(reg, lv::sat::kWords), table);
    });
}
