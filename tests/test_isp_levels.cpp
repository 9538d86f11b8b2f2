// Register and level conversions: each SET against a plain model that packs
// the words with its own shifts and masks, bits outside each SET's fields
// kept, round trips over every level, hand edits flagged, warnings' text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/maths.h"
#include "morvik/morvik.h"
#include "support.h"

namespace {

using Words = std::vector<std::uint32_t>;
using Get = int32_t (*)(const uint32_t*, int32_t*);

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
int to_int(double x) { return static_cast<int>(x); }

// `set` on the block w (status 0) leaves what `model` makes of a copy of it.
template <class Set, class Model>
bool set_matches(Words& w, Set set, Model model) {
    Words want = w;
    model(want);
    return set(w.data()) == 0 && w == want;
}

// The level a GET reads and its "changed" flag.
std::pair<int, int> read(Get get, const Words& w) {
    int32_t changed = -1;
    const int level = get(w.data(), &changed);
    return {level, changed};
}

const std::string kDmWarning =
    "Warning: DM parameters are been modified after deciding DM sliders.\tClosest slider values will be used.\n";
const std::string kEeWarning =
    "Warning: EE parameters are been modified after deciding EE sliders.\tClosest slider values will be used.\n";

// Standard output written by `body`.
std::string captured(const std::function<void()>& body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}

// Per word, the bits whose single flip makes a GET report a change.
Words flagged_bits(const Words& w, const std::function<bool(const Words&)>& changed) {
    Words mask(w.size(), 0);
    for (std::size_t i = 0; i < w.size(); ++i)
        for (int b = 0; b < 32; ++b) {
            Words e = w;
            e[i] ^= 1u << b;
            if (changed(e)) mask[i] |= 1u << b;
        }
    return mask;
}
Words flagged_bits(const Words& w, Get get) {
    return flagged_bits(w, [&](const Words& e) { return read(get, e).second == 1; });
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
int dm_level(int base, int n) { return base + 2 * n < 1 ? 0 : base + 2 * n; }

// The DM fields of a row, the level field holding `level`.
void dm_pack(Words& w, const DmRowModel& r, int level) {
    pack(w[4], 31, 1, r.fb);
    pack(w[3], 31, 1, r.fa);
    pack(w[17], 0, 8, r.f);
    pack(w[20], 0, 9, r.g);
    pack(w[20], 12, 9, r.h);
    for (int c = 0; c < 5; ++c) {
        pack(w[10], 5 * c, 5, level);
        pack(w[11], 5 * c, 5, r.k);
        pack(w[12], 5 * c, 5, r.d);
        pack(w[13], 5 * c, 5, r.e);
    }
}

// Blocks the SET writes (against the model, other bits kept) and blocks
// mixing the fields of two neighbouring rows, so that distances tie often.
TEST(IspDm, SetMatchesModelAndReverseTakesNearestRowLowerOnTies) {
    std::mt19937 rng(3);
    int ties = 0;
    std::string expected_out;
    const std::string out = captured([&] {
        for (int trial = 0; trial < 4000; ++trial) {
            Words w = random_block(rng, 21);
            const bool written = trial % 3 == 0;
            const int s = int(rng() % (written ? 16 : 15)), n = int(rng() % 11) - 5;
            const DmRowModel lo = dm_row(s), hi = dm_row(std::min(s + 1, 15));
            auto pick = [&](int a, int b) { return written || (rng() & 1) ? a : b; };
            const DmRowModel mix{pick(lo.fb, hi.fb), pick(lo.fa, hi.fa), pick(lo.f, hi.f), pick(lo.g, hi.g),
                                 pick(lo.h, hi.h),   0,                  pick(lo.k, hi.k), pick(lo.d, hi.d),
                                 pick(lo.e, hi.e)};
            const int v = written ? dm_level(lo.base, n) : int(rng() % 32);
            if (written) {
                ASSERT_TRUE(set_matches(w, [&](uint32_t* b) { return ISP_KT2_DM_ALLSLIDER_REG(b, s, n); },
                                        [&](Words& m) { dm_pack(m, mix, v); })) << s << " " << n;
            } else {
                dm_pack(w, mix, v);
            }
            const int got[8] = {mix.g, mix.h, mix.k, mix.d, mix.e, mix.f, mix.fa, mix.fb};
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
            // Where several offsets give the level the largest of them is read.
            const int base = dm_row(row).base;
            int level_n = 3;
            while (level_n >= -3 && v != dm_level(base, level_n)) --level_n;
            const bool expect_modified = best != 0 || level_n < -3;
            int r1 = -1, r2 = -1, modified = -1;
            ISP_KT2_DM_REG_ALLSLIDER(w.data(), &r1, &r2, &modified);
            ASSERT_EQ(r1, row);
            ASSERT_EQ(r2, level_n >= -3 ? level_n : std::clamp((v - base) >> 1, -3, 3));
            ASSERT_EQ(modified, expect_modified ? 1 : 0);
            if (expect_modified) expected_out += kDmWarning;
        }
    });
    EXPECT_EQ(out, expected_out);
    EXPECT_GT(ties, 50);
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
    const int peaks[] = {0, 1, 29, 30, 31, 39, 40, 69, 70, 100, 149, 150, 151, 209, 210, 211, 250, 255, 300, 512, 800, 1023};
    std::string expected_out;
    const std::string out = captured([&] {
        for (int p = 0; p <= 150; ++p)
            for (int q = 0; q <= 7; ++q)
                for (int r : peaks) {
                    Words w = random_block(rng, 16);
                    ASSERT_TRUE(set_matches(w, [&](uint32_t* b) { return ISP_KT2_EE_ALLSLIDER_REG(b, p, q, r); },
                                            [&](Words& m) { ee_model(m, p, q, r); }))
                        << p << " " << q << " " << r;
                    int s1 = -1, s2 = -1, s3 = -1, modified = -1;
                    ISP_KT2_EE_REG_ALLSLIDER(w.data(), &s1, &s2, &s3, &modified);
                    // From knee 84 on, the sub-knot check expects 20, 40, 60.
                    const int k1 = std::max(p, 8), level = std::min((std::min(30 * q, r) + 15) / 30, 7);
                    ASSERT_EQ(std::tuple(s1, s2, s3, modified), std::tuple(k1, level, r, k1 >= 84 ? 1 : 0))
                        << p << " " << q << " " << r;
                    if (k1 >= 84) expected_out += kEeWarning;
                }
    });
    EXPECT_EQ(out, expected_out);
}

TEST(IspEe, HandEditsAreFlaggedAndSlidersCapped) {
    Words good(16, 0);
    ISP_KT2_EE_ALLSLIDER_REG(good.data(), 30, 2, 400);
    int s1, s2, s3, modified;
    const auto read_ee = [&](const Words& w) {
        ISP_KT2_EE_REG_ALLSLIDER(w.data(), &s1, &s2, &s3, &modified);
        return modified == 1;
    };
    // Every checked field, and neither slopes, word 8 nor unused bits; one
    // warning per flagged edit.
    Words mask;
    const std::string out = captured([&] { mask = flagged_bits(good, read_ee); });
    std::string expected_out;
    for (std::uint32_t m : mask)
        for (int b = 0; b < 32; ++b) expected_out += (m >> b) & 1 ? kEeWarning : "";
    EXPECT_EQ(out, expected_out);
    EXPECT_EQ(mask, (Words{0, 0, 0, 0, 0x03FF00FF, 0x03FF00FF, 0x03FF00FF, 0x03FF00FF, 0, 0xFFFF, 0, 0xFF, 0xFF, 0xFF,
                           0xFFFFFFFF, 0xFFFF}));
    // Caps: knot 1 of 200 reads 150, level 1 of 1000 reads 7.
    Words w = good;
    pack(w[5], 0, 8, 200);
    pack(w[4], 16, 10, 1000);
    EXPECT_TRUE(read_ee(w) && s1 == 150 && s2 == 7) << s1 << " " << s2;
}

// ------------------------------------------------------------ 3D noise reduction

TEST(IspNr3d, NoiseSetsMatchTheLadderAndRoundTrip) {
    using Set = int32_t (*)(uint32_t*, int32_t);
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
            ASSERT_TRUE(set_matches(w, [&](uint32_t* b) { return ch.set(b, level); }, [&](Words& m) {
                const double scale[5] = {1.0, 0.9, 0.75, 0.65, 0.5};
                for (int k = 0; k < 5; ++k) {
                    const int r = to_int(scale[k] * level + 0.5);
                    pack(m[ch.first + k / 2], 16 * (k % 2), 5, r);
                    pack(m[ch.first + k / 2], 16 * (k % 2) + 8, 5, std::min(2 * r, 31));
                }
            })) << level;
            // Above 31 only r1 is masked to the level read back: 40 reads 8.
            const auto [got, changed] = read(ch.get, w);
            EXPECT_EQ(got, to_int(level + 0.5) & 31);
            if (level < 0) continue;
            EXPECT_EQ(changed, level > 31 ? 1 : 0) << level;
            if (level > 31 || level % 3 != 0) continue;
            // Any one of the ten fields edited by hand is flagged, nothing else.
            Words mask(15, 0);
            mask[std::size_t(ch.first)] = mask[std::size_t(ch.first + 1)] = 0x1F1F1F1F;
            mask[std::size_t(ch.first + 2)] = 0x1F1F;
            EXPECT_EQ(flagged_bits(w, ch.get), mask);
        }
}

TEST(IspNr3d, StrengthMixerAndThreshold) {
    std::mt19937 rng(6);
    for (int level = -300; level <= 300; ++level) {
        Words w = random_block(rng, 15);
        ASSERT_TRUE(set_matches(w, [&](uint32_t* b) { return ISP_KT2_NR3D_SET_STRENGTH_REG(b, level); },
                                [&](Words& m) { pack(m[0], 0, 5, level); }));
        EXPECT_EQ(read(ISP_KT2_NR3D_STRENGTH_GET_LEL, w), std::pair(level & 31, 0));

        Words word = random_block(rng, 1);
        const std::int32_t mixer = std::int32_t(rng());
        ASSERT_EQ(ISP_KT2_MFLL_SET_MIXER_REG(word.data(), mixer), 0);
        EXPECT_EQ(read(ISP_KT2_MFLL_MIXER_GET_LEL, word), std::pair(mixer, 0));

        // Threshold step: 5 below 12, then one less every 4, at least 3.
        const int t = level & 255, step = t < 12 ? 5 : std::max(5 - (t - 12) / 4, 3);
        ASSERT_TRUE(set_matches(word, [&](uint32_t* b) { return ISP_KT2_MFLL_SET_MFB_TH_REG(b, level); },
                                [&](Words& m) { pack(m[0], 24, 8, t), pack(m[0], 8, 8, step); })) << level;
        EXPECT_EQ(read(ISP_KT2_MFLL_MFB_TH_GET_LEL, word), std::pair(t, 0));
        word[0] ^= 1u << 9;
        EXPECT_EQ(read(ISP_KT2_MFLL_MFB_TH_GET_LEL, word).second, 1);
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
    pack(w[9], 16, 8, std::max(to_int(0.6 * (w[10] >> 24) + 1.4 * (w[8] >> 24)), 20));
    pack(w[16], 0, 8, to_int(1.5 * l + 7.0));
    pack(w[16], 16, 5, l > 20 ? 0 : 20 - l);
}

void chroma_model(Words& w, int l) {
    pack(w[9], 8, 5, l < 6 ? 2 : 2 + 7 * (l - 6) / 13);
    pack(w[0], 4, 1, l < 6 ? 0 : 1);
    if ((w[0] & 0x30) == 0x30) w[0] &= ~0x10u;
    w[10] = thresholds_model(chroma_spread(l, (w[0] >> 12) & 1));
    pack(w[9], 16, 8, std::max(to_int(1.4 * (w[8] >> 24) + 0.6 * (w[10] >> 24)) & 255, 20));
}

TEST(IspAnr, NoiseSetsMatchModelsAndKeepOtherBits) {
    std::mt19937 rng(7);
    for (int l = 0; l <= 120; ++l)
        for (int rep = 0; rep < 4; ++rep) {
            const int m = int(rng() % 12);
            Words w = random_block(rng, 18);
            ASSERT_TRUE(set_matches(w, [&](uint32_t* b) { return ISP_KT2_ANR_SET_Y_NOISE_REG(b, l, m); },
                                    [&](Words& x) { luma_model(x, l, m); })) << "luma " << l;
            ASSERT_TRUE(set_matches(w, [&](uint32_t* b) { return ISP_KT2_ANR_SET_C_NOISE_REG(b, l); },
                                    [&](Words& x) { chroma_model(x, l); })) << "chroma " << l;
        }
    // 1.4 x 45 + 0.6 x 0 is just below 63 in double.
    Words w(18, 0);
    w[8] = 45u << 24;
    ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), 0);
    EXPECT_EQ(w[9] >> 16 & 255, 62u);
}

