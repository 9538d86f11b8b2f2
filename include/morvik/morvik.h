/*
 * morvik: camera-calibration and ISP-tuning algorithms.
 *
 * The public C interface of libmorvik.so and MORVIK_DLL.dll. It compiles as
 * C99 and as C++. All exports use the C calling convention (cdecl on 32-bit
 * Windows) and undecorated names.
 *
 * Conventions shared by every export:
 *  - All buffers belong to the caller. An export reads its inputs and writes
 *    its results during the call and keeps no pointer afterwards.
 *  - No exception and no crash crosses an export: every failure is a status.
 *  - Integers are 32-bit, records are plain structs with natural alignment.
 *  - Out-of-domain input that would make a routine read or write outside its
 *    buffers (null pointers, images smaller than a routine's window, counts
 *    beyond fixed capacities) is rejected before anything is written or
 *    logged. Each family documents the status it returns for that.
 *
 * Maintainers: every export is declared on one line starting with MORVIK_API
 * that also holds its name and opening parenthesis; the export-table tests
 * read the list of exports from those lines.
 */
#ifndef MORVIK_MORVIK_H
#define MORVIK_MORVIK_H

#include <stdint.h>

#if defined(_WIN32)
#  define MORVIK_API /* exported through src/morvik.def */
#elif defined(MORVIK_BUILDING)
#  define MORVIK_API __attribute__((visibility("default")))
#else
#  define MORVIK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status of the 0-on-success exports when an argument is outside the
 * routine's domain (null pointer, image too small for the routine's window,
 * count beyond a fixed capacity). Nothing is written and nothing is logged.
 * The codes each family documents below keep their meaning. */
#define MORVIK_STATUS_OK 0
#define MORVIK_STATUS_INVALID_ARGUMENT (-1)

/* ======================================================================
 * Library frame: algorithm catalogue and debug log
 * ====================================================================== */

/* Number of algorithms of the AWB, CC and CD families: always 1. The three
 * names share one entry point. */
MORVIK_API int32_t AWB_GetNumOfAlgorithms(void);
MORVIK_API int32_t CC_GetNumOfAlgorithms(void);
MORVIK_API int32_t CD_GetNumOfAlgorithms(void);

/* Description of algorithm `index`. Index 0 returns a read-only field of 256
 * characters, NUL-padded ("Exhausting Search", "Color Correction Matrix",
 * "Delta Eab"); every other index (an unsigned comparison) returns "?". The
 * text stays valid while the library is loaded. */
MORVIK_API const char *AWB_GetDescription(uint32_t index);
MORVIK_API const char *CC_GetDescription(uint32_t index);
MORVIK_API const char *CD_GetDescription(uint32_t index);

/* Receiver of debug-log lines: called once per write with the text exactly as
 * formatted (a write normally ends with "\n"; a few carry two line ends or
 * none). `user` is the pointer given to morvik_set_log_sink. */
typedef void (*morvik_log_sink)(const char *line, void *user);

/* Route every debug-log write to `sink`. NULL restores the default channel:
 * OutputDebugStringA on Windows; elsewhere standard error when the
 * environment variable MORVIK_LOG is set, else nothing. Not thread-safe:
 * set it before starting calls. */
MORVIK_API void morvik_set_log_sink(morvik_log_sink sink, void *user);

/* Environment (read at every call that needs it):
 *  MORVIK_HOST_DIR     host folder of the debug-information dump (module
 *                      header files and "TAG.h"); default: the folder of the
 *                      running executable. On POSIX, module folders use "/".
 *  MORVIK_INSPECT_DIR  folder of the inspection files "Camera_CC.csv" and
 *                      "sensorcurve.csv"; default "c:\" on Windows, the
 *                      current directory elsewhere.
 *  MORVIK_LOG          (non-Windows) default log sink writes to stderr. */

/* ======================================================================
 * Test-image verification
 * ====================================================================== */

/* ==== end of test-image verification ==== */

/* ======================================================================
 * White balance
 * ====================================================================== */

/* ==== end of white balance ==== */

/* ======================================================================
 * Colour correction
 * ====================================================================== */

/* Chart records (24 patches in chart order; 0-17 chromatic, 18-23 the
 * neutral row from white to black):
 *  measured   24 x 6 floats per patch: chart R, G, B, then the illumination
 *             R, G, B of the same position on a uniform target.
 *  reference  24 x 11 floats per patch: fields 6, 7, 8 reference R, G, B on
 *             a 0..255 linear scale, field 9 the patch weight; the other
 *             fields are not used.
 *  matrix     3 x 3 floats, row-major: out r = sum over c of M[3r+c] * in c.
 * Inputs are not validated beyond null pointers: zero illumination values,
 * a zero-variance neutral row or a singular fit give infinities or NaNs.
 * Where a float result is converted to an integer and is NaN or outside the
 * 32-bit range, the integer is INT32_MIN before any further step. */

