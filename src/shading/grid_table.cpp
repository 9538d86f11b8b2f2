// Grid shading table: preparation of the working state, unpacking of the raw
// mosaic into channel planes, and packing of the table words.
#include "shading/grid_table.h"

namespace morvik::shading::grid {

const char* describe(GridStatus status) {
    switch (status) {
        case GridStatus::ok: return "ok";
        case GridStatus::coefficient_clamped: return "a cubic coefficient was clamped to 10 bits";
        case GridStatus::raw_missing: return "the raw image pointer is NULL";
        case GridStatus::buffer_missing: return "a working buffer could not be allocated";
        case GridStatus::over_kind_limit: return "the table exceeds the word limit of its table kind";
        case GridStatus::table_overflow: return "the table exceeds the 1000 result words";
        case GridStatus::invalid_argument: return "invalid argument";
    }
    return "unknown status";
}

std::int32_t result_code(GridStatus status) {
    switch (status) {
        case GridStatus::ok: return 0;
        case GridStatus::coefficient_clamped: return 6;
        case GridStatus::raw_missing: return 2;
        case GridStatus::buffer_missing: return 3;
        case GridStatus::over_kind_limit: return 4;
        case GridStatus::table_overflow: return 5;
        case GridStatus::invalid_argument: return MORVIK_STATUS_INVALID_ARGUMENT;
    }
    return MORVIK_STATUS_INVALID_ARGUMENT;
}

std::uint64_t table_words(int format, int nx, int ny) {
    const auto ux = static_cast<std::uint64_t>(nx), uy = static_cast<std::uint64_t>(ny);
    return format == 0 ? 16 * (ux - 1) * (uy - 1) : 2 * ux * uy;
}

namespace {

// The state as ShadingCalibrateEx fills it from the configuration (the last
// cell's size is added once the grid is known to fit).
shading_table_state make_state(const shading_table_config& c) {
    shading_table_state st{};
    st.width = c.width;
    st.height = c.height;
    st.bit_depth = c.bit_depth;
    st.raw = c.raw;
    st.left = c.left;
    st.top = c.top;
    st.right = c.right;
    st.bottom = c.bottom;
    st.cell_width = c.cell_width;
    st.cell_height = c.cell_height;
    st.window = c.window;
    st.half_height = c.height / 2;
    st.half_width = c.width / 2;
    st.nx = c.nx;
    st.ny = c.ny;
    const float scale = c.unity_scale != 0 ? 1.0f : static_cast<float>(c.gain_scale / 32.0);
    for (float& s : st.scale) s = scale;
    static constexpr std::uint32_t kFixed[3][4] = {{128, 128, 128, 32}, {0, 0, 0, 32}, {0, 0, 0, 32}};
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 4; ++k) st.fixed[r][k] = kFixed[r][k];
    st.find_brightest = c.find_brightest != 0;
    st.max_gain_x10 = c.max_gain_x10 < 10 ? 10 : c.max_gain_x10;
    st.centre_x = static_cast<double>(c.centre_offset_x) + st.half_width / 2.0 + 1;
    st.centre_y = static_cast<double>(c.centre_offset_y) + st.half_height / 2.0 + 1;
    for (int k = 0; k < 6; ++k) st.poly[k] = c.poly[k] * 1e-6;
    return st;
}

std::uint32_t kind_limit(std::uint32_t kind) {
    return kind == 0 ? 320u : kind == 1 ? 896u : 0xFFFFFFFFu;
}

}  // namespace

const char* check_config(const shading_table_config& config, int format) {
    if (format != 0 && format != 1) return "format must be 0 (coefficients) or 1 (node gains)";
    if (config.width < 4 || config.height < 4 || config.width % 2 != 0 || config.height % 2 != 0)
        return "width and height must be even and at least 4";
    return check_settings(settings_from_state(make_state(config)));
}

