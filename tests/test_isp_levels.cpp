// Register and level conversions: each SET against a plain model that packs
// the words with its own shifts and masks, bits outside each SET's fields
// kept, round trips over every level, hand edits flagged, warnings' text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "frame/maths.h"
#include "isp_levels/fields.h"
#include "isp_levels/levels.h"
#include "morvik/morvik.h"
#include "support.h"

namespace {

using Words = std::vector<std::uint32_t>;

Words random_block(std::mt19937& rng, std::size_t n) {
    Words w(n);
    for (auto& x : w) x = static_cast<std::uint32_t>(rng());
    return w;
}

// v into bits [shift, shift + width) of x.
void pack(std::uint32_t& x, int shift, int width, std::int64_t v) {
    const std::uint32_t m = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1u;
    x = (x & ~(m << shift)) | ((static_cast<std::uint32_t>(v) & m) << shift);
}
std::uint32_t bits(std::uint32_t x, int shift, int width) { return (x >> shift) & ((1u << width) - 1u); }
int to_int(double x) { return static_cast<int>(x); }

// Words differ only inside `owned` (word index -> mask of bits a SET may write).
void expect_only_owned(const Words& before, const Words& after, const std::vector<std::pair<int, std::uint32_t>>& owned,
                       const std::string& what) {
    for (std::size_t i = 0; i < before.size(); ++i) {
        std::uint32_t mask = 0;
        for (const auto& [word, m] : owned)
            if (std::size_t(word) == i) mask |= m;
        ASSERT_EQ((before[i] ^ after[i]) & ~mask, 0u) << what << ": word " << i;
    }
}

// Standard output of a scope: text() ends the capture (also ended if an
// assertion leaves the scope early).
class StdoutCapture {
public:
    StdoutCapture() { testing::internal::CaptureStdout(); }
    ~StdoutCapture() {
        if (active_) testing::internal::GetCapturedStdout();
    }
    std::string text() {
        active_ = false;
        return testing::internal::GetCapturedStdout();
    }

private:
    bool active_ = true;
};

std::string captured(const std::function<void()>& body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}

// ------------------------------------------------------------ field layer

TEST(IspFields, PutWritesOnlyItsBitsAndGetReadsThemBack) {
    using namespace morvik::isp_levels;
    std::mt19937 rng(1);
    for (int trial = 0; trial < 20000; ++trial) {
        const std::uint8_t width = std::uint8_t(1 + rng() % 32);
        const std::uint8_t copies = width <= 8 ? std::uint8_t(1 + rng() % (32 / width)) : 1;
        const std::uint8_t stride = width;
        const std::uint8_t shift = std::uint8_t(rng() % (33 - width * copies));
        const Field f{std::uint16_t(rng() % 4), shift, width, bool(rng() & 1), copies, stride};
        Words w = random_block(rng, 4);
        const Words before = w;
        const std::int64_t value = std::int64_t(std::int32_t(rng()));
        put(w, f, value);
        const std::uint64_t m = width == 32 ? 0xFFFFFFFFull : (1ull << width) - 1;
        const std::uint64_t raw = std::uint64_t(value) & m;
        const std::int64_t expect = f.is_signed && (raw >> (width - 1)) ? std::int64_t(raw) - std::int64_t(m) - 1
                                                                        : std::int64_t(raw);
        std::uint32_t owned = 0;
        for (unsigned c = 0; c < copies; ++c) {
            ASSERT_EQ(get(w, f, c), expect);
            owned |= std::uint32_t(m << (shift + c * stride));
        }
        for (std::size_t i = 0; i < 4; ++i)
            ASSERT_EQ((w[i] ^ before[i]) & ~(i == f.word ? owned : 0u), 0u);
        ASSERT_TRUE(same(w, w, f));
    }
}

// The block tables themselves: fields of one block never overlap, except
// the deliberate views of the noise-mode bits.
TEST(IspFields, BlockTablesHaveNoOverlappingFields) {
    using namespace morvik::isp_levels;
    auto check = [](const auto& table, std::size_t words, std::vector<std::size_t> skip) {
        std::vector<std::uint32_t> used(words);
        for (std::size_t i = 0; i < std::size(table); ++i) {
            if (std::find(skip.begin(), skip.end(), i) != skip.end()) continue;
            const Field& f = table[i].field;
            ASSERT_LT(f.word, words) << table[i].name;
            for (unsigned c = 0; c < f.copies; ++c) {
                ASSERT_LE(f.shift_of(c) + f.width, 32u) << table[i].name;
                const std::uint32_t m = f.mask() << f.shift_of(c);
                ASSERT_EQ(used[f.word] & m, 0u) << table[i].name;
                used[f.word] |= m;
            }
        }
    };
    check(dm::kFields, dm::kWords, {});
    check(ee::kFields, ee::kWords, {});
    check(anr::kFields, anr::kWords, {anr::mode_bit4, anr::mode_bit5});
    check(ccr::kFields, ccr::kWords, {});
}

// ------------------------------------------------------------ demosaic

struct DmRowModel {
    int fb, fa, f, g, h, base, k, d, e;
};
// The slider table, typed again from the column lists.
DmRowModel dm_row(int s) {
    static const int fb[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0};
    static const int f[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 12, 12, 12};
    static const int g[16] = {0, 1, 1, 2, 3, 4, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23};
    static const int e[16] = {14, 14, 13, 13, 12, 12, 11, 11, 10, 10, 9, 9, 8, 7, 6, 5};
    return {fb[s], s == 0 ? 0 : 1, f[s], g[s], s == 0 ? 0 : 3 * s - 1, 16 - s, 19 - s, 19 - s, e[s]};
}

void dm_model(Words& w, int s1, int s2) {
    const DmRowModel r = dm_row(s1);
    pack(w[4], 31, 1, r.fb);
    pack(w[3], 31, 1, r.fa);
    pack(w[17], 0, 8, r.f);
    pack(w[20], 0, 9, r.g);
    pack(w[20], 12, 9, r.h);
    int level = r.base + 2 * s2;
    if (level < 1) level = 0;
    for (int c = 0; c < 5; ++c) {
        pack(w[10], 5 * c, 5, level);
        pack(w[11], 5 * c, 5, r.k);
        pack(w[12], 5 * c, 5, r.d);
        pack(w[13], 5 * c, 5, r.e);
    }
}

TEST(IspDm, SetMatchesModelKeepsOtherBitsAndReadsBack) {
    std::mt19937 rng(2);
    for (int s1 = 0; s1 < 16; ++s1)
        for (int s2 = -5; s2 <= 5; ++s2) {
            Words w = random_block(rng, 21);
            const Words before = w;
            Words model = w;
            ASSERT_EQ(ISP_KT2_DM_ALLSLIDER_REG(w.data(), s1, s2), 0);
            dm_model(model, s1, s2);
            ASSERT_EQ(w, model) << s1 << " " << s2;
            expect_only_owned(before, w,
                              {{3, 1u << 31}, {4, 1u << 31}, {10, 0x1FFFFFF}, {11, 0x1FFFFFF}, {12, 0x1FFFFFF},
                               {13, 0x1FFFFFF}, {17, 0xFF}, {20, 0x1FF | 0x1FF << 12}},
                              "DM");
            if (s2 < -3 || s2 > 3) continue;
            int r1 = -1, r2 = -1, modified = -1;
            const std::string out = captured([&] { ISP_KT2_DM_REG_ALLSLIDER(w.data(), &r1, &r2, &modified); });
            EXPECT_EQ(r1, s1);
            // Where several offsets give level 0 the largest of them is read.
            int expect2 = s2;
            const int base = 16 - s1;
            if (base + 2 * s2 < 1)
                for (int n = 3; n >= -3; --n)
                    if (base + 2 * n < 1) {
                        expect2 = n;
                        break;
                    }
            EXPECT_EQ(r2, expect2) << s1 << " " << s2;
            EXPECT_EQ(modified, 0);
            EXPECT_EQ(out, "");
        }
}

TEST(IspDm, ReverseTakesNearestRowLowerOnTiesAndHalvesUnmatchedLevels) {
    std::mt19937 rng(3);
    int ties = 0;
    std::string expected_out;
    StdoutCapture capture;
    for (int trial = 0; trial < 4000; ++trial) {
        Words w = random_block(rng, 21);
        // Each field from one of two neighbouring rows, so that distances tie often.
        const int s = int(rng() % 15);
        const DmRowModel lo = dm_row(s), hi = dm_row(s + 1);
        auto pick = [&](int a, int b) { return (rng() & 1) ? a : b; };
        pack(w[4], 31, 1, pick(lo.fb, hi.fb));
        pack(w[3], 31, 1, pick(lo.fa, hi.fa));
        pack(w[17], 0, 8, pick(lo.f, hi.f));
        pack(w[20], 0, 9, pick(lo.g, hi.g));
        pack(w[20], 12, 9, pick(lo.h, hi.h));
        pack(w[11], 0, 5, pick(lo.k, hi.k));
        pack(w[12], 0, 5, pick(lo.d, hi.d));
        pack(w[13], 0, 5, pick(lo.e, hi.e));
        pack(w[10], 0, 5, int(rng() % 32));

        const int got[8] = {int(bits(w[20], 0, 9)),  int(bits(w[20], 12, 9)), int(bits(w[11], 0, 5)),
                            int(bits(w[12], 0, 5)),  int(bits(w[13], 0, 5)),  int(bits(w[17], 0, 8)),
                            int(bits(w[3], 31, 1)), int(bits(w[4], 31, 1))};
        int best = 1 << 30, row = -1, count_best = 0;
        for (int r = 0; r < 16; ++r) {
            const DmRowModel m = dm_row(r);
            const int want[8] = {m.g, m.h, m.k, m.d, m.e, m.f, m.fa, m.fb};
            int dist = 0;
            for (int i = 0; i < 8; ++i) dist += std::abs(got[i] - want[i]);
            if (dist < best) best = dist, row = r, count_best = 1;
            else if (dist == best) ++count_best;
        }
        ties += count_best > 1;
        const int v = int(bits(w[10], 0, 5)), base = dm_row(row).base;
        int level_n = 99;
        for (int n = 3; n >= -3 && level_n == 99; --n)
            if (v == std::max(0, base + 2 * n < 1 ? 0 : base + 2 * n)) level_n = n;
        const int expect2 = level_n != 99 ? level_n : std::clamp((v - base) >> 1, -3, 3);
        const bool expect_modified = best != 0 || level_n == 99;

        int r1 = -1, r2 = -1, modified = -1;
        ISP_KT2_DM_REG_ALLSLIDER(w.data(), &r1, &r2, &modified);
        ASSERT_EQ(r1, row);
        ASSERT_EQ(r2, expect2);
        ASSERT_EQ(modified, expect_modified ? 1 : 0);
        if (expect_modified)
            expected_out += "Warning: DM parameters are been modified after deciding DM sliders.\t"
                            "Closest slider values will be used.\n";
    }
    ASSERT_EQ(capture.text(), expected_out);
    EXPECT_GT(ties, 50);

    // Row 0 (base 16) with an odd level 15: halved toward minus infinity.
    Words w(21, 0);
    ISP_KT2_DM_ALLSLIDER_REG(w.data(), 0, 0);
    pack(w[10], 0, 5, 15);
    int r1, r2, modified;
    captured([&] { ISP_KT2_DM_REG_ALLSLIDER(w.data(), &r1, &r2, &modified); });
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(modified, 1);
}

TEST(IspDm, RejectsSlidersOutsideTheTableAndNullPointers) {
    Words w(21, 0xA5A5A5A5u);
    const Words before = w;
    EXPECT_EQ(ISP_KT2_DM_ALLSLIDER_REG(w.data(), 16, 0), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(morvik_last_error(), "DM slider1 is outside 0..15");
    EXPECT_EQ(ISP_KT2_DM_ALLSLIDER_REG(w.data(), -1, 0), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ISP_KT2_DM_ALLSLIDER_REG(nullptr, 3, 0), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(w, before);
    int a = 7, b = 7, m = 7;
    EXPECT_EQ(ISP_KT2_DM_REG_ALLSLIDER(w.data(), &a, nullptr, &m), 0);
    EXPECT_EQ(ISP_KT2_DM_REG_ALLSLIDER(nullptr, &a, &b, &m), 0);
    EXPECT_EQ(a + b + m, 21);
}

// ------------------------------------------------------------ edge enhancement

int slope_model(long long rise, long long run) {
    if (run < 1) run = 1;
    const double q = double(rise) / double(run);
    if (rise > 0) return std::min(to_int(q + 0.5), 127);
    return std::max(to_int(q - 0.5), -127) + 256;
}

void ee_model(Words& w, int p, int q, int r) {
    const int d = p > 40 ? (2 * p - 80) / 3 : 0;
    const int k1 = std::max(p, 8), t = k1 + d;
    const int k2 = t > 164 ? 204 : t + 40;
    const int k3 = t > 164 ? 214 : k2 > 175 ? k2 + 10 : 185;
    const int y1 = std::min(30 * q, r), y2 = std::min(y1 + 40, r), y4 = std::max(r - 150, 0);
    const int m = std::max({0, y1, y2, r, y4});
    const int clip = std::min(to_int(m * 0.2), 255);
    w[4] = (w[4] & 0xFC000000u) | (std::uint32_t(y1) & 1023) << 16;
    w[5] = (w[5] & 0xFC000000u) | (std::uint32_t(y2) & 1023) << 16 | (slope_model(y2 - y1, k1) & 255) << 8 | (k1 & 255);
    w[6] = (w[6] & 0xFC000000u) | (std::uint32_t(r) & 1023) << 16 | (slope_model(r - y2, k2 - k1) & 255) << 8 | k2;
    w[7] = (w[7] & 0xFC000000u) | (std::uint32_t(r) & 1023) << 16 | k3;
    pack(w[8], 8, 8, slope_model(std::max(r - 150, 0) - r, 255 - k3));
    w[9] = (w[9] & 0xFFFF0000u) | std::uint32_t(clip) << 8 | std::uint32_t(clip);
    for (int k = 1; k <= 3; ++k) {
        const int qk = k * k1 / 4;
        const int sub = qk == 0 ? 0 : std::min(to_int(double(y1) / qk + 0.5), 127);
        w[10 + k] = (w[10 + k] & 0xFF000000u) | (slope_model(y2 - y1, k1 - qk) & 255) << 16 |
                    (std::uint32_t(sub) & 255) << 8 | std::uint32_t(qk & 255);
    }
    const std::uint32_t c10 = std::max(clip - 10, 0), c20 = std::max(clip - 20, 0), c30 = std::max(clip - 30, 0);
    w[14] = c10 | c10 << 8 | c20 << 16 | c20 << 24;
    w[15] = (w[15] & 0xFFFF0000u) | c30 << 8 | c30;
}

TEST(IspEe, SetMatchesModelKeepsOtherBitsAndReadsBack) {
    std::mt19937 rng(4);
    const int peaks[] = {0, 1, 29, 30, 31, 39, 40, 69, 70, 100, 149, 150, 151, 209, 210, 211, 250, 255, 300, 512, 1023};
    const std::string warning =
        "Warning: EE parameters are been modified after deciding EE sliders.\tClosest slider values will be used.\n";
    for (int p = 0; p <= 150; ++p) {
        std::string expected_out;
        StdoutCapture capture;
        for (int q = 0; q <= 7; ++q)
            for (int r : peaks) {
                Words w = random_block(rng, 16);
                const Words before = w;
                Words model = w;
                ASSERT_EQ(ISP_KT2_EE_ALLSLIDER_REG(w.data(), p, q, r), 0);
                ee_model(model, p, q, r);
                ASSERT_EQ(w, model) << p << " " << q << " " << r;
                expect_only_owned(before, w,
                                  {{4, 0x3FFFFFF}, {5, 0x3FFFFFF}, {6, 0x3FFFFFF}, {7, 0x3FFFFFF}, {8, 0xFF00},
                                   {9, 0xFFFF}, {11, 0xFFFFFF}, {12, 0xFFFFFF}, {13, 0xFFFFFF}, {14, 0xFFFFFFFF},
                                   {15, 0xFFFF}},
                                  "EE");
                int s1 = -1, s2 = -1, s3 = -1, modified = -1;
                ISP_KT2_EE_REG_ALLSLIDER(w.data(), &s1, &s2, &s3, &modified);
                const int k1 = std::max(p, 8);
                ASSERT_EQ(s1, k1);
                ASSERT_EQ(s2, std::min((std::min(30 * q, r) + 15) / 30, 7));
                ASSERT_EQ(s3, r);
                // From knee 84 on, the sub-knot check expects 20, 40, 60.
                ASSERT_EQ(modified, k1 >= 84 ? 1 : 0) << p << " " << q << " " << r;
                if (k1 >= 84) expected_out += warning;
            }
        ASSERT_EQ(capture.text(), expected_out) << p;
    }
}

TEST(IspEe, EdgeCasesOfTheForwardCurve) {
    Words w(16, 0);
    ISP_KT2_EE_ALLSLIDER_REG(w.data(), 150, 3, 500);
    EXPECT_EQ(bits(w[6], 0, 8), 204u);
    EXPECT_EQ(bits(w[7], 0, 8), 214u);
    EXPECT_EQ(bits(w[7], 8, 8), 0u);  // flat between knots 2 and 3
    // Sub-slopes divide in double: 210 / 4 = 52.5 rounds up to 53.
    ISP_KT2_EE_ALLSLIDER_REG(w.data(), 8, 7, 1023);
    EXPECT_EQ(bits(w[11], 8, 8), 105u);
    EXPECT_EQ(bits(w[12], 8, 8), 53u);
    EXPECT_EQ(bits(w[13], 8, 8), 35u);
    // Q = 0: level 1 and the sub-slopes are 0.
    ISP_KT2_EE_ALLSLIDER_REG(w.data(), 60, 0, 800);
    EXPECT_EQ(bits(w[4], 16, 10), 0u);
    for (int k = 11; k <= 13; ++k) EXPECT_EQ(bits(w[k], 8, 8), 0u);
    // 30Q reaching R: levels 1 and 2 equal R, the slopes to knot 1 are 0.
    ISP_KT2_EE_ALLSLIDER_REG(w.data(), 60, 7, 100);
    EXPECT_EQ(bits(w[4], 16, 10), 100u);
    EXPECT_EQ(bits(w[5], 16, 10), 100u);
    EXPECT_EQ(bits(w[5], 8, 8), 0u);
    for (int k = 11; k <= 13; ++k) EXPECT_EQ(bits(w[k], 16, 8), 0u);
    // Slope 4 in two's complement: truncate(-150 / 70 - 0.5) = -2, stored 254.
    ISP_KT2_EE_ALLSLIDER_REG(w.data(), 60, 2, 800);
    EXPECT_EQ(bits(w[7], 0, 8), 185u);
    EXPECT_EQ(bits(w[8], 8, 8), 254u);
}

TEST(IspEe, HandEditsAreFlaggedAndSlidersCapped) {
    Words w(16, 0);
    ISP_KT2_EE_ALLSLIDER_REG(w.data(), 30, 2, 400);
    int s1, s2, s3, modified;
    const Words good = w;
    // Each field the reverse checks, changed by one.
    const std::pair<int, int> checked[] = {{4, 0}, {4, 16}, {5, 0}, {5, 16}, {6, 0}, {6, 16}, {7, 0}, {7, 16},
                                           {9, 0}, {9, 8},  {14, 0}, {14, 8}, {14, 16}, {14, 24}, {15, 0},
                                           {15, 8}, {11, 0}, {12, 0}, {13, 0}};
    for (const auto& [word, shift] : checked) {
        w = good;
        w[word] ^= 1u << shift;
        const std::string out = captured([&] { ISP_KT2_EE_REG_ALLSLIDER(w.data(), &s1, &s2, &s3, &modified); });
        EXPECT_EQ(modified, 1) << word << ":" << shift;
        EXPECT_FALSE(out.empty());
    }
    // Slopes and word 8 are not checked.
    w = good;
    w[5] ^= 1u << 8;
    w[8] ^= 0xFFFFFFFFu;
    captured([&] { ISP_KT2_EE_REG_ALLSLIDER(w.data(), &s1, &s2, &s3, &modified); });
    EXPECT_EQ(modified, 0);
    // Caps: knot 1 of 200 reads 150, level 1 of 1000 reads 7.
    w = good;
    pack(w[5], 0, 8, 200);
    pack(w[4], 16, 10, 1000);
    captured([&] { ISP_KT2_EE_REG_ALLSLIDER(w.data(), &s1, &s2, &s3, &modified); });
    EXPECT_EQ(s1, 150);
    EXPECT_EQ(s2, 7);
    EXPECT_EQ(modified, 1);
}

// ------------------------------------------------------------ 3D noise reduction

TEST(IspNr3d, NoiseSetsMatchTheLadderAndRoundTrip) {
    using Set = int32_t (*)(uint32_t*, int32_t);
    using Get = int32_t (*)(const uint32_t*, int32_t*);
    const struct {
        Set set;
        Get get;
        int first;
    } channels[] = {{ISP_KT2_NR3D_SET_YNOISE_REG, ISP_KT2_NR3D_YNOISE_GET_LEL, 6},
                    {ISP_KT2_NR3D_SET_UNOISE_REG, ISP_KT2_NR3D_UNOISE_GET_LEL, 9},
                    {ISP_KT2_NR3D_SET_VNOISE_REG, ISP_KT2_NR3D_VNOISE_GET_LEL, 12}};
    std::mt19937 rng(5);
    for (const auto& ch : channels)
        for (int level = -40; level <= 80; ++level) {
            Words w = random_block(rng, 15);
            const Words before = w;
            Words model = w;
            ASSERT_EQ(ch.set(w.data(), level), 0);
            const double scale[5] = {1.0, 0.9, 0.75, 0.65, 0.5};
            for (int k = 0; k < 5; ++k) {
                const int r = to_int(k == 0 ? level + 0.5 : scale[k] * level + 0.5);
                const int t = std::min(2 * r, 31);
                const int word = ch.first + k / 2, byte = (k % 2) * 2;
                pack(model[word], 8 * byte, 5, r);
                pack(model[word], 8 * byte + 8, 5, t);
            }
            ASSERT_EQ(w, model) << level;
            expect_only_owned(before, w, {{ch.first, 0x1F1F1F1F}, {ch.first + 1, 0x1F1F1F1F}, {ch.first + 2, 0x1F1F}},
                              "noise");
            int changed = -1;
            const int got = ch.get(w.data(), &changed);
            EXPECT_EQ(got, to_int(level + 0.5) & 31);
            if (level >= 0 && level <= 31) {
                EXPECT_EQ(changed, 0) << level;
            }
            if (level >= 0 && level <= 31) {
                // Any one of the ten fields edited by hand is flagged.
                for (int f = 0; f < 10; ++f) {
                    Words e = w;
                    e[ch.first + f / 4] ^= 1u << (8 * (f % 4) + int(rng() % 5));
                    EXPECT_EQ(ch.get(e.data(), &changed), f == 0 ? int(bits(e[ch.first], 0, 5)) : level);
                    EXPECT_EQ(changed, 1) << level << " field " << f;
                }
            }
        }
    Words w(15, 0);
    int changed;
    ISP_KT2_NR3D_SET_YNOISE_REG(w.data(), 31);
    EXPECT_EQ(w[6], 31u | 31u << 8 | 28u << 16 | 31u << 24);
    EXPECT_EQ(w[7], 23u | 31u << 8 | 20u << 16 | 31u << 24);
    EXPECT_EQ(w[8], 16u | 31u << 8);
    ISP_KT2_NR3D_SET_YNOISE_REG(w.data(), 10);
    EXPECT_EQ(w[6], 10u | 20u << 8 | 9u << 16 | 18u << 24);
    EXPECT_EQ(w[7], 8u | 16u << 8 | 7u << 16 | 14u << 24);
    EXPECT_EQ(w[8], 5u | 10u << 8);
    ISP_KT2_NR3D_SET_YNOISE_REG(w.data(), 40);
    EXPECT_EQ(ISP_KT2_NR3D_YNOISE_GET_LEL(w.data(), &changed), 8);
    EXPECT_EQ(changed, 1);
}

TEST(IspNr3d, StrengthMixerAndThreshold) {
    std::mt19937 rng(6);
    for (int level = -300; level <= 300; ++level) {
        Words w = random_block(rng, 15);
        Words before = w;
        int changed = -1;
        ASSERT_EQ(ISP_KT2_NR3D_SET_STRENGTH_REG(w.data(), level), 0);
        expect_only_owned(before, w, {{0, 0x1F}}, "strength");
        EXPECT_EQ(ISP_KT2_NR3D_STRENGTH_GET_LEL(w.data(), &changed), level & 31);
        EXPECT_EQ(changed, 0);

        std::uint32_t word = std::uint32_t(rng());
        const std::int32_t mixer = std::int32_t(rng());
        ASSERT_EQ(ISP_KT2_MFLL_SET_MIXER_REG(&word, mixer), 0);
        EXPECT_EQ(ISP_KT2_MFLL_MIXER_GET_LEL(&word, &changed), mixer);
        EXPECT_EQ(changed, 0);

        const std::uint32_t old = word;
        ASSERT_EQ(ISP_KT2_MFLL_SET_MFB_TH_REG(&word, level), 0);
        EXPECT_EQ((old ^ word) & ~0xFF00FF00u, 0u);
        const int t = level & 255;
        const int step = t < 12 ? 5 : std::max(5 - (t - 12) / 4, 3);
        EXPECT_EQ(bits(word, 8, 8), std::uint32_t(step)) << level;
        EXPECT_EQ(ISP_KT2_MFLL_MFB_TH_GET_LEL(&word, &changed), t);
        EXPECT_EQ(changed, 0);
        word ^= 1u << 9;
        ISP_KT2_MFLL_MFB_TH_GET_LEL(&word, &changed);
        EXPECT_EQ(changed, 1);
    }
    const std::pair<int, int> steps[] = {{11, 5}, {12, 5}, {15, 5}, {16, 4}, {19, 4}, {20, 3}, {36, 3}, {255, 3}};
    for (const auto& [t, step] : steps) {
        std::uint32_t word = 0;
        ISP_KT2_MFLL_SET_MFB_TH_REG(&word, t);
        EXPECT_EQ(word, std::uint32_t(t) << 24 | std::uint32_t(step) << 8);
    }
}

// ------------------------------------------------------------ spatial noise reduction

// Thresholds from a plain scan over the weights of every distance.
std::uint32_t thresholds_model(long long spread) {
    const double sigma = spread / 64.0;
    int weight[256] = {};
    for (int i = 0; i < 256 && sigma != 0; ++i)
        weight[i] = to_int(4 * morvik::maths::exp(-double(i * i) / (2 * sigma * sigma)) + 0.5);
    std::uint32_t u[6] = {};
    for (int k = 4; k >= 1; --k) {
        u[k] = k == 4 ? 0 : u[k + 1];
        for (int i = 0; i < 256; ++i)
            if (weight[i] == k) u[k] = std::uint32_t(i);
    }
    return u[4] | u[3] << 8 | u[2] << 16 | u[1] << 24;
}

long long luma_spread(int l) { return static_cast<long long>(48 * morvik::maths::pow(l, 1.1)); }
long long chroma_spread(int l, bool extended) {
    long long x = static_cast<long long>(64 * morvik::maths::pow(l / 2.0, 1.3) + 0.5) + 20;
    return extended ? static_cast<long long>(1.2 * x + 0.5) : x;
}

TEST(IspAnr, ThresholdWordsMatchThePlainModelForEverySpreadTheSetsProduce) {
    using morvik::isp_levels::threshold_word;
    for (int l = 0; l <= 200; ++l) {
        for (long long x : {luma_spread(l), chroma_spread(l, false), chroma_spread(l, true)})
            ASSERT_EQ(threshold_word(x), thresholds_model(x)) << "spread " << x;
    }
    for (long long x = 0; x <= 6000; ++x) ASSERT_EQ(threshold_word(x), thresholds_model(x)) << x;
    EXPECT_EQ(luma_spread(64), 4656);
    EXPECT_EQ(threshold_word(4656), 37u | 70u << 8 | 101u << 16 | 148u << 24);
    EXPECT_EQ(chroma_spread(0, false), 20);
    EXPECT_EQ(threshold_word(20), 0u);
    EXPECT_EQ(threshold_word(0), 0u);
}

void luma_model(Words& w, int l, int m) {
    static const int table[21] = {0, 1, 2, 3, 3, 4, 5, 6, 7, 9, 11, 12, 14, 15, 15, 16, 16, 16, 16, 16, 16};
    pack(w[4], 8, 5, 10);
    pack(w[3], 8, 5, l > 20 ? 16 : table[l]);
    w[5] = (w[5] & 0xFF000000u) | 40u | 100u << 8 | 160u << 16;
    w[6] = (w[6] & ~0x1F1F1F1Fu) | 16u | 16u << 8 | 16u << 16 | 8u << 24;
    w[7] = (w[7] & ~0x1F1F1F1Fu) | 28u << 16 | 30u << 24;
    pack(w[3], 0, 5, l < 3 ? 0 : l <= 14 ? 1 : 2);
    pack(w[3], 16, 4, l < 15 ? 0 : 2);
    pack(w[3], 24, 4, l < 3 ? 6 : 9);
    pack(w[0], 4, 2, l >= 16 ? 2 : m >= 6 ? 1 : 0);
    w[8] = thresholds_model(luma_spread(l));
    if (w[0] & (1u << 12)) pack(w[0], 8, 3, l <= 3 ? 3 : l <= 8 ? 4 : 5);
    const int v = std::max(to_int(0.6 * (w[10] >> 24) + 1.4 * (w[8] >> 24)), 20);
    pack(w[9], 16, 8, v);
    pack(w[16], 0, 8, to_int(1.5 * l + 7.0));
    pack(w[16], 16, 5, l > 20 ? 0 : 20 - l);
}

void chroma_model(Words& w, int l) {
    pack(w[9], 8, 5, l < 6 ? 2 : 2 + 7 * (l - 6) / 13);
    pack(w[0], 4, 1, l < 6 ? 0 : 1);
    if ((w[0] & 0x30) == 0x30) w[0] &= ~0x10u;
    w[10] = thresholds_model(chroma_spread(l, (w[0] >> 12) & 1));
    const int v = to_int(1.4 * (w[8] >> 24) + 0.6 * (w[10] >> 24)) & 255;
    pack(w[9], 16, 8, std::max(v, 20));
}

const std::vector<std::pair<int, std::uint32_t>> kLumaOwned = {
    {0, 0x730}, {3, 0x0F0F1F1F}, {4, 0x1F00}, {5, 0xFFFFFF}, {6, 0x1F1F1F1F}, {7, 0x1F1F1F1F},
    {8, 0xFFFFFFFF}, {9, 0xFF0000}, {16, 0x1F00FF}};
const std::vector<std::pair<int, std::uint32_t>> kChromaOwned = {{0, 0x10}, {9, 0xFF1F00}, {10, 0xFFFFFFFF}};

TEST(IspAnr, NoiseSetsMatchModelsAndKeepOtherBits) {
    std::mt19937 rng(7);
    for (int l = 0; l <= 120; ++l)
        for (int rep = 0; rep < 4; ++rep) {
            const int m = int(rng() % 12);
            Words w = random_block(rng, 18);
            Words before = w, model = w;
            ASSERT_EQ(ISP_KT2_ANR_SET_Y_NOISE_REG(w.data(), l, m), 0);
            luma_model(model, l, m);
            ASSERT_EQ(w, model) << "luma " << l;
            expect_only_owned(before, w, kLumaOwned, "luma");

            before = w;
            model = w;
            ASSERT_EQ(ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), l), 0);
            chroma_model(model, l);
            ASSERT_EQ(w, model) << "chroma " << l;
            expect_only_owned(before, w, kChromaOwned, "chroma");
        }
    Words w(18, 0);
    ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), 10);
    EXPECT_EQ(w[10], 4u | 8u << 8 | 11u << 16 | 17u << 24);
    ISP_KT2_ANR_SET_Y_NOISE_REG(w.data(), 10, 0);
    EXPECT_EQ(w[8], 4u | 9u << 8 | 13u << 16 | 19u << 24);
    for (auto [l, field] : {std::pair{6, 2}, {62, 0}, {63, 0}, {64, 1}}) {
        ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), l);
        EXPECT_EQ(bits(w[9], 8, 5), std::uint32_t(field)) << l;
    }
    // 1.4 x 45 + 0.6 x 0 is just below 63 in double.
    w.assign(18, 0);
    w[8] = 45u << 24;
    ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), 0);
    EXPECT_EQ(bits(w[9], 16, 8), 62u);
    // Negative levels have no spread.
    const Words kept = w;
    EXPECT_EQ(ISP_KT2_ANR_SET_Y_NOISE_REG(w.data(), -1, 0), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), -1), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(w, kept);
}

