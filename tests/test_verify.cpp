#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support.h"
#include "verify/verify.h"

using morvik::test::LogCapture;

namespace {

// A test-image pixel array; padding bytes hold a marker that must not matter.
struct Image {
    int w, h;
    size_t stride;
    std::vector<uint8_t> buf;
    Image(int w_, int h_, uint8_t fill = 0) : w(w_), h(h_), stride(3 * w_ + (4 - 3 * w_ % 4) % 4) {
        buf.assign(stride * h, 0xEE);
        for (int r = 0; r < h; ++r) std::fill_n(&buf[r * stride], 3 * w, fill);
    }
    uint8_t& at(int x, int r, int byte = 0) { return buf[r * stride + 3 * x + byte]; }
    int get(int x, int r, int byte = 0) const { return buf[r * stride + 3 * x + byte]; }
};

// Noisy flat image with planted outliers; raw images get junk in the unused bytes.
Image random_image(std::mt19937& rng, int w, int h, bool raw) {
    Image im(w, h);
    const int base = std::uniform_int_distribution<int>(0, 255)(rng);
    const int noise = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int r = 0; r < h; ++r)
        for (int x = 0; x < w; ++x)
            for (int b = 0; b < 3; ++b) {
                int v = base + std::uniform_int_distribution<int>(-noise, noise)(rng);
                if (rng() % 12 == 0) v = int(rng() % 256);
                if (raw && b > 0) v = int(rng() % 256);
                im.at(x, r, b) = uint8_t(std::clamp(v, 0, 255));
            }
    return im;
}

// ---- Straightforward model of the decision rule and the statistics.

int rule(int c, const std::vector<int>& nb, double q, int t) {
    int S = 0, S2 = 0;
    for (int v : nb) S += v, S2 += v * v;
    const double m = S * q, sd = std::sqrt(S2 * q - m * m);
    int n = 0, s = 0;
    for (int v : nb)
        if (m - sd <= v && v <= m + sd) ++n, s += v;
    return c * n > s + t * n ? 1 : c * n < s - t * n ? -1 : 0;
}

// Mean (sum of type Sum over n) and population deviation of values, in order.
template <class Sum>
void mean_std(const std::vector<int>& v, double& mean, double& sd) {
    Sum sum = 0;
    for (int x : v) sum += Sum(x);
    const double n = double(v.size());
    mean = double(sum) / n;
    double acc = 0;
    for (int x : v) acc += (mean - x) * (mean - x);
    sd = std::sqrt(acc / n);
}

// The four sites k (x + (k & 1), u - k / 2) of every cell, bottom row first.
std::vector<int> raw_sites(const Image& im, int k) {
    std::vector<int> v;
    for (int u = im.h - 1; u >= 1; u -= 2)
        for (int x = 0; x < (im.w & ~1); x += 2) v.push_back(im.get(x + (k & 1), u - k / 2));
    return v;
}

DefectVerifyResult model_defect_raw(const Image& im, int order, int t) {
    DefectVerifyResult r{};
    const int cols = im.w & ~1, base = im.h & 1;
    auto site = [&](int x, int u, int k) { return im.get(x + (k & 1), u - k / 2); };
    int h[4] = {255, 255, 255, 255};
    for (int y = im.h - 1; y >= 1; y -= 2)
        for (int x = 0; x < cols; x += 2) {
            const int r0 = y < base + 3 ? base + 5 : y > im.h - 3 ? im.h - 1 : y + 2;
            const int c0 = x < 2 ? 0 : x > cols - 4 ? cols - 6 : x - 2;
            for (int k = 0; k < 4; ++k) {
                std::vector<int> nb;
                for (int u = r0; u >= r0 - 4; u -= 2)
                    for (int cx = c0; cx <= c0 + 4; cx += 2)
                        if (u != y || cx != x) nb.push_back(site(cx, u, k));
                const int v = rule(site(x, y, k), nb, 0.125, t);
                r.DBP += v < 0;
                r.WBP += v > 0;
                if (v > 0)
                    for (int u : {r0, r0 - 4})
                        for (int cx : {c0, c0 + 4}) {
                            const int d = std::abs(site(c0 + 2, r0 - 2, k) - site(cx, u, k));
                            if ((u != y || cx != x) && d <= h[k]) h[k] = std::max(d - 1, 0);
                        }
            }
        }
    for (int k = 0; k < 4; ++k) mean_std<uint64_t>(raw_sites(im, k), r.mean[k], r.std[k]);
    const bool g03 = (order & 0xFF) == 1 || (order & 0xFF) == 2;
    r.GCHECKTHD = uint32_t(g03 ? std::min(h[0], h[3]) : std::min(h[1], h[2]));
    r.RBCHECKTHD = uint32_t(g03 ? std::min(h[1], h[2]) : std::min(h[0], h[3]));
    return r;
}

