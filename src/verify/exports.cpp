// The verification exports: check the request inside the guard, measure,
// log the framed block, fill the caller's record.
#include "frame/guard.h"
#include "frame/log.h"
#include "morvik/morvik.h"
#include "verify/verify.h"

namespace {

using morvik::frame::log_format;
using morvik::frame::log_write;
namespace verify = morvik::verify;

// The host's status for a refused request.
std::int32_t refuse(verify::Outcome o) {
    return morvik::frame::refuse<std::int32_t>(
        o == verify::Outcome::unknown_format ? MORVIK_VERIFY_BAD_FORMAT : MORVIK_STATUS_INVALID_ARGUMENT, o);
}

void copy_stats(const verify::ChannelStats& st, double* mean, double* std) {
    for (int k = 0; k < 4; ++k) {
        mean[k] = st.mean[k];
        std[k] = st.std[k];
    }
}

}  // namespace

extern "C" MORVIK_API int32_t Defect_Verify(const uint8_t* image, int32_t format, int32_t bayerOrder, int32_t width,
                                            int32_t height, int32_t threshold, DefectVerifyResult* result) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&]() -> int32_t {
        const morvik::frame::Run run;
        const verify::Outcome checked = verify::check_request(image != nullptr, result != nullptr, format, width,
                                                              height, verify::kDefectRawMin, verify::kDefectColourMin);
        if (checked != verify::Outcome::ok) return refuse(checked);
        const bool raw = format == MORVIK_VERIFY_FORMAT_RAW;
        const verify::TestImage im(image, width, height);
        const int t = threshold & 0xFF;
        const verify::DefectOutcome out =
            raw ? verify::defect_raw(im, bayerOrder & 0xFF, t) : verify::defect_colour(im, t);

        const int packing = verify::TestImage::packing_of(width);
        const double* m = out.stats.mean;
        const double* s = out.stats.std;
        run.open("Auto Defect: start\n");
        if (raw) {
            log_write("Input file: RAW\n");
            log_format("Auto Defect: width %d, height %d\n", width, height);
            log_format("Auto Defect: raw packing %d\n", packing);
            log_format("Auto Defect: Bayer0-m %3.3f, Bayer1-m %3.3f, Bayer2-m %3.3f, Bayer3-m %3.3f\n", m[0], m[1],
                       m[2], m[3]);
            log_format("Auto Defect: Bayer0_std %3.3f, Bayer1_Std %3.3f, Bayer2_std %3.3f, Bayer3_std %3.3f\n", s[0],
                       s[1], s[2], s[3]);
            log_format("Auto Defect: DBP %d, WBP %d\n", int(out.dark), int(out.bright));
            log_format("GCHECKTHD = %3d\nRBCHECKTHD = %3d\n", int(out.g_check), int(out.rb_check));
        } else {
            log_write("Input file: YUV\n");
            log_format("Auto Defect: width %d, height %d\n", width, height);
            log_format("Auto Defect: bmp packing %d\n", packing);
            log_format("Auto Defect: Rm %3.3f, Gm %3.3f, Bm %3.3f, Ym %3.3f\n", m[0], m[1], m[2], m[3]);
            log_format("Auto Defect: R_std %3.3f, G_Std %3.3f, B_std %3.3f, Y_std %3.3f\n", s[0], s[1], s[2], s[3]);
            log_format("Auto Defect: DBP %d, WBP %d\n", int(out.dark), int(out.bright));
        }
        run.close("Auto Defect: End\n");

        result->WBP = out.bright;
        result->DBP = out.dark;
        copy_stats(out.stats, result->mean, result->std);
        if (raw) {
            result->GCHECKTHD = out.g_check;
            result->RBCHECKTHD = out.rb_check;
        }
        return MORVIK_STATUS_OK;
    });
}

extern "C" MORVIK_API int32_t Unbalance_Verify(const uint8_t* image, int32_t format, int32_t bayerOrder, int32_t width,
                                               int32_t height, UnbalanceVerifyResult* result) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&]() -> int32_t {
        const morvik::frame::Run run;
        const verify::Outcome checked = verify::check_request(image != nullptr, result != nullptr, format, width,
                                                              height, verify::kUnbalanceMin, verify::kUnbalanceMin);
        if (checked != verify::Outcome::ok) return refuse(checked);
        const bool raw = format == MORVIK_VERIFY_FORMAT_RAW;
        const verify::TestImage im(image, width, height);
        const int packing = verify::TestImage::packing_of(width);

        // Colour images measure both in the same passes over the image.
        const verify::UnbalanceColour colour = raw ? verify::UnbalanceColour{} : verify::unbalance_colour(im);
        const verify::GreenStats g = raw ? verify::unbalance_greens_raw(im, bayerOrder & 0xFF) : colour.greens;
        run.open("Unbalance: start\n");
        log_write(raw ? "Input file: RAW\n" : "Input file: YUV\n");
        log_format("Unbalance: width %d, height %d\n", width, height);
        log_format(raw ? "Unbalance: raw packing %d\n" : "Unbalance: bmp packing %d\n", packing);
        log_format("Unbalance: Geven %3.3f, Godd %3.3f, Gdiff %3.3f\n", g.first_mean, g.second_mean, g.diff_mean);
        log_format("Unbalance: Geven_std %3.3f, Godd_Std %3.3f, Gdiff_std %3.3f\n", g.first_std, g.second_std,
                   g.diff_std);

        const verify::ChannelStats st =
            raw ? verify::raw_cell_stats<std::uint32_t>(im) : colour.stats;
        const double* m = st.mean;
        const double* s = st.std;
        if (raw) {
            log_format("Unbalance: Bayer-0 %3.3f, Bayer-1 %3.3f, Bayer-2 %3.3f, Bayer-3 %3.3f\n", m[0], m[1], m[2], m[3]);
            log_format("Unbalance: Bayer-0_std %3.3f, Bayer-1_Std %3.3f, Bayer-2_std %3.3f, Bayer-3_std %3.3f\n", s[0],
                       s[1], s[2], s[3]);
        } else {
            log_format("Unbalance: R %3.3f, G %3.3f, B %3.3f, Y %3.3f\n", m[0], m[1], m[2], m[3]);
            log_format("Unbalance: R_std %3.3f, G_Std %3.3f, B_std %3.3f, Y_std %3.3f\n", s[0], s[1], s[2], s[3]);
        }
        run.close("Unbalance: End\n");

        result->GoddMean = g.second_mean;
        result->GevenMean = g.first_mean;
        result->GoddStd = g.second_std;
        result->GevenStd = g.first_std;
        result->GdiffMean = g.diff_mean;
        result->GdiffStd = g.diff_std;
        copy_stats(st, result->mean, result->std);
        return MORVIK_STATUS_OK;
    });
}