TEST(IspAnr, NoiseGetsFindEveryLevelAndFlagHandEdits) {
    std::mt19937 rng(8);
    for (int l = 0; l <= 64; ++l) {
        Words w = random_block(rng, 18);
        w[0] &= ~(1u << 12);
        ISP_KT2_ANR_SET_Y_NOISE_REG(w.data(), l, int(rng() % 12));
        ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), l);
        int changed = -1;
        EXPECT_EQ(ISP_KT2_ANR_Y_NOISE_GET_LEL(w.data(), &changed), l);
        EXPECT_EQ(changed, 0);
        EXPECT_EQ(ISP_KT2_ANR_C_NOISE_GET_LEL(w.data(), &changed), l);
        EXPECT_EQ(changed, 0);

        // Each compared luma field edited: flagged, with the fallback level.
        const std::pair<int, int> luma_fields[] = {{4, 8},  {3, 0},  {3, 8},  {3, 16}, {3, 24}, {8, 0},  {8, 24},
                                                   {16, 0}, {16, 16}, {5, 0}, {5, 16}, {6, 0},  {6, 24}, {7, 16}};
        for (const auto& [word, shift] : luma_fields) {
            Words e = w;
            e[word] ^= 1u << shift;
            const int level = ISP_KT2_ANR_Y_NOISE_GET_LEL(e.data(), &changed);
            EXPECT_EQ(changed, 1) << l << " " << word << ":" << shift;
            int expect = 64;
            for (int k = 0; k <= 64; ++k)
                if (thresholds_model(luma_spread(k)) >> 24 >= e[8] >> 24) {
                    expect = k;
                    break;
                }
            EXPECT_EQ(level, expect);
        }
        // Fields the luma search does not compare.
        Words e = w;
        e[0] ^= 0xFFFFFFFFu;
        e[9] ^= 0xFFFFFFFFu;
        ISP_KT2_ANR_Y_NOISE_GET_LEL(e.data(), &changed);
        EXPECT_EQ(changed, 0);
        e = w;
        e[9] ^= 1u << 8;
        ISP_KT2_ANR_C_NOISE_GET_LEL(e.data(), &changed);
        EXPECT_EQ(changed, 1);
    }
    // A block written with the extended flag is compared as if it were clear.
    Words w(18, 0);
    w[0] = 1u << 12;
    ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), 30);
    int changed = -1;
    const int level = ISP_KT2_ANR_C_NOISE_GET_LEL(w.data(), &changed);
    EXPECT_EQ(changed, 1);
    EXPECT_GT(level, 30);
}