void unpack_planes(const std::uint8_t* raw, int width, int height, bool ten_bit, std::uint8_t* const planes[4]) {
    const auto hw = static_cast<std::size_t>(width / 2);
    for (int r = 0; r + 1 < height; r += 2) {
        const std::size_t o = static_cast<std::size_t>(r / 2) * hw;
        std::uint8_t* p0 = planes[0] + o;
        std::uint8_t* p1 = planes[1] + o;
        std::uint8_t* p2 = planes[2] + o;
        std::uint8_t* p3 = planes[3] + o;
        if (ten_bit) {
            // High byte of ((high x 256 + low) << 6) & 0xFF00: bits 2..9 of the sample.
            const std::uint8_t* even = raw + static_cast<std::size_t>(r) * static_cast<std::size_t>(width) * 2;
            const std::uint8_t* odd = even + static_cast<std::size_t>(width) * 2;
            for (std::size_t k = 0; k < hw; ++k) {
                p0[k] = static_cast<std::uint8_t>((even[4 * k] >> 2) | (even[4 * k + 1] << 6));
                p1[k] = static_cast<std::uint8_t>((even[4 * k + 2] >> 2) | (even[4 * k + 3] << 6));
                p2[k] = static_cast<std::uint8_t>((odd[4 * k] >> 2) | (odd[4 * k + 1] << 6));
                p3[k] = static_cast<std::uint8_t>((odd[4 * k + 2] >> 2) | (odd[4 * k + 3] << 6));
            }
        } else {
            const std::uint8_t* even = raw + static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
            const std::uint8_t* odd = even + width;
            for (std::size_t k = 0; k < hw; ++k) {
                p0[k] = even[2 * k];
                p1[k] = even[2 * k + 1];
                p2[k] = odd[2 * k];
                p3[k] = odd[2 * k + 1];
            }
        }
    }
}

TableRun calibrate(const shading_table_config& config, int format, bool same_green) {
    TableRun run;
    shading_table_state st = make_state(config);
    const std::uint64_t words = table_words(format, st.nx, st.ny);
    if (words > kind_limit(config.table_kind)) {
        run.status = GridStatus::over_kind_limit;
        return run;
    }
    if (config.raw == nullptr) {
        run.status = GridStatus::raw_missing;
        return run;
    }
    // Only a table kind without a limit can exceed the result's capacity;
    // nothing the stage computes would be kept.
    if (words > kResultWords) {
        run.status = GridStatus::table_overflow;
        return run;
    }

    // The channel samples are read where they lie in the mosaic.
    const MosaicSource source(config.raw, st.width, st.height, config.bit_depth == 10);
    run.grid = spline_stage(settings_from_state(st), source);
    if (run.grid.status == GridStatus::buffer_missing) {
        run.status = run.grid.status;
        return run;
    }
    auto& ch = run.grid.channels;
    if (same_green) {
        ch[2].coefficients = ch[1].coefficients;
        ch[2].quantised = ch[1].quantised;
    }

    run.words.assign(kResultWords, 0);
    run.count = static_cast<std::uint32_t>(words);
    std::uint32_t* out = run.words.data();
    if (format == 0) {
        const std::size_t cells = std::size_t(st.nx - 1) * std::size_t(st.ny - 1);
        for (std::size_t cell = 0; cell < cells; ++cell)
            for (int c = 0; c < 4; ++c) {
                const std::uint16_t* k = ch[std::size_t(c)].coefficients.data() + cell * kCoefficients;
                for (int t = 0; t < 4; ++t, k += 3)
                    *out++ = (std::uint32_t{k[2]} << 20) + (std::uint32_t{k[1]} << 10) + k[0];
            }
    } else {
        const std::size_t nodes = std::size_t(st.nx) * std::size_t(st.ny);
        for (std::size_t n = 0; n < nodes; ++n) {
            *out++ = ch[0].quantised[n] | (std::uint32_t{ch[1].quantised[n]} << 16);
            *out++ = ch[2].quantised[n] | (std::uint32_t{ch[3].quantised[n]} << 16);
        }
    }
    run.status = run.grid.status;
    return run;
}

}  // namespace morvik::shading::grid
