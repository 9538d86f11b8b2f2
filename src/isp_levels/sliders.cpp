// Demosaic and edge-enhancement sliders.
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "isp_levels/levels.h"

namespace morvik::isp_levels {

const DmRow kDmTable[kDmRows] = {
    // flag_b flag_a  f   g   h  base  k   d   e
    {1, 0, 0, 0, 0, 16, 19, 19, 14},   {1, 1, 1, 1, 2, 15, 18, 18, 14},   {1, 1, 2, 1, 5, 14, 17, 17, 13},
    {1, 1, 3, 2, 8, 13, 16, 16, 13},   {1, 1, 4, 3, 11, 12, 15, 15, 12},  {1, 1, 5, 4, 14, 11, 14, 14, 12},
    {1, 1, 6, 5, 17, 10, 13, 13, 11},  {1, 1, 7, 7, 20, 9, 12, 12, 11},   {1, 1, 8, 9, 23, 8, 11, 11, 10},
    {1, 1, 9, 11, 26, 7, 10, 10, 10},  {1, 1, 10, 13, 29, 6, 9, 9, 9},    {1, 1, 11, 15, 32, 5, 8, 8, 9},
    {0, 1, 12, 17, 35, 4, 7, 7, 8},    {0, 1, 12, 19, 38, 3, 6, 6, 7},    {0, 1, 12, 21, 41, 2, 5, 5, 6},
    {0, 1, 12, 23, 44, 1, 4, 4, 5},
};

namespace {

// A DM level below 1 is written as 0.
std::int64_t dm_level(int base, std::int64_t offset) {
    const std::int64_t v = base + 2 * offset;
    return v < 1 ? 0 : v;
}

}  // namespace

Outcome dm_set(Block reg, std::int32_t slider1, std::int32_t slider2) {
    using namespace dm;
    if (slider1 < 0 || slider1 >= kDmRows) return Outcome::slider_out_of_range;
    const DmRow& row = kDmTable[slider1];
    put(reg, kFields[flag_b].field, row.flag_b);
    put(reg, kFields[flag_a].field, row.flag_a);
    put(reg, kFields[f].field, row.f);
    put(reg, kFields[g].field, row.g);
    put(reg, kFields[h].field, row.h);
    put(reg, kFields[level].field, dm_level(row.base, slider2));
    put(reg, kFields[k].field, row.k);
    put(reg, kFields[d].field, row.d);
    put(reg, kFields[e].field, row.e);
    return Outcome::ok;
}

DmSliders dm_get(ConstBlock reg) {
    using namespace dm;
    const std::int64_t got[8] = {get(reg, kFields[g].field), get(reg, kFields[h].field), get(reg, kFields[k].field),
                                 get(reg, kFields[d].field), get(reg, kFields[e].field), get(reg, kFields[f].field),
                                 get(reg, kFields[flag_a].field), get(reg, kFields[flag_b].field)};
    // Nearest row by the sum of absolute differences; a tie keeps the lower row.
    std::int64_t best = std::numeric_limits<std::int32_t>::max();
    int chosen = 0;
    bool exact = false;
    for (int s = 0; s < kDmRows; ++s) {
        const DmRow& r = kDmTable[s];
        const std::int64_t want[8] = {r.g, r.h, r.k, r.d, r.e, r.f, r.flag_a, r.flag_b};
        std::int64_t distance = 0;
        for (int i = 0; i < 8; ++i) distance += std::abs(got[i] - want[i]);
        if (distance == 0) exact = true;
        if (distance < best) {
            best = distance;
            chosen = s;
        }
    }
    DmSliders out;
    out.slider1 = chosen;
    // Offsets from the largest down: where several give level 0 the largest wins.
    const int base = kDmTable[chosen].base;
    const std::int64_t v = get(reg, kFields[level].field);
    bool level_found = false;
    for (int n = 3; n >= -3; --n) {
        if (v == dm_level(base, n)) {
            out.slider2 = n;
            level_found = true;
            break;
        }
    }
    if (!level_found) out.slider2 = static_cast<std::int32_t>(std::clamp<std::int64_t>((v - base) >> 1, -3, 3));
    out.modified = !(exact && level_found);
    return out;
}

std::int64_t ee_slope(std::int64_t rise, std::int64_t run) {
    if (run < 1) run = 1;
    const double q = double(rise) / double(run);
    if (rise > 0) return std::min<std::int64_t>(trunc64(q + 0.5), 127);
    return std::max<std::int64_t>(trunc64(q - 0.5), -127) + 256;
}

namespace {

// Knots 1..3 of the forward curve for knee position P (unmasked).
struct Knots {
    std::int64_t k1, k2, k3;
};

Knots ee_knots(std::int64_t p) {
    const std::int64_t d = p > 40 ? (2 * p - 80) / 3 : 0;
    const std::int64_t k1 = std::max<std::int64_t>(p, 8);
    const std::int64_t t = k1 + d;
    if (t > 164) return {k1, 204, 214};
    const std::int64_t k2 = t + 40;
    return {k1, k2, k2 > 175 ? k2 + 10 : 185};
}

// Clip level from the largest curve level, and the derived levels 10, 20 and
// 30 below it (0 when below 1).
std::int64_t ee_clip(std::int64_t largest) { return std::min<std::int64_t>(trunc64(double(largest) * 0.2), 255); }
std::int64_t ee_clip_below(std::int64_t clip, int by) { return clip - by < 1 ? 0 : clip - by; }

}  // namespace

void ee_set(Block reg, std::int32_t slider1, std::int32_t slider2, std::int32_t slider3) {
    using namespace ee;
    const Knots kn = ee_knots(slider1);
    const std::int64_t p = kn.k1;
    const std::int64_t r = slider3;
    const std::int64_t y1 = std::min<std::int64_t>(30 * std::int64_t(slider2), r);
    const std::int64_t y2 = std::min<std::int64_t>(y1 + 40, r);
    const std::int64_t y4 = r - 150 < 1 ? 0 : r - 150;
    const std::int64_t q[3] = {p / 4, 2 * p / 4, 3 * p / 4};
    const std::int64_t clip_level = ee_clip(std::max({std::int64_t(0), y1, y2, r, y4}));

    put(reg, kFields[start_x].field, 0);
    put(reg, kFields[start_pad].field, 0);
    put(reg, kFields[level1].field, y1);
    put(reg, kFields[knot1].field, p);
    put(reg, kFields[slope1].field, ee_slope(y2 - y1, p));
    put(reg, kFields[level2].field, y2);
    put(reg, kFields[knot2].field, kn.k2);
    put(reg, kFields[slope2].field, ee_slope(r - y2, kn.k2 - p));
    put(reg, kFields[peak_a].field, r);
    put(reg, kFields[knot3].field, kn.k3);
    put(reg, kFields[slope3].field, ee_slope(0, kn.k3 - kn.k2));
    put(reg, kFields[peak_b].field, r);
    put(reg, kFields[slope4].field, ee_slope(y4 - r, 255 - kn.k3));
    put(reg, kFields[clip].field, clip_level);
    for (int k = 0; k < 3; ++k) {
        // Y1 / qk divides in double before rounding (not an integer division).
        const std::int64_t sub = q[k] == 0 ? 0 : std::min<std::int64_t>(trunc64(double(y1) / double(q[k]) + 0.5), 127);
        put(reg, kFields[sub_knot(k)].field, q[k]);
        put(reg, kFields[sub_slope(k)].field, sub);
        put(reg, kFields[sub_to_knot(k)].field, ee_slope(y2 - y1, p - q[k]));
    }
    put(reg, kFields[clip_m10].field, ee_clip_below(clip_level, 10));
    put(reg, kFields[clip_m20].field, ee_clip_below(clip_level, 20));
    put(reg, kFields[clip_m30].field, ee_clip_below(clip_level, 30));
}

EeSliders ee_get(ConstBlock reg) {
    using namespace ee;
    auto at = [&](Id id, unsigned copy = 0) { return get(reg, kFields[id].field, copy); };
    const std::int64_t x0 = at(start_x), y1 = at(level1), k1 = at(knot1), y2 = at(level2), k2 = at(knot2);
    const std::int64_t r6 = at(peak_a), r7 = at(peak_b), k3 = at(knot3);

    const std::int64_t clip_level = ee_clip(std::max({std::int64_t(0), y1, y2, r6, r7}));
    bool clip_ok = true;
    for (unsigned c = 0; c < 2; ++c) {
        clip_ok = clip_ok && at(clip, c) == clip_level && at(clip_m10, c) == ee_clip_below(clip_level, 10) &&
                  at(clip_m20, c) == ee_clip_below(clip_level, 20) && at(clip_m30, c) == ee_clip_below(clip_level, 30);
    }

    EeSliders out;
    out.slider3 = static_cast<std::int32_t>((r6 + r7) >> 1);
    bool level1_ok = false;
    for (std::int64_t k = 0; k <= 7 && !level1_ok; ++k) level1_ok = y1 == std::min(30 * k, r6);
    out.slider2 = static_cast<std::int32_t>(std::min<std::int64_t>((y1 + 15) / 30, 7));
    const bool level2_ok = y2 == std::min(y1 + 40, r6);

    bool knots_ok = false;
    for (std::int64_t p = 0; p <= 150 && !knots_ok; ++p) {
        const Knots kn = ee_knots(p);
        knots_ok = x0 == 0 && kn.k1 == k1 && kn.k2 == k2 && kn.k3 == k3;
    }
    out.slider1 = static_cast<std::int32_t>(std::min<std::int64_t>(k1, 150));

    std::int64_t e[3] = {(3 * x0 + k1) >> 2, (2 * (x0 + k1)) >> 2, (x0 + 3 * k1) >> 2};
    if (e[0] - x0 > 20) {
        e[0] = x0 + 20;
        e[1] = x0 + 40;
        e[2] = x0 + 60;
    }
    const bool sub_ok = at(sub_knot(0)) == e[0] && at(sub_knot(1)) == e[1] && at(sub_knot(2)) == e[2];

    out.modified = !(r6 == r7 && clip_ok && level1_ok && level2_ok && knots_ok && sub_ok);
    return out;
}

}  // namespace morvik::isp_levels
