// Gamma family: update (E10/E8, composition, previews), KT1 -> KT2 packing
// and the gamma text file, the two ways back, and the file reader.
// Each core is checked against a plain model written here with floor
// divisions instead of shifts.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "gamma/gamma.h"
#include "morvik/morvik.h"
#include "support.h"

namespace {

namespace gm = morvik::gamma;
using morvik::test::TempDir;

constexpr int kPos[20] = {2, 4, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 208, 224, 240};

long long floordiv(long long n, long long d) {
    const long long q = n / d;
    return (n % d != 0 && n < 0) ? q - 1 : q;
}

// ---------------------------------------------------------------- models

// The anchor curve evaluated at scale 4 (10-bit input, top 1023) or 1
// (8-bit input, top 255).
int model_eval(const gm::AnchorCurve& a, long x, int scale) {
    const int top = scale == 4 ? 1023 : 255;
    const int last = 240 * scale;
    if (x < 2 * scale) return (a[0] + 1) / 2;
    if (x >= top) return 255;
    if (x >= last) {
        const int n = top - last;
        return a[19] + int(floordiv((x - last) * (255 - a[19]) * 2 + n, 2 * n));
    }
    int i = 0;
    while (kPos[i + 1] * scale <= x) ++i;
    const int p = kPos[i] * scale, w = kPos[i + 1] * scale - p;
    return a[std::size_t(i)] + int(floordiv(long(a[std::size_t(i + 1)] - a[std::size_t(i)]) * (x - p) + w / 2, w));
}

// KT1 curve at 12-bit input i.
long model_kt1_curve(const gm::KT1Anchors& a, int i) {
    const int x = i / 16;
    int k = 0;  // segment from knot k to k + 1 of 0, positions..., 255
    while (k < 20 && kPos[k] <= x) ++k;
    const long y0 = k == 0 ? 0 : long(a[std::size_t(k - 1)]);
    const long y1 = k == 20 ? 255 : long(a[std::size_t(k)]);
    const long s = k == 0 ? 0 : 16L * kPos[k - 1];
    const long e = k == 20 ? 4095 : 16L * kPos[k];
    return std::min(1023L, (4 * y1 * (i - s) + 4 * y0 * (e - i)) / (e - s));
}

struct Grid {
    int position, step;
};
Grid model_grid(int e) {
    if (e < 64) return {8 * e, 8};
    if (e < 96) return {512 + 16 * (e - 64), 16};
    if (e < 128) return {1024 + 32 * (e - 96), 32};
    return {2048 + 128 * (e - 128), 128};
}
int model_entry_of(int i) {
    if (i < 512) return i / 8;
    if (i < 1024) return 64 + (i - 512) / 16;
    if (i < 2048) return 96 + (i - 1024) / 32;
    return 128 + (i - 2048) / 128;
}

gm::AnchorCurve random_curve(std::mt19937& rng, bool rising) {
    std::uniform_int_distribution<int> byte(0, 255);
    gm::AnchorCurve a{};
    for (auto& v : a) v = std::uint8_t(byte(rng));
    if (rising) std::sort(a.begin(), a.end());
    return a;
}

gm::KT1Anchors widen(const gm::AnchorCurve& a) {
    gm::KT1Anchors w{};
    std::copy(a.begin(), a.end(), w.begin());
    return w;
}

gm::AnchorCurve identity_curve() {
    gm::AnchorCurve a{};
    for (int i = 0; i < 20; ++i) a[std::size_t(i)] = std::uint8_t(kPos[i]);
    return a;
}

std::unique_ptr<GammaUpdateInput> identity_input(const gm::AnchorCurve& gamma) {
    auto in = std::make_unique<GammaUpdateInput>();
    std::copy(gamma.begin(), gamma.end(), in->anchors);
    for (auto& tone : in->tone)
        for (int i = 0; i < 1024; ++i) tone[i] = std::uint16_t(i);
    return in;
}

std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// ---------------------------------------------------------------- update

TEST(GammaUpdate, EvaluationsMatchModelOnEveryInput) {
    std::mt19937 rng(7);
    std::vector<gm::AnchorCurve> curves = {identity_curve(), gm::AnchorCurve{}, {}};
    curves[2].fill(255);
    for (int n = 0; n < 300; ++n) curves.push_back(random_curve(rng, n % 2 == 0));
    for (const auto& a : curves) {
        for (unsigned x = 0; x < 1100; ++x) ASSERT_EQ(gm::evaluate10(a, x), model_eval(a, long(x), 4)) << "x " << x;
        for (unsigned x : {2047u, 65535u}) ASSERT_EQ(gm::evaluate10(a, x), 255);
        for (unsigned x = 0; x < 256; ++x) ASSERT_EQ(gm::evaluate8(a, x), model_eval(a, long(x), 1)) << "x " << x;
    }
}

TEST(GammaUpdate, SegmentEdges) {
    gm::AnchorCurve a = identity_curve();
    a[0] = 10;
    a[1] = 5;  // falling first segment: 10 + floor((-5 + 4) / 8) = 9
    EXPECT_EQ(gm::evaluate10(a, 9), 9);
    EXPECT_EQ(gm::evaluate10(a, 8), 10);
    EXPECT_EQ(gm::evaluate10(a, 7), 5);  // flat start (10 + 1) >> 1
    EXPECT_EQ(gm::evaluate8(a, 1), 5);
    EXPECT_EQ(gm::evaluate8(a, 3), 8);  // 10 + floor((-5 + 1) / 2)

    // The top lines run from A19 at 960 (240) to 255 at 1023 (255).
    a[19] = 100;
    EXPECT_EQ(gm::evaluate10(a, 960), 100);
    EXPECT_EQ(gm::evaluate10(a, 1022), 100 + (62 * 155 * 2 + 63) / 126);
    EXPECT_EQ(gm::evaluate10(a, 1023), 255);
    EXPECT_EQ(gm::evaluate8(a, 240), 100);
    EXPECT_EQ(gm::evaluate8(a, 254), 100 + (14 * 155 * 2 + 15) / 30);
    EXPECT_EQ(gm::evaluate8(a, 255), 255);
    a[19] = 255;  // a flat top
    for (unsigned x = 960; x < 1100; ++x) EXPECT_EQ(gm::evaluate10(a, x), 255);
    for (unsigned x = 240; x < 256; ++x) EXPECT_EQ(gm::evaluate8(a, x), 255);
}

TEST(GammaUpdate, ToneIndexes) {
    const int expected[20] = {8, 16, 32, 64, 96, 128, 160, 192, 224, 256, 320, 385, 449, 513, 577, 641, 770, 834, 898, 962};
    for (int i = 0; i < 20; ++i) EXPECT_EQ(gm::tone_index(i), expected[i]);
}

TEST(GammaUpdate, ExportMatchesModelOnRandomBlocks) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> code(0, 1100), wide(0, 65535), pick(0, 9);
    auto in = std::make_unique<GammaUpdateInput>();
    for (int n = 0; n < 200; ++n) {
        const gm::AnchorCurve g = random_curve(rng, n % 3 != 0);
        std::copy(g.begin(), g.end(), in->anchors);
        for (auto& tone : in->tone)
            for (auto& v : tone) v = std::uint16_t(pick(rng) == 0 ? wide(rng) : code(rng));
        GammaUpdateOutput out;
        std::memset(&out, 0xA5, sizeof out);
        aeZetDllUpateGammaTable(in.get(), &out);

        std::array<gm::AnchorCurve, 5> curves{g};
        for (int k = 1; k <= 4; ++k)
            for (int i = 0; i < 20; ++i)
                curves[std::size_t(k)][std::size_t(i)] = std::uint8_t(model_eval(g, in->tone[k - 1][kPos[i] * 1023 / 255], 4));
        for (int i = 0; i < 20; ++i) ASSERT_EQ(out.anchors[i], g[std::size_t(i)]);
        for (int k = 1; k <= 4; ++k)
            for (int i = 0; i < 20; ++i) ASSERT_EQ(out.composed[k - 1][i], curves[std::size_t(k)][std::size_t(i)]);
        for (int k = 0; k < 5; ++k)
            for (int j = 0; j < 64; ++j)
                ASSERT_EQ(out.preview[k][j], model_eval(curves[std::size_t(k)], j == 0 ? 2 : 4 * j, 1)) << k << " " << j;
    }
}

