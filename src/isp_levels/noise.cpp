// Spatial noise-reduction, chroma-reduction and saturation levels.
#include <algorithm>
#include <array>

#include "frame/maths.h"
#include "isp_levels/levels.h"

namespace morvik::isp_levels {

std::uint32_t threshold_word(std::int64_t spread) {
    // Range weights 4 e^(-i^2 / 2 sigma^2), rounded, for distances 0..255;
    // uk is the largest distance of weight k, falling back to u(k+1).
    const double sigma = double(spread) / 64.0;
    int largest[5] = {-1, -1, -1, -1, -1};
    if (sigma != 0.0) {
        for (int i = 0; i < 256; ++i) {
            const double e = maths::exp(-(double(i) * double(i)) / (2.0 * sigma * sigma));
            // Weights only fall with the distance: once e is clearly below
            // 1/8 (weight 0), no later distance can reach weight 1.
            if (e < 0.12) break;
            const auto weight = trunc64(4.0 * e + 0.5);
            if (weight >= 1 && weight <= 4) largest[weight] = i;
        }
    }
    std::uint32_t u[5] = {};
    u[4] = largest[4] < 0 ? 0u : std::uint32_t(largest[4]);
    for (int k = 3; k >= 1; --k) u[k] = largest[k] < 0 ? u[k + 1] : std::uint32_t(largest[k]);
    return u[4] | u[3] << 8 | u[2] << 16 | u[1] << 24;
}

// ---- strengths

void anr_set_y_strength(Block reg, std::int32_t level) {
    const std::int64_t s = level & 127;
    put(reg, anr::kFields[anr::y_strength].field, s);
    put(reg, anr::kFields[anr::y_companion].field, trunc64(0.6 * double(s)));
}

Level anr_y_strength(ConstBlock reg) {
    const std::int64_t s = get(reg, anr::kFields[anr::y_strength].field);
    return {static_cast<std::int32_t>(s), get(reg, anr::kFields[anr::y_companion].field) != trunc64(0.6 * double(s))};
}

void anr_set_c_strength(Block reg, std::int32_t level) {
    const std::int64_t s = level & 127;
    put(reg, anr::kFields[anr::c_low].field, 0);
    put(reg, anr::kFields[anr::c_strength].field, s);
    put(reg, anr::kFields[anr::c_mid].field, 0);
    put(reg, anr::kFields[anr::c_companion].field, s);
}

Level anr_c_strength(ConstBlock reg) {
    using namespace anr;
    const std::int64_t s = get(reg, kFields[c_strength].field);
    const bool exact = get(reg, kFields[c_low].field) == 0 && get(reg, kFields[c_mid].field) == 0 &&
                       get(reg, kFields[c_companion].field) == s;
    return {static_cast<std::int32_t>(s), !exact};
}

// ---- noise levels

namespace {

constexpr int kLumaFilter[21] = {0, 1, 2, 3, 3, 4, 5, 6, 7, 9, 11, 12, 14, 15, 15, 16, 16, 16, 16, 16, 16};

std::int64_t u1_of(ConstBlock reg, anr::Id thresholds) { return get(reg, anr::threshold_byte(thresholds, 3)); }

// The ANR words a searching GET works on, copied so that the SET of each
// candidate level can run without touching the caller's block.
using AnrScratch = std::array<std::uint32_t, anr::kWords>;

}  // namespace

Outcome anr_set_y_noise(Block reg, std::int32_t level, std::int32_t companion) {
    using namespace anr;
    if (level < 0) return Outcome::level_out_of_range;
    const std::int64_t l = level;
    put(reg, kFields[const4].field, 10);
    put(reg, kFields[filter2].field, l > 20 ? 16 : kLumaFilter[l]);
    put(reg, kFields[const5a].field, 40);
    put(reg, kFields[const5b].field, 100);
    put(reg, kFields[const5c].field, 160);
    put(reg, kFields[const6a].field, 16);
    put(reg, kFields[const6b].field, 16);
    put(reg, kFields[const6c].field, 16);
    put(reg, kFields[const6d].field, 8);
    put(reg, kFields[const7a].field, 0);
    put(reg, kFields[const7b].field, 0);
    put(reg, kFields[const7c].field, -4);
    put(reg, kFields[const7d].field, -2);
    const int f1 = l < 3 ? 0 : l <= 14 ? 1 : 2;
    const int f3 = l < 15 ? 0 : 2;
    const int f4 = l < 3 ? 6 : 9;
    put(reg, kFields[filter1].field, f1);
    put(reg, kFields[filter3].field, f3);
    put(reg, kFields[filter4].field, f4);
    put(reg, kFields[mode].field, l >= 16 ? 2 : companion >= 6 ? 1 : 0);
    put(reg, kFields[luma_thresholds].field, threshold_word(trunc64(48.0 * maths::pow(double(l), 1.1))));
    if (get(reg, kFields[extended].field) != 0) put(reg, kFields[window].field, l <= 3 ? 3 : l <= 8 ? 4 : 5);
    // Blended threshold: clamped to 20 before its low byte is taken.
    std::int64_t v = trunc64(0.6 * double(u1_of(reg, chroma_thresholds)) + 1.4 * double(u1_of(reg, luma_thresholds)));
    if (v < 20) v = 20;
    put(reg, kFields[blended].field, v);
    put(reg, kFields[term_a].field, trunc64(1.5 * double(l) + 7.0));
    put(reg, kFields[term_b].field, l > 20 ? 0 : 20 - l);
    return Outcome::ok;
}

Outcome anr_set_c_noise(Block reg, std::int32_t level) {
    using namespace anr;
    if (level < 0) return Outcome::level_out_of_range;
    const std::int64_t l = level;
    if (l < 6) {
        put(reg, kFields[chroma_filter].field, 2);
        put(reg, kFields[mode_bit4].field, 0);
    } else {
        put(reg, kFields[chroma_filter].field, 2 + 7 * (l - 6) / 13);
        put(reg, kFields[mode_bit4].field, 1);
    }
    // Mode 2 wins over mode 1.
    if (get(reg, kFields[mode_bit4].field) != 0 && get(reg, kFields[mode_bit5].field) != 0)
        put(reg, kFields[mode_bit4].field, 0);
    // L / 2 divides in double.
    std::int64_t x = trunc64(64.0 * maths::pow(double(l) / 2.0, 1.3) + 0.5) + 20;
    if (get(reg, kFields[extended].field) != 0) x = trunc64(1.2 * double(x) + 0.5);
    put(reg, kFields[chroma_thresholds].field, threshold_word(x));
    // Blended threshold: low byte first, then raised to 20.
    const std::int64_t v =
        trunc64(1.4 * double(u1_of(reg, luma_thresholds)) + 0.6 * double(u1_of(reg, chroma_thresholds)));
    const std::int64_t byte = v & 0xFF;
    put(reg, kFields[blended].field, byte < 20 ? 20 : byte);
    return Outcome::ok;
}

namespace {

// First level 0..64 whose SET reproduces every compared field; else the
// first whose reference field reaches the block's, or 64.
template <class Set>
Level search(ConstBlock reg, const anr::Id* compared, std::size_t count, anr::Id reference, Set set) {
    AnrScratch scratch{};
    std::copy(reg.begin(), reg.begin() + anr::kWords, scratch.begin());
    put(scratch, anr::kFields[anr::extended].field, 0);
    const AnrScratch clean = scratch;
    const std::int64_t wanted = u1_of(reg, reference);
    int fallback = -1;
    for (int l = 0; l < kSearchLevels; ++l) {
        scratch = clean;
        set(Block(scratch), l);
        bool match = true;
        for (std::size_t i = 0; i < count && match; ++i) match = same(scratch, reg, anr::kFields[compared[i]].field);
        if (match) return {l, false};
        if (fallback < 0 && u1_of(scratch, reference) >= wanted) fallback = l;
    }
    return {fallback < 0 ? kSearchLevels - 1 : fallback, true};
}

}  // namespace

Level anr_y_noise(ConstBlock reg) {
    return search(reg, anr::kLumaCompared, std::size(anr::kLumaCompared), anr::luma_thresholds,
                  [](Block b, int l) { anr_set_y_noise(b, l, 0); });
}

Level anr_c_noise(ConstBlock reg) {
    return search(reg, anr::kChromaCompared, std::size(anr::kChromaCompared), anr::chroma_thresholds,
                  [](Block b, int l) { anr_set_c_noise(b, l); });
}

// ---- chroma reduction

void ccr_set(Block reg, std::int32_t level) {
    using namespace ccr;
    const double l = level;
    const std::int64_t va = trunc64(1.8 * l + 16.0);
    const std::int64_t vb = trunc64(1.8 * l + 32.0);
    const std::int64_t vc = trunc64(21.0 - 12.0 * l / 64.0);
    const std::int64_t vd = trunc64(48.0 - 0.75 * l);
    const std::int64_t vf = trunc64(64.0 * 0.9 + 0.5);
    const std::int64_t vg = trunc64(32.0 * double(58 - vd) / double(std::max<std::int64_t>(va, 1)) + 0.5);
    const std::int64_t vh = trunc64(32.0 * double(64 - vf) / double(std::max<std::int64_t>(vb - va, 1)) + 0.5);
    put(reg, kFields[top].field, 224);
    put(reg, kFields[w3_top].field, 64);
    put(reg, kFields[a].field, va);
    // b above 224 is written 223; 224 itself stays.
    put(reg, kFields[b].field, vb > 224 ? 223 : vb);
    put(reg, kFields[c].field, vc);
    put(reg, kFields[d].field, vd);
    put(reg, kFields[f].field, vf);
    put(reg, kFields[w3_bits].field, 0x19);  // bits 8, 11, 12 of word 3; bit 15 is not ours
    put(reg, kFields[g].field, vg);
    put(reg, kFields[h].field, vh);
    put(reg, kFields[w2_low].field, 0);
    put(reg, kFields[w2_mid].field, 99);
    put(reg, kFields[w2_top].field, 64);
    put(reg, kFields[enable].field, 1);
}

Level ccr_get(ConstBlock reg) {
    using namespace ccr;
    std::array<std::uint32_t, kWords> scratch{};
    const std::int64_t wanted = get(reg, kFields[a].field);
    int fallback = -1;
    for (int l = 0; l < kSearchLevels; ++l) {
        std::copy(reg.begin(), reg.begin() + kWords, scratch.begin());
        ccr_set(scratch, l);
        bool match = true;
        for (std::size_t i = 0; i < kCount && match; ++i) match = same(scratch, reg, kFields[i].field);
        if (match) return {l, false};
        if (fallback < 0 && get(scratch, kFields[a].field) >= wanted) fallback = l;
    }
    return {fallback < 0 ? kSearchLevels - 1 : fallback, true};
}

// ---- saturation

Outcome sat_set(Block reg, std::int32_t level, std::int32_t table) {
    if (table < 0 || table >= sat::kTables) return Outcome::table_out_of_range;
    const std::int64_t old = get(reg, sat::level(table));
    put(reg, sat::level(table), level);
    for (int i = 0; i < sat::kBins; ++i) {
        const Field bin = sat::bin(table, i);
        const std::int64_t s = std::clamp<std::int64_t>(get(reg, bin) - old + level, -127, 127);
        put(reg, bin, s);
    }
    return Outcome::ok;
}

std::int32_t sat_get(ConstBlock reg, std::int32_t table) { return static_cast<std::int32_t>(get(reg, sat::level(table))); }

}  // namespace morvik::isp_levels
