#include "shading/centre.h"

#include <algorithm>

#include "frame/log.h"
#include "frame/parallel.h"

namespace morvik::shading {

namespace {

using frame::log_format;
using frame::log_write;

inline double det3(double a, double b, double c, double d, double e, double f, double g, double h, double i) {
    return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
}

// Parabola sums of every block column, one array per quantity (positions y,
// block means m).
struct ColumnSums {
    explicit ColumnSums(std::size_t hn)
        : count(hn), sy(hn), sy2(hn), sy3(hn), sy4(hn), sm(hn), sym(hn), sy2m(hn), first(hn), last(hn) {}
    std::vector<std::int32_t> count;
    std::vector<double> sy, sy2, sy3, sy4, sm, sym, sy2m, first, last;
};

// The smallest block sum whose mean (sum / 4, exact) is at least `level`:
// comparing sums instead of means gives the same decisions on integers.
std::int32_t sum_at_least(double level) {
    const double scaled = level * 4.0;  // exact
    if (!(scaled <= 4 * 255)) return 4 * 255 + 1;  // also NaN: no mean reaches it
    if (scaled <= 0) return 0;
    const auto t = static_cast<std::int32_t>(scaled);
    return t < scaled ? t + 1 : t;
}

// Adds one block row (sums `row`, position y) to the sums of every column
// that keeps its block. The kept test becomes a factor of 1 or 0: products
// with it are exact, and adding 0 leaves a (non-negative) sum unchanged, so
// the loop runs without branches.
void add_row_to_columns(const std::uint16_t* __restrict row, const std::uint16_t* __restrict top,
                        const std::uint16_t* __restrict bottom, std::int32_t threshold, double y, std::size_t hn,
                        ColumnSums& cs) {
    const double y2 = y * y, y3 = y2 * y, y4 = y2 * y2;
    std::int32_t* __restrict count = cs.count.data();
    double* __restrict sy = cs.sy.data();
    double* __restrict sy2 = cs.sy2.data();
    double* __restrict sy3 = cs.sy3.data();
    double* __restrict sy4 = cs.sy4.data();
    double* __restrict sm = cs.sm.data();
    double* __restrict sym = cs.sym.data();
    double* __restrict sy2m = cs.sy2m.data();
    double* __restrict first = cs.first.data();
    double* __restrict last = cs.last.data();
    for (std::size_t h = 0; h < hn; ++h) {
        const std::int32_t s = row[h];
        const std::int32_t keep = (s >= top[h]) & (s >= bottom[h]) & (s >= threshold);
        const double m = s / 4.0;
        const double kept = keep;
        const double opens = keep & (count[h] == 0);
        first[h] = first[h] * (1.0 - opens) + y * opens;
        last[h] = last[h] * (1.0 - kept) + y * kept;
        count[h] += keep;
        sy[h] += y * kept;
        sy2[h] += y2 * kept;
        sy3[h] += y3 * kept;
        sy4[h] += y4 * kept;
        sm[h] += m * kept;
        sym[h] += (y * m) * kept;
        sy2m[h] += (y2 * m) * kept;
    }
}

// Both scans of channel c in one pass over its block sums. A row keeps the
// blocks at least as bright as both its ends and as half the target, a column
// likewise with its top and bottom. Row sums run along the row; the column
// sums of all columns advance together, row by row, each still summing top
// to bottom.
void scan_channel(const BlockStats& stats, int c, std::vector<Parabola>& rows, std::vector<Parabola>& columns) {
    const BlockGrid& grid = stats.grid;
    const auto hn = static_cast<std::size_t>(grid.hn);
    const std::int32_t threshold = sum_at_least(0.5 * stats.target[c]);
    const std::uint16_t* sums = stats.sums[c];
    const std::uint16_t* top = sums;
    const std::uint16_t* bottom = sums + grid.index(grid.vn - 1, 0);

    // Powers of the column positions, as the row sums add them.
    std::vector<double> px(hn), px2(hn), px3(hn), px4(hn);
    for (std::size_t h = 0; h < hn; ++h) {
        const double x = block_x(c, static_cast<int>(h));
        const double x2 = x * x;
        px[h] = x;
        px2[h] = x2;
        px3[h] = x2 * x;
        px4[h] = x2 * x2;
    }
    ColumnSums column_sums(hn);
    rows.assign(static_cast<std::size_t>(grid.vn), Parabola{});
    for (int v = 0; v < grid.vn; ++v) {
        const std::uint16_t* row = sums + grid.index(v, 0);
        // Row v: kept blocks add their position powers and mean.
        const std::int32_t at_least = std::max<std::int32_t>({row[0], row[hn - 1], threshold});
        PowerSums rs;
        double first = block_x(c, grid.hn), last = 0;
        for (std::size_t h = 0; h < hn; ++h) {
            const std::int32_t keep = row[h] >= at_least;
            const double m = row[h] / 4.0, kept = keep;
            if (rs.n == 0 && keep) first = px[h];
            if (keep) last = px[h];
            rs.n += kept;
            rs.sx += px[h] * kept;
            rs.sx2 += px2[h] * kept;
            rs.sx3 += px3[h] * kept;
            rs.sx4 += px4[h] * kept;
            rs.sy += m * kept;
            rs.sxy += (px[h] * m) * kept;
            rs.sx2y += (px2[h] * m) * kept;
        }
        if (rs.n == 0) last = first;
        rows[static_cast<std::size_t>(v)] = fit_parabola(rs, first, last);
        add_row_to_columns(row, top, bottom, threshold, block_y(c, v), hn, column_sums);
    }
    columns.resize(hn);
    for (std::size_t h = 0; h < hn; ++h) {
        const ColumnSums& cs = column_sums;
        PowerSums s;
        s.n = cs.count[h];
        s.sx = cs.sy[h];
        s.sx2 = cs.sy2[h];
        s.sx3 = cs.sy3[h];
        s.sx4 = cs.sy4[h];
        s.sy = cs.sm[h];
        s.sxy = cs.sym[h];
        s.sx2y = cs.sy2m[h];
        columns[h] = fit_parabola(s, cs.first[h], cs.last[h]);
    }
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

    frame::run_parts(4, [&](int c) { scan_channel(stats, c, r.rows[c], r.columns[c]); });

    log_write("Shading: Memory allocation OK for horizontal line fitting\n");
    log_write("Shading: Horizontal Scan\n");
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
