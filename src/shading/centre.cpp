#include "shading/centre.h"

#include "frame/log.h"

namespace morvik::shading {

namespace {

using frame::log_format;
using frame::log_write;

inline double det3(double a, double b, double c, double d, double e, double f, double g, double h, double i) {
    return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
}

// Row scan of channel c: per block row the blocks at least as bright as both
// ends of the row and as half the target.
std::vector<Parabola> scan_rows(const BlockStats& stats, int c) {
    const BlockGrid& grid = stats.grid;
    std::vector<Parabola> rows(static_cast<std::size_t>(grid.vn));
    const double threshold = 0.5 * stats.target[c];
    for (int v = 0; v < grid.vn; ++v) {
        const std::size_t base = grid.index(v, 0);
        const double left = stats.mean(c, base), right = stats.mean(c, base + grid.hn - 1);
        auto kept = [&](double m) { return m >= left && m >= right && m >= threshold; };
        PowerSums sums;
        int h0 = 0;
        while (h0 < grid.hn && !kept(stats.mean(c, base + h0))) ++h0;
        const double first = block_x(c, h0);
        double last = first;
        for (int h = h0; h < grid.hn; ++h) {
            const double m = stats.mean(c, base + h);
            if (kept(m)) {
                const double x = block_x(c, h);
                last = x;
                sums.add(x, m);
            }
        }
        rows[static_cast<std::size_t>(v)] = fit_parabola(sums, first, last);
    }
    return rows;
}

// Column scan of channel c. All columns advance together, row by row, so the
// block sums are read in memory order; each column still sums top to bottom.
std::vector<Parabola> scan_columns(const BlockStats& stats, int c) {
    const BlockGrid& grid = stats.grid;
    const auto hn = static_cast<std::size_t>(grid.hn);
    const double threshold = 0.5 * stats.target[c];
    const std::size_t last_row = grid.index(grid.vn - 1, 0);
    std::vector<PowerSums> sums(hn);
    std::vector<double> first(hn), last(hn);
    for (int v = 0; v < grid.vn; ++v) {
        const std::size_t base = grid.index(v, 0);
        const double y = block_y(c, v);
        for (std::size_t h = 0; h < hn; ++h) {
            const double m = stats.mean(c, base + h);
            if (m >= stats.mean(c, h) && m >= stats.mean(c, last_row + h) && m >= threshold) {
                if (sums[h].n == 0) first[h] = y;
                last[h] = y;
                sums[h].add(y, m);
            }
        }
    }
    std::vector<Parabola> columns(hn);
    for (std::size_t h = 0; h < hn; ++h) columns[h] = fit_parabola(sums[h], first[h], last[h]);
    return columns;
}

ChannelCentre intersect(const Line& horizontal, const Line& vertical, const BlockGrid& grid, int c) {
    ChannelCentre centre;
    if (horizontal.code != 0 || vertical.code != 0) {
        centre.code = 1;
        return centre;
    }
    const double det = 1 - vertical.a * horizontal.a;
    if (det >= -0.0001 && det <= 0.0001) {
        centre.code = 2;
        return centre;
    }
    // x = aH y + bH and y = aV x + bV.
    centre.x = (vertical.b * horizontal.a + horizontal.b) / det;
    centre.y = (vertical.a * horizontal.b + vertical.b) / det;
    const double x0 = block_x(c, 0), x1 = block_x(c, grid.hn - 1);
    const double y0 = block_y(c, 0), y1 = block_y(c, grid.vn - 1);
    centre.code = (centre.x > x0 && centre.x < x1 && centre.y > y0 && centre.y < y1) ? 0 : 3;
    return centre;
}

}  // namespace

Parabola fit_parabola(const PowerSums& s, double first, double last) {
    Parabola p;
    if (s.n <= 2) return p;
    const double det = det3(s.sx4, s.sx3, s.sx2, s.sx3, s.sx2, s.sx, s.sx2, s.sx, s.n);
    if (det < 0.0001) {
        p.code = ParabolaCode::singular;
        return p;
    }
    const double a = det3(s.sx2y, s.sx3, s.sx2, s.sxy, s.sx2, s.sx, s.sy, s.sx, s.n) / det;
    const double b = det3(s.sx4, s.sx2y, s.sx2, s.sx3, s.sxy, s.sx, s.sx2, s.sy, s.n) / det;
    const double c = det3(s.sx4, s.sx3, s.sx2y, s.sx3, s.sx2, s.sxy, s.sx2, s.sx, s.sy) / det;
    if (a >= 0) {
        p.code = ParabolaCode::not_concave;
        return p;
    }
    p.vertex = -b / (2 * a);
    const double peak = (4 * a * c - b * b) / (4 * a);
    p.code = (peak <= 0 || p.vertex < first || p.vertex > last) ? ParabolaCode::outside : ParabolaCode::good;
    return p;
}

Line LineSums::fit() const {
    Line l;
    if (n < 2) return l;
    const double det = n * st2 - st * st;
    if (det < 0.0001) {
        l.code = 1;
        return l;
    }
    l.code = 0;
    l.a = (n * stu - st * su) / det;
    l.b = (st2 * su - st * stu) / det;
    return l;
}

CentreResult find_centre(const BlockStats& stats, unsigned bayer_order) {
    const BlockGrid& grid = stats.grid;
    CentreResult r;

    log_write("Shading: Memory allocation OK for horizontal line fitting\n");
    log_write("Shading: Horizontal Scan\n");
    for (int c = 0; c < 4; ++c) r.rows[c] = scan_rows(stats, c);
    log_write("Shading: Horizontal Scan End\n");

    log_write("Shading: Horizontal Line Fitting\n");
    for (int c = 0; c < 4; ++c) {
        LineSums sums;
        for (int v = 0; v < grid.vn; ++v) {
            const Parabola& p = r.rows[c][static_cast<std::size_t>(v)];
            if (p.code == ParabolaCode::good) sums.add(block_y(c, v), p.vertex);
        }
        r.horizontal[c] = sums.fit();
        log_write("----------------------horizontal ay+b-----------------\n");
        log_write("i result      a      b\n");
        log_format("%1d %2d %.3f %.3f\n", c, r.horizontal[c].code, r.horizontal[c].a, r.horizontal[c].b);
    }
    log_write("Shading: Horizontal Line Fitting End\n");

    log_write("Shading: Memory allocation OK for vertical line fitting\n");
    for (int c = 0; c < 4; ++c) r.columns[c] = scan_columns(stats, c);
    log_write("Shading: Vertical Scan End\n");

    log_write("Shading: Vertical Line Fitting\n");
    for (int c = 0; c < 4; ++c) {
        LineSums sums;
        for (int h = 0; h < grid.hn; ++h) {
            const Parabola& p = r.columns[c][static_cast<std::size_t>(h)];
            if (p.code == ParabolaCode::good) sums.add(block_x(c, h), p.vertex);
        }
        r.vertical[c] = sums.fit();
        log_write("----------------------vertical ax+b-------------------\n");
        log_write("i result      a      b\n");
        log_format("%1d %2d %.3f %.3f\n", c, r.vertical[c].code, r.vertical[c].a, r.vertical[c].b);
    }
    log_write("Shading: Vertical Line Fitting End\n");

    log_write("Shading: Get center X Y\n");
    for (int c = 0; c < 4; ++c) {
        const ChannelCentre& ct = r.channel[c] = intersect(r.horizontal[c], r.vertical[c], grid, c);
        log_write("----------------------Center X & Y---------------\n");
        log_write("i result     x     y\n");
        log_format("%1d %2d %.3f %.3f\n", c, ct.code, ct.x, ct.y);
    }
    log_write("Shading: Center X Y End\n");

    log_write("Shading: select center by Gr Gb\n");
    const bool greens_1_2 = bayer_order == 0 || bayer_order == 3;
    const ChannelCentre& g1 = r.channel[greens_1_2 ? 1 : 0];
    const ChannelCentre& g2 = r.channel[greens_1_2 ? 2 : 3];
    if (g1.code != 0 && g2.code != 0) return r;
    if (g1.code != 0) {
        r.x = g2.x;
        r.y = g2.y;
    } else if (g2.code != 0) {
        r.x = g1.x;
        r.y = g1.y;
    } else {
        r.x = (g1.x + g2.x) / 2;
        r.y = (g1.y + g2.y) / 2;
    }
    r.found = true;
    log_write("----------------------Selected Center X & Y---------------\n");
    log_format("X %.3f, Y %.3f\n", r.x, r.y);
    log_write("Shading: select center by Gr Gb End\n");
    r.center_x = static_cast<std::uint16_t>(static_cast<long>(2 * r.x + 0.5));
    r.center_y = static_cast<std::uint16_t>(static_cast<long>(2 * r.y + 0.5));
    return r;
}

}  // namespace morvik::shading
