// Exhaustive-search AWB calibration and the light-source windows. The grey
// points and the search (X, Y, their extremes and the ratio) are single
// precision, every operation rounded to float; the extrapolation and the
// limit bytes are double precision from the search's single-precision
// extremes.
#include <algorithm>
#include <cmath>
#include <utility>

#include "awb/awb.h"

namespace morvik::awb {

void sort_by_key_descending(std::span<AwbGreyStatistics> entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::size_t top = i;
        for (std::size_t j = i + 1; j < entries.size(); ++j) {
            if (entries[j].key > entries[top].key) top = j;
        }
        std::swap(entries[i], entries[top]);
    }
}

std::array<int, 3> channel_medians(std::span<const AwbGreyStatistics> sorted) {
    const std::size_t m = sorted.size() / 2;
    const AwbGreyStatistics& lo = sorted[m - 1];
    const AwbGreyStatistics& hi = sorted[m];
    return {(int(lo.channel1) + int(hi.channel1)) / 2, (int(lo.channel2) + int(hi.channel2)) / 2,
            (int(lo.channel3) + int(hi.channel3)) / 2};
}

std::uint8_t truncated_byte(double value) {
    // Mirrors a truncating double-to-int32 conversion followed by keeping the
    // low byte; out-of-range values become the x86 indefinite integer.
    if (!(value > -2147483649.0 && value < 2147483648.0)) return 0;
    const auto whole = static_cast<std::int32_t>(value);
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(whole) & 0xFFu);
}

namespace {

// Grey points after the gains, kept in single precision.
struct GreyPoints {
    std::array<float, kMaxEntries> u{};
    std::array<float, kMaxEntries> v{};
    std::array<float, kMaxEntries> s{};
    std::size_t count = 0;
};

struct Projection {
    bool found = false;
    int a = 0;
    int b = 0;
    float x_max = 0.0f;
    float x_min = 0.0f;
    float y_max = 0.0f;
    float y_min = -1.0f;
};

GreyPoints grey_points(std::span<const AwbGreyStatistics> sorted, const std::array<int, 3>& gains) {
    GreyPoints g;
    g.count = sorted.size();
    const float g1 = static_cast<float>(gains[0]);
    const float g2 = static_cast<float>(gains[1]);
    const float g3 = static_cast<float>(gains[2]);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const float p = static_cast<float>(sorted[i].channel1) * g1 / 64.0f;
        const float q = static_cast<float>(sorted[i].channel2) * g2 / 64.0f;
        const float r = static_cast<float>(sorted[i].channel3) * g3 / 64.0f;
        const float s = 0.5f * q + 0.25f * (p + r);
        g.u[i] = p - s;
        g.v[i] = r - s;
        g.s[i] = s;
    }
    return g;
}

// Every (a, b) in 15..31 x 15..31, a outer; a pair replaces the best only
// with a strictly larger spread ratio, so the first of equal pairs stays.
// All of it in single precision: equal ratios are told apart by its rounding.
Projection search(const GreyPoints& g) {
    Projection best;
    float best_ratio = 0.0001f;
    for (int a = 15; a <= 31; ++a) {
        const float fa = static_cast<float>(a);
        for (int b = 15; b <= 31; ++b) {
            const float fb = static_cast<float>(b);
            float x_max = -1000000.0f, x_min = 1000000.0f;
            float y_max = -1000000.0f, y_min = 1000000.0f;
            for (std::size_t i = 0; i < g.count; ++i) {
                const float bu = fb * g.u[i];
                const float av = fa * g.v[i];
                const float x = (bu - av) / 64.0f / g.s[i] * 128.0f;
                const float y = (bu + av) / 64.0f / g.s[i] * 128.0f;
                if (x > x_max) x_max = x;
                if (x < x_min) x_min = x;
                if (y > y_max) y_max = y;
                if (y < y_min) y_min = y;
            }
            const float ratio = (x_max - x_min) / (y_max - y_min);
            if (ratio > best_ratio && y_max > 0.0f && y_min < 0.0f && x_max > 0.0f && x_min < 0.0f) {
                best_ratio = ratio;
                best = {true, a, b, x_max, x_min, y_max, y_min};
            }
        }
    }
    return best;
}

}  // namespace

Calibration calibrate(std::span<const AwbGreyStatistics> entries, std::uint16_t upper_key,
                      std::uint16_t lower_key) {
    std::array<AwbGreyStatistics, kMaxEntries> store{};
    const std::size_t n = std::min(entries.size(), kMaxEntries);
    std::copy_n(entries.begin(), n, store.begin());
    const std::span<AwbGreyStatistics> sorted(store.data(), n);
    sort_by_key_descending(sorted);

    Calibration out;
    const std::array<int, 3> medians = channel_medians(sorted);
    if (medians[0] == 0 || medians[1] == 0 || medians[2] == 0) {
        out.status = Outcome::zero_median;
        return out;
    }
    const int m = std::min({medians[0], medians[1], medians[2], 255});
    const std::array<int, 3> gains = {63 * m / medians[0], 63 * m / medians[1], 63 * m / medians[2]};
    out.result.gain1 = static_cast<std::uint8_t>(gains[0]);
    out.result.gain2 = static_cast<std::uint8_t>(gains[1]);
    out.result.gain3 = static_cast<std::uint8_t>(gains[2]);

    const Projection best = search(grey_points(sorted, gains));
    if (!best.found) {
        out.status = Outcome::no_projection;
        out.result.y_lower = truncated_byte(-static_cast<double>(best.y_min));
        return out;
    }

    // Extend the first axis linearly in the key to the key limits; both ends
    // use the span found by the search.
    const double x_max = best.x_max, x_min = best.x_min;
    const double span = x_max - x_min;
    const int k0 = sorted.front().key;
    const int kn = sorted.back().key;
    double x_min_ext = x_min, x_max_ext = x_max;
    if (k0 != kn) {
        if (upper_key > k0) x_min_ext = x_min - span * double(upper_key - k0) / double(k0 - kn);
        if (lower_key < kn) x_max_ext = x_max + span * double(kn - lower_key) / double(k0 - kn);
    }

    out.result.coef_a = static_cast<std::uint8_t>(best.a);
    out.result.coef_b = static_cast<std::uint8_t>(best.b);
    out.result.x_upper = truncated_byte(1.2 * x_max_ext + 1.0);
    out.result.x_lower = truncated_byte(2.0 * (1.2 * -x_min_ext + 1.0));
    out.result.y_upper = truncated_byte(1.2 * static_cast<double>(best.y_max) + 1.0);
    out.result.y_lower = truncated_byte(-static_cast<double>(best.y_min));
    return out;
}