TEST(IspAnr, NoiseGetsFindEveryLevelAndFlagHandEdits) {
    std::mt19937 rng(8);
    std::uint32_t luma_u1[65];
    for (int l = 0; l <= 64; ++l) luma_u1[l] = thresholds_model(luma_spread(l)) >> 24;
    for (int l = 0; l <= 64; ++l) {
        Words w = random_block(rng, 18);
        w[0] &= ~(1u << 12);
        ISP_KT2_ANR_SET_Y_NOISE_REG(w.data(), l, int(rng() % 12));
        ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), l);
        EXPECT_EQ(read(ISP_KT2_ANR_Y_NOISE_GET_LEL, w), std::pair(l, 0));
        EXPECT_EQ(read(ISP_KT2_ANR_C_NOISE_GET_LEL, w), std::pair(l, 0));

        // Each compared luma field edited: flagged, with the fallback level.
        const std::pair<int, int> luma_fields[] = {{4, 8},  {3, 0},   {3, 8}, {3, 16}, {3, 24}, {8, 0},  {8, 24},
                                                   {16, 0}, {16, 16}, {5, 0}, {5, 16}, {6, 0},  {6, 24}, {7, 16}};
        for (const auto& [word, shift] : luma_fields) {
            Words e = w;
            e[word] ^= 1u << shift;
            int expect = 0;
            while (expect < 64 && luma_u1[expect] < e[8] >> 24) ++expect;
            EXPECT_EQ(read(ISP_KT2_ANR_Y_NOISE_GET_LEL, e), std::pair(expect, 1)) << l << " " << word << ":" << shift;
        }
        // Words the luma search does not compare, and one chroma field.
        Words e = w;
        e[0] ^= 0xFFFFFFFFu;
        e[9] ^= 0xFFFFFFFFu;
        EXPECT_EQ(read(ISP_KT2_ANR_Y_NOISE_GET_LEL, e).second, 0);
        e = w;
        e[9] ^= 1u << 8;
        EXPECT_EQ(read(ISP_KT2_ANR_C_NOISE_GET_LEL, e).second, 1);
    }
    // A block written with the extended flag is compared as if it were clear.
    Words w(18, 0);
    w[0] = 1u << 12;
    ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), 30);
    const auto [level, changed] = read(ISP_KT2_ANR_C_NOISE_GET_LEL, w);
    EXPECT_GT(level, 30);
    EXPECT_EQ(changed, 1);
}

