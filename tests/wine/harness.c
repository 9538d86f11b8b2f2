/*
 * Differential harness: calls every export of the library on deterministic
 * pseudo-random inputs and writes a transcript of everything observable:
 * each call's return value and output words (hex), morvik_last_error(), every
 * debug-log line (through morvik_set_log_sink) and the bytes of every file
 * the call wrote. The same source is built for Linux (loading libmorvik.so
 * with dlopen) and with MinGW-w64 (loading MORVIK_DLL.dll with LoadLibrary
 * and every export by name with GetProcAddress); tests/wine/run.sh runs both
 * and compares the transcripts.
 *
 *   harness LIBRARY EXAMPLES_DIR WORK_DIR TRANSCRIPT
 *
 * WORK_DIR must hold host/ (the module headers; MORVIK_HOST_DIR points at
 * it) and inspect/ (MORVIK_INSPECT_DIR). Nothing here uses floating-point
 * library functions: inputs come from integer arithmetic and the basic
 * operations, so both builds feed the library the same bits.
 *
 * Adding an export: write a case function (inputs from the rnd_* helpers,
 * the call through CALL(name), the outputs through the emit_* helpers) and
 * add one line to the table at the end.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "morvik/morvik.h"

/* ------------------------------------------------------------ plumbing */

static FILE *out;
static const char *examples_dir, *work_dir;
static char host_dir[1024], inspect_dir[1024];

static void fail(const char *what, const char *detail) {
    fprintf(stderr, "harness: %s %s\n", what, detail);
    exit(2);
}

#ifdef _WIN32
static HMODULE library;
static void *lookup(const char *name) {
    void *p = (void *)GetProcAddress(library, name);
    if (p == NULL) fail("missing export", name);
    return p;
}
static void open_library(const char *path) {
    library = LoadLibraryA(path);
    if (library == NULL) fail("cannot load", path);
}
#else
static void *library;
static void *lookup(const char *name) {
    void *p = dlsym(library, name);
    if (p == NULL) fail("missing export", name);
    return p;
}
static void open_library(const char *path) {
    library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) fail("cannot load", path);
}
#endif

/* Calls per export, for the summary. */
#define MAX_EXPORTS 128
static struct {
    const char *name;
    long calls;
} counts[MAX_EXPORTS];
static int n_counts;

static void count_call(const char *name) {
    int i;
    for (i = 0; i < n_counts; ++i)
        if (strcmp(counts[i].name, name) == 0) break;
    if (i == n_counts) {
        if (n_counts == MAX_EXPORTS) fail("too many exports", name);
        counts[n_counts++].name = name;
    }
    counts[i].calls++;
}

/* The export `name`, found by name at run time, typed by its declaration. */
#define CALL(name) (count_call(#name), (__typeof__(&name))lookup(#name))

/* ------------------------------------------------------------ output */

static void put(const char *s) { fputs(s, out); }

static void put_hex(uint32_t v, int digits) {
    char b[9];
    int i;
    for (i = digits - 1; i >= 0; --i, v >>= 4) b[i] = "0123456789abcdef"[v & 15];
    b[digits] = 0;
    put(b);
}