TEST(IspAnr, StrengthsRoundTripAndFlagEdits) {
    std::mt19937 rng(9);
    for (int s = -200; s <= 300; ++s) {
        Words w = random_block(rng, 18);
        const Words before = w;
        int changed = -1;
        ASSERT_EQ(ISP_KT2_ANR_SET_Y_STRENGTH_REG(w.data(), s), 0);
        ASSERT_EQ(ISP_KT2_ANR_SET_C_STRENGTH_REG(w.data(), s), 0);
        expect_only_owned(before, w, {{16, 0x7F007F00}, {17, 0x7F1F7FFF}}, "strength");
        const int v = s & 127;
        EXPECT_EQ(bits(w[16], 24, 7), std::uint32_t(to_int(0.6 * v)));
        EXPECT_EQ(w[17] & 0x7F1F7FFF, std::uint32_t(v) << 8 | std::uint32_t(v) << 24);
        EXPECT_EQ(ISP_KT2_ANR_Y_STR_GET_LEL(w.data(), &changed), v);
        EXPECT_EQ(changed, 0);
        EXPECT_EQ(ISP_KT2_ANR_C_STR_GET_LEL(w.data(), &changed), v);
        EXPECT_EQ(changed, 0);
        Words e = w;
        e[16] ^= 1u << 24;
        ISP_KT2_ANR_Y_STR_GET_LEL(e.data(), &changed);
        EXPECT_EQ(changed, 1);
        for (int bit : {0, 7, 16, 20, 24}) {
            e = w;
            e[17] ^= 1u << bit;
            ISP_KT2_ANR_C_STR_GET_LEL(e.data(), &changed);
            EXPECT_EQ(changed, 1) << bit;
        }
    }
}

