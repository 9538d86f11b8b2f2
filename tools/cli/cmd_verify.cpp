// `morvik verify defect|unbalance`: defective pixels and green unbalance of a
// test image, and the demo step that plants both in a synthetic raw frame.
#include <cstdio>
#include <iostream>
#include <random>
#include <string>

#include "cli.h"
#include "morvik/morvik.h"

namespace morvik::cli {

namespace {

// The pixel array the host passes: bottom-up rows of blue, green, red bytes,
// each padded to a multiple of 4 bytes.
struct PixelArray {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bytes;
};

std::size_t stride_of(int width) { return std::size_t(3 * width + (4 - 3 * width % 4) % 4); }

PixelArray from_rgb(const RgbImage& img) {
    PixelArray out{img.width, img.height, std::vector<std::uint8_t>(stride_of(img.width) * img.height, 0)};
    for (int y = 0; y < img.height; ++y) {
        const std::uint8_t* src = &img.rgb[std::size_t(y) * img.width * 3];
        std::uint8_t* dst = &out.bytes[std::size_t(img.height - 1 - y) * stride_of(img.width)];
        for (int x = 0; x < img.width; ++x) {
            dst[3 * x] = src[3 * x + 2];
            dst[3 * x + 1] = src[3 * x + 1];
            dst[3 * x + 2] = src[3 * x];
        }
    }
    return out;
}

// A raw frame (top row first) as a bottom-up pixel array, one sample per
// pixel in all three bytes: site 0 of each cell is then the top-left sample
// of the cell in picture order, which is what the Bayer order names.
PixelArray from_raw(const std::vector<std::uint8_t>& samples, int width, int height) {
    PixelArray out{width, height, std::vector<std::uint8_t>(stride_of(width) * height, 0)};
    for (int y = 0; y < height; ++y) {
        std::uint8_t* dst = &out.bytes[std::size_t(height - 1 - y) * stride_of(width)];
        for (int x = 0; x < width; ++x) {
            const std::uint8_t v = samples[std::size_t(y) * width + x];
            dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = v;
        }
    }
    return out;
}

nlohmann::json array4(const double (&v)[4]) { return {v[0], v[1], v[2], v[3]}; }

void check_status(const char* what, int32_t status) {
    if (status == MORVIK_VERIFY_BAD_FORMAT) throw Error(std::string(what) + ": unknown image format");
    if (status != 0) throw Error(std::string(what) + ": image too small for the verification window");
}

struct Options {
    std::string file;
    bool raw = false;
    int width = 0, height = 0, bits = 8;
    int bayer = 0;
    int threshold = 16;
    bool no_black = false;
    bool json = false;
    bool log = false;
};

// A camera raw file is recognised by its content (no --raw needed) and sets
// the Bayer order; `frame` receives what was read from it.
PixelArray load(Options& o, RawFrame& frame) {
    if (!o.raw && !is_camera_raw(o.file)) {
        if (o.width != 0 || o.height != 0) throw Error("--width and --height apply to --raw files only");
        return from_rgb(load_rgb_image(o.file));
    }
    frame = load_raw_frame(o.file, o.width, o.height, o.bits, o.no_black);
    o.raw = true;
    if (frame.bayer_order >= 0) o.bayer = frame.bayer_order;
    return from_raw(frame.samples, frame.width, frame.height);
}

const char* channel_names(bool raw, int k) {
    static const char* const kRaw[4] = {"site0", "site1", "site2", "site3"};
    static const char* const kColour[4] = {"R", "G", "B", "Y"};
    return raw ? kRaw[k] : kColour[k];
}

void print_channels(bool raw, const double (&mean)[4], const double (&std)[4]) {
    for (int k = 0; k < 4; ++k) std::printf("  %-5s mean %8.3f  std %7.3f\n", channel_names(raw, k), mean[k], std[k]);
}

void run_defect(Options o) {
    RawFrame frame;
    const PixelArray img = load(o, frame);
    LogTap tap(o.log && !o.json);
    DefectVerifyResult r{};
    check_status("defect", Defect_Verify(img.bytes.data(), o.raw ? 1 : 2, o.bayer, img.width, img.height,
                                         o.threshold, &r));
    if (o.json) {
        nlohmann::json doc = {{"width", img.width}, {"height", img.height}, {"format", o.raw ? "raw" : "colour"},
                              {"threshold", o.threshold}, {"WBP", r.WBP}, {"DBP", r.DBP},
                              {"mean", array4(r.mean)}, {"std", array4(r.std)}};
        if (o.raw) {
            doc["bayer"] = o.bayer;
            doc["GCHECKTHD"] = r.GCHECKTHD;
            doc["RBCHECKTHD"] = r.RBCHECKTHD;
        }
        if (!frame.input.is_null()) doc["input"] = frame.input;
        if (o.log) doc["log"] = tap.lines();
        print_json(doc);
        return;
    }
    if (!frame.description.empty()) std::printf("read: %s\n", frame.description.c_str());
    std::printf("%d x %d %s image, threshold %d\n", img.width, img.height, o.raw ? "raw" : "colour", o.threshold);
    std::printf("  bright (WBP) %u, dark (DBP) %u\n", r.WBP, r.DBP);
    print_channels(o.raw, r.mean, r.std);
    if (o.raw) std::printf("  GCHECKTHD %u, RBCHECKTHD %u\n", r.GCHECKTHD, r.RBCHECKTHD);
}

void run_unbalance(Options o) {
    RawFrame frame;
    const PixelArray img = load(o, frame);
    LogTap tap(o.log && !o.json);
    UnbalanceVerifyResult r{};
    check_status("unbalance", Unbalance_Verify(img.bytes.data(), o.raw ? 1 : 2, o.bayer, img.width, img.height, &r));
    if (o.json) {
        nlohmann::json doc = {{"width", img.width},         {"height", img.height},
                              {"format", o.raw ? "raw" : "colour"},
                              {"GevenMean", r.GevenMean},   {"GoddMean", r.GoddMean},
                              {"GdiffMean", r.GdiffMean},   {"GevenStd", r.GevenStd},
                              {"GoddStd", r.GoddStd},       {"GdiffStd", r.GdiffStd},
                              {"mean", array4(r.mean)},     {"std", array4(r.std)}};
        if (o.raw) doc["bayer"] = o.bayer;
        if (!frame.input.is_null()) doc["input"] = frame.input;
        if (o.log) doc["log"] = tap.lines();
        print_json(doc);
        return;
    }
    if (!frame.description.empty()) std::printf("read: %s\n", frame.description.c_str());
    std::printf("%d x %d %s image\n", img.width, img.height, o.raw ? "raw" : "colour");
    std::printf("  first green  mean %8.3f  std %7.3f\n", r.GevenMean, r.GevenStd);
    std::printf("  second green mean %8.3f  std %7.3f\n", r.GoddMean, r.GoddStd);
    std::printf("  difference   mean %8.3f  std %7.3f\n", r.GdiffMean, r.GdiffStd);
    print_channels(o.raw, r.mean, r.std);
}

void add_options(CLI::App* cmd, Options& o, bool threshold) {
    cmd->add_option("file", o.file, "Image file (BMP, PNG, ...), DNG or camera raw file, or, with --raw, bare samples")
        ->required();
    cmd->add_flag("--raw", o.raw, "The file is a raw frame of --width x --height samples");
    cmd->add_option("--width", o.width, "Raw frame width");
    cmd->add_option("--height", o.height, "Raw frame height");
    cmd->add_option("--bits", o.bits, "Raw sample bits (8; 10, 12, 16 as little-endian words)")->default_val(8);
    cmd->add_option("--bayer", o.bayer, "Bayer order of the top-left sample: 0 R, 1 Gr, 2 Gb, 3 B")
        ->check(CLI::Range(0, 3))
        ->default_val(0);
    if (threshold) {
        cmd->add_option("--threshold", o.threshold, "Allowed deviation from the neighbourhood, 0-255")
            ->check(CLI::Range(0, 255))
            ->default_val(16);
    }
    cmd->add_flag("--no-black", o.no_black, "Camera raw files: keep the black level in the 8-bit samples");
    cmd->add_flag("--json", o.json, "Print the result as JSON");
    cmd->add_flag("--log", o.log, "Print the debug-log lines (inside the JSON with --json)");
}

const bool registered = register_command(10, [](CLI::App& app) {
    static Options opts;
    auto* verify = app.add_subcommand("verify", "Verify a test image: defective pixels, green unbalance");
    verify->require_subcommand(1);
    auto* defect = verify->add_subcommand("defect", "Count bright and dark defective pixels");
    add_options(defect, opts, true);
    defect->callback([] { run_defect(opts); });
    auto* unbalance = verify->add_subcommand("unbalance", "Measure the unbalance between the two greens of a cell");
    add_options(unbalance, opts, false);
    unbalance->callback([] { run_unbalance(opts); });
});

// A flat 8-bit raw frame (Bayer order 1: greens at the top-left and
// bottom-right of each cell) with a little noise, a known green unbalance and
// planted defects.
const bool demo_registered = register_demo_step(10, "Test-image verification", [] {
    constexpr int kW = 160, kH = 120, kUnbalance = 3, kThreshold = 24;
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> noise(-2, 2);
    std::vector<std::uint8_t> raw(std::size_t(kW) * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const bool green = (x % 2) == (y % 2);
            const int level = green ? (y % 2 == 0 ? 120 + kUnbalance : 120) : (x % 2 ? 90 : 70);
            raw[std::size_t(y) * kW + x] = std::uint8_t(level + noise(rng));
        }
    const int bright[][2] = {{20, 17}, {81, 40}, {130, 101}, {57, 89}};
    const int dark[][2] = {{44, 60}, {111, 23}, {9, 70}};
    for (const auto& p : bright) raw[std::size_t(p[1]) * kW + p[0]] = 250;
    for (const auto& p : dark) raw[std::size_t(p[1]) * kW + p[0]] = 5;
    const PixelArray img = from_raw(raw, kW, kH);

    DefectVerifyResult d{};
    check_status("defect", Defect_Verify(img.bytes.data(), 1, 1, kW, kH, kThreshold, &d));
    UnbalanceVerifyResult u{};
    check_status("unbalance", Unbalance_Verify(img.bytes.data(), 1, 1, kW, kH, &u));
    std::printf("%d x %d raw frame, Bayer order 1, noise +-2, threshold %d\n", kW, kH, kThreshold);
    std::printf("  bright defects: planted %zu, found %u\n", std::size(bright), d.WBP);
    std::printf("  dark defects:   planted %zu, found %u\n", std::size(dark), d.DBP);
    std::printf("  check thresholds: GCHECKTHD %u, RBCHECKTHD %u\n", d.GCHECKTHD, d.RBCHECKTHD);
    std::printf("  green unbalance: planted %d, measured %.3f (std %.3f; noise and the defects on green\n"
                "  sites move it slightly)\n",
                kUnbalance, u.GdiffMean, u.GdiffStd);
});

}  // namespace

}  // namespace morvik::cli
