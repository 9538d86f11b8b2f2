// `morvik lsc`: lens-shading compensation of a raw flat-field file, and the
// lens-shading step of `morvik demo`.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>

#include "cli.h"
#include "morvik/morvik.h"
#include "shading/synthetic.h"

namespace morvik::cli {

namespace {

struct LscOptions {
    std::string file;
    int width = 0;
    int height = 0;
    int bits = 8;
    int bayer = 0;
    std::string chip = "0";
    float target_scale = 1.0f;
    float below_max = 0.05f;
    float overshoot = 0.1f;
    float shading_min = 0.9f;
    bool y_only = false;
    bool no_black = false;
    bool json = false;
    bool log = false;
};

std::uint32_t parse_chip(const std::string& text) {
    if (text == "kt3" || text == "KT3") return static_cast<std::uint32_t>(MORVIK_LSC_CHIP_KT3) << 16;
    try {
        std::size_t used = 0;
        const unsigned long v = std::stoul(text, &used, 0);
        if (used != text.size() || v > 0xFFFFFFFFul) throw std::out_of_range("chip");
        return static_cast<std::uint32_t>(v);
    } catch (const std::exception&) {
        throw BadInput("--chip: expected a 32-bit number (e.g. 0x4B330000) or 'kt3', got '" + text + "'");
    }
}

struct LscRun {
    int status = 1;
    lsc_result result{};
    std::vector<std::string> log;
    std::string reason;  // why a failed calculation failed
};

LscRun calculate(std::uint32_t chip, int bayer, const std::vector<std::uint8_t>& raw, int width, int height,
                 const lsc_params& params) {
    LscRun run;
    LogTap tap(false);
    run.status = LSC_Calculate(chip, static_cast<std::uint32_t>(bayer), raw.data(), static_cast<std::uint32_t>(width),
                               static_cast<std::uint32_t>(height), &params, &run.result);
    run.log = tap.lines();
    run.reason = morvik_last_error();
    return run;
}

// The reason of a failed calculation: the library's failure reason, else
// the log line written before the memory is released.
std::string failure_reason(const LscRun& run) {
    if (!run.reason.empty()) return run.reason;
    const auto& log = run.log;
    for (std::size_t i = log.size(); i-- > 1;)
        if (log[i] == "Shading: free memory\n") {
            std::string reason = log[i - 1];
            while (!reason.empty() && reason.back() == '\n') reason.pop_back();
            return reason;
        }
    return "unknown reason";
}

const std::uint32_t* curve(const lsc_result& r, int colour) {
    return colour == 0 ? r.gamma_R : colour == 1 ? r.gamma_G : r.gamma_B;
}

void print_table(const lsc_result& r) {
    constexpr int kRings[11] = {32, 64, 96, 128, 144, 160, 176, 192, 208, 224, 240};
    constexpr const char* kNames[3] = {"R", "G", "B"};
    std::printf("optical centre    x %.1f, y %.1f pixels (%u, %u half pixels)\n", r.center_x / 2.0,
                r.center_y / 2.0, r.center_x, r.center_y);
    std::printf("radius factor     %u\ncurve selection   %u\n", r.Radius_factor, r.Curve_sel);
    std::printf("gain exponent K   %u\n", r.K);
    std::printf("gain factors      R %u (%u x 2^%u), G %u (%u x 2^%u), B %u (%u x 2^%u)\n", r.Kr << r.K, r.Kr, r.K,
                r.Kg << r.K, r.Kg, r.K, r.Kb << r.K, r.Kb, r.K);
    std::printf("shading gamma     ring (0..255 scaled squared radius) and node (0..255):\n                  ring:");
    for (int ring : kRings) std::printf(" %3d", ring);
    std::printf("\n");
    for (int col = 0; col < 3; ++col) {
        std::printf("                  %s:   ", kNames[col]);
        for (int k = 0; k < 11; ++k) std::printf(" %3u", curve(r, col)[k]);
        std::printf("\n");
    }
}

// The report of `morvik lsc`: the result record and, with --log, the log.
struct LscReport {
    lsc_result result{};
    bool show_log = false;
    std::vector<std::string> log;
    std::string read;      // what a camera raw file held (empty for bare samples)
    nlohmann::json input;  // the same as JSON
};

nlohmann::json result_json(const lsc_result& r) {
    nlohmann::json j;
    j["center_x"] = r.center_x;
    j["center_y"] = r.center_y;
    j["Kr"] = r.Kr;
    j["Kg"] = r.Kg;
    j["Kb"] = r.Kb;
    j["K"] = r.K;
    j["Radius_factor"] = r.Radius_factor;
    j["Curve_sel"] = r.Curve_sel;
    j["gamma_R"] = std::vector<std::uint32_t>(r.gamma_R, r.gamma_R + 11);
    j["gamma_G"] = std::vector<std::uint32_t>(r.gamma_G, r.gamma_G + 11);
    j["gamma_B"] = std::vector<std::uint32_t>(r.gamma_B, r.gamma_B + 11);
    return j;
}

nlohmann::json to_json(const LscReport& r) {
    nlohmann::json j = result_json(r.result);
    j["units"] = {{"center_x", "half pixels"}, {"center_y", "half pixels"},
                  {"Kr", "gain mantissa; gain = Kr << K"}, {"K", "common gain exponent"},
                  {"gamma_R", "shading gamma nodes 0..255 at rings 32, 64, 96, 128, 144, ..., 240"}};
    if (!r.input.is_null()) j["input"] = r.input;
    if (r.show_log) j["log"] = r.log;
    return j;
}

void print_text(const LscReport& r) {
    if (r.show_log) print_log(r.log);
    if (!r.read.empty()) std::printf("read              %s\n", r.read.c_str());
    print_table(r.result);
}

// The tuning values must be finite and inside the range a calibration
// can use; the library would take any float.
void check_params(const LscOptions& o) {
    const auto check = [](const char* option, float v, double lo, double hi, const char* rule) {
        if (!std::isfinite(v) || v < lo || v > hi) {
            throw BadInput(std::string(option) + " " + std::to_string(v) + ": " + rule);
        }
    };
    check("--target-scale", o.target_scale, 1e-3, 16, "must be a finite scale in 0.001..16");
    check("--below-max", o.below_max, 0, 4, "must be a finite level margin in 0..4");
    check("--overshoot", o.overshoot, 0, 4, "must be a finite spread in 0..4");
    check("--shading-min", o.shading_min, 0, 1, "must be a finite level in 0..1");
}

LscReport run_lsc(const LscOptions& o) {
    check_params(o);
    const std::uint32_t chip = parse_chip(o.chip);
    RawFrame frame = load_raw_frame(o.file, o.width, o.height, o.bits, o.no_black);
    const lsc_params params{o.target_scale, o.below_max, o.overshoot, o.shading_min,
                            static_cast<std::uint8_t>(o.y_only ? 1 : 0)};
    const int bayer = frame.bayer_order >= 0 ? frame.bayer_order : o.bayer;
    const LscRun run = calculate(chip, bayer, frame.samples, frame.width, frame.height, params);
    if (run.status != 0) {
        // The log says how far the calculation came; it goes to stderr so
        // that stdout never carries a partial report.
        if (o.log)
            for (const auto& line : run.log) std::fputs(line.c_str(), stderr);
        throw Error("lens-shading calculation failed: " + failure_reason(run));
    }
    return {run.result, o.log, run.log, std::move(frame.description), std::move(frame.input)};
}

void demo() {
    shading::FlatField f;
    f.width = 1280;
    f.height = 960;
    f.centre_x = 596;
    f.centre_y = 517;
    f.bayer_order = 1;
    f.noise = 2.0;
    const auto raw = shading::make_flat_field(f);
    const lsc_params params{1.0f, 0.05f, 0.1f, 0.9f, 0};
    std::printf("synthetic %dx%d flat field, Bayer order %d, fall-off R %.2f G %.2f B %.2f\n", f.width, f.height,
                f.bayer_order, f.falloff[0], f.falloff[1], f.falloff[3]);
    const LscRun run = calculate(0, f.bayer_order, raw, f.width, f.height, params);
    if (run.status != 0) throw Error("lens-shading demo failed: " + failure_reason(run));
    std::printf("true centre       x %.1f, y %.1f pixels\n", f.centre_x, f.centre_y);
    print_table(run.result);
}

const bool registered = register_command(40, [](CLI::App& app) {
    auto opts = std::make_shared<LscOptions>();
    auto* cmd = app.add_subcommand("lsc", "Lens-shading compensation (centre, gains, shading gamma) of a raw flat field");
    cmd->add_option("RAW", opts->file, "Raw flat field: DNG or camera raw file, or bare row-major samples")->required();
    cmd->add_option("--width", opts->width, "Image width in pixels (bare samples)")->check(CLI::Range(1, 65535));
    cmd->add_option("--height", opts->height, "Image height in pixels (bare samples)")->check(CLI::Range(1, 65535));
    cmd->add_option("--bits", opts->bits,
                    "Bits per sample: 8 (one byte each) or 10/12/16 (little-endian 16-bit words, shifted right "
                    "by bits - 8)")
        ->check(CLI::IsMember({8, 10, 12, 16}));
    cmd->add_option("--bayer", opts->bayer, "Colour of the first sample: 0 R, 1 Gr, 2 Gb, 3 B (camera raw files give their own)")
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    cmd->add_option("--chip", opts->chip, "Chip value (number, e.g. 0x4B330000, or 'kt3' for the step-limited gamma)")->capture_default_str();
    cmd->add_option("--target-scale", opts->target_scale, "Scale of the bright-block target level, 0.001..16")->capture_default_str();
    cmd->add_option("--below-max", opts->below_max, "Highest compensated level above the target, 0..4")->capture_default_str();
    cmd->add_option("--overshoot", opts->overshoot, "Allowed spread of outer over inner levels, 0..4")->capture_default_str();
    cmd->add_option("--shading-min", opts->shading_min, "Lowest compensated level before the curve is raised, 0..1")->capture_default_str();
    cmd->add_flag("--y-only", opts->y_only, "Compensate luminance only (one gain and the G gamma for all colours)");
    cmd->add_flag("--no-black", opts->no_black, "Camera raw files: keep the black level in the 8-bit samples");
    cmd->add_flag("--json", opts->json, "Print the result record as JSON");
    cmd->add_flag("--log", opts->log, "Print the calculation's debug log (inside the JSON with --json)");
    cmd->callback([opts] { emit(run_lsc(*opts), opts->json); });
});

const bool demo_registered = register_demo_step(40, "Lens shading", demo);

}  // namespace

}  // namespace morvik::cli