// ------------------------------------------------------------ chroma reduction

void ccr_model(Words& w, int l) {
    const int a = to_int(1.8 * l + 16), b = to_int(1.8 * l + 32);
    const int c = to_int(21 - 12.0 * l / 64), d = to_int(48 - 0.75 * l);
    const int g = to_int(32.0 * (58 - d) / std::max(a, 1) + 0.5), h = to_int(32.0 * 6 / std::max(b - a, 1) + 0.5);
    pack(w[0], 24, 8, 224);
    pack(w[0], 8, 1, 1);
    pack(w[1], 0, 8, a);
    pack(w[1], 8, 8, b > 224 ? 223 : b);
    pack(w[1], 16, 7, h);
    pack(w[1], 24, 7, 58);
    pack(w[2], 0, 8, 0);
    pack(w[2], 8, 8, 99);
    pack(w[2], 16, 7, c);
    pack(w[2], 24, 7, 64);
    pack(w[3], 0, 7, g);
    w[3] = (w[3] & ~0x7F00u) | 1u << 8 | 1u << 11 | 1u << 12;
    pack(w[3], 16, 7, d);
    pack(w[3], 24, 7, 64);
}

TEST(IspCcr, SetMatchesModelAndRoundTrips) {
    std::mt19937 rng(10);
    for (int l = -100; l <= 200; ++l) {
        Words w = random_block(rng, 4);
        const Words before = w;
        Words model = w;
        ASSERT_EQ(ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(w.data(), l), 0);
        ccr_model(model, l);
        ASSERT_EQ(w, model) << l;
        expect_only_owned(before, w, {{0, 0xFF000100}, {1, 0x7F7FFFFF}, {2, 0x7F7FFFFF}, {3, 0x7F7F7F7F}}, "ccr");
        int changed = -1;
        const int got = ISP_KT2_CHROMA_REDUCT_GET_LEL(w.data(), &changed);
        if (l >= 0 && l <= 64) {
            EXPECT_EQ(got, l);
            EXPECT_EQ(changed, 0);
            for (int word = 0; word < 4; ++word)
                for (int bit = 0; bit < 32; ++bit) {
                    Words e = w;
                    e[word] ^= 1u << bit;
                    ISP_KT2_CHROMA_REDUCT_GET_LEL(e.data(), &changed);
                    const bool compared = ((word == 0 ? 0xFF000100u : word == 3 ? 0x7F7F7F7Fu : 0x7F7FFFFFu) >> bit) & 1;
                    EXPECT_EQ(changed, compared ? 1 : 0) << l << " " << word << ":" << bit;
                }
        } else {
            EXPECT_EQ(changed, 1);
        }
    }
    Words w(4, 0);
    ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(w.data(), 0);
    EXPECT_EQ(w[1], 16u | 32u << 8 | 12u << 16 | 58u << 24);
    EXPECT_EQ(bits(w[2], 16, 7), 21u);
    EXPECT_EQ(w[3], 20u | 25u << 8 | 48u << 16 | 64u << 24);
    ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(w.data(), 1);
    EXPECT_EQ(w[1] & 0xFFFF, 17u | 33u << 8);
    EXPECT_EQ(w[3], 21u | 25u << 8 | 47u << 16 | 64u << 24);
    // b: 224 at level 107 is kept, 226 at 108 becomes 223.
    ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(w.data(), 107);
    EXPECT_EQ(bits(w[1], 8, 8), 224u);
    ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(w.data(), 108);
    EXPECT_EQ(bits(w[1], 8, 8), 223u);
    // Word 3 bit 15 keeps its value.
    w[3] |= 1u << 15;
    ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(w.data(), 5);
    EXPECT_NE(w[3] & (1u << 15), 0u);
    int changed = -1;
    pack(w[1], 0, 8, 255);
    EXPECT_EQ(ISP_KT2_CHROMA_REDUCT_GET_LEL(w.data(), &changed), 64);
    EXPECT_EQ(changed, 1);
}

