// `morvik shading-table`: the grid shading table of a raw flat field, and the
// grid-table step of `morvik demo`.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "morvik/morvik.h"
#include "shading/grid_table.h"
#include "shading/synthetic.h"
#include "stb_image_write.h"  // implementation from the system's libstb

namespace morvik::cli {

namespace {

namespace grid = shading::grid;

struct TableOptions {
    std::string raw;
    std::optional<int> width, height, bits, window, kind;
    std::string grid_size, cell, format = "coefficients", poly, config, png;
    std::optional<double> max_gain;
    bool same_green = false;
    bool brightest = false;
    bool json = false;
};

struct TableReport {
    shading_table_config config{};
    int format = 0;
    bool same_green = false;
    int code = 0;
    shading_table_result result{};
    std::array<std::vector<float>, 4> gains;  // node gains per channel, ny x nx
    float gain_min = 0, gain_max = 0;
    std::string png;
};

const char* code_meaning(int code) {
    switch (code) {
        case 0: return "success";
        case 2: return "raw image pointer missing";
        case 3: return "a working buffer could not be allocated";
        case 4: return "the table exceeds the word limit of its kind";
        case 5: return "the table exceeds the 1000 result words";
        case 6: return "a cubic coefficient was clamped to 10 bits (table written)";
        default: return "invalid argument";
    }
}

// "AxB" as two integers.
std::pair<int, int> parse_pair(const std::string& option, const std::string& text) {
    int a = 0, b = 0;
    char x = 0, extra = 0;
    if (std::sscanf(text.c_str(), "%d%c%d%c", &a, &x, &b, &extra) != 3 || (x != 'x' && x != 'X'))
        throw BadInput(option + ": expected two integers as AxB (e.g. 17x13), got '" + text + "'");
    return {a, b};
}

std::vector<double> parse_list(const std::string& option, const std::string& text) {
    std::vector<double> values;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        if (!is_number(item)) throw BadInput(option + ": '" + item + "' is not a number");
        values.push_back(std::strtod(item.c_str(), nullptr));
    }
    return values;
}

// Fields of a JSON configuration file (names as in shading_table_config).
void apply_config_file(const std::filesystem::path& path, shading_table_config& c) {
    if (!std::filesystem::is_regular_file(path)) throw BadInput("--config: " + path.string() + ": no such file");
    nlohmann::json doc;
    try {
        doc = parse_json(path, read_text_file(path));
    } catch (const BadInput&) {
        throw;
    } catch (const Error& e) {
        throw BadInput(e.what());
    }
    if (!doc.is_object()) throw BadInput(path.string() + ": expected a JSON object of configuration fields");
    const auto integer = [&](const char* key, auto& field) {
        if (!doc.contains(key)) return;
        const auto& v = doc.at(key);
        if (!v.is_number_integer())
            throw BadInput(path.string() + ": field \"" + key + "\" must be an integer");
        field = v.get<std::remove_reference_t<decltype(field)>>();
    };
    integer("table_kind", c.table_kind);
    integer("bit_depth", c.bit_depth);
    integer("width", c.width);
    integer("height", c.height);
    integer("left", c.left);
    integer("top", c.top);
    integer("right", c.right);
    integer("bottom", c.bottom);
    integer("nx", c.nx);
    integer("ny", c.ny);
    integer("window", c.window);
    integer("gain_scale", c.gain_scale);
    integer("find_brightest", c.find_brightest);
    integer("unity_scale", c.unity_scale);
    integer("centre_offset_x", c.centre_offset_x);
    integer("centre_offset_y", c.centre_offset_y);
    integer("max_gain_x10", c.max_gain_x10);
    integer("cell_width", c.cell_width);
    integer("cell_height", c.cell_height);
    if (doc.contains("poly")) {
        const auto& p = doc.at("poly");
        if (!p.is_array() || p.size() > 6)
            throw BadInput(path.string() + ": field \"poly\" must be a list of up to 6 numbers (millionths)");
        for (std::size_t k = 0; k < 6; ++k) {
            if (k < p.size() && !p[k].is_number())
                throw BadInput(path.string() + ": poly[" + std::to_string(k) + "] is not a number");
            c.poly[k] = k < p.size() ? p[k].get<double>() : 0.0;
        }
    }
}

// The configuration from defaults, the optional file and the options (options win).
shading_table_config build_config(const TableOptions& o) {
    shading_table_config c{};
    c.table_kind = 2;
    c.bit_depth = 8;
    c.gain_scale = 32;
    c.max_gain_x10 = 40;
    c.poly[0] = 1e6;
    c.right = -1;  // marks: defaults to the image size below
    c.bottom = -1;
    if (!o.config.empty()) apply_config_file(o.config, c);
    if (o.width) c.width = *o.width;
    if (o.height) c.height = *o.height;
    if (o.bits) c.bit_depth = static_cast<std::uint32_t>(*o.bits);
    if (!o.grid_size.empty()) std::tie(c.nx, c.ny) = parse_pair("--grid", o.grid_size);
    if (!o.cell.empty()) std::tie(c.cell_width, c.cell_height) = parse_pair("--cell", o.cell);
    if (o.window) c.window = *o.window;
    if (o.kind) c.table_kind = static_cast<std::uint32_t>(*o.kind);
    if (o.brightest) c.find_brightest = 1;
    if (o.max_gain) {
        if (!(*o.max_gain >= 1.0 && *o.max_gain <= 1e8))
            throw BadInput("--max-gain: expected a gain from 1 to 1e8, got " + std::to_string(*o.max_gain));
        c.max_gain_x10 = static_cast<std::int32_t>(std::lround(*o.max_gain * 10));
    }
    if (!o.poly.empty()) {
        const auto p = parse_list("--poly", o.poly);
        if (p.empty() || p.size() > 6) throw BadInput("--poly: expected 1 to 6 comma-separated coefficients c0,...,c5");
        for (std::size_t k = 0; k < 6; ++k) c.poly[k] = k < p.size() ? p[k] * 1e6 : 0.0;
    }
    if (c.right == -1) c.right = c.width;
    if (c.bottom == -1) c.bottom = c.height;
    if (c.width < 4 || c.height < 4 || c.width % 2 || c.height % 2)
        throw BadInput("--width/--height: expected even sizes of at least 4, got " + std::to_string(c.width) + " x " +
                       std::to_string(c.height));
    if (c.nx < 2 || c.ny < 2) throw BadInput("--grid: expected at least 2x2 nodes");
    if (c.window < 1 || c.window > c.width / 2 || c.window > c.height / 2)
        throw BadInput("--window: expected 1 to " + std::to_string(std::min(c.width, c.height) / 2) +
                       " channel pixels, got " + std::to_string(c.window));
    if (c.cell_width < 1 || c.cell_height < 1) throw BadInput("--cell: expected cell sizes of at least 1");
    return c;
}

std::vector<std::uint8_t> load_raw(const std::filesystem::path& path, const shading_table_config& c) {
    const std::size_t want = std::size_t(c.width) * std::size_t(c.height) * (c.bit_depth == 10 ? 2 : 1);
    if (!std::filesystem::is_regular_file(path)) throw BadInput(path.string() + ": no such file");
    auto data = read_file(path);
    if (data.size() != want)
        throw BadInput(path.string() + ": " + std::to_string(data.size()) + " bytes, expected " +
                       std::to_string(want) + " for " + std::to_string(c.width) + " x " + std::to_string(c.height) +
                       (c.bit_depth == 10 ? " 10-bit samples (2 bytes each)" : " 8-bit samples"));
    return data;
}

TableReport calculate(shading_table_config config, const std::vector<std::uint8_t>& raw, int format, bool same_green,
                      bool want_gains) {
    TableReport rep;
    config.raw = raw.data();
    rep.config = config;
    rep.format = format;
    rep.same_green = same_green;
    if (const char* broken = grid::check_config(config, format)) {
        const std::string why = broken;
        const char* option = why.find("cell") != std::string::npos     ? "--cell"
                             : why.find("window") != std::string::npos ? "--window"
                             : why.find("limits") != std::string::npos ? "--config (left, top, right, bottom)"
                             : why.find("grid") != std::string::npos   ? "--grid"
                                                                       : "--width/--height";
        throw BadInput(std::string(option) + ": " + why);
    }
    rep.code = ShadingCalibrateEx(&config, &rep.result, format, same_green ? 1 : 0);
    if (rep.code != 0 && rep.code != 6)
        throw Error(std::string("shading table failed with result ") + std::to_string(rep.code) + ": " +
                    code_meaning(rep.code));
    if (want_gains) {
        const grid::TableRun run = grid::calibrate(config, format, same_green);
        for (std::size_t c = 0; c < 4; ++c) rep.gains[c] = run.grid.channels[c].gains;
        if (same_green) rep.gains[2] = rep.gains[1];
        rep.gain_min = rep.gain_max = rep.gains[0].empty() ? 1.0f : rep.gains[0][0];
        for (const auto& g : rep.gains)
            for (float v : g) {
                rep.gain_min = std::min(rep.gain_min, v);
                rep.gain_max = std::max(rep.gain_max, v);
            }
    }
    return rep;
}

int signed_coefficient(std::uint32_t v) { return (v & 512) ? -int(v & 511) : int(v); }

// Blue - cyan - green - yellow - red over 0..1.
std::array<std::uint8_t, 3> false_colour(double t) {
    t = std::clamp(t, 0.0, 1.0) * 4;
    const int seg = std::min(3, static_cast<int>(t));
    const double f = t - seg;
    const auto u = [](double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    switch (seg) {
        case 0: return {0, u(f), 255};
        case 1: return {0, 255, u(1 - f)};
        case 2: return {u(f), 255, 0};
        default: return {255, u(1 - f), 0};
    }
}

// Four tiles (channel 0 1 / 2 3) of node gains, each node a square block.
void write_gain_png(const std::filesystem::path& path, const TableReport& rep) {
    const int nx = rep.config.nx, ny = rep.config.ny;
    const int block = std::max(4, 256 / std::max(nx, ny));
    const int gap = 4;
    const int tw = nx * block, th = ny * block;
    const int w = 2 * tw + gap, h = 2 * th + gap;
    std::vector<std::uint8_t> rgb(std::size_t(w) * std::size_t(h) * 3, 255);
    const double span = rep.gain_max > rep.gain_min ? rep.gain_max - rep.gain_min : 1.0;
    for (int ch = 0; ch < 4; ++ch) {
        const int ox = (ch % 2) * (tw + gap), oy = (ch / 2) * (th + gap);
        for (int y = 0; y < th; ++y)
            for (int x = 0; x < tw; ++x) {
                const float g = rep.gains[std::size_t(ch)][std::size_t((y / block) * nx + x / block)];
                const auto c = false_colour((g - rep.gain_min) / span);
                std::copy(c.begin(), c.end(), rgb.begin() + 3 * (std::ptrdiff_t(oy + y) * w + ox + x));
            }
    }
    // Written beside the target and renamed, so a failure leaves nothing.
    const std::filesystem::path tmp = path.string() + ".tmp";
    if (!stbi_write_png(tmp.string().c_str(), w, h, 3, rgb.data(), w * 3)) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw Error("cannot write " + path.string());
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        throw Error("cannot write " + path.string() + ": " + ec.message());
    }
}

nlohmann::json to_json(const TableReport& r) {
    nlohmann::json j;
    j["result"] = r.code;
    j["meaning"] = code_meaning(r.code);
    j["format"] = r.format == 0 ? "coefficients" : "gains";
    j["same_green"] = r.same_green;
    j["nx"] = r.config.nx;
    j["ny"] = r.config.ny;
    j["count"] = r.result.count;
    j["words"] = std::vector<std::uint32_t>(r.result.words, r.result.words + r.result.count);
    if (r.format == 0) {
        nlohmann::json cells = nlohmann::json::array();
        for (std::uint32_t cell = 0; cell < r.result.count / 16; ++cell) {
            nlohmann::json channels = nlohmann::json::array();
            for (int ch = 0; ch < 4; ++ch) {
                std::vector<int> k;
                for (int w = 0; w < 4; ++w) {
                    const std::uint32_t word = r.result.words[cell * 16 + std::uint32_t(ch * 4 + w)];
                    for (int t = 0; t < 3; ++t) k.push_back(signed_coefficient((word >> (10 * t)) & 0x3FF));
                }
                channels.push_back(k);
            }
            cells.push_back(channels);
        }
        j["coefficients"] = cells;
    } else {
        nlohmann::json gains = nlohmann::json::array();
        for (int ch = 0; ch < 4; ++ch) {
            std::vector<double> g;
            for (std::uint32_t n = 0; n < r.result.count / 2; ++n) {
                const std::uint32_t word = r.result.words[2 * n + std::uint32_t(ch / 2)];
                g.push_back(((ch % 2) ? word >> 16 : word & 0xFFFF) / 8192.0);
            }
            gains.push_back(g);
        }
        j["node_gains"] = gains;
    }
    if (!r.png.empty()) {
        j["png"] = r.png;
        j["gain_range"] = {r.gain_min, r.gain_max};
    }
    return j;
}

void print_text(const TableReport& r) {
    std::printf("result            %d (%s)\n", r.code, code_meaning(r.code));
    std::printf("grid              %d x %d nodes, %s%s\n", r.config.nx, r.config.ny,
                r.format == 0 ? "cubic coefficients" : "node gains", r.same_green ? ", same green" : "");
    std::printf("words             %u\n", r.result.count);
    if (r.format == 0) {
        std::printf("cell  ch   c1   c2   c3   c4   c5   c6   c7   c8   c9  c10  c11  c12\n");
        for (std::uint32_t cell = 0; cell < r.result.count / 16; ++cell)
            for (int ch = 0; ch < 4; ++ch) {
                std::printf("%4u  %2d", cell + 1, ch);
                for (int w = 0; w < 4; ++w) {
                    const std::uint32_t word = r.result.words[cell * 16 + std::uint32_t(ch * 4 + w)];
                    for (int t = 0; t < 3; ++t) std::printf(" %4d", signed_coefficient((word >> (10 * t)) & 0x3FF));
                }
                std::printf("\n");
            }
    } else {
        for (int ch = 0; ch < 4; ++ch) {
            std::printf("channel %d node gains:\n", ch);
            for (int y = 0; y < r.config.ny; ++y) {
                std::printf(" ");
                for (int x = 0; x < r.config.nx; ++x) {
                    const std::uint32_t word = r.result.words[2 * std::uint32_t(y * r.config.nx + x) + std::uint32_t(ch / 2)];
                    std::printf(" %6.4f", ((ch % 2) ? word >> 16 : word & 0xFFFF) / 8192.0);
                }
                std::printf("\n");
            }
        }
    }
    if (!r.png.empty()) std::printf("picture           %s (gains %.4f .. %.4f)\n", r.png.c_str(), r.gain_min, r.gain_max);
}

void run_table(const TableOptions& o) {
    if (o.format != "coefficients" && o.format != "gains")
        throw BadInput("--format: expected 'coefficients' or 'gains', got '" + o.format + "'");
    const int format = o.format == "coefficients" ? 0 : 1;
    const shading_table_config config = build_config(o);
    const auto raw = load_raw(o.raw, config);
    TableReport rep = calculate(config, raw, format, o.same_green, !o.png.empty());
    if (!o.png.empty()) {
        write_gain_png(o.png, rep);
        rep.png = o.png;
    }
    if (o.json) {
        print_json(to_json(rep));
    } else {
        print_text(rep);
    }
}

// A vignetted flat field with a known fall-off: node gains at the four
// corners against the planted ones (centre level over the corner square's
// level).
void demo() {
    shading::FlatField f;
    f.width = 1280;
    f.height = 960;
    f.centre_x = 650;
    f.centre_y = 470;
    f.noise = 2.0;
    const auto raw = shading::make_flat_field(f);
    shading_table_config c{};
    c.table_kind = 1;
    c.bit_depth = 8;
    c.width = f.width;
    c.height = f.height;
    c.right = f.width;
    c.bottom = f.height;
    c.nx = 9;
    c.ny = 7;
    c.window = 16;
    c.gain_scale = 32;
    c.find_brightest = 1;
    c.max_gain_x10 = 80;
    c.poly[0] = 1e6;
    c.cell_width = 80;
    c.cell_height = 80;
    const TableReport rep = calculate(c, raw, 1, false, true);
    std::printf("synthetic %dx%d flat field, centre (%.0f, %.0f), fall-off R %.2f Gr %.2f Gb %.2f B %.2f\n", f.width,
                f.height, f.centre_x, f.centre_y, f.falloff[0], f.falloff[1], f.falloff[2], f.falloff[3]);
    std::printf("grid 9 x 7 nodes, window 16: result %d (%s), %u words\n", rep.code, code_meaning(rep.code),
                rep.result.count);
    const double r_ref2 = (f.width * f.width + f.height * f.height) / 4.0;
    const int hw = f.width / 2, hh = f.height / 2;
    const int xs[2] = {1, hw}, ys[2] = {1, hh};
    const char* names[4] = {"R ", "Gr", "Gb", "B "};
    std::printf("corner gains      top-left        top-right       bottom-left     bottom-right\n");
    std::printf("                  found  planted  found  planted  found  planted  found  planted\n");
    for (int ch = 0; ch < 4; ++ch) {
        std::printf("  %s            ", names[ch]);
        for (int corner = 0; corner < 4; ++corner) {
            const int nxi = corner % 2 ? c.nx - 1 : 0, nyi = corner / 2 ? c.ny - 1 : 0;
            const float found = rep.gains[std::size_t(ch)][std::size_t(nyi * c.nx + nxi)];
            // Centre of the corner node's averaging square, in image pixels.
            const int x0 = corner % 2 ? xs[1] - c.window : xs[0], y0 = corner / 2 ? ys[1] - c.window : ys[0];
            const double px = 2.0 * (x0 - 1 + (c.window - 1) / 2.0) + ch % 2;
            const double py = 2.0 * (y0 - 1 + (c.window - 1) / 2.0) + ch / 2;
            const double d2 = (px - f.centre_x) * (px - f.centre_x) + (py - f.centre_y) * (py - f.centre_y);
            const double planted = 1.0 / (1.0 - f.falloff[ch] * d2 / r_ref2);
            std::printf(" %5.3f  %5.3f  ", found, planted);
        }
        std::printf("\n");
    }
}

const bool registered = register_command(45, [](CLI::App& app) {
    auto o = std::make_shared<TableOptions>();
    auto* cmd = app.add_subcommand("shading-table", "Grid shading table (cubic coefficients or node gains) of a raw "
                                                    "flat field");
    cmd->add_option("RAW", o->raw, "Raw flat-field file: 8-bit samples, or 10-bit as two bytes each (low first)")
        ->required();
    cmd->add_option("--width", o->width, "Image width in pixels (even)");
    cmd->add_option("--height", o->height, "Image height in pixels (even)");
    cmd->add_option("--bits", o->bits, "8 (one byte per sample) or 10 (two bytes, low byte first)")
        ->check(CLI::IsMember({8, 10}));
    cmd->add_option("--grid", o->grid_size, "Nodes as NXxNY (e.g. 17x13)");
    cmd->add_option("--cell", o->cell, "Node spacing in channel pixels as WxH; the last cell takes the rest");
    cmd->add_option("--window", o->window, "Side of the averaging square in channel pixels");
    cmd->add_option("--format", o->format, "coefficients (per-cell cubic coefficients) or gains (node gains)");
    cmd->add_flag("--same-green", o->same_green, "Give channel 2 the table of channel 1");
    cmd->add_option("--kind", o->kind, "Table kind: 0 (at most 320 words), 1 (896), other: no limit (default 2)");
    cmd->add_flag("--brightest", o->brightest, "Gains relative to the brightest window (else every gain is 1)");
    cmd->add_option("--max-gain", o->max_gain, "Highest node gain (default 4.0; kept in tenths)");
    cmd->add_option("--poly", o->poly, "Radial polynomial c0,...,c5 over the relative radius (default 1)");
    cmd->add_option("--config", o->config,
                    "JSON object of configuration fields (names of shading_table_config, poly in millionths); "
                    "options given on the command line take precedence");
    cmd->add_option("--png", o->png, "Write the node gains of the four channels as a false-colour PNG");
    cmd->add_flag("--json", o->json, "Print the result as JSON");
    cmd->callback([o] { run_table(*o); });
});

const bool demo_registered = register_demo_step(45, "Grid shading table", demo);

}  // namespace

}  // namespace morvik::cli
