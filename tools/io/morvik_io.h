/*
 * morvik_io: reading camera raw files (through LibRaw) and ordinary images
 * (through stb) into the plain buffers the morvik calibrations take. It
 * lives beside the core library, which stays free of dependencies; the CLI
 * links it statically and the Python package loads libmorvik_io.so.
 *
 * Statuses: 0 on success, otherwise one of the MORVIK_IO_* codes below;
 * morvik_io_last_error() then holds the reason as one line of text naming
 * the file. Nothing is written to an output buffer on failure.
 */
#ifndef MORVIK_IO_H
#define MORVIK_IO_H

#include <stddef.h>
#include <stdint.h>

#if defined(MORVIK_IO_BUILDING) && !defined(_WIN32)
#  define MORVIK_IO_API __attribute__((visibility("default")))
#else
#  define MORVIK_IO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MORVIK_IO_OK 0
#define MORVIK_IO_INVALID_ARGUMENT (-1) /* null pointer, buffer of the wrong size */
#define MORVIK_IO_CANNOT_OPEN 1         /* missing or unreadable file */
#define MORVIK_IO_UNKNOWN_FORMAT 2      /* content is no raw file / image we read */
#define MORVIK_IO_NOT_BAYER 3           /* raw file of a sensor without a 2x2 RGB Bayer mosaic */
#define MORVIK_IO_BAD_DATA 4            /* decoding failed, or levels without range */
#define MORVIK_IO_NO_MEMORY 5

/* Version of the morvik project this library was built with ("0.1.0"). */
MORVIK_IO_API const char *morvik_io_version(void);

/* Reason of the calling thread's last failed call (empty after a success).
 * Valid until the thread's next call into this library. */
MORVIK_IO_API const char *morvik_io_last_error(void);

/* What a raw file holds. Sites of the 2x2 cell are numbered as the Bayer
 * channels: 0 (even row, even column), 1 (even, odd), 2 (odd, even),
 * 3 (odd, odd), counted from the top-left sample of the visible area. */
typedef struct morvik_raw_info {
    uint32_t width;       /* visible area, samples */
    uint32_t height;
    uint32_t bayer_order; /* colour of the first sample: 0 R, 1 Gr, 2 Gb, 3 B */
    uint32_t black[4];    /* black level of each cell site */
    uint32_t white;       /* white level (largest meaningful code) */
    uint32_t bits;        /* bit depth: bits needed to hold `white` */
    uint32_t is_dng;      /* 1 for a DNG file */
    char make[64];        /* NUL-terminated */
    char model[64];
} morvik_raw_info;

typedef struct morvik_raw morvik_raw;

/* 1 when the file's content is a raw file that LibRaw recognises (DNG and
 * camera raw formats; no decoding), 0 otherwise (also for a missing file). */
MORVIK_IO_API int32_t morvik_io_is_raw(const char *path);

/* Decode the raw file `path` and keep its visible Bayer plane in a handle
 * (*out; close it with morvik_io_raw_close). Samples stay in sensor order:
 * the orientation flag of the file is not applied. Refused with
 * MORVIK_IO_NOT_BAYER: sensors without a colour mosaic, mosaics other than
 * one R, one B and two G per 2x2 cell (X-Trans, CMYG, ...), and rotated
 * (Fuji SuperCCD) layouts; MORVIK_IO_BAD_DATA: floating-point raw data, a
 * white level not above a site's black level, damaged data. LibRaw takes no
 * image below 22 samples per side (MORVIK_IO_UNKNOWN_FORMAT). */
MORVIK_IO_API int32_t morvik_io_raw_open(const char *path, morvik_raw **out);
MORVIK_IO_API void morvik_io_raw_close(morvik_raw *raw);
MORVIK_IO_API int32_t morvik_io_raw_info(const morvik_raw *raw, morvik_raw_info *info);

/* Copy the plane (raw codes, width x height, row-major, no padding) into
 * `plane`, which holds `count` samples; count must be width x height. */
MORVIK_IO_API int32_t morvik_io_raw_plane(const morvik_raw *raw, uint16_t *plane, size_t count);

/* The plane reduced to the 8-bit samples of the calibrations: with b the
 * black level of the sample's site (0 when keep_black is non-zero) and w the
 * white level, v8 = floor(((v - b) * 255 + (w - b) / 2) / (w - b)) with
 * integer division, clamped to 0..255 (codes below b give 0, codes above w
 * give 255). `count` must be width x height. */
MORVIK_IO_API int32_t morvik_io_raw_plane8(const morvik_raw *raw, int32_t keep_black, uint8_t *plane, size_t count);

/* The same reduction on a caller's plane: black[4] per cell site (see
 * above), white above every black level. */
MORVIK_IO_API int32_t morvik_io_reduce8(const uint16_t *plane, uint32_t width, uint32_t height, const uint32_t *black, uint32_t white, uint8_t *out);

/* Size of an image file (PNG, BMP, JPEG, TGA, PNM, ...). */
MORVIK_IO_API int32_t morvik_io_image_size(const char *path, uint32_t *width, uint32_t *height);

/* The image as 8-bit R, G, B, top row first, no padding; `bytes` must be
 * 3 x width x height as morvik_io_image_size reports. */
MORVIK_IO_API int32_t morvik_io_image_rgb(const char *path, uint8_t *rgb, size_t bytes);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MORVIK_IO_H */