int luma_of(const Image& im, int x, int r) {
    return int(0.587 * im.get(x, r, 1) + 0.299 * im.get(x, r, 2) + 0.114 * im.get(x, r, 0) + 0.5);
}

// R, G, B, Y means and deviations over every pixel, sums of type Sum.
template <class Sum>
void model_colour_stats(const Image& im, double* mean, double* std) {
    std::vector<int> values[4];
    for (int r = 0; r < im.h; ++r)
        for (int x = 0; x < im.w; ++x)
            for (int c = 0; c < 4; ++c) values[c].push_back(c < 3 ? im.get(x, r, 2 - c) : luma_of(im, x, r));
    for (int c = 0; c < 4; ++c) mean_std<Sum>(values[c], mean[c], std[c]);
}

DefectVerifyResult model_defect_colour(const Image& im, int t) {
    DefectVerifyResult r{};
    for (int y = 0; y < im.h; ++y)
        for (int x = 0; x < im.w; ++x) {
            const int x0 = x < 2 ? 0 : x <= im.w - 5 ? x - 2 : im.w - 5;
            const int y0 = y < 2 ? 0 : y <= im.h - 5 ? y - 2 : im.h - 5;
            for (int byte : {2, 1, 0}) {
                std::vector<int> nb;
                for (int u = y0; u < y0 + 5; ++u)
                    for (int cx = x0; cx < x0 + 5; ++cx)
                        if (u != y || cx != x) nb.push_back(im.get(cx, u, byte));
                const int v = rule(im.get(x, y, byte), nb, 0.041666666666666664, t);
                r.WBP += v > 0;
                r.DBP += v < 0;
                if (v != 0) break;
            }
        }
    model_colour_stats<uint64_t>(im, r.mean, r.std);
    return r;
}

UnbalanceVerifyResult model_unbalance(const Image& im, bool raw, int order) {
    UnbalanceVerifyResult r{};
    const bool g03 = (order & 0xFF) == 1 || (order & 0xFF) == 2;
    std::vector<int> first, second, diff;
    for (int u = im.h - 1; u >= 1; u -= 2)
        for (int x = 0; x < (im.w & ~1); x += raw ? 2 : 1) {
            first.push_back(raw ? im.get(x + !g03, u) : im.get(x, u, 1));
            second.push_back(raw ? im.get(x + g03, u - 1) : im.get(x, u - 1, 1));
            diff.push_back(first.back() - second.back());
        }
    mean_std<uint32_t>(first, r.GevenMean, r.GevenStd);
    mean_std<uint32_t>(second, r.GoddMean, r.GoddStd);
    mean_std<int32_t>(diff, r.GdiffMean, r.GdiffStd);
    if (!raw) {
        model_colour_stats<uint32_t>(im, r.mean, r.std);
    } else {
        for (int k = 0; k < 4; ++k) mean_std<uint32_t>(raw_sites(im, k), r.mean[k], r.std[k]);
    }
    return r;
}

