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
    if (status == 0) return;
    throw Error(std::string(what) + ": " + morvik_last_error());
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

// What was measured and on what: shared by both reports.
struct Measured {
    int width = 0, height = 0;
    bool raw = false;
    int bayer = 0;
    bool log = false;
    std::vector<std::string> log_lines;
    std::string read;      // what a camera raw file held (empty for other files)
    nlohmann::json input;  // the same as JSON
};

// A camera raw file is recognised by its content (no --raw needed) and gives
// its own size and Bayer order; bare samples need --raw, --width and --height.
PixelArray load(const Options& o, Measured& m) {
    m.raw = o.raw;
    m.bayer = o.bayer;
    if (!o.raw && !is_camera_raw(o.file)) {
        if (o.width != 0 || o.height != 0) throw BadInput("--width and --height apply to raw files only");
        return from_rgb(load_rgb_image(o.file));
    }
    if (o.raw && (o.width <= 0 || o.height <= 0) && !is_camera_raw(o.file))
        throw BadInput("--raw needs --width and --height");
    RawFrame frame = load_raw_frame(o.file, o.width, o.height, o.bits, o.no_black);
    m.raw = true;
    if (frame.bayer_order >= 0) m.bayer = frame.bayer_order;
    m.read = std::move(frame.description);
    m.input = std::move(frame.input);
    return from_raw(frame.samples, frame.width, frame.height);
}

struct DefectReport {
    Measured on;
    int threshold = 0;
    DefectVerifyResult result{};
};

struct UnbalanceReport {
    Measured on;
    UnbalanceVerifyResult result{};
};

template <class Result, class Call>
Measured measure(const Options& o, Result& result, const char* what, Call call) {
    Measured m;
    const PixelArray img = load(o, m);
    m.width = img.width, m.height = img.height, m.log = o.log;
    LogTap tap(false);
    check_status(what, call(img, m, result));
    m.log_lines = tap.lines();
    return m;
}

DefectReport run_defect(const Options& o) {
    DefectReport r;
    r.threshold = o.threshold;
    r.on = measure(o, r.result, "defect", [&](const PixelArray& img, const Measured& m, DefectVerifyResult& out) {
        return Defect_Verify(img.bytes.data(), m.raw ? 1 : 2, m.bayer, img.width, img.height, o.threshold, &out);
    });
    return r;
}

UnbalanceReport run_unbalance(const Options& o) {
    UnbalanceReport r;
    r.on = measure(o, r.result, "unbalance", [&](const PixelArray& img, const Measured& m, UnbalanceVerifyResult& out) {
        return Unbalance_Verify(img.bytes.data(), m.raw ? 1 : 2, m.bayer, img.width, img.height, &out);
    });
    return r;
}

nlohmann::json measured_json(const Measured& m) {
    nlohmann::json doc = {{"width", m.width}, {"height", m.height}, {"format", m.raw ? "raw" : "colour"}};
    if (m.raw) doc["bayer"] = m.bayer;
    if (!m.input.is_null()) doc["input"] = m.input;
    return doc;
}

void finish_json(nlohmann::json& doc, const Measured& m) {
    doc["units"] = {{"width", "pixels"}, {"height", "pixels"}, {"mean", "8-bit sample value"},
                    {"std", "8-bit sample value"}};
    if (m.log) doc["log"] = m.log_lines;
}

nlohmann::json to_json(const DefectReport& r) {
    nlohmann::json doc = measured_json(r.on);
    doc["threshold"] = r.threshold;
    doc["WBP"] = r.result.WBP;
    doc["DBP"] = r.result.DBP;
    doc["mean"] = array4(r.result.mean);
    doc["std"] = array4(r.result.std);
    if (r.on.raw) {
        doc["GCHECKTHD"] = r.result.GCHECKTHD;
        doc["RBCHECKTHD"] = r.result.RBCHECKTHD;
    }
    finish_json(doc, r.on);
    doc["units"]["WBP"] = doc["units"]["DBP"] = r.on.raw ? "raw sites" : "pixels";
    return doc;
}

nlohmann::json to_json(const UnbalanceReport& r) {
    nlohmann::json doc = measured_json(r.on);
    const UnbalanceVerifyResult& u = r.result;
    doc.update({{"GevenMean", u.GevenMean}, {"GoddMean", u.GoddMean}, {"GdiffMean", u.GdiffMean},
                {"GevenStd", u.GevenStd},   {"GoddStd", u.GoddStd},   {"GdiffStd", u.GdiffStd},
                {"mean", array4(u.mean)},   {"std", array4(u.std)}});
    finish_json(doc, r.on);
    for (const char* k : {"GevenMean", "GoddMean", "GdiffMean", "GevenStd", "GoddStd", "GdiffStd"})
        doc["units"][k] = "8-bit sample value";
    return doc;
}