// ------------------------------------------------------------ saturation

TEST(IspSat, SetShiftsEveryBinOfOneTableAndClamps) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 300; ++trial) {
        Words w = random_block(rng, 545);
        const int t = int(rng() % 3);
        const int level = trial < 5 ? std::int32_t(rng()) : int(rng() % 400) - 200;
        const Words before = w;
        ASSERT_EQ(ISP_KT2_ANR_SET_SATURATION_REG(w.data(), level, t), 0);
        std::vector<std::pair<int, std::uint32_t>> owned = {{t, 0xFFFFFFFF}};
        for (int i = 0; i < 180; ++i) {
            const int word = 5 + 180 * t + i;
            owned.push_back({word, 0xFF00});
            const long long s = std::clamp<long long>(
                static_cast<std::int8_t>(bits(before[word], 8, 8)) - static_cast<long long>(std::int32_t(before[t])) + level,
                -127, 127);
            ASSERT_EQ(bits(w[word], 8, 8), std::uint32_t(s) & 255);
        }
        expect_only_owned(before, w, owned, "saturation");
        EXPECT_EQ(ISP_KT2_PCA_SAT_GET_LEL(w.data(), t), level);
    }
    Words w(545, 0);
    pack(w[5 + 7], 8, 8, 120);
    ISP_KT2_ANR_SET_SATURATION_REG(w.data(), 20, 0);
    EXPECT_EQ(bits(w[5 + 7], 8, 8), 127u);
    ISP_KT2_ANR_SET_SATURATION_REG(w.data(), -300, 0);
    EXPECT_EQ(bits(w[5 + 7], 8, 8), std::uint32_t(-127 & 255));
    const Words kept = w;
    EXPECT_EQ(ISP_KT2_ANR_SET_SATURATION_REG(w.data(), 1, 3), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ISP_KT2_PCA_SAT_GET_LEL(w.data(), -1), 0);
    EXPECT_EQ(w, kept);
}

