// Equivalence dump: runs LSC_Calculate, Defect_Verify, Unbalance_Verify and
// AWB_Filter on seeded random cases (sizes, Bayer orders, both gamma
// variants, y_only, failures) and prints every result record and every log
// line ("Time lapsed" without its figure). Build it against two builds of
// the library and compare the dumps to show a change keeps results exact:
//
//   g++ -std=c++20 -O2 -Iinclude -Isrc tools/equiv/morvik_equiv.cpp \
//       build/release/libmorvik.a -lpthread -o equiv
//   ./equiv lsc 700 > lsc.txt; ./equiv verify 600 > verify.txt; ./equiv awb 600 > awb.txt
//   ./equiv verify_ext 0 > verify_ext.txt
//
// Set MORVIK_THREADS to compare runs on several threads.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>
#include "morvik/morvik.h"
#include "shading/synthetic.h"

static std::vector<std::string> g_log;
static void sink(const char* s, void*) { g_log.emplace_back(s); }
static unsigned long long fnv(const void* p, size_t n, unsigned long long h = 1469598103934665603ull) {
    auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) { h ^= b[i]; h *= 1099511628211ull; }
    return h;
}
static void dump_log(FILE* f) {
    for (auto& l : g_log) {
        if (l.rfind("Time lapsed", 0) == 0) { fprintf(f, "L:Time lapsed\n"); continue; }
        fprintf(f, "L:%s%s", l.c_str(), (!l.empty() && l.back() == '\n') ? "" : "<nonl>\n");
    }
    g_log.clear();
}

