// Gamma family: update (E10/E8, composition, previews), KT1 -> KT2 packing
// and the gamma text file, the two ways back, and the file reader.
// Each core is checked against a plain model written here with floor
// divisions instead of shifts.
#include <gtest/gtest.h>

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
using Bases = std::array<std::uint32_t, 145>;
using Packed = std::array<std::uint32_t, 144>;
using Anchors = std::array<std::uint32_t, 20>;

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

std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

template <class Array>
bool all_equal(const Array& a, std::uint32_t v) {
    return std::all_of(a.begin(), a.end(), [&](std::uint32_t x) { return x == v; });
}

void spit(const std::filesystem::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// ---------------------------------------------------------------- update

TEST(GammaUpdate, EvaluationsMatchModelOnEveryInput) {
    std::mt19937 rng(7);
    std::vector<gm::AnchorCurve> curves = {identity_curve(), gm::AnchorCurve{}, {}};
    curves[2].fill(255);  // a flat top
    for (int n = 0; n < 300; ++n) curves.push_back(random_curve(rng, n % 2 == 0));
    for (const auto& a : curves) {
        for (unsigned x = 0; x < 1100; ++x) ASSERT_EQ(gm::evaluate10(a, x), model_eval(a, long(x), 4)) << "x " << x;
        for (unsigned x : {2047u, 65535u}) ASSERT_EQ(gm::evaluate10(a, x), 255);
        for (unsigned x = 0; x < 256; ++x) ASSERT_EQ(gm::evaluate8(a, x), model_eval(a, long(x), 1)) << "x " << x;
    }
}

TEST(GammaUpdate, ExportMatchesModelOnRandomBlocks) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> code(0, 1100), wide(0, 65535), pick(0, 9);
    auto in = std::make_unique<GammaUpdateInput>();
    for (int n = 0; n < 200; ++n) {
        // Block 0: the identity gamma after identity tones.
        const gm::AnchorCurve g = n == 0 ? identity_curve() : random_curve(rng, n % 3 != 0);
        std::copy(g.begin(), g.end(), in->anchors);
        for (auto& tone : in->tone)
            for (int i = 0; i < 1024; ++i) tone[i] = std::uint16_t(n == 0 ? i : pick(rng) == 0 ? wide(rng) : code(rng));
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
    GammaUpdateOutput untouched, copy;
    std::memset(&untouched, 0x5A, sizeof untouched);
    copy = untouched;
    aeZetDllUpateGammaTable(nullptr, &untouched);
    aeZetDllUpateGammaTable(in.get(), nullptr);
    EXPECT_EQ(std::memcmp(&copy, &untouched, sizeof copy), 0);
}

// ---------------------------------------------------------------- KT1 -> KT2

TEST(GammaConvert, CurveFromAnchorsMatchesModel) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<std::uint32_t> ten(0, 1023);
    std::vector<gm::KT1Anchors> cases = {widen(identity_curve()), gm::KT1Anchors{}};
    for (int n = 0; n < 200; ++n) cases.push_back(widen(random_curve(rng, n % 2 == 0)));
    for (int n = 0; n < 20; ++n) {  // anchors beyond 8 bits: values capped at 1023
        cases.emplace_back();
        for (auto& v : cases.back()) v = ten(rng);
    }
    for (const auto& a : cases) {
        const gm::Curve c = gm::curve_from_anchors(a);
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(c[std::size_t(i)], model_kt1_curve(a, i)) << i;
    }
}