TEST(IspAnr, StrengthsRoundTripAndFlagEdits) {
    std::mt19937 rng(9);
    for (int s = -200; s <= 300; ++s) {
        Words w = random_block(rng, 18);
        const int v = s & 127;
        ASSERT_TRUE(set_matches(
            w,
            [&](uint32_t* b) { return ISP_KT2_ANR_SET_Y_STRENGTH_REG(b, s) | ISP_KT2_ANR_SET_C_STRENGTH_REG(b, s); },
            [&](Words& m) {
                pack(m[16], 8, 7, v);
                pack(m[16], 24, 7, to_int(0.6 * v));
                m[17] = (m[17] & 0x80E08000u) | std::uint32_t(v) << 8 | std::uint32_t(v) << 24;
            })) << s;
        EXPECT_EQ(read(ISP_KT2_ANR_Y_STR_GET_LEL, w), std::pair(v, 0));
        EXPECT_EQ(read(ISP_KT2_ANR_C_STR_GET_LEL, w), std::pair(v, 0));
        for (int bit = 24; bit < 31; ++bit) {  // the luma companion
            Words e = w;
            e[16] ^= 1u << bit;
            EXPECT_EQ(read(ISP_KT2_ANR_Y_STR_GET_LEL, e).second, 1) << bit;
        }
        if (s % 7 != 0) continue;
        Words mask(18, 0);
        mask[17] = 0x7F1F7FFF;
        EXPECT_EQ(flagged_bits(w, ISP_KT2_ANR_C_STR_GET_LEL), mask) << s;
    }
}

