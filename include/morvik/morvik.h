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
 *                                   (sizes below); nothing written or logged.
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