int main(int argc, char** argv) {
    const char* what = argc > 1 ? argv[1] : "lsc";
    int count = argc > 2 ? atoi(argv[2]) : 600;
    morvik_set_log_sink(sink, nullptr);
    std::mt19937 rng(20261206);
    std::uniform_real_distribution<double> u(0, 1);
    FILE* f = stdout;
    if (!strcmp(what, "lsc")) {
        int ok = 0, fail = 0;
        for (int i = 0; i < count; ++i) {
            int kind = rng() % 10;
            int w, h;
            if (kind < 6) { w = 8 + rng() % 1400; h = 8 + rng() % 1100; }
            else if (kind < 8) { w = 1 + rng() % 90; h = 1 + rng() % 90; }
            else if (kind == 8) { w = 1000 + rng() % 3500; h = 600 + rng() % 2600; }
            else { w = 2000 + rng() % 3000; h = 16 + rng() % 400; if (rng() % 2) std::swap(w, h); }
            int bayer = rng() % 4;
            if (rng() % 40 == 0) bayer = 4 + rng() % 300;
            std::vector<std::uint8_t> raw;
            if (kind < 6 || kind >= 8) {
                morvik::shading::FlatField ff;
                ff.width = w; ff.height = h; ff.bayer_order = bayer & 3;
                const double span = (rng() % 4 == 0) ? 0.96 : 0.6;
                ff.centre_x = w * (0.5 - span / 2 + span * u(rng)); ff.centre_y = h * (0.5 - span / 2 + span * u(rng));
                const bool weak = rng() % 3 == 0;
                for (int c = 0; c < 4; ++c) {
                    ff.peak[c] = 60 + 195 * u(rng);
                    ff.falloff[c] = weak ? 0.08 * u(rng) * u(rng) : 0.05 + 0.9 * u(rng);
                }
                ff.noise = (rng() % 3) * 4 * u(rng);
                raw = morvik::shading::make_flat_field(ff);
                if (rng() % 8 == 0) for (auto& s : raw) if (rng() % 7 == 0) s = rng();
            } else {
                raw.resize(size_t(w) * h);
                int sub = rng() % 3;
                for (int y = 0; y < h; ++y) for (int x = 0; x < w; ++x) {
                    double dx = x - w / 2.0, dy = y - h / 2.0;
                    int v = sub == 0 ? int(rng() % 256) : int(220 - 0.1 * (dx * dx + dy * dy)) + (sub == 2 ? int(rng() % 30) : 0);
                    raw[size_t(y) * w + x] = std::uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
                }
            }
            lsc_params p{float(0.6 + 1.6 * u(rng)), float(0.2 * u(rng)), float(0.3 * u(rng)), float(0.5 + 0.5 * u(rng)),
                         std::uint8_t(rng() % 3)};
            std::uint32_t chip = rng();
            if (rng() % 2) chip = (MORVIK_LSC_CHIP_KT3 << 16) | (chip & 0xFFFF);
            lsc_result r; memset(&r, 0xA5, sizeof r);
            const std::uint8_t* rp = (rng() % 50 == 0) ? nullptr : raw.data();
            int rc = LSC_Calculate(chip, bayer, rp, w, h, &p, &r);
            (rc == 0 ? ok : fail)++;
            fprintf(f, "CASE %d w=%d h=%d bayer=%d chip=%08X rc=%d err=%s\nR:", i, w, h, bayer, chip, rc, morvik_last_error());
            const std::uint32_t* wds = reinterpret_cast<const std::uint32_t*>(&r);
            for (int k = 0; k < 41; ++k) fprintf(f, " %u", wds[k]);
            fprintf(f, "\n");
            dump_log(f);
        }
        fprintf(stderr, "lsc: %d cases, %d succeeded, %d failed\n", count, ok, fail);
    } else if (!strcmp(what, "verify")) {
        for (int i = 0; i < count; ++i) {
            int w = 1 + rng() % 300, h = 1 + rng() % 200;
            if (rng() % 10 == 0) { w = 500 + rng() % 1500; h = 400 + rng() % 1000; }
            int format = rng() % 12 == 0 ? int(rng() % 5) : 1 + int(rng() % 2);
            size_t stride = 3 * size_t(w) + (4 - (3 * (w % 4)) % 4) % 4;
            std::vector<std::uint8_t> img(stride * h);
            int base = 40 + rng() % 180; double nz = 1 + 20 * u(rng);
            std::normal_distribution<double> nd(0, nz);
            int dens = 20 + rng() % 2000;
            for (auto& s : img) { double v = base + nd(rng); if (rng() % dens == 0) v = rng() % 256; s = std::uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }
            if (rng() % 10 == 0) for (auto& s : img) s = rng();
            int bayer = rng() % 6, thr = rng() % 300;
            DefectVerifyResult d; memset(&d, 0x5A, sizeof d);
            int rc = Defect_Verify(img.data(), format, bayer, w, h, thr, &d);
            fprintf(f, "DEF %d w=%d h=%d fmt=%d rc=%d %016llx\n", i, w, h, format, rc, fnv(&d, sizeof d));
            fprintf(f, "  %u %u %u %u\n", d.WBP, d.DBP, d.GCHECKTHD, d.RBCHECKTHD);
            dump_log(f);
            UnbalanceVerifyResult ub; memset(&ub, 0x5A, sizeof ub);
            rc = Unbalance_Verify(img.data(), format, bayer, w, h, &ub);
            fprintf(f, "UNB %d rc=%d %016llx\n", i, rc, fnv(&ub, sizeof ub));
            dump_log(f);
        }
        fprintf(stderr, "verify: %d cases x 2 exports\n", count);
    } else if (!strcmp(what, "verify_ext")) {
        // Larger and extreme verification cases: camera-sized frames, odd
        // sizes, few-level images whose band edges fall on integers, 0/255
        // saturation, thresholds 0 and 255, and frames large enough for the
        // 32-bit sums of the unbalance statistics to wrap. `count` picks the
        // first cases of the list (0: all).
        struct Case { int w, h, kind, a, b, format, bayer, thr; };
        std::vector<Case> cases = {
            {4000, 3000, 0, 110, 3, 1, 1, 20}, {4000, 3000, 0, 110, 3, 2, 1, 20},
            {4001, 2999, 0, 90, 6, 1, 0, 7},   {4001, 2999, 0, 90, 6, 2, 0, 7},
            {1283, 967, 1, 100, 2, 1, 2, 0},   {1283, 967, 1, 100, 2, 2, 3, 0},
            {1282, 966, 1, 37, 1, 1, 3, 1},    {1282, 966, 1, 37, 1, 2, 3, 1},
            {998, 1001, 2, 250, 10, 1, 1, 3},  {998, 1001, 2, 250, 10, 2, 1, 3},
            {997, 403, 2, 4, 10, 1, 2, 2},     {997, 403, 2, 4, 10, 2, 2, 2},
            {640, 480, 3, 0, 0, 1, 0, 0},      {640, 480, 3, 255, 0, 2, 0, 0},
            {641, 481, 3, 255, 0, 1, 1, 255},  {641, 481, 3, 0, 0, 2, 1, 255},
            {1025, 769, 4, 0, 0, 1, 0, 30},    {1025, 769, 4, 0, 0, 2, 0, 30},
            {1024, 770, 4, 0, 0, 1, 1, 0},     {1024, 770, 4, 0, 0, 2, 1, 0},
            {515, 517, 5, 0, 255, 1, 2, 100},  {515, 517, 5, 0, 255, 2, 2, 100},
            {516, 518, 5, 10, 12, 1, 3, 1},    {516, 518, 5, 10, 12, 2, 3, 1},
            {2003, 1501, 6, 60, 4, 1, 1, 5},   {2003, 1501, 6, 60, 4, 2, 1, 5},
            {20001, 7, 0, 120, 5, 1, 1, 9},    {20001, 7, 0, 120, 5, 2, 1, 9},
            {6, 20001, 0, 120, 5, 1, 2, 9},    {5, 20001, 0, 120, 5, 2, 2, 9},
            {7, 9, 1, 128, 1, 1, 1, 0},        {7, 9, 1, 128, 1, 2, 1, 0},
            {999, 777, 7, 0, 0, 1, 0, 2},      {999, 777, 7, 0, 0, 2, 0, 2},
            {1300, 1000, 8, 50, 3, 1, 1, 4},   {1300, 1000, 8, 50, 3, 2, 1, 4},
            {4200, 4100, 3, 255, 0, 2, 1, 20}, {6000, 5700, 9, 0, 0, 2, 1, 20},
            {8300, 8300, 10, 0, 0, 1, 1, 20},  {8300, 8300, 10, 0, 0, 1, 0, 20},
        };
        if (count > 0 && size_t(count) < cases.size()) cases.resize(size_t(count));
        int i = 0;
        for (const Case& c : cases) {
            const int w = c.w, h = c.h;
            const size_t stride = 3 * size_t(w) + (4 - (3 * (w % 4)) % 4) % 4;
            std::vector<std::uint8_t> img(stride * h);
            std::normal_distribution<double> nd(0, c.b > 0 ? c.b : 1);
            auto clip = [](double v) { return std::uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
            for (int y = 0; y < h; ++y)
                for (size_t o = 0; o < stride; ++o) {
                    const int x = int(o / 3), byte = int(o % 3);
                    double v = 0;
                    switch (c.kind) {
                        case 0: v = c.a + 20 * byte + nd(rng); if (rng() % 5000 == 0) v = rng() % 2 ? 250 : 5; break;
                        case 1: v = c.a + c.b * int(rng() % 3); break;                 // three close levels
                        case 2: v = c.a + nd(rng); break;                              // clipped at 0 or 255
                        case 3: v = c.a; break;                                        // uniform
                        case 4: v = rng() % 256; break;                                // full-range noise
                        case 5: v = ((x + y) & 1) ? c.b : c.a; if (rng() % 97 == 0) v = rng() % 256; break;
                        case 6: v = c.a + 0.05 * x + 0.07 * y + nd(rng); break;        // ramp
                        case 7: v = (rng() % 2) ? 255 : 0; break;                      // salt and pepper
                        case 8: v = c.a + c.b * int(rng() % 2); if (rng() % 300 == 0) v = rng() % 256; break;
                        case 9: v = (y & 1) ? 255 : 0; break;                          // stripes: green pairs wrap
                        case 10: v = 255 - (y & 1) * (rng() % 4); break;               // raw sums wrap
                    }
                    img[size_t(y) * stride + o] = o < 3 * size_t(w) ? clip(v) : std::uint8_t(rng());
                }
            DefectVerifyResult d; memset(&d, 0x5A, sizeof d);
            int rc = Defect_Verify(img.data(), c.format, c.bayer, w, h, c.thr, &d);
            fprintf(f, "DEF %d w=%d h=%d fmt=%d kind=%d thr=%d rc=%d %016llx\n", i, w, h, c.format, c.kind, c.thr, rc,
                    fnv(&d, sizeof d));
            fprintf(f, "  %u %u %u %u", d.WBP, d.DBP, d.GCHECKTHD, d.RBCHECKTHD);
            for (int k = 0; k < 4; ++k) fprintf(f, " %a %a", d.mean[k], d.std[k]);
            fprintf(f, "\n");
            dump_log(f);
            UnbalanceVerifyResult ub; memset(&ub, 0x5A, sizeof ub);
            rc = Unbalance_Verify(img.data(), c.format, c.bayer, w, h, &ub);
            fprintf(f, "UNB %d rc=%d %016llx\n ", i, rc, fnv(&ub, sizeof ub));
            const double* ud = reinterpret_cast<const double*>(&ub);
            for (size_t k = 0; k < sizeof ub / sizeof(double); ++k) fprintf(f, " %a", ud[k]);
            fprintf(f, "\n");
            dump_log(f);
            ++i;
        }
        fprintf(stderr, "verify_ext: %d cases x 2 exports\n", i);
    } else if (!strcmp(what, "awb")) {
        for (int i = 0; i < count; ++i) {
            std::uint32_t w = rng() % 400, h = rng() % 300;
            if (rng() % 10 == 0) { w = 1000 + rng() % 3000; h = 2 + rng() % 500; }
            std::vector<std::uint8_t> raw(size_t(w) * h + 1);
            for (auto& s : raw) s = rng();
            if (rng() % 2) { int b = rng() % 200; for (auto& s : raw) s = std::uint8_t(std::min(255, b + int(rng() % 60))); }
            AWBFILTER_PARAM p{};
            p.nFirstPixel = rng(); p.SUPSEL = rng() % 10; p.U_GAIN = rng(); p.V_GAIN = rng(); p.Y_LIMIT = rng() % 80;
            p.S_RB_P = rng(); p.S_RB_N = rng(); p.S_MG_P = rng(); p.S_MG_N = rng();
            p.width = w; p.height = h; p.raw = raw.data();
            size_t n = (w >= 2 && h >= 2) ? size_t(w - 1) * (h - 1) : 0;
            std::vector<std::uint8_t> mask(n + 16, 0x77), rgb(3 * n + 16, 0x77);
            int rc = AWB_Filter(&p, mask.data(), rgb.data());
            fprintf(f, "AWB %d w=%u h=%u rc=%d mask=%016llx rgb=%016llx\n", i, w, h, rc, fnv(mask.data(), mask.size()),
                    fnv(rgb.data(), rgb.size()));
            dump_log(f);
        }
        fprintf(stderr, "awb: %d cases\n", count);
    }
    return 0;
}
