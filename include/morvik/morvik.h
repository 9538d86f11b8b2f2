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
 * RBCHECKTHD untouched.
 * Minimum size: raw 6 x 6, colour 5 x 5.
 * Choices where the routine's definition leaves room:
 *  - Odd raw sizes: the last column (odd width) and stored row 0 (odd
 *    height) belong to no cell, and the 3x3-cell window is clamped to the
 *    cell grid, so it always holds the tested cell; even sizes are
 *    unaffected. The whole-image statistics cover the cells only.
 *  - Check values: a bright site compares the tested cell itself with the
 *    window's corner cells other than itself (for interior cells the tested
 *    cell is the window's middle cell), so near the borders the threshold
 *    still reflects the defect, not a normal pixel beside it.
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
 *  - `bayerOrder` uses its low 8 bits like Defect_Verify: 1 or 2 takes the
 *    greens from sites 0 and 3; every other value (0, 3 and anything outside
 *    0..3) from sites 1 and 2.
 *  - Colour channel statistics run over stored rows 0 .. height-1. */
MORVIK_API int32_t Unbalance_Verify(const uint8_t *image, int32_t format, int32_t bayerOrder, int32_t width, int32_t height, UnbalanceVerifyResult *result);

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