static void put_dec(long v) {
    char b[24];
    int i = 23;
    int neg = v < 0;
    unsigned long u = neg ? 0ul - (unsigned long)v : (unsigned long)v;
    b[i] = 0;
    do {
        b[--i] = (char)('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (neg) b[--i] = '-';
    put(b + i);
}

/* Text with every byte outside printable ASCII as \xNN. Digits after
 * "Time lapsed: " are masked: they measure the machine, not the library. */
static void put_text(const char *s, size_t n) {
    size_t i;
    int masking = 0;
    for (i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)s[i];
        if (i >= 13 && memcmp(s + i - 13, "Time lapsed: ", 13) == 0) masking = 1;
        if (masking && c >= '0' && c <= '9') {
            put("#");
            continue;
        }
        masking = masking && c >= '0' && c <= '9';
        if (c >= 32 && c < 127 && c != '\\') {
            fputc(c, out);
        } else {
            put("\\x");
            put_hex(c, 2);
        }
    }
}

static uint64_t fnv1a(const unsigned char *p, size_t n) {
    uint64_t h = 14695981039346656037ull;
    size_t i;
    for (i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

/* Large outputs are printed in full the first time their hash is seen and
 * by length and hash after that, which keeps the transcript small and still
 * shows every difference. */
#define MAX_SEEN 4096
static uint64_t seen[MAX_SEEN];
static int n_seen;

static int first_sight(uint64_t h) {
    int i;
    for (i = 0; i < n_seen; ++i)
        if (seen[i] == h) return 0;
    if (n_seen < MAX_SEEN) seen[n_seen++] = h;
    return 1;
}

/* Bytes as little-endian 32-bit words in hex (a tail of 1-3 bytes as bytes). */
static void emit_bytes(const char *label, const void *data, size_t n) {
    const unsigned char *p = (const unsigned char *)data;
    size_t i;
    put(label);
    put(":");
    if (n > 256) {
        uint64_t h = fnv1a(p, n);
        put(" len ");
        put_dec((long)n);
        put(" fnv ");
        put_hex((uint32_t)(h >> 32), 8);
        put_hex((uint32_t)h, 8);
        if (!first_sight(h)) {
            put("\n");
            return;
        }
    }
    for (i = 0; i + 4 <= n; i += 4) {
        put(i % 64 == 0 ? "\n " : " ");
        put_hex((uint32_t)p[i] | (uint32_t)p[i + 1] << 8 | (uint32_t)p[i + 2] << 16 | (uint32_t)p[i + 3] << 24, 8);
    }
    for (; i < n; ++i) {
        put(" ");
        put_hex(p[i], 2);
    }
    put("\n");
}

static void emit_i32(const char *label, int32_t v) {
    put(label);
    put(": ");
    put_hex((uint32_t)v, 8);
    put("\n");
}

static void emit_str(const char *label, const char *s) {
    put(label);
    put(": ");
    if (s == NULL) {
        put("(null)");
    } else {
        put("\"");
        put_text(s, strlen(s));
        put("\"");
    }
    put("\n");
}

static void emit_last_error(void) { emit_str("last_error", CALL(morvik_last_error)()); }

static void log_sink(const char *line, void *user) {
    (void)user;
    put("log: ");
    put_text(line, strlen(line));
    put("\n");
}

/* The bytes of a file the library wrote, then the file is removed. Files
 * the library writes in text mode (fold_crlf) get "\r\n" for every "\n" on
 * Windows; the Windows build undoes exactly that, turning each "\r\n" back
 * into "\n" (a "\r" of the data itself stays), so both builds print the
 * bytes the library meant to write. */
static void emit_file(const char *label, const char *path, int fold_crlf) {
    FILE *f = fopen(path, "rb");
    unsigned char *data = NULL;
    size_t n = 0, cap = 0, r, i, j;
    if (f == NULL) {
        put(label);
        put(": absent\n");
        return;
    }
    do {
        if (n + 4096 > cap) {
            cap = 2 * cap + 4096;
            data = (unsigned char *)realloc(data, cap);
            if (data == NULL) fail("out of memory reading", path);
        }
        r = fread(data + n, 1, 4096, f);
        n += r;
    } while (r > 0);
    fclose(f);
#ifndef _WIN32
    fold_crlf = 0;
#endif
    if (fold_crlf) {
        for (i = 0, j = 0; i < n; ++i)
            if (!(data[i] == '\r' && i + 1 < n && data[i + 1] == '\n')) data[j++] = data[i];
        n = j;
    }
    emit_bytes(label, data, n);
    free(data);
    remove(path);
}

static void join(char *dst, size_t cap, const char *dir, const char *name) {
    if (strlen(dir) + strlen(name) + 2 > cap) fail("path too long", name);
    strcpy(dst, dir);
    if (dst[0] != 0 && dst[strlen(dst) - 1] != '/' && dst[strlen(dst) - 1] != '\\') strcat(dst, "/");
    strcat(dst, name);
}

/* ------------------------------------------------------------ inputs */

static uint64_t rng_state = 0x6d6f7276696b2121ull;

static uint32_t rnd_u32(void) {
    uint64_t z = (rng_state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return (uint32_t)((z ^ (z >> 31)) >> 32);
}

/* Uniform integer in [lo, hi]. */
static int32_t rnd_int(int32_t lo, int32_t hi) {
    uint32_t span = (uint32_t)hi - (uint32_t)lo + 1u;
    return span == 0 ? (int32_t)rnd_u32() : (int32_t)((uint32_t)lo + rnd_u32() % span);
}

/* 1 with probability 1/n. */
static int one_in(int n) { return rnd_int(0, n - 1) == 0; }

/* Uniform in [lo, hi) with 32 random bits, by exact operations only. */
static double rnd_double(double lo, double hi) { return lo + (hi - lo) * ((double)rnd_u32() / 4294967296.0); }
static float rnd_float(double lo, double hi) { return (float)rnd_double(lo, hi); }

static int32_t pick(const int32_t *values, int n) { return values[rnd_int(0, n - 1)]; }

/* Buffers filled with a marker byte, so untouched bytes show as a5. */
static void *poisoned(size_t n) {
    void *p = malloc(n == 0 ? 1 : n);
    if (p == NULL) fail("out of memory", "");
    memset(p, 0xa5, n == 0 ? 1 : n);
    return p;
}

static uint8_t clamp_byte(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

/* ------------------------------------------------------------ catalogue */

static void case_catalogue(int i) {
    static const uint32_t fixed[] = {0u, 1u, 0xffffffffu, 0x80000000u, 2u};
    const uint32_t index = i < 5 ? fixed[i] : (one_in(2) ? (uint32_t)rnd_int(0, 3) : rnd_u32());
    const char *awb = CALL(AWB_GetDescription)(index);
    const char *cc = CALL(CC_GetDescription)(index);
    const char *cd = CALL(CD_GetDescription)(index);
    emit_i32("index", (int32_t)index);
    if (index == 0) {
        emit_bytes("awb", awb, 256);
        emit_bytes("cc", cc, 256);
        emit_bytes("cd", cd, 256);
    } else {
        emit_str("awb", awb);
        emit_str("cc", cc);
        emit_str("cd", cd);
    }
    emit_i32("awb_n", CALL(AWB_GetNumOfAlgorithms)());
    emit_i32("cc_n", CALL(CC_GetNumOfAlgorithms)());
    emit_i32("cd_n", CALL(CD_GetNumOfAlgorithms)());
    emit_last_error();
}

/* ------------------------------------------------------------ verification */

/* A test image in the bitmap layout: a flat level with noise and a few
 * planted bright and dark defects; raw images use the first byte only. */
static uint8_t *test_image(int32_t width, int32_t height, size_t *size) {
    const size_t stride = ((size_t)(width < 0 ? 0 : width) * 3 + 3) & ~(size_t)3;
    const size_t n = stride * (size_t)(height < 0 ? 0 : height);
    uint8_t *img = (uint8_t *)poisoned(n);
    const int level = rnd_int(10, 240), noise = rnd_int(0, 12), defects = rnd_int(0, 6);
    size_t k;
    int d;
    for (k = 0; k < n; ++k) {
        const int jitter = rnd_int(-noise, noise);
        img[k] = clamp_byte(level + jitter + (int)(k % 3) * rnd_int(0, 3));
    }
    for (d = 0; d < defects && n > 0; ++d) img[(size_t)rnd_int(0, (int32_t)n - 1)] = one_in(2) ? 255 : 0;
    *size = n;
    return img;
}

static void verification_size(int i, int32_t minimum, int32_t *width, int32_t *height) {
    switch (i % 6) {
    case 0: *width = rnd_int(-1, minimum); *height = rnd_int(-1, minimum); break; /* around the minimum */
    case 1: *width = minimum + rnd_int(0, 1); *height = minimum + rnd_int(0, 1); break;
    case 2: *width = 2 * rnd_int(3, 20) + 1; *height = 2 * rnd_int(3, 20) + 1; break; /* odd */
    case 3: *width = 2 * rnd_int(4, 36); *height = 2 * rnd_int(4, 28); break;         /* even */
    case 4: *width = rnd_int(minimum, 90); *height = minimum + rnd_int(0, 2); break;  /* narrow */
    default: *width = rnd_int(minimum, 64); *height = rnd_int(minimum, 48); break;
    }
}

static const int32_t formats[] = {1, 1, 1, 2, 2, 2, 0, 3, -1};
static const int32_t bayers[] = {0, 1, 2, 3, 0, 1, 2, 3, 4, -1, 0x102, 0x7fffffff};

static void case_defect(int i) {
    int32_t width, height, format = pick(formats, 9), bayer = pick(bayers, 12);
    size_t n;
    uint8_t *img;
    DefectVerifyResult *res = (DefectVerifyResult *)poisoned(sizeof *res);
    verification_size(i, 6, &width, &height);
    if (format == 2 && i % 6 == 1) width = height = 5;
    img = test_image(width, height, &n);
    {
        const int no_image = one_in(40), no_result = one_in(40);
        const int32_t threshold = rnd_int(-5, 300);
        emit_i32("ret", CALL(Defect_Verify)(no_image ? NULL : img, format, bayer, width, height, threshold,
                                            no_result ? NULL : res));
    }
    emit_bytes("result", res, sizeof *res);
    emit_last_error();
    free(img);
    free(res);
}

static void case_unbalance(int i) {
    int32_t width, height, format = pick(formats, 9), bayer = pick(bayers, 12);
    size_t n;
    uint8_t *img;
    UnbalanceVerifyResult *res = (UnbalanceVerifyResult *)poisoned(sizeof *res);
    verification_size(i, 2, &width, &height);
    img = test_image(width, height, &n);
    {
        const int no_image = one_in(40), no_result = one_in(40);
        emit_i32("ret", CALL(Unbalance_Verify)(no_image ? NULL : img, format, bayer, width, height,
                                               no_result ? NULL : res));
    }
    emit_bytes("result", res, sizeof *res);
    emit_last_error();
    free(img);
    free(res);
}

/* ------------------------------------------------------------ white balance */

static void case_awb_calibration(int i) {
    static const int32_t odd_counts[] = {0, 1, 21, 255, 0x105, -3};
    AwbGreyStatistics entries[20];
    AwbCalibrationResult *res = (AwbCalibrationResult *)poisoned(sizeof *res);
    const int32_t count = i % 8 == 7 ? pick(odd_counts, 6) : rnd_int(2, 20);
    const int spread = rnd_int(5, 400);
    int k;
    for (k = 0; k < 20; ++k) {
        const int g = rnd_int(100, 900);
        entries[k].key = (uint16_t)(i % 11 == 5 ? 5000 : rnd_int(2000, 9000));
        const int c1 = g + rnd_int(-spread, spread);
        const int c3 = g + rnd_int(-spread, spread);
        entries[k].channel1 = (uint16_t)(c1 > 1 ? c1 : 1);
        entries[k].channel2 = (uint16_t)g;
        entries[k].channel3 = (uint16_t)(c3 > 1 ? c3 : 1);
    }
    if (one_in(25)) entries[rnd_int(0, 19)].channel2 = 0;
    {
        const int32_t algorithm = rnd_int(-2, 2);
        const int32_t upper = rnd_int(0, 0x2ffff);
        const int32_t lower = rnd_int(0, 0x2ffff);
        const int no_entries = one_in(50), no_result = one_in(50);
        emit_i32("ret", CALL(AWB_Calibration)(algorithm, count, upper, lower, no_entries ? NULL : entries,
                                              no_result ? NULL : res));
    }
    emit_bytes("result", res, sizeof *res);
    emit_last_error();
    free(res);
}

static void case_awb_windows(int i) {
    AwbLightStatistics lights[5];
    AwbWindow *windows = (AwbWindow *)poisoned(10 * sizeof *windows);
    double u = rnd_double(-0.5, 0.0);
    int k;
    (void)i;
    for (k = 0; k < 5; ++k) {
        u += rnd_double(0.01, 0.3);
        lights[k].center_u = u;
        lights[k].center_v = rnd_double(-0.3, 0.3);
        lights[k].spread_u = rnd_double(0.0, 0.1);
        lights[k].spread_v = rnd_double(0.0, 0.1);
    }
    {
        const int no_lights = one_in(50), no_windows = one_in(50);
        CALL(AWB_WIN_AUTO_CAL)(no_lights ? NULL : lights, no_windows ? NULL : windows);
    }
    emit_bytes("windows", windows, 10 * sizeof *windows);
    emit_last_error();
    free(windows);
}

static void random_windows(AwbIntWindow *w, int n) {
    int k;
    const int32_t range = one_in(10) ? 0x7fffffff : rnd_int(10, 5000);
    for (k = 0; k < n; ++k) {
        w[k].x0 = rnd_int(-range / 2, range / 2);
        w[k].x1 = rnd_int(-range / 2, range / 2);
        w[k].y0 = rnd_int(-range / 2, range / 2);
        w[k].y1 = rnd_int(-range / 2, range / 2);
        if (!one_in(5) && w[k].x1 < w[k].x0) {
            const int32_t t = w[k].x0;
            w[k].x0 = w[k].x1;
            w[k].x1 = t;
        }
    }
}

static void case_awb_small_windows(int i) {
    AwbIntWindow large[4];
    AwbIntWindow *small = (AwbIntWindow *)poisoned(6 * sizeof *small);
    (void)i;
    random_windows(large, 4);
    {
        const int no_large = one_in(50), no_small = one_in(50);
        emit_i32("ret", CALL(AWB_Small_win_Calibration)(no_large ? NULL : large, no_small ? NULL : small));
    }
    emit_bytes("small", small, 6 * sizeof *small);
    emit_last_error();
    free(small);
}

static void case_awb_apply(int i) {
    AwbIntWindow windows[11];
    (void)i;
    random_windows(windows, 11);
    emit_i32("ret", CALL(AWB_Update_11_Window_Before_Apply)(one_in(30) ? NULL : windows));
    emit_last_error();
}

static void case_awb_filter(int i) {
    AWBFILTER_PARAM p;
    int32_t w = i % 5 == 0 ? rnd_int(0, 3) : rnd_int(2, 40), h = i % 7 == 0 ? rnd_int(0, 3) : rnd_int(2, 30);
    const size_t pixels = (size_t)(w > 1 ? w - 1 : 0) * (size_t)(h > 1 ? h - 1 : 0);
    uint8_t *raw = (uint8_t *)poisoned((size_t)w * (size_t)h);
    uint8_t *mask = (uint8_t *)poisoned(pixels + 8), *rgb = (uint8_t *)poisoned(3 * pixels + 8);
    const int level = rnd_int(0, 255), noise = rnd_int(0, 80);
    size_t k;
    for (k = 0; k < (size_t)w * (size_t)h; ++k) raw[k] = clamp_byte(level + rnd_int(-noise, noise));
    memset(&p, 0, sizeof p);
    p.nFirstPixel = (uint8_t)rnd_int(0, 7);
    p.SUPSEL = (uint8_t)rnd_int(0, 9);
    p.U_GAIN = (uint8_t)rnd_int(0, 255);
    p.V_GAIN = (uint8_t)rnd_int(0, 255);
    p.Y_LIMIT = (uint8_t)rnd_int(0, 63);
    p.S_RB_P = (uint8_t)rnd_int(0, 255);
    p.S_RB_N = (uint8_t)rnd_int(0, 255);
    p.S_MG_P = (uint8_t)rnd_int(0, 255);
    p.S_MG_N = (uint8_t)rnd_int(0, 255);
    p.width = (uint32_t)w;
    p.height = (uint32_t)h;
    p.raw = one_in(60) ? NULL : raw;
    emit_i32("ret", CALL(AWB_Filter)(one_in(60) ? NULL : &p, mask, rgb));
    emit_bytes("mask", mask, pixels + 8);
    emit_bytes("rgb", rgb, 3 * pixels + 8);
    emit_last_error();
    free(raw);
    free(mask);
    free(rgb);
}

/* ------------------------------------------------------------ colour */

/* Measured (24 x 6) and reference (24 x 11) records: chromatic patches at
 * random, a neutral row falling from white to black. */
static void chart(float *measured, float *reference) {
    int p, c;
    const double light = rnd_double(0.5, 1.0);
    for (p = 0; p < 24; ++p) {
        const double grey = 235.0 * light * (p < 18 ? 1.0 : 1.0 / (1.0 + 0.9 * (p - 18) * (p - 18)));
        for (c = 0; c < 3; ++c) {
            const double tint = rnd_double(0.9, 1.1);
            measured[6 * p + c] = p < 18 ? rnd_float(5, 250) : (float)(grey * tint + rnd_double(0, 3));
            measured[6 * p + 3 + c] = rnd_float(120, 255);
        }
        for (c = 0; c < 11; ++c) reference[11 * p + c] = rnd_float(-5, 5);
        for (c = 0; c < 3; ++c) reference[11 * p + 6 + c] = p < 18 ? rnd_float(3, 250) : (float)(grey * rnd_double(0.95, 1.05));
        /* Exact greys: their a and b are differences of nearly equal cube
         * roots, where a last-bit change of the maths shows. */
        if (p >= 18 && one_in(2)) reference[11 * p + 7] = reference[11 * p + 8] = reference[11 * p + 6];
        reference[11 * p + 9] = rnd_float(0, 2);
    }
}

static void near_identity(float *m, double spread) {
    int k;
    for (k = 0; k < 9; ++k) m[k] = (float)((k % 4 == 0 ? 1.0 : 0.0) + rnd_double(-spread, spread));
}

static void case_color_error(int i) {
    float measured[144], reference[264], matrix[9];
    float *after = (float *)poisoned(72 * sizeof(float)), *ref = (float *)poisoned(72 * sizeof(float)),
          *before = (float *)poisoned(72 * sizeof(float));
    chart(measured, reference);
    near_identity(matrix, i % 3 == 0 ? 0.0 : 0.6);
    CALL(CalColorError)(measured, one_in(60) ? NULL : reference, matrix, after, ref, before);
    emit_bytes("lab_corrected", after, 72 * sizeof(float));
    emit_bytes("lab_reference", ref, 72 * sizeof(float));
    emit_bytes("lab_uncorrected", before, 72 * sizeof(float));
    emit_last_error();
    free(after);
    free(ref);
    free(before);
}

static void case_cc(int i, int kt1) {
    float measured[144], reference[264];
    int32_t side[4], k;
    int32_t *side_out = (int32_t *)poisoned(4 * sizeof(int32_t));
    uint8_t *matrix8 = (uint8_t *)poisoned(9);
    int32_t *matrix32 = (int32_t *)poisoned(9 * sizeof(int32_t));
    char csv[1100];
    const float strength = i % 10 == 0 ? 0.0f : i % 10 == 1 ? 1.0f : rnd_float(-0.2, 1.5);
    chart(measured, reference);
    for (k = 0; k < 4; ++k) side[k] = (int32_t)rnd_u32();
    join(csv, sizeof csv, inspect_dir, "Camera_CC.csv");
    {
        const int32_t algorithm = rnd_int(-1, 1);
        const float *ref = one_in(60) ? NULL : reference;
        if (kt1)
            emit_i32("ret", CALL(CC_Calibration_KT1)(algorithm, strength, measured, ref, side, matrix32, side_out));
        else
            emit_i32("ret", CALL(CC_Calibration)(algorithm, strength, measured, ref, side, matrix8, side_out));
    }
    if (kt1)
        emit_bytes("matrix", matrix32, 9 * sizeof(int32_t));
    else
        emit_bytes("matrix", matrix8, 9);
    emit_bytes("side", side_out, 4 * sizeof(int32_t));
    emit_last_error();
    emit_file("Camera_CC.csv", csv, 1);
    free(side_out);
    free(matrix8);
    free(matrix32);
}

static void case_cc_kt2(int i) { case_cc(i, 0); }
static void case_cc_kt1(int i) { case_cc(i, 1); }

static void case_cd(int i) {
    float measured[72], reference[264], dummy[144];
    float *difference = (float *)poisoned(96 * sizeof(float)), *lab = (float *)poisoned(72 * sizeof(float));
    int k;
    chart(dummy, reference);
    for (k = 0; k < 72; ++k) measured[k] = i % 4 == 0 ? rnd_float(0, 1) : rnd_float(0, 4000);
    for (k = 0; k < 24; ++k)
        if (one_in(3)) measured[3 * k + 1] = measured[3 * k + 2] = measured[3 * k]; /* exact greys */
    {
        const int32_t algorithm = rnd_int(-1, 1);
        const float *ref = one_in(60) ? NULL : reference;
        emit_i32("ret", CALL(CD_Calibration)(algorithm, measured, ref, difference, lab));
    }
    emit_bytes("difference", difference, 96 * sizeof(float));
    emit_bytes("reference_lab", lab, 72 * sizeof(float));
    emit_last_error();
    free(difference);
    free(lab);
}

static void case_multiccm(int i) {
    enum { MAXL = 14 };
    int32_t storage[MAXL][9], first[MAXL], den[MAXL], second[MAXL], weight[MAXL], coef[6][9];
    int32_t *matrices[MAXL], *coefs[6], norm[4];
    const int32_t count = i % 9 == 0 ? rnd_int(-1, 2) : rnd_int(2, MAXL);
    const int32_t terms = rnd_int(-1, 7);
    int k, e;
    for (k = 0; k < MAXL; ++k) {
        for (e = 0; e < 9; ++e) storage[k][e] = (e % 4 == 0 ? 256 : 0) + rnd_int(-120, 120);
        den[k] = one_in(80) ? 0 : rnd_int(500, 4000);
        first[k] = rnd_int(0, den[k] > 0 ? den[k] : 1);
        second[k] = rnd_int(0, den[k] > 0 ? den[k] : 1);
        weight[k] = rnd_int(0, 100);
        matrices[k] = storage[k];
    }
    for (k = 0; k < 6; ++k) coefs[k] = coef[k];
    memset(coef, 0xa5, sizeof coef);
    memset(norm, 0xa5, sizeof norm);
    CALL(MultiCCM)(matrices, first, den, second, weight, count, terms, one_in(60) ? NULL : norm, coefs);
    emit_bytes("normalisation", norm, sizeof norm);
    emit_bytes("coefficients", coef, sizeof coef);
    emit_last_error();
}

/* ------------------------------------------------------------ lens shading */

static uint8_t *example_raw;
static size_t example_raw_size;

static uint8_t *read_whole(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    uint8_t *data;
    long n;
    if (f == NULL) fail("cannot open", path);
    fseek(f, 0, SEEK_END);
    n = ftell(f);
    fseek(f, 0, SEEK_SET);
    data = (uint8_t *)malloc((size_t)n + 1);
    if (data == NULL || fread(data, 1, (size_t)n, f) != (size_t)n) fail("cannot read", path);
    fclose(f);
    *size = (size_t)n;
    return data;
}

/* A flat field: per-channel level, falling off with the squared distance
 * from an off-centre point, plus noise. */
static uint8_t *flat_field(uint32_t w, uint32_t h) {
    uint8_t *raw = (uint8_t *)poisoned((size_t)w * h);
    const double cx = rnd_double(0.3, 0.7) * w, cy = rnd_double(0.3, 0.7) * h;
    const double fall = rnd_double(0.0, 0.8) / ((double)w * w / 4 + (double)h * h / 4 + 1);
    const int noise = rnd_int(0, 6);
    double level[4];
    uint32_t x, y;
    int c;
    for (c = 0; c < 4; ++c) level[c] = rnd_double(30, 250);
    for (y = 0; y < h; ++y)
        for (x = 0; x < w; ++x) {
            const double dx = x - cx, dy = y - cy;
            const double v = level[(y & 1) * 2 + (x & 1)] * (1.0 - fall * (dx * dx + dy * dy));
            raw[(size_t)y * w + x] = clamp_byte((int)v + rnd_int(-noise, noise));
        }
    return raw;
}

static void case_lsc(int i) {
    static const int32_t bayer_orders[] = {0, 1, 2, 3, 0, 1, 2, 3, 4, 7};
    uint32_t w, h, chip;
    uint8_t *raw;
    lsc_params p;
    lsc_result *res = (lsc_result *)poisoned(sizeof *res);
    switch (i % 5) {
    case 0: w = (uint32_t)rnd_int(0, 9); h = (uint32_t)rnd_int(0, 9); break;
    case 1: w = (uint32_t)rnd_int(8, 40); h = (uint32_t)rnd_int(8, 40); break;
    case 2: w = 4 * (uint32_t)rnd_int(10, 40); h = 4 * (uint32_t)rnd_int(8, 30); break;
    case 3: w = (uint32_t)rnd_int(40, 130); h = (uint32_t)rnd_int(30, 100); break;
    default: w = 320; h = 240; break;
    }
    if (i % 5 == 4 && i % 10 == 4) {
        size_t k;
        raw = (uint8_t *)poisoned(example_raw_size);
        for (k = 0; k < example_raw_size; ++k) raw[k] = clamp_byte(example_raw[k] + rnd_int(-2, 2));
    } else {
        raw = flat_field(w, h);
    }
    chip = (uint32_t)(i % 3 == 0 ? 0x4B330000u | (rnd_u32() & 0xffffu) : i % 3 == 1 ? rnd_u32() : 0u);
    p.target_scale = i % 4 == 0 ? 1.0f : rnd_float(0.8, 1.3);
    p.below_max = rnd_float(0.0, 0.2);
    p.overshoot = rnd_float(0.0, 0.3);
    p.shading_min = rnd_float(0.5, 1.0);
    p.y_only = (uint8_t)rnd_int(0, 2);
    {
        const uint32_t bayer = (uint32_t)pick(bayer_orders, 10);
        const int no_raw = one_in(60), no_params = one_in(80), no_result = one_in(80);
        emit_i32("ret", CALL(LSC_Calculate)(chip, bayer, no_raw ? NULL : raw, w, h, no_params ? NULL : &p,
                                            no_result ? NULL : res));
    }
    emit_bytes("result", res, sizeof *res);
    emit_last_error();
    free(raw);
    free(res);
}

/* ------------------------------------------------------------ debug-information dump */

static uint8_t *example_jpg;
static size_t example_jpg_size;

/* The example file, or a copy with a few bytes or words changed, or cut. */
static void write_jpeg(int i, const char *path) {
    uint8_t *copy = (uint8_t *)malloc(example_jpg_size);
    size_t n = example_jpg_size;
    FILE *f;
    int k, changes = rnd_int(1, 6);
    memcpy(copy, example_jpg, n);
    if (i % 10 != 0) {
        for (k = 0; k < changes; ++k) {
            /* Most changes hit the debug segments near the start. */
            const size_t at = (size_t)rnd_int(0, (int32_t)(one_in(3) ? n - 4 : (n < 1200 ? n - 4 : 1200)));
            switch (rnd_int(0, 3)) {
            case 0: copy[at] ^= (uint8_t)(1u << rnd_int(0, 7)); break;
            case 1: copy[at] = (uint8_t)rnd_u32(); break;
            case 2: {
                static const uint32_t words[] = {0u, 1u, 2u, 11u, 0xffffffffu, 0x0100000bu, 0x01000000u, 12u};
                const uint32_t v = words[rnd_int(0, 7)];
                memcpy(copy + at, &v, 4);
                break;
            }
            default: n = (size_t)rnd_int(2, (int32_t)n); break;
            }
        }
    }
    f = fopen(path, "wb");
    if (f == NULL || fwrite(copy, 1, n, f) != n) fail("cannot write", path);
    fclose(f);
    free(copy);
}

static void case_dump(int i) {
    static const int32_t modes[] = {0, 1, 2, 2, 2, 3, -1};
    char jpg[1100], tag[1100], dump[1100];
    int32_t blocks = -7, size[DP_SIZE_RECORD_WORDS], dimwords[64][2], *dims[64];
    uint32_t *awb = (uint32_t *)poisoned(DP_AWB_INFO_WORDS * 4), *ggm = (uint32_t *)poisoned(DP_GGM_WORDS * 4),
             *pca = (uint32_t *)poisoned(DP_PCA_WORDS * 4);
    int k, b;
    join(jpg, sizeof jpg, work_dir, "case.jpg");
    join(tag, sizeof tag, host_dir, "TAG.h");
    join(dump, sizeof dump, work_dir, "dump.txt");
    write_jpeg(i, jpg);
    {
        const int no_path = one_in(80);
        const int32_t mode = pick(modes, 7);
        emit_i32("getinfo", CALL(DP_getInfo)(no_path ? NULL : jpg, mode, &blocks));
    }
    emit_i32("blocks", blocks);
    emit_last_error();
    emit_file("TAG.h", tag, 1);
    for (k = 0; k < 64; ++k) dims[k] = dimwords[k];
    memset(size, 0xa5, sizeof size);
    memset(dimwords, 0xa5, sizeof dimwords);
    emit_i32("size", CALL(DP_GET_SIZE)(size, dims));
    emit_bytes("size_record", size, sizeof size);
    emit_bytes("dims", dimwords, sizeof dimwords);
    CALL(DP_GetAWBinfo)(awb);
    emit_bytes("awb", awb, DP_AWB_INFO_WORDS * 4);
    emit_i32("ggm_ret", CALL(GetGGMTbl)(ggm));
    emit_bytes("ggm", ggm, DP_GGM_WORDS * 4);
    emit_i32("pca_ret", CALL(GetPCATbl)(pca));
    emit_bytes("pca", pca, DP_PCA_WORDS * 4);
    switch (i % 3) {
    case 0:
        memset(size, 0xa5, sizeof size);
        emit_i32("dump", CALL(DP_dumpInfo_File)(dump, size));
        emit_bytes("size_record", size, sizeof size);
        emit_file("dump.txt", dump, 0);
        break;
    case 1:
        memset(size, 0xa5, sizeof size);
        memset(dimwords, 0xa5, sizeof dimwords);
        emit_i32("dump_rc", CALL(DP_dumpInfo_File_RC)(dump, size, dims));
        emit_bytes("size_record", size, sizeof size);
        emit_bytes("dims", dimwords, sizeof dimwords);
        emit_file("dump.txt", dump, 0);
        break;
    default: {
        /* Records sized from DP_GET_SIZE: rows x (pairs + 2) per block. */
        DpDumpRecord **columns[64];
        const int nb = blocks > 0 && blocks <= 64 ? blocks : 0;
        for (b = 0; b < 64; ++b) columns[b] = NULL;
        for (b = 0; b < nb; ++b) {
            const int32_t rows = dimwords[b][0] > 0 && dimwords[b][0] < 5000 ? dimwords[b][0] : 0;
            const int32_t cols = dimwords[b][1] >= 0 && dimwords[b][1] < 1100 ? dimwords[b][1] + 2 : 2;
            columns[b] = (DpDumpRecord **)malloc((size_t)cols * sizeof(DpDumpRecord *));
            for (k = 0; k < cols; ++k) columns[b][k] = (DpDumpRecord *)poisoned((size_t)rows * sizeof(DpDumpRecord));
            dimwords[b][1] = cols;
            dimwords[b][0] = rows;
        }
        emit_i32("dump_array", CALL(DP_dumpInfo_array_RC)(nb > 0 ? columns : NULL));
        for (b = 0; b < nb; ++b) {
            for (k = 0; k < dimwords[b][1]; ++k) {
                emit_bytes("records", columns[b][k], (size_t)dimwords[b][0] * sizeof(DpDumpRecord));
                free(columns[b][k]);
            }
            free(columns[b]);
        }
        break;
    }
    }
    emit_last_error();
    remove(jpg);
    free(awb);
    free(ggm);
    free(pca);
}

/* ------------------------------------------------------------ grid shading table */

/* A Bayer flat field of w x h samples, one or two bytes each (10-bit: low
 * byte first), with a radial fall-off and noise; sometimes saturated. */
static uint8_t *grid_field(int32_t w, int32_t h, int ten_bit) {
    const int32_t pw = w < 0 ? 0 : w, ph = h < 0 ? 0 : h;
    const size_t bytes = (size_t)pw * (size_t)ph * (ten_bit ? 2 : 1);
    uint8_t *raw = (uint8_t *)poisoned(bytes);
    const double cx = rnd_double(0.2, 0.8) * pw, cy = rnd_double(0.2, 0.8) * ph;
    const double fall = rnd_double(0.0, 0.9) / ((double)pw * pw / 4 + (double)ph * ph / 4 + 1);
    const int noise = rnd_int(0, 20), top = ten_bit ? 1023 : 255;
    double level[4];
    int32_t x, y;
    int c;
    for (c = 0; c < 4; ++c) level[c] = one_in(8) ? 0.0 : rnd_double(0.1, 1.1) * top;
    for (y = 0; y < ph; ++y)
        for (x = 0; x < pw; ++x) {
            const double dx = x - cx, dy = y - cy;
            int v = (int)(level[(y & 1) * 2 + (x & 1)] * (1.0 - fall * (dx * dx + dy * dy))) + rnd_int(-noise, noise);
            v = v < 0 ? 0 : v > top ? top : v;
            if (ten_bit) {
                raw[2 * ((size_t)y * pw + x)] = (uint8_t)(v & 0xff);
                raw[2 * ((size_t)y * pw + x) + 1] = (uint8_t)(one_in(50) ? rnd_int(0, 255) : v >> 8);
            } else {
                raw[(size_t)y * pw + x] = (uint8_t)v;
            }
        }
    return raw;
}

/* Grid size and cell spacing for a plane of half_w x half_h channel pixels:
 * mostly a valid spacing, sometimes one at or past the edge. */
static void grid_layout(int i, int32_t half_w, int32_t half_h, int32_t *nx, int32_t *ny, int32_t *cw, int32_t *ch) {
    *nx = rnd_int(2, half_w / 2 > 2 ? (half_w / 2 < 17 ? half_w / 2 : 17) : 2);
    *ny = rnd_int(2, half_h / 2 > 2 ? (half_h / 2 < 13 ? half_h / 2 : 13) : 2);
    *cw = *nx > 2 ? rnd_int(1, (half_w - 2) / (*nx - 2)) : rnd_int(1, half_w);
    *ch = *ny > 2 ? rnd_int(1, (half_h - 2) / (*ny - 2)) : rnd_int(1, half_h);
    if (*nx > 1 && one_in(3)) *cw = half_w / (*nx - 1) > 0 ? half_w / (*nx - 1) : 1;
    if (*ny > 1 && one_in(3)) *ch = half_h / (*ny - 1) > 0 ? half_h / (*ny - 1) : 1;
    if (i % 23 == 7) { *nx = rnd_int(-1, 3); *cw = rnd_int(0, half_w); }
    if (i % 29 == 11) { *ny = rnd_int(-1, 3); *ch = rnd_int(0, half_h + 2); }
}

/* Mostly gentle fall-offs; a constant term up to 2000 drives node gains
 * high enough that cubic coefficients clamp. */
static void random_poly(double *poly, int millionths) {
    int k;
    const double unit = millionths ? 1e6 : 1.0;
    poly[0] = one_in(4) ? unit : one_in(5) ? rnd_double(1.0, 2000.0) * unit : rnd_double(0.5, 1.5) * unit;
    for (k = 1; k < 6; ++k) poly[k] = one_in(2) ? 0.0 : rnd_double(-1.0, 1.0) * unit / (double)(1 << (4 * k));
    if (one_in(40)) poly[rnd_int(0, 5)] = 1e300 * unit;
}

static void case_shading_table(int i) {
    shading_table_config c;
    shading_table_result *res = (shading_table_result *)poisoned(sizeof *res);
    int32_t w, h;
    uint8_t *raw;
    switch (i % 5) {
    case 0: w = 2 * rnd_int(1, 8); h = 2 * rnd_int(1, 8); break;
    case 1: w = 2 * rnd_int(8, 40); h = 2 * rnd_int(8, 30); break;
    case 2: w = 2 * rnd_int(40, 96); h = 2 * rnd_int(30, 72); break;
    case 3: w = rnd_int(2, 60); h = rnd_int(2, 50); break; /* odd sizes too */
    default: w = 160; h = 120; break;
    }
    memset(&c, 0, sizeof c);
    c.table_kind = (uint32_t)(one_in(3) ? rnd_int(0, 1) : rnd_int(2, 5));
    c.bit_depth = one_in(2) ? 10u : (uint32_t)rnd_int(8, 12);
    c.reserved = rnd_u32();
    raw = grid_field(w, h, c.bit_depth == 10);
    c.raw = one_in(40) ? NULL : raw;
    c.width = w;
    c.height = h;
    c.left = rnd_int(-4, w / 3);
    c.top = rnd_int(-4, h / 3);
    c.right = rnd_int(w / 2, w + 4);
    c.bottom = rnd_int(h / 2, h + 4);
    if (one_in(30)) c.left = w + rnd_int(2, 9);
    grid_layout(i, w / 2, h / 2, &c.nx, &c.ny, &c.cell_width, &c.cell_height);
    c.window = one_in(20) ? rnd_int(-1, w / 2 + 2) : rnd_int(1, (w / 2 < h / 2 ? w / 2 : h / 2) > 1 ? (w / 2 < h / 2 ? w / 2 : h / 2) : 1);
    c.gain_scale = (uint32_t)rnd_int(0, 64);
    c.find_brightest = (uint8_t)(one_in(4) ? 0 : rnd_int(1, 255));
    c.unity_scale = (uint8_t)rnd_int(0, 1);
    c.centre_offset_x = (uint32_t)(one_in(3) ? 0 : rnd_int(0, 20));
    c.centre_offset_y = (uint32_t)(one_in(3) ? 0 : rnd_int(0, 20));
    c.max_gain_x10 = one_in(5) ? rnd_int(-5, 12) : one_in(4) ? rnd_int(100, 100000) : rnd_int(10, 80);
    random_poly(c.poly, 1);
    {
        const int32_t format = one_in(25) ? rnd_int(-1, 3) : rnd_int(0, 1), same_green = one_in(2) ? 0 : rnd_int(1, 9);
        emit_i32("ret", CALL(ShadingCalibrateEx)(one_in(80) ? NULL : &c, one_in(80) ? NULL : res, format, same_green));
    }
    emit_bytes("result", res, sizeof *res);
    emit_last_error();
    free(raw);
    free(res);
}

static void case_shading_process(int i) {
    shading_table_state *s = (shading_table_state *)poisoned(sizeof(shading_table_state));
    const uint8_t *planes[4];
    uint16_t *coefs[4];
    uint8_t *storage[4];
    int32_t hw, hh;
    size_t n, cells, k;
    int c;
    switch (i % 4) {
    case 0: hw = rnd_int(0, 6); hh = rnd_int(0, 6); break;
    case 1: hw = rnd_int(4, 24); hh = rnd_int(4, 20); break;
    case 2: hw = rnd_int(24, 80); hh = rnd_int(20, 60); break;
    default: hw = 80; hh = 60; break;
    }
    memset(s, 0, sizeof *s);
    s->width = 2 * hw;
    s->height = 2 * hh;
    s->bit_depth = 8;
    s->raw = NULL;
    s->left = rnd_int(-4, hw / 2);
    s->top = rnd_int(-4, hh / 2);
    s->right = rnd_int(hw, 2 * hw + 4);
    s->bottom = rnd_int(hh, 2 * hh + 4);
    grid_layout(i, hw, hh, &s->nx, &s->ny, &s->cell_width, &s->cell_height);
    s->last_cell_width = s->last_cell_height = -99;
    s->window = one_in(20) ? rnd_int(-1, hw + 2) : rnd_int(1, (hw < hh ? hw : hh) > 1 ? (hw < hh ? hw : hh) : 1);
    s->half_width = hw;
    s->half_height = hh;
    for (c = 0; c < 4; ++c) s->scale[c] = rnd_float(0.5, 2.0);
    for (c = 0; c < 4; ++c) {
        s->fixed[0][c] = c < 3 ? 128u : 32u;
        s->fixed[1][c] = s->fixed[2][c] = c < 3 ? 0u : 32u;
    }
    s->find_brightest = one_in(4) ? 0u : 1u;
    s->max_gain_x10 = one_in(4) ? rnd_int(100, 100000) : rnd_int(10, 60);
    s->centre_x = rnd_double(0, hw);
    s->centre_y = rnd_double(0, hh);
    random_poly(s->poly, 0);
    n = (size_t)(hw > 0 ? hw : 0) * (size_t)(hh > 0 ? hh : 0);
    cells = s->nx > 1 && s->ny > 1 ? 12 * (size_t)(s->nx - 1) * (size_t)(s->ny - 1) : 12;
    for (c = 0; c < 4; ++c) {
        const int level = rnd_int(0, 255), noise = rnd_int(0, 40);
        storage[c] = (uint8_t *)poisoned(n);
        for (k = 0; k < n; ++k) storage[c][k] = clamp_byte(level - (int)(k % (size_t)(hw > 0 ? hw : 1)) / 4 + rnd_int(-noise, noise));
        planes[c] = storage[c];
        coefs[c] = (uint16_t *)poisoned(cells * 2);
    }
    if (one_in(60)) planes[rnd_int(0, 3)] = NULL;
    if (one_in(60)) coefs[rnd_int(0, 3)] = NULL;
    emit_i32("ret", CALL(Shading_Calibration_Process)(one_in(80) ? NULL : s, one_in(80) ? NULL : planes,
                                                       one_in(80) ? NULL : coefs));
    emit_bytes("state", s, sizeof *s);
    for (c = 0; c < 4; ++c) {
        if (coefs[c] != NULL) emit_bytes("coefficients", coefs[c], cells * 2);
        free(storage[c]);
        free(coefs[c]);
    }
    emit_last_error();
    free(s);
}

/* ------------------------------------------------------------ sensor response */

static void case_sensor_fit(int i) {
    enum { MAXN = 40 };
    int32_t exposure[MAXN];
    double resp[4][MAXN];
    double *gains = (double *)poisoned(32), *slopes = (double *)poisoned(32), *icpt = (double *)poisoned(32),
           *ratio = (double *)poisoned(32), *limit = (double *)poisoned(32);
    uint32_t *offsets = (uint32_t *)poisoned(16);
    sc_input in;
    char csv[1100];
    const int32_t count = i % 13 == 0 ? rnd_int(-1, 6) : rnd_int(5, MAXN);
    const double sat = one_in(2) ? 1023.0 : 255.0;
    int c, k;
    join(csv, sizeof csv, inspect_dir, "sensorcurve.csv");
    memset(&in, 0, sizeof in);
    in.bit_mode = (uint8_t)(sat == 1023.0 ? 1 : (one_in(4) ? rnd_int(2, 255) : 0));
    in.count = count;
    in.reserved = rnd_u32();
    exposure[0] = rnd_int(1, 100);
    for (k = 1; k < MAXN; ++k) exposure[k] = exposure[k - 1] + rnd_int(one_in(20) ? 0 : 1, 200);
    for (c = 0; c < 4; ++c) {
        const double slope = one_in(25) ? 0.0 : rnd_double(0.01, 3.0), offset = rnd_double(-20, 40);
        const double knee = rnd_double(0.5, 1.1) * sat, noise = rnd_double(0, 0.03);
        for (k = 0; k < MAXN; ++k) {
            double v = offset + slope * exposure[k];
            if (v > knee) v = knee + (v - knee) * rnd_double(0.0, 0.5);
            v *= 1.0 + rnd_double(-noise, noise);
            resp[c][k] = v > sat ? sat : v;
        }
        if (one_in(30)) resp[c][rnd_int(0, MAXN - 1)] = 0.0;
        in.response[c] = resp[c];
        in.black[c] = (uint32_t)(one_in(20) ? rnd_u32() : (uint32_t)rnd_int(0, 64));
    }
    in.exposure = exposure;
    if (one_in(60)) in.exposure = NULL;
    if (one_in(60)) in.response[rnd_int(0, 3)] = NULL;
    {
        const int skip = one_in(12) ? rnd_int(0, 6) : -1;
        emit_i32("ret", CALL(SC_SlopeOffset_Calibration)((int32_t)rnd_u32(), skip == 0 ? NULL : &in,
                                                         skip == 1 ? NULL : gains, skip == 2 ? NULL : offsets,
                                                         skip == 3 ? NULL : slopes, skip == 4 ? NULL : icpt,
                                                         skip == 5 ? NULL : ratio, skip == 6 ? NULL : limit));
    }
    emit_bytes("gains", gains, 32);
    emit_bytes("offsets", offsets, 16);
    emit_bytes("slopes", slopes, 32);
    emit_bytes("intercepts", icpt, 32);
    emit_bytes("ratio", ratio, 32);
    emit_bytes("linear_limit", limit, 32);
    emit_last_error();
    emit_file("sensorcurve.csv", csv, 0);
    free(gains);
    free(slopes);
    free(icpt);
    free(ratio);
    free(limit);
    free(offsets);
}

static void case_sensor_lv(int i) {
    sc_lv *lv = (sc_lv *)poisoned(sizeof(sc_lv));
    lv->scale = (uint8_t)(i % 17 == 0 ? 0 : one_in(3) ? 1 : rnd_int(1, 255));
    switch (i % 4) {
    case 0: lv->base_log2 = rnd_int(-8, 20); break;
    case 1: lv->base_log2 = rnd_double(-4, 16); break;
    case 2: lv->base_log2 = rnd_double(-40, 40); break;
    default: lv->base_log2 = (double)rnd_int(-16, 16) / 8.0 + (one_in(2) ? 0.0 : 1.0 / 1024.0); break;
    }
    if (i % 97 == 5) {
        static const double odd[] = {1e300, -1e300, 0.0};
        lv->base_log2 = odd[i % 3];
        if (i % 2) lv->base_log2 = lv->base_log2 * 0.0 / 0.0 + 0.0; /* NaN from 0/0 or inf*0 */
    }
    emit_i32("ret", CALL(SC_LV_Calculation)(one_in(80) ? NULL : lv));
    emit_bytes("lv", lv, sizeof(sc_lv));
    emit_last_error();
    free(lv);
}

/* ------------------------------------------------------------ PCA tables */

static void case_pca_atan2(int i) {
    int k;
    for (k = 0; k < 16; ++k) {
        int32_t y, x;
        switch ((i + k) % 4) {
        case 0: y = rnd_int(-128, 127); x = rnd_int(-128, 127); break;
        case 1: y = rnd_int(-4, 4); x = rnd_int(-4, 4); break;
        case 2: y = rnd_int(-70000, 70000); x = rnd_int(-70000, 70000); break;
        default: y = (int32_t)rnd_u32(); x = (int32_t)rnd_u32(); break;
        }
        emit_i32("angle", CALL(atan2_hw_360)(y, x));
    }
    emit_last_error();
}

static void random_pca_arrays(int32_t *hue, int32_t *sat, int32_t *luma, int n) {
    int k;
    const int32_t range = one_in(10) ? 0x7fffffff : rnd_int(1, 128);
    for (k = 0; k < n; ++k) {
        hue[k] = rnd_int(-range / 2, range / 2);
        sat[k] = rnd_int(-range, range);
        luma[k] = rnd_int(-range, range);
    }
}

static void case_pca_core(int i) {
    int32_t hue[360], sat[360], luma[360];
    int k;
    random_pca_arrays(hue, sat, luma, 360);
    for (k = 0; k < 8; ++k) {
        uint32_t y = (uint32_t)rnd_int(0, 255) << 8 | (uint32_t)rnd_int(0, 255), u = (uint32_t)rnd_int(0, 0xffff),
                 v = (uint32_t)rnd_int(0, 0xffff);
        int32_t offset = one_in(30) ? rnd_int(-5, 400) : rnd_int(0, 359);
        const int32_t threshold = one_in(10) ? rnd_int(-300, 300) : rnd_int(0, 64), full = i % 2;
        if (i % 7 == 3) { u = (uint32_t)rnd_u32() >> rnd_int(0, 16); v = (uint32_t)rnd_u32() >> rnd_int(0, 16); }
        if (i % 11 == 4) y = rnd_u32() >> rnd_int(0, 16);
        emit_i32("ret", CALL(pca_core)(one_in(100) ? NULL : &y, &u, &v, offset, threshold, full, hue, sat, luma));
        emit_i32("y", (int32_t)y);
        emit_i32("u", (int32_t)u);
        emit_i32("v", (int32_t)v);
    }
    emit_last_error();
}

static void case_pca_autogen(int i) {
    int32_t patches[150];
    int32_t *table = (int32_t *)poisoned(MORVIK_PCA_TABLE_WORDS * 4);
    pca_gen_settings s;
    int k;
    for (k = 0; k < 75; ++k) patches[k] = rnd_int(0, 255);
    for (k = 75; k < 150; ++k) {
        const int32_t src = patches[k - 75];
        patches[k] = i % 5 == 0 ? src : clamp_byte(src + rnd_int(-60, 60));
    }
    if (i % 9 == 2) patches[rnd_int(0, 149)] = rnd_int(256, 1000);
    memset(&s, 0, sizeof s);
    s.skip_limiter = (uint8_t)(one_in(3) ? rnd_int(1, 255) : 0);
    s.chroma_threshold = rnd_int(0, 40);
    s.hue_limit = one_in(10) ? rnd_double(0, 0.5) : rnd_double(0.5, 20);
    s.sat_limit = one_in(10) ? rnd_double(0, 0.5) : rnd_double(0.5, 20);
    s.luma_limit = rnd_double(0, 20);
    s.patch_count = i % 19 == 0 ? rnd_int(0, 25) : 18;
    emit_i32("ret", CALL(AutoGenTable)(one_in(80) ? NULL : patches, one_in(80) ? NULL : table, one_in(80) ? NULL : &s));
    emit_bytes("table", table, MORVIK_PCA_TABLE_WORDS * 4);
    emit_last_error();
    free(table);
}

static void case_pca_tuning(int i) {
    int32_t *table = (int32_t *)poisoned(MORVIK_PCA_TABLE_WORDS * 4), *report = (int32_t *)poisoned(10 * 4);
    pca_tuning_request r;
    int k;
    random_pca_arrays(table, table + 180, table + 360, 180);
    if (i % 3 == 0) memset(table, 0, MORVIK_PCA_TABLE_WORDS * 4);
    memset(&r, 0, sizeof r);
    for (k = 0; k < 3; ++k) {
        r.source[k] = rnd_int(0, 255);
        r.target[k] = i % 13 == 1 ? r.source[k] : clamp_byte(r.source[k] + rnd_int(-80, 80));
    }
    if (i % 17 == 3) r.source[0] = r.source[1] = r.source[2];
    r.range_below = one_in(10) ? rnd_int(-400, 400) : rnd_int(0, 60);
    r.range_above = one_in(10) ? rnd_int(-400, 400) : rnd_int(0, 60);
    r.hue_limit = one_in(20) ? rnd_double(-2, 0.5) : rnd_double(0.5, 12);
    r.sat_limit = one_in(20) ? rnd_double(-2, 0.5) : rnd_double(0.5, 12);
    r.max_steps = one_in(4) ? rnd_int(0, 10) : rnd_int(10, 400);
    r.strength = i % 7 == 0 ? 1.0f : rnd_float(0.0, 1.0);
    if (i % 41 == 6) r.hue_limit = 1e300;
    emit_i32("ret", CALL(AdvTuning)(one_in(80) ? NULL : &r, one_in(80) ? NULL : table, one_in(80) ? NULL : report));
    emit_bytes("table", table, MORVIK_PCA_TABLE_WORDS * 4);
    emit_bytes("report", report, 10 * 4);
    emit_last_error();
    free(table);
    free(report);
}

/* ------------------------------------------------------------ gamma tables */

/* 20 rising anchors (sometimes falling or beyond 8 bits). */
static void random_anchors(uint32_t *a, int i) {
    int k;
    uint32_t v = (uint32_t)rnd_int(0, 20);
    for (k = 0; k < MORVIK_GAMMA_ANCHORS; ++k) {
        v += (uint32_t)rnd_int(0, 24);
        a[k] = v > 255 ? 255 : v;
    }
    if (i % 7 == 3) a[rnd_int(0, 19)] = (uint32_t)rnd_int(0, 255);
    if (i % 23 == 5) a[rnd_int(0, 19)] = rnd_u32();
}

static void case_gamma_update(int i) {
    GammaUpdateInput *in = (GammaUpdateInput *)poisoned(sizeof(GammaUpdateInput));
    GammaUpdateOutput *o = (GammaUpdateOutput *)poisoned(sizeof(GammaUpdateOutput));
    uint32_t a[MORVIK_GAMMA_ANCHORS];
    int k, t;
    random_anchors(a, i);
    for (k = 0; k < MORVIK_GAMMA_ANCHORS; ++k) in->anchors[k] = (uint8_t)a[k];
    for (t = 0; t < 4; ++t) {
        uint32_t v = (uint32_t)rnd_int(0, 8);
        const int step = rnd_int(0, 4), mode = rnd_int(0, 3);
        for (k = 0; k < 1024; ++k) {
            if (mode == 0) v = (uint32_t)k;
            else if (mode == 3) v = (uint32_t)rnd_int(0, 1100);
            else v += (uint32_t)rnd_int(0, step);
            in->tone[t][k] = (uint16_t)(mode == 1 && v > 1023 ? 1023 : v);
        }
    }
    if (i % 10 == 9) {
        /* In place: the output block over the start of the input block. */
        CALL(aeZetDllUpateGammaTable)(in, (GammaUpdateOutput *)(void *)in);
        emit_bytes("output_in_place", in, sizeof(GammaUpdateOutput));
    } else {
        CALL(aeZetDllUpateGammaTable)(one_in(60) ? NULL : in, one_in(60) ? NULL : o);
        emit_bytes("output", o, sizeof(GammaUpdateOutput));
    }
    emit_last_error();
    free(in);
    free(o);
}

static void case_gamma_kt1_to_kt2(int i) {
    uint32_t a[MORVIK_GAMMA_ANCHORS];
    uint32_t *base = (uint32_t *)poisoned(MORVIK_GAMMA_KT2_BASES * 4), *packed = (uint32_t *)poisoned(MORVIK_GAMMA_KT2_ENTRIES * 4);
    char path[1100], dir[1100];
    random_anchors(a, i);
    join(path, sizeof path, work_dir, "gamma.txt");
    join(dir, sizeof dir, work_dir, "no_such_dir/gamma.txt");
    emit_i32("ret", CALL(GMA_convert_KT1_to_KT2)(one_in(80) ? NULL : a, one_in(80) ? NULL : base,
                                                 one_in(80) ? NULL : packed, i % 31 == 7 ? NULL : i % 31 == 8 ? dir : path));
    emit_bytes("base", base, MORVIK_GAMMA_KT2_BASES * 4);
    emit_bytes("packed", packed, MORVIK_GAMMA_KT2_ENTRIES * 4);
    emit_last_error();
    emit_file("gamma.txt", path, 0);
    free(base);
    free(packed);
}

/* A plausible KT2 table: rising 10-bit bases, rises in bits 10..15, random
 * upper bits. */
static void random_kt2(uint32_t *packed, uint32_t *base144, int i) {
    int k;
    uint32_t v = (uint32_t)rnd_int(0, 16);
    for (k = 0; k < MORVIK_GAMMA_KT2_ENTRIES; ++k) {
        const uint32_t rise = (uint32_t)rnd_int(0, 20);
        packed[k] = (v > 1023 ? 1023 : v) | (i % 3 == 0 ? (uint32_t)rnd_int(0, 63) : rise) << 10;
        if (i % 5 == 1) packed[k] |= rnd_u32() & 0xffff0000u;
        if (i % 11 == 2) packed[k] = rnd_u32();
        v += rise;
    }
    *base144 = i % 4 == 0 ? 1023u : (uint32_t)rnd_int(0, 1023);
    if (i % 13 == 5) *base144 = rnd_u32();
}

static void case_gamma_kt2_to_kt1(int i) {
    uint32_t packed[MORVIK_GAMMA_KT2_ENTRIES];
    uint32_t *anchors = (uint32_t *)poisoned(MORVIK_GAMMA_ANCHORS * 4), *base = (uint32_t *)poisoned(MORVIK_GAMMA_KT2_BASES * 4);
    random_kt2(packed, &base[144], i);
    emit_i32("ret", CALL(GMA_convert_KT2_to_KT1)(one_in(80) ? NULL : packed, one_in(80) ? NULL : anchors,
                                                 one_in(80) ? NULL : base));
    emit_bytes("anchors", anchors, MORVIK_GAMMA_ANCHORS * 4);
    emit_bytes("base", base, MORVIK_GAMMA_KT2_BASES * 4);
    emit_last_error();
    free(anchors);
    free(base);
}

/* A gamma text file: the library's own (from GMA_convert_KT1_to_KT2), or
 * written here with comments, CR LF line ends, long lines, case mixes,
 * junk, too few or too many words. */
static void write_gamma_file(int i, const char *path) {
    FILE *f;
    if (i % 4 == 0) {
        uint32_t a[MORVIK_GAMMA_ANCHORS], base[MORVIK_GAMMA_KT2_BASES], packed[MORVIK_GAMMA_KT2_ENTRIES];
        random_anchors(a, i);
        CALL(GMA_convert_KT1_to_KT2)(a, base, packed, path);
        return;
    }
    f = fopen(path, "wb");
    if (f == NULL) fail("cannot write", path);
    {
        const int words = one_in(5) ? rnd_int(0, 200) : 144, crlf = one_in(3);
        int k, j;
        uint32_t v = 0;
        for (k = 0; k < words; ++k) {
            if (one_in(12)) fputs(one_in(3) ? "@ comment\n" : one_in(2) ? "// note\n" : "#x 12\n", f);
            if (one_in(40)) {
                for (j = rnd_int(250, 600); j > 0; --j) fputc("0123456789abcdefXYZ"[rnd_int(0, 18)], f);
                fputs("\n", f);
            }
            v += (uint32_t)rnd_int(0, 12);
            switch (rnd_int(0, 9)) {
            case 0: fprintf(f, "%x", (unsigned)rnd_u32()); break;
            case 1: fprintf(f, "%X zz", (unsigned)(v | (uint32_t)rnd_int(0, 63) << 10)); break;
            case 2: if (one_in(4)) fputs("g12", f); else fprintf(f, "%.4X", (unsigned)(v & 1023)); break;
            case 3: fprintf(f, "%012X", (unsigned)v); break;
            default: fprintf(f, "%.4X", (unsigned)((v & 1023) | (uint32_t)rnd_int(0, 20) << 10)); break;
            }
            fputs(crlf ? "\r\n" : "\n", f);
        }
        if (one_in(3)) fputs("1234", f); /* no final line feed */
    }
    fclose(f);
}

static void case_gamma_kt2_file(int i) {
    uint32_t *anchors = (uint32_t *)poisoned(MORVIK_GAMMA_ANCHORS * 4), *packed = (uint32_t *)poisoned(MORVIK_GAMMA_KT2_ENTRIES * 4),
             *base = (uint32_t *)poisoned(MORVIK_GAMMA_KT2_BASES * 4);
    char path[1100];
    const char *which = path;
    int k;
    join(path, sizeof path, work_dir, "gamma_in.txt");
    write_gamma_file(i, path);
    for (k = 0; k < MORVIK_GAMMA_KT2_ENTRIES && i % 2; ++k) packed[k] = (uint32_t)k * 7u;
    if (i % 37 == 9) which = work_dir; /* a folder */
    if (i % 37 == 10) which = "no_such_gamma_file.txt";
    emit_i32("ret", CALL(GMA_convert_KT2_to_KT1_file)(i % 37 == 11 ? NULL : which, one_in(80) ? NULL : anchors,
                                                      one_in(80) ? NULL : packed, one_in(80) ? NULL : base));
    emit_bytes("anchors", anchors, MORVIK_GAMMA_ANCHORS * 4);
    emit_bytes("packed", packed, MORVIK_GAMMA_KT2_ENTRIES * 4);
    emit_bytes("base", base, MORVIK_GAMMA_KT2_BASES * 4);
    emit_last_error();
    remove(path);
    free(anchors);
    free(packed);
    free(base);
}

/* ------------------------------------------------------------ register and level conversions */

/* A register block: random words, or a SET's output (mostly) left as is or
 * with one bit flipped, so the GETs see exact, near and far blocks. */
static uint32_t *reg_block(int words) {
    uint32_t *r = (uint32_t *)poisoned((size_t)words * 4);
    int k;
    for (k = 0; k < words; ++k) r[k] = one_in(3) ? 0u : rnd_u32();
    return r;
}

static void flip_bit(uint32_t *r, int words) {
    if (one_in(3)) r[rnd_int(0, words - 1)] ^= 1u << rnd_int(0, 31);
}

static int32_t level_in(int32_t lo, int32_t hi) {
    return one_in(12) ? (one_in(2) ? rnd_int(-40, lo) : (int32_t)rnd_u32()) : rnd_int(lo, hi + hi / 4 + 1);
}

/* One SET (level from level_in(lo, hi)), its GET on the result (one bit
 * flipped at times) and the GET on a random block. SET_GET checks at compile
 * time that the two exports have these types. */
typedef int32_t (*set_fn)(uint32_t *, int32_t);
typedef int32_t (*get_fn)(const uint32_t *, int32_t *);

static void set_get(const char *set_name, const char *get_name, int words, int32_t lo, int32_t hi) {
    set_fn set;
    get_fn get;
    uint32_t *r = reg_block(words);
    int32_t changed = -7;
    int32_t level = level_in(lo, hi);
    count_call(set_name);
    set = (set_fn)lookup(set_name);
    count_call(get_name);
    get = (get_fn)lookup(get_name);
    emit_i32("level", level);
    emit_i32("set", set(one_in(60) ? NULL : r, level));
    emit_bytes("reg", r, (size_t)words * 4);
    emit_last_error();
    flip_bit(r, words);
    emit_i32("get", get(one_in(60) ? NULL : r, one_in(60) ? NULL : &changed));
    emit_i32("changed", changed);
    emit_last_error();
    free(r);
    r = reg_block(words);
    changed = -7;
    emit_i32("get_random", get(r, &changed));
    emit_i32("changed", changed);
    emit_last_error();
    free(r);
}

#define SET_GET(set, get, words, lo, hi)                                  \
    do {                                                                  \
        (void)sizeof((set_fn)0 == (__typeof__(&set))0);                   \
        (void)sizeof((get_fn)0 == (__typeof__(&get))0);                   \
        set_get(#set, #get, words, lo, hi);                               \
    } while (0)

static void case_kt2_dm(int i) {
    uint32_t *r = reg_block(21);
    int32_t s1 = i % 9 == 0 ? rnd_int(-3, 20) : rnd_int(0, 15), s2 = one_in(8) ? rnd_int(-10, 10) : rnd_int(-3, 3);
    int32_t o1 = -7, o2 = -7, mod = -7;
    emit_i32("set", CALL(ISP_KT2_DM_ALLSLIDER_REG)(one_in(60) ? NULL : r, s1, s2));
    emit_bytes("reg", r, 21 * 4);
    emit_last_error();
    flip_bit(r, 21);
    if (i % 5 == 4) { free(r); r = reg_block(21); }
    emit_i32("get", CALL(ISP_KT2_DM_REG_ALLSLIDER)(one_in(60) ? NULL : r, &o1, one_in(60) ? NULL : &o2, &mod));
    emit_i32("slider1", o1);
    emit_i32("slider2", o2);
    emit_i32("modified", mod);
    emit_last_error();
    free(r);
}

static void case_kt2_ee(int i) {
    uint32_t *r = reg_block(16);
    const int32_t s1 = level_in(0, 150), s2 = level_in(0, 7), s3 = level_in(0, 1023);
    int32_t o1 = -7, o2 = -7, o3 = -7, mod = -7;
    emit_i32("set", CALL(ISP_KT2_EE_ALLSLIDER_REG)(one_in(60) ? NULL : r, s1, s2, s3));
    emit_bytes("reg", r, 16 * 4);
    emit_last_error();
    flip_bit(r, 16);
    if (i % 5 == 4) { free(r); r = reg_block(16); }
    emit_i32("get", CALL(ISP_KT2_EE_REG_ALLSLIDER)(one_in(60) ? NULL : r, &o1, &o2, one_in(60) ? NULL : &o3, &mod));
    emit_i32("slider1", o1);
    emit_i32("slider2", o2);
    emit_i32("slider3", o3);
    emit_i32("modified", mod);
    emit_last_error();
    free(r);
}

static void case_kt2_nr3d(int i) {
    switch (i % 4) {
    case 0: SET_GET(ISP_KT2_NR3D_SET_STRENGTH_REG, ISP_KT2_NR3D_STRENGTH_GET_LEL, 15, 0, 31); break;
    case 1: SET_GET(ISP_KT2_NR3D_SET_YNOISE_REG, ISP_KT2_NR3D_YNOISE_GET_LEL, 15, 0, 31); break;
    case 2: SET_GET(ISP_KT2_NR3D_SET_UNOISE_REG, ISP_KT2_NR3D_UNOISE_GET_LEL, 15, 0, 31); break;
    default: SET_GET(ISP_KT2_NR3D_SET_VNOISE_REG, ISP_KT2_NR3D_VNOISE_GET_LEL, 15, 0, 31); break;
    }
}

static void case_kt2_mfll(int i) {
    if (i % 2)
        SET_GET(ISP_KT2_MFLL_SET_MIXER_REG, ISP_KT2_MFLL_MIXER_GET_LEL, 1, 0, 255);
    else
        SET_GET(ISP_KT2_MFLL_SET_MFB_TH_REG, ISP_KT2_MFLL_MFB_TH_GET_LEL, 1, 0, 255);
}

static void case_kt2_anr(int i) {
    switch (i % 4) {
    case 0: SET_GET(ISP_KT2_ANR_SET_Y_STRENGTH_REG, ISP_KT2_ANR_Y_STR_GET_LEL, 18, 0, 127); break;
    case 1: SET_GET(ISP_KT2_ANR_SET_C_STRENGTH_REG, ISP_KT2_ANR_C_STR_GET_LEL, 18, 0, 127); break;
    case 2: SET_GET(ISP_KT2_ANR_SET_C_NOISE_REG, ISP_KT2_ANR_C_NOISE_GET_LEL, 18, 0, 64); break;
    default: {
        uint32_t *r = reg_block(18);
        const int32_t level = level_in(0, 24), companion = one_in(10) ? (int32_t)rnd_u32() : rnd_int(-2, 12);
        int32_t changed = -7;
        if (one_in(2)) r[0] &= ~(1u << 12);
        emit_i32("set", CALL(ISP_KT2_ANR_SET_Y_NOISE_REG)(one_in(60) ? NULL : r, level, companion));
        emit_bytes("reg", r, 18 * 4);
        emit_last_error();
        flip_bit(r, 18);
        emit_i32("get", CALL(ISP_KT2_ANR_Y_NOISE_GET_LEL)(one_in(60) ? NULL : r, one_in(60) ? NULL : &changed));
        emit_i32("changed", changed);
        emit_last_error();
        free(r);
        break;
    }
    }
}

static void case_kt2_ccr(int i) {
    (void)i;
    SET_GET(ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG, ISP_KT2_CHROMA_REDUCT_GET_LEL, 4, 0, 64);
}

static void case_kt2_saturation(int i) {
    uint32_t *r = reg_block(545);
    const int32_t table = i % 10 == 9 ? rnd_int(-2, 5) : rnd_int(0, 2), level = level_in(-128, 127);
    int k;
    if (i % 3 == 0) {
        for (k = 0; k < 3; ++k) r[k] = (uint32_t)rnd_int(-128, 127);
        for (k = 5; k < 545; ++k) r[k] = (r[k] & 0xffff00ffu) | (uint32_t)(uint8_t)rnd_int(-127, 127) << 8;
    }
    emit_i32("set", CALL(ISP_KT2_ANR_SET_SATURATION_REG)(one_in(60) ? NULL : r, level, table));
    emit_bytes("reg", r, 545 * 4);
    emit_last_error();
    emit_i32("get", CALL(ISP_KT2_PCA_SAT_GET_LEL)(one_in(60) ? NULL : r, one_in(10) ? rnd_int(-3, 5) : table));
    emit_last_error();
    free(r);
}

/* ------------------------------------------------------------ frame */

static long sink_calls;
static void counting_sink(const char *line, void *user) {
    (void)line;
    ++*(long *)user;
}

/* The log sink can be swapped and restored; a failing call sets the last
 * error and a succeeding one clears it. */
static void case_frame(int i) {
    AwbIntWindow large[4];
    AwbIntWindow small[6];
    (void)i;
    random_windows(large, 4);
    CALL(morvik_set_log_sink)(counting_sink, &sink_calls);
    emit_i32("verify", CALL(Unbalance_Verify)(NULL, 1, 0, 4, 4, NULL));
    emit_last_error();
    emit_i32("small", CALL(AWB_Small_win_Calibration)(large, small));
    emit_last_error();
    CALL(morvik_set_log_sink)(log_sink, NULL);
    emit_i32("sink_calls", (int32_t)sink_calls);
}

/* ------------------------------------------------------------ table */

static const struct {
    const char *family;
    int cases;
    void (*run)(int);
} table[] = {
    {"catalogue", 300, case_catalogue},
    {"library frame", 300, case_frame},
    {"defect verification", 400, case_defect},
    {"unbalance verification", 400, case_unbalance},
    {"white-balance calibration", 400, case_awb_calibration},
    {"white-balance windows", 300, case_awb_windows},
    {"white-balance small windows", 300, case_awb_small_windows},
    {"white-balance applied windows", 300, case_awb_apply},
    {"white-balance filter", 400, case_awb_filter},
    {"colour error", 400, case_color_error},
    {"colour correction", 300, case_cc_kt2},
    {"colour correction KT1", 300, case_cc_kt1},
    {"colour difference", 400, case_cd},
    {"multi-illuminant matrix", 400, case_multiccm},
    {"lens shading", 300, case_lsc},
    {"debug-information dump", 900, case_dump},
    {"grid shading table", 300, case_shading_table},
    {"grid shading spline stage", 300, case_shading_process},
    {"sensor slope and offset", 400, case_sensor_fit},
    {"sensor light values", 300, case_sensor_lv},
    {"PCA hue angle", 300, case_pca_atan2},
    {"PCA block", 300, case_pca_core},
    {"PCA table generation", 300, case_pca_autogen},
    {"PCA tuning", 400, case_pca_tuning},
    {"gamma update", 300, case_gamma_update},
    {"gamma KT1 to KT2", 300, case_gamma_kt1_to_kt2},
    {"gamma KT2 to KT1", 300, case_gamma_kt2_to_kt1},
    {"gamma KT2 file to KT1", 400, case_gamma_kt2_file},
    {"demosaic sliders", 400, case_kt2_dm},
    {"edge-enhancement sliders", 400, case_kt2_ee},
    {"3D noise reduction levels", 1200, case_kt2_nr3d},
    {"multi-frame blending levels", 600, case_kt2_mfll},
    {"spatial noise reduction levels", 1600, case_kt2_anr},
    {"chroma reduction levels", 400, case_kt2_ccr},
    {"saturation levels", 400, case_kt2_saturation},
};

int main(int argc, char **argv) {
    char path[1100];
    size_t t;
    int i;
    if (argc != 5) {
        fprintf(stderr, "usage: harness LIBRARY EXAMPLES_DIR WORK_DIR TRANSCRIPT\n");
        return 2;
    }
    examples_dir = argv[2];
    work_dir = argv[3];
    join(host_dir, sizeof host_dir, work_dir, "host");
    join(inspect_dir, sizeof inspect_dir, work_dir, "inspect");
    out = fopen(argv[4], "wb");
    if (out == NULL) fail("cannot write", argv[4]);
    open_library(argv[1]);
    join(path, sizeof path, examples_dir, "lsc/flat_320x240_gr.raw");
    example_raw = read_whole(path, &example_raw_size);
    join(path, sizeof path, examples_dir, "debuginfo/example.jpg");
    example_jpg = read_whole(path, &example_jpg_size);

    CALL(morvik_set_log_sink)(log_sink, NULL);
    for (t = 0; t < sizeof table / sizeof table[0]; ++t) {
        put("== ");
        put(table[t].family);
        put("\n");
        for (i = 0; i < table[t].cases; ++i) {
            put("-- case ");
            put_dec(i);
            put("\n");
            table[t].run(i);
        }
    }
    put("== calls per export\n");
    for (i = 0; i < n_counts; ++i) {
        put(counts[i].name);
        put(" ");
        put_dec(counts[i].calls);
        put("\n");
        fprintf(stderr, "%-36s %ld\n", counts[i].name, counts[i].calls);
    }
    fclose(out);
    return 0;
}
