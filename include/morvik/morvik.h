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
 *   - its offset count is neither the block count nor, in version 2, the
 *     block count plus one (the tail); a version 0/1 main segment needs
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
typedef struct DP_DumpRecord {
    char label[32];
    char value[32];
} DP_DumpRecord;

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
MORVIK_API int32_t DP_dumpInfo_array_RC(DP_DumpRecord ***out);

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
