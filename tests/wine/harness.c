/*
 * Differential harness: calls every export of the library on deterministic
 * pseudo-random inputs and writes a transcript of everything observable:
 * each call's return value and output words (hex), morvik_last_error(), every
 * debug-log line (through morvik_set_log_sink) and the bytes of every file
 * the call wrote. Built for Linux (libmorvik.so through dlopen) and with
 * MinGW-w64 (MORVIK_DLL.dll through LoadLibrary, every export by name);
 * tests/wine/run.sh runs both and compares the transcripts.
 *
 *   harness LIBRARY EXAMPLES_DIR WORK_DIR TRANSCRIPT
 *
 * WORK_DIR must hold host/ (the module headers; MORVIK_HOST_DIR points at
 * it) and inspect/ (MORVIK_INSPECT_DIR). Nothing here uses floating-point
 * library functions: inputs come from integer arithmetic and the basic
 * operations, so both builds feed the library the same bits.
 *
 * Adding an export: write a case function (inputs from the rnd_* helpers,
 * output buffers from output(), pointer arguments through OPT, the call
 * through CALL(name), other results through the emit_* helpers) and add one
 * line to the table at the end.
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
static const char *work_dir;
static char host_dir[1100], inspect_dir[1100];
static void *library;

static void fail(const char *what, const char *detail) {
    fprintf(stderr, "harness: %s %s\n", what, detail);
    exit(2);
}

/* Calls per export, for the summary. */
#define MAX_EXPORTS 128
static struct { const char *name; long calls; } counts[MAX_EXPORTS];
static int n_counts;

/* The export `name` found at run time, its call counted. */
static void *export_named(const char *name) {
    void *p;
    int i;
    for (i = 0; i < n_counts && strcmp(counts[i].name, name) != 0; ++i) continue;
    if (i == MAX_EXPORTS) fail("too many exports", name);
    counts[i].name = name;
    counts[i].calls++;
    n_counts += i == n_counts;
#ifdef _WIN32
    p = (void *)GetProcAddress((HMODULE)library, name);
#else
    p = dlsym(library, name);
#endif
    if (p == NULL) fail("missing export", name);
    return p;
}

/* The export `name`, typed by its declaration. */
#define CALL(name) ((__typeof__(&name))export_named(#name))

/* ------------------------------------------------------------ output */

/* Text with every byte outside printable ASCII as \xNN. Digits after
 * "Time lapsed: " are masked: they measure the machine, not the library. */
static void put_text(const char *s) {
    size_t i;
    int masking = 0;
    for (i = 0; s[i] != 0; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (i >= 13 && memcmp(s + i - 13, "Time lapsed: ", 13) == 0) masking = 1;
        masking = masking && c >= '0' && c <= '9';
        if (masking)
            fputc('#', out);
        else if (c >= 32 && c < 127 && c != '\\')
            fputc(c, out);
        else
            fprintf(out, "\\x%02x", c);
    }
}

/* Large outputs are printed in full the first time their hash is seen and
 * by length and hash after that, which keeps the transcript small and still
 * shows every difference. */
#define MAX_SEEN 4096
static uint64_t seen[MAX_SEEN];
static int n_seen;