// The export packs bases and rises and writes the file (each run overwrites
// it); both ways back give the curve at the anchors with two bits dropped,
// which is the identity exactly (its anchors below 240 sit on i / 4).
TEST(GammaConvert, ExportWritesTheFileAndBothWaysBackGiveTheAnchors) {
    std::mt19937 rng(5);
    TempDir dir;
    const std::string path = (dir.path() / "g.txt").string();
    for (int n = 0; n < 100; ++n) {
        const gm::KT1Anchors a = widen(n == 0 ? identity_curve() : random_curve(rng, n % 4 != 0));
        Bases base{};
        Packed packed{};
        base.fill(0xDEADBEEF);
        ASSERT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), path.c_str()), 0);
        EXPECT_STREQ(morvik_last_error(), "");
        std::string text = "// 12bit --> 10bit Table.\n// Y_Limit = 1023\n// Y_MIN_Limit = 0\n"
                           "// Spline Interpolation.\n// Spline Coeff. = 2.000\n";
        char line[100];
        for (int k = 0; k < 16; ++k) {
            const int x = k == 15 ? 4095 : 256 * k;
            std::snprintf(line, sizeof line, "// X_Position =     %d   Y_Position =     %ld\n", x, model_kt1_curve(a, x));
            text += line;
        }
        for (int e = 0; e < 144; ++e) {
            const Grid g = model_grid(e);
            const long b = model_kt1_curve(a, g.position);
            const long next = model_kt1_curve(a, e == 143 ? 4095 : g.position + g.step);
            const auto word = std::uint32_t((next - b) * 1024 + b);  // 32-bit wrap when falling
            ASSERT_EQ(base[std::size_t(e)], std::uint32_t(b));
            ASSERT_EQ(packed[std::size_t(e)], word) << e;
            std::snprintf(line, sizeof line, "%.4X\n", unsigned(word));
            text += line;
        }
        EXPECT_EQ(base[144], std::uint32_t(model_kt1_curve(a, 4095)));
        ASSERT_EQ(slurp(path), text);

        Anchors back{}, from_file{};
        Bases base2 = base, base3{};
        Packed packed3{};
        ASSERT_EQ(GMA_convert_KT2_to_KT1(packed.data(), back.data(), base2.data()), 0);
        ASSERT_EQ(GMA_convert_KT2_to_KT1_file(path.c_str(), from_file.data(), packed3.data(), base3.data()), 0);
        for (int k = 0; k < 20; ++k) {
            const auto expected = std::uint32_t(model_kt1_curve(a, 16 * kPos[k]) >> 2);
            ASSERT_EQ(back[std::size_t(k)], expected) << k;
            ASSERT_EQ(from_file[std::size_t(k)], expected) << k;
            if (n == 0) { ASSERT_EQ(back[std::size_t(k)], a[std::size_t(k)]); }
        }
        EXPECT_EQ(packed3, packed);
        EXPECT_TRUE(std::equal(base.begin(), base.begin() + 144, base2.begin()));
        EXPECT_TRUE(std::equal(base.begin(), base.begin() + 144, base3.begin()));
        EXPECT_EQ(base2[144], base[144]);  // read, not written
        EXPECT_EQ(base3[144], 0u);         // neither read nor written
    }
}

TEST(GammaConvert, UncreatableFileStillFillsTables) {
    TempDir dir;
    const gm::KT1Anchors a = widen(identity_curve());
    for (const auto& path : {dir.path() / "missing" / "gamma.txt", dir.path()}) {
        Bases base{};
        Packed packed{};
        EXPECT_EQ(GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), path.string().c_str()), 0);
        EXPECT_NE(std::string(morvik_last_error()).find("cannot create"), std::string::npos);
        EXPECT_EQ(base[144], 1020u);
        EXPECT_EQ(packed[1], 0x800u + 2u);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
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