TEST(GammaUpdate, IdentityTonesKeepGammaExceptWhereIndexIsAbove4p) {
    const gm::AnchorCurve g = identity_curve();
    const auto in = identity_input(g);
    GammaUpdateOutput out;
    aeZetDllUpateGammaTable(in.get(), &out);
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < 11; ++i) EXPECT_EQ(out.composed[k][i], g[std::size_t(i)]) << i;
        // Anchors 11..19 read one or two codes above 4p: the identity gamma
        // rises a quarter per code, so the result rounds to p or p + 1.
        for (int i = 11; i < 20; ++i) {
            EXPECT_GE(out.composed[k][i], g[std::size_t(i)]);
            EXPECT_LE(out.composed[k][i], g[std::size_t(i)] + 1);
        }
    }
    for (int j = 1; j < 60; ++j) EXPECT_EQ(out.preview[0][j], 4 * j) << j;  // identity at 4j
    EXPECT_EQ(out.preview[0][0], 2);                                         // sampled at 2, not 0
}

TEST(GammaUpdate, ToneExtremesAndNullPointers) {
    gm::AnchorCurve g = identity_curve();
    g[0] = 9;
    auto in = identity_input(g);
    for (int i = 0; i < 1024; ++i) {
        in->tone[0][i] = 1023;
        in->tone[1][i] = 65535;
        in->tone[2][i] = 7;
        in->tone[3][i] = 0;
    }
    GammaUpdateOutput out;
    aeZetDllUpateGammaTable(in.get(), &out);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(out.composed[0][i], 255);
        EXPECT_EQ(out.composed[1][i], 255);
        EXPECT_EQ(out.composed[2][i], 5);
        EXPECT_EQ(out.composed[3][i], 5);
    }

    GammaUpdateOutput untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);
    GammaUpdateOutput copy = untouched;
    aeZetDllUpateGammaTable(nullptr, &untouched);
    aeZetDllUpateGammaTable(in.get(), nullptr);
    EXPECT_EQ(std::memcmp(&copy, &untouched, sizeof copy), 0);
}