static int first_sight(const unsigned char *p, size_t n) {
    uint64_t h = 14695981039346656037ull; /* FNV-1a */
    size_t i;
    int k;
    for (i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    fprintf(out, " len %lu fnv %08lx%08lx", (unsigned long)n, (unsigned long)(h >> 32), (unsigned long)(h & 0xffffffffu));
    for (k = 0; k < n_seen; ++k)
        if (seen[k] == h) return 0;
    if (n_seen < MAX_SEEN) seen[n_seen++] = h;
    return 1;
}

/* Bytes as little-endian 32-bit words in hex (a tail of 1-3 bytes as bytes). */
static void emit_bytes(const char *label, const void *data, size_t n) {
    const unsigned char *p = (const unsigned char *)data;
    size_t i;
    fprintf(out, "%s:", label);
    if (n <= 256 || first_sight(p, n)) {
        for (i = 0; i + 4 <= n; i += 4)
            fprintf(out, "%s%08lx", i % 64 == 0 ? "\n " : " ",
                    (unsigned long)p[i] | (unsigned long)p[i + 1] << 8 | (unsigned long)p[i + 2] << 16 |
                        (unsigned long)p[i + 3] << 24);
        for (; i < n; ++i) fprintf(out, " %02x", p[i]);
    }
    fputc('\n', out);
}

static void emit_i32(const char *label, int32_t v) { fprintf(out, "%s: %08lx\n", label, (unsigned long)(uint32_t)v); }

static void emit_str(const char *label, const char *s) {
    fprintf(out, "%s: %s", label, s == NULL ? "(null)" : "\"");
    if (s != NULL) put_text(s);
    fputs(s == NULL ? "\n" : "\"\n", out);
}

static void emit_last_error(void) { emit_str("last_error", CALL(morvik_last_error)()); }

/* A call's return value and the last error it left. */
static void emit_ret(const char *label, int32_t v) { emit_i32(label, v), emit_last_error(); }

/* Log lines go to the transcript, or are only counted when `user` points
 * at a counter. */
static void log_sink(const char *line, void *user) {
    if (user != NULL) {
        ++*(long *)user;
        return;
    }
    fputs("log: ", out);
    put_text(line);
    fputc('\n', out);
}

/* A whole file (a NUL after its end), or NULL if it cannot be opened. */
static uint8_t *read_whole(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    uint8_t *data;
    long n;
    if (f == NULL) return NULL;
    fseek(f, 0, SEEK_END);
    n = ftell(f);
    fseek(f, 0, SEEK_SET);
    data = (uint8_t *)malloc((size_t)(n < 0 ? 0 : n) + 1);
    if (n < 0 || data == NULL || fread(data, 1, (size_t)n, f) != (size_t)n) fail("cannot read", path);
    fclose(f);
    data[n] = 0;
    *size = (size_t)n;
    return data;
}

/* The bytes of a file the library wrote, then the file is removed. Files
 * the library writes in text mode (fold_crlf) get "\r\n" for every "\n" on
 * Windows; the Windows build undoes exactly that, turning each "\r\n" back
 * into "\n" (a "\r" of the data itself stays), so both builds print the
 * bytes the library meant to write. */
static void emit_file(const char *label, const char *path, int fold_crlf) {
    size_t n = 0;
    uint8_t *data = read_whole(path, &n);
    if (data == NULL) {
        fprintf(out, "%s: absent\n", label);
        return;
    }
#ifdef _WIN32
    if (fold_crlf) {
        size_t i, j;
        for (i = 0, j = 0; i < n; ++i)
            if (!(data[i] == '\r' && i + 1 < n && data[i + 1] == '\n')) data[j++] = data[i];
        n = j;
    }
#else
    (void)fold_crlf;
#endif
    emit_bytes(label, data, n);
    free(data);
    remove(path);
}

/* dir/name, in one of eight buffers used in turn. */
static const char *path_of(const char *dir, const char *name) {
    static char paths[8][1100];
    static int next;
    char *dst = paths[next++ % 8];
    const size_t d = strlen(dir);
    if (d + strlen(name) + 2 > sizeof paths[0]) fail("path too long", name);
    sprintf(dst, "%s%s%s", dir, d > 0 && dir[d - 1] != '/' && dir[d - 1] != '\\' ? "/" : "", name);
    return dst;
}

/* Per-case buffers, filled with a marker byte so untouched bytes show as
 * a5. Those made by output() are emitted under their label, in the order
 * they were made, when the case is over; then all are freed. */
static struct buffer { void *p; size_t n; const char *label; } *buffers;
static size_t n_buffers, buffers_cap;

static void *output(const char *label, size_t n) {
    void *p = malloc(n == 0 ? 1 : n);
    if (n_buffers == buffers_cap) {
        buffers_cap = 2 * buffers_cap + 64;
        buffers = realloc(buffers, buffers_cap * sizeof *buffers);
    }
    if (p == NULL || buffers == NULL) fail("out of memory", "");
    memset(p, 0xa5, n == 0 ? 1 : n);
    buffers[n_buffers].n = n;
    buffers[n_buffers].label = label;
    return buffers[n_buffers++].p = p;
}

static void *poisoned(size_t n) { return output(NULL, n); }

static void end_case(void) {
    size_t k;
    for (k = 0; k < n_buffers; ++k) {
        if (buffers[k].label != NULL) emit_bytes(buffers[k].label, buffers[k].p, buffers[k].n);
        free(buffers[k].p);
    }
    n_buffers = 0;
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

static uint8_t clamp_byte(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

/* Pointer argument k of a call is NULL when the draw is k (1 in 60 each).
 * The draw is made before each case (and again where a case makes several
 * calls), never among the arguments, whose order of evaluation C leaves
 * open. */
static int null_arg;
#define OPT(k, p) (null_arg == (k) ? NULL : (p))
static void draw_null(void) { null_arg = rnd_int(0, 59); }

/* Image sizes: row r of a table {w_lo, w_hi, h_lo, h_hi, step}, each side
 * step times a uniform integer. */
typedef int32_t size_row[5];
static void rnd_size(const size_row *rows, int r, int32_t *w, int32_t *h) {
    *w = rows[r][4] * rnd_int(rows[r][0], rows[r][1]);
    *h = rows[r][4] * rnd_int(rows[r][2], rows[r][3]);
}

/* ------------------------------------------------------------ verification */

/* Even cases run the defect check, odd ones the unbalance check, on a test
 * image in the bitmap layout (raw images use the first byte only): a flat
 * level with noise and a few planted bright and dark defects, its size
 * around the check's minimum, odd, even, narrow or plain. */
static void case_verify(int i) {
    static const int32_t formats[] = {1, 1, 1, 2, 2, 2, 0, 3, -1};
    static const int32_t bayers[] = {0, 1, 2, 3, 0, 1, 2, 3, 4, -1, 0x102, 0x7fffffff};
    const int defect = i % 2 == 0, shape = (i / 2) % 6;
    const int32_t minimum = defect ? 6 : 2, format = pick(formats, 9), bayer = pick(bayers, 12);
    const int32_t threshold = rnd_int(-5, 300), level = rnd_int(10, 240), noise = rnd_int(0, 12);
    const size_row shapes[6] = {{-1, minimum, -1, minimum, 1}, {minimum, minimum + 1, minimum, minimum + 1, 1}, {3, 20, 3, 20, 2},
                                {4, 36, 4, 28, 2}, {minimum, 90, minimum, minimum + 2, 1}, {minimum, 64, minimum, 48, 1}};
    void *res = output("result", defect ? sizeof(DefectVerifyResult) : sizeof(UnbalanceVerifyResult));
    int32_t w, h, d;
    size_t n, k;
    uint8_t *img;
    rnd_size(shapes, shape, &w, &h);
    if (shape == 2) ++w, ++h; /* odd */
    if (defect && format == 2 && shape == 1) w = h = 5;
    n = (((size_t)(w < 0 ? 0 : w) * 3 + 3) & ~(size_t)3) * (size_t)(h < 0 ? 0 : h);
    img = poisoned(n);
    for (k = 0; k < n; ++k) d = rnd_int(-noise, noise), img[k] = clamp_byte(level + d + (int)(k % 3) * rnd_int(0, 3));
    for (d = rnd_int(0, 6); d > 0 && n > 0; --d) k = (size_t)rnd_int(0, (int32_t)n - 1), img[k] = one_in(2) ? 255 : 0;
    emit_ret("ret", defect ? CALL(Defect_Verify)(OPT(0, img), format, bayer, w, h, threshold, OPT(1, res))
                           : CALL(Unbalance_Verify)(OPT(0, img), format, bayer, w, h, OPT(1, res)));
}

/* ------------------------------------------------------------ white balance */

static void case_awb_calibration(int i) {
    static const int32_t odd_counts[] = {0, 1, 21, 255, 0x105, -3};
    AwbGreyStatistics entries[20];
    AwbCalibrationResult *res = output("result", sizeof *res);
    const int32_t count = i % 8 == 7 ? pick(odd_counts, 6) : rnd_int(2, 20);
    const int32_t algorithm = rnd_int(-2, 2), upper = rnd_int(0, 0x2ffff), lower = rnd_int(0, 0x2ffff);
    const int spread = rnd_int(5, 400);
    int k;
    for (k = 0; k < 20; ++k) {
        const int g = rnd_int(100, 900), c1 = g + rnd_int(-spread, spread), c3 = g + rnd_int(-spread, spread);
        entries[k].key = (uint16_t)(i % 11 == 5 ? 5000 : rnd_int(2000, 9000));
        entries[k].channel2 = (uint16_t)g;
        entries[k].channel1 = (uint16_t)(c1 > 1 ? c1 : 1), entries[k].channel3 = (uint16_t)(c3 > 1 ? c3 : 1);
    }
    if (one_in(25)) entries[rnd_int(0, 19)].channel2 = 0;
    emit_ret("ret", CALL(AWB_Calibration)(algorithm, count, upper, lower, OPT(0, entries), OPT(1, res)));
}

/* Integer windows over a random range, mostly with x0 <= x1. */
static void random_windows(AwbIntWindow *w, int n) {
    const int32_t range = one_in(10) ? 0x7fffffff : rnd_int(10, 5000);
    int k;
    for (k = 0; k < n; ++k) {
        const int32_t a = rnd_int(-range / 2, range / 2), b = rnd_int(-range / 2, range / 2), keep = one_in(5);
        w[k].x0 = keep || a <= b ? a : b;
        w[k].x1 = keep || a <= b ? b : a;
        w[k].y0 = rnd_int(-range / 2, range / 2), w[k].y1 = rnd_int(-range / 2, range / 2);
    }
}

/* Three kinds of case: five light statistics to ten windows, four large
 * windows to six small ones, eleven windows checked before they apply. */
static void case_awb_windows(int i) {
    AwbLightStatistics lights[5];
    AwbIntWindow windows[11];
    double u = rnd_double(-0.5, 0.0);
    int k;
    switch (i % 3) {
    case 0:
        for (k = 0; k < 5; ++k) {
            u += rnd_double(0.01, 0.3);
            lights[k].center_u = u, lights[k].center_v = rnd_double(-0.3, 0.3);
            lights[k].spread_u = rnd_double(0.0, 0.1), lights[k].spread_v = rnd_double(0.0, 0.1);
        }
        CALL(AWB_WIN_AUTO_CAL)(OPT(0, lights), OPT(1, (AwbWindow *)output("windows", 10 * sizeof(AwbWindow))));
        emit_last_error();
        break;
    case 1:
        random_windows(windows, 4);
        emit_ret("ret", CALL(AWB_Small_win_Calibration)(OPT(0, windows), OPT(1, (AwbIntWindow *)output("small", 6 * sizeof *windows))));
        break;
    default:
        random_windows(windows, 11);
        emit_ret("ret", CALL(AWB_Update_11_Window_Before_Apply)(OPT(0, windows)));
        break;
    }
}

static void case_awb_filter(int i) {
    AWBFILTER_PARAM p;
    const int32_t w = i % 5 == 0 ? rnd_int(0, 3) : rnd_int(2, 40), h = i % 7 == 0 ? rnd_int(0, 3) : rnd_int(2, 30);
    const size_t pixels = (size_t)(w > 1 ? w - 1 : 0) * (size_t)(h > 1 ? h - 1 : 0);
    uint8_t *raw = poisoned((size_t)w * (size_t)h), *mask = output("mask", pixels + 8), *rgb = output("rgb", 3 * pixels + 8);
    const int level = rnd_int(0, 255), noise = rnd_int(0, 80);
    size_t k;
    for (k = 0; k < (size_t)w * (size_t)h; ++k) raw[k] = clamp_byte(level + rnd_int(-noise, noise));
    memset(&p, 0, sizeof p);
    p.nFirstPixel = (uint8_t)rnd_int(0, 7), p.SUPSEL = (uint8_t)rnd_int(0, 9), p.Y_LIMIT = (uint8_t)rnd_int(0, 63);
    p.U_GAIN = (uint8_t)rnd_u32(), p.V_GAIN = (uint8_t)rnd_u32();
    p.S_RB_P = (uint8_t)rnd_u32(), p.S_RB_N = (uint8_t)rnd_u32();
    p.S_MG_P = (uint8_t)rnd_u32(), p.S_MG_N = (uint8_t)rnd_u32();
    p.width = (uint32_t)w, p.height = (uint32_t)h;
    p.raw = OPT(1, raw);
    emit_ret("ret", CALL(AWB_Filter)(OPT(0, &p), mask, rgb));
}

/* ------------------------------------------------------------ catalogue and library frame */

static void emit_description(const char *label, const char *text, uint32_t index) {
    if (index == 0)
        emit_bytes(label, text, 256); /* the whole buffer, padding included */
    else
        emit_str(label, text);
}

/* The catalogue; then, with the log sink swapped for a counter and
 * restored, a failing call sets the last error and a succeeding one clears
 * it. */
static void case_catalogue(int i) {
    static const uint32_t fixed[] = {0u, 1u, 0xffffffffu, 0x80000000u, 2u};
    static long sink_calls;
    const uint32_t index = i < 5 ? fixed[i] : (one_in(2) ? (uint32_t)rnd_int(0, 3) : rnd_u32());
    AwbIntWindow large[4], small[6];
    emit_i32("index", (int32_t)index);
    emit_description("awb", CALL(AWB_GetDescription)(index), index);
    emit_description("cc", CALL(CC_GetDescription)(index), index);
    emit_description("cd", CALL(CD_GetDescription)(index), index);
    emit_i32("awb_n", CALL(AWB_GetNumOfAlgorithms)());
    emit_i32("cc_n", CALL(CC_GetNumOfAlgorithms)());
    emit_ret("cd_n", CALL(CD_GetNumOfAlgorithms)());
    random_windows(large, 4);
    CALL(morvik_set_log_sink)(log_sink, &sink_calls);
    emit_ret("verify", CALL(Unbalance_Verify)(NULL, 1, 0, 4, 4, NULL));
    emit_ret("small", CALL(AWB_Small_win_Calibration)(large, small));
    CALL(morvik_set_log_sink)(log_sink, NULL);
    emit_i32("sink_calls", (int32_t)sink_calls);
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

/* Four kinds of case on a random chart: the colour error of a matrix near
 * the identity, the byte and the KT1 colour correction (with the
 * inspection file), the colour difference. */
static void case_colour(int i) {
    float measured[144], reference[264], matrix[9];
    const int32_t algorithm = rnd_int(-1, 1), j = i / 4, grey = i % 4 == 0 && j % 2 == 1;
    const float strength = j % 10 == 0 ? 0.0f : j % 10 == 1 ? 1.0f : rnd_float(-0.2, 1.5);
    int32_t side[4], k;
    void *o[3];
    chart(measured, reference);
    /* Colour errors of charts of exact greys under the identity: their a and
     * b are tiny, so a last-bit change of a cube root shows. */
    for (k = 0; k < 24 && grey; ++k) {
        measured[6 * k + 1] = measured[6 * k + 2] = measured[6 * k];
        measured[6 * k + 4] = measured[6 * k + 5] = measured[6 * k + 3];
        reference[11 * k + 7] = reference[11 * k + 8] = reference[11 * k + 6];
    }
    for (k = 0; k < 4; ++k) side[k] = (int32_t)rnd_u32();
    switch (i % 4) {
    case 0:
        for (k = 0; k < 9; ++k) matrix[k] = (float)((k % 4 == 0 ? 1.0 : 0.0) + (j % 3 == 0 || grey ? 0.0 : rnd_double(-0.6, 0.6)));
        o[0] = output("lab_corrected", 72 * 4), o[1] = output("lab_reference", 72 * 4), o[2] = output("lab_uncorrected", 72 * 4);
        CALL(CalColorError)(measured, OPT(0, reference), matrix, o[0], o[1], o[2]);
        emit_last_error();
        return;
    case 1:
        o[0] = output("matrix", 9), o[1] = output("side", 16);
        emit_ret("ret", CALL(CC_Calibration)(algorithm, strength, measured, OPT(0, reference), side, o[0], o[1]));
        break;
    case 2:
        o[0] = output("matrix", 36), o[1] = output("side", 16);
        emit_ret("ret", CALL(CC_Calibration_KT1)(algorithm, strength, measured, OPT(0, reference), side, o[0], o[1]));
        break;
    default: /* linear measurements (within [0, 1) at times), a third of them exact greys */
        for (k = 0; k < 72; ++k) measured[k] = j % 4 == 0 ? rnd_float(0, 1) : rnd_float(0, 4000);
        for (k = 0; k < 24; ++k)
            if (one_in(3)) measured[3 * k + 1] = measured[3 * k + 2] = measured[3 * k];
        o[0] = output("difference", 96 * 4), o[1] = output("reference_lab", 72 * 4);
        emit_ret("ret", CALL(CD_Calibration)(algorithm, measured, OPT(0, reference), o[0], o[1]));
        return;
    }
    emit_file("Camera_CC.csv", path_of(inspect_dir, "Camera_CC.csv"), 1);
}

static void case_multiccm(int i) {
    enum { MAXL = 14 };
    int32_t storage[MAXL][9], first[MAXL], den[MAXL], second[MAXL], weight[MAXL], *matrices[MAXL], *coefs[6];
    int32_t *coef = output("coefficients", 6 * 9 * 4), *norm = output("normalisation", 4 * 4);
    const int32_t count = i % 9 == 0 ? rnd_int(-1, 2) : rnd_int(2, MAXL), terms = rnd_int(-1, 7);
    int k, e;
    for (k = 0; k < MAXL; ++k) {
        for (e = 0; e < 9; ++e) storage[k][e] = (e % 4 == 0 ? 256 : 0) + rnd_int(-120, 120);
        den[k] = one_in(80) ? 0 : rnd_int(500, 4000);
        first[k] = rnd_int(0, den[k] > 0 ? den[k] : 1), second[k] = rnd_int(0, den[k] > 0 ? den[k] : 1);
        weight[k] = rnd_int(0, 100);
        matrices[k] = storage[k];
    }
    for (k = 0; k < 6; ++k) coefs[k] = coef + 9 * k;
    CALL(MultiCCM)(matrices, first, den, second, weight, count, terms, OPT(0, norm), coefs);
    emit_last_error();
}

/* ------------------------------------------------------------ lens shading */

static uint8_t *example_raw, *example_jpg;
static size_t example_raw_size, example_jpg_size;

/* A Bayer flat field of w x h samples, one or two bytes each (10-bit: low
 * byte first): per-channel levels falling off with the squared distance
 * from an off-centre point, plus noise. Harsh fields have levels past full
 * scale and, at times, a dark channel. */
static uint8_t *flat_field(int32_t w, int32_t h, int top, int ten_bit, int noise, int harsh) {
    const int32_t pw = w < 0 ? 0 : w, ph = h < 0 ? 0 : h;
    uint8_t *raw = poisoned((size_t)pw * (size_t)ph * (ten_bit ? 2 : 1));
    const double cx = rnd_double(0.2, 0.8) * pw, cy = rnd_double(0.2, 0.8) * ph;
    const double fall = rnd_double(0.0, 0.9) / ((double)pw * pw / 4 + (double)ph * ph / 4 + 1);
    double level[4];
    int32_t x, y;
    int c;
    for (c = 0; c < 4; ++c) level[c] = harsh && one_in(8) ? 0.0 : rnd_double(harsh ? 0.1 : 0.12, harsh ? 1.1 : 1.0) * top;
    for (y = 0; y < ph; ++y)
        for (x = 0; x < pw; ++x) {
            const double dx = x - cx, dy = y - cy;
            int v = (int)(level[(y & 1) * 2 + (x & 1)] * (1.0 - fall * (dx * dx + dy * dy))) + rnd_int(-noise, noise);
            const size_t at = (size_t)y * pw + x;
            v = v < 0 ? 0 : v > top ? top : v;
            if (ten_bit)
                raw[2 * at] = (uint8_t)(v & 0xff), raw[2 * at + 1] = (uint8_t)(one_in(50) ? rnd_int(0, 255) : v >> 8);
            else
                raw[at] = (uint8_t)v;
        }
    return raw;
}

static void case_lsc(int i) {
    static const int32_t bayer_orders[] = {0, 1, 2, 3, 0, 1, 2, 3, 4, 7};
    static const size_row sizes[] = {{0, 9, 0, 9, 1}, {8, 40, 8, 40, 1}, {10, 40, 8, 30, 4}, {40, 130, 30, 100, 1}, {320, 320, 240, 240, 1}};
    const uint32_t bayer = (uint32_t)pick(bayer_orders, 10);
    const uint32_t chip = i % 3 == 0 ? 0x4B330000u | (rnd_u32() & 0xffffu) : i % 3 == 1 ? rnd_u32() : 0u;
    lsc_result *res = output("result", sizeof *res);
    lsc_params p;
    int32_t w, h;
    uint8_t *raw;
    size_t k;
    rnd_size(sizes, i % 5, &w, &h);
    if (i % 10 == 4) { /* the example flat field with a little noise */
        raw = poisoned(example_raw_size);
        for (k = 0; k < example_raw_size; ++k) raw[k] = clamp_byte(example_raw[k] + rnd_int(-2, 2));
    } else {
        raw = flat_field(w, h, 250, 0, rnd_int(0, 6), 0);
    }
    p.target_scale = i % 4 == 0 ? 1.0f : rnd_float(0.8, 1.3);
    p.below_max = rnd_float(0.0, 0.2), p.overshoot = rnd_float(0.0, 0.3);
    p.shading_min = rnd_float(0.5, 1.0);
    p.y_only = (uint8_t)rnd_int(0, 2);
    emit_ret("ret", CALL(LSC_Calculate)(chip, bayer, OPT(0, raw), (uint32_t)w, (uint32_t)h, OPT(1, &p), OPT(2, res)));
}

/* ------------------------------------------------------------ debug-information dump */

/* The example file, or a copy with a few bytes or words changed, or cut. */
static void write_jpeg(int i, const char *path) {
    static const uint32_t words[] = {0u, 1u, 2u, 11u, 0xffffffffu, 0x0100000bu, 0x01000000u, 12u};
    uint8_t *copy = poisoned(example_jpg_size);
    size_t n = example_jpg_size;
    FILE *f;
    int k, changes = i % 10 == 0 ? 0 : rnd_int(1, 6);
    memcpy(copy, example_jpg, n);
    for (k = 0; k < changes && n >= 8; ++k) {
        /* Most changes hit the debug segments near the start. */
        const size_t at = (size_t)rnd_int(0, (int32_t)(one_in(3) || n < 1200 ? n - 4 : 1200));
        switch (rnd_int(0, 3)) {
        case 0: copy[at] ^= (uint8_t)(1u << rnd_int(0, 7)); break;
        case 1: copy[at] = (uint8_t)rnd_u32(); break;
        case 2: memcpy(copy + at, &words[rnd_int(0, 7)], 4); break;
        default: n = (size_t)rnd_int(2, (int32_t)n); break;
        }
    }
    f = fopen(path, "wb");
    if (f == NULL || fwrite(copy, 1, n, f) != n) fail("cannot write", path);
    fclose(f);
}

/* DP_getInfo on the file, the getters, then one of the three dumps: to a
 * file, to a file with dimensions, or into records sized from DP_GET_SIZE
 * (rows x (pairs + 2) per block). */
static void case_dump(int i) {
    static const int32_t modes[] = {0, 1, 2, 2, 2, 3, -1};
    const char *jpg = path_of(work_dir, "case.jpg"), *dump = path_of(work_dir, "dump.txt");
    int32_t blocks = -7, *size = output("size_record", DP_SIZE_RECORD_WORDS * 4), (*dimw)[2] = output("dims", 64 * 8);
    int32_t *dims[64];
    DpDumpRecord **columns[64];
    int k, b, nb;
    const int32_t mode = pick(modes, 7);
    write_jpeg(i, jpg);
    emit_ret("getinfo", CALL(DP_getInfo)(OPT(0, jpg), mode, &blocks));
    emit_i32("blocks", blocks);
    emit_file("TAG.h", path_of(host_dir, "TAG.h"), 1);
    for (k = 0; k < 64; ++k) dims[k] = dimw[k];
    emit_ret("size", CALL(DP_GET_SIZE)(size, dims));
    CALL(DP_GetAWBinfo)(output("awb", DP_AWB_INFO_WORDS * 4));
    emit_i32("ggm_ret", CALL(GetGGMTbl)(output("ggm", DP_GGM_WORDS * 4)));
    emit_i32("pca_ret", CALL(GetPCATbl)(output("pca", DP_PCA_WORDS * 4)));
    if (i % 3 < 2) {
        int32_t *size2 = output("dump_size_record", DP_SIZE_RECORD_WORDS * 4), (*dimw2)[2] = output("dump_dims", 64 * 8);
        for (k = 0; k < 64; ++k) dims[k] = dimw2[k];
        emit_ret("dump", i % 3 == 0 ? CALL(DP_dumpInfo_File)(dump, size2) : CALL(DP_dumpInfo_File_RC)(dump, size2, dims));
        emit_file("dump.txt", dump, 0);
    } else {
        nb = blocks > 0 && blocks <= 64 ? blocks : 0;
        for (b = 0; b < nb; ++b) {
            const int32_t rows = dimw[b][0] > 0 && dimw[b][0] < 5000 ? dimw[b][0] : 0;
            const int32_t cols = dimw[b][1] >= 0 && dimw[b][1] < 1100 ? dimw[b][1] + 2 : 2;
            columns[b] = poisoned((size_t)cols * sizeof(DpDumpRecord *));
            for (k = 0; k < cols; ++k) columns[b][k] = output("records", (size_t)rows * sizeof(DpDumpRecord));
        }
        emit_ret("dump_array", CALL(DP_dumpInfo_array_RC)(nb > 0 ? columns : NULL));
    }
    remove(jpg);
}

/* ------------------------------------------------------------ grid shading table */

/* Grid size and cell spacing for a plane of half_w x half_h channel pixels:
 * mostly a valid spacing, sometimes one at or past the edge. */
static void grid_layout(int i, int32_t half_w, int32_t half_h, int32_t *nx, int32_t *ny, int32_t *cw, int32_t *ch) {
    *nx = rnd_int(2, half_w / 2 > 2 ? (half_w / 2 < 17 ? half_w / 2 : 17) : 2);
    *ny = rnd_int(2, half_h / 2 > 2 ? (half_h / 2 < 13 ? half_h / 2 : 13) : 2);
    *cw = *nx > 2 ? rnd_int(1, (half_w - 2) / (*nx - 2)) : rnd_int(1, half_w);
    *ch = *ny > 2 ? rnd_int(1, (half_h - 2) / (*ny - 2)) : rnd_int(1, half_h);
    if (*nx > 1 && one_in(3)) *cw = half_w / (*nx - 1) > 0 ? half_w / (*nx - 1) : 1;
    if (*ny > 1 && one_in(3)) *ch = half_h / (*ny - 1) > 0 ? half_h / (*ny - 1) : 1;
    if (i % 23 == 7) *nx = rnd_int(-1, 3), *cw = rnd_int(0, half_w);
    if (i % 29 == 11) *ny = rnd_int(-1, 3), *ch = rnd_int(0, half_h + 2);
    if (i % 31 == 13) *(one_in(2) ? cw : ch) = 0;
    if (i % 37 == 17) *nx = *nx > 3 ? *nx : 3, *cw = half_w; /* the last node past the edge */
}

/* Mostly gentle fall-offs; a constant term up to 2000 drives node gains
 * high enough that cubic coefficients clamp. */
static void random_poly(double *poly, double unit) {
    int k;
    poly[0] = one_in(4) ? unit : one_in(5) ? rnd_double(1.0, 2000.0) * unit : rnd_double(0.5, 1.5) * unit;
    for (k = 1; k < 6; ++k) poly[k] = one_in(2) ? 0.0 : rnd_double(-1.0, 1.0) * unit / (double)(1 << (4 * k));
    if (one_in(40)) poly[rnd_int(0, 5)] = 1e300 * unit;
}

/* A window up to the smaller half side, sometimes an out-of-range one. */
static int32_t grid_window(int32_t hw, int32_t hh) {
    const int32_t m = hw < hh ? hw : hh;
    return one_in(20) ? rnd_int(-1, hw + 2) : rnd_int(1, m > 1 ? m : 1);
}

static void case_shading_table(int i) {
    static const size_row sizes[] = {{1, 8, 1, 8, 2}, {8, 40, 8, 30, 2}, {40, 96, 30, 72, 2}, {2, 60, 2, 50, 1}, {160, 160, 120, 120, 1}};
    shading_table_config c;
    shading_table_result *res = output("result", sizeof *res);
    int32_t w, h, format, same_green;
    rnd_size(sizes, i % 5, &w, &h); /* odd sizes too */
    memset(&c, 0, sizeof c);
    c.table_kind = (uint32_t)(one_in(3) ? rnd_int(0, 1) : rnd_int(2, 5));
    c.bit_depth = one_in(2) ? 10u : (uint32_t)rnd_int(8, 12);
    c.reserved = rnd_u32();
    c.raw = flat_field(w, h, c.bit_depth == 10 ? 1023 : 255, c.bit_depth == 10, rnd_int(0, 20), 1);
    c.raw = OPT(0, c.raw);
    c.width = w, c.height = h;
    c.left = one_in(30) ? w + rnd_int(2, 9) : rnd_int(-4, w / 3), c.top = rnd_int(-4, h / 3);
    c.right = rnd_int(w / 2, w + 4), c.bottom = rnd_int(h / 2, h + 4);
    grid_layout(i, w / 2, h / 2, &c.nx, &c.ny, &c.cell_width, &c.cell_height);
    c.window = grid_window(w / 2, h / 2);
    c.gain_scale = (uint32_t)rnd_int(0, 64);
    c.find_brightest = (uint8_t)(one_in(4) ? 0 : rnd_int(1, 255));
    c.unity_scale = (uint8_t)rnd_int(0, 1);
    c.centre_offset_x = (uint32_t)(one_in(3) ? 0 : rnd_int(0, 20)), c.centre_offset_y = (uint32_t)(one_in(3) ? 0 : rnd_int(0, 20));
    c.max_gain_x10 = one_in(5) ? rnd_int(-5, 12) : one_in(4) ? rnd_int(100, 100000) : rnd_int(10, 80);
    random_poly(c.poly, 1e6);
    format = one_in(25) ? rnd_int(-1, 3) : rnd_int(0, 1);
    same_green = one_in(2) ? 0 : rnd_int(1, 9);
    emit_ret("ret", CALL(ShadingCalibrateEx)(OPT(1, &c), OPT(2, res), format, same_green));
}

static void case_shading_process(int i) {
    static const size_row halves[] = {{0, 6, 0, 6, 1}, {4, 24, 4, 20, 1}, {24, 80, 20, 60, 1}, {80, 80, 60, 60, 1}};
    shading_table_state *s = output("state", sizeof *s);
    const uint8_t *planes[4];
    uint16_t *coefs[4];
    int32_t hw, hh;
    size_t n, cells, k;
    int c;
    rnd_size(halves, i % 4, &hw, &hh);
    memset(s, 0, sizeof *s);
    s->width = 2 * hw, s->height = 2 * hh;
    s->half_width = hw, s->half_height = hh;
    s->bit_depth = 8;
    s->left = rnd_int(-4, hw / 2), s->top = rnd_int(-4, hh / 2);
    s->right = rnd_int(hw, 2 * hw + 4), s->bottom = rnd_int(hh, 2 * hh + 4);
    grid_layout(i, hw, hh, &s->nx, &s->ny, &s->cell_width, &s->cell_height);
    s->last_cell_width = s->last_cell_height = -99;
    s->window = grid_window(hw, hh);
    for (c = 0; c < 4; ++c) {
        s->scale[c] = rnd_float(0.5, 2.0);
        s->fixed[0][c] = c < 3 ? 128u : 32u;
        s->fixed[1][c] = s->fixed[2][c] = c < 3 ? 0u : 32u;
    }
    s->find_brightest = one_in(4) ? 0u : 1u;
    s->max_gain_x10 = one_in(4) ? rnd_int(100, 100000) : rnd_int(10, 60);
    s->centre_x = rnd_double(0, hw), s->centre_y = rnd_double(0, hh);
    random_poly(s->poly, 1.0);
    n = (size_t)hw * (size_t)hh;
    cells = s->nx > 1 && s->ny > 1 ? 12 * (size_t)(s->nx - 1) * (size_t)(s->ny - 1) : 12;
    for (c = 0; c < 4; ++c) {
        const int level = rnd_int(0, 255), noise = rnd_int(0, 40);
        uint8_t *plane = poisoned(n);
        for (k = 0; k < n; ++k) plane[k] = clamp_byte(level - (int)(k % (size_t)(hw > 0 ? hw : 1)) / 4 + rnd_int(-noise, noise));
        planes[c] = plane;
        coefs[c] = output("coefficients", cells * 2);
    }
    if (one_in(60)) planes[rnd_int(0, 3)] = NULL;
    if (one_in(60)) coefs[rnd_int(0, 3)] = NULL;
    emit_ret("ret", CALL(Shading_Calibration_Process)(OPT(0, s), OPT(1, planes), OPT(2, coefs)));
}

/* ------------------------------------------------------------ sensor response */

static void case_sensor_fit(int i) {
    enum { MAXN = 40 };
    static const char *const names[6] = {"gains", "offsets", "slopes", "intercepts", "ratio", "linear_limit"};
    int32_t exposure[MAXN];
    double resp[4][MAXN];
    void *o[6];
    sc_input in;
    const int32_t count = i % 13 == 0 ? rnd_int(-1, 6) : rnd_int(5, MAXN), reserved = (int32_t)rnd_u32();
    const double sat = one_in(2) ? 1023.0 : 255.0;
    int c, k;
    for (k = 0; k < 6; ++k) o[k] = output(names[k], k == 1 ? 16 : 32);
    memset(&in, 0, sizeof in);
    in.bit_mode = (uint8_t)(sat == 1023.0 ? 1 : (one_in(4) ? rnd_int(2, 255) : 0));
    in.count = count, in.reserved = rnd_u32();
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
        in.black[c] = one_in(20) ? rnd_u32() : (uint32_t)rnd_int(0, 64);
    }
    in.exposure = OPT(7, exposure);
    if (null_arg == 8) in.response[rnd_int(0, 3)] = NULL;
    emit_ret("ret", CALL(SC_SlopeOffset_Calibration)(reserved, OPT(0, &in), OPT(1, (double *)o[0]), OPT(2, (uint32_t *)o[1]),
                                                     OPT(3, (double *)o[2]), OPT(4, (double *)o[3]),
                                                     OPT(5, (double *)o[4]), OPT(6, (double *)o[5])));
    emit_file("sensorcurve.csv", path_of(inspect_dir, "sensorcurve.csv"), 0);
}

static void case_sensor_lv(int i) {
    static const double odd[] = {1e300, -1e300, 0.0};
    sc_lv *lv = output("lv", sizeof *lv);
    lv->scale = (uint8_t)(i % 17 == 0 ? 0 : one_in(3) ? 1 : rnd_int(1, 255));
    /* Whole, fractional, wide, eighths just off, and huge, zero or NaN values. */
    lv->base_log2 = i % 4 == 0 ? rnd_int(-8, 20) : i % 4 == 1 ? rnd_double(-4, 16) : i % 4 == 2 ? rnd_double(-40, 40)
                  : (double)rnd_int(-16, 16) / 8.0 + (one_in(2) ? 0.0 : 1.0 / 1024.0);
    if (i % 25 == 5) lv->base_log2 = (i / 25) % 4 == 3 ? odd[2] / odd[2] : odd[(i / 25) % 4];
    emit_ret("ret", CALL(SC_LV_Calculation)(OPT(0, lv)));
}

/* ------------------------------------------------------------ PCA tables */

/* Sixteen points from small, tiny, wide and full-range squares. */
static void case_pca_atan2(int i) {
    static const int32_t spans[4] = {128, 4, 70000, INT32_MAX};
    int k;
    for (k = 0; k < 16; ++k) {
        const int32_t s = spans[(i + k) % 4], y = rnd_int(-s - 1, s), x = rnd_int(-s - 1, s);
        emit_i32("angle", CALL(atan2_hw_360)(y, x));
    }
    emit_last_error();
}

static void random_pca_arrays(int32_t *hue, int32_t *sat, int32_t *luma, int n) {
    const int32_t range = one_in(10) ? 0x7fffffff : rnd_int(1, 128);
    int k;
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
        const int32_t offset = one_in(30) ? rnd_int(-5, 400) : rnd_int(0, 359);
        const int32_t threshold = one_in(10) ? rnd_int(-300, 300) : rnd_int(0, 64);
        uint32_t yuv[3];
        int c;
        for (c = 0; c < 3; ++c) yuv[c] = (uint32_t)rnd_int(0, 0xffff);
        for (c = 0; c < 3; ++c) /* wide values: y when i % 11 == 4, u and v when i % 7 == 3 */
            if (c == 0 ? i % 11 == 4 : i % 7 == 3) yuv[c] = rnd_u32(), yuv[c] >>= rnd_int(0, 16);
        draw_null();
        emit_i32("ret", CALL(pca_core)(OPT(0, &yuv[0]), &yuv[1], &yuv[2], offset, threshold, i % 2, hue, sat, luma));
        emit_bytes("yuv", yuv, sizeof yuv);
    }
    emit_last_error();
}

/* Even cases: a table generated from patch pairs; odd: a table tuned
 * towards a target colour. */
static void case_pca_tables(int i) {
    int32_t patches[150], *table = output("table", MORVIK_PCA_TABLE_WORDS * 4), *report;
    const int j = i / 2;
    pca_gen_settings s;
    pca_tuning_request r;
    int k;
    if (i % 2 == 0) {
        for (k = 0; k < 75; ++k) patches[k] = rnd_int(0, 255);
        for (k = 75; k < 150; ++k) patches[k] = j % 5 == 0 ? patches[k - 75] : clamp_byte(patches[k - 75] + rnd_int(-60, 60));
        if (j % 9 == 2) k = rnd_int(0, 149), patches[k] = rnd_int(256, 1000);
        memset(&s, 0, sizeof s);
        s.skip_limiter = (uint8_t)(one_in(3) ? rnd_int(1, 255) : 0);
        s.chroma_threshold = rnd_int(0, 40);
        s.hue_limit = one_in(10) ? rnd_double(0, 0.5) : rnd_double(0.5, 20), s.sat_limit = one_in(10) ? rnd_double(0, 0.5) : rnd_double(0.5, 20);
        s.luma_limit = rnd_double(0, 20);
        s.patch_count = j % 19 == 0 ? rnd_int(0, 25) : 18;
        emit_ret("ret", CALL(AutoGenTable)(OPT(0, patches), OPT(1, table), OPT(2, &s)));
        return;
    }
    report = output("report", 10 * 4);
    random_pca_arrays(table, table + 180, table + 360, 180);
    if (j % 3 == 0) memset(table, 0, MORVIK_PCA_TABLE_WORDS * 4);
    memset(&r, 0, sizeof r);
    for (k = 0; k < 3; ++k) {
        r.source[k] = rnd_int(0, 255);
        r.target[k] = j % 13 == 1 ? r.source[k] : clamp_byte(r.source[k] + rnd_int(-80, 80));
    }
    if (j % 17 == 3) r.source[0] = r.source[1] = r.source[2];
    r.range_below = one_in(10) ? rnd_int(-400, 400) : rnd_int(0, 60), r.range_above = one_in(10) ? rnd_int(-400, 400) : rnd_int(0, 60);
    r.hue_limit = j % 41 == 6 ? 1e300 : one_in(20) ? rnd_double(-2, 0.5) : rnd_double(0.5, 12);
    r.sat_limit = one_in(20) ? rnd_double(-2, 0.5) : rnd_double(0.5, 12);
    r.max_steps = one_in(4) ? rnd_int(0, 10) : rnd_int(10, 400);
    r.strength = j % 7 == 0 ? 1.0f : rnd_float(0.0, 1.0);
    emit_ret("ret", CALL(AdvTuning)(OPT(0, &r), OPT(1, table), OPT(2, report)));
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
    if (i % 7 == 3) k = rnd_int(0, 19), a[k] = (uint32_t)rnd_int(0, 255);
    if (i % 23 == 5) k = rnd_int(0, 19), a[k] = rnd_u32();
}

/* Tone curves that are the identity, clamped or wrapping rises, or noise;
 * every tenth case updates in place (the output block over the input). */
static void case_gamma_update(int i) {
    GammaUpdateInput *in = poisoned(sizeof *in);
    uint32_t a[MORVIK_GAMMA_ANCHORS];
    int k, t;
    random_anchors(a, i);
    for (k = 0; k < MORVIK_GAMMA_ANCHORS; ++k) in->anchors[k] = (uint8_t)a[k];
    for (t = 0; t < 4; ++t) {
        uint32_t v = (uint32_t)rnd_int(0, 8);
        const int step = rnd_int(0, 4), mode = rnd_int(0, 3);
        for (k = 0; k < 1024; ++k) {
            v = mode == 0 ? (uint32_t)k : mode == 3 ? (uint32_t)rnd_int(0, 1100) : v + (uint32_t)rnd_int(0, step);
            in->tone[t][k] = (uint16_t)(mode == 1 && v > 1023 ? 1023 : v);
        }
    }
    if (i % 10 == 9) {
        CALL(aeZetDllUpateGammaTable)(in, (GammaUpdateOutput *)(void *)in);
        emit_bytes("output_in_place", in, sizeof(GammaUpdateOutput));
    } else {
        CALL(aeZetDllUpateGammaTable)(OPT(0, in), OPT(1, (GammaUpdateOutput *)output("output", sizeof(GammaUpdateOutput))));
    }
    emit_last_error();
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

/* A gamma text file: the library's own (from GMA_convert_KT1_to_KT2), or
 * written here with comments, CR LF line ends, long lines, case mixes,
 * junk, too few or too many words. */
static void write_gamma_file(int i, const char *path) {
    FILE *f;
    const int words = one_in(5) ? rnd_int(0, 200) : 144, crlf = one_in(3);
    int k, j;
    uint32_t v = 0;
    if (i % 4 == 0) {
        uint32_t a[MORVIK_GAMMA_ANCHORS], base[MORVIK_GAMMA_KT2_BASES], packed[MORVIK_GAMMA_KT2_ENTRIES];
        random_anchors(a, i);
        CALL(GMA_convert_KT1_to_KT2)(a, base, packed, path);
        return;
    }
    if ((f = fopen(path, "wb")) == NULL) fail("cannot write", path);
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
    fclose(f);
}

/* Three kinds of case: KT1 anchors to a KT2 table and its text file (or a
 * path in a missing folder, or none); a KT2 table to anchors; a KT2 text
 * file (or a folder, a missing file, no path) to anchors and table, with
 * packed words in the output buffer beforehand at times. */
static void case_gamma_convert(int i) {
    uint32_t a[MORVIK_GAMMA_ANCHORS], packed_in[MORVIK_GAMMA_KT2_ENTRIES];
    uint32_t *anchors = output("anchors", MORVIK_GAMMA_ANCHORS * 4), *base = output("base", MORVIK_GAMMA_KT2_BASES * 4),
             *packed = output("packed", MORVIK_GAMMA_KT2_ENTRIES * 4);
    const char *path = path_of(work_dir, "gamma.txt"), *dir = path_of(work_dir, "no_such_dir/gamma.txt");
    const int j = i / 3;
    int k;
    switch (i % 3) {
    case 0:
        random_anchors(a, j);
        emit_ret("ret", CALL(GMA_convert_KT1_to_KT2)(OPT(0, a), OPT(1, base), OPT(2, packed), j % 31 == 7 ? NULL : j % 31 == 8 ? dir : path));
        emit_file("gamma.txt", path, 0);
        break;
    case 1:
        random_kt2(packed_in, &base[144], j);
        emit_ret("ret", CALL(GMA_convert_KT2_to_KT1)(OPT(0, packed_in), OPT(1, anchors), OPT(2, base)));
        break;
    default:
        write_gamma_file(j, path);
        for (k = 0; k < MORVIK_GAMMA_KT2_ENTRIES && j % 2; ++k) packed[k] = (uint32_t)k * 7u;
        emit_ret("ret", CALL(GMA_convert_KT2_to_KT1_file)(j % 37 == 9 ? work_dir : j % 37 == 10 ? "no_such_gamma_file.txt" : j % 37 == 11 ? NULL : path,
                                                          OPT(0, anchors), OPT(1, packed), OPT(2, base)));
        remove(path);
    }
}

/* ------------------------------------------------------------ register and level conversions */

/* A register block of random words (a third of them zero). */
static uint32_t *reg_block(int words) {
    uint32_t *r = poisoned((size_t)words * 4);
    int k;
    for (k = 0; k < words; ++k) r[k] = one_in(3) ? 0u : rnd_u32();
    return r;
}

/* The block a SET wrote, emitted, then for the GET left as is, with one
 * bit flipped, or (replace) a random block: exact, near and far blocks. */
static uint32_t *for_get(uint32_t *r, int words, int replace) {
    emit_bytes("reg", r, (size_t)words * 4);
    draw_null();
    if (replace) return reg_block(words);
    if (one_in(3)) {
        const int at = rnd_int(0, words - 1);
        r[at] ^= 1u << rnd_int(0, 31);
    }
    return r;
}

static int32_t level_in(int32_t lo, int32_t hi) {
    return one_in(12) ? (one_in(2) ? rnd_int(-40, lo) : (int32_t)rnd_u32()) : rnd_int(lo, hi + hi / 4 + 1);
}

/* The SET/GET pairs of one level each: block words and level range. The
 * `typed` member makes the compiler check both exports' types. */
typedef int32_t (*set_fn)(uint32_t *, int32_t);
typedef int32_t (*get_fn)(const uint32_t *, int32_t *);
#define LEVEL_PAIR(set, get, words, lo, hi) \
    {#set, #get, words, lo, hi, sizeof((set_fn)0 == (__typeof__(&set))0) + sizeof((get_fn)0 == (__typeof__(&get))0)}
static const struct {
    const char *set, *get;
    int words;
    int32_t lo, hi;
    size_t typed;
} level_pairs[] = {
    LEVEL_PAIR(ISP_KT2_NR3D_SET_STRENGTH_REG, ISP_KT2_NR3D_STRENGTH_GET_LEL, 15, 0, 31),
    LEVEL_PAIR(ISP_KT2_NR3D_SET_YNOISE_REG, ISP_KT2_NR3D_YNOISE_GET_LEL, 15, 0, 31),
    LEVEL_PAIR(ISP_KT2_NR3D_SET_UNOISE_REG, ISP_KT2_NR3D_UNOISE_GET_LEL, 15, 0, 31),
    LEVEL_PAIR(ISP_KT2_NR3D_SET_VNOISE_REG, ISP_KT2_NR3D_VNOISE_GET_LEL, 15, 0, 31),
    LEVEL_PAIR(ISP_KT2_MFLL_SET_MIXER_REG, ISP_KT2_MFLL_MIXER_GET_LEL, 1, 0, 255),
    LEVEL_PAIR(ISP_KT2_MFLL_SET_MFB_TH_REG, ISP_KT2_MFLL_MFB_TH_GET_LEL, 1, 0, 255),
    LEVEL_PAIR(ISP_KT2_ANR_SET_Y_STRENGTH_REG, ISP_KT2_ANR_Y_STR_GET_LEL, 18, 0, 127),
    LEVEL_PAIR(ISP_KT2_ANR_SET_C_STRENGTH_REG, ISP_KT2_ANR_C_STR_GET_LEL, 18, 0, 127),
    LEVEL_PAIR(ISP_KT2_ANR_SET_C_NOISE_REG, ISP_KT2_ANR_C_NOISE_GET_LEL, 18, 0, 64),
    LEVEL_PAIR(ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG, ISP_KT2_CHROMA_REDUCT_GET_LEL, 4, 0, 64),
};

/* Pair i % 12 below 10: a SET, its GET on the result, and the GET on a
 * random block; 10: the Y noise SET with its companion level; 11: the
 * saturation SET and GET with a table index, on blocks of signed bytes at
 * times. */
static void case_levels(int i) {
    const int p = i % 12, j = i / 12, words = p < 10 ? level_pairs[p].words : p == 10 ? 18 : 545;
    uint32_t *r = reg_block(words);
    const int32_t level = p < 10 ? level_in(level_pairs[p].lo, level_pairs[p].hi) : p == 10 ? level_in(0, 24) : level_in(-128, 127);
    const int32_t companion = one_in(10) ? (int32_t)rnd_u32() : rnd_int(-2, 12);
    const int32_t table = j % 10 == 9 ? rnd_int(-2, 5) : rnd_int(0, 2), get_table = one_in(10) ? rnd_int(-3, 5) : table;
    int32_t changed = -7, k;
    emit_i32("level", level);
    if (p == 11) {
        for (k = 0; k < 3 && j % 3 == 0; ++k) r[k] = (uint32_t)rnd_int(-128, 127);
        for (k = 5; k < 545 && j % 3 == 0; ++k) r[k] = (r[k] & 0xffff00ffu) | (uint32_t)(uint8_t)rnd_int(-127, 127) << 8;
        emit_ret("set", CALL(ISP_KT2_ANR_SET_SATURATION_REG)(OPT(0, r), level, table));
        r = for_get(r, words, 0);
        emit_ret("get", CALL(ISP_KT2_PCA_SAT_GET_LEL)(OPT(0, r), get_table));
        return;
    }
    if (p == 10) {
        if (one_in(2)) r[0] &= ~(1u << 12);
        emit_ret("set", CALL(ISP_KT2_ANR_SET_Y_NOISE_REG)(OPT(0, r), level, companion));
        r = for_get(r, words, 0);
        emit_ret("get", CALL(ISP_KT2_ANR_Y_NOISE_GET_LEL)(OPT(0, r), OPT(1, &changed)));
        emit_i32("changed", changed);
        return;
    }
    emit_ret("set", ((set_fn)export_named(level_pairs[p].set))(OPT(0, r), level));
    r = for_get(r, words, 0);
    emit_ret("get", ((get_fn)export_named(level_pairs[p].get))(OPT(0, r), OPT(1, &changed)));
    emit_i32("changed", changed);
    changed = -7;
    emit_ret("get_random", ((get_fn)export_named(level_pairs[p].get))(reg_block(words), &changed));
    emit_i32("changed", changed);
}

/* Even cases: the demosaic sliders, odd: the edge-enhancement ones. */
static void case_kt2_sliders(int i) {
    const int ee = i % 2, words = ee ? 16 : 21;
    uint32_t *r = reg_block(words);
    const int32_t s1 = ee ? level_in(0, 150) : i % 9 == 0 ? rnd_int(-3, 20) : rnd_int(0, 15);
    const int32_t s2 = ee ? level_in(0, 7) : one_in(8) ? rnd_int(-10, 10) : rnd_int(-3, 3), s3 = level_in(0, 1023);
    int32_t o[4] = {-7, -7, -7, -7}; /* sliders 1 to 3, modified */
    emit_ret("set", ee ? CALL(ISP_KT2_EE_ALLSLIDER_REG)(OPT(0, r), s1, s2, s3) : CALL(ISP_KT2_DM_ALLSLIDER_REG)(OPT(0, r), s1, s2));
    r = for_get(r, words, i % 10 >= 8);
    emit_ret("get", ee ? CALL(ISP_KT2_EE_REG_ALLSLIDER)(OPT(0, r), &o[0], &o[1], OPT(1, &o[2]), &o[3])
                       : CALL(ISP_KT2_DM_REG_ALLSLIDER)(OPT(0, r), &o[0], OPT(1, &o[1]), &o[3]));
    emit_bytes("sliders", o, sizeof o);
}

/* ------------------------------------------------------------ table */

static const struct {
    const char *family;
    int cases;
    void (*run)(int);
} table[] = {
    {"catalogue and library frame", 300, case_catalogue},
    {"defect and unbalance verification", 800, case_verify},
    {"white-balance calibration", 400, case_awb_calibration},
    {"white-balance windows", 900, case_awb_windows},
    {"white-balance filter", 400, case_awb_filter},
    {"colour error, correction and difference", 1600, case_colour},
    {"multi-illuminant matrix", 400, case_multiccm},
    {"lens shading", 300, case_lsc},
    {"debug-information dump", 900, case_dump},
    {"grid shading table", 300, case_shading_table},
    {"grid shading spline stage", 300, case_shading_process},
    {"sensor slope and offset", 400, case_sensor_fit},
    {"sensor light values", 300, case_sensor_lv},
    {"PCA hue angle", 300, case_pca_atan2},
    {"PCA block", 300, case_pca_core},
    {"PCA table generation and tuning", 700, case_pca_tables},
    {"gamma update", 300, case_gamma_update},
    {"gamma KT1 and KT2 conversions", 1050, case_gamma_convert},
    {"demosaic and edge-enhancement sliders", 800, case_kt2_sliders},
    {"level registers", 4200, case_levels},
};

int main(int argc, char **argv) {
    const char *path;
    size_t t;
    int i;
    if (argc != 5) {
        fprintf(stderr, "usage: harness LIBRARY EXAMPLES_DIR WORK_DIR TRANSCRIPT\n");
        return 2;
    }
    work_dir = argv[3];
    strcpy(host_dir, path_of(work_dir, "host"));
    strcpy(inspect_dir, path_of(work_dir, "inspect"));
    if ((out = fopen(argv[4], "wb")) == NULL) fail("cannot write", argv[4]);
#ifdef _WIN32
    library = (void *)LoadLibraryA(argv[1]);
#else
    library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
#endif
    if (library == NULL) fail("cannot load", argv[1]);
    path = path_of(argv[2], "lsc/flat_320x240_gr.raw");
    if ((example_raw = read_whole(path, &example_raw_size)) == NULL) fail("cannot open", path);
    path = path_of(argv[2], "debuginfo/example.jpg");
    if ((example_jpg = read_whole(path, &example_jpg_size)) == NULL) fail("cannot open", path);

    CALL(morvik_set_log_sink)(log_sink, NULL);
    for (t = 0; t < sizeof table / sizeof table[0]; ++t) {
        fprintf(out, "== %s\n", table[t].family);
        for (i = 0; i < table[t].cases; ++i) {
            fprintf(out, "-- case %d\n", i);
            draw_null();
            table[t].run(i);
            end_case();
        }
    }
    fputs("== calls per export\n", out);
    for (i = 0; i < n_counts; ++i) {
        fprintf(out, "%s %ld\n", counts[i].name, counts[i].calls);
        fprintf(stderr, "%-36s %ld\n", counts[i].name, counts[i].calls);
    }
    fclose(out);
    return 0;
}
