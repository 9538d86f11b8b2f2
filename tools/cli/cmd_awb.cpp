// morvik awb: white-balance calibration from grey statistics, light-source
// windows, and the AWB statistics filter on a raw frame.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "morvik/morvik.h"

// Static, so that another command file may compile its own copy.
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include "stb_image_write.h"
#pragma GCC diagnostic pop

namespace morvik::cli {
namespace {

using Json = nlohmann::json;

// ---------------------------------------------------------------- input files

// ---------------------------------------------------------------- calibrate

struct GreyInput {
    std::vector<AwbGreyStatistics> lights;
    std::optional<long> upper_key, lower_key;
};

// Four numbers of one JSON entry: an array of four, or an object with the
// four given names.
std::array<double, 4> json_four(const Json& l, const std::string& where, const std::array<const char*, 4>& names) {
    std::array<double, 4> v{};
    if (l.is_array() && l.size() == 4) {
        for (std::size_t k = 0; k < 4; ++k) v[k] = json_number(l[k], where);
    } else if (l.is_object()) {
        for (std::size_t k = 0; k < 4; ++k) {
            if (!l.contains(names[k])) throw BadInput(where + ": missing \"" + names[k] + "\"");
            v[k] = json_number(l[names[k]], where + " " + names[k]);
        }
    } else {
        throw BadInput(where + ": expected four numbers or an object with \"" + names[0] + "\", \"" + names[1] +
                    "\", \"" + names[2] + "\" and \"" + names[3] + "\"");
    }
    return v;
}

AwbGreyStatistics grey_entry(const std::string& where, const std::array<double, 4>& v) {
    auto u16 = [&](double x) { return static_cast<uint16_t>(integer_in(where, x, 0, 65535)); };
    return {u16(v[0]), u16(v[1]), u16(v[2]), u16(v[3])};
}

GreyInput read_grey_statistics(const std::filesystem::path& path) {
    const std::string text = read_text_file(path);
    GreyInput in;
    if (looks_like_json(path, text)) {
        const Json doc = parse_json(path, text);
        const Json& lights = doc.is_array() ? doc : doc.is_object() ? doc.value("lights", Json()) : Json();
        if (!lights.is_array()) throw BadInput(path.string() + ": expected a \"lights\" array");
        for (std::size_t i = 0; i < lights.size(); ++i) {
            const std::string where = path.string() + ": light " + std::to_string(i);
            const auto v = json_four(lights[i], where, {"key", "ch1", "ch2", "ch3"});
            in.lights.push_back(grey_entry(where, v));
        }
        if (doc.is_object() && doc.contains("upper_key"))
            in.upper_key = integer_in(path.string() + ": upper_key", json_number(doc["upper_key"], path.string() + ": upper_key"), 0, 65535);
        if (doc.is_object() && doc.contains("lower_key"))
            in.lower_key = integer_in(path.string() + ": lower_key", json_number(doc["lower_key"], path.string() + ": lower_key"), 0, 65535);
        return in;
    }
    for (const CsvRow& row : parse_csv(text)) {
        const std::string where = path.string() + ":" + std::to_string(row.line);
        const std::string& head = row.fields[0];
        if ((head == "upper_key" || head == "lower_key") && row.fields.size() == 2) {
            (head == "upper_key" ? in.upper_key : in.lower_key) = integer_in(where, number_at(path, row, 1), 0, 65535);
            continue;
        }
        if (!is_number(head)) continue;  // a header row such as "key,ch1,ch2,ch3"
        if (row.fields.size() != 4) throw BadInput(where + ": expected key, ch1, ch2, ch3");
        in.lights.push_back(grey_entry(
            where, {number_at(path, row, 0), number_at(path, row, 1), number_at(path, row, 2), number_at(path, row, 3)}));
    }
    return in;
}

struct CalibrateOptions {
    std::string stats;
    std::optional<long> upper_key, lower_key;
    bool json = false;
};

struct CalibrationReport {
    int32_t status = 0;
    AwbCalibrationResult result{};
    int upper_key = 0, lower_key = 0;
    int key_max = 0, key_min = 0;
};

CalibrationReport calibrate(const GreyInput& in) {
    if (in.lights.size() < 2 || in.lights.size() > 20) {
        throw BadInput("need 2 to 20 grey-statistics entries, got " + std::to_string(in.lights.size()));
    }
    CalibrationReport r;
    // Without limits nothing is extrapolated: the limits sit at the keys' ends.
    int k_max = 0, k_min = 65535;
    for (const auto& l : in.lights) k_max = std::max<int>(k_max, l.key), k_min = std::min<int>(k_min, l.key);
    r.key_max = k_max, r.key_min = k_min;
    r.upper_key = static_cast<int>(in.upper_key.value_or(k_max));
    r.lower_key = static_cast<int>(in.lower_key.value_or(k_min));
    if (r.upper_key < r.lower_key) {
        throw BadInput("key limits inverted: upper key " + std::to_string(r.upper_key) + " is below lower key " +
                       std::to_string(r.lower_key) + " (the upper limit must not be below the lower)");
    }
    r.status = AWB_Calibration(0, static_cast<int32_t>(in.lights.size()), r.upper_key, r.lower_key, in.lights.data(),
                               &r.result);
    if (r.status == MORVIK_STATUS_INVALID_ARGUMENT) throw Error(morvik_last_error());
    return r;
}

CalibrationReport run_calibrate(const CalibrateOptions& o) {
    GreyInput in = read_grey_statistics(o.stats);
    if (o.upper_key) in.upper_key = o.upper_key;
    if (o.lower_key) in.lower_key = o.lower_key;
    return calibrate(in);
}

// No projection: the gains are printed, then the run fails.
void require_projection(const CalibrationReport& r) {
    if (r.status == MORVIK_AWB_NO_PROJECTION) throw Error(morvik_last_error());
}

Json to_json(const CalibrationReport& r) {
    const AwbCalibrationResult& c = r.result;
    Json doc = {{"gains", {c.gain1, c.gain2, c.gain3}}, {"upper_key", r.upper_key}, {"lower_key", r.lower_key}};
    if (r.status == 0) {
        doc["coefficients"] = {{"a", c.coef_a}, {"b", c.coef_b}};
        doc["limits"] = {{"x_upper", c.x_upper}, {"x_lower", c.x_lower}, {"y_upper", c.y_upper}, {"y_lower", c.y_lower}};
    }
    doc["units"] = {{"gains", "1/64 (63 for the channel with the smallest median)"},
                    {"upper_key", "key of the statistics"},
                    {"lower_key", "key of the statistics"},
                    {"coefficients", "projection weights 15..31"},
                    {"limits", "grey-region limits on the projected axes"}};
    return doc;
}

void print_text(const CalibrationReport& r) {
    const AwbCalibrationResult& c = r.result;
    std::printf("channel gains in 1/64 (63 for the smallest median): ch1 %d, ch2 %d, ch3 %d\n", c.gain1, c.gain2,
                c.gain3);
    if (r.status != 0) return;
    std::printf("projection coefficients: a = %d, b = %d\n", c.coef_a, c.coef_b);
    const bool below = r.lower_key < r.key_min;
    const bool above = r.upper_key > r.key_max;
    const bool spread = r.key_max > r.key_min;
    std::printf("grey region: measured keys %d .. %d, key limits %d .. %d, %s\n", r.key_min, r.key_max, r.lower_key,
                r.upper_key, spread && (below || above) ? "first axis extrapolated to the limits" : "nothing extrapolated");
    std::printf("  x_upper %3d  upper limit on the first axis, 1.2 * Xmax' + 1\n", c.x_upper);
    std::printf("  x_lower %3d  lower limit on the first axis, 2 * (1.2 * -Xmin' + 1)\n", c.x_lower);
    std::printf("  y_upper %3d  upper limit on the second axis, 1.2 * Ymax + 1\n", c.y_upper);
    std::printf("  y_lower %3d  lower limit on the second axis, -Ymin\n", c.y_lower);
}

// ---------------------------------------------------------------- windows

struct WindowInput {
    std::string source;  // the file, for messages
    std::vector<AwbLightStatistics> lights;
    std::vector<AwbIntWindow> large;
};

WindowInput read_light_statistics(const std::filesystem::path& path) {
    const std::string text = read_text_file(path);
    WindowInput in;
    in.source = path.string();
    auto add_window = [&](const std::string& where, const std::array<double, 4>& v) {
        auto i32 = [&](double x) { return static_cast<int32_t>(integer_in(where, x, -2147483647L - 1, 2147483647L)); };
        in.large.push_back({i32(v[0]), i32(v[1]), i32(v[2]), i32(v[3])});
    };
    if (looks_like_json(path, text)) {
        const Json doc = parse_json(path, text);
        const Json lights = doc.is_object() ? doc.value("lights", Json()) : doc;
        if (!lights.is_array()) throw BadInput(path.string() + ": expected a \"lights\" array");
        for (std::size_t i = 0; i < lights.size(); ++i) {
            const std::string where = path.string() + ": light " + std::to_string(i);
            const auto v = json_four(lights[i], where, {"center_u", "center_v", "spread_u", "spread_v"});
            in.lights.push_back({v[0], v[1], v[2], v[3]});
        }
        if (doc.is_object() && doc.contains("large_windows")) {
            const Json& w = doc["large_windows"];
            for (std::size_t i = 0; w.is_array() && i < w.size(); ++i) {
                const std::string where = path.string() + ": large window " + std::to_string(i);
                if (!w[i].is_array() || w[i].size() != 4) throw BadInput(where + ": expected [x0, x1, y0, y1]");
                add_window(where, {json_number(w[i][0], where), json_number(w[i][1], where), json_number(w[i][2], where),
                                   json_number(w[i][3], where)});
            }
        }
    } else {
        for (const CsvRow& row : parse_csv(text)) {
            const std::string where = path.string() + ":" + std::to_string(row.line);
            if (!is_number(row.fields[0])) continue;  // header row
            if (row.fields.size() != 4) throw BadInput(where + ": expected four numbers");
            const std::array<double, 4> v = {number_at(path, row, 0), number_at(path, row, 1), number_at(path, row, 2),
                                             number_at(path, row, 3)};
            if (in.lights.size() < 5) {
                in.lights.push_back({v[0], v[1], v[2], v[3]});
            } else {
                add_window(where, v);
            }
        }
    }
    if (in.lights.size() != 5) throw BadInput(path.string() + ": need 5 lights, got " + std::to_string(in.lights.size()));
    if (!in.large.empty() && in.large.size() != 4) {
        throw BadInput(path.string() + ": need 4 large windows, got " + std::to_string(in.large.size()));
    }
    return in;
}

struct WindowsOptions {
    std::string lights;
    bool json = false;
};

struct WindowsReport {
    std::array<AwbWindow, 10> windows{};
    std::optional<std::array<AwbIntWindow, 6>> small;
};

WindowsReport compute_windows(const WindowInput& in) {
    for (std::size_t i = 0; i < in.lights.size(); ++i) {
        const AwbLightStatistics& l = in.lights[i];
        if (l.spread_u < 0 || l.spread_v < 0) {
            throw BadInput(in.source + ": light " + std::to_string(i) + ": spreads must not be negative");
        }
        if (i > 0 && l.center_u < in.lights[i - 1].center_u) {
            throw BadInput(in.source + ": light " + std::to_string(i) + ": lights must be in increasing order of center_u");
        }
    }
    for (std::size_t i = 0; i < in.large.size(); ++i) {
        const AwbIntWindow& w = in.large[i];
        if (w.x1 < w.x0 || w.y1 < w.y0) {
            throw BadInput(in.source + ": large window " + std::to_string(i) + ": limits inverted (x0 <= x1 and y0 <= y1 required)");
        }
    }
    WindowsReport r;
    AWB_WIN_AUTO_CAL(in.lights.data(), r.windows.data());
    for (std::size_t i = 0; i < r.windows.size(); ++i) {
        const AwbWindow& w = r.windows[i];
        if (!(w.lower_v <= w.upper_v && w.lower_u <= w.upper_u)) {
            throw Error(in.source + ": these lights give window W" + std::to_string(i) +
                        " with inverted limits; the lights do not form the expected layout (2 and 3 side by side along v)");
        }
    }
    if (!in.large.empty()) {
        r.small.emplace();
        if (AWB_Small_win_Calibration(in.large.data(), r.small->data()) != 0) throw Error(morvik_last_error());
    }
    return r;
}

constexpr const char* kWindowRole[10] = {"light 0",          "light 1",          "light 2 (upper v)",
                                         "light 3 (lower v)", "light 4",          "core of window 1",
                                         "core of window 3",  "window 4, low u",  "window 4, middle",
                                         "window 4, high u"};
constexpr const char* kSmallCut[6] = {"right 30 % of large 0", "large 1",           "large 2",
                                      "left 75 % of large 3",  "middle of large 3", "right 75 % of large 3"};

Json to_json(const WindowsReport& r) {
    Json doc;
    Json w = Json::array();
    for (std::size_t i = 0; i < r.windows.size(); ++i) {
        const AwbWindow& x = r.windows[i];
        w.push_back({{"upper_v", x.upper_v}, {"lower_v", x.lower_v}, {"lower_u", x.lower_u}, {"upper_u", x.upper_u},
                     {"role", kWindowRole[i]}});
    }
    doc["windows"] = w;
    if (r.small) {
        Json sm = Json::array();
        for (std::size_t i = 0; i < r.small->size(); ++i) {
            const AwbIntWindow& x = (*r.small)[i];
            sm.push_back({{"x0", x.x0}, {"x1", x.x1}, {"y0", x.y0}, {"y1", x.y1}, {"cut_from", kSmallCut[i]}});
        }
        doc["small_windows"] = sm;
    }
    doc["units"] = {{"windows", "(u, v) chroma plane, units of the light statistics"},
                    {"small_windows", "units of the large windows"}};
    return doc;
}

void print_text(const WindowsReport& r) {
    std::printf("window   upper v    lower v    lower u    upper u   role\n");
    for (std::size_t i = 0; i < r.windows.size(); ++i) {
        const AwbWindow& w = r.windows[i];
        std::printf("W%-5zu %10.3f %10.3f %10.3f %10.3f   %s\n", i, w.upper_v, w.lower_v, w.lower_u, w.upper_u,
                    kWindowRole[i]);
    }
    if (!r.small) return;
    std::printf("\nsmall    x0      x1      y0      y1   cut from\n");
    for (std::size_t i = 0; i < r.small->size(); ++i) {
        const AwbIntWindow& w = (*r.small)[i];
        std::printf("S%-3zu %7d %7d %7d %7d   %s\n", i, w.x0, w.x1, w.y0, w.y1, kSmallCut[i]);
    }
}

// ---------------------------------------------------------------- filter

struct FilterOptions {
    std::string raw;
    int width = 0, height = 0, bits = 8;
    std::array<int, 9> reg = {0, 7, 32, 32, 4, 16, 16, 16, 16};
    std::string mask, image;
    bool no_black = false;
    bool log = false;
    bool json = false;
};

struct FilterOutcome {
    std::vector<uint8_t> mask, rgb;
    std::size_t accepted = 0;
};

FilterOutcome filter(AWBFILTER_PARAM p, const std::vector<uint8_t>& raw) {
    p.raw = raw.data();
    FilterOutcome out;
    const std::size_t count = std::size_t(p.width - 1) * (p.height - 1);
    out.mask.resize(count);
    out.rgb.resize(3 * count);
    if (AWB_Filter(&p, out.mask.data(), out.rgb.data()) != 0) throw Error(morvik_last_error());
    out.accepted = static_cast<std::size_t>(std::count(out.mask.begin(), out.mask.end(), uint8_t(255)));
    return out;
}

// A PNG encoded in memory, so that it is written with the run's other outputs.
std::vector<uint8_t> encode_png(int w, int h, int channels, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> png;
    const auto append = [](void* context, void* bytes, int size) {
        auto* out = static_cast<std::vector<uint8_t>*>(context);
        out->insert(out->end(), static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + size);
    };
    if (!stbi_write_png_to_func(append, &png, w, h, channels, data.data(), w * channels)) {
        throw Error("cannot encode a " + std::to_string(w) + " x " + std::to_string(h) + " PNG");
    }
    return png;
}

struct FilterReport {
    std::size_t accepted = 0, total = 0;
    std::filesystem::path mask, image;
    std::string read;      // what a camera raw file held (empty for bare samples)
    nlohmann::json input;  // the same as JSON
    bool show_log = false;
    std::vector<std::string> log;
};

FilterReport run_filter(const FilterOptions& o) {
    RawFrame frame = load_raw_frame(o.raw, o.width, o.height, o.bits, o.no_black);
    const auto& raw = frame.samples;
    const int width = frame.width, height = frame.height;
    AWBFILTER_PARAM p{};
    const auto& reg = o.reg;
    p.nFirstPixel = uint8_t(frame.bayer_order >= 0 ? frame.bayer_order : reg[0]);
    p.SUPSEL = uint8_t(reg[1]), p.U_GAIN = uint8_t(reg[2]);
    p.V_GAIN = uint8_t(reg[3]), p.Y_LIMIT = uint8_t(reg[4]), p.S_RB_P = uint8_t(reg[5]);
    p.S_RB_N = uint8_t(reg[6]), p.S_MG_P = uint8_t(reg[7]), p.S_MG_N = uint8_t(reg[8]);
    p.width = uint32_t(width), p.height = uint32_t(height);
    FilterReport r;
    r.read = std::move(frame.description);
    r.input = std::move(frame.input);
    FilterOutcome out;
    {
        LogTap tap(false);
        out = filter(p, raw);
        r.log = tap.lines();
    }
    r.show_log = o.log;
    const std::filesystem::path base = std::filesystem::path(o.raw).replace_extension();
    r.mask = o.mask.empty() ? base.string() + "_awb_mask.png" : o.mask;
    r.image = o.image.empty() ? base.string() + "_awb_rgb.png" : o.image;
    Outputs outputs({o.raw});
    const auto mask_png = encode_png(width - 1, height - 1, 1, out.mask);
    const auto image_png = encode_png(width - 1, height - 1, 3, out.rgb);
    outputs.write(r.mask, "--mask", mask_png.data(), mask_png.size());
    outputs.write(r.image, "--image", image_png.data(), image_png.size());
    outputs.commit();
    r.accepted = out.accepted;
    r.total = out.mask.size();
    return r;
}

double percent(std::size_t part, std::size_t whole) { return whole == 0 ? 0.0 : 100.0 * double(part) / double(whole); }

Json to_json(const FilterReport& r) {
    Json doc = {{"accepted_pixels", r.accepted},
                {"total_pixels", r.total},
                {"accepted_percent", percent(r.accepted, r.total)},
                {"mask", r.mask.string()},
                {"image", r.image.string()}};
    if (!r.input.is_null()) doc["input"] = r.input;
    if (r.show_log) doc["log"] = r.log;
    return doc;
}

void print_text(const FilterReport& r) {
    if (r.show_log) print_log(r.log);
    if (!r.read.empty()) std::printf("read: %s\n", r.read.c_str());
    std::printf("accepted as grey: %zu of %zu pixels (%.2f %%)\n", r.accepted, r.total, percent(r.accepted, r.total));
    std::printf("mask:  %s\nimage: %s\n", r.mask.string().c_str(), r.image.string().c_str());
}

void setup(CLI::App& app) {
    auto* awb = app.add_subcommand("awb", "White balance: calibration, light-source windows, statistics filter");
    awb->require_subcommand(1);

    auto cal_opts = std::make_shared<CalibrateOptions>();
    auto* cal = awb->add_subcommand("calibrate", "Gains, projection coefficients and grey-region limits from grey "
                                                 "statistics (CSV rows key,ch1,ch2,ch3 or JSON)");
    cal->add_option("STATS", cal_opts->stats, "grey statistics: CSV (key,ch1,ch2,ch3 rows; optional upper_key,N and "
                                              "lower_key,N rows) or JSON {\"lights\": [...], \"upper_key\", \"lower_key\"}")
        ->required();
    cal->add_option("--upper-key", cal_opts->upper_key, "upper key limit (default: from the file, else the largest key)")
        ->check(CLI::Range(0, 65535));
    cal->add_option("--lower-key", cal_opts->lower_key, "lower key limit (default: from the file, else the smallest key)")
        ->check(CLI::Range(0, 65535));
    cal->add_flag("--json", cal_opts->json, "print the result as JSON");
    cal->callback([cal_opts] {
        const CalibrationReport r = run_calibrate(*cal_opts);
        emit(r, cal_opts->json);
        require_projection(r);
    });

    auto win_opts = std::make_shared<WindowsOptions>();
    auto* win = awb->add_subcommand("windows", "Ten light-source windows from five light statistics, and six small "
                                               "windows when four large ones are given");
    win->add_option("LIGHTS", win_opts->lights, "CSV: five rows center_u,center_v,spread_u,spread_v, then optionally "
                                                "four rows x0,x1,y0,y1; or JSON {\"lights\": [...], \"large_windows\": [...]}")
        ->required();
    win->add_flag("--json", win_opts->json, "print the windows as JSON");
    win->callback([win_opts] { emit(compute_windows(read_light_statistics(win_opts->lights)), win_opts->json); });

    auto fil_opts = std::make_shared<FilterOptions>();
    auto* fil = awb->add_subcommand("filter", "Mark the pixels of a raw frame that the AWB statistics block "
                                              "accepts as grey; write the mask and the demosaiced image as PNG");
    fil->add_option("RAW", fil_opts->raw, "raw Bayer frame: DNG or camera raw file, or bare samples without padding")
        ->required();
    fil->add_option("--width", fil_opts->width, "pixels per row (bare samples)")->check(CLI::Range(2, 1 << 16));
    fil->add_option("--height", fil_opts->height, "rows (bare samples)")->check(CLI::Range(2, 1 << 16));
    fil->add_option("--bits", fil_opts->bits, "bits per sample: 8, or 10/12/16 in 16-bit little-endian words")
        ->check(CLI::IsMember({8, 10, 12, 16}))
        ->capture_default_str();
    constexpr const char* names[9] = {"--bayer,--first-pixel", "--supsel", "--u-gain", "--v-gain", "--y-limit",
                                      "--s-rb-p",              "--s-rb-n", "--s-mg-p", "--s-mg-n"};
    constexpr const char* help[9] = {"Bayer order of the first pixel (nFirstPixel): 0 R, 1 Gr, 2 Gb, 3 B",
                                     "saturation select: reject any channel >= 8 * SUPSEL + 192 (8 or more: no cut)",
                                     "blue-difference gain, 1/32 units",
                                     "red-difference gain, 1/32 units",
                                     "luminance floor, units of 4",
                                     "positive red-blue limit, 1/128 of luminance",
                                     "negative red-blue limit, 1/128 of luminance",
                                     "positive magenta-green limit, 1/128 of luminance",
                                     "negative magenta-green limit, 1/128 of luminance"};
    for (std::size_t i = 0; i < 9; ++i) {
        fil->add_option(names[i], fil_opts->reg[i], help[i])->capture_default_str()->check(CLI::Range(0, i == 0 ? 3 : 255));
    }
    fil->add_option("--mask", fil_opts->mask, "accept-mask PNG (default: RAW's name with _awb_mask.png)");
    fil->add_option("--image", fil_opts->image, "demosaiced PNG (default: RAW's name with _awb_rgb.png)");
    fil->add_flag("--no-black", fil_opts->no_black, "camera raw files: keep the black level in the 8-bit samples");
    fil->add_flag("--log", fil_opts->log, "print the library's debug-log lines (inside the JSON with --json)");
    fil->add_flag("--json", fil_opts->json, "print the result as JSON");
    fil->callback([fil_opts] { emit(run_filter(*fil_opts), fil_opts->json); });
}

// ---------------------------------------------------------------- demo

// Grey patches under five lights: red falls and blue rises with the key.
const std::vector<AwbGreyStatistics> kDemoGrey = {
    {7500, 118, 200, 196}, {2800, 212, 200, 92}, {6500, 130, 200, 178}, {4000, 178, 201, 120}, {5000, 156, 190, 152}};

// A Bayer frame (R first) of grey, coloured, dark and saturated patches.
std::vector<uint8_t> demo_frame(int w, int h) {
    struct Patch {
        uint8_t r, g, b;
    };
    const Patch patches[8] = {{120, 120, 120}, {60, 60, 60}, {200, 70, 60},  {60, 160, 70},
                              {70, 80, 190},  {8, 8, 8},    {255, 255, 255}, {140, 128, 118}};
    std::vector<uint8_t> raw(std::size_t(w) * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Patch& p = patches[(y * 2 / h) * 4 + x * 4 / w];
            const int site = (y & 1) * 2 + (x & 1);
            raw[std::size_t(y) * w + x] = site == 0 ? p.r : site == 3 ? p.b : p.g;
        }
    }
    return raw;
}

void demo() {
    GreyInput grey{kDemoGrey, 9000, 2300};
    std::printf("Calibration on five synthetic grey patches, keys 2800..7500, limits 2300..9000:\n");
    print_text(calibrate(grey));

    WindowInput lights{"demo lights",
                       {{-60, 10, 6, 4}, {-30, 6, 5, 4}, {0, 12, 5, 3}, {5, -8, 6, 4}, {40, -2, 7, 5}},
                       {{100, 160, 40, 80}, {160, 220, 30, 70}, {220, 280, 20, 60}, {280, 400, 10, 50}}};
    std::printf("\nLight-source windows:\n");
    print_text(compute_windows(lights));

    const int w = 64, h = 48;
    AWBFILTER_PARAM p{};
    p.SUPSEL = 7, p.U_GAIN = 32, p.V_GAIN = 32, p.Y_LIMIT = 4;
    p.S_RB_P = p.S_RB_N = p.S_MG_P = p.S_MG_N = 16;
    p.width = w, p.height = h;
    FilterOutcome out;
    {
        LogTap tap(false);
        out = filter(p, demo_frame(w, h));
    }
    std::printf("\nStatistics filter on a %d x %d frame of eight patches (grey, dark grey, red, green, blue, "
                "black, saturated, warm grey):\n",
                w, h);
    std::printf("accepted as grey: %zu of %zu pixels (%.2f %%)\n", out.accepted, out.mask.size(),
                100.0 * double(out.accepted) / double(out.mask.size()));
}

const bool registered = register_command(20, setup) && register_demo_step(20, "White balance", demo);

}  // namespace
}  // namespace morvik::cli