// ---------------------------------------------------------------- KT1 -> KT2

TEST(GammaConvert, GridRunsAndEntries) {
    for (int e = 0; e < 144; ++e) {
        const auto g = gm::grid_entry(e);
        EXPECT_EQ(g.position, model_grid(e).position);
        EXPECT_EQ(g.step, model_grid(e).step);
        EXPECT_EQ(1 << g.shift, g.step);
    }
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(gm::grid_entry_of(i).index, model_entry_of(i)) << i;
}

TEST(GammaConvert, CurveFromAnchorsMatchesModel) {
    std::mt19937 rng(3);
    std::vector<gm::KT1Anchors> cases = {widen(identity_curve()), gm::KT1Anchors{}};
    for (int n = 0; n < 200; ++n) cases.push_back(widen(random_curve(rng, n % 2 == 0)));
    for (const auto& a : cases) {
        const gm::Curve c = gm::curve_from_anchors(a);
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(c[std::size_t(i)], model_kt1_curve(a, i)) << i;
    }
}

TEST(GammaConvert, IdentityAnchorsGiveAQuarterOfTheInput) {
    const gm::Curve c = gm::curve_from_anchors(widen(identity_curve()));
    for (int i = 0; i < 3840; ++i) ASSERT_EQ(c[std::size_t(i)], i / 4) << i;
    EXPECT_EQ(c[3840], 960);
    EXPECT_EQ(c[4095], 1020);  // 4 * 255, never 1023
    EXPECT_EQ(*std::max_element(c.begin(), c.end()), 1020);

    // The first segment runs from 0 at input 0 to a0 at 32.
    gm::KT1Anchors a = widen(identity_curve());
    a[0] = 200;
    const gm::Curve d = gm::curve_from_anchors(a);
    EXPECT_EQ(d[0], 0);
    EXPECT_EQ(d[16], 400);
    EXPECT_EQ(d[32], 800);
    // Anchors beyond 8 bits are capped at 1023.
    a.fill(1000);
    const gm::Curve big = gm::curve_from_anchors(a);
    EXPECT_EQ(big[2000], 1023);
    EXPECT_EQ(big[4095], 1020);
}

TEST(GammaConvert, ExportPacksBasesAndRises) {
    std::mt19937 rng(5);
    TempDir dir;
    const std::string path = (dir.path() / "g.txt").string();
    for (int n = 0; n < 50; ++n) {
        const gm::KT1Anchors a = widen(random_curve(rng, n % 2 == 0));
        std::array<std::uint32_t, 145> base{};
        std::array<std::uint32_t, 144> packed{};
        base.fill(0xDEADBEEF);
        ASSERT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), path.c_str()), 0);
        for (int e = 0; e < 144; ++e) {
            const Grid g = model_grid(e);
            const long b = model_kt1_curve(a, g.position);
            const long next = model_kt1_curve(a, e == 143 ? 4095 : g.position + g.step);
            ASSERT_EQ(base[std::size_t(e)], std::uint32_t(b));
            ASSERT_EQ(packed[std::size_t(e)], std::uint32_t((next - b) * 1024 + b)) << e;  // 32-bit wrap when falling
        }
        EXPECT_EQ(base[144], std::uint32_t(model_kt1_curve(a, 4095)));
    }
}

