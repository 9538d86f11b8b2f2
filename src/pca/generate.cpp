// Table generation from chart patches: hue records, sorting, the crossing
// pass, per-patch corrections, the slope limiter, two interpolated candidate
// tables and the choice by predicted a*b* error.
#include <algorithm>
#include <cstdlib>
#include <utility>

#include "pca/pca.h"

namespace morvik::pca {

std::string_view describe(GenOutcome outcome) {
    switch (outcome) {
        case GenOutcome::ok: return "ok";
        case GenOutcome::bad_patch_count: return "AutoGenTable: the patch count must be 18";
    }
    return "unknown outcome";
}

namespace {

// Correction of a ratio in 1/128; an undefined ratio (zero source) gives 0.
std::int32_t ratio_correction(std::int32_t target, std::int32_t source) {
    if (source == 0) return 0;
    return trunc_i32(static_cast<double>(std::int64_t{target} - source) / source * 128 + 0.5);
}

// ---------------------------------------------------------------- limiter
// Single precision: the limit, slope, product and sum are each rounded to
// float before they are compared or truncated.

struct Kind {
    std::span<const std::int32_t> hue;  // sorted source hues H(k)
    float limit;
    std::span<std::int32_t> d;          // corrections d(k)
    std::array<bool, kChartPatches> marked{};
};

float slope(std::int32_t a, std::int32_t b, std::int64_t gap) {
    return static_cast<float>(std::llabs(std::int64_t{a} - b)) / static_cast<float>(gap);
}

// d moved from `from` by the product gap x limit, down or up.
std::int32_t step_from(std::int32_t from, std::int64_t gap, float limit, bool down) {
    const float product = static_cast<float>(gap) * limit;
    const float value = down ? static_cast<float>(from) - product : static_cast<float>(from) + product;
    return trunc_i32(value);
}

// Forward direction; false stops the whole limiter.
bool forward(Kind& c) {
    const int n = static_cast<int>(c.d.size());
    const auto H = [&](int k) { return std::int64_t{c.hue[std::size_t(k)]}; };
    auto& d = c.d;
    auto& mark = c.marked;
    mark.fill(false);
    int restarts = 0;
    for (int k = 0;;) {
        for (; k <= n - 2; ++k) {
            const std::size_t i = std::size_t(k), j = i + 1;
            const std::int64_t gap = std::llabs(H(k) - H(k + 1));
            if (gap == 0) return false;
            if (slope(d[i], d[j], gap) <= c.limit) {
                mark[i] = true;
                continue;
            }
            if (mark[i] && mark[j]) return false;
            if (!mark[j]) {
                d[j] = step_from(d[i], gap, c.limit, d[i] > d[j]);
                mark[i] = mark[j] = true;
            } else {
                d[i] = step_from(d[j], gap, c.limit, !(d[i] > d[j]));
                const std::size_t prev = k == 0 ? std::size_t(n - 1) : i - 1;
                const std::int64_t prev_gap = k == 0 ? std::llabs(H(0) + 360 - H(n - 1)) : std::llabs(H(k - 1) - H(k));
                if (slope(d[prev], d[i], prev_gap) > c.limit) return false;
                mark[i] = true;
            }
        }
        const std::size_t last = std::size_t(n - 1);
        const std::int64_t gap = std::llabs(H(n - 1) - H(0) - 360);
        if (!(slope(d[last], d[0], gap) > c.limit)) return true;
        // Truncation can leave the wrap pair just beyond the limit for ever.
        if (restarts == n) return false;
        ++restarts;
        d[0] = step_from(d[last], gap, c.limit, d[last] > d[0]);
        mark.fill(false);
        k = 1;
    }
}

// Backward direction, the mirror image; false stops the whole limiter.
bool backward(Kind& c) {
    const int n = static_cast<int>(c.d.size());
    const auto H = [&](int k) { return std::int64_t{c.hue[std::size_t(k)]}; };
    auto& d = c.d;
    auto& mark = c.marked;
    mark.fill(false);
    const std::size_t last = std::size_t(n - 1);
    const std::int64_t wrap_gap = std::llabs(H(n - 1) - 360 - H(0));
    for (int k = n - 1; k >= 1; --k) {
        const std::size_t i = std::size_t(k), j = i - 1;
        const std::int64_t gap = std::llabs(H(k - 1) - H(k));
        if (gap == 0) return false;
        if (slope(d[j], d[i], gap) <= c.limit) {
            mark[i] = true;
            continue;
        }
        if (mark[i] && mark[j]) return false;
        if (!mark[j]) {
            d[j] = step_from(d[i], gap, c.limit, d[i] > d[j]);
            mark[i] = mark[j] = true;
        } else {
            d[i] = step_from(d[j], gap, c.limit, !(d[i] > d[j]));
            const bool wraps = k == n - 1;
            const std::size_t next = wraps ? 0 : i + 1;
            const std::int64_t next_gap = wraps ? wrap_gap : std::llabs(H(k) - H(k + 1));
            if (slope(d[i], d[next], next_gap) > c.limit) return false;
            mark[i] = true;
        }
    }
    if (slope(d[last], d[0], wrap_gap) > c.limit) {
        d[last] = step_from(d[0], wrap_gap, c.limit, !(d[last] > d[0]));
        mark.fill(false);
    }
    return true;
}

}  // namespace

bool limit_slopes(std::span<const std::int32_t> source_hue, const Limits& limits, Corrections& fwd,
                  Corrections& bwd) {
    const std::size_t n = source_hue.size();
    if (n == 0) return true;
    const std::array<float, 3> limit{static_cast<float>(limits.hue), static_cast<float>(limits.sat),
                                     static_cast<float>(limits.luma)};
    const auto kinds = [&](Corrections& c) {
        return std::array<std::span<std::int32_t>, 3>{std::span(c.hue).first(n), std::span(c.sat).first(n),
                                                      std::span(c.luma).first(n)};
    };
    const auto f = kinds(fwd);
    for (std::size_t i = 0; i < 3; ++i) {
        Kind k{source_hue, limit[i], f[i]};
        if (!forward(k)) return false;
    }
    const auto b = kinds(bwd);
    for (std::size_t i = 0; i < 3; ++i) {
        Kind k{source_hue, limit[i], b[i]};
        if (!backward(k)) return false;
    }
    return true;
}

std::int32_t interp(std::int64_t x0, std::int64_t x1, std::int64_t y0, std::int64_t y1, std::int64_t x) {
    const auto dbl = [](std::int64_t v) { return static_cast<double>(v); };
    if (x0 == x1 || x == x0) return static_cast<std::int32_t>(y0);
    if (x == x1) return static_cast<std::int32_t>(y1);
    if (y0 < y1) return trunc_i32(dbl(x - x0) / dbl(x1 - x0) * dbl(y1 - y0) + dbl(y0) + 0.5);
    if (y0 == y1) return static_cast<std::int32_t>(y0);
    return trunc_i32(dbl(x1 - x) / dbl(x1 - x0) * dbl(y0 - y1) + dbl(y1) + 0.5);
}

Rgb predict(const Rgb& source, const Table& table, std::int32_t chroma_threshold) {
    auto w = yuv16(rgb_to_yuv(source));
    const TableView view{table.data(), table.data() + kBins, table.data() + 2 * kBins, false};
    pca_pixel(w[0], w[1], w[2], 0, chroma_threshold, view);
    return yuv8_to_rgb(w[0] >> 8, w[1] >> 8, w[2] >> 8);
}

namespace {

// One candidate table: corrections spread over the bins by interpolation
// between the patches around each bin's angle, the wrap gap between the last
// and the first patch included. The luma array stays 0.
Table candidate(std::span<const std::int32_t> H, const Corrections& c) {
    Table t{};
    const int n = static_cast<int>(H.size());
    if (n == 0) return t;
    const auto at = [](const std::array<std::int32_t, kChartPatches>& a, int k) { return std::int64_t{a[std::size_t(k)]}; };
    const auto h_at = [&](int k) { return std::int64_t{H[std::size_t(k)]}; };
    for (int b = 0; b < kBins; ++b) {
        const std::int64_t h = 2 * b;
        int k = 0;
        while (k <= n - 2 && !(h_at(k) <= h && h < h_at(k + 1))) ++k;
        std::int32_t hue = 0, sat = 0;
        if (k <= n - 2) {
            hue = interp(h_at(k), h_at(k + 1), at(c.hue, k), at(c.hue, k + 1), h);
            sat = interp(h_at(k), h_at(k + 1), at(c.sat, k), at(c.sat, k + 1), h);
        } else {
            const std::int64_t x = h > 300 ? h - 360 : h;
            hue = interp(h_at(n - 1) - 360, h_at(0), at(c.hue, n - 1), at(c.hue, 0), x);
            sat = interp(h_at(n - 1) - 360, h_at(0), at(c.sat, n - 1), at(c.sat, 0), x);
        }
        t[std::size_t(b)] = hue;
        t[std::size_t(kBins + b)] = sat;
    }
    return t;
}

Rgb patch(std::span<const std::int32_t, 6 * kPatchSlots> patches, int half, int i) {
    const std::size_t at = std::size_t(half * 3 * kPatchSlots + 3 * i);
    return Rgb{patches[at], patches[at + 1], patches[at + 2]};
}

}  // namespace

Generation generate(std::span<const std::int32_t, 6 * kPatchSlots> patches, const GenSettings& settings) {
    Generation g;
    if (settings.patch_count != kChartPatches) {
        g.outcome = GenOutcome::bad_patch_count;
        return g;
    }
    int n = kChartPatches;
    std::array<SortedPatch, kChartPatches> sorted{};
    for (int i = 0; i < n; ++i) {
        sorted[std::size_t(i)] = SortedPatch{hue_record(patch(patches, 0, i)), hue_record(patch(patches, 1, i)), i};
    }
    // Bubble sort by source hue: neighbours swap only when the left hue is
    // greater, so equal hues keep their order.
    for (int pass = 0; pass < n - 1; ++pass) {
        for (int j = 0; j < n - 1 - pass; ++j) {
            auto& a = sorted[std::size_t(j)];
            auto& b = sorted[std::size_t(j + 1)];
            if (a.source.hue > b.source.hue) std::swap(a, b);
        }
    }
    // Targets more than 250 degrees away from their source went the short way
    // round through 0.
    for (auto& p : sorted) {
        if (p.source.hue - p.target.hue > 250) {
            p.target.hue += 360;
        } else if (p.target.hue - p.source.hue > 250) {
            p.target.hue -= 360;
        }
    }
    // Crossing pass: a patch whose target passes its successor's is dropped.
    int kept = 0;
    for (int j = 0; j < kChartPatches; ++j) {
        const auto& p = sorted[std::size_t(j)];
        const bool crosses = j < kChartPatches - 1 ? sorted[std::size_t(j + 1)].target.hue < p.target.hue
                                                   : sorted[0].target.hue + 360 < p.target.hue;
        if (crosses) {
            --n;
        } else {
            g.kept_patches[std::size_t(kept++)] = p;
        }
    }
    g.kept = kept;

    std::array<std::int32_t, kChartPatches> source_hue{};
    Corrections first;
    for (int k = 0; k < kept; ++k) {
        const auto& p = g.kept_patches[std::size_t(k)];
        const std::size_t i = std::size_t(k);
        source_hue[i] = p.source.hue;
        first.hue[i] = 2 * (p.target.hue - p.source.hue);
        first.sat[i] = ratio_correction(p.target.chroma, p.source.chroma);
        first.luma[i] = ratio_correction(p.target.luma, p.source.luma);
    }
    Corrections second = first;
    const std::span<const std::int32_t> hues = std::span(source_hue).first(std::size_t(kept));
    if (!settings.skip_limiter) g.limiter_completed = limit_slopes(hues, settings.limits, first, second);

    g.candidates = {candidate(hues, first), candidate(hues, second)};
    // Prediction on the first n patches in input order.
    for (std::size_t c = 0; c < 2; ++c) {
        float sum = 0;
        for (int i = 0; i < n; ++i) {
            const Rgb predicted = predict(patch(patches, 0, i), g.candidates[c], settings.chroma_threshold);
            sum += ab_error(lab_of(patch(patches, 1, i)), lab_of(predicted));
        }
        g.mean_error[c] = n > 0 ? sum / static_cast<float>(n) : 0.0f;
    }
    g.chosen = g.mean_error[0] < g.mean_error[1] ? 0 : 1;
    g.table = g.candidates[std::size_t(g.chosen)];
    return g;
}

}  // namespace morvik::pca
