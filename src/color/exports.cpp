// C exports of the colour family: check the arguments inside the guard,
// call the core, record the reason of a refusal.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "color/ccm.h"
#include "color/cd.h"
#include "color/color_error.h"
#include "color/multiccm.h"
#include "color/outcome.h"
#include "frame/guard.h"
#include "morvik/morvik.h"

namespace {

using namespace morvik::color;

Measured measured_record(const float* p) { return Measured{std::span<const float, kPatches * kMeasuredFields>(p, kPatches * kMeasuredFields)}; }

Reference reference_record(const float* p) {
    return Reference{std::span<const float, kPatches * kReferenceFields>(p, kPatches * kReferenceFields)};
}

int32_t refuse(Outcome o) { return morvik::frame::refuse<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, o); }

// Shared body of the two CCM exports; `store` writes the nine register words.
template <class Out, class Store>
int32_t calibrate(float strength, const float* measured, const float* reference, const int32_t* side_source,
                  Out* matrix_out, int32_t* side_dest, int unity, Store store) {
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        if (!measured || !reference || !side_source || !matrix_out || !side_dest) return refuse(Outcome::null_pointer);
        const Measured meas = measured_record(measured);
        const Reference ref = reference_record(reference);
        write_inspection_file(inspection_file_path(), meas);  // skipped when it cannot be created
        const auto q = quantise_ccm(fit_ccm(meas, ref, strength), unity);
        store(q);
        std::memmove(side_dest, side_source, 4 * sizeof(int32_t));
        return int32_t{MORVIK_STATUS_OK};
    });
}

}  // namespace

extern "C" {

MORVIK_API void CalColorError(const float* measured, const float* reference, const float* matrix,
                              float* labCorrected, float* labReference, float* labUncorrected) {
    morvik::frame::guarded_void([&] {
        if (!measured || !reference || !matrix || !labCorrected || !labReference || !labUncorrected) {
            return morvik::frame::refuse_void(Outcome::null_pointer);
        }
        Matrix3 m{};
        std::copy(matrix, matrix + 9, m.begin());
        const auto sets = color_error(measured_record(measured), reference_record(reference), m);
        std::copy(sets.corrected.begin(), sets.corrected.end(), labCorrected);
        std::copy(sets.reference.begin(), sets.reference.end(), labReference);
        std::copy(sets.uncorrected.begin(), sets.uncorrected.end(), labUncorrected);
    });
}

MORVIK_API int32_t CC_Calibration(int32_t algorithm, float strength, const float* measured, const float* reference,
                                  const int32_t* sideSource, uint8_t* matrixOut, int32_t* sideDest) {
    (void)algorithm;
    return calibrate(strength, measured, reference, sideSource, matrixOut, sideDest, 32, [&](const auto& q) {
        const auto words = encode_ccm8(q);
        std::copy(words.begin(), words.end(), matrixOut);
    });
}

MORVIK_API int32_t CC_Calibration_KT1(int32_t algorithm, float strength, const float* measured,
                                      const float* reference, const int32_t* sideSource, int32_t* matrixOut,
                                      int32_t* sideDest) {
    (void)algorithm;
    return calibrate(strength, measured, reference, sideSource, matrixOut, sideDest, 256, [&](const auto& q) {
        const auto words = encode_ccm11(q);
        std::copy(words.begin(), words.end(), matrixOut);
    });
}

MORVIK_API int32_t CD_Calibration(int32_t algorithm, const float* measured, const float* reference,
                                  float* difference, float* referenceLab) {
    (void)algorithm;
    return morvik::frame::guarded<int32_t>(MORVIK_STATUS_INVALID_ARGUMENT, [&] {
        if (!measured || !reference || !difference || !referenceLab) return refuse(Outcome::null_pointer);
        const auto result = color_difference(std::span<const float, kPatches * 3>(measured, kPatches * 3),
                                             reference_record(reference));
        std::copy(result.difference.begin(), result.difference.end(), difference);
        std::copy(result.reference.begin(), result.reference.end(), referenceLab);
        return int32_t{MORVIK_STATUS_OK};
    });
}

MORVIK_API void MultiCCM(int32_t* const* matrices, const int32_t* firstNumerator, const int32_t* denominator,
                         const int32_t* secondNumerator, const int32_t* weight, int32_t count, int32_t terms,
                         int32_t* normalisation, int32_t* const* coefficients) {
    morvik::frame::guarded_void([&] {
        using morvik::frame::refuse_void;
        if (!matrices || !firstNumerator || !denominator || !secondNumerator || !weight || !normalisation ||
            !coefficients) {
            return refuse_void(Outcome::null_pointer);
        }
        if (count < 0) return refuse_void(Outcome::negative_count);
        if (count >= 6 && terms > kMaxTerms) return refuse_void(Outcome::too_many_terms);
        for (int32_t i = 0; i < count; ++i) {
            if (!matrices[i]) return refuse_void(Outcome::null_pointer);
        }
        for (int k = 0; k < kMaxTerms; ++k) {
            if (!coefficients[k]) return refuse_void(Outcome::null_pointer);
        }
        std::vector<Light> lights(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < lights.size(); ++i) {
            std::copy(matrices[i], matrices[i] + 9, lights[i].matrix.begin());
            lights[i].first = firstNumerator[i];
            lights[i].denominator = denominator[i];
            lights[i].second = secondNumerator[i];
            lights[i].weight = weight[i];
        }
        const auto result = multi_ccm(lights, terms);
        std::copy(result.normalisation.begin(), result.normalisation.end(), normalisation);
        for (std::size_t k = 0; k < kMaxTerms; ++k) {
            std::copy(result.coefficients[k].begin(), result.coefficients[k].end(), coefficients[k]);
        }
    });
}

}  // extern "C"