std::string hex4(std::uint32_t v) {
    const char* digits = "0123456789ABCDEF";
    std::string reversed;
    do {
        reversed += digits[v % 16];
        v /= 16;
    } while (v != 0);
    while (reversed.size() < 4) reversed += '0';
    return {reversed.rbegin(), reversed.rend()};
}

TEST(GammaConvert, FileIsWrittenByteForByte) {
    TempDir dir;
    const auto path = dir.path() / "gamma.txt";
    spit(path, std::string(5000, 'x'));  // overwritten, not appended to
    const gm::KT1Anchors a = widen(identity_curve());
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
    ASSERT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), path.string().c_str()), 0);
    EXPECT_STREQ(morvik_last_error(), "");

    std::string expected =
        "// 12bit --> 10bit Table.\n// Y_Limit = 1023\n// Y_MIN_Limit = 0\n// Spline Interpolation.\n"
        "// Spline Coeff. = 2.000\n";
    for (int k = 0; k < 15; ++k)
        expected += "// X_Position =     " + std::to_string(256 * k) + "   Y_Position =     " + std::to_string(64 * k) + "\n";
    expected += "// X_Position =     4095   Y_Position =     1020\n";
    // The identity curve is input / 4 up to 3840: the rise is a quarter step.
    for (int e = 0; e < 143; ++e) {
        const Grid g = model_grid(e);
        const int b = g.position / 4;
        const int next = g.position + g.step <= 3840 ? (g.position + g.step) / 4 : (60 * (g.position + g.step) + 14400) / 255;
        expected += hex4(std::uint32_t((next - b) * 1024 + b)) + "\n";
    }
    expected += hex4((1020 - 990) * 1024 + 990) + "\n";  // 3968 -> 4095 on the last span
    EXPECT_EQ(slurp(path), expected);
    EXPECT_EQ(expected.substr(expected.size() - 5), "7BDE\n");
}

TEST(GammaConvert, WideAndFallingWordsPrintInFull) {
    TempDir dir;
    const auto path = dir.path() / "gamma.txt";
    gm::KT1Anchors a = widen(identity_curve());
    a[0] = 255;  // 0 -> 1020 over 32 inputs: a rise of 255 per step of 8
    a[1] = 0;    // then falling
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
    ASSERT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), path.string().c_str()), 0);
    std::istringstream text(slurp(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 5u + 16u + 144u);
    EXPECT_EQ(packed[0], 255u * 1024u);
    EXPECT_EQ(lines[21], "3FC00");
    EXPECT_EQ(packed[4], std::uint32_t(-255 * 1024 + 1020));  // 32 -> 40: 1020 -> 765
    EXPECT_EQ(lines[25], "FFFC07FC");
}

TEST(GammaConvert, UncreatableFileStillFillsTables) {
    TempDir dir;
    const auto path = dir.path() / "missing" / "gamma.txt";
    const gm::KT1Anchors a = widen(identity_curve());
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
    EXPECT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), path.string().c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_NE(std::string(morvik_last_error()).find("cannot create"), std::string::npos);
    EXPECT_EQ(base[144], 1020u);
    EXPECT_EQ(packed[1], 0x800u + 2u);
    // A folder in the file's place.
    EXPECT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), dir.path().string().c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
}

// ---------------------------------------------------------------- KT2 -> KT1

TEST(GammaConvert, CurvesFromPackedAndFromBasesMatchModels) {
    std::mt19937 rng(13);
    std::uniform_int_distribution<std::uint32_t> word;
    std::uniform_int_distribution<int> ten(0, 1023);
    for (int n = 0; n < 100; ++n) {
        gm::PackedTable packed{};
        for (auto& w : packed) w = word(rng);
        std::array<std::uint32_t, 144> bases{};
        const gm::Curve c = gm::curve_from_packed(packed, bases);
        gm::BaseArray all{};
        std::copy(bases.begin(), bases.end(), all.begin());
        all[144] = std::uint32_t(ten(rng));
        const gm::Curve d = gm::curve_from_bases(all);
        for (int i = 0; i < 4096; ++i) {
            const int e = model_entry_of(i);
            const Grid g = model_grid(e);
            const long b = packed[std::size_t(e)] & 0x3FF, r = (packed[std::size_t(e)] >> 10) & 0x3F;
            const long f = i - g.position;
            ASSERT_EQ(c[std::size_t(i)], b + (r * f + g.step / 2) / g.step) << i;
            const long rise = long(all[std::size_t(e + 1)]) - long(all[std::size_t(e)]);
            ASSERT_EQ(d[std::size_t(i)], b + floordiv(rise * f + g.step / 2, g.step)) << i;
        }
        for (int e = 0; e < 144; ++e) ASSERT_EQ(bases[std::size_t(e)], packed[std::size_t(e)] & 0x3FF);
    }
}

