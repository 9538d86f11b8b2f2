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
 *  - gamma nodes saturate at 255. */
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

/* ==== end of debug-information dump ==== */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MORVIK_MORVIK_H */
