// C exports of the white-balance family: argument checks inside the guard,
// then the core; a refusal or a short calibration records its reason.
#include <cstdint>
#include <limits>

#include "awb/awb.h"
#include "frame/guard.h"
#include "frame/log.h"

using morvik::frame::guarded;
using morvik::frame::guarded_void;

namespace {

constexpr int32_t kInvalid = MORVIK_STATUS_INVALID_ARGUMENT;

void log_request(const AWBFILTER_PARAM& p) {
    using morvik::frame::log_format;
    using morvik::frame::log_write;
    log_write("DLL: AWBFILTER_PARAM:\n");
    log_format("DLL: nFirstPixel: %d\n", int(p.nFirstPixel));
    log_format("DLL: SUPSEL: %d\n", int(p.SUPSEL));
    log_format("DLL: U_GAIN: %d\n", int(p.U_GAIN));
    log_format("DLL: V_GAIN: %d\n", int(p.V_GAIN));
    log_format("DLL: Y_LIMIT: %d\n", int(p.Y_LIMIT));
    log_format("DLL: S_RB_P: %d\n", int(p.S_RB_P));
    log_format("DLL: S_RB_N: %d\n", int(p.S_RB_N));
    log_format("DLL: S_MG_P: %d\n", int(p.S_MG_P));
    log_format("DLL: S_MG_N: %d\n", int(p.S_MG_N));
}

// Status of a refused or failed request, with its reason recorded.
int32_t refuse(morvik::awb::Outcome o) {
    return morvik::frame::refuse<int32_t>(
        o == morvik::awb::Outcome::no_projection ? MORVIK_AWB_NO_PROJECTION : kInvalid, o);
}

}  // namespace

extern "C" {

MORVIK_API int32_t AWB_Calibration(int32_t /*algorithm*/, int32_t count, int32_t upperKey, int32_t lowerKey,
                                   const AwbGreyStatistics* entries, AwbCalibrationResult* result) {
    namespace awb = morvik::awb;
    return guarded(kInvalid, [&]() -> int32_t {
        const std::size_t n = static_cast<std::uint32_t>(count) & 0xFFu;
        if (entries == nullptr || result == nullptr) return refuse(awb::Outcome::null_pointer);
        if (n < awb::kMinEntries || n > awb::kMaxEntries) return refuse(awb::Outcome::bad_count);
        const awb::Calibration c =
            awb::calibrate({entries, n}, static_cast<std::uint16_t>(static_cast<std::uint32_t>(upperKey) & 0xFFFFu),
                           static_cast<std::uint16_t>(static_cast<std::uint32_t>(lowerKey) & 0xFFFFu));
        // No projection still delivers the gains; a zero median writes nothing.
        if (c.status != awb::Outcome::zero_median) *result = c.result;
        return c.status == awb::Outcome::ok ? MORVIK_STATUS_OK : refuse(c.status);
    });
}

MORVIK_API void AWB_WIN_AUTO_CAL(const AwbLightStatistics* lights, AwbWindow* windows) {
    guarded_void([&] {
        if (lights == nullptr || windows == nullptr) return morvik::frame::refuse_void(morvik::awb::Outcome::null_pointer);
        const auto w = morvik::awb::light_windows(std::span<const AwbLightStatistics, 5>(lights, 5));
        for (std::size_t i = 0; i < w.size(); ++i) windows[i] = w[i];
    });
}

MORVIK_API int32_t AWB_Small_win_Calibration(const AwbIntWindow* large, AwbIntWindow* small) {
    return guarded(kInvalid, [&]() -> int32_t {
        if (large == nullptr || small == nullptr) return refuse(morvik::awb::Outcome::null_pointer);
        const auto w = morvik::awb::small_windows(std::span<const AwbIntWindow, 4>(large, 4));
        for (std::size_t i = 0; i < w.size(); ++i) small[i] = w[i];
        return MORVIK_STATUS_OK;
    });
}

MORVIK_API int32_t AWB_Update_11_Window_Before_Apply(const AwbIntWindow* windows) {
    return guarded(kInvalid, [&]() -> int32_t {
        if (windows == nullptr) return refuse(morvik::awb::Outcome::null_pointer);
        morvik::awb::set_applied_windows(
            std::span<const AwbIntWindow, morvik::awb::kAppliedWindows>(windows, morvik::awb::kAppliedWindows));
        return MORVIK_STATUS_OK;
    });
}

MORVIK_API int32_t AWB_Filter(const AWBFILTER_PARAM* param, uint8_t* mask, uint8_t* rgb) {
    return guarded(kInvalid, [&]() -> int32_t {
        if (param == nullptr || param->raw == nullptr || mask == nullptr || rgb == nullptr) {
            return refuse(morvik::awb::Outcome::null_pointer);
        }
        // The raw frame and the colour output must be addressable.
        const std::uint64_t samples = std::uint64_t(param->width) * param->height;
        if (samples > std::numeric_limits<std::size_t>::max() / 3) return refuse(morvik::awb::Outcome::frame_too_large);
        log_request(*param);
        if (param->width < 2 || param->height < 2) return MORVIK_STATUS_OK;
        const morvik::awb::FilterParams p{param->nFirstPixel, param->SUPSEL, param->U_GAIN,
                                          param->V_GAIN,      param->Y_LIMIT, param->S_RB_P,
                                          param->S_RB_N,      param->S_MG_P,  param->S_MG_N};
        morvik::awb::filter_frame(p, param->raw, param->width, param->height, mask, rgb);
        return MORVIK_STATUS_OK;
    });
}

}  // extern "C"
