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
