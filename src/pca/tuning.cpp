// One-colour tuning of an existing table: shift the hue and saturation of
// the bins around the source colour toward the target colour, then soften
// the steps this leaves at both ends of the edited range.
#include <cstdlib>

#include "pca/pca.h"

namespace morvik::pca {

std::string_view describe(TuneOutcome outcome) {
    switch (outcome) {
        case TuneOutcome::ok: return "ok";
        case TuneOutcome::too_many_steps: return "AdvTuning: softening needs more steps than allowed";
    }
    return "unknown outcome";
}

namespace {

int wrap_bin(std::int64_t k) { return static_cast<int>(((k % kBins) + kBins) % kBins); }

struct Walk {
    bool reached_end = false;  // went all the way to the range's other end
    int bin = 0;               // where it found its neighbour within the limit
    int steps = 0;
};

// From bin `start`, step by `dir` (-1 down, +1 up) while the neighbour
// differs from the current bin by twice `limit` or more, moving the
// neighbour to the current value +- twice the limit. Every step moves one
// bin, so the walk meets `end` within one turn.
Walk soften(std::span<std::int32_t> a, double limit, std::int64_t start, std::int64_t end, int dir) {
    Walk w;
    int c = wrap_bin(start);
    const int stop = wrap_bin(end);
    for (int turn = 0; turn < kBins; ++turn) {
        const int next = wrap_bin(c + dir);
        std::int32_t& cur = a[std::size_t(c)];
        std::int32_t& nb = a[std::size_t(next)];
        if (!(static_cast<double>(std::llabs(std::int64_t{cur} - nb)) / 2 >= limit)) {
            w.bin = c;
            return w;
        }
        nb = cur <= nb ? trunc_i32(cur + 2 * limit) : trunc_i32(cur - 2 * limit);
        ++w.steps;
        c = next;
        if (c == stop) break;
    }
    w.reached_end = true;
    return w;
}

}  // namespace

Tuning tune(const TuningRequest& rq, std::span<std::int32_t, 2 * kBins> table) {
    Tuning t;
    auto& r = t.report;
    const HueRecord src = hue_record(rq.source), tgt = hue_record(rq.target);
    r[0] = src.hue, r[1] = src.chroma, r[2] = src.luma;
    r[3] = tgt.hue, r[4] = tgt.chroma, r[5] = tgt.luma;

    // The shorter way round when the two hues lie either side of 0.
    std::int64_t shift = std::int64_t{tgt.hue} - src.hue;
    if (tgt.hue > 250 && src.hue < 100) shift -= 360;
    if (tgt.hue < 100 && src.hue > 250) shift += 360;
    const double strength = rq.strength;
    const std::int32_t sat = src.chroma == 0 ? 0
                                             : trunc_i32(static_cast<double>(tgt.chroma - src.chroma) / src.chroma *
                                                             strength * 128 + 0.5);
    const std::int32_t hue = trunc_i32(static_cast<double>(2 * shift) * strength);

    // Edited range in bins; C division truncates toward zero.
    const std::int64_t a = (std::int64_t{src.hue} - rq.range_below) / 2;
    const std::int64_t b = (std::int64_t{src.hue} + rq.range_above) / 2;
    const std::span<std::int32_t> hue_array = table.first(kBins), sat_array = table.last(kBins);
    for (std::int64_t k = a; k <= b && k - a < kBins; ++k) {
        hue_array[std::size_t(wrap_bin(k))] = hue;
        sat_array[std::size_t(wrap_bin(k))] = sat;
    }
    r[8] = static_cast<std::int32_t>(2 * a);
    r[9] = static_cast<std::int32_t>(2 * b);
    r[6] = r[8];
    r[7] = r[9];

    const Walk below = soften(hue_array, rq.hue_limit, a, b, -1);
    t.steps = below.steps;
    if (!below.reached_end) r[6] = 2 * below.bin;
    if (t.steps > rq.max_steps) {
        t.outcome = TuneOutcome::too_many_steps;
        return t;
    }
    const Walk above = soften(hue_array, rq.hue_limit, b, a, +1);
    t.steps += above.steps;
    if (!above.reached_end) r[7] = 2 * above.bin;
    if (t.steps > rq.max_steps) {
        t.outcome = TuneOutcome::too_many_steps;
        return t;
    }
    soften(sat_array, rq.sat_limit, a, b, -1);
    soften(sat_array, rq.sat_limit, b, a, +1);
    return t;
}

}  // namespace morvik::pca