// ------------------------------------------------------------ chroma reduction

void ccr_model(Words& w, int l) {
    const int a = to_int(1.8 * l + 16), b = to_int(1.8 * l + 32);
    const int c = to_int(21 - 12.0 * l / 64), d = to_int(48 - 0.75 * l);
    const int g = to_int(32.0 * (58 - d) / std::max(a, 1) + 0.5), h = to_int(32.0 * 6 / std::max(b - a, 1) + 0.5);
    pack(w[0], 24, 8, 224);
    pack(w[0], 8, 1, 1);
    w[1] = (w[1] & 0x80800000u) | (a & 255) | (b > 224 ? 223 : b & 255) << 8 | (h & 127) << 16 | 58u << 24;
    w[2] = (w[2] & 0x80800000u) | 99u << 8 | (c & 127) << 16 | 64u << 24;
    w[3] = (w[3] & 0x80808080u) | (g & 127) | 25u << 8 | (d & 127) << 16 | 64u << 24;
}

TEST(IspCcr, SetMatchesModelAndRoundTrips) {
    std::mt19937 rng(10);
    for (int l = -100; l <= 200; ++l) {
        Words w = random_block(rng, 4);
        ASSERT_TRUE(set_matches(w, [&](uint32_t* b) { return ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(b, l); },
                                [&](Words& m) { ccr_model(m, l); })) << l;
        if (l < 0 || l > 64) {
            EXPECT_EQ(read(ISP_KT2_CHROMA_REDUCT_GET_LEL, w).second, 1);
            continue;
        }
        EXPECT_EQ(read(ISP_KT2_CHROMA_REDUCT_GET_LEL, w), std::pair(l, 0));
        EXPECT_EQ(flagged_bits(w, ISP_KT2_CHROMA_REDUCT_GET_LEL), (Words{0xFF000100u, 0x7F7FFFFFu, 0x7F7FFFFFu, 0x7F7F7F7Fu}))
            << l;
    }
    // An a field of 255 falls back to level 64.
    Words w(4, 0);
    ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG(w.data(), 0);
    pack(w[1], 0, 8, 255);
    EXPECT_EQ(read(ISP_KT2_CHROMA_REDUCT_GET_LEL, w), std::pair(64, 1));
}