std::array<AwbWindow, 10> light_windows(std::span<const AwbLightStatistics, 5> l) {
    std::array<AwbWindow, 10> w{};
    // Upper v, lower v, lower u, upper u.
    w[0] = {l[0].center_v + 2.5 * l[0].spread_v, l[0].center_v - 2.5 * l[0].spread_v,
            l[0].center_u - 2.5 * l[0].spread_u, (l[1].center_u + l[0].center_u) * 0.5};
    w[2].upper_v = l[2].center_v + 2.5 * l[2].spread_v;
    w[2].lower_v = (l[3].center_v + l[2].center_v) * 0.5;
    w[2].lower_u = l[2].center_u - 2.5 * l[2].spread_u;
    w[3] = {(l[3].center_v + l[2].center_v) * 0.5, l[3].center_v - 2.0 * l[3].spread_v, w[2].lower_u,
            l[3].center_u + 2.5 * l[3].spread_u};
    w[2].upper_u = w[3].upper_u;
    w[1] = {l[1].center_v + 2.5 * l[1].spread_v, l[1].center_v - 3.5 * l[1].spread_v,
            (l[1].center_u + l[0].center_u) * 0.5, w[2].lower_u};
    w[4] = {l[4].center_v + 2.5 * l[4].spread_v, l[4].center_v - 3.5 * l[4].spread_v, w[3].upper_u,
            l[4].center_u + 7.0 * l[4].spread_u};

    const double d1 = (w[1].upper_v - w[1].lower_v) * 0.125;
    w[5] = {w[1].upper_v - d1, w[1].lower_v + d1, (w[1].lower_u + w[1].upper_u) * 0.5, w[1].upper_u};
    const double d3 = (w[3].upper_v - w[3].lower_v) * 0.125;
    w[6] = {w[3].upper_v - d3, w[3].lower_v + d3, w[3].lower_u, w[3].upper_u};

    // Windows 7-9 split window 4 along u; their v limits shrink by an eighth
    // of the span from window 3's lower edge to window 4's upper edge.
    const double d4 = (w[4].upper_v - w[3].lower_v) * 0.125;
    const double e = w[4].upper_u - w[4].lower_u;
    const double top = w[4].upper_v - d4, bottom = w[4].lower_v + d4;
    w[7] = {top, bottom, w[4].lower_u, w[4].lower_u + 0.75 * e};
    w[8] = {top, bottom, w[4].lower_u + e / 8.0, w[4].upper_u - e / 8.0};
    w[9] = {top, bottom, w[4].upper_u - 0.75 * e, w[4].upper_u};
    return w;
}

std::array<AwbIntWindow, 6> small_windows(std::span<const AwbIntWindow, 4> large) {
    struct Cut {
        double cw, ch, px, py;
    };
    static constexpr Cut kCuts[6] = {{0.3, 0.75, 1.0, 0.5},  {1.0, 0.75, 0.5, 0.5},  {1.0, 0.75, 0.5, 0.5},
                                     {0.75, 0.75, 0.0, 0.5}, {0.75, 0.75, 0.5, 0.5}, {0.75, 0.75, 1.0, 0.5}};
    std::array<AwbIntWindow, 6> out{};
    for (std::size_t i = 0; i < 6; ++i) {
        const AwbIntWindow& big = large[std::min<std::size_t>(i, 3)];
        const Cut& c = kCuts[i];
        // 64-bit integers hold every intermediate, so no window overflows.
        const double w = double(big.x1) - double(big.x0);
        const double h = double(big.y1) - double(big.y0);
        const double a = w * c.cw, b = h * c.ch;
        std::int64_t x0 = big.x0 + static_cast<std::int64_t>((w - a) * c.px);
        std::int64_t x1 = x0 + static_cast<std::int64_t>(a);
        std::int64_t y0 = big.y0 + static_cast<std::int64_t>((h - b) * c.py);
        std::int64_t y1 = y0 + static_cast<std::int64_t>(b);
        x0 = std::max<std::int64_t>(x0, big.x0);
        x1 = std::min<std::int64_t>(x1, big.x1);
        y0 = std::max<std::int64_t>(y0, big.y0);
        y1 = std::min<std::int64_t>(y1, big.y1);
        out[i] = {static_cast<std::int32_t>(x0), static_cast<std::int32_t>(x1), static_cast<std::int32_t>(y0),
                  static_cast<std::int32_t>(y1)};
    }
    return out;
}

namespace {
std::array<AwbIntWindow, kAppliedWindows> g_applied{};  // zeroed at load
}  // namespace

void set_applied_windows(std::span<const AwbIntWindow, kAppliedWindows> windows) {
    std::copy(windows.begin(), windows.end(), g_applied.begin());
}

std::array<AwbIntWindow, kAppliedWindows> applied_windows() { return g_applied; }

}  // namespace morvik::awb
