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
 * are used. The grey points and the search are single precision; the
 * extrapolation and the limit bytes are double precision computed from the
 * search's single-precision extremes. Every byte is the low 8 bits of the truncated value; a value
 * outside the 32-bit range gives 0.
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
 * centred and clamped into their large window. Returns 0, or
 * MORVIK_STATUS_INVALID_ARGUMENT for a null pointer (nothing written).
 * Results wrap to 32 bits when a window spans more than 2^31. */
MORVIK_API int32_t AWB_Small_win_Calibration(const AwbIntWindow *large, AwbIntWindow *small);

/* Copy the eleven windows about to be applied into the library's applied-
 * window table (zeroed at load; nothing else reads it). Not thread-safe.
 * Returns 0, or MORVIK_STATUS_INVALID_ARGUMENT for a null pointer (the table
 * is unchanged). */
MORVIK_API int32_t AWB_Update_11_Window_Before_Apply(const AwbIntWindow *windows);

/* Request of AWB_Filter: the AWB statistics filter register fields and the
 * raw frame (width x height 8-bit samples, rows without padding). */
typedef struct AWBFILTER_PARAM {
    uint8_t nFirstPixel; /* bit 0 column offset, bit 1 row offset: 0 R, 1 Gr, 2 Gb, 3 B */
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
 * lines) first. Each output pixel is computed straight from the raw samples:
 * the call needs no working memory and cannot run out of it. The outputs must
 * not overlap the raw frame.
 * Returns 0 (with width or height below 2 after logging, writing nothing),
 * or MORVIK_STATUS_INVALID_ARGUMENT, with nothing logged or written, for a
 * null pointer (request, raw, mask or rgb) or a frame too large to address
 * (width x height x 3 bytes beyond the address space). */
MORVIK_API int32_t AWB_Filter(const AWBFILTER_PARAM *param, uint8_t *mask, uint8_t *rgb);

/* ==== end of white balance ==== */

/* ======================================================================
 * Colour correction
 * ====================================================================== */

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