// ------------------------------------------------------------ saturation

TEST(IspSat, SetShiftsEveryBinOfOneTableAndClamps) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 300; ++trial) {
        Words w = random_block(rng, 545);
        const int t = int(rng() % 3);
        const int level = trial < 5 ? std::int32_t(rng()) : int(rng() % 400) - 200;
        ASSERT_TRUE(set_matches(w, [&](uint32_t* b) { return ISP_KT2_ANR_SET_SATURATION_REG(b, level, t); },
                                [&](Words& m) {
                                    const long long old_level = std::int32_t(m[std::size_t(t)]);
                                    m[std::size_t(t)] = std::uint32_t(level);
                                    for (std::size_t i = 5 + 180 * std::size_t(t); i < 185 + 180 * std::size_t(t); ++i)
                                        pack(m[i], 8, 8,
                                             std::clamp<long long>(std::int8_t(m[i] >> 8) - old_level + level, -127, 127));
                                })) << level;
        EXPECT_EQ(ISP_KT2_PCA_SAT_GET_LEL(w.data(), t), level);
    }
}

// Null blocks, DM sliders outside the table, negative noise levels and
// saturation tables outside 0..2 are refused with nothing written.
TEST(IspExports, RefusalsWriteNothing) {
    using Set = int32_t (*)(uint32_t*, int32_t);
    for (Set set : {ISP_KT2_NR3D_SET_STRENGTH_REG, ISP_KT2_NR3D_SET_YNOISE_REG, ISP_KT2_NR3D_SET_UNOISE_REG,
                    ISP_KT2_NR3D_SET_VNOISE_REG, ISP_KT2_MFLL_SET_MIXER_REG, ISP_KT2_MFLL_SET_MFB_TH_REG,
                    ISP_KT2_ANR_SET_Y_STRENGTH_REG, ISP_KT2_ANR_SET_C_STRENGTH_REG, ISP_KT2_ANR_SET_C_NOISE_REG,
                    ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG}) {
        EXPECT_EQ(set(nullptr, 3), MORVIK_STATUS_INVALID_ARGUMENT);
        EXPECT_STREQ(morvik_last_error(), "a register block or result pointer is null");
    }
    Words w(545, 0xA5A5A5A5u);
    const Words kept = w;
    EXPECT_EQ(ISP_KT2_DM_ALLSLIDER_REG(w.data(), 16, 0), MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(morvik_last_error(), "DM slider1 is outside 0..15");
    for (int32_t status : {ISP_KT2_DM_ALLSLIDER_REG(w.data(), -1, 0), ISP_KT2_DM_ALLSLIDER_REG(nullptr, 3, 0),
                           ISP_KT2_ANR_SET_Y_NOISE_REG(w.data(), -1, 0), ISP_KT2_ANR_SET_C_NOISE_REG(w.data(), -1),
                           ISP_KT2_ANR_SET_SATURATION_REG(w.data(), 1, 3), ISP_KT2_ANR_SET_Y_NOISE_REG(nullptr, 3, 0),
                           ISP_KT2_EE_ALLSLIDER_REG(nullptr, 3, 0, 0), ISP_KT2_ANR_SET_SATURATION_REG(nullptr, 3, 0)})
        EXPECT_EQ(status, MORVIK_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(w, kept);
    EXPECT_EQ(ISP_KT2_PCA_SAT_GET_LEL(w.data(), -1) | ISP_KT2_PCA_SAT_GET_LEL(nullptr, 0), 0);
    int a = 5, b = 5, c = 5;
    for (Get get : {ISP_KT2_NR3D_STRENGTH_GET_LEL, ISP_KT2_NR3D_YNOISE_GET_LEL, ISP_KT2_NR3D_UNOISE_GET_LEL,
                    ISP_KT2_NR3D_VNOISE_GET_LEL, ISP_KT2_MFLL_MIXER_GET_LEL, ISP_KT2_MFLL_MFB_TH_GET_LEL,
                    ISP_KT2_ANR_Y_STR_GET_LEL, ISP_KT2_ANR_C_STR_GET_LEL, ISP_KT2_ANR_Y_NOISE_GET_LEL,
                    ISP_KT2_ANR_C_NOISE_GET_LEL, ISP_KT2_CHROMA_REDUCT_GET_LEL})
        EXPECT_EQ(get(nullptr, &a) | get(w.data(), nullptr), 0);
    EXPECT_EQ(ISP_KT2_EE_REG_ALLSLIDER(w.data(), &a, &b, &c, nullptr), 0);
    EXPECT_EQ(ISP_KT2_DM_REG_ALLSLIDER(w.data(), &a, nullptr, &c) | ISP_KT2_DM_REG_ALLSLIDER(nullptr, &a, &b, &c), 0);
    EXPECT_EQ(a + b + c, 15);
}

// ------------------------------------------------------------ CLI

std::string read_text(const std::string& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The block keeps its comments; dry runs, -o and refusals leave inputs alone;
// a JSON block is written as JSON; nothing else is left behind.
TEST(IspCli, CommandsExitStatusesAndMessages) {
    morvik::test::TempDir dir;
    const std::string d = dir.path().string() + "/";
    std::string nr3d = "# 3D noise block\n", zeros;
    for (int i = 0; i < 15; ++i) nr3d += "0x00000000   # word " + std::to_string(i) + "\n";
    for (int i = 0; i < 21; ++i) zeros += "0\n";
    std::string edited = nr3d;  // t2 of the level-10 Y ladder edited by hand
    edited.replace(edited.find("0x00000000   # word 6"), 10, "0x1109140A");
    const std::pair<const char*, std::string> inputs[] = {
        {"nr3d.txt", nr3d},       {"edited.txt", edited}, {"mfll.json", "[\"0x00000000\", 7]"},
        {"bad.txt", "0x1\n# comment\n0x2\nzz12\n0x4\n"}, {"short.txt", "1\n2\n3\n"}, {"dm.txt", zeros}};
    for (const auto& [name, text] : inputs) std::ofstream(d + name) << text;
    const std::string dm = "isp set " + d + "dm.txt --kind dm ";
    const std::tuple<std::string, int, std::string> cases[] = {
        {"isp set " + d + "nr3d.txt --kind nr3d ynoise=10 strength=3", 0, "word   6: 0x00000000 -> 0x1209140A"},
        {"isp show " + d + "edited.txt --kind nr3d --json", 0, "\"changed\": true"},
        {"isp set " + d + "edited.txt --kind nr3d vnoise=31 --dry-run", 0, "dry run: nothing written"},
        {"isp set " + d + "mfll.json --kind mfll threshold=16 -o " + d + "out.json", 0, ""},
        {"isp show " + d + "bad.txt --kind ccr", 2,
         d + "bad.txt:4: \"zz12\" is not one 32-bit word (0x%08X or decimal, one per line)\n"},
        {"isp show " + d + "short.txt --kind ccr", 2, d + "short.txt: 3 words, kind ccr needs at least 4\n"},
        {dm + "slider1=16", 2, "DM slider1 is outside 0..15"},  {dm + "slider2=x", 2, "32-bit integer"},
        {dm + "slider9=1", 2, "has no level slider9"},          {dm + "slider1=1 slider1=2", 2, "given twice"},
        {dm + "slider1", 2, "expected NAME=VALUE"},             {dm + "slider1=2 -o " + d + "missing/x", 2, "does not exist"},
    };
    for (const auto& [args, want, fragment] : cases) {
        int status = -1;
        const std::string out = morvik::test::run_cli(args, status);
        EXPECT_TRUE(status == want && out.find(fragment) != std::string::npos) << args << "\n" << status << " " << out;
    }
    const std::string written = read_text(d + "nr3d.txt"), out_json = read_text(d + "out.json");
    EXPECT_EQ(written.rfind("# 3D noise block\n0x00000003   # word 0\n", 0), 0u) << written;
    EXPECT_NE(written.find("0x1209140A   # word 6\n"), std::string::npos) << written;
    EXPECT_TRUE(read_text(d + "edited.txt") == edited && read_text(d + "dm.txt") == zeros &&
                read_text(d + "mfll.json") == "[\"0x00000000\", 7]");
    EXPECT_NE(out_json.find("\"0x00000000\""), std::string::npos) << out_json;
    EXPECT_NE(out_json.find(std::to_string(16u << 24 | 4u << 8 | 7u)), std::string::npos) << out_json;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), std::ssize(inputs) + 1);
}

}  // namespace
