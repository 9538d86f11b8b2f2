// The AWB statistics filter: 2 x 2 demosaic by Bayer phase, the block's
// integer grey test and its saturation cut.
#include <cstdlib>

#include "awb/awb.h"

namespace morvik::awb {

bool accepts(const FilterParams& p, int red, int green, int blue) {
    const int level = 8 * p.supsel + 192;  // above 255 (SUPSEL >= 8): no cut
    if (red >= level || green >= level || blue >= level) return false;
    // Fixed channel gains of 63/64; the samples are non-negative, so the
    // shifts equal the truncating divisions.
    const int r = (red * 63) >> 6;
    const int g = (green * 63) >> 6;
    const int b = (blue * 63) >> 6;
    const int y = (g >> 1) + (b >> 2) + (r >> 2);
    if (y < 4 * p.y_limit) return false;
    const int db = ((b - y) * p.u_gain) / 32;
    const int dr = ((r - y) * p.v_gain) / 32;
    const int mg = (dr + db) / 2;
    const int rb = (dr - db) / 2;
    const int mg_limit = ((mg > 0 ? p.s_mg_p : p.s_mg_n) * y) >> 7;
    const int rb_limit = ((rb > 0 ? p.s_rb_p : p.s_rb_n) * y) >> 7;
    return std::abs(mg) <= mg_limit && std::abs(rb) <= rb_limit;
}

namespace {

// One output row from raw rows `top` and `bottom`. `odd_row` is the row
// parity of the Bayer phase, `column_offset` the phase of column 0.
void filter_row(const FilterParams& p, const std::uint8_t* top, const std::uint8_t* bottom, std::size_t count,
                bool odd_row, unsigned column_offset, std::uint8_t* mask, std::uint8_t* rgb) {
    for (std::size_t x = 0; x < count; ++x) {
        const int tl = top[x], tr = top[x + 1], bl = bottom[x], br = bottom[x + 1];
        const bool odd_column = ((x + column_offset) & 1u) != 0;
        int red, green, blue;
        if (!odd_row) {
            if (!odd_column) {
                red = tl, green = tr, blue = br;
            } else {
                red = tr, green = tl, blue = bl;
            }
        } else {
            if (!odd_column) {
                red = bl, green = tl, blue = tr;
            } else {
                red = br, green = tr, blue = tl;
            }
        }
        rgb[3 * x] = static_cast<std::uint8_t>(red);
        rgb[3 * x + 1] = static_cast<std::uint8_t>(green);
        rgb[3 * x + 2] = static_cast<std::uint8_t>(blue);
        mask[x] = accepts(p, red, green, blue) ? 255 : 0;
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
