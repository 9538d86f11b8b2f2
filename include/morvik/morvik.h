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
 * Names: exports keep the host's spelling. Types we name ourselves are the
 * family's prefix in CamelCase followed by a CamelCase noun (AwbWindow,
 * DpDumpRecord); the frame's own functions and callback types are
 * morvik_ + snake case (morvik_last_error, morvik_log_sink). Records the host
 * already names (DefectVerifyResult, AWBFILTER_PARAM, lsc_params, ...) keep
 * that name. Macros are MORVIK_ + family + upper case.
 *
 * Failure reasons: after a call that did not succeed (any status other than
 * the family's success value, or a void export that wrote nothing),
 * morvik_last_error() says why in one line.
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

/* Reason of the last failed call made by the calling thread, as one line of
 * text (no line end); empty after a call that succeeded. The text stays valid
 * until the thread's next call into the library. */
MORVIK_API const char *morvik_last_error(void);

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

/* The test-image pixel array shared by both verifications: 24-bit bitmap
 * rows of `width` pixels (bytes blue, green, red), each row followed by
 * (4 - (3 * width) % 4) % 4 padding bytes, stored rows 0 .. height-1 one
 * after the other (in a bottom-up bitmap stored row height-1 is the top of
 * the picture). A raw image (format 1) carries one 8-bit sample per pixel in
 * the pixel's first byte; a colour image (format 2, "YUV" in the log) is read
 * as red, green, blue with luma Y = floor(0.299 R + 0.587 G + 0.114 B + 0.5).
 * Raw samples are grouped into 2x2 cells whose upper stored rows are
 * height-1, height-3, ... (>= 1); site 0 is (x, upper row), 1 (x+1, upper),
 * 2 (x, upper-1), 3 (x+1, upper-1).
 *
 * Both exports log one framed block to the debug-log channel and return:
 *   0                               the image was measured;
 *   MORVIK_VERIFY_BAD_FORMAT (2)    `format` is neither 1 nor 2 (checked
 *                                   first; nothing written, nothing logged);
 *   MORVIK_STATUS_INVALID_ARGUMENT  `image` or `result` is NULL, or the image
 *                                   is smaller than the routine's window
 *                                   (sizes below), or the working memory of
 *                                   colour input (width x height bytes) cannot
 *                                   be obtained; nothing written or logged.
 * The buffer must hold `height` stored rows; it cannot be checked. */
#define MORVIK_VERIFY_FORMAT_RAW 1
#define MORVIK_VERIFY_FORMAT_COLOUR 2
#define MORVIK_VERIFY_BAD_FORMAT 2

typedef struct DefectVerifyResult {
    uint32_t WBP;        /* bright sites (raw) / pixels (colour) */
    uint32_t DBP;        /* dark sites (raw) / pixels (colour) */
    double mean[4];      /* raw: sites 0..3; colour: R, G, B, Y */
    double std[4];       /* raw: sites 0..3; colour: R, G, B, Y */
    uint32_t GCHECKTHD;  /* raw only: proposed green check threshold 0..255 */
    uint32_t RBCHECKTHD; /* raw only: proposed red/blue check threshold 0..255 */
} DefectVerifyResult;

/* Count the pixels of a test image that stand out from their same-channel
 * neighbourhood by more than `threshold` (low 8 bits used): a 3x3-cell
 * window per raw site, a 5x5-pixel window per colour pixel (R, then G, then
 * B; a pixel counts once). `bayerOrder` (low 8 bits): 1 or 2 puts the greens
 * at sites 0 and 3, every other value at sites 1 and 2; it only decides
 * which check value is GCHECKTHD. Colour images leave GCHECKTHD and
 * RBCHECKTHD untouched. `mean` and `std` do not wrap on large images.
 * Minimum size: raw 6 x 6, colour 5 x 5.
 * Choices where the routine's definition leaves room:
 *  - Odd raw sizes: the last column (odd width) and stored row 0 (odd
 *    height) belong to no cell, and the 3x3-cell window is clamped to the
 *    cell grid, so it always holds the tested cell; even sizes are
 *    unaffected. The whole-image statistics cover the cells only.
 *  - Check values near the borders compare the clamped window's middle
 *    cell, which there is not the tested cell.
 *  - A corner difference of 0 records 0: a check threshold of 0 is the only
 *    value in 0..255 that still catches that defect. */
MORVIK_API int32_t Defect_Verify(const uint8_t *image, int32_t format, int32_t bayerOrder, int32_t width, int32_t height, int32_t threshold, DefectVerifyResult *result);

typedef struct UnbalanceVerifyResult {
    double GoddMean;  /* second greens (lower stored row of each pair) */
    double GevenMean; /* first greens (upper stored row of each pair) */
    double GoddStd;
    double GevenStd;
    double GdiffMean; /* first minus second green, signed */
    double GdiffStd;
    double mean[4];   /* raw: sites 0..3; colour: R, G, B, Y */
    double std[4];    /* raw: sites 0..3; colour: R, G, B, Y */
} UnbalanceVerifyResult;

/* Green unbalance between the two rows of each 2x2 cell (raw) or of each
 * pair of stored rows (colour, every column but an odd width's last), and
 * the mean and standard deviation of every channel. Sums of 8-bit values are
 * unsigned 32-bit and the difference sum signed 32-bit, both wrapping on
 * images of more than about 16 million samples per channel.
 * Minimum size: 2 x 2 (one row pair, one cell).
 * Choices where the routine's definition leaves room:
 *  - `bayerOrder` uses its low 8 bits like Defect_Verify: a low byte of 1
 *    or 2 takes the greens from sites 0 and 3; every other low byte (0, 3
 *    and anything outside 0..3) from sites 1 and 2.
 *  - Colour channel statistics run over stored rows 0 .. height-1. */
MORVIK_API int32_t Unbalance_Verify(const uint8_t *image, int32_t format, int32_t bayerOrder, int32_t width, int32_t height, UnbalanceVerifyResult *result);

/* ==== end of test-image verification ==== */

/* ======================================================================
 * White balance
 * ====================================================================== */

/* Status codes of the white-balance exports (besides MORVIK_STATUS_OK and
 * MORVIK_STATUS_INVALID_ARGUMENT). */
#define MORVIK_AWB_NO_PROJECTION 1

/* One grey-statistics entry of AWB_Calibration: the light source's key (the
 * value the entries are sorted and extrapolated by) and the averages of the
 * three channels of its grey patch. Channel 2 weighs 1/2 in the luminance,
 * channels 1 and 3 weigh 1/4 each. */
typedef struct AwbGreyStatistics {
    uint16_t key;
    uint16_t channel1;
    uint16_t channel2;
    uint16_t channel3;
} AwbGreyStatistics;

/* Result of AWB_Calibration, 9 bytes. */
typedef struct AwbCalibrationResult {
    uint8_t gain1;   /* 0-63; 63 for the channel with the smallest median */
    uint8_t gain2;
    uint8_t gain3;
    uint8_t coef_a;  /* first projection coefficient, 15-31 */
    uint8_t coef_b;  /* second projection coefficient, 15-31 */
    uint8_t x_upper; /* trunc(1.2 * Xmax' + 1.0), after extrapolation */
    uint8_t x_lower; /* trunc(2 * (1.2 * -Xmin' + 1.0)), after extrapolation */
    uint8_t y_upper; /* trunc(1.2 * Ymax + 1.0) */
    uint8_t y_lower; /* trunc(-Ymin) */
} AwbCalibrationResult;

/* "Exhausting Search": channel gains from the integer medians of the entries
 * sorted by descending key, then the projection coefficients (a, b) in
 * 15..31 x 15..31 that best spread the grey points along the first axis
 * relative to the second, and the limits of the grey region, the first axis
 * extrapolated to the key limits (low 16 bits of upperKey and lowerKey,
 * unsigned). `algorithm` is not examined; only the low 8 bits of `count`
 * are used. The search is single precision, the extrapolation and limits
 * double precision. Every byte is the low 8 bits of the value truncated
 * toward zero to a 32-bit integer; a value outside the 32-bit range gives 0.
 *
 * Returns:
 *  0  result written;
 *  MORVIK_AWB_NO_PROJECTION (1) when no coefficient pair spreads the points
 *     to both sides of both axes: the gains are written, coef_a, coef_b,
 *     x_upper, x_lower and y_upper are 0 and y_lower is 1;
 *  MORVIK_STATUS_INVALID_ARGUMENT (-1) for a null pointer, a count (low 8
 *     bits) outside 2..20, or a channel whose median is 0 (its gain would
 *     divide by zero); nothing is written.
 * When every key is equal there is no key span to extrapolate over and the
 * first-axis limits are used as found. */
MORVIK_API int32_t AWB_Calibration(int32_t algorithm, int32_t count, int32_t upperKey, int32_t lowerKey, const AwbGreyStatistics *entries, AwbCalibrationResult *result);

/* Statistics of one light source in the (u, v) chroma plane. */
typedef struct AwbLightStatistics {
    double center_u;
    double center_v;
    double spread_u;
    double spread_v;
} AwbLightStatistics;

/* A light-source window in the (u, v) plane. */
typedef struct AwbWindow {
    double upper_v;
    double lower_v;
    double lower_u;
    double upper_u;
} AwbWindow;

/* Ten light-source windows from the statistics of five light sources, given
 * in increasing order along u with lights 2 and 3 side by side along v.
 * Windows 7, 8 and 9 split window 4 along u; their v limits are window 4's
 * moved inwards by one eighth of the span from window 3's lower v limit to
 * window 4's upper v limit. Does nothing when a pointer is null. */
MORVIK_API void AWB_WIN_AUTO_CAL(const AwbLightStatistics *lights, AwbWindow *windows);

/* An integer window: lower and upper limit on the first coordinate, then
 * on the second. */
typedef struct AwbIntWindow {
    int32_t x0;
    int32_t x1;
    int32_t y0;
    int32_t y1;
} AwbIntWindow;

/* Six small windows cut out of four large ones: 0 is the right 30 % of large
 * window 0, 1 and 2 span large windows 1 and 2, 3, 4 and 5 are the left,
 * middle and right 75 % of large window 3; all 75 % high, vertically
 * centred and clamped into their large window. A large window's width and
 * height are differences of its limits taken in double (no 32-bit
 * overflow); each offset and size is truncated toward zero on its own.
 * Returns 0, or MORVIK_STATUS_INVALID_ARGUMENT for a null pointer (nothing
 * written). Results wrap to 32 bits when a window spans more than 2^31. */
MORVIK_API int32_t AWB_Small_win_Calibration(const AwbIntWindow *large, AwbIntWindow *small);

/* Copy the eleven windows about to be applied into the library's applied-
 * window table (zeroed at load; nothing else reads it). Not thread-safe.
 * Returns 0, or MORVIK_STATUS_INVALID_ARGUMENT for a null pointer (the table
 * is unchanged). */
MORVIK_API int32_t AWB_Update_11_Window_Before_Apply(const AwbIntWindow *windows);

/* Request of AWB_Filter: the AWB statistics filter register fields and the
 * raw frame (width x height 8-bit samples, rows without padding). */
typedef struct AWBFILTER_PARAM {
    uint8_t nFirstPixel; /* bit 0 column offset, bit 1 row offset: 0 R, 1 Gr, 2 Gb, 3 B;
                            higher bits ignored */
    uint8_t SUPSEL;      /* saturation cut at 8 * SUPSEL + 192; 8 or more: no cut */
    uint8_t U_GAIN;      /* blue-difference gain, 1/32 units */
    uint8_t V_GAIN;      /* red-difference gain, 1/32 units */
    uint8_t Y_LIMIT;     /* luminance floor, units of 4 */
    uint8_t S_RB_P;      /* red-blue axis limits, 1/128 of luminance */
    uint8_t S_RB_N;
    uint8_t S_MG_P;      /* magenta-green axis limits, 1/128 of luminance */
    uint8_t S_MG_N;
    uint32_t width;
    uint32_t height;
    const uint8_t *raw;
} AWBFILTER_PARAM;

/* Demosaic the raw frame with a 2 x 2 window and mark the pixels the AWB
 * statistics block accepts as grey. Writes (width - 1) x (height - 1) mask
 * bytes (255 accepted, 0 not) to `mask` and as many red, green, blue pixels
 * to `rgb`, both row-major without padding. Logs the request ("DLL: ..."
 * lines) first. The call needs no working memory. The outputs must not
 * overlap the raw frame.
 * Returns 0 (with width or height below 2 after logging, writing nothing),
 * or MORVIK_STATUS_INVALID_ARGUMENT, with nothing logged or written, for a
 * null pointer (request, raw, mask or rgb) or a frame too large to address
 * (width x height x 3 bytes beyond the address space). */
MORVIK_API int32_t AWB_Filter(const AWBFILTER_PARAM *param, uint8_t *mask, uint8_t *rgb);

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
 * 32-bit range, the integer is INT32_MIN before any further step. Results
 * are bit-exact: CC_Calibration runs in single precision, CalColorError's
 * line fits in single and its other steps in double precision,
 * CD_Calibration and MultiCCM in double precision. */

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
 * the results are undefined integers. Nothing is written when
 * a pointer (including matrices[0..count-1] and coefficients[0..5]) is null,
 * when count < 0, when terms > 6 with six or more lights, or when working
 * memory cannot be obtained. terms <= 0 with six or more lights fits
 * nothing: all coefficients are 0. */
MORVIK_API void MultiCCM(int32_t *const *matrices, const int32_t *firstNumerator, const int32_t *denominator, const int32_t *secondNumerator, const int32_t *weight, int32_t count, int32_t terms, int32_t *normalisation, int32_t *const *coefficients);

/* ==== end of colour correction ==== */

/* ======================================================================
 * Lens shading
 * ====================================================================== */

/* Tuning parameters of LSC_Calculate (read only). */
typedef struct lsc_params {
    float target_scale; /* multiplies the bright-block level that defines each
                           channel's target; limits relative to the target are
                           divided by it */
    float below_max;    /* below_max + 1: highest compensated level allowed */
    float overshoot;    /* allowed spread of outer over inner levels */
    float shading_min;  /* lowest compensated level before a curve segment is
                           raised */
    uint8_t y_only;     /* 1: compensate luminance only; any other value: RGB */
} lsc_params;

/* Result of LSC_Calculate: 41 unsigned 32-bit words. */
typedef struct lsc_result {
    uint32_t center_x;      /* optical centre column, half pixels */
    uint32_t center_y;      /* optical centre row, half pixels */
    uint32_t Kr;            /* gain mantissas 1..255 */
    uint32_t Kg;
    uint32_t Kb;
    uint32_t K;             /* common gain exponent 0..3 */
    uint32_t Radius_factor; /* 0..3 */
    uint32_t Curve_sel;     /* 0..3 */
    uint32_t gamma_R[11];   /* shading gamma nodes at rings 32, 64, 96, 128,
                               144, ..., 240; each 0..255 */
    uint32_t gamma_G[11];
    uint32_t gamma_B[11];
} lsc_result;

/* Upper 16 bits of the chip value that select the step-limited shading gamma
 * (node steps of at most 64/32, node floors 63/127/191 at rings 192..224);
 * every other chip value uses the plain gamma. */
#define MORVIK_LSC_CHIP_KT3 0x4B33u

/* Lens-shading compensation from one 8-bit raw Bayer flat field.
 * chip: logged in hex; its upper 16 bits select the gamma variant (above).
 * bayer_order (low 8 bits): colour of the first sample, 0 R, 1 Gr, 2 Gb, 3 B.
 * raw: width x height 8-bit samples, row stride = width. width, height: low
 * 16 bits used; the image is averaged in whole 4 x 4 blocks, a remainder of
 * up to 3 columns/rows is ignored.
 * Returns 0 and fills *result on success; returns 1 on any failure and leaves
 * *result untouched. The debug log receives every stage's lines; a failure
 * logs its reason, "Shading: End" and the elapsed time.
 * morvik_last_error() names the reason of a failure.
 * Environment: MORVIK_THREADS=N (2..16) lets independent parts of the
 * calculation run on up to N threads, started and joined within the call;
 * the record and every log line are the same as on one thread. Unset (or 1):
 * everything runs on the calling thread.
 *
 * Choices for cases the calculation leaves open:
 *  - params or result NULL: returns 1, logs nothing.
 *  - raw NULL: returns 1 after the set-up lines with
 *    "Shading: memory pointer NULL for raw image".
 *  - bayer_order above 3: returns 1 after the set-up lines with
 *    "Shading: Bayer order out of range (0..3)\n".
 *  - an image without a whole 4 x 4 block (width or height below 4): returns
 *    1 after the set-up lines with "Shading: no whole 4x4 block in the image\n".
 *  - a block whose mean is 0 has no gain need: it counts as needing none
 *    (gain need 0) and takes no part in the radius check, gains or gamma.
 *  - the fixed-point log of 0 (a block at the centre, r2 = 0) is -32768, so
 *    such blocks never enter the radius check; every 16-bit log value and
 *    difference saturates at -32768..32767.
 *  - a positive gain need whose 16.16 fixed-point value rounds to 0 is taken
 *    as the smallest representable one (1/65536); its difference may lie
 *    below the radius check's minimum and is then left out of the histogram.
 *  - the fixed-point power is clamped to its domain -16384..16383 (a block
 *    near the centre with a gain need, e.g. target_scale above 1, would
 *    exceed it); gain needs and gain values beyond 32 bits saturate, negative
 *    ones become 0.
 *  - a ring whose mean gain need is 0 is skipped in the gain correction.
 *  - a block whose ring is above 0 but whose coarse compensation is 0 gets
 *    ring equivalent 0.
 *  - a colour whose coarse compensation at ring 255 (cmax) is 0, and a
 *    segment whose mean ring equals the last settled ring: the limit slopes
 *    that would divide by them are not applied (the jump is kept).
 *  - gamma nodes saturate at 255.
 *  - log figures without meaning: a line fit that failed logs a and b as 0;
 *    a centre with code 1 or 2 logs x and y as 0, one with code 3 the
 *    intersection it rejected; the preliminary figure of "Shading: Difference
 *    between target & r2 compensation" is the mean of the qualifying
 *    differences truncated toward zero (0 when none qualifies).
 *  - the fixed-point log of 3 returns the upper octave end (2048 at shift 0):
 *    no fraction step moves its bound off 2, and 2 and 4 are equally near. */
MORVIK_API int32_t LSC_Calculate(uint32_t chip, uint32_t bayer_order, const uint8_t *raw, uint32_t width, uint32_t height, const lsc_params *params, lsc_result *result);


/* ---- Grid shading table ------------------------------------------------
 * A flat field measured on an nx x ny grid of nodes per Bayer channel, node
 * gains (brightest window / local level, shaped by a radial polynomial and
 * clamped), natural bicubic splines through them, and the table packed as
 * per-cell cubic coefficients or as node gains. Sizes below are in channel
 * pixels (half the image size) unless said otherwise. */

/* Configuration of ShadingCalibrateEx (read only). */
typedef struct shading_table_config {
    uint32_t table_kind;       /* 0: at most 320 words, 1: at most 896, other: no limit */
    uint32_t bit_depth;        /* 10: two bytes per sample, low byte first;
                                  other: one byte per sample */
    uint32_t reserved;         /* not read */
    const uint8_t *raw;        /* width x height samples, row-major */
    int32_t width;             /* image size in pixels: even, at least 4 */
    int32_t height;
    int32_t left;              /* node-centre limits in image pixels, */
    int32_t top;               /* halved (truncated) before use */
    int32_t right;
    int32_t bottom;
    int32_t nx;                /* grid columns and rows, at least 2 each */
    int32_t ny;
    int32_t window;            /* side of the averaging square, 1..plane size */
    uint32_t gain_scale;       /* channel scales = gain_scale / 32 (unless
                                  unity_scale); they do not change the table */
    uint8_t find_brightest;    /* non-zero: peak = brightest window mean;
                                  0: every node gain is 1.0 */
    uint8_t unity_scale;       /* non-zero: channel scales 1.0 */
    uint32_t centre_offset_x;  /* optical centre = offset + half size / 2 + 1 */
    uint32_t centre_offset_y;
    int32_t max_gain_x10;      /* highest gain x 10, raised to 10 when smaller */
    double poly[6];            /* radial polynomial c0..c5, in millionths */
    int32_t cell_width;        /* node spacing; the last cell takes the rest */
    int32_t cell_height;
} shading_table_config;

/* Working state of the spline stage: filled from the configuration by
 * ShadingCalibrateEx, or by the caller for Shading_Calibration_Process. The
 * fields after `fixed` carry the node-gain settings of the configuration. */
typedef struct shading_table_state {
    int32_t width;             /* image size in pixels */
    int32_t height;
    uint32_t bit_depth;
    const uint8_t *raw;
    int32_t left;              /* node-centre limits in image pixels */
    int32_t top;
    int32_t right;
    int32_t bottom;
    int32_t cell_width;
    int32_t cell_height;
    int32_t last_cell_width;   /* output: half_width - (nx - 2) x cell_width */
    int32_t last_cell_height;  /* output: half_height - (ny - 2) x cell_height */
    int32_t window;
    int32_t half_height;       /* channel-plane size */
    int32_t half_width;
    int32_t nx;
    int32_t ny;
    float scale[4];            /* channel scales (not used by the table) */
    uint32_t fixed[3][4];      /* 128, 128, 128, 32 / 0, 0, 0, 32 / 0, 0, 0, 32 */
    uint32_t find_brightest;   /* non-zero: peak = brightest window mean */
    int32_t max_gain_x10;      /* at least 10; gains are limited to 1.0 .. x10 x 0.1 */
    double centre_x;           /* optical centre in channel pixels */
    double centre_y;
    double poly[6];            /* radial polynomial c0..c5 (not in millionths) */
} shading_table_state;

/* Result of ShadingCalibrateEx. */
typedef struct shading_table_result {
    uint32_t count;            /* valid words */
    uint32_t words[1000];      /* the table; words from `count` on are 0 */
} shading_table_result;

/* Grid shading table from one raw flat field.
 * format 0: per cell (row by row) and channel 0..3, four words of three
 * 10-bit sign-and-magnitude cubic coefficients (c3 << 20 | c2 << 10 | c1 for
 * the triples 1-3, 4-6, 7-9, 10-12): 16 x (nx - 1) x (ny - 1) words.
 * format 1: per node (row by row) two words: channel 0 | channel 1 << 16,
 * channel 2 | channel 3 << 16, each gain x 8192 + 0.5 truncated and
 * saturated at 65535: 2 x nx x ny words.
 * same_green non-zero: channel 2 takes channel 1's table in both formats.
 * Returns 0 on success; 6 when a coefficient was clamped to magnitude 511
 * (the table is still written; this also happens with format 1, whose
 * coefficients are computed but not packed); 4 when the table exceeds the
 * limit of table_kind; 2 when raw is NULL (checked after the limit); 5 when
 * the table exceeds the 1000 result words (table_kind other than 0 or 1);
 * 3 when a grid vector or matrix cannot be allocated (its line, "allocation
 * failure in vector()" or "allocation failure 2 in matrix()", is printed on
 * standard output). The raw buffer is read only within width x height
 * samples (x 2 bytes for bit_depth 10).
 * MORVIK_STATUS_INVALID_ARGUMENT, before anything is read: config or result
 * NULL; format other than 0 or 1; width or height below 4 or odd; nx or ny
 * below 2; window below 1 or above the plane's width or height; cell_width
 * or cell_height below 1, or a node column/row that would not lie left of /
 * above the last one (half size - (n - 2) x cell size below 2); limits that
 * put a node's averaging centre beyond the plane (left / 2 or top / 2 above
 * the plane size). Except with 0 and 6, *result is untouched.
 * Choices: channel samples are the high byte of the unpacked 16-bit sample
 * (10-bit: bits 2..9), 0 counted as 1; node positions are integers; a
 * node's averaging centre is raised to the lower, then lowered to the upper
 * halved limit; its square is placed in whole channel pixels (half a window
 * = window / 2, truncated); the optical centre is computed in double (a
 * half-pixel centre when the half size is odd); a node gain that is not a
 * number (non-finite polynomial) counts as 1.0. Arithmetic is double; node
 * gains, spline second derivatives (natural spline, tridiagonal sweep with
 * its scratch vector kept in single precision) and coefficients are
 * rounded to single precision where they are kept, and a coefficient formula
 * that uses an earlier coefficient uses the kept one.
 * Thread-safe: the grid matrices live for one call. */
MORVIK_API int32_t ShadingCalibrateEx(const shading_table_config *config, shading_table_result *result, int32_t format, int32_t same_green);

/* The spline stage alone on a prepared state: planes[c] points to channel
 * c's 8-bit plane, half_width x half_height samples, row-major (channel c =
 * row parity x 2 + column parity of the mosaic); coefficients[c] receives 12
 * encoded coefficients (10-bit sign and magnitude, c1 first) per cell, cells
 * row by row: 12 x (nx - 1) x (ny - 1) values. Writes last_cell_width and
 * last_cell_height into *state. Returns 0 (also when a coefficient was
 * clamped); 3 when a grid vector or matrix cannot be allocated (its line is
 * printed, nothing is written); gains as ShadingCalibrateEx computes them; MORVIK_STATUS_INVALID_ARGUMENT when a pointer
 * is NULL or the state breaks a rule of ShadingCalibrateEx's configuration
 * (half sizes below 2 instead of the image size), nothing written. */
MORVIK_API int32_t Shading_Calibration_Process(shading_table_state *state, const uint8_t *const planes[4], uint16_t *const coefficients[4]);

/* ==== end of lens shading ==== */

/* ======================================================================
 * Sensor response
 * ====================================================================== */

/* Flat-field series of SC_SlopeOffset_Calibration (read only). */
typedef struct sc_input {
    uint8_t bit_mode;              /* 1: 10-bit data (saturation 1023.0);
                                      other: 8-bit data (saturation 255.0) */
    int32_t count;                 /* number of points, at least 5 */
    uint32_t reserved;             /* not read */
    const int32_t *exposure;       /* count exposures, increasing */
    const double *response[4];     /* per channel 0..3, count mean responses */
    uint32_t black[4];             /* black level per channel */
} sc_input;

/* Per-channel straight-line fit over the linear part of the series.
 * The fit takes points 0..4, then adds one point at a time while the next
 * point stays below saturation and within the relative-error threshold
 * (3 x the largest mean relative error of points 0..4, at least 0.015).
 * Outputs (4 values each, channels 0..3): gains = largest slope / slope;
 * offsets = black - intercept (x 4 unless bit_mode is 1) rounded half away
 * from zero, 32-bit wrap-around; slopes, intercepts as fitted. ratio =
 * saturation / linear limit, at least 1.0; linear_limit = the response level
 * where linearity ends (the saturation level when it never ends).
 * Creates "sensorcurve.csv" empty in the inspection folder (MORVIK_INSPECT_DIR)
 * and goes on if it cannot.
 * Returns 0. MORVIK_STATUS_INVALID_ARGUMENT when a pointer (input, its
 * arrays, any output) is NULL or count is below 5: nothing is written and no
 * file is created.
 * Choices: zero slopes and zero predictions follow IEEE double arithmetic
 * (infinite or NaN gains and errors); a NaN error never exceeds the
 * threshold and a NaN mean error is left out of it; the largest slope is the
 * largest non-NaN one; an intercept that is not finite or whose rounded
 * value leaves the signed 64-bit range counts as 0 in the offset. */
MORVIK_API int32_t SC_SlopeOffset_Calibration(int32_t reserved, const sc_input *input, double *gains, uint32_t *offsets, double *slopes, double *intercepts, double *ratio, double *linear_limit);

/* Light-value ladder of SC_LV_Calculation (read and written). */
typedef struct sc_lv {
    uint8_t scale;                 /* divisor of the levels, non-zero */
    double base_log2;              /* log2 of the exposure base */
    double lv_45;                  /* output: light value of level 45 */
    double lv[14];                 /* output: light values of levels 60, 75, ..., 255 */
    uint16_t level_45;             /* output: 45 */
    uint16_t level[14];            /* output: levels the light values stand for */
} sc_lv;

/* Light values (log2 of level / scale x 2^base_log2, one decimal, strictly
 * increasing by at least 0.1) of the levels 45, 60, ..., 255 and the levels
 * they stand for. Returns 0; 2 when scale is 0 (nothing written);
 * MORVIK_STATUS_INVALID_ARGUMENT when lv is NULL.
 * Choices: every fixed-point power input (base_log2 x 1024 and light value
 * x 1024, truncated) is clamped to -16384..16383, as the lens shading's
 * power (so light values of 16 or more stand for 2^(16383/1024)); NaN counts
 * as 0; a log input beyond 32 bits saturates at 4294967295 and a level above
 * 65535 saturates at 65535. */
MORVIK_API int32_t SC_LV_Calculation(sc_lv *lv);

/* ==== end of sensor response ==== */

/* ======================================================================
 * Hue/saturation (PCA) tables
 * ====================================================================== */

/* PCA table: three arrays of signed 32-bit entries, one entry per hue bin,
 * in this order: hue rotation (half degrees), chroma gain minus one (1/128)
 * and luma gain minus one at full chroma (1/128). The exchanged table has
 * 180 bins of 2 degrees (MORVIK_PCA_BINS entries per array, 540 words). */
#define MORVIK_PCA_BINS 180
#define MORVIK_PCA_TABLE_WORDS 540

/* The PCA block's hue angle of the chroma vector (x = U - 128, y = V - 128)
 * in whole degrees, 0..359, with the block's integer arithmetic: a 14-bit
 * reciprocal of the larger magnitude, a 256-entry table of atan(i/256) in
 * degrees (rounded half up) and quadrant folding. (0, 0) gives 0. Any 32-bit
 * values are accepted; beyond the 8-bit range the reciprocal loses precision
 * as in the hardware (a larger magnitude above 32768 gives index 0). */
MORVIK_API int32_t atan2_hw_360(int32_t y, int32_t x);

/* The PCA block on one pixel. `y`, `u`, `v` each point to one word holding
 * an 8-bit code shifted left by 8 (bits 0..7 are ignored; U and V are offset
 * binary around 128); they are overwritten with the transformed codes
 * shifted left by 8 (bits 0..7 zero). The pixel's hue angle plus
 * `hue_offset` (360 subtracted once when the sum reaches 360) selects the
 * bin: angle / 2 into 180-entry arrays when `full_circle` is 0, the angle
 * itself into 360-entry arrays otherwise. The bin's hue entry rotates the
 * chroma (odd entries by the rounded mean of the neighbouring degrees'
 * sine and cosine, in 1/1024), the saturation entry scales it, and the luma
 * entry scales the luma with a weight rising from 0 at chroma magnitude
 * `chroma_threshold` to 1 at `chroma_threshold` + 16. Returns the angle
 * after the offset (0..359).
 * Words above 65535 give codes above 255, which go through the same steps in
 * 64-bit integers and doubles (no wrap-around); every output code is
 * clamped to 0..255.
 * Returns MORVIK_STATUS_INVALID_ARGUMENT (-1), writing nothing, when a
 * pointer is NULL or `hue_offset` is outside 0..359 (the bin would lie
 * outside the arrays). The arrays' lengths cannot be checked. */
MORVIK_API int32_t pca_core(uint32_t *y, uint32_t *u, uint32_t *v, int32_t hue_offset, int32_t chroma_threshold, int32_t full_circle, const int32_t *hue_table, const int32_t *sat_table, const int32_t *luma_table);

/* Generation settings of AutoGenTable (40 bytes). */
typedef struct pca_gen_settings {
    uint8_t skip_limiter;     /* non-zero: no slope limiter */
    int32_t chroma_threshold; /* passed to pca_core for the prediction */
    double hue_limit;         /* largest change per degree of hue of the hue, */
    double sat_limit;         /* saturation and luma corrections; used in */
    double luma_limit;        /* single precision */
    int32_t patch_count;      /* N: must be 18 */
} pca_gen_settings;

/* A whole table (540 words) from the 18 chromatic patches of a chart.
 * `patches` holds 25 source RGB triplets then 25 target RGB triplets (150
 * words, 8-bit values in 32-bit words); the first 18 of each are used. Per
 * patch: integer YUV (luma code ((Y * 255) >> 8) + 1, U, V, each clamped to
 * 0..255), a hue record (hue by atan2_hw_360, chroma = truncate(sqrt(du^2 +
 * dv^2 + 0.5)), luma = the luma code); records sorted by source hue (stable),
 * targets unwrapped by 360 across 0, patches whose target hue crosses the
 * next one's dropped; hue correction 2 (target - source) half degrees,
 * saturation and luma corrections truncate((target - source) / source *
 * 128 + 0.5), 0 when the source value is 0. A slope limiter runs forward
 * over one copy and backward over another, the two copies are interpolated
 * over the 180 bins (the wrap gap between the last and first patch included),
 * each candidate predicts the first N patches (N reduced by the dropped
 * ones) through pca_core, and the candidate whose mean a*b* error to the
 * targets is smaller is written, candidate 2 on a tie. The luma array is 0.
 * Choices: the limiter runs in single precision (limits, slopes |d(k) -
 * d(k+1)| / G, products G * limit and the sums or differences are each
 * rounded to float before comparing or truncating); the forward direction
 * allows at most N wrap restarts, and a wrap correction beyond that stops
 * the whole limiter without being applied. L*a*b* is single precision
 * throughout (every product, sum and power rounded to float) with the sRGB
 * matrix rows (0.4124, 0.3576, 0.1805), (0.2126, 0.7152, 0.0722), (0.0193,
 * 0.1192, 0.9505) applied to the linearised colour and then scaled by 100;
 * the errors and their mean are single precision. A converted value that is
 * NaN or outside the 32-bit range becomes INT32_MIN.
 * Returns 0; MORVIK_STATUS_INVALID_ARGUMENT (-1), with `table` untouched,
 * for a NULL pointer or a patch count other than 18. */
MORVIK_API int32_t AutoGenTable(const int32_t *patches, int32_t *table, const pca_gen_settings *settings);

/* Request of AdvTuning (56 bytes). */
typedef struct pca_tuning_request {
    int32_t source[3];   /* R, G, B of the colour to change */
    int32_t target[3];   /* R, G, B it should become */
    int32_t range_below; /* degrees of hue below the source hue to edit */
    int32_t range_above; /* degrees of hue above it */
    double hue_limit;    /* largest half difference of neighbouring hue entries */
    double sat_limit;    /* the same for saturation entries */
    int32_t max_steps;   /* softening steps allowed on the hue array */
    float strength;      /* 0..1: share of the change applied */
} pca_tuning_request;

#define MORVIK_PCA_TOO_MANY_STEPS 5

/* Edits the hue and saturation arrays (the first 360 words of `table`) for
 * one colour. Bins (source hue - range_below) / 2 .. (source hue +
 * range_above) / 2 (C division, toward zero; modulo 180) get the hue shift
 * truncate(2 D * strength), D the target minus the source hue the shorter
 * way across 0, and the saturation truncate((target - source chroma) /
 * source chroma * strength * 128 + 0.5) (0 for a source chroma of 0). Then
 * the hue array is softened below the range (walking down from its first
 * bin) and above it (walking up from its last): while half the difference
 * of the current bin and the next is at least the limit, the next becomes
 * the current value plus twice the limit (minus, when the current value is
 * above it), truncated, one step each; a walk ends at the first neighbour
 * within the limit or on reaching the range's other end (at most 180
 * steps, a one-bin range walking the whole circle). The saturation array is
 * softened the same way without counting steps.
 * `report` gets 10 words: source hue, chroma, luma; target hue, chroma,
 * luma; start and end angle of the softened range (twice the bin on which
 * each walk found its neighbour within the limit, 0..358; twice the range's
 * own first or last bin when the walk reached the other end); start and end
 * angle of the edited range (twice its first and last bin, possibly outside
 * 0..358). Hue records as for AutoGenTable. Limits and strength are not
 * validated; a value that truncates to NaN or beyond 32 bits gives
 * INT32_MIN.
 * Returns 0, or MORVIK_PCA_TOO_MANY_STEPS (5) when the softening of the hue
 * array takes more than max_steps steps: after the downward walk, or after
 * both. The hue array then keeps the changes made so far, the saturation
 * array holds the edited range unsoftened, and the report is complete
 * except that a softened-range end not yet walked holds the edited range's
 * end (word 7 = word 9 when the first walk exceeded the limit).
 * MORVIK_STATUS_INVALID_ARGUMENT (-1), nothing written, for a NULL pointer. */
MORVIK_API int32_t AdvTuning(const pca_tuning_request *request, int32_t *table, int32_t *report);

/* ==== end of PCA tables ==== */

/* ======================================================================
 * Gamma tables
 * ====================================================================== */

/* Anchor curve: 20 8-bit outputs at the 8-bit input codes 2, 4, 8, 16, 24,
 * 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 208, 224, 240; the
 * curve is pinned to 255 at the top of the input range. */
#define MORVIK_GAMMA_ANCHORS 20

/* Input block of aeZetDllUpateGammaTable, 8212 bytes: the gamma anchors, then
 * four tone curves mapping a 10-bit code (the index) to a 10-bit code (values
 * of 1023 and above are the top of the range). No padding. */
typedef struct GammaUpdateInput {
    uint8_t anchors[MORVIK_GAMMA_ANCHORS];
    uint16_t tone[4][1024];
} GammaUpdateInput;

/* Output block of aeZetDllUpateGammaTable, 420 bytes. */
typedef struct GammaUpdateOutput {
    uint8_t anchors[MORVIK_GAMMA_ANCHORS];              /* the gamma anchors, copied */
    uint8_t composed[4][MORVIK_GAMMA_ANCHORS];          /* gamma after tone curve k */
    uint8_t preview[5][64];                             /* 0: gamma, 1..4: composed;
                                                           samples at inputs 2, 4, 8, ..., 252 */
} GammaUpdateOutput;

#ifdef __cplusplus
static_assert(sizeof(GammaUpdateInput) == 8212, "GammaUpdateInput must be 8212 bytes");
static_assert(sizeof(GammaUpdateOutput) == 420, "GammaUpdateOutput must be 420 bytes");
#else
typedef char morvik_gamma_input_is_8212_bytes[(sizeof(GammaUpdateInput) == 8212) ? 1 : -1];
typedef char morvik_gamma_output_is_420_bytes[(sizeof(GammaUpdateOutput) == 420) ? 1 : -1];
#endif

/* Compose the gamma anchors after each tone curve, resampled at the anchor
 * positions (10-bit code floor(p * 1023 / 255) of 8-bit position p), and
 * render the gamma and the four compositions as 64-point previews. All
 * arithmetic is integer: piecewise linear between anchors with rounding by
 * arithmetic shift (a falling segment rounds toward minus infinity), a flat
 * start at (anchor 0 + 1) >> 1 and a rounded line from the last anchor to
 * 255 at the top. Returns nothing; does nothing when a pointer is NULL. The
 * output is computed completely before it is stored, so the blocks may
 * overlap. */
MORVIK_API void aeZetDllUpateGammaTable(const GammaUpdateInput *input, GammaUpdateOutput *output);

/* KT2 gamma table: 144 grid entries over the 12-bit input (steps 8 below 512,
 * 16 below 1024, 32 below 2048, 128 up to 4095). A packed word holds the
 * 10-bit base in bits 0..9 and the rise over the step in bits 10..15; readers
 * use only these 16 bits. A base array has 145 words: the 144 bases and the
 * 10-bit curve value at input 4095. */
#define MORVIK_GAMMA_KT2_ENTRIES 144
#define MORVIK_GAMMA_KT2_BASES 145

/* Status of GMA_convert_KT2_to_KT1_file when the gamma file cannot be
 * opened (or is not a regular readable file); nothing is written. */
#define MORVIK_GAMMA_CANNOT_OPEN 1

/* KT2 table from 20 KT1 anchors (8-bit outputs, one 32-bit word each), and
 * the gamma text file at `path` (created or overwritten, binary mode, "\n"
 * line ends): five comment lines, 16 position lines, 144 "%.4X" words.
 * Writes base[0..144] and packed[0..143]; a rise outside 0..63 is kept whole
 * in the packed word (32-bit wrap-around for a falling curve). Anchor
 * values above 255 take part in the unsigned 32-bit arithmetic as given;
 * curve values are capped at 1023.
 * Returns 0, also when the file cannot be created or written: the tables are
 * filled, no file is written (a partly written one is removed) and
 * morvik_last_error() names the file.
 * MORVIK_STATUS_INVALID_ARGUMENT when a pointer (`path` included) is NULL;
 * nothing is written. */
MORVIK_API int32_t GMA_convert_KT1_to_KT2(const uint32_t *anchors, uint32_t *base, uint32_t *packed, const char *path);

/* KT1 anchors from a KT2 packed table. Writes base[0..143] (the 10-bit bases)
 * and anchors[0..19]; reads base[144] as the curve value at input 4095. The
 * final curve is interpolated from the bases alone (slope fields ignored).
 * Anchor k is the curve at 16 times its 8-bit position with its two low bits
 * dropped; those inputs are all grid positions, so both reverse exports give
 * the bases there >> 2, 0..255, whatever the slopes. Returns 0, or MORVIK_STATUS_INVALID_ARGUMENT for a NULL pointer
 * (nothing written). */
MORVIK_API int32_t GMA_convert_KT2_to_KT1(const uint32_t *packed, uint32_t *anchors, uint32_t *base);

/* Read the gamma text file at `path` into packed[0..] and convert it with the
 * stored slopes: writes anchors[0..19] and base[0..143] (base[144] is neither
 * read nor written). The file is read in binary mode in pieces of at most 253
 * characters, each piece ending at a line feed: a longer line continues as
 * further pieces, a carriage return is an ordinary character (it ends the
 * digits). A piece whose first character is '@', '/' or '#' is skipped;
 * every other piece gives one word, its leading hexadecimal digits (either
 * case) in 32-bit arithmetic (wrapping), 0 when it starts with anything else
 * (an empty line included).
 * At most 144 words are read; packed entries beyond the words read keep their
 * contents and take part in the conversion.
 * Returns 0; MORVIK_GAMMA_CANNOT_OPEN (1) when `path` cannot be opened, is
 * not a regular file or cannot be read (nothing written);
 * MORVIK_STATUS_INVALID_ARGUMENT for a NULL pointer (nothing written). */
MORVIK_API int32_t GMA_convert_KT2_to_KT1_file(const char *path, uint32_t *anchors, uint32_t *packed, uint32_t *base);

/* ==== end of gamma tables ==== */

/* ======================================================================
 * Register and level conversions (KT2)
 * ====================================================================== */

/* Conversions between KT2 register blocks (caller-owned arrays of 32-bit
 * register words, word n at byte offset 4n) and the tuning tool's levels and
 * sliders. A SET writes the fields a level stands for and keeps every other
 * bit; a GET returns the level (or writes the sliders) and a flag: 0 when the
 * fields are exactly what that level produces, 1 when they differ. Blocks:
 * DM 21 words, EE 16, 3D noise reduction 15, ANR 18, chroma reduction 4,
 * saturation 545; the multi-frame exports take one word.
 *
 * Refusals (nothing written, reason in morvik_last_error()):
 *  - SETs return MORVIK_STATUS_INVALID_ARGUMENT for a null `reg`, a DM
 *    `slider1` outside 0..15 (it would index past the slider table), a
 *    negative luma or chroma noise level (it has no spread) and a saturation
 *    table index outside 0..2; otherwise 0.
 *  - GETs return 0 when a pointer is null (and the saturation GET for a table
 *    index outside 0..2). The slider read-backs return 0 in every case.
 * Other levels outside the documented ranges are masked to their fields'
 * widths and clamped as the conversions describe. */

/* Demosaic sliders: `slider1` 0..15 picks a row of the slider table,
 * `slider2` (-3..3) moves the level field by 2 per step (a level below 1 is
 * written 0, then its low 5 bits). */
MORVIK_API int32_t ISP_KT2_DM_ALLSLIDER_REG(uint32_t *reg, int32_t slider1, int32_t slider2);
/* Nearest slider row (sum of absolute field differences, the lower row on a
 * tie) and level offset (searched 3 down to -3, so where several offsets give
 * level 0 the largest is returned; with no match the halved difference from
 * the row's base, clamped to -3..3). When the fields are not exactly a slider
 * setting, prints "Warning: DM parameters are been modified after deciding DM
 * sliders.\tClosest slider values will be used.\n" on standard output and
 * writes `modified` 1. */
MORVIK_API int32_t ISP_KT2_DM_REG_ALLSLIDER(const uint32_t *reg, int32_t *slider1, int32_t *slider2, int32_t *modified);

/* Edge-enhancement curve from knee position `slider1` (0..150, below 8 taken
 * as 8), first-level step `slider2` (0..7) and peak level `slider3`
 * (0..1023); any values are accepted and masked to the fields. The
 * sub-slopes truncate(Y1 / qk + 0.5) divide in double (knee 8, step 7: sub-slope
 * 2 is 210 / 4 + 0.5, so 53). Word 4 bits 0..15 are cleared. */
MORVIK_API int32_t ISP_KT2_EE_ALLSLIDER_REG(uint32_t *reg, int32_t slider1, int32_t slider2, int32_t slider3);
/* Sliders read back (`slider1` capped at 150, `slider2` at 7, `slider3` the
 * mean of the two peak copies). `modified` is 1, with "Warning: EE parameters
 * are been modified after deciding EE sliders.\tClosest slider values will be
 * used.\n" on standard output, when the knots, levels, clip levels or
 * sub-knots are not what a slider setting gives; a knee of 84 or more always
 * reads back modified (the check expects sub-knots 20, 40, 60). */
MORVIK_API int32_t ISP_KT2_EE_REG_ALLSLIDER(const uint32_t *reg, int32_t *slider1, int32_t *slider2, int32_t *slider3, int32_t *modified);

/* 3D noise reduction: strength (word 0 bits 0..4) and the Y, U, V noise
 * ladders (words 6..8, 9..11, 12..14; bits 5..7 of each byte kept). A noise
 * level above 31 keeps its low 5 bits in the level field while the other
 * fields come from the full value. The strength GET never reports a change. */
MORVIK_API int32_t ISP_KT2_NR3D_SET_STRENGTH_REG(uint32_t *reg, int32_t level);
MORVIK_API int32_t ISP_KT2_NR3D_STRENGTH_GET_LEL(const uint32_t *reg, int32_t *changed);
MORVIK_API int32_t ISP_KT2_NR3D_SET_YNOISE_REG(uint32_t *reg, int32_t level);
MORVIK_API int32_t ISP_KT2_NR3D_YNOISE_GET_LEL(const uint32_t *reg, int32_t *changed);
MORVIK_API int32_t ISP_KT2_NR3D_SET_UNOISE_REG(uint32_t *reg, int32_t level);
MORVIK_API int32_t ISP_KT2_NR3D_UNOISE_GET_LEL(const uint32_t *reg, int32_t *changed);
MORVIK_API int32_t ISP_KT2_NR3D_SET_VNOISE_REG(uint32_t *reg, int32_t level);
MORVIK_API int32_t ISP_KT2_NR3D_VNOISE_GET_LEL(const uint32_t *reg, int32_t *changed);

/* Multi-frame blending, on the one word `reg` points to. The mixer word is
 * the level itself (never reported changed). The threshold word holds T in
 * bits 24..31 and its step in bits 8..15: 5 below 12, then 5 - (T - 12) / 4
 * but at least 3, derived from the stored byte (the low 8 bits of T). */
MORVIK_API int32_t ISP_KT2_MFLL_SET_MIXER_REG(uint32_t *reg, int32_t level);
MORVIK_API int32_t ISP_KT2_MFLL_MIXER_GET_LEL(const uint32_t *reg, int32_t *changed);
MORVIK_API int32_t ISP_KT2_MFLL_SET_MFB_TH_REG(uint32_t *reg, int32_t level);
MORVIK_API int32_t ISP_KT2_MFLL_MFB_TH_GET_LEL(const uint32_t *reg, int32_t *changed);

/* Spatial noise reduction (ANR block). Strengths keep their low 7 bits. */
MORVIK_API int32_t ISP_KT2_ANR_SET_Y_STRENGTH_REG(uint32_t *reg, int32_t level);
MORVIK_API int32_t ISP_KT2_ANR_Y_STR_GET_LEL(const uint32_t *reg, int32_t *changed);
MORVIK_API int32_t ISP_KT2_ANR_SET_C_STRENGTH_REG(uint32_t *reg, int32_t level);
MORVIK_API int32_t ISP_KT2_ANR_C_STR_GET_LEL(const uint32_t *reg, int32_t *changed);
/* Luma noise `level` (0 or more; above 20 the filter takes its last value)
 * with the `companion` level that picks noise mode 1 at 6 or more. Writes the
 * filter fields, the fixed constants, the threshold word of the spread
 * truncate(48 level^1.1), the window field when word 0 bit 12 is set, the
 * blended threshold (clamped to 20, then its low byte) and the noise terms. */
MORVIK_API int32_t ISP_KT2_ANR_SET_Y_NOISE_REG(uint32_t *reg, int32_t level, int32_t companion);
/* Level 0..64 by search: the first whose SET (with bit 12 clear) reproduces
 * every compared field, else `changed` 1 and the first level whose top
 * threshold reaches the block's (64 if none). */
MORVIK_API int32_t ISP_KT2_ANR_Y_NOISE_GET_LEL(const uint32_t *reg, int32_t *changed);
/* Chroma noise `level` (0 or more): filter field, mode bit 4, the threshold
 * word of the spread truncate(64 (level / 2)^1.3 + 0.5) + 20 (level / 2 in
 * double; times 1.2, rounded, when word 0 bit 12 is set) and the blended
 * threshold (low byte, then raised to 20). Both blended thresholds are
 * computed in double and truncated (1.4 x 45 + 0.6 x 0 gives 62). */
MORVIK_API int32_t ISP_KT2_ANR_SET_C_NOISE_REG(uint32_t *reg, int32_t level);
/* Level 0..64 by search, as the luma GET, comparing word 9 bits 8..12 and
 * word 10 with values computed as if bit 12 were clear. */
MORVIK_API int32_t ISP_KT2_ANR_C_NOISE_GET_LEL(const uint32_t *reg, int32_t *changed);

/* Chroma reduction. Threshold b above 224 is written 223 (224 itself is
 * kept); word 3 bit 15 keeps its value. */
MORVIK_API int32_t ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(uint32_t *reg, int32_t level);
/* Level 0..64 by search; with no exact match, the first level whose
 * threshold a reaches the block's (64 if none), `changed` 1. */
MORVIK_API int32_t ISP_KT2_CHROMA_REDUCT_GET_LEL(const uint32_t *reg, int32_t *changed);

/* Saturation of table `table` (0..2): word `table` becomes `level` and every
 * bin of the table (words 5 + 180 table .. +179, bits 8..15, signed) moves by
 * level minus the old level (the old word read as signed 32-bit), clamped to
 * -127..127. */
MORVIK_API int32_t ISP_KT2_ANR_SET_SATURATION_REG(uint32_t *reg, int32_t level, int32_t table);
/* The stored saturation level of table `table` (word `table`, signed). */
MORVIK_API int32_t ISP_KT2_PCA_SAT_GET_LEL(const uint32_t *reg, int32_t table);

/* ==== end of register and level conversions ==== */

/* ======================================================================
 * Debug-information dump
 * ====================================================================== */

/* A camera's tuning build writes its parameters into APP segments of every
 * JPEG it captures. The calls form a sequence that shares module-level
 * state (not thread-safe; never overlap them):
 *
 *   DP_getInfo        reads the file into the parameter table and names every
 *                     field from the module headers of the host folder;
 *   DP_GET_SIZE       sizes of the dump (may be called any number of times);
 *   DP_GetAWBinfo, GetGGMTbl, GetPCATbl   copy the raw tables;
 *   one dump          DP_dumpInfo_File, DP_dumpInfo_File_RC or
 *                     DP_dumpInfo_array_RC; it consumes the parameter table
 *                     and the name lists, so the next dump needs a new
 *                     DP_getInfo.
 *
 * Results: 1 success, 0 failure. Null pointers (and a dimension list or
 * array-dump pointer that is null where something must be written) return 0
 * and change nothing.
 *
 * Host folder: MORVIK_HOST_DIR, else the folder of the running executable,
 * always with a trailing separator. It holds the module headers (version 2:
 * AAA/AE/AE.h, AAA/AF/AF.h, AAA/AWB/AWB.h, AAA/STROBE/STROBE.h,
 * AAA/FLICKER/FLICKER.h, ISP/ISP/ISP.h, CAM/CMN/CMN.h, CAM/MF/MF.h,
 * CAM/N3D/N3D.h, CAM/SENSOR/SENSOR.h, CAM/SHADING/SHADING.h; versions 0 and
 * 1: AE/AE.h, AF/AF.h, AWB/AWB.h, ISP/ISP.h and, in version 1, CAM/CAM.h),
 * each optionally shadowed by a versioned header PREFIX<version>_<value>.h
 * beside it (e.g. AAA/AE/AE_2_5.h). Windows uses "\" in these folders.
 * DP_getInfo writes the assembled header "TAG.h" there, makes the host
 * folder the process's current directory (so relative dump file names
 * resolve there) and logs the host folder as one debug-log line without a
 * line end. A module with neither header contributes no text to "TAG.h" but
 * still its three line ends.
 *
 * Untrusted files. DP_getInfo reads at most the first 4 MiB of the file;
 * bytes beyond the end of the file (or of those 4 MiB) read as zero, so a
 * truncated file yields zero words, not a failure. A debug segment is
 * rejected (contributes no blocks; a rejected main segment fails the call)
 * when:
 *   - it declares more than 10 blocks (ISP, camera and version-2 main
 *     segments), or, in versions 0 and 1, an ISP or camera segment other
 *     than one offset and one block;
 *   - it has fewer offsets than blocks (more offsets, in version 2 only,
 *     announce a tail at the last offset); a version 0/1 main segment needs
 *     exactly as many offsets as blocks;
 *   - an offset lies beyond the end of the segment or below the previous
 *     offset.
 * A version-2 tail region whose size is neither 8812 nor 8814 bytes is
 * ignored whole: neither the AWB debug block nor the GGM and PCA tables are
 * read from it. When a version 0/1 main segment has fewer than three
 * offsets, the header-selection values of the missing blocks are 0; a
 * missing ISP or camera segment also gives the value 0.
 * A failed DP_getInfo leaves no parameter table loaded.
 */

/* Read the debug information of the JPEG file `path`. `mode` 2 selects the
 * eleven-block layout of the dump, any other value the older layout; mode 0
 * rejects version 0 and 1 files. On success writes the number of blocks to
 * *blockCount and returns 1. Returns 0 when the file cannot be opened, the
 * main segment is missing or malformed (in version 2 also when the ISP or
 * camera segment is missing), or "TAG.h" cannot be written. A field index
 * without a name in "TAG.h" is dumped as its decimal index.
 * The GGM and PCA tables start zeroed at every call and are filled only by a
 * tail of this call; the AWB debug block keeps its last content (zeros
 * before any) until a tail replaces it. */
MORVIK_API int32_t DP_getInfo(const char *path, int32_t mode, int32_t *blockCount);

/* Number of words of the size record, and of the raw tables. */
#define DP_SIZE_RECORD_WORDS 12
#define DP_AWB_INFO_WORDS 2203
#define DP_GGM_WORDS 288
#define DP_PCA_WORDS 180

/* One record of the array dump: NUL-terminated texts cut to 31 characters.
 * Only the text and its NUL are written; the rest of a field keeps what the
 * caller put there. */
typedef struct DpDumpRecord {
    char label[32];
    char value[32];
} DpDumpRecord;

/* Size record (12 words) and dimension list. Mode 2: word 0 total items,
 * 1 AE lines, 2 AF cells, 3 AWB, 4 STRB, 5 always 0, 6 ISP, 7 CAM, 8 MF,
 * 9 N3D, 10 SENSOR, 11 SHADING lines. Older layout: 0 total, 1 AE, 2 AF
 * cells, 3 AWB, 4 ISP lines and, unless the file is version 0, 5 CAM lines;
 * the other words are left as they are. In both layouts AF is block 1
 * (name/value pairs with scan labels, values "%d") and AWB block 2.
 * `dims` holds one pointer per block (the N of DP_getInfo), each to two
 * words that receive the block's rows and pairs. Counts are exactly those
 * of the text dump. Sections whose block is missing from the table are
 * empty. With no table loaded (before DP_getInfo, after a dump or a failed
 * DP_getInfo) all 12 words are set to 0 and `dims` is not touched.
 * Returns 1, or 0 for a null pointer. The table stays loaded. */
MORVIK_API int32_t DP_GET_SIZE(int32_t *size, int32_t **dims);

/* Write the sectioned text dump to `fileName` (binary, "\n" line ends),
 * fill `size` as DP_GET_SIZE does and consume the table. Returns 0 when the
 * file cannot be created (the table stays; `dims` has been filled) and when
 * no table is loaded (nothing is written). Labels are cut to 51
 * characters. A block holds at most 2047 fields of at most 1024 values;
 * entries beyond these limits are left out of every dump and count. */
MORVIK_API int32_t DP_dumpInfo_File_RC(const char *fileName, int32_t *size, int32_t **dims);
MORVIK_API int32_t DP_dumpInfo_File(const char *fileName, int32_t *size);

/* Array dump: out[block][column][row - 1]. Mode 2 writes sections 0-3 and
 * 5-10 (not 4, flicker); the older layout 0-3 and, unless the file is
 * version 0, 4. Every section but AF uses column 0 only (pair 0 of each
 * row); AF writes every pair whose label is not empty into column p, so
 * size it with pairs + 2 columns of rows records (from DP_GET_SIZE). Returns
 * 1 and consumes the table; 0 when no table is loaded or a pointer on the
 * way to a record that must be written (`out` included) is null (then
 * nothing is written). */
MORVIK_API int32_t DP_dumpInfo_array_RC(DpDumpRecord ***out);

/* Copy the AWB debug block (2203 words), the ISP GGM table (288 words) and
 * the ISP PCA table (180 words). They read zeros before anything was read.
 * GetGGMTbl and GetPCATbl return 1 (0 for a null buffer). */
MORVIK_API void DP_GetAWBinfo(uint32_t *buffer);
MORVIK_API int32_t GetGGMTbl(uint32_t *buffer);
MORVIK_API int32_t GetPCATbl(uint32_t *buffer);

/* ==== end of debug-information dump ==== */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MORVIK_MORVIK_H */
