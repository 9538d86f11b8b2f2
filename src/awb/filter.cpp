// The AWB statistics filter: 2 x 2 demosaic by Bayer phase, the block's
// integer grey test and its saturation cut.
#include "awb/awb.h"

namespace morvik::awb {

namespace {

// Pixels per chunk of a row: the demosaiced channels of a chunk live in
// planar stack arrays, so the grey test runs as a branch-free loop the
// compiler vectorises, with no heap memory.
constexpr std::size_t kChunk = 256;

// The grey test and saturation cut over planar channels, in 16-bit lanes:
// channels scaled by the fixed gains of 63/64, luminance G/2 + B/4 + R/4,
// the two chroma axes with one-sided limits. Every intermediate fits, since
// a channel difference times a gain is at most 251 * 255 and a limit times
// a luminance at most 255 * 251. A truncating division of d * gain by 32
// is the shifted product of the magnitudes with the sign of d.
void grey_mask(const FilterParams& p, const std::uint8_t* red, const std::uint8_t* green, const std::uint8_t* blue,
               std::size_t count, std::uint8_t* mask) {
    using u16 = std::uint16_t;
    using i16 = std::int16_t;
    const u16 level = u16(8 * p.supsel + 192);
    const u16 y_floor = u16(4 * p.y_limit);
    const u16 u_gain = p.u_gain, v_gain = p.v_gain;
    const u16 mg_p = p.s_mg_p, mg_n = p.s_mg_n, rb_p = p.s_rb_p, rb_n = p.s_rb_n;
    for (std::size_t i = 0; i < count; ++i) {
        const u16 r0 = red[i], g0 = green[i], b0 = blue[i];
        const u16 r = u16(u16(r0 * 63) >> 6), g = u16(u16(g0 * 63) >> 6), b = u16(u16(b0 * 63) >> 6);
        const u16 y = u16((g >> 1) + (b >> 2) + (r >> 2));
        const i16 bd = i16(b - y), rd = i16(r - y);
        const u16 db_mag = u16(u16(u16(bd < 0 ? -bd : bd) * u_gain) >> 5);
        const u16 dr_mag = u16(u16(u16(rd < 0 ? -rd : rd) * v_gain) >> 5);
        const i16 db = bd < 0 ? i16(-db_mag) : i16(db_mag);
        const i16 dr = rd < 0 ? i16(-dr_mag) : i16(dr_mag);
        const i16 mg = i16((dr + db) / 2);
        const i16 rb = i16((dr - db) / 2);
        const u16 mg_limit = u16(u16((mg > 0 ? mg_p : mg_n) * y) >> 7);
        const u16 rb_limit = u16(u16((rb > 0 ? rb_p : rb_n) * y) >> 7);
        const u16 abs_mg = u16(mg < 0 ? -mg : mg), abs_rb = u16(rb < 0 ? -rb : rb);
        const bool ok = (r0 < level) & (g0 < level) & (b0 < level) & (y >= y_floor) & (abs_mg <= mg_limit) &
                        (abs_rb <= rb_limit);
        mask[i] = ok ? 255 : 0;
    }
}

// Demosaic `n` pixels of a row starting at an even x. With c the column phase
// of a pixel (0 or 1), its samples are, on rows of phase 0 (R/G rows for R
// first): red top[x + c], green top[x + 1 - c], blue bottom[x + 1 - c]; on
// rows of phase 1: red bottom[x + c], green top[x + c], blue top[x + 1 - c].
// Pixels come in pairs of fixed phases, so every offset is a constant.
template <bool OddRow, unsigned C0>
void demosaic(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t n, std::uint8_t* red,
              std::uint8_t* green, std::uint8_t* blue) {
    const std::uint8_t* red_row = OddRow ? bottom : top;
    const std::uint8_t* blue_row = OddRow ? top : bottom;
    constexpr unsigned C1 = 1 - C0;
    constexpr unsigned G0 = OddRow ? C0 : 1 - C0, G1 = OddRow ? C1 : 1 - C1;
    std::size_t i = 0;
    for (; i + 1 < n; i += 2) {
        red[i] = red_row[i + C0];
        red[i + 1] = red_row[i + 1 + C1];
        green[i] = top[i + G0];
        green[i + 1] = top[i + 1 + G1];
        blue[i] = blue_row[i + 1 - C0];
        blue[i + 1] = blue_row[i + 2 - C1];
    }
    if (i < n) {
        red[i] = red_row[i + C0];
        green[i] = top[i + G0];
        blue[i] = blue_row[i + 1 - C0];
    }
}

// One output row from raw rows `top` and `bottom`.
void filter_row(const FilterParams& p, const std::uint8_t* top, const std::uint8_t* bottom, std::size_t count,
                bool odd_row, unsigned column_offset, std::uint8_t* mask, std::uint8_t* rgb) {
    using Demosaic = void (*)(const std::uint8_t*, const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t*,
                              std::uint8_t*);
    static constexpr Demosaic kDemosaic[2][2] = {{demosaic<false, 0>, demosaic<false, 1>},
                                                 {demosaic<true, 0>, demosaic<true, 1>}};
    const Demosaic demosaic_chunk = kDemosaic[odd_row ? 1 : 0][column_offset];
    std::uint8_t red[kChunk], green[kChunk], blue[kChunk];
    for (std::size_t start = 0; start < count; start += kChunk) {  // kChunk is even
        const std::size_t n = count - start < kChunk ? count - start : kChunk;
        demosaic_chunk(top + start, bottom + start, n, red, green, blue);
        grey_mask(p, red, green, blue, n, mask + start);
        std::uint8_t* out = rgb + 3 * start;
        for (std::size_t i = 0; i < n; ++i) {
            out[3 * i] = red[i];
            out[3 * i + 1] = green[i];
            out[3 * i + 2] = blue[i];
        }
    }
}

}  // namespace

void filter_frame(const FilterParams& p, const std::uint8_t* raw, std::size_t width, std::size_t height,
                  std::uint8_t* mask, std::uint8_t* rgb) {
    const std::size_t out_w = width - 1;
    const unsigned row_offset = (p.first_pixel >> 1) & 1u;
    const unsigned column_offset = p.first_pixel & 1u;
    for (std::size_t y = 0; y + 1 < height; ++y) {
        filter_row(p, raw + y * width, raw + (y + 1) * width, out_w, ((y + row_offset) & 1u) != 0, column_offset,
                   mask + y * out_w, rgb + 3 * y * out_w);
    }
}

}  // namespace morvik::awb