const char* channel_name(bool raw, int k) {
    constexpr const char* kRaw[4] = {"site0", "site1", "site2", "site3"};
    constexpr const char* kColour[4] = {"R", "G", "B", "Y"};
    return raw ? kRaw[k] : kColour[k];
}

void print_channels(bool raw, const double (&mean)[4], const double (&std)[4]) {
    std::printf("  channel statistics (8-bit sample values):\n");
    for (int k = 0; k < 4; ++k) std::printf("  %-5s mean %8.3f  std %7.3f\n", channel_name(raw, k), mean[k], std[k]);
}

void print_header(const Measured& m) {
    if (m.log) print_log(m.log_lines);
    if (!m.read.empty()) std::printf("read: %s\n", m.read.c_str());
    std::printf("%d x %d pixel %s image", m.width, m.height, m.raw ? "raw" : "colour");
    if (m.raw) std::printf(", Bayer order %d", m.bayer);
}

void print_text(const DefectReport& r) {
    print_header(r.on);
    std::printf(", threshold %d (8-bit levels)\n", r.threshold);
    const char* unit = r.on.raw ? "sites" : "pixels";
    std::printf("  bright (WBP) %u %s, dark (DBP) %u %s\n", r.result.WBP, unit, r.result.DBP, unit);
    print_channels(r.on.raw, r.result.mean, r.result.std);
    if (r.on.raw) {
        std::printf("  proposed check thresholds (8-bit levels): GCHECKTHD %u, RBCHECKTHD %u\n", r.result.GCHECKTHD,
                    r.result.RBCHECKTHD);
    }
}

void print_text(const UnbalanceReport& r) {
    const UnbalanceVerifyResult& u = r.result;
    print_header(r.on);
    std::printf("\n  greens (8-bit sample values):\n");
    std::printf("  first green  mean %8.3f  std %7.3f\n", u.GevenMean, u.GevenStd);
    std::printf("  second green mean %8.3f  std %7.3f\n", u.GoddMean, u.GoddStd);
    std::printf("  difference   mean %8.3f  std %7.3f\n", u.GdiffMean, u.GdiffStd);
    print_channels(r.on.raw, u.mean, u.std);
}

void add_options(CLI::App* cmd, Options& o, bool threshold) {
    cmd->add_option("IMAGE", o.file, "Image file (BMP, PNG, ...), DNG or camera raw file, or, with --raw, bare samples")
        ->required();
    cmd->add_flag("--raw", o.raw, "The file is a raw frame of --width x --height samples");
    cmd->add_option("--width", o.width, "Raw frame width in pixels, 1..65535")->check(CLI::Range(1, 65535));
    cmd->add_option("--height", o.height, "Raw frame height in pixels, 1..65535")->check(CLI::Range(1, 65535));
    cmd->add_option("--bits", o.bits, "Raw sample bits (8; 10, 12, 16 as little-endian words)")
        ->check(CLI::IsMember({8, 10, 12, 16}))
        ->default_val(8);
    cmd->add_option("--bayer", o.bayer, "Bayer order of the top-left sample: 0 R, 1 Gr, 2 Gb, 3 B")
        ->check(CLI::Range(0, 3))
        ->default_val(0);
    if (threshold) {
        cmd->add_option("--threshold", o.threshold, "Allowed deviation from the neighbourhood, 8-bit levels 0-255")
            ->check(CLI::Range(0, 255))
            ->default_val(16);
    }
    cmd->add_flag("--no-black", o.no_black, "Camera raw files: keep the black level in the 8-bit samples");
    cmd->add_flag("--json", o.json, "Print the result as JSON");
    cmd->add_flag("--log", o.log, "Print the debug-log lines (inside the JSON with --json)");
}

const bool registered = register_command(10, [](CLI::App& app) {
    auto* verify = app.add_subcommand("verify", "Verify a test image: defective pixels, green unbalance");
    verify->require_subcommand(1);
    auto defect_opts = std::make_shared<Options>();
    auto* defect = verify->add_subcommand("defect", "Count bright and dark defective pixels");
    add_options(defect, *defect_opts, true);
    defect->callback([defect_opts] { emit(run_defect(*defect_opts), defect_opts->json); });
    auto unbalance_opts = std::make_shared<Options>();
    auto* unbalance = verify->add_subcommand("unbalance", "Measure the unbalance between the two greens of a cell");
    add_options(unbalance, *unbalance_opts, false);
    unbalance->callback([unbalance_opts] { emit(run_unbalance(*unbalance_opts), unbalance_opts->json); });
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