void expect_same(const DefectVerifyResult& a, const DefectVerifyResult& b, bool raw) {
    EXPECT_EQ(a.WBP, b.WBP);
    EXPECT_EQ(a.DBP, b.DBP);
    EXPECT_EQ(0, std::memcmp(a.mean, b.mean, sizeof a.mean));
    EXPECT_EQ(0, std::memcmp(a.std, b.std, sizeof a.std));
    if (raw) {
        EXPECT_EQ(a.GCHECKTHD, b.GCHECKTHD);
        EXPECT_EQ(a.RBCHECKTHD, b.RBCHECKTHD);
    }
}

}  // namespace

TEST(VerifyDefect, MatchesModelOnRandomImages) {
    std::mt19937 rng(20261206);
    for (int round = 0; round < 300; ++round) {
        const bool raw = round % 2 == 0;
        // Wide rounds cover the blocked inner loops and their remainders.
        const int w = 5 + raw + int(rng() % (round % 4 < 2 ? 14 : 90)), h = 5 + raw + int(rng() % 14);
        const Image im = random_image(rng, w, h, raw);
        const int t = int(rng() % 40) | (round % 5 == 0 ? 0x700 : 0);  // only the low 8 bits count
        const int order = std::vector<int>{0, 1, 2, 3, 0x101, 7, -1}[rng() % 7];
        SCOPED_TRACE(testing::Message() << w << "x" << h << " raw " << raw << " t " << t << " order " << order);
        DefectVerifyResult got{};
        ASSERT_EQ(Defect_Verify(im.buf.data(), raw ? 1 : 2, order, w, h, t, &got), 0);
        expect_same(got, raw ? model_defect_raw(im, order, t & 0xFF) : model_defect_colour(im, t & 0xFF), raw);
    }
}

TEST(VerifyUnbalance, MatchesModelOnRandomImages) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        const bool raw = round % 2 == 0;
        const int w = 2 + int(rng() % 15), h = 2 + int(rng() % 15);
        const int order = std::vector<int>{0, 1, 2, 3, 0x102, 9, -4}[rng() % 7];
        const Image im = random_image(rng, w, h, raw);
        UnbalanceVerifyResult got{};
        ASSERT_EQ(Unbalance_Verify(im.buf.data(), raw ? 1 : 2, order, w, h, &got), 0);
        const UnbalanceVerifyResult want = model_unbalance(im, raw, order);
        EXPECT_EQ(0, std::memcmp(&got, &want, sizeof got)) << w << "x" << h << " raw " << raw << " order " << order;
    }
}

TEST(VerifyExports, RefusalsWriteNothingAndLogNothing) {
    Image im(8, 8, 9);
    LogCapture log;
    DefectVerifyResult d;
    UnbalanceVerifyResult u;
    std::memset(&d, 0xA5, sizeof d);
    std::memset(&u, 0xA5, sizeof u);
    const DefectVerifyResult d0 = d;
    const UnbalanceVerifyResult u0 = u;
    // Format first (2), then pointers and sizes (-1); the smallest sizes are
    // 6 (raw defect), 5 (colour defect) and 2 (unbalance).
    for (int format : {0, 3, -1}) {
        EXPECT_EQ(Defect_Verify(nullptr, format, 0, 8, 8, 0, nullptr), 2);
        EXPECT_EQ(Unbalance_Verify(im.buf.data(), format, 0, 8, 8, &u), 2);
    }
    for (int format : {1, 2}) {
        const int min = format == 1 ? 6 : 5;
        EXPECT_EQ(Defect_Verify(im.buf.data(), format, 0, min - 1, 8, 0, &d), -1);
        EXPECT_EQ(Defect_Verify(im.buf.data(), format, 0, 8, min - 1, 0, &d), -1);
        EXPECT_EQ(Unbalance_Verify(nullptr, format, 0, 8, 8, &u), -1);
        EXPECT_EQ(Unbalance_Verify(im.buf.data(), format, 0, 1, 8, &u), -1);
        EXPECT_EQ(Unbalance_Verify(im.buf.data(), format, 0, 8, -2, &u), -1);
    }
    EXPECT_EQ(0, std::memcmp(&d, &d0, sizeof d));
    EXPECT_EQ(0, std::memcmp(&u, &u0, sizeof u));
    EXPECT_TRUE(log.lines().empty());
    // Colour images leave the check thresholds alone.
    EXPECT_EQ(Defect_Verify(im.buf.data(), 2, 0, 8, 8, 0, &d), 0);
    EXPECT_EQ(d.GCHECKTHD, d0.GCHECKTHD);
    EXPECT_EQ(d.RBCHECKTHD, d0.RBCHECKTHD);
}