TEST(GammaConvert, RoundTripGivesCurveAtAnchorsWithTwoBitsDropped) {
    std::mt19937 rng(17);
    TempDir dir;
    const std::string path = (dir.path() / "g.txt").string();
    for (int n = 0; n < 100; ++n) {
        const gm::KT1Anchors a = widen(random_curve(rng, n % 4 != 0));
        std::array<std::uint32_t, 145> base{};
        std::array<std::uint32_t, 144> packed{};
        ASSERT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), path.c_str()), 0);

        std::array<std::uint32_t, 20> back{}, from_file{};
        std::array<std::uint32_t, 145> base2 = base, base3{};
        std::array<std::uint32_t, 144> packed3{};
        ASSERT_EQ(GMA_convert_KT2_to_KT1(packed.data(), back.data(), base2.data()), 0);
        ASSERT_EQ(GMA_convert_KT2_to_KT1_file(path.c_str(), from_file.data(), packed3.data(), base3.data()), 0);
        for (int k = 0; k < 20; ++k) {
            const auto expected = std::uint32_t(model_kt1_curve(a, 16 * kPos[k]) >> 2);
            ASSERT_EQ(back[std::size_t(k)], expected) << k;
            ASSERT_EQ(from_file[std::size_t(k)], expected) << k;
        }
        EXPECT_EQ(packed3, packed);
        EXPECT_TRUE(std::equal(base.begin(), base.begin() + 144, base2.begin()));
        EXPECT_TRUE(std::equal(base.begin(), base.begin() + 144, base3.begin()));
        EXPECT_EQ(base2[144], base[144]);  // read, not written
        EXPECT_EQ(base3[144], 0u);         // neither read nor written
    }
    // The identity comes back exactly (anchors below 240 sit on i / 4).
    const gm::KT1Anchors id = widen(identity_curve());
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
    std::array<std::uint32_t, 20> back{};
    GMA_convert_KT1_to_KT2(id.data(), base.data(), packed.data(), path.c_str());
    GMA_convert_KT2_to_KT1(packed.data(), back.data(), base.data());
    EXPECT_EQ(back, id);
}

// The two reverse exports build different curves between the grid points
// when the slope fields disagree with the bases (a rise of 64 or more
// wraps, or a hand-edited table); the anchors sit on grid points, where
// both curves are the base, so the anchors agree.
TEST(GammaConvert, ReverseExportsDifferOnlyBetweenGridPoints) {
    TempDir dir;
    const auto path = dir.path() / "steep.txt";
    gm::KT1Anchors a = widen(identity_curve());
    a[0] = 255;  // rises of 255 per step: the 6-bit field keeps 255 mod 64
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
    GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), path.string().c_str());

    std::array<std::uint32_t, 144> bases{};
    const gm::Curve with_slopes = gm::curve_from_packed(packed, bases);
    gm::BaseArray all{};
    std::copy(bases.begin(), bases.end(), all.begin());
    all[144] = base[144];
    const gm::Curve from_bases = gm::curve_from_bases(all);
    EXPECT_EQ(with_slopes[4], 0 + ((63 * 4 + 4) >> 3));  // 255 & 63 = 63
    EXPECT_EQ(from_bases[4], (255 * 4 + 4) >> 3);
    for (int e = 0; e < 144; ++e) {
        const int g = model_grid(e).position;
        EXPECT_EQ(with_slopes[std::size_t(g)], from_bases[std::size_t(g)]);
    }

    std::array<std::uint32_t, 20> via_bases{}, via_file{};
    std::array<std::uint32_t, 144> read{};
    std::array<std::uint32_t, 145> b1 = base, b2{};
    GMA_convert_KT2_to_KT1(packed.data(), via_bases.data(), b1.data());
    GMA_convert_KT2_to_KT1_file(path.string().c_str(), via_file.data(), read.data(), b2.data());
    EXPECT_EQ(via_bases, via_file);
    EXPECT_EQ(read[0], 255u * 1024u);  // the file keeps the whole rise
}

