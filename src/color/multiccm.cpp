// Double precision throughout: x = (512.0 * first) / denominator,
// (x - mean)^2 by pow(., 2.0), x^2, xy and y^2 as plain products, sums in
// ascending light order. The products matrix element * weight are formed in
// 64 bits, so they do not wrap.
#include "color/multiccm.h"

#include <cmath>
#include <vector>

#include "frame/maths.h"

namespace morvik::color {

std::int32_t round_half_up(double v) {
    const double r = std::floor(v + 0.5);
    if (!(r >= -2147483648.0 && r < 2147483648.0)) return INT32_MIN;
    return static_cast<std::int32_t>(r);
}

MultiCcmResult multi_ccm(std::span<const Light> lights, int terms) {
    const int n = static_cast<int>(lights.size());
    const int k = n < 6 ? 3 : terms;

    std::vector<double> x(lights.size());
    std::vector<double> y(lights.size());
    double sum_x = 0.0;
    double sum_y = 0.0;
    for (std::size_t i = 0; i < lights.size(); ++i) {
        x[i] = 512.0 * double(lights[i].first) / double(lights[i].denominator);
        y[i] = 512.0 * double(lights[i].second) / double(lights[i].denominator);
        sum_x += x[i];
        sum_y += y[i];
    }
    const double mx = sum_x / n;
    const double my = sum_y / n;
    double ss_x = 0.0;
    double ss_y = 0.0;
    for (std::size_t i = 0; i < lights.size(); ++i) {
        ss_x += maths::pow(x[i] - mx, 2.0);
        ss_y += maths::pow(y[i] - my, 2.0);
    }
    const double sx = std::sqrt(ss_x / (n - 1));
    const double sy = std::sqrt(ss_y / (n - 1));

    // Weighted design rows.
    const std::size_t kk = k > 0 ? std::size_t(k) : 0;
    std::vector<double> t(lights.size() * kk);
    for (std::size_t i = 0; i < lights.size(); ++i) {
        x[i] = (x[i] - mx) / sx;
        y[i] = (y[i] - my) / sy;
        const double term[kMaxTerms] = {1.0, x[i], y[i], x[i] * x[i], x[i] * y[i], y[i] * y[i]};
        const double w = lights[i].weight;
        for (std::size_t j = 0; j < kk; ++j) t[i * kk + j] = w * term[j];
    }

    MultiCcmResult out{};
    out.terms = k;
    out.mean_x = mx;
    out.sd_x = sx;
    out.mean_y = my;
    out.sd_y = sy;
    out.normalisation = {round_half_up(100.0 * mx), round_half_up(100.0 * sx), round_half_up(100.0 * my),
                         round_half_up(100.0 * sy)};
    if (kk == 0) return out;

    std::vector<double> a(kk * kk);
    std::vector<double> inv(kk * kk);
    std::vector<double> b(kk);
    for (int e = 0; e < 9; ++e) {
        for (std::size_t r = 0; r < kk; ++r) {
            for (std::size_t c = 0; c < kk; ++c) {
                double s = 0.0;
                for (std::size_t i = 0; i < lights.size(); ++i) s += t[i * kk + r] * t[i * kk + c];
                a[r * kk + c] = s;
                inv[r * kk + c] = r == c ? 1.0 : 0.0;
            }
            double s = 0.0;
            for (std::size_t i = 0; i < lights.size(); ++i) {
                const auto target = double(std::int64_t(lights[i].matrix[std::size_t(e)]) * lights[i].weight);
                s += target * t[i * kk + r];
            }
            b[r] = s;
        }
        // Gauss-Jordan without pivoting; rows divided by the diagonal at the end.
        for (std::size_t c = 0; c < kk; ++c) {
            for (std::size_t j = 0; j < kk; ++j) {
                if (j == c) continue;
                const double f = -a[j * kk + c] / a[c * kk + c];
                for (std::size_t col = 0; col < kk; ++col) {
                    a[j * kk + col] = a[j * kk + col] + a[c * kk + col] * f;
                    inv[j * kk + col] = inv[j * kk + col] + inv[c * kk + col] * f;
                }
            }
        }
        for (std::size_t r = 0; r < kk; ++r) {
            for (std::size_t col = 0; col < kk; ++col) inv[r * kk + col] = inv[r * kk + col] / a[r * kk + r];
        }
        for (std::size_t r = 0; r < kk; ++r) {
            double s = 0.0;
            for (std::size_t j = 0; j < kk; ++j) s += inv[r * kk + j] * b[j];
            out.exact[r][std::size_t(e)] = s;
            out.coefficients[r][std::size_t(e)] = round_half_up(10000.0 * s);
        }
    }
    return out;
}

}  // namespace morvik::color