TEST(VerifyExports, LogSequencesAndPacking) {
    const std::vector<std::string> frame_end = {"Time lapsed: 0 sec\n", "=============\n"};
    auto run = [](auto call) {
        LogCapture log;
        call();
        std::vector<std::string> lines = log.lines();
        // A run within one second reports 0 or, across a clock tick, 1.
        if (lines.size() >= 2 && lines[lines.size() - 2] == "Time lapsed: 1 sec\n")
            lines[lines.size() - 2] = "Time lapsed: 0 sec\n";
        return lines;
    };
    Image raw(6, 6, 40);
    raw.at(2, 2) = 90;  // site 2 of an interior cell
    DefectVerifyResult d{};
    auto lines = run([&] { Defect_Verify(raw.buf.data(), 1, 2, 6, 6, 0x10A, &d); });
    std::vector<std::string> want = {
        "=============\n", "Auto Defect: start\n", "Input file: RAW\n", "Auto Defect: width 6, height 6\n",
        "Auto Defect: raw packing 2\n",
        "Auto Defect: Bayer0-m 40.000, Bayer1-m 40.000, Bayer2-m 45.556, Bayer3-m 40.000\n",
        "Auto Defect: Bayer0_std 0.000, Bayer1_Std 0.000, Bayer2_std 15.713, Bayer3_std 0.000\n",
        "Auto Defect: DBP 0, WBP 1\n", "GCHECKTHD = 255\nRBCHECKTHD =  49\n", "Auto Defect: End\n"};
    want.insert(want.end(), frame_end.begin(), frame_end.end());
    EXPECT_EQ(lines, want);

    Image col(7, 5, 30);
    lines = run([&] { Defect_Verify(col.buf.data(), 2, 0, 7, 5, 0, &d); });
    want = {"=============\n", "Auto Defect: start\n", "Input file: YUV\n", "Auto Defect: width 7, height 5\n",
            "Auto Defect: bmp packing 3\n", "Auto Defect: Rm 30.000, Gm 30.000, Bm 30.000, Ym 30.000\n",
            "Auto Defect: R_std 0.000, G_Std 0.000, B_std 0.000, Y_std 0.000\n", "Auto Defect: DBP 0, WBP 0\n",
            "Auto Defect: End\n"};
    want.insert(want.end(), frame_end.begin(), frame_end.end());
    EXPECT_EQ(lines, want);

    for (int w = 4; w <= 7; ++w) {
        for (int format : {1, 2}) {
            Image im(w, 2, 8);
            UnbalanceVerifyResult u{};
            lines = run([&] { Unbalance_Verify(im.buf.data(), format, 1, w, 2, &u); });
            const std::string kind = format == 1 ? "RAW" : "YUV";
            want = {"=============\n", "Unbalance: start\n", "Input file: " + kind + "\n",
                    "Unbalance: width " + std::to_string(w) + ", height 2\n",
                    std::string("Unbalance: ") + (format == 1 ? "raw" : "bmp") + " packing " +
                        std::to_string((4 - 3 * w % 4) % 4) + "\n",
                    "Unbalance: Geven 8.000, Godd 8.000, Gdiff 0.000\n",
                    "Unbalance: Geven_std 0.000, Godd_Std 0.000, Gdiff_std 0.000\n",
                    format == 1 ? "Unbalance: Bayer-0 8.000, Bayer-1 8.000, Bayer-2 8.000, Bayer-3 8.000\n"
                                : "Unbalance: R 8.000, G 8.000, B 8.000, Y 8.000\n",
                    format == 1 ? "Unbalance: Bayer-0_std 0.000, Bayer-1_Std 0.000, Bayer-2_std 0.000, "
                                  "Bayer-3_std 0.000\n"
                                : "Unbalance: R_std 0.000, G_Std 0.000, B_std 0.000, Y_std 0.000\n",
                    "Unbalance: End\n"};
            want.insert(want.end(), frame_end.begin(), frame_end.end());
            EXPECT_EQ(lines, want) << w;
        }
    }
}