TEST(GammaConvert, RefusalsWriteNothing) {
    Anchors a{};
    Bases base{};
    Packed packed{};
    a.fill(7), base.fill(7), packed.fill(7);
    TempDir dir;
    const std::string path = (dir.path() / "g.txt").string();
    const auto p = path.c_str();
    const int32_t statuses[] = {
        GMA_convert_KT1_to_KT2(nullptr, base.data(), packed.data(), p),
        GMA_convert_KT1_to_KT2(a.data(), nullptr, packed.data(), p),
        GMA_convert_KT1_to_KT2(a.data(), base.data(), nullptr, p),
        GMA_convert_KT1_to_KT2(a.data(), base.data(), packed.data(), nullptr),
        GMA_convert_KT2_to_KT1(nullptr, a.data(), base.data()),
        GMA_convert_KT2_to_KT1(packed.data(), nullptr, base.data()),
        GMA_convert_KT2_to_KT1(packed.data(), a.data(), nullptr),
        (spit(path, "0123\n"), GMA_convert_KT2_to_KT1_file(nullptr, a.data(), packed.data(), base.data())),
        GMA_convert_KT2_to_KT1_file(p, nullptr, packed.data(), base.data()),
        GMA_convert_KT2_to_KT1_file(p, a.data(), nullptr, base.data()),
        GMA_convert_KT2_to_KT1_file(p, a.data(), packed.data(), nullptr)};
    for (int32_t s : statuses) EXPECT_EQ(s, MORVIK_STATUS_INVALID_ARGUMENT);
    // A missing file or a folder cannot be opened.
    for (const auto& q : {dir.path() / "none.txt", dir.path()}) {
        EXPECT_EQ(GMA_convert_KT2_to_KT1_file(q.string().c_str(), a.data(), packed.data(), base.data()),
                  MORVIK_GAMMA_CANNOT_OPEN);
        EXPECT_NE(std::string(morvik_last_error()).find("cannot open"), std::string::npos);
    }
    EXPECT_EQ(slurp(path), "0123\n");
    EXPECT_TRUE(all_equal(a, 7) && all_equal(base, 7) && all_equal(packed, 7));
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

TEST(GammaReader, MatchesModelOnRandomTexts) {
    std::mt19937 rng(23);
    TempDir dir;
    const auto path = dir.path() / "g.txt";
    const std::string alphabet = "0123456789abcdefABCDEFxyz@/# \r\n\n\n\n";
    std::uniform_int_distribution<int> len(0, 40), ch(0, int(alphabet.size()) - 1), no_lf(0, 29), longline(0, 20),
        zero(0, 30);
    for (int n = 0; n < 300; ++n) {
        std::string text;
        const int lines = len(rng) * 5;
        for (int l = 0; l < lines; ++l) {
            // Long lines hold no line feed, so that they pass 253 characters.
            const bool long_line = longline(rng) == 0;
            const int chars = long_line ? 240 + len(rng) * 2 : len(rng) / 4;
            for (int c = 0; c < chars; ++c)
                text += zero(rng) == 0 ? '\0' : alphabet[std::size_t(long_line ? no_lf(rng) : ch(rng))];
            text += '\n';
        }
        if (n % 2 == 1 && !text.empty()) text.pop_back();  // no final line feed
        spit(path, text);
        const auto expected = model_words(text);
        Anchors a{};
        Bases base{};
        Packed got{};
        got.fill(0x12345678);
        ASSERT_EQ(GMA_convert_KT2_to_KT1_file(path.string().c_str(), a.data(), got.data(), base.data()), 0);
        for (std::size_t i = 0; i < 144; ++i) {
            ASSERT_EQ(got[i], i < expected.size() ? expected[i] : 0x12345678u) << "case " << n << " word " << i;
            ASSERT_EQ(base[i], got[i] & 0x3FF);
        }
    }
}

// ---------------------------------------------------------------- CLI

TEST(GammaCli, CommandsExitStatusesAndMessages) {
    TempDir dir;
    const std::string d = dir.path().string() + "/", ex = std::string(MORVIK_SOURCE_DIR) + "/examples/gamma/";
    spit(d + "three.txt", "1 2 3\n");
    spit(d + "big.txt", "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 256\n");
    const struct {
        std::string args;
        int status;
        const char* fragment;
    } cases[] = {
        {"gamma to-kt2 " + ex + "gamma22.json -o " + d + "json.txt --json", 0, "\"anchors\""},
        {"gamma to-kt2 " + ex + "gamma22.csv -o " + d + "csv.txt", 0, ""},
        {"gamma to-kt1 " + d + "csv.txt", 0, "KT1         28  39  53  72"},
        {"gamma to-kt1 " + d + "csv.txt --bases", 0, "words read: 144 of 144"},
        {"gamma update " + ex + "gamma22.csv --tone " + ex + "contrast_tone.txt --png " + d + "p.png", 0,
         "tone 2: identity"},
        {"gamma to-kt2 " + d + "three.txt -o " + d + "bad1.txt", 2, "expected 20 values, found 3"},
        {"gamma update " + d + "big.txt --png " + d + "bad2.png", 2, "big.txt:1: \"256\" is not an integer in 0..255"},
        {"gamma to-kt1 " + d, 2, ""},
    };
    std::string json;
    for (const auto& c : cases) {
        int status = -1;
        const std::string out = morvik::test::run_cli(c.args, status);
        EXPECT_EQ(status, c.status) << c.args << "\n" << out;
        EXPECT_NE(out.find(c.fragment), std::string::npos) << c.args << "\n" << out;
        if (json.empty()) json = out;
    }
    // Both anchor files give the bytes of the export on the same anchors.
    const auto j = nlohmann::json::parse(json)["anchors"].get<std::vector<std::uint32_t>>();
    ASSERT_EQ(j.size(), 20u);
    Bases base{};
    Packed packed{};
    ASSERT_EQ(GMA_convert_KT1_to_KT2(j.data(), base.data(), packed.data(), (d + "direct.txt").c_str()), 0);
    EXPECT_EQ(slurp(d + "json.txt"), slurp(d + "direct.txt"));
    EXPECT_EQ(slurp(d + "csv.txt"), slurp(d + "direct.txt"));
    EXPECT_EQ(slurp(d + "p.png").substr(1, 3), "PNG");
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big.txt", "csv.txt", "direct.txt", "json.txt", "p.png",
                                               "three.txt"}));
}

}  // namespace
