// Slope and offset per channel: a running least-squares line over the first
// points of the series, extended one point at a time while the next point
// keeps below saturation and close to the line.
#include <cmath>
#include <cstdio>
#include <memory>

#include "frame/maths.h"
#include "platform/platform.h"
#include "sensor/sensor.h"

namespace morvik::sensor {

namespace {

// Sums of the fit and the line they give, recomputed after every point.
class LineFit {
public:
    void add(double x, const std::array<double, 4>& y) {
        n_ += 1;
        sx_ += x;
        sxx_ += x * x;
        const double mean_x = sx_ / n_;
        const double s_xx = sxx_ - n_ * mean_x * mean_x;
        for (std::size_t c = 0; c < 4; ++c) {
            sy_[c] += y[c];
            sxy_[c] += x * y[c];
            const double mean_y = sy_[c] / n_;
            const double s_xy = sxy_[c] - mean_y * n_ * mean_x;
            slope[c] = s_xy / s_xx;
            intercept[c] = mean_y - slope[c] * mean_x;
        }
    }
    // Relative error of the line at (x, y); zero predictions give IEEE
    // infinities or NaN.
    double error(std::size_t c, double x, double y) const {
        const double predicted = slope[c] * x + intercept[c];
        return maths::fabs((predicted - y) / predicted);
    }

    std::array<double, 4> slope{};
    std::array<double, 4> intercept{};

private:
    double n_ = 0, sx_ = 0, sxx_ = 0;
    std::array<double, 4> sy_{}, sxy_{};
};

std::array<double, 4> point(const Series& s, int i) {
    std::array<double, 4> y{};
    for (std::size_t c = 0; c < 4; ++c) y[c] = s.response[c][i];
    return y;
}

}  // namespace

const char* describe(LinearEnd end) {
    switch (end) {
        case LinearEnd::series_end: return "linear to the end of the series";
        case LinearEnd::saturated: return "the next point reaches saturation";
        case LinearEnd::bent: return "the next point leaves the line";
    }
    return "unknown";
}

std::uint32_t round_wrap(double v) {
    if (!std::isfinite(v)) return 0;
    const double r = std::trunc(v >= 0 ? v + 0.5 : v - 0.5);
    if (!(r > -9223372036854775808.0 && r < 9223372036854775808.0)) return 0;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(r)));
}

std::string curve_file_path() { return platform::inspect_dir() + "sensorcurve.csv"; }

bool create_curve_file(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "w"), &std::fclose);
    return file != nullptr;
}

SlopeOffset slope_offset(const Series& s) {
    SlopeOffset out;
    const double saturation = s.ten_bit ? 1023.0 : 255.0;
    out.linear_limit = saturation;

    LineFit fit;
    for (int i = 0; i < 5; ++i) fit.add(s.exposure[i], point(s, i));
    out.last_point = 4;

    // Threshold: 3 x the largest mean relative error of the first five
    // points, at least 0.015 (NaN means are left out).
    double largest = 0;
    for (std::size_t c = 0; c < 4; ++c) {
        double sum = 0;
        for (int i = 0; i < 5; ++i) sum += fit.error(c, s.exposure[i], s.response[c][i]);
        const double mean = sum / 5;
        if (mean > largest) largest = mean;
    }
    double thr = 3 * largest;
    if (thr < 0.015) thr = 0.015;
    out.threshold = thr;

    for (int i = 5; i < s.count; ++i) {
        fit.add(s.exposure[i], point(s, i));
        out.last_point = i;
        if (i + 1 >= s.count) break;
        bool saturated = false;
        for (std::size_t c = 0; c < 4; ++c) saturated = saturated || s.response[c][i + 1] >= saturation;
        if (saturated) {
            out.end = LinearEnd::saturated;
            break;
        }
        // Largest error at the next point, first channel on ties; NaN never counts.
        int worst = -1;
        std::array<double, 4> e{};
        for (std::size_t c = 0; c < 4; ++c) {
            e[c] = fit.error(c, s.exposure[i + 1], s.response[c][i + 1]);
            if (!std::isnan(e[c]) && (worst < 0 || e[c] > e[std::size_t(worst)])) worst = static_cast<int>(c);
        }
        if (worst >= 0 && e[std::size_t(worst)] > thr) {
            out.linear_limit = s.response[std::size_t(worst)][i];
            out.end = LinearEnd::bent;
            out.channel = worst;
            break;
        }
    }

    out.ratio = saturation / out.linear_limit;
    if (out.ratio < 1.0) out.ratio = 1.0;

    double top = NAN;
    for (double slope : fit.slope)
        if (!std::isnan(slope) && (std::isnan(top) || slope > top)) top = slope;
    for (std::size_t c = 0; c < 4; ++c) {
        out.slopes[c] = fit.slope[c];
        out.intercepts[c] = fit.intercept[c];
        out.gains[c] = top / fit.slope[c];
        const double v = s.ten_bit ? fit.intercept[c] : fit.intercept[c] * 4;
        out.offsets[c] = s.black[c] - round_wrap(v);
    }
    return out;
}

}  // namespace morvik::sensor