// The integer luma with its tie fallback equals the double formula for every
// colour, in the vector body and in the scalar tail of a row.
TEST(VerifyLuma, RowMatchesDoubleFormulaForEveryColour) {
    std::vector<uint8_t> bgr(3 * 256), got(256);
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g) {
            for (int b = 0; b < 256; ++b) {
                bgr[3 * b] = uint8_t(b);
                bgr[3 * b + 1] = uint8_t(g);
                bgr[3 * b + 2] = uint8_t(r);
            }
            const int n = 256 - (r + g) % 7;  // tails of 0 to 6 pixels
            morvik::verify::luma_row(bgr.data(), n, got.data());
            for (int b = 0; b < n; ++b)
                if (got[b] != morvik::verify::luma(r, g, b)) FAIL() << r << "," << g << "," << b;
        }
}

// Images that sit on the edges of the shortcut tests: few levels (band edges
// on integers), runs of 0 and 255, one-level images with a lone outlier, and
// thresholds 0, 1, the level step and 255; widths cover every vector tail.
TEST(VerifyDefect, MatchesModelOnFewLevelAndSaturatedImages) {
    std::mt19937 rng(99);
    for (int round = 0; round < 160; ++round) {
        const bool raw = round % 2 == 0;
        const int w = 6 + int(rng() % 40), h = 6 + int(rng() % 12);
        Image im(w, h);
        const int kind = round / 2 % 4, base = int(rng() % 256), step = 1 + int(rng() % 4);
        for (int r = 0; r < h; ++r)
            for (int x = 0; x < w; ++x)
                for (int b = 0; b < 3; ++b) {
                    int v = base;
                    if (kind == 0) v = base + step * int(rng() % 3);
                    if (kind == 1) v = rng() % 3 == 0 ? 255 : rng() % 2 ? 0 : 254;
                    if (kind == 2) v = (x + r) % 2 ? 255 : 0;
                    im.at(x, r, b) = uint8_t(std::clamp(v, 0, 255));
                }
        if (kind == 3) im.at(int(rng() % w), int(rng() % h), int(rng() % 3)) = uint8_t(rng());
        const int t = std::vector<int>{0, 1, step, 255}[rng() % 4];
        SCOPED_TRACE(testing::Message() << w << "x" << h << " raw " << raw << " kind " << kind << " t " << t);
        DefectVerifyResult got{};
        ASSERT_EQ(Defect_Verify(im.buf.data(), raw ? 1 : 2, 1, w, h, t, &got), 0);
        expect_same(got, raw ? model_defect_raw(im, 1, t) : model_defect_colour(im, t), raw);
        UnbalanceVerifyResult ub{};
        ASSERT_EQ(Unbalance_Verify(im.buf.data(), raw ? 1 : 2, 2, w, h, &ub), 0);
        const UnbalanceVerifyResult want = model_unbalance(im, raw, 2);
        EXPECT_EQ(0, std::memcmp(&ub, &want, sizeof ub));
    }
}