TEST(IspExports, NullPointersWriteNothing) {
    using Set = int32_t (*)(uint32_t*, int32_t);
    using Get = int32_t (*)(const uint32_t*, int32_t*);
    for (Set set : {ISP_KT2_NR3D_SET_STRENGTH_REG, ISP_KT2_NR3D_SET_YNOISE_REG, ISP_KT2_NR3D_SET_UNOISE_REG,
                    ISP_KT2_NR3D_SET_VNOISE_REG, ISP_KT2_MFLL_SET_MIXER_REG, ISP_KT2_MFLL_SET_MFB_TH_REG,
                    ISP_KT2_ANR_SET_Y_STRENGTH_REG, ISP_KT2_ANR_SET_C_STRENGTH_REG, ISP_KT2_ANR_SET_C_NOISE_REG,
                    ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG}) {
        EXPECT_EQ(set(nullptr, 3), MORVIK_STATUS_INVALID_ARGUMENT);
        EXPECT_STREQ(morvik_last_error(), "a register block or result pointer is null");
    }
    EXPECT_EQ(ISP_KT2_ANR_SET_Y_NOISE_REG(nullptr, 3, 0), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ISP_KT2_EE_ALLSLIDER_REG(nullptr, 3, 0, 0), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ISP_KT2_ANR_SET_SATURATION_REG(nullptr, 3, 0), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ISP_KT2_PCA_SAT_GET_LEL(nullptr, 0), 0);
    Words w(545, 0xFFFFFFFFu);
    for (Get get : {ISP_KT2_NR3D_STRENGTH_GET_LEL, ISP_KT2_NR3D_YNOISE_GET_LEL, ISP_KT2_NR3D_UNOISE_GET_LEL,
                    ISP_KT2_NR3D_VNOISE_GET_LEL, ISP_KT2_MFLL_MIXER_GET_LEL, ISP_KT2_MFLL_MFB_TH_GET_LEL,
                    ISP_KT2_ANR_Y_STR_GET_LEL, ISP_KT2_ANR_C_STR_GET_LEL, ISP_KT2_ANR_Y_NOISE_GET_LEL,
                    ISP_KT2_ANR_C_NOISE_GET_LEL, ISP_KT2_CHROMA_REDUCT_GET_LEL}) {
        int changed = 5;
        EXPECT_EQ(get(nullptr, &changed), 0);
        EXPECT_EQ(get(w.data(), nullptr), 0);
        EXPECT_EQ(changed, 5);
    }
    int a = 5, b = 5, c = 5, m = 5;
    EXPECT_EQ(ISP_KT2_EE_REG_ALLSLIDER(w.data(), &a, &b, &c, nullptr), 0);
    EXPECT_EQ(a + b + c + m, 20);
}