TEST(GammaConvert, FallingBasesRoundDown) {
    gm::BaseArray all{};
    for (int e = 0; e < 145; ++e) all[std::size_t(e)] = std::uint32_t(1023 - 7 * e);
    const gm::Curve c = gm::curve_from_bases(all);
    // Entry 0: 1023 -> 1016 over 8: 1023 + floor((-7 * 1 + 4) / 8) = 1022.
    EXPECT_EQ(c[1], 1022);
    EXPECT_EQ(c[7], 1023 + int(floordiv(-7 * 7 + 4, 8)));
    // The caller's entry 144 ends the last run.
    all[144] = 0;
    const gm::Curve d = gm::curve_from_bases(all);
    EXPECT_EQ(d[4095], int(all[143]) + int(floordiv(-long(all[143]) * 127 + 64, 128)));
}

TEST(GammaConvert, NullPointersWriteNothing) {
    std::array<std::uint32_t, 20> a{};
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
    base.fill(7);
    packed.fill(7);
    a.fill(7);
    TempDir dir;
    const std::string path = (dir.path() / "g.txt").string();
    EXPECT_EQ(GMA_convert_KT1_to_KT2(nullptr, base.data(), packed.data(), path.c_str()), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(GMA_convert_KT1_to_KT2(a.data(), nullptr, packed.data(), path.c_str()), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), nullptr, path.c_str()), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(GMA_convert_KT2_to_KT1(nullptr, a.data(), base.data()), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(GMA_convert_KT2_to_KT1(packed.data(), nullptr, base.data()), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(GMA_convert_KT2_to_KT1(packed.data(), a.data(), nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
    spit(path, "0123\n");
    EXPECT_EQ(GMA_convert_KT2_to_KT1_file(nullptr, a.data(), packed.data(), base.data()), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(GMA_convert_KT2_to_KT1_file(path.c_str(), nullptr, packed.data(), base.data()), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(GMA_convert_KT2_to_KT1_file(path.c_str(), a.data(), nullptr, base.data()), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(GMA_convert_KT2_to_KT1_file(path.c_str(), a.data(), packed.data(), nullptr), MORVIK_STATUS_INVALID_ARGUMENT);
    for (auto v : a) EXPECT_EQ(v, 7u);
    for (auto v : base) EXPECT_EQ(v, 7u);
    for (auto v : packed) EXPECT_EQ(v, 7u);
}

// ---------------------------------------------------------------- reader

// Words of a text as the reader takes them: pieces of up to 253 characters
// ending at a line feed; comment pieces skipped; leading hex digits; 144 at
// most.
std::vector<std::uint32_t> model_words(const std::string& text) {
    std::vector<std::uint32_t> words;
    std::size_t at = 0;
    while (at < text.size() && words.size() < 144) {
        std::size_t end = at;
        while (end < text.size() && end - at < 253 && text[end] != '\n') ++end;
        if (end < text.size() && end - at < 253) ++end;  // the line feed belongs to the piece
        const std::string piece = text.substr(at, end - at);
        at = end;
        if (piece[0] == '@' || piece[0] == '/' || piece[0] == '#') continue;
        std::uint32_t w = 0;
        for (char c : piece) {
            const char* digits = "0123456789abcdef";
            const char* d = std::strchr(digits, std::tolower(static_cast<unsigned char>(c)));
            if (c == '\0' || d == nullptr) break;
            w = w * 16 + std::uint32_t(d - digits);
        }
        words.push_back(w);
    }
    return words;
}

std::vector<std::uint32_t> export_words(const std::filesystem::path& path, std::uint32_t fill, int32_t* status = nullptr) {
    std::array<std::uint32_t, 20> a{};
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
    packed.fill(fill);
    const int32_t s = GMA_convert_KT2_to_KT1_file(path.string().c_str(), a.data(), packed.data(), base.data());
    if (status) *status = s;
    return {packed.begin(), packed.end()};
}

TEST(GammaReader, CommentsBlankLinesCaseAndWideWords) {
    TempDir dir;
    const auto path = dir.path() / "g.txt";
    spit(path, "# head\n0010\n\n@x\n/ slash\nabcd\nABCDEF12zz\n  12\nFFFFFFFFF\r\n01a\r\n#tail");
    int32_t status = -5;
    const auto w = export_words(path, 0xEEEEEEEE, &status);
    EXPECT_EQ(status, 0);
    const std::vector<std::uint32_t> head = {0x10, 0, 0xABCD, 0xABCDEF12, 0, 0xFFFFFFFF, 0x1A};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), w.begin()));
    EXPECT_EQ(w[7], 0xEEEEEEEEu);  // beyond the words read: kept
    EXPECT_EQ(w[143], 0xEEEEEEEEu);
}

TEST(GammaReader, LongLinesContinueAsFurtherWords) {
    TempDir dir;
    const auto path = dir.path() / "g.txt";
    // 253 characters then the line feed alone: a word, then an empty piece.
    spit(path, std::string(249, '0') + "0ABC\n" + std::string(252, '0') + "7" + "1\n" + "22\n");
    const auto w = export_words(path, 9);
    EXPECT_EQ(w[0], 0xABCu);
    EXPECT_EQ(w[1], 0u);
    EXPECT_EQ(w[2], 7u);  // 253 characters ending in 7; "1\n" continues
    EXPECT_EQ(w[3], 1u);
    EXPECT_EQ(w[4], 0x22u);
    EXPECT_EQ(w[5], 9u);
}

TEST(GammaReader, AtMost144WordsAndOnlyLow16BitsConvert) {
    TempDir dir;
    const auto path = dir.path() / "g.txt";
    std::string text;
    for (int i = 0; i < 200; ++i) text += hex4(0xABC00000u + std::uint32_t(i) * 4) + "\n";
    spit(path, text);
    std::array<std::uint32_t, 20> a{};
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
    ASSERT_EQ(GMA_convert_KT2_to_KT1_file(path.string().c_str(), a.data(), packed.data(), base.data()), 0);
    for (int e = 0; e < 144; ++e) {
        ASSERT_EQ(packed[std::size_t(e)], 0xABC00000u + std::uint32_t(e) * 4);
        ASSERT_EQ(base[std::size_t(e)], std::uint32_t(e) * 4);
    }
    EXPECT_EQ(a[0], 4u);  // input 32: entry 4, base 16, two bits dropped
}

TEST(GammaReader, MatchesModelOnRandomTexts) {
    std::mt19937 rng(23);
    TempDir dir;
    const auto path = dir.path() / "g.txt";
    const std::string alphabet = "0123456789abcdefABCDEFxyz@/# \r\n\n\n\n";
    std::uniform_int_distribution<int> len(0, 40), ch(0, int(alphabet.size()) - 1), longline(0, 20), zero(0, 30);
    for (int n = 0; n < 300; ++n) {
        std::string text;
        const int lines = len(rng) * 5;
        for (int l = 0; l < lines; ++l) {
            const int chars = longline(rng) == 0 ? 240 + len(rng) * 2 : len(rng) / 4;
            for (int c = 0; c < chars; ++c) text += zero(rng) == 0 ? '\0' : alphabet[std::size_t(ch(rng))];
            text += '\n';
        }
        if (n % 2 == 1 && !text.empty()) text.pop_back();  // no final line feed
        spit(path, text);
        const auto expected = model_words(text);
        const auto got = export_words(path, 0x12345678);
        for (std::size_t i = 0; i < 144; ++i)
            ASSERT_EQ(got[i], i < expected.size() ? expected[i] : 0x12345678u) << "case " << n << " word " << i;
    }
}

TEST(GammaReader, UnopenablePathsWriteNothing) {
    TempDir dir;
    for (const auto& p : {dir.path() / "none.txt", dir.path()}) {
        std::array<std::uint32_t, 20> a{};
        std::array<std::uint32_t, 145> base{};
        std::array<std::uint32_t, 144> packed{};
        a.fill(3);
        base.fill(3);
        packed.fill(3);
        EXPECT_EQ(GMA_convert_KT2_to_KT1_file(p.string().c_str(), a.data(), packed.data(), base.data()),
                  MORVIK_GAMMA_CANNOT_OPEN);
        EXPECT_NE(std::string(morvik_last_error()).find("cannot open"), std::string::npos);
        for (auto v : a) EXPECT_EQ(v, 3u);
        for (auto v : base) EXPECT_EQ(v, 3u);
        for (auto v : packed) EXPECT_EQ(v, 3u);
    }
    // An empty file opens: nothing read, everything kept, bases from the kept words.
    spit(dir.path() / "empty.txt", "");
    const auto w = export_words(dir.path() / "empty.txt", 0x0C05);
    for (auto v : w) EXPECT_EQ(v, 0x0C05u);
}

// ---------------------------------------------------------------- CLI

namespace cli {

struct CliRun {
    int status;
    std::string out, err;
};

CliRun morvik(const TempDir& dir, const std::string& args) {
    const auto out = dir.path() / "stdout", err = dir.path() / "stderr";
    const std::string cmd = std::string(MORVIK_CLI) + " " + args + " > " + out.string() + " 2> " + err.string();
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
}

TEST(GammaCli, ToKt2WritesTheExportsFileAndToKt1ReadsItBack) {
    TempDir dir;
    const std::string ex = std::string(MORVIK_SOURCE_DIR) + "/examples/gamma/";
    const auto file = dir.path() / "gamma.txt";
    const CliRun k2 = morvik(dir, "gamma to-kt2 " + ex + "gamma22.json -o " + file.string() + " --json");
    ASSERT_EQ(k2.status, 0) << k2.err;
    const auto j = nlohmann::json::parse(k2.out)["anchors"].get<std::vector<std::uint32_t>>();
    ASSERT_EQ(j.size(), 20u);

    // The same anchors through the export directly give the same bytes.
    gm::KT1Anchors a{};
    std::copy(j.begin(), j.end(), a.begin());
    std::array<std::uint32_t, 145> base{};
    std::array<std::uint32_t, 144> packed{};
    const auto direct = dir.path() / "direct.txt";
    ASSERT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), direct.string().c_str()), 0);
    EXPECT_EQ(slurp(file), slurp(direct));
    EXPECT_EQ(morvik(dir, "gamma to-kt2 " + ex + "gamma22.csv -o " + (dir.path() / "csv.txt").string()).status, 0);
    EXPECT_EQ(slurp(dir.path() / "csv.txt"), slurp(direct));

    for (const char* method : {"", " --bases"}) {
        const CliRun k1 = morvik(dir, "gamma to-kt1 " + file.string() + method);
        ASSERT_EQ(k1.status, 0) << k1.err;
        EXPECT_NE(k1.out.find("KT1         28  39  53  72"), std::string::npos) << k1.out;
        EXPECT_NE(k1.out.find("words read: 144 of 144"), std::string::npos) << k1.out;
    }
}

TEST(GammaCli, UpdatePrintsPreviewsAndPlots) {
    TempDir dir;
    const std::string ex = std::string(MORVIK_SOURCE_DIR) + "/examples/gamma/";
    const auto png = dir.path() / "p.png";
    const CliRun r = morvik(dir, "gamma update " + ex + "gamma22.csv --tone " + ex + "contrast_tone.txt --png " + png.string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("gamma       28  39  53"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("tone 2: identity"), std::string::npos);
    EXPECT_NE(r.out.find("tone 1 red"), std::string::npos);
    EXPECT_EQ(slurp(png).substr(1, 3), "PNG");
}

TEST(GammaCli, BadInputExits2AndLeavesNothing) {
    TempDir dir;
    spit(dir.path() / "three.txt", "1 2 3\n");
    spit(dir.path() / "big.txt", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 256\n");
    const auto out = dir.path() / "out.txt";
    const std::string d = dir.path().string() + "/";
    const CliRun few = morvik(dir, "gamma to-kt2 " + d + "three.txt -o " + out.string());
    EXPECT_EQ(few.status, 2);
    EXPECT_NE(few.err.find("expected 20 values, found 3"), std::string::npos) << few.err;
    const CliRun big = morvik(dir, "gamma update " + d + "big.txt --png " + out.string());
    EXPECT_EQ(big.status, 2);
    EXPECT_NE(big.err.find("big.txt:1: \"256\" is not an integer in 0..255"), std::string::npos) << big.err;
    EXPECT_EQ(morvik(dir, "gamma to-kt1 " + d).status, 2);
    EXPECT_EQ(morvik(dir, "gamma to-kt1 " + d + "missing.txt").status, 2);
    spit(dir.path() / "ok.txt", "2 4 8 16 24 32 40 48 56 64 80 96 112 128 144 160 192 208 224 240\n");
    EXPECT_EQ(morvik(dir, "gamma to-kt2 " + d + "ok.txt -o " + d + "no/such/folder.txt").status, 2);
    EXPECT_FALSE(std::filesystem::exists(out));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

}  // namespace cli

}  // namespace