/* Colour error of `matrix` on a chart: black offsets from the two darkest
 * neutral patches, white-balance gains and tone lines from the neutral row,
 * then CIELAB (24 x 3 floats each) of the patches after the matrix, of the
 * reference and of the patches before the matrix. The patches are mapped as
 * (chart - offset) * slope * gain + intercept, i.e. without the illumination
 * ratio and the 0.85 headroom factor that the tone-line fit itself uses, so
 * a perfect matrix does not bring the error to zero. With any null pointer
 * nothing is written. */
MORVIK_API void CalColorError(const float *measured, const float *reference, const float *matrix, float *labCorrected, float *labReference, float *labUncorrected);

/* CCM calibration: weighted least squares over the chromatic patches (the
 * neutral row has weight 0), rows normalised to sum 1, blended towards the
 * identity by `strength` (0: identity, 1: fitted matrix), rounded half away
 * from zero at unity 32 with each diagonal corrected so that every row sums
 * to exactly 32, and stored row-major as sign-magnitude bytes (negative v
 * as 128 + |v|, kept to its low 8 bits when |v| > 127). The four values at
 * `sideSource` are copied to `sideDest` (they may overlap). Every call first rewrites the inspection file
 * "Camera_CC.csv" (24 lines of the measured record, "%8.4f," per value) in
 * MORVIK_INSPECT_DIR, else "c:\" on Windows and the current directory
 * elsewhere; when it cannot be created the calibration goes on without it.
 * `algorithm` is not examined. Returns 0; MORVIK_STATUS_INVALID_ARGUMENT
 * (nothing written, no file) when a pointer is null. */
MORVIK_API int32_t CC_Calibration(int32_t algorithm, float strength, const float *measured, const float *reference, const int32_t *sideSource, uint8_t *matrixOut, int32_t *sideDest);

/* As CC_Calibration for the KT1 generation: unity 256, nine 32-bit words
 * with negative v stored as 1024 + |v| (bit 10 is the sign; values beyond
 * +-1023 are stored unclamped). */
MORVIK_API int32_t CC_Calibration_KT1(int32_t algorithm, float strength, const float *measured, const float *reference, const int32_t *sideSource, int32_t *matrixOut, int32_t *sideDest);

/* Colour difference: `measured` holds 24 linear R, G, B triples (any common
 * scale); both sets go to XYZ, are scaled so that their largest value is
 * 100, and to CIELAB (D65). Writes per patch `difference` = (sqrt(da^2 +
 * db^2), L, a, b of the measured colour), 24 x 4 floats, and `referenceLab`
 * = L, a, b of the reference, 24 x 3 floats. `algorithm` is not examined.
 * Returns 0; MORVIK_STATUS_INVALID_ARGUMENT (nothing written) when a pointer
 * is null. */
MORVIK_API int32_t CD_Calibration(int32_t algorithm, const float *measured, const float *reference, float *difference, float *referenceLab);

/* Multi-illuminant CCM: light i (0 <= i < count) has the nine matrix
 * elements matrices[i][0..8], chromaticity x = 512 * firstNumerator[i] /
 * denominator[i], y = 512 * secondNumerator[i] / denominator[i] and weight
 * weight[i] (entering the fit squared). Each element is fitted as a
 * polynomial of the first `terms` of (1, x, y, x^2, xy, y^2) in the
 * normalised chromaticity; below six lights `terms` is 3 whatever is asked.
 * Writes `normalisation` = round(100 * (mean x, sd x, mean y, sd y)) with
 * the sample standard deviation, and coefficients[k][0..8] = round(10000 *
 * coefficient) for the six terms k (0 beyond the terms used); round(v) =
 * floor(v + 0.5). count must be at least 2 and the fit non-singular, else
 * the results are undefined integers. The products matrices[i][e] *
 * weight[i] are formed in 64 bits (no wrap-around). Nothing is written when
 * a pointer (including matrices[0..count-1] and coefficients[0..5]) is null,
 * when count < 0, when terms > 6 with six or more lights, or when working
 * memory cannot be obtained. terms <= 0 with six or more lights fits
 * nothing: all coefficients are 0. */
MORVIK_API void MultiCCM(int32_t *const *matrices, const int32_t *firstNumerator, const int32_t *denominator, const int32_t *secondNumerator, const int32_t *weight, int32_t count, int32_t terms, int32_t *normalisation, int32_t *const *coefficients);

/* ==== end of colour correction ==== */

/* ======================================================================
 * Lens shading
 * ====================================================================== */

/* ==== end of lens shading ==== */

/* ======================================================================
 * Sensor response
 * ====================================================================== */

/* ==== end of sensor response ==== */

/* ======================================================================
 * Hue/saturation (PCA) tables
 * ====================================================================== */

/* ==== end of PCA tables ==== */

/* ======================================================================
 * Gamma tables
 * ====================================================================== */

/* ==== end of gamma tables ==== */

/* ======================================================================
 * Register and level conversions (KT2)
 * ====================================================================== */

/* ==== end of register and level conversions ==== */

/* ======================================================================
 * Debug-information dump
 * ====================================================================== */

/* ==== end of debug-information dump ==== */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MORVIK_MORVIK_H */