// ------------------------------------------------------------ CLI

struct CliRun {
    int status = -1;
    std::string out, err;
};

CliRun run_cli(const morvik::test::TempDir& dir, const std::string& args) {
    const auto out = dir.path() / "stdout", err = dir.path() / "stderr";
    const std::string cmd = std::string(MORVIK_CLI) + " " + args + " > " + out.string() + " 2> " + err.string();
    CliRun r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    auto slurp = [](const std::filesystem::path& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

void write_text(const std::filesystem::path& p, const std::string& text) { std::ofstream(p) << text; }

std::string read_text(const std::filesystem::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> folder_entries(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(IspCli, SetReplacesTheBlockKeepingCommentsAndShowReportsEdits) {
    morvik::test::TempDir dir;
    const auto block = dir.path() / "nr3d.txt";
    std::string text = "# 3D noise block\n";
    for (int i = 0; i < 15; ++i) text += "0x00000000   # word " + std::to_string(i) + "\n";
    write_text(block, text);
    const std::string path = block.string();

    CliRun r = run_cli(dir, "isp set " + path + " --kind nr3d ynoise=10 strength=3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("word   0: 0x00000000 -> 0x00000003"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("word   6: 0x00000000 -> 0x1209140A"), std::string::npos) << r.out;
    const std::string written = read_text(block);
    EXPECT_NE(written.find("0x1209140A   # word 6\n"), std::string::npos) << written;
    EXPECT_EQ(written.rfind("# 3D noise block\n", 0), 0u);

    // The block as the library sees it.
    Words w(15, 0);
    ISP_KT2_NR3D_SET_YNOISE_REG(w.data(), 10);
    EXPECT_EQ(w[6], 0x1209140Au);

    // Hand edit of t2, then show.
    std::string edited = written;
    edited.replace(edited.find("0x1209140A"), 10, "0x1109140A");
    write_text(block, edited);
    r = run_cli(dir, "isp show " + path + " --kind nr3d --json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"changed\": true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"t2\""), std::string::npos) << r.out;

    // Dry run and -o leave the block alone; JSON blocks are written as JSON.
    r = run_cli(dir, "isp set " + path + " --kind nr3d vnoise=31 --dry-run");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("dry run: nothing written"), std::string::npos);
    EXPECT_EQ(read_text(block), edited);
    const auto json_block = dir.path() / "mfll.json";
    write_text(json_block, "[\"0x00000000\", 7]");
    r = run_cli(dir, "isp set " + json_block.string() + " --kind mfll threshold=16 -o " + (dir.path() / "out.json").string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_text(json_block), "[\"0x00000000\", 7]");
    const std::string out_json = read_text(dir.path() / "out.json");
    EXPECT_NE(out_json.find("\"0x00000000\""), std::string::npos) << out_json;
    EXPECT_NE(out_json.find(std::to_string(16u << 24 | 4u << 8 | 7u)), std::string::npos) << out_json;
}

TEST(IspCli, BadBlocksAndLevelsAreRefusedAndLeaveNothingBehind) {
    morvik::test::TempDir dir;
    const auto block = dir.path() / "ccr.txt";
    write_text(block, "0x1\n# comment\n0x2\nzz12\n0x4\n");
    CliRun r = run_cli(dir, "isp show " + block.string() + " --kind ccr");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "morvik: " + block.string() + ":4: \"zz12\" is not one 32-bit word (0x%08X or decimal, one per line)\n");

    write_text(block, "1\n2\n3\n");
    r = run_cli(dir, "isp show " + block.string() + " --kind ccr");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "morvik: " + block.string() + ": 3 words, kind ccr needs at least 4\n");

    const auto dm = dir.path() / "dm.txt";
    std::string zeros;
    for (int i = 0; i < 21; ++i) zeros += "0\n";
    write_text(dm, zeros);
    const auto before = folder_entries(dir.path());
    for (const char* args : {"slider1=16", "slider2=x", "slider9=1", "slider1=1 slider1=2", "slider1"}) {
        r = run_cli(dir, "isp set " + dm.string() + " --kind dm " + std::string(args));
        EXPECT_EQ(r.status, 2) << args << " " << r.err;
        EXPECT_EQ(read_text(dm), zeros);
    }
    EXPECT_NE(run_cli(dir, "isp set " + dm.string() + " --kind dm slider1=16").err.find("DM slider1 is outside 0..15"),
              std::string::npos);
    r = run_cli(dir, "isp set " + dm.string() + " --kind dm slider1=2 -o " + (dir.path() / "missing" / "x.txt").string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(folder_entries(dir.path()), before);
    r = run_cli(dir, "isp show " + dm.string() + " --kind zz");
    EXPECT_EQ(r.status, 2);
}

}  // namespace
